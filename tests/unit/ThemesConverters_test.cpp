#include "themes/ThemesConverters.h"
#include "themes/ThemeSourceV2.h"
#include "themes/ThemeSourceV3.h"
#include "themes/XLoopSource.h"

#include "AudioFixtures.h"
#include "TestSupport.h"
#include "ThemeFixtures.h"

#include <gtest/gtest.h>

#include <map>

using namespace QVAudioEngineV4;

namespace
{
    /** Every file under the folder (hidden ones too) with its bytes. */
    using FolderSnapshot = std::map<juce::String, juce::MemoryBlock>;

    FolderSnapshot snapshot (const juce::File& folder)
    {
        FolderSnapshot files;

        for (const auto& file : folder.findChildFiles (juce::File::findFiles, true, "*"))
        {
            juce::MemoryBlock bytes;
            file.loadFileAsData (bytes);
            files[file.getRelativePathFrom (folder)] = bytes;
        }

        return files;
    }

    void expectSameFolder (const FolderSnapshot& before, const FolderSnapshot& after)
    {
        for (const auto& [name, bytes] : before)
        {
            const auto found = after.find (name);

            if (found == after.end())
                ADD_FAILURE() << name << " is gone";
            else if (found->second != bytes)
                ADD_FAILURE() << name << " changed";
        }

        for (const auto& entry : after)
            if (before.count (entry.first) == 0)
                ADD_FAILURE() << entry.first << " appeared";
    }

    /** One stem of a generated version-2 theme. Stems in .ogg hold a soft tone, others the
        indexed samples of their stem number. */
    struct StemSpec
    {
        juce::String fileName;
        int mask;
        int length;
    };

    /** A version-2 theme folder with the stems, their patterns from the masks, loop keys in
        "Loop" and extra keys that a conversion must carry over. */
    struct V2Folder
    {
        qvtest::TempFolder temp;
        juce::File folder;
        std::vector<StemSpec> stems;
        std::unique_ptr<ThemeSourceV2> source;

        V2Folder (const juce::String& name, std::vector<StemSpec> stemSpecs)
            : folder (temp.getChildFile (name)), stems (std::move (stemSpecs))
        {
            folder.createDirectory();

            for (size_t i = 0; i < stems.size(); ++i)
                EXPECT_TRUE (writeStem (folder.getChildFile (stems[i].fileName), (int) i, stems[i].length));

            EXPECT_TRUE (qvtest::writeThemeConfig (folder, makeConfig()));

            // The stems differ in length from the loop keys on purpose: keep the loader's
            // notes about it out of the test output.
            qvtest::LogCapture loaderNotes;
            auto loaded = ThemeSource::createThemeSource (name, folder.getChildFile ("config.json"), {});
            source.reset (dynamic_cast<ThemeSourceV2*> (loaded.release()));
            EXPECT_NE (source, nullptr);
        }

        static bool writeStem (const juce::File& file, int index, int length)
        {
            if (file.hasFileExtension ("ogg"))
                return qvtest::writeOggVorbis (file, 2, length, [index] (int frame, int channel)
                {
                    return 0.2f * std::sin ((float) frame * 0.01f * (float) (index + 1) + (float) channel);
                });

            return qvtest::writeStemWav (file, index, length);
        }

        juce::var makeConfig() const
        {
            juce::Array<juce::var> files;
            auto* patterns = new juce::DynamicObject();
            juce::var patternsVar (patterns);

            for (const auto& stem : stems)
                files.add (stem.fileName);

            for (int bit = 0; bit < ThemeMixVolumes::numPatterns; ++bit)
            {
                juce::Array<juce::var> list;

                for (size_t i = 0; i < stems.size(); ++i)
                    if ((stems[i].mask & (1 << bit)) != 0)
                        list.add ((int) i);

                if (! list.isEmpty())
                    patterns->setProperty (ThemeMixVolumes::getInflection (bit), list);
            }

            auto config = qvtest::parseJSON (R"({"version": 2,
                "Loop": {"clean_start_length": 0, "loop_length": 1000, "ending_length": 0},
                "Effects": {"note": "kept"}, "Mixer": {"EqualGain": true}, "customKey": [1, "two"]})");
            config.getDynamicObject()->setProperty (Prop::themeFiles, files);
            config.getDynamicObject()->setProperty (Prop::themePatterns, patternsVar);
            return config;
        }

        /** The samples of stem i as its file decodes. */
        juce::AudioBuffer<float> decodedStem (size_t i) const
        {
            return qvtest::readWholeFile (folder.getChildFile (stems[i].fileName));
        }

        /** Channel pair k of the multistem file as it should be: the sum, in stem order, of the
            stems whose mask is masks[k], each for as long as it lasts. */
        juce::AudioBuffer<float> expectedPair (int mask, int numFrames) const
        {
            juce::AudioBuffer<float> pair (2, numFrames);
            pair.clear();

            for (size_t i = 0; i < stems.size(); ++i)
                if (stems[i].mask == mask)
                {
                    const auto stem = decodedStem (i);

                    for (int c = 0; c < 2; ++c)
                        pair.addFrom (c, 0, stem, c, 0, juce::jmin (numFrames, stem.getNumSamples()));
                }

            return pair;
        }
    };

    void expectPairs (const juce::AudioBuffer<float>& multistem, const V2Folder& theme,
                      const std::vector<int>& masks, float tolerance)
    {
        for (size_t k = 0; k < masks.size(); ++k)
        {
            const auto expected = theme.expectedPair (masks[k], multistem.getNumSamples());
            int failures = 0;

            for (int c = 0; c < 2; ++c)
                for (int i = 0; i < multistem.getNumSamples() && failures < 5; ++i)
                {
                    const auto actual = multistem.getSample (2 * (int) k + c, i);

                    if (std::abs (actual - expected.getSample (c, i)) > tolerance)
                    {
                        ADD_FAILURE() << "pair " << k << " channel " << c << " frame " << i << ": " << actual
                                      << ", expected " << expected.getSample (c, i);
                        ++failures;
                    }
                }
        }
    }

    juce::String configKeyAsJSON (const juce::var& config, const char* key)
    {
        return juce::JSON::toString (config.getProperty (key, {}), true);
    }

    /** 24-bit PCM holds the indexed samples and their sums exactly. */
    constexpr float exact = 0.0f;

    const std::vector<StemSpec> eightStems {
        { "s1.wav", 1, 2000 }, { "s2.wav", 1, 2100 }, { "s3.wav", 2, 2200 }, { "s4.wav", 4, 2300 },
        { "s5.wav", 4, 2400 }, { "s6.wav", 4, 2500 }, { "s7.wav", 8, 2600 }, { "s8.wav", 16, 2700 },
    };
}

//==============================================================================
TEST (ThemesConverters, StemsOfOneMaskShareAChannelPair)
{
    V2Folder theme ("Eight", eightStems);
    ASSERT_NE (theme.source, nullptr);
    const auto oldConfig = theme.source->config.clone();
    const auto stemFilesBefore = snapshot (theme.folder);
    const auto output = theme.folder.getChildFile ("multi.wav");

    qvtest::LogCapture log;
    const auto result = theme.source->convertToV3 (output, 0, "wav", false);
    ASSERT_TRUE (result.wasOk()) << result.getErrorMessage();

    EXPECT_TRUE (log.contains ("Eight: Unique stems: 5 Total: 8")) << log.getLines().joinIntoString ("\n");
    EXPECT_TRUE (log.contains ("Wrote: \"" + output.getFullPathName() + "\""));

    // Longest stem 2700 frames, rounded up to whole blocks of 1024.
    const auto multistem = qvtest::readWholeFile (output);
    ASSERT_EQ (multistem.getNumChannels(), 10);
    ASSERT_EQ (multistem.getNumSamples(), 3072);
    expectPairs (multistem, theme, { 1, 2, 4, 8, 16 }, exact);

    // The new configuration: one line, new patterns over the new stems, the rest carried over.
    const auto text = theme.folder.getChildFile ("config.json").loadFileAsString();
    EXPECT_FALSE (text.containsAnyOf ("\r\n"));
    const auto config = qvtest::parseJSON (text);
    EXPECT_EQ ((int) config.getProperty (Prop::themeVersion, {}), 3);
    EXPECT_EQ (config.getProperty ("multistem", {}).toString(), "multi.wav");
    EXPECT_FALSE (config.hasProperty (Prop::themeFiles));
    EXPECT_EQ (configKeyAsJSON (config, "Patterns"),
               juce::JSON::toString (qvtest::parseJSON (R"({"AAA": [0], "AAB": [1], "AAC": [2], "ABA": [3], "ABB": [4]})"), true));

    for (const auto* key : { "Loop", "Effects", "Mixer", "customKey" })
        EXPECT_EQ (configKeyAsJSON (config, key), configKeyAsJSON (oldConfig, key)) << key;

    // The old stems stay, and the loaded source is not disturbed.
    auto after = snapshot (theme.folder);

    for (const auto& [name, bytes] : stemFilesBefore)
        if (name != "config.json")
            EXPECT_TRUE (after[name] == bytes) << name;

    EXPECT_EQ (after.size(), stemFilesBefore.size() + 1) << "only the multistem file is new";

    for (auto* stem : theme.source->stems)
        EXPECT_EQ (stem->getNextReadPosition(), 0);

    // The folder now loads in the current layout.
    auto converted = ThemeSource::createThemeSource ("Eight", theme.folder.getChildFile ("config.json"), {});
    auto* v3 = dynamic_cast<ThemeSourceV3*> (converted.get());
    ASSERT_NE (v3, nullptr);
    EXPECT_TRUE (v3->initialised);
    ASSERT_NE (v3->multistemSource, nullptr);
    EXPECT_EQ (v3->multistemSource->numChannels, 10);
    EXPECT_EQ (v3->mixVolumes.stemMasks, (std::vector<int> { 1, 2, 4, 8, 16 }));
}

TEST (ThemesConverters, ShorterStemStopsContributingWhereItEnds)
{
    struct Case { const char* name; const char* extension; float tolerance; };

    // Vorbis decodes the same each time; the 24-bit file rounds the sums to its step.
    const Case cases[] {
        { "wav stems", "wav", exact },
        { "ogg stems", "ogg", 1.0e-6f },
    };

    for (const auto& tc : cases)
    {
        SCOPED_TRACE (tc.name);
        const juce::String ext (tc.extension);
        V2Folder theme ("Lengths", { { "short." + ext, 1, 1500 }, { "long." + ext, 1, 2600 }, { "other." + ext, 2, 700 } });
        ASSERT_NE (theme.source, nullptr);

        const auto output = theme.folder.getChildFile ("multi.wav");
        const auto result = theme.source->convertToV3 (output, 0, "wav", false);
        ASSERT_TRUE (result.wasOk()) << result.getErrorMessage();

        const auto multistem = qvtest::readWholeFile (output);
        ASSERT_EQ (multistem.getNumChannels(), 4);
        ASSERT_EQ (multistem.getNumSamples(), 3072);
        expectPairs (multistem, theme, { 1, 2 }, tc.tolerance);

        // The shorter stem no longer plays past its end; after the longest, silence.
        const auto longStem = theme.decodedStem (1);
        EXPECT_NEAR (multistem.getSample (0, 2000), longStem.getSample (0, 2000), tc.tolerance);
        EXPECT_EQ (multistem.getMagnitude (0, 2600, 3072 - 2600), 0.0f);
        EXPECT_EQ (multistem.getMagnitude (2, 700, 3072 - 700), 0.0f);
    }
}

TEST (ThemesConverters, WritesEveryBasicFormat)
{
    for (const auto* extension : { "wav", "aiff", "flac", "ogg" })
    {
        SCOPED_TRACE (extension);
        V2Folder theme ("Formats", { { "a.wav", 1, 1500 }, { "b.wav", 6, 2000 } });
        ASSERT_NE (theme.source, nullptr);

        const auto output = theme.folder.getChildFile ("multi." + juce::String (extension));
        const auto result = theme.source->convertToV3 (output, 5, extension, false);
        ASSERT_TRUE (result.wasOk()) << result.getErrorMessage();

        const auto multistem = qvtest::readWholeFile (output);
        EXPECT_EQ (multistem.getNumChannels(), 4);
        EXPECT_EQ (multistem.getNumSamples(), 2048);

        if (juce::String (extension) != "ogg")
            expectPairs (multistem, theme, { 1, 6 }, exact);

        auto converted = ThemeSource::createThemeSource ("Formats", theme.folder.getChildFile ("config.json"), {});
        auto* v3 = dynamic_cast<ThemeSourceV3*> (converted.get());
        ASSERT_NE (v3, nullptr);
        EXPECT_TRUE (v3->initialised);
        EXPECT_EQ (v3->getNumStems(), 2);
    }
}

TEST (ThemesConverters, DryRunOnlyReportsTheStems)
{
    V2Folder theme ("Dry", { { "a.wav", 1, 1000 }, { "b.wav", 1, 1000 }, { "c.wav", 4, 1000 } });
    ASSERT_NE (theme.source, nullptr);
    const auto before = snapshot (theme.folder);

    qvtest::LogCapture log;
    const auto result = theme.source->convertToV3 (theme.folder.getChildFile ("multi.wav"), 0, "wav", true);

    EXPECT_TRUE (result.wasOk());
    EXPECT_EQ (log.getLines(), juce::StringArray ("Dry: Unique stems: 2 Total: 3"));
    expectSameFolder (before, snapshot (theme.folder));
}

TEST (ThemesConverters, FailedConversionLeavesTheFolderAsItWas)
{
    struct Case
    {
        const char* name;
        const char* outputName;
        const char* extension;
        std::function<void (const juce::File& folder)> setUp;
        const char* expectedLine;   // null: any reason, as long as one is logged
    };

    const auto writeOld = [] (const char* fileName)
    {
        return [fileName] (const juce::File& folder) { folder.getChildFile (fileName).replaceWithText ("keep me"); };
    };

    const Case cases[] {
        { "no format for the extension", "x.abc", "abc", writeOld ("x.abc"), "Cannot write format for \"x.abc\"" },
        { "format cannot write 10 channels", "multi.flac", "flac", writeOld ("multi.flac"), nullptr },
        { "output folder missing", "missing/multi.wav", "wav", {}, nullptr },
        { "config.json cannot be replaced", "multi.wav", "wav",
          [] (const juce::File& folder)
          {
              folder.getChildFile ("multi.wav").replaceWithText ("keep me");
              folder.getChildFile ("config.json").deleteFile();
              folder.getChildFile ("config.json").createDirectory();
              folder.getChildFile ("config.json").getChildFile ("inside").replaceWithText ("blocks the rename");
          },
          nullptr },
    };

    for (const auto& tc : cases)
    {
        SCOPED_TRACE (tc.name);
        V2Folder theme ("Failing", eightStems);
        ASSERT_NE (theme.source, nullptr);

        if (tc.setUp)
            tc.setUp (theme.folder);

        const auto before = snapshot (theme.folder);

        qvtest::LogCapture log;
        const auto result = theme.source->convertToV3 (theme.folder.getChildFile (tc.outputName), 0, tc.extension, false);

        EXPECT_TRUE (result.failed());
        EXPECT_TRUE (log.contains (result.getErrorMessage())) << result.getErrorMessage();

        if (tc.expectedLine != nullptr)
            EXPECT_EQ (result.getErrorMessage(), tc.expectedLine);

        expectSameFolder (before, snapshot (theme.folder));
    }
}

TEST (ThemesConverters, ThemeThatDidNotLoadIsNotConverted)
{
    V2Folder theme ("Broken", { { "a.wav", 1, 1000 }, { "b.wav", 2, 1000 } });
    ASSERT_NE (theme.source, nullptr);

    // Loaded again with its second stem gone: the load fails part-way.
    theme.folder.getChildFile ("b.wav").deleteFile();
    auto loaded = ThemeSource::createThemeSource ("Broken", theme.folder.getChildFile ("config.json"), {});
    auto* broken = dynamic_cast<ThemeSourceV2*> (loaded.get());
    ASSERT_NE (broken, nullptr);
    ASSERT_FALSE (broken->initialised);

    const auto before = snapshot (theme.folder);
    qvtest::LogCapture log;
    EXPECT_TRUE (broken->convertToV3 (theme.folder.getChildFile ("multi.wav"), 0, "wav", false).failed());
    expectSameFolder (before, snapshot (theme.folder));
}

TEST (ThemesConverters, OtherLayoutsAreNotConverted)
{
    struct Case { const char* name; const char* config; const char* expectedLine; bool fails; };

    // Version 1 cannot be converted; version 3 has nothing to convert, which is no failure.
    const Case cases[] {
        { "version 1", R"({"version": 1, "files": [1]})", "Cannot convert automatically from V1 to V3", true },
        { "version 3", R"({"version": 3, "multistem": "01.wav", "Loop": {"clean_start_length": 0, "loop_length": 1000}})",
          "Theme is already V3 - nothing to do", false },
    };

    for (const auto& tc : cases)
    {
        SCOPED_TRACE (tc.name);
        qvtest::TempFolder temp;
        const auto folder = temp.getChildFile ("Theme");
        ASSERT_TRUE (qvtest::writeThemeConfig (folder, qvtest::parseJSON (tc.config)));
        ASSERT_TRUE (qvtest::writeStemWav (folder.getChildFile ("01.wav"), 0, 1000));

        AudioSettings settings;
        settings.audioExtension = "wav";
        auto source = ThemeSource::createThemeSource ("Theme", folder.getChildFile ("config.json"), settings);
        ASSERT_NE (source, nullptr);
        ASSERT_TRUE (source->initialised);

        const auto before = snapshot (folder);
        qvtest::LogCapture log;
        EXPECT_EQ (source->convertToV3 (folder.getChildFile ("multi.wav"), 0, "wav", false).failed(), tc.fails);
        EXPECT_EQ (log.getLines(), juce::StringArray (tc.expectedLine));
        expectSameFolder (before, snapshot (folder));
    }
}
