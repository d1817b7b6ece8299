#include "engine/Timeline.h"
#include "engine/AudioEngine.h"

#include "AudioFixtures.h"
#include "DspTestSupport.h"
#include "TestSupport.h"
#include "ThemeFixtures.h"

#include <gtest/gtest.h>

#include <regex>

using namespace QVAudioEngineV4;

namespace
{
    juce::String toJSON (const juce::var& value) { return juce::JSON::toString (value, true); }

    /** A version-3 theme of one stem (so an output sample tells which file frame it came from),
        long enough that the placements below never reach its loop. */
    void writeOneStemTheme (const juce::File& folder)
    {
        ASSERT_TRUE (qvtest::writeOneStemTheme (folder, 44000, 20000, 20000, 4000));
    }

    /** A two-stem theme whose stem mix depends on the inflections. */
    void writeTwoStemTheme (const juce::File& folder)
    {
        ASSERT_TRUE (folder.createDirectory().wasOk());
        ASSERT_TRUE (qvtest::writeMultistemWav (folder.getChildFile ("multistem.wav"), 2, 44000));
        ASSERT_TRUE (qvtest::writeThemeConfig (folder, qvtest::parseJSON (R"({"version": 3, "multistem": "multistem.wav",
            "Loop": {"clean_start_length": 20000, "loop_length": 20000, "ending_length": 4000},
            "Patterns": {"AAA": [0], "CAA": [1]}})")));
    }

    /** An engine (no device needed) whose library holds the themes "One", "Other" and "Two". */
    class EngineTimeline : public ::testing::Test
    {
    protected:
        EngineTimeline()
        {
            writeOneStemTheme (library.getChildFile ("One"));
            writeOneStemTheme (library.getChildFile ("Other"));
            writeTwoStemTheme (library.getChildFile ("Two"));
            engine.libraryPath = library.getFolder();
        }

        juce::ScopedJuceInitialiser_GUI juceInit;
        qvtest::TempFolder library;
        QVAudioEngine engine;
        Timeline timeline;
    };

    /** Pulls totalSamples from the timeline in blocks of blockSize. */
    juce::AudioBuffer<float> render (Timeline& timeline, int totalSamples, int blockSize)
    {
        juce::AudioBuffer<float> output (2, totalSamples);
        output.clear();
        qvtest::processInBlocks (timeline, output, blockSize);
        return output;
    }

    /** The size the playback tests prepare for: the block size, but at most 4096, so that the
        largest size of the shared list is longer than prepared. */
    int preparedSizeFor (int blockSize) { return juce::jmin (blockSize, 4096); }

    const std::regex uuidPattern ("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$");
}

//==============================================================================
// The project document, without an engine: no theme is loaded.

TEST (TimelineProject, NewTimelineSavesAnEmptyDocument)
{
    Timeline timeline;
    EXPECT_EQ (toJSON (timeline.saveToJSON()), R"({"automs": {}, "themes": []})");
    EXPECT_EQ (timeline.timelineLength, 0);
    EXPECT_TRUE (timeline.videoFilePath.isEmpty());
}

TEST (TimelineProject, RoundTripKeepsUnknownKeysAndRebuildsThemesLast)
{
    Timeline timeline;
    auto project = qvtest::parseJSON (R"({"themes": [{"themeUuid": "u1", "id": "One", "startTime": 1, "endTime": 30, "colour": "red"},
                                                     {"themeUuid": "u2", "id": "Two", "endTime": 12}],
                                          "automs": {"A": [{"ts": 0, "v": 0.5}]},
                                          "videoFile": "v.mov", "zoom": {"level": 3}})");

    const auto reply = timeline.loadFromJSON (project, nullptr);
    EXPECT_EQ (toJSON (reply), "{}");
    EXPECT_NE (reply.getDynamicObject(), project.getDynamicObject());

    ASSERT_EQ (timeline.tracks.size(), 2);

    for (auto* track : timeline.tracks)
        EXPECT_EQ (track->processor, nullptr);

    EXPECT_EQ (timeline.timelineLength, 0) << "the length grows only when themes are loaded";

    const auto saved = timeline.saveToJSON();
    EXPECT_EQ (saved.getDynamicObject(), project.getDynamicObject()) << "the document is shared, not copied";
    EXPECT_EQ (toJSON (saved), R"({"automs": {"A": [{"ts": 0, "v": 0.5}]}, "videoFile": "v.mov", "zoom": {"level": 3}, )"
                               R"("themes": [{"themeUuid": "u1", "id": "One", "startTime": 1, "endTime": 30, "colour": "red"}, )"
                               R"({"themeUuid": "u2", "id": "Two", "endTime": 12}]})");
    EXPECT_EQ (saved["themes"][0].getDynamicObject(), timeline.tracks[0]->trackData.getDynamicObject());
}

TEST (TimelineProject, TracksWithoutUuidGetFreshOnesThatAreSaved)
{
    Timeline timeline;
    timeline.loadFromJSON (qvtest::parseJSON (R"({"themes": [{"id": "One"}, {"id": "One"}], "automs": {}})"), nullptr);

    const auto saved = timeline.saveToJSON();
    ASSERT_EQ (saved["themes"].size(), 2);
    const auto first = saved["themes"][0]["themeUuid"].toString();
    const auto second = saved["themes"][1]["themeUuid"].toString();

    EXPECT_TRUE (std::regex_match (first.toStdString(), uuidPattern)) << first;
    EXPECT_TRUE (std::regex_match (second.toStdString(), uuidPattern)) << second;
    EXPECT_NE (first, second);
    EXPECT_EQ (timeline.getTrack (first), timeline.tracks[0]);
    EXPECT_EQ (timeline.getTrack (second), timeline.tracks[1]);
}

TEST (TimelineProject, AddTrackUpdatesAKnownUuidAndAppendsAnUnknownOne)
{
    Timeline timeline;
    auto first = qvtest::parseJSON (R"({"themeUuid": "u1", "id": "One", "startTime": 1})");
    auto update = qvtest::parseJSON (R"({"themeUuid": "u1", "id": "Other", "startTime": 2})");
    auto second = qvtest::parseJSON (R"({"themeUuid": "u2", "id": "One"})");

    timeline.addTrack (first, nullptr);
    timeline.addTrack (update, nullptr);
    ASSERT_EQ (timeline.tracks.size(), 1);
    EXPECT_EQ (timeline.tracks[0]->trackData.getDynamicObject(), update.getDynamicObject());

    timeline.addTrack (second, nullptr);
    ASSERT_EQ (timeline.tracks.size(), 2);
    EXPECT_EQ (toJSON (timeline.saveToJSON()["themes"]),
               R"([{"themeUuid": "u1", "id": "Other", "startTime": 2}, {"themeUuid": "u2", "id": "One"}])");
}

TEST (TimelineProject, InputsThatAreNotObjectsChangeNothingAndBreakNothing)
{
    Timeline timeline;

    const juce::var notObjects[] { qvtest::parseJSON ("[1, 2]"), 3, "track", juce::var() };

    for (auto track : notObjects)
    {
        timeline.addTrack (track, nullptr);
        EXPECT_EQ (timeline.tracks.size(), 0) << toJSON (track);
    }

    // A document that is not an object gives an empty project that still takes tracks.
    for (auto document : { qvtest::parseJSON (R"([{"id": "One"}])"), juce::var() })
    {
        timeline.loadFromJSON (document, nullptr);
        auto track = qvtest::parseJSON (R"({"themeUuid": "u1"})");
        timeline.addTrack (track, nullptr);
        EXPECT_EQ (toJSON (timeline.saveToJSON()), R"({"automs": {}, "themes": [{"themeUuid": "u1"}]})") << toJSON (document);
    }
}

TEST (TimelineProject, ReloadingItsOwnDocumentKeepsTheTracks)
{
    Timeline timeline;
    timeline.loadFromJSON (qvtest::parseJSON (R"({"themes": [{"themeUuid": "u1"}, {"themeUuid": "u2"}], "automs": {}})"), nullptr);

    timeline.loadFromJSON (timeline.saveToJSON(), nullptr);

    EXPECT_EQ (timeline.tracks.size(), 2);
    EXPECT_EQ (timeline.saveToJSON()["themes"].size(), 2);
}

TEST (TimelineProject, ClearEmptiesTracksAndAutomationButKeepsTheAutomsEntry)
{
    Timeline timeline;
    timeline.loadFromJSON (qvtest::parseJSON (R"({"themes": [{"themeUuid": "u1"}], "automs": {"B": [{"ts": 1, "v": 0.2}]},
                                                  "videoFile": "v.mov"})"), nullptr);
    timeline.videoFilePath = "/videos/v.mov";
    timeline.setNextPlaybackPosition (4800);

    qvtest::LogCapture log;
    timeline.clear();

    EXPECT_EQ (log.getLines(), juce::StringArray ("Clearing timeline"));
    EXPECT_EQ (timeline.tracks.size(), 0);
    EXPECT_EQ (timeline.getTrack ("u1"), nullptr);
    EXPECT_EQ (timeline.automator.parameters.size(), 0);
    EXPECT_EQ (toJSON (timeline.saveToJSON()), R"({"automs": {"B": [{"ts": 1, "v": 0.2}]}, "videoFile": "", "themes": []})");
    EXPECT_EQ (timeline.videoFilePath, "/videos/v.mov");
    EXPECT_EQ (timeline.getNextPlaybackPosition(), 4800);
}

TEST (TimelineProject, LoadLogsEveryNewPlacement)
{
    Timeline timeline;
    qvtest::LogCapture log;
    timeline.loadFromJSON (qvtest::parseJSON (R"({"themes": [{"themeUuid": "u1", "id": "One", "startTime": 1.5},
                                                             {"themeUuid": "u2", "id": "Two", "startTime": 0},
                                                             {"themeUuid": "u3"},
                                                             {"themeUuid": "u1", "id": "One", "startTime": 3}],
                                                  "automs": {}})"), nullptr);

    EXPECT_EQ (log.getLines(), juce::StringArray ({ "Clearing timeline",
                                                    "Add Track u1 (One) starting: 1.5",
                                                    "Add Track u2 (Two) starting: 0",
                                                    "Add Track u3 () starting: " }));
}

TEST (TimelineProject, RemoveTrackDropsItFromTracksIndexAndSavedThemes)
{
    Timeline timeline;
    timeline.loadFromJSON (qvtest::parseJSON (R"({"themes": [{"themeUuid": "u1"}, {"themeUuid": "u2"}], "automs": {}})"), nullptr);

    EXPECT_TRUE (timeline.removeTrack ("u1"));
    EXPECT_FALSE (timeline.removeTrack ("u1"));
    EXPECT_FALSE (timeline.removeTrack ("nope"));

    EXPECT_EQ (timeline.getTrack ("u1"), nullptr);
    EXPECT_EQ (toJSON (timeline.saveToJSON()["themes"]), R"([{"themeUuid": "u2"}])");
}

TEST (TimelineProject, StateRoundTripRestoresTheDocumentOnAFreshTimeline)
{
    Timeline original;
    original.loadFromJSON (qvtest::parseJSON (R"({"themes": [{"themeUuid": "u1", "id": "One", "endTime": 4}],
                                                  "automs": {"M": [{"ts": 0, "v": 1}]}, "videoFile": "v.mov"})"), nullptr);
    juce::MemoryBlock state;
    original.getStateInformation (state);

    Timeline restored;
    restored.setStateInformation (state.getData(), (int) state.getSize());
    EXPECT_EQ (toJSON (restored.saveToJSON()), toJSON (original.saveToJSON()));
    EXPECT_EQ (restored.tracks.size(), 1);
    EXPECT_EQ (restored.tracks[0]->processor, nullptr);

    const char garbage[] = "{not json";
    restored.setStateInformation (garbage, (int) sizeof (garbage));
    EXPECT_EQ (toJSON (restored.saveToJSON()), R"({"automs": {}, "themes": []})");
}

//==============================================================================
namespace
{
    struct AutomsCase { const char* name; const char* project; const char* expectedDocument; };

    class TimelineReplaceAutomation : public ::testing::TestWithParam<AutomsCase> {};
}

// The document keeps the last list per parameter; the automator merges all lists given since the
// last clear, so playback interpolates over the key frames of both.
TEST_P (TimelineReplaceAutomation, DocumentKeepsLastListAutomatorMergesAll)
{
    Timeline timeline;
    timeline.loadFromJSON (qvtest::parseJSON (GetParam().project), nullptr);

    auto firstList = qvtest::parseJSON (R"([{"ts": 0, "v": 0}, {"ts": 1, "v": 1}])");
    auto secondList = qvtest::parseJSON (R"([{"ts": 1, "v": 0.5}, {"ts": 2, "v": 2}])");
    timeline.replaceAutomation ("B", firstList.getArray());
    timeline.replaceAutomation ("B", secondList.getArray());
    timeline.replaceAutomation ("C", nullptr);

    EXPECT_EQ (toJSON (timeline.saveToJSON()), juce::String (GetParam().expectedDocument));

    const auto* parameter = timeline.automator.getParameter (Prop::depth);
    ASSERT_NE (parameter, nullptr);
    EXPECT_EQ (parameter->keyFrames, (std::map<long long, float> { { 0, 0.0f }, { 48000, 0.5f }, { 96000, 2.0f } }));
}

INSTANTIATE_TEST_SUITE_P (Timeline, TimelineReplaceAutomation, ::testing::Values (
    AutomsCase { "WithAutoms", R"({"themes": [], "automs": {"A": []}})",
                 R"({"automs": {"A": [], "B": [{"ts": 1, "v": 0.5}, {"ts": 2, "v": 2}]}, "themes": []})" },
    AutomsCase { "WithoutAutoms", R"({"themes": []})",
                 R"({"automs": {"B": [{"ts": 1, "v": 0.5}, {"ts": 2, "v": 2}]}, "themes": []})" },
    AutomsCase { "AutomsNotAnObject", R"({"themes": [], "automs": 7})",
                 R"({"automs": {"B": [{"ts": 1, "v": 0.5}, {"ts": 2, "v": 2}]}, "themes": []})" }),
    [] (const ::testing::TestParamInfo<AutomsCase>& info) { return std::string (info.param.name); });

TEST (TimelineProject, LoadAppliesEveryAutomsListAndSkipsOthers)
{
    Timeline timeline;
    timeline.loadFromJSON (qvtest::parseJSON (R"({"themes": [], "automs": {"A": [{"ts": 0.5, "v": 0.25}], "M": "loud", "X": [{"ts": 0, "v": 3}]}})"), nullptr);

    ASSERT_EQ (timeline.automator.parameters.size(), 2);
    EXPECT_EQ (timeline.automator.getParameter (Prop::momentum)->keyFrames, (std::map<long long, float> { { 24000, 0.25f } }));
    EXPECT_EQ (timeline.automator.getParameter (Prop::music), nullptr);
    EXPECT_NE (timeline.automator.getParameter ("X"), nullptr) << "stored and interpolated, without effect";
}

//==============================================================================
// With an engine: themes load from its library.

TEST_F (EngineTimeline, LengthIsTheLatestEndOfThePlacementsAdded)
{
    timeline.loadFromJSON (qvtest::parseJSON (R"({"themes": [{"id": "One", "endTime": 30}, {"id": "One", "endTime": 12}], "automs": {}})"), &engine);
    EXPECT_EQ (timeline.timelineLength, 1440000);

    for (auto* track : timeline.tracks)
        EXPECT_NE (track->processor, nullptr);

    auto later = qvtest::parseJSON (R"({"themeUuid": "later", "id": "Missing", "endTime": 40.5})");
    timeline.addTrack (later, &engine);
    EXPECT_EQ (timeline.timelineLength, 1944000) << "a placement whose theme fails still counts";

    auto shorter = qvtest::parseJSON (R"({"themeUuid": "later", "id": "Missing", "endTime": 1})");
    timeline.addTrack (shorter, &engine);
    EXPECT_EQ (timeline.timelineLength, 1944000) << "updates never change the length";

    timeline.clear();
    EXPECT_EQ (timeline.timelineLength, 0);
}

TEST_F (EngineTimeline, ThemeThatFailsToLoadLeavesASilentTrackThatIsSaved)
{
    qvtest::LogCapture log;
    auto track = qvtest::parseJSON (R"({"themeUuid": "u1", "id": "../One"})");
    timeline.addTrack (track, &engine);

    ASSERT_EQ (timeline.tracks.size(), 1);
    EXPECT_EQ (timeline.tracks[0]->processor, nullptr);
    EXPECT_TRUE (log.contains ("Loading theme: ../One: initialisation failed"));
    EXPECT_EQ (timeline.saveToJSON()["themes"].size(), 1);
}

TEST_F (EngineTimeline, UpdateWithTheSameThemeReappliesThePlacementWithoutReloading)
{
    auto track = qvtest::parseJSON (R"({"themeUuid": "u1", "id": "One", "startTime": 1, "endTime": 2})");
    timeline.addTrack (track, &engine);
    auto* processor = timeline.tracks[0]->processor.get();
    ASSERT_NE (processor, nullptr);

    qvtest::LogCapture log;
    auto update = qvtest::parseJSON (R"({"themeUuid": "u1", "id": "One", "startTime": 3, "endTime": 5, "offset": 0.5, "ending": true})");
    timeline.addTrack (update, &engine);

    EXPECT_EQ (timeline.tracks[0]->processor.get(), processor);
    EXPECT_EQ (log.getLines(), juce::StringArray ("Setting: One start: 144000 offset: 24000 length: 96000 play ending"));
    EXPECT_EQ (timeline.tracks[0]->trackData.getDynamicObject(), update.getDynamicObject());
    // Placed against the clock (0) with its new start.
    EXPECT_EQ (processor->themeSource->getNextReadPosition(), -144000);
}

TEST_F (EngineTimeline, UpdateWithAnotherThemeReplacesTheProcessor)
{
    auto track = qvtest::parseJSON (R"({"themeUuid": "u1", "id": "One"})");
    timeline.addTrack (track, &engine);
    ASSERT_NE (timeline.tracks[0]->processor, nullptr);

    auto update = qvtest::parseJSON (R"({"themeUuid": "u1", "id": "Other"})");
    timeline.addTrack (update, &engine);
    ASSERT_NE (timeline.tracks[0]->processor, nullptr);
    EXPECT_EQ (timeline.tracks[0]->processor->getProgramName (0), "Other");

    // A theme that does not load leaves the track silent instead of playing the old theme.
    auto missing = qvtest::parseJSON (R"({"themeUuid": "u1", "id": "Missing"})");
    timeline.addTrack (missing, &engine);
    EXPECT_EQ (timeline.tracks[0]->processor, nullptr);

    // Without a processor an update does not reload, even with another theme.
    auto back = qvtest::parseJSON (R"({"themeUuid": "u1", "id": "One"})");
    timeline.addTrack (back, &engine);
    EXPECT_EQ (timeline.tracks[0]->processor, nullptr);
}

TEST_F (EngineTimeline, LoadThemeProcessorKeepsThePreviousOneWhenTheNewFails)
{
    auto track = qvtest::parseJSON (R"({"themeUuid": "u1", "id": "One"})");
    timeline.addTrack (track, &engine);
    auto* processor = timeline.tracks[0]->processor.get();

    timeline.tracks[0]->trackData.getDynamicObject()->setProperty (Prop::themeId, "Missing");
    timeline.tracks[0]->loadThemeProcessor (&engine);
    EXPECT_EQ (timeline.tracks[0]->processor.get(), processor);

    timeline.tracks[0]->trackData.getDynamicObject()->setProperty (Prop::themeId, "Other");
    timeline.tracks[0]->loadThemeProcessor (&engine);
    EXPECT_EQ (timeline.tracks[0]->processor->getProgramName (0), "Other");
}

//==============================================================================
// Playback at sample level. The one-stem theme's samples encode their file frame, so a sample
// of the output tells where in the theme it came from.

namespace
{
    constexpr int trackStart = 4800, trackEnd = 24000, trackOffset = 2400;
    const char* placedTrack = R"({"themeUuid": "u1", "id": "One", "startTime": 0.1, "endTime": 0.5, "offset": 0.05})";

}

// The reference is the track's theme played on its own, positioned at the timeline's start and
// fed the same pieces, then through a master compressor of its own: the timeline must add
// nothing, drop nothing and shift nothing, whatever the block size.
TEST_F (EngineTimeline, TrackPlaysLikeItsThemeAloneAtEveryBlockSize)
{
    const int total = trackEnd + 48000;

    for (const int blockSize : qvtest::testBlockSizes)
    {
        SCOPED_TRACE (blockSize);
        const int prepared = preparedSizeFor (blockSize);
        Timeline timeline;
        auto track = qvtest::parseJSON (placedTrack);
        timeline.addTrack (track, &engine);
        timeline.setNonRealtime (true);
        timeline.prepareToPlay (48000.0, prepared);
        const auto output = render (timeline, total, blockSize);

        ThemeProcessor theme ("One", library.getFolder(), "ogg");
        theme.setPropertiesFromJSON (track);
        theme.setNonRealtime (true);
        theme.prepareToPlay (48000.0, prepared);
        theme.setNextPlaybackPosition (0);
        QVCompressorProcessor master;
        master.prepareToPlay (48000.0, prepared);

        juce::AudioBuffer<float> expected (2, total);
        juce::MidiBuffer midi;

        for (int done = 0; done < total; done += blockSize)
            for (int piece = done; piece < juce::jmin (total, done + blockSize); piece += prepared)
            {
                juce::AudioBuffer<float> view (expected.getArrayOfWritePointers(), 2, piece,
                                               juce::jmin (prepared, juce::jmin (total, done + blockSize) - piece));
                theme.processBlock (view, midi);
                master.processBlock (view, midi);
            }

        qvtest::expectSameAudio (output, expected, 0, total, "timeline", 0.0f);
        EXPECT_FALSE (qvtest::isSilent (output, trackStart, trackEnd));
        EXPECT_TRUE (qvtest::isSilent (output, trackEnd + 4096, total)) << "after the end";
        EXPECT_EQ (timeline.getNextPlaybackPosition(), total);
        timeline.releaseResources();
    }
}

TEST_F (EngineTimeline, TracksAreSummedWithoutScaling)
{
    auto renderTracks = [this] (std::initializer_list<const char*> trackTexts)
    {
        Timeline timeline;

        for (auto text : trackTexts)
        {
            auto track = qvtest::parseJSON (text);
            timeline.addTrack (track, &engine);
        }

        timeline.setNonRealtime (true);
        timeline.prepareToPlay (48000.0, 512);
        return render (timeline, 30000, 512);
    };

    const char* first = R"({"themeUuid": "a", "id": "One", "startTime": 0.1, "endTime": 0.5})";
    const char* second = R"({"themeUuid": "b", "id": "Other", "startTime": 0.2, "endTime": 0.4, "offset": 0.1})";

    const auto both = renderTracks ({ first, second });
    auto sum = renderTracks ({ first });
    const auto secondOnly = renderTracks ({ second });

    for (int c = 0; c < 2; ++c)
        sum.addFrom (c, 0, secondOnly, c, 0, sum.getNumSamples());

    qvtest::expectSameAudio (both, sum, 0, both.getNumSamples(), "two tracks");
}

TEST_F (EngineTimeline, MusicAutomationAtOneHalvesTheThemes)
{
    for (const int blockSize : qvtest::testBlockSizes)
    {
        SCOPED_TRACE (blockSize);
        const int prepared = preparedSizeFor (blockSize);

        auto renderWithAutoms = [&] (const char* automs)
        {
            Timeline timeline;
            timeline.loadFromJSON (qvtest::parseJSON (juce::String (R"({"themes": [)") + placedTrack + "], \"automs\": " + automs + "}"), &engine);
            timeline.setNonRealtime (true);
            timeline.prepareToPlay (48000.0, prepared);
            return render (timeline, trackEnd, blockSize);
        };

        const auto full = renderWithAutoms ("{}");
        const auto half = renderWithAutoms (R"({"M": [{"ts": 0, "v": 1}]})");

        // Past the theme's first audible block, where its gain ramps from 1 to 0.5.
        int wrong = 0;

        for (int t = trackStart + trackOffset + 2 * prepared; t < trackEnd && wrong < 5; ++t)
            if (half.getSample (0, t) != 0.5f * full.getSample (0, t))
            {
                ADD_FAILURE() << "sample " << t << " is " << half.getSample (0, t) << ", full " << full.getSample (0, t);
                ++wrong;
            }

        EXPECT_FALSE (qvtest::isSilent (half, trackStart + trackOffset + 2 * prepared, trackEnd));
    }
}

TEST_F (EngineTimeline, InflectionAutomationReachesEveryLoadedTheme)
{
    timeline.loadFromJSON (qvtest::parseJSON (R"({"themes": [{"themeUuid": "a", "id": "Two"}, {"themeUuid": "b", "id": "Missing"},
                                                             {"themeUuid": "c", "id": "One"}],
                                                  "automs": {"A": [{"ts": 0, "v": 0}, {"ts": 1, "v": 1}],
                                                             "B": [{"ts": 0, "v": 0.5}], "C": [{"ts": 0, "v": 0.75}],
                                                             "V": [{"ts": 0, "v": 2}]}})"), &engine);
    timeline.setNonRealtime (true);
    timeline.prepareToPlay (48000.0, 512);
    timeline.setNextPlaybackPosition (24000);
    render (timeline, 512, 512);

    for (int index : { 0, 2 })
    {
        const auto& mix = timeline.tracks[index]->processor->themeSource->mixVolumes;
        EXPECT_EQ (mix.inflectionA.load(), 0.5) << "taken at the block's first sample";
        EXPECT_EQ (mix.inflectionB.load(), 0.5);
        EXPECT_EQ (mix.inflectionC.load(), 0.75);
    }

    EXPECT_EQ (timeline.videoGain.load(), 1.0f);
}

TEST_F (EngineTimeline, InflectionKeyFramesSwitchTheStemsAtTheirBlock)
{
    // "Two" plays stem 0 at A = 0 and stem 1 at A = 2. A stays 0 up to sample 12288 and jumps to
    // 2 at 12289: the block starting at 12288 still mixes stem 0, the next one switches.
    timeline.loadFromJSON (qvtest::parseJSON (R"({"themes": [{"themeUuid": "a", "id": "Two", "startTime": 0, "endTime": 1}],
        "automs": {"A": [{"ts": 0, "v": 0}, {"ts": 0.256, "v": 0}, {"ts": 0.25602084, "v": 2}]}})"), &engine);
    timeline.setNonRealtime (true);
    timeline.prepareToPlay (48000.0, 512);
    timeline.setNextPlaybackPosition (0);

    const auto& mix = timeline.tracks[0]->processor->themeSource->mixVolumes;
    const auto blocks = render (timeline, 12800, 512);
    EXPECT_EQ (mix.volumes, (std::vector<double> { 1.0, 0.0 })) << "up to the block at 12288";
    EXPECT_FALSE (qvtest::isSilent (blocks, 12288, 12800));

    render (timeline, 512, 512);
    EXPECT_EQ (mix.volumes, (std::vector<double> { 0.0, 1.0 })) << "from the block at 12800";
}

TEST_F (EngineTimeline, SeekWhilePlayingFadesOneBlockThenPlaysFromTheTarget)
{
    for (const int blockSize : qvtest::testBlockSizes)
    {
        if (blockSize > 4096)
            continue;   // one block must be one prepared piece here

        SCOPED_TRACE (blockSize);

        // The reference: the same timeline played straight through from its start.
        Timeline reference;
        auto referenceTrack = qvtest::parseJSON (R"({"themeUuid": "u1", "id": "One", "startTime": 0, "endTime": 0.8})");
        reference.addTrack (referenceTrack, &engine);
        reference.setNonRealtime (true);
        reference.prepareToPlay (48000.0, blockSize);
        const int target = 20000;
        const int before = juce::jmax (blockSize, 8192 / blockSize * blockSize);
        const auto straight = render (reference, before + blockSize, blockSize);

        Timeline timeline;
        auto track = qvtest::parseJSON (R"({"themeUuid": "u1", "id": "One", "startTime": 0, "endTime": 0.8})");
        timeline.addTrack (track, &engine);
        timeline.setNonRealtime (true);
        timeline.prepareToPlay (48000.0, blockSize);
        timeline.setPlaying (true);

        const auto played = render (timeline, before, blockSize);
        const auto lastBefore = played.getSample (0, before - 1);

        timeline.setNextPlaybackPosition (target);
        EXPECT_EQ (timeline.getNextPlaybackPosition(), target);

        const auto faded = render (timeline, blockSize, blockSize);
        const auto after = render (timeline, 10000, blockSize);

        // The faded block is the material that followed, scaled from 1 down toward 0.
        float factor = 1.0f;

        for (int i = 0; i < blockSize; ++i)
        {
            const float expected = straight.getSample (0, before + i) * factor;
            ASSERT_EQ (faded.getSample (0, i), expected) << "faded sample " << i;
            factor -= 1.0f / (float) blockSize;
        }

        EXPECT_NE (lastBefore, 0.0f);

        // Then the theme plays from the target plus the faded block's length: exactly as a
        // reference moved there at once while stopped.
        reference.setNextPlaybackPosition (target + blockSize);
        const auto moved = render (reference, 10000, blockSize);
        qvtest::expectSameAudio (after, moved, 0, 10000, "after the seek");
        EXPECT_FALSE (qvtest::isSilent (after, 0, 10000));

        EXPECT_EQ (timeline.getNextPlaybackPosition(), target + blockSize + 10000);
    }
}

TEST_F (EngineTimeline, SeekWhileStoppedMovesTheSourcesAtOnce)
{
    auto track = qvtest::parseJSON (placedTrack);
    timeline.addTrack (track, &engine);
    timeline.setNonRealtime (true);
    timeline.prepareToPlay (48000.0, 512);

    timeline.setNextPlaybackPosition (trackStart + 10000);
    EXPECT_EQ (timeline.getNextPlaybackPosition(), trackStart + 10000);
    EXPECT_EQ (timeline.tracks[0]->processor->themeSource->getNextReadPosition(), 10000);

    // No block is spent on a pending repositioning: the first one already plays.
    const auto output = render (timeline, 512, 512);
    EXPECT_FALSE (qvtest::isSilent (output, 0, 512));
    EXPECT_EQ (timeline.getNextPlaybackPosition(), trackStart + 10000 + 512);
}

TEST_F (EngineTimeline, TrackAddedLaterIsPlacedAtTheClock)
{
    timeline.setNonRealtime (true);
    timeline.prepareToPlay (48000.0, 512);
    timeline.setNextPlaybackPosition (trackStart + 10000);

    auto track = qvtest::parseJSON (placedTrack);
    timeline.addTrack (track, &engine);

    EXPECT_EQ (timeline.tracks[0]->processor->themeSource->getNextReadPosition(), 10000);
}

TEST_F (EngineTimeline, EmptyOrUnpreparedTimelinePlaysSilence)
{
    juce::AudioBuffer<float> buffer (2, 512);
    juce::MidiBuffer midi;

    buffer.applyGain (0.0f);
    juce::FloatVectorOperations::fill (buffer.getWritePointer (0), 0.5f, 512);
    timeline.processBlock (buffer, midi);
    EXPECT_TRUE (qvtest::isSilent (buffer, 0, 512)) << "unprepared";

    timeline.prepareToPlay (48000.0, 512);
    timeline.setPlaying (true);
    juce::FloatVectorOperations::fill (buffer.getWritePointer (1), 0.5f, 512);
    timeline.processBlock (buffer, midi);
    EXPECT_TRUE (qvtest::isSilent (buffer, 0, 512)) << "empty";
    EXPECT_EQ (timeline.getNextPlaybackPosition(), 512);
}
