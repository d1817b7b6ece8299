#include <gtest/gtest.h>

#include "engine/AudioEngine.h"
#include "TestProcessors.h"

using namespace QVAudioEngineV4;

namespace
{

    class EngineTest : public ::testing::Test
    {
    protected:
        juce::ScopedJuceInitialiser_GUI juce;
        QVAudioEngine engine;
    };
}

TEST_F (EngineTest, StartsWithDefaultParametersAndMidiMappings)
{
    const juce::StringArray names { "Unknown", "InflectionA", "InflectionB", "InflectionC", "SoundTrackVolume", "MusicVolume",
                                    "Aux1", "Aux2", "Aux3", "Aux4", "Aux5", "Aux6", "Aux7", "Aux8" };
    EXPECT_EQ (engine.parameterNames, names);

    struct Case { int controller; int index; };
    const Case mapped[] = { { 21, 1 }, { 22, 2 }, { 23, 3 }, { 24, 4 }, { 25, 5 }, { 41, 6 }, { 44, 9 }, { 48, 13 } };

    for (const auto& c : mapped)
    {
        ASSERT_TRUE (engine.midiMappings.contains (c.controller)) << c.controller;
        EXPECT_EQ (engine.midiMappings[c.controller], c.index) << c.controller;
    }

    for (int controller = 26; controller <= 40; ++controller)
        EXPECT_FALSE (engine.midiMappings.contains (controller)) << controller;

    EXPECT_EQ (engine.midiMappings.size(), 13);
}

TEST_F (EngineTest, DefaultsBeforeAnySettingsAreRead)
{
    EXPECT_EQ (engine.settingsFile, QVAudioEngine::getDefaultAudioSettingsFile());
    EXPECT_EQ (engine.settingsFile.getFileName(), "AE-Settings.json");
    EXPECT_EQ (engine.settingsFile.getParentDirectory().getFileName(), "Quilvarn Pro");
    EXPECT_EQ (engine.settingsFile.getParentDirectory().getParentDirectory().getFileName(), "Application Support");
    EXPECT_EQ (engine.libraryPath, engine.settingsFile.getSiblingFile (".themes"));

    EXPECT_EQ (engine.cueDelay, 0);
    EXPECT_EQ (engine.audioSettings.audioExtension, "ogg");
    EXPECT_EQ (engine.audioSettings.preBufferSize, 16384);
    EXPECT_EQ (engine.audioSettings.sampleRate, 48000.0);
    EXPECT_EQ (engine.audioSettings.blockSize, 512);
    EXPECT_TRUE (engine.audioSettings.bufferOnInstanciation);

    ASSERT_NE (engine.timeline, nullptr);
    ASSERT_NE (engine.playerSource, nullptr);
    ASSERT_NE (engine.outputPlayer, nullptr);
    EXPECT_EQ (engine.themeProcessor, nullptr);
    EXPECT_GE (engine.renderPool.getNumThreads(), 1);
    EXPECT_EQ (engine.bufferingThreads->getNumThreads(), 4);
}

TEST_F (EngineTest, WithoutDeviceTheChainIsPreparedAt48kWithBlockSizeZero)
{
    if (engine.deviceManager.getCurrentAudioDevice() != nullptr)
        GTEST_SKIP() << "this machine has an audio device open by default";

    EXPECT_EQ (engine.playerSource->getBlockSize(), 0);
    EXPECT_EQ (engine.timeline->getSampleRate(), 48000.0);
    EXPECT_EQ (engine.timeline->getBlockSize(), 0);
    EXPECT_EQ (engine.getDeviceSampleRate(), 48000.0);
    EXPECT_EQ (engine.getDeviceBufferSize(), 0);
}

TEST_F (EngineTest, PlaybackSwitchesNotifyOnlyOnRealChanges)
{
    qvtest::PlayStateRecorder recorder;
    engine.addListener (&recorder);

    engine.stopPlayback();
    engine.stopAudition();
    EXPECT_TRUE (recorder.events.empty()) << "nothing plays, nobody is told";

    engine.startPlayback();
    EXPECT_TRUE (engine.isTimelinePlaying());
    EXPECT_TRUE (engine.timeline->isPlaying());

    engine.stopAudition();
    engine.stopPlayback();
    engine.stopPlayback();
    EXPECT_FALSE (engine.isTimelinePlaying());
    EXPECT_FALSE (engine.timeline->isPlaying());

    const std::vector<std::pair<bool, bool>> expected { { true, false }, { false, false } };
    EXPECT_EQ (recorder.events, expected);

    engine.removeListener (&recorder);
}
