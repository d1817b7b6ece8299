#pragma once

#include "common/QVJuce.h"

#include <unordered_set>
#include <vector>

namespace QVAudioEngineV4
{

/**
    A theme's inflection template and mixer settings, turning the three inflection
    values A, B and C into one volume per stem.

    A pattern key is three letters 'A' to 'C' (levels 0 to 2 of A, B and C); its index
    is 9 * A + 3 * B + C, so "AAA" is 0 and "CCC" is 26. Stem masks carry bit i for
    pattern i.

    The inflection values are written by the threads that deliver inflection changes,
    which then set volumesDirty; the rendering thread clears the flag before calling
    wasabi(), so a change arriving during the computation marks the volumes dirty again.
*/
class ThemeMixVolumes
{
public:
    static constexpr int numPatterns = 27;

    ThemeMixVolumes();

    /** Fills patternStems and stemMasks from the "Patterns" object. stemMasks must already be
        sized to the stem count; keys that are not a valid pattern key and stem indices outside
        stemMasks are skipped. */
    void loadPattern (const juce::var& patterns);

    /** Reads "EqualGain" and "SimpleMode" from the "Mixer" object (false when missing). */
    void loadMixerSettings (const juce::var& mixer);

    /** Recomputes volumes from the template and the current inflection values. */
    void wasabi();

    /** The pattern key of a pattern index, e.g. 13 -> "BBB". */
    static juce::String getInflection (int patternIndex);

    /** The key of the lowest pattern bit (0 to 26) set in a stem mask; "" when none is set. */
    static juce::String getInflectionForBit (int stemMask);

    /** The pattern index of a key, or -1 when the key is not three letters 'A' to 'C'. */
    static int getPatternIndex (const juce::String& key);

    std::vector<std::unordered_set<int>> patternStems;
    std::vector<int> stemMasks;
    std::vector<double> volumes;
    std::atomic<double> inflectionA { 0.0 };
    std::atomic<double> inflectionB { 0.0 };
    std::atomic<double> inflectionC { 0.0 };
    bool equalGain = false;
    bool simpleMode = false;
    std::atomic<bool> volumesDirty { true };

private:
    // Scratch list for wasabi(), kept so that a recomputation of the same stem count does
    // not allocate on the rendering thread.
    std::vector<double> scratch;

    JUCE_DECLARE_NON_COPYABLE (ThemeMixVolumes)
};

} // namespace QVAudioEngineV4
