#include "TestProcessors.h"

namespace qvtest
{

CountingProcessor::CountingProcessor()
    : QVAudioEngineV4::HeadlessAudioProcessor (BusesProperties().withOutput ("Output", juce::AudioChannelSet::stereo(), true))
{
}

void CountingProcessor::prepareToPlay (double sampleRate, int blockSize)
{
    preparedRate = sampleRate;
    preparedBlockSize = blockSize;
}

void CountingProcessor::processBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer&)
{
    ++blocksProcessed;
    lastBlockLength = buffer.getNumSamples();

    for (int i = 0; i < buffer.getNumSamples(); ++i)
    {
        // Wrap well before floats stop counting in whole steps (2^24).
        counter = counter >= wrapAt ? 1.0f : counter + 1.0f;

        for (int ch = 0; ch < buffer.getNumChannels(); ++ch)
            buffer.setSample (ch, i, ch == 0 ? counter : -counter);
    }
}

void SineProcessor::processBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer&)
{
    ++blocksProcessed;
    const double increment = juce::MathConstants<double>::twoPi * frequency / 48000.0;

    for (int i = 0; i < buffer.getNumSamples(); ++i)
    {
        const auto value = (float) (level * std::sin (phase));
        phase = std::fmod (phase + increment, juce::MathConstants<double>::twoPi);

        for (int ch = 0; ch < buffer.getNumChannels(); ++ch)
            buffer.setSample (ch, i, value);
    }
}

} // namespace qvtest
