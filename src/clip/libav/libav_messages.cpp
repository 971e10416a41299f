#include "libav_messages.h"

#include <algorithm>
#include <cstdarg>
#include <string>
#include <mutex>
#include <utility>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include "packet_tags.h"

#include <hdrmeter/clip_hooks.h>

namespace hdrmeter::clip {

namespace {

// FFmpeg logs from its decoding and demuxing threads: the sink and the runs' logs are read and written
// under one lock, which also keeps the sink's calls one at a time.
std::mutex messageMutex;
LibavMessageSink messageSink;
std::vector<LibavRunLog*> runLogs;
// FFmpeg may build one line in several calls; the pieces wait here until the one that ends it. Each
// thread builds its own lines: runs on other threads never mix into them.
thread_local std::string pendingLine;
thread_local int pendingLevel = AV_LOG_QUIET;
// The decoder context that began the line, and the packet it was decoding then; the opaque pointer of the
// decoder or demuxer that wrote it, which tells whose run it is.
thread_local const void* pendingDecoderKey = nullptr;
thread_local std::int64_t pendingSerial = -1;
thread_local const void* pendingRunKey = nullptr;
// The run whose FFmpeg calls this thread is making (LibavRunLog::ThreadScope).
thread_local LibavRunLog* threadRun = nullptr;
std::vector<DecoderErrors*> watchedDecoders;

}  // namespace

// Called under messageMutex.
void noteDecoderError(const void* key, std::int64_t serial, const std::string& message)
{
    for (DecoderErrors* watched : watchedDecoders) {
        if (&watched->tags_ != key)
            continue;
        if (!watched->pending_.load(std::memory_order_relaxed)) {
            watched->firstSerial_ = serial;
            watched->lastSerial_ = serial;
            watched->message_ = message;
        } else {
            watched->firstSerial_ = std::min(watched->firstSerial_, serial);
            watched->lastSerial_ = std::max(watched->lastSerial_, serial);
        }
        watched->pending_.store(true, std::memory_order_release);
        return;
    }
}

// Called under messageMutex.
void noteRunLine(LibavRunLog& log, int level, const std::string& line)
{
    if (level <= AV_LOG_ERROR)
        log.lastError_ = line;
    if (level > AV_LOG_WARNING)
        return;
    if (log.lines_.size() < LibavRunLog::kKeptLines)
        log.lines_.emplace_back(level, line);
    else
        ++log.linesLeftOut_;
}

namespace {

// The opaque pointer of the demuxer that logs, which a run owns; nullptr for other objects (a decoder's
// run is found through its packet tags).
const void* runKeyOf(const void* object, const AVClass* objectClass)
{
    if (objectClass == avformat_get_class())
        return static_cast<const AVFormatContext*>(object)->opaque;
    return nullptr;
}

// The run that owns `key`, under messageMutex.
LibavRunLog* runOf(const void* key)
{
    if (!key)
        return nullptr;
    for (LibavRunLog* log : runLogs)
        if (log->ownsKey(key))
            return log;
    return nullptr;
}

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
        pendingRunKey = runKeyOf(object, objectClass);
        if (objectClass == avcodec_get_class()) {
            const auto* decoder = static_cast<const AVCodecContext*>(object);
            for (const DecoderErrors* watched : watchedDecoders)
                if (watched->tags().tagged(*decoder)) {
                    pendingDecoderKey = &watched->tags();
                    pendingSerial = PacketTags::serialOf(*decoder);
                    // A tagged decoder's lines are its run's: the run owns its tags.
                    pendingRunKey = &watched->tags();
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
    if (level <= AV_LOG_ERROR && pendingDecoderKey)
        noteDecoderError(pendingDecoderKey, pendingSerial, message);
    LibavRunLog* run = runOf(pendingRunKey);
    if (!run && threadRun && std::find(runLogs.begin(), runLogs.end(), threadRun) != runLogs.end())
        run = threadRun;
    if (run) {
        noteRunLine(*run, level, message);
        return;
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

bool DecoderErrors::take(std::int64_t& firstSerial, std::int64_t& lastSerial, std::string& message)
{
    if (!pending())
        return false;
    const std::lock_guard<std::mutex> lock(messageMutex);
    firstSerial = firstSerial_;
    lastSerial = lastSerial_;
    message.swap(message_);
    message_.clear();
    pending_.store(false, std::memory_order_relaxed);
    return true;
}

LibavRunLog::LibavRunLog()
{
    const std::lock_guard<std::mutex> lock(messageMutex);
    runLogs.push_back(this);
}

LibavRunLog::~LibavRunLog()
{
    const std::lock_guard<std::mutex> lock(messageMutex);
    runLogs.erase(std::find(runLogs.begin(), runLogs.end(), this));
}

void LibavRunLog::own(const void* key)
{
    const std::lock_guard<std::mutex> lock(messageMutex);
    keys_.push_back(key);
}

LibavRunLog::ThreadScope::ThreadScope(LibavRunLog& log) : before_(threadRun)
{
    threadRun = &log;
}

LibavRunLog::ThreadScope::~ThreadScope()
{
    threadRun = before_;
}

void LibavRunLog::disown(const void* key)
{
    const std::lock_guard<std::mutex> lock(messageMutex);
    keys_.erase(std::remove(keys_.begin(), keys_.end(), key), keys_.end());
}

bool LibavRunLog::ownsKey(const void* key) const
{
    return std::find(keys_.begin(), keys_.end(), key) != keys_.end();
}

std::string LibavRunLog::takeErrorLine()
{
    const std::lock_guard<std::mutex> lock(messageMutex);
    std::string message;
    message.swap(lastError_);
    return message;
}

std::string LibavRunLog::takeError()
{
    const std::string message = takeErrorLine();
    return message.empty() ? message : " (" + message + ")";
}

std::vector<std::pair<int, std::string>> LibavRunLog::takeLines(long long& leftOut)
{
    const std::lock_guard<std::mutex> lock(messageMutex);
    std::vector<std::pair<int, std::string>> lines;
    lines.swap(lines_);
    leftOut = linesLeftOut_;
    linesLeftOut_ = 0;
    return lines;
}

void LibavRunLog::addLines(const std::vector<std::pair<int, std::string>>& lines, long long leftOut)
{
    const std::lock_guard<std::mutex> lock(messageMutex);
    for (const auto& line : lines) {
        if (lines_.size() < kKeptLines)
            lines_.push_back(line);
        else
            ++linesLeftOut_;
    }
    linesLeftOut_ += leftOut;
}

}  // namespace hdrmeter::clip
