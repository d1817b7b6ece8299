#include "audioeffects/QVCompressor.h"
#include "common/EngineTypes.h"

#include <cmath>
#include <cstring>

const juce::String QVCompressorProcessor::paramRatio     { "ratio" };
const juce::String QVCompressorProcessor::paramThreshold { "threshold" };
const juce::String QVCompressorProcessor::paramSpeed     { "attack" };
const juce::String QVCompressorProcessor::paramRelease   { "release" };
const juce::String QVCompressorProcessor::paramMakeUp    { "makeup" };

namespace
{
    const juce::Identifier stateType { "QuilvarnCompressor" };

    /** A serialised value tree starts with its type name and a terminating zero; checking
        that first keeps arbitrary bytes away from the value-tree reader. */
    bool startsWithValueTreeOfOurType (const void* data, int sizeInBytes)
    {
        static const char prefix[] = "QuilvarnCompressor";   // sizeof includes the zero
        return sizeInBytes > (int) sizeof (prefix)
            && std::memcmp (data, prefix, sizeof (prefix)) == 0;
    }
}

QVCompressorProcessor::QVCompressorProcessor()
    : QVAudioEngineV4::HeadlessAudioProcessor (BusesProperties()
                                .withInput ("Input", juce::AudioChannelSet::stereo(), true)
                                .withOutput ("Output", juce::AudioChannelSet::stereo(), true)
                                .withInput ("Sidechain", juce::AudioChannelSet::stereo(), false)),
      parameterState (*this, nullptr, stateType, createParameterLayout()),
      limiter (std::make_unique<QVAudioEngineV4::QVLimiterProcessor>())
{
    auto floatParameter = [this] (const juce::String& id)
    {
        auto* p = dynamic_cast<juce::AudioParameterFloat*> (parameterState.getParameter (id));
        jassert (p != nullptr);
        return p;
    };

    ratioParameter     = floatParameter (paramRatio);
    thresholdParameter = floatParameter (paramThreshold);
    attackParameter    = floatParameter (paramSpeed);
    releaseParameter   = floatParameter (paramRelease);
    makeUpParameter    = floatParameter (paramMakeUp);
}

QVCompressorProcessor::~QVCompressorProcessor() = default;

juce::AudioProcessorValueTreeState::ParameterLayout QVCompressorProcessor::createParameterLayout()
{
    auto parameter = [] (const juce::String& id, const juce::String& name,
                         float start, float end, float interval, float defaultValue)
    {
        return std::make_unique<juce::AudioParameterFloat> (juce::ParameterID { id, 1 }, name,
                                                            juce::NormalisableRange<float> (start, end, interval, 1.0f),
                                                            defaultValue);
    };

    return { parameter (paramRatio,     "Ratio",     1.0f,   2.0f,  0.1f,   1.0f),
             parameter (paramThreshold, "Threshold", -40.0f, 0.0f,  0.1f,   0.0f),
             parameter (paramSpeed,     "Speed",     0.001f, 0.1f,  0.001f, 0.01f),
             parameter (paramRelease,   "Release",   0.001f, 1.0f,  0.001f, 0.05f),
             parameter (paramMakeUp,    "MakeUp",    -12.0f, 12.0f, 0.1f,   0.0f) };
}

bool QVCompressorProcessor::isBusesLayoutSupported (const BusesLayout& layouts) const
{
    const auto output = layouts.getMainOutputChannelSet();

    if (output != juce::AudioChannelSet::mono() && output != juce::AudioChannelSet::stereo())
        return false;

    return layouts.getMainInputChannelSet() == output;
}

//==============================================================================
void QVCompressorProcessor::prepareToPlay (double newSampleRate, int blockSize)
{
    // Rates below 100 Hz leave no room for the 10 ms window, and are no real rates: such a
    // processor stays unprepared and passes audio untouched.
    if (! (newSampleRate >= 100.0 && newSampleRate < 1.0e7))
    {
        sampleRate = 0.0;
        return;
    }

    setRateAndBufferSizeDetails (newSampleRate, blockSize);
    sampleRate = newSampleRate;

    const int numChannels = getMainBusNumInputChannels();
    const int length = (int) (0.01 * newSampleRate);

    if (numChannels != squareHistory.getNumChannels() || length != squareHistory.getNumSamples())
    {
        squareHistory.setSize (numChannels, length);
        squareHistory.clear();
        std::fill (runningSums.begin(), runningSums.end(), 0.0f);
    }

    windowLength = length;
    historyPosition = 0;
    runningSums.resize ((size_t) numChannels, 0.0f);

    limiter->prepareToPlay (newSampleRate, blockSize);
}

void QVCompressorProcessor::applyGain (juce::AudioBuffer<float>& buffer, int start, int numSamples, float gain)
{
    if (numSamples > 0)
        buffer.applyGain (start, numSamples, gain);   // zero clears, exactly 1 does nothing
}

void QVCompressorProcessor::applyRamp (juce::AudioBuffer<float>& buffer, int start, int numSamples,
                                       float startGain, float endGain)
{
    if (numSamples > 0)
        buffer.applyGainRamp (start, numSamples, startGain, endGain);
}

void QVCompressorProcessor::fadeInStart (juce::AudioBuffer<float>& buffer, int length)
{
    for (int channel = 0; channel < buffer.getNumChannels(); ++channel)
    {
        auto* d = buffer.getWritePointer (channel);

        for (int k = 0; k < length; ++k)
            d[k] *= (float) k / (float) length;
    }
}

void QVCompressorProcessor::processBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midi)
{
    const int n = buffer.getNumSamples();

    if (n <= 0 || sampleRate <= 0.0 || windowLength <= 0)
        return;

    const juce::ScopedNoDenormals noDenormals;

    // Detector: the side chain when it has channels, the main input otherwise; at most as
    // many channels as the main input has, and never beyond the buffer handed in.
    const int historyChannels = squareHistory.getNumChannels();
    int detectorStart = 0, detectorChannels = 0;

    if (auto* sidechain = getBus (true, 1); sidechain != nullptr && sidechain->getNumberOfChannels() > 0)
    {
        detectorStart = getChannelIndexInProcessBlockBuffer (true, 1, 0);
        detectorChannels = sidechain->getNumberOfChannels();
    }
    else if (auto* mainInput = getBus (true, 0); mainInput != nullptr)
    {
        detectorStart = getChannelIndexInProcessBlockBuffer (true, 0, 0);
        detectorChannels = mainInput->getNumberOfChannels();
    }

    detectorChannels = juce::jmax (0, juce::jmin (detectorChannels, historyChannels,
                                                  buffer.getNumChannels() - detectorStart));

    const float makeUpDb = makeUpParameter->get();
    const float thresholdDb = thresholdParameter->get();
    const float ratio = ratioParameter->get();
    const float makeUp = makeUpDb > -80.0f ? std::pow (10.0f, makeUpDb / 20.0f) : 0.0f;
    const float thr = thresholdDb > -80.0f ? std::pow (10.0f, thresholdDb / 20.0f) : 0.0f;

    // Energy over the sliding window, one running sum per channel.
    const float limit = (float) windowLength * (thr * thr);
    int firstOver = -1;   // none
    float peakSum = -1.0f;

    for (int c = 0; c < detectorChannels; ++c)
    {
        const float* input = buffer.getReadPointer (detectorStart + c);
        float* history = squareHistory.getWritePointer (c);
        float sum = runningSums[(size_t) c];
        int p = historyPosition;

        for (int i = 0; i < n; ++i)
        {
            const float v = input[i] * input[i];
            sum = sum - history[p] + v;
            history[p] = v;

            if (sum >= limit)
            {
                if (firstOver < 0 || i < firstOver)
                    firstOver = i;

                peakSum = juce::jmax (peakSum, sum);
            }

            if (++p == windowLength)
                p = 0;
        }

        runningSums[(size_t) c] = sum;
    }

    historyPosition = (int) (((long long) historyPosition + n) % windowLength);

    if (fadeInPending)
        fadeInStart (buffer, juce::jmin (n, 16));

    // Gain decision. s is the first sample the gain stages still have to treat.
    int s = 0;

    if (peakSum > 0.0f)
    {
        const float rms = std::sqrt (peakSum / (float) windowLength);
        maxRms = juce::jmax (maxRms, rms);

        const float ratioToPeak = thr / maxRms;
        targetGain = (float) (1.0 - (1.0 - (double) ratioToPeak) * ((double) ratio - 1.0) / (double) ratio);

        if (attackRemaining <= 0 && releaseRemaining <= 0)
        {
            // A new event: the samples before the first loud one only get the make-up gain.
            applyGain (buffer, 0, firstOver, makeUp);
            attackRemaining = (int) (attackParameter->get() * sampleRate);
            currentGain = 1.0f;
            s = firstOver;
        }
        else if (releaseRemaining >= 0)
        {
            // Loud again while releasing: attack again from the gain the release reached,
            // arriving an attack time after the first loud sample.
            releaseRemaining = -1;
            attackRemaining = (int) (attackParameter->get() * sampleRate + firstOver);
        }
        // Otherwise an attack runs and heads for the updated target.
    }

    if (attackRemaining >= 0)
    {
        const int r = n - s;
        const float target = targetGain;

        if (attackRemaining > r)
        {
            const float g = currentGain + (float) r * (target - currentGain) / (float) attackRemaining;
            applyRamp (buffer, s, r, currentGain * makeUp, g * makeUp);
            attackRemaining -= r;
            currentGain = g;
            s = n;
        }
        else
        {
            applyRamp (buffer, s, attackRemaining, currentGain * makeUp, target * makeUp);
            currentGain = target;
            s += attackRemaining;
            attackRemaining = -1;
            releaseRemaining = (int) (releaseParameter->get() * sampleRate);
        }
    }

    if (releaseRemaining >= 0)
    {
        const int r = n - s;

        if (releaseRemaining > r)
        {
            const auto g = (float) ((double) currentGain
                                    + (double) r * (1.0 - (double) currentGain) / (double) releaseRemaining);
            applyRamp (buffer, s, r, currentGain * makeUp, g * makeUp);
            releaseRemaining -= r;
            currentGain = g;
            s = n;
        }
        else
        {
            applyRamp (buffer, s, releaseRemaining, currentGain * makeUp, makeUp);
            s += releaseRemaining;
            releaseRemaining = -1;
            currentGain = 1.0f;
            targetGain = 1.0f;
            maxRms = -1.0f;   // the compression event ends
        }
    }

    applyGain (buffer, s, n - s, makeUp);

    limiter->processBlock (buffer, midi);
    fadeInPending = false;
}

void QVCompressorProcessor::processBlockBypassed (juce::AudioBuffer<float>& buffer, juce::MidiBuffer&)
{
    const int n = buffer.getNumSamples();

    if (! fadeInPending && n > 0 && ! buffer.hasBeenCleared())
        fadeInStart (buffer, juce::jmin (n, 64));

    // Processing resumes with the short fade-in.
    fadeInPending = true;
}

//==============================================================================
void QVCompressorProcessor::setUnNormalisedValue (juce::StringRef parameterID, float value)
{
    if (! std::isfinite (value))
        return;

    if (auto* parameter = parameterState.getParameter (parameterID))
    {
        const float normalised = juce::jlimit (0.0f, 1.0f, parameter->getNormalisableRange().convertTo0to1 (value));
        parameter->setValue (normalised);
        parameter->sendValueChangedMessageToListeners (normalised);
    }
}

float QVCompressorProcessor::getUnNormalisedValue (juce::StringRef parameterID) const
{
    if (auto* parameter = parameterState.getParameter (parameterID))
        return parameter->getNormalisableRange().convertFrom0to1 (parameter->getValue());

    return 0.0f;
}

void QVCompressorProcessor::loadSettingsFromJSON (const juce::var& settings)
{
    // JUCE counts arrays as objects too; only a real JSON object carries settings.
    if (settings.getDynamicObject() == nullptr)
        return;

    for (const auto* id : { &paramRatio, &paramThreshold, &paramSpeed, &paramRelease, &paramMakeUp })
    {
        const juce::Identifier key (*id);

        if (settings.hasProperty (key))
        {
            const double v = (double) settings.getProperty (key, {});

            // Beyond the float range the value would be undefined; every range ends well inside it.
            if (std::isfinite (v))
                setUnNormalisedValue (*id, (float) juce::jlimit (-1.0e6, 1.0e6, v));
        }
    }
}

void QVCompressorProcessor::getStateInformation (juce::MemoryBlock& destData)
{
    juce::Logger::writeToLog ("Saving QuilvarnCompressor");

    auto* object = new juce::DynamicObject();
    object->setProperty ("name", "PlumetCompressor");
    object->setProperty (juce::Identifier (paramRatio), getUnNormalisedValue (paramRatio));
    object->setProperty (juce::Identifier (paramThreshold), getUnNormalisedValue (paramThreshold));
    object->setProperty (juce::Identifier (paramSpeed), getUnNormalisedValue (paramSpeed));
    object->setProperty (juce::Identifier (paramRelease), getUnNormalisedValue (paramRelease));

    QVAudioEngineV4::writeJSONState (destData, juce::var (object));
}

void QVCompressorProcessor::setStateInformation (const void* data, int sizeInBytes)
{
    juce::Logger::writeToLog ("Configuring QuilvarnCompressor");

    if (data == nullptr || sizeInBytes <= 0)
        return;

    if (startsWithValueTreeOfOurType (data, sizeInBytes))
    {
        const auto tree = juce::ValueTree::readFromData (data, (size_t) sizeInBytes);

        if (tree.isValid() && tree.hasType (stateType))
        {
            parameterState.replaceState (tree);
            return;
        }
    }

    const auto parsed = juce::JSON::parse (juce::String::createStringFromData (data, sizeInBytes));

    loadSettingsFromJSON (parsed);
}
