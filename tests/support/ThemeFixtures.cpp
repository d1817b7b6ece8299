#include "ThemeFixtures.h"

#include "AudioFixtures.h"

#include <gtest/gtest.h>

namespace qvtest
{

namespace
{
    bool writeWav (const juce::File& file, const juce::AudioBuffer<float>& data, int bitsPerSample)
    {
        file.deleteFile();
        auto stream = file.createOutputStream();

        if (stream == nullptr)
            return false;

        juce::WavAudioFormat wav;
        std::unique_ptr<juce::AudioFormatWriter> writer (wav.createWriterFor (stream.get(), 48000.0,
                                                                             (unsigned int) data.getNumChannels(),
                                                                             bitsPerSample, {}, 0));
        if (writer == nullptr)
            return false;

        stream.release();
        return writer->writeFromAudioSampleBuffer (data, 0, data.getNumSamples());
    }
}

bool writeStemWav (const juce::File& file, int stemIndex, int numFrames, int bitsPerSample)
{
    juce::AudioBuffer<float> data (2, numFrames);

    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < numFrames; ++i)
            data.setSample (c, i, encodeSample (i, 2 * stemIndex + c));

    return writeWav (file, data, bitsPerSample);
}

bool writeMultistemWav (const juce::File& file, int numStems, int numFrames, int bitsPerSample)
{
    juce::AudioBuffer<float> data (2 * numStems, numFrames);

    for (int c = 0; c < 2 * numStems; ++c)
        for (int i = 0; i < numFrames; ++i)
            data.setSample (c, i, encodeSample (i, c));

    return writeWav (file, data, bitsPerSample);
}

bool writeThemeConfig (const juce::File& folder, const juce::var& config)
{
    return folder.createDirectory().wasOk()
        && folder.getChildFile ("config.json").replaceWithText (juce::JSON::toString (config));
}

bool writeOneStemTheme (const juce::File& folder, int numFrames, int cleanStart, int loopLength, int ending)
{
    auto* loop = new juce::DynamicObject();
    loop->setProperty ("clean_start_length", cleanStart);
    loop->setProperty ("loop_length", loopLength);
    loop->setProperty ("ending_length", ending);

    auto* config = new juce::DynamicObject();
    config->setProperty ("version", 3);
    config->setProperty ("multistem", "multistem.wav");
    config->setProperty ("Loop", loop);
    config->setProperty ("Patterns", parseJSON (R"({"AAA": [0]})"));

    return folder.createDirectory().wasOk()
        && writeMultistemWav (folder.getChildFile ("multistem.wav"), 1, numFrames)
        && writeThemeConfig (folder, config);
}

juce::var parseJSON (const juce::String& text)
{
    juce::var result;
    const auto parsed = juce::JSON::parse (text, result);
    EXPECT_TRUE (parsed.wasOk()) << parsed.getErrorMessage() << " in " << text;
    return result;
}

LogCapture::LogCapture() : previous (juce::Logger::getCurrentLogger())
{
    juce::Logger::setCurrentLogger (this);
}

LogCapture::~LogCapture()
{
    juce::Logger::setCurrentLogger (previous);
}

juce::StringArray LogCapture::getLines() const
{
    const juce::ScopedLock sl (lock);
    return lines;
}

bool LogCapture::contains (const juce::String& line) const
{
    return getLines().contains (line);
}

void LogCapture::logMessage (const juce::String& message)
{
    const juce::ScopedLock sl (lock);
    lines.add (message);
}

} // namespace qvtest
