// Transfer functions and the tables that turn code values into light once per configuration, so that
// measuring a frame needs nothing but look-ups and additions per pixel.
#include "hdrmeter.h"
#include "measurement/lookup_tables.h"
#include "measurement/transfer_functions.h"

#include <algorithm>
#include <cmath>
#include <new>

namespace hdrmeter {
namespace detail {

namespace {
const CodeLevels kCodeLevels[] = {
    // depth, black, range, last, neutral, LUT size, luma min/max, chroma min/max, rgb min/max
    {10, 64, 876, 1023, 512, 1024, 64, 940, 64, 960, 64, 940},
    {12, 256, 3504, 4095, 2048, 4096, 256, 3760, 256, 3840, 256, 3760},
    {16, 4096, 56064, 65535, 32768, 65536, 4096, 60160, 4096, 61440, 4096, 60160},
};
}  // namespace

const CodeLevels* codeLevelsFor(int bitDepth) {
    for (const CodeLevels& levels : kCodeLevels) {
        if (levels.bitDepth == bitDepth) return &levels;
    }
    return nullptr;
}

ChromaCoefficients chromaCoefficientsFor(const std::wstring& colorSpace) {
    if (colorSpace == L"BT.2020") return {1.4746f, -0.1646f, -0.5714f, 1.8814f};
    return {1.5396f, -0.1831f, -0.4577f, 1.8142f};
}

BandParameters levelParameters(const double* luminance, const CodeLevels& levels,
                               const ChromaCoefficients& coefficients) {
    BandParameters p{};
    p.luminance = luminance;
    p.lumaMin = levels.lumaMin;
    p.lumaMax = levels.lumaMax;
    p.chromaMin = levels.chromaMin;
    p.chromaMax = levels.chromaMax;
    p.rgbMin = levels.rgbMin;
    p.rgbMax = levels.rgbMax;
    p.lightScale = 1.0f;
    p.chromaNeutral = levels.chromaNeutral;
    p.redFromCr = coefficients.redFromCr;
    p.greenFromCb = coefficients.greenFromCb;
    p.greenFromCr = coefficients.greenFromCr;
    p.blueFromCb = coefficients.blueFromCb;
    return p;
}

}  // namespace detail
}  // namespace hdrmeter

using hdrmeter::detail::ChromaCoefficients;
using hdrmeter::detail::CodeLevels;
using hdrmeter::detail::LookupTables;

double CHDR_Measurements::PQ10000_f(double signal) { return hdrmeter::detail::pqEotf(signal); }

double CHDR_Measurements::HLG1000_f(double signal) { return hdrmeter::detail::hlgEotf(signal); }

bool CHDR_Measurements::InitializeMeasurements(HDR_Info& info) {
    // Tables of an earlier configuration go first, so reconfiguring without Destroy_LUT leaks nothing.
    Destroy_LUT();

    thresholdLevel = info.thresholdLevel;
    thresholdUnit = info.thresholdUnit;
    measureLightLevel = info.measureLightLevel;
    measurePercentiles = info.measurePercentiles;
    topPercent1 = info.topPercent1;
    topPercent2 = info.topPercent2;
    bottomPercent = info.bottomPercent;

    const CodeLevels* levels = hdrmeter::detail::codeLevelsFor(info.bitDepth);
    if (levels == nullptr) return false;
    // Refused here, so that a measurement never reads outside the table or the luminance buffer.
    const auto isPercentage = [](float percent) { return percent >= 0.0f && percent <= 100.0f; };
    if (!isPercentage(topPercent1) || !isPercentage(topPercent2) || !isPercentage(bottomPercent)) return false;
    const auto isCode = [&](int level) { return level >= 0 && level <= levels->lastCode; };
    if (thresholdUnit != L"NITS" && !isCode(thresholdLevel)) return false;
    if (measurePercentiles && info.levelUnit != L"NITS") {
        for (int level : {info.topLevel1, info.topLevel2, info.bottomLevel}) {
            if (level != -1 && !isCode(level)) return false;
        }
    }
    chromaNeutral = levels->chromaNeutral;
    chromaLUTSize = levels->chromaLUTSize;
    lumaMin = levels->lumaMin;
    lumaMax = levels->lumaMax;
    chromaMin = levels->chromaMin;
    chromaMax = levels->chromaMax;
    rgbMin = levels->rgbMin;
    rgbMax = levels->rgbMax;

    const size_t eotfEntries = size_t{2} << (info.bitDepth - 1);
    std::unique_ptr<float[], hdrmeter::detail::FreeDeleter> eotf(
        static_cast<float*>(std::calloc(eotfEntries, sizeof(float))));
    if (!eotf) return false;

    const bool hlg = info.transferFunction == L"HLG";
    peakLuminance = hlg ? 1000.0f : 10000.0f;
    const float blackCode = static_cast<float>(levels->blackCode);
    const float codeRange = static_cast<float>(levels->codeRange);
    for (int code = 0; code <= levels->lastCode; ++code) {
        const float signal = (static_cast<float>(code) - blackCode) / codeRange;
        const double luminance = hlg ? HLG1000_f(signal) : PQ10000_f(signal);
        eotf[code] = static_cast<float>(luminance);
    }

    // Everything below allocates with operator new; the tables only become the object's once complete,
    // so an exception leaves nothing allocated and the object unconfigured.
    auto tables = std::make_shared<LookupTables>();
    tables->eotf = std::move(eotf);
    const int lutSize = chromaLUTSize;
    tables->redFromCr.reset(new float[lutSize]);
    tables->blueFromCb.reset(new float[lutSize]);
    // The 2-D G table would hold 16 GiB at 16 bits; there G is computed per pixel with the same operations.
    const bool buildGreenTable = info.bitDepth != 16;
    if (buildGreenTable) {
        tables->greenRows.reset(new float*[lutSize]());
        tables->greenRowCount = lutSize;
        for (int row = 0; row < lutSize; ++row) tables->greenRows[row] = new float[lutSize];
    }

    if (thresholdUnit == L"NITS") {
        thresholdLuminance = static_cast<double>(static_cast<float>(thresholdLevel) / peakLuminance);
    } else {
        thresholdLuminance = static_cast<double>(tables->eotf[thresholdLevel]);
    }

    if (measurePercentiles) {
        if (info.levelUnit == L"NITS") {
            info.topLevel1Nits = static_cast<double>(info.topLevel1);
            info.topLevel2Nits = static_cast<double>(info.topLevel2);
            info.bottomLevelNits = static_cast<double>(info.bottomLevel);
        } else {
            const auto toNits = [&](int level, double& nits) {
                if (level != -1) nits = static_cast<double>(tables->eotf[level]) * peakLuminance;
            };
            toNits(info.topLevel1, info.topLevel1Nits);
            toNits(info.topLevel2, info.topLevel2Nits);
            toNits(info.bottomLevel, info.bottomLevelNits);
        }
    }

    const ChromaCoefficients k = hdrmeter::detail::chromaCoefficientsFor(info.colorSpace);
    tables->coefficients = k;
    for (int code = 0; code < lutSize; ++code) {
        const float difference = static_cast<float>(code - chromaNeutral);
        tables->redFromCr[code] = difference * k.redFromCr;
        tables->blueFromCb[code] = difference * k.blueFromCb;
    }
    // Filled row by row for the cache; each entry is the same two products and one sum in either order.
    for (int cb = 0; cb < (buildGreenTable ? lutSize : 0); ++cb) {
        float* row = tables->greenRows[cb];
        for (int cr = 0; cr < lutSize; ++cr) {
            row[cr] = hdrmeter::detail::greenMinusLuma(cb, cr, chromaNeutral, k.greenFromCb, k.greenFromCr);
        }
    }

    tables->levels = *levels;
    tables->peakLuminance = peakLuminance;
    tables->eotfWidened.reset(new double[eotfEntries]);
    std::copy_n(tables->eotf.get(), eotfEntries, tables->eotfWidened.get());

    eotfLUT = tables->eotf.get();
    crToR = tables->redFromCr.get();
    cbToB = tables->blueFromCb.get();
    cbCrToG = tables->greenRows.get();
    sharedTables_ = std::move(tables);
    return true;
}
