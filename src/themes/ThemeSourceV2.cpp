#include "themes/ThemeSourceV2.h"

#include "themes/ThemesConverters.h"
#include "themes/XLoopSource.h"

namespace QVAudioEngineV4
{

ThemeSourceV2::~ThemeSourceV2() = default;

void ThemeSourceV2::releaseResources()
{
    releaseStems();
    releaseEffects();
}

juce::int64 ThemeSourceV2::getNextSourcesPosition() const
{
    if (auto* first = dynamic_cast<const XLoopSource*> (stems.getFirst()))
        return first->getFilePosition();

    return getNextReadPosition();
}

bool ThemeSourceV2::blockReachesStems (juce::int64 pos, int numSamples) const
{
    // Cross-looping stems apply the placement's offset themselves; they only need to be
    // called once the block reaches theme position 0.
    return pos + numSamples > 0;
}

juce::Result ThemeSourceV2::convertToV3 (const juce::File& outputFile, int qualityOptionIndex,
                                         const juce::String& extension, bool dryRun)
{
    return ThemesConverters::convertV2ToV3 (*this, outputFile, qualityOptionIndex, extension, dryRun);
}

} // namespace QVAudioEngineV4
