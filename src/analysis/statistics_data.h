// Internal to the analyzer: what a FrameStatistics holds. Every statistic but the band sum is read from
// the histograms, which is what makes merging exact.
#ifndef HDRMETER_ANALYSIS_STATISTICS_DATA_H
#define HDRMETER_ANALYSIS_STATISTICS_DATA_H

#include "analysis/analysis_scale.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace hdrmeter {
namespace detail {

struct StatisticsData {
    std::shared_ptr<const AnalysisScale> scale;  // the tables the codes below refer to
    std::uint64_t pixelCount = 0;
    std::vector<std::uint64_t> lightHistogram;  // pixels by light code
    std::vector<std::uint64_t> lumaHistogram;   // pixels by luma code
    int largestChannelCode[3] = {-1, -1, -1};   // R, G, B
    double bandLightSum = 0.0;                  // normalised light summed in band order (Summation::Bands)
};

}  // namespace detail
}  // namespace hdrmeter

#endif
