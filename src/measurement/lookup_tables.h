// Internal to the measurement engine: the immutable lookup tables that a configured object and its
// copies share, and the code levels and colour-difference coefficients they are built from.
#ifndef HDRMETER_MEASUREMENT_LOOKUP_TABLES_H
#define HDRMETER_MEASUREMENT_LOOKUP_TABLES_H

#include <cstdlib>
#include <memory>
#include <string>

#include "measurement/band_kernel.h"

namespace hdrmeter {
namespace detail {

// Code levels of one bit depth. Black code and code range map a code c to the normalised signal
// (c - blackCode) / codeRange; 16-bit levels are the 10-bit ones times 64.
struct CodeLevels {
    int bitDepth;
    int blackCode;
    int codeRange;
    int lastCode;
    int chromaNeutral;
    int chromaLUTSize;
    int lumaMin;
    int lumaMax;
    int chromaMin;
    int chromaMax;
    int rgbMin;
    int rgbMax;
};

// Null for a bit depth the engine does not measure (anything but 10, 12 and 16).
const CodeLevels* codeLevelsFor(int bitDepth);

// Colour-difference to R, G, B coefficients, in single precision as they are used.
struct ChromaCoefficients {
    float redFromCr;
    float greenFromCb;
    float greenFromCr;
    float blueFromCb;
};

// L"BT.2020" exactly selects the BT.2020 set; anything else the BT.709 set scaled by 876/896.
ChromaCoefficients chromaCoefficientsFor(const std::wstring& colorSpace);

// The band parameters that follow from a table, its code levels and coefficients; the caller adds the
// threshold, rounding, what to measure and the histograms. Defined outside the kernel's translation
// units, which must not emit shared inline code.
BandParameters levelParameters(const double* luminance, const CodeLevels& levels,
                               const ChromaCoefficients& coefficients);

// G minus Y for a (Cb, Cr) code pair with exactly the single-precision operations that fill a cbCrToG
// entry, so that computing it per pixel gives the number the table would hold.
inline float greenMinusLuma(int cb, int cr, int chromaNeutral, float greenFromCb, float greenFromCr) {
    const float fromCr = static_cast<float>(cr - chromaNeutral) * greenFromCr;
    return static_cast<float>(cb - chromaNeutral) * greenFromCb + fromCr;
}

struct FreeDeleter {
    void operator()(float* table) const noexcept { std::free(table); }
};

// Owns the EOTF table (zero-filled by calloc, so that exhaustion is a null result) and the chroma tables.
// Shared, never written after it is built.
struct LookupTables {
    LookupTables() = default;
    LookupTables(const LookupTables&) = delete;
    LookupTables& operator=(const LookupTables&) = delete;
    ~LookupTables() {
        if (greenRows) {
            for (int row = 0; row < greenRowCount; ++row) delete[] greenRows[row];
        }
    }

    std::unique_ptr<float[], FreeDeleter> eotf;
    std::unique_ptr<double[]> eotfWidened;  // the same entries widened, for the fast measurement's additions
    std::unique_ptr<float[]> redFromCr;
    std::unique_ptr<float[]> blueFromCb;
    std::unique_ptr<float*[]> greenRows;  // rows indexed by Cb, each indexed by Cr; null rows are not yet built
    int greenRowCount = 0;
    ChromaCoefficients coefficients{};  // what the chroma tables were built from
    CodeLevels levels{};                // the code levels the tables were built for
    float peakLuminance = 1.0f;         // nit that normalised luminance 1.0 stands for
};

}  // namespace detail
}  // namespace hdrmeter

#endif
