// HDR10+ Profile A as HDR10+ injectors read it: one entry per frame, constant within a scene.
#include "output/metadata_json.h"

#include <algorithm>
#include <cmath>

namespace hdrmeter::clip {

namespace {

// HDR10+ luminance distribution: index 1 the 1st percentile of maxRGB light, 5 the 99.99th, 10 the
// percent of pixels at or below 100 nits, then the 25th to 95th percentiles, and 99 the 99.98th.
constexpr int kDistributionIndex[] = {1, 5, 10, 25, 50, 75, 90, 95, 99};
constexpr double kDistributionPercentile[] = {1.0, 99.99, 0.0, 25.0, 50.0, 75.0, 90.0, 95.0, 99.98};
constexpr double kDistributionDarkNits = 100.0;

}  // namespace

long long tenthsOfNits(double nits)
{
    return std::min(100000LL, static_cast<long long>(std::floor(nits * 10.0 + 0.5)));
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

std::string hdr10PlusJsonText(const Report& report)
{
    return hdr10PlusJson(report).dump(2) + "\n";
}

}  // namespace hdrmeter::clip
