"""Masks as users bring them, for the benchmark of the mask geometry: shape families built
slice by slice with fixed seeds, in the layouts, element types and numbers of axes that
imaging tools give (nibabel's Fortran order, label maps, 2-D slices, 4-D series).

    .venv/bin/python bench/mask_families.py [--quick]

prints, per family and layout, each function as a multiple of one x.copy(order="K") in the
same process, beside the library route a user would take otherwise.
"""

import sys
import time

import numpy as np
from scipy import ndimage

from orvane.basic import medical

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
    plane = ((j - shape[1] / 2) / (0.53 * shape[1])) ** 2 + ((k - shape[2] / 2) / (0.53 * shape[2])) ** 2
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


def best(func, repeats=3):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        func()
        times.append(time.perf_counter() - start)
        if times[-1] > 2.0:
            break
    return min(times)


ROWS = {
    "_superposition": lambda x, y: medical._superposition(x, y),
    "_to_shell": lambda x, y: medical._to_shell(x),
    "_is_cross": lambda x, y: medical._is_cross(x, y, 4),
    "_points_pair": lambda x, y: medical._points_pair(x, SPACING3),
    "_minimum_dis": lambda x, y: medical._minimum_dis(x, y, SPACING3),
}
ANCHORS = {
    "_to_shell": lambda x, y: x & ~ndimage.binary_erosion(x),
}


def table(shape, layouts, families):
    print(f"\nmask families, {'x'.join(map(str, shape))}: time as a multiple of x.copy(order='K')")
    print(f"{'family':<10} {'layout':<8} {'copy ms':>8} " + " ".join(f"{r:>14}" for r in ROWS))
    for family in families:
        made = FAMILIES[family](shape)
        for layout in layouts:
            x = as_layout(made, layout)
            y = as_layout(partner(made), layout)
            unit = min(best(lambda x=x: x.copy(order="K")) for _ in range(3))
            cells = []
            for func in ROWS.values():
                try:
                    cells.append(f"{best(lambda f=func: f(x, y)) / unit:13.1f}x")
                except ValueError:
                    cells.append(f"{'error':>14}")
            print(f"{family:<10} {layout:<8} {unit * 1e3:8.2f} " + " ".join(cells), flush=True)


def main():
    quick = "--quick" in sys.argv
    shape = (128, 128, 64) if quick else (256, 256, 128)
    layouts = ["C bool", "F bool", "C uint8", "F uint8"]
    table(shape, layouts, list(FAMILIES))


if __name__ == "__main__":
    main()
