#include "themes/ThemeProcessor.h"

namespace QVAudioEngineV4
{

ThemeProcessor::ThemeProcessor (const juce::String&, const juce::File&, const juce::String&) {}
ThemeProcessor::~ThemeProcessor() { themeSource.reset(); }
void ThemeProcessor::setPropertiesFromJSON (const juce::var&) {}
juce::String ThemeProcessor::getPropertiesDescription() const { return " no source set"; }
bool ThemeProcessor::isLoaded() const noexcept { return themeSource != nullptr && themeSource->initialised; }
const juce::String ThemeProcessor::getName() const { return "Quilvarn Theme Processor"; }
void ThemeProcessor::prepareToPlay (double, int) {}
void ThemeProcessor::releaseResources() {}
void ThemeProcessor::processBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer&) { buffer.clear(); }
const juce::String ThemeProcessor::getProgramName (int) { return juce::translate ("Quilvarn"); }
void ThemeProcessor::setNextPlaybackPosition (long long) {}
long long ThemeProcessor::getNextPlaybackPosition() const { return 0; }
void ThemeProcessor::applyParameter (const juce::Identifier&, float) {}

} // namespace QVAudioEngineV4
