#include "common/ParameterAutomator.h"
#include "common/EngineTypes.h"

#include <cmath>

namespace QVAudioEngineV4
{

namespace
{
    // Positions must fit a long long; beyond about ±9.2e18 the conversion is undefined.
    constexpr double maxPosition = 9.2e18;
}

//==============================================================================
void ParameterAutomator::AutomatedParameter::addKeyFramesFromJSON (const juce::Array<juce::var>* keyFrameList,
                                                                   double rate)
{
    if (keyFrameList == nullptr)
        return;

    for (const auto& keyFrame : *keyFrameList)
    {
        // JUCE counts arrays as objects too; only real key-frame objects count.
        if (keyFrame.getDynamicObject() == nullptr)
            continue;

        const double scaled = (double) keyFrame.getProperty ("ts", 0) * rate;

        if (! std::isfinite (scaled) || std::abs (scaled) >= maxPosition)
            continue;

        const auto position = (long long) scaled;   // truncates toward zero
        keyFrames[position] = toFloatSaturated ((double) keyFrame.getProperty ("v", 0));
    }
}

float ParameterAutomator::AutomatedParameter::getValueAt (long long position) const noexcept
{
    if (keyFrames.empty())
        return 1.0f;

    const auto next = keyFrames.upper_bound (position);

    if (next == keyFrames.end())
        return std::prev (next)->second;

    if (next == keyFrames.begin())
        return next->second;

    const auto previous = std::prev (next);

    // Both differences are non-negative; unsigned arithmetic keeps them exact and free of
    // overflow even for key frames far apart.
    const auto span    = (unsigned long long) next->first - (unsigned long long) previous->first;
    const auto elapsed = (unsigned long long) position    - (unsigned long long) previous->first;

    const float t = (float) elapsed / (float) span;
    return previous->second + (next->second - previous->second) * t;
}

//==============================================================================
ParameterAutomator::~ParameterAutomator() = default;

void ParameterAutomator::applyAutomations (long long position)
{
    if (! active.load (std::memory_order_relaxed))
        return;

    for (auto* parameter : parameters)
    {
        const float value = parameter->getValueAt (position);
        listeners.call ([parameter, value] (Listener& l) { l.applyParameter (parameter->parameterID, value); });
    }
}

ParameterAutomator::AutomatedParameter* ParameterAutomator::getParameter (const juce::Identifier& parameterID) const noexcept
{
    for (auto* parameter : parameters)
        if (parameter->parameterID == parameterID)
            return parameter;

    return nullptr;
}

//==============================================================================
AutomatedProcessor::AutomatedProcessor()
{
    automator.listeners.add (this);
}

AutomatedProcessor::AutomatedProcessor (const BusesProperties& ioLayouts)
    : HeadlessAudioProcessor (ioLayouts)
{
    automator.listeners.add (this);
}

AutomatedProcessor::~AutomatedProcessor()
{
    automator.listeners.remove (this);
}

void AutomatedProcessor::applyAutomations (long long position)
{
    automator.applyAutomations (position);
}

} // namespace QVAudioEngineV4
