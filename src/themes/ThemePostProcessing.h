#pragma once

#include "common/QVJuce.h"

namespace QVAudioEngineV4
{

/**
    A theme's dynamics effects: two ordered chains of processors built from the theme's
    configuration, the pre-gain chain run before the theme's music gain and the post-gain
    chain after it.

    Effect types, matched ignoring case: "KrovCompressor" (QVDynamicsProcessor),
    "KrovLimiter" (QVLimiterProcessor) and "PlumetCompressor" (QVCompressorProcessor).
    Each processor receives its effect object as JSON text through setStateInformation.

    The owner prepares and releases the processors, builds the chains before the theme
    plays and runs them from its audio callback.
*/
class ThemePostProcessing
{
public:
    ThemePostProcessing();
    ~ThemePostProcessing();

    /** Builds the chains from a theme configuration object: its "EffectsV2" object ("Pre"
        and "Post" arrays of effect objects) when present, otherwise its flat "Effects"
        object, whose "dattacktime" announces a compressor and "lattacktime" a limiter,
        both in the pre-gain chain. */
    void loadFromJSON (const juce::var& themeConfig);

    /** Creates one processor from an effect object and appends it to a chain. Non-objects
        and unknown type names are skipped. */
    void addAudioProcessor (const juce::var& effect, bool preGain);

    /** Run a chain over the buffer. Pass a buffer that refers to your own sample memory
        (built on existing channel pointers): its copies share that memory, so the chain
        works in place on your samples. */
    void processBlockPreGain (juce::AudioBuffer<float> buffer);
    void processBlockPostGain (juce::AudioBuffer<float> buffer);

    /** Prepares, or releases, every processor of both chains. */
    void prepareToPlay (double sampleRate, int blockSize);
    void releaseResources();

    juce::OwnedArray<juce::AudioProcessor> preGainProcessors;
    juce::OwnedArray<juce::AudioProcessor> postGainProcessors;

private:
    static void processChain (juce::OwnedArray<juce::AudioProcessor>& chain, juce::AudioBuffer<float>& buffer);

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (ThemePostProcessing)
};

} // namespace QVAudioEngineV4
