#pragma once

#include "common/QVJuce.h"
#include "common/HeadlessAudioProcessor.h"
#include "audioeffects/Dynamics.h"

#include <atomic>
#include <memory>
#include <vector>

/**
    A block-based compressor followed by a limiter.

    The detector measures the signal energy over a sliding 10 ms window per channel (the
    "Sidechain" bus when it is enabled, the main input otherwise). When the energy reaches
    the threshold, the gain ramps linearly down to a target derived from the ratio over the
    attack time, then back up to 1 over the release time; a make-up gain follows and a
    limiter with its construction defaults closes the chain.

    The first block after construction, and the first after a bypassed block, starts with a
    16-sample fade-in. Until prepareToPlay has been called, audio passes untouched.
*/
class QVCompressorProcessor : public QVAudioEngineV4::HeadlessAudioProcessor
{
public:
    static const juce::String paramRatio;
    static const juce::String paramThreshold;
    static const juce::String paramSpeed;
    static const juce::String paramRelease;
    static const juce::String paramMakeUp;

    QVCompressorProcessor();
    ~QVCompressorProcessor() override;

    const juce::String getName() const override { return "QuilvarnCompressor"; }

    void prepareToPlay (double sampleRate, int blockSize) override;
    void releaseResources() override {}
    void processBlock (juce::AudioBuffer<float>&, juce::MidiBuffer&) override;
    void processBlockBypassed (juce::AudioBuffer<float>&, juce::MidiBuffer&) override;
    using juce::AudioProcessor::processBlock;
    using juce::AudioProcessor::processBlockBypassed;

    bool isBusesLayoutSupported (const BusesLayout& layouts) const override;

    double getTailLengthSeconds() const override { return 0.01; }

    /** JSON with "name", "ratio", "threshold", "attack" and "release" (not the make-up gain). */
    void getStateInformation (juce::MemoryBlock& destData) override;
    /** Accepts a serialised "QuilvarnCompressor" value tree, or JSON text of a settings object. */
    void setStateInformation (const void* data, int sizeInBytes) override;

    /** Sets each of "ratio", "threshold", "attack", "release" and "makeup" that the object holds. */
    void loadSettingsFromJSON (const juce::var& settings);
    /** Sets a parameter in its own units, clamped into its range; unknown IDs are ignored. */
    void setUnNormalisedValue (juce::StringRef parameterID, float value);
    float getUnNormalisedValue (juce::StringRef parameterID) const;

    juce::AudioProcessorValueTreeState parameterState;

private:
    static juce::AudioProcessorValueTreeState::ParameterLayout createParameterLayout();
    void applyGain (juce::AudioBuffer<float>& buffer, int start, int numSamples, float gain);
    void applyRamp (juce::AudioBuffer<float>& buffer, int start, int numSamples, float startGain, float endGain);
    /** Scales the first length samples of every channel by k / length, k counting from 0. */
    static void fadeInStart (juce::AudioBuffer<float>& buffer, int length);

    juce::AudioParameterFloat* ratioParameter = nullptr;
    juce::AudioParameterFloat* thresholdParameter = nullptr;
    juce::AudioParameterFloat* attackParameter = nullptr;
    juce::AudioParameterFloat* releaseParameter = nullptr;
    juce::AudioParameterFloat* makeUpParameter = nullptr;

    double sampleRate = 0.0;
    juce::AudioBuffer<float> squareHistory;   // per channel, the squares of the last window
    int windowLength = 0;
    int historyPosition = 0;
    std::vector<float> runningSums;           // per channel, the sum of its history

    float maxRms = -1.0f;
    std::atomic<float> targetGain { 1.0f };
    float currentGain = 1.0f;
    int attackRemaining = -1;
    int releaseRemaining = -1;
    bool fadeInPending = true;

    std::unique_ptr<QVAudioEngineV4::QVLimiterProcessor> limiter;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (QVCompressorProcessor)
};
