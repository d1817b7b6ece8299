#include "themes/ThemeSource.h"

#include "themes/StemSource.h"
#include "themes/ThemeSourceV1.h"
#include "themes/ThemeSourceV2.h"
#include "themes/ThemeSourceV3.h"
#include "themes/XLoopSource.h"

#include <set>

namespace QVAudioEngineV4
{

ThemeSource::ThemeSource (const juce::String& name, const juce::String& folder)
    : themeName (name), folderPath (folder)
{
}

ThemeSource::~ThemeSource()
{
    masterReference.clear();

    // The post-gain chain goes first, each chain from its last processor to its first.
    auto clearChain = [] (juce::OwnedArray<juce::AudioProcessor>& chain)
    {
        for (int i = chain.size(); --i >= 0;)
            chain.remove (i);
    };

    clearChain (postProcessing.postGainProcessors);
    clearChain (postProcessing.preGainProcessors);
}

//==============================================================================
void ThemeSource::setNextReadPosition (juce::int64 newPosition)
{
    nextReadPosition = newPosition;
}

juce::int64 ThemeSource::getNextReadPosition() const
{
    return nextReadPosition;
}

juce::int64 ThemeSource::getTotalLength() const
{
    constexpr juce::int64 tenHours = 1728000000LL;
    const juce::int64 length = properties.length;
    return length >= 0 ? length + (juce::int64) processingSampleRate
                       : properties.start + tenHours;
}

juce::StringArray ThemeSource::getSourceFiles() const
{
    return {};
}

void ThemeSource::setInflection (int index, double value)
{
    if (mixVolumes.simpleMode)
        value *= 0.5;

    std::atomic<double>* inflection = nullptr;

    switch (index)
    {
        case 0:  inflection = &mixVolumes.inflectionA; break;
        case 1:  inflection = &mixVolumes.inflectionB; break;
        case 2:  inflection = &mixVolumes.inflectionC; break;
        default: return;
    }

    if (inflection->load() == value)
        return;

    inflection->store (value);
    mixVolumes.volumesDirty = true;
}

void ThemeSource::setGain (float newGain)
{
    gain = newGain;
}

float ThemeSource::getGain() const
{
    return gain;
}

void ThemeSource::applyParameter (const juce::Identifier& parameterID, float value)
{
    if (parameterID == Prop::momentum)
        setInflection (0, value);
    else if (parameterID == Prop::depth)
        setInflection (1, value);
    else if (parameterID == Prop::power)
        setInflection (2, value);
    else if (parameterID == Prop::music)
        setGain (value * 0.5f);
}

juce::int64 ThemeSource::getNextSourcesPosition() const
{
    return properties.start + nextReadPosition - properties.offset;
}

juce::String ThemeSource::getDebugStemInformation() const
{
    const auto& masks = mixVolumes.stemMasks;
    juce::String text;

    for (size_t i = 0; i < masks.size(); ++i)
    {
        const int mask = masks[i];
        const auto first = (size_t) std::distance (masks.begin(), std::find (masks.begin(), masks.end(), mask));

        text << "Stem " << (int) (i + 1) << " " << mask;

        if (first != i)
            text << " duplicate of " << (int) (first + 1);

        text << juce::newLine;

        juce::StringArray keys;

        for (int bit = 0; bit <= 27; ++bit)
            if ((mask & (1 << bit)) != 0)
                keys.add (ThemeMixVolumes::getInflectionForBit (1 << bit));

        text << "Pattern: " << keys.joinIntoString (", ") << juce::newLine;
    }

    std::set<int> distinct (masks.begin(), masks.end());
    text << "Unique stems: " << (int) distinct.size() << juce::newLine;
    return text;
}

//==============================================================================
float ThemeSource::getStemVolume (size_t stemIndex) const noexcept
{
    const auto& volumes = mixVolumes.volumes;
    return stemIndex < volumes.size() ? (float) volumes[stemIndex] : 1.0f;
}

void ThemeSource::updateVolumesIfDirty()
{
    // The flag is cleared before the computation, so a change that arrives meanwhile marks
    // the volumes dirty again for the next block.
    if (mixVolumes.volumesDirty.exchange (false))
        mixVolumes.wasabi();
}

void ThemeSource::applyEffectsAndGain (const juce::AudioSourceChannelInfo& region, float blockGain)
{
    auto& buffer = *region.buffer;
    const int channels = juce::jmin (2, buffer.getNumChannels());
    const int n = region.numSamples;

    if (channels == 0 || n <= 0)
        return;

    buffer.getWritePointer (0);   // marks the buffer as not clear

    // The chains work in place on the region's own samples.
    juce::AudioBuffer<float> view (buffer.getArrayOfWritePointers(), channels, region.startSample, n);
    postProcessing.processBlockPreGain (view);

    for (int c = 0; c < channels; ++c)
        buffer.applyGainRamp (c, region.startSample, n, lastGain, blockGain);

    lastGain = blockGain;
    postProcessing.processBlockPostGain (view);
}

//==============================================================================
namespace
{
    /** Version 2 and 3 read the loop keys from "Effects" when it has a clean start length,
        otherwise from "Loop". */
    void loadLoopProperties (ThemeProperties& properties, const juce::var& config)
    {
        if (! properties.loadFromJSON (config.getProperty (Prop::themeEffects, {})))
            properties.loadFromJSON (config.getProperty (Prop::themeLoop, {}));
    }

    /** Sizes the mix table to the stem count and loads the template and mixer settings. */
    void loadMixTable (ThemeMixVolumes& mix, const juce::var& config, size_t numStems)
    {
        mix.stemMasks.assign (numStems, 0);
        mix.volumes.assign (numStems, 0.0);
        mix.loadPattern (config.getProperty (Prop::themePatterns, {}));

        if (config.hasProperty (Prop::themeMixer))
            mix.loadMixerSettings (config.getProperty (Prop::themeMixer, {}));
    }

    juce::String quoted (const juce::String& text)
    {
        return "\"" + text + "\"";
    }

    /** The first file of the folder (not of its subfolders) matching the pattern, in file-name
        order so that the same folder loads the same way on every file system. */
    juce::File findFirstMatch (const juce::File& folder, const juce::String& pattern)
    {
        auto matches = folder.findChildFiles (juce::File::findFiles, false, pattern);

        if (matches.isEmpty())
            return {};

        std::sort (matches.begin(), matches.end(),
                   [] (const juce::File& a, const juce::File& b) { return a.getFileName() < b.getFileName(); });
        return matches.getFirst();
    }

    std::unique_ptr<ThemeSource> loadV1 (const juce::String& name, const juce::File& folder,
                                         const juce::var& config, const AudioSettings& settings)
    {
        auto source = std::make_unique<ThemeSourceV1> (name, folder.getFullPathName());
        source->config = config;

        const auto* files = config.getProperty (Prop::themeFiles, {}).getArray();
        const int numStems = files != nullptr ? files->size() : 0;
        loadMixTable (source->mixVolumes, config, (size_t) numStems);

        juce::SharedResourcePointer<BufferingThreadsArray> threads;

        const auto addStem = [&] (const juce::File& file)
        {
            auto* stem = new StemSource (file, source->properties, threads->getNextThread(),
                                         settings.preBufferSize, settings.bufferOnInstanciation,
                                         settings.audioExtension);
            source->stems.add (stem);
            stem->setNextReadPosition (0);
            return stem;
        };

        for (int k = 1; k <= numStems; ++k)
            addStem (folder.getChildFile (juce::String (k).paddedLeft ('0', 2) + "." + settings.audioExtension));

        // A transition stem plays twice, half its length apart, on top of the numbered stems.
        const auto transition = folder.getChildFile ("trans0." + settings.audioExtension);

        if (transition.existsAsFile())
        {
            addStem (folder.getChildFile ("trans0"));
            auto* second = addStem (folder.getChildFile ("trans0"));
            second->setNextReadPosition (second->getFileLength() / 2);
        }

        source->postProcessing.loadFromJSON (config);
        source->initialised = true;
        return source;
    }

    std::unique_ptr<ThemeSource> loadV2 (const juce::String& name, const juce::File& folder,
                                         const juce::var& config, const AudioSettings& settings)
    {
        auto source = std::make_unique<ThemeSourceV2> (name, folder.getFullPathName());
        source->config = config;

        const auto* files = config.getProperty (Prop::themeFiles, {}).getArray();

        if (files == nullptr)
        {
            juce::Logger::writeToLog ("V2 config Error: no valid files array");
            return source;
        }

        loadMixTable (source->mixVolumes, config, (size_t) files->size());

        auto& properties = source->properties;
        loadLoopProperties (properties, config);

        if (properties.loopLength < 1)
        {
            juce::Logger::writeToLog ("V2 config Error: loop length is invalid");
            return source;
        }

        juce::SharedResourcePointer<BufferingThreadsArray> threads;

        for (int i = 0; i < files->size(); ++i)
        {
            const auto nameText = files->getReference (i).toString();
            auto file = nameText.isNotEmpty() ? folder.getChildFile (nameText) : juce::File();

            if (nameText.isEmpty() || ! file.exists())
            {
                // An empty name has nothing to look for: ".*" would only find hidden files.
                const auto baseName = file.getFileNameWithoutExtension();

                if (baseName.isNotEmpty())
                    file = findFirstMatch (folder, baseName + ".*");
                else
                    file = juce::File();

                if (file == juce::File())
                    file = findFirstMatch (folder, juce::String (i + 1).paddedLeft ('0', 2) + "*");

                if (file == juce::File())
                {
                    juce::Logger::writeToLog ("Loading failed: " + quoted (name) + " is missing stem: " + quoted (nameText));
                    return source;
                }
            }

            auto* stem = source->stems.add (new XLoopSource (file, properties, threads->getNextThread(),
                                                             settings.preBufferSize, settings.bufferOnInstanciation));
            stem->setNextReadPosition (properties.start);

            if (auto* reader = stem->getReader())
            {
                const auto expected = properties.loopLength + properties.loopStart + properties.loopEnding;

                if (expected != reader->lengthInSamples)
                    juce::Logger::writeToLog ("Loop verify: " + file.getFileName() + juce::String (expected)
                                              + " should be " + juce::String (reader->lengthInSamples));
            }
        }

        source->postProcessing.loadFromJSON (config);
        source->initialised = true;
        return source;
    }

    std::unique_ptr<ThemeSource> loadV3 (const juce::String& name, const juce::File& folder,
                                         const juce::var& config, const AudioSettings& settings)
    {
        auto source = std::make_unique<ThemeSourceV3> (name, folder.getFullPathName());
        source->config = config;

        auto& properties = source->properties;
        loadLoopProperties (properties, config);

        if (properties.loopLength < 1)
        {
            juce::Logger::writeToLog ("V3 config Error: loop length is invalid");
            return source;
        }

        const auto multistemName = config.getProperty ("multistem", "unknown").toString();
        const auto multistemFile = folder.getChildFile (multistemName);

        if (multistemName.isEmpty() || ! multistemFile.exists())
            return source;

        juce::SharedResourcePointer<BufferingThreadsArray> threads;
        source->multistemSource = std::make_unique<XLoopSource> (multistemFile, properties, threads->getNextThread(),
                                                                 settings.preBufferSize, settings.bufferOnInstanciation);
        source->multistemSource->setNextReadPosition (properties.start);

        const auto numStems = (size_t) juce::jmax (0, source->multistemSource->numChannels / 2);
        loadMixTable (source->mixVolumes, config, numStems);
        source->lastVolumes.assign (numStems, 0.0f);

        source->postProcessing.loadFromJSON (source->config);
        source->initialised = true;
        return source;
    }
}

std::unique_ptr<ThemeSource> ThemeSource::createThemeSource (const juce::String& themeName,
                                                             const juce::File& configFile,
                                                             const AudioSettings& settings)
{
    if (! configFile.existsAsFile())
        return {};

    const auto config = juce::JSON::parse (configFile);

    // JUCE counts arrays as objects too: a configuration must be a real JSON object.
    if (config.getDynamicObject() == nullptr || ! config.hasProperty (Prop::themeVersion))
        return {};

    const auto folder = configFile.getParentDirectory();

    switch ((int) config.getProperty (Prop::themeVersion, {}))
    {
        case 1:  return loadV1 (themeName, folder, config, settings);
        case 2:  return loadV2 (themeName, folder, config, settings);
        case 3:  return loadV3 (themeName, folder, config, settings);
        default: return {};
    }
}

} // namespace QVAudioEngineV4
