#ifndef HDRMETER_CLIP_FRAME_MEASUREMENT_H
#define HDRMETER_CLIP_FRAME_MEASUREMENT_H

#include <hdrmeter/clip.h>

#endif
