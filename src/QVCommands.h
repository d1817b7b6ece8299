#pragma once

#include "common/QVJuce.h"
#include "engine/AudioEngine.h"

class CliExecutor;

/** One request: built with the request message, run once against the engine, then deleted.
    The base class answers commands nobody knows. */
class AbstractCommand
{
public:
    AbstractCommand (QVAudioEngineV4::QVAudioEngine* engine, juce::var message);
    virtual ~AbstractCommand() = default;

    /** Runs the command; the reply is the request object with the command's keys added. */
    virtual juce::var executeCommand (CliExecutor* executor);

    QVAudioEngineV4::QVAudioEngine* engine;
    juce::var message;

    static const juce::Identifier paramError;
};

/** Stops whatever plays and ends the program after the reply has been sent. */
class QuitCommand : public AbstractCommand
{
public:
    using AbstractCommand::AbstractCommand;
    juce::var executeCommand (CliExecutor* executor) override;
};
