#include "engine/OutputChain.h"

namespace QVAudioEngineV4
{

//==============================================================================
AudioProcessorPlayerSource::AudioProcessorPlayerSource (int channels, int fifoSize)
    : numChannels (channels), fifo (channels, fifoSize), processBuffer (channels, 0)
{
    midiBuffer.ensureSize (256);
}

AudioProcessorPlayerSource::~AudioProcessorPlayerSource()
{
    setProcessor (nullptr, false);
}

void AudioProcessorPlayerSource::prepareToPlay (int samplesPerBlockExpected, double sampleRate)
{
    const juce::ScopedLock sl (processorLock);

    processBuffer.setSize (numChannels, juce::jmax (0, samplesPerBlockExpected));
    processBuffer.clear();

    if (processor != nullptr)
        processor->prepareToPlay (sampleRate, samplesPerBlockExpected);
}

void AudioProcessorPlayerSource::releaseResources()
{
    const juce::ScopedLock sl (processorLock);

    if (processor != nullptr)
        processor->releaseResources();
}

void AudioProcessorPlayerSource::setProcessor (juce::AudioProcessor* newProcessor, bool takeOwnership)
{
    juce::AudioProcessor* toDelete = nullptr;

    {
        const juce::ScopedLock sl (processorLock);

        fifo.reset();

        if (newProcessor != processor)
        {
            if (ownsProcessor)
                toDelete = processor;

            processor = newProcessor;
        }

        ownsProcessor = takeOwnership;
    }

    // Deleted outside the lock, so the audio thread is kept out for as short a time as possible.
    delete toDelete;
}

void AudioProcessorPlayerSource::getNextAudioBlock (const juce::AudioSourceChannelInfo& info)
{
    // Never wait on the audio thread: while a processor is being swapped or prepared, play silence.
    const juce::ScopedTryLock sl (processorLock);

    if (! sl.isLocked() || processor == nullptr)
    {
        info.clearActiveBufferRegion();
        return;
    }

    const int blockSize = processBuffer.getNumSamples();
    // A block must fit into the ring whole, or part of every block would be lost.
    const bool canRender = blockSize > 0 && blockSize < fifo.getCapacity();

    int done = 0;

    while (done < info.numSamples)
    {
        if (fifo.getNumReady() == 0)
        {
            if (! canRender)
            {
                info.buffer->clear (info.startSample + done, info.numSamples - done);
                break;
            }

            midiBuffer.clear();
            processor->processBlock (processBuffer, midiBuffer);
            fifo.writeToFifo (processBuffer, blockSize);
        }

        const juce::AudioSourceChannelInfo part (info.buffer, info.startSample + done, info.numSamples - done);
        done += fifo.readFromFifo (part, info.numSamples - done);
    }

    // Channels beyond the ring's own (a device with more outputs) stay silent.
    for (int ch = numChannels; ch < info.buffer->getNumChannels(); ++ch)
        info.buffer->clear (ch, info.startSample, info.numSamples);
}

//==============================================================================
OutputSourcePlayer::OutputSourcePlayer() = default;

OutputSourcePlayer::~OutputSourcePlayer()
{
    resampler.reset();
}

double OutputSourcePlayer::ratioFor (double deviceRate) noexcept
{
    return deviceRate > 0.0 ? processingRate / deviceRate : 1.0;
}

void OutputSourcePlayer::updateRatio (double deviceRate)
{
    lastDeviceRate = deviceRate;

    if (resampler != nullptr)
        resampler->setResamplingRatio (ratioFor (deviceRate));
}

double OutputSourcePlayer::getResamplingRatio() const
{
    const juce::ScopedLock sl (lock);
    return resampler != nullptr ? resampler->getResamplingRatio() : 1.0;
}

void OutputSourcePlayer::setSource (juce::AudioSource* newSource)
{
    if (newSource != nullptr)
    {
        std::unique_ptr<juce::ResamplingAudioSource> created;

        if (resampler == nullptr && device != nullptr)
        {
            created = std::make_unique<juce::ResamplingAudioSource> (newSource, false, numChannels);
            const double rate = device->getCurrentSampleRate();
            created->setResamplingRatio (ratioFor (rate));
            created->prepareToPlay (device->getCurrentBufferSizeSamples(), rate);
        }

        const juce::ScopedLock sl (lock);

        if (created != nullptr)
        {
            resampler = std::move (created);
            lastDeviceRate = device->getCurrentSampleRate();
        }

        juce::AudioSourcePlayer::setSource (newSource);
    }
    else
    {
        std::unique_ptr<juce::ResamplingAudioSource> old;

        {
            const juce::ScopedLock sl (lock);
            juce::AudioSourcePlayer::setSource (nullptr);
            old = std::move (resampler);
        }
    }
}

void OutputSourcePlayer::audioDeviceAboutToStart (juce::AudioIODevice* newDevice)
{
    {
        const juce::ScopedLock sl (lock);
        device = newDevice;

        if (auto* source = getCurrentSource())
        {
            resampler = std::make_unique<juce::ResamplingAudioSource> (source, false, numChannels);
            updateRatio (newDevice->getCurrentSampleRate());
            resampler->prepareToPlay (newDevice->getCurrentBufferSizeSamples(), newDevice->getCurrentSampleRate());
        }
    }

    juce::AudioSourcePlayer::audioDeviceAboutToStart (newDevice);
}

void OutputSourcePlayer::audioDeviceIOCallbackWithContext (const float* const* inputChannelData, int numInputChannels,
                                                           float* const* outputChannelData, int numOutputChannels,
                                                           int numSamples, const juce::AudioIODeviceCallbackContext& context)
{
    // The device thread never waits: if a source change holds the lock, this block is silent.
    const juce::ScopedTryLock sl (lock);

    if (! sl.isLocked())
    {
        for (int ch = 0; ch < numOutputChannels; ++ch)
            if (outputChannelData[ch] != nullptr)
                juce::FloatVectorOperations::clear (outputChannelData[ch], numSamples);

        return;
    }

    if (getCurrentSource() == nullptr || resampler == nullptr)
    {
        juce::AudioSourcePlayer::audioDeviceIOCallbackWithContext (inputChannelData, numInputChannels,
                                                                   outputChannelData, numOutputChannels,
                                                                   numSamples, context);
        return;
    }

    if (device != nullptr)
    {
        const double rate = device->getCurrentSampleRate();

        if (std::abs (lastDeviceRate - rate) > 1.0)
            updateRatio (rate);
    }

    juce::AudioBuffer<float> output (outputChannelData, numOutputChannels, numSamples);
    resampler->getNextAudioBlock (juce::AudioSourceChannelInfo (&output, 0, numSamples));

    // The resampler fills only its own channels; further device outputs stay silent.
    for (int ch = numChannels; ch < numOutputChannels; ++ch)
        output.clear (ch, 0, numSamples);
}

void OutputSourcePlayer::audioDeviceStopped()
{
    juce::AudioSourcePlayer::audioDeviceStopped();

    const juce::ScopedLock sl (lock);
    resampler.reset();
    device = nullptr;
}

} // namespace QVAudioEngineV4
