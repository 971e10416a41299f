#include "dovi_reading.h"

#include <cstdint>

extern "C" {
#include <libavutil/dovi_meta.h>
#include <libavutil/frame.h>
}

#include "av_compat.h"

namespace hdrmeter::clip {

namespace {

#if HDRMETER_AV_DOVI_BLOCKS
bool sameStatement(const StatedDolbyVision& a, const StatedDolbyVision& b)
{
    const auto sameTrims = [](const StatedDolbyVision::Level2& x, const StatedDolbyVision::Level2& y) {
        return x.targetMaxPq == y.targetMaxPq && x.trimSlope == y.trimSlope && x.trimOffset == y.trimOffset &&
               x.trimPower == y.trimPower && x.trimChromaWeight == y.trimChromaWeight &&
               x.trimSaturationGain == y.trimSaturationGain && x.msWeight == y.msWeight;
    };
    if (a.level2.size() != b.level2.size())
        return false;
    for (std::size_t i = 0; i < a.level2.size(); ++i)
        if (!sameTrims(a.level2[i], b.level2[i]))
            return false;
    const auto sameLevel6 = [](const StatedDolbyVision::Level6& x, const StatedDolbyVision::Level6& y) {
        return x.maxDisplayNits == y.maxDisplayNits && x.minDisplayTenThousandths == y.minDisplayTenThousandths &&
               x.maxCllNits == y.maxCllNits && x.maxFallNits == y.maxFallNits;
    };
    const auto sameLevel11 = [](const StatedDolbyVision::Level11& x, const StatedDolbyVision::Level11& y) {
        return x.contentType == y.contentType && x.whitepoint == y.whitepoint && x.referenceMode == y.referenceMode;
    };
    return a.level1 == b.level1 && a.level5 == b.level5 && a.level6.has_value() == b.level6.has_value() &&
           (!a.level6 || sameLevel6(*a.level6, *b.level6)) && a.level9SourcePrimaryIndex == b.level9SourcePrimaryIndex &&
           a.level11.has_value() == b.level11.has_value() && (!a.level11 || sameLevel11(*a.level11, *b.level11)) &&
           a.cmVersion == b.cmVersion;
}
#endif

}  // namespace

bool doviBlocksRead()
{
    return HDRMETER_AV_DOVI_BLOCKS;
}

bool carriesDovi(const AVFrame& frame)
{
    return av_frame_get_side_data(&frame, AV_FRAME_DATA_DOVI_METADATA) != nullptr ||
           av_frame_get_side_data(&frame, AV_FRAME_DATA_DOVI_RPU_BUFFER) != nullptr;
}

std::shared_ptr<const StatedDolbyVision> doviOf(const AVFrame& frame,
                                                const std::shared_ptr<const StatedDolbyVision>& previous)
{
#if HDRMETER_AV_DOVI_BLOCKS
    const AVFrameSideData* side = av_frame_get_side_data(&frame, AV_FRAME_DATA_DOVI_METADATA);
    if (!side || side->size < sizeof(AVDOVIMetadata))
        return nullptr;
    const auto* metadata = reinterpret_cast<const AVDOVIMetadata*>(side->data);
    StatedDolbyVision stated;
    bool version4 = false;
    for (int i = 0; i < metadata->num_ext_blocks; ++i) {
        const AVDOVIDmData& block = *av_dovi_get_ext(metadata, i);
        switch (block.level) {
        case 1:
            stated.level1 = StatedDolbyVision::Level1{block.l1.min_pq, block.l1.avg_pq, block.l1.max_pq};
            break;
        case 2:
            stated.level2.push_back({block.l2.target_max_pq, block.l2.trim_slope, block.l2.trim_offset,
                                     block.l2.trim_power, block.l2.trim_chroma_weight, block.l2.trim_saturation_gain,
                                     block.l2.ms_weight});
            break;
        case 5:
            stated.level5 = StatedDolbyVision::Level5{block.l5.left_offset, block.l5.right_offset,
                                                      block.l5.top_offset, block.l5.bottom_offset};
            break;
        case 6:
            stated.level6 = StatedDolbyVision::Level6{block.l6.max_luminance, block.l6.min_luminance,
                                                      block.l6.max_cll, block.l6.max_fall};
            break;
        case 9:
            stated.level9SourcePrimaryIndex = block.l9.source_primary_index;
            version4 = true;
            break;
        case 11:
            stated.level11 = StatedDolbyVision::Level11{block.l11.content_type, block.l11.whitepoint,
                                                        block.l11.reference_mode_flag != 0};
            version4 = true;
            break;
        case 3:
        case 8:
        case 10:
        case 254:
            version4 = true;
            break;
        default:
            break;
        }
    }
    stated.cmVersion = version4 ? "4.0" : "2.9";
    if (previous && sameStatement(*previous, stated))
        return previous;
    return std::make_shared<const StatedDolbyVision>(std::move(stated));
#else
    (void)frame;
    (void)previous;
    return nullptr;
#endif
}

std::optional<DolbyVisionConfiguration> doviConfigurationOf(const AVStream& stream)
{
    std::size_t bytes = 0;
    const std::uint8_t* side = streamSideData(stream, AV_PKT_DATA_DOVI_CONF, bytes);
    // The record grew a field at its end in FFmpeg 7; the eight it began with are all read here.
    constexpr std::size_t kLeadingBytes = 8;
    if (!side || bytes < kLeadingBytes)
        return std::nullopt;
    const auto& record = *reinterpret_cast<const AVDOVIDecoderConfigurationRecord*>(side);
    return DolbyVisionConfiguration{record.dv_profile, record.dv_level, record.dv_bl_signal_compatibility_id};
}

}  // namespace hdrmeter::clip
