// Placements added, updated, removed and cleared, automation replaced and seeks made from a command
// thread while an audio thread plays the timeline. The invariants: no data race (this suite also
// runs under ThreadSanitizer), no crash on a track or processor deleted under the audio thread, and
// the output stays finite.

#include "engine/Timeline.h"
#include "engine/AudioEngine.h"

#include "TestSupport.h"
#include "ThemeFixtures.h"

#include <gtest/gtest.h>

#include <cmath>
#include <thread>

using namespace QVAudioEngineV4;

TEST (TimelineEdits, CommandThreadEditsWhileTheAudioThreadPlays)
{
    juce::ScopedJuceInitialiser_GUI juceInit;
    qvtest::TempFolder library;
    const auto folder = library.getChildFile ("Theme");
    ASSERT_TRUE (folder.createDirectory().wasOk());
    ASSERT_TRUE (qvtest::writeMultistemWav (folder.getChildFile ("multistem.wav"), 2, 48000));
    ASSERT_TRUE (qvtest::writeThemeConfig (folder, qvtest::parseJSON (R"({"version": 3, "multistem": "multistem.wav",
        "Loop": {"clean_start_length": 1000, "loop_length": 40000, "ending_length": 7000}, "Patterns": {"AAA": [0], "BBB": [1]}})")));

    QVAudioEngine engine;
    engine.libraryPath = library.getFolder();
    Timeline timeline;
    timeline.prepareToPlay (48000.0, 512);
    timeline.setPlaying (true);

    std::atomic<bool> running { true };
    std::atomic<bool> outputNotFinite { false };
    std::atomic<int> blocks { 0 };

    std::thread audio ([&]
    {
        juce::AudioBuffer<float> block (2, 512);
        juce::MidiBuffer midi;

        while (running)
        {
            timeline.processBlock (block, midi);

            for (int c = 0; c < 2; ++c)
                for (int i = 0; i < 512; ++i)
                    if (! std::isfinite (block.getSample (c, i)))
                        outputNotFinite = true;

            ++blocks;
        }
    });

    for (int round = 0; round < 12; ++round)
    {
        timeline.loadFromJSON (qvtest::parseJSON (R"({"themes": [{"themeUuid": "a", "id": "Theme", "endTime": 2},
                                                                 {"themeUuid": "b", "id": "Theme", "startTime": 0.01, "endTime": 1}],
                                                      "automs": {"A": [{"ts": 0, "v": 0}, {"ts": 1, "v": 1}]}})"), &engine);
        auto update = qvtest::parseJSON (R"({"themeUuid": "a", "id": "Theme", "startTime": 0.02, "endTime": 3})");
        timeline.addTrack (update, &engine);
        auto added = qvtest::parseJSON (R"({"id": "Theme", "endTime": 1})");
        timeline.addTrack (added, &engine);
        auto list = qvtest::parseJSON (R"([{"ts": 0.5, "v": 2}])");
        timeline.replaceAutomation ("M", list.getArray());
        timeline.setNextPlaybackPosition (round * 1000);
        timeline.applyParameter (Prop::depth, 0.5f);
        timeline.removeTrack ("b");
        timeline.saveToJSON();

        if (round % 3 == 2)
            timeline.clear();
    }

    const int target = blocks + 20;
    while (blocks < target)
        std::this_thread::yield();

    running = false;
    audio.join();

    EXPECT_FALSE (outputNotFinite);
    EXPECT_EQ (timeline.tracks.size(), (int) timeline.tracksByUuid.size());
}
