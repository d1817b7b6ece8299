#include <gtest/gtest.h>
#include "common/ParameterAutomator.h"

#include <vector>

using namespace QVAudioEngineV4;

namespace
{
    /** Parses a key-frame list written as JSON text. */
    juce::Array<juce::var> keyFrameList (const char* json)
    {
        const auto parsed = juce::JSON::parse (juce::String (json));
        jassert (parsed.isArray());
        return *parsed.getArray();
    }

    struct Call
    {
        juce::String listener;
        juce::String parameter;
        float value;
    };

    struct RecordingListener : ParameterAutomator::Listener
    {
        RecordingListener (juce::String n, std::vector<Call>& c) : name (std::move (n)), calls (c) {}

        void applyParameter (const juce::Identifier& id, float value) override
        {
            calls.push_back ({ name, id.toString(), value });
        }

        juce::String name;
        std::vector<Call>& calls;
    };

    struct TestProcessor : AutomatedProcessor
    {
        const juce::String getName() const override { return "test"; }
        void prepareToPlay (double, int) override {}
        void releaseResources() override {}
        void processBlock (juce::AudioBuffer<float>&, juce::MidiBuffer&) override {}
        void getStateInformation (juce::MemoryBlock&) override {}
        void setStateInformation (const void*, int) override {}
        void setNextPlaybackPosition (long long p) override { position = p; }
        long long getNextPlaybackPosition() const override { return position; }

        void applyParameter (const juce::Identifier& id, float value) override
        {
            received.push_back ({ "processor", id.toString(), value });
        }

        long long position = 0;
        std::vector<Call> received;
    };
}

//==============================================================================
struct InterpolationCase
{
    const char* description;
    std::vector<std::pair<long long, float>> keyFrames;
    long long position;
    float expected;
};

static void PrintTo (const InterpolationCase& c, std::ostream* os) { *os << c.description; }

class AutomatedParameterInterpolation : public ::testing::TestWithParam<InterpolationCase> {};

TEST_P (AutomatedParameterInterpolation, ValueAtPosition)
{
    const auto& c = GetParam();
    ParameterAutomator::AutomatedParameter parameter ("A");

    for (const auto& [position, value] : c.keyFrames)
        parameter.keyFrames[position] = value;

    // Exact comparison: the interpolation is specified to the bit in single precision.
    EXPECT_EQ (parameter.getValueAt (c.position), c.expected) << c.description;
}

// Key frames at 1 s (value 0) and 3 s (value 1) at 48000 Hz.
static const std::vector<std::pair<long long, float>> rampUp { { 48000, 0.0f }, { 144000, 1.0f } };
// Hand-computed single-precision reference for the interior point of an uneven ramp.
static const float unevenReference = 0.1f + (0.7f - 0.1f) * ((float) 1 / (float) 3);

INSTANTIATE_TEST_SUITE_P (
    Table, AutomatedParameterInterpolation,
    ::testing::Values (
        InterpolationCase { "no key frames gives 1", {}, 12345, 1.0f },
        InterpolationCase { "no key frames at a negative position", {}, -5, 1.0f },
        InterpolationCase { "midway between 1 s and 3 s", rampUp, 96000, 0.5f },
        InterpolationCase { "before the first key frame", rampUp, 0, 0.0f },
        InterpolationCase { "exactly on the first key frame", rampUp, 48000, 0.0f },
        InterpolationCase { "exactly on the last key frame", rampUp, 144000, 1.0f },
        InterpolationCase { "long after the last key frame", rampUp, 1000000000LL, 1.0f },
        InterpolationCase { "one sample after the first key frame", rampUp, 48001, 1.0f / 96000.0f },
        InterpolationCase { "one key frame, before it", { { 100, 0.25f } }, 0, 0.25f },
        InterpolationCase { "one key frame, after it", { { 100, 0.25f } }, 500, 0.25f },
        InterpolationCase { "falling segment", { { 0, 2.0f }, { 100, -2.0f }, { 200, 0.0f } }, 25, 1.0f },
        InterpolationCase { "second segment of three", { { 0, 2.0f }, { 100, -2.0f }, { 200, 0.0f } }, 150, -1.0f },
        InterpolationCase { "exactly on a middle key frame", { { 0, 2.0f }, { 100, -2.0f }, { 200, 0.0f } }, 100, -2.0f },
        InterpolationCase { "single-precision interior value", { { 0, 0.1f }, { 3, 0.7f } }, 1, unevenReference },
        InterpolationCase { "key frames far apart do not overflow",
                            { { -9000000000000000000LL, 0.0f }, { 9000000000000000000LL, 1.0f } }, 0, 0.5f }));

//==============================================================================
TEST (AutomatedParameterKeyFrames, ReadsSecondsAndValuesFromJSON)
{
    ParameterAutomator::AutomatedParameter parameter ("B");
    auto list = keyFrameList (R"([{"ts": 3, "v": 1}, {"ts": 1, "v": 0.25}, {"ts": 0.0000104, "v": 7}])");
    parameter.addKeyFramesFromJSON (&list, 48000.0);

    // The array order does not matter; 0.0000104 s × 48000 = 0.4992 truncates to 0.
    const std::map<long long, float> expected { { 0, 7.0f }, { 48000, 0.25f }, { 144000, 1.0f } };
    EXPECT_EQ (parameter.keyFrames, expected);
}

TEST (AutomatedParameterKeyFrames, LaterDuplicateWinsAndListsMerge)
{
    ParameterAutomator::AutomatedParameter parameter ("B");

    auto first = keyFrameList (R"([{"ts": 1, "v": 0.1}, {"ts": 2, "v": 0.2}, {"ts": 1, "v": 0.3}])");
    parameter.addKeyFramesFromJSON (&first, 48000.0);
    EXPECT_EQ (parameter.keyFrames.at (48000), 0.3f);

    auto second = keyFrameList (R"([{"ts": 2, "v": 0.9}, {"ts": 4, "v": 0.4}])");
    parameter.addKeyFramesFromJSON (&second, 48000.0);

    const std::map<long long, float> expected { { 48000, 0.3f }, { 96000, 0.9f }, { 192000, 0.4f } };
    EXPECT_EQ (parameter.keyFrames, expected);
}

TEST (AutomatedParameterKeyFrames, MalformedElementsAndMissingKeys)
{
    ParameterAutomator::AutomatedParameter parameter ("C");

    parameter.addKeyFramesFromJSON (nullptr, 48000.0);
    EXPECT_TRUE (parameter.keyFrames.empty());

    // Non-objects are skipped; a missing "ts" or "v" reads as 0; a negative time truncates
    // toward zero; a time too large for a sample position is skipped.
    auto list = keyFrameList (R"([{"ts": -0.00001, "v": 0.75}, {"v": 0.5}, {"ts": 2}, {"ts": 1e300, "v": 1}, 5, "text", [1, 2], null])");
    parameter.addKeyFramesFromJSON (&list, 48000.0);

    const std::map<long long, float> expected { { 0, 0.5f }, { 96000, 0.0f } };
    EXPECT_EQ (parameter.keyFrames, expected);
}

//==============================================================================
class ParameterAutomatorDispatch : public ::testing::Test
{
protected:
    void SetUp() override
    {
        auto* a = automator.parameters.add (new ParameterAutomator::AutomatedParameter ("A"));
        a->keyFrames = { { 0, 0.0f }, { 100, 1.0f } };
        automator.parameters.add (new ParameterAutomator::AutomatedParameter ("M"));   // no key frames
    }

    std::vector<Call> calls;
    ParameterAutomator automator;
};

TEST_F (ParameterAutomatorDispatch, EveryParameterToEveryListenerNewestFirst)
{
    RecordingListener first ("first", calls), second ("second", calls);
    automator.listeners.add (&first);
    automator.listeners.add (&second);

    automator.applyAutomations (50);

    ASSERT_EQ (calls.size(), 4u);
    const std::vector<std::tuple<const char*, const char*, float>> expected {
        { "second", "A", 0.5f }, { "first", "A", 0.5f }, { "second", "M", 1.0f }, { "first", "M", 1.0f } };

    for (size_t i = 0; i < expected.size(); ++i)
    {
        EXPECT_EQ (calls[i].listener, std::get<0> (expected[i])) << i;
        EXPECT_EQ (calls[i].parameter, std::get<1> (expected[i])) << i;
        EXPECT_EQ (calls[i].value, std::get<2> (expected[i])) << i;
    }
}

TEST_F (ParameterAutomatorDispatch, InactiveAutomatorCallsNobody)
{
    RecordingListener listener ("only", calls);
    automator.listeners.add (&listener);

    automator.applyAutomations (25);
    ASSERT_EQ (calls.size(), 2u);

    automator.active = false;
    automator.applyAutomations (75);
    EXPECT_EQ (calls.size(), 2u);

    automator.active = true;
    automator.applyAutomations (75);
    ASSERT_EQ (calls.size(), 4u);
    EXPECT_EQ (calls[2].value, 0.75f);
}

TEST (AutomatedProcessor, IsTheOnlyListenerOfItsAutomator)
{
    TestProcessor processor;
    EXPECT_TRUE (processor.automator.active);
    EXPECT_EQ (processor.automationSampleRate, 48000.0);
    EXPECT_EQ (processor.sampleRate, 48000.0);

    auto* parameter = processor.automator.parameters.add (new ParameterAutomator::AutomatedParameter ("V"));
    auto list = keyFrameList (R"([{"ts": 0, "v": 0}, {"ts": 1, "v": 2}])");
    parameter->addKeyFramesFromJSON (&list, processor.automationSampleRate);

    processor.applyAutomations (12000);

    ASSERT_EQ (processor.received.size(), 1u);
    EXPECT_EQ (processor.received[0].parameter, "V");
    EXPECT_EQ (processor.received[0].value, 0.5f);
    EXPECT_EQ (processor.automator.getParameter ("V"), parameter);
    EXPECT_EQ (processor.automator.getParameter ("A"), nullptr);
}
