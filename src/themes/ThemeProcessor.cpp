#include "themes/ThemeProcessor.h"

#include <cmath>

namespace QVAudioEngineV4
{

namespace
{
    /** The settings every theme processor loads its theme with; only the extension varies. */
    AudioSettings themeLoadSettings (const juce::String& audioExtension)
    {
        AudioSettings settings;
        settings.audioExtension = audioExtension;
        settings.preBufferSize = 16384;
        settings.sampleRate = processingSampleRate;
        settings.blockSize = 512;
        settings.bufferOnInstanciation = true;
        return settings;
    }

    /**
        Seconds to samples, truncated toward zero. A track's numbers come from a project file
        or a command: a value that is not finite gives the fallback, one beyond the 64-bit
        range is held at a limit (a plain cast of either would be undefined). The limit, 2^60
        samples, leaves room for the sums of start, position and offset made during playback.
    */
    juce::int64 secondsToSamplesSafe (double seconds, juce::int64 fallback) noexcept
    {
        if (! std::isfinite (seconds))
            return fallback;

        constexpr double limit = (double) (1LL << 60);
        return (juce::int64) juce::jlimit (-limit, limit, seconds * processingSampleRate);
    }
}

juce::File ThemeProcessor::getThemeFolder (const juce::String& themeName, const juce::File& libraryFolder)
{
    if (themeName.isEmpty() || libraryFolder == juce::File() || juce::File::isAbsolutePath (themeName))
        return {};

    // juce::File resolves ".." parts in some spellings only (a trailing "Sub/.." stays in the
    // path text, where the check below would take it for a child): no part may be "..".
    const auto parts = juce::StringArray::fromTokens (themeName, juce::String::charToString (juce::File::getSeparatorChar()), {});

    if (parts.contains (".."))
        return {};

    const auto folder = libraryFolder.getChildFile (themeName);

    // "." and "./" name the library itself, which is not a theme.
    return folder.isAChildOf (libraryFolder) ? folder : juce::File();
}

ThemeProcessor::ThemeProcessor (const juce::String& themeName, const juce::File& libraryFolder,
                                const juce::String& audioExtension)
{
    const auto folder = getThemeFolder (themeName, libraryFolder);

    if (folder != juce::File())
        themeSource = ThemeSource::createThemeSource (themeName, folder.getChildFile ("config.json"),
                                                      themeLoadSettings (audioExtension));

    if (isLoaded())
    {
        themeSource->properties.name = themeName;
        juce::Logger::writeToLog ("Loading theme: " + themeName + ": initialised");
    }
    else
    {
        juce::Logger::writeToLog ("Loading theme: " + themeName + ": initialisation failed");
    }
}

ThemeProcessor::~ThemeProcessor()
{
    // The source goes before the automator and the rest of the processor base.
    themeSource.reset();
}

//==============================================================================
void ThemeProcessor::setPropertiesFromJSON (const juce::var& track)
{
    if (themeSource == nullptr)
        return;

    const double startTime = track.getProperty (Prop::startTime, 0.0);
    const double endTime = track.getProperty (Prop::endTime, -1.0);

    auto& properties = themeSource->properties;
    properties.start = secondsToSamplesSafe (startTime, 0);
    properties.playEnding = (bool) track.getProperty (Prop::ending, false);
    properties.length = endTime >= 0.0 ? secondsToSamplesSafe (endTime - startTime, 0) : 0;
    properties.offset = secondsToSamplesSafe (track.getProperty (Prop::offset, 0.0), 0);

    juce::Logger::writeToLog ("Setting: " + getPropertiesDescription());
}

juce::String ThemeProcessor::getPropertiesDescription() const
{
    if (themeSource == nullptr)
        return " no source set";

    const auto& properties = themeSource->properties;

    return juce::File (themeSource->folderPath).getFileName()
         + " start: " + juce::String (properties.start.load())
         + " offset: " + juce::String (properties.offset.load())
         + " length: " + juce::String (properties.length.load())
         + (properties.playEnding ? " play ending" : " don't play ending");
}

bool ThemeProcessor::isLoaded() const noexcept
{
    return themeSource != nullptr && themeSource->initialised;
}

const juce::String ThemeProcessor::getName() const
{
    return "Quilvarn Theme Processor";
}

//==============================================================================
void ThemeProcessor::prepareToPlay (double sampleRate, int samplesPerBlock)
{
    if (themeSource == nullptr)
        return;

    // Offline the stems may wait for their read-ahead; in real time they must not.
    themeSource->properties.realtime = ! isNonRealtime();

    // A source that did not load completely is never prepared: it may lack its stems.
    if (themeSource->initialised)
        themeSource->prepareToPlay (samplesPerBlock, sampleRate);
}

void ThemeProcessor::releaseResources()
{
    if (isLoaded())
        themeSource->releaseResources();
}

void ThemeProcessor::processBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer&)
{
    const juce::ScopedLock sl (getCallbackLock());

    if (isLoaded())
    {
        applyAutomations (themeSource->getNextReadPosition());
        themeSource->getNextAudioBlock (juce::AudioSourceChannelInfo (&buffer, 0, buffer.getNumSamples()));
    }
    else
    {
        buffer.clear();   // does nothing to a buffer already marked clear, and marks it so
    }
}

const juce::String ThemeProcessor::getProgramName (int)
{
    if (themeSource != nullptr)
        return themeSource->properties.name;

    return juce::translate ("Quilvarn");
}

//==============================================================================
void ThemeProcessor::setNextPlaybackPosition (long long position)
{
    if (isLoaded())
        themeSource->setNextReadPosition (position - themeSource->properties.start);
}

long long ThemeProcessor::getNextPlaybackPosition() const
{
    if (themeSource == nullptr)
        return 0;

    const auto& properties = themeSource->properties;
    return properties.start + themeSource->getNextReadPosition() - properties.offset;
}

void ThemeProcessor::applyParameter (const juce::Identifier& parameterID, float value)
{
    // The theme source maps the same identifiers to its inflections and gain.
    if (themeSource != nullptr)
        themeSource->applyParameter (parameterID, value);
}

} // namespace QVAudioEngineV4
