// FFmpeg's log as the clip layer keeps it, once a host called captureLibavMessages.
#ifndef HDRMETER_CLIP_LIBAV_MESSAGES_H
#define HDRMETER_CLIP_LIBAV_MESSAGES_H

#include <string>

namespace hdrmeter::clip {

// The last error FFmpeg gave since the last call, as " (hevc: ...)" to add to a failure's reason; empty
// when there was none or the host kept FFmpeg's own log callback.
std::string takeLibavError();

}  // namespace hdrmeter::clip

#endif
