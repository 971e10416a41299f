// FFmpeg's log as the clip layer keeps it, once a host called captureLibavMessages.
#ifndef HDRMETER_CLIP_LIBAV_MESSAGES_H
#define HDRMETER_CLIP_LIBAV_MESSAGES_H

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace hdrmeter::clip {

class PacketTags;

// FFmpeg's lines about one run: those its demuxer and decoder wrote, told apart from other runs' by the
// contexts' opaque pointers (`own`). Lines of contexts no run owns go to the host's sink alone. Only once a
// host called captureLibavMessages; otherwise FFmpeg keeps its own log and a run's log stays empty.
class LibavRunLog {
public:
    LibavRunLog();
    ~LibavRunLog();
    LibavRunLog(const LibavRunLog&) = delete;
    LibavRunLog& operator=(const LibavRunLog&) = delete;

    // Lines FFmpeg writes for a context whose opaque is `key` are this run's, until disown(key): the
    // context is closed and its address may be another run's next.
    void own(const void* key);
    void disown(const void* key);
    // The last error since the last call, as " (hevc: ...)" to add to a failure's reason; "" for none.
    std::string takeError();
    // The same line bare.
    std::string takeErrorLine();
    // The lines at warning level or worse since the last call, at most kKeptLines of them, and how many
    // more there were.
    std::vector<std::pair<int, std::string>> takeLines(long long& leftOut);
    // Lines another log took (an image decoder's own, with how many it left out), kept as this log keeps
    // its own; they do not become its last error.
    void addLines(const std::vector<std::pair<int, std::string>>& lines, long long leftOut);

    static constexpr std::size_t kKeptLines = 100;

    // Under the log's lock.
    bool ownsKey(const void* key) const;

    // While it lives, lines that no owned context wrote, from this thread, are `log`'s too: FFmpeg writes
    // some with helper objects of its own (the image size check, for one) on the thread that called it.
    class ThreadScope {
    public:
        explicit ThreadScope(LibavRunLog& log);
        ~ThreadScope();
        ThreadScope(const ThreadScope&) = delete;
        ThreadScope& operator=(const ThreadScope&) = delete;

    private:
        LibavRunLog* before_;
    };

private:
    friend void noteRunLine(LibavRunLog& log, int level, const std::string& line);
    std::vector<const void*> keys_;
    std::string lastError_;
    std::vector<std::pair<int, std::string>> lines_;
    long long linesLeftOut_ = 0;
};

// The errors one decoder logs while it decodes: a decoder that conceals a missing reference or a broken
// slice often says so only in its log. Each of its contexts (its frame threads' too) points at one of
// `tags` through its opaque, which names the packet it decodes. Only once a host called
// captureLibavMessages.
class DecoderErrors {
public:
    explicit DecoderErrors(const PacketTags& tags);
    ~DecoderErrors();
    DecoderErrors(const DecoderErrors&) = delete;
    DecoderErrors& operator=(const DecoderErrors&) = delete;

    const PacketTags& tags() const { return tags_; }
    // Cheap enough to ask at every frame.
    bool pending() const { return pending_.load(std::memory_order_acquire); }
    // The earliest and the latest serial among the errors logged since the last call (-1 for one logged
    // before the first packet) and the first of their messages; false when there were none. The latest
    // matters as much as the earliest: the damage lasts until a key frame sent after every packet that
    // met an error, and errors of several packets often arrive between two frames.
    bool take(std::int64_t& firstSerial, std::int64_t& lastSerial, std::string& message);

private:
    friend void noteDecoderError(const void* key, std::int64_t serial, const std::string& message);
    const PacketTags& tags_;
    std::atomic<bool> pending_{false};
    std::int64_t firstSerial_ = 0;
    std::int64_t lastSerial_ = 0;
    std::string message_;
};

}  // namespace hdrmeter::clip

#endif
