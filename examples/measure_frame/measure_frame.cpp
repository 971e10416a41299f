// A minimal host: measures one synthetic 10-bit PQ BT.2020 4:2:2 frame with both faces of the library,
// CHDR_Measurements (the six results) and the analyzer (statistics for HDR10+ and Dolby Vision metadata).
//   measure_frame [WIDTH HEIGHT]     (default 3840 2160)
#include <hdrmeter.h>
#include <hdrmeter/analysis.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
    const int width = argc > 2 ? std::atoi(argv[1]) : 3840;
    const int height = argc > 2 ? std::atoi(argv[2]) : 2160;
    if (width < 2 || height < 1 || width % 2 != 0) {
        std::fprintf(stderr, "measure_frame: WIDTH must be even and at least 2, HEIGHT at least 1\n");
        return 2;
    }

    HDR_Info info;
    info.bitDepth = 10;
    info.transferFunction = L"PQ";
    info.colorSpace = L"BT.2020";
    info.thresholdLevel = 203;  // HDR reference white
    info.thresholdUnit = L"NITS";
    info.measureLightLevel = true;
    info.measurePercentiles = true;

    CHDR_Measurements meter;
    if (!meter.InitializeMeasurements(info)) {
        std::fprintf(stderr, "measure_frame: the lookup tables could not be allocated\n");
        return 1;
    }

    // A planar 4:2:2 frame: a horizontal luma ramp over the legal range with a 5% patch at code 940
    // (10000 nit), and chroma that swings from blue to red down the frame.
    const size_t pixels = static_cast<size_t>(width) * height;
    std::vector<uint16_t> frame(pixels * 2);
    uint16_t* luma = frame.data();
    uint16_t* cb = luma + pixels;
    uint16_t* cr = cb + pixels / 2;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const bool highlight = x > width * 3 / 4 && x < width * 3 / 4 + width / 8 && y < height * 2 / 5;
            luma[size_t(y) * width + x] = static_cast<uint16_t>(highlight ? 940 : 64 + (876 * x) / width);
        }
    }
    for (size_t i = 0; i < pixels / 2; ++i) {
        const int row = static_cast<int>(2 * i / width);
        cb[i] = static_cast<uint16_t>(512 + 200 - (400 * row) / height);
        cr[i] = static_cast<uint16_t>(512 - 200 + (400 * row) / height);
    }

    const int tasks = static_cast<int>(std::thread::hardware_concurrency());
    const auto r = meter.HDR_Measurements(YCbCr422_A, width, height, reinterpret_cast<unsigned char*>(luma),
                                          reinterpret_cast<unsigned char*>(frame.data()), tasks);
    std::printf("%dx%d 10-bit PQ BT.2020 4:2:2 synthetic frame\n", width, height);
    std::printf("average light        %12.4f nit\n", std::get<0>(r));
    std::printf("largest light        %12.4f nit\n", std::get<1>(r));
    std::printf("above 203 nit        %12.4f %%\n", std::get<2>(r));
    std::printf("brightest 1%% reach   %12.4f nit\n", std::get<3>(r));
    std::printf("brightest 10%% reach  %12.4f nit\n", std::get<4>(r));
    std::printf("all but darkest 1%%   %12.4f nit\n", std::get<5>(r));

    // The same planes as a decoder would hand them over: three planes, each with its own stride.
    hdrmeter::FrameView view;
    view.planes[0] = luma;
    view.planes[1] = cb;
    view.planes[2] = cr;
    view.strides[0] = static_cast<std::ptrdiff_t>(width) * 2;
    view.strides[1] = view.strides[2] = static_cast<std::ptrdiff_t>(width / 2) * 2;
    view.width = width;
    view.height = height;
    view.layout = hdrmeter::ChromaLayout::Yuv422;
    view.bitDepth = 10;
    const hdrmeter::Analyzer analyzer;  // exact ITU-R coefficients, fixed summation, exact ranks
    const hdrmeter::FrameStatistics stats = analyzer.analyze(view);
    std::printf("analyzer (hdrmeter %s, %s arithmetic)\n", hdrmeter::libraryVersion(),
                analyzer.settings().arithmetic.name().c_str());
    std::printf("average light        %12.4f nit\n", stats.averageLightNits());
    std::printf("largest R, G, B      %12.4f %12.4f %12.4f nit\n", stats.largestRedNits(), stats.largestGreenNits(),
                stats.largestBlueNits());
    std::printf("99.98th percentile   %12.4f nit\n", stats.lightAtPercentile(99.98));
    std::printf("PQ min, mean, max    %12.6f %12.6f %12.6f\n", stats.smallestPqLight(), stats.meanPqLight(),
                stats.largestPqLight());
    return 0;
}
