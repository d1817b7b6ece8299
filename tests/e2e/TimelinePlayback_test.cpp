#include <gtest/gtest.h>

#include "engine/AudioEngine.h"
#include "JackServer.h"
#include "TestSupport.h"
#include "ThemeFixtures.h"

using namespace QVAudioEngineV4;

namespace
{
    constexpr int rate = 48000;
    constexpr int period = 1024;
    constexpr double lowTone = 500.0, highTone = 1500.0;
    constexpr int window = 480;

    /** A version-3 theme whose one stem is a sine of the given frequency, 5 s long. */
    void writeToneTheme (const juce::File& folder, double frequency)
    {
        ASSERT_TRUE (folder.createDirectory().wasOk());
        const int frames = 5 * rate;
        juce::AudioBuffer<float> tone (2, frames);

        for (int i = 0; i < frames; ++i)
            for (int c = 0; c < 2; ++c)
                tone.setSample (c, i, 0.3f * (float) std::sin (juce::MathConstants<double>::twoPi * frequency * i / rate));

        const auto file = folder.getChildFile ("multistem.wav");
        juce::WavAudioFormat wav;
        std::unique_ptr<juce::AudioFormatWriter> writer (wav.createWriterFor (file.createOutputStream().release(), rate, 2, 32, {}, 0));
        ASSERT_NE (writer, nullptr);
        ASSERT_TRUE (writer->writeFromAudioSampleBuffer (tone, 0, frames));
        writer.reset();

        ASSERT_TRUE (qvtest::writeThemeConfig (folder, qvtest::parseJSON (R"({"version": 3, "multistem": "multistem.wav",
            "Loop": {"clean_start_length": 144000, "loop_length": 48000, "ending_length": 24000},
            "Patterns": {"AAA": [0]}})")));
    }

    /** The low tone plays from 0 to 2 s, the high one from 2 s to 4 s. */
    const char* const project = R"({"themes": [
        {"themeUuid": "low", "id": "Low", "startTime": 0, "endTime": 2},
        {"themeUuid": "high", "id": "High", "startTime": 2, "endTime": 4}], "automs": {}})";

    double frequencyOf (const float* samples, int count)
    {
        int crossings = 0;

        for (int i = 1; i < count; ++i)
            if (samples[i - 1] < 0.0f && samples[i] >= 0.0f)
                ++crossings;

        return crossings * (double) rate / count;
    }

    /** Offset from start of the first window whose tone is the high one, or -1. */
    int findHighToneFrom (const std::vector<float>& samples, int start, int end)
    {
        for (int i = start; i + window <= end; i += window)
            if (frequencyOf (samples.data() + i, window) > 0.5 * (lowTone + highTone))
                return i - start;

        return -1;
    }

    struct Run { int start, end; };

    /** Runs of sound, with gaps shorter than 64 samples (zero crossings) bridged. */
    std::vector<Run> findSoundingRuns (const std::vector<float>& samples)
    {
        std::vector<Run> runs;
        int lastLoud = -1000;

        for (int i = 0; i < (int) samples.size(); ++i)
        {
            if (std::abs (samples[(size_t) i]) < 1.0e-4f)
                continue;

            if (runs.empty() || i - lastLoud > 64)
                runs.push_back ({ i, i + 1 });

            runs.back().end = i + 1;
            lastLoud = i;
        }

        return runs;
    }

    bool openJackDevice (juce::AudioDeviceManager& dm)
    {
        if (dm.getCurrentAudioDeviceType() == "JACK" && dm.getCurrentAudioDevice() != nullptr)
            return true;

        dm.setCurrentAudioDeviceType ("JACK", true);
        auto* type = dm.getCurrentDeviceTypeObject();

        if (type == nullptr)
            return false;

        type->scanForDevices();
        auto setup = dm.getAudioDeviceSetup();
        setup.outputDeviceName = type->getDeviceNames (false)[0];
        setup.useDefaultOutputChannels = true;
        return dm.setAudioDeviceSetup (setup, true).isEmpty() && dm.getCurrentAudioDevice() != nullptr;
    }
}

// A two-track project plays into a private JACK server, is stopped and started again. The
// recording must show the low tone, then silence, then the low tone again continuing where it
// stopped: the low tone heard in both runs together lasts as long as it does in an offline
// render of the same project, within two device periods, and then the high tone follows.
TEST (TimelinePlaybackOnJack, StopsToSilenceAndResumesWhereItStopped)
{
    if (! qvtest::JackServer::isAvailable())
        GTEST_SKIP() << "jackd is not installed";

    qvtest::JackServer server (rate, period);
    juce::String error;
    ASSERT_TRUE (server.start (error)) << error.toStdString();

    juce::ScopedJuceInitialiser_GUI juceInit;
    qvtest::TempFolder library;
    writeToneTheme (library.getChildFile ("Low"), lowTone);
    writeToneTheme (library.getChildFile ("High"), highTone);

    QVAudioEngine engine;
    ASSERT_TRUE (openJackDevice (engine.deviceManager));
    ASSERT_EQ (engine.getDeviceSampleRate(), (double) rate);
    engine.libraryPath = library.getFolder();
    engine.timeline->loadFromJSON (qvtest::parseJSON (project), &engine);

    // The reference: how long the low tone lasts from the start when nothing interrupts it.
    int lowToneLength = -1;
    {
        Timeline offline;
        offline.loadFromJSON (qvtest::parseJSON (project), &engine);
        offline.setNonRealtime (true);
        offline.prepareToPlay (rate, period);
        juce::AudioBuffer<float> rendered (2, 150 * period);
        juce::MidiBuffer midi;

        for (int done = 0; done < rendered.getNumSamples(); done += period)
        {
            juce::AudioBuffer<float> block (rendered.getArrayOfWritePointers(), 2, done, period);
            offline.processBlock (block, midi);
        }

        std::vector<float> left (rendered.getReadPointer (0), rendered.getReadPointer (0) + rendered.getNumSamples());
        lowToneLength = findHighToneFrom (left, 0, (int) left.size());
        ASSERT_GT (lowToneLength, rate) << "the offline render switches tones after about 2 s";
    }

    qvtest::JackRecorder recorder (server.getName(), 2, 7 * rate);
    ASSERT_TRUE (recorder.isOpen());
    ASSERT_EQ (recorder.connectFrom ("QuilvarnCLI"), 2);
    recorder.startRecording();

    juce::Thread::sleep (200);
    engine.startPlayback();
    juce::Thread::sleep (500);
    engine.stopPlayback();
    const auto stoppedAt = engine.timeline->getNextPlaybackPosition();
    juce::Thread::sleep (500);
    EXPECT_EQ (engine.timeline->getNextPlaybackPosition(), stoppedAt) << "the clock stands still while stopped";
    engine.startPlayback();

    ASSERT_EQ (recorder.waitUntilFull (30000), 7 * rate);
    engine.stopPlayback();

    const auto& left = recorder.getChannel (0);
    const auto runs = findSoundingRuns (left);
    ASSERT_GE (runs.size(), 2u) << "a run before the stop and one after the restart";
    const auto& first = runs[0];
    const auto& second = runs[1];

    EXPECT_NEAR (frequencyOf (left.data() + first.start, first.end - first.start), lowTone, 10.0) << "only the low tone before the stop";
    EXPECT_GT (second.start - first.end, 4 * period) << "silence after the stop";
    EXPECT_EQ (findHighToneFrom (left, first.start, first.end), -1);

    const int lowAfterRestart = findHighToneFrom (left, second.start, second.end);
    ASSERT_GT (lowAfterRestart, 0) << "the restart plays the low tone first, then the high one";

    // A restart from 0 would add the first run again; a jump would lose audio.
    EXPECT_NEAR ((first.end - first.start) + lowAfterRestart, lowToneLength, 2 * period + window);

    const int highStart = second.start + lowAfterRestart;
    EXPECT_NEAR (frequencyOf (left.data() + highStart + window, rate / 2), highTone, 10.0);
}
