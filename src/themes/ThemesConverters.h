#pragma once

#include "common/QVJuce.h"

namespace QVAudioEngineV4
{

class ThemeSourceV2;

/**
    Conversion of older theme folders to the current layout.

    The conversion never loses the user's theme: the new multistem file is written under a
    temporary name in the folder and only when it is complete and closed are it and the new
    config.json moved into place. A conversion that stops leaves the folder as it was.
*/
struct ThemesConverters
{
    /**
        Rewrites a loaded version-2 theme as one multistem file (outputFile, in the format of the
        extension, quality option index passed to the writer) whose channel pairs are the sums of
        the stems that share a pattern mask, plus a version-3 config.json beside it. With dryRun
        only the summary line is logged. The source must not be prepared for playback: its stems'
        readers are read directly. Caller's thread.
    */
    static juce::Result convertV2ToV3 (ThemeSourceV2& source, const juce::File& outputFile,
                                       int qualityOptionIndex, const juce::String& extension, bool dryRun);
};

} // namespace QVAudioEngineV4
