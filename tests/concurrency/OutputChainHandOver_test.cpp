#include <gtest/gtest.h>

#include "engine/OutputChain.h"
#include "TestProcessors.h"

using namespace QVAudioEngineV4;

// The command thread swaps and prepares processors while the device thread pulls. Every pull
// must come out whole: either silence or one processor's samples in unbroken order, never a
// mix of two processors, a repeat or a gap inside one block.
TEST (OutputChainHandOver, ProcessorSwapsNeverTearAPull)
{
    qvtest::CountingProcessor first, second;
    second.counter = 1.0e6f;

    AudioProcessorPlayerSource source (2, 4096);
    source.prepareToPlay (512, 48000.0);

    std::atomic<bool> done { false };
    std::atomic<int> tornBlocks { 0 }, audibleBlocks { 0 };

    std::thread device ([&]
    {
        juce::AudioBuffer<float> out (2, 300);

        while (! done)
        {
            source.getNextAudioBlock (juce::AudioSourceChannelInfo (&out, 0, 300));

            if (out.getMagnitude (0, 0, 300) == 0.0f)
                continue;

            ++audibleBlocks;

            for (int i = 1; i < 300; ++i)
            {
                const float previous = out.getSample (0, i - 1), current = out.getSample (0, i);
                const bool inOrder = current - previous == 1.0f
                                     || (current == 1.0f && previous == qvtest::CountingProcessor::wrapAt);

                if (! inOrder)
                {
                    ++tornBlocks;
                    break;
                }
            }
        }
    });

    for (int round = 0; round < 300; ++round)
    {
        source.setProcessor (&first, false);
        juce::Thread::yield();
        source.prepareToPlay (512, 48000.0);
        source.setProcessor (&second, false);
        juce::Thread::yield();
        source.setProcessor (nullptr, false);
    }

    source.setProcessor (&first, false);
    while (audibleBlocks.load() == 0)
        juce::Thread::yield();

    done = true;
    device.join();
    source.setProcessor (nullptr, false);

    EXPECT_EQ (tornBlocks.load(), 0);
}

// Starting and stopping a device and changing the source while the callback runs.
TEST (OutputChainHandOver, SourceChangesDuringCallbacks)
{
    qvtest::CountingProcessor processor;
    AudioProcessorPlayerSource source (2, 4096);
    source.setProcessor (&processor, false);
    source.prepareToPlay (256, 48000.0);

    OutputSourcePlayer player;
    player.setSource (&source);

    qvtest::FakeDevice device (44100.0, 256);

    player.audioDeviceAboutToStart (&device);

    std::atomic<bool> done { false };
    std::thread callbackThread ([&]
    {
        juce::AudioBuffer<float> out (2, 256);

        while (! done)
            player.audioDeviceIOCallbackWithContext (nullptr, 0, out.getArrayOfWritePointers(), 2, 256, {});
    });

    for (int round = 0; round < 200; ++round)
    {
        player.setSource (nullptr);
        player.setSource (&source);
        juce::Thread::yield();
    }

    done = true;
    callbackThread.join();

    player.audioDeviceStopped();
    player.setSource (nullptr);
    source.setProcessor (nullptr, false);
    SUCCEED();
}
