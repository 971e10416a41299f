// Partial results checked against each other, put in order, and replayed as one run.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include <nlohmann/json.hpp>

#include <hdrmeter/clip.h>
#include <hdrmeter/settings.h>

#include "files/output_file.h"
#include "merge_run.h"
#include "partial/partial_file.h"
#include "request_rules.h"

namespace hdrmeter::clip {

namespace {

// The first measurement setting in which the parts differ, or nullptr. Given areas must be the same; a
// part given the area the others found automatically (as the advice to measure a part again says) is
// checked against their union by the merge.
const Setting* settingApart(Request a, Request b)
{
    if (a.areaMode == AreaMode::Given && b.areaMode == AreaMode::Given && !(a.area == b.area))
        return findSetting("active_area");
    for (Request* request : {&a, &b}) {
        request->areaMode = request->areaMode == AreaMode::Given ? AreaMode::Auto : request->areaMode;
        request->area = {};
    }
    for (const Setting& setting : settings())
        if (setting.measured && settingText(a, setting) != settingText(b, setting))
            return &setting;
    return nullptr;
}

bool sameStream(const PartialHeader& a, const PartialHeader& b)
{
    const StreamFacts &x = a.stream, &y = b.stream;
    return a.inputBytes == b.inputBytes && a.inputDigest == b.inputDigest && x.container == y.container && x.codec == y.codec &&
           x.streamIndex == y.streamIndex && x.width == y.width && x.height == y.height && x.bitDepth == y.bitDepth &&
           x.layout == y.layout && x.range == y.range && x.model == y.model && x.colour.transfer == y.colour.transfer &&
           x.colour.matrix == y.colour.matrix;
}

std::string areaText(const ActiveArea& area)
{
    return std::to_string(area.left) + "," + std::to_string(area.top) + "," + std::to_string(area.right) + "," +
           std::to_string(area.bottom);
}

bool inputAtHand(const PartialHeader& header)
{
    struct stat input {};
    return header.request.input != "-" && header.inputBytes >= 0 && stat(header.request.input.c_str(), &input) == 0 &&
           static_cast<long long>(input.st_size) == header.inputBytes &&
           inputDigestOf(header.request.input) == header.inputDigest;
}

// Every measurement setting of `request` a host can give that is not the default, so that a part measured
// again is measured as the others were. The area is the merge's to give.
std::string measurementOptions(const Request& request)
{
    const Request defaults;
    std::string text;
    for (const Setting& setting : settings()) {
        if (!setting.measured || !setting.offered || setting.name == std::string("active_area"))
            continue;
        const std::string value = settingText(request, setting);
        if (value == settingText(defaults, setting))
            continue;
        text += " " + (setting.kind == SettingKind::Flag ? mention(setting.name) : mention(setting.name, value));
    }
    return text;
}

// "part1.hmp" measured again: "part1.again.hmp", beside it, so that the good part is kept.
std::string againPath(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    const std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot == 0 || (slash != std::string::npos && dot < slash + 2))
        return path + ".again";
    return path.substr(0, dot) + ".again" + path.substr(dot);
}

std::string segmentOptions(const PartialHeader& header)
{
    std::string text;
    if (header.startMicroseconds)
        text += " " + mention("start", secondsText(*header.startMicroseconds));
    if (header.endMicroseconds)
        text += " " + mention("end", secondsText(*header.endMicroseconds));
    return text;
}

// Partial results of parts measured again, in $TMPDIR, removed when the merge is over.
class Temporaries {
public:
    Temporaries() = default;
    Temporaries(const Temporaries&) = delete;
    Temporaries& operator=(const Temporaries&) = delete;
    ~Temporaries()
    {
        for (const std::string& path : paths_)
            std::remove(path.c_str());
    }
    // Throws InputError naming `what` when no file can be made.
    const std::string& make(const std::string& what)
    {
        const char* folder = std::getenv("TMPDIR");
        std::string path = std::string(folder && *folder ? folder : "/tmp") + "/hdrmeter-remeasure-XXXXXX";
        const int descriptor = mkstemp(path.data());
        if (descriptor < 0)
            throw InputError("cannot make a temporary file in " + path.substr(0, path.rfind('/')) + " to measure " +
                             what + " again; set TMPDIR to a folder that can be written");
        close(descriptor);
        paths_.push_back(path);
        return paths_.back();
    }

private:
    std::vector<std::string> paths_;
};

// Measures the part again inside `area`, with its own request otherwise, into a temporary partial file
// that the merge then reads its frames from. Unset when the merge's host stopped it.
std::optional<PartialResult> remeasure(const PartialResult& part, const ActiveArea& area, Temporaries& temporaries,
                                       StopRequest* stop)
{
    Request request = part.header.request;
    request.areaMode = AreaMode::Given;
    request.area = area;
    request.keepFrames = false;
    request.partialPath = temporaries.make(part.path);
    // The host's progress shows the merge's own replay; its stop request stops this too.
    Report report;
    try {
        report = measure(request, nullptr, stop);
    } catch (const InputError&) {
        if (stop && stop->requested())
            return std::nullopt;
        throw;
    }
    if (report.ending == Ending::Stopped)
        return std::nullopt;
    PartialResult again;
    try {
        if (report.ending != Ending::Complete)
            throw std::invalid_argument(report.failure.empty() ? "it did not complete" : report.failure);
        again = readPartial(request.partialPath);
    } catch (const std::invalid_argument& error) {
        throw InputError("measuring " + part.path + " again inside " + areaText(area) + " failed: " + error.what());
    }
    again.header.request = part.header.request;
    return again;
}

}  // namespace

Report merge(const MergeRequest& merge, Observer* observer, StopRequest* stop)
{
    if (merge.outputs.verify || !merge.outputs.verifyJsonPath.empty())
        throw RequestError(mention("verify") + " compares the stream's HDR10+ metadata, which partial results "
                           "do not keep: verify the whole file in one run");
    if (merge.partials.empty())
        throw RequestError("give the partial results to merge (files written with " + mention("partial") + ")");
    std::vector<PartialResult> parts;
    for (const std::string& path : merge.partials) {
        try {
            parts.push_back(readPartial(path));
        } catch (const std::invalid_argument& error) {
            throw RequestError(path + " " + error.what());
        }
    }
    // Checked before anything is measured again: a part or the film named as an output, in any spelling,
    // would be replaced by what is made from it.
    std::vector<ReadFile> inputs;
    for (const PartialResult& part : parts) {
        if (const auto file = identityOf(part.path))
            inputs.push_back({part.path + ", a part being merged", *file});
        if (const auto file = identityOf(part.header.request.input))
            inputs.push_back({part.header.request.input + ", the file the parts were measured from", *file});
    }
    std::vector<std::pair<std::string, std::string>> outputPaths;
    for (const OutputSpec& entry : outputTable())
        if (entry.output != Output::Partial && !(merge.outputs.*entry.path).empty())
            outputPaths.emplace_back(entry.setting, merge.outputs.*entry.path);
    checkOutputsApart(outputPaths, inputs);
    const PartialResult& first = parts.front();
    for (const PartialResult& part : parts) {
        if (!sameStream(part.header, first.header))
            throw RequestError(part.path + " is of another input than " + first.path + " (" + part.header.stream.inputName +
                               " against " + first.header.stream.inputName + "): merge the parts of one file");
        if (const Setting* apart = settingApart(part.header.request, first.header.request))
            throw RequestError(part.path + " was measured with " +
                               mention(apart->name, settingText(part.header.request, *apart)) + " and " + first.path +
                               " with " + mention(apart->name, settingText(first.header.request, *apart)) +
                               ": measure every segment with the same settings");
    }
    std::stable_sort(parts.begin(), parts.end(), [](const PartialResult& a, const PartialResult& b) {
        return a.header.startMicroseconds.value_or(0) < b.header.startMicroseconds.value_or(0);
    });
    const auto startOf = [](const PartialResult& part) { return part.header.startMicroseconds.value_or(0); };
    if (startOf(parts.front()) != 0)
        throw RequestError("the first part, " + parts.front().path + ", starts at " +
                           secondsText(startOf(parts.front())) + " s: the segment from 0 s is missing");
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        const PartialHeader& header = parts[i].header;
        const PartialResult& next = parts[i + 1];
        if (!header.endMicroseconds || *header.endMicroseconds > startOf(next))
            throw RequestError(parts[i].path + " and " + next.path + " overlap (" + parts[i].path + " ends at " +
                               (header.endMicroseconds ? secondsText(*header.endMicroseconds) + " s" : "the end") +
                               ", " + next.path + " starts at " + secondsText(startOf(next)) +
                               " s): merge segments that follow each other");
        if (*header.endMicroseconds < startOf(next))
            throw RequestError("the segment from " + secondsText(*header.endMicroseconds) + " s to " +
                               secondsText(startOf(next)) + " s is missing, between " + parts[i].path + " and " +
                               next.path + ": measure it with " +
                               mention("start", secondsText(*header.endMicroseconds)) + " " +
                               mention("end", secondsText(startOf(next))) + " " + mention("partial", "FILE"));
        if (header.inputEnded)
            throw RequestError(parts[i].path + " reached the end of the input, yet " + next.path + " starts after it: "
                               "merge segments that follow each other");
    }
    const PartialHeader& last = parts.back().header;
    if (!last.inputEnded)
        throw RequestError("the last part, " + parts.back().path + ", ends at " + secondsText(*last.endMicroseconds) +
                           " s and the input goes on: the segment from there to the end is missing");

    Temporaries temporaries;
    const auto automatic = std::find_if(parts.begin(), parts.end(), [](const PartialResult& part) {
        return part.header.request.areaMode == AreaMode::Auto;
    });
    const auto given = std::find_if(parts.begin(), parts.end(), [](const PartialResult& part) {
        return part.header.request.areaMode == AreaMode::Given;
    });
    // The merged run is an automatic one when any part is.
    const Request base = automatic != parts.end() ? automatic->header.request : first.header.request;
    Request request = base;
    request.start.reset();
    request.end.reset();
    request.keepFrames = merge.outputs.keepFrames;
    request.doviCmVersion = merge.outputs.doviCmVersion;
    for (const OutputSpec& entry : outputTable())
        request.*entry.path = entry.output == Output::Partial ? std::string() : merge.outputs.*entry.path;
    if (automatic != parts.end()) {
        // The clip's area is the union of the parts': the smallest offsets.
        ActiveArea area = parts.front().header.area;
        for (const PartialResult& part : parts) {
            const ActiveArea& own = part.header.area;
            area = {std::min(area.left, own.left), std::min(area.top, own.top), std::min(area.right, own.right),
                    std::min(area.bottom, own.bottom)};
        }
        if (given != parts.end() && !(given->header.area == area))
            throw RequestError(given->path + " was measured inside the given area " + areaText(given->header.area) +
                               ", other parts found the clip's area " + areaText(area) + " automatically: measure " +
                               given->path + " again with " + mention("active_area", areaText(area)) +
                               ", or every part with the same area");
        std::string commands, replaced;
        for (PartialResult& part : parts) {
            if (part.header.area == area)
                continue;
            if (merge.remeasure && inputAtHand(part.header)) {
                std::optional<PartialResult> again = remeasure(part, area, temporaries, stop);
                if (!again) {
                    // Stopped before the merge began: no output is written rather than outputs of no frame.
                    Report stopped;
                    stopped.request = request;
                    stopped.ending = Ending::Stopped;
                    stopped.stopReason = stop && stop->requested() ? stop->reason() : "the host";
                    return stopped;
                }
                part = std::move(*again);
                continue;
            }
            commands += std::string(commands.empty() ? "" : "; ") + mention("input", part.header.request.input) +
                        segmentOptions(part.header) + measurementOptions(part.header.request) + " " +
                        mention("active_area", areaText(area)) + " " + mention("partial", againPath(part.path));
            replaced += std::string(replaced.empty() ? "" : ", ") + againPath(part.path) + " for " + part.path;
        }
        if (!commands.empty())
            throw RequestError("some parts saw less of the picture than the clip's active area " + areaText(area) +
                               " and were measured inside a smaller one; measure them again inside it, then merge "
                               "with " + replaced + ": " + commands);
    }

    auto partials = std::make_shared<PartialResults>(std::move(parts));
    return measurePartials(request, std::move(partials), observer, stop);
}

}  // namespace hdrmeter::clip
