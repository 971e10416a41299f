#include "raw_reader.h"

#include "tool_errors.h"

namespace hdrmeter::tool {

RawReader::RawReader(InputFile& input, const VideoFormat& format, const std::string& pixelFormatName)
    : input_(input), format_(format)
{
    std::optional<std::uint64_t> fileBytes = input_.regularFileBytes();
    const std::uint64_t frameBytes = format_.frameBytes();
    if (fileBytes && *fileBytes % frameBytes != 0)
        throw InputError(input_.displayName() + " holds " + std::to_string(*fileBytes) +
                         " bytes, not a whole number of " + std::to_string(frameBytes) + "-byte frames of " +
                         pixelFormatName + " " + std::to_string(format_.width) + "x" +
                         std::to_string(format_.height) + " (" + std::to_string(*fileBytes / frameBytes) +
                         " frames and " + std::to_string(*fileBytes % frameBytes) +
                         " bytes over): check --size and --pix-fmt");
}

std::optional<long long> RawReader::framesExpected() const
{
    std::optional<std::uint64_t> fileBytes = input_.regularFileBytes();
    if (!fileBytes)
        return std::nullopt;
    return static_cast<long long>(*fileBytes / format_.frameBytes());
}

ReadResult RawReader::endsInsideFrame(std::uint64_t bytesPresent) const
{
    const std::uint64_t frameBytes = format_.frameBytes();
    return {ReadResult::Status::Truncated, "the input ends inside frame " + std::to_string(framesRead_) + ": " +
                                               std::to_string(frameBytes - bytesPresent) + " of its " +
                                               std::to_string(frameBytes) + " bytes are missing"};
}

ReadResult RawReader::readFrame(std::vector<std::uint16_t>& planes)
{
    const std::size_t bytesRead = input_.readSamples(planes, format_.frameSamples());
    if (bytesRead == 0)
        return {ReadResult::Status::EndOfStream, {}};
    if (bytesRead < format_.frameBytes())
        return endsInsideFrame(bytesRead);
    ++framesRead_;
    return {ReadResult::Status::Frame, {}};
}

ReadResult RawReader::skipFrame(std::uint64_t& planesOffset)
{
    const std::uint64_t offset = input_.position();
    const std::uint64_t fileBytes = input_.currentBytes();
    if (fileBytes <= offset)
        return {ReadResult::Status::EndOfStream, {}};
    if (fileBytes - offset < format_.frameBytes())
        return endsInsideFrame(fileBytes - offset);
    input_.skipBytes(format_.frameBytes());
    planesOffset = offset;
    ++framesRead_;
    return {ReadResult::Status::Frame, {}};
}

}  // namespace hdrmeter::tool
