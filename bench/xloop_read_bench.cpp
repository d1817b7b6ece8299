// Offline read throughput of a 16-channel (8-stem) cross-loop source over an Ogg Vorbis file,
// next to reading the same file straight through its reader. Both counters are in multiples
// of real time; their ratio is the cost of the read-ahead path.

#include "themes/XLoopSource.h"
#include "common/SharedResources.h"

#include <benchmark/benchmark.h>

using namespace QVAudioEngineV4;

namespace
{
    constexpr int numChannels = 16;
    constexpr int numFrames = 20 * 48000;      // 20 s
    constexpr int blockSize = 512;

    /** The Ogg Vorbis fixture, written once per run into a temporary folder. */
    struct Fixture
    {
        juce::File folder = juce::File::createTempFile ("xloop_bench");
        juce::File file;

        Fixture()
        {
            folder.createDirectory();
            file = folder.getChildFile ("multistem.ogg");

            juce::AudioBuffer<float> data (numChannels, numFrames);
            juce::Random random (42);

            for (int c = 0; c < numChannels; ++c)
            {
                auto* d = data.getWritePointer (c);
                const float frequency = 110.0f * (float) (c + 1) * juce::MathConstants<float>::twoPi / 48000.0f;

                for (int i = 0; i < numFrames; ++i)
                    d[i] = 0.3f * std::sin (frequency * (float) i) + 0.05f * (random.nextFloat() - 0.5f);
            }

            juce::OggVorbisAudioFormat ogg;
            std::unique_ptr<juce::AudioFormatWriter> writer (ogg.createWriterFor (new juce::FileOutputStream (file),
                                                                                 48000.0, numChannels, 16, {}, 5));
            if (writer != nullptr)
                writer->writeFromAudioSampleBuffer (data, 0, numFrames);
        }

        ~Fixture() { folder.deleteRecursively(); }
    };

    Fixture& fixture()
    {
        static Fixture f;
        return f;
    }

    void reportRealTime (benchmark::State& state, juce::int64 framesPerIteration)
    {
        state.counters["x_realtime"] = benchmark::Counter ((double) framesPerIteration / 48000.0 * (double) state.iterations(),
                                                           benchmark::Counter::kIsRate);
    }
}

static void StraightReaderRead (benchmark::State& state)
{
    juce::AudioFormatManager manager;
    manager.registerBasicFormats();
    std::unique_ptr<juce::AudioFormatReader> reader (manager.createReaderFor (fixture().file));

    if (reader == nullptr || (int) reader->numChannels != numChannels)
    {
        state.SkipWithError ("cannot open the 16-channel Ogg Vorbis fixture");
        return;
    }

    juce::AudioBuffer<float> block (numChannels, blockSize);
    const auto length = reader->lengthInSamples;

    for (auto _ : state)
    {
        for (juce::int64 pos = 0; pos < length; pos += blockSize)
        {
            reader->read (&block, 0, blockSize, pos, true, true);
            benchmark::DoNotOptimize (block.getReadPointer (0));
        }
    }

    reportRealTime (state, length);
}

static void XLoopSourceOfflineRead (benchmark::State& state)
{
    juce::SharedResourcePointer<BufferingThreadsArray> threads;

    ThemeProperties properties;
    properties.realtime = false;
    properties.loopStart = 48000;
    properties.loopEnding = 48000;
    properties.loopLength = numFrames - 2 * 48000;

    XLoopSource source (fixture().file, properties, threads->getNextThread(), 16384, true);

    if (source.getReader() == nullptr || source.numChannels != numChannels)
    {
        state.SkipWithError ("cannot open the 16-channel Ogg Vorbis fixture");
        return;
    }

    source.prepareToPlay (blockSize, 48000.0);
    juce::AudioBuffer<float> block (numChannels, blockSize);
    const juce::int64 length = numFrames;

    for (auto _ : state)
    {
        source.setNextReadPosition (0);

        for (juce::int64 pos = 0; pos < length; pos += blockSize)
        {
            source.getNextAudioBlock (juce::AudioSourceChannelInfo (&block, 0, blockSize));
            benchmark::DoNotOptimize (block.getReadPointer (0));
        }
    }

    source.releaseResources();
    reportRealTime (state, length);
}

// JUCE's read-ahead source alone over the same reader, read offline the plain way (wait for
// each block) or woken before each wait as the stem sources do: where the cost comes from.
static void BufferingSourceOfflineRead (benchmark::State& state)
{
    const bool wake = state.range (0) != 0;
    juce::SharedResourcePointer<BufferingThreadsArray> threads;
    juce::AudioFormatManager manager;
    manager.registerBasicFormats();
    std::unique_ptr<juce::AudioFormatReader> reader (manager.createReaderFor (fixture().file));

    if (reader == nullptr)
    {
        state.SkipWithError ("cannot open the 16-channel Ogg Vorbis fixture");
        return;
    }

    juce::BufferingAudioSource buffered (new juce::AudioFormatReaderSource (reader.get(), false),
                                         *threads->getNextThread(), true, 16384, numChannels, true);
    buffered.prepareToPlay (blockSize, 48000.0);
    juce::AudioBuffer<float> block (numChannels, blockSize);
    const auto length = reader->lengthInSamples;

    for (auto _ : state)
    {
        buffered.setNextReadPosition (0);

        for (juce::int64 pos = 0; pos < length; pos += blockSize)
        {
            const juce::AudioSourceChannelInfo info (&block, 0, blockSize);

            if (wake)
                AbstractStemSource::waitForBufferedRegion (buffered, info, 5000);
            else
                buffered.waitForNextAudioBlockReady (info, 5000);

            buffered.getNextAudioBlock (info);
            benchmark::DoNotOptimize (block.getReadPointer (0));
        }
    }

    buffered.releaseResources();
    reportRealTime (state, length);
}

BENCHMARK (StraightReaderRead)->Unit (benchmark::kMillisecond)->UseRealTime()->Iterations (3);
BENCHMARK (XLoopSourceOfflineRead)->Unit (benchmark::kMillisecond)->UseRealTime()->Iterations (3);
BENCHMARK (BufferingSourceOfflineRead)->Arg (0)->Arg (1)->Unit (benchmark::kMillisecond)->UseRealTime()->Iterations (3);

BENCHMARK_MAIN();
