#pragma once

#include "common/QVJuce.h"

#include <atomic>
#include <limits>

namespace QVAudioEngineV4
{

/** The JSON keys shared by theme configurations, projects and commands. */
namespace Prop
{
    static const juce::Identifier tracks            { "themes" };
    static const juce::Identifier track             { "theme" };
    static const juce::Identifier trackUuid         { "themeUuid" };
    static const juce::Identifier trackName         { "customName" };
    static const juce::Identifier themeName         { "name" };
    static const juce::Identifier themeId           { "id" };
    static const juce::Identifier themeConfig       { "themeConfig" };
    static const juce::Identifier themeVersion      { "version" };
    static const juce::Identifier themePatterns     { "Patterns" };
    static const juce::Identifier themeMixer        { "Mixer" };
    static const juce::Identifier mixerEqualGain    { "EqualGain" };
    static const juce::Identifier mixerSimpleMode   { "SimpleMode" };
    static const juce::Identifier themeEffects      { "Effects" };
    static const juce::Identifier themeLoop         { "Loop" };
    static const juce::Identifier themeFiles        { "files" };
    static const juce::Identifier loopStart         { "clean_start_length" };
    static const juce::Identifier loopLength        { "loop_length" };
    static const juce::Identifier loopEnding        { "ending_length" };
    static const juce::Identifier loopEndingEnabled { "ending_enabled" };
    static const juce::Identifier startTime         { "startTime" };
    static const juce::Identifier endingTime        { "endingTime" };
    static const juce::Identifier ending            { "ending" };
    static const juce::Identifier endTime           { "endTime" };
    static const juce::Identifier offset            { "offset" };
    static const juce::Identifier automations       { "automs" };
    static const juce::Identifier momentum          { "A" };
    static const juce::Identifier depth             { "B" };
    static const juce::Identifier power             { "C" };
    static const juce::Identifier music             { "M" };
    static const juce::Identifier video             { "V" };
}

/** The fixed rate all processing runs at; JSON seconds are converted with it. */
static constexpr double processingSampleRate = 48000.0;

/** Converts JSON seconds to samples at the processing rate, truncating toward zero. */
inline juce::int64 secondsToSamples (double seconds) noexcept
{
    return (juce::int64) (seconds * processingSampleRate);
}

/** A double as a float, saturated at the float range: beyond it the conversion is undefined. */
inline float toFloatSaturated (double value) noexcept
{
    constexpr double limit = (double) std::numeric_limits<float>::max();
    return (float) juce::jlimit (-limit, limit, value);
}

/** Writes a processor's state as multi-line JSON text, without a terminating zero. */
inline void writeJSONState (juce::MemoryBlock& destData, const juce::var& state)
{
    const auto text = juce::JSON::toString (state, false);
    destData.replaceAll (text.toRawUTF8(), text.getNumBytesAsUTF8());
}

/** The settings a theme is loaded with; a plain record copied by value. */
struct AudioSettings
{
    juce::String audioExtension { "ogg" };   // stem files' extension, without dot
    int preBufferSize = 16384;               // samples
    double sampleRate = 48000.0;
    int blockSize = 512;                     // samples
    bool bufferOnInstanciation = true;
};

/**
    A value that one thread writes and another reads without a lock: every load and store is
    one relaxed atomic access, so a reader sees either the old or the new value, never a mix.
    Copying copies the current value.
*/
template <typename Type>
class RelaxedAtomic
{
public:
    RelaxedAtomic (Type initial = {}) noexcept : value (initial) {}
    RelaxedAtomic (const RelaxedAtomic& other) noexcept : value (other.load()) {}
    RelaxedAtomic& operator= (const RelaxedAtomic& other) noexcept   { store (other.load()); return *this; }
    RelaxedAtomic& operator= (Type newValue) noexcept                { store (newValue); return *this; }

    operator Type() const noexcept                                   { return load(); }
    Type load() const noexcept                                       { return value.load (std::memory_order_relaxed); }
    void store (Type newValue) noexcept                              { value.store (newValue, std::memory_order_relaxed); }

private:
    std::atomic<Type> value;
};

/**
    Timing of one loaded theme, in samples at 48000 Hz. Owned by the theme source, read by its
    stems on the rendering thread.

    The placement fields (start, length, playEnding, offset) are set by the theme processor from a
    command thread while the theme may be playing, so each is a single atomic store. The loop
    fields are set by the theme loader before anything plays and never change afterwards.
*/
struct ThemeProperties
{
    /** Sets the loop fields from the keys an object has ("clean_start_length", "loop_length",
        "ending_length", "ending_enabled"); absent keys leave their fields unchanged.
        Returns false for a value that is not an object (changing nothing), otherwise whether
        the object has "clean_start_length". */
    bool loadFromJSON (const juce::var& value);

    juce::String name;
    juce::Uuid uuid;                                // fresh random identifier
    RelaxedAtomic<juce::int64> start { 0 };         // where the theme starts on the timeline
    RelaxedAtomic<juce::int64> length { -1 };       // how long it plays from start; -1 = unbounded
    RelaxedAtomic<bool> playEnding { false };       // play the recorded ending at the end of length
    RelaxedAtomic<juce::int64> offset { 0 };        // how far into the theme a placement begins
    juce::int64 loopStart = 0;                      // length of the clean start before the loop
    juce::int64 loopLength = 0;
    juce::int64 loopEnding = 0;
    bool loopEndingEnabled = false;                 // stored only
    RelaxedAtomic<bool> realtime { true };          // false while rendering offline
};

} // namespace QVAudioEngineV4
