#pragma once

#include "themes/AbstractStemSource.h"
#include "common/EngineTypes.h"

/**
    Fade state and scratch buffer of a cross-looping stem.

    primary is the source being played (faded out during a crossfade or final fade-out),
    incoming the one being faded in during a loop crossfade. remaining counts the fade
    samples still to go: negative for a fade-in, positive for a fade-out or crossfade.
    delay is the number of samples of the next block to play before the fade begins.
*/
class Crossfader
{
public:
    /** Sets the scratch buffer's size; its contents are undefined afterwards. */
    void setSize (int numChannels, int numSamples);

    /** Drops both sources and ends any fade. */
    void reset() noexcept;

    /** Starts an overlay fade over the running fade: after delay samples at gain, remaining
        of length samples ramp on towards 0 (fadesOut) or 1. */
    void startOverlay (int length, int remaining, juce::int64 delay, float gain, bool fadesOut) noexcept;

    /** Lets the source fill the region (clears it when there is no source). With wait set and a
        read-ahead source, first waits up to 5000 ms for the region to be buffered. */
    static void getNextAudioBlock (juce::AudioSource* source, const juce::AudioSourceChannelInfo& info, bool wait);

    static constexpr juce::uint32 offlineWaitMs = 5000;

    juce::AudioSource* primary = nullptr;
    juce::AudioSource* incoming = nullptr;
    int length = 0;
    int remaining = 0;
    juce::int64 delay = 0;
    float gain = 0.0f;
    juce::AudioBuffer<float> buffer;

    /** A fade-in or final fade-out that overlaps the fade above (a fade-in still running at a
        loop point, the end of the track reached during a fade), applied to that fade's output.
        overlayLength is 0 when none runs. The first overlayDelay samples keep overlayGain, then
        overlayRemaining samples ramp on to 1 (fade-in) or 0 (fade-out). When the fade below it
        ends first, the overlay carries on as the one fade. */
    int overlayLength = 0;
    int overlayRemaining = 0;
    juce::int64 overlayDelay = 0;
    float overlayGain = 1.0f;
    bool overlayFadesOut = false;
};

namespace QVAudioEngineV4
{

/**
    A stem (or a multistem of channel pairs) recorded as one take of three sections: a clean
    start of C = properties.loopStart samples, the loop of L = properties.loopLength samples and
    the ending of N = properties.loopEnding samples.

    It plays the clean start once, then repeats the loop. At every loop point the take that
    keeps running into the ending section is crossfaded linearly over 960 samples into a second
    read-ahead source waiting at the loop start, so each pass's decay overlaps the next pass.
    With properties.playEnding the loop point that reaches the ending is not crossfaded and the
    ending plays through. It fades in after positioning (240 samples) and at the offset point
    (480 samples) and fades out over 1024 samples at the end of the track (offset + length).

    Theme position p is nextReadPosition p + properties.offset; filePosition is where in the file
    the playing source reads next. Rendering and positioning are serialised by a lock. Offline
    (properties.realtime false) every read waits up to 5000 ms for its data; in real time none does.
*/
class XLoopSource : public AbstractStemSource
{
public:
    XLoopSource (const juce::File& file,
                 const ThemeProperties& themeProperties,
                 juce::TimeSliceThread* thread,
                 int readAheadSamples,
                 bool prefill);

    ~XLoopSource() override;

    void prepareToPlay (int samplesPerBlockExpected, double sampleRate) override;
    void releaseResources() override;
    void getNextAudioBlock (const juce::AudioSourceChannelInfo& info) override;

    void setNextReadPosition (juce::int64 newPosition) override;
    juce::int64 getNextReadPosition() const override { return nextReadPosition; }
    juce::int64 getTotalLength() const override;
    bool isLooping() const override { return false; }

    juce::String getFileName() const override { return file.getFullPathName(); }
    juce::AudioFormatReader* getReader() override { return reader.get(); }

    /** Where in the file the playing source reads next. */
    juce::int64 getFilePosition() const noexcept { return filePosition; }

    /** Reseeds the generator of the block counts after which the waiting source returns to the
        loop start (each source otherwise starts from its own random seed). */
    void setRandomSeed (juce::int64 seed);

    const ThemeProperties* properties;
    juce::TimeSliceThread* bufferingThread;
    int crossfadeLength = 960;
    int endFadeLength = 1024;
    juce::int64 nextReadPosition = 0;
    juce::int64 filePosition = 0;
    int readAhead;

private:
    void renderBlock (const juce::AudioSourceChannelInfo& info);
    void renderPart (const juce::AudioSourceChannelInfo& info, int offset, int numSamples);
    void render (const juce::AudioSourceChannelInfo& info);
    void applyOverlay (const juce::AudioSourceChannelInfo& info);
    void startFadeIn (int length, juce::int64 delay);
    void startLoopCrossfade (juce::int64 delay);
    void startFinalFade (juce::int64 delay);
    int outputChannels (const juce::AudioSourceChannelInfo& info) const;

    juce::File file;
    std::unique_ptr<juce::AudioFormatReader> reader;
    std::unique_ptr<juce::BufferingAudioSource> currentSource;
    std::unique_ptr<juce::BufferingAudioSource> nextSource;
    int repositionCountdown = 0;
    Crossfader crossfader;
    juce::CriticalSection lock;
    // Each source draws its own block counts. A generator per source, rather than the shared
    // system one, keeps sources rendered on different threads from racing on one state.
    juce::Random random;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (XLoopSource)
};

} // namespace QVAudioEngineV4
