#include "QuilvarnServerApp.h"

START_JUCE_APPLICATION (QuilvarnServerApp)
