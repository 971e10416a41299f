// Three numpy arrays as a FrameView: the chroma layout read from the shapes, each plane measured where it
// lies when its rows are contiguous, and copied when they are not.
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
    bool inPlace = false;                 // the analyzer can read it as it is
    std::vector<std::uint16_t> copy;      // its samples row after row, when not in place
};

class FrameArrays {
public:
    // Checks the arrays with the GIL held: TypeError for anything but a numpy array of native
    // uint16, ValueError for a dimension count other than 2, an empty or oversized plane, or chroma shapes
    // that fit no layout. Copies nothing yet.
    FrameArrays(pybind11::handle y, pybind11::handle cb, pybind11::handle cr, int bitDepth, bool fullRange);

    // Copies the planes that cannot be read in place and returns the frame. Needs no GIL. Destroy the
    // object with the GIL held: it holds references to the arrays.
    const hdrmeter::FrameView& view();

private:
    PlaneArray planes_[3];
    hdrmeter::FrameView view_;
};

}  // namespace hdrmeter_python

#endif
