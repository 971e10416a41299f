#ifndef HDRMETER_TOOL_ENGINE_LAYOUT_H
#define HDRMETER_TOOL_ENGINE_LAYOUT_H

#include <cstdint>
#include <vector>

#include <hdrmeter.h>

#include "measure_settings.h"
#include "video_format.h"

namespace hdrmeter::tool {

// How a stored frame is handed to the engine. The engine's 4:2:2 layout pairs pixels 2k and 2k+1 of
// the whole frame, counted row after row, with chroma sample k. For an even width that is exactly
// ffmpeg's per-row 4:2:2, so 4:2:2 goes in as stored and 4:2:0 goes in as 4:2:2 with each chroma row
// used for the two luma rows it covers. For an odd width the pairs would straddle rows, so the chroma
// is instead replicated to one sample per pixel and measured as 4:4:4, which gives every pixel the
// chroma the stored layout means for it.
struct EngineLayout {
    InputPixelFormat pixelFormat = YCbCr444_A;
    bool needsConversion = false;  // false: the stored planes are already the engine's frame
    std::size_t frameSamples = 0;  // 16-bit words of the engine's frame
};

EngineLayout engineLayoutFor(const VideoFormat& format);

// Turns a stored frame into the engine's frame in the same buffer, when engineLayoutFor says a
// conversion is needed. Working in place keeps the tool at one buffer per frame in flight.
void expandToEngineLayout(const VideoFormat& format, std::vector<std::uint16_t>& frame);
// The same on a buffer of the engine frame's size (EngineLayout::frameSamples) whose stored chroma
// planes start after the luma, as they are stored. Only the chroma part of the buffer is touched.
void expandChromaInPlace(const VideoFormat& format, std::uint16_t* frame);

// The configuration record for a frame format and the user's settings.
HDR_Info hdrInfoFor(const MeasureSettings& settings, int bitDepth);

// The narrow-range luma codes at the bit depth: black 64 and white 940 at 10 bits, scaled by 2^(n-10).
int narrowRangeLumaBlack(int bitDepth);
int narrowRangeLumaWhite(int bitDepth);

}  // namespace hdrmeter::tool

#endif
