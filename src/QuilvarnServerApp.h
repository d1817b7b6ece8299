#pragma once

#include "common/QVJuce.h"
#include "optionsParser.h"
#include "engine/AudioEngine.h"

#include <juce_gui_basics/juce_gui_basics.h>

class StdinConnection;

/**
    The backend application: parses the command line, opens the log file, creates the engine
    and the transport, and shuts them down in order when the message loop ends.
*/
class QuilvarnServerApp : public juce::JUCEApplication
{
public:
    QuilvarnServerApp();
    ~QuilvarnServerApp() override;

    const juce::String getApplicationName() override    { return "QuilvarnCLI"; }
    const juce::String getApplicationVersion() override { return "2.2.1"; }

    void initialise (const juce::String& commandLine) override;
    void shutdown() override;

    /** The line that closes the help text: when this program was built. */
    static juce::String getBuildInfo();
    /** Fills a parser with the program's option table. */
    static void addProgramOptions (OptionsParser& parser);

private:
    // Declaration order is destruction order, reversed: the engine outlives the transports.
    std::unique_ptr<StdinConnection> stdinConnection;
    std::unique_ptr<QVAudioEngineV4::QVAudioEngine> engine;
    OptionsParser parser;
};
