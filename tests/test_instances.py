"""orvane.basic.instances over real HTTPS: a loopback server with a test CA serves misc/,
and `instances.connect` is rebound to fetch the base location's URLs from it; the default
download (requests.get itself) against the same server; the bundled copies of
orvane.sample_images."""

import functools
import inspect
import io
import sys
import threading
import typing
import warnings

import local_images
import make_sample_images
import numpy as np
import PIL.Image
import PIL.ImageOps
import pytest
import requests

from orvane import sample_images
from orvane.basic import instances

MISC_URL = local_images.MISC_URL
DEFAULT_INT = np.array([0]).dtype
SAMPLES = [
    ("cat", "cat.jpg", (1000, 781)),
    ("accent", "ascent.jpg", (1152, 768)),
    ("blackcurrant", "blackcurrant.jpg", (725, 544)),
    ("bricks", "bricks.jpg", (1280, 696)),
    ("segs", "segs.jpg", (748, 533)),
]
# The plain route calls getdata(), which newer Pillow releases mark as deprecated.
plain_route = pytest.mark.filterwarnings("ignore:Image.Image.getdata is deprecated")


@pytest.fixture
def downloads(https_misc, monkeypatch):
    """Rebinds instances.connect to fetch from the local HTTPS server, checking the
    certificate against the test CA. Returns the list of URLs asked for."""
    root, ca_path = https_misc
    fetch = local_images.redirecting_connect(root, MISC_URL, verify=ca_path, timeout=30)
    asked = []

    def connect(url):
        asked.append(url)
        return fetch(url)

    monkeypatch.setattr(instances, "connect", connect)
    return asked


@pytest.fixture
def no_network(monkeypatch):
    def connect(url):
        pytest.fail(f"downloaded {url!r}")

    monkeypatch.setattr(instances, "connect", connect)


def decoded_rows(file):
    """The file as Pillow decodes it: gray levels indexed [row from the top, column]."""
    with PIL.Image.open(local_images.MISC / file) as image:
        return np.asarray(PIL.ImageOps.grayscale(image)).astype(DEFAULT_INT)


def outcome(func, *args, **kwargs):
    try:
        return ("ok", func(*args, **kwargs))
    except Exception as exc:
        return (type(exc), str(exc))


def test_namespace_holds_the_bindings_in_order():
    names = [name for name in vars(instances) if not name.startswith("__")]
    assert names == [
        "Literal", "Tuple", "np", "ndarray", "connect", "byte", "img_open", "as_gray",
        "_url_img", "_as_boolean", "cat", "accent", "blackcurrant", "bricks", "segs",
    ]  # fmt: skip
    assert list(vars(instances))[-1] == "__all__"
    assert instances.__all__ == ["cat", "accent", "blackcurrant", "bricks", "segs"]
    expected = {
        "Literal": typing.Literal,
        "Tuple": typing.Tuple,  # noqa: UP006 (the module binds this very alias)
        "np": np,
        "ndarray": np.ndarray,
        "connect": requests.get,
        "byte": io.BytesIO,
        "img_open": PIL.Image.open,
        "as_gray": PIL.ImageOps.grayscale,
    }
    for name, value in expected.items():
        assert getattr(instances, name) is value, name
    namespace = {}
    exec("from orvane.basic.instances import *", namespace)
    assert sorted(set(namespace) - {"__builtins__"}) == sorted(instances.__all__)


def test_functions_look_like_their_python_definitions():
    url_img, as_boolean = instances._url_img, instances._as_boolean
    assert str(inspect.signature(url_img)) == (
        "(url: 'str', shape: 'Tuple[int, ...]', order: \"Literal['C', 'F']\" = 'C', "
        "trans: 'bool' = False) -> 'ndarray'"
    )
    assert list(url_img.__annotations__) == ["url", "shape", "order", "trans", "return"]
    assert (as_boolean.__defaults__, as_boolean.__annotations__) == (None, {})
    assert str(inspect.signature(as_boolean)) == "(x, thre)"
    for func in (url_img, as_boolean):
        assert func.__doc__ is None
        assert func.__module__ == "orvane.basic.instances"
    for name in instances.__all__:
        func = getattr(instances, name)
        assert func.__name__ == func.__qualname__ == "<lambda>"
        assert str(inspect.signature(func)) == "()"


TWINS = {
    "_url_img": "def _url_img(url, shape, order='C', trans=False): pass",
    "_as_boolean": "def _as_boolean(x, thre): pass",
    "cat": "cat = lambda: None",
}


@pytest.mark.parametrize(
    ("name", "args", "kwargs"),
    [
        ("_url_img", ("u",), {}),
        ("_url_img", ("u", (1,), "C", False, 5), {}),
        ("_url_img", ("u", (1,)), {"url": "v"}),
        ("_url_img", ("u", (1,)), {"orde": "C"}),
        ("_as_boolean", (), {"x": 1}),
        ("_as_boolean", (1, 2, 3), {}),
        ("cat", (1,), {}),
        ("cat", (), {"x": 1}),
    ],
)
def test_argument_errors_match_python(no_network, name, args, kwargs):
    namespace = {}
    exec(TWINS[name], namespace)
    expected = outcome(namespace[name], *args, **kwargs)
    assert expected[0] is TypeError
    assert outcome(getattr(instances, name), *args, **kwargs) == expected


CAT_URL = MISC_URL + "cat.jpg"


class Url(str):
    pass


class Shape(tuple):
    pass


@pytest.mark.parametrize(
    ("args", "kwargs", "wrong"),
    [
        ((b"https://x/cat.jpg", (1, 1)), {}, ("url", "str", "bytes")),
        ((None, (1, 1)), {}, ("url", "str", "NoneType")),
        ((CAT_URL, [1000, 781]), {}, ("shape", "tuple", "list")),
        ((), {"url": CAT_URL, "shape": np.array([1, 1])}, ("shape", "tuple", "numpy.ndarray")),
        ((b"u", [1]), {}, ("url", "str", "bytes")),  # url is checked first
        ((Url(CAT_URL), (1, 1)), {}, ("url", "str", "Url")),
        ((CAT_URL, Shape((1, 1))), {}, ("shape", "tuple", "Shape")),
    ],
)
def test_type_checks_come_before_any_download(no_network, args, kwargs, wrong):
    with pytest.raises(TypeError) as info:
        instances._url_img(*args, **kwargs)
    parameter, expected, got = wrong
    assert str(info.value) == (
        f"Argument '{parameter}' has incorrect type (expected {expected}, got {got})"
    )


@pytest.mark.parametrize(("name", "file", "shape"), SAMPLES)
def test_sample_functions_download_and_lay_out_their_file(downloads, name, file, shape):
    func = getattr(instances, name)
    first, second = func(), func()
    assert downloads == [MISC_URL + file] * 2  # nothing is cached
    assert first is not second

    rows = decoded_rows(file)
    assert rows.shape == (shape[1], shape[0])
    laid_out = rows.T[:, ::-1]  # [x, y] with y counting up from the bottom row
    assert not np.array_equal(laid_out, rows.T)  # the flip is visible in this image
    if name == "segs":
        expected, dtype = laid_out > 100, np.dtype(bool)
    else:
        expected, dtype = laid_out, DEFAULT_INT
    for image in (first, second):
        assert image.shape == shape
        assert image.dtype == dtype
        np.testing.assert_array_equal(image, expected)


def test_segs_mask_has_regions_for_mask_geometry(downloads):
    # Seven regions, among them a ring around another one and a long thin band.
    assert make_sample_images.check_segs_mask(instances.segs()) == 7


@pytest.mark.parametrize(
    ("shape", "options", "layout"),
    [
        ((781, 1000), {}, lambda rows: rows),
        ((1000, 781), {"order": "F"}, lambda rows: rows.T),
        ((1000, 781), {"order": "F", "trans": True}, lambda rows: rows.T[:, ::-1]),
        ((781, 1000), {"trans": [0]}, lambda rows: rows[:, ::-1]),  # any true object
        ((781, 1000), {"order": "A", "trans": 0}, lambda rows: rows),  # numpy decides "A"
        ((781 * 1000,), {}, lambda rows: rows.ravel()),
    ],
)
def test_url_img_layouts(downloads, shape, options, layout):
    image = instances._url_img(CAT_URL, shape, **options)
    expected = layout(decoded_rows("cat.jpg"))
    assert (image.shape, image.dtype) == (expected.shape, DEFAULT_INT)
    np.testing.assert_array_equal(image, expected)


def test_a_rebound_connect_gets_the_one_argument_call_and_no_status_check(downloads):
    # The downloads fixture's connect takes exactly one argument; the 404 page it returns
    # goes on to the image decoder.
    with pytest.raises(PIL.UnidentifiedImageError):
        instances._url_img(MISC_URL + "missing.jpg", (1, 1))
    assert downloads == [MISC_URL + "missing.jpg"]


@pytest.fixture
def default_download(https_misc, monkeypatch):
    """requests.get itself as connect, trusting the test CA; yields the server's root and
    the time-outs of the requests sent."""
    root, ca_path = https_misc
    monkeypatch.setenv("REQUESTS_CA_BUNDLE", ca_path)
    monkeypatch.setenv("NO_PROXY", "127.0.0.1")
    timeouts = []
    send = requests.adapters.HTTPAdapter.send

    def recording_send(self, request, **kwargs):
        timeouts.append(kwargs.get("timeout"))
        return send(self, request, **kwargs)

    monkeypatch.setattr(requests.adapters.HTTPAdapter, "send", recording_send)
    assert instances.connect is requests.get
    return root, timeouts


def test_the_default_download_has_a_time_out(default_download):
    root, timeouts = default_download
    image = instances._url_img(root + "cat.jpg", (781, 1000))
    np.testing.assert_array_equal(image, decoded_rows("cat.jpg"))
    assert timeouts == [60]


def test_the_default_download_reports_an_error_status_with_its_url(default_download):
    root, timeouts = default_download
    with pytest.raises(requests.HTTPError) as info:
        instances._url_img(root + "missing.jpg", (1, 1))
    assert info.value.response.status_code == 404
    assert str(info.value) == f"404 Client Error: File not found for url: {root}missing.jpg"
    assert timeouts == [60]


@pytest.mark.parametrize(
    ("shape", "order", "message"),
    [
        ((1000, 780), "F", "cannot reshape array of size 781000 into shape (1000,780)"),
        ((1000, 781), "X", "order must be one of 'C', 'F', 'A', or 'K' (got 'X')"),
    ],
)
def test_numpy_refuses_after_the_download(downloads, shape, order, message):
    with pytest.raises(ValueError) as info:
        instances._url_img(CAT_URL, shape, order)
    assert str(info.value) == message
    assert downloads == [CAT_URL]


def test_failing_connection_propagates(https_misc, monkeypatch):
    # The server's certificate is not trusted without the test CA: requests' own error.
    root, _ = https_misc
    monkeypatch.setattr(
        instances, "connect", local_images.redirecting_connect(root, MISC_URL, timeout=30)
    )
    with pytest.raises(requests.exceptions.SSLError):
        instances.cat()


@pytest.mark.parametrize(
    ("x", "thre", "expected"),
    [
        (np.array([99, 100, 101]), 100, [False, False, True]),
        (np.array([[0.5, 100.0], [100.25, -3.0]]), 100, [[False, False], [True, False]]),
        (np.array([1, 2, 3], dtype=np.uint8), np.array([0, 2, 5]), [True, False, False]),
        (np.array([True, False]), 0, [True, False]),
        (np.array([np.nan, 7.0]), 5, [False, True]),
    ],
)
def test_as_boolean_thresholds_strictly(x, thre, expected):
    before = x.copy()
    mask = instances._as_boolean(x, thre=thre)
    assert mask.dtype == np.dtype(bool)
    np.testing.assert_array_equal(mask, np.array(expected))
    np.testing.assert_array_equal(x, before)


def test_as_boolean_passes_numpy_errors_on():
    with pytest.raises(TypeError, match="'>' not supported"):
        instances._as_boolean([1, 2], 1)


def test_names_are_looked_up_at_each_call(monkeypatch):
    calls = []

    def url_img(*args, **kwargs):
        calls.append(("url_img", args, kwargs))
        return np.array([[120, 80]])

    def as_boolean(*args, **kwargs):
        calls.append(("as_boolean", args, kwargs))
        return "mask"

    monkeypatch.setattr(instances, "_url_img", url_img)
    monkeypatch.setattr(instances, "_as_boolean", as_boolean)
    assert instances.accent().tolist() == [[120, 80]]
    assert instances.segs() == "mask"
    assert calls[0] == ("url_img", (MISC_URL + "ascent.jpg", (1152, 768), "F", True), {})
    assert calls[1] == ("url_img", (MISC_URL + "segs.jpg", (748, 533), "F", True), {})
    assert calls[2][0] == "as_boolean" and calls[2][2] == {}
    image, threshold = calls[2][1]
    assert image.tolist() == [[120, 80]] and threshold == 100 and type(threshold) is int


# The byte route must give what np.array(getdata()) gives, and only run while np, byte,
# img_open and as_gray are the objects bound at import.
@pytest.fixture
def getdata_calls():
    """The modes of the images whose getdata() runs, watched without patching it (a
    patched getdata is itself a reason for the plain route)."""
    calls = []
    code = PIL.Image.Image.getdata.__code__

    def watch(frame, event, arg):
        if event == "call" and frame.f_code is code:
            calls.append(frame.f_locals["self"].mode)

    sys.setprofile(watch)
    yield calls
    sys.setprofile(None)


def wraps(method):
    """An equal method that is not the import-time one."""
    return functools.wraps(method)(lambda self, *args, **kwargs: method(self, *args, **kwargs))


class NumpyProxy:
    def __getattr__(self, name):
        return getattr(np, name)


def plain_result(image):
    """What the plain route gives: np.array over getdata, reshaped and flipped."""
    return np.flip(np.array(image.getdata()).reshape((1000, 781), order="F"), axis=1)


def describe(array):
    flags = array.flags
    return (array.shape, array.dtype, flags.c_contiguous, flags.f_contiguous, flags.writeable)


def test_byte_route_gives_the_plain_array(downloads, getdata_calls):
    fast = instances.cat()
    assert getdata_calls == []
    with PIL.Image.open(local_images.MISC / "cat.jpg") as raw, warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        plain = plain_result(PIL.ImageOps.grayscale(raw))
    assert describe(fast) == describe(plain)
    np.testing.assert_array_equal(fast, plain)


@plain_route
@pytest.mark.parametrize(
    "change",
    [
        lambda patch: patch.setattr(instances, "np", NumpyProxy()),
        lambda patch: patch.setattr(instances, "byte", lambda data: io.BytesIO(data)),
        lambda patch: patch.setattr(instances, "img_open", lambda f: PIL.Image.open(f)),
        lambda patch: patch.setattr(instances, "as_gray", lambda i: PIL.ImageOps.grayscale(i)),
        lambda patch: patch.setattr(np, "array", functools.partial(np.array)),
        lambda patch: patch.setattr(PIL.Image.Image, "getdata", wraps(PIL.Image.Image.getdata)),
    ],
    ids=["np", "byte", "img_open", "as_gray", "numpy.array", "Image.getdata"],
)
def test_changed_bindings_take_the_plain_route(downloads, getdata_calls, monkeypatch, change):
    fast = instances.cat()
    with monkeypatch.context() as patch:
        change(patch)
        plain = instances.cat()
    assert getdata_calls == ["L"]
    assert describe(plain) == describe(fast)
    np.testing.assert_array_equal(plain, fast)
    instances.cat()  # restored: back on the byte route
    assert getdata_calls == ["L"]


@plain_route
def test_images_without_one_byte_pixels_take_the_plain_route(downloads, getdata_calls, monkeypatch):
    convert = PIL.Image.Image.convert
    # 32-bit pixels: raw bytes would be four per pixel.
    monkeypatch.setattr(PIL.Image.Image, "convert", lambda self, mode: convert(self, "I"))
    wide = instances._url_img(CAT_URL, (781, 1000))
    assert getdata_calls == ["I"]
    np.testing.assert_array_equal(wide, decoded_rows("cat.jpg"))
    # No pixels at all: numpy makes a float array of nothing, and so must we.
    monkeypatch.setattr(PIL.Image.Image, "convert", lambda self, mode: PIL.Image.new("L", (0, 5)))
    empty = instances._url_img(CAT_URL, (0, 5))
    assert getdata_calls == ["I", "L"]
    assert (empty.shape, empty.dtype) == ((0, 5), np.dtype(float))


# ------------------------------------------------------------------ the bundled images


def module_state():
    return {name: value for name, value in vars(instances).items()}


def test_bundled_images_are_the_published_files():
    assert sample_images.FILES == tuple(file for _, file, _ in SAMPLES)
    for file in sample_images.FILES:
        assert (sample_images.FOLDER / file).read_bytes() == (local_images.MISC / file).read_bytes()


@pytest.mark.parametrize(("name", "file", "shape"), SAMPLES)
def test_bundled_serves_the_five_functions_offline(monkeypatch, name, file, shape):
    # A proxy that refuses everything stands for no network; the loopback server must not
    # be asked through it, nor through another CA bundle.
    monkeypatch.setenv("HTTPS_PROXY", "http://127.0.0.1:9")
    monkeypatch.setenv("REQUESTS_CA_BUNDLE", "/nonexistent/ca.pem")
    before = module_state()
    with sample_images.bundled() as root:
        assert root.startswith("https://127.0.0.1:") and instances.connect is not requests.get
        image = getattr(instances, name)()
    assert module_state() == before and instances.connect is requests.get
    expected = decoded_rows(file).T[:, ::-1]
    np.testing.assert_array_equal(image, expected > 100 if name == "segs" else expected)
    assert image.shape == shape


def test_bundled_leaves_the_module_as_it_was_when_the_block_fails(downloads):
    before = module_state()
    with pytest.raises(KeyError), sample_images.bundled():
        instances.cat()
        raise KeyError("the block fails")
    assert module_state() == before
    assert downloads == []  # the five files came from the package, not from this connect


def test_inside_bundled_other_urls_go_to_the_connect_bound_before(downloads):
    with sample_images.bundled():
        instances.bricks()
        with pytest.raises(PIL.UnidentifiedImageError):  # one-argument call, no status check
            instances._url_img(MISC_URL + "missing.jpg", (1, 1))
        image = instances._url_img(MISC_URL + "cat.jpg", (781, 1000))
    assert downloads == [MISC_URL + "missing.jpg"]  # cat.jpg is one of the bundled files
    np.testing.assert_array_equal(image, decoded_rows("cat.jpg"))


@pytest.mark.filterwarnings("ignore:Unverified HTTPS request")
def test_bundled_certificate_is_trusted_by_nothing_else():
    with sample_images.bundled() as root:
        with pytest.raises(requests.exceptions.SSLError):
            requests.get(root + "cat.jpg", timeout=30)
        with requests.Session() as session:
            session.trust_env = False
            response = session.get(root + "__init__.py", verify=False, timeout=30)
    assert response.status_code == 404  # only the five images are served


def test_bundled_blocks_nest_and_overlap_in_threads():
    results = []
    inside = threading.Barrier(3)

    def worker():
        with sample_images.bundled():
            inside.wait()  # all three blocks open at once; they end in any order
            results.append(int(instances.segs().sum()))

    threads = [threading.Thread(target=worker) for _ in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    with sample_images.bundled() as outer, sample_images.bundled() as inner:
        assert inner == outer
        results.append(int(instances.segs().sum()))
    assert instances.connect is requests.get
    assert results == [106233] * 4
