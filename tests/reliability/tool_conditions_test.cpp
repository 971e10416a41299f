// The built hdrmeter program under conditions a pipeline produces: input that stops inside a frame, a
// producer that stalls, a reader of its output that goes away, a full output device, an output path that
// cannot be written, a signal. Each must end with its exit status and at most one error line, and the
// frames measured before the trouble must still be summarised and written whole.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string readFile(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

int count(const std::string& text, const std::string& linePrefix) {
    int found = text.rfind(linePrefix, 0) == 0;
    for (std::size_t at = 0; (at = text.find("\n" + linePrefix, at)) != std::string::npos; ++at) ++found;
    return found;
}

}  // namespace

TEST(ToolConditions, EachTroubleGivesOneErrorLineItsStatusAndTheSummarySoFar) {
    std::string dir = ::testing::TempDir() + "hdrmeter_conditions_XXXXXX";
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    setenv("P", HDRMETER_PROGRAM, 1);  // the commands name the program $P and the scratch directory $D
    setenv("D", dir.c_str(), 1);
    // 16x8 10-bit 4:4:4 frames; this many make more per-frame output than a pipe buffers.
    const int frames = 3000, frameBytes = 6 + 16 * 8 * 3 * 2;
    std::string whole = "YUV4MPEG2 W16 H8 F25:1 Ip A1:1 C444p10\n";
    const int headerBytes = static_cast<int>(whole.size());
    for (int frame = 0; frame < frames; ++frame) {
        whole += "FRAME\n";
        for (int i = 0; i < 16 * 8 * 3; ++i) {
            const int code = i < 128 ? 64 + (i * 53 + frame * 7) % 877 : 300 + i % 400;
            whole += {static_cast<char>(code & 0xff), static_cast<char>(code >> 8)};
        }
    }
    std::ofstream(dir + "/whole.y4m", std::ios::binary) << whole;
    std::ofstream(dir + "/cut.y4m", std::ios::binary) << whole.substr(0, headerBytes + 40 * frameBytes + 300);
    const std::string inPipe = std::to_string(headerBytes + 1234 * frameBytes + 7), firstFive = std::to_string(headerBytes + 5 * frameBytes);
    const std::string stalledWhole = "(cat \"$D/whole.y4m\"; sleep 20 2>/dev/null </dev/null &)";
    const auto signalled = [&](const char* signal) {
        return "{ " + stalledWhole + " | \"$P\" --csv \"$D/s.csv\" - 2>\"$D/err\" & } ; sleep 1; kill -" + signal +
               " $!; wait $!; echo $? >\"$D/status\"";
    };
    struct Case {
        std::string command;  // writes the program's standard error to $D/err, its status to $D/status in a pipeline
        int status;
        int framesSummarised;   // -1: nothing summarised; -2: as many as $D/s.csv has rows; -3: some, not all
        const char* errorPart;  // nullptr: no error line at all
    } const cases[] = {
        {"\"$P\" \"$D/cut.y4m\" 2>\"$D/err\"", 1, 40, "ends inside frame 40"},
        {"head -c " + inPipe + " \"$D/whole.y4m\" | \"$P\" - 2>\"$D/err\"", 1, 1234, "ends inside frame 1234"},
        // A closed pipe ends the run at once, with what was measured summarised on standard error.
        {"(\"$P\" --csv - \"$D/whole.y4m\" 2>\"$D/err\"; echo $? >\"$D/status\") | head -c 100 >/dev/null", 1, -3,
         "standard output"},
        {"\"$P\" --active-area full --csv /dev/full \"$D/whole.y4m\" 2>\"$D/err\"", 1, -3, "/dev/full"},
        {"\"$P\" --plot /dev/full \"$D/whole.y4m\" 2>\"$D/err\"", 1, frames, "/dev/full"},
        {"\"$P\" \"$D/whole.y4m\" >/dev/full 2>\"$D/err\"", 1, -1, "cannot write the summary to standard output"},
        // A pager that closes before the summary: the reader took what it wanted.
        {"(\"$P\" --frames 3 \"$D/whole.y4m\" 2>\"$D/err\"; echo $? >\"$D/status\") | true", 0, -1, nullptr},
        {"\"$P\" --csv \"$D\" \"$D/whole.y4m\" 2>\"$D/err\"", 1, -1, "cannot create"},
        {"\"$P\" --transfer \"$(printf 'x\\ny')\" \"$D/whole.y4m\" 2>\"$D/err\"", 2, -1, "x\\ny"},  // escaped
        // --frames returns once its frames are measured, whatever the producer does next.
        {"(head -c " + firstFive + " \"$D/whole.y4m\"; sleep 20 2>/dev/null </dev/null &) | timeout 10 \"$P\" --frames 2 - 2>\"$D/err\"",
         0, 2, nullptr},
        {signalled("INT"), 130, -2, nullptr},
        {signalled("TERM"), 143, -2, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        for (const char* name : {"/status", "/err", "/s.csv"}) std::remove((dir + name).c_str());
        const int status = std::system(("(" + c.command + ") >\"$D/out\"").c_str());
        const std::string statusText = readFile(dir + "/status"), err = readFile(dir + "/err");
        EXPECT_EQ(statusText.empty() ? WEXITSTATUS(status) : std::stoi(statusText), c.status) << err;
        EXPECT_EQ(count(err, "hdrmeter: ") - count(err, "hdrmeter: warning: "), c.errorPart ? 1 : 0) << err;
        EXPECT_TRUE(!c.errorPart || err.find(c.errorPart) != std::string::npos) << err;
        if (c.framesSummarised == -1) continue;
        const std::string summary = c.framesSummarised == -3 && c.command[0] == '(' ? err : readFile(dir + "/out");
        ASSERT_EQ(count(summary, "frames measured"), 1) << summary;
        const int counted = std::stoi(summary.substr(summary.find_first_not_of(' ', summary.find("frames measured") + 15)));
        EXPECT_TRUE(c.framesSummarised >= 0 ? counted == c.framesSummarised
                                            : counted > 0 && (counted < frames || c.framesSummarised == -2)) << summary;
        if (c.framesSummarised == -2) {
            // Interrupted: the summary says so, and the file holds a header and one whole row per frame.
            const std::string rows = readFile(dir + "/s.csv");
            EXPECT_NE(summary.find("interrupted           by SIG"), std::string::npos) << summary;
            EXPECT_EQ(std::count(rows.begin(), rows.end(), '\n'), counted + 1);
            EXPECT_EQ(std::count(rows.begin() + rows.rfind('\n', rows.size() - 2) + 1, rows.end(), ','), 7) << rows;
        }
        EXPECT_NE(summary.find("MaxCLL"), std::string::npos) << summary;
    }
    std::system("rm -rf \"$D\"");
}
