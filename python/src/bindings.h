// Each group of functions of the module registers itself here; module.cpp calls them in turn.
#ifndef HDRMETER_PYTHON_BINDINGS_H
#define HDRMETER_PYTHON_BINDINGS_H

#include <pybind11/pybind11.h>

namespace hdrmeter_python {

// FrameStatistics and analyze_frame.
void bindAnalysis(pybind11::module_& module);
// ClipResult and _measure, which hdrmeter.measure calls: only when the module is built with the clip layer.
void bindMeasure(pybind11::module_& module);

}  // namespace hdrmeter_python

#endif
