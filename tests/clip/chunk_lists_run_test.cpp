#include <nlohmann/json.hpp>

#include "measure_support.h"

namespace {

const std::string kFfmpeg = "ffmpeg -v error -nostdin -y ";

// The key frames of a stream, by frame number in presentation order.
std::string keyFrames(const ScratchDirectory& scratch, const std::string& file)
{
    const ProgramRun probe = runCommand(scratch, "ffprobe -v error -select_streams v:0 -show_entries frame=key_frame "
                                               "-of csv=p=0 " + file);
    // A frame with side data has a line of its own after it, empty.
    std::string frames;
    long long frame = 0;
    for (const std::string& line : split(probe.out)) {
        if (line.empty())
            continue;
        if (line.rfind("1", 0) == 0)
            frames += (frames.empty() ? "" : " ") + std::to_string(frame);
        ++frame;
    }
    return frames;
}

}  // namespace

// Scenes cut at frames 9 and 20 of a 23.976 frames/s clip: Av1an's file lists them as its chunks, and
// x265 given the qpfile and ffmpeg given the key-frame list (times that must round to the very frames)
// start a key frame there and nowhere else.
TEST(Chunks, EncodersPutKeyFramesAtTheScenesFirstFrames)
{
    ScratchDirectory scratch;
    ASSERT_EQ(runCommand(scratch, kFfmpeg + "-f lavfi -i testsrc2=s=128x72:r=24000/1001:d=1.3,format=yuv420p10le "
                                          "-frames:v 30 -c:v ffv1 clip.mkv && printf '9\\n20\\n' > cuts.txt")
                  .exitStatus,
              0)
        << readWholeFile(scratch.file("stderr.txt"));
    const Measured run = measureIn(scratch, {{"input", "clip.mkv"}, {"transfer", "pq"}, {"matrix", "bt2020"},
                                             {"scene_cuts", "cuts.txt"}, {"av1an_scenes", "scenes.json"},
                                             {"x265_qpfile", "qp.txt"}, {"ffmpeg_keyframes", "keys.txt"}});
    ASSERT_EQ(run.report.ending, hdrmeter::clip::Ending::Complete) << run.report.failure;

    const nlohmann::json scenes = nlohmann::json::parse(readWholeFile(scratch.file("scenes.json")));
    EXPECT_EQ(scenes.at("frames"), 30);
    const long long bounds[][2] = {{0, 9}, {9, 20}, {20, 30}};
    ASSERT_EQ(scenes.at("scenes").size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(scenes.at("scenes")[i].at("start_frame"), bounds[i][0]);
        EXPECT_EQ(scenes.at("scenes")[i].at("end_frame"), bounds[i][1]);
        EXPECT_TRUE(scenes.at("scenes")[i].at("zone_overrides").is_null());
    }
    EXPECT_EQ(readWholeFile(scratch.file("qp.txt")), "0 I\n9 I\n20 I\n");
    EXPECT_EQ(readWholeFile(scratch.file("keys.txt")), "0.000000,0.375375,0.834166\n");

    const std::string x265Params = "-x265-params log-level=error:keyint=1000:min-keyint=1000:scenecut=0:open-gop=0";
    ASSERT_EQ(runCommand(scratch, kFfmpeg + "-i clip.mkv -f yuv4mpegpipe -strict -1 - | x265 --log-level error --input - "
                                          "--y4m --keyint 1000 --min-keyint 1000 --scenecut 0 --no-open-gop "
                                          "--qpfile qp.txt -o by-qpfile.hevc")
                  .exitStatus,
              0)
        << readWholeFile(scratch.file("stderr.txt"));
    EXPECT_EQ(keyFrames(scratch, "by-qpfile.hevc"), "0 9 20");
    ASSERT_EQ(runCommand(scratch, kFfmpeg + "-i clip.mkv -force_key_frames \"$(cat keys.txt)\" -c:v libx265 -forced-idr 1 " +
                                    x265Params + " by-list.mkv")
                  .exitStatus,
              0)
        << readWholeFile(scratch.file("stderr.txt"));
    EXPECT_EQ(keyFrames(scratch, "by-list.mkv"), "0 9 20");
}
