#include "themes/ThemeSourceV2.h"

#include "themes/ThemesConverters.h"

namespace QVAudioEngineV4
{

ThemeSourceV2::~ThemeSourceV2() = default;

void ThemeSourceV2::releaseResources() {}
juce::int64 ThemeSourceV2::getNextSourcesPosition() const { return getNextReadPosition(); }
bool ThemeSourceV2::blockReachesStems (juce::int64, int) const { return false; }

juce::Result ThemeSourceV2::convertToV3 (const juce::File& outputFile, int qualityOptionIndex,
                                         const juce::String& extension, bool dryRun)
{
    return ThemesConverters::convertV2ToV3 (*this, outputFile, qualityOptionIndex, extension, dryRun);
}

} // namespace QVAudioEngineV4
