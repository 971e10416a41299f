#include "verify/verification.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>

#include "output/metadata_json.h"
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

// hdrmeter's own HDR10+ values for one scene, in the stream's units (0.1 nit; index 10 a whole percent).
struct SceneValues {
    std::uint32_t averageRgb = 0;
    std::array<std::uint32_t, 3> maxScl{};
    std::array<std::uint32_t, 9> distribution{};
};

SceneValues sceneValuesOf(const SceneResult& scene)
{
    SceneValues values;
    values.averageRgb = static_cast<std::uint32_t>(tenthsOfNits(scene.meanAverageLightNits));
    if (scene.distribution) {
        for (std::size_t c = 0; c < 3; ++c)
            values.maxScl[c] = static_cast<std::uint32_t>(tenthsOfNits(scene.distribution->largestChannelNits[c]));
        for (std::size_t i = 0; i < 9; ++i)
            values.distribution[i] = static_cast<std::uint32_t>(
                i == 2 ? std::llround(scene.distribution->values[i]) : tenthsOfNits(scene.distribution->values[i]));
    }
    return values;
}

// The largest deviation of one kind of HDR10+ value over the frames, and how many frames and scenes
// exceed the tolerance.
struct Deviation {
    double codes = -1.0;
    double percent = 0.0;
    long long frame = 0;
    std::uint32_t stated = 0;
    std::uint32_t own = 0;
    long long framesBeyond = 0;
    std::vector<long long> scenesBeyond;

    // One frame's values: the pairs (stated, own) of one kind, the frame counted once by its worst.
    template <std::size_t N>
    void offer(long long frame, long long scene, const std::array<std::uint32_t, N>& statedTenths,
               const std::array<std::uint32_t, N>& ownTenths, double tolerance, std::size_t skipped = N)
    {
        std::size_t worst = N;
        double deviation = -1.0;
        for (std::size_t i = 0; i < N; ++i) {
            const double d = std::fabs(pqCode10(statedTenths[i] / 10.0) - pqCode10(ownTenths[i] / 10.0));
            if (i != skipped && d > deviation) {
                deviation = d;
                worst = i;
            }
        }
        if (deviation > tolerance) {
            ++framesBeyond;
            if (scenesBeyond.empty() || scenesBeyond.back() != scene)
                scenesBeyond.push_back(scene);
        }
        if (deviation <= codes)
            return;
        const std::uint32_t stated = statedTenths[worst], own = ownTenths[worst];
        codes = deviation;
        this->frame = frame;
        this->stated = stated;
        this->own = own;
        percent = std::fabs(static_cast<double>(stated) - own) * 100.0 / std::max<double>(own, 1.0);
    }
};

VerifyCheck deviationCheck(const char* name, const char* label, const Deviation& deviation, double tolerance,
                           long long framesCompared)
{
    VerifyCheck check{name, deviation.framesBeyond > 0 ? CheckOutcome::Fail : CheckOutcome::Pass, "", {}};
    check.figures = {{"largest_deviation_pq_codes", deviation.codes},
                     {"largest_deviation_percent", deviation.percent},
                     {"at_frame", static_cast<double>(deviation.frame)},
                     {"stated_nits", deviation.stated / 10.0},
                     {"measured_nits", deviation.own / 10.0},
                     {"frames_compared", static_cast<double>(framesCompared)},
                     {"frames_beyond", static_cast<double>(deviation.framesBeyond)},
                     {"scenes_beyond", static_cast<double>(deviation.scenesBeyond.size())},
                     {"tolerance_pq_codes", tolerance}};
    check.line = std::string(label) + ": at most " + decimal(deviation.codes, 1) + " PQ codes (" +
                 decimal(deviation.percent, 1) + " %) from hdrmeter's, at frame " + std::to_string(deviation.frame) +
                 " (stated " + decimal(deviation.stated / 10.0, 1) + ", measured " + decimal(deviation.own / 10.0, 1) +
                 " nits); " + std::to_string(deviation.framesBeyond) + " of " + std::to_string(framesCompared) +
                 " frames in " + std::to_string(deviation.scenesBeyond.size()) + " scenes beyond " +
                 decimal(tolerance, 1) + " codes";
    return check;
}

bool sameValues(const StatedHdr10Plus& a, const StatedHdr10Plus& b)
{
    return a.averageRgb == b.averageRgb && a.maxScl == b.maxScl && a.distribution == b.distribution;
}

// The offset o in -most..most whose shifted own values (frame f against hdrmeter's frame f - o) lie
// nearest the stated ones in PQ, nearest 0 among equals; unset when no offset leaves half the stated
// frames to compare.
std::optional<long long> bestOffset(const std::vector<double>& stated, const std::vector<bool>& present,
                                    const std::vector<double>& own, long long most)
{
    const auto count = static_cast<long long>(stated.size());
    const long long statedFrames = std::count(present.begin(), present.end(), true);
    std::optional<long long> best;
    double bestCost = std::numeric_limits<double>::infinity();
    for (long long distance = 0; distance <= most; ++distance)
        for (long long offset : {distance, -distance}) {
            if (distance == 0 && offset < 0)
                continue;
            double sum = 0.0;
            long long compared = 0;
            for (long long i = std::max(0LL, offset); i < count && i - offset < count; ++i)
                if (present[i]) {
                    sum += std::fabs(stated[i] - own[i - offset]);
                    ++compared;
                }
            if (compared == 0 || compared * 2 < statedFrames)
                continue;
            const double cost = sum / compared;
            if (cost < bestCost) {
                bestCost = cost;
                best = offset;
            }
        }
    return best;
}

}  // namespace

double pqCode10(double nits)
{
    return pqSignalOfNits(nits) * 1023.0;
}

Verification verificationOf(const Report& report, const FrameSequence& frames)
{
    const Request& request = report.request;
    const MeasurementSummary& summary = report.summary;
    Verification verification;
    if (summary.framesMeasured() == 0)
        return verification;
    const long long cllFrame = summary.maxCll().firstFrames().front();
    if (report.metadata.lightLevel && report.metadata.lightLevel->maxCllNits > 0)
        verification.checks.push_back(levelCheck("max_cll", "the stated MaxCLL", report.metadata.lightLevel->maxCllNits,
                                                 summary.maxCll().value(), cllFrame, request.verifyMarginPercent));
    if (report.metadata.lightLevel && report.metadata.lightLevel->maxFallNits > 0)
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

    // HDR10+: every undamaged frame against its scene's own values.
    std::vector<SceneValues> sceneValues;
    for (const SceneResult& scene : report.scenes)
        sceneValues.push_back(sceneValuesOf(scene));
    Deviation average, maxScl, distribution;
    long long compared = 0, withDistribution = 0;
    std::vector<double> statedPq, ownPq;
    std::vector<bool> present;
    std::vector<long long> frameNumbers;
    std::optional<StatedHdr10Plus> previous;
    frames([&](const FrameRecord& record) {
        const auto scene = static_cast<std::size_t>(record.numbers.scene);
        const SceneValues& own = sceneValues.at(scene);
        const std::optional<StatedHdr10Plus>& stated = record.statedHdr10Plus;
        frameNumbers.push_back(record.numbers.frame);
        ownPq.push_back(pqCode10(own.averageRgb / 10.0));
        present.push_back(stated && !record.damaged);
        statedPq.push_back(stated ? pqCode10(stated->averageRgb / 10.0) : 0.0);
        if (stated && (!previous || !sameValues(*previous, *stated)))
            verification.statedSceneStarts.push_back(record.numbers.frame);
        previous = stated;
        if (!stated || record.damaged)
            return;
        ++compared;
        const double tolerance = request.verifyPqCodes;
        const long long frame = record.numbers.frame;
        average.offer(frame, record.numbers.scene, std::array<std::uint32_t, 1>{stated->averageRgb},
                      std::array<std::uint32_t, 1>{own.averageRgb}, tolerance);
        maxScl.offer(frame, record.numbers.scene, stated->maxScl, own.maxScl, tolerance);
        if (stated->distribution) {
            ++withDistribution;
            // Index 10 is a percent of pixels, not a light.
            distribution.offer(frame, record.numbers.scene, *stated->distribution, own.distribution, tolerance, 2);
        }
    });
    if (compared == 0)
        return verification;
    const double tolerance = request.verifyPqCodes;
    verification.checks.push_back(
        deviationCheck("hdr10plus_average_rgb", "HDR10+ AverageRGB", average, tolerance, compared));
    verification.checks.push_back(deviationCheck("hdr10plus_max_scl", "HDR10+ MaxScl", maxScl, tolerance, compared));
    if (withDistribution > 0)
        verification.checks.push_back(deviationCheck("hdr10plus_distribution", "HDR10+ distribution", distribution,
                                                     tolerance, withDistribution));

    verification.alignmentOffset = bestOffset(statedPq, present, ownPq, request.verifyMaxShift);
    VerifyCheck alignment{"hdr10plus_scene_alignment", CheckOutcome::Pass, "", {}};
    std::vector<long long> cuts;
    for (const SceneResult& scene : report.scenes)
        cuts.push_back(scene.firstFrame);
    const long long offset = verification.alignmentOffset.value_or(0);
    long long onCuts = 0;
    for (long long start : verification.statedSceneStarts)
        onCuts += std::binary_search(cuts.begin(), cuts.end(), std::max(0LL, start - offset)) ? 1 : 0;
    const auto starts = static_cast<long long>(verification.statedSceneStarts.size());
    alignment.figures = {{"offset_frames", static_cast<double>(offset)},
                         {"stated_scenes", static_cast<double>(starts)},
                         {"measured_scenes", static_cast<double>(cuts.size())},
                         {"stated_scenes_on_cuts", static_cast<double>(onCuts)}};
    const std::string scenes = "; " + std::to_string(onCuts) + " of its " + std::to_string(starts) +
                               " scene starts lie on the " + std::to_string(cuts.size()) + " scenes found" +
                               (offset == 0 ? "" : " once shifted back");
    if (!verification.alignmentOffset) {
        alignment.outcome = CheckOutcome::Warn;
        alignment.line = "HDR10+ scenes: too few frames carry HDR10+ metadata to align it";
    } else if (offset != 0) {
        alignment.outcome = CheckOutcome::Fail;
        const long long shift = offset > 0 ? offset : -offset;
        alignment.line = "HDR10+ metadata is shifted by " + std::to_string(offset) + " frames: each frame carries the values of the frame " +
                         std::to_string(shift) + (offset > 0 ? " before it" : " after it") + scenes;
    } else {
        alignment.line = "HDR10+ metadata lines up with the picture (best offset 0 frames)" + scenes;
    }
    verification.checks.push_back(alignment);
    return verification;
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
