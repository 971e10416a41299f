#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <hdrmeter/clip.h>
#include <hdrmeter/clip_hooks.h>
#include <hdrmeter/settings.h>

using namespace hdrmeter::clip;

// A request that cannot be carried out is refused with one line that mentions the setting, which each
// host spells in its own words; measure() refuses it the same way before it opens anything.
TEST(ClipApi, ValidateMentionsTheSettingForEachHostToSpell)
{
    EXPECT_EQ(validate(Request{}), "");
    EXPECT_EQ(Request{}, Request{});
    const auto commandLine = [](const std::string& message) {
        return spelled(message, [](const std::string& name, const std::string* value) {
            std::string option = "--" + name;
            for (char& c : option)
                c = c == '_' ? '-' : c;
            return option + (value ? " " + *value : "");
        });
    };
    struct Case {
        void (*change)(Request&);
        const char* spelledOnTheCommandLine;
        const char* spelledPlainly;
    } const cases[] = {
        {[](Request& r) { r.thresholdNits = 10001; }, "--threshold 10001: ", "threshold=10001: "},
        {[](Request& r) { r.top2Percent = -1; }, "--top2 -1: ", "top2=-1: "},
        {[](Request& r) { r.tasks = 4096; }, "--tasks 4096: ", "tasks=4096: "},
        {[](Request& r) { r.minSceneFrames = 0; }, "--min-scene-length 0: ", "min_scene_length=0: "},
        {[](Request& r) { r.fewPeakPixels = -1; }, "--peak-pixels -1: ", "peak_pixels=-1: "},
        {[](Request& r) { r.sceneCuts = std::vector<long long>{0, 5, 5}; }, "--scene-cuts: ", "scene_cuts: "},
        {[](Request& r) { r.plotPath = "-"; }, "--plot needs a file name", "plot needs a file name"},
        {[](Request& r) { r.raw = RawVideo{16, 8, "yuv420p"}; }, "--pix-fmt yuv420p: ", "pix_fmt=yuv420p: "},
        {[](Request& r) { r.start = 5.0, r.end = 2.5; }, "--end 2.5: give a time after --start 5",
         "end=2.5: give a time after start=5"},
        {[](Request& r) {
             r.masteringDisplay = MasteringLuminance{};
             r.masteringDisplay->primaries = std::array<double, 6>{0.7, 0.3, 0.2, 0.7, 0.1, -0.05};
             r.masteringDisplay->whitePoint = std::array<double, 2>{0.3, 0.33};
         },
         "--mastering-display 0.7,0.3,0.2,0.7,0.1,-0.05,0.3,0.33,1000,0.0001: ",
         "mastering_display=0.7,0.3,0.2,0.7,0.1,-0.05,0.3,0.33,1000,0.0001: "},
        {[](Request& r) {
             r.masteringDisplay = MasteringLuminance{};
             r.masteringDisplay->luminanceGiven = false;
         },
         "--mastering-display: give the primaries", "mastering_display: give the primaries"},
        {[](Request& r) { r.masteringDisplay = MasteringLuminance{}, r.masteringDisplay->maxNits = 1e-5; },
         "--mastering-display 1e-05,0.0001: expected", "mastering_display=1e-05,0.0001: expected"},
    };
    for (const Case& c : cases) {
        Request request;
        c.change(request);
        EXPECT_NE(request, Request{});
        const std::string reason = validate(request);
        EXPECT_EQ(commandLine(reason).rfind(c.spelledOnTheCommandLine, 0), 0u) << commandLine(reason);
        EXPECT_EQ(spelledPlainly(reason).rfind(c.spelledPlainly, 0), 0u) << spelledPlainly(reason);
        try {
            measure(request);
            ADD_FAILURE() << "measure() took " << c.spelledPlainly;
        } catch (const RequestError& error) {
            EXPECT_EQ(error.message(), reason);
            EXPECT_EQ(std::string(error.what()), spelledPlainly(reason));
        }
    }
}

// An observer that requests a stop ends the run after the frame it was told of: the report keeps every
// frame measured until then, in order, with their summary, and says the run was stopped. When frames
// measured before the automatic area was final are left out, the madVR file is not written at all.
TEST(ClipApi, AnObserverStopsTheRunAndWhatWasMeasuredIsKept)
{
    StopRequest stop;
    struct StopAfter : Observer {
        explicit StopAfter(StopRequest& stop) : stop(stop) {}
        StopRequest& stop;
        void progress(int, long long done, std::optional<long long>) override
        {
            if (done >= 7)
                stop.request("the host");
        }
    } observer(stop);
    Request request;
    request.demo = true;
    request.areaMode = AreaMode::Full;
    const Report report = measure(request, &observer, &stop);
    EXPECT_EQ(report.ending, Ending::Stopped);
    EXPECT_EQ(report.stopReason, "the host");
    ASSERT_EQ(report.frames.size(), 7u);
    EXPECT_EQ(report.summary.framesMeasured(), 7);
    for (std::size_t i = 0; i < report.frames.size(); ++i)
        EXPECT_EQ(report.frames[i].numbers.frame, static_cast<long long>(i));
    EXPECT_NE(summaryText(report).find("interrupted           by the host"), std::string::npos);
    EXPECT_NE(summaryJsonText(report).find("\"interrupted\": true"), std::string::npos);

    // 16x8 10-bit 4:2:0 frames whose two left columns are black until frame 4: the area takes them once
    // three frames have held them, at frame 6.
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
    StopRequest again;
    StopAfter stopAgain(again);
    const Report grown = measure(request, &stopAgain, &again);
    std::remove(raw.c_str());
    EXPECT_EQ(grown.framesLeftOut, 6);
    ASSERT_EQ(grown.outputFailures.size(), 1u);
    EXPECT_EQ(spelledPlainly(grown.outputFailures[0]).rfind("madvr=" + madvr + " was not written: the 6 frames before the area", 0), 0u)
        << grown.outputFailures[0];
    EXPECT_EQ(std::fopen(madvr.c_str(), "rb"), nullptr);
}

// A merge stopped while it measures a part again inside the clip's area writes nothing: no output of no
// frame in place of a good one.
TEST(ClipApi, AMergeStoppedWhileItMeasuresAPartAgainWritesNothing)
{
    const std::string folder = ::testing::TempDir(), clip = folder + "hdrmeter_boxed.mkv";
    const std::string parts[] = {folder + "hdrmeter_boxed1.hmp", folder + "hdrmeter_boxed2.hmp"};
    const std::string csv = folder + "hdrmeter_boxed.csv";
    std::remove(csv.c_str());
    // Letterboxed for its first second, whole for its second.
    ASSERT_EQ(std::system(("ffmpeg -v error -nostdin -f lavfi -i \"testsrc2=size=64x24:rate=24:duration=1,pad=64:36:0:6:"
                           "black[a];testsrc2=size=64x36:rate=24:duration=1[b];[a][b]concat=n=2,format=yuv420p10le,"
                           "setparams=color_trc=smpte2084\" -c:v ffv1 -y '" + clip + "'").c_str()),
              0);
    for (int i = 0; i < 2; ++i) {
        Request request;
        request.input = clip;
        (i == 0 ? request.end : request.start) = 1.0;
        request.partialPath = parts[i];
        ASSERT_EQ(measure(request).ending, Ending::Complete);
    }
    StopRequest stopAtOnce;
    stopAtOnce.request("the host");
    MergeRequest merging;
    merging.partials = {parts[0], parts[1]};
    merging.outputs.csvPath = csv;
    const Report stopped = merge(merging, nullptr, &stopAtOnce);
    EXPECT_EQ(stopped.ending, Ending::Stopped);
    EXPECT_EQ(std::fopen(csv.c_str(), "rb"), nullptr);
    const Report merged = merge(merging);
    EXPECT_EQ(merged.ending, Ending::Complete);
    EXPECT_EQ(merged.summary.framesMeasured(), 48);
    for (const std::string& path : {clip, parts[0], parts[1], csv})
        std::remove(path.c_str());
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

// MaxCLL traced to its frame and first pixel, and robust peaks beside it: three hot pixels in frame 2
// (measured again by the second pass, since the area grows at frame 6, the third to hold the columns that
// appear at frame 4) and one as hot in frame 9; the
// robust MaxCLL is the flat picture's light, and the metadata carry it only when asked.
TEST(ClipApi, MaxCllIsTracedToItsFirstPixelAndRobustPeaksLeaveHotPixelsOut)
{
    const std::string raw = ::testing::TempDir() + "hdrmeter_hot.raw", dovi = raw + ".dovi.json";
    std::FILE* file = std::fopen(raw.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    const int width = 64, height = 32;
    for (int frame = 0; frame < 12; ++frame)
        for (int sample = 0; sample < width * height * 3 / 2; ++sample) {
            const int x = sample % width, y = sample / width;
            std::uint16_t code = sample >= width * height ? 512 : frame < 4 && x < 2 ? 64 : 500 + frame;
            if (sample < width * height &&
                ((frame == 2 && ((y == 9 && (x == 40 || x == 21)) || (y == 20 && x == 5))) || (frame == 9 && sample == 0)))
                code = 900;
            std::fwrite(&code, 2, 1, file);
        }
    std::fclose(file);
    Request request;
    request.input = raw;
    request.raw = RawVideo{width, height, "yuv420p10le"};
    request.robustFramePercent = 99.0;
    request.robustClipPercent = 90.0;
    request.transfer = hdrmeter::Transfer::Pq;
    request.masteringDisplay = MasteringLuminance{};
    setNamedPrimaries(*request.masteringDisplay, "p3-d65");
    request.doviConfigPath = dovi;
    for (const bool robustMetadata : {false, true}) {
        request.robustMetadata = robustMetadata;
        const Report report = measure(request);
        ASSERT_EQ(report.secondPassFrames, 6);
        ASSERT_TRUE(report.maxCllTrace && report.robustPeaks);
        const PeakTrace& trace = *report.maxCllTrace;
        EXPECT_EQ(trace.nits, report.summary.maxCll().value());
        EXPECT_EQ(std::make_tuple(trace.frame, trace.x, trace.y, trace.pixels, trace.mostPixels),
                  std::make_tuple(2LL, 21, 9, 3LL, 3LL));
        // The 11th of 12 frames: by the robust light of each frame (rising frame by frame, frame 2's hot
        // pixels left out) frame 10; by average light frame 11, after frame 2 with its hot pixels.
        EXPECT_EQ(report.robustPeaks->maxCllNits, report.frames[10].numbers.largestLightNits);
        EXPECT_EQ(report.robustPeaks->maxFallNits, report.frames[11].numbers.averageLightNits);
        EXPECT_LT(report.robustPeaks->maxCllNits, trace.nits / 4);
        ASSERT_EQ(report.warnings.size(), 1u);
        EXPECT_EQ(report.warnings[0].rfind("MaxCLL " + std::to_string(wholeNits(trace.nits)) +
                                               " nits rests on 3 pixels (frame 2, x 21, y 9), fewer than 10", 0),
                  0u)
            << report.warnings[0];
        const std::string carried = std::to_string(
            wholeNits(robustMetadata ? report.robustPeaks->maxCllNits : report.summary.maxCll().value()));
        EXPECT_NE(doviConfigJsonText(report).find("\"max_content_light_level\": " + carried), std::string::npos);
        EXPECT_NE(summaryText(report).find("--max-cll \"" + carried + ","), std::string::npos);
        EXPECT_NE(summaryJsonText(report).find(robustMetadata ? "\"metadata_light_levels\": \"robust\""
                                                              : "\"metadata_light_levels\": \"measured\""),
                  std::string::npos);
    }
    std::remove(raw.c_str());
    std::remove(dovi.c_str());
}

// A new output file gets the mode the process umask gives any new file, and a file written over keeps its
// own; the library never changes the umask to find out.
TEST(ClipApi, OutputFilesTakeTheUmaskOrKeepTheirMode)
{
    const std::string csv = ::testing::TempDir() + "hdrmeter_mode.csv";
    const struct {
        mode_t umask;
        std::optional<mode_t> existing;
        mode_t expected;
    } cases[] = {{027, std::nullopt, 0640}, {022, std::nullopt, 0644}, {022, 0600, 0600}, {077, 0664, 0664}};
    for (const auto& c : cases) {
        std::remove(csv.c_str());
        if (c.existing) {
            std::fclose(std::fopen(csv.c_str(), "w"));
            ::chmod(csv.c_str(), *c.existing);
        }
        const mode_t before = ::umask(c.umask);
        Request request;
        request.demo = true;
        request.frameLimit = 2;
        request.areaMode = AreaMode::Full;
        request.csvPath = csv;
        const Report report = measure(request);
        EXPECT_EQ(::umask(before), c.umask) << "the run changed the umask";
        struct stat status {};
        ASSERT_EQ(::stat(csv.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, c.expected) << std::oct << c.umask;
        EXPECT_EQ(report.ending, Ending::Complete);
    }
    std::remove(csv.c_str());
}

// FFmpeg's lines reach the run whose input they are about: a clean file measured while a damaged one is
// measured on another thread hears nothing of the other's damage.
TEST(ClipApi, FfmpegLinesReachOnlyTheRunTheyAreAbout)
{
    const std::string clean = ::testing::TempDir() + "hdrmeter_clean.hevc", damaged = clean + ".damaged.hevc";
    const std::string make = "ffmpeg -v error -nostdin -y -f lavfi -i testsrc2=size=128x72:rate=24 -frames:v 48 "
                             "-pix_fmt yuv420p10le -c:v libx265 -x265-params log-level=error:keyint=12 " + clean +
                             " && ffmpeg -v error -nostdin -y -i " + clean +
                             " -c copy -bsf:v \"noise=drop='eq(n\\,1)'\" -f hevc " + damaged;
    ASSERT_EQ(std::system(make.c_str()), 0);
    captureLibavMessages({});
    struct Lines : Observer {
        std::vector<std::string> lines;
        void ffmpegMessage(int, const std::string& line) override { lines.push_back(line); }
    };
    for (int round = 0; round < 3; ++round) {
        Lines cleanLines, damagedLines;
        Request cleanRequest, damagedRequest;
        cleanRequest.input = clean;
        damagedRequest.input = damaged;
        damagedRequest.acceptDamaged = true;
        std::thread other([&] { measure(damagedRequest, &damagedLines); });
        const Report report = measure(cleanRequest, &cleanLines);
        other.join();
        EXPECT_EQ(report.ending, Ending::Complete);
        EXPECT_TRUE(cleanLines.lines.empty()) << cleanLines.lines.front();
        EXPECT_FALSE(damagedLines.lines.empty());
    }
    std::remove(clean.c_str());
    std::remove(damaged.c_str());
}

// A start or end given in seconds, as a clock time or as a timecode names the same first frame whichever
// container rounding the times went through; a timecode counts whole frames a second at the stream's own
// rate (24 at 23.976, so 00:01:00:00 is frame 1440, 60.06 s in, where 60 s is frame 1439), and drop-frame
// timecode skips the labels it skips. A frame count the rate does not have is refused in one line.
TEST(ClipApi, TimesAndTimecodesNameTheFirstFrameMeasured)
{
    const std::string folder = ::testing::TempDir();
    const struct {
        const char* name;
        const char* rate;
        int seconds;
    } clips[] = {{"film", "24000/1001", 62}, {"pal", "25", 3}, {"ntsc", "30000/1001", 61}};
    for (const auto& clip : clips)
        ASSERT_EQ(std::system(("ffmpeg -v error -nostdin -y -f lavfi -i \"testsrc2=size=64x36:rate=" +
                               std::string(clip.rate) + ":duration=" + std::to_string(clip.seconds) +
                               ",format=yuv420p10le,setparams=color_trc=smpte2084\" -c:v ffv1 '" + folder +
                               "hdrmeter_rate_" + clip.name + ".mkv'")
                                  .c_str()),
                  0);
    const struct {
        const char* clip;
        const char* start;
        const char* end;
        long long firstFrame;
        long long frames;        // with no end: 3, the frame limit
        const char* refusal;     // the start of the one line, or "" when measured
    } cases[] = {
        {"pal", "1", "", 25, 3, ""},
        {"pal", "00:00:01.000", "", 25, 3, ""},
        {"pal", "00:00:01:00", "", 25, 3, ""},
        {"pal", "00:00:01:12", "", 37, 3, ""},
        {"pal", "00:00:00:00", "00:00:00:02", 0, 2, ""},
        {"pal", "00:00:01:24", "2", 49, 1, ""},
        {"pal", "00:00:01:25", "", 0, 0, "start=00:00:01:25: a timecode at this video's 25 frames a second counts "
                                         "frames 0 to 24; give a frame below 25"},
        {"pal", "00:00:01;02", "", 0, 0, "start=00:00:01;02: drop-frame timecode (';') counts 29.97 or 59.94"},
        {"pal", "00:00:02:00", "1.5", 0, 0, "end=1.5: give a time after start=00:00:02:00, which at this video's "
                                           "rate lies at 1.98 s"},
        {"film", "1", "", 24, 3, ""},
        {"film", "60", "", 1439, 3, ""},
        {"film", "00:01:00:00", "", 1440, 3, ""},
        {"film", "00:00:01:23", "00:00:02:01", 47, 2, ""},
        {"film", "00:00:01:24", "", 0, 0, "start=00:00:01:24: a timecode at this video's 23.976 frames a second "
                                         "counts frames 0 to 23; give a frame below 24"},
        {"ntsc", "00:01:00;02", "", 1800, 3, ""},
        {"ntsc", "00:01:00:02", "", 1802, 3, ""},
        {"ntsc", "00:00:59;29", "00:01:00;03", 1799, 2, ""},
        {"ntsc", "00:01:00;01", "", 0, 0, "start=00:01:00;01: drop-frame timecode skips frames 0 to 1 of this "
                                         "minute; give the next frame, 2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.clip) + " " + c.start + " " + c.end);
        Request request;
        request.input = folder + "hdrmeter_rate_" + c.clip + ".mkv";
        setSetting(request, *findSetting("start"), c.start);
        setSetting(request, *findSetting("end"), c.end);
        if (!*c.end)
            request.frameLimit = 3;
        try {
            const Report report = measure(request);
            ASSERT_EQ(*c.refusal, '\0') << "measured";
            ASSERT_EQ(report.frames.size(), static_cast<std::size_t>(c.frames));
            EXPECT_EQ(report.frames.front().numbers.frame, c.firstFrame);
            EXPECT_EQ(report.frames.back().numbers.frame, c.firstFrame + c.frames - 1);
        } catch (const RequestError& error) {
            EXPECT_EQ(std::string(error.what()).rfind(c.refusal, 0), 0u) << error.what();
            EXPECT_NE(*c.refusal, '\0');
        }
    }
    for (const auto& clip : clips)
        std::remove((folder + "hdrmeter_rate_" + clip.name + ".mkv").c_str());
}
