#include "html_report.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "output/metadata_json.h"
#include "output/raster.h"
#include "output/summary.h"
#include "output/svg_plot.h"
#include "output/timecode.h"

namespace hdrmeter::clip {

namespace {

const char* kStyle = R"(<style>
body{font-family:"DejaVu Sans",Helvetica,Arial,sans-serif;margin:24px;color:#222;max-width:1400px}
h1{font-size:22px;margin:0 0 4px}h2{font-size:17px;margin:28px 0 8px;border-bottom:1px solid #ccc}
table{border-collapse:collapse;font-size:13px}td,th{border:1px solid #ccc;padding:3px 8px;text-align:right}
th{background:#f0f0f0}td.text,th.text{text-align:left}tr.brightest td{background:#fff3d6}
.settings td{text-align:left}.plot img{max-width:100%;border:1px solid #ddd}
.peak{display:flex;gap:24px;align-items:flex-start}.peak img{border:1px solid #999;image-rendering:pixelated}
.pass{background:#d9f2d9}.warn{background:#fff0c2}.fail{background:#f8d0d0}
.outcome{font-weight:bold}code{font-size:12px;word-break:break-all}
.line{display:flex;gap:8px;align-items:flex-start;margin:6px 0}.line b{min-width:130px}
button{font-size:12px;cursor:pointer}ul.warnings li{margin:4px 0;color:#8a4b00}
details pre{font-size:12px;background:#f7f7f7;padding:8px;overflow-x:auto}
</style>
)";

// Copying needs the clipboard API, which browsers withhold from some pages opened from disk: the page
// then selects the text and asks for the older copy command.
const char* kScript = R"(<script>
document.querySelectorAll("button.copy").forEach(function (button) {
  button.addEventListener("click", function () {
    var text = document.getElementById(button.dataset.target).textContent;
    var done = function () { button.textContent = "Copied"; setTimeout(function () { button.textContent = "Copy"; }, 1500); };
    var fallback = function () {
      var area = document.createElement("textarea");
      area.value = text; document.body.appendChild(area); area.select();
      try { document.execCommand("copy"); done(); } catch (e) { button.textContent = "Select and copy by hand"; }
      document.body.removeChild(area);
    };
    if (navigator.clipboard && window.isSecureContext) navigator.clipboard.writeText(text).then(done, fallback);
    else fallback();
  });
});
</script>
)";

std::string fixed(double value, int decimals)
{
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string cell(const std::string& text, bool isText = false)
{
    return std::string(isText ? "<td class=\"text\">" : "<td>") + text + "</td>";
}

std::string areaText(const ActiveArea& area)
{
    return std::to_string(area.left) + "," + std::to_string(area.top) + "," + std::to_string(area.right) + "," +
           std::to_string(area.bottom);
}

// The largest light and average light each scene's undamaged frames reach.
struct ScenePeaks {
    double maxCllNits = 0.0;
    double maxFallNits = 0.0;
    bool any = false;
};

std::vector<ScenePeaks> scenePeaksOf(const Report& report, const FrameSequence& frames)
{
    std::vector<ScenePeaks> peaks(report.scenes.size());
    frames([&](const FrameRecord& record) {
        const long long scene = record.numbers.scene;
        if (record.damaged || scene < 0 || scene >= static_cast<long long>(peaks.size()))
            return;
        ScenePeaks& peak = peaks[static_cast<std::size_t>(scene)];
        peak.maxCllNits = std::max(peak.maxCllNits, record.numbers.largestLightNits);
        peak.maxFallNits = std::max(peak.maxFallNits, record.numbers.averageLightNits);
        peak.any = true;
    });
    return peaks;
}

std::string settingsTable(const Report& report)
{
    const Request& request = report.request;
    std::vector<std::pair<std::string, std::string>> rows;
    rows.emplace_back("input", report.stream.inputName);
    rows.emplace_back("format", formatDescription(report.stream));
    std::string frames = std::to_string(report.summary.framesMeasured()) + " measured";
    if (report.stream.frameRate)
        frames += ", " + fixed(static_cast<double>(report.stream.frameRate->first) / report.stream.frameRate->second, 3) +
                  " frames/s";
    rows.emplace_back("frames", frames);
    rows.emplace_back("active area", "left, top, right, bottom " + areaText(report.area) + " (" +
                                         (request.areaMode == AreaMode::Auto   ? "found"
                                          : request.areaMode == AreaMode::Full ? "full frame"
                                                                               : "given") +
                                         ")");
    rows.emplace_back("threshold", fixed(request.thresholdNits, 1) + " nits");
    if (request.percentiles)
        rows.emplace_back("percentiles", "brightest " + fixed(request.top1Percent, 2) + " % and " +
                                             fixed(request.top2Percent, 2) + " %, darkest " +
                                             fixed(request.bottomPercent, 2) + " %");
    rows.emplace_back("scenes", request.sceneCuts ? std::to_string(report.scenes.size()) + ", cuts given"
                                                  : std::to_string(report.scenes.size()) + ", found at threshold " +
                                                        fixed(request.sceneThreshold, 2) + ", at least " +
                                                        std::to_string(request.minSceneFrames) + " frames each");
    rows.emplace_back("robust peaks", fixed(request.robustFramePercent, 2) + " % of each frame, " +
                                          fixed(request.robustClipPercent, 2) + " % of the frames" +
                                          (request.robustMetadata ? ", carried in the metadata" : ""));
    std::string html = "<table class=\"settings\">\n";
    for (const auto& [name, value] : rows)
        html += "<tr><th class=\"text\">" + escapeXml(name) + "</th><td>" + escapeXml(value) + "</td></tr>\n";
    return html + "</table>\n";
}

std::string sceneTable(const Report& report, const FrameSequence& frames)
{
    const std::vector<ScenePeaks> peaks = scenePeaksOf(report, frames);
    std::size_t brightest = 0;
    for (std::size_t i = 1; i < peaks.size(); ++i)
        if (peaks[i].maxCllNits > peaks[brightest].maxCllNits)
            brightest = i;
    const bool timecodes = report.stream.frameRate.has_value();
    const bool distributions =
        std::any_of(report.scenes.begin(), report.scenes.end(), [](const SceneResult& s) { return s.distribution; });
    std::string html = "<table class=\"scenes\">\n<tr><th>scene</th><th>first frame</th>";
    if (timecodes)
        html += "<th>timecode</th>";
    html += "<th>frames</th><th>MaxCLL (nits)</th><th>MaxFALL (nits)</th><th>average light (nits)</th>"
            "<th>active area</th><th>Dolby Vision L1 min, avg, max (12-bit PQ)</th>";
    if (distributions)
        html += "<th>HDR10+ MaxSCL R, G, B (nits)</th><th>HDR10+ 50 %, 99.98 % (nits)</th>";
    html += "</tr>\n";
    for (std::size_t i = 0; i < report.scenes.size(); ++i) {
        const SceneResult& scene = report.scenes[i];
        html += i == brightest && peaks[i].any ? "<tr class=\"brightest\">" : "<tr>";
        html += cell(std::to_string(i)) + cell(std::to_string(scene.firstFrame));
        if (timecodes)
            html += cell(timecodeOf(scene.firstFrame, report.stream.frameRate));
        html += cell(std::to_string(scene.frameCount));
        html += peaks[i].any ? cell(std::to_string(wholeNits(peaks[i].maxCllNits))) +
                                   cell(std::to_string(wholeNits(peaks[i].maxFallNits)))
                             : cell("&ndash;") + cell("&ndash;");
        html += cell(fixed(scene.meanAverageLightNits, 2)) + cell(areaText(scene.area));
        html += cell(std::to_string(pqCode12(scene.smallestPqLight)) + ", " +
                     std::to_string(pqCode12(scene.meanOfMeanPqLight)) + ", " +
                     std::to_string(pqCode12(scene.largestPqLight)));
        if (distributions) {
            if (scene.distribution) {
                const SceneDistribution& d = *scene.distribution;
                html += cell(fixed(d.largestChannelNits[0], 1) + ", " + fixed(d.largestChannelNits[1], 1) + ", " +
                             fixed(d.largestChannelNits[2], 1)) +
                        cell(fixed(d.values[4], 1) + ", " + fixed(d.values[8], 1));
            } else {
                html += cell("&ndash;") + cell("&ndash;");
            }
        }
        html += "</tr>\n";
    }
    return html + "</table>\n";
}

std::string peakSection(const Report& report, const PeakPicture* peak)
{
    if (!report.summary.maxCll().any())
        return "<p>No frame was measured.</p>\n";
    std::string html = "<div class=\"peak\">\n";
    if (peak) {
        try {
            html += "<img alt=\"the frame of MaxCLL, tone-mapped for an SDR screen\" width=\"" +
                    std::to_string(peak->width) + "\" height=\"" + std::to_string(peak->height) +
                    "\" src=\"data:image/png;base64," + base64Of(pngOfPicture(*peak)) + "\">\n";
        } catch (const std::runtime_error& error) {
            html += "<p>The frame could not be drawn: " + escapeXml(error.what()) + "</p>\n";
        }
    }
    html += "<table class=\"settings\">\n";
    const auto row = [&html](const std::string& name, const std::string& value) {
        html += "<tr><th class=\"text\">" + name + "</th><td>" + escapeXml(value) + "</td></tr>\n";
    };
    row("MaxCLL", std::to_string(wholeNits(report.summary.maxCll().value())) + " nits, " +
                      report.summary.maxCll().describeFrames());
    if (report.maxCllTrace) {
        const PeakTrace& trace = *report.maxCllTrace;
        row("peak pixel", "frame " + std::to_string(trace.frame) +
                              (report.stream.frameRate ? " (" + timecodeOf(trace.frame, report.stream.frameRate) + ")"
                                                       : std::string()) +
                              ", x " + std::to_string(trace.x) + ", y " + std::to_string(trace.y) + ", the ring");
        row("pixels at MaxCLL", std::to_string(trace.pixels) + " in that frame, at most " +
                                    std::to_string(trace.mostPixels) + " in any frame");
    }
    row("MaxFALL", std::to_string(wholeNits(report.summary.maxFall().value())) + " nits, " +
                       report.summary.maxFall().describeFrames());
    if (report.robustPeaks) {
        row("robust MaxCLL", std::to_string(wholeNits(report.robustPeaks->maxCllNits)) + " nits");
        row("robust MaxFALL", std::to_string(wholeNits(report.robustPeaks->maxFallNits)) + " nits");
    }
    html += "</table>\n</div>\n";
    if (!peak)
        html += "<p>The frame itself is not shown: a merge of partial results has no pixels to show.</p>\n";
    return html;
}

std::string verificationSection(const Report& report)
{
    if (!report.verification)
        return "<p>Not asked for.</p>\n";
    if (report.verification->checks.empty())
        return "<p>The stream states nothing to check.</p>\n";
    std::string html = "<table class=\"verification\">\n<tr><th class=\"text\">check</th><th class=\"text\">"
                       "outcome</th><th class=\"text\">figures</th></tr>\n";
    for (const VerifyCheck& check : report.verification->checks) {
        const char* outcome = check.outcome == CheckOutcome::Pass ? "pass"
                              : check.outcome == CheckOutcome::Warn ? "warn"
                                                                    : "fail";
        html += std::string("<tr class=\"") + outcome + "\">" + cell(escapeXml(check.name), true) +
                "<td class=\"text outcome\">" + outcome + "</td>" + cell(escapeXml(check.line), true) + "</tr>\n";
    }
    return html + "</table>\n";
}

std::string linesSection(const Report& report)
{
    const auto lines = hdr10Lines(report);
    if (lines.empty())
        return "<p>No frame was measured.</p>\n";
    std::string html;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string id = "line" + std::to_string(i);
        html += "<div class=\"line\"><b>" + escapeXml(lines[i].first) + "</b><code id=\"" + id + "\">" +
                escapeXml(lines[i].second) + "</code><button class=\"copy\" type=\"button\" data-target=\"" + id +
                "\">Copy</button></div>\n";
    }
    return html;
}

std::string warningsSection(const Report& report)
{
    std::vector<std::string> lines;
    if (report.ending == Ending::Stopped)
        lines.push_back("The run was stopped (" + report.stopReason + "): what is here covers the frames measured.");
    if (report.ending == Ending::Failed)
        lines.push_back("The run failed: " + report.failure);
    if (report.framesLeftOut > 0)
        lines.push_back(std::to_string(report.framesLeftOut) + " frames are left out: " + report.leftOutReason);
    lines.insert(lines.end(), report.warnings.begin(), report.warnings.end());
    lines.insert(lines.end(), report.outputFailures.begin(), report.outputFailures.end());
    if (lines.empty())
        return "<p>None.</p>\n";
    std::string html = "<ul class=\"warnings\">\n";
    for (const std::string& line : lines)
        html += "<li>" + escapeXml(line) + "</li>\n";
    return html + "</ul>\n";
}

}  // namespace

std::string base64Of(const std::string& bytes)
{
    static const char* kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t left = bytes.size() - i;
        std::uint32_t group = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (left > 1)
            group |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        if (left > 2)
            group |= static_cast<unsigned char>(bytes[i + 2]);
        text += kAlphabet[group >> 18 & 63];
        text += kAlphabet[group >> 12 & 63];
        text += left > 1 ? kAlphabet[group >> 6 & 63] : '=';
        text += left > 2 ? kAlphabet[group & 63] : '=';
    }
    return text;
}

void writeHtmlReport(const Report& report, const FrameSequence& frames, const std::string& plotSvgText,
                     const PeakPicture* peak, const TextSink& out)
{
    const std::string title = "hdrmeter report: " + escapeXml(report.stream.inputName);
    out("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>" + title + "</title>\n" +
        kStyle + "</head>\n<body>\n<h1>" + title + "</h1>\n");
    out("<h2>Clip and settings</h2>\n" + settingsTable(report));
    out("<h2>Light per frame</h2>\n<div class=\"plot\"><img alt=\"light per frame\" src=\"data:image/svg+xml;base64," +
        base64Of(plotSvgText) + "\"></div>\n");
    out("<h2>Scenes</h2>\n<p>The brightest scene is marked.</p>\n" + sceneTable(report, frames));
    out("<h2>The frame of MaxCLL</h2>\n" + peakSection(report, peak));
    out("<h2>Verification</h2>\n" + verificationSection(report));
    out("<h2>HDR10 metadata</h2>\n" + linesSection(report));
    out("<h2>Warnings</h2>\n" + warningsSection(report));
    // Line by line: the escaping takes line breaks for control characters.
    std::string summary;
    const std::string text = summaryText(report);
    for (std::size_t begin = 0; begin < text.size();) {
        const std::size_t end = std::min(text.find('\n', begin), text.size());
        summary += escapeXml(text.substr(begin, end - begin)) + "\n";
        begin = end + 1;
    }
    out("<details><summary>The summary as the command line prints it</summary><pre>" + summary + "</pre></details>\n" +
        kScript + "</body>\n</html>\n");
}

}  // namespace hdrmeter::clip
