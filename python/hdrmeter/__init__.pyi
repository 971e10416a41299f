"""Type stubs for hdrmeter. The keywords of measure() and merge() are made from the library's table of
settings (a test holds them to it)."""
import os
from typing import Any, Callable, Iterable

import numpy
import numpy.typing

__version__: str

class FrameStatistics:
    def __init__(self) -> None: ...
    @property
    def pixel_count(self) -> int: ...
    @property
    def bit_depth(self) -> int: ...
    @property
    def average_light_nits(self) -> float: ...
    @property
    def largest_light_nits(self) -> float: ...
    @property
    def above_threshold_percent(self) -> float: ...
    @property
    def top1_nits(self) -> float: ...
    @property
    def top2_nits(self) -> float: ...
    @property
    def bottom_nits(self) -> float: ...
    @property
    def smallest_light_nits(self) -> float: ...
    @property
    def largest_red_nits(self) -> float: ...
    @property
    def largest_green_nits(self) -> float: ...
    @property
    def largest_blue_nits(self) -> float: ...
    @property
    def smallest_pq(self) -> float: ...
    @property
    def mean_pq(self) -> float: ...
    @property
    def largest_pq(self) -> float: ...
    def light_at_percentile(self, percent: float) -> float: ...
    def percent_at_or_below(self, nits: float) -> float: ...
    def merge(self, other: FrameStatistics) -> None: ...

def analyze_frame(
    y: numpy.typing.ArrayLike,
    cb: numpy.typing.ArrayLike | None = None,
    cr: numpy.typing.ArrayLike | None = None,
    *,
    bit_depth: int = 10,
    transfer: str = "pq",
    matrix: str = "bt2020",
    threshold_nits: float = 203.0,
    top1: float = 1.0,
    top2: float = 10.0,
    bottom: float = 1.0,
    active_area: tuple[int, int, int, int] | None = None,
    tasks: int = 0,
    class_parity: bool = False,
    full_range: bool = False,
    model: str | None = None,
) -> FrameStatistics: ...

class ClipResult:
    frames: int
    max_cll: int
    max_fall: int
    max_cll_nits: float
    max_fall_nits: float
    max_cll_frame: int | None
    max_fall_frame: int | None
    max_cll_trace: dict[str, int] | None
    robust_peaks: dict[str, float] | None
    verification: dict[str, Any] | None
    active_area: dict[str, int]
    scenes: list[int]
    scene_columns: dict[str, numpy.ndarray]
    columns: dict[str, numpy.ndarray]
    colour_model: str
    bit_depth: int
    float_samples: bool
    transfer: str
    matrix: str
    coefficients: str
    stream_metadata: dict[str, Any] | None
    warnings: list[str]
    ending: str
    failure: str | None
    failed_at_frame: int | None
    output_failures: list[str]
    damaged_frames: list[int]
    missing_frames: list[int]
    def __getitem__(self, name: str) -> Any: ...

# Called with the pass (1, or 2 for the automatic area's second), the frames done and the frames expected
# (None when unknown); returning False stops the run, keeping what was measured.
Progress = Callable[[int, int, int | None], bool | None]

def measure(
    path: str | bytes | os.PathLike[str] | None = None,
    *,
    progress: Progress | None = None,
# settings: measure keywords
    demo: bool | None = None,
    stream: int | None = None,
    size: str | None = None,
    pix_fmt: str | None = None,
    transfer: str | None = None,
    matrix: str | None = None,
    frames: int | None = None,
    start: float | str | None = None,
    end: float | str | None = None,
    frame_rate: str | None = None,
    assetmap: str | os.PathLike[str] | None = None,
    accept_damaged: bool | None = None,
    threshold: float | None = None,
    top1: float | None = None,
    top2: float | None = None,
    bottom: float | None = None,
    percentiles: bool | None = None,
    tasks: int | None = None,
    class_parity: bool | None = None,
    checks: bool | None = None,
    active_area: str | tuple[int, int, int, int] | None = None,
    bars_tolerance: int | None = None,
    scene_threshold: float | None = None,
    min_scene_length: int | None = None,
    scene_cuts: str | os.PathLike[str] | Iterable[int] | None = None,
    csv: str | os.PathLike[str] | None = None,
    jsonl: str | os.PathLike[str] | None = None,
    plot: str | os.PathLike[str] | None = None,
    summary_json: str | os.PathLike[str] | None = None,
    hdr10plus: str | os.PathLike[str] | None = None,
    dovi_config: str | os.PathLike[str] | None = None,
    madvr: str | os.PathLike[str] | None = None,
    partial: str | os.PathLike[str] | None = None,
    report: str | os.PathLike[str] | None = None,
    av1an_scenes: str | os.PathLike[str] | None = None,
    x265_qpfile: str | os.PathLike[str] | None = None,
    ffmpeg_keyframes: str | os.PathLike[str] | None = None,
    pretty: bool | None = None,
    mastering_display: str | tuple[float | str, ...] | None = None,
    dovi_cm_version: str | None = None,
    robust_frame_percentile: float | None = None,
    robust_clip_percentile: float | None = None,
    robust_peaks: bool | None = None,
    peak_pixels: int | None = None,
    verify: bool | None = None,
    verify_json: str | os.PathLike[str] | None = None,
    verify_margin: float | None = None,
    verify_pq_codes: float | None = None,
    verify_max_shift: int | None = None,
# settings: end
) -> ClipResult: ...

def merge(
    *partials: str | bytes | os.PathLike[str] | Iterable[str | bytes | os.PathLike[str]],
    progress: Progress | None = None,
# settings: merge keywords
    csv: str | os.PathLike[str] | None = None,
    jsonl: str | os.PathLike[str] | None = None,
    plot: str | os.PathLike[str] | None = None,
    summary_json: str | os.PathLike[str] | None = None,
    hdr10plus: str | os.PathLike[str] | None = None,
    dovi_config: str | os.PathLike[str] | None = None,
    madvr: str | os.PathLike[str] | None = None,
    report: str | os.PathLike[str] | None = None,
    av1an_scenes: str | os.PathLike[str] | None = None,
    x265_qpfile: str | os.PathLike[str] | None = None,
    ffmpeg_keyframes: str | os.PathLike[str] | None = None,
    pretty: bool | None = None,
    dovi_cm_version: str | None = None,
# settings: end
    remeasure: bool | None = None,
) -> ClipResult: ...
