"""
The crossing band
=================

:func:`~orvane.basic.medical._is_cross` dilates a mask ``x`` ``_tol`` times and looks at
the band that the dilations add. A mask ``y`` that meets the band in exactly one piece
gives False; one that runs through it, meeting it in two or more pieces, gives True, and
so does one that does not reach it.
"""

import matplotlib.pyplot as plt
import numpy as np
from scipy import ndimage

from orvane.basic import medical

rows, cols = np.mgrid[:60, :60]
x = np.hypot(rows - 30, cols - 30) <= 10  # a disc
through = (rows >= 28) & (rows <= 32)  # a bar across the whole slice
touching = through & (cols >= 42)  # the same bar, only on one side
far = through & (cols >= 50)  # too far to reach the band
TOL = 5

band = ndimage.binary_dilation(x, iterations=TOL) & ~x  # the band, drawn below
for name, y in [("through", through), ("touching", touching), ("far", far)]:
    print(f"{name:>8}: _is_cross(x, y, {TOL}) = {medical._is_cross(x, y, TOL)}")

# %%
# The band (grey), the disc ``x`` (blue) and each ``y`` (orange), with the pieces where
# ``y`` meets the band in red.

figure, axes = plt.subplots(1, 3, figsize=(11, 4), sharey=True)
for ax, (name, y) in zip(
    axes, [("through", through), ("touching", touching), ("far", far)], strict=True
):
    picture = np.zeros(x.shape)
    picture[band] = 1
    picture[x] = 2
    picture[y & ~x] = 3
    picture[y & band] = 4
    ax.imshow(
        picture,
        cmap=plt.matplotlib.colors.ListedColormap(
            ["white", "lightgrey", "tab:blue", "tab:orange", "crimson"]
        ),
        vmin=0,
        vmax=4,
    )
    pieces = ndimage.label(y & band)[1]
    ax.set_title(f"{name}: {pieces} piece(s), {medical._is_cross(x, y, TOL)}")
figure.tight_layout()
plt.show()
