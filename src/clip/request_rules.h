// What the clip layer derives from a request.
#ifndef HDRMETER_CLIP_REQUEST_RULES_H
#define HDRMETER_CLIP_REQUEST_RULES_H

#include <string>

#include <hdrmeter/clip.h>
#include <hdrmeter/settings.h>

#include "settings/setting_values.h"

namespace hdrmeter::clip {


// What the analyzer measures each frame with, the transfer and matrix aside (the stream's or the
// request's, known at the first frame).
AnalysisSettings analysisSettingsOf(const Request& request);

}  // namespace hdrmeter::clip

#endif
