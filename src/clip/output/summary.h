#ifndef HDRMETER_CLIP_SUMMARY_H
#define HDRMETER_CLIP_SUMMARY_H

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "frame_measurement.h"
#include "libav/stream_format.h"

namespace hdrmeter::clip {

// HDR10 metadata carries light levels as whole nits: the nearest whole number, halves rounded up.
long long wholeNits(double nits);

// The largest value of a per-frame quantity and the frames that reach it exactly.
class FramePeak {
public:
    void offer(long long frame, double value);

    bool any() const { return frameCount_ > 0; }
    double value() const { return value_; }
    long long frameCount() const { return frameCount_; }
    // The first frames that reach the peak, in stream order, at most kListedFrames of them.
    const std::vector<long long>& firstFrames() const { return firstFrames_; }
    // "frame 60", "frames 3, 4 and 9", "frames 3, 4, 9, 10, 11 and 40 more".
    std::string describeFrames() const;

    static constexpr std::size_t kListedFrames = 5;

private:
    double value_ = 0.0;
    long long frameCount_ = 0;
    std::vector<long long> firstFrames_;
};

// What the summary says about the run besides the measurements.
struct RunFacts {
    std::string inputName;
    std::string formatDescription;  // "hevc in matroska,webm, 3840x2160 10-bit 4:2:0 narrow range, PQ (tagged), ..."
    std::string arithmetic;         // "exact (ITU-R coefficients, fixed summation, exact ranks)"
    double thresholdNits = 203.0;
    double elapsedSeconds = 0.0;    // measuring only: waiting for a stalled input after the last frame is not in it
    long long pixelsPerFrame = 0;
    StaticMetadata metadata;        // as the stream states it
    std::string interruption;       // "SIGINT" when a signal stopped the run early
    // Label and text: lines after the frame count (the active area, the scenes), and closing lines (the
    // HDR10 options ready to paste).
    std::vector<std::pair<std::string, std::string>> runLines;
    std::vector<std::pair<std::string, std::string>> closingLines;
};

// "0.708 0.292" and the like: the mastering display as one line, or "" when nothing is stated.
std::string describeMasteringDisplay(const MasteringDisplay& display);

class MeasurementSummary {
public:
    void add(const FrameMeasurement& measurement);

    long long framesMeasured() const { return framesMeasured_; }
    const FramePeak& maxCll() const { return maxCll_; }
    const FramePeak& maxFall() const { return maxFall_; }
    long long framesAboveThreshold() const { return framesAboveThreshold_; }
    // Share of measured frames with at least one pixel above the threshold, in percent; 0 without frames.
    double framesAboveThresholdPercent() const;
    // Share of all measured pixels above the threshold, in percent; 0 without frames. Every frame of a
    // stream has the same pixel count, so this is the mean of the per-frame shares.
    double pixelsAboveThresholdPercent() const;

    void print(std::ostream& out, const RunFacts& facts) const;

private:
    long long framesMeasured_ = 0;
    FramePeak maxCll_;
    FramePeak maxFall_;
    long long framesAboveThreshold_ = 0;
    double aboveThresholdPercentSum_ = 0.0;
};

}  // namespace hdrmeter::clip

#endif
