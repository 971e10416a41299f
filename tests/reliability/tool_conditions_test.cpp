// The built hdrmeter program under conditions a pipeline produces: input that stops inside a frame, a
// producer that stalls, a reader of its output that goes away, a full output device, an output path that
// cannot be written, a signal. Each must end with its exit status and at most one error line, and the
// frames measured before the trouble must still be summarised and written whole.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

    // A producer that writes the first frames (or all of them) and then stalls with the pipe still open.
    const std::string stalled = "(head -c " + std::to_string(headerBytes + 5 * frameBytes) + " DIR/whole.y4m; sleep 20 2>/dev/null </dev/null &)";
    const std::string stalledWhole = "(cat DIR/whole.y4m; sleep 20 2>/dev/null </dev/null &)";
    const auto signalled = [&](const char* signal) {
        return "{ " + stalledWhole + " | PROGRAM --csv DIR/s.csv - 2>DIR/err & } ; sleep 1; kill -" + signal +
               " $!; wait $!; echo $? >DIR/status";
    };
    struct Case {
        std::string command;
        int status;
        long long framesSummarised;  // -1: nothing can have been measured, or the summary is what was lost;
                                     // -2: as many as DIR/s.csv has rows, at least one; -3: some, not all
        bool summaryOnStandardError;
        const char* errorPart;       // nullptr: no error line at all
    } const cases[] = {
        {"PROGRAM DIR/cut.y4m 2>DIR/err", 1, 40, false, "ends inside frame 40"},
        {"head -c " + cutInPipe + " DIR/whole.y4m | PROGRAM - 2>DIR/err", 1, 1234, false, "ends inside frame 1234"},
        // A closed pipe ends the run at once, with what was measured summarised.
        {"(PROGRAM --csv - DIR/whole.y4m 2>DIR/err; echo $? >DIR/status) | head -c 100 >/dev/null", 1, -3, true,
         "standard output"},
        // An output that fails stops the run too: nobody would get the rows (written as measured with an
        // area that is not found automatically).
        {"PROGRAM --active-area full --csv /dev/full DIR/whole.y4m 2>DIR/err", 1, -3, false, "/dev/full"},
        {"PROGRAM --plot /dev/full DIR/whole.y4m 2>DIR/err", 1, frames, false, "/dev/full"},
        {"PROGRAM DIR/whole.y4m >/dev/full 2>DIR/err", 1, -1, false,
         "cannot write the summary to standard output: No space left on device"},
        // A pager that closes before the summary: the reader took what it wanted.
        {"(PROGRAM --frames 3 DIR/whole.y4m 2>DIR/err; echo $? >DIR/status) | true", 0, -1, false, nullptr},
        {"PROGRAM --csv DIR DIR/whole.y4m 2>DIR/err", 1, -1, false, "cannot create"},
        // A line break inside an argument is quoted in the message, escaped.
        {"PROGRAM --transfer \"$(printf 'x\\ny')\" DIR/whole.y4m 2>DIR/err", 2, -1, false, "x\\ny"},
        // --frames returns once its frames are measured, whatever the producer does next.
        {stalled + " | timeout 10 PROGRAM --frames 2 - 2>DIR/err", 0, 2, false, nullptr},
        {signalled("INT"), 130, -2, false, nullptr},
        {signalled("TERM"), 143, -2, false, nullptr},
        // Names that are not UTF-8 or hold control characters still make a well-formed picture.
        {"cp DIR/cut.y4m DIR/\"$(printf 'a\\001\\377')\".y4m && PROGRAM --frames 3 --plot DIR/p.svg DIR/a*.y4m >/dev/null 2>DIR/err;"
         " python3 -c 'import sys, xml.dom.minidom; xml.dom.minidom.parse(sys.argv[1])' DIR/p.svg", 0, -1, false,
         nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        std::remove((dir + "/s.csv").c_str());
        const std::vector<std::string> result = run(dir, c.command);
        const std::string &err = result[2], &summary = c.summaryOnStandardError ? err : result[1];
        EXPECT_EQ(std::atoi(result[0].c_str()), c.status) << err;
        std::vector<std::string> errors;
        for (const std::string& line : lines(err))
            if (line.rfind("hdrmeter: ", 0) == 0 && line.rfind("hdrmeter: warning: ", 0) != 0) errors.push_back(line);
        EXPECT_EQ(errors.size(), c.errorPart ? 1u : 0u) << err;
        if (c.errorPart && !errors.empty()) {
            EXPECT_NE(errors[0].find(c.errorPart), std::string::npos) << err;
        }
        if (c.framesSummarised == -1) continue;
        std::vector<std::string> counts;
        for (const std::string& line : lines(summary)) {
            if (line.rfind("frames measured", 0) == 0) counts.push_back(line.substr(line.find_last_of(' ') + 1));
        }
        ASSERT_EQ(counts.size(), 1u) << summary;
        const long long counted = std::atoll(counts[0].c_str());
        if (c.framesSummarised >= 0) {
            EXPECT_EQ(counted, c.framesSummarised) << summary;
        } else if (c.framesSummarised == -3) {
            EXPECT_TRUE(counted > 0 && counted < frames) << summary;
        }
        if (c.framesSummarised == -2) {
            // Interrupted: the summary says so, and the file holds a header and one whole row per frame.
            EXPECT_NE(summary.find("interrupted           by SIG"), std::string::npos) << summary;
            const std::vector<std::string> rows = lines(readFile(dir + "/s.csv"));
            EXPECT_GT(counted, 0);
            EXPECT_EQ(static_cast<long long>(rows.size()), counted + 1);
            EXPECT_EQ(std::count(rows.back().begin(), rows.back().end(), ','), 7) << rows.back();
        }
        EXPECT_NE(summary.find("MaxCLL"), std::string::npos) << summary;
    }
    std::system(("rm -rf '" + dir + "'").c_str());
}
