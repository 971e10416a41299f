#ifndef HDRMETER_CLIP_SUMMARY_H
#define HDRMETER_CLIP_SUMMARY_H

#include <cstddef>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <hdrmeter/clip.h>

namespace hdrmeter::clip {


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
    // After MaxCLL and MaxFALL: where MaxCLL is, and the robust peaks.
    std::vector<std::pair<std::string, std::string>> peakLines;
    // The stream's frames per second, numerator and denominator: the peaks' frames get their timecode.
    std::optional<std::pair<int, int>> frameRate;
    // After the share above the threshold: the brightest scenes, a label line and then a table.
    std::vector<std::string> sceneTable;
};

// How many scenes the summary's table shows; the summary JSON has them all.
constexpr std::size_t kSummaryScenes = 10;

// "0.708 0.292" and the like: the mastering display as one line, or "" when nothing is stated.
std::string describeMasteringDisplay(const MasteringDisplay& display);

// The summary's table of the brightest scenes, none for a clip of one scene.
std::vector<std::string> brightestScenes(const Report& report);

void printSummary(std::ostream& out, const MeasurementSummary& summary, const RunFacts& facts);

// "hevc in matroska,webm, 3840x2160 10-bit 4:2:0 narrow range, PQ (tagged), BT.2020 (tagged)".
std::string formatDescription(const StreamFacts& facts);


}  // namespace hdrmeter::clip

#endif
