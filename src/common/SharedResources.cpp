#include "common/SharedResources.h"
#include "common/FFmpegAudioFormat.h"

namespace QVAudioEngineV4
{

BufferingThreadsArray::BufferingThreadsArray() : BufferingThreadsArray (4) {}

BufferingThreadsArray::BufferingThreadsArray (int numThreads)
{
    for (int i = 0; i < numThreads; ++i)
    {
        auto* thread = threads.add (new juce::TimeSliceThread ("Buffering thread"));
        thread->startThread();
    }
}

BufferingThreadsArray::~BufferingThreadsArray()
{
    // Detach every client still attached before stopping its thread, so no
    // buffering source is serviced by a thread that is going away.
    for (auto* thread : threads)
    {
        while (thread->getNumClients() > 0)
            if (auto* client = thread->getClient (0))
                thread->removeTimeSliceClient (client);

        thread->stopThread (500);
    }

    for (int i = threads.size(); --i >= 0;)
        threads.remove (i);
}

juce::TimeSliceThread* BufferingThreadsArray::getNextThread()
{
    const int n = threads.size();

    if (n < 1)
        return nullptr;

    int current = rotation.load();
    int index;

    do
    {
        index = current % n;
    } while (! rotation.compare_exchange_weak (current, index + 1));

    return threads[index];
}

SharedFormatManager::SharedFormatManager()
{
    registerBasicFormats();

    // Tried after the basic formats, so plain audio files keep the framework's readers;
    // it claims only video and compressed-audio extensions.
    registerFormat (new FFmpegAudioFormat(), false);
}

} // namespace QVAudioEngineV4
