// Whether a stream's Dolby Vision metadata describes its picture: each stated shot's Level 1 against the
// picture over the same frames, its shots against the picture's cuts, its Level 5 against the shots'
// areas, and Level 6 against the measured light levels and the stream's HDR10 metadata.
#ifndef HDRMETER_CLIP_VERIFY_DOVI_CHECKS_H
#define HDRMETER_CLIP_VERIFY_DOVI_CHECKS_H

#include <optional>

#include <hdrmeter/clip.h>

#include "writing.h"

namespace hdrmeter::clip {

// What the frames' RPUs state over the clip; unset when no frame carried one that was read.
std::optional<DolbyVisionStatement> doviStatementOf(const StreamFacts& stream, const FrameSequence& frames);

// Adds the Dolby Vision checks to `verification` when the report has a statement to check.
void addDoviChecks(const Report& report, const FrameSequence& frames, Verification& verification);

// A 12-bit PQ code, real-valued: the PQ signal times 4095.
double pqCode12Real(double signal);

}  // namespace hdrmeter::clip

#endif
