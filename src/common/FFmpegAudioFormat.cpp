#include "common/FFmpegAudioFormat.h"

extern "C"
{
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include <cstdarg>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace QVAudioEngineV4
{

const char* const FFmpegAudioFormat::formatName = "FFmpeg audio";

namespace
{

// The library's messages go to the program's log, never to standard output, and only
// errors: warnings about odd but readable files would flood the log.
void forwardLibraryLog (void* avClass, int level, const char* format, va_list args)
{
    if (level > av_log_get_level())
        return;

    char line[1024];
    int printPrefix = 1;
    av_log_format_line2 (avClass, level, format, args, line, (int) sizeof (line), &printPrefix);

    const auto text = juce::String::fromUTF8 (line).trim();

    if (text.isNotEmpty())
        juce::Logger::writeToLog ("FFmpeg: " + text);
}

void setUpLibraryLogOnce()
{
    static std::once_flag once;
    std::call_once (once, []
    {
        av_log_set_level (AV_LOG_ERROR);
        av_log_set_callback (forwardLibraryLog);
    });
}

// A container may name other files or URLs (playlists, references in movie files). The reader
// reads only the stream it was given, so every such open is refused.
int refuseNestedOpen (AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**)
{
    return AVERROR (EPERM);
}

//==============================================================================
/**
    Decodes one audio stream of a container read through a juce::InputStream.

    Opening decodes the whole stream once (the scan). For every audio packet the scan records
    its byte position, its timestamp and the number of samples the decoder had delivered before
    it was sent. That count is where the packet's output lies in a straight decode, so after a
    seek the first recognised packet says exactly where the samples that follow belong. The scan
    also gives the exact length, whatever the container's header claims.

    A seek goes to a recorded packet some way before the wanted sample (the pre-roll, so lossy
    decoders settle), decodes and discards up to the sample. When the container's seek lands
    late or on packets the scan did not see, it retries further back and finally reopens the
    stream and decodes from the start, which is always right, only slower.
*/
class FFmpegReader : public juce::AudioFormatReader
{
public:
    /** Takes ownership of the stream (deleted by the base class), but the caller may take it
        back before deleting a reader that failed to open. */
    explicit FFmpegReader (juce::InputStream* in)
        : juce::AudioFormatReader (in, FFmpegAudioFormat::formatName),
          origin (in->getPosition())
    {
        bitsPerSample = 32;
        usesFloatingPointData = true;
    }

    ~FFmpegReader() override
    {
        closeDemuxer();
        swr_free (&converter);
        avcodec_free_context (&decoder);
        avcodec_parameters_free (&codecParameters);
        av_frame_free (&frame);
        av_packet_free (&packet);
        av_channel_layout_uninit (&outputLayout);
        av_channel_layout_uninit (&converterInputLayout);
    }

    /** Opens the container, picks its best audio stream and scans it. False when the input is
        not media, has no decodable audio or holds no sample at all. */
    bool open()
    {
        packet = av_packet_alloc();
        frame = av_frame_alloc();

        if (packet == nullptr || frame == nullptr || ! openDemuxer())
            return false;

        const AVCodec* codec = nullptr;
        streamIndex = av_find_best_stream (formatContext, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);

        if (streamIndex < 0 || codec == nullptr)
            return false;

        auto* stream = formatContext->streams[streamIndex];
        codecId = stream->codecpar->codec_id;
        discardOtherStreams();

        codecParameters = avcodec_parameters_alloc();

        if (codecParameters == nullptr || avcodec_parameters_copy (codecParameters, stream->codecpar) < 0)
            return false;

        decoderCodec = codec;
        streamTimeBase = stream->time_base;

        if (! openDecoder() || ! scan() || lengthInSamples < 1)
            return false;

        preRoll = choosePreRoll();
        forwardDecodeLimit = juce::jmax ((juce::int64) sampleRate * 2, preRoll * 2);

        return rewind();
    }

    /** How far before a wanted sample a seek starts decoding. Lossless codecs need only enough
        for a frame's dependencies. Lossy ones carry state from frame to frame: a fifth of a
        second settles AAC, MP3 and AC-3 to their own rounding; codecs that declare a pre-roll
        (Opus) predict band energies across frames and take about a second to match a straight
        decode closely, far longer than the pre-roll they declare. */
    juce::int64 choosePreRoll() const
    {
        const auto frameSize = (juce::int64) juce::jmax (codecParameters->frame_size, 1024);
        const auto* descriptor = avcodec_descriptor_get (codecParameters->codec_id);

        if (descriptor != nullptr && (descriptor->props & AV_CODEC_PROP_LOSSLESS) != 0)
            return 4 * frameSize;

        auto samples = juce::jmax (4 * frameSize, (juce::int64) sampleRate / 5);

        if (codecParameters->seek_preroll > 0)
            samples = juce::jmax (samples, (juce::int64) codecParameters->seek_preroll, (juce::int64) sampleRate);

        return samples;
    }

    bool readSamples (int* const* destChannels, int numDestChannels, int startOffsetInDestBuffer,
                      juce::int64 startSampleInFile, int numSamples) override
    {
        clearSamplesBeyondAvailableLength (destChannels, numDestChannels, startOffsetInDestBuffer,
                                           startSampleInFile, numSamples, lengthInSamples);

        auto position = startSampleInFile;
        auto done = 0;
        auto seeksForThisRead = 0;

        while (done < numSamples)
        {
            if (position >= bufferStart && position < bufferStart + bufferLength)
            {
                const auto offset = (int) (position - bufferStart);
                const auto count = juce::jmin (numSamples - done, bufferLength - offset);
                copyOut (destChannels, numDestChannels, startOffsetInDestBuffer + done, offset, count);
                done += count;
                position += count;
                continue;
            }

            if (! canDecodeForwardTo (position))
            {
                // A decoder that delivers fewer samples after a seek than in the scan leaves a gap;
                // after a few tries, give silence for the gap rather than seek for ever.
                if (++seeksForThisRead > 3)
                {
                    const auto gapEnd = anchored && nextSample > position
                                          ? juce::jmin (nextSample, startSampleInFile + numSamples)
                                          : startSampleInFile + numSamples;
                    const auto count = (int) (gapEnd - position);
                    zeroOut (destChannels, numDestChannels, startOffsetInDestBuffer + done, count);
                    done += count;
                    position += count;
                    continue;
                }

                if (! seekTo (position))
                {
                    zeroOut (destChannels, numDestChannels, startOffsetInDestBuffer + done, numSamples - done);
                    return false;
                }
            }

            if (! decodeNextFrame())
            {
                zeroOut (destChannels, numDestChannels, startOffsetInDestBuffer + done, numSamples - done);
                break;
            }

            if (frameStart >= 0 && frame->nb_samples > 0)
                convertFrame();
            else
                bufferLength = 0;

            av_frame_unref (frame);
        }

        return true;
    }

private:
    struct PacketRecord
    {
        juce::int64 bytePosition;  // -1 when the container gives none
        juce::int64 timestamp;     // AV_NOPTS_VALUE when the container gives none
        juce::int64 firstSample;   // samples delivered by the decoder before this packet was sent
    };

    static constexpr int ioBufferSize = 32768;
    static constexpr int maxUnrecognisedPackets = 256;

    //==============================================================================
    static int readFromStream (void* opaque, uint8_t* buffer, int size)
    {
        auto* self = static_cast<FFmpegReader*> (opaque);
        const auto numRead = self->input->read (buffer, size);
        return numRead > 0 ? numRead : AVERROR_EOF;
    }

    static int64_t seekInStream (void* opaque, int64_t offset, int whence)
    {
        auto* self = static_cast<FFmpegReader*> (opaque);
        auto& in = *self->input;
        const auto total = in.getTotalLength();

        if ((whence & AVSEEK_SIZE) != 0)
            return total >= 0 ? total - self->origin : AVERROR (ENOSYS);

        juce::int64 target;

        switch (whence & ~AVSEEK_FORCE)
        {
            case SEEK_SET: target = offset; break;
            case SEEK_CUR: target = in.getPosition() - self->origin + offset; break;
            case SEEK_END:
                if (total < 0)
                    return AVERROR (ENOSYS);
                target = total - self->origin + offset;
                break;
            default: return AVERROR (EINVAL);
        }

        if (target < 0)
            return AVERROR (EINVAL);

        return in.setPosition (self->origin + target) ? target : AVERROR (EIO);
    }

    //==============================================================================
    bool openDemuxer()
    {
        closeDemuxer();

        if (input->getPosition() != origin && ! input->setPosition (origin))
            return false;

        auto* buffer = static_cast<unsigned char*> (av_malloc (ioBufferSize));

        if (buffer == nullptr)
            return false;

        ioContext = avio_alloc_context (buffer, ioBufferSize, 0, this, readFromStream, nullptr, seekInStream);

        if (ioContext == nullptr)
        {
            av_free (buffer);
            return false;
        }

        formatContext = avformat_alloc_context();

        if (formatContext == nullptr)
            return false;

        formatContext->pb = ioContext;
        formatContext->flags |= AVFMT_FLAG_CUSTOM_IO;
        formatContext->io_open = refuseNestedOpen;

        // On failure the library frees the context itself.
        if (avformat_open_input (&formatContext, nullptr, nullptr, nullptr) < 0)
            return false;

        return avformat_find_stream_info (formatContext, nullptr) >= 0;
    }

    void closeDemuxer()
    {
        avformat_close_input (&formatContext);

        if (ioContext != nullptr)
        {
            av_freep (&ioContext->buffer);
            avio_context_free (&ioContext);
        }
    }

    /** A fresh decoder. Flushing is not enough: some decoders keep state across a flush (the
        noise generators of AAC and AC-3, for one), and a fresh one decodes the start of the
        stream exactly as the scan did. */
    bool openDecoder()
    {
        avcodec_free_context (&decoder);
        decoder = avcodec_alloc_context3 (decoderCodec);

        if (decoder == nullptr || avcodec_parameters_to_context (decoder, codecParameters) < 0)
            return false;

        decoder->pkt_timebase = streamTimeBase;
        decoder->thread_count = 1;
        return avcodec_open2 (decoder, decoderCodec, nullptr) >= 0;
    }

    void discardOtherStreams()
    {
        for (unsigned int i = 0; i < formatContext->nb_streams; ++i)
            if ((int) i != streamIndex)
                formatContext->streams[i]->discard = AVDISCARD_ALL;
    }

    /** Back to the first sample: reopens the container, the one way back to the start that
        every container supports and that replays the scan packet for packet. */
    bool rewind()
    {
        if (! resetDecodeState())
            return false;

        if (! openDemuxer())
            return false;

        if (streamIndex >= (int) formatContext->nb_streams
            || formatContext->streams[streamIndex]->codecpar->codec_id != codecId)
            return false;

        discardOtherStreams();

        // The first packet is the scan's first: the decoder's output starts at sample 0.
        anchored = true;
        nextSample = 0;
        return true;
    }

    bool resetDecodeState()
    {
        anchored = false;
        draining = false;
        endOfStream = false;
        nextSample = 0;
        bufferLength = 0;
        av_frame_unref (frame);
        return openDecoder();
    }

    //==============================================================================
    /** Whether decoding on from where the decoder stands reaches the sample soon enough. */
    bool canDecodeForwardTo (juce::int64 position) const
    {
        return anchored && ! endOfStream && position >= nextSample && position - nextSample <= forwardDecodeLimit;
    }

    /** Places the decoder so that decoding on reaches the sample with at least the pre-roll
        before it. False only when the input can no longer be read from the start. */
    bool seekTo (juce::int64 position)
    {
        const juce::int64 backOffs[] { preRoll, preRoll + (juce::int64) sampleRate * 10 };

        for (auto backOff : backOffs)
        {
            const auto from = position - backOff;

            // Near the start, decoding from the first sample is cheap and exact.
            if (from <= forwardDecodeLimit)
                break;

            const auto record = lastRecordWithTimestampAtOrBefore (from);

            if (record < 0)
                break;

            if (! resetDecodeState())
                return false;

            if (av_seek_frame (formatContext, streamIndex, packets[(size_t) record].timestamp, AVSEEK_FLAG_BACKWARD) < 0)
                break;

            // Feed packets until one is recognised; what comes before it cannot be placed.
            landedAt = -1;

            for (int n = 0; n < maxUnrecognisedPackets && ! anchored && ! draining; ++n)
            {
                discardPendingFrames();
                feedPacket();
            }

            if (anchored && landedAt <= from)
                return true;
        }

        return rewind();
    }

    juce::int64 lastRecordWithTimestampAtOrBefore (juce::int64 sample) const
    {
        auto it = std::upper_bound (packets.begin(), packets.end(), sample,
                                    [] (juce::int64 s, const PacketRecord& p) { return s < p.firstSample; });

        for (auto index = (juce::int64) (it - packets.begin()) - 1; index >= 0; --index)
            if (packets[(size_t) index].timestamp != AV_NOPTS_VALUE)
                return index;

        return -1;
    }

    void discardPendingFrames()
    {
        while (avcodec_receive_frame (decoder, frame) == 0)
            av_frame_unref (frame);
    }

    //==============================================================================
    /** Reads the next audio packet and sends it to the decoder; at the end of the input, starts
        draining the decoder. During the scan each packet is recorded; afterwards each packet
        is looked up, and a recognised one fixes where its output belongs. */
    void feedPacket()
    {
        for (;;)
        {
            const auto result = av_read_frame (formatContext, packet);

            if (result < 0)
            {
                // The end, or a read error: either way nothing more comes from this input.
                avcodec_send_packet (decoder, nullptr);
                draining = true;
                return;
            }

            if (packet->stream_index != streamIndex)
            {
                av_packet_unref (packet);
                continue;
            }

            const auto timestamp = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;

            if (scanning)
                recordPacket (packet->pos, timestamp);
            else
                recognisePacket (packet->pos, timestamp);

            // A packet the decoder rejects is skipped, in the scan and in every later pass alike.
            avcodec_send_packet (decoder, packet);
            av_packet_unref (packet);
            return;
        }
    }

    void recordPacket (juce::int64 bytePosition, juce::int64 timestamp)
    {
        const auto index = (juce::int64) packets.size();
        packets.push_back ({ bytePosition, timestamp, nextSample });

        if (bytePosition >= 0)
            addUnique (byBytePosition, bytePosition, index);

        if (timestamp != AV_NOPTS_VALUE)
            addUnique (byTimestamp, timestamp, index);
    }

    static void addUnique (std::unordered_map<juce::int64, juce::int64>& map, juce::int64 key, juce::int64 index)
    {
        auto [it, inserted] = map.emplace (key, index);

        if (! inserted)
            it->second = -1;  // ambiguous: never used to place a packet
    }

    void recognisePacket (juce::int64 bytePosition, juce::int64 timestamp)
    {
        auto index = find (byBytePosition, bytePosition);

        if (index < 0 && timestamp != AV_NOPTS_VALUE)
            index = find (byTimestamp, timestamp);

        if (index < 0)
            return;  // placed by counting on from the last recognised packet, if any

        nextSample = packets[(size_t) index].firstSample;

        if (! anchored)
            landedAt = nextSample;

        anchored = true;
    }

    static juce::int64 find (const std::unordered_map<juce::int64, juce::int64>& map, juce::int64 key)
    {
        const auto it = map.find (key);
        return it != map.end() ? it->second : -1;
    }

    /** Receives the next decoded frame into `frame`, feeding packets as the decoder asks.
        Sets frameStart to its first sample's position, or -1 when it cannot be placed yet.
        False when the stream is exhausted. */
    bool decodeNextFrame()
    {
        if (endOfStream)
            return false;

        for (;;)
        {
            const auto result = avcodec_receive_frame (decoder, frame);

            if (result == 0)
            {
                frameStart = anchored ? nextSample : -1;

                if (anchored)
                    nextSample += frame->nb_samples;

                return true;
            }

            if (result == AVERROR_EOF || draining)
            {
                // While draining, any other answer also means nothing more will come.
                endOfStream = true;
                return false;
            }

            // Wanting more input, or a frame the decoder could not decode: feed the next packet.
            feedPacket();
        }
    }

    //==============================================================================
    /** Decodes the whole stream once: records every packet, takes the format from the first
        frame and counts the samples. */
    bool scan()
    {
        scanning = true;
        anchored = true;
        nextSample = 0;
        bool formatKnown = false;

        while (decodeNextFrame())
        {
            if (! formatKnown && frame->nb_samples > 0)
            {
                if (frame->sample_rate <= 0 || frame->ch_layout.nb_channels <= 0)
                    return false;

                sampleRate = frame->sample_rate;
                numChannels = (unsigned int) frame->ch_layout.nb_channels;
                setLayout (outputLayout, frame->ch_layout);
                formatKnown = true;
            }

            av_frame_unref (frame);
        }

        scanning = false;
        lengthInSamples = formatKnown ? nextSample : 0;
        return formatKnown;
    }

    /** A layout the converter accepts: the given one, or the usual layout for its channel count
        when the stream does not say which channels it carries. */
    static void setLayout (AVChannelLayout& destination, const AVChannelLayout& source)
    {
        av_channel_layout_uninit (&destination);

        if (source.order == AV_CHANNEL_ORDER_UNSPEC)
            av_channel_layout_default (&destination, source.nb_channels);
        else
            av_channel_layout_copy (&destination, &source);
    }

    /** Converts the current frame to planar float in the reported layout and rate. Frames
        whose format, layout or rate differ from the converter's set it up again. */
    void convertFrame()
    {
        AVChannelLayout frameLayout {};
        setLayout (frameLayout, frame->ch_layout);

        if (converter == nullptr || frame->format != converterInputFormat
            || frame->sample_rate != converterInputRate
            || av_channel_layout_compare (&frameLayout, &converterInputLayout) != 0)
        {
            swr_free (&converter);

            if (swr_alloc_set_opts2 (&converter, &outputLayout, AV_SAMPLE_FMT_FLTP, (int) sampleRate,
                                     &frameLayout, (AVSampleFormat) frame->format, frame->sample_rate, 0, nullptr) < 0
                || swr_init (converter) < 0)
            {
                juce::Logger::writeToLog ("FFmpeg audio: cannot convert a frame of this stream");
                swr_free (&converter);
                av_channel_layout_uninit (&frameLayout);
                bufferLength = 0;
                return;
            }

            converterInputFormat = frame->format;
            converterInputRate = frame->sample_rate;
            setLayout (converterInputLayout, frameLayout);
        }

        av_channel_layout_uninit (&frameLayout);

        const auto capacity = swr_get_out_samples (converter, frame->nb_samples);
        converted.setSize ((int) numChannels, juce::jmax (capacity, 1), false, false, true);

        std::vector<uint8_t*> outputs;

        for (int ch = 0; ch < (int) numChannels; ++ch)
            outputs.push_back (reinterpret_cast<uint8_t*> (converted.getWritePointer (ch)));

        const auto count = swr_convert (converter, outputs.data(), capacity,
                                        const_cast<const uint8_t**> (frame->extended_data), frame->nb_samples);

        bufferStart = frameStart;
        bufferLength = juce::jmax (count, 0);
    }

    void copyOut (int* const* destChannels, int numDestChannels, int destOffset, int sourceOffset, int count) const
    {
        for (int ch = 0; ch < numDestChannels; ++ch)
            if (auto* dest = reinterpret_cast<float*> (destChannels[ch]))
            {
                if (ch < (int) numChannels)
                    juce::FloatVectorOperations::copy (dest + destOffset, converted.getReadPointer (ch, sourceOffset), count);
                else
                    juce::FloatVectorOperations::clear (dest + destOffset, count);
            }
    }

    static void zeroOut (int* const* destChannels, int numDestChannels, int destOffset, int count)
    {
        for (int ch = 0; ch < numDestChannels; ++ch)
            if (auto* dest = destChannels[ch])
                juce::zeromem (dest + destOffset, (size_t) count * sizeof (int));
    }

    //==============================================================================
    const juce::int64 origin;  // where the container starts in the stream

    AVIOContext* ioContext = nullptr;
    AVFormatContext* formatContext = nullptr;
    AVCodecContext* decoder = nullptr;
    AVCodecParameters* codecParameters = nullptr;
    const AVCodec* decoderCodec = nullptr;
    AVRational streamTimeBase { 0, 1 };
    SwrContext* converter = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;

    int streamIndex = -1;
    AVCodecID codecId = AV_CODEC_ID_NONE;

    AVChannelLayout outputLayout {};
    AVChannelLayout converterInputLayout {};
    int converterInputFormat = -1;
    int converterInputRate = 0;

    std::vector<PacketRecord> packets;
    std::unordered_map<juce::int64, juce::int64> byBytePosition, byTimestamp;

    juce::int64 preRoll = 0, forwardDecodeLimit = 0;

    // Decoder position.
    bool scanning = false;
    bool anchored = false;     // nextSample is known
    bool draining = false;     // the input is exhausted, the decoder is giving its last frames
    bool endOfStream = false;  // the decoder has given its last frame
    juce::int64 nextSample = 0;
    juce::int64 landedAt = -1; // first recognised packet's position after a seek
    juce::int64 frameStart = -1;

    // The last decoded frame, converted.
    juce::AudioBuffer<float> converted;
    juce::int64 bufferStart = 0;
    int bufferLength = 0;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (FFmpegReader)
};

} // namespace

//==============================================================================
FFmpegAudioFormat::FFmpegAudioFormat()
    : juce::AudioFormat (formatName,
                         { ".mp4", ".m4a", ".m4v", ".m4b", ".mov", ".qt", ".3gp", ".3g2",
                           ".mkv", ".mka", ".webm", ".avi", ".mp3", ".mp2", ".aac", ".opus",
                           ".ac3", ".eac3", ".mpg", ".mpeg", ".vob", ".ts", ".mts", ".m2ts",
                           ".wmv", ".wma", ".asf", ".flv", ".ogv", ".dv" })
{
    setUpLibraryLogOnce();
}

FFmpegAudioFormat::~FFmpegAudioFormat() = default;

juce::Array<int> FFmpegAudioFormat::getPossibleSampleRates()
{
    return { 8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000, 88200, 96000 };
}

juce::Array<int> FFmpegAudioFormat::getPossibleBitDepths()
{
    return { 16, 24, 32 };
}

juce::AudioFormatReader* FFmpegAudioFormat::createReaderFor (juce::InputStream* sourceStream,
                                                             bool deleteStreamIfOpeningFails)
{
    if (sourceStream == nullptr)
        return nullptr;

    const auto startPosition = sourceStream->getPosition();
    auto reader = std::make_unique<FFmpegReader> (sourceStream);

    if (reader->open())
        return reader.release();

    if (! deleteStreamIfOpeningFails)
    {
        reader->input = nullptr;  // the caller keeps the stream, where it was
        sourceStream->setPosition (startPosition);
    }

    return nullptr;
}

juce::AudioFormatWriter* FFmpegAudioFormat::createWriterFor (juce::OutputStream*, double, unsigned int, int,
                                                             const juce::StringPairArray&, int)
{
    return nullptr;
}

} // namespace QVAudioEngineV4
