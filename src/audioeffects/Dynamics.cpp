#include "audioeffects/Dynamics.h"
#include "common/EngineTypes.h"

#include <cmath>

namespace QVAudioEngineV4
{

namespace
{
    /** The JSON object held by a state block, or void when the bytes are not a JSON object. */
    juce::var parseStateObject (const void* data, int sizeInBytes)
    {
        if (data == nullptr || sizeInBytes <= 0)
            return {};

        // JUCE counts arrays as objects too; only a real JSON object carries settings.
        auto parsed = juce::JSON::parse (juce::String::createStringFromData (data, sizeInBytes));
        return parsed.getDynamicObject() != nullptr ? parsed : juce::var();
    }

    /** A setting's value as a float: 0 when the key is missing. False for values that are
        not finite numbers (for example the text "nan"), which leave the setting alone. */
    bool readSetting (const juce::var& state, const char* key, float& value)
    {
        const double v = (double) state.getProperty (key, 0);

        if (! std::isfinite (v))
            return false;

        value = toFloatSaturated (v);
        return true;
    }

    /** Stores a changed value, clamped to its limits; true when it was stored. An unchanged
        value is not clamped: a missing key on a fresh processor reads 0, equals the current 0
        and so stays 0 even where 0 is outside the limits. */
    bool storeSetting (std::atomic<float>& setting, float value, float lowest, float highest) noexcept
    {
        if (value == setting.load())
            return false;

        setting = juce::jlimit (lowest, highest, value);
        return true;
    }

    /** The 100 Hz low-pass both processors smooth their gain with. */
    void setGainSmoothing (FirstOrderSection& smoother, float sampleRate) noexcept
    {
        smoother.setLowPass (std::tan (314.15927f / sampleRate));
    }

    /** k = (1 / sr) × −2π in single precision, the base of every time constant. */
    float timeConstantBase (double sampleRate) noexcept
    {
        return (1.0f / (float) sampleRate) * -6.2831855f;
    }

    /** exp(k / time), 0 for a zero time (the limit of the expression). */
    float onePoleCoefficient (float k, float time) noexcept
    {
        return time > 0.0f ? std::exp (k / time) : 0.0f;
    }
}

//==============================================================================
QVDynamicsProcessor::QVDynamicsProcessor() = default;

QVDynamicsProcessor::~QVDynamicsProcessor()
{
    prepared = false;
}

void QVDynamicsProcessor::prepareToPlay (double sampleRate, int blockSize)
{
    const juce::ScopedLock sl (getCallbackLock());

    setRateAndBufferSizeDetails (sampleRate, blockSize);
    meanSquare = 0.0f;
    envelope = 0.0f;
    gainSmoother.z = 0.0f;
    coefficientsDirty = true;
    // A rate of zero would turn every coefficient into NaN: such a processor stays unprepared.
    prepared = sampleRate > 0.0;
}

void QVDynamicsProcessor::releaseResources()
{
    prepared = false;
}

void QVDynamicsProcessor::updateCoefficients() noexcept
{
    const double sr = getSampleRate();
    const float k = timeConstantBase (sr);
    const float attack = attackTime.load();

    attackCoefficient = onePoleCoefficient (k, attack);
    releaseCoefficient = onePoleCoefficient (k, releaseTime.load());
    // A 50 Hz one-pole for the mean square, unless the attack is faster than that.
    detectorCoefficient = attack > 0.0011f ? std::exp (k * 1000.0f / 20.0f) : attackCoefficient;

    threshold = thresholdDb.load();
    headroom = headroomDb.load();
    masterGain = masterGainDb.load();

    // The cubic p(x) = ((a·x + b)·x + c)·x + d with p(T) = T, p'(T) = 1, p(40) = T + H and
    // p'(40) = 0: the knee from the threshold to the ceiling. T² is taken in single precision.
    const double T = threshold, H = headroom;
    const double T2 = (double) (threshold * threshold);
    const double T3 = T2 * T, T4 = T2 * T2;
    const double D = (T - 40.0) * (T - 40.0) * (T - 40.0);

    kneeA = (float) ((2.0 * H + T - 40.0) / D);
    kneeB = (float) (-(T2 + 3.0 * H * T + 40.0 * T + 120.0 * H - 3200.0) / D);
    kneeC = (float) (-80.0 * (800.0 + 20.0 * T - T2 - 3.0 * H * T) / D);
    kneeD = (float) ((T4 - 120.0 * T3 + 3200.0 * T2 + H * T3 - 120.0 * H * T2) / D);

    setGainSmoothing (gainSmoother, (float) sr);

    coefficientsDirty = false;
}

void QVDynamicsProcessor::processBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer&)
{
    if (! prepared)
        return;

    const juce::ScopedLock sl (getCallbackLock());
    const juce::ScopedNoDenormals noDenormals;

    if (coefficientsDirty)
        updateCoefficients();

    const int numChannels = buffer.getNumChannels();
    const int numSamples = buffer.getNumSamples();

    if (numChannels <= 0 || numSamples <= 0)
        return;

    float* left = buffer.getWritePointer (0);
    float* right = numChannels > 1 ? buffer.getWritePointer (1) : nullptr;

    const float beta = detectorCoefficient;
    const float ceilingLevel = threshold + headroom;

    for (int i = 0; i < numSamples; ++i)
    {
        const float l = left[i];
        const float r = right != nullptr ? right[i] : l;

        const float x = (l + r) * 0.5f;
        // β weights the new squared sample, so the mean square follows the signal closely.
        meanSquare = (1.0f - beta) * meanSquare + beta * (x * x);
        const float rms = std::sqrt (meanSquare);

        const float alpha = rms > envelope ? attackCoefficient : releaseCoefficient;
        envelope = envelope * alpha + (1.0f - alpha) * rms;

        const float magnitude = std::abs (envelope);
        const float level = magnitude < 1e-10f ? -200.0f : 20.0f * std::log10 (magnitude);

        float out;

        if (threshold >= level)
            out = level;
        else if (level >= 40.0f)
            out = ceilingLevel;
        else
            out = ((kneeA * level + kneeB) * level + kneeC) * level + kneeD;

        const float gain = std::pow (10.0f, (out - level + masterGain) / 20.0f);

        const float y = gainSmoother.process (gain);

        left[i] = l * y;

        if (right != nullptr)
            right[i] = r * y;
    }
}

void QVDynamicsProcessor::getStateInformation (juce::MemoryBlock& destData)
{
    auto* object = new juce::DynamicObject();
    object->setProperty ("name", "KrovCompressor");
    object->setProperty ("threshold", thresholdDb.load());
    object->setProperty ("headroom", headroomDb.load());
    object->setProperty ("dattacktime", attackTime.load());
    object->setProperty ("releasetime", releaseTime.load());
    object->setProperty ("mastergain", masterGainDb.load());
    writeJSONState (destData, juce::var (object));
}

void QVDynamicsProcessor::setStateInformation (const void* data, int sizeInBytes)
{
    const auto state = parseStateObject (data, sizeInBytes);

    if (state.isVoid())
        return;

    struct Setting { const char* key; std::atomic<float>& value; float lowest, highest; };
    const Setting settings[] = { { "threshold",   thresholdDb,  -100.0f, 20.0f },
                                 { "headroom",    headroomDb,   0.1f,    40.0f },
                                 { "dattacktime", attackTime,   0.001f,  0.3f },
                                 { "releasetime", releaseTime,  0.01f,   3.0f },
                                 { "mastergain",  masterGainDb, -40.0f,  40.0f } };

    for (const auto& setting : settings)
    {
        float v = 0.0f;

        if (readSetting (state, setting.key, v) && storeSetting (setting.value, v, setting.lowest, setting.highest))
            coefficientsDirty = true;
    }
}

//==============================================================================
QVLimiterProcessor::QVLimiterProcessor() = default;

QVLimiterProcessor::~QVLimiterProcessor()
{
    prepared = false;
}

void QVLimiterProcessor::prepareToPlay (double sampleRate, int blockSize)
{
    const juce::ScopedLock sl (getCallbackLock());

    setRateAndBufferSizeDetails (sampleRate, blockSize);
    peakHold = 0.0f;
    envelope = 0.0f;
    gainSmoother.z = 0.0f;
    sidechainFilter.z = 0.0f;

    for (auto& line : delayLines)
        line.fill (0.0f);

    writeIndex = delayLineLength - 1;
    coefficientsDirty = true;
    // A rate of zero would turn every coefficient into NaN: such a processor stays unprepared.
    prepared = sampleRate > 0.0;
}

void QVLimiterProcessor::releaseResources()
{
    prepared = false;
}

void QVLimiterProcessor::updateCoefficients() noexcept
{
    const float sr = (float) getSampleRate();
    const float k = timeConstantBase (getSampleRate());

    attackCoefficient = onePoleCoefficient (k, attackTime.load());
    releaseCoefficient = onePoleCoefficient (k, releaseTime.load());
    peakCoefficient = std::exp (k * 1000.0f / 10.0f);   // 100 Hz decay of the peak hold

    // The drive and the ceiling cancel, so limited peaks land at 0.99999 of full scale.
    const float preGain = preGainDb.load();
    threshold = std::pow (10.0f, preGain / -20.0f);
    inverseThreshold = 1.0f / threshold;
    makeUp = std::pow (10.0f, preGain / 20.0f) * 0.99999f;

    setGainSmoothing (gainSmoother, sr);

    // Side-chain tone: above 0.5 a high-pass from 20 Hz to 5 kHz, otherwise a low-pass
    // from 100 Hz to 20 kHz.
    {
        const float t = tone.load();

        if (t > 0.5f)
        {
            const float x = 2.0f * t - 1.0f;
            const float fc = 4980.0f * (x * x * x) + 20.0f;
            sidechainFilter.setHighPass (std::tan (fc * 3.1415927f / sr));
        }
        else
        {
            const float x = 2.0f * t;
            const float fc = 19900.0f * (x * x * x) + 100.0f;
            sidechainFilter.setLowPass (std::tan (fc * 3.1415927f / sr));
        }
    }

    const float delay = sr * lookaheadMs.load() / 1000.0f;
    delaySamples = (int) std::nearbyint (delay);   // ties to even in the default rounding mode

    if (delaySamples > delayLineLength)
        delaySamples = delayLineLength - 1;

    coefficientsDirty = false;
}

void QVLimiterProcessor::processBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer&)
{
    if (! prepared)
        return;

    const juce::ScopedLock sl (getCallbackLock());
    const juce::ScopedNoDenormals noDenormals;

    if (coefficientsDirty)
        updateCoefficients();

    const int numChannels = buffer.getNumChannels();
    const int numSamples = buffer.getNumSamples();

    if (numChannels <= 0 || numSamples <= 0)
        return;

    float* left = buffer.getWritePointer (0);
    float* right = numChannels > 1 ? buffer.getWritePointer (1) : nullptr;

    auto& leftLine = delayLines[0];
    auto& rightLine = delayLines[1];

    for (int i = 0; i < numSamples; ++i)
    {
        const float l = left[i];
        const float r = right != nullptr ? right[i] : l;

        // The larger signed value, not the larger magnitude.
        const float s = l > r ? l : r;

        const float p = std::abs (sidechainFilter.process (s));

        if (p > peakHold)
            peakHold = p;
        else
            peakHold = peakHold * peakCoefficient + (1.0f - peakCoefficient) * p;

        const float alpha = peakHold > envelope ? attackCoefficient : releaseCoefficient;
        envelope = envelope * alpha + (1.0f - alpha) * peakHold;

        const float gain = threshold > envelope ? 1.0f : std::pow (envelope * inverseThreshold, -1.0f);

        const float gs = gainSmoother.process (gain);

        // The write index counts down, so adding the delay reaches back in time.
        leftLine[(size_t) writeIndex] = l;
        rightLine[(size_t) writeIndex] = r;
        const auto readIndex = (size_t) ((writeIndex + delaySamples) & (delayLineLength - 1));

        left[i] = makeUp * gs * leftLine[readIndex];

        if (right != nullptr)
            right[i] = gs * makeUp * rightLine[readIndex];

        writeIndex = writeIndex == 0 ? delayLineLength - 1 : writeIndex - 1;
    }

    for (int channel = 0; channel < juce::jmin (2, numChannels); ++channel)
    {
        auto* samples = buffer.getWritePointer (channel);

        for (int i = 0; i < numSamples; ++i)
            samples[i] = juce::jlimit (-1.0f, 1.0f, samples[i]);
    }
}

void QVLimiterProcessor::changeSetting (std::atomic<float>& setting, float value, float lowest, float highest)
{
    const juce::ScopedLock sl (getCallbackLock());

    if (storeSetting (setting, value, lowest, highest))
        coefficientsDirty = true;
}

void QVLimiterProcessor::getStateInformation (juce::MemoryBlock& destData)
{
    auto* object = new juce::DynamicObject();
    object->setProperty ("name", "KrovLimiter");
    object->setProperty ("pregain", preGainDb.load());
    object->setProperty ("lattacktime", attackTime.load());
    object->setProperty ("decaytime", releaseTime.load() * 0.05f);
    writeJSONState (destData, juce::var (object));
}

void QVLimiterProcessor::setStateInformation (const void* data, int sizeInBytes)
{
    const auto state = parseStateObject (data, sizeInBytes);

    if (state.isVoid())
        return;

    float v = 0.0f;

    if (readSetting (state, "pregain", v))
        changeSetting (preGainDb, v, -40.0f, 40.0f);

    if (readSetting (state, "lattacktime", v))
        changeSetting (attackTime, v, 0.0005f, 0.03f);

    // "decaytime" carries the release time divided by 20.
    if (readSetting (state, "decaytime", v))
        changeSetting (releaseTime, 20.0f * v, 0.02f, 0.8f);

    changeSetting (lookaheadMs, 2.0f, 0.0f, 6.0f);
    changeSetting (tone, 0.6f, 0.0f, 1.0f);
}

} // namespace QVAudioEngineV4
