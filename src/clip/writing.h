// What the writers of whole files write through, so that no file and no frame list is held whole in
// memory: text goes to a sink as it is made, and frames are visited where they are kept.
#ifndef HDRMETER_CLIP_WRITING_H
#define HDRMETER_CLIP_WRITING_H

#include <functional>
#include <string>

#include <hdrmeter/clip.h>

namespace hdrmeter::clip {

using TextSink = std::function<void(const std::string& text)>;
using FrameVisitor = std::function<void(const FrameRecord& record)>;
// Hands every frame's record to a visitor, in order; may be called more than once.
using FrameSequence = std::function<void(const FrameVisitor& visit)>;

inline FrameSequence framesOf(const Report& report)
{
    return [&report](const FrameVisitor& visit) {
        for (const FrameRecord& record : report.frames)
            visit(record);
    };
}

// A whole file in a string, from a writer that writes through a sink.
template <typename Write>
std::string textOf(const Write& write)
{
    std::string text;
    write([&text](const std::string& part) { text += part; });
    return text;
}

}  // namespace hdrmeter::clip

#endif
