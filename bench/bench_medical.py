"""Mask geometry: the native fast paths, the plain steps and the routes a user would
otherwise take, side by side, with peak memory.

    .venv/bin/python bench/bench_medical.py [--quick]

Prints four tables and draws docs/medical_timing.png:
1. CT-sized volumes (two balls, bool, spacing [0.8, 0.8, 2.5]) at 128^3, 256^3 and
   512 x 512 x 256: every function and its anchor (numpy's logical_and / logical_or,
   scipy.ndimage's binary_erosion, binary_dilation(iterations=t) + label, SimpleITK's
   BinaryErode, scipy.spatial) as multiples of one x.copy() in the same process, the plain
   steps where they take seconds at most, the peak memory each adds (in a fresh process),
   and two threads calling _minimum_dis on two volumes against one call.
2. _is_enclosed on 512 x 512 x 256 (a ball of 5.7 M voxels around a small cube), the
   first call in a fresh process as a user meets it: the fast path, the two ConvexHull calls
   it must make alone (on points made beforehand), the shortest numpy route to the same two
   hulls and the plain steps, time and peak memory added.
3. and 4. The farthest pair and the minimum distance against mask size, where the plain
   steps compare every pair of points and so run only while their memory stays small.
5. The masks users bring (bench/mask_families.py): shape families in C and Fortran order,
   boolean and as label maps, 2-D slices and 4-D series, beside the library routes, and
   the refusal of empty and one-voxel masks.
The plain steps are forced by rebinding module names to equal objects.
"""

import itertools
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
import types
from pathlib import Path

import numpy as np
import SimpleITK as sitk
from scipy import ndimage
from scipy.spatial import ConvexHull, cKDTree
from scipy.spatial.distance import pdist

from orvane.basic import medical

DOCS = Path(__file__).resolve().parent.parent / "docs"
PLAIN_PAIR_LIMIT = 3_000  # points
PLAIN_DISTANCE_LIMIT = 17_000_000  # shell point pairs


def best_seconds(func, repeats=3):
    """The best of `repeats` runs; a run over a second is not repeated."""
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        func()
        times.append(time.perf_counter() - start)
        if times[-1] > 1.0:
            break
    return min(times)


SAME_NUMPY = types.ModuleType("numpy")
SAME_NUMPY.__getattr__ = lambda name: getattr(np, name)


def plain(func, *args):
    """func(*args) by the plain steps: combinations, np and range rebound to equal objects."""
    saved = medical.combinations, medical.np
    medical.combinations = lambda *a: itertools.combinations(*a)
    medical.np = SAME_NUMPY
    medical.range = lambda *a: range(*a)
    try:
        return func(*args)
    finally:
        medical.combinations, medical.np = saved
        del medical.range


# ------------------------------------------------------------------ CT-sized volumes

VOLUME_SPACING = [0.8, 0.8, 2.5]
VOLUMES = {"128^3": (128, 128, 128), "256^3": (256, 256, 256), "512x512x256": (512, 512, 256)}
VOLUMES_MIB = {name: np.prod(shape) / 2**20 for name, shape in VOLUMES.items()}
CROSS_TOL = 4


def ball_pair(shape, shift=0.0):
    """Two balls, round under VOLUME_SPACING, side by side and overlapping a little (so the
    band of width CROSS_TOL around the first meets the second in one piece). Built a slab
    at a time, without float temporaries of the volume's size."""
    extent = [n * s for n, s in zip(shape, VOLUME_SPACING, strict=True)]
    radius = 0.18 * min(extent)
    overlap = 0.02 * min(extent)
    coords = [(np.arange(n) + 0.5) * s for n, s in zip(shape, VOLUME_SPACING, strict=True)]
    masks = []
    for side in (-1, 1):
        centre = [extent[0] / 2, extent[1] / 2 + side * (radius - overlap / 2) + shift,
                  extent[2] / 2]  # fmt: skip
        plane = (coords[1] - centre[1])[:, None] ** 2 + (coords[2] - centre[2])[None, :] ** 2
        mask = np.empty(shape, bool)
        for i, z in enumerate(coords[0]):
            np.less_equal(plane + (z - centre[0]) ** 2, radius**2, out=mask[i])
        masks.append(mask)
    return masks


def shell_by_erosion(x):
    return x & ~ndimage.binary_erosion(x)


def cross_by_dilation(x, y):
    band = ndimage.binary_dilation(x, iterations=CROSS_TOL) & ~x & y
    return ndimage.label(band)[1] != 1


def hull_pair(x):
    points = np.argwhere(x) * VOLUME_SPACING
    return pdist(points[ConvexHull(points).vertices]).max()


def sitk_erode(image):
    return sitk.BinaryErode(image, [1, 1, 1], sitk.sitkCross)


# name: (fast call, plain steps' call or None, anchor label, anchor call); each takes
# (x, y, image), image the SimpleITK image of x.
VOLUME_ROWS = {
    "_superposition": (lambda x, y, i: medical._superposition(x, y), True,
                       "np.logical_and", lambda x, y, i: np.logical_and(x, y)),
    "_union_set": (lambda x, y, i: medical._union_set(x, y), True,
                   "np.logical_or", lambda x, y, i: np.logical_or(x, y)),
    "_diff_set": (lambda x, y, i: medical._diff_set(x, y), True,
                  "np.logical_and(x, ~y)", lambda x, y, i: np.logical_and(x, ~y)),
    "_to_shell": (lambda x, y, i: medical._to_shell(x), True,
                  "x & ~binary_erosion(x)", lambda x, y, i: shell_by_erosion(x)),
    "_to_shell (ITK)": (lambda x, y, i: medical._to_shell(x), False,
                        "sitk.BinaryErode (1 thread)", lambda x, y, i: sitk_erode(i)),
    f"_is_cross t={CROSS_TOL}": (lambda x, y, i: medical._is_cross(x, y, CROSS_TOL), True,
                                 "binary_dilation(iterations) + label",
                                 lambda x, y, i: cross_by_dilation(x, y)),
    "_points_pair": (lambda x, y, i: medical._points_pair(x, VOLUME_SPACING), False,
                     "ConvexHull + pdist", lambda x, y, i: hull_pair(x)),
    "_minimum_dis": (lambda x, y, i: medical._minimum_dis(x, y, VOLUME_SPACING), False,
                     "binary_erosion + cKDTree", lambda x, y, i: scipy_distance(x, y,
                                                                             VOLUME_SPACING)),
}  # fmt: skip


def status_kib(key):
    """A figure of /proc/self/status, in KiB."""
    with open("/proc/self/status") as lines:
        for line in lines:
            if line.startswith(key):
                return int(line.split()[1])
    raise KeyError(key)


def added_peak_kib(func, *args):
    """The peak resident memory func(*args) adds, in KiB (run in a fresh process)."""
    with open("/proc/self/clear_refs", "w") as control:
        control.write("5")  # resets the peak resident size
    before = status_kib("VmRSS:")
    func(*args)
    return status_kib("VmHWM:") - before


VOLUME_PEAK_SCRIPT = textwrap.dedent(
    """
    import sys, numpy as np, SimpleITK as sitk
    sys.path.insert(0, {bench!r})
    import bench_medical as bench
    sitk.ProcessObject.SetGlobalDefaultNumberOfThreads(1)
    row, method, folder = sys.argv[1], sys.argv[2], sys.argv[3]
    x, y = np.load(folder + "/x.npy"), np.load(folder + "/y.npy")
    image = sitk.GetImageFromArray(x.view(np.uint8)) if "ITK" in row else None
    fast, plain, _, anchor = bench.VOLUME_ROWS[row]
    call = {{"fast": fast, "anchor": anchor,
             "plain": lambda *a: bench.plain(fast, *a)}}[method]
    print(bench.added_peak_kib(call, x, y, image))
    """
)


def volume_peak_mib(row, method, folder):
    """Peak resident memory one call adds, in MiB, measured in a fresh process."""
    code = VOLUME_PEAK_SCRIPT.format(bench=str(Path(__file__).resolve().parent))
    result = subprocess.run(
        [sys.executable, "-c", code, row, method, folder], capture_output=True, text=True
    )
    return int(result.stdout.strip()) / 1024 if result.returncode == 0 else float("nan")


def volume_table(names):
    """Rows of (size, function, copy s, fast s, anchor s, plain s, fast/anchor/plain MiB).
    x.copy() is timed next to every row and its best time over the block is the unit (on a
    shared machine a single measure of it can be off by a factor of two)."""
    sitk.ProcessObject.SetGlobalDefaultNumberOfThreads(1)
    rows = []
    for size in names:
        shape = VOLUMES[size]
        x, y = ball_pair(shape)
        image = sitk.GetImageFromArray(x.view(np.uint8))
        block = []
        with tempfile.TemporaryDirectory() as folder:
            np.save(folder + "/x.npy", x)
            np.save(folder + "/y.npy", y)
            for name, (fast, has_plain, label, anchor) in VOLUME_ROWS.items():
                copy = best_seconds(lambda: x.copy(), repeats=5)
                fast_s = best_seconds(lambda: fast(x, y, image))
                anchor_s = best_seconds(lambda: anchor(x, y, image))
                plain_s = (best_seconds(lambda: plain(fast, x, y, image), repeats=1)
                           if has_plain else float("nan"))  # fmt: skip
                peaks = [volume_peak_mib(name, method, folder) if run else float("nan")
                         for method, run in [("fast", True), ("anchor", True),
                                             ("plain", has_plain)]]  # fmt: skip
                block.append([size, name, copy, fast_s, anchor_s, plain_s, *peaks, label])
        copy = min(row[2] for row in block)
        print(f"\nTwo balls in {size} ({x.size / 1e6:.1f} M voxels, bool), spacing "
              f"{VOLUME_SPACING}: x.copy() takes {copy * 1e3:.2f} ms; times as multiples of it, "
              "peak MiB added by one call (fresh process)")  # fmt: skip
        print(f"{'function':<17} {'fast':>6} {'MiB':>5} | {'anchor':<35} {'x copy':>7} {'MiB':>5} "
              f"| {'plain':>7} {'MiB':>6}")  # fmt: skip
        for row in block:
            row[2] = copy
            _, name, _, fast_s, anchor_s, plain_s, *peaks, label = row
            print(f"{name:<17} {fast_s / copy:>6.1f} {peaks[0]:>5.0f} | {label:<35} "
                  f"{anchor_s / copy:>7.1f} {peaks[1]:>5.0f} | {plain_s / copy:>7.0f} "
                  f"{peaks[2]:>6.0f}")  # fmt: skip
            rows.append(tuple(row[:-1]))
        print(f"(input: {x.nbytes / 2**20:.0f} MiB per mask; fast path in ms: "
              + ", ".join(f"{row[1]} {row[3] * 1e3:.1f}" for row in block) + ")")  # fmt: skip
    return rows


def thread_table(size):
    """Two threads calling _minimum_dis on two volumes against one call: the scans and the
    k-d tree run without the GIL."""
    x1, y1 = ball_pair(VOLUMES[size])
    x2, y2 = ball_pair(VOLUMES[size], shift=7.0)

    def both_in_threads():
        threads = [threading.Thread(target=medical._minimum_dis, args=(x, y, VOLUME_SPACING))
                   for x, y in ((x1, y1), (x2, y2))]  # fmt: skip
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()

    one = best_seconds(lambda: medical._minimum_dis(x1, y1, VOLUME_SPACING))
    both = best_seconds(
        lambda: [medical._minimum_dis(x, y, VOLUME_SPACING) for x, y in ((x1, y1), (x2, y2))]
    )
    threads = best_seconds(both_in_threads)
    print(f"\n_minimum_dis on {size}: one call {one * 1e3:.1f} ms, two in a row "
          f"{both * 1e3:.1f} ms, two threads at once {threads * 1e3:.1f} ms "
          f"({threads / one:.2f} x one call; needs two idle cores)")  # fmt: skip

    # Python steps the main thread makes per second while another thread runs the call: a
    # call holding the GIL (sorted() of a long list) leaves it almost none.
    values = np.random.default_rng(0).random(2_000_000).tolist()
    for label, call in [("_minimum_dis", lambda: medical._minimum_dis(x1, y1, VOLUME_SPACING)),
                        ("sorted(list), GIL held", lambda: sorted(values))]:  # fmt: skip
        worker = threading.Thread(target=lambda call=call: [call() for _ in range(4)])
        worker.start()
        steps, start = 0, time.perf_counter()
        while worker.is_alive():
            steps += 1
        rate = steps / (time.perf_counter() - start) / 1e6
        print(f"  main thread during {label}: {rate:.2f} M loop steps per second")
    return one, both, threads


# ------------------------------------------------------------------ the enclosure test

ENCLOSURE_SHAPE = (512, 512, 256)


def ball_around_cube(shape=ENCLOSURE_SHAPE):
    """y: a ball of about 5.7 M voxels; x: a small cube at its centre (inside y)."""
    centre = [n / 2 for n in shape]
    radius = 111.0
    plane = (np.arange(shape[1]) - centre[1])[:, None] ** 2 + (
        np.arange(shape[2]) - centre[2])[None, :] ** 2  # fmt: skip
    y = np.empty(shape, bool)
    for i in range(shape[0]):
        np.less_equal(plane + (i - centre[0]) ** 2, radius**2, out=y[i])
    x = np.zeros(shape, bool)
    x[tuple(slice(int(c) - 4, int(c) + 4) for c in centre)] = True
    return x, y


def numpy_enclosure(x, y):
    """The shortest numpy route to the two hulls that _is_enclosed compares."""
    points = np.argwhere(y & ~x)
    centroid = np.argwhere(x).mean(axis=0)
    first = ConvexHull(points)
    second = ConvexHull(np.vstack([points, centroid]))
    return first, second


ENCLOSURE_SCRIPT = textwrap.dedent(
    """
    import sys, time, numpy as np
    sys.path.insert(0, {bench!r})
    import bench_medical as bench
    from scipy.spatial import ConvexHull
    from orvane.basic import medical
    method = sys.argv[1]
    x, y = bench.ball_around_cube()
    if method == "hulls":  # the two ConvexHull calls alone, on points made beforehand
        points = np.argwhere(y & ~x)
        stacked = np.vstack([points, np.argwhere(x).mean(axis=0)])
        call = lambda: (ConvexHull(points), ConvexHull(stacked))
    else:
        call = {{"fast": lambda: medical._is_enclosed(x, y),
                 "numpy": lambda: bench.numpy_enclosure(x, y),
                 "plain": lambda: bench.plain(medical._is_enclosed, x, y)}}[method]
    start = time.perf_counter()
    peak = bench.added_peak_kib(call)
    print(time.perf_counter() - start, peak)
    """
)


def enclosure_table(runs=3):
    """First calls in fresh processes: seconds and MiB added, for each route, the best of
    `runs` processes (the kernel's supply of huge pages varies from one to the next)."""
    code = ENCLOSURE_SCRIPT.format(bench=str(Path(__file__).resolve().parent))
    figures = {}
    for method in ("fast", "hulls", "numpy", "plain"):
        samples = []
        for _ in range(runs):
            result = subprocess.run([sys.executable, "-c", code, method], capture_output=True,
                                    text=True)  # fmt: skip
            seconds, kib = result.stdout.split() if result.returncode == 0 else ("nan", "nan")
            samples.append((float(seconds), float(kib) / 1024))
        figures[method] = (min(s for s, _ in samples), min(m for _, m in samples))
    x, y = ball_around_cube()
    points = int((y & ~x).sum())
    shape = "x".join(map(str, ENCLOSURE_SHAPE))
    print(f"\n_is_enclosed on {shape}: a ball of {points / 1e6:.1f} M points around a cube; "
          "first call in a fresh process (seconds, MiB added)")  # fmt: skip
    labels = {"fast": "_is_enclosed (fast path)", "hulls": "its two ConvexHull calls alone",
              "numpy": "shortest numpy route", "plain": "_is_enclosed (plain steps)"}  # fmt: skip
    for method, (seconds, mib) in figures.items():
        print(f"  {labels[method]:<32} {seconds:>7.2f} s {mib:>7.0f} MiB")
    fast, hulls, route = figures["fast"], figures["hulls"], figures["numpy"]
    print(f"  fast path: {fast[0] / hulls[0]:.2f} x the time of the two hulls, "
          f"{fast[1] / route[1]:.2f} x the peak memory of the numpy route")  # fmt: skip
    return figures


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
    from bench_medical import added_peak_kib, disc, two_balls
    from orvane.basic import medical
    kind, radius = sys.argv[1], int(sys.argv[2])
    args = (disc(radius), [0.7, 1.1]) if kind == "pair" else (*two_balls(radius), [0.7, 1.1, 3.3])
    print(added_peak_kib(medical._points_pair if kind == "pair" else medical._minimum_dis, *args))
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


def plot(volume_rows, threads, pair_rows, distance_rows):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("\nmatplotlib is not installed: no plot drawn")
        return
    figure, axes = plt.subplots(2, 2, figsize=(13, 9))
    largest = volume_rows[-1][0]
    rows = [row for row in volume_rows if row[0] == largest]
    names = [row[1] for row in rows]
    positions = np.arange(len(rows))
    for panel, (first, unit, title) in enumerate(
        [
            (3, "multiples of x.copy()", f"time on {largest}, two balls"),
            (6, "MiB added by one call", f"peak memory on {largest}"),
        ]  # fmt: skip
    ):
        axis = axes[0, panel]
        for offset, (label, column) in enumerate([("fast path", 0), ("anchor", 1), ("plain", 2)]):
            values = [row[first + column] / (row[2] if panel == 0 else 1) for row in rows]
            axis.bar(positions + (offset - 1) * 0.27, values, 0.27, label=label)
        axis.set_yscale("log")
        axis.set_ylim(bottom=1)
        axis.set_xticks(positions, names, rotation=30, ha="right", fontsize=8)
        axis.set_ylabel(unit)
        axis.set_title(title)
        axis.grid(True, axis="y", which="both", alpha=0.3)
        axis.legend(fontsize=8)
    axes[0, 1].axhline(VOLUMES_MIB[largest], color="grey", ls="--", lw=1)  # one mask
    one, _, both_threads = threads
    axes[0, 0].text(0.01, 0.97, f"_minimum_dis: 1 call {one * 1e3:.0f} ms, 2 threads on 2 "
                    f"volumes {both_threads * 1e3:.0f} ms", transform=axes[0, 0].transAxes,
                    va="top", fontsize=8)  # fmt: skip
    panels = [
        (axes[1, 0], pair_rows, "farthest pair (disc)", "mask points", "ConvexHull + pdist"),
        (axes[1, 1], distance_rows, "minimum distance (two balls)", "shell points of one ball",
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
    figure.savefig(target, dpi=100)
    print(f"\nplot written to {target}")


def main():
    quick = "--quick" in sys.argv
    sizes = ["128^3", "256^3"] if quick else list(VOLUMES)
    volume_rows = volume_table(sizes)
    threads = thread_table(sizes[-1])
    if not quick:
        enclosure_table()
    pair_radii = [8, 16, 24, 64] if quick else [8, 12, 16, 24, 32, 64, 128, 256, 499]
    ball_radii = [4, 8, 12] if quick else [4, 6, 8, 12, 16, 20, 30, 50]
    print()
    pair_rows = farthest_pair_table(pair_radii)
    distance_rows = distance_table(ball_radii)
    plot(volume_rows, threads, pair_rows, distance_rows)
    import mask_families  # the masks users bring: layouts, label maps, shapes

    mask_families.main(quick)


if __name__ == "__main__":
    main()
