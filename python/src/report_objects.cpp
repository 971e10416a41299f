#include "report_objects.h"

#include <hdrmeter/settings.h>
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>

namespace py = pybind11;
using namespace hdrmeter::clip;

namespace hdrmeter_python {

namespace {

// The only marker a ClipResult instance needs: its values live in its __dict__, set once when built.
struct ClipResult {};

template <typename Value, typename Record, typename Read>
py::array_t<Value> columnArray(const std::vector<Record>& records, Read read)
{
    py::array_t<Value> array(static_cast<py::ssize_t>(records.size()));
    Value* out = array.mutable_data();
    for (std::size_t i = 0; i < records.size(); ++i)
        out[i] = static_cast<Value>(read(records[i]));
    return array;
}

py::dict frameColumnsOf(const Report& report)
{
    py::dict columns;
    for (const FrameColumn* column : columnsOf(report.request)) {
        if (column->text) {
            // Text as numpy holds it: fixed-width unicode, "" where the stream gives no frame rate.
            py::list texts;
            for (const FrameRecord& record : report.frames)
                texts.append(py::str(column->text(record, report.stream.frameRate)));
            columns[column->name] = py::module_::import("numpy").attr("array")(texts, "str");
            continue;
        }
        const auto read = [column](const FrameRecord& record) { return column->value(record); };
        if (column->integral)
            columns[column->name] = columnArray<std::int64_t>(report.frames, read);
        else
            columns[column->name] = columnArray<double>(report.frames, read);
    }
    return columns;
}

py::dict sceneColumnsOf(const Report& report)
{
    const std::vector<SceneResult>& scenes = report.scenes;
    py::dict columns;
    columns["first_frame"] = columnArray<std::int64_t>(scenes, [](const SceneResult& s) { return s.firstFrame; });
    columns["frame_count"] = columnArray<std::int64_t>(scenes, [](const SceneResult& s) { return s.frameCount; });
    columns["mean_average_light_nits"] =
        columnArray<double>(scenes, [](const SceneResult& s) { return s.meanAverageLightNits; });
    columns["max_cll_nits"] = columnArray<double>(scenes, [](const SceneResult& s) { return s.maxCllNits; });
    columns["max_fall_nits"] = columnArray<double>(scenes, [](const SceneResult& s) { return s.maxFallNits; });
    columns["smallest_pq_light"] = columnArray<double>(scenes, [](const SceneResult& s) { return s.smallestPqLight; });
    columns["largest_pq_light"] = columnArray<double>(scenes, [](const SceneResult& s) { return s.largestPqLight; });
    columns["mean_of_mean_pq_light"] =
        columnArray<double>(scenes, [](const SceneResult& s) { return s.meanOfMeanPqLight; });
    // Each scene's own content as offsets from each edge, like active_area.
    columns["area_left"] = columnArray<std::int64_t>(scenes, [](const SceneResult& s) { return s.area.left; });
    columns["area_top"] = columnArray<std::int64_t>(scenes, [](const SceneResult& s) { return s.area.top; });
    columns["area_right"] = columnArray<std::int64_t>(scenes, [](const SceneResult& s) { return s.area.right; });
    columns["area_bottom"] = columnArray<std::int64_t>(scenes, [](const SceneResult& s) { return s.area.bottom; });
    return columns;
}

template <typename T>
py::object valueOrNone(const std::optional<T>& value)
{
    return value ? py::cast(*value) : py::none();
}

py::object streamMetadataOf(const StaticMetadata& stated)
{
    if (!stated.mastering && !stated.lightLevel)
        return py::none();
    py::dict metadata;
    metadata["mastering_display"] = py::none();
    if (stated.mastering) {
        const MasteringDisplay& display = *stated.mastering;
        py::object primaries = py::none();
        if (display.primaries) {
            const std::array<double, 6>& p = *display.primaries;
            py::dict named;
            named["red"] = py::make_tuple(p[0], p[1]);
            named["green"] = py::make_tuple(p[2], p[3]);
            named["blue"] = py::make_tuple(p[4], p[5]);
            primaries = named;
        }
        py::dict mastering;
        mastering["primaries"] = primaries;
        mastering["white_point"] = display.whitePoint ? py::object(py::make_tuple((*display.whitePoint)[0],
                                                                                  (*display.whitePoint)[1]))
                                                      : py::none();
        mastering["min_nits"] = valueOrNone(display.minNits);
        mastering["max_nits"] = valueOrNone(display.maxNits);
        metadata["mastering_display"] = mastering;
    }
    metadata["content_light_level"] = py::none();
    if (stated.lightLevel) {
        py::dict level;
        level["max_cll"] = stated.lightLevel->maxCllNits;
        level["max_fall"] = stated.lightLevel->maxFallNits;
        metadata["content_light_level"] = level;
    }
    // The dict is moved into the returned object in one spelling that g++ 12 and 14 both take without a
    // warning (14 calls a bare std::move of the returned local redundant).
    return py::object(std::move(metadata));
}

const char* endingName(Ending ending)
{
    switch (ending) {
    case Ending::Complete:
        return "complete";
    case Ending::Stopped:
        return "stopped";
    case Ending::Failed:
        break;
    }
    return "failed";
}

std::string resultRepr(const py::object& result)
{
    char text[160];
    std::snprintf(text, sizeof text, "ClipResult(frames=%lld, max_cll=%lld, max_fall=%lld, ending='%s')",
                  result.attr("frames").cast<long long>(), result.attr("max_cll").cast<long long>(),
                  result.attr("max_fall").cast<long long>(), result.attr("ending").cast<std::string>().c_str());
    return text;
}

const char* const kClipResultDoc = R"(What hdrmeter.measure found in a clip.

frames: frames measured. max_cll, max_fall: the clip's MaxCLL and MaxFALL in whole nits (0
without frames); max_cll_nits, max_fall_nits unrounded; max_cll_frame, max_fall_frame: the
first frame reaching each (None without frames). max_cll_trace: dict of frame, x, y (the
first pixel at MaxCLL), pixels, most_pixels_in_a_frame; robust_peaks: dict of max_cll_nits,
max_fall_nits, max_cll, max_fall (each None without frames). verification: with verify=True,
dict of passed, checks (dicts of check, outcome, line and figures), stated_hdr10plus_scene_starts,
hdr10plus_offset_frames; else None.
active_area: dict of left, top, right, bottom (pixels left out at each edge), width, height.
scenes: the scenes' first frames. scene_columns: dict of numpy arrays, one entry a scene:
first_frame, frame_count (int64), mean_average_light_nits, smallest_pq_light,
largest_pq_light, mean_of_mean_pq_light (float64; PQ signal 0..1), area_left, area_top,
area_right, area_bottom (int64: the scene's own content, as active_area's offsets).
columns: dict of numpy arrays, one entry a frame, named as the CSV header: int64 for whole
numbers (frame, scene, luma checks), float64 for measured values.
colour_model ("ycbcr", "rgb"), bit_depth (of the codes measured: 16 for floats), float_samples;
transfer ("pq", "hlg"), matrix ("bt2020", "bt709"), coefficients ("exact", "class"): as measured.
stream_metadata: the mastering display and content light level the stream states, or None.
dolby_vision: what the stream's Dolby Vision RPUs state (FFmpeg 7 or later), or None: configuration
(profile, level, compatibility_id, or None), cm_version ("4.0", "2.9"), frames, stated_shot_starts.
warnings: every line warned of during the run (also issued as RuntimeWarning).
ending: "complete", "stopped" (KeyboardInterrupt) or "failed"; failure: its reason or None;
failed_at_frame: where, or None. output_failures: files that could not be written whole.
result["frames"] reads the same values as result.frames.)";

py::list messageList(const std::vector<std::string>& lines)
{
    py::list list;
    for (const std::string& line : lines)
        list.append(messageText(line));
    return list;
}

}  // namespace

std::string pythonSpelling(const std::string& message)
{
    return spelled(message, [](const std::string& name, const std::string* value) {
        const Setting* setting = findSetting(name);
        if (name == "input" && value)
            return "path=" + *value;
        if (value)
            return name + "=" + *value;
        if (setting && setting->kind == SettingKind::Flag)
            return name + (settingText(Request{}, *setting) == "true" ? "=False" : "=True");
        return name;
    });
}

py::str messageText(const std::string& message)
{
    const std::string text = pythonSpelling(message);
    PyObject* decoded = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (!decoded)
        throw py::error_already_set();
    return py::reinterpret_steal<py::str>(decoded);
}

void bindClipResult(py::module_& module)
{
    py::class_<ClipResult>(module, "ClipResult", kClipResultDoc, py::dynamic_attr())
        .def("__getitem__",
             [](const py::object& self, const std::string& name) -> py::object {
                 const py::dict values = self.attr("__dict__");
                 if (!values.contains(name))
                     throw py::key_error(name);
                 return values[name.c_str()];
             })
        .def("__repr__", &resultRepr)
        // Plain values and numpy arrays, all of which pickle: a result can come back from another process.
        .def(py::pickle([](const py::object& self) { return py::make_tuple(self.attr("__dict__")); },
                        [](const py::tuple& state) {
                            if (state.size() != 1 || !py::isinstance<py::dict>(state[0]))
                                throw py::value_error("not the state of a pickled ClipResult");
                            return std::make_pair(ClipResult{}, state[0].cast<py::dict>());
                        }));
}

py::object clipResultOf(const Report& report, const std::vector<std::string>& warnings)
{
    const MeasurementSummary& summary = report.summary;
    const bool measured = summary.framesMeasured() > 0;
    py::object result = py::cast(ClipResult{});
    const auto set = [&result](const char* name, py::object value) { py::setattr(result, name, value); };

    set("frames", py::int_(summary.framesMeasured()));
    set("max_cll", py::int_(hdrmeter::clip::wholeNits(summary.maxCll().value())));
    set("max_fall", py::int_(hdrmeter::clip::wholeNits(summary.maxFall().value())));
    set("max_cll_nits", py::float_(summary.maxCll().value()));
    set("max_fall_nits", py::float_(summary.maxFall().value()));
    set("max_cll_frame", measured ? py::object(py::int_(summary.maxCll().firstFrames().front())) : py::none());
    set("max_fall_frame", measured ? py::object(py::int_(summary.maxFall().firstFrames().front())) : py::none());

    py::object trace = py::none();
    if (report.maxCllTrace) {
        py::dict traced;
        traced["frame"] = report.maxCllTrace->frame;
        traced["x"] = report.maxCllTrace->x;
        traced["y"] = report.maxCllTrace->y;
        traced["pixels"] = report.maxCllTrace->pixels;
        traced["most_pixels_in_a_frame"] = report.maxCllTrace->mostPixels;
        trace = traced;
    }
    set("max_cll_trace", trace);
    py::object robust = py::none();
    if (report.robustPeaks) {
        py::dict peaks;
        peaks["max_cll_nits"] = report.robustPeaks->maxCllNits;
        peaks["max_fall_nits"] = report.robustPeaks->maxFallNits;
        peaks["max_cll"] = hdrmeter::clip::wholeNits(report.robustPeaks->maxCllNits);
        peaks["max_fall"] = hdrmeter::clip::wholeNits(report.robustPeaks->maxFallNits);
        robust = peaks;
    }
    set("robust_peaks", robust);
    py::object verification = py::none();
    if (report.verification) {
        py::dict verified;
        verified["passed"] = !report.verification->failed();
        py::list checks;
        for (const hdrmeter::clip::VerifyCheck& check : report.verification->checks) {
            py::dict entry;
            entry["check"] = check.name;
            entry["outcome"] = check.outcome == hdrmeter::clip::CheckOutcome::Pass   ? "pass"
                               : check.outcome == hdrmeter::clip::CheckOutcome::Warn ? "warn"
                                                                                     : "fail";
            entry["line"] = messageText(check.line);
            for (const auto& [name, value] : check.figures)
                entry[name.c_str()] = value;
            checks.append(entry);
        }
        verified["checks"] = checks;
        verified["stated_hdr10plus_scene_starts"] = py::cast(report.verification->statedSceneStarts);
        verified["hdr10plus_offset_frames"] = valueOrNone(report.verification->alignmentOffset);
        verification = verified;
    }
    set("verification", verification);
    py::object dolbyVision = py::none();
    if (const std::optional<hdrmeter::clip::DolbyVisionStatement>& dovi = report.dolbyVision) {
        py::dict stated;
        py::object configuration = py::none();
        if (dovi->configuration) {
            py::dict record;
            record["profile"] = dovi->configuration->profile;
            record["level"] = dovi->configuration->level;
            record["compatibility_id"] = dovi->configuration->compatibilityId;
            configuration = record;
        }
        stated["configuration"] = configuration;
        stated["cm_version"] = dovi->cmVersion;
        stated["frames"] = dovi->frames;
        stated["stated_shot_starts"] = py::cast(dovi->shotStarts);
        dolbyVision = stated;
    }
    set("dolby_vision", dolbyVision);

    const StreamFacts& stream = report.stream;
    const hdrmeter::ActiveArea& area = report.area;
    py::dict activeArea;
    activeArea["left"] = area.left;
    activeArea["top"] = area.top;
    activeArea["right"] = area.right;
    activeArea["bottom"] = area.bottom;
    activeArea["width"] = stream.width > 0 ? stream.width - area.left - area.right : 0;
    activeArea["height"] = stream.height > 0 ? stream.height - area.top - area.bottom : 0;
    set("active_area", activeArea);

    py::list scenes;
    for (const SceneResult& scene : report.scenes)
        scenes.append(scene.firstFrame);
    set("scenes", scenes);
    set("scene_columns", sceneColumnsOf(report));
    set("columns", frameColumnsOf(report));

    set("colour_model", py::str(stream.model == hdrmeter::ColourModel::Rgb ? "rgb" : "ycbcr"));
    set("bit_depth", py::int_(stream.bitDepth));
    set("float_samples", py::bool_(stream.floatSamples));
    set("transfer", py::str(stream.colour.transfer == hdrmeter::Transfer::Hlg ? "hlg" : "pq"));
    set("matrix", py::str(stream.colour.matrix == hdrmeter::Matrix::Bt709 ? "bt709" : "bt2020"));
    set("coefficients", py::str(stream.arithmetic.name()));
    set("stream_metadata", streamMetadataOf(report.metadata));

    set("warnings", messageList(warnings));
    set("ending", py::str(endingName(report.ending)));
    set("failure", report.ending == Ending::Failed ? py::object(messageText(report.failure)) : py::none());
    set("failed_at_frame", valueOrNone(report.failedAtFrame));
    set("output_failures", messageList(report.outputFailures));
    set("damaged_frames", py::cast(report.damagedFrames));
    set("missing_frames", py::cast(report.missingFrames));
    return result;
}

}  // namespace hdrmeter_python
