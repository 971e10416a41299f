// A clip measured as its metadata needs: inside one active area for the whole clip, cut into scenes, with
// what each frame and each scene contributes to HDR10, HDR10+ and Dolby Vision metadata.
//
// With the area found automatically (what is not black in more than a frame or two: SteadyArea), frame f
// is measured inside the area of frames 0..f. After its first few frames with content that area only
// grows; when it last changed at a frame k > 0, the frames before k were measured inside another area, so
// once the clip has ended they are measured again inside the final one: a second pass over frames 0..k-1
// only. The results are those of measuring with the final area given explicitly.
//
// What is kept of each frame is its numbers and its light code at the robust percentile, 88 bytes (and
// its luma checks, or the HDR10+ values its stream states, when there are any), never its pixels or
// histograms; its size, pixel count, scene and (with the automatic area, for its scene's own area) content
// bounds are kept once for all the frames that share them. Scenes that need histograms (HDR10+) get them
// from SceneSegments, which merges them as the cuts are decided, so that they take memory by the open
// scene, not by the clip.
#ifndef HDRMETER_CLIP_CLIP_MEASUREMENT_H
#define HDRMETER_CLIP_CLIP_MEASUREMENT_H

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "clip_run.h"
#include "output/peak_picture.h"
#include "scenes/scene_cuts.h"
#include "scenes/scene_segments.h"
#include "steady_area.h"

namespace hdrmeter::clip {

struct MeasureOptions {
    ClipOptions clip;
    AreaMode areaMode = AreaMode::Auto;
    ActiveArea givenArea;                             // with AreaMode::Given
    int barsTolerance = kBarsToleranceDefault;        // with AreaMode::Auto
    double sceneThreshold = Request{}.sceneThreshold;  // 0..1; the request's default
    long long minSceneFrames = Request{}.minSceneFrames;
    std::optional<std::vector<long long>> sceneCuts;  // imported first frames instead of detection
    std::optional<long long> frameLimit;
    bool sceneStatistics = false;  // keep the merged statistics of every scene (for HDR10+)
    // Given each frame's statistics as soon as its record is kept, with the frame's place among the frames
    // read (from 0); a frame the second pass measures again is given again at the same place.
    std::function<void(std::size_t position, const FrameStatistics& statistics)> frameStatistics;
    double robustFramePercent = Request{}.robustFramePercent;  // 0..100
    double robustClipPercent = Request{}.robustClipPercent;
    // Keep the frame of the largest light as a small SDR picture (peakPicture()).
    bool peakPicture = false;
    // Given each frame's own content bounds as the first pass reads it, at the same places.
    std::function<void(std::size_t position, const ContentBounds& content)> frameContent;
    // Given, in the first pass, each frame the stream states HDR10+ for, with its statistics over the whole
    // picture: HDR10+'s first window is the whole frame, whatever the active area.
    std::function<void(long long frame, const StatedHdr10Plus& stated, bool damaged,
                       const FrameStatistics& wholePicture)>
        statedFrame;
};

// The 0-based place of the nearest rank ceil(P / 100 x N) among `count` values in ascending order, P taken
// to a millionth of a percent; 0 without values.
std::size_t nearestRankIndex(double percent, std::size_t count);

class ClipMeasurement {
public:
    using FrameSink = std::function<void(const FrameRecord&)>;
    // Pass 1 or 2, frames done in it, and how many the pass will take when known.
    using ProgressSink = std::function<void(int pass, long long framesDone, std::optional<long long> frames)>;

    // Opens the input (InputError when it cannot be read as video).
    ClipMeasurement(const MeasureOptions& options, const StopRequest* stop);

    // Measures the clip. Each frame whose numbers are final goes to `sink` in order, as soon as its scene
    // is decided too: while measuring with a given or full area, at the end with the automatic one.
    // Throws InputError when the first frame cannot be measured (or the given area leaves none of its
    // pixels); whatever ends the run after that is failure(), at failedAtFrame().
    void run(const FrameSink& sink, const ProgressSink& progress);

    ClipRun& clip() { return clip_; }
    const ClipRun& clip() const { return clip_; }
    const MeasureOptions& options() const { return options_; }
    const ActiveArea& area() const { return area_; }
    // With the automatic area: the frame that set each edge of it (left, top, right, bottom), as
    // SteadyArea::edgeFrames says; unset otherwise, or when no frame had content.
    std::optional<std::array<long long, 4>> areaEdgeFrames() const;
    // Frames measured again by the second pass, and its time.
    long long secondPassFrames() const { return secondPassFrames_; }
    double secondPassSeconds() const { return secondPassSeconds_; }
    // Frames whose numbers are not final (a run stopped before or during its second pass), left out of
    // every output.
    long long framesLeftOut() const { return framesLeftOut_; }
    const std::string& leftOutReason() const { return leftOutReason_; }
    // Why the run ended before the input did, with the frame it was met at; empty after a clean end or a
    // stop. The second pass's failures are among them.
    const std::string& failure() const { return failure_; }
    std::optional<long long> failedAtFrame() const { return failedAtFrame_; }
    bool failedInSecondPass() const { return secondPassFailed_; }
    // After run(): hands the records of the frames given to the sink to `visit`, again, in order.
    void forEachFrame(const std::function<void(const FrameRecord&)>& visit) const;
    const std::vector<SceneResult>& scenes() const { return scenes_; }
    // After run(): where the largest light of the final, undamaged frames is, and the robust peaks; unset
    // when no such frame was measured.
    const std::optional<PeakTrace>& maxCllTrace() const { return trace_; }
    const std::optional<RobustPeaks>& robustPeaks() const { return robust_; }
    // With MeasureOptions::peakPicture: the frame of maxCllTrace(), unset when there is none or its
    // pixels were not at hand (a merge).
    const std::optional<PeakPicture>& peakPicture() const { return picture_; }
    // True when any frame carried HDR10+ metadata.
    bool statesHdr10Plus() const { return statesHdr10Plus_; }

private:
    // What is kept of a frame: 88 bytes.
    struct StoredFrame {
        long long frame = 0;
        double averageLightNits = 0.0;
        double largestLightNits = 0.0;
        double aboveThresholdPercent = 0.0;
        double top1Nits = 0.0;
        double top2Nits = 0.0;
        double bottomNits = 0.0;
        double smallestPqLight = 0.0;
        double meanPqLight = 0.0;
        double largestPqLight = 0.0;
        float sceneDistance = 0.0f;  // for the report; `candidate` was decided on the exact distance
        bool candidate : 1;          // a candidate cut: its distance reached the threshold
        bool final : 1;
        bool damaged : 1;
        std::uint16_t robustCode = 0;  // its light code at the robust percentile
        StoredFrame() : candidate(false), final(false), damaged(false) {}
    };
    static_assert(sizeof(StoredFrame) <= 88, "what is kept of a frame");
    // A run of stored frames of one size, from `firstIndex` on.
    struct SizeRun {
        std::size_t firstIndex = 0;
        int width = 0;
        int height = 0;
    };
    // A run of stored frames of the same content bounds, from `firstIndex` on.
    struct ContentRun {
        std::size_t firstIndex = 0;
        ContentBounds bounds;
    };
    // Keeps the content of the frame just stored last, for its scene's own area.
    void keepContent(const ContentBounds& bounds);
    std::optional<StoredFrame> measureFrame(const FrameView& view, long long frame, const SceneSignature* before,
                                            SceneSignature& signature);
    // Keeps the frame just measured at `index` of the stored frames (appended when it is the next one).
    void store(std::size_t index, const StoredFrame& frame, const FrameView& view);
    // The whole record of stored frame `index`; `sizeRun` is a cursor into sizes_ that only moves on.
    FrameRecord recordOf(std::size_t index, std::size_t& sizeRun, const std::vector<long long>& cuts) const;
    void addToSegments(SceneSegments& segments, long long frame, bool candidate, bool restart);
    // The checks of a frame before it is measured: its size against the area. Empty when it can be.
    std::string refusalOf(const FrameView& view, long long frame) const;
    void fail(long long frame, const std::string& reason);
    void failInSecondPass(long long frame, const std::string& reason);
    // Measures again the records before records_[firstFinal], the first whose numbers are final.
    void secondPass(std::size_t firstFinal, const SceneSignature& firstFinalSignature, const ProgressSink& progress);
    // Hands the final records below `end` that were not handed out yet to the sink, with their scene.
    void release(long long end, const std::vector<long long>& cuts, const FrameSink& sink);
    void collectScenes(const std::vector<long long>& cuts);
    // Follows the largest light: a frame that reaches it first (or earlier) is searched for its pixel.
    void traceLargestLight(const FrameView& view, long long frame);
    // The light code at the robust percentile of the frame measured last.
    std::uint16_t robustLightCode();
    void collectRobustPeaks();

    MeasureOptions options_;
    ClipRun clip_;
    ActiveArea area_;
    ContentBounds content_;  // the size of the frames
    SteadyArea steady_;      // with the automatic area
    std::deque<StoredFrame> records_;     // a deque: growing it never holds two copies
    std::deque<LumaChecks> lumaChecks_;   // beside records_, with ClipOptions::lumaChecks
    std::optional<LumaChecks> lastLumaChecks_;
    std::vector<double> codeNits_;  // the light of each code, for the robust percentile's
    std::optional<PeakTrace> trace_;
    std::optional<PeakPicture> picture_;
    // Beside records_ from the first frame that carries HDR10+ metadata on (empty while none did): what
    // each frame states.
    std::deque<std::optional<StatedHdr10Plus>> statedHdr10Plus_;
    // The stated light level from each place where it changes: it changes seldom, if ever.
    std::vector<std::pair<std::size_t, std::optional<ContentLightLevel>>> statedLightLevels_;
    // From the first frame carrying Dolby Vision on; a shot's frames share one statement.
    std::deque<std::shared_ptr<const StatedDolbyVision>> statedDolbyVision_;
    bool statesHdr10Plus_ = false;
    std::optional<RobustPeaks> robust_;
    std::vector<SizeRun> sizes_;
    std::vector<long long> cuts_{0};      // the scenes' first frames, final after run()
    std::vector<ContentRun> contentRuns_;  // with the automatic area: each frame's content, where it changes
    std::size_t released_ = 0;
    std::size_t releasedSizeRun_ = 0;
    SceneSegments segments_;
    std::vector<SceneResult> scenes_;
    long long secondPassFrames_ = 0;
    double secondPassSeconds_ = 0.0;
    long long framesLeftOut_ = 0;
    std::string leftOutReason_;
    std::string failure_;
    std::optional<long long> failedAtFrame_;
    bool secondPassFailed_ = false;
};

}  // namespace hdrmeter::clip

#endif
