#include "themes/XLoopSource.h"
#include "common/SharedResources.h"

#include "AudioFixtures.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

using namespace QVAudioEngineV4;

namespace
{
    using FrameValue = std::function<float (int channel, juce::int64 frame)>;

    constexpr int crossfade = 960;

    /** What a cross-looping take should sound like from a given file position on: the file
        played forward; at every loop end the take continues (into the ending section) while
        the loop start fades in over 960 samples. An optional fade-in opens the output. */
    struct LoopModel
    {
        juce::int64 C, L, fileLength;
        FrameValue frame;

        float fileValue (int channel, juce::int64 f) const
        {
            return f >= 0 && f < fileLength ? frame (channel, f) : 0.0f;
        }

        juce::AudioBuffer<float> render (int channels, int total, juce::int64 startFile,
                                         int fadeStart, int fadeLength, juce::int64 loopingUntil = -1) const
        {
            juce::AudioBuffer<float> out (channels, total);

            for (int c = 0; c < channels; ++c)
            {
                auto f = startFile;
                int inCrossfade = -1;

                for (int i = 0; i < total; ++i, ++f)
                {
                    if (f == C + L && (loopingUntil < 0 || i < loopingUntil))
                    {
                        f = C;
                        inCrossfade = 0;
                    }

                    double value = fileValue (c, f);

                    if (inCrossfade >= 0 && inCrossfade < crossfade)
                    {
                        const double g = 1.0 - inCrossfade / (double) crossfade;
                        value = fileValue (c, f + L) * g + fileValue (c, f) * (1.0 - g);
                        ++inCrossfade;
                    }

                    if (i < fadeStart)
                        value = 0.0;
                    else if (i < fadeStart + fadeLength)
                        value *= (i - fadeStart) / (double) fadeLength;

                    out.setSample (c, i, (float) value);
                }
            }

            return out;
        }
    };



    struct XLoopHarness
    {
        qvtest::TempFolder folder;
        juce::SharedResourcePointer<BufferingThreadsArray> threads;
        ThemeProperties properties;
        juce::File file;
        juce::int64 fileLength = 0;

        XLoopHarness (juce::int64 C, juce::int64 L, juce::int64 N, int channels = 2)
        {
            properties.realtime = false;
            properties.loopStart = C;
            properties.loopLength = L;
            properties.loopEnding = N;
            fileLength = C + L + N;
            file = folder.getChildFile ("stem.wav");
            EXPECT_TRUE (qvtest::writeIndexedWav (file, channels, (int) fileLength, 32));
        }

        LoopModel model() const
        {
            return { properties.loopStart, properties.loopLength, fileLength,
                     [] (int c, juce::int64 f) { return qvtest::encodeSample (f, c); } };
        }

        std::unique_ptr<XLoopSource> make (int blockSize, const juce::File& stemFile = {}, int readAhead = 16384)
        {
            auto source = std::make_unique<XLoopSource> (stemFile == juce::File() ? file : stemFile, properties,
                                                         threads->getNextThread(), readAhead, true);
            source->prepareToPlay (blockSize, 48000.0);
            return source;
        }
    };

    /** A seed for the system random generator whose first nextInt (10) is the given value. */
    juce::int64 seedForFirstDraw (int value)
    {
        for (juce::int64 seed = 1;; ++seed)
            if (juce::Random (seed).nextInt (10) == value)
                return seed;
    }
}

//==============================================================================
TEST (XLoopSource, FirstPassThenCrossfadedLoops)
{
    XLoopHarness h (1000, 20000, 1500);

    for (const int blockSize : { 256, 512, 600 })
    {
        auto source = h.make (blockSize);
        EXPECT_EQ (source->numChannels, 2);
        source->setNextReadPosition (0);

        const int total = 1000 + 3 * 20000 + 3000;
        const auto out = qvtest::renderSource (*source, 2, total, blockSize);

        // Positioned at the offset point: no fade at positioning, a 480-sample fade-in at the first block.
        const auto expected = h.model().render (2, total, 0, 0, 480);
        qvtest::expectSameAudio (out, expected, 0, total, "block size " + juce::String (blockSize));

        // The crossfade begins exactly where the file position reaches the loop end.
        EXPECT_EQ (out.getSample (0, 20999), qvtest::encodeSample (20999, 0));
        EXPECT_EQ (out.getSample (0, 21000), qvtest::encodeSample (21000, 0));
        EXPECT_EQ (out.getSample (0, 21000 + crossfade), qvtest::encodeSample (1000 + crossfade, 0));
        EXPECT_EQ (source->getNextReadPosition(), total);
        EXPECT_EQ (source->getFilePosition(), 1000 + (total - 1000) % 20000);
    }
}

TEST (XLoopSource, PositioningMapsIntoTheLoopAndFadesIn)
{
    XLoopHarness h (1000, 20000, 1500);
    auto source = h.make (512);

    struct Case { juce::int64 position; juce::int64 expectedFilePosition; };

    const Case cases[] {
        { 300, 300 },                           // first pass
        { 20300, 20300 },                       // first pass, the loop end in the second block
        { 21000, 1000 },                        // the first loop end itself
        { 77777, 1000 + (77777 - 1000) % 20000 },
    };

    for (const auto& tc : cases)
    {
        source->setNextReadPosition (tc.position);
        EXPECT_EQ (source->getNextReadPosition(), tc.position);
        EXPECT_EQ (source->getFilePosition(), tc.expectedFilePosition);

        const auto out = qvtest::renderSource (*source, 2, 4096, 512);
        const auto expected = h.model().render (2, 4096, tc.expectedFilePosition, 0, 240);
        qvtest::expectSameAudio (out, expected, 0, 4096, "after positioning at " + juce::String (tc.position));
        EXPECT_EQ (out.getSample (1, 0), 0.0f);
    }
}

TEST (XLoopSource, LoopPointDuringAFadeInIsTakenAtItsSample)
{
    struct Case
    {
        const char* what;
        juce::int64 offset, position;
        int blockSize;
        juce::int64 startFile;   // file position of the first output sample
        int fadeStart, fadeLength;
    };

    // The loop end (file position 21000) falls while a fade-in still runs, or in the same block
    // just after it ended: the crossfade must begin at that sample all the same, with the rest of
    // the fade-in applied over it.
    const Case cases[] {
        { "loop end 200 samples into a 240-sample fade-in", 0, 20800, 512, 20800, 0, 240 },
        { "loop end on the fade-in's last sample", 0, 20761, 512, 20761, 0, 240 },
        { "fade-in over two blocks, loop end in the second", 0, 20800, 128, 20800, 0, 240 },
        { "fade-in over two blocks, loop end between them", 0, 20872, 128, 20872, 0, 240 },
        { "fade-in ended earlier in the block", 0, 20700, 512, 20700, 0, 240 },
        { "opening fade-in at the offset point", 20600, 0, 512, 20600, 0, 480 },
        { "opening fade-in after silence before the offset point", 20600, -600, 512, 20000, 600, 480 },
    };

    for (const auto& tc : cases)
    {
        XLoopHarness h (1000, 20000, 1500);
        h.properties.offset = tc.offset;
        auto source = h.make (tc.blockSize);
        source->setNextReadPosition (tc.position);

        const int total = 4096;
        const auto out = qvtest::renderSource (*source, 2, total, tc.blockSize);
        qvtest::expectSameAudio (out, h.model().render (2, total, tc.startFile, tc.fadeStart, tc.fadeLength), 0, total, tc.what);

        // One loop point passed: the file position is a loop length behind the take's.
        EXPECT_EQ (source->getFilePosition(), tc.startFile + total - 20000) << tc.what;
        EXPECT_EQ (source->getNextReadPosition(), tc.position + tc.offset + total) << tc.what;
    }
}

TEST (XLoopSource, BlockEndingAtTheLoopEndDuringAFadeInWrapsTheFilePosition)
{
    struct Case { const char* what; juce::int64 position; int blockSize; };

    // Positioned so that the first block ends exactly at the loop end (file position 21000)
    // while the 240-sample fade-in runs: after that block the take reads from the loop start.
    const Case cases[] {
        { "fade-in still running after the block", 20872, 128 },
        { "fade-in ending inside the block", 20488, 512 },
    };

    for (const auto& tc : cases)
    {
        XLoopHarness h (1000, 20000, 1500);
        auto source = h.make (tc.blockSize);
        source->setNextReadPosition (tc.position);

        const auto first = qvtest::renderSource (*source, 2, tc.blockSize, tc.blockSize);
        EXPECT_EQ (source->getFilePosition(), 1000) << tc.what;

        const int total = 2048;
        const auto rest = qvtest::renderSource (*source, 2, total, tc.blockSize);
        const auto expected = h.model().render (2, tc.blockSize + total, tc.position, 0, 240);

        juce::AudioBuffer<float> out (2, tc.blockSize + total);

        for (int c = 0; c < 2; ++c)
        {
            out.copyFrom (c, 0, first, c, 0, tc.blockSize);
            out.copyFrom (c, tc.blockSize, rest, c, 0, total);
        }

        qvtest::expectSameAudio (out, expected, 0, tc.blockSize + total, tc.what);
    }
}

TEST (XLoopSource, OffsetPointFadesInAndKeepsTheLoopInStep)
{
    XLoopHarness h (1000, 20000, 1500);
    h.properties.offset = 5000;

    // Never positioned after the offset was set: the blocks before the offset point are silent,
    // the one that reaches it fades in from that sample over 480 samples, and the loop point
    // still falls where the file position reaches the loop end.
    {
        auto source = h.make (512);
        const int total = 30000;
        const auto out = qvtest::renderSource (*source, 2, total, 512);
        const auto played = h.model().render (2, total - 5000, 5000, 0, 480);

        EXPECT_TRUE (qvtest::isSilent (out, 0, 5000));

        juce::AudioBuffer<float> tail (2, total - 5000);
        for (int c = 0; c < 2; ++c)
            tail.copyFrom (c, 0, out, c, 5000, total - 5000);

        qvtest::expectSameAudio (tail, played, 0, total - 5000, "from the offset point");
    }

    // Positioned at 0: the source stands at the offset, the first block fades in over 480.
    {
        auto source = h.make (512);
        source->setNextReadPosition (0);
        EXPECT_EQ (source->getNextReadPosition(), 5000);
        const auto out = qvtest::renderSource (*source, 2, 2048, 512);
        qvtest::expectSameAudio (out, h.model().render (2, 2048, 5000, 0, 480), 0, 2048, "positioned at 0");
    }

    // Positioned before theme position 0: silence, then the fade-in from the offset point, also
    // when the offset point lies within the first block.
    for (const int before : { 700, 300 })
    {
        auto source = h.make (512);
        source->setNextReadPosition (-before);
        const auto out = qvtest::renderSource (*source, 2, 2048, 512);
        qvtest::expectSameAudio (out, h.model().render (2, 2048, 5000 - before, before, 480), 0, 2048,
                     "positioned at -" + juce::String (before));
    }
}

TEST (XLoopSource, FadesOutAtTheEndOfTheTrackThenStaysSilent)
{
    XLoopHarness h (1000, 8000, 1500);
    h.properties.length = 6000;
    auto source = h.make (4096);
    EXPECT_EQ (source->getTotalLength(), 6000);

    // The block at 5120 is the first with pos + 1024 > 6000; it lies 144 samples inside the last
    // 1024, so the fade starts 144 samples into it and ends 288 samples after the limit. However
    // long the blocks from there on, the fade runs down to 0 and silence follows.
    auto expected = h.model().render (2, 9000, 0, 0, 480);

    for (int c = 0; c < 2; ++c)
        for (int i = 5264; i < 9000; ++i)
            expected.setSample (c, i, i < 6288 ? expected.getSample (c, i) * (float) (1.0 - (i - 5264) / 1024.0) : 0.0f);

    for (const int fadeBlock : { 512, 1168, 2048, 3880 })
    {
        source->setNextReadPosition (0);
        juce::AudioBuffer<float> out (2, 9000);
        out.clear();

        for (int done = 0; done < 9000;)
        {
            const int n = juce::jmin (done < 5120 ? 512 : fadeBlock, 9000 - done);
            source->getNextAudioBlock (juce::AudioSourceChannelInfo (&out, done, n));
            done += n;
        }

        const auto what = "end fade in blocks of " + juce::String (fadeBlock);
        qvtest::expectSameAudio (out, expected, 0, 9000, what);
        EXPECT_EQ (out.getSample (0, 5263), qvtest::encodeSample (5263, 0)) << what;
        EXPECT_TRUE (qvtest::isSilent (out, 6288, 9000)) << what;
    }

    // Only a new positioning brings it back.
    source->setNextReadPosition (1000);
    const auto again = qvtest::renderSource (*source, 2, 1024, 512);
    qvtest::expectSameAudio (again, h.model().render (2, 1024, 1000, 0, 240), 0, 1024, "after positioning");

    h.properties.length = -1;
    EXPECT_EQ (source->getTotalLength(), std::numeric_limits<juce::int64>::max());
}

TEST (XLoopSource, EndOfTheTrackFadesOutWhileAnotherFadeRuns)
{
    struct Case
    {
        const char* what;
        juce::int64 length, position;
        int blockSize;
        juce::int64 startFile;
        int fadeInLength;
        int fadeOutStart;   // output sample where the 1024-sample fade-out begins
        bool loops;         // the take crossfades at its loop end (file position 9000)
    };

    // C = 1000, L = 8000: the loop crossfade runs from 9000 to 9960. The fade-out must start
    // where it would without the other fade: in the first block whose start lies within the last
    // 1024 samples, as far inside them as that start lies. A block that passes the whole span
    // (longer than the fade) cannot do that; the next block fades out instead of cutting.
    const Case cases[] {
        { "crossfade runs past the end, blocks of 512", 9800, 0, 512, 0, 480, 9216 + 440, true },
        { "crossfade runs into the last span, blocks of 256", 9984, 0, 256, 0, 480, 9216 + 256, true },
        { "fade-in after positioning close to the end", 6000, 5900, 512, 5900, 240, 924, true },
        { "a block passes the whole last span", 6000, 0, 4096, 0, 480, 8192, false },
    };

    for (const auto& tc : cases)
    {
        XLoopHarness h (1000, 8000, 1500);
        h.properties.length = tc.length;
        auto source = h.make (tc.blockSize);
        source->setNextReadPosition (tc.position);

        const int total = tc.fadeOutStart + 1024 + 1500;
        const auto out = qvtest::renderSource (*source, 2, total, tc.blockSize);

        auto expected = h.model().render (2, total, tc.startFile, 0, tc.fadeInLength, tc.loops ? -1 : 0);

        for (int c = 0; c < 2; ++c)
            for (int i = tc.fadeOutStart; i < total; ++i)
                expected.setSample (c, i, i < tc.fadeOutStart + 1024
                                              ? expected.getSample (c, i) * (float) (1.0 - (i - tc.fadeOutStart) / 1024.0)
                                              : 0.0f);

        qvtest::expectSameAudio (out, expected, 0, total, tc.what);
        EXPECT_TRUE (qvtest::isSilent (out, tc.fadeOutStart + 1024, total)) << tc.what;
    }
}

TEST (XLoopSource, BlockLongerThanTheRestOfTheFadeIsSilentAfterIt)
{
    XLoopHarness h (1000, 8000, 1500);
    h.properties.length = 6000;
    auto source = h.make (4096);

    // Blocks of 512 up to 5632: the fade started at 5264 and has 656 samples to go.
    source->setNextReadPosition (0);
    qvtest::renderSource (*source, 2, 5632, 512);

    juce::AudioBuffer<float> out (2, 4096);
    for (int c = 0; c < 2; ++c)
        juce::FloatVectorOperations::fill (out.getWritePointer (c), 5.0f, 4096);

    source->getNextAudioBlock (juce::AudioSourceChannelInfo (&out, 0, 4096));

    for (int c = 0; c < 2; ++c)
    {
        for (int i = 0; i < 656; ++i)
            ASSERT_NEAR (out.getSample (c, i), qvtest::encodeSample (5632 + i, c) * (1.0 - (368 + i) / 1024.0), 2.0e-6) << i;

        for (int i = 656; i < 4096; ++i)
            ASSERT_EQ (out.getSample (c, i), 0.0f) << i;
    }
}

TEST (XLoopSource, EndingPlaysThroughAndPositioningAgreesWithPlayback)
{
    struct Case { juce::int64 length; bool endingHeard; };

    // C = 1000, L = 8000, N = 3000. With E - N - C a whole number of loops the loop point at
    // E - N is not crossfaded and the ending plays through; otherwise the pass after the last
    // crossfaded loop point runs on without looping again.
    const Case cases[] { { 1000 + 2 * 8000 + 3000, true }, { 1000 + 2 * 8000 + 4000 + 3000, false } };

    for (const auto& tc : cases)
    {
        XLoopHarness h (1000, 8000, 3000);
        h.properties.playEnding = true;
        h.properties.length = tc.length;
        auto source = h.make (512);

        source->setNextReadPosition (0);
        const int total = (int) tc.length;
        const auto out = qvtest::renderSource (*source, 2, total, 512);

        const auto endingStart = tc.length - 3000;
        const auto lastLoopPoint = 1000 + ((endingStart - 1000 + 7999) / 8000) * 8000;   // not crossfaded
        const auto expected = h.model().render (2, total, 0, 0, 480, (int) lastLoopPoint);
        const int unfadedUntil = (int) tc.length - 1024;   // the final fade starts after this

        qvtest::expectSameAudio (out, expected, 0, unfadedUntil, "ending, length " + juce::String (tc.length));

        if (tc.endingHeard)
        {
            // The ending section (file positions from C + L on) follows the last pass seamlessly.
            for (int i = (int) endingStart; i < unfadedUntil; ++i)
                ASSERT_EQ (out.getSample (0, i), qvtest::encodeSample (i - 8000, 0)) << i;
        }

        // Positioning anywhere after the ending's start lands where playback got to.
        for (const juce::int64 p : { endingStart, endingStart + 1, endingStart + 500, endingStart + 1000, endingStart - 2500 })
        {
            source->setNextReadPosition (p);
            const auto after = qvtest::renderSource (*source, 2, 1024, 512);

            for (int i = 240; i < 1024 && p + i < unfadedUntil; ++i)
                ASSERT_EQ (after.getSample (1, i), out.getSample (1, (int) p + i))
                    << "length " << tc.length << ", positioned at " << p << ", sample " << i;
        }
    }
}

TEST (XLoopSource, WaitingSourceIsBackAtTheLoopStartAfterAnyPositioning)
{
    XLoopHarness h (1000, 20000, 1500);
    auto source = h.make (512);
    source->setNextReadPosition (0);

    // Through the first loop point and a few blocks on, so that the waiting source is the old
    // take, still far into the file.
    qvtest::renderSource (*source, 2, 21000 + 10 * 512, 512);

    // Positioned 1000 samples (two blocks) before the loop end: whatever number of blocks the
    // source drew to wait, the loop point must fade in the loop start.
    for (const int draw : { 0, 1, 2, 5, 9 })
    {
        source->setRandomSeed (seedForFirstDraw (draw));
        source->setNextReadPosition (20000);

        const auto out = qvtest::renderSource (*source, 2, 4096, 512);
        qvtest::expectSameAudio (out, h.model().render (2, 4096, 20000, 0, 240), 0, 4096,
                     "loop point after positioning with countdown " + juce::String (draw));
    }
}

TEST (XLoopSource, MultistemFileKeepsItsChannels)
{
    XLoopHarness h (1000, 20000, 1500, 6);
    auto source = h.make (512);
    ASSERT_EQ (source->numChannels, 6);
    source->setNextReadPosition (0);

    const auto out = qvtest::renderSource (*source, 6, 24000, 512);
    qvtest::expectSameAudio (out, h.model().render (6, 24000, 0, 0, 480), 0, 24000, "six channels");

    for (int c = 0; c < 6; ++c)
        EXPECT_EQ (qvtest::decodeChannel (out.getSample (c, 1000)), c);

    // A caller with fewer channels gets only those.
    source->setNextReadPosition (100);
    const auto stereo = qvtest::renderSource (*source, 2, 2048, 512);
    qvtest::expectSameAudio (stereo, h.model().render (2, 2048, 100, 0, 240), 0, 2048, "six channels into two");
}

TEST (XLoopSource, UnreadableFilesAreSilent)
{
    XLoopHarness h (1000, 2000, 1500);
    const auto missing = h.folder.getChildFile ("missing.wav");
    const auto empty = h.folder.getChildFile ("empty.wav");
    const auto garbage = h.folder.getChildFile ("garbage.wav");
    ASSERT_TRUE (qvtest::writeEmptyWav (empty, 6));
    garbage.replaceWithText ("not audio");

    struct Case { juce::File file; int channels; };

    for (const auto& tc : { Case { missing, 2 }, Case { garbage, 2 }, Case { empty, 0 } })
    {
        auto source = h.make (512, tc.file);
        EXPECT_EQ (source->numChannels, tc.channels) << tc.file.getFileName();
        EXPECT_EQ (source->getReader(), nullptr);
        EXPECT_EQ (source->getFileName(), tc.file.getFullPathName());

        source->setNextReadPosition (0);
        const auto out = qvtest::renderSource (*source, 2, 4096, 512);
        EXPECT_TRUE (qvtest::isSilent (out, 0, 4096)) << tc.file.getFileName();
        EXPECT_EQ (source->getNextReadPosition(), 4096);
    }
}

TEST (XLoopSource, OggVorbisTakeMatchesItsDecoder)
{
    XLoopHarness h (1000, 20000, 1500);
    const auto ogg = h.folder.getChildFile ("stem.ogg");
    ASSERT_TRUE (qvtest::writeOggVorbis (ogg, 2, 22500,
                                         [] (int i, int c) { return 0.3f * std::sin (0.013f * (float) i * (float) (c + 2)); }));

    const auto reference = qvtest::readWholeFile (ogg);
    ASSERT_GE (reference.getNumSamples(), 22500);

    const LoopModel model { 1000, 20000, reference.getNumSamples(),
                            [&] (int c, juce::int64 f) { return reference.getSample (c, (int) f); } };

    auto source = h.make (512, ogg);
    source->setNextReadPosition (0);
    const auto out = qvtest::renderSource (*source, 2, 44000, 512);
    qvtest::expectSameAudio (out, model.render (2, 44000, 0, 0, 480), 0, 44000, "ogg", 1.0e-5f);
}

TEST (XLoopSource, RealTimeCrossfadeFromTheWaitingSource)
{
    XLoopHarness h (1000, 20000, 1500);
    h.properties.realtime = true;
    auto source = h.make (512);

    source->setNextReadPosition (20400);
    juce::Thread::sleep (500);   // generous time for both read-ahead buffers to fill

    const auto out = qvtest::renderSource (*source, 2, 2048, 512);
    qvtest::expectSameAudio (out, h.model().render (2, 2048, 20400, 0, 240), 0, 2048, "real time");
}
