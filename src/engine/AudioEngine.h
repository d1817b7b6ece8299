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
    // Playback control
    void startPlayback();
    void stopPlayback();
    void stopAudition();

    /** True while the audition theme is what the output chain plays. */
    bool isAuditioning() const;
    /** True while the timeline is what the output chain plays. */
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
    std::unique_ptr<juce::AudioProcessor> themeProcessor;
    std::unique_ptr<OutputSourcePlayer> outputPlayer;
    std::unique_ptr<AudioProcessorPlayerSource> playerSource;
    std::unique_ptr<Timeline> timeline;
    juce::ListenerList<AudioEngineListener, juce::Array<AudioEngineListener*, juce::CriticalSection>> listenerList;
    std::unique_ptr<juce::MidiInput> midiInput;
    juce::StringArray parameterNames;
    juce::HashMap<int, int, juce::DefaultHashFunctions, juce::CriticalSection> midiMappings;
    juce::SharedResourcePointer<BufferingThreadsArray> bufferingThreads;
    juce::ThreadPool renderPool;

private:
    /** Prepares the output player at the device's rate and block size, and the player source
        and the timeline at the processing rate with the device's block size. */
    void prepareOutputChain();
    void notifyPlayState (bool playing, bool audition);

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (QVAudioEngine)
};

} // namespace QVAudioEngineV4
