#include "engine/Timeline.h"
#include "common/EngineTypes.h"

namespace QVAudioEngineV4
{

Timeline::Timeline()
    : HeadlessAudioProcessor (BusesProperties().withOutput ("Output", juce::AudioChannelSet::stereo(), true)),
      project (makeEmptyProject())
{
}

Timeline::~Timeline() = default;

juce::var Timeline::makeEmptyProject()
{
    auto* object = new juce::DynamicObject();
    object->setProperty (Prop::automations, new juce::DynamicObject());
    object->setProperty (Prop::tracks, juce::Array<juce::var>());
    return juce::var (object);
}

juce::var Timeline::loadFromJSON (juce::var json, QVAudioEngine*)
{
    const juce::ScopedLock sl (getCallbackLock());

    project = json.isObject() ? json : makeEmptyProject();

    if (! project.hasProperty (Prop::tracks))
        project.getDynamicObject()->setProperty (Prop::tracks, juce::Array<juce::var>());

    if (! project.hasProperty (Prop::automations))
        project.getDynamicObject()->setProperty (Prop::automations, new juce::DynamicObject());

    return juce::var (new juce::DynamicObject());
}

juce::var Timeline::saveToJSON() const
{
    const juce::ScopedLock sl (getCallbackLock());
    return project;
}

void Timeline::setNextPlaybackPosition (long long newPosition)
{
    const juce::ScopedLock sl (getCallbackLock());
    position = juce::jmax (0LL, newPosition);
}

long long Timeline::getNextPlaybackPosition() const
{
    const juce::ScopedLock sl (getCallbackLock());
    return position;
}

void Timeline::prepareToPlay (double sampleRate, int newBlockSize)
{
    const juce::ScopedLock sl (getCallbackLock());
    setRateAndBufferSizeDetails (sampleRate, newBlockSize);
    blockSize = newBlockSize;
    prepared = true;
}

void Timeline::releaseResources()
{
    const juce::ScopedLock sl (getCallbackLock());
    prepared = false;
}

void Timeline::processBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer&)
{
    const juce::ScopedLock sl (getCallbackLock());

    buffer.clear();

    if (playing)
        position += buffer.getNumSamples();
}

void Timeline::getStateInformation (juce::MemoryBlock& destData)
{
    writeJSONState (destData, saveToJSON());
}

void Timeline::setStateInformation (const void* data, int sizeInBytes)
{
    juce::String text;

    if (data != nullptr && sizeInBytes > 0)
    {
        auto* bytes = static_cast<const char*> (data);
        int length = 0;

        while (length < sizeInBytes && bytes[length] != 0)
            ++length;

        text = juce::String::fromUTF8 (bytes, length);
    }

    juce::var parsed;
    if (juce::JSON::parse (text, parsed).failed())
        parsed = juce::var();

    loadFromJSON (parsed, nullptr);
}

} // namespace QVAudioEngineV4
