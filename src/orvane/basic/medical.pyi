"""Geometry of binary image masks (numpy arrays whose non-zero elements are inside).

A spacing gives the physical size of one grid step along each axis, in axis order.
"""

from collections.abc import Iterable, Sequence
from itertools import combinations as combinations
from typing import Any

import numpy
import numpy.typing as npt
import SimpleITK
from scipy.ndimage import binary_dilation as binary_dilation
from scipy.ndimage import binary_erosion as binary_erosion
from scipy.ndimage import label as label
from scipy.spatial import ConvexHull

Itk = SimpleITK
np = numpy
_convex = ConvexHull

_Mask = numpy.ndarray
_BoolArray = npt.NDArray[numpy.bool_]
_Point = npt.NDArray[numpy.intp]

def _itk_img(
    x: npt.ArrayLike,
    sp: Sequence[float],
    org: Sequence[float] | None = None,
    direct: Sequence[float] | None = None,
) -> SimpleITK.Image:
    """The array as a SimpleITK image with spacing `sp`, origin `org` ([0, 0, 0] when
    None) and direction cosines `direct` (left as SimpleITK sets them when None)."""

def _is_mask_pair(x: Sequence[numpy.ndarray]) -> bool:
    """Whether `x` holds exactly two boolean arrays whose shapes agree on their common
    leading axes."""

def _apply_spacing(x: Iterable[Any], _sp: Iterable[Any]) -> numpy.ndarray:
    """The products of corresponding items of `x` and `_sp`, as many as the shorter has."""

def _superposition(x: _Mask, y: _Mask) -> _BoolArray:
    """Intersection: True where the integer sum of the two masks is 2."""

def _is_enclosed(x: _Mask, y: _Mask) -> bool:
    """Whether adding the centroid of `x` leaves the convex hull of the part of `y`
    outside `x` unchanged."""

def _diff_set(x: _Mask, y: _Mask) -> _BoolArray:
    """Difference: `x` as booleans with every element of `y` cleared."""

def _union_set(x: _Mask, y: _Mask) -> _BoolArray:
    """Union: False only where the integer sum of the two masks is 0."""

def _points_pair(x: _Mask, sp: npt.ArrayLike) -> tuple[_Point, _Point]:
    """The two mask points farthest apart once axis k is scaled by `sp[k]`; the earlier
    point in row-major order comes first, and the first pair wins among ties."""

# mypy reads a parameter named `__tol` as positional-only; the function also accepts
# it by keyword (`_to_shell(m, __tol=2)`), which no stub syntax can express.
def _to_shell(x: _Mask, __tol: int = 1) -> _BoolArray:
    """The elements that `__tol` erosions remove (`__tol` must be exactly an int)."""

def _minimum_dis(x: _Mask, y: _Mask, sp: list[float]) -> numpy.float64:
    """The smallest scaled distance between the shells of `x` and `y` (`sp` must be
    exactly a list)."""

def _is_cross(x: _Mask, y: _Mask, _tol: int) -> bool:
    """False when `y` meets the band of width `_tol` around `x` in exactly one piece
    (`_tol` must be exactly an int)."""
