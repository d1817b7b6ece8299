#pragma once

#include "ProcessRunner.h"

namespace qvtest
{

/**
    A private JACK server on the dummy driver, started for one test under a name of its own
    and stopped when the object goes away. JACK clients of this process find it through
    JACK_DEFAULT_SERVER, which start() sets.
*/
class JackServer
{
public:
    JackServer (int sampleRate, int periodSize);
    ~JackServer();

    /** Starts jackd and waits until a client can connect. */
    bool start (juce::String& error);
    void stop();

    const juce::String& getName() const noexcept { return name; }

    static bool isAvailable();

private:
    juce::String name;
    int rate, period;
    ProcessRunner process;
    bool running = false;
};

/**
    A JACK client that records what the given output ports play, into memory, from its own
    real-time callback. Nothing is allocated once recording has started.
*/
class JackRecorder
{
public:
    JackRecorder (const juce::String& serverName, int numChannels, int capacitySamples);
    ~JackRecorder();

    bool isOpen() const noexcept { return client != nullptr; }

    /** Connects every audio output port of the named client to the recorder's inputs, in order. */
    int connectFrom (const juce::String& clientName);

    void startRecording();
    /** Waits until the buffer is full, or the time-out passes; returns the samples per channel recorded. */
    int waitUntilFull (int timeoutMs);

    const std::vector<float>& getChannel (int channel) const { return data[(size_t) channel]; }
    double getSampleRate() const;

private:
    static int processCallback (unsigned int numFrames, void* arg);

    void* client = nullptr;
    std::vector<void*> ports;
    std::vector<std::vector<float>> data;
    std::atomic<int> written { 0 };
    std::atomic<bool> recording { false };
    int capacity;
};

} // namespace qvtest
