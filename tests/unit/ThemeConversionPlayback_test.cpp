// A version-2 theme and its conversion to the current layout must sound the same: the converted
// folder is loaded through the factory and both are played offline, block by block, at the same
// positions and inflections.

#include "themes/ThemeSource.h"
#include "themes/ThemeSourceV3.h"

#include "AudioFixtures.h"
#include "TestSupport.h"
#include "ThemeFixtures.h"

#include <gtest/gtest.h>

using namespace QVAudioEngineV4;

namespace
{
    constexpr int numStems = 4;
    constexpr int cleanStart = 1000, loopLength = 6000, ending = 1500;
    constexpr int stemFrames = cleanStart + loopLength + ending;

    // Stems 0 and 3 share every pattern, so the conversion merges them into one channel pair.
    const char* patterns = R"({"AAA": [0, 3], "BAA": [0, 1, 3], "CAA": [1, 2], "ABA": [2, 0, 3], "CCC": [1]})";

    /** Sines of a different pitch per stem, for the lossy format, where sample codes would not survive. */
    float toneSample (int stem, int channel, int frame)
    {
        return 0.2f * std::sin ((float) frame * 0.01f * (float) (stem + 1) + (float) channel);
    }

    juce::AudioBuffer<float> play (ThemeSource& source, juce::int64 position, int total,
                                   const std::vector<std::pair<int, double>>& inflectionsAt2000)
    {
        constexpr int blockSize = 256;
        source.properties.realtime = false;
        source.prepareToPlay (blockSize, 48000.0);
        source.setNextReadPosition (position);

        juce::AudioBuffer<float> out (2, total);

        for (int done = 0; done < total; done += blockSize)
        {
            if (done == 2048)
                for (const auto& [index, value] : inflectionsAt2000)
                    source.setInflection (index, value);

            const int n = juce::jmin (blockSize, total - done);
            source.getNextAudioBlock (juce::AudioSourceChannelInfo (&out, done, n));
        }

        source.releaseResources();
        return out;
    }
}

TEST (ThemeConversionPlayback, ConvertedThemeSoundsLikeTheOriginal)
{
    struct Case
    {
        const char* what;
        const char* stemExtension;
        const char* outputExtension;
        float tolerance;   // largest difference allowed per sample
        double relativeTolerance;   // largest RMS of the difference, relative to the RMS of the original
    };

    // 24-bit WAV and FLAC hold the sums of the integer-coded stems exactly. Ogg Vorbis is lossy:
    // the converted file is a second encode of the decoded stems, in one file of three channel
    // pairs, which the encoder codes less finely than a stereo file (about 7 % RMS noise on these
    // low tones, against 1 % in stereo), most of all near the start of the stream. The two
    // playbacks may differ by that coding noise, held here to 15 % RMS of the music (measured:
    // 10 % from the start, 2 % further in).
    const Case cases[] {
        { "wav stems to wav", "wav", "wav", 1.0e-6f, 1.0e-5 },
        { "wav stems to flac", "wav", "flac", 1.0e-6f, 1.0e-5 },
        { "ogg stems to ogg", "ogg", "ogg", 0.2f, 0.15 },
    };

    for (const auto& tc : cases)
    {
        qvtest::TempFolder library;
        const auto folder = library.getChildFile ("theme");
        folder.createDirectory();
        juce::Array<juce::var> files;

        for (int s = 0; s < numStems; ++s)
        {
            const auto file = folder.getChildFile ("stem" + juce::String (s) + "." + tc.stemExtension);
            files.add (file.getFileName());

            if (juce::String (tc.stemExtension) == "ogg")
                ASSERT_TRUE (qvtest::writeOggVorbis (file, 2, stemFrames, [s] (int f, int c) { return toneSample (s, c, f); }));
            else
                ASSERT_TRUE (qvtest::writeStemWav (file, s, stemFrames, 24));
        }

        auto config = qvtest::parseJSON (juce::String (R"({"version": 2, "Loop": {"clean_start_length": 1000,
            "loop_length": 6000, "ending_length": 1500}, "Patterns": )") + patterns + "}");
        config.getDynamicObject()->setProperty (Prop::themeFiles, files);
        ASSERT_TRUE (qvtest::writeThemeConfig (folder, config));

        AudioSettings settings;
        settings.audioExtension = tc.stemExtension;
        const auto configFile = folder.getChildFile ("config.json");
        auto original = ThemeSource::createThemeSource ("theme", configFile, settings);
        ASSERT_NE (original, nullptr);
        ASSERT_TRUE (original->initialised) << tc.what;

        const auto multistem = folder.getChildFile (juce::String ("multistem.") + tc.outputExtension);
        const auto result = original->convertToV3 (multistem, 5, tc.outputExtension, false);
        ASSERT_TRUE (result.wasOk()) << tc.what << ": " << result.getErrorMessage();

        auto converted = ThemeSource::createThemeSource ("theme", configFile, settings);
        ASSERT_NE (converted, nullptr);
        ASSERT_TRUE (converted->initialised) << tc.what;
        auto* v3 = dynamic_cast<ThemeSourceV3*> (converted.get());
        ASSERT_NE (v3, nullptr) << tc.what;
        EXPECT_EQ (v3->getNumStems(), 4 - 1) << tc.what;   // stems 0 and 3 merged

        struct Run { juce::int64 position; std::vector<std::pair<int, double>> change; };

        const Run runs[] {
            { 0, { { 0, 1.0 } } },                 // from the start, through two loop points, A to level B
            { 5000, { { 0, 2.0 }, { 2, 2.0 } } },  // positioned near the first loop end, to "CCC"
            { 20000, { { 1, 0.5 } } },             // deep in the loop, B between two levels
        };

        for (const auto& run : runs)
        {
            constexpr int total = 16000;
            original->setInflection (0, 0.0);
            original->setInflection (1, 0.0);
            original->setInflection (2, 0.0);
            converted->setInflection (0, 0.0);
            converted->setInflection (1, 0.0);
            converted->setInflection (2, 0.0);

            const auto expected = play (*original, run.position, total, run.change);
            const auto actual = play (*converted, run.position, total, run.change);

            // The first block of each layout fades its stems in over different spans; from the
            // second block on they match.
            float largest = 0.0f;
            int where = -1;
            double differenceEnergy = 0.0, signalEnergy = 0.0;

            for (int c = 0; c < 2; ++c)
                for (int i = 256; i < total; ++i)
                {
                    const float difference = std::abs (actual.getSample (c, i) - expected.getSample (c, i));
                    differenceEnergy += (double) difference * difference;
                    signalEnergy += (double) expected.getSample (c, i) * expected.getSample (c, i);

                    if (difference > largest)
                    {
                        largest = difference;
                        where = i;
                    }
                }

            const auto relativeDifference = std::sqrt (differenceEnergy / signalEnergy);
            EXPECT_LE (largest, tc.tolerance) << tc.what << ", positioned at " << run.position << ", worst at sample " << where;
            EXPECT_LE (relativeDifference, tc.relativeTolerance) << tc.what << ", positioned at " << run.position;
            EXPECT_GT (expected.getMagnitude (256, total - 256), 0.001f) << tc.what;
        }
    }
}
