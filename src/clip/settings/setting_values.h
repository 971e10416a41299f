// Values as the table of settings reads and writes them: numbers that keep every digit, times, areas,
// mastering displays. Each parser throws RequestError whose message mentions the setting and its text.
#ifndef HDRMETER_CLIP_SETTING_VALUES_H
#define HDRMETER_CLIP_SETTING_VALUES_H

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <hdrmeter/clip.h>

namespace hdrmeter::clip {

// The shortest text that reads back as the same double: "203", "0.0001", "99.99".
std::string exactText(double value);
// A time as --start and --end take it: "12.5" for 12,500,000 microseconds, "3" for 3,000,000.
std::string secondsText(long long microseconds);

// `text` as the setting's kind takes it; `name` and `expected` word the refusal.
bool flagOf(const std::string& name, const std::string& text);
long long wholeOf(const std::string& name, const std::string& text, const char* expected);
double decimalOf(const std::string& name, const std::string& text, const char* expected);
// Seconds, or a timecode: "90.5", "1:30.5", "00:01:30.500"; the whole text is refused with `expected`.
double secondsOf(const std::string& name, const std::string& text, const char* expected);
// A time as the segment's bounds take it: what secondsOf() takes, or a timecode "HH:MM:SS:FF" ("HH:MM:SS;FF"
// for drop-frame counting).
ClipTime clipTimeOf(const std::string& name, const std::string& text, const char* expected);
std::string clipTimeText(const ClipTime& time);
// The bound `time` sets, in microseconds after the first frame's time, for a stream of `frameRate` frames a
// second (numerator, denominator; unset when its rate is not constant). A timecode's bound is half a frame
// before the frame it names. Throws RequestError, mentioning `name`, for a timecode the rate cannot count.
long long boundMicroseconds(const std::string& name, const ClipTime& time,
                            const std::optional<std::pair<int, int>>& frameRate);
// A segment's bounds from its optional start and end, each as boundMicroseconds() sets it. Throws
// RequestError when the end does not come after the start, saying where the start lies at that rate.
std::pair<std::optional<long long>, std::optional<long long>> segmentBounds(
    const std::optional<ClipTime>& start, const std::optional<ClipTime>& end,
    const std::optional<std::pair<int, int>>& frameRate);
void setArea(Request& request, const std::string& text);
std::string areaText(const Request& request);
MasteringLuminance displayOf(const std::string& text);
std::string displayText(const MasteringLuminance& display);
std::vector<long long> framesOf(const std::string& name, const std::string& text);

}  // namespace hdrmeter::clip

#endif
