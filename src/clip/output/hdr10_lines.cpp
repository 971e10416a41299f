// The HDR10 options ready to paste for x265, ffmpeg and mkvmerge: the colour tags, the mastering display
// and the light levels, so that an encode or a mux carries all of them from these lines alone.
#include "output/metadata_json.h"

#include <cmath>
#include <cstdio>

#include <hdrmeter/settings.h>

namespace hdrmeter::clip {

namespace {

std::string unitsOf(double value, double step)
{
    return std::to_string(std::llround(value / step));
}

// x265's units: chromaticities in 0.00002, luminance in 0.0001 cd/m2.
std::string x265MasterDisplay(const ResolvedDisplay& display)
{
    const std::array<double, 6>& p = display.primaries;
    const auto point = [](double x, double y) { return "(" + unitsOf(x, 0.00002) + "," + unitsOf(y, 0.00002) + ")"; };
    return "G" + point(p[2], p[3]) + "B" + point(p[4], p[5]) + "R" + point(p[0], p[1]) + "WP" +
           point(display.whitePoint[0], display.whitePoint[1]) + "L(" + unitsOf(display.maxNits, 0.0001) + "," +
           unitsOf(display.minNits, 0.0001) + ")";
}

// A decimal on x265's grid of `step`, without trailing zeros: mkvmerge then carries what x265 does.
std::string decimal(double value, double step, int decimals)
{
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", decimals, static_cast<double>(std::llround(value / step)) * step);
    std::string result = text;
    while (result.back() == '0')
        result.pop_back();
    if (result.back() == '.')
        result.pop_back();
    return result;
}

// The stream's colour tags as x265 names them and as Matroska numbers them (ITU-T H.273 codes, and
// Matroska's 1 broadcast range, 2 full range). Primaries that are no named set are written as BT.2020,
// HDR10's own.
struct ColourTags {
    const char* primariesName;
    int primariesCode;
    const char* transferName;
    int transferCode;
    const char* matrixName;
    int matrixCode;
    const char* rangeName;
    int rangeCode;
};

ColourTags colourTagsOf(const StreamFacts& stream)
{
    ColourTags tags{"bt2020", 9, "smpte2084", 16, "bt2020nc", 9, "limited", 1};
    if (stream.primariesTag == 1 || stream.primariesTag == 12) {
        tags.primariesName = stream.primariesTag == 1 ? "bt709" : "smpte432";
        tags.primariesCode = stream.primariesTag;
    }
    if (stream.colour.transfer == Transfer::Hlg) {
        tags.transferName = "arib-std-b67";
        tags.transferCode = 18;
    }
    if (stream.colour.matrix == Matrix::Bt709) {
        tags.matrixName = "bt709";
        tags.matrixCode = 1;
    }
    // An R'G'B' master's lines are for the Y'CbCr encode made from it, which is narrow range.
    if (stream.range == SampleRange::Full && stream.model == ColourModel::YCbCr) {
        tags.rangeName = "full";
        tags.rangeCode = 2;
    }
    return tags;
}

std::string originText(DisplayOrigin origin)
{
    switch (origin) {
    case DisplayOrigin::Stream:
        return "from the stream";
    case DisplayOrigin::Option:
        return "from " + mention("mastering_display");
    case DisplayOrigin::Tags:
        return "from the stream's primaries tag";
    case DisplayOrigin::Assumed:
        break;
    }
    return "assumed";
}

// What the lines' display is and where its parts came from; "" when the stream stated all of it (the
// summary has printed it already).
std::string describeLinesDisplay(const ResolvedDisplay& display)
{
    if (display.primariesFrom == DisplayOrigin::Stream && display.luminanceFrom == DisplayOrigin::Stream)
        return {};
    MasteringDisplay shown;
    shown.primaries = display.primaries;
    shown.whitePoint = display.whitePoint;
    shown.minNits = display.minNits;
    shown.maxNits = display.maxNits;
    std::string text = describeMasteringDisplay(shown) + " (" +
                       (display.primariesFrom == display.luminanceFrom
                            ? std::string(originText(display.primariesFrom))
                            : std::string("primaries ") + originText(display.primariesFrom) + ", luminance " +
                                  originText(display.luminanceFrom)) +
                       ")";
    if (display.primariesFrom == DisplayOrigin::Assumed || display.luminanceFrom == DisplayOrigin::Assumed)
        text += "; the stream states none: give " + mention("mastering_display");
    return text;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> hdr10Lines(const Report& report)
{
    const MeasurementSummary& summary = report.summary;
    if (summary.framesMeasured() == 0)
        return {};
    const CarriedLightLevels levels = carriedLightLevels(report);
    const std::string cll = std::to_string(levels.maxCll);
    const std::string fall = std::to_string(levels.maxFall);
    const ResolvedDisplay display =
        resolveMasteringDisplay(report.metadata, report.stream.primariesTag, report.request.masteringDisplay);
    const ColourTags tags = colourTagsOf(report.stream);
    const std::string masterDisplay = x265MasterDisplay(display);
    // HDR10 is PQ: an HLG picture is encoded as HLG, without the HDR10 flag.
    const bool hlg = report.stream.colour.transfer == Transfer::Hlg;

    // HDR10 is 10-bit: x265's program otherwise encodes at the depth its build starts with (8 for most);
    // through ffmpeg the pixel format sets it. The headers, and the metadata with them, are repeated at
    // every keyframe for a player that starts anywhere but at the first frame.
    const std::string x265 = std::string("--colorprim ") + tags.primariesName + " --transfer " + tags.transferName +
                             " --colormatrix " + tags.matrixName + " --range " + tags.rangeName +
                             " --master-display \"" + masterDisplay + "\" --max-cll \"" + cll + "," + fall +
                             "\"" + (hlg ? "" : " --hdr10") + " --repeat-headers --output-depth 10";
    const std::string ffmpeg = std::string("-x265-params \"colorprim=") + tags.primariesName + ":transfer=" +
                               tags.transferName + ":colormatrix=" + tags.matrixName + ":range=" + tags.rangeName +
                               ":master-display=" + masterDisplay + ":max-cll=" + cll + "," + fall +
                               (hlg ? "" : ":hdr10=1") + ":repeat-headers=1\"";

    const std::string track = std::to_string(report.stream.streamIndex) + ":";
    const std::array<double, 6>& p = display.primaries;
    std::string chromaticities;
    for (double coordinate : p)
        chromaticities += (chromaticities.empty() ? "" : ",") + decimal(coordinate, 0.00002, 5);
    const std::string mkvmerge =
        "--colour-matrix " + track + std::to_string(tags.matrixCode) + " --colour-range " + track +
        std::to_string(tags.rangeCode) + " --colour-transfer-characteristics " + track +
        std::to_string(tags.transferCode) + " --colour-primaries " + track + std::to_string(tags.primariesCode) +
        " --chromaticity-coordinates " + track + chromaticities + " --white-colour-coordinates " + track +
        decimal(display.whitePoint[0], 0.00002, 5) + "," + decimal(display.whitePoint[1], 0.00002, 5) +
        " --max-luminance " + track + decimal(display.maxNits, 0.0001, 4) + " --min-luminance " + track +
        decimal(display.minNits, 0.0001, 4) + " --max-content-light " + track + cll + " --max-frame-light " + track +
        fall;

    std::vector<std::pair<std::string, std::string>> lines;
    if (levels.robust)
        lines.emplace_back("levels in the lines", "the robust MaxCLL " + cll + " and MaxFALL " + fall +
                                                      " (" + mention("robust_peaks") + "), as in the metadata files");
    if (const std::string described = describeLinesDisplay(display); !described.empty())
        lines.emplace_back("display in the lines", described);
    if (static_cast<double>(levels.maxCll) > display.maxNits)
        lines.emplace_back("check the lines", "MaxCLL " + cll + " nits is above the mastering display's maximum, " +
                                                  decimal(display.maxNits, 0.0001, 4) + " nits (" +
                                                  originText(display.luminanceFrom) +
                                                  "): give --mastering-display with the display the picture was "
                                                  "graded on, or look for the pixels that overshoot it");
    if (report.stream.model == ColourModel::Rgb)
        lines.emplace_back("encode in the lines",
                           std::string("the Y'CbCr encode made from this R'G'B' master (") +
                               (report.stream.colour.matrix == Matrix::Bt709 ? "BT.709" : "BT.2020 non-constant luminance") +
                               ", narrow range); its MaxCLL and MaxFALL are the master's, measured as R'G'B'");
    if (hlg)
        lines.emplace_back("HDR10 version", "the lines keep HLG, which is not HDR10; an HDR10 encode needs the picture "
                                            "converted to PQ, --transfer smpte2084 and --hdr10, and the PQ version "
                                            "measured for its own MaxCLL and MaxFALL");
    lines.emplace_back("x265", x265);
    lines.emplace_back("ffmpeg", ffmpeg);
    lines.emplace_back("mkvmerge", mkvmerge);
    return lines;
}

}  // namespace hdrmeter::clip
