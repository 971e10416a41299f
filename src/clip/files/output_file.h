#ifndef HDRMETER_CLIP_OUTPUT_FILE_H
#define HDRMETER_CLIP_OUTPUT_FILE_H

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "descriptor_io.h"

namespace hdrmeter::clip {

// A file the program writes. A regular file (or a name that does not exist yet) is written under a
// temporary name in the same folder and renamed into place by close(), so that no reader ever sees a half
// file under the final name and a failed run leaves an earlier file as it was. Standard output ("-"),
// devices and FIFOs are written directly, a row at a time. Write failures are remembered and reported
// by close().
class OutputFile {
public:
    // Throws InputError when the file cannot be created.
    explicit OutputFile(const std::string& path);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void write(const std::string& text);
    // A write failed; the run should stop rather than measure for nobody.
    bool failed() const { return firstErrno_ != 0; }
    bool readerWentAway() const;
    // Nothing was written yet, but the pipe written to has lost its reader: rows held back until the end
    // of the run (the automatic area's) would go to nobody.
    bool pipeReaderGone() const;
    // Flushes, closes and renames into place; throws InputError naming the file when anything written was
    // lost (the temporary file is then removed). With keepExisting, a file already at the final name is
    // left as it was and what was written goes beside it (partialPath()): how a run that ended early
    // keeps a complete earlier file. Returns the path the file now has; "" when written directly.
    std::string close(bool keepExisting = false);
    // Writes nothing: the temporary file goes, and a file at the final name stays as it was.
    void abandon();
    // "light.partial.csv" for "light.csv".
    static std::string partialPath(const std::string& path);

    bool isStandardOutput() const { return stream_ == stdout; }
    const std::string& path() const { return path_; }
    // Where close() puts the file: the given path resolved; "" for files written directly.
    const std::string& finalPath() const { return finalPath_; }

private:
    std::FILE* stream_ = nullptr;
    std::string path_;            // as the user gave it, or "standard output"
    std::string finalPath_;       // where a temporary file is renamed to; empty when written directly
    std::string temporaryPath_;
    int firstErrno_ = 0;
};

// Refuses, with RequestError, output paths that name the input or each other in any spelling (through
// links, "./", another folder name): files are compared by device and inode, and names that do not
// exist yet by their folder's device and inode and their name. Standard output ("-") is compared as
// the file it is.
// Each path comes with the name of its setting, which the refusal mentions.
void checkOutputsApart(const std::vector<std::pair<std::string, std::string>>& settingsAndPaths,
                       const std::optional<FileIdentity>& input);

// A file an output must not replace, and how the refusal calls it ("a.hmp, a part being merged").
struct ReadFile {
    std::string what;
    FileIdentity file;
};

// The same check against every file a run reads; a path that cannot be found is left out by the caller.
void checkOutputsApart(const std::vector<std::pair<std::string, std::string>>& settingsAndPaths,
                       const std::vector<ReadFile>& inputs);

// The identity of the file at `path` (links followed), if there is one.
std::optional<FileIdentity> identityOf(const std::string& path);

}  // namespace hdrmeter::clip

#endif
