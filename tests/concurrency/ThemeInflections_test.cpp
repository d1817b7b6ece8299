// Inflection, gain and placement changes from command and MIDI threads while a render thread
// pulls blocks from a theme. The writers take no lock; the invariants: no data race (this suite
// also runs under ThreadSanitizer), the output stays finite and within the loudest possible mix,
// and the last change made is never lost: the next blocks play the volumes of the final values.

#include "themes/ThemeProcessor.h"
#include "themes/ThemeSourceV3.h"

#include "AudioFixtures.h"
#include "TestSupport.h"
#include "ThemeFixtures.h"

#include <gtest/gtest.h>

#include <thread>

using namespace QVAudioEngineV4;

namespace
{
    constexpr int numStems = 4;
    constexpr int blockSize = 512;

    const char* patterns = R"({"AAA": [0], "BAA": [0, 1], "CAA": [1, 2], "ABA": [2], "ACA": [3],
                               "AAB": [0, 3], "AAC": [1, 3], "CCC": [0, 1, 2, 3]})";

    juce::var makeTrack (double start, double end, double offset)
    {
        auto* track = new juce::DynamicObject();
        track->setProperty (Prop::startTime, start);
        track->setProperty (Prop::endTime, end);
        track->setProperty (Prop::offset, offset);
        return track;
    }
}

TEST (ThemeInflections, WritesFromOtherThreadsWhileRenderingAreNeverLost)
{
    qvtest::TempFolder library;
    const auto folder = library.getChildFile ("racing");
    ASSERT_TRUE (folder.createDirectory().wasOk());
    ASSERT_TRUE (qvtest::writeMultistemWav (folder.getChildFile ("multistem.wav"), numStems, 48000));
    ASSERT_TRUE (qvtest::writeThemeConfig (folder, qvtest::parseJSON (R"({"version": 3, "multistem": "multistem.wav",
        "Loop": {"clean_start_length": 1000, "loop_length": 40000, "ending_length": 7000}, "Patterns": )"
        + juce::String (patterns) + "}")));

    ThemeProcessor processor ("racing", library.getFolder(), "wav");
    ASSERT_TRUE (processor.isLoaded());
    processor.setNonRealtime (true);
    processor.prepareToPlay (48000.0, blockSize);
    processor.setNextPlaybackPosition (0);

    auto& source = *processor.themeSource;
    std::atomic<bool> writing { true };
    std::atomic<int> blocksRendered { 0 };
    std::atomic<bool> outputOutOfRange { false };

    auto renderBlock = [&, block = juce::AudioBuffer<float> (2, blockSize), midi = juce::MidiBuffer()] () mutable
    {
        processor.processBlock (block, midi);

        // No stem sample exceeds 2^-4 in magnitude, and no stem sounds louder than 3 (three
        // patterns in linear mode) with a music gain of at most 1.
        for (int c = 0; c < 2; ++c)
            for (int i = 0; i < blockSize; ++i)
                if (! std::isfinite (block.getSample (c, i)) || std::abs (block.getSample (c, i)) > 1.0f)
                    outputOutOfRange = true;

        ++blocksRendered;
    };

    std::thread renderer ([&]
    {
        while (writing)
            renderBlock();

        // Two blocks after the last write: the first picks the change up, the second proves it stays.
        renderBlock();
        renderBlock();
    });

    const auto writer = [&] (int seed)
    {
        juce::Random random (seed);

        // Writes go on until the renderer has been racing them for a while.
        for (int i = 0; i < 3000 || blocksRendered < 200; ++i)
        {
            source.setInflection (random.nextInt (3), random.nextDouble() * 2.0);
            source.applyParameter (Prop::music, random.nextFloat() * 2.0f);

            if (i % 100 == 0)
                processor.setPropertiesFromJSON (makeTrack (0.0, 60.0 + random.nextInt (10), 0.0));
        }
    };

    std::thread commandThread (writer, 1);
    std::thread midiThread (writer, 2);
    commandThread.join();
    midiThread.join();

    // The final values, set after every other write.
    source.setInflection (0, 2.0);
    source.setInflection (1, 0.0);
    source.setInflection (2, 0.0);
    writing = false;
    renderer.join();

    EXPECT_FALSE (outputOutOfRange);

    // A = 2, B = C = 0 is pattern "CAA": stems 1 and 2 at 1.0, the others silent.
    const std::vector<double> expected { 0.0, 1.0, 1.0, 0.0 };
    EXPECT_EQ (source.mixVolumes.volumes, expected);
    EXPECT_FALSE (source.mixVolumes.volumesDirty.load());
    processor.releaseResources();
}
