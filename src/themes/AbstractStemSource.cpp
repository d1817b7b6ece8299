#include "themes/AbstractStemSource.h"

#include "common/SharedResources.h"

namespace QVAudioEngineV4
{

void AbstractStemSource::contribute (juce::AudioBuffer<float>& destination,
                                     const juce::AudioBuffer<float>& source,
                                     float gain,
                                     bool replace)
{
    const int numSamples = juce::jmin (destination.getNumSamples(), source.getNumSamples());
    const int sharedChannels = juce::jmin (destination.getNumChannels(), source.getNumChannels());

    for (int channel = 0; channel < sharedChannels; ++channel)
    {
        const float* samples = source.getReadPointer (channel);

        // The JUCE ramp functions take the constant-gain path (with their shortcuts for
        // 0 and 1) when the two gains are equal.
        if (replace)
            destination.copyFromWithRamp (channel, 0, samples, numSamples, lastGain, gain);
        else
            destination.addFromWithRamp (channel, 0, samples, numSamples, lastGain, gain);
    }

    // A replaced destination channel with no source channel behind it would keep stale audio.
    if (replace)
        for (int channel = sharedChannels; channel < destination.getNumChannels(); ++channel)
            destination.clear (channel, 0, destination.getNumSamples());

    lastGain = gain;
}

bool AbstractStemSource::waitForBufferedRegion (juce::BufferingAudioSource& source,
                                                const juce::AudioSourceChannelInfo& info,
                                                juce::uint32 timeoutMs)
{
    return waitForBufferedRegion (source, source.getNextReadPosition(), info, timeoutMs);
}

bool AbstractStemSource::waitForBufferedRegion (juce::BufferingAudioSource& source,
                                                juce::int64 playPosition,
                                                const juce::AudioSourceChannelInfo& info,
                                                juce::uint32 timeoutMs)
{
    // Positioning at the current position moves the source to the front of its thread's queue,
    // so the thread reads on at once instead of after its pause between chunks. (Asking first
    // whether the data is there would spin: a zero timeout polls until the millisecond ticks.)
    source.setNextReadPosition (playPosition);
    return source.waitForNextAudioBlockReady (info, timeoutMs);
}

std::unique_ptr<juce::AudioFormatReader> AbstractStemSource::openReader (const juce::File& file)
{
    if (file.getFullPathName().isEmpty() || ! file.existsAsFile())
        return {};

    juce::SharedResourcePointer<SharedFormatManager> formatManager;
    return std::unique_ptr<juce::AudioFormatReader> (formatManager->createReaderFor (file));
}

} // namespace QVAudioEngineV4
