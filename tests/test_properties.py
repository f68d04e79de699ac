"""Property tests of the mask operations against plain-numpy renderings of their steps,
over generated shapes, element types, memory layouts and spacings (the profile that
conftest.py loads keeps the examples fixed and their number bounded)."""

import warnings

import numpy as np
import pytest
from hypothesis import assume, given
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from scipy import ndimage
from scipy.spatial import ConvexHull
from test_medical import plain_minimum_dis, plain_points_pair, plain_shell

from orvane.basic import medical

DTYPES = [
    np.bool_, np.uint8, np.int8, np.int16, np.uint16, np.int32, np.int64, np.uint64,
    np.float16, np.float32, np.float64, ">i4", "<u2", ">f8",  # non-native byte orders too
]  # fmt: skip


@st.composite
def masks(draw, shape=None, max_points=40):
    """A mask of 1 to 3 axes with few non-zero elements: mostly 0/1, sometimes other
    values (2, -1, 0.5, NaN where the type holds them), laid out as a C or Fortran array,
    a strided or reversed view, or a read-only array."""
    if shape is None:
        shape = draw(hnp.array_shapes(min_dims=1, max_dims=3, min_side=1, max_side=7))
    dtype = np.dtype(draw(st.sampled_from(DTYPES)))
    size = int(np.prod(shape))
    chosen = draw(st.sets(st.integers(0, size - 1), max_size=min(size, max_points)))
    values = [1, 1, 1, 2] + ([-1] if dtype.kind == "i" else [])
    values += [0.5, float("nan")] if dtype.kind == "f" else []
    flat = np.zeros(size, dtype=dtype)
    for index in sorted(chosen):
        flat[index] = draw(st.sampled_from(values)) if dtype != np.bool_ else True
    array = flat.reshape(shape)
    return draw(layouts(array))


@st.composite
def layouts(draw, array):
    kind = draw(st.sampled_from(["C", "F", "strided", "reversed", "read-only"]))
    if kind == "F":
        return np.asfortranarray(array)
    if kind == "strided":
        spread = np.zeros(tuple(2 * n for n in array.shape), dtype=array.dtype)
        spread[tuple(slice(None, None, 2) for _ in array.shape)] = array
        return spread[tuple(slice(None, None, 2) for _ in array.shape)]
    if kind == "reversed":
        return np.ascontiguousarray(array[::-1])[::-1]
    if kind == "read-only":
        array = array.copy()
        array.flags.writeable = False
    return array


def spacings(ndim):
    """One number per axis, as a list, a tuple or a float64 array, or a single number;
    zero, negative and (rarely) NaN or infinite entries included."""
    number = st.one_of(
        st.floats(-4, 4, allow_nan=False, width=64),
        st.integers(-3, 5),
        st.sampled_from([0.0, float("nan"), float("inf")]),
    )
    entries = st.lists(number, min_size=ndim, max_size=ndim)
    return st.one_of(
        entries,
        entries.map(tuple),
        entries.map(lambda values: np.array(values, dtype=float)),
        st.floats(0.1, 3),
    )


def outcome(func, *args):
    """What a call gives: ("ok", comparable result) or ("error", exception type)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # NaN masks and spacings warn; both sides alike
        try:
            return ("ok", comparable(func(*args)))
        except Exception as exc:
            return ("error", type(exc))


def comparable(result):
    if isinstance(result, tuple):
        return tuple(comparable(item) for item in result)
    array = np.asarray(result)
    return (type(result).__name__, array.dtype.str, array.shape, array.tobytes())


def literal_is_cross(x, y, tol):
    """The crossing test step by step (element types kept: label refuses some)."""
    temp = x.copy()
    for _ in range(tol):
        temp = ndimage.binary_dilation(temp)
    overlap = temp.astype(int) - x.astype(int) + y.astype(int)
    pieces = np.zeros_like(x)
    pieces[np.where(overlap == 2)] = 1
    return ndimage.label(pieces)[1] != 1


def literal_is_enclosed(x, y):
    outside = y.astype(int)
    outside[np.where(x)] = 0
    points = np.argwhere(outside == 1)
    centroid = np.argwhere(x).mean(axis=0)
    before = ConvexHull(points).vertices
    after = ConvexHull(np.vstack([points, centroid])).vertices
    return len(before) == len(after) and all(a == b for a, b in zip(before, after, strict=True))


def snapshot(*arrays):
    return [(a.dtype.str, a.shape, a.strides, a.flags.writeable, a.tobytes()) for a in arrays]


@st.composite
def mask_pairs(draw):
    x = draw(masks())
    y = draw(masks(shape=x.shape))
    return x, y


@given(masks(), st.integers(-1, 4))
def test_shell(x, tol):
    before = snapshot(x)
    assert outcome(medical._to_shell, x, tol) == outcome(plain_shell, x, tol)
    assert snapshot(x) == before


@given(st.data())
def test_farthest_pair(data):
    x = data.draw(masks())
    sp = data.draw(spacings(x.ndim))
    before = snapshot(x)
    assert outcome(medical._points_pair, x, sp) == outcome(plain_points_pair, x, sp)
    assert snapshot(x) == before


@given(mask_pairs(), st.data())
def test_minimum_distance(pair, data):
    x, y = pair
    sp = data.draw(st.lists(spacings(x.ndim), min_size=1, max_size=1))[0]
    sp = list(np.atleast_1d(sp)) if not isinstance(sp, list) else sp
    before = snapshot(x, y)
    assert outcome(medical._minimum_dis, x, y, sp) == outcome(plain_minimum_dis, x, y, sp)
    assert snapshot(x, y) == before


@given(mask_pairs(), st.integers(-1, 3))
def test_crossing(pair, tol):
    x, y = pair
    before = snapshot(x, y)
    assert outcome(medical._is_cross, x, y, tol) == outcome(literal_is_cross, x, y, tol)
    assert snapshot(x, y) == before


@given(mask_pairs())
def test_set_operations(pair):
    x, y = pair
    before = snapshot(x, y)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # astype(int) of NaN
        total = x.astype(int) + y.astype(int)
    assert outcome(medical._superposition, x, y) == outcome(lambda: total == 2)

    def difference():
        result = x.astype(bool, copy=True)
        result[np.where(y)] = False
        return result

    assert outcome(medical._diff_set, x, y) == outcome(difference)
    assert outcome(medical._union_set, x, y) == outcome(lambda: total != 0)
    assert snapshot(x, y) == before


@given(mask_pairs())
def test_enclosure(pair):
    x, y = pair
    assume(x.ndim >= 2)
    before = snapshot(x, y)
    assert outcome(medical._is_enclosed, x, y) == outcome(literal_is_enclosed, x, y)
    assert snapshot(x, y) == before


@pytest.mark.parametrize(
    "sp",
    [[7.5e-223], [1e-200, 1.0], [1e-160, 1.0], [3e-155, 3e-155], [1e200, 1.0], [1e300, 1e-300]],
)
def test_extreme_spacings_give_the_plain_results(sp):
    """Squares of tiny spacings underflow (every length 0, every pair a tie) and those of
    huge ones overflow; the answer is still the plain steps' (found by the search above:
    the farthest pair of [1, 1, 1] under the spacing 7.5e-223 once came out as the two
    ends instead of numpy's first pair)."""
    rng = np.random.default_rng(11)
    ndim = len(sp)
    x = rng.random((9,) * ndim) < 0.4
    y = rng.random((9,) * ndim) < 0.4
    assert outcome(medical._points_pair, x, sp) == outcome(plain_points_pair, x, sp)
    assert outcome(medical._minimum_dis, x, y, sp) == outcome(plain_minimum_dis, x, y, sp)
    line = np.ones(3, np.uint8)
    assert outcome(medical._points_pair, line, sp[:1]) == outcome(plain_points_pair, line, sp[:1])
