#include "summary.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <tuple>

#include <hdrmeter/settings.h>

#include "libav/stream_format.h"
#include "output/metadata_json.h"
#include "output/timecode.h"
#include "request_rules.h"
#include "verify/verification.h"

namespace hdrmeter::clip {

namespace {

std::string labelled(const std::string& label, const std::string& text)
{
    return label + std::string(label.size() < 22 ? 22 - label.size() : 1, ' ') + text + "\n";
}

std::string formatFixed(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

}  // namespace

std::vector<std::string> brightestScenes(const Report& report)
{
    const std::vector<SceneResult>& scenes = report.scenes;
    // One scene is the clip itself: its figures are the lines above.
    if (scenes.size() < 2)
        return {};
    std::vector<std::size_t> order(scenes.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    // Stable, so that scenes of equal light keep the order they are shown in.
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        if (scenes[a].maxCllNits != scenes[b].maxCllNits)
            return scenes[a].maxCllNits > scenes[b].maxCllNits;
        return scenes[a].maxFallNits > scenes[b].maxFallNits;
    });
    const std::size_t shown = std::min(scenes.size(), kSummaryScenes);
    std::string heading = std::to_string(shown) + " of " + std::to_string(scenes.size()) + ", by MaxCLL, then MaxFALL";
    if (shown < scenes.size())
        heading += "; " + std::to_string(scenes.size() - shown) + " left out (" + mention("summary_json") +
                   " has every scene)";
    const bool timed = !timecodeOf(0, report.stream.frameRate).empty();
    std::vector<std::string> lines = {labelled("brightest scenes", heading)};
    lines.back().pop_back();
    lines.push_back(std::string("  scene  first frame") + (timed ? "  timecode    " : "") +
                    "  frames  MaxCLL  MaxFALL  average light");
    for (std::size_t rank = 0; rank < shown; ++rank) {
        const SceneResult& scene = scenes[order[rank]];
        char row[200];
        std::snprintf(row, sizeof row, "  %5zu  %11lld%s%s  %6lld  %6lld  %7lld  %13s", order[rank], scene.firstFrame,
                      timed ? "  " : "", timed ? timecodeOf(scene.firstFrame, report.stream.frameRate).c_str() : "",
                      scene.frameCount, wholeNits(scene.maxCllNits), wholeNits(scene.maxFallNits),
                      formatFixed(scene.meanAverageLightNits, 3).c_str());
        lines.emplace_back(row);
    }
    return lines;
}

long long wholeNits(double nits)
{
    return static_cast<long long>(std::floor(nits + 0.5));
}

void FramePeak::offer(long long frame, double value)
{
    if (frameCount_ == 0 || value > value_) {
        value_ = value;
        frameCount_ = 0;
        firstFrames_.clear();
    } else if (value < value_) {
        return;
    }
    ++frameCount_;
    if (firstFrames_.size() < kListedFrames)
        firstFrames_.push_back(frame);
}

std::string FramePeak::describeFrames() const
{
    if (frameCount_ == 0)
        return "no frame";
    if (frameCount_ == 1)
        return "frame " + std::to_string(firstFrames_[0]);
    std::string text = "frames ";
    const long long more = frameCount_ - static_cast<long long>(firstFrames_.size());
    for (std::size_t i = 0; i < firstFrames_.size(); ++i) {
        if (i > 0)
            text += (i + 1 == firstFrames_.size() && more == 0) ? " and " : ", ";
        text += std::to_string(firstFrames_[i]);
    }
    if (more > 0)
        text += " and " + std::to_string(more) + " more";
    return text;
}

void MeasurementSummary::add(const FrameMeasurement& measurement, long long pixels)
{
    if (firstPixels_ < 0)
        firstPixels_ = pixels;
    pixelCountsDiffer_ = pixelCountsDiffer_ || pixels != firstPixels_;
    abovePixelsSum_ += measurement.aboveThresholdPercent * static_cast<double>(pixels);
    pixelsSum_ += static_cast<double>(pixels);
    ++framesMeasured_;
    maxCll_.offer(measurement.frame, measurement.largestLightNits);
    maxFall_.offer(measurement.frame, measurement.averageLightNits);
    if (measurement.aboveThresholdPercent > 0.0)
        ++framesAboveThreshold_;
    aboveThresholdPercentSum_ += measurement.aboveThresholdPercent;
}

double MeasurementSummary::framesAboveThresholdPercent() const
{
    return framesMeasured_ == 0 ? 0.0 : 100.0 * static_cast<double>(framesAboveThreshold_) / framesMeasured_;
}

double MeasurementSummary::pixelsAboveThresholdPercent() const
{
    if (pixelCountsDiffer_)
        return pixelsSum_ == 0.0 ? 0.0 : abovePixelsSum_ / pixelsSum_;
    return framesMeasured_ == 0 ? 0.0 : aboveThresholdPercentSum_ / static_cast<double>(framesMeasured_);
}


std::string describeMasteringDisplay(const MasteringDisplay& display)
{
    std::string text;
    if (display.primaries) {
        const std::array<double, 6>& p = *display.primaries;
        text = "R " + formatFixed(p[0], 4) + " " + formatFixed(p[1], 4) + ", G " + formatFixed(p[2], 4) + " " +
               formatFixed(p[3], 4) + ", B " + formatFixed(p[4], 4) + " " + formatFixed(p[5], 4);
    }
    if (display.whitePoint)
        text += ", white " + formatFixed((*display.whitePoint)[0], 4) + " " + formatFixed((*display.whitePoint)[1], 4);
    if (display.minNits && display.maxNits)
        text += std::string(text.empty() ? "" : ", ") + formatFixed(*display.minNits, 4) + " to " +
                formatFixed(*display.maxNits, 0) + " nits";
    return text;
}

void printSummary(std::ostream& out, const MeasurementSummary& summary, const RunFacts& facts)
{
    char thresholdText[32];
    std::snprintf(thresholdText, sizeof thresholdText, "%g nits", facts.thresholdNits);
    const std::string threshold = thresholdText;
    const auto origin = [](MetadataOrigin from) {
        return from == MetadataOrigin::Container ? " (container)" : " (codec)";
    };
    out << "input                 " << facts.inputName << " (" << facts.formatDescription << ")\n";
    if (!facts.arithmetic.empty())
        out << "arithmetic            " << facts.arithmetic << "\n";
    out << "frames measured       " << summary.framesMeasured() << "\n";
    if (!facts.interruption.empty())
        out << "interrupted           by " << facts.interruption << "; the frames measured before it are summarised\n";
    for (const auto& [label, text] : facts.runLines)
        out << labelled(label, text);
    if (summary.framesMeasured() == 0) {
        out << "MaxCLL                none (no frame was measured)\n";
        out << "MaxFALL               none (no frame was measured)\n";
    } else {
        // The first frame's timecode finds the peak in an editor's timeline.
        const auto where = [&facts](const FramePeak& peak) {
            const std::string timecode = timecodeOf(peak.firstFrames().front(), facts.frameRate);
            if (timecode.empty())
                return peak.describeFrames();
            return peak.describeFrames() + (peak.frameCount() == 1 ? " (" : " (the first at ") + timecode + ")";
        };
        out << "MaxCLL                " << wholeNits(summary.maxCll().value()) << " nits (" << formatFixed(summary.maxCll().value(), 3)
            << ") at " << where(summary.maxCll()) << "\n";
        out << "MaxFALL               " << wholeNits(summary.maxFall().value()) << " nits ("
            << formatFixed(summary.maxFall().value(), 3) << ") at " << where(summary.maxFall()) << "\n";
        for (const auto& [label, text] : facts.peakLines)
            out << labelled(label, text);
        out << "frames above " << threshold << std::string(threshold.size() < 9 ? 9 - threshold.size() : 1, ' ')
            << summary.framesAboveThreshold() << " of " << summary.framesMeasured() << " ("
            << formatFixed(summary.framesAboveThresholdPercent(), 1) << " %)\n";
        out << "pixels above " << threshold << std::string(threshold.size() < 9 ? 9 - threshold.size() : 1, ' ')
            << formatFixed(summary.pixelsAboveThresholdPercent(), 3) << " %\n";
        for (const std::string& line : facts.sceneTable)
            out << line << "\n";
    }
    if (facts.metadata.mastering)
        out << "mastering display     " << describeMasteringDisplay(*facts.metadata.mastering)
            << origin(facts.metadata.masteringOrigin) << "\n";
    if (facts.metadata.lightLevel) {
        const ContentLightLevel& stated = *facts.metadata.lightLevel;
        out << "content light level   MaxCLL " << stated.maxCllNits << " nits, MaxFALL " << stated.maxFallNits
            << " nits" << origin(facts.metadata.lightLevelOrigin) << "\n";
        // Stated levels below the measured ones make displays tone-map too little: worth a flag.
        // 0 is HDR10's "not stated", not a level below the measured one.
        if (summary.framesMeasured() > 0 && stated.maxCllNits > 0 &&
            static_cast<long long>(stated.maxCllNits) < wholeNits(summary.maxCll().value()))
            out << "stated below measured MaxCLL " << stated.maxCllNits << " < " << wholeNits(summary.maxCll().value())
                << " nits measured\n";
        if (summary.framesMeasured() > 0 && stated.maxFallNits > 0 &&
            static_cast<long long>(stated.maxFallNits) < wholeNits(summary.maxFall().value()))
            out << "stated below measured MaxFALL " << stated.maxFallNits << " < " << wholeNits(summary.maxFall().value())
                << " nits measured\n";
    }
    if (facts.elapsedSeconds > 0.0 && summary.framesMeasured() > 0) {
        const double framesPerSecond = summary.framesMeasured() / facts.elapsedSeconds;
        out << "throughput            " << formatFixed(framesPerSecond, 1) << " frames/s, "
            << formatFixed(framesPerSecond * static_cast<double>(facts.pixelsPerFrame) / 1e6, 1) << " Mpixel/s ("
            << formatFixed(facts.elapsedSeconds, 2) << " s)\n";
    }
    for (const auto& [label, text] : facts.closingLines)
        out << labelled(label, text);
    out.flush();
}

namespace {

std::string arithmeticDescription(const Arithmetic& arithmetic)
{
    if (arithmetic.name() == "exact")
        return "exact (ITU-R coefficients, fixed summation, exact ranks)";
    if (arithmetic.name() == "class")
        return "class parity (CHDR_Measurements' coefficients, band summation and percentile ranks)";
    return arithmetic.name();
}

// "3840x1600 at 0,280: 280 rows left out at the top, 280 at the bottom".
std::string describeArea(const StreamFacts& facts, const ActiveArea& area)
{
    std::string text = std::to_string(facts.width - area.left - area.right) + "x" +
                       std::to_string(facts.height - area.top - area.bottom);
    if (area == ActiveArea{})
        return text + ", the whole frame";
    text += " at " + std::to_string(area.left) + "," + std::to_string(area.top) + ":";
    const std::tuple<int, const char*, const char*> edges[] = {
        {area.top, "rows", "top"}, {area.bottom, "rows", "bottom"}, {area.left, "columns", "left"},
        {area.right, "columns", "right"}};
    std::string lastUnit;
    for (const auto& [count, unit, edge] : edges) {
        if (count == 0)
            continue;
        text += lastUnit.empty() ? " " : ", ";
        text += std::to_string(count) + (lastUnit == unit ? "" : std::string(" ") + unit) +
                (lastUnit.empty() ? " left out" : "") + " at the " + edge;
        lastUnit = unit;
    }
    return text;
}

// "3 frames: 4, 9 and 12", "1 frame: 7", "40 frames: 4, 9, 12, 13, 20 and 35 more".
std::string describeFrameList(const std::vector<long long>& frames)
{
    std::string text = std::to_string(frames.size()) + (frames.size() == 1 ? " frame: " : " frames: ");
    const std::size_t listed = std::min<std::size_t>(frames.size(), FramePeak::kListedFrames);
    for (std::size_t i = 0; i < listed; ++i)
        text += (i == 0 ? "" : i + 1 == listed && listed == frames.size() ? " and " : ", ") + std::to_string(frames[i]);
    if (frames.size() > listed)
        text += " and " + std::to_string(frames.size() - listed) + " more";
    return text;
}

// "profile 8.1 (level 1), CM v4.0, 3 shots stated over 36 frames".
std::string describeDolbyVision(const DolbyVisionStatement& dovi)
{
    std::string text;
    if (const std::optional<DolbyVisionConfiguration>& record = dovi.configuration)
        text = "profile " + std::to_string(record->profile) + "." + std::to_string(record->compatibilityId) +
               " (level " + std::to_string(record->level) + ")";
    else
        text = "profile not stated (no configuration record)";
    const auto shots = dovi.shotStarts.size();
    return text + ", CM v" + dovi.cmVersion + ", " + std::to_string(shots) + (shots == 1 ? " shot" : " shots") +
           " stated over " + std::to_string(dovi.frames) + (dovi.frames == 1 ? " frame" : " frames");
}

std::string describeScenes(const Report& report)
{
    const Request& request = report.request;
    const std::string count = std::to_string(report.scenes.size());
    if (!request.sceneCutsFile.empty())
        return count + " (first frames from " + request.sceneCutsFile + ")";
    if (request.sceneCuts)
        return count + " (first frames as given)";
    char threshold[32];
    std::snprintf(threshold, sizeof threshold, "%g", request.sceneThreshold);
    return count + " (cut where a histogram changes by " + threshold + " or more; at least " +
           std::to_string(request.minSceneFrames) + " frames each)";
}

// "scene 2 (frame 40) 48x36 at 8,0; scene 5 (frame 130) 64x28 at 0,4": the scenes whose own content
// lies in a smaller area than the clip's.
std::string describeSceneAreas(const Report& report)
{
    std::string text;
    std::size_t listed = 0, differing = 0;
    for (std::size_t scene = 0; scene < report.scenes.size(); ++scene) {
        const SceneResult& result = report.scenes[scene];
        if (result.area == report.area)
            continue;
        if (++differing > FramePeak::kListedFrames)
            continue;
        ++listed;
        const ActiveArea& area = result.area;
        text += (text.empty() ? "" : "; ") + std::string("scene ") + std::to_string(scene) + " (frame " +
                std::to_string(result.firstFrame) + ") " +
                std::to_string(report.stream.width - area.left - area.right) + "x" +
                std::to_string(report.stream.height - area.top - area.bottom) + " at " + std::to_string(area.left) +
                "," + std::to_string(area.top);
    }
    if (differing > listed)
        text += "; and " + std::to_string(differing - listed) + " more";
    return text;
}

// The frames a run measured: "frames 0 to 29", from its size runs (the frames it kept, damaged ones too).
std::string measuredFrames(const Report& report)
{
    if (report.sizes.empty())
        return "no frame";
    const long long first = report.sizes.front().firstFrame;
    const long long lastRun = report.sizes.back().firstFrame;
    const long long last = lastRun + report.sizes.back().frameCount - 1 +
                           std::count_if(report.missingFrames.begin(), report.missingFrames.end(),
                                         [lastRun](long long frame) { return frame > lastRun; });
    return first == last ? "frame " + std::to_string(first)
                         : "frames " + std::to_string(first) + " to " + std::to_string(last);
}

// The HDR10 lines only where they can be pasted for the whole clip; otherwise a line saying what they
// would describe, or that a segment's part was written instead.
std::vector<std::pair<std::string, std::string>> completeHdr10Lines(const Report& report)
{
    const Request& request = report.request;
    if (report.summary.framesMeasured() == 0)
        return {};
    if (report.ending != Ending::Complete)
        return {{"HDR10 lines", "left out: the run did not finish, so MaxCLL and MaxFALL above are those of " +
                                    measuredFrames(report) + ", not the clip's; measure it to its end for them"}};
    std::string range;
    if (request.start)
        range += " " + mention("start", secondsText(std::llround(*request.start * 1e6)));
    if (request.end)
        range += " " + mention("end", secondsText(std::llround(*request.end * 1e6)));
    if (request.frameLimit)
        range += " " + mention("frames", std::to_string(*request.frameLimit));
    if (!request.partialPath.empty())
        return {{"segment", measuredFrames(report) + " (" + range.substr(range.empty() ? 0 : 1) + ") written to " +
                                request.partialPath + "; merge the parts for the clip's HDR10 lines"}};
    std::vector<std::pair<std::string, std::string>> lines;
    if (!range.empty())
        lines.emplace_back("lines describe", measuredFrames(report) + " only (" + range.substr(1) +
                                                 "), not the whole clip: their MaxCLL and MaxFALL are that part's");
    for (auto& line : hdr10Lines(report))
        lines.push_back(std::move(line));
    return lines;
}

}  // namespace

std::string formatDescription(const StreamFacts& facts)
{
    std::string text;
    if (facts.container != "generated" && !facts.container.empty())
        text = facts.codec + " in " + facts.container + ", ";
    if (facts.width > 0)
        text += std::to_string(facts.width) + "x" + std::to_string(facts.height) + " " +
                pixelFormatDescription(facts) + ", " +
                describeColour(facts.colour, facts.model);
    else
        text += "no frame decoded";
    return text;
}

std::string summaryText(const Report& report)
{
    const StreamFacts& facts = report.stream;
    RunFacts runFacts;
    // A file name may hold control characters; on a terminal they would act, not show.
    runFacts.inputName = facts.inputName;
    for (char& c : runFacts.inputName)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    runFacts.formatDescription = formatDescription(facts);
    runFacts.arithmetic = arithmeticDescription(facts.arithmetic);
    runFacts.thresholdNits = report.request.thresholdNits;
    runFacts.elapsedSeconds = report.elapsedSeconds;
    runFacts.pixelsPerFrame = static_cast<long long>(facts.width - report.area.left - report.area.right) *
                              (facts.height - report.area.top - report.area.bottom);
    runFacts.metadata = report.metadata;
    if (report.sizes.size() > 1) {
        // Frames of several sizes share the area's offsets, not its size.
        std::string sizes;
        for (const Report::SizeRun& run : report.sizes)
            sizes += (sizes.empty() ? "" : ", ") + std::to_string(run.width) + "x" + std::to_string(run.height) +
                     (run.frameCount == 1 ? " frame " + std::to_string(run.firstFrame)
                                          : " frames " + std::to_string(run.firstFrame) + " to " +
                                                std::to_string(run.firstFrame + run.frameCount - 1));
        runFacts.runLines.emplace_back("frame sizes", sizes);
        const ActiveArea& area = report.area;
        runFacts.runLines.emplace_back(
            "active area", area == ActiveArea{} ? "the whole frame of each size (" + mention("active_area") + ")"
                                                : std::to_string(area.left) + "," + std::to_string(area.top) + "," +
                                                      std::to_string(area.right) + "," + std::to_string(area.bottom) +
                                                      " pixels from each edge of each size (" + mention("active_area") + ")");
        runFacts.runLines.emplace_back("scenes", describeScenes(report));
    } else if (facts.width > 0) {
        const bool given = report.request.areaMode != AreaMode::Auto;
        runFacts.runLines.emplace_back("active area", describeArea(facts, report.area) + (given ? " (" + mention("active_area") + ")" : ""));
        // The frame that set each edge: a frame of coding noise that widens the area is found here.
        if (const std::optional<std::array<long long, 4>>& edges = report.areaEdgeFrames)
            runFacts.runLines.emplace_back("area set by", "frame " + std::to_string((*edges)[0]) + " (left), " +
                                                              std::to_string((*edges)[1]) + " (top), " +
                                                              std::to_string((*edges)[2]) + " (right), " +
                                                              std::to_string((*edges)[3]) + " (bottom)");
        runFacts.runLines.emplace_back("scenes", describeScenes(report));
        if (const std::string framed = describeSceneAreas(report); !framed.empty())
            runFacts.runLines.emplace_back("scenes framed apart", framed);
    }
    if (const std::optional<DolbyVisionStatement>& dovi = report.dolbyVision)
        runFacts.runLines.emplace_back("Dolby Vision", describeDolbyVision(*dovi));
    if (report.secondPassFrames > 0) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.2f s", report.secondPassSeconds);
        runFacts.runLines.emplace_back("second pass", "frames 0 to " + std::to_string(report.secondPassFrames - 1) +
                                                          " measured again inside the final area (" + seconds + ")");
    }
    if (report.framesLeftOut > 0)
        runFacts.runLines.emplace_back("left out", std::to_string(report.framesLeftOut) +
                                                       " frames measured before the area was final (" +
                                                       report.leftOutReason + ")");
    if (!report.damagedFrames.empty())
        runFacts.runLines.emplace_back("damaged", describeFrameList(report.damagedFrames) +
                                                      " (measured, left out of every statistic)");
    if (!report.missingFrames.empty())
        runFacts.runLines.emplace_back("missing", describeFrameList(report.missingFrames) +
                                                      " (skipped by the stream's presentation times)");
    if (const std::optional<PeakTrace>& trace = report.maxCllTrace)
        runFacts.peakLines.emplace_back(
            "MaxCLL traced", "frame " + std::to_string(trace->frame) + ", x " + std::to_string(trace->x) + ", y " +
                                 std::to_string(trace->y) + ": the first of " + std::to_string(trace->pixels) +
                                 (trace->pixels == 1 ? " pixel" : " pixels") + " at that light");
    if (const std::optional<RobustPeaks>& robust = report.robustPeaks) {
        char percentiles[96];
        std::snprintf(percentiles, sizeof percentiles, "%gth percentile of each frame's %gth percentile",
                      report.request.robustClipPercent, report.request.robustFramePercent);
        runFacts.peakLines.emplace_back("robust MaxCLL", std::to_string(wholeNits(robust->maxCllNits)) + " nits (" +
                                                             formatFixed(robust->maxCllNits, 3) + "), the " +
                                                             percentiles + " of light");
        std::snprintf(percentiles, sizeof percentiles, "%gth percentile", report.request.robustClipPercent);
        runFacts.peakLines.emplace_back("robust MaxFALL", std::to_string(wholeNits(robust->maxFallNits)) + " nits (" +
                                                              formatFixed(robust->maxFallNits, 3) + "), the " +
                                                              percentiles + " of the frames' average light");
    }
    runFacts.sceneTable = brightestScenes(report);
    runFacts.frameRate = facts.frameRate;
    runFacts.closingLines = verifyLines(report);
    for (auto& line : completeHdr10Lines(report))
        runFacts.closingLines.push_back(std::move(line));
    if (report.ending == Ending::Stopped)
        runFacts.interruption = report.stopReason;
    std::ostringstream text;
    printSummary(text, report.summary, runFacts);
    return text.str();
}

}  // namespace hdrmeter::clip
