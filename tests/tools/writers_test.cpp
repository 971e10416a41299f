#include <cmath>
#include <nlohmann/json.hpp>

#include "output/frame_writers.h"
#include "tool_test_support.h"

using namespace hdrmeter::tool;

namespace {

// Values whose shortest decimal form is long, tiny, or only just distinct from a neighbour.
const double kAwkwardValues[] = {
    0.1, 1.0 / 3.0, 4014.718234539032, 203.00000000000003, 5e-324, 1e-300, 10000.0, 0.0, 12345678.9,
    std::nextafter(1000.0, 0.0),
};

FrameMeasurement awkwardFrame(long long frame, double value)
{
    return {frame, value, value * 3, value / 7, static_cast<float>(value), value / 11, value / 13,
            LumaChecks{4, 1019, 12, 345}, frame / 3};
}

}  // namespace

TEST(Writers, CsvAndJsonLinesReadBackAsTheSameBitsUnderTheSameNames)
{
    ScratchDirectory scratch;
    for (bool percentiles : {true, false}) {
        for (bool checks : {true, false}) {
            SCOPED_TRACE(std::to_string(percentiles) + std::to_string(checks));
            {
                OutputFile csvFile(scratch.file("f.csv")), jsonFile(scratch.file("f.jsonl"));
                CsvWriter csv(csvFile, ColumnSet{percentiles, checks});
                JsonLinesWriter jsonl(jsonFile, ColumnSet{percentiles, checks, "class"});
                for (std::size_t i = 0; i < std::size(kAwkwardValues); ++i) {
                    csv.write(awkwardFrame(static_cast<long long>(i), kAwkwardValues[i]));
                    jsonl.write(awkwardFrame(static_cast<long long>(i), kAwkwardValues[i]));
                }
                csvFile.close();
                jsonFile.close();
            }
            std::string header = "frame,average_light_nits,largest_light_nits,above_threshold_percent";
            header += percentiles ? ",top1_nits,top2_nits,bottom_nits" : "";
            header += checks ? ",luma_min_code,luma_max_code,luma_low_count,luma_high_count" : "";
            header += ",scene";
            EXPECT_EQ(split(readWholeFile(scratch.file("f.csv")))[0], header);
            const std::vector<std::string> names = split(header, ',');

            const auto rows = readCsv(scratch.file("f.csv"));
            const std::vector<std::string> jsonLines = split(readWholeFile(scratch.file("f.jsonl")));
            ASSERT_EQ(rows.size(), std::size(kAwkwardValues));
            ASSERT_EQ(jsonLines.size(), std::size(kAwkwardValues));
            for (std::size_t i = 0; i < rows.size(); ++i) {
                const nlohmann::json object = nlohmann::json::parse(jsonLines[i]);
                EXPECT_EQ(object.size(), names.size() + 1);
                EXPECT_EQ(object.at("coefficients"), "class");
                EXPECT_EQ(rows[i].at("frame"), std::to_string(i));
                EXPECT_EQ(object.at("frame").get<long long>(), static_cast<long long>(i));
                EXPECT_EQ(rows[i].at("scene") + " " + object.at("scene").dump(), std::to_string(i / 3) + " " + std::to_string(i / 3));
                const FrameMeasurement m = awkwardFrame(0, kAwkwardValues[i]);
                const double expected[] = {m.averageLightNits, m.largestLightNits, m.aboveThresholdPercent,
                                           m.top1Nits,         m.top2Nits,         m.bottomNits};
                for (std::size_t column = 0; column < (percentiles ? 6u : 3u); ++column) {
                    const std::string& name = names[column + 1];
                    EXPECT_TRUE(sameBits(std::strtod(rows[i].at(name).c_str(), nullptr), expected[column]))
                        << name << " " << rows[i].at(name);
                    EXPECT_TRUE(sameBits(object.at(name).get<double>(), expected[column]))
                        << name << " " << jsonLines[i];
                }
                if (checks) {
                    EXPECT_EQ(rows[i].at("luma_min_code") + rows[i].at("luma_max_code") + rows[i].at("luma_low_count") +
                                  rows[i].at("luma_high_count"),
                              "4101912345");
                    EXPECT_EQ(object.at("luma_high_count").get<long long>(), 345);
                }
            }
        }
    }
}
