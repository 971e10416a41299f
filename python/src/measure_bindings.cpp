// hdrmeter.measure: the command-line tool's whole pipeline (file input, active area, scenes, metadata
// files) for Python. Options arrive as the tool's own arguments, so that they are checked and refused
// with the same one-line reasons.
#include "bindings.h"

#include <pybind11/stl.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "options.h"
#include "output/metadata_json.h"
#include "clip_errors.h"
#include "tool_run.h"

namespace py = pybind11;
using namespace hdrmeter::clip;

namespace hdrmeter_python {

namespace {

struct MeasureOutcome {
    nlohmann::ordered_json result;
    std::vector<std::string> warnings;
    std::string failure;  // the input ended early, or a file could not be written
};

// Runs without the GIL; takes it only to look for a pending signal between frames.
MeasureOutcome measureWithoutGil(const ToolOptions& options, const MeasureOptions& measureOptions, bool& interrupted)
{
    MeasureOutcome outcome;
    StopRequest stop;
    ClipMeasurement measurement(measureOptions, &stop);
    std::vector<std::pair<std::string, std::string>> outputPaths;
    for (const auto& [option, path] : {std::pair<const char*, const std::string*>{"summary_json", &options.summaryJsonPath},
                                       {"hdr10plus", &options.hdr10PlusPath},
                                       {"dovi_config", &options.doviConfigPath}})
        if (!path->empty())
            outputPaths.emplace_back(option, *path);
    checkOutputsApart(outputPaths, measurement.clip().inputIdentity());
    MetadataFiles files(options);
    MeasurementSummary summary;
    const ColumnSet columns{options.percentiles, options.clip.lumaChecks, options.clip.analysis.arithmetic.name()};
    nlohmann::ordered_json records = nlohmann::ordered_json::array();
    bool warned = false;
    auto lastSignalCheck = std::chrono::steady_clock::now();
    measurement.run(
        [&](const FrameRecord& record) {
            summary.add(record.numbers);
            records.push_back(frameJson(record.numbers, columns));
        },
        [&](int, long long, std::optional<long long>) {
            if (!warned) {
                warned = true;
                outcome.warnings = measurement.clip().warnings();
            }
            // Taking the GIL waits for whichever thread holds it: a few times a second is enough for Ctrl-C.
            const auto now = std::chrono::steady_clock::now();
            if (now - lastSignalCheck < std::chrono::milliseconds(100))
                return;
            lastSignalCheck = now;
            const py::gil_scoped_acquire acquire;
            // A KeyboardInterrupt stays pending on this thread until measure() returns and raises it.
            if (PyErr_CheckSignals() != 0) {
                interrupted = true;
                stop.request();
            }
        });
    std::vector<std::string> failures;
    files.write(measurement, summary, interrupted, outcome.warnings, failures);
    outcome.result = summaryJson(measurement, summary, interrupted);
    outcome.result["frame_records"] = std::move(records);
    if (!measurement.clip().failure().empty())
        failures.insert(failures.begin(), measurement.clip().failure());
    else if (!measurement.secondPassFailure().empty())
        failures.insert(failures.begin(), measurement.secondPassFailure());
    if (!failures.empty())
        outcome.failure = failures.front();
    return outcome;
}

py::object measure(const std::vector<std::string>& arguments, std::optional<std::vector<long long>> sceneCuts)
{
    std::vector<const char*> argv{"hdrmeter"};
    for (const std::string& argument : arguments)
        argv.push_back(argument.c_str());
    ToolOptions options;
    MeasureOptions measureOptions;
    try {
        const CommandLine commandLine = parseCommandLine(static_cast<int>(argv.size()), argv.data());
        if (commandLine.immediateOutput)
            throw py::value_error("measure() takes no help or version option");
        options = commandLine.options;
        measureOptions = measureOptionsOf(options);
    } catch (const UsageError& error) {
        throw py::value_error(error.what());
    }
    if (sceneCuts) {
        for (std::size_t i = 0; i < sceneCuts->size(); ++i)
            if ((*sceneCuts)[i] < 0 || (i > 0 && (*sceneCuts)[i] <= (*sceneCuts)[i - 1]))
                throw py::value_error("scene_cuts: give first frame numbers from 0, in increasing order");
        if (sceneCuts->empty() || sceneCuts->front() != 0)
            sceneCuts->insert(sceneCuts->begin(), 0);
        measureOptions.sceneCuts = std::move(sceneCuts);
    }
    bool interrupted = false;
    MeasureOutcome outcome;
    {
        const py::gil_scoped_release release;
        try {
            outcome = measureWithoutGil(options, measureOptions, interrupted);
        } catch (const UsageError& error) {
            outcome.failure = std::string("usage: ") + error.what();
        } catch (const InputError& error) {
            outcome.failure = error.what();
        }
        if (outcome.result.is_null() && outcome.failure.empty())
            outcome.failure = "no result";
    }
    if (interrupted)
        throw py::error_already_set();
    for (const std::string& warning : outcome.warnings)
        py::module_::import("warnings").attr("warn")(warning, py::module_::import("builtins").attr("RuntimeWarning"), 2);
    if (outcome.result.is_null()) {
        if (outcome.failure.rfind("usage: ", 0) == 0)
            throw py::value_error(outcome.failure.substr(7));
        throw std::runtime_error(outcome.failure);
    }
    py::object result = py::module_::import("json").attr("loads")(outcome.result.dump());
    if (!outcome.failure.empty()) {
        // What was measured before the trouble is not lost: it rides on the exception.
        py::object error = py::module_::import("builtins").attr("RuntimeError")(outcome.failure);
        error.attr("result") = result;
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
        throw py::error_already_set();
    }
    return result;
}

}  // namespace

void bindMeasure(py::module_& module)
{
    module.def("_measure", &measure, py::arg("arguments"), py::arg("scene_cuts") = py::none(),
               "Runs the tool's pipeline on the tool's own arguments; hdrmeter.measure builds them.");
}

}  // namespace hdrmeter_python
