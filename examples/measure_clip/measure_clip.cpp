// A C++ host of the clip layer: measures a video file (or the built-in demo clip) as the hdrmeter tool
// does, writes its HDR10+ metadata, and prints the HDR10 light levels.
//   measure_clip FILE|--demo HDR10PLUS.json
#include <cstdio>
#include <string>

#include <hdrmeter/clip.h>
#include <hdrmeter/settings.h>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: measure_clip FILE|--demo HDR10PLUS.json\n");
        return 2;
    }
    hdrmeter::clip::Request request;
    request.demo = std::string(argv[1]) == "--demo";
    if (!request.demo)
        request.input = argv[1];
    request.hdr10PlusPath = argv[2];
    try {
        const hdrmeter::clip::Report report = hdrmeter::clip::measure(request);
        std::printf("%lld frames, %zu scenes, MaxCLL %.3f nits, MaxFALL %.3f nits\n",
                    report.summary.framesMeasured(), report.scenes.size(), report.summary.maxCll().value(),
                    report.summary.maxFall().value());
        if (report.ending == hdrmeter::clip::Ending::Failed)
            std::fprintf(stderr, "measure_clip: %s\n", hdrmeter::clip::spelledPlainly(report.failure).c_str());
        for (const std::string& failure : report.outputFailures)
            std::fprintf(stderr, "measure_clip: %s\n", hdrmeter::clip::spelledPlainly(failure).c_str());
        return report.ending == hdrmeter::clip::Ending::Complete && report.outputFailures.empty() ? 0 : 1;
    } catch (const std::exception& error) {  // RequestError or InputError: nothing was measured
        std::fprintf(stderr, "measure_clip: %s\n", error.what());
        return 1;
    }
}
