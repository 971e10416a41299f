// What encoders that cut a film into chunks take to cut it at hdrmeter's scenes, so that the chunks, the
// key frames and the HDR10+ and Dolby Vision shots fall on the same frames: Av1an's scenes file, an x265
// qpfile and ffmpeg's -force_key_frames list.
#ifndef HDRMETER_CLIP_CHUNK_LISTS_H
#define HDRMETER_CLIP_CHUNK_LISTS_H

#include <string>

#include <hdrmeter/clip.h>

#include "writing.h"

namespace hdrmeter::clip {

// Av1an's scenes.json: `frames`, and `scenes` each with `start_frame`, `end_frame` (the next scene's
// first frame) and `zone_overrides` null.
void writeAv1anScenes(const Report& report, const FrameSequence& frames, const TextSink& out);
// A line "FRAME I" per scene: x265 makes each scene's first frame a key frame.
void writeX265Qpfile(const Report& report, const FrameSequence& frames, const TextSink& out);
// The scenes' first frames as times in seconds, comma-separated, for ffmpeg's -force_key_frames. Each
// time is its frame's rounded down to the microsecond, which ffmpeg's rule (the first frame at or after
// the time) maps to that very frame. Throws std::runtime_error when the stream states no frame rate.
void writeFfmpegKeyframes(const Report& report, const FrameSequence& frames, const TextSink& out);

}  // namespace hdrmeter::clip

#endif
