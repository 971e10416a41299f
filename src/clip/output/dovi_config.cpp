// A Dolby Vision generator config: Level 5 from the area, Level 6 from the mastering display and the
// light levels, Level 1 per shot.
#include "output/metadata_json.h"

#include <cmath>

namespace hdrmeter::clip {

MasteringLuminance masteringLuminanceOf(const StaticMetadata& stream, const std::optional<MasteringLuminance>& option)
{
    if (option)
        return *option;
    if (stream.mastering && stream.mastering->maxNits && stream.mastering->minNits)
        return {*stream.mastering->maxNits, *stream.mastering->minNits, false};
    return {};
}

long long pqCode12(double signal)
{
    return static_cast<long long>(std::floor(signal * 4095.0 + 0.5));
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

std::string doviConfigJsonText(const Report& report)
{
    return doviConfigJson(report).dump(2) + "\n";
}

}  // namespace hdrmeter::clip
