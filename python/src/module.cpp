// The compiled half of the hdrmeter package; hdrmeter/__init__.py re-exports what it defines.
#include "analyzer_cache.h"
#include "bindings.h"

#include <hdrmeter/analysis.h>

namespace py = pybind11;

PYBIND11_MODULE(_hdrmeter, module) {
    module.doc() = "hdrmeter's measurements of HDR frames held in numpy arrays, and of whole clips.";
    module.attr("__version__") = hdrmeter::libraryVersion();
    hdrmeter_python::bindAnalysis(module);
#ifdef HDRMETER_PYTHON_MEASURE
    hdrmeter_python::bindMeasure(module);
#endif

    // multiprocessing forks by default on Linux; a child must not reuse its parent's analyzers.
    py::module_::import("os").attr("register_at_fork")(
        py::arg("after_in_child") = py::cpp_function([] { hdrmeter_python::abandonCachedAnalyzersAfterFork(); }));
}
