#pragma once

#include "common/ParameterAutomator.h"
#include "themes/ThemeSource.h"

namespace QVAudioEngineV4
{

/**
    One theme as an audio processor, so that it can be auditioned through the engine's processor
    player, placed as a track on the timeline and rendered offline.

    It loads the theme by name from the library folder at construction, takes the track's timing
    from the track's JSON object, maps timeline positions to theme time and forwards automated
    inflections and music volume to its theme source. A theme that did not load plays silence.

    Threads: construction loads files, so it runs on a command thread or a render job, never on
    the audio thread. processBlock runs on the rendering thread holding the processor's callback
    lock; owners that swap or delete processors take the same lock. setPropertiesFromJSON may run
    on a command thread while the processor plays: each timing field is one atomic store.
*/
class ThemeProcessor : public AutomatedProcessor
{
public:
    /** Loads the theme folder named themeName inside libraryFolder, whose stems have the given
        audio extension (without dot). A name that leads outside the library loads nothing. */
    ThemeProcessor (const juce::String& themeName, const juce::File& libraryFolder,
                    const juce::String& audioExtension);
    ~ThemeProcessor() override;

    /** Sets the theme's placement from a track object: "startTime", "endTime" and "offset" in
        seconds, "ending" as a flag. Does nothing without a theme source. Any thread. */
    void setPropertiesFromJSON (const juce::var& track);

    /** One line describing the placement, for the log. Any thread. */
    juce::String getPropertiesDescription() const;

    /** True when the theme source exists and loaded completely. Any thread. */
    bool isLoaded() const noexcept;

    const juce::String getName() const override;

    // Not rendering.
    void prepareToPlay (double sampleRate, int samplesPerBlock) override;
    void releaseResources() override;

    // Rendering thread; takes the callback lock.
    void processBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midi) override;
    using AutomatedProcessor::processBlock;

    const juce::String getProgramName (int index) override;
    void getStateInformation (juce::MemoryBlock&) override {}
    void setStateInformation (const void*, int) override {}

    /** Positions the theme at timeline position minus the track's start. Rendering thread, or a
        command thread while not playing. */
    void setNextPlaybackPosition (long long position) override;
    long long getNextPlaybackPosition() const override;

    /** Automation: "A", "B", "C" to the inflections, "M" to the music gain (× 0.5). Called from
        processBlock, so under the callback lock. */
    void applyParameter (const juce::Identifier& parameterID, float value) override;

    /** The loaded theme; null when its configuration was unusable. Owners reach it directly to
        set inflections and gain (no lock: those are atomic stores). */
    std::unique_ptr<ThemeSource> themeSource;

private:
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (ThemeProcessor)
};

} // namespace QVAudioEngineV4
