#include "frame_arrays.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace py = pybind11;

namespace hdrmeter_python {

namespace {

const char* const kPlaneNames[3] = {"y", "cb", "cr"};
const char* const kRgbPlaneNames[3] = {"r", "g", "b"};

std::string shapeText(int rows, int columns) {
    return "(" + std::to_string(rows) + ", " + std::to_string(columns) + ")";
}

// A plane (2-D), or with `pixels` a (rows, columns, 3 or 4) array of R'G'B' pixels.
PlaneArray describePlane(py::handle object, const char* name, bool pixels = false) {
    if (!py::isinstance<py::array>(object)) {
        throw py::type_error(std::string(name) + " must be a numpy array of uint16 codes, not " +
                             std::string(py::str(py::type::of(object).attr("__name__"))));
    }
    // A byte-swapped uint16 (">u2" here) is a different dtype to numpy, and its words would be read as
    // other codes: it is refused with the rest rather than converted behind the caller's back.
    if (!py::isinstance<py::array_t<std::uint16_t>>(object)) {
        const std::string dtype = py::str(object.attr("dtype"));
        // .astype alone truncates floats: normalised samples would all become 0 or 1.
        if (py::str(object.attr("dtype").attr("kind")).cast<std::string>() == "f")
            throw py::type_error(std::string(name) + " must hold native uint16 codes, not dtype " + dtype +
                                 ": for samples normalised to 0..1 give numpy.rint(" + name +
                                 " * (2**bit_depth - 1)).astype(numpy.uint16), for float codes numpy.rint(" + name +
                                 ").astype(numpy.uint16)");
        throw py::type_error(std::string(name) + " must hold native uint16 codes, not dtype " + dtype +
                             ": convert it with .astype(numpy.uint16)");
    }
    PlaneArray plane;
    plane.array = py::reinterpret_borrow<py::array>(object);
    if (pixels && (plane.array.ndim() != 3 || (plane.array.shape(2) != 3 && plane.array.shape(2) != 4))) {
        std::string shape;
        for (py::ssize_t d = 0; d < plane.array.ndim(); ++d) shape += (d ? ", " : "") + std::to_string(plane.array.shape(d));
        throw py::value_error(std::string(name) + " of shape (" + shape +
                              ") is not R'G'B' pixels: give a (rows, columns, 3) array, or three planes with "
                              "model=\"rgb\"");
    }
    if (!pixels && plane.array.ndim() != 2) {
        throw py::value_error(std::string(name) + " must be a 2-D array (rows, columns), not " +
                              std::to_string(plane.array.ndim()) + "-D");
    }
    const py::ssize_t rows = plane.array.shape(0), columns = plane.array.shape(1);
    if (rows < 1 || columns < 1 || rows > INT_MAX || columns > INT_MAX) {
        throw py::value_error(std::string(name) + " has shape (" + std::to_string(rows) + ", " +
                              std::to_string(columns) + "): a plane needs 1 to " + std::to_string(INT_MAX) +
                              " rows and columns");
    }
    plane.rows = static_cast<int>(rows);
    plane.columns = static_cast<int>(columns);
    plane.data = static_cast<const char*>(plane.array.data());
    plane.rowStrideBytes = plane.array.strides(0);
    plane.columnStrideBytes = plane.array.strides(1);
    if (pixels) {
        plane.channels = static_cast<int>(plane.array.shape(2));
        plane.channelStrideBytes = plane.array.strides(2);
    }

    // With one column or one row the stride across it is never used, and numpy may report any value.
    const std::ptrdiff_t pixelBytes = std::ptrdiff_t(2) * plane.channels;
    const std::ptrdiff_t rowBytes = pixelBytes * plane.columns;
    if (plane.rows == 1) plane.rowStrideBytes = rowBytes;
    const bool contiguousRows = (plane.columns == 1 || plane.columnStrideBytes == pixelBytes) &&
                                (plane.channels == 1 || plane.channelStrideBytes == 2);
    plane.inPlace = contiguousRows && reinterpret_cast<std::uintptr_t>(plane.data) % 2 == 0 &&
                    plane.rowStrideBytes % 2 == 0 && std::llabs(plane.rowStrideBytes) >= rowBytes;
    return plane;
}

// R', G' and B' of each pixel, three words a pixel.
void copyPixels(PlaneArray& plane) {
    plane.copy.resize(static_cast<std::size_t>(plane.rows) * static_cast<std::size_t>(plane.columns) * 3);
    std::uint16_t* out = plane.copy.data();
    for (int row = 0; row < plane.rows; ++row) {
        const char* in = plane.data + static_cast<std::ptrdiff_t>(row) * plane.rowStrideBytes;
        for (int column = 0; column < plane.columns; ++column, in += plane.columnStrideBytes) {
            for (int channel = 0; channel < 3; ++channel) std::memcpy(out++, in + channel * plane.channelStrideBytes, 2);
        }
    }
}

void copyPlane(PlaneArray& plane) {
    plane.copy.resize(static_cast<std::size_t>(plane.rows) * static_cast<std::size_t>(plane.columns));
    std::uint16_t* out = plane.copy.data();
    for (int row = 0; row < plane.rows; ++row) {
        const char* in = plane.data + static_cast<std::ptrdiff_t>(row) * plane.rowStrideBytes;
        if (plane.columnStrideBytes == 2) {
            std::memcpy(out, in, std::size_t(2) * plane.columns);  // contiguous but misaligned
            out += plane.columns;
            continue;
        }
        for (int column = 0; column < plane.columns; ++column, in += plane.columnStrideBytes) {
            std::memcpy(out++, in, 2);
        }
    }
}

}  // namespace

FrameArrays::FrameArrays(py::handle y, py::handle cb, py::handle cr, int bitDepth, bool fullRange, bool rgb) {
    view_.bitDepth = bitDepth;
    view_.range = fullRange ? hdrmeter::SampleRange::Full : hdrmeter::SampleRange::Narrow;
    if (rgb) view_.model = hdrmeter::ColourModel::Rgb;
    if (rgb && cb.is_none() && cr.is_none()) {
        pixels_ = true;
        planes_[0] = describePlane(y, "y", true);
        view_.width = planes_[0].columns;
        view_.height = planes_[0].rows;
        return;
    }
    if (cb.is_none() || cr.is_none()) {
        throw py::type_error(rgb ? "give r, g and b planes, or one (rows, columns, 3) array alone"
                                 : "give y, cb and cr planes, or one (rows, columns, 3) array of R'G'B' pixels with "
                                   "neither cb, cr nor model=\"ycbcr\"");
    }
    const py::handle objects[3] = {y, cb, cr};
    for (int p = 0; p < 3; ++p) planes_[p] = describePlane(objects[p], rgb ? kRgbPlaneNames[p] : kPlaneNames[p]);

    const int height = planes_[0].rows, width = planes_[0].columns;
    view_.width = width;
    view_.height = height;
    if (rgb) {
        for (int p = 1; p < 3; ++p) {
            if (planes_[p].rows != height || planes_[p].columns != width) {
                throw py::value_error(std::string(kRgbPlaneNames[p]) + " of shape " +
                                      shapeText(planes_[p].rows, planes_[p].columns) + " differs from r's " +
                                      shapeText(height, width) + ": R'G'B' planes are all full size");
            }
        }
        return;
    }
    const int chromaRows = planes_[1].rows, chromaColumns = planes_[1].columns;
    if (planes_[2].rows != chromaRows || planes_[2].columns != chromaColumns) {
        throw py::value_error("cb and cr must have the same shape, not " + shapeText(chromaRows, chromaColumns) +
                              " and " + shapeText(planes_[2].rows, planes_[2].columns));
    }
    const int halfWidth = width / 2 + width % 2, halfHeight = height / 2 + height % 2;
    // Where two layouts fit the same shapes (a frame one pixel wide or one row high) they mean the same
    // chroma for every pixel, so the order of these tests changes no result.
    if (chromaRows == height && chromaColumns == width) {
        view_.layout = hdrmeter::ChromaLayout::Yuv444;
    } else if (chromaRows == height && chromaColumns == halfWidth) {
        view_.layout = hdrmeter::ChromaLayout::Yuv422;
    } else if (chromaRows == halfHeight && chromaColumns == halfWidth) {
        view_.layout = hdrmeter::ChromaLayout::Yuv420;
    } else {
        throw py::value_error("chroma of shape " + shapeText(chromaRows, chromaColumns) + " fits no layout of a " +
                              shapeText(height, width) + " luma plane: give " + shapeText(height, width) +
                              " for 4:4:4, " + shapeText(height, halfWidth) + " for 4:2:2 or " +
                              shapeText(halfHeight, halfWidth) + " for 4:2:0");
    }
}

const hdrmeter::FrameView& FrameArrays::view() {
    if (pixels_) {
        PlaneArray& pixels = planes_[0];
        if (!pixels.inPlace && pixels.copy.empty()) copyPixels(pixels);
        const std::uint16_t* first =
            pixels.inPlace ? reinterpret_cast<const std::uint16_t*>(pixels.data) : pixels.copy.data();
        for (int c = 0; c < 3; ++c) {
            view_.planes[c] = first + c;
            view_.strides[c] = pixels.inPlace ? pixels.rowStrideBytes : std::ptrdiff_t(6) * pixels.columns;
            view_.steps[c] = pixels.inPlace ? pixels.channels : 3;
        }
        return view_;
    }
    for (int p = 0; p < 3; ++p) {
        PlaneArray& plane = planes_[p];
        if (plane.inPlace) {
            view_.planes[p] = reinterpret_cast<const std::uint16_t*>(plane.data);
            view_.strides[p] = plane.rowStrideBytes;
        } else {
            if (plane.copy.empty()) copyPlane(plane);
            view_.planes[p] = plane.copy.data();
            view_.strides[p] = std::ptrdiff_t(2) * plane.columns;
        }
    }
    return view_;
}

}  // namespace hdrmeter_python
