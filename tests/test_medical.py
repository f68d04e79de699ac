"""The mask geometry module against short plain-numpy renderings of each operation."""

import itertools

import numpy as np
import pytest
import SimpleITK
from scipy import ndimage
from scipy.spatial import ConvexHull, QhullError

from orvane.basic import medical

# ---------------------------------------------------------------- plain renderings


def plain_shell(x, tol=1):
    eroded = x.copy()
    for _ in range(tol):
        eroded = ndimage.binary_erosion(eroded)
    return (x.astype(int) - eroded.astype(int)).astype(bool)


def plain_points_pair(x, sp):
    idx = np.argwhere(x)
    pairs = list(itertools.combinations(range(len(idx)), 2))
    lengths = np.linalg.norm(np.array([idx[i] - idx[j] for i, j in pairs]) * sp, ord=2, axis=1)
    first, second = pairs[np.argmax(lengths)]
    return idx[first], idx[second]


def plain_minimum_dis(x, y, sp):
    idx1, idx2 = np.argwhere(plain_shell(x)), np.argwhere(plain_shell(y))
    rows = (idx2[None, :, :] - idx1[:, None, :]).reshape(-1, x.ndim) * np.asarray(sp)
    return np.linalg.norm(rows[np.argmin(np.linalg.norm(rows, ord=2, axis=1))], ord=2)


def plain_is_cross(x, y, tol):
    dilated = x.copy()
    for _ in range(tol):
        dilated = ndimage.binary_dilation(dilated)
    band_in_y = (dilated.astype(int) - x.astype(int) + y.astype(int)) == 2
    return ndimage.label(band_in_y)[1] != 1


def plain_is_enclosed(x, y):
    outside = np.argwhere((y.astype(int) * (x == 0)) == 1)
    centroid = np.argwhere(x).mean(axis=0)
    before = ConvexHull(outside).vertices
    after = ConvexHull(np.vstack([outside, centroid])).vertices
    return len(before) == len(after) and bool(np.all(before == after))


# ---------------------------------------------------------------- random masks


def layouts(mask):
    """The same mask as C- and Fortran-ordered arrays and as a non-contiguous view."""
    padded = np.zeros(tuple(2 * n for n in mask.shape), dtype=mask.dtype)
    padded[tuple(slice(None, None, 2) for _ in mask.shape)] = mask
    view = padded[tuple(slice(None, None, 2) for _ in mask.shape)]
    assert not view.flags.c_contiguous
    return [mask, np.asfortranarray(mask), view]


def random_masks(seed, ndim):
    rng = np.random.default_rng(seed)
    shape = tuple(rng.integers(4, 9 if ndim == 2 else 6, size=ndim))
    masks = []
    for density in (0.3, 0.6):
        mask = rng.random(shape) < density
        mask[(0,) * ndim] = True  # touches the border
        masks.append(mask)
    return masks


SPACINGS = {2: [[1.0, 1.0], [0.7, 1.1], [3.0, 0.25]], 3: [[1.0, 1.0, 1.0], [0.7, 1.1, 3.3]]}
CASES = [(seed, ndim) for ndim in (2, 3) for seed in range(6)]


def assert_same_pair(got, expected):
    assert isinstance(got, tuple) and len(got) == 2
    for point, want in zip(got, expected, strict=True):
        assert point.dtype == want.dtype and np.array_equal(point, want)


@pytest.mark.parametrize(("seed", "ndim"), CASES)
def test_every_operation_equals_its_plain_rendering(seed, ndim):
    first, second = random_masks(seed, ndim)
    for dtype in (bool, np.int64, np.uint8):
        for x, y in zip(layouts(first.astype(dtype)), layouts(second.astype(dtype)), strict=True):
            before = (x.copy(), y.copy())
            for tol in (0, 1, 2):
                shell = medical._to_shell(x, tol)
                assert shell.dtype == bool and np.array_equal(shell, plain_shell(x, tol))
                assert medical._is_cross(x, y, tol) is plain_is_cross(x, y, tol)
            for sp in SPACINGS[ndim]:
                assert_same_pair(medical._points_pair(x, sp), plain_points_pair(x, sp))
                got, want = medical._minimum_dis(x, y, sp), plain_minimum_dis(x, y, sp)
                assert type(got) is type(want) and got.tobytes() == want.tobytes()
            sum_ = x.astype(int) + y.astype(int)
            for got, want in [
                (medical._superposition(x, y), sum_ == 2),
                (medical._diff_set(x, y), x.astype(bool) & (y == 0)),
                (medical._union_set(x, y), sum_ != 0),
            ]:
                assert got.dtype == bool and np.array_equal(got, want)
            # Arguments are only read.
            assert np.array_equal(x, before[0]) and x.dtype == before[0].dtype
            assert np.array_equal(y, before[1])


def test_shell_of_a_square_its_border_and_large_tolerances():
    mask = np.zeros((9, 9), bool)
    mask[2:7, 2:7] = True
    shell = medical._to_shell(mask)
    assert shell.sum() == 16 and not shell[3:6, 3:6].any()
    assert not medical._to_shell(mask, 0).any()
    assert np.array_equal(medical._to_shell(mask, 10**6 // 10**5 + 5), mask)
    full = medical._to_shell(np.ones((3, 3), bool))
    assert full.sum() == 8 and not full[1, 1]
    assert not medical._to_shell(mask, -3).any()


def test_farthest_pair_ties_and_spacing():
    square = medical._points_pair(np.ones((4, 4), bool), [1, 1])
    assert_same_pair(square, (np.array([0, 0]), np.array([3, 3])))
    two = np.zeros((5, 5), bool)
    two[4, 1] = two[1, 3] = True
    assert_same_pair(medical._points_pair(two, [1.0, 1.0]), (np.array([1, 3]), np.array([4, 1])))
    rect = np.zeros((4, 10), bool)
    rect[0, 0] = rect[3, 1] = rect[1, 9] = True
    assert tuple(map(tuple, medical._points_pair(rect, [1, 1]))) == ((0, 0), (1, 9))
    assert tuple(map(tuple, medical._points_pair(rect, [100, 1]))) == ((0, 0), (3, 1))
    # Short last axes (a series' time points) are read a block of lines at a time: blocks
    # of less than a word, of two words, and of two with a partial last word.
    rng = np.random.default_rng(5)
    for width in (3, 9, 20):
        series = rng.random((3, 24, width)) < 0.3
        for mask in (series, series * np.uint8(2)):
            got = medical._points_pair(mask, [1.0, 0.7, 2.0])
            assert_same_pair(got, plain_points_pair(mask, [1.0, 0.7, 2.0]))


def test_farthest_pair_needs_two_points_and_a_fitting_spacing():
    one = np.zeros((3, 3), bool)
    one[1, 1] = True
    with pytest.raises(ValueError):
        medical._points_pair(one, [1, 1])
    with pytest.raises(ValueError):
        medical._points_pair(np.ones((3, 3), bool), [1, 1, 1])


def test_minimum_distance_examples():
    x, y = np.zeros((5, 5), bool), np.zeros((5, 5), bool)
    x[0, 0], y[3, 4] = True, True
    assert medical._minimum_dis(x, y, [1, 1]) == 5.0
    assert medical._minimum_dis(x, y, [2.0, 1.0]) == pytest.approx(np.sqrt(52))
    assert medical._minimum_dis(y, x, [2.0, 1.0]) == medical._minimum_dis(x, y, [2.0, 1.0])
    assert medical._minimum_dis(x, x | y, [1.0, 1.0]) == 0.0
    with pytest.raises(ValueError):
        medical._minimum_dis(np.zeros((5, 5), bool), y, [1.0, 1.0])
    with pytest.raises(ValueError):
        medical._minimum_dis(x, np.zeros((5, 5), bool), [1.0, 1.0])


def band_cases():
    x = np.zeros((9, 9), bool)
    x[3:6, 3:6] = True
    one_piece = np.zeros_like(x)
    one_piece[0:3, 4] = True
    through = np.zeros_like(x)
    through[:, 4] = True
    far = np.zeros_like(x)
    far[0, 0] = True
    return x, one_piece, through, far


def test_crossing_test_counts_pieces_of_the_band():
    x, one_piece, through, far = band_cases()
    assert medical._is_cross(x, one_piece, 1) is False
    assert medical._is_cross(x, through, 1) is True
    assert medical._is_cross(x, far, 1) is True
    assert medical._is_cross(x, one_piece, 0) is True
    corner = np.zeros((3, 3), bool)
    corner[1, 1] = True
    touching = np.zeros_like(corner)
    touching[0, 0] = touching[2, 2] = True
    assert medical._is_cross(corner, touching, 2) is True
    # One piece whose last line holds two of its runs (an arch, its legs down).
    arch = np.zeros((9, 9), bool)
    arch[0, 1:6] = arch[1:3, 1] = arch[1:3, 5] = True
    point = np.zeros_like(arch)
    point[7, 7] = True
    assert medical._is_cross(point, arch, 20) is False
    # Label maps of a series whose few time points are its last axis (read in blocks that
    # are turned across): a staircase of 2s through the last two axes is one piece only
    # where every element lands in its place; random labels, and x's band cutting them.
    rng = np.random.default_rng(8)
    for shape in [(1, 40, 5), (1, 1, 35, 9), (1, 20, 17), (3, 40, 5), (2, 20, 17)]:
        stairs = np.zeros(shape, np.uint8)
        for b in range(shape[-2]):
            stairs[..., b, [min(b, shape[-1] - 1), min(b + 1, shape[-1] - 1)]] = 2
        labels = rng.choice(np.array([0, 1, 2], np.uint8), size=shape, p=[0.5, 0.2, 0.3])
        ball = np.zeros(shape, np.uint8)
        ball[..., 5:12, 1:4] = 1
        for x, y in [(0 * ball, stairs), (ball, stairs), (ball, labels), (labels, labels)]:
            for t in (0, 1, 2):
                assert medical._is_cross(x, y, t) is plain_is_cross(x, y, t)
    assert medical._is_cross(0 * stairs[:1], stairs[:1], 0) is False  # one piece indeed


def test_set_operations_follow_integer_sums():
    assert medical._superposition(np.array([[2, 1]]), np.array([[0, 1]])).tolist() == [[True, True]]
    ints = np.array([[0, 1], [1, 1]])
    union = medical._union_set(ints, ints)
    assert union.dtype == bool and np.array_equal(union, ints.astype(bool))
    assert not medical._diff_set(ints, ints).any()
    # Every pair of byte values, either sign: 255 and 3 (uint8) add up to 258, not 2.
    a, b = np.divmod(np.arange(256 * 256), 256)
    for x_type, y_type in itertools.product([np.uint8, np.int8], repeat=2):
        x, y = a.astype(x_type).reshape(256, 256), b.astype(y_type).reshape(256, 256)
        sums = x.astype(int) + y.astype(int)
        assert np.array_equal(medical._superposition(x, y), sums == 2)
        assert np.array_equal(medical._union_set(x, y), sums != 0)


def ring_and_core(size=21):
    yy, xx = np.mgrid[:size, :size]
    radius = np.hypot(yy - size // 2, xx - size // 2)
    return (radius <= size // 2 - 1) & (radius > 5), radius <= 2


def test_enclosure_by_convex_hulls():
    ring, core = ring_and_core()
    assert medical._is_enclosed(core, ring) is plain_is_enclosed(core, ring)
    beside = np.zeros_like(ring)
    beside[0:2, 0:2] = True
    assert medical._is_enclosed(beside, ring) is False
    few, inner = np.zeros((5, 5), bool), np.zeros((5, 5), bool)
    few[0, 0] = few[4, 4] = inner[2, 2] = True
    with pytest.raises(QhullError):
        medical._is_enclosed(inner, few)


def test_helpers():
    m = np.zeros((3, 4), bool)
    assert medical._is_mask_pair([m]) is False
    assert medical._is_mask_pair((m, m, m)) is False
    assert medical._is_mask_pair([m, np.zeros((3, 4, 5), bool)]) is True
    assert medical._is_mask_pair([m, np.zeros((4, 3), bool)]) is False
    assert medical._is_mask_pair([m, m.astype(np.uint8)]) is False
    with pytest.raises(AttributeError):
        medical._is_mask_pair([[1, 2], [3, 4]])
    scaled = medical._apply_spacing([2, 3, 4], [0.5, 2.0])
    assert isinstance(scaled, np.ndarray) and scaled.tolist() == [1.0, 6.0]

    image = medical._itk_img(np.zeros((2, 3, 4)), [1.0, 1.0, 2.0])
    plain = SimpleITK.GetImageFromArray(np.zeros((2, 3, 4)))
    assert isinstance(image, SimpleITK.Image)
    assert image.GetSpacing() == (1.0, 1.0, 2.0) and image.GetOrigin() == (0.0, 0.0, 0.0)
    assert image.GetDirection() == plain.GetDirection()
    flipped = medical._itk_img(np.zeros((2, 3)), [1, 2], [5, 6], [-1, 0, 0, 1])
    assert flipped.GetOrigin() == (5.0, 6.0) and flipped.GetDirection() == (-1, 0, 0, 1)


@pytest.mark.parametrize(
    ("function", "args", "message"),
    [
        ("_to_shell", (True,), "'__tol' has incorrect type (expected int, got bool)"),
        ("_to_shell", (np.int64(1),), "'__tol' has incorrect type (expected int, got numpy.int64)"),
        ("_minimum_dis", (None, (1.0, 1.0)), "'sp' has incorrect type (expected list, got tuple)"),
        ("_minimum_dis", (None, None), "'sp' has incorrect type (expected list, got NoneType)"),
        ("_is_cross", (None, True), "'_tol' has incorrect type (expected int, got bool)"),
    ],
)
def test_entry_checks_come_before_any_work(function, args, message):
    # The masks are None: any work done before the check would fail differently.
    with pytest.raises(TypeError) as info:
        getattr(medical, function)(None, *args)
    assert str(info.value) == f"Argument {message}"


def test_namespace_signatures_and_function_objects():
    names = [n for n in vars(medical) if not n.startswith("__")]
    assert names == [
        "combinations", "binary_dilation", "binary_erosion", "label", "Itk", "np", "_convex",
        "_itk_img", "_is_mask_pair", "_apply_spacing", "_superposition", "_is_enclosed",
        "_diff_set", "_union_set", "_points_pair", "_to_shell", "_minimum_dis", "_is_cross",
    ]  # fmt: skip
    assert medical.Itk is SimpleITK and medical._convex is ConvexHull
    assert medical.binary_erosion is ndimage.binary_erosion
    assert medical._to_shell.__defaults__ == (1,) and medical._itk_img.__defaults__ == (None, None)
    assert medical._to_shell.__annotations__ == {
        "x": "np.ndarray", "__tol": "int", "return": "np.ndarray"
    }  # fmt: skip
    assert medical._points_pair.__annotations__["return"] == "tuple[np.ndarray, np.ndarray]"
    assert list(medical._minimum_dis.__annotations__) == ["x", "y", "sp"]
    for name in names[7:]:
        func = getattr(medical, name)
        assert func.__module__ == "orvane.basic.medical" and func.__doc__ is None
        assert func.__qualname__ == (name if name not in names[7:10] else "<lambda>")
    # __tol is the real parameter name.
    assert medical._to_shell(np.ones((3, 3), bool), __tol=0).sum() == 0


def test_module_names_are_looked_up_at_each_call(monkeypatch):
    mask = np.ones((4, 4), bool)
    calls = []

    def counting_erosion(array):
        calls.append(array.shape)
        return ndimage.binary_erosion(array)

    monkeypatch.setattr(medical, "binary_erosion", counting_erosion)
    medical._to_shell(mask, 2)
    medical._minimum_dis(mask, mask, [1.0, 1.0])
    assert calls == [(4, 4)] * 4

    shells = []
    monkeypatch.setattr(medical, "_to_shell", lambda m: shells.append(m) or plain_shell(m))
    medical._minimum_dis(mask, np.eye(4, dtype=bool), [1.0, 1.0])
    assert len(shells) == 2 and shells[0] is mask

    monkeypatch.setattr(medical, "np", None)
    with pytest.raises(AttributeError):
        medical._superposition(mask, mask)


class Logged(np.ndarray):
    """An array that records the methods the steps call on it, by the name it was given."""

    log: list = []
    tag = "derived"  # arrays numpy makes from a logged one

    def astype(self, *args, **kwargs):
        Logged.log.append(f"{self.tag}.astype")
        return self.view(np.ndarray).astype(*args, **kwargs)

    def copy(self, *args, **kwargs):
        Logged.log.append(f"{self.tag}.copy")
        return self.view(np.ndarray).copy(*args, **kwargs)


def logged(mask, tag):
    array = mask.view(Logged)
    array.tag = tag
    return array


@pytest.mark.parametrize(
    ("name", "extra", "steps"),
    [
        ("_superposition", (), ["x.astype", "y.astype"]),
        ("_union_set", (), ["x.astype", "y.astype", "derived.astype"]),
        ("_to_shell", None, ["x.copy", "x.astype"]),
        ("_is_cross", (1,), ["x.copy", "x.astype", "y.astype"]),
    ],
)
def test_steps_run_in_pythons_order(name, extra, steps):
    """x.astype(int) + y.astype(int) evaluates x first, as Python does."""
    mask = np.zeros((5, 5), bool)
    mask[1:4, 1:4] = True
    args = (logged(mask, "x"),) if extra is None else (logged(mask, "x"), logged(mask, "y"), *extra)
    Logged.log = []
    getattr(medical, name)(*args)
    assert Logged.log == steps
    with pytest.raises(AttributeError, match="'list' object has no attribute 'astype'"):
        medical._superposition([1], {})
