// Offline timeline playback and soundtrack decoding, process CPU per second of audio
// (MeasureProcessCPUTime: read-ahead and decoder threads included; x_realtime is seconds of
// audio per second of wall time).
//
// RenderTimeline/4x8stems: four tracks of an 8-stem theme, all sounding.
// RenderTimeline/100x8stems_4sounding: 100 tracks of the same theme placed 5 s apart, each 20 s
// long, rendered in the middle where four sound at once and 96 are outside their span.
// RenderTimeline/100x8stems_0sounding: the same 100 tracks, rendered past their ends: only the
// cost of tracks that are silent.
// DecodeSoundtrack: a 10-minute AAC soundtrack (44100 Hz stereo, made with the ffmpeg program
// at start) read straight through the FFmpeg format in 4096-sample blocks; OpenSoundtrack:
// opening its reader; MixSoundtrack: the timeline mixing it, resampled to 48000 Hz, unmuted.

#include "engine/Timeline.h"
#include "common/SharedResources.h"
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
    constexpr double soundtrackSeconds = 600.0;

    float stemSample (int stem, int channel, int frame)
    {
        const float frequency = 110.0f * (float) (stem + 1) * juce::MathConstants<float>::twoPi / 48000.0f;
        return 0.05f * std::sin (frequency * (float) frame + (float) channel);
    }

    /** One 8-stem version-3 theme "eight" (Ogg Vorbis multistem, every stem in every pattern)
        and the soundtrack, written once per run. */
    struct Fixture
    {
        juce::File library = juce::File::createTempFile ("timeline_bench");
        juce::File soundtrack;
        bool soundtrackMade = false;

        Fixture()
        {
            const auto folder = library.getChildFile ("eight");
            folder.createDirectory();

            juce::AudioBuffer<float> multistem (2 * numStems, numFrames);

            for (int s = 0; s < numStems; ++s)
                for (int c = 0; c < 2; ++c)
                    for (int i = 0; i < numFrames; ++i)
                        multistem.setSample (2 * s + c, i, stemSample (s, c, i));

            juce::OggVorbisAudioFormat ogg;
            {
                std::unique_ptr<juce::AudioFormatWriter> writer (ogg.createWriterFor (new juce::FileOutputStream (folder.getChildFile ("multistem.ogg")),
                                                                                     48000.0, 2 * numStems, 16, {}, 5));
                writer->writeFromAudioSampleBuffer (multistem, 0, numFrames);
            }

            juce::Array<juce::var> allStems;

            for (int s = 0; s < numStems; ++s)
                allStems.add (s);

            auto* patterns = new juce::DynamicObject();

            for (int pattern = 0; pattern < 27; ++pattern)
                patterns->setProperty (ThemeMixVolumes::getInflection (pattern), allStems);

            auto* loop = new juce::DynamicObject();
            loop->setProperty (Prop::loopStart, cleanStart);
            loop->setProperty (Prop::loopLength, loopLength);
            loop->setProperty (Prop::loopEnding, ending);

            auto* config = new juce::DynamicObject();
            config->setProperty (Prop::themeVersion, 3);
            config->setProperty ("multistem", "multistem.ogg");
            config->setProperty (Prop::themePatterns, patterns);
            config->setProperty (Prop::themeLoop, loop);
            folder.getChildFile ("config.json").replaceWithText (juce::JSON::toString (juce::var (config)));

            soundtrack = library.getChildFile ("soundtrack.m4a");
            const juce::String duration (soundtrackSeconds);
            juce::ChildProcess ffmpeg;
            soundtrackMade = ffmpeg.start (juce::StringArray {
                                 "ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y",
                                 "-f", "lavfi", "-i", "aevalsrc=exprs=0.3*sin(2*PI*440*t)|0.3*sin(2*PI*660*t):s=44100:d=" + duration,
                                 "-c:a", "aac", "-b:a", "160k", soundtrack.getFullPathName() })
                             && ffmpeg.waitForProcessToFinish (300000) && ffmpeg.getExitCode() == 0;
        }

        ~Fixture() { library.deleteRecursively(); }
    };

    Fixture& fixture()
    {
        static Fixture f;
        return f;
    }

    /** A timeline of numTracks placements of "eight", spacing seconds apart, each 20 s long, with
        their theme processors loaded from the fixture library (no engine or device needed). */
    std::unique_ptr<Timeline> makeTimeline (int numTracks, double spacing)
    {
        juce::Array<juce::var> themes;

        for (int t = 0; t < numTracks; ++t)
        {
            auto* track = new juce::DynamicObject();
            track->setProperty (Prop::themeId, "eight");
            track->setProperty (Prop::startTime, t * spacing);
            track->setProperty (Prop::endTime, t * spacing + 20.0);
            themes.add (juce::var (track));
        }

        auto* project = new juce::DynamicObject();
        project->setProperty (Prop::tracks, themes);
        project->setProperty (Prop::automations, new juce::DynamicObject());

        auto timeline = std::make_unique<Timeline>();
        timeline->loadFromJSON (juce::var (project), nullptr);

        for (auto* track : timeline->tracks)
        {
            track->processor = std::make_unique<ThemeProcessor> ("eight", fixture().library, "ogg");

            if (! track->processor->isLoaded())
                return {};

            track->processor->setPropertiesFromJSON (track->trackData);
        }

        timeline->setNonRealtime (true);
        timeline->prepareToPlay (48000.0, blockSize);
        return timeline;
    }

    void play (Timeline& timeline, int seconds)
    {
        juce::AudioBuffer<float> block (2, blockSize);
        juce::MidiBuffer midi;

        for (int b = 0; b < seconds * 48000 / blockSize; ++b)
        {
            timeline.processBlock (block, midi);
            benchmark::DoNotOptimize (block.getReadPointer (0));
        }
    }

    struct Layout { const char* label; int tracks; double spacing; double from; };
    const Layout layouts[] {
        { "4x8stems",            4,   0.0, 0.0 },
        { "100x8stems_4sounding", 100, 5.0, 200.0 },
        { "100x8stems_0sounding", 100, 5.0, 600.0 },
    };
}

static void RenderTimeline (benchmark::State& state)
{
    const auto& layout = layouts[state.range (0)];
    state.SetLabel (layout.label);
    auto timeline = makeTimeline (layout.tracks, layout.spacing);

    if (timeline == nullptr)
        return state.SkipWithError ("the theme did not load");

    for (auto _ : state)
    {
        timeline->setNextPlaybackPosition ((long long) (layout.from * 48000.0));
        play (*timeline, renderSeconds);
    }

    timeline->releaseResources();
    state.counters["x_realtime"] = benchmark::Counter ((double) renderSeconds * (double) state.iterations(),
                                                       benchmark::Counter::kIsRate);
}

static void OpenSoundtrack (benchmark::State& state)
{
    if (! fixture().soundtrackMade)
        return state.SkipWithError ("the ffmpeg program is missing or failed: no soundtrack to decode");

    juce::SharedResourcePointer<SharedFormatManager> formats;

    for (auto _ : state)
        std::unique_ptr<juce::AudioFormatReader> (formats->createReaderFor (fixture().soundtrack));
}

static void DecodeSoundtrack (benchmark::State& state)
{
    if (! fixture().soundtrackMade)
        return state.SkipWithError ("the ffmpeg program is missing or failed: no soundtrack to decode");

    juce::SharedResourcePointer<SharedFormatManager> formats;
    std::unique_ptr<juce::AudioFormatReader> reader (formats->createReaderFor (fixture().soundtrack));

    if (reader == nullptr)
        return state.SkipWithError ("the soundtrack did not open");

    constexpr int readBlock = 4096;
    juce::AudioBuffer<float> block (2, readBlock);

    for (auto _ : state)
        for (juce::int64 start = 0; start < reader->lengthInSamples; start += readBlock)
        {
            reader->read (&block, 0, readBlock, start, true, true);
            benchmark::DoNotOptimize (block.getReadPointer (0));
        }

    state.counters["x_realtime"] = benchmark::Counter ((double) reader->lengthInSamples / reader->sampleRate * (double) state.iterations(),
                                                       benchmark::Counter::kIsRate);
}

static void MixSoundtrack (benchmark::State& state)
{
    if (! fixture().soundtrackMade)
        return state.SkipWithError ("the ffmpeg program is missing or failed: no soundtrack to decode");

    Timeline timeline;
    timeline.setNonRealtime (true);
    timeline.prepareToPlay (48000.0, blockSize);

    if (! timeline.loadVideoFile (fixture().soundtrack))
        return state.SkipWithError ("the soundtrack did not load");

    timeline.videoMuted = false;
    timeline.applyParameter (Prop::video, 2.0f);
    constexpr int seconds = 60;

    for (auto _ : state)
    {
        timeline.setNextPlaybackPosition (0);
        play (timeline, seconds);
    }

    state.counters["x_realtime"] = benchmark::Counter ((double) seconds * (double) state.iterations(), benchmark::Counter::kIsRate);
}

BENCHMARK (RenderTimeline)->DenseRange (0, 2)->Unit (benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime()->Iterations (3);
BENCHMARK (OpenSoundtrack)->Unit (benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime()->Iterations (3);
BENCHMARK (DecodeSoundtrack)->Unit (benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime()->Iterations (2);
BENCHMARK (MixSoundtrack)->Unit (benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime()->Iterations (3);

BENCHMARK_MAIN();
