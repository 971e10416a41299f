// The summary for machines: the light levels, where they are, the area, the scenes and the stream's word.
#include "output/metadata_json.h"
#include "output/timecode.h"

namespace hdrmeter::clip {

namespace {

nlohmann::ordered_json pairOrNull(const std::optional<std::array<double, 2>>& pair)
{
    return pair ? nlohmann::ordered_json::array({(*pair)[0], (*pair)[1]}) : nlohmann::ordered_json();
}

// Raised when a member changes shape, so that a reader can tell the forms apart: "scenes" held bare first
// frames before it held objects.
constexpr int kSummaryFormatVersion = 2;

nlohmann::ordered_json numberOrNull(const std::optional<double>& value)
{
    return value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json();
}

}  // namespace

nlohmann::ordered_json summaryJson(const Report& report)
{
    const StreamFacts& facts = report.stream;
    const ActiveArea& area = report.area;
    const MeasurementSummary& summary = report.summary;
    const bool measured = summary.framesMeasured() > 0;
    nlohmann::ordered_json json;
    json["format_version"] = kSummaryFormatVersion;
    json["frames"] = summary.framesMeasured();
    json["max_cll_nits"] = summary.maxCll().value();
    json["max_fall_nits"] = summary.maxFall().value();
    json["max_cll"] = wholeNits(summary.maxCll().value());
    json["max_fall"] = wholeNits(summary.maxFall().value());
    json["max_cll_frame"] = measured ? nlohmann::ordered_json(summary.maxCll().firstFrames().front()) : nullptr;
    json["max_fall_frame"] = measured ? nlohmann::ordered_json(summary.maxFall().firstFrames().front()) : nullptr;
    json["max_cll_trace"] = nullptr;
    if (const std::optional<PeakTrace>& trace = report.maxCllTrace)
        json["max_cll_trace"] = {{"frame", trace->frame},
                                 {"x", trace->x},
                                 {"y", trace->y},
                                 {"pixels", trace->pixels},
                                 {"most_pixels_in_a_frame", trace->mostPixels}};
    json["robust_peaks"] = nullptr;
    if (const std::optional<RobustPeaks>& robust = report.robustPeaks)
        json["robust_peaks"] = {{"max_cll_nits", robust->maxCllNits},
                                {"max_fall_nits", robust->maxFallNits},
                                {"max_cll", wholeNits(robust->maxCllNits)},
                                {"max_fall", wholeNits(robust->maxFallNits)},
                                {"frame_percentile", report.request.robustFramePercent},
                                {"clip_percentile", report.request.robustClipPercent}};
    json["metadata_light_levels"] = carriedLightLevels(report).robust ? "robust" : "measured";
    json["active_area"] = {{"left", area.left},
                           {"top", area.top},
                           {"right", area.right},
                           {"bottom", area.bottom},
                           {"width", facts.width > 0 ? facts.width - area.left - area.right : 0},
                           {"height", facts.height > 0 ? facts.height - area.top - area.bottom : 0}};
    json["scenes"] = nlohmann::ordered_json::array();
    for (const SceneResult& scene : report.scenes) {
        const std::string timecode = timecodeOf(scene.firstFrame, facts.frameRate);
        json["scenes"].push_back({{"first_frame", scene.firstFrame},
                                  {"timecode", timecode.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(timecode)},
                                  {"frames", scene.frameCount},
                                  {"max_cll_nits", scene.maxCllNits},
                                  {"max_fall_nits", scene.maxFallNits},
                                  {"max_cll", wholeNits(scene.maxCllNits)},
                                  {"max_fall", wholeNits(scene.maxFallNits)},
                                  {"average_light_nits", scene.meanAverageLightNits}});
    }
    // Each scene's own content, beside "scenes"; the statistics are still those of "active_area".
    json["scene_active_areas"] = nlohmann::ordered_json::array();
    for (const SceneResult& scene : report.scenes)
        json["scene_active_areas"].push_back(
            {{"left", scene.area.left},
             {"top", scene.area.top},
             {"right", scene.area.right},
             {"bottom", scene.area.bottom},
             {"width", facts.width > 0 ? facts.width - scene.area.left - scene.area.right : 0},
             {"height", facts.height > 0 ? facts.height - scene.area.top - scene.area.bottom : 0}});
    json["colour_model"] = facts.model == ColourModel::Rgb ? "rgb" : "ycbcr";
    json["bit_depth"] = facts.bitDepth;
    json["float_samples"] = facts.floatSamples;
    json["transfer"] = facts.colour.transfer == Transfer::Hlg ? "hlg" : "pq";
    json["matrix"] = facts.colour.matrix == Matrix::Bt709 ? "bt709" : "bt2020";
    json["coefficients"] = facts.arithmetic.name();
    const StaticMetadata& stream = report.metadata;
    if (stream.mastering || stream.lightLevel) {
        nlohmann::ordered_json stated;
        stated["mastering_display"] = nullptr;
        if (stream.mastering) {
            const MasteringDisplay& display = *stream.mastering;
            nlohmann::ordered_json primaries;
            if (display.primaries) {
                const std::array<double, 6>& p = *display.primaries;
                primaries = {{"red", {p[0], p[1]}}, {"green", {p[2], p[3]}}, {"blue", {p[4], p[5]}}};
            }
            stated["mastering_display"] = {{"primaries", primaries},
                                           {"white_point", pairOrNull(display.whitePoint)},
                                           {"min_nits", numberOrNull(display.minNits)},
                                           {"max_nits", numberOrNull(display.maxNits)}};
        }
        stated["content_light_level"] = nullptr;
        if (stream.lightLevel)
            stated["content_light_level"] = {{"max_cll", stream.lightLevel->maxCllNits},
                                             {"max_fall", stream.lightLevel->maxFallNits}};
        json["stream_metadata"] = stated;
    } else {
        json["stream_metadata"] = nullptr;
    }
    json["dolby_vision"] = nullptr;
    if (const std::optional<DolbyVisionStatement>& dovi = report.dolbyVision) {
        nlohmann::ordered_json configuration;
        if (const std::optional<DolbyVisionConfiguration>& record = dovi->configuration)
            configuration = {{"profile", record->profile},
                             {"level", record->level},
                             {"compatibility_id", record->compatibilityId}};
        json["dolby_vision"] = {{"configuration", configuration},
                                {"cm_version", dovi->cmVersion},
                                {"frames", dovi->frames},
                                {"stated_shots", dovi->shotStarts.size()},
                                {"stated_shot_starts", dovi->shotStarts}};
    }
    json["interrupted"] = report.ending == Ending::Stopped;
    if (report.sizes.size() > 1) {
        json["frame_sizes"] = nlohmann::ordered_json::array();
        for (const Report::SizeRun& run : report.sizes)
            json["frame_sizes"].push_back({{"width", run.width},
                                           {"height", run.height},
                                           {"first_frame", run.firstFrame},
                                           {"frames", run.frameCount}});
    }
    if (report.request.acceptDamaged) {
        json["damaged_frames"] = report.damagedFrames;
        json["missing_frames"] = report.missingFrames;
    }
    return json;
}

std::string summaryJsonText(const Report& report)
{
    return summaryJson(report).dump(2) + "\n";
}

}  // namespace hdrmeter::clip
