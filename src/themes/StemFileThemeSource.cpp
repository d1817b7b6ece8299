#include "themes/StemFileThemeSource.h"

namespace QVAudioEngineV4
{

StemFileThemeSource::~StemFileThemeSource()
{
    // The stems read ahead on the shared threads: they go before the threads can.
    stems.clear();
}

void StemFileThemeSource::prepareToPlay (int samplesPerBlockExpected, double newSampleRate)
{
    sampleRate = newSampleRate;

    // Twice the expected block size leaves room for hosts that deliver somewhat longer blocks.
    const int mixSize = 2 * juce::jmax (0, samplesPerBlockExpected);
    postProcessing.prepareToPlay (newSampleRate, mixSize);

    if (mixBuffer.getNumChannels() != 2 || mixBuffer.getNumSamples() != mixSize)
        mixBuffer.setSize (2, mixSize);

    for (auto* stem : stems)
        stem->prepareToPlay (mixSize, newSampleRate);
}

void StemFileThemeSource::releaseStems()
{
    for (auto* stem : stems)
        stem->releaseResources();
}

void StemFileThemeSource::releaseEffects()
{
    postProcessing.releaseResources();
}

void StemFileThemeSource::setNextReadPosition (juce::int64 newPosition)
{
    ThemeSource::setNextReadPosition (newPosition);

    // The stems know no time before the theme's start: they wait at their beginning.
    for (auto* stem : stems)
        stem->setNextReadPosition (juce::jmax ((juce::int64) 0, newPosition));
}

//==============================================================================
void StemFileThemeSource::getNextAudioBlock (const juce::AudioSourceChannelInfo& info)
{
    const juce::int64 pos = nextReadPosition;
    const int n = info.numSamples;

    if (! canMix (pos, n))
    {
        info.clearActiveBufferRegion();
        nextReadPosition = pos + n;
        return;
    }

    const float blockGain = gain;
    updateVolumesIfDirty();

    const int numSilentSamples = samplesBeforeThemeStart (pos, n);
    clearLeadIn (numSilentSamples);
    mixStems (info, numSilentSamples);

    applyEffectsAndGain (info, blockGain);
    nextReadPosition = pos + n;
}

bool StemFileThemeSource::canMix (juce::int64 pos, int numSamples) const
{
    return ! stems.isEmpty()
        && numSamples <= mixBuffer.getNumSamples()
        && blockReachesStems (pos, numSamples);
}

int StemFileThemeSource::samplesBeforeThemeStart (juce::int64 pos, int numSamples) noexcept
{
    return (int) juce::jlimit ((juce::int64) 0, (juce::int64) juce::jmax (0, numSamples), -pos);
}

void StemFileThemeSource::clearLeadIn (int numSilentSamples)
{
    // AudioBuffer::clear skips a buffer marked clear and marks it clear when the whole of it is.
    if (numSilentSamples > 0)
        mixBuffer.clear (0, numSilentSamples);
}

void StemFileThemeSource::mixStems (const juce::AudioSourceChannelInfo& info, int numSilentSamples)
{
    const int n = info.numSamples;
    const int numStemSamples = n - numSilentSamples;

    // contribute writes every channel of its destination from sample 0: give it the region's
    // first two channels only, so a wider caller buffer never makes it read past mixBuffer.
    const int numChannels = juce::jmin (mixBuffer.getNumChannels(), info.buffer->getNumChannels());
    float* regionChannels[2] = {};

    for (int c = 0; c < numChannels; ++c)
        regionChannels[c] = info.buffer->getWritePointer (c, info.startSample);

    juce::AudioBuffer<float> region (regionChannels, numChannels, n);

    for (int i = 0; i < stems.size(); ++i)
    {
        auto* stem = stems.getUnchecked (i);

        if (numStemSamples > 0)
            stem->getNextAudioBlock (juce::AudioSourceChannelInfo (&mixBuffer, numSilentSamples, numStemSamples));

        stem->contribute (region, mixBuffer, getStemVolume ((size_t) i), i == 0);
    }
}

//==============================================================================
juce::StringArray StemFileThemeSource::getSourceFiles() const
{
    juce::StringArray files;

    for (auto* stem : stems)
        files.add (stem->getFileName());

    return files;
}

juce::int64 StemFileThemeSource::getSourceLength() const
{
    juce::int64 longest = 0;

    for (auto* stem : stems)
        if (auto* reader = stem->getReader())
            longest = juce::jmax (longest, reader->lengthInSamples);

    return longest;
}

} // namespace QVAudioEngineV4
