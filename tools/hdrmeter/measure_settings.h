#ifndef HDRMETER_TOOL_MEASURE_SETTINGS_H
#define HDRMETER_TOOL_MEASURE_SETTINGS_H

namespace hdrmeter::tool {

enum class TransferFunction { Pq, Hlg };
enum class ColourMatrix { Bt2020, Bt709 };

// What the user asked the engine to measure; the defaults are the command line's defaults.
struct MeasureSettings {
    TransferFunction transfer = TransferFunction::Pq;
    ColourMatrix matrix = ColourMatrix::Bt2020;
    int thresholdNits = 203;  // the HDR reference white
    float top1Percent = 1.0f;
    float top2Percent = 10.0f;
    float bottomPercent = 1.0f;
    bool percentiles = true;
    int taskCount = 1;
    bool lumaChecks = false;
};

}  // namespace hdrmeter::tool

#endif
