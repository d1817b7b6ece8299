#include "common/EngineTypes.h"

namespace QVAudioEngineV4
{

bool ThemeProperties::loadFromJSON (const juce::var& value)
{
    // JUCE counts arrays as objects too: only a real JSON object holds loop keys.
    auto* object = value.getDynamicObject();

    if (object == nullptr)
        return false;

    if (object->hasProperty (Prop::loopStart))
        loopStart = (juce::int64) object->getProperty (Prop::loopStart);

    if (object->hasProperty (Prop::loopLength))
        loopLength = (juce::int64) object->getProperty (Prop::loopLength);

    if (object->hasProperty (Prop::loopEnding))
        loopEnding = (juce::int64) object->getProperty (Prop::loopEnding);

    if (object->hasProperty (Prop::loopEndingEnabled))
        loopEndingEnabled = (bool) object->getProperty (Prop::loopEndingEnabled);

    return object->hasProperty (Prop::loopStart);
}

} // namespace QVAudioEngineV4
