"""
The five sample images
======================

:mod:`orvane.basic.instances` gives five sample images as arrays indexed ``[x, y]``, y
counting upward from the bottom row: four gray-level images and one boolean mask. Inside
``with bundled():`` they come from the copies bundled with the package, without a
network.
"""

import matplotlib.pyplot as plt

from orvane.basic import instances
from orvane.sample_images import bundled

with bundled():
    images = {name: getattr(instances, name)() for name in instances.__all__}
for name, image in images.items():
    print(f"{name}(): shape {image.shape}, dtype {image.dtype}")

# %%
# ``imshow`` draws ``[row, column]`` with row 0 at the top: give it the transpose and
# ``origin="lower"``.

figure, axes = plt.subplots(1, 5, figsize=(15, 3.4))
for ax, (name, image) in zip(axes, images.items(), strict=True):
    ax.imshow(image.T, origin="lower", cmap="gray")
    ax.set_title(f"{name}() {image.shape}")
    ax.set_xticks([])
    ax.set_yticks([])
figure.tight_layout()
plt.show()
