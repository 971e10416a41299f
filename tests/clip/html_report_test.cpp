#include <cairo.h>

#include <memory>
#include <set>

#include <nlohmann/json.hpp>

#include "output/html_report.h"
#include "output/timecode.h"
#include "measure_support.h"

using namespace hdrmeter::clip;

namespace {

const std::string kFfmpeg = "ffmpeg -v error -nostdin -y ";

std::size_t occurrences(const std::string& text, const std::string& part)
{
    std::size_t count = 0;
    for (std::size_t at = 0; (at = text.find(part, at)) != std::string::npos; at += part.size())
        ++count;
    return count;
}

std::string htmlEscaped(std::string text)
{
    for (std::size_t at = 0; (at = text.find('"', at)) != std::string::npos; at += 6)
        text.replace(at, 1, "&quot;");
    return text;
}

using Surface = std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)>;

Surface loadPng(const std::string& path)
{
    return Surface(cairo_image_surface_create_from_png(path.c_str()), &cairo_surface_destroy);
}

}  // namespace

// Timecodes are the frame's start rounded down, never a frame late; base64 pads each group of three.
TEST(Report, TimecodesAndBase64)
{
    const std::pair<int, int> film{24000, 1001}, pal{25, 1};
    const struct {
        long long frame;
        std::optional<std::pair<int, int>> rate;
        const char* timecode;
    } timecodes[] = {{0, pal, "00:00:00.000"},         {1, pal, "00:00:00.040"},
                     {1439, film, "00:01:00.018"},     {24, film, "00:00:01.001"},
                     {86400 * 25, pal, "24:00:00.000"}, {3, std::nullopt, ""}};
    for (const auto& c : timecodes)
        EXPECT_EQ(timecodeOf(c.frame, c.rate), c.timecode) << c.frame;
    const std::pair<std::string, const char*> encodings[] = {{"", ""},         {"f", "Zg=="},     {"fo", "Zm8="},
                                                             {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
                                                             {std::string("\xff\xfe\x00", 3), "//4A"}};
    for (const auto& [bytes, text] : encodings)
        EXPECT_EQ(base64Of(bytes), text) << text;
}

// A clip of three scenes whose stated MaxCLL is below the picture's: the page has a row per scene with
// its timecode, the failed checks coloured, a copy button per HDR10 line, both pictures inline; the PNG
// plot is a picture of the SVG's size; headless Chromium shows the page with no console message.
TEST(Report, RendersInChromiumWithEveryPart)
{
    ScratchDirectory scratch;
    std::string scenes;
    for (const char* source : {"testsrc2=s=320x180", "color=c=0xb0b0b0:s=320x180", "testsrc=s=320x180"})
        scenes += "-f lavfi -i " + std::string(source) + ":r=24:d=0.5,format=yuv420p10le ";
    ASSERT_EQ(runCommand(scratch, kFfmpeg + scenes +
                                    "-filter_complex concat=n=3 -c:v libx265 -x265-params log-level=error:"
                                    "colorprim=bt2020:transfer=smpte2084:colormatrix=bt2020nc:max-cll=1,1:"
                                    "master-display='G(13250,34500)B(7500,3000)R(34000,16000)WP(15635,16450)"
                                    "L(10000000,50)' clip.mkv")
                  .exitStatus,
              0)
        << readWholeFile(scratch.file("stderr.txt"));
    const Measured run = measureIn(scratch, {{"input", "clip.mkv"}, {"active_area", "full"}, {"min_scene_length", "4"},
                                             {"verify", "true"}, {"report", "r.html"}, {"plot", "p.png"},
                                             {"summary_json", "s.json"}});
    EXPECT_EQ(run.report.ending, hdrmeter::clip::Ending::Complete) << run.report.failure;
    EXPECT_FALSE(run.passed()) << "the stated MaxCLL is below the picture's";
    const nlohmann::json summary = nlohmann::json::parse(readWholeFile(scratch.file("s.json")));
    const std::string page = readWholeFile(scratch.file("r.html"));

    const std::size_t sceneCount = summary.at("scenes").size();
    ASSERT_EQ(sceneCount, 3u);
    const std::size_t tableStart = page.find("<table class=\"scenes\">");
    ASSERT_NE(tableStart, std::string::npos);
    const std::string table = page.substr(tableStart, page.find("</table>", tableStart) - tableStart);
    EXPECT_EQ(occurrences(table, "<tr"), sceneCount + 1) << table;
    EXPECT_NE(table.find("<td>12</td><td>00:00:00.500</td>"), std::string::npos) << table;
    EXPECT_NE(table.find("<td>" + std::to_string(summary.at("max_cll").get<long long>()) + "</td>"), std::string::npos);
    EXPECT_GE(occurrences(page, "<tr class=\"fail\">"), 2u);
    for (const char* label : {"x265", "ffmpeg", "mkvmerge"})
        EXPECT_NE(page.find(htmlEscaped(summaryValue(run.summary, label))), std::string::npos) << label;
    EXPECT_EQ(occurrences(page, "<button class=\"copy\""), occurrences(page, "<div class=\"line\">"));
    EXPECT_EQ(occurrences(page, "src=\"data:image/"), 2u);
    EXPECT_EQ(page.find("http"), std::string::npos) << "the page must stand alone";

    const Surface plot = loadPng(scratch.file("p.png"));
    ASSERT_EQ(cairo_surface_status(plot.get()), CAIRO_STATUS_SUCCESS);
    EXPECT_EQ(cairo_image_surface_get_width(plot.get()), 1340);
    EXPECT_EQ(cairo_image_surface_get_height(plot.get()), 640);

    const ProgramRun browser = runCommand(
        scratch, "chromium --headless --no-sandbox --disable-gpu --disable-background-networking "
                 "--disable-component-update --disable-sync --no-first-run --user-data-dir=\"$PWD/profile\" "
                 "--enable-logging=stderr --v=0 --window-size=1400,2400 --screenshot=\"$PWD/shot.png\" "
                 "\"file://$PWD/r.html\"");
    ASSERT_EQ(browser.exitStatus, 0) << browser.err << "\n(scripts/deps.sh test installs chromium)";
    for (const std::string& line : split(browser.err))
        EXPECT_EQ(line.find(":CONSOLE"), std::string::npos) << line;
    const Surface shot = loadPng(scratch.file("shot.png"));
    ASSERT_EQ(cairo_surface_status(shot.get()), CAIRO_STATUS_SUCCESS);
    const int width = cairo_image_surface_get_width(shot.get()), height = cairo_image_surface_get_height(shot.get());
    const int stride = cairo_image_surface_get_stride(shot.get());
    const unsigned char* data = cairo_image_surface_get_data(shot.get());
    std::set<std::uint32_t> colours;
    long long notWhite = 0, failColour = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const std::uint32_t pixel = reinterpret_cast<const std::uint32_t*>(data + y * stride)[x] & 0xffffff;
            colours.insert(pixel);
            notWhite += pixel != 0xffffff;
            failColour += pixel == 0xf8d0d0;
        }
    EXPECT_GT(notWhite, static_cast<long long>(width) * height / 10);
    EXPECT_GT(colours.size(), 200u) << "the pictures are drawn";
    EXPECT_GT(failColour, 1000) << "failed checks are coloured";
}
