#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>

#include "frame_writers.h"
#include "tool_errors.h"

using namespace hdrmeter::tool;

namespace {

std::string scratchPath(const std::string& name)
{
    return ::testing::TempDir() + "hdrmeter_writers_" + std::to_string(getpid()) + "_" + name;
}

std::string fileText(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<std::string> splitOn(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::stringstream stream(text);
    std::string part;
    while (std::getline(stream, part, separator))
        parts.push_back(part);
    return parts;
}

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
    FrameMeasurement measurement;
    measurement.frame = frame;
    measurement.averageLightNits = value;
    measurement.largestLightNits = value * 3;
    measurement.aboveThresholdPercent = value / 7;
    measurement.top1Nits = static_cast<float>(value);
    measurement.top2Nits = value / 11;
    measurement.bottomNits = value / 13;
    measurement.lumaChecks = LumaChecks{4, 1019, 12, 345};
    return measurement;
}

}  // namespace

TEST(Writers, CsvNumbersReadBackAsTheSameBits)
{
    for (bool withPercentiles : {true, false}) {
        for (bool withChecks : {true, false}) {
            const std::string path = scratchPath("frames.csv");
            {
                OutputFile file(path);
                CsvWriter csv(file, ColumnSet{withPercentiles, withChecks});
                for (std::size_t i = 0; i < std::size(kAwkwardValues); ++i)
                    csv.write(awkwardFrame(static_cast<long long>(i), kAwkwardValues[i]));
                file.close();
            }
            const std::vector<std::string> lines = splitOn(fileText(path), '\n');
            std::remove(path.c_str());
            ASSERT_EQ(lines.size(), std::size(kAwkwardValues) + 1);
            std::string expectedHeader = "frame,average_light_nits,largest_light_nits,above_threshold_percent";
            if (withPercentiles)
                expectedHeader += ",top1_nits,top2_nits,bottom_nits";
            if (withChecks)
                expectedHeader += ",luma_min_code,luma_max_code,luma_low_count,luma_high_count";
            EXPECT_EQ(lines[0], expectedHeader);
            for (std::size_t i = 0; i < std::size(kAwkwardValues); ++i) {
                const FrameMeasurement expected = awkwardFrame(static_cast<long long>(i), kAwkwardValues[i]);
                const std::vector<std::string> cells = splitOn(lines[i + 1], ',');
                ASSERT_EQ(cells.size(), splitOn(expectedHeader, ',').size()) << lines[i + 1];
                EXPECT_EQ(cells[0], std::to_string(i));
                std::vector<double> values = {expected.averageLightNits, expected.largestLightNits,
                                              expected.aboveThresholdPercent};
                if (withPercentiles)
                    values.insert(values.end(), {expected.top1Nits, expected.top2Nits, expected.bottomNits});
                for (std::size_t column = 0; column < values.size(); ++column)
                    EXPECT_TRUE(sameBits(std::strtod(cells[column + 1].c_str(), nullptr), values[column]))
                        << cells[column + 1];
                if (withChecks) {
                    EXPECT_EQ(std::vector<std::string>(cells.end() - 4, cells.end()),
                              (std::vector<std::string>{"4", "1019", "12", "345"}));
                }
            }
        }
    }
}

TEST(Writers, JsonLinesCarryTheSameNamesAndExactNumbers)
{
    const std::string path = scratchPath("frames.jsonl");
    {
        OutputFile file(path);
        JsonLinesWriter jsonl(file, ColumnSet{true, true});
        for (std::size_t i = 0; i < std::size(kAwkwardValues); ++i)
            jsonl.write(awkwardFrame(static_cast<long long>(i), kAwkwardValues[i]));
        file.close();
    }
    const std::vector<std::string> lines = splitOn(fileText(path), '\n');
    std::remove(path.c_str());
    ASSERT_EQ(lines.size(), std::size(kAwkwardValues));
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const nlohmann::json row = nlohmann::json::parse(lines[i]);
        const FrameMeasurement expected = awkwardFrame(static_cast<long long>(i), kAwkwardValues[i]);
        EXPECT_EQ(row.at("frame").get<long long>(), static_cast<long long>(i));
        EXPECT_TRUE(sameBits(row.at("average_light_nits").get<double>(), expected.averageLightNits)) << lines[i];
        EXPECT_TRUE(sameBits(row.at("largest_light_nits").get<double>(), expected.largestLightNits)) << lines[i];
        EXPECT_TRUE(sameBits(row.at("above_threshold_percent").get<double>(), expected.aboveThresholdPercent));
        EXPECT_TRUE(sameBits(row.at("top1_nits").get<double>(), expected.top1Nits));
        EXPECT_TRUE(sameBits(row.at("top2_nits").get<double>(), expected.top2Nits));
        EXPECT_TRUE(sameBits(row.at("bottom_nits").get<double>(), expected.bottomNits));
        EXPECT_EQ(row.at("luma_min_code").get<int>(), 4);
        EXPECT_EQ(row.at("luma_max_code").get<int>(), 1019);
        EXPECT_EQ(row.at("luma_low_count").get<long long>(), 12);
        EXPECT_EQ(row.at("luma_high_count").get<long long>(), 345);
        EXPECT_EQ(row.size(), 11u);
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
