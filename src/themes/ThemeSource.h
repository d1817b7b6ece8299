#pragma once

#include "common/QVJuce.h"
#include "common/EngineTypes.h"
#include "common/ParameterAutomator.h"
#include "themes/InflectionTemplate.h"
#include "themes/ThemePostProcessing.h"

namespace QVAudioEngineV4
{

/**
    Plays one loaded theme: positions its stems in theme time, mixes them at the volumes the
    inflection template gives for the current A, B and C, runs the theme's effect chains and
    applies the music gain. The three theme layouts derive from it (ThemeSourceV1, V2, V3).

    Positions are samples of theme time at 48000 Hz; position 0 is properties.start on the
    timeline.

    Threads: the owner (a theme processor) calls prepareToPlay and releaseResources while not
    rendering, and getNextAudioBlock and the positioning operations on the rendering thread (the
    audio callback or a render job) under its callback lock. setInflection, setGain and
    applyParameter may come from any thread without a lock: each is one atomic store, and the
    rendering thread picks the change up at its next block.
*/
class ThemeSource : public juce::PositionableAudioSource,
                    public ParameterAutomator::Listener
{
public:
    /** An empty, uninitialised source; the factory fills it. */
    ThemeSource (const juce::String& themeName, const juce::String& folderPath);
    ~ThemeSource() override;

    /**
        Reads a theme folder's configuration and builds the source of its layout (version 1, 2
        or 3) with its stems, mix table, loop timing and effect chains.

        Returns null when the configuration is missing, not a JSON object, or has no known
        "version". Otherwise returns a source whose `initialised` flag tells whether loading
        succeeded; an uninitialised source plays nothing. Loading problems are logged.

        Called on the thread that asks for the theme (command thread or render job), never on
        the audio thread: it opens every stem file.
    */
    static std::unique_ptr<ThemeSource> createThemeSource (const juce::String& themeName,
                                                           const juce::File& configFile,
                                                           const AudioSettings& settings);

    //==============================================================================
    // Rendering thread, under the owner's callback lock.
    void setNextReadPosition (juce::int64 newPosition) override;
    juce::int64 getNextReadPosition() const override;

    /** One second past the track's end when the track has a length, otherwise ten hours past
        its start. Any thread. */
    juce::int64 getTotalLength() const override;
    bool isLooping() const override { return false; }
    void setLooping (bool) override {}

    /** The stem files the source plays (versions 1 and 2); empty otherwise. Any thread. */
    virtual juce::StringArray getSourceFiles() const;

    /** The longest stem file's sample count; 0 when there is none. Any thread. */
    virtual juce::int64 getSourceLength() const = 0;

    //==============================================================================
    // Any thread, no lock.

    /** Sets inflection 0 (A), 1 (B) or 2 (C); halved first in the mixer's simple mode. A value
        equal to the current one changes nothing; others mark the volumes for recomputation. */
    virtual void setInflection (int index, double value);

    /** The music gain, reached by a ramp across the next block. */
    virtual void setGain (float newGain);
    virtual float getGain() const;

    /** "A", "B", "C" set the inflections, "M" the gain (× 0.5); anything else is ignored. */
    void applyParameter (const juce::Identifier& parameterID, float value) override;

    //==============================================================================
    /** Where the playing stem material is: by default the timeline position of the next block
        (start + nextReadPosition − offset); layouts with a cross-looping stem give its position
        inside the file. Rendering thread, or any thread while not playing. */
    virtual juce::int64 getNextSourcesPosition() const;

    /**
        Rewrites the theme folder in the current layout: one multistem file (the given file,
        written in the format of the given extension with the quality option index) and a new
        config.json beside it. With dryRun only the summary is logged. The source must not be
        playing. Returns an error telling why nothing was written, or ok.
        Caller's thread (never the audio thread): it reads and writes whole files.
    */
    virtual juce::Result convertToV3 (const juce::File& outputFile, int qualityOptionIndex,
                                      const juce::String& extension, bool dryRun) = 0;

    /** A diagnostic text: each stem's mask and patterns, then the number of distinct stems. */
    virtual juce::String getDebugStemInformation() const;

    //==============================================================================
    juce::String themeName;
    juce::var config;                 // the parsed config.json
    juce::String folderPath;          // full path of the theme folder
    ThemeMixVolumes mixVolumes;
    ThemeProperties properties;
    ThemePostProcessing postProcessing;
    std::atomic<float> gain { 1.0f };   // music gain requested for the next block
    float lastGain = 1.0f;              // music gain at the end of the previous block
    bool initialised = false;           // set by the factory once loading succeeded
    std::atomic<juce::int64> nextReadPosition { 0 };
    double sampleRate = 48000.0;

protected:
    /** The volume of stem index i from the mix table: 1.0 for stems the table has no entry for. */
    float getStemVolume (size_t stemIndex) const noexcept;

    /** The end of every layout's block: marks the buffer not clear, runs the pre-gain chain,
        ramps the music gain from lastGain to blockGain, runs the post-gain chain, all over the
        first two channels of the region (the theme output is stereo). */
    void applyEffectsAndGain (const juce::AudioSourceChannelInfo& region, float blockGain);

    /** Recomputes the stem volumes if an inflection changed since the last block. */
    void updateVolumesIfDirty();

private:
    JUCE_DECLARE_WEAK_REFERENCEABLE (ThemeSource)
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (ThemeSource)
};

} // namespace QVAudioEngineV4
