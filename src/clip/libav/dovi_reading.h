// The Dolby Vision a stream carries: its configuration record, and each frame's RPU extension blocks where
// this FFmpeg hands them over.
#ifndef HDRMETER_CLIP_DOVI_READING_H
#define HDRMETER_CLIP_DOVI_READING_H

#include <memory>
#include <optional>

#include <hdrmeter/clip.h>

struct AVFrame;
struct AVStream;

namespace hdrmeter::clip {

// Whether this build's FFmpeg hands over an RPU's extension blocks.
bool doviBlocksRead();

// Whether the frame carries a Dolby Vision RPU, read or not.
bool carriesDovi(const AVFrame& frame);

// What the frame's RPU states; `previous` itself when that states the same, so that a shot's frames share
// one; null when the frame carries no RPU or its blocks are not read.
std::shared_ptr<const StatedDolbyVision> doviOf(const AVFrame& frame,
                                                const std::shared_ptr<const StatedDolbyVision>& previous);

std::optional<DolbyVisionConfiguration> doviConfigurationOf(const AVStream& stream);

}  // namespace hdrmeter::clip

#endif
