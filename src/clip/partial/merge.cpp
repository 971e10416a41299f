// Partial results checked against each other, put in order, and replayed as one run.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include <nlohmann/json.hpp>

#include <hdrmeter/clip.h>

#include "partial/merge_run.h"
#include "partial/partial_file.h"
#include "request_rules.h"

namespace hdrmeter::clip {

namespace {

// The settings a merge needs alike in every part: the measurement, not where it lay or what it wrote.
bool measuredAlike(Request a, Request b)
{
    for (Request* request : {&a, &b}) {
        request->input.clear();
        request->start.reset();
        request->end.reset();
        request->tasks = 0;
        request->keepFrames = true;
        request->areaMode = request->areaMode == AreaMode::Given ? AreaMode::Auto : request->areaMode;
        request->area = {};
        for (const OutputSpec& entry : outputTable())
            (request->*entry.path).clear();
    }
    return a == b;
}

bool sameStream(const PartialHeader& a, const PartialHeader& b)
{
    const StreamFacts &x = a.stream, &y = b.stream;
    return a.inputBytes == b.inputBytes && x.container == y.container && x.codec == y.codec &&
           x.streamIndex == y.streamIndex && x.width == y.width && x.height == y.height && x.bitDepth == y.bitDepth &&
           x.layout == y.layout && x.range == y.range && x.colour.transfer == y.colour.transfer &&
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
           static_cast<long long>(input.st_size) == header.inputBytes;
}

std::string segmentOptions(const PartialHeader& header)
{
    std::string text;
    if (header.startMicroseconds)
        text += " --start " + secondsText(*header.startMicroseconds);
    if (header.endMicroseconds)
        text += " --end " + secondsText(*header.endMicroseconds);
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
// that the merge then reads its frames from.
PartialResult remeasure(const PartialResult& part, const ActiveArea& area, Spelling spelling, Temporaries& temporaries)
{
    Request request = part.header.request;
    request.areaMode = AreaMode::Given;
    request.area = area;
    request.keepFrames = false;
    request.partialPath = temporaries.make(part.path);
    const Report report = measure(request, spelling);
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

Report merge(const MergeRequest& merge, Spelling spelling, Observer* observer, StopRequest* stop)
{
    if (merge.outputs.verify || !merge.outputs.verifyJsonPath.empty())
        throw RequestError(spell(spelling, "--verify") + " compares the stream's HDR10+ metadata, which partial results "
                           "do not keep: verify the whole file in one run");
    if (merge.partials.empty())
        throw RequestError("give the partial results to merge (files written with --partial)");
    std::vector<PartialResult> parts;
    for (const std::string& path : merge.partials) {
        try {
            parts.push_back(readPartial(path));
        } catch (const std::invalid_argument& error) {
            throw RequestError(path + " " + error.what());
        }
    }
    const PartialResult& first = parts.front();
    for (const PartialResult& part : parts) {
        if (!sameStream(part.header, first.header))
            throw RequestError(part.path + " is of another input than " + first.path + " (" + part.header.stream.inputName +
                               " against " + first.header.stream.inputName + "): merge the parts of one file");
        if (!measuredAlike(part.header.request, first.header.request))
            throw RequestError(part.path + " was measured with other settings than " + first.path +
                               ": measure every segment with the same options");
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
                               setting(spelling, "--start", secondsText(*header.endMicroseconds)) +
                               (spelling == Spelling::CommandLine ? " " : ", ") +
                               setting(spelling, "--end", secondsText(startOf(next))) +
                               (spelling == Spelling::CommandLine ? " " : ", ") +
                               setting(spelling, "--partial", "FILE"));
        if (header.inputEnded)
            throw RequestError(parts[i].path + " reached the end of the input, yet " + next.path + " starts after it: "
                               "merge segments that follow each other");
    }
    const PartialHeader& last = parts.back().header;
    if (!last.inputEnded)
        throw RequestError("the last part, " + parts.back().path + ", ends at " + secondsText(*last.endMicroseconds) +
                           " s and the input goes on: the segment from there to the end is missing");

    Temporaries temporaries;
    if (first.header.request.areaMode == AreaMode::Auto) {
        // The clip's area is the union of the parts': the smallest offsets.
        ActiveArea area = parts.front().header.area;
        for (const PartialResult& part : parts) {
            const ActiveArea& own = part.header.area;
            area = {std::min(area.left, own.left), std::min(area.top, own.top), std::min(area.right, own.right),
                    std::min(area.bottom, own.bottom)};
        }
        std::string commands;
        for (PartialResult& part : parts) {
            if (part.header.area == area)
                continue;
            if (merge.remeasure && inputAtHand(part.header)) {
                part = remeasure(part, area, spelling, temporaries);
                continue;
            }
            commands += std::string(commands.empty() ? "" : "; ") + "hdrmeter " + part.header.request.input +
                        segmentOptions(part.header) + " --active-area " + areaText(area) + " --partial " + part.path;
        }
        if (!commands.empty())
            throw RequestError("some parts saw less of the picture than the clip's active area " + areaText(area) +
                               " and were measured inside a smaller one; measure them again inside it, then merge: " +
                               commands);
    }

    Request request = first.header.request;
    request.start.reset();
    request.end.reset();
    request.keepFrames = merge.outputs.keepFrames;
    request.doviCmVersion = merge.outputs.doviCmVersion;
    for (const OutputSpec& entry : outputTable())
        request.*entry.path = entry.output == Output::Partial ? std::string() : merge.outputs.*entry.path;
    auto partials = std::make_shared<PartialResults>(std::move(parts));
    return measurePartials(request, std::move(partials), spelling, observer, stop);
}

}  // namespace hdrmeter::clip
