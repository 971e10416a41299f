// A Dolby Vision generator config: the source levels and Level 9 from the mastering display, Level 5
// from the area, Level 6 from the mastering display and the light levels, Level 1 per shot.
#include "output/metadata_json.h"

#include <cmath>

namespace hdrmeter::clip {

namespace {

// An HLG base layer (profile 8.4) is graded for a 1000-nit display with black at 0.005 nit: the source
// levels are those, whatever the mastering display was.
constexpr long long kHlgSourceMinPq = 62;
constexpr long long kHlgSourceMaxPq = 3079;

// Level 9's source_primary_index of the named sets; 255 with the primaries themselves for any other.
int primaryIndexOf(const NamedPrimaries& named)
{
    const std::string name = named.name;
    return name == "p3-d65" ? 0 : name == "bt709" ? 1 : 2;
}

constexpr int kCustomPrimaryIndex = 255;
// A chromaticity in Level 9's 16-bit fields: x times 32767.
constexpr double kPrimaryScale = 32767.0;

nlohmann::ordered_json level9Of(const ResolvedDisplay& display)
{
    if (const NamedPrimaries* named = matchingPrimaries(display.primaries, display.whitePoint))
        return {{"Level9", {{"length", 1}, {"source_primary_index", primaryIndexOf(*named)}}}};
    const auto code = [](double coordinate) { return std::llround(coordinate * kPrimaryScale); };
    const std::array<double, 6>& p = display.primaries;
    return {{"Level9",
             {{"length", 17},
              {"source_primary_index", kCustomPrimaryIndex},
              {"source_primary_red_x", code(p[0])},
              {"source_primary_red_y", code(p[1])},
              {"source_primary_green_x", code(p[2])},
              {"source_primary_green_y", code(p[3])},
              {"source_primary_blue_x", code(p[4])},
              {"source_primary_blue_y", code(p[5])},
              {"source_primary_white_x", code(display.whitePoint[0])},
              {"source_primary_white_y", code(display.whitePoint[1])}}}};
}

}  // namespace

nlohmann::ordered_json doviConfigJson(const Report& report)
{
    const ActiveArea& area = report.area;
    const MeasurementSummary& summary = report.summary;
    const ResolvedDisplay display =
        resolveMasteringDisplay(report.metadata, report.stream.primariesTag, report.request.masteringDisplay);
    const bool hlg = report.stream.colour.transfer == Transfer::Hlg;
    nlohmann::ordered_json json;
    const bool version29 = report.request.doviCmVersion == DoviCmVersion::V29;
    json["cm_version"] = version29 ? "V29" : "V40";
    json["profile"] = hlg ? "8.4" : "8.1";
    json["length"] = summary.framesMeasured();
    // Left out, the generator would take them from a table that knows only a few displays.
    json["source_min_pq"] = hlg ? kHlgSourceMinPq : pqCode12(pqSignalOfNits(display.minNits));
    json["source_max_pq"] = hlg ? kHlgSourceMaxPq : pqCode12(pqSignalOfNits(display.maxNits));
    json["level5"] = {{"active_area_left_offset", area.left},
                      {"active_area_right_offset", area.right},
                      {"active_area_top_offset", area.top},
                      {"active_area_bottom_offset", area.bottom}};
    json["level6"] = {{"max_display_mastering_luminance", std::llround(display.maxNits)},
                      {"min_display_mastering_luminance", std::llround(display.minNits * 10000.0)},
                      {"max_content_light_level", carriedLightLevels(report).maxCll},
                      {"max_frame_average_light_level", carriedLightLevels(report).maxFall}};
    // Level 9 (the source primaries) belongs to CM v4.0; a v2.9 config carries only Levels 1, 2, 5 and 6.
    json["default_metadata_blocks"] =
        version29 ? nlohmann::ordered_json::array() : nlohmann::ordered_json::array({level9Of(display)});
    nlohmann::ordered_json shots = nlohmann::ordered_json::array();
    for (const SceneResult& scene : report.scenes) {
        shots.push_back({{"start", scene.firstFrame},
                         {"duration", scene.frameCount},
                         {"metadata_blocks",
                          {{{"Level1",
                             {{"min_pq", pqCode12(scene.smallestPqLight)},
                              {"max_pq", pqCode12(scene.largestPqLight)},
                              {"avg_pq", pqCode12(scene.meanOfMeanPqLight)}}}}}}});
        // A shot framed otherwise than the clip (a change of aspect ratio) carries its own letterbox.
        if (scene.area != area)
            shots.back()["metadata_blocks"].push_back({{"Level5",
                                                        {{"active_area_left_offset", scene.area.left},
                                                         {"active_area_right_offset", scene.area.right},
                                                         {"active_area_top_offset", scene.area.top},
                                                         {"active_area_bottom_offset", scene.area.bottom}}}});
    }
    json["shots"] = shots;
    return json;
}

std::string doviConfigJsonText(const Report& report)
{
    return doviConfigJson(report).dump(2) + "\n";
}

}  // namespace hdrmeter::clip
