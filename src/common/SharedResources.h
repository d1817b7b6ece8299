#pragma once

#include "common/QVJuce.h"

namespace QVAudioEngineV4
{

/**
    The process-wide pool of read-ahead threads that every stem source is attached to.
    Reach it only through juce::SharedResourcePointer<BufferingThreadsArray>, which
    builds it with four threads.
*/
class BufferingThreadsArray
{
public:
    /** Builds the pool that the shared holder hands out: four threads. */
    BufferingThreadsArray();
    explicit BufferingThreadsArray (int numThreads);
    ~BufferingThreadsArray();

    /** The thread for the next stem source, in rotation; null when the pool has no thread. */
    juce::TimeSliceThread* getNextThread();

    int getNumThreads() const noexcept { return threads.size(); }
    juce::TimeSliceThread* getThread (int index) const noexcept { return threads[index]; }

private:
    juce::OwnedArray<juce::TimeSliceThread> threads;
    // Hand-outs happen only while a theme is loaded, but loads may come from the command
    // thread and the render threads at once, so the counter is atomic.
    std::atomic<int> rotation { 0 };

    JUCE_DECLARE_NON_COPYABLE (BufferingThreadsArray)
};

/** One audio format manager shared by all readers: WAV, AIFF, FLAC and Ogg Vorbis, then
    FFmpegAudioFormat for the audio track of video files and compressed audio. */
class SharedFormatManager : public juce::AudioFormatManager
{
public:
    SharedFormatManager();
};

} // namespace QVAudioEngineV4
