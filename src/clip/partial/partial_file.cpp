#include "partial/partial_file.h"

#include <sys/stat.h>

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <utility>

#include <nlohmann/json.hpp>

#include <hdrmeter/settings.h>

#include "files/output_file.h"

namespace hdrmeter::clip {

namespace {

const char kMagic[] = "hdrmeter partial\n";
constexpr std::size_t kMagicBytes = sizeof kMagic - 1;

class Bytes {
public:
    template <typename T>
    void put(T value)
    {
        for (std::size_t i = 0; i < sizeof(T); ++i)
            text_ += static_cast<char>((static_cast<std::uint64_t>(asUnsigned(value)) >> (8 * i)) & 0xff);
    }
    void putDouble(double value)
    {
        std::uint64_t bits = 0;
        std::memcpy(&bits, &value, sizeof bits);
        put(bits);
    }
    void putVarint(std::uint64_t value)
    {
        for (; value >= 0x80; value >>= 7)
            text_ += static_cast<char>((value & 0x7f) | 0x80);
        text_ += static_cast<char>(value);
    }
    // Nonzero counts only: the gap from the last one's code, then the count.
    void putHistogram(const std::vector<std::uint64_t>& histogram)
    {
        std::uint32_t nonzero = 0;
        for (std::uint64_t count : histogram)
            nonzero += count != 0;
        put(static_cast<std::uint32_t>(histogram.size()));
        put(nonzero);
        std::size_t next = 0;
        for (std::size_t code = 0; code < histogram.size(); ++code)
            if (histogram[code] != 0) {
                putVarint(code - next);
                putVarint(histogram[code]);
                next = code + 1;
            }
    }
    std::string& text() { return text_; }

private:
    template <typename T>
    static auto asUnsigned(T value)
    {
        return static_cast<std::make_unsigned_t<T>>(value);
    }
    std::string text_;
};

class Reader {
public:
    Reader(const std::string& text, std::size_t at = 0) : text_(text), at_(at) {}
    template <typename T>
    T take()
    {
        need(sizeof(T));
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i)
            value |= static_cast<std::uint64_t>(static_cast<unsigned char>(text_[at_++])) << (8 * i);
        return static_cast<T>(static_cast<std::make_unsigned_t<T>>(value));
    }
    double takeDouble()
    {
        const std::uint64_t bits = take<std::uint64_t>();
        double value = 0.0;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
    std::uint64_t takeVarint()
    {
        std::uint64_t value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            need(1);
            const auto byte = static_cast<unsigned char>(text_[at_++]);
            value |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
            if (!(byte & 0x80))
                return value;
        }
        throw std::invalid_argument("a number in a frame record runs on");
    }
    std::vector<std::uint64_t> takeHistogram()
    {
        const auto size = take<std::uint32_t>(), nonzero = take<std::uint32_t>();
        if (size > (1u << 16) || nonzero > size)
            throw std::invalid_argument("a histogram's size is out of bounds");
        std::vector<std::uint64_t> histogram(size);
        std::uint64_t next = 0;
        for (std::uint32_t i = 0; i < nonzero; ++i) {
            next += takeVarint();
            if (next >= size)
                throw std::invalid_argument("a histogram's code is out of bounds");
            histogram[next] = takeVarint();
            ++next;
        }
        return histogram;
    }
    std::string takeText(std::size_t bytes)
    {
        need(bytes);
        std::string text = text_.substr(at_, bytes);
        at_ += bytes;
        return text;
    }
    std::size_t at() const { return at_; }
    void skip(std::size_t bytes)
    {
        need(bytes);
        at_ += bytes;
    }
    bool done() const { return at_ == text_.size(); }

private:
    void need(std::size_t bytes) const
    {
        if (text_.size() - at_ < bytes)
            throw std::invalid_argument("it ends inside a record");
    }
    const std::string& text_;
    std::size_t at_;
};

std::string compressed(const std::string& raw)
{
    uLongf bytes = compressBound(raw.size());
    std::string out(bytes, '\0');
    if (compress2(reinterpret_cast<Bytef*>(out.data()), &bytes, reinterpret_cast<const Bytef*>(raw.data()),
                  raw.size(), 1) != Z_OK)
        throw std::bad_alloc();
    out.resize(bytes);
    return out;
}

std::string encodeStatistics(const StatisticsParts& parts)
{
    Bytes bytes;
    bytes.put(static_cast<std::uint8_t>(parts.bitDepth));
    bytes.put(static_cast<std::uint8_t>(parts.range == SampleRange::Full));
    bytes.put(parts.pixelCount);
    for (int code : parts.largestChannelCode)
        bytes.put(static_cast<std::int32_t>(code));
    bytes.putDouble(parts.bandLightSum);
    bytes.putHistogram(parts.lightHistogram);
    bytes.putHistogram(parts.lumaHistogram);
    return std::move(bytes.text());
}

nlohmann::ordered_json jsonOf(const std::optional<std::array<double, 6>>& values)
{
    return values ? nlohmann::ordered_json(*values) : nlohmann::ordered_json();
}
nlohmann::ordered_json jsonOf(const std::optional<std::array<double, 2>>& values)
{
    return values ? nlohmann::ordered_json(*values) : nlohmann::ordered_json();
}
template <typename T>
nlohmann::ordered_json jsonOf(const std::optional<T>& value)
{
    return value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json();
}
template <typename T>
std::optional<T> optionalOf(const nlohmann::json& json)
{
    if (json.is_null())
        return std::nullopt;
    return json.get<T>();
}

// Every setting but the outputs, by name, as the table writes it: enums by their names, numbers with every
// digit. A reader checks each value as the command line would.
nlohmann::ordered_json requestJson(const Request& request)
{
    nlohmann::ordered_json json = nlohmann::ordered_json::object();
    for (const Setting& setting : settings())
        if (!setting.output && setting.name != std::string("keep_frames"))
            json[setting.name] = settingText(request, setting);
    return json;
}

Request requestOf(const nlohmann::json& json)
{
    Request request;
    for (const Setting& setting : settings()) {
        if (setting.output || setting.name == std::string("keep_frames"))
            continue;
        const auto value = json.find(setting.name);
        if (value == json.end() || !value->is_string())
            throw std::invalid_argument(std::string("does not say its setting ") + setting.name);
        try {
            setSetting(request, setting, value->get<std::string>());
        } catch (const RequestError& error) {
            throw std::invalid_argument("holds a setting this hdrmeter cannot take: " + error.message());
        }
    }
    for (const auto& [name, value] : json.items()) {
        const Setting* setting = findSetting(name);
        if (!setting || setting->output || name == "keep_frames")
            throw std::invalid_argument("holds the setting " + name + ", which this hdrmeter does not know");
    }
    return request;
}

nlohmann::ordered_json masteringJson(const std::optional<MasteringDisplay>& mastering)
{
    if (!mastering)
        return nullptr;
    return {{"primaries", jsonOf(mastering->primaries)},
            {"white_point", jsonOf(mastering->whitePoint)},
            {"min_nits", jsonOf(mastering->minNits)},
            {"max_nits", jsonOf(mastering->maxNits)}};
}

nlohmann::ordered_json headerJson(const PartialHeader& header)
{
    nlohmann::ordered_json json;
    json["request"] = requestJson(header.request);
    const StreamFacts& stream = header.stream;
    const ColourChoice& colour = stream.colour;
    json["stream"] = {{"input_name", stream.inputName},
                      {"container", stream.container},
                      {"codec", stream.codec},
                      {"stream_index", stream.streamIndex},
                      {"width", stream.width},
                      {"height", stream.height},
                      {"bit_depth", stream.bitDepth},
                      {"layout", static_cast<int>(stream.layout)},
                      {"range", static_cast<int>(stream.range)},
                      {"colour_model", static_cast<int>(stream.model)},
                      {"float_samples", stream.floatSamples},
                      {"transfer", static_cast<int>(colour.transfer)},
                      {"matrix", static_cast<int>(colour.matrix)},
                      {"transfer_origin", static_cast<int>(colour.transferOrigin)},
                      {"matrix_origin", static_cast<int>(colour.matrixOrigin)},
                      {"primaries_tag", stream.primariesTag},
                      {"frames_expected", jsonOf(stream.framesExpected)},
                      {"frame_rate", stream.frameRate ? nlohmann::ordered_json::array({stream.frameRate->first,
                                                                                       stream.frameRate->second})
                                                      : nlohmann::ordered_json()}};
    const StaticMetadata& metadata = header.metadata;
    json["metadata"] = {{"mastering", masteringJson(metadata.mastering)},
                        {"mastering_origin", static_cast<int>(metadata.masteringOrigin)},
                        {"light_level", metadata.lightLevel ? nlohmann::ordered_json::array({metadata.lightLevel->maxCllNits,
                                                                                            metadata.lightLevel->maxFallNits})
                                                            : nlohmann::ordered_json()},
                        {"light_level_origin", static_cast<int>(metadata.lightLevelOrigin)}};
    json["area"] = {header.area.left, header.area.top, header.area.right, header.area.bottom};
    json["start_microseconds"] = jsonOf(header.startMicroseconds);
    json["end_microseconds"] = jsonOf(header.endMicroseconds);
    json["input_ended"] = header.inputEnded;
    json["input_bytes"] = header.inputBytes;
    json["input_digest"] = header.inputDigest;
    json["warnings"] = header.warnings;
    json["peak"] = header.peak ? nlohmann::ordered_json::array({header.peak->frame, header.peak->x, header.peak->y})
                               : nlohmann::ordered_json();
    return json;
}

PartialHeader headerOf(const nlohmann::json& json)
{
    PartialHeader header;
    header.request = requestOf(json.at("request"));
    const nlohmann::json& stream = json.at("stream");
    StreamFacts& facts = header.stream;
    facts.inputName = stream.at("input_name").get<std::string>();
    facts.container = stream.at("container").get<std::string>();
    facts.codec = stream.at("codec").get<std::string>();
    facts.streamIndex = stream.at("stream_index").get<int>();
    facts.width = stream.at("width").get<int>();
    facts.height = stream.at("height").get<int>();
    facts.bitDepth = stream.at("bit_depth").get<int>();
    facts.layout = static_cast<ChromaLayout>(stream.at("layout").get<int>());
    facts.range = static_cast<SampleRange>(stream.at("range").get<int>());
    // Parts written before R'G'B' masters were measured hold Y'CbCr.
    facts.model = static_cast<ColourModel>(stream.value("colour_model", 0));
    facts.floatSamples = stream.value("float_samples", false);
    facts.colour.transfer = static_cast<Transfer>(stream.at("transfer").get<int>());
    facts.colour.matrix = static_cast<Matrix>(stream.at("matrix").get<int>());
    facts.colour.transferOrigin = static_cast<TagOrigin>(stream.at("transfer_origin").get<int>());
    facts.colour.matrixOrigin = static_cast<TagOrigin>(stream.at("matrix_origin").get<int>());
    facts.primariesTag = stream.at("primaries_tag").get<int>();
    facts.framesExpected = optionalOf<long long>(stream.at("frames_expected"));
    if (const auto rate = stream.find("frame_rate"); rate != stream.end() && !rate->is_null())
        facts.frameRate = std::make_pair(rate->at(0).get<int>(), rate->at(1).get<int>());
    const nlohmann::json& metadata = json.at("metadata");
    if (const nlohmann::json& mastering = metadata.at("mastering"); !mastering.is_null()) {
        MasteringDisplay display;
        display.primaries = optionalOf<std::array<double, 6>>(mastering.at("primaries"));
        display.whitePoint = optionalOf<std::array<double, 2>>(mastering.at("white_point"));
        display.minNits = optionalOf<double>(mastering.at("min_nits"));
        display.maxNits = optionalOf<double>(mastering.at("max_nits"));
        header.metadata.mastering = display;
    }
    header.metadata.masteringOrigin = static_cast<MetadataOrigin>(metadata.at("mastering_origin").get<int>());
    if (const nlohmann::json& level = metadata.at("light_level"); !level.is_null())
        header.metadata.lightLevel = ContentLightLevel{level.at(0).get<unsigned>(), level.at(1).get<unsigned>()};
    header.metadata.lightLevelOrigin = static_cast<MetadataOrigin>(metadata.at("light_level_origin").get<int>());
    const auto area = json.at("area").get<std::array<int, 4>>();
    header.area = {area[0], area[1], area[2], area[3]};
    header.startMicroseconds = optionalOf<long long>(json.at("start_microseconds"));
    header.endMicroseconds = optionalOf<long long>(json.at("end_microseconds"));
    header.inputEnded = json.at("input_ended").get<bool>();
    header.inputBytes = json.at("input_bytes").get<long long>();
    header.inputDigest = json.at("input_digest").get<std::string>();
    header.warnings = json.at("warnings").get<std::vector<std::string>>();
    if (const nlohmann::json& peak = json.at("peak"); !peak.is_null()) {
        header.peak = PeakTrace{};
        header.peak->frame = peak.at(0).get<long long>();
        header.peak->x = peak.at(1).get<int>();
        header.peak->y = peak.at(2).get<int>();
    }
    return header;
}

}  // namespace

PartialRecorder::PartialRecorder() : statistics_("the partial result's frame statistics") {}

void PartialRecorder::putStatistics(std::size_t position, const FrameStatistics& statistics)
{
    statistics_.put(position, encodeStatistics(statistics.parts()));
}

void PartialRecorder::putContent(std::size_t position, const ContentBounds& content)
{
    if (contents_.size() <= position)
        contents_.resize(position + 1);
    contents_[position] = content;
}

void PartialRecorder::writeTo(OutputFile& file, const PartialHeader& header, const FrameSequence& frames)
{
    // The header counts the records, so the frames are visited twice: once to count them, once to write
    // each record as it is packed.
    std::uint64_t recordCount = 0;
    frames([&](const FrameRecord&) { ++recordCount; });
    Bytes head;
    head.text().append(kMagic, kMagicBytes);
    head.put(kPartialVersion);
    const std::string json = headerJson(header).dump();
    head.put(static_cast<std::uint64_t>(json.size()));
    head.text() += json;
    head.put(recordCount);
    uLong crc = crc32(0L, Z_NULL, 0);
    const auto add = [&](const std::string& text) {
        crc = crc32(crc, reinterpret_cast<const Bytef*>(text.data()), static_cast<uInt>(text.size()));
        file.write(text);
    };
    add(head.text());
    std::size_t position = 0;
    frames([&](const FrameRecord& record) {
        Bytes bytes;
        bytes.put(static_cast<std::int64_t>(record.numbers.frame));
        bytes.put(static_cast<std::int32_t>(record.width));
        bytes.put(static_cast<std::int32_t>(record.height));
        const bool luma = record.numbers.lumaChecks.has_value();
        const ContentBounds content = position < contents_.size() ? contents_[position] : ContentBounds{};
        bytes.put(static_cast<std::uint8_t>((record.damaged ? 1 : 0) | (luma ? 2 : 0) | (content.anyContent ? 4 : 0)));
        if (luma) {
            const LumaChecks& checks = *record.numbers.lumaChecks;
            bytes.put(static_cast<std::int32_t>(checks.minCode));
            bytes.put(static_cast<std::int32_t>(checks.maxCode));
            bytes.put(static_cast<std::int64_t>(checks.lowCount));
            bytes.put(static_cast<std::int64_t>(checks.highCount));
        }
        for (int value : {content.width, content.height, content.left, content.top, content.right, content.bottom})
            bytes.put(static_cast<std::int32_t>(value));
        const std::string statistics = statistics_.get(position);
        bytes.text() += statistics.empty() ? encodeStatistics({}) : statistics;
        ++position;
        const std::string& raw = bytes.text();
        const std::string packed = compressed(raw);
        Bytes sizes;
        sizes.put(static_cast<std::uint32_t>(packed.size()));
        sizes.put(static_cast<std::uint32_t>(raw.size()));
        add(sizes.text() + packed);
    });
    Bytes trailer;
    trailer.put(static_cast<std::uint32_t>(crc));
    file.write(trailer.text());
}

std::string inputDigestOf(const std::string& path)
{
    constexpr std::streamoff kSpan = 1 << 20;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    std::string text;
    char hex[24];
    std::string digest;
    for (const std::streamoff from : {std::streamoff(0), std::max<std::streamoff>(0, size - kSpan)}) {
        text.assign(static_cast<std::size_t>(std::min(kSpan, size)), '\0');
        in.seekg(from);
        if (!in.read(text.data(), static_cast<std::streamsize>(text.size())))
            return {};
        const uLong crc = crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(text.data()),
                                static_cast<uInt>(text.size()));
        std::snprintf(hex, sizeof hex, "%08lx", static_cast<unsigned long>(crc));
        digest += hex;
    }
    return digest;
}

PartialResult readPartial(const std::string& path)
{
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode))
        throw std::invalid_argument("is a folder, not a partial result of hdrmeter: give the parts' files");
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::invalid_argument("cannot be read");
    std::string text;
    try {
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } catch (const std::exception& error) {
        throw std::invalid_argument(std::string("cannot be read: ") + error.what());
    }
    if (in.bad())
        throw std::invalid_argument("cannot be read");
    if (text.compare(0, kMagicBytes, kMagic) != 0)
        throw std::invalid_argument("is not a partial result of hdrmeter (write one with " + mention("partial") + ")");
    if (text.size() < kMagicBytes + 4 + 8 + 8 + 4)
        throw std::invalid_argument("is cut short");
    Reader reader(text, kMagicBytes);
    const auto version = reader.take<std::uint32_t>();
    if (version != kPartialVersion)
        throw std::invalid_argument("is a partial result of version " + std::to_string(version) + ", and this hdrmeter "
                                    "reads version " + std::to_string(kPartialVersion) + ": measure the segment again");
    Reader trailer(text, text.size() - 4);
    const auto stated = trailer.take<std::uint32_t>();
    const uLong crc = crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(text.data()),
                            static_cast<uInt>(text.size() - 4));
    if (stated != static_cast<std::uint32_t>(crc))
        throw std::invalid_argument("is damaged or cut short (its checksum does not match): measure the segment again");
    PartialResult part;
    part.path = path;
    try {
        const auto headerBytes = reader.take<std::uint64_t>();
        if (headerBytes > text.size())
            throw std::invalid_argument("its header runs past its end");
        part.header = headerOf(nlohmann::json::parse(reader.takeText(static_cast<std::size_t>(headerBytes))));
        const auto frames = reader.take<std::uint64_t>();
        if (frames > text.size())
            throw std::invalid_argument("its frame count is out of bounds");
        for (std::uint64_t i = 0; i < frames; ++i) {
            PartialResult::Record record;
            record.packedBytes = reader.take<std::uint32_t>();
            record.rawBytes = reader.take<std::uint32_t>();
            record.offset = reader.at();
            reader.skip(record.packedBytes);
            part.records.push_back(record);
        }
        if (reader.at() != text.size() - 4)
            throw std::invalid_argument("holds more than its frames");
    } catch (const std::invalid_argument& error) {
        throw std::invalid_argument(std::string("is damaged (") + error.what() + "): measure the segment again");
    } catch (const nlohmann::json::exception& error) {
        throw std::invalid_argument(std::string("has a header that cannot be read (") + error.what() +
                                    "): measure the segment again with this hdrmeter");
    }
    return part;
}

PartialFrame readPartialFrame(const PartialResult& part, std::size_t index, std::istream& file)
{
    const PartialResult::Record& record = part.records[index];
    std::string packed(record.packedBytes, '\0');
    file.seekg(static_cast<std::streamoff>(record.offset));
    if (!file.read(packed.data(), static_cast<std::streamsize>(packed.size())))
        throw std::invalid_argument("frame record " + std::to_string(index) + " cannot be read again");
    std::string raw(record.rawBytes, '\0');
    uLongf bytes = raw.size();
    if (uncompress(reinterpret_cast<Bytef*>(raw.data()), &bytes, reinterpret_cast<const Bytef*>(packed.data()),
                   packed.size()) != Z_OK ||
        bytes != raw.size())
        throw std::invalid_argument("frame record " + std::to_string(index) + " cannot be unpacked");
    Reader reader(raw);
    PartialFrame frame;
    frame.number = reader.take<std::int64_t>();
    frame.width = reader.take<std::int32_t>();
    frame.height = reader.take<std::int32_t>();
    const auto flags = reader.take<std::uint8_t>();
    frame.damaged = flags & 1;
    if (flags & 2) {
        LumaChecks checks;
        checks.minCode = reader.take<std::int32_t>();
        checks.maxCode = reader.take<std::int32_t>();
        checks.lowCount = reader.take<std::int64_t>();
        checks.highCount = reader.take<std::int64_t>();
        frame.lumaChecks = checks;
    }
    ContentBounds& content = frame.content;
    content.anyContent = flags & 4;
    for (int* value : {&content.width, &content.height, &content.left, &content.top, &content.right, &content.bottom})
        *value = reader.take<std::int32_t>();
    StatisticsParts& statistics = frame.statistics;
    statistics.bitDepth = reader.take<std::uint8_t>();
    statistics.range = reader.take<std::uint8_t>() ? SampleRange::Full : SampleRange::Narrow;
    statistics.pixelCount = reader.take<std::uint64_t>();
    for (int& code : statistics.largestChannelCode)
        code = reader.take<std::int32_t>();
    statistics.bandLightSum = reader.takeDouble();
    statistics.lightHistogram = reader.takeHistogram();
    statistics.lumaHistogram = reader.takeHistogram();
    if (!reader.done())
        throw std::invalid_argument("frame record " + std::to_string(index) + " holds more than a frame");
    return frame;
}

}  // namespace hdrmeter::clip
