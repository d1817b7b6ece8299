// quilvarn-theme: inspects, checks and converts theme folders, for people who make themes.
// It loads a folder the way the backend does (the theme source factory) and reports what it found.

#include "common/QVJuce.h"
#include "common/EngineTypes.h"
#include "themes/ThemeSource.h"
#include "themes/ThemeSourceV1.h"
#include "themes/ThemeSourceV2.h"
#include "themes/ThemeSourceV3.h"

#include <iostream>
#include <set>

using namespace QVAudioEngineV4;

namespace
{
    // Exit statuses.
    constexpr int exitOk = 0;
    constexpr int exitProblem = 1;   // the theme has problems, or the conversion did not happen
    constexpr int exitUsage = 2;     // the command line is wrong

    const char* const toolName = "quilvarn-theme";

    //==============================================================================
    const char* const mainHelp =
        "Usage: quilvarn-theme COMMAND FOLDER [OPTIONS]\n"
        "Inspects, checks and converts a theme folder (a config.json and its stem files).\n"
        "The theme's name is the folder's name.\n"
        "\n"
        "Commands:\n"
        "  info     Show the version, stems, channel layout, loop lengths and patterns\n"
        "  check    Load the theme as the backend does; exit 0 only if it loads and every stem opens\n"
        "  convert  Rewrite a version-2 theme as version 3 (one multistem file) in place\n"
        "\n"
        "Run 'quilvarn-theme COMMAND --help' for a command's options.\n"
        "\n"
        "Exit status: 0 success, 1 the theme has problems or nothing was converted,\n"
        "2 the command line is wrong.\n";

    const char* const infoHelp =
        "Usage: quilvarn-theme info FOLDER [--extension EXT]\n"
        "Shows the theme's version, its stems and their files, the channel layout (for\n"
        "version 3 the multistem file's channels and stem pairs, otherwise each stem file's\n"
        "channels), the clean start, loop and ending lengths in samples and seconds, the\n"
        "pattern table (each pattern key and its stems) and the messages of loading, such as\n"
        "\"Loop verify\" lines.\n"
        "\n"
        "Options:\n"
        "  --extension EXT  Extension of version-1 stem files, without dot (default: ogg)\n"
        "  -h, --help       Show this help\n"
        "\n"
        "Exit status: 0 when the folder's configuration could be read (whether or not the\n"
        "theme loaded completely; \"Loaded:\" says which), 1 when it is not a theme folder,\n"
        "2 when the command line is wrong.\n";

    const char* const checkHelp =
        "Usage: quilvarn-theme check FOLDER [--extension EXT]\n"
        "Loads the theme as the backend does and checks that it loads completely, that every\n"
        "stem file opens, is at 48000 Hz and holds at least the clean start, loop and ending.\n"
        "Each problem is one line on standard error; warnings (a stem in no pattern, a file\n"
        "longer than its sections) do not fail the check.\n"
        "\n"
        "Options:\n"
        "  --extension EXT  Extension of version-1 stem files, without dot (default: ogg)\n"
        "  -h, --help       Show this help\n"
        "\n"
        "Exit status: 0 when the theme passes, 1 when it has problems, 2 when the command line\n"
        "is wrong.\n";

    const char* const convertHelp =
        "Usage: quilvarn-theme convert FOLDER [--format wav|flac|ogg] [--dry-run]\n"
        "Rewrites a version-2 theme as version 3 in place: the stems that sound in the same\n"
        "patterns are summed into one channel pair of a new multistem file\n"
        "(multistem.<format>, or multistem-N.<format> if that name is taken) and config.json\n"
        "is replaced by a version-3 one. The version-2 stem files stay in the folder.\n"
        "A theme that does not load completely, or has a stem that cannot be opened, is not\n"
        "converted.\n"
        "\n"
        "Options:\n"
        "  --format FORMAT  wav (default; 24-bit, any number of stems), flac (lossless,\n"
        "                   at most 4 stems) or ogg (lossy, high quality)\n"
        "  --dry-run        Only say what would be written; change nothing\n"
        "  -h, --help       Show this help\n"
        "\n"
        "Exit status: 0 when converted (or, with --dry-run, when it could be), and for a\n"
        "theme that is already version 3 (nothing to do); 1 when the theme cannot be\n"
        "converted (version 1, load problems, a format that cannot hold the stems, a failed\n"
        "write: the folder is then left as it was); 2 when the command line is wrong.\n";

    //==============================================================================
    void printOut (const juce::String& text)  { std::cout << text << std::endl; }
    void printError (const juce::String& text) { std::cerr << text << std::endl; }

    int usageError (const juce::String& message)
    {
        printError (juce::String (toolName) + ": " + message + " (see '" + toolName + " --help')");
        return exitUsage;
    }

    /** Collects the lines the theme loader writes through juce::Logger while it is installed. */
    class CollectingLogger : public juce::Logger
    {
    public:
        CollectingLogger()  { juce::Logger::setCurrentLogger (this); }
        ~CollectingLogger() override { juce::Logger::setCurrentLogger (nullptr); }

        juce::StringArray takeLines()
        {
            const juce::ScopedLock sl (lock);
            auto taken = lines;
            lines.clear();
            return taken;
        }

    private:
        void logMessage (const juce::String& message) override
        {
            const juce::ScopedLock sl (lock);
            lines.add (message);
        }

        juce::CriticalSection lock;
        juce::StringArray lines;
    };

    //==============================================================================
    struct Options
    {
        juce::String command;
        juce::File folder;
        juce::String extension { "ogg" };
        juce::String format { "wav" };
        bool dryRun = false;
        bool help = false;
    };

    /** Parses the arguments after the command. Returns an error text, empty when they are fine. */
    juce::String parseCommandArguments (const juce::StringArray& args, Options& options)
    {
        const bool isConvert = options.command == "convert";
        juce::String folderArgument;

        for (int i = 0; i < args.size(); ++i)
        {
            const auto& arg = args[i];

            if (arg == "-h" || arg == "--help")
            {
                options.help = true;
            }
            else if (arg == (isConvert ? "--format" : "--extension"))
            {
                if (i + 1 >= args.size() || args[i + 1].isEmpty())
                    return arg + " needs a value";

                (isConvert ? options.format : options.extension) = args[++i].trimCharactersAtStart (".");
            }
            else if (isConvert && arg == "--dry-run")
            {
                options.dryRun = true;
            }
            else if (arg.startsWith ("-") && arg.length() > 1)
            {
                return "unknown option for " + options.command + ": " + arg;
            }
            else if (folderArgument.isNotEmpty())
            {
                return "more than one folder given: " + arg;
            }
            else
            {
                folderArgument = arg;
            }
        }

        if (options.help)
            return {};

        if (folderArgument.isEmpty())
            return "no theme folder given";

        if (isConvert && ! juce::StringArray { "wav", "flac", "ogg" }.contains (options.format))
            return "unknown format: " + options.format + " (wav, flac or ogg)";

        // A path given with a trailing separator still names the folder itself.
        const auto path = juce::File::getCurrentWorkingDirectory().getChildFile (folderArgument).getFullPathName();
        options.folder = juce::File (path.trimCharactersAtEnd (juce::File::getSeparatorString()));

        if (options.folder.getFullPathName().isEmpty())
            options.folder = juce::File (juce::File::getSeparatorString());

        return {};
    }

    //==============================================================================
    /** Why the factory could not use a folder at all: one line, empty if it looks usable. */
    juce::String describeUnusableFolder (const juce::File& folder)
    {
        if (! folder.exists())
            return "no such folder: " + folder.getFullPathName();

        if (! folder.isDirectory())
            return "not a folder: " + folder.getFullPathName();

        const auto configFile = folder.getChildFile ("config.json");

        if (! configFile.existsAsFile())
            return "not a theme folder (no config.json): " + folder.getFullPathName();

        juce::var config;
        const auto parsed = juce::JSON::parse (configFile.loadFileAsString(), config);

        if (parsed.failed())
            return "config.json is not valid JSON: " + parsed.getErrorMessage();

        if (config.getDynamicObject() == nullptr)
            return "config.json is not a JSON object";

        if (! config.hasProperty (Prop::themeVersion))
            return "config.json has no \"version\"";

        const int version = config.getProperty (Prop::themeVersion, {});

        if (version < 1 || version > 3)
            return "config.json has an unknown version: " + config.getProperty (Prop::themeVersion, {}).toString();

        return {};
    }

    /** A theme loaded through the factory, with the lines it logged while loading. */
    struct LoadedTheme
    {
        juce::String name;
        juce::File folder;
        std::unique_ptr<ThemeSource> source;
        juce::StringArray log;
    };

    /** Loads the folder as the backend would: name = folder name, library = its parent. */
    LoadedTheme loadTheme (const juce::File& folder, const juce::String& extension, CollectingLogger& logger)
    {
        AudioSettings settings;
        settings.audioExtension = extension;

        LoadedTheme theme;
        theme.name = folder.getFileName();
        theme.folder = folder;
        theme.source = ThemeSource::createThemeSource (theme.name, folder.getChildFile ("config.json"), settings);
        theme.log = logger.takeLines();
        return theme;
    }

    int getVersion (const ThemeSource& source)
    {
        if (dynamic_cast<const ThemeSourceV3*> (&source) != nullptr) return 3;
        if (dynamic_cast<const ThemeSourceV2*> (&source) != nullptr) return 2;
        return 1;
    }

    juce::String getMultistemName (const ThemeSource& source)
    {
        return source.config.getProperty ("multistem", "unknown").toString();
    }

    /** Version 3: the multistem file's channel pairs; otherwise the stem files, transition stems included. */
    int getNumStems (const ThemeSource& source)
    {
        if (auto* v3 = dynamic_cast<const ThemeSourceV3*> (&source))
            return v3->getNumStems();

        if (auto* stemSource = dynamic_cast<const StemFileThemeSource*> (&source))
            return stemSource->stems.size();

        return 0;
    }

    /** One audio file of a loaded theme: a stem file, or the multistem file of version 3. */
    struct StemFile
    {
        juce::String label;       // how the tool names it: "stem 2", "multistem", "transition"
        juce::String configName;  // the name the configuration gives, if any
        juce::File file;
        juce::AudioFormatReader* reader = nullptr;
    };

    juce::Array<StemFile> getStemFiles (const LoadedTheme& theme)
    {
        juce::Array<StemFile> files;

        if (auto* v3 = dynamic_cast<ThemeSourceV3*> (theme.source.get()))
        {
            if (v3->multistemSource != nullptr)
                files.add ({ "multistem", getMultistemName (*v3), theme.folder.getChildFile (getMultistemName (*v3)),
                             v3->multistemSource->getReader() });
        }
        else if (auto* stemSource = dynamic_cast<StemFileThemeSource*> (theme.source.get()))
        {
            const auto* names = stemSource->config.getProperty (Prop::themeFiles, {}).getArray();
            const int numNumbered = names != nullptr ? names->size() : 0;
            const bool isV1 = getVersion (*stemSource) == 1;

            for (int i = 0; i < stemSource->stems.size(); ++i)
            {
                auto* stem = stemSource->stems.getUnchecked (i);
                const bool numbered = i < numNumbered;
                files.add ({ numbered ? "stem " + juce::String (i) : "transition",
                             numbered && ! isV1 ? names->getReference (i).toString() : juce::String(),
                             juce::File (stem->getFileName()), stem->getReader() });
            }
        }

        return files;
    }

    juce::String samplesAndSeconds (juce::int64 samples)
    {
        return juce::String (samples) + " samples (" + juce::String ((double) samples / processingSampleRate, 3) + " s)";
    }

    juce::String describeFile (const StemFile& stem)
    {
        auto text = stem.file.getFileName();

        if (stem.configName.isNotEmpty() && stem.configName != text)
            text = stem.configName + " (found as " + text + ")";

        if (stem.reader == nullptr)
            return text + ": cannot be opened";

        return text + ": " + juce::String ((int) stem.reader->numChannels) + " channels, "
             + juce::String (stem.reader->sampleRate, 0) + " Hz, " + samplesAndSeconds (stem.reader->lengthInSamples);
    }

    //==============================================================================
    void printStems (const LoadedTheme& theme)
    {
        const auto files = getStemFiles (theme);

        if (auto* v3 = dynamic_cast<ThemeSourceV3*> (theme.source.get()))
        {
            printOut ("Multistem: " + (files.isEmpty() ? getMultistemName (*v3) + ": not loaded"
                                                        : describeFile (files.getFirst())));

            const int numChannels = v3->multistemSource != nullptr ? v3->multistemSource->numChannels : 0;
            printOut ("Stems: " + juce::String (numChannels / 2) + " (channel pairs of the multistem file)");

            for (int k = 0; k < numChannels / 2; ++k)
                printOut ("  stem " + juce::String (k) + ": channels " + juce::String (2 * k) + ", " + juce::String (2 * k + 1));

            if (numChannels % 2 != 0)
                printOut ("  channel " + juce::String (numChannels - 1) + ": unused (no pair)");

            return;
        }

        printOut ("Stems: " + juce::String (files.size()));

        for (const auto& stem : files)
            printOut ("  " + stem.label + ": " + describeFile (stem));
    }

    void printLengths (const ThemeSource& source)
    {
        if (getVersion (source) == 1)
        {
            printOut ("Loop: each stem loops its whole file");
            return;
        }

        const auto& p = source.properties;
        printOut ("Clean start: " + samplesAndSeconds (p.loopStart));
        printOut ("Loop: " + samplesAndSeconds (p.loopLength));
        printOut ("Ending: " + samplesAndSeconds (p.loopEnding) + (p.loopEndingEnabled ? ", enabled" : ", not enabled"));
        printOut ("Total: " + samplesAndSeconds (p.loopStart + p.loopLength + p.loopEnding));
    }

    void printPatterns (const ThemeSource& source)
    {
        printOut ("Patterns:");
        bool any = false;

        for (int i = 0; i < ThemeMixVolumes::numPatterns; ++i)
        {
            const auto& stems = source.mixVolumes.patternStems[(size_t) i];

            if (stems.empty())
                continue;

            const std::set<int> sorted (stems.begin(), stems.end());
            juce::StringArray list;

            for (int stem : sorted)
                list.add (juce::String (stem));

            printOut ("  " + ThemeMixVolumes::getInflection (i) + ": " + list.joinIntoString (", "));
            any = true;
        }

        if (! any)
            printOut ("  (none)");
    }

    int runInfo (const Options& options, CollectingLogger& logger)
    {
        if (const auto problem = describeUnusableFolder (options.folder); problem.isNotEmpty())
        {
            printError (juce::String (toolName) + ": " + problem);
            return exitProblem;
        }

        const auto theme = loadTheme (options.folder, options.extension, logger);

        if (theme.source == nullptr)
        {
            printError (juce::String (toolName) + ": the theme's configuration cannot be used: " + options.folder.getFullPathName());
            return exitProblem;
        }

        const auto& source = *theme.source;
        printOut ("Theme: " + theme.name);
        printOut ("Folder: " + theme.folder.getFullPathName());
        printOut ("Version: " + juce::String (getVersion (source)));
        printOut (juce::String ("Loaded: ") + (source.initialised ? "yes" : "no"));
        printStems (theme);
        printLengths (source);
        printPatterns (source);

        printOut ("Loading messages:" + juce::String (theme.log.isEmpty() ? " none" : ""));

        for (const auto& line : theme.log)
            printOut ("  " + line);

        return exitOk;
    }

    //==============================================================================
    /** What is wrong with a loaded theme: problems fail the check, warnings do not. */
    struct CheckResult
    {
        juce::StringArray problems;
        juce::StringArray warnings;
    };

    void checkStemFile (const StemFile& stem, const ThemeSource& source, CheckResult& result)
    {
        const auto name = stem.label + " (" + stem.file.getFileName() + ")";

        if (stem.reader == nullptr)
        {
            result.problems.add (name + " cannot be opened");
            return;
        }

        if (stem.reader->sampleRate != processingSampleRate)
            result.problems.add (name + " is at " + juce::String (stem.reader->sampleRate, 0)
                                 + " Hz; stems play unresampled at 48000 Hz");

        if (getVersion (source) == 1)
            return;

        // The take must hold all three sections; the conversion pads the multistem file by up
        // to 1023 frames, so only more than that is worth a warning.
        const auto& p = source.properties;
        const auto expected = p.loopStart + p.loopLength + p.loopEnding;
        const auto length = stem.reader->lengthInSamples;

        if (length < expected)
            result.problems.add (name + " has " + juce::String (length) + " samples, fewer than clean start + loop + ending = "
                                 + juce::String (expected));
        else if (length >= expected + 1024)
            result.warnings.add (name + " has " + juce::String (length) + " samples, more than clean start + loop + ending = "
                                 + juce::String (expected));
    }

    CheckResult checkTheme (const LoadedTheme& theme)
    {
        CheckResult result;
        const auto& source = *theme.source;

        if (! source.initialised)
            result.problems.add ("the theme does not load completely");

        if (auto* v3 = dynamic_cast<const ThemeSourceV3*> (&source))
        {
            // The loader says nothing when the multistem file is missing.
            const auto name = getMultistemName (*v3);

            if (name.isEmpty() || ! theme.folder.getChildFile (name).existsAsFile())
                result.problems.add ("multistem file is missing: \"" + name + "\"");
            else if (v3->multistemSource != nullptr && v3->multistemSource->getReader() != nullptr
                     && v3->multistemSource->numChannels < 2)
                result.problems.add ("the multistem file has fewer than 2 channels: no stem");
        }

        for (const auto& stem : getStemFiles (theme))
            checkStemFile (stem, source, result);

        const auto& masks = source.mixVolumes.stemMasks;

        for (size_t i = 0; i < masks.size(); ++i)
            if (masks[i] == 0)
                result.warnings.add ("stem " + juce::String ((int) i) + " is in no pattern: it is always silent");

        return result;
    }

    int runCheck (const Options& options, CollectingLogger& logger)
    {
        if (const auto problem = describeUnusableFolder (options.folder); problem.isNotEmpty())
        {
            printError (problem);
            return exitProblem;
        }

        const auto theme = loadTheme (options.folder, options.extension, logger);

        if (theme.source == nullptr)
        {
            printError ("the theme's configuration cannot be used: " + options.folder.getFullPathName());
            return exitProblem;
        }

        // The loader's own lines say why a theme did not load or which stem is off.
        for (const auto& line : theme.log)
            printError (line);

        const auto result = checkTheme (theme);

        for (const auto& warning : result.warnings)
            printError ("warning: " + warning);

        for (const auto& problem : result.problems)
            printError (problem);

        if (! result.problems.isEmpty())
            return exitProblem;

        printOut (theme.name + ": ok (version " + juce::String (getVersion (*theme.source)) + ", "
                  + juce::String (getNumStems (*theme.source)) + " stems)");
        return exitOk;
    }

    //==============================================================================
    /** A file name in the folder for the multistem file that no existing file has. */
    juce::File chooseMultistemFile (const juce::File& folder, const juce::String& extension)
    {
        auto file = folder.getChildFile ("multistem." + extension);

        for (int n = 1; file.exists(); ++n)
            file = folder.getChildFile ("multistem-" + juce::String (n) + "." + extension);

        return file;
    }

    /** The writer quality option index for each format: lossless formats at their default,
        Ogg Vorbis high, since the stems may already be lossy. */
    int getQualityOptionIndex (const juce::String& format)
    {
        if (format == "flac") return 5;
        if (format == "ogg")  return 8;
        return 0;
    }

    /** Whether the format can write a 48000 Hz, 24-bit file of that many channels. */
    bool canWriteChannels (const juce::String& format, int numChannels)
    {
        juce::AudioFormatManager formats;
        formats.registerBasicFormats();
        auto* audioFormat = formats.findFormatForFileExtension (format);

        if (audioFormat == nullptr)
            return false;

        auto stream = std::make_unique<juce::MemoryOutputStream>();
        std::unique_ptr<juce::AudioFormatWriter> writer (audioFormat->createWriterFor (stream.get(), processingSampleRate,
                                                                                      (unsigned int) numChannels, 24, {},
                                                                                      getQualityOptionIndex (format)));
        if (writer == nullptr)
            return false;

        stream.release();   // the writer owns it now
        return true;
    }

    /** Why a loaded theme cannot be converted: one line, empty when it can. */
    juce::String describeUnconvertible (const LoadedTheme& theme, const Options& options)
    {
        if (getVersion (*theme.source) == 1)
            return "cannot convert a version-1 theme automatically";

        if (! theme.source->initialised)
            return "the theme does not load completely; run 'quilvarn-theme check' to see why";

        for (const auto& stem : getStemFiles (theme))
            if (stem.reader == nullptr)
                return stem.label + " (" + stem.file.getFileName() + ") cannot be opened: it would be lost";

        const auto& masks = theme.source->mixVolumes.stemMasks;
        const int numChannels = 2 * (int) std::set<int> (masks.begin(), masks.end()).size();

        if (! canWriteChannels (options.format, numChannels))
            return options.format + " cannot hold " + juce::String (numChannels) + " channels; try --format wav";

        return {};
    }

    int runConvert (const Options& options, CollectingLogger& logger)
    {
        if (const auto problem = describeUnusableFolder (options.folder); problem.isNotEmpty())
        {
            printError (juce::String (toolName) + ": " + problem);
            return exitProblem;
        }

        auto theme = loadTheme (options.folder, options.extension, logger);

        if (theme.source == nullptr)
        {
            printError (juce::String (toolName) + ": the theme's configuration cannot be used: " + options.folder.getFullPathName());
            return exitProblem;
        }

        if (getVersion (*theme.source) == 3)
        {
            printOut (theme.name + " is already version 3: nothing to do");
            return exitOk;
        }

        if (const auto reason = describeUnconvertible (theme, options); reason.isNotEmpty())
        {
            printError (juce::String (toolName) + ": " + theme.name + ": " + reason);
            return exitProblem;
        }

        const auto outputFile = chooseMultistemFile (options.folder, options.format);
        const auto result = theme.source->convertToV3 (outputFile, getQualityOptionIndex (options.format),
                                                       options.format, options.dryRun);

        for (const auto& line : logger.takeLines())
            printOut (line);

        if (result.failed())
        {
            printError (juce::String (toolName) + ": " + theme.name + ": conversion failed: " + result.getErrorMessage());
            return exitProblem;
        }

        if (options.dryRun)
            printOut ("Dry run: would write " + outputFile.getFileName() + " and a version-3 config.json; nothing changed");
        else
            printOut ("Converted " + theme.name + " to version 3: wrote " + outputFile.getFileName() + " and config.json");

        return exitOk;
    }

    //==============================================================================
    int runCommand (const juce::String& command, const juce::StringArray& args)
    {
        struct Command { const char* name; const char* help; int (*run) (const Options&, CollectingLogger&); };

        static const Command commands[] = {
            { "info",    infoHelp,    runInfo },
            { "check",   checkHelp,   runCheck },
            { "convert", convertHelp, runConvert },
        };

        for (const auto& entry : commands)
        {
            if (command != entry.name)
                continue;

            Options options;
            options.command = command;

            if (const auto error = parseCommandArguments (args, options); error.isNotEmpty())
                return usageError (error);

            if (options.help)
            {
                std::cout << entry.help;
                return exitOk;
            }

            CollectingLogger logger;
            return entry.run (options, logger);
        }

        return usageError ("unknown command: " + command);
    }
}

int main (int argc, char** argv)
{
    juce::StringArray args;

    for (int i = 1; i < argc; ++i)
        args.add (juce::String::fromUTF8 (argv[i]));

    if (args.isEmpty())
        return usageError ("no command given");

    const auto command = args[0];
    args.remove (0);

    if (command == "-h" || command == "--help")
    {
        std::cout << mainHelp;
        return exitOk;
    }

    return runCommand (command, args);
}
