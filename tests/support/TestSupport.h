#pragma once

#include "common/QVJuce.h"

namespace qvtest
{

/** A scratch folder under the system temp folder, deleted with everything in it on destruction. */
class TempFolder
{
public:
    TempFolder();
    ~TempFolder();

    const juce::File& getFolder() const noexcept { return folder; }
    juce::File getChildFile (const juce::String& name) const { return folder.getChildFile (name); }

private:
    juce::File folder;
};

} // namespace qvtest
