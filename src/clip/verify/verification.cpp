#include "verify/verification.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <optional>

#include "metadata/metadata_model.h"
#include "scenes/scene_segments.h"
#include "verify/dovi_checks.h"

namespace hdrmeter::clip {

namespace {

std::string decimal(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

const char* outcomeName(CheckOutcome outcome)
{
    return outcome == CheckOutcome::Pass ? "pass" : outcome == CheckOutcome::Warn ? "warn" : "fail";
}

// A stated light level against the measured one, both in whole nits: below the measured fails, above it by
// more than the margin warns.
VerifyCheck levelCheck(const char* name, const char* label, long long stated, double measuredNits,
                       long long measuredFrame, double marginPercent)
{
    const long long measured = wholeNits(measuredNits);
    const double abovePercent = measured > 0 ? (static_cast<double>(stated - measured) * 100.0 / measured) : 0.0;
    VerifyCheck check{name, CheckOutcome::Pass, "", {}};
    check.figures = {{"stated_nits", static_cast<double>(stated)},
                     {"measured_nits", measuredNits},
                     {"measured_frame", static_cast<double>(measuredFrame)},
                     {"stated_above_percent", abovePercent},
                     {"margin_percent", marginPercent}};
    const std::string figures = "stated " + std::to_string(stated) + " nits, measured " + std::to_string(measured) +
                                " nits at frame " + std::to_string(measuredFrame);
    if (stated < measured) {
        check.outcome = CheckOutcome::Fail;
        check.line = std::string(label) + " is below the picture's: " + figures;
    } else if (abovePercent > marginPercent) {
        check.outcome = CheckOutcome::Warn;
        check.line = std::string(label) + " is " + decimal(abovePercent, 1) + " % above the picture's, more than " +
                     decimal(marginPercent, 1) + " %: " + figures;
    } else {
        check.line = std::string(label) + " describes the picture: " + figures;
    }
    return check;
}

Hdr10PlusValues valuesOf(const FrameStatistics& merged, double meanAverageLightNits)
{
    return hdr10PlusValuesOf(distributionOf(merged), meanAverageLightNits);
}

// The largest deviation of one kind of HDR10+ value over the stated scenes, and how many frames and scenes
// exceed the tolerance.
struct Deviation {
    double codes = -1.0;
    double percent = 0.0;
    long long frame = 0;
    std::uint32_t stated = 0;
    std::uint32_t own = 0;
    long long framesBeyond = 0;
    long long scenesBeyond = 0;

    // One stated scene's values: the pairs (stated, own) of one kind, the scene counted once by its worst.
    // `atMost`: only own values above the stated ones count, for a scene of which only a part was measured.
    template <std::size_t N>
    void offer(const StatedScene& scene, const std::array<std::uint32_t, N>& statedTenths,
               const std::array<std::uint32_t, N>& ownTenths, double tolerance, bool atMost = false,
               std::size_t skipped = N)
    {
        std::size_t worst = N;
        double deviation = -1.0;
        for (std::size_t i = 0; i < N; ++i) {
            double d = std::fabs(pqCode10(statedTenths[i] / 10.0) - pqCode10(ownTenths[i] / 10.0));
            if (atMost && ownTenths[i] <= statedTenths[i])
                d = 0.0;
            if (i != skipped && d > deviation) {
                deviation = d;
                worst = i;
            }
        }
        if (worst == N)
            return;
        if (deviation > tolerance) {
            framesBeyond += scene.cleanFrames;
            ++scenesBeyond;
        }
        if (deviation <= codes)
            return;
        const std::uint32_t stated = statedTenths[worst], own = ownTenths[worst];
        codes = deviation;
        frame = scene.firstFrame;
        this->stated = stated;
        this->own = own;
        percent = std::fabs(static_cast<double>(stated) - own) * 100.0 / std::max<double>(own, 1.0);
    }
};

VerifyCheck deviationCheck(const char* name, const char* label, const Deviation& deviation, double tolerance,
                           long long framesCompared, long long scenesCut)
{
    VerifyCheck check{name, deviation.framesBeyond > 0 ? CheckOutcome::Fail : CheckOutcome::Pass, "", {}};
    check.figures = {{"largest_deviation_pq_codes", std::max(deviation.codes, 0.0)},
                     {"largest_deviation_percent", deviation.percent},
                     {"at_frame", static_cast<double>(deviation.frame)},
                     {"stated_nits", deviation.stated / 10.0},
                     {"measured_nits", deviation.own / 10.0},
                     {"frames_compared", static_cast<double>(framesCompared)},
                     {"frames_beyond", static_cast<double>(deviation.framesBeyond)},
                     {"scenes_beyond", static_cast<double>(deviation.scenesBeyond)},
                     {"scenes_cut_by_range", static_cast<double>(scenesCut)},
                     {"tolerance_pq_codes", tolerance}};
    check.line = std::string(label) + ": at most " + decimal(std::max(deviation.codes, 0.0), 1) + " PQ codes (" +
                 decimal(deviation.percent, 1) + " %) from the picture's, in the stated scene from frame " +
                 std::to_string(deviation.frame) + " (stated " + decimal(deviation.stated / 10.0, 1) + ", measured " +
                 decimal(deviation.own / 10.0, 1) + " nits); " + std::to_string(deviation.framesBeyond) + " of " +
                 std::to_string(framesCompared) + " frames in " + std::to_string(deviation.scenesBeyond) +
                 " stated scenes beyond " + decimal(tolerance, 1) + " codes";
    if (scenesCut > 0)
        check.line += "; " + std::to_string(scenesCut) + (scenesCut == 1 ? " stated scene" : " stated scenes") +
                      " cut by the measured range, checked only for measured peaks above the stated ones";
    return check;
}

// The frames over which the stream states one MaxCLL and MaxFALL, with the peaks of their undamaged frames.
struct LevelRun {
    long long firstFrame = 0;
    ContentLightLevel level;
    double cllNits = 0.0;
    double fallNits = 0.0;
    long long cllFrame = -1;  // -1: no undamaged frame
    long long fallFrame = -1;
};

std::vector<LevelRun> levelRunsOf(const FrameSequence& frames)
{
    std::vector<LevelRun> runs;
    frames([&runs](const FrameRecord& record) {
        if (!record.statedLightLevel)
            return;
        const ContentLightLevel& level = *record.statedLightLevel;
        if (runs.empty() || runs.back().level.maxCllNits != level.maxCllNits ||
            runs.back().level.maxFallNits != level.maxFallNits)
            runs.push_back({record.numbers.frame, level});
        LevelRun& run = runs.back();
        if (record.damaged)
            return;
        if (run.cllFrame < 0 || record.numbers.largestLightNits > run.cllNits) {
            run.cllNits = record.numbers.largestLightNits;
            run.cllFrame = record.numbers.frame;
        }
        if (run.fallFrame < 0 || record.numbers.averageLightNits > run.fallNits) {
            run.fallNits = record.numbers.averageLightNits;
            run.fallFrame = record.numbers.frame;
        }
    });
    return runs;
}

bool sameValues(const StatedHdr10Plus& a, const StatedHdr10Plus& b)
{
    return a.averageRgb == b.averageRgb && a.maxScl == b.maxScl && a.distribution == b.distribution;
}

// How many stated scene starts lie on a cut hdrmeter found once shifted back by `offset`.
long long startsOnCuts(const std::vector<long long>& starts, const std::vector<long long>& cuts, long long offset)
{
    long long count = 0;
    for (long long start : starts)
        count += std::binary_search(cuts.begin(), cuts.end(), start - offset) ? 1 : 0;
    return count;
}

VerifyCheck alignmentCheck(const std::vector<StatedScene>& scenes, const Report& report, Verification& verification)
{
    // The first stated scene starts where the measurement or the metadata starts, not where values change.
    std::vector<long long> starts, cuts;
    for (std::size_t i = 1; i < scenes.size(); ++i)
        starts.push_back(scenes[i].firstFrame);
    for (std::size_t i = 1; i < report.scenes.size(); ++i)
        cuts.push_back(report.scenes[i].firstFrame);
    const long long most = report.request.verifyMaxShift;
    long long best = 0, bestCount = startsOnCuts(starts, cuts, 0);
    for (long long distance = 1; distance <= most && !starts.empty(); ++distance)
        for (long long offset : {distance, -distance}) {
            const long long count = startsOnCuts(starts, cuts, offset);
            if (count > bestCount) {
                bestCount = count;
                best = offset;
            }
        }
    const auto statedStarts = static_cast<long long>(starts.size());
    VerifyCheck alignment{"hdr10plus_scene_alignment", CheckOutcome::Pass, "", {}};
    alignment.figures = {{"offset_frames", static_cast<double>(best)},
                         {"stated_scenes", static_cast<double>(scenes.size())},
                         {"measured_scenes", static_cast<double>(report.scenes.size())},
                         {"stated_scenes_on_cuts", static_cast<double>(bestCount)}};
    const std::string scenesText = "; " + std::to_string(bestCount) + " of its " + std::to_string(statedStarts) +
                                   " changes lie on the " + std::to_string(cuts.size()) + " cuts found" +
                                   (best == 0 ? "" : " once shifted back");
    if (starts.empty()) {
        alignment.outcome = CheckOutcome::Warn;
        alignment.line = "HDR10+ scenes: the stated values do not change over the frames measured, so no shift can be found";
        return alignment;
    }
    if (bestCount == 0) {
        alignment.outcome = CheckOutcome::Warn;
        alignment.line = "HDR10+ scenes: none of the " + std::to_string(statedStarts) +
                         " changes of the stated values lies within " + std::to_string(most) +
                         " frames of a cut found in the picture, so no shift can be found";
        return alignment;
    }
    verification.alignmentOffset = best;
    if (best != 0) {
        alignment.outcome = CheckOutcome::Fail;
        const long long shift = best > 0 ? best : -best;
        alignment.line = "HDR10+ metadata is shifted by " + std::to_string(best) +
                         " frames: each frame carries the values of the frame " + std::to_string(shift) +
                         (best > 0 ? " before it" : " after it") + scenesText;
    } else {
        alignment.line = "HDR10+ metadata lines up with the picture (best offset 0 frames)" + scenesText;
    }
    return alignment;
}

}  // namespace

double pqCode10(double nits)
{
    return pqSignalOfNits(nits) * 1023.0;
}

Verification verificationOf(const Report& report, const FrameSequence& frames,
                            const std::vector<StatedScene>& statedScenes, const MeasuredSpan& span)
{
    const Request& request = report.request;
    const MeasurementSummary& summary = report.summary;
    Verification verification;
    if (summary.framesMeasured() == 0)
        return verification;
    const long long cllFrame = summary.maxCll().firstFrames().front();
    const std::vector<LevelRun> runs = levelRunsOf(frames);
    if (runs.size() > 1) {
        std::string levels;
        for (const LevelRun& run : runs) {
            const std::string from = " from frame " + std::to_string(run.firstFrame);
            levels += (levels.empty() ? "" : ", ") + std::to_string(run.level.maxCllNits) + "/" +
                      std::to_string(run.level.maxFallNits) + from;
            if (run.cllFrame < 0)
                continue;
            if (run.level.maxCllNits > 0)
                verification.checks.push_back(levelCheck("max_cll", ("the stated MaxCLL" + from).c_str(),
                                                         run.level.maxCllNits, run.cllNits, run.cllFrame,
                                                         request.verifyMarginPercent));
            if (run.level.maxFallNits > 0)
                verification.checks.push_back(levelCheck("max_fall", ("the stated MaxFALL" + from).c_str(),
                                                         run.level.maxFallNits, run.fallNits, run.fallFrame,
                                                         request.verifyMarginPercent));
        }
        VerifyCheck change{"light_level_change", CheckOutcome::Warn, "", {}};
        change.figures = {{"stated_levels", static_cast<double>(runs.size())}};
        change.line = "the stated MaxCLL and MaxFALL change part way (" + levels +
                      "): a stream states one pair for all of it";
        verification.checks.push_back(change);
    } else if (report.metadata.lightLevel && report.metadata.lightLevel->maxCllNits > 0)
        verification.checks.push_back(levelCheck("max_cll", "the stated MaxCLL", report.metadata.lightLevel->maxCllNits,
                                                 summary.maxCll().value(), cllFrame, request.verifyMarginPercent));
    if (runs.size() <= 1 && report.metadata.lightLevel && report.metadata.lightLevel->maxFallNits > 0)
        verification.checks.push_back(levelCheck("max_fall", "the stated MaxFALL",
                                                 report.metadata.lightLevel->maxFallNits, summary.maxFall().value(),
                                                 summary.maxFall().firstFrames().front(), request.verifyMarginPercent));
    if (report.metadata.mastering && report.metadata.mastering->maxNits) {
        const double displayNits = *report.metadata.mastering->maxNits;
        const double peak = summary.maxCll().value();
        VerifyCheck check{"mastering_display", peak > displayNits ? CheckOutcome::Fail : CheckOutcome::Pass, "", {}};
        check.figures = {{"display_max_nits", displayNits}, {"measured_nits", peak},
                         {"measured_frame", static_cast<double>(cllFrame)}};
        check.line = std::string(peak > displayNits ? "the picture exceeds the mastering display: "
                                                    : "the picture stays within the mastering display: ") +
                     "MaxCLL " + decimal(peak, 1) + " nits at frame " + std::to_string(cllFrame) + ", display " +
                     decimal(displayNits, 1) + " nits";
        verification.checks.push_back(check);
    }

    addDoviChecks(report, frames, verification);

    // HDR10+: each stated scene against the picture's values over the same frames.
    const double tolerance = request.verifyPqCodes;
    Deviation average, maxScl, distribution;
    long long compared = 0, withDistribution = 0, cut = 0;
    for (std::size_t i = 0; i < statedScenes.size(); ++i) {
        const StatedScene& scene = statedScenes[i];
        verification.statedSceneStarts.push_back(scene.firstFrame);
        if (scene.cleanFrames == 0)
            continue;
        // Values stated for a whole scene say nothing of a part but that its peaks stay within them.
        const bool partOnly = (i == 0 && !span.fromFirstFrame) || (i + 1 == statedScenes.size() && !span.toLastFrame);
        if (partOnly) {
            ++cut;
            maxScl.offer(scene, scene.stated.maxScl, scene.own.maxScl, tolerance, true);
            continue;
        }
        compared += scene.cleanFrames;
        average.offer(scene, std::array<std::uint32_t, 1>{scene.stated.averageRgb},
                      std::array<std::uint32_t, 1>{scene.own.averageRgb}, tolerance);
        maxScl.offer(scene, scene.stated.maxScl, scene.own.maxScl, tolerance);
        if (scene.stated.distribution) {
            withDistribution += scene.cleanFrames;
            // Index 10 is a percent of pixels, not a light.
            distribution.offer(scene, *scene.stated.distribution, scene.own.distribution, tolerance, false, 2);
        }
    }
    if (compared == 0 && cut == 0)
        return verification;
    if (compared > 0)
        verification.checks.push_back(
            deviationCheck("hdr10plus_average_rgb", "HDR10+ AverageRGB", average, tolerance, compared, 0));
    verification.checks.push_back(
        deviationCheck("hdr10plus_max_scl", "HDR10+ MaxScl", maxScl, tolerance, compared, cut));
    if (withDistribution > 0)
        verification.checks.push_back(deviationCheck("hdr10plus_distribution", "HDR10+ distribution", distribution,
                                                     tolerance, withDistribution, 0));
    verification.checks.push_back(alignmentCheck(statedScenes, report, verification));
    return verification;
}

void StatedScenes::add(long long frame, const StatedHdr10Plus& stated, bool damaged, const FrameStatistics& wholePicture)
{
    if (open_ && !sameValues(open_->stated, stated)) {
        closed_.push_back(*open_);
        if (closed_.back().cleanFrames > 0)
            closed_.back().own = valuesOf(merged_, averageLightSum_ / static_cast<double>(closed_.back().cleanFrames));
        open_.reset();
    }
    if (!open_) {
        open_ = StatedScene{frame, frame, 0, stated, {}};
        merged_ = FrameStatistics();
        averageLightSum_ = 0.0;
    }
    open_->lastFrame = frame;
    if (damaged)
        return;
    ++open_->cleanFrames;
    merged_.merge(wholePicture);
    averageLightSum_ += wholePicture.averageLightNits();
}

std::vector<StatedScene> StatedScenes::scenes() const
{
    std::vector<StatedScene> scenes = closed_;
    if (open_) {
        scenes.push_back(*open_);
        if (open_->cleanFrames > 0)
            scenes.back().own = valuesOf(merged_, averageLightSum_ / static_cast<double>(open_->cleanFrames));
    }
    return scenes;
}

nlohmann::ordered_json verifyJson(const Report& report)
{
    if (!report.verification)
        return nullptr;
    const Verification& verification = *report.verification;
    nlohmann::ordered_json json;
    json["passed"] = !verification.failed();
    json["checks"] = nlohmann::ordered_json::array();
    for (const VerifyCheck& check : verification.checks) {
        nlohmann::ordered_json entry = {{"check", check.name}, {"outcome", outcomeName(check.outcome)}, {"line", check.line}};
        for (const auto& [name, value] : check.figures)
            entry[name] = value;
        json["checks"].push_back(entry);
    }
    json["stated_hdr10plus_scene_starts"] = verification.statedSceneStarts;
    json["hdr10plus_offset_frames"] =
        verification.alignmentOffset ? nlohmann::ordered_json(*verification.alignmentOffset) : nlohmann::ordered_json();
    const Request& request = report.request;
    json["tolerances"] = {{"margin_percent", request.verifyMarginPercent},
                          {"pq_codes", request.verifyPqCodes},
                          {"max_shift_frames", request.verifyMaxShift}};
    return json;
}

std::string verifyJsonText(const Report& report)
{
    return verifyJson(report).dump(2) + "\n";
}

std::vector<std::pair<std::string, std::string>> verifyLines(const Report& report)
{
    std::vector<std::pair<std::string, std::string>> lines;
    if (!report.verification)
        return lines;
    if (report.verification->checks.empty())
        lines.emplace_back("verify", "nothing to check: the stream states no light levels, mastering display or HDR10+");
    for (const VerifyCheck& check : report.verification->checks)
        lines.emplace_back(std::string("verify ") + outcomeName(check.outcome), check.line);
    return lines;
}

}  // namespace hdrmeter::clip
