#include <regex>

#include <nlohmann/json.hpp>

#include "tool_test_support.h"

namespace {

// The timings of a run (its throughput, its second pass's seconds) are its own; everything else of the
// summary must match.
std::string withoutTimings(const std::string& summary)
{
    std::string text = std::regex_replace(summary, std::regex("throughput[^\n]*\n"), "");
    return std::regex_replace(text, std::regex(" \\([0-9.]+ s\\)"), "");
}

const char* const kOutputs[] = {"c.csv", "j.jsonl", "p.svg", "s.json", "h.json", "d.json", "m.bin"};

std::string outputOptions(const std::string& folder)
{
    return "--csv " + folder + "/c.csv --jsonl " + folder + "/j.jsonl --plot " + folder + "/p.svg --summary-json " +
           folder + "/s.json --hdr10plus " + folder + "/h.json --dovi-config " + folder + "/d.json --madvr " + folder +
           "/m.bin";
}

}  // namespace

// The commands of a film measured in segments, on a clip of three scenes letterboxed until its second, at
// 24 frames a second and then 60: `plan` prints the segments (each starting on a key frame), the program
// measures them, in parallel where GNU parallel is at hand, and `merge` writes every file of the single run
// byte for byte. A refused merge is a usage error of one line; the advice to measure a part again is a
// command line that, followed as printed, lets the merge go through. (What a merge keeps and refuses is
// the clip layer's: tests/clip/merge_run_test.cpp.)
TEST(Segments, PlanMeasureAndMergeFromTheCommandLine)
{
    ASSERT_EQ(std::system("ffmpeg -version >/dev/null 2>&1"), 0) << "ffmpeg is needed: run scripts/deps.sh test";
    const bool parallel = std::system("parallel --version >/dev/null 2>&1") == 0;
    ScratchDirectory scratch;
    const std::string encode =
        " -fps_mode passthrough -enc_time_base:v 1/1000 -c:v libx265 -x265-params "
        "log-level=error:keyint=12:min-keyint=12:colorprim=bt2020:transfer=smpte2084:colormatrix=bt2020nc -y ";
    ASSERT_EQ(runShell(scratch, "ffmpeg -v error -nostdin -f lavfi -i \"testsrc2=size=128x52:rate=24,pad=128:72:0:10:"
                                "black,trim=end_frame=48[a];smptehdbars=size=128x72:rate=24,trim=end_frame=36[b];"
                                "rgbtestsrc=size=128x72:rate=24,trim=end_frame=36[c];[a][b][c]concat=n=3,"
                                "format=yuv420p10le,settb=1/1000,setpts='if(lt(N\\,60)\\,N*1000/24\\,2500+(N-60)*1000/"
                                "60)'\"" + encode + "clip.mkv && ffmpeg -v error -nostdin -i clip.mkv -c copy -y clip.ts")
                  .exitStatus,
              0);
    const ProgramRun whole = runShell(scratch, "mkdir whole && PROGRAM clip.mkv " + outputOptions("whole"));
    ASSERT_EQ(whole.exitStatus, 0) << whole.err;

    const ProgramRun plan = runShell(scratch, "PROGRAM plan clip.mkv --segments 5");
    ASSERT_EQ(plan.exitStatus, 0) << plan.err;
    EXPECT_EQ(plan.out, "0 0.5\n0.5 1\n1 2\n2 2.7\n2.7 3.483001\n");
    std::ofstream(scratch.file("bounds.txt")) << plan.out;
    // Segments a frame long cut at every key frame, in both containers; shorter ones are refused.
    for (const char* input : {"clip.mkv", "clip.ts"})
        EXPECT_EQ(runShell(scratch, std::string("PROGRAM plan --segment-seconds 0.0417 ") + input).out,
                  "0 0.5\n0.5 1\n1 1.5\n1.5 2\n2 2.5\n2.5 2.7\n2.7 2.9\n2.9 3.1\n3.1 3.3\n3.3 3.483001\n")
            << input;
    const ProgramRun tooShort = runShell(scratch, "PROGRAM plan --segment-seconds 0.0416 clip.mkv");
    EXPECT_EQ(tooShort.exitStatus, 2);
    EXPECT_NE(tooShort.err.find("makes segments shorter than a frame (0.041667 s)"), std::string::npos) << tooShort.err;

    const std::string segments =
        parallel ? "parallel -j2 --colsep ' ' PROGRAM clip.mkv --start {1} --end {2} --partial part{#}.hmp "
                   ":::: bounds.txt >/dev/null"
                 : "n=0; while read a b; do n=$((n+1)); PROGRAM clip.mkv --start $a --end $b --partial part$n.hmp "
                   ">/dev/null || exit 1; done <bounds.txt";
    const ProgramRun merged = runShell(scratch, segments + " && mkdir merged && PROGRAM merge " + outputOptions("merged") +
                                                    " $(ls part*.hmp | sort -r)");
    ASSERT_EQ(merged.exitStatus, 0) << merged.err;
    for (const char* output : kOutputs)
        EXPECT_TRUE(readWholeFile(scratch.file(std::string("whole/") + output)) ==
                    readWholeFile(scratch.file(std::string("merged/") + output)))
            << output;
    EXPECT_EQ(withoutTimings(merged.out), withoutTimings(whole.out));
    EXPECT_EQ(merged.out.find("throughput"), std::string::npos) << "a merge measures nothing";
    const ProgramRun named = runShell(scratch, "PROGRAM merge --no-remeasure part*.hmp");
    EXPECT_EQ(named.exitStatus, 2);
    EXPECT_NE(named.err.find("hdrmeter clip.mkv --start 0 --end 0.5 --active-area 0,0,0,0 --partial part1.again.hmp"),
              std::string::npos)
        << named.err;

    const std::string settings = " --threshold 100 --top1 0.5 --min-scene-length 6";
    const ProgramRun advised = runShell(scratch, "PROGRAM clip.mkv --end 1.01" + settings + " --partial s1.hmp && "
                                                 "PROGRAM clip.mkv --start 1.01" + settings + " --partial s2.hmp && "
                                                 "PROGRAM merge --no-remeasure --csv out.csv s1.hmp s2.hmp");
    EXPECT_EQ(advised.exitStatus, 2);
    EXPECT_EQ(errorLines(advised.err).size(), 1u) << advised.err;
    EXPECT_FALSE(std::ifstream(scratch.file("out.csv")).good());
    const std::size_t from = advised.err.find("hdrmeter clip.mkv"), to = advised.err.find(" (see ");
    ASSERT_TRUE(from != std::string::npos && to != std::string::npos && from < to) << advised.err;
    const std::string command = advised.err.substr(from, to - from);
    EXPECT_EQ(command, "hdrmeter clip.mkv --end 1.01" + settings + " --active-area 0,0,0,0 --partial s1.again.hmp");
    const ProgramRun followed = runShell(scratch, "PROGRAM" + command.substr(8) + " >/dev/null && PROGRAM merge "
                                                  "--no-remeasure s1.again.hmp s2.hmp && test -s s1.hmp");
    EXPECT_EQ(followed.exitStatus, 0) << followed.err;
    // A merge takes the HDR10+ JSON's indentation and the program's own --quiet and --progress json; its
    // help offers those and nothing a merge refuses.
    ASSERT_EQ(runShell(scratch, "PROGRAM clip.mkv --pretty --hdr10plus whole/hp.json").exitStatus, 0);
    const ProgramRun pipeline =
        runShell(scratch, "PROGRAM merge --quiet --progress json --pretty --hdr10plus merged/hp.json part*.hmp");
    ASSERT_EQ(pipeline.exitStatus, 0) << pipeline.err;
    EXPECT_EQ(pipeline.out, "");
    const std::string pretty = readWholeFile(scratch.file("merged/hp.json"));
    EXPECT_EQ(pretty, readWholeFile(scratch.file("whole/hp.json")));
    EXPECT_NE(pretty.find("\n  \"JSONInfo\""), std::string::npos) << pretty.substr(0, 200);
    const std::vector<std::string> progress = split(pipeline.err);
    ASSERT_FALSE(progress.empty());
    const nlohmann::json last = nlohmann::json::parse(progress.back());
    EXPECT_EQ(last.at("frames_done"), last.at("frames_expected")) << progress.back();
    const std::string help = runShell(scratch, "PROGRAM merge --help").out;
    for (const char* offered : {"--quiet", "--progress auto|json", "--pretty", "--hdr10plus", "--dovi-cm-version"})
        EXPECT_NE(help.find(std::string("\n  ") + offered), std::string::npos) << offered;
    for (const char* refused : {"--verify", "--partial", "--version", "--start", "--threshold"})
        EXPECT_EQ(help.find(std::string("\n  ") + refused), std::string::npos) << refused;

}
