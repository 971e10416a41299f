import math
import multiprocessing
import re
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pytest

import hdrmeter


def pq_nits(signal):
    e = max(signal, 0.0) ** (1 / 78.84375)
    return 10000 * (max(e - 0.8359375, 0.0) / (18.8515625 - 18.6875 * e)) ** (1 / 0.1593017578125)


def hlg_nits(signal):  # a grey pixel on a 1000-nit display
    e = 4 * signal * signal if signal <= 0.5 else math.exp((signal - 0.55991073) / 0.17883277) + 0.28466892
    return 1000 * (e / 12) ** 1.2


def narrow10(code):
    return (code - 64) / 876


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


# A uniform frame of one colour: every statistic is that colour's light, computed here from the transfer
# function's formula. Red: Y 400, Cr 600 gives R = 400 + 88 x 1.4746 x 876/896 = 526.87, rounded to 527;
# the class truncates 400 + 88 x 1.4746 = 529.76 without scaling.
@pytest.mark.parametrize("codes, options, light, red", [
    ((502, 512, 512), {}, pq_nits(0.5), False),
    ((940, 512, 512), {}, 10000.0, False),
    ((2008, 2048, 2048), {"bit_depth": 12}, pq_nits(0.5), False),
    ((502 * 64, 512 * 64, 512 * 64), {"bit_depth": 16}, pq_nits(0.5), False),
    ((940, 512, 512), {"transfer": "HLG"}, hlg_nits(1.0), False),
    ((502, 512, 512), {"transfer": "hlg"}, hlg_nits(0.5), False),
    ((400, 512, 600), {}, pq_nits(narrow10(527)), True),
    ((400, 512, 600), {"class_parity": True}, pq_nits(narrow10(529)), True),
    ((1023, 0, 1023), {"full_range": True, "matrix": "bt709"}, 10000.0, True),
])
def test_uniform_frame_measures_its_known_light(codes, options, light, red):
    s = hdrmeter.analyze_frame(*planes((3, 5), *codes), **options)
    assert s.pixel_count == 15
    assert s.above_threshold_percent == (100.0 if s.top1_nits > 203 else 0.0)
    measured = [s.average_light_nits, s.largest_light_nits, s.smallest_light_nits, s.light_at_percentile(50)]
    measured += [s.largest_red_nits] if red else [s.top1_nits, s.bottom_nits, s.largest_green_nits]
    assert measured == pytest.approx([light] * len(measured), rel=1e-6)
    assert not red or max(s.largest_green_nits, s.largest_blue_nits) < light


def test_histograms_and_percentiles_of_a_grey_frame():
    y = np.random.default_rng(1).integers(0, 1024, (31, 17), dtype=np.uint16)
    s = hdrmeter.analyze_frame(y, *planes((31, 17), 0, 512, 512)[1:])
    light_codes = np.clip(y, 64, 940).ravel()
    assert s.light_histogram.dtype == np.uint64
    assert s.light_histogram.tolist() == np.bincount(light_codes, minlength=1024).tolist()
    median_code = np.sort(light_codes)[math.ceil(0.5 * light_codes.size) - 1]
    assert s.light_at_percentile(50) == pytest.approx(pq_nits(narrow10(median_code)), rel=1e-6)
    assert s.percent_at_or_below(pq_nits(narrow10(500))) == pytest.approx(100 * np.mean(light_codes <= 500))
    # 100 grey pixels of codes 100..199: the brightest 29 % is the 29th brightest by nearest rank, but
    # the 28th as the class counts.
    ramp = [np.arange(100, 200, dtype=np.uint16).reshape(10, 10), *planes((10, 10), 0, 512, 512)[1:]]
    assert [hdrmeter.analyze_frame(*ramp, top1=29, class_parity=c).top1_nits for c in (False, True)] == \
        pytest.approx([pq_nits(narrow10(171)), pq_nits(narrow10(172))], rel=1e-6)


# Each view must measure exactly as the same pixels copied into a fresh contiguous array (in place for
# padded and flipped rows, through a copy for the rest), and subsampled chroma as repeated to every pixel.
@pytest.mark.parametrize("view", [
    lambda p: p[3:-2, 2:-4],              # padding around every row
    lambda p: p[::-1],                    # bottom-up rows
    lambda p: p[::-1, ::-1],              # mirrored too: copied
    lambda p: p[::2, ::3],                # sample steps: copied
    lambda p: np.asfortranarray(p),       # column-major: copied
    lambda p: np.frombuffer(b"\0" + p.tobytes(), np.uint16, p.size, 1).reshape(p.shape),  # misaligned
], ids=["padded", "flipped", "mirrored", "stepped", "fortran", "misaligned"])
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


@pytest.mark.parametrize("args, options, error", [
    ((good[0].tolist(), good[1], good[2]), {}, TypeError),
    ((good[0].astype(np.int32), good[1], good[2]), {}, TypeError),
    ((good[0], good[1].astype(">u2"), good[2]), {}, TypeError),
    ((good[0], good[1], good[2].astype(np.float32)), {}, TypeError),
    ((good[0].ravel(), good[1], good[2]), {}, ValueError),
    ((good[0][None], good[1], good[2]), {}, ValueError),
    ((good[0][:0], good[1][:0], good[2][:0]), {}, ValueError),
    ((good[0], good[1], good[2][:1]), {}, ValueError),
    ((good[0], good[1][:, :2], good[2][:, :2]), {}, ValueError),
    ((good[0][:1], good[1], good[2]), {}, ValueError),  # one luma row has one chroma row
    (good, {"bit_depth": 8}, ValueError),
    (good, {"transfer": "sdr"}, ValueError),
    (good, {"matrix": "bt601"}, ValueError),
    (good, {"top1": 101}, ValueError),
    (good, {"threshold_nits": float("nan")}, ValueError),
    (good, {"tasks": -1}, ValueError),
    (good, {"active_area": (0, 2, 0, 2)}, ValueError),
    (good, {"active_area": (0, 0, 0)}, ValueError),
    (good, {"active_area": (0, 0, 0, -1)}, ValueError),
    (good, {"active_area": "0000"}, TypeError),
    (good, {"active_area": (0, 0.5, 0, 0)}, TypeError),
    (good, {"class_parity": True, "full_range": True}, ValueError),
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


def test_version_is_the_library_version():
    header = (Path(__file__).parents[2] / "include" / "hdrmeter" / "export.h").read_text()
    parts = [re.search(rf"#define HDRMETER_VERSION_{p} (\d+)", header).group(1) for p in ("MAJOR", "MINOR", "PATCH")]
    assert hdrmeter.__version__ == ".".join(parts)
