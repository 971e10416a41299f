// measure() driven as a host drives it: settings by their names in the table of settings, files in a
// scratch directory.
#ifndef HDRMETER_TESTS_CLIP_MEASURE_SUPPORT_H
#define HDRMETER_TESTS_CLIP_MEASURE_SUPPORT_H

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include <hdrmeter/clip.h>
#include <hdrmeter/clip_hooks.h>
#include <hdrmeter/settings.h>

#include "test_files.h"

using Settings = std::vector<std::pair<std::string, std::string>>;

// A request of settings by name (a flag's value "true"); a relative path is the scratch directory's.
inline hdrmeter::clip::Request requestIn(const ScratchDirectory& scratch, const Settings& settings)
{
    hdrmeter::clip::Request request;
    for (const auto& [name, value] : settings) {
        const hdrmeter::clip::Setting* setting = hdrmeter::clip::findSetting(name);
        if (!setting) {
            ADD_FAILURE() << "no setting " << name;
            continue;
        }
        const bool relative = setting->kind == hdrmeter::clip::SettingKind::Path && !value.empty() && value != "-" &&
                              value[0] != '/';
        hdrmeter::clip::setSetting(request, *setting, relative ? scratch.file(value) : value);
    }
    return request;
}

// The report, and the summary a person reads with its mentions of settings spelled plainly.
struct Measured {
    hdrmeter::clip::Report report;
    std::string summary;
    // Complete, and every verification check short of a failure.
    bool passed() const
    {
        return report.ending == hdrmeter::clip::Ending::Complete &&
               !(report.verification && report.verification->failed());
    }
    bool warned(const std::string& words) const
    {
        for (const std::string& line : report.warnings)
            if (line.find(words) != std::string::npos)
                return true;
        return false;
    }
};

inline Measured measureIn(const ScratchDirectory& scratch, const Settings& settings)
{
    // As the program's: FFmpeg's lines go to the run whose decoder wrote them, which names damage by them.
    static const bool captured = (hdrmeter::clip::captureLibavMessages({}), true);
    (void)captured;
    Measured measured;
    measured.report = hdrmeter::clip::measure(requestIn(scratch, settings));
    measured.summary = hdrmeter::clip::spelledPlainly(hdrmeter::clip::summaryText(measured.report));
    return measured;
}

// merge() of `parts` (in the scratch directory) into the outputs of `outputs`.
inline Measured mergeIn(const ScratchDirectory& scratch, const Settings& outputs, const std::vector<std::string>& parts,
                        bool remeasure = true)
{
    hdrmeter::clip::MergeRequest merge;
    merge.outputs = requestIn(scratch, outputs);
    for (const std::string& part : parts)
        merge.partials.push_back(scratch.file(part));
    merge.remeasure = remeasure;
    Measured measured;
    measured.report = hdrmeter::clip::merge(merge);
    measured.summary = hdrmeter::clip::spelledPlainly(hdrmeter::clip::summaryText(measured.report));
    return measured;
}

// Standard input taken from a file while it lives, as a shell's `<` gives it.
class StandardInputFrom {
public:
    explicit StandardInputFrom(const std::string& path) : saved_(dup(0))
    {
        const int file = open(path.c_str(), O_RDONLY);
        EXPECT_GE(file, 0) << path;
        EXPECT_EQ(dup2(file, 0), 0);
        close(file);
    }
    StandardInputFrom(const StandardInputFrom&) = delete;
    StandardInputFrom& operator=(const StandardInputFrom&) = delete;
    ~StandardInputFrom()
    {
        dup2(saved_, 0);
        close(saved_);
    }

private:
    int saved_;
};

#endif
