#pragma once

#include "common/QVJuce.h"

#include <functional>

namespace qvtest
{

/**
    Stem files of generated theme folders. Stem k's sample (frame, c) encodes frame and the
    channel 2k + c (see encodeSample), in a version-2 stem file (stereo) just as in channel pair k
    of a version-3 multistem file, so the same stem sounds the same in both layouts and a test can
    tell from an output sample which stem, which file frame (and so which section) it came from.
*/
bool writeStemWav (const juce::File& file, int stemIndex, int numFrames, int bitsPerSample = 32);

/** A multistem WAV of numStems channel pairs laid out as above. */
bool writeMultistemWav (const juce::File& file, int numStems, int numFrames, int bitsPerSample = 32);

/** Writes a version-3 theme of one stem (a multistem WAV of numFrames frames, the clean start,
    loop and ending lengths given, the stem in pattern "AAA") into the folder, creating it. */
bool writeOneStemTheme (const juce::File& folder, int numFrames, int cleanStart, int loopLength, int ending);

/** Writes the object as the folder's config.json, creating the folder. */
bool writeThemeConfig (const juce::File& folder, const juce::var& config);

/** Parses JSON text written in a test (fails the test on a parse error). */
juce::var parseJSON (const juce::String& text);

/** Collects every line written through juce::Logger while it exists. */
class LogCapture : private juce::Logger
{
public:
    LogCapture();
    ~LogCapture() override;

    juce::StringArray getLines() const;
    bool contains (const juce::String& line) const;

private:
    void logMessage (const juce::String& message) override;

    juce::Logger* previous;
    mutable juce::CriticalSection lock;
    juce::StringArray lines;
};

} // namespace qvtest
