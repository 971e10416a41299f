// Where scenes begin: cuts found from statistics the analyzer computes anyway, or imported from a list.
//
// A frame's signature is its luma histogram and its light histogram, each folded into 32 bins of equal
// code width and normalised to fractions of the frame's pixels. The distance between two frames is the
// larger of the two total-variation distances (half the sum of absolute differences, 0..1): 1 when no
// pixel falls in the same bin, 0 for identical distributions. A frame whose distance to the frame before
// is at least the threshold is a candidate cut.
#ifndef HDRMETER_CLIP_SCENE_CUTS_H
#define HDRMETER_CLIP_SCENE_CUTS_H

#include <array>
#include <optional>
#include <string>
#include <vector>

#include <hdrmeter/analysis.h>

namespace hdrmeter::clip {

constexpr int kSignatureBins = 32;

struct SceneSignature {
    std::array<float, kSignatureBins> luma{};
    std::array<float, kSignatureBins> light{};
};

SceneSignature signatureOf(const FrameStatistics& statistics);
double signatureDistance(const SceneSignature& a, const SceneSignature& b);

// First frame numbers, one per line, in increasing order (0 may be left out); blank lines are passed
// over. Throws std::invalid_argument naming the file and the line that is not such a number.
std::vector<long long> readSceneCutList(const std::string& path);

// Decides which candidate cuts become scene boundaries, frame by frame as they come, so that rows can be
// written while the clip is measured. A scene shorter than the minimum length is merged into the scene
// before it; the first scene, which has none before it, takes in the scenes after it until it is long
// enough. The fate of a candidate is known at the next candidate or minFrames frames later, so at most
// minFrames frames wait. An imported list is taken as it is.
class SceneCutter {
public:
    SceneCutter(long long minFrames, std::optional<std::vector<long long>> imported);

    // Frame `frame` (0, 1, 2 ... in order) was measured; `candidate` when its distance reached the
    // threshold (ignored with an imported list).
    void add(long long frame, bool candidate);
    // The clip ended after frameCount frames.
    void finish(long long frameCount);
    // Whether `frame` starts a segment of frames that no final scene can split (with an imported list, a
    // listed cut; else a candidate).
    bool isPossibleCut(long long frame, bool candidate) const;

    // Frames below this have their scene decided.
    long long decidedBefore() const { return decidedBefore_; }
    // The first frames of the scenes decided so far, 0 first.
    const std::vector<long long>& cuts() const { return cuts_; }

private:
    long long minFrames_;
    std::optional<std::vector<long long>> imported_;
    std::vector<long long> cuts_{0};
    std::optional<long long> pending_;
    long long decidedBefore_ = 0;
};

}  // namespace hdrmeter::clip

#endif
