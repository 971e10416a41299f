// Owners for the FFmpeg objects the input layer holds, each freed with its own *_free function.
#ifndef HDRMETER_CLIP_AV_HOLDERS_H
#define HDRMETER_CLIP_AV_HOLDERS_H

#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
}

namespace hdrmeter::clip {

struct FormatContextFree {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct CodecContextFree {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameFree {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketFree {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

using FormatContextHolder = std::unique_ptr<AVFormatContext, FormatContextFree>;
using CodecContextHolder = std::unique_ptr<AVCodecContext, CodecContextFree>;
using FrameHolder = std::unique_ptr<AVFrame, FrameFree>;
using PacketHolder = std::unique_ptr<AVPacket, PacketFree>;

// av_err2str is a macro over a compound literal, which C++ has not got.
inline std::string libavErrorText(int error)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    if (av_strerror(error, text, sizeof text) < 0)
        return "error " + std::to_string(error);
    return text;
}

}  // namespace hdrmeter::clip

#endif
