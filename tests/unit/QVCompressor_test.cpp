#include <gtest/gtest.h>
#include "DspTestSupport.h"
#include "audioeffects/Dynamics.h"
#include "audioeffects/QVCompressor.h"

#include <algorithm>
#include <cmath>

using namespace qvtest;

namespace
{
    constexpr float limiterCeiling = 0.99999f;   // the closing limiter's output scale
    constexpr int windowLength = 480;             // 10 ms at 48000 Hz

    /** The target gain written out from the ratio formula, in double precision. */
    double targetGainReference (double ratio, double thresholdDb, double rms)
    {
        const double thr = std::pow (10.0, thresholdDb / 20.0);
        return rms >= thr ? 1.0 - (1.0 - thr / rms) * (ratio - 1.0) / ratio : 1.0;
    }

    /** The index of the first sample at which the energy of the last windowLength samples
        of the signal reaches windowLength × thr², counted from `from`. */
    int firstLoudSample (const std::vector<float>& signal, int from, double thresholdDb)
    {
        const double thr = std::pow (10.0, thresholdDb / 20.0);
        double sum = 0;

        for (int i = from; i < (int) signal.size(); ++i)
        {
            sum += (double) signal[(size_t) i] * signal[(size_t) i];

            if (i - windowLength >= from)
                sum -= (double) signal[(size_t) (i - windowLength)] * signal[(size_t) (i - windowLength)];

            if (sum >= windowLength * thr * thr)
                return i;
        }

        return -1;
    }

    /** Sum of squares of signal[from, to). */
    double energy (const std::vector<float>& signal, int from, int to)
    {
        double sum = 0;

        for (int i = from; i < to; ++i)
            sum += (double) signal[(size_t) i] * signal[(size_t) i];

        return sum;
    }

    /**
        Measures the compressor's gain sample by sample: the detector signal goes to an
        enabled "Sidechain" bus while the main channels carry a constant 0.5, so that the
        main output over 0.5 is the compressor gain (times the limiter's ceiling, which the
        probe divides out; the constant stays far below the limiter's threshold).

        A lead-in of silence lets the first-block fade-in pass and the limiter's gain
        smoother settle before the detector signal starts.
    */
    class CompressorProbe
    {
    public:
        static constexpr int leadIn = 8192;
        static constexpr float probeLevel = 0.5f;

        explicit CompressorProbe (const juce::String& settings)
        {
            auto layout = compressor.getBusesLayout();
            layout.inputBuses.getReference (1) = juce::AudioChannelSet::stereo();
            EXPECT_TRUE (compressor.setBusesLayout (layout));
            setStateFromJSON (compressor, settings);
        }

        /** Gains over the detector signal, which starts after the lead-in. */
        std::vector<double> run (const std::vector<float>& detector, int blockSize)
        {
            const int total = leadIn + (int) detector.size();
            juce::AudioBuffer<float> buffer (4, total);
            buffer.clear();

            for (int i = 0; i < total; ++i)
            {
                buffer.setSample (0, i, probeLevel);
                buffer.setSample (1, i, probeLevel);
            }

            for (int i = 0; i < (int) detector.size(); ++i)
            {
                buffer.setSample (2, leadIn + i, detector[(size_t) i]);
                buffer.setSample (3, leadIn + i, detector[(size_t) i]);
            }

            compressor.prepareToPlay (testSampleRate, blockSize);
            processInBlocks (compressor, buffer, blockSize);

            std::vector<double> gains (detector.size());

            for (size_t i = 0; i < gains.size(); ++i)
            {
                gains[i] = buffer.getSample (0, leadIn + (int) i) / (probeLevel * limiterCeiling);
                EXPECT_EQ (buffer.getSample (1, leadIn + (int) i), buffer.getSample (0, leadIn + (int) i));
            }

            return gains;
        }

        QVCompressorProcessor compressor;
    };

    juce::String compressorSettings (double ratio, double thresholdDb, double attack, double release, double makeUpDb)
    {
        return juce::String::formatted (R"({"ratio": %g, "threshold": %g, "attack": %g, "release": %g, "makeup": %g})",
                                        ratio, thresholdDb, attack, release, makeUpDb);
    }

    /** A 1 kHz sine with the given RMS: 48 samples a period, so the 480-sample window always
        holds whole periods. */
    std::vector<float> sineWithRms (int numSamples, double rms)
    {
        return makeSine (numSamples, 1000.0, (float) (rms * std::sqrt (2.0)));
    }
}

//==============================================================================
struct SteadyStateCase
{
    double ratio, thresholdDb, makeUpDb, rms;
    int blockSize;
};

static void PrintTo (const SteadyStateCase& c, std::ostream* os)
{
    *os << "ratio " << c.ratio << " threshold " << c.thresholdDb << " makeup " << c.makeUpDb
        << " rms " << c.rms << " block " << c.blockSize;
}

class CompressorSteadyState : public ::testing::TestWithParam<SteadyStateCase> {};

TEST_P (CompressorSteadyState, GainSettlesAtTheRatioTarget)
{
    const auto& c = GetParam();
    CompressorProbe probe (compressorSettings (c.ratio, c.thresholdDb, 0.01, 0.05, c.makeUpDb));
    const auto gains = probe.run (sineWithRms (48000, c.rms), c.blockSize);

    const double expected = std::pow (10.0, c.makeUpDb / 20.0) * targetGainReference (c.ratio, c.thresholdDb, c.rms);

    // In steady state each block restarts the attack from where the release had got to,
    // so the gain touches the target once per attack and rises slightly in between.
    double lowest = 10, highest = 0;

    for (size_t i = gains.size() - 4800; i < gains.size(); ++i)
    {
        lowest = std::min (lowest, gains[i]);
        highest = std::max (highest, gains[i]);
    }

    EXPECT_NEAR (lowest, expected, 2e-4 * expected);
    EXPECT_LE (highest, expected * 1.03);
}

INSTANTIATE_TEST_SUITE_P (
    Table, CompressorSteadyState,
    ::testing::Values (SteadyStateCase { 2.0, -20, 0, 0.5, 512 },     // 1 − (1 − 0.1 / 0.5) × 0.5 = 0.6
                       SteadyStateCase { 2.0, -20, 0, 0.5, 100 },
                       SteadyStateCase { 1.0, -20, 0, 0.5, 512 },     // ratio 1: no reduction
                       SteadyStateCase { 2.0, -20, 0, 0.05, 512 },    // below the threshold
                       SteadyStateCase { 1.5, -10, 0, 0.5, 512 },
                       SteadyStateCase { 2.0, -20, 6, 0.25, 512 },    // make-up on top of the target
                       SteadyStateCase { 1.0, 0, -12, 0.5, 512 }));

TEST (CompressorSteadyState, SineOnTheMainInputIsCompressedToTheTarget)
{
    QVCompressorProcessor compressor;
    setStateFromJSON (compressor, compressorSettings (2, -20, 0.01, 0.05, 0));
    compressor.prepareToPlay (testSampleRate, 512);

    const auto input = sineWithRms (48000, 0.5);
    auto buffer = makeBuffer (input, 2);
    processInBlocks (compressor, buffer, 512);

    const float inputPeak = (float) (0.5 * std::sqrt (2.0));
    const float outputPeak = peakMagnitude (buffer, 0, 43200, 48000);
    EXPECT_GE (outputPeak, inputPeak * 0.6f * limiterCeiling * 0.999f);
    EXPECT_LE (outputPeak, inputPeak * 0.6f * 1.03f);
}

struct AttackCase
{
    int onsetInBlock;    // where the loud signal starts within its block
    bool checkMidpoint;  // whole window in the first block: one straight ramp
};

static void PrintTo (const AttackCase& c, std::ostream* os) { *os << "onset " << c.onsetInBlock << " in its block"; }

class CompressorAttack : public ::testing::TestWithParam<AttackCase> {};

TEST_P (CompressorAttack, RampsToTheTargetOverTheAttackTime)
{
    CompressorProbe probe (compressorSettings (2, -20, 0.01, 0.05, 0));

    const int onset = GetParam().onsetInBlock;
    std::vector<float> detector ((size_t) onset, 0.0f);
    const auto loud = sineWithRms (9600, 0.5);
    detector.insert (detector.end(), loud.begin(), loud.end());

    const auto gains = probe.run (detector, 512);
    const int first = firstLoudSample (detector, 0, -20);
    ASSERT_GT (first, onset);

    const int attackSamples = 480;   // 0.01 s

    EXPECT_NEAR (gains[(size_t) first - 1], 1.0, 1e-5);
    EXPECT_NEAR (gains[(size_t) (first + attackSamples)], 0.6, 1e-4);

    for (int i = first; i < first + attackSamples; ++i)
    {
        ASSERT_LE (gains[(size_t) i + 1], gains[(size_t) i] + 1e-6) << i;
        ASSERT_GT (gains[(size_t) i], 0.6 - 1e-5) << i;
    }

    if (GetParam().checkMidpoint)
        EXPECT_NEAR (gains[(size_t) (first + attackSamples / 2)], 0.8, 1e-3);
}

INSTANTIATE_TEST_SUITE_P (Table, CompressorAttack,
                          ::testing::Values (AttackCase { 0, true },
                                             AttackCase { 300, false }));   // the attack spans two blocks

TEST (CompressorRelease, SingleBurstAttacksReleasesAndEndsTheEvent)
{
    // One 4096-sample block holds the whole event, so the release is not interrupted.
    CompressorProbe probe (compressorSettings (2, -20, 0.01, 0.05, 0));

    const int burstLength = 256, secondBurstAt = 4096 * 12;
    std::vector<float> detector ((size_t) secondBurstAt + 8192, 0.0f);
    const auto loud = sineWithRms (burstLength, 0.5);
    const auto softer = sineWithRms (burstLength, 0.2);
    std::copy (loud.begin(), loud.end(), detector.begin());
    std::copy (softer.begin(), softer.end(), detector.begin() + secondBurstAt);

    const auto gains = probe.run (detector, 4096);

    // The whole burst sits in the window at its peak energy.
    const double target = targetGainReference (2, -20, std::sqrt (energy (detector, 0, burstLength) / windowLength));
    const int first = firstLoudSample (detector, 0, -20);
    const int attackEnd = first + 480, releaseEnd = attackEnd + 2400;

    EXPECT_NEAR (gains[(size_t) first - 1], 1.0, 1e-5);
    EXPECT_NEAR (gains[(size_t) attackEnd], target, 1e-4);
    EXPECT_NEAR (gains[(size_t) (attackEnd + 1200)], (1.0 + target) / 2, 1e-3);
    EXPECT_NEAR (gains[(size_t) releaseEnd], 1.0, 1e-5);
    EXPECT_NEAR (gains[(size_t) secondBurstAt - 1], 1.0, 1e-5);

    // The event ended, so the softer burst gets its own, shallower target.
    const double secondTarget = targetGainReference (2, -20, std::sqrt (energy (detector, secondBurstAt, secondBurstAt + burstLength) / windowLength));
    // The window's running sums carry a little single-precision residue from the first
    // burst, which may move the first loud sample by a few samples: compare the lowest gain.
    const double secondLowest = *std::min_element (gains.begin() + secondBurstAt, gains.end());
    EXPECT_NEAR (secondLowest, secondTarget, 1e-4);
    EXPECT_GT (secondTarget, target + 0.1);
}

TEST (CompressorRelease, LoudAgainDuringTheReleaseAttacksFromTheReachedGain)
{
    // A 1 s release spans many 4096-sample blocks; a softer burst arrives mid-release.
    CompressorProbe probe (compressorSettings (2, -20, 0.01, 1.0, 0));

    const int burstLength = 256, secondBurstAt = 4096 + 1000;
    std::vector<float> detector (4096 * 4, 0.0f);
    const auto loud = sineWithRms (burstLength, 0.5);
    const auto softer = sineWithRms (burstLength, 0.3);
    std::copy (loud.begin(), loud.end(), detector.begin());
    std::copy (softer.begin(), softer.end(), detector.begin() + secondBurstAt);

    const auto gains = probe.run (detector, 4096);

    const double target = targetGainReference (2, -20, std::sqrt (energy (detector, 0, burstLength) / windowLength));
    const double softerOwnTarget = targetGainReference (2, -20, std::sqrt (energy (detector, secondBurstAt, secondBurstAt + burstLength) / windowLength));
    const int first = firstLoudSample (detector, 0, -20);
    const int secondFirst = firstLoudSample (detector, secondBurstAt, -20);

    // Releasing linearly over 48000 samples when the first block ends.
    const int releaseStart = first + 480;
    EXPECT_NEAR (gains[4095], target + (1.0 - target) * (4095 - releaseStart) / 48000.0, 1e-4);

    // The new attack starts at the block's first sample, from the gain the release reached,
    // and heads for the first burst's target: the largest RMS of the event still counts.
    const auto lowest = std::min_element (gains.begin() + 4096, gains.end());
    const auto lowestAt = (int) (lowest - gains.begin());

    EXPECT_NEAR (*lowest, target, 1e-4);
    EXPECT_LT (target + 0.05, softerOwnTarget);
    EXPECT_NEAR (lowestAt, secondFirst + 480, 3);

    for (int i = 4096; i < lowestAt; ++i)
        ASSERT_LT (gains[(size_t) i + 1], gains[(size_t) i]) << i;
}

TEST (CompressorFadeIn, FirstBlockAndBlockAfterBypassFadeIn)
{
    QVCompressorProcessor compressor;
    QVAudioEngineV4::QVLimiterProcessor bareLimiter;   // the compressor's last stage, alone
    compressor.prepareToPlay (testSampleRate, 512);
    bareLimiter.prepareToPlay (testSampleRate, 512);

    const std::vector<float> constant (512, 0.5f);
    juce::MidiBuffer midi;

    // First block: with ratio 1 the compressor is its limiter plus the 16-sample fade-in.
    auto first = makeBuffer (constant, 2);
    auto reference = makeBuffer (constant, 2);
    compressor.processBlock (first, midi);
    bareLimiter.processBlock (reference, midi);

    for (int k = 0; k < 512; ++k)
        ASSERT_NEAR (first.getSample (0, k), reference.getSample (0, k) * (k < 16 ? k / 16.0f : 1.0f), 1e-7) << k;

    for (int block = 0; block < 10; ++block)
    {
        auto settle = makeBuffer (constant, 2);
        compressor.processBlock (settle, midi);
    }

    // A bypassed block fades in over 64 samples; a second one in a row is left alone.
    auto bypassed = makeBuffer (constant, 2);
    compressor.processBlockBypassed (bypassed, midi);

    for (int k = 0; k < 512; ++k)
        ASSERT_EQ (bypassed.getSample (1, k), 0.5f * (k < 64 ? (float) k / 64.0f : 1.0f)) << k;

    auto bypassedAgain = makeBuffer (constant, 2);
    compressor.processBlockBypassed (bypassedAgain, midi);
    EXPECT_EQ (bypassedAgain.getSample (0, 0), 0.5f);

    // Processing resumes with the 16-sample fade-in.
    auto resumed = makeBuffer (constant, 2);
    compressor.processBlock (resumed, midi);

    for (int k = 0; k < 32; ++k)
        ASSERT_NEAR (resumed.getSample (0, k), 0.5f * limiterCeiling * (k < 16 ? k / 16.0f : 1.0f), 5e-6) << k;
}

struct DetectorChannelCase
{
    int loudSidechainChannel;
    bool expectCompression;
};

static void PrintTo (const DetectorChannelCase& c, std::ostream* os) { *os << "loud side-chain channel " << c.loudSidechainChannel; }

class CompressorDetector : public ::testing::TestWithParam<DetectorChannelCase> {};

TEST_P (CompressorDetector, MeasuresNoMoreChannelsThanTheMainInputHas)
{
    QVCompressorProcessor compressor;
    auto layout = compressor.getBusesLayout();
    layout.inputBuses.getReference (1) = juce::AudioChannelSet::createLCR();
    ASSERT_TRUE (compressor.setBusesLayout (layout));
    setStateFromJSON (compressor, compressorSettings (2, -20, 0.01, 0.05, 0));
    compressor.prepareToPlay (testSampleRate, 512);

    // Main: channels 0 and 1; side chain: channels 2 to 4.
    const auto loud = sineWithRms (9600, 0.5);
    juce::AudioBuffer<float> buffer (5, 9600);
    buffer.clear();

    for (int i = 0; i < 9600; ++i)
    {
        buffer.setSample (0, i, 0.25f);
        buffer.setSample (1, i, 0.25f);
        buffer.setSample (2 + GetParam().loudSidechainChannel, i, loud[(size_t) i]);
    }

    processInBlocks (compressor, buffer, 512);

    const float gain = buffer.getSample (0, 9599) / (0.25f * limiterCeiling);

    if (GetParam().expectCompression)
        EXPECT_LT (gain, 0.7f);
    else
        EXPECT_NEAR (gain, 1.0f, 1e-5);
}

INSTANTIATE_TEST_SUITE_P (Table, CompressorDetector,
                          ::testing::Values (DetectorChannelCase { 0, true },
                                             DetectorChannelCase { 1, true },
                                             DetectorChannelCase { 2, false }));

TEST (CompressorLayouts, MainInputMatchesAMonoOrStereoOutput)
{
    QVCompressorProcessor compressor;
    const auto mono = juce::AudioChannelSet::mono(), stereo = juce::AudioChannelSet::stereo();
    const auto surround = juce::AudioChannelSet::create5point1();

    const struct { juce::AudioChannelSet in, out; bool supported; } cases[] = {
        { mono, mono, true }, { stereo, stereo, true }, { mono, stereo, false },
        { stereo, mono, false }, { surround, surround, false } };

    for (const auto& c : cases)
    {
        auto layout = compressor.getBusesLayout();
        layout.inputBuses.getReference (0) = c.in;
        layout.outputBuses.getReference (0) = c.out;
        EXPECT_EQ (compressor.checkBusesLayoutSupported (layout), c.supported)
            << c.in.getDescription() << " -> " << c.out.getDescription();
    }
}

TEST (CompressorProcessing, UnpreparedOrEmptyBlocksPassUntouched)
{
    QVCompressorProcessor compressor;
    setStateFromJSON (compressor, compressorSettings (2, -40, 0.001, 0.05, 12));

    const auto input = makeSine (2048, 1000.0, 2.0f);
    auto buffer = makeBuffer (input, 2);
    processInBlocks (compressor, buffer, 512);

    for (int i = 0; i < 2048; ++i)
        ASSERT_EQ (buffer.getSample (0, i), input[(size_t) i]);

    // A rate too low for the 10 ms window is not taken.
    compressor.prepareToPlay (50.0, 512);
    processInBlocks (compressor, buffer, 512);
    EXPECT_EQ (buffer.getSample (1, 100), input[100]);

    compressor.prepareToPlay (testSampleRate, 512);
    juce::AudioBuffer<float> empty (2, 0);
    juce::MidiBuffer midi;
    compressor.processBlock (empty, midi);
}

//==============================================================================
struct CompressorStateCase
{
    const char* text;
    float ratio, threshold, attack, release, makeUp;
};

static void PrintTo (const CompressorStateCase& c, std::ostream* os) { *os << c.text; }

class CompressorSettings : public ::testing::TestWithParam<CompressorStateCase> {};

TEST_P (CompressorSettings, JSONSettingsAreClampedAndUnknownKeysIgnored)
{
    const auto& c = GetParam();
    QVCompressorProcessor compressor;
    setStateFromJSON (compressor, c.text);

    EXPECT_NEAR (compressor.getUnNormalisedValue (QVCompressorProcessor::paramRatio), c.ratio, 1e-5);
    EXPECT_NEAR (compressor.getUnNormalisedValue (QVCompressorProcessor::paramThreshold), c.threshold, 1e-4);
    EXPECT_NEAR (compressor.getUnNormalisedValue (QVCompressorProcessor::paramSpeed), c.attack, 1e-6);
    EXPECT_NEAR (compressor.getUnNormalisedValue (QVCompressorProcessor::paramRelease), c.release, 1e-6);
    EXPECT_NEAR (compressor.getUnNormalisedValue (QVCompressorProcessor::paramMakeUp), c.makeUp, 1e-4);
}

INSTANTIATE_TEST_SUITE_P (
    Table, CompressorSettings,
    ::testing::Values (
        CompressorStateCase { "{}", 1, 0, 0.01f, 0.05f, 0 },
        CompressorStateCase { R"({"name": "PlumetCompressor", "ratio": 2, "threshold": -20, "attack": 0.02, "release": 0.3, "makeup": 3})", 2, -20, 0.02f, 0.3f, 3 },
        CompressorStateCase { R"({"ratio": 5, "threshold": -100, "attack": 0, "release": 3, "makeup": 40, "unknown": 1})", 2, -40, 0.001f, 1, 12 },
        CompressorStateCase { R"({"Ratio": 2, "THRESHOLD": -20})", 1, 0, 0.01f, 0.05f, 0 },   // keys are case-sensitive
        CompressorStateCase { R"({"ratio": "nan"})", 1, 0, 0.01f, 0.05f, 0 },
        CompressorStateCase { "not json", 1, 0, 0.01f, 0.05f, 0 },
        CompressorStateCase { "[2, -20]", 1, 0, 0.01f, 0.05f, 0 }));

TEST (CompressorState, JSONRoundTripKeepsTheCurrentMakeUp)
{
    QVCompressorProcessor original;
    setStateFromJSON (original, compressorSettings (1.5, -12, 0.03, 0.4, 6));

    const auto saved = getStateAsJSON (original);
    ASSERT_TRUE (saved.isObject());

    juce::StringArray keys;
    for (const auto& property : saved.getDynamicObject()->getProperties())
        keys.add (property.name.toString());

    EXPECT_EQ (keys, juce::StringArray ({ "name", "ratio", "threshold", "attack", "release" }));
    EXPECT_EQ (saved["name"].toString(), "PlumetCompressor");

    QVCompressorProcessor copy;
    copy.setUnNormalisedValue (QVCompressorProcessor::paramMakeUp, -3.0f);
    setStateFromJSON (copy, juce::JSON::toString (saved));

    for (const auto* id : { &QVCompressorProcessor::paramRatio, &QVCompressorProcessor::paramThreshold,
                            &QVCompressorProcessor::paramSpeed, &QVCompressorProcessor::paramRelease })
        EXPECT_NEAR (copy.getUnNormalisedValue (*id), original.getUnNormalisedValue (*id), 1e-6) << *id;

    EXPECT_NEAR (copy.getUnNormalisedValue (QVCompressorProcessor::paramMakeUp), -3.0f, 1e-5);
}

TEST (CompressorState, ValueTreeRestoresEveryParameter)
{
    QVCompressorProcessor original;
    setStateFromJSON (original, compressorSettings (1.8, -25, 0.005, 0.2, -6));

    juce::MemoryOutputStream stream;
    original.parameterState.copyState().writeToStream (stream);

    QVCompressorProcessor copy;
    copy.setStateInformation (stream.getData(), (int) stream.getDataSize());

    for (const auto* id : { &QVCompressorProcessor::paramRatio, &QVCompressorProcessor::paramThreshold,
                            &QVCompressorProcessor::paramSpeed, &QVCompressorProcessor::paramRelease,
                            &QVCompressorProcessor::paramMakeUp })
        EXPECT_NEAR (copy.getUnNormalisedValue (*id), original.getUnNormalisedValue (*id), 1e-6) << *id;

    // A tree of another type is not applied.
    juce::ValueTree other ("SomethingElse");
    other.setProperty ("ratio", 2, nullptr);
    juce::MemoryOutputStream otherStream;
    other.writeToStream (otherStream);

    QVCompressorProcessor untouched;
    untouched.setStateInformation (otherStream.getData(), (int) otherStream.getDataSize());
    EXPECT_EQ (untouched.getUnNormalisedValue (QVCompressorProcessor::paramRatio), 1.0f);
}
