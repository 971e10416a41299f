// hdrmeter.measure: keyword arguments become a clip Request, the clip is measured without the GIL, and
// the Report comes back as a ClipResult. Keyword names are the command-line options' (threshold=,
// active_area=, csv=), and the library's messages are spelled so (pythonSpelling).
#include "bindings.h"
#include "report_objects.h"

#include <hdrmeter/clip.h>
#include <hdrmeter/clip_hooks.h>
#include <hdrmeter/settings.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <cctype>
#include <charconv>
#include <chrono>
#include <climits>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace py = pybind11;
using namespace hdrmeter::clip;

namespace hdrmeter_python {

namespace {

// Taking the GIL waits for whichever thread holds it: ten looks a second are enough for Ctrl-C.
constexpr std::chrono::milliseconds kSignalCheckInterval{100};

[[noreturn]] void wrongType(const char* name, const char* expected, py::handle value)
{
    throw py::type_error(std::string("measure() argument '") + name + "' must be " + expected + ", not " +
                         py::str(py::type::handle_of(value).attr("__name__")).cast<std::string>());
}

bool isNumpyBool(py::handle value)
{
    const py::object numpy = py::module_::import("numpy");
    return py::isinstance(value, numpy.attr("bool_"));
}

// Only a real bool: a string such as "no" is true to Python and would silently turn a setting on.
bool booleanOf(const char* name, py::handle value)
{
    if (PyBool_Check(value.ptr()))
        return value.ptr() == Py_True;
    if (isNumpyBool(value))
        return PyObject_IsTrue(value.ptr()) == 1;
    wrongType(name, "True or False", value);
}

// Any integer (numpy's included, bools not). Beyond long long the value is clamped, which the request's
// rules then refuse with their reason.
long long integerOf(const char* name, py::handle value)
{
    if (PyBool_Check(value.ptr()) || !PyIndex_Check(value.ptr()) || isNumpyBool(value))
        wrongType(name, "an int", value);
    const py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
    if (!index)
        throw py::error_already_set();
    int overflow = 0;
    const long long result = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (overflow != 0)
        return overflow > 0 ? LLONG_MAX : LLONG_MIN;
    if (result == -1 && PyErr_Occurred())
        throw py::error_already_set();
    return result;
}

double numberOf(const char* name, py::handle value)
{
    if (PyBool_Check(value.ptr()) || isNumpyBool(value) || PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()))
        wrongType(name, "a number", value);
    const double result = PyFloat_AsDouble(value.ptr());
    if (result == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError))
            throw py::error_already_set();
        PyErr_Clear();
        wrongType(name, "a number", value);
    }
    return result;
}

std::string textOf(const char* name, py::handle value)
{
    if (!PyUnicode_Check(value.ptr()))
        wrongType(name, "a str", value);
    return value.cast<std::string>();
}

// A file name as the file system spells it: str, bytes or os.PathLike, non-UTF-8 names included.
std::string fileNameOf(const char* name, py::handle value)
{
    const py::object path = py::reinterpret_steal<py::object>(PyOS_FSPath(value.ptr()));
    if (!path) {
        PyErr_Clear();
        wrongType(name, "a str or os.PathLike", value);
    }
    const py::object bytes = PyBytes_Check(path.ptr())
                                 ? path
                                 : py::reinterpret_steal<py::object>(PyUnicode_EncodeFSDefault(path.ptr()));
    if (!bytes)
        throw py::error_already_set();
    return std::string(PyBytes_AS_STRING(bytes.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr())));
}

bool isSequence(py::handle value)
{
    return PySequence_Check(value.ptr()) && !PyUnicode_Check(value.ptr()) && !PyBytes_Check(value.ptr());
}

std::string lowercase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// An int as it is ("2000"), a float with the digits that read back as the same double.
std::string numberText(const char* name, py::handle value)
{
    if (PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr()))
        return py::str(value).cast<std::string>();
    return py::repr(py::float_(numberOf(name, value))).cast<std::string>();
}

// A keyword's value as the table's text for its setting; the table then checks it as it checks the command
// line's. Python's types are checked here: a str where a number belongs is a TypeError, as Python has it.
std::string settingTextOf(const Setting& setting, py::handle value)
{
    const char* name = setting.name;
    switch (setting.kind) {
    case SettingKind::Flag:
        return booleanOf(name, value) ? "true" : "false";
    case SettingKind::Whole:
        return std::to_string(integerOf(name, value));
    case SettingKind::Decimal:
        return numberText(name, value);
    case SettingKind::Time:
        return PyUnicode_Check(value.ptr()) ? value.cast<std::string>() : numberText(name, value);
    case SettingKind::Path:
        return fileNameOf(name, value);
    case SettingKind::Area: {
        if (PyUnicode_Check(value.ptr()))
            return lowercase(value.cast<std::string>());
        if (!isSequence(value))
            wrongType(name, "\"auto\", \"full\" or a (left, top, right, bottom) tuple", value);
        std::string text;
        for (py::handle offset : py::reinterpret_borrow<py::sequence>(value))
            text += (text.empty() ? "" : ",") + std::to_string(integerOf(name, offset));
        return text;
    }
    case SettingKind::Display: {
        if (PyUnicode_Check(value.ptr()))
            return value.cast<std::string>();
        if (!isSequence(value))
            wrongType(name, "a (max_nits, min_nits) tuple or primaries", value);
        std::string text;
        for (py::handle part : py::reinterpret_borrow<py::sequence>(value))
            text += (text.empty() ? "" : ",") +
                    (PyUnicode_Check(part.ptr()) ? part.cast<std::string>() : numberText(name, part));
        return text;
    }
    case SettingKind::FrameList: {
        std::string text;
        for (py::handle frame : py::reinterpret_borrow<py::iterable>(value))
            text += (text.empty() ? "" : ",") + std::to_string(integerOf(name, frame));
        return text.empty() ? "," : text;
    }
    case SettingKind::Choice:
    case SettingKind::Size:
    case SettingKind::Text:
        break;
    }
    return textOf(name, value);
}

// Sets one keyword's setting, raising ValueError in the keywords' own spelling.
void applyKeyword(Request& request, const Setting& setting, py::handle value)
{
    try {
        setSetting(request, setting, settingTextOf(setting, value));
    } catch (const RequestError& error) {
        throw py::value_error(pythonSpelling(error.message()));
    }
}

// scene_cuts takes a file name or the first frames themselves.
void applySceneCuts(Request& request, py::handle value)
{
    const bool fileName = PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()) ||
                          PyObject_HasAttrString(value.ptr(), "__fspath__");
    if (fileName) {
        applyKeyword(request, *findSetting("scene_cuts"), value);
        return;
    }
    if (!py::isinstance<py::iterable>(value))
        wrongType("scene_cuts", "a file name or an iterable of first frames", value);
    applyKeyword(request, *findSetting("scene_cut_frames"), value);
}

Request requestOf(const py::object& path, const py::dict& options)
{
    Request request;
    for (const auto& [key, value] : options) {
        const std::string name = key.cast<std::string>();
        // None leaves a setting at the request's default, so callers can pass their own optional values on.
        if (value.is_none())
            continue;
        const Setting* setting = findSetting(name);
        if (!setting || !setting->offered)
            throw py::type_error("measure() got an unexpected keyword argument '" + name + "'");
        if (name == "scene_cuts")
            applySceneCuts(request, value);
        else
            applyKeyword(request, *setting, value);
    }
    if (!path.is_none())
        request.input = fileNameOf("path", path);
    else if (!request.demo)
        throw py::type_error("measure() needs a path (\"-\" for standard input), or demo=True");
    if (const std::string reason = validate(request); !reason.empty())
        throw py::value_error(pythonSpelling(reason));
    return request;
}

// Lazily, so that a script that only measures frames in arrays leaves FFmpeg's log as it found it. Each
// run then gets FFmpeg's lines about its own input through its observer.
void captureLibavLines()
{
    static std::once_flag once;
    std::call_once(once, [] { captureLibavMessages({}); });
}

// Runs the interpreter's signal handlers now and then while the GIL is released. Python only runs them
// when the main thread executes bytecode, which it does not while it waits here; a handler's exception
// (KeyboardInterrupt) stops the run and is raised when measure() returns.
class SignalWatch : public Observer {
public:
    // `callback`, unless None, is the caller's progress=: called with the pass, the frames done in it and
    // how many it will take (None when unknown); returning False stops the run.
    SignalWatch(StopRequest& stop, py::object callback)
        : stop_(stop), lastCheck_(std::chrono::steady_clock::now()), callback_(std::move(callback))
    {
    }

    void progress(int pass, long long framesDone, std::optional<long long> framesExpected) override
    {
        const auto now = std::chrono::steady_clock::now();
        const bool checkSignals = now - lastCheck_ >= kSignalCheckInterval;
        if (raised_ || (!checkSignals && callback_.is_none()))
            return;
        const py::gil_scoped_acquire acquire;
        if (checkSignals) {
            lastCheck_ = now;
            if (PyErr_CheckSignals() != 0) {
                raised_.emplace();
                stop_.request("interrupted");
                return;
            }
        }
        if (callback_.is_none())
            return;
        // An exception in the callback stops the run like a signal's and is raised when measure() returns.
        try {
            const py::object answer =
                callback_(pass, framesDone, framesExpected ? py::object(py::int_(*framesExpected)) : py::none());
            if (answer.is(py::bool_(false)))
                stop_.request("the progress callback");
        } catch (py::error_already_set& error) {
            raised_.emplace(std::move(error));
            stop_.request("the progress callback");
        }
    }

    void ffmpegMessage(int, const std::string& line) override { ffmpegLines_.push_back("FFmpeg " + line); }

    // What a signal handler raised; destroy it with the GIL held.
    std::optional<py::error_already_set>& raised() { return raised_; }
    // FFmpeg's lines about this run.
    const std::vector<std::string>& ffmpegLines() const { return ffmpegLines_; }

private:
    StopRequest& stop_;
    std::chrono::steady_clock::time_point lastCheck_;
    py::object callback_;
    std::optional<py::error_already_set> raised_;
    std::vector<std::string> ffmpegLines_;
};

void warnEach(const std::vector<std::string>& lines)
{
    // Level 2: the warning points at the caller of hdrmeter.measure, not at the package's own line.
    for (const std::string& line : lines)
        if (PyErr_WarnEx(PyExc_RuntimeWarning, messageText(line).cast<std::string>().c_str(), 2) != 0)
            throw py::error_already_set();
}

// With `result`, what was measured before the trouble is not lost: it rides on the exception.
[[noreturn]] void raiseError(PyObject* type, const std::string& message, const py::object& result = py::none())
{
    const py::object error = py::reinterpret_borrow<py::object>(type)(messageText(message));
    if (!result.is_none())
        error.attr("result") = result;
    PyErr_SetObject(type, error.ptr());
    throw py::error_already_set();
}

// The OSError Python has for a system error: OSError's constructor picks FileNotFoundError for ENOENT,
// PermissionError for EACCES and EPERM, NotADirectoryError, IsADirectoryError ... A read-only file system
// (EROFS) forbids the write as much as a permission does, though Python leaves it a plain OSError.
[[noreturn]] void raiseSystemError(int number, const std::string& failure, const std::string& path)
{
    PyObject* type = number == EROFS ? PyExc_PermissionError : PyExc_OSError;
    const py::object error = py::reinterpret_borrow<py::object>(type)(number, messageText(failure), path);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
}

// The error Python has for a file that is missing or may not be read or written: the system's own when
// the library names it (`systemError`, errno, about `systemPath`), else when `failure` is about one of
// `paths` that cannot be read now; `otherwise` (RuntimeError, ValueError) when it is not.
[[noreturn]] void raiseFileError(const std::string& failure, int systemError, const std::string& systemPath,
                                 const std::vector<std::string>& paths, const std::vector<std::string>& outputs,
                                 PyObject* otherwise)
{
    if (systemError != 0)
        raiseSystemError(systemError, failure, systemPath);
    const auto raiseWith = [&failure](int number, const std::string& path) { raiseSystemError(number, failure, path); };
    for (const std::string& path : paths) {
        if (path.empty() || failure.find(path) == std::string::npos)
            continue;
        if (access(path.c_str(), R_OK) != 0 && (errno == ENOENT || errno == EACCES || errno == EPERM || errno == EROFS))
            raiseWith(errno, path);
    }
    // An output is created in its folder: a folder that is missing or may not be written to.
    for (const std::string& path : outputs) {
        if (path.empty() || path == "-" || failure.find(path) == std::string::npos)
            continue;
        const std::size_t slash = path.rfind('/');
        const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
        if (access(folder.c_str(), W_OK) != 0 && (errno == ENOENT || errno == EACCES || errno == EPERM || errno == EROFS))
            raiseWith(errno, path);
    }
    raiseError(otherwise, failure);
}

// Runs `run` without the GIL and makes its report a ClipResult, raising as measure() documents. `inputs`
// and `outputs` are the files the run reads and writes, for the error an input failure raises.
py::object reportedRun(const std::function<Report(Observer&, StopRequest&)>& run, const py::object& progress,
                       const std::vector<std::string>& inputs, const std::vector<std::string>& outputs)
{
    captureLibavLines();
    StopRequest stop;
    SignalWatch signalWatch(stop, progress);
    std::optional<Report> report;
    std::string inputFailure;
    int systemError = 0;
    std::string systemPath;
    PyObject* failureType = PyExc_RuntimeError;
    {
        const py::gil_scoped_release release;
        try {
            report = run(signalWatch, stop);
        } catch (const InputError& error) {
            inputFailure = error.message();
            systemError = error.systemError();
            systemPath = error.path();
        } catch (const RequestError& error) {
            // A merge's part that cannot be read is refused as a request.
            inputFailure = error.message();
            failureType = PyExc_ValueError;
        }
    }
    // FFmpeg's lines explain an input that could not be opened as well as a damaged frame.
    const std::vector<std::string>& ffmpegLines = signalWatch.ffmpegLines();
    if (!report) {
        warnEach(ffmpegLines);
        raiseFileError(inputFailure, systemError, systemPath, inputs, outputs, failureType);
    }
    std::vector<std::string> warnings = report->warnings;
    warnings.insert(warnings.end(), ffmpegLines.begin(), ffmpegLines.end());
    const py::object result = clipResultOf(*report, warnings);
    warnEach(warnings);
    if (std::optional<py::error_already_set>& raised = signalWatch.raised()) {
        if (PyObject_SetAttrString(raised->value().ptr(), "result", result.ptr()) != 0)
            PyErr_Clear();
        throw *raised;
    }
    if (report->ending == Ending::Failed)
        raiseError(PyExc_RuntimeError, report->failure, result);
    if (!report->outputFailures.empty())
        raiseError(PyExc_RuntimeError, report->outputFailures.front(), result);
    return result;
}

// progress= is the run's, not the request's: it is taken out of the keywords before they are read.
py::object takeProgress(py::dict& options)
{
    py::object progress = py::none();
    if (options.contains("progress")) {
        progress = options["progress"];
        PyDict_DelItemString(options.ptr(), "progress");
    }
    if (!progress.is_none() && !PyCallable_Check(progress.ptr()))
        throw py::type_error("progress=" + std::string(py::repr(progress)) +
                             ": expected a callable taking the pass, the frames done and the frames expected");
    return progress;
}

std::vector<std::string> outputPathsOf(const Request& request)
{
    std::vector<std::string> paths;
    for (const OutputSpec& entry : outputTable())
        paths.push_back(request.*entry.path);
    return paths;
}

py::object measureClip(const py::object& path, const py::dict& givenOptions)
{
    py::dict options = givenOptions.attr("copy")();
    const py::object progress = takeProgress(options);
    const Request request = requestOf(path, options);
    const std::vector<std::string> inputs = {request.demo || request.input == "-" ? std::string() : request.input,
                                             request.sceneCutsFile};
    return reportedRun(
        [&request](Observer& observer, StopRequest& stop) { return measure(request, &observer, &stop); },
        progress, inputs, outputPathsOf(request));
}

py::object mergeClip(const py::list& partials, const py::dict& givenOptions)
{
    py::dict options = givenOptions.attr("copy")();
    const py::object progress = takeProgress(options);
    MergeRequest merging;
    for (const py::handle part : partials)
        merging.partials.push_back(fileNameOf("partials", part));
    for (const auto& [key, value] : options) {
        const std::string name = key.cast<std::string>();
        if (value.is_none())
            continue;
        if (name == "remeasure") {
            merging.remeasure = booleanOf("remeasure", value);
            continue;
        }
        const Setting* setting = findSetting(name);
        if (!setting || !setting->offered || !mergeTakes(*setting))
            throw py::type_error("merge() got an unexpected keyword argument '" + name + "'");
        applyKeyword(merging.outputs, *setting, value);
    }
    if (const std::string reason = validate(merging.outputs); !reason.empty())
        throw py::value_error(pythonSpelling(reason));
    // A part refused (RequestError, a std::invalid_argument) leaves as ValueError.
    return reportedRun(
        [&merging](Observer& observer, StopRequest& stop) { return merge(merging, &observer, &stop); },
        progress, merging.partials, outputPathsOf(merging.outputs));
}

}  // namespace

void bindMeasure(py::module_& module)
{
    bindClipResult(module);
    module.def("_measure", &measureClip, py::arg("path"), py::arg("options"),
               "hdrmeter.measure's work: options is its keyword arguments as a dict.");
    module.def("_merge", &mergeClip, py::arg("partials"), py::arg("options"),
               "hdrmeter.merge's work: options is its keyword arguments as a dict.");
}

}  // namespace hdrmeter_python
