"""Farthest pair and minimum shell distance: plain path, native fast path and the scipy
route a user would otherwise take, side by side, with peak memory of the fast path.

    .venv/bin/python bench/bench_medical.py [--quick]

Prints two tables and draws docs/medical_timing.png (log-log time against mask size).
The plain path runs only where its quadratic memory stays small; it is forced by
rebinding `medical.combinations` to an equal function.
"""

import itertools
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import numpy as np
from scipy import ndimage
from scipy.spatial import ConvexHull, cKDTree
from scipy.spatial.distance import pdist

from orvane.basic import medical

DOCS = Path(__file__).resolve().parent.parent / "docs"
PLAIN_PAIR_LIMIT = 3_000  # points
PLAIN_DISTANCE_LIMIT = 17_000_000  # shell point pairs


def best_seconds(func, repeats=3):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        func()
        times.append(time.perf_counter() - start)
    return min(times)


def plain(func, *args):
    original = medical.combinations
    medical.combinations = lambda *a: itertools.combinations(*a)
    try:
        return func(*args)
    finally:
        medical.combinations = original


def disc(radius):
    rows, cols = np.indices((2 * radius + 2, 2 * radius + 2))
    return (rows - radius - 0.5) ** 2 + (cols - radius - 0.3) ** 2 <= radius**2


def two_balls(radius):
    if radius == 50:  # the organ-sized case: two balls in a 220^3 volume
        z, y, x = np.indices((220, 220, 220))
        first = (z - 70) ** 2 + (y - 110) ** 2 + (x - 110) ** 2 <= radius**2
        second = (z - 175) ** 2 + (y - 110) ** 2 + (x - 110) ** 2 <= radius**2
        return first, second
    z, y, x = np.indices((2 * radius + 4, 2 * radius + 4, 4 * radius + 12))
    centre = radius + 2
    first = (z - centre) ** 2 + (y - centre) ** 2 + (x - centre) ** 2 <= radius**2
    second = (z - centre) ** 2 + (y - centre + 1) ** 2 + (x - 3 * radius - 8) ** 2 <= radius**2
    return first, second


def scipy_pair(mask, sp):
    points = np.argwhere(mask) * sp
    return pdist(points[ConvexHull(points).vertices]).max()


def scipy_distance(x, y, sp):
    shells = [np.argwhere(m & ~ndimage.binary_erosion(m)) * sp for m in (x, y)]
    return cKDTree(shells[1]).query(shells[0])[0].min()


PEAK_SCRIPT = textwrap.dedent(
    """
    import sys, numpy as np
    sys.path.insert(0, {bench!r})
    from bench_medical import disc, two_balls
    from orvane.basic import medical
    kind, radius = sys.argv[1], int(sys.argv[2])
    args = (disc(radius), [0.7, 1.1]) if kind == "pair" else (*two_balls(radius), [0.7, 1.1, 3.3])
    def status(key):
        for line in open("/proc/self/status"):
            if line.startswith(key):
                return int(line.split()[1])
    open("/proc/self/clear_refs", "w").write("5")  # resets the peak resident size
    before = status("VmRSS:")
    (medical._points_pair if kind == "pair" else medical._minimum_dis)(*args)
    print(status("VmHWM:") - before)
    """
)


def peak_kib(kind, radius):
    """Peak resident memory added by one fast call, measured in a fresh process."""
    code = PEAK_SCRIPT.format(bench=str(Path(__file__).resolve().parent))
    result = subprocess.run(
        [sys.executable, "-c", code, kind, str(radius)], capture_output=True, text=True
    )
    return int(result.stdout.strip()) if result.returncode == 0 else float("nan")


def time_methods(fast, reference, slow=None):
    """(plain, fast, reference) best times; the plain path once, and only when given."""
    plain_time = best_seconds(slow, repeats=1) if slow is not None else float("nan")
    return plain_time, best_seconds(fast), best_seconds(reference)


def farthest_pair_table(radii):
    print("Farthest pair of a disc, spacing [0.7, 1.1] (seconds, best of 3)")
    print(f"{'points':>9} {'plain':>10} {'fast':>10} {'scipy hull':>11} "
          f"{'plain/fast':>11} {'scipy/fast':>11} {'peak KiB':>9}")  # fmt: skip
    rows = []
    for radius in radii:
        mask, sp = disc(radius), np.array([0.7, 1.1])
        n = int(mask.sum())
        slow, fast, reference = time_methods(
            lambda: medical._points_pair(mask, sp),
            lambda: scipy_pair(mask, sp),
            (lambda: plain(medical._points_pair, mask, sp)) if n <= PLAIN_PAIR_LIMIT else None,
        )
        peak = peak_kib("pair", radius)
        rows.append((n, slow, fast, reference))
        print(f"{n:>9} {slow:>10.4g} {fast:>10.4g} {reference:>11.4g} "
              f"{slow / fast:>11.0f} {reference / fast:>11.1f} {peak:>9}")  # fmt: skip
    return rows


def distance_table(radii):
    print("\nMinimum distance between two balls, spacing [0.7, 1.1, 3.3] (seconds, best of 3)")
    print(f"{'shell pts':>9} {'voxels':>10} {'plain':>10} {'fast':>10} {'erosion+kd':>11} "
          f"{'plain/fast':>11} {'scipy/fast':>11} {'peak KiB':>9}")  # fmt: skip
    rows = []
    for radius in radii:
        x, y = two_balls(radius)
        sp = [0.7, 1.1, 3.3]
        k = int((x & ~ndimage.binary_erosion(x)).sum())
        slow, fast, reference = time_methods(
            lambda: medical._minimum_dis(x, y, sp),
            lambda: scipy_distance(x, y, sp),
            (lambda: plain(medical._minimum_dis, x, y, sp))
            if k * k <= PLAIN_DISTANCE_LIMIT
            else None,
        )
        peak = peak_kib("distance", radius)
        rows.append((k, slow, fast, reference))
        print(f"{k:>9} {x.size:>10} {slow:>10.4g} {fast:>10.4g} {reference:>11.4g} "
              f"{slow / fast:>11.0f} {reference / fast:>11.1f} {peak:>9}")  # fmt: skip
    return rows


def plot(pair_rows, distance_rows):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("\nmatplotlib is not installed: no plot drawn")
        return
    figure, axes = plt.subplots(1, 2, figsize=(11, 4.2))
    panels = [
        (axes[0], pair_rows, "farthest pair (disc)", "mask points", "ConvexHull + pdist"),
        (axes[1], distance_rows, "minimum distance (two balls)", "shell points of one ball",
         "binary_erosion + cKDTree"),
    ]  # fmt: skip
    for axis, rows, title, xlabel, reference_label in panels:
        sizes = [row[0] for row in rows]
        for column, label, style in [(1, "plain path", "o-"), (2, "fast path", "s-"),
                                     (3, reference_label, "^--")]:  # fmt: skip
            axis.loglog(sizes, [row[column] for row in rows], style, label=label)
        axis.set_title(title)
        axis.set_xlabel(xlabel)
        axis.set_ylabel("seconds")
        axis.grid(True, which="both", alpha=0.3)
        axis.legend()
    figure.tight_layout()
    target = DOCS / "medical_timing.png"
    figure.savefig(target, dpi=110)
    print(f"\nplot written to {target}")


def main():
    quick = "--quick" in sys.argv
    pair_radii = [8, 16, 24, 64] if quick else [8, 12, 16, 24, 32, 64, 128, 256, 499]
    ball_radii = [4, 8, 12] if quick else [4, 6, 8, 12, 16, 20, 30, 50]
    pair_rows = farthest_pair_table(pair_radii)
    distance_rows = distance_table(ball_radii)
    plot(pair_rows, distance_rows)


if __name__ == "__main__":
    main()
