#pragma once

#include "common/QVJuce.h"
#include "common/EngineTypes.h"
#include "engine/OutputChain.h"
#include "engine/RenderJob.h"
#include "common/SharedResources.h"
#include "engine/Timeline.h"

namespace QVAudioEngineV4
{

/** What the engine reports to the command layer. */
class AudioEngineListener
{
public:
    virtual ~AudioEngineListener() = default;
    virtual void catchException (int, std::string, int) {}
    virtual void inflectionSliderChanged (int index, float value) = 0;
    virtual void musicVolumeChanged (float value) = 0;
    virtual void movieVolumeChanged (float value) = 0;
    virtual void auxSliderChanged (int index, float value) = 0;
    virtual void playStateChanged (bool playing, bool audition) = 0;
};

/**
    The one audio engine of the process: the audio device and the output chain that feeds it,
    the timeline, the audition theme, MIDI input and its mappings, the engine settings, the
    listeners of the command layer and the pool that runs offline renders.
*/
class QVAudioEngine : public juce::MidiInputCallback
{
public:
    QVAudioEngine();
    ~QVAudioEngine() override;

    void handleIncomingMidiMessage (juce::MidiInput* source, const juce::MidiMessage& message) override;

    //==============================================================================
    // Playback control. What plays is the player source's current processor: none (idle), the
    // timeline, or the audition theme. Every operation below takes playbackLock for its whole
    // run, listener calls included, so the command thread and the MIDI thread never interleave
    // inside one and each listener hears the play-state changes in the order they happened.
    // None of them runs on the device thread.

    /** Makes the timeline play from where it stands: ends an audition that plays (reporting
        (false, true) first), prepares the chain, installs the timeline, logs the placements and
        reports (true, false). Command or MIDI thread; takes playbackLock. */
    void startPlayback();
    /** Stops the timeline if it is what plays, keeping its position; reports (false, false).
        Command or MIDI thread; takes playbackLock. */
    void stopPlayback();
    /** Stops the audition if it is what plays; the theme stays loaded. Reports (false, true).
        Command or MIDI thread; takes playbackLock. */
    void stopAudition();

    /** Replaces the audition theme by the theme themeId of the library: stops and deletes the
        current one, then loads and prepares the new one outside playbackLock and stores it only
        if it loaded. Returns whether it loaded; on failure no audition theme is left. Pass the
        result to startAudition so that the cue delay applies to a theme this command loaded.
        Command thread; takes playbackLock for the swaps, never while loading. */
    bool loadAudition (const juce::String& themeId);
    /** Stops and deletes the audition theme. Command thread; takes playbackLock. */
    void unloadAudition();

    /** Makes the loaded audition theme play and reports (true, true); does nothing without one.
        justLoaded says the theme was loaded by the same command: then the calling thread first
        waits cueDelay milliseconds (outside playbackLock, so MIDI stops are not held up). A
        playing timeline is replaced without being stopped: its playing flag stays set and no
        (false, false) is reported. Command thread; takes playbackLock after the wait. */
    void startAudition (bool justLoaded);

    /** True while the audition theme is what the output chain plays. Any thread but the device
        thread; takes playbackLock. */
    bool isAuditioning() const;
    /** True while the timeline is what the output chain plays. Any thread but the device thread;
        takes playbackLock. */
    bool isTimelinePlaying() const;

    //==============================================================================
    /** "AE-Settings.json" under the user's application data folder. */
    static juce::File getDefaultAudioSettingsFile();

    /** Reads the settings file and opens the audio device it names. */
    void initialiseWithSettings (const juce::File& file);

    /** The current device's buffer size (0 without a device) and rate (48000 without one). */
    int getDeviceBufferSize() const;
    double getDeviceSampleRate() const;

    //==============================================================================
    // Listener registration is safe from any thread: the list is guarded by its own lock,
    // which is also held while the listeners are called.
    void addListener (AudioEngineListener* listener);
    void removeListener (AudioEngineListener* listener);

    //==============================================================================
    juce::AudioDeviceManager deviceManager;
    juce::File settingsFile;
    juce::File libraryPath;
    int cueDelay = 0;
    AudioSettings audioSettings;
    juce::SharedResourcePointer<SharedFormatManager> formatManager;
    /** The theme loaded for auditioning, or null. Written only under playbackLock (by
        loadAudition and unloadAudition); read under it by the playback operations. */
    std::unique_ptr<ThemeProcessor> themeProcessor;
    std::unique_ptr<OutputSourcePlayer> outputPlayer;
    std::unique_ptr<AudioProcessorPlayerSource> playerSource;
    std::unique_ptr<Timeline> timeline;
    juce::ListenerList<AudioEngineListener, juce::Array<AudioEngineListener*, juce::CriticalSection>> listenerList;
    std::unique_ptr<juce::MidiInput> midiInput;
    juce::StringArray parameterNames;
    juce::HashMap<int, int, juce::DefaultHashFunctions, juce::CriticalSection> midiMappings;
    juce::SharedResourcePointer<BufferingThreadsArray> bufferingThreads;
    juce::ThreadPool renderPool;

    /** Serialises the playback operations, the audition swaps and the play-state reports between
        the command thread and the MIDI thread. Recursive (stopAudition runs inside
        loadAudition). Never taken by the device thread, which only try-locks inside the output
        chain; never held while a theme loads or during the cue delay. Lock order: playbackLock,
        then the timeline's callback lock or the listener list's lock. */
    juce::CriticalSection playbackLock;

private:
    /** Prepares the output player at the device's rate and block size, and the player source
        and the timeline at the processing rate with the device's block size. */
    void prepareOutputChain();
    /** Calls playStateChanged on every listener, last added first. Under playbackLock. */
    void notifyPlayState (bool playing, bool audition);
    /** Unlocked forms of the queries, for callers that hold playbackLock. */
    bool auditionIsCurrent() const;
    bool timelineIsCurrent() const;
    /** Under playbackLock: uninstalls the audition theme if it plays and reports (false, true). */
    void stopAuditionLocked();
    /** Under playbackLock: takes the audition theme out (stopping it first) for deletion after
        the lock is released. */
    std::unique_ptr<ThemeProcessor> takeAuditionLocked();
    /** One log entry per track that has a theme processor, in track order. */
    juce::StringArray describeTracks() const;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (QVAudioEngine)
};

} // namespace QVAudioEngineV4
