#include "chunk_lists.h"

#include <cstdio>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace hdrmeter::clip {

void writeAv1anScenes(const Report& report, const FrameSequence&, const TextSink& out)
{
    nlohmann::ordered_json scenes = nlohmann::ordered_json::array();
    long long end = 0;
    for (std::size_t i = 0; i < report.scenes.size(); ++i) {
        const SceneResult& scene = report.scenes[i];
        // Scenes abut: frames a stream lost between two belong to the first, as the encoder sees them.
        end = i + 1 < report.scenes.size() ? report.scenes[i + 1].firstFrame : scene.firstFrame + scene.frameCount;
        scenes.push_back({{"start_frame", scene.firstFrame}, {"end_frame", end}, {"zone_overrides", nullptr}});
    }
    nlohmann::ordered_json document = {{"scenes", scenes}, {"frames", end}};
    out(document.dump() + "\n");
}

void writeX265Qpfile(const Report& report, const FrameSequence&, const TextSink& out)
{
    std::string text;
    for (const SceneResult& scene : report.scenes)
        text += std::to_string(scene.firstFrame) + " I\n";
    out(text);
}

void writeFfmpegKeyframes(const Report& report, const FrameSequence&, const TextSink& out)
{
    const auto& rate = report.stream.frameRate;
    if (!rate || rate->first <= 0 || rate->second <= 0)
        throw std::runtime_error("the stream states no frame rate, so the scenes' first frames have no times; "
                                 "give the encoder the x265 qpfile instead");
    std::string text;
    for (const SceneResult& scene : report.scenes) {
        const long long microseconds = scene.firstFrame * rate->second * 1000000LL / rate->first;
        char time[40];
        std::snprintf(time, sizeof time, "%lld.%06lld", microseconds / 1000000, microseconds % 1000000);
        text += (text.empty() ? "" : ",") + std::string(time);
    }
    out(text + "\n");
}

}  // namespace hdrmeter::clip
