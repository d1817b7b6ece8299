#pragma once

#include "QVJuce.h"

namespace qvtest
{

/** A stereo processor that counts its blocks and writes a running sample counter (1, 2, 3, ...;
    channel 1 carries the negated count),
    so a test can see which rendered samples reached the output and in what order. */
class CountingProcessor : public juce::AudioProcessor
{
public:
    CountingProcessor();

    const juce::String getName() const override { return "Counting"; }
    void prepareToPlay (double sampleRate, int blockSize) override;
    void releaseResources() override {}
    void processBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer&) override;
    using juce::AudioProcessor::processBlock;
    double getTailLengthSeconds() const override { return 0.0; }
    bool acceptsMidi() const override { return false; }
    bool producesMidi() const override { return false; }
    juce::AudioProcessorEditor* createEditor() override { return nullptr; }
    bool hasEditor() const override { return false; }
    int getNumPrograms() override { return 1; }
    int getCurrentProgram() override { return 0; }
    void setCurrentProgram (int) override {}
    const juce::String getProgramName (int) override { return {}; }
    void changeProgramName (int, const juce::String&) override {}
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

} // namespace qvtest
