#include "themes/ThemeSourceV1.h"

namespace QVAudioEngineV4
{

ThemeSourceV1::~ThemeSourceV1() = default;

void ThemeSourceV1::releaseResources() {}
bool ThemeSourceV1::blockReachesStems (juce::int64, int) const { return false; }

juce::Result ThemeSourceV1::convertToV3 (const juce::File&, int, const juce::String&, bool)
{
    juce::Logger::writeToLog ("Cannot convert automatically from V1 to V3");
    return juce::Result::fail ("Cannot convert automatically from V1 to V3");
}

} // namespace QVAudioEngineV4
