#include "DspTestSupport.h"

namespace qvtest
{

std::vector<float> makeSine (int numSamples, double frequency, float amplitude, double phase)
{
    std::vector<float> samples ((size_t) numSamples);

    for (int i = 0; i < numSamples; ++i)
        samples[(size_t) i] = amplitude * (float) std::sin (juce::MathConstants<double>::twoPi * frequency * i / testSampleRate + phase);

    return samples;
}

juce::AudioBuffer<float> makeBuffer (const std::vector<float>& samples, int numChannels)
{
    juce::AudioBuffer<float> buffer (numChannels, (int) samples.size());

    for (int channel = 0; channel < numChannels; ++channel)
        buffer.copyFrom (channel, 0, samples.data(), (int) samples.size());

    return buffer;
}

void processInBlocks (juce::AudioProcessor& processor, juce::AudioBuffer<float>& buffer, int blockSize)
{
    juce::MidiBuffer midi;

    for (int start = 0; start < buffer.getNumSamples(); start += blockSize)
    {
        const int length = juce::jmin (blockSize, buffer.getNumSamples() - start);
        juce::AudioBuffer<float> block (buffer.getArrayOfWritePointers(), buffer.getNumChannels(), start, length);
        processor.processBlock (block, midi);
    }
}

float peakMagnitude (const juce::AudioBuffer<float>& buffer, int channel, int start, int end)
{
    float peak = 0.0f;

    for (int i = start; i < end; ++i)
        peak = juce::jmax (peak, std::abs (buffer.getSample (channel, i)));

    return peak;
}

void setStateFromJSON (juce::AudioProcessor& processor, const juce::String& json)
{
    processor.setStateInformation (json.toRawUTF8(), (int) json.getNumBytesAsUTF8());
}

juce::var getStateAsJSON (juce::AudioProcessor& processor)
{
    juce::MemoryBlock block;
    processor.getStateInformation (block);
    return juce::JSON::parse (block.toString());
}

} // namespace qvtest
