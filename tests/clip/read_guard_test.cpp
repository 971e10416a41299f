#include <signal.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <cstdio>
#include <optional>

#include <hdrmeter/clip_hooks.h>

#include "clip_run.h"
#include "test_files.h"

namespace {

// True when address lies in a mapping of the file at path (its canonical name, as /proc/self/maps gives it).
bool inMappingOf(const void* address, const std::string& path)
{
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    std::istringstream maps(readWholeFile("/proc/self/maps"));
    for (std::string line; std::getline(maps, line);) {
        unsigned long begin = 0, end = 0;
        if (std::sscanf(line.c_str(), "%lx-%lx", &begin, &end) == 2 && at >= begin && at < end)
            return line.size() > path.size() && line.compare(line.size() - path.size(), path.size(), path) == 0;
    }
    return false;
}

struct ClipReading {
    std::vector<std::array<double, 6>> numbers;
    bool everyFrameMapped = true;
    std::string failure;
};

// With cutTo, the file is cut to that many bytes once two frames were measured, as another program might.
ClipReading readClip(const std::string& path, std::optional<off_t> cutTo = std::nullopt)
{
    hdrmeter::clip::ClipOptions options;
    options.source.path = path;
    hdrmeter::clip::ClipRun run(options, nullptr);
    ClipReading reading;
    while (const std::optional<hdrmeter::FrameView> view = run.decode()) {
        reading.everyFrameMapped = reading.everyFrameMapped && inMappingOf(view->planes[0], path);
        const std::optional<hdrmeter::clip::FrameMeasurement> measured = run.measure(*view, hdrmeter::ActiveArea{});
        if (!measured)
            break;
        reading.numbers.push_back({measured->averageLightNits, measured->largestLightNits, measured->aboveThresholdPercent,
                                   measured->top1Nits, measured->top2Nits, measured->bottomNits});
        if (cutTo && reading.numbers.size() == 2) {
            EXPECT_EQ(truncate(path.c_str(), *cutTo), 0);
        }
    }
    reading.failure = run.failure();
    return reading;
}

}  // namespace

// A library host that leaves the SIGBUS guard out keeps its own signal disposition, and its YUV4MPEG2 file
// is read through libavformat's packets instead of being mapped: with the same numbers, bit for bit, as
// the mapped frames give once the guard is installed.
TEST(FfmpegClient, WithoutTheReadGuardYuv4mpegIsReadAsPacketsWithTheMappedNumbers)
{
    ScratchDirectory scratch;
    ASSERT_EQ(runCommand(scratch, "ffmpeg -v error -nostdin -f lavfi -i testsrc2=size=64x36:rate=25 -frames:v 3 -pix_fmt "
                                "yuv422p10le -strict -1 -f yuv4mpegpipe -y clip.y4m").exitStatus, 0);
    // The frames start at an even offset (a header of odd length would make the mapped reader copy them).
    std::string bytes = readWholeFile(scratch.file("clip.y4m"));
    if ((bytes.find('\n') + 1 + std::string("FRAME\n").size()) % 2 != 0) {
        bytes.insert(bytes.find('\n'), " Xo=1");
        std::ofstream(scratch.file("clip.y4m"), std::ios::binary) << bytes;
    }
    char canonical[PATH_MAX];
    ASSERT_NE(realpath(scratch.file("clip.y4m").c_str(), canonical), nullptr);

    // A file cut behind the reader is no end of the clip, whichever way it is read.
    const std::string cut = std::string(canonical) + ".cut.y4m";
    const auto readCut = [&] {
        std::ofstream(cut, std::ios::binary) << bytes;
        return readClip(cut, static_cast<off_t>(bytes.find("FRAME", bytes.find("FRAME") + 1)));
    };

    struct sigaction before {}, after {};
    ASSERT_EQ(sigaction(SIGBUS, nullptr, &before), 0);
    const ClipReading asPackets = readClip(canonical), cutAsPackets = readCut();
    ASSERT_EQ(sigaction(SIGBUS, nullptr, &after), 0);
    EXPECT_EQ(after.sa_handler, before.sa_handler);
    EXPECT_EQ(after.sa_flags, before.sa_flags);

    hdrmeter::clip::installMappedReadGuard();
    const ClipReading mapped = readClip(canonical), cutMapped = readCut();
    for (const ClipReading* reading : {&cutAsPackets, &cutMapped})
        EXPECT_NE(reading->failure.find("the input file shrank to "), std::string::npos) << reading->failure;
    ASSERT_EQ(sigaction(SIGBUS, nullptr, &after), 0);
    EXPECT_NE(after.sa_flags & SA_SIGINFO, 0) << "the guard is what changes the disposition";

    EXPECT_FALSE(asPackets.everyFrameMapped);
    EXPECT_TRUE(mapped.everyFrameMapped);
    EXPECT_EQ(asPackets.failure + "|" + mapped.failure, "|");
    ASSERT_EQ(asPackets.numbers.size(), 3u);
    ASSERT_EQ(mapped.numbers.size(), 3u);
    for (std::size_t frame = 0; frame < 3; ++frame)
        for (std::size_t column = 0; column < 6; ++column)
            EXPECT_TRUE(sameBits(asPackets.numbers[frame][column], mapped.numbers[frame][column])) << frame << column;
}
