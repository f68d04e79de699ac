"""Reference and memory leaks. Every function of the four modules, called many times on
its success path and on each of its error paths (binding errors, entry checks, errors of
numpy, scipy, pandas, SimpleITK and Pillow, interrupts), leaves the reference counts of
its arguments and of every object its module binds as they were; repeated calls keep no
Python object, and the native fast paths do not grow the process's resident memory."""

import gc
import io
import itertools
import os
import sys
from types import SimpleNamespace

import local_images
import numpy as np
import pandas as pd
import PIL.Image
import PIL.ImageOps
import pytest
import requests
from scipy.spatial import QhullError

from orvane.basic import annotix, functions, instances, medical, trialgrid
from orvane.basic.functions import FuncTools

REPEATS = 20  # a leak of one reference per call shows after one call already

# ------------------------------------------------------------------ the arguments


def small_jpeg():
    stream = io.BytesIO()
    PIL.Image.fromarray(np.arange(192, dtype=np.uint8).reshape(12, 16)).save(stream, "JPEG")
    return stream.getvalue()


JPEGS = {path.name: path.read_bytes() for path in local_images.MISC.glob("*.jpg")}
JPEGS["small.jpg"] = small_jpeg()


def fake_connect(url):
    """requests.get over the bundled files: no network, and a Pillow error for .html."""
    name = url.rsplit("/", 1)[-1]
    if name.endswith(".html"):
        return SimpleNamespace(content=b"<html>404 Not Found</html>")
    if name not in JPEGS:
        raise requests.ConnectionError(f"no route to {url}")
    return SimpleNamespace(content=JPEGS[name])


def masks():
    square = np.zeros((12, 12), bool)
    square[2:9, 3:10] = True
    ring = np.zeros((12, 12), bool)
    ring[1:11, 1:11] = True
    ring[4:8, 4:8] = False
    inner = np.zeros((12, 12), bool)
    inner[5:7, 5:7] = True
    return square, ring, inner


SQUARE, RING, INNER = masks()
ONE_POINT = np.zeros((5, 5), bool)
ONE_POINT[2, 2] = True
TWO_POINTS = np.zeros((12, 12), bool)
TWO_POINTS[0, :2] = True
EMPTY = np.zeros((5, 5), bool)
LARGE = np.ones((20, 20), bool)
FLOATS = SQUARE.astype(np.float32)
BYTES = SQUARE.astype(np.uint8)
SP = [1.0, 0.5]
URL = local_images.BASE_URL + "misc/small.jpg"
SHAPE = (16, 12)


def plain(data, p=1):
    return data * p


def repeat(data, p=1):
    if p == 2:
        raise ValueError("p=2")
    if p == 3:
        raise KeyboardInterrupt
    return data * p


PACKAGE_FUNC = FuncTools.attach_attr(orvane_func=True)(repeat)
POOL = {"data": [3, "ab"], "p": [1, 2]}
TABLE = pd.DataFrame(
    {"trial No.": [1, 2], "comment": [0, "ValueError()"], "data": ["data_0"] * 2, "arg: p": [1, 2]}
)
NO_COMMENT = TABLE.drop(columns="comment")


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


UNPRINTABLE_TABLE = pd.DataFrame({"comment": ["x"], "arg: p": [Unprintable()]})
VALID = annotix.GauWisTP(np.zeros(2), 1, 3, np.eye(2))
INVALID = annotix.GauWisTP(np.zeros(3), 1, 3, np.eye(2))


OFFLINE = requests.ConnectionError
NOT_AN_IMAGE = PIL.UnidentifiedImageError


def case(name, module, target, *args, raises=None, **kwargs):
    """`target`: an attribute path in `module`, called with args and kwargs."""
    return pytest.param(module, target, args, kwargs, raises, id=name)


CASES = [
    # medical: success paths, fast and plain, then each kind of error
    case("to_shell", medical, "_to_shell", SQUARE, 2),
    case("to_shell-huge-tol", medical, "_to_shell", SQUARE, 10**18),
    case("to_shell-entry-check", medical, "_to_shell", SQUARE, True, raises=TypeError),
    case("to_shell-missing", medical, "_to_shell", raises=TypeError),
    case("to_shell-keyword", medical, "_to_shell", SQUARE, tol=1, raises=TypeError),
    case("to_shell-none", medical, "_to_shell", None, raises=AttributeError),
    case("points-pair-fast", medical, "_points_pair", SQUARE, SP),
    case("points-pair-plain", medical, "_points_pair", FLOATS, [float("nan"), 1.0]),
    case("points-pair-one-point", medical, "_points_pair", ONE_POINT, SP, raises=ValueError),
    case("points-pair-bad-spacing", medical, "_points_pair", SQUARE, [1, 2, 3], raises=ValueError),
    case("points-pair-too-many", medical, "_points_pair", SQUARE, SP, SP, raises=TypeError),
    case("minimum-dis-fast", medical, "_minimum_dis", SQUARE, RING, SP),
    case("minimum-dis-plain", medical, "_minimum_dis", FLOATS, RING, SP),
    case("minimum-dis-tuple", medical, "_minimum_dis", SQUARE, RING, (1, 1), raises=TypeError),
    case("minimum-dis-empty", medical, "_minimum_dis", EMPTY, EMPTY, SP, raises=ValueError),
    case("is-cross", medical, "_is_cross", INNER, RING, 2),
    case("is-cross-entry-check", medical, "_is_cross", INNER, RING, 2.0, raises=TypeError),
    case("is-cross-none", medical, "_is_cross", None, RING, 1, raises=AttributeError),
    case("superposition", medical, "_superposition", SQUARE, RING),
    case("superposition-shapes", medical, "_superposition", SQUARE, EMPTY, raises=ValueError),
    case("diff-set", medical, "_diff_set", SQUARE, RING),
    case("diff-set-shapes", medical, "_diff_set", SQUARE, LARGE, raises=IndexError),
    case("union-set", medical, "_union_set", SQUARE, RING),
    case("union-set-none", medical, "_union_set", None, RING, raises=AttributeError),
    case("is-enclosed", medical, "_is_enclosed", INNER, RING),
    case("is-enclosed-qhull", medical, "_is_enclosed", SQUARE, TWO_POINTS, raises=QhullError),
    case("itk-img", medical, "_itk_img", BYTES, SP),
    case("itk-img-simpleitk-error", medical, "_itk_img", SQUARE, SP, raises=TypeError),
    # SimpleITK's SetSpacing(None) raises TypeError from 2.5 on, ValueError before.
    case("itk-img-set-spacing", medical, "_itk_img", BYTES, None, raises=(TypeError, ValueError)),
    case("is-mask-pair", medical, "_is_mask_pair", (SQUARE, RING)),
    case("is-mask-pair-lists", medical, "_is_mask_pair", ([1], [2]), raises=AttributeError),
    case("apply-spacing", medical, "_apply_spacing", [2, 3, 4], SP),
    case("apply-spacing-none", medical, "_apply_spacing", None, SP, raises=TypeError),
    # trialgrid: a grid with a failing trial, the entry check, bad pools, interrupts
    case("traversal", trialgrid, "traversal_on_params", data=PACKAGE_FUNC, params_pool=POOL),
    case(
        "traversal-not-package",
        trialgrid,
        "traversal_on_params",
        data=plain,
        params_pool=POOL,
        raises=TypeError,
    ),
    case("traversal-positional", trialgrid, "traversal_on_params", POOL, raises=TypeError),
    case(
        "traversal-no-data-key",
        trialgrid,
        "traversal_on_params",
        data=PACKAGE_FUNC,
        params_pool={"p": [1]},
        raises=TypeError,
    ),
    case(
        "traversal-int-key",
        trialgrid,
        "traversal_on_params",
        data=PACKAGE_FUNC,
        params_pool={"data": [1], 7: [1]},
        scope_in_builtin=True,
        raises=TypeError,
    ),
    case(
        "traversal-interrupt",
        trialgrid,
        "traversal_on_params",
        data=PACKAGE_FUNC,
        params_pool={"data": [1], "p": [1, 3, 1]},
        raises=KeyboardInterrupt,
    ),
    case("diagnosing", trialgrid, "diagnosing_tests", data=TABLE),
    case("diagnosing-none", trialgrid, "diagnosing_tests", raises=AttributeError),
    case("diagnosing-no-comment", trialgrid, "diagnosing_tests", data=NO_COMMENT, raises=KeyError),
    case("prompt", trialgrid, "_prompt_err_case", TABLE),
    case("prompt-str-fails", trialgrid, "_prompt_err_case", UNPRINTABLE_TABLE, raises=RuntimeError),
    case("stage-1", trialgrid, "_meta.first.func", data=PACKAGE_FUNC, params_pool=POOL),
    case("stage-2-no-data", trialgrid, "_meta.second.func", raises=TypeError),
    # annotix: the marker, the null sentinel and the Gaussian-Wishart methods
    case("marker", annotix, "_T.__getitem__", annotix.T, slice(1, int, True)),
    case("marker-no-slice", annotix, "_T.__getitem__", annotix.T, 5, raises=AttributeError),
    case("marker-init", annotix, "_T"),
    case("marker-init-extra", annotix, "_T", 1, raises=TypeError),
    case("null-bool", annotix, "NullType.__bool__", 1, 2),
    case("null-bool-keyword", annotix, "NullType.__bool__", x=1, raises=TypeError),
    case("is-valid", annotix, "GauWisTP._is_valid", VALID),
    case("is-valid-swallows-scipy-error", annotix, "GauWisTP._is_valid", INVALID),
    case("rvs", annotix, "GauWisTP.rvs", VALID, 3),
    case("rvs-scipy-error", annotix, "GauWisTP.rvs", INVALID, 2, raises=ValueError),
    case("rvs-float-size", annotix, "GauWisTP.rvs", VALID, 2.5, raises=TypeError),
    # instances: both pixel routes, the entry checks, errors of requests, Pillow, numpy
    case("url-img", instances, "_url_img", URL, SHAPE, "F", True),
    case("url-img-bytes-url", instances, "_url_img", URL.encode(), SHAPE, raises=TypeError),
    case("url-img-list-shape", instances, "_url_img", URL, list(SHAPE), raises=TypeError),
    case("url-img-offline", instances, "_url_img", URL + "x", SHAPE, raises=OFFLINE),
    case("url-img-error-page", instances, "_url_img", URL + ".html", SHAPE, raises=NOT_AN_IMAGE),
    case("url-img-reshape", instances, "_url_img", URL, (3, 3), raises=ValueError),
    case("as-boolean", instances, "_as_boolean", np.arange(200), 100),
    case("as-boolean-none", instances, "_as_boolean", None, 100, raises=TypeError),
    *(case(name, instances, name) for name in instances.__all__),
    case("cat-argument", instances, "cat", 1, raises=TypeError),
]  # fmt: skip


def resolve(module, target):
    obj = module
    for part in target.split("."):
        obj = getattr(obj, part)
    return obj


def call(func, args, kwargs, raises):
    try:
        func(*args, **kwargs)
    except BaseException as exc:
        if raises is None or not isinstance(exc, raises):
            raise
    else:
        assert raises is None, f"expected {raises}"


@pytest.fixture(autouse=True)
def offline(monkeypatch):
    monkeypatch.setattr(instances, "connect", fake_connect)


@pytest.fixture(scope="module", autouse=True)
def quick_collections():
    """Moves what exists now out of the collector's sight: the many collections below then
    look only at what the calls made (what they keep included)."""
    gc.collect()
    gc.freeze()
    yield
    gc.unfreeze()


@pytest.fixture
def plain_pixels(monkeypatch):
    """A rebound as_gray: _url_img takes its plain route (getdata, np.array)."""
    monkeypatch.setattr(instances, "as_gray", lambda image: PIL.ImageOps.grayscale(image))


def is_immortal(obj):
    """None, small ints and the like: their counts mean nothing (an abi3 extension such as
    SimpleITK's changes the count it reads on 3.14, though the object stays immortal)."""
    check = getattr(sys, "_is_immortal", None)  # 3.14 on
    return check(obj) if check is not None else sys.getrefcount(obj) >= 1 << 30


def watched_objects(module, args, kwargs):
    nested = [item for arg in args if isinstance(arg, tuple | list) for item in arg]
    found = [*args, *nested, *kwargs.values(), *vars(module).values()]
    return [obj for obj in found if not is_immortal(obj)]


def assert_counts_kept(func, args, kwargs, raises, module, repeats=REPEATS):
    watched = watched_objects(module, args, kwargs)
    call(func, args, kwargs, raises)  # first calls may fill caches of numpy, scipy, pandas
    gc.collect()
    before = [sys.getrefcount(obj) for obj in watched]
    for _ in range(repeats):
        call(func, args, kwargs, raises)
    gc.collect()
    after = [sys.getrefcount(obj) for obj in watched]
    changed = {
        f"{type(obj).__name__} {repr(obj)[:60]}": new - old
        for obj, old, new in zip(watched, before, after, strict=True)
        if new != old
    }
    assert not changed


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize(("module", "target", "args", "kwargs", "raises"), CASES)
def test_calls_keep_reference_counts(module, target, args, kwargs, raises):
    assert_counts_kept(resolve(module, target), args, kwargs, raises, module)


@pytest.mark.filterwarnings("ignore:Image.Image.getdata is deprecated")
@pytest.mark.usefixtures("plain_pixels")
def test_plain_pixel_route_keeps_reference_counts():
    assert_counts_kept(instances._url_img, (URL, SHAPE), {}, None, instances)


@pytest.mark.parametrize("name", ["combinations", "_to_shell"])
def test_plain_mask_paths_keep_reference_counts(monkeypatch, name):
    """With a rebound name the quadratic operations run their literal steps."""
    original = getattr(medical, name)
    monkeypatch.setattr(medical, name, lambda *args: original(*args))
    assert_counts_kept(medical._points_pair, (SQUARE, SP), {}, None, medical)
    assert_counts_kept(medical._minimum_dis, (SQUARE, RING, SP), {}, None, medical)
    assert_counts_kept(medical._minimum_dis, (EMPTY, RING, SP), {}, ValueError, medical)


def test_pipeline_filing_keeps_reference_counts(tmp_path):
    """Stage 2 reading an existing store through _load, and the variant saving it."""
    path = str(tmp_path / "store.pkl")
    functions._save({"old": TABLE}, path)
    kwargs = {"data": PACKAGE_FUNC, "params_pool": POOL, "to_file": path}
    assert_counts_kept(trialgrid.functest, (), kwargs, None, trialgrid, repeats=5)
    assert_counts_kept(trialgrid.experiments, (), kwargs, None, trialgrid, repeats=5)
    staged = (TABLE, PACKAGE_FUNC, "b")
    stage_2 = trialgrid._meta.second.func
    assert_counts_kept(stage_2, (), {"data": staged, "to_file": path}, None, trialgrid)


# ------------------------------------------------------------------ memory growth

GROWTH_CASES = [
    (medical._to_shell, (SQUARE, 3), {}, None),
    (medical._points_pair, (SQUARE, SP), {}, None),
    (medical._minimum_dis, (SQUARE, RING, SP), {}, None),
    (medical._minimum_dis, (EMPTY, EMPTY, SP), {}, ValueError),
    (medical._is_cross, (INNER, RING, 2), {}, None),
    (medical._to_shell, (SQUARE, True), {}, TypeError),
    (trialgrid.traversal_on_params, (), {"data": PACKAGE_FUNC, "params_pool": POOL}, None),
    (trialgrid.diagnosing_tests, (), {"data": NO_COMMENT}, KeyError),
    (annotix.GauWisTP._is_valid, (INVALID,), {}, None),
    (annotix.T.__getitem__, (5,), {}, AttributeError),
    (instances._as_boolean, (np.arange(200), 100), {}, None),
    (instances._url_img, (URL, (3, 3)), {}, ValueError),
]


@pytest.mark.skipif(sys.getallocatedblocks() == 0, reason="Python's allocator is replaced")
@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize(
    ("func", "args", "kwargs", "raises"),
    GROWTH_CASES,
    ids=[f"{func.__qualname__}-{raises and raises.__name__}" for func, *_, raises in GROWTH_CASES],
)
def test_repeated_calls_do_not_grow_allocated_blocks(func, args, kwargs, raises):
    """A call may not keep a single object: an object kept per call adds at least 300
    blocks to every window of 300 calls, while caches that fill up (pandas keeps filling
    some over the first thousand calls of a grid) add fewer and fewer."""
    for _ in range(200):
        call(func, args, kwargs, raises)
    gc.collect()
    blocks = [sys.getallocatedblocks()]
    for _window in range(3):
        for _ in range(300):
            call(func, args, kwargs, raises)
        gc.collect()
        blocks.append(sys.getallocatedblocks())
    assert min(after - before for before, after in itertools.pairwise(blocks)) < 150


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""), reason="ASan holds freed memory in quarantine"
)
def test_native_fast_paths_do_not_grow_resident_memory():
    """The fast paths allocate their point lists, hulls and trees in C++, out of sight of
    tracemalloc: each call below builds several MB of them."""
    rng = np.random.default_rng(7)
    x, y = (rng.random((70, 70, 70)) < 0.4 for _ in range(2))
    spacing = [1.0, 1.0, 2.0]
    for _ in range(2):
        medical._minimum_dis(x, y, spacing)
        medical._points_pair(x, spacing)
    gc.collect()
    before = resident_bytes()
    for _ in range(12):
        medical._minimum_dis(x, y, spacing)
        medical._points_pair(x, spacing)
    gc.collect()
    assert resident_bytes() - before < 16 * 2**20
