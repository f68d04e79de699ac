"""Call overhead of a trivial native function against its Python twin, side by side,
with no tool active and under cProfile, a sys.monitoring tool and sys.setprofile; then the
trial runner's own cost per trial against the same steps written in Python.

The native function is annotix's `NullType.__bool__` (`lambda *args: False`), called
directly and through bool(); the twin is the same lambda written in Python. Each figure
is the best of several runs, in nanoseconds per call, the loop itself included.

The trial runner, `traversal_on_params`, runs a grid of trivial trials (a package
function that returns its argument), once with `print` silenced (a no-op bound in the
module namespace) and once with the separators going to a StringIO; its twin performs
the documented steps literally, in Python, with the same module namespace.

    .venv/bin/python bench/bench_calls.py [calls] [trials]
"""

import contextlib
import cProfile
import io
import sys
import time
import timeit

from orvane.basic import annotix, trialgrid
from orvane.basic.functions import FuncTools

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


# traversal_on_params, step by step, as Python code run in the module's own namespace.
LITERAL_TRAVERSAL = """
def traversal_on_params(**params):
    data = params.get("data", None)
    params_pool = params.get("params_pool", None)
    scope_in_builtin = params.get("scope_in_builtin", False)
    concise_result = params.get("concise_result", True)
    try:
        getattr(data, "orvane_func")
        accepted = data.orvane_func is True
    except Exception:
        accepted = False
    assert_orvane_raiser(accepted, TypeError("object in entry must be a orvane function"))
    keys, candidates = [], []
    for key, values in params_pool.items():
        if not scope_in_builtin and key[0] == "~":
            continue
        keys.append(key)
        candidates.append(values)
    trials = [dict(zip(keys, combination)) for combination in product(*candidates)]
    numbering = {}
    for position, candidate in enumerate(params_pool.get("data")):
        numbering[id(candidate)] = position
    fixed = {"trial No.": [], "result": [], "cost_time": [], "comment": []}
    arg_names, arg_values = [], []
    for i, trial in enumerate(trials):
        if i == 0:
            arg_names = ["data" if key == "data" else "arg: " + key for key in trial]
            arg_values = [[] for _ in arg_names]
        result = cost = None
        comment = 0
        try:
            keywords = dict(trial)
            keywords["~in_decorator"] = False
            result, cost = FuncTools.test_for(**keywords)(data)()
            if concise_result:
                result = concise_expr(result)
        except Exception as e:
            comment = e.__repr__()
        finally:
            fixed["trial No."].append(i + 1)
            fixed["result"].append(result)
            fixed["cost_time"].append(cost)
            fixed["comment"].append(comment)
            for values, key in zip(arg_values, trial):
                value = trial[key]
                if key == "data":
                    value = "data_" + str(numbering.get(id(value)))
                values.append(value)
            print("-" * 40, i, "iteration of trials ends", "-" * 40)
    frames = [pd.DataFrame(fixed), pd.DataFrame(dict(zip(arg_names, arg_values)))]
    return pd.concat(frames, axis=1)
"""


@FuncTools.attach_attr(docstring="Its argument.", orvane_func=True)
def trivial(data, p):
    return data


def trial_runner(trials):
    side = int(trials**0.5)
    pool = {"data": list(range(side)), "p": list(range(trials // side))}
    count = side * (trials // side)
    namespace = dict(vars(trialgrid))
    exec(LITERAL_TRAVERSAL, namespace)
    runners = [("native", trialgrid.traversal_on_params, vars(trialgrid)),
               ("Python steps", namespace["traversal_on_params"], namespace)]  # fmt: skip
    print(f"\ntrial runner: microseconds per trial, best of 3 grids of {count} trials")
    print(f"{'print':<12}{'native':>10}{'Python':>10}{'ratio':>8}")
    for label in ("silenced", "StringIO"):
        per_trial = {}
        for name, function, module_names in runners:
            best = float("inf")
            for _ in range(3):
                sink = io.StringIO()
                if label == "silenced":
                    module_names["print"] = lambda *args: None
                try:
                    with contextlib.redirect_stdout(sink):
                        start = time.perf_counter()
                        function(data=trivial, params_pool=pool)
                        best = min(best, time.perf_counter() - start)
                finally:
                    module_names.pop("print", None)
            per_trial[name] = 1e6 * best / count
        native, python = per_trial["native"], per_trial["Python steps"]
        print(f"{label:<12}{native:>10.2f}{python:>10.2f}{native / python:>8.2f}")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 200_000)
    trial_runner(int(sys.argv[2]) if len(sys.argv) > 2 else 10_000)
