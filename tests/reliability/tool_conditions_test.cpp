// The built hdrmeter program under conditions a pipeline produces: input that stops inside a frame, a
// reader of its output that goes away, an output device that is full, an output path that cannot be
// written, and messages that quote a line break. Each must end with exactly one error line and its exit
// status, and the frames measured before the trouble must still be summarised.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) result.push_back(line);
    return result;
}

struct Scratch {
    Scratch() {
        std::string pattern = ::testing::TempDir() + "hdrmeter_conditions_XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) path = pattern;
    }
    ~Scratch() {
        if (!path.empty()) std::system(("rm -rf '" + path + "'").c_str());
    }
    std::string file(const std::string& name) const { return path + "/" + name; }
    std::string path;
};

// frameCount 16x8 10-bit 4:4:4 frames; enough of them make more per-frame output than a pipe buffers.
std::string y4mStream(int frameCount) {
    std::string stream = "YUV4MPEG2 W16 H8 F25:1 Ip A1:1 C444p10\n";
    for (int frame = 0; frame < frameCount; ++frame) {
        stream += "FRAME\n";
        for (int i = 0; i < 16 * 8 * 3; ++i) {
            const auto code = static_cast<std::uint16_t>(i < 128 ? 64 + (i * 53 + frame * 7) % 877 : 300 + i % 400);
            stream.push_back(static_cast<char>(code & 0xff));
            stream.push_back(static_cast<char>(code >> 8));
        }
    }
    return stream;
}

struct ProgramRun {
    int status = -1;
    std::string out, err;
};

// Runs a /bin/sh command line in which PROGRAM stands for the built tool; the command writes the tool's
// exit status to the file STATUS itself when it is part of a pipeline.
ProgramRun run(const Scratch& scratch, std::string command) {
    for (auto [name, value] : {std::pair<std::string, std::string>{"PROGRAM", "'" HDRMETER_PROGRAM "'"},
                               {"STATUS", "'" + scratch.file("status") + "'"},
                               {"ERR", "'" + scratch.file("err") + "'"},
                               {"DIR", "'" + scratch.path + "'"}}) {
        for (std::size_t at; (at = command.find(name)) != std::string::npos;) command.replace(at, name.size(), value);
    }
    std::remove(scratch.file("status").c_str());
    std::remove(scratch.file("err").c_str());
    const int status = std::system(("(" + command + ") >'" + scratch.file("out") + "'").c_str());
    ProgramRun result;
    const std::string statusText = readFile(scratch.file("status"));
    result.status = !statusText.empty() ? std::atoi(statusText.c_str()) : (WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    result.out = readFile(scratch.file("out"));
    result.err = readFile(scratch.file("err"));
    return result;
}

}  // namespace

TEST(ToolConditions, EachTroubleGivesOneErrorLineStatusOneAndTheSummarySoFar) {
    Scratch scratch;
    ASSERT_FALSE(scratch.path.empty());
    const int frames = 3000;
    const std::string whole = y4mStream(frames);
    const std::size_t frameBytes = 6 + 16 * 8 * 3 * 2;
    const std::size_t headerBytes = whole.size() - frames * frameBytes;
    {
        std::ofstream(scratch.file("whole.y4m"), std::ios::binary) << whole;
        // Cut inside frame 40: 40 whole frames and part of the next.
        std::ofstream(scratch.file("cut.y4m"), std::ios::binary) << whole.substr(0, headerBytes + 40 * frameBytes + 300);
        std::ofstream(scratch.file("plain"), std::ios::binary) << "not a directory";
    }
    const std::string cutInPipe = std::to_string(headerBytes + 1234 * frameBytes + 7);

    struct Case {
        const char* name;
        std::string command;
        int status;
        long long framesSummarised;  // -1: nothing can have been measured, or the summary is what was lost
        bool summaryOnStandardError;
        std::string errorPart;
    } const cases[] = {
        {"input cut inside a frame", "PROGRAM DIR/cut.y4m 2>ERR", 1, 40, false, "ends inside frame 40"},
        {"input pipe cut inside a frame", "head -c " + cutInPipe + " DIR/whole.y4m | PROGRAM - 2>ERR", 1, 1234, false,
         "ends inside frame 1234"},
        {"reader of the rows goes away", "(PROGRAM --csv - DIR/whole.y4m 2>ERR; echo $? >STATUS) | head -c 100 >/dev/null",
         1, frames, true, "standard output"},
        {"reader of the JSON lines goes away",
         "(PROGRAM --jsonl - DIR/whole.y4m 2>ERR; echo $? >STATUS) | head -n 2 >/dev/null", 1, frames, true,
         "standard output"},
        {"rows to a full device", "PROGRAM --csv /dev/full DIR/whole.y4m 2>ERR", 1, frames, false, "/dev/full"},
        {"plot to a full device", "PROGRAM --plot /dev/full DIR/whole.y4m 2>ERR", 1, frames, false, "/dev/full"},
        {"summary to a full device", "PROGRAM DIR/whole.y4m >/dev/full 2>ERR", 1, -1, false,
         "cannot write the summary to standard output: No space left on device"},
        {"rows to a directory", "PROGRAM --csv DIR DIR/whole.y4m 2>ERR", 1, -1, false, "cannot create"},
        {"rows below a plain file", "PROGRAM --jsonl DIR/plain/rows.jsonl DIR/whole.y4m 2>ERR", 1, -1, false,
         "cannot create"},
        // A line break inside an argument is quoted in the message, escaped.
        {"argument with a line break", "PROGRAM --transfer \"$(printf 'x\\ny')\" DIR/whole.y4m 2>ERR", 2, -1, false,
         "x\\ny"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ProgramRun result = run(scratch, c.command);
        EXPECT_EQ(result.status, c.status) << result.err;
        const std::string& summary = c.summaryOnStandardError ? result.err : result.out;
        int errorLines = 0;
        for (const std::string& line : lines(result.err)) errorLines += line.rfind("hdrmeter: ", 0) == 0;
        EXPECT_EQ(errorLines, 1) << result.err;
        if (!c.summaryOnStandardError) {
            EXPECT_EQ(lines(result.err).size(), 1u) << result.err;
        }
        EXPECT_NE(result.err.find(c.errorPart), std::string::npos) << result.err;
        if (c.framesSummarised >= 0) {
            bool found = false;
            for (const std::string& line : lines(summary)) {
                if (line.rfind("frames measured", 0) == 0) {
                    found = true;
                    EXPECT_EQ(std::atoll(line.substr(line.find_last_of(' ') + 1).c_str()), c.framesSummarised) << line;
                }
            }
            EXPECT_TRUE(found) << "no summary in:\n" << summary;
            EXPECT_NE(summary.find("MaxCLL"), std::string::npos) << summary;
        }
    }
}
