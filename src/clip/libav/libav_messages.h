// FFmpeg's log as the clip layer keeps it, once a host called captureLibavMessages.
#ifndef HDRMETER_CLIP_LIBAV_MESSAGES_H
#define HDRMETER_CLIP_LIBAV_MESSAGES_H

#include <atomic>
#include <cstdint>
#include <string>

namespace hdrmeter::clip {

class PacketTags;

// The last error FFmpeg gave since the last call, as " (hevc: ...)" to add to a failure's reason; empty
// when there was none or the host kept FFmpeg's own log callback.
std::string takeLibavError();
// The same line bare, "" when there is none.
std::string takeLibavErrorLine();

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
    // The earliest serial among the errors logged since the last call (-1 when one was logged before the
    // first packet) and the first of their messages; false when there were none.
    bool take(std::int64_t& serial, std::string& message);

private:
    friend void noteDecoderError(const void* key, std::int64_t serial, const std::string& message);
    const PacketTags& tags_;
    std::atomic<bool> pending_{false};
    std::int64_t serial_ = 0;
    std::string message_;
};

}  // namespace hdrmeter::clip

#endif
