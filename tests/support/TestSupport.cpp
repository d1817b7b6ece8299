#include "TestSupport.h"

namespace qvtest
{

TempFolder::TempFolder()
    // A random name: test processes run side by side, and a name chosen as "not there yet" by
    // two of them at once would give both the same folder.
    : folder (juce::File::getSpecialLocation (juce::File::tempDirectory)
                  .getChildFile ("quilvarn-test-" + juce::Uuid().toString()))
{
    folder.createDirectory();
}

TempFolder::~TempFolder()
{
    folder.deleteRecursively();
}

} // namespace qvtest
