"""A short tour of orvane: run it with `make demo`."""

import tempfile
from pathlib import Path

import numpy as np
import scipy.stats

from orvane.basic import annotix, trialgrid
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


if __name__ == "__main__":
    trial_runner_tour()
    annotix_tour()
