// The HDR10 options ready to paste for x265, ffmpeg and mkvmerge.
#include "output/metadata_json.h"

#include <cmath>

namespace hdrmeter::clip {

namespace {

// x265's units: chromaticities in 0.00002, luminance in 0.0001 cd/m2.
std::string x265MasterDisplay(const MasteringDisplay& display)
{
    const auto unit = [](double value, double step) { return std::to_string(std::llround(value / step)); };
    const std::array<double, 6>& p = *display.primaries;
    const auto point = [&](double x, double y) { return "(" + unit(x, 0.00002) + "," + unit(y, 0.00002) + ")"; };
    return "G" + point(p[2], p[3]) + "B" + point(p[4], p[5]) + "R" + point(p[0], p[1]) + "WP" +
           point((*display.whitePoint)[0], (*display.whitePoint)[1]) + "L(" + unit(*display.maxNits, 0.0001) + "," +
           unit(*display.minNits, 0.0001) + ")";
}

}  // namespace

std::vector<std::pair<std::string, std::string>> hdr10Lines(const MeasurementSummary& summary,
                                                            const StaticMetadata& stream, int trackId)
{
    if (summary.framesMeasured() == 0)
        return {};
    const std::string cll = std::to_string(wholeNits(summary.maxCll().value()));
    const std::string fall = std::to_string(wholeNits(summary.maxFall().value()));
    std::string masterDisplay;
    if (stream.mastering && stream.mastering->primaries && stream.mastering->whitePoint && stream.mastering->maxNits &&
        stream.mastering->minNits)
        masterDisplay = x265MasterDisplay(*stream.mastering);
    std::string x265 = "--max-cll \"" + cll + "," + fall + "\"";
    std::string ffmpeg = "-x265-params \"max-cll=" + cll + "," + fall;
    if (!masterDisplay.empty()) {
        x265 += " --master-display \"" + masterDisplay + "\"";
        ffmpeg += ":master-display=" + masterDisplay;
    }
    return {{"x265", x265},
            {"ffmpeg", ffmpeg + "\""},
            {"mkvmerge", "--max-content-light " + std::to_string(trackId) + ":" + cll + " --max-frame-light " +
                             std::to_string(trackId) + ":" + fall}};
}

}  // namespace hdrmeter::clip
