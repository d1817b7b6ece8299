#include <gtest/gtest.h>

#include "engine/OutputChain.h"
#include "TestProcessors.h"

using namespace QVAudioEngineV4;

namespace
{
    juce::AudioBuffer<float> ramp (int channels, int length, float start)
    {
        juce::AudioBuffer<float> buffer (channels, length);
        for (int ch = 0; ch < channels; ++ch)
            for (int i = 0; i < length; ++i)
                buffer.setSample (ch, i, start + (float) i + 1000.0f * (float) ch);
        return buffer;
    }
}

TEST (AudioBufferFIFO, WrapsAroundAndKeepsOrder)
{
    AudioBufferFIFO<float> fifo (2, 8);

    // 5 in, 5 out, then 6 in crosses the end of the ring.
    fifo.writeToFifo (ramp (2, 5, 0.0f), 5);
    juce::AudioBuffer<float> out (2, 16);
    EXPECT_EQ (fifo.readFromFifo (juce::AudioSourceChannelInfo (&out, 0, 5)), 5);
    fifo.writeToFifo (ramp (2, 6, 100.0f), 6);
    EXPECT_EQ (fifo.getNumReady(), 6);

    out.clear();
    EXPECT_EQ (fifo.readFromFifo (juce::AudioSourceChannelInfo (&out, 3, 10)), 6);

    for (int i = 0; i < 6; ++i)
    {
        EXPECT_EQ (out.getSample (0, 3 + i), 100.0f + (float) i);
        EXPECT_EQ (out.getSample (1, 3 + i), 1100.0f + (float) i);
    }

    EXPECT_EQ (out.getSample (0, 9), 0.0f) << "nothing read beyond what was queued";
}

TEST (AudioBufferFIFO, DropsWhatDoesNotFitAndHoldsAtMostCapacityMinusOne)
{
    AudioBufferFIFO<float> fifo (2, 8);
    fifo.writeToFifo (ramp (2, 10, 0.0f), 10);
    EXPECT_EQ (fifo.getNumReady(), 7);

    juce::AudioBuffer<float> out (2, 10);
    out.clear();
    EXPECT_EQ (fifo.readFromFifo (juce::AudioSourceChannelInfo (&out, 0, 10), 3), 3);
    EXPECT_EQ (out.getSample (0, 2), 2.0f);
    EXPECT_EQ (fifo.getNumReady(), 4);

    fifo.reset();
    EXPECT_EQ (fifo.getNumReady(), 0);
    EXPECT_EQ (fifo.readFromFifo (juce::AudioSourceChannelInfo (&out, 0, 10)), 0);
}

TEST (AudioBufferFIFO, NeverWritesBeyondTheDestinationsChannels)
{
    AudioBufferFIFO<float> fifo (2, 16);
    fifo.writeToFifo (ramp (2, 4, 0.0f), 4);

    juce::AudioBuffer<float> mono (1, 4);
    EXPECT_EQ (fifo.readFromFifo (juce::AudioSourceChannelInfo (&mono, 0, 4)), 4);
    EXPECT_EQ (mono.getSample (0, 3), 3.0f);
}

//==============================================================================
namespace
{
    struct PullCase
    {
        const char* what;
        int blockSize;
        std::vector<int> requests;
        std::vector<int> blocksAfterEach;
        std::vector<int> queuedAfterEach;
    };

    class PlayerSourcePulls : public ::testing::TestWithParam<PullCase> {};
}

TEST_P (PlayerSourcePulls, RunsWholeBlocksOnlyWhenTheFifoRunsDry)
{
    const auto& c = GetParam();
    qvtest::CountingProcessor processor;
    AudioProcessorPlayerSource source (2, 4096);
    source.setProcessor (&processor, false);
    source.prepareToPlay (c.blockSize, 48000.0);

    EXPECT_EQ (processor.preparedBlockSize, c.blockSize);
    EXPECT_EQ (processor.preparedRate, 48000.0);

    juce::AudioBuffer<float> out (2, 10000);
    float expectedNext = 1.0f;

    for (size_t r = 0; r < c.requests.size(); ++r)
    {
        source.getNextAudioBlock (juce::AudioSourceChannelInfo (&out, 0, c.requests[r]));
        EXPECT_EQ (processor.blocksProcessed, c.blocksAfterEach[r]) << c.what << " request " << r;
        EXPECT_EQ (source.getNumQueued(), c.queuedAfterEach[r]) << c.what << " request " << r;

        // The output continues the rendered stream with no gap and no repeat.
        for (int i = 0; i < c.requests[r]; ++i, expectedNext += 1.0f)
            ASSERT_EQ (out.getSample (0, i), expectedNext) << c.what << " request " << r << " sample " << i;
    }
}

INSTANTIATE_TEST_SUITE_P (Requests, PlayerSourcePulls, ::testing::Values (
    PullCase { "HundredsFrom512", 512, { 100, 100, 100, 100, 100, 100 }, { 1, 1, 1, 1, 1, 2 }, { 412, 312, 212, 112, 12, 424 } },
    PullCase { "ThousandFrom512", 512, { 1000 }, { 2 }, { 24 } },
    PullCase { "LargerThanTheFifo", 512, { 9000 }, { 18 }, { 216 } },
    PullCase { "BlockEqualToRequest", 256, { 256, 256 }, { 1, 2 }, { 0, 0 } }),
    [] (const ::testing::TestParamInfo<PullCase>& info) { return std::string (info.param.what); });

TEST (AudioProcessorPlayerSource, PlaysSilenceWithoutProcessorOrWithBlockSizeZero)
{
    AudioProcessorPlayerSource source (2, 4096);
    juce::AudioBuffer<float> out (2, 64);

    out.applyGain (0.0f);
    for (int i = 0; i < 64; ++i) out.setSample (0, i, 1.0f);
    source.getNextAudioBlock (juce::AudioSourceChannelInfo (&out, 0, 64));
    EXPECT_EQ (out.getMagnitude (0, 64), 0.0f);

    // Prepared with block size 0 (no device): answered with silence, and the call returns.
    qvtest::CountingProcessor processor;
    source.setProcessor (&processor, false);
    source.prepareToPlay (0, 48000.0);
    for (int i = 0; i < 64; ++i) out.setSample (0, i, 1.0f);
    source.getNextAudioBlock (juce::AudioSourceChannelInfo (&out, 0, 64));
    EXPECT_EQ (out.getMagnitude (0, 64), 0.0f);
    EXPECT_EQ (processor.blocksProcessed, 0);
}

TEST (AudioProcessorPlayerSource, BlockTooLargeForTheFifoGivesSilenceNotAHang)
{
    qvtest::CountingProcessor processor;
    AudioProcessorPlayerSource source (2, 64);
    source.setProcessor (&processor, false);
    source.prepareToPlay (128, 48000.0);

    juce::AudioBuffer<float> out (2, 32);
    source.getNextAudioBlock (juce::AudioSourceChannelInfo (&out, 0, 32));
    EXPECT_EQ (out.getMagnitude (0, 32), 0.0f);
}

TEST (AudioProcessorPlayerSource, SwitchingProcessorDiscardsQueuedAudio)
{
    qvtest::CountingProcessor first, second;
    second.counter = 5000.0f;

    AudioProcessorPlayerSource source (2, 4096);
    source.prepareToPlay (512, 48000.0);
    source.setProcessor (&first, false);

    juce::AudioBuffer<float> out (2, 100);
    source.getNextAudioBlock (juce::AudioSourceChannelInfo (&out, 0, 100));
    ASSERT_EQ (source.getNumQueued(), 412);

    source.setProcessor (&second, false);
    EXPECT_EQ (source.getNumQueued(), 0);

    source.getNextAudioBlock (juce::AudioSourceChannelInfo (&out, 0, 100));
    EXPECT_EQ (out.getSample (0, 0), 5001.0f) << "the first sample after a switch comes from the new processor";
    EXPECT_EQ (first.blocksProcessed, 1);
}

TEST (AudioProcessorPlayerSource, OwnedProcessorIsDeletedWhenReplaced)
{
    struct Tracked : qvtest::CountingProcessor
    {
        explicit Tracked (bool& flag) : deleted (flag) {}
        ~Tracked() override { deleted = true; }
        bool& deleted;
    };

    bool deleted = false;
    AudioProcessorPlayerSource source (2, 4096);
    source.setProcessor (new Tracked (deleted), true);
    source.setProcessor (nullptr, false);
    EXPECT_TRUE (deleted);
}

//==============================================================================
namespace
{
    void runCallback (OutputSourcePlayer& player, juce::AudioBuffer<float>& out)
    {
        player.audioDeviceIOCallbackWithContext (nullptr, 0, out.getArrayOfWritePointers(), out.getNumChannels(),
                                                 out.getNumSamples(), {});
    }
}

TEST (OutputSourcePlayer, FollowsTheDeviceRateBeyondOneHertz)
{
    qvtest::CountingProcessor processor;
    AudioProcessorPlayerSource source (2, 4096);
    source.setProcessor (&processor, false);

    OutputSourcePlayer player;
    player.setSource (&source);
    EXPECT_FALSE (player.hasResampler()) << "no resampler before a device starts";

    qvtest::FakeDevice device (48000.0, 256);
    player.audioDeviceAboutToStart (&device);
    ASSERT_TRUE (player.hasResampler());
    EXPECT_EQ (player.getResamplingRatio(), 1.0);

    juce::AudioBuffer<float> out (2, 256);
    device.rate = 48000.9;
    runCallback (player, out);
    EXPECT_EQ (player.getResamplingRatio(), 1.0) << "jitter of up to 1 Hz is ignored";

    device.rate = 44100.0;
    runCallback (player, out);
    EXPECT_DOUBLE_EQ (player.getResamplingRatio(), 48000.0 / 44100.0);

    player.audioDeviceStopped();
    EXPECT_FALSE (player.hasResampler());
    player.setSource (nullptr);
}

TEST (OutputSourcePlayer, PassesAudioThroughAtRatioOneAndSilenceWithoutSource)
{
    qvtest::CountingProcessor processor;
    AudioProcessorPlayerSource source (2, 4096);
    source.setProcessor (&processor, false);

    OutputSourcePlayer player;
    qvtest::FakeDevice device (48000.0, 256);
    player.audioDeviceAboutToStart (&device);

    juce::AudioBuffer<float> out (2, 256);
    for (int i = 0; i < 256; ++i) out.setSample (0, i, 7.0f);
    runCallback (player, out);
    EXPECT_EQ (out.getMagnitude (0, 256), 0.0f);

    player.setSource (&source);
    ASSERT_TRUE (player.hasResampler());

    // Warm up: the interpolator has a few samples of delay, after which the ramp passes through.
    for (int i = 0; i < 4; ++i)
        runCallback (player, out);

    for (int i = 1; i < 256; ++i)
        ASSERT_NEAR (out.getSample (0, i) - out.getSample (0, i - 1), 1.0f, 1.0e-3f) << i;

    // A device with more outputs than the chain: the extra ones are silent.
    juce::AudioBuffer<float> wide (3, 256);
    for (int i = 0; i < 256; ++i) wide.setSample (2, i, 7.0f);
    runCallback (player, wide);
    EXPECT_EQ (wide.getMagnitude (2, 0, 256), 0.0f);

    player.audioDeviceStopped();
    player.setSource (nullptr);
}
