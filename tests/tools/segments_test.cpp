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

// A clip of three scenes, letterboxed until its second, at 24 frames a second and then 60 (frame 84 at
// 2.9 s, frame 85 at 2.916 s), cut into time segments at scene cuts, a frame after one, between frames,
// and where `plan` puts them. Merged, the segments give every file of the single run byte for byte;
// segments inside the letterbox measured a smaller area and are measured again by the merge.
TEST(Segments, MergedSegmentsGiveTheSingleRunsFilesAndBadPartsAreRefused)
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
                                "60)'\"" + encode + "clip.mkv && ffmpeg -v error -nostdin -f lavfi -i "
                                "testsrc2=size=128x72:rate=24 -frames:v 24 -vf format=yuv420p10le" + encode + "other.mkv")
                  .exitStatus,
              0);
    const ProgramRun whole = runShell(scratch, "mkdir whole && PROGRAM clip.mkv " + outputOptions("whole"));
    ASSERT_EQ(whole.exitStatus, 0) << whole.err;
    ASSERT_NE(whole.out.find("second pass           frames 0 to 49"), std::string::npos) << whole.out;
    const nlohmann::json wholeSummary = nlohmann::json::parse(readWholeFile(scratch.file("whole/s.json")));
    std::vector<long long> firstFrames;
    for (const auto& scene : wholeSummary.at("scenes"))
        firstFrames.push_back(scene.at("first_frame").get<long long>());
    ASSERT_EQ(firstFrames, std::vector<long long>({0, 48, 84}));

    struct Row {
        const char* name;
        std::string bounds;  // "START END" a line; the last END lies past the clip
        bool remeasured;     // a segment lies inside the letterbox
    };
    const Row rows[] = {
        {"one segment", "0 1000\n", false},
        {"two, a frame after the cut at 84", "0 2.916\n2.916 1000\n", false},
        {"two, half a tick after frame 24's time", "0 1.0005\n1.0005 1000\n", true},
        {"three, between frames 24 and 25 and at the cut at 84", "0 1.01\n1.01 2.9\n2.9 1000\n", true},
        {"five where plan puts them, one at the cut at 48", "", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string bounds = row.bounds;
        if (bounds.empty()) {
            const ProgramRun plan = runShell(scratch, "PROGRAM plan clip.mkv --segments 5");
            ASSERT_EQ(plan.exitStatus, 0) << plan.err;
            EXPECT_EQ(plan.out, "0 0.5\n0.5 1\n1 2\n2 2.7\n2.7 3.483001\n");
            bounds = plan.out;
        }
        std::ofstream(scratch.file("bounds.txt")) << bounds;
        const std::string segments =
            parallel ? "parallel -j2 --colsep ' ' PROGRAM clip.mkv --start {1} --end {2} --partial part{#}.hmp "
                       ":::: bounds.txt >/dev/null"
                     : "n=0; while read a b; do n=$((n+1)); PROGRAM clip.mkv --start $a --end $b --partial part$n.hmp "
                       ">/dev/null || exit 1; done <bounds.txt";
        const ProgramRun merged = runShell(scratch, "rm -rf merged part*.hmp && " + segments +
                                                        " && mkdir merged && PROGRAM merge " + outputOptions("merged") +
                                                        " $(ls part*.hmp | sort -r)");
        ASSERT_EQ(merged.exitStatus, 0) << merged.err;
        for (const char* output : kOutputs)
            EXPECT_TRUE(readWholeFile(scratch.file(std::string("whole/") + output)) ==
                        readWholeFile(scratch.file(std::string("merged/") + output)))
                << output;
        EXPECT_EQ(withoutTimings(merged.out), withoutTimings(whole.out));
        EXPECT_EQ(merged.out.find("throughput"), std::string::npos) << "a merge measures nothing";
        if (row.remeasured) {
            const ProgramRun named = runShell(scratch, "PROGRAM merge --no-remeasure part*.hmp");
            EXPECT_EQ(named.exitStatus, 2);
            EXPECT_NE(named.err.find("hdrmeter clip.mkv --start 0 --end " + split(split(bounds)[0], ' ')[1] +
                                     " --active-area 0,0,0,0 --partial part1.again.hmp"),
                      std::string::npos)
                << named.err;
        }
    }

    // The same clip in MPEG-TS, whose clock starts at 1.4 s and whose seeks land near a key frame, not on
    // it: planned to its last frame, its segments merge into the single run's files.
    const ProgramRun tsWhole = runShell(scratch, "rm -rf tsw tsm part*.hmp && mkdir tsw tsm && ffmpeg -v error -nostdin "
                                                 "-i clip.mkv -c copy -y clip.ts && PROGRAM clip.ts " + outputOptions("tsw") +
                                                 " && PROGRAM plan clip.ts --segments 3 >bounds.txt");
    ASSERT_EQ(tsWhole.exitStatus, 0) << tsWhole.err;
    EXPECT_EQ(readWholeFile(scratch.file("bounds.txt")), "0 1\n1 2\n2 3.483001\n");
    // Segments a frame long cut at every key frame, in both containers; shorter ones are refused.
    for (const char* input : {"clip.mkv", "clip.ts"})
        EXPECT_EQ(runShell(scratch, std::string("PROGRAM plan --segment-seconds 0.0417 ") + input).out,
                  "0 0.5\n0.5 1\n1 1.5\n1.5 2\n2 2.5\n2.5 2.7\n2.7 2.9\n2.9 3.1\n3.1 3.3\n3.3 3.483001\n")
            << input;
    const ProgramRun tooShort = runShell(scratch, "PROGRAM plan --segment-seconds 0.0416 clip.mkv");
    EXPECT_EQ(tooShort.exitStatus, 2);
    EXPECT_NE(tooShort.err.find("makes segments shorter than a frame (0.041667 s)"), std::string::npos) << tooShort.err;
    const ProgramRun tsMerged = runShell(scratch, "n=0; while read a b; do n=$((n+1)); PROGRAM clip.ts --start $a --end $b "
                                                  "--partial part$n.hmp >/dev/null || exit 1; done <bounds.txt && PROGRAM "
                                                  "merge " + outputOptions("tsm") + " part*.hmp");
    ASSERT_EQ(tsMerged.exitStatus, 0) << tsMerged.err;
    // A segment's own run names its part, not HDR10 lines; a run over part of the clip says which part.
    EXPECT_EQ(summaryValue(runShell(scratch, "PROGRAM clip.ts --start 1 --end 2 --partial one.hmp").out, "segment"),
              "frames 24 to 47 (--start 1 --end 2) written to one.hmp; merge the parts for the clip's HDR10 lines");
    const std::string firstThirty = runShell(scratch, "PROGRAM clip.ts --frames 30").out;
    EXPECT_EQ(summaryValue(firstThirty, "lines describe").rfind("frames 0 to 29 only (--frames 30)", 0), 0u);
    EXPECT_NE(summaryValue(firstThirty, "x265"), "(no x265 line)");
    for (const char* output : kOutputs)
        EXPECT_TRUE(readWholeFile(scratch.file(std::string("tsw/") + output)) ==
                    readWholeFile(scratch.file(std::string("tsm/") + output)))
            << output;

    // The advice to measure a part again carries every measurement setting and writes a new part beside
    // the old one: followed as printed, the merge goes through.
    const std::string settings = " --threshold 100 --top1 0.5 --min-scene-length 6";
    const ProgramRun advised = runShell(scratch, "PROGRAM clip.mkv --end 1.01" + settings + " --partial s1.hmp && "
                                                 "PROGRAM clip.mkv --start 1.01" + settings + " --partial s2.hmp && "
                                                 "PROGRAM merge --no-remeasure s1.hmp s2.hmp");
    EXPECT_EQ(advised.exitStatus, 2);
    const std::size_t from = advised.err.find("hdrmeter clip.mkv"), to = advised.err.find(" (see ");
    ASSERT_TRUE(from != std::string::npos && to != std::string::npos && from < to) << advised.err;
    const std::string command = advised.err.substr(from, to - from);
    EXPECT_EQ(command, "hdrmeter clip.mkv --end 1.01" + settings + " --active-area 0,0,0,0 --partial s1.again.hmp");
    const ProgramRun followed = runShell(scratch, "PROGRAM" + command.substr(8) + " >/dev/null && PROGRAM merge "
                                                  "--no-remeasure s1.again.hmp s2.hmp && test -s s1.hmp");
    EXPECT_EQ(followed.exitStatus, 0) << followed.err;
    // The config's CM version is a form of output: the merge takes it as one run does.
    ASSERT_EQ(runShell(scratch, "PROGRAM clip.mkv --dovi-cm-version 2.9 --dovi-config whole/d29.json >/dev/null && "
                                "PROGRAM merge --dovi-cm-version 2.9 --dovi-config merged/d29.json part*.hmp")
                  .exitStatus, 0);
    const std::string config29 = readWholeFile(scratch.file("whole/d29.json"));
    EXPECT_NE(config29.find("\"cm_version\": \"V29\""), std::string::npos) << config29;
    EXPECT_EQ(config29, readWholeFile(scratch.file("merged/d29.json")));

    // The parts of the last row: 0-1.01, 1.01-2, 2-2.9, 2.9-end.
    ASSERT_EQ(runShell(scratch, "rm -f part*.hmp && PROGRAM clip.mkv --start 0 --end 2 --partial a.hmp && PROGRAM "
                                "clip.mkv --start 2 --end 2.9 --partial b.hmp && PROGRAM clip.mkv --start 2.9 --partial "
                                "c.hmp && PROGRAM clip.mkv --start 1.01 --end 2.9 --partial overlap.hmp && PROGRAM "
                                "clip.mkv --start 2 --end 2.9 --threshold 100 --partial other-settings.hmp && PROGRAM "
                                "other.mkv --end 2 --partial other-file.hmp && head -c 3000 c.hmp >cut.hmp && cp c.hmp "
                                "damaged.hmp && printf 'x' | dd of=damaged.hmp bs=1 seek=2000 conv=notrunc 2>/dev/null && PROGRAM "
                                "clip.mkv --end 2 --active-area 0,0,0,0 --partial given0.hmp && PROGRAM clip.mkv --start 2 "
                                "--end 2.9 --active-area 4,4,4,4 --partial given4.hmp && sed 's/Lavf/Lavg/' clip.mkv >twin.mkv && cmp -s "
                                "clip.mkv twin.mkv; [ $? = 1 ] && [ $(wc -c <clip.mkv) = $(wc -c <twin.mkv) ] && PROGRAM twin.mkv --start 2 --end 2.9 --partial twin.hmp")
                  .exitStatus,
              0);
    ASSERT_EQ(runShell(scratch, "PROGRAM merge a.hmp b.hmp c.hmp").exitStatus, 0);
    // A part given the area the others found is merged with them.
    ASSERT_EQ(runShell(scratch, "PROGRAM merge given0.hmp b.hmp c.hmp").exitStatus, 0);
    const std::pair<const char*, const char*> refused[] = {
        {"a.hmp b.hmp damaged.hmp", "damaged.hmp is damaged or cut short (its checksum does not match)"},
        {"a.hmp b.hmp cut.hmp", "cut.hmp is damaged or cut short"},
        {"a.hmp c.hmp", "the segment from 2 s to 2.9 s is missing, between a.hmp and c.hmp"},
        {"a.hmp b.hmp", "the last part, b.hmp, ends at 2.9 s and the input goes on"},
        {"b.hmp c.hmp", "the first part, b.hmp, starts at 2 s"},
        {"a.hmp overlap.hmp c.hmp", "a.hmp and overlap.hmp overlap"},
        {"a.hmp other-settings.hmp c.hmp", "other-settings.hmp was measured with --threshold 100 and a.hmp with --threshold 203"},
        {"other-file.hmp b.hmp c.hmp", "b.hmp is of another input than other-file.hmp"},
        {"a.hmp twin.hmp c.hmp", "twin.hmp is of another input than a.hmp"},  // of the same size and format
        {"a.hmp b.hmp bounds.txt", "bounds.txt is not a partial result of hdrmeter"},
        {"a.hmp b.hmp missing.hmp", "missing.hmp cannot be read"},
        {"a.hmp b.hmp .", ". is a folder, not a partial result of hdrmeter"},
        {"given0.hmp given4.hmp c.hmp",
         "given4.hmp was measured with --active-area 4,4,4,4 and given0.hmp with --active-area 0,0,0,0"},
        {"a.hmp given4.hmp c.hmp", "given4.hmp was measured inside the given area 4,4,4,4, other parts found the "
                                   "clip's area 0,0,0,0"},
        {"--jsonl ./clip.mkv a.hmp b.hmp c.hmp", "--jsonl ./clip.mkv is clip.mkv, the file the parts were measured"},
        {"--plot ../$(basename $PWD)/a.hmp a.hmp b.hmp c.hmp", "a.hmp is a.hmp, a part being merged"},
    };
    for (const auto& [parts, line] : refused) {
        SCOPED_TRACE(parts);
        const ProgramRun run = runShell(scratch, std::string("PROGRAM merge --csv out.csv ") + parts);
        EXPECT_EQ(run.exitStatus, 2);
        const std::vector<std::string> errors = errorLines(run.err);
        ASSERT_EQ(errors.size(), 1u) << run.err;
        EXPECT_NE(errors[0].find(line), std::string::npos) << errors[0];
    }
    EXPECT_FALSE(std::ifstream(scratch.file("out.csv")).good());
    EXPECT_EQ(runShell(scratch, "PROGRAM merge a.hmp b.hmp c.hmp && PROGRAM clip.mkv --end 0.1").exitStatus, 0);
}
