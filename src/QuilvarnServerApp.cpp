#include "QuilvarnServerApp.h"
#include "StdinConnection.h"


QuilvarnServerApp::QuilvarnServerApp()
{
    addProgramOptions (parser);
}

QuilvarnServerApp::~QuilvarnServerApp() = default;

juce::String QuilvarnServerApp::getBuildInfo()
{
    return juce::String ("Build date: ") + __DATE__ + " at " + __TIME__;
}

void QuilvarnServerApp::addProgramOptions (OptionsParser& p)
{
    p.title = "Quilvarn Audio Backend App";
    p.buildInfo = getBuildInfo();

    struct Row
    {
        const char* name;
        const char* shortName;
        OptionsParser::OptionType type;
        juce::var defaultValue;
        const char* description;
    };

    const Row rows[] = {
        { "help",     "h", OptionsParser::BoolType,   {},          "Display this help text and exit" },
        { "logfile",  "l", OptionsParser::FileType,   {},          "Set a logfile to enable logging" },
        { "settings", "s", OptionsParser::FileType,   {},          "Read from this file instead of default one" },
        { "port",     "p", OptionsParser::IntType,    12987,       "Set a port to communicate via TCP" },
        { "address",  "n", OptionsParser::StringType, "127.0.0.1", "Set an IP adress to listen on. Only with -p" },
        { "stay",     "",  OptionsParser::BoolType,   {},          "Causes the backend not to quit after the last connection was closed" },
        { "render",   "o", OptionsParser::FileType,   {},          "Render the given project file into that file" },
        { "force",    "f", OptionsParser::BoolType,   {},          "Overwrite existing render file" },
        { "project",  "",  OptionsParser::FileType,   {},          "Load that project file into timeline" },
    };

    for (const auto& row : rows)
    {
        auto* option = p.addOption (row.name, row.shortName, row.type);
        option->longName = row.name;
        option->description = row.description;
        option->value = row.defaultValue;
    }
}

void QuilvarnServerApp::initialise (const juce::String& commandLine)
{
    if (! parser.parse (commandLine))
    {
        StdinConnection::writeLine (stdout, parser.errors);
        setApplicationReturnValue (-1);
        quit();
        return;
    }

    if (parser.isOptSet ("help"))
    {
        StdinConnection::writeLine (stdout, parser.getHelpText());
        setApplicationReturnValue (-1);
        quit();
        return;
    }

    if (parser.isOptSet ("logfile"))
    {
        juce::Logger::setCurrentLogger (new juce::FileLogger (parser.getOptFile ("logfile"), "Started QuilvarnCLI"));
        juce::Logger::writeToLog (juce::String ("Build from: ") + __DATE__ + " / " + __TIME__);
    }

    auto settings = parser.isOptSet ("settings") ? parser.getOptFile ("settings")
                                                 : QVAudioEngineV4::QVAudioEngine::getDefaultAudioSettingsFile();

    engine = std::make_unique<QVAudioEngineV4::QVAudioEngine>();

    // Project loading, rendering and the TCP server are not available yet: every run that gets
    // this far serves standard input.
    stdinConnection = std::make_unique<StdinConnection> (engine.get());
    stdinConnection->startThread();

    engine->initialiseWithSettings (settings);

    stdinConnection->setReady();
}

void QuilvarnServerApp::shutdown()
{
    if (stdinConnection != nullptr)
    {
        stdinConnection->signalThreadShouldExit();
        stdinConnection->stopThread (2000);
        stdinConnection.reset();
    }

    if (auto* logger = juce::Logger::getCurrentLogger())
    {
        juce::Logger::setCurrentLogger (nullptr);
        delete logger;
    }
}
