#include "CliExecutor.h"
#include "QVCommands.h"

using namespace QVAudioEngineV4;

const juce::Identifier CliExecutor::paramCommand { "command" };

//==============================================================================
CommunicationInterface::CommunicationInterface (QVAudioEngine* e)
    : executor (std::make_unique<CliExecutor> (e, this)), engine (e)
{
}

CommunicationInterface::~CommunicationInterface()
{
    detachFromEngine();
    executor.reset();
}

void CommunicationInterface::attachToEngine()
{
    if (engine != nullptr && ! attached)
    {
        engine->addListener (executor.get());
        attached = true;
    }
}

void CommunicationInterface::detachFromEngine()
{
    // Removing takes the listener list's lock, so a callback running on another thread
    // finishes before this returns, and none starts afterwards.
    if (attached)
    {
        engine->removeListener (executor.get());
        attached = false;
    }
}

//==============================================================================
namespace
{
    std::unique_ptr<AbstractCommand> createCommand (const juce::String& name, QVAudioEngine* engine, const juce::var& message)
    {
        if (name == "quit")
            return std::make_unique<QuitCommand> (engine, message);

        // "audition", "test", "inflection", "timeline" and "settings" are answered like
        // unknown commands until their command classes exist.
        return std::make_unique<AbstractCommand> (engine, message);
    }

    juce::var makeCallback (const char* callback, const char* type)
    {
        auto* object = new juce::DynamicObject();
        object->setProperty ("callback", callback);
        object->setProperty ("type", type);
        return juce::var (object);
    }
}

CliExecutor::CliExecutor (QVAudioEngine* e, CommunicationInterface* ci)
    : engine (e), communicationInterface (ci)
{
}

CliExecutor::~CliExecutor() = default;

juce::var CliExecutor::executeCommand (juce::var message)
{
    const auto t0 = juce::Time::getMillisecondCounter();
    juce::var result;

    if (auto* object = message.getDynamicObject())
    {
        if (object->hasProperty (paramCommand))
        {
            const auto name = object->getProperty (paramCommand).toString();
            auto command = createCommand (name, engine, message);
            result = command->executeCommand (this);
        }
        else if (object->hasProperty (Prop::tracks) && object->hasProperty (Prop::automations))
        {
            result = engine->timeline->loadFromJSON (message, engine);
        }
    }
    else
    {
        juce::Array<juce::var> error;
        error.add ("error");
        error.add ("No JSON object");
        result = error;
    }

    if (result.isVoid())
    {
        result = message;

        if (auto* object = result.getDynamicObject())
            object->setProperty (AbstractCommand::paramError, "Malformed package");
    }
    else if (auto* object = result.getDynamicObject())
    {
        object->setProperty ("elapsed", (int) (juce::Time::getMillisecondCounter() - t0));
    }

    communicationInterface->sendReturnMessage (result);
    return result;
}

//==============================================================================
void CliExecutor::inflectionSliderChanged (int index, float value)
{
    // The three inflection parameters by name, not by their JSON keys "A", "B" and "C".
    static const char* const aspectNames[] = { "momentum", "depth", "power" };

    auto message = makeCallback ("midi", "inflection");

    if (index >= 0 && index < 3)
        message.getDynamicObject()->setProperty ("aspect", aspectNames[index]);

    message.getDynamicObject()->setProperty ("value", (double) value);
    communicationInterface->sendReturnMessage (message);
}

void CliExecutor::musicVolumeChanged (float value)
{
    auto message = makeCallback ("midi", "slider");
    message.getDynamicObject()->setProperty ("aspect", "music");
    message.getDynamicObject()->setProperty ("value", (double) value);
    communicationInterface->sendReturnMessage (message);
}

void CliExecutor::movieVolumeChanged (float value)
{
    auto message = makeCallback ("midi", "slider");
    message.getDynamicObject()->setProperty ("aspect", "soundtrack");
    message.getDynamicObject()->setProperty ("value", (double) value);
    communicationInterface->sendReturnMessage (message);
}

void CliExecutor::auxSliderChanged (int index, float value)
{
    auto message = makeCallback ("midi", "aux");
    message.getDynamicObject()->setProperty ("aspect", index);
    message.getDynamicObject()->setProperty ("value", (double) value);
    communicationInterface->sendReturnMessage (message);
}

void CliExecutor::playStateChanged (bool playing, bool audition)
{
    auto message = makeCallback ("play", audition ? "audition" : "timeline");
    message.getDynamicObject()->setProperty ("playing", playing);

    if (! audition)
        message.getDynamicObject()->setProperty ("position", (double) engine->timeline->getNextPlaybackPosition() / 48000.0);

    communicationInterface->sendReturnMessage (message);
}

void CliExecutor::renderProgress (float progress)
{
    auto message = makeCallback ("rendering", "progress");
    message.getDynamicObject()->setProperty ("value", (double) progress);
    communicationInterface->sendReturnMessage (message);
}

void CliExecutor::renderFinished (bool success)
{
    auto message = makeCallback ("rendering", "success");
    message.getDynamicObject()->setProperty ("value", success);
    communicationInterface->sendReturnMessage (message);
}
