#include "output/madvr_file.h"

#include <algorithm>
#include <cstdint>
#include <cmath>
#include <limits>
#include <numeric>

#include "clip_errors.h"
#include "output/metadata_json.h"
#include "files/output_file.h"

namespace hdrmeter::clip {

namespace {

constexpr std::uint32_t kVersion = 5;
constexpr std::uint32_t kHeaderFieldBytes = 32;  // the eight u32 fields after the magic
constexpr std::uint32_t kFlagsComplete = 2;
constexpr std::uint32_t kFlagsIncomplete = 0;
// Records copied into the output at a time: about half a megabyte.
constexpr std::size_t kRecordsPerCopy = 1024;

void putU32(std::string& bytes, std::uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        bytes.push_back(static_cast<char>((value >> shift) & 0xff));
}

std::uint32_t u32Of(long long value)
{
    return static_cast<std::uint32_t>(std::clamp<long long>(value, 0, std::numeric_limits<std::uint32_t>::max()));
}

// A frame with no pixel to stand for it: everything in the darkest bin, so that the histogram still
// adds up as readers expect.
MadvrRecord darkRecord()
{
    MadvrRecord record{};
    record[1] = static_cast<std::uint16_t>(kMadvrScale);
    return record;
}

}  // namespace

int madvrBinOf(double pqSignal)
{
    static const double darkTop = pqSignalOfNits(100.0);
    const int brightBins = kMadvrHistogramBins - kMadvrDarkBins;
    if (pqSignal < darkTop)
        return std::clamp(static_cast<int>(pqSignal / darkTop * kMadvrDarkBins), 0, kMadvrDarkBins - 1);
    return std::min(kMadvrHistogramBins - 1,
                    kMadvrDarkBins + static_cast<int>((pqSignal - darkTop) / (1.0 - darkTop) * brightBins));
}

std::vector<std::uint32_t> apportion(const std::vector<std::uint64_t>& counts, std::uint32_t total)
{
    std::vector<std::uint32_t> parts(counts.size(), 0);
    const std::uint64_t sum = std::accumulate(counts.begin(), counts.end(), std::uint64_t{0});
    if (sum == 0)
        return parts;
    std::vector<std::uint64_t> remainders(counts.size());
    std::uint64_t given = 0;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        // A count is at most the pixels of a 16384x16384 frame: times 64000 it stays far inside 64 bits.
        const std::uint64_t scaled = counts[i] * total;
        parts[i] = static_cast<std::uint32_t>(scaled / sum);
        remainders[i] = scaled % sum;
        given += parts[i];
    }
    std::vector<std::size_t> order(counts.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return remainders[a] > remainders[b]; });
    // The remainders add up to (total - given) x sum, each below sum: there are always enough of them.
    for (std::size_t i = 0; given < total; ++i, ++given)
        ++parts[order[i]];
    return parts;
}

MadvrSpool::MadvrSpool() : spool_("the madVR file's frame records") {}

MadvrRecord MadvrSpool::recordOf(const FrameStatistics& statistics)
{
    if (statistics.pixelCount() == 0)
        return darkRecord();
    const std::vector<std::uint64_t>& lights = statistics.lightHistogram();
    if (codeNits_.size() != lights.size()) {
        codeNits_.assign(lights.size(), std::numeric_limits<double>::quiet_NaN());
        codeBins_.assign(lights.size(), 0);
    }
    std::vector<std::uint64_t> counts(kMadvrHistogramBins, 0);
    for (std::size_t code = 0; code < lights.size(); ++code) {
        if (lights[code] == 0)
            continue;
        const double nits = statistics.codeNits(static_cast<int>(code));
        if (!(nits == codeNits_[code])) {
            codeNits_[code] = nits;
            codeBins_[code] = static_cast<std::uint8_t>(madvrBinOf(pqSignalOfNits(nits)));
        }
        counts[codeBins_[code]] += lights[code];
    }
    MadvrRecord record{};
    record[0] = static_cast<std::uint16_t>(std::floor(statistics.largestPqLight() * kMadvrScale + 0.5));
    const std::vector<std::uint32_t> parts = apportion(counts, kMadvrScale);
    std::copy(parts.begin(), parts.end(), record.begin() + 1);
    return record;
}

std::string MadvrSpool::recordBytes(const MadvrRecord& record) const
{
    std::string bytes;
    bytes.reserve(kMadvrRecordBytes);
    for (std::uint16_t word : record) {
        bytes.push_back(static_cast<char>(word & 0xff));
        bytes.push_back(static_cast<char>(word >> 8));
    }
    return bytes;
}

void MadvrSpool::put(std::size_t position, const FrameStatistics& statistics)
{
    spool_.put(position, recordBytes(recordOf(statistics)));
}

void MadvrSpool::readRecords(std::size_t first, std::size_t count, std::string& bytes)
{
    bytes.clear();
    for (std::size_t position = first; position < first + count && spool_.failure().empty(); ++position) {
        const std::string record = spool_.get(position);
        if (record.size() != kMadvrRecordBytes && spool_.failure().empty()) {
            failure_ = "a frame record of the madVR file was never kept";
            return;
        }
        bytes += record;
    }
    if (!spool_.failure().empty())
        failure_ = spool_.failure();
}

void MadvrSpool::writeTo(OutputFile& file, const Report& report, const FrameSequence& frames, bool complete)
{
    // Scenes by their frames' places in the file: a frame the stream lost has no record. One pass over the
    // frames keeps a bit a frame (whether it is damaged) and each scene's peak.
    std::vector<std::uint32_t> firsts, ends, peaks;
    std::size_t position = 0;
    for (const SceneResult& scene : report.scenes) {
        firsts.push_back(static_cast<std::uint32_t>(position));
        position += static_cast<std::size_t>(scene.frameCount);
        ends.push_back(static_cast<std::uint32_t>(position));
    }
    std::vector<bool> damaged;
    std::vector<double> peakNits(firsts.size(), 0.0);
    double fallSum = 0.0;
    long long cleanFrames = 0;
    std::size_t sceneOfFrame = 0;
    frames([&](const FrameRecord& record) {
        const std::size_t index = damaged.size();
        damaged.push_back(record.damaged);
        while (sceneOfFrame + 1 < firsts.size() && firsts[sceneOfFrame + 1] <= index)
            ++sceneOfFrame;
        if (!record.damaged && sceneOfFrame < peakNits.size() && index < ends[sceneOfFrame]) {
            peakNits[sceneOfFrame] = std::max(peakNits[sceneOfFrame], record.numbers.largestLightNits);
            fallSum += record.numbers.averageLightNits;
            ++cleanFrames;
        }
    });
    // The scenes never claim a frame that has no record.
    for (std::size_t scene = 0; scene < ends.size(); ++scene) {
        ends[scene] = static_cast<std::uint32_t>(std::min<std::size_t>(ends[scene], damaged.size()));
        firsts[scene] = std::min(firsts[scene], ends[scene]);
    }
    for (double nits : peakNits)
        peaks.push_back(u32Of(wholeNits(nits)));
    const std::size_t frameCount = damaged.size();

    std::string bytes = "mvr+";
    for (std::uint32_t field :
         {kVersion, kHeaderFieldBytes, static_cast<std::uint32_t>(firsts.size()), static_cast<std::uint32_t>(frameCount),
          complete ? kFlagsComplete : kFlagsIncomplete, u32Of(carriedLightLevels(report).maxCll),
          u32Of(carriedLightLevels(report).maxFall),
          u32Of(cleanFrames > 0 ? wholeNits(fallSum / static_cast<double>(cleanFrames)) : 0)})
        putU32(bytes, field);
    for (const std::vector<std::uint32_t>* array : {&firsts, &ends, &peaks})
        for (std::uint32_t value : *array)
            putU32(bytes, value);
    file.write(bytes);

    // A damaged frame is shown as decoded, but no number rests on its pixels: it repeats the record of the
    // clean frame before it in its scene, or at a scene's start the next one.
    std::size_t scene = 0, lastClean = SIZE_MAX;
    for (std::size_t first = 0; first < frameCount && failure_.empty(); first += kRecordsPerCopy) {
        const std::size_t count = std::min(kRecordsPerCopy, frameCount - first);
        readRecords(first, count, bytes);
        for (std::size_t i = first; i < first + count && failure_.empty(); ++i) {
            while (scene + 1 < firsts.size() && firsts[scene + 1] <= i) {
                ++scene;
                lastClean = SIZE_MAX;
            }
            if (!damaged[i]) {
                lastClean = i;
                continue;
            }
            std::size_t source = lastClean;
            const std::size_t sceneEnd = scene < ends.size() ? ends[scene] : frameCount;
            for (std::size_t j = i + 1; source == SIZE_MAX && j < sceneEnd; ++j)
                if (!damaged[j])
                    source = j;
            std::string substitute;
            if (source == SIZE_MAX)
                substitute = recordBytes(darkRecord());
            else
                readRecords(source, 1, substitute);
            std::copy(substitute.begin(), substitute.end(), bytes.begin() + (i - first) * kMadvrRecordBytes);
        }
        if (failure_.empty())
            file.write(bytes);
    }
}

}  // namespace hdrmeter::clip
