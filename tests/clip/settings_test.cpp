#include <gtest/gtest.h>

#include <set>
#include <string>

#include <hdrmeter/clip.h>
#include <hdrmeter/settings.h>

using namespace hdrmeter::clip;

namespace {

// A value each kind of setting takes that differs from every default, as a person would type it.
std::string sampleText(const Setting& setting)
{
    switch (setting.kind) {
    case SettingKind::Flag:
        return settingText(Request{}, setting) == "true" ? "false" : "true";
    case SettingKind::Whole:
        return std::to_string(static_cast<long long>(setting.highest > 1e15 ? 7 : setting.highest));
    case SettingKind::Decimal:
        return "0.30000000000000004";
    case SettingKind::Time:
        return "01:02:03.25";
    case SettingKind::Path:
        return "some file.out";
    case SettingKind::Choice: {
        const std::string choices = setting.choices, first = choices.substr(0, choices.find('|'));
        return first == settingText(Request{}, setting) ? choices.substr(choices.find('|') + 1) : first;
    }
    case SettingKind::Area:
        return "1,2,3,4";
    case SettingKind::Display:
        return "P3-D65,1000.5,0.0005";
    case SettingKind::Size:
        return "16x8";
    case SettingKind::Text:
        return setting.name == std::string("frame_rate") ? "24000/1001" : "yuv422p12le";
    case SettingKind::FrameList:
        return "0,5,9";
    }
    return "";
}

}  // namespace

// Every row writes its member and reads it back with every digit, so that partial results and the
// request's equality, which go through the rows, see every setting; a row whose accessors miss their
// member, or lose a digit, shows here.
TEST(SettingsTable, EveryRowReadsBackWhatItWritesAndResets)
{
    std::set<std::string> names;
    for (const Setting& setting : settings()) {
        SCOPED_TRACE(setting.name);
        EXPECT_TRUE(names.insert(setting.name).second) << "named twice";
        EXPECT_EQ(findSetting(setting.name), &setting);
        Request request;
        setSetting(request, setting, sampleText(setting));
        EXPECT_NE(request, Request{});
        const std::string written = settingText(request, setting);
        Request again;
        setSetting(again, setting, written);
        EXPECT_EQ(again, request);
        EXPECT_EQ(settingText(again, setting), written);
        resetSetting(request, setting);
        EXPECT_EQ(request, Request{});
        if (setting.output) {
            EXPECT_EQ(&outputSetting(*setting.output), &setting);
        }
    }
    Request request;
    setSetting(request, *findSetting("start"), "01:02:03.25");
    EXPECT_EQ(request.start, 3723.25);
    setSetting(request, *findSetting("end"), "1:02:03;04");
    ASSERT_TRUE(request.end && request.end->timecode);
    EXPECT_EQ(*request.end->timecode, (Timecode{1, 2, 3, 4, true}));
    EXPECT_EQ(settingText(request, *findSetting("end")), "01:02:03;04");
    setSetting(request, *findSetting("threshold"), "0.30000000000000004");
    EXPECT_EQ(request.thresholdNits, 0.30000000000000004);
    setSetting(request, *findSetting("mastering_display"), "P3-D65,1000.5,0.0005");
    ASSERT_TRUE(request.masteringDisplay && request.masteringDisplay->primaries);
    EXPECT_EQ(request.masteringDisplay->maxNits, 1000.5);
}

// Text a setting cannot take is refused naming the setting and the text, before anything is measured.
TEST(SettingsTable, TextASettingCannotTakeIsRefusedNamingIt)
{
    const struct {
        const char* name;
        const char* text;
        const char* reason;
    } cases[] = {
        {"threshold", "10001", "threshold=10001: expected a level in nits from 0 to 10000"},
        {"frame_rate", "1001/24000", "frame_rate=1001/24000: expected frames a second from 1 to 1000"},
        {"frame_rate", "24fps", "frame_rate=24fps: expected frames a second"},
        {"threshold", "12nits", "threshold=12nits: expected a level"},
        {"tasks", "257", "tasks=257: expected a whole number of tasks"},
        {"tasks", "2.5", "tasks=2.5: expected a whole number"},
        {"frames", "0", "frames=0: expected a whole number of frames, 1 or more"},
        {"frames", "99999999999999999999", "frames=99999999999999999999: expected"},
        {"start", "1:60", "start=1:60: expected a time"},
        {"start", "-1", "start=-1: expected a time"},
        {"start", "1::2", "start=1::2: expected a time"},
        {"end", "nan", "end=nan: expected a time"},
        {"start", "00:01:60:00", "start=00:01:60:00: expected a time"},
        {"start", "00:00:01:-1", "start=00:00:01:-1: expected a time"},
        {"start", "00:00:01:1.5", "start=00:00:01:1.5: expected a time"},
        {"end", "1:00:00:00:00", "end=1:00:00:00:00: expected a time"},
        {"transfer", "sdr", "transfer=sdr: expected pq or hlg"},
        {"active_area", "1,2,3", "active_area=1,2,3: expected auto, full or LEFT,TOP,RIGHT,BOTTOM"},
        {"active_area", "1,2,3,16385", "active_area=1,2,3,16385: expected"},
        {"mastering_display", "1000", "mastering_display=1000: expected MAX,MIN"},
        {"size", "16x", "size=16x: expected WIDTHxHEIGHT"},
        {"pix_fmt", "yuv9000", "pix_fmt=yuv9000: expected an FFmpeg pixel format name"},
        {"verify", "yes", "verify=yes: expected true or false"},
        {"scene_cut_frames", "0,x", "scene_cut_frames=x: expected first frame numbers"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + c.text);
        Request request;
        try {
            setSetting(request, *findSetting(c.name), c.text);
            ADD_FAILURE() << "taken";
        } catch (const RequestError& error) {
            EXPECT_EQ(std::string(error.what()).rfind(c.reason, 0), 0u) << error.what();
        }
    }
}

// A mention keeps the text around it, and a host's words replace only the mention.
TEST(SettingsTable, MentionsAreSpelledByTheHostAndNothingElseChanges)
{
    const std::string message = "a {brace} " + mention("end", "12.5") + " and " + mention("robust_peaks") + ".";
    EXPECT_EQ(spelledPlainly(message), "a {brace} end=12.5 and robust_peaks.");
    EXPECT_EQ(spelled(message, [](const std::string& name, const std::string* value) {
                  return "<" + name + (value ? ":" + *value : "") + ">";
              }),
              "a {brace} <end:12.5> and <robust_peaks>.");
    EXPECT_EQ(spelledPlainly("no mention at all"), "no mention at all");
    const RequestError error(message);
    EXPECT_EQ(error.message(), message);
}
