#include "y4m_reader.h"

#include <cctype>
#include <set>

#include "tool_errors.h"

namespace hdrmeter::tool {

namespace {

const std::string kSignature = "YUV4MPEG2";

// ffmpeg's header is under 100 bytes and its FRAME lines are 6; a longer line is garbage, not a
// reason to keep reading into memory.
constexpr std::size_t kMaxLineBytes = 4096;

std::string printable(const std::string& text)
{
    std::string shown;
    for (char c : text.substr(0, 40)) {
        unsigned char u = static_cast<unsigned char>(c);
        shown += std::isprint(u) ? c : '?';
    }
    return text.size() > 40 ? shown + "..." : shown;
}

[[noreturn]] void badTag(const std::string& tag, const std::string& why)
{
    throw InputError("malformed YUV4MPEG2 header: tag '" + printable(tag) + "' " + why);
}

// A decimal number of at most nine digits, so that it fits an int without overflow checks.
bool parseSmallNumber(const std::string& text, long long& value)
{
    if (text.empty() || text.size() > 9)
        return false;
    value = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

bool parseRatio(const std::string& text, long long& numerator, long long& denominator)
{
    std::size_t colon = text.find(':');
    return colon != std::string::npos && parseSmallNumber(text.substr(0, colon), numerator) &&
           parseSmallNumber(text.substr(colon + 1), denominator);
}

std::vector<std::string> splitTags(const std::string& text)
{
    std::vector<std::string> tags;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t space = text.find(' ', start);
        if (space == std::string::npos)
            space = text.size();
        tags.push_back(text.substr(start, space - start));
        start = space + 1;
    }
    return tags;
}

// Reads up to and excluding the next newline. Returns false when the input ends before it.
bool readLine(InputFile& input, std::string& line, const std::string& whatLine)
{
    line.clear();
    for (;;) {
        int c = input.readByte();
        if (c < 0)
            return false;
        if (c == '\n')
            return true;
        if (line.size() >= kMaxLineBytes)
            throw InputError(whatLine + " is longer than " + std::to_string(kMaxLineBytes) +
                             " bytes: the input is not a YUV4MPEG2 stream, or it is damaged");
        line.push_back(static_cast<char>(c));
    }
}

}  // namespace

Y4mHeader parseY4mHeader(const std::string& line)
{
    if (line.compare(0, kSignature.size(), kSignature) != 0 ||
        (line.size() > kSignature.size() && line[kSignature.size()] != ' '))
        throw InputError("not a YUV4MPEG2 stream (it starts with '" + printable(line.substr(0, 12)) +
                         "'); for raw video give --size and --pix-fmt");
    Y4mHeader header;
    long long width = -1;
    long long height = -1;
    std::string colourSpace;
    std::set<char> seen;
    const std::string tagText = line.size() > kSignature.size() ? line.substr(kSignature.size() + 1) : "";
    for (const std::string& tag : splitTags(tagText)) {
        if (tag.empty())
            throw InputError("malformed YUV4MPEG2 header: an empty tag (two blanks in a row, or a blank at the end)");
        const char letter = tag[0];
        const std::string value = tag.substr(1);
        if (letter != 'X' && !seen.insert(letter).second)
            badTag(tag, "repeats an earlier tag");
        long long numerator = 0;
        long long denominator = 0;
        switch (letter) {
        case 'W':
            if (!parseSmallNumber(value, width))
                badTag(tag, "is not a width in pixels");
            break;
        case 'H':
            if (!parseSmallNumber(value, height))
                badTag(tag, "is not a height in pixels");
            break;
        case 'F':
            if (!parseRatio(value, numerator, denominator))
                badTag(tag, "is not a frame rate such as F25:1 or F24000:1001");
            header.format.frameRateNumerator = static_cast<int>(numerator);
            header.format.frameRateDenominator = static_cast<int>(denominator);
            break;
        case 'A':
            if (!parseRatio(value, numerator, denominator))
                badTag(tag, "is not a pixel aspect ratio such as A1:1");
            break;
        case 'I':
            if (value.size() != 1 || std::string("ptbm?").find(value[0]) == std::string::npos)
                badTag(tag, "is not an interlacing mode (Ip, It, Ib, Im or I?)");
            break;
        case 'C':
            colourSpace = value;
            break;
        case 'X':
            if (value == "COLORRANGE=FULL")
                header.warnings.push_back(
                    "the stream says it is full range (XCOLORRANGE=FULL); hdrmeter measures narrow-range "
                    "codes, so the numbers are wrong unless the samples really are narrow range (convert "
                    "with ffmpeg -vf scale=out_range=limited)");
            break;
        default:
            badTag(tag, "is not a YUV4MPEG2 tag (W, H, F, I, A, C or X)");
        }
    }
    if (width < 0)
        throw InputError("malformed YUV4MPEG2 header: it has no W tag (the width)");
    if (height < 0)
        throw InputError("malformed YUV4MPEG2 header: it has no H tag (the height)");
    if (!frameSizeProblem(width, 1).empty())
        badTag("W" + std::to_string(width), "is refused: " + frameSizeProblem(width, 1));
    if (!frameSizeProblem(1, height).empty())
        badTag("H" + std::to_string(height), "is refused: " + frameSizeProblem(1, height));
    if (colourSpace.empty() && !seen.count('C'))
        throw InputError("the YUV4MPEG2 header has no C tag, which means 8-bit 4:2:0: HDR video needs 10 or more "
                         "bits; have ffmpeg write it with -pix_fmt yuv420p10le -strict -1");
    SampleLayoutLookup layout = lookupY4mColourSpace(colourSpace);
    if (!layout.supported)
        throw InputError(layout.refusal);
    if (width % 2 == 1 && layout.subsampling != ChromaSubsampling::Yuv444) {
        // ffmpeg sizes these chroma rows in bytes, halved and rounded up, so every row ends half a sample
        // short and the last chroma sample of each row cannot be recovered.
        const std::string name = std::string("yuv") + (layout.subsampling == ChromaSubsampling::Yuv420 ? "420" : "422") +
                                 "p" + std::to_string(layout.bitDepth) + "le";
        throw InputError("YUV4MPEG2 with an odd width (W" + std::to_string(width) +
                         ") and subsampled chroma is not read, because ffmpeg writes its chroma rows half a sample "
                         "short; crop to an even width (ffmpeg -vf crop=trunc(iw/2)*2:ih) or pipe raw video "
                         "(-f rawvideo) with --size " +
                         std::to_string(width) + "x" + std::to_string(height) + " --pix-fmt " + name);
    }
    header.format.width = static_cast<int>(width);
    header.format.height = static_cast<int>(height);
    header.format.bitDepth = layout.bitDepth;
    header.format.subsampling = layout.subsampling;
    return header;
}

Y4mReader::Y4mReader(InputFile& input) : input_(input)
{
    std::string line;
    bool complete = readLine(input_, line, "the first line");
    if (!complete && line.empty())
        throw InputError(input_.displayName() + " is empty: there is no YUV4MPEG2 header to read");
    if (!complete) {
        parseY4mHeader(line);
        throw InputError("the input ends inside the YUV4MPEG2 header");
    }
    header_ = parseY4mHeader(line);
    headerBytes_ = line.size() + 1;
}

std::optional<long long> Y4mReader::framesExpected() const
{
    std::optional<std::uint64_t> fileBytes = input_.regularFileBytes();
    if (!fileBytes || *fileBytes < headerBytes_)
        return std::nullopt;
    // Exact for ffmpeg's bare FRAME lines; a stream with FRAME parameters only makes the estimate high.
    return static_cast<long long>((*fileBytes - headerBytes_) / (header_.format.frameBytes() + 6));
}

ReadResult Y4mReader::readFrameLine()
{
    const std::string frameName = "frame " + std::to_string(framesRead_);
    char marker[5] = {};
    std::size_t markerBytes = input_.readBytes(marker, sizeof marker);
    if (markerBytes == 0)
        return {ReadResult::Status::EndOfStream, {}};
    const std::string markerText(marker, markerBytes);
    if (markerText != std::string("FRAME").substr(0, markerBytes) || markerBytes < 5) {
        if (markerText == std::string("FRAME").substr(0, markerBytes))
            return {ReadResult::Status::Truncated, "the input ends inside the FRAME line of " + frameName};
        return {ReadResult::Status::Corrupt,
                frameName + " does not start with FRAME (found '" + printable(markerText) +
                    "'): the stream is damaged, or its W, H or C tag does not match the data"};
    }
    int next = input_.readByte();
    if (next < 0)
        return {ReadResult::Status::Truncated, "the input ends inside the FRAME line of " + frameName};
    if (next == ' ') {
        std::string parameters;
        try {
            if (!readLine(input_, parameters, "the FRAME line of " + frameName))
                return {ReadResult::Status::Truncated, "the input ends inside the FRAME line of " + frameName};
        } catch (const InputError& tooLong) {
            return {ReadResult::Status::Corrupt, tooLong.what()};
        }
    } else if (next != '\n') {
        return {ReadResult::Status::Corrupt, "the FRAME line of " + frameName +
                                                 " is malformed: FRAME must be followed by a newline or a blank"};
    }
    return {ReadResult::Status::Frame, {}};
}

ReadResult Y4mReader::endsInsideFrame(std::uint64_t bytesPresent) const
{
    const std::uint64_t frameBytes = header_.format.frameBytes();
    return {ReadResult::Status::Truncated, "the input ends inside frame " + std::to_string(framesRead_) + ": " +
                                               std::to_string(frameBytes - bytesPresent) + " of its " +
                                               std::to_string(frameBytes) + " bytes are missing"};
}

ReadResult Y4mReader::readFrame(std::vector<std::uint16_t>& planes)
{
    ReadResult line = readFrameLine();
    if (line.status != ReadResult::Status::Frame)
        return line;
    const std::size_t bytesRead = input_.readSamples(planes, header_.format.frameSamples());
    if (bytesRead < header_.format.frameBytes())
        return endsInsideFrame(bytesRead);
    ++framesRead_;
    return line;
}

ReadResult Y4mReader::skipFrame(std::uint64_t& planesOffset)
{
    ReadResult line = readFrameLine();
    if (line.status != ReadResult::Status::Frame)
        return line;
    const std::uint64_t offset = input_.position();
    const std::uint64_t fileBytes = input_.currentBytes();
    const std::uint64_t frameBytes = header_.format.frameBytes();
    if (fileBytes < offset + frameBytes)
        return endsInsideFrame(fileBytes > offset ? fileBytes - offset : 0);
    input_.skipBytes(frameBytes);
    planesOffset = offset;
    ++framesRead_;
    return line;
}

}  // namespace hdrmeter::tool
