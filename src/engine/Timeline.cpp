#include "engine/Timeline.h"
#include "engine/AudioEngine.h"
#include "common/EngineTypes.h"
#include "common/SharedResources.h"

#include <cmath>

namespace QVAudioEngineV4
{

namespace
{
    /** Seconds from a project to samples, truncated toward zero. Numbers come from files and
        commands: a value that is not finite counts as 0, one beyond any real timeline is held
        at 2^60 samples (a plain cast of either would be undefined). */
    long long secondsToTimelineSamples (const juce::var& seconds) noexcept
    {
        const double value = seconds;

        if (! std::isfinite (value))
            return 0;

        constexpr double limit = (double) (1LL << 60);
        return (long long) juce::jlimit (-limit, limit, value * processingSampleRate);
    }
}

//==============================================================================
Timeline::Track::Track (Timeline& ownerToUse, const juce::var& data)
    : trackData (data), owner (ownerToUse)
{
}

Timeline::Track::~Track()
{
    processor.reset();
    trackData = juce::var();
}

void Timeline::Track::loadThemeProcessor (QVAudioEngine* engine)
{
    if (auto fresh = owner.buildProcessor (trackData, engine))
        owner.installProcessor (*this, std::move (fresh));   // the old processor goes here, after the lock
}

//==============================================================================
Timeline::Timeline()
    : AutomatedProcessor (BusesProperties().withOutput ("Output", juce::AudioChannelSet::stereo(), true)),
      project (makeEmptyProject())
{
}

Timeline::~Timeline()
{
    masterProcessor.reset();
    videoResampler.reset();
    videoReader.reset();
    mixBuffer.setSize (0, 0);
    tracksByUuid.clear();
    tracks.clear();
    project = juce::var();
}

juce::var Timeline::makeEmptyProject()
{
    auto* object = new juce::DynamicObject();
    object->setProperty (Prop::automations, new juce::DynamicObject());
    object->setProperty (Prop::tracks, juce::Array<juce::var>());
    return juce::var (object);
}

//==============================================================================
juce::var Timeline::loadFromJSON (juce::var json, QVAudioEngine* engine)
{
    juce::var result (new juce::DynamicObject());

    // Reloading the document the timeline already holds must not empty its "themes" first.
    if (json.getDynamicObject() != nullptr && json.getDynamicObject() == project.getDynamicObject())
        project = juce::var();

    clear();
    project = json.getDynamicObject() != nullptr ? json : makeEmptyProject();

    if (auto* themes = project[Prop::tracks].getArray())
        for (auto& element : *themes)
            addTrack (element, engine);

    if (auto* automations = project[Prop::automations].getDynamicObject())
    {
        // A copy: replaceAutomation rewrites the entries being walked.
        const auto entries = automations->getProperties();

        for (const auto& entry : entries)
            replaceAutomation (entry.name.toString(), entry.value.getArray());
    }

    return result;
}

void Timeline::clear()
{
    juce::Logger::writeToLog ("Clearing timeline");

    // Taken out under the lock, deleted after it.
    juce::OwnedArray<Track> oldTracks;
    juce::OwnedArray<ParameterAutomator::AutomatedParameter> oldParameters;
    // Declared reader first, so the resampler that reads it is deleted before it.
    std::unique_ptr<juce::AudioFormatReaderSource> oldReader;
    std::unique_ptr<juce::ResamplingAudioSource> oldResampler;

    {
        const juce::ScopedLock sl (getCallbackLock());
        tracksByUuid.clear();
        oldTracks.swapWith (tracks);
        oldParameters.swapWith (automator.parameters);
        oldResampler = std::move (videoResampler);
        oldReader = std::move (videoReader);
        timelineLength = 0;
    }

    if (auto* document = project.getDynamicObject())
    {
        if (auto* themes = document->getProperty (Prop::tracks).getArray())
            themes->clear();

        document->setProperty ("videoFile", "");
    }
}

//==============================================================================
void Timeline::addTrack (juce::var& track, QVAudioEngine* engine)
{
    auto* trackObject = track.getDynamicObject();

    if (project.getDynamicObject() == nullptr || trackObject == nullptr)
        return;

    if (! trackObject->hasProperty (Prop::trackUuid))
        trackObject->setProperty (Prop::trackUuid, juce::Uuid().toDashedString());

    const auto uuid = trackObject->getProperty (Prop::trackUuid).toString();

    if (auto* existing = getTrack (uuid))
        updateTrack (*existing, track, engine);
    else
        addNewTrack (track, uuid, engine);
}

void Timeline::updateTrack (Track& existing, juce::var& track, QVAudioEngine* engine)
{
    if (engine == nullptr)
    {
        existing.trackData = track;
        return;
    }

    if (existing.trackData.getDynamicObject() == nullptr)
        return;

    const bool themeChanged = existing.processor != nullptr
                           && track.hasProperty (Prop::themeId)
                           && ! (existing.trackData.hasProperty (Prop::themeId)
                                 && existing.trackData[Prop::themeId] == track[Prop::themeId]);

    existing.trackData = track;

    if (themeChanged)
    {
        // The new theme replaces the old one in one swap; a theme that fails to load leaves the
        // track silent rather than playing the old theme.
        installProcessor (existing, buildProcessor (existing.trackData, engine));
        return;
    }

    if (existing.processor != nullptr)
    {
        existing.processor->setPropertiesFromJSON (existing.trackData);

        // A changed start moves the theme against the clock: place it again.
        const juce::ScopedLock sl (getCallbackLock());
        existing.processor->setNextPlaybackPosition (trackPosition);
    }
}

void Timeline::addNewTrack (juce::var& track, const juce::String& uuid, QVAudioEngine* engine)
{
    juce::Logger::writeToLog ("Add Track " + uuid + " (" + track[Prop::themeId].toString()
                              + ") starting: " + track[Prop::startTime].toString());

    auto* newTrack = new Track (*this, track);

    {
        const juce::ScopedLock sl (getCallbackLock());
        tracks.add (newTrack);
        tracksByUuid[uuid] = newTrack;
    }

    if (engine == nullptr)
        return;

    newTrack->loadThemeProcessor (engine);
    timelineLength = juce::jmax (timelineLength, secondsToTimelineSamples (track[Prop::endTime]));
}

bool Timeline::removeTrack (const juce::String& uuid)
{
    const auto entry = tracksByUuid.find (uuid);

    if (entry == tracksByUuid.end())
        return false;

    std::unique_ptr<Track> removed (entry->second.get());

    {
        const juce::ScopedLock sl (getCallbackLock());

        if (removed != nullptr)
            tracks.removeObject (removed.get(), false);

        tracksByUuid.erase (entry);
    }

    return removed != nullptr;   // deleted here, after the lock
}

Timeline::Track* Timeline::getTrack (const juce::String& uuid) const
{
    const auto entry = tracksByUuid.find (uuid);
    return entry != tracksByUuid.end() ? entry->second.get() : nullptr;
}

//==============================================================================
std::unique_ptr<ThemeProcessor> Timeline::buildProcessor (const juce::var& trackData, QVAudioEngine* engine) const
{
    if (engine == nullptr)
        return {};

    const auto themeId = trackData.getProperty (Prop::themeId, juce::String()).toString();
    auto fresh = std::make_unique<ThemeProcessor> (themeId, engine->libraryPath, engine->audioSettings.audioExtension);

    if (! fresh->isLoaded())
        return {};

    fresh->setPropertiesFromJSON (trackData);
    fresh->setNonRealtime (isNonRealtime());

    // A prepared timeline hands its tracks blocks of its own size, whatever the device's.
    fresh->prepareToPlay (processingSampleRate, prepared ? blockSize : engine->getDeviceBufferSize());
    return fresh;
}

std::unique_ptr<ThemeProcessor> Timeline::installProcessor (Track& track, std::unique_ptr<ThemeProcessor> newProcessor)
{
    const juce::ScopedLock sl (getCallbackLock());

    if (newProcessor != nullptr)
        newProcessor->setNextPlaybackPosition (trackPosition);

    std::swap (track.processor, newProcessor);
    return newProcessor;
}

//==============================================================================
void Timeline::replaceAutomation (juce::String parameterName, juce::Array<juce::var>* keyFrameList)
{
    if (keyFrameList == nullptr || parameterName.isEmpty())
        return;

    // The list may be the document's own entry, which is replaced below.
    const juce::Array<juce::var> keyFrames (*keyFrameList);
    const juce::Identifier parameterID (parameterName);

    // The merged key frames are built off the lock and swapped in under it.
    auto* existing = automator.getParameter (parameterID);
    auto updated = std::make_unique<ParameterAutomator::AutomatedParameter> (parameterID);

    if (existing != nullptr)
        updated->keyFrames = existing->keyFrames;

    updated->addKeyFramesFromJSON (&keyFrames, automationSampleRate);

    {
        const juce::ScopedLock sl (getCallbackLock());

        if (existing != nullptr)
            std::swap (existing->keyFrames, updated->keyFrames);
        else
            automator.parameters.add (updated.release());
    }

    if (auto* document = project.getDynamicObject())
    {
        if (document->getProperty (Prop::automations).getDynamicObject() == nullptr)
            document->setProperty (Prop::automations, new juce::DynamicObject());

        document->getProperty (Prop::automations).getDynamicObject()->setProperty (parameterID, keyFrames);
    }
}

juce::var Timeline::saveToJSON()
{
    if (auto* document = project.getDynamicObject())
    {
        juce::Array<juce::var> themes;

        for (auto* track : tracks)
            themes.add (track->trackData);

        document->removeProperty (Prop::tracks);
        document->setProperty (Prop::tracks, themes);
    }

    return project;
}

//==============================================================================
bool Timeline::loadVideoFile (juce::File file)
{
    videoFilePath = file.getFullPathName();

    std::unique_ptr<juce::AudioFormatReader> reader;

    {
        juce::SharedResourcePointer<SharedFormatManager> formats;
        reader.reset (formats->createReaderFor (file));
    }

    // A reader without a rate could not be placed against the clock: as unreadable as none.
    if (reader == nullptr || ! (reader->sampleRate > 0.0))
    {
        juce::Logger::writeToLog ("Loading video audio failed: " + videoFilePath.quoted());
        return false;
    }

    // What the swap must match; re-checked under the lock in case the timeline was prepared
    // again in between.
    bool wasPrepared;
    int preparedBlockSize;
    double rate;

    {
        const juce::ScopedLock sl (getCallbackLock());
        wasPrepared = prepared;
        preparedBlockSize = blockSize;
        rate = sampleRate;
    }

    auto newReader = std::make_unique<juce::AudioFormatReaderSource> (reader.release(), true);
    auto newResampler = std::make_unique<juce::ResamplingAudioSource> (newReader.get(), false, 2);
    const double ratio = juce::jmax (0.0, newReader->getAudioFormatReader()->sampleRate / rate);
    newResampler->setResamplingRatio (ratio);

    if (wasPrepared)
        newResampler->prepareToPlay (preparedBlockSize, rate);

    const auto totalLength = newReader->getTotalLength();

    if (totalLength < 1)
        return false;   // both new sources are deleted here

    {
        const juce::ScopedLock sl (getCallbackLock());

        if (prepared != wasPrepared || blockSize != preparedBlockSize || sampleRate != rate)
        {
            // Rare: prepareToPlay or releaseResources ran while the file was opened.
            videoRatio = juce::jmax (0.0, newReader->getAudioFormatReader()->sampleRate / sampleRate);
            newResampler->setResamplingRatio (videoRatio);

            if (prepared)
                newResampler->prepareToPlay (blockSize, sampleRate);
        }
        else
        {
            videoRatio = ratio;
        }

        timelineLength = (long long) ((double) totalLength / videoRatio);
        std::swap (videoResampler, newResampler);
        std::swap (videoReader, newReader);
    }

    // The previous sources are deleted here, after the lock, resampler first.
    newResampler.reset();
    newReader.reset();

    juce::Logger::writeToLog ("Video audio loaded: " + videoFilePath.quoted());
    return true;
}

bool Timeline::hasVideo() const
{
    const juce::ScopedLock sl (getCallbackLock());
    return videoReader != nullptr;
}

long long Timeline::getVideoReadPosition() const
{
    const juce::ScopedLock sl (getCallbackLock());
    return videoReader != nullptr ? videoReader->getNextReadPosition() : -1;
}

double Timeline::getVideoRatio() const
{
    const juce::ScopedLock sl (getCallbackLock());
    return videoRatio;
}

float Timeline::getLastVideoGain() const
{
    const juce::ScopedLock sl (getCallbackLock());
    return lastVideoGain;
}

//==============================================================================
void Timeline::setNextPlaybackPosition (long long newPosition)
{
    // The lock also while stopped: the audio thread may still be finishing a block.
    const juce::ScopedLock sl (getCallbackLock());
    position = juce::jmax (0LL, newPosition);

    if (! playing)
        repositionSources();
}

long long Timeline::getNextPlaybackPosition() const
{
    const juce::ScopedLock sl (getCallbackLock());
    return position;
}

void Timeline::applyParameter (const juce::Identifier& parameterID, float value)
{
    if (parameterID == Prop::video)
    {
        videoGain = 0.5f * value;
        return;
    }

    const int inflection = parameterID == Prop::momentum ? 0
                         : parameterID == Prop::depth    ? 1
                         : parameterID == Prop::power    ? 2 : -1;

    if (inflection < 0 && parameterID != Prop::music)
        return;

    const juce::ScopedLock sl (getCallbackLock());

    for (auto* track : tracks)
    {
        if (track->processor == nullptr || track->processor->themeSource == nullptr)
            continue;

        auto& source = *track->processor->themeSource;

        if (inflection >= 0)
            source.setInflection (inflection, (double) value);
        else
            source.setGain (0.5f * value);
    }
}

void Timeline::setNonRealtime (bool isNonRealtime) noexcept
{
    const juce::ScopedLock sl (getCallbackLock());

    for (auto* track : tracks)
        if (track->processor != nullptr)
            track->processor->setNonRealtime (isNonRealtime);

    AutomatedProcessor::setNonRealtime (isNonRealtime);
}

//==============================================================================
void Timeline::prepareToPlay (double newSampleRate, int newBlockSize)
{
    auto newMaster = masterProcessor == nullptr ? std::make_unique<QVCompressorProcessor>() : nullptr;

    const juce::ScopedLock sl (getCallbackLock());
    setRateAndBufferSizeDetails (newSampleRate, newBlockSize);
    sampleRate = newSampleRate;
    blockSize = newBlockSize;

    if (newMaster != nullptr)
        masterProcessor = std::move (newMaster);

    masterProcessor->prepareToPlay (newSampleRate, newBlockSize);

    for (auto* track : tracks)
        if (track->processor != nullptr)
            track->processor->prepareToPlay (newSampleRate, newBlockSize);

    mixBuffer.setSize (2, newBlockSize);

    if (videoResampler != nullptr)
        videoResampler->prepareToPlay (newBlockSize, newSampleRate);

    prepared = true;
}

void Timeline::releaseResources()
{
    const juce::ScopedLock sl (getCallbackLock());
    prepared = false;

    for (auto* track : tracks)
        if (track->processor != nullptr)
            track->processor->releaseResources();

    mixBuffer.setSize (2, 0);

    if (videoResampler != nullptr)
        videoResampler->releaseResources();   // releases the reader source too
}

void Timeline::processBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midi)
{
    const juce::ScopedLock sl (getCallbackLock());

    if (! prepared || blockSize <= 0 || masterProcessor == nullptr || buffer.getNumChannels() == 0)
    {
        buffer.clear();
        return;
    }

    // The sources and the master processor never see more than the prepared block size. The
    // pieces refer to the caller's samples (a view, no allocation).
    for (int done = 0; done < buffer.getNumSamples(); done += blockSize)
    {
        const int length = juce::jmin (blockSize, buffer.getNumSamples() - done);
        juce::AudioBuffer<float> piece (buffer.getArrayOfWritePointers(), buffer.getNumChannels(), done, length);
        processPiece (piece, midi);
    }
}

void Timeline::processPiece (juce::AudioBuffer<float>& output, juce::MidiBuffer& midi)
{
    const int n = output.getNumSamples();
    const bool isPlayingNow = playing;

    if (! isPlayingNow && isRepositionPending())
    {
        repositionSources();
        output.clear();
        return;
    }

    applyAutomations (position);   // taken at the clock position of the block's first sample
    output.clear();
    mixTracks (output, n);
    mixVideo (output, n);

    position += n;
    trackPosition += n;

    masterProcessor->processBlock (output, midi);

    // A seek arrived while playing: this block still played the old material; fade it out and
    // move every source to the clock.
    if (isPlayingNow && isRepositionPending())
    {
        fadeOut (output);
        repositionSources();
    }
}

void Timeline::mixTracks (juce::AudioBuffer<float>& output, int numSamples)
{
    const int channels = juce::jmin (2, output.getNumChannels());
    juce::AudioBuffer<float> scratch (mixBuffer.getArrayOfWritePointers(), 2, 0, numSamples);
    juce::MidiBuffer noMidi;

    for (auto* track : tracks)
    {
        if (track->processor == nullptr)
            continue;

        track->processor->processBlock (scratch, noMidi);

        if (scratch.hasBeenCleared())
            continue;

        for (int c = 0; c < channels; ++c)
            output.addFrom (c, 0, scratch, c, 0, numSamples);
    }
}

void Timeline::mixVideo (juce::AudioBuffer<float>& output, int numSamples)
{
    if (videoMuted)
    {
        lastVideoGain = 0.0f;
        videoBehindClock = videoResampler != nullptr;
        return;
    }

    if (videoResampler == nullptr)
        return;

    if (videoBehindClock)
        repositionVideo();

    const float gain = videoGain;
    const int channels = juce::jmin (2, output.getNumChannels());
    juce::AudioBuffer<float> scratch (mixBuffer.getArrayOfWritePointers(), 2, 0, numSamples);
    videoResampler->getNextAudioBlock (juce::AudioSourceChannelInfo (&scratch, 0, numSamples));

    for (int c = 0; c < channels; ++c)
        output.addFromWithRamp (c, 0, scratch.getReadPointer (c), numSamples, lastVideoGain, gain);

    lastVideoGain = gain;
}

void Timeline::fadeOut (juce::AudioBuffer<float>& output)
{
    // Sample i is scaled by 1 − i/n, the factor lowered by 1/n per sample.
    output.applyGainRamp (0, output.getNumSamples(), 1.0f, 0.0f);
}

void Timeline::repositionSources()
{
    for (auto* track : tracks)
        if (track->processor != nullptr)
            track->processor->setNextPlaybackPosition (position);

    trackPosition = position;
    repositionVideo();
}

void Timeline::repositionVideo() noexcept
{
    videoBehindClock = false;

    if (videoReader == nullptr)
        return;

    videoReader->setNextReadPosition ((long long) ((double) trackPosition * videoRatio));

    // The resampler reads a few samples ahead of what it has output; those belong to the old
    // position. Flushing only zeroes its buffer (no allocation).
    videoResampler->flushBuffers();
}

//==============================================================================
void Timeline::getStateInformation (juce::MemoryBlock& destData)
{
    writeJSONState (destData, saveToJSON());
}

void Timeline::setStateInformation (const void* data, int sizeInBytes)
{
    juce::String text;

    if (data != nullptr && sizeInBytes > 0)
    {
        auto* bytes = static_cast<const char*> (data);
        int length = 0;

        while (length < sizeInBytes && bytes[length] != 0)
            ++length;

        text = juce::String::fromUTF8 (bytes, length);
    }

    juce::var parsed;
    if (juce::JSON::parse (text, parsed).failed())
        parsed = juce::var();

    loadFromJSON (parsed, nullptr);
}

} // namespace QVAudioEngineV4
