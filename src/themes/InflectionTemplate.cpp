#include "themes/InflectionTemplate.h"

#include "common/EngineTypes.h"

#include <cmath>

namespace QVAudioEngineV4
{

ThemeMixVolumes::ThemeMixVolumes() : patternStems ((size_t) numPatterns) {}

int ThemeMixVolumes::getPatternIndex (const juce::String& key)
{
    if (key.length() < 3)
        return -1;

    int index = 0;

    for (int i = 0; i < 3; ++i)
    {
        const auto level = (int) key[i] - (int) 'A';

        if (level < 0 || level > 2)
            return -1;

        index = index * 3 + level;
    }

    return index;
}

void ThemeMixVolumes::loadPattern (const juce::var& patterns)
{
    if (auto* object = patterns.getDynamicObject())
    {
        std::fill (stemMasks.begin(), stemMasks.end(), 0);

        for (const auto& property : object->getProperties())
        {
            const int index = getPatternIndex (property.name.toString());

            if (index < 0)
                continue;

            const int bit = 1 << index;

            if (const auto* stems = property.value.getArray())
            {
                for (const auto& element : *stems)
                {
                    const int stem = (int) element;

                    // A stem index with no entry in the stem list would address nothing.
                    if (stem < 0 || (size_t) stem >= stemMasks.size())
                        continue;

                    patternStems[(size_t) index].insert (stem);
                    stemMasks[(size_t) stem] |= bit;
                }
            }
        }
    }

    // Sized here so that the first recomputation on the rendering thread does not allocate.
    scratch.assign (volumes.size(), 0.0);
    volumesDirty = true;
}

void ThemeMixVolumes::loadMixerSettings (const juce::var& mixer)
{
    const bool isObject = mixer.isObject();

    equalGain = isObject && (bool) mixer.getProperty (Prop::mixerEqualGain, false);
    simpleMode = isObject && (bool) mixer.getProperty (Prop::mixerSimpleMode, false);
    volumesDirty = true;
}

void ThemeMixVolumes::wasabi()
{
    // Cleared before the values are read: a change that lands during the computation marks
    // the volumes dirty again for the next block.
    volumesDirty = false;

    const double a = inflectionA.load();
    const double b = inflectionB.load();
    const double c = inflectionC.load();

    scratch.assign (volumes.size(), 0.0);

    const auto weight = [this] (double distance)
    {
        if (distance >= 1.0)
            return 0.0;

        return equalGain ? std::sin ((1.0 - distance) * 1.5707963267948966)
                         : 1.0 - distance;
    };

    for (int i = 0; i < numPatterns; ++i)
    {
        const auto& stems = patternStems[(size_t) i];

        if (stems.empty())
            continue;

        const double dA = std::abs ((double) (i / 9) - a);
        const double dB = std::abs ((double) ((i / 3) % 3) - b);
        const double dC = std::abs ((double) (i % 3) - c);

        const double w = (weight (dB) * weight (dA)) * weight (dC);

        if (w == 0.0)
            continue;

        for (const int stem : stems)
            if (stem >= 0 && (size_t) stem < scratch.size())
                scratch[(size_t) stem] += w;
    }

    for (size_t s = 0; s < volumes.size(); ++s)
        volumes[s] = scratch[s];
}

juce::String ThemeMixVolumes::getInflection (int patternIndex)
{
    juce::String key;
    key << (juce::juce_wchar) ('A' + patternIndex / 9)
        << (juce::juce_wchar) ('A' + (patternIndex / 3) % 3)
        << (juce::juce_wchar) ('A' + patternIndex % 3);
    return key;
}

juce::String ThemeMixVolumes::getInflectionForBit (int stemMask)
{
    for (int bit = 0; bit < numPatterns; ++bit)
        if ((stemMask & (1 << bit)) != 0)
            return getInflection (bit);

    return {};
}

} // namespace QVAudioEngineV4
