#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <hdrmeter/clip.h>
#include <hdrmeter/settings.h>

using namespace hdrmeter::clip;

namespace {

bool run(const std::string& command)
{
    return std::system(command.c_str()) == 0;
}

std::string fileText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

std::string uuid(int n)
{
    char text[64];
    std::snprintf(text, sizeof text, "urn:uuid:5e9a1c2d-0000-4000-8000-%012d", n);
    return text;
}

// A composition of two reels, each one resource of the main image sequence, and its asset map.
void writeComposition(const std::string& folder, int firstReelFrames, int secondReelFrames)
{
    std::string segments;
    const int frames[] = {firstReelFrames, secondReelFrames};
    for (int reel = 0; reel < 2; ++reel)
        segments += "<Segment><Id>" + uuid(10 + reel) + "</Id><SequenceList><cc:MainImageSequence><Id>" +
                    uuid(20 + reel) + "</Id><TrackId>" + uuid(2) + "</TrackId><ResourceList><Resource><Id>" +
                    uuid(30 + reel) + "</Id><IntrinsicDuration>" + std::to_string(frames[reel]) +
                    "</IntrinsicDuration><TrackFileId>" + uuid(100 + reel) +
                    "</TrackFileId></Resource></ResourceList></cc:MainImageSequence></SequenceList></Segment>";
    writeFile(folder + "CPL_test.xml",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<CompositionPlaylist "
              "xmlns=\"http://www.smpte-ra.org/schemas/2067-3/2016\" "
              "xmlns:cc=\"http://www.smpte-ra.org/schemas/2067-2/2016\"><Id>" + uuid(1) +
                  "</Id><ContentTitle>Reels &amp; Sequences</ContentTitle><EditRate>24 1</EditRate><SegmentList>" +
                  segments + "</SegmentList></CompositionPlaylist>\n");
    writeFile(folder + "ASSETMAP.xml",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<AssetMap "
              "xmlns=\"http://www.smpte-ra.org/schemas/429-9/2007/AM\"><Id>" + uuid(3) + "</Id><AssetList>"
              "<Asset><Id>" + uuid(100) + "</Id><ChunkList><Chunk><Path>reel1.mxf</Path></Chunk></ChunkList></Asset>"
              "<Asset><Id>" + uuid(101) + "</Id><ChunkList><Chunk><Path>reel2.mxf</Path></Chunk></ChunkList></Asset>"
              "</AssetList></AssetMap>\n");
}

struct Segment {
    double start;
    std::optional<double> end;
};

}  // namespace

// Image sequences and IMF compositions give the frames a video of the same pictures gives, numbered from
// the first image; a missing image is named by its file and a broken one is a damaged frame; segments of
// either merge into the whole run's bytes, across the reels' boundary too.
TEST(Sequences, ImagesAndCompositionsMeasureAsTheirFramesInAVideo)
{
    const std::string folder = ::testing::TempDir() + "hdrmeter_sequences/";
    // Twelve JPEG 2000 images numbered from 7, each frame brighter than the one before, so that a frame
    // measured in another's place shows; the same pictures losslessly as a video, and in two MXF reels.
    const std::string images = folder + "seq/m_%04d.j2c";
    ASSERT_TRUE(run("rm -rf " + folder + " && mkdir -p " + folder + "seq"));
    if (!run("ffmpeg -v error -nostdin -y -f lavfi -i \"nullsrc=s=64x48:r=24,format=yuv444p10le,"
             "geq=lum='64+4*X+40*N':cb='512+2*Y':cr=512\" -frames:v 12 -c:v libopenjpeg -start_number 7 " + images))
        GTEST_SKIP() << "this ffmpeg cannot write 10-bit JPEG 2000 images (libopenjpeg)";
    ASSERT_TRUE(run("ffmpeg -v error -nostdin -y -framerate 24 -start_number 7 -i " + images + " -c:v ffv1 " + folder +
                    "clip.mkv"));
    // The same folder with image 10 (frame 3) gone, and with image 12 (frame 5) not a picture.
    ASSERT_TRUE(run("cp -r " + folder + "seq " + folder + "gap && rm " + folder + "gap/m_0010.j2c"));
    ASSERT_TRUE(run("cp -r " + folder + "seq " + folder + "broken"));
    // R'G'B' masters: 16-bit TIFF and 10-bit DPX sequences (FFmpeg's DPX writer tags them linear, hence
    // --transfer pq throughout), each beside the same pictures in FFV1.
    const std::string rgb = "ffmpeg -v error -nostdin -y -f lavfi -i \"nullsrc=s=64x48:r=24,format=";
    ASSERT_TRUE(run("mkdir -p " + folder + "tif " + folder + "dpx && " + rgb +
                    "gbrp16le,geq=r='4000+800*X+2000*N':g='3000+100*Y':b=2000,format=rgb48le\" -frames:v 6 "
                    "-start_number 1 " + folder + "tif/t_%03d.tif && " + rgb +
                    "gbrp10le,geq=r='100+8*X+40*N':g='300+Y':b=200\" -frames:v 6 -start_number 3 " + folder +
                    "dpx/d_%05d.dpx"));
    ASSERT_TRUE(run("ffmpeg -v error -nostdin -y -framerate 24 -start_number 1 -i " + folder + "tif/t_%03d.tif -c:v ffv1 " +
                    folder + "tif.mkv && ffmpeg -v error -nostdin -y -framerate 24 -start_number 3 -i " + folder +
                    "dpx/d_%05d.dpx -c:v ffv1 " + folder + "dpx.mkv"));
    writeFile(folder + "broken/m_0012.j2c", std::string(300, '\x5a'));
    ASSERT_TRUE(run("cp -r " + folder + "seq " + folder + "first"));
    writeFile(folder + "first/m_0007.j2c", std::string(300, '\x5a'));
    const bool composition =
        run("ffmpeg -v error -hide_banner -demuxers | grep -qw imf") &&
        run("ffmpeg -v error -nostdin -y -framerate 24 -start_number 7 -i " + images + " -frames:v 5 -c:v copy -f mxf " +
            folder + "reel1.mxf") &&
        run("ffmpeg -v error -nostdin -y -framerate 24 -start_number 12 -i " + images + " -c:v copy -f mxf " + folder +
            "reel2.mxf");
    if (composition)
        writeComposition(folder, 5, 7);

    const auto measured = [](const std::string& input, bool acceptDamaged = false) {
        Request request;
        request.input = input;
        request.acceptDamaged = acceptDamaged;
        request.areaMode = AreaMode::Full;
        request.transfer = hdrmeter::Transfer::Pq;
        return measure(request);
    };
    const Report video = measured(folder + "clip.mkv");
    const Report tif = measured(folder + "tif.mkv"), dpx = measured(folder + "dpx.mkv");
    // A video keeps its own times, and a rate given for a sequence is said to go unused.
    Request rated;
    rated.input = folder + "clip.mkv";
    rated.frameRate = {25, 1};
    const Report ratedVideo = measure(rated);
    EXPECT_TRUE(std::any_of(ratedVideo.warnings.begin(), ratedVideo.warnings.end(), [](const std::string& warning) {
        return spelledPlainly(warning).rfind("frame_rate is for image sequences", 0) == 0;
    }));
    EXPECT_EQ(*ratedVideo.stream.frameRate, std::make_pair(24, 1));
    ASSERT_EQ(tif.frames.size(), 6u) << tif.failure;
    ASSERT_EQ(dpx.frames.size(), 6u) << dpx.failure;
    ASSERT_EQ(video.ending, Ending::Complete) << video.failure;
    ASSERT_EQ(video.frames.size(), 12u);
    std::vector<FrameRecord> reels;
    if (composition)
        for (const char* reel : {"reel1.mxf", "reel2.mxf"}) {
            const Report apart = measured(folder + reel);
            ASSERT_EQ(apart.ending, Ending::Complete) << apart.failure;
            reels.insert(reels.end(), apart.frames.begin(), apart.frames.end());
        }
    ASSERT_TRUE(!composition || reels.size() == 12u);

    // The plan of the sequence, for its segments: every image is a key frame, so four frames each.
    SegmentPlanRequest plan;
    plan.input = images;
    plan.segments = 3;
    const std::vector<TimeSegment> segments = planSegments(plan);
    ASSERT_EQ(segments.size(), 3u);
    // Frames 4 and 8, at 4/24 and 8/24 s taken down to the microsecond; the last frame's time and one.
    EXPECT_EQ(segments[1].startMicroseconds, 166666);
    EXPECT_EQ(segments[2].startMicroseconds, 333333);
    EXPECT_EQ(segments[2].endMicroseconds, 458334);
    std::vector<Segment> planned;
    for (const TimeSegment& segment : segments)
        planned.push_back({segment.startMicroseconds / 1e6, segment.endMicroseconds / 1e6});

    const struct {
        const char* what;
        std::string input;
        const std::vector<FrameRecord>* reference;  // the same pictures measured as a video; null: the reels
        bool imf;
        bool acceptDamaged;
        std::vector<long long> frames;    // expected, as numbered
        std::vector<long long> damaged;
        std::vector<long long> missing;
        std::string named;                // a file the failure or a warning names
        std::vector<Segment> segments;    // measured apart and merged, to the whole run's bytes
    } cases[] = {
        {"a printf pattern", images, &video.frames, false, false, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, {}, {}, "", {}},
        {"a folder", folder + "seq", &video.frames, false, false, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, {}, {}, "", {}},
        {"a glob", folder + "seq/m_*.j2c", &video.frames, false, false, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, {}, {}, "", {}},
        {"a missing image ends the run", folder + "gap", &video.frames, false, false, {0, 1, 2}, {}, {}, "gap/m_0010.j2c", {}},
        {"a missing image measured through", folder + "gap", &video.frames, false, true, {0, 1, 2, 4, 5, 6, 7, 8, 9, 10, 11}, {}, {3},
         "gap/m_0010.j2c", {}},
        {"an undecodable image ends the run", folder + "broken", &video.frames, false, false, {0, 1, 2, 3, 4}, {}, {},
         "broken/m_0012.j2c", {}},
        {"an undecodable image is a damaged frame", folder + "broken", &video.frames, false, true,
         {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, {5}, {}, "", {}},
        {"an undecodable first image", folder + "first", &video.frames, false, true,
         {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, {0}, {}, "", {}},
        {"a 16-bit R'G'B' TIFF folder", folder + "tif", &tif.frames, false, false, {0, 1, 2, 3, 4, 5}, {}, {}, "", {}},
        {"a 10-bit R'G'B' DPX pattern", folder + "dpx/d_%05d.dpx", &dpx.frames, false, false, {0, 1, 2, 3, 4, 5}, {}, {}, "", {}},
        {"segments of a sequence", images, &video.frames, false, false, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, {}, {}, "", planned},
        {"a composition of two reels", folder + "CPL_test.xml", nullptr, true, false, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11},
         {}, {}, "", {}},
        {"segments across the reels' boundary", folder + "CPL_test.xml", nullptr, true, false,
         {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, {}, {}, "", {{0, 0.125}, {0.125, 0.3}, {0.3, std::nullopt}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // The compositions come last: what is skipped is only what this FFmpeg cannot do.
        if (c.imf && !composition)
            GTEST_SKIP() << "this FFmpeg has no imf demuxer or cannot write JPEG 2000 in MXF";
        const std::vector<FrameRecord>& reference = c.reference ? *c.reference : reels;
        Request request;
        request.input = c.input;
        request.acceptDamaged = c.acceptDamaged;
        request.areaMode = AreaMode::Full;
        request.transfer = hdrmeter::Transfer::Pq;
        request.csvPath = folder + "whole.csv";
        const Report report = measure(request);
        const bool ends = c.frames.size() + c.missing.size() < reference.size();
        EXPECT_EQ(report.ending, ends ? Ending::Failed : Ending::Complete) << report.failure;
        ASSERT_EQ(report.frames.size(), c.frames.size());
        for (std::size_t i = 0; i < c.frames.size(); ++i) {
            const FrameMeasurement& got = report.frames[i].numbers;
            ASSERT_EQ(got.frame, c.frames[i]);
            const bool damaged = std::find(c.damaged.begin(), c.damaged.end(), got.frame) != c.damaged.end();
            EXPECT_EQ(report.frames[i].damaged, damaged) << "frame " << got.frame;
            if (damaged)
                continue;
            const FrameMeasurement& expected = reference[static_cast<std::size_t>(got.frame)].numbers;
            EXPECT_EQ(got.averageLightNits, expected.averageLightNits) << "frame " << got.frame;
            EXPECT_EQ(got.largestLightNits, expected.largestLightNits) << "frame " << got.frame;
            EXPECT_EQ(got.top1Nits, expected.top1Nits) << "frame " << got.frame;
        }
        EXPECT_EQ(report.damagedFrames, c.damaged);
        EXPECT_EQ(report.missingFrames, c.missing);
        if (!c.named.empty()) {
            std::string said = report.failure;
            for (const std::string& warning : report.warnings)
                said += "\n" + warning;
            EXPECT_NE(said.find(c.named), std::string::npos) << said;
        }
        if (c.imf) {
            EXPECT_NE(report.stream.container.find("\"Reels & Sequences\" of 2 reels (reel1.mxf and reel2.mxf)"),
                      std::string::npos) << report.stream.container;
            ASSERT_TRUE(report.stream.frameRate);
            EXPECT_EQ(*report.stream.frameRate, std::make_pair(24, 1));
        }
        if (c.segments.empty())
            continue;
        MergeRequest merging;
        for (std::size_t i = 0; i < c.segments.size(); ++i) {
            Request part = request;
            part.csvPath.clear();
            part.start = c.segments[i].start;
            part.end = c.segments[i].end;
            part.partialPath = folder + "part" + std::to_string(i) + ".hmp";
            const Report segment = measure(part);
            ASSERT_EQ(segment.ending, Ending::Complete) << segment.failure;
            EXPECT_GT(segment.frames.size(), 0u);
            merging.partials.push_back(part.partialPath);
        }
        merging.outputs.csvPath = folder + "merged.csv";
        const Report merged = merge(merging);
        ASSERT_EQ(merged.ending, Ending::Complete) << merged.failure;
        EXPECT_EQ(fileText(folder + "merged.csv"), fileText(folder + "whole.csv"));
    }
    run("rm -rf " + folder);
}
