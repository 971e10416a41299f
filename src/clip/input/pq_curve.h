#ifndef HDRMETER_CLIP_PQ_CURVE_H
#define HDRMETER_CLIP_PQ_CURVE_H

namespace hdrmeter::clip {

// The SMPTE ST 2084 inverse EOTF: display luminance in nits (0 to 10000) to the non-linear PQ signal
// (0 to 1). The plot's vertical axis and the demo clip's codes are both made with it, because equal
// steps of PQ signal are roughly equal steps of visible brightness.
double pqSignalFromNits(double nits);

}  // namespace hdrmeter::clip

#endif
