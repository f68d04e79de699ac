"""The native fast paths against the plain steps of the same module, which rebound module
names force: the farthest pair, the minimum distance, the set operations, the shell and
the crossing test, on masks of every element type and layout."""

import builtins
import itertools
import os
import pickle
import re
import subprocess
import sys
import tracemalloc
import types

import numpy as np
import pytest
from scipy import ndimage
from scipy.spatial import ConvexHull, cKDTree

from orvane.basic import medical


def same_combinations(*args):
    return itertools.combinations(*args)


def same_range(*args):
    return range(*args)


# numpy under another module object: every attribute read is numpy's own, at that moment.
SAME_NUMPY = types.ModuleType("numpy")
SAME_NUMPY.__getattr__ = lambda name: getattr(np, name)


@pytest.fixture
def plain(monkeypatch):
    """Runs a function with the plain steps: `combinations`, `np` and `range` rebound to
    equal but different objects (every fast path stands in for at least one of them)."""

    def run(func, *args):
        with monkeypatch.context() as patch:
            patch.setattr(medical, "combinations", same_combinations)
            patch.setattr(medical, "np", SAME_NUMPY)
            patch.setattr(medical, "range", same_range, raising=False)
            return outcome(func, *args)

    return run


def outcome(func, *args):
    try:
        return ("ok", func(*args))
    except Exception as exc:
        # qhull names each run by a number drawn from the clock: two runs a second apart
        # (slow machines, emulation) differ there and nowhere else.
        return (type(exc), re.sub(r"run-id \d+", "run-id N", str(exc)))


def assert_same(fast, slow):
    assert fast[0] == slow[0]
    if fast[0] != "ok":
        assert fast == slow
    elif isinstance(slow[1], tuple):
        assert len(fast[1]) == len(slow[1]) == 2
        for got, want in zip(fast[1], slow[1], strict=True):
            assert got.dtype == want.dtype and np.array_equal(got, want)
    elif isinstance(slow[1], np.ndarray):
        got, want = fast[1], slow[1]
        assert type(got) is type(want) and (got.dtype, got.shape) == (want.dtype, want.shape)
        assert got.strides == want.strides and got.flags.owndata == want.flags.owndata
        # Byte for byte: a boolean copy keeps the bytes its source held.
        assert got.view(np.uint8).tobytes() == want.view(np.uint8).tobytes()
    elif isinstance(slow[1], bool):
        assert fast[1] is slow[1]
    else:
        assert type(fast[1]) is type(slow[1]) and fast[1].tobytes() == slow[1].tobytes()


def grid(shape):
    return np.indices(shape).astype(float)


def shapes(rng, ndim):
    """Tie-rich masks: boxes, discs and balls, lines, flat slabs, points, noise, whole
    planes."""
    shape = tuple(int(n) for n in rng.integers(2, 12 if ndim < 3 else 7, size=ndim))
    coords = grid(shape)
    centre = [rng.uniform(0, n) for n in shape]
    radius = rng.uniform(0.5, max(shape) / 1.5)
    box = np.ones(shape, bool)
    for axis, n in enumerate(shape):
        low, high = sorted(rng.integers(0, n, size=2))
        box &= (coords[axis] >= low) & (coords[axis] <= high)
    slab = np.zeros(shape, bool)
    slab[(slice(None),) * (ndim - 1) + (int(rng.integers(0, shape[-1])),)] = True
    line = np.zeros(shape, bool)
    line[tuple(int(rng.integers(0, n)) for n in shape[:-1]) + (slice(None),)] = True
    point = np.zeros(shape, bool)
    point[tuple(int(rng.integers(0, n)) for n in shape)] = True
    # The box's planes but its first whole: the OR of its planes spans a plane from the
    # second on, and planes after them may be empty (a body mask cut off above and below).
    planes = np.zeros(shape, bool)
    in_box = np.flatnonzero(box.any(axis=tuple(range(1, ndim))))
    planes[in_box] = True
    planes[in_box[:1]] = box[in_box[:1]]
    return {
        "box": box,
        "round": sum((c - m) ** 2 for c, m in zip(coords, centre, strict=True)) <= radius**2,
        "slab": slab,
        "line": line,
        "point": point,
        "noise": rng.random(shape) < rng.uniform(0.05, 0.7),
        "full": np.ones(shape, bool),
        "whole planes": planes,
    }


def variants(mask, rng):
    """The same mask as other dtypes and layouts (integers with values beyond 0 and 1 too)."""
    labelled = mask * rng.choice([1, 2, -1], size=mask.shape)
    yield mask
    # Boolean elements holding bytes other than 0 and 1, as views and C code may leave them.
    yield (mask * rng.choice([1, 2, 255], size=mask.shape)).astype(np.uint8).view(bool)
    yield mask.astype(np.uint8)
    yield labelled.astype(np.int16)
    yield np.asfortranarray(mask)
    padded = np.zeros(tuple(2 * n for n in mask.shape), np.int64)
    padded[tuple(slice(None, None, 2) for _ in mask.shape)] = mask
    yield padded[tuple(slice(None, None, 2) for _ in mask.shape)]
    yield labelled.astype(">i4")[::-1]


SPACINGS = {
    1: [[1.0], [0.7], [3]],
    2: [[1.0, 1.0], [0.7, 1.1], [1, 3], [2.5, 0.5]],
    3: [[1.0, 1.0, 1.0], [0.7, 1.1, 3.3], [1, 1, 2]],
}


@pytest.mark.parametrize("ndim", [1, 2, 3])
@pytest.mark.parametrize("seed", range(8))
def test_fast_paths_equal_the_plain_path(plain, ndim, seed):
    rng = np.random.default_rng(1000 * ndim + seed)
    masks = shapes(rng, ndim)
    names = list(masks)
    for name in names:
        other = masks[names[int(rng.integers(0, len(names)))]]
        for x in variants(masks[name], rng):
            for sp in SPACINGS[ndim]:
                as_numpy = list(np.array(sp, float))  # numpy.float64 items
                for args in [(x, sp), (x, tuple(sp)), (x, np.array(sp, float)), (x, as_numpy)]:
                    assert_same(outcome(medical._points_pair, *args),
                                plain(medical._points_pair, *args))  # fmt: skip
                for y, spacing in [(other, sp), (x, sp), (other, as_numpy)]:  # x: shells overlap
                    assert_same(outcome(medical._minimum_dis, x, y, spacing),
                                plain(medical._minimum_dis, x, y, spacing))  # fmt: skip


# NaN elements and an infinite spacing make numpy warn along the way; results are compared.
@pytest.mark.filterwarnings("ignore:invalid value encountered:RuntimeWarning")
def test_float_masks_and_odd_spacings_agree_with_the_plain_path(plain):
    rng = np.random.default_rng(7)
    x = (rng.random((7, 9)) < 0.4) * rng.choice([0.5, -0.0, np.nan, 2.0], size=(7, 9))
    cases = [(x, [1.0, 1.0]), (x.astype(np.float32), [0.3, 1.7]), (x.astype(np.float16), 2.0),
             (x.astype(">f8"), [0.3, 1.7]),
             (x, [0.0, 1.0]), (x, [np.inf, 1.0]), (x, [1.0]), (x, [True, 1.0]), (x, "ab"),
             (x.astype(np.complex128), [1.0, 1.0]), (np.zeros((0, 3)), [1.0, 1.0])]  # fmt: skip
    # Points near one end of an axis far longer than they are many.
    scattered = np.zeros((4, 20_000, 3), bool)
    scattered[tuple(rng.integers(0, n, size=150) for n in (4, 30, 3))] = True
    cases.append((scattered, [0.7, 1.1, 3.3]))
    for args in cases:
        assert_same(outcome(medical._points_pair, *args), plain(medical._points_pair, *args))
    y = rng.random((7, 9)) < 0.3
    for sp in ([1.0, 1.0], [0.5, 2], [0.0, 1.0], [1.0], [1.0, 1.0, 1.0]):
        for a, b in [(x, y), (y, x), (y, np.zeros_like(y)), (np.zeros_like(y), y)]:
            assert_same(outcome(medical._minimum_dis, a, b, sp),
                        plain(medical._minimum_dis, a, b, sp))  # fmt: skip


@pytest.mark.parametrize(
    "name",
    ["np", "combinations", "_to_shell", "binary_erosion", "binary_dilation", "label", "range",
     "np.argwhere", "np.argmax", "np.argmin", "np.array", "np.asarray", "np.vstack",
     "np.linalg", "np.linalg.norm", "np.where", "np.zeros_like", "np.ones_like"],
)  # fmt: skip
def test_any_rebound_name_gives_the_plain_path(monkeypatch, name):
    """Each name the steps read, rebound to a spy (in numpy itself for numpy's functions,
    in the module for built-ins): the steps go through it."""
    calls = []
    *path, attribute = name.split(".")
    owner = medical
    for part in path:
        owner = getattr(owner, part)
    original = getattr(owner, attribute, None) or getattr(builtins, attribute)

    class Spy:
        def __getattr__(self, attribute):
            calls.append(attribute)
            return getattr(original, attribute)

        def __call__(self, *args, **kwargs):
            calls.append("call")
            return original(*args, **kwargs)

    monkeypatch.setattr(owner, attribute, Spy(), raising=False)
    mask = np.zeros((6, 6), bool)
    mask[1:5, 2:4] = True
    medical._points_pair(mask, [1.0, 1.0])
    medical._minimum_dis(mask, np.eye(6, dtype=bool), [1.0, 1.0])
    medical._superposition(MASK, ~MASK)
    medical._diff_set(MASK, ~MASK)
    medical._union_set(MASK, ~MASK)
    medical._to_shell(MASK, 1)
    medical._is_cross(MASK, ~MASK, 1)
    medical._is_enclosed(MASK, ~MASK)
    assert calls  # the plain path went through the rebound name


ARGMAX = np.argmax  # not the patched one: that would call itself


def last_argmax(values):
    return len(values) - 1 - ARGMAX(np.asarray(values)[::-1])


TRIANGLE = np.zeros((3, 5), bool)
TRIANGLE[0, 0] = TRIANGLE[0, 4] = TRIANGLE[2, 1] = True


@pytest.mark.parametrize(
    ("patched", "replacement", "mask", "spacing"),
    [
        # A complex spacing is no float: read as its real part, it picks another pair.
        ("float64", np.complex128, TRIANGLE, [np.complex128(0.001 + 10j), 1.0]),
        # An int8 read as a float would read past the object.
        ("float64", np.int8, TRIANGLE, [np.int8(3), 1.0]),
        # The last of the equally far pairs (the square's diagonals) instead of the first.
        ("argmax", last_argmax, np.ones((4, 4), bool), [1.0, 1.0]),
    ],
)
def test_patched_numpy_names_give_the_plain_paths_answer(
    monkeypatch, plain, patched, replacement, mask, spacing
):
    monkeypatch.setattr(np, patched, replacement)
    assert_same(outcome(medical._points_pair, mask, spacing),
                plain(medical._points_pair, mask, spacing))  # fmt: skip


def extreme_pair(points, sp):
    """The first farthest pair in combinations() order, from the convex hull's vertices."""
    vertices = np.sort(ConvexHull(points * sp).vertices)
    best, pair = -1.0, None
    for i, j in itertools.combinations(vertices, 2):
        length = np.linalg.norm((points[i] - points[j]) * sp, ord=2)
        if length > best:
            best, pair = length, (points[i], points[j])
    return pair


def test_sizes_the_plain_path_cannot_reach():
    # 780,000 points: the plain path would need terabytes for its pairs.
    rows, cols = np.indices((1000, 1000))
    disc = (rows - 499.5) ** 2 + (cols - 500.2) ** 2 <= 499**2
    sp = np.array([0.7, 1.1])
    first, second = medical._points_pair(disc, sp)
    want = extreme_pair(np.argwhere(disc), sp)
    assert np.array_equal(first, want[0]) and np.array_equal(second, want[1])

    # Two balls with shells of about 25,000 points each (15 GB for the plain path).
    z, y, x = np.indices((100, 100, 210))
    ball1 = (z - 50) ** 2 + (y - 50) ** 2 + (x - 50) ** 2 <= 46**2
    ball2 = (z - 50) ** 2 + (y - 47) ** 2 + (x - 155) ** 2 <= 46**2
    spacing = [0.7, 1.1, 3.3]
    shells = [np.argwhere(b & ~ndimage.binary_erosion(b)) * spacing for b in (ball1, ball2)]
    nearest = cKDTree(shells[1]).query(shells[0])[0].min()
    assert medical._minimum_dis(ball1, ball2, spacing) == pytest.approx(nearest, rel=1e-12)

    # A slice's shell made a band of lines at a time: a point of y inside x, at a band's
    # first or last line or next to it, is as far from x's shell as from its border (a
    # band's end lines read their neighbours from the next band); in C and Fortran order,
    # as booleans and as labels, and with lines longer than a band.
    disc = (rows - 500) ** 2 + (cols - 500) ** 2 <= 450**2
    shell = np.argwhere(disc & ~ndimage.binary_erosion(disc))
    for row in (130, 131, 132, 262, 654, 655, 917, 918):
        probe = np.zeros(disc.shape, bool)
        probe[row, 480] = True
        want = cKDTree(shell).query([row, 480])[0]
        for x, y in [(disc, probe), (np.asfortranarray(disc), np.asfortranarray(probe)),
                     (disc.astype(np.uint8), probe.astype(np.uint8))]:  # fmt: skip
            assert medical._minimum_dis(x, y, [1.0, 1.0]) == want
            assert medical._minimum_dis(y, x, [1.0, 1.0]) == want
    # The last band's last line is the slice's border, though x's buffer goes on past it.
    full = np.ones((1001, 1000), bool)[:1000]
    probe = np.zeros(full.shape, bool)
    probe[998, 480] = True
    assert medical._minimum_dis(full, probe, [1.0, 1.0]) == 1.0
    long_lines = np.ones((3, 140_001), bool)
    probe = np.zeros(long_lines.shape, bool)
    probe[1, 70_000] = True
    assert medical._minimum_dis(long_lines, probe, [1.0, 1.0]) == 1.0
    # The enclosure's census of lines longer than one chunk: x's centroid counts the
    # positions of a later chunk from the line's start.
    ring = np.zeros((40, 5000), bool)
    ring[5:35, 2500:3500] = True
    ring[10:30, 2600:3400] = False
    inner = np.zeros(ring.shape, bool)
    inner[18:22, 2990:3010] = True
    points = np.argwhere(ring & ~inner)
    first = ConvexHull(points).vertices
    second = ConvexHull(np.vstack([points, np.argwhere(inner).mean(axis=0)])).vertices
    assert len(first) == len(second) and (first == second).all()
    for x, y in [(inner, ring), (inner.astype(np.uint8), ring.astype(np.uint8))]:
        assert medical._is_enclosed(x, y) is True

    # The shell of a Fortran-ordered volume and series (as nibabel gives them), worked out a
    # band of lines of up to 64 planes at a time: bands meet where the planes' lines go on,
    # the last band and the last group of planes are shorter, labels but 1 are on it.
    spread = np.random.default_rng(22)
    for shape in [(64, 200, 70), (16, 600, 10, 4)]:
        volume = ndimage.binary_dilation(spread.random(shape) < 0.02, iterations=2)
        labels = volume * spread.choice([1, 1, 1, 2], size=shape).astype(np.uint8)
        for x in map(np.asfortranarray, (volume, labels)):
            want = (x.astype(int) - ndimage.binary_erosion(x).astype(int)).astype(bool)
            got = medical._to_shell(x)
            assert got.flags.c_contiguous and np.array_equal(got, want)

    # A band worked out plane by plane: an element of y alone is one piece exactly where t
    # rounds reach it outside x.
    rng = np.random.default_rng(21)
    holed = ball1 & (rng.random(ball1.shape) < 0.97)
    probe = np.zeros(holed.shape, bool)
    for t in (1, 4):
        reached = ndimage.binary_dilation(holed, iterations=t) & ~holed
        near = np.argwhere(ndimage.binary_dilation(holed, iterations=t + 1) & ~holed)
        for point in map(tuple, near[rng.choice(len(near), size=40)]):
            probe[point] = True
            assert medical._is_cross(holed, probe, t) is not bool(reached[point])
            probe[point] = False
    # Pieces counted plane by plane as the band is worked out: halves apart in the first
    # planes that meet in a later one are one piece; a cap that ends early and the rest, two.
    band = ndimage.binary_dilation(ball1, iterations=2) & ~ball1
    walled = np.ones(ball1.shape, bool)
    walled[:60, :, 50] = False
    planes = np.arange(ball1.shape[0])[:, None, None]
    capped = np.ascontiguousarray(np.broadcast_to((planes < 8) | (planes > 20), ball1.shape))
    for y in (walled, capped):
        assert medical._is_cross(ball1, y, 2) is (ndimage.label(band & y)[1] != 1)
    assert [medical._is_cross(ball1, y, 2) for y in (walled, capped)] == [False, True]
    # A body mask's box: whole planes after a first one that reaches its first and last
    # lines but not its first and last columns, then empty planes; y is one block a plane
    # past the body, in a corner that only the later planes' columns reach.
    body = np.zeros((40, 30, 30), bool)
    body[6:26] = True
    body[5, 14:16, 14:16] = True
    body[5, [0, -1], 10:20] = True
    corner = np.zeros(body.shape, bool)
    corner[26, :5, :5] = True
    band = ndimage.binary_dilation(body) & ~body & corner
    assert ndimage.label(band)[1] == 1
    for x, y in [(body, corner), (np.asfortranarray(body), np.asfortranarray(corner))]:
        assert medical._is_cross(x, y, 1) is False
    # One piece of tens of thousands of runs: a label map's 2s on every other column, joined
    # by the first line of each plane, and through it from plane to plane.
    planes, lines, columns = np.indices((20, 60, 80))
    comb = ((columns % 2 == 0) | (lines == 0)).astype(np.uint8) * 2
    corner = np.zeros(comb.shape, np.uint8)
    corner[-1, -1, -1] = 1
    band = ndimage.binary_dilation(corner, iterations=1).astype(int) - corner + comb == 2
    assert ndimage.label(band)[1] == 1
    assert medical._is_cross(corner, comb, 1) is False
    # Label bytes read with their sign: where x is -1 and y 0, or x -2 and y -1 (int8), the
    # rounds' 1 - x + y is 2, so the whole of x is the band, one piece; read without their
    # sign, none of it is.
    for x, y in [(-holed.astype(np.int8), np.zeros(holed.shape, np.uint8)),
                 (-2 * holed.astype(np.int8), -holed.astype(np.int8))]:  # fmt: skip
        assert medical._is_cross(x, y, 1) is False
    # 255 (a label map's "ignore" value) in x, 0 in y: 1 - 255 + 0 is not 2, though it is 2
    # modulo 256; no band, no piece.
    ignored = 255 * holed.astype(np.uint8)
    assert medical._is_cross(ignored, np.zeros(holed.shape, np.uint8), 1) is True


# ------------------------------------------------------------- set operations, shells, bands

# int64 values whose sums wrap around: (2**63 - 1) + (-2**63 + 3) and -2**63 + (-2**63 + 2)
# are 2, as numpy's int64 addition has it.
WIDE = np.array([1, 2, -1, 3, 2**63 - 1, -(2**63), -(2**63) + 2, -(2**63) + 3], np.int64)


def layouts(array):
    """C and Fortran order, a reversed view, axes stored in another order, a strided view,
    a broadcast view (stride 0)."""
    yield array
    yield np.broadcast_to(array[:1], array.shape)
    yield np.asfortranarray(array)
    yield array[::-1]
    yield np.ascontiguousarray(np.moveaxis(array, 0, -1)).transpose(
        (array.ndim - 1, *range(array.ndim - 1))
    )
    padded = np.zeros(tuple(2 * n + 1 for n in array.shape), array.dtype)
    inner = tuple(slice(1, None, 2) for _ in array.shape)
    padded[inner] = array
    yield padded[inner]


def element_types(mask, rng):
    """The mask as booleans (bytes other than 0 and 1 too) and integers of every width,
    either byte order, with values beyond 0 and 1 and sums that wrap."""
    yield mask
    yield (mask * rng.choice([1, 2, 255], size=mask.shape)).astype(np.uint8).view(bool)
    for dtype in (np.int8, np.uint8, ">i2", np.uint16, np.int32, ">u4"):
        yield (mask * rng.choice([1, 2, -1], size=mask.shape)).astype(dtype)
    # Set elements whose first byte is 0, as a label map of wider labels has them.
    yield (mask * rng.choice([1, 256, 512], size=mask.shape)).astype(np.int16)
    wide = mask * rng.choice(WIDE, size=mask.shape)
    yield wide
    yield wide.astype(">u8")


def partners(x, other, rng):
    """Masks to pair with x: `other` in every element type, and one whose int64 values add
    up with x's to 2 (wrapping) at random elements."""
    yield from element_types(other, rng)
    if x.dtype.kind in "iu":
        values = x.astype(np.int64)
        yield np.where(rng.random(x.shape) < 0.5, 2 - values, values)


def enclosure(run, x, y):
    """_is_enclosed's outcome and what it handed to ConvexHull: the arrays' element type,
    shape, strides, contiguity, base shape and bytes."""
    handed = []

    def recording(points):
        base = None if points.base is None else points.base.shape
        flags = (points.flags.c_contiguous, points.flags.f_contiguous)
        handed.append((points.dtype.str, points.shape, points.strides, flags, base,
                       points.tobytes()))  # fmt: skip
        return ConvexHull(points)

    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(medical, "_convex", recording)
        result = run(medical._is_enclosed, x, y)
    return result, handed


@pytest.mark.filterwarnings("ignore:Mean of empty slice:RuntimeWarning")
@pytest.mark.filterwarnings("ignore:invalid value encountered:RuntimeWarning")
@pytest.mark.parametrize("ndim", [1, 2, 3, 4])
@pytest.mark.parametrize("seed", range(3))
def test_mask_operations_equal_the_plain_steps(plain, ndim, seed):
    rng = np.random.default_rng(100 * ndim + seed)
    masks = list(shapes(rng, ndim).values())
    for number, mask in enumerate(masks):
        other = masks[int(rng.integers(0, len(masks)))]
        # One element type per mask, in turn: every type for each ndim over the seeds.
        kinds = list(element_types(mask, rng))
        kind = kinds[(number + len(masks) * seed) % len(kinds)]
        mates = list(partners(kind, other, rng))
        for x in layouts(kind):
            ys = list(layouts(mates[int(rng.integers(0, len(mates)))]))
            y = ys[int(rng.integers(0, len(ys)))]
            calls = [(medical._superposition, x, y), (medical._diff_set, x, y),
                     (medical._union_set, x, y)]  # fmt: skip
            calls += [(medical._to_shell, x, t) for t in (0, 1, 3)]
            calls += [(medical._is_cross, x, y, t) for t in (0, 1, 4)]
            for func, *args in calls:
                assert_same(outcome(func, *args), plain(func, *args))
            assert enclosure(outcome, x, y) == enclosure(plain, x, y)


@pytest.mark.parametrize(
    ("shape", "density", "tols"),
    [
        # Distances beyond a byte (t >= 254), and beyond 16 bits (t >= 65534).
        ((1200,), 0.95, [253, 254, 599, 600, 10**18]),
        ((520, 520), 1.0, [300]),
        ((140_000,), 0.9, [70_000]),
    ],
)
def test_many_rounds_equal_the_rounds_that_reach_the_fixed_point(shape, density, tols):
    """The steps rendered with scipy, their rounds stopped where scipy's erosion or
    dilation gives back its input (every later round would give it again)."""

    def rounds(step, array, count):
        for _ in range(count):
            following = step(array)
            if np.array_equal(following, array):
                break
            array = following
        return array

    rng = np.random.default_rng(9)
    x = rng.random(shape) < density
    y = rng.random(shape) < 0.5
    for t in tols:
        eroded = rounds(ndimage.binary_erosion, x.copy(), t)
        shell = (x.astype(int) - eroded.astype(int)).astype(bool)
        assert_same(outcome(medical._to_shell, x, t), ("ok", shell))
        band = rounds(ndimage.binary_dilation, x.copy(), t).astype(int) - x + y.astype(int) == 2
        assert medical._is_cross(x, y, t) is (ndimage.label(band)[1] != 1)


class Subclass(np.ndarray):
    pass


MASK = np.zeros((5, 6), bool)
MASK[1:4, 2:5] = True


@pytest.mark.filterwarnings("ignore:invalid value encountered:RuntimeWarning")
@pytest.mark.parametrize(
    ("x", "y"),
    [
        (MASK * 0.7, MASK),  # astype(int) truncates floats
        (MASK, np.where(MASK, np.nan, 0.0)),  # ... and warns on NaN
        (MASK.astype(object), MASK),
        (MASK.view(Subclass), MASK),
        (MASK, MASK[:1]),  # broadcasting between shapes
        (MASK, MASK[:4]),  # shapes that do not broadcast
        (MASK[0, 0], MASK[1, 2]),  # 0-d
        (np.zeros((0, 3), bool), np.zeros((0, 3), bool)),
        (MASK.astype(">i2"), MASK),  # scipy's label refuses big-endian arrays
        (MASK.tolist(), MASK),
    ],
)
def test_arguments_the_fast_paths_leave_give_the_plain_results(plain, x, y):
    for func, *args in [(medical._superposition, x, y), (medical._diff_set, x, y),
                        (medical._union_set, x, y), (medical._to_shell, x, 1),
                        (medical._is_cross, x, y, 1)]:  # fmt: skip
        assert_same(outcome(func, *args), plain(func, *args))


@pytest.mark.parametrize(
    ("name", "replacement", "call", "expected"),
    [
        ("range", lambda n: iter(()), lambda: medical._to_shell(np.ones((3, 3), bool)).sum(), 0),
        ("range", lambda n: iter(()), lambda: medical._is_cross(MASK, ~MASK, 3), True),
        # numpy reads int and bool as types: 258 as int8 is 2, which with 0 adds up to 2.
        ("int", np.int8,
         lambda: medical._superposition((MASK * 258).astype(np.int16), ~MASK).sum(), 9),
        ("bool", np.uint8, lambda: medical._diff_set(MASK, ~MASK).dtype, np.uint8),
        ("bool", np.uint8, lambda: medical._to_shell(MASK, 1).dtype, np.uint8),
        # enumerate counting from 1 collects the pair before the farthest one.
        ("enumerate", lambda items: enumerate(items, 1),
         lambda: tuple(map(tuple, medical._points_pair(np.eye(3, dtype=bool), [1, 1]))),
         ((0, 0), (1, 1))),
        ("len", lambda items: 3, lambda: medical._is_mask_pair([MASK, MASK]), False),
        ("all", lambda items: True, lambda: medical._is_mask_pair([MASK, MASK.T]), True),
        ("zip", lambda *items: iter(()), lambda: medical._is_mask_pair([MASK, MASK.T]), True),
        ("zip", lambda *items: iter(()), lambda: medical._apply_spacing([1, 2], [3, 4]).size, 0),
    ],
)  # fmt: skip
def test_built_ins_are_read_as_a_function_body_reads_them(
    monkeypatch, name, replacement, call, expected
):
    monkeypatch.setattr(medical, name, replacement, raising=False)
    assert call() == expected


def test_the_plain_farthest_pair_walks_every_pair_twice(monkeypatch):
    walked = []

    def counting(items, r):
        walked.append(0)
        for pair in itertools.combinations(items, r):
            walked[-1] += 1
            yield pair

    monkeypatch.setattr(medical, "combinations", counting)
    medical._points_pair(np.ones((3, 4), bool), [1.0, 1.0])  # the winner is the 12th pair
    assert walked == [66, 66]


@pytest.mark.parametrize(
    "call",
    [lambda x, y: medical._superposition(x, y), lambda x, y: medical._diff_set(x, y),
     lambda x, y: medical._union_set(x, y), lambda x, y: medical._to_shell(x),
     lambda x, y: medical._to_shell(x, 4), lambda x, y: medical._is_cross(x, y, 4)],
)  # fmt: skip
def test_the_fast_paths_allocate_one_boolean_array(plain, call):
    """numpy traces its arrays' memory: the fast paths make only their result (or, for
    _is_cross, one scratch array), where the steps make int64 temporaries."""
    rng = np.random.default_rng(4)
    x, y = (rng.random((64, 64, 64)) < 0.5 for _ in range(2))
    peaks = []
    for run in (lambda: call(x, y), lambda: plain(call, x, y)):
        tracemalloc.start()
        try:
            run()
            peaks.append(tracemalloc.get_traced_memory()[1])
        finally:
            tracemalloc.stop()
    assert peaks[0] <= x.nbytes + 65536 < 8 * x.nbytes <= peaks[1]


VECTOR_CHECK = """
import pickle, sys
import numpy as np
from orvane.basic import medical
cases = pickle.loads(sys.stdin.buffer.read())
out = []
for x, y, sp, probes in cases:
    pair = [point.tolist() for point in medical._points_pair(x, sp)]
    single = np.zeros(x.shape, bool)
    crossing = []
    for t, point in probes:  # one element of y: is it in the band of t rounds?
        single[point] = True
        crossing.append(medical._is_cross(x, single, t))
        single[point] = False
    out.append((medical._to_shell(x).tobytes(), float(medical._minimum_dis(x, y, sp)), pair,
                crossing))
sys.stdout.buffer.write(pickle.dumps(out))
"""

ROUNDS = (1, 2, 5, 9)


def vector_width_masks():
    """Masks with lines longer than a vector and of odd lengths, bytes other than 0 and 1,
    on 1, 2 and 3 axes: balls with holes, a second mask near each, and elements near the
    first to probe its band."""
    rng = np.random.default_rng(11)
    cases = []
    for shape, sp in [((150,), [0.7]), ((61, 203), [0.7, 1.1]), ((23, 37, 131), [2.5, 0.8, 0.8]),
                      ((9, 12, 67), [1, 1, 3])]:  # fmt: skip
        coords = np.indices(shape)
        centre = [n / 2 for n in shape]
        axes = zip(coords, centre, shape, strict=True)
        ball = sum((c - m) ** 2 / (n / 2.5) ** 2 for c, m, n in axes) <= 1
        x = ball & (rng.random(shape) < 0.97)
        x = (x * rng.choice([1, 2, 255], size=shape)).astype(np.uint8).view(bool)
        y = np.roll(ball, shape[-1] // 2 + 3, axis=-1) & ~ball
        near = np.argwhere(ndimage.binary_dilation(x, iterations=max(ROUNDS) + 1) & ~x)
        chosen = near[rng.choice(len(near), size=60)]
        probes = [(int(rng.choice(ROUNDS)), tuple(int(i) for i in point)) for point in chosen]
        cases.append((x, y, sp, probes))
        # As nibabel gives a volume (Fortran order), and as a label map of values 0, 1 and 2.
        labels = x.astype(np.uint8) * rng.choice([1, 2], size=shape).astype(np.uint8)
        cases += [(np.asfortranarray(x), np.asfortranarray(y), sp, probes),
                  (labels, y, sp, probes), (np.asfortranarray(labels), y, sp, probes)]  # fmt: skip
    return cases


@pytest.mark.parametrize("width", ["baseline", "avx2"])
def test_every_vector_width_gives_the_same_answers(width):
    """The kernels are built for several vector widths and picked at import; the
    narrower ones, which this machine may never pick, run in a child capped by ORVANE_ISA."""
    cases = vector_width_masks()
    env = dict(os.environ, ORVANE_ISA=width)
    child = subprocess.run([sys.executable, "-c", VECTOR_CHECK], input=pickle.dumps(cases),
                           capture_output=True, env=env, check=True)  # fmt: skip
    answers = pickle.loads(child.stdout)
    for (x, y, sp, probes), (shell, distance, pair, crossing) in zip(cases, answers, strict=True):
        eroded = ndimage.binary_erosion(x)
        assert shell == (x.astype(int) - eroded.astype(int)).astype(bool).tobytes()
        assert shell == medical._to_shell(x).tobytes()
        assert distance == medical._minimum_dis(x, y, sp)
        assert pair == [point.tolist() for point in medical._points_pair(x, sp)]
        # One piece (False) exactly where the element is reached and not in x.
        reached = [ndimage.binary_dilation(x, iterations=t) for t in ROUNDS]
        for (t, point), crosses in zip(probes, crossing, strict=True):
            assert crosses is not (reached[ROUNDS.index(t)][point] and not x[point])
