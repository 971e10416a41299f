#include "measure_support.h"

using hdrmeter::clip::Ending;

namespace {

// Every warning and progress call, in the order they came.
class Recorder : public hdrmeter::clip::Observer {
public:
    void progress(int, long long framesDone, std::optional<long long>) override
    {
        events.push_back("progress " + std::to_string(framesDone));
    }
    void warning(const std::string& line) override
    {
        warnings.push_back(line);
        events.push_back("warning");
    }
    std::vector<std::string> warnings, events;
};

}  // namespace

// Warnings from every layer reach the observer once each, in the report's order, as they arise: the run's
// own (standard input kept for the area's second pass), the clip run's (an untagged transfer, at the first
// frame, before any progress), the summary's (scene cuts past the end) and the outputs' (a display assumed).
TEST(Observer, EveryWarningReachesTheObserverOnceAsItArises)
{
    ScratchDirectory scratch;
    ASSERT_EQ(runCommand(scratch, "ffmpeg -v error -nostdin -f lavfi -i testsrc2=size=64x36:rate=25 -frames:v 20 "
                                  "-pix_fmt yuv420p10le -strict -1 -f yuv4mpegpipe -y clip.y4m && printf '0\\n50\\n' >cuts.txt")
                  .exitStatus, 0);
    Recorder recorder;
    hdrmeter::clip::Report report;
    {
        const StandardInputFrom input(scratch.file("clip.y4m"));
        report = hdrmeter::clip::measure(
            requestIn(scratch, {{"input", "-"}, {"scene_cuts", "cuts.txt"}, {"dovi_config", "d.json"}}), &recorder);
    }
    ASSERT_EQ(report.ending, Ending::Complete) << report.failure;
    EXPECT_EQ(recorder.warnings, report.warnings);
    const std::vector<std::string> expected = {"temporary file in $TMPDIR", "does not say its transfer function",
                                               "scene cuts at 50 lie past", "states no mastering display",
                                               "state the mastering display's primaries"};
    ASSERT_EQ(report.warnings.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_NE(report.warnings[i].find(expected[i]), std::string::npos) << report.warnings[i];
    ASSERT_GE(recorder.events.size(), 3u);
    EXPECT_EQ(recorder.events[0], "warning");
    EXPECT_EQ(recorder.events[1], "warning") << "the untagged transfer is told before the first frame's progress";
}
