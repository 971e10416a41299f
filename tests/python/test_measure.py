import json

import numpy as np
import pytest

import hdrmeter

pytestmark = pytest.mark.skipif(not hasattr(hdrmeter._hdrmeter, "_measure"), reason="built without the tool")

WIDTH, HEIGHT, FRAMES, CUT = 32, 18, 30, 15
RAW = {"size": f"{WIDTH}x{HEIGHT}", "pix_fmt": "yuv420p10le", "transfer": "pq"}
LEVELS = ("average_light_nits", "largest_light_nits", "above_threshold_percent", "top1_nits", "top2_nits", "bottom_nits")


@pytest.fixture(scope="module")
def clip(tmp_path_factory):
    """Raw 10-bit 4:2:0 frames of noise: dim ones, then from frame 15 bright ones."""
    rng = np.random.default_rng(7)
    frames = [[rng.integers(*((64, 300) if i < CUT else (500, 940)), (HEIGHT, WIDTH), dtype=np.uint16)] +
              [rng.integers(480, 544, (HEIGHT // 2, WIDTH // 2), dtype=np.uint16) for _ in range(2)] for i in range(FRAMES)]
    path = tmp_path_factory.mktemp("clip") / "clip.raw"
    path.write_bytes(b"".join(plane.astype("<u2").tobytes() for frame in frames for plane in frame))
    return path, frames


def test_measure_gives_the_analyzers_numbers_scenes_and_exports(clip, tmp_path):
    path, frames = clip
    plus, dovi = tmp_path / "plus.json", tmp_path / "dovi.json"
    result = hdrmeter.measure(path, **RAW, min_scene_length=5, hdr10plus=plus, dovi_config=str(dovi),
                              mastering_display=(4000, 0.005))
    records = result.pop("frame_records")
    assert result["frames"] == FRAMES and result["scenes"] == [0, CUT] and not result["interrupted"]
    assert result["active_area"] == {"left": 0, "top": 0, "right": 0, "bottom": 0, "width": WIDTH, "height": HEIGHT}
    assert [(r["frame"], r["scene"]) for r in records] == [(i, int(i >= CUT)) for i in range(FRAMES)]
    assert result["max_fall_nits"] == max(r["average_light_nits"] for r in records)
    assert records.index(max(records, key=lambda r: r["average_light_nits"])) == result["max_fall_frame"]
    assert json.loads(plus.read_text())["SceneInfoSummary"]["SceneFrameNumbers"] == [CUT, FRAMES - CUT]
    level6 = json.loads(dovi.read_text())["level6"]
    assert (level6["max_display_mastering_luminance"], level6["min_display_mastering_luminance"]) == (4000, 50)
    assert hdrmeter.measure(path, **RAW, scene_cuts=[10])["scenes"] == [0, 10]


# analyze_frame must give what the tool gives for the same frames and settings, to the bit.
@pytest.mark.parametrize("options, frame_options", [
    ({}, {}),
    ({"transfer": "hlg", "matrix": "bt709"}, {"transfer": "hlg", "matrix": "bt709"}),
    ({"class_parity": True, "tasks": 3}, {"class_parity": True, "tasks": 3}),
    ({"threshold": 50, "top1": 29, "top2": 0.5, "bottom": 3}, {"threshold_nits": 50, "top1": 29, "top2": 0.5, "bottom": 3}),
    ({"pix_fmt": "yuv420p12le"}, {"bit_depth": 12}),
])
def test_analyze_frame_measures_as_the_tool_does(clip, tmp_path, options, frame_options):
    path, frames = clip
    if "bit_depth" in frame_options:
        frames = [[plane * 4 + 3 for plane in frame] for frame in frames]
        path = tmp_path / "clip12.raw"
        path.write_bytes(b"".join(plane.astype("<u2").tobytes() for frame in frames for plane in frame))
    records = hdrmeter.measure(path, **{**RAW, **options})["frame_records"]
    for i, (record, planes) in enumerate(zip(records, frames)):
        expected = hdrmeter.analyze_frame(*planes, **frame_options)
        assert [record[name] for name in LEVELS] == [getattr(expected, name) for name in LEVELS], i


@pytest.mark.parametrize("options, error, words", [
    ({"frames": 0}, ValueError, "--frames 0"), ({"active_area": (1, 2)}, ValueError, "LEFT,TOP,RIGHT,BOTTOM"),
    ({"scene_cuts": [5, 3]}, ValueError, "increasing order"), ({"pix_fmt": "yuv420p"}, ValueError, "8-bit"),
    ({"colour": "red"}, TypeError, "colour"), ({"path": "missing.raw"}, RuntimeError, "cannot open missing.raw"),
])
def test_bad_options_and_files_raise_with_the_tools_reason(clip, options, error, words):
    with pytest.raises(error, match=words):
        hdrmeter.measure(**{"path": clip[0], **RAW, **options})


def test_a_cut_file_raises_and_keeps_what_was_measured_and_lets_go_of_the_gil(clip, tmp_path, releases_gil):
    cut = tmp_path / "cut.raw"
    cut.write_bytes(clip[0].read_bytes()[:-100])
    with pytest.raises(RuntimeError, match="ends inside frame 29") as raised:
        hdrmeter.measure(cut, **RAW)
    assert raised.value.result["frames"] == FRAMES - 1
    assert releases_gil(lambda: hdrmeter.measure(clip[0], **RAW))
