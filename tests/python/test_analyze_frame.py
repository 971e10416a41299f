import math
import multiprocessing
import re
import sys
import threading
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
# function's formula. Red: Y 400, Cr 600 gives R = 400 + 88 x 1.4746 x 876/896 = 526.87, rounded to 527.
@pytest.mark.parametrize("codes, options, light, red", [
    ((502, 512, 512), {}, pq_nits(0.5), False),
    ((940, 512, 512), {}, 10000.0, False),
    ((2008, 2048, 2048), {"bit_depth": 12}, pq_nits(0.5), False),
    ((502 * 64, 512 * 64, 512 * 64), {"bit_depth": 16}, pq_nits(0.5), False),
    ((940, 512, 512), {"transfer": "HLG"}, hlg_nits(1.0), False),
    ((502, 512, 512), {"transfer": "hlg"}, hlg_nits(0.5), False),
    ((400, 512, 600), {}, pq_nits(narrow10(527)), True),
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
    rng = np.random.default_rng(1)
    y = rng.integers(0, 1024, (31, 17), dtype=np.uint16)
    cb = cr = np.full((16, 9), 512, np.uint16)
    s = hdrmeter.analyze_frame(y, cb, cr)
    light_codes = np.clip(y, 64, 940).ravel()
    assert s.light_histogram.dtype == np.uint64
    assert s.light_histogram.tolist() == np.bincount(light_codes, minlength=1024).tolist()
    median_code = np.sort(light_codes)[math.ceil(0.5 * light_codes.size) - 1]
    assert s.light_at_percentile(50) == pytest.approx(pq_nits(narrow10(median_code)), rel=1e-6)
    assert s.percent_at_or_below(pq_nits(narrow10(500))) == pytest.approx(100 * np.mean(light_codes <= 500))


# Each view must measure exactly as the same pixels copied into a fresh contiguous array: in place for
# padded and flipped rows, through a copy for the rest.
@pytest.mark.parametrize("view", [
    lambda p: p[3:-2, 2:-4],              # padding around every row
    lambda p: p[::-1],                    # bottom-up rows
    lambda p: p[::-1, ::-1],              # mirrored too: copied
    lambda p: p[::2, ::3],                # sample steps: copied
    lambda p: np.asfortranarray(p),       # column-major: copied
    lambda p: np.frombuffer(b"\0" + p.tobytes(), np.uint16, p.size, 1).reshape(p.shape),  # misaligned
], ids=["padded", "flipped", "mirrored", "stepped", "fortran", "misaligned"])
@pytest.mark.parametrize("chroma", [(0.5, 0.5), (1, 0.5), (1, 1)], ids=["420", "422", "444"])
def test_strided_views_measure_as_their_contiguous_copy(view, chroma):
    rng = np.random.default_rng(2)
    y = view(rng.integers(0, 1024, (40, 44), dtype=np.uint16))
    ch, cw = math.ceil(y.shape[0] * chroma[0]), math.ceil(y.shape[1] * chroma[1])
    cb, cr = (view(rng.integers(0, 1024, (40, 44), dtype=np.uint16))[:ch, :cw] for _ in range(2))
    copies = [np.ascontiguousarray(p) for p in (y, cb, cr)]
    assert as_dict(hdrmeter.analyze_frame(y, cb, cr, active_area=(1, 2, 0, 1))) == \
        as_dict(hdrmeter.analyze_frame(*copies, active_area=(1, 2, 0, 1)))


@pytest.mark.parametrize("rows", [2, 1], ids=["420", "422"])
def test_subsampled_chroma_measures_as_repeated_to_every_pixel(rows):
    rng = np.random.default_rng(7)
    y = rng.integers(0, 1024, (9, 11), dtype=np.uint16)
    cb, cr = (rng.integers(0, 1024, (math.ceil(9 / rows), 6), dtype=np.uint16) for _ in range(2))
    full = [np.repeat(np.repeat(c, rows, 0), 2, 1)[:9, :11] for c in (cb, cr)]
    assert as_dict(hdrmeter.analyze_frame(y, cb, cr)) == as_dict(hdrmeter.analyze_frame(y, *full))


def test_class_parity_changes_coefficients_and_ranks():
    red = planes((2, 2), 400, 512, 600)  # R truncated from 400 + 88 x 1.4746 = 529.76, not scaled
    assert hdrmeter.analyze_frame(*red).largest_red_nits == pytest.approx(pq_nits(narrow10(527)), rel=1e-6)
    assert hdrmeter.analyze_frame(*red, class_parity=True).largest_red_nits == \
        pytest.approx(pq_nits(narrow10(529)), rel=1e-6)
    # 100 grey pixels of codes 100..199: the brightest 29 % is the 29th brightest by nearest rank, but
    # the 28th as the class counts.
    grey = [np.arange(100, 200, dtype=np.uint16).reshape(10, 10), *planes((10, 10), 0, 512, 512)[1:]]
    assert hdrmeter.analyze_frame(*grey, top1=29).top1_nits == pytest.approx(pq_nits(narrow10(171)), rel=1e-6)
    assert hdrmeter.analyze_frame(*grey, top1=29, class_parity=True).top1_nits == \
        pytest.approx(pq_nits(narrow10(172)), rel=1e-6)


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


def test_threads_measure_as_one_thread_does():
    rng = np.random.default_rng(4)
    frames = [random_frame(rng, 64 + i, 96 - i) for i in range(12)]
    options = [{}, {"class_parity": True, "tasks": 2}, {"transfer": "hlg", "active_area": (3, 1, 2, 0)}]
    jobs = [(f, o) for f in frames for o in options] * 3
    expected = [as_dict(hdrmeter.analyze_frame(*f, **o)) for f, o in jobs]
    with ThreadPoolExecutor(4) as pool:
        got = list(pool.map(lambda job: as_dict(hdrmeter.analyze_frame(*job[0], **job[1])), jobs))
    assert got == expected


def test_gil_is_released_while_measuring():
    # With forced switches a second apart, the main thread runs during the worker's call only if the
    # call lets go of the GIL (one call takes far less than a second).
    frame = random_frame(np.random.default_rng(5), 2048, 2048, (1, 1))
    hdrmeter.analyze_frame(*planes((2, 2), 0, 0, 0), tasks=1)  # building the analyzer lets go of it too
    started, done, ticks = threading.Event(), threading.Event(), 0
    worker = threading.Thread(target=lambda: (started.set(), hdrmeter.analyze_frame(*frame, tasks=1), done.set()))
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1.0)
    try:
        worker.start()
        started.wait()
        while not done.is_set():
            ticks += 1
        worker.join()
    finally:
        sys.setswitchinterval(interval)
    assert ticks > 0


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
