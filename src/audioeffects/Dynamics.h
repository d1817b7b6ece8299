#pragma once

#include "common/QVJuce.h"
#include "common/HeadlessAudioProcessor.h"

#include <array>
#include <atomic>

namespace QVAudioEngineV4
{

/**
    A first-order filter section in transposed direct form, single precision:
    y = b0·x + z, then z = b1·x − a1·y. Both dynamics processors smooth their gain with it
    and the limiter filters its side chain with it.
*/
struct FirstOrderSection
{
    float b0 = 0.0f, b1 = 0.0f, a1 = 0.0f, z = 0.0f;

    /** Low-pass by the bilinear transform, w being tan(π·fc / rate). */
    void setLowPass (float w) noexcept
    {
        const float g = 1.0f / (w + 1.0f);
        a1 = (w - 1.0f) * g;
        b0 = b1 = g * w;
    }

    /** High-pass by the bilinear transform, w being tan(π·fc / rate). */
    void setHighPass (float w) noexcept
    {
        const float g = 1.0f / (w + 1.0f);
        a1 = (w - 1.0f) * g;
        b0 = g;
        b1 = -g;
    }

    float process (float x) noexcept
    {
        const float y = b0 * x + z;
        z = b1 * x - a1 * y;
        return y;
    }
};

/**
    A stereo-linked, sample-by-sample compressor with a soft knee running from the threshold
    up to "headroom" decibels above it, followed by a master gain.

    Settings arrive as JSON through setStateInformation ("threshold", "headroom",
    "dattacktime", "releasetime", "mastergain"); the coefficients derived from them are
    recomputed at the start of the next block. Until prepareToPlay has been called the
    processor leaves audio untouched. Channels 0 and 1 are processed, others are left alone.
*/
class QVDynamicsProcessor : public HeadlessAudioProcessor
{
public:
    QVDynamicsProcessor();
    ~QVDynamicsProcessor() override;

    const juce::String getName() const override { return "Dynamics Compressor"; }

    void prepareToPlay (double sampleRate, int blockSize) override;
    void releaseResources() override;
    void processBlock (juce::AudioBuffer<float>&, juce::MidiBuffer&) override;
    using juce::AudioProcessor::processBlock;


    void getStateInformation (juce::MemoryBlock& destData) override;
    void setStateInformation (const void* data, int sizeInBytes) override;

    float getAttackTime() const noexcept     { return attackTime.load(); }
    float getReleaseTime() const noexcept    { return releaseTime.load(); }
    float getThresholdDb() const noexcept    { return thresholdDb.load(); }
    float getHeadroomDb() const noexcept     { return headroomDb.load(); }
    float getMasterGainDb() const noexcept   { return masterGainDb.load(); }

private:
    void updateCoefficients() noexcept;

    // Settings, seconds and decibels.
    std::atomic<float> attackTime { 0.0f }, releaseTime { 0.0f };
    std::atomic<float> thresholdDb { 0.0f }, headroomDb { 0.0f }, masterGainDb { 0.0f };

    std::atomic<bool> coefficientsDirty { true };
    std::atomic<bool> prepared { false };

    // Derived per block when the settings or the rate change.
    float attackCoefficient = 0.0f, releaseCoefficient = 0.0f, detectorCoefficient = 0.0f;
    float threshold = 0.0f, headroom = 0.0f, masterGain = 0.0f;
    float kneeA = 0.0f, kneeB = 0.0f, kneeC = 0.0f, kneeD = 0.0f;

    FirstOrderSection gainSmoother;

    // Running state.
    float meanSquare = 0.0f, envelope = 0.0f;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (QVDynamicsProcessor)
};

//==============================================================================
/**
    A stereo-linked look-ahead peak limiter. A pre-gain drives the signal into a ceiling
    just below full scale; a filtered side chain with a peak hold and an attack/release
    envelope computes the gain, which is smoothed and applied to the delayed signal; the
    result is clipped to ±1.

    Settings arrive as JSON through setStateInformation ("pregain", "lattacktime",
    "decaytime" = release / 20), which also fixes the look-ahead at 2 ms and the side-chain
    tone at 0.6. A limiter that never receives settings keeps no look-ahead and tone 0.65.
*/
class QVLimiterProcessor : public HeadlessAudioProcessor
{
public:
    QVLimiterProcessor();
    ~QVLimiterProcessor() override;

    const juce::String getName() const override { return "Dynamics Limiter"; }

    void prepareToPlay (double sampleRate, int blockSize) override;
    void releaseResources() override;
    void processBlock (juce::AudioBuffer<float>&, juce::MidiBuffer&) override;
    using juce::AudioProcessor::processBlock;


    void getStateInformation (juce::MemoryBlock& destData) override;
    void setStateInformation (const void* data, int sizeInBytes) override;

    float getAttackTime() const noexcept    { return attackTime.load(); }
    float getReleaseTime() const noexcept   { return releaseTime.load(); }
    float getPreGainDb() const noexcept     { return preGainDb.load(); }
    float getLookaheadMs() const noexcept   { return lookaheadMs.load(); }
    float getTone() const noexcept          { return tone.load(); }

    static constexpr int delayLineLength = 4096;

private:
    void updateCoefficients() noexcept;
    void changeSetting (std::atomic<float>& setting, float value, float lowest, float highest);

    // Settings: seconds, decibels, milliseconds and the side-chain tone (0 to 1).
    std::atomic<float> attackTime { 0.002f }, releaseTime { 0.03f }, preGainDb { 0.0f };
    std::atomic<float> lookaheadMs { 0.0f }, tone { 0.65f };

    std::atomic<bool> coefficientsDirty { true };
    std::atomic<bool> prepared { false };

    // Derived per block when the settings or the rate change.
    float attackCoefficient = 0.0f, releaseCoefficient = 0.0f, peakCoefficient = 0.0f;
    float threshold = 1.0f, inverseThreshold = 1.0f, makeUp = 1.0f;
    int delaySamples = 0;

    FirstOrderSection gainSmoother, sidechainFilter;

    // Running state.
    float peakHold = 0.0f, envelope = 0.0f;
    std::array<std::array<float, delayLineLength>, 2> delayLines {};
    int writeIndex = delayLineLength - 1;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (QVLimiterProcessor)
};

} // namespace QVAudioEngineV4
