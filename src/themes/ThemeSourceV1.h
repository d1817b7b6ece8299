#pragma once

#include "themes/StemFileThemeSource.h"

namespace QVAudioEngineV4
{

/**
    The first theme layout: one StemSource per numbered stem file, each looping its whole file,
    plus two transition stems (the same "trans0" file half its length apart) that play at full
    volume on top of the mix.
*/
class ThemeSourceV1 : public StemFileThemeSource
{
public:
    using StemFileThemeSource::StemFileThemeSource;
    ~ThemeSourceV1() override;

    /** Not rendering: the effect chains, then the stems. */
    void releaseResources() override;

    /** This layout cannot be converted: logs so and changes nothing. */
    juce::Result convertToV3 (const juce::File& outputFile, int qualityOptionIndex,
                              const juce::String& extension, bool dryRun) override;

protected:
    bool blockReachesStems (juce::int64 pos, int numSamples) const override;

private:
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (ThemeSourceV1)
};

} // namespace QVAudioEngineV4
