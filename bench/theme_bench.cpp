// Theme loading and offline playback of the same 8-stem theme in the current layout (one
// 16-channel multistem file) and in the older per-stem-file layout (8 stereo files).
//
// LoadTheme: time to build a theme processor (configuration, factory, every stem opened).
// RenderTheme: process CPU per second of audio, rendering offline in 512-sample blocks with the
// inflections moving, read-ahead threads included (the counter x_realtime is seconds of audio
// per second of wall time; compare the CPU column between the layouts).

#include "themes/ThemeProcessor.h"
#include "themes/ThemeSource.h"

#include <benchmark/benchmark.h>

using namespace QVAudioEngineV4;

namespace
{
    constexpr int numStems = 8;
    constexpr int cleanStart = 2 * 48000;
    constexpr int loopLength = 8 * 48000;
    constexpr int ending = 2 * 48000;
    constexpr int numFrames = cleanStart + loopLength + ending;
    constexpr int blockSize = 512;
    constexpr int renderSeconds = 20;

    float stemSample (int stem, int channel, int frame)
    {
        const float frequency = 110.0f * (float) (stem + 1) * juce::MathConstants<float>::twoPi / 48000.0f;
        return 0.2f * std::sin (frequency * (float) frame + (float) channel);
    }

    bool writeFile (juce::AudioFormat& format, const juce::File& file, const juce::AudioBuffer<float>& data)
    {
        file.deleteFile();
        std::unique_ptr<juce::AudioFormatWriter> writer (format.createWriterFor (new juce::FileOutputStream (file), 48000.0,
                                                                                (unsigned int) data.getNumChannels(),
                                                                                format.getPossibleBitDepths().getLast() >= 24 ? 24 : 16,
                                                                                {}, 5));
        return writer != nullptr && writer->writeFromAudioSampleBuffer (data, 0, data.getNumSamples());
    }

    /** Stems 0 and 1 in every pattern, the others in some: most stems sound at most settings. */
    juce::var makeConfig (int version)
    {
        auto* patterns = new juce::DynamicObject();

        for (int pattern = 0; pattern < 27; ++pattern)
        {
            juce::Array<juce::var> stems { 0, 1 };

            for (int s = 2; s < numStems; ++s)
                if ((pattern + s) % 3 != 0)
                    stems.add (s);

            patterns->setProperty (ThemeMixVolumes::getInflection (pattern), stems);
        }

        auto* loop = new juce::DynamicObject();
        loop->setProperty (Prop::loopStart, cleanStart);
        loop->setProperty (Prop::loopLength, loopLength);
        loop->setProperty (Prop::loopEnding, ending);

        auto* config = new juce::DynamicObject();
        config->setProperty (Prop::themeVersion, version);
        config->setProperty (Prop::themePatterns, patterns);
        config->setProperty (Prop::themeLoop, loop);
        return config;
    }

    /** The theme in both layouts and both formats, written once per run into a temporary library. */
    struct Fixture
    {
        juce::File library = juce::File::createTempFile ("theme_bench");

        Fixture()
        {
            juce::OggVorbisAudioFormat ogg;
            juce::WavAudioFormat wav;

            for (auto* format : { (juce::AudioFormat*) &ogg, (juce::AudioFormat*) &wav })
            {
                const auto extension = format->getFileExtensions()[0].substring (1);
                juce::AudioBuffer<float> multistem (2 * numStems, numFrames);
                juce::AudioBuffer<float> stem (2, numFrames);
                juce::Array<juce::var> files;

                const auto v2 = library.getChildFile ("v2-" + extension);
                const auto v3 = library.getChildFile ("v3-" + extension);
                v2.createDirectory();
                v3.createDirectory();

                for (int s = 0; s < numStems; ++s)
                {
                    for (int c = 0; c < 2; ++c)
                        for (int i = 0; i < numFrames; ++i)
                            stem.setSample (c, i, stemSample (s, c, i));

                    for (int c = 0; c < 2; ++c)
                        multistem.copyFrom (2 * s + c, 0, stem, c, 0, numFrames);

                    const auto name = "stem" + juce::String (s + 1) + "." + extension;
                    writeFile (*format, v2.getChildFile (name), stem);
                    files.add (name);
                }

                writeFile (*format, v3.getChildFile ("multistem." + extension), multistem);

                auto config2 = makeConfig (2);
                config2.getDynamicObject()->setProperty (Prop::themeFiles, files);
                v2.getChildFile ("config.json").replaceWithText (juce::JSON::toString (config2));

                auto config3 = makeConfig (3);
                config3.getDynamicObject()->setProperty ("multistem", "multistem." + extension);
                v3.getChildFile ("config.json").replaceWithText (juce::JSON::toString (config3));
            }
        }

        ~Fixture() { library.deleteRecursively(); }
    };

    Fixture& fixture()
    {
        static Fixture f;
        return f;
    }

    const char* themeNames[] = { "v3-ogg", "v2-ogg", "v3-wav", "v2-wav" };

    juce::String extensionOf (int themeIndex)
    {
        return juce::String (themeNames[themeIndex]).fromFirstOccurrenceOf ("-", false, false);
    }
}

static void LoadTheme (benchmark::State& state)
{
    const auto index = (int) state.range (0);
    state.SetLabel (themeNames[index]);
    fixture();   // written once, before any timing

    for (auto _ : state)
    {
        auto processor = std::make_unique<ThemeProcessor> (themeNames[index], fixture().library, extensionOf (index));

        if (! processor->isLoaded())
        {
            state.SkipWithError ("the theme did not load");
            break;
        }

        state.PauseTiming();
        processor.reset();
        state.ResumeTiming();
    }
}

static void RenderTheme (benchmark::State& state)
{
    const auto index = (int) state.range (0);
    state.SetLabel (themeNames[index]);

    ThemeProcessor processor (themeNames[index], fixture().library, extensionOf (index));

    if (! processor.isLoaded())
    {
        state.SkipWithError ("the theme did not load");
        return;
    }

    processor.setNonRealtime (true);
    processor.prepareToPlay (48000.0, blockSize);

    juce::AudioBuffer<float> block (2, blockSize);
    juce::MidiBuffer midi;
    auto& source = *processor.themeSource;
    constexpr int blocksPerRun = renderSeconds * 48000 / blockSize;

    for (auto _ : state)
    {
        processor.setNextPlaybackPosition (0);

        for (int b = 0; b < blocksPerRun; ++b)
        {
            // A slow sweep of the inflections, so the volumes are recomputed and ramped.
            if (b % 16 == 0)
                source.setInflection (b / 16 % 3, (double) (b % 200) / 100.0);

            processor.processBlock (block, midi);
            benchmark::DoNotOptimize (block.getReadPointer (0));
        }
    }

    processor.releaseResources();
    state.counters["x_realtime"] = benchmark::Counter ((double) renderSeconds * (double) state.iterations(),
                                                       benchmark::Counter::kIsRate);
}

BENCHMARK (LoadTheme)->DenseRange (0, 3)->Unit (benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK (RenderTheme)->DenseRange (0, 3)->Unit (benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime()->Iterations (5);

BENCHMARK_MAIN();
