"""hdrmeter: bit-exact light measurements of HDR frames held in numpy arrays, and of whole clips.

    stats = hdrmeter.analyze_frame(y, cb, cr, bit_depth=10)
    stats.largest_light_nits, stats.average_light_nits   # the frame's CLL and FALL

    clip = hdrmeter.measure("movie.mkv", hdr10plus="movie.hdr10plus.json")
    clip["max_cll"], clip["max_fall"], clip["scenes"], clip["frame_records"][0]["average_light_nits"]
"""
import os

from ._hdrmeter import FrameStatistics, __version__, analyze_frame

__all__ = ["FrameStatistics", "analyze_frame", "measure", "__version__"]

# The command-line tool's options, in Python form: --active-area is active_area=.
_FLAGS = {"class_parity", "checks", "no_percentiles"}
_VALUES = {"active_area", "scene_threshold", "min_scene_length", "transfer", "matrix", "threshold", "top1",
           "top2", "bottom", "tasks", "frames", "stream", "size", "pix_fmt", "summary_json", "hdr10plus",
           "dovi_config", "mastering_display"}


def measure(path, **options):
    """Measures a video file (or "-", standard input) as the hdrmeter tool does.

    Options are the tool's, with underscores: active_area="auto" | "full" | (left, top, right, bottom),
    scene_threshold=0.3, min_scene_length=12, scene_cuts=FILE or a list of first frames, class_parity=True,
    frames=N, transfer="pq" | "hlg", matrix=, threshold=, top1=, top2=, bottom=, tasks=, stream=,
    size="WxH" with pix_fmt= for raw video, checks=True, mastering_display=(max_nits, min_nits), and the
    files summary_json=, hdr10plus= and dovi_config=.

    Returns the --summary-json keys and "frame_records", one dict a frame under the CSV column names.
    Bad options raise ValueError (unknown ones TypeError); input that cannot be measured raises
    RuntimeError, whose .result holds what was measured before the trouble, if anything was.
    """
    from ._hdrmeter import _measure

    arguments, scene_cuts = [], None
    for name, value in options.items():
        option = "--" + name.replace("_", "-")
        if name in _FLAGS:
            if value:
                arguments.append(option)
        elif name == "scene_cuts" and value is not None and not isinstance(value, (str, bytes, os.PathLike)):
            scene_cuts = [int(frame) for frame in value]
        elif name in _VALUES or name == "scene_cuts":
            if value is None:
                continue
            if isinstance(value, (tuple, list)):
                value = ",".join(str(part) for part in value)
            arguments += [option, os.fsdecode(value) if isinstance(value, (bytes, os.PathLike)) else str(value)]
        else:
            raise TypeError(f"measure() got an unexpected keyword argument '{name}'")
    # After "--" a name that starts with a dash is still the input.
    arguments += ["--", os.fsdecode(path)]
    return _measure(arguments, scene_cuts)
