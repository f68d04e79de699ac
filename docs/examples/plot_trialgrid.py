"""
A trial grid and its report
===========================

:func:`~orvane.basic.trialgrid.traversal_on_params` runs a package function once for
every combination of candidate arguments and returns a table, one row per trial; a trial
that raises is recorded, not fatal. :func:`~orvane.basic.trialgrid.diagnosing_tests`
reports the failed trials. Here the grid smooths the bricks image with windows of several
widths along both axes, and the figure shows how much each window flattens the image and
which trials failed.
"""

import matplotlib.pyplot as plt
import numpy as np
from scipy import ndimage

from orvane.basic import instances, trialgrid
from orvane.basic.functions import FuncTools
from orvane.sample_images import bundled

with bundled():
    bricks = instances.bricks()[:400, :300].astype(float)


@FuncTools.attach_attr(orvane_func=True)
def smoothed_contrast(data, width, axis):
    """The standard deviation of `data` after a running mean of `width` along `axis`."""
    if width > data.shape[axis]:
        raise ValueError(f"width {width} exceeds {data.shape[axis]} samples")
    return float(ndimage.uniform_filter1d(data, width, axis=axis).std())


pool = {"data": [bricks, bricks[:, :20]], "width": [1, 5, 15, 45], "axis": [0, 1]}
table = trialgrid.traversal_on_params(
    data=smoothed_contrast, params_pool=pool, concise_result=False
)
print(table.drop(columns="cost_time").to_string())

# %%
# The report: one line per failed trial, and the pass flags.

passed = trialgrid.diagnosing_tests(data=table)
print(f"{sum(passed)} of {len(passed)} trials passed")

# %%
# The results of the passing trials against the window's width.

figure, ax = plt.subplots(figsize=(7, 4))
ok = table[passed]
for (data, axis), rows in ok.groupby(["data", "arg: axis"]):
    ax.plot(rows["arg: width"], rows["result"], "-o", label=f"{data}, axis {axis}")
failed = table[[not p for p in passed]]
ax.plot(
    failed["arg: width"], np.zeros(len(failed)), "x", color="crimson", ms=10, label="failed trials"
)
ax.set_xscale("log")
ax.set_xlabel("window width (pixels)")
ax.set_ylabel("standard deviation of the gray levels")
ax.legend()
ax.set_title("traversal_on_params over width x axis x data")
plt.show()
