#pragma once

#include "themes/AbstractStemSource.h"
#include "common/EngineTypes.h"

namespace QVAudioEngineV4
{

/**
    A stem that loops one audio file whole, with period fileLength from theme position 0,
    optionally preceded on the first pass by a clean-start companion file (the stem's name
    followed by "cs").

    Both files are read ahead on a shared background thread; the main file's read-ahead loops
    the file, so it runs on across every loop point and the wrap plays without a gap in real
    time. Blocks are read in pieces that never cross a loop boundary. In real time a read never
    waits; offline (while properties.realtime is false) each piece waits up to 500 ms for its data.
*/
class StemSource : public AbstractStemSource
{
public:
    /** Opens the stem: the main file is stemFile with its extension replaced by
        audioExtension, the companion is "<name>cs.<audioExtension>" beside it. */
    StemSource (juce::File stemFile,
                const ThemeProperties& themeProperties,
                juce::TimeSliceThread* thread,
                int readAheadSamples,
                bool prefill,
                juce::String audioExtension);

    ~StemSource() override;

    void prepareToPlay (int samplesPerBlockExpected, double sampleRate) override;
    void releaseResources() override;
    void getNextAudioBlock (const juce::AudioSourceChannelInfo& info) override;

    void setNextReadPosition (juce::int64 newPosition) override;
    juce::int64 getNextReadPosition() const override { return nextReadPosition; }
    juce::int64 getTotalLength() const override;
    bool isLooping() const override { return true; }

    juce::String getFileName() const override { return fileName; }
    juce::AudioFormatReader* getReader() override { return mainReader.get(); }

    /** The loop period: the main file's sample count, 0 while no main file is open. */
    juce::int64 getFileLength() const noexcept { return fileLength; }

    /** True while reads come from the main file, false while from the clean-start companion. */
    bool isPlayingMain() const noexcept { return playingMain; }

    /** Span of theme time after which the stem is silent when properties.length is unbounded. */
    static constexpr juce::int64 unboundedLength = 36000000000LL;

    /** How long an offline read waits for one piece to be buffered. */
    static constexpr juce::uint32 offlineWaitMs = 500;

private:
    std::unique_ptr<juce::BufferingAudioSource> createBufferedSource (juce::AudioFormatReader& reader,
                                                                      bool prefill, bool looping) const;

    /** Moves on after the active source has read up to newPosition. */
    void readOnTo (juce::int64 newPosition);

    juce::String fileName;
    const ThemeProperties* properties;
    juce::int64 fileLength = 0;
    juce::int64 nextReadPosition = 0;
    bool playingMain = true;
    std::unique_ptr<juce::AudioFormatReader> csReader;
    std::unique_ptr<juce::BufferingAudioSource> csSource;
    std::unique_ptr<juce::AudioFormatReader> mainReader;
    std::unique_ptr<juce::BufferingAudioSource> mainSource;
    juce::TimeSliceThread* bufferingThread;
    int readAhead;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (StemSource)
};

} // namespace QVAudioEngineV4
