// The metadata a measured clip gives encoders and muxers: the summary for machines, the HDR10 options
// ready to paste, an HDR10+ JSON file as HDR10+ injectors read it, and a Dolby Vision generator config.
// Every JSON document is built with nlohmann-json; light levels are the active area's.
#ifndef HDRMETER_CLIP_METADATA_JSON_H
#define HDRMETER_CLIP_METADATA_JSON_H

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include <hdrmeter/clip.h>

#include "output/summary.h"
#include "output/writing.h"

namespace hdrmeter::clip {

// The mastering display luminance Dolby Vision's level 6 carries: the request's when given, else the
// stream's, else 1000 and 0.0001 nits, assumed.
MasteringLuminance masteringLuminanceOf(const StaticMetadata& stream, const std::optional<MasteringLuminance>& option);

// Light in the 0.1-nit units of HDR10+, at most 100000 (10000 nits).
long long tenthsOfNits(double nits);
// A PQ signal as a 12-bit code, round(signal x 4095).
long long pqCode12(double signal);

// The run's summary with the keys frames, max_cll_nits, max_fall_nits, max_cll, max_fall, max_cll_frame,
// max_fall_frame, active_area, scenes, transfer, matrix, coefficients, stream_metadata and interrupted.
nlohmann::ordered_json summaryJson(const Report& report);

// Lines ready to paste for x265, ffmpeg and mkvmerge, each "label  options". mkvmerge numbers a file's
// tracks in the container's order, so its options name the measured stream's number.
std::vector<std::pair<std::string, std::string>> hdr10Lines(const MeasurementSummary& summary,
                                                            const StaticMetadata& stream, int trackId);

// HDR10+ Profile A, an entry for each of `frames`: needs the scenes' distributions
// (MeasureOptions::sceneStatistics).
void writeHdr10PlusJson(const Report& report, const FrameSequence& frames, const TextSink& out);

nlohmann::ordered_json doviConfigJson(const Report& report);

}  // namespace hdrmeter::clip

#endif
