// One HTML page a QC engineer can hand over: the clip and its settings, the plot, a row per scene, the
// frame of MaxCLL, the verification, the HDR10 lines and the warnings. It stands alone (pictures inline,
// no script or font from elsewhere), so it reads the same mailed, archived or opened offline.
#ifndef HDRMETER_CLIP_HTML_REPORT_H
#define HDRMETER_CLIP_HTML_REPORT_H

#include <string>

#include <hdrmeter/clip.h>

#include "output/peak_picture.h"
#include "writing.h"

namespace hdrmeter::clip {

// `peak` is the frame of MaxCLL when the run kept one (a merge replays no pixels); the page says so when
// it is missing. `plotSvgText` is the run's plot.
void writeHtmlReport(const Report& report, const FrameSequence& frames, const std::string& plotSvgText,
                     const PeakPicture* peak, const TextSink& out);

// Standard base64 with padding, for pictures inside the page.
std::string base64Of(const std::string& bytes);

}  // namespace hdrmeter::clip

#endif
