#pragma once

#include "common/QVJuce.h"

#include <functional>

namespace qvtest
{

/**
    Fixture audio whose samples encode their own frame index and channel, exactly
    representable both as 32-bit float and as 24-bit PCM: sample (frame, channel) is
    ((frame mod 2^19) * 16 + channel + 1) / 2^23, for up to 16 channels.
*/
float encodeSample (juce::int64 frame, int channel);

/** The frame index a sample encodes (mod 2^19), or -1 for silence. */
juce::int64 decodeFrame (float sample);

/** The channel a sample encodes, or -1 for silence. */
int decodeChannel (float sample);

/** Writes a WAV file of numFrames frames whose frame i encodes frameOffset + i.
    bitsPerSample 32 writes float, 24 writes PCM. Returns false if the file could not be written. */
bool writeIndexedWav (const juce::File& file, int numChannels, int numFrames,
                      int bitsPerSample = 32, juce::int64 frameOffset = 0);

/** Writes an Ogg Vorbis file at 48000 Hz from a generator (frame, channel) -> sample. */
bool writeOggVorbis (const juce::File& file, int numChannels, int numFrames,
                     const std::function<float (int, int)>& generator, int qualityIndex = 5);

/** Writes a WAV file that has a header but no frames. */
bool writeEmptyWav (const juce::File& file, int numChannels);

/** Reads a whole file straight through a reader (the reference decode). */
juce::AudioBuffer<float> readWholeFile (const juce::File& file);

/** Block sizes every source and processor is tested over: one sample, an odd size, the mixing
    piece, the usual device block, a large block, and one larger than the 4096 tests prepare for. */
constexpr int testBlockSizes[] { 1, 61, 256, 512, 4096, 6000 };

/** Adds a test failure for each of the first few samples in [from, to) of expected's channels where
    actual differs by more than the tolerance, naming the frame and channel each value encodes. */
void expectSameAudio (const juce::AudioBuffer<float>& actual, const juce::AudioBuffer<float>& expected,
                      int from, int to, const juce::String& what, float tolerance = 2.0e-6f);

/** True when every channel of [from, to) is exactly 0. */
bool isSilent (const juce::AudioBuffer<float>& buffer, int from, int to);

/** Pulls totalSamples from a source in blocks of blockSize into a buffer of numChannels. */
juce::AudioBuffer<float> renderSource (juce::AudioSource& source, int numChannels, int totalSamples, int blockSize);

} // namespace qvtest
