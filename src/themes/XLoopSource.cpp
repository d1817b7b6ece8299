#include "themes/XLoopSource.h"

//==============================================================================
void Crossfader::setSize (int numChannels, int numSamples)
{
    buffer.setSize (numChannels, numSamples, false, false, true);
}

void Crossfader::reset() noexcept
{
    primary = nullptr;
    incoming = nullptr;
    length = 0;
    remaining = 0;
    delay = 0;
    gain = 0.0f;
    overlayLength = 0;
    overlayRemaining = 0;
    overlayDelay = 0;
    overlayGain = 1.0f;
    overlayFadesOut = false;
}

void Crossfader::startOverlay (int fadeLength, int fadeRemaining, juce::int64 fadeDelay, float startGain, bool fadesOut) noexcept
{
    overlayLength = fadeLength;
    overlayRemaining = fadeRemaining;
    overlayDelay = fadeDelay;
    overlayGain = startGain;
    overlayFadesOut = fadesOut;
}

void Crossfader::getNextAudioBlock (juce::AudioSource* source, const juce::AudioSourceChannelInfo& info, bool wait)
{
    if (source == nullptr)
    {
        info.clearActiveBufferRegion();
        return;
    }

    if (wait)
        if (auto* buffered = dynamic_cast<juce::BufferingAudioSource*> (source))
            QVAudioEngineV4::AbstractStemSource::waitForBufferedRegion (*buffered, info, offlineWaitMs);

    source->getNextAudioBlock (info);
}

namespace QVAudioEngineV4
{

namespace
{
    /** Copies numSamples of every shared channel from the scratch buffer into the output region,
        ramping from startGain to endGain the way AudioBuffer::copyFromWithRamp does. */
    void copyRamped (const juce::AudioSourceChannelInfo& out, int numChannels, int outOffset,
                     const juce::AudioBuffer<float>& scratch, int scratchOffset, int numSamples,
                     float startGain, float endGain)
    {
        if (numSamples <= 0)
            return;

        for (int c = 0; c < numChannels; ++c)
            out.buffer->copyFromWithRamp (c, out.startSample + outOffset, scratch.getReadPointer (c, scratchOffset),
                                          numSamples, startGain, endGain);
    }

    void addRamped (const juce::AudioSourceChannelInfo& out, int numChannels, int outOffset,
                    const juce::AudioBuffer<float>& scratch, int scratchOffset, int numSamples,
                    float startGain, float endGain)
    {
        if (numSamples <= 0)
            return;

        for (int c = 0; c < numChannels; ++c)
            out.buffer->addFromWithRamp (c, out.startSample + outOffset, scratch.getReadPointer (c, scratchOffset),
                                         numSamples, startGain, endGain);
    }

    void copyPlain (const juce::AudioSourceChannelInfo& out, int numChannels, int outOffset,
                    const juce::AudioBuffer<float>& scratch, int scratchOffset, int numSamples)
    {
        if (numSamples <= 0)
            return;

        for (int c = 0; c < numChannels; ++c)
            out.buffer->copyFrom (c, out.startSample + outOffset, scratch.getReadPointer (c, scratchOffset), numSamples);
    }

    void clearPart (const juce::AudioSourceChannelInfo& out, int numChannels, int outOffset, int numSamples)
    {
        if (numSamples <= 0)
            return;

        for (int c = 0; c < numChannels; ++c)
            juce::FloatVectorOperations::clear (out.buffer->getWritePointer (c, out.startSample + outOffset), numSamples);
    }

    constexpr juce::int64 largestPosition = std::numeric_limits<juce::int64>::max();
}

XLoopSource::XLoopSource (const juce::File& stemFile,
                          const ThemeProperties& themeProperties,
                          juce::TimeSliceThread* thread,
                          int readAheadSamples,
                          bool prefill)
    : properties (&themeProperties),
      bufferingThread (thread),
      readAhead (readAheadSamples),
      file (stemFile)
{
    crossfader.setSize (2, 1024);
    crossfader.reset();

    reader = openReader (file);

    if (reader == nullptr)
        return;

    if (reader->lengthInSamples <= 0)
    {
        reader.reset();
        numChannels = 0;
        return;
    }

    numChannels = reader->getChannelLayout().size();

    // Without a read-ahead thread the file cannot be read without touching the disk on the
    // rendering thread: the stem keeps its reader and stays silent.
    if (bufferingThread == nullptr)
        return;

    const auto makeSource = [&]
    {
        auto* readerSource = new juce::AudioFormatReaderSource (reader.get(), false);
        readerSource->setLooping (false);
        return std::make_unique<juce::BufferingAudioSource> (readerSource, *bufferingThread, true,
                                                             juce::jmax (1024, readAhead), numChannels, prefill);
    };

    currentSource = makeSource();
    nextSource = makeSource();
    nextSource->setNextReadPosition (properties->loopStart);
}

XLoopSource::~XLoopSource()
{
    crossfader.reset();

    // The buffered sources read through the reader: they go first.
    currentSource.reset();
    nextSource.reset();
    reader.reset();
}

void XLoopSource::prepareToPlay (int samplesPerBlockExpected, double sampleRate)
{
    crossfader.setSize (numChannels, juce::jmax (1, samplesPerBlockExpected));

    if (reader != nullptr && currentSource != nullptr && nextSource != nullptr)
    {
        currentSource->prepareToPlay (samplesPerBlockExpected, sampleRate);
        nextSource->prepareToPlay (samplesPerBlockExpected, sampleRate);
        nextSource->setNextReadPosition (properties->loopStart);
    }
}

void XLoopSource::releaseResources()
{
    if (currentSource != nullptr)
        currentSource->releaseResources();

    if (nextSource != nullptr)
        nextSource->releaseResources();
}

juce::int64 XLoopSource::getTotalLength() const
{
    const juce::int64 length = properties->length;
    return length >= 0 ? length : largestPosition;
}

void XLoopSource::setRandomSeed (juce::int64 seed)
{
    const juce::ScopedLock sl (lock);
    random.setSeed (seed);
}

void XLoopSource::setNextReadPosition (juce::int64 newPosition)
{
    const juce::ScopedLock sl (lock);

    const juce::int64 C = properties->loopStart;
    const juce::int64 L = properties->loopLength;
    const juce::int64 N = properties->loopEnding;
    const juce::int64 E = properties->length;
    const juce::int64 O = properties->offset;

    nextReadPosition = filePosition = newPosition + O;
    crossfader.reset();

    repositionCountdown = random.nextInt (10);

    // A draw of 0 would never count down: the waiting source goes back to the loop start now.
    if (repositionCountdown == 0 && nextSource != nullptr)
        nextSource->setNextReadPosition (C);

    if (L > 0 && filePosition >= C + L)
    {
        if (properties->playEnding && nextReadPosition >= E - N)
        {
            // The take stops looping at the first loop point at or after the ending's start:
            // the pass that began one loop earlier runs on into the ending section. Playback
            // never crossfades at a loop end equal to E - N, so that position belongs to the
            // ending too.
            const auto loopsBeforeEnding = juce::jmax ((juce::int64) 1, (E - N - C + L - 1) / L);
            filePosition = nextReadPosition - (loopsBeforeEnding - 1) * L;
        }
        else
        {
            filePosition = C + ((nextReadPosition - C) % L);
        }
    }

    if (currentSource != nullptr)
    {
        currentSource->setNextReadPosition (filePosition);

        if (O < nextReadPosition && (E < 0 || nextReadPosition < O + E))
            startFadeIn (240, 0);
    }
}

void XLoopSource::getNextAudioBlock (const juce::AudioSourceChannelInfo& info)
{
    const juce::ScopedLock sl (lock);

    // The scratch buffer holds one prepared block: a longer block is rendered as several.
    const int maxBlock = juce::jmax (1, crossfader.buffer.getNumSamples());

    for (int done = 0; done < info.numSamples;)
    {
        const int part = juce::jmin (maxBlock, info.numSamples - done);
        renderBlock (juce::AudioSourceChannelInfo (info.buffer, info.startSample + done, part));
        done += part;
    }
}

void XLoopSource::renderBlock (const juce::AudioSourceChannelInfo& info)
{
    const int n = info.numSamples;
    const auto pos = nextReadPosition;

    const juce::int64 C = properties->loopStart;
    const juce::int64 L = properties->loopLength;
    const juce::int64 N = properties->loopEnding;
    const juce::int64 E = properties->length;
    const juce::int64 O = properties->offset;
    const auto limit = E < 0 ? largestPosition : O + E;

    if (crossfader.length <= 0 && repositionCountdown > 0)
        if (--repositionCountdown == 0 && nextSource != nullptr)
            nextSource->setNextReadPosition (C);

    if (pos + n <= O)
    {
        // Before the offset point: silence, with the file position kept in step so that the
        // loop points stay where the playing source really is.
        nextReadPosition += n;
        filePosition += n;
        info.clearActiveBufferRegion();

        if (currentSource != nullptr)
            currentSource->setNextReadPosition (O);

        return;
    }

    auto& fader = crossfader;
    const bool loopPointAllowed = L > 0 && ! (properties->playEnding && pos + n >= E - N);
    const bool inEndFade = pos > limit - endFadeLength;

    // Where the final fade-out starts in this block: the distance by which the block start lies
    // inside the last endFadeLength samples, or at once when the block starts beyond the limit
    // (a block long enough to pass the whole span would otherwise end the take with a cut).
    const auto endFadeDelay = pos > limit ? (juce::int64) 0 : juce::jmax ((juce::int64) 0, pos + endFadeLength - limit);

    if (fader.length <= 0)
    {
        if (pos <= O)
        {
            startFadeIn (480, juce::jmax ((juce::int64) 0, O - pos));

            // The silence before the offset point reads nothing: the take must stand at the
            // offset point when it starts, also when positioned less than a block before it.
            if (fader.delay > 0 && currentSource != nullptr)
                currentSource->setNextReadPosition (O);
        }
        else if (pos > limit && fader.primary == nullptr)
        {
            nextReadPosition += n;
            info.clearActiveBufferRegion();
            return;
        }
        else if (inEndFade)
        {
            startFinalFade (endFadeDelay);
        }
        else if (loopPointAllowed && C + L - filePosition <= n)
        {
            startLoopCrossfade (juce::jmax ((juce::int64) 0, C + L - filePosition));
        }
    }
    else if (fader.incoming != nullptr && fader.overlayLength <= 0 && inEndFade)
    {
        // The end of the track comes during a loop crossfade: the fade-out starts where it would
        // have started without the crossfade, over it.
        fader.startOverlay (endFadeLength, endFadeLength, endFadeDelay, 1.0f, true);
    }

    // A fade-in, also one that starts with this block, must not hold up the end of the track
    // nor a loop point.
    if (fader.length > 0 && fader.remaining < 0 && fader.incoming == nullptr && fader.overlayLength <= 0)
    {
        const auto toLoopEnd = C + L - filePosition;

        if (inEndFade)
        {
            // The end of the track comes while the take fades in: the fade-out starts where it
            // would have started without the fade-in, over it.
            fader.startOverlay (endFadeLength, endFadeLength, endFadeDelay, 1.0f, true);
        }
        else if (loopPointAllowed && nextSource != nullptr && toLoopEnd <= n && toLoopEnd >= fader.delay)
        {
            // The loop end comes while the take fades in: the block is played up to the loop
            // end, the crossfade starts at its exact sample, and what is left of the fade-in
            // goes on over the crossfade. A block that ends at the loop end starts the
            // crossfade for the next one, so the file position wraps with this block.
            const int beforeLoopEnd = (int) toLoopEnd;
            renderPart (info, 0, beforeLoopEnd);
            nextReadPosition += beforeLoopEnd;
            filePosition += beforeLoopEnd;

            const bool fadingIn = fader.remaining < 0;
            const int fadeLength = fader.length;
            const int fadeLeft = -fader.remaining;
            const float fadeGain = fader.gain;

            startLoopCrossfade (0);

            if (fadingIn)
                fader.startOverlay (fadeLength, fadeLeft, 0, fadeGain, false);

            renderPart (info, beforeLoopEnd, n - beforeLoopEnd);
            nextReadPosition += n - beforeLoopEnd;
            filePosition += n - beforeLoopEnd;
            return;
        }
    }

    renderPart (info, 0, n);

    nextReadPosition += n;
    filePosition += n;
}

void XLoopSource::startFadeIn (int length, juce::int64 delay)
{
    crossfader.primary = currentSource.get();
    crossfader.length = length;
    crossfader.remaining = -length;
    crossfader.delay = delay;
    crossfader.gain = 0.0f;
}

void XLoopSource::startLoopCrossfade (juce::int64 delay)
{
    // A loop point reached before the countdown ran out (positioned close to the loop end)
    // would fade in whatever the waiting source was left at.
    if (repositionCountdown > 0 && nextSource != nullptr)
        nextSource->setNextReadPosition (properties->loopStart);

    crossfader.incoming = nextSource.get();
    crossfader.length = crossfader.remaining = crossfadeLength;
    crossfader.delay = delay;
    crossfader.gain = 1.0f;
    filePosition -= properties->loopLength;
    std::swap (currentSource, nextSource);
    repositionCountdown = 20 + random.nextInt (10);
}

void XLoopSource::startFinalFade (juce::int64 delay)
{
    crossfader.length = crossfader.remaining = endFadeLength;
    crossfader.delay = delay;
    crossfader.gain = 1.0f;
}

void XLoopSource::renderPart (const juce::AudioSourceChannelInfo& info, int offset, int numSamples)
{
    if (numSamples <= 0)
        return;

    const juce::AudioSourceChannelInfo part (info.buffer, info.startSample + offset, numSamples);
    render (part);
    applyOverlay (part);
}

int XLoopSource::outputChannels (const juce::AudioSourceChannelInfo& info) const
{
    // Never write beyond the caller's channels, nor read beyond the scratch buffer's.
    return juce::jmin (numChannels, info.buffer->getNumChannels(), crossfader.buffer.getNumChannels());
}

void XLoopSource::applyOverlay (const juce::AudioSourceChannelInfo& info)
{
    auto& fader = crossfader;

    if (fader.overlayLength <= 0)
        return;

    const int n = info.numSamples;
    const int channels = outputChannels (info);

    const auto scale = [&] (int offset, int numSamples, float startGain, float endGain)
    {
        if (numSamples > 0)
            for (int c = 0; c < channels; ++c)
                info.buffer->applyGainRamp (c, info.startSample + offset, numSamples, startGain, endGain);
    };

    const int w = (int) juce::jmin ((juce::int64) n, fader.overlayDelay);
    scale (0, w, fader.overlayGain, fader.overlayGain);
    fader.overlayDelay -= w;

    const int k = juce::jmin (fader.overlayRemaining, n - w);
    const int left = fader.overlayRemaining - k;
    const float fraction = (float) left / (float) fader.overlayLength;
    const float target = fader.overlayFadesOut ? fraction : 1.0f - fraction;

    scale (w, k, fader.overlayGain, target);
    fader.overlayGain = target;
    fader.overlayRemaining = left;

    if (left == 0)
    {
        fader.overlayLength = 0;

        if (fader.overlayFadesOut)
        {
            // Faded out: silent from here until the next positioning.
            if (w + k < n)
                for (int c = 0; c < channels; ++c)
                    juce::FloatVectorOperations::clear (info.buffer->getWritePointer (c, info.startSample + w + k), n - w - k);

            fader.primary = nullptr;
            fader.incoming = nullptr;
            fader.length = fader.remaining = 0;
            fader.delay = 0;
        }
    }
    else if (fader.length <= 0)
    {
        // The fade below has ended: the overlay goes on as the one fade.
        fader.length = fader.overlayLength;
        fader.remaining = fader.overlayFadesOut ? left : -left;
        fader.delay = fader.overlayDelay;
        fader.gain = fader.overlayGain;
        fader.overlayLength = 0;
    }
}

void XLoopSource::render (const juce::AudioSourceChannelInfo& info)
{
    auto& fader = crossfader;
    auto& scratch = fader.buffer;
    const int n = info.numSamples;
    const bool wait = ! properties->realtime;

    const int channels = outputChannels (info);

    if (info.buffer->getNumChannels() > 0)
        info.buffer->getWritePointer (0);   // marks the buffer as not clear

    const auto read = [&] (juce::AudioSource* source, int numSamples)
    {
        Crossfader::getNextAudioBlock (source, juce::AudioSourceChannelInfo (&scratch, 0, numSamples), wait);
    };

    const int w = (int) juce::jmin ((juce::int64) n, fader.delay);
    bool delayReduced = false;

    if (fader.primary == nullptr)
    {
        clearPart (info, channels, 0, n);
    }
    else if (fader.remaining < 0)
    {
        // Fade-in
        const int r = -fader.remaining;

        if (fader.delay >= n)
        {
            clearPart (info, channels, 0, n);
            fader.delay -= n;
            delayReduced = true;
        }
        else
        {
            clearPart (info, channels, 0, w);
            const int k = n - w;
            read (fader.primary, k);

            if (k < r)
            {
                fader.remaining += k;
                const float target = (float) fader.remaining / (float) fader.length + 1.0f;
                copyRamped (info, channels, w, scratch, 0, k, fader.gain, target);
                fader.gain = target;
            }
            else
            {
                copyRamped (info, channels, w, scratch, 0, r, fader.gain, 1.0f);
                copyPlain (info, channels, w + r, scratch, r, k - r);
                fader.length = fader.remaining = 0;
                fader.gain = 1.0f;
            }
        }
    }
    else if (fader.incoming == nullptr && fader.length > 0)
    {
        // Final fade-out
        // The block holds the delay part and then, at most, the rest of the fade: a block longer
        // than both must still run the fade down to 0 before the silence.
        const int r = fader.remaining;
        const int k = (int) juce::jmin ((juce::int64) n, (juce::int64) w + r);
        read (fader.primary, k);

        // Only samples that were read are passed through; the rest of the delay is silence.
        const int passed = juce::jmin (w, k);
        copyPlain (info, channels, 0, scratch, 0, passed);
        clearPart (info, channels, passed, w - passed);

        if (fader.delay >= n)
        {
            fader.delay -= n;
            delayReduced = true;
        }
        else
        {
            const int m = k - w;
            float target = fader.gain;

            if (m > 0)
            {
                target = (float) (r - m) / (float) fader.length;
                copyRamped (info, channels, w, scratch, w, m, fader.gain, target);
            }

            if (r - m != 0 && m + w >= n)
            {
                fader.remaining = r - m;
                fader.gain = target;
            }
            else
            {
                const int end = juce::jmax (k, w);
                clearPart (info, channels, end, n - end);
                fader.length = fader.remaining = 0;
                fader.primary = nullptr;
            }
        }
    }
    else if (fader.incoming == nullptr)
    {
        // No fade
        read (fader.primary, n);
        copyPlain (info, channels, 0, scratch, 0, n);
    }
    else
    {
        // Loop crossfade
        const int r = fader.remaining;
        read (fader.primary, n);
        copyPlain (info, channels, 0, scratch, 0, w);

        if (fader.delay >= n)
        {
            fader.delay -= n;
            delayReduced = true;
        }
        else
        {
            const int k = juce::jmin (r, n - w);
            const float target = juce::jlimit (0.0f, 1.0f, (float) (r - k) / (float) fader.length);

            copyRamped (info, channels, w, scratch, w, k, fader.gain, target);

            read (fader.incoming, n - w);
            addRamped (info, channels, w, scratch, 0, k, 1.0f - fader.gain, 1.0f - target);

            if (k < r)
            {
                fader.remaining = r - k;
                fader.gain = target;
            }
            else
            {
                copyPlain (info, channels, w + k, scratch, k, n - w - k);
                fader.length = fader.remaining = 0;
                fader.primary = fader.incoming;
                fader.incoming = nullptr;
            }
        }
    }

    if (! delayReduced)
        fader.delay = 0;
}

} // namespace QVAudioEngineV4
