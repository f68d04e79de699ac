"""
The enclosure test
==================

:func:`~orvane.basic.medical._is_enclosed` asks whether a mask ``x`` lies inside mask
``y``: it compares the convex hull of the part of ``y`` outside ``x`` with the hull of the
same points and the centroid of ``x``. A centroid outside the hull becomes a vertex, and
the answer is False. The sample mask :func:`~orvane.basic.instances.segs` has a disc in
the hole of a ring; the region farthest from the ring is not enclosed by it.
"""

import matplotlib.pyplot as plt
import numpy as np
from scipy import ndimage
from scipy.spatial import ConvexHull

from orvane.basic import instances, medical
from orvane.sample_images import bundled

with bundled():
    mask = instances.segs()
labels, count = ndimage.label(mask)
regions = [labels == k for k in range(1, count + 1)]
# The ring: the region whose filled holes hold another region.
ring = next(r for r in regions if (ndimage.binary_fill_holes(r) & ~r).sum() > 100)
disc = next(r for r in regions if r is not ring and (ndimage.binary_fill_holes(ring) & r).any())
centre = np.argwhere(ring).mean(axis=0)
others = [r for r in regions if r is not ring and r is not disc]
farthest = max(others, key=lambda r: np.linalg.norm(np.argwhere(r).mean(axis=0) - centre))

for name, x in [("disc", disc), ("farthest region", farthest)]:
    print(f"{name} in the ring: {medical._is_enclosed(x, ring)}")

# %%
# The ring's hull and the two centroids.

points = np.argwhere(ring)
hull = points[ConvexHull(points).vertices]
figure, ax = plt.subplots(figsize=(7, 5.5))
ax.imshow(np.ma.masked_equal(labels, 0).T, origin="lower", cmap="Pastel1", interpolation="nearest")
ax.fill(hull[:, 0], hull[:, 1], fill=False, edgecolor="black", lw=1.5, label="hull of the ring")
for name, x, colour in [("disc", disc, "tab:green"), ("farthest region", farthest, "crimson")]:
    cx, cy = np.argwhere(x).mean(axis=0)
    ax.plot(
        cx,
        cy,
        "*",
        ms=15,
        color=colour,
        label=f"centroid of the {name}: {medical._is_enclosed(x, ring)}",
    )
ax.legend(loc="upper right", fontsize=8)
ax.set_title("_is_enclosed(x, ring)")
plt.show()
