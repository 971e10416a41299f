// How a setting is named in a message, in the spelling of the front end that asked.
#ifndef HDRMETER_CLIP_REQUEST_RULES_H
#define HDRMETER_CLIP_REQUEST_RULES_H

#include <string>

#include <hdrmeter/clip.h>

namespace hdrmeter::clip {

// "--min-scene-length" as it is, or as the keyword "min_scene_length".
std::string spell(Spelling spelling, const char* option);
// "--threshold 20000" or "threshold=20000".
std::string setting(Spelling spelling, const char* option, const std::string& value);
// A time as --start and --end take it: "12.5" for 12,500,000 microseconds, "3" for 3,000,000.
std::string secondsText(long long microseconds);

// What the analyzer measures each frame with, the transfer and matrix aside (the stream's or the
// request's, known at the first frame).
AnalysisSettings analysisSettingsOf(const Request& request);

}  // namespace hdrmeter::clip

#endif
