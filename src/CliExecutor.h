#pragma once

#include "common/QVJuce.h"
#include "engine/AudioEngine.h"

class CliExecutor;

/** A transport to one client: every reply and callback message goes out through it.
    While it is attached to the engine, its executor hears the engine's events. */
class CommunicationInterface
{
public:
    explicit CommunicationInterface (QVAudioEngineV4::QVAudioEngine* engine);
    virtual ~CommunicationInterface();

    /** Puts the executor on the engine's listener list. Every transport calls this last thing in
        its constructor: a callback arriving earlier would reach a half-built object. */
    void attachToEngine();

    /** Takes the executor off the engine's listener list; waits for a callback in progress.
        Every transport calls this first thing in its destructor: once the derived part is
        gone, a callback arriving through the executor would reach a half-destroyed object. */
    void detachFromEngine();

    /** Writes one message to the client. Callable from any thread. */
    virtual void sendReturnMessage (juce::var message) = 0;

    std::unique_ptr<CliExecutor> executor;
    QVAudioEngineV4::QVAudioEngine* engine;

private:
    bool attached = false;

    JUCE_DECLARE_NON_COPYABLE (CommunicationInterface)
};

/**
    Runs the messages of one transport against the engine and sends the replies; also turns
    the engine's events into callback messages for its transport.
*/
class CliExecutor : public QVAudioEngineV4::AudioEngineListener,
                    public QVAudioEngineV4::RenderJob::Listener
{
public:
    CliExecutor (QVAudioEngineV4::QVAudioEngine* engine, CommunicationInterface* communicationInterface);
    ~CliExecutor() override;

    /** Runs one incoming message and sends exactly one reply; returns the reply. */
    juce::var executeCommand (juce::var message);

    // AudioEngineListener
    void inflectionSliderChanged (int index, float value) override;
    void musicVolumeChanged (float value) override;
    void movieVolumeChanged (float value) override;
    void auxSliderChanged (int index, float value) override;
    void playStateChanged (bool playing, bool audition) override;

    // RenderJob::Listener
    void renderProgress (float progress) override;
    void renderFinished (bool success) override;

    static const juce::Identifier paramCommand;

    QVAudioEngineV4::QVAudioEngine* engine;
    CommunicationInterface* communicationInterface;

private:
    JUCE_DECLARE_NON_COPYABLE (CliExecutor)
};
