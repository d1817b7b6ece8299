#include "themes/ThemePostProcessing.h"

#include "audioeffects/Dynamics.h"
#include "audioeffects/QVCompressor.h"
#include "common/EngineTypes.h"

namespace QVAudioEngineV4
{

ThemePostProcessing::ThemePostProcessing() = default;
ThemePostProcessing::~ThemePostProcessing() = default;

void ThemePostProcessing::loadFromJSON (const juce::var& themeConfig)
{
    const auto effectsV2 = themeConfig.getProperty ("EffectsV2", {});

    // JUCE counts arrays as objects too; the configuration forms need real JSON objects.
    if (effectsV2.getDynamicObject() != nullptr)
    {
        if (const auto* pre = effectsV2.getProperty ("Pre", {}).getArray())
            for (const auto& effect : *pre)
                addAudioProcessor (effect, true);

        if (const auto* post = effectsV2.getProperty ("Post", {}).getArray())
            for (const auto& effect : *post)
                addAudioProcessor (effect, false);

        return;
    }

    const auto effects = themeConfig.getProperty (Prop::themeEffects, {});

    if (auto* object = effects.getDynamicObject())
    {
        // One flat object holds the settings of both types side by side; each reads its
        // own keys. The "name" is only lent for the duration of the call.
        static const juce::Identifier name ("name");

        if (object->hasProperty ("dattacktime"))
        {
            object->setProperty (name, "KrovCompressor");
            addAudioProcessor (effects, true);
            object->removeProperty (name);
        }

        if (object->hasProperty ("lattacktime"))
        {
            object->setProperty (name, "KrovLimiter");
            addAudioProcessor (effects, true);
            object->removeProperty (name);
        }
    }
}

void ThemePostProcessing::addAudioProcessor (const juce::var& effect, bool preGain)
{
    if (effect.getDynamicObject() == nullptr)
        return;

    const auto type = effect.getProperty ("name", "invalid").toString();
    std::unique_ptr<juce::AudioProcessor> processor;

    if (type.equalsIgnoreCase ("PlumetCompressor"))
        processor = std::make_unique<QVCompressorProcessor>();
    else if (type.equalsIgnoreCase ("KrovCompressor"))
        processor = std::make_unique<QVDynamicsProcessor>();
    else if (type.equalsIgnoreCase ("KrovLimiter"))
        processor = std::make_unique<QVLimiterProcessor>();
    else
        return;

    const auto settings = juce::JSON::toString (effect, false);
    processor->setStateInformation (settings.toRawUTF8(), (int) settings.getNumBytesAsUTF8());

    (preGain ? preGainProcessors : postGainProcessors).add (processor.release());
}

void ThemePostProcessing::processChain (juce::OwnedArray<juce::AudioProcessor>& chain, juce::AudioBuffer<float>& buffer)
{
    juce::MidiBuffer midi;

    for (auto* processor : chain)
    {
        const juce::ScopedLock sl (processor->getCallbackLock());
        processor->processBlock (buffer, midi);
    }
}

void ThemePostProcessing::processBlockPreGain (juce::AudioBuffer<float> buffer)
{
    processChain (preGainProcessors, buffer);
}

void ThemePostProcessing::processBlockPostGain (juce::AudioBuffer<float> buffer)
{
    processChain (postGainProcessors, buffer);
}

void ThemePostProcessing::prepareToPlay (double sampleRate, int blockSize)
{
    for (auto* processor : preGainProcessors)
        processor->prepareToPlay (sampleRate, blockSize);

    for (auto* processor : postGainProcessors)
        processor->prepareToPlay (sampleRate, blockSize);
}

void ThemePostProcessing::releaseResources()
{
    for (auto* processor : preGainProcessors)
        processor->releaseResources();

    for (auto* processor : postGainProcessors)
        processor->releaseResources();
}

} // namespace QVAudioEngineV4
