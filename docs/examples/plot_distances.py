"""
Farthest pair and minimum distance on a slice
=============================================

:func:`~orvane.basic.medical._points_pair` gives the two points of a mask farthest apart
under a spacing, and :func:`~orvane.basic.medical._minimum_dis` the smallest distance
between the shells of two masks. The slice here is the sample mask
:func:`~orvane.basic.instances.segs`, read as an image of pixels 0.7 mm wide and 1.1 mm
high (the spacing is given in axis order: x first, then y).
"""

import matplotlib.pyplot as plt
import numpy as np
from scipy import ndimage
from scipy.spatial import cKDTree

from orvane.basic import instances, medical
from orvane.sample_images import bundled

SPACING = [0.7, 1.1]  # mm per step along x (first index), then y

with bundled():
    mask = instances.segs()
labels, count = ndimage.label(mask)
regions = [labels == k for k in range(1, count + 1)]

# %%
# The farthest pair of each region. The points are indices; ``(first - second) * SPACING``
# is the vector between them in millimetres.

pairs = [medical._points_pair(region, SPACING) for region in regions]
for k, (first, second) in enumerate(pairs, start=1):
    length = np.linalg.norm((first - second) * SPACING)
    print(f"region {k}: {first} to {second}, {length:.1f} mm")

# %%
# The minimum distance between the two regions nearest each other, and the two shell
# points that give it (found here with a k-d tree, to draw the segment).

distances = {
    (i, j): medical._minimum_dis(regions[i], regions[j], SPACING)
    for i in range(count)
    for j in range(i + 1, count)
}
(i, j), nearest = min(distances.items(), key=lambda item: item[1])
# Pixel centres in millimetres: (index + 0.5) * spacing.
shell_i = (np.argwhere(medical._to_shell(regions[i])) + 0.5) * SPACING
shell_j = (np.argwhere(medical._to_shell(regions[j])) + 0.5) * SPACING
lengths, index = cKDTree(shell_j).query(shell_i)
start, end = shell_i[lengths.argmin()], shell_j[index[lengths.argmin()]]
print(f"regions {i + 1} and {j + 1} are {nearest:.2f} mm apart")

# %%
# Drawn in millimetres: the image's extent is its shape times the spacing.

extent = (0, mask.shape[0] * SPACING[0], 0, mask.shape[1] * SPACING[1])
figure, ax = plt.subplots(figsize=(8, 6))
regions_image = np.ma.masked_equal(labels, 0).T  # the background left white
ax.imshow(regions_image, origin="lower", extent=extent, cmap="Pastel1", interpolation="nearest")
for first, second in pairs:
    points = (np.array([first, second]) + 0.5) * SPACING
    ax.plot(points[:, 0], points[:, 1], "-o", lw=1.5, ms=3)
ax.plot(*zip(start, end, strict=True), "-o", color="crimson", lw=3, ms=5)
ax.annotate(
    f"{nearest:.1f} mm",
    (start + end) / 2,
    xytext=(8, 8),
    textcoords="offset points",
    color="crimson",
    fontweight="bold",
)
ax.set_xlabel("x (mm)")
ax.set_ylabel("y (mm)")
ax.set_title("farthest pairs (_points_pair) and the minimum distance (_minimum_dis)")
plt.show()
