"""Batches of volumes on a dask.distributed cluster of two worker processes: the native
functions are shipped by reference and give, bit for bit, what a serial loop gives."""

import numpy as np
import pytest

from orvane.basic import medical

distributed = pytest.importorskip("dask.distributed")


def volumes(count, seed):
    """Ellipsoids of random size and place inside a 20 x 28 x 28 grid (none is empty)."""
    rng = np.random.default_rng(seed)
    z, y, x = np.mgrid[:20, :28, :28]
    batch = []
    for _ in range(count):
        centre = rng.uniform([6, 6, 6], [14, 22, 22])
        radii = rng.uniform(2, 6, size=3)
        batch.append(((z - centre[0]) / radii[0]) ** 2 + ((y - centre[1]) / radii[1]) ** 2
                     + ((x - centre[2]) / radii[2]) ** 2 <= 1)  # fmt: skip
    return batch


@pytest.fixture(scope="module")
def client():
    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        yield client


def test_a_batch_on_two_worker_processes_matches_a_serial_loop(client):
    batch_a, batch_b = volumes(6, seed=1), volumes(6, seed=2)
    spacings = [[2.5, 0.8, 0.8], [1.0, 1.0, 1.0], [3.0, 0.7, 0.6]] * 2
    workers = client.run(lambda: __import__("os").getpid())
    assert len(set(workers.values())) == 2  # two separate processes

    shells = client.gather(client.map(medical._to_shell, batch_a))
    distances = client.gather(client.map(medical._minimum_dis, batch_a, batch_b, spacings))

    for volume, shell in zip(batch_a, shells, strict=True):
        expected = medical._to_shell(volume)
        assert (shell.dtype, shell.shape) == (expected.dtype, expected.shape)
        assert shell.tobytes() == expected.tobytes()
    serial = [
        medical._minimum_dis(a, b, sp) for a, b, sp in zip(batch_a, batch_b, spacings, strict=True)
    ]
    for distance, expected in zip(distances, serial, strict=True):
        assert type(distance) is type(expected) is np.float64
        assert distance.tobytes() == expected.tobytes()


def test_the_cluster_example_runs(client, capsys):
    import cluster  # examples/cluster.py

    cluster.main(client.cluster.scheduler_address)
    printed = capsys.readouterr().out
    assert "the same as a serial loop: True" in printed
