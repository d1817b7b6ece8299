#include "engine/AudioEngine.h"

#include "TestSupport.h"
#include "ThemeFixtures.h"
#include "TestProcessors.h"

#include <gtest/gtest.h>

#include <chrono>

using namespace QVAudioEngineV4;

namespace
{
    using Events = std::vector<std::pair<bool, bool>>;


    /** A version-3 theme of one stem, long enough never to reach its loop in these tests. */
    void writeTheme (const juce::File& folder)
    {
        ASSERT_TRUE (qvtest::writeOneStemTheme (folder, 44000, 20000, 20000, 4000));
    }

    /** An engine without a device whose library holds the themes "One" and "Other"; "Missing"
        does not load. */
    class PlaybackControl : public ::testing::Test
    {
    protected:
        PlaybackControl()
        {
            writeTheme (library.getChildFile ("One"));
            writeTheme (library.getChildFile ("Other"));
            engine.libraryPath = library.getFolder();
            engine.addListener (&recorder);
        }

        ~PlaybackControl() override { engine.removeListener (&recorder); }

        /** Runs space-separated steps: load:<theme>, unload, audition, audition-loaded (the
            theme was loaded by the same command), play, stop, stopAudition. */
        void run (const juce::String& steps)
        {
            for (const auto& step : juce::StringArray::fromTokens (steps, " ", ""))
            {
                if (step.startsWith ("load:"))        engine.loadAudition (step.fromFirstOccurrenceOf (":", false, false));
                else if (step == "unload")            engine.unloadAudition();
                else if (step == "audition")          engine.startAudition (false);
                else if (step == "audition-loaded")   engine.startAudition (true);
                else if (step == "play")              engine.startPlayback();
                else if (step == "stop")              engine.stopPlayback();
                else if (step == "stopAudition")      engine.stopAudition();
                else                                  ADD_FAILURE() << "unknown step " << step;
            }
        }

        juce::ScopedJuceInitialiser_GUI juceInit;
        qvtest::TempFolder library;
        QVAudioEngine engine;
        qvtest::PlayStateRecorder recorder;
    };

    enum class Playing { nothing, timeline, audition };

    struct SequenceCase
    {
        const char* name;
        const char* setup;      // steps whose notifications are not checked
        const char* steps;      // steps whose notifications must be exactly `expected`
        Events expected;
        Playing playingAfter;
        bool timelineFlagAfter;
        bool auditionLoadedAfter;
    };

    const SequenceCase sequenceCases[] = {
        { "StopsWhenIdleNotifyNobody",              "",                       "stop stopAudition",       {},                              Playing::nothing,  false, false },
        { "StopPlaybackDuringAuditionDoesNothing",  "load:One audition",      "stop",                    {},                              Playing::audition, false, true },
        { "StopAuditionWithNoneLoaded",             "play",                   "stopAudition",            {},                              Playing::timeline, true,  false },
        { "StopAuditionWhileTimelinePlays",         "load:One play",          "stopAudition",            {},                              Playing::timeline, true,  true },
        { "StartAuditionWithoutThemeDoesNothing",   "",                       "audition audition-loaded", {},                             Playing::nothing,  false, false },
        { "StartPlaybackFromIdle",                  "",                       "play",                    { { true, false } },             Playing::timeline, true,  false },
        { "StartPlaybackAgainReportsAgain",         "play",                   "play",                    { { true, false } },             Playing::timeline, true,  false },
        { "StopPlayback",                           "play",                   "stop stop",               { { false, false } },            Playing::nothing,  false, false },
        { "StartAudition",                          "load:One",               "audition",                { { true, true } },              Playing::audition, false, true },
        { "StopAudition",                           "load:One audition",      "stopAudition stopAudition", { { false, true } },           Playing::nothing, false, true },
        { "PlaybackDuringAuditionEndsItFirst",      "load:One audition",      "play",                    { { false, true }, { true, false } }, Playing::timeline, true, true },
        { "AuditionDuringPlaybackKeepsTimelineFlag", "load:One play",         "audition",                { { true, true } },              Playing::audition, true,  true },
        { "LoadingStopsTheRunningAudition",         "load:One audition",      "load:Other",              { { false, true } },             Playing::nothing,  false, true },
        { "FailedLoadLeavesNoAudition",             "load:One audition",      "load:Missing audition-loaded", { { false, true } },        Playing::nothing,  false, false },
        { "UnloadStopsAndDeletes",                  "load:One audition",      "unload audition",         { { false, true } },             Playing::nothing,  false, false },
        { "BackAndForth",                           "load:One",               "audition play audition stopAudition play stop",
          { { true, true }, { false, true }, { true, false }, { true, true }, { false, true }, { true, false }, { false, false } },
          Playing::nothing, false, true },
    };

    class PlaybackSequences : public PlaybackControl, public ::testing::WithParamInterface<SequenceCase> {};
}

TEST_P (PlaybackSequences, NotifyExactlyAndEndInTheExpectedState)
{
    const auto& c = GetParam();
    run (c.setup);
    recorder.events.clear();
    run (c.steps);

    EXPECT_EQ (recorder.events, c.expected);
    EXPECT_EQ (engine.isTimelinePlaying(), c.playingAfter == Playing::timeline);
    EXPECT_EQ (engine.isAuditioning(), c.playingAfter == Playing::audition);
    EXPECT_EQ (engine.playerSource->getProcessor() == nullptr, c.playingAfter == Playing::nothing);
    EXPECT_EQ (engine.timeline->isPlaying(), c.timelineFlagAfter);
    EXPECT_EQ (engine.themeProcessor != nullptr, c.auditionLoadedAfter);
}

INSTANTIATE_TEST_SUITE_P (Engine, PlaybackSequences, ::testing::ValuesIn (sequenceCases),
                          [] (const auto& info) { return std::string (info.param.name); });

TEST_F (PlaybackControl, PlaybackDuringAuditionKeepsTheThemeForALaterResume)
{
    ASSERT_TRUE (engine.loadAudition ("One"));
    auto* theme = engine.themeProcessor.get();
    engine.startAudition (true);
    engine.startPlayback();

    EXPECT_EQ (engine.themeProcessor.get(), theme);
    EXPECT_EQ (engine.playerSource->getProcessor(), engine.timeline.get());

    engine.startAudition (false);
    EXPECT_EQ (engine.playerSource->getProcessor(), theme) << "the same theme object resumes, nothing was reloaded";
}

TEST_F (PlaybackControl, LoadReportsWhetherTheThemeLoaded)
{
    EXPECT_TRUE (engine.loadAudition ("One"));
    EXPECT_TRUE (engine.themeProcessor->isLoaded());
    EXPECT_FALSE (engine.loadAudition ("Missing"));
    EXPECT_EQ (engine.themeProcessor, nullptr);
    EXPECT_FALSE (engine.loadAudition ("../One")) << "a name outside the library loads nothing";
    EXPECT_EQ (engine.themeProcessor, nullptr);
}

// Bounds are deliberately loose: the pause must happen for a theme loaded by the same command
// (at least the delay), and must not for one loaded earlier (far less than a 20 s delay).
TEST_F (PlaybackControl, CueDelayPausesOnlyForAThemeLoadedByTheSameCommand)
{
    using Clock = std::chrono::steady_clock;
    auto millisecondsSince = [] (Clock::time_point start)
    {
        return std::chrono::duration_cast<std::chrono::milliseconds> (Clock::now() - start).count();
    };

    engine.cueDelay = 1500;
    ASSERT_TRUE (engine.loadAudition ("One"));
    auto start = Clock::now();
    engine.startAudition (true);
    EXPECT_GE (millisecondsSince (start), 1500);
    EXPECT_TRUE (engine.isAuditioning());

    engine.stopAudition();
    engine.cueDelay = 20000;
    start = Clock::now();
    engine.startAudition (false);
    EXPECT_LT (millisecondsSince (start), 10000);
    EXPECT_TRUE (engine.isAuditioning());

    engine.cueDelay = -5;
    ASSERT_TRUE (engine.loadAudition ("One"));
    start = Clock::now();
    engine.startAudition (true);
    EXPECT_LT (millisecondsSince (start), 10000) << "a negative delay is no pause";
}

TEST_F (PlaybackControl, StopAndStartKeepTheTimelinePosition)
{
    engine.timeline->setNextPlaybackPosition (123456);
    engine.startPlayback();
    engine.stopPlayback();
    EXPECT_EQ (engine.timeline->getNextPlaybackPosition(), 123456);
    engine.startPlayback();
    EXPECT_EQ (engine.timeline->getNextPlaybackPosition(), 123456);
}

TEST_F (PlaybackControl, StartLogsOneEntryPerLoadedTrackInTrackOrder)
{
    engine.timeline->loadFromJSON (qvtest::parseJSON (R"({"themes": [
        {"themeUuid": "a", "id": "Other", "startTime": 2, "endTime": 3},
        {"themeUuid": "b", "id": "Missing"},
        {"themeUuid": "c", "id": "One", "startTime": 0.5, "endTime": 1}], "automs": {}})"), &engine);
    ASSERT_EQ (engine.timeline->tracks.size(), 3);

    qvtest::LogCapture log;
    engine.startPlayback();

    const auto lines = log.getLines();
    const int header = lines.indexOf ("Playback parameters:");
    ASSERT_GE (header, 0);
    ASSERT_EQ (lines.size(), header + 3) << lines.joinIntoString ("\n");
    EXPECT_EQ (lines[header + 1], engine.timeline->tracks[0]->processor->getPropertiesDescription());
    EXPECT_EQ (lines[header + 2], engine.timeline->tracks[2]->processor->getPropertiesDescription());
}
