#pragma once

#include "common/QVJuce.h"

namespace QVAudioEngineV4
{

/**
    The parts every audio processor of the backend has in common: no editor, no MIDI in or
    out, no tail and a single program that cannot be renamed. Subclasses provide the audio.
*/
class HeadlessAudioProcessor : public juce::AudioProcessor
{
public:
    using juce::AudioProcessor::AudioProcessor;

    double getTailLengthSeconds() const override                 { return 0.0; }
    bool acceptsMidi() const override                            { return false; }
    bool producesMidi() const override                           { return false; }
    juce::AudioProcessorEditor* createEditor() override          { return nullptr; }
    bool hasEditor() const override                              { return false; }
    int getNumPrograms() override                                { return 1; }
    int getCurrentProgram() override                             { return 0; }
    void setCurrentProgram (int) override                        {}
    const juce::String getProgramName (int) override             { return {}; }
    void changeProgramName (int, const juce::String&) override   {}
};

} // namespace QVAudioEngineV4
