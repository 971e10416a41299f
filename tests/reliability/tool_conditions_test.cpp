// The built hdrmeter program under conditions a pipeline produces: input that stops inside a frame, a
// reader of its output that goes away, a full output device, an output path that cannot be written.
// Each must end with exactly one error line and its exit status, and the frames measured before the
// trouble must still be summarised.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string readFile(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) result.push_back(line);
    return result;
}

// Runs a /bin/sh command line in which PROGRAM stands for the built tool and DIR for the scratch
// directory; a command that is part of a pipeline writes the tool's exit status to DIR/status itself.
// Returns the status, the standard output and the standard error (which the command sends to DIR/err).
std::vector<std::string> run(const std::string& dir, std::string command) {
    for (auto [name, value] : {std::pair<std::string, std::string>{"PROGRAM", "'" HDRMETER_PROGRAM "'"},
                               {"DIR", "'" + dir + "'"}}) {
        for (std::size_t at; (at = command.find(name)) != std::string::npos;) command.replace(at, name.size(), value);
    }
    std::remove((dir + "/status").c_str());
    std::remove((dir + "/err").c_str());
    const int status = std::system(("(" + command + ") >'" + dir + "/out'").c_str());
    const std::string statusText = readFile(dir + "/status");
    return {!statusText.empty() ? statusText : std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1),
            readFile(dir + "/out"), readFile(dir + "/err")};
}

}  // namespace

TEST(ToolConditions, EachTroubleGivesOneErrorLineStatusOneAndTheSummarySoFar) {
    std::string dir = ::testing::TempDir() + "hdrmeter_conditions_XXXXXX";
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    // 16x8 10-bit 4:4:4 frames; this many make more per-frame output than a pipe buffers.
    const int frames = 3000;
    const std::size_t frameBytes = 6 + 16 * 8 * 3 * 2;
    std::string whole = "YUV4MPEG2 W16 H8 F25:1 Ip A1:1 C444p10\n";
    const std::size_t headerBytes = whole.size();
    for (int frame = 0; frame < frames; ++frame) {
        whole += "FRAME\n";
        for (int i = 0; i < 16 * 8 * 3; ++i) {
            const auto code = static_cast<std::uint16_t>(i < 128 ? 64 + (i * 53 + frame * 7) % 877 : 300 + i % 400);
            whole.push_back(static_cast<char>(code & 0xff));
            whole.push_back(static_cast<char>(code >> 8));
        }
    }
    std::ofstream(dir + "/whole.y4m", std::ios::binary) << whole;
    // Cut inside frame 40: 40 whole frames and part of the next.
    std::ofstream(dir + "/cut.y4m", std::ios::binary) << whole.substr(0, headerBytes + 40 * frameBytes + 300);
    const std::string cutInPipe = std::to_string(headerBytes + 1234 * frameBytes + 7);

    struct Case {
        std::string command;
        int status;
        long long framesSummarised;  // -1: nothing can have been measured, or the summary is what was lost
        bool summaryOnStandardError;
        const char* errorPart;
    } const cases[] = {
        {"PROGRAM DIR/cut.y4m 2>DIR/err", 1, 40, false, "ends inside frame 40"},
        {"head -c " + cutInPipe + " DIR/whole.y4m | PROGRAM - 2>DIR/err", 1, 1234, false, "ends inside frame 1234"},
        {"(PROGRAM --csv - DIR/whole.y4m 2>DIR/err; echo $? >DIR/status) | head -c 100 >/dev/null", 1, frames,
         true, "standard output"},
        {"PROGRAM --csv /dev/full DIR/whole.y4m 2>DIR/err", 1, frames, false, "/dev/full"},
        {"PROGRAM --plot /dev/full DIR/whole.y4m 2>DIR/err", 1, frames, false, "/dev/full"},
        {"PROGRAM DIR/whole.y4m >/dev/full 2>DIR/err", 1, -1, false,
         "cannot write the summary to standard output: No space left on device"},
        {"PROGRAM --csv DIR DIR/whole.y4m 2>DIR/err", 1, -1, false, "cannot create"},
        // A line break inside an argument is quoted in the message, escaped.
        {"PROGRAM --transfer \"$(printf 'x\\ny')\" DIR/whole.y4m 2>DIR/err", 2, -1, false, "x\\ny"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        const std::vector<std::string> result = run(dir, c.command);
        const std::string &err = result[2], &summary = c.summaryOnStandardError ? err : result[1];
        EXPECT_EQ(std::atoi(result[0].c_str()), c.status) << err;
        int errorLines = 0;
        for (const std::string& line : lines(err)) errorLines += line.rfind("hdrmeter: ", 0) == 0;
        EXPECT_EQ(errorLines, 1) << err;
        EXPECT_TRUE(c.summaryOnStandardError || lines(err).size() == 1u) << err;
        EXPECT_NE(err.find(c.errorPart), std::string::npos) << err;
        if (c.framesSummarised < 0) continue;
        std::vector<std::string> counts;
        for (const std::string& line : lines(summary)) {
            if (line.rfind("frames measured", 0) == 0) counts.push_back(line.substr(line.find_last_of(' ') + 1));
        }
        EXPECT_EQ(counts, std::vector<std::string>{std::to_string(c.framesSummarised)}) << summary;
        EXPECT_NE(summary.find("MaxCLL"), std::string::npos) << summary;
    }
    std::system(("rm -rf '" + dir + "'").c_str());
}
