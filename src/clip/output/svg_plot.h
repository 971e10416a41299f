#ifndef HDRMETER_CLIP_SVG_PLOT_H
#define HDRMETER_CLIP_SVG_PLOT_H

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "frame_measurement.h"
#include "summary.h"
#include "writing.h"

namespace hdrmeter::clip {

struct PlotLabels {
    std::string title;  // the input and its format
    double thresholdNits = 203.0;
    bool percentiles = true;
    double top1Percent = 1.0;
    double top2Percent = 10.0;
    double bottomPercent = 1.0;
    std::vector<long long> sceneCuts;        // the scenes' first frames, each after the first marked
    bool stated = false;                     // draw what the stream states over the measured light
    std::optional<double> statedMaxCllNits;  // the stream's MaxCLL, when it states one
    std::optional<std::pair<int, int>> frameRate;  // frames per second: timecodes under the frame numbers
};

// Text made safe for XML and HTML: markup characters escaped, control characters and bytes that are not
// UTF-8 (names come from the command line) replaced by U+FFFD.
std::string escapeXml(const std::string& text);

// A self-contained SVG picture of the per-frame light: largest light, average light and the
// percentile curves against frame number, on a vertical axis of nits spaced by the PQ curve (so that
// 1, 100 and 1000 nits sit where the eye puts them), with the threshold, MaxCLL and MaxFALL marked.
void renderLightPlot(const FrameSequence& frames, const MeasurementSummary& summary, const PlotLabels& labels,
                     const TextSink& out);

}  // namespace hdrmeter::clip

#endif
