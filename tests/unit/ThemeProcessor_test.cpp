#include "themes/ThemeProcessor.h"

#include "AudioFixtures.h"
#include "TestSupport.h"
#include "ThemeFixtures.h"

#include <gtest/gtest.h>

using namespace QVAudioEngineV4;

namespace
{
    /** A version-3 theme of two stems: clean start 1000, loop 1500, ending 500 samples. */
    void writeTheme (const juce::File& folder, juce::var loop = {})
    {
        ASSERT_TRUE (folder.createDirectory().wasOk());
        ASSERT_TRUE (qvtest::writeMultistemWav (folder.getChildFile ("multistem.wav"), 2, 3000));

        if (loop.isVoid())
            loop = qvtest::parseJSON (R"({"clean_start_length": 1000, "loop_length": 1500, "ending_length": 500})");

        auto config = qvtest::parseJSON (R"({"version": 3, "multistem": "multistem.wav",
                                             "Patterns": {"AAA": [0], "BBB": [0, 1]}})");
        config.getDynamicObject()->setProperty (Prop::themeLoop, loop);
        ASSERT_TRUE (qvtest::writeThemeConfig (folder, config));
    }

    /** A library folder holding the theme "Theme". */
    struct Library
    {
        Library() { writeTheme (getFolder().getChildFile ("Theme")); }

        const juce::File& getFolder() const { return scratch.getFolder(); }

        qvtest::TempFolder scratch;
    };

    void addKeyFrames (ThemeProcessor& processor, const juce::Identifier& id, const juce::String& json)
    {
        auto* parameter = processor.automator.parameters.add (new ParameterAutomator::AutomatedParameter (id));
        const auto list = qvtest::parseJSON (json);
        parameter->addKeyFramesFromJSON (list.getArray(), processor.automationSampleRate);
    }

    /** Runs one block through the processor, starting from a buffer full of a marker value. */
    juce::AudioBuffer<float> processOneBlock (ThemeProcessor& processor, int numSamples = 512)
    {
        juce::AudioBuffer<float> buffer (2, numSamples);

        for (int c = 0; c < 2; ++c)
            juce::FloatVectorOperations::fill (buffer.getWritePointer (c), 0.75f, numSamples);

        juce::MidiBuffer midi;
        processor.processBlock (buffer, midi);
        return buffer;
    }

}

//==============================================================================
TEST (ThemeProcessorLoading, LoadsThemeByNameAndNamesItsProgram)
{
    Library library;
    qvtest::LogCapture log;
    ThemeProcessor processor ("Theme", library.getFolder(), "ogg");

    ASSERT_NE (processor.themeSource, nullptr);
    EXPECT_TRUE (processor.isLoaded());
    EXPECT_EQ (processor.themeSource->properties.name, "Theme");
    EXPECT_EQ (log.getLines(), juce::StringArray ("Loading theme: Theme: initialised"));

    EXPECT_EQ (processor.getName(), "Quilvarn Theme Processor");

    for (int index : { 0, 1, 7 })
        EXPECT_EQ (processor.getProgramName (index), "Theme") << index;
}

TEST (ThemeProcessorLoading, NestedFolderInsideLibraryLoads)
{
    Library library;
    writeTheme (library.getFolder().getChildFile ("Group/Inner"));
    qvtest::LogCapture log;
    ThemeProcessor processor ("Group/Inner", library.getFolder(), "ogg");

    EXPECT_TRUE (processor.isLoaded());
    EXPECT_EQ (processor.getProgramName (0), "Group/Inner");
    EXPECT_TRUE (log.contains ("Loading theme: Group/Inner: initialised"));
}

namespace
{
    struct UnsafeName { const char* name; const char* themeName; };

    class ThemeProcessorUnsafeNames : public ::testing::TestWithParam<UnsafeName> {};
}

// Names that lead out of the library load nothing, although each of them names a folder with a
// valid theme: "Outside" beside the library, and the library folder itself.
TEST_P (ThemeProcessorUnsafeNames, LoadNothing)
{
    qvtest::TempFolder scratch;
    const auto library = scratch.getChildFile ("Library");
    const auto outside = scratch.getChildFile ("Outside");
    writeTheme (outside);
    writeTheme (library);
    ASSERT_TRUE (library.getChildFile ("Sub").createDirectory().wasOk());

    auto themeName = juce::String (GetParam().themeName).replace ("OUTSIDE", outside.getFullPathName());
    qvtest::LogCapture log;
    ThemeProcessor processor (themeName, library, "ogg");

    EXPECT_EQ (processor.themeSource, nullptr);
    EXPECT_EQ (log.getLines(), juce::StringArray ("Loading theme: " + themeName + ": initialisation failed"));
}

INSTANTIATE_TEST_SUITE_P (ThemeProcessor, ThemeProcessorUnsafeNames, ::testing::Values (
    UnsafeName { "ParentFolder", "../Outside" },
    UnsafeName { "ParentAfterSubfolder", "Sub/../../Outside" },
    UnsafeName { "AbsolutePath", "OUTSIDE" },
    UnsafeName { "Empty", "" },
    UnsafeName { "Dot", "." },
    UnsafeName { "DotSlash", "./" },
    UnsafeName { "SubfolderAndBack", "Sub/.." }),
    [] (const ::testing::TestParamInfo<UnsafeName>& info) { return std::string (info.param.name); });

//==============================================================================
namespace
{
    struct FailedLoad
    {
        const char* name;
        std::function<void (const juce::File& folder)> setUp;
        bool keepsSource;   // an uninitialised source stays in place
    };

    class ThemeProcessorFailedLoads : public ::testing::TestWithParam<FailedLoad> {};
}

// A theme that did not load logs so once, plays silence and refuses nothing its owners may call.
TEST_P (ThemeProcessorFailedLoads, LogFailureAndPlaySilence)
{
    qvtest::TempFolder library;
    GetParam().setUp (library.getChildFile ("Broken"));

    qvtest::LogCapture log;
    ThemeProcessor processor ("Broken", library.getFolder(), "ogg");

    EXPECT_EQ (processor.themeSource != nullptr, GetParam().keepsSource);
    EXPECT_FALSE (processor.isLoaded());
    EXPECT_TRUE (log.contains ("Loading theme: Broken: initialisation failed"));
    EXPECT_FALSE (log.contains ("Loading theme: Broken: initialised"));

    processor.setPropertiesFromJSON (qvtest::parseJSON (R"({"startTime": 1, "endTime": 2})"));
    processor.prepareToPlay (48000.0, 512);
    processor.setNextPlaybackPosition (96000);

    for (int numSamples : { 1, 512, 4096 })
    {
        const auto buffer = processOneBlock (processor, numSamples);
        EXPECT_TRUE (qvtest::isSilent (buffer, 0, buffer.getNumSamples())) << numSamples;
        EXPECT_TRUE (buffer.hasBeenCleared()) << numSamples;
    }

    processor.releaseResources();

    if (! GetParam().keepsSource)
    {
        EXPECT_EQ (processor.getPropertiesDescription(), " no source set");
        EXPECT_EQ (processor.getProgramName (0), juce::translate ("Quilvarn"));
        EXPECT_EQ (processor.getNextPlaybackPosition(), 0);
        EXPECT_FALSE (log.getLines().joinIntoString ("\n").contains ("Setting: "));
    }
}

INSTANTIATE_TEST_SUITE_P (ThemeProcessor, ThemeProcessorFailedLoads, ::testing::Values (
    FailedLoad { "MissingFolder", [] (const juce::File&) {}, false },
    FailedLoad { "ConfigNotJSON", [] (const juce::File& folder)
        {
            ASSERT_TRUE (folder.createDirectory().wasOk());
            ASSERT_TRUE (folder.getChildFile ("config.json").replaceWithText ("{ not json"));
        }, false },
    FailedLoad { "UnknownVersion", [] (const juce::File& folder)
        {
            ASSERT_TRUE (qvtest::writeThemeConfig (folder, qvtest::parseJSON (R"({"version": 4})")));
        }, false },
    FailedLoad { "InvalidLoopLength", [] (const juce::File& folder)
        {
            writeTheme (folder, qvtest::parseJSON (R"({"clean_start_length": 0, "loop_length": 0})"));
        }, true },
    FailedLoad { "MissingMultistem", [] (const juce::File& folder)
        {
            writeTheme (folder);
            ASSERT_TRUE (folder.getChildFile ("multistem.wav").deleteFile());
        }, true }),
    [] (const ::testing::TestParamInfo<FailedLoad>& info) { return std::string (info.param.name); });

//==============================================================================
namespace
{
    struct Placement
    {
        const char* name;
        const char* track;
        juce::int64 start, length, offset;
        bool playEnding;
        const char* description;
    };

    class ThemeProcessorPlacement : public ::testing::TestWithParam<Placement> {};
}

TEST_P (ThemeProcessorPlacement, SetsTimingFromTrackAndLogsIt)
{
    const auto& c = GetParam();
    Library library;
    ThemeProcessor processor ("Theme", library.getFolder(), "ogg");
    ASSERT_TRUE (processor.isLoaded());

    qvtest::LogCapture log;
    processor.setPropertiesFromJSON (qvtest::parseJSON (c.track));

    const auto& properties = processor.themeSource->properties;
    EXPECT_EQ (properties.start.load(), c.start);
    EXPECT_EQ (properties.length.load(), c.length);
    EXPECT_EQ (properties.offset.load(), c.offset);
    EXPECT_EQ (properties.playEnding.load(), c.playEnding);
    EXPECT_EQ (processor.getPropertiesDescription(), juce::String ("Theme") + c.description);
    EXPECT_EQ (log.getLines(), juce::StringArray ("Setting: Theme" + juce::String (c.description)));
}

INSTANTIATE_TEST_SUITE_P (ThemeProcessor, ThemeProcessorPlacement, ::testing::Values (
    Placement { "Full", R"({"startTime": 10, "endTime": 70, "offset": 2, "ending": true})",
                480000, 2880000, 96000, true, " start: 480000 offset: 96000 length: 2880000 play ending" },
    Placement { "WithoutEndTime", R"({"startTime": 10})",
                480000, 0, 0, false, " start: 480000 offset: 0 length: 0 don't play ending" },
    Placement { "Empty", R"({})", 0, 0, 0, false, " start: 0 offset: 0 length: 0 don't play ending" },
    // The length is the truncated difference of the times, not the difference of truncated ends.
    Placement { "FractionsTruncate", R"({"startTime": 0.0000104, "endTime": 1.00001, "offset": 0.99999})",
                0, 47999, 47999, false, " start: 0 offset: 47999 length: 47999 don't play ending" },
    Placement { "NegativeStart", R"({"startTime": -0.5, "endTime": 1})",
                -24000, 72000, 0, false, " start: -24000 offset: 0 length: 72000 don't play ending" },
    // Beyond any real timeline: held at 2^60 samples rather than cast out of range.
    Placement { "HugeStart", R"({"startTime": 1e300})",
                juce::int64 (1) << 60, 0, 0, false, " start: 1152921504606846976 offset: 0 length: 0 don't play ending" }),
    [] (const ::testing::TestParamInfo<Placement>& info) { return std::string (info.param.name); });

//==============================================================================
TEST (ThemeProcessorPositioning, MapsTimelineToThemeTime)
{
    Library library;
    ThemeProcessor processor ("Theme", library.getFolder(), "ogg");
    ASSERT_TRUE (processor.isLoaded());
    processor.setPropertiesFromJSON (qvtest::parseJSON (R"({"startTime": 10, "endTime": 70, "offset": 2})"));

    processor.setNextPlaybackPosition (480000);
    EXPECT_EQ (processor.themeSource->getNextReadPosition(), 0);
    EXPECT_EQ (processor.getNextPlaybackPosition(), 480000 - 96000);

    processor.setNextPlaybackPosition (480000 + 1000);
    EXPECT_EQ (processor.themeSource->getNextReadPosition(), 1000);
    EXPECT_EQ (processor.getNextPlaybackPosition(), 480000 + 1000 - 96000);

    // Before the track's start the theme position is negative.
    processor.setNextPlaybackPosition (48000);
    EXPECT_EQ (processor.themeSource->getNextReadPosition(), 48000 - 480000);
}

TEST (ThemeProcessorPreparation, MarksOfflineRenderingNotRealtime)
{
    Library library;
    ThemeProcessor processor ("Theme", library.getFolder(), "ogg");
    ASSERT_TRUE (processor.isLoaded());

    processor.setNonRealtime (true);
    processor.prepareToPlay (48000.0, 512);
    EXPECT_FALSE (processor.themeSource->properties.realtime.load());
    processor.releaseResources();

    processor.setNonRealtime (false);
    processor.prepareToPlay (48000.0, 512);
    EXPECT_TRUE (processor.themeSource->properties.realtime.load());
    processor.releaseResources();
}

//==============================================================================
TEST (ThemeProcessorAutomation, ForwardsParametersToTheSource)
{
    Library library;
    ThemeProcessor processor ("Theme", library.getFolder(), "ogg");
    ASSERT_TRUE (processor.isLoaded());

    addKeyFrames (processor, Prop::momentum, R"([{"ts": 0, "v": 0.25}])");
    addKeyFrames (processor, Prop::depth,    R"([{"ts": 0, "v": 0.5}])");
    addKeyFrames (processor, Prop::power,    R"([{"ts": 0, "v": 0.75}])");
    addKeyFrames (processor, Prop::music,    R"([{"ts": 0, "v": 1.0}])");
    addKeyFrames (processor, Prop::video,    R"([{"ts": 0, "v": 0.1}])");   // not the theme's

    processor.setNonRealtime (true);
    processor.prepareToPlay (48000.0, 512);
    processOneBlock (processor);
    processor.releaseResources();

    const auto& mix = processor.themeSource->mixVolumes;
    EXPECT_EQ (mix.inflectionA.load(), 0.25);
    EXPECT_EQ (mix.inflectionB.load(), 0.5);
    EXPECT_EQ (mix.inflectionC.load(), 0.75);
    EXPECT_EQ (processor.themeSource->getGain(), 0.5f);
}

// Automation is read at the theme's position, not the timeline's: with the track starting at
// 10 s, timeline 10.5 s is theme 0.5 s, half-way up a music ramp from 0 (at 0 s) to 1 (at 1 s).
TEST (ThemeProcessorAutomation, AppliesAtThemePosition)
{
    Library library;
    ThemeProcessor processor ("Theme", library.getFolder(), "ogg");
    ASSERT_TRUE (processor.isLoaded());
    processor.setPropertiesFromJSON (qvtest::parseJSON (R"({"startTime": 10, "endTime": 70})"));
    addKeyFrames (processor, Prop::music, R"([{"ts": 0, "v": 0}, {"ts": 1, "v": 1}])");

    processor.setNonRealtime (true);
    processor.prepareToPlay (48000.0, 512);
    processor.setNextPlaybackPosition (480000 + 24000);
    processOneBlock (processor);
    processor.releaseResources();

    EXPECT_EQ (processor.themeSource->getGain(), 0.25f);
}
