#pragma once

#include "themes/ThemeSource.h"
#include "themes/XLoopSource.h"
#include "common/SharedResources.h"

#include <vector>

namespace QVAudioEngineV4
{

/**
    The current theme layout: all stems in one multichannel file laid out as clean start, loop
    and ending, played by one cross-looping source whose channels 2k and 2k + 1 are stem k.

    Each block is mixed in pieces of at most 256 samples through a scratch buffer: stem 0 is
    written into the output's two channels, every further stem added, each with a linear ramp
    from the volume it had at the end of the previous piece to its current one.

    Threads as for every ThemeSource: rendering and positioning on the rendering thread under the
    owner's callback lock; preparation and release while not rendering.
*/
class ThemeSourceV3 : public ThemeSource
{
public:
    ThemeSourceV3 (const juce::String& themeName, const juce::String& folderPath);
    ~ThemeSourceV3() override;

    // Not rendering.
    void prepareToPlay (int samplesPerBlockExpected, double sampleRate) override;
    void releaseResources() override;

    // Rendering thread, under the owner's callback lock.
    void getNextAudioBlock (const juce::AudioSourceChannelInfo& info) override;
    void setNextReadPosition (juce::int64 newPosition) override;

    /** The multistem file's sample count; 0 without a readable file. Any thread. */
    juce::int64 getSourceLength() const override;

    /** Where the multistem source reads next inside its file; without one, the theme position.
        Rendering thread, or any thread while not playing (the source moves it as it renders). */
    juce::int64 getNextSourcesPosition() const override;

    /** Already in the current layout: logs so and changes nothing. */
    juce::Result convertToV3 (const juce::File& outputFile, int qualityOptionIndex,
                              const juce::String& extension, bool dryRun) override;

    /** The number of stems: the multistem file's channel pairs. */
    int getNumStems() const noexcept;

    static constexpr int mixPieceSize = 256;

    /** The theme's single stem source, null when its file was missing. Destroyed first, before
        the read-ahead threads it runs on can go. */
    std::unique_ptr<XLoopSource> multistemSource;
    juce::SharedResourcePointer<BufferingThreadsArray> bufferingThreads;
    std::vector<float> lastVolumes;        // per stem, the volume at the end of the previous piece
    juce::AudioBuffer<float> mixBuffer;    // numChannels × 256 scratch, set up by prepareToPlay

private:
    // Rendering thread: one block in pieces of at most mixPieceSize, each piece read from the
    // multistem source into mixBuffer and mixed stem by stem into channels 0 and 1 of the region.
    void mixBlock (const juce::AudioSourceChannelInfo& region);
    void mixPiece (const juce::AudioSourceChannelInfo& region, int offset, int piece);
    void mixStem (const juce::AudioSourceChannelInfo& region, int offset, int piece, int stem);
    bool isPreparedForMixing() const noexcept;
    int getNumMixableStems() const noexcept;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (ThemeSourceV3)
};

} // namespace QVAudioEngineV4
