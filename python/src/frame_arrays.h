// Numpy arrays as a FrameView: three planes (Y'CbCr, the chroma layout read from the shapes, or R'G'B'),
// or one (rows, columns, 3 or 4) array of R'G'B' pixels. Each is measured where it lies when its rows are
// contiguous, and copied when they are not.
#ifndef HDRMETER_PYTHON_FRAME_ARRAYS_H
#define HDRMETER_PYTHON_FRAME_ARRAYS_H

#include <hdrmeter/analysis.h>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace hdrmeter_python {

// One plane as numpy describes it.
struct PlaneArray {
    pybind11::array array;                // holds the caller's memory alive while the view is in use
    const char* data = nullptr;           // element [0, 0]
    std::ptrdiff_t rowStrideBytes = 0;
    std::ptrdiff_t columnStrideBytes = 0;
    int rows = 0;
    int columns = 0;
    int channels = 1;                     // 3 or 4 words a pixel in a (rows, columns, channels) array
    std::ptrdiff_t channelStrideBytes = 0;
    bool inPlace = false;                 // the analyzer can read it as it is
    std::vector<std::uint16_t> copy;      // its samples row after row (R', G', B' of a pixel together), when not in place
};

class FrameArrays {
public:
    // Checks the arrays with the GIL held: TypeError for anything but a numpy array of native
    // uint16, ValueError for a dimension count other than 2, an empty or oversized plane, or chroma shapes
    // that fit no layout. With `rgb` the planes are R', G', B' of one shape; with `rgb` and cb and cr both
    // None, y is one (rows, columns, 3 or 4) array of pixels, whose fourth word is not read. Copies
    // nothing yet.
    FrameArrays(pybind11::handle y, pybind11::handle cb, pybind11::handle cr, int bitDepth, bool fullRange, bool rgb);

    // Copies the planes that cannot be read in place and returns the frame. Needs no GIL. Destroy the
    // object with the GIL held: it holds references to the arrays.
    const hdrmeter::FrameView& view();

private:
    bool pixels_ = false;  // one array of packed pixels in planes_[0]
    PlaneArray planes_[3];
    hdrmeter::FrameView view_;
};

}  // namespace hdrmeter_python

#endif
