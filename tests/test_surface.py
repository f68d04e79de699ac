"""What a Python user meets besides behaviour: the type stubs, signatures, help(),
functools.wraps, pickling and worker processes."""

import ast
import functools
import importlib
import inspect
import multiprocessing
import pickle
import pydoc
import re
import subprocess
import sys
import textwrap
import types
import warnings
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import numpy as np
import pytest

import orvane

REPOSITORY = Path(__file__).resolve().parent.parent
ALLOWLIST = Path(__file__).with_name("stubtest_allowlist.txt")
MODULES = ["trialgrid", "medical", "annotix", "instances", "_runtime_probe"]
PUBLIC_MODULES = MODULES[:4]


def module(name):
    return importlib.import_module(f"orvane.basic.{name}")


def is_native(obj):
    return type(obj).__name__ == "native_function"


def native_functions(name):
    """(dotted name, function) for every native function of the module: those it binds and
    those in the namespaces of the classes it defines."""
    mod = module(name)
    found = []
    for attr, value in vars(mod).items():
        if is_native(value):
            found.append((attr, value))
        elif isinstance(value, type) and value.__module__ == mod.__name__:
            found += [(f"{attr}.{k}", v) for k, v in vars(value).items() if is_native(v)]
    return found


ALL_FUNCTIONS = [
    pytest.param(func, id=f"{name}.{attr}")
    for name in PUBLIC_MODULES
    for attr, func in native_functions(name)
]
WITH_STUB_PATHS = [
    pytest.param(name, attr, func, id=f"{name}.{attr}")
    for name in MODULES
    for attr, func in native_functions(name)
]


def stub_source(name):
    """The stub installed beside the module, checked to be the one in this checkout."""
    installed = Path(module(name).__file__).with_name(f"{name}.pyi")
    source = REPOSITORY / "src" / "orvane" / "basic" / f"{name}.pyi"
    assert installed.read_text() == source.read_text(), (
        f"the installed {installed.name} is out of date: run scripts/bootstrap.sh"
    )
    return source.read_text()


def stub_namespace(name):
    """The stub run as a Python module, as documentation tools (Sphinx, pdoc) run it: what
    its names refer to."""
    code = compile(stub_source(name), f"{name}.pyi", "exec", dont_inherit=True)
    stub = types.ModuleType(f"_stub_of_{name}")
    sys.modules[stub.__name__] = stub  # dataclasses looks the module up
    try:
        with warnings.catch_warnings():
            # typing warns when ByteString is read (3.15 on); annotix's stub imports it.
            warnings.filterwarnings("ignore", ".*ByteString", DeprecationWarning)
            exec(code, vars(stub))
    finally:
        del sys.modules[stub.__name__]
    return vars(stub)


def stub_bindings(name):
    """{name: how the stub binds it} for the stub's top-level statements."""
    bound = {}
    for node in ast.parse(stub_source(name)).body:
        if isinstance(node, ast.Import | ast.ImportFrom):
            for alias in node.names:
                bound[alias.asname or alias.name.split(".")[0]] = "import"
        elif isinstance(node, ast.Assign):
            kind = {ast.Call: "call", ast.Name: "alias", ast.Attribute: "alias"}
            kind = kind.get(type(node.value), "value")
            bound.update({target.id: kind for target in node.targets})
        elif isinstance(node, ast.AnnAssign):
            bound[node.target.id] = "annotation"
        elif isinstance(node, ast.FunctionDef | ast.ClassDef):
            bound[node.name] = "definition"
    return bound


# ---------------------------------------------------------------- the stubs


def test_stubs_and_py_typed_are_installed_with_the_package():
    package = Path(orvane.__file__).parent
    assert (package / "py.typed").is_file()
    for name in MODULES:
        stub_source(name)  # installed beside the module, same text as this checkout's


def test_stubtest_finds_the_stubs_consistent_with_the_modules(tmp_path):
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "orvane", "--allowlist", str(ALLOWLIST)],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success: no issues found" in result.stdout


@pytest.mark.parametrize("name", MODULES)
def test_stub_declares_every_name_the_module_binds(name):
    runtime = [n for n in vars(module(name)) if not (n.startswith("__") and n.endswith("__"))]
    if hasattr(module(name), "__all__"):
        runtime.append("__all__")
    missing = set(runtime) - set(stub_bindings(name))
    assert not missing, f"{name}.pyi does not declare {sorted(missing)}"


@pytest.mark.parametrize("name", MODULES)
def test_names_the_stub_imports_or_aliases_are_the_modules_objects(name):
    # stubtest checks functions, classes and annotated values, not these.
    mod, namespace = module(name), stub_namespace(name)
    checked = 0
    for attr, kind in stub_bindings(name).items():
        if kind in ("import", "alias") and hasattr(mod, attr):
            assert namespace[attr] is getattr(mod, attr), f"{name}.{attr}"
            checked += 1
        elif kind == "value" and hasattr(mod, attr):
            assert namespace[attr] == getattr(mod, attr), f"{name}.{attr}"
    assert checked or name == "_runtime_probe"


@pytest.mark.parametrize(("name", "attr", "func"), WITH_STUB_PATHS)
def test_signature_works_and_matches_the_stub(name, attr, func):
    # stubtest skips a function whose signature it cannot get: this one does not.
    signature = inspect.signature(func)
    first, _, method = attr.partition(".")
    stub = stub_namespace(name)[first]
    if method:
        stub = vars(stub)[method]
    stub_parameters = inspect.signature(stub).parameters
    for parameter in signature.parameters.values():
        assert parameter.name in stub_parameters, f"the stub lacks {parameter.name}"
        assert stub_parameters[parameter.name].kind == parameter.kind, parameter.name


# ---------------------------------------------------------------- help, wraps, pickling


def python_twin(func):
    """A Python function with the native function's code object, defaults, annotations and
    docstring: what the running interpreter shows for a Python function of that signature."""
    twin = types.FunctionType(func.__code__, func.__globals__, func.__name__, func.__defaults__)
    twin.__kwdefaults__ = func.__kwdefaults__
    twin.__annotations__ = dict(func.__annotations__)
    twin.__qualname__, twin.__doc__ = func.__qualname__, func.__doc__
    return twin


@pytest.mark.parametrize("func", ALL_FUNCTIONS)
def test_help_renders_every_function(func):
    # The type's own __module__ is a string, which pretty printers (IPython's) read: the
    # module that made it, whose file IPython's `?` shows for a function it cannot place.
    made_by = func.__globals__["__name__"]
    assert f"{type(func).__module__}.{type(func).__qualname__}" == f"{made_by}.native_function"
    assert inspect.getfile(type(func)) == sys.modules[made_by].__file__
    text = pydoc.render_doc(func, renderer=pydoc.plaintext)
    assert f"in module {func.__module__}" in text.splitlines()[0]
    # Below the title line (pydoc calls a native function a method descriptor), the page is
    # the Python twin's: signature (as this interpreter's pydoc writes annotations) and doc.
    twin_text = pydoc.render_doc(python_twin(func), renderer=pydoc.plaintext)
    assert text.splitlines()[1:] == twin_text.splitlines()[1:]
    if func.__doc__:
        assert inspect.cleandoc(func.__doc__).splitlines()[0] in text


def test_help_renders_the_modules():
    pages = {name: pydoc.render_doc(module(name), renderer=pydoc.plaintext) for name in MODULES}
    for name in ("traversal_on_params", "diagnosing_tests", "experiments", "functest"):
        assert name in pages["trialgrid"]
    for name in module("instances").__all__ + module("annotix").__all__:
        assert name in pages["instances"] + pages["annotix"]
    assert "Sweep a package function" in pydoc.render_doc(module("trialgrid").functest)


def test_the_documentation_site_builds_from_the_modules_and_their_stubs(tmp_path):
    """Sphinx, warnings as errors, offline: every function of the four modules on its API
    page, the compiled docstring where there is one, the README's figures from docs/."""
    pytest.importorskip("sphinx")  # not with the oldest releases: it needs a newer requests
    pytest.importorskip("myst_parser")
    for tool in ("numpydoc", "sphinx_gallery", "pydata_sphinx_theme"):  # the "docs" group
        pytest.importorskip(tool)
    build = subprocess.run(
        [sys.executable, "-m", "sphinx", "-W", "--keep-going", "-q", "-b", "html",
         str(REPOSITORY / "docs"), str(tmp_path)],
        capture_output=True, text=True, timeout=600, cwd=tmp_path,
    )  # fmt: skip
    assert build.returncode == 0, build.stderr[-3000:]
    for name in PUBLIC_MODULES:
        page = (tmp_path / "api" / f"{name}.html").read_text()
        for attr, _ in native_functions(name):
            if not attr.split(".")[-1].startswith("__"):
                assert f'id="orvane.basic.{name}.{attr}"' in page, attr
    trialgrid_page = (tmp_path / "api" / "trialgrid.html").read_text()
    assert "Combinations follow" in trialgrid_page  # traversal_on_params' own docstring
    guide = (tmp_path / "guide.html").read_text()
    assert 'src="_images/segs_geometry.png"' in guide
    for page in tmp_path.rglob("*.html"):
        assert not re.search(r'(src|href)="(https?:)?//[^"]*\.(js|css|png)"', page.read_text())


@pytest.mark.parametrize("func", ALL_FUNCTIONS)
def test_functools_wraps_copies_what_a_wrapper_needs(func):
    @functools.wraps(func)
    def wrapper(*args, **kwargs):
        return func(*args, **kwargs)

    assert wrapper.__wrapped__ is func
    for attr in functools.WRAPPER_ASSIGNMENTS:
        assert getattr(wrapper, attr) == getattr(func, attr), attr
    assert inspect.signature(wrapper) == inspect.signature(func)
    assert vars(func).items() <= vars(wrapper).items()  # e.g. orvane_func of the trial runner


def test_a_wrapped_function_gives_the_same_results():
    medical = module("medical")
    calls = []

    @functools.wraps(medical._minimum_dis)
    def logged(*args, **kwargs):
        calls.append(args)
        return medical._minimum_dis(*args, **kwargs)

    a, b = np.zeros((5, 5), bool), np.zeros((5, 5), bool)
    a[0, 0], b[3, 4] = True, True
    assert logged(a, b, sp=[1.0, 1.0]) == medical._minimum_dis(a, b, [1.0, 1.0]) == 5.0
    assert len(calls) == 1 and logged.__name__ == "_minimum_dis"


MODULE_LEVEL = [p for p in ALL_FUNCTIONS if p.id.count(".") == 1]


@pytest.mark.parametrize("func", MODULE_LEVEL)
def test_module_level_functions_pickle_by_reference(func):
    """Named ones by their name; anonymous ones by the module attribute they are bound to
    (a Python lambda would be shipped by value, which a native function cannot be)."""
    assert pickle.loads(pickle.dumps(func)) is func


def test_cloudpickle_and_dask_ship_functions_by_reference():
    cloudpickle = pytest.importorskip("cloudpickle")
    tokenize = pytest.importorskip("dask.base").tokenize
    names = [p.id for p in MODULE_LEVEL]
    functions = [p.values[0] for p in MODULE_LEVEL]
    assert all(cloudpickle.loads(cloudpickle.dumps(f)) is f for f in functions)
    # dask names tasks by these tokens in every process: they must not depend on it.
    child = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(f"""
            import importlib
            from dask.base import tokenize
            for name in {names!r}:
                module, attr = name.split(".")
                print(tokenize(getattr(importlib.import_module("orvane.basic." + module), attr)))
        """)],
        capture_output=True, text=True, check=True,
    )  # fmt: skip
    assert child.stdout.split() == [tokenize(f) for f in functions]


def mask_pairs():
    rng = np.random.default_rng(7)
    rows, cols = np.mgrid[:24, :30]
    disc = np.hypot(rows - 8, cols - 9) <= 6
    ring = (np.hypot(rows - 12, cols - 15) <= 11) & (np.hypot(rows - 12, cols - 15) > 8)
    bar = (rows >= 3) & (rows <= 20) & (cols >= 24) & (cols <= 27)
    balls = [rng.random((9, 10, 11)) < 0.2 for _ in range(2)]
    return [
        (disc, bar, [0.7, 1.1]),
        (bar, disc, [1, 1]),
        (disc, ring, [2.0, 0.5]),
        (disc.astype(np.uint8), bar.astype(np.int64), [1.0, 3.0]),
        (balls[0], balls[1], [1.0, 0.5, 2.5]),
    ]


def test_minimum_dis_runs_in_spawned_worker_processes():
    medical = module("medical")
    xs, ys, spacings = zip(*mask_pairs(), strict=True)
    context = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(max_workers=2, mp_context=context) as pool:
        remote = list(pool.map(medical._minimum_dis, xs, ys, spacings))
    local = [medical._minimum_dis(x, y, sp) for x, y, sp in mask_pairs()]
    assert [type(value) for value in remote] == [np.float64] * len(local)
    assert remote == local and len(set(local)) > 1
