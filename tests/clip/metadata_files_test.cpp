#include <algorithm>
#include <cctype>
#include <cmath>
#include <tuple>

#include <nlohmann/json.hpp>

#include "measure_support.h"

using hdrmeter::ChromaLayout;
using hdrmeter::clip::Ending;
using nlohmann::json;

namespace {

const std::string kFfmpeg = "ffmpeg -v error -nostdin -y ";

json readJson(const std::string& path) { return json::parse(readWholeFile(path)); }

std::vector<long long> firstFramesOf(const json& summary)
{
    std::vector<long long> firsts;
    for (const json& scene : summary.at("scenes"))
        firsts.push_back(scene.at("first_frame").get<long long>());
    return firsts;
}


long long tenths(double nits) { return std::min(100000LL, std::llround(nits * 10.0)); }

// A pasted line as its program reads it: each option (or each key of ffmpeg's -x265-params) with its
// value, quotes removed; a flag without a value maps to "".
std::map<std::string, std::string> optionsOf(const std::string& line)
{
    std::map<std::string, std::string> options;
    std::string name;
    for (std::string word : split(line, ' ')) {
        word.erase(std::remove(word.begin(), word.end(), '"'), word.end());
        if (word.rfind("--", 0) == 0 || word == "-x265-params") {
            name = word;
            options[name];
        } else {
            options[name] = word;
        }
    }
    if (options.count("-x265-params"))
        for (const std::string& pair : split(options["-x265-params"], ':')) {
            const std::size_t equals = pair.find('=');
            options["--" + pair.substr(0, equals)] = pair.substr(equals + 1);
        }
    return options;
}

std::vector<double> numbersOf(std::string text)
{
    for (char& c : text)
        if (!std::isdigit(static_cast<unsigned char>(c)) && c != '.')
            c = ' ';
    std::vector<double> numbers;
    std::istringstream stream(text);
    for (double value; stream >> value;)
        numbers.push_back(value);
    return numbers;
}


// An HEVC stream with the HDR10+ entries of `plus` (hdrmeter's own HDR10+ file) as SEI messages: a
// user data registered ITU-T T.35 SEI before each picture's first slice, frame f carrying entry f - shift
// (the first entry before that). The stream must be in presentation order (no B-frames).
std::string withHdr10Plus(const std::string& hevc, const json& plus, long long shift)
{
    const auto payloadOf = [](const json& luminance) {
        std::vector<bool> bits;
        const auto put = [&bits](std::uint32_t value, int count) {
            for (int bit = count - 1; bit >= 0; --bit)
                bits.push_back((value >> bit) & 1);
        };
        // Country, provider, provider's code, application 4 version 1, one window, no targeted display.
        put(0xB5, 8), put(0x003C, 16), put(0x0001, 16), put(4, 8), put(1, 8), put(1, 2), put(0, 27), put(0, 1);
        for (const json& value : luminance.at("MaxScl"))
            put(value.get<std::uint32_t>(), 17);
        put(luminance.at("AverageRGB").get<std::uint32_t>(), 17);
        const json& distribution = luminance.at("LuminanceDistributions");
        put(static_cast<std::uint32_t>(distribution.at("DistributionIndex").size()), 4);
        for (std::size_t i = 0; i < distribution.at("DistributionIndex").size(); ++i)
            put(distribution.at("DistributionIndex")[i].get<std::uint32_t>(), 7),
                put(distribution.at("DistributionValues")[i].get<std::uint32_t>(), 17);
        put(0, 10), put(0, 1), put(0, 1), put(0, 1);  // no bright pixels, actual peaks, tone mapping or saturation
        std::string body(1, '\x04');
        std::string payload((bits.size() + 7) / 8, '\0');
        for (std::size_t i = 0; i < bits.size(); ++i)
            payload[i / 8] = static_cast<char>(payload[i / 8] | (bits[i] << (7 - i % 8)));
        body += static_cast<char>(payload.size()) + payload + '\x80';
        std::string nal("\x00\x00\x00\x01\x4e\x01", 6);
        int zeros = 0;
        for (char c : body) {
            if (zeros >= 2 && static_cast<unsigned char>(c) <= 3)
                nal += '\x03', zeros = 0;
            nal += c;
            zeros = c == 0 ? zeros + 1 : 0;
        }
        return nal;
    };
    const json& entries = plus.at("SceneInfo");
    std::string out;
    long long frame = 0;
    for (std::size_t at = hevc.find(std::string("\0\0\1", 3)); at != std::string::npos;) {
        const std::size_t next = hevc.find(std::string("\0\0\1", 3), at + 3);
        const std::size_t begin = at > 0 && hevc[at - 1] == 0 ? at - 1 : at;
        const bool firstSlice = ((hevc[at + 3] >> 1) & 0x3f) < 32 && (hevc[at + 5] & 0x80);
        if (firstSlice)
            out += payloadOf(entries.at(static_cast<std::size_t>(std::max(0LL, frame++ - shift))).at("LuminanceParameters"));
        out += hevc.substr(begin, (next == std::string::npos ? hevc.size() : next - (hevc[next - 1] == 0)) - begin);
        at = next;
    }
    return out;
}
}  // namespace

// A letterboxed clip that fades in from black, whose picture is narrower for its first 8 frames: the
// picture widens at frame 8, and the area once three frames hold it, at frame 10, so frames 0-9 are
// measured again. Found automatically from the file or from a
// pipe, or given, the area must give the same bytes in every output; and the bars must not count.
TEST(Metadata, AutomaticAreaGivesTheOutputsOfTheExplicitOneFromAFileAndFromAPipe)
{
    ScratchDirectory scratch;
    const std::string setup =
        kFfmpeg + "-f lavfi -i testsrc2=size=48x36:rate=25 -f lavfi -i testsrc2=size=64x36:rate=25 "
        "-filter_complex \"[0]trim=end_frame=8,pad=64:48:8:6:black[a];[1]trim=start_frame=8:end_frame=40,setpts=PTS-STARTPTS,pad=64:48:0:6:"
        "black[b];[a][b]concat,fade=in:0:10,format=yuv420p10le,setparams=color_trc=smpte2084\" -c:v ffv1 lb.mkv && " +
        kFfmpeg + "-i lb.mkv -vf crop=64:36:0:6,setparams=color_trc=smpte2084 -c:v ffv1 bare.mkv";
    ASSERT_EQ(runCommand(scratch, setup).exitStatus, 0) << readWholeFile(scratch.file("stderr.txt"));
    const std::string outputs[] = {".csv", ".json", ".hdr10plus.json", ".dovi.json", ".madvr.bin"};
    const auto run = [&](const std::string& o, Settings settings) {
        settings.insert(settings.end(), {{"csv", o + ".csv"}, {"summary_json", o + ".json"},
                                         {"hdr10plus", o + ".hdr10plus.json"}, {"dovi_config", o + ".dovi.json"},
                                         {"madvr", o + ".madvr.bin"}, {"mastering_display", "1000,0.005"}});
        return measureIn(scratch, settings);
    };
    const Measured automatic = run("auto", {{"input", "lb.mkv"}});
    Measured piped;
    {
        const StandardInputFrom file(scratch.file("lb.mkv"));
        piped = run("pipe", {{"input", "-"}});
    }
    ASSERT_EQ(automatic.report.ending, Ending::Complete) << automatic.report.failure;
    ASSERT_EQ(piped.report.ending, Ending::Complete) << piped.report.failure;
    ASSERT_EQ(run("given", {{"active_area", "0,6,0,6"}, {"input", "lb.mkv"}}).report.ending, Ending::Complete);
    EXPECT_EQ(summaryValue(automatic.summary, "active area"), "64x36 at 0,6: 6 rows left out at the top, 6 at the bottom");
    EXPECT_EQ(summaryValue(automatic.summary, "second pass").rfind("frames 0 to 9 measured again", 0), 0u) << automatic.summary;
    // The picture widens at frame 8; frame 0 is black, and the fade reaches the dark bottom rows at frame 3.
    EXPECT_EQ(summaryValue(automatic.summary, "area set by"), "frame 8 (left), 1 (top), 8 (right), 3 (bottom)");
    EXPECT_EQ(summaryValue(piped.summary, "area set by"), summaryValue(automatic.summary, "area set by"));
    EXPECT_TRUE(piped.warned("temporary file in $TMPDIR"));
    for (const std::string& output : outputs) {
        SCOPED_TRACE(output);
        const std::string given = readWholeFile(scratch.file("given" + output));
        EXPECT_GT(given.size(), 100u);
        EXPECT_EQ(readWholeFile(scratch.file("auto" + output)), given);
        EXPECT_EQ(readWholeFile(scratch.file("pipe" + output)), given);
    }
    ASSERT_EQ(run("bare", {{"input", "bare.mkv"}}).report.ending, Ending::Complete);
    const json withBars = readJson(scratch.file("auto.json")), bare = readJson(scratch.file("bare.json"));
    EXPECT_EQ(withBars.at("max_fall_nits"), bare.at("max_fall_nits"));
    EXPECT_EQ(withBars.at("max_cll_nits"), bare.at("max_cll_nits"));
    EXPECT_EQ(bare.at("active_area"), json({{"left", 0}, {"top", 0}, {"right", 0}, {"bottom", 0}, {"width", 64}, {"height", 36}}));
    EXPECT_EQ(readJson(scratch.file("auto.dovi.json")).at("level5"),
              json({{"active_area_left_offset", 0}, {"active_area_right_offset", 0}, {"active_area_top_offset", 6},
                    {"active_area_bottom_offset", 6}}));
}

// Letterboxed and pillarboxed pictures, with edges off the coders' block grid, fading in from black and
// encoded lossily at two qualities by x265 and SVT-AV1: the automatic area is the true bars, where the
// rule of black samples alone (bars_tolerance 0) keeps the ringing beside them.
TEST(Metadata, TheAutomaticAreaOfLossyEncodesIsTheirBars)
{
    ScratchDirectory scratch;
    const char* const encoders[] = {"-c:v libx265 -x265-params crf=18:log-level=error",
                                    "-c:v libx265 -x265-params crf=28:log-level=error",
                                    "-c:v libsvtav1 -preset 10 -crf 20", "-c:v libsvtav1 -preset 10 -crf 28"};
    // The picture's size and place in a 256x144 frame, and the area's offsets (left, top, right, bottom).
    const struct { const char* picture; const char* pad; json area; } boxes[] = {
        {"256x100", "0:22", {{"left", 0}, {"top", 22}, {"right", 0}, {"bottom", 22}, {"width", 256}, {"height", 100}}},
        {"184x144", "36:0", {{"left", 36}, {"top", 0}, {"right", 36}, {"bottom", 0}, {"width", 184}, {"height", 144}}},
    };
    int ringing = 0;  // cases where black alone would take ringing for picture
    for (const char* encoder : encoders) {
        for (const auto& box : boxes) {
            SCOPED_TRACE(std::string(encoder) + ", " + box.picture);
            const ProgramRun encode = runCommand(scratch, kFfmpeg + "-f lavfi -i testsrc2=size=" + box.picture + ":rate=25 "
                                                         "-frames:v 20 -vf pad=256:144:" + box.pad + ":black,fade=in:0:10,"
                                                         "format=yuv420p10le,setparams=color_trc=smpte2084:color_primaries=bt2020:"
                                                         "colorspace=bt2020nc " + encoder + " -f matroska e.mkv");
            ASSERT_EQ(encode.exitStatus, 0) << encode.err;
            const Measured automatic = measureIn(scratch, {{"summary_json", "auto.json"}, {"input", "e.mkv"}}),
                           strict = measureIn(scratch, {{"bars_tolerance", "0"}, {"summary_json", "strict.json"},
                                                        {"input", "e.mkv"}});
            ASSERT_EQ(automatic.report.ending, Ending::Complete) << automatic.report.failure;
            ASSERT_EQ(strict.report.ending, Ending::Complete) << strict.report.failure;
            EXPECT_EQ(readJson(scratch.file("auto.json")).at("active_area"), box.area);
            ringing += readJson(scratch.file("strict.json")).at("active_area") != box.area;
        }
    }
    // Where the ringing lasts a frame or two, the steady area alone leaves it out even with black lines only.
    EXPECT_GE(ringing, 6) << "too little ringing to tell apart";
}

// Three shots framed apart, losslessly coded: letterboxed, full, pillarboxed. The clip is measured whole;
// each shot keeps its own area in the summaries and, where it differs, a Level 5 of its own.
TEST(Metadata, ShotsThatChangeTheirAspectRatioKeepTheirOwnAreas)
{
    ScratchDirectory scratch;
    ASSERT_EQ(runCommand(scratch, kFfmpeg + "-f lavfi -i testsrc2=size=64x36:rate=25 -f lavfi -i smptebars=size=64x48:rate=25 "
                                          "-f lavfi -i yuvtestsrc=size=48x48:rate=25 -filter_complex \"[0]trim=end_frame=16,"
                                          "pad=64:48:0:6:black[a];[1]trim=end_frame=16,setpts=PTS-STARTPTS[b];[2]trim="
                                          "end_frame=16,setpts=PTS-STARTPTS,pad=64:48:8:0:black[c];[a][b][c]concat=n=3,"
                                          "format=yuv420p10le,setparams=color_trc=smpte2084\" -c:v ffv1 shots.mkv").exitStatus, 0)
        << readWholeFile(scratch.file("stderr.txt"));
    const Measured run = measureIn(scratch, {{"summary_json", "s.json"}, {"dovi_config", "d.json"}, {"input", "shots.mkv"}});
    ASSERT_EQ(run.report.ending, Ending::Complete) << run.report.failure;
    const json summary = readJson(scratch.file("s.json")), dovi = readJson(scratch.file("d.json"));
    const auto area = [](int left, int top, int right, int bottom) {
        return json({{"left", left}, {"top", top}, {"right", right}, {"bottom", bottom}, {"width", 64 - left - right},
                     {"height", 48 - top - bottom}});
    };
    EXPECT_EQ(summary.at("active_area"), area(0, 0, 0, 0));
    EXPECT_EQ(firstFramesOf(summary), std::vector<long long>({0, 16, 32}));
    EXPECT_EQ(summary.at("scene_active_areas"), json({area(0, 6, 0, 6), area(0, 0, 0, 0), area(8, 0, 8, 0)}));
    EXPECT_EQ(summaryValue(run.summary, "scenes framed apart"), "scene 0 (frame 0) 64x36 at 0,6; scene 2 (frame 32) 48x48 at 8,0");
    const auto level5 = [](int left, int top, int right, int bottom) {
        return json({{"Level5", {{"active_area_left_offset", left}, {"active_area_right_offset", right},
                                 {"active_area_top_offset", top}, {"active_area_bottom_offset", bottom}}}});
    };
    EXPECT_EQ(dovi.at("level5"), level5(0, 0, 0, 0)["Level5"]);
    ASSERT_EQ(dovi.at("shots").size(), 3u);
    const json blocks[] = {dovi["shots"][0]["metadata_blocks"], dovi["shots"][1]["metadata_blocks"], dovi["shots"][2]["metadata_blocks"]};
    ASSERT_EQ(blocks[0].size(), 2u);
    EXPECT_EQ(blocks[0][1], level5(0, 6, 0, 6));
    EXPECT_EQ(blocks[1].size(), 1u) << "a shot framed as the clip carries no Level 5";
    ASSERT_EQ(blocks[2].size(), 2u);
    EXPECT_EQ(blocks[2][1], level5(8, 0, 8, 0));
}

// The automatic area is what frames hold steadily: a line joins the picture when three frames with
// content in a row reach it, so the ringing a lossy coder leaves in a frame or two beside the picture
// neither widens the clip's area nor gives a shot a Level 5 of its own, while a shot of three frames
// framed apart widens it. Segments merge into the single run's files, and a segment alone names the area
// its own frames give.
TEST(Metadata, TheAutomaticAreaIsWhatFramesHoldSteadily)
{
    ScratchDirectory scratch;
    const std::string outputs[] = {"c.csv", "s.json", "h.json", "d.json", "m.bin"};
    const auto outputsIn = [](const std::string& folder) {
        return Settings{{"csv", folder + "/c.csv"}, {"summary_json", folder + "/s.json"}, {"hdr10plus", folder + "/h.json"},
                        {"dovi_config", folder + "/d.json"}, {"madvr", folder + "/m.bin"}};
    };
    // Losslessly coded 64x48: a 64x36 letterbox with `full` frames of smptebars, full frame, after frame 15.
    const auto shots = [](int full) {
        return kFfmpeg + "-f lavfi -i testsrc2=size=64x36:rate=25 -f lavfi -i smptebars=size=64x48:rate=25 -filter_complex "
               "\"[0]split[x][y];[x]trim=end_frame=16,pad=64:48:0:6:black[a];[1]trim=end_frame=" + std::to_string(full) +
               ",setpts=PTS-STARTPTS[b];[y]trim=start_frame=16:end_frame=32,setpts=PTS-STARTPTS,pad=64:48:0:6:black[c];"
               "[a][b][c]concat=n=3,format=yuv420p10le,setparams=color_trc=smpte2084\" -c:v ffv1 clip.mkv";
    };
    const json letterbox = {{"left", 0}, {"top", 6}, {"right", 0}, {"bottom", 6}, {"width", 64}, {"height", 36}};
    const json full = {{"left", 0}, {"top", 0}, {"right", 0}, {"bottom", 0}, {"width", 64}, {"height", 48}};
    struct Row {
        const char* name;
        std::string make;    // writes clip.mkv
        Settings settings;
        json area;
        std::vector<json> sceneAreas;
        const char* setBy;
        std::vector<std::pair<std::string, std::string>> segments;  // start and end, the last end past the clip
        json segmentArea;      // the area of the second segment alone
    } const rows[] = {
        // x265's ultrafast preset with its default group of pictures, a 1920x800 picture in 1920x1080, three
        // shots; frame 47, the last of the second, carries 4 bright rows below the picture as one frame of
        // ringing does (luma above 400), too bright for the faint-line rule.
        {"x265 ultrafast, a frame of ringing below a letterbox",
         kFfmpeg + "-f lavfi -i \"testsrc2=size=1920x800:rate=24,trim=end_frame=24[a];smptehdbars=size=1920x800:rate=24,"
                   "trim=end_frame=24[b];testsrc=size=1920x800:rate=24,trim=end_frame=12[c];[a][b][c]concat=n=3,"
                   "pad=1920:1080:0:140:black,drawbox=y=940:w=1920:h=4:color=0x5d5d5d:t=fill:enable='eq(n\\,47)',"
                   "format=yuv420p10le\" -c:v libx265 -preset ultrafast -x265-params "
                   "log-level=error:colorprim=bt2020:transfer=smpte2084:colormatrix=bt2020nc clip.mkv",
         {}, json({{"left", 0}, {"top", 140}, {"right", 0}, {"bottom", 140}, {"width", 1920}, {"height", 800}}), {},
         "frame 0 (left), 0 (top), 0 (right), 0 (bottom)", {{"0", "1.95"}, {"1.95", "1.99"}, {"1.99", "1000"}},
         json({{"left", 0}, {"top", 140}, {"right", 0}, {"bottom", 136}, {"width", 1920}, {"height", 804}})},
        {"a shot of three frames framed apart", shots(3), {{"min_scene_length", "3"}}, full, {letterbox, full, letterbox},
         "frame 0 (left), 16 (top), 0 (right), 16 (bottom)", {{"0", "0.68"}, {"0.68", "1000"}}, letterbox},
        {"two frames framed apart, as ringing", shots(2), {{"min_scene_length", "2"}}, letterbox,
         {letterbox, letterbox, letterbox}, "frame 0 (left), 0 (top), 0 (right), 0 (bottom)",
         {{"0", "0.64"}, {"0.64", "0.72"}, {"0.72", "1000"}}, full},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_EQ(runCommand(scratch, "rm -rf whole merged part*.hmp && mkdir whole merged && " + row.make).exitStatus, 0)
            << readWholeFile(scratch.file("stderr.txt"));
        Settings settings = row.settings;
        settings.insert(settings.end(), {{"mastering_display", "1000,0.005"}, {"input", "clip.mkv"}});
        Settings wholeSettings = settings;
        for (const auto& output : outputsIn("whole"))
            wholeSettings.push_back(output);
        const Measured whole = measureIn(scratch, wholeSettings);
        ASSERT_EQ(whole.report.ending, Ending::Complete) << whole.report.failure;
        const json summary = readJson(scratch.file("whole/s.json")), dovi = readJson(scratch.file("whole/d.json"));
        EXPECT_EQ(summary.at("active_area"), row.area);
        EXPECT_EQ(summaryValue(whole.summary, "area set by"), row.setBy);
        std::vector<json> sceneAreas = row.sceneAreas;
        if (sceneAreas.empty())
            sceneAreas.assign(summary.at("scenes").size(), row.area);
        EXPECT_EQ(summary.at("scene_active_areas"), json(sceneAreas));
        ASSERT_EQ(dovi.at("shots").size(), sceneAreas.size());
        for (std::size_t shot = 0; shot < sceneAreas.size(); ++shot)
            EXPECT_EQ(dovi["shots"][shot]["metadata_blocks"].size(), sceneAreas[shot] == row.area ? 1u : 2u) << shot;

        std::vector<std::string> parts;
        for (const auto& [start, end] : row.segments) {
            const std::string n = std::to_string(parts.size() + 1);
            Settings part = settings;
            part.insert(part.end(), {{"start", start}, {"end", end}, {"partial", "part" + n + ".hmp"},
                                     {"summary_json", "part" + n + ".json"}});
            ASSERT_EQ(measureIn(scratch, part).report.ending, Ending::Complete) << n;
            parts.push_back("part" + n + ".hmp");
        }
        const Measured merged = mergeIn(scratch, outputsIn("merged"), parts);
        ASSERT_EQ(merged.report.ending, Ending::Complete) << merged.report.failure;
        EXPECT_EQ(readJson(scratch.file("part2.json")).at("active_area"), row.segmentArea);
        for (const std::string& output : outputs)
            EXPECT_TRUE(readWholeFile(scratch.file("whole/" + output)) == readWholeFile(scratch.file("merged/" + output)))
                << output;
    }
}

// Three sources of 20 frames each, raw so that the test can measure the very frames: the cuts must be
// found at frames 20 and 40 exactly, and every export must follow its rules and agree with the analyzer's
// statistics of each scene, merged here, for PQ and for HLG (taken to PQ on a 1000-nit display). The madVR
// file's histograms are checked bin by bin against the analyzer's light histogram of each frame.
TEST(Metadata, ExportsOfThreeScenesFollowTheirRulesAndTheAnalyzersStatistics)
{
    ScratchDirectory scratch;
    std::string setup = ": >clip.raw";
    for (const char* source : {"testsrc2", "smptebars", "mandelbrot"})
        setup += " && " + kFfmpeg + "-f lavfi -i " + source + "=size=64x36:rate=25 -frames:v 20 -pix_fmt yuv420p10le "
                 "-f rawvideo - >>clip.raw";
    ASSERT_EQ(runCommand(scratch, setup).exitStatus, 0) << readWholeFile(scratch.file("stderr.txt"));
    const std::string raw = readWholeFile(scratch.file("clip.raw"));
    const long long frameCount = 60, sceneLength = 20;

    for (const hdrmeter::Transfer transfer : {hdrmeter::Transfer::Pq, hdrmeter::Transfer::Hlg}) {
        const std::string name = transfer == hdrmeter::Transfer::Pq ? "pq" : "hlg";
        SCOPED_TRACE(name);
        const std::string s = scratch.file(name);
        const Measured run = measureIn(scratch, {{"size", "64x36"}, {"pix_fmt", "yuv420p10le"}, {"transfer", name},
                                                 {"jsonl", name + ".jsonl"}, {"summary_json", name + ".json"},
                                                 {"hdr10plus", name + ".hdr10plus.json"}, {"dovi_config", name + ".dovi.json"},
                                                 {"madvr", name + ".bin"}, {"input", "clip.raw"}});
        ASSERT_EQ(run.report.ending, Ending::Complete) << run.report.failure;
        const json summary = readJson(s + ".json"), plus = readJson(s + ".hdr10plus.json"), dovi = readJson(s + ".dovi.json");
        EXPECT_EQ(summary.at("format_version"), 2);
        EXPECT_EQ(firstFramesOf(summary), std::vector<long long>({0, 20, 40}));
        EXPECT_EQ(summary.at("transfer"), name);
        EXPECT_EQ(summaryValue(run.summary, "scenes").rfind("3 (", 0), 0u);
        EXPECT_NE(run.summary.find(" --max-content-light 0:" + summary.at("max_cll").dump() + " --max-frame-light 0:" +
                               summary.at("max_fall").dump() + "\n"),
                  std::string::npos) << run.summary;

        const std::vector<std::string> lines = split(readWholeFile(s + ".jsonl"));
        ASSERT_EQ(lines.size(), std::size_t(frameCount));
        EXPECT_EQ(plus.at("SceneInfoSummary"),
                  json({{"SceneFirstFrameIndex", {0, 20, 40}}, {"SceneFrameNumbers", {20, 20, 20}}}));
        ASSERT_EQ(plus.at("SceneInfo").size(), std::size_t(frameCount));
        EXPECT_EQ(dovi.at("length"), frameCount);
        EXPECT_EQ(dovi.at("level6"), json({{"max_display_mastering_luminance", 1000},
                                           {"min_display_mastering_luminance", 1},
                                           {"max_content_light_level", summary.at("max_cll")},
                                           {"max_frame_average_light_level", summary.at("max_fall")}}));
        ASSERT_EQ(dovi.at("shots").size(), 3u);
        const MadvrFile madvr = readMadvr(readWholeFile(s + ".bin"));
        ASSERT_TRUE(madvr.sizeFits);
        ASSERT_EQ(madvr.frames.size(), std::size_t(frameCount));
        EXPECT_EQ(std::make_tuple(madvr.magic, madvr.version, madvr.headerSize, madvr.sceneCount, madvr.frameCount, madvr.flags),
                  std::make_tuple(std::string("mvr+"), 5u, 32u, 3u, 60u, 2u));
        EXPECT_EQ(madvr.maxCll, summary.at("max_cll").get<std::uint32_t>());
        EXPECT_EQ(madvr.maxFall, summary.at("max_fall").get<std::uint32_t>());
        EXPECT_EQ(madvr.sceneFirsts, std::vector<std::uint32_t>({0, 20, 40}));
        EXPECT_EQ(madvr.sceneEnds, std::vector<std::uint32_t>({20, 40, 60}));
        double fallSum = 0.0;
        const double darkTop = hdrmeter::pqSignalOfNits(100.0);

        hdrmeter::AnalysisSettings settings;
        settings.transfer = transfer;
        const hdrmeter::Analyzer analyzer(settings);
        double maxCll = 0.0, maxFall = 0.0;
        std::vector<std::tuple<double, double, long long>> sceneLights;
        for (long long scene = 0; scene < 3; ++scene) {
            hdrmeter::FrameStatistics merged;
            double averageLightSum = 0.0, meanPqSum = 0.0, scenePeak = 0.0, sceneFall = 0.0;
            for (long long frame = scene * sceneLength; frame < (scene + 1) * sceneLength; ++frame) {
                const hdrmeter::FrameStatistics statistics =
                    analyzer.analyze(rawFrameView(raw, frame, 64, 36, ChromaLayout::Yuv420, 10));
                merged.merge(statistics);
                maxCll = std::max(maxCll, statistics.largestLightNits());
                maxFall = std::max(maxFall, statistics.averageLightNits());
                averageLightSum += statistics.averageLightNits();
                meanPqSum += statistics.meanPqLight();
                scenePeak = std::max(scenePeak, statistics.largestLightNits());
                sceneFall = std::max(sceneFall, statistics.averageLightNits());
                fallSum += statistics.averageLightNits();
                // Each bin is its share of the pixels x 64000 rounded down or up, the bins adding up to 64000.
                const std::vector<std::uint16_t>& record = madvr.frames[frame];
                EXPECT_EQ(record[0], std::llround(statistics.largestPqLight() * 64000)) << frame;
                std::vector<std::uint64_t> counts(256);
                const std::vector<std::uint64_t>& lights = statistics.lightHistogram();
                for (std::size_t code = 0; code < lights.size(); ++code) {
                    const double signal = hdrmeter::pqSignalOfNits(statistics.codeNits(int(code)));
                    counts[signal < darkTop ? int(signal / darkTop * 64)
                                            : std::min(255, 64 + int((signal - darkTop) / (1 - darkTop) * 192))] += lights[code];
                }
                const std::uint64_t pixels = statistics.pixelCount();
                long long binSum = 0, hueSum = 0;
                for (int bin = 0; bin < 256; ++bin) {
                    binSum += record[1 + bin];
                    EXPECT_TRUE(record[1 + bin] == counts[bin] * 64000 / pixels ||
                                record[1 + bin] == (counts[bin] * 64000 + pixels - 1) / pixels) << frame << " bin " << bin;
                }
                for (int hue = 257; hue < 288; ++hue)
                    hueSum += record[hue];
                EXPECT_EQ(std::make_pair(binSum, hueSum), std::make_pair(64000LL, 0LL)) << frame;
                const json line = json::parse(lines[frame]);
                EXPECT_EQ(line.at("scene"), scene);
                EXPECT_EQ(line.at("average_light_nits").get<double>(), statistics.averageLightNits());
            }
            const json expectedLuminance = {
                {"AverageRGB", tenths(averageLightSum / sceneLength)},
                {"LuminanceDistributions",
                 {{"DistributionIndex", {1, 5, 10, 25, 50, 75, 90, 95, 99}},
                  {"DistributionValues",
                   {tenths(merged.lightAtPercentile(1)), tenths(merged.lightAtPercentile(99.99)),
                    std::llround(merged.percentAtOrBelow(100)), tenths(merged.lightAtPercentile(25)),
                    tenths(merged.lightAtPercentile(50)), tenths(merged.lightAtPercentile(75)),
                    tenths(merged.lightAtPercentile(90)), tenths(merged.lightAtPercentile(95)),
                    tenths(merged.lightAtPercentile(99.98))}}}},
                {"MaxScl", {tenths(merged.largestRedNits()), tenths(merged.largestGreenNits()), tenths(merged.largestBlueNits())}}};
            for (long long i = 0; i < sceneLength; ++i) {
                const json& entry = plus.at("SceneInfo").at(scene * sceneLength + i);
                EXPECT_EQ(entry, json({{"LuminanceParameters", expectedLuminance}, {"NumberOfWindows", 1},
                                       {"TargetedSystemDisplayMaximumLuminance", 0}, {"SceneFrameIndex", i},
                                       {"SceneId", scene}, {"SequenceFrameIndex", scene * sceneLength + i}}));
            }
            EXPECT_EQ(madvr.scenePeaks.at(scene), std::llround(scenePeak));
            sceneLights.emplace_back(-scenePeak, -sceneFall, scene);
            // Raw input states no frame rate, so no timecode; the mean adds the frames in order, as here.
            EXPECT_EQ(summary.at("scenes").at(scene),
                      json({{"first_frame", scene * sceneLength}, {"timecode", nullptr}, {"frames", sceneLength},
                            {"max_cll_nits", scenePeak}, {"max_fall_nits", sceneFall},
                            {"max_cll", std::llround(scenePeak)}, {"max_fall", std::llround(sceneFall)},
                            {"average_light_nits", averageLightSum / sceneLength}}));
            const auto pq12 = [](double signal) { return std::llround(signal * 4095.0); };
            EXPECT_EQ(dovi.at("shots").at(scene),
                      json({{"start", scene * sceneLength}, {"duration", sceneLength},
                            {"metadata_blocks", {{{"Level1", {{"min_pq", pq12(merged.smallestPqLight())},
                                                              {"max_pq", pq12(merged.largestPqLight())},
                                                              {"avg_pq", pq12(meanPqSum / sceneLength)}}}}}}}));
        }
        EXPECT_EQ(summary.at("max_cll_nits").get<double>(), maxCll);
        EXPECT_EQ(summary.at("max_fall_nits").get<double>(), maxFall);
        EXPECT_EQ(summary.at("max_cll").get<long long>(), std::llround(maxCll));
        EXPECT_EQ(madvr.averageFall, std::llround(fallSum / frameCount));
        std::sort(sceneLights.begin(), sceneLights.end());
        std::vector<long long> brightestFirst;
        for (const auto& light : sceneLights)
            brightestFirst.push_back(std::get<2>(light));
        EXPECT_EQ(brightestSceneRows(run.summary), brightestFirst) << run.summary;
    }
}

// mkvmerge numbers a file's tracks in the container's order: with audio first, the light levels belong
// to track 1, whether the video stream is found or named.
TEST(Metadata, TheMkvmergeLineNamesTheMeasuredTrack)
{
    ScratchDirectory scratch;
    ASSERT_EQ(runCommand(scratch, kFfmpeg + "-f lavfi -i sine=duration=0.2 -f lavfi -i testsrc2=size=64x36:rate=25:duration=0.12 "
                                          "-frames:v 3 -map 0:a -map 1:v -c:a pcm_s16le -c:v libx265 -x265-params "
                                          "log-level=error -pix_fmt yuv420p10le -vf setparams=color_trc=smpte2084 f.mkv")
                  .exitStatus, 0);
    for (const Settings& stream : {Settings{}, Settings{{"stream", "1"}}}) {
        Settings settings = stream;
        settings.emplace_back("input", "f.mkv");
        const Measured run = measureIn(scratch, settings);
        ASSERT_EQ(run.report.ending, Ending::Complete) << run.report.failure;
        const std::string line = summaryValue(run.summary, "mkvmerge");
        const std::map<std::string, std::string> options = optionsOf(line);
        EXPECT_EQ(options.size(), 10u) << line;
        for (const auto& [option, value] : options)
            EXPECT_EQ(value.rfind("1:", 0), 0u) << option << " " << value;
    }
}

// The mastering display reaches every writer as stated, given or assumed: the x265, ffmpeg and mkvmerge
// lines read back into their values, the Dolby Vision source levels (the codes a generator's table would
// get wrong for 600 nits) and Level 9; HLG input is profile 8.4. Then the x265 line drives an encode
// and the mkvmerge line a mux, read back by ffprobe and mkvmerge themselves.
TEST(Metadata, TheMasteringDisplayReachesTheLinesAndTheDolbyVisionConfig)
{
    ScratchDirectory scratch;
    const std::string source = kFfmpeg + "-f lavfi -i testsrc2=size=128x72:rate=25 -frames:v 3 -pix_fmt yuv420p10le ";
    ASSERT_EQ(runCommand(scratch, source + "-c:v libx265 -x265-params log-level=error:master-display='G(8500,39850)B(6550,2300)"
                                         "R(35400,14600)WP(15635,16450)L(10000000,1)' -vf setparams=color_trc=smpte2084 sei.mkv && " +
                                    source + "-c:v ffv1 -vf setparams=color_trc=smpte2084:color_primaries=bt2020 pq.mkv && " +
                                    source + "-c:v ffv1 -vf setparams=color_trc=arib-std-b67 hlg.mkv")
                  .exitStatus, 0) << readWholeFile(scratch.file("stderr.txt"));
    const std::array<double, 8> p3 = {0.68, 0.32, 0.265, 0.69, 0.15, 0.06, 0.3127, 0.329};
    const std::array<double, 8> bt2020 = {0.708, 0.292, 0.17, 0.797, 0.131, 0.046, 0.3127, 0.329};
    const std::array<double, 8> odd = {0.7, 0.3, 0.2, 0.75, 0.14, 0.05, 0.32, 0.34};
    struct Case {
        const char* display;  // the mastering display given; "" for none
        const char* input;
        std::array<double, 8> primaries;  // red, green, blue, white x, y
        double maxNits, minNits;
        long long sourceMinPq, sourceMaxPq;
        json level9;
        const char* profile;
        const char* transfer;
        int transferCode;
        const char* shownOrigin;  // the summary's words for the display's origin; "" when it prints none
    } const cases[] = {
        {"", "sei.mkv", bt2020, 1000, 0.0001, 7, 3079, {{"length", 1}, {"source_primary_index", 2}}, "8.1", "smpte2084", 16, ""},
        {"p3-d65,600,0.005", "pq.mkv", p3, 600, 0.005, 62, 2851,
         {{"length", 1}, {"source_primary_index", 0}}, "8.1", "smpte2084", 16, "(from mastering_display)"},
        {"600,0.005", "pq.mkv", bt2020, 600, 0.005, 62, 2851, {{"length", 1}, {"source_primary_index", 2}},
         "8.1", "smpte2084", 16, "(primaries from the stream's primaries tag, luminance from mastering_display)"},
        {"0.7,0.3,0.2,0.75,0.14,0.05,0.32,0.34,4000,0.005", "pq.mkv", odd, 4000, 0.005, 62, 3696,
         {{"length", 17}, {"source_primary_index", 255}, {"source_primary_red_x", 22937}, {"source_primary_red_y", 9830},
          {"source_primary_green_x", 6553}, {"source_primary_green_y", 24575}, {"source_primary_blue_x", 4587},
          {"source_primary_blue_y", 1638}, {"source_primary_white_x", 10485}, {"source_primary_white_y", 11141}},
         "8.1", "smpte2084", 16, "(from mastering_display)"},
        {"", "hlg.mkv", bt2020, 1000, 0.0001, 62, 3079, {{"length", 1}, {"source_primary_index", 2}}, "8.4", "arib-std-b67", 18,
         "(assumed); the stream states none: give mastering_display"},
    };
    const auto units = [](double value, double step) { return std::to_string(std::llround(value / step)); };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.display) + " " + c.input);
        Settings settings = {{"dovi_config", "d.json"}, {"hdr10plus", "p.json"}, {"input", c.input}};
        if (*c.display)
            settings.emplace_back("mastering_display", c.display);
        const Measured run = measureIn(scratch, settings);
        ASSERT_EQ(run.report.ending, Ending::Complete) << run.report.failure;
        const std::string shown = summaryValue(run.summary, "display in the lines");
        EXPECT_EQ(*c.shownOrigin ? shown.substr(shown.find(" nits ") + 6) : shown, *c.shownOrigin ? c.shownOrigin
                                                                                                    : "(no display in the lines line)");
        EXPECT_EQ(run.warned("HDR10+ describes PQ streams"), std::string(c.profile) == "8.4");

        const std::string maxCll = split(summaryValue(run.summary, "MaxCLL"), ' ')[0];
        const std::string maxFall = split(summaryValue(run.summary, "MaxFALL"), ' ')[0];
        const std::map<std::string, std::string> x265 = optionsOf(summaryValue(run.summary, "x265"));
        const std::array<double, 8>& d = c.primaries;
        const std::string point = "(" + units(d[2], 0.00002) + "," + units(d[3], 0.00002) + ")B(" + units(d[4], 0.00002) + "," +
                                  units(d[5], 0.00002) + ")R(" + units(d[0], 0.00002) + "," + units(d[1], 0.00002) + ")WP(" +
                                  units(d[6], 0.00002) + "," + units(d[7], 0.00002) + ")L(" + units(c.maxNits, 0.0001) +
                                  "," + units(c.minNits, 0.0001) + ")";
        const std::map<std::string, std::string> expectedX265 = {
            {"--colorprim", "bt2020"}, {"--transfer", c.transfer}, {"--colormatrix", "bt2020nc"}, {"--range", "limited"},
            {"--master-display", "G" + point}, {"--max-cll", maxCll + "," + maxFall}, {"--hdr10", ""}, {"--repeat-headers", ""},
            {"--output-depth", "10"}};
        // HDR10 is PQ: HLG's lines are for an HLG encode, and say what HDR10 would need.
        const bool hlg = std::string(c.transfer) == "arib-std-b67";
        std::map<std::string, std::string> expected = expectedX265;
        if (hlg)
            expected.erase("--hdr10");
        EXPECT_EQ(x265, expected);
        EXPECT_EQ(summaryValue(run.summary, "HDR10 version").find("converted to PQ") != std::string::npos, hlg);
        const std::string check = summaryValue(run.summary, "check the lines");
        EXPECT_EQ(check.find("MaxCLL " + maxCll + " nits is above the mastering display's maximum") == 0,
                  std::stod(maxCll) > c.maxNits) << check;
        std::map<std::string, std::string> ffmpeg = optionsOf(summaryValue(run.summary, "ffmpeg"));
        ffmpeg.erase("-x265-params");
        for (const auto& [option, value] : x265) {
            if (option == "--output-depth")
                continue;  // the pixel format sets it through ffmpeg
            EXPECT_EQ(ffmpeg[option], value.empty() ? "1" : value) << option;
        }
        EXPECT_EQ(ffmpeg.size(), x265.size() - 1);

        const std::map<std::string, std::string> mkvmerge = optionsOf(summaryValue(run.summary, "mkvmerge"));
        const std::map<std::string, std::vector<double>> expectedMkvmerge = {
            {"--colour-matrix", {0, 9}}, {"--colour-range", {0, 1}},
            {"--colour-transfer-characteristics", {0, static_cast<double>(c.transferCode)}},
            {"--colour-primaries", {0, 9}}, {"--chromaticity-coordinates", {0, d[0], d[1], d[2], d[3], d[4], d[5]}},
            {"--white-colour-coordinates", {0, d[6], d[7]}}, {"--max-luminance", {0, c.maxNits}},
            {"--min-luminance", {0, c.minNits}}, {"--max-content-light", {0, std::stod(maxCll)}},
            {"--max-frame-light", {0, std::stod(maxFall)}}};
        ASSERT_EQ(mkvmerge.size(), expectedMkvmerge.size());
        for (const auto& [option, values] : expectedMkvmerge)
            EXPECT_EQ(numbersOf(mkvmerge.count(option) ? mkvmerge.at(option) : ""), values) << option;

        const json dovi = readJson(scratch.file("d.json"));
        EXPECT_EQ(dovi.at("profile"), c.profile);
        EXPECT_EQ(dovi.at("source_min_pq"), c.sourceMinPq);
        EXPECT_EQ(dovi.at("source_max_pq"), c.sourceMaxPq);
        EXPECT_EQ(dovi.at("default_metadata_blocks"), json::array({{{"Level9", c.level9}}}));
        EXPECT_EQ(dovi.at("level6").at("max_display_mastering_luminance"), std::llround(c.maxNits));
        EXPECT_EQ(dovi.at("level6").at("min_display_mastering_luminance"), std::llround(c.minNits * 10000));
    }

    // The lines as the programs take them, on the P3 case.
    const Measured run = measureIn(scratch, {{"mastering_display", "p3-d65,600,0.005"}, {"input", "pq.mkv"}});
    if (runCommand(scratch, "command -v x265").exitStatus == 0) {
        const ProgramRun encode = runCommand(
            scratch, kFfmpeg + "-i pq.mkv -f yuv4mpegpipe -strict -1 - | x265 --log-level error --y4m --input - --output o.hevc " +
                         summaryValue(run.summary, "x265") +
                         " && ffprobe -v error -show_streams -show_frames -read_intervals %+#1 -of json o.hevc");
        ASSERT_EQ(encode.exitStatus, 0) << encode.err;
        const json probed = json::parse(encode.out);
        const json& stream = probed.at("streams").at(0);
        EXPECT_EQ(stream.at("color_primaries"), "bt2020");
        EXPECT_EQ(stream.at("color_transfer"), "smpte2084");
        EXPECT_EQ(stream.at("color_space"), "bt2020nc");
        EXPECT_EQ(stream.at("color_range"), "tv");
        EXPECT_EQ(stream.at("pix_fmt"), "yuv420p10le");
        json sideData;
        for (const json& entry : probed.at("frames").at(0).at("side_data_list"))
            if (entry.at("side_data_type") != "H.26[45] User Data Unregistered SEI message")
                sideData[entry.at("side_data_type").get<std::string>()] = entry;
        EXPECT_EQ(sideData, json::parse(R"({"Mastering display metadata": {"side_data_type": "Mastering display metadata",
            "red_x": "34000/50000", "red_y": "16000/50000", "green_x": "13250/50000", "green_y": "34500/50000",
            "blue_x": "7500/50000", "blue_y": "3000/50000", "white_point_x": "15635/50000", "white_point_y": "16450/50000",
            "min_luminance": "50/10000", "max_luminance": "6000000/10000"}, "Content light level metadata":
            {"side_data_type": "Content light level metadata", "max_content": 10000, "max_average": 5599}})"));
        if (runCommand(scratch, "command -v mkvmerge").exitStatus == 0) {
            const ProgramRun mux = runCommand(scratch, "mkvmerge -q -o mux.mkv " + summaryValue(run.summary, "mkvmerge") +
                                                         " o.hevc && mkvmerge -J mux.mkv");
            ASSERT_EQ(mux.exitStatus, 0) << mux.out << mux.err;
            const json properties = json::parse(mux.out).at("tracks").at(0).at("properties");
            EXPECT_NEAR(properties.at("min_luminance").get<double>(), 0.005, 1e-9);  // stored as a 32-bit float
            json colour;
            for (const char* name : {"color_matrix_coefficients", "color_primaries", "color_range",
                                     "color_transfer_characteristics", "chromaticity_coordinates",
                                     "white_color_coordinates", "max_luminance", "max_content_light", "max_frame_light"})
                colour[name] = properties.value(name, json());
            EXPECT_EQ(colour, json({{"color_matrix_coefficients", 9}, {"color_primaries", 9}, {"color_range", 1},
                                      {"color_transfer_characteristics", 16},
                                      {"chromaticity_coordinates", "0.68,0.32,0.265,0.69,0.15,0.06"},
                                      {"white_color_coordinates", "0.3127,0.329"}, {"max_luminance", 600.0},
                                      {"max_content_light", 10000}, {"max_frame_light", 5599}}));
        }
    }
}

// Verification: stated light levels below, at and above the measured ones, and HDR10+ made from hdrmeter's
// own file written into the stream in sync and 3 frames late. The shift is found as 3, and a failed check
// fails the verification of a complete run.
TEST(Metadata, VerifyChecksStatedLevelsAndFindsShiftedHdr10Plus)
{
    ScratchDirectory scratch;
    const auto encodeWith = [](long long displayNits) {
        return kFfmpeg + "-i clip.y4m -c:v libx265 -x265-params log-level=error:bframes=0:master-display='G(13250,34500)"
               "B(7500,3000)R(34000,16000)WP(15635,16450)L(" + std::to_string(displayNits * 10000) + ",50)";
    };
    const std::string encode = encodeWith(4000);
    std::string scenes;
    for (const char* colour : {"303030", "b0b0b0", "606060"})
        scenes += "-f lavfi -i color=c=0x" + std::string(colour) + ":s=128x72:r=24:d=0.375,format=yuv420p10le ";
    ASSERT_EQ(runCommand(scratch, kFfmpeg + scenes + "-filter_complex concat=n=3 -strict -1 clip.y4m && " +
                                  encode + "' -vf setparams=color_trc=smpte2084 -f hevc plain.hevc").exitStatus, 0)
        << readWholeFile(scratch.file("stderr.txt"));
    const Settings plain = {{"input", "plain.hevc"}, {"active_area", "full"}, {"min_scene_length", "4"}};
    const auto with = [](Settings settings, const Settings& more) {
        settings.insert(settings.end(), more.begin(), more.end());
        return settings;
    };
    ASSERT_EQ(measureIn(scratch, with(plain, {{"hdr10plus", "plus.json"}, {"summary_json", "s.json"}})).report.ending,
              Ending::Complete);
    const json measured = readJson(scratch.file("s.json"));
    const long long maxCll = measured.at("max_cll"), maxFall = measured.at("max_fall");
    const json plus = readJson(scratch.file("plus.json"));
    ASSERT_GE(plus.at("SceneInfoSummary").at("SceneFirstFrameIndex").size(), 2u);
    // Compact by default, a line of at most 400 bytes a frame; pretty indents the same document.
    ASSERT_EQ(measureIn(scratch, with(plain, {{"pretty", "true"}, {"hdr10plus", "p.json"}})).report.ending,
              Ending::Complete);
    EXPECT_EQ(readJson(scratch.file("p.json")), plus);
    const std::vector<std::string> lines = split(readWholeFile(scratch.file("plus.json")));
    EXPECT_EQ(lines.size(), plus.at("SceneInfo").size() + 2);
    for (const std::string& line : lines)
        EXPECT_LE(line.size(), 400u) << line;
    EXPECT_GT(readWholeFile(scratch.file("p.json")).size(), 2 * readWholeFile(scratch.file("plus.json")).size());
    struct Case {
        long long statedCll;
        long long shift;  // -1: no HDR10+
        const char* cllOutcome;
        bool passes;  // every check short of a failure
        long long displayNits = 4000;  // the stated mastering display's maximum
        const char* displayOutcome = "pass";
    } const cases[] = {
        {maxCll - 1, -1, "fail", false}, {maxCll, -1, "pass", true}, {maxCll * 3 / 2, -1, "warn", true},
        {maxCll, 0, "pass", true},       {maxCll, 3, "pass", false},
        // A display the picture exceeds fails; one just above the peak passes.
        {maxCll, -1, "pass", false, maxCll / 2, "fail"}, {maxCll, -1, "pass", true, maxCll + 1, "pass"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.statedCll) + " shift " + std::to_string(c.shift));
        const std::string levels = std::to_string(c.statedCll) + "," + std::to_string(maxFall);
        ASSERT_EQ(runCommand(scratch, encodeWith(c.displayNits) + ":max-cll=" + levels +
                                        "' -vf setparams=color_trc=smpte2084 -f hevc stated.hevc").exitStatus, 0);
        if (c.shift >= 0) {
            const std::string injected = withHdr10Plus(readWholeFile(scratch.file("stated.hevc")), plus, c.shift);
            std::ofstream(scratch.file("stated.hevc"), std::ios::binary) << injected;
        }
        const Measured run = measureIn(scratch, {{"input", "stated.hevc"}, {"active_area", "full"}, {"min_scene_length", "4"},
                                                 {"verify_json", "v.json"}, {"csv", "c.csv"}, {"plot", "p.svg"}});
        EXPECT_EQ(run.report.ending, Ending::Complete) << run.report.failure;
        EXPECT_EQ(run.passed(), c.passes);
        const json verified = readJson(scratch.file("v.json"));
        std::map<std::string, json> checks;
        for (const json& check : verified.at("checks"))
            checks[check.at("check")] = check;
        EXPECT_EQ(checks.at("max_cll").at("outcome"), c.cllOutcome);
        EXPECT_EQ(checks.at("max_cll").at("stated_nits"), c.statedCll);
        EXPECT_EQ(checks.at("max_fall").at("outcome"), "pass");
        EXPECT_EQ(checks.at("mastering_display").at("outcome"), c.displayOutcome);
        EXPECT_EQ(verified.at("passed"), c.passes);
        EXPECT_NE(summaryValue(run.summary, "verify " + std::string(c.cllOutcome)), "(no verify " + std::string(c.cllOutcome) + " line)");
        // The plot marks both cuts, the stated MaxCLL, and draws the stated HDR10+ values when there are any.
        const std::string plot = readWholeFile(scratch.file("p.svg"));
        EXPECT_NE(plot.find(">stated MaxCLL " + std::to_string(c.statedCll) + " nits<"), std::string::npos);
        EXPECT_EQ(plot.find(">stated HDR10+ AverageRGB<") != std::string::npos, c.shift >= 0);
        std::size_t cutLines = 0;
        for (std::size_t at = 0; (at = plot.find("stroke=\"#bbb\" stroke-dasharray=\"4 3\"", at)) != std::string::npos; ++at)
            ++cutLines;
        EXPECT_EQ(cutLines, 2u);
        const std::vector<std::map<std::string, std::string>> rows = readCsv(scratch.file("c.csv"));
        ASSERT_EQ(rows.size(), plus.at("SceneInfo").size());
        if (c.shift < 0) {
            EXPECT_EQ(checks.count("hdr10plus_scene_alignment"), 0u);
            EXPECT_EQ(rows[5].at("stated_average_rgb_nits"), "");
            continue;
        }
        // The stated values read back are those written, frame by frame, shifted.
        for (std::size_t f = 0; f < rows.size(); ++f) {
            const json& entry = plus.at("SceneInfo").at(f < static_cast<std::size_t>(c.shift) ? 0 : f - c.shift);
            EXPECT_EQ(std::stod(rows[f].at("stated_average_rgb_nits")),
                      entry.at("LuminanceParameters").at("AverageRGB").get<double>() / 10.0) << f;
            EXPECT_EQ(std::stod(rows[f].at("stated_max_scl_green_nits")),
                      entry.at("LuminanceParameters").at("MaxScl")[1].get<double>() / 10.0) << f;
        }
        EXPECT_EQ(verified.at("hdr10plus_offset_frames"), c.shift);
        EXPECT_EQ(checks.at("hdr10plus_scene_alignment").at("outcome"), c.shift == 0 ? "pass" : "fail");
        EXPECT_EQ(checks.at("hdr10plus_average_rgb").at("outcome"), c.shift == 0 ? "pass" : "fail");
        // In sync the stream states hdrmeter's own values exactly; late, the first stated scene (9 frames and
        // 3 more) takes in the bright scene's first frames, whose peaks its MaxScl does not reach.
        const double deviation = checks.at("hdr10plus_max_scl").at("largest_deviation_pq_codes");
        EXPECT_TRUE(c.shift == 0 ? deviation == 0.0 : deviation > 4.0) << deviation;
        EXPECT_EQ(checks.at("hdr10plus_max_scl").at("frames_beyond"), c.shift == 0 ? 0 : 9 + c.shift);
        json starts = plus.at("SceneInfoSummary").at("SceneFirstFrameIndex");
        for (std::size_t i = 1; i < starts.size(); ++i)
            starts[i] = starts[i].get<long long>() + c.shift;
        EXPECT_EQ(verified.at("stated_hdr10plus_scene_starts"), starts);
    }
}

// Verification compares like with like: HDR10+ written for the whole frame of a letterboxed clip, per scene or
// per frame, checked over all or part of the clip, passes; metadata no shift can explain (scaled, all
// zero, one scene long) is not called shifted.
TEST(Metadata, VerifyComparesEachStatedSceneWithTheSameFramesWholePictures)
{
    ScratchDirectory scratch;
    std::string scenes;
    for (const char* source : {"testsrc2", "smptehdbars", "rgbtestsrc"})
        scenes += "-f lavfi -i " + std::string(source) + "=s=128x52:r=24:d=1,pad=128:72:0:10:black,format=yuv420p10le ";
    ASSERT_EQ(runCommand(scratch, kFfmpeg + scenes + "-filter_complex concat=n=3 -c:v libx265 -x265-params "
                                  "log-level=error:bframes=0:colorprim=bt2020:transfer=smpte2084:colormatrix=bt2020nc "
                                  "-f hevc box.hevc && seq 0 71 >every.txt").exitStatus, 0)
        << readWholeFile(scratch.file("stderr.txt"));
    ASSERT_EQ(measureIn(scratch, {{"input", "box.hevc"}, {"active_area", "full"}, {"hdr10plus", "scenes.json"}}).report.ending,
              Ending::Complete);
    ASSERT_EQ(measureIn(scratch, {{"input", "box.hevc"}, {"active_area", "full"}, {"scene_cuts", "every.txt"},
                                  {"hdr10plus", "frames.json"}}).report.ending, Ending::Complete);
    const json byScene = readJson(scratch.file("scenes.json")), byFrame = readJson(scratch.file("frames.json"));
    ASSERT_EQ(byScene.at("SceneInfoSummary").at("SceneFirstFrameIndex"), json({0, 24, 48}));
    const auto scaled = [](json plus, double factor) {
        for (json& entry : plus.at("SceneInfo")) {
            json& luminance = entry.at("LuminanceParameters");
            luminance.at("AverageRGB") = std::llround(luminance.at("AverageRGB").get<double>() * factor);
            for (json& value : luminance.at("MaxScl"))
                value = std::llround(value.get<double>() * factor);
            for (json& value : luminance.at("LuminanceDistributions").at("DistributionValues"))
                value = std::llround(value.get<double>() * factor);
        }
        return plus;
    };
    json oneScene = byScene;
    for (json& entry : oneScene.at("SceneInfo"))
        entry = byScene.at("SceneInfo")[0];
    struct Case {
        const char* name;
        json plus;
        Settings range;
        bool passes;               // every check short of a failure
        const char* alignment;     // the alignment check's outcome
        long long scenesCut = 0;   // stated scenes the range cuts
    } const cases[] = {
        {"per scene", byScene, {}, true, "pass"},
        {"per frame", byFrame, {}, true, "pass"},
        // Frames 24 to 29 are too few for a scene of their own: the stated change has no cut to lie on.
        {"the first 30 frames", byScene, {{"frames", "30"}}, true, "warn", 1},
        {"from 1.5 s", byScene, {{"start", "1.5"}}, true, "pass", 1},
        {"to 2.5 s", byScene, {{"end", "2.5"}}, true, "pass", 1},
        {"scaled by a half", scaled(byScene, 0.5), {}, false, "pass"},
        {"all zero", scaled(byScene, 0.0), {}, false, "warn"},
        {"one scene's values throughout", oneScene, {}, false, "warn"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(scratch.file("stated.hevc"), std::ios::binary)
            << withHdr10Plus(readWholeFile(scratch.file("box.hevc")), c.plus, 0);
        ASSERT_EQ(runCommand(scratch, kFfmpeg + "-r 24 -i stated.hevc -c copy stated.mkv").exitStatus, 0);
        Settings settings = c.range;
        settings.insert(settings.end(), {{"input", "stated.mkv"}, {"verify_json", "v.json"}});
        const Measured run = measureIn(scratch, settings);
        EXPECT_EQ(run.report.ending, Ending::Complete) << run.report.failure;
        EXPECT_EQ(run.passed(), c.passes) << run.summary;
        const json verified = readJson(scratch.file("v.json"));
        std::map<std::string, json> checks;
        for (const json& check : verified.at("checks"))
            checks[check.at("check")] = check;
        EXPECT_EQ(checks.at("hdr10plus_scene_alignment").at("outcome"), c.alignment) << run.summary;
        EXPECT_EQ(checks.at("hdr10plus_max_scl").at("scenes_cut_by_range"), c.scenesCut);
        if (c.passes) {
            EXPECT_EQ(checks.at("hdr10plus_max_scl").at("largest_deviation_pq_codes"), 0.0);
        }
        const std::string alignment = checks.at("hdr10plus_scene_alignment").at("line");
        EXPECT_EQ(alignment.find("no shift can be found") != std::string::npos, std::string(c.alignment) == "warn")
            << alignment;
    }

    // Two encodes joined, each stating its own MaxCLL and MaxFALL: each pair is checked over its own frames.
    const std::string x265 = "-c:v libx265 -x265-params log-level=error:bframes=0:colorprim=bt2020:transfer=smpte2084:"
                             "colormatrix=bt2020nc:max-cll=";
    ASSERT_EQ(runCommand(scratch, "for c in b0b0b0 c0c0c0; do " + kFfmpeg + "-f lavfi -i color=c=0x$c:s=128x72:r=24:d=1,"
                                  "format=yuv420p10le " + x265 + "1,1 -f hevc $c.hevc || exit 1; done").exitStatus, 0);
    for (const std::string colour : {"b0b0b0", "c0c0c0"})
        ASSERT_EQ(measureIn(scratch, {{"input", colour + ".hevc"}, {"summary_json", colour + ".json"}}).report.ending,
                  Ending::Complete);
    const long long dim = readJson(scratch.file("b0b0b0.json")).at("max_cll"),
                    bright = readJson(scratch.file("c0c0c0.json")).at("max_cll");
    const std::string dimLevels = std::to_string(dim) + "," + std::to_string(dim),
                      brightLevels = std::to_string(bright) + "," + std::to_string(bright);
    struct Levels {
        std::string first, second;  // stated by the dim frames, then by the bright ones
        bool passes;  // every check short of a failure
        std::vector<std::string> outcomes;  // of the max_cll checks, in order
    } const levels[] = {
        {"3018,163", "1000,100", false, {"warn", "fail"}},
        {dimLevels, brightLevels, true, {"pass", "pass"}},
        {brightLevels, brightLevels, true, {"pass"}},
    };
    for (const Levels& l : levels) {
        SCOPED_TRACE(l.first + " then " + l.second);
        ASSERT_EQ(runCommand(scratch, kFfmpeg + "-f lavfi -i color=c=0xb0b0b0:s=128x72:r=24:d=1,format=yuv420p10le " +
                                          x265 + l.first + " -f hevc a.hevc && " + kFfmpeg + "-f lavfi -i color=c=0xc0c0c0:"
                                          "s=128x72:r=24:d=1,format=yuv420p10le " + x265 + l.second + " -f hevc b.hevc && "
                                          "cat a.hevc b.hevc >ab.hevc && " + kFfmpeg + "-r 24 -i ab.hevc -c copy ab.mkv")
                      .exitStatus, 0);
        const Measured run = measureIn(scratch, {{"input", "ab.mkv"}, {"verify_json", "v.json"}});
        EXPECT_EQ(run.report.ending, Ending::Complete) << run.report.failure;
        EXPECT_EQ(run.passed(), l.passes) << run.summary;
        const json verified = readJson(scratch.file("v.json"));
        std::vector<std::string> outcomes;
        bool changeSaid = false;
        for (const json& check : verified.at("checks")) {
            if (check.at("check") == "max_cll")
                outcomes.push_back(check.at("outcome"));
            changeSaid = changeSaid || check.at("check") == "light_level_change";
        }
        EXPECT_EQ(outcomes, l.outcomes);
        EXPECT_EQ(changeSaid, l.first != l.second);
    }
}
