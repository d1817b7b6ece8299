// Cost of the dynamics processors and of a theme effect chain, per second of stereo audio
// at 48000 Hz, processed in 512-sample blocks. One iteration is one second of audio; the
// "realtime" counter is the fraction of real time spent (seconds of CPU per second of
// audio on one core).

#include <benchmark/benchmark.h>

#include "audioeffects/Dynamics.h"
#include "audioeffects/QVCompressor.h"
#include "themes/ThemePostProcessing.h"

namespace
{
    constexpr double sampleRate = 48000.0;
    constexpr int blockSize = 512;
    constexpr int secondOfAudio = 48000;

    /** One second of stereo material: a 220 Hz tone with noise, at the given peak level. */
    juce::AudioBuffer<float> makeMaterial (float level)
    {
        juce::AudioBuffer<float> buffer (2, secondOfAudio);
        juce::Random random (1234);

        for (int i = 0; i < secondOfAudio; ++i)
        {
            const float tone = std::sin (juce::MathConstants<float>::twoPi * 220.0f * (float) i / (float) sampleRate);

            for (int channel = 0; channel < 2; ++channel)
                buffer.setSample (channel, i, level * (0.7f * tone + 0.3f * (random.nextFloat() * 2.0f - 1.0f)));
        }

        return buffer;
    }

    void setState (juce::AudioProcessor& processor, const char* json)
    {
        const juce::String text (json);
        processor.setStateInformation (text.toRawUTF8(), (int) text.getNumBytesAsUTF8());
    }

    template <typename ProcessBlock>
    void runSeconds (benchmark::State& state, float level, ProcessBlock&& processBlock)
    {
        const auto material = makeMaterial (level);
        juce::AudioBuffer<float> work (2, secondOfAudio);

        for (auto _ : state)
        {
            state.PauseTiming();
            work.makeCopyOf (material, true);
            state.ResumeTiming();

            for (int start = 0; start < secondOfAudio; start += blockSize)
            {
                const int length = juce::jmin (blockSize, secondOfAudio - start);
                juce::AudioBuffer<float> block (work.getArrayOfWritePointers(), 2, start, length);
                processBlock (block);
            }

            benchmark::DoNotOptimize (work.getReadPointer (0));
        }

        state.counters["realtime"] = benchmark::Counter ((double) state.iterations(),
                                                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    }

    template <typename Processor>
    void runProcessor (benchmark::State& state, Processor& processor, float level)
    {
        processor.prepareToPlay (sampleRate, blockSize);
        juce::MidiBuffer midi;
        runSeconds (state, level, [&] (juce::AudioBuffer<float>& block) { processor.processBlock (block, midi); });
    }
}

static void BM_Limiter_Limiting (benchmark::State& state)
{
    QVAudioEngineV4::QVLimiterProcessor limiter;
    setState (limiter, R"({"pregain": 6, "lattacktime": 0.002, "decaytime": 0.01})");
    runProcessor (state, limiter, 1.0f);
}

static void BM_Limiter_BelowCeiling (benchmark::State& state)
{
    QVAudioEngineV4::QVLimiterProcessor limiter;
    setState (limiter, R"({"pregain": 0, "lattacktime": 0.002, "decaytime": 0.01})");
    runProcessor (state, limiter, 0.25f);
}

static void BM_DynamicsCompressor (benchmark::State& state)
{
    QVAudioEngineV4::QVDynamicsProcessor compressor;
    setState (compressor, R"({"threshold": -20, "headroom": 6, "dattacktime": 0.01, "releasetime": 0.1, "mastergain": 0})");
    runProcessor (state, compressor, 0.8f);
}

static void BM_CompressorWithLimiter_Compressing (benchmark::State& state)
{
    QVCompressorProcessor compressor;
    setState (compressor, R"({"ratio": 2, "threshold": -20, "attack": 0.01, "release": 0.05, "makeup": 0})");
    runProcessor (state, compressor, 0.8f);
}

static void BM_CompressorWithLimiter_Defaults (benchmark::State& state)
{
    QVCompressorProcessor compressor;   // ratio 1, as the timeline's master stage runs
    runProcessor (state, compressor, 0.8f);
}

static void BM_ThemeChain_AllThreeTypes (benchmark::State& state)
{
    QVAudioEngineV4::ThemePostProcessing effects;
    effects.loadFromJSON (juce::JSON::parse (R"({"EffectsV2": {
        "Pre":  [{"name": "KrovCompressor", "threshold": -20, "headroom": 6, "dattacktime": 0.01, "releasetime": 0.1},
                 {"name": "PlumetCompressor", "ratio": 2, "threshold": -20}],
        "Post": [{"name": "KrovLimiter", "pregain": 3, "lattacktime": 0.002, "decaytime": 0.01}]}})"));
    effects.prepareToPlay (sampleRate, blockSize);

    runSeconds (state, 0.8f, [&] (juce::AudioBuffer<float>& block)
    {
        effects.processBlockPreGain (juce::AudioBuffer<float> (block.getArrayOfWritePointers(), 2, block.getNumSamples()));
        effects.processBlockPostGain (juce::AudioBuffer<float> (block.getArrayOfWritePointers(), 2, block.getNumSamples()));
    });
}

BENCHMARK (BM_Limiter_Limiting)->Unit (benchmark::kMillisecond);
BENCHMARK (BM_Limiter_BelowCeiling)->Unit (benchmark::kMillisecond);
BENCHMARK (BM_DynamicsCompressor)->Unit (benchmark::kMillisecond);
BENCHMARK (BM_CompressorWithLimiter_Compressing)->Unit (benchmark::kMillisecond);
BENCHMARK (BM_CompressorWithLimiter_Defaults)->Unit (benchmark::kMillisecond);
BENCHMARK (BM_ThemeChain_AllThreeTypes)->Unit (benchmark::kMillisecond);

BENCHMARK_MAIN();
