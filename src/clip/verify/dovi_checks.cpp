#include "verify/dovi_checks.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

namespace hdrmeter::clip {

namespace {

// A generator clamps Level 1 from any input but its XML to these bounds (12-bit PQ codes); a stated value
// that differs from the picture's only by such a clamp is as near the picture as the generator lets it be.
constexpr int kMostMinPq = 12;
constexpr int kLeastMaxPq = 2081;
constexpr int kLeastAvgPqV40 = 1229;
constexpr int kLeastAvgPqV29 = 819;

std::string decimal(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string areaText(int left, int right, int top, int bottom)
{
    return "(" + std::to_string(left) + ", " + std::to_string(right) + ", " + std::to_string(top) + ", " +
           std::to_string(bottom) + ")";
}

// One stated shot: a run of frames with the same Level 1, and the picture over those frames.
struct Shot {
    long long firstFrame = 0;
    long long lastFrame = 0;
    StatedDolbyVision::Level1 level1;
    std::optional<StatedDolbyVision::Level5> level5;
    long long measuredFrames = 0;  // undamaged
    double smallestPq = std::numeric_limits<double>::infinity();  // PQ signal
    double largestPq = 0.0;
    double meanPqSum = 0.0;
    long long firstScene = 0;
    long long lastScene = 0;
};

struct Gathered {
    std::vector<Shot> shots;
    std::optional<StatedDolbyVision::Level6> level6;
    std::string cmVersion;
    long long framesStated = 0;
    // The first frame, in each picture scene, where the stated Level 1 changes inside the scene.
    std::vector<std::pair<long long, long long>> changesInScenes;  // (scene, frame)
};

Gathered gather(const FrameSequence& frames)
{
    Gathered gathered;
    std::optional<StatedDolbyVision::Level1> previous;
    long long previousScene = -1;
    frames([&](const FrameRecord& record) {
        const auto& stated = record.statedDolbyVision;
        const long long scene = record.numbers.scene;
        if (!stated || !stated->level1) {
            previous.reset();
            previousScene = scene;
            return;
        }
        ++gathered.framesStated;
        if (gathered.cmVersion.empty())
            gathered.cmVersion = stated->cmVersion;
        if (!gathered.level6 && stated->level6)
            gathered.level6 = stated->level6;
        const StatedDolbyVision::Level1& level1 = *stated->level1;
        if (!previous || *previous != level1) {
            if (previous && previousScene == scene &&
                (gathered.changesInScenes.empty() || gathered.changesInScenes.back().first != scene))
                gathered.changesInScenes.emplace_back(scene, record.numbers.frame);
            Shot shot;
            shot.firstFrame = record.numbers.frame;
            shot.level1 = level1;
            shot.level5 = stated->level5;
            shot.firstScene = scene;
            gathered.shots.push_back(shot);
        }
        Shot& shot = gathered.shots.back();
        shot.lastFrame = record.numbers.frame;
        shot.lastScene = scene;
        if (!record.damaged) {
            ++shot.measuredFrames;
            shot.smallestPq = std::min(shot.smallestPq, record.smallestPqLight);
            shot.largestPq = std::max(shot.largestPq, record.largestPqLight);
            shot.meanPqSum += record.meanPqLight;
        }
        previous = level1;
        previousScene = scene;
    });
    return gathered;
}

// The value a generator would state for a measured one, once its clamps are applied.
struct Clamped {
    double minPq, avgPq, maxPq;
};
Clamped clampedLevel1(double minPq, double avgPq, double maxPq, bool version29)
{
    const double clampedMax = std::max(maxPq, static_cast<double>(kLeastMaxPq));
    const double clampedAvg =
        std::min(std::max(avgPq, static_cast<double>(version29 ? kLeastAvgPqV29 : kLeastAvgPqV40)), clampedMax - 1.0);
    return {std::min(minPq, static_cast<double>(kMostMinPq)), clampedAvg, clampedMax};
}

VerifyCheck level1Check(const std::vector<Shot>& shots, bool version29, double tolerance)
{
    long long beyond = 0, compared = 0;
    double largest = -1.0;
    const Shot* worstShot = nullptr;
    const char* worstName = "";
    int worstStated = 0;
    double worstMeasured = 0.0;
    for (const Shot& shot : shots) {
        if (shot.measuredFrames == 0)
            continue;
        ++compared;
        const double measured[3] = {pqCode12Real(shot.smallestPq),
                                    pqCode12Real(shot.meanPqSum / static_cast<double>(shot.measuredFrames)),
                                    pqCode12Real(shot.largestPq)};
        const Clamped clamped = clampedLevel1(measured[0], measured[1], measured[2], version29);
        const double clampedValues[3] = {clamped.minPq, clamped.avgPq, clamped.maxPq};
        const int stated[3] = {shot.level1.minPq, shot.level1.avgPq, shot.level1.maxPq};
        static const char* const kNames[3] = {"min_pq", "avg_pq", "max_pq"};
        bool shotBeyond = false;
        for (int i = 0; i < 3; ++i) {
            const double deviation =
                std::min(std::fabs(stated[i] - measured[i]), std::fabs(stated[i] - clampedValues[i]));
            shotBeyond = shotBeyond || deviation > tolerance;
            if (deviation > largest) {
                largest = deviation;
                worstShot = &shot;
                worstName = kNames[i];
                worstStated = stated[i];
                worstMeasured = measured[i];
            }
        }
        beyond += shotBeyond ? 1 : 0;
    }
    VerifyCheck check{"dovi_level1", beyond > 0 ? CheckOutcome::Fail : CheckOutcome::Pass, "", {}};
    if (!worstShot) {
        check.outcome = CheckOutcome::Warn;
        check.line = "Dolby Vision Level 1: no undamaged frame to compare it with";
        return check;
    }
    check.figures = {{"largest_deviation_pq12_codes", largest},
                     {"at_shot_first_frame", static_cast<double>(worstShot->firstFrame)},
                     {"stated_pq12", static_cast<double>(worstStated)},
                     {"measured_pq12", worstMeasured},
                     {"shots_compared", static_cast<double>(compared)},
                     {"shots_beyond", static_cast<double>(beyond)},
                     {"tolerance_pq12_codes", tolerance}};
    check.line = "Dolby Vision Level 1: " + std::to_string(beyond) + " of " + std::to_string(compared) +
                 " stated shots further than " + decimal(tolerance, 1) +
                 " 12-bit PQ codes from the picture (a generator's clamps allowed); the largest, " +
                 decimal(largest, 1) + " codes, is the " + worstName + " of the shot at frame " +
                 std::to_string(worstShot->firstFrame) + ": stated " + std::to_string(worstStated) + ", measured " +
                 decimal(worstMeasured, 1);
    return check;
}

VerifyCheck inScenesCheck(const Gathered& gathered, std::size_t sceneCount)
{
    const auto changed = static_cast<long long>(gathered.changesInScenes.size());
    VerifyCheck check{"dovi_level1_in_scenes", changed > 0 ? CheckOutcome::Fail : CheckOutcome::Pass, "", {}};
    check.figures = {{"scenes", static_cast<double>(sceneCount)}, {"scenes_with_changes", static_cast<double>(changed)}};
    if (changed == 0) {
        check.line = "Dolby Vision Level 1 stays the same inside each of the picture's " + std::to_string(sceneCount) +
                     " scenes";
        return check;
    }
    const auto& [scene, frame] = gathered.changesInScenes.front();
    check.figures.emplace_back("first_change_frame", static_cast<double>(frame));
    check.line = "Dolby Vision Level 1 changes inside " + std::to_string(changed) + " of the picture's " +
                 std::to_string(sceneCount) + " scenes; the first at frame " + std::to_string(frame) + ", inside scene " +
                 std::to_string(scene);
    return check;
}

VerifyCheck alignmentCheck(const std::vector<Shot>& shots, const std::vector<SceneResult>& scenes, long long mostShift)
{
    std::vector<long long> cuts, starts;
    for (std::size_t i = 1; i < scenes.size(); ++i)
        cuts.push_back(scenes[i].firstFrame);
    for (std::size_t i = 1; i < shots.size(); ++i)
        starts.push_back(shots[i].firstFrame);
    const auto matches = [&](long long offset) {
        long long count = 0;
        for (long long start : starts)
            count += std::binary_search(cuts.begin(), cuts.end(), start - offset) ? 1 : 0;
        return count;
    };
    long long best = 0, bestMatches = matches(0);
    for (long long distance = 1; distance <= mostShift; ++distance)
        for (long long offset : {distance, -distance})
            if (const long long m = matches(offset); m > bestMatches) {
                best = offset;
                bestMatches = m;
            }
    VerifyCheck check{"dovi_shot_alignment", best != 0 ? CheckOutcome::Fail : CheckOutcome::Pass, "", {}};
    check.figures = {{"offset_frames", static_cast<double>(best)},
                     {"stated_shots", static_cast<double>(shots.size())},
                     {"measured_scenes", static_cast<double>(scenes.size())},
                     {"stated_cuts_on_cuts", static_cast<double>(bestMatches)}};
    const std::string counts = std::to_string(bestMatches) + " of the " + std::to_string(starts.size()) +
                               " stated shot boundaries lie on the picture's " + std::to_string(cuts.size()) + " cuts";
    if (best != 0) {
        const long long shift = best > 0 ? best : -best;
        check.line = "Dolby Vision shots are shifted by " + std::to_string(best) + " frames: each stated shot starts " +
                     std::to_string(shift) + (best > 0 ? " frames after" : " frames before") +
                     " the picture's cut; " + counts + " once shifted back";
    } else if (starts.empty()) {
        check.line = "Dolby Vision states one shot; the picture has " + std::to_string(cuts.size()) + " cuts";
    } else {
        check.line = "Dolby Vision shots line up with the picture's cuts: " + counts;
    }
    return check;
}

VerifyCheck blackCheck(const std::vector<Shot>& shots, double tolerance)
{
    long long wrong = 0;
    const Shot* first = nullptr;
    for (const Shot& shot : shots)
        if (shot.level1.minPq == 0 && shot.level1.avgPq == 0 && shot.level1.maxPq == 0 && shot.measuredFrames > 0 &&
            pqCode12Real(shot.largestPq) > tolerance) {
            ++wrong;
            first = first ? first : &shot;
        }
    VerifyCheck check{"dovi_level1_black", wrong > 0 ? CheckOutcome::Fail : CheckOutcome::Pass, "", {}};
    check.figures = {{"shots_stated_black_not_black", static_cast<double>(wrong)}};
    if (first) {
        check.figures.emplace_back("at_shot_first_frame", static_cast<double>(first->firstFrame));
        check.line = "Dolby Vision Level 1 states " + std::to_string(wrong) +
                     " shots black (0, 0, 0) that are not: the first at frame " + std::to_string(first->firstFrame) +
                     ", whose largest light is " + decimal(pqCode12Real(first->largestPq), 1) + " 12-bit PQ codes";
    } else {
        check.line = "no Dolby Vision shot is stated black (Level 1 of 0, 0, 0) that is not";
    }
    return check;
}

VerifyCheck level5Check(const std::vector<Shot>& shots, const Report& report)
{
    long long wrong = 0, compared = 0;
    const Shot* first = nullptr;
    ActiveArea firstMeasured;
    for (const Shot& shot : shots) {
        // The shot's area is the union of those of the picture's scenes it spans.
        const auto lo = static_cast<std::size_t>(std::max(0LL, shot.firstScene));
        const auto hi = std::min(static_cast<std::size_t>(std::max(0LL, shot.lastScene)), report.scenes.size() - 1);
        if (report.scenes.empty() || lo > hi)
            continue;
        ActiveArea area = report.scenes[lo].area;
        for (std::size_t s = lo + 1; s <= hi; ++s) {
            const ActiveArea& other = report.scenes[s].area;
            area.left = std::min(area.left, other.left);
            area.right = std::min(area.right, other.right);
            area.top = std::min(area.top, other.top);
            area.bottom = std::min(area.bottom, other.bottom);
        }
        ++compared;
        const StatedDolbyVision::Level5 stated = shot.level5.value_or(StatedDolbyVision::Level5{});
        const StatedDolbyVision::Level5 measured{area.left, area.right, area.top, area.bottom};
        if (!(stated == measured)) {
            ++wrong;
            if (!first) {
                first = &shot;
                firstMeasured = area;
            }
        }
    }
    VerifyCheck check{"dovi_level5", wrong > 0 ? CheckOutcome::Fail : CheckOutcome::Pass, "", {}};
    check.figures = {{"shots_compared", static_cast<double>(compared)}, {"shots_differing", static_cast<double>(wrong)}};
    if (first) {
        const StatedDolbyVision::Level5 stated = first->level5.value_or(StatedDolbyVision::Level5{});
        check.figures.emplace_back("at_shot_first_frame", static_cast<double>(first->firstFrame));
        check.line = "Dolby Vision Level 5 differs from the measured active area on " + std::to_string(wrong) + " of " +
                     std::to_string(compared) + " shots; the first at frame " + std::to_string(first->firstFrame) +
                     ": stated (left, right, top, bottom) " +
                     (first->level5 ? areaText(stated.left, stated.right, stated.top, stated.bottom)
                                    : std::string("nothing")) +
                     ", measured " +
                     areaText(firstMeasured.left, firstMeasured.right, firstMeasured.top, firstMeasured.bottom);
    } else {
        check.line = "Dolby Vision Level 5 matches each of the " + std::to_string(compared) + " shots' measured area";
    }
    return check;
}

// A Level 6 light level against the measured one: below it fails, above it by more than the margin warns.
VerifyCheck level6LightCheck(const char* name, const char* label, int stated, double measuredNits, double margin)
{
    const long long measured = wholeNits(measuredNits);
    const double abovePercent = measured > 0 ? static_cast<double>(stated - measured) * 100.0 / measured : 0.0;
    VerifyCheck check{name, CheckOutcome::Pass, "", {}};
    check.figures = {{"stated_nits", static_cast<double>(stated)},
                     {"measured_nits", measuredNits},
                     {"stated_above_percent", abovePercent},
                     {"margin_percent", margin}};
    const std::string figures = "stated " + std::to_string(stated) + " nits, measured " + std::to_string(measured) + " nits";
    if (stated < measured) {
        check.outcome = CheckOutcome::Fail;
        check.line = std::string(label) + " is below the picture's: " + figures;
    } else if (abovePercent > margin) {
        check.outcome = CheckOutcome::Warn;
        check.line = std::string(label) + " is " + decimal(abovePercent, 1) + " % above the picture's, more than " +
                     decimal(margin, 1) + " %: " + figures;
    } else {
        check.line = std::string(label) + " describes the picture: " + figures;
    }
    return check;
}

}  // namespace

double pqCode12Real(double signal)
{
    return signal * 4095.0;
}

std::optional<DolbyVisionStatement> doviStatementOf(const StreamFacts& stream, const FrameSequence& frames)
{
    DolbyVisionStatement statement;
    std::optional<StatedDolbyVision::Level1> previous;
    frames([&](const FrameRecord& record) {
        const auto& stated = record.statedDolbyVision;
        if (!stated) {
            previous.reset();
            return;
        }
        ++statement.frames;
        if (statement.cmVersion.empty())
            statement.cmVersion = stated->cmVersion;
        if (stated->level1 && (!previous || *previous != *stated->level1))
            statement.shotStarts.push_back(record.numbers.frame);
        previous = stated->level1;
    });
    if (statement.frames == 0)
        return std::nullopt;
    statement.configuration = stream.doviConfiguration;
    return statement;
}

void addDoviChecks(const Report& report, const FrameSequence& frames, Verification& verification)
{
    const Gathered gathered = gather(frames);
    if (gathered.shots.empty())
        return;
    const Request& request = report.request;
    // --verify-pq-codes counts 10-bit codes; Level 1 is in 12-bit ones.
    const double tolerance = request.verifyPqCodes * 4095.0 / 1023.0;
    std::vector<VerifyCheck>& checks = verification.checks;
    checks.push_back(level1Check(gathered.shots, gathered.cmVersion == "2.9", tolerance));
    checks.push_back(inScenesCheck(gathered, report.scenes.size()));
    checks.push_back(alignmentCheck(gathered.shots, report.scenes, request.verifyMaxShift));
    checks.push_back(blackCheck(gathered.shots, tolerance));
    checks.push_back(level5Check(gathered.shots, report));
    if (!gathered.level6)
        return;
    const StatedDolbyVision::Level6& level6 = *gathered.level6;
    const MeasurementSummary& summary = report.summary;
    if (summary.framesMeasured() > 0) {
        checks.push_back(level6LightCheck("dovi_level6_max_cll", "Dolby Vision Level 6 MaxCLL", level6.maxCllNits,
                                          summary.maxCll().value(), request.verifyMarginPercent));
        checks.push_back(level6LightCheck("dovi_level6_max_fall", "Dolby Vision Level 6 MaxFALL", level6.maxFallNits,
                                          summary.maxFall().value(), request.verifyMarginPercent));
    }
    if (const std::optional<ContentLightLevel>& hdr10 = report.metadata.lightLevel) {
        const bool same = static_cast<unsigned>(level6.maxCllNits) == hdr10->maxCllNits &&
                          static_cast<unsigned>(level6.maxFallNits) == hdr10->maxFallNits;
        VerifyCheck check{"dovi_level6_hdr10", same ? CheckOutcome::Pass : CheckOutcome::Fail, "", {}};
        check.figures = {{"stated_max_cll", static_cast<double>(level6.maxCllNits)},
                         {"stated_max_fall", static_cast<double>(level6.maxFallNits)},
                         {"hdr10_max_cll", static_cast<double>(hdr10->maxCllNits)},
                         {"hdr10_max_fall", static_cast<double>(hdr10->maxFallNits)}};
        check.line = std::string("Dolby Vision Level 6 MaxCLL and MaxFALL ") + (same ? "match" : "differ from") +
                     " the HDR10 metadata's: " + std::to_string(level6.maxCllNits) + " and " +
                     std::to_string(level6.maxFallNits) + " nits against " + std::to_string(hdr10->maxCllNits) +
                     " and " + std::to_string(hdr10->maxFallNits);
        checks.push_back(check);
    }
    if (const std::optional<MasteringDisplay>& display = report.metadata.mastering;
        display && display->maxNits && display->minNits) {
        const long long maxNits = std::llround(*display->maxNits);
        const long long minUnits = std::llround(*display->minNits * 10000.0);
        const bool same = level6.maxDisplayNits == maxNits && level6.minDisplayTenThousandths == minUnits;
        VerifyCheck check{"dovi_level6_display", same ? CheckOutcome::Pass : CheckOutcome::Fail, "", {}};
        check.figures = {{"stated_max_nits", static_cast<double>(level6.maxDisplayNits)},
                         {"stated_min_nits", level6.minDisplayTenThousandths / 10000.0},
                         {"hdr10_max_nits", *display->maxNits},
                         {"hdr10_min_nits", *display->minNits}};
        check.line = std::string("Dolby Vision Level 6's mastering display ") + (same ? "matches" : "differs from") +
                     " the HDR10 mastering display: " + std::to_string(level6.maxDisplayNits) + " and " +
                     decimal(level6.minDisplayTenThousandths / 10000.0, 4) + " nits against " +
                     decimal(*display->maxNits, 0) + " and " + decimal(*display->minNits, 4);
        checks.push_back(check);
    }
}

}  // namespace hdrmeter::clip
