// The clip layer's two kinds of failure are public (hdrmeter/clip.h): RequestError for a request that
// cannot be carried out, InputError for an input that cannot be measured.
#ifndef HDRMETER_CLIP_ERRORS_H
#define HDRMETER_CLIP_ERRORS_H

#include <hdrmeter/clip.h>

#endif
