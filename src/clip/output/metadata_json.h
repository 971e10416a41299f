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

#include "output/summary.h"
#include "output/writing.h"

namespace hdrmeter::clip {

// The mastering display luminance Dolby Vision's level 6 carries: the request's when given, else the
// stream's, else 1000 and 0.0001 nits, assumed.
MasteringLuminance masteringLuminanceOf(const StaticMetadata& stream, const std::optional<MasteringLuminance>& option);

// Where a part of the mastering display the metadata carries came from.
enum class DisplayOrigin {
    Stream,   // the stream's mastering display metadata
    Option,   // Request::masteringDisplay
    Tags,     // the stream's colour primaries tag (primaries only)
    Assumed,  // nothing stated it: BT.2020 primaries, D65 white, 1000 and 0.0001 nits
};
struct ResolvedDisplay {
    std::array<double, 6> primaries{};  // red x, y, green x, y, blue x, y
    std::array<double, 2> whitePoint{};
    double maxNits = 1000.0;
    double minNits = 0.0001;
    DisplayOrigin primariesFrom = DisplayOrigin::Assumed;
    DisplayOrigin luminanceFrom = DisplayOrigin::Assumed;
};
// Each part from the request when it gives it, else the stream's metadata, else (primaries) the stream's
// colour primaries tag when it names one of namedPrimaries(), else the defaults.
ResolvedDisplay resolveMasteringDisplay(const StaticMetadata& stream, int primariesTag,
                                        const std::optional<MasteringLuminance>& option);
// The named set `primaries` and `whitePoint` are, each coordinate within 0.002; null for none.
const NamedPrimaries* matchingPrimaries(const std::array<double, 6>& primaries, const std::array<double, 2>& whitePoint);
// The named set an ITU-T H.273 colour primaries code stands for (1, 9, 12); null for any other.
const NamedPrimaries* namedPrimariesOfTag(int primariesTag);

// Light in the 0.1-nit units of HDR10+, at most 100000 (10000 nits).
long long tenthsOfNits(double nits);
// A PQ signal as a 12-bit code, round(signal x 4095).
long long pqCode12(double signal);

// The run's summary with the keys frames, max_cll_nits, max_fall_nits, max_cll, max_fall, max_cll_frame,
// max_fall_frame, active_area, scenes, transfer, matrix, coefficients, stream_metadata and interrupted.
nlohmann::ordered_json summaryJson(const Report& report);

// The MaxCLL and MaxFALL the metadata files and the HDR10 lines carry, in whole nits: the measured ones,
// or the robust ones with Request::robustMetadata (`robust` then).
struct CarriedLightLevels {
    long long maxCll = 0;
    long long maxFall = 0;
    bool robust = false;
};
CarriedLightLevels carriedLightLevels(const Report& report);

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
