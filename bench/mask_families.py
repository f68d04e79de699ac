"""Masks as users bring them, for the benchmark of the mask geometry: shape families built
slice by slice with fixed seeds, in the layouts, element types and numbers of axes that
imaging tools give (nibabel's Fortran order, label maps, 2-D slices, 4-D series).

    .venv/bin/python bench/mask_families.py [--quick]

(and bench/bench_medical.py, after its own tables) prints, per family and layout, each
function as a multiple of one x.copy(order="K") in the same process, beside the library
route a user would take otherwise, and _is_enclosed against its two ConvexHull calls.
"""

import sys
import time
import warnings
from pathlib import Path

import numpy as np
from scipy import ndimage
from scipy.spatial import ConvexHull, QhullError, cKDTree
from scipy.spatial.distance import pdist

from orvane.basic import medical

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_medical import best_seconds  # noqa: E402

SPACING3 = [0.8, 0.8, 2.5]


def _ball_slices(shape, centre, radius, out):
    """Marks a ball (round under SPACING3's first two axes, in index units) slice by slice."""
    j, k = np.ogrid[: shape[1], : shape[2]]
    plane = (j - centre[1]) ** 2 + (k - centre[2]) ** 2
    for i in range(shape[0]):
        out[i] |= plane + (i - centre[0]) ** 2 <= radius**2


def round_blob(shape):
    x = np.zeros(shape, bool)
    n = min(shape)
    _ball_slices(shape, [s / 2 for s in shape], 0.3 * n, x)
    return x


def elongated(shape):
    """A rotated elongated blob: an ellipsoid whose long axis runs diagonally."""
    x = np.zeros(shape, bool)
    j, k = np.ogrid[: shape[1], : shape[2]]
    for i in range(shape[0]):
        u = (i - shape[0] / 2 + j - shape[1] / 2) / np.sqrt(2)
        v = (i - shape[0] / 2 - j + shape[1] / 2) / np.sqrt(2)
        w = k - shape[2] / 2
        x[i] = (u / (0.45 * shape[0])) ** 2 + (v / (0.12 * shape[0])) ** 2 + (
            w / (0.15 * shape[2])
        ) ** 2 <= 1
    return x


def hollow_wall(shape):
    outer = round_blob(shape)
    inner = np.zeros(shape, bool)
    _ball_slices(shape, [s / 2 for s in shape], 0.3 * min(shape) - 3, inner)
    return outer & ~inner


def thin_tree(shape, seed=1):
    """Vessel-like: random walks one voxel thick."""
    rng = np.random.default_rng(seed)
    x = np.zeros(shape, bool)
    for _ in range(24):
        p = np.array([rng.integers(0, s) for s in shape])
        for _ in range(4 * max(shape)):
            x[tuple(p)] = True
            p = np.clip(p + rng.integers(-1, 2, size=3), 0, np.array(shape) - 1)
    return x


def scattered(shape, seed=2):
    """300 small lesions."""
    rng = np.random.default_rng(seed)
    x = np.zeros(shape, bool)
    for _ in range(300):
        c = [rng.integers(3, s - 3) for s in shape]
        x[c[0] - 1 : c[0] + 2, c[1] - 1 : c[1] + 2, c[2] - 1 : c[2] + 2] = True
    return x


def dense(shape):
    """A body mask filling about 90% of the volume."""
    x = np.zeros(shape, bool)
    j, k = np.ogrid[: shape[1], : shape[2]]
    plane = ((j - shape[1] / 2) / (0.53 * shape[1])) ** 2 + (
        (k - shape[2] / 2) / (0.53 * shape[2])
    ) ** 2
    for i in range(1, shape[0] - 1):
        x[i] = plane <= 1
    return x


def noisy(shape, seed=3):
    """A round blob with 1% salt-and-pepper noise."""
    rng = np.random.default_rng(seed)
    x = round_blob(shape)
    for i in range(shape[0]):
        x[i] ^= rng.random(shape[1:]) < 0.01
    return x


def slabs(shape):
    """Two thin parallel slabs (many equal distances)."""
    x = np.zeros(shape, bool)
    y = np.zeros(shape, bool)
    x[:, :, shape[2] // 2 - 6 : shape[2] // 2 - 4] = True
    y[:, :, shape[2] // 2 + 4 : shape[2] // 2 + 6] = True
    return x, y


FAMILIES = {
    "round": round_blob, "elongated": elongated, "wall": hollow_wall, "vessels": thin_tree,
    "lesions": scattered, "dense": dense, "noisy": noisy,
}  # fmt: skip


def partner(x):
    """A second mask beside x: x shifted by a few voxels along the second axis."""
    return np.roll(x, 4, axis=1)


def as_layout(x, layout):
    if layout == "C bool":
        return np.ascontiguousarray(x)
    if layout == "F bool":
        return np.asfortranarray(x)
    labels = x.astype(np.uint8)
    labels[:, : x.shape[1] // 2] *= 2  # two labels: 1 and 2
    if layout == "C uint8":
        return labels
    return np.asfortranarray(labels)


def spacing_of(x):
    """SPACING3 for a volume; its first axes for a slice, 1.0 for the time of a series."""
    return (SPACING3 + [1.0] * x.ndim)[: x.ndim]


ROWS = {
    "_superposition": lambda x, y: medical._superposition(x, y),
    "_to_shell": lambda x, y: medical._to_shell(x),
    "_is_cross": lambda x, y: medical._is_cross(x, y, 4),
    "_points_pair": lambda x, y: medical._points_pair(x, spacing_of(x)),
    "_minimum_dis": lambda x, y: medical._minimum_dis(x, y, spacing_of(x)),
}


def shell_points(x):
    return np.argwhere(x & ~ndimage.binary_erosion(x))


# What a user would call instead, on the same masks (boolean, C order).
LIBRARY = {
    "_superposition": lambda x, y: np.logical_and(x, y),
    "_to_shell": lambda x, y: x & ~ndimage.binary_erosion(x),
    "_is_cross": lambda x, y: ndimage.label(
        ndimage.binary_dilation(x, iterations=4) & ~x & y)[1] != 1,
    "_points_pair": lambda x, y: pdist(
        (points := shell_points(x) * spacing_of(x))[ConvexHull(points).vertices]).max(),
    "_minimum_dis": lambda x, y: cKDTree(shell_points(y) * spacing_of(y)).query(
        shell_points(x) * spacing_of(x))[0].min(),
}  # fmt: skip


def cell(func, unit):
    """func's time as a multiple of `unit`, or what it raised."""
    try:
        return f"{best_seconds(func) / unit:7.1f}x"
    except (ValueError, QhullError) as exc:
        return f"{type(exc).__name__[:7]:>8}"


def table(shape, layouts, families, library=True):
    """Rows of (family, layout, copy ms, one cell per function)."""
    label = "x".join(map(str, shape))
    print(f"\nmask families, {label}: each function as a multiple of x.copy(order='K')")
    print(
        f"{'family':<10} {'layout':<11} {'copy ms':>7} " + " ".join(f"{r[:13]:>13}" for r in ROWS)
    )
    rows = []
    for family in families:
        made = FAMILIES[family](shape)
        layout_names = layouts + (["library"] if library else [])
        for layout in layout_names:
            x = as_layout(made, "C bool" if layout == "library" else layout)
            y = as_layout(partner(made), "C bool" if layout == "library" else layout)
            unit = min(best_seconds(lambda x=x: x.copy(order="K")) for _ in range(3))
            funcs = LIBRARY if layout == "library" else ROWS
            cells = [cell(lambda f=func, x=x, y=y: f(x, y), unit) for func in funcs.values()]
            rows.append((family, layout, unit, cells))
            shown = " ".join(f"{c:>13}" for c in cells)
            print(f"{family:<10} {layout:<11} {unit * 1e3:7.2f} {shown}", flush=True)
    return rows


def series(shape):
    """A 4-D series: a ball that moves along the first axis from one time point to the next."""
    x = np.zeros(shape, bool)
    for t in range(shape[3]):
        volume = np.zeros(shape[:3], bool)
        _ball_slices(shape[:3], [shape[0] / 2 + 2 * t, shape[1] / 2, shape[2] / 2],
                     0.3 * min(shape[:3]), volume)  # fmt: skip
        x[..., t] = volume
    return x


def slice_disc(shape):
    i, j = np.ogrid[: shape[0], : shape[1]]
    return (i - shape[0] / 2) ** 2 + (j - shape[1] / 2) ** 2 <= (0.3 * min(shape)) ** 2


def degenerate(shape):
    """Empty and one-voxel masks: the functions refuse them, as the plain steps do."""
    label = "x".join(map(str, shape))
    print(f"\nempty and one-voxel masks, {label}: the refusal, as a multiple of x.copy()")
    empty = np.zeros(shape, bool)
    one = empty.copy()
    one[tuple(n // 2 for n in shape)] = True
    unit = min(best_seconds(lambda: empty.copy(order="K")) for _ in range(3))
    calls = {
        "_points_pair(empty)": lambda: medical._points_pair(empty, SPACING3),
        "_points_pair(one)": lambda: medical._points_pair(one, SPACING3),
        "_minimum_dis(empty, one)": lambda: medical._minimum_dis(empty, one, SPACING3),
        "_minimum_dis(one, empty)": lambda: medical._minimum_dis(one, empty, SPACING3),
        "_is_enclosed(empty, one)": lambda: medical._is_enclosed(empty, one),
    }
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # the mean of an empty slice
        for name, call in calls.items():
            times, outcome = [], "returned"
            for _ in range(3):
                start = time.perf_counter()
                try:
                    call()
                except Exception as exc:  # the refusal is what is measured
                    outcome = type(exc).__name__
                times.append(time.perf_counter() - start)
            print(f"{name:<26} {min(times) / unit:7.1f}x  {outcome}")


def enclosure(shape, layouts, families):
    """_is_enclosed(x, y) against what it cannot do without: its two ConvexHull calls (on
    points made beforehand) and one read of each mask (taken as one copy of x)."""
    label = "x".join(map(str, shape))
    print(f"\n_is_enclosed, {label}: as a multiple of its two ConvexHull calls plus one copy")
    print(f"{'family':<10} {'points':>8} {'hulls ms':>9}  " + " ".join(f"{n:>8}" for n in layouts))
    for family in families:
        made = FAMILIES[family](shape)
        rest = partner(made) & ~made
        points = np.argwhere(rest)
        stacked = np.vstack([points, np.argwhere(made).mean(axis=0)])
        hulls = best_seconds(lambda p=points, s=stacked: (ConvexHull(p), ConvexHull(s)))
        cells = []
        for layout in layouts:
            x, y = as_layout(made, layout), as_layout(partner(made), layout)
            unit = min(best_seconds(lambda x=x: x.copy(order="K")) for _ in range(3))
            cells.append(cell(lambda x=x, y=y: medical._is_enclosed(x, y), hulls + unit))
        shown = " ".join(f"{c:>8}" for c in cells)
        print(f"{family:<10} {len(points):>8} {hulls * 1e3:9.1f}  {shown}", flush=True)


def long_lines(lengths):
    """_minimum_dis of two masks 7 x N of two full rows each, 2 rows apart: every element is
    on a shell, and a search that went along each line from its start grew with N**2."""
    print("\n_minimum_dis, 7 x N masks of full rows: milliseconds (linear in N)")
    x_rows, y_rows = slice(1, 3), slice(4, 6)
    for n in lengths:
        x = np.zeros((7, n), bool)
        x[x_rows] = True
        y = np.zeros((7, n), bool)
        y[y_rows] = True
        seconds = best_seconds(lambda x=x, y=y: medical._minimum_dis(x, y, [1.0, 1.0]))
        print(f"N = {n:>9}: {seconds * 1e3:8.1f} ms", flush=True)


LAYOUTS = ["C bool", "F bool", "C uint8", "F uint8"]


def main(quick=None):
    quick = "--quick" in sys.argv if quick is None else quick
    shape = (128, 128, 64) if quick else (512, 512, 256)
    table(shape, LAYOUTS, list(FAMILIES))
    FAMILIES["slice"] = slice_disc
    FAMILIES["series"] = series
    table((512, 512) if quick else (2048, 2048), LAYOUTS, ["slice"])
    table((64, 64, 32, 8) if quick else (128, 128, 64, 8), LAYOUTS, ["series"])
    degenerate(shape)
    long_lines([20_000, 50_000, 100_000] if quick else [20_000, 50_000, 100_000, 1_000_000])
    # Booleans: a label map's points are those of value 1 only, which are other hulls.
    enclosure(shape, LAYOUTS[:2], [f for f in FAMILIES if f not in ("slice", "series")])


if __name__ == "__main__":
    main()
