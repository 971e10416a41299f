#include "input_file.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tool_errors.h"

namespace hdrmeter::tool {

namespace {

// The first step of a buffer that grows as data arrives: big enough that a 1080p frame needs only a
// few steps, small enough to cost nothing when a damaged header claims a giant frame.
constexpr std::size_t kFirstGrowthSamples = std::size_t{1} << 20;

std::optional<std::uint64_t> regularFileSize(std::FILE* stream)
{
    struct stat status {};
    if (fstat(fileno(stream), &status) != 0 || !S_ISREG(status.st_mode))
        return std::nullopt;
    return static_cast<std::uint64_t>(status.st_size);
}

void littleEndianToHost(std::uint16_t* samples, std::size_t count)
{
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    for (std::size_t i = 0; i < count; ++i)
        samples[i] = static_cast<std::uint16_t>((samples[i] >> 8) | (samples[i] << 8));
#else
    (void)samples;
    (void)count;
#endif
}

}  // namespace

InputFile::InputFile(const std::string& path)
{
    if (path == "-") {
        stream_ = stdin;
        displayName_ = "standard input";
    } else {
        stream_ = std::fopen(path.c_str(), "rb");
        if (!stream_)
            throw InputError("cannot open " + path + ": " + std::strerror(errno));
        ownsStream_ = true;
        displayName_ = path;
        struct stat status {};
        if (fstat(fileno(stream_), &status) == 0 && S_ISDIR(status.st_mode)) {
            std::fclose(stream_);
            throw InputError("cannot read " + path + ": it is a directory");
        }
    }
    regularFileBytes_ = regularFileSize(stream_);
}

InputFile::InputFile(std::FILE* stream, std::string displayName)
    : stream_(stream), displayName_(std::move(displayName)), regularFileBytes_(regularFileSize(stream))
{
}

InputFile::~InputFile()
{
    if (ownsStream_)
        std::fclose(stream_);
}

std::size_t InputFile::readBytes(void* destination, std::size_t byteCount)
{
    std::size_t bytesRead = std::fread(destination, 1, byteCount, stream_);
    if (bytesRead < byteCount && std::ferror(stream_))
        throw InputError("cannot read " + displayName_ + ": " + std::strerror(errno));
    return bytesRead;
}

int InputFile::readByte()
{
    int c = std::getc(stream_);
    if (c == EOF && std::ferror(stream_))
        throw InputError("cannot read " + displayName_ + ": " + std::strerror(errno));
    return c == EOF ? -1 : c;
}

std::optional<int> InputFile::mappableDescriptor() const
{
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    if (regularFileBytes_)
        return fileno(stream_);
#endif
    return std::nullopt;
}

std::uint64_t InputFile::position()
{
    const off_t offset = ftello(stream_);
    if (offset < 0)
        throw InputError("cannot tell the position in " + displayName_ + ": " + std::strerror(errno));
    return static_cast<std::uint64_t>(offset);
}

std::uint64_t InputFile::currentBytes() const
{
    struct stat status {};
    if (fstat(fileno(stream_), &status) != 0)
        throw InputError("cannot read the size of " + displayName_ + ": " + std::strerror(errno));
    return static_cast<std::uint64_t>(status.st_size);
}

void InputFile::skipBytes(std::uint64_t byteCount)
{
    if (fseeko(stream_, static_cast<off_t>(byteCount), SEEK_CUR) != 0)
        throw InputError("cannot seek in " + displayName_ + ": " + std::strerror(errno));
}

std::size_t InputFile::readSamples(std::vector<std::uint16_t>& samples, std::size_t sampleCount)
{
    const std::size_t wantedBytes = sampleCount * 2;
    if (samples.size() >= sampleCount) {
        samples.resize(sampleCount);
        std::size_t bytesRead = readBytes(samples.data(), wantedBytes);
        littleEndianToHost(samples.data(), bytesRead / 2);
        return bytesRead;
    }
    std::size_t bytesRead = 0;
    while (bytesRead < wantedBytes) {
        std::size_t samplesHeld = std::min(sampleCount, std::max(kFirstGrowthSamples, samples.size() * 2));
        samples.resize(samplesHeld);
        std::size_t stepBytes = samplesHeld * 2 - bytesRead;
        std::size_t stepRead = readBytes(reinterpret_cast<unsigned char*>(samples.data()) + bytesRead, stepBytes);
        bytesRead += stepRead;
        if (stepRead < stepBytes)
            break;
    }
    littleEndianToHost(samples.data(), bytesRead / 2);
    return bytesRead;
}

}  // namespace hdrmeter::tool
