// The built hdrmeter program under conditions a pipeline produces: input that stops inside a frame, a
// producer that stalls, a reader of its output that goes away, a full output device, an output path that
// cannot be written, a signal, a stream whose frame size changes part way. Each must end with its exit
// status and at most one error line, and the frames measured before the trouble must still be summarised
// and written whole.
#include <algorithm>
#include <tuple>

#include "tool_test_support.h"

TEST(ToolConditions, EachTroubleGivesOneErrorLineItsStatusAndTheSummarySoFar)
{
    ScratchDirectory scratch;
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
    std::ofstream(scratch.file("whole.y4m"), std::ios::binary) << whole;
    std::ofstream(scratch.file("cut.y4m"), std::ios::binary) << whole.substr(0, headerBytes + 40 * frameBytes + 300);
    const std::string inPipe = std::to_string(headerBytes + 1234 * frameBytes + 7), firstFive = std::to_string(headerBytes + 5 * frameBytes);
    // 96x54 then 64x36, three frames each, in one transport stream.
    for (const char* size : {"96x54", "64x36"})
        ASSERT_EQ(runShell(scratch, std::string("ffmpeg -v error -nostdin -f lavfi -i testsrc2=size=") + size +
                                        ":rate=25 -frames:v 3 -pix_fmt yuv420p10le -c:v libx265 -x265-params "
                                        "log-level=error:transfer=smpte2084 -y " + size + ".ts")
                      .exitStatus, 0);
    ASSERT_EQ(runShell(scratch, "cat 96x54.ts 64x36.ts >both.ts").exitStatus, 0);
    // Two seconds of video beside four of audio: the video ends where its own stream does.
    ASSERT_EQ(runShell(scratch, "ffmpeg -v error -nostdin -f lavfi -i testsrc2=size=64x36:rate=24:duration=2 -f lavfi -i "
                                "sine=duration=4 -pix_fmt yuv420p10le -c:v libx265 -x265-params log-level=error:transfer=smpte2084 "
                                "-c:a aac -y audio.mkv")
                  .exitStatus, 0);
    // Two seconds at 30 frames a second, then two at 24, in one mkv whose header states 30: 108 frames.
    ASSERT_EQ(runShell(scratch, "ffmpeg -v error -nostdin -f lavfi -i \"testsrc2=size=64x36:rate=30:duration=2,settb=1/1000"
                                "[a];testsrc2=size=64x36:rate=24:duration=2,settb=1/1000[b];[a][b]concat=n=2\" "
                                "-fps_mode passthrough -enc_time_base:v 1/1000 -pix_fmt yuv420p10le -c:v libx265 "
                                "-x265-params log-level=error -color_trc smpte2084 -y mixed.mkv")
                  .exitStatus, 0);
    const std::string stalledWhole = "(cat whole.y4m; sleep 20 2>/dev/null </dev/null &)";
    const auto signalled = [&](const char* signal) {
        return "{ " + stalledWhole + " | TMPDIR=\"$PWD\" PROGRAM --csv s.csv --madvr m.bin - 2>err & } ; sleep 1; kill -" + signal +
               " $!; wait $!; echo $? >status";
    };
    struct Case {
        std::string command;  // writes the program's standard error to err, its status to status in a pipeline
        int status;
        int framesSummarised;   // -1: nothing summarised; -2: as many as s.csv has rows; -3: some, not all
        const char* errorPart;  // nullptr: no error line at all
        int errorLines = 1;     // with errorPart
    } const cases[] = {
        {"PROGRAM cut.y4m 2>err", 1, 40, "ends inside frame 40"},
        {"head -c " + inPipe + " whole.y4m | PROGRAM - 2>err", 1, 1234, "ends inside frame 1234"},
        // A closed pipe ends the run at once, with what was measured summarised on standard error.
        {"(PROGRAM --csv - whole.y4m 2>err; echo $? >status) | head -c 100 >/dev/null", 1, -3,
         "standard output"},
        {"PROGRAM --active-area full --csv /dev/full whole.y4m 2>err", 1, -3, "/dev/full"},
        {"PROGRAM --plot /dev/full whole.y4m 2>err", 1, frames, "/dev/full"},
        {"PROGRAM whole.y4m >/dev/full 2>err", 1, -1, "cannot write the summary to standard output"},
        // A pager that closes before the summary: the reader took what it wanted.
        {"(PROGRAM --frames 3 whole.y4m 2>err; echo $? >status) | true", 0, -1, nullptr},
        {"PROGRAM --csv . whole.y4m 2>err", 1, -1, "cannot create"},
        {"PROGRAM --transfer \"$(printf 'x\\ny')\" whole.y4m 2>err", 2, -1, "x\\ny"},  // escaped
        // --frames returns once its frames are measured, whatever the producer does next.
        {"(head -c " + firstFive + " whole.y4m; sleep 20 2>/dev/null </dev/null &) | timeout 10 PROGRAM --frames 2 - 2>err",
         0, 2, nullptr},
        {"PROGRAM --csv s.csv both.ts 2>err", 1, 3, "changes from 96x54 to 64x36 at frame 3"},
        {"PROGRAM --csv s.csv audio.mkv 2>err", 0, 48, nullptr},
        {"PROGRAM --csv s.csv mixed.mkv 2>err", 0, 108, nullptr},
        {"PROGRAM --active-area 0,0,70,0 --csv s.csv both.ts 2>err", 1, 3,
         "leaves no pixel of the 64x36 frames that begin at frame 3"},
        {signalled("INT"), 130, -2, nullptr},
        {signalled("TERM"), 143, -2, nullptr},
        {signalled("HUP"), 129, -2, nullptr},
        // Stopped before the first frame (a FIFO nobody writes): the summary still says what happened.
        {"rm -f q; mkfifo q; { PROGRAM q 2>err & } ; sleep 1; kill -INT $!; wait $!; echo $? >status", 130, 0, nullptr},
        // A run that fails never replaces a complete earlier file: what it measured goes beside it.
        {"PROGRAM --frames 3 --csv e.csv whole.y4m >/dev/null && PROGRAM --active-area full --csv e.csv --jsonl "
         "/dev/full whole.y4m 2>err && false",
         1, -3, "e.csv was left as it was; what was measured is in e.partial.csv", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        for (const char* name : {"status", "err", "s.csv", "e.csv", "e.partial.csv", "m.bin"}) std::remove(scratch.file(name).c_str());
        const ProgramRun run = runShell(scratch, c.command);
        const std::string statusText = readWholeFile(scratch.file("status")), err = readWholeFile(scratch.file("err"));
        EXPECT_EQ(statusText.empty() ? run.exitStatus : std::stoi(statusText), c.status) << err;
        const std::vector<std::string> lines = split(err);
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
                      return line.rfind("hdrmeter: ", 0) == 0 && line.rfind("hdrmeter: warning: ", 0) != 0;
                  }), c.errorPart ? c.errorLines : 0) << err;
        EXPECT_TRUE(!c.errorPart || err.find(c.errorPart) != std::string::npos) << err;
        // No temporary file is left behind, whatever ended the run.
        EXPECT_EQ(runShell(scratch, "ls -A | grep -c hdrmeter-").out, "0\n");
        if (c.framesSummarised == -1) continue;
        const std::string summary = c.framesSummarised == -3 && c.command[0] == '(' ? err : run.out;
        const int counted = std::stoi(summaryValue(summary, "frames measured"));
        EXPECT_TRUE(c.framesSummarised >= 0 ? counted == c.framesSummarised
                                            : counted > 0 && (counted < frames || c.framesSummarised == -2)) << summary;
        if (c.errorLines == 2) {
            EXPECT_EQ(split(readWholeFile(scratch.file("e.csv"))).size(), 4u);
            EXPECT_EQ(split(readWholeFile(scratch.file("e.partial.csv"))).size(), std::size_t(counted) + 1);
        }
        if (c.framesSummarised == -2) {
            EXPECT_EQ(summaryValue(summary, "interrupted").rfind("by SIG", 0), 0u) << summary;
            // Levels of part of the clip are not offered as the clip's.
            EXPECT_EQ(summaryValue(summary, "x265"), "(no x265 line)");
            EXPECT_EQ(summaryValue(summary, "HDR10 lines").rfind("left out: the run did not finish", 0), 0u) << summary;
            // The madVR file holds the frames summarised, each whole, and says that the clip goes on.
            const MadvrFile madvr = readMadvr(readWholeFile(scratch.file("m.bin")));
            EXPECT_TRUE(madvr.sizeFits);
            EXPECT_EQ(std::make_tuple(madvr.magic, madvr.flags, madvr.frameCount, madvr.sceneEnds.empty() ? 0u : madvr.sceneEnds.back()),
                      std::make_tuple(std::string("mvr+"), 0u, std::uint32_t(counted), std::uint32_t(counted)));
        }
        if (c.command.find("--csv s.csv") != std::string::npos) {
            // The file holds a header and one whole row per frame summarised.
            const std::string rows = readWholeFile(scratch.file("s.csv"));
            EXPECT_EQ(std::count(rows.begin(), rows.end(), '\n'), counted + 1);
            EXPECT_EQ(std::count(rows.begin() + rows.rfind('\n', rows.size() - 2) + 1, rows.end(), ','), 8) << rows;
        }
        EXPECT_NE(summary.find("MaxCLL"), std::string::npos) << summary;
    }
}
