"""Draws the README's picture of mask geometry on the sample mask `segs()`.

    .venv/bin/python scripts/make_figures.py [output.png]

Writes docs/segs_geometry.png unless told otherwise, and prints the numbers it drew.
The image is the copy bundled with the package (orvane.sample_images), so no network is
needed. Needs matplotlib (the "docs" group: make tools).
"""

import sys
from pathlib import Path

import numpy as np
from scipy import ndimage
from scipy.spatial import cKDTree

from orvane.basic import instances, medical
from orvane.sample_images import bundled

REPOSITORY = Path(__file__).resolve().parent.parent

SPACING = [1.0, 1.0]  # one pixel per step along x and y


def regions_of(mask):
    labels, count = ndimage.label(mask)
    return [labels == k for k in range(1, count + 1)]


def nested_pair(regions):
    """(ring, disc): the region whose hole holds another region, and that region."""
    for outer in regions:
        filled = ndimage.binary_fill_holes(outer)
        for inner in regions:
            if inner is not outer and (filled & inner).sum() == inner.sum():
                return outer, inner
    raise ValueError("no region lies in the hole of another")


def split_halves(regions):
    """The two regions nearest to the most elongated one (the band across the ellipse)."""

    def elongation(region):
        first, second = medical._points_pair(region, SPACING)
        return np.linalg.norm((first - second) * SPACING) ** 2 / region.sum()

    band = max(regions, key=elongation)
    others = [r for r in regions if r is not band]
    return sorted(others, key=lambda r: medical._minimum_dis(band, r, SPACING))[:2]


def closest_shell_points(x, y):
    """A pair of shell points of x and y at the distance that _minimum_dis gives."""
    shell_x = np.argwhere(medical._to_shell(x)).astype(float)
    shell_y = np.argwhere(medical._to_shell(y)).astype(float)
    lengths, nearest = cKDTree(shell_y * SPACING).query(shell_x * SPACING)
    best = int(np.argmin(lengths))
    distance = medical._minimum_dis(x, y, SPACING)
    assert np.isclose(lengths[best], distance), (lengths[best], distance)
    return shell_x[best], shell_y[nearest[best]], distance


def draw(mask, regions, target):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.colors import ListedColormap

    colours = plt.get_cmap("tab10").colors
    # segs() is indexed [x, y] with y counting upward: show its transpose, origin low.
    extent = (-0.5, mask.shape[0] - 0.5, -0.5, mask.shape[1] - 0.5)

    def show(axes, array, cmap, **options):
        axes.imshow(array.T, origin="lower", extent=extent, cmap=cmap, **options)
        axes.set_xlabel("x (first index)")
        axes.set_ylabel("y (second index, counting upward)")

    figure, (left, right) = plt.subplots(1, 2, figsize=(12.5, 4.9))
    labels = np.zeros(mask.shape, int)
    shells = np.zeros(mask.shape, bool)
    for k, region in enumerate(regions, start=1):
        labels[region] = k
        shells |= medical._to_shell(region, 2)  # two erosions: visible at this scale
    outlines = np.ma.masked_where(~shells, shells)
    pastel = ListedColormap([(1, 1, 1)] + [(*c, 0.35) for c in colours[: len(regions)]])
    show(left, labels, pastel, interpolation="nearest")
    show(left, outlines, ListedColormap(["black"]))
    print("farthest pair of each region (spacing [1.0, 1.0]):")
    for k, region in enumerate(regions):
        first, second = medical._points_pair(region, SPACING)
        length = np.linalg.norm((first - second) * SPACING)
        print(f"  region {k + 1}: {region.sum():6d} pixels, {first} and {second}, {length:.1f}")
        left.plot(*zip(first, second, strict=True), "-o", color=colours[k], lw=1.8, ms=4)
    left.set_title("masks, shells (_to_shell), farthest pairs (_points_pair)")

    show(right, mask, ListedColormap([(1, 1, 1), (0.88, 0.88, 0.88)]))
    show(right, outlines, ListedColormap([(0.45, 0.45, 0.45)]))
    print("minimum distances between shells:")
    pairs = [(*nested_pair(regions), "ring, disc"), (*split_halves(regions), "ellipse halves")]
    for x, y, name in pairs:
        start, end, distance = closest_shell_points(x, y)
        print(f"  {name}: {distance:.2f}, from {start.astype(int)} to {end.astype(int)}")
        right.plot(*zip(start, end, strict=True), "-o", color="crimson", lw=2.2, ms=4)
        right.annotate(
            f"{distance:.1f}",
            (start + end) / 2,
            xytext=(10, -6),
            textcoords="offset points",
            color="crimson",
            fontweight="bold",
            bbox={"facecolor": "white", "edgecolor": "none", "alpha": 0.8, "pad": 1},
        )
    right.set_title("minimum distances between shells (_minimum_dis)")
    figure.tight_layout()
    target.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(target, dpi=100)
    print(f"drew {target}")


def main():
    target = Path(sys.argv[1]) if len(sys.argv) > 1 else REPOSITORY / "docs" / "segs_geometry.png"
    with bundled():
        mask = instances.segs()
    draw(mask, regions_of(mask), target)


if __name__ == "__main__":
    main()
