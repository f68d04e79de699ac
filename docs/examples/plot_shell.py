"""
The shell of a mask
===================

:func:`~orvane.basic.medical._to_shell` keeps the elements of a mask that a number of
erosions remove: one erosion gives the outline, more give a thicker band. The edge of a
hole belongs to the shell too. Here the sample mask :func:`~orvane.basic.instances.segs`
(seven regions) is shown with its shells of width 1 and 6.
"""

import matplotlib.pyplot as plt
import numpy as np

from orvane.basic import instances, medical
from orvane.sample_images import bundled

with bundled():  # the copy of segs.jpg bundled with the package: no network
    mask = instances.segs()  # indexed [x, y], y counting upward

thin = medical._to_shell(mask)  # one erosion
thick = medical._to_shell(mask, 6)  # six erosions
print(f"{mask.sum()} mask pixels, {thin.sum()} in the shell of width 1, {thick.sum()} of width 6")

# %%
# The arrays are indexed ``[x, y]``: show their transpose with the origin at the bottom.

figure, axes = plt.subplots(1, 2, figsize=(10, 4), sharey=True)
for ax, shell, title in zip(
    axes, (thin, thick), ("_to_shell(mask)", "_to_shell(mask, 6)"), strict=True
):
    ax.imshow(mask.T, origin="lower", cmap="Greys", vmax=4)
    ax.imshow(np.ma.masked_where(~shell.T, shell.T), origin="lower", cmap="autumn")
    ax.set_title(title)
    ax.set_xlabel("x (first index)")
axes[0].set_ylabel("y (second index)")
figure.tight_layout()
plt.show()
