#pragma once

#include "common/QVJuce.h"

#include <vector>

namespace qvtest
{

constexpr double testSampleRate = 48000.0;

/** amplitude × sin(2π f i / rate + phase) for i in [0, numSamples). */
std::vector<float> makeSine (int numSamples, double frequency, float amplitude, double phase = 0.0);

/** A buffer of numChannels channels, each a copy of the samples. */
juce::AudioBuffer<float> makeBuffer (const std::vector<float>& samples, int numChannels);

/** Runs the processor over the whole buffer in consecutive blocks of blockSize samples
    (the last one shorter), each block a buffer referring to the whole buffer's memory. */
void processInBlocks (juce::AudioProcessor& processor, juce::AudioBuffer<float>& buffer, int blockSize);

/** The largest magnitude in [start, end) of a channel. */
float peakMagnitude (const juce::AudioBuffer<float>& buffer, int channel, int start, int end);

/** The state block of a JSON text, as a processor's setStateInformation receives it. */
void setStateFromJSON (juce::AudioProcessor& processor, const juce::String& json);

/** A processor's state block, read as JSON. */
juce::var getStateAsJSON (juce::AudioProcessor& processor);

inline float decibelsToGain (double dB) { return (float) std::pow (10.0, dB / 20.0); }
inline double gainToDecibels (double gain) { return 20.0 * std::log10 (gain); }

} // namespace qvtest
