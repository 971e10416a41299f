// The metadata model: what every metadata file and the verification take from a measured clip, worked out
// once: the mastering display each part of which is resolved from the request, the stream or its tags;
// the light levels the files carry; a scene's HDR10+ values. Outputs format it, verification compares
// against it; it knows neither.
#ifndef HDRMETER_CLIP_METADATA_MODEL_H
#define HDRMETER_CLIP_METADATA_MODEL_H

#include <array>
#include <cstdint>
#include <optional>

#include <hdrmeter/clip.h>

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

// The MaxCLL and MaxFALL the metadata files and the HDR10 lines carry, in whole nits: the measured ones,
// or the robust ones with Request::robustMetadata (`robust` then).
struct CarriedLightLevels {
    long long maxCll = 0;
    long long maxFall = 0;
    bool robust = false;
};
CarriedLightLevels carriedLightLevels(const Report& report);

// A scene's HDR10+ values for its first window, in HDR10+'s units: AverageRGB and MaxScl in 0.1 nit, the
// distribution at HDR10+'s indexes (index 10 a percent of pixels, the others 0.1 nit).
struct Hdr10PlusValues {
    std::uint32_t averageRgb = 0;
    std::array<std::uint32_t, 3> maxScl{};
    std::array<std::uint32_t, 9> distribution{};
};
Hdr10PlusValues hdr10PlusValuesOf(const SceneDistribution& distribution, double meanAverageLightNits);

}  // namespace hdrmeter::clip

#endif
