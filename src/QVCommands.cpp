#include "QVCommands.h"
#include "CliExecutor.h"

const juce::Identifier AbstractCommand::paramError { "error" };

AbstractCommand::AbstractCommand (QVAudioEngineV4::QVAudioEngine* e, juce::var m)
    : engine (e), message (m)
{
}

juce::var AbstractCommand::executeCommand (CliExecutor*)
{
    if (auto* object = message.getDynamicObject())
        object->setProperty (paramError, "Command not understood");

    return message;
}

juce::var QuitCommand::executeCommand (CliExecutor*)
{
    engine->stopAudition();
    engine->stopPlayback();

    // quit() only posts a message to the message loop. The reply still goes out: a TCP command
    // runs on the message thread itself, and shutdown waits for the stdin thread to finish.
    if (juce::JUCEApplicationBase::getInstance() != nullptr)
        juce::JUCEApplicationBase::quit();

    return message;
}
