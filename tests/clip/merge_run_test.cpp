#include <regex>

#include <nlohmann/json.hpp>

#include "measure_support.h"

using hdrmeter::clip::Ending;
using hdrmeter::clip::RequestError;

namespace {

// The timings of a run (its throughput, its second pass's seconds) are its own; everything else of the
// summary must match.
std::string withoutTimings(const std::string& summary)
{
    std::string text = std::regex_replace(summary, std::regex("throughput[^\n]*\n"), "");
    return std::regex_replace(text, std::regex(" \\([0-9.]+ s\\)"), "");
}

const char* const kOutputs[] = {"c.csv", "j.jsonl", "p.svg", "s.json", "h.json", "d.json", "m.bin"};

Settings outputsIn(const std::string& folder)
{
    return {{"csv", folder + "/c.csv"},      {"jsonl", folder + "/j.jsonl"},   {"plot", folder + "/p.svg"},
            {"summary_json", folder + "/s.json"}, {"hdr10plus", folder + "/h.json"}, {"dovi_config", folder + "/d.json"},
            {"madvr", folder + "/m.bin"}};
}

Settings with(Settings settings, const Settings& more)
{
    settings.insert(settings.end(), more.begin(), more.end());
    return settings;
}

// A message spelled plainly, the scratch directory left out of its paths.
std::string plainly(const ScratchDirectory& scratch, const std::string& message)
{
    std::string text = hdrmeter::clip::spelledPlainly(message);
    for (std::size_t at; (at = text.find(scratch.path + "/")) != std::string::npos;)
        text.erase(at, scratch.path.size() + 1);
    return text;
}

// The segments of `bounds` ("START END" a line) of `input` measured apart with `settings`, into part1.hmp,
// part2.hmp ...; their names.
std::vector<std::string> measureSegments(const ScratchDirectory& scratch, const std::string& input,
                                         const std::string& bounds, const Settings& settings = {})
{
    std::vector<std::string> parts;
    for (const std::string& line : split(bounds)) {
        const std::vector<std::string> times = split(line, ' ');
        parts.push_back("part" + std::to_string(parts.size() + 1) + ".hmp");
        const Measured part = measureIn(scratch, with({{"input", input}, {"start", times.at(0)}, {"end", times.at(1)},
                                                       {"partial", parts.back()}}, settings));
        EXPECT_EQ(part.report.ending, Ending::Complete) << line << ": " << part.report.failure;
    }
    return parts;
}

// Why merge() refuses the parts, plainly; "" when it merges them.
std::string refusal(const ScratchDirectory& scratch, const Settings& outputs, const std::vector<std::string>& parts,
                    bool remeasure = true)
{
    try {
        mergeIn(scratch, outputs, parts, remeasure);
    } catch (const RequestError& error) {
        return plainly(scratch, error.message());
    }
    return "";
}

void expectSameFiles(const ScratchDirectory& scratch, const std::string& a, const std::string& b)
{
    for (const char* output : kOutputs)
        EXPECT_TRUE(readWholeFile(scratch.file(a + "/" + output)) == readWholeFile(scratch.file(b + "/" + output)))
            << output;
}

}  // namespace

// A clip of three scenes, letterboxed until its second, at 24 frames a second and then 60 (frame 84 at
// 2.9 s, frame 85 at 2.916 s), cut into time segments at scene cuts, a frame after one and between frames.
// Merged, the segments give every file of the single run byte for byte; segments inside the letterbox
// measured a smaller area and are measured again by the merge, or named with the settings that measure
// them again.
TEST(Merge, MergedSegmentsGiveTheSingleRunsFilesAndBadPartsAreRefused)
{
    ScratchDirectory scratch;
    const std::string encode =
        " -fps_mode passthrough -enc_time_base:v 1/1000 -c:v libx265 -x265-params "
        "log-level=error:keyint=12:min-keyint=12:colorprim=bt2020:transfer=smpte2084:colormatrix=bt2020nc -y ";
    ASSERT_EQ(runCommand(scratch, "ffmpeg -v error -nostdin -f lavfi -i \"testsrc2=size=128x52:rate=24,pad=128:72:0:10:"
                                  "black,trim=end_frame=48[a];smptehdbars=size=128x72:rate=24,trim=end_frame=36[b];"
                                  "rgbtestsrc=size=128x72:rate=24,trim=end_frame=36[c];[a][b][c]concat=n=3,"
                                  "format=yuv420p10le,settb=1/1000,setpts='if(lt(N\\,60)\\,N*1000/24\\,2500+(N-60)*1000/"
                                  "60)'\"" + encode + "clip.mkv && ffmpeg -v error -nostdin -f lavfi -i "
                                  "testsrc2=size=128x72:rate=24 -frames:v 24 -vf format=yuv420p10le" + encode +
                                  "other.mkv && mkdir whole merged tsw tsm")
                  .exitStatus, 0) << readWholeFile(scratch.file("stderr.txt"));
    const Measured whole = measureIn(scratch, with({{"input", "clip.mkv"}}, outputsIn("whole")));
    ASSERT_EQ(whole.report.ending, Ending::Complete) << whole.report.failure;
    ASSERT_NE(whole.summary.find("second pass           frames 0 to 49"), std::string::npos) << whole.summary;
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
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<std::string> parts = measureSegments(scratch, "clip.mkv", row.bounds);
        if (row.remeasured) {
            const std::string named = refusal(scratch, {}, parts, false);
            EXPECT_NE(named.find("input=clip.mkv start=0 end=" + split(split(row.bounds)[0], ' ')[1] +
                                 " active_area=0,0,0,0 partial=part1.again.hmp"),
                      std::string::npos) << named;
        }
        std::reverse(parts.begin(), parts.end());
        const Measured merged = mergeIn(scratch, outputsIn("merged"), parts);
        ASSERT_EQ(merged.report.ending, Ending::Complete) << merged.report.failure;
        expectSameFiles(scratch, "whole", "merged");
        EXPECT_EQ(withoutTimings(merged.summary), withoutTimings(whole.summary));
        EXPECT_EQ(merged.summary.find("throughput"), std::string::npos) << "a merge measures nothing";
    }

    // The same clip in MPEG-TS, whose clock starts at 1.4 s and whose seeks land near a key frame, not on
    // it: planned to its last frame, its segments merge into the single run's files.
    ASSERT_EQ(runCommand(scratch, "ffmpeg -v error -nostdin -i clip.mkv -c copy -y clip.ts").exitStatus, 0);
    ASSERT_EQ(measureIn(scratch, with({{"input", "clip.ts"}}, outputsIn("tsw"))).report.ending, Ending::Complete);
    hdrmeter::clip::SegmentPlanRequest plan;
    plan.input = scratch.file("clip.ts");
    plan.segments = 3;
    const std::string bounds = hdrmeter::clip::segmentPlanText(hdrmeter::clip::planSegments(plan));
    EXPECT_EQ(bounds, "0 1\n1 2\n2 3.483001\n");
    ASSERT_EQ(mergeIn(scratch, outputsIn("tsm"), measureSegments(scratch, "clip.ts", bounds)).report.ending,
              Ending::Complete);
    expectSameFiles(scratch, "tsw", "tsm");
    // A segment's own run names its part, not HDR10 lines; a run over part of the clip says which part.
    EXPECT_EQ(summaryValue(measureIn(scratch, {{"input", "clip.ts"}, {"start", "1"}, {"end", "2"}, {"partial", "one.hmp"}})
                               .summary, "segment"),
              "frames 24 to 47 (start=1 end=2) written to " + scratch.file("one.hmp") +
                  "; merge the parts for the clip's HDR10 lines");
    const std::string firstThirty = measureIn(scratch, {{"input", "clip.ts"}, {"frames", "30"}}).summary;
    EXPECT_EQ(summaryValue(firstThirty, "lines describe").rfind("frames 0 to 29 only (frames=30)", 0), 0u) << firstThirty;
    EXPECT_NE(summaryValue(firstThirty, "x265"), "(no x265 line)");

    // The advice to measure a part again carries every measurement setting and writes a new part beside
    // the old one: followed as given, the merge goes through.
    const Settings settings = {{"threshold", "100"}, {"top1", "0.5"}, {"min_scene_length", "6"}};
    ASSERT_EQ(measureIn(scratch, with({{"input", "clip.mkv"}, {"end", "1.01"}, {"partial", "s1.hmp"}}, settings))
                  .report.ending, Ending::Complete);
    ASSERT_EQ(measureIn(scratch, with({{"input", "clip.mkv"}, {"start", "1.01"}, {"partial", "s2.hmp"}}, settings))
                  .report.ending, Ending::Complete);
    const std::string advice = refusal(scratch, {}, {"s1.hmp", "s2.hmp"}, false);
    const std::size_t from = advice.find("input=");
    ASSERT_NE(from, std::string::npos) << advice;
    const std::string command = advice.substr(from);
    EXPECT_EQ(command, "input=clip.mkv end=1.01 threshold=100 top1=0.5 min_scene_length=6 active_area=0,0,0,0 "
                       "partial=s1.again.hmp");
    Settings advised;
    for (const std::string& word : split(command, ' '))
        advised.emplace_back(word.substr(0, word.find('=')), word.substr(word.find('=') + 1));
    EXPECT_EQ(measureIn(scratch, advised).report.ending, Ending::Complete);
    EXPECT_EQ(refusal(scratch, {}, {"s1.again.hmp", "s2.hmp"}, false), "");
    EXPECT_GT(readWholeFile(scratch.file("s1.hmp")).size(), 0u);
    // The config's CM version is a form of output: the merge takes it as one run does.
    const Settings cm29 = {{"dovi_cm_version", "2.9"}};
    ASSERT_EQ(measureIn(scratch, with({{"input", "clip.mkv"}, {"dovi_config", "whole/d29.json"}}, cm29)).report.ending,
              Ending::Complete);
    ASSERT_EQ(mergeIn(scratch, with({{"dovi_config", "merged/d29.json"}}, cm29), measureSegments(scratch, "clip.mkv", bounds))
                  .report.ending, Ending::Complete);
    const std::string config29 = readWholeFile(scratch.file("whole/d29.json"));
    EXPECT_NE(config29.find("\"cm_version\": \"V29\""), std::string::npos) << config29;
    EXPECT_EQ(config29, readWholeFile(scratch.file("merged/d29.json")));

    // The parts of the last row: 0-1.01, 1.01-2, 2-2.9, 2.9-end.
    const auto part = [&](const std::string& name, const Settings& own) {
        ASSERT_EQ(measureIn(scratch, with(own, {{"partial", name}})).report.ending, Ending::Complete) << name;
    };
    part("a.hmp", {{"input", "clip.mkv"}, {"start", "0"}, {"end", "2"}});
    part("b.hmp", {{"input", "clip.mkv"}, {"start", "2"}, {"end", "2.9"}});
    part("c.hmp", {{"input", "clip.mkv"}, {"start", "2.9"}});
    part("overlap.hmp", {{"input", "clip.mkv"}, {"start", "1.01"}, {"end", "2.9"}});
    part("other-settings.hmp", {{"input", "clip.mkv"}, {"start", "2"}, {"end", "2.9"}, {"threshold", "100"}});
    part("other-file.hmp", {{"input", "other.mkv"}, {"end", "2"}});
    part("given0.hmp", {{"input", "clip.mkv"}, {"end", "2"}, {"active_area", "0,0,0,0"}});
    part("given4.hmp", {{"input", "clip.mkv"}, {"start", "2"}, {"end", "2.9"}, {"active_area", "4,4,4,4"}});
    ASSERT_EQ(runCommand(scratch, "head -c 3000 c.hmp >cut.hmp && cp c.hmp damaged.hmp && printf 'x' | dd of=damaged.hmp "
                                  "bs=1 seek=2000 conv=notrunc 2>/dev/null && sed 's/Lavf/Lavg/' clip.mkv >twin.mkv && "
                                  "cmp -s clip.mkv twin.mkv; [ $? = 1 ] && [ $(wc -c <clip.mkv) = $(wc -c <twin.mkv) ]")
                  .exitStatus, 0);
    part("twin.hmp", {{"input", "twin.mkv"}, {"start", "2"}, {"end", "2.9"}});
    EXPECT_EQ(refusal(scratch, {}, {"a.hmp", "b.hmp", "c.hmp"}), "");
    // A part given the area the others found is merged with them.
    EXPECT_EQ(refusal(scratch, {}, {"given0.hmp", "b.hmp", "c.hmp"}), "");
    const std::string folder = scratch.path.substr(scratch.path.rfind('/') + 1);
    std::ofstream(scratch.file("bounds.txt")) << bounds;
    const struct {
        Settings outputs;
        std::vector<std::string> parts;
        std::string line;
    } refused[] = {
        {{}, {"a.hmp", "b.hmp", "damaged.hmp"}, "damaged.hmp is damaged or cut short (its checksum does not match)"},
        {{}, {"a.hmp", "b.hmp", "cut.hmp"}, "cut.hmp is damaged or cut short"},
        {{}, {"a.hmp", "c.hmp"}, "the segment from 2 s to 2.9 s is missing, between a.hmp and c.hmp"},
        {{}, {"a.hmp", "b.hmp"}, "the last part, b.hmp, ends at 2.9 s and the input goes on"},
        {{}, {"b.hmp", "c.hmp"}, "the first part, b.hmp, starts at 2 s"},
        {{}, {"a.hmp", "overlap.hmp", "c.hmp"}, "a.hmp and overlap.hmp overlap"},
        {{}, {"a.hmp", "other-settings.hmp", "c.hmp"}, "other-settings.hmp was measured with threshold=100 and a.hmp with threshold=203"},
        {{}, {"other-file.hmp", "b.hmp", "c.hmp"}, "b.hmp is of another input than other-file.hmp"},
        {{}, {"a.hmp", "twin.hmp", "c.hmp"}, "twin.hmp is of another input than a.hmp"},  // of the same size and format
        {{}, {"a.hmp", "b.hmp", "bounds.txt"}, "bounds.txt is not a partial result of hdrmeter"},
        {{}, {"a.hmp", "b.hmp", "missing.hmp"}, "missing.hmp cannot be read"},
        {{}, {"a.hmp", "b.hmp", "."}, ". is a folder, not a partial result of hdrmeter"},
        {{}, {"given0.hmp", "given4.hmp", "c.hmp"},
         "given4.hmp was measured with active_area=4,4,4,4 and given0.hmp with active_area=0,0,0,0"},
        {{}, {"a.hmp", "given4.hmp", "c.hmp"}, "given4.hmp was measured inside the given area 4,4,4,4, other parts found the "
                                               "clip's area 0,0,0,0"},
        {{{"jsonl", "./clip.mkv"}}, {"a.hmp", "b.hmp", "c.hmp"}, "jsonl=./clip.mkv is clip.mkv, the file the parts were measured"},
        {{{"plot", "../" + folder + "/a.hmp"}}, {"a.hmp", "b.hmp", "c.hmp"}, "a.hmp is a.hmp, a part being merged"},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.line);
        const std::string why = refusal(scratch, with({{"csv", "out.csv"}}, c.outputs), c.parts);
        EXPECT_NE(why.find(c.line), std::string::npos) << why;
        EXPECT_EQ(why.find('\n'), std::string::npos) << why;
    }
    EXPECT_FALSE(std::ifstream(scratch.file("out.csv")).good());
    EXPECT_EQ(mergeIn(scratch, {}, {"a.hmp", "b.hmp", "c.hmp"}).report.ending, Ending::Complete);
    EXPECT_EQ(measureIn(scratch, {{"input", "clip.mkv"}, {"end", "0.1"}}).report.ending, Ending::Complete);
}
