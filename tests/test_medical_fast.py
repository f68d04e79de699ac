"""The native fast paths of the farthest pair and the minimum distance against the
plain path of the same module, which a rebound module name forces."""

import itertools

import numpy as np
import pytest
from scipy import ndimage
from scipy.spatial import ConvexHull, cKDTree

from orvane.basic import medical


def same_combinations(*args):
    return itertools.combinations(*args)


@pytest.fixture
def plain(monkeypatch):
    """Runs a function with the plain path (an equal but different `combinations`)."""

    def run(func, *args):
        with monkeypatch.context() as patch:
            patch.setattr(medical, "combinations", same_combinations)
            return outcome(func, *args)

    return run


def outcome(func, *args):
    try:
        return ("ok", func(*args))
    except Exception as exc:
        return (type(exc), str(exc))


def assert_same(fast, slow):
    assert fast[0] == slow[0]
    if fast[0] != "ok":
        assert fast == slow
    elif isinstance(slow[1], tuple):
        assert len(fast[1]) == len(slow[1]) == 2
        for got, want in zip(fast[1], slow[1], strict=True):
            assert got.dtype == want.dtype and np.array_equal(got, want)
    else:
        assert type(fast[1]) is type(slow[1]) and fast[1].tobytes() == slow[1].tobytes()


def grid(shape):
    return np.indices(shape).astype(float)


def shapes(rng, ndim):
    """Tie-rich masks: boxes, discs and balls, lines, flat slabs, points, noise."""
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
    return {
        "box": box,
        "round": sum((c - m) ** 2 for c, m in zip(coords, centre, strict=True)) <= radius**2,
        "slab": slab,
        "line": line,
        "point": point,
        "noise": rng.random(shape) < rng.uniform(0.05, 0.7),
        "full": np.ones(shape, bool),
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
             (x, [0.0, 1.0]), (x, [np.inf, 1.0]), (x, [1.0]), (x, [True, 1.0]), (x, "ab"),
             (x.astype(np.complex128), [1.0, 1.0]), (np.zeros((0, 3)), [1.0, 1.0])]  # fmt: skip
    for args in cases:
        assert_same(outcome(medical._points_pair, *args), plain(medical._points_pair, *args))
    y = rng.random((7, 9)) < 0.3
    for sp in ([1.0, 1.0], [0.5, 2], [0.0, 1.0], [1.0], [1.0, 1.0, 1.0]):
        for a, b in [(x, y), (y, x), (y, np.zeros_like(y)), (np.zeros_like(y), y)]:
            assert_same(outcome(medical._minimum_dis, a, b, sp),
                        plain(medical._minimum_dis, a, b, sp))  # fmt: skip


@pytest.mark.parametrize(
    "name",
    ["np", "combinations", "_to_shell", "binary_erosion", "np.argwhere", "np.argmax",
     "np.argmin", "np.array", "np.asarray", "np.vstack", "np.linalg", "np.linalg.norm"],
)  # fmt: skip
def test_any_rebound_name_gives_the_plain_path(monkeypatch, name):
    """A rebound module name, or a numpy function patched in numpy itself."""
    calls = []
    *path, attribute = name.split(".")
    owner = medical
    for part in path:
        owner = getattr(owner, part)
    original = getattr(owner, attribute)

    class Spy:
        def __getattr__(self, attribute):
            calls.append(attribute)
            return getattr(original, attribute)

        def __call__(self, *args, **kwargs):
            calls.append("call")
            return original(*args, **kwargs)

    monkeypatch.setattr(owner, attribute, Spy())
    mask = np.zeros((6, 6), bool)
    mask[1:5, 2:4] = True
    medical._points_pair(mask, [1.0, 1.0])
    medical._minimum_dis(mask, np.eye(6, dtype=bool), [1.0, 1.0])
    assert calls  # the plain path went through the rebound name


def last_argmax(values):
    return len(values) - 1 - np.argmax(np.asarray(values)[::-1])


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
