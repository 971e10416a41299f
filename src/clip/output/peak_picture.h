// The frame of MaxCLL as a small picture an SDR screen can show, with its peak pixel marked: what a
// report puts beside the number, so that a reader sees whether the peak is a highlight or a hot pixel.
#ifndef HDRMETER_CLIP_PEAK_PICTURE_H
#define HDRMETER_CLIP_PEAK_PICTURE_H

#include <cstdint>
#include <vector>

#include <hdrmeter/analysis.h>

namespace hdrmeter::clip {

struct PeakPicture {
    int width = 0;                    // pixels
    int height = 0;
    std::vector<std::uint8_t> rgb;    // sRGB, 8 bits a channel, rows top to bottom, no padding
    int frameWidth = 0;               // the frame it was made from
    int frameHeight = 0;
};

// At most `largestWidth` pixels wide, sampled from `view`; BT.2020 or BT.709 light is tone-mapped with
// `peakNits` as the white point (so the peak stays visible instead of clipping with its surroundings),
// turned to BT.709 primaries and sRGB. A ring marks the pixel at (peakX, peakY) of the frame.
PeakPicture peakPictureOf(const FrameView& view, Transfer transfer, Matrix matrix, double peakNits, int peakX,
                          int peakY, int largestWidth = 480);

}  // namespace hdrmeter::clip

#endif
