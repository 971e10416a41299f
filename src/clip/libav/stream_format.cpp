#include "stream_format.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/hdr_dynamic_metadata.h>
#include <libavutil/imgutils.h>
#include <libavutil/mastering_display_metadata.h>
#include <libavutil/pixdesc.h>
#include <libavutil/pixfmt.h>
}

#include "request_rules.h"

namespace hdrmeter::clip {

namespace {

// The accepted format of the same chroma layout, for the advice in a refusal.
std::string advisedFormat(const AVPixFmtDescriptor* descriptor)
{
    if (descriptor && (descriptor->flags & AV_PIX_FMT_FLAG_RGB))
        return "gbrp16le";
    if (descriptor && descriptor->log2_chroma_w == 0 && descriptor->log2_chroma_h == 0)
        return "yuv444p10le";
    if (descriptor && descriptor->log2_chroma_w == 1 && descriptor->log2_chroma_h == 0)
        return "yuv422p10le";
    return "yuv420p10le";
}

std::string refusalOf(const std::string& what, const AVPixFmtDescriptor* descriptor)
{
    return what + " cannot be measured: hdrmeter reads planar Y'CbCr 4:2:0, 4:2:2 or 4:4:4 at 10, 12 or 16 "
                  "bits and R'G'B' at 10, 12 or 16 bits or as 32-bit floats; convert it first, e.g. ffmpeg -i IN "
                  "-pix_fmt " +
           advisedFormat(descriptor) + " -c:v ffv1 OUT.mkv";
}

bool nativeByteOrder(const AVPixFmtDescriptor& descriptor)
{
    const bool bigEndian = (descriptor.flags & AV_PIX_FMT_FLAG_BE) != 0;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return bigEndian;
#else
    return !bigEndian;
#endif
}

PixelLayout rgbLayoutOf(const AVPixFmtDescriptor& descriptor)
{
    PixelLayout result;
    result.name = descriptor.name;
    result.model = ColourModel::Rgb;
    result.layout = ChromaLayout::Yuv444;
    const std::string what = "R'G'B' video in " + result.name;
    const int depth = descriptor.comp[0].depth;
    bool sameDepth = descriptor.nb_components >= 3;
    for (int i = 0; i < 3 && sameDepth; ++i)
        sameDepth = descriptor.comp[i].depth == depth;
    if (!sameDepth) {
        result.refusal = refusalOf(what, &descriptor);
        return result;
    }
    if (descriptor.flags & AV_PIX_FMT_FLAG_FLOAT) {
        if (depth != 32) {
            result.refusal = refusalOf(std::to_string(depth) + "-bit float " + what, &descriptor);
            return result;
        }
        result.accepted = true;
        result.coding = SampleCoding::Float;
        result.bitDepth = 16;
        return result;
    }
    if (depth != 10 && depth != 12 && depth != 16) {
        result.refusal = refusalOf(std::to_string(depth) + "-bit " + what, &descriptor);
        return result;
    }
    // Codes alone in the low bits of 16-bit words in this machine's byte order are read where they lie, a
    // word or a pixel's three or four words apart; anything else (the other byte order included) is unpacked.
    bool words = true;
    for (int i = 0; i < 3; ++i) {
        const AVComponentDescriptor& component = descriptor.comp[i];
        words = words && component.shift == 0 && component.offset % 2 == 0 &&
                (component.step == 2 || ((component.step == 6 || component.step == 8) &&
                                         component.plane == descriptor.comp[0].plane));
    }
    result.accepted = true;
    result.bitDepth = depth;
    result.coding = words && nativeByteOrder(descriptor) ? SampleCoding::Direct : SampleCoding::Packed;
    return result;
}

// A float signal as the nearest of 65536 full-range codes; what lies outside 0 to 1 (and NaN) is clipped,
// as a display clips it.
std::uint16_t sixteenBitCodeOf(float signal)
{
    if (!(signal > 0.0f))
        return 0;
    if (signal >= 1.0f)
        return 65535;
    return static_cast<std::uint16_t>(std::floor(static_cast<double>(signal) * 65535.0 + 0.5));
}

double rationalValue(AVRational value)
{
    return value.den == 0 ? 0.0 : av_q2d(value);
}

}  // namespace

PixelLayout pixelLayoutOf(int avPixelFormat)
{
    PixelLayout result;
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(avPixelFormat));
    if (!descriptor) {
        result.refusal = refusalOf("video of an unknown pixel format", nullptr);
        return result;
    }
    result.name = descriptor->name;
    const std::string what = "video in " + result.name;
    const int depth = descriptor->comp[0].depth;
    if (descriptor->flags & (AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BITSTREAM |
                             AV_PIX_FMT_FLAG_BAYER)) {
        result.refusal = refusalOf(what, descriptor);
        return result;
    }
    if (descriptor->flags & AV_PIX_FMT_FLAG_RGB)
        return rgbLayoutOf(*descriptor);
    if (descriptor->flags & AV_PIX_FMT_FLAG_FLOAT) {
        result.refusal = refusalOf(what, descriptor);
        return result;
    }
    if (descriptor->nb_components < 3) {
        result.refusal = refusalOf("monochrome " + what, descriptor);
        return result;
    }
    if (depth != 10 && depth != 12 && depth != 16) {
        result.refusal = refusalOf(std::to_string(depth) + "-bit " + what, descriptor);
        return result;
    }
    bool planar = (descriptor->flags & AV_PIX_FMT_FLAG_PLANAR) != 0;
    for (int i = 0; i < 3; ++i) {
        const AVComponentDescriptor& component = descriptor->comp[i];
        planar = planar && component.plane == i && component.step == 2 && component.offset == 0 &&
                 component.shift == 0 && component.depth == depth;
    }
    if (!planar) {
        result.refusal = refusalOf("semi-planar or packed " + what, descriptor);
        return result;
    }
    if (!nativeByteOrder(*descriptor)) {
        result.refusal = refusalOf("byte-swapped " + what, descriptor);
        return result;
    }
    const int w = descriptor->log2_chroma_w, h = descriptor->log2_chroma_h;
    if (w == 1 && h == 1)
        result.layout = ChromaLayout::Yuv420;
    else if (w == 1 && h == 0)
        result.layout = ChromaLayout::Yuv422;
    else if (w == 0 && h == 0)
        result.layout = ChromaLayout::Yuv444;
    else {
        result.refusal = refusalOf(what, descriptor);
        return result;
    }
    result.accepted = true;
    result.bitDepth = depth;
    return result;
}

SampleRange sampleRangeOf(int avRange, ColourModel model)
{
    if (model == ColourModel::Rgb)
        return avRange == AVCOL_RANGE_MPEG ? SampleRange::Narrow : SampleRange::Full;
    return sampleRangeOf(avRange);
}

PixelLayout pixelLayoutOf(int avPixelFormat, int storedBits)
{
    PixelLayout layout = pixelLayoutOf(avPixelFormat);
    if (layout.accepted && layout.model == ColourModel::Rgb && layout.bitDepth == 16 &&
        layout.coding != SampleCoding::Float && (storedBits == 10 || storedBits == 12)) {
        layout.bitDepth = storedBits;
        layout.coding = SampleCoding::Shifted;
    }
    return layout;
}

FrameView FrameSamples::viewOf(const AVFrame& frame, const PixelLayout& layout)
{
    FrameView view;
    view.width = frame.width;
    view.height = frame.height;
    view.layout = layout.model == ColourModel::Rgb ? ChromaLayout::Yuv444 : layout.layout;
    view.bitDepth = layout.bitDepth;
    view.model = layout.model;
    view.range =
        layout.coding == SampleCoding::Float ? SampleRange::Full : sampleRangeOf(frame.color_range, layout.model);
    if (layout.model == ColourModel::YCbCr) {
        for (int i = 0; i < 3; ++i) {
            view.planes[i] = reinterpret_cast<const std::uint16_t*>(frame.data[i]);
            view.strides[i] = frame.linesize[i];
        }
        return view;
    }
    const AVPixFmtDescriptor& descriptor = *av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame.format));
    if (layout.coding == SampleCoding::Direct) {
        // FFmpeg describes an R'G'B' format's components in R, G, B order wherever they lie.
        for (int i = 0; i < 3; ++i) {
            const AVComponentDescriptor& component = descriptor.comp[i];
            view.planes[i] = reinterpret_cast<const std::uint16_t*>(frame.data[component.plane] + component.offset);
            view.strides[i] = frame.linesize[component.plane];
            view.steps[i] = component.step / 2;
        }
        return view;
    }
    const auto width = static_cast<std::size_t>(frame.width);
    const std::size_t planeSamples = width * static_cast<std::size_t>(frame.height);
    unpacked_.resize(planeSamples * 3);
    const bool swapped = !nativeByteOrder(descriptor);
    for (int i = 0; i < 3; ++i) {
        const AVComponentDescriptor& component = descriptor.comp[i];
        std::uint16_t* const plane = unpacked_.data() + planeSamples * static_cast<std::size_t>(i);
        view.planes[i] = plane;
        view.strides[i] = static_cast<std::ptrdiff_t>(width * 2);
        for (int y = 0; y < frame.height; ++y) {
            std::uint16_t* const out = plane + width * static_cast<std::size_t>(y);
            const std::uint8_t* const samples =
                frame.data[component.plane] + static_cast<std::ptrdiff_t>(y) * frame.linesize[component.plane] +
                component.offset;
            switch (layout.coding) {
            case SampleCoding::Float:
                for (std::size_t x = 0; x < width; ++x) {
                    std::uint32_t bits;
                    std::memcpy(&bits, samples + x * static_cast<std::size_t>(component.step), 4);
                    if (swapped)
                        bits = __builtin_bswap32(bits);
                    float signal;
                    std::memcpy(&signal, &bits, 4);
                    out[x] = sixteenBitCodeOf(signal);
                }
                break;
            case SampleCoding::Packed:
            case SampleCoding::Shifted:
                av_read_image_line2(out, const_cast<const std::uint8_t**>(frame.data), frame.linesize, &descriptor, 0,
                                    y, i, frame.width, 0, 2);
                if (layout.coding == SampleCoding::Shifted) {
                    // The decoders shift the codes up (12-bit 4095 is 65520); any bits below them, as a
                    // decoder that repeats the top bits would leave, are not the code's.
                    const int shift = 16 - layout.bitDepth;
                    for (std::size_t x = 0; x < width; ++x)
                        out[x] = static_cast<std::uint16_t>(out[x] >> shift);
                }
                break;
            case SampleCoding::Direct:
                break;
            }
        }
    }
    return view;
}

std::string cutFrameReason(long long frame, std::uint64_t arrived, std::uint64_t frameBytes)
{
    return "the input ends inside frame " + std::to_string(frame) + ": only " + std::to_string(arrived) + " of its " +
           std::to_string(frameBytes) + " bytes arrived";
}

std::string pixelFormatDescription(const StreamFacts& facts)
{
    const std::string range = facts.range == SampleRange::Full ? " full range" : " narrow range";
    if (facts.floatSamples)
        return "R'G'B' float (measured as 16-bit" + range + " codes)";
    if (facts.model == ColourModel::Rgb)
        return "R'G'B' " + std::to_string(facts.bitDepth) + "-bit" + range;
    return std::to_string(facts.bitDepth) + "-bit " + layoutName(facts.layout) + range;
}

std::string layoutName(ChromaLayout layout)
{
    switch (layout) {
    case ChromaLayout::Yuv420:
        return "4:2:0";
    case ChromaLayout::Yuv422:
        return "4:2:2";
    case ChromaLayout::Yuv444:
        break;
    }
    return "4:4:4";
}

ColourChoice chooseColour(int avTransfer, int avMatrix, std::optional<Transfer> transferOption,
                          std::optional<Matrix> matrixOption, ColourModel model)
{
    ColourChoice choice;
    const char* transferName = av_color_transfer_name(static_cast<AVColorTransferCharacteristic>(avTransfer));
    const std::string transferTag = transferName ? transferName : "unknown (" + std::to_string(avTransfer) + ")";
    if (transferOption) {
        choice.transfer = *transferOption;
        choice.transferOrigin = TagOrigin::Option;
    } else if (avTransfer == AVCOL_TRC_SMPTE2084) {
        choice.transfer = Transfer::Pq;
        choice.transferOrigin = TagOrigin::Stream;
    } else if (avTransfer == AVCOL_TRC_ARIB_STD_B67) {
        choice.transfer = Transfer::Hlg;
        choice.transferOrigin = TagOrigin::Stream;
    } else if (avTransfer == AVCOL_TRC_UNSPECIFIED || avTransfer == AVCOL_TRC_RESERVED0 ||
               avTransfer == AVCOL_TRC_RESERVED) {
        choice.warning = "the stream does not say its transfer function; measuring it as PQ (give " +
                         mention("transfer", "hlg") + " for HLG material)";
    } else {
        choice.refusal = "the stream is tagged with the SDR transfer " + transferTag +
                         ", not PQ or HLG; give " + mention("transfer", "pq") + " or " + mention("transfer", "hlg") +
                         " to measure it anyway";
    }

    const char* matrixName = av_color_space_name(static_cast<AVColorSpace>(avMatrix));
    const std::string matrixTag = matrixName ? matrixName : "unknown (" + std::to_string(avMatrix) + ")";
    if (matrixOption) {
        choice.matrix = *matrixOption;
        choice.matrixOrigin = TagOrigin::Option;
    } else if (model == ColourModel::Rgb) {
        choice.matrix = Matrix::Bt2020;
    } else if (avMatrix == AVCOL_SPC_BT2020_NCL || avMatrix == AVCOL_SPC_BT2020_CL) {
        choice.matrix = Matrix::Bt2020;
        choice.matrixOrigin = TagOrigin::Stream;
    } else if (avMatrix == AVCOL_SPC_BT709) {
        choice.matrix = Matrix::Bt709;
        choice.matrixOrigin = TagOrigin::Stream;
    } else if (avMatrix != AVCOL_SPC_UNSPECIFIED && avMatrix != AVCOL_SPC_RESERVED && choice.refusal.empty()) {
        choice.refusal = "the stream is tagged with the matrix " + matrixTag +
                         ", not BT.2020 or BT.709; give " + mention("matrix", "bt2020") + " or " +
                         mention("matrix", "bt709") + " to measure it anyway";
    }
    return choice;
}

SampleRange sampleRangeOf(int avRange)
{
    return avRange == AVCOL_RANGE_JPEG ? SampleRange::Full : SampleRange::Narrow;
}

std::string describeColour(const ColourChoice& colour, ColourModel model)
{
    const auto origin = [](TagOrigin tagOrigin, const char* setting) {
        switch (tagOrigin) {
        case TagOrigin::Stream:
            return std::string(" (tagged)");
        case TagOrigin::Option:
            return " (" + mention(setting) + ")";
        case TagOrigin::Assumed:
            break;
        }
        return std::string(" (untagged, assumed)");
    };
    const std::string matrix = colour.matrix == Matrix::Bt709 ? "BT.709" : "BT.2020";
    const std::string transfer = std::string(colour.transfer == Transfer::Hlg ? "HLG" : "PQ") +
                                 origin(colour.transferOrigin, "transfer");
    if (model == ColourModel::Rgb)
        return transfer + ", luma as " + matrix +
               (colour.matrixOrigin == TagOrigin::Option ? origin(colour.matrixOrigin, "matrix") : "");
    return transfer + ", " + matrix + origin(colour.matrixOrigin, "matrix");
}

MasteringDisplay masteringDisplayOf(const AVMasteringDisplayMetadata& metadata)
{
    MasteringDisplay display;
    if (metadata.has_primaries) {
        display.primaries = std::array<double, 6>{
            rationalValue(metadata.display_primaries[0][0]), rationalValue(metadata.display_primaries[0][1]),
            rationalValue(metadata.display_primaries[1][0]), rationalValue(metadata.display_primaries[1][1]),
            rationalValue(metadata.display_primaries[2][0]), rationalValue(metadata.display_primaries[2][1])};
        display.whitePoint = std::array<double, 2>{rationalValue(metadata.white_point[0]),
                                                   rationalValue(metadata.white_point[1])};
    }
    if (metadata.has_luminance) {
        display.minNits = rationalValue(metadata.min_luminance);
        display.maxNits = rationalValue(metadata.max_luminance);
    }
    return display;
}

ContentLightLevel contentLightLevelOf(const AVContentLightMetadata& metadata)
{
    return {metadata.MaxCLL, metadata.MaxFALL};
}

std::optional<StatedHdr10Plus> hdr10PlusOf(const AVFrame& frame)
{
    const AVFrameSideData* side = av_frame_get_side_data(&frame, AV_FRAME_DATA_DYNAMIC_HDR_PLUS);
    if (!side || side->size < sizeof(AVDynamicHDRPlus))
        return std::nullopt;
    const auto& metadata = *reinterpret_cast<const AVDynamicHDRPlus*>(side->data);
    if (metadata.num_windows < 1)
        return std::nullopt;
    // Values are fractions of 10000 nits in steps of 0.00001: 0.1-nit units once scaled.
    const auto tenths = [](AVRational value) {
        return value.den > 0 && value.num >= 0
                   ? static_cast<std::uint32_t>(std::llround(static_cast<double>(value.num) * 100000.0 / value.den))
                   : 0u;
    };
    const AVHDRPlusColorTransformParams& window = metadata.params[0];
    StatedHdr10Plus stated;
    stated.averageRgb = tenths(window.average_maxrgb);
    for (int channel = 0; channel < 3; ++channel)
        stated.maxScl[channel] = tenths(window.maxscl[channel]);
    constexpr std::uint8_t kIndexes[] = {1, 5, 10, 25, 50, 75, 90, 95, 99};
    if (window.num_distribution_maxrgb_percentiles == std::size(kIndexes)) {
        std::array<std::uint32_t, 9> values{};
        bool same = true;
        for (std::size_t i = 0; i < values.size(); ++i) {
            same = same && window.distribution_maxrgb[i].percentage == kIndexes[i];
            values[i] = tenths(window.distribution_maxrgb[i].percentile);
        }
        if (same)
            stated.distribution = values;
    }
    return stated;
}

std::optional<ContentLightLevel> lightLevelOf(const AVFrame& frame)
{
    const AVFrameSideData* side = av_frame_get_side_data(&frame, AV_FRAME_DATA_CONTENT_LIGHT_LEVEL);
    if (!side || side->size < sizeof(AVContentLightMetadata))
        return std::nullopt;
    return contentLightLevelOf(*reinterpret_cast<const AVContentLightMetadata*>(side->data));
}

void takeFrameMetadata(const AVFrame& frame, StaticMetadata& metadata)
{
    if (!metadata.mastering) {
        const AVFrameSideData* side = av_frame_get_side_data(&frame, AV_FRAME_DATA_MASTERING_DISPLAY_METADATA);
        if (side && side->size >= sizeof(AVMasteringDisplayMetadata)) {
            const MasteringDisplay display =
                masteringDisplayOf(*reinterpret_cast<const AVMasteringDisplayMetadata*>(side->data));
            if (display.primaries || display.maxNits) {
                metadata.mastering = display;
                metadata.masteringOrigin = MetadataOrigin::Codec;
            }
        }
    }
    if (!metadata.lightLevel) {
        const AVFrameSideData* side = av_frame_get_side_data(&frame, AV_FRAME_DATA_CONTENT_LIGHT_LEVEL);
        if (side && side->size >= sizeof(AVContentLightMetadata)) {
            metadata.lightLevel = contentLightLevelOf(*reinterpret_cast<const AVContentLightMetadata*>(side->data));
            metadata.lightLevelOrigin = MetadataOrigin::Codec;
        }
    }
}

}  // namespace hdrmeter::clip
