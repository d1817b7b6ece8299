#include <gtest/gtest.h>

#include "CliExecutor.h"

using namespace QVAudioEngineV4;

namespace
{
    struct CapturingTransport : CommunicationInterface
    {
        explicit CapturingTransport (QVAudioEngine* e) : CommunicationInterface (e) { attachToEngine(); }
        ~CapturingTransport() override { detachFromEngine(); }
        void sendReturnMessage (juce::var message) override { sent.add (juce::JSON::toString (message, true)); }
        juce::StringArray sent;
    };

    class ExecutorTest : public ::testing::Test
    {
    protected:
        juce::ScopedJuceInitialiser_GUI juceInit;
        QVAudioEngine engine;
        CapturingTransport transport { &engine };
        CliExecutor& executor = *transport.executor;
    };
}

TEST_F (ExecutorTest, CallbacksHaveTheirKeysInOrder)
{
    engine.timeline->setNextPlaybackPosition (72000);

    struct Case { std::function<void (CliExecutor&)> call; const char* message; };
    const Case cases[] = {
        { [] (CliExecutor& e) { e.inflectionSliderChanged (0, 0.5f); },  "{\"callback\": \"midi\", \"type\": \"inflection\", \"aspect\": \"momentum\", \"value\": 0.5}" },
        { [] (CliExecutor& e) { e.inflectionSliderChanged (2, 1.0f); },  "{\"callback\": \"midi\", \"type\": \"inflection\", \"aspect\": \"power\", \"value\": 1.0}" },
        { [] (CliExecutor& e) { e.inflectionSliderChanged (5, 0.25f); }, "{\"callback\": \"midi\", \"type\": \"inflection\", \"value\": 0.25}" },
        { [] (CliExecutor& e) { e.musicVolumeChanged (0.75f); },         "{\"callback\": \"midi\", \"type\": \"slider\", \"aspect\": \"music\", \"value\": 0.75}" },
        { [] (CliExecutor& e) { e.movieVolumeChanged (0.0f); },          "{\"callback\": \"midi\", \"type\": \"slider\", \"aspect\": \"soundtrack\", \"value\": 0.0}" },
        { [] (CliExecutor& e) { e.auxSliderChanged (3, 0.5f); },         "{\"callback\": \"midi\", \"type\": \"aux\", \"aspect\": 3, \"value\": 0.5}" },
        { [] (CliExecutor& e) { e.playStateChanged (true, true); },      "{\"callback\": \"play\", \"type\": \"audition\", \"playing\": true}" },
        { [] (CliExecutor& e) { e.playStateChanged (false, false); },    "{\"callback\": \"play\", \"type\": \"timeline\", \"playing\": false, \"position\": 1.5}" },
        { [] (CliExecutor& e) { e.renderProgress (0.5f); },              "{\"callback\": \"rendering\", \"type\": \"progress\", \"value\": 0.5}" },
        { [] (CliExecutor& e) { e.renderFinished (true); },              "{\"callback\": \"rendering\", \"type\": \"success\", \"value\": true}" },
    };

    for (const auto& c : cases)
    {
        transport.sent.clear();
        c.call (executor);
        ASSERT_EQ (transport.sent.size(), 1);
        EXPECT_EQ (transport.sent[0], juce::String (c.message));
    }
}

TEST_F (ExecutorTest, ProjectLoadReplacesTheTimelineProjectAndRepliesWithANewObject)
{
    juce::var project;
    ASSERT_TRUE (juce::JSON::parse ("{\"themes\":[],\"automs\":{\"A\":[]},\"videoFile\":\"v.mov\"}", project).wasOk());

    const auto reply = executor.executeCommand (project);

    EXPECT_NE (reply.getDynamicObject(), project.getDynamicObject());
    EXPECT_TRUE (reply.hasProperty ("elapsed"));
    EXPECT_EQ (engine.timeline->project.getDynamicObject(), project.getDynamicObject()) << "the timeline holds the document it was given";
    EXPECT_EQ (engine.timeline->saveToJSON()["videoFile"].toString(), "v.mov");
}

TEST_F (ExecutorTest, ReplyIsTheRequestObjectItself)
{
    juce::var request;
    ASSERT_TRUE (juce::JSON::parse ("{\"command\":\"nope\",\"id\":9}", request).wasOk());

    const auto reply = executor.executeCommand (request);
    EXPECT_EQ (reply.getDynamicObject(), request.getDynamicObject());
    EXPECT_EQ (transport.sent.size(), 1);
}

TEST_F (ExecutorTest, ListenerRegistrationFollowsTheTransportsLifetime)
{
    EXPECT_EQ (engine.listenerList.size(), 1);

    {
        CapturingTransport second (&engine);
        EXPECT_EQ (engine.listenerList.size(), 2);
    }

    EXPECT_EQ (engine.listenerList.size(), 1);
}
