#include <cmath>

#include <nlohmann/json.hpp>

#include "output/frame_writers.h"
#include "output/summary.h"
#include "tool_test_support.h"

using namespace hdrmeter::tool;

TEST(Summary, WholeNitsRoundHalvesUpAndPeaksKeepTheFirstFramesThatReachThemExactly)
{
    for (const auto& [nits, whole] : std::initializer_list<std::pair<double, long long>>{
             {0.49999999999, 0}, {0.5, 1}, {203.4999, 203}, {203.5, 204}, {9999.9999, 10000}, {10000.0, 10000}})
        EXPECT_EQ(wholeNits(nits), whole) << nits;
    // Offered values, then the peak, how many frames reach it, the first of them and how they are described.
    const std::tuple<std::vector<double>, double, long long, std::vector<long long>, std::string> cases[] = {
        {{2, 9, 1, 9, 9}, 9, 3, {1, 3, 4}, "frames 1, 3 and 4"},
        {{0, 0, 0, 0, 0, 0, 0, 0}, 0, 8, {0, 1, 2, 3, 4}, "frames 0, 1, 2, 3, 4 and 3 more"},
        {{100.0, std::nextafter(100.0, 200.0), 100.0}, std::nextafter(100.0, 200.0), 1, {1}, "frame 1"},
    };
    for (const auto& [values, value, count, listed, described] : cases) {
        FramePeak peak;
        for (std::size_t i = 0; i < values.size(); ++i)
            peak.offer(static_cast<long long>(i), values[i]);
        EXPECT_EQ(std::make_tuple(peak.value(), peak.frameCount(), peak.firstFrames(), peak.describeFrames()),
                  std::make_tuple(value, count, listed, described));
    }
}

TEST(Summary, MaxCllAndMaxFallComeFromTheirOwnColumnsAndSharesAreOfFramesAndPixels)
{
    MeasurementSummary summary;
    std::ostringstream empty, text;
    summary.print(empty, RunFacts{});
    for (const char* line : {"frames measured       0\n", "MaxCLL                none"})
        EXPECT_NE(empty.str().find(line), std::string::npos) << empty.str();
    const double average[] = {10.0, 180.5, 40.0, 180.49}, largest[] = {900.0, 300.0, 1000.4, 999.0};
    const double above[] = {0.0, 50.0, 0.0, 10.0};
    for (int i = 0; i < 4; ++i)
        summary.add(FrameMeasurement{100 + i, average[i], largest[i], above[i], 0, 0, 0, std::nullopt});
    RunFacts facts;
    facts.thresholdNits = 203.5;
    facts.metadata.lightLevel = ContentLightLevel{1000, 180};
    summary.print(text, facts);
    for (const char* line : {"MaxCLL                1000 nits (1000.400) at frame 102\n",
                             "MaxFALL               181 nits (180.500) at frame 101\n",
                             "frames above 203.5 nits 2 of 4 (50.0 %)\n", "pixels above 203.5 nits 15.000 %\n",
                             "content light level   MaxCLL 1000 nits, MaxFALL 180 nits (container)\n",
                             "stated below measured MaxFALL 180 < 181 nits measured\n"})
        EXPECT_NE(text.str().find(line), std::string::npos) << text.str();
    // Stated and measured levels are compared as the whole nits metadata carries: 1000 is not below 1000.4.
    EXPECT_EQ(text.str().find("stated below measured MaxCLL"), std::string::npos) << text.str();
}

// Values whose shortest decimal form is long, tiny, or only just distinct from a neighbour must read back
// as the same bits from both per-frame formats, under the names of the columns that were measured only.
TEST(Writers, CsvAndJsonLinesReadBackAsTheSameBitsUnderTheSameNames)
{
    const double values[] = {0.1, 1.0 / 3.0, 4014.718234539032, 203.00000000000003, 5e-324, 1e-300, 0.0,
                             12345678.9, std::nextafter(1000.0, 0.0)};
    const auto columns = [](bool percentiles, bool checks) {
        return split(std::string("frame,average_light_nits,largest_light_nits,above_threshold_percent") +
                     (percentiles ? ",top1_nits,top2_nits,bottom_nits" : "") +
                     (checks ? ",luma_min_code,luma_max_code,luma_low_count,luma_high_count" : "") + ",scene", ',');
    };
    ScratchDirectory scratch;
    for (const bool more : {true, false}) {
        {
            OutputFile csvFile(scratch.file("f.csv")), jsonFile(scratch.file("f.jsonl"));
            CsvWriter csv(csvFile, ColumnSet{more, more});
            JsonLinesWriter jsonl(jsonFile, ColumnSet{more, !more, "class"});
            for (long long i = 0; i < static_cast<long long>(std::size(values)); ++i) {
                const double v = values[i];
                const FrameMeasurement m{i, v, v * 3, v / 7, static_cast<float>(v), v / 11, v / 13, LumaChecks{4, 1019, 12, 345}, i / 3};
                csv.write(m);
                jsonl.write(m);
            }
            csvFile.close();
            jsonFile.close();
        }
        const std::vector<std::string> csvNames = columns(more, more), jsonNames = columns(more, !more);
        const std::vector<std::string> lines = split(readWholeFile(scratch.file("f.csv"))), jsonLines = split(readWholeFile(scratch.file("f.jsonl")));
        ASSERT_EQ(lines.size(), std::size(values) + 1);
        ASSERT_EQ(jsonLines.size(), std::size(values));
        EXPECT_EQ(split(lines[0], ','), csvNames);
        for (std::size_t i = 0; i < std::size(values); ++i) {
            const double v = values[i];
            const std::map<std::string, double> expected = {
                {"frame", i}, {"average_light_nits", v}, {"largest_light_nits", v * 3}, {"above_threshold_percent", v / 7},
                {"top1_nits", static_cast<float>(v)}, {"top2_nits", v / 11}, {"bottom_nits", v / 13}, {"luma_min_code", 4},
                {"luma_max_code", 1019}, {"luma_low_count", 12}, {"luma_high_count", 345}, {"scene", i / 3}};
            const std::vector<std::string> cells = split(lines[i + 1], ',');
            const nlohmann::json object = nlohmann::json::parse(jsonLines[i]);
            ASSERT_EQ(cells.size(), csvNames.size());
            EXPECT_EQ(object.size(), jsonNames.size() + 1);
            EXPECT_EQ(object.at("coefficients"), "class");
            // Counts and frame numbers are written as integers, levels to the bit.
            const auto written = [](const std::string& name, double value) {
                return name.find("nits") == std::string::npos && name.find("percent") == std::string::npos
                           ? std::to_string(std::llround(value)) : "";
            };
            for (std::size_t column = 0; column < csvNames.size(); ++column) {
                const std::string &name = csvNames[column], whole = written(name, expected.at(name));
                EXPECT_TRUE(whole.empty() ? sameBits(std::strtod(cells[column].c_str(), nullptr), expected.at(name))
                                          : cells[column] == whole) << name << " " << cells[column];
            }
            for (const std::string& name : jsonNames) {
                const std::string whole = written(name, expected.at(name));
                EXPECT_TRUE(whole.empty() ? sameBits(object.at(name).get<double>(), expected.at(name))
                                          : object.at(name).dump() == whole) << name << " " << jsonLines[i];
            }
        }
    }
}
