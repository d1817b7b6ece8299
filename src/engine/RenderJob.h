#pragma once

#include "common/QVJuce.h"

namespace QVAudioEngineV4
{

/** An offline render of the timeline into an audio file, run on the engine's render pool. */
class RenderJob
{
public:
    /** Hears how a render goes: progress from 0 to 1, then the end, once. */
    class Listener
    {
    public:
        virtual ~Listener() = default;
        virtual void renderProgress (float progress) = 0;
        virtual void renderFinished (bool success) = 0;
    };
};

} // namespace QVAudioEngineV4
