// hdrmeter.measure: keyword arguments become a clip Request, the clip is measured without the GIL, and
// the Report comes back as a ClipResult. Keyword names are the command-line options' (threshold=,
// active_area=, csv=), and the library's own messages name them so (Spelling::Python).
#include "bindings.h"
#include "report_objects.h"

#include <hdrmeter/clip.h>
#include <hdrmeter/clip_hooks.h>

#include <algorithm>
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

// FFmpeg's AV_LOG_WARNING: its warnings and errors reach Python, its information does not.
constexpr int kLibavWarningLevel = 24;
// A damaged stream can make FFmpeg complain at every frame; a run keeps this many of its lines.
constexpr std::size_t kMaxLibavLines = 100;
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

int smallIntegerOf(const char* name, py::handle value)
{
    return static_cast<int>(std::clamp<long long>(integerOf(name, value), INT_MIN, INT_MAX));
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

std::string reprOf(py::handle value)
{
    return py::repr(value).cast<std::string>();
}

// What the keywords say besides the request's own fields: settings that only make sense together.
struct Keywords {
    Request request;
    std::optional<std::string> size;
    std::optional<std::string> pixelFormat;
    std::optional<bool> percentiles;
    std::optional<bool> noPercentiles;
};

using ApplyKeyword = void (*)(Keywords& keywords, const char* name, py::handle value);

struct KeywordRule {
    const char* name;
    ApplyKeyword apply;
};

void applyActiveArea(Keywords& keywords, const char* name, py::handle value)
{
    const std::string expected = ": expected \"auto\", \"full\" or (left, top, right, bottom) in pixels";
    Request& request = keywords.request;
    if (PyUnicode_Check(value.ptr())) {
        const std::string mode = lowercase(value.cast<std::string>());
        if (mode != "auto" && mode != "full")
            throw py::value_error(std::string(name) + "=" + reprOf(value) + expected);
        request.areaMode = mode == "auto" ? AreaMode::Auto : AreaMode::Full;
        return;
    }
    if (!isSequence(value))
        wrongType(name, "\"auto\", \"full\" or a (left, top, right, bottom) tuple", value);
    const py::sequence offsets = py::reinterpret_borrow<py::sequence>(value);
    if (offsets.size() != 4)
        throw py::value_error(std::string(name) + "=" + reprOf(value) + expected);
    request.areaMode = AreaMode::Given;
    int* fields[] = {&request.area.left, &request.area.top, &request.area.right, &request.area.bottom};
    for (std::size_t i = 0; i < 4; ++i)
        *fields[i] = smallIntegerOf(name, offsets[i]);
}

void applySceneCuts(Keywords& keywords, const char* name, py::handle value)
{
    const bool fileName = PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()) ||
                          PyObject_HasAttrString(value.ptr(), "__fspath__");
    if (fileName) {
        keywords.request.sceneCutsFile = fileNameOf(name, value);
        return;
    }
    if (!py::isinstance<py::iterable>(value))
        wrongType(name, "a file name or an iterable of first frames", value);
    std::vector<long long> cuts;
    for (py::handle frame : py::reinterpret_borrow<py::iterable>(value))
        cuts.push_back(integerOf(name, frame));
    keywords.request.sceneCuts = std::move(cuts);
}

// (max_nits, min_nits); primaries as a name or eight numbers; or the primaries followed by the two.
void applyMasteringDisplay(Keywords& keywords, const char* name, py::handle value)
{
    const std::string expected = ": expected (max_nits, min_nits) such as (1000, 0.0001), primaries (\"p3-d65\", "
                                 "\"bt2020\", \"bt709\" or eight numbers), or both: (\"p3-d65\", 1000, 0.0001)";
    MasteringLuminance display;
    display.assumed = false;
    const bool text = PyUnicode_Check(value.ptr());
    if (!text && !isSequence(value))
        wrongType(name, "a (max_nits, min_nits) tuple or primaries", value);
    const py::sequence parts = text ? py::sequence(py::make_tuple(value)) : py::reinterpret_borrow<py::sequence>(value);
    std::size_t next = 0;
    if (parts.size() > 0 && PyUnicode_Check(parts[0].ptr())) {
        if (!setNamedPrimaries(display, parts[0].cast<std::string>()))
            throw py::value_error(std::string(name) + "=" + reprOf(value) + expected);
        next = 1;
    } else if (parts.size() == 8 || parts.size() == 10) {
        std::array<double, 8> coordinates{};
        for (std::size_t i = 0; i < 8; ++i)
            coordinates[i] = numberOf(name, parts[i]);
        display.primaries = std::array<double, 6>{coordinates[0], coordinates[1], coordinates[2],
                                                  coordinates[3], coordinates[4], coordinates[5]};
        display.whitePoint = std::array<double, 2>{coordinates[6], coordinates[7]};
        next = 8;
    }
    const std::size_t remaining = parts.size() - next;
    if (remaining == 0 && next > 0) {
        display.luminanceGiven = false;
    } else if (remaining == 2) {
        display.maxNits = numberOf(name, parts[next]);
        display.minNits = numberOf(name, parts[next + 1]);
    } else {
        throw py::value_error(std::string(name) + "=" + reprOf(value) + expected);
    }
    keywords.request.masteringDisplay = display;
}

const std::vector<KeywordRule>& keywordRules()
{
    using K = Keywords&;
    using V = py::handle;
    static const std::vector<KeywordRule> rules = {
        {"demo", [](K k, const char* n, V v) { k.request.demo = booleanOf(n, v); }},
        {"stream", [](K k, const char* n, V v) { k.request.stream = smallIntegerOf(n, v); }},
        {"size", [](K k, const char* n, V v) { k.size = textOf(n, v); }},
        {"pix_fmt", [](K k, const char* n, V v) { k.pixelFormat = textOf(n, v); }},
        {"transfer",
         [](K k, const char* n, V v) {
             const std::string name = lowercase(textOf(n, v));
             if (name != "pq" && name != "hlg")
                 throw py::value_error(std::string(n) + "=" + reprOf(v) + ": expected \"pq\" or \"hlg\"");
             k.request.transfer = name == "pq" ? hdrmeter::Transfer::Pq : hdrmeter::Transfer::Hlg;
         }},
        {"matrix",
         [](K k, const char* n, V v) {
             const std::string name = lowercase(textOf(n, v));
             if (name != "bt2020" && name != "bt709")
                 throw py::value_error(std::string(n) + "=" + reprOf(v) + ": expected \"bt2020\" or \"bt709\"");
             k.request.matrix = name == "bt2020" ? hdrmeter::Matrix::Bt2020 : hdrmeter::Matrix::Bt709;
         }},
        {"threshold", [](K k, const char* n, V v) { k.request.thresholdNits = numberOf(n, v); }},
        {"top1", [](K k, const char* n, V v) { k.request.top1Percent = numberOf(n, v); }},
        {"top2", [](K k, const char* n, V v) { k.request.top2Percent = numberOf(n, v); }},
        {"bottom", [](K k, const char* n, V v) { k.request.bottomPercent = numberOf(n, v); }},
        {"percentiles", [](K k, const char* n, V v) { k.percentiles = booleanOf(n, v); }},
        {"no_percentiles", [](K k, const char* n, V v) { k.noPercentiles = booleanOf(n, v); }},
        {"checks", [](K k, const char* n, V v) { k.request.lumaChecks = booleanOf(n, v); }},
        {"class_parity", [](K k, const char* n, V v) { k.request.classParity = booleanOf(n, v); }},
        {"accept_damaged", [](K k, const char* n, V v) { k.request.acceptDamaged = booleanOf(n, v); }},
        {"tasks", [](K k, const char* n, V v) { k.request.tasks = smallIntegerOf(n, v); }},
        {"frames", [](K k, const char* n, V v) { k.request.frameLimit = integerOf(n, v); }},
        {"start", [](K k, const char* n, V v) { k.request.start = numberOf(n, v); }},
        {"end", [](K k, const char* n, V v) { k.request.end = numberOf(n, v); }},
        {"active_area", &applyActiveArea},
        {"bars_tolerance", [](K k, const char* n, V v) { k.request.barsTolerance = smallIntegerOf(n, v); }},
        {"scene_threshold", [](K k, const char* n, V v) { k.request.sceneThreshold = numberOf(n, v); }},
        {"min_scene_length", [](K k, const char* n, V v) { k.request.minSceneFrames = integerOf(n, v); }},
        {"scene_cuts", &applySceneCuts},
        {"mastering_display", &applyMasteringDisplay},
        {"dovi_cm_version",
         [](K k, const char* n, V v) {
             const std::string version = textOf(n, v);
             if (version != "2.9" && version != "4.0")
                 throw py::value_error(std::string(n) + "=" + reprOf(v) + ": expected \"2.9\" or \"4.0\"");
             k.request.doviCmVersion = version == "2.9" ? hdrmeter::clip::DoviCmVersion::V29
                                                        : hdrmeter::clip::DoviCmVersion::V40;
         }},
        {"robust_frame_percentile", [](K k, const char* n, V v) { k.request.robustFramePercent = numberOf(n, v); }},
        {"robust_clip_percentile", [](K k, const char* n, V v) { k.request.robustClipPercent = numberOf(n, v); }},
        {"robust_peaks", [](K k, const char* n, V v) { k.request.robustMetadata = booleanOf(n, v); }},
        {"peak_pixels", [](K k, const char* n, V v) { k.request.fewPeakPixels = integerOf(n, v); }},
        {"verify", [](K k, const char* n, V v) { k.request.verify = booleanOf(n, v); }},
        {"verify_margin", [](K k, const char* n, V v) { k.request.verifyMarginPercent = numberOf(n, v); }},
        {"verify_pq_codes", [](K k, const char* n, V v) { k.request.verifyPqCodes = numberOf(n, v); }},
        {"verify_max_shift", [](K k, const char* n, V v) { k.request.verifyMaxShift = integerOf(n, v); }},
    };
    return rules;
}

// "1920x1080"; a size out of range is left to the request's rules, which give the allowed one.
RawVideo rawVideoOf(const std::string& size, const std::string& pixelFormat)
{
    RawVideo raw;
    raw.pixelFormat = pixelFormat;
    const std::size_t cross = size.find('x');
    const char* end = size.data() + size.size();
    const auto whole = [](const char* first, const char* last, int& value) {
        const std::from_chars_result parsed = std::from_chars(first, last, value);
        return first != last && parsed.ec == std::errc() && parsed.ptr == last;
    };
    if (cross == std::string::npos || !whole(size.data(), size.data() + cross, raw.width) ||
        !whole(size.data() + cross + 1, end, raw.height))
        throw py::value_error("size='" + size + "': expected \"WIDTHxHEIGHT\" in pixels, such as \"1920x1080\"");
    return raw;
}

Request requestOf(const py::object& path, const py::dict& options)
{
    Keywords keywords;
    for (const auto& [key, value] : options) {
        const std::string name = key.cast<std::string>();
        // None leaves a setting at the request's default, so callers can pass their own optional values on.
        if (value.is_none())
            continue;
        const auto& rules = keywordRules();
        const auto rule =
            std::find_if(rules.begin(), rules.end(), [&](const KeywordRule& r) { return name == r.name; });
        if (rule != rules.end()) {
            rule->apply(keywords, rule->name, value);
            continue;
        }
        const auto& outputs = outputTable();
        const auto output =
            std::find_if(outputs.begin(), outputs.end(), [&](const OutputSpec& entry) { return name == entry.keyword; });
        if (output == outputs.end())
            throw py::type_error("measure() got an unexpected keyword argument '" + name + "'");
        keywords.request.*output->path = fileNameOf(output->keyword, value);
    }

    Request& request = keywords.request;
    if (!path.is_none())
        request.input = fileNameOf("path", path);
    else if (!request.demo)
        throw py::type_error("measure() needs a path (\"-\" for standard input), or demo=True");
    if (keywords.percentiles && keywords.noPercentiles && *keywords.percentiles == *keywords.noPercentiles)
        throw py::value_error("percentiles=" + std::string(*keywords.percentiles ? "True" : "False") +
                              " and no_percentiles=" + (*keywords.noPercentiles ? "True" : "False") +
                              " contradict each other: give one of them");
    if (keywords.percentiles)
        request.percentiles = *keywords.percentiles;
    else if (keywords.noPercentiles)
        request.percentiles = !*keywords.noPercentiles;
    if (keywords.size && !keywords.pixelFormat)
        throw py::value_error("size needs pix_fmt for raw video, such as pix_fmt=\"yuv420p10le\"");
    if (keywords.pixelFormat && !keywords.size)
        throw py::value_error("pix_fmt needs size=\"WIDTHxHEIGHT\" for raw video");
    if (keywords.size)
        request.raw = rawVideoOf(*keywords.size, *keywords.pixelFormat);

    if (const std::string reason = validate(request, Spelling::Python); !reason.empty())
        throw py::value_error(reason);
    return std::move(keywords.request);
}

class LibavLines;

// FFmpeg's log is one for the whole process and says nothing of which run a line belongs to: every run
// that is going on when a line arrives gets it.
struct LibavListeners {
    std::mutex mutex;
    std::vector<LibavLines*> runs;
};

LibavListeners& libavListeners()
{
    // Never destroyed: FFmpeg may log from a thread of its own while the process exits.
    static LibavListeners* listeners = new LibavListeners;
    return *listeners;
}

// FFmpeg's lines of warning level and above while one run is going on. FFmpeg writes them from its own
// threads, with or without the GIL anywhere; they become Python warnings once the run is over.
class LibavLines {
public:
    LibavLines()
    {
        LibavListeners& listeners = libavListeners();
        const std::lock_guard<std::mutex> lock(listeners.mutex);
        listeners.runs.push_back(this);
    }
    ~LibavLines()
    {
        LibavListeners& listeners = libavListeners();
        const std::lock_guard<std::mutex> lock(listeners.mutex);
        listeners.runs.erase(std::find(listeners.runs.begin(), listeners.runs.end(), this));
    }
    LibavLines(const LibavLines&) = delete;
    LibavLines& operator=(const LibavLines&) = delete;

    // Every line so far, and how many more were left out.
    std::vector<std::string> take()
    {
        const std::lock_guard<std::mutex> lock(libavListeners().mutex);
        std::vector<std::string> lines = std::move(lines_);
        if (linesLeftOut_ > 0)
            lines.push_back("FFmpeg wrote " + std::to_string(linesLeftOut_) + " more messages, left out");
        lines_.clear();
        linesLeftOut_ = 0;
        return lines;
    }

    static void deliver(int level, const std::string& line)
    {
        if (level > kLibavWarningLevel)
            return;
        LibavListeners& listeners = libavListeners();
        const std::lock_guard<std::mutex> lock(listeners.mutex);
        for (LibavLines* run : listeners.runs) {
            if (run->lines_.size() < kMaxLibavLines)
                run->lines_.push_back("FFmpeg " + line);
            else
                ++run->linesLeftOut_;
        }
    }

private:
    std::vector<std::string> lines_;
    long long linesLeftOut_ = 0;
};

// Lazily, so that a script that only measures frames in arrays leaves FFmpeg's log as it found it.
void captureLibavLines()
{
    static std::once_flag once;
    std::call_once(once, [] { captureLibavMessages(&LibavLines::deliver); });
}

// Runs the interpreter's signal handlers now and then while the GIL is released. Python only runs them
// when the main thread executes bytecode, which it does not while it waits here; a handler's exception
// (KeyboardInterrupt) stops the run and is raised when measure() returns.
class SignalWatch : public Observer {
public:
    explicit SignalWatch(StopRequest& stop) : stop_(stop), lastCheck_(std::chrono::steady_clock::now()) {}

    void progress(int, long long, std::optional<long long>) override
    {
        const auto now = std::chrono::steady_clock::now();
        if (raised_ || now - lastCheck_ < kSignalCheckInterval)
            return;
        lastCheck_ = now;
        const py::gil_scoped_acquire acquire;
        if (PyErr_CheckSignals() != 0) {
            raised_.emplace();
            stop_.request("interrupted");
        }
    }

    // What a signal handler raised; destroy it with the GIL held.
    std::optional<py::error_already_set>& raised() { return raised_; }

private:
    StopRequest& stop_;
    std::chrono::steady_clock::time_point lastCheck_;
    std::optional<py::error_already_set> raised_;
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

// Runs `run` without the GIL and makes its report a ClipResult, raising as measure() documents.
py::object reportedRun(const std::function<Report(Observer&, StopRequest&)>& run)
{
    captureLibavLines();
    LibavLines libavLines;
    StopRequest stop;
    SignalWatch signalWatch(stop);
    std::optional<Report> report;
    std::string inputFailure;
    {
        const py::gil_scoped_release release;
        try {
            report = run(signalWatch, stop);
        } catch (const InputError& error) {
            inputFailure = error.what();
        }
    }
    // FFmpeg's lines explain an input that could not be opened as well as a damaged frame.
    const std::vector<std::string> ffmpegLines = libavLines.take();
    if (!report) {
        warnEach(ffmpegLines);
        raiseError(PyExc_RuntimeError, inputFailure);
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

py::object measureClip(const py::object& path, const py::dict& options)
{
    const Request request = requestOf(path, options);
    return reportedRun([&request](Observer& observer, StopRequest& stop) {
        return measure(request, Spelling::Python, &observer, &stop);
    });
}

py::object mergeClip(const py::list& partials, const py::dict& options)
{
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
        if (name == "dovi_cm_version") {
            const std::string version = textOf("dovi_cm_version", value);
            if (version != "2.9" && version != "4.0")
                throw py::value_error("dovi_cm_version=" + reprOf(value) + ": expected \"2.9\" or \"4.0\"");
            merging.outputs.doviCmVersion = version == "2.9" ? DoviCmVersion::V29 : DoviCmVersion::V40;
            continue;
        }
        const auto& outputs = outputTable();
        const auto output = std::find_if(outputs.begin(), outputs.end(), [&](const OutputSpec& entry) {
            return name == entry.keyword && entry.output != Output::Partial;
        });
        if (output == outputs.end())
            throw py::type_error("merge() got an unexpected keyword argument '" + name + "'");
        merging.outputs.*output->path = fileNameOf(output->keyword, value);
    }
    if (const std::string reason = validate(merging.outputs, Spelling::Python); !reason.empty())
        throw py::value_error(reason);
    // A part refused (RequestError, a std::invalid_argument) leaves as ValueError.
    return reportedRun([&merging](Observer& observer, StopRequest& stop) {
        return merge(merging, Spelling::Python, &observer, &stop);
    });
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
