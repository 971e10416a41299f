"""hdrmeter: bit-exact light measurements of HDR frames held in numpy arrays.

    stats = hdrmeter.analyze_frame(y, cb, cr, bit_depth=10)
    stats.largest_light_nits, stats.average_light_nits   # the frame's CLL and FALL
"""
from ._hdrmeter import FrameStatistics, __version__, analyze_frame

__all__ = ["FrameStatistics", "analyze_frame", "__version__"]
