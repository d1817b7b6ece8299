#include <gtest/gtest.h>

#include "engine/AudioEngine.h"
#include "TestSupport.h"
#include "ThemeFixtures.h"

#include <mutex>
#include <thread>

using namespace QVAudioEngineV4;

namespace
{
    enum class Playing { nothing, timeline, audition };

    /**
        Follows the play-state reports with a model of what plays and checks each one against
        it and against the engine at the moment it is made:
        - (false, true) only while the model says an audition plays;
        - (true, false) never while the model says an audition plays (its end is reported first),
          and the timeline is then installed with its playing flag set;
        - (false, false) only while the model says the timeline plays, and nothing plays after;
        - (true, true) with the audition theme installed.
        A report that races with another thread's switch breaks one of these.
    */
    struct CheckingListener : AudioEngineListener
    {
        explicit CheckingListener (QVAudioEngine& e) : engine (e) {}

        void inflectionSliderChanged (int, float) override {}
        void musicVolumeChanged (float) override {}
        void movieVolumeChanged (float) override {}
        void auxSliderChanged (int, float) override {}

        void playStateChanged (bool playing, bool audition) override
        {
            const std::lock_guard<std::mutex> guard (mutex);
            events.push_back ({ playing, audition });

            if (! playing && audition)
            {
                check (model == Playing::audition, "(false, true) while no audition plays");
                model = Playing::nothing;
            }
            else if (playing && ! audition)
            {
                check (model != Playing::audition, "(true, false) without the audition's end first");
                check (engine.isTimelinePlaying() && engine.timeline->isPlaying(), "(true, false) with the timeline not installed");
                model = Playing::timeline;
            }
            else if (! playing && ! audition)
            {
                check (model == Playing::timeline, "(false, false) while the timeline does not play");
                check (engine.playerSource->getProcessor() == nullptr, "(false, false) while something is installed");
                model = Playing::nothing;
            }
            else
            {
                check (engine.isAuditioning(), "(true, true) with the audition not installed");
                model = Playing::audition;
            }
        }

        void check (bool condition, const char* fault)
        {
            if (! condition && firstFault.empty())
                firstFault = std::string (fault) + " at report " + std::to_string (events.size());
        }

        QVAudioEngine& engine;
        std::mutex mutex;
        std::vector<std::pair<bool, bool>> events;
        Playing model = Playing::nothing;
        std::string firstFault;
    };

    void writeTheme (const juce::File& folder)
    {
        ASSERT_TRUE (qvtest::writeOneStemTheme (folder, 8000, 2000, 4000, 2000));
    }
}

// The MIDI thread starts and stops playback and auditions (machine control and the panic note)
// while the command thread loads, starts, stops and unloads auditions and starts and stops the
// timeline. Every report must agree with the model and the engine (see CheckingListener), both
// listeners must hear the same sequence, and the engine must end in the state last reported.
TEST (PlaybackControl, MidiAndCommandThreadsSwitchPlaybackConsistently)
{
    juce::ScopedJuceInitialiser_GUI juceInit;
    qvtest::TempFolder library;
    writeTheme (library.getChildFile ("One"));

    QVAudioEngine engine;
    engine.libraryPath = library.getFolder();
    CheckingListener first (engine), second (engine);
    engine.addListener (&first);
    engine.addListener (&second);

    std::atomic<bool> commandsDone { false };
    std::atomic<int> midiOperations { 0 };

    std::thread midiThread ([&]
    {
        juce::Random random (1);

        while (! commandsDone)
        {
            switch (random.nextInt (3))
            {
                case 0:  engine.startPlayback(); break;
                case 1:  engine.stopPlayback(); break;
                default: engine.stopAudition(); engine.stopPlayback(); break;
            }

            ++midiOperations;
            std::this_thread::yield();
        }
    });

    std::thread commandThread ([&]
    {
        juce::Random random (2);

        for (int i = 0; i < 400; ++i)
        {
            switch (random.nextInt (9))
            {
                case 0:  engine.startAudition (engine.loadAudition ("One")); break;
                case 1:  engine.startAudition (engine.loadAudition ("Missing")); break;
                case 2:  engine.unloadAudition(); break;
                case 3:
                case 4:  engine.startAudition (false); break;
                case 5:  engine.stopAudition(); break;
                case 6:  engine.startPlayback(); break;
                default: engine.stopPlayback(); break;
            }

            std::this_thread::yield();
        }

        commandsDone = true;
    });

    commandThread.join();
    midiThread.join();
    engine.removeListener (&first);
    engine.removeListener (&second);

    EXPECT_EQ (first.firstFault, "");
    EXPECT_EQ (first.events, second.events) << "both listeners hear the same sequence";
    EXPECT_GT (midiOperations.load(), 0);
    EXPECT_GT (first.events.size(), 10u);

    EXPECT_EQ (engine.isTimelinePlaying(), first.model == Playing::timeline);
    EXPECT_EQ (engine.isAuditioning(), first.model == Playing::audition);
    EXPECT_EQ (engine.playerSource->getProcessor() == nullptr, first.model == Playing::nothing);

    if (engine.themeProcessor != nullptr)
        EXPECT_TRUE (engine.themeProcessor->isLoaded()) << "only a theme that loaded is kept";
}
