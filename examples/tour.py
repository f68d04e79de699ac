"""A short tour of orvane: run it with `make demo`."""

import tempfile
from pathlib import Path

import numpy as np
from local_images import sample_images
from scipy import ndimage

from orvane.basic import instances, trialgrid
from orvane.basic.functions import FuncTools, _load


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
    table = trialgrid.functest(data=smooth, params_pool=pool)["smooth"]
    print(table[["trial No.", "result", "comment", "data", "arg: width", "arg: mode"]])

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


def instances_tour():
    heading("instances: sample images as gray levels indexed [x, y], y counting upward")
    # Offline, the images bundled in misc/ are served on loopback instead.
    with sample_images(instances) as source:
        print("images from", source)
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
    instances_tour()
