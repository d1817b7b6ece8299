#include "AudioFixtures.h"

#include <cmath>

#include <gtest/gtest.h>

namespace qvtest
{

namespace
{
    constexpr float codeScale = 8388608.0f;   // 2^23
    constexpr juce::int64 frameWrap = 524288; // 2^19

    bool writeBuffer (const juce::File& file, juce::AudioFormat& format,
                      const juce::AudioBuffer<float>& data, int bitsPerSample, int qualityIndex)
    {
        file.deleteFile();
        auto stream = file.createOutputStream();

        if (stream == nullptr)
            return false;

        std::unique_ptr<juce::AudioFormatWriter> writer (format.createWriterFor (stream.get(), 48000.0,
                                                                                (unsigned int) data.getNumChannels(),
                                                                                bitsPerSample, {}, qualityIndex));
        if (writer == nullptr)
            return false;

        stream.release();   // the writer owns it now

        return data.getNumSamples() == 0
            || writer->writeFromAudioSampleBuffer (data, 0, data.getNumSamples());
    }
}

float encodeSample (juce::int64 frame, int channel)
{
    return (float) ((frame % frameWrap) * 16 + channel + 1) / codeScale;
}

juce::int64 decodeFrame (float sample)
{
    const auto code = (juce::int64) std::llround ((double) sample * codeScale);
    return code <= 0 ? -1 : (code - 1) / 16;
}

int decodeChannel (float sample)
{
    const auto code = (juce::int64) std::llround ((double) sample * codeScale);
    return code <= 0 ? -1 : (int) ((code - 1) % 16);
}

bool writeIndexedWav (const juce::File& file, int numChannels, int numFrames, int bitsPerSample, juce::int64 frameOffset)
{
    juce::AudioBuffer<float> data (numChannels, numFrames);

    for (int c = 0; c < numChannels; ++c)
        for (int i = 0; i < numFrames; ++i)
            data.setSample (c, i, encodeSample (frameOffset + i, c));

    juce::WavAudioFormat wav;
    return writeBuffer (file, wav, data, bitsPerSample, 0);
}

bool writeOggVorbis (const juce::File& file, int numChannels, int numFrames,
                     const std::function<float (int, int)>& generator, int qualityIndex)
{
    juce::AudioBuffer<float> data (numChannels, numFrames);

    for (int c = 0; c < numChannels; ++c)
        for (int i = 0; i < numFrames; ++i)
            data.setSample (c, i, generator (i, c));

    juce::OggVorbisAudioFormat ogg;
    return writeBuffer (file, ogg, data, 16, qualityIndex);
}

bool writeEmptyWav (const juce::File& file, int numChannels)
{
    juce::AudioBuffer<float> data (numChannels, 0);
    juce::WavAudioFormat wav;
    return writeBuffer (file, wav, data, 24, 0);
}

juce::AudioBuffer<float> readWholeFile (const juce::File& file)
{
    juce::AudioFormatManager manager;
    manager.registerBasicFormats();
    std::unique_ptr<juce::AudioFormatReader> reader (manager.createReaderFor (file));

    if (reader == nullptr)
        return {};

    juce::AudioBuffer<float> data ((int) reader->numChannels, (int) reader->lengthInSamples);
    reader->read (&data, 0, data.getNumSamples(), 0, true, true);
    return data;
}

juce::AudioBuffer<float> renderSource (juce::AudioSource& source, int numChannels, int totalSamples, int blockSize)
{
    juce::AudioBuffer<float> out (numChannels, totalSamples);
    out.clear();

    for (int done = 0; done < totalSamples;)
    {
        const int n = juce::jmin (blockSize, totalSamples - done);
        source.getNextAudioBlock (juce::AudioSourceChannelInfo (&out, done, n));
        done += n;
    }

    return out;
}

void expectSameAudio (const juce::AudioBuffer<float>& actual, const juce::AudioBuffer<float>& expected,
                      int from, int to, const juce::String& what, float tolerance)
{
    int failures = 0;

    for (int c = 0; c < expected.getNumChannels(); ++c)
        for (int i = from; i < to && failures < 5; ++i)
            if (std::abs (actual.getSample (c, i) - expected.getSample (c, i)) > tolerance)
            {
                const float a = actual.getSample (c, i), e = expected.getSample (c, i);
                ADD_FAILURE() << what << ": channel " << c << " sample " << i << " is " << a
                              << " (frame " << decodeFrame (a) << " of channel " << decodeChannel (a) << "), expected "
                              << e << " (frame " << decodeFrame (e) << " of channel " << decodeChannel (e) << ")";
                ++failures;
            }
}

bool isSilent (const juce::AudioBuffer<float>& buffer, int from, int to)
{
    for (int c = 0; c < buffer.getNumChannels(); ++c)
        for (int i = from; i < to; ++i)
            if (buffer.getSample (c, i) != 0.0f)
                return false;

    return true;
}

} // namespace qvtest
