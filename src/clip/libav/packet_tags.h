// Which packet a decoder's message is about. libavcodec hands a frame thread's context the caller's
// opaque afresh with every packet it gives that thread, on every FFmpeg version, so an opaque that names
// the packet tells the log callback which packet the thread decoded when it logged (a missing reference,
// say), where the frame the error belongs to is still unknown: a frame held for reordering that left the
// decoder after the error is not the error's frame.
#ifndef HDRMETER_CLIP_PACKET_TAGS_H
#define HDRMETER_CLIP_PACKET_TAGS_H

#include <array>
#include <atomic>
#include <cstdint>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace hdrmeter::clip {

class PacketTags {
public:
    // owner: what the decoder's callbacks need of its opaque (ownerOf gives it back).
    explicit PacketTags(void* owner)
    {
        for (Tag& tag : tags_)
            tag.tags = this;
        tags_[0].serial.store(-1, std::memory_order_relaxed);
        owner_ = owner;
    }
    PacketTags(const PacketTags&) = delete;
    PacketTags& operator=(const PacketTags&) = delete;

    // Points the decoder's opaque at packet `serial`'s tag: before avcodec_open2 with -1, then before
    // each packet is sent.
    void tag(AVCodecContext& decoder, std::int64_t serial)
    {
        Tag& tag = tags_[static_cast<std::uint64_t>(serial + 1) % tags_.size()];
        tag.serial.store(serial, std::memory_order_relaxed);
        decoder.opaque = &tag;
    }

    // Whether a context's opaque points at one of these tags. Asked before anything is read through it:
    // the log callback sees every context in the process, some with an opaque of another program's.
    bool tagged(const AVCodecContext& decoder) const
    {
        const auto at = reinterpret_cast<std::uintptr_t>(decoder.opaque);
        const auto first = reinterpret_cast<std::uintptr_t>(tags_.data());
        return at >= first && at < first + sizeof tags_ && (at - first) % sizeof(Tag) == 0;
    }
    // The serial of the packet a tagged context (one of its frame threads' too) was given last (-1
    // before the first).
    static std::int64_t serialOf(const AVCodecContext& decoder)
    {
        return static_cast<const Tag*>(decoder.opaque)->serial.load(std::memory_order_relaxed);
    }
    // For the decoder's own callbacks, which only its tagged contexts call.
    static void* ownerOf(const AVCodecContext& decoder) { return static_cast<const Tag*>(decoder.opaque)->tags->owner_; }

private:
    struct Tag {
        const PacketTags* tags = nullptr;
        std::atomic<std::int64_t> serial{0};
    };
    // A tag is used again only after as many packets as there are tags: more than a decoder's frame
    // threads (at most 16 here) hold at once, so no thread still decodes the packet a reused tag named.
    std::array<Tag, 64> tags_;
    void* owner_ = nullptr;
};

}  // namespace hdrmeter::clip

#endif
