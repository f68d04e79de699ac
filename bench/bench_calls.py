"""Call overhead of a trivial native function against its Python twin, side by side,
with no tool active and under cProfile, a sys.monitoring tool and sys.setprofile.

The native function is annotix's `NullType.__bool__` (`lambda *args: False`), called
directly and through bool(); the twin is the same lambda written in Python. Each figure
is the best of several runs, in nanoseconds per call, the loop itself included.

    .venv/bin/python bench/bench_calls.py [calls]
"""

import cProfile
import sys
import timeit

from orvane.basic import annotix

TOOL = 4  # a sys.monitoring tool id that nothing else here uses


def monitoring_on():
    events = sys.monitoring.events
    sys.monitoring.use_tool_id(TOOL, "bench")
    for event in (events.PY_START, events.PY_RETURN):
        sys.monitoring.register_callback(TOOL, event, lambda *args: None)
    sys.monitoring.set_events(TOOL, events.PY_START | events.PY_RETURN)


def monitoring_off():
    sys.monitoring.set_events(TOOL, 0)
    sys.monitoring.free_tool_id(TOOL)


def profile_on():
    sys.setprofile(lambda frame, event, arg: None)


def profile_off():
    sys.setprofile(None)


def make_profiler():
    profiler = cProfile.Profile()
    return profiler.enable, profiler.disable


def nanoseconds(statement, namespace, calls):
    timer = timeit.Timer(statement, globals=namespace)
    return 1e9 * min(timer.repeat(repeat=5, number=calls)) / calls


def main(calls):
    native = annotix.NullType.__bool__
    twin = eval("lambda *args: False")  # the twin of the native lambda
    python_null = type("PythonNull", (), {"__bool__": twin})()
    rows = [
        ("f(x)", {"f": native, "x": annotix.Null}, {"f": twin, "x": python_null}),
        ("bool(x)", {"x": annotix.Null}, {"x": python_null}),
    ]
    settings = [
        ("no tool", lambda: None, lambda: None),
        ("cProfile", *make_profiler()),
        ("sys.monitoring", monitoring_on, monitoring_off),
        ("sys.setprofile", profile_on, profile_off),
    ]
    print(f"nanoseconds per call, best of 5 runs of {calls} calls")
    print(f"{'call':<10}{'tool':<16}{'native':>10}{'Python':>10}{'ratio':>8}")
    for statement, native_names, python_names in rows:
        for label, start, stop in settings:
            start()
            try:
                native_ns = nanoseconds(statement, native_names, calls)
                python_ns = nanoseconds(statement, python_names, calls)
            finally:
                stop()
            print(f"{statement:<10}{label:<16}{native_ns:>10.0f}{python_ns:>10.0f}"
                  f"{native_ns / python_ns:>8.2f}")  # fmt: skip


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 200_000)
