#include "scene_cuts.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>
#include <limits>
#include <stdexcept>

namespace hdrmeter::clip {

namespace {

std::array<float, kSignatureBins> foldedFractions(const std::vector<std::uint64_t>& histogram, std::uint64_t pixels)
{
    std::array<float, kSignatureBins> bins{};
    if (histogram.empty() || pixels == 0)
        return bins;
    // Bins of equal code width: 32 codes each at 10 bits, whatever the depth.
    // Bin by bin, the last taking what is left: with 65536 light codes a division a code cost more than
    // the rest of the frame's statistics.
    const std::size_t codesPerBin = std::max<std::size_t>(1, histogram.size() / kSignatureBins);
    std::array<std::uint64_t, kSignatureBins> counts{};
    for (int bin = 0; bin < kSignatureBins; ++bin) {
        const std::size_t first = std::min(histogram.size(), bin * codesPerBin);
        const std::size_t end = bin == kSignatureBins - 1 ? histogram.size() : std::min(histogram.size(), first + codesPerBin);
        for (std::size_t code = first; code < end; ++code)
            counts[bin] += histogram[code];
    }
    for (int bin = 0; bin < kSignatureBins; ++bin)
        bins[bin] = static_cast<float>(static_cast<double>(counts[bin]) / static_cast<double>(pixels));
    return bins;
}

double totalVariation(const std::array<float, kSignatureBins>& a, const std::array<float, kSignatureBins>& b)
{
    double sum = 0.0;
    for (int bin = 0; bin < kSignatureBins; ++bin)
        sum += std::fabs(static_cast<double>(a[bin]) - static_cast<double>(b[bin]));
    return 0.5 * sum;
}

}  // namespace

SceneSignature signatureOf(const FrameStatistics& statistics)
{
    return {foldedFractions(statistics.lumaHistogram(), statistics.pixelCount()),
            foldedFractions(statistics.lightHistogram(), statistics.pixelCount())};
}

double signatureDistance(const SceneSignature& a, const SceneSignature& b)
{
    return std::max(totalVariation(a.luma, b.luma), totalVariation(a.light, b.light));
}

std::vector<long long> readSceneCutList(const std::string& path)
{
    std::ifstream file(path);
    if (!file)
        throw std::invalid_argument("cannot read the scene cut list " + path);
    std::vector<long long> cuts;
    std::string line;
    for (long long number = 1; std::getline(file, line); ++number) {
        // Editors on some systems begin a UTF-8 text file with a byte-order mark.
        if (number == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0)
            line.erase(0, 3);
        const auto first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos)
            continue;
        const auto last = line.find_last_not_of(" \t\r");
        const char* begin = line.data() + first;
        const char* end = line.data() + last + 1;
        long long frame = -1;
        const std::from_chars_result result = std::from_chars(begin, end, frame);
        if (result.ec != std::errc() || result.ptr != end || frame < 0)
            throw std::invalid_argument(path + " line " + std::to_string(number) + ": \"" + std::string(begin, end) +
                                        "\" is not a frame number (one first frame number per line, from 0)");
        if (!cuts.empty() && frame <= cuts.back())
            throw std::invalid_argument(path + " line " + std::to_string(number) + ": frame " + std::to_string(frame) +
                                        " does not come after " + std::to_string(cuts.back()) +
                                        " (list the first frames in increasing order)");
        cuts.push_back(frame);
    }
    if (file.bad())
        throw std::invalid_argument("cannot read the scene cut list " + path);
    if (cuts.empty() || cuts.front() != 0)
        cuts.insert(cuts.begin(), 0);
    return cuts;
}

SceneCutter::SceneCutter(long long minFrames, std::optional<std::vector<long long>> imported)
    : minFrames_(std::max(1LL, minFrames)), imported_(std::move(imported))
{
    if (imported_) {
        cuts_ = *imported_;
        decidedBefore_ = std::numeric_limits<long long>::max();
    }
}

bool SceneCutter::isPossibleCut(long long frame, bool candidate) const
{
    if (imported_)
        return std::binary_search(imported_->begin(), imported_->end(), frame);
    return candidate;
}

void SceneCutter::add(long long frame, bool candidate)
{
    if (imported_ || frame == 0)
        return;
    if (pending_ && frame - *pending_ >= minFrames_) {
        cuts_.push_back(*pending_);
        pending_.reset();
    }
    if (candidate) {
        // A candidate within minFrames of the one pending leaves that one's scene too short: it joins the
        // scene before. The first scene cannot join one before, so the scenes after it join it instead.
        pending_.reset();
        if (cuts_.size() > 1 || frame >= minFrames_)
            pending_ = frame;
    }
    decidedBefore_ = pending_ ? *pending_ : frame + 1;
}

void SceneCutter::finish(long long frameCount)
{
    if (imported_) {
        while (cuts_.size() > 1 && cuts_.back() >= frameCount)
            cuts_.pop_back();
    } else if (pending_ && frameCount - *pending_ >= minFrames_) {
        cuts_.push_back(*pending_);
    }
    pending_.reset();
    decidedBefore_ = std::numeric_limits<long long>::max();
}

}  // namespace hdrmeter::clip
