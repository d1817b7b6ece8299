#include "themes/ThemeSourceV3.h"

namespace QVAudioEngineV4
{

ThemeSourceV3::ThemeSourceV3 (const juce::String& name, const juce::String& folder)
    : ThemeSource (name, folder)
{
}

ThemeSourceV3::~ThemeSourceV3()
{
    // The stem reads ahead on the shared threads: it goes before they can.
    multistemSource.reset();
}

//==============================================================================
void ThemeSourceV3::prepareToPlay (int samplesPerBlockExpected, double newSampleRate)
{
    sampleRate = newSampleRate;
    postProcessing.prepareToPlay (newSampleRate, samplesPerBlockExpected);

    if (multistemSource == nullptr)
        return;

    multistemSource->prepareToPlay (samplesPerBlockExpected, newSampleRate);
    mixBuffer.setSize (juce::jmax (0, multistemSource->numChannels), mixPieceSize);   // no-op when the shape is kept

    // The factory gives one previous volume per stem; a source built otherwise starts its
    // missing stems from silence too, and the rendering thread never has to grow the list.
    const auto numStems = (size_t) getNumStems();

    if (lastVolumes.size() < numStems)
        lastVolumes.resize (numStems, 0.0f);
}

void ThemeSourceV3::releaseResources()
{
    postProcessing.releaseResources();

    if (multistemSource != nullptr)
        multistemSource->releaseResources();
}

void ThemeSourceV3::setNextReadPosition (juce::int64 newPosition)
{
    ThemeSource::setNextReadPosition (newPosition);

    if (multistemSource != nullptr)
        multistemSource->setNextReadPosition (juce::jmax ((juce::int64) 0, newPosition));
}

//==============================================================================
void ThemeSourceV3::getNextAudioBlock (const juce::AudioSourceChannelInfo& info)
{
    const int n = info.numSamples;

    if (nextReadPosition + n <= properties.offset)
    {
        // Before the offset point: silent, no effects, no gain; theme time runs on.
        info.clearActiveBufferRegion();
        nextReadPosition += n;
        return;
    }

    const float blockGain = gain;   // read once: a change arriving meanwhile waits for the next block

    if (multistemSource != nullptr && isPreparedForMixing())
    {
        updateVolumesIfDirty();
        mixBlock (info);
    }
    else
    {
        info.clearActiveBufferRegion();
    }

    applyEffectsAndGain (info, blockGain);
    nextReadPosition += n;
}

bool ThemeSourceV3::isPreparedForMixing() const noexcept
{
    return mixBuffer.getNumSamples() > 0;
}

int ThemeSourceV3::getNumMixableStems() const noexcept
{
    // Never more stems than the scratch buffer has channel pairs or previous volumes for.
    return juce::jmin (getNumStems(), mixBuffer.getNumChannels() / 2, (int) lastVolumes.size());
}

void ThemeSourceV3::mixBlock (const juce::AudioSourceChannelInfo& region)
{
    for (int done = 0; done < region.numSamples;)
    {
        const int piece = juce::jmin (region.numSamples - done, mixBuffer.getNumSamples());
        mixPiece (region, done, piece);
        done += piece;
    }
}

void ThemeSourceV3::mixPiece (const juce::AudioSourceChannelInfo& region, int offset, int piece)
{
    multistemSource->getNextAudioBlock (juce::AudioSourceChannelInfo (&mixBuffer, 0, piece));

    const int numStems = getNumMixableStems();

    if (numStems == 0)
    {
        // Nothing to write the piece from: it stays silent.
        region.buffer->clear (region.startSample + offset, piece);
        return;
    }

    for (int stem = 0; stem < numStems; ++stem)
        mixStem (region, offset, piece, stem);
}

void ThemeSourceV3::mixStem (const juce::AudioSourceChannelInfo& region, int offset, int piece, int stem)
{
    auto& buffer = *region.buffer;
    const int start = region.startSample + offset;
    const int outputChannels = juce::jmin (2, buffer.getNumChannels());   // the theme's output is stereo
    const float volume = getStemVolume ((size_t) stem);
    float& previous = lastVolumes[(size_t) stem];

    for (int c = 0; c < outputChannels; ++c)
    {
        const float* samples = mixBuffer.getReadPointer (2 * stem + c);

        // Stem 0 replaces, so the region is never cleared separately. Equal gains take JUCE's
        // constant-gain path, with its shortcuts for 0 and 1.
        if (stem == 0)
            buffer.copyFromWithRamp (c, start, samples, piece, previous, volume);
        else
            buffer.addFromWithRamp (c, start, samples, piece, previous, volume);
    }

    previous = volume;
}

//==============================================================================
juce::int64 ThemeSourceV3::getSourceLength() const
{
    if (multistemSource == nullptr)
        return 0;

    auto* reader = multistemSource->getReader();
    return reader != nullptr ? reader->lengthInSamples : 0;
}

juce::int64 ThemeSourceV3::getNextSourcesPosition() const
{
    return multistemSource != nullptr ? multistemSource->getFilePosition() : getNextReadPosition();
}

int ThemeSourceV3::getNumStems() const noexcept
{
    return multistemSource != nullptr ? juce::jmax (0, multistemSource->numChannels / 2) : 0;
}

juce::Result ThemeSourceV3::convertToV3 (const juce::File&, int, const juce::String&, bool)
{
    // Nothing is wrong and nothing needs writing.
    juce::Logger::writeToLog ("Theme is already V3 - nothing to do");
    return juce::Result::ok();
}

} // namespace QVAudioEngineV4
