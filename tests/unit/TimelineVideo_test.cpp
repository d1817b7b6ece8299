// The video soundtrack on the timeline: loading it through the shared format manager, the
// timeline length it sets, its place under the clock at the timeline's rate, the video gain and
// mute, and what a failed load leaves in place.

#include "engine/Timeline.h"
#include "engine/AudioEngine.h"

#include "AudioFixtures.h"
#include "DspTestSupport.h"
#include "TestSupport.h"
#include "ThemeFixtures.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace QVAudioEngineV4;

namespace
{
    constexpr int timelineRate = 48000;
    constexpr double toneStart = 1.0, toneEnd = 2.5, soundtrackSeconds = 3.0;
    constexpr float toneAmplitude = 0.5f;
    // The master processor's limiter smooths its gain up from 0 over its first milliseconds;
    // sample-exact checks start after this much has been played.
    constexpr int warmUp = 5120;
    // Channel c carries 440 + 220 c Hz, so swapped channels show.
    double toneFrequency (int channel) { return 440.0 + 220.0 * channel; }

    bool ffmpegAvailable()
    {
        juce::ChildProcess process;
        return process.start ("ffmpeg -version") && process.waitForProcessToFinish (10000) && process.getExitCode() == 0;
    }

    bool runFfmpeg (const juce::StringArray& args)
    {
        juce::StringArray command { "ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y" };
        command.addArray (args);
        juce::ChildProcess process;

        if (! process.start (command, juce::ChildProcess::wantStdErr))
            return false;

        const auto output = process.readAllProcessOutput();

        if (! process.waitForProcessToFinish (60000) || process.getExitCode() != 0)
        {
            ADD_FAILURE() << "ffmpeg failed: " << command.joinIntoString (" ") << "\n" << output;
            return false;
        }

        return true;
    }

    /** The tone soundtrack: silence, the tone from toneStart to toneEnd, silence to the end. */
    bool makeToneMedia (const juce::File& file, int rate, const char* codec)
    {
        juce::StringArray exprs;

        for (int c = 0; c < 2; ++c)
            exprs.add (juce::String (toneAmplitude) + "*sin(2*PI*" + juce::String (toneFrequency (c)) + "*t)*between(t\\,"
                       + juce::String (toneStart) + "\\," + juce::String (toneEnd) + ")");

        return runFfmpeg ({ "-f", "lavfi", "-i", "aevalsrc=exprs=" + exprs.joinIntoString ("|") + ":s=" + juce::String (rate)
                                                   + ":d=" + juce::String (soundtrackSeconds),
                            "-f", "lavfi", "-i", "testsrc=size=64x48:rate=10:duration=" + juce::String (soundtrackSeconds),
                            "-c:v", "mpeg4", "-c:a", codec, file.getFullPathName() });
    }

    bool makeToneWav (const juce::File& file, int rate)
    {
        const int frames = (int) (soundtrackSeconds * rate);
        juce::AudioBuffer<float> data (2, frames);
        data.clear();

        for (int c = 0; c < 2; ++c)
            for (int i = (int) (toneStart * rate); i < (int) (toneEnd * rate); ++i)
                data.setSample (c, i, toneAmplitude * (float) std::sin (juce::MathConstants<double>::twoPi * toneFrequency (c) * i / rate));

        file.deleteFile();
        juce::WavAudioFormat wav;
        std::unique_ptr<juce::AudioFormatWriter> writer (wav.createWriterFor (file.createOutputStream().release(), rate, 2, 24, {}, 0));
        return writer != nullptr && writer->writeFromAudioSampleBuffer (data, 0, frames);
    }

    /** Pulls totalSamples from the timeline in blocks of blockSize. */
    juce::AudioBuffer<float> render (Timeline& timeline, int totalSamples, int blockSize)
    {
        juce::AudioBuffer<float> output (2, totalSamples);
        output.clear();
        qvtest::processInBlocks (timeline, output, blockSize);
        return output;
    }

    /** Frequency from the zero crossings of [from, from + count), and the amplitude of a sine
        with the RMS level found there. */
    void measureTone (const juce::AudioBuffer<float>& audio, int channel, int from, int count,
                      double& frequency, float& amplitude)
    {
        const auto* data = audio.getReadPointer (channel);
        int first = -1, last = -1, crossings = 0;
        amplitude = audio.getRMSLevel (channel, from, count) * std::sqrt (2.0f);

        for (int i = from + 1; i < from + count; ++i)
            if ((data[i - 1] < 0.0f) != (data[i] < 0.0f))
            {
                if (first < 0)
                    first = i;

                last = i;
                ++crossings;
            }

        frequency = crossings > 1 ? (crossings - 1) / 2.0 / ((last - first) / (double) timelineRate) : 0.0;
    }

    /** The gain of the master processor once settled: its limiter's gain smoother settles a
        few parts in a million below 1. Measured on a master of its own, fed a steady level. */
    float settledMasterGain()
    {
        static const float gain = []
        {
            QVCompressorProcessor master;
            master.prepareToPlay (timelineRate, 512);
            juce::AudioBuffer<float> block (2, 512);
            juce::MidiBuffer midi;

            for (int done = 0; done < warmUp; done += 512)
            {
                for (int c = 0; c < 2; ++c)
                    juce::FloatVectorOperations::fill (block.getWritePointer (c), 0.01f, 512);

                master.processBlock (block, midi);
            }

            return block.getSample (0, 511) / 0.01f;
        }();

        return gain;
    }

    /** A sample of the indexed soundtrack as the settled master processor passes it at gain. */
    float expectedSample (juce::int64 frame, int channel, float gain = 1.0f)
    {
        return qvtest::encodeSample (frame, channel) * gain * settledMasterGain();
    }

    /** Expects output samples [from, to) to be soundtrack frames firstFrame, firstFrame + 1, ...
        of an indexed soundtrack at the timeline's rate, at unity gain, on both channels. */
    void expectFrames (const juce::AudioBuffer<float>& output, int from, int to, juce::int64 firstFrame, const char* what)
    {
        int wrong = 0;

        for (int i = from; i < to && wrong < 5; ++i)
            for (int c = 0; c < 2; ++c)
                if (std::abs (output.getSample (c, i) - expectedSample (firstFrame + i - from, c))
                        > 1.0e-6f * expectedSample (firstFrame + i - from, c))
                {
                    ADD_FAILURE() << what << ": output sample " << i << " channel " << c << " holds frame "
                                  << qvtest::decodeFrame (output.getSample (c, i)) << " (channel "
                                  << qvtest::decodeChannel (output.getSample (c, i)) << "), expected frame "
                                  << firstFrame + i - from;
                    ++wrong;
                }
    }

    /** Media made once per test program, on first use. The indexed soundtrack (48000 Hz, 3 s) says
        by each sample which frame of the file it is. */
    class TimelineVideo : public ::testing::Test
    {
    protected:
        static void SetUpTestSuite() { folder = std::make_unique<qvtest::TempFolder>(); }
        static void TearDownTestSuite() { folder.reset(); }

        static juce::File indexedSoundtrack()
        {
            const auto file = folder->getChildFile ("indexed.wav");

            if (! file.existsAsFile())
                EXPECT_TRUE (qvtest::writeIndexedWav (file, 2, (int) (soundtrackSeconds * timelineRate)));

            return file;
        }

        /** A timeline prepared for blockSize with the indexed soundtrack loaded, unmuted, "V" at 2,
            played for warmUp samples: the gain ramp is over and the master processor settled. */
        static void loadUnmuted (Timeline& timeline, int blockSize)
        {
            timeline.setNonRealtime (true);
            timeline.prepareToPlay (timelineRate, blockSize);
            ASSERT_TRUE (timeline.loadVideoFile (indexedSoundtrack()));
            timeline.videoMuted = false;
            timeline.applyParameter (Prop::video, 2.0f);
            const auto played = render (timeline, warmUp, blockSize);
            EXPECT_FALSE (qvtest::isSilent (played, blockSize, warmUp));
        }

        static std::unique_ptr<qvtest::TempFolder> folder;
    };

    std::unique_ptr<qvtest::TempFolder> TimelineVideo::folder;
}

//==============================================================================
TEST_F (TimelineVideo, LengthFollowsTheSoundtrackAndLaterPlacementsRaiseIt)
{
    juce::ScopedJuceInitialiser_GUI juceInit;
    qvtest::TempFolder library;
    const auto theme = library.getChildFile ("One");
    ASSERT_TRUE (qvtest::writeOneStemTheme (theme, 44000, 20000, 20000, 4000));
    QVAudioEngine engine;
    engine.libraryPath = library.getFolder();

    Timeline timeline;
    timeline.loadFromJSON (qvtest::parseJSON (R"({"themes": [{"id": "One", "endTime": 10}], "automs": {}})"), &engine);
    ASSERT_EQ (timeline.timelineLength, 480000);

    ASSERT_TRUE (timeline.loadVideoFile (indexedSoundtrack()));
    EXPECT_EQ (timeline.timelineLength, 144000) << "the soundtrack's length, whatever the placements' ends";

    auto later = qvtest::parseJSON (R"({"id": "One", "endTime": 5})");
    timeline.addTrack (later, &engine);
    EXPECT_EQ (timeline.timelineLength, 240000);

    auto earlier = qvtest::parseJSON (R"({"id": "One", "endTime": 2})");
    timeline.addTrack (earlier, &engine);
    EXPECT_EQ (timeline.timelineLength, 240000);
}

//==============================================================================
namespace
{
    struct SoundtrackCase
    {
        const char* name;
        const char* fileName;
        int rate;
        const char* codec;        // made by the ffmpeg program with this audio codec; null: a WAV
        int lengthTolerance;      // samples the decoded length may differ from the generated one
    };

    class TimelineSoundtrack : public TimelineVideo,
                               public ::testing::WithParamInterface<SoundtrackCase> {};
}

// The tone starts 1 s into the file: it must start 1 s into the timeline, at its own pitch and
// level, whatever the file's rate and codec.
TEST_P (TimelineSoundtrack, PlaysAtTheTimelineRateUnderTheClock)
{
    const auto& c = GetParam();
    const auto file = folder->getChildFile (c.fileName);

    if (c.codec != nullptr && ! file.existsAsFile())
    {
        if (! ffmpegAvailable())
            GTEST_SKIP() << "the ffmpeg program is not installed; it makes this soundtrack";

        ASSERT_TRUE (makeToneMedia (file, c.rate, c.codec));
    }
    else if (c.codec == nullptr && ! file.existsAsFile())
    {
        ASSERT_TRUE (makeToneWav (file, c.rate));
    }

    Timeline timeline;
    timeline.setNonRealtime (true);
    timeline.prepareToPlay (timelineRate, 512);

    {
        qvtest::LogCapture log;
        ASSERT_TRUE (timeline.loadVideoFile (file));
        EXPECT_EQ (log.getLines(), juce::StringArray ("Video audio loaded: \"" + file.getFullPathName() + "\""));
    }

    const double ratio = (double) c.rate / timelineRate;
    EXPECT_EQ (timeline.getVideoRatio(), ratio);
    EXPECT_NEAR ((double) timeline.timelineLength, soundtrackSeconds * timelineRate, c.lengthTolerance / ratio);
    EXPECT_EQ (timeline.videoFilePath, file.getFullPathName());

    timeline.videoMuted = false;
    timeline.applyParameter (Prop::video, 2.0f);
    const auto output = render (timeline, (int) (soundtrackSeconds * timelineRate), 512);
    EXPECT_EQ (timeline.getLastVideoGain(), 1.0f);

    // Lossy encoders spread the onset over a frame or two; the windows keep clear of it.
    const int onset = (int) (toneStart * timelineRate), end = (int) (toneEnd * timelineRate);

    for (int ch = 0; ch < 2; ++ch)
    {
        SCOPED_TRACE ("channel " + juce::String (ch));
        EXPECT_LT (output.getMagnitude (ch, 0, onset - 4096), 0.01f) << "before the tone";
        EXPECT_LT (output.getMagnitude (ch, end + 4096, output.getNumSamples() - end - 4096), 0.01f) << "after the tone";
        EXPECT_GT (output.getMagnitude (ch, onset + 4096, 512), 0.4f) << "at the tone's start";

        double frequency = 0.0;
        float amplitude = 0.0f;
        measureTone (output, ch, onset + 4096, end - onset - 8192, frequency, amplitude);
        EXPECT_NEAR (frequency, toneFrequency (ch), toneFrequency (ch) * 0.002);
        EXPECT_NEAR (amplitude, toneAmplitude, 0.02f);
    }

    // Video position = timeline position × ratio.
    timeline.setNextPlaybackPosition (48000);
    EXPECT_EQ (timeline.getVideoReadPosition(), (long long) (48000 * ratio));
    timeline.setNextPlaybackPosition (100001);
    EXPECT_EQ (timeline.getVideoReadPosition(), (long long) (100001 * ratio));
}

INSTANTIATE_TEST_SUITE_P (Timeline, TimelineSoundtrack, ::testing::Values (
    SoundtrackCase { "Wav48000",     "tone48000.wav", 48000, nullptr,   0 },
    SoundtrackCase { "Wav44100",     "tone44100.wav", 44100, nullptr,   0 },
    SoundtrackCase { "Mp4Aac44100",  "tone44100.mp4", 44100, "aac",     2048 },
    SoundtrackCase { "MkvOpus48000", "tone48000.mkv", 48000, "libopus", 1000 }),
    [] (const auto& info) { return std::string (info.param.name); });

TEST_F (TimelineVideo, SeekToSample48000Puts44100HzReaderAtSample44100)
{
    const auto file = folder->getChildFile ("tone44100.wav");
    ASSERT_TRUE (file.existsAsFile() || makeToneWav (file, 44100));

    Timeline timeline;
    ASSERT_TRUE (timeline.loadVideoFile (file));
    EXPECT_EQ (timeline.getVideoRatio(), 0.91875);
    EXPECT_EQ (timeline.timelineLength, 144000);
    timeline.setNextPlaybackPosition (48000);
    EXPECT_EQ (timeline.getVideoReadPosition(), 44100);
}

//==============================================================================
// Sample-exact placement: the indexed soundtrack at the timeline's rate passes the resampler and
// the master processor unchanged at unity gain, so each output sample names the file frame.

TEST_F (TimelineVideo, SeekWhileStoppedPlaysTheFrameUnderTheClock)
{
    for (const int blockSize : qvtest::testBlockSizes)
    {
        SCOPED_TRACE (blockSize);
        const int prepared = juce::jmin (blockSize, 4096);
        Timeline timeline;
        loadUnmuted (timeline, prepared);

        // The resampler now holds read-ahead from the old place.
        timeline.setNextPlaybackPosition (30000);
        EXPECT_EQ (timeline.getVideoReadPosition(), 30000);

        const auto output = render (timeline, 8192, blockSize);
        expectFrames (output, 0, 8192, 30000, "after the seek");
    }
}

TEST_F (TimelineVideo, SeekWhilePlayingFadesOneBlockThenPlaysFromTheTarget)
{
    for (const int blockSize : qvtest::testBlockSizes)
    {
        if (blockSize > 4096)
            continue;   // one block must be one prepared piece here

        SCOPED_TRACE (blockSize);
        Timeline timeline;
        loadUnmuted (timeline, blockSize);
        timeline.setPlaying (true);

        const int before = juce::jmax (blockSize, 8192 / blockSize * blockSize);
        const auto played = render (timeline, before, blockSize);
        expectFrames (played, 0, before, warmUp, "before the seek");

        timeline.setNextPlaybackPosition (20000);
        const auto faded = render (timeline, blockSize, blockSize);
        float factor = 1.0f;

        for (int i = 0; i < blockSize; ++i)
        {
            const float expected = expectedSample (warmUp + before + i, 0, factor);
            ASSERT_NEAR (faded.getSample (0, i), expected, 1.0e-6f * expected) << "faded sample " << i;
            factor -= 1.0f / (float) blockSize;
        }

        const auto after = render (timeline, 8192, blockSize);
        expectFrames (after, 0, 8192, 20000 + blockSize, "after the seek");
    }
}

TEST_F (TimelineVideo, MutedSoundtrackIsNotMixedAndUnmutingRampsUpFromZero)
{
    constexpr int n = 512;
    Timeline timeline;
    loadUnmuted (timeline, n);
    timeline.videoMuted = true;

    EXPECT_TRUE (qvtest::isSilent (render (timeline, 2 * n, n), 0, 2 * n));
    EXPECT_EQ (timeline.getLastVideoGain(), 0.0f);

    // Unmuted, it comes back under the clock (frame 1024), ramping from 0 to unity over one block.
    auto expectRampedBlock = [&] (juce::int64 firstFrame)
    {
        timeline.videoMuted = false;
        const auto ramp = render (timeline, n, n);

        for (int i = 0; i < n; ++i)
        {
            const float expected = expectedSample (firstFrame + i, 1, (float) i / n);
            ASSERT_NEAR (ramp.getSample (1, i), expected, 1.0e-6f * expected) << "sample " << i;
        }

        EXPECT_EQ (timeline.getLastVideoGain(), 1.0f);
        expectFrames (render (timeline, n, n), 0, n, firstFrame + n, "after the ramp");
    };

    expectRampedBlock (warmUp + 2 * n);

    // Muting drops it at once.
    timeline.videoMuted = true;
    EXPECT_TRUE (qvtest::isSilent (render (timeline, n, n), 0, n));
    EXPECT_EQ (timeline.getLastVideoGain(), 0.0f);

    expectRampedBlock (warmUp + 5 * n);
}

TEST_F (TimelineVideo, GainFollowsTheVideoParameter)
{
    constexpr int n = 256;
    Timeline timeline;
    loadUnmuted (timeline, n);

    // "V" at 1 is half gain, reached over one block from unity.
    timeline.applyParameter (Prop::video, 1.0f);
    const auto output = render (timeline, 2 * n, n);

    for (int i = 0; i < 2 * n; ++i)
    {
        const float gain = i < n ? 1.0f - 0.5f * (float) i / n : 0.5f;
        const float expected = expectedSample (warmUp + i, 0, gain);
        ASSERT_NEAR (output.getSample (0, i), expected, 1.0e-6f * expected) << "sample " << i;
    }
}

//==============================================================================
namespace
{
    struct PreparationCase
    {
        const char* name;
        std::function<void (Timeline&, const juce::File&)> setUp;   // leaves the timeline prepared for 512
    };

    class TimelineVideoPreparation : public TimelineVideo,
                                     public ::testing::WithParamInterface<PreparationCase> {};
}

// The resampler must be prepared for the timeline's block size before its first block, however
// the load and the preparation are ordered.
TEST_P (TimelineVideoPreparation, PlaysRightFromTheFirstBlock)
{
    Timeline timeline;
    timeline.setNonRealtime (true);
    GetParam().setUp (timeline, indexedSoundtrack());
    timeline.videoMuted = false;
    timeline.applyParameter (Prop::video, 2.0f);

    const auto output = render (timeline, 2 * warmUp, 512);
    EXPECT_FALSE (qvtest::isSilent (output, 0, 512)) << "the first block";
    expectFrames (output, warmUp, 2 * warmUp, warmUp, "once the master processor settled");
}

INSTANTIATE_TEST_SUITE_P (Timeline, TimelineVideoPreparation, ::testing::Values (
    PreparationCase { "LoadedWhilePrepared", [] (Timeline& t, const juce::File& f)
                      {
                          t.prepareToPlay (timelineRate, 512);
                          ASSERT_TRUE (t.loadVideoFile (f));
                      } },
    PreparationCase { "LoadedThenPrepared", [] (Timeline& t, const juce::File& f)
                      {
                          ASSERT_TRUE (t.loadVideoFile (f));
                          t.prepareToPlay (timelineRate, 512);
                      } },
    PreparationCase { "LoadedWhilePreparedSmallerThenReleasedAndPreparedAgain", [] (Timeline& t, const juce::File& f)
                      {
                          t.prepareToPlay (timelineRate, 64);
                          ASSERT_TRUE (t.loadVideoFile (f));
                          t.releaseResources();
                          t.prepareToPlay (timelineRate, 512);
                      } }),
    [] (const auto& info) { return std::string (info.param.name); });

//==============================================================================
namespace
{
    struct FailedLoadCase
    {
        const char* name;
        const char* fileName;
        std::function<bool (const juce::File&)> make;   // null: the file does not exist
        bool logged;                                    // "Loading video audio failed" expected
    };

    class TimelineVideoFailedLoad : public TimelineVideo,
                                    public ::testing::WithParamInterface<FailedLoadCase> {};
}

TEST_P (TimelineVideoFailedLoad, ReturnsFalseAndThePreviousSoundtrackPlaysOn)
{
    const auto& c = GetParam();
    const auto file = folder->getChildFile (c.fileName);

    if (c.make != nullptr)
        ASSERT_TRUE (c.make (file));

    Timeline timeline;
    loadUnmuted (timeline, 512);
    timeline.setNextPlaybackPosition (10000);

    qvtest::LogCapture log;
    EXPECT_FALSE (timeline.loadVideoFile (file));

    EXPECT_EQ (log.getLines(), c.logged ? juce::StringArray ("Loading video audio failed: \"" + file.getFullPathName() + "\"")
                                        : juce::StringArray());
    EXPECT_EQ (timeline.videoFilePath, file.getFullPathName());
    EXPECT_EQ (timeline.timelineLength, 144000);
    EXPECT_EQ (timeline.getVideoRatio(), 1.0);

    expectFrames (render (timeline, 4096, 512), 0, 4096, 10000, "the previous soundtrack");
}

INSTANTIATE_TEST_SUITE_P (Timeline, TimelineVideoFailedLoad, ::testing::Values (
    FailedLoadCase { "MissingFile", "missing.mp4", nullptr, true },
    FailedLoadCase { "TextNamedMp4", "notes.mp4", [] (const juce::File& f) { return f.replaceWithText ("not a film\n"); }, true },
    FailedLoadCase { "NoFormatForTheExtension", "notes.txt", [] (const juce::File& f) { return f.replaceWithText ("text\n"); }, true },
    FailedLoadCase { "WavWithoutFrames", "empty.wav", [] (const juce::File& f) { return qvtest::writeEmptyWav (f, 2); }, false }),
    [] (const auto& info) { return std::string (info.param.name); });

TEST_F (TimelineVideo, ClearDropsTheSoundtrackButKeepsItsPath)
{
    Timeline timeline;
    loadUnmuted (timeline, 512);
    timeline.clear();

    EXPECT_FALSE (timeline.hasVideo());
    EXPECT_EQ (timeline.getVideoReadPosition(), -1);
    EXPECT_EQ (timeline.videoFilePath, indexedSoundtrack().getFullPathName());
    EXPECT_EQ (timeline.timelineLength, 0);
    EXPECT_TRUE (qvtest::isSilent (render (timeline, 1024, 512), 0, 1024));

    // And it loads again from the kept path.
    ASSERT_TRUE (timeline.loadVideoFile (juce::File (timeline.videoFilePath)));
    timeline.setNextPlaybackPosition (0);
    expectFrames (render (timeline, 2048, 512), 0, 2048, 0, "reloaded");
}
