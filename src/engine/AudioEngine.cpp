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

bool QVAudioEngine::isAuditioning() const
{
    return themeProcessor != nullptr && playerSource->getProcessor() == themeProcessor.get();
}

bool QVAudioEngine::isTimelinePlaying() const
{
    return playerSource->getProcessor() == timeline.get();
}

void QVAudioEngine::startPlayback()
{
    if (isAuditioning())
        notifyPlayState (false, true);

    timeline->setNonRealtime (false);
    prepareOutputChain();
    timeline->setPlaying (true);
    playerSource->setProcessor (timeline.get(), false);

    juce::Logger::writeToLog ("Playback parameters:");
    notifyPlayState (true, false);
}

void QVAudioEngine::stopPlayback()
{
    if (! isTimelinePlaying())
        return;

    timeline->setPlaying (false);
    playerSource->setProcessor (nullptr, false);
    notifyPlayState (false, false);
}

void QVAudioEngine::stopAudition()
{
    if (! isAuditioning())
        return;

    playerSource->setProcessor (nullptr, false);
    notifyPlayState (false, true);
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
