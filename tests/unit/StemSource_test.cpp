#include "themes/StemSource.h"
#include "common/SharedResources.h"

#include "AudioFixtures.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

using namespace QVAudioEngineV4;

namespace
{
    //==============================================================================
    // contribute() is non-virtual base behaviour; a minimal stem exposes it.
    struct BareStem : public AbstractStemSource
    {
        void prepareToPlay (int, double) override {}
        void releaseResources() override {}
        void getNextAudioBlock (const juce::AudioSourceChannelInfo& info) override { info.clearActiveBufferRegion(); }
        void setNextReadPosition (juce::int64) override {}
        juce::int64 getNextReadPosition() const override { return 0; }
        juce::int64 getTotalLength() const override { return 0; }
        bool isLooping() const override { return false; }
        juce::String getFileName() const override { return {}; }
        juce::AudioFormatReader* getReader() override { return nullptr; }
    };

    juce::AudioBuffer<float> filled (int channels, int samples, float value)
    {
        juce::AudioBuffer<float> b (channels, samples);

        for (int c = 0; c < channels; ++c)
            for (int i = 0; i < samples; ++i)
                b.setSample (c, i, value * (float) (c + 1));

        return b;
    }

    /** The gain applied to sample j of a ramp from g0 to g1 over n samples, accumulated in floats. */
    float rampGain (float g0, float g1, int n, int j)
    {
        const float step = (g1 - g0) / (float) n;
        float g = g0;

        for (int i = 0; i < j; ++i)
            g += step;

        return g;
    }

    //==============================================================================
    struct StemHarness
    {
        qvtest::TempFolder folder;
        juce::SharedResourcePointer<BufferingThreadsArray> threads;
        ThemeProperties properties;

        StemHarness() { properties.realtime = false; }

        std::unique_ptr<StemSource> make (const juce::String& stemName, int blockSize = 256, int readAhead = 4096)
        {
            auto stem = std::make_unique<StemSource> (folder.getChildFile (stemName), properties,
                                                      threads->getNextThread(), readAhead, true, "wav");
            stem->prepareToPlay (blockSize, 48000.0);
            return stem;
        }
    };

    /** Checks that out[c][i] encodes frame expected(i) of channel c, for every i in [from, to). */
    template <typename ExpectedFrame>
    void expectFrames (const juce::AudioBuffer<float>& out, int from, int to, ExpectedFrame expected, const char* what)
    {
        int failures = 0;

        for (int c = 0; c < out.getNumChannels(); ++c)
            for (int i = from; i < to && failures < 5; ++i)
            {
                const auto value = out.getSample (c, i);
                const auto want = qvtest::encodeSample (expected (i), c);

                if (value != want)
                {
                    ADD_FAILURE() << what << ": channel " << c << " sample " << i << " holds frame "
                                  << qvtest::decodeFrame (value) << " (channel " << qvtest::decodeChannel (value)
                                  << "), expected frame " << expected (i);
                    ++failures;
                }
            }
    }
}

//==============================================================================
TEST (AbstractStemSourceContribute, RampsAndConstantGains)
{
    BareStem stem;
    const auto source = filled (2, 64, 0.25f);

    // First call ramps from 0 to the gain across the block, one step short at the end.
    juce::AudioBuffer<float> dest (2, 64);
    dest.clear();
    stem.contribute (dest, source, 0.8f, true);

    for (int c = 0; c < 2; ++c)
        for (int j = 0; j < 64; ++j)
            ASSERT_FLOAT_EQ (dest.getSample (c, j), source.getSample (c, j) * rampGain (0.0f, 0.8f, 64, j)) << j;

    EXPECT_EQ (stem.lastGain, 0.8f);

    struct Case { float gain; bool replace; float before; float expectedFactor; bool addsToBefore; };

    // lastGain is 0.8 from here on, so each call is at a constant gain.
    const Case cases[] {
        { 0.8f, true,  5.0f, 0.8f, false },
        { 0.8f, false, 5.0f, 0.8f, true },
    };

    for (const auto& tc : cases)
    {
        auto d = filled (2, 64, tc.before);
        const auto original = d;
        stem.contribute (d, source, tc.gain, tc.replace);

        for (int c = 0; c < 2; ++c)
            for (int j = 0; j < 64; ++j)
                EXPECT_FLOAT_EQ (d.getSample (c, j), (tc.addsToBefore ? original.getSample (c, j) : 0.0f)
                                                        + source.getSample (c, j) * tc.expectedFactor);
    }

    // Gain 0 at constant gain: replace clears, add leaves the destination untouched.
    stem.lastGain = 0.0f;
    auto cleared = filled (2, 64, 3.0f);
    stem.contribute (cleared, source, 0.0f, true);
    EXPECT_EQ (cleared.getMagnitude (0, 64), 0.0f);

    auto untouched = filled (2, 64, 3.0f);
    stem.contribute (untouched, source, 0.0f, false);
    EXPECT_EQ (untouched.getSample (1, 10), 6.0f);

    // Adding with a ramp from 0 to 1.
    auto added = filled (2, 64, 1.0f);
    stem.contribute (added, source, 1.0f, false);

    for (int j = 0; j < 64; ++j)
        EXPECT_FLOAT_EQ (added.getSample (0, j), 1.0f + 0.25f * rampGain (0.0f, 1.0f, 64, j));

    // An empty destination still takes the new gain.
    juce::AudioBuffer<float> empty (2, 0);
    stem.contribute (empty, source, 0.3f, true);
    EXPECT_EQ (stem.lastGain, 0.3f);
}

TEST (AbstractStemSourceContribute, SourceWithFewerChannelsIsNotOverread)
{
    BareStem stem;
    stem.lastGain = 1.0f;
    const auto mono = filled (1, 32, 0.5f);

    auto replaced = filled (4, 32, 9.0f);
    stem.contribute (replaced, mono, 1.0f, true);
    EXPECT_EQ (replaced.getSample (0, 5), 0.5f);
    EXPECT_EQ (replaced.getMagnitude (1, 0, 32), 0.0f);
    EXPECT_EQ (replaced.getMagnitude (3, 0, 32), 0.0f);

    auto added = filled (4, 32, 9.0f);
    stem.contribute (added, mono, 1.0f, false);
    EXPECT_EQ (added.getSample (0, 5), 9.5f);
    EXPECT_EQ (added.getSample (3, 5), 36.0f);
}

//==============================================================================
TEST (StemSource, LoopsWithPeriodOfTheFileAcrossBlocks)
{
    StemHarness h;
    ASSERT_TRUE (qvtest::writeIndexedWav (h.folder.getChildFile ("01.wav"), 2, 1000, 24));

    for (const int blockSize : { 256, 300, 1000, 2500 })
    {
        auto stem = h.make ("01.ogg", blockSize);
        ASSERT_EQ (stem->getFileLength(), 1000);
        EXPECT_EQ (stem->getFileName(), h.folder.getChildFile ("01.wav").getFullPathName());
        EXPECT_NE (stem->getReader(), nullptr);
        EXPECT_TRUE (stem->isPlayingMain());

        stem->setNextReadPosition (0);
        const auto out = qvtest::renderSource (*stem, 2, 5300, blockSize);
        expectFrames (out, 0, 5300, [] (int i) { return i % 1000; }, "loop");
        EXPECT_EQ (stem->getNextReadPosition(), 5300);
    }
}

TEST (StemSource, PositionsAndRegionOffsets)
{
    StemHarness h;
    ASSERT_TRUE (qvtest::writeIndexedWav (h.folder.getChildFile ("01.wav"), 2, 1000, 32));
    auto stem = h.make ("01.wav");

    // A seek anywhere in theme time lands at the position modulo the period.
    stem->setNextReadPosition (123456);
    juce::AudioBuffer<float> out (2, 700);

    for (int c = 0; c < 2; ++c)
        juce::FloatVectorOperations::fill (out.getWritePointer (c), 7.0f, 700);

    stem->getNextAudioBlock (juce::AudioSourceChannelInfo (&out, 100, 600));

    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < 100; ++i)
            ASSERT_EQ (out.getSample (c, i), 7.0f);

    juce::AudioBuffer<float> region (2, 600);
    region.copyFrom (0, 0, out, 0, 100, 600);
    region.copyFrom (1, 0, out, 1, 100, 600);
    expectFrames (region, 0, 600, [] (int i) { return (123456 + i) % 1000; }, "after seek");
    EXPECT_EQ (stem->getNextReadPosition(), 124056);

    // Blocks ending before theme position 0 are silent; a block straddling 0 starts the file.
    stem->setNextReadPosition (-300);
    const auto early = qvtest::renderSource (*stem, 2, 600, 200);
    EXPECT_EQ (early.getMagnitude (0, 300), 0.0f);
    expectFrames (early, 300, 600, [] (int i) { return i - 300; }, "from position 0");
}

TEST (StemSource, CleanStartCompanionPlaysTheFirstPass)
{
    StemHarness h;
    ASSERT_TRUE (qvtest::writeIndexedWav (h.folder.getChildFile ("07.wav"), 2, 1000, 24));
    ASSERT_TRUE (qvtest::writeIndexedWav (h.folder.getChildFile ("07cs.wav"), 2, 1000, 24, 200000));

    auto stem = h.make ("07.ogg", 256);
    EXPECT_FALSE (stem->isPlayingMain());

    stem->setNextReadPosition (0);
    const auto out = qvtest::renderSource (*stem, 2, 3000, 256);
    expectFrames (out, 0, 1000, [] (int i) { return 200000 + i; }, "companion");
    expectFrames (out, 1000, 3000, [] (int i) { return i % 1000; }, "main");
    EXPECT_TRUE (stem->isPlayingMain());

    // Seeking back into the first pass returns to the companion.
    stem->setNextReadPosition (900);
    EXPECT_FALSE (stem->isPlayingMain());
    const auto back = qvtest::renderSource (*stem, 2, 300, 300);
    expectFrames (back, 0, 100, [] (int i) { return 200900 + i; }, "companion again");
    expectFrames (back, 100, 300, [] (int i) { return i - 100; }, "main again");
}

TEST (StemSource, SpanLimitSilencesButKeepsCounting)
{
    StemHarness h;
    ASSERT_TRUE (qvtest::writeIndexedWav (h.folder.getChildFile ("01.wav"), 2, 1000, 24));
    h.properties.length = 4800;
    auto stem = h.make ("01.wav");

    EXPECT_EQ (stem->getTotalLength(), 4800);

    stem->setNextReadPosition (4800);
    auto atLimit = qvtest::renderSource (*stem, 2, 256, 256);
    expectFrames (atLimit, 0, 256, [] (int i) { return (4800 + i) % 1000; }, "block at the limit");

    stem->setNextReadPosition (4801);
    auto after = qvtest::renderSource (*stem, 2, 256, 256);
    EXPECT_EQ (after.getMagnitude (0, 256), 0.0f);
    EXPECT_EQ (stem->getNextReadPosition(), 4801 + 256);

    h.properties.length = -1;
    EXPECT_EQ (stem->getTotalLength(), 36000000000LL);
}

TEST (StemSource, UnreadableStemsAreSilentAndKeepTheirPosition)
{
    StemHarness h;
    ASSERT_TRUE (qvtest::writeEmptyWav (h.folder.getChildFile ("02.wav"), 2));
    h.folder.getChildFile ("03.wav").replaceWithText ("not audio");
    // A companion without its main file: the first pass must not read it with a zero period.
    ASSERT_TRUE (qvtest::writeIndexedWav (h.folder.getChildFile ("04cs.wav"), 2, 500, 24));

    for (const auto* name : { "missing.wav", "02.wav", "03.wav", "04.wav" })
    {
        auto stem = h.make (name);
        EXPECT_EQ (stem->getFileLength(), 0) << name;

        stem->setNextReadPosition (777);
        EXPECT_EQ (stem->getNextReadPosition(), 777) << name;

        auto out = qvtest::renderSource (*stem, 2, 600, 256);
        EXPECT_EQ (out.getMagnitude (0, 600), 0.0f) << name;
        EXPECT_EQ (stem->getNextReadPosition(), 777 + 600) << name;
    }

    // An empty path opens nothing.
    StemSource empty (juce::File(), h.properties, h.threads->getNextThread(), 4096, true, "wav");
    empty.prepareToPlay (256, 48000.0);
    EXPECT_EQ (empty.getReader(), nullptr);
    EXPECT_TRUE (empty.getFileName().isEmpty());
    auto out = qvtest::renderSource (empty, 2, 256, 256);
    EXPECT_EQ (out.getMagnitude (0, 256), 0.0f);
}

TEST (StemSource, OggVorbisStemMatchesItsDecoderAcrossTheLoop)
{
    StemHarness h;
    const int frames = 6000;
    ASSERT_TRUE (qvtest::writeOggVorbis (h.folder.getChildFile ("01.ogg"), 2, frames,
                                         [] (int i, int c) { return 0.4f * std::sin (0.01f * (float) i * (float) (c + 1)); }));

    const auto reference = qvtest::readWholeFile (h.folder.getChildFile ("01.ogg"));
    ASSERT_GT (reference.getNumSamples(), 0);

    StemSource stem (h.folder.getChildFile ("01.ogg"), h.properties, h.threads->getNextThread(), 4096, true, "ogg");
    stem.prepareToPlay (512, 48000.0);
    ASSERT_EQ (stem.getFileLength(), reference.getNumSamples());

    stem.setNextReadPosition (0);
    const int total = reference.getNumSamples() * 2 + 700;
    const auto out = qvtest::renderSource (stem, 2, total, 512);

    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < total; ++i)
            ASSERT_EQ (out.getSample (c, i), reference.getSample (c, i % reference.getNumSamples())) << c << " " << i;
}

TEST (StemSource, RealTimeReadsComeFromTheReadAheadBuffer)
{
    StemHarness h;
    h.properties.realtime = true;
    ASSERT_TRUE (qvtest::writeIndexedWav (h.folder.getChildFile ("01.wav"), 2, 10000, 24));
    auto stem = h.make ("01.wav", 256, 8192);

    stem->setNextReadPosition (2500);
    juce::Thread::sleep (500);   // generous time for the read-ahead thread to fill the buffers

    const auto out = qvtest::renderSource (*stem, 2, 1024, 256);
    expectFrames (out, 0, 1024, [] (int i) { return 2500 + i; }, "real time");
}

TEST (StemSource, RealTimeReadAheadRunsOnAcrossTheLoopPoint)
{
    StemHarness h;
    h.properties.realtime = true;
    ASSERT_TRUE (qvtest::writeIndexedWav (h.folder.getChildFile ("01.wav"), 2, 10000, 24));
    ASSERT_TRUE (qvtest::writeIndexedWav (h.folder.getChildFile ("02.wav"), 2, 1000, 24));
    ASSERT_TRUE (qvtest::writeIndexedWav (h.folder.getChildFile ("03.wav"), 2, 1000, 24));
    ASSERT_TRUE (qvtest::writeIndexedWav (h.folder.getChildFile ("03cs.wav"), 2, 1000, 24, 200000));

    struct Case
    {
        const char* what;
        const char* stem;
        juce::int64 earlierPosition;   // played first (not checked), or -1
        juce::int64 start;
        int total;
        bool companion;
        juce::int64 period;
    };

    // The read-ahead buffer (8192 samples) holds every checked sample once it has filled, so in
    // real time no sample may be missing, at the loop point least of all.
    const Case cases[] {
        { "long file across one wrap", "01.wav", -1, 9000, 2048, false, 10000 },
        { "short file across several wraps", "02.wav", -1, 500, 4096, false, 1000 },
        { "companion, then the main file and its wrap", "03.wav", -1, 0, 3000, true, 1000 },
        { "back into the companion after the main file played", "03.wav", 5300, 900, 1600, true, 1000 },
    };

    for (const auto& tc : cases)
    {
        auto stem = h.make (tc.stem, 256, 8192);

        if (tc.earlierPosition >= 0)
        {
            stem->setNextReadPosition (tc.earlierPosition);
            juce::Thread::sleep (200);
            qvtest::renderSource (*stem, 2, 1024, 256);
        }

        stem->setNextReadPosition (tc.start);
        juce::Thread::sleep (500);   // generous time for the read-ahead thread to fill the buffers

        const auto out = qvtest::renderSource (*stem, 2, tc.total, 256);
        expectFrames (out, 0, tc.total, [&] (int i)
                      {
                          const auto p = tc.start + i;
                          return tc.companion && p < tc.period ? 200000 + p : p % tc.period;
                      }, tc.what);
    }
}
