#include <algorithm>
#include <array>
#include <map>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <nlohmann/json.hpp>

#include "tool_test_support.h"

namespace {

// Profile 8.1 streams a Dolby Vision generator made from hdrmeter's own config of one picture (their
// README says what each states); they cannot be made here, so they are read where they lie.
const std::string kStreams = std::string(HDRMETER_TEST_MEDIA) + "/dolby-vision/";

nlohmann::json jsonIn(const std::string& path)
{
    return nlohmann::json::parse(readWholeFile(path));
}

bool present(const std::string& path)
{
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0;
}

std::map<std::string, nlohmann::json> checksByName(const nlohmann::json& verify)
{
    std::map<std::string, nlohmann::json> checks;
    for (const nlohmann::json& check : verify.at("checks"))
        checks[check.at("check").get<std::string>()] = check;
    return checks;
}

}  // namespace

// Each stream read and verified: its stated Level 1 and Level 5 in every frame's row, its shots, and each
// check's outcome. FFmpeg before 7.0 cannot read the blocks: the run then says so in one line and
// keeps nothing it did not read.
TEST(DolbyVision, StatedMetadataIsReadAndCheckedAgainstThePicture)
{
    if (!present(kStreams + "dv81_true.hevc"))
        GTEST_SKIP() << "the Dolby Vision test streams are not at " << kStreams
                     << " (configure with -DHDRMETER_TEST_MEDIA=DIR)";
    ScratchDirectory scratch;
    const ProgramRun probe = runShell(scratch, "PROGRAM --summary-json s.json '" + kStreams + "dv81_true.hevc'");
    ASSERT_EQ(probe.exitStatus, 0) << probe.err;
    const std::string needed = "reading it needs FFmpeg 7.0 or later";
    if (probe.err.find(needed) != std::string::npos) {
        long long lines = 0;
        for (const std::string& line : split(probe.err))
            lines += line.find("Dolby Vision") != std::string::npos ? 1 : 0;
        EXPECT_EQ(lines, 1) << probe.err;
        EXPECT_TRUE(jsonIn(scratch.file("s.json")).at("dolby_vision").is_null());
        GTEST_SKIP() << "this FFmpeg cannot read Dolby Vision metadata: " << probe.err;
    }
    EXPECT_EQ(probe.err.find("Dolby Vision"), std::string::npos) << probe.err;

    using Level1 = std::array<int, 3>;
    using Level5 = std::array<int, 4>;  // left, right, top, bottom
    const std::vector<Level1> trueLevel1 = {{12, 2763, 3819}, {0, 2170, 3099}, {0, 1715, 3053}};
    const std::vector<Level5> trueLevel5 = {{0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 44, 44}};
    struct Case {
        const char* file;
        int exitStatus;
        std::vector<long long> shotStarts;
        std::vector<Level1> level1;
        std::vector<Level5> level5;
        const char* profile;  // in the summary: only a container carries the configuration record
        std::vector<std::string> failing;
        long long offset;
    } const cases[] = {
        {"dv81_true.hevc", 0, {0, 12, 24}, trueLevel1, trueLevel5, "profile not stated", {}, 0},
        {"dv81_true.mkv", 0, {0, 12, 24}, trueLevel1, trueLevel5, "profile 8.1", {}, 0},
        {"dv81_wrong.hevc", 3, {0, 12, 24}, {{12, 2763, 3819}, {0, 2170, 2600}, {0, 1715, 3053}},
         {{0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}}, "profile not stated",
         {"dovi_level1", "dovi_level5", "dovi_level6_max_cll", "dovi_level6_max_fall", "dovi_level6_hdr10"}, 0},
        {"dv81_shifted.hevc", 3, {0, 14, 26}, trueLevel1, trueLevel5, "profile not stated",
         // Level 5 still fits: each late shot's frames lie in scenes of its own framing, or span a full one.
         {"dovi_level1", "dovi_level1_in_scenes", "dovi_shot_alignment"}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const ProgramRun run = runShell(scratch, "PROGRAM --verify --verify-json v.json --csv f.csv --summary-json s.json '" +
                                                     kStreams + c.file + "'");
        EXPECT_EQ(run.exitStatus, c.exitStatus) << run.out << run.err;
        const auto rows = readCsv(scratch.file("f.csv"));
        ASSERT_EQ(rows.size(), 36u);
        for (const auto& row : rows) {
            const long long frame = std::stoll(row.at("frame"));
            std::size_t shot = 0;
            while (shot + 1 < c.shotStarts.size() && c.shotStarts[shot + 1] <= frame)
                ++shot;
            const Level1 level1 = {std::stoi(row.at("stated_dovi_min_pq")), std::stoi(row.at("stated_dovi_avg_pq")),
                                   std::stoi(row.at("stated_dovi_max_pq"))};
            const Level5 level5 = {std::stoi(row.at("stated_dovi_left_offset")),
                                   std::stoi(row.at("stated_dovi_right_offset")),
                                   std::stoi(row.at("stated_dovi_top_offset")),
                                   std::stoi(row.at("stated_dovi_bottom_offset"))};
            EXPECT_EQ(level1, c.level1[shot]) << "frame " << frame;
            EXPECT_EQ(level5, c.level5[shot]) << "frame " << frame;
        }
        const nlohmann::json summary = jsonIn(scratch.file("s.json"));
        const nlohmann::json& dovi = summary.at("dolby_vision");
        EXPECT_EQ(dovi.at("cm_version"), "4.0");
        EXPECT_EQ(dovi.at("frames"), 36);
        EXPECT_EQ(dovi.at("stated_shot_starts").get<std::vector<long long>>(), c.shotStarts);
        EXPECT_EQ(summaryValue(run.out, "Dolby Vision").rfind(c.profile, 0), 0u) << run.out;
        EXPECT_NE(summaryValue(run.out, "Dolby Vision").find("CM v4.0, 3 shots stated over 36 frames"),
                  std::string::npos) << run.out;

        const nlohmann::json verify = jsonIn(scratch.file("v.json"));
        auto checks = checksByName(verify);
        for (const char* name : {"dovi_level1", "dovi_level1_in_scenes", "dovi_shot_alignment", "dovi_level1_black",
                                 "dovi_level5", "dovi_level6_max_cll", "dovi_level6_max_fall", "dovi_level6_hdr10",
                                 "dovi_level6_display"}) {
            ASSERT_EQ(checks.count(name), 1u) << name;
            const bool fails = std::find(c.failing.begin(), c.failing.end(), name) != c.failing.end();
            EXPECT_EQ(checks[name].at("outcome"), fails ? "fail" : "pass") << checks[name].at("line");
        }
        EXPECT_EQ(checks["dovi_shot_alignment"].at("offset_frames"), c.offset);
        EXPECT_EQ(verify.at("passed"), c.exitStatus == 0);
    }

    // The wrong stream's figures: shot 1's max_pq, 2600 against the picture's 3099, and Level 6's 1000
    // nits below the measured MaxCLL. The streams' README gives the picture's figures as hdrmeter measured
    // them when its light was still rounded to whole codes: continuous light may differ by up to half a
    // 10-bit code: about two 12-bit PQ codes, and 0.54 % of the light at 5293 nits.
    const ProgramRun wrong = runShell(scratch, "PROGRAM --verify-json v.json '" + kStreams + "dv81_wrong.hevc'");
    EXPECT_EQ(wrong.exitStatus, 3);
    auto checks = checksByName(jsonIn(scratch.file("v.json")));
    EXPECT_EQ(checks["dovi_level1"].at("at_shot_first_frame"), 12);
    EXPECT_EQ(checks["dovi_level1"].at("stated_pq12"), 2600);
    EXPECT_NEAR(checks["dovi_level1"].at("measured_pq12").get<double>(), 3099, 2.5);
    EXPECT_EQ(checks["dovi_level1"].at("shots_beyond"), 1);
    EXPECT_EQ(checks["dovi_level5"].at("at_shot_first_frame"), 24);
    EXPECT_EQ(checks["dovi_level6_max_cll"].at("stated_nits"), 1000);
    EXPECT_NEAR(checks["dovi_level6_max_cll"].at("measured_nits").get<double>(), 5293, 5293 * 0.006);
}
