#include <map>
#include <random>
#include <regex>

#include <nlohmann/json.hpp>

#include "measure_support.h"

using hdrmeter::clip::Ending;

// Damaged HEVC as users meet it: a reference packet dropped from a Matroska file, random bytes written
// over a stretch of a raw stream. By default the run ends at the first damaged frame or gap, naming it,
// with the frames before it kept; with accept_damaged every frame is measured, the damaged ones flagged
// and left out of the statistics, and frames after a gap keep their numbers from the undamaged file.
TEST(Damage, DamagedFramesEndTheRunOrAreFlaggedAndLeftOut)
{
    ASSERT_EQ(std::system("ffmpeg -version >/dev/null 2>&1"), 0) << "ffmpeg is needed: run scripts/deps.sh test";
    ScratchDirectory scratch;
    // A key frame every 12 frames ends the damage; a dark clip whose light falls, so that frames left out or
    // numbered wrongly show in MaxCLL and in a frame's average.
    ASSERT_EQ(runCommand(scratch, "ffmpeg -v error -nostdin -f lavfi -i testsrc2=size=128x72:rate=24 -frames:v 48 -vf "
                                "\"format=yuv420p10le,geq=lum='lum(X,Y)*(0.35-0.1*N/48)':cb=512:cr=512,"
                                "setparams=color_primaries=bt2020:color_trc=smpte2084:colorspace=bt2020nc\" "
                                "-c:v libx265 -x265-params log-level=error:keyint=12:min-keyint=12:no-open-gop=1 "
                                "-y clean.mkv && "
                                "ffmpeg -v error -nostdin -i clean.mkv -c copy -bsf:v \"noise=drop='eq(n\\,1)'\" -y "
                                "dropped.mkv && ffmpeg -v error -nostdin -i clean.mkv -c copy -y clean.hevc").exitStatus, 0);
    ASSERT_EQ(measureIn(scratch, {{"csv", "clean.csv"}, {"input", "clean.mkv"}}).report.ending, Ending::Complete);
    std::string bytes = readWholeFile(scratch.file("clean.hevc"));
    std::mt19937 random(1);
    for (std::size_t at = bytes.size() / 3; at < bytes.size() / 3 + 3000 && at < bytes.size(); ++at)
        bytes[at] = static_cast<char>(random());
    std::ofstream(scratch.file("damaged.hevc"), std::ios::binary) << bytes;
    const auto clean = readCsv(scratch.file("clean.csv"));
    ASSERT_EQ(clean.size(), 48u);

    for (const std::string file : {"dropped.mkv", "damaged.hevc"}) {
        SCOPED_TRACE(file);
        const Measured ended = measureIn(scratch, {{"input", file}});
        EXPECT_EQ(ended.report.ending, Ending::Failed);
        // One line, and nothing else failed.
        const std::string failure = hdrmeter::clip::spelledPlainly(ended.report.failure);
        EXPECT_EQ(failure.find('\n'), std::string::npos) << failure;
        EXPECT_TRUE(ended.report.outputFailures.empty());
        // A frame the decoder concealed is damaged; one it could not decode at all is lost.
        std::smatch named;
        ASSERT_TRUE(std::regex_search(failure, named, std::regex("^(frame (\\d+) is damaged \\(hevc: |"
                                                                 "the decoder cannot decode frame (\\d+): )")))
            << failure;
        const long long firstDamaged = std::stoll(named[2].matched ? named[2].str() : named[3].str());
        EXPECT_NE(failure.find("accept_damaged"), std::string::npos) << failure;
        EXPECT_EQ(summaryValue(ended.summary, "frames measured"), std::to_string(firstDamaged));

        const Measured accepted = measureIn(scratch, {{"accept_damaged", "true"}, {"csv", "f.csv"}, {"summary_json", "s.json"},
                                                      {"madvr", "f.bin"}, {"input", file}});
        ASSERT_EQ(accepted.report.ending, Ending::Complete) << accepted.report.failure;
        const auto rows = readCsv(scratch.file("f.csv"));
        const nlohmann::json summary = nlohmann::json::parse(readWholeFile(scratch.file("s.json")));
        std::vector<long long> flagged;
        double largestClean = 0.0, largest = 0.0;
        for (const auto& row : rows) {
            const double nits = std::stod(row.at("largest_light_nits"));
            largest = std::max(largest, nits);
            if (row.at("damaged") == "1")
                flagged.push_back(std::stoll(row.at("frame")));
            else
                largestClean = std::max(largestClean, nits);
        }
        ASSERT_FALSE(flagged.empty());
        // A frame lost where the decoder says too little to tell which leaves the frames out next damaged.
        EXPECT_GE(flagged.front(), firstDamaged);
        EXPECT_EQ(summary.at("damaged_frames").get<std::vector<long long>>(), flagged);
        EXPECT_EQ(summary.at("frames").get<std::size_t>(), rows.size() - flagged.size());
        EXPECT_EQ(summary.at("max_cll_nits").get<double>(), largestClean);
        EXPECT_GT(largest, largestClean) << "a damaged frame outshines the others: leaving it out shows";
        // In the madVR file a damaged frame repeats a clean frame of its scene: no peak is its own.
        const MadvrFile madvr = readMadvr(readWholeFile(scratch.file("f.bin")));
        ASSERT_TRUE(madvr.sizeFits);
        ASSERT_EQ(madvr.frames.size(), rows.size());
        EXPECT_EQ(madvr.maxCll, std::llround(largestClean));
        for (std::size_t i = 0, scene = 0; i < rows.size(); ++i) {
            while (scene + 1 < madvr.sceneCount && madvr.sceneFirsts[scene + 1] <= i) ++scene;
            const long long peak = std::llround(hdrmeter::pqSignalOfNits(std::stod(rows[i].at("largest_light_nits"))) * 64000);
            if (rows[i].at("damaged") == "0") {
                EXPECT_EQ(madvr.frames[i][0], peak) << i;
                continue;
            }
            bool repeats = false;
            for (std::size_t j = madvr.sceneFirsts[scene]; j < madvr.sceneEnds[scene]; ++j)
                repeats = repeats || (rows[j].at("damaged") == "0" && madvr.frames[j] == madvr.frames[i]);
            EXPECT_TRUE(repeats) << i;
        }
        if (file == "dropped.mkv") {
            // The dropped packet's frame is a gap; the next key frame's frames are clean, at their own numbers.
            EXPECT_EQ(summary.at("missing_frames"), nlohmann::json::array({3}));
            ASSERT_EQ(rows.size(), 47u);
            EXPECT_EQ(rows[20].at("frame"), "21");
            EXPECT_EQ(rows[20].at("damaged"), "0");
            EXPECT_EQ(rows[20].at("average_light_nits"), clean[21].at("average_light_nits"));
        }
    }
    // A segment flags the frames the whole run flags. One that starts after the dropped packet is decoded
    // from the key frame before it, after a seek: errors the decoder met before the seek are not its own.
    // Frame threads make the timing differ from run to run, so each segment is measured a few times.
    ASSERT_EQ(measureIn(scratch, {{"accept_damaged", "true"}, {"csv", "w.csv"}, {"input", "dropped.mkv"}}).report.ending,
              Ending::Complete);
    std::map<std::string, std::string> wholeFlags;
    for (const auto& row : readCsv(scratch.file("w.csv")))
        wholeFlags[row.at("frame")] = row.at("damaged");
    const Settings segments[] = {{{"start", "0.17"}}, {{"start", "0.3"}, {"end", "0.6"}}, {{"start", "0.5"}}};
    for (const Settings& segment : segments)
        for (int attempt = 0; attempt < 4; ++attempt) {
            SCOPED_TRACE(segment.front().second);
            Settings settings = {{"accept_damaged", "true"}, {"csv", "g.csv"}, {"input", "dropped.mkv"}};
            settings.insert(settings.end(), segment.begin(), segment.end());
            ASSERT_EQ(measureIn(scratch, settings).report.ending, Ending::Complete);
            const auto rows = readCsv(scratch.file("g.csv"));
            ASSERT_FALSE(rows.empty());
            for (const auto& row : rows)
                EXPECT_EQ(row.at("damaged"), wholeFlags[row.at("frame")]) << "frame " << row.at("frame");
        }
    // Damaged frames alone describe no picture: no metadata file, and a failed run.
    // Frames 3 to 7 follow the dropped packet closely enough that every FFmpeg version flags each of them.
    const Measured none = measureIn(scratch, {{"accept_damaged", "true"}, {"start", "0.12"}, {"end", "0.3"},
                                              {"hdr10plus", "none.json"}, {"dovi_config", "none-dv.json"},
                                              {"input", "dropped.mkv"}});
    EXPECT_EQ(summaryValue(none.summary, "frames measured"), "0");
    EXPECT_EQ(none.report.ending, Ending::Failed);
    EXPECT_NE(none.report.failure.find("frames measured is damaged, so no statistic rests on a clean frame"),
              std::string::npos) << none.report.failure;
    EXPECT_FALSE(std::ifstream(scratch.file("none.json")).good());
    EXPECT_FALSE(std::ifstream(scratch.file("none-dv.json")).good());
}
