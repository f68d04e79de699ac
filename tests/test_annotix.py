"""Tests of orvane.basic.annotix: the type-hint vocabulary, the marker and GauWisTP."""

import dataclasses
import json
import pickle
import subprocess
import sys
import textwrap
import typing

import numpy as np
import pytest
import scipy.stats as st

from orvane.basic import annotix

TYPING_NAMES = (
    "TypeVar ByteString Type Set FrozenSet Tuple List Dict Any Callable Mapping Sequence "
    "Iterator Iterable Generator NoReturn Union"
).split()
ALL = (
    "T Tp Null NullType NoneType Numeric builtin_tp typing_pure_map abstract_tp np_ndarray "
    "BernBinTP CatMultTP BetaTP DirTP DirMultTP PoiTP NbinTP GamTP ExpTP ErlTP GauTP MGauTP "
    "WisTP StuTP GauWisTP"
).split()
PRIVATE = "cp_ndarray CUDA_AVAILABLE _T _bin_hook _multi_hook st np DataFrame dataclass".split()


def run_python(code, path=None):
    """Runs `code` in a fresh interpreter, with `path` first on sys.path."""
    env_code = f"import sys; sys.path.insert(0, {str(path)!r})\n" if path else ""
    return subprocess.run(
        [sys.executable, "-c", env_code + textwrap.dedent(code)],
        capture_output=True,
        text=True,
        cwd=path,
    )


# --- the module namespace -------------------------------------------------------------


def test_namespace_holds_exactly_the_vocabulary():
    own = {name for name in vars(annotix) if not name.startswith("__")}
    assert own == set(TYPING_NAMES) | set(ALL) | set(PRIVATE)
    assert annotix.__all__ == ALL
    assert annotix.__doc__ is None
    for name in TYPING_NAMES:
        assert getattr(annotix, name) is getattr(typing, name)
    assert annotix.np is np and annotix.st is st and annotix.np_ndarray is np.ndarray
    assert annotix.dataclass is dataclasses.dataclass
    star = {}
    exec("from orvane.basic.annotix import *", star)
    assert set(star) - {"__builtins__"} == set(ALL)


def test_without_cupy_the_switch_is_off():
    if annotix.CUDA_AVAILABLE:
        pytest.skip("cupy is importable here; the stand-in tests cover this case")
    assert annotix.cp_ndarray is annotix.np_ndarray is np.ndarray
    assert len(annotix.builtin_tp) == 19
    assert not hasattr(annotix, "_")


def test_builtin_types_map_and_abstract_names():
    expected = [type(None), annotix.NullType, Ellipsis, bool, str, bytes, int, float]
    expected += [complex, type, set, frozenset, tuple, list, dict, object, np.ndarray]
    expected += [annotix.DataFrame, Exception]
    assert [a is b for a, b in zip(annotix.builtin_tp, expected, strict=True)] == [True] * 19

    t = typing
    pure = [(t.ByteString, bytes), (t.Type, type), (t.Set, set), (t.FrozenSet, frozenset)]
    pure += [(t.Tuple, tuple), (t.List, list), (t.Dict, dict), (t.Any, object)]
    pure += [(t.Callable, t.Callable), (t.Mapping, t.Callable), (t.Generator, t.Generator)]
    pure += [(t.Sequence, t.Sequence), (t.Iterable, t.Iterable), (t.Iterator, t.Iterator)]
    pure += [(t.NoReturn, type(None))]
    items = list(annotix.typing_pure_map.items())
    assert [(k is a, v is b) for (k, v), (a, b) in zip(items, pure, strict=True)] == [
        (True, True)
    ] * 15
    assert annotix.abstract_tp == ["Sequence", "Iterable", "Iterator", "Generator"] + [
        "Callable",
        "Mapping",
    ]


def test_null_sentinel_is_false_and_distinct_from_none():
    null_type = annotix.NullType
    assert bool(annotix.Null) is False and not annotix.Null and annotix.Null is not None
    assert bool(null_type()) is False and null_type() is not annotix.Null
    assert annotix.Null != None  # noqa: E711
    assert null_type.__bool__(1, 2, 3) is False
    with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
        null_type.__bool__(x=1)
    assert null_type.__bases__ == (object,) and type(null_type) is type
    assert null_type.__module__ == "orvane.basic.annotix" and null_type.__qualname__ == "NullType"
    assert null_type.__bool__.__name__ == "<lambda>"


def test_type_variable_and_numeric_union():
    assert annotix.Numeric == typing.Union[int, float]  # noqa: UP007
    assert annotix.Tp.__name__ == "Tp" and isinstance(annotix.Tp, typing.TypeVar)
    # As a TypeVar made at module level would: it pickles by reference to this module.
    assert pickle.loads(pickle.dumps(annotix.Tp)) is annotix.Tp


@pytest.mark.parametrize(
    ("aliases", "hook", "class_name"),
    [
        ("BernBinTP PoiTP NbinTP", "_distn_infrastructure", "rv_discrete_frozen"),
        ("CatMultTP", "_multivariate", "multinomial_frozen"),
        ("BetaTP GamTP GauTP ExpTP ErlTP", "_distn_infrastructure", "rv_continuous_frozen"),
        ("DirTP", "_multivariate", "dirichlet_frozen"),
        ("DirMultTP", "_multivariate", "dirichlet_multinomial_frozen"),
        ("MGauTP", "_multivariate", "multivariate_normal_frozen"),
        ("WisTP", "_multivariate", "wishart_frozen"),
        ("StuTP", "_multivariate", "multivariate_t_frozen"),
    ],
)
def test_distribution_aliases_are_scipy_classes(aliases, hook, class_name):
    scipy_class = getattr(getattr(st, hook), class_name)
    assert [getattr(annotix, alias) is scipy_class for alias in aliases.split()] == [True] * len(
        aliases.split()
    )
    assert annotix._bin_hook is st._distn_infrastructure
    assert annotix._multi_hook is st._multivariate


def test_continuous_alias_accepts_any_frozen_continuous_distribution():
    assert isinstance(st.norm(), annotix.GauTP) and isinstance(st.expon(), annotix.GauTP)
    assert isinstance(st.poisson(2.0), annotix.PoiTP)
    assert not isinstance(st.norm(), annotix.PoiTP)


# --- the marker -----------------------------------------------------------------------


@pytest.mark.parametrize(
    ("make", "expected"),
    [
        (lambda T: T[0:int], (0, int, None)),
        (lambda T: T[:str:True], (None, str, True)),
        (lambda T: T[::], (None, None, None)),
        (lambda T: T[1:2:3][4:5], (4, 5, None)),
        (lambda T: T.__getitem__(type("Key", (), {"start": 1, "stop": 2, "step": 3})), (1, 2, 3)),
    ],
)
def test_subscript_makes_a_new_marker_from_the_slice(make, expected):
    T = annotix.T
    marker = make(T)
    assert (marker.value, marker.type, marker.escape) == expected
    assert type(marker) is annotix._T and marker is not T
    assert (T.value, T.type, T.escape) == (None, None, False)


@pytest.mark.parametrize("key", [5, "a", (slice(1, 2), 3)])
def test_subscript_without_a_slice_raises_attribute_error(key):
    with pytest.raises(AttributeError, match="start"):
        annotix.T[key]
    assert vars(annotix.T) == {"value": None, "type": None, "escape": False}


def test_markers_are_plain_objects_compared_by_identity():
    cls = annotix._T
    assert type(cls) is type and cls.__bases__ == (object,)
    assert [k for k in vars(cls) if k not in ("__dict__", "__weakref__", "__doc__")] == [
        "__module__",
        "__init__",
        "__getitem__",
    ]
    assert cls.__init__.__qualname__ == "_T.__init__"
    assert annotix.T[1:2] != annotix.T[1:2]
    fresh = cls()
    assert vars(fresh) == vars(annotix.T) and fresh is not annotix.T
    assert hash(fresh) != hash(annotix.T) and repr(fresh).startswith("<orvane.basic.annotix._T ")
    with pytest.raises(TypeError, match=r"_T.__init__\(\) takes 1 positional argument"):
        cls(1)
    with pytest.raises(TypeError, match="not subscriptable"):
        cls[1:2]


def test_subscript_reads_the_module_class_at_each_call(monkeypatch):
    sub = type("Sub", (annotix._T,), {})
    monkeypatch.setattr(annotix, "_T", sub)
    assert type(annotix.T[1:2]) is sub


# --- GauWisTP -------------------------------------------------------------------------


def gauss_wishart(d, beta=2.0):
    rng = np.random.default_rng(d)
    factor = rng.normal(size=(d, d))
    return annotix.GauWisTP(np.arange(d, dtype=float), beta, d + 2, factor @ factor.T + np.eye(d))


def reference_rvs(dist, size):
    """The sampling steps written out in plain Python."""
    w = st.wishart(dist.nu, dist.w)
    _pre = np.array([w.rvs(1) for _ in range(size)])
    _cov = np.array([dist.beta * p for p in _pre])
    if _cov.ndim == 1:
        _cov = _cov[..., np.newaxis, np.newaxis]
    return np.array([st.multivariate_normal(dist.mean, np.linalg.pinv(c)).rvs(1) for c in _cov])


def test_dataclass_machinery():
    cls = annotix.GauWisTP
    assert cls.__annotations__ == {
        "mean": "np_ndarray",
        "beta": "Numeric",
        "nu": "int",
        "w": "np_ndarray",
    }
    assert [f.name for f in dataclasses.fields(cls)] == ["mean", "beta", "nu", "w"]
    assert cls.__match_args__ == ("mean", "beta", "nu", "w")
    assert repr(cls(1, 2, 3, 4)) == "GauWisTP(mean=1, beta=2, nu=3, w=4)"
    assert cls(1, 2, 3, 4) == cls(mean=1, beta=2, nu=3, w=4) != cls(1, 2, 3, 5)
    with pytest.raises(TypeError, match="unhashable"):
        hash(cls(1, 2, 3, 4))
    with pytest.raises(TypeError):
        cls(1, 2, 3)
    assert cls.rvs.__qualname__ == "GauWisTP.rvs" and cls.__module__ == "orvane.basic.annotix"


@pytest.mark.parametrize(
    ("mean", "beta", "nu", "w", "valid"),
    [
        (np.zeros(2), 1, 3, np.eye(2), True),
        (np.zeros(1), 1.5, 2, np.eye(1), True),
        (np.zeros(3), 1, 3, np.eye(2), False),  # mean and scale disagree in size
        (np.zeros(2), 1, 1, np.eye(2), False),  # too few degrees of freedom
        (np.zeros(2), 1, 3, -np.eye(2), False),  # scale not positive definite
        (1, 2, 3, 4, True),  # scipy takes scalars as 1 by 1
        (None, None, None, None, False),
    ],
)
def test_is_valid(mean, beta, nu, w, valid):
    assert annotix.GauWisTP(mean, beta, nu, w)._is_valid() is valid


def test_is_valid_lets_non_exceptions_through():
    class Stop(BaseException):
        pass

    class Beta:
        def __mul__(self, other):
            raise Stop

    with pytest.raises(Stop):
        annotix.GauWisTP(np.zeros(2), Beta(), 3, np.eye(2))._is_valid()


@pytest.mark.parametrize(("d", "size", "shape"), [(2, 5, (5, 2)), (1, 4, (4,)), (3, 0, (0,))])
def test_rvs_shapes(d, size, shape):
    assert gauss_wishart(d).rvs(size).shape == shape
    assert gauss_wishart(d).rvs(size=-2).shape == (0,)


def test_rvs_failures_propagate():
    with pytest.raises(ValueError):
        annotix.GauWisTP(np.zeros(2), 1, 1, np.eye(2)).rvs(0)  # the Wishart part comes first
    mismatched = annotix.GauWisTP(np.zeros(3), 1, 3, np.eye(2))
    assert mismatched.rvs(0).shape == (0,)
    with pytest.raises(ValueError):
        mismatched.rvs(1)
    with pytest.raises(TypeError, match="'float' object cannot be interpreted as an integer"):
        gauss_wishart(2).rvs(2.5)


@pytest.mark.parametrize(("d", "size"), [(1, 4), (2, 5), (3, 3), (2, 0), (1, 0)])
def test_rvs_consumes_the_global_stream_like_the_plain_steps(d, size):
    dist = gauss_wishart(d)
    np.random.seed(1234)
    native = dist.rvs(size)
    native_state = np.random.get_state()[1].copy()
    np.random.seed(1234)
    expected = reference_rvs(dist, size)
    assert native.shape == expected.shape and native.dtype == expected.dtype
    assert np.array_equal(native, expected)
    assert np.array_equal(native_state, np.random.get_state()[1])


def test_methods_read_scipy_from_the_module_at_each_call(monkeypatch):
    monkeypatch.setattr(annotix, "st", None)
    dist = gauss_wishart(2)
    assert dist._is_valid() is False
    with pytest.raises(AttributeError, match="wishart"):
        dist.rvs(1)


def test_no_reference_leaks_on_error_paths():
    key, dist = object(), annotix.GauWisTP(object(), 1, 3, np.eye(2))
    before = (sys.getrefcount(key), sys.getrefcount(dist.mean))
    for _ in range(200):
        with pytest.raises(AttributeError):
            annotix.T[key]
        assert dist._is_valid() is False
    assert (sys.getrefcount(key), sys.getrefcount(dist.mean)) == before


# --- import in a fresh interpreter ----------------------------------------------------

REPORT = """
try:
    import orvane.basic.annotix as a
except BaseException as exc:
    print(json.dumps({"error": type(exc).__name__, "text": str(exc)}))
else:
    print(json.dumps({
        "cuda": a.CUDA_AVAILABLE, "size": len(a.builtin_tp), "underscore": hasattr(a, "_"),
        "last_is_cupy": a.builtin_tp[-1] is a.cp_ndarray,
        "cupy_array": a.cp_ndarray is getattr(sys.modules.get("cupy"), "ndarray", None),
        "numpy_array": a.cp_ndarray is a.np_ndarray,
    }))
"""


@pytest.mark.parametrize(
    ("stand_in", "expected"),
    [
        (
            "class ndarray:\n    pass\n",
            {"cuda": True, "size": 20, "last_is_cupy": True, "cupy_array": True},
        ),
        # Already listed (numpy's own class): the membership test keeps it to one entry.
        ("from numpy import ndarray\n", {"cuda": True, "size": 19, "cupy_array": True}),
        (
            "raise ModuleNotFoundError('no cupy_backends')\n",
            {"cuda": False, "size": 19, "numpy_array": True},
        ),
        ("raise ImportError('libcudart.so missing')\n", {"cuda": False, "numpy_array": True}),
        ("raise RuntimeError('no CUDA driver')\n", {"error": "RuntimeError"}),
        ("", {"error": "AttributeError"}),  # importable, but without ndarray
    ],
)
def test_cuda_switch_with_a_stand_in_cupy(tmp_path, stand_in, expected):
    (tmp_path / "cupy").mkdir()
    (tmp_path / "cupy" / "__init__.py").write_text(stand_in)
    result = run_python("import json\n" + REPORT, tmp_path)
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    assert {key: report[key] for key in expected} == expected
    assert report.get("underscore") in (False, None)


def test_import_adds_no_warning_filter_and_warns_like_plain_imports():
    # The same imports written in Python give the expected filters (numpy and scipy add
    # their own) and ByteString deprecation warnings, whichever the interpreter emits.
    code = """
    import json, warnings
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        {statement}
        filters = [repr(entry) for entry in warnings.filters[1:]]
    messages = [str(w.message) for w in caught if "ByteString" in str(w.message)]
    print(json.dumps([filters, messages]))
    """
    plain = (
        f"from typing import {', '.join(TYPING_NAMES)}; from numpy import ndarray; "
        "import dataclasses, scipy.stats, pandas"
    )
    outputs = []
    for statement in (plain, "import orvane.basic.annotix"):
        result = run_python(code.replace("{statement}", statement))
        assert result.returncode == 0, result.stderr
        outputs.append(json.loads(result.stdout))
    assert outputs[1] == outputs[0]
