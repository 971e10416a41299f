#include "record_spool.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "clip_errors.h"

namespace hdrmeter::clip {

RecordSpool::RecordSpool(const std::string& what) : what_(what)
{
    const char* folder = std::getenv("TMPDIR");
    folder_ = folder && *folder ? folder : "/tmp";
    // A file with no name from the start; where the file system cannot make one, a name removed at once.
    descriptor_ = ::open(folder_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (descriptor_ < 0) {
        std::string path = folder_ + "/hdrmeter-spool-XXXXXX";
        descriptor_ = ::mkostemp(path.data(), O_CLOEXEC);
        if (descriptor_ >= 0)
            ::unlink(path.c_str());
    }
    if (descriptor_ < 0)
        throw InputError("cannot make a temporary file in " + folder_ + " for " + what_ + ": " +
                         std::strerror(errno) + "; set TMPDIR to a folder that can take one");
}

RecordSpool::~RecordSpool()
{
    ::close(descriptor_);
}

void RecordSpool::put(std::size_t position, const std::string& bytes)
{
    if (!failure_.empty())
        return;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written =
            ::pwrite(descriptor_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(end_ + done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            failure_ = "cannot keep " + what_ + " in " + folder_ + ": " + std::strerror(written < 0 ? errno : ENOSPC) +
                       "; set TMPDIR to a folder with room";
            return;
        }
        done += static_cast<std::size_t>(written);
    }
    if (index_.size() <= position)
        index_.resize(position + 1);
    index_[position] = {end_, static_cast<std::uint32_t>(bytes.size()), true};
    end_ += bytes.size();
}

std::string RecordSpool::get(std::size_t position)
{
    if (!failure_.empty() || position >= index_.size() || !index_[position].stored)
        return {};
    const Place& place = index_[position];
    std::string bytes(place.bytes, '\0');
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t read =
            ::pread(descriptor_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(place.offset + done));
        if (read < 0 && errno == EINTR)
            continue;
        if (read <= 0) {
            failure_ = "cannot read back " + what_ + " from " + folder_ + ": " +
                       (read < 0 ? std::strerror(errno) : "the temporary file is shorter than its records");
            return {};
        }
        done += static_cast<std::size_t>(read);
    }
    return bytes;
}

}  // namespace hdrmeter::clip
