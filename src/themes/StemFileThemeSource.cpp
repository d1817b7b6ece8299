#include "themes/StemFileThemeSource.h"

namespace QVAudioEngineV4
{

StemFileThemeSource::~StemFileThemeSource()
{
    // The stems read ahead on the shared threads: they go before the threads can.
    stems.clear();
}

void StemFileThemeSource::prepareToPlay (int, double) {}
void StemFileThemeSource::getNextAudioBlock (const juce::AudioSourceChannelInfo& info) { info.clearActiveBufferRegion(); }
void StemFileThemeSource::setNextReadPosition (juce::int64 newPosition) { ThemeSource::setNextReadPosition (newPosition); }
juce::StringArray StemFileThemeSource::getSourceFiles() const { return {}; }
juce::int64 StemFileThemeSource::getSourceLength() const { return 0; }
void StemFileThemeSource::releaseStems() {}
void StemFileThemeSource::releaseEffects() {}

} // namespace QVAudioEngineV4
