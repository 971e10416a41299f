#include "peak_picture.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace hdrmeter::clip {

namespace {

double pqNits(double signal)
{
    const double m1 = 2610.0 / 16384, m2 = 2523.0 / 4096 * 128, c1 = 3424.0 / 4096, c2 = 2413.0 / 4096 * 32,
                 c3 = 2392.0 / 4096 * 32;
    const double p = std::pow(std::clamp(signal, 0.0, 1.0), 1.0 / m2);
    return 10000.0 * std::pow(std::max(p - c1, 0.0) / (c2 - c3 * p), 1.0 / m1);
}

double hlgSceneLight(double signal)
{
    const double a = 0.17883277, b = 1.0 - 4.0 * a, c = 0.5 - a * std::log(4.0 * a);
    signal = std::clamp(signal, 0.0, 1.0);
    return signal <= 0.5 ? signal * signal / 3.0 : (std::exp((signal - c) / a) + b) / 12.0;
}

double srgbEncoded(double linear)
{
    linear = std::clamp(linear, 0.0, 1.0);
    return linear <= 0.0031308 ? 12.92 * linear : 1.055 * std::pow(linear, 1.0 / 2.4) - 0.055;
}

std::uint16_t sampleAt(const FrameView& view, int plane, int x, int y)
{
    const auto* row = reinterpret_cast<const std::uint8_t*>(view.planes[plane]) + view.strides[plane] * y;
    return reinterpret_cast<const std::uint16_t*>(row)[static_cast<std::ptrdiff_t>(x) * view.steps[plane]];
}

}  // namespace

PeakPicture peakPictureOf(const FrameView& view, Transfer transfer, Matrix matrix, double peakNits, int peakX,
                          int peakY, int largestWidth)
{
    PeakPicture picture;
    picture.frameWidth = view.width;
    picture.frameHeight = view.height;
    picture.width = std::max(1, std::min(view.width, largestWidth));
    picture.height = std::max(1, static_cast<int>(std::lround(static_cast<double>(view.height) * picture.width /
                                                               view.width)));
    picture.rgb.resize(static_cast<std::size_t>(picture.width) * picture.height * 3);

    const double kr = matrix == Matrix::Bt2020 ? 0.2627 : 0.2126;
    const double kb = matrix == Matrix::Bt2020 ? 0.0593 : 0.0722;
    const double kg = 1.0 - kr - kb;
    const double scale = std::ldexp(1.0, view.bitDepth - 8);
    const double top = std::ldexp(1.0, view.bitDepth) - 1.0;
    const bool narrow = view.range == SampleRange::Narrow;
    const int chromaShiftX = view.layout == ChromaLayout::Yuv444 ? 0 : 1;
    const int chromaShiftY = view.layout == ChromaLayout::Yuv420 ? 1 : 0;
    // BT.2020 light on a BT.709 screen: the conversion of ITU-R BT.2087.
    const std::array<std::array<double, 3>, 3> toBt709 = {{{1.6605, -0.5876, -0.0728},
                                                           {-0.1246, 1.1329, -0.0083},
                                                           {-0.0182, -0.1006, 1.1187}}};
    // Light in units of SDR white (100 nits), pressed so that the frame's peak lands at white.
    const double whitePoint = std::max(peakNits, 100.0) / 100.0;
    for (int outY = 0; outY < picture.height; ++outY) {
        const int y = std::min(view.height - 1, static_cast<int>((outY + 0.5) * view.height / picture.height));
        for (int outX = 0; outX < picture.width; ++outX) {
            const int x = std::min(view.width - 1, static_cast<int>((outX + 0.5) * view.width / picture.width));
            std::array<double, 3> signal;
            if (view.model == ColourModel::Rgb) {
                for (int c = 0; c < 3; ++c) {
                    const double code = sampleAt(view, c, x, y);
                    signal[c] = narrow ? (code - 16 * scale) / (219 * scale) : code / top;
                }
            } else {
                const double luma = sampleAt(view, 0, x, y);
                const double cb = sampleAt(view, 1, x >> chromaShiftX, y >> chromaShiftY);
                const double cr = sampleAt(view, 2, x >> chromaShiftX, y >> chromaShiftY);
                const double signalY = narrow ? (luma - 16 * scale) / (219 * scale) : luma / top;
                const double signalCb = narrow ? (cb - 128 * scale) / (224 * scale) : (cb - (top + 1) / 2) / top;
                const double signalCr = narrow ? (cr - 128 * scale) / (224 * scale) : (cr - (top + 1) / 2) / top;
                signal[0] = signalY + 2 * (1 - kr) * signalCr;
                signal[2] = signalY + 2 * (1 - kb) * signalCb;
                signal[1] = (signalY - kr * signal[0] - kb * signal[2]) / kg;
            }
            std::array<double, 3> light;
            if (transfer == Transfer::Pq) {
                for (int c = 0; c < 3; ++c)
                    light[c] = pqNits(signal[c]) / 100.0;
            } else {
                for (int c = 0; c < 3; ++c)
                    light[c] = hlgSceneLight(signal[c]);
                const double sceneLuminance = kr * light[0] + kg * light[1] + kb * light[2];
                const double gain = 10.0 * std::pow(std::max(sceneLuminance, 1e-9), 0.2);
                for (double& value : light)
                    value *= gain;
            }
            if (matrix == Matrix::Bt2020) {
                const std::array<double, 3> wide = light;
                for (int c = 0; c < 3; ++c)
                    light[c] = toBt709[c][0] * wide[0] + toBt709[c][1] * wide[1] + toBt709[c][2] * wide[2];
            }
            const double largest = std::max({light[0], light[1], light[2]});
            const double pressed = largest * (1 + largest / (whitePoint * whitePoint)) / (1 + largest);
            const double gain = largest > 0 ? pressed / largest : 0.0;
            std::uint8_t* out = &picture.rgb[(static_cast<std::size_t>(outY) * picture.width + outX) * 3];
            for (int c = 0; c < 3; ++c)
                out[c] = static_cast<std::uint8_t>(std::lround(255.0 * srgbEncoded(light[c] * gain)));
        }
    }

    // A ring in two colours, visible on any picture, around the peak wherever it falls.
    const double centreX = (peakX + 0.5) * picture.width / view.width;
    const double centreY = (peakY + 0.5) * picture.height / view.height;
    for (int y = 0; y < picture.height; ++y)
        for (int x = 0; x < picture.width; ++x) {
            const double distance = std::hypot(x + 0.5 - centreX, y + 0.5 - centreY);
            const bool inner = distance >= 7.0 && distance < 9.0;
            const bool outer = distance >= 9.0 && distance < 11.0;
            if (!inner && !outer)
                continue;
            std::uint8_t* out = &picture.rgb[(static_cast<std::size_t>(y) * picture.width + x) * 3];
            out[0] = inner ? 255 : 0;
            out[1] = 0;
            out[2] = inner ? 255 : 0;
        }
    return picture;
}

}  // namespace hdrmeter::clip
