import json

import numpy as np
import pytest

import hdrmeter

pytestmark = pytest.mark.skipif(not hasattr(hdrmeter._hdrmeter, "_measure"), reason="built without the tool")

WIDTH, HEIGHT, FRAMES, CUT = 32, 18, 30, 15
RAW = {"size": f"{WIDTH}x{HEIGHT}", "pix_fmt": "yuv420p10le", "transfer": "pq"}


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
    for i, (record, planes) in enumerate(zip(records, frames)):
        expected = hdrmeter.analyze_frame(*planes)
        for name in ("average_light_nits", "largest_light_nits", "above_threshold_percent", "top1_nits",
                     "top2_nits", "bottom_nits"):
            assert record[name] == getattr(expected, name), (i, name)
        assert (record["frame"], record["scene"]) == (i, int(i >= CUT))
    assert result["max_fall_nits"] == max(r["average_light_nits"] for r in records)
    assert records.index(max(records, key=lambda r: r["average_light_nits"])) == result["max_fall_frame"]
    assert json.loads(plus.read_text())["SceneInfoSummary"]["SceneFrameNumbers"] == [CUT, FRAMES - CUT]
    level6 = json.loads(dovi.read_text())["level6"]
    assert (level6["max_display_mastering_luminance"], level6["min_display_mastering_luminance"]) == (4000, 50)
    assert hdrmeter.measure(path, **RAW, scene_cuts=[10])["scenes"] == [0, 10]


@pytest.mark.parametrize("options, error, words", [
    ({"frames": 0}, ValueError, "--frames 0"),
    ({"active_area": (1, 2)}, ValueError, "LEFT,TOP,RIGHT,BOTTOM"),
    ({"scene_cuts": [5, 3]}, ValueError, "increasing order"),
    ({"pix_fmt": "yuv420p"}, ValueError, "8-bit"),
    ({"colour": "red"}, TypeError, "colour"),
])
def test_bad_options_raise_with_the_tools_reason(clip, options, error, words):
    with pytest.raises(error, match=words):
        hdrmeter.measure(clip[0], **{**RAW, **options})


def test_bad_input_raises_and_keeps_what_was_measured(clip, tmp_path):
    with pytest.raises(RuntimeError, match="cannot open"):
        hdrmeter.measure(tmp_path / "missing.raw", **RAW)
    cut = tmp_path / "cut.raw"
    cut.write_bytes(clip[0].read_bytes()[:-100])
    with pytest.raises(RuntimeError, match="ends inside frame 29") as raised:
        hdrmeter.measure(cut, **RAW)
    assert raised.value.result["frames"] == FRAMES - 1


def test_gil_is_released_while_measuring(clip, releases_gil):
    assert releases_gil(lambda: hdrmeter.measure(clip[0], **RAW))
