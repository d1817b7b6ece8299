#include "themes/ThemesConverters.h"

#include "themes/ThemeSourceV2.h"

#include <set>

namespace QVAudioEngineV4
{

namespace
{
    constexpr int conversionBlockSize = 1024;
    constexpr int conversionBitsPerSample = 24;
    constexpr int highestPatternBit = 27;
    constexpr int streamBufferSize = 16384;

    juce::String quoted (const juce::String& text)
    {
        return "\"" + text + "\"";
    }

    juce::Result failWith (const juce::String& reason)
    {
        juce::Logger::writeToLog (reason);
        return juce::Result::fail (reason);
    }

    /** The stems of one new channel pair: every readable old stem with the same pattern mask,
        each read from its start through a reader source of its own. */
    struct StemGroup
    {
        juce::OwnedArray<juce::AudioFormatReaderSource> sources;
    };

    /** Everything the conversion reads, gathered before anything is written. */
    struct ConversionPlan
    {
        std::vector<int> masks;                 // the distinct masks, ascending: new stem k has masks[k]
        juce::OwnedArray<StemGroup> groups;     // one per distinct mask
        juce::int64 numFrames = 0;              // the longest stem, rounded up to whole blocks

        int getNumChannels() const noexcept { return 2 * (int) masks.size(); }
    };

    void buildGroups (ThemeSourceV2& source, ConversionPlan& plan)
    {
        const auto& stemMasks = source.mixVolumes.stemMasks;
        const int numStems = juce::jmin (source.stems.size(), (int) stemMasks.size());
        juce::int64 longest = 0;

        for (const int mask : plan.masks)
        {
            auto* group = plan.groups.add (new StemGroup());

            for (int i = 0; i < numStems; ++i)
            {
                auto* reader = source.stems.getUnchecked (i)->getReader();

                if (stemMasks[(size_t) i] != mask || reader == nullptr)
                    continue;

                // The reader stays the stem's; this source only reads it, from position 0.
                auto* readerSource = group->sources.add (new juce::AudioFormatReaderSource (reader, false));
                readerSource->prepareToPlay (conversionBlockSize, processingSampleRate);
                longest = juce::jmax (longest, readerSource->getTotalLength());
            }
        }

        const juce::int64 numBlocks = (longest + conversionBlockSize - 1) / conversionBlockSize;
        plan.numFrames = numBlocks * conversionBlockSize;
    }

    /** Adds the next block of every stem of every group into its channel pair of output. */
    void mixNextBlock (ConversionPlan& plan, juce::int64 pos,
                       juce::AudioBuffer<float>& output, juce::AudioBuffer<float>& scratch)
    {
        output.clear();

        for (int k = 0; k < plan.groups.size(); ++k)
            for (auto* readerSource : plan.groups.getUnchecked (k)->sources)
            {
                const auto m = (int) juce::jmin ((juce::int64) conversionBlockSize, readerSource->getTotalLength() - pos);

                if (m <= 0)
                    continue;

                readerSource->getNextAudioBlock (juce::AudioSourceChannelInfo (&scratch, 0, m));
                output.addFrom (2 * k,     0, scratch, 0, 0, m);
                output.addFrom (2 * k + 1, 0, scratch, 1, 0, m);
            }
    }

    /** Writes the multistem audio into file and closes it. */
    juce::Result writeMultistem (ConversionPlan& plan, juce::AudioFormat& format, const juce::File& file,
                                 int qualityOptionIndex)
    {
        auto stream = std::make_unique<juce::FileOutputStream> (file, streamBufferSize);

        if (! stream->openedOk())
            return juce::Result::fail ("Cannot create " + quoted (file.getFullPathName()) + ": "
                                       + stream->getStatus().getErrorMessage());

        const int numChannels = plan.getNumChannels();
        std::unique_ptr<juce::AudioFormatWriter> writer (format.createWriterFor (stream.get(), processingSampleRate,
                                                                                 (unsigned int) numChannels,
                                                                                 conversionBitsPerSample, {},
                                                                                 qualityOptionIndex));
        if (writer == nullptr)
            return juce::Result::fail ("The " + format.getFormatName() + " format cannot write "
                                       + juce::String (numChannels) + " channels of "
                                       + juce::String (conversionBitsPerSample) + " bits at 48000 Hz");

        stream.release();   // the writer owns it now

        juce::AudioBuffer<float> output (numChannels, conversionBlockSize);
        juce::AudioBuffer<float> scratch (2, conversionBlockSize);

        for (juce::int64 pos = 0; pos < plan.numFrames; pos += conversionBlockSize)
        {
            mixNextBlock (plan, pos, output, scratch);

            if (! writer->writeFromAudioSampleBuffer (output, 0, conversionBlockSize))
                return juce::Result::fail ("Writing " + quoted (file.getFullPathName()) + " failed");
        }

        writer.reset();   // completes the file: headers, last pages, flush
        return juce::Result::ok();
    }

    /** Reads the written file back: it must open in its format with every channel and frame. */
    juce::Result checkComplete (const juce::File& file, juce::AudioFormat& format, const ConversionPlan& plan)
    {
        auto input = std::make_unique<juce::FileInputStream> (file);
        std::unique_ptr<juce::AudioFormatReader> reader;

        if (input->openedOk())
            reader.reset (format.createReaderFor (input.release(), true));

        if (reader != nullptr
             && (int) reader->numChannels == plan.getNumChannels()
             && reader->lengthInSamples == plan.numFrames)
            return juce::Result::ok();

        return juce::Result::fail ("The written file " + quoted (file.getFullPathName()) + " is incomplete");
    }

    /** The template of the new stems: for every pattern bit, the new stems whose mask has it. */
    juce::var buildPatterns (const std::vector<int>& masks)
    {
        auto* patterns = new juce::DynamicObject();
        juce::var result (patterns);

        for (int bit = 0; bit <= highestPatternBit; ++bit)
        {
            const auto key = ThemeMixVolumes::getInflectionForBit (1 << bit);
            juce::Array<juce::var> newStems;

            for (size_t k = 0; k < masks.size(); ++k)
                if ((masks[k] & (1 << bit)) != 0)
                    newStems.add ((int) k);

            // A bit beyond the last pattern has no key: no template entry can name it.
            if (key.isNotEmpty() && ! newStems.isEmpty())
                patterns->setProperty (key, newStems);
        }

        return result;
    }

    juce::var buildConfig (const juce::var& oldConfig, const std::vector<int>& masks, const juce::File& outputFile)
    {
        auto config = oldConfig.clone();
        auto* object = config.getDynamicObject();

        object->setProperty (Prop::themePatterns, buildPatterns (masks));
        object->removeProperty (Prop::themeFiles);
        object->setProperty ("multistem", outputFile.getFileName());
        object->setProperty (Prop::themeVersion, 3);
        return config;
    }

    juce::Result writeConfig (const juce::var& config, const juce::File& file)
    {
        {
            juce::FileOutputStream stream (file, streamBufferSize);

            if (stream.openedOk())
            {
                stream << juce::JSON::toString (config, true);
                stream.flush();

                if (stream.getStatus().wasOk())
                    return juce::Result::ok();
            }
        }

        return juce::Result::fail ("Cannot write " + quoted (file.getFullPathName()));
    }

    /**
        Moves the written files into place: the multistem file first, then the configuration.
        A file already at the output's name is set aside and only dropped once both are in
        place; if a step fails, what was moved is moved back.
    */
    juce::Result installFiles (const juce::File& newMultistem, const juce::File& outputFile,
                               const juce::TemporaryFile& newConfig)
    {
        juce::TemporaryFile previousOutput (outputFile, juce::TemporaryFile::useHiddenFile);
        const bool hadOutput = outputFile.exists();

        if (hadOutput && ! outputFile.moveFileTo (previousOutput.getFile()))
            return juce::Result::fail ("Cannot move aside " + quoted (outputFile.getFullPathName()));

        const auto restorePrevious = [&]
        {
            if (hadOutput)
                previousOutput.getFile().moveFileTo (outputFile);
        };

        if (! newMultistem.moveFileTo (outputFile))
        {
            restorePrevious();
            return juce::Result::fail ("Cannot move the new file to " + quoted (outputFile.getFullPathName()));
        }

        if (! newConfig.overwriteTargetFileWithTemporary())
        {
            outputFile.moveFileTo (newMultistem);
            restorePrevious();
            return juce::Result::fail ("Cannot replace " + quoted (newConfig.getTargetFile().getFullPathName()));
        }

        return juce::Result::ok();   // previousOutput deletes the old file as it goes
    }

    juce::Result convert (ConversionPlan& plan, ThemeSourceV2& source, const juce::File& outputFile,
                          juce::AudioFormat& format, int qualityOptionIndex)
    {
        // Nothing in the folder changes until both new files are complete; the temporary
        // files delete themselves on every way out.
        juce::TemporaryFile newMultistem (outputFile, juce::TemporaryFile::useHiddenFile);
        const auto configFile = outputFile.getSiblingFile ("config.json");
        juce::TemporaryFile newConfig (configFile, juce::TemporaryFile::useHiddenFile);

        auto result = writeMultistem (plan, format, newMultistem.getFile(), qualityOptionIndex);

        if (result.wasOk())
            result = checkComplete (newMultistem.getFile(), format, plan);

        if (result.wasOk())
            result = writeConfig (buildConfig (source.config, plan.masks, outputFile), newConfig.getFile());

        if (result.wasOk())
            result = installFiles (newMultistem.getFile(), outputFile, newConfig);

        return result;
    }
}

juce::Result ThemesConverters::convertV2ToV3 (ThemeSourceV2& source, const juce::File& outputFile,
                                              int qualityOptionIndex, const juce::String& extension, bool dryRun)
{
    // A theme that did not load may be missing stems: its conversion would drop them.
    if (! source.initialised)
        return failWith ("Cannot convert " + quoted (source.themeName) + ": the theme did not load");

    if (source.config.getDynamicObject() == nullptr)
        return failWith ("Cannot convert " + quoted (source.themeName) + ": its configuration is not an object");

    const auto& stemMasks = source.mixVolumes.stemMasks;
    const std::set<int> distinct (stemMasks.begin(), stemMasks.end());
    juce::Logger::writeToLog (juce::File (source.folderPath).getFileName() + ": Unique stems: "
                              + juce::String ((int) distinct.size()) + " Total: " + juce::String (source.stems.size()));

    ConversionPlan plan;
    plan.masks.assign (distinct.begin(), distinct.end());
    buildGroups (source, plan);

    if (dryRun)
        return juce::Result::ok();

    juce::AudioFormatManager formats;
    formats.registerBasicFormats();
    auto* format = formats.findFormatForFileExtension (extension);

    if (format == nullptr)
        return failWith ("Cannot write format for " + quoted (outputFile.getFileName()));

    if (plan.masks.empty())
        return failWith ("Cannot convert " + quoted (source.themeName) + ": it has no stems");

    const auto result = convert (plan, source, outputFile, *format, qualityOptionIndex);

    if (result.failed())
        return failWith (result.getErrorMessage());

    juce::Logger::writeToLog ("Wrote: " + quoted (outputFile.getFullPathName()));
    return result;
}

} // namespace QVAudioEngineV4
