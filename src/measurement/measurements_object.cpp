// Construction, copying and release of a measurement object. Tables are shared between copies through
// reference counting; the per-pixel luminance buffer is each object's own, so copies measure
// independently.
#include "hdrmeter.h"
#include "measurement/lookup_tables.h"

#include <algorithm>
#include <utility>

CHDR_Measurements::CHDR_Measurements()
    : eotfLUT(nullptr),
      chromaNeutral(0),
      lumaMin(0),
      lumaMax(0),
      chromaMin(0),
      chromaMax(0),
      rgbMin(0),
      rgbMax(0),
      peakLuminance(1.0f),
      chromaLUTSize(0),
      crToR(nullptr),
      cbCrToG(nullptr),
      cbToB(nullptr),
      thresholdLevel(0),
      thresholdLuminance(0.0),
      measureLightLevel(false),
      measurePercentiles(false),
      pixelLuminance(nullptr),
      topPercent1(1.0f),
      topPercent2(10.0f),
      bottomPercent(1.0f) {}

CHDR_Measurements::CHDR_Measurements(const CHDR_Measurements& other) : CHDR_Measurements() { *this = other; }

namespace {

// The members that copy and move alike: table pointers (the shared tables keep them alive), levels and
// settings. The luminance buffer, the threshold unit and the tables' owner differ between the two.
void copyPlainMembers(CHDR_Measurements& to, const CHDR_Measurements& from) noexcept {
    to.eotfLUT = from.eotfLUT;
    to.chromaNeutral = from.chromaNeutral;
    to.lumaMin = from.lumaMin;
    to.lumaMax = from.lumaMax;
    to.chromaMin = from.chromaMin;
    to.chromaMax = from.chromaMax;
    to.rgbMin = from.rgbMin;
    to.rgbMax = from.rgbMax;
    to.peakLuminance = from.peakLuminance;
    to.chromaLUTSize = from.chromaLUTSize;
    to.crToR = from.crToR;
    to.cbCrToG = from.cbCrToG;
    to.cbToB = from.cbToB;
    to.thresholdLevel = from.thresholdLevel;
    to.thresholdLuminance = from.thresholdLuminance;
    to.measureLightLevel = from.measureLightLevel;
    to.measurePercentiles = from.measurePercentiles;
    to.topPercent1 = from.topPercent1;
    to.topPercent2 = from.topPercent2;
    to.bottomPercent = from.bottomPercent;
}

}  // namespace

CHDR_Measurements& CHDR_Measurements::operator=(const CHDR_Measurements& other) {
    if (this == &other) return *this;

    // Everything that can throw happens before this object changes, so a failed assignment leaves it as it was.
    std::unique_ptr<double[]> ownLuminance;
    if (other.pixelLuminance != nullptr) {
        ownLuminance.reset(new double[other.pixelLuminanceCapacity_]);
        std::copy_n(other.pixelLuminance, other.pixelLuminanceCapacity_, ownLuminance.get());
    }
    std::wstring unit = other.thresholdUnit;

    copyPlainMembers(*this, other);
    thresholdUnit.swap(unit);
    delete[] pixelLuminance;
    pixelLuminance = ownLuminance.release();
    pixelLuminanceCapacity_ = other.pixelLuminance != nullptr ? other.pixelLuminanceCapacity_ : 0;
    sharedTables_ = other.sharedTables_;  // the destination's old tables go when their last sharer lets go
    return *this;
}

CHDR_Measurements::CHDR_Measurements(CHDR_Measurements&& other) noexcept : CHDR_Measurements() {
    *this = std::move(other);
}

CHDR_Measurements& CHDR_Measurements::operator=(CHDR_Measurements&& other) noexcept {
    if (this == &other) return *this;
    copyPlainMembers(*this, other);
    thresholdUnit = std::move(other.thresholdUnit);
    delete[] pixelLuminance;
    pixelLuminance = other.pixelLuminance;
    pixelLuminanceCapacity_ = other.pixelLuminanceCapacity_;
    sharedTables_ = std::move(other.sharedTables_);
    other.pixelLuminance = nullptr;
    other.pixelLuminanceCapacity_ = 0;
    other.Destroy_LUT();
    return *this;
}

CHDR_Measurements::~CHDR_Measurements() {
    Destroy_LUT();
    delete[] pixelLuminance;
    pixelLuminance = nullptr;
}

bool CHDR_Measurements::Destroy_LUT() {
    if (eotfLUT == nullptr) return true;
    eotfLUT = nullptr;
    crToR = nullptr;
    cbToB = nullptr;
    cbCrToG = nullptr;
    sharedTables_.reset();
    return true;
}

void CHDR_Measurements::reservePixelLuminance(long long pixelCount) {
    if (pixelCount <= pixelLuminanceCapacity_) return;
    double* grown = new double[pixelCount];
    delete[] pixelLuminance;
    pixelLuminance = grown;
    pixelLuminanceCapacity_ = pixelCount;
}
