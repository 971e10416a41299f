#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <hdrmeter/clip.h>

using namespace hdrmeter::clip;

namespace {

constexpr int kWidth = 96, kHeight = 54, kFrames = 4;

// Codes spread over the whole range, different in each channel and frame, so that every bit of a
// sample and the order of the channels matter.
const std::string kPicture = "color=black:size=96x54:rate=24,format=gbrp16le,"
                             "geq=r='mod(X*613+Y*97+N*1009\\,65536)':g='mod(X*211+Y*331+N*57\\,65536)':"
                             "b='mod(X*37+Y*719+N*3\\,65536)'";
const std::string kPqTags = "setparams=color_trc=smpte2084:color_primaries=bt2020:colorspace=gbr:range=pc";

double pqNits(double signal)
{
    const double m1 = 2610.0 / 16384, m2 = 2523.0 / 4096 * 128, c1 = 3424.0 / 4096, c2 = 2413.0 / 4096 * 32,
                 c3 = 2392.0 / 4096 * 32;
    const double p = std::pow(std::clamp(signal, 0.0, 1.0), 1.0 / m2);
    return 10000.0 * std::pow(std::max(p - c1, 0.0) / (c2 - c3 * p), 1.0 / m1);
}

struct Levels {
    double maxCll = 0.0;
    double maxFall = 0.0;
    // Each frame's share of pixels whose luma, BT.2020's sum of the three signals, is above 203 nits:
    // what tells R' from B'.
    std::vector<double> abovePercent;
};

// MaxCLL and MaxFALL by their definition, in double precision, from the decoded samples as ffmpeg's own
// program hands them over (R'G'B' full range, in `format`: gbrp12le, rgb48le or gbrpf32le).
Levels referenceLevels(const std::string& file, const std::string& format)
{
    const std::string raw = file + ".raw";
    EXPECT_EQ(std::system(("ffmpeg -v error -nostdin -y -i '" + file + "' -f rawvideo -pix_fmt " + format + " '" +
                           raw + "'").c_str()),
              0);
    std::ifstream in(raw, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::remove(raw.c_str());
    const std::size_t pixels = static_cast<std::size_t>(kWidth) * kHeight;
    const bool floats = format == "gbrpf32le", packed = format == "rgb48le";
    const std::size_t sampleBytes = floats ? 4 : 2;
    const std::size_t frameBytes = pixels * 3 * sampleBytes;
    const double top = format == "gbrp12le" ? 4095.0 : 65535.0;
    EXPECT_EQ(bytes.size() % frameBytes, 0u);
    Levels levels;
    for (std::size_t frame = 0; frame * frameBytes < bytes.size(); ++frame) {
        const char* data = bytes.data() + frame * frameBytes;
        const auto sample = [&](std::size_t index) {
            if (floats) {
                float value;
                std::memcpy(&value, data + index * 4, 4);
                return static_cast<double>(value);
            }
            std::uint16_t code;
            std::memcpy(&code, data + index * 2, 2);
            return code / top;
        };
        double sum = 0.0;
        std::size_t above = 0;
        for (std::size_t i = 0; i < pixels; ++i) {
            // Planar formats hold G, B, R planes; rgb48 holds R, G, B words a pixel.
            const double r = packed ? sample(i * 3) : sample(2 * pixels + i);
            const double g = packed ? sample(i * 3 + 1) : sample(i);
            const double b = packed ? sample(i * 3 + 2) : sample(pixels + i);
            const double light = pqNits(std::max({r, g, b}));
            levels.maxCll = std::max(levels.maxCll, light);
            sum += light;
            above += pqNits(0.2627 * r + 0.6780 * g + 0.0593 * b) > 203.0;
        }
        levels.abovePercent.push_back(100.0 * static_cast<double>(above) / static_cast<double>(pixels));
        levels.maxFall = std::max(levels.maxFall, sum / static_cast<double>(pixels));
    }
    return levels;
}

Report measured(const std::string& file, bool givenPq = false)
{
    Request request;
    request.input = file;
    request.areaMode = AreaMode::Full;
    if (givenPq)
        request.transfer = hdrmeter::Transfer::Pq;
    return measure(request);
}

}  // namespace

// Each form a master is held in is measured as R'G'B', within 0.02 % of a double-precision computation
// of its decoded samples, and says what it is; a linear-light float is refused in one line. The same
// picture as 16-bit R'G'B' and as 16-bit Y'CbCr 4:4:4 gives the same levels within what the conversion
// keeps.
TEST(Masters, EachFormIsMeasuredAsItsDecodedSamples)
{
    struct Case {
        std::string file;
        std::string make;             // ffmpeg's filters and output options for kPicture
        std::string referenceFormat;  // the decoder's own format, read back for the reference
        std::string stated;           // in the summary's format description; empty: refused
        bool givenPq = false;         // measured with transfer=pq
    };
    const Case cases[] = {
        {"gbrp12le.mkv", "-vf format=gbrp12le," + kPqTags + " -c:v ffv1", "gbrp12le", "R'G'B' 12-bit full range"},
        {"gbrp16le.mkv", "-vf format=gbrp16le," + kPqTags + " -c:v ffv1", "gbrp16le", "R'G'B' 16-bit full range"},
        // OpenJPEG's encoder keeps 12 bits; the decoders hand them over as rgb48, the codes times 16, which
        // are measured as the 12-bit codes they are (as 16-bit full scale, 0.22 % low at the top).
        {"j2k12.mxf", "-vf format=gbrp12le," + kPqTags + " -c:v libopenjpeg", "gbrp12le", "R'G'B' 12-bit full range"},
        // A single image, decoded as big-endian rgb48be.
        {"rgb48.png", "-vf format=rgb48be -frames:v 1", "rgb48le", "R'G'B' 16-bit full range"},
        // OpenEXR holds linear light by definition, and FFmpeg 7's decoder says so whatever the container
        // states: PQ signals in it are measured as such when the transfer is given.
        {"float.mkv", "-vf format=gbrpf32le," + kPqTags + " -c:v exr", "gbrpf32le", "R'G'B' float", true},
        {"linear.exr", "-vf format=gbrpf32le -frames:v 1", "", ""},
    };
    const std::string folder = ::testing::TempDir() + "hdrmeter_masters_";
    for (const Case& test : cases) {
        SCOPED_TRACE(test.file);
        const std::string file = folder + test.file;
        ASSERT_EQ(std::system(("ffmpeg -v error -nostdin -y -f lavfi -i \"" + kPicture + "\" -frames:v " +
                               std::to_string(kFrames) + " " + test.make + " '" + file + "'")
                                  .c_str()),
                  0);
        if (test.stated.empty()) {
            try {
                measured(file);
                ADD_FAILURE() << "a linear float was measured";
            } catch (const InputError& error) {
                const std::string message = error.what();
                EXPECT_NE(message.find("linear light"), std::string::npos) << message;
                EXPECT_EQ(message.find('\n'), std::string::npos) << message;
            }
            std::remove(file.c_str());
            continue;
        }
        const Report report = measured(file, test.givenPq);
        ASSERT_EQ(report.ending, Ending::Complete) << report.failure;
        const std::string summary = summaryText(report);
        EXPECT_NE(summary.find(test.stated), std::string::npos) << summary;
        // The HDR10 lines are for the Y'CbCr encode made from the full-range master.
        EXPECT_NE(summary.find("--colormatrix bt2020nc --range limited"), std::string::npos) << summary;
        EXPECT_NE(summaryJsonText(report).find("\"colour_model\": \"rgb\""), std::string::npos);
        const Levels reference = referenceLevels(file, test.referenceFormat);
        EXPECT_NEAR(report.summary.maxCll().value(), reference.maxCll, reference.maxCll * 2e-4);
        EXPECT_NEAR(report.summary.maxFall().value(), reference.maxFall, reference.maxFall * 2e-4);
        // Luma rounded to a whole code may cross the threshold where the exact sum does not: a few pixels.
        ASSERT_EQ(report.frames.size(), reference.abovePercent.size());
        for (std::size_t frame = 0; frame < report.frames.size(); ++frame)
            EXPECT_NEAR(report.frames[frame].numbers.aboveThresholdPercent, reference.abovePercent[frame], 0.1);
        std::remove(file.c_str());
    }

    // The 16-bit picture converted here to 16-bit narrow-range BT.2020 Y'CbCr 4:4:4 in double precision
    // and rounded: each of Y', Cb and Cr is then within half a code, so B', the worst, comes back within
    // half a luma code and 1.8814 half chroma codes, and its light code rounds by half a 16-bit code more
    // (the R'G'B' codes are light codes already). The levels may differ by that signal error through the
    // PQ curve's steepest part, its top.
    const std::size_t pixels = static_cast<std::size_t>(kWidth) * kHeight;
    std::vector<std::uint16_t> rgbPlanes(pixels * 3 * kFrames), ycbcrPlanes(pixels * 3 * kFrames);
    for (int n = 0; n < kFrames; ++n)
        for (std::size_t i = 0; i < pixels; ++i) {
            const long x = static_cast<long>(i % kWidth), y = static_cast<long>(i / kWidth);
            const double r = (x * 613 + y * 97 + n * 1009) % 65536, g = (x * 211 + y * 331 + n * 57) % 65536,
                         b = (x * 37 + y * 719 + n * 3) % 65536;
            std::uint16_t* const rgb = rgbPlanes.data() + pixels * 3 * static_cast<std::size_t>(n) + i;
            rgb[0] = static_cast<std::uint16_t>(g);
            rgb[pixels] = static_cast<std::uint16_t>(b);
            rgb[pixels * 2] = static_cast<std::uint16_t>(r);
            const double luma = (0.2627 * r + 0.6780 * g + 0.0593 * b) / 65535.0;
            const double cb = (b / 65535.0 - luma) / 1.8814, cr = (r / 65535.0 - luma) / 1.4746;
            std::uint16_t* const ycbcr = ycbcrPlanes.data() + pixels * 3 * static_cast<std::size_t>(n) + i;
            ycbcr[0] = static_cast<std::uint16_t>(std::lround(4096.0 + luma * 56064.0));
            ycbcr[pixels] = static_cast<std::uint16_t>(std::lround(32768.0 + cb * 57344.0));
            ycbcr[pixels * 2] = static_cast<std::uint16_t>(std::lround(32768.0 + cr * 57344.0));
        }
    Report held[2];
    const std::pair<const char*, std::vector<std::uint16_t>*> forms[] = {{"gbrp16le", &rgbPlanes},
                                                                         {"yuv444p16le", &ycbcrPlanes}};
    for (int form = 0; form < 2; ++form) {
        const std::string file = folder + forms[form].first + ".raw";
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(forms[form].second->data()),
                   static_cast<std::streamsize>(forms[form].second->size() * 2));
        Request request;
        request.input = file;
        request.raw = RawVideo{kWidth, kHeight, forms[form].first};
        request.areaMode = AreaMode::Full;
        held[form] = measure(request);
        std::remove(file.c_str());
        ASSERT_EQ(held[form].ending, Ending::Complete) << held[form].failure;
    }
    const double signalError = 0.5 / 56064.0 + 1.8814 * 0.5 / 57344.0 + 0.5 / 65535.0;
    const double nitsError = pqNits(1.0) - pqNits(1.0 - signalError);
    EXPECT_NEAR(held[1].summary.maxCll().value(), held[0].summary.maxCll().value(), nitsError);
    EXPECT_NEAR(held[1].summary.maxFall().value(), held[0].summary.maxFall().value(), nitsError);
}
