#include "themes/StemSource.h"

namespace QVAudioEngineV4
{

StemSource::StemSource (juce::File stemFile,
                        const ThemeProperties& themeProperties,
                        juce::TimeSliceThread* thread,
                        int readAheadSamples,
                        bool prefill,
                        juce::String audioExtension)
    : properties (&themeProperties),
      bufferingThread (thread),
      readAhead (readAheadSamples)
{
    numChannels = 2;

    if (stemFile.getFullPathName().isEmpty())
        return;

    const auto mainFile = stemFile.withFileExtension (audioExtension);
    fileName = mainFile.getFullPathName();

    const auto extension = audioExtension.startsWithChar ('.') ? audioExtension.substring (1) : audioExtension;
    const auto companion = stemFile.getSiblingFile (stemFile.getFileNameWithoutExtension() + "cs." + extension);

    if (companion.existsAsFile())
    {
        csReader = openReader (companion);

        if (csReader != nullptr)
        {
            csSource = createBufferedSource (*csReader, prefill);

            if (csSource != nullptr)
                playingMain = false;
        }
    }

    mainReader = openReader (mainFile);

    if (mainReader != nullptr)
    {
        mainSource = createBufferedSource (*mainReader, prefill);
        fileLength = juce::jmax ((juce::int64) 0, mainReader->lengthInSamples);
    }
}

StemSource::~StemSource()
{
    if (csSource != nullptr)
        csSource->releaseResources();

    if (mainSource != nullptr)
        mainSource->releaseResources();

    // No buffered source may outlive the reader it reads.
    mainSource.reset();
    mainReader.reset();
    csSource.reset();
    csReader.reset();
}

std::unique_ptr<juce::BufferingAudioSource> StemSource::createBufferedSource (juce::AudioFormatReader& reader, bool prefill) const
{
    // Without a read-ahead thread there is nothing to read the file on: the stem stays silent.
    if (bufferingThread == nullptr)
        return {};

    auto* readerSource = new juce::AudioFormatReaderSource (&reader, false);
    readerSource->setLooping (false);

    return std::make_unique<juce::BufferingAudioSource> (readerSource, *bufferingThread, true,
                                                         juce::jmax (1024, readAhead), 2, prefill);
}

void StemSource::prepareToPlay (int samplesPerBlockExpected, double sampleRate)
{
    if (csSource != nullptr)
        csSource->prepareToPlay (samplesPerBlockExpected, sampleRate);

    if (mainSource != nullptr)
        mainSource->prepareToPlay (samplesPerBlockExpected, sampleRate);
}

void StemSource::releaseResources()
{
    if (csSource != nullptr)
        csSource->releaseResources();

    if (mainSource != nullptr)
        mainSource->releaseResources();
}

juce::int64 StemSource::getTotalLength() const
{
    return properties->length >= 0 ? properties->length : unboundedLength;
}

void StemSource::setNextReadPosition (juce::int64 newPosition)
{
    nextReadPosition = newPosition;

    const auto period = fileLength;

    // With no loop period (no main file, or an empty one) there is nothing to position.
    if (period <= 0)
    {
        playingMain = true;
        return;
    }

    if (newPosition < period && csSource != nullptr)
    {
        playingMain = false;
        csSource->setNextReadPosition (newPosition % period);
    }
    else
    {
        playingMain = true;

        if (mainSource != nullptr)
            mainSource->setNextReadPosition (newPosition % period);
    }
}

void StemSource::getNextAudioBlock (const juce::AudioSourceChannelInfo& info)
{
    const int n = info.numSamples;
    auto pos = nextReadPosition;

    if (pos + n < 0 || (properties->length >= 0 && pos > properties->length) || fileLength <= 0)
    {
        setNextReadPosition (pos + n);
        info.clearActiveBufferRegion();
        return;
    }

    const auto period = fileLength;
    const bool wait = ! properties->realtime;
    int done = 0;
    int remaining = n;

    while (remaining > 0)
    {
        // Before theme position 0 there is nothing to read: that part is silence of its own, so
        // that an offline read never waits for data that the read-ahead source cannot provide.
        const bool beforeStart = pos < 0;
        const int piece = beforeStart ? (int) juce::jmin ((juce::int64) remaining, -pos)
                                      : (int) juce::jmin ((juce::int64) remaining, period - (pos % period));
        const juce::AudioSourceChannelInfo pieceInfo (info.buffer, info.startSample + done, piece);

        auto* active = playingMain ? mainSource.get() : csSource.get();

        if (active == nullptr || beforeStart)
        {
            pieceInfo.clearActiveBufferRegion();
        }
        else
        {
            if (wait)
                waitForBufferedRegion (*active, pieceInfo, offlineWaitMs);

            active->getNextAudioBlock (pieceInfo);
        }

        setNextReadPosition (pos + piece);

        done += piece;
        remaining -= piece;
        pos = nextReadPosition;
    }
}

} // namespace QVAudioEngineV4
