// hdrmeter's clip layer: the two process-wide settings it never makes by itself. A host (the command-line
// tool, say) that owns its process calls them once at start; a library host that owns neither its signal
// handlers nor FFmpeg's log leaves them out and gets the safe behaviour each comment names.
#ifndef HDRMETER_CLIP_HOOKS_H
#define HDRMETER_CLIP_HOOKS_H

#include <functional>
#include <string>

#include <hdrmeter/export.h>

namespace hdrmeter::clip {

// Installs a SIGBUS handler for the whole process, for good, so that YUV4MPEG2 and raw video in a regular
// file can be measured where the page cache holds it (mapped, not copied): a file that another program
// cuts short under a mapped frame then ends the run before that frame, instead of killing the process.
// A SIGBUS that is not about such a frame goes on to the handler that was there before. Call it once,
// before the first clip is opened, from a host that owns its signal handlers. Without it no file is
// mapped: those frames are read through libavformat's packets, which a cut-short file cannot crash, at
// the cost of one copy of each frame. Calling it again changes nothing.
HDRMETER_API void installMappedReadGuard();

// One line of FFmpeg's log, without its line break: level is FFmpeg's (AV_LOG_ERROR is 16, lower is
// worse), line names the FFmpeg component that wrote it, "hevc: ...".
using LibavMessageSink = std::function<void(int level, const std::string& line)>;

// Replaces FFmpeg's log callback for the whole process (av_log_set_callback), so that FFmpeg no longer
// writes to standard error. Lines about a run's input go to that run alone: its last error is added, in
// brackets, to the reason it gives for failing, and its warnings and errors reach its Observer
// (ffmpegMessage). A non-empty sink gets the other lines at or above FFmpeg's log level
// (av_log_set_level), from whichever thread FFmpeg wrote them on, one call at a time; an empty sink drops
// them, which is what a program with one-line error messages wants. Call it before the
// first clip is opened, again to change the sink. Without it FFmpeg keeps its own callback, which writes
// to standard error, and failures carry no FFmpeg message.
HDRMETER_API void captureLibavMessages(LibavMessageSink sink);

}  // namespace hdrmeter::clip

#endif  // HDRMETER_CLIP_HOOKS_H
