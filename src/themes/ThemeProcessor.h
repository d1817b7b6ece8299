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
        audio extension (without dot), and logs whether it loaded. A name that leads outside the
        library (see getThemeFolder) loads nothing. The processor owns the theme source it
        builds; the library folder is only read during construction. Command thread or render
        job: it opens files. */
    ThemeProcessor (const juce::String& themeName, const juce::File& libraryFolder,
                    const juce::String& audioExtension);

    /** Deletes the theme source before the processor base. Owners take the callback lock, or
        have stopped rendering, before deleting. */
    ~ThemeProcessor() override;

    /** The folder of a theme inside the library: the library's child named by the theme, which
        may be a nested folder ("group/theme"). Returns File() for a name that does not lead to a
        folder strictly inside the library: empty, absolute, "~…", "." or containing a ".."
        part. Any thread. */
    static juce::File getThemeFolder (const juce::String& themeName, const juce::File& libraryFolder);

    /** Sets the theme's placement from a track object: "startTime", "endTime" and "offset" in
        seconds, "ending" as a flag; logs the result. Does nothing without a theme source.
        Command thread, also while the processor plays: each field is one atomic store. */
    void setPropertiesFromJSON (const juce::var& track);

    /** One line describing the placement, for the log. Any thread. */
    juce::String getPropertiesDescription() const;

    /** True when the theme source exists and loaded completely. Any thread. */
    bool isLoaded() const noexcept;

    const juce::String getName() const override;

    /** Not rendering. Marks the theme real time unless the owner set non-real-time mode, then
        prepares the source (only one that loaded completely). */
    void prepareToPlay (double sampleRate, int samplesPerBlock) override;
    /** Not rendering. */
    void releaseResources() override;

    /** Rendering thread; takes the callback lock for the whole call. Applies the automation at
        the theme's position and lets the source fill the whole buffer; a theme that did not
        load gives silence. The MIDI buffer is left alone. */
    void processBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midi) override;
    using AutomatedProcessor::processBlock;

    /** The theme's name when there is a source, otherwise "Quilvarn" translated. Any thread. */
    const juce::String getProgramName (int index) override;
    void getStateInformation (juce::MemoryBlock&) override {}
    void setStateInformation (const void*, int) override {}

    /** Positions the theme at timeline position minus the track's start. Rendering thread, or a
        command thread while not playing. Does nothing to a theme that did not load. */
    void setNextPlaybackPosition (long long position) override;

    /** The timeline position of the next block: start + theme position − offset; 0 without a
        source. Rendering thread, or any thread while not playing. */
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
