#include <gtest/gtest.h>
#include "DspTestSupport.h"
#include "audioeffects/Dynamics.h"

#include <cmath>

using namespace QVAudioEngineV4;
using namespace qvtest;

namespace
{
    /** The knee written independently of the processor's polynomial coefficients: the cubic
        Hermite segment from (T, T) with slope 1 to (40, T + H) with slope 0. */
    double kneeReference (double level, double T, double H)
    {
        if (T >= level)
            return level;

        if (level >= 40.0)
            return T + H;

        const double h = 40.0 - T;
        const double t = (level - T) / h;
        const double t2 = t * t, t3 = t2 * t;
        return T * (2 * t3 - 3 * t2 + 1) + h * (t3 - 2 * t2 + t) + (T + H) * (-2 * t3 + 3 * t2);
    }

    juce::String compressorSettings (double T, double H, double G, double attack, double release)
    {
        return juce::String::formatted (R"({"threshold": %g, "headroom": %g, "mastergain": %g, "dattacktime": %g, "releasetime": %g})",
                                        T, H, G, attack, release);
    }

    /** Output over input at one sample of channel 0. */
    double gainDbAt (const juce::AudioBuffer<float>& out, const std::vector<float>& in, int i)
    {
        return gainToDecibels (out.getSample (0, i) / in[(size_t) i]);
    }
}

//==============================================================================
// Dynamics compressor

struct SteadyLevelCase
{
    double T, H, G, levelDb;
    int numChannels;
    double handComputedGainDb;   // NAN when only the reference formula applies
};

static void PrintTo (const SteadyLevelCase& c, std::ostream* os)
{
    *os << "T " << c.T << " H " << c.H << " G " << c.G << " level " << c.levelDb << " dB, " << c.numChannels << " channels";
}

class DynamicsCompressorSteadyLevel : public ::testing::TestWithParam<SteadyLevelCase> {};

TEST_P (DynamicsCompressorSteadyLevel, GainFollowsTheStaticCurve)
{
    const auto& c = GetParam();
    QVDynamicsProcessor compressor;
    setStateFromJSON (compressor, compressorSettings (c.T, c.H, c.G, 0.01, 0.1));
    compressor.prepareToPlay (testSampleRate, 512);

    // A constant signal: its mean square, envelope and gain all settle.
    const float amplitude = decibelsToGain (c.levelDb);
    const std::vector<float> input ((size_t) testSampleRate, amplitude);
    auto buffer = makeBuffer (input, c.numChannels);
    processInBlocks (compressor, buffer, 512);

    const double expectedDb = kneeReference (c.levelDb, c.T, c.H) - c.levelDb + c.G;
    const int last = (int) input.size() - 1;

    for (int channel = 0; channel < juce::jmin (2, c.numChannels); ++channel)
        EXPECT_NEAR (gainToDecibels (buffer.getSample (channel, last) / amplitude), expectedDb, 0.002) << "channel " << channel;

    if (! std::isnan (c.handComputedGainDb))
        EXPECT_NEAR (gainToDecibels (buffer.getSample (0, last) / amplitude), c.handComputedGainDb, 0.006);

    // Channels beyond the second are not touched.
    for (int channel = 2; channel < c.numChannels; ++channel)
        EXPECT_EQ (buffer.getSample (channel, last), amplitude);
}

INSTANTIATE_TEST_SUITE_P (
    Table, DynamicsCompressorSteadyLevel,
    ::testing::Values (SteadyLevelCase { -20, 6, 0, -25, 2, 0.0 },      // below the threshold
                       SteadyLevelCase { -20, 6, 0, -10, 2, -2.61 },    // inside the knee
                       SteadyLevelCase { -20, 6, 0, 0, 2, -9.56 },
                       SteadyLevelCase { -20, 6, 0, 46, 2, -60.0 },     // above the ceiling: out = T + H
                       SteadyLevelCase { -20, 6, 6, -10, 2, 3.39 },     // master gain adds
                       SteadyLevelCase { -30, 12, 0, -6, 2, NAN },
                       SteadyLevelCase { -20, 6, 0, -10, 1, -2.61 },    // mono: its one channel, once
                       SteadyLevelCase { -20, 6, 0, 0, 3, -9.56 }));

TEST (DynamicsCompressor, WithoutAttackTimeOnlyTheMasterGainActs)
{
    // No "dattacktime": attack and detector coefficients are 0, the mean square stays 0.
    QVDynamicsProcessor compressor;
    setStateFromJSON (compressor, R"({"threshold": -40, "headroom": 6, "mastergain": 6})");
    compressor.prepareToPlay (testSampleRate, 512);

    const auto input = makeSine (9600, 1000.0, 0.9f);
    auto buffer = makeBuffer (input, 2);
    processInBlocks (compressor, buffer, 512);

    for (int i = 4800; i < 9600; i += 7)
        ASSERT_NEAR (buffer.getSample (1, i), input[(size_t) i] * decibelsToGain (6.0), 1e-5) << i;
}

TEST (DynamicsCompressor, AttackAndReleaseReachTheirTargetsOverTheirTimes)
{
    const double attack = 0.05, release = 0.5;
    QVDynamicsProcessor compressor;
    setStateFromJSON (compressor, compressorSettings (-20, 6, 0, attack, release));
    compressor.prepareToPlay (testSampleRate, 512);

    // −40 dB (below the threshold), a step to 0 dB, and back.
    const int stepUp = 24000, stepDown = 72000, total = 120000;
    std::vector<float> input ((size_t) total, 0.01f);
    std::fill (input.begin() + stepUp, input.begin() + stepDown, 1.0f);

    auto buffer = makeBuffer (input, 2);
    processInBlocks (compressor, buffer, 512);

    const auto samplesOf = [] (double seconds) { return (int) (seconds * testSampleRate); };
    const double loudGainDb = kneeReference (0.0, -20, 6);   // −9.56 dB

    EXPECT_NEAR (gainDbAt (buffer, input, stepUp - 1), 0.0, 1e-4);
    EXPECT_GT (gainDbAt (buffer, input, stepUp + samplesOf (attack / 10)), loudGainDb + 2.0);
    EXPECT_NEAR (gainDbAt (buffer, input, stepUp + samplesOf (attack + 0.005)), loudGainDb, 0.05);
    EXPECT_NEAR (gainDbAt (buffer, input, stepDown - 1), loudGainDb, 0.002);

    EXPECT_LT (gainDbAt (buffer, input, stepDown + samplesOf (release / 10)), -1.0);
    EXPECT_NEAR (gainDbAt (buffer, input, stepDown + samplesOf (release + 0.005)), 0.0, 0.01);
}

TEST (DynamicsCompressor, UnpreparedOrReleasedLeavesAudioUntouched)
{
    QVDynamicsProcessor compressor;
    setStateFromJSON (compressor, compressorSettings (-40, 6, 12, 0.01, 0.1));

    const auto input = makeSine (2048, 440.0, 0.8f);
    auto buffer = makeBuffer (input, 2);
    processInBlocks (compressor, buffer, 512);

    for (int i = 0; i < 2048; ++i)
        ASSERT_EQ (buffer.getSample (0, i), input[(size_t) i]);

    compressor.prepareToPlay (testSampleRate, 512);
    compressor.releaseResources();
    auto again = makeBuffer (input, 2);
    processInBlocks (compressor, again, 512);

    for (int i = 0; i < 2048; ++i)
        ASSERT_EQ (again.getSample (1, i), input[(size_t) i]);
}

struct DynamicsStateCase
{
    const char* json;
    float threshold, headroom, attack, release, masterGain;
};

static void PrintTo (const DynamicsStateCase& c, std::ostream* os) { *os << c.json; }

class DynamicsCompressorState : public ::testing::TestWithParam<DynamicsStateCase> {};

TEST_P (DynamicsCompressorState, SettingsAreReadAndClamped)
{
    const auto& c = GetParam();
    QVDynamicsProcessor compressor;
    setStateFromJSON (compressor, c.json);

    EXPECT_FLOAT_EQ (compressor.getThresholdDb(), c.threshold);
    EXPECT_FLOAT_EQ (compressor.getHeadroomDb(), c.headroom);
    EXPECT_FLOAT_EQ (compressor.getAttackTime(), c.attack);
    EXPECT_FLOAT_EQ (compressor.getReleaseTime(), c.release);
    EXPECT_FLOAT_EQ (compressor.getMasterGainDb(), c.masterGain);
}

INSTANTIATE_TEST_SUITE_P (
    Table, DynamicsCompressorState,
    ::testing::Values (
        DynamicsStateCase { R"({"threshold": -12, "headroom": 6, "dattacktime": 0.02, "releasetime": 0.5, "mastergain": 3})", -12, 6, 0.02f, 0.5f, 3 },
        DynamicsStateCase { R"({"threshold": 50, "headroom": 100, "dattacktime": 1, "releasetime": 9, "mastergain": 99})", 20, 40, 0.3f, 3, 40 },
        DynamicsStateCase { R"({"threshold": -500, "headroom": 0.01, "dattacktime": 0.0001, "releasetime": 0.001, "mastergain": -99})", -100, 0.1f, 0.001f, 0.01f, -40 },
        // Equal to the current 0, so not clamped; missing keys read 0 likewise.
        DynamicsStateCase { R"({"headroom": 0, "unknown": 5})", 0, 0, 0, 0, 0 },
        DynamicsStateCase { "not json at all", 0, 0, 0, 0, 0 },
        DynamicsStateCase { "[1, 2, 3]", 0, 0, 0, 0, 0 },
        DynamicsStateCase { R"({"threshold": "nan", "headroom": 6})", 0, 6, 0, 0, 0 }));

TEST (DynamicsCompressorState, StateRoundTripsThroughAFreshProcessor)
{
    QVDynamicsProcessor original;
    setStateFromJSON (original, R"({"threshold": 50, "headroom": 7.5, "dattacktime": 0.025, "releasetime": 0.4, "mastergain": -3})");

    const auto saved = getStateAsJSON (original);
    EXPECT_EQ (saved["name"].toString(), "KrovCompressor");
    EXPECT_EQ ((double) saved["threshold"], 20.0);

    QVDynamicsProcessor copy;
    setStateFromJSON (copy, juce::JSON::toString (saved));

    EXPECT_EQ (copy.getThresholdDb(), original.getThresholdDb());
    EXPECT_EQ (copy.getHeadroomDb(), original.getHeadroomDb());
    EXPECT_EQ (copy.getAttackTime(), original.getAttackTime());
    EXPECT_EQ (copy.getReleaseTime(), original.getReleaseTime());
    EXPECT_EQ (copy.getMasterGainDb(), original.getMasterGainDb());
}

//==============================================================================
// Dynamics limiter

namespace
{
    constexpr float limiterCeiling = 0.99999f;
    constexpr int lookaheadSamples = 96;   // 2 ms at 48000 Hz

    /** The limiter's gain at output samples [start, end), read as output over the delayed
        input where the input is large enough and the output not clipped. */
    double limiterGain (const juce::AudioBuffer<float>& out, const std::vector<float>& in, int delay, int start, int end)
    {
        double sum = 0;
        int count = 0;

        for (int i = start; i < end; ++i)
        {
            const float x = in[(size_t) (i - delay)];
            const float y = out.getSample (0, i);

            if (std::abs (x) > 0.3f && std::abs (y) < 0.999f)
            {
                sum += y / (x * limiterCeiling);
                ++count;
            }
        }

        EXPECT_GT (count, 0);
        return count > 0 ? sum / count : 0.0;
    }
}

TEST (DynamicsLimiterState, ConstructionValuesAndEmptySettings)
{
    QVLimiterProcessor limiter;
    EXPECT_FLOAT_EQ (limiter.getAttackTime(), 0.002f);
    EXPECT_FLOAT_EQ (limiter.getReleaseTime(), 0.03f);
    EXPECT_FLOAT_EQ (limiter.getPreGainDb(), 0.0f);
    EXPECT_FLOAT_EQ (limiter.getLookaheadMs(), 0.0f);
    EXPECT_FLOAT_EQ (limiter.getTone(), 0.65f);

    // Missing keys read 0, which clamps to the lower limits; look-ahead and tone get fixed.
    setStateFromJSON (limiter, "{}");
    EXPECT_FLOAT_EQ (limiter.getAttackTime(), 0.0005f);
    EXPECT_FLOAT_EQ (limiter.getReleaseTime(), 0.02f);
    EXPECT_FLOAT_EQ (limiter.getPreGainDb(), 0.0f);
    EXPECT_FLOAT_EQ (limiter.getLookaheadMs(), 2.0f);
    EXPECT_FLOAT_EQ (limiter.getTone(), 0.6f);
}

struct LimiterStateCase
{
    const char* json;
    float preGain, attack, release, lookahead, tone;
};

static void PrintTo (const LimiterStateCase& c, std::ostream* os) { *os << c.json; }

class DynamicsLimiterSettings : public ::testing::TestWithParam<LimiterStateCase> {};

TEST_P (DynamicsLimiterSettings, SettingsAreReadAndClamped)
{
    const auto& c = GetParam();
    QVLimiterProcessor limiter;
    setStateFromJSON (limiter, c.json);

    EXPECT_FLOAT_EQ (limiter.getPreGainDb(), c.preGain);
    EXPECT_FLOAT_EQ (limiter.getAttackTime(), c.attack);
    EXPECT_FLOAT_EQ (limiter.getReleaseTime(), c.release);
    EXPECT_FLOAT_EQ (limiter.getLookaheadMs(), c.lookahead);
    EXPECT_FLOAT_EQ (limiter.getTone(), c.tone);
}

INSTANTIATE_TEST_SUITE_P (
    Table, DynamicsLimiterSettings,
    ::testing::Values (
        LimiterStateCase { R"({"pregain": 6, "lattacktime": 0.01, "decaytime": 0.01})", 6, 0.01f, 0.2f, 2, 0.6f },
        LimiterStateCase { R"({"pregain": 100, "lattacktime": 1, "decaytime": 1})", 40, 0.03f, 0.8f, 2, 0.6f },
        LimiterStateCase { R"({"pregain": -100, "lattacktime": -1, "decaytime": -1})", -40, 0.0005f, 0.02f, 2, 0.6f },
        LimiterStateCase { "no json", 0, 0.002f, 0.03f, 0, 0.65f },
        LimiterStateCase { "42", 0, 0.002f, 0.03f, 0, 0.65f },
        LimiterStateCase { "[6, 0.01]", 0, 0.002f, 0.03f, 0, 0.65f },
        LimiterStateCase { R"({"pregain": "nan", "lattacktime": 0.003})", 0, 0.003f, 0.02f, 2, 0.6f }));

TEST (DynamicsLimiterState, SavesReleaseAsDecayTimeAndRoundTrips)
{
    QVLimiterProcessor original;
    setStateFromJSON (original, R"({"pregain": 3.5, "lattacktime": 0.004, "decaytime": 0.01})");

    const auto saved = getStateAsJSON (original);
    ASSERT_TRUE (saved.isObject());

    const auto& properties = saved.getDynamicObject()->getProperties();
    ASSERT_EQ (properties.size(), 4);
    EXPECT_EQ (properties.getName (0).toString(), "name");
    EXPECT_EQ (properties.getName (3).toString(), "decaytime");
    EXPECT_EQ (saved["name"].toString(), "KrovLimiter");
    EXPECT_FLOAT_EQ ((float) (double) saved["decaytime"], 0.01f);

    QVLimiterProcessor copy;
    setStateFromJSON (copy, juce::JSON::toString (saved));
    EXPECT_EQ (copy.getPreGainDb(), original.getPreGainDb());
    EXPECT_EQ (copy.getAttackTime(), original.getAttackTime());
    EXPECT_FLOAT_EQ (copy.getReleaseTime(), original.getReleaseTime());
}

struct DelayCase
{
    const char* json;   // nullptr: construction values
    int expectedDelay;
};

static void PrintTo (const DelayCase& c, std::ostream* os) { *os << (c.json != nullptr ? c.json : "construction values"); }

class DynamicsLimiterLookahead : public ::testing::TestWithParam<DelayCase> {};

TEST_P (DynamicsLimiterLookahead, DelaysTheSignalWithoutLimitingIt)
{
    QVLimiterProcessor limiter;

    if (GetParam().json != nullptr)
        setStateFromJSON (limiter, GetParam().json);

    limiter.prepareToPlay (testSampleRate, 512);

    // Impulses after the gain smoother has settled, small enough not to be limited.
    const int at = 2000;
    juce::AudioBuffer<float> buffer (2, 4096);
    buffer.clear();
    buffer.setSample (0, at, 0.5f);
    buffer.setSample (1, at, -0.25f);
    processInBlocks (limiter, buffer, 512);

    const int expectedAt = at + GetParam().expectedDelay;

    for (int i = 0; i < 4096; ++i)
    {
        if (i == expectedAt)
        {
            // The settled gain smoother sits within a few single-precision steps of 1.
            EXPECT_NEAR (buffer.getSample (0, i), 0.5f * limiterCeiling, 5e-6);
            EXPECT_NEAR (buffer.getSample (1, i), -0.25f * limiterCeiling, 5e-6);
        }
        else
        {
            ASSERT_EQ (buffer.getSample (0, i), 0.0f) << i;
            ASSERT_EQ (buffer.getSample (1, i), 0.0f) << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P (Table, DynamicsLimiterLookahead,
                          ::testing::Values (DelayCase { "{}", lookaheadSamples },
                                             DelayCase { nullptr, 0 }));

struct CeilingCase
{
    const char* json;
    float amplitude;
    float lowestPeak, highestPeak;
};

static void PrintTo (const CeilingCase& c, std::ostream* os) { *os << c.json << " amplitude " << c.amplitude; }

class DynamicsLimiterCeiling : public ::testing::TestWithParam<CeilingCase> {};

TEST_P (DynamicsLimiterCeiling, PeaksSettleAtTheCeiling)
{
    const auto& c = GetParam();
    QVLimiterProcessor limiter;
    setStateFromJSON (limiter, c.json);
    limiter.prepareToPlay (testSampleRate, 512);

    const auto input = makeSine (24000, 1000.0, c.amplitude);
    auto buffer = makeBuffer (input, 2);
    processInBlocks (limiter, buffer, 512);

    for (int channel = 0; channel < 2; ++channel)
    {
        EXPECT_LE (peakMagnitude (buffer, channel, 0, 24000), 1.0f);
        const float settled = peakMagnitude (buffer, channel, 19200, 24000);
        EXPECT_GE (settled, c.lowestPeak);
        EXPECT_LE (settled, c.highestPeak);
    }
}

INSTANTIATE_TEST_SUITE_P (
    Table, DynamicsLimiterCeiling,
    ::testing::Values (
        // Full scale at 0 dB: just under the ceiling, no limiting needed.
        CeilingCase { "{}", 1.0f, limiterCeiling - 1e-5f, limiterCeiling + 1e-5f },
        // 12 dB too loud: limited to the ceiling, overshoots clipped.
        CeilingCase { "{}", 4.0f, 0.99f, 1.0f },
        // The pre-gain drives a full-scale signal 12 dB into the ceiling.
        CeilingCase { R"({"pregain": 12})", 1.0f, 0.99f, 1.0f },
        // Below the lowered ceiling the pre-gain is plain gain.
        CeilingCase { R"({"pregain": 12})", 0.1f, 0.1f * 3.98107f * limiterCeiling - 1e-4f, 0.1f * 3.98107f * limiterCeiling + 1e-4f },
        CeilingCase { R"({"pregain": -12})", 1.0f, 0.251189f * limiterCeiling - 1e-5f, 0.251189f * limiterCeiling + 1e-5f }));

TEST (DynamicsLimiter, AttackAndReleaseReachTheirTargetsOverTheirTimes)
{
    QVLimiterProcessor limiter;
    setStateFromJSON (limiter, R"({"lattacktime": 0.03, "decaytime": 0.01})");   // attack 30 ms, release 200 ms
    limiter.prepareToPlay (testSampleRate, 512);

    // 1 kHz at 0.5, then 2.0 (6 dB over the ceiling), then 0.5 again; steps at zero crossings.
    const int loudStart = 4800, loudEnd = 19200, total = 48000;
    auto input = makeSine (total, 1000.0, 1.0f);

    for (int i = 0; i < total; ++i)
        input[(size_t) i] *= (i >= loudStart && i < loudEnd) ? 2.0f : 0.5f;

    auto buffer = makeBuffer (input, 2);
    processInBlocks (limiter, buffer, 512);

    const int d = lookaheadSamples;
    const auto gainOver = [&] (int start, int length) { return limiterGain (buffer, input, d, start, start + length); };

    EXPECT_NEAR (gainOver (2400, 2400), 1.0, 1e-5);

    // 0.5108 from a double-precision transcription of the side chain for this signal: the
    // envelope settles at 1.958, below the filtered peak of 1.993, because the peak hold
    // decays between the peaks and the release pulls the envelope down.
    const double limitedGain = gainOver (loudEnd - 4800, 4800);
    EXPECT_NEAR (limitedGain, 0.5108, 0.0005);

    // The look-ahead shows the loud part when the attack has only just begun...
    EXPECT_GT (gainOver (loudStart + d, 12), 0.85);
    // ...and the envelope is there an attack time later.
    EXPECT_NEAR (gainOver (loudStart + d + 1440, 48), limitedGain, 0.01);

    EXPECT_LT (gainOver (loudEnd + d + 480, 48), 0.8);
    EXPECT_NEAR (gainOver (loudEnd + d + 9600, 480), 1.0, 1e-4);
}

struct SignedPeakCase
{
    float leftPulse;
    bool expectDucking;
};

static void PrintTo (const SignedPeakCase& c, std::ostream* os) { *os << "left pulse " << c.leftPulse; }

class DynamicsLimiterSidechain : public ::testing::TestWithParam<SignedPeakCase> {};

TEST_P (DynamicsLimiterSidechain, SeesTheLargerSignedValueOfTheTwoChannels)
{
    QVLimiterProcessor limiter;
    setStateFromJSON (limiter, "{}");
    limiter.prepareToPlay (testSampleRate, 512);

    // Left: a pulse far above the ceiling; right: a small constant.
    const int pulseStart = 4800, pulseEnd = 5280, total = 9600;
    juce::AudioBuffer<float> buffer (2, total);
    for (int i = 0; i < total; ++i)
    {
        buffer.setSample (0, i, (i >= pulseStart && i < pulseEnd) ? GetParam().leftPulse : 0.0f);
        buffer.setSample (1, i, 0.1f);
    }

    processInBlocks (limiter, buffer, 512);

    float lowestRight = 1.0f, highestRight = 0.0f;

    for (int i = 2400; i < total; ++i)
    {
        lowestRight = juce::jmin (lowestRight, buffer.getSample (1, i));
        highestRight = juce::jmax (highestRight, buffer.getSample (1, i));
    }

    if (GetParam().expectDucking)
    {
        EXPECT_LT (lowestRight, 0.05f);
    }
    else
    {
        // A negative pulse never wins max(L, R): no gain change, only the final clip.
        EXPECT_NEAR (lowestRight, 0.1f * limiterCeiling, 1e-6);
        EXPECT_NEAR (highestRight, 0.1f * limiterCeiling, 1e-6);
        EXPECT_EQ (buffer.getSample (0, pulseStart + lookaheadSamples + 10), -1.0f);
    }
}

INSTANTIATE_TEST_SUITE_P (Table, DynamicsLimiterSidechain,
                          ::testing::Values (SignedPeakCase { 3.0f, true }, SignedPeakCase { -3.0f, false }));

TEST (DynamicsLimiter, UnpreparedLeavesAudioUntouchedAndMonoIsLimited)
{
    QVLimiterProcessor limiter;
    const auto input = makeSine (9600, 1000.0, 3.0f);

    auto untouched = makeBuffer (input, 1);
    processInBlocks (limiter, untouched, 512);
    EXPECT_EQ (peakMagnitude (untouched, 0, 0, 9600), 3.0f);

    limiter.prepareToPlay (testSampleRate, 512);
    auto mono = makeBuffer (input, 1);
    processInBlocks (limiter, mono, 512);
    EXPECT_LE (peakMagnitude (mono, 0, 0, 9600), 1.0f);
    EXPECT_GE (peakMagnitude (mono, 0, 4800, 9600), 0.99f);

    limiter.releaseResources();
    auto released = makeBuffer (input, 2);
    processInBlocks (limiter, released, 512);
    EXPECT_EQ (peakMagnitude (released, 1, 0, 9600), 3.0f);
}
