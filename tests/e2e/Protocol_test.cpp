#include <gtest/gtest.h>

#include "ProcessRunner.h"
#include "TestSupport.h"

#include <csignal>

using qvtest::ProcessRunner;

namespace
{
    juce::String withoutElapsed (const juce::String& line)
    {
        // "elapsed" is a duration; its presence matters, not its value.
        auto text = line;
        const int at = text.indexOf ("\"elapsed\": ");

        if (at >= 0)
        {
            int end = at + 11;
            while (end < text.length() && juce::CharacterFunctions::isDigit (text[end]))
                ++end;
            text = text.substring (0, at + 11) + "N" + text.substring (end);
        }

        return text;
    }

    /** Starts the backend in stdin mode with a settings file of its own, so no user file is touched. */
    struct Backend
    {
        explicit Backend (juce::StringArray extraArgs = {})
        {
            juce::StringArray args { QV_CLI_PATH, "-s", scratch.getChildFile ("AE-Settings.json").getFullPathName() };
            args.addArray (extraArgs);
            started = process.start (args, scratch.getFolder());
        }

        qvtest::TempFolder scratch;
        ProcessRunner process;
        bool started = false;
    };

    /** Sends the input (which ends with a quit), reads standard output until the program has
        ended with status 0, and returns the lines it wrote. */
    juce::StringArray sendUntilExit (Backend& backend, const juce::String& input)
    {
        EXPECT_TRUE (backend.process.write (input));
        const auto output = backend.process.readAllOutput (10000);
        EXPECT_EQ (backend.process.waitForExit (10000), 0);

        juce::StringArray lines;
        lines.addLines (output.trimEnd());
        return lines;
    }

    /** Runs the backend with the arguments alone (no input) and returns its standard output and exit status. */
    std::pair<juce::String, int> runToExit (const juce::StringArray& args, const juce::File& workingDirectory)
    {
        ProcessRunner process;
        juce::StringArray argv { QV_CLI_PATH };
        argv.addArray (args);
        EXPECT_TRUE (process.start (argv, workingDirectory));
        process.closeInput();
        auto output = process.readAllOutput (15000);
        return { output, process.waitForExit (15000) };
    }

    juce::String expectedHelp (juce::StringArray given = {})
    {
        struct Line { const char* prefix; int prefixLength; const char* description; const char* option; const char* defaultText; };

        // Prefix lengths are counted by hand; descriptions start at column 31.
        const Line lines[] = {
            { "  -h  --help ",                13, "Display this help text and exit",             "help",     nullptr },
            { "  -l  --logfile <filename>",   26, "Set a logfile to enable logging",             "logfile",  nullptr },
            { "  -s  --settings <filename>",  27, "Read from this file instead of default one",  "settings", nullptr },
            { "  -p  --port <number>",        21, "Set a port to communicate via TCP",           "port",     "12987" },
            { "  -n  --address <name>",       22, "Set an IP adress to listen on. Only with -p", "address",  "127.0.0.1" },
            { "      --stay ",                13, "Causes the backend not to quit after the last connection was closed", "stay", nullptr },
            { "  -o  --render <filename>",    25, "Render the given project file into that file", "render",  nullptr },
            { "  -f  --force ",               14, "Overwrite existing render file",              "force",    nullptr },
            { "      --project <filename>",   26, "Load that project file into timeline",        "project",  nullptr },
        };

        juce::String text = "Quilvarn Audio Backend App\r\n";

        for (const auto& l : lines)
        {
            EXPECT_EQ ((int) strlen (l.prefix), l.prefixLength) << l.prefix;
            text << l.prefix << juce::String::repeatedString (" ", 30 - l.prefixLength) << l.description;

            if (l.defaultText != nullptr && ! given.contains (l.option))
                text << " (default: " << l.defaultText << ")";

            text << "\r\n";
        }

        return text;
    }

    void expectHelp (const juce::String& output, juce::StringArray given = {})
    {
        const auto expected = expectedHelp (given);
        ASSERT_TRUE (output.startsWith (expected)) << output;

        // The last line is the build stamp, such as "Build date: Jun 26 2020 at 05:15:46", then "\n".
        const auto buildLine = output.substring (expected.length());
        EXPECT_TRUE (buildLine.endsWith ("\n") && ! buildLine.endsWith ("\r\n")) << buildLine;
        const auto stamp = buildLine.trimEnd();
        ASSERT_EQ (stamp.length(), 35) << stamp;
        EXPECT_TRUE (stamp.startsWith ("Build date: ")) << stamp;
        EXPECT_EQ (stamp.substring (23, 27), " at ") << stamp;
        EXPECT_EQ (stamp[29], ':');
        EXPECT_EQ (stamp[32], ':');
    }
}

//==============================================================================
TEST (CommandLine, HelpIsPrintedByteForByteAndExitsWith255)
{
    qvtest::TempFolder scratch;
    const auto [output, status] = runToExit ({ "--help" }, scratch.getFolder());
    EXPECT_EQ (status, 255);
    expectHelp (output);
}

TEST (CommandLine, HelpWithOtherOptionsDropsTheirDefaultsAndCreatesNoLog)
{
    qvtest::TempFolder scratch;
    const auto [output, status] = runToExit ({ "-p", "5000", "-l", "log.txt", "-n", "0.0.0.0", "-h" }, scratch.getFolder());
    EXPECT_EQ (status, 255);
    expectHelp (output, { "port", "address" });
    EXPECT_FALSE (scratch.getChildFile ("log.txt").exists());
}

TEST (CommandLine, ParseErrorsArePrintedAndExitWith255)
{
    struct Case { juce::StringArray args; const char* output; };
    const Case cases[] = {
        { { "-x", "--bogus" }, "Unknown option: -x\r\nUnknown option: --bogus\n" },
        { { "-l" },            "Missing path for argument -l\n" },
        { { "--port" },        "Missing value for argument --port\n" },
        { { "-p", "1", "-p", "2" }, "Unknown option: 2\n" },
        { { "--", "word" },    "Unknown option: word\n" },
    };

    qvtest::TempFolder scratch;

    for (const auto& c : cases)
    {
        const auto [output, status] = runToExit (c.args, scratch.getFolder());
        EXPECT_EQ (output, juce::String (c.output)) << c.args.joinIntoString (" ");
        EXPECT_EQ (status, 255) << c.args.joinIntoString (" ");
    }

    EXPECT_EQ (scratch.getFolder().getNumberOfChildFiles (juce::File::findFilesAndDirectories), 0);
}

//==============================================================================
TEST (StdinProtocol, EveryLineGetsItsReplyOrError)
{
    // Inputs are raw bytes: some are not UTF-8 on purpose.
    struct Case { const char* input; const char* reply; };
    const Case cases[] = {
        { "{}",                                  "{\"error\": \"Malformed package\"}" },
        { "start",                               "{\"error\": \"No valid JSON\", \"origin\": \"start\"}" },
        { "42",                                  "{\"error\": \"No valid JSON\", \"origin\": \"42\"}" },
        { "null",                                "{\"error\": \"No valid JSON\", \"origin\": \"null\"}" },
        { "   ",                                 "{\"error\": \"No valid JSON\", \"origin\": \"   \"}" },
        { "{\"a\":",                             "{\"error\": \"No valid JSON\", \"origin\": \"{\\\"a\\\":\"}" },
        { "[1,2]",                               "[\"error\", \"No JSON object\"]" },
        { "{\"name\":1}",                        "{\"name\": 1, \"error\": \"Malformed package\"}" },
        { "{\"command\":\"Audition\"}",          "{\"command\": \"Audition\", \"error\": \"Command not understood\", \"elapsed\": N}" },
        { "{\"command\":5,\"x\":[true]}",        "{\"command\": 5, \"x\": [true], \"error\": \"Command not understood\", \"elapsed\": N}" },
        { "{\"themes\":[]}",                     "{\"themes\": [], \"error\": \"Malformed package\"}" },
        { "{\"themes\":[],\"automs\":{}}",       "{\"elapsed\": N}" },
        { "{\"command\":\"x1\"}{\"command\":\"x2\"}", "{\"command\": \"x1\", \"error\": \"Command not understood\", \"elapsed\": N}" },
        { "{\"command\":\"crlf\"}\r",            "{\"command\": \"crlf\", \"error\": \"Command not understood\", \"elapsed\": N}" },
        { "{\"command\":\"\\u00e9t\\u00e9\"}",   "{\"command\": \"\\u00e9t\\u00e9\", \"error\": \"Command not understood\", \"elapsed\": N}" },
        { "{\"command\":\"\xc3\xa9\"}",           "{\"command\": \"\\u00e9\", \"error\": \"Command not understood\", \"elapsed\": N}" },
        { "\xff\xfe{",                               "{\"error\": \"No valid JSON\", \"origin\": \"\\u00ff\\u00fe{\"}" },
        { "{\"command\":\"\xc3\"}",                "{\"error\": \"No valid JSON\", \"origin\": \"{\\\"command\\\":\\\"\\u00c3\\\"}\"}" },
    };

    Backend backend;
    ASSERT_TRUE (backend.started);

    for (const auto& c : cases)
    {
        // An empty line before each message must produce nothing.
        const std::string bytes = std::string ("\n") + c.input + "\n";
        ASSERT_TRUE (backend.process.writeBytes (bytes.data(), bytes.size()));
        juce::String line;
        ASSERT_TRUE (backend.process.readLine (line)) << "no reply to " << c.input;
        EXPECT_EQ (withoutElapsed (line), juce::String (c.reply)) << c.input;
    }

    ASSERT_TRUE (backend.process.write ("{\"command\":\"quit\"}\n"));
    juce::String line;
    ASSERT_TRUE (backend.process.readLine (line));
    EXPECT_EQ (withoutElapsed (line), "{\"command\": \"quit\", \"elapsed\": N}");
    EXPECT_EQ (backend.process.waitForExit (10000), 0);
    EXPECT_EQ (backend.process.readAllOutput (1000), "") << "nothing after the quit reply";
}

TEST (StdinProtocol, EndOfInputDoesNotEndTheProgram)
{
    Backend backend;
    ASSERT_TRUE (backend.started);

    // The last line has no newline; it still counts.
    ASSERT_TRUE (backend.process.write ("{\"command\":\"first\"}\n{\"command\":\"last\"}"));
    backend.process.closeInput();

    juce::String first, last, extra;
    ASSERT_TRUE (backend.process.readLine (first));
    ASSERT_TRUE (backend.process.readLine (last));
    EXPECT_TRUE (last.startsWith ("{\"command\": \"last\""));

    EXPECT_FALSE (backend.process.readLine (extra, 700)) << "nothing is run twice after the end of input";
    EXPECT_TRUE (backend.process.isRunning());

    backend.process.kill (SIGTERM);
    backend.process.waitForExit (10000);
}

TEST (StdinProtocol, QuitIsAnsweredThenTheProgramEndsWithStatusZero)
{
    Backend backend;
    ASSERT_TRUE (backend.started);

    // Sent at once, before start-up may have finished, and followed by more input. Standard
    // input stays open, so the reading thread is left waiting; shutdown must release it.
    ASSERT_TRUE (backend.process.write ("{\"command\":\"quit\",\"tag\":7}\n{\"command\":\"late\"}\n"));

    juce::String line;
    ASSERT_TRUE (backend.process.readLine (line));
    EXPECT_EQ (withoutElapsed (line), "{\"command\": \"quit\", \"tag\": 7, \"elapsed\": N}");

    const auto before = juce::Time::getMillisecondCounter();
    EXPECT_EQ (backend.process.waitForExit (10000), 0);
    EXPECT_LT (juce::Time::getMillisecondCounter() - before, 5000u) << "shutdown waited on the reading thread";
}

TEST (StdinProtocol, StdoutCarriesProtocolLinesOnlyAndTheLogFileGetsDiagnostics)
{
    Backend backend ({ "-l", "backend.log" });
    ASSERT_TRUE (backend.started);
    const auto lines = sendUntilExit (backend, "{\"command\":\"unknown\"}\n{\"command\":\"quit\"}\n");
    ASSERT_EQ (lines.size(), 2) << lines.joinIntoString ("\n");

    for (auto& l : lines)
    {
        juce::var parsed;
        EXPECT_TRUE (juce::JSON::parse (l, parsed).wasOk() && parsed.isObject()) << l;
    }

    const auto log = backend.scratch.getChildFile ("backend.log");
    ASSERT_TRUE (log.existsAsFile());

    juce::StringArray logLines;
    logLines.addLines (log.loadFileAsString());
    const int stars = logLines.indexOf ("**********************************************************");
    ASSERT_GE (stars, 0) << log.loadFileAsString();
    ASSERT_GT (logLines.size(), stars + 3);
    EXPECT_EQ (logLines[stars + 1], "Started QuilvarnCLI");
    EXPECT_TRUE (logLines[stars + 2].startsWith ("Log started: "));
    // The framework's header ends with an empty line; the first message follows it.
    int next = stars + 3;
    while (next < logLines.size() && logLines[next].isEmpty())
        ++next;
    EXPECT_TRUE (logLines[next].startsWith ("Build from: ")) << logLines[next];
    EXPECT_FALSE (backend.process.getErrorOutput().contains ("Build from: "));
}

TEST (StdinProtocol, WithoutLogFileStdoutStillCarriesProtocolLinesOnly)
{
    // Whatever the backend logs must never reach standard output.
    Backend backend;
    ASSERT_TRUE (backend.started);
    const auto lines = sendUntilExit (backend, "{\"themes\":[],\"automs\":{}}\n{\"command\":\"quit\"}\n");
    EXPECT_EQ (lines.size(), 2) << lines.joinIntoString ("\n");
    EXPECT_FALSE (lines.joinIntoString ("\n").contains ("Build from"));
}
