#include <gtest/gtest.h>

#include "CliExecutor.h"

using namespace QVAudioEngineV4;

namespace
{
    /** A transport that only counts what it is asked to send. */
    struct CountingTransport : CommunicationInterface
    {
        explicit CountingTransport (QVAudioEngine* e) : CommunicationInterface (e) { attachToEngine(); }
        ~CountingTransport() override { detachFromEngine(); }
        void sendReturnMessage (juce::var message) override
        {
            if (message.getProperty ("callback", {}).toString() == "play")
                ++callbacks;
        }
        std::atomic<int> callbacks { 0 };
    };
}

// Transports come and go (a TCP client connecting on the accepting thread, leaving on the
// message thread) while the engine notifies its listeners from the MIDI and command threads.
// No listener may be called after its transport is gone.
TEST (EngineListeners, RegistrationRacesWithNotification)
{
    juce::ScopedJuceInitialiser_GUI juceInit;
    QVAudioEngine engine;
    CountingTransport permanent (&engine);

    std::atomic<bool> done { false };

    auto notifier = [&]
    {
        while (! done)
            engine.listenerList.call ([] (AudioEngineListener& l) { l.playStateChanged (true, true); });
    };

    std::thread midiThread (notifier), commandThread (notifier);

    for (int round = 0; round < 500; ++round)
    {
        auto transient = std::make_unique<CountingTransport> (&engine);
        juce::Thread::yield();
        transient.reset();
    }

    done = true;
    midiThread.join();
    commandThread.join();

    EXPECT_GT (permanent.callbacks.load(), 0);
    EXPECT_EQ (engine.listenerList.size(), 1);
}
