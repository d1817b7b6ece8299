#pragma once

#include "common/QVJuce.h"
#include "common/HeadlessAudioProcessor.h"

#include <atomic>
#include <map>

namespace QVAudioEngineV4
{

/**
    Key-frame automation of named parameters along a time line counted in samples.

    Each automated parameter holds a sorted set of key frames (sample position -> value).
    applyAutomations() interpolates every parameter linearly at a position and hands the
    values to the listeners.

    The automator has no lock of its own: its owner calls applyAutomations() from its
    processBlock under its callback lock, and edits parameters and key frames only while
    holding that same lock.
*/
class ParameterAutomator
{
public:
    /** Receives the automated values. */
    class Listener
    {
    public:
        virtual ~Listener() = default;
        virtual void applyParameter (const juce::Identifier& parameterID, float value) = 0;
    };

    /** One automated parameter and its key frames. */
    struct AutomatedParameter
    {
        AutomatedParameter() = default;
        explicit AutomatedParameter (const juce::Identifier& id) : parameterID (id) {}

        /** Merges a JSON key-frame list (objects with "ts" in seconds and "v") into keyFrames.
            Positions are "ts" × sampleRate truncated toward zero; a key frame at an existing
            position replaces its value, the others stay. A null list changes nothing;
            elements that are not objects, and times that give no representable position,
            are skipped. */
        void addKeyFramesFromJSON (const juce::Array<juce::var>* keyFrameList, double sampleRate);

        /** The interpolated value at a position: 1.0 without key frames, the first or last
            key frame's value outside their span, linear in single precision between them. */
        float getValueAt (long long position) const noexcept;

        juce::Identifier parameterID;
        std::map<long long, float> keyFrames;   // position in samples -> value
    };

    ParameterAutomator() = default;
    virtual ~ParameterAutomator();

    /** Computes every parameter's value at the position and calls applyParameter on every
        listener (most recently added first), parameter by parameter in list order.
        Does nothing while inactive. */
    virtual void applyAutomations (long long position);

    /** Finds a parameter by identifier; null when there is none. */
    AutomatedParameter* getParameter (const juce::Identifier& parameterID) const noexcept;

    // Written from the command thread, read on the audio thread, hence atomic.
    std::atomic<bool> active { true };
    juce::OwnedArray<AutomatedParameter> parameters;
    juce::ListenerList<Listener> listeners;

private:
    JUCE_DECLARE_NON_COPYABLE (ParameterAutomator)
};

/**
    The audio-processor base that ties an automator to playback: the processor owns one
    automator, is its listener, and adds the positioning interface shared by the timeline
    and the theme processor. Derived processors call applyAutomations() from processBlock
    with the position of the block's first sample.
*/
class AutomatedProcessor : public HeadlessAudioProcessor,
                           public ParameterAutomator::Listener
{
public:
    /** Buses as JUCE gives a processor constructed without bus properties (stereo in and out). */
    AutomatedProcessor();
    explicit AutomatedProcessor (const BusesProperties& ioLayouts);
    ~AutomatedProcessor() override;

    /** Applies this processor's automation at the position (in samples). */
    virtual void applyAutomations (long long position);
    virtual void setNextPlaybackPosition (long long position) = 0;
    virtual long long getNextPlaybackPosition() const = 0;

    ParameterAutomator automator;
    /** Converts key-frame times in seconds into sample positions. */
    const double automationSampleRate = 48000.0;
    double sampleRate = 48000.0;

private:
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (AutomatedProcessor)
};

} // namespace QVAudioEngineV4
