#include "engine/AudioEngine.h"

namespace QVAudioEngineV4
{

namespace
{
    struct DefaultMapping
    {
        int controller;
        const char* parameter;
    };

    const char* const engineParameterNames[] = {
        "Unknown", "InflectionA", "InflectionB", "InflectionC", "SoundTrackVolume", "MusicVolume",
        "Aux1", "Aux2", "Aux3", "Aux4", "Aux5", "Aux6", "Aux7", "Aux8"
    };

    const DefaultMapping defaultMidiMappings[] = {
        { 21, "InflectionA" }, { 22, "InflectionB" }, { 23, "InflectionC" },
        { 24, "SoundTrackVolume" }, { 25, "MusicVolume" },
        { 41, "Aux1" }, { 42, "Aux2" }, { 43, "Aux3" }, { 44, "Aux4" },
        { 45, "Aux5" }, { 46, "Aux6" }, { 47, "Aux7" }, { 48, "Aux8" }
    };
}

QVAudioEngine::QVAudioEngine()
{
    settingsFile = getDefaultAudioSettingsFile();
    libraryPath = settingsFile.getSiblingFile (".themes");

    for (auto* name : engineParameterNames)
        parameterNames.addIfNotAlreadyThere (name);

    for (const auto& mapping : defaultMidiMappings)
        midiMappings.set (mapping.controller, parameterNames.indexOf (mapping.parameter));

    const auto error = deviceManager.initialiseWithDefaultDevices (0, 2);

    if (error.isNotEmpty())
        juce::Logger::writeToLog ("Audio device: " + error);

    playerSource = std::make_unique<AudioProcessorPlayerSource> (2, AudioProcessorPlayerSource::defaultFifoSize);
    timeline = std::make_unique<Timeline>();
    outputPlayer = std::make_unique<OutputSourcePlayer>();

    outputPlayer->setSource (playerSource.get());
    outputPlayer->setGain (1.0f);

    prepareOutputChain();

    deviceManager.addAudioCallback (outputPlayer.get());

    const auto midiDevices = juce::MidiInput::getAvailableDevices();

    if (! midiDevices.isEmpty())
    {
        midiInput = juce::MidiInput::openDevice (midiDevices[0].identifier, this);

        if (midiInput != nullptr)
            midiInput->start();
    }
}

QVAudioEngine::~QVAudioEngine()
{
    if (midiInput != nullptr)
    {
        midiInput->stop();
        midiInput.reset();
    }

    deviceManager.removeAudioCallback (outputPlayer.get());
    deviceManager.closeAudioDevice();
    outputPlayer->setSource (nullptr);
}

void QVAudioEngine::handleIncomingMidiMessage (juce::MidiInput*, const juce::MidiMessage&)
{
}

//==============================================================================
int QVAudioEngine::getDeviceBufferSize() const
{
    if (auto* device = deviceManager.getCurrentAudioDevice())
        return device->getCurrentBufferSizeSamples();

    return 0;
}

double QVAudioEngine::getDeviceSampleRate() const
{
    if (auto* device = deviceManager.getCurrentAudioDevice())
        return device->getCurrentSampleRate();

    return processingSampleRate;
}

void QVAudioEngine::prepareOutputChain()
{
    const int blockSize = getDeviceBufferSize();
    outputPlayer->prepareToPlay (getDeviceSampleRate(), blockSize);
    playerSource->prepareToPlay (blockSize, processingSampleRate);
    timeline->prepareToPlay (processingSampleRate, blockSize);
}

void QVAudioEngine::notifyPlayState (bool playing, bool audition)
{
    listenerList.call ([=] (AudioEngineListener& l) { l.playStateChanged (playing, audition); });
}

bool QVAudioEngine::auditionIsCurrent() const
{
    return themeProcessor != nullptr && playerSource->getProcessor() == themeProcessor.get();
}

bool QVAudioEngine::timelineIsCurrent() const
{
    return playerSource->getProcessor() == timeline.get();
}

bool QVAudioEngine::isAuditioning() const
{
    const juce::ScopedLock sl (playbackLock);
    return auditionIsCurrent();
}

bool QVAudioEngine::isTimelinePlaying() const
{
    const juce::ScopedLock sl (playbackLock);
    return timelineIsCurrent();
}

juce::StringArray QVAudioEngine::describeTracks() const
{
    // The track list is changed by the project operations under the timeline's callback lock.
    juce::StringArray lines;
    const juce::ScopedLock sl (timeline->getCallbackLock());

    for (auto* track : timeline->tracks)
        if (track->processor != nullptr)
            lines.add (track->processor->getPropertiesDescription());

    return lines;
}

void QVAudioEngine::startPlayback()
{
    const juce::ScopedLock sl (playbackLock);

    // The audition theme stays loaded; it stops being heard when the timeline is installed.
    if (auditionIsCurrent())
        notifyPlayState (false, true);

    timeline->setNonRealtime (false);
    prepareOutputChain();
    timeline->setPlaying (true);
    playerSource->setProcessor (timeline.get(), false);

    juce::Logger::writeToLog ("Playback parameters:");

    for (const auto& line : describeTracks())
        juce::Logger::writeToLog (line);

    notifyPlayState (true, false);
}

void QVAudioEngine::stopPlayback()
{
    const juce::ScopedLock sl (playbackLock);

    if (! timelineIsCurrent())
        return;

    timeline->setPlaying (false);
    playerSource->setProcessor (nullptr, false);
    notifyPlayState (false, false);
}

void QVAudioEngine::stopAudition()
{
    const juce::ScopedLock sl (playbackLock);
    stopAuditionLocked();
}

void QVAudioEngine::stopAuditionLocked()
{
    if (! auditionIsCurrent())
        return;

    playerSource->setProcessor (nullptr, false);
    notifyPlayState (false, true);
}

std::unique_ptr<ThemeProcessor> QVAudioEngine::takeAuditionLocked()
{
    stopAuditionLocked();
    return std::move (themeProcessor);
}

bool QVAudioEngine::loadAudition (const juce::String& themeId)
{
    {
        std::unique_ptr<ThemeProcessor> old;

        {
            const juce::ScopedLock sl (playbackLock);
            old = takeAuditionLocked();
        }

        // The old theme is no longer installed (setProcessor waited for any pull in progress),
        // so it is deleted here, outside every lock.
    }

    // Loading opens files and fills read-ahead buffers: done without any lock.
    auto loaded = std::make_unique<ThemeProcessor> (themeId, libraryPath, audioSettings.audioExtension);

    if (! loaded->isLoaded())
        return false;

    loaded->setNonRealtime (false);
    loaded->prepareToPlay (processingSampleRate, getDeviceBufferSize());

    const juce::ScopedLock sl (playbackLock);
    themeProcessor = std::move (loaded);
    return true;
}

void QVAudioEngine::unloadAudition()
{
    std::unique_ptr<ThemeProcessor> old;
    const juce::ScopedLock sl (playbackLock);
    old = takeAuditionLocked();
    // old is destroyed after the lock is released (declared before the lock guard).
}

void QVAudioEngine::startAudition (bool justLoaded)
{
    if (justLoaded && cueDelay > 0)
        juce::Thread::sleep (cueDelay);

    const juce::ScopedLock sl (playbackLock);

    if (themeProcessor == nullptr)
        return;

    prepareOutputChain();
    playerSource->setProcessor (themeProcessor.get(), false);
    notifyPlayState (true, true);
}

//==============================================================================
juce::File QVAudioEngine::getDefaultAudioSettingsFile()
{
    return juce::File::getSpecialLocation (juce::File::userApplicationDataDirectory)
        .getChildFile ("Application Support")
        .getChildFile ("Quilvarn Pro")
        .getChildFile ("AE-Settings.json");
}

void QVAudioEngine::initialiseWithSettings (const juce::File& file)
{
    // Settings files are not read yet: the engine keeps its construction defaults.
    juce::ignoreUnused (file);
}

//==============================================================================
void QVAudioEngine::addListener (AudioEngineListener* listener)
{
    listenerList.add (listener);
}

void QVAudioEngine::removeListener (AudioEngineListener* listener)
{
    listenerList.remove (listener);
}

} // namespace QVAudioEngineV4
