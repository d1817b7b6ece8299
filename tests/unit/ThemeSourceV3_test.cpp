#include "themes/ThemeSourceV3.h"

#include "AudioFixtures.h"
#include "TestSupport.h"
#include "ThemeFixtures.h"

#include <gtest/gtest.h>

#include <optional>

using namespace QVAudioEngineV4;

namespace
{
    constexpr int preparedBlockSize = 512;
    constexpr int piece = ThemeSourceV3::mixPieceSize;
    constexpr int openingFade = 480;   // the multistem's fade-in at the offset point

    /** Every block size the theme source is checked over; the last is larger than prepared. */

    /** Sample (channel, i) of the multistem's output for output sample i. */
    using Material = std::function<double (int channel, int i)>;

    /** Multistem channels as the first pass plays them from file position startFile, after a
        fade-in of fadeLength samples. */
    Material firstPass (juce::int64 startFile, int fadeLength)
    {
        return [=] (int channel, int i)
        {
            const double fade = juce::jmin (1.0, i / (double) fadeLength);
            return (double) qvtest::encodeSample (startFile + i, channel) * fade;
        };
    }

    /** What the block should be: what a V3 theme should sound like. Each stem's channel pair at
        its volume, ramped linearly over every 256-sample piece from the volume it had at the end
        of the previous piece (stems without an entry play at 1.0), the block then ramped from the
        previous music gain to the block's gain. */
    struct MixModel
    {
        int numStems;
        Material material;
        std::vector<double> lastVolumes = std::vector<double> ((size_t) numStems, 0.0);
        double lastGain = 1.0;

        void renderBlock (juce::AudioBuffer<float>& out, int start, int n, const std::vector<double>& volumes, double gain)
        {
            for (int done = 0; done < n;)
            {
                const int length = juce::jmin (piece, n - done);
                renderPiece (out, start + done, length, volumes);
                done += length;
            }

            for (int c = 0; c < 2; ++c)
                for (int i = 0; i < n; ++i)
                    out.setSample (c, start + i, (float) (out.getSample (c, start + i) * rampGain (lastGain, gain, i, n)));

            lastGain = gain;
        }

        void renderPiece (juce::AudioBuffer<float>& out, int start, int length, const std::vector<double>& volumes)
        {
            for (int c = 0; c < 2; ++c)
                for (int i = 0; i < length; ++i)
                {
                    double sum = 0.0;

                    for (int k = 0; k < numStems; ++k)
                    {
                        const double v = volumeOf (volumes, k);
                        const double last = lastVolumes[(size_t) k];
                        sum += material (2 * k + c, start + i) * rampGain (last, v, i, length);
                    }

                    out.setSample (c, start + i, (float) sum);
                }

            for (int k = 0; k < numStems; ++k)
                lastVolumes[(size_t) k] = volumeOf (volumes, k);
        }

        /** Gain at step i of a linear ramp of n steps. Like JUCE's ramps it accumulates in single
            precision, whose drift over a few thousand steps is larger than a frame's difference. */
        static double rampGain (double from, double to, int i, int n)
        {
            if (from == to)
                return from;

            auto gain = (float) from;
            const auto step = ((float) to - (float) from) / (float) n;

            for (int j = 0; j < i; ++j)
                gain += step;

            return gain;
        }

        static double volumeOf (const std::vector<double>& volumes, int k)
        {
            return (size_t) k < volumes.size() ? volumes[(size_t) k] : 1.0;
        }
    };

    /** The state a block should be played in: the stem volumes and the music gain it reaches. */
    struct Target
    {
        std::vector<double> volumes;
        double gain = 1.0;
    };

    /** Called before each block with the block's start; makes the changes due and returns what the
        block should reach. */
    using Script = std::function<Target (int blockStart)>;



    /** Clean start, loop and ending lengths of the multistem file, and the placement's offset. */
    struct Layout { juce::int64 C = 1000, L = 40000, N = 1000, offset = 0; };

    /** A version-3 theme folder with one multistem file of numStems channel pairs laid out as
        clean start, loop and ending, loaded through the factory, rendered offline (every read
        waits for its data) and prepared for 512-sample blocks. */
    struct ThemeHarness
    {
        qvtest::TempFolder temp;
        juce::File folder = temp.getChildFile ("Theme");
        std::unique_ptr<ThemeSourceV3> source;

        ThemeHarness (int numStems, const juce::String& patterns, Layout layout = {})
        {
            EXPECT_TRUE (folder.createDirectory().wasOk());
            EXPECT_TRUE (qvtest::writeMultistemWav (folder.getChildFile ("multi.wav"), numStems,
                                                    (int) (layout.C + layout.L + layout.N)));
            load (patterns, layout);
        }

        /** A folder whose multistem file the caller has written (or not). */
        ThemeHarness (const std::function<void (const juce::File& multistem)>& writeMultistem, Layout layout = {})
        {
            EXPECT_TRUE (folder.createDirectory().wasOk());
            writeMultistem (folder.getChildFile ("multi.wav"));
            load ("{}", layout);
        }

        void load (const juce::String& patterns, Layout layout)
        {
            const auto config = qvtest::parseJSON (R"({"version": 3, "multistem": "multi.wav", "Patterns": )" + patterns
                                                   + R"(, "Loop": {"clean_start_length": )" + juce::String (layout.C)
                                                   + R"(, "loop_length": )" + juce::String (layout.L)
                                                   + R"(, "ending_length": )" + juce::String (layout.N) + "}}");
            EXPECT_TRUE (qvtest::writeThemeConfig (folder, config));

            auto created = ThemeSource::createThemeSource ("Theme", folder.getChildFile ("config.json"), {});
            source.reset (dynamic_cast<ThemeSourceV3*> (created.release()));

            if (source == nullptr)
            {
                ADD_FAILURE() << "no version-3 source";
                return;
            }

            source->properties.realtime = false;
            source->properties.offset = layout.offset;
            source->prepareToPlay (preparedBlockSize, 48000.0);
            source->setNextReadPosition (0);
        }

        /** Plays total samples in blocks of blockSize, the model alongside; returns both outputs. */
        std::pair<juce::AudioBuffer<float>, juce::AudioBuffer<float>> play (MixModel& model, int total, int blockSize,
                                                                            const Script& script)
        {
            juce::AudioBuffer<float> actual (2, total), expected (2, total);
            actual.clear();
            expected.clear();

            for (int start = 0; start < total;)
            {
                const int n = juce::jmin (blockSize, total - start);
                const auto target = script (start);
                source->getNextAudioBlock (juce::AudioSourceChannelInfo (&actual, start, n));
                model.renderBlock (expected, start, n, target.volumes, target.gain);
                start += n;
            }

            return { std::move (actual), std::move (expected) };
        }
    };

    /** Sets the stem volumes the current inflections give as those already reached, so that the
        next blocks ramp nothing. */
    void settleVolumes (ThemeSourceV3& source)
    {
        source.mixVolumes.volumesDirty = false;
        source.mixVolumes.wasabi();

        for (size_t k = 0; k < source.lastVolumes.size(); ++k)
            source.lastVolumes[k] = (float) source.mixVolumes.volumes[k];
    }

    juce::AudioBuffer<float> filledBuffer (int channels, int samples, float value)
    {
        juce::AudioBuffer<float> buffer (channels, samples);

        for (int c = 0; c < channels; ++c)
            juce::FloatVectorOperations::fill (buffer.getWritePointer (c), value, samples);

        return buffer;
    }
}

//==============================================================================
TEST (ThemeSourceV3, StemsFollowTheTemplateWithOneRampPerPiece)
{
    // Stem 0 in "AAA", stem 1 in "CAA", stems 0 and 2 in "AAC".
    const auto patterns = R"({"AAA": [0], "CAA": [1], "AAC": [0, 2]})";

    for (const int blockSize : qvtest::testBlockSizes)
    {
        ThemeHarness h (3, patterns);
        MixModel model { 3, firstPass (0, openingFade) };
        int changesMade = 0;

        const auto script = [&] (int start) -> Target
        {
            if (start >= 3000 && changesMade == 0) { h.source->setInflection (0, 2.0); ++changesMade; }
            if (start >= 7000 && changesMade == 1) { h.source->setInflection (0, 0.0); h.source->setInflection (2, 2.0); ++changesMade; }
            if (start >= 11000 && changesMade == 2) { h.source->setInflection (2, 1.5); ++changesMade; }

            switch (changesMade)
            {
                case 0:  return { { 1, 0, 0 } };
                case 1:  return { { 0, 1, 0 } };
                case 2:  return { { 1, 0, 1 } };
                default: return { { 0.5, 0, 0.5 } };   // halfway between "AAB" (no stems) and "AAC"
            }
        };

        const auto [actual, expected] = h.play (model, 14000, blockSize, script);
        qvtest::expectSameAudio (actual, expected, 0, 14000, "block size " + juce::String (blockSize));
        EXPECT_EQ (h.source->getNextReadPosition(), 14000);
        EXPECT_EQ (h.source->getNextSourcesPosition(), 14000);

        if (blockSize == 512)
        {
            // Every stem fades in from 0 over the first piece.
            EXPECT_EQ (actual.getSample (0, 0), 0.0f);
            EXPECT_EQ (actual.getSample (0, 600), qvtest::encodeSample (600, 0));
            EXPECT_EQ (actual.getSample (1, 600), qvtest::encodeSample (600, 1));

            // The change before the block at 3072 is reached over its first piece: from 3328 on
            // only stem 1 (channels 2 and 3) sounds.
            EXPECT_NE (actual.getSample (0, 3072 + piece - 1), qvtest::encodeSample (3072 + piece - 1, 2));
            EXPECT_EQ (actual.getSample (0, 3072 + piece), qvtest::encodeSample (3072 + piece, 2));
            EXPECT_EQ (actual.getSample (1, 3072 + piece), qvtest::encodeSample (3072 + piece, 3));
        }
    }
}

TEST (ThemeSourceV3, MusicGainRampsFromThePreviousBlocksGain)
{
    for (const int blockSize : qvtest::testBlockSizes)
    {
        ThemeHarness h (1, R"({"AAA": [0]})");
        MixModel model { 1, firstPass (0, openingFade) };
        int phase = 0;

        const auto script = [&] (int start) -> Target
        {
            if (phase == 0 && start >= 6000)
            {
                h.source->applyParameter (Prop::music, 1.0f);
                EXPECT_EQ (h.source->getGain(), 0.5f);
                ++phase;
            }
            else if (phase == 1 && start >= 12000)
            {
                h.source->applyParameter (Prop::music, 2.0f);
                EXPECT_EQ (h.source->getGain(), 1.0f);
                ++phase;
            }

            h.source->applyParameter (Prop::video, 0.1f);   // not the music gain: ignored
            return { { 1.0 }, phase == 1 ? 0.5 : 1.0 };
        };

        const auto [actual, expected] = h.play (model, 16000, blockSize, script);
        qvtest::expectSameAudio (actual, expected, 0, 16000, "block size " + juce::String (blockSize));
        EXPECT_EQ (h.source->lastGain, 1.0f);

        if (blockSize == 512)
        {
            // The ramp starts at the previous gain and ends one step short of the new one ...
            EXPECT_EQ (actual.getSample (0, 6144), qvtest::encodeSample (6144, 0));
            EXPECT_GT (actual.getSample (0, 6655), 0.5f * qvtest::encodeSample (6655, 0));
            EXPECT_EQ (actual.getSample (0, 6656), 0.5f * qvtest::encodeSample (6656, 0));
            // ... and the next change ramps on from where that one ended.
            EXPECT_EQ (actual.getSample (0, 12288), 0.5f * qvtest::encodeSample (12288, 0));
            EXPECT_EQ (actual.getSample (1, 13000), qvtest::encodeSample (13000, 1));
        }
    }
}

TEST (ThemeSourceV3, StemsWithoutAVolumePlayAtOne)
{
    ThemeHarness h (3, R"({"AAA": [0]})");
    h.source->mixVolumes.volumes.resize (1);

    MixModel model { 3, firstPass (0, openingFade) };
    const auto [actual, expected] = h.play (model, 2048, 512, [] (int) { return Target { { 1.0 } }; });

    qvtest::expectSameAudio (actual, expected, 0, 2048, "volumes for stem 0 only");
    EXPECT_EQ (h.source->mixVolumes.volumes.size(), 1u);
    EXPECT_EQ (h.source->lastVolumes, (std::vector<float> { 1.0f, 1.0f, 1.0f }));
}

TEST (ThemeSourceV3, StemNamedByNoPatternFallsSilentAtTheFirstRecomputation)
{
    ThemeHarness h (3, R"({"AAA": [0, 1]})");
    ASSERT_EQ (h.source->getNumStems(), 3);

    // All three stems were sounding before: stem 2 ramps down over the first piece.
    h.source->mixVolumes.volumes = { 1.0, 1.0, 1.0 };
    h.source->lastVolumes = { 1.0f, 1.0f, 1.0f };

    MixModel model { 3, firstPass (0, openingFade) };
    model.lastVolumes = { 1.0, 1.0, 1.0 };

    const auto [actual, expected] = h.play (model, 2048, 512, [] (int) { return Target { { 1, 1, 0 } }; });
    qvtest::expectSameAudio (actual, expected, 0, 2048, "stems 0 and 1 only");
    EXPECT_EQ (h.source->mixVolumes.volumes, (std::vector<double> { 1.0, 1.0, 0.0 }));
    EXPECT_EQ (actual.getSample (0, 600), qvtest::encodeSample (600, 0) + qvtest::encodeSample (600, 2));
    EXPECT_EQ (actual.getSample (1, 600), qvtest::encodeSample (600, 1) + qvtest::encodeSample (600, 3));
}

TEST (ThemeSourceV3, EveryBlockSizePlaysTheSameAcrossTheLoopPoint)
{
    // C + L = 6000: the loop point (a crossfade inside the multistem) falls in the middle.
    const Layout layout { 1000, 5000, 1000, 0 };
    const int total = 16000;
    std::optional<juce::AudioBuffer<float>> reference;

    for (const int blockSize : qvtest::testBlockSizes)
    {
        ThemeHarness h (2, R"({"AAA": [0, 1], "BAA": [1]})", layout);
        h.source->setInflection (0, 0.5);   // stem 0 at 0.5, stem 1 at 1.0
        settleVolumes (*h.source);
        ASSERT_EQ (h.source->lastVolumes, (std::vector<float> { 0.5f, 1.0f }));

        MixModel model { 2, firstPass (0, openingFade), { 0.5, 1.0 } };
        const auto [actual, expected] = h.play (model, total, blockSize, [] (int) { return Target { { 0.5, 1.0 } }; });

        // The first pass against the model, the whole take against the first block size.
        qvtest::expectSameAudio (actual, expected, 0, 6000, "first pass, block size " + juce::String (blockSize));

        if (! reference.has_value())
            reference = actual;
        else
            qvtest::expectSameAudio (actual, *reference, 0, total, "block size " + juce::String (blockSize) + " against 1");

        EXPECT_EQ (h.source->getNextSourcesPosition(), 1000 + (total - 1000) % 5000);
    }
}

//==============================================================================
TEST (ThemeSourceV3, BlocksBeforeTheOffsetPointAreSilentAndLeaveTheMultistem)
{
    const Layout layout { 50000, 20000, 1000, 48000 };
    ThemeHarness h (1, R"({"AAA": [0]})", layout);
    auto& multistem = *h.source->multistemSource;

    struct Case { juce::int64 position; };

    // Positioned at p >= 0, the multistem stands at p + O.
    for (const juce::int64 p : { 0LL, 1000LL, 47488LL, 47489LL })
    {
        h.source->setNextReadPosition (p);
        EXPECT_EQ (multistem.getNextReadPosition(), p + 48000) << p;
    }

    // A block ending at the offset point: silent, no gain, the multistem not called.
    h.source->setNextReadPosition (47488);
    auto out = filledBuffer (2, 512, 0.25f);
    h.source->getNextAudioBlock (juce::AudioSourceChannelInfo (&out, 0, 512));
    EXPECT_TRUE (qvtest::isSilent (out, 0, 512));
    EXPECT_EQ (h.source->getNextReadPosition(), 48000);
    EXPECT_EQ (multistem.getNextReadPosition(), 47488 + 48000);

    // One sample later the block straddles the offset point and is mixed in full: the multistem
    // reads file position 95489, past the first loop end, mapped into the loop, after its
    // 240-sample fade-in at positioning.
    h.source->setNextReadPosition (47489);
    const juce::int64 file = 50000 + (47489 + 48000 - 50000) % 20000;
    ASSERT_EQ (multistem.getFilePosition(), file);
    h.source->getNextAudioBlock (juce::AudioSourceChannelInfo (&out, 0, 512));
    EXPECT_EQ (h.source->getNextReadPosition(), 48001);
    EXPECT_EQ (multistem.getNextReadPosition(), 47489 + 48000 + 512);
    EXPECT_EQ (out.getSample (0, 0), 0.0f);
    EXPECT_NE (out.getSample (0, 100), 0.0f);
    EXPECT_EQ (out.getSample (0, 300), qvtest::encodeSample (file + 300, 0));
    EXPECT_EQ (out.getSample (1, 511), qvtest::encodeSample (file + 511, 1));
}

TEST (ThemeSourceV3, PlaybackFromBeforeZeroMeetsTheMultistemAtTheOffsetPoint)
{
    struct Case { juce::int64 offset, position; int blockSize; juce::int64 firstMixedBlock; };

    const Case cases[] {
        { 0, -1000, 512, -488 },
        { 48000, -1024, 512, 47616 },
        { 48000, 0, 4096, 45056 },
    };

    for (const auto& tc : cases)
    {
        const Layout layout { 50000, 20000, 1000, tc.offset };
        ThemeHarness h (1, R"({"AAA": [0]})", layout);
        h.source->setNextReadPosition (tc.position);
        const auto what = "offset " + juce::String (tc.offset) + ", from " + juce::String (tc.position);

        auto out = filledBuffer (2, tc.blockSize, 0.25f);

        for (auto pos = tc.position; pos < tc.firstMixedBlock; pos += tc.blockSize)
        {
            h.source->getNextAudioBlock (juce::AudioSourceChannelInfo (&out, 0, tc.blockSize));
            ASSERT_TRUE (qvtest::isSilent (out, 0, tc.blockSize)) << what;
        }

        ASSERT_EQ (h.source->getNextReadPosition(), tc.firstMixedBlock) << what;
        EXPECT_EQ (h.source->multistemSource->getNextReadPosition(), tc.offset) << what;

        // The multistem opens at the offset point with the block's first sample.
        h.source->getNextAudioBlock (juce::AudioSourceChannelInfo (&out, 0, tc.blockSize));
        MixModel model { 1, firstPass (tc.offset, openingFade) };
        juce::AudioBuffer<float> expected (2, tc.blockSize);
        model.renderBlock (expected, 0, tc.blockSize, { 1.0 }, 1.0);
        qvtest::expectSameAudio (out, expected, 0, tc.blockSize, what);
        EXPECT_EQ (out.getSample (0, 500), qvtest::encodeSample (tc.offset + 500, 0)) << what;
        EXPECT_EQ (h.source->getNextSourcesPosition(), tc.offset + tc.blockSize) << what;
    }
}

//==============================================================================
TEST (ThemeSourceV3, WithoutMultistemEveryOperationIsHarmlessAndSilent)
{
    ThemeHarness h ([] (const juce::File&) {});   // the multistem file is missing
    ASSERT_NE (h.source, nullptr);
    EXPECT_FALSE (h.source->initialised);
    EXPECT_EQ (h.source->multistemSource, nullptr);

    auto& source = *h.source;
    source.setNextReadPosition (-100);
    EXPECT_EQ (source.getNextSourcesPosition(), -100);
    source.setGain (0.3f);

    auto out = filledBuffer (3, 1024, 0.25f);
    source.getNextAudioBlock (juce::AudioSourceChannelInfo (&out, 0, 1024));
    EXPECT_TRUE (qvtest::isSilent (out, 0, 1024));
    EXPECT_EQ (source.getNextReadPosition(), 924);
    EXPECT_EQ (source.getNextSourcesPosition(), 924);
    EXPECT_EQ (source.lastGain, 0.3f);   // effects and gain still run
    EXPECT_EQ (source.getSourceLength(), 0);
    EXPECT_EQ (source.getNumStems(), 0);
    EXPECT_EQ (source.getDebugStemInformation(), "Unique stems: 0\r\n");
    source.releaseResources();

    // Never loaded, never prepared.
    ThemeSourceV3 bare ("Bare", {});
    bare.setNextReadPosition (5);
    bare.getNextAudioBlock (juce::AudioSourceChannelInfo (&out, 0, 1024));
    EXPECT_TRUE (qvtest::isSilent (out, 0, 1024));
    bare.releaseResources();
}

TEST (ThemeSourceV3, UnpreparedSourceIsSilent)
{
    ThemeHarness h (1, R"({"AAA": [0]})");
    ThemeSourceV3& loaded = *h.source;
    loaded.releaseResources();
    loaded.mixBuffer.setSize (0, 0);   // as before the first prepareToPlay

    auto out = filledBuffer (2, 512, 0.25f);
    loaded.getNextAudioBlock (juce::AudioSourceChannelInfo (&out, 0, 512));
    EXPECT_TRUE (qvtest::isSilent (out, 0, 512));
}

TEST (ThemeSourceV3, WritesOnlyTheRegionsFirstTwoChannels)
{
    ThemeHarness h (2, R"({"AAA": [0, 1]})");
    settleVolumes (*h.source);
    h.source->setNextReadPosition (1000);   // 240-sample fade-in

    // Four channels, the region from sample 100: channels 2 and 3 and the samples outside keep
    // their values.
    auto out = filledBuffer (4, 700, 7.0f);
    h.source->getNextAudioBlock (juce::AudioSourceChannelInfo (&out, 100, 512));

    for (int c = 0; c < 4; ++c)
    {
        EXPECT_EQ (out.getSample (c, 99), 7.0f);
        EXPECT_EQ (out.getSample (c, 612), 7.0f);
    }

    for (int c = 2; c < 4; ++c)
        for (int i = 0; i < 700; ++i)
            ASSERT_EQ (out.getSample (c, i), 7.0f) << "channel " << c << " sample " << i;

    EXPECT_EQ (out.getSample (0, 100 + 300), qvtest::encodeSample (1300, 0) + qvtest::encodeSample (1300, 2));
    EXPECT_EQ (out.getSample (1, 100 + 300), qvtest::encodeSample (1300, 1) + qvtest::encodeSample (1300, 3));

    // One channel: stem channels 0 go to it, nothing else is written.
    h.source->setNextReadPosition (1000);
    auto mono = filledBuffer (1, 512, 7.0f);
    h.source->getNextAudioBlock (juce::AudioSourceChannelInfo (&mono, 0, 512));
    EXPECT_EQ (mono.getSample (0, 300), qvtest::encodeSample (1300, 0) + qvtest::encodeSample (1300, 2));

    // No channels at all.
    juce::AudioBuffer<float> none (0, 512);
    h.source->getNextAudioBlock (juce::AudioSourceChannelInfo (&none, 0, 512));
    EXPECT_EQ (h.source->getNextReadPosition(), 2024);
}

TEST (ThemeSourceV3, MultistemWiderThanTheScratchBufferMixesOnlyWhatFits)
{
    ThemeHarness h (3, R"({"AAA": [0, 1, 2]})");
    settleVolumes (*h.source);
    h.source->mixBuffer.setSize (2, ThemeSourceV3::mixPieceSize);   // room for stem 0 only
    h.source->setNextReadPosition (1000);

    auto out = filledBuffer (2, 512, 0.25f);
    h.source->getNextAudioBlock (juce::AudioSourceChannelInfo (&out, 0, 512));
    EXPECT_EQ (out.getSample (0, 300), qvtest::encodeSample (1300, 0));
    EXPECT_EQ (out.getSample (1, 300), qvtest::encodeSample (1300, 1));
}

TEST (ThemeSourceV3, MultistemWithoutChannelsWritesNothing)
{
    ThemeHarness h ([] (const juce::File& file) { EXPECT_TRUE (qvtest::writeEmptyWav (file, 2)); });
    ASSERT_NE (h.source, nullptr);
    EXPECT_TRUE (h.source->initialised);
    ASSERT_NE (h.source->multistemSource, nullptr);
    EXPECT_EQ (h.source->getNumStems(), 0);
    EXPECT_TRUE (h.source->lastVolumes.empty());
    EXPECT_EQ (h.source->getSourceLength(), 0);

    for (const int blockSize : qvtest::testBlockSizes)
    {
        auto out = filledBuffer (2, blockSize, 0.25f);
        h.source->getNextAudioBlock (juce::AudioSourceChannelInfo (&out, 0, blockSize));
        EXPECT_TRUE (qvtest::isSilent (out, 0, blockSize)) << blockSize;
    }
}

//==============================================================================
TEST (ThemeSourceV3, DebugStemInformationNamesPatternsAndDuplicates)
{
    ThemeHarness h (3, R"({"AAA": [0, 1, 2], "AAB": [1]})");
    ASSERT_EQ (h.source->mixVolumes.stemMasks, (std::vector<int> { 1, 3, 1 }));
    EXPECT_EQ (h.source->getDebugStemInformation(),
               "Stem 1 1\r\nPattern: AAA\r\nStem 2 3\r\nPattern: AAA, AAB\r\nStem 3 1 duplicate of 1\r\n"
               "Pattern: AAA\r\nUnique stems: 2\r\n");
}

TEST (ThemeSourceV3, SameInflectionTwiceMarksTheVolumesOnce)
{
    ThemeHarness h (1, R"({"AAA": [0]})");
    auto& mix = h.source->mixVolumes;

    mix.volumesDirty = false;
    h.source->setInflection (1, 1.0);
    EXPECT_TRUE (mix.volumesDirty);

    mix.volumesDirty = false;
    h.source->setInflection (1, 1.0);
    EXPECT_FALSE (mix.volumesDirty);

    h.source->setInflection (3, 1.0);
    h.source->setInflection (-1, 1.0);
    EXPECT_FALSE (mix.volumesDirty);
    EXPECT_EQ (mix.inflectionB.load(), 1.0);
}

TEST (ThemeSourceV3, TotalLengthAndSourceLength)
{
    ThemeHarness h (1, R"({"AAA": [0]})");
    auto& properties = h.source->properties;

    properties.length = -1;
    properties.start = 96000;
    EXPECT_EQ (h.source->getTotalLength(), 1728096000LL);

    properties.length = 96000;
    EXPECT_EQ (h.source->getTotalLength(), 144000);
    EXPECT_EQ (h.source->getSourceLength(), 42000);
}
