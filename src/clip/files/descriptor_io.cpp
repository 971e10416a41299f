#include "descriptor_io.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <hdrmeter/settings.h>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

#include "clip_errors.h"

namespace hdrmeter::clip {

namespace {

// How long a read waits on a silent input before it looks at the stop request again.
constexpr int kPollIntervalMilliseconds = 50;
constexpr int kBufferBytes = 1 << 16;

}  // namespace

InputCopy::InputCopy()
{
    const char* folder = std::getenv("TMPDIR");
    std::string path = std::string(folder && *folder ? folder : "/tmp") + "/hdrmeter-input-XXXXXX";
    descriptor_ = ::mkostemp(path.data(), O_CLOEXEC);
    if (descriptor_ < 0)
        throw InputError("cannot make a temporary file in " + path.substr(0, path.rfind('/')) +
                         " for a copy of standard input: " + std::strerror(errno) +
                         "; give " + mention("active_area", "full") + " or a given area, which read the input once");
    ::unlink(path.c_str());
}

InputCopy::~InputCopy()
{
    ::close(descriptor_);
}

void InputCopy::append(const std::uint8_t* bytes, std::size_t count)
{
    while (failure_.empty() && count > 0) {
        const ssize_t written = ::pwrite(descriptor_, bytes, count, static_cast<off_t>(sizeBytes_));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            failure_ = std::string("cannot keep a copy of standard input for the second pass: ") +
                       std::strerror(written < 0 ? errno : ENOSPC) +
                       "; give " + mention("active_area", "full") + " or a given area, which read the input once";
            return;
        }
        bytes += written;
        count -= static_cast<std::size_t>(written);
        sizeBytes_ += static_cast<std::uint64_t>(written);
    }
}

DescriptorInput::DescriptorInput(std::shared_ptr<InputCopy> copy, const StopRequest* stop, const StopRequest* closing)
    : descriptor_(copy->descriptor()), name_("standard input"), stop_(stop), closing_(closing), copy_(std::move(copy)),
      replaying_(true)
{
    struct stat status {};
    if (::fstat(descriptor_, &status) == 0)
        identity_ = {status.st_dev, status.st_ino};
    makeContext();
}

DescriptorInput::DescriptorInput(const std::string& path, const StopRequest* stop, const StopRequest* closing,
                                 std::shared_ptr<InputCopy> copy)
    : stop_(stop), closing_(closing), copy_(path == "-" ? std::move(copy) : nullptr)
{
    if (path == "-") {
        descriptor_ = STDIN_FILENO;
        name_ = "standard input";
    } else {
        descriptor_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (descriptor_ < 0)
        {
            const int error = errno;
            throw InputError("cannot open " + path + ": " + std::strerror(error), error, path);
        }
        ownsDescriptor_ = true;
        name_ = path;
    }
    struct stat status {};
    if (::fstat(descriptor_, &status) != 0) {
        const int error = errno;
        if (ownsDescriptor_)
            ::close(descriptor_);
        throw InputError("cannot read " + name_ + ": " + std::strerror(error), error, path);
    }
    if (S_ISDIR(status.st_mode)) {
        if (ownsDescriptor_)
            ::close(descriptor_);
        throw InputError(name_ + " is a folder: give a video file");
    }
    identity_ = {status.st_dev, status.st_ino};
    regularFile_ = S_ISREG(status.st_mode);
    if (regularFile_)
        sizeBytes_ = status.st_size;
    try {
        makeContext();
    } catch (...) {
        if (ownsDescriptor_)
            ::close(descriptor_);
        throw;
    }
}

void DescriptorInput::makeContext()
{
    auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferBytes));
    if (buffer)
        context_ = avio_alloc_context(buffer, kBufferBytes, 0, this, &DescriptorInput::readPacket, nullptr,
                                      regularFile_ ? &DescriptorInput::seek : nullptr);
    if (!context_) {
        av_free(buffer);
        throw std::bad_alloc();
    }
    context_->seekable = regularFile_ ? AVIO_SEEKABLE_NORMAL : 0;
}

DescriptorInput::~DescriptorInput()
{
    if (context_) {
        av_freep(&context_->buffer);
        avio_context_free(&context_);
    }
    if (ownsDescriptor_)
        ::close(descriptor_);
}

int DescriptorInput::interrupted(void* stopRequest)
{
    return static_cast<const StopRequest*>(stopRequest)->requested() ? 1 : 0;
}

int DescriptorInput::readPacket(void* opaque, std::uint8_t* buffer, int size)
{
    auto& input = *static_cast<DescriptorInput*>(opaque);
    for (;;) {
        if ((input.stop_ && input.stop_->requested()) || (input.closing_ && input.closing_->requested()))
            return AVERROR_EXIT;
        if (input.replaying_) {
            // The copy is a regular file: it never waits, and its own offset keeps it apart from the writer.
            const ssize_t count = ::pread(input.descriptor_, buffer, static_cast<std::size_t>(size),
                                          static_cast<off_t>(input.bytesRead_));
            if (count < 0 && errno == EINTR)
                continue;
            if (count < 0) {
                input.readFailure_ = std::strerror(errno);
                return AVERROR(errno);
            }
            input.bytesRead_ += static_cast<std::uint64_t>(count);
            return count == 0 ? AVERROR_EOF : static_cast<int>(count);
        }
        pollfd waiting{input.descriptor_, POLLIN, 0};
        const int ready = ::poll(&waiting, 1, kPollIntervalMilliseconds);
        if (ready == 0 || (ready < 0 && errno == EINTR))
            continue;
        const ssize_t count = ::read(input.descriptor_, buffer, static_cast<std::size_t>(size));
        if (count > 0) {
            if (input.copy_)
                input.copy_->append(buffer, static_cast<std::size_t>(count));
            input.bytesRead_ += static_cast<std::uint64_t>(count);
            return static_cast<int>(count);
        }
        if (count == 0) {
            // A regular file cut behind the reader also reads as its end; its size says it was not.
            struct stat status {};
            const off_t position = ::lseek(input.descriptor_, 0, SEEK_CUR);
            if (input.regularFile_ && position > 0 && ::fstat(input.descriptor_, &status) == 0 &&
                status.st_size < position) {
                input.readFailure_ = "the input file shrank to " + std::to_string(status.st_size) +
                                     " bytes, behind the " + std::to_string(position) +
                                     " already read (did another program truncate or rewrite it?)";
                return AVERROR(EIO);
            }
            return AVERROR_EOF;
        }
        if (errno == EINTR || errno == EAGAIN)
            continue;
        input.readFailure_ = std::strerror(errno);
        return AVERROR(errno);
    }
}

std::int64_t DescriptorInput::seek(void* opaque, std::int64_t offset, int whence)
{
    auto& input = *static_cast<DescriptorInput*>(opaque);
    whence &= ~AVSEEK_FORCE;
    if (whence == AVSEEK_SIZE)
        return input.sizeBytes_;
    const off_t position = ::lseek(input.descriptor_, static_cast<off_t>(offset), whence);
    return position < 0 ? AVERROR(errno) : static_cast<std::int64_t>(position);
}

}  // namespace hdrmeter::clip
