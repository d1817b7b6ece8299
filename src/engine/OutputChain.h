#pragma once

#include "common/QVJuce.h"

namespace QVAudioEngineV4
{

/**
    A single-reader, single-writer ring of audio samples over a fixed buffer.
    At most capacity - 1 samples per channel are queued at once.
*/
template <typename SampleType>
class AudioBufferFIFO
{
public:
    AudioBufferFIFO (int numChannels, int capacity)
        : fifo (capacity), buffer (numChannels, capacity)
    {
        buffer.clear();
    }

    int getCapacity() const noexcept      { return fifo.getTotalSize(); }
    int getNumChannels() const noexcept   { return buffer.getNumChannels(); }
    int getNumReady() const noexcept      { return fifo.getNumReady(); }
    int getFreeSpace() const noexcept     { return fifo.getFreeSpace(); }

    /** Queues up to numSamples samples from the start of source; what does not fit is dropped. */
    void writeToFifo (const juce::AudioBuffer<SampleType>& source, int numSamples)
    {
        numSamples = juce::jmin (numSamples, source.getNumSamples());
        int start1, size1, start2, size2;
        fifo.prepareToWrite (juce::jmax (0, numSamples), start1, size1, start2, size2);

        const int channels = juce::jmin (buffer.getNumChannels(), source.getNumChannels());

        for (int ch = 0; ch < buffer.getNumChannels(); ++ch)
        {
            if (ch < channels)
            {
                if (size1 > 0) buffer.copyFrom (ch, start1, source, ch, 0, size1);
                if (size2 > 0) buffer.copyFrom (ch, start2, source, ch, size1, size2);
            }
            else
            {
                // A source with fewer channels than the ring leaves silence, not stale samples.
                if (size1 > 0) buffer.clear (ch, start1, size1);
                if (size2 > 0) buffer.clear (ch, start2, size2);
            }
        }

        fifo.finishedWrite (size1 + size2);
    }

    /** Reads up to numSamples (the info's sample count when numSamples <= 0) into the info's region.
        Returns how many samples were read. Channels the destination lacks are skipped. */
    int readFromFifo (const juce::AudioSourceChannelInfo& info, int numSamples = 0)
    {
        if (numSamples <= 0)
            numSamples = info.numSamples;

        int start1, size1, start2, size2;
        fifo.prepareToRead (numSamples, start1, size1, start2, size2);

        const int channels = juce::jmin (buffer.getNumChannels(), info.buffer->getNumChannels());

        for (int ch = 0; ch < channels; ++ch)
        {
            if (size1 > 0) info.buffer->copyFrom (ch, info.startSample, buffer, ch, start1, size1);
            if (size2 > 0) info.buffer->copyFrom (ch, info.startSample + size1, buffer, ch, start2, size2);
        }

        fifo.finishedRead (size1 + size2);
        return size1 + size2;
    }

    /** Empties the ring and clears its samples. */
    void reset()
    {
        fifo.reset();
        buffer.clear();
    }

private:
    juce::AbstractFifo fifo;
    juce::AudioBuffer<SampleType> buffer;
};

/**
    Plays one audio processor as an audio source: runs it block by block at the block size it
    was prepared with and answers requests of any length from a FIFO of what it rendered.

    The processor is handed over under a lock that the audio thread only tries to take: while a
    command thread installs or prepares a processor, the audio thread plays silence instead of
    waiting.
*/
class AudioProcessorPlayerSource : public juce::AudioSource
{
public:
    static constexpr int defaultFifoSize = 4096;

    explicit AudioProcessorPlayerSource (int numChannels = 2, int fifoSize = defaultFifoSize);
    ~AudioProcessorPlayerSource() override;

    void prepareToPlay (int samplesPerBlockExpected, double sampleRate) override;
    void releaseResources() override;
    void getNextAudioBlock (const juce::AudioSourceChannelInfo& info) override;

    /** Installs a processor (null for none). The queued audio of the previous one is discarded. */
    void setProcessor (juce::AudioProcessor* newProcessor, bool takeOwnership);
    juce::AudioProcessor* getProcessor() const noexcept { return processor; }

    int getNumQueued() const noexcept { return fifo.getNumReady(); }
    int getBlockSize() const noexcept { return processBuffer.getNumSamples(); }

private:
    juce::CriticalSection processorLock;
    juce::AudioProcessor* processor = nullptr;
    bool ownsProcessor = false;
    int numChannels;
    AudioBufferFIFO<float> fifo;
    juce::AudioBuffer<float> processBuffer;
    juce::MidiBuffer midiBuffer;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (AudioProcessorPlayerSource)
};

/**
    The audio device callback: pulls the source through a resampler from the 48000 Hz
    processing rate to the device's rate, straight into the device's output buffers.
*/
class OutputSourcePlayer : public juce::AudioSourcePlayer
{
public:
    OutputSourcePlayer();
    ~OutputSourcePlayer() override;

    void setSource (juce::AudioSource* newSource);

    void audioDeviceIOCallbackWithContext (const float* const* inputChannelData, int numInputChannels,
                                           float* const* outputChannelData, int numOutputChannels,
                                           int numSamples, const juce::AudioIODeviceCallbackContext& context) override;
    void audioDeviceAboutToStart (juce::AudioIODevice* device) override;
    void audioDeviceStopped() override;

    double getResamplingRatio() const;
    bool hasResampler() const { return resampler != nullptr; }

    static constexpr double processingRate = 48000.0;

private:
    /** Source samples per device sample: processing rate over device rate, 1 for no rate. */
    static double ratioFor (double deviceRate) noexcept;
    void updateRatio (double deviceRate);

    double lastDeviceRate = 0.0;
    int numChannels = 2;
    juce::AudioIODevice* device = nullptr;
    std::unique_ptr<juce::ResamplingAudioSource> resampler;
    juce::CriticalSection lock;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (OutputSourcePlayer)
};

} // namespace QVAudioEngineV4
