#include "svg_plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <optional>

#include "timecode.h"


namespace hdrmeter::clip {

// Names come from the command line and may hold control characters or bytes that are not UTF-8, which
// XML forbids: those become U+FFFD, so the picture always parses.
std::string escapeXml(const std::string& text)
{
    std::string escaped;
    const std::string replacement = "\xEF\xBF\xBD";
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        std::size_t length = byte < 0x80 ? 1 : (byte >> 5) == 0x6 ? 2 : (byte >> 4) == 0xE ? 3 : (byte >> 3) == 0x1E ? 4 : 0;
        bool valid = length > 0 && i + length <= text.size();
        for (std::size_t k = 1; valid && k < length; ++k)
            valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        if (valid && length > 1) {
            // Overlong forms, surrogates and values past U+10FFFF are not UTF-8 either.
            unsigned int codePoint = byte & (0x7F >> length);
            for (std::size_t k = 1; k < length; ++k)
                codePoint = codePoint << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
            const unsigned int smallest[] = {0, 0, 0x80, 0x800, 0x10000};
            valid = codePoint >= smallest[length] && codePoint <= 0x10FFFF && (codePoint < 0xD800 || codePoint > 0xDFFF);
        }
        if (!valid) {
            escaped += replacement;
            ++i;
            continue;
        }
        if (length > 1) {
            escaped.append(text, i, length);
            i += length;
            continue;
        }
        switch (byte) {
        case '&':
            escaped += "&amp;";
            break;
        case '<':
            escaped += "&lt;";
            break;
        case '>':
            escaped += "&gt;";
            break;
        case '"':
            escaped += "&quot;";
            break;
        default:
            if (byte < 0x20 || byte == 0x7F)
                escaped += replacement;
            else
                escaped += static_cast<char>(byte);
        }
        ++i;
    }
    return escaped;
}

namespace {

constexpr double kCanvasWidth = 1340;
constexpr double kCanvasHeight = 640;
constexpr double kPlotLeft = 80;
constexpr double kPlotRight = 1040;
constexpr double kPlotTop = 80;
constexpr double kPlotBottom = 580;

const char* kLargestColour = "#d62728";
const char* kAverageColour = "#1f77b4";
const char* kTop1Colour = "#ff7f0e";
const char* kTop2Colour = "#2ca02c";
const char* kBottomColour = "#7f7f7f";
const char* kThresholdColour = "#9467bd";
const char* kCutColour = "#bbb";

// About the advance of a character of the bold 18-pixel title, for fitting it to the canvas.
constexpr double kTitleCharacterWidth = 10.5;
constexpr std::size_t kTitleMostCharacters = 160;

std::string number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

std::string nitsLabel(double nits)
{
    char text[32];
    std::snprintf(text, sizeof text, nits < 1.0 && nits > 0.0 ? "%.1f" : "%.0f", nits);
    return text;
}

std::string percentLabel(double percent)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", percent);
    return text;
}

// The first frame number is at the left edge and the last at the right; a single frame sits in the middle.
struct FrameAxis {
    long long firstFrame = 0;
    long long lastFrame = 0;
    double x(long long frame) const
    {
        if (lastFrame == firstFrame)
            return (kPlotLeft + kPlotRight) / 2;
        return kPlotLeft + (kPlotRight - kPlotLeft) * static_cast<double>(frame - firstFrame) /
                               static_cast<double>(lastFrame - firstFrame);
    }
};

double nitsY(double nits)
{
    return kPlotBottom - (kPlotBottom - kPlotTop) * pqSignalOfNits(std::max(0.0, nits));
}

long long niceFrameStep(long long span)
{
    long long step = 1;
    for (;;) {
        for (long long factor : {1LL, 2LL, 5LL})
            if (span / (step * factor) <= 10)
                return step * factor;
        step *= 10;
    }
}

// The first and last frame plotted, and how many there are.
struct FrameSpan {
    long long count = 0;
    std::optional<FrameRecord> first;
    long long lastFrame = 0;
};

FrameSpan spanOf(const FrameSequence& frames)
{
    FrameSpan span;
    frames([&span](const FrameRecord& record) {
        if (span.count++ == 0)
            span.first = record;
        span.lastFrame = record.numbers.frame;
    });
    return span;
}

// A film has a point per frame: the points go out in pieces rather than as one string.
void polyline(const FrameSequence& frames, const FrameSpan& span, const FrameAxis& axis,
              const std::function<double(const FrameMeasurement&)>& value, const char* colour, const char* dashes,
              double strokeWidth, const TextSink& out)
{
    std::string svg = "<polyline fill=\"none\" stroke=\"" + std::string(colour) + "\" stroke-width=\"" +
                      number(strokeWidth) + "\" stroke-linejoin=\"round\"";
    if (dashes[0] != '\0')
        svg += " stroke-dasharray=\"" + std::string(dashes) + "\"";
    svg += " points=\"";
    frames([&](const FrameRecord& frame) {
        svg += number(axis.x(frame.numbers.frame)) + "," + number(nitsY(value(frame.numbers))) + " ";
        if (svg.size() >= 65536) {
            out(svg);
            svg.clear();
        }
    });
    svg += "\"/>\n";
    if (span.count == 1)
        svg += "<circle cx=\"" + number(axis.x(span.first->numbers.frame)) + "\" cy=\"" +
               number(nitsY(value(span.first->numbers))) + "\" r=\"3\" fill=\"" + colour + "\"/>\n";
    out(svg);
}

// A peak's dot and its label; the label sits on a white box of its own, so that no curve runs through it.
struct PeakLabel {
    std::string text;
    const char* colour = "";
    double pointX = 0, pointY = 0;
    double left = 0, top = 0, width = 0;
    static constexpr double kHeight = 20;
    bool overlaps(const PeakLabel& other) const
    {
        return left < other.left + other.width && other.left < left + width && top < other.top + kHeight &&
               other.top < top + kHeight;
    }
};

std::optional<PeakLabel> peakLabel(const FramePeak& peak, const FrameAxis& axis, const std::string& name,
                                   const char* colour, bool below)
{
    if (!peak.any())
        return std::nullopt;
    PeakLabel label;
    label.text = name + " " + std::to_string(wholeNits(peak.value())) + " nits, " + peak.describeFrames();
    label.colour = colour;
    label.pointX = axis.x(peak.firstFrames().front());
    label.pointY = nitsY(peak.value());
    // About the advance of a bold 13-pixel character, and a margin either side.
    label.width = 7.6 * static_cast<double>(label.text.size()) + 10;
    label.left = std::clamp(label.pointX + 10, kPlotLeft + 4, kPlotRight - label.width - 4);
    label.top = std::clamp(below ? label.pointY + 12 : label.pointY - 12 - PeakLabel::kHeight, kPlotTop + 4,
                           kPlotBottom - PeakLabel::kHeight - 4);
    return label;
}

std::string peakDot(const PeakLabel& label)
{
    return "<circle cx=\"" + number(label.pointX) + "\" cy=\"" + number(label.pointY) + "\" r=\"6\" fill=\"" +
           label.colour + "\" stroke=\"white\" stroke-width=\"2\"/>\n";
}

std::string peakText(const PeakLabel& label)
{
    return "<rect x=\"" + number(label.left) + "\" y=\"" + number(label.top) + "\" width=\"" + number(label.width) +
           "\" height=\"" + number(PeakLabel::kHeight) + "\" rx=\"3\" fill=\"white\" stroke=\"" + label.colour +
           "\"/>\n<text x=\"" + number(label.left + 5) + "\" y=\"" + number(label.top + 15) +
           "\" font-size=\"13\" font-weight=\"bold\" fill=\"" + label.colour + "\">" + escapeXml(label.text) +
           "</text>\n";
}

// The canvas, the title (fitted to the canvas) and the line of the clip's figures under it.
std::string headingOf(const MeasurementSummary& summary, const PlotLabels& labels)
{
    std::string svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
                      number(kCanvasWidth) + "\" height=\"" + number(kCanvasHeight) + "\" viewBox=\"0 0 " +
                      number(kCanvasWidth) + " " + number(kCanvasHeight) +
                      "\" font-family=\"DejaVu Sans, Helvetica, Arial, sans-serif\">\n"
                      "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    // A long name would run off the canvas: its middle gives way first, then the text is squeezed to fit.
    std::string title = "Light per frame: " + labels.title;
    if (title.size() > kTitleMostCharacters) {
        std::size_t cut = kTitleMostCharacters / 2;
        while (cut > 0 && (static_cast<unsigned char>(title[cut]) & 0xC0) == 0x80)
            --cut;
        std::size_t resume = title.size() - kTitleMostCharacters / 2;
        while (resume < title.size() && (static_cast<unsigned char>(title[resume]) & 0xC0) == 0x80)
            ++resume;
        title = title.substr(0, cut) + "\xE2\x80\xA6" + title.substr(resume);
    }
    const double titleWidth = kCanvasWidth - kPlotLeft - 20;
    const bool squeezed = static_cast<double>(title.size()) * kTitleCharacterWidth > titleWidth;
    svg += "<text x=\"" + number(kPlotLeft) + "\" y=\"30\" font-size=\"18\" font-weight=\"bold\"" +
           (squeezed ? " textLength=\"" + number(titleWidth) + "\" lengthAdjust=\"spacingAndGlyphs\"" : std::string()) +
           ">" + escapeXml(title) + "</text>\n";
    std::string subtitle = std::to_string(summary.framesMeasured()) + " frames";
    if (summary.framesMeasured() > 0)
        subtitle += ", MaxCLL " + std::to_string(wholeNits(summary.maxCll().value())) + " nits, MaxFALL " +
                    std::to_string(wholeNits(summary.maxFall().value())) + " nits";
    svg += "<text x=\"" + number(kPlotLeft) + "\" y=\"54\" font-size=\"13\" fill=\"#444\">" + escapeXml(subtitle) +
           "</text>\n";
    return svg;
}

// The plotting area with its grid of nits on the PQ scale.
std::string nitsAxis()
{
    std::string svg = "<rect x=\"" + number(kPlotLeft) + "\" y=\"" + number(kPlotTop) + "\" width=\"" +
           number(kPlotRight - kPlotLeft) + "\" height=\"" + number(kPlotBottom - kPlotTop) +
           "\" fill=\"#fafafa\" stroke=\"#999\"/>\n";
    for (double nits : {0.0, 0.1, 1.0, 10.0, 100.0, 203.0, 1000.0, 4000.0, 10000.0}) {
        const double y = nitsY(nits);
        svg += "<line x1=\"" + number(kPlotLeft) + "\" y1=\"" + number(y) + "\" x2=\"" + number(kPlotRight) +
               "\" y2=\"" + number(y) + "\" stroke=\"#ddd\"/>\n";
        svg += "<text x=\"" + number(kPlotLeft - 8) + "\" y=\"" + number(y + 4) +
               "\" font-size=\"12\" text-anchor=\"end\">" + nitsLabel(nits) + "</text>\n";
    }
    svg += "<text transform=\"translate(22," + number((kPlotTop + kPlotBottom) / 2) +
           ") rotate(-90)\" font-size=\"13\" text-anchor=\"middle\">nits (PQ scale)</text>\n";
    return svg;
}

// Frame numbers along the bottom, with their timecodes when the frame rate is known.
std::string frameAxis(const FrameAxis& axis, const PlotLabels& labels)
{
    std::string svg;
    const long long span = axis.lastFrame - axis.firstFrame;
    const long long step = niceFrameStep(std::max(1LL, span));
    for (long long frame = (axis.firstFrame + step - 1) / step * step; frame <= axis.lastFrame; frame += step) {
        const double x = axis.x(frame);
        svg += "<line x1=\"" + number(x) + "\" y1=\"" + number(kPlotBottom) + "\" x2=\"" + number(x) + "\" y2=\"" +
               number(kPlotBottom + 5) + "\" stroke=\"#999\"/>\n";
        svg += "<text x=\"" + number(x) + "\" y=\"" + number(kPlotBottom + 20) +
               "\" font-size=\"12\" text-anchor=\"middle\">" + std::to_string(frame) + "</text>\n";
        if (labels.frameRate)
            svg += "<text x=\"" + number(x) + "\" y=\"" + number(kPlotBottom + 34) +
                   "\" font-size=\"10\" fill=\"#555\" text-anchor=\"middle\">" + timecodeOf(frame, labels.frameRate) +
                   "</text>\n";
    }
    svg += "<text x=\"" + number((kPlotLeft + kPlotRight) / 2) + "\" y=\"" + number(kPlotBottom + 52) +
           "\" font-size=\"13\" text-anchor=\"middle\">" +
           (labels.frameRate ? "frame, and its time" : "frame") + "</text>\n";
    return svg;
}

// The scene cuts with their numbers, the stream's stated MaxCLL and the threshold, behind the curves.
std::string marks(const FrameAxis& axis, const PlotLabels& labels)
{
    std::string svg;
    // Each scene's number over its start, as the scene tables count them; one too close to the last
    // number shown is left out rather than drawn over it.
    double lastNumberEnd = -1e9;
    for (std::size_t scene = 0; scene < labels.sceneCuts.size(); ++scene) {
        const long long cut = labels.sceneCuts[scene];
        if (cut < axis.firstFrame || cut > axis.lastFrame)
            continue;
        const std::string text = std::to_string(scene);
        const double x = axis.x(cut);
        if (x < lastNumberEnd + 4)
            continue;
        svg += "<text x=\"" + number(x + 2) + "\" y=\"" + number(kPlotTop - 6) + "\" font-size=\"10\" fill=\"#666\">" +
               text + "</text>\n";
        lastNumberEnd = x + 2 + 6.5 * static_cast<double>(text.size());
    }
    for (long long cut : labels.sceneCuts) {
        if (cut <= axis.firstFrame || cut > axis.lastFrame)
            continue;
        const double x = axis.x(cut);
        svg += "<line x1=\"" + number(x) + "\" y1=\"" + number(kPlotTop) + "\" x2=\"" + number(x) + "\" y2=\"" +
               number(kPlotBottom) + "\" stroke=\"" + kCutColour + "\" stroke-dasharray=\"4 3\"/>\n";
    }
    if (labels.statedMaxCllNits) {
        const double y = nitsY(*labels.statedMaxCllNits);
        svg += "<line x1=\"" + number(kPlotLeft) + "\" y1=\"" + number(y) + "\" x2=\"" + number(kPlotRight) +
               "\" y2=\"" + number(y) + "\" stroke=\"" + kLargestColour + "\" stroke-width=\"1\" stroke-dasharray=\"8 3 2 3\"/>\n";
    }

    const double thresholdY = nitsY(labels.thresholdNits);
    svg += "<line x1=\"" + number(kPlotLeft) + "\" y1=\"" + number(thresholdY) + "\" x2=\"" + number(kPlotRight) +
           "\" y2=\"" + number(thresholdY) + "\" stroke=\"" + kThresholdColour +
           "\" stroke-width=\"1.5\" stroke-dasharray=\"2 4\"/>\n";
    return svg;
}

// A measured curve: its legend, its value per frame and how it is drawn.
struct Series {
    std::string name;
    std::function<double(const FrameMeasurement&)> value;
    const char* colour;
    const char* dashes;
    double width;
};

// The curves to draw, the one drawn last (on top) last.
std::vector<Series> seriesOf(const PlotLabels& labels)
{
    std::vector<Series> series;
    if (labels.percentiles) {
        series.push_back({"luminance above the darkest " + percentLabel(labels.bottomPercent) + " %",
                          [](const FrameMeasurement& m) { return m.bottomNits; }, kBottomColour, "6 4", 1.5});
        series.push_back({"luminance of the brightest " + percentLabel(labels.top2Percent) + " %",
                          [](const FrameMeasurement& m) { return m.top2Nits; }, kTop2Colour, "6 4", 1.5});
        series.push_back({"luminance of the brightest " + percentLabel(labels.top1Percent) + " %",
                          [](const FrameMeasurement& m) { return m.top1Nits; }, kTop1Colour, "6 4", 1.5});
    }
    series.push_back({"average light (FALL)", [](const FrameMeasurement& m) { return m.averageLightNits; },
                      kAverageColour, "", 2.5});
    series.push_back({"largest light (CLL)", [](const FrameMeasurement& m) { return m.largestLightNits; },
                      kLargestColour, "", 2.5});
    return series;
}

// The stream's HDR10+ values, over the frames that carry them; a frame without breaks the line. True when
// any frame carries them.
bool statedLines(const FrameSequence& frames, const FrameAxis& axis, const TextSink& out)
{
    bool anyStated = false;
    const auto statedLine = [&](const std::function<double(const StatedHdr10Plus&)>& value, const char* colour) {
        std::string points;
        const auto flush = [&] {
            if (!points.empty())
                out("<polyline fill=\"none\" stroke=\"" + std::string(colour) +
                    "\" stroke-width=\"1.5\" stroke-dasharray=\"1 3\" points=\"" + points + "\"/>\n");
            points.clear();
        };
        frames([&](const FrameRecord& frame) {
            if (!frame.statedHdr10Plus)
                return flush();
            anyStated = true;
            points += number(axis.x(frame.numbers.frame)) + "," + number(nitsY(value(*frame.statedHdr10Plus))) + " ";
            if (points.size() >= 65536)
                out("<polyline fill=\"none\" stroke=\"" + std::string(colour) +
                    "\" stroke-width=\"1.5\" stroke-dasharray=\"1 3\" points=\"" + points + "\"/>\n"),
                    points = points.substr(points.rfind(' ', points.size() - 2) + 1);
        });
        flush();
    };
    statedLine([](const StatedHdr10Plus& s) { return s.averageRgb / 10.0; }, kAverageColour);
    statedLine([](const StatedHdr10Plus& s) { return *std::max_element(s.maxScl.begin(), s.maxScl.end()) / 10.0; },
               kLargestColour);
    return anyStated;
}

std::string peakLabels(const MeasurementSummary& summary, const FrameAxis& axis)
{
    std::string svg;
    // MaxCLL's label above its dot, MaxFALL's below its own; when they would still meet, MaxFALL's
    // moves below MaxCLL's, or above it when there is no room below.
    std::optional<PeakLabel> cllLabel = peakLabel(summary.maxCll(), axis, "MaxCLL", kLargestColour, false);
    std::optional<PeakLabel> fallLabel = peakLabel(summary.maxFall(), axis, "MaxFALL", kAverageColour, true);
    if (cllLabel && fallLabel && cllLabel->overlaps(*fallLabel)) {
        const double below = cllLabel->top + PeakLabel::kHeight + 4;
        fallLabel->top = below + PeakLabel::kHeight <= kPlotBottom - 4 ? below : cllLabel->top - PeakLabel::kHeight - 4;
    }
    for (const auto* label : {&cllLabel, &fallLabel})
        if (*label)
            svg += peakDot(**label);
    for (const auto* label : {&cllLabel, &fallLabel})
        if (*label)
            svg += peakText(**label);
    return svg;
}

// The curves' legend, top curve first, then the dashed lines'.
std::string legendOf(std::vector<Series> series, const PlotLabels& labels, bool anyStated)
{
    std::string svg;
    double legendY = kPlotTop + 10;
    const double legendX = kPlotRight + 20;
    std::reverse(series.begin(), series.end());
    for (const Series& line : series) {
        svg += "<line x1=\"" + number(legendX) + "\" y1=\"" + number(legendY) + "\" x2=\"" + number(legendX + 28) +
               "\" y2=\"" + number(legendY) + "\" stroke=\"" + line.colour + "\" stroke-width=\"" +
               number(line.width) + "\"" +
               (line.dashes[0] != '\0' ? " stroke-dasharray=\"" + std::string(line.dashes) + "\"" : std::string()) +
               "/>\n";
        svg += "<text x=\"" + number(legendX + 36) + "\" y=\"" + number(legendY + 4) + "\" font-size=\"13\">" +
               escapeXml(line.name) + "</text>\n";
        legendY += 24;
    }
    svg += "<line x1=\"" + number(legendX) + "\" y1=\"" + number(legendY) + "\" x2=\"" + number(legendX + 28) +
           "\" y2=\"" + number(legendY) + "\" stroke=\"" + kThresholdColour +
           "\" stroke-width=\"1.5\" stroke-dasharray=\"2 4\"/>\n";
    svg += "<text x=\"" + number(legendX + 36) + "\" y=\"" + number(legendY + 4) + "\" font-size=\"13\">threshold " +
           percentLabel(labels.thresholdNits) + " nits</text>\n";
    const auto legendLine = [&](const char* colour, const char* dashes, const std::string& name) {
        legendY += 24;
        svg += "<line x1=\"" + number(legendX) + "\" y1=\"" + number(legendY) + "\" x2=\"" + number(legendX + 28) +
               "\" y2=\"" + number(legendY) + "\" stroke=\"" + colour + "\" stroke-width=\"1.5\" stroke-dasharray=\"" +
               dashes + "\"/>\n<text x=\"" + number(legendX + 36) + "\" y=\"" + number(legendY + 4) +
               "\" font-size=\"13\">" + escapeXml(name) + "</text>\n";
    };
    if (labels.sceneCuts.size() > 1)
        legendLine(kCutColour, "4 3", "scene cut, its number above");
    if (labels.statedMaxCllNits)
        legendLine(kLargestColour, "8 3 2 3", "stated MaxCLL " + nitsLabel(*labels.statedMaxCllNits) + " nits");
    if (anyStated) {
        legendLine(kLargestColour, "1 3", "stated HDR10+ MaxScl (largest)");
        legendLine(kAverageColour, "1 3", "stated HDR10+ AverageRGB");
    }
    return svg;
}

}  // namespace

void renderLightPlot(const FrameSequence& frames, const MeasurementSummary& summary, const PlotLabels& labels,
                     const TextSink& out)
{
    const FrameSpan plotted = spanOf(frames);
    FrameAxis axis;
    if (plotted.first) {
        axis.firstFrame = plotted.first->numbers.frame;
        axis.lastFrame = plotted.lastFrame;
    }
    const std::vector<Series> series = seriesOf(labels);
    out(headingOf(summary, labels) + nitsAxis() + frameAxis(axis, labels) + marks(axis, labels));
    for (const Series& line : series)
        polyline(frames, plotted, axis, line.value, line.colour, line.dashes, line.width, out);
    const bool anyStated = labels.stated && statedLines(frames, axis, out);
    out(peakLabels(summary, axis) + legendOf(series, labels, anyStated) + "</svg>\n");
}

}  // namespace hdrmeter::clip
