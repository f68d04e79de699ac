"""Ctrl-C during long work, and loops whose length the caller sets.

Each interrupt case runs in a child process that sends itself SIGINT from a timer (a
SIGALRM handler calling signal.raise_signal), as a user pressing Ctrl-C would: the
KeyboardInterrupt must reach the caller within a second, the trial runner must print the
separator of the trial it stopped in, and the child must exit normally afterwards."""

import _thread
import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest
from scipy import ndimage

from orvane.basic import medical

# Imported by every child: the timer and the measurement.
PRELUDE = """
import json, signal, sys, time

signal.signal(signal.SIGALRM, lambda *_: signal.raise_signal(signal.SIGINT))
# A child of a background job inherits Ctrl-C ignored, and Python then leaves it so.
signal.signal(signal.SIGINT, signal.default_int_handler)

def latency(func, *args, after):
    '''Seconds from the Ctrl-C, sent `after` seconds into func(*args), to the interrupt.'''
    start = time.perf_counter()
    signal.setitimer(signal.ITIMER_REAL, after)
    try:
        func(*args)
    except KeyboardInterrupt:
        return time.perf_counter() - start - after
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
    raise AssertionError(f"finished before the Ctrl-C ({time.perf_counter() - start:.2f} s)")

def duration(func, *args):
    start = time.perf_counter()
    func(*args)
    return time.perf_counter() - start
"""


# A second; the sanitized build (scripts/sanitize.sh) runs the same loops a few times
# slower, and its bound grows with it.
LATENCY_BOUND = 3.0 if "libasan" in os.environ.get("LD_PRELOAD", "") else 1.0


def run_child(body, timeout=120):
    code = PRELUDE + textwrap.dedent(body)
    result = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout
    )
    assert result.returncode == 0, result.stderr
    return result.stdout


# ------------------------------------------------------------------ the trial runner

GRID = """
from orvane.basic import trialgrid
from orvane.basic.functions import FuncTools

started = []

@FuncTools.attach_attr(orvane_func=True)
def slow(data, step):
    started.append(step)
    time.sleep(0.1)
    return data + step

start = time.perf_counter()
signal.setitimer(signal.ITIMER_REAL, 0.45)
try:
    trialgrid.traversal_on_params(data=slow, params_pool={"data": [0], "step": list(range(50))})
except KeyboardInterrupt:
    print(json.dumps({"started": started, "seconds": time.perf_counter() - start}))
"""


def test_ctrl_c_stops_a_grid_after_the_current_trial_prints_its_separator():
    lines = run_child(GRID).splitlines()
    report = json.loads(lines[-1])
    started = report["started"]
    assert 3 <= len(started) < 50 and report["seconds"] < 0.45 + LATENCY_BOUND
    # One separator per trial begun, the interrupted one included, and nothing after it.
    rule = "-" * 40
    assert lines[:-1] == [f"{rule} {i} iteration of trials ends {rule}" for i in started]


# ------------------------------------------------------------------ mask geometry

MASKS = """
import itertools
import numpy as np
from orvane.basic import medical

rng = np.random.default_rng(3)
# Noise in two halves 9 apart, beyond the window of nearby lines, so a k-d tree answers.
x, y = (rng.random((200, 200, 200)) < 0.3 for _ in range(2))
x[:, :, 100:] = False
y[:, :, :108] = False
points = np.zeros((100, 100), bool)
points.flat[rng.choice(points.size, 900, replace=False)] = True
square = np.zeros((40, 40), bool)
square[5:30, 5:30] = True
results = {}

# The native fast path: shell scans, the k-d tree and its queries (before its scans and
# tree building looked for signals, Ctrl-C at a tenth of this call took 1.9 s to be seen).
# The shorter of two calls is the measure (a first call can take twice as long as the next).
durations = {}
whole = durations["minimum_dis"] = min(
    duration(medical._minimum_dis, x, y, [1.0, 1.0, 1.0]) for _ in range(2))
for part in (0.1, 0.5):
    results[f"minimum_dis fast path at {part}"] = latency(
        medical._minimum_dis, x, y, [1.0, 1.0, 1.0], after=whole * part)

# The literal path, taken while `combinations` is rebound.
original = medical.combinations
medical.combinations = lambda *args: original(*args)
whole = durations["points_pair"] = duration(medical._points_pair, points, [1.0, 1.0])
results["points_pair plain path"] = latency(
    medical._points_pair, points, [1.0, 1.0], after=whole * 0.4)
medical.combinations = original

# 10**18 rounds of a rebound erosion or dilation: only Ctrl-C ends them.
for name, func, args in [
    ("binary_erosion", medical._to_shell, (square, 10**18)),
    ("binary_dilation", medical._is_cross, (square, square, 10**18)),
]:
    scipy_function = getattr(medical, name)
    setattr(medical, name, lambda array: scipy_function(array))
    results[f"{name} rebound, 10**18 rounds"] = latency(func, *args, after=0.3)
    setattr(medical, name, scipy_function)

# One row of 2**33 elements (a stride-0 view): the scans look for signals by element count.
row = np.broadcast_to(np.zeros(1, bool), (2**33,))
results["points_pair one long row"] = latency(medical._points_pair, row, [1.0], after=0.3)
results["minimum_dis one long row"] = latency(medical._minimum_dis, row, row, [1.0], after=0.3)
results["durations"] = durations
print(json.dumps(results))
"""


@pytest.fixture(scope="module")
def mask_latencies():
    return json.loads(run_child(MASKS).splitlines()[-1])


@pytest.mark.parametrize(
    "case",
    [
        "minimum_dis fast path at 0.1",
        "minimum_dis fast path at 0.5",
        "points_pair plain path",
        "binary_erosion rebound, 10**18 rounds",
        "binary_dilation rebound, 10**18 rounds",
        "points_pair one long row",
        "minimum_dis one long row",
    ],
)
def test_ctrl_c_is_noticed_within_a_second_in_long_mask_operations(mask_latencies, case):
    assert 0 <= mask_latencies[case] < LATENCY_BOUND


# ------------------------------------------------------------------ caller-set loop lengths


def plain_shell(x, tol):
    eroded = x.copy()
    for _ in range(tol):
        eroded = ndimage.binary_erosion(eroded)
    return (x.astype(int) - eroded.astype(int)).astype(bool)


def plain_is_cross(x, y, tol):
    dilated = x.copy()
    for _ in range(tol):
        dilated = ndimage.binary_dilation(dilated)
    return ndimage.label((dilated.astype(int) - x.astype(int) + y.astype(int)) == 2)[1] != 1


@pytest.mark.parametrize("tol", [10**18, 2**63 - 1, 2**63, 10**30])
def test_huge_rounds_end_at_the_fixed_point_with_the_plain_result(tol):
    """scipy's erosion empties a mask, and its dilation fills the array, in at most as many
    rounds as the array is long: every round after that gives the same array, so the
    rounds stop there, with the value the full loop would give."""
    rng = np.random.default_rng(5)
    mask = rng.random((30, 20)) < 0.6
    ints = mask.astype(np.int16) * 3  # values other than 0/1: astype(int) differs from bool
    other = np.zeros_like(mask)
    other[:, 7] = True
    start = time.perf_counter()
    spread = np.zeros((60, 40), bool)
    spread[::2, ::2] = mask
    for x in (mask, ints, np.asfortranarray(mask), mask[::-1], spread[::2, ::2]):
        assert np.array_equal(medical._to_shell(x, tol), plain_shell(x, 40))
        assert medical._is_cross(x, other, tol) is plain_is_cross(x, other, 60)
    assert medical._to_shell(np.zeros((0, 4), bool), tol).shape == (0, 4)
    assert time.perf_counter() - start < 5


def test_ctrl_c_while_a_finished_trial_is_recorded_keeps_its_row_and_separator(monkeypatch, capsys):
    """`_thread.interrupt_main` trips SIGINT from C code without running the handler, as a
    Ctrl-C arriving just then would: here while trial 0's result is shortened, right before
    its row is recorded. The interrupt is raised within trial 0, which still prints its
    separator; then it propagates and no further trial runs."""
    from orvane.basic import trialgrid
    from orvane.basic.functions import FuncTools

    runs = []

    @FuncTools.attach_attr(orvane_func=True)
    def signal_number(data, p):
        runs.append(p)
        return signal.SIGINT

    monkeypatch.setattr(trialgrid, "concise_expr", _thread.interrupt_main)
    # Run from a background job, the suite has Ctrl-C ignored, and interrupt_main then
    # does nothing: Python's own handler is put in for this test.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        with pytest.raises(KeyboardInterrupt):
            trialgrid.traversal_on_params(data=signal_number,
                                          params_pool={"data": [0], "p": [1, 2, 3]})  # fmt: skip
    finally:
        signal.signal(signal.SIGINT, previous)
    rule = "-" * 40
    assert runs == [1]
    assert capsys.readouterr().out.splitlines() == [f"{rule} 0 iteration of trials ends {rule}"]
