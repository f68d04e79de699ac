"""Tests of the pure-Python helpers: tagging, timed runners, short reprs, stores, pipelines."""

import copy
import inspect
import os
import pickle
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pandas as pd
import PIL.Image
import PIL.ImageOps
import pytest

from orvane.basic import functions
from orvane.basic.core import F, Unit
from orvane.basic.functions import FuncTools, _load, _save, assert_orvane_raiser, concise_expr
from orvane.docfunc import redoc


def test_attach_attr_tags_the_same_function_object():
    def area(width, height):
        return width * height

    tagged = FuncTools.attach_attr(
        docstring="Area of a rectangle.", orvane_func=True, entry_tp=int
    )(area)
    assert tagged is area
    assert (area.__doc__, area.orvane_func, area.entry_tp) == ("Area of a rectangle.", True, int)
    assert not hasattr(area, "docstring")
    assert area(2, 3) == 6


def test_test_for_passes_plain_keywords_and_times_the_call():
    received = {}

    def record(**kw):
        received.update(kw)
        return "done"

    run = FuncTools.test_for(x=1, y=2, **{"~verbosity": False})(record)
    result, seconds = run()
    assert (result, received) == ("done", {"x": 1, "y": 2})
    assert isinstance(seconds, float) and seconds >= 0

    def broken(x):
        raise KeyError(x)

    with pytest.raises(KeyError, match="7"):
        FuncTools.test_for(x=7)(broken)()


def test_assert_orvane_raiser_raises_only_when_falsy():
    assert assert_orvane_raiser(1, ValueError("unused")) is None
    for falsy in (False, 0, [], None):
        with pytest.raises(ValueError, match="bad input"):
            assert_orvane_raiser(falsy, ValueError("bad input"))


@pytest.mark.parametrize(
    ("obj", "expected"),
    [
        (np.zeros((3, 4)), "ndarray(shape=(3, 4), dtype=float64)"),
        (pd.DataFrame({"a": [1, 2], "b": [3, 4]}), "DataFrame(shape=(2, 2))"),
        (pd.Series([1.5, 2.5, 3.5]), "Series(len=3, dtype=float64)"),
        ("a\nb", "'a\\nb'"),
        ({"k": 1}, "{'k': 1}"),
    ],
)
def test_concise_expr_describes_known_types(obj, expected):
    assert concise_expr(obj) == expected


def test_concise_expr_shortens_long_multiline_reprs():
    class Tall:
        def __repr__(self):
            return "first\n   second\n" + "x" * 200

    text = concise_expr(Tall())
    assert "\n" not in text and len(text) == 80 and text.endswith("...")
    assert text.startswith("first second xxx")
    assert concise_expr(list(range(100))).endswith("...")


def test_redoc_sets_doc_and_returns_the_object():
    def probe():
        pass

    assert redoc(probe, "Probe text.") is probe and probe.__doc__ == "Probe text."


@pytest.fixture
def pipeline():
    calls = []

    def build(**kw):
        calls.append(("build", kw))
        return pd.DataFrame({"result": [kw["mode"]]})

    def file(**kw):
        calls.append(("file", kw))
        return {f"{kw.get('branch_comment', '')} build".strip(): kw["data"]}

    return Unit(mappings=[F(build), F(file)]), calls


def test_variant_merges_keywords_and_saves_the_store(pipeline, tmp_path):
    unit, calls = pipeline
    variant = unit.shadow(mode="fixed")
    variant.__doc__ = "Filed sweep."
    target = tmp_path / "store.pkl"
    store = variant(mode="caller", branch_comment="b1", to_file=str(target))

    (_, build_kw), (_, file_kw) = calls
    assert build_kw == {"mode": "fixed", "branch_comment": "b1", "to_file": str(target)}
    assert file_kw["mode"] == "caller" and file_kw["data"] is store["b1 build"]
    assert variant.__doc__ == "Filed sweep." and "mode='fixed'" in repr(variant)
    pd.testing.assert_frame_equal(_load(target)["b1 build"], store["b1 build"])

    assert list(variant()) == ["build"] and len(calls) == 4  # no to_file: nothing written
    with pytest.raises(TypeError, match="keyword"):
        variant("positional")


def test_variant_refuses_a_store_path_in_a_missing_folder_before_any_work(pipeline, tmp_path):
    unit, calls = pipeline
    target = tmp_path / "no such folder" / "store.pkl"
    with pytest.raises(FileNotFoundError, match="no folder .*no such folder") as info:
        unit.shadow()(to_file=str(target))
    assert info.value.filename == str(target) and calls == []


def test_pipeline_reprs_say_where_anonymous_stages_come_from():
    unit = Unit(mappings=[F(lambda **kw: kw), F(dict)])
    assert repr(unit) == f"Unit(mappings=[F(<lambda> of {__name__}), F(dict)])"
    with pytest.raises(TypeError, match=r"of test_siblings -> dict .*got 2 positional arguments"):
        unit.shadow(mode=1)("a", "b")
    both = Unit(mappings=[F(lambda **kw: kw), F(lambda **kw: kw)])
    assert repr(both.shadow(mode=1)) == f"<pipeline of {__name__} with (mode=1)>"


def test_pipeline_variants_carry_the_names_of_their_module_and_pickle_by_reference():
    from orvane.basic import trialgrid

    keywords = "*, data, params_pool, scope_in_builtin=False, branch_comment='', to_file=None"
    for name in ("experiments", "functest"):
        variant = getattr(trialgrid, name)
        assert (variant.__name__, variant.__qualname__) == (name, name)
        assert variant.__module__ == "orvane.basic.trialgrid"
        assert str(inspect.signature(variant)) == f"({keywords}, **kw)"
        assert pickle.loads(pickle.dumps(variant)) is variant
        assert copy.deepcopy(variant) is variant
    # Not bound in its module: no name, pickled by value; an assigned name is kept.
    loose = Unit(mappings=[F(dict), F(dict)]).shadow(mode=1)
    assert loose.__module__ == "builtins" and not hasattr(loose, "__qualname__")
    assert "concise_result=True" in str(inspect.signature(loose))
    assert repr(pickle.loads(pickle.dumps(loose))) == repr(loose)
    loose.__name__ = "renamed"
    assert (loose.__name__, getattr(loose, "__qualname__", None)) == ("renamed", None)


def test_the_package_version_is_the_installed_metadata_version():
    import importlib.metadata

    import orvane

    assert orvane.__version__ == importlib.metadata.version("orvane")


def test_unit_rejects_anything_but_two_stages():
    stage = F(dict)
    for bad in ([stage], [stage, stage, stage], [stage, dict]):
        with pytest.raises(ValueError, match="two stages"):
            Unit(mappings=bad)


@pytest.mark.parametrize("failure", ["unpicklable", "replace"])
def test_failed_save_keeps_old_store_and_leaves_no_temp_files(tmp_path, monkeypatch, failure):
    target = tmp_path / "store.pkl"
    _save({"old": pd.DataFrame({"a": [1]})}, target)
    before = target.read_bytes()
    new_store = {"new": pd.DataFrame({"a": [2]})}
    if failure == "unpicklable":
        new_store["bad"] = lambda: None
        expected_error = (pickle.PicklingError, AttributeError)
    else:

        def refuse(src, dst):
            raise OSError("disk gone")

        monkeypatch.setattr(functions.os, "replace", refuse)
        expected_error = OSError
    with pytest.raises(expected_error):
        _save(new_store, target)
    assert target.read_bytes() == before
    assert os.listdir(tmp_path) == ["store.pkl"]
    assert list(_load(target)) == ["old"]


def test_load_missing_store_raises(tmp_path):
    with pytest.raises(FileNotFoundError):
        _load(tmp_path / "absent.pkl")


# What the native steps remember at import, made unreadable before the import. Each case
# is (code before the import, code after it, what the run prints).
GRID = """
import orvane.basic.trialgrid as tg
def double(data, p):
    return data * p
FuncTools.attach_attr(docstring="", orvane_func=True, entry_tp=None, return_tp=None)(double)
table = tg.traversal_on_params(data=double, params_pool={"data": ["é"], "p": [1, 3]},
                               concise_result=True)
print(table["result"].tolist(), table["comment"].tolist(), count())
"""
CONCISE = """["'é'", "'ééé'"] [0, 0]"""
COUNTED = """
def counted(*args, **kw):
    calls.append(1)
    return helper(*args, **kw)
"""
MASKS = """
import numpy as np
import orvane.basic.medical as m
cube = np.zeros((7, 7, 7), bool)
cube[1:6, 1:6, 1:6] = True
point = np.zeros_like(cube)
point[6, 3, 3] = True
first, second = m._points_pair(cube, [1.0, 1.0, 2.0])
print(int(m._to_shell(cube).sum()), first.tolist(), second.tolist(),
      m._minimum_dis(cube, point, [2, 1, 1]))
"""
PIXELS = """
import numpy as np
import orvane.basic.instances as inst
from pathlib import Path
from types import SimpleNamespace
raw = Path(sys.argv[1]).read_bytes()
inst.connect = lambda url: SimpleNamespace(content=raw)
image = inst._url_img("cat.jpg", (781, 1000))
print(image.shape, image.dtype == np.int_, int(image.astype(np.int64).sum()))
"""
UNREADABLE = {
    "test_for is a partial": (
        "helper = FuncTools.test_for" + COUNTED
        + "FuncTools.test_for = staticmethod(functools.partial(counted))",
        "count = lambda: len(calls)", GRID, CONCISE + " 2",
    ),
    "test_for is a mock": (
        "patched = mock.patch.object(FuncTools, 'test_for', wraps=FuncTools.test_for).start()",
        "count = lambda: patched.call_count", GRID, CONCISE + " 2",
    ),
    "concise_expr is a built-in": (
        "functions.concise_expr = ascii", "count = lambda: None", GRID,
        r"""["'\\xe9'", "'\\xe9\\xe9\\xe9'"] [0, 0] None""",
    ),
    "concise_expr's __code__ getter raises": (
        "helper = functions.concise_expr" + COUNTED + textwrap.dedent("""
        class Helper:
            __code__ = property(lambda self: 1 / 0)
            __call__ = staticmethod(counted)
        functions.concise_expr = Helper()"""),
        "count = lambda: len(calls)", GRID, CONCISE + " 2",
    ),
    "functions has no time yet": (
        "clock = functions.time; del functions.time",
        "helper = clock.perf_counter" + COUNTED
        + "functions.time = SimpleNamespace(perf_counter=counted); count = lambda: len(calls)",
        GRID, CONCISE + " 4",
    ),
    "functions' __getattr__ raises": (
        "clock = functions.time; del functions.time\n"
        "def __getattr__(name):\n"
        "    raise LookupError(name) if name == 'time' else AttributeError(name)\n"
        "functions.__getattr__ = __getattr__",
        "del functions.__getattr__; functions.time = clock; count = lambda: len(calls)",
        GRID, CONCISE + " 0",
    ),
    "numpy has no empty_like yet": (
        "import numpy, scipy.ndimage, scipy.spatial, SimpleITK\n"
        "kept = numpy.empty_like; del numpy.empty_like",
        "numpy.empty_like = kept", MASKS, "98 [1, 1, 1] [5, 5, 5] 2.0",
    ),
    "numpy's __getattr__ raises": (
        "import numpy, scipy.ndimage, scipy.spatial, SimpleITK\n"
        "kept = numpy.vstack, numpy.__getattr__; del numpy.vstack\n"
        "def failing(name):\n    raise RuntimeError(name)\n"
        "numpy.__getattr__ = failing",
        "numpy.vstack, numpy.__getattr__ = kept", MASKS, "98 [1, 1, 1] [5, 5, 5] 2.0",
    ),
    "PIL's Image is not a class": (
        "import PIL.Image, PIL.ImageOps; kept = PIL.Image.Image; PIL.Image.Image = object()",
        "PIL.Image.Image = kept", PIXELS, None,
    ),
}  # fmt: skip


@pytest.mark.parametrize(("before", "after", "run", "expected"), UNREADABLE.values(),
                         ids=UNREADABLE)  # fmt: skip
def test_import_goes_on_when_what_native_steps_remember_cannot_be_read(
    before, after, run, expected
):
    """The import runs its own statements only; a call takes the plain steps and calls the
    helper as it then is, once per trial."""
    code = "\n".join([
        "import functools, sys, textwrap", "from types import SimpleNamespace",
        "from unittest import mock", "from orvane.basic import functions",
        "from orvane.basic.functions import FuncTools", "calls = []",
        before, run.split("\n", 2)[1], after, run.split("\n", 2)[2],
    ])  # fmt: skip
    image = Path(__file__).resolve().parent.parent / "misc" / "cat.jpg"
    if expected is None:
        with PIL.Image.open(image) as opened:
            rows = np.asarray(PIL.ImageOps.grayscale(opened), dtype=np.int64)
        expected = f"(781, 1000) True {int(rows.sum())}"
    child = subprocess.run([sys.executable, "-c", code, str(image)], capture_output=True,
                           text=True, timeout=120)  # fmt: skip
    assert child.stdout.splitlines()[-1:] == [expected], child.stderr
