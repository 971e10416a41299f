#ifndef HDRMETER_TOOL_OUTPUT_FILE_H
#define HDRMETER_TOOL_OUTPUT_FILE_H

#include <cstdio>
#include <string>

namespace hdrmeter::tool {

// A file the program writes, or standard output for "-". Write failures are remembered and reported
// by close(), so a full disk is an error and not a silently short file.
class OutputFile {
public:
    // Opens (and truncates) path; throws InputError when it cannot be created.
    explicit OutputFile(const std::string& path);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void write(const std::string& text);
    void flush();
    // Flushes and closes; throws InputError naming the file when anything written was lost.
    void close();

    bool isStandardOutput() const { return stream_ == stdout; }
    const std::string& path() const { return path_; }

private:
    std::FILE* stream_ = nullptr;
    std::string path_;
    int firstErrno_ = 0;
};

}  // namespace hdrmeter::tool

#endif
