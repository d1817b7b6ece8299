#include <gtest/gtest.h>

#include "ProcessRunner.h"
#include "TestSupport.h"
#include "ThemeFixtures.h"

#include <functional>
#include <map>

namespace
{
    struct ToolRun
    {
        juce::String out, err;
        int status = -1;

        juce::StringArray errorLines() const
        {
            juce::StringArray lines;
            lines.addLines (err.trimEnd());
            lines.removeEmptyStrings();
            return lines;
        }
    };

    /** Runs quilvarn-theme with the arguments in the given working folder. */
    ToolRun runTool (const juce::StringArray& args, const juce::File& workingDirectory)
    {
        qvtest::ProcessRunner process;
        juce::StringArray argv { QV_THEME_TOOL_PATH };
        argv.addArray (args);
        EXPECT_TRUE (process.start (argv, workingDirectory));
        process.closeInput();

        ToolRun run;
        run.out = process.readAllOutput (30000);
        run.status = process.waitForExit (30000);
        run.err = process.getErrorOutput();
        return run;
    }

    juce::String describe (const ToolRun& run)
    {
        return "status " + juce::String (run.status) + "\nstdout:\n" + run.out + "stderr:\n" + run.err;
    }

    const char* const loopSections = R"({"clean_start_length": 1000, "loop_length": 1500, "ending_length": 500})";

    /** Version 3: two stems (four channels) of 3000 frames. */
    void writeV3Theme (const juce::File& folder, const char* loop = loopSections)
    {
        ASSERT_TRUE (folder.createDirectory().wasOk());
        ASSERT_TRUE (qvtest::writeMultistemWav (folder.getChildFile ("multistem.wav"), 2, 3000));
        auto config = qvtest::parseJSON (R"({"version": 3, "multistem": "multistem.wav",
                                             "Patterns": {"AAA": [0], "BBB": [0, 1]}})");
        config.getDynamicObject()->setProperty ("Loop", qvtest::parseJSON (loop));
        ASSERT_TRUE (qvtest::writeThemeConfig (folder, config));
    }

    /** Version 2: one stereo file per name, 3000 frames each; the patterns give each stem its mask. */
    void writeV2Theme (const juce::File& folder, const juce::StringArray& names, const char* patterns,
                       const char* loop = loopSections)
    {
        ASSERT_TRUE (folder.createDirectory().wasOk());

        for (int i = 0; i < names.size(); ++i)
            ASSERT_TRUE (qvtest::writeStemWav (folder.getChildFile (names[i]), i, 3000));

        auto config = qvtest::parseJSON (R"({"version": 2})");
        juce::Array<juce::var> files;

        for (const auto& name : names)
            files.add (name);

        config.getDynamicObject()->setProperty ("files", files);
        config.getDynamicObject()->setProperty ("Loop", qvtest::parseJSON (loop));
        config.getDynamicObject()->setProperty ("Patterns", qvtest::parseJSON (patterns));
        ASSERT_TRUE (qvtest::writeThemeConfig (folder, config));
    }

    /** Three stems, two of them in the same patterns: two distinct stems after conversion. */
    void writeDefaultV2Theme (const juce::File& folder)
    {
        writeV2Theme (folder, { "Bass.wav", "Drums.wav", "Keys.wav" }, R"({"AAA": [0, 1], "BBB": [2]})");
    }

    /** Version 1: stems 01.wav and 02.wav. */
    void writeV1Theme (const juce::File& folder)
    {
        ASSERT_TRUE (folder.createDirectory().wasOk());
        ASSERT_TRUE (qvtest::writeStemWav (folder.getChildFile ("01.wav"), 0, 3000));
        ASSERT_TRUE (qvtest::writeStemWav (folder.getChildFile ("02.wav"), 1, 3000));
        ASSERT_TRUE (qvtest::writeThemeConfig (folder, qvtest::parseJSON (R"({"version": 1, "files": ["a", "b"],
                                                                              "Patterns": {"AAA": [0, 1]}})")));
    }

    bool writeSilentWav (const juce::File& file, int numChannels, int numFrames, double sampleRate)
    {
        file.deleteFile();   // an output stream would append to it
        auto stream = file.createOutputStream();
        juce::WavAudioFormat wav;
        std::unique_ptr<juce::AudioFormatWriter> writer (wav.createWriterFor (stream.get(), sampleRate,
                                                                             (unsigned int) numChannels, 16, {}, 0));
        if (writer == nullptr)
            return false;

        stream.release();
        juce::AudioBuffer<float> silence (numChannels, numFrames);
        silence.clear();
        return writer->writeFromAudioSampleBuffer (silence, 0, numFrames);
    }

    /** Every file under a folder with its bytes, to show that a run changed nothing. */
    std::map<juce::String, juce::MemoryBlock> snapshot (const juce::File& folder)
    {
        std::map<juce::String, juce::MemoryBlock> files;

        for (const auto& file : folder.findChildFiles (juce::File::findFiles, true, "*"))
        {
            juce::MemoryBlock data;
            file.loadFileAsData (data);
            files[file.getRelativePathFrom (folder)] = data;
        }

        return files;
    }

    /** A library folder with the theme folder "Theme" to be written by the test. */
    struct ThemeFolder
    {
        qvtest::TempFolder library;
        juce::File theme = library.getChildFile ("Theme");

        ToolRun run (juce::StringArray args) const
        {
            args.insert (1, theme.getFullPathName());
            return runTool (args, library.getFolder());
        }
    };
}

//==============================================================================
TEST (QuilvarnThemeHelp, ToolAndEveryCommandExplainThemselves)
{
    qvtest::TempFolder scratch;

    const struct { juce::StringArray args; const char* usage; } cases[] = {
        { { "--help" },             "Usage: quilvarn-theme COMMAND FOLDER [OPTIONS]" },
        { { "-h" },                 "Usage: quilvarn-theme COMMAND FOLDER [OPTIONS]" },
        { { "info", "--help" },     "Usage: quilvarn-theme info FOLDER [--extension EXT]" },
        { { "check", "-h" },        "Usage: quilvarn-theme check FOLDER [--extension EXT]" },
        { { "convert", "x", "--help" }, "Usage: quilvarn-theme convert FOLDER [--format wav|flac|ogg] [--dry-run]" },
    };

    for (const auto& c : cases)
    {
        const auto run = runTool (c.args, scratch.getFolder());
        EXPECT_EQ (run.status, 0) << c.args.joinIntoString (" ") << "\n" << describe (run);
        EXPECT_TRUE (run.out.startsWith (c.usage)) << describe (run);
        EXPECT_TRUE (run.err.isEmpty()) << describe (run);
        EXPECT_TRUE (run.out.contains ("Exit status")) << describe (run);
    }

    // The convert help says what a version-3 theme gives.
    EXPECT_TRUE (runTool ({ "convert", "--help" }, scratch.getFolder()).out.contains ("already version 3 (nothing to do)"));
}

TEST (QuilvarnThemeUsage, WrongCommandLinesGiveOneLineAndStatus2)
{
    ThemeFolder folder;
    writeV3Theme (folder.theme);
    const auto path = folder.theme.getFullPathName();

    const struct { juce::StringArray args; const char* message; } cases[] = {
        { {},                                       "no command given" },
        { { "bogus", path },                        "unknown command: bogus" },
        { { "info" },                               "no theme folder given" },
        { { "check", path, "--bogus" },             "unknown option for check: --bogus" },
        { { "check", path, "--format", "wav" },     "unknown option for check: --format" },
        { { "info", path, "--extension" },          "--extension needs a value" },
        { { "convert", path, "--format", "mp3" },   "unknown format: mp3" },
        { { "convert", path, "--extension", "wav" }, "unknown option for convert: --extension" },
        { { "check", path, path },                  "more than one folder given" },
    };

    for (const auto& c : cases)
    {
        const auto before = snapshot (folder.theme);
        const auto run = runTool (c.args, folder.library.getFolder());
        const auto context = c.args.joinIntoString (" ") + "\n" + describe (run);

        EXPECT_EQ (run.status, 2) << context;
        EXPECT_TRUE (run.out.isEmpty()) << context;
        ASSERT_EQ (run.errorLines().size(), 1) << context;
        EXPECT_TRUE (run.err.contains (c.message)) << context;
        EXPECT_TRUE (snapshot (folder.theme) == before) << context;
    }
}

//==============================================================================
TEST (QuilvarnThemeInfo, DescribesVersion3Theme)
{
    ThemeFolder folder;
    writeV3Theme (folder.theme);

    // A relative folder with a trailing separator names the same theme.
    const auto run = runTool ({ "info", "Theme/" }, folder.library.getFolder());
    ASSERT_EQ (run.status, 0) << describe (run);
    EXPECT_TRUE (run.err.isEmpty()) << describe (run);

    for (const char* expected : { "Theme: Theme\n", "Version: 3\n", "Loaded: yes\n",
                                  "Multistem: multistem.wav: 4 channels, 48000 Hz, 3000 samples (0.062 s)\n",
                                  "Stems: 2 ", "  stem 0: channels 0, 1\n", "  stem 1: channels 2, 3\n",
                                  "Clean start: 1000 samples (0.021 s)\n", "Loop: 1500 samples (0.031 s)\n",
                                  "Ending: 500 samples (0.010 s)", "Total: 3000 samples",
                                  "Patterns:\n  AAA: 0\n  BBB: 0, 1\n", "Loading messages: none\n" })
        EXPECT_TRUE (run.out.contains (expected)) << expected << "\n" << describe (run);
}

TEST (QuilvarnThemeInfo, DescribesVersion2StemsAndShowsLoopVerify)
{
    ThemeFolder folder;
    writeDefaultV2Theme (folder.theme);
    // Keys is shorter than its sections: the loader's "Loop verify" line shows it.
    ASSERT_TRUE (qvtest::writeStemWav (folder.theme.getChildFile ("Keys.wav"), 2, 2000));

    const auto run = folder.run ({ "info" });
    ASSERT_EQ (run.status, 0) << describe (run);

    for (const char* expected : { "Version: 2\n", "Stems: 3\n",
                                  "  stem 0: Bass.wav: 2 channels, 48000 Hz, 3000 samples",
                                  "  stem 2: Keys.wav: 2 channels, 48000 Hz, 2000 samples",
                                  "Patterns:\n  AAA: 0, 1\n  BBB: 2\n",
                                  "  Loop verify: Keys.wav3000 should be 2000\n" })
        EXPECT_TRUE (run.out.contains (expected)) << expected << "\n" << describe (run);
}

TEST (QuilvarnThemeInfo, NotAThemeGivesOneLine)
{
    ThemeFolder folder;
    ASSERT_TRUE (folder.theme.createDirectory().wasOk());

    for (const auto& target : { folder.theme, folder.library.getChildFile ("Missing") })
    {
        const auto run = runTool ({ "info", target.getFullPathName() }, folder.library.getFolder());
        EXPECT_EQ (run.status, 1) << describe (run);
        EXPECT_TRUE (run.out.isEmpty()) << describe (run);
        EXPECT_EQ (run.errorLines().size(), 1) << describe (run);
    }
}

//==============================================================================
TEST (QuilvarnThemeCheck, GoodThemesPass)
{
    const struct { const char* name; std::function<void (const juce::File&)> write; juce::StringArray options; const char* summary; } cases[] = {
        { "version 3", [] (const juce::File& f) { writeV3Theme (f); },        {},                   "Theme: ok (version 3, 2 stems)" },
        { "version 2", [] (const juce::File& f) { writeDefaultV2Theme (f); }, {},                   "Theme: ok (version 2, 3 stems)" },
        { "version 1", [] (const juce::File& f) { writeV1Theme (f); },        { "--extension", "wav" }, "Theme: ok (version 1, 2 stems)" },
    };

    for (const auto& c : cases)
    {
        ThemeFolder folder;
        c.write (folder.theme);
        juce::StringArray args { "check" };
        args.addArray (c.options);

        const auto run = folder.run (args);
        EXPECT_EQ (run.status, 0) << c.name << "\n" << describe (run);
        EXPECT_EQ (run.out.trimEnd(), c.summary) << c.name;
        EXPECT_TRUE (run.err.isEmpty()) << c.name << "\n" << describe (run);
    }
}

namespace
{
    struct BrokenTheme
    {
        const char* name;
        std::function<void (const juce::File& folder)> write;
        const char* problem;   // the start of a line the check must print on standard error
    };

    class QuilvarnThemeCheckBroken : public ::testing::TestWithParam<BrokenTheme> {};
}

TEST_P (QuilvarnThemeCheckBroken, FailsAndSaysWhy)
{
    ThemeFolder folder;
    GetParam().write (folder.theme);

    const auto run = folder.run ({ "check" });
    EXPECT_EQ (run.status, 1) << describe (run);
    EXPECT_TRUE (run.out.isEmpty()) << describe (run);

    const auto lines = run.errorLines();
    EXPECT_TRUE (std::any_of (lines.begin(), lines.end(),
                              [] (const juce::String& line) { return line.startsWith (GetParam().problem); }))
        << describe (run);
}

INSTANTIATE_TEST_SUITE_P (QuilvarnTheme, QuilvarnThemeCheckBroken, ::testing::Values (
    BrokenTheme { "V2MissingStem", [] (const juce::File& f)
        {
            writeDefaultV2Theme (f);
            ASSERT_TRUE (f.getChildFile ("Drums.wav").deleteFile());
        }, "Loading failed: \"Theme\" is missing stem: \"Drums.wav\"" },
    BrokenTheme { "V2LoopLengthZero", [] (const juce::File& f)
        {
            writeV2Theme (f, { "Bass.wav" }, R"({"AAA": [0]})", R"({"clean_start_length": 0, "loop_length": 0})");
        }, "V2 config Error: loop length is invalid" },
    BrokenTheme { "V2StemShorterThanSections", [] (const juce::File& f)
        {
            writeDefaultV2Theme (f);
            ASSERT_TRUE (qvtest::writeStemWav (f.getChildFile ("Keys.wav"), 2, 2000));
        }, "stem 2 (Keys.wav) has 2000 samples, fewer than clean start + loop + ending = 3000" },
    BrokenTheme { "V2StemUnreadable", [] (const juce::File& f)
        {
            writeDefaultV2Theme (f);
            ASSERT_TRUE (f.getChildFile ("Drums.wav").replaceWithText ("not audio"));
        }, "stem 1 (Drums.wav) cannot be opened" },
    BrokenTheme { "V2StemAt44100", [] (const juce::File& f)
        {
            writeDefaultV2Theme (f);
            ASSERT_TRUE (writeSilentWav (f.getChildFile ("Bass.wav"), 2, 3000, 44100.0));
        }, "stem 0 (Bass.wav) is at 44100 Hz; stems play unresampled at 48000 Hz" },
    BrokenTheme { "V3LoopLengthZero", [] (const juce::File& f)
        {
            writeV3Theme (f, R"({"clean_start_length": 1000, "loop_length": 0})");
        }, "V3 config Error: loop length is invalid" },
    BrokenTheme { "V3SectionsLongerThanFile", [] (const juce::File& f)
        {
            writeV3Theme (f, R"({"clean_start_length": 1000, "loop_length": 4000, "ending_length": 500})");
        }, "multistem (multistem.wav) has 3000 samples, fewer than clean start + loop + ending = 5500" },
    BrokenTheme { "V3MissingMultistem", [] (const juce::File& f)
        {
            writeV3Theme (f);
            ASSERT_TRUE (f.getChildFile ("multistem.wav").deleteFile());
        }, "multistem file is missing: \"multistem.wav\"" },
    BrokenTheme { "V3MonoMultistem", [] (const juce::File& f)
        {
            writeV3Theme (f);
            ASSERT_TRUE (writeSilentWav (f.getChildFile ("multistem.wav"), 1, 3000, 48000.0));
        }, "the multistem file has fewer than 2 channels: no stem" },
    // Its stems are .wav files, the check looks for the default extension .ogg.
    BrokenTheme { "V1StemsOfOtherExtension", [] (const juce::File& f) { writeV1Theme (f); },
        "stem 0 (01.ogg) cannot be opened" },
    BrokenTheme { "ConfigNotJSON", [] (const juce::File& f)
        {
            ASSERT_TRUE (f.createDirectory().wasOk());
            ASSERT_TRUE (f.getChildFile ("config.json").replaceWithText ("{\"version\": 3,"));
        }, "config.json is not valid JSON: " },
    BrokenTheme { "ConfigWithoutVersion", [] (const juce::File& f)
        {
            ASSERT_TRUE (qvtest::writeThemeConfig (f, qvtest::parseJSON (R"({"multistem": "x.wav"})")));
        }, "config.json has no \"version\"" },
    BrokenTheme { "UnknownVersion", [] (const juce::File& f)
        {
            ASSERT_TRUE (qvtest::writeThemeConfig (f, qvtest::parseJSON (R"({"version": 4})")));
        }, "config.json has an unknown version: 4" }),
    [] (const ::testing::TestParamInfo<BrokenTheme>& info) { return std::string (info.param.name); });

TEST (QuilvarnThemeCheck, MissingFolderGivesOneLine)
{
    ThemeFolder folder;
    const auto run = folder.run ({ "check" });
    EXPECT_EQ (run.status, 1) << describe (run);
    EXPECT_TRUE (run.out.isEmpty()) << describe (run);
    EXPECT_EQ (run.errorLines(), juce::StringArray ("no such folder: " + folder.theme.getFullPathName()));
}

//==============================================================================
TEST (QuilvarnThemeConvert, Version3HasNothingToDo)
{
    ThemeFolder folder;
    writeV3Theme (folder.theme);
    const auto before = snapshot (folder.theme);

    const auto run = folder.run ({ "convert" });
    EXPECT_EQ (run.status, 0) << describe (run);
    EXPECT_EQ (run.out.trimEnd(), "Theme is already version 3: nothing to do");
    EXPECT_TRUE (snapshot (folder.theme) == before);
}

namespace
{
    struct Refusal
    {
        const char* name;
        std::function<void (const juce::File& folder)> write;
        const char* format;
        const char* reason;
    };

    class QuilvarnThemeConvertRefused : public ::testing::TestWithParam<Refusal> {};
}

// A theme that cannot be converted whole is not converted at all: the folder stays byte for byte.
TEST_P (QuilvarnThemeConvertRefused, LeavesFolderAsItWas)
{
    ThemeFolder folder;
    GetParam().write (folder.theme);
    const auto before = snapshot (folder.theme);

    const auto run = folder.run ({ "convert", "--format", GetParam().format });
    EXPECT_EQ (run.status, 1) << describe (run);
    ASSERT_EQ (run.errorLines().size(), 1) << describe (run);
    EXPECT_EQ (run.errorLines()[0], juce::String ("quilvarn-theme: Theme: ") + GetParam().reason);
    EXPECT_TRUE (snapshot (folder.theme) == before);
}

INSTANTIATE_TEST_SUITE_P (QuilvarnTheme, QuilvarnThemeConvertRefused, ::testing::Values (
    Refusal { "Version1", [] (const juce::File& f) { writeV1Theme (f); }, "wav",
              "cannot convert a version-1 theme automatically" },
    Refusal { "MissingStem", [] (const juce::File& f)
        {
            writeDefaultV2Theme (f);
            ASSERT_TRUE (f.getChildFile ("Keys.wav").deleteFile());
        }, "wav", "the theme does not load completely; run 'quilvarn-theme check' to see why" },
    // Its channel pair would be silent in the new file while the old stems stay unused.
    Refusal { "UnreadableStem", [] (const juce::File& f)
        {
            writeDefaultV2Theme (f);
            ASSERT_TRUE (f.getChildFile ("Drums.wav").replaceWithText ("not audio"));
        }, "wav", "stem 1 (Drums.wav) cannot be opened: it would be lost" },
    // Five distinct stems need ten channels; FLAC holds eight.
    Refusal { "TooManyChannelsForFlac", [] (const juce::File& f)
        {
            writeV2Theme (f, { "1.wav", "2.wav", "3.wav", "4.wav", "5.wav" },
                          R"({"AAA": [0], "AAB": [1], "AAC": [2], "ABA": [3], "ABB": [4]})");
        }, "flac", "flac cannot hold 10 channels; try --format wav" }),
    [] (const ::testing::TestParamInfo<Refusal>& info) { return std::string (info.param.name); });

//==============================================================================
// The tests below need the version-2 conversion; they skip while it is not built.

class QuilvarnThemeConvertFormats : public ::testing::TestWithParam<const char*> {};

TEST_P (QuilvarnThemeConvertFormats, Version2BecomesVersion3ThatPassesCheck)
{
    const juce::String format (GetParam());
    ThemeFolder folder;
    writeDefaultV2Theme (folder.theme);
    const auto stemsBefore = snapshot (folder.theme);

    const auto run = folder.run ({ "convert", "--format", format });

    ASSERT_EQ (run.status, 0) << describe (run);
    EXPECT_TRUE (run.out.contains ("Theme: Unique stems: 2 Total: 3\n")) << describe (run);
    EXPECT_TRUE (run.out.contains ("Converted Theme to version 3: wrote multistem." + format + " and config.json"))
        << describe (run);

    // The old stem files stay as they were.
    const auto after = snapshot (folder.theme);

    for (const char* stem : { "Bass.wav", "Drums.wav", "Keys.wav" })
        EXPECT_TRUE (after.at (stem) == stemsBefore.at (stem)) << stem;

    const auto check = folder.run ({ "check" });
    EXPECT_EQ (check.status, 0) << describe (check);
    EXPECT_EQ (check.out.trimEnd(), "Theme: ok (version 3, 2 stems)") << describe (check);

    const auto info = folder.run ({ "info" });
    EXPECT_TRUE (info.out.contains ("Version: 3\n")) << describe (info);
    EXPECT_TRUE (info.out.contains ("Multistem: multistem." + format + ": 4 channels, 48000 Hz")) << describe (info);
    EXPECT_TRUE (info.out.contains ("Patterns:\n  AAA: 0\n  BBB: 1\n")
                 || info.out.contains ("Patterns:\n  AAA: 1\n  BBB: 0\n")) << describe (info);
}

INSTANTIATE_TEST_SUITE_P (QuilvarnTheme, QuilvarnThemeConvertFormats, ::testing::Values ("wav", "flac", "ogg"),
                          [] (const ::testing::TestParamInfo<const char*>& info) { return std::string (info.param); });

TEST (QuilvarnThemeConvert, DryRunChangesNothing)
{
    ThemeFolder folder;
    writeDefaultV2Theme (folder.theme);
    const auto before = snapshot (folder.theme);

    const auto run = folder.run ({ "convert", "--dry-run" });

    EXPECT_EQ (run.status, 0) << describe (run);
    EXPECT_TRUE (run.out.contains ("Theme: Unique stems: 2 Total: 3\n")) << describe (run);
    EXPECT_TRUE (run.out.contains ("Dry run: would write multistem.wav")) << describe (run);
    EXPECT_TRUE (snapshot (folder.theme) == before);
}

// A stem file already named like the new multistem file is not overwritten.
TEST (QuilvarnThemeConvert, KeepsStemFileOfTheMultistemName)
{
    ThemeFolder folder;
    writeV2Theme (folder.theme, { "multistem.wav", "Drums.wav" }, R"({"AAA": [0], "BBB": [1]})");
    const auto before = snapshot (folder.theme);

    const auto run = folder.run ({ "convert" });

    ASSERT_EQ (run.status, 0) << describe (run);
    EXPECT_TRUE (run.out.contains ("wrote multistem-1.wav and config.json")) << describe (run);
    EXPECT_TRUE (snapshot (folder.theme).at ("multistem.wav") == before.at ("multistem.wav"));

    const auto check = folder.run ({ "check" });
    EXPECT_EQ (check.status, 0) << describe (check);
}
