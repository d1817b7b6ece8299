#include "themes/ThemeSource.h"
#include "themes/StemSource.h"
#include "themes/ThemeSourceV1.h"
#include "themes/ThemeSourceV2.h"
#include "themes/ThemeSourceV3.h"
#include "themes/XLoopSource.h"

#include "AudioFixtures.h"
#include "TestSupport.h"
#include "ThemeFixtures.h"

#include <gtest/gtest.h>

using namespace QVAudioEngineV4;

namespace
{
    // Stem files are laid out as a 1000-sample clean start, a 2000-sample loop and a 500-sample
    // ending unless a case says otherwise.
    constexpr int stemFrames = 3500;
    const char* const loopKeys = R"("Loop": {"clean_start_length": 1000, "loop_length": 2000, "ending_length": 500})";

    using FolderWriter = std::function<void (const juce::File& folder)>;

    void writeConfigText (const juce::File& folder, const juce::String& text)
    {
        EXPECT_TRUE (folder.createDirectory().wasOk());
        EXPECT_TRUE (folder.getChildFile ("config.json").replaceWithText (text));
    }

    /** A config.json of the given text plus stem files written by the extra writer. */
    FolderWriter configAnd (const juce::String& text, const FolderWriter& files = {})
    {
        return [=] (const juce::File& folder)
        {
            writeConfigText (folder, text);

            if (files)
                files (folder);
        };
    }

    FolderWriter stereoStem (const juce::String& name, int frames = stemFrames)
    {
        return [=] (const juce::File& folder) { EXPECT_TRUE (qvtest::writeStemWav (folder.getChildFile (name), 0, frames)); };
    }

    FolderWriter multistem (const juce::String& name, int numStems)
    {
        return [=] (const juce::File& folder)
        {
            EXPECT_TRUE (qvtest::writeMultistemWav (folder.getChildFile (name), numStems, stemFrames));
        };
    }

    FolderWriter textFile (const juce::String& name)
    {
        return [=] (const juce::File& folder) { EXPECT_TRUE (folder.getChildFile (name).replaceWithText ("not audio")); };
    }

    FolderWriter emptyFile (const juce::String& name)
    {
        return [=] (const juce::File& folder) { EXPECT_TRUE (folder.getChildFile (name).create().wasOk()); };
    }

    /** An Ogg Vorbis stem of a quiet sine, 48000 Hz. */
    FolderWriter oggStem (const juce::String& name, int frames = stemFrames)
    {
        return [=] (const juce::File& folder)
        {
            EXPECT_TRUE (qvtest::writeOggVorbis (folder.getChildFile (name), 2, frames,
                                                 [] (int i, int c) { return 0.25f * std::sin (0.01f * (float) (i + 100 * c)); }));
        };
    }

    enum class Outcome { null, uninitialised, loaded };

    struct Loaded
    {
        qvtest::TempFolder temp;
        juce::File folder = temp.getChildFile ("Theme");
        std::unique_ptr<ThemeSource> source;
        juce::StringArray log;

        Loaded (const FolderWriter& write, const juce::String& audioExtension = "wav")
        {
            write (folder);
            AudioSettings settings;
            settings.audioExtension = audioExtension;

            qvtest::LogCapture capture;
            source = ThemeSource::createThemeSource ("Theme", folder.getChildFile ("config.json"), settings);
            log = capture.getLines();
        }

        template <typename Layout>
        Layout& as()
        {
            auto* layout = dynamic_cast<Layout*> (source.get());

            if (layout == nullptr)
                throw std::runtime_error ("the source is not of the expected layout");

            return *layout;
        }
    };

    int versionOf (const ThemeSource* source)
    {
        if (dynamic_cast<const ThemeSourceV3*> (source) != nullptr) return 3;
        if (dynamic_cast<const ThemeSourceV2*> (source) != nullptr) return 2;
        if (dynamic_cast<const ThemeSourceV1*> (source) != nullptr) return 1;
        return 0;
    }

    juce::StringArray stemFileNames (const StemFileThemeSource& source)
    {
        juce::StringArray names;

        for (auto* stem : source.stems)
            names.add (juce::File (stem->getFileName()).getFileName());

        return names;
    }

    bool rendersSilence (ThemeSourceV3& source)
    {
        source.properties.realtime = false;
        source.prepareToPlay (512, 48000.0);
        source.setNextReadPosition (0);
        juce::AudioBuffer<float> out (2, 2048);

        for (int i = 0; i < 2048; i += 512)
            source.getNextAudioBlock (juce::AudioSourceChannelInfo (&out, i, 512));

        for (int c = 0; c < 2; ++c)
            for (int i = 0; i < 2048; ++i)
                if (out.getSample (c, i) != 0.0f)
                    return false;

        return true;
    }
}

//==============================================================================
TEST (ThemeSourceFactory, EveryOutcomeOfLoadingWithItsLogLine)
{
    struct Case
    {
        const char* what;
        FolderWriter write;
        Outcome outcome;
        int version;                     // of the source, when there is one
        juce::StringArray log;           // every line logged while loading
        std::function<void (ThemeSource&)> check = {};
    };

    const juce::String v2 = R"("version": 2, )";
    const juce::String v3 = R"("version": 3, "multistem": "multi.wav", )";

    const Case cases[] {
        // The configuration cannot be used at all.
        { "config.json missing", [] (const juce::File& f) { EXPECT_TRUE (f.createDirectory().wasOk()); }, Outcome::null, 0, {} },
        { "config.json not JSON", configAnd ("{ \"version\": "), Outcome::null, 0, {} },
        { "config.json a folder", [] (const juce::File& f) { EXPECT_TRUE (f.getChildFile ("config.json").createDirectory().wasOk()); },
          Outcome::null, 0, {} },
        { "config a JSON array", configAnd (R"([{"version": 3}])", multistem ("multi.wav", 1)), Outcome::null, 0, {} },
        { "config a number", configAnd ("3"), Outcome::null, 0, {} },
        { "config a string", configAnd (R"("version")"), Outcome::null, 0, {} },
        { "theme folder a file", [] (const juce::File& f) { EXPECT_TRUE (f.replaceWithText ("{\"version\": 3}")); },
          Outcome::null, 0, {} },
        { "no version", configAnd (R"({"multistem": "multi.wav", )" + juce::String (loopKeys) + "}", multistem ("multi.wav", 1)),
          Outcome::null, 0, {} },
        { "version 4", configAnd (R"({"version": 4, "multistem": "multi.wav", )" + juce::String (loopKeys) + "}",
                                  multistem ("multi.wav", 1)),
          Outcome::null, 0, {} },
        { "version 0", configAnd (R"({"version": 0, "files": []})"), Outcome::null, 0, {} },

        // Version given as a string.
        { "version \"3\" as a string", configAnd (R"({"version": "3", "multistem": "multi.wav", )" + juce::String (loopKeys) + "}",
                                                  multistem ("multi.wav", 1)),
          Outcome::loaded, 3, {} },

        // Version 2.
        { "V2 files not an array", configAnd ("{" + v2 + R"("files": "Bass.wav", )" + loopKeys + "}", stereoStem ("Bass.wav")),
          Outcome::uninitialised, 2, { "V2 config Error: no valid files array" } },
        { "V2 without files", configAnd ("{" + v2 + loopKeys + "}"),
          Outcome::uninitialised, 2, { "V2 config Error: no valid files array" } },
        { "V2 loop length 0", configAnd ("{" + v2 + R"("files": ["Bass.wav"], "Loop": {"clean_start_length": 1000, "loop_length": 0}})",
                                         stereoStem ("Bass.wav")),
          Outcome::uninitialised, 2, { "V2 config Error: loop length is invalid" } },
        { "V2 without loop keys", configAnd ("{" + v2 + R"("files": ["Bass.wav"]})", stereoStem ("Bass.wav")),
          Outcome::uninitialised, 2, { "V2 config Error: loop length is invalid" } },
        { "V2 stem missing by name and both wildcards",
          configAnd ("{" + v2 + R"("files": ["Bass.wav", "Drums.wav"], )" + loopKeys + "}", stereoStem ("Bass.wav")),
          Outcome::uninitialised, 2, { "Loading failed: \"Theme\" is missing stem: \"Drums.wav\"" },
          [] (ThemeSource& s) { EXPECT_EQ (dynamic_cast<ThemeSourceV2&> (s).stems.size(), 1); } },
        { "V2 empty stem name, nothing numbered", configAnd ("{" + v2 + R"("files": [""], )" + loopKeys + "}", stereoStem ("Bass.wav")),
          Outcome::uninitialised, 2, { "Loading failed: \"Theme\" is missing stem: \"\"" } },
        { "V2 stem length differs from the loop keys",
          configAnd ("{" + v2 + R"("files": ["Bass.wav"], )" + loopKeys + "}", stereoStem ("Bass.wav", 2500)),
          Outcome::loaded, 2, { "Loop verify: Bass.wav3500 should be 2500" } },
        { "V2 unreadable stem", configAnd ("{" + v2 + R"("files": ["x.wav", "Bass.wav"], )" + loopKeys + "}",
                                           [] (const juce::File& f) { textFile ("x.wav") (f); stereoStem ("Bass.wav") (f); }),
          Outcome::loaded, 2, {},
          [] (ThemeSource& s)
          {
              auto& stems = dynamic_cast<ThemeSourceV2&> (s).stems;
              ASSERT_EQ (stems.size(), 2);
              EXPECT_EQ (stems[0]->getReader(), nullptr);
              EXPECT_NE (stems[1]->getReader(), nullptr);
          } },

        // Version 3.
        { "V3 loop length 0", configAnd ("{" + v3 + R"("Loop": {"loop_length": 0}})", multistem ("multi.wav", 1)),
          Outcome::uninitialised, 3, { "V3 config Error: loop length is invalid" } },
        { "V3 multistem file missing", configAnd ("{" + v3 + loopKeys + "}"), Outcome::uninitialised, 3, {},
          [] (ThemeSource& s) { EXPECT_EQ (dynamic_cast<ThemeSourceV3&> (s).multistemSource, nullptr); } },
        { "V3 without \"multistem\" reads \"unknown\"",
          configAnd (R"({"version": 3, )" + juce::String (loopKeys) + "}", multistem ("unknown", 2)),
          Outcome::loaded, 3, {},
          [] (ThemeSource& s)
          {
              // Found and used, though without an audio extension no format reads it.
              auto& source = dynamic_cast<ThemeSourceV3&> (s);
              ASSERT_NE (source.multistemSource, nullptr);
              EXPECT_TRUE (source.multistemSource->getFileName().endsWith ("/unknown"));
              EXPECT_EQ (source.getNumStems(), 1);
          } },
        { "V3 unreadable multistem", configAnd ("{" + v3 + loopKeys + "}", textFile ("multi.wav")), Outcome::loaded, 3, {},
          [] (ThemeSource& s)
          {
              auto& source = dynamic_cast<ThemeSourceV3&> (s);
              EXPECT_EQ (source.getNumStems(), 1);   // the stem source keeps its default of 2 channels
              EXPECT_EQ (source.getSourceLength(), 0);
              EXPECT_TRUE (rendersSilence (source));
          } },
        { "V3 empty multistem file", configAnd ("{" + v3 + loopKeys + "}", emptyFile ("multi.wav")), Outcome::loaded, 3, {},
          [] (ThemeSource& s) { EXPECT_TRUE (rendersSilence (dynamic_cast<ThemeSourceV3&> (s))); } },
        { "V3 multistem of no frames", configAnd ("{" + v3 + loopKeys + "}",
                                                  [] (const juce::File& f) { EXPECT_TRUE (qvtest::writeEmptyWav (f.getChildFile ("multi.wav"), 2)); }),
          Outcome::loaded, 3, {},
          [] (ThemeSource& s)
          {
              auto& source = dynamic_cast<ThemeSourceV3&> (s);
              EXPECT_EQ (source.getNumStems(), 0);
              EXPECT_TRUE (source.lastVolumes.empty());
              EXPECT_TRUE (rendersSilence (source));
          } },

        // Version 1.
        { "V1 numbered stem missing", configAnd (R"({"version": 1, "files": ["a", "b"]})", stereoStem ("01.wav")),
          Outcome::loaded, 1, {},
          [] (ThemeSource& s)
          {
              auto& stems = dynamic_cast<ThemeSourceV1&> (s).stems;
              ASSERT_EQ (stems.size(), 2);
              EXPECT_NE (stems[0]->getReader(), nullptr);
              EXPECT_EQ (stems[1]->getReader(), nullptr);
          } },
        { "V1 without files", configAnd (R"({"version": 1})"), Outcome::loaded, 1, {},
          [] (ThemeSource& s) { EXPECT_EQ (dynamic_cast<ThemeSourceV1&> (s).stems.size(), 0); } },
    };

    for (const auto& tc : cases)
    {
        SCOPED_TRACE (tc.what);
        Loaded loaded (tc.write);

        EXPECT_EQ (loaded.log, tc.log);

        if (tc.outcome == Outcome::null)
        {
            EXPECT_EQ (loaded.source, nullptr);
            continue;
        }

        ASSERT_NE (loaded.source, nullptr);
        EXPECT_EQ (versionOf (loaded.source.get()), tc.version);
        EXPECT_EQ (loaded.source->initialised, tc.outcome == Outcome::loaded);
        EXPECT_EQ (loaded.source->themeName, "Theme");
        EXPECT_EQ (loaded.source->folderPath, loaded.folder.getFullPathName());

        if (tc.check)
            tc.check (*loaded.source);
    }
}

//==============================================================================
TEST (ThemeSourceFactory, V1UsesNumberedStemsWhateverTheFilesSay)
{
    Loaded loaded (configAnd (R"({"version": 1, "files": ["x.ogg", 5, null, "", "a", "b", "c", "d", "e", "f", "g", "h"],
                                  "Patterns": {"AAA": [0, 11]}})",
                              [] (const juce::File& f) { oggStem ("01.ogg") (f); oggStem ("12.ogg") (f); }),
                   "ogg");
    auto& source = loaded.as<ThemeSourceV1>();
    EXPECT_TRUE (source.initialised);

    juce::StringArray expected;

    for (int k = 1; k <= 12; ++k)
        expected.add (juce::String (k).paddedLeft ('0', 2) + ".ogg");

    EXPECT_EQ (stemFileNames (source), expected);
    EXPECT_EQ (source.stems[0]->getFileName(), loaded.folder.getChildFile ("01.ogg").getFullPathName());
    std::vector<int> masks (12, 0);
    masks.front() = masks.back() = 1;   // "AAA" holds stems 0 and 11
    EXPECT_EQ (source.mixVolumes.stemMasks, masks);
    EXPECT_EQ (source.mixVolumes.volumes.size(), 12u);
}

TEST (ThemeSourceFactory, V1TransitionStemPlaysTwiceHalfAFileApart)
{
    const int transitionFrames = 9601;

    Loaded loaded (configAnd (R"({"version": 1, "files": [1, 2]})",
                              [=] (const juce::File& f)
                              {
                                  oggStem ("01.ogg") (f);
                                  oggStem ("02.ogg") (f);
                                  oggStem ("trans0.ogg", transitionFrames) (f);
                              }),
                   "ogg");
    auto& source = loaded.as<ThemeSourceV1>();
    EXPECT_TRUE (source.initialised);
    EXPECT_EQ (stemFileNames (source), (juce::StringArray { "01.ogg", "02.ogg", "trans0.ogg", "trans0.ogg" }));
    EXPECT_EQ (source.mixVolumes.stemMasks.size(), 2u);   // the transition stems have no mix entries

    auto& first = dynamic_cast<StemSource&> (*source.stems[2]);
    auto& second = dynamic_cast<StemSource&> (*source.stems[3]);
    ASSERT_EQ (first.getFileLength(), transitionFrames);
    EXPECT_EQ (first.getNextReadPosition(), 0);
    EXPECT_EQ (second.getNextReadPosition(), transitionFrames / 2);

    // A folder named trans0.ogg is not a transition stem.
    Loaded withFolder (configAnd (R"({"version": 1, "files": [1]})",
                                  [] (const juce::File& f) { EXPECT_TRUE (f.getChildFile ("trans0.ogg").createDirectory().wasOk()); }),
                       "ogg");
    EXPECT_EQ (withFolder.as<ThemeSourceV1>().stems.size(), 1);
}

TEST (ThemeSourceFactory, V2WildcardsFindTheFirstMatchByName)
{
    struct Case { const char* what; const char* files; juce::StringArray present; const char* expected; };

    const Case cases[] {
        { "another extension", R"(["Bass.wav"])", { "Bass.ogg" }, "Bass.ogg" },
        { "several extensions", R"(["Bass.wav"])", { "Bass.ogg", "Bass.flac", "Bass.aiff", "Bassline.ogg" }, "Bass.aiff" },
        { "stem number after the name", R"(["Gone.wav"])", { "01_bass.ogg", "01.ogg", "01a.ogg" }, "01.ogg" },
        { "empty name, stem number", R"([""])", { "01b.ogg", "01a.ogg" }, "01a.ogg" },
        { "the name before the number", R"(["Bass.wav"])", { "01.ogg", "Bass.ogg" }, "Bass.ogg" },
    };

    for (const auto& tc : cases)
    {
        SCOPED_TRACE (tc.what);
        Loaded loaded (configAnd (R"({"version": 2, "files": )" + juce::String (tc.files) + ", " + loopKeys + "}",
                                  [&] (const juce::File& f)
                                  {
                                      for (const auto& name : tc.present)
                                          oggStem (name) (f);
                                  }),
                       "ogg");
        auto& source = loaded.as<ThemeSourceV2>();
        EXPECT_TRUE (source.initialised);
        EXPECT_EQ (loaded.log, juce::StringArray());
        EXPECT_EQ (stemFileNames (source), juce::StringArray (tc.expected));

        if (! juce::String (tc.expected).endsWith (".ogg"))
            continue;   // Ogg Vorbis data under another extension is not read

        // The Ogg Vorbis stem opens with its full length.
        auto* reader = source.stems[0]->getReader();
        ASSERT_NE (reader, nullptr);
        EXPECT_EQ (reader->lengthInSamples, stemFrames);
    }
}

TEST (ThemeSourceFactory, LoopKeysComeFromEffectsOnlyWithACleanStart)
{
    struct Case
    {
        const char* what;
        const char* keys;
        juce::int64 C, L, N;
        bool endingEnabled;
    };

    const Case cases[] {
        { "Effects without a clean start: Loop's keys apply, Effects' own stay",
          R"("Effects": {"loop_length": 5, "ending_enabled": true},
             "Loop": {"clean_start_length": 1000, "loop_length": 2000, "ending_length": 500})",
          1000, 2000, 500, true },
        { "Effects with a clean start: Loop is not read",
          R"("Effects": {"clean_start_length": 10, "loop_length": 20},
             "Loop": {"clean_start_length": 1000, "loop_length": 2000, "ending_length": 500, "ending_enabled": true})",
          10, 20, 0, false },
        { "Effects not an object", R"("Effects": 7, "Loop": {"clean_start_length": 1, "loop_length": 2, "ending_length": 3})",
          1, 2, 3, false },
    };

    for (const auto& tc : cases)
    {
        SCOPED_TRACE (tc.what);

        for (const int version : { 2, 3 })
        {
            const auto config = R"({"version": )" + juce::String (version)
                              + R"(, "files": ["Bass.wav"], "multistem": "Bass.wav", )" + tc.keys + "}";
            Loaded loaded (configAnd (config, stereoStem ("Bass.wav")));
            ASSERT_NE (loaded.source, nullptr);
            EXPECT_TRUE (loaded.source->initialised);

            const auto& p = loaded.source->properties;
            EXPECT_EQ (p.loopStart, tc.C) << "version " << version;
            EXPECT_EQ (p.loopLength, tc.L) << "version " << version;
            EXPECT_EQ (p.loopEnding, tc.N) << "version " << version;
            EXPECT_EQ (p.loopEndingEnabled, tc.endingEnabled) << "version " << version;
        }
    }
}

TEST (ThemeSourceFactory, V3SixChannelMultistemHasThreeStems)
{
    Loaded loaded (configAnd (R"({"version": 3, "multistem": "multi.wav", "Patterns": {"AAA": [0, 1]},
                                  "Mixer": {"SimpleMode": true}, )" + juce::String (loopKeys) + "}",
                              multistem ("multi.wav", 3)));
    auto& source = loaded.as<ThemeSourceV3>();
    EXPECT_TRUE (source.initialised);
    EXPECT_EQ (loaded.log, juce::StringArray());

    ASSERT_NE (source.multistemSource, nullptr);
    EXPECT_EQ (source.multistemSource->numChannels, 6);
    EXPECT_EQ (source.multistemSource->getFileName(), loaded.folder.getChildFile ("multi.wav").getFullPathName());
    EXPECT_EQ (source.multistemSource->getNextReadPosition(), 0);
    EXPECT_EQ (source.getNumStems(), 3);
    EXPECT_EQ (source.lastVolumes, (std::vector<float> { 0.0f, 0.0f, 0.0f }));
    EXPECT_EQ (source.mixVolumes.stemMasks, (std::vector<int> { 1, 1, 0 }));
    EXPECT_EQ (source.mixVolumes.volumes, (std::vector<double> { 0.0, 0.0, 0.0 }));
    EXPECT_TRUE (source.mixVolumes.simpleMode);
    EXPECT_FALSE (source.mixVolumes.equalGain);
    EXPECT_EQ (source.getSourceLength(), stemFrames);
    EXPECT_TRUE (source.config.isObject());
}
