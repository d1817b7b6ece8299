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

void ThemeSourceV3::prepareToPlay (int, double) {}
void ThemeSourceV3::releaseResources() {}
void ThemeSourceV3::getNextAudioBlock (const juce::AudioSourceChannelInfo& info) { info.clearActiveBufferRegion(); }
void ThemeSourceV3::setNextReadPosition (juce::int64 newPosition) { ThemeSource::setNextReadPosition (newPosition); }
juce::int64 ThemeSourceV3::getSourceLength() const { return 0; }
juce::int64 ThemeSourceV3::getNextSourcesPosition() const { return getNextReadPosition(); }
int ThemeSourceV3::getNumStems() const noexcept { return multistemSource != nullptr ? multistemSource->numChannels / 2 : 0; }

juce::Result ThemeSourceV3::convertToV3 (const juce::File&, int, const juce::String&, bool)
{
    juce::Logger::writeToLog ("Theme is already V3 - nothing to do");
    return juce::Result::fail ("Theme is already V3 - nothing to do");
}

} // namespace QVAudioEngineV4
