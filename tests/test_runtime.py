"""The native function type against CPython's own function object.

Every native function is checked against a "twin": a Python function with the same
signature, built with exec, so that the expected behaviour and messages come from the
interpreter itself rather than from strings typed here.
"""

import bdb
import builtins
import copy
import cProfile
import dataclasses
import functools
import gc
import inspect
import json
import os
import pickle
import pstats
import re
import subprocess
import sys
import traceback
import warnings
import weakref

import numpy as np
import pytest
from dap_client import debug_session

from orvane.basic import _runtime_probe as probe
from orvane.basic import medical

TWIN_SOURCES = {
    "mixed": "def mixed(x: 'np.ndarray', y, z: 'int' = 3, *args, **kwargs) -> 'tuple':\n"
    "    return (x, y, z, args, kwargs)",
    "checked": "def checked(data, __tol: 'int' = 1, sp: 'list' = []):\n"
    "    return (data, __tol, sp)",
    "star_args": "star_args = lambda *args: (args,)",
    "keywords": "def keywords(**params):\n    return (params,)",
    "lookup": "def lookup(name):\n    pass",
    "store": "def store(self, value=None):\n    self.value = value",
    # Global targets: no locals beyond the parameters, as in the native function's code.
    "unpack_pair": "def unpack_pair(value):\n    global a, b\n    a, b = value\n    return (a, b)",
}


def twin(name):
    namespace = {}
    exec(TWIN_SOURCES[name], namespace)
    return namespace[name]


def outcome(func, *args, **kwargs):
    """What a call gives: ("ok", result) or (exception type, message)."""
    try:
        return ("ok", func(*args, **kwargs))
    except Exception as exc:
        return (type(exc), str(exc))


CALLS = {
    "mixed": [
        ((), {}),
        ((1,), {}),
        ((1, 2), {}),
        ((1, 2, 5, 6, 7), {"k": 8}),
        ((), {"x": 1, "y": 2}),
        ((1,), {"x": 2}),
        ((1, 2), {"y": 3}),
        ((), {"z": 1}),
        ((), {"y": 1, "z": 2}),
    ],
    "checked": [
        ((), {}),
        ((1, 2, [], 4), {}),
        ((1,), {"tol": 2}),
        ((1,), {"_tol": 2}),
        ((1,), {"__to": 2}),
        ((1,), {"sp_": []}),
        ((1,), {"Sp": []}),
        ((1,), {"completely_unrelated": 0}),
        ((1,), {"__tol": 5}),
        ((), {"data": 1, "data2": 2}),
        ((1, 2), {"__tol": 3}),
    ],
    "star_args": [((), {}), ((1, 2), {}), ((), {"a": 1})],
    "keywords": [((), {}), ((1,), {}), ((1, 2), {"a": 1}), ((), {"a": 1, "~b": 2})],
    "store": [((), {}), ((1, 2, 3), {}), ((), {"value": 1})],
    # The interpreter's own messages, which differ between versions for exact containers.
    "unpack_pair": [
        ((value,), {})
        for value in (
            [1, 2, 3],
            (1, 2, 3),
            {1: 2, 3: 4, 5: 6},
            {1, 2, 3},
            "abc",
            bytearray(b"abc"),
            range(3),
            [1],
            (),
            "ab",
            5,
            None,
        )
    ],
}


@pytest.mark.parametrize(
    ("name", "args", "kwargs"),
    [(name, args, kwargs) for name, calls in CALLS.items() for args, kwargs in calls],
)
def test_binding_matches_a_python_function(name, args, kwargs):
    assert outcome(getattr(probe, name), *args, **kwargs) == outcome(twin(name), *args, **kwargs)


@pytest.mark.parametrize(
    ("args", "parameter", "got"),
    [
        ((1, True), "__tol", "bool"),
        ((1, np.int64(2)), "__tol", "numpy.int64"),
        ((1, None), "__tol", "NoneType"),
        ((1, 2, (1.0, 1.0)), "sp", "tuple"),
        ((1, 2, np.array([1.0])), "sp", "numpy.ndarray"),
    ],
)
def test_entry_checks_demand_the_exact_type(args, parameter, got):
    expected = "int" if parameter == "__tol" else "list"
    with pytest.raises(TypeError) as info:
        probe.checked(*args)
    assert str(info.value) == (
        f"Argument '{parameter}' has incorrect type (expected {expected}, got {got})"
    )


def test_entry_checks_come_after_binding_and_accept_exact_types():
    # A binding error wins over a wrong type.
    assert outcome(probe.checked, 1, True, [], 4) == outcome(twin("checked"), 1, True, [], 4)
    assert probe.checked("m", 2, [0.5]) == ("m", 2, [0.5])
    assert probe.checked("m") == ("m", 1, [])


def test_attribute_values_match_a_python_function():
    for name in ("mixed", "checked", "keywords", "store"):
        native, python = getattr(probe, name), twin(name)
        assert native.__name__ == python.__name__
        assert native.__qualname__ == python.__qualname__
        assert native.__defaults__ == python.__defaults__
        assert native.__kwdefaults__ == python.__kwdefaults__
        assert list(native.__annotations__.items()) == list(python.__annotations__.items())
        assert native.__type_params__ == python.__type_params__ == ()
        assert native.__doc__ is None
        assert native.__module__ == "orvane.basic._runtime_probe"
        assert native.__globals__ is vars(probe)
        assert native.__builtins__ is vars(builtins)
    assert probe.star_args.__qualname__ == probe.star_args.__name__ == "<lambda>"


@pytest.mark.parametrize(
    ("attribute", "value"),
    [
        ("__name__", 3),
        ("__qualname__", None),
        ("__defaults__", [1]),
        ("__kwdefaults__", [1]),
        ("__annotations__", ("a",)),
        ("__dict__", []),
        ("__type_params__", [1]),
        ("__code__", "text"),
        ("__globals__", {}),
        ("__builtins__", {}),
        ("__closure__", ()),
    ],
)
def test_invalid_attribute_values_fail_like_python(attribute, value):
    expected = outcome(setattr, twin("mixed"), attribute, value)
    assert expected[0] in (TypeError, AttributeError)
    assert outcome(setattr, probe.mixed, attribute, value) == expected


def test_a_code_object_cannot_replace_the_cpp_body():
    with pytest.raises(TypeError, match="cannot be replaced: its body is C"):
        probe.mixed.__code__ = twin("mixed").__code__
    assert probe.mixed(1, 2) == (1, 2, 3, (), {})


@pytest.mark.parametrize("name", list(TWIN_SOURCES))
def test_code_object_describes_the_parameters_like_the_twins(name):
    native, python = getattr(probe, name), twin(name)
    for field in ("co_name", "co_qualname", "co_varnames", "co_argcount", "co_posonlyargcount",
                  "co_kwonlyargcount", "co_flags"):  # fmt: skip
        assert getattr(native.__code__, field) == getattr(python.__code__, field), field
    assert native.__code__.co_filename == "src/native/probe/probe.cpp"
    assert native.__code__.co_firstlineno > 1
    assert native.__closure__ is python.__closure__ is None
    # No __signature__: inspect takes the path of a Python function.
    assert not hasattr(native, "__signature__") and not hasattr(python, "__signature__")


def test_inspect_evaluates_and_subclasses_signatures_as_for_the_twin():
    names = {"np": np, "tuple": tuple, "int": int}
    native, python = probe.mixed, twin("mixed")
    evaluated = inspect.signature(native, eval_str=True, globals=names)
    assert evaluated == inspect.signature(python, eval_str=True, globals=names)
    assert evaluated.parameters["x"].annotation is np.ndarray

    class Described(inspect.Signature):
        pass

    assert type(Described.from_callable(native)) is Described


@pytest.mark.parametrize(
    "attribute", ["__name__", "__qualname__", "__dict__", "__type_params__", "__code__",
                  "__globals__", "__closure__"],
)  # fmt: skip
def test_deleting_required_attributes_fails_like_python(attribute):
    assert outcome(delattr, probe.mixed, attribute) == outcome(delattr, twin("mixed"), attribute)


def test_attributes_are_writable(monkeypatch):
    func = probe.mixed
    monkeypatch.setattr(func, "__qualname__", "renamed")
    with pytest.raises(TypeError, match=r"^renamed\(\) missing 2 required"):
        func()
    assert re.fullmatch(r"<function renamed at 0x[0-9a-f]+>", repr(func))

    monkeypatch.setattr(func, "__defaults__", (10, 20))
    assert func(1) == (1, 10, 20, (), {})
    monkeypatch.setattr(func, "__defaults__", None)
    assert outcome(func, 1, 2) == (
        TypeError,
        "renamed() missing 1 required positional argument: 'z'",
    )

    monkeypatch.setattr(func, "__doc__", "documented")
    assert func.__doc__ == "documented"
    monkeypatch.setattr(func, "__kwdefaults__", {"k": 1})
    assert func.__kwdefaults__ == {"k": 1}
    monkeypatch.setattr(func, "custom", [1, 2], raising=False)
    assert func.__dict__["custom"] == [1, 2]
    monkeypatch.setattr(func, "__type_params__", (int,))
    assert func.__type_params__ == (int,)


def test_deleted_optional_attributes_read_like_python():
    for func in (probe.lookup, twin("lookup")):
        saved = (func.__doc__, func.__module__, func.__annotations__)
        func.__doc__ = "text"
        del func.__doc__
        del func.__module__
        del func.__annotations__
        assert (func.__doc__, func.__module__, func.__annotations__) == (None, None, {})
        func.__doc__, func.__module__, func.__annotations__ = saved
    assert probe.lookup.__module__ == "orvane.basic._runtime_probe"


# Steps on a function's annotations: "get" an attribute, "set" it to a value, "del" it. On
# 3.14 and later, __annotate__ and __annotations__ depend on each other; on 3.13 a function
# has no __annotate__ and setting one just stores it in __dict__.
ANNOTATION_STEPS = [
    [("get", "__annotate__"), ("get", "__annotations__"), ("get", "__annotate__")],
    [("set", "__annotate__", None), ("get", "__annotations__"), ("get", "__annotate__")],
    [("get", "__annotations__"), ("set", "__annotate__", None), ("get", "__annotations__")],
    [("set", "__annotate__", 3), ("del", "__annotate__"), ("get", "__annotations__")],
    [("set", "__annotations__", {"q": 1}), ("get", "__annotate__"), ("get", "__annotations__")],
    [
        ("set", "__annotate__", lambda format: {"z": format}),
        ("get", "__annotations__"),
        ("set", "__annotate__", lambda format: 5),
        ("get", "__annotations__"),
    ],  # fmt: skip
    [("del", "__annotations__"), ("get", "__annotations__"), ("get", "__annotate__")],
]


def observed(value):
    """A comparable account of what a step gave: an annotate function by what it returns."""
    if callable(value):
        return ("function", value.__qualname__.rpartition(".")[2], outcome(value, 1))
    return value


def annotation_outcomes(func, steps):
    results = []
    for action, attribute, *value in steps:
        if action == "get":
            result = outcome(getattr, func, attribute)
            if result[0] == "ok":
                result = ("ok", observed(result[1]))
        else:
            args = (func, attribute, *value)
            result = outcome(setattr if action == "set" else delattr, *args)
        if result[0] is AttributeError:  # the same but for the name of the type
            result = (AttributeError, re.sub(r"'[\w.]+\.native_function'", "'function'", result[1]))
        results.append(result)
    return results


@pytest.mark.parametrize("steps", ANNOTATION_STEPS)
@pytest.mark.parametrize("name", ["mixed", "lookup"])
def test_annotations_follow_the_rules_of_a_def(name, steps):
    native, saved_dict = getattr(probe, name), dict(vars(getattr(probe, name)))
    saved = native.__annotate__ if hasattr(native, "__annotate__") else native.__annotations__
    try:
        assert annotation_outcomes(native, steps) == annotation_outcomes(twin(name), steps)
    finally:
        vars(native).clear()
        vars(native).update(saved_dict)
        if callable(saved) or saved is None:
            native.__annotate__ = saved
        else:
            native.__annotations__ = saved


@pytest.mark.parametrize("name", list(TWIN_SOURCES))
def test_annotation_tools_read_the_same_as_for_the_twin(name):
    annotationlib = pytest.importorskip("annotationlib")  # 3.14 on
    native, python = getattr(probe, name), twin(name)
    wrapped = functools.wraps(native)(lambda *args, **kwargs: None)
    for format in annotationlib.Format:
        if format != annotationlib.Format.VALUE_WITH_FAKE_GLOBALS:
            expected = annotationlib.get_annotations(python, format=format)
            assert annotationlib.get_annotations(native, format=format) == expected
            assert annotationlib.get_annotations(wrapped, format=format) == expected


def test_signature_equals_that_of_the_python_twin(monkeypatch):
    """Read by inspect from __code__, __defaults__ and __annotations__, as for the twin."""
    for name in TWIN_SOURCES:
        assert inspect.signature(getattr(probe, name)) == inspect.signature(twin(name))
    monkeypatch.setattr(probe.mixed, "__defaults__", (7, 8))
    python = twin("mixed")
    python.__defaults__ = (7, 8)
    assert inspect.signature(probe.mixed) == inspect.signature(python)


def test_binds_as_a_method_and_as_type_slots():
    namespace = {"__init__": probe.store, "__getitem__": probe.mixed, "m": probe.mixed}
    cls = type("Holder", (), namespace)
    holder = cls(5)
    assert holder.value == 5
    assert holder[3] == (holder, 3, 3, (), {})
    bound = holder.m
    assert inspect.ismethod(bound) and bound.__func__ is probe.mixed and bound.__self__ is holder
    assert bound(1, 2, 3, 4) == (holder, 1, 2, (3, 4), {})
    assert cls.m is probe.mixed
    assert list(inspect.signature(bound).parameters) == ["y", "z", "args", "kwargs"]

    falsy = type("Falsy", (), {"__bool__": lambda *args: probe.star_args(*args) == ()})
    assert bool(falsy()) is False


def test_works_as_a_method_of_a_dataclass():
    @dataclasses.dataclass
    class Point:
        x: int
        store = probe.store

    point = Point(1)
    assert point.store(9) is None and point.value == 9
    assert Point(1) == Point(1) and repr(Point(2)).endswith("Point(x=2)")


def test_pickles_by_reference_and_copies_as_itself(monkeypatch):
    for name in ("mixed", "checked", "keywords", "lookup", "fail", "store", "star_args"):
        func = getattr(probe, name)
        assert pickle.loads(pickle.dumps(func)) is func
        assert copy.copy(func) is func and copy.deepcopy(func) is func
    # An anonymous function goes by the module attribute it is bound to, while it is.
    anonymous = probe.star_args
    monkeypatch.setattr(probe, "star_args", None)
    with pytest.raises(pickle.PicklingError):
        pickle.dumps(anonymous)


def test_functools_wraps_and_weak_references():
    @functools.wraps(probe.mixed)
    def wrapper(*args, **kwargs):
        return probe.mixed(*args, **kwargs)

    assert wrapper.__name__ == "mixed" and wrapper.__wrapped__ is probe.mixed
    assert wrapper.__annotations__ == probe.mixed.__annotations__
    assert inspect.signature(wrapper) == inspect.signature(twin("mixed"))

    ref = weakref.ref(probe.mixed)
    assert ref() is probe.mixed


def test_takes_part_in_cyclic_gc():
    assert gc.is_tracked(probe.mixed)
    # The module namespace refers to its functions and each function to the namespace.
    assert vars(probe) in gc.get_referents(probe.mixed)


def test_module_level_names_are_looked_up_at_each_call(monkeypatch):
    assert probe.lookup("answer") == "forty-two"
    monkeypatch.setattr(probe, "answer", 43)
    assert probe.lookup("answer") == 43
    assert probe.lookup("len") is len
    monkeypatch.setattr(probe, "len", "shadowed", raising=False)
    assert probe.lookup("len") == "shadowed"
    with pytest.raises(NameError, match=r"^name 'missing_name' is not defined$") as info:
        probe.lookup("missing_name")
    assert info.value.name == "missing_name"


def test_rebinding_is_detected_by_identity(monkeypatch):
    assert probe.untouched() is True
    with monkeypatch.context() as patch:
        # An equal but different object counts as rebound.
        patch.setattr(probe, "answer", "".join(["forty", "-two"]))
        assert probe.untouched() is False
    assert probe.untouched() is True
    with monkeypatch.context() as patch:
        patch.delattr(probe, "lookup")
        assert probe.untouched() is False
    assert probe.untouched() is True


@pytest.mark.parametrize(
    ("kind", "error", "message"),
    [
        ("python", ValueError, "raised as a Python error"),
        ("bad_alloc", MemoryError, ""),
        ("runtime", SystemError, "a C++ failure"),
        ("unknown", SystemError, "unknown C++ exception"),
        ("unset", SystemError, "error return without exception set"),
    ],
)
def test_cpp_exceptions_become_python_errors(kind, error, message):
    with pytest.raises(error) as info:
        probe.fail(kind)
    assert str(info.value) == message
    assert probe.fail("nothing") is None


def test_native_functions_cannot_be_instantiated_or_subclassed():
    native_type = type(probe.mixed)
    with pytest.raises(TypeError):
        native_type()
    with pytest.raises(TypeError):
        type("Sub", (native_type,), {})


def test_no_reference_leaks_on_success_and_error_paths():
    arg = object()
    key_value = object()
    wrong = (1.5,)
    holder = type("Holder", (), {})()
    paths = [
        lambda: probe.mixed(arg, arg, arg, arg, k=key_value),
        lambda: probe.checked(arg, 2, [arg]),
        lambda: probe.keywords(a=arg, b=key_value),
        lambda: probe.mixed(arg, x=arg),
        lambda: probe.mixed(arg, y=arg, bad=key_value, **{"unknown": arg}),
        lambda: probe.checked(arg, True, [arg]),
        lambda: probe.checked(arg, 2, wrong),
        lambda: probe.keywords(arg),
        lambda: probe.store(holder, key_value),
        lambda: probe.lookup("not_there"),
    ]
    for path in paths:
        before = (sys.getrefcount(arg), sys.getrefcount(key_value), sys.getrefcount(wrong))
        for _ in range(1000):
            try:
                result = path()
            except (TypeError, NameError):
                pass
            else:
                del result
        probe.store(holder, None)
        after = (sys.getrefcount(arg), sys.getrefcount(key_value), sys.getrefcount(wrong))
        assert after == before


def test_each_module_exports_only_its_entry_point():
    import subprocess
    from pathlib import Path

    import orvane.basic

    libraries = sorted(Path(orvane.basic.__file__).parent.glob("*.so"))
    assert {lib.name.split(".")[0] for lib in libraries} >= {"trialgrid", "_runtime_probe"}
    for library in libraries:
        listing = subprocess.run(
            ["nm", "-D", "--defined-only", str(library)], capture_output=True, text=True, check=True
        ).stdout
        symbols = [line.split()[-1] for line in listing.splitlines() if line.strip()]
        assert symbols == [f"PyInit_{library.name.split('.')[0]}"]
        # The symbol table stays (not stripped): native stacks in py-spy, perf and gdb name
        # the functions, though only the entry point is exported.
        table = subprocess.run(
            ["nm", "-C", "--defined-only", str(library)], capture_output=True, text=True
        ).stdout
        assert "orvane::rt::detail::run_body(" in table, library.name
        # No symbol of a newer glibc or libstdc++ than manylinux_2_28 allows (RHEL 8: glibc
        # 2.28, GCC 8), whatever compiler built it: the wheels keep their old tag.
        versions = subprocess.run(["objdump", "-T", str(library)], capture_output=True,
                                  text=True).stdout  # fmt: skip
        newest = {}
        for name, number in re.findall(r"\((GLIBC|GLIBCXX|CXXABI)_([\d.]+)\)", versions):
            newest[name] = max(newest.get(name, ()), tuple(map(int, number.split("."))))
        assert newest.get("GLIBC", ()) <= (2, 28), (library.name, newest)
        assert newest.get("GLIBCXX", ()) <= (3, 4, 25), (library.name, newest)
        assert newest.get("CXXABI", ()) <= (1, 3, 11), (library.name, newest)
        # One unwinder: LLVM's libunwind (libc++abi's) and GCC's libgcc_s side by side bind
        # libgcc_s's own calls to libunwind, and a libstdc++ extension's exception crashes.
        needed = subprocess.run(["readelf", "-d", str(library)], capture_output=True,
                                text=True).stdout  # fmt: skip
        assert not ("[libunwind.so" in needed and "[libgcc_s.so" in needed), needed
    # A module imported first in a fresh process (every module is linked alike), then
    # SimpleITK (built with libstdc++) throws a C++ exception of its own: it reaches Python
    # as its RuntimeError.
    script = (
        "import orvane.basic.medical, SimpleITK\n"
        "try:\n    SimpleITK.ReadImage('/nonexistent/image.nii')\n"
        "except RuntimeError:\n    print('raised')\n"
    )
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=600)  # fmt: skip
    assert (run.returncode, run.stdout) == (0, "raised\n"), (run.returncode, run.stderr)


# ------------------------------------------------------------------ tracebacks


def entries(exc):
    return [(entry.filename, entry.name) for entry in traceback.extract_tb(exc.__traceback__)]


def test_an_error_leaving_a_native_function_adds_its_traceback_entry():
    with pytest.raises(ValueError) as info:
        probe.fail("python")
    assert entries(info.value)[-1] == ("src/native/probe/probe.cpp", "fail")
    # numpy's error inside _minimum_dis (no shell points): the function stands between.
    with pytest.raises(ValueError) as info:
        medical._minimum_dis(np.zeros((4, 4), bool), np.ones((4, 4), bool), [1.0, 1.0])
    names = [name for _, name in entries(info.value)]
    assert names[1] == "_minimum_dis" and "vstack" in names[2:]
    # A binding error is raised before the function runs, as for the twin: no entry.
    for func in (probe.mixed, twin("mixed")):
        with pytest.raises(TypeError) as info:
            func()
        assert len(entries(info.value)) == 1


def test_name_errors_carry_the_interpreters_hint():
    namespace = {}
    exec("def lookup(name):\n    return pritn", namespace)
    hints = []
    for func in (probe.lookup, namespace["lookup"]):
        with pytest.raises(NameError) as info:
            func("pritn")
        hints.append(traceback.format_exception(info.value)[-1])
    assert hints[0] == hints[1]
    assert hints[0] == "NameError: name 'pritn' is not defined. Did you mean: 'print'?\n"


# ------------------------------------------------------------------ recursion

RECURSION = """
import json, sys, threading
import numpy as np
from scipy import ndimage
from orvane.basic import medical, trialgrid
from orvane.basic.functions import FuncTools

def shell_through_itself():
    medical.binary_erosion = medical._to_shell
    try:
        medical._to_shell(np.ones((3, 3), bool))
    except RecursionError as exc:
        return type(exc).__name__
    finally:
        medical.binary_erosion = ndimage.binary_erosion

@FuncTools.attach_attr(orvane_func=True)
def nested(data):
    return trialgrid.traversal_on_params(data=nested, params_pool={"data": [data]},
                                         concise_result=False)

def grid_through_itself():
    import contextlib, io
    with contextlib.redirect_stdout(io.StringIO()):
        table = nested(1)
    while table["comment"][0] == 0:  # down to the innermost trial
        table = table["result"][0]
    return table["comment"][0].split("(")[0]

def both():
    return [shell_through_itself(), grid_through_itself()]

def in_thread(func):
    out = []
    thread = threading.Thread(target=lambda: out.append(func()))
    thread.start()
    thread.join()
    return out[0]

# How deep a recursion through a Python function in between gets: native, then twin.
def depths(limit):
    sys.setrecursionlimit(limit)
    depth = [0]
    def counting(array):
        depth[0] += 1
        return medical._to_shell(array)
    def twin_counting(array):
        depth[0] += 1
        return twin_shell(array)
    def twin_shell(x, tol=1):
        _x = x.copy()
        for _ in range(tol):
            _x = twin_counting(_x)
        return (x.astype(int) - _x.astype(int)).astype(bool)
    found = []
    medical.binary_erosion = counting
    for shell in (medical._to_shell, twin_shell):
        depth[0] = 0
        try:
            shell(np.ones((3, 3), bool))
        except RecursionError:
            found.append(depth[0])
    medical.binary_erosion = ndimage.binary_erosion
    sys.setrecursionlimit(1000)
    return found

results = {"main": both()}
sys.setrecursionlimit(10**6)  # only the C stack stops it
results["main, no limit"] = both()
sys.setrecursionlimit(1000)
threading.stack_size(4 * 2**20)
results["4 MiB thread"] = in_thread(both)
sys.setrecursionlimit(10**6)
results["4 MiB thread, no limit"] = in_thread(both)
sys.setrecursionlimit(1000)
results["depths"] = [depths(120), depths(400)]
results["still usable"] = int(medical._to_shell(np.ones((3, 3), bool)).sum())
print(json.dumps(results))
"""


def test_recursion_raises_recursion_error_instead_of_crashing():
    """Through rebound module names and through Python code in between, on the main
    thread and in a thread with a 4 MiB stack, with the recursion limit or without one:
    RecursionError, and the interpreter goes on. A native level counts as a Python frame
    does, so a recursion gets exactly as deep as its Python twin."""
    child = subprocess.run(
        [sys.executable, "-c", RECURSION], capture_output=True, text=True, timeout=600
    )
    assert child.returncode == 0, child.stderr[-2000:]
    results = json.loads(child.stdout.splitlines()[-1])
    for case in ("main", "main, no limit", "4 MiB thread", "4 MiB thread, no limit"):
        assert results[case] == ["RecursionError", "RecursionError"], case
    (native_low, twin_low), (native_high, twin_high) = results["depths"]
    assert native_low == twin_low and native_high == twin_high and native_low < native_high
    assert results["still usable"] == 8


# ------------------------------------------------------------------ profilers and monitoring


def test_profilers_and_monitoring_tools_see_native_calls():
    profiler = cProfile.Profile()
    profiler.runcall(lambda: [probe.mixed(1, 2) for _ in range(3)])
    rows = {key: value for key, value in pstats.Stats(profiler).stats.items()
            if key[0] == "src/native/probe/probe.cpp"}  # fmt: skip
    assert [(key[2], calls) for key, (_, calls, *_) in rows.items()] == [("mixed", 3)]

    events = []
    monitoring, tool = sys.monitoring, 4
    kinds = monitoring.events
    monitoring.use_tool_id(tool, "test")
    try:
        for kind, name in ((kinds.PY_START, "start"), (kinds.PY_RETURN, "return"),
                           (kinds.PY_UNWIND, "unwind")):  # fmt: skip
            monitoring.register_callback(
                tool, kind, lambda code, offset, *arg, name=name: events.append((name, code, *arg))
            )
        monitoring.set_events(tool, kinds.PY_START | kinds.PY_RETURN | kinds.PY_UNWIND)
        result = probe.mixed(1, 2)
        with pytest.raises(ValueError) as info:
            probe.fail("python")
        # The interpreter words the unpacking error; the source that has it do so is unseen.
        with pytest.raises(ValueError, match="too many values"):
            probe.unpack_pair([1, 2, 3])
    finally:
        monitoring.set_events(tool, 0)
        monitoring.free_tool_id(tool)
    codes = (probe.mixed.__code__, probe.fail.__code__)
    assert [event for event in events if event[1] in codes] == [
        ("start", codes[0]), ("return", codes[0], result), ("start", codes[1]),
        ("unwind", codes[1], info.value)]  # fmt: skip
    assert [event[0] for event in events if event[1] is probe.unpack_pair.__code__] == [
        "start", "unwind"]  # fmt: skip
    assert not [event for event in events if event[1].co_filename == "<unpacking>"]


def test_a_profile_function_sees_native_calls_as_calls_of_built_ins():
    """sys.setprofile's handlers report the innermost Python frame; a native function has
    none, so it is reported as a built-in function is: c_call and c_return (or
    c_exception) on the caller's frame, which keeps the pure-Python profiler's books."""
    seen = []
    natives = (probe.mixed, probe.fail)
    sys.setprofile(lambda frame, event, arg: seen.append((event, arg)) if arg in natives else None)
    try:
        probe.mixed(1, 2)
        with pytest.raises(ValueError):
            probe.fail("python")
    finally:
        sys.setprofile(None)
    assert seen == [("c_call", probe.mixed), ("c_return", probe.mixed),
                    ("c_call", probe.fail), ("c_exception", probe.fail)]  # fmt: skip
    with warnings.catch_warnings():  # the pure-Python profiler, deprecated from 3.15 on
        warnings.simplefilter("ignore", DeprecationWarning)
        profile = pytest.importorskip("profile")
    profile.Profile().runcall(lambda: [probe.mixed(1, 2) for _ in range(3)])


# ------------------------------------------------------------------ debuggers, line profilers

DEBUGGEE = """import json, sys

import numpy as np

from orvane.basic import _runtime_probe as probe
from orvane.basic import medical, trialgrid
from orvane.basic.functions import FuncTools

if "--debug" in sys.argv:
    import debugpy

    print(debugpy.listen(("127.0.0.1", 0))[1], flush=True)
    debugpy.wait_for_client()


@FuncTools.attach_attr(docstring="Twice.", orvane_func=True, entry_tp=int, return_tp=int)
def twice(data):
    return 2 * data  # breakpoint


results = {}
mask = np.zeros((5, 5, 5), bool)
mask[1:4, 1:4, 1:4] = True
results["shell"] = int(medical._to_shell(mask).sum())
try:
    medical._is_enclosed(np.zeros((3, 3), bool), np.zeros((3, 3), bool))
except ValueError as exc:
    results["enclosed"] = repr(exc)
try:
    probe.fail("python")
except ValueError as exc:
    results["probe"] = repr(exc)
table = trialgrid.traversal_on_params(data=twice, params_pool={"data": [1, 2]})
results["table"] = table["result"].tolist()
print(json.dumps(results))
"""


@functools.cache
def plain_run_of_the_debuggee(directory):
    script = directory / "debuggee.py"
    script.write_text(DEBUGGEE)
    run = subprocess.run([sys.executable, "-W", "ignore", str(script)], capture_output=True,
                         text=True, cwd=directory, timeout=300)  # fmt: skip
    assert run.returncode == 0, run.stderr
    return script, run.stdout.splitlines()[-1]


@pytest.mark.parametrize(
    "filters",
    [[], ["raised"], ["uncaught"], ["userUnhandled"]],
    ids=lambda f: "+".join(f) or "none",
)
def test_a_program_runs_the_same_under_debugpy(tmp_path_factory, filters):
    """VS Code's debugger (debugpy) with a breakpoint and each exception filter: the same
    output, exceptions caught where the program catches them, and the breakpoint in the
    Python function that the trial runner calls is hit once per trial."""
    script, expected = plain_run_of_the_debuggee(tmp_path_factory.getbasetemp())
    # In the Python function that the trial runner calls.
    breakpoint_line = DEBUGGEE.splitlines().index("    return 2 * data  # breakpoint") + 1
    child = subprocess.Popen([sys.executable, "-W", "ignore", str(script), "--debug"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)  # fmt: skip
    try:
        port = int(child.stdout.readline())
        stops, errors = debug_session(port, {script: [breakpoint_line]}, filters)
        out, err = child.communicate(timeout=300)
    finally:
        child.kill()
    assert child.returncode == 0, err[-3000:]
    assert out.splitlines()[-1] == expected
    assert not errors
    assert stops.count("breakpoint") == 2


@pytest.mark.parametrize("core", ["sysmon", "ctrace", "pytrace"])
def test_a_program_runs_the_same_under_coverage(tmp_path_factory, tmp_path, core):
    """coverage.py in each of its cores, sys.monitoring's among them."""
    script, expected = plain_run_of_the_debuggee(tmp_path_factory.getbasetemp())
    run = subprocess.run([sys.executable, "-W", "ignore", "-m", "coverage", "run", str(script)],
                         capture_output=True, text=True, cwd=tmp_path, timeout=300,
                         env={**os.environ, "COVERAGE_CORE": core})  # fmt: skip
    assert run.returncode == 0, run.stderr[-3000:]
    assert run.stdout.splitlines()[-1] == expected
    subprocess.run([sys.executable, "-m", "coverage", "json", "-o", "coverage.json"],
                   cwd=tmp_path, timeout=300, check=True, capture_output=True)  # fmt: skip
    files = json.loads((tmp_path / "coverage.json").read_text())["files"]
    (measured,) = files.values()
    lines = DEBUGGEE.splitlines()
    branch = range(lines.index('if "--debug" in sys.argv:') + 2, lines.index(
        "    debugpy.wait_for_client()") + 2)  # fmt: skip
    # All but the debugger's branch ran, the function that the trial runner calls included.
    assert measured["missing_lines"] == [number for number in branch if lines[number - 1]]


class Recorded:
    """An object whose attribute writes run Python code (a breakpoint's place)."""

    def __setattr__(self, name, value):
        object.__setattr__(self, name, value * 2)


@pytest.mark.parametrize("backend", ["settrace", "monitoring"])
def test_bdb_stops_in_python_code_under_a_native_call(backend):
    if backend not in ("settrace", *([] if sys.version_info < (3, 14) else ["monitoring"])):
        pytest.skip("bdb has a sys.monitoring backend from 3.14 on")
    stops = []

    class Stepper(bdb.Bdb):
        def user_line(self, frame):
            stops.append((frame.f_code.co_name, frame.f_lineno))
            self.set_continue()

    def program():
        holder = Recorded()
        probe.store(holder, 21)  # calls Recorded.__setattr__
        with pytest.raises(ValueError):
            probe.fail("python")
        return holder.value

    stepper = Stepper(**({"backend": backend} if backend == "monitoring" else {}))
    line = Recorded.__setattr__.__code__.co_firstlineno + 1
    assert stepper.set_break(__file__, line) is None
    assert stepper.runcall(program) == 42
    assert [stop for stop in stops if stop[0] == "__setattr__"] == [("__setattr__", line)]


def test_line_profiler_takes_native_functions_and_profiles_the_rest():
    import line_profiler

    def python_side(n):
        total = 0
        for index in range(n):
            total += index
        return total

    native, original = probe.lookup, probe.lookup.__code__
    try:
        profiler = line_profiler.LineProfiler(native, python_side)
        assert profiler.runcall(lambda: (native("answer"), python_side(10))) == ("forty-two", 45)
        timings = {key[2].rpartition(".")[2]: lines
                   for key, lines in profiler.get_stats().timings.items()}  # fmt: skip
        assert timings["lookup"] == [] and len(timings["python_side"]) >= 3
        # The copy of its code object that the profiler padded names the function to tools.
        assert native.__code__ is not original and native.__code__.co_name == "lookup"
        with pytest.raises(TypeError, match="cannot be replaced: its body is C"):
            native.__code__ = python_side.__code__
    finally:
        native.__code__ = original
    assert native.__code__ is original
