#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include <hdrmeter/clip.h>

using namespace hdrmeter::clip;

// A request that cannot be carried out is refused with one line naming the setting as each front end
// spells it; measure() refuses it the same way before it opens anything.
TEST(ClipApi, ValidateNamesTheSettingInEachSpelling)
{
    EXPECT_EQ(validate(Request{}), "");
    EXPECT_EQ(Request{}, Request{});
    struct Case {
        void (*change)(Request&);
        const char* commandLine;
        const char* python;
    } const cases[] = {
        {[](Request& r) { r.thresholdNits = 10001; }, "--threshold 10001: ", "threshold=10001: "},
        {[](Request& r) { r.top2Percent = -1; }, "--top2 -1: ", "top2=-1: "},
        {[](Request& r) { r.tasks = 4096; }, "--tasks 4096: ", "tasks=4096: "},
        {[](Request& r) { r.minSceneFrames = 0; }, "--min-scene-length 0: ", "min_scene_length=0: "},
        {[](Request& r) { r.sceneCuts = std::vector<long long>{0, 5, 5}; }, "--scene-cuts: ", "scene_cuts: "},
        {[](Request& r) { r.plotPath = "-"; }, "--plot needs a file name", "plot needs a file name"},
        {[](Request& r) { r.raw = RawVideo{16, 8, "yuv420p"}; }, "--pix-fmt yuv420p: ", "pix_fmt=yuv420p: "},
        {[](Request& r) {
             r.masteringDisplay = MasteringLuminance{};
             r.masteringDisplay->primaries = std::array<double, 6>{0.7, 0.3, 0.2, 0.7, 0.1, -0.05};
             r.masteringDisplay->whitePoint = std::array<double, 2>{0.3, 0.33};
         },
         "--mastering-display 0.7,0.3,0.2,0.7,0.1,-0.05,0.3,0.33: ", "mastering_display=(0.7,0.3,0.2,0.7,0.1,-0.05,0.3,0.33): "},
        {[](Request& r) {
             r.masteringDisplay = MasteringLuminance{};
             r.masteringDisplay->luminanceGiven = false;
         },
         "--mastering-display: give the primaries", "mastering_display: give the primaries"},
    };
    for (const Case& c : cases) {
        Request request;
        c.change(request);
        EXPECT_NE(request, Request{});
        EXPECT_EQ(validate(request).rfind(c.commandLine, 0), 0u) << validate(request);
        EXPECT_EQ(validate(request, Spelling::Python).rfind(c.python, 0), 0u) << validate(request, Spelling::Python);
        EXPECT_THROW(measure(request, Spelling::Python), RequestError);
    }
}

// An observer that asks to stop ends the run after the frame it was told of: the report keeps every
// frame measured until then, in order, with their summary, and says the run was stopped. When frames
// measured before the automatic area was final are left out, the madVR file is not written at all.
TEST(ClipApi, AnObserverStopsTheRunAndWhatWasMeasuredIsKept)
{
    struct StopAfter : Observer {
        long long frames = 0;
        void progress(int, long long done, std::optional<long long>) override { frames = done; }
        bool stopRequested() override { return frames >= 7; }
    } observer;
    Request request;
    request.demo = true;
    request.areaMode = AreaMode::Full;
    const Report report = measure(request, &observer);
    EXPECT_EQ(report.ending, Ending::Stopped);
    EXPECT_EQ(report.stopReason, "the host");
    ASSERT_EQ(report.frames.size(), 7u);
    EXPECT_EQ(report.summary.framesMeasured(), 7);
    for (std::size_t i = 0; i < report.frames.size(); ++i)
        EXPECT_EQ(report.frames[i].numbers.frame, static_cast<long long>(i));
    EXPECT_NE(summaryText(report).find("interrupted           by the host"), std::string::npos);
    EXPECT_NE(summaryJsonText(report).find("\"interrupted\": true"), std::string::npos);

    // 16x8 10-bit 4:2:0 frames whose two left columns are black until frame 4.
    const std::string raw = ::testing::TempDir() + "hdrmeter_grows.raw", madvr = raw + ".bin";
    std::remove(madvr.c_str());
    std::FILE* file = std::fopen(raw.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    for (int frame = 0; frame < 12; ++frame)
        for (int sample = 0; sample < 16 * 8 + 2 * 8 * 4; ++sample) {
            const bool luma = sample < 16 * 8, bar = frame < 4 && (luma ? sample % 16 < 2 : (sample - 128) % 8 == 0);
            const std::uint16_t code = luma ? (bar ? 64 : 500) : (bar ? 512 : 400);
            std::fwrite(&code, 2, 1, file);
        }
    std::fclose(file);
    request = Request{};
    request.input = raw;
    request.raw = RawVideo{16, 8, "yuv420p10le"};
    request.madvrPath = madvr;
    observer.frames = 0;
    const Report grown = measure(request, &observer);
    std::remove(raw.c_str());
    EXPECT_EQ(grown.framesLeftOut, 4);
    ASSERT_EQ(grown.outputFailures.size(), 1u);
    EXPECT_EQ(grown.outputFailures[0].rfind("--madvr " + madvr + " was not written: the 4 frames before the area", 0), 0u)
        << grown.outputFailures[0];
    EXPECT_EQ(std::fopen(madvr.c_str(), "rb"), nullptr);
}

// A scene cut list written by an editor that begins it with a byte-order mark is read; cuts past the
// clip's end are said, not dropped in silence.
TEST(ClipApi, SceneCutFilesWithAByteOrderMarkAndCutsPastTheEnd)
{
    const std::string path = ::testing::TempDir() + "hdrmeter_cuts.txt";
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fputs("\xEF\xBB\xBF" "0\n20\n500\n", file);
    std::fclose(file);
    Request request;
    request.demo = true;
    request.areaMode = AreaMode::Full;
    request.frameLimit = 30;
    request.sceneCutsFile = path;
    const Report report = measure(request);
    std::remove(path.c_str());
    ASSERT_EQ(report.scenes.size(), 2u);
    EXPECT_EQ(report.scenes[1].firstFrame, 20);
    ASSERT_EQ(report.warnings.size(), 1u);
    EXPECT_EQ(report.warnings[0], "the scene cuts at 500 lie past the clip's last frame, 29, and were not used");
}
