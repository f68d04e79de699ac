"""The result store on disk: failed writes leave it as it was, and several processes
writing to, or filing tables into, one store file never corrupt it or lose a table."""

import errno
import multiprocessing
import os
import pickle

import pandas as pd
import pytest

from orvane.basic import functions, trialgrid
from orvane.basic.core import F, Unit
from orvane.basic.functions import FuncTools, _load, _save

WRITES = 30
FILINGS = 8


def store_of(writer, number):
    """The store that `writer` writes the `number`-th time: recognisable from its content."""
    rows = 200 + 50 * writer + number  # sizes differ, so a torn file would not unpickle
    return {
        "writer": writer,
        "number": number,
        "table": pd.DataFrame({"value": range(rows), "text": [f"{writer}-{number}"] * rows}),
    }


def assert_written_store(store):
    expected = store_of(store["writer"], store["number"])
    assert store.keys() == expected.keys()
    pd.testing.assert_frame_equal(store["table"], expected["table"])


def write_repeatedly(path, writer, start):
    start.wait()
    for number in range(WRITES):
        _save(store_of(writer, number), path)


def scale(data, factor):
    return data * factor


def file_tables(path, writer, start):
    func = FuncTools.attach_attr(orvane_func=True)(scale)
    start.wait()
    for number in range(FILINGS):
        trialgrid.functest(
            data=func,
            params_pool={"data": [1, 2], "factor": [writer, number]},
            branch_comment=f"writer {writer} filing {number}",
            to_file=path,
        )


def run_processes(target, path, count=2):
    """Starts `count` processes running target(path, number, start) and lets them go at once."""
    context = multiprocessing.get_context("spawn")  # no fork of a threaded test process
    start = context.Event()
    workers = [context.Process(target=target, args=(path, w, start)) for w in range(count)]
    for worker in workers:
        worker.start()
    start.set()
    return workers, start  # the event must outlive the workers' start-up


def finish(workers):
    for worker in workers:
        worker.join(timeout=120)
        assert worker.exitcode == 0


def test_concurrent_writers_never_leave_a_torn_store(tmp_path):
    path = str(tmp_path / "store.pkl")
    _save(store_of(0, -1), path)
    workers, _start = run_processes(write_repeatedly, path)
    reads = 0
    while any(worker.is_alive() for worker in workers) or reads == 0:
        assert_written_store(_load(path))  # every read gets one complete store
        reads += 1
    finish(workers)
    final = _load(path)
    assert_written_store(final)
    assert final["number"] == WRITES - 1  # the last write of one of the writers
    assert os.listdir(tmp_path) == ["store.pkl"]  # no temporary file left behind


def test_concurrent_filings_into_one_store_keep_every_table(tmp_path):
    path = str(tmp_path / "store.pkl")
    workers, _start = run_processes(file_tables, path)
    finish(workers)
    expected = {f"writer {w} filing {n} scale" for w in range(2) for n in range(FILINGS)}
    assert set(_load(path)) == expected
    assert sorted(os.listdir(tmp_path)) == [".store.pkl.lock", "store.pkl"]


@pytest.fixture
def store_file(tmp_path):
    path = tmp_path / "store.pkl"
    _save({"old": pd.DataFrame({"a": [1]})}, path)
    return path


def dump_part_then(error):
    """pickle.dump that writes part of the pickle, then fails like a full disk or Ctrl-C."""

    def dump(obj, handle, protocol=None):
        handle.write(pickle.dumps(obj, protocol)[:1000])
        handle.flush()
        raise error

    return dump


def refuse(error):
    def call(*args):
        raise error

    return call


DISK_FULL = OSError(errno.ENOSPC, "No space left on device")
FAILURES = {
    "unpicklable": None,
    "disk full while writing": ("pickle", "dump", dump_part_then(DISK_FULL)),
    "interrupt while writing": ("pickle", "dump", dump_part_then(KeyboardInterrupt())),
    "disk full while syncing": ("os", "fsync", refuse(DISK_FULL)),
    "rename refused": ("os", "replace", refuse(OSError(errno.EACCES, "Permission denied"))),
}


@pytest.mark.parametrize("failure", FAILURES)
def test_failed_filing_leaves_the_store_as_it_was(store_file, monkeypatch, failure):
    """A failure anywhere in a pipeline's save keeps the previous file and frees the lock."""
    before = store_file.read_bytes()
    unit = Unit(mappings=[F(lambda **kw: kw), F(lambda **kw: {**_load(kw["to_file"]), **kw})])
    variant = unit.shadow()
    payload = (lambda: None) if failure == "unpicklable" else 1
    if FAILURES[failure]:
        module, name, fake = FAILURES[failure]
        monkeypatch.setattr(getattr(functions, module), name, fake)
    with pytest.raises((pickle.PicklingError, AttributeError, OSError, KeyboardInterrupt)):
        variant(to_file=str(store_file), payload=payload, big=b"x" * 100_000)
    monkeypatch.undo()
    assert store_file.read_bytes() == before
    assert sorted(os.listdir(store_file.parent)) == [".store.pkl.lock", "store.pkl"]
    # The lock was released: the next filing goes through.
    assert set(variant(to_file=str(store_file), payload=1)) >= {"old", "payload"}
