#include "themes/InflectionTemplate.h"

#include <gtest/gtest.h>

using QVAudioEngineV4::ThemeMixVolumes;

namespace
{
    std::unique_ptr<ThemeMixVolumes> makeTemplate (int numStems, const juce::String& patternsJson,
                                                   const juce::String& mixerJson = {})
    {
        auto volumes = std::make_unique<ThemeMixVolumes>();
        volumes->stemMasks.assign ((size_t) numStems, 0);
        volumes->volumes.assign ((size_t) numStems, 0.0);
        volumes->loadPattern (juce::JSON::parse (patternsJson));

        if (mixerJson.isNotEmpty())
            volumes->loadMixerSettings (juce::JSON::parse (mixerJson));

        return volumes;
    }

    // Stem 0 in "AAA" and "BAA", stem 1 in "BAA", stem 2 in "CAA" and every "C.." with B=C=0,
    // stem 3 in "CCC".
    const char* const fourStems = R"({"AAA": [0], "BAA": [0, 1], "CAA": [0, 1, 2], "CCC": [0, 1, 2, 3]})";

    struct VolumeCase
    {
        double a, b, c;
        bool equalGain;
        std::vector<double> expected;
    };
}

TEST (ThemeMixVolumes, VolumeTable)
{
    const double half = std::sin (0.25 * 3.14159265358979323846);   // sin(pi/4)

    const std::vector<VolumeCase> cases {
        { 0.0, 0.0, 0.0, false, { 1.0, 0.0, 0.0, 0.0 } },
        { 0.0, 0.0, 0.0, true,  { 1.0, 0.0, 0.0, 0.0 } },
        { 0.5, 0.0, 0.0, false, { 1.0, 0.5, 0.0, 0.0 } },
        { 0.5, 0.0, 0.0, true,  { 2 * half, half, 0.0, 0.0 } },
        { 1.0, 0.0, 0.0, false, { 1.0, 1.0, 0.0, 0.0 } },
        { 1.5, 0.0, 0.0, false, { 1.0, 1.0, 0.5, 0.0 } },
        { 2.0, 0.0, 0.0, false, { 1.0, 1.0, 1.0, 0.0 } },
        { 2.5, 0.0, 0.0, false, { 0.5, 0.5, 0.5, 0.0 } },
        { 3.0, 0.0, 0.0, false, { 0.0, 0.0, 0.0, 0.0 } },
        { 2.0, 2.0, 2.0, false, { 1.0, 1.0, 1.0, 1.0 } },
        { 2.0, 1.0, 1.0, false, { 0.0, 0.0, 0.0, 0.0 } },
        // Between levels along B and C at once: only "CCC" is near enough, 0.5 away in each.
        { 2.0, 1.5, 1.5, false, { 0.25, 0.25, 0.25, 0.25 } },
        { 2.0, 1.75, 1.75, false, { 0.5625, 0.5625, 0.5625, 0.5625 } },
        { 2.0, 1.75, 1.75, true, { std::pow (std::sin (0.75 * 1.5707963267948966), 2.0),
                                   std::pow (std::sin (0.75 * 1.5707963267948966), 2.0),
                                   std::pow (std::sin (0.75 * 1.5707963267948966), 2.0),
                                   std::pow (std::sin (0.75 * 1.5707963267948966), 2.0) } },
    };

    for (const auto& tc : cases)
    {
        auto mix = makeTemplate (4, fourStems, tc.equalGain ? R"({"EqualGain": true})" : R"({})");
        mix->inflectionA = tc.a;
        mix->inflectionB = tc.b;
        mix->inflectionC = tc.c;
        mix->wasabi();

        for (size_t s = 0; s < tc.expected.size(); ++s)
            EXPECT_NEAR (mix->volumes[s], tc.expected[s], 1e-12)
                << "A=" << tc.a << " B=" << tc.b << " C=" << tc.c << (tc.equalGain ? " equal gain" : " linear")
                << " stem " << s;
    }
}

TEST (ThemeMixVolumes, StartsAtLevelZeroAndDirty)
{
    auto mix = makeTemplate (4, fourStems);
    EXPECT_TRUE (mix->volumesDirty);
    mix->wasabi();
    EXPECT_FALSE (mix->volumesDirty);
    EXPECT_EQ (mix->volumes, (std::vector<double> { 1.0, 0.0, 0.0, 0.0 }));
}

TEST (ThemeMixVolumes, LoadPatternMasksAndInvalidEntries)
{
    // Unknown keys, out-of-range stems, empty arrays and non-array values are skipped; a
    // repeated stem counts once.
    auto mix = makeTemplate (3, R"({"AAA": [0, 0, 2], "AAB": [1, 7, -1], "ABA": [], "DAA": [0], "AA": [1],
                                   "aaa": [1], "CCC": "x", "BBB": [2.9]})");

    EXPECT_EQ (mix->stemMasks, (std::vector<int> { 1, 2, 1 | (1 << 13) }));
    EXPECT_EQ (mix->patternStems[0].size(), 2u);
    EXPECT_TRUE (mix->patternStems[3].empty());
    EXPECT_TRUE (mix->patternStems[26].empty());

    mix->inflectionC = 1.0;
    mix->wasabi();
    EXPECT_EQ (mix->volumes, (std::vector<double> { 0.0, 1.0, 0.0 }));

    // A value that is not an object leaves every stem silent.
    auto silent = makeTemplate (2, R"([1, 2])");
    silent->wasabi();
    EXPECT_EQ (silent->stemMasks, (std::vector<int> { 0, 0 }));
    EXPECT_EQ (silent->volumes, (std::vector<double> { 0.0, 0.0 }));
}

TEST (ThemeMixVolumes, MixerSettings)
{
    ThemeMixVolumes mix;
    mix.volumesDirty = false;
    mix.loadMixerSettings (juce::JSON::parse (R"({"SimpleMode": true})"));
    EXPECT_FALSE (mix.equalGain);
    EXPECT_TRUE (mix.simpleMode);
    EXPECT_TRUE (mix.volumesDirty);

    mix.loadMixerSettings (juce::JSON::parse (R"({"EqualGain": true, "Other": 3})"));
    EXPECT_TRUE (mix.equalGain);
    EXPECT_FALSE (mix.simpleMode);

    mix.loadMixerSettings (juce::var ("not an object"));
    EXPECT_FALSE (mix.equalGain);
    EXPECT_FALSE (mix.simpleMode);
}

TEST (ThemeMixVolumes, PatternKeys)
{
    EXPECT_EQ (ThemeMixVolumes::getInflection (0), "AAA");
    EXPECT_EQ (ThemeMixVolumes::getInflection (1), "AAB");
    EXPECT_EQ (ThemeMixVolumes::getInflection (13), "BBB");
    EXPECT_EQ (ThemeMixVolumes::getInflection (26), "CCC");

    EXPECT_EQ (ThemeMixVolumes::getInflectionForBit (0), "");
    EXPECT_EQ (ThemeMixVolumes::getInflectionForBit (6), "AAB");
    EXPECT_EQ (ThemeMixVolumes::getInflectionForBit (1 << 26), "CCC");
    EXPECT_EQ (ThemeMixVolumes::getInflectionForBit (1 << 27), "");

    for (int i = 0; i < ThemeMixVolumes::numPatterns; ++i)
        EXPECT_EQ (ThemeMixVolumes::getPatternIndex (ThemeMixVolumes::getInflection (i)), i);
}
