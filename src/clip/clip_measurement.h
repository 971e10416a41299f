// A clip measured as its metadata needs: inside one active area for the whole clip, cut into scenes, with
// what each frame and each scene contributes to HDR10, HDR10+ and Dolby Vision metadata.
//
// With the area found automatically (the union over all frames of what is not black), frame f is
// measured inside the union of frames 0..f. The union only grows; when it grew at a frame k > 0, the
// frames before k were measured inside a smaller area, so once the clip has ended they are measured again
// inside the final one: a second pass over frames 0..k-1 only. The results are those of measuring with
// the final area given explicitly.
//
// What is kept of each frame is a record of its numbers, never its pixels or histograms. Scenes that need
// histograms (HDR10+) get them from segments: runs of frames cut at every frame that may begin a scene and
// at every frame where the area grew, each holding its frames' merged statistics. Merging is exact, so a
// scene's statistics are the merge of its segments.
#ifndef HDRMETER_CLIP_CLIP_MEASUREMENT_H
#define HDRMETER_CLIP_CLIP_MEASUREMENT_H

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "clip_run.h"
#include "scenes/scene_cuts.h"

namespace hdrmeter::clip {

enum class AreaMode {
    Auto,   // the union of every frame's content
    Full,   // the whole frame
    Given,  // offsets from each edge, in pixels
};
struct AreaOption {
    AreaMode mode = AreaMode::Auto;
    ActiveArea given;
};
// "auto", "full" or "L,T,R,B". Throws std::invalid_argument with the reason.
AreaOption parseAreaOption(const std::string& text);

struct MeasureOptions {
    ClipOptions clip;
    AreaOption area;
    double sceneThreshold = kDefaultSceneThreshold;  // 0..1
    long long minSceneFrames = kDefaultMinSceneFrames;
    std::optional<std::vector<long long>> sceneCuts;  // imported first frames instead of detection
    std::optional<long long> frameLimit;
    bool sceneStatistics = false;  // keep the merged statistics of every scene (for HDR10+)
};

// What is kept of a frame.
struct FrameRecord {
    FrameMeasurement numbers;      // the six results and the scene
    double smallestPqLight = 0.0;  // PQ signal, 0..1
    double meanPqLight = 0.0;
    double largestPqLight = 0.0;
    double sceneDistance = 0.0;    // to the frame before, 0..1; 0 for frame 0
    bool final = false;            // measured inside the final area
};

struct SceneResult {
    long long firstFrame = 0;
    long long frameCount = 0;             // its frames with final numbers
    double meanAverageLightNits = 0.0;    // the mean of its frames' average light
    double smallestPqLight = 0.0;         // over its pixels, PQ signal
    double largestPqLight = 0.0;
    double meanOfMeanPqLight = 0.0;       // the mean of its frames' mean PQ signal
    std::optional<FrameStatistics> statistics;  // merged, with MeasureOptions::sceneStatistics
};

class ClipMeasurement {
public:
    using FrameSink = std::function<void(const FrameRecord&)>;
    // Pass 1 or 2, frames done in it, and how many the pass will take when known.
    using ProgressSink = std::function<void(int pass, long long framesDone, std::optional<long long> frames)>;

    // Opens the input (InputError when it cannot be read as video).
    ClipMeasurement(const MeasureOptions& options, const StopRequest* stop);

    // Measures the clip. Each frame whose numbers are final goes to `sink` in order, as soon as its scene
    // is decided too: while measuring with a given or full area, at the end with the automatic one.
    // Throws InputError for a stream that cannot be measured at all, or an area that leaves no pixel.
    void run(const FrameSink& sink, const ProgressSink& progress);

    ClipRun& clip() { return clip_; }
    const ClipRun& clip() const { return clip_; }
    const MeasureOptions& options() const { return options_; }
    const ActiveArea& area() const { return area_; }
    // Frames measured again by the second pass, and its time.
    long long secondPassFrames() const { return secondPassFrames_; }
    double secondPassSeconds() const { return secondPassSeconds_; }
    // Frames whose numbers are not final (a run stopped before or during its second pass), left out of
    // every output.
    long long framesLeftOut() const { return framesLeftOut_; }
    // Why the second pass could not be made or finished, or empty.
    const std::string& secondPassFailure() const { return secondPassFailure_; }
    const std::vector<FrameRecord>& records() const { return records_; }
    const std::vector<SceneResult>& scenes() const { return scenes_; }

private:
    struct Segment {
        long long firstFrame = 0;
        FrameStatistics statistics;
    };
    std::optional<FrameRecord> measureFrame(const FrameView& view, long long frame, const SceneSignature* before,
                                            SceneSignature& signature);
    void addToSegments(std::vector<Segment>& segments, long long frame, bool startsSegment);
    void secondPass(long long firstFinalFrame, const SceneSignature& firstFinalSignature, const ProgressSink& progress);
    void assignScenes(SceneCutter& cutter, const FrameSink& sink);

    MeasureOptions options_;
    ClipRun clip_;
    ActiveArea area_;
    std::vector<FrameRecord> records_;
    std::vector<Segment> segments_;
    std::vector<SceneResult> scenes_;
    long long framesRead_ = 0;
    long long secondPassFrames_ = 0;
    double secondPassSeconds_ = 0.0;
    long long framesLeftOut_ = 0;
    std::string secondPassFailure_;
};

}  // namespace hdrmeter::clip

#endif
