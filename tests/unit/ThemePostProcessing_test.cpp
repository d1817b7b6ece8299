#include <gtest/gtest.h>
#include "DspTestSupport.h"
#include "audioeffects/Dynamics.h"
#include "audioeffects/QVCompressor.h"
#include "themes/ThemePostProcessing.h"

using namespace QVAudioEngineV4;
using namespace qvtest;

namespace
{
    juce::StringArray namesOf (const juce::OwnedArray<juce::AudioProcessor>& chain)
    {
        juce::StringArray names;

        for (auto* processor : chain)
            names.add (processor->getName());

        return names;
    }

    const juce::String compressor = "Dynamics Compressor", limiter = "Dynamics Limiter", plumet = "QuilvarnCompressor";
}

struct ChainCase
{
    const char* description;
    const char* config;
    juce::StringArray pre, post;
};

static void PrintTo (const ChainCase& c, std::ostream* os) { *os << c.description; }

class ThemePostProcessingChains : public ::testing::TestWithParam<ChainCase> {};

TEST_P (ThemePostProcessingChains, ConfigurationBuildsTheChains)
{
    const auto& c = GetParam();
    ThemePostProcessing effects;
    effects.loadFromJSON (juce::JSON::parse (juce::String (c.config)));

    EXPECT_EQ (namesOf (effects.preGainProcessors), c.pre) << c.description;
    EXPECT_EQ (namesOf (effects.postGainProcessors), c.post) << c.description;
}

INSTANTIATE_TEST_SUITE_P (
    Table, ThemePostProcessingChains,
    ::testing::Values (
        ChainCase { "type names ignore case",
                    R"({"EffectsV2": {"Pre": [{"name": "krovlimiter", "pregain": 6}]}})", { limiter }, {} },
        ChainCase { "both chains in order",
                    R"({"EffectsV2": {"Pre": [{"name": "KrovCompressor"}, {"name": "PLUMETCOMPRESSOR"}], "Post": [{"name": "KrovLimiter"}]}})",
                    { compressor, plumet }, { limiter } },
        ChainCase { "EffectsV2 wins over Effects",
                    R"({"EffectsV2": {"Post": [{"name": "KrovLimiter"}]}, "Effects": {"dattacktime": 0.01, "lattacktime": 0.01}})",
                    {}, { limiter } },
        ChainCase { "an empty EffectsV2 still wins",
                    R"({"EffectsV2": {}, "Effects": {"dattacktime": 0.01}})", {}, {} },
        ChainCase { "EffectsV2 that is no object falls back to Effects",
                    R"({"EffectsV2": [1], "Effects": {"dattacktime": 0.01, "lattacktime": 0.01}})", { compressor, limiter }, {} },
        ChainCase { "flat form: compressor then limiter, both before the gain",
                    R"({"Effects": {"lattacktime": 0.01, "dattacktime": 0.01}})", { compressor, limiter }, {} },
        ChainCase { "flat form: limiter only", R"({"Effects": {"lattacktime": 0.01, "pregain": 3}})", { limiter }, {} },
        ChainCase { "flat form without either key", R"({"Effects": {"threshold": -10, "pregain": 3}})", {}, {} },
        ChainCase { "unknown types, missing names and non-objects are skipped",
                    R"({"EffectsV2": {"Pre": [5, "KrovLimiter", {"pregain": 3}, {"name": 7}], "Post": [{"name": "Reverb"}, null]}})", {}, {} },
        ChainCase { "chains that are not arrays stay empty",
                    R"({"EffectsV2": {"Pre": {"name": "KrovLimiter"}, "Post": "KrovLimiter"}})", {}, {} },
        ChainCase { "no effects at all", R"({"name": "theme"})", {}, {} },
        ChainCase { "configuration that is no object", "[1, 2]", {}, {} }));

TEST (ThemePostProcessing, EachProcessorReceivesItsSettings)
{
    ThemePostProcessing effects;
    effects.loadFromJSON (juce::JSON::parse (R"({"EffectsV2": {
        "Pre":  [{"name": "KrovLimiter", "pregain": 6, "lattacktime": 0.004, "decaytime": 0.01}],
        "Post": [{"name": "PlumetCompressor", "ratio": 2, "threshold": -20, "makeup": 3}]}})"));

    ASSERT_EQ (effects.preGainProcessors.size(), 1);
    ASSERT_EQ (effects.postGainProcessors.size(), 1);

    auto* lim = dynamic_cast<QVLimiterProcessor*> (effects.preGainProcessors[0]);
    ASSERT_NE (lim, nullptr);
    EXPECT_FLOAT_EQ (lim->getPreGainDb(), 6.0f);
    EXPECT_FLOAT_EQ (lim->getAttackTime(), 0.004f);
    EXPECT_FLOAT_EQ (lim->getReleaseTime(), 0.2f);

    auto* comp = dynamic_cast<QVCompressorProcessor*> (effects.postGainProcessors[0]);
    ASSERT_NE (comp, nullptr);
    EXPECT_NEAR (comp->getUnNormalisedValue (QVCompressorProcessor::paramRatio), 2.0f, 1e-5);
    EXPECT_NEAR (comp->getUnNormalisedValue (QVCompressorProcessor::paramThreshold), -20.0f, 1e-4);
    EXPECT_NEAR (comp->getUnNormalisedValue (QVCompressorProcessor::paramMakeUp), 3.0f, 1e-4);
}

TEST (ThemePostProcessing, FlatFormSharesOneObjectAndLeavesItWithoutName)
{
    const auto config = juce::JSON::parse (R"({"Effects": {"name": "old", "dattacktime": 0.02, "threshold": -12, "headroom": 6,
                                                           "releasetime": 0.5, "mastergain": 2,
                                                           "lattacktime": 0.001, "pregain": 3, "decaytime": 0.01}})");
    ThemePostProcessing effects;
    effects.loadFromJSON (config);

    ASSERT_EQ (effects.preGainProcessors.size(), 2);
    auto* comp = dynamic_cast<QVDynamicsProcessor*> (effects.preGainProcessors[0]);
    auto* lim = dynamic_cast<QVLimiterProcessor*> (effects.preGainProcessors[1]);
    ASSERT_NE (comp, nullptr);
    ASSERT_NE (lim, nullptr);

    EXPECT_FLOAT_EQ (comp->getAttackTime(), 0.02f);
    EXPECT_FLOAT_EQ (comp->getThresholdDb(), -12.0f);
    EXPECT_FLOAT_EQ (comp->getMasterGainDb(), 2.0f);
    EXPECT_FLOAT_EQ (lim->getAttackTime(), 0.001f);
    EXPECT_FLOAT_EQ (lim->getPreGainDb(), 3.0f);
    EXPECT_FLOAT_EQ (lim->getReleaseTime(), 0.2f);

    const auto flat = config["Effects"];
    EXPECT_FALSE (flat.hasProperty ("name"));
    EXPECT_EQ (flat.getDynamicObject()->getProperties().size(), 8);
}

TEST (ThemePostProcessing, ChainsRunInPlaceOnTheCallersSamples)
{
    ThemePostProcessing effects;
    effects.loadFromJSON (juce::JSON::parse (R"({"EffectsV2": {"Post": [{"name": "PlumetCompressor", "makeup": -12}]}})"));

    // The caller's own memory, reached through a buffer that refers to it.
    std::vector<float> left (512, 0.5f), right (512, 0.5f);
    float* channels[] = { left.data(), right.data() };
    const auto run = [&] { effects.processBlockPostGain (juce::AudioBuffer<float> (channels, 2, 512)); };

    // Not prepared yet: untouched.
    run();
    EXPECT_EQ (left[511], 0.5f);

    effects.prepareToPlay (testSampleRate, 512);

    for (int block = 0; block < 10; ++block)
    {
        std::fill (left.begin(), left.end(), 0.5f);
        std::fill (right.begin(), right.end(), 0.5f);
        run();
    }

    EXPECT_NEAR (left[511], 0.5f * decibelsToGain (-12.0) * 0.99999f, 1e-5);
    EXPECT_NEAR (right[511], 0.5f * decibelsToGain (-12.0) * 0.99999f, 1e-5);

    // The pre-gain chain is empty here and leaves the samples alone.
    std::fill (left.begin(), left.end(), 0.5f);
    effects.processBlockPreGain (juce::AudioBuffer<float> (channels, 2, 512));
    EXPECT_EQ (left[511], 0.5f);
}
