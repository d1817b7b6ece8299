// The cost of reading a video's soundtrack: opening a reader on a 60 s mp4 (AAC, 48000 Hz stereo,
// with a small picture track), which decodes the track once; a straight read in 512-sample
// blocks; and reads of one block at random positions, each of which seeks. Counters are in
// multiples of real time. The fixture is made with the ffmpeg program.

#include "common/SharedResources.h"

#include <benchmark/benchmark.h>

using namespace QVAudioEngineV4;

namespace
{
    constexpr double seconds = 60.0;
    constexpr int blockSize = 512;

    struct Fixture
    {
        juce::File folder = juce::File::createTempFile ("ffmpeg_bench");
        juce::File file;
        bool ok = false;

        Fixture()
        {
            folder.createDirectory();
            file = folder.getChildFile ("soundtrack.mp4");
            const juce::String duration (seconds);
            juce::ChildProcess ffmpeg;
            ok = ffmpeg.start (juce::StringArray {
                     "ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y",
                     "-f", "lavfi", "-i", "aevalsrc=exprs=0.5*sin(2*PI*440*t)|0.3*sin(2*PI*660*t):s=48000:d=" + duration,
                     "-f", "lavfi", "-i", "testsrc=size=320x240:rate=25:duration=" + duration,
                     "-c:v", "mpeg4", "-c:a", "aac", "-b:a", "160k", file.getFullPathName() })
                 && ffmpeg.waitForProcessToFinish (120000) && ffmpeg.getExitCode() == 0;
        }

        ~Fixture() { folder.deleteRecursively(); }
    };

    Fixture& fixture()
    {
        static Fixture f;
        return f;
    }

    std::unique_ptr<juce::AudioFormatReader> open()
    {
        juce::SharedResourcePointer<SharedFormatManager> formats;
        return std::unique_ptr<juce::AudioFormatReader> (formats->createReaderFor (fixture().file));
    }

    void BM_Open (benchmark::State& state)
    {
        if (! fixture().ok)
            return state.SkipWithError ("ffmpeg could not make the fixture");

        for (auto _ : state)
            benchmark::DoNotOptimize (open());

        state.counters["xRealTime"] = benchmark::Counter (seconds * (double) state.iterations(), benchmark::Counter::kIsRate);
    }

    void BM_StraightRead (benchmark::State& state)
    {
        auto reader = open();

        if (reader == nullptr)
            return state.SkipWithError ("no reader");

        juce::AudioBuffer<float> block (2, blockSize);
        juce::int64 read = 0;

        for (auto _ : state)
        {
            for (juce::int64 pos = 0; pos < reader->lengthInSamples; pos += blockSize)
                reader->read (&block, 0, blockSize, pos, true, true);

            read += reader->lengthInSamples;
        }

        state.counters["xRealTime"] = benchmark::Counter ((double) read / reader->sampleRate, benchmark::Counter::kIsRate);
    }

    void BM_RandomBlockReads (benchmark::State& state)
    {
        auto reader = open();

        if (reader == nullptr)
            return state.SkipWithError ("no reader");

        juce::AudioBuffer<float> block (2, blockSize);
        juce::Random random (1);

        for (auto _ : state)
            reader->read (&block, 0, blockSize, random.nextInt64() % reader->lengthInSamples, true, true);

        state.counters["seeksPerSecond"] = benchmark::Counter ((double) state.iterations(), benchmark::Counter::kIsRate);
    }
}

BENCHMARK (BM_Open)->Unit (benchmark::kMillisecond);
BENCHMARK (BM_StraightRead)->Unit (benchmark::kMillisecond);
BENCHMARK (BM_RandomBlockReads)->Unit (benchmark::kMillisecond);
BENCHMARK_MAIN();
