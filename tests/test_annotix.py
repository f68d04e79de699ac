"""Tests of orvane.basic.annotix: the type-hint vocabulary, the marker and GauWisTP."""

import builtins
import dataclasses
import json
import pickle
import subprocess
import sys
import typing as t

import numpy as np
import pytest
import scipy.stats as st

from orvane.basic import annotix

TYPING_NAMES = "TypeVar ByteString Type Set FrozenSet Tuple List Dict Any Callable Mapping \
Sequence Iterator Iterable Generator NoReturn Union".split()
ALL = "T Tp Null NullType NoneType Numeric builtin_tp typing_pure_map abstract_tp np_ndarray \
BernBinTP CatMultTP BetaTP DirTP DirMultTP PoiTP NbinTP GamTP ExpTP ErlTP GauTP MGauTP WisTP \
StuTP GauWisTP".split()
PRIVATE = "cp_ndarray CUDA_AVAILABLE _T _bin_hook _multi_hook st np DataFrame dataclass".split()


def test_namespace_holds_exactly_the_vocabulary():
    assert {k for k in vars(annotix) if not k.startswith("__")} == {*TYPING_NAMES, *ALL, *PRIVATE}
    assert annotix.__all__ == ALL and annotix.__doc__ is None
    assert all(getattr(annotix, name) is getattr(t, name) for name in TYPING_NAMES)
    star = {}
    exec("from orvane.basic.annotix import *", star)
    assert set(star) - {"__builtins__"} == set(ALL)
    if not annotix.CUDA_AVAILABLE:  # cupy absent here; stand-ins cover the other cases
        assert annotix.cp_ndarray is annotix.np_ndarray is np.ndarray
        assert len(annotix.builtin_tp) == 19 and not hasattr(annotix, "_")


def test_tables_hold_the_listed_objects_in_order():
    names = {**vars(builtins), **vars(annotix)}
    listed = "NoneType NullType Ellipsis bool str bytes int float complex type set frozenset \
tuple list dict object np_ndarray DataFrame Exception"
    assert list(map(id, annotix.builtin_tp[:19])) == [id(names[n]) for n in listed.split()]
    pure = "ByteString bytes Type type Set set FrozenSet frozenset Tuple tuple List list Dict \
dict Any object Callable Callable Mapping Callable Generator Generator Sequence Sequence \
Iterable Iterable Iterator Iterator NoReturn NoneType"
    flat = [obj for item in annotix.typing_pure_map.items() for obj in item]
    assert list(map(id, flat)) == [id(names[n]) for n in pure.split()]
    assert annotix.typing_pure_map[t.Mapping] is t.Callable and annotix.NoneType is type(None)
    abstract = ["Sequence", "Iterable", "Iterator", "Generator", "Callable", "Mapping"]
    assert annotix.abstract_tp == abstract


def test_null_sentinel_type_variable_and_numeric():
    null_type = annotix.NullType
    assert bool(annotix.Null) is False and bool(null_type()) is False
    assert annotix.Null is not None and annotix.Null != None  # noqa: E711
    assert null_type.__bool__(1, 2, 3) is False and null_type.__bool__.__name__ == "<lambda>"
    with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
        null_type.__bool__(x=1)
    assert null_type.__bases__ == (object,) and null_type.__module__ == annotix.__name__
    assert annotix.Numeric == t.Union[int, float]  # noqa: UP007
    assert annotix.Tp.__name__ == "Tp"
    # Like a TypeVar made by module-level code, it pickles by reference to the module.
    assert pickle.loads(pickle.dumps(annotix.Tp)) is annotix.Tp


def test_distribution_aliases_are_scipy_classes():
    bin_hook, multi_hook = st._distn_infrastructure, st._multivariate
    assert annotix._bin_hook is bin_hook and annotix._multi_hook is multi_hook
    groups = {
        "BernBinTP PoiTP NbinTP": bin_hook.rv_discrete_frozen,
        "CatMultTP": multi_hook.multinomial_frozen,
        "BetaTP GamTP GauTP ExpTP ErlTP": bin_hook.rv_continuous_frozen,
        "DirTP": multi_hook.dirichlet_frozen,
        "DirMultTP": multi_hook.dirichlet_multinomial_frozen,
        "MGauTP": multi_hook.multivariate_normal_frozen,
        "WisTP": multi_hook.wishart_frozen,
        "StuTP": multi_hook.multivariate_t_frozen,
    }
    for aliases, cls in groups.items():
        assert all(getattr(annotix, alias) is cls for alias in aliases.split()), aliases
    assert isinstance(st.norm(), annotix.GauTP) and isinstance(st.expon(), annotix.GauTP)


@pytest.mark.parametrize(
    ("make", "expected"),
    [
        (lambda T: T[0:int], (0, int, None)),
        (lambda T: T[:str:True], (None, str, True)),
        (lambda T: T[::], (None, None, None)),
        (lambda T: T[1:2:3][4:5], (4, 5, None)),
        (lambda T: annotix._T(), (None, None, False)),
        (lambda T: T[5], AttributeError),
        (lambda T: T[1:2, 3], AttributeError),
    ],
)
def test_markers_carry_the_slice_items(make, expected):
    if expected is AttributeError:
        with pytest.raises(AttributeError, match="start"):
            make(annotix.T)
    else:
        marker = make(annotix.T)
        assert (marker.value, marker.type, marker.escape) == expected
        assert type(marker) is annotix._T and marker is not annotix.T and marker != annotix.T
    assert vars(annotix.T) == {"value": None, "type": None, "escape": False}


def test_marker_class_is_plain_and_read_from_the_module_at_each_call(monkeypatch):
    cls = annotix._T
    assert type(cls) is type and cls.__bases__ == (object,)
    assert list(vars(cls))[:3] == ["__module__", "__init__", "__getitem__"]
    with pytest.raises(TypeError, match=r"^_T.__init__\(\) takes 1 positional argument"):
        cls(1)
    with pytest.raises(TypeError, match="not subscriptable"):
        cls[1:2]
    sub = type("Sub", (cls,), {})
    monkeypatch.setattr(annotix, "_T", sub)
    assert type(annotix.T[1:2]) is sub


def gauss_wishart(d):
    factor = np.random.default_rng(d).normal(size=(d, d))
    return annotix.GauWisTP(np.arange(d, dtype=float), 2.0, d + 2, factor @ factor.T + np.eye(d))


def reference_rvs(dist, size):
    """The sampling steps written out in plain Python."""
    w = st.wishart(dist.nu, dist.w)
    _pre = np.array([w.rvs(1) for _ in range(size)])
    _cov = np.array([dist.beta * p for p in _pre])
    if _cov.ndim == 1:
        _cov = _cov[..., np.newaxis, np.newaxis]
    return np.array([st.multivariate_normal(dist.mean, np.linalg.pinv(c)).rvs(1) for c in _cov])


def test_gauss_wishart_is_a_plain_dataclass():
    cls = annotix.GauWisTP
    assert cls.__annotations__ == dict(mean="np_ndarray", beta="Numeric", nu="int", w="np_ndarray")
    assert [f.name for f in dataclasses.fields(cls)] == list(cls.__match_args__)
    assert repr(cls(1, 2, 3, 4)) == "GauWisTP(mean=1, beta=2, nu=3, w=4)"
    assert cls(1, 2, 3, 4) == cls(mean=1, beta=2, nu=3, w=4) != cls(1, 2, 3, 5)
    with pytest.raises(TypeError, match="unhashable"):
        hash(cls(1, 2, 3, 4))
    assert cls.rvs.__qualname__ == "GauWisTP.rvs"


@pytest.mark.parametrize(
    ("mean", "nu", "w", "valid"),
    [
        (np.zeros(2), 3, np.eye(2), True),
        (np.zeros(1), 2, np.eye(1), True),
        (np.zeros(3), 3, np.eye(2), False),  # mean and scale disagree in size
        (np.zeros(2), 1, np.eye(2), False),  # too few degrees of freedom
        (np.zeros(2), 3, -np.eye(2), False),  # scale not positive definite
    ],
)
def test_is_valid(mean, nu, w, valid):
    assert annotix.GauWisTP(mean, 1, nu, w)._is_valid() is valid


def test_is_valid_lets_base_exceptions_through_and_reads_st_at_each_call(monkeypatch):
    class Stop(BaseException):
        pass

    class Beta:
        def __mul__(self, other):
            raise Stop

    with pytest.raises(Stop):
        annotix.GauWisTP(np.zeros(2), Beta(), 3, np.eye(2))._is_valid()
    monkeypatch.setattr(annotix, "st", None)
    assert gauss_wishart(2)._is_valid() is False


def test_rvs_shapes_and_failures():
    assert gauss_wishart(2).rvs(5).shape == (5, 2) and gauss_wishart(1).rvs(4).shape == (4,)
    assert gauss_wishart(3).rvs(0).shape == gauss_wishart(3).rvs(size=-2).shape == (0,)
    with pytest.raises(ValueError):
        annotix.GauWisTP(np.zeros(2), 1, 1, np.eye(2)).rvs(0)  # the Wishart part comes first
    with pytest.raises(ValueError):
        annotix.GauWisTP(np.zeros(3), 1, 3, np.eye(2)).rvs(1)
    with pytest.raises(TypeError, match="'float' object cannot be interpreted as an integer"):
        gauss_wishart(2).rvs(2.5)


@pytest.mark.parametrize(("d", "size"), [(1, 4), (2, 5), (3, 3), (2, 0), (1, 0)])
def test_rvs_draws_like_the_plain_steps_from_the_seeded_global_state(d, size):
    dist = gauss_wishart(d)
    np.random.seed(1234)
    native = dist.rvs(size)
    native_state = np.random.get_state()[1].copy()
    np.random.seed(1234)
    expected = reference_rvs(dist, size)
    assert native.shape == expected.shape and native.dtype == expected.dtype
    assert np.array_equal(native, expected)
    assert np.array_equal(native_state, np.random.get_state()[1])  # no extra draws


def run_python(code, cwd):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=cwd)


REPORT = """import json, sys
try:
    import orvane.basic.annotix as a
except BaseException as exc:
    print(json.dumps({"error": type(exc).__name__}))
else:
    print(json.dumps({"cuda": a.CUDA_AVAILABLE, "size": len(a.builtin_tp),
        "last": a.builtin_tp[-1] is a.cp_ndarray, "numpy": a.cp_ndarray is a.np_ndarray,
        "cupy": a.cp_ndarray is getattr(sys.modules.get("cupy"), "ndarray", None),
        "underscore": hasattr(a, "_")}))
"""
ON, OFF = {"cuda": True, "cupy": True}, {"cuda": False, "size": 19, "numpy": True}


@pytest.mark.parametrize(
    ("stand_in", "expected"),
    [
        ("class ndarray:\n    pass\n", {**ON, "size": 20, "last": True}),
        ("from numpy import ndarray\n", {**ON, "size": 19}),  # already listed: not twice
        ("raise ModuleNotFoundError('no cupy_backends')\n", OFF),
        ("raise ImportError('libcudart.so missing')\n", OFF),
        ("raise RuntimeError('no CUDA driver')\n", {"error": "RuntimeError"}),
        ("", {"error": "AttributeError"}),  # importable, but without ndarray
    ],
)
def test_cuda_switch_with_a_stand_in_cupy(tmp_path, stand_in, expected):
    (tmp_path / "cupy").mkdir()
    (tmp_path / "cupy" / "__init__.py").write_text(stand_in)
    result = run_python(REPORT, tmp_path)
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    assert {key: report[key] for key in expected} == expected
    assert not report.get("underscore")


def test_import_adds_no_warning_filter_and_passes_on_no_deprecation_of_its_own(tmp_path):
    # The same imports written in Python give the expected filters (numpy and scipy add
    # their own). Reading typing.ByteString warns from 3.15 on; that use is the module's
    # own, so no such warning reaches the importer.
    code = """import json, warnings
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    {}
    filters = [repr(entry) for entry in warnings.filters[1:]]
print(json.dumps([filters, [str(w.message) for w in caught if "ByteString" in str(w.message)]]))
"""
    plain = f"from typing import {', '.join(TYPING_NAMES)}; import numpy, scipy.stats, pandas"
    results = [run_python(code.format(s), tmp_path) for s in (plain, "import orvane.basic.annotix")]
    assert [r.returncode for r in results] == [0, 0], results[1].stderr
    assert json.loads(results[1].stdout) == [json.loads(results[0].stdout)[0], []]
    names = ("trialgrid", "medical", "annotix", "instances")
    imports = "import " + ", ".join(f"orvane.basic.{name}" for name in names)
    strict = [sys.executable, "-W", "error::DeprecationWarning", "-c", imports]
    result = subprocess.run(strict, capture_output=True, text=True, cwd=tmp_path)
    assert result.returncode == 0, result.stderr


def test_a_typing_without_byte_string_gets_a_stand_in(tmp_path):
    code = """import json, sys, types, typing
import numpy, pandas, scipy.stats
bare = types.ModuleType("typing")
vars(bare).update({k: v for k, v in vars(typing).items() if k not in ("ByteString", "__getattr__")})
sys.modules["typing"] = bare
import orvane.basic.annotix as a
print(json.dumps([a.ByteString == bytes | bytearray | memoryview,
                  a.typing_pure_map[a.ByteString] is bytes, a.TypeVar is typing.TypeVar]))
"""
    result = run_python(code, tmp_path)
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout) == [True, True, True]
