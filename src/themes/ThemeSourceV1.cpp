#include "themes/ThemeSourceV1.h"

namespace QVAudioEngineV4
{

ThemeSourceV1::~ThemeSourceV1() = default;

void ThemeSourceV1::releaseResources()
{
    releaseEffects();
    releaseStems();
}

bool ThemeSourceV1::blockReachesStems (juce::int64 pos, int numSamples) const
{
    // These stems know nothing of the placement's offset: blocks that end at or before it are
    // silent without reading the stems, which stay where they were last positioned.
    return pos + numSamples > properties.offset;
}

juce::Result ThemeSourceV1::convertToV3 (const juce::File&, int, const juce::String&, bool)
{
    const juce::String message ("Cannot convert automatically from V1 to V3");
    juce::Logger::writeToLog (message);
    return juce::Result::fail (message);
}

} // namespace QVAudioEngineV4
