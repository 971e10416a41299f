#include <cmath>

#include <nlohmann/json.hpp>

#include <random>

#include "output/summary.h"
#include "scenes/scene_segments.h"
#include "steady_area.h"
#include "test_files.h"

using namespace hdrmeter::clip;

// Whole nits round halves up; a peak keeps the first frames that reach it exactly.
TEST(Summary, MaxCllAndMaxFallComeFromTheirOwnColumnsAndSharesAreOfFramesAndPixels)
{
    for (const auto& [nits, whole] : std::initializer_list<std::pair<double, long long>>{
             {0.49999999999, 0}, {0.5, 1}, {203.4999, 203}, {203.5, 204}, {9999.9999, 10000}, {10000.0, 10000}})
        EXPECT_EQ(wholeNits(nits), whole) << nits;
    FramePeak peak;
    const double values[] = {2.0, 9.0, std::nextafter(9.0, 0.0), 9.0, 9.0, 9.0, 9.0, 9.0, 9.0};
    for (long long i = 0; i < 9; ++i)
        peak.offer(i, values[i]);
    EXPECT_EQ(peak.describeFrames(), "frames 1, 3, 4, 5, 6 and 2 more");
    MeasurementSummary summary;
    std::ostringstream empty, text;
    printSummary(empty, summary, RunFacts{});
    for (const char* line : {"frames measured       0\n", "MaxCLL                none"})
        EXPECT_NE(empty.str().find(line), std::string::npos) << empty.str();
    const double average[] = {10.0, 180.5, 40.0, 180.49}, largest[] = {900.0, 300.0, 1000.4, 999.0};
    const double above[] = {0.0, 50.0, 0.0, 10.0};
    for (int i = 0; i < 4; ++i)
        summary.add(FrameMeasurement{100 + i, average[i], largest[i], above[i], 0, 0, 0, std::nullopt}, 64);
    RunFacts facts;
    facts.thresholdNits = 203.5;
    facts.metadata.lightLevel = ContentLightLevel{1000, 180};
    printSummary(text, summary, facts);
    for (const char* line : {"MaxCLL                1000 nits (1000.400) at frame 102\n",
                             "MaxFALL               181 nits (180.500) at frame 101\n",
                             "frames above 203.5 nits 2 of 4 (50.0 %)\n", "pixels above 203.5 nits 15.000 %\n",
                             "content light level   MaxCLL 1000 nits, MaxFALL 180 nits (container)\n",
                             "stated below measured MaxFALL 180 < 181 nits measured\n"})
        EXPECT_NE(text.str().find(line), std::string::npos) << text.str();
    // Stated and measured levels are compared as the whole nits metadata carries: 1000 is not below 1000.4;
    // and 0 is HDR10's "not stated", below nothing.
    EXPECT_EQ(text.str().find("stated below measured MaxCLL"), std::string::npos) << text.str();
    // Frames of different sizes weigh their shares by their pixels: 50 % of 300 and 0 % of 100 is 37.5 %.
    MeasurementSummary mixed;
    mixed.add(FrameMeasurement{0, 1, 1, 50.0, 0, 0, 0, std::nullopt}, 300);
    mixed.add(FrameMeasurement{1, 1, 1, 0.0, 0, 0, 0, std::nullopt}, 100);
    EXPECT_EQ(mixed.pixelsAboveThresholdPercent(), 37.5);
    std::ostringstream unstated;
    facts.metadata.lightLevel = ContentLightLevel{0, 0};
    printSummary(unstated, summary, facts);
    EXPECT_EQ(unstated.str().find("stated below"), std::string::npos) << unstated.str();
}

// Values whose shortest decimal form is long, tiny, or only just distinct from a neighbour must read back
// as the same bits from both per-frame formats, under the names of the columns that were measured only.
TEST(Writers, CsvAndJsonLinesReadBackAsTheSameBitsUnderTheSameNames)
{
    const double values[] = {0.1, 1.0 / 3.0, 4014.718234539032, 203.00000000000003, 5e-324, 1e-300, 0.0,
                             12345678.9, std::nextafter(1000.0, 0.0)};
    const std::vector<std::string> csvNames = split("frame,average_light_nits,largest_light_nits,above_threshold_percent,top1_nits,"
                                                    "top2_nits,bottom_nits,luma_min_code,luma_max_code,luma_low_count,"
                                                    "luma_high_count,scene,timecode", ',');
    // 1001/24 ms a frame, rounded down: 41.7 ms is 041, never 042.
    const char* const timecodes[] = {"00:00:00.000", "00:00:00.041", "00:00:00.083", "00:00:00.125", "00:00:00.166",
                                     "00:00:00.208", "00:00:00.250", "00:00:00.291", "00:00:00.333"};
    Report all, few;
    all.request.lumaChecks = true;
    few.request.percentiles = false;
    few.request.classParity = true;
    all.stream.frameRate = std::make_pair(24000, 1001);
    for (long long i = 0; i < static_cast<long long>(std::size(values)); ++i) {
        const double v = values[i];
        FrameRecord record;
        record.numbers = {i, v, v * 3, v / 7, static_cast<float>(v), v / 11, v / 13, LumaChecks{4, 1019, 12, 345}, i / 3};
        all.frames.push_back(record);
        few.frames.push_back(record);
    }
    const std::vector<std::string> lines = split(csvText(all)), jsonLines = split(jsonLinesText(few));
    ASSERT_EQ(lines.size(), std::size(values) + 1);
    ASSERT_EQ(jsonLines.size(), std::size(values));
    EXPECT_EQ(split(lines[0], ','), csvNames);
    for (std::size_t i = 0; i < std::size(values); ++i) {
        // Frame numbers and counts are compared as numbers too: the round trip of the levels is the point.
        const double v = values[i], expected[] = {double(i), v, v * 3, v / 7, static_cast<float>(v), v / 11, v / 13, 4, 1019, 12, 345, double(i / 3)};
        const std::vector<std::string> cells = split(lines[i + 1], ',');
        const nlohmann::json object = nlohmann::json::parse(jsonLines[i]);
        ASSERT_EQ(cells.size(), csvNames.size());
        EXPECT_EQ(object.size(), 7u);  // the four columns always measured, the scene, the timecode, the coefficients
        EXPECT_EQ(object.at("coefficients"), "class");
        EXPECT_EQ(cells.back(), timecodes[i]);
        EXPECT_TRUE(object.at("timecode").is_null()) << "no frame rate, no timecode";
        for (std::size_t column = 0; column + 1 < csvNames.size(); ++column) {
            const std::string& name = csvNames[column];
            EXPECT_TRUE(sameBits(std::strtod(cells[column].c_str(), nullptr), expected[column])) << name << " " << cells[column];
            ASSERT_EQ(object.contains(name), column < 4 || name == "scene") << name;
            if (object.contains(name)) {
                EXPECT_TRUE(sameBits(object.at(name).get<double>(), expected[column])) << jsonLines[i];
            }
        }
    }
    // The manual's column table is the writers' table: the same names, units and order.
    std::vector<std::string> manual;
    bool inTable = false;
    for (const std::string& line : split(readWholeFile(std::string(HDRMETER_SOURCE_DIR) + "/docs/cli.md"))) {
        inTable = inTable || line.rfind("### Per-frame CSV and JSON lines", 0) == 0;
        if (inTable && line.rfind("| `", 0) == 0) {
            const std::vector<std::string> cells = split(line, '|');
            manual.push_back(cells[1] + "|" + cells[2]);
        } else if (!manual.empty()) {
            break;
        }
    }
    std::vector<std::string> table;
    for (const FrameColumn& column : frameColumns())
        table.push_back(" `" + std::string(column.name) + "` | " + (*column.unit ? column.unit : "-") + " ");
    EXPECT_EQ(manual, table);
}

// Scene distributions gathered while the cuts are decided, with runs merged and scenes reduced early,
// against merging every undamaged frame of each final scene; over random candidates, damaged frames,
// imported cuts and a restart where the automatic area grew (the frames before it gathered apart, as
// the second pass does). What is held stays bounded by the scene length, not the clip's.
TEST(SceneSegments, DistributionsEqualMergingEachFinalScenesFramesAndTheirRunsStayFew)
{
    std::mt19937 random(2024);
    const hdrmeter::Analyzer analyzer;
    for (int trial = 0; trial < 300; ++trial) {
        const long long frames = 1 + static_cast<long long>(random() % 150);
        const long long minFrames = 1 + static_cast<long long>(random() % 12);
        const double candidateShare = (random() % 5) / 8.0;
        const long long restartAt = trial % 3 == 0 ? static_cast<long long>(random() % frames) : 0;
        std::optional<std::vector<long long>> imported;
        if (trial % 7 == 3) {
            imported = std::vector<long long>{0};
            for (long long frame = 1; frame < frames + 5; ++frame)
                if (random() % 9 == 0)
                    imported->push_back(frame);
        }
        std::vector<hdrmeter::FrameStatistics> statistics;
        std::vector<bool> candidate, damaged;
        for (long long frame = 0; frame < frames; ++frame) {
            std::vector<std::uint16_t> luma(16), chroma(8, 512);
            for (auto& code : luma)
                code = static_cast<std::uint16_t>(64 + random() % 877);
            hdrmeter::FrameView view;
            view.planes[0] = luma.data();
            view.planes[1] = chroma.data();
            view.planes[2] = chroma.data() + 4;
            view.strides[0] = 8;
            view.strides[1] = view.strides[2] = 4;
            view.width = 4;
            view.height = 4;
            statistics.push_back(analyzer.analyze(view));
            candidate.push_back(frame > 0 && random() % 1000 < candidateShare * 1000);
            damaged.push_back(random() % 17 == 0);
        }
        SceneCutter cutter(minFrames, imported);
        for (long long frame = 0; frame < frames; ++frame)
            cutter.add(frame, candidate[frame]);
        cutter.finish(frames);
        const std::vector<long long>& cuts = cutter.cuts();

        const auto feed = [&](SceneSegments& segments, long long from, long long to, bool restart) {
            for (long long frame = from; frame < to; ++frame) {
                segments.add(frame, candidate[frame], damaged[frame] ? nullptr : &statistics[frame],
                             restart && frame == from);
                ASSERT_LE(segments.openRuns(), static_cast<std::size_t>(minFrames) + 2) << "frame " << frame;
            }
        };
        SceneSegments segments(minFrames, imported);
        if (restartAt > 0) {
            // What the first pass gathered before the area grew is dropped, as the run drops it.
            feed(segments, 0, restartAt, false);
            segments.clear();
            feed(segments, restartAt, frames, true);
            SceneSegments before(minFrames, imported);
            feed(before, 0, restartAt, false);
            before.append(std::move(segments));
            segments = std::move(before);
        } else {
            feed(segments, 0, frames, false);
        }
        const std::vector<std::optional<SceneDistribution>> got = segments.distributions(cuts);
        ASSERT_EQ(got.size(), cuts.size());
        for (std::size_t scene = 0; scene < cuts.size(); ++scene) {
            const long long end = scene + 1 < cuts.size() ? cuts[scene + 1] : frames;
            if (cuts[scene] >= frames)
                continue;
            hdrmeter::FrameStatistics merged;
            for (long long frame = cuts[scene]; frame < end; ++frame)
                if (!damaged[frame])
                    merged.merge(statistics[frame]);
            const SceneDistribution expected = distributionOf(merged);
            ASSERT_TRUE(got[scene].has_value()) << "trial " << trial << " scene " << scene << " cut " << cuts[scene]
                                                << " restart " << restartAt << " frames " << frames << " min " << minFrames
                                                << " imported " << imported.has_value();
            for (std::size_t i = 0; i < expected.values.size(); ++i)
                EXPECT_TRUE(sameBits(got[scene]->values[i], expected.values[i]))
                    << "trial " << trial << " scene " << scene << " value " << i;
            for (std::size_t i = 0; i < 3; ++i)
                EXPECT_TRUE(sameBits(got[scene]->largestChannelNits[i], expected.largestChannelNits[i]));
        }
    }
}

// The automatic area's rule, frame by frame: after each frame, the picture and the frames that set its
// edges. 32x16 frames; a letterbox of rows 4 to 12 unless a frame says otherwise.
TEST(SteadyArea, ALineJoinsWhenThreeFramesWithContentInARowReachIt)
{
    using hdrmeter::clip::SteadyArea;
    const auto box = [](int left, int top, int right, int bottom) {
        hdrmeter::ContentBounds bounds;
        bounds.width = 32;
        bounds.height = 16;
        bounds.anyContent = right > left;
        bounds.left = left, bounds.top = top, bounds.right = right, bounds.bottom = bottom;
        return bounds;
    };
    const hdrmeter::ContentBounds letterbox = box(0, 4, 32, 12), tall = box(0, 2, 32, 14), black = box(0, 0, 0, 0);
    struct Row {
        const char* name;
        std::vector<hdrmeter::ContentBounds> frames;
        std::array<int, 4> bounds;  // left, top, right, bottom after the last frame
        std::array<long long, 4> setBy;
    } const rows[] = {
        {"two frames alone: the lines both reach", {tall, letterbox}, {0, 4, 32, 12}, {0, 0, 0, 0}},
        {"one frame of ringing", {letterbox, letterbox, tall, letterbox, letterbox}, {0, 4, 32, 12}, {0, 0, 0, 0}},
        {"two frames in a row", {letterbox, letterbox, tall, tall, letterbox, letterbox}, {0, 4, 32, 12}, {0, 0, 0, 0}},
        {"three in a row, the first of them sets it", {letterbox, letterbox, tall, tall, tall, letterbox}, {0, 2, 32, 14},
         {0, 2, 0, 2}},
        {"black frames neither count nor break a row", {letterbox, tall, black, tall, black, tall, letterbox},
         {0, 2, 32, 14}, {0, 1, 0, 1}},
        {"one side alone", {letterbox, box(0, 4, 32, 14), box(0, 4, 32, 16), box(0, 3, 32, 14)}, {0, 4, 32, 14},
         {0, 0, 0, 1}},
        // A small object crossing the frame: no three frames share a column, so that axis is their union.
        {"an axis that crosses", {box(0, 6, 8, 10), box(12, 6, 20, 10), box(24, 6, 32, 10)}, {0, 6, 32, 10},
         {0, 0, 2, 0}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SteadyArea steady;
        for (std::size_t frame = 0; frame < row.frames.size(); ++frame)
            steady.add(row.frames[frame], static_cast<long long>(frame));
        const hdrmeter::ContentBounds found = steady.bounds();
        EXPECT_EQ((std::array<int, 4>{found.left, found.top, found.right, found.bottom}), row.bounds);
        EXPECT_EQ(steady.edgeFrames(), (std::optional<std::array<long long, 4>>(row.setBy)));
    }
    SteadyArea none;
    none.add(black, 0);
    EXPECT_FALSE(none.bounds().anyContent);
    EXPECT_FALSE(none.edgeFrames());
    EXPECT_THROW(none.add(hdrmeter::ContentBounds{16, 16}, 1), std::invalid_argument);
}
