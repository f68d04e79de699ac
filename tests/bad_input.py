"""Bad input, function by function: what each function of the four modules does with
None, lists instead of arrays, object and float arrays, 0-d and empty arrays, arrays of
different shapes, read-only and non-contiguous arrays, huge or negative counts, NaN and
infinite spacings, non-string pool keys and tables without the expected columns.

    .venv/bin/python tests/bad_input.py > docs/BAD_INPUT.md

writes the table of docs/BAD_INPUT.md; tests/test_bad_input.py runs this file in a child
process (a crash or a hang fails the test) and checks that the table is still what the
functions do, that no argument was modified, and that nothing but a Python exception or
a result came back."""

import contextlib
import copy
import io
import pickle
import re
import sys
import warnings
from types import SimpleNamespace

import numpy as np
import pandas as pd
import PIL.Image

from orvane.basic import annotix, instances, medical, trialgrid
from orvane.basic.functions import FuncTools

NAN = float("nan")
INF = float("inf")


def arrays():
    """The kinds of mask argument, each a fresh object."""
    mask = np.array([[0, 1, 1, 0], [1, 1, 1, 0], [0, 1, 1, 1]], bool)
    read_only = mask.copy()
    read_only.flags.writeable = False
    wide = np.zeros((6, 8), bool)
    wide[::2, ::-2] = mask  # mask as a non-contiguous, reversed view of `wide`
    return {
        "None": None,
        "nested list": mask.tolist(),
        "object array": mask.astype(object),
        "float array with NaN": np.where(mask, NAN, 0.0),
        "0-d array": np.array(True),
        "empty array": np.zeros((0, 4), bool),
        "read-only array": read_only,
        "non-contiguous view": wide[::2, ::-2],
    }


def other_mask():
    return np.array([[1, 1, 0, 0], [1, 0, 0, 0], [0, 0, 0, 1]], bool)


def mask():
    return arrays()["read-only array"].copy()


def two_points():
    points = np.zeros((3, 4), bool)
    points[0, 0] = points[2, 0] = True
    return points


def shape_pair():
    return np.zeros((3, 4), bool), np.ones((4, 3), bool)


CASES = []  # (function, input, callable, args, kwargs)


def case(function, label, func, *args, **kwargs):
    CASES.append((function, label, func, args, kwargs))


# ------------------------------------------------------------------ medical

PAIR_FUNCTIONS = ("_superposition", "_diff_set", "_union_set", "_is_enclosed")
for label, x in arrays().items():
    case("_to_shell", label, medical._to_shell, x)
    case("_points_pair", label, medical._points_pair, x, [1.0, 1.0])
    case("_minimum_dis", f"x: {label}", medical._minimum_dis, x, other_mask(), [1, 1])
    case("_is_cross", f"x: {label}", medical._is_cross, x, other_mask(), 1)
    for name in PAIR_FUNCTIONS:
        case(name, f"x: {label}", getattr(medical, name), x, other_mask())
    case("_itk_img", label, medical._itk_img, x, [1.0, 1.0])
    case("_is_mask_pair", f"({label}, mask)", medical._is_mask_pair, (x, mask()))

for name in (*PAIR_FUNCTIONS, "_minimum_dis"):
    spacing = [[1.0, 1.0]] if name == "_minimum_dis" else []
    function = getattr(medical, name)
    case(name, "shapes (3, 4) and (4, 3)", function, *shape_pair(), *spacing)
    case(name, "shapes (3, 4) and (3, 4, 2)", function, mask(), np.ones((3, 4, 2), bool), *spacing)
case("_is_cross", "shapes (3, 4) and (4, 3)", medical._is_cross, *shape_pair(), 1)

for tol in (10**18, 2**64, -5, 0, True, 1.5, np.int64(2), None):
    label = repr(tol) if isinstance(tol, bool | float | np.generic) or tol is None else str(tol)
    case("_to_shell", f"__tol={label}", medical._to_shell, mask(), tol)
    case("_is_cross", f"_tol={label}", medical._is_cross, mask(), other_mask(), tol)

SPACINGS = {
    "[nan, 1.0]": [NAN, 1.0],
    "[inf, 1.0]": [INF, 1.0],
    "[-1, 2]": [-1, 2],
    "[0, 0]": [0, 0],
    "[1e308, 1e308]": [1e308, 1e308],
    "[10**30, 1]": [10**30, 1],
    "[] (too short)": [],
    "[1, 2, 3] (too long)": [1, 2, 3],
    "['a', 'b']": ["a", "b"],
    "None": None,
}
for label, sp in SPACINGS.items():
    case("_points_pair", f"sp={label}", medical._points_pair, mask(), copy.copy(sp))
    case("_minimum_dis", f"sp={label}", medical._minimum_dis, mask(), other_mask(), copy.copy(sp))
case("_points_pair", "one point", medical._points_pair, np.eye(3, dtype=bool)[:1], [1, 1])
case("_points_pair", "sp=nan (one number)", medical._points_pair, mask(), NAN)
case("_minimum_dis", "sp=(1.0, 1.0) (a tuple)", medical._minimum_dis, mask(), mask(), (1.0, 1.0))
case("_minimum_dis", "sp=np.array([1.0, 1.0])", medical._minimum_dis, mask(), mask(), np.ones(2))
empty = np.zeros((3, 4), bool)
case("_minimum_dis", "y: empty mask of the same shape", medical._minimum_dis, mask(), empty, [1, 1])
case("_is_enclosed", "y: two points outside x", medical._is_enclosed, mask(), two_points())
case("_itk_img", "sp=[nan, 1.0]", medical._itk_img, mask().astype(np.uint8), [NAN, 1.0])
case("_itk_img", "sp=None", medical._itk_img, mask().astype(np.uint8), None)
case("_itk_img", "org='a'", medical._itk_img, mask().astype(np.uint8), [1, 1], "a")
case("_is_mask_pair", "None", medical._is_mask_pair, None)
case("_is_mask_pair", "three masks", medical._is_mask_pair, (mask(), mask(), mask()))
case("_apply_spacing", "x None", medical._apply_spacing, None, [1, 2])
case("_apply_spacing", "sp None", medical._apply_spacing, [1, 2], None)
case("_apply_spacing", "sp=[nan, inf]", medical._apply_spacing, [1, 2], [NAN, INF])
case("_apply_spacing", "strings", medical._apply_spacing, ["a", "b"], [2, 3])

# ------------------------------------------------------------------ trialgrid


def package_function():
    @FuncTools.attach_attr(orvane_func=True)
    def scale(data, factor=1):
        return data * factor

    return scale


def plain_function(data):
    return data


traverse = trialgrid.traversal_on_params
pool = {"data": [1]}
case("traversal_on_params", "data None", traverse, data=None, params_pool={"data": [1]})
case(
    "traversal_on_params", "data a plain function", traverse, data=plain_function, params_pool=pool
)
case("traversal_on_params", "a positional argument", traverse, {"data": [1]})
case("traversal_on_params", "keyword 1 (not a string)", lambda kw: traverse(**kw), {1: 2})
POOLS = {
    "params_pool missing": {},
    "params_pool a list": {"params_pool": [("data", [1])]},
    "pool without 'data'": {"params_pool": {"factor": [1, 2]}},
    "pool key 7 (an int)": {"params_pool": {"data": [1], 7: [1, 2]}},
    "pool key 7, scope_in_builtin=True": {
        "params_pool": {"data": [1], 7: [1, 2]},
        "scope_in_builtin": True,
    },
    "pool key ''": {"params_pool": {"data": [1], "": [1]}},
    "pool key ('a',) (a tuple)": {"params_pool": {"data": [1], ("a",): [1]}},
    "candidates 5 (not iterable)": {"params_pool": {"data": [1], "factor": 5}},
    "candidates a one-shot iterator": {"params_pool": {"data": iter([1, 2])}},
    "candidates empty": {"params_pool": {"data": [1], "factor": []}},
    "candidates None": {"params_pool": {"data": None}},
    "candidates NaN and inf": {"params_pool": {"data": [1.0], "factor": [NAN, INF]}},
}
for label, kw in POOLS.items():
    case("traversal_on_params", label, traverse, data=package_function(), **kw)


def table(**columns):
    return pd.DataFrame(columns)


TABLES = {
    "data None": None,
    "a table without 'comment'": table(result=[1]),
    "a table without rows": table(comment=[]),
    "a table without 'trial No.' and 'data'": table(comment=["E()"], result=[1]),
    "a dict of lists": {"comment": [0, "E()"]},
    "a list": [0, 1],
    "'comment' of NaN and None": table(comment=[NAN, None, 0]),
}
for label, data in TABLES.items():
    case("diagnosing_tests", label, trialgrid.diagnosing_tests, data=data)
    case("_prompt_err_case", label, trialgrid._prompt_err_case, data)
quiet = {"data": None, "~verbosity": False}
case("diagnosing_tests", "~verbosity False, data None", trialgrid.diagnosing_tests, **quiet)
stage_2 = trialgrid._meta.second.func
case("pipeline stage 2", "no data", stage_2, to_file=None)
case("pipeline stage 2", "data 5 (not the stage 1 tuple)", stage_2, data=5)
missing = "/nonexistent/s.pkl"
staged = (table(), plain_function, "")
case("pipeline stage 2", "to_file in a missing folder", stage_2, data=staged, to_file=missing)
case("pipeline stage 2", "branch comment 5 (not a string)", stage_2, data=(table(), str, 5))
filing = {"data": package_function(), "params_pool": pool, "to_file": missing}
case("functest", "to_file in a missing folder", trialgrid.functest, **filing)

# ------------------------------------------------------------------ annotix

marker = annotix.T.__getitem__
for label, key in {"5": 5, "'a'": "a", "None": None, "(slice(1, 2), 3)": (slice(1, 2), 3)}.items():
    case("T[...]", label, marker, key)
case("T[...]", "slice(nan, inf, -1)", lambda key: vars(marker(key)), slice(NAN, INF, -1))
GAUSS = {
    "all None": (None, None, None, None),
    "w with NaN": (np.zeros(2), 1, 3, np.array([[NAN, 0], [0, 1]])),
    "w a list of lists": (np.zeros(2), 1, 3, [[1, 0], [0, 1]]),
    "nu 10**18": (np.zeros(2), 1, 10**18, np.eye(2)),
    "beta -1": (np.zeros(2), -1, 3, np.eye(2)),
    "beta inf": (np.zeros(2), INF, 3, np.eye(2)),
}
for label, fields in GAUSS.items():
    case("GauWisTP._is_valid", label, annotix.GauWisTP._is_valid, annotix.GauWisTP(*fields))
    case("GauWisTP.rvs", f"{label}, size 2", annotix.GauWisTP.rvs, annotix.GauWisTP(*fields), 2)
valid = annotix.GauWisTP(np.zeros(2), 1, 3, np.eye(2))
for size in (None, 2.5, -3, "2"):
    case("GauWisTP.rvs", f"size {size!r}", annotix.GauWisTP.rvs, valid, size)
case("NullType.__bool__", "a keyword", annotix.NullType.__bool__, x=1)

# ------------------------------------------------------------------ instances


class Unsure:
    def __bool__(self):
        raise ValueError("truth unknown")


URL = "https://example.org/misc/a.png"
URL_CASES = {
    "url None": (None, (4, 3)),
    "url bytes": (URL.encode(), (4, 3)),
    "shape None": (URL, None),
    "shape a list": (URL, [4, 3]),
    "shape (-1,)": (URL, (-1,)),
    "shape (0,)": (URL, (0,)),
    "shape (4.0, 3.0)": (URL, (4.0, 3.0)),
    "order 'X'": (URL, (4, 3), "X"),
    "order None": (URL, (4, 3), None),
    "trans whose truth raises": (URL, (4, 3), "C", Unsure()),
    "response body not an image": (URL + ".html", (4, 3)),
}
for label, args in URL_CASES.items():
    case("_url_img", label, instances._url_img, *args)
BOOLEAN_CASES = {
    "x None": (None, 100),
    "x a list": ([99, 101], 100),
    "x an object array": (np.array([99, 101], dtype=object), 100),
    "x with NaN": (np.array([NAN, 101.0]), 100),
    "x empty": (np.zeros((0, 3)), 100),
    "x read-only": (arrays()["read-only array"], 0),
    "thre None": (np.arange(3), None),
    "thre NaN": (np.arange(3), NAN),
    "thre an array of another shape": (np.arange(3), np.arange(2)),
}
for label, args in BOOLEAN_CASES.items():
    case("_as_boolean", label, instances._as_boolean, *args)
case("cat", "an argument", instances.cat, 1)


def fake_connect(url):
    """requests.get stand-in: a 4 x 3 gray PNG, or an error page for .html."""
    if url.endswith(".html"):
        return SimpleNamespace(content=b"<html>404</html>")
    stream = io.BytesIO()
    PIL.Image.new("L", (4, 3), 7).save(stream, "PNG")
    return SimpleNamespace(content=stream.getvalue())


# ------------------------------------------------------------------ running the cases


def describe(value):
    if isinstance(value, np.ndarray):
        return f"`ndarray` {value.dtype} {value.shape}"
    if isinstance(value, np.generic):
        return f"`{type(value).__name__}` {value!r}".replace("np.float64(", "").rstrip(")")
    if isinstance(value, pd.DataFrame):
        return f"`DataFrame` {value.shape[0]} rows, {value.shape[1]} columns"
    if isinstance(value, tuple):
        return "`tuple` (" + ", ".join(describe(item) for item in value) + ")"
    if isinstance(value, list):
        return f"`list` {value!r}" if len(value) <= 4 else f"`list` of {len(value)}"
    if isinstance(value, dict):
        return "`dict` " + ", ".join(f"{k}: {describe(v)}" for k, v in value.items())
    if isinstance(value, bool | int | float | str) or value is None:
        return f"`{value!r}`"
    return f"`{type(value).__name__}`"


def message(exc):
    text = " ".join(str(exc).split())
    text = re.sub(r"0x[0-9a-f]+", "0x…", text)
    return text if len(text) <= 90 else text[:87] + "..."


def fingerprint(value):
    """What must be the same before and after a call: content, type, flags of arrays."""
    if isinstance(value, np.ndarray):
        return ("ndarray", value.dtype.str, value.shape, value.flags.writeable, value.tobytes())
    if isinstance(value, tuple | list):
        return (type(value).__name__, [fingerprint(item) for item in value])
    if isinstance(value, dict):
        return ("dict", [(repr(k), fingerprint(v)) for k, v in value.items()])
    if isinstance(value, pd.DataFrame):
        return ("DataFrame", pickle.dumps(value))
    if callable(value):
        return ("callable", repr(value), sorted(map(repr, vars(value).items())))
    return (type(value).__name__, repr(value))


def run(func, args, kwargs):
    """(outcome text, modified) for one case."""
    watched = [*args, *kwargs.values()]
    before = [fingerprint(value) for value in watched]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            outcome = "returns " + describe(func(*args, **kwargs))
        except Exception as exc:
            outcome = f"`{type(exc).__name__}`: {message(exc)}".replace("|", "\\|")
    categories = sorted({warning.category.__name__ for warning in caught})
    if categories:
        outcome += " (warns " + ", ".join(f"`{name}`" for name in categories) + ")"
    modified = [fingerprint(value) for value in watched] != before
    return outcome, modified


HEADER = """# Bad input: what each function does with it

Generated by `.venv/bin/python tests/bad_input.py > docs/BAD_INPUT.md`; `tests/test_bad_input.py`
fails when a function no longer does what this table says (run the command again after a
deliberate change), when an argument is modified, or when a call crashes or hangs.

Every bad input gets a Python exception (the error the module names, else the one numpy,
scipy, pandas, SimpleITK, Pillow or the interpreter raises for the step that cannot go on)
or a result, never a crash; no argument is modified (such a row would end in "**modifies
an argument**"). Each input names what differs from a good call.
NaN and infinite spacings are not refused: they give what numpy's arithmetic gives, and
the native fast paths leave such spacings to the plain steps.

Loops whose length the caller sets: `_to_shell` and `_is_cross` repeat scipy's erosion or
dilation `__tol` or `_tol` times. While `binary_erosion` and `binary_dilation` are the
module's own, the rounds stop once a round leaves the array as it was (an eroded mask is
empty, a dilated one fills the array, after at most as many rounds as the array is long),
so `10**18` rounds cost as little as the few that change something. With a rebound
function every round runs; Ctrl-C stops them within a second (`tests/test_interrupts.py`).

The calls are made with small masks (a 3 × 4 boolean mask unless the input says otherwise)
and, for `instances`, with `connect` rebound to return a small image (no network).
"""


def table_rows():
    rows = []
    instances.connect = fake_connect
    for function, label, func, args, kwargs in CASES:
        print(f"{function}: {label}", file=sys.stderr, flush=True)  # names a crash
        with contextlib.redirect_stdout(io.StringIO()):  # what the trial runner prints
            outcome, modified = run(func, args, kwargs)
        rows.append(
            (function, label, outcome + (" — **modifies an argument**" if modified else ""))
        )
    return rows


def render(rows):
    lines = [HEADER, "| function | input | outcome |", "|---|---|---|"]
    for function, label, outcome in rows:
        lines.append(f"| `{function}` | {label.replace('|', '\\|')} | {outcome} |")
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    sys.stdout.write(render(table_rows()))
