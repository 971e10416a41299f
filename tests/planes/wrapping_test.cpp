#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "plane_test_support.h"

namespace {

const int kUntouched = -7;

// Every export called on one plane pointer of the given size; the other planes of the three-plane
// exports are valid, so a refusal can only come from the plane under test. Outputs start at kUntouched.
struct ExportOutputs {
    double minValue = kUntouched;
    double maxValue = kUntouched;
    int counts[7] = {kUntouched, kUntouched, kUntouched, kUntouched, kUntouched, kUntouched, kUntouched};
    unsigned int violationCount = static_cast<unsigned int>(kUntouched);
};

struct ExportCall {
    std::string name;
    std::function<void(void* plane, unsigned int width, unsigned int height, ExportOutputs& outputs)> call;
};

std::vector<ExportCall> everyExport()
{
    static std::vector<float> validPlane(64, 0.5f);
    return {
        {"ocvfilter2D",
         [](void* plane, unsigned int w, unsigned int h, ExportOutputs&) {
             unsigned char* planes[] = {static_cast<unsigned char*>(plane)};
             ocvfilter2D(planes, w, h, 10, 2);
         }},
        {"ocvfilter2D_32F",
         [](void* plane, unsigned int w, unsigned int h, ExportOutputs&) {
             float* planes[] = {static_cast<float*>(plane)};
             ocvfilter2D_32F(planes, w, h, 2);
         }},
        {"ocvFindMinMax",
         [](void* plane, unsigned int w, unsigned int h, ExportOutputs& out) {
             ocvFindMinMax(static_cast<unsigned char*>(plane), &out.minValue, &out.maxValue, w, h, 8);
         }},
        {"ocvFindMinMax_32F",
         [](void* plane, unsigned int w, unsigned int h, ExportOutputs& out) {
             ocvFindMinMax_32F(static_cast<float*>(plane), &out.minValue, &out.maxValue, w, h);
         }},
        {"ocvClampMinMax_32F",
         [](void* plane, unsigned int w, unsigned int h, ExportOutputs&) {
             ocvClampMinMax_32F(static_cast<float*>(plane), 0.0, 1.0, w, h);
         }},
        {"ocvCountCheck_32F",
         [](void* plane, unsigned int w, unsigned int h, ExportOutputs& out) {
             ocvCountCheck_32F(validPlane.data(), static_cast<float*>(plane), validPlane.data(), &out.counts[0],
                               &out.counts[1], &out.counts[2], &out.counts[3], w, h, 1.0f, 0.0f);
         }},
        {"ocvCountCheckRGB_32F",
         [](void* plane, unsigned int w, unsigned int h, ExportOutputs& out) {
             int* cells[7];
             for (int index = 0; index < 7; ++index) {
                 cells[index] = &out.counts[index];
             }
             ocvCountCheckRGB_32F(validPlane.data(), validPlane.data(), static_cast<float*>(plane), &cells[0],
                                  &cells[1], &cells[2], &cells[3], &cells[4], &cells[5], &cells[6], w, h, 1.0f, 0.0f);
         }},
        {"ocvFindLumaViolations",
         [](void* plane, unsigned int w, unsigned int h, ExportOutputs& out) {
             ocvFindLumaViolations(static_cast<unsigned char*>(plane), w, h, 10, 64.0f, 940.0f, &out.violationCount,
                                   &out.counts[0], &out.counts[1]);
         }},
    };
}

bool allUntouched(const ExportOutputs& outputs)
{
    bool untouched = outputs.minValue == kUntouched && outputs.maxValue == kUntouched &&
                     outputs.violationCount == static_cast<unsigned int>(kUntouched);
    for (int count : outputs.counts) {
        untouched = untouched && count == kUntouched;
    }
    return untouched;
}

}  // namespace

TEST(PlaneWrapping, NullPlaneWithSamplesIsRefusedBeforeAnythingIsWritten)
{
    for (const ExportCall& entry : everyExport()) {
        SCOPED_TRACE(entry.name);
        ExportOutputs outputs;
        try {
            entry.call(nullptr, 4, 2, outputs);
            ADD_FAILURE() << "no exception";
        } catch (const cv::Exception& error) {
            EXPECT_EQ(error.code, -215);
            EXPECT_NE(error.err.find("total() == 0 || data != NULL"), std::string::npos) << error.err;
        }
        EXPECT_TRUE(allUntouched(outputs));
    }
}

// An empty plane raises nothing in any export: the filters and the clamp change nothing, the minimum and
// maximum come out as OpenCV's 0 and 0, and every count is 0.
TEST(PlaneWrapping, EmptyPlanesAreAccepted)
{
    const std::vector<std::pair<unsigned int, unsigned int>> emptySizes = {{0, 4}, {4, 0}, {0, 0}};
    for (const ExportCall& entry : everyExport()) {
        for (const auto& size : emptySizes) {
            for (bool nullPlane : {true, false}) {
                SCOPED_TRACE(entry.name + " " + std::to_string(size.first) + "x" + std::to_string(size.second) +
                             (nullPlane ? " null" : " non-null"));
                std::vector<float> sentinel(8, 42.0f);
                ExportOutputs outputs;
                EXPECT_NO_THROW(entry.call(nullPlane ? nullptr : sentinel.data(), size.first, size.second, outputs));
                EXPECT_EQ(sentinel, std::vector<float>(8, 42.0f));
                const bool minMax = entry.name.rfind("ocvFindMinMax", 0) == 0;
                EXPECT_EQ(outputs.minValue, minMax ? 0.0 : kUntouched);
                EXPECT_EQ(outputs.maxValue, minMax ? 0.0 : kUntouched);
                const bool luma = entry.name == "ocvFindLumaViolations";
                const int countsWritten =
                    entry.name == "ocvCountCheck_32F" ? 4 : entry.name == "ocvCountCheckRGB_32F" ? 7 : luma ? 2 : 0;
                for (int index = 0; index < 7; ++index) {
                    EXPECT_EQ(outputs.counts[index], index < countsWritten ? 0 : kUntouched) << index;
                }
                EXPECT_EQ(outputs.violationCount, luma ? 0u : static_cast<unsigned int>(kUntouched));
            }
        }
    }
}
