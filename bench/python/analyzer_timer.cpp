// The C++ side of analyze_frame_bench.py: times hdrmeter::Analyzer::analyze on the frame that the script
// measured through Python, read from the file it wrote, so that the two times differ only by the Python
// layer. Prints the median time and the frame's average light, which the script compares with its own.
//
//   hdrmeter_analyzer_timer FILE WIDTH HEIGHT LAYOUT BIT_DEPTH TASKS REPETITIONS
//
// FILE holds the Y, Cb and Cr planes one after another, rows contiguous; LAYOUT is 420, 422 or 444.
#include <hdrmeter/analysis.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 8) {
        std::fprintf(stderr, "usage: %s FILE WIDTH HEIGHT LAYOUT BIT_DEPTH TASKS REPETITIONS\n", argv[0]);
        return 2;
    }
    try {
        const int width = std::stoi(argv[2]), height = std::stoi(argv[3]), layout = std::stoi(argv[4]);
        const int repetitions = std::max(1, std::stoi(argv[7]));
        const int chromaWidth = layout == 444 ? width : (width + 1) / 2;
        const int chromaHeight = layout == 420 ? (height + 1) / 2 : height;
        const size_t lumaSamples = size_t(width) * height, chromaSamples = size_t(chromaWidth) * chromaHeight;

        std::vector<std::uint16_t> samples(lumaSamples + 2 * chromaSamples);
        std::ifstream file(argv[1], std::ios::binary);
        if (!file.read(reinterpret_cast<char*>(samples.data()), std::streamsize(samples.size() * 2))) {
            std::fprintf(stderr, "%s: cannot read %zu samples from %s; check the size and layout given\n", argv[0],
                         samples.size(), argv[1]);
            return 1;
        }

        hdrmeter::FrameView frame;
        frame.planes[0] = samples.data();
        frame.planes[1] = samples.data() + lumaSamples;
        frame.planes[2] = samples.data() + lumaSamples + chromaSamples;
        frame.strides[0] = std::ptrdiff_t(width) * 2;
        frame.strides[1] = frame.strides[2] = std::ptrdiff_t(chromaWidth) * 2;
        frame.width = width;
        frame.height = height;
        frame.layout = layout == 444   ? hdrmeter::ChromaLayout::Yuv444
                       : layout == 422 ? hdrmeter::ChromaLayout::Yuv422
                                       : hdrmeter::ChromaLayout::Yuv420;
        frame.bitDepth = std::stoi(argv[5]);

        hdrmeter::AnalysisSettings settings;
        settings.taskCount = std::stoi(argv[6]);
        const hdrmeter::Analyzer analyzer(settings);
        double averageLightNits = analyzer.analyze(frame).averageLightNits();  // builds the tables
        std::vector<double> milliseconds;
        for (int i = 0; i < repetitions; ++i) {
            const auto start = std::chrono::steady_clock::now();
            const hdrmeter::FrameStatistics statistics = analyzer.analyze(frame);
            const auto end = std::chrono::steady_clock::now();
            averageLightNits = statistics.averageLightNits();
            milliseconds.push_back(std::chrono::duration<double, std::milli>(end - start).count());
        }
        std::sort(milliseconds.begin(), milliseconds.end());
        std::printf("median_ms %.6f\naverage_light_nits %.17g\n", milliseconds[milliseconds.size() / 2],
                    averageLightNits);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s: %s\n", argv[0], error.what());
        return 1;
    }
    return 0;
}
