"""Tests of the trial runner: namespace, grid traversal, diagnosis and experiment pipelines."""

import builtins
import gc
import itertools
import os
import subprocess
import sys
import textwrap
import typing
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest

import orvane.docfunc as docfunc
from orvane.basic import core, functions, trialgrid
from orvane.basic.functions import FuncTools, _save, concise_expr

RULE = "-" * 40
NO_ARGS = "with arguments of (), due to "
FIXED = ["trial No.", "result", "cost_time", "comment"]
NAMES = [
    "doc", "product", "Callable", "pd", "DataFrame", "os", "funcs", "core", "F", "Unit",
    "FuncTools", "assert_orvane_raiser", "concise_expr", "_load", "_prompt_err_case",
    "traversal_on_params", "_meta", "experiments", "functest", "diagnosing_tests",
]  # fmt: skip


def separator(index):
    return f"{RULE} {index} iteration of trials ends {RULE}"


def package(func, **attrs):
    attrs = {"docstring": "A tiny package function.", "orvane_func": True, **attrs}
    return FuncTools.attach_attr(entry_tp=None, return_tp=None, **attrs)(func)


def make_repeat(calls=None):
    def repeat(data, p=1, **options):
        if calls is not None:
            calls.append(p)
        if p == 2:
            raise ValueError(f"p={p}")
        if p == 3:
            raise KeyboardInterrupt
        return data * p

    return package(repeat)


def printed(capsys):
    return capsys.readouterr().out.splitlines()


def fake_functools(calls, outcome=None):
    def test_for(**kw):
        calls.append(kw)
        plain = {k: v for k, v in kw.items() if not k.startswith("~")}
        return lambda func: lambda: (func(**plain), 0.5) if outcome is None else outcome

    return SimpleNamespace(test_for=test_for)


def run_python(code):
    # The timeout only guards against a hang: emulated, a fresh interpreter that imports
    # numpy takes most of a minute, and more beside other work.
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=600
    )


def test_namespace_holds_the_twenty_names_in_binding_order():
    names = list(vars(trialgrid))
    start = names.index("doc")
    assert all(n.startswith("__") and n.endswith("__") for n in names[:start])
    assert names[start:] == NAMES
    assert trialgrid.__doc__ is None and not hasattr(trialgrid, "__all__")
    meta = trialgrid._meta
    assert isinstance(meta, core.Unit) and isinstance(meta.first, core.F)
    assert trialgrid.experiments is not trialgrid.functest
    assert trialgrid.experiments.unit is meta and trialgrid.functest.unit is meta


@pytest.mark.parametrize(
    ("name", "expected"),
    [
        ("doc", docfunc), ("product", itertools.product), ("Callable", typing.Callable),
        ("pd", pd), ("DataFrame", pd.DataFrame), ("os", os), ("funcs", functions),
        ("core", core), ("F", core.F), ("Unit", core.Unit), ("FuncTools", FuncTools),
        ("assert_orvane_raiser", functions.assert_orvane_raiser),
        ("concise_expr", concise_expr), ("_load", functions._load),
    ],
)  # fmt: skip
def test_imported_names_are_the_objects_themselves(name, expected):
    assert getattr(trialgrid, name) is expected


@pytest.mark.parametrize(
    ("name", "entry_tp", "return_tp"),
    [("traversal_on_params", typing.Callable, pd.DataFrame),
     ("diagnosing_tests", pd.DataFrame, list[bool])],
)  # fmt: skip
def test_public_functions_carry_the_decoration(name, entry_tp, return_tp):
    func = getattr(trialgrid, name)
    assert func.orvane_func is True and func.entry_tp is entry_tp
    assert func.return_tp == return_tp and func.__doc__ is getattr(docfunc, name)
    assert (func.__name__, func.__qualname__, func.__module__) == (
        name, name, "orvane.basic.trialgrid")  # fmt: skip
    assert func.__defaults__ is None and func.__annotations__ == {}
    with pytest.raises(TypeError):
        func(trialgrid)


@pytest.mark.parametrize(
    "func",
    [trialgrid._prompt_err_case, trialgrid._meta.first.func, trialgrid._meta.second.func],
    ids=["prompt", "stage1", "stage2"],
)
def test_anonymous_functions(func):
    assert func.__qualname__ == "<lambda>" and func.__module__ == "orvane.basic.trialgrid"
    assert (func.__defaults__, func.__doc__, func.__annotations__) == (None, None, {})


def test_import_fails_when_functions_module_lacks_functools():
    proc = run_python("""
        import sys, types
        import orvane.basic
        sys.modules["orvane.basic.functions"] = types.ModuleType("orvane.basic.functions")
        try:
            import orvane.basic.trialgrid
        except AttributeError as exc:
            print("AttributeError", "FuncTools" in str(exc))
    """)
    assert proc.stdout.split() == ["AttributeError", "True"], proc.stderr


def test_redoc_is_called_once_per_variant_and_its_error_propagates():
    proc = run_python("""
        import sys
        import orvane.docfunc as doc
        calls, error = [], LookupError("no docs")
        doc.redoc = lambda obj, text: calls.append((obj, text))
        import orvane.basic.trialgrid as tg
        print(calls == [(tg.experiments, doc.experiments), (tg.functest, doc.functest)])
        del sys.modules["orvane.basic.trialgrid"]
        def failing(obj, text):
            raise error
        doc.redoc = failing
        try:
            import orvane.basic.trialgrid
        except LookupError as exc:
            print(exc is error)
    """)
    assert proc.stdout.split() == ["True", "True"], proc.stderr


def test_grid_order_columns_labels_and_separators(capsys):
    table = trialgrid.traversal_on_params(
        data=make_repeat(), params_pool={"data": ["a", "b"], "p": [1, 4]}, concise_result=False
    )
    assert list(table.columns) == [*FIXED, "data", "arg: p"]
    assert list(table.index) == [0, 1, 2, 3]
    assert table["trial No."].tolist() == [1, 2, 3, 4]
    assert table["data"].tolist() == ["data_0", "data_0", "data_1", "data_1"]
    assert table["arg: p"].tolist() == [1, 4, 1, 4]
    assert table["result"].tolist() == ["a", "aaaa", "b", "bbbb"]
    assert [type(c) for c in table["comment"]] == [int] * 4 and not table["comment"].any()
    assert all(isinstance(c, float) and c >= 0 for c in table["cost_time"])
    assert printed(capsys) == [separator(i) for i in range(4)]


@pytest.mark.parametrize("concise", [True, False, None, "", 1])
def test_concise_result_shortens_successful_results(concise):
    kw = {} if concise is None else {"concise_result": concise}
    raw = list(range(60))
    table = trialgrid.traversal_on_params(data=make_repeat(), params_pool={"data": [raw]}, **kw)
    assert table["result"].tolist() == [concise_expr(raw) if concise in (True, None) else raw]


@pytest.mark.parametrize("scope", [False, True])
def test_machinery_keys_and_in_decorator(monkeypatch, scope):
    calls = []
    monkeypatch.setattr(trialgrid, "FuncTools", fake_functools(calls))
    pool = {"~verbosity": [False], "data": ["d"], "p": [1, 4], "~in_decorator": [True, 1]}
    table = trialgrid.traversal_on_params(
        data=make_repeat(), params_pool=pool, scope_in_builtin=scope, concise_result=False
    )
    if scope:
        assert list(table.columns) == [*FIXED, "arg: ~verbosity", "data", "arg: p",
                                       "arg: ~in_decorator"]  # fmt: skip
        assert table["arg: ~in_decorator"].tolist() == [True, 1, True, 1]
        assert [c["~verbosity"] for c in calls] == [False] * 4
        assert table["result"].tolist() == ["d", "d", "dddd", "dddd"]
    else:
        assert list(table.columns) == [*FIXED, "data", "arg: p"]
        assert calls == [{"data": "d", "p": p, "~in_decorator": False} for p in (1, 4)]
        assert table["result"].tolist() == ["d", "dddd"]
    assert all(c["~in_decorator"] is False for c in calls)
    assert table["cost_time"].tolist() == [0.5] * len(calls)


def test_failing_trial_is_recorded_and_the_grid_goes_on(capsys):
    calls = []
    table = trialgrid.traversal_on_params(
        data=make_repeat(calls), params_pool={"data": ["x"], "p": [2, 1]}
    )
    first, second = table.to_dict("records")
    assert first["comment"] == "ValueError('p=2')"
    assert pd.isna(first["result"]) and pd.isna(first["cost_time"])
    assert (second["comment"], second["result"]) == (0, concise_expr("x"))
    assert calls == [2, 1] and printed(capsys) == [separator(0), separator(1)]


def test_concise_expr_error_keeps_raw_result_and_cost(monkeypatch):
    def refuse(obj):
        raise RuntimeError(f"cannot shorten {obj!r}")

    monkeypatch.setattr(trialgrid, "FuncTools", fake_functools([]))
    monkeypatch.setattr(trialgrid, "concise_expr", refuse)
    table = trialgrid.traversal_on_params(data=make_repeat(), params_pool={"data": ["ab"]})
    assert table.loc[0, ["result", "cost_time", "comment"]].tolist() == [
        "ab", 0.5, "RuntimeError(\"cannot shorten 'ab'\")"]  # fmt: skip


class Multiline:
    def __repr__(self):
        return "first\n    second\t\n third"


class NoRepr:
    def __repr__(self):
        raise RuntimeError("no repr")


# Results of every kind concise_expr tells apart: long reprs (80 characters, and 81: the
# first it cuts) and a multi-line one among them.
RESULTS = [3, "x" * 200, Multiline(), np.arange(3), pd.DataFrame({"a": [1]}),
           pd.Series([1.0, 2.0]), None, NoRepr(), {"k": [1] * 40}, "y" * 78, "z" * 79]  # fmt: skip


def comparable(table):
    """The table's cells but cost_time: text and numbers as they are, objects by identity."""
    rows = table.drop(columns="cost_time").itertuples(index=False)
    plain = (str, int, float, type(None))
    return [[c if isinstance(c, plain) and c == c else repr(c) if isinstance(c, float) else id(c)
             for c in row] for row in rows]  # fmt: skip


@pytest.mark.parametrize("concise", [True, False])
@pytest.mark.parametrize("scope", [False, True])
def test_native_steps_give_the_rows_and_prints_of_the_helpers(monkeypatch, capsys, concise, scope):
    """The runner does what FuncTools.test_for's runner and concise_expr do while they are
    the import-time functions; under other names (so the runner calls them) the table and
    the printed lines are the same."""
    seen = []

    def pick(data, p=0, **options):
        seen.append((data, p, sorted(options)))
        if p == 1:
            raise ValueError("p=1")
        return RESULTS[data]

    func = package(pick)
    pool = {"~verbosity": [False], "data": list(range(len(RESULTS))), "p": [0, 1]}
    runs = []
    for renamed in (False, True):
        with monkeypatch.context() as patch:
            if renamed:
                helpers = type("Helpers", (), {"test_for": staticmethod(FuncTools.test_for)})
                patch.setattr(trialgrid, "FuncTools", helpers)
                patch.setattr(trialgrid, "concise_expr", lambda obj: concise_expr(obj))
            options = {"scope_in_builtin": scope, "concise_result": concise}
            table = trialgrid.traversal_on_params(data=func, params_pool=pool, **options)
        runs.append((comparable(table), printed(capsys), seen[:]))
        seen.clear()
    assert runs[0] == runs[1]
    no_repr = runs[0][0][14]  # data 7 (NoRepr) with p 0
    assert no_repr[2] == ("RuntimeError('no repr')" if concise else 0)


@pytest.mark.parametrize(
    ("name", "value", "column", "expected"),
    [
        # The clock the runner reads, the limit and the substitution concise_expr applies.
        ("time", SimpleNamespace(perf_counter=lambda: 5.0), "cost_time", [0.0, 0.0]),
        ("_MAX_EXPR_LEN", 10, "result", ["3", "'xxxxxx..."]),
        ("re", SimpleNamespace(sub=lambda pattern, repl, text: text.upper()), "result",
         ["3", "'" + "X" * 76 + "..."]),
    ],
)  # fmt: skip
def test_names_the_helpers_read_are_read_at_each_trial(monkeypatch, name, value, column, expected):
    func = package(lambda data: RESULTS[data])
    monkeypatch.setattr(functions, name, value)
    table = trialgrid.traversal_on_params(data=func, params_pool={"data": [0, 1]})
    assert table[column].tolist() == expected


@pytest.mark.parametrize(
    "make",
    [lambda: (1, 2, 3), lambda: [1, 2, 3], lambda: iter("abc"), lambda: (1,), lambda: 5],
    ids=["tuple-3", "list-3", "iterator-3", "tuple-1", "int"],
)
def test_runner_not_returning_two_items_is_recorded(monkeypatch, make):
    try:
        _first, _second = make()
    except (TypeError, ValueError) as exc:
        expected = repr(exc)
    monkeypatch.setattr(trialgrid, "FuncTools", fake_functools([], make()))
    table = trialgrid.traversal_on_params(data=make_repeat(), params_pool={"data": [1]})
    assert table.loc[0, "comment"] == expected and table.loc[0, "result"] is None


@pytest.mark.parametrize(
    ("candidates", "labels"),
    [(["x", "y", "x"], ["data_2", "data_1", "data_2"]),
     (iter(["x", "y"]), ["data_None", "data_None"])],
    ids=["duplicate", "one-shot"],
)  # fmt: skip
def test_data_labels(candidates, labels):
    table = trialgrid.traversal_on_params(
        data=make_repeat(), params_pool={"data": candidates}, concise_result=False
    )
    assert table["data"].tolist() == labels and table["comment"].tolist() == [0] * len(labels)


def test_empty_candidate_list_runs_nothing(capsys):
    table = trialgrid.traversal_on_params(data=make_repeat(), params_pool={"data": ["x"], "p": []})
    assert list(table.columns) == FIXED and len(table) == 0 and printed(capsys) == []


def test_function_under_test_cannot_reach_the_runners_own_lists():
    """gc.get_referrers reaches every Python list; the function under test clears each one
    that refers to its trial or its arguments. The traversal keeps its trials, keys and
    columns out of its reach and finishes every row (before, this crashed the process)."""
    proc = run_python("""
        import gc
        from orvane.basic import trialgrid
        from orvane.basic.functions import FuncTools

        class Marker:
            pass

        marker = Marker()

        def meddle(data, p):
            for holder in gc.get_referrers(marker):
                if type(holder) is list:
                    holder.clear()
                if type(holder) is dict and holder.get("p") is marker:
                    for lst in gc.get_referrers(holder):
                        if type(lst) is list:
                            lst.clear()
            return data

        f = FuncTools.attach_attr(orvane_func=True)(meddle)
        pool = {"data": [1, 2, 3], "p": [marker]}
        table = trialgrid.traversal_on_params(data=f, params_pool=pool)
        assert table["trial No."].tolist() == [1, 2, 3] and table["result"].tolist() == list("123")
        assert table["arg: p"].tolist() == [marker] * 3 and table["comment"].tolist() == [0] * 3
        print("ok")
    """)
    assert proc.returncode == 0 and proc.stdout.splitlines()[-1] == "ok", proc.stderr


def test_an_error_raised_by_a_trial_exceptions_repr_chains_to_it(capsys):
    """As in `try: ... except Exception as e: comment = e.__repr__() finally: <row>`: the
    row and its separator still go out, and the new error carries the trial's as its
    __context__ (and saw it as the exception being handled)."""
    seen = []

    class Unprintable(Exception):
        def __repr__(self):
            seen.append(sys.exception())
            raise ValueError("no repr")

    def fail(data):
        raise Unprintable

    with pytest.raises(ValueError, match="no repr") as caught:
        trialgrid.traversal_on_params(data=package(fail), params_pool={"data": [1, 2]})
    assert type(caught.value.__context__) is Unprintable and seen == [caught.value.__context__]
    assert printed(capsys) == [separator(0)]
    assert sys.exception() is None


class Exploding:
    @property
    def orvane_func(self):
        raise RuntimeError("boom")


@pytest.mark.parametrize(
    "kw",
    [{}, {"params_pool": None}, {"data": package(lambda data: data, orvane_func=1)},
     {"data": lambda data: data}, {"data": Exploding()}],
    ids=["missing", "missing-before-pool", "one", "plain", "raising-attribute"],
)  # fmt: skip
def test_function_under_test_must_be_a_package_function(capsys, kw):
    with pytest.raises(TypeError, match="^object in entry must be a orvane function$"):
        trialgrid.traversal_on_params(**{"params_pool": {"data": [1]}, **kw})
    assert printed(capsys) == []


@pytest.mark.parametrize(
    ("kw", "error"),
    [({}, AttributeError), ({"params_pool": {"p": [1]}}, TypeError),
     ({"params_pool": {"data": ["x"], "": [1]}}, IndexError),
     ({"params_pool": {"data": ["x"], "p": 5}}, TypeError),
     ({"params_pool": {"data": ["x"], 7: [1, 4]}}, TypeError),
     ({"params_pool": {"data": ["x"], 7: [1, 4]}, "scope_in_builtin": True}, TypeError)],
)  # fmt: skip
def test_bad_pools_raise_before_any_trial(capsys, kw, error):
    calls = []
    with pytest.raises(error):
        trialgrid.traversal_on_params(data=make_repeat(calls), **kw)
    assert calls == [] and printed(capsys) == []


def test_keyboard_interrupt_prints_its_separator_and_propagates(capsys):
    calls = []
    with pytest.raises(KeyboardInterrupt):
        trialgrid.traversal_on_params(
            data=make_repeat(calls), params_pool={"data": ["x"], "p": [1, 3, 4]}
        )
    assert calls == [1, 3] and printed(capsys) == [separator(0), separator(1)]


def test_module_names_are_looked_up_at_each_call(monkeypatch):
    """Module names, and the built-ins a body reads (print, enumerate, id, str), are read
    from the module namespace, then the built-ins, at each call."""
    lines, checks, ids = [], [], []
    rebound = {
        "print": lambda *a: lines.append(a),
        "enumerate": lambda it: builtins.enumerate(it, 10),
        "id": lambda obj: ids.append(obj) or builtins.id(obj),
        "str": lambda obj: f"<{obj}>",
    }
    for name, value in rebound.items():
        monkeypatch.setattr(trialgrid, name, value, raising=False)
    monkeypatch.setattr(trialgrid, "assert_orvane_raiser", lambda ok, exc: checks.append((ok, exc)))
    monkeypatch.setattr(trialgrid, "pd", SimpleNamespace(DataFrame=dict, concat=lambda f, axis: f))
    fixed, args = trialgrid.traversal_on_params(
        data=lambda data: data + 1, params_pool={"data": [1, 2]}
    )
    assert [(ok, type(e), str(e)) for ok, e in checks] == [
        (False, TypeError, "object in entry must be a orvane function")]  # fmt: skip
    assert lines == [(RULE, i, "iteration of trials ends", RULE) for i in (0, 1)]
    assert (fixed["result"], args) == (["2", "3"], {"data": ["data_<10>", "data_<11>"]})
    assert ids == [1, 2, 1, 2]  # numbering the candidates, then labelling the rows


@pytest.fixture
def report_table():
    pool = {"data": ["x", "yy"], "p": [1, 2], "mode": ["reflect"]}
    return trialgrid.traversal_on_params(data=make_repeat(), params_pool=pool)


def test_diagnosis_reports_failed_trials_in_order(capsys, monkeypatch, report_table):
    printed(capsys)
    assert trialgrid.diagnosing_tests(data=report_table) == [True, False, True, False]
    assert printed(capsys) == [
        f"the No.{n} case failed on data_{d}, with arguments of (p=2, mode=reflect), "
        "due to ValueError('p=2')"
        for n, d in ((2, 0), (4, 1))
    ]
    monkeypatch.setattr(trialgrid, "format", lambda v: f"[{v}]", raising=False)
    monkeypatch.setattr(trialgrid, "str", lambda v: f"<{v}>", raising=False)
    trialgrid.diagnosing_tests(data=report_table)
    assert printed(capsys)[0] == (
        "the No.[2] case failed on [data_0], with arguments of (p=<2>, mode=<reflect>), "
        "due to [ValueError('p=2')]")  # fmt: skip
    monkeypatch.undo()
    quiet = trialgrid.diagnosing_tests(data=report_table, **{"~verbosity": False})
    assert quiet == [True, False, True, False] and printed(capsys) == []
    seen = []
    monkeypatch.setattr(trialgrid, "_prompt_err_case", lambda x: seen.append(x) or 0)
    trialgrid.diagnosing_tests(data=report_table)
    assert [frame["trial No."].tolist() for frame in seen] == [[2, 4]]


@pytest.mark.parametrize(
    ("comments", "flags", "lines"),
    [([0, 0.0, "E()"], [True, True, False], [f"the No.3 case failed on d, {NO_ARGS}E()"]),
     ([0, 0, 0], [True] * 3, []), ([], [], [])],
)  # fmt: skip
def test_diagnosis_of_hand_made_tables(capsys, comments, flags, lines):
    n = len(comments)
    table = pd.DataFrame({"trial No.": range(1, n + 1), "comment": comments, "data": ["d"] * n})
    assert trialgrid.diagnosing_tests(data=table) == flags
    assert printed(capsys) == lines


def test_prompt_on_a_table_without_the_report_columns(capsys):
    assert trialgrid._prompt_err_case(x=pd.DataFrame({"arg: k": ["v", 2], "other": [1, 2]})) == 0
    assert printed(capsys) == [
        f"the No.None case failed on None, with arguments of (k={v}), due to None" for v in ("v", 2)
    ]


@pytest.mark.parametrize(
    ("kw", "error"),
    [({"data": pd.DataFrame({"trial No.": [1]})}, KeyError), ({}, AttributeError),
     ({"~verbosity": False}, AttributeError)],
)  # fmt: skip
def test_diagnosis_failures(capsys, kw, error):
    with pytest.raises(error):
        trialgrid.diagnosing_tests(**kw)
    assert printed(capsys) == []


@pytest.mark.parametrize(
    ("extra", "name"),
    [({}, "repeat"), ({"branch_comment": ""}, "repeat"), ({"branch_comment": "v2"}, "v2 repeat")],
)
def test_pipeline_entry_names_without_store_file(extra, name):
    store = trialgrid.experiments(data=make_repeat(), params_pool={"data": ["a"]}, **extra)
    assert type(store) is dict and list(store) == [name]
    assert store[name]["result"].tolist() == ["a"]


def test_experiments_keep_raw_results_and_functest_shortens():
    pool = {"data": [list(range(50))]}
    raw = trialgrid.experiments(data=make_repeat(), params_pool=pool)["repeat"]
    short = trialgrid.functest(data=make_repeat(), params_pool=pool)["repeat"]
    assert raw["result"].tolist() == [list(range(50))]
    assert short["result"].tolist() == [concise_expr(list(range(50)))]


def test_pipeline_files_into_an_existing_store(tmp_path):
    path = tmp_path / "store.pkl"
    _save({"old": pd.DataFrame({"a": [1]}), "b repeat": pd.DataFrame()}, path)
    store = trialgrid.functest(
        data=make_repeat(), params_pool={"data": ["a"], "p": [1, 4]}, branch_comment="b",
        to_file=str(path),
    )  # fmt: skip
    assert list(store) == ["old", "b repeat"] and store["old"]["a"].tolist() == [1]
    assert store["b repeat"]["trial No."].tolist() == [1, 2]
    fresh = trialgrid.functest(
        data=make_repeat(), params_pool={"data": ["a"]}, to_file=str(tmp_path / "new.pkl")
    )
    assert list(fresh) == ["repeat"]


def test_variants_use_the_current_stage_helpers(monkeypatch, tmp_path):
    table, seen, loaded, store = pd.DataFrame({"t": [1]}), [], [], {"kept": 1}
    monkeypatch.setattr(trialgrid, "traversal_on_params", lambda **kw: seen.append(kw) or table)
    monkeypatch.setattr(trialgrid, "os", SimpleNamespace(path=SimpleNamespace(exists=bool)))
    monkeypatch.setattr(trialgrid, "_load", lambda **kw: loaded.append(kw) or store)
    func, path = make_repeat(), str(tmp_path / "s.pkl")
    result = trialgrid.experiments(data=func, branch_comment="c", to_file=path)
    assert result is store and store == {"kept": 1, "c repeat": table}
    assert seen == [{"data": func, "branch_comment": "c", "to_file": path, "concise_result": False}]
    assert loaded == [{"data": path}]
    assert trialgrid._meta.first.func(x=1) == (table, None, "") and seen[-1] == {"x": 1}


def test_second_stage_without_data_or_store_path():
    with pytest.raises(TypeError, match="not subscriptable"):
        trialgrid._meta.second.func(to_file="/nonexistent/store.pkl")
    table = pd.DataFrame()
    assert trialgrid._meta.second.func(data=(table, make_repeat(), "")) == {"repeat": table}


def test_traversal_and_diagnosis_keep_no_references(capsys):
    func = make_repeat()
    candidate = object()
    pool = {"data": [candidate, candidate], "p": [1, 2]}
    not_a_package = object()
    before = [sys.getrefcount(obj) for obj in (func, candidate, pool, not_a_package)]
    for _ in range(200):
        table = trialgrid.traversal_on_params(data=func, params_pool=pool, concise_result=False)
        trialgrid.diagnosing_tests(data=table)
        with pytest.raises(TypeError):
            trialgrid.traversal_on_params(data=not_a_package, params_pool=pool)
        del table
    capsys.readouterr()
    # The refused calls' tracebacks hold the traversal's frame, and with it its arguments,
    # in a cycle with the error (as for a Python function): collect it first.
    gc.collect()
    after = [sys.getrefcount(obj) for obj in (func, candidate, pool, not_a_package)]
    assert after == before
