#include "themes/ThemeSourceV1.h"
#include "themes/ThemeSourceV2.h"
#include "themes/StemSource.h"
#include "themes/XLoopSource.h"

#include "AudioFixtures.h"
#include "TestSupport.h"
#include "ThemeFixtures.h"

#include <gtest/gtest.h>

using namespace QVAudioEngineV4;

namespace
{
    //==============================================================================
    // Every source is prepared for this block size and played in every block size of the list;
    // the last one is longer than prepared but still fits the scratch buffer of twice the size.
    constexpr int preparedBlockSize = 4096;

    /** Sample (channel, position) of a stem, the position counted as the stem reads on. */
    using StemAudio = std::function<float (int channel, juce::int64 stemPosition)>;

    /**
        What a theme built of stem files should output: each block that reaches the stems reads
        them on from where they stand (silence before theme position 0), and each stem enters the
        mix with a linear ramp from the volume it ended the previous block at (0 at first) to its
        volume; the music gain ramps the same way. Blocks that do not reach the stems are silent
        and leave the stems and the ramps where they were.
    */
    struct MixModel
    {
        struct Stem
        {
            StemAudio audio;
            float volume = 1.0f;
            float lastVolume = 0.0f;
        };

        std::vector<Stem> stems;
        std::function<bool (juce::int64 pos, int n)> reachesStems = [] (juce::int64 pos, int n) { return pos + n > 0; };
        juce::int64 pos = 0;
        juce::int64 stemPosition = 0;
        float gain = 1.0f;
        float lastGain = 1.0f;

        void setPosition (juce::int64 p)
        {
            pos = p;
            stemPosition = juce::jmax ((juce::int64) 0, p);
        }

        static float ramp (float from, float to, int n, int j)
        {
            if (from == to)
                return to;

            const float step = (to - from) / (float) n;
            float g = from;

            for (int i = 0; i < j; ++i)
                g += step;

            return g;
        }

        void renderBlock (juce::AudioBuffer<float>& out, int start, int n)
        {
            if (! reachesStems (pos, n))
            {
                out.clear (start, n);
                pos += n;
                return;
            }

            const int silent = (int) juce::jlimit ((juce::int64) 0, (juce::int64) n, -pos);

            for (int c = 0; c < 2; ++c)
                for (int j = 0; j < n; ++j)
                {
                    float value = 0.0f;

                    for (auto& stem : stems)
                        if (j >= silent)
                            value += stem.audio (c, stemPosition + j - silent) * ramp (stem.lastVolume, stem.volume, n, j);

                    out.setSample (c, start + j, value * ramp (lastGain, gain, n, j));
                }

            for (auto& stem : stems)
                stem.lastVolume = stem.volume;

            lastGain = gain;
            stemPosition += n - silent;
            pos += n;
        }

        juce::AudioBuffer<float> render (int total, int blockSize)
        {
            juce::AudioBuffer<float> out (2, total);

            for (int done = 0; done < total; done += blockSize)
                renderBlock (out, done, juce::jmin (blockSize, total - done));

            return out;
        }
    };



    /** Stem k of a generated folder, looping a file of the given length. */
    StemAudio loopingStem (int stemIndex, juce::int64 fileLength)
    {
        return [=] (int c, juce::int64 p) { return qvtest::encodeSample (p % fileLength, 2 * stemIndex + c); };
    }

    AudioSettings wavSettings()
    {
        AudioSettings settings;
        settings.audioExtension = "wav";
        return settings;
    }

    template <typename Source>
    std::unique_ptr<Source> loadTheme (const juce::File& folder, const juce::String& configText,
                                       const AudioSettings& settings = wavSettings())
    {
        EXPECT_TRUE (qvtest::writeThemeConfig (folder, qvtest::parseJSON (configText)));
        auto loaded = ThemeSource::createThemeSource (folder.getFileName(), folder.getChildFile ("config.json"), settings);
        auto* typed = dynamic_cast<Source*> (loaded.get());

        if (typed == nullptr)
        {
            ADD_FAILURE() << "the folder did not load as the expected layout";
            return {};
        }

        loaded.release();
        typed->properties.realtime = false;   // every read waits for its data
        return std::unique_ptr<Source> (typed);
    }

    //==============================================================================
    /** Version 1: 01.wav (1000 frames, only in pattern AAA), 02.wav (1500 frames, only in CCC)
        and trans0.wav (800 frames). At A = B = C = 0 stem 01 plays at 1, stem 02 at 0, and the
        two transition stems at 1 as they have no mix table entries. */
    struct V1Theme
    {
        qvtest::TempFolder temp;
        juce::File folder = temp.getChildFile ("Old Theme");
        std::unique_ptr<ThemeSourceV1> source;

        static constexpr int stem1Length = 1000, stem2Length = 1500, transitionLength = 800;

        V1Theme()
        {
            folder.createDirectory();
            EXPECT_TRUE (qvtest::writeStemWav (folder.getChildFile ("01.wav"), 0, stem1Length));
            EXPECT_TRUE (qvtest::writeStemWav (folder.getChildFile ("02.wav"), 1, stem2Length));
            EXPECT_TRUE (qvtest::writeStemWav (folder.getChildFile ("trans0.wav"), 2, transitionLength));
            source = loadTheme<ThemeSourceV1> (folder, R"({"version": 1, "files": ["x", "y"],
                                                            "Patterns": {"AAA": [0], "CCC": [1]}})");
        }

        /** The model once every stem stands at the same position. */
        MixModel model() const
        {
            MixModel m;
            m.stems = { { loopingStem (0, stem1Length), 1.0f },
                        { loopingStem (1, stem2Length), 0.0f },
                        { loopingStem (2, transitionLength), 1.0f },
                        { loopingStem (2, transitionLength), 1.0f } };
            return m;
        }
    };
}

//==============================================================================
TEST (ThemeSourceV1, StemsLoopWholeAndTransitionStemsPlayAtFullVolume)
{
    for (const int blockSize : qvtest::testBlockSizes)
    {
        SCOPED_TRACE ("block size " + std::to_string (blockSize));
        V1Theme theme;
        ASSERT_NE (theme.source, nullptr);
        ASSERT_EQ (theme.source->stems.size(), 4);

        auto& source = *theme.source;
        source.prepareToPlay (preparedBlockSize, 48000.0);
        source.setNextReadPosition (0);

        constexpr int total = 3700;
        const auto out = qvtest::renderSource (source, 2, total, blockSize);
        auto model = theme.model();
        qvtest::expectSameAudio (out, model.render (total, blockSize), 0, total, "mix");
        EXPECT_EQ (source.getNextReadPosition(), total);
        source.releaseResources();
    }
}

TEST (ThemeSourceV1, TransitionStemsStartHalfAFileApartUntilRepositioned)
{
    V1Theme theme;
    ASSERT_NE (theme.source, nullptr);
    theme.source->prepareToPlay (preparedBlockSize, 48000.0);

    const auto out = qvtest::renderSource (*theme.source, 2, 2000, 512);
    auto model = theme.model();
    model.stems[3].audio = [] (int c, juce::int64 p) { return qvtest::encodeSample ((p + 400) % 800, 4 + c); };
    qvtest::expectSameAudio (out, model.render (2000, 512), 0, 2000, "transition stems apart");
}

TEST (ThemeSourceV1, BlocksBeforeTheOffsetLeaveTheStemsWhereTheyStand)
{
    constexpr juce::int64 offset = 3000;

    for (const int blockSize : qvtest::testBlockSizes)
    {
        SCOPED_TRACE ("block size " + std::to_string (blockSize));
        V1Theme theme;
        ASSERT_NE (theme.source, nullptr);
        auto& source = *theme.source;
        source.properties.offset = offset;
        source.prepareToPlay (preparedBlockSize, 48000.0);
        source.setNextReadPosition (0);

        // Playing on from 0: the blocks that end at or before the offset are silent and do not
        // move the stems, so the first block reaching past it starts them from 0.
        const int silentBlocks = (int) (offset / blockSize);
        const int silentLength = silentBlocks * blockSize;
        auto out = qvtest::renderSource (source, 2, silentLength, blockSize);
        EXPECT_TRUE (qvtest::isSilent (out, 0, silentLength));
        EXPECT_EQ (source.getNextReadPosition(), silentLength);

        for (auto* stem : source.stems)
            EXPECT_EQ (stem->getNextReadPosition(), 0);

        const int total = silentLength + 4000;
        out = qvtest::renderSource (source, 2, 4000, blockSize);
        auto model = theme.model();
        model.reachesStems = [] (juce::int64 pos, int n) { return pos + n > offset; };
        model.setPosition (0);
        const auto expected = model.render (total, blockSize);

        juce::AudioBuffer<float> expectedTail (2, 4000);

        for (int c = 0; c < 2; ++c)
            expectedTail.copyFrom (c, 0, expected, c, silentLength, 4000);

        qvtest::expectSameAudio (out, expectedTail, 0, 4000, "after the offset point");

        // Positioned past the offset, every stem stands at the position.
        source.setNextReadPosition (5000);

        for (auto* stem : source.stems)
            EXPECT_EQ (stem->getNextReadPosition(), 5000);

        out = qvtest::renderSource (source, 2, 1200, blockSize);

        for (int c = 0; c < 2; ++c)
            for (int i = 100; i < 1200; i += 97)
                EXPECT_NEAR (out.getSample (c, i), qvtest::encodeSample ((5000 + i) % 1000, c)
                                                     + 2.0f * qvtest::encodeSample ((5000 + i) % 800, 4 + c), 2.0e-6f)
                    << "sample " << i;
    }
}

TEST (ThemeSourceV1, NegativePositionIsSilentUntilThemeStartAndStemsReadFromZero)
{
    constexpr juce::int64 start = -700;

    for (const int blockSize : qvtest::testBlockSizes)
    {
        SCOPED_TRACE ("block size " + std::to_string (blockSize));
        V1Theme theme;
        ASSERT_NE (theme.source, nullptr);
        auto& source = *theme.source;
        source.prepareToPlay (preparedBlockSize, 48000.0);
        auto model = theme.model();

        // Played a while first, so the scratch buffer holds audio that must not leak into the
        // lead-in of the next blocks.
        source.setNextReadPosition (0);
        qvtest::renderSource (source, 2, 2300, blockSize);
        model.render (2300, blockSize);

        source.setNextReadPosition (start);
        model.setPosition (start);

        for (auto* stem : source.stems)
            EXPECT_EQ (stem->getNextReadPosition(), 0);

        constexpr int total = 3000;
        const auto out = qvtest::renderSource (source, 2, total, blockSize);
        EXPECT_TRUE (qvtest::isSilent (out, 0, (int) -start));
        qvtest::expectSameAudio (out, model.render (total, blockSize), 0, total, "from a negative position");
        EXPECT_EQ (source.getNextReadPosition(), start + total);
    }
}

TEST (ThemeSourceV1, GainRampsAcrossOneBlock)
{
    V1Theme theme;
    ASSERT_NE (theme.source, nullptr);
    auto& source = *theme.source;
    source.prepareToPlay (preparedBlockSize, 48000.0);
    source.setNextReadPosition (0);

    auto model = theme.model();
    juce::AudioBuffer<float> out (2, 1536), expected (2, 1536);

    // "M" is applied at half its value: 2.0 is unity, 1.0 is half.
    const float musicValues[] { 2.0f, 1.0f, 1.0f };

    for (int block = 0; block < 3; ++block)
    {
        source.applyParameter (Prop::music, musicValues[block]);
        model.gain = musicValues[block] * 0.5f;
        source.getNextAudioBlock (juce::AudioSourceChannelInfo (&out, block * 512, 512));
        model.renderBlock (expected, block * 512, 512);
    }

    qvtest::expectSameAudio (out, expected, 0, 1536, "gain ramp");
    EXPECT_EQ (source.lastGain, 0.5f);
}

//==============================================================================
TEST (ThemeSourceStemFiles, SilenceWithoutStemsOrForBlocksLongerThanTheScratchBuffer)
{
    struct Case { const char* name; bool withStems; int blockSize; };

    const Case cases[] {
        { "no stems",                    false, 512 },
        { "block beyond twice prepared", true,  2 * preparedBlockSize + 1 },
        { "unprepared source",           true,  0 },
    };

    for (const auto& tc : cases)
    {
        SCOPED_TRACE (tc.name);
        qvtest::TempFolder temp;
        auto folder = temp.getChildFile ("Theme");
        folder.createDirectory();
        EXPECT_TRUE (qvtest::writeStemWav (folder.getChildFile ("01.wav"), 0, 1000));
        auto source = loadTheme<ThemeSourceV1> (folder, tc.withStems ? R"({"version": 1, "files": [1]})"
                                                                     : R"({"version": 1, "files": []})");
        ASSERT_NE (source, nullptr);
        const int blockSize = tc.blockSize > 0 ? tc.blockSize : 256;

        if (tc.blockSize > 0)
            source->prepareToPlay (preparedBlockSize, 48000.0);

        source->setNextReadPosition (100);

        juce::AudioBuffer<float> out (2, blockSize + 10);
        out.clear();
        out.setSample (0, 0, 0.5f);
        out.setSample (0, blockSize + 5, 0.5f);
        source->getNextAudioBlock (juce::AudioSourceChannelInfo (&out, 3, blockSize));

        EXPECT_TRUE (qvtest::isSilent (out, 3, 3 + blockSize));
        EXPECT_EQ (out.getSample (0, 0), 0.5f) << "before the region";
        EXPECT_EQ (out.getSample (0, blockSize + 5), 0.5f) << "after the region";
        EXPECT_EQ (source->getNextReadPosition(), 100 + blockSize);
    }
}

TEST (ThemeSourceStemFiles, WideRegionGetsTheMixInItsFirstTwoChannelsOnly)
{
    V1Theme theme;
    ASSERT_NE (theme.source, nullptr);
    auto& source = *theme.source;
    source.prepareToPlay (preparedBlockSize, 48000.0);
    source.setNextReadPosition (0);

    // Stale samples everywhere: the first stem overwrites the first two channels.
    juce::AudioBuffer<float> wide (6, 1024);

    for (int c = 0; c < 6; ++c)
        juce::FloatVectorOperations::fill (wide.getWritePointer (c), 0.25f * (float) (c + 1), 1024);

    for (int block = 0; block < 4; ++block)
        source.getNextAudioBlock (juce::AudioSourceChannelInfo (&wide, block * 256, 256));

    auto model = theme.model();
    qvtest::expectSameAudio (wide, model.render (1024, 256), 0, 1024, "stereo part");

    for (int c = 2; c < 6; ++c)
    {
        const auto range = juce::FloatVectorOperations::findMinAndMax (wide.getReadPointer (c), 1024);
        EXPECT_EQ (range, juce::Range<float> (0.25f * (float) (c + 1), 0.25f * (float) (c + 1))) << "channel " << c;
    }
}

//==============================================================================
namespace
{
    /** Version 2: three stems s0, s1, s2 (clean start 1000, loop 2000, ending 500), in the
        patterns AAA, CAA and BAA, so inflection A at 0, 2 and 1 selects stem 0, 1 and 2. */
    struct V2Theme
    {
        qvtest::TempFolder temp;
        juce::File folder = temp.getChildFile ("Second Theme");
        std::unique_ptr<ThemeSourceV2> source;

        static constexpr int C = 1000, L = 2000, N = 500, fileLength = C + L + N;
        static constexpr juce::int64 seed = 1234;

        V2Theme()
        {
            folder.createDirectory();

            for (int k = 0; k < 3; ++k)
                EXPECT_TRUE (qvtest::writeStemWav (folder.getChildFile ("s" + juce::String (k) + ".wav"), k, fileLength));

            source = loadTheme<ThemeSourceV2> (folder, R"({"version": 2, "files": ["s0.wav", "s1.wav", "s2.wav"],
                "Loop": {"clean_start_length": 1000, "loop_length": 2000, "ending_length": 500},
                "Patterns": {"AAA": [0], "CAA": [1], "BAA": [2]}})");

            if (source != nullptr)
                for (auto* stem : source->stems)
                    dynamic_cast<XLoopSource*> (stem)->setRandomSeed (seed);
        }

        /** Each stem played on its own by a cross-looping source like the theme's, with the same
            block sizes: what the theme mixes. */
        std::vector<juce::AudioBuffer<float>> renderStemsAlone (int total, int blockSize) const
        {
            std::vector<juce::AudioBuffer<float>> rendered;
            juce::SharedResourcePointer<BufferingThreadsArray> threads;

            for (auto* stem : source->stems)
            {
                XLoopSource alone (juce::File (stem->getFileName()), source->properties, threads->getNextThread(), 16384, true);
                alone.setRandomSeed (seed);
                alone.prepareToPlay (2 * preparedBlockSize, 48000.0);
                alone.setNextReadPosition (0);
                rendered.push_back (qvtest::renderSource (alone, 2, total, blockSize));
            }

            return rendered;
        }
    };
}

TEST (ThemeSourceV2, MixIsTheSumOfItsStemsAtTheirVolumes)
{
    for (const int blockSize : qvtest::testBlockSizes)
    {
        SCOPED_TRACE ("block size " + std::to_string (blockSize));
        V2Theme theme;
        ASSERT_NE (theme.source, nullptr);
        auto& source = *theme.source;

        // Halfway between A = 0 and A = 1: stems 0 and 2 at 0.5 each, stem 1 silent.
        source.setInflection (0, 0.5);
        source.prepareToPlay (preparedBlockSize, 48000.0);
        source.setNextReadPosition (0);

        constexpr int total = 7000;   // the clean start, two loop points and a bit
        const auto out = qvtest::renderSource (source, 2, total, blockSize);
        const auto alone = theme.renderStemsAlone (total, blockSize);

        MixModel model;
        const float volumes[] { 0.5f, 0.0f, 0.5f };

        for (size_t k = 0; k < alone.size(); ++k)
            model.stems.push_back ({ [&buffer = alone[k]] (int c, juce::int64 p) { return buffer.getSample (c, (int) p); },
                                     volumes[k] });

        qvtest::expectSameAudio (out, model.render (total, blockSize), 0, total, "mix");
        source.releaseResources();
    }
}

TEST (ThemeSourceV2, InflectionSelectsTheStemThatPlays)
{
    struct Case { const char* name; double inflectionA; int stem; };

    const Case cases[] {
        { "A = 0 plays s0", 0.0, 0 },
        { "A = 2 plays s1", 2.0, 1 },
        { "A = 1 plays s2", 1.0, 2 },
    };

    V2Theme theme;
    ASSERT_NE (theme.source, nullptr);
    auto& source = *theme.source;
    source.prepareToPlay (preparedBlockSize, 48000.0);

    for (const auto& tc : cases)
    {
        SCOPED_TRACE (tc.name);

        // From theme position 500 the stems play their clean start with no fade (the opening
        // fade-in is over after 480 samples); the new volumes are reached after one block.
        source.setNextReadPosition (0);
        juce::AudioBuffer<float> out (2, 2800);
        source.getNextAudioBlock (juce::AudioSourceChannelInfo (&out, 0, 512));
        source.setInflection (0, tc.inflectionA);

        for (int start = 512; start < 2800; start += 256)
            source.getNextAudioBlock (juce::AudioSourceChannelInfo (&out, start, juce::jmin (256, 2800 - start)));

        for (int c = 0; c < 2; ++c)
            for (int i = 768; i < 2800; ++i)
            {
                ASSERT_EQ (qvtest::decodeChannel (out.getSample (c, i)), 2 * tc.stem + c) << "sample " << i;
                ASSERT_EQ (qvtest::decodeFrame (out.getSample (c, i)), i) << "sample " << i;
            }
    }
}

TEST (ThemeSourceV2, ReportsItsFilesLengthAndFilePosition)
{
    V2Theme theme;
    ASSERT_NE (theme.source, nullptr);
    auto& source = *theme.source;

    juce::StringArray expectedFiles;

    for (const auto* name : { "s0.wav", "s1.wav", "s2.wav" })
        expectedFiles.add (theme.folder.getChildFile (name).getFullPathName());

    EXPECT_EQ (source.getSourceFiles(), expectedFiles);
    EXPECT_EQ (source.getSourceLength(), V2Theme::fileLength);

    // Past the first loop end the position maps into the loop: 1000 + (5000 - 1000) mod 2000.
    source.setNextReadPosition (5000);
    EXPECT_EQ (source.getNextSourcesPosition(), 1000);
    EXPECT_EQ (source.getNextReadPosition(), 5000);

    source.setNextReadPosition (-300);

    for (auto* stem : source.stems)
        EXPECT_EQ (stem->getNextReadPosition(), 0);

    EXPECT_EQ (source.getNextSourcesPosition(), 0);
}

TEST (ThemeSourceV2, LongestReadableStemGivesTheSourceLength)
{
    qvtest::TempFolder temp;
    auto folder = temp.getChildFile ("Lengths");
    folder.createDirectory();
    EXPECT_TRUE (qvtest::writeStemWav (folder.getChildFile ("a.wav"), 0, 3000));
    EXPECT_TRUE (qvtest::writeStemWav (folder.getChildFile ("b.wav"), 1, 4500));
    folder.getChildFile ("c.wav").replaceWithText ("not audio");

    auto source = loadTheme<ThemeSourceV2> (folder, R"({"version": 2, "files": ["a.wav", "b.wav", "c.wav"],
                                                         "Loop": {"clean_start_length": 0, "loop_length": 3000}})");
    ASSERT_NE (source, nullptr);
    EXPECT_EQ (source->getSourceFiles().size(), 3);
    EXPECT_EQ (source->getSourceLength(), 4500);
}

TEST (ThemeSourceV2, StemFileWithMoreChannelsPlaysItsFirstPair)
{
    qvtest::TempFolder temp;
    auto folder = temp.getChildFile ("Wide Stem");
    folder.createDirectory();
    EXPECT_TRUE (qvtest::writeIndexedWav (folder.getChildFile ("quad.wav"), 4, 3000));

    auto source = loadTheme<ThemeSourceV2> (folder, R"({"version": 2, "files": ["quad.wav"], "Patterns": {"AAA": [0]},
                                                         "Loop": {"clean_start_length": 0, "loop_length": 3000}})");
    ASSERT_NE (source, nullptr);
    source->prepareToPlay (256, 48000.0);
    source->setNextReadPosition (0);

    const auto out = qvtest::renderSource (*source, 2, 2048, 256);

    for (int c = 0; c < 2; ++c)
        for (int i = 512; i < 2048; ++i)
            ASSERT_EQ (out.getSample (c, i), qvtest::encodeSample (i, c)) << "channel " << c << " sample " << i;
}
