"""A batch of volumes on a dask.distributed cluster: shells and minimum distances.

    .venv/bin/python examples/cluster.py                  # a local cluster of 2 processes
    .venv/bin/python examples/cluster.py tcp://host:8786  # or a running scheduler

The native functions of orvane.basic.medical are mapped over the batch as they are:
named functions pickle by reference, so each worker imports orvane and calls its own copy.
The workers need the same orvane, numpy and scipy as this process. The results are then
compared with a serial loop in this process: the same bits.
"""

import sys
import time

import numpy as np
from dask.distributed import Client, LocalCluster

from orvane.basic import medical


def synthetic_volumes(count, seed=0):
    """Pairs of ellipsoids in 40 x 96 x 96 volumes and a CT-like spacing per pair."""
    rng = np.random.default_rng(seed)
    z, y, x = np.ogrid[:40, :96, :96]
    pairs = []
    for _ in range(count):
        masks = []
        for low, high in (([10, 16, 16], [30, 44, 44]), ([10, 52, 52], [30, 80, 80])):
            c = rng.uniform(low, high)
            r = rng.uniform([4, 8, 8], [8, 14, 14])
            masks.append(((z - c[0]) / r[0]) ** 2 + ((y - c[1]) / r[1]) ** 2
                         + ((x - c[2]) / r[2]) ** 2 <= 1)  # fmt: skip
        spacing = [float(rng.choice([1.25, 2.5, 5.0])), *[float(rng.uniform(0.6, 0.9))] * 2]
        pairs.append((*masks, spacing))
    return pairs


def run(client, pairs):
    masks_a, masks_b, spacings = (list(column) for column in zip(*pairs, strict=True))
    # The volumes go to the workers once; with volumes on disk, map a loader over the
    # paths instead (client.map(np.load, paths)) and pass on those futures.
    on_workers_a, on_workers_b = client.scatter(masks_a), client.scatter(masks_b)
    shells = client.map(medical._to_shell, on_workers_a)
    distances = client.map(medical._minimum_dis, on_workers_a, on_workers_b, spacings)
    return client.gather(shells), client.gather(distances)


def main(address=None):
    pairs = synthetic_volumes(16)
    cluster = None if address else LocalCluster(n_workers=2, threads_per_worker=1)
    with Client(address or cluster) as client:
        start = time.perf_counter()
        shells, distances = run(client, pairs)
        took = time.perf_counter() - start
        workers = len(client.scheduler_info()["workers"])
    if cluster is not None:
        cluster.close()

    print(f"{len(pairs)} pairs of {pairs[0][0].shape} volumes on {workers} workers: {took:.2f} s")
    print("shell voxels of the first volumes:", [int(s.sum()) for s in shells[:4]])
    print("first minimum distances (mm):", [round(float(d), 3) for d in distances[:4]])
    same = all(
        shell.tobytes() == medical._to_shell(a).tobytes()
        and distance.tobytes() == medical._minimum_dis(a, b, sp).tobytes()
        for (a, b, sp), shell, distance in zip(pairs, shells, distances, strict=True)
    )
    print("the same as a serial loop:", same)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else None)
