// hdrmeter clip layer: the table of a Request's settings. Each setting is one row: its name, what kind of
// value it takes, the group it is shown in, its range, a one-line help and how its value reads and writes
// as text. Every host builds its interface from the rows: the command-line tool's options and --help, the
// Python module's keywords, the partial result files' keys and the manuals' tables all come from here, and
// validate() checks every row's range. A setting added to Request is a row here and its use.
//
// Names: a row's `name` is the keyword ("peak_pixels"); the command line spells it "--peak-pixels".
//
// Messages: the library's errors and warnings name a setting by a mention (mention("end", "12.5")), which a
// host turns into its own words with spelled(): "--end 12.5" for a command line, "end=12.5" for Python. A
// text without mentions is returned as it is.
#ifndef HDRMETER_SETTINGS_H
#define HDRMETER_SETTINGS_H

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "hdrmeter/clip.h"
#include "hdrmeter/export.h"

namespace hdrmeter::clip {

enum class SettingKind {
    Flag,      // on or off: "true" or "false"
    Whole,     // a whole number
    Decimal,   // a number
    Choice,    // one of `choices`, by name in any letter case
    Time,      // from the first frame: seconds, HH:MM:SS.fff, or a timecode HH:MM:SS:FF at the stream's rate
    Path,      // a file name; "-" is standard input or output where the setting allows it
    Area,      // "auto", "full" or "LEFT,TOP,RIGHT,BOTTOM" in pixels from each edge
    Display,   // a mastering display: "[PRIMARIES,]MAX,MIN" or PRIMARIES
    Size,      // "WIDTHxHEIGHT" in pixels
    Text,      // any text the row checks itself
    FrameList, // first frames, "0,24,100"
};

// Where a host shows the setting, in this order.
enum class SettingGroup { Input, Measurement, AreaAndScenes, Outputs, Metadata, Verify };

struct Setting {
    const char* name;         // "peak_pixels"
    SettingKind kind;
    SettingGroup group;
    const char* valueName;    // "N", "FILE.json"; "" for a flag
    const char* help;         // one line, without the default
    // Shown in place of the default's value ("one per core"); nullptr: the default's own text; "": none.
    const char* defaultText;
    double lowest;            // Whole, Decimal and Time: the range, both ends allowed
    double highest;
    const char* expected;     // what a value must be, for messages: "a whole number of pixels, 0 or more"
    const char* choices;      // Choice: the names joined by '|', "pq|hlg"
    bool offered;             // a host's option or keyword (false: set through the C++ API only)
    bool measured;            // it changes what is measured: partial results keep it and merge compares it
    std::optional<Output> output;  // the file it names, for Path rows of outputs
    // How the row reaches its Request member; call settingText(), setSetting() and resetSetting().
    std::string (*get)(const Request& request);
    void (*set)(Request& request, const Setting& setting, const std::string& text);
    std::optional<double> (*number)(const Request& request);
    void (*reset)(Request& request);
};

// Every setting, in the order hosts show them.
HDRMETER_API const std::vector<Setting>& settings();
// The row named `name`, or nullptr.
HDRMETER_API const Setting* findSetting(const std::string& name);
// The row of `output`'s path.
HDRMETER_API const Setting& outputSetting(Output output);
// Whether merge() reads the setting from MergeRequest::outputs: the files a merge writes (all but the
// partial result and the verification, which partial results cannot give) and the forms of those files
// (dovi_cm_version, pretty). Hosts offer a merge these and no others.
HDRMETER_API bool mergeTakes(const Setting& setting);
// The default's text as a help line shows it, "" for none.
HDRMETER_API std::string defaultText(const Setting& setting);

// The setting's value as text, "" when unset; setSetting() takes it back to the same value (numbers keep
// every digit, choices are their names).
HDRMETER_API std::string settingText(const Request& request, const Setting& setting);
// Sets the setting from text as settingText() writes it or a person types it; a flag takes "true" or
// "false", an optional setting "" for unset. Throws RequestError, mentioning the setting, for text it
// cannot take or a number outside the row's range.
HDRMETER_API void setSetting(Request& request, const Setting& setting, const std::string& text);
// Takes the setting back to Request{}'s value.
HDRMETER_API void resetSetting(Request& request, const Setting& setting);

// A setting named in a message, with the value it was given when there is one. The marks are control
// characters that no message otherwise holds.
HDRMETER_API std::string mention(const std::string& name);
HDRMETER_API std::string mention(const std::string& name, const std::string& value);
// The words a host gives a mentioned setting; `value` is null for a bare mention. Most names are rows of
// settings(); a few belong to other requests (SegmentPlanRequest's "segments" and "segment_seconds",
// MergeRequest's "remeasure").
using SettingSpeller = std::function<std::string(const std::string& name, const std::string* value)>;
// `message` with every mention in the host's words.
HDRMETER_API std::string spelled(const std::string& message, const SettingSpeller& speller);
// The library's own words, for hosts that have none: "peak_pixels=5", "peak_pixels".
HDRMETER_API std::string spelledPlainly(const std::string& message);

}  // namespace hdrmeter::clip

#endif  // HDRMETER_SETTINGS_H
