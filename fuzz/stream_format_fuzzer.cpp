// The seam between FFmpeg's description of a stream and the analyzer's: pixel formats, colour tags with
// and without overrides, and static metadata side data of any size and content. Every input either maps
// to something the analyzer can take or is refused with a one-line reason; nothing is read out of bounds.
#include <cmath>
#include <cstring>
#include <string>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/mastering_display_metadata.h>
#include <libavutil/pixdesc.h>
}

#include "fuzz_input.h"
#include "libav/av_holders.h"
#include "libav/stream_format.h"

using namespace hdrmeter;
using namespace hdrmeter::clip;
using fuzzing::check;

static bool oneLine(const std::string& text) { return text.find('\n') == std::string::npos; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzzing::FuzzInput input(data, size);
    const uint32_t pick = input.next();
    const int pixelFormat = static_cast<int>(pick % (AV_PIX_FMT_NB + 4)) - 2;
    // The depth the stream states for its samples: 0 (unknown) to 17.
    const int storedBits = static_cast<int>((pick >> 16) % 18);
    const PixelLayout layout = pixelLayoutOf(pixelFormat, storedBits);
    check(layout.accepted != !layout.refusal.empty(), "a layout is accepted or refused with a reason");
    check(oneLine(layout.refusal), "a refusal is one line");
    if (layout.accepted) {
        check(layout.bitDepth == 10 || layout.bitDepth == 12 || layout.bitDepth == 16, "an accepted depth");
        FrameHolder frame(av_frame_alloc());
        frame->format = pixelFormat;
        frame->width = 1 + static_cast<int>(input.next() % 37);
        frame->height = 1 + static_cast<int>(input.next() % 23);
        frame->color_range = static_cast<AVColorRange>(input.next() % (AVCOL_RANGE_NB + 1));
        if (av_frame_get_buffer(frame.get(), 0) == 0) {
            // Floats and packed words are unpacked whatever bits the buffer holds (NaN included).
            FrameSamples samples;
            const FrameView view = samples.viewOf(*frame, layout);
            const bool rgb = layout.model == ColourModel::Rgb;
            check(view.model == layout.model, "the view has the layout's colour model");
            const int chromaWidth = rgb || layout.layout == ChromaLayout::Yuv444 ? view.width : (view.width + 1) / 2;
            for (int plane = 0; plane < 3; ++plane)
                check(view.planes[plane] != nullptr &&
                          view.strides[plane] >= 2 * view.steps[plane] * (plane == 0 ? view.width : chromaWidth),
                      "every plane is there, with rows at least a row's bytes apart");
            // Y'CbCr is narrow unless tagged full; an R'G'B' master full unless tagged narrow; floats become
            // full-range codes whatever the tag.
            const bool full = layout.coding == SampleCoding::Float ||
                              (rgb ? frame->color_range != AVCOL_RANGE_MPEG : frame->color_range == AVCOL_RANGE_JPEG);
            check(view.range == (full ? SampleRange::Full : SampleRange::Narrow), "the range as tagged");
            if (layout.coding == SampleCoding::Shifted) {
                check(rgb && layout.bitDepth == storedBits, "only R'G'B' words are shifted, to the stated depth");
                for (int plane = 0; plane < 3; ++plane)
                    for (int y = 0; y < view.height; ++y)
                        for (int x = 0; x < view.width; ++x)
                            check(view.planes[plane][y * view.strides[plane] / 2 + x] >> storedBits == 0,
                                  "shifted words hold codes of the stated depth");
            }
        }
    }

    const int transferTag = static_cast<int>(input.next() % (AVCOL_TRC_NB + 2));
    const int matrixTag = static_cast<int>(input.next() % (AVCOL_SPC_NB + 2));
    const uint32_t overrides = input.next();
    std::optional<Transfer> transfer;
    std::optional<Matrix> matrix;
    if (overrides & 1) transfer = (overrides & 2) ? Transfer::Hlg : Transfer::Pq;
    if (overrides & 4) matrix = (overrides & 8) ? Matrix::Bt709 : Matrix::Bt2020;
    const ColourChoice colour = chooseColour(transferTag, matrixTag, transfer, matrix);
    check(oneLine(colour.refusal) && oneLine(colour.warning), "one-line reasons");
    if (transfer && matrix) check(colour.refusal.empty(), "overriding both tags always measures");
    if (transfer) check(colour.transfer == *transfer && colour.transferOrigin == TagOrigin::Option, "the override");
    const bool matrixTaken = matrix || matrixTag == AVCOL_SPC_BT709 || matrixTag == AVCOL_SPC_BT2020_NCL ||
                             matrixTag == AVCOL_SPC_BT2020_CL || matrixTag == AVCOL_SPC_UNSPECIFIED ||
                             matrixTag == AVCOL_SPC_RESERVED;
    if (!transfer && transferTag == AVCOL_TRC_ARIB_STD_B67)
        check(colour.transfer == Transfer::Hlg && colour.refusal.empty() == matrixTaken, "an HLG tag measures as HLG");
    check(colour.warning.empty() || (!transfer && colour.transferOrigin == TagOrigin::Assumed), "warned only when assumed");

    // Side data as a decoder attaches it, of any size: a size too small for the structure is passed over.
    FrameHolder frame(av_frame_alloc());
    const std::size_t masteringBytes = input.next() % (sizeof(AVMasteringDisplayMetadata) + 16);
    const std::size_t lightBytes = input.next() % (sizeof(AVContentLightMetadata) + 8);
    AVFrameSideData* mastering = av_frame_new_side_data(frame.get(), AV_FRAME_DATA_MASTERING_DISPLAY_METADATA, masteringBytes);
    AVFrameSideData* light = av_frame_new_side_data(frame.get(), AV_FRAME_DATA_CONTENT_LIGHT_LEVEL, lightBytes);
    if (!mastering || !light) return 0;
    for (std::size_t i = 0; i < masteringBytes; ++i) mastering->data[i] = static_cast<uint8_t>(input.next());
    for (std::size_t i = 0; i < lightBytes; ++i) light->data[i] = static_cast<uint8_t>(input.next());
    StaticMetadata metadata;
    takeFrameMetadata(*frame, metadata);
    check(metadata.lightLevel.has_value() == (lightBytes >= sizeof(AVContentLightMetadata)), "light level taken whole");
    if (masteringBytes < sizeof(AVMasteringDisplayMetadata)) check(!metadata.mastering, "short mastering data passed over");
    if (metadata.mastering) {
        check(metadata.masteringOrigin == MetadataOrigin::Codec, "frame side data is the codec's word");
        if (metadata.mastering->maxNits) check(!std::isnan(*metadata.mastering->maxNits), "a zero denominator reads 0");
    }
    return 0;
}
