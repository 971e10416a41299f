#include "output/metadata_json.h"

#include <charconv>
#include <cmath>
#include <stdexcept>

namespace hdrmeter::clip {

namespace {

// HDR10+ luminance distribution: index 1 the 1st percentile of maxRGB light, 5 the 99.99th, 10 the
// percent of pixels at or below 100 nits, then the 25th to 95th percentiles, and 99 the 99.98th.
constexpr int kDistributionIndex[] = {1, 5, 10, 25, 50, 75, 90, 95, 99};
constexpr double kDistributionPercentile[] = {1.0, 99.99, 0.0, 25.0, 50.0, 75.0, 90.0, 95.0, 99.98};
constexpr double kDistributionDarkNits = 100.0;

nlohmann::ordered_json pairOrNull(const std::optional<std::array<double, 2>>& pair)
{
    return pair ? nlohmann::ordered_json::array({(*pair)[0], (*pair)[1]}) : nlohmann::ordered_json();
}

nlohmann::ordered_json numberOrNull(const std::optional<double>& value)
{
    return value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json();
}

// x265's units: chromaticities in 0.00002, luminance in 0.0001 cd/m2.
std::string x265MasterDisplay(const MasteringDisplay& display)
{
    const auto unit = [](double value, double step) { return std::to_string(std::llround(value / step)); };
    const std::array<double, 6>& p = *display.primaries;
    const auto point = [&](double x, double y) { return "(" + unit(x, 0.00002) + "," + unit(y, 0.00002) + ")"; };
    return "G" + point(p[2], p[3]) + "B" + point(p[4], p[5]) + "R" + point(p[0], p[1]) + "WP" +
           point((*display.whitePoint)[0], (*display.whitePoint)[1]) + "L(" + unit(*display.maxNits, 0.0001) + "," +
           unit(*display.minNits, 0.0001) + ")";
}

}  // namespace

MasteringLuminance masteringLuminanceOf(const StaticMetadata& stream, const std::optional<MasteringLuminance>& option)
{
    if (option)
        return *option;
    if (stream.mastering && stream.mastering->maxNits && stream.mastering->minNits)
        return {*stream.mastering->maxNits, *stream.mastering->minNits, false};
    return {};
}

long long tenthsOfNits(double nits)
{
    return std::min(100000LL, static_cast<long long>(std::floor(nits * 10.0 + 0.5)));
}

long long pqCode12(double signal)
{
    return static_cast<long long>(std::floor(signal * 4095.0 + 0.5));
}

nlohmann::ordered_json summaryJson(const Report& report)
{
    const StreamFacts& facts = report.stream;
    const ActiveArea& area = report.area;
    const MeasurementSummary& summary = report.summary;
    const bool measured = summary.framesMeasured() > 0;
    nlohmann::ordered_json json;
    json["frames"] = summary.framesMeasured();
    json["max_cll_nits"] = summary.maxCll().value();
    json["max_fall_nits"] = summary.maxFall().value();
    json["max_cll"] = wholeNits(summary.maxCll().value());
    json["max_fall"] = wholeNits(summary.maxFall().value());
    json["max_cll_frame"] = measured ? nlohmann::ordered_json(summary.maxCll().firstFrames().front()) : nullptr;
    json["max_fall_frame"] = measured ? nlohmann::ordered_json(summary.maxFall().firstFrames().front()) : nullptr;
    json["active_area"] = {{"left", area.left},
                           {"top", area.top},
                           {"right", area.right},
                           {"bottom", area.bottom},
                           {"width", facts.width > 0 ? facts.width - area.left - area.right : 0},
                           {"height", facts.height > 0 ? facts.height - area.top - area.bottom : 0}};
    json["scenes"] = nlohmann::ordered_json::array();
    for (const SceneResult& scene : report.scenes)
        json["scenes"].push_back(scene.firstFrame);
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
    json["interrupted"] = report.ending == Ending::Stopped;
    return json;
}

std::vector<std::pair<std::string, std::string>> hdr10Lines(const MeasurementSummary& summary,
                                                            const StaticMetadata& stream)
{
    if (summary.framesMeasured() == 0)
        return {};
    const std::string cll = std::to_string(wholeNits(summary.maxCll().value()));
    const std::string fall = std::to_string(wholeNits(summary.maxFall().value()));
    std::string masterDisplay;
    if (stream.mastering && stream.mastering->primaries && stream.mastering->whitePoint && stream.mastering->maxNits &&
        stream.mastering->minNits)
        masterDisplay = x265MasterDisplay(*stream.mastering);
    std::string x265 = "--max-cll \"" + cll + "," + fall + "\"";
    std::string ffmpeg = "-x265-params \"max-cll=" + cll + "," + fall;
    if (!masterDisplay.empty()) {
        x265 += " --master-display \"" + masterDisplay + "\"";
        ffmpeg += ":master-display=" + masterDisplay;
    }
    return {{"x265", x265},
            {"ffmpeg", ffmpeg + "\""},
            {"mkvmerge", "--max-content-light 0:" + cll + " --max-frame-light 0:" + fall}};
}

nlohmann::ordered_json hdr10PlusJson(const Report& report)
{
    nlohmann::ordered_json frames = nlohmann::ordered_json::array();
    nlohmann::ordered_json firstFrames = nlohmann::ordered_json::array();
    nlohmann::ordered_json frameCounts = nlohmann::ordered_json::array();
    std::size_t sceneIndex = 0;
    long long frameInScene = 0;
    const std::vector<SceneResult>& scenes = report.scenes;
    nlohmann::ordered_json luminance;
    for (const FrameRecord& record : report.frames) {
        const long long frame = record.numbers.frame;
        while (sceneIndex + 1 < scenes.size() && scenes[sceneIndex + 1].firstFrame <= frame) {
            ++sceneIndex;
            luminance = nullptr;
        }
        if (luminance.is_null()) {
            // Constant within a scene: its merged statistics, and the mean of its frames' average light.
            const SceneResult& scene = scenes[sceneIndex];
            const FrameStatistics& statistics = scene.statistics.value();
            nlohmann::ordered_json values = nlohmann::ordered_json::array();
            for (double percentile : kDistributionPercentile)
                values.push_back(percentile == 0.0
                                     ? std::llround(statistics.percentAtOrBelow(kDistributionDarkNits))
                                     : tenthsOfNits(statistics.lightAtPercentile(percentile)));
            luminance = {{"AverageRGB", tenthsOfNits(scene.meanAverageLightNits)},
                         {"LuminanceDistributions",
                          {{"DistributionIndex", kDistributionIndex}, {"DistributionValues", values}}},
                         {"MaxScl",
                          {tenthsOfNits(statistics.largestRedNits()), tenthsOfNits(statistics.largestGreenNits()),
                           tenthsOfNits(statistics.largestBlueNits())}}};
            firstFrames.push_back(scene.firstFrame);
            frameCounts.push_back(scene.frameCount);
            frameInScene = 0;
        }
        frames.push_back({{"LuminanceParameters", luminance},
                          {"NumberOfWindows", 1},
                          {"TargetedSystemDisplayMaximumLuminance", 0},
                          {"SceneFrameIndex", frameInScene++},
                          {"SceneId", sceneIndex},
                          {"SequenceFrameIndex", frame}});
    }
    nlohmann::ordered_json json;
    json["JSONInfo"] = {{"HDR10plusProfile", "A"}, {"Version", "1.0"}};
    json["SceneInfo"] = frames;
    json["SceneInfoSummary"] = {{"SceneFirstFrameIndex", firstFrames}, {"SceneFrameNumbers", frameCounts}};
    json["ToolInfo"] = {{"Tool", "hdrmeter"}, {"Version", libraryVersion()}};
    return json;
}

nlohmann::ordered_json doviConfigJson(const Report& report)
{
    const ActiveArea& area = report.area;
    const MeasurementSummary& summary = report.summary;
    const MasteringLuminance mastering = masteringLuminanceOf(report.metadata, report.request.masteringDisplay);
    nlohmann::ordered_json json;
    json["cm_version"] = "V40";
    json["profile"] = "8.1";
    json["length"] = summary.framesMeasured();
    json["level5"] = {{"active_area_left_offset", area.left},
                      {"active_area_right_offset", area.right},
                      {"active_area_top_offset", area.top},
                      {"active_area_bottom_offset", area.bottom}};
    json["level6"] = {{"max_display_mastering_luminance", std::llround(mastering.maxNits)},
                      {"min_display_mastering_luminance", std::llround(mastering.minNits * 10000.0)},
                      {"max_content_light_level", wholeNits(summary.maxCll().value())},
                      {"max_frame_average_light_level", wholeNits(summary.maxFall().value())}};
    nlohmann::ordered_json shots = nlohmann::ordered_json::array();
    for (const SceneResult& scene : report.scenes)
        shots.push_back({{"start", scene.firstFrame},
                         {"duration", scene.frameCount},
                         {"metadata_blocks",
                          {{{"Level1",
                             {{"min_pq", pqCode12(scene.smallestPqLight)},
                              {"max_pq", pqCode12(scene.largestPqLight)},
                              {"avg_pq", pqCode12(scene.meanOfMeanPqLight)}}}}}}});
    json["shots"] = shots;
    return json;
}

std::string summaryJsonText(const Report& report)
{
    return summaryJson(report).dump(2) + "\n";
}

std::string hdr10PlusJsonText(const Report& report)
{
    return hdr10PlusJson(report).dump(2) + "\n";
}

std::string doviConfigJsonText(const Report& report)
{
    return doviConfigJson(report).dump(2) + "\n";
}

}  // namespace hdrmeter::clip
