"""
A Gaussian-Wishart sample
=========================

:class:`~orvane.basic.annotix.GauWisTP` holds the parameters of a Gaussian-Wishart
distribution: a precision matrix drawn from a Wishart distribution (``nu`` degrees of
freedom, scale ``w``) and, given it, a mean vector drawn around ``mean`` with precision
``beta`` times that matrix. :meth:`~orvane.basic.annotix.GauWisTP.rvs` returns the mean
vectors; a larger ``beta`` draws them closer to ``mean``.
"""

import matplotlib.pyplot as plt
import numpy as np

from orvane.basic.annotix import GauWisTP

w = np.array([[1.0, 0.6], [0.6, 0.5]])
figure, ax = plt.subplots(figsize=(6, 5))
for beta in (0.5, 4.0):
    dist = GauWisTP(mean=np.array([1.0, -1.0]), beta=beta, nu=4, w=w)
    print(dist, dist._is_valid())
    np.random.seed(0)  # the draws come from numpy's global random state
    means = dist.rvs(400)
    print(f"beta {beta}: shape {means.shape}, spread {means.std(axis=0).round(3)}")
    ax.scatter(means[:, 0], means[:, 1], s=6, alpha=0.5, label=f"beta = {beta}")
ax.plot(1.0, -1.0, "k+", ms=15, label="mean")
ax.set_aspect("equal")
ax.legend()
ax.set_title("GauWisTP(...).rvs(400): draws of the mean vector")
plt.show()
