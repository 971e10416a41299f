// The mastering display the metadata files carry: the request's parts first, then the stream's, then
// what its colour tags imply, then the defaults; each part remembers where it came from.
#include "metadata/metadata_model.h"

#include <algorithm>
#include <cctype>
#include <cmath>

namespace hdrmeter::clip {

namespace {

constexpr std::array<double, 2> kD65 = {0.3127, 0.3290};

// Coded values round to 0.00002 (HEVC, x265) or travel as floats (Matroska): a named set is recognised
// within a hundred of those steps, far below the 0.09 by which the two closest named sets (P3-D65 and
// BT.709, in green y) differ.
constexpr double kPrimariesTolerance = 0.002;

const NamedPrimaries& named(const char* name)
{
    for (const NamedPrimaries& entry : namedPrimaries())
        if (std::string(entry.name) == name)
            return entry;
    return namedPrimaries().front();
}

}  // namespace

const NamedPrimaries* namedPrimariesOfTag(int primariesTag)
{
    switch (primariesTag) {
    case 1:
        return &named("bt709");
    case 9:
        return &named("bt2020");
    case 12:
        return &named("p3-d65");
    default:
        return nullptr;
    }
}

const std::vector<NamedPrimaries>& namedPrimaries()
{
    static const std::vector<NamedPrimaries> table = {
        {"p3-d65", {0.680, 0.320, 0.265, 0.690, 0.150, 0.060}, kD65},
        {"bt2020", {0.708, 0.292, 0.170, 0.797, 0.131, 0.046}, kD65},
        {"bt709", {0.640, 0.330, 0.300, 0.600, 0.150, 0.060}, kD65},
    };
    return table;
}

bool setNamedPrimaries(MasteringLuminance& display, const std::string& name)
{
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    for (const NamedPrimaries& named : namedPrimaries())
        if (lower == named.name) {
            display.primaries = named.primaries;
            display.whitePoint = named.whitePoint;
            return true;
        }
    return false;
}

const NamedPrimaries* matchingPrimaries(const std::array<double, 6>& primaries, const std::array<double, 2>& whitePoint)
{
    for (const NamedPrimaries& named : namedPrimaries()) {
        bool close = true;
        for (std::size_t i = 0; i < 6; ++i)
            close = close && std::fabs(primaries[i] - named.primaries[i]) <= kPrimariesTolerance;
        for (std::size_t i = 0; i < 2; ++i)
            close = close && std::fabs(whitePoint[i] - named.whitePoint[i]) <= kPrimariesTolerance;
        if (close)
            return &named;
    }
    return nullptr;
}

MasteringLuminance masteringLuminanceOf(const StaticMetadata& stream, const std::optional<MasteringLuminance>& option)
{
    MasteringLuminance luminance;
    if (option && option->luminanceGiven) {
        luminance.maxNits = option->maxNits;
        luminance.minNits = option->minNits;
        luminance.assumed = false;
    } else if (stream.mastering && stream.mastering->maxNits && stream.mastering->minNits) {
        luminance.maxNits = *stream.mastering->maxNits;
        luminance.minNits = *stream.mastering->minNits;
        luminance.assumed = false;
    }
    return luminance;
}

ResolvedDisplay resolveMasteringDisplay(const StaticMetadata& stream, int primariesTag,
                                        const std::optional<MasteringLuminance>& option)
{
    ResolvedDisplay display;
    const MasteringDisplay* stated = stream.mastering ? &*stream.mastering : nullptr;
    const NamedPrimaries* tagged = namedPrimariesOfTag(primariesTag);
    if (option && option->primaries && option->whitePoint) {
        display.primaries = *option->primaries;
        display.whitePoint = *option->whitePoint;
        display.primariesFrom = DisplayOrigin::Option;
    } else if (stated && stated->primaries && stated->whitePoint) {
        display.primaries = *stated->primaries;
        display.whitePoint = *stated->whitePoint;
        display.primariesFrom = DisplayOrigin::Stream;
    } else {
        const NamedPrimaries& implied = tagged ? *tagged : named("bt2020");
        display.primaries = implied.primaries;
        display.whitePoint = implied.whitePoint;
        display.primariesFrom = tagged ? DisplayOrigin::Tags : DisplayOrigin::Assumed;
    }
    const MasteringLuminance luminance = masteringLuminanceOf(stream, option);
    display.maxNits = luminance.maxNits;
    display.minNits = luminance.minNits;
    display.luminanceFrom = luminance.assumed                    ? DisplayOrigin::Assumed
                            : option && option->luminanceGiven ? DisplayOrigin::Option
                                                               : DisplayOrigin::Stream;
    return display;
}

}  // namespace hdrmeter::clip
