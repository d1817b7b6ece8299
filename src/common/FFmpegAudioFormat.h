#pragma once

#include "common/QVJuce.h"

namespace QVAudioEngineV4
{

/**
    Reads the audio track of video files and compressed audio files (mp4, mov, mkv, webm,
    avi, mp3, aac, opus, ...) through FFmpeg's libraries. Plain WAV, AIFF, FLAC and Ogg Vorbis
    files are left to the framework's own readers: this format does not claim their extensions.

    A reader reports the file's own sample rate and channel count, delivers 32-bit float
    samples, and its positioned reads are sample-accurate: reading a range from any start gives
    the samples a straight read from the start would give there. Opening a reader decodes the
    audio track once to the end, which makes lengthInSamples exact and builds the seek index.

    Reading only; there is no writer. A reader is used by one thread at a time; separate
    readers may run on separate threads at once.
*/
class FFmpegAudioFormat : public juce::AudioFormat
{
public:
    FFmpegAudioFormat();
    ~FFmpegAudioFormat() override;

    juce::Array<int> getPossibleSampleRates() override;
    juce::Array<int> getPossibleBitDepths() override;
    bool canDoStereo() override { return true; }
    bool canDoMono() override { return true; }
    bool isCompressed() override { return true; }

    /** Any thread. Returns null, without touching the stream beyond reading it, when the stream
        is not media FFmpeg can read or has no decodable audio; the stream is then deleted only
        when deleteStreamIfOpeningFails is true, and otherwise left at the position it had. */
    juce::AudioFormatReader* createReaderFor (juce::InputStream* sourceStream,
                                              bool deleteStreamIfOpeningFails) override;

    /** No writer: always null. */
    juce::AudioFormatWriter* createWriterFor (juce::OutputStream*, double, unsigned int, int,
                                              const juce::StringPairArray&, int) override;

    using juce::AudioFormat::createWriterFor;

    /** The name the format and its readers report. */
    static const char* const formatName;
};

} // namespace QVAudioEngineV4
