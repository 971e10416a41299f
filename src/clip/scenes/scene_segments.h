// The merged statistics of the scenes a clip is cut into, gathered while the cuts are still being
// decided, in memory that does not grow with the clip.
//
// Frames are gathered into runs that begin at every frame that may begin a scene. A run whose first
// frame turns out not to begin one is merged into the run before it as soon as that is known, and a
// scene whose first frames at both ends are decided keeps only its SceneDistribution. What is held at
// any time is the scene being measured, the runs after its last decided cut, and a few numbers a scene.
//
// This rests on a property of SceneCutter: whether a candidate cut at frame c becomes a cut depends only
// on c and the candidates after it, so a cutter fed from any frame on decides every later candidate as
// the cutter of the whole clip will. A run that begins where the measurement began again (the
// automatic area grew, and the frames before are measured again) is never taken as a decided cut.
#ifndef HDRMETER_CLIP_SCENE_SEGMENTS_H
#define HDRMETER_CLIP_SCENE_SEGMENTS_H

#include <optional>
#include <vector>

#include <hdrmeter/clip.h>

#include "scenes/scene_cuts.h"

namespace hdrmeter::clip {

class SceneSegments {
public:
    SceneSegments(long long minFrames, const std::optional<std::vector<long long>>& imported);

    // Frame `frame` was measured with `statistics` (null for a damaged frame, which adds no pixels);
    // `candidate` as for SceneCutter::add. `restart`: the first frame measured again after the area grew.
    void add(long long frame, bool candidate, const FrameStatistics* statistics, bool restart = false);
    // Forgets every run (the frames gathered so far will be measured again).
    void clear();
    // Appends `later`'s runs after this one's (the second pass's frames come before the first's).
    void append(SceneSegments&& later);

    // The distribution of each scene of `cuts` (the clip's final first frames) over the frames gathered.
    std::vector<std::optional<SceneDistribution>> distributions(const std::vector<long long>& cuts) const;
    // How many runs hold statistics: what the memory depends on.
    std::size_t openRuns() const { return runs_.size(); }

private:
    struct Run {
        long long firstFrame = 0;
        bool decidedCut = false;  // it begins a scene for certain
        FrameStatistics statistics;
    };
    void settle();

    long long minFrames_;
    std::optional<std::vector<long long>> imported_;
    SceneCutter cutter_;
    std::optional<long long> lastFrame_;
    std::vector<Run> runs_;  // in order of their first frames
    std::vector<std::pair<long long, SceneDistribution>> whole_;  // scenes by first frame, once decided
};

// The values HDR10+ describes a scene by, from its merged statistics.
SceneDistribution distributionOf(const FrameStatistics& statistics);

}  // namespace hdrmeter::clip

#endif
