#pragma once

#include "common/QVJuce.h"
#include "common/ParameterAutomator.h"
#include "themes/ThemeProcessor.h"
#include "audioeffects/QVCompressor.h"

#include <atomic>
#include <map>
#include <memory>

namespace QVAudioEngineV4
{

class QVAudioEngine;

/**
    The project timeline: a project document of theme placements ("tracks") with key-frame
    automation of the inflections and volumes, played as one audio processor at 48000 Hz.

    Every track with a loaded theme renders every block; each theme processor knows its own span
    on the timeline and renders silence outside it. The timeline sums them, runs a master
    compressor over the sum and keeps every source aligned with its clock, also across seeks.

    Threads and locks: the project operations (loadFromJSON, clear, addTrack, removeTrack,
    replaceAutomation, saveToJSON) run on one command thread at a time, or on a render job that
    owns a private timeline. processBlock runs on the audio (or render) thread under the callback
    lock. Everything the audio thread reads (tracks, each track's processor, the automator, the
    clock) is changed only under that lock; loading a theme happens before the lock is taken and
    objects taken out of the timeline are deleted after it is released.
*/
class Timeline : public AutomatedProcessor
{
public:
    /** One placement of a theme on the timeline. */
    class Track
    {
    public:
        /** The owner must outlive the track; the timeline's OwnedArray guarantees it. */
        Track (Timeline& owner, const juce::var& trackData);
        /** Deletes the processor, then releases trackData. */
        ~Track();

        /** (Re)creates the processor from trackData's "id" in the engine's library. The theme is
            loaded and prepared without any lock; only a processor that loaded replaces the old
            one, under the owner's callback lock, and the old one is deleted after the lock.
            Nothing happens without an engine. Command thread. */
        void loadThemeProcessor (QVAudioEngine* engine);

        /** Plays the track's theme; null while not loaded or when loading failed. Changed only
            under the owner's callback lock. */
        std::unique_ptr<ThemeProcessor> processor;
        /** The track's JSON object, shared with the project document. Command thread only. */
        juce::var trackData;

    private:
        Timeline& owner;

        JUCE_DECLARE_WEAK_REFERENCEABLE (Track)
        JUCE_DECLARE_NON_COPYABLE (Track)
    };

    Timeline();
    /** Deletes the master processor, the video sources, the tracks and then the project. */
    ~Timeline() override;

    //==============================================================================
    // Project model. Command thread; each takes the callback lock only for its swaps.

    /** Replaces the whole project by the given document (shared, not copied) and loads its tracks
        and automations. A value that is not an object gives an empty project. Without an engine
        the tracks get no processors. Returns a var holding a new, empty object. */
    juce::var loadFromJSON (juce::var json, QVAudioEngine* engine);

    /** Removes every track and automated parameter, empties "themes" and sets "videoFile" to "".
        Keeps "automs" in the document, videoFilePath and the clock. */
    void clear();

    /** Adds a placement, or updates the one with the same "themeUuid"; a track object without
        "themeUuid" gets a fresh one written into it. Does nothing unless both the project and the
        track are objects. */
    void addTrack (juce::var& track, QVAudioEngine* engine);

    /** Removes the placement with that "themeUuid". Returns false when there is none. "themes"
        follows on the next saveToJSON. */
    bool removeTrack (const juce::String& uuid);

    /** Records a key-frame list for one parameter: the project keeps a copy of the list (an
        "automs" object is created when the document has none), the automator merges its key
        frames into those it already has. A null list changes nothing. */
    void replaceAutomation (juce::String parameterName, juce::Array<juce::var>* keyFrameList);

    /** The project document with "themes" rebuilt from the tracks, in track order. Shares the
        timeline's object. */
    juce::var saveToJSON();

    /** The track placed under that uuid, or null. Command thread. */
    Track* getTrack (const juce::String& uuid) const;

    //==============================================================================
    // Video soundtrack

    /** Loads the audio track of a video (or audio) file through the shared format manager as the
        soundtrack, mixed under the music when unmuted. Records the path first, whatever happens.
        On success the timeline length becomes the soundtrack's length at the timeline's rate and
        the new soundtrack replaces the previous one, starting at the file's first sample until
        the next seek. A file that cannot be read (logged) or holds no audio (not logged) returns
        false and leaves the previous soundtrack playing. The file is opened and the reader built
        and prepared without any lock; only the swap takes the callback lock, and the previous
        sources are deleted after it. Command thread. */
    bool loadVideoFile (juce::File file);

    /** True while a soundtrack is loaded. Command thread; takes the callback lock. */
    bool hasVideo() const;
    /** The sample of the soundtrack file the next mixed block reads from; -1 without soundtrack.
        Command thread; takes the callback lock. */
    long long getVideoReadPosition() const;
    /** The soundtrack's rate over the timeline's (video position = timeline position × ratio).
        Command thread; takes the callback lock. */
    double getVideoRatio() const;
    /** The video gain reached at the end of the last mixed block. Command thread; takes the
        callback lock. */
    float getLastVideoGain() const;

    //==============================================================================
    // Playback

    /** Seek, in samples at 48000 Hz. While playing, the next block fades out and every source
        then moves to the new clock; otherwise the sources move at once. Any thread; takes the
        callback lock. */
    void setNextPlaybackPosition (long long newPosition) override;
    /** The clock: the position of the next block's first sample. Any thread; takes the lock. */
    long long getNextPlaybackPosition() const override;

    /** Set by the engine when it starts and stops playing the timeline; decides how seeks are
        carried out. Any thread. */
    void setPlaying (bool shouldPlay) noexcept { playing = shouldPlay; }
    bool isPlaying() const noexcept { return playing; }

    /** Automation sink: "A", "B", "C" set the inflections and "M" the music gain (× 0.5) of every
        loaded track, "V" the video gain (× 0.5). Audio thread (from processBlock) or a command
        thread; takes the callback lock, which processBlock already holds. */
    void applyParameter (const juce::Identifier& parameterID, float value) override;

    /** Passes the flag to every track's processor (and to processors loaded later), then stores
        it. Command thread; takes the callback lock. */
    void setNonRealtime (bool isNonRealtime) noexcept override;

    //==============================================================================
    const juce::String getName() const override { return "Quilvarn Timeline"; }
    /** Not playing. Takes the callback lock; creates the master processor on first use. */
    void prepareToPlay (double sampleRate, int blockSize) override;
    /** Not playing. Takes the callback lock. */
    void releaseResources() override;
    /** Audio or render thread; holds the callback lock for the whole call. Channels 0 and 1 of the
        buffer carry the result. Allocates nothing; a block longer than the prepared size is
        processed in pieces of the prepared size. Unprepared, it gives silence. */
    void processBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midi) override;
    using AutomatedProcessor::processBlock;
    const juce::String getProgramName (int) override { return "timeline"; }
    /** The project document as JSON text, without a terminating zero. Command thread. */
    void getStateInformation (juce::MemoryBlock& destData) override;
    /** Loads the JSON text as the project, without an engine (no processors). Text that does not
        parse gives an empty project. Command thread. */
    void setStateInformation (const void* data, int sizeInBytes) override;

    //==============================================================================
    juce::var project;
    juce::OwnedArray<Track> tracks;
    std::map<juce::String, juce::WeakReference<Track>> tracksByUuid;
    /** Samples at 48000 Hz; grows as placements are added with an engine. */
    long long timelineLength = 0;
    /** The video file last given to the video loader. */
    juce::String videoFilePath;

    /** Video soundtrack gain; "V" sets it to 0.5 × value. Any thread. */
    std::atomic<float> videoGain { 0.0f };
    /** While true the video soundtrack is not mixed. */
    std::atomic<bool> videoMuted { true };

private:
    /** Loads, places and prepares the theme of a track object, off the lock; null without an
        engine or when the theme did not load. */
    std::unique_ptr<ThemeProcessor> buildProcessor (const juce::var& trackData, QVAudioEngine* engine) const;
    /** Swaps the new processor into the track at the timeline's clock, under the lock; returns
        the previous one for deletion after the lock. */
    std::unique_ptr<ThemeProcessor> installProcessor (Track& track, std::unique_ptr<ThemeProcessor> newProcessor);
    void updateTrack (Track& existing, juce::var& track, QVAudioEngine* engine);
    void addNewTrack (juce::var& track, const juce::String& uuid, QVAudioEngine* engine);

    // Audio thread, under the callback lock.
    void processPiece (juce::AudioBuffer<float>& output, juce::MidiBuffer& midi);
    bool isRepositionPending() const noexcept { return trackPosition != position; }
    void repositionSources();
    void mixTracks (juce::AudioBuffer<float>& output, int numSamples);
    void mixVideo (juce::AudioBuffer<float>& output, int numSamples);
    void repositionVideo() noexcept;
    static void fadeOut (juce::AudioBuffer<float>& output);

    static juce::var makeEmptyProject();

    std::atomic<bool> playing { false };
    bool prepared = false;
    int blockSize = 0;
    long long position = 0;        // the clock: first sample of the next block
    long long trackPosition = 0;   // where the sources render their next block from
    juce::AudioBuffer<float> mixBuffer;
    std::unique_ptr<QVCompressorProcessor> masterProcessor;

    // Video soundtrack: the reader source owns its reader; the resampler reads the reader source.
    std::unique_ptr<juce::AudioFormatReaderSource> videoReader;
    std::unique_ptr<juce::ResamplingAudioSource> videoResampler;
    double videoRatio = 1.0;
    float lastVideoGain = 0.0f;
    // Set while muted: the soundtrack did not advance with the clock, so unmuting moves it back
    // under the clock before it is mixed again.
    bool videoBehindClock = false;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (Timeline)
};

} // namespace QVAudioEngineV4
