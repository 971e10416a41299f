// A clip's report as Python sees it: a ClipResult whose attributes are plain Python values and whose
// per-frame columns are numpy arrays, built straight from the report.
#ifndef HDRMETER_PYTHON_REPORT_OBJECTS_H
#define HDRMETER_PYTHON_REPORT_OBJECTS_H

#include <hdrmeter/clip.h>

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

namespace hdrmeter_python {

// A library message with its settings named as keywords: "end=12.5", "robust_peaks=True".
std::string pythonSpelling(const std::string& message);
// The same as Python text: bytes that are not UTF-8 (a file name's, FFmpeg's) become U+FFFD instead of
// making the message itself fail.
pybind11::str messageText(const std::string& message);

// The ClipResult class.
void bindClipResult(pybind11::module_& module);

// The result of a run; `warnings` is every line the run warned of. Call with the GIL held.
pybind11::object clipResultOf(const hdrmeter::clip::Report& report, const std::vector<std::string>& warnings);

}  // namespace hdrmeter_python

#endif
