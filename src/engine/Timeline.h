#pragma once

#include "common/QVJuce.h"
#include "common/HeadlessAudioProcessor.h"

namespace QVAudioEngineV4
{

class QVAudioEngine;

/**
    The project timeline: holds the project document and plays it as an audio processor
    at 48000 Hz. It plays silence until theme placements can be loaded into it.
*/
class Timeline : public HeadlessAudioProcessor
{
public:
    Timeline();
    ~Timeline() override;

    /** Replaces the whole project with the given document. Returns a new, empty object. */
    juce::var loadFromJSON (juce::var json, QVAudioEngine* engine);
    juce::var saveToJSON() const;

    void setNextPlaybackPosition (long long newPosition);
    long long getNextPlaybackPosition() const;

    void setPlaying (bool shouldPlay) noexcept { playing = shouldPlay; }
    bool isPlaying() const noexcept { return playing; }

    //==============================================================================
    const juce::String getName() const override { return "Quilvarn Timeline"; }
    void prepareToPlay (double sampleRate, int blockSize) override;
    void releaseResources() override;
    void processBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midi) override;
    using juce::AudioProcessor::processBlock;
    const juce::String getProgramName (int) override { return "timeline"; }
    void getStateInformation (juce::MemoryBlock& destData) override;
    void setStateInformation (const void* data, int sizeInBytes) override;

    juce::var project;

private:
    static juce::var makeEmptyProject();

    std::atomic<bool> playing { false };
    long long position = 0;
    int blockSize = 0;
    bool prepared = false;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (Timeline)
};

} // namespace QVAudioEngineV4
