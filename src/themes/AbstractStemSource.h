#pragma once

#include "common/QVJuce.h"

namespace QVAudioEngineV4
{

/**
    One stem of a theme: audio positioned in theme time, read ahead on a background
    thread, that adds itself into the theme's mix with a click-free gain change.
*/
class AbstractStemSource : public juce::PositionableAudioSource
{
public:
    AbstractStemSource() = default;
    ~AbstractStemSource() override = default;

    /** The full path of the stem's audio file. */
    virtual juce::String getFileName() const = 0;

    /** The reader of the stem's file; null when it could not be opened. */
    virtual juce::AudioFormatReader* getReader() = 0;

    /**
        Writes (replace) or adds the source into the destination, channel by channel, over the
        destination's sample count, ramping the gain from the one the previous call ended at to
        the given one. The ramp accumulates in single precision from lastGain with a step of
        (gain - lastGain) / n, so the last sample is one step short of the gain; equal gains
        take the constant-gain path. Only channels and samples that the source has are read;
        in replace mode destination channels the source lacks are cleared.
    */
    void contribute (juce::AudioBuffer<float>& destination,
                     const juce::AudioBuffer<float>& source,
                     float gain,
                     bool replace);

    /**
        Offline reading: wakes the read-ahead thread of the source, then waits up to timeoutMs
        for the region to be buffered.
    */
    static bool waitForBufferedRegion (juce::BufferingAudioSource& source,
                                       const juce::AudioSourceChannelInfo& info,
                                       juce::uint32 timeoutMs);

    /** The same for a source that reads on from playPosition: a source over a looping reader
        reports its position wrapped into the file, which must not be handed back to it. */
    static bool waitForBufferedRegion (juce::BufferingAudioSource& source,
                                       juce::int64 playPosition,
                                       const juce::AudioSourceChannelInfo& info,
                                       juce::uint32 timeoutMs);

    /** Channel count of the stem's audio. */
    int numChannels = 2;

    /** The gain the previous contribute() ended at; 0 so the first call fades the stem in. */
    float lastGain = 0.0f;

protected:
    /** Opens a reader for the file through the shared format manager: the first registered
        format that accepts the file and reads it from a stream that opened. Null otherwise. */
    static std::unique_ptr<juce::AudioFormatReader> openReader (const juce::File& file);

private:
    JUCE_DECLARE_NON_COPYABLE (AbstractStemSource)
};

} // namespace QVAudioEngineV4
