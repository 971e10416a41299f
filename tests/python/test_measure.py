import copy
import ctypes
import json
import pickle
import os
import pathlib
import shutil
import signal
import subprocess
import warnings

import numpy as np
import pytest

import hdrmeter

pytestmark = pytest.mark.skipif(not hasattr(hdrmeter._hdrmeter, "_measure"), reason="built without the clip layer")

WIDTH, HEIGHT, FRAMES, CUT = 32, 18, 30, 15
RAW = {"size": f"{WIDTH}x{HEIGHT}", "pix_fmt": "yuv420p10le", "transfer": "pq"}
LEVELS = ("average_light_nits", "largest_light_nits", "above_threshold_percent", "top1_nits", "top2_nits", "bottom_nits")
WHOLE_NUMBERS = {"frame", "scene", "luma_min_code", "luma_max_code", "luma_low_count", "luma_high_count"}


@pytest.fixture(scope="module")
def clip(tmp_path_factory):
    """Raw 10-bit 4:2:0 frames of noise: dim ones, then from frame 15 bright ones."""
    rng = np.random.default_rng(7)
    frames = [[rng.integers(*((64, 300) if i < CUT else (500, 940)), (HEIGHT, WIDTH), dtype=np.uint16)] +
              [rng.integers(480, 544, (HEIGHT // 2, WIDTH // 2), dtype=np.uint16) for _ in range(2)] for i in range(FRAMES)]
    path = tmp_path_factory.mktemp("clip") / "clip.raw"
    path.write_bytes(b"".join(plane.astype("<u2").tobytes() for frame in frames for plane in frame))
    return path, frames


def test_measure_gives_the_csvs_columns_scenes_and_exports(clip, tmp_path):
    path, frames = clip
    plus, dovi, csv, madvr = tmp_path / "plus.json", tmp_path / "dovi.json", tmp_path / "frames.csv", tmp_path / "m.bin"
    result = hdrmeter.measure(path, **RAW, min_scene_length=5, hdr10plus=plus, dovi_config=str(dovi), csv=csv, madvr=madvr,
                              mastering_display=("bt709", 4000, 0.005), checks=True, percentiles=np.False_,
                              robust_peaks=True, robust_frame_percentile=99.5, robust_clip_percentile=50)
    assert (result.frames, result["frames"], result.scenes, result.ending, result.failure) == (FRAMES, FRAMES, [0, CUT],
                                                                                                "complete", None)
    assert result.active_area == {"left": 0, "top": 0, "right": 0, "bottom": 0, "width": WIDTH, "height": HEIGHT}
    # The arrays are the CSV's columns, named and valued alike, whole numbers as int64.
    header = csv.read_text().split("\n", 1)[0].split(",")
    assert list(result.columns) == header and "top1_nits" not in header and "luma_max_code" in header
    # Raw frames have no rate, so no timecode: the text column, last, is empty in both.
    assert header[-1] == "timecode" and list(result.columns["timecode"]) == [""] * FRAMES
    written = np.loadtxt(csv, delimiter=",", skiprows=1, usecols=range(len(header) - 1))
    for i, name in enumerate(header[:-1]):
        assert result.columns[name].dtype == (np.int64 if name in WHOLE_NUMBERS else np.float64), name
        assert np.array_equal(result.columns[name], written[:, i]), name
    assert list(result.columns["scene"]) == [int(i >= CUT) for i in range(FRAMES)]
    fall = result.columns["average_light_nits"]
    assert (result.max_fall_nits, result.max_fall_frame) == (fall.max(), fall.argmax())
    assert result.max_fall == int(np.floor(fall.max() + 0.5))  # whole nits, halves up
    assert list(result.scene_columns["frame_count"]) == [CUT, FRAMES - CUT]
    scenes = [fall[:CUT], fall[CUT:]]
    assert list(result.scene_columns["max_fall_nits"]) == [scene.max() for scene in scenes]
    light = result.columns["largest_light_nits"]
    assert list(result.scene_columns["max_cll_nits"]) == [light[:CUT].max(), light[CUT:].max()]
    assert [list(result.scene_columns["area_" + edge]) for edge in ("left", "top", "right", "bottom")] == [[0, 0]] * 4
    assert json.loads(plus.read_text())["SceneInfoSummary"]["SceneFrameNumbers"] == [CUT, FRAMES - CUT]
    config = json.loads(dovi.read_text())
    level6 = config["level6"]
    assert (level6["max_display_mastering_luminance"], level6["min_display_mastering_luminance"]) == (4000, 50)
    header = np.frombuffer(madvr.read_bytes(), "<u4", 14, 4)  # version .. average FALL, then the scene arrays
    assert madvr.read_bytes()[:4] == b"mvr+" and len(madvr.read_bytes()) == 4 + 32 + 12 * 2 + 576 * FRAMES
    cll, whole = result.columns["largest_light_nits"], lambda nits: int(np.floor(nits + 0.5))
    # The metadata carry the robust peaks: the median frame's average light, and of its 99.5th percentile.
    robust = result.robust_peaks
    assert robust["max_fall_nits"] == np.sort(fall)[(FRAMES - 1) // 2] and robust["max_cll"] < result.max_cll
    assert (level6["max_content_light_level"], level6["max_frame_average_light_level"]) == (robust["max_cll"],
                                                                                          robust["max_fall"])
    assert result.max_cll_trace["frame"] == result.max_cll_frame and result.max_cll_trace["pixels"] >= 1
    assert list(header) == [5, 32, 2, FRAMES, 2, robust["max_cll"], robust["max_fall"], whole(fall.mean()), 0, CUT, CUT, FRAMES,
                            whole(cll[:CUT].max()), whole(cll[CUT:].max())]
    assert (config["source_min_pq"], config["source_max_pq"]) == (62, 3696)
    assert config["default_metadata_blocks"] == [{"Level9": {"length": 1, "source_primary_index": 1}}]
    # A CM v2.9 config: the same shots, without the CM v4.0 Level 9.
    hdrmeter.measure(path, **RAW, min_scene_length=5, dovi_config=dovi, dovi_cm_version="2.9", robust_peaks=True,
                     mastering_display=("bt709", 4000, 0.005), robust_frame_percentile=99.5, robust_clip_percentile=50)
    older = json.loads(dovi.read_text())
    assert (config["cm_version"], older["cm_version"], older["default_metadata_blocks"]) == ("V40", "V29", [])
    assert {k: v for k, v in older.items() if k not in ("cm_version", "default_metadata_blocks")} == \
        {k: v for k, v in config.items() if k not in ("cm_version", "default_metadata_blocks")}
    assert hdrmeter.measure(path, **RAW, scene_cuts=iter([10])).scenes == [0, 10]
    # Raw video states nothing: nothing to check, and the stated columns are NaN.
    verified = hdrmeter.measure(path, **RAW, verify=True, frames=3)
    assert (verified.verification["passed"], verified.verification["checks"]) == (True, [])
    assert np.isnan(verified.columns["stated_average_rgb_nits"]).all() and result.verification is None


# analyze_frame must give what the clip layer gives for the same frames and settings, to the bit.
@pytest.mark.parametrize("options, frame_options", [
    ({}, {}),
    ({"transfer": "hlg", "matrix": "bt709"}, {"transfer": "hlg", "matrix": "bt709"}),
    ({"class_parity": True, "tasks": 3}, {"class_parity": True, "tasks": 3}),
    ({"threshold": 50, "top1": 29, "top2": 0.5, "bottom": 3}, {"threshold_nits": 50, "top1": 29, "top2": 0.5, "bottom": 3}),
    ({"pix_fmt": "yuv420p12le"}, {"bit_depth": 12}),
])
def test_analyze_frame_measures_as_measure_does(clip, tmp_path, options, frame_options):
    path, frames = clip
    if "bit_depth" in frame_options:
        frames = [[plane * 4 + 3 for plane in frame] for frame in frames]
        path = tmp_path / "clip12.raw"
        path.write_bytes(b"".join(plane.astype("<u2").tobytes() for frame in frames for plane in frame))
    columns = hdrmeter.measure(path, **{**RAW, **options}).columns
    for i, planes in enumerate(frames):
        expected = hdrmeter.analyze_frame(*planes, **frame_options)
        assert [columns[name][i] for name in LEVELS] == [getattr(expected, name) for name in LEVELS], i


@pytest.mark.parametrize("options, error, words", [
    ({"frames": 0}, ValueError, "^frames=0: "), ({"active_area": (1, 2)}, ValueError, "^active_area=1,2: .*LEFT,TOP,RIGHT,BOTTOM"),
    ({"scene_cuts": [5, 3]}, ValueError, "increasing order"), ({"pix_fmt": "yuv420p"}, ValueError, "8-bit"),
    ({"tasks": 4096}, ValueError, "^tasks=4096: .* 256"), ({"bars_tolerance": 129}, ValueError, "^bars_tolerance=129: .* 128"), ({"robust_clip_percentile": 101}, ValueError, "^robust_clip_"),
    ({"verify_pq_codes": 2000}, ValueError, "^verify_pq_codes=2000: "), ({"colour": "red"}, TypeError, "'colour'"),
    ({"dovi_cm_version": "3.0"}, ValueError, "^dovi_cm_version=3.0: expected 2.9 or 4.0"),
    ({"checks": "no"}, TypeError, "'checks' must be True or False, not str"), ({"top1": "1"}, TypeError, "'top1'"),
    ({"path": "missing.raw"}, FileNotFoundError, "cannot open missing.raw"),
    ({"csv": "no-such-folder/light.csv"}, FileNotFoundError, "cannot create no-such-folder/light.csv"),
    # Refused to root as well: procfs keeps a write-only file's missing read bit, sysfs takes no new files.
    ({"path": "/proc/sys/vm/drop_caches"}, PermissionError, "cannot open /proc/sys/vm/drop_caches: Permission denied"),
    ({"csv": "/sys/light.csv"}, PermissionError, "cannot create a file in /sys for /sys/light.csv: Permission denied"),
    ({"csv": os.path.join(__file__, "light.csv")}, NotADirectoryError, "light.csv: Not a directory"),
    ({"csv": os.path.dirname(__file__)}, IsADirectoryError, "it is a folder"),
    ({"start": 1}, ValueError, "^size has no presentation times to cut: give start and end"),
    ({"mastering_display": ("p3", 1000, 0.01)}, ValueError, "^mastering_display=p3,1000,0.01: .*p3-d65"),
    ({"mastering_display": (0.7, 0.3, 0.2, 0.7, 0.1, 1.5, 0.3, 0.33)}, ValueError, "from 0 to 1"),
])
def test_bad_options_and_files_raise_with_their_reason(clip, options, error, words):
    with pytest.raises(error, match=words) as raised:
        hdrmeter.measure(**{"path": clip[0], **RAW, **options})
    if issubclass(error, OSError):
        assert raised.value.filename == options.get("path", options.get("csv"))
        assert raised.value.errno is not None


@pytest.mark.skipif(shutil.which("ffmpeg") is None, reason="ffmpeg makes the clip with presentation times")
def test_segments_merged_give_the_whole_runs_files_and_a_gap_raises(clip, tmp_path):
    mkv = tmp_path / "clip.mkv"
    subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-f", "rawvideo", "-pix_fmt", "yuv420p10le", "-s",
                    RAW["size"], "-r", "10", "-i", str(clip[0]), "-c:v", "ffv1", "-vf", "setparams=color_trc=smpte2084", str(mkv)],
                   check=True)
    whole = hdrmeter.measure(mkv, min_scene_length=5, csv=tmp_path / "whole.csv")
    bounds = [(0, 1.3), (1.3, 2.0), (2.0, 10)]  # frame 13 starts the second, the cut at 15 is inside it
    parts = [tmp_path / f"part{i}.hmp" for i in range(3)]
    assert [hdrmeter.measure(mkv, min_scene_length=5, start=a, end=b, partial=part).frames
            for (a, b), part in zip(bounds, parts)] == [13, 7, 10]
    merged = hdrmeter.merge(*reversed(parts), csv=tmp_path / "merged.csv")
    assert (merged.frames, merged.scenes) == (whole.frames, whole.scenes) == (FRAMES, [0, CUT])
    assert (tmp_path / "merged.csv").read_bytes() == (tmp_path / "whole.csv").read_bytes()
    assert hdrmeter.merge(parts).scenes == merged.scenes
    with pytest.raises(ValueError, match="the segment from 1.3 s to 2 s is missing"):
        hdrmeter.merge(parts[0], parts[2])
    with pytest.raises(FileNotFoundError) as missing:
        hdrmeter.merge([parts[0], tmp_path / "none.hmp"])
    assert missing.value.filename == str(tmp_path / "none.hmp")
    kept = parts[0].read_bytes()
    with pytest.raises(ValueError, match="is a folder, not a partial result"):
        hdrmeter.merge(str(tmp_path))
    with pytest.raises(ValueError, match="a part being merged"):
        hdrmeter.merge(*parts, csv=str(parts[0]))
    assert parts[0].read_bytes() == kept


def test_a_cut_file_raises_keeps_what_was_measured_warns_in_python_and_lets_go_of_the_gil(clip, tmp_path, capfd,
                                                                                         releases_gil):
    cut = tmp_path / "cut.raw"
    cut.write_bytes(clip[0].read_bytes()[:-100])
    with pytest.warns(RuntimeWarning, match="FFmpeg rawvideo: Packet corrupt"):
        with pytest.raises(RuntimeError, match=r"ends inside frame 29: only \d+ of its \d+ bytes arrived") as raised:
            hdrmeter.measure(cut, **RAW)
    result = raised.value.result
    assert (result.frames, len(result.columns["frame"]), result.failed_at_frame) == (FRAMES - 1,) * 3
    assert result.ending == "failed"
    assert "Packet corrupt" not in capfd.readouterr().err
    assert releases_gil(lambda: hdrmeter.measure(clip[0], **RAW))


def sigbus_handler_address():
    """The SIGBUS handler the kernel calls: signal.getsignal only knows the handlers Python installed."""
    action = ctypes.create_string_buffer(512)  # struct sigaction, whose first member is the handler
    assert ctypes.CDLL(None, use_errno=True).sigaction(signal.SIGBUS, None, action) == 0
    return ctypes.c_void_p.from_buffer(action).value


# Taken before any test measures: a handler installed for good by the first clip would be there since.
SIGBUS_HANDLERS = signal.getsignal(signal.SIGBUS), sigbus_handler_address()


def test_a_y4m_file_is_measured_as_its_raw_frames_leaving_the_signal_handlers_alone(clip, tmp_path):
    path, frames = clip
    y4m = tmp_path / "clip.y4m"
    planes = (b"".join(plane.astype("<u2").tobytes() for plane in frame) for frame in frames)
    y4m.write_bytes(f"YUV4MPEG2 W{WIDTH} H{HEIGHT} F25:1 C420p10\n".encode() + b"".join(b"FRAME\n" + p for p in planes))
    from_y4m = hdrmeter.measure(y4m, transfer="pq")
    assert (signal.getsignal(signal.SIGBUS), sigbus_handler_address()) == SIGBUS_HANDLERS
    from_raw = hdrmeter.measure(clip[0], **RAW)
    assert list(from_y4m.columns) == list(from_raw.columns)
    assert all(np.array_equal(from_y4m.columns[name], from_raw.columns[name]) for name in from_raw.columns
               if name != "timecode")
    # The y4m states 25 frames a second; the raw frames state none.
    assert list(from_y4m.columns["timecode"][[0, 1, 26]]) == ["00:00:00.000", "00:00:00.040", "00:00:01.040"]
    # The same bytes read as 12-bit R'G'B' planes: half as many frames, measured as R'G'B'.
    rgb = hdrmeter.measure(clip[0], **{**RAW, "pix_fmt": "gbrp12le"})
    assert (rgb.frames, rgb.colour_model, rgb.bit_depth, rgb.float_samples) == (FRAMES // 2, "rgb", 12, False)
    assert (from_raw.colour_model, from_raw.bit_depth) == ("ycbcr", 10)


def _same(a, b):
    if isinstance(a, np.ndarray):
        return a.dtype == b.dtype and np.array_equal(a, b)
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(_same(a[k], b[k]) for k in a)
    return a == b


# progress= hears of every frame; False stops the run and keeps what was measured, an exception stops it
# and rides out with the result. The result pickles and copies whole.
def test_progress_stops_the_run_and_results_pickle_and_copy():
    calls = []
    stopped = hdrmeter.measure(demo=True, active_area="full", progress=lambda *call: calls.append(call) or call[1] < 30)
    assert (stopped.ending, stopped.frames, len(stopped.columns["frame"])) == ("stopped", 30, 30)
    assert calls == [(1, done, 120) for done in range(1, 31)]
    for same in (pickle.loads(pickle.dumps(stopped)), copy.copy(stopped), copy.deepcopy(stopped)):
        assert _same(vars(same), vars(stopped))
    with pytest.raises(ZeroDivisionError) as raised:
        hdrmeter.measure(demo=True, active_area="full", progress=lambda *call: 1 / 0)
    assert raised.value.result.frames == 1
    with pytest.raises(TypeError, match="progress=3"):
        hdrmeter.measure(demo=True, progress=3)


@pytest.mark.skipif(shutil.which("ffmpeg") is None, reason="needs ffmpeg")
@pytest.mark.parametrize("depth", [10, 12])
@pytest.mark.parametrize("layout", ["420", "422", "444"])
@pytest.mark.parametrize("full", [False, True])
@pytest.mark.parametrize("matrix", ["bt2020nc", "bt709"])
def test_exact_maxcll_and_maxfall_are_the_definitions_in_double_precision(tmp_path, depth, layout, full, matrix):
    """Lossless clips of every layout, depth, range and matrix: MaxCLL and MaxFALL within 0.02 % of each
    pixel's light computed in float64 from the same samples (R'G'B' from the ITU-R matrix, unrounded,
    clipped to 0..1, through the ST 2084 EOTF; the largest channel)."""
    width, height, frames = 48, 32, 3
    sx, sy = (1, 1) if layout == "420" else (1, 0) if layout == "422" else (0, 0)
    u, last = 1 << (depth - 10), (1 << depth) - 1
    black, luma_range, chroma_range = (0, last, last) if full else (64 * u, 876 * u, 896 * u)
    neutral = 1 << (depth - 1)
    rng = np.random.default_rng(depth * 1000 + int(layout) + full * 7 + len(matrix))
    clips = []
    # Flat patches of 12x8 pixels, none reaching peak white: a patch's light carries its rounding whole,
    # where noise would average it away.
    patches = lambda low, high, shape: np.kron(rng.uniform(low, high, (4, 4)), np.ones(shape))
    for _ in range(frames):
        y = (black + luma_range * patches(0.3, 0.7, (8, 12))).astype(np.uint16)
        c = [(neutral + chroma_range * patches(-0.15, 0.15, (8 >> sy, 12 >> sx))).astype(np.uint16) for _ in range(2)]
        clips.append([y] + c)
    raw = tmp_path / "clip.raw"
    raw.write_bytes(b"".join(p.astype("<u2").tobytes() for f in clips for p in f))
    mkv = tmp_path / "clip.mkv"
    primaries = "bt2020" if matrix == "bt2020nc" else "bt709"
    subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-f", "rawvideo", "-pix_fmt", f"yuv{layout}p{depth}le",
                    "-s", f"{width}x{height}", "-i", str(raw), "-vf",
                    f"setparams=range={'pc' if full else 'tv'}:color_trc=smpte2084:colorspace={matrix}:color_primaries={primaries}",
                    # ffmpeg 7.1 keeps the range only as an output option; 5.1 takes both.
                    "-color_range", "pc" if full else "tv", "-c:v", "ffv1", str(mkv)], check=True)

    kr, kb = (0.2627, 0.0593) if matrix == "bt2020nc" else (0.2126, 0.0722)
    kg = 1 - kr - kb
    luma_top, chroma_low, chroma_top = (last, 0, last) if full else (940 * u, 64 * u, 960 * u)
    m1, m2, c1, c2, c3 = 2610 / 16384, 2523 / 4096 * 128, 3424 / 4096, 2413 / 128, 2392 / 128

    def pq(signal):
        e = np.clip(signal, 0.0, 1.0) ** (1 / m2)
        return 10000 * (np.maximum(e - c1, 0) / (c2 - c3 * e)) ** (1 / m1)

    cll = fall = 0.0
    for y, cb, cr in clips:
        luma = (np.clip(y, black, luma_top).astype(np.float64) - black) / luma_range
        cb, cr = ((np.clip(p, chroma_low, chroma_top).astype(np.float64) - neutral) / chroma_range for p in (cb, cr))
        cb, cr = (np.repeat(np.repeat(p, 1 << sy, axis=0), 1 << sx, axis=1) for p in (cb, cr))
        light = np.maximum.reduce([pq(luma + 2 * (1 - kr) * cr), pq(luma - (2 * kb * (1 - kb) * cb + 2 * kr * (1 - kr) * cr) / kg),
                                   pq(luma + 2 * (1 - kb) * cb)])
        cll, fall = max(cll, light.max()), max(fall, light.mean())
    result = hdrmeter.measure(str(mkv))
    assert (result.colour_model, result.bit_depth, result.float_samples) == ("ycbcr", depth, False)
    assert result.max_cll_nits == pytest.approx(cll, rel=2e-4)
    assert result.max_fall_nits == pytest.approx(fall, rel=2e-4)


def test_dolby_vision_is_read_into_the_columns_and_the_result_or_named_unreadable():
    stream = pathlib.Path(os.environ.get("HDRMETER_TEST_MEDIA", "")) / "dolby-vision" / "dv81_true.mkv"
    if not stream.is_file():
        pytest.skip(f"the Dolby Vision test streams are not at {stream.parent}")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = hdrmeter.measure(stream, verify=True)
    unread = [str(w.message) for w in caught if "Dolby Vision" in str(w.message)]
    if result.dolby_vision is None:
        assert len(unread) == 1 and "needs FFmpeg 7.0 or later" in unread[0], unread
        assert np.isnan(result.columns["stated_dovi_max_pq"]).all()
        pytest.skip("this FFmpeg cannot read Dolby Vision metadata")
    assert unread == []
    assert result.dolby_vision == {"configuration": {"profile": 8, "level": 1, "compatibility_id": 1},
                                   "cm_version": "4.0", "frames": 36, "stated_shot_starts": [0, 12, 24]}
    shot = np.repeat([0, 1, 2], 12)
    assert (result.columns["stated_dovi_max_pq"] == np.array([3819, 3099, 3053])[shot]).all()
    assert (result.columns["stated_dovi_top_offset"] == np.array([0, 0, 44])[shot]).all()
    assert result.verification["passed"]
