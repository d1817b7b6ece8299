#include "JackServer.h"

#if QV_HAVE_JACK
 #include <jack/jack.h>
#endif

#include <csignal>
#include <cstdlib>
#include <unistd.h>

namespace qvtest
{

JackServer::JackServer (int sampleRate, int periodSize)
    : name ("qvtest-" + juce::String (::getpid()) + "-" + juce::String (juce::Random::getSystemRandom().nextInt (1000000))),
      rate (sampleRate), period (periodSize)
{
}

JackServer::~JackServer()
{
    stop();
}

bool JackServer::isAvailable()
{
#if QV_HAVE_JACK
    return juce::File ("/usr/bin/jackd").existsAsFile();
#else
    return false;
#endif
}

bool JackServer::start (juce::String& error)
{
#if QV_HAVE_JACK
    if (! process.start ({ "/usr/bin/jackd", "-n", name, "-r", "-d", "dummy",
                           "-r", juce::String (rate), "-p", juce::String (period) }))
    {
        error = "jackd could not be started";
        return false;
    }

    running = true;
    ::setenv ("JACK_DEFAULT_SERVER", name.toRawUTF8(), 1);

    const auto deadline = juce::Time::getMillisecondCounter() + 15000;

    while (juce::Time::getMillisecondCounter() < deadline)
    {
        if (! process.isRunning())
        {
            error = "jackd ended: " + process.getErrorOutput();
            return false;
        }

        jack_status_t status;
        if (auto* probe = jack_client_open ("qvprobe", (jack_options_t) (JackNoStartServer | JackServerName), &status, name.toRawUTF8()))
        {
            jack_client_close (probe);
            return true;
        }

        juce::Thread::sleep (100);
    }

    error = "jackd did not come up in time";
    return false;
#else
    error = "built without JACK";
    return false;
#endif
}

void JackServer::stop()
{
    if (! running)
        return;

    process.kill (SIGTERM);

    if (process.waitForExit (5000) == -1000)
    {
        process.kill (SIGKILL);
        process.waitForExit (5000);
    }

    running = false;
}

//==============================================================================
JackRecorder::JackRecorder (const juce::String& serverName, int numChannels, int capacitySamples)
    : capacity (capacitySamples)
{
#if QV_HAVE_JACK
    jack_status_t status;
    auto* c = jack_client_open ("qvrecorder", (jack_options_t) (JackNoStartServer | JackServerName), &status, serverName.toRawUTF8());

    if (c == nullptr)
        return;

    client = c;

    for (int i = 0; i < numChannels; ++i)
    {
        ports.push_back (jack_port_register (c, ("in_" + juce::String (i + 1)).toRawUTF8(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0));
        data.emplace_back ((size_t) capacitySamples, 0.0f);
    }

    jack_set_process_callback (c, &JackRecorder::processCallback, this);
    jack_activate (c);
#else
    juce::ignoreUnused (serverName, numChannels);
#endif
}

JackRecorder::~JackRecorder()
{
#if QV_HAVE_JACK
    if (client != nullptr)
    {
        jack_deactivate ((jack_client_t*) client);
        jack_client_close ((jack_client_t*) client);
    }
#endif
}

int JackRecorder::processCallback (unsigned int numFrames, void* arg)
{
#if QV_HAVE_JACK
    auto* self = static_cast<JackRecorder*> (arg);

    if (! self->recording.load())
        return 0;

    const int start = self->written.load();
    const int count = juce::jmin ((int) numFrames, self->capacity - start);

    if (count <= 0)
        return 0;

    for (size_t ch = 0; ch < self->ports.size(); ++ch)
    {
        auto* in = static_cast<const float*> (jack_port_get_buffer ((jack_port_t*) self->ports[ch], numFrames));
        std::copy (in, in + count, self->data[ch].begin() + start);
    }

    self->written.store (start + count);
#else
    juce::ignoreUnused (numFrames, arg);
#endif
    return 0;
}

int JackRecorder::connectFrom (const juce::String& clientName)
{
    int connected = 0;
#if QV_HAVE_JACK
    auto* c = (jack_client_t*) client;
    const auto pattern = "^" + clientName + ":";

    if (const char** names = jack_get_ports (c, pattern.toRawUTF8(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput))
    {
        for (int i = 0; names[i] != nullptr && i < (int) ports.size(); ++i)
            if (jack_connect (c, names[i], jack_port_name ((jack_port_t*) ports[(size_t) i])) == 0)
                ++connected;

        jack_free (names);
    }
#else
    juce::ignoreUnused (clientName);
#endif
    return connected;
}

void JackRecorder::startRecording()
{
    written = 0;
    recording = true;
}

int JackRecorder::waitUntilFull (int timeoutMs)
{
    const auto deadline = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;

    while (written.load() < capacity && juce::Time::getMillisecondCounter() < deadline)
        juce::Thread::sleep (20);

    recording = false;
    return written.load();
}

double JackRecorder::getSampleRate() const
{
#if QV_HAVE_JACK
    return client != nullptr ? (double) jack_get_sample_rate ((jack_client_t*) client) : 0.0;
#else
    return 0.0;
#endif
}

} // namespace qvtest
