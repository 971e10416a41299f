#include "output_file.h"

#include <fcntl.h>
#include <libgen.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <random>

#include <hdrmeter/settings.h>

#include "clip_errors.h"

#include "request_rules.h"

namespace hdrmeter::clip {

namespace {

std::string folderOf(const std::string& path)
{
    std::string copy = path;
    return dirname(copy.data());
}

std::string baseNameOf(const std::string& path)
{
    std::string copy = path;
    return basename(copy.data());
}

// A link is followed to the file it names, so that the file is replaced and the link kept.
std::string resolvedPath(const std::string& path)
{
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) {
        char resolved[PATH_MAX];
        if (::realpath(path.c_str(), resolved))
            return resolved;
    }
    return path;
}

struct OutputKey {
    FileIdentity file;
    std::string nameInFolder;  // empty when the file exists
    bool operator==(const OutputKey& other) const
    {
        return file == other.file && nameInFolder == other.nameInFolder;
    }
};

OutputKey outputKeyOf(const std::string& given, const std::string& path)
{
    struct stat status {};
    if (path == "-") {
        if (::fstat(STDOUT_FILENO, &status) != 0)
            return {};
        return {{status.st_dev, status.st_ino}, {}};
    }
    const std::string target = resolvedPath(path);
    if (::stat(target.c_str(), &status) == 0)
        return {{status.st_dev, status.st_ino}, {}};
    if (::stat(folderOf(target).c_str(), &status) != 0) {
        const int error = errno;
        throw InputError("cannot create " + path + " (" + given + "): " + std::strerror(error), error, path);
    }
    return {{status.st_dev, status.st_ino}, baseNameOf(target)};
}

// A new file ".NAME.hdrmeter-XXXXXX" in `folder`, its name in `path`; -1 with errno when none can be made.
int createBeside(const std::string& folder, const std::string& name, std::string& path)
{
    static std::atomic<unsigned> counter{0};
    std::mt19937 random(std::random_device{}() ^ static_cast<unsigned>(::getpid()) ^ counter.fetch_add(1));
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string suffix(6, 'x');
        for (char& c : suffix)
            c = letters[random() % (sizeof letters - 1)];
        path = folder + "/." + name + ".hdrmeter-" + suffix;
        const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (descriptor >= 0 || errno != EEXIST)
            return descriptor;
    }
    return -1;
}

}  // namespace

void checkOutputsApart(const std::vector<std::pair<std::string, std::string>>& settingsAndPaths,
                       const std::vector<ReadFile>& inputs)
{
    std::vector<OutputKey> keys;
    for (const auto& [setting, path] : settingsAndPaths) {
        const std::string given = mention(setting, path);
        const OutputKey key = outputKeyOf(given, path);
        for (const ReadFile& input : inputs)
            if (key.nameInFolder.empty() && key.file == input.file)
                throw RequestError(given + " is " + input.what + ": writing it would destroy what is measured");
        for (std::size_t i = 0; i < keys.size(); ++i)
            if (keys[i] == key)
                throw RequestError(given + " is the same file as " +
                                   mention(settingsAndPaths[i].first, settingsAndPaths[i].second) +
                                   ": give each output a file of its own");
        keys.push_back(key);
    }
}

void checkOutputsApart(const std::vector<std::pair<std::string, std::string>>& settingsAndPaths,
                       const std::optional<FileIdentity>& input)
{
    std::vector<ReadFile> inputs;
    if (input)
        inputs.push_back({"the input file", *input});
    checkOutputsApart(settingsAndPaths, inputs);
}

std::optional<FileIdentity> identityOf(const std::string& path)
{
    struct stat status {};
    if (path.empty() || path == "-" || ::stat(path.c_str(), &status) != 0)
        return std::nullopt;
    return FileIdentity{status.st_dev, status.st_ino};
}

OutputFile::OutputFile(const std::string& path) : path_(path)
{
    if (path == "-") {
        stream_ = stdout;
        path_ = "standard output";
        std::setvbuf(stdout, nullptr, _IOLBF, 0);
        return;
    }
    const std::string target = resolvedPath(path);
    struct stat status {};
    const bool exists = ::stat(target.c_str(), &status) == 0;
    if (exists && S_ISDIR(status.st_mode))
        throw InputError("cannot create " + path + ": it is a folder", EISDIR, path);
    if (exists && !S_ISREG(status.st_mode)) {
        stream_ = std::fopen(target.c_str(), "wb");
        if (!stream_) {
            const int error = errno;
            throw InputError("cannot open " + path + ": " + std::strerror(error), error, path);
        }
        std::setvbuf(stream_, nullptr, _IOLBF, 0);
        return;
    }
    const std::string folder = folderOf(target);
    // open() with O_EXCL and mode 0666 lets the kernel apply the process umask, as for any new file; a
    // file that existed keeps its own mode.
    const int descriptor = createBeside(folder, baseNameOf(target), temporaryPath_);
    if (descriptor < 0) {
        const int error = errno;
        throw InputError("cannot create a file in " + folder + " for " + path + ": " + std::strerror(error), error, path);
    }
    if (exists)
        ::fchmod(descriptor, status.st_mode & 07777);
    stream_ = ::fdopen(descriptor, "wb");
    if (!stream_) {
        const int error = errno;
        ::close(descriptor);
        ::unlink(temporaryPath_.c_str());
        throw InputError("cannot create " + path + ": " + std::strerror(error), error, path);
    }
    finalPath_ = target;
}

OutputFile::~OutputFile()
{
    if (stream_ && stream_ != stdout)
        std::fclose(stream_);
    if (!temporaryPath_.empty())
        ::unlink(temporaryPath_.c_str());
}

void OutputFile::write(const std::string& text)
{
    if (!stream_ || firstErrno_ != 0)
        return;
    errno = 0;
    // A line-buffered stream flushes inside fwrite and may still report every byte taken.
    if (std::fwrite(text.data(), 1, text.size(), stream_) != text.size() || std::ferror(stream_))
        firstErrno_ = errno != 0 ? errno : EIO;
}

bool OutputFile::readerWentAway() const
{
    return firstErrno_ == EPIPE;
}

bool OutputFile::pipeReaderGone() const
{
    if (!stream_ || !finalPath_.empty())
        return false;
    // A pipe's write end reports POLLERR once its read end is closed.
    pollfd state{::fileno(stream_), 0, 0};
    return ::poll(&state, 1, 0) == 1 && (state.revents & POLLERR) != 0;
}

std::string OutputFile::partialPath(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    const std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot == 0 || (slash != std::string::npos && dot < slash + 2))
        return path + ".partial";
    return path.substr(0, dot) + ".partial" + path.substr(dot);
}

void OutputFile::abandon()
{
    if (stream_ && stream_ != stdout)
        std::fclose(stream_);
    stream_ = nullptr;
    if (!temporaryPath_.empty())
        ::unlink(temporaryPath_.c_str());
    temporaryPath_.clear();
}

std::string OutputFile::close(bool keepExisting)
{
    if (!stream_)
        return {};
    errno = 0;
    if (firstErrno_ == 0 && std::fflush(stream_) != 0)
        firstErrno_ = errno != 0 ? errno : EIO;
    if (stream_ != stdout && std::fclose(stream_) != 0 && firstErrno_ == 0)
        firstErrno_ = errno != 0 ? errno : EIO;
    stream_ = nullptr;
    std::string written;
    if (firstErrno_ == 0 && !temporaryPath_.empty()) {
        struct stat status {};
        written = keepExisting && ::stat(finalPath_.c_str(), &status) == 0 ? partialPath(finalPath_) : finalPath_;
        if (::rename(temporaryPath_.c_str(), written.c_str()) != 0)
            firstErrno_ = errno;
        else
            temporaryPath_.clear();
    }
    if (firstErrno_ != 0)
        throw InputError("cannot write " + path_ + ": " + std::strerror(firstErrno_));
    return written;
}

}  // namespace hdrmeter::clip
