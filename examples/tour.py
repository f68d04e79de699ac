"""A short tour of orvane: run it with `make demo`."""

import inspect
import tempfile
from pathlib import Path

import numpy as np
import scipy.stats
from scipy import ndimage

from orvane.basic import annotix, instances, trialgrid
from orvane.basic.functions import FuncTools, _load
from orvane.sample_images import bundled


def heading(text):
    print(f"\n== {text} ==")


def trial_runner_tour():
    heading("trialgrid: run a function over a parameter grid")

    @FuncTools.attach_attr(
        docstring="Moving average of a 1-D signal.",
        orvane_func=True,
        entry_tp=np.ndarray,
        return_tp=np.ndarray,
    )
    def smooth(data, width=3, mode="same"):
        kernel = np.ones(width) / width
        return np.convolve(data, kernel, mode=mode)

    signals = [np.arange(10.0), np.sin(np.linspace(0, 3, 50))]
    pool = {"data": signals, "width": [2, 5], "mode": ["same", "nonsense"]}
    print("smooth(data, width, mode) over 2 signals x widths [2, 5] x modes [same, nonsense]:")
    table = trialgrid.functest(data=smooth, params_pool=pool)["smooth"]
    shown = table.drop(columns="cost_time")
    shown["comment"] = [str(c) if len(str(c)) < 30 else str(c)[:27] + "..." for c in shown.comment]
    print(shown.to_string(index=False))

    heading("trialgrid: which trials failed, and why")
    passed = trialgrid.diagnosing_tests(data=table)
    print("passed:", passed)

    heading("trialgrid: file raw results in a store on disk")
    with tempfile.TemporaryDirectory() as folder:
        store_path = Path(folder) / "experiments.pkl"
        for branch in ("baseline", "wide"):
            widths = [2] if branch == "baseline" else [8]
            trialgrid.experiments(
                data=smooth,
                params_pool={"data": signals[:1], "width": widths},
                branch_comment=branch,
                to_file=str(store_path),
            )
        store = _load(data=str(store_path))
        for name, entry in store.items():
            print(f"{name!r}: {len(entry)} trial(s), first result {entry['result'][0][:4]}")


def show(mask):
    for row in mask:
        print("  " + "".join("#" if value else "." for value in row))


def mask_geometry_tour():
    from orvane.basic import medical

    heading("medical: a disc and a bar, as masks on a 12 x 16 grid")
    rows, cols = np.mgrid[:12, :16]
    disc = np.hypot(rows - 5, cols - 4) <= 3.5
    bar = (rows >= 2) & (rows <= 9) & (cols >= 11) & (cols <= 13)
    show(disc | bar)

    heading("medical: the shell of the disc (elements one erosion removes)")
    show(medical._to_shell(disc))

    print("\nthe compiled functions have Python signatures, e.g.")
    print(f"  medical._minimum_dis{inspect.signature(medical._minimum_dis)}")
    spacing = [0.7, 1.1]
    first, second = medical._points_pair(disc, spacing)
    print(f"\nfarthest pair of the disc with spacing {spacing}: {first} and {second}")
    distance = medical._minimum_dis(disc, bar, spacing)
    print(
        f"minimum distance between the disc and the bar: {distance:.4f} ({type(distance).__name__})"
    )
    print("union of the two masks:", medical._union_set(disc, bar).sum(), "elements")
    print("\n_is_cross(x, y, w) is False when y meets the band of width w around x in exactly")
    print("one piece, and True otherwise: when y misses the band or meets it in several pieces")
    for width in (3, 5):
        band = ndimage.binary_dilation(disc, iterations=width) & ~disc
        pieces = ndimage.label(band & bar)[1]
        if pieces == 0:
            how = f"does not reach the band of width {width}"
        elif pieces == 1:
            how = f"meets the band of width {width} in exactly one piece"
        else:
            how = f"meets the band of width {width} in {pieces} separate pieces"
        crossing = medical._is_cross(disc, bar, width)
        print(f"  _is_cross(disc, bar, {width}) = {crossing}: the bar {how}")


def annotix_tour():
    heading("annotix: a marker, the null sentinel and a distribution alias")
    marker = annotix.T[0:int:True]
    print("T[0:int:True] ->", marker.value, marker.type.__name__, marker.escape)
    print("Null is falsy:", not annotix.Null, "| Null is None:", annotix.Null is None)
    print("scipy.stats.norm() is a GauTP:", isinstance(scipy.stats.norm(), annotix.GauTP))

    heading("annotix: a Gaussian-Wishart distribution")
    dist = annotix.GauWisTP(mean=np.zeros(2), beta=1.0, nu=3, w=np.eye(2))
    print(dist)
    print("valid:", dist._is_valid())
    np.random.seed(0)
    print("three mean vectors:\n", dist.rvs(3).round(3))


def instances_tour():
    heading("instances: sample images as gray levels indexed [x, y], y counting upward")
    # The copies that ship with the package, served on loopback: no network needed.
    with bundled() as root:
        print(f"the images bundled with orvane, served at {root}")
        for name in instances.__all__[:4]:
            image = getattr(instances, name)()
            print(
                f"{name}(): shape {image.shape}, dtype {image.dtype}, "
                f"gray levels {image.min()}..{image.max()}, mean {image.mean():.1f}"
            )
        cat = instances.cat()
        print(f"cat()[0, 0] = {cat[0, 0]} (bottom left), cat()[0, 780] = {cat[0, 780]} (top left)")

        heading("instances: segs() is a boolean mask, true where the gray level exceeds 100")
        mask = instances.segs()
        labels, count = ndimage.label(mask)
        sizes = np.bincount(labels.ravel())[1:]
        print(f"segs(): shape {mask.shape}, dtype {mask.dtype}, {mask.sum()} pixels set")
        print(f"{count} separate regions, sizes {sorted(sizes.tolist(), reverse=True)}")
    print(
        "_as_boolean([99, 100, 101], 100) =", instances._as_boolean(np.array([99, 100, 101]), 100)
    )


if __name__ == "__main__":
    trial_runner_tour()
    mask_geometry_tour()
    annotix_tour()
    instances_tour()
