#include "output_file.h"

#include <cerrno>
#include <cstring>

#include "tool_errors.h"

namespace hdrmeter::tool {

OutputFile::OutputFile(const std::string& path) : path_(path)
{
    if (path == "-") {
        stream_ = stdout;
        path_ = "standard output";
        return;
    }
    stream_ = std::fopen(path.c_str(), "wb");
    if (!stream_)
        throw InputError("cannot create " + path + ": " + std::strerror(errno));
}

OutputFile::~OutputFile()
{
    if (stream_ && stream_ != stdout)
        std::fclose(stream_);
}

void OutputFile::write(const std::string& text)
{
    if (!stream_ || firstErrno_ != 0)
        return;
    if (std::fwrite(text.data(), 1, text.size(), stream_) != text.size())
        firstErrno_ = errno != 0 ? errno : EIO;
}

void OutputFile::flush()
{
    if (stream_ && firstErrno_ == 0 && std::fflush(stream_) != 0)
        firstErrno_ = errno != 0 ? errno : EIO;
}

void OutputFile::close()
{
    if (!stream_)
        return;
    flush();
    if (stream_ != stdout && std::fclose(stream_) != 0 && firstErrno_ == 0)
        firstErrno_ = errno != 0 ? errno : EIO;
    stream_ = nullptr;
    if (firstErrno_ != 0)
        throw InputError("cannot write " + path_ + ": " + std::strerror(firstErrno_));
}

}  // namespace hdrmeter::tool
