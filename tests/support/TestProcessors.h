#pragma once

#include "common/QVJuce.h"
#include "common/HeadlessAudioProcessor.h"
#include "engine/AudioEngine.h"

#include <utility>
#include <vector>

namespace qvtest
{

/** A stereo processor that counts its blocks and writes a running sample counter (1, 2, 3, ...;
    channel 1 carries the negated count),
    so a test can see which rendered samples reached the output and in what order. */
class CountingProcessor : public QVAudioEngineV4::HeadlessAudioProcessor
{
public:
    CountingProcessor();

    const juce::String getName() const override { return "Counting"; }
    void prepareToPlay (double sampleRate, int blockSize) override;
    void releaseResources() override {}
    void processBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer&) override;
    using juce::AudioProcessor::processBlock;
    void getStateInformation (juce::MemoryBlock&) override {}
    void setStateInformation (const void*, int) override {}

    std::atomic<int> blocksProcessed { 0 };
    std::atomic<int> preparedBlockSize { -1 };
    double preparedRate = 0.0;
    std::atomic<int> lastBlockLength { 0 };
    float counter = 0.0f;

    /** The counter runs 1, 2, ... wrapAt, then starts again at 1. */
    static constexpr float wrapAt = 8388608.0f;
};

/** A stereo sine generator at a fixed frequency and peak level, for the device tests. */
class SineProcessor : public CountingProcessor
{
public:
    SineProcessor (double frequencyHz, float peakLevel) : frequency (frequencyHz), level (peakLevel) {}

    void processBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer&) override;

    const double frequency;
    const float level;
    double phase = 0.0;
};

/** A stand-in audio device: enough of juce::AudioIODevice to start and run an output player
    by hand. Its rate can be changed under a running player. */
class FakeDevice : public juce::AudioIODevice
{
public:
    FakeDevice (double sampleRate, int blockSize)
        : juce::AudioIODevice ("fake", "fake"), rate (sampleRate), block (blockSize) {}

    juce::StringArray getOutputChannelNames() override { return { "L", "R" }; }
    juce::StringArray getInputChannelNames() override { return {}; }
    juce::Array<double> getAvailableSampleRates() override { return { rate.load() }; }
    juce::Array<int> getAvailableBufferSizes() override { return { block }; }
    int getDefaultBufferSize() override { return block; }
    juce::String open (const juce::BigInteger&, const juce::BigInteger&, double, int) override { return {}; }
    void close() override {}
    bool isOpen() override { return true; }
    void start (juce::AudioIODeviceCallback*) override {}
    void stop() override {}
    bool isPlaying() override { return true; }
    juce::String getLastError() override { return {}; }
    int getCurrentBufferSizeSamples() override { return block; }
    double getCurrentSampleRate() override { return rate; }
    int getCurrentBitDepth() override { return 32; }
    juce::BigInteger getActiveOutputChannels() const override { return 3; }
    juce::BigInteger getActiveInputChannels() const override { return 0; }
    int getOutputLatencyInSamples() override { return 0; }
    int getInputLatencyInSamples() override { return 0; }

    std::atomic<double> rate;
    const int block;
};

/** An engine listener that records every play-state report, (is playing, is audition), in order.
    Not thread-safe: for reports from one thread. */
struct PlayStateRecorder : QVAudioEngineV4::AudioEngineListener
{
    void inflectionSliderChanged (int, float) override {}
    void musicVolumeChanged (float) override {}
    void movieVolumeChanged (float) override {}
    void auxSliderChanged (int, float) override {}
    void playStateChanged (bool playing, bool audition) override { events.push_back ({ playing, audition }); }

    std::vector<std::pair<bool, bool>> events;
};

} // namespace qvtest
