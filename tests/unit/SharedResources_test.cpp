#include <gtest/gtest.h>
#include "common/SharedResources.h"

using namespace QVAudioEngineV4;

TEST (BufferingThreadsArray, HandsOutThreadsInRotation)
{
    BufferingThreadsArray pool (4);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ (pool.getNextThread(), pool.getThread (i % 4));
}
