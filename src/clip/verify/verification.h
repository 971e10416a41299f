// Whether a stream's metadata describes its picture: its stated light levels and mastering display against
// the measured peaks, and its HDR10+ values, stated scene by stated scene, against hdrmeter's own Profile A
// values over the same frames' whole pictures, with the offset that best aligns their scene starts.
#ifndef HDRMETER_CLIP_VERIFY_VERIFICATION_H
#define HDRMETER_CLIP_VERIFY_VERIFICATION_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include <hdrmeter/clip.h>

#include "metadata/metadata_model.h"
#include "writing.h"

namespace hdrmeter::clip {

// A stated scene: the frames over which the stream's HDR10+ values stay the same.
struct StatedScene {
    long long firstFrame = 0;
    long long lastFrame = 0;
    long long cleanFrames = 0;  // undamaged, the ones compared
    StatedHdr10Plus stated;
    Hdr10PlusValues own;  // over the whole pictures of its undamaged frames
};

// Gathers the stated scenes as frames are measured; only the open scene's statistics are held.
class StatedScenes {
public:
    void add(long long frame, const StatedHdr10Plus& stated, bool damaged, const FrameStatistics& wholePicture);
    // Every scene, the open one closed.
    std::vector<StatedScene> scenes() const;

private:
    std::vector<StatedScene> closed_;
    std::optional<StatedScene> open_;
    FrameStatistics merged_;
    double averageLightSum_ = 0.0;
};

// Which ends of the clip a run reached: a stated scene the run's range cuts is compared only for what its
// measured part can show.
struct MeasuredSpan {
    bool fromFirstFrame = true;
    bool toLastFrame = true;
};

// The checks of a finished report (its summary, scenes, and stream metadata) and the stated scenes.
Verification verificationOf(const Report& report, const FrameSequence& frames,
                            const std::vector<StatedScene>& statedScenes, const MeasuredSpan& span);

// A 10-bit PQ code, real-valued: the PQ signal of `nits` times 1023.
double pqCode10(double nits);

nlohmann::ordered_json verifyJson(const Report& report);
// "verify max_cll", "pass: stated ..." lines for the text summary.
std::vector<std::pair<std::string, std::string>> verifyLines(const Report& report);

}  // namespace hdrmeter::clip

#endif
