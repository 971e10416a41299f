#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>

#include "frame_writers.h"
#include "test_files.h"
#include "tool_errors.h"

using namespace hdrmeter::tool;

namespace {

bool sameBits(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Values whose shortest decimal form is long, tiny, or only just distinct from a neighbour.
const double kAwkwardValues[] = {
    0.1, 1.0 / 3.0, 4014.718234539032, 203.00000000000003, 5e-324, 1e-300, 10000.0, 0.0, 12345678.9,
    std::nextafter(1000.0, 0.0),
};

FrameMeasurement awkwardFrame(long long frame, double value)
{
    FrameMeasurement measurement{frame, value, value * 3, value / 7, static_cast<float>(value), value / 11,
                                 value / 13, LumaChecks{4, 1019, 12, 345}};
    return measurement;
}

std::vector<double> resultsOf(const FrameMeasurement& m, bool percentiles)
{
    std::vector<double> values = {m.averageLightNits, m.largestLightNits, m.aboveThresholdPercent};
    if (percentiles)
        values.insert(values.end(), {m.top1Nits, m.top2Nits, m.bottomNits});
    return values;
}

}  // namespace

TEST(Writers, CsvAndJsonLinesReadBackAsTheSameBitsUnderTheSameNames)
{
    ScratchDirectory scratch;
    for (bool percentiles : {true, false}) {
        for (bool checks : {true, false}) {
            SCOPED_TRACE(std::to_string(percentiles) + std::to_string(checks));
            {
                OutputFile csvFile(scratch.file("f.csv"));
                OutputFile jsonFile(scratch.file("f.jsonl"));
                CsvWriter csv(csvFile, ColumnSet{percentiles, checks});
                JsonLinesWriter jsonl(jsonFile, ColumnSet{percentiles, checks});
                for (std::size_t i = 0; i < std::size(kAwkwardValues); ++i) {
                    csv.write(awkwardFrame(static_cast<long long>(i), kAwkwardValues[i]));
                    jsonl.write(awkwardFrame(static_cast<long long>(i), kAwkwardValues[i]));
                }
                csvFile.close();
                jsonFile.close();
            }
            std::vector<std::string> names = {"frame", "average_light_nits", "largest_light_nits",
                                              "above_threshold_percent"};
            if (percentiles)
                names.insert(names.end(), {"top1_nits", "top2_nits", "bottom_nits"});
            if (checks)
                names.insert(names.end(), {"luma_min_code", "luma_max_code", "luma_low_count", "luma_high_count"});
            std::string header;
            for (const std::string& name : names)
                header += (header.empty() ? "" : ",") + name;
            EXPECT_EQ(linesOf(readWholeFile(scratch.file("f.csv")))[0], header);

            const auto rows = readCsv(scratch.file("f.csv"));
            const std::vector<std::string> jsonLines = linesOf(readWholeFile(scratch.file("f.jsonl")));
            ASSERT_EQ(rows.size(), std::size(kAwkwardValues));
            ASSERT_EQ(jsonLines.size(), std::size(kAwkwardValues));
            for (std::size_t i = 0; i < rows.size(); ++i) {
                const nlohmann::json object = nlohmann::json::parse(jsonLines[i]);
                EXPECT_EQ(object.size(), names.size());
                EXPECT_EQ(rows[i].at("frame"), std::to_string(i));
                EXPECT_EQ(object.at("frame").get<long long>(), static_cast<long long>(i));
                const std::vector<double> expected = resultsOf(awkwardFrame(0, kAwkwardValues[i]), percentiles);
                for (std::size_t column = 0; column < expected.size(); ++column) {
                    const std::string& name = names[column + 1];
                    EXPECT_TRUE(sameBits(std::strtod(rows[i].at(name).c_str(), nullptr), expected[column]))
                        << name << " " << rows[i].at(name);
                    EXPECT_TRUE(sameBits(object.at(name).get<double>(), expected[column])) << name << " " << jsonLines[i];
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

TEST(Writers, AFullDiskIsReportedWhenTheFileIsClosed)
{
    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no /dev/full on this system";
    OutputFile file("/dev/full");
    CsvWriter csv(file, ColumnSet{});
    for (int i = 0; i < 2000; ++i)
        csv.write(awkwardFrame(i, 1.0));
    try {
        file.close();
        ADD_FAILURE() << "a write to a full device was not reported";
    } catch (const InputError& error) {
        EXPECT_NE(std::string(error.what()).find("cannot write /dev/full"), std::string::npos) << error.what();
    }
}
