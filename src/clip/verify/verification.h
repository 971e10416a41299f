// Whether a stream's metadata describes its picture: its stated light levels and mastering display against
// the measured peaks, and its HDR10+ values, frame by frame, against hdrmeter's own Profile A values for
// the same frames, with the offset that best aligns the two.
#ifndef HDRMETER_CLIP_VERIFY_VERIFICATION_H
#define HDRMETER_CLIP_VERIFY_VERIFICATION_H

#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include <hdrmeter/clip.h>

#include "output/writing.h"

namespace hdrmeter::clip {

// The checks of a finished report (its summary, scenes with their distributions, and stream metadata)
// over its frames.
Verification verificationOf(const Report& report, const FrameSequence& frames);

// A 10-bit PQ code, real-valued: the PQ signal of `nits` times 1023.
double pqCode10(double nits);

nlohmann::ordered_json verifyJson(const Report& report);
// "verify max_cll", "pass: stated ..." lines for the text summary.
std::vector<std::pair<std::string, std::string>> verifyLines(const Report& report);

}  // namespace hdrmeter::clip

#endif
