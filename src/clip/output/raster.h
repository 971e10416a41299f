// PNG pictures through librsvg and cairo: the plot's SVG rasterised as it is drawn (one drawing, two
// formats, the same labels), and the frame of MaxCLL for the report.
#ifndef HDRMETER_CLIP_RASTER_H
#define HDRMETER_CLIP_RASTER_H

#include <string>

#include "output/peak_picture.h"

namespace hdrmeter::clip {

// The plot is a PNG when its name ends in ".png", in any letter case.
bool isPngName(const std::string& path);

// The PNG bytes of an SVG document at its own size. Throws std::runtime_error saying why it could not.
std::string pngOfSvg(const std::string& svg);
// The PNG bytes of the picture. Throws std::runtime_error saying why it could not.
std::string pngOfPicture(const PeakPicture& picture);

}  // namespace hdrmeter::clip

#endif
