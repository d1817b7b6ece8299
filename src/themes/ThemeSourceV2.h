#pragma once

#include "themes/StemFileThemeSource.h"

namespace QVAudioEngineV4
{

/**
    The second theme layout: one cross-looping XLoopSource per stem file, each file laid out as
    clean start, loop and ending. Can be converted to the current layout.
*/
class ThemeSourceV2 : public StemFileThemeSource
{
public:
    using StemFileThemeSource::StemFileThemeSource;
    ~ThemeSourceV2() override;

    /** Not rendering: the stems, then the effect chains. */
    void releaseResources() override;

    /** The first stem's position inside its file (the theme position when the first stem is
        not cross-looping). Rendering thread, or any thread while not playing. */
    juce::int64 getNextSourcesPosition() const override;

    /** Writes the theme as one multistem file of its distinct stems plus a version-3
        config.json (see ThemesConverters). The source must not be prepared for playback.
        Caller's thread, never the audio thread. */
    juce::Result convertToV3 (const juce::File& outputFile, int qualityOptionIndex,
                              const juce::String& extension, bool dryRun) override;

protected:
    bool blockReachesStems (juce::int64 pos, int numSamples) const override;

private:
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (ThemeSourceV2)
};

} // namespace QVAudioEngineV4
