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

    /** Not rendering. Prepares the effect chains for blocks of twice the given size, sizes the
        scratch buffer to 2 channels of that many samples and prepares every stem for them. */
    void prepareToPlay (int samplesPerBlockExpected, double sampleRate) override;

    /** Rendering thread, under the owner's callback lock. Mixes every stem at its volume into
        the first two channels of the region (other channels are left alone), then runs the
        effect chains and the gain ramp. A block longer than the scratch buffer, a theme without
        stems or a block that does not reach the stems plays silence; the position always
        advances by the block's length. Allocates nothing. */
    void getNextAudioBlock (const juce::AudioSourceChannelInfo& info) override;

    /** Rendering thread, or any thread while not playing: every stem goes to max (position, 0). */
    void setNextReadPosition (juce::int64 newPosition) override;

    /** Any thread while the stems are not being replaced. */
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
    bool canMix (juce::int64 pos, int numSamples) const;
    void clearLeadIn (int numSilentSamples);
    void mixStems (const juce::AudioSourceChannelInfo& info, int numSilentSamples);

    /** How many samples of a block at theme position pos lie before theme position 0. */
    static int samplesBeforeThemeStart (juce::int64 pos, int numSamples) noexcept;

    JUCE_DECLARE_NON_COPYABLE (StemFileThemeSource)
};

} // namespace QVAudioEngineV4
