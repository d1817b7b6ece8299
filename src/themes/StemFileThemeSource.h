#pragma once

#include "themes/ThemeSource.h"
#include "themes/AbstractStemSource.h"
#include "common/SharedResources.h"

namespace QVAudioEngineV4
{

/**
    What the two older layouts share: one stem source per stem file, mixed one after the other
    through a stereo scratch buffer of twice the block size, each stem with its own gain ramp,
    then the effect chains and the music gain.

    Threads as for every ThemeSource: rendering and positioning on the rendering thread under the
    owner's callback lock; preparation and release while not rendering.
*/
class StemFileThemeSource : public ThemeSource
{
public:
    using ThemeSource::ThemeSource;
    ~StemFileThemeSource() override;

    // Not rendering.
    void prepareToPlay (int samplesPerBlockExpected, double sampleRate) override;

    // Rendering thread, under the owner's callback lock.
    void getNextAudioBlock (const juce::AudioSourceChannelInfo& info) override;
    void setNextReadPosition (juce::int64 newPosition) override;

    // Any thread.
    juce::StringArray getSourceFiles() const override;
    juce::int64 getSourceLength() const override;

    /** The stems in stem index order; they read ahead on the shared threads below, so they are
        destroyed first. */
    juce::OwnedArray<AbstractStemSource> stems;
    juce::SharedResourcePointer<BufferingThreadsArray> bufferingThreads;
    juce::AudioBuffer<float> mixBuffer;    // 2 × (2 × block size) scratch, set up by prepareToPlay

protected:
    /** Whether a block of numSamples starting at theme position pos reaches audio of the stems. */
    virtual bool blockReachesStems (juce::int64 pos, int numSamples) const = 0;

    void releaseStems();
    void releaseEffects();

private:
    JUCE_DECLARE_NON_COPYABLE (StemFileThemeSource)
};

} // namespace QVAudioEngineV4
