// The metadata a measured clip gives encoders and muxers: the summary for machines, the HDR10 options
// ready to paste, an HDR10+ JSON file as HDR10+ injectors read it, and a Dolby Vision generator config.
// Every JSON document is built with nlohmann-json; light levels are the active area's.
#ifndef HDRMETER_CLIP_METADATA_JSON_H
#define HDRMETER_CLIP_METADATA_JSON_H

#include <array>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include <hdrmeter/clip.h>

#include "metadata/metadata_model.h"
#include "output/summary.h"
#include "writing.h"

namespace hdrmeter::clip {

// The run's summary with the keys frames, max_cll_nits, max_fall_nits, max_cll, max_fall, max_cll_frame,
// max_fall_frame, active_area, scenes, transfer, matrix, coefficients, stream_metadata and interrupted.
nlohmann::ordered_json summaryJson(const Report& report);

// Lines ready to paste for x265, ffmpeg and mkvmerge, each "label  options", after a line saying what
// mastering display they carry when the stream did not state all of it. mkvmerge numbers a file's
// tracks in the container's order, so its options name the measured stream's number.
std::vector<std::pair<std::string, std::string>> hdr10Lines(const Report& report);

// HDR10+ Profile A, an entry for each of `frames`: needs the scenes' distributions
// (MeasureOptions::sceneStatistics).
void writeHdr10PlusJson(const Report& report, const FrameSequence& frames, const TextSink& out);

nlohmann::ordered_json doviConfigJson(const Report& report);

}  // namespace hdrmeter::clip

#endif
