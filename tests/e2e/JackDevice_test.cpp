#include <gtest/gtest.h>

#include "engine/AudioEngine.h"
#include "JackServer.h"
#include "TestProcessors.h"

using namespace QVAudioEngineV4;

namespace
{
    struct SignalFigures
    {
        double frequency = 0.0;
        double rms = 0.0;
        double largestStep = 0.0;
    };

    SignalFigures analyse (const std::vector<float>& samples, int count, double sampleRate)
    {
        SignalFigures f;
        int crossings = 0, first = -1, last = -1;
        double sumSquares = 0.0;

        for (int i = 1; i < count; ++i)
        {
            if (samples[(size_t) i - 1] < 0.0f && samples[(size_t) i] >= 0.0f)
            {
                if (first < 0) first = i; else ++crossings;
                last = i;
            }

            f.largestStep = juce::jmax (f.largestStep, (double) std::abs (samples[(size_t) i] - samples[(size_t) i - 1]));
            sumSquares += (double) samples[(size_t) i] * samples[(size_t) i];
        }

        if (crossings > 0 && last > first)
            f.frequency = crossings * sampleRate / (last - first);

        f.rms = std::sqrt (sumSquares / (count - 1));
        return f;
    }

    class JackPlayback : public ::testing::TestWithParam<int> {};
}

// Plays a 1 kHz sine at half scale through the engine's chain into a private JACK server and
// records what reaches its ports: the tone must keep its pitch and level whether the device runs
// at the processing rate or is resampled, with no click (no step larger than the sine's own).
TEST_P (JackPlayback, KnownSineArrivesWithItsFrequencyAndLevel)
{
    if (! qvtest::JackServer::isAvailable())
        GTEST_SKIP() << "jackd is not installed";

    const int rate = GetParam();
    qvtest::JackServer server (rate, 1024);
    juce::String error;
    ASSERT_TRUE (server.start (error)) << error.toStdString();

    juce::ScopedJuceInitialiser_GUI juceInit;
    QVAudioEngine engine;
    auto& dm = engine.deviceManager;

    if (dm.getCurrentAudioDeviceType() != "JACK" || dm.getCurrentAudioDevice() == nullptr)
    {
        dm.setCurrentAudioDeviceType ("JACK", true);
        auto* type = dm.getCurrentDeviceTypeObject();
        ASSERT_NE (type, nullptr);
        type->scanForDevices();
        auto setup = dm.getAudioDeviceSetup();
        setup.outputDeviceName = type->getDeviceNames (false)[0];
        setup.useDefaultOutputChannels = true;
        ASSERT_EQ (dm.setAudioDeviceSetup (setup, true), juce::String());
    }

    auto* device = dm.getCurrentAudioDevice();
    ASSERT_NE (device, nullptr);
    ASSERT_EQ (device->getCurrentSampleRate(), (double) rate);

    qvtest::SineProcessor sine (1000.0, 0.5f);
    engine.playerSource->prepareToPlay (device->getCurrentBufferSizeSamples(), 48000.0);
    engine.playerSource->setProcessor (&sine, false);
    EXPECT_DOUBLE_EQ (engine.outputPlayer->getResamplingRatio(), 48000.0 / rate);

    qvtest::JackRecorder recorder (server.getName(), 2, rate);
    ASSERT_TRUE (recorder.isOpen());
    ASSERT_EQ (recorder.connectFrom ("QuilvarnCLI"), 2);

    juce::Thread::sleep (300);
    recorder.startRecording();
    ASSERT_EQ (recorder.waitUntilFull (20000), rate);

    engine.playerSource->setProcessor (nullptr, false);
    EXPECT_GT (sine.blocksProcessed.load(), 0);

    const double maxStep = 0.5 * juce::MathConstants<double>::twoPi * 1000.0 / rate;

    for (int ch = 0; ch < 2; ++ch)
    {
        const auto figures = analyse (recorder.getChannel (ch), rate, rate);
        EXPECT_NEAR (figures.frequency, 1000.0, 2.0) << "channel " << ch;
        EXPECT_NEAR (figures.rms, 0.5 / std::sqrt (2.0), 0.005) << "channel " << ch;
        EXPECT_LT (figures.largestStep, maxStep * 1.05) << "channel " << ch << ": a click or a gap";
    }
}

INSTANTIATE_TEST_SUITE_P (DeviceRates, JackPlayback, ::testing::Values (48000, 44100));
