"""The native function type against CPython's own function object.

Every native function is checked against a "twin": a Python function with the same
signature, built with exec, so that the expected behaviour and messages come from the
interpreter itself rather than from strings typed here.
"""

import builtins
import copy
import dataclasses
import functools
import gc
import inspect
import pickle
import re
import sys
import weakref

import numpy as np
import pytest

from orvane.basic import _runtime_probe as probe

TWIN_SOURCES = {
    "mixed": "def mixed(x: 'np.ndarray', y, z: 'int' = 3, *args, **kwargs) -> 'tuple':\n"
    "    return (x, y, z, args, kwargs)",
    "checked": "def checked(data, __tol: 'int' = 1, sp: 'list' = []):\n"
    "    return (data, __tol, sp)",
    "star_args": "star_args = lambda *args: (args,)",
    "keywords": "def keywords(**params):\n    return (params,)",
    "lookup": "def lookup(name):\n    pass",
    "store": "def store(self, value=None):\n    self.value = value",
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
    ],
)
def test_invalid_attribute_values_fail_like_python(attribute, value):
    expected = outcome(setattr, twin("mixed"), attribute, value)
    assert expected[0] is TypeError
    assert outcome(setattr, probe.mixed, attribute, value) == expected


@pytest.mark.parametrize("attribute", ["__name__", "__qualname__", "__dict__", "__type_params__"])
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


def test_signature_equals_that_of_the_python_twin(monkeypatch):
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
