// The analyzer: checks a frame, cuts its active pixels into lanes for the worker threads, measures each
// lane's rows with the reading face of the band kernel, and gathers the lanes into one FrameStatistics.
#include "hdrmeter/analysis.h"

#include "analysis/analysis_scale.h"
#include "analysis/frame_rules.h"
#include "analysis/statistics_data.h"
#include "analysis/worker_pool.h"
#include "measurement/band_kernel.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

namespace hdrmeter {

double pqSignalOfNits(double nits) {
    const double y = nits <= 0.0 ? 0.0 : (nits >= 10000.0 ? 1.0 : nits / 10000.0);
    const double m1 = 2610.0 / 16384.0;
    const double m2 = 2523.0 / 4096.0 * 128.0;
    const double c1 = 3424.0 / 4096.0;
    const double c2 = 2413.0 / 4096.0 * 32.0;
    const double c3 = 2392.0 / 4096.0 * 32.0;
    const double power = std::pow(y, m1);
    return std::pow((c1 + c2 * power) / (1.0 + c3 * power), m2);
}

const char* libraryVersion() {
#define HDRMETER_STRINGIFY2(x) #x
#define HDRMETER_STRINGIFY(x) HDRMETER_STRINGIFY2(x)
    return HDRMETER_STRINGIFY(HDRMETER_VERSION_MAJOR) "." HDRMETER_STRINGIFY(HDRMETER_VERSION_MINOR) "." HDRMETER_STRINGIFY(
        HDRMETER_VERSION_PATCH);
#undef HDRMETER_STRINGIFY
#undef HDRMETER_STRINGIFY2
}

std::string Arithmetic::name() const {
    if (*this == classParity()) return "class";
    if (*this == Arithmetic()) return "exact";
    return "mixed";
}

namespace detail {

namespace {

void require(bool condition, const std::string& reason) {
    if (!condition) throw std::invalid_argument(reason);
}

void checkPercent(double percent, const char* name) {
    require(percent >= 0.0 && percent <= 100.0,
            std::string(name) + " must be a percentage from 0 to 100, not " + std::to_string(percent));
}

// More bands than this measure nothing better, and each costs a slot.
constexpr int kMaxTaskCount = 4096;

// At most one thread a core: more would only take turns.
int threadCountFor(int taskCount) {
    const int cores = std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    return taskCount == 0 ? cores : std::min(taskCount, cores);
}

}  // namespace

void validateFrame(const FrameView& frame) {
    require(frame.bitDepth == 10 || frame.bitDepth == 12 || frame.bitDepth == 16,
            "bit depth " + std::to_string(frame.bitDepth) + " is not measured: give 10, 12 or 16");
    require(frame.model == ColourModel::YCbCr || frame.model == ColourModel::Rgb, "unknown colour model");
    const bool rgb = frame.model == ColourModel::Rgb;
    require(rgb || frame.layout == ChromaLayout::Yuv420 || frame.layout == ChromaLayout::Yuv422 ||
                frame.layout == ChromaLayout::Yuv444,
            "unknown chroma layout");
    require(frame.range == SampleRange::Narrow || frame.range == SampleRange::Full, "unknown sample range");
    require(frame.width >= 1 && frame.height >= 1, "a frame needs a width and a height of at least 1, not " +
                                                       std::to_string(frame.width) + "x" +
                                                       std::to_string(frame.height));
    require(static_cast<unsigned long long>(frame.width) * static_cast<unsigned long long>(frame.height) <=
                0xFFFFFFFFull,
            "a frame of more than 2^32 - 1 pixels is not measured");
    if (rgb) {
        const int step = frame.steps[0];
        require((step == 1 || step == 3 || step == 4) && frame.steps[1] == step && frame.steps[2] == step,
                "R'G'B' sample steps " + std::to_string(frame.steps[0]) + "," + std::to_string(frame.steps[1]) +
                    "," + std::to_string(frame.steps[2]) +
                    " are not measured: give 1,1,1 for planar samples, 3,3,3 or 4,4,4 for packed pixels");
    } else {
        require(frame.steps[0] == 1 && frame.steps[1] == 1 && frame.steps[2] == 1,
                "Y'CbCr samples are planar: give sample steps of 1, or ColourModel::Rgb for packed R'G'B' pixels");
    }
    const int chromaWidth = rgb ? frame.width : (frame.width + chromaShiftX(frame.layout)) >> chromaShiftX(frame.layout);
    static const char* const ycbcrNames[3] = {"luma", "Cb", "Cr"};
    static const char* const rgbNames[3] = {"R'", "G'", "B'"};
    const char* const* names = rgb ? rgbNames : ycbcrNames;
    for (int plane = 0; plane < 3; ++plane) {
        const std::ptrdiff_t rowBytes =
            2 * static_cast<std::ptrdiff_t>(frame.steps[plane]) * (plane == 0 ? frame.width : chromaWidth);
        const std::ptrdiff_t stride = frame.strides[plane];
        require(frame.planes[plane] != nullptr, std::string("the ") + names[plane] + " plane is missing");
        require(reinterpret_cast<uintptr_t>(frame.planes[plane]) % 2 == 0,
                std::string("the ") + names[plane] + " plane is not aligned to its 16-bit samples");
        require(std::llabs(stride) >= rowBytes && stride % 2 == 0,
                std::string("the ") + names[plane] + " plane's stride of " + std::to_string(stride) +
                    " bytes is odd or shorter than a row of " + std::to_string(rowBytes) + " bytes");
    }
}

// What one lane of a frame counts into; each lane has its own, so lanes never share a counter. Its
// counters are all zero between frames: gathering a lane's counts clears them.
struct LaneScratch {
    std::vector<uint32_t> lightCounts;
    std::vector<uint32_t> lumaCounts;
    std::vector<uint32_t> lightTotals;  // the light counts' ways added up, by the lane itself
    int highestLightCode = -1;          // no light code above it was counted
    BandTotals totals;
};

struct AnalyzerState {
    explicit AnalyzerState(const AnalysisSettings& s) : settings(s), pool(threadCountFor(s.taskCount) - 1) {}

    AnalysisSettings settings;
    WorkerPool pool;
    std::mutex scalesMutex;
    std::shared_ptr<const AnalysisScale> scales[3][2];  // by bit depth (10, 12, 16) and range
    // Lanes' counters kept between frames (a megabyte a lane with exact light): allocating and clearing
    // them anew for every frame cost page faults and a pass over memory. Taken and given back under the
    // mutex, so that frames measured at once on several threads each have their own.
    std::mutex scratchMutex;
    std::vector<std::unique_ptr<LaneScratch>> spareScratch;

    std::unique_ptr<LaneScratch> takeScratch() {
        std::lock_guard<std::mutex> lock(scratchMutex);
        if (spareScratch.empty()) return std::make_unique<LaneScratch>();
        std::unique_ptr<LaneScratch> scratch = std::move(spareScratch.back());
        spareScratch.pop_back();
        return scratch;
    }
    void giveBack(std::vector<std::unique_ptr<LaneScratch>>& scratches) {
        std::lock_guard<std::mutex> lock(scratchMutex);
        for (std::unique_ptr<LaneScratch>& scratch : scratches) spareScratch.push_back(std::move(scratch));
    }

    std::shared_ptr<const AnalysisScale> scaleFor(int bitDepth, SampleRange range) {
        const int depthIndex = bitDepth == 10 ? 0 : bitDepth == 12 ? 1 : 2;
        const int rangeIndex = range == SampleRange::Narrow ? 0 : 1;
        std::lock_guard<std::mutex> lock(scalesMutex);
        std::shared_ptr<const AnalysisScale>& scale = scales[depthIndex][rangeIndex];
        if (!scale) scale = buildAnalysisScale(settings, bitDepth, range);
        return scale;
    }

    FrameStatistics analyze(const FrameView& frame, const ActiveArea& area);

    FrameStatistics restore(const StatisticsParts& parts) {
        FrameStatistics statistics;
        if (parts.bitDepth == 0 && parts.pixelCount == 0) return statistics;
        if (parts.bitDepth != 10 && parts.bitDepth != 12 && parts.bitDepth != 16)
            throw std::invalid_argument("statistics of " + std::to_string(parts.bitDepth) + "-bit codes cannot be restored");
        const std::size_t codes = std::size_t(1) << parts.bitDepth;
        const std::shared_ptr<const AnalysisScale> scale = scaleFor(parts.bitDepth, parts.range);
        const std::size_t lightCodes = static_cast<std::size_t>(scale->lightCodeCount());
        const auto total = [](const std::vector<std::uint64_t>& histogram) {
            std::uint64_t sum = 0;
            for (std::uint64_t count : histogram) sum += count;
            return sum;
        };
        if (parts.lightHistogram.size() != lightCodes || parts.lumaHistogram.size() != codes ||
            total(parts.lightHistogram) != parts.pixelCount || total(parts.lumaHistogram) != parts.pixelCount)
            throw std::invalid_argument("the histograms do not fit the bit depth and the pixel count");
        for (int code : parts.largestChannelCode)
            if (code < -1 || code >= static_cast<int>(lightCodes))
                throw std::invalid_argument("a largest channel code lies outside the light codes");
        auto data = std::make_unique<StatisticsData>();
        data->scale = scale;
        data->pixelCount = parts.pixelCount;
        data->lightHistogram = parts.lightHistogram;
        data->lumaHistogram = parts.lumaHistogram;
        for (int channel = 0; channel < 3; ++channel) data->largestChannelCode[channel] = parts.largestChannelCode[channel];
        data->bandLightSum = parts.bandLightSum;
        statistics.data_ = std::move(data);
        return statistics;
    }
};

FrameStatistics AnalyzerState::analyze(const FrameView& frame, const ActiveArea& area) {
    validateFrame(frame);
    const bool rgb = frame.model == ColourModel::Rgb;
    require(!rgb || settings.arithmetic.coefficients == Coefficients::Exact,
            "the class's coefficient sets turn Y'CbCr into R'G'B': measure R'G'B' frames with exact coefficients");
    require(area.left >= 0 && area.top >= 0 && area.right >= 0 && area.bottom >= 0,
            "active area offsets must not be negative");
    const long long activeWidth = static_cast<long long>(frame.width) - area.left - area.right;
    const long long activeHeight = static_cast<long long>(frame.height) - area.top - area.bottom;
    require(activeWidth > 0 && activeHeight > 0,
            "the active area " + std::to_string(area.left) + "," + std::to_string(area.top) + "," +
                std::to_string(area.right) + "," + std::to_string(area.bottom) + " leaves no pixel of a " +
                std::to_string(frame.width) + "x" + std::to_string(frame.height) + " frame");
    const std::shared_ptr<const AnalysisScale> scale = scaleFor(frame.bitDepth, frame.range);
    const AnalysisScale& s = *scale;

    // 16-bit codes would make four ways of both histograms too large for the caches, and runs of equal
    // codes are rarer there; one table then. The finer light codes of 10 and 12 bits are counted in two
    // ways (512 KiB a lane): in one table, runs of equal light codes in flat parts of a picture wait on
    // each other's increments (9.1 to 10.2 ms a 4K frame in one task, against 6.8 to 7.6 in four ways),
    // and four ways take twice the memory for no more speed.
    const int codes = s.codeCount();
    const int lightCodes = s.lightCodeCount();
    const int histogramStride = frame.bitDepth == 16 ? 0 : codes;
    const int lightWayShift = frame.bitDepth == 16 ? 0 : s.lightScale == 1 ? 2 : 1;  // the class: four ways
    const size_t histogramSize = static_cast<size_t>(histogramStride == 0 ? 1 : kHistogramWays) * codes;
    const size_t lightHistogramSize = (size_t(1) << lightWayShift) * static_cast<size_t>(lightCodes);

    BandParameters base = levelParameters(s.lightLuminance.data(), s.levels, s.coefficients);
    base.lightScale = static_cast<float>(s.lightScale);
    base.rgbMin = s.levels.rgbMin * s.lightScale;
    base.rgbMax = s.levels.rgbMax * s.lightScale;
    base.codeRounding = s.codeRounding;
    base.measureLight = true;
    base.sumLight = s.arithmetic.summation == Summation::Bands;
    base.histogramStride = histogramStride;
    base.lightWayShift = lightWayShift;
    for (int channel = 0; channel < 3; ++channel) base.lumaWeights[channel] = s.lumaWeights[channel];

    const ReadingRowsFunction readRows = kernels().readingRows;
    const ReadingRgbRowFunction readRgbRow = kernels().readingRgbRow;
    const int shiftX = rgb ? 0 : chromaShiftX(frame.layout);
    const int shiftY = rgb ? 0 : chromaShiftY(frame.layout);
    const int step = frame.steps[0];
    const int x0 = area.left;
    const int y0 = area.top;
    const int width = static_cast<int>(activeWidth);
    const int height = static_cast<int>(activeHeight);
    const auto measureSpan = [&](const BandParameters& p, long long first, long long last, BandTotals& totals) {
        // Pixels [first, last) of the active area, counted row after row.
        while (first < last) {
            const int row = static_cast<int>(first / width);
            const int column = static_cast<int>(first % width);
            const int count = static_cast<int>(std::min<long long>(width - column, last - first));
            const int y = y0 + row;
            if (rgb) {
                readRgbRow(p, step, rowOf(frame, 0, y), rowOf(frame, 1, y), rowOf(frame, 2, y), x0 + column, count,
                           totals);
            } else {
                readRows(p, shiftX, rowOf(frame, 0, y), nullptr, rowOf(frame, 1, y >> shiftY),
                         rowOf(frame, 2, y >> shiftY), x0 + column, count, totals);
            }
            first += count;
        }
    };
    // Rows [firstRow, endRow) of the active area in no particular pixel order: 4:2:0 row pairs that share
    // a chroma row are measured together.
    const auto measureRows = [&](const BandParameters& p, int firstRow, int endRow, BandTotals& totals) {
        for (int row = firstRow; row < endRow && rgb; ++row) {
            const int y = y0 + row;
            readRgbRow(p, step, rowOf(frame, 0, y), rowOf(frame, 1, y), rowOf(frame, 2, y), x0, width, totals);
        }
        for (int row = firstRow; row < endRow && !rgb;) {
            const int y = y0 + row;
            const bool pair = shiftY == 1 && (y & 1) == 0 && row + 1 < endRow;
            readRows(p, shiftX, rowOf(frame, 0, y), pair ? rowOf(frame, 0, y + 1) : nullptr,
                     rowOf(frame, 1, y >> shiftY), rowOf(frame, 2, y >> shiftY), x0, width, totals);
            row += pair ? 2 : 1;
        }
    };

    const long long pixelCount = static_cast<long long>(width) * height;
    const bool bands = s.arithmetic.summation == Summation::Bands;
    const int bandCount = bands ? (settings.taskCount == 0 ? 1 : settings.taskCount) : 0;
    const int threads = pool.workerCount() + 1;
    // A lane costs a pass over its light counters whatever its pixels, so a frame of fewer pixels than
    // light codes is measured in one lane.
    const long long lanesWorthTheirCounters = std::max(1LL, pixelCount / lightCodes);
    const int laneCount = bands ? std::min(threads, bandCount)
                                : static_cast<int>(std::min<long long>({threads, height, lanesWorthTheirCounters}));
    std::vector<double> bandSums(static_cast<size_t>(bandCount), 0.0);
    std::vector<std::unique_ptr<LaneScratch>> lanes(static_cast<size_t>(laneCount));
    for (std::unique_ptr<LaneScratch>& lane : lanes) {
        lane = takeScratch();
        // A lane last used for another depth or arithmetic is cleared to this one's sizes.
        if (lane->lightCounts.size() != lightHistogramSize) lane->lightCounts.assign(lightHistogramSize, 0);
        if (lane->lumaCounts.size() != histogramSize) lane->lumaCounts.assign(histogramSize, 0);
        if (lane->lightTotals.size() != static_cast<size_t>(lightCodes)) lane->lightTotals.assign(lightCodes, 0);
        lane->totals = BandTotals();
    }

    pool.run(laneCount, [&](int lane) {
        LaneScratch& scratch = *lanes[static_cast<size_t>(lane)];
        BandParameters p = base;
        p.lightHistogram = scratch.lightCounts.data();
        p.lumaHistogram = scratch.lumaCounts.data();
        if (bands) {
            // The class's bands over the active pixels; each lane measures a run of whole bands.
            const long long bandLength = pixelCount / bandCount;
            const int firstBand = static_cast<int>(static_cast<long long>(bandCount) * lane / laneCount);
            const int endBand = static_cast<int>(static_cast<long long>(bandCount) * (lane + 1) / laneCount);
            for (int band = firstBand; band < endBand; ++band) {
                const long long start = band * bandLength;
                const long long end = band == bandCount - 1 ? pixelCount : start + bandLength;
                scratch.totals.lightSum = 0.0;
                measureSpan(p, start, end, scratch.totals);
                bandSums[static_cast<size_t>(band)] = scratch.totals.lightSum;
            }
        } else {
            measureRows(p, static_cast<int>(static_cast<long long>(height) * lane / laneCount),
                        static_cast<int>(static_cast<long long>(height) * (lane + 1) / laneCount), scratch.totals);
        }
        // The ways of the light codes are added up here, on each lane's own thread, and only up to the
        // lane's largest light code: the calling thread then adds one count a code, not four.
        const int* channels = scratch.totals.largestChannelCode;
        scratch.highestLightCode = std::max({channels[0], channels[1], channels[2]});
        const size_t ways = size_t(1) << lightWayShift;
        for (size_t code = 0; static_cast<int>(code) <= scratch.highestLightCode; ++code) {
            uint32_t total = 0;
            for (size_t way = 0; way < ways; ++way) {
                total += scratch.lightCounts[code * ways + way];
                scratch.lightCounts[code * ways + way] = 0;
            }
            scratch.lightTotals[code] = total;
        }
    });

    auto result = std::make_unique<StatisticsData>();
    result->scale = scale;
    result->pixelCount = static_cast<std::uint64_t>(pixelCount);
    result->lightHistogram.assign(static_cast<size_t>(lightCodes), 0);
    result->lumaHistogram.assign(static_cast<size_t>(codes), 0);
    const auto takeWays = [](std::vector<std::uint64_t>& histogram, std::vector<uint32_t>& counts, int stride) {
        const size_t ways = stride == 0 ? 1 : kHistogramWays;
        for (size_t code = 0; code < histogram.size(); ++code) {
            for (size_t way = 0; way < ways; ++way) {
                histogram[code] += counts[code * ways + way];
                counts[code * ways + way] = 0;
            }
        }
    };
    for (const std::unique_ptr<LaneScratch>& laneScratch : lanes) {
        LaneScratch& lane = *laneScratch;
        for (size_t code = 0; static_cast<int>(code) <= lane.highestLightCode; ++code) {
            result->lightHistogram[code] += lane.lightTotals[code];
            lane.lightTotals[code] = 0;
        }
        takeWays(result->lumaHistogram, lane.lumaCounts, histogramStride);
        for (int channel = 0; channel < 3; ++channel) {
            result->largestChannelCode[channel] =
                std::max(result->largestChannelCode[channel], lane.totals.largestChannelCode[channel]);
        }
    }
    for (double bandSum : bandSums) result->bandLightSum += bandSum;
    giveBack(lanes);
    FrameStatistics statistics;
    statistics.data_ = std::move(result);
    return statistics;
}

}  // namespace detail

Analyzer::Analyzer(const AnalysisSettings& settings) {
    using detail::checkPercent;
    const auto require = [](bool condition, const std::string& reason) {
        if (!condition) throw std::invalid_argument(reason);
    };
    require(settings.thresholdNits >= 0.0 && settings.thresholdNits <= 10000.0,
            "the threshold must lie from 0 to 10000 nits, not " + std::to_string(settings.thresholdNits));
    checkPercent(settings.top1Percent, "top1Percent");
    checkPercent(settings.top2Percent, "top2Percent");
    checkPercent(settings.bottomPercent, "bottomPercent");
    require(settings.taskCount >= 0 && settings.taskCount <= detail::kMaxTaskCount,
            "the task count must lie from 0 to " + std::to_string(detail::kMaxTaskCount) + ", not " +
                std::to_string(settings.taskCount));
    require(settings.transfer == Transfer::Pq || settings.transfer == Transfer::Hlg, "unknown transfer function");
    require(settings.matrix == Matrix::Bt2020 || settings.matrix == Matrix::Bt709, "unknown matrix");
    state_ = std::make_unique<detail::AnalyzerState>(settings);
}

Analyzer::~Analyzer() = default;
Analyzer::Analyzer(Analyzer&&) noexcept = default;
Analyzer& Analyzer::operator=(Analyzer&&) noexcept = default;

const AnalysisSettings& Analyzer::settings() const {
    if (!state_) throw std::logic_error("this analyzer was moved from");
    return state_->settings;
}

FrameStatistics Analyzer::analyze(const FrameView& frame) const { return analyze(frame, ActiveArea()); }

FrameStatistics Analyzer::analyze(const FrameView& frame, const ActiveArea& area) const {
    if (!state_) throw std::logic_error("this analyzer was moved from");
    return state_->analyze(frame, area);
}

FrameStatistics Analyzer::restore(const StatisticsParts& parts) const {
    if (!state_) throw std::logic_error("this analyzer was moved from");
    return state_->restore(parts);
}

}  // namespace hdrmeter
