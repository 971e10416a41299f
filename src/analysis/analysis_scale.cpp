// The analyzer's tables. Narrow-range tables are built exactly as CHDR_Measurements builds its own, so
// that the class's arithmetic can be reproduced bit for bit.
#include "analysis/analysis_scale.h"

#include "measurement/transfer_functions.h"

#include <algorithm>
#include <cmath>
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
           matrix == other.matrix && arithmetic == other.arithmetic && thresholdNits == other.thresholdNits &&
           top1Percent == other.top1Percent && top2Percent == other.top2Percent && bottomPercent == other.bottomPercent;
}

std::shared_ptr<const AnalysisScale> buildAnalysisScale(const AnalysisSettings& settings, int bitDepth,
                                                        SampleRange range) {
    const bool classCoefficients = settings.arithmetic.coefficients == Coefficients::Listed;
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
        const CodeLevels* narrow = codeLevelsFor(bitDepth);
        if (narrow == nullptr) throw std::invalid_argument("the bit depth must be 10, 12 or 16");
        s.levels = *narrow;
    } else {
        const int last = codes - 1;
        s.levels = CodeLevels{bitDepth, 0, last, last, codes / 2, codes, 0, last, 0, last, 0, last};
    }

    const bool hlg = settings.transfer == Transfer::Hlg;
    const float peak = hlg ? 1000.0f : 10000.0f;
    s.peakNits = peak;
    s.luminance.resize(static_cast<size_t>(codes));
    const float black = static_cast<float>(s.levels.blackCode);
    const float codeRange = static_cast<float>(s.levels.codeRange);
    for (int code = 0; code < codes; ++code) {
        const float signal = (static_cast<float>(code) - black) / codeRange;
        s.luminance[code] = static_cast<float>(hlg ? hlgEotf(signal) : pqEotf(signal));
    }
    if (classCoefficients) {
       
        s.lightLuminance = s.luminance;
    } else {
        // The same single-precision quotient as the luma table's: a light code that is a whole code gives
        // the same real quotient, correctly rounded alike, so neutral chroma still gives light equal to
        // luminance.
        s.lightScale = 1 << (16 - bitDepth);
        const int lightCodes = codes * s.lightScale;
        const float lightBlack = black * static_cast<float>(s.lightScale);
        const float lightRange = codeRange * static_cast<float>(s.lightScale);
        s.lightLuminance.resize(static_cast<size_t>(lightCodes));
        for (int code = 0; code < lightCodes; ++code) {
            const float signal = (static_cast<float>(code) - lightBlack) / lightRange;
            s.lightLuminance[code] = static_cast<float>(hlg ? hlgEotf(signal) : pqEotf(signal));
        }
    }
    s.lightPqSignal.resize(s.lightLuminance.size());
    for (size_t code = 0; code < s.lightLuminance.size(); ++code) {
        s.lightPqSignal[code] = hdrmeter::pqSignalOfNits(s.peakNits * s.lightLuminance[code]);
    }
    // The kernel's shortcuts hold only for tables that never decrease; PQ and HLG tables never do.
    if (!std::is_sorted(s.luminance.begin(), s.luminance.end()) ||
        !std::is_sorted(s.lightLuminance.begin(), s.lightLuminance.end())) {
        throw std::logic_error("the luminance table of this transfer function decreases somewhere");
    }

    if (classCoefficients) {
        s.coefficients = chromaCoefficientsFor(settings.matrix == Matrix::Bt2020 ? L"BT.2020" : L"BT.709");
        s.codeRounding = 0.0f;
    } else {
        // R' = Y' + 2(1 - Kr) Cr, B' = Y' + 2(1 - Kb) Cb, G' = Y' - (2 Kb (1 - Kb) Cb + 2 Kr (1 - Kr) Cr) / Kg,
        // with Cb and Cr in chroma code units, taken to luma code units: narrow-range chroma spans 896
        // codes where luma spans 876 (at 10 bits); full-range chroma and luma span the same.
        const ExactWeights k = weightsOf(settings.matrix);
        const double green = 1.0 - k.red - k.blue;
        const double toLumaUnits = range == SampleRange::Narrow ? 876.0 / 896.0 : 1.0;
        ChromaCoefficients& c = s.coefficients;
        c.redFromCr = static_cast<float>(2.0 * (1.0 - k.red) * toLumaUnits);
        c.blueFromCb = static_cast<float>(2.0 * (1.0 - k.blue) * toLumaUnits);
        c.greenFromCb = static_cast<float>(-2.0 * k.blue * (1.0 - k.blue) / green * toLumaUnits);
        c.greenFromCr = static_cast<float>(-2.0 * k.red * (1.0 - k.red) / green * toLumaUnits);
        s.codeRounding = 0.5f;
    }

    // Both matrices' coefficients are four-decimal numbers, so these integers are them exactly.
    const ExactWeights weights = weightsOf(settings.matrix);
    s.lumaWeights[0] = static_cast<int>(std::lround(weights.red * 10000.0));
    s.lumaWeights[2] = static_cast<int>(std::lround(weights.blue * 10000.0));
    s.lumaWeights[1] = 10000 - s.lumaWeights[0] - s.lumaWeights[2];

    // As the class: the threshold in single precision, a luminance counting when strictly above it.
    const double thresholdLuminance =
        static_cast<double>(static_cast<float>(settings.thresholdNits) / peak);
    const auto first = std::partition_point(s.luminance.begin() + s.levels.lumaMin,
                                            s.luminance.begin() + s.levels.lumaMax + 1,
                                            [&](double luminance) { return !(luminance > thresholdLuminance); });
    s.firstLumaCodeAbove = static_cast<int>(first - s.luminance.begin());
    return scale;
}

}  // namespace detail
}  // namespace hdrmeter
