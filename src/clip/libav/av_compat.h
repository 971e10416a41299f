// The clip layer builds against FFmpeg 5.1 (libavutil 57.28, libavcodec 59.37, libavformat 59.27) up to
// 7.1. Where a newer release replaced an interface that 5.1 has no replacement for yet, the choice is made
// here, once, each on the line of FFmpeg's doc/APIchanges that brought the replacement in.
#ifndef HDRMETER_CLIP_AV_COMPAT_H
#define HDRMETER_CLIP_AV_COMPAT_H

#include <cstddef>
#include <cstdint>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libavutil/version.h>
}

// "2022-07-xx - lavu 57.30.100 - frame.h: Add AVFrame.duration, deprecate AVFrame.pkt_duration."
// pkt_duration is gone from libavutil 59 (FFmpeg 7).
#define HDRMETER_AV_FRAME_DURATION (LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(57, 30, 100))

// "2023-10-06 - 5432d2aacad - lavf 60.15.100 - avformat.h: Deprecate AVFormatContext.{nb_,}side_data,
// av_stream_add_side_data(), av_stream_new_side_data(), and av_stream_get_side_data(). Side data fields
// from AVStream.codecpar should be used from now on." av_packet_side_data_get() and
// AVCodecParameters.coded_side_data came with libavcodec 60.29/60.30, which that libavformat requires.
#define HDRMETER_AV_CODECPAR_SIDE_DATA (LIBAVFORMAT_VERSION_INT >= AV_VERSION_INT(60, 15, 100))

// "2020-11-27 - a83098ab03 - lavc 58.114.100 - avcodec.h: Deprecate AVCodecContext.thread_safe_callbacks.
// Starting with LIBAVCODEC_VERSION_MAJOR=60, user callbacks must always be thread-safe when frame
// threading is used." The field is gone from libavcodec 60 (FFmpeg 6).
#define HDRMETER_AV_THREAD_SAFE_CALLBACKS_FIELD (LIBAVCODEC_VERSION_MAJOR < 60)

// FFmpeg 6 (libavcodec 60) deprecated AVCodecContext.reordered_opaque, and FFmpeg 7 removed it, for
// AV_CODEC_FLAG_COPY_OPAQUE, which carries AVPacket.opaque to the frame. Which packet a frame thread
// decodes when it logs is told by the context's opaque instead (packet_tags.h), on every version.
#define HDRMETER_AV_REORDERED_OPAQUE (LIBAVCODEC_VERSION_MAJOR < 60)

// Dolby Vision's display management extension blocks (AVDOVIDmData, av_dovi_find_level) reach a program
// from libavutil 59 (FFmpeg 7.0) on; before, an RPU's Level 1 is not handed over.
#define HDRMETER_AV_DOVI_BLOCKS (LIBAVUTIL_VERSION_MAJOR >= 59)

namespace hdrmeter::clip {

// Numbers the packet sent next with `serial`, so that its frame, and the errors logged while it is
// decoded, can be told apart from the others.
inline void setPacketSerial(AVCodecContext& decoder, AVPacket& packet, std::int64_t serial)
{
#if HDRMETER_AV_REORDERED_OPAQUE
    (void)packet;
    decoder.reordered_opaque = serial;
#else
    (void)decoder;
    packet.opaque = reinterpret_cast<void*>(static_cast<std::intptr_t>(serial));
#endif
}

// The serial of the packet a decoded frame came from.
inline std::int64_t frameSerialOf(const AVFrame& frame)
{
#if HDRMETER_AV_REORDERED_OPAQUE
    return frame.reordered_opaque;
#else
    return static_cast<std::int64_t>(reinterpret_cast<std::intptr_t>(frame.opaque));
#endif
}

// Asks the decoder to carry each packet's serial to its frame; call before avcodec_open2.
inline void carryPacketSerials(AVCodecContext& decoder)
{
#if HDRMETER_AV_REORDERED_OPAQUE
    (void)decoder;
#else
    decoder.flags |= AV_CODEC_FLAG_COPY_OPAQUE;
#endif
}

// How long the frame lasts, in its stream's time base; 0 when unknown.
inline std::int64_t frameDuration(const AVFrame& frame)
{
#if HDRMETER_AV_FRAME_DURATION
    return frame.duration;
#else
    return frame.pkt_duration;
#endif
}

// The stream-wide side data of one type the demuxer found (a container's mastering display, say), or
// null; bytes is set to its size.
inline const std::uint8_t* streamSideData(const AVStream& stream, AVPacketSideDataType type, std::size_t& bytes)
{
#if HDRMETER_AV_CODECPAR_SIDE_DATA
    const AVPacketSideData* side =
        av_packet_side_data_get(stream.codecpar->coded_side_data, stream.codecpar->nb_coded_side_data, type);
    bytes = side ? side->size : 0;
    return side ? side->data : nullptr;
#else
    bytes = 0;
    return av_stream_get_side_data(&stream, type, &bytes);
#endif
}

}  // namespace hdrmeter::clip

#endif
