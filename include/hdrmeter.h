// hdrmeter: measurement of high-dynamic-range video frames.
//
// Two independent faces:
//  * CHDR_Measurements, configured once from an HDR_Info record, then measuring frame after frame:
//    average and largest light (the per-frame inputs of MaxFALL and MaxCLL), the share of pixels above
//    a luminance threshold and three percentile luminances, through PQ (SMPTE ST 2084) or HLG
//    (ITU-R BT.2100) lookup tables.
//  * The ocv* functions: plane checks on host-owned planes (smoothing in parallel stripes, min/max,
//    clamp, out-of-range counts), computed with OpenCV on headers over the host's memory.
//
// Units used below: "code" is a sample's integer code value as stored in a 16-bit word (a 10-bit
// sample lies in 0..1023); "normalised" luminance is 1.0 at the configured peak (10000 nit for PQ,
// 1000 nit for HLG); "nit" is cd/m2.
//
// What costs nothing to check is checked (see InitializeMeasurements and HDR_Measurements); buffer sizes
// and pointers are the caller's to keep right. Failures are exceptions that pass through to the caller (cv::Exception, std::bad_alloc,
// std::system_error from the task facility); the library catches nothing and logs nothing.
//
// Threads: one CHDR_Measurements object serves one thread at a time; distinct objects, copies of one
// object and all ocv* functions may be used from several threads at once as long as two calls do not
// write the same host buffer.
#ifndef HDRMETER_H
#define HDRMETER_H

#include <memory>
#include <string>
#include <tuple>

#include "hdrmeter/export.h"

// How a frame's 16-bit samples lie in the two buffers that HDR_Measurements receives. Every sample is
// an unsigned 16-bit word in the machine's byte order holding the code value in its low bits. With
// N = width * height pixels, the luma sample of pixel p is word p of lumaPlane; framePlanes is a whole
// planar frame (N luma words, then Cb, then Cr) of which only the chroma planes are read.
enum InputPixelFormat : int {
    YCbCr422_A = 0,  // 4:2:2: N/2 Cb words from word N, N/2 Cr words from word N + N/2; pixels 2k, 2k+1 share k
    YCbCr422_B = 1,  // measured exactly as YCbCr422_A
    YCbCr444_A = 2,  // 4:4:4: N Cb words from word N, N Cr words from word 2N; pixel p uses chroma word p
    YCbCr444_B = 3,  // measured exactly as YCbCr444_A
};

// Configuration record for CHDR_Measurements::InitializeMeasurements. Field order and types are part of
// the binary interface. Strings are compared whole, case-sensitively, code unit by code unit.
struct HDR_Info {
    int bitDepth = 10;                 // bits per sample: 10, 12 or 16 (anything else is refused)
    std::wstring transferFunction;     // exactly L"HLG" selects HLG (1000 nit peak); anything else PQ (10000 nit)
    std::wstring colorSpace;           // exactly L"BT.2020" selects BT.2020 coefficients; anything else BT.709 scaled by 876/896
    int thresholdLevel = 0;            // result 2 counts pixels whose luminance is strictly above this level
    std::wstring thresholdUnit;        // exactly L"NITS": thresholdLevel is in nit; anything else: a luma code
    bool measureLightLevel = false;    // enables results 0 and 1 (R, G, B derived per pixel)
    bool measurePercentiles = false;   // enables results 3 to 5 and the writing of the three *Nits fields
    float topPercent1 = 1.0f;          // percent (0..100), counted from the brightest pixel, for result 3
    int topLevel1 = -1;                // host's level paired with topPercent1; -1 means none
    float topPercent2 = 10.0f;         // percent (0..100), counted from the brightest pixel, for result 4
    int topLevel2 = -1;                // host's level paired with topPercent2; -1 means none
    float bottomPercent = 1.0f;        // percent (0..100), counted from the darkest pixel, for result 5
    int bottomLevel = -1;              // host's level paired with bottomPercent; -1 means none
    std::wstring levelUnit;            // exactly L"NITS": the three levels are in nit; anything else: luma codes
    double topLevel1Nits = 0.0;        // written: topLevel1 in nit (only when measurePercentiles is set)
    double topLevel2Nits = 0.0;        // written: topLevel2 in nit (only when measurePercentiles is set)
    double bottomLevelNits = 0.0;      // written: bottomLevel in nit (only when measurePercentiles is set)
};

namespace hdrmeter {
namespace detail {
struct LookupTables;    // immutable EOTF and chroma tables, shared by an object and its copies
struct BandParameters;  // what one band's measurement reads
}
}  // namespace hdrmeter

// Measures HDR frames of one video format. Lifecycle: construct; InitializeMeasurements; then
// HDR_Measurements once per frame; Destroy_LUT (optional, the destructor calls it).
//
// Copies share the immutable lookup tables with their source (reference counted, so copies and sources
// may be destroyed or Destroy_LUT-ed in any order); each object has its own per-pixel luminance buffer,
// so a copy may measure on another thread while its source measures too.
//
// The data members are public so that a host can read the configuration the object derived; they are
// the object's own state and must not be written by the host.
class HDRMETER_API CHDR_Measurements {
public:
    CHDR_Measurements();                                           // unconfigured; see member defaults below
    CHDR_Measurements(const CHDR_Measurements& other);             // shares other's tables, copies its buffer
    CHDR_Measurements& operator=(const CHDR_Measurements& other);  // lets go of this object's tables first
    CHDR_Measurements(CHDR_Measurements&& other) noexcept;         // takes other's tables and buffer; other is
    CHDR_Measurements& operator=(CHDR_Measurements&& other) noexcept;  // left unconfigured, without a buffer
    ~CHDR_Measurements();                                          // Destroy_LUT, then releases the buffer

    // Configures the object: copies the options, sets the code levels of info.bitDepth, builds the
    // EOTF table (2^bitDepth floats, normalised luminance per code) and the chroma tables, derives
    // thresholdLuminance and, when info.measurePercentiles is set, writes info's three *Nits fields.
    // Tables left by an earlier configuration are released first. Returns false, with no table
    // allocated (the options are still copied), when bitDepth is not 10, 12 or 16, when a percentage is
    // NaN or outside 0..100, when thresholdLevel (unless thresholdUnit is L"NITS") or, with percentiles,
    // a level other than -1 (unless levelUnit is L"NITS") is not a code of the table, or when the EOTF
    // table cannot be allocated; raises std::bad_alloc (nothing left allocated) when a chroma table
    // cannot be allocated.
    bool InitializeMeasurements(HDR_Info& info);

    // Releases this object's hold on the lookup tables (the storage goes when its last sharer lets go).
    // Settings, code levels and the per-pixel luminance buffer stay. Always returns true.
    bool Destroy_LUT();

    // Measures one frame of width * height pixels on a configured object, in taskCount concurrent bands
    // (0 means 1). Clamps the host's luma and chroma codes in place to the code levels. Returns, in order:
    //  0: average light per pixel, nit (0.0 when measureLightLevel is off)
    //  1: largest light of any pixel, nit (0.0 when measureLightLevel is off)
    //  2: percent of pixels whose luminance is strictly above thresholdLuminance (0..100)
    //  3: nit reached by the brightest topPercent1 percent of pixels (0.0 when measurePercentiles is off)
    //  4: nit reached by the brightest topPercent2 percent of pixels (0.0 when measurePercentiles is off)
    //  5: nit reached by all but the darkest bottomPercent percent (0.0 when measurePercentiles is off)
    // Light is the largest of a pixel's R, G, B luminances; luminance is that of its luma code. Results
    // 3 to 5 are single-precision values widened to double. A negative taskCount, or a width or height
    // of 0 or less, gives six zeros and touches no buffer. Raises std::logic_error on an object that holds
    // no tables (never configured, configuration refused, or after Destroy_LUT), and
    // std::invalid_argument for a format outside the four values or more than 2^31 - 1 pixels; nothing
    // is touched then either. lumaPlane holds N words; framePlanes 2N (4:2:2) or 3N (4:4:4) words. When
    // percentiles are on, pixelLuminance ends the call holding the frame's N normalised luminances in
    // descending order (the buffer grows for larger frames).
    std::tuple<double, double, double, double, double, double> HDR_Measurements(
        InputPixelFormat format, int width, int height, unsigned char* lumaPlane, unsigned char* framePlanes,
        int taskCount);

    // SMPTE ST 2084 EOTF: non-linear signal (0..1 nominal; negative counts as 0) to luminance
    // normalised to 10000 nit. 1.0 gives exactly 1.0.
    double PQ10000_f(double signal);

    // ITU-R BT.2100 HLG EOTF for a 1000-nit display with black at 0 (inverse OETF, then OOTF with system
    // gamma 1.2): non-linear signal (negative counts as 0) to luminance normalised to 1000 nit.
    double HLG1000_f(double signal);

    float* eotfLUT;              // normalised luminance per code, 2^bitDepth entries; null when unconfigured
    int chromaNeutral;           // code of zero colour difference: 512 / 2048 / 32768 at 10 / 12 / 16 bits
    int lumaMin;                 // lowest luma code kept: 64 / 256 / 4096
    int lumaMax;                 // highest luma code kept: 940 / 3760 / 60160
    int chromaMin;               // lowest Cb or Cr code kept: 64 / 256 / 4096
    int chromaMax;               // highest Cb or Cr code kept: 960 / 3840 / 61440
    int rgbMin;                  // lowest derived R, G or B code: 64 / 256 / 4096
    int rgbMax;                  // highest derived R, G or B code: 940 / 3760 / 60160
    float peakLuminance;         // nit that normalised luminance 1.0 stands for: 10000 (PQ) or 1000 (HLG); 1.0 unconfigured
    int chromaLUTSize;           // entries of crToR and cbToB (and rows/columns of cbCrToG): 1024 / 4096 / 65536
    float* crToR;                // R minus Y, in luma code units, per Cr code
    float** cbCrToG;             // G minus Y per [Cb][Cr] code pair; null at 16 bits (G is then computed per pixel)
    float* cbToB;                // B minus Y, in luma code units, per Cb code
    int thresholdLevel;          // copy of HDR_Info::thresholdLevel (code, or nit when thresholdUnit is L"NITS")
    double thresholdLuminance;   // threshold as normalised luminance; result 2 counts pixels strictly above it
    std::wstring thresholdUnit;  // copy of HDR_Info::thresholdUnit
    bool measureLightLevel;      // copy of HDR_Info::measureLightLevel; default false
    bool measurePercentiles;     // copy of HDR_Info::measurePercentiles; default false
    double* pixelLuminance;      // per-pixel normalised luminance buffer, owned by this object alone; null until needed
    float topPercent1;           // percent for result 3; default 1.0
    float topPercent2;           // percent for result 4; default 10.0
    float bottomPercent;         // percent for result 5; default 1.0

private:
    // Measures pixels [start, end) of a frame and returns (sum of lights, largest light, count of pixels
    // above the threshold), all normalised or counted, for HDR_Measurements to combine.
    std::tuple<double, double, double> HDR_Measurements_task(InputPixelFormat format, int width, int height,
                                                             unsigned char* lumaPlane, unsigned char* framePlanes,
                                                             long long start, long long end);

    void reservePixelLuminance(long long pixelCount);
    hdrmeter::detail::BandParameters bandParameters() const;  // from the shared tables, never the members above

    std::shared_ptr<const hdrmeter::detail::LookupTables> sharedTables_;  // owns what the table pointers show
    long long pixelLuminanceCapacity_ = 0;                                 // entries allocated in pixelLuminance
};

// ---- Plane functions -------------------------------------------------------------------------------
// Each wraps the host's plane(s) as OpenCV matrix headers of `height` rows by `width` columns over the
// host's memory (rows without gaps), calls OpenCV and writes results through the host's pointers. A
// null plane with a non-empty size raises cv::Exception (code -215, "total() == 0 || data != NULL")
// before anything is read or written. `bitDepth` only selects the sample size: 8 means unsigned bytes,
// every other value unsigned 16-bit words in the machine's byte order; values are never scaled.

// Smooths planes[0] in place with a 7-tap horizontal (1 2 3 4 3 2 1)/16 then a 3-tap vertical
// (1 2 1)/4 filter, samples outside the plane counting as 0, the intermediate stored in the plane's own
// sample type (rounded and saturated for integer samples). Each pass runs in `stripeCount` parallel
// stripes (0 behaves like 1; negative leaves the plane unchanged); the result does not depend on it.
HDRMETER_API void ocvfilter2D(unsigned char** planes, unsigned int width, unsigned int height, unsigned int bitDepth,
                              int stripeCount);

// As ocvfilter2D for a plane of 32-bit float samples.
HDRMETER_API void ocvfilter2D_32F(float** planes, unsigned int width, unsigned int height, int stripeCount);

// Writes the smallest and the largest sample value (raw codes) of an 8-bit or 16-bit plane. A null
// output pointer skips that output.
HDRMETER_API void ocvFindMinMax(unsigned char* plane, double* minValue, double* maxValue, unsigned int width,
                                unsigned int height, unsigned int bitDepth);

// Writes the smallest and the largest sample value of a float plane.
HDRMETER_API void ocvFindMinMax_32F(float* plane, double* minValue, double* maxValue, unsigned int width,
                                    unsigned int height);

// Clamps a float plane in place: samples below minValue become minValue, then samples above maxValue
// become maxValue (so minValue > maxValue leaves every sample at maxValue).
HDRMETER_API void ocvClampMinMax_32F(float* plane, double minValue, double maxValue, unsigned int width,
                                     unsigned int height);

// Counts, for three float planes, the samples of each that are low (<= lowerLimit) or high
// (> upperLimit) -- a sample in both masks counts twice -- and the pixel positions where any plane is
// low or high. Note: upper limit first.
HDRMETER_API void ocvCountCheck_32F(float* plane1, float* plane2, float* plane3, int* violationCount1,
                                    int* violationCount2, int* violationCount3, int* violatingPixelCount,
                                    unsigned int width, unsigned int height, float upperLimit, float lowerLimit);

// As ocvCountCheck_32F for R, G, B planes, with the low (<= lowerLimit) and high (> upperLimit) counts
// of each plane reported apart. Each output points at a host pointer whose first int receives the count.
HDRMETER_API void ocvCountCheckRGB_32F(float* planeR, float* planeG, float* planeB, int** lowCountR, int** lowCountG,
                                       int** lowCountB, int** highCountR, int** highCountG, int** highCountB,
                                       int** violatingPixelCount, unsigned int width, unsigned int height,
                                       float upperLimit, float lowerLimit);

// Counts the luma samples at or below lowerLimit (lowCount), above upperLimit (highCount) and either
// (violationCount), comparing raw codes exactly. Note: lower limit first.
HDRMETER_API void ocvFindLumaViolations(unsigned char* plane, unsigned int width, unsigned int height,
                                        unsigned int bitDepth, float lowerLimit, float upperLimit,
                                        unsigned int* violationCount, int* lowCount, int* highCount);

#endif  // HDRMETER_H
