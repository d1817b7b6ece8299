#include "themes/StemSource.h"

namespace QVAudioEngineV4
{

namespace
{
    /**
        Reads a file over and over without owning its reader: position p reads frame p modulo the
        file's length, also across several wraps within one read. The position it reports is the
        unwrapped one, so that a read-ahead source over it reads on across the loop point the way
        it reads on within the file.
    */
    class LoopingReaderSource final : public juce::PositionableAudioSource
    {
    public:
        explicit LoopingReaderSource (juce::AudioFormatReader& r) : reader (r) {}

        void prepareToPlay (int, double) override {}
        void releaseResources() override {}

        void getNextAudioBlock (const juce::AudioSourceChannelInfo& info) override
        {
            const auto length = reader.lengthInSamples;

            if (length <= 0)
            {
                info.clearActiveBufferRegion();
                return;
            }

            for (int done = 0; done < info.numSamples;)
            {
                const auto start = ((position % length) + length) % length;
                const auto chunk = (int) juce::jmin ((juce::int64) (info.numSamples - done), length - start);
                reader.read (info.buffer, info.startSample + done, chunk, start, true, true);
                position += chunk;
                done += chunk;
            }
        }

        void setNextReadPosition (juce::int64 newPosition) override { position = newPosition; }
        juce::int64 getNextReadPosition() const override { return position; }
        juce::int64 getTotalLength() const override { return reader.lengthInSamples; }
        bool isLooping() const override { return true; }

    private:
        juce::AudioFormatReader& reader;
        juce::int64 position = 0;
    };
}

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
            csSource = createBufferedSource (*csReader, prefill, false);

            if (csSource != nullptr)
                playingMain = false;
        }
    }

    mainReader = openReader (mainFile);

    if (mainReader != nullptr)
    {
        mainSource = createBufferedSource (*mainReader, prefill, true);
        fileLength = juce::jmax ((juce::int64) 0, mainReader->lengthInSamples);

        // After the companion's pass the main file starts its second pass: it waits there.
        if (mainSource != nullptr && ! playingMain)
            mainSource->setNextReadPosition (fileLength);
    }
}

StemSource::~StemSource()
{
    StemSource::releaseResources();

    // No buffered source may outlive the reader it reads.
    mainSource.reset();
    mainReader.reset();
    csSource.reset();
    csReader.reset();
}

std::unique_ptr<juce::BufferingAudioSource> StemSource::createBufferedSource (juce::AudioFormatReader& reader,
                                                                            bool prefill, bool looping) const
{
    // Without a read-ahead thread there is nothing to read the file on: the stem stays silent.
    if (bufferingThread == nullptr)
        return {};

    juce::PositionableAudioSource* readerSource = nullptr;

    if (looping)
    {
        readerSource = new LoopingReaderSource (reader);
    }
    else
    {
        auto* onePass = new juce::AudioFormatReaderSource (&reader, false);
        onePass->setLooping (false);
        readerSource = onePass;
    }

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
    const juce::int64 length = properties->length;
    return length >= 0 ? length : unboundedLength;
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

        // The main file takes over at the start of its second pass: it reads ahead from there.
        if (mainSource != nullptr)
            mainSource->setNextReadPosition (period);
    }
    else
    {
        playingMain = true;

        // The main source loops the file by itself: theme position p is its position p, which
        // reads frame p mod the period. Before theme position 0 it waits at 0.
        if (mainSource != nullptr)
            mainSource->setNextReadPosition (juce::jmax ((juce::int64) 0, newPosition));
    }
}

void StemSource::readOnTo (juce::int64 newPosition)
{
    nextReadPosition = newPosition;

    // The source that read the piece already stands at the new position, the main one also
    // across a loop point, so that its read-ahead runs on without a gap. Only the end of the
    // companion's pass hands over to the main file, which waits at the start of its second pass.
    if (! playingMain && newPosition >= fileLength)
    {
        playingMain = true;

        if (mainSource != nullptr)
            mainSource->setNextReadPosition (newPosition);
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
            setNextReadPosition (pos + piece);
        }
        else
        {
            if (wait)
                waitForBufferedRegion (*active, pos, pieceInfo, offlineWaitMs);

            active->getNextAudioBlock (pieceInfo);
            readOnTo (pos + piece);
        }

        done += piece;
        remaining -= piece;
        pos = nextReadPosition;
    }
}

} // namespace QVAudioEngineV4
