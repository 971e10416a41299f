// Results read from a frame's (or several frames') histograms and extremes. Every statistic but the band
// sum is a function of the histograms, which is what makes merging exact.
#include "hdrmeter/analysis.h"

#include "analysis/analysis_scale.h"
#include "analysis/statistics_data.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

namespace hdrmeter {

namespace {

using Histogram = std::vector<std::uint64_t>;

int smallestCode(const Histogram& counts) {
    for (size_t code = 0; code < counts.size(); ++code) {
        if (counts[code] != 0) return static_cast<int>(code);
    }
    return 0;
}

int largestCode(const Histogram& counts) {
    for (size_t code = counts.size(); code-- > 0;) {
        if (counts[code] != 0) return static_cast<int>(code);
    }
    return 0;
}

// The code of the pixel at `index` (0-based) among the pixels in descending order of code.
int codeAtDescending(const Histogram& counts, std::uint64_t index) {
    std::uint64_t passed = 0;
    for (size_t code = counts.size(); code-- > 0;) {
        passed += counts[code];
        if (passed > index) return static_cast<int>(code);
    }
    return smallestCode(counts);
}

int codeAtAscending(const Histogram& counts, std::uint64_t index) {
    std::uint64_t passed = 0;
    for (size_t code = 0; code < counts.size(); ++code) {
        passed += counts[code];
        if (passed > index) return static_cast<int>(code);
    }
    return largestCode(counts);
}

// Nearest rank, ceil(percent / 100 x count), at least 1, as a 0-based index. The percentage is taken to
// a millionth of a percent, so that a decimal such as 99.98 means exactly what it says.
std::uint64_t exactRankIndex(double percent, std::uint64_t count) {
    const unsigned __int128 millionths = static_cast<unsigned __int128>(std::llround(percent * 1e6));
    const unsigned __int128 scaled = millionths * count;
    const unsigned __int128 whole = 100000000;
    std::uint64_t rank = static_cast<std::uint64_t>((scaled + whole - 1) / whole);
    if (rank == 0) rank = 1;
    return std::min(rank, count) - 1;
}

// The class's position: the percentage narrowed to single precision, trunc(P / 100 x N) - 1, at least 0.
std::uint64_t classRankIndex(double percent, std::uint64_t count) {
    const long long position = static_cast<long long>(percent / 100.0 * static_cast<double>(count)) - 1;
    return static_cast<std::uint64_t>(std::max(position, 0LL));
}

void requirePercent(double percent) {
    if (!(percent >= 0.0 && percent <= 100.0)) {
        throw std::invalid_argument("a percentile must lie from 0 to 100, not " + std::to_string(percent));
    }
}

}  // namespace

FrameStatistics::FrameStatistics() noexcept = default;
FrameStatistics::FrameStatistics(const FrameStatistics& other)
    : data_(other.data_ ? std::make_unique<detail::StatisticsData>(*other.data_) : nullptr) {}
FrameStatistics::FrameStatistics(FrameStatistics&&) noexcept = default;
FrameStatistics& FrameStatistics::operator=(const FrameStatistics& other) {
    if (this != &other) *this = FrameStatistics(other);
    return *this;
}
FrameStatistics& FrameStatistics::operator=(FrameStatistics&&) noexcept = default;
FrameStatistics::~FrameStatistics() = default;

std::uint64_t FrameStatistics::pixelCount() const { return data_ ? data_->pixelCount : 0; }

int FrameStatistics::bitDepth() const { return data_ ? data_->scale->bitDepth : 0; }

const std::vector<std::uint64_t>& FrameStatistics::lightHistogram() const {
    static const Histogram none;
    return data_ ? data_->lightHistogram : none;
}

const std::vector<std::uint64_t>& FrameStatistics::lumaHistogram() const {
    static const Histogram none;
    return data_ ? data_->lumaHistogram : none;
}

double FrameStatistics::codeNits(int code) const {
    if (!data_) return 0.0;
    const detail::AnalysisScale& scale = *data_->scale;
    if (code < 0 || code >= scale.lightCodeCount()) {
        throw std::out_of_range("light code " + std::to_string(code) + " lies outside the " +
                                std::to_string(scale.lightCodeCount()) + " light codes of " +
                                std::to_string(scale.bitDepth) + "-bit samples");
    }
    return scale.peakNits * scale.lightLuminance[code];
}

double FrameStatistics::averageLightNits() const {
    if (!data_) return 0.0;
    const detail::AnalysisScale& scale = *data_->scale;
    const Histogram& lights = data_->lightHistogram;
    double lightSum = data_->bandLightSum;
    if (scale.arithmetic.summation == Summation::Fixed) {
        // A count below 2^29 times a single-precision luminance is exact in double precision, so only the
        // additions round, always in the same order.
        lightSum = 0.0;
        for (size_t code = 0; code < lights.size(); ++code) {
            if (lights[code] != 0) lightSum += static_cast<double>(lights[code]) * scale.lightLuminance[code];
        }
    }
    return scale.peakNits * lightSum / static_cast<double>(data_->pixelCount);
}

double FrameStatistics::largestLightNits() const {
    return data_ ? data_->scale->lightLuminance[largestCode(data_->lightHistogram)] * data_->scale->peakNits : 0.0;
}

double FrameStatistics::smallestLightNits() const {
    return data_ ? codeNits(smallestCode(data_->lightHistogram)) : 0.0;
}

double FrameStatistics::aboveThresholdPercent() const {
    if (!data_) return 0.0;
    const Histogram& lumas = data_->lumaHistogram;
    std::uint64_t above = 0;
    for (size_t code = static_cast<size_t>(data_->scale->firstLumaCodeAbove); code < lumas.size(); ++code) {
        above += lumas[code];
    }
    return static_cast<double>(above) * 100.0 / static_cast<double>(data_->pixelCount);
}

namespace {

// The luminance the brightest `percent` percent of pixels reach (a position among the luminances in
// descending order), in nits.
double topLuminanceNits(const detail::StatisticsData& data, double percent, bool fromBottom) {
    const detail::AnalysisScale& scale = *data.scale;
    if (scale.arithmetic.ranks == Ranks::Truncated) {
        const double classPercent = static_cast<double>(static_cast<float>(percent));
        const double position = fromBottom ? 100.0 - classPercent : classPercent;
        const int code = codeAtDescending(data.lumaHistogram, classRankIndex(position, data.pixelCount));
        return static_cast<float>(scale.peakNits * scale.luminance[code]);
    }
    // All but the darkest P percent: the nearest rank of 100 - P among the luminances in descending order.
    const double position = fromBottom ? 100.0 - percent : percent;
    const int code = codeAtDescending(data.lumaHistogram, exactRankIndex(position, data.pixelCount));
    return scale.peakNits * scale.luminance[code];
}

}  // namespace

double FrameStatistics::top1Nits() const {
    return data_ ? topLuminanceNits(*data_, data_->scale->top1Percent, false) : 0.0;
}

double FrameStatistics::top2Nits() const {
    return data_ ? topLuminanceNits(*data_, data_->scale->top2Percent, false) : 0.0;
}

double FrameStatistics::bottomNits() const {
    return data_ ? topLuminanceNits(*data_, data_->scale->bottomPercent, true) : 0.0;
}

double FrameStatistics::largestRedNits() const { return data_ ? codeNits(data_->largestChannelCode[0]) : 0.0; }

double FrameStatistics::largestGreenNits() const { return data_ ? codeNits(data_->largestChannelCode[1]) : 0.0; }

double FrameStatistics::largestBlueNits() const { return data_ ? codeNits(data_->largestChannelCode[2]) : 0.0; }

double FrameStatistics::lightAtPercentile(double percent) const {
    requirePercent(percent);
    if (!data_) return 0.0;
    return codeNits(codeAtAscending(data_->lightHistogram, exactRankIndex(percent, data_->pixelCount)));
}

double FrameStatistics::percentAtOrBelow(double nits) const {
    if (!data_) return 0.0;
    const Histogram& lights = data_->lightHistogram;
    std::uint64_t atOrBelow = 0;
    for (size_t code = 0; code < lights.size(); ++code) {
        if (lights[code] != 0 && codeNits(static_cast<int>(code)) <= nits) atOrBelow += lights[code];
    }
    return static_cast<double>(atOrBelow) * 100.0 / static_cast<double>(data_->pixelCount);
}

double FrameStatistics::smallestPqLight() const {
    return data_ ? data_->scale->lightPqSignal[smallestCode(data_->lightHistogram)] : 0.0;
}

double FrameStatistics::largestPqLight() const {
    return data_ ? data_->scale->lightPqSignal[largestCode(data_->lightHistogram)] : 0.0;
}

double FrameStatistics::meanPqLight() const {
    if (!data_) return 0.0;
    const Histogram& lights = data_->lightHistogram;
    double sum = 0.0;
    for (size_t code = 0; code < lights.size(); ++code) {
        if (lights[code] != 0) sum += static_cast<double>(lights[code]) * data_->scale->lightPqSignal[code];
    }
    return sum / static_cast<double>(data_->pixelCount);
}

StatisticsParts FrameStatistics::parts() const {
    StatisticsParts parts;
    if (!data_) return parts;
    parts.bitDepth = data_->scale->bitDepth;
    parts.range = data_->scale->range;
    parts.pixelCount = data_->pixelCount;
    parts.lightHistogram = data_->lightHistogram;
    parts.lumaHistogram = data_->lumaHistogram;
    for (int channel = 0; channel < 3; ++channel) parts.largestChannelCode[channel] = data_->largestChannelCode[channel];
    parts.bandLightSum = data_->bandLightSum;
    return parts;
}

void FrameStatistics::merge(const FrameStatistics& other) {
    if (!other.data_) return;
    if (!data_) {
        data_ = std::make_unique<detail::StatisticsData>(*other.data_);
        return;
    }
    detail::StatisticsData& mine = *data_;
    const detail::StatisticsData& theirs = *other.data_;
    if (mine.scale != theirs.scale && !mine.scale->measuresAlike(*theirs.scale)) {
        throw std::invalid_argument(
            "statistics measured with other settings, bit depth or range cannot be merged");
    }
    for (size_t code = 0; code < mine.lightHistogram.size(); ++code) mine.lightHistogram[code] += theirs.lightHistogram[code];
    for (size_t code = 0; code < mine.lumaHistogram.size(); ++code) mine.lumaHistogram[code] += theirs.lumaHistogram[code];
    for (int channel = 0; channel < 3; ++channel) {
        mine.largestChannelCode[channel] =
            std::max(mine.largestChannelCode[channel], theirs.largestChannelCode[channel]);
    }
    mine.pixelCount += theirs.pixelCount;
    mine.bandLightSum += theirs.bandLightSum;
}

}  // namespace hdrmeter
