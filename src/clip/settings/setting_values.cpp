#include "settings/setting_values.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <hdrmeter/settings.h>

extern "C" {
#include <libavutil/mathematics.h>
}

namespace hdrmeter::clip {

namespace {

constexpr int kMaxFrameDimension = 16384;

[[noreturn]] void refuse(const std::string& name, const std::string& text, const std::string& expected)
{
    throw RequestError(mention(name, text) + ": expected " + expected);
}

bool parsed(const std::string& text, double& value)
{
    const char* end = text.data() + text.size();
    const std::from_chars_result result = std::from_chars(text.data(), end, value);
    return !text.empty() && result.ec == std::errc() && result.ptr == end && std::isfinite(value);
}

std::vector<std::string> commaParts(const std::string& text)
{
    std::vector<std::string> parts(1);
    for (char c : text)
        if (c == ',')
            parts.emplace_back();
        else
            parts.back() += c;
    return parts;
}

}  // namespace

std::string exactText(double value)
{
    // The fewest significant digits that read back as the same double, written as %g writes them, so that
    // 0.0001 stays "0.0001".
    char text[40];
    int digits = 1;
    for (; digits < 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, value);
        double back = 0.0;
        const std::from_chars_result result = std::from_chars(text, text + std::strlen(text), back);
        if (result.ec == std::errc() && back == value)
            break;
    }
    // Whole thousands are written out ("1000", not "1e+03") while they fit in 17 digits.
    const int exponent = value == 0.0 || !std::isfinite(value) ? 0 : static_cast<int>(std::floor(std::log10(std::fabs(value))));
    if (exponent >= digits && exponent < 17)
        digits = exponent + 1;
    std::snprintf(text, sizeof text, "%.*g", digits, value);
    return text;
}

std::string secondsText(long long microseconds)
{
    char text[40];
    std::snprintf(text, sizeof text, "%lld.%06lld", microseconds / 1000000, microseconds % 1000000);
    std::string result = text;
    result.erase(result.find_last_not_of('0') + 1);
    if (result.back() == '.')
        result.pop_back();
    return result;
}

bool flagOf(const std::string& name, const std::string& text)
{
    if (text == "true")
        return true;
    if (text == "false")
        return false;
    refuse(name, text, "true or false");
}

long long wholeOf(const std::string& name, const std::string& text, const char* expected)
{
    long long value = 0;
    const char* end = text.data() + text.size();
    const std::from_chars_result result = std::from_chars(text.data(), end, value);
    if (text.empty() || result.ec != std::errc() || result.ptr != end)
        refuse(name, text, expected);
    return value;
}

double decimalOf(const std::string& name, const std::string& text, const char* expected)
{
    double value = 0.0;
    if (!parsed(text, value))
        refuse(name, text, expected);
    return value;
}

double secondsOf(const std::string& name, const std::string& text, const char* expected)
{
    // Up to two colons: hours and minutes before the seconds. Each field before the seconds is a whole
    // number; minutes and seconds below 60 once a field stands before them.
    std::vector<std::string> fields(1);
    for (char c : text)
        if (c == ':')
            fields.emplace_back();
        else
            fields.back() += c;
    if (fields.size() > 3)
        refuse(name, text, expected);
    double seconds = 0.0;
    if (!parsed(fields.back(), seconds) || fields.back().front() == '-' || fields.back().front() == '+' ||
        (fields.size() > 1 && seconds >= 60.0))
        refuse(name, text, expected);
    double scale = 60.0;
    for (std::size_t i = fields.size() - 1; i-- > 0; scale *= 60.0) {
        long long whole = 0;
        const char* end = fields[i].data() + fields[i].size();
        const std::from_chars_result result = std::from_chars(fields[i].data(), end, whole);
        const bool minutes = i + 2 == fields.size() && fields.size() == 3;
        if (fields[i].empty() || result.ec != std::errc() || result.ptr != end || whole < 0 || (minutes && whole >= 60))
            refuse(name, text, expected);
        seconds += static_cast<double>(whole) * scale;
    }
    return seconds;
}

ClipTime clipTimeOf(const std::string& name, const std::string& text, const char* expected)
{
    const std::size_t frameMark = text.find_last_of(":;");
    if (frameMark == std::string::npos || std::count(text.begin(), text.end(), ':') + (text[frameMark] == ';') < 3)
        return secondsOf(name, text, expected);
    const std::string clock = text.substr(0, frameMark);
    std::vector<std::string> fields(1);
    for (char c : clock)
        if (c == ':')
            fields.emplace_back();
        else
            fields.back() += c;
    fields.push_back(text.substr(frameMark + 1));
    if (fields.size() != 4)
        refuse(name, text, expected);
    long long values[4] = {0, 0, 0, 0};
    for (int i = 0; i < 4; ++i) {
        const std::string& field = fields[static_cast<std::size_t>(i)];
        const char* end = field.data() + field.size();
        const std::from_chars_result result = std::from_chars(field.data(), end, values[i]);
        if (field.empty() || field.front() < '0' || field.front() > '9' || result.ec != std::errc() ||
            result.ptr != end || (i > 0 && values[i] > (i < 3 ? 59 : 999)))
            refuse(name, text, expected);
    }
    // Hours beyond the longest time counted in microseconds could not be a bound.
    if (values[0] > 2500000000LL)
        refuse(name, text, expected);
    Timecode timecode;
    timecode.hours = values[0];
    timecode.minutes = static_cast<int>(values[1]);
    timecode.seconds = static_cast<int>(values[2]);
    timecode.frames = static_cast<int>(values[3]);
    timecode.dropFrame = text[frameMark] == ';';
    return timecode;
}

std::string clipTimeText(const ClipTime& time)
{
    if (!time.timecode)
        return exactText(time.seconds);
    const Timecode& timecode = *time.timecode;
    char text[48];
    std::snprintf(text, sizeof text, "%02lld:%02d:%02d%c%02d", timecode.hours, timecode.minutes, timecode.seconds,
                  timecode.dropFrame ? ';' : ':', timecode.frames);
    return text;
}

long long boundMicroseconds(const std::string& name, const ClipTime& time,
                            const std::optional<std::pair<int, int>>& frameRate)
{
    if (!time.timecode)
        return std::llround(time.seconds * 1e6);
    const Timecode& timecode = *time.timecode;
    const std::string given = mention(name, clipTimeText(time));
    if (!frameRate || frameRate->first <= 0 || frameRate->second <= 0)
        throw RequestError(given + ": the video has no constant frame rate to count frames by; give the time in "
                                   "seconds or as HH:MM:SS.fff");
    const long long numerator = frameRate->first, denominator = frameRate->second;
    const long long perSecond = (numerator + denominator / 2) / denominator;
    // As people name rates: 23.976, 25, 29.97.
    char rateDigits[40];
    std::snprintf(rateDigits, sizeof rateDigits, "%.3f", static_cast<double>(numerator) / static_cast<double>(denominator));
    std::string rate = rateDigits;
    rate.erase(rate.find_last_not_of('0') + 1);
    if (rate.back() == '.')
        rate.pop_back();
    if (perSecond < 1)
        throw RequestError(given + ": at " + rate + " frames a second a timecode counts no frames; give the time "
                                   "in seconds or as HH:MM:SS.fff");
    if (timecode.frames >= perSecond)
        throw RequestError(given + ": a timecode at this video's " + rate + " frames a second counts frames 0 to " +
                           std::to_string(perSecond - 1) + "; give a frame below " + std::to_string(perSecond));
    long long labels = (timecode.hours * 3600 + timecode.minutes * 60 + timecode.seconds) * perSecond + timecode.frames;
    if (timecode.dropFrame) {
        // Drop-frame counting leaves out the first labels of every minute but each tenth, two at 29.97 and
        // four at 59.94, so that the labels keep up with the clock.
        if (numerator * 1001 != perSecond * 1000 * denominator || (perSecond != 30 && perSecond != 60))
            throw RequestError(given + ": drop-frame timecode (';') counts 29.97 or 59.94 frames a second, this "
                                       "video has " + rate + "; write HH:MM:SS:FF");
        const long long dropped = perSecond / 15;
        if (timecode.seconds == 0 && timecode.frames < dropped && timecode.minutes % 10 != 0)
            throw RequestError(given + ": drop-frame timecode skips frames 0 to " + std::to_string(dropped - 1) +
                               " of this minute; give the next frame, " + std::to_string(dropped));
        const long long minutes = timecode.hours * 60 + timecode.minutes;
        labels -= dropped * (minutes - minutes / 10);
    }
    if (labels == 0)
        return 0;
    const std::int64_t microseconds =
        av_rescale_rnd(2 * labels - 1, denominator * 1000000, 2 * numerator, AV_ROUND_DOWN);
    if (microseconds < 0 || microseconds > 9000000000000000000LL)
        throw RequestError(given + ": beyond the longest time hdrmeter counts; give an earlier time");
    return microseconds;
}

std::pair<std::optional<long long>, std::optional<long long>> segmentBounds(
    const std::optional<ClipTime>& start, const std::optional<ClipTime>& end,
    const std::optional<std::pair<int, int>>& frameRate)
{
    std::pair<std::optional<long long>, std::optional<long long>> bounds;
    if (start)
        bounds.first = boundMicroseconds("start", *start, frameRate);
    if (end)
        bounds.second = boundMicroseconds("end", *end, frameRate);
    if (start && end && *bounds.second <= *bounds.first)
        throw RequestError(mention("end", clipTimeText(*end)) + ": give a time after " +
                           mention("start", clipTimeText(*start)) + ", which at this video's rate lies at " +
                           secondsText(*bounds.first) + " s");
    return bounds;
}

void setArea(Request& request, const std::string& text)
{
    if (text == "auto" || text == "full") {
        request.areaMode = text == "auto" ? AreaMode::Auto : AreaMode::Full;
        request.area = {};
        return;
    }
    const std::string expected = "auto, full or LEFT,TOP,RIGHT,BOTTOM in pixels from each edge, such as 0,140,0,140";
    const std::vector<std::string> parts = commaParts(text);
    if (parts.size() != 4)
        refuse("active_area", text, expected);
    int offsets[4] = {0, 0, 0, 0};
    for (int i = 0; i < 4; ++i) {
        const char* end = parts[i].data() + parts[i].size();
        const std::from_chars_result result = std::from_chars(parts[i].data(), end, offsets[i]);
        if (parts[i].empty() || result.ec != std::errc() || result.ptr != end || offsets[i] < 0 ||
            offsets[i] > kMaxFrameDimension)
            refuse("active_area", text, expected);
    }
    request.areaMode = AreaMode::Given;
    request.area = {offsets[0], offsets[1], offsets[2], offsets[3]};
}

std::string areaText(const Request& request)
{
    if (request.areaMode != AreaMode::Given)
        return request.areaMode == AreaMode::Auto ? "auto" : "full";
    const ActiveArea& area = request.area;
    return std::to_string(area.left) + "," + std::to_string(area.top) + "," + std::to_string(area.right) + "," +
           std::to_string(area.bottom);
}

MasteringLuminance displayOf(const std::string& text)
{
    const char* expected = "MAX,MIN in nits, such as 1000,0.0001 (MAX above MIN, at most 10000), primaries (p3-d65, "
                           "bt2020, bt709 or RX,RY,GX,GY,BX,BY,WX,WY), or both: p3-d65,1000,0.0001";
    const std::vector<std::string> parts = commaParts(text);
    MasteringLuminance result;
    result.assumed = false;
    std::vector<double> numbers;
    const bool named = setNamedPrimaries(result, parts[0]);
    for (std::size_t i = named ? 1 : 0; i < parts.size(); ++i) {
        double value = 0.0;
        if (!parsed(parts[i], value))
            refuse("mastering_display", text, expected);
        numbers.push_back(value);
    }
    const std::size_t primaryCount = named ? 0 : numbers.size() >= 8 ? 8 : 0;
    if (primaryCount == 8) {
        result.primaries = std::array<double, 6>{numbers[0], numbers[1], numbers[2], numbers[3], numbers[4], numbers[5]};
        result.whitePoint = std::array<double, 2>{numbers[6], numbers[7]};
    }
    const std::size_t luminanceCount = numbers.size() - primaryCount;
    if (luminanceCount == 0 && (named || primaryCount == 8)) {
        result.luminanceGiven = false;
        return result;
    }
    if (luminanceCount != 2)
        refuse("mastering_display", text, expected);
    result.maxNits = numbers[primaryCount];
    result.minNits = numbers[primaryCount + 1];
    return result;
}

std::string displayText(const MasteringLuminance& display)
{
    std::string text;
    if (display.primaries && display.whitePoint) {
        for (double coordinate : *display.primaries)
            text += exactText(coordinate) + ",";
        for (double coordinate : *display.whitePoint)
            text += exactText(coordinate) + ",";
    }
    if (display.luminanceGiven)
        text += exactText(display.maxNits) + "," + exactText(display.minNits);
    else if (!text.empty())
        text.pop_back();
    // A display that gives nothing is kept apart from none at all; no text reads back as it.
    return text.empty() ? "," : text;
}

std::vector<long long> framesOf(const std::string& name, const std::string& text)
{
    std::vector<long long> frames;
    if (text.empty())
        return frames;
    for (const std::string& part : commaParts(text))
        frames.push_back(wholeOf(name, part, "first frame numbers from 0, in increasing order, such as 0,24,100"));
    return frames;
}

}  // namespace hdrmeter::clip
