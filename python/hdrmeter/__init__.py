"""hdrmeter: bit-exact light measurements of HDR frames held in numpy arrays, and of whole clips.

    stats = hdrmeter.analyze_frame(y, cb, cr, bit_depth=10)
    stats.largest_light_nits, stats.average_light_nits   # the frame's CLL and FALL

    clip = hdrmeter.measure("movie.mkv", hdr10plus="movie.hdr10plus.json")
    clip.max_cll, clip.max_fall, clip.scenes                  # whole nits; the scenes' first frames
    clip.columns["average_light_nits"]                        # a numpy array, one value a frame
"""
import os

from ._hdrmeter import FrameStatistics, __version__, analyze_frame

__all__ = ["FrameStatistics", "analyze_frame", "measure", "merge", "__version__"]

try:
    from ._hdrmeter import ClipResult
    __all__.append("ClipResult")
except ImportError:  # built without the clip layer (FFmpeg): measure() says so when called
    pass


def measure(path=None, **options):
    """Measures a video file FFmpeg can read ("-" is standard input; demo=True needs no path).

    Keywords are the hdrmeter tool's options, with "_" for "-"; each left out (or None) keeps the
    library's default. demo=True, stream=N, size="WxH" with pix_fmt= for headerless video,
    transfer="pq" | "hlg", matrix="bt2020" | "bt709", threshold=nits, top1=, top2=, bottom=
    (percent), percentiles=False, checks=True (luma code checks),
    class_parity=True, tasks=N (0: one per core), frames=N (at most N), start=, end= (seconds after
    the first frame: only the frames shown from start and before end), accept_damaged=True (measure
    through frames the decoder flags as damaged and gaps in the stream's times instead of ending the
    run there: they are flagged and left out of every statistic), active_area="auto" |
    "full" | (left, top, right, bottom), bars_tolerance=N (10-bit codes), scene_threshold=,
    min_scene_length=, scene_cuts=FILE or an iterable of first frames, mastering_display=(max_nits,
    min_nits), primaries ("p3-d65", "bt2020", "bt709" or eight numbers: red, green, blue, white x, y)
    or both, such as
    ("p3-d65", 1000, 0.0001), dovi_cm_version="4.0" or "2.9" (the Dolby Vision config's content mapping
    version), robust_frame_percentile=, robust_clip_percentile= (percent),
    robust_peaks=True (metadata files carry the robust peaks), peak_pixels=N, verify=True (the stream's
    metadata against the picture), verify_margin=, verify_pq_codes=, verify_max_shift=, pretty=True (the HDR10+ JSON indented), and the files to write,
    each a str or os.PathLike: csv=, jsonl=, plot=, summary_json=, hdr10plus=, dovi_config=, madvr=, verify_json=,
    report=, av1an_scenes=, x265_qpfile=, ffmpeg_keyframes=.

    Returns a ClipResult: frames, max_cll, max_fall (whole nits), max_cll_nits, max_fall_nits,
    max_cll_frame, max_fall_frame, max_cll_trace, robust_peaks, verification, active_area, scenes, scene_columns, transfer, matrix,
    coefficients, stream_metadata, dolby_vision (what the stream's Dolby Vision states, FFmpeg 7.0 or later), warnings, ending, failure, failed_at_frame, output_failures,
    damaged_frames and missing_frames (with accept_damaged), and columns, a dict of numpy arrays (int64 or float64), one entry a frame, named as the CSV
    header. result["frames"] reads the same as result.frames.

    progress=callable: called as the run goes with the pass (1, or 2 for the automatic area's second
    pass), the frames done in it and the frames it will take (None when unknown); returning False
    stops the run there, and the result holds what was measured (ending "stopped"). An exception it
    raises stops the run too and is raised with .result.

    Results pickle and copy (so do analyze_frame's FrameStatistics), so that they can cross process
    boundaries, as multiprocessing.Pool.map needs.

    The GIL is released while measuring. The run's warnings and FFmpeg's own (which no longer
    reach standard error) are issued as RuntimeWarning once it is over, each run's own: lines about
    another run's input, on another thread, never reach it. An
    unknown keyword or a value of the wrong type (checks="no") raises TypeError; a value out of range ValueError with
    the reason. A missing input (or output folder) raises FileNotFoundError, one that may not be read
    (or written) PermissionError, and another input that cannot be opened RuntimeError; so does one that fails part
    way, or a file that cannot be written, and then its .result holds what was measured. Ctrl-C
    stops the run after the frame in hand, and the KeyboardInterrupt carries the same .result.
    """
    from ._hdrmeter import _measure

    return _measure(path, options)


def merge(*partials, **outputs):
    """Merges partial results of time segments (measure(..., start=, end=, partial=FILE) or hdrmeter
    FILE --start S --end E --partial FILE) into the whole file's ClipResult and files, byte for byte
    those one measure() over the whole file writes with the same settings.

    partials: the files, in any order (str or os.PathLike), as arguments or as one list. Keywords:
    progress= as for measure(), and the files to write, as for
    measure() (csv=, jsonl=, plot=, summary_json=, hdr10plus=, dovi_config=, madvr=), dovi_cm_version=, and
    remeasure=False to be told, instead of having it done, which segments to measure again inside the
    clip's automatic area. A part that cannot be read, is damaged, of another file or settings, or
    that leaves a gap or overlaps another raises ValueError naming it; otherwise as measure().
    """
    from ._hdrmeter import _merge

    # merge(paths) as well as merge(*paths): one argument that is not itself a path is the list.
    if len(partials) == 1 and not isinstance(partials[0], (str, bytes, os.PathLike)):
        partials = tuple(partials[0])
    return _merge(list(partials), outputs)
