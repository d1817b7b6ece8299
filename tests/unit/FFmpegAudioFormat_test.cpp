#include <gtest/gtest.h>

#include "AudioFixtures.h"
#include "TestSupport.h"
#include "common/FFmpegAudioFormat.h"
#include "common/SharedResources.h"

#include <cmath>
#include <thread>

using namespace QVAudioEngineV4;

namespace
{

constexpr double fixtureSeconds = 3.0;
constexpr float amplitude = 0.5f;
// Channel c of every fixture is a sine of 440 + 220 c Hz, so a swapped channel shows.
double frequencyOf (int channel) { return 440.0 + 220.0 * channel; }

/** Runs the ffmpeg program; false if it cannot be started, fails or takes too long. */
bool runFfmpeg (juce::StringArray args)
{
    juce::StringArray command { "ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y" };
    command.addArray (args);
    args = command;
    juce::ChildProcess process;

    if (! process.start (args, juce::ChildProcess::wantStdErr))
        return false;

    const auto output = process.readAllProcessOutput();
    const auto finished = process.waitForProcessToFinish (60000);

    if (! finished || process.getExitCode() != 0)
    {
        ADD_FAILURE() << "ffmpeg failed: " << args.joinIntoString (" ") << "\n" << output;
        return false;
    }

    return true;
}

bool ffmpegAvailable()
{
    juce::ChildProcess process;
    return process.start ("ffmpeg -version") && process.waitForProcessToFinish (10000) && process.getExitCode() == 0;
}

juce::String sineSource (int rate, int channels)
{
    juce::StringArray exprs;

    for (int c = 0; c < channels; ++c)
        exprs.add (juce::String (amplitude) + "*sin(2*PI*" + juce::String (frequencyOf (c)) + "*t)");

    return "aevalsrc=exprs=" + exprs.joinIntoString ("|") + ":s=" + juce::String (rate) + ":d=" + juce::String (fixtureSeconds);
}

/** Writes a fixture: the sine soundtrack, with a small test picture when withVideo. */
bool makeMedia (const juce::File& file, int rate, int channels, juce::StringArray codecArgs, bool withVideo)
{
    juce::StringArray args { "-f", "lavfi", "-i", sineSource (rate, channels) };

    if (withVideo)
        args.addArray ({ "-f", "lavfi", "-i", "testsrc=size=64x48:rate=10:duration=" + juce::String (fixtureSeconds) });

    args.addArray (codecArgs);
    args.add (file.getFullPathName());
    return runFfmpeg (args);
}

std::unique_ptr<juce::AudioFormatReader> openThroughSharedManager (const juce::File& file)
{
    juce::SharedResourcePointer<SharedFormatManager> formats;
    return std::unique_ptr<juce::AudioFormatReader> (formats->createReaderFor (file));
}

juce::AudioBuffer<float> readRange (juce::AudioFormatReader& reader, juce::int64 start, int count)
{
    juce::AudioBuffer<float> buffer ((int) reader.numChannels, count);
    buffer.clear();
    reader.read (&buffer, 0, count, start, true, true);
    return buffer;
}

/** The reference: a fresh reader's straight read of the whole file. */
juce::AudioBuffer<float> readStraight (const juce::File& file)
{
    auto reader = openThroughSharedManager (file);
    return reader != nullptr ? readRange (*reader, 0, (int) reader->lengthInSamples) : juce::AudioBuffer<float>();
}

/** Frequency from the zero crossings of [from, from + count), and the amplitude of a sine with
    the RMS level found there (lossy encoders leave peaks above a pure tone's). */
void measureSine (const juce::AudioBuffer<float>& audio, int channel, int from, int count, double rate,
                  double& frequency, float& sineAmplitude)
{
    const auto* data = audio.getReadPointer (channel);
    int firstCrossing = -1, lastCrossing = -1, crossings = 0;
    sineAmplitude = audio.getRMSLevel (channel, from, count) * std::sqrt (2.0f);

    for (int i = from + 1; i < from + count; ++i)
    {
        if ((data[i - 1] < 0.0f) != (data[i] < 0.0f))
        {
            if (firstCrossing < 0)
                firstCrossing = i;

            lastCrossing = i;
            ++crossings;
        }
    }

    frequency = crossings > 1 ? (crossings - 1) / 2.0 / ((lastCrossing - firstCrossing) / rate) : 0.0;
}

//==============================================================================
struct MediaCase
{
    const char* name;
    const char* extension;
    int rate;
    int channels;
    bool withVideo;
    std::vector<const char*> codecArgs;
    int lengthTolerance;     // samples the decoded length may differ from the generated duration by
    float readTolerance;     // how far a positioned read may differ from the straight read
};

// PCM and FLAC decode exactly wherever a read starts. Lossy decoders give a straight decode's
// samples after the pre-roll up to their own noise: the AAC and AC-3 decoders fill some bands
// from a random generator whose state a seek cannot restore, and Opus's energy prediction
// settles to within a few parts in a hundred thousand.
constexpr float lossyTolerance = 1.0e-4f;
const MediaCase mediaCases[] {
    { "Mp4Aac44100Stereo",   "mp4",  44100, 2, true,  { "-c:v", "mpeg4", "-c:a", "aac", "-b:a", "128k" }, 2048, lossyTolerance },
    { "MkvOpus48000Stereo",  "mkv",  48000, 2, true,  { "-c:v", "mpeg4", "-c:a", "libopus" }, 1000, lossyTolerance },
    { "WebmOpus48000Mono",   "webm", 48000, 1, true,  { "-c:v", "libvpx", "-c:a", "libopus" }, 1000, lossyTolerance },
    { "MovPcmS16Stereo",     "mov",  48000, 2, true,  { "-c:v", "mpeg4", "-c:a", "pcm_s16le" }, 0, 0.0f },
    { "AviMp344100Stereo",   "avi",  44100, 2, true,  { "-c:v", "mpeg4", "-c:a", "libmp3lame" }, 2400, lossyTolerance },
    { "MkvAc348000Stereo",   "mkv",  48000, 2, true,  { "-c:v", "mpeg4", "-c:a", "ac3" }, 2048, lossyTolerance },
    { "MkvFlac44100Stereo",  "mkv",  44100, 2, true,  { "-c:v", "mpeg4", "-c:a", "flac" }, 0, 0.0f },
    { "Mp3Mono44100",        "mp3",  44100, 1, false, { "-c:a", "libmp3lame" }, 1200, lossyTolerance },
    { "M4aAacMono48000",     "m4a",  48000, 1, false, { "-c:a", "aac" }, 2048, lossyTolerance },
    { "OpusStereo48000",     "opus", 48000, 2, false, { "-c:a", "libopus" }, 1000, lossyTolerance },
};

/** The case's fixture, made on first use (each test process makes only the files it reads). */
juce::File fixtureFile (const qvtest::TempFolder& folder, const MediaCase& c)
{
    const auto file = folder.getChildFile (juce::String (c.name) + "." + c.extension);

    if (! file.existsAsFile())
    {
        juce::StringArray args;

        for (auto* a : c.codecArgs)
            args.add (a);

        makeMedia (file, c.rate, c.channels, args, c.withVideo);
    }

    return file;
}

class FFmpegAudioFormatTest : public ::testing::Test
{
public:
    static void SetUpTestSuite()
    {
        if (! ffmpegAvailable())
            return;

        folder = std::make_unique<qvtest::TempFolder>();
    }

    static void TearDownTestSuite() { folder.reset(); }

protected:
    void SetUp() override
    {
        if (folder == nullptr)
            GTEST_SKIP() << "the ffmpeg program is not installed; it makes the fixtures";
    }

    static std::unique_ptr<qvtest::TempFolder> folder;
};

std::unique_ptr<qvtest::TempFolder> FFmpegAudioFormatTest::folder;

class FFmpegMediaTest : public FFmpegAudioFormatTest,
                        public ::testing::WithParamInterface<MediaCase> {};

TEST_P (FFmpegMediaTest, ReportsFormatAndLengthAndDecodesTheSine)
{
    const auto& c = GetParam();
    auto reader = openThroughSharedManager (fixtureFile (*folder, c));
    ASSERT_NE (reader, nullptr);

    EXPECT_EQ (reader->getFormatName(), juce::String (FFmpegAudioFormat::formatName));
    EXPECT_EQ (reader->sampleRate, c.rate);
    EXPECT_EQ ((int) reader->numChannels, c.channels);

    const auto expectedLength = (juce::int64) std::llround (c.rate * fixtureSeconds);
    EXPECT_LE (std::abs (reader->lengthInSamples - expectedLength), c.lengthTolerance)
        << "length " << reader->lengthInSamples << ", expected " << expectedLength;

    const auto audio = readRange (*reader, 0, (int) reader->lengthInSamples);

    for (int ch = 0; ch < c.channels; ++ch)
    {
        double frequency = 0.0;
        float level = 0.0f;
        measureSine (audio, ch, c.rate / 2, c.rate, c.rate, frequency, level);
        EXPECT_NEAR (frequency, frequencyOf (ch), frequencyOf (ch) * 0.005) << "channel " << ch;
        // LAME leaves a pure tone about 0.45 dB quieter; the others stay within a few thousandths.
        EXPECT_NEAR (level, amplitude, 0.03f) << "channel " << ch;
    }
}

TEST_P (FFmpegMediaTest, PositionedReadsGiveTheSamplesOfAStraightRead)
{
    const auto& c = GetParam();
    auto reader = openThroughSharedManager (fixtureFile (*folder, c));
    ASSERT_NE (reader, nullptr);

    const auto length = reader->lengthInSamples;
    const auto straight = readRange (*reader, 0, (int) length);

    struct Read { const char* what; juce::int64 start; int count; };
    const Read reads[] {
        { "ahead, mid-packet",           (juce::int64) (length * 0.6) + 333, 5000 },
        { "backwards, mid-packet",       12345,                         4000 },
        { "backwards to the start",      0,                             3000 },
        { "just ahead of the last read", 3100,                          1 },
        { "forwards past a seek limit",  length / 2 + 777,              2 },
        { "across the end",              length - 700,                  2000 },
        { "backwards after the end",     length / 3 + 1,                1500 },
        { "past the end",                length + 500,                  1000 },
        { "before the start",            -300,                          900 },
    };

    for (auto& r : reads)
    {
        SCOPED_TRACE (juce::String (r.what) + " from " + juce::String (r.start));
        const auto actual = readRange (*reader, r.start, r.count);

        for (int ch = 0; ch < (int) reader->numChannels; ++ch)
        {
            float worst = 0.0f;
            int worstAt = -1;

            for (int i = 0; i < r.count; ++i)
            {
                const auto position = r.start + i;
                const auto expected = position >= 0 && position < length ? straight.getSample (ch, (int) position) : 0.0f;
                const auto difference = std::abs (actual.getSample (ch, i) - expected);

                if (difference > worst)
                {
                    worst = difference;
                    worstAt = (int) position;
                }
            }

            EXPECT_LE (worst, c.readTolerance) << "channel " << ch << ", worst at sample " << worstAt;
        }
    }
}

INSTANTIATE_TEST_SUITE_P (FFmpegContainers, FFmpegMediaTest, ::testing::ValuesIn (mediaCases),
                          [] (const auto& info) { return std::string (info.param.name); });

TEST_F (FFmpegAudioFormatTest, PcmInMovDecodesToTheExactSamplesWritten)
{
    const auto& c = mediaCases[3];
    ASSERT_STREQ (c.name, "MovPcmS16Stereo");
    auto reader = openThroughSharedManager (fixtureFile (*folder, c));
    ASSERT_NE (reader, nullptr);

    const auto audio = readRange (*reader, 0, (int) reader->lengthInSamples);

    for (int ch = 0; ch < 2; ++ch)
        for (int i = 0; i < audio.getNumSamples(); i += 97)
        {
            const auto expected = amplitude * std::sin (2.0 * juce::MathConstants<double>::pi * frequencyOf (ch) * i / c.rate);
            ASSERT_NEAR (audio.getSample (ch, i), expected, 1.5 / 32768.0) << "channel " << ch << " sample " << i;
        }
}

TEST_F (FFmpegAudioFormatTest, ReadersOnSeveralThreadsAtOnceEachReadTheirFile)
{
    const auto& c = mediaCases[6];
    ASSERT_STREQ (c.name, "MkvFlac44100Stereo");
    const auto file = fixtureFile (*folder, c);
    const auto expected = readStraight (file);
    ASSERT_GT (expected.getNumSamples(), 0);

    std::atomic<int> mismatches { 0 };
    std::vector<std::thread> threads;

    for (int t = 0; t < 4; ++t)
        threads.emplace_back ([&, t]
        {
            auto reader = openThroughSharedManager (file);

            if (reader == nullptr)
            {
                ++mismatches;
                return;
            }

            for (juce::int64 start = 1000 * t; start < reader->lengthInSamples; start += 20011)
            {
                const auto part = readRange (*reader, start, 3000);

                for (int i = 0; i < part.getNumSamples() && start + i < expected.getNumSamples(); ++i)
                    if (part.getSample (1, i) != expected.getSample (1, (int) start + i))
                    {
                        ++mismatches;
                        break;
                    }
            }
        });

    for (auto& thread : threads)
        thread.join();

    EXPECT_EQ (mismatches.load(), 0);
}

//==============================================================================
struct UnreadableCase
{
    const char* name;
    const char* fileName;
    std::function<bool (const juce::File&, const qvtest::TempFolder&)> make;
};

const UnreadableCase unreadableCases[] {
    { "TextFileNamedMp4", "notes.mp4",
      [] (const juce::File& f, const qvtest::TempFolder&) { return f.replaceWithText ("These are not the pictures you are looking for.\n"); } },
    { "EmptyFile", "empty.mp4",
      [] (const juce::File& f, const qvtest::TempFolder&) { return f.replaceWithData (nullptr, 0); } },
    { "TruncatedMp4", "truncated.mp4",
      [] (const juce::File& f, const qvtest::TempFolder& folder)
      {
          juce::MemoryBlock whole;
          return fixtureFile (folder, mediaCases[0]).loadFileAsData (whole)
                 && f.replaceWithData (whole.getData(), whole.getSize() / 3);
      } },
    { "VideoWithoutAudio", "silent-film.mp4",
      [] (const juce::File& f, const qvtest::TempFolder&)
      {
          return runFfmpeg ({ "-f", "lavfi", "-i", "testsrc=size=64x48:rate=10:duration=1", "-c:v", "mpeg4", f.getFullPathName() });
      } },
    { "RandomBytesNamedMkv", "noise.mkv",
      [] (const juce::File& f, const qvtest::TempFolder&)
      {
          juce::MemoryBlock bytes (200000);
          juce::Random random (7);
          for (size_t i = 0; i < bytes.getSize(); ++i)
              bytes[i] = (char) random.nextInt (256);
          return f.replaceWithData (bytes.getData(), bytes.getSize());
      } },
};

class FFmpegUnreadableTest : public FFmpegAudioFormatTest,
                             public ::testing::WithParamInterface<UnreadableCase> {};

TEST_P (FFmpegUnreadableTest, IsRefusedAndTheCallerKeepsItsStream)
{
    const auto& c = GetParam();
    const auto file = folder->getChildFile (c.fileName);
    ASSERT_TRUE (c.make (file, *folder));

    EXPECT_EQ (openThroughSharedManager (file), nullptr);

    // Asked not to delete the stream, the format hands it back where it was.
    juce::MemoryBlock data;
    file.loadFileAsData (data);  // false for an empty file, which is one of the cases
    FFmpegAudioFormat format;
    juce::MemoryInputStream stream (data, false);
    EXPECT_EQ (format.createReaderFor (&stream, false), nullptr);
    EXPECT_EQ (stream.getPosition(), 0);

    // Asked to delete it, the format does (a leak would show under the sanitizers).
    EXPECT_EQ (format.createReaderFor (new juce::MemoryInputStream (data.getData(), data.getSize(), false), true), nullptr);
}

INSTANTIATE_TEST_SUITE_P (FFmpegInputs, FFmpegUnreadableTest, ::testing::ValuesIn (unreadableCases),
                          [] (const auto& info) { return std::string (info.param.name); });

TEST_F (FFmpegAudioFormatTest, ReadsFromAStreamThatStartsPartWayIntoItsData)
{
    // The reader reads the stream it is given, from where it stands, not the file by path.
    juce::MemoryBlock whole;
    ASSERT_TRUE (fixtureFile (*folder, mediaCases[0]).loadFileAsData (whole));
    juce::MemoryBlock shifted;
    shifted.append ("0123456789", 10);
    shifted.append (whole.getData(), whole.getSize());

    auto* stream = new juce::MemoryInputStream (shifted, true);
    stream->setPosition (10);
    FFmpegAudioFormat format;
    std::unique_ptr<juce::AudioFormatReader> reader (format.createReaderFor (stream, true));
    ASSERT_NE (reader, nullptr);

    const auto expected = readStraight (fixtureFile (*folder, mediaCases[0]));
    ASSERT_GE (expected.getNumSamples(), 9000);
    const auto actual = readRange (*reader, 5000, 4000);

    for (int i = 0; i < actual.getNumSamples(); ++i)
        ASSERT_EQ (actual.getSample (0, i), expected.getSample (0, 5000 + i)) << "sample " << 5000 + i;
}

TEST_F (FFmpegAudioFormatTest, WavStaysWithTheFrameworkReader)
{
    const auto file = folder->getChildFile ("plain.wav");
    ASSERT_TRUE (qvtest::writeIndexedWav (file, 2, 1000));
    auto reader = openThroughSharedManager (file);
    ASSERT_NE (reader, nullptr);
    EXPECT_EQ (reader->getFormatName(), "WAV file");
}

TEST (FFmpegAudioFormat, ClaimsVideoAndCompressedAudioExtensionsOnly)
{
    FFmpegAudioFormat format;
    const std::pair<const char*, bool> names[] {
        { "a.mp4", true }, { "a.M4A", true }, { "a.mov", true }, { "a.mkv", true }, { "a.webm", true },
        { "a.avi", true }, { "a.mp3", true }, { "a.aac", true }, { "a.opus", true }, { "a.ac3", true },
        { "a.mpg", true }, { "a.ts", true }, { "a.wmv", true }, { "a.flv", true }, { "a.ogv", true },
        { "a.wav", false }, { "a.aiff", false }, { "a.aif", false }, { "a.flac", false }, { "a.ogg", false },
        { "a.txt", false }, { "mp4", false },
    };

    for (auto& [name, claimed] : names)
        EXPECT_EQ (format.canHandleFile (juce::File ("/tmp").getChildFile (name)), claimed) << name;

    EXPECT_EQ (format.createWriterFor (nullptr, 48000.0, 2, 16, {}, 0), nullptr);
}

} // namespace
