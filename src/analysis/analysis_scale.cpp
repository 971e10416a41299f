// The analyzer's tables. Narrow-range tables are built exactly as CHDR_Measurements builds its own, so
// that the class's arithmetic can be reproduced bit for bit.
#include "analysis/analysis_scale.h"

#include "measurement/transfer_functions.h"

#include <algorithm>
#include <stdexcept>

namespace hdrmeter {
namespace detail {

namespace {

struct ExactWeights {
    double red, blue;  // Kr and Kb; Kg = 1 - Kr - Kb
};

ExactWeights weightsOf(Matrix matrix) {
    return matrix == Matrix::Bt709 ? ExactWeights{0.2126, 0.0722} : ExactWeights{0.2627, 0.0593};
}

}  // namespace

bool AnalysisScale::measuresAlike(const AnalysisScale& other) const {
    return bitDepth == other.bitDepth && range == other.range && transfer == other.transfer &&
           matrix == other.matrix && arithmetic.coefficients == other.arithmetic.coefficients &&
           arithmetic.summation == other.arithmetic.summation && arithmetic.ranks == other.arithmetic.ranks &&
           thresholdNits == other.thresholdNits && top1Percent == other.top1Percent &&
           top2Percent == other.top2Percent && bottomPercent == other.bottomPercent;
}

std::shared_ptr<const AnalysisScale> buildAnalysisScale(const AnalysisSettings& settings, int bitDepth,
                                                        SampleRange range) {
    const bool classCoefficients = settings.arithmetic.coefficients == Coefficients::Class;
    if (classCoefficients && range == SampleRange::Full) {
        throw std::invalid_argument(
            "the class's coefficient sets are for narrow-range codes: measure full-range samples with exact "
            "coefficients");
    }
    auto scale = std::make_shared<AnalysisScale>();
    AnalysisScale& s = *scale;
    s.bitDepth = bitDepth;
    s.range = range;
    s.transfer = settings.transfer;
    s.matrix = settings.matrix;
    s.arithmetic = settings.arithmetic;
    s.thresholdNits = settings.thresholdNits;
    s.top1Percent = settings.top1Percent;
    s.top2Percent = settings.top2Percent;
    s.bottomPercent = settings.bottomPercent;

    const int codes = 1 << bitDepth;
    if (range == SampleRange::Narrow) {
        // 16-bit levels are the 10-bit ones times 64, as the class sets them.
        const int unit = bitDepth == 10 ? 1 : bitDepth == 12 ? 4 : 64;
        s.blackCode = 64 * unit;
        s.codeRange = 876 * unit;
        s.lumaMin = s.chromaMin = s.rgbMin = 64 * unit;
        s.lumaMax = s.rgbMax = 940 * unit;
        s.chromaMax = 960 * unit;
        s.chromaNeutral = 512 * unit;
    } else {
        s.blackCode = 0;
        s.codeRange = codes - 1;
        s.lumaMin = s.chromaMin = s.rgbMin = 0;
        s.lumaMax = s.chromaMax = s.rgbMax = codes - 1;
        s.chromaNeutral = codes / 2;
    }

    const bool hlg = settings.transfer == Transfer::Hlg;
    const float peak = hlg ? 1000.0f : 10000.0f;
    s.peakNits = peak;
    s.luminance.resize(static_cast<size_t>(codes));
    s.pqSignal.resize(static_cast<size_t>(codes));
    const float black = static_cast<float>(s.blackCode);
    const float codeRange = static_cast<float>(s.codeRange);
    for (int code = 0; code < codes; ++code) {
        const float signal = (static_cast<float>(code) - black) / codeRange;
        const float luminance = static_cast<float>(hlg ? hlgEotf(signal) : pqEotf(signal));
        s.luminance[code] = luminance;
        s.pqSignal[code] = pqSignalOfNits(s.peakNits * s.luminance[code]);
    }
    // The kernel's shortcuts hold only for tables that never decrease; PQ and HLG tables never do.
    if (!std::is_sorted(s.luminance.begin(), s.luminance.end())) {
        throw std::logic_error("the luminance table of this transfer function decreases somewhere");
    }

    if (classCoefficients) {
        const bool bt2020 = settings.matrix == Matrix::Bt2020;
        s.redFromCr = bt2020 ? 1.4746f : 1.5396f;
        s.greenFromCb = bt2020 ? -0.1646f : -0.1831f;
        s.greenFromCr = bt2020 ? -0.5714f : -0.4577f;
        s.blueFromCb = bt2020 ? 1.8814f : 1.8142f;
        s.codeRounding = 0.0f;
    } else {
        // R' = Y' + 2(1 - Kr) Cr, B' = Y' + 2(1 - Kb) Cb, G' = Y' - (2 Kb (1 - Kb) Cb + 2 Kr (1 - Kr) Cr) / Kg,
        // with Cb and Cr in chroma code units, taken to luma code units: narrow-range chroma spans 896
        // codes where luma spans 876 (at 10 bits); full-range chroma and luma span the same.
        const ExactWeights k = weightsOf(settings.matrix);
        const double green = 1.0 - k.red - k.blue;
        const double toLumaUnits = range == SampleRange::Narrow ? 876.0 / 896.0 : 1.0;
        s.redFromCr = static_cast<float>(2.0 * (1.0 - k.red) * toLumaUnits);
        s.blueFromCb = static_cast<float>(2.0 * (1.0 - k.blue) * toLumaUnits);
        s.greenFromCb = static_cast<float>(-2.0 * k.blue * (1.0 - k.blue) / green * toLumaUnits);
        s.greenFromCr = static_cast<float>(-2.0 * k.red * (1.0 - k.red) / green * toLumaUnits);
        s.codeRounding = 0.5f;
    }

    // As the class: the threshold in single precision, a luminance counting when strictly above it.
    const double thresholdLuminance =
        static_cast<double>(static_cast<float>(settings.thresholdNits) / peak);
    const auto first = std::partition_point(s.luminance.begin() + s.lumaMin, s.luminance.begin() + s.lumaMax + 1,
                                            [&](double luminance) { return !(luminance > thresholdLuminance); });
    s.firstLumaCodeAbove = static_cast<int>(first - s.luminance.begin());
    return scale;
}

}  // namespace detail
}  // namespace hdrmeter
