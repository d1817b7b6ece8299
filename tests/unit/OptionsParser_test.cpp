#include <gtest/gtest.h>

#include "QuilvarnServerApp.h"
#include "optionsParser.h"

namespace
{
    struct ParseCase
    {
        const char* name;
        const char* commandLine;
        bool accepted;
        const char* errors;
    };

    class ProgramOptions : public ::testing::TestWithParam<ParseCase>
    {
    protected:
        void SetUp() override { QuilvarnServerApp::addProgramOptions (parser); }
        OptionsParser parser;
    };
}

TEST_P (ProgramOptions, ParsesOrReportsErrors)
{
    const auto& c = GetParam();
    EXPECT_EQ (parser.parse (c.commandLine), c.accepted) << c.commandLine;
    EXPECT_EQ (parser.errors, juce::String (c.errors)) << c.commandLine;
}

INSTANTIATE_TEST_SUITE_P (CommandLines, ProgramOptions, ::testing::Values (
    ParseCase { "Empty", "", true, "" },
    ParseCase { "Help", "--help", true, "" },
    ParseCase { "SeveralOptions", "-h -p 5000 --stay", true, "" },
    ParseCase { "UnknownShort", "-x", false, "Unknown option: -x" },
    ParseCase { "TwoUnknown", "-x --bogus", false, "Unknown option: -x\r\nUnknown option: --bogus" },
    ParseCase { "RepeatedPort", "-p 1 -p 2", false, "Unknown option: 2" },
    ParseCase { "MissingPath", "-l", false, "Missing path for argument -l" },
    ParseCase { "MissingValueLong", "--port", false, "Missing value for argument --port" },
    ParseCase { "MissingValueShort", "-n", false, "Missing value for argument -n" },
    ParseCase { "WordAfterDoubleDash", "-- word", false, "Unknown option: word" },
    ParseCase { "BareWord", "word", false, "Unknown option: word" },
    ParseCase { "LoneDash", "-", true, "" },
    ParseCase { "PortNotANumber", "-p abc", true, "" },
    ParseCase { "UnknownThenMissingPath", "-x -l", false, "Unknown option: -x\r\nMissing path for argument -l" }),
    [] (const ::testing::TestParamInfo<ParseCase>& info) { return std::string (info.param.name); });

TEST (OptionsParserValues, LooksUpGivenValuesAndDefaults)
{
    OptionsParser parser;
    QuilvarnServerApp::addProgramOptions (parser);

    ASSERT_TRUE (parser.parse ("-l -p -n 10.0.0.1"));

    // The token after a file option is its value, whatever it looks like.
    EXPECT_EQ (parser.getOptFile ("logfile"), juce::File::getCurrentWorkingDirectory().getChildFile ("-p"));
    EXPECT_FALSE (parser.isOptSet ("port"));
    EXPECT_EQ (parser.getOptInt ("port"), 12987);
    EXPECT_EQ (parser.getOptString ("address"), "10.0.0.1");
    EXPECT_FALSE (parser.getOptBool ("stay"));
    EXPECT_EQ (parser.getOptInt ("no-such-option"), 0);
    EXPECT_EQ (parser.getOptString ("no-such-option"), "");
    EXPECT_EQ (parser.getOptFile ("no-such-option"), juce::File());
}

TEST (OptionsParserValues, LoneDashSetsFirstOptionWithoutShortName)
{
    OptionsParser parser;
    QuilvarnServerApp::addProgramOptions (parser);

    ASSERT_TRUE (parser.parse ("-"));
    EXPECT_TRUE (parser.isOptSet ("stay"));
    EXPECT_FALSE (parser.isOptSet ("project"));
}

TEST (OptionsParserValues, RepeatedOptionKeepsFirstValueAndNonNumberReadsAsZero)
{
    OptionsParser parser;
    QuilvarnServerApp::addProgramOptions (parser);

    ASSERT_TRUE (parser.parse ("-p abc --port"));
    EXPECT_EQ (parser.getOptString ("port"), "abc");
    EXPECT_EQ (parser.getOptInt ("port"), 0);
}

TEST (OptionsParserValues, RelativeFilePathsResolveAgainstWorkingDirectory)
{
    const auto previous = juce::File::getCurrentWorkingDirectory();
    juce::File ("/tmp").setAsCurrentWorkingDirectory();

    struct Case { const char* given; const char* stored; };
    const Case cases[] = {
        { "log.txt",      "/tmp/log.txt" },
        { "sub/log.txt",  "/tmp/sub/log.txt" },
        { "/var/log.txt", "/var/log.txt" },
        { "~/log.txt",    "~/log.txt" },
    };

    for (const auto& c : cases)
    {
        OptionsParser parser;
        QuilvarnServerApp::addProgramOptions (parser);
        ASSERT_TRUE (parser.parse (juce::String ("-l ") + c.given));
        EXPECT_EQ (parser.getOption ("logfile")->value.toString(), c.stored) << c.given;
    }

    previous.setAsCurrentWorkingDirectory();
}

TEST (OptionsParserValues, PositionalAndRequiredOptions)
{
    OptionsParser parser;
    auto* input = parser.addOption ("input", "", OptionsParser::FileType, true);
    juce::ignoreUnused (input);
    auto* level = parser.addOption ("level", "v", OptionsParser::IntType, true);
    level->longName = "level";
    parser.addOption ("anon", "", OptionsParser::StringType, true);

    EXPECT_FALSE (parser.parse (""));
    EXPECT_EQ (parser.errors, "Argument is required: input\r\nArgument is required: v | level\r\nArgument is required: anon");

    // Bare words fill the positional options in order; after "--" even dashed words do.
    EXPECT_TRUE (parser.parse ("a.wav -v 3 -- -b"));
    EXPECT_EQ (parser.getOptString ("anon"), "-b");
    EXPECT_EQ (parser.getOptInt ("level"), 3);
}

TEST (OptionsParserHelp, ShowsDefaultsOnlyForOptionsNotGiven)
{
    OptionsParser parser;
    QuilvarnServerApp::addProgramOptions (parser);
    ASSERT_TRUE (parser.parse ("-p 5000"));

    const auto help = parser.getHelpText();
    EXPECT_TRUE (help.contains ("Set a port to communicate via TCP\r\n"));
    EXPECT_TRUE (help.contains ("Only with -p (default: 127.0.0.1)\r\n"));
}

TEST (OptionsParserHelp, LayoutWithoutTitleOrBuildInfo)
{
    OptionsParser parser;
    auto* option = parser.addOption ("x", "", OptionsParser::BoolType);
    option->description = "";
    EXPECT_EQ (parser.getHelpText(), "       ");

    parser.addOption ("y", "y", OptionsParser::DoubleType)->description = "why";
    EXPECT_EQ (parser.getHelpText(), juce::String ("       \r\n  -y   <number>") + juce::String::repeatedString (" ", 15) + "why");
}
