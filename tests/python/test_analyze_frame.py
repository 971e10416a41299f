import copy
import math
import multiprocessing
import pickle
import sys
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import hdrmeter


def planes(shape, y, cb, cr):
    chroma_shape = ((shape[0] + 1) // 2, (shape[1] + 1) // 2)
    return [np.full(s, v, np.uint16) for s, v in ((shape, y), (chroma_shape, cb), (chroma_shape, cr))]


def as_dict(s):
    values = {n: getattr(s, n) for n in dir(s) if not n.startswith("_") and not callable(getattr(s, n))}
    values["light_at_99.98"] = s.light_at_percentile(99.98)
    return {n: v.tolist() if isinstance(v, np.ndarray) else v for n, v in values.items()}


def random_frame(rng, height, width, chroma=(0.5, 0.5)):
    ch, cw = math.ceil(height * chroma[0]), math.ceil(width * chroma[1])
    return [rng.integers(0, 1024, s, dtype=np.uint16) for s in ((height, width), (ch, cw), (ch, cw))]


# Full range reaches the analyzer: code 1023 is peak white there, and narrow range's white, 940, is not.
def test_full_range_reaches_the_analyzer():
    grey = [planes((3, 5), y, 512, 512) for y in (1023, 940)]
    assert hdrmeter.analyze_frame(*grey[0], full_range=True).largest_light_nits == 10000.0
    assert hdrmeter.analyze_frame(*grey[1], full_range=True).largest_light_nits < 10000.0
    assert hdrmeter.analyze_frame(*grey[1]).largest_light_nits == 10000.0


def test_histogram_counts_every_light_code():
    y = np.random.default_rng(1).integers(0, 1024, (31, 17), dtype=np.uint16)
    s = hdrmeter.analyze_frame(y, *planes((31, 17), 0, 512, 512)[1:])
    assert s.light_histogram.dtype == np.uint64
    # Neutral chroma: light is the luma's, in light codes 64 to a 10-bit code.
    assert s.light_histogram.tolist() == np.bincount(64 * np.clip(y, 64, 940).ravel().astype(np.int64), minlength=65536).tolist()
    for query in (s.light_at_percentile, s.percent_at_or_below):  # NaN is refused, not read as 0
        with pytest.raises(ValueError):
            query(float("nan"))


# Each view must measure exactly as the same pixels copied into a fresh contiguous array (in place for
# padded and flipped rows, through a copy for the rest), and subsampled chroma as repeated to every pixel.
@pytest.mark.parametrize("view", [
    lambda p: p[3:-2, 2:-4],              # padding around every row
    lambda p: p[::-1],                    # bottom-up rows
    lambda p: p[::2, ::3],                # sample steps: copied
    lambda p: np.frombuffer(b"\0" + p.tobytes(), np.uint16, p.size, 1).reshape(p.shape),  # misaligned
], ids=["padded", "flipped", "stepped", "misaligned"])
@pytest.mark.parametrize("rows, columns", [(2, 2), (1, 2), (1, 1)], ids=["420", "422", "444"])
def test_strided_views_measure_as_their_contiguous_full_chroma_copy(view, rows, columns):
    rng = np.random.default_rng(2)
    y = view(rng.integers(0, 1024, (40, 44), dtype=np.uint16))
    ch, cw = math.ceil(y.shape[0] / rows), math.ceil(y.shape[1] / columns)
    cb, cr = (view(rng.integers(0, 1024, (40, 44), dtype=np.uint16))[:ch, :cw] for _ in range(2))
    full = [np.repeat(np.repeat(c, rows, 0), columns, 1)[:y.shape[0], :y.shape[1]] for c in (cb, cr)]
    assert as_dict(hdrmeter.analyze_frame(y, cb, cr, active_area=(1, 2, 0, 1))) == \
        as_dict(hdrmeter.analyze_frame(np.ascontiguousarray(y), *full, active_area=(1, 2, 0, 1)))


def test_merging_the_halves_of_a_frame_gives_the_frame():
    frame = random_frame(np.random.default_rng(3), 20, 16)
    total = hdrmeter.FrameStatistics()
    total.merge(hdrmeter.analyze_frame(*frame, active_area=(0, 0, 0, 12)))
    total.merge(hdrmeter.analyze_frame(*frame, active_area=(0, 8, 0, 0)))
    assert as_dict(total) == as_dict(hdrmeter.analyze_frame(*frame))
    with pytest.raises(ValueError):
        total.merge(hdrmeter.analyze_frame(*frame, bit_depth=12))


good = planes((4, 6), 500, 512, 512)
pixels = np.full((4, 6, 3), 500, np.uint16)


@pytest.mark.parametrize("args, options, error", [
    ((good[0].tolist(), good[1], good[2]), {}, TypeError), ((good[0].astype(np.int32), good[1], good[2]), {}, TypeError),
    ((good[0], good[1].astype(">u2"), good[2]), {}, TypeError), ((good[0].ravel(), good[1], good[2]), {}, ValueError),
    ((good[0][None], good[1], good[2]), {}, ValueError), ((good[0][:0], good[1][:0], good[2][:0]), {}, ValueError),
    ((good[0], good[1], good[2][:1]), {}, ValueError), ((good[0], good[1][:, :2], good[2][:, :2]), {}, ValueError),
    ((good[0][:1], good[1], good[2]), {}, ValueError),  # one luma row has one chroma row
    (good, {"bit_depth": 8}, ValueError), (good, {"transfer": "sdr"}, ValueError), (good, {"matrix": "bt601"}, ValueError),
    (good, {"threshold_nits": float("nan")}, ValueError), (good, {"tasks": -1}, ValueError),
    (good, {"active_area": (0, 2, 0, 2)}, ValueError), (good, {"active_area": (0, 0, 0)}, ValueError),
    (good, {"active_area": "0000"}, TypeError), (good, {"active_area": (0, 0.5, 0, 0)}, TypeError),
    (good, {"class_parity": True, "full_range": True}, ValueError),
    ((pixels[..., :2],), {}, ValueError), ((pixels[0],), {}, ValueError), ((pixels,), {"model": "ycbcr"}, TypeError),
    ((pixels, good[1]), {}, TypeError), (good, {"model": "xyz"}, ValueError), (good, {"model": "rgb"}, ValueError),
    ((pixels,), {"class_parity": True}, ValueError),
])
def test_bad_input_raises_and_keeps_no_reference(args, options, error):
    counts = [sys.getrefcount(a) for a in args]
    with pytest.raises(error):
        hdrmeter.analyze_frame(*args, **options)
    assert [sys.getrefcount(a) for a in args] == counts


def test_threads_measure_as_one_thread_does_and_let_go_of_the_gil(releases_gil):
    rng = np.random.default_rng(4)
    frames = [random_frame(rng, 64 + i, 96 - i) for i in range(12)]
    options = [{}, {"class_parity": True, "tasks": 2}, {"transfer": "hlg", "active_area": (3, 1, 2, 0)}]
    jobs = [(f, o) for f in frames for o in options] * 3
    expected = [as_dict(hdrmeter.analyze_frame(*f, **o)) for f, o in jobs]
    with ThreadPoolExecutor(4) as pool:
        assert list(pool.map(lambda job: as_dict(hdrmeter.analyze_frame(*job[0], **job[1])), jobs)) == expected
    frame = random_frame(np.random.default_rng(5), 2048, 2048, (1, 1))
    hdrmeter.analyze_frame(*planes((2, 2), 0, 0, 0), tasks=1)  # building the analyzer lets go of it too
    assert releases_gil(lambda: hdrmeter.analyze_frame(*frame, tasks=1))


def _measure_with_nine_settings(frame):
    return [as_dict(hdrmeter.analyze_frame(*frame, threshold_nits=t)) for t in range(9)]


def test_forked_child_measures_with_analyzers_of_its_own():
    # Nine settings overflow the cache, so the child drops an analyzer built in the parent, whose worker
    # threads it does not have.
    frame = random_frame(np.random.default_rng(6), 30, 30)
    expected = _measure_with_nine_settings(frame)
    with multiprocessing.get_context("fork").Pool(1) as pool:
        assert pool.apply_async(_measure_with_nine_settings, (frame,)).get(timeout=60) == expected


PICKLED_OPTIONS = {"threshold_nits": 100, "top1": 2, "class_parity": True, "tasks": 3}


def _analyze_pickled_options(frame):
    return hdrmeter.analyze_frame(*frame, **PICKLED_OPTIONS)


# Statistics cross processes: computed in a pool, pickled or copied, they read and merge as the originals,
# down to the last bits of the class's band sums; empty statistics take the settings of what they merge.
def test_statistics_pickle_copy_and_come_back_from_a_pool():
    frames = [random_frame(np.random.default_rng(seed), 12, 10) for seed in range(3)]
    originals = [_analyze_pickled_options(f) for f in frames]
    with multiprocessing.get_context("fork").Pool(2) as pool:
        pooled = pool.map(_analyze_pickled_options, frames)
    expected, merged = hdrmeter.FrameStatistics(), hdrmeter.FrameStatistics()
    for original, other in zip(originals, pooled):
        for same in (other, pickle.loads(pickle.dumps(original)), copy.copy(original), copy.deepcopy(original)):
            assert as_dict(same) == as_dict(original)
        expected.merge(original)
        merged.merge(other)
    assert as_dict(pickle.loads(pickle.dumps(merged))) == as_dict(expected)
    assert as_dict(pickle.loads(pickle.dumps(hdrmeter.FrameStatistics()))) == as_dict(hdrmeter.FrameStatistics())


# Normalised float samples are refused with advice that keeps their values (.astype alone would truncate
# them all to 0 and 1); followed, it measures the frame they came from.
def test_float_planes_are_refused_with_advice_that_keeps_their_values():
    frame = random_frame(np.random.default_rng(8), 6, 8)
    normalised = [plane / 1023.0 for plane in frame]
    with pytest.raises(TypeError, match=r"numpy\.rint\(y \* \(2\*\*bit_depth - 1\)\)\.astype\(numpy\.uint16\)"):
        hdrmeter.analyze_frame(*normalised)
    advised = [np.rint(plane * (2**10 - 1)).astype(np.uint16) for plane in normalised]
    assert as_dict(hdrmeter.analyze_frame(*advised)) == as_dict(hdrmeter.analyze_frame(*frame))


# R'G'B' as one (rows, columns, 3 or 4) array, in place or copied, measures as its three planes; a grey
# R'G'B' pixel has the light and luminance of the Y'CbCr grey with neutral chroma.
@pytest.mark.parametrize("pixels", [
    lambda p: p,                                  # contiguous: read in place
    lambda p: p[2:-1, 3:-2],                      # padded rows, in place
    lambda p: p[::-1],                            # bottom-up rows, in place
    lambda p: np.concatenate([p, p[..., :1] ^ 0x3FF], axis=2),  # a fourth word, never read
    lambda p: p[:, ::2],                          # pixel steps: copied
    lambda p: np.ascontiguousarray(p[..., ::-1])[..., ::-1],    # channels backwards: copied
], ids=["contiguous", "padded", "flipped", "alpha", "stepped", "reversed-channels"])
def test_rgb_pixels_measure_as_their_planes(pixels):
    frame = pixels(np.random.default_rng(9).integers(0, 1024, (21, 30, 3), dtype=np.uint16))
    planes_of = [np.ascontiguousarray(frame[..., c]) for c in range(3)]
    options = {"bit_depth": 10, "active_area": (1, 0, 2, 3), "matrix": "bt709"}
    assert as_dict(hdrmeter.analyze_frame(frame, **options)) == \
        as_dict(hdrmeter.analyze_frame(*planes_of, model="rgb", **options))
    grey = hdrmeter.analyze_frame(np.full((4, 6, 3), 500, np.uint16))
    assert as_dict(grey) == as_dict(hdrmeter.analyze_frame(*planes((4, 6), 500, 512, 512)))
