// HDR10+ Profile A as HDR10+ injectors read it: one entry per frame, constant within a scene.
#include "output/metadata_json.h"

#include <algorithm>
#include <cmath>

namespace hdrmeter::clip {

namespace {

// The distribution indexes of HDR10+ in the order SceneDistribution::values holds them; index 10 is a
// percent of pixels, the others light.
constexpr int kDistributionIndex[] = {1, 5, 10, 25, 50, 75, 90, 95, 99};

// Indents a value dumped on its own as it stands in the file, inside "SceneInfo".
std::string indentedInSceneInfo(const std::string& value)
{
    std::string text = "    ";
    for (char c : value) {
        text += c;
        if (c == '\n')
            text += "    ";
    }
    return text;
}

}  // namespace

void writeHdr10PlusJson(const Report& report, const FrameSequence& frames, const TextSink& out)
{
    const std::vector<SceneResult>& scenes = report.scenes;
    nlohmann::ordered_json firstFrames = nlohmann::ordered_json::array();
    nlohmann::ordered_json frameCounts = nlohmann::ordered_json::array();
    for (const SceneResult& scene : scenes) {
        firstFrames.push_back(scene.firstFrame);
        frameCounts.push_back(scene.frameCount);
    }
    // The document around its frames, which are written one by one into the place kept for them.
    const std::string place = "frames go here";
    nlohmann::ordered_json json;
    json["JSONInfo"] = {{"HDR10plusProfile", "A"}, {"Version", "1.0"}};
    json["SceneInfo"] = place;
    json["SceneInfoSummary"] = {{"SceneFirstFrameIndex", firstFrames}, {"SceneFrameNumbers", frameCounts}};
    json["ToolInfo"] = {{"Tool", "hdrmeter"}, {"Version", libraryVersion()}};
    // Compact, each frame's entry is a line of its own, so that the file still reads in a pager and
    // diffs frame by frame.
    const bool pretty = report.request.hdr10PlusPretty;
    const std::string outline = json.dump(pretty ? 2 : -1) + "\n";
    const std::size_t placeAt = outline.find("\"" + place + "\"");
    out(outline.substr(0, placeAt));

    std::size_t sceneIndex = 0;
    long long frameInScene = 0;
    long long written = 0;
    nlohmann::ordered_json luminance;
    frames([&](const FrameRecord& record) {
        const long long frame = record.numbers.frame;
        while (sceneIndex + 1 < scenes.size() && scenes[sceneIndex + 1].firstFrame <= frame) {
            ++sceneIndex;
            luminance = nullptr;
        }
        if (luminance.is_null()) {
            // Constant within a scene: its distribution, and the mean of its frames' average light.
            const SceneResult& scene = scenes.at(sceneIndex);
            const Hdr10PlusValues values = hdr10PlusValuesOf(scene.distribution.value(), scene.meanAverageLightNits);
            luminance = {{"AverageRGB", values.averageRgb},
                         {"LuminanceDistributions",
                          {{"DistributionIndex", kDistributionIndex}, {"DistributionValues", values.distribution}}},
                         {"MaxScl", values.maxScl}};
            frameInScene = 0;
        }
        const nlohmann::ordered_json entry = {{"LuminanceParameters", luminance},
                                              {"NumberOfWindows", 1},
                                              {"TargetedSystemDisplayMaximumLuminance", 0},
                                              {"SceneFrameIndex", frameInScene++},
                                              {"SceneId", sceneIndex},
                                              {"SequenceFrameIndex", frame}};
        out((written++ == 0 ? "[\n" : ",\n") + (pretty ? indentedInSceneInfo(entry.dump(2)) : entry.dump()));
    });
    out(written == 0 ? "[]" : pretty ? "\n  ]" : "\n]");
    out(outline.substr(placeAt + place.size() + 2));
}

std::string hdr10PlusJsonText(const Report& report)
{
    return textOf([&report](const TextSink& out) { writeHdr10PlusJson(report, framesOf(report), out); });
}

}  // namespace hdrmeter::clip
