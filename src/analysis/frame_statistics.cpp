// Results read from a frame's (or several frames') histograms and extremes. Every statistic but the band
// sum is a function of the histograms, which is what makes merging exact.
#include "hdrmeter/analysis.h"

#include "analysis/analysis_scale.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

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

FrameStatistics::FrameStatistics() = default;
FrameStatistics::FrameStatistics(const FrameStatistics&) = default;
FrameStatistics::FrameStatistics(FrameStatistics&&) noexcept = default;
FrameStatistics& FrameStatistics::operator=(const FrameStatistics&) = default;
FrameStatistics& FrameStatistics::operator=(FrameStatistics&&) noexcept = default;
FrameStatistics::~FrameStatistics() = default;

int FrameStatistics::bitDepth() const { return scale_ ? scale_->bitDepth : 0; }

double FrameStatistics::codeNits(int code) const {
    if (!scale_) return 0.0;
    if (code < 0 || code >= scale_->codeCount()) {
        throw std::out_of_range("code " + std::to_string(code) + " lies outside the " +
                                std::to_string(scale_->bitDepth) + "-bit codes");
    }
    return scale_->peakNits * scale_->luminance[code];
}

double FrameStatistics::averageLightNits() const {
    if (pixelCount_ == 0) return 0.0;
    double lightSum = bandLightSum_;
    if (scale_->arithmetic.summation == Summation::Fixed) {
        // A count below 2^29 times a single-precision luminance is exact in double precision, so only the
        // additions round, always in the same order.
        lightSum = 0.0;
        for (size_t code = 0; code < lightHistogram_.size(); ++code) {
            if (lightHistogram_[code] != 0) lightSum += static_cast<double>(lightHistogram_[code]) * scale_->luminance[code];
        }
    }
    return scale_->peakNits * lightSum / static_cast<double>(pixelCount_);
}

double FrameStatistics::largestLightNits() const {
    return pixelCount_ == 0 ? 0.0 : scale_->luminance[largestCode(lightHistogram_)] * scale_->peakNits;
}

double FrameStatistics::smallestLightNits() const {
    return pixelCount_ == 0 ? 0.0 : codeNits(smallestCode(lightHistogram_));
}

double FrameStatistics::aboveThresholdPercent() const {
    if (pixelCount_ == 0) return 0.0;
    std::uint64_t above = 0;
    for (size_t code = static_cast<size_t>(scale_->firstLumaCodeAbove); code < lumaHistogram_.size(); ++code) {
        above += lumaHistogram_[code];
    }
    return static_cast<double>(above) * 100.0 / static_cast<double>(pixelCount_);
}

namespace {

// The luminance the brightest `percent` percent of pixels reach (a position among the luminances in
// descending order), in nits.
double topLuminanceNits(const detail::AnalysisScale& scale, const Histogram& lumaCounts, std::uint64_t pixels,
                        double percent, bool fromBottom) {
    if (scale.arithmetic.ranks == Ranks::Class) {
        const double classPercent = static_cast<double>(static_cast<float>(percent));
        const double position = fromBottom ? 100.0 - classPercent : classPercent;
        const int code = codeAtDescending(lumaCounts, classRankIndex(position, pixels));
        return static_cast<float>(scale.peakNits * scale.luminance[code]);
    }
    // All but the darkest P percent: the nearest rank of 100 - P among the luminances in descending order.
    const double position = fromBottom ? 100.0 - percent : percent;
    const int code = codeAtDescending(lumaCounts, exactRankIndex(position, pixels));
    return scale.peakNits * scale.luminance[code];
}

}  // namespace

double FrameStatistics::top1Nits() const {
    return pixelCount_ == 0 ? 0.0 : topLuminanceNits(*scale_, lumaHistogram_, pixelCount_, scale_->top1Percent, false);
}

double FrameStatistics::top2Nits() const {
    return pixelCount_ == 0 ? 0.0 : topLuminanceNits(*scale_, lumaHistogram_, pixelCount_, scale_->top2Percent, false);
}

double FrameStatistics::bottomNits() const {
    return pixelCount_ == 0 ? 0.0
                            : topLuminanceNits(*scale_, lumaHistogram_, pixelCount_, scale_->bottomPercent, true);
}

double FrameStatistics::largestRedNits() const {
    return pixelCount_ == 0 ? 0.0 : codeNits(largestChannelCode_[0]);
}

double FrameStatistics::largestGreenNits() const {
    return pixelCount_ == 0 ? 0.0 : codeNits(largestChannelCode_[1]);
}

double FrameStatistics::largestBlueNits() const {
    return pixelCount_ == 0 ? 0.0 : codeNits(largestChannelCode_[2]);
}

double FrameStatistics::lightAtPercentile(double percent) const {
    requirePercent(percent);
    if (pixelCount_ == 0) return 0.0;
    return codeNits(codeAtAscending(lightHistogram_, exactRankIndex(percent, pixelCount_)));
}

double FrameStatistics::percentAtOrBelow(double nits) const {
    if (pixelCount_ == 0) return 0.0;
    std::uint64_t atOrBelow = 0;
    for (size_t code = 0; code < lightHistogram_.size(); ++code) {
        if (lightHistogram_[code] != 0 && codeNits(static_cast<int>(code)) <= nits) atOrBelow += lightHistogram_[code];
    }
    return static_cast<double>(atOrBelow) * 100.0 / static_cast<double>(pixelCount_);
}

double FrameStatistics::smallestPqLight() const {
    return pixelCount_ == 0 ? 0.0 : scale_->pqSignal[smallestCode(lightHistogram_)];
}

double FrameStatistics::largestPqLight() const {
    return pixelCount_ == 0 ? 0.0 : scale_->pqSignal[largestCode(lightHistogram_)];
}

double FrameStatistics::meanPqLight() const {
    if (pixelCount_ == 0) return 0.0;
    double sum = 0.0;
    for (size_t code = 0; code < lightHistogram_.size(); ++code) {
        if (lightHistogram_[code] != 0) sum += static_cast<double>(lightHistogram_[code]) * scale_->pqSignal[code];
    }
    return sum / static_cast<double>(pixelCount_);
}

void FrameStatistics::merge(const FrameStatistics& other) {
    if (other.pixelCount_ == 0) return;
    if (pixelCount_ == 0) {
        *this = other;
        return;
    }
    if (scale_ != other.scale_ && !scale_->measuresAlike(*other.scale_)) {
        throw std::invalid_argument(
            "statistics measured with other settings, bit depth or range cannot be merged");
    }
    for (size_t code = 0; code < lightHistogram_.size(); ++code) {
        lightHistogram_[code] += other.lightHistogram_[code];
        lumaHistogram_[code] += other.lumaHistogram_[code];
    }
    for (int channel = 0; channel < 3; ++channel) {
        largestChannelCode_[channel] = std::max(largestChannelCode_[channel], other.largestChannelCode_[channel]);
    }
    pixelCount_ += other.pixelCount_;
    bandLightSum_ += other.bandLightSum_;
}

}  // namespace hdrmeter
