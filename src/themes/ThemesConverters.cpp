#include "themes/ThemesConverters.h"

#include "themes/ThemeSourceV2.h"

namespace QVAudioEngineV4
{

juce::Result ThemesConverters::convertV2ToV3 (ThemeSourceV2&, const juce::File&, int, const juce::String&, bool)
{
    return juce::Result::fail ("Conversion is not built yet");
}

} // namespace QVAudioEngineV4
