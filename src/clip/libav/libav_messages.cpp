#include "libav_messages.h"

#include <algorithm>
#include <cstdarg>
#include <string>
#include <mutex>
#include <utility>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "packet_tags.h"

#include <hdrmeter/clip_hooks.h>

namespace hdrmeter::clip {

namespace {

// FFmpeg logs from its decoding and demuxing threads: the sink and the last error are read and written
// under one lock, which also keeps the sink's calls one at a time.
std::mutex messageMutex;
LibavMessageSink messageSink;
std::string lastError;
// FFmpeg may build one line in several calls; the pieces wait here until the one that ends it.
std::string pendingLine;
int pendingLevel = AV_LOG_QUIET;
// The decoder context that began the line, and the packet it was decoding then.
const void* pendingDecoderKey = nullptr;
std::int64_t pendingSerial = -1;
std::vector<DecoderErrors*> watchedDecoders;

}  // namespace

// Called under messageMutex.
void noteDecoderError(const void* key, std::int64_t serial, const std::string& message)
{
    for (DecoderErrors* watched : watchedDecoders) {
        if (&watched->tags_ != key)
            continue;
        if (!watched->pending_.load(std::memory_order_relaxed)) {
            watched->serial_ = serial;
            watched->message_ = message;
        } else if (serial < watched->serial_) {
            watched->serial_ = serial;
        }
        watched->pending_.store(true, std::memory_order_release);
        return;
    }
}

namespace {

void captureMessage(void* object, int level, const char* format, va_list arguments)
{
    const int shownLevel = av_log_get_level();
    if (level > AV_LOG_ERROR && level > shownLevel)
        return;
    char text[512];
    int printPrefix = 0;
    av_log_format_line2(object, level, format, arguments, text, sizeof text, &printPrefix);
    const std::lock_guard<std::mutex> lock(messageMutex);
    const bool lineEnds = text[0] != '\0' && text[std::char_traits<char>::length(text) - 1] == '\n';
    if (pendingLine.empty()) {
        const AVClass* objectClass = object ? *static_cast<AVClass**>(object) : nullptr;
        if (objectClass && objectClass->item_name)
            pendingLine = std::string(objectClass->item_name(object)) + ": ";
        pendingLevel = level;
        pendingDecoderKey = nullptr;
        if (objectClass == avcodec_get_class()) {
            const auto* decoder = static_cast<const AVCodecContext*>(object);
            for (const DecoderErrors* watched : watchedDecoders)
                if (watched->tags().tagged(*decoder)) {
                    pendingDecoderKey = &watched->tags();
                    pendingSerial = PacketTags::serialOf(*decoder);
                    break;
                }
        }
    }
    pendingLine += text;
    pendingLevel = std::min(pendingLevel, level);
    if (!lineEnds)
        return;
    std::string message;
    message.swap(pendingLine);
    level = pendingLevel;
    while (!message.empty() && (message.back() == '\n' || message.back() == ' '))
        message.pop_back();
    if (level <= AV_LOG_ERROR) {
        lastError = message;
        if (pendingDecoderKey)
            noteDecoderError(pendingDecoderKey, pendingSerial, message);
    }
    if (messageSink && level <= shownLevel) {
        // An exception must not unwind through FFmpeg's C frames; a sink that throws loses that line.
        try {
            messageSink(level, message);
        } catch (...) {
        }
    }
}

}  // namespace

void captureLibavMessages(LibavMessageSink sink)
{
    {
        const std::lock_guard<std::mutex> lock(messageMutex);
        messageSink = std::move(sink);
    }
    av_log_set_callback(&captureMessage);
}

DecoderErrors::DecoderErrors(const PacketTags& tags) : tags_(tags)
{
    const std::lock_guard<std::mutex> lock(messageMutex);
    watchedDecoders.push_back(this);
}

DecoderErrors::~DecoderErrors()
{
    const std::lock_guard<std::mutex> lock(messageMutex);
    watchedDecoders.erase(std::find(watchedDecoders.begin(), watchedDecoders.end(), this));
}

bool DecoderErrors::take(std::int64_t& serial, std::string& message)
{
    if (!pending())
        return false;
    const std::lock_guard<std::mutex> lock(messageMutex);
    serial = serial_;
    message.swap(message_);
    message_.clear();
    pending_.store(false, std::memory_order_relaxed);
    return true;
}

std::string takeLibavErrorLine()
{
    const std::lock_guard<std::mutex> lock(messageMutex);
    std::string message;
    message.swap(lastError);
    return message;
}

std::string takeLibavError()
{
    const std::string message = takeLibavErrorLine();
    return message.empty() ? message : " (" + message + ")";
}

}  // namespace hdrmeter::clip
