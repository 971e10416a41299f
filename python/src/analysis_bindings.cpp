// FrameStatistics and analyze_frame: the analyzer of hdrmeter/analysis.h for frames held in numpy arrays.
#include "analyzer_cache.h"
#include "bindings.h"
#include "frame_arrays.h"

#include <cmath>
#include <hdrmeter/analysis.h>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace py = pybind11;

namespace hdrmeter_python {

namespace {

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

hdrmeter::Transfer transferNamed(const std::string& name) {
    const std::string key = lowercase(name);
    if (key == "pq") return hdrmeter::Transfer::Pq;
    if (key == "hlg") return hdrmeter::Transfer::Hlg;
    throw py::value_error("transfer must be \"pq\" or \"hlg\", not \"" + name + "\"");
}

hdrmeter::Matrix matrixNamed(const std::string& name) {
    const std::string key = lowercase(name);
    if (key == "bt2020") return hdrmeter::Matrix::Bt2020;
    if (key == "bt709") return hdrmeter::Matrix::Bt709;
    throw py::value_error("matrix must be \"bt2020\" or \"bt709\", not \"" + name + "\"");
}

hdrmeter::ActiveArea areaFrom(const py::object& area) {
    if (area.is_none()) return {};
    const char* const expected = "active_area must be None or a (left, top, right, bottom) tuple of 4 ints";
    if (!py::isinstance<py::sequence>(area) || py::isinstance<py::str>(area)) throw py::type_error(expected);
    const py::sequence offsets = py::reinterpret_borrow<py::sequence>(area);
    if (offsets.size() != 4) throw py::value_error(expected);
    int values[4];
    for (int i = 0; i < 4; ++i) {
        try {
            values[i] = offsets[static_cast<size_t>(i)].cast<int>();
        } catch (const py::cast_error&) {
            throw py::type_error(expected);
        }
    }
    return {values[0], values[1], values[2], values[3]};
}

py::array_t<std::uint64_t> histogramArray(const std::vector<std::uint64_t>& counts) {
    return py::array_t<std::uint64_t>(static_cast<py::ssize_t>(counts.size()), counts.data());
}

std::string statisticsRepr(const hdrmeter::FrameStatistics& s) {
    char text[512];
    std::snprintf(text, sizeof text,
                  "FrameStatistics(pixel_count=%llu, bit_depth=%d, average_light_nits=%.6g, "
                  "largest_light_nits=%.6g, above_threshold_percent=%.6g, top1_nits=%.6g, top2_nits=%.6g, "
                  "bottom_nits=%.6g)",
                  static_cast<unsigned long long>(s.pixelCount()), s.bitDepth(), s.averageLightNits(),
                  s.largestLightNits(), s.aboveThresholdPercent(), s.top1Nits(), s.top2Nits(), s.bottomNits());
    return text;
}

hdrmeter::AnalysisSettings frameSettings(const std::string& transfer, const std::string& matrix, double thresholdNits,
                                         double top1, double top2, double bottom, int tasks, bool classParity) {
    hdrmeter::AnalysisSettings settings;
    settings.transfer = transferNamed(transfer);
    settings.matrix = matrixNamed(matrix);
    settings.thresholdNits = thresholdNits;
    settings.top1Percent = top1;
    settings.top2Percent = top2;
    settings.bottomPercent = bottom;
    settings.taskCount = tasks;
    if (classParity) settings.arithmetic = hdrmeter::Arithmetic::classParity();
    return settings;
}

// The settings statistics were measured with, kept beside them (as `_settings` in the instance's
// __dict__) so that a pickled copy is made whole again by an analyzer of the same settings.
py::tuple settingsState(const hdrmeter::AnalysisSettings& settings, bool classParity) {
    return py::make_tuple(static_cast<int>(settings.transfer), static_cast<int>(settings.matrix),
                          settings.thresholdNits, settings.top1Percent, settings.top2Percent, settings.bottomPercent,
                          settings.taskCount, classParity);
}

hdrmeter::AnalysisSettings settingsOfState(const py::tuple& state) {
    if (state.size() != 8) throw py::value_error("not the settings of pickled FrameStatistics");
    hdrmeter::AnalysisSettings settings;
    settings.transfer = static_cast<hdrmeter::Transfer>(state[0].cast<int>());
    settings.matrix = static_cast<hdrmeter::Matrix>(state[1].cast<int>());
    settings.thresholdNits = state[2].cast<double>();
    settings.top1Percent = state[3].cast<double>();
    settings.top2Percent = state[4].cast<double>();
    settings.bottomPercent = state[5].cast<double>();
    settings.taskCount = state[6].cast<int>();
    if (state[7].cast<bool>()) settings.arithmetic = hdrmeter::Arithmetic::classParity();
    return settings;
}

py::bytes histogramBytes(const std::vector<std::uint64_t>& counts) {
    return py::bytes(reinterpret_cast<const char*>(counts.data()), counts.size() * sizeof(std::uint64_t));
}

std::vector<std::uint64_t> histogramOfBytes(const py::bytes& bytes) {
    const std::string text = bytes;
    if (text.size() % sizeof(std::uint64_t) != 0) throw py::value_error("not the histogram of pickled FrameStatistics");
    std::vector<std::uint64_t> counts(text.size() / sizeof(std::uint64_t));
    std::memcpy(counts.data(), text.data(), text.size());
    return counts;
}

py::tuple statisticsState(const py::object& self) {
    const auto& statistics = self.cast<const hdrmeter::FrameStatistics&>();
    const hdrmeter::StatisticsParts parts = statistics.parts();
    const py::dict values = self.attr("__dict__");
    if (parts.pixelCount > 0 && !values.contains("_settings"))
        throw py::type_error("these FrameStatistics cannot be pickled: their settings are unknown");
    return py::make_tuple(values, parts.bitDepth, static_cast<int>(parts.range), parts.pixelCount,
                          histogramBytes(parts.lightHistogram), histogramBytes(parts.lumaHistogram),
                          py::make_tuple(parts.largestChannelCode[0], parts.largestChannelCode[1],
                                         parts.largestChannelCode[2]),
                          parts.bandLightSum);
}

std::pair<hdrmeter::FrameStatistics, py::dict> statisticsOfState(const py::tuple& state) {
    if (state.size() != 8 || !py::isinstance<py::dict>(state[0]))
        throw py::value_error("not the state of pickled FrameStatistics");
    const py::dict values = state[0].cast<py::dict>();
    hdrmeter::StatisticsParts parts;
    parts.bitDepth = state[1].cast<int>();
    parts.range = static_cast<hdrmeter::SampleRange>(state[2].cast<int>());
    parts.pixelCount = state[3].cast<std::uint64_t>();
    if (parts.pixelCount == 0) return {hdrmeter::FrameStatistics(), values};
    parts.lightHistogram = histogramOfBytes(state[4].cast<py::bytes>());
    parts.lumaHistogram = histogramOfBytes(state[5].cast<py::bytes>());
    const py::tuple channels = state[6].cast<py::tuple>();
    for (int c = 0; c < 3; ++c) parts.largestChannelCode[c] = channels[c].cast<int>();
    parts.bandLightSum = state[7].cast<double>();
    const std::shared_ptr<const hdrmeter::Analyzer> analyzer =
        cachedAnalyzer(settingsOfState(values["_settings"].cast<py::tuple>()));
    try {
        return {analyzer->restore(parts), values};
    } catch (const std::invalid_argument& error) {
        throw py::value_error(std::string("not the state of pickled FrameStatistics: ") + error.what());
    }
}

// "ycbcr" or "rgb"; None is R'G'B' for one array of pixels alone, Y'CbCr for three planes.
bool rgbModel(const py::object& model, const py::object& cb, const py::object& cr) {
    if (model.is_none()) return cb.is_none() && cr.is_none();
    const std::string key = lowercase(py::str(model));
    if (key == "rgb") return true;
    if (key == "ycbcr") return false;
    throw py::value_error("model must be \"ycbcr\" or \"rgb\", not \"" + std::string(py::str(model)) + "\"");
}

hdrmeter::FrameStatistics analyzeFrame(const py::object& y, const py::object& cb, const py::object& cr, int bitDepth,
                                       const std::string& transfer, const std::string& matrix, double thresholdNits,
                                       double top1, double top2, double bottom, const py::object& activeArea,
                                       int tasks, bool classParity, bool fullRange, const py::object& model) {
    FrameArrays arrays(y, cb, cr, bitDepth, fullRange, rgbModel(model, cb, cr));
    const hdrmeter::AnalysisSettings settings =
        frameSettings(transfer, matrix, thresholdNits, top1, top2, bottom, tasks, classParity);
    const hdrmeter::ActiveArea area = areaFrom(activeArea);
    const std::shared_ptr<const hdrmeter::Analyzer> analyzer = cachedAnalyzer(settings);

    // Declared last, `release` ends first: the arrays are let go of only once the GIL is back.
    py::gil_scoped_release release;
    return analyzer->analyze(arrays.view(), area);
}

const char* const kAnalyzeFrameDoc = R"(Measures one frame given as three planes of codes, or as one array of R'G'B' pixels.

y, cb, cr: 2-D numpy arrays of uint16 codes in their low bits (rows, columns). The chroma
layout follows from the shapes: cb and cr shaped like y are 4:4:4; ceil(width/2) columns
is 4:2:2; ceil(width/2) columns and ceil(height/2) rows is 4:2:0.
With model="rgb" the three planes are R', G' and B', all of one shape. A frame given as
one (rows, columns, 3) uint16 array alone, cb and cr left out, is R'G'B' pixels; a fourth
word a pixel, (rows, columns, 4), is alpha and is not read. An R'G'B' channel's code is
its signal; a pixel's light is that of its largest channel, its luminance that of
Kr R' + Kg G' + Kb B' of the matrix rounded to a code. class_parity is Y'CbCr's only.

Arrays whose rows are contiguous (consecutive samples 2 bytes apart, 2-byte aligned) are
measured in place whatever the distance between rows, negative included: slices, padded
buffers and flipped views cost no copy. Other arrays (a column slice with a step, a
transposed array, a misaligned buffer) are first copied. The GIL is released while the
frame is copied and measured; the arrays are only read.

bit_depth: 10, 12 or 16. transfer: "pq" or "hlg" (HLG on a 1000-nit display).
matrix: "bt2020" or "bt709". threshold_nits: above_threshold_percent counts luminances
strictly above it. top1, top2: percent of the brightest pixels for top1_nits and
top2_nits; bottom: percent of the darkest pixels below bottom_nits.
active_area: None for the whole frame, or (left, top, right, bottom) offsets in luma
pixels from each edge; only pixels inside are measured. tasks: worker threads, 0 for one
per core. class_parity: the arithmetic of CHDR_Measurements (its coefficients, band
order and rank positions) instead of the exact one. full_range: codes span 0..2^n-1.

Raises TypeError for a plane that is not a numpy array of native uint16, ValueError for
other dimensions, shapes that fit no layout, or settings the analyzer refuses.
model: "ycbcr" or "rgb"; None (the default) is R'G'B' for one array alone, else Y'CbCr.
Analyzers are kept for the last few settings used, so a loop over frames builds none.)";

}  // namespace

void bindAnalysis(py::module_& module) {
    py::class_<hdrmeter::FrameStatistics>(module, "FrameStatistics",
                                          "Statistics of the measured pixels of a frame, or of frames merged. "
                                          "Nit values are display light; without pixels every value is 0. "
                                          "They pickle and copy, so that other processes can measure frames.",
                                          py::dynamic_attr())
        .def(py::init<>(), "Statistics of no pixels, to merge frames into.")
        .def_property_readonly("pixel_count", &hdrmeter::FrameStatistics::pixelCount)
        .def_property_readonly("bit_depth", &hdrmeter::FrameStatistics::bitDepth, "0 without pixels")
        .def_property_readonly("average_light_nits", &hdrmeter::FrameStatistics::averageLightNits,
                               "mean maxRGB light: the frame's FALL")
        .def_property_readonly("largest_light_nits", &hdrmeter::FrameStatistics::largestLightNits,
                               "largest maxRGB light: the frame's CLL")
        .def_property_readonly("above_threshold_percent", &hdrmeter::FrameStatistics::aboveThresholdPercent,
                               "percent of pixels whose luminance is above threshold_nits")
        .def_property_readonly("top1_nits", &hdrmeter::FrameStatistics::top1Nits,
                               "luminance the brightest top1 percent of pixels reach")
        .def_property_readonly("top2_nits", &hdrmeter::FrameStatistics::top2Nits,
                               "luminance the brightest top2 percent of pixels reach")
        .def_property_readonly("bottom_nits", &hdrmeter::FrameStatistics::bottomNits,
                               "luminance all but the darkest bottom percent of pixels reach")
        .def_property_readonly("smallest_light_nits", &hdrmeter::FrameStatistics::smallestLightNits)
        .def_property_readonly("largest_red_nits", &hdrmeter::FrameStatistics::largestRedNits)
        .def_property_readonly("largest_green_nits", &hdrmeter::FrameStatistics::largestGreenNits)
        .def_property_readonly("largest_blue_nits", &hdrmeter::FrameStatistics::largestBlueNits)
        .def_property_readonly(
            "light_histogram", [](const hdrmeter::FrameStatistics& s) { return histogramArray(s.lightHistogram()); },
            "uint64 counts of pixels by light code (65536 entries, 2^(16 - bit_depth) to a code; 2^bit_depth "
            "with class_parity; empty without pixels)")
        .def_property_readonly(
            "luma_histogram", [](const hdrmeter::FrameStatistics& s) { return histogramArray(s.lumaHistogram()); },
            "uint64 counts of pixels by luma code")
        .def("light_at_percentile", &hdrmeter::FrameStatistics::lightAtPercentile, py::arg("percent"),
             "Light at a percentile 0..100, a nearest rank among the lights in ascending order.")
        .def(
            "percent_at_or_below",
            [](const hdrmeter::FrameStatistics& s, double nits) {
                // As light_at_percentile refuses a NaN percentage, a NaN level is refused, not counted as 0 %.
                if (std::isnan(nits))
                    throw py::value_error("percent_at_or_below: nits is NaN; give a level in nits");
                return s.percentAtOrBelow(nits);
            },
            py::arg("nits"), "Percent of pixels whose light is at or below nits.")
        .def_property_readonly("smallest_pq", &hdrmeter::FrameStatistics::smallestPqLight,
                               "smallest light as a PQ signal 0..1")
        .def_property_readonly("mean_pq", &hdrmeter::FrameStatistics::meanPqLight,
                               "mean of the lights as PQ signals")
        .def_property_readonly("largest_pq", &hdrmeter::FrameStatistics::largestPqLight,
                               "largest light as a PQ signal 0..1")
        .def(
            "merge",
            [](const py::object& self, const py::object& other) {
                self.cast<hdrmeter::FrameStatistics&>().merge(other.cast<const hdrmeter::FrameStatistics&>());
                // Statistics of no pixels take the settings of the first frame merged into them.
                if (!py::hasattr(self, "_settings") && py::hasattr(other, "_settings"))
                    self.attr("_settings") = other.attr("_settings");
            },
            py::arg("other"),
             "Adds another frame's statistics to these, in place. ValueError unless both come from the same "
             "settings, bit depth and range.")
        .def("__repr__", &statisticsRepr)
        .def(py::pickle(&statisticsState, &statisticsOfState));

    module.def(
        "analyze_frame",
        [](const py::object& y, const py::object& cb, const py::object& cr, int bitDepth, const std::string& transfer,
           const std::string& matrix, double thresholdNits, double top1, double top2, double bottom,
           const py::object& activeArea, int tasks, bool classParity, bool fullRange, const py::object& model) {
            py::object statistics = py::cast(analyzeFrame(y, cb, cr, bitDepth, transfer, matrix, thresholdNits, top1,
                                                          top2, bottom, activeArea, tasks, classParity, fullRange,
                                                          model));
            statistics.attr("_settings") = settingsState(
                frameSettings(transfer, matrix, thresholdNits, top1, top2, bottom, tasks, classParity), classParity);
            return statistics;
        },
        kAnalyzeFrameDoc, py::arg("y"), py::arg("cb") = py::none(), py::arg("cr") = py::none(),
               py::kw_only(), py::arg("bit_depth") = 10, py::arg("transfer") = "pq", py::arg("matrix") = "bt2020",
               py::arg("threshold_nits") = 203.0, py::arg("top1") = 1.0, py::arg("top2") = 10.0,
               py::arg("bottom") = 1.0, py::arg("active_area") = py::none(), py::arg("tasks") = 0,
               py::arg("class_parity") = false, py::arg("full_range") = false, py::arg("model") = py::none());
}

}  // namespace hdrmeter_python
