"""Threads: the functions called from several threads at once give the results of the
same calls made one at a time, and the compiled modules hold no mutable static data."""

import io
import random
import re
import shutil
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pandas as pd
import PIL.Image
import pytest

from orvane.basic import annotix, instances, medical, trialgrid
from orvane.basic.functions import FuncTools

REPOSITORY = Path(__file__).resolve().parent.parent


def random_pair(seed, shape):
    rng = np.random.default_rng(seed)
    x = rng.random(shape) < 0.5
    y = rng.random(shape) < 0.3
    return x, y


def jpeg(seed):
    stream = io.BytesIO()
    pixels = np.random.default_rng(seed).integers(0, 256, (24, 32), dtype=np.uint8)
    PIL.Image.fromarray(pixels).save(stream, "JPEG")
    return SimpleNamespace(content=stream.getvalue())


RESPONSES = {f"https://example.org/{seed}.jpg": jpeg(seed) for seed in range(3)}


@FuncTools.attach_attr(orvane_func=True)
def scaled(data, factor):
    if factor == 0:
        raise ZeroDivisionError("factor 0")
    return [value / factor for value in data]


def tasks():
    """(label, call) pairs whose results are compared."""
    out = []
    for seed, shape in enumerate([(14, 11), (7, 6, 5), (30, 4)]):
        x, y = random_pair(seed, shape)
        sp = [0.5 + k for k in range(len(shape))]
        out += [
            (f"to_shell {seed}", lambda x=x: medical._to_shell(x, 2)),
            (f"points_pair {seed}", lambda x=x, sp=sp: medical._points_pair(x, sp)),
            (f"minimum_dis {seed}", lambda x=x, y=y, sp=sp: medical._minimum_dis(x, y, sp)),
            (f"is_cross {seed}", lambda x=x, y=y: medical._is_cross(x, y, 1)),
            (f"superposition {seed}", lambda x=x, y=y: medical._superposition(x, y)),
            (f"diff_set {seed}", lambda x=x, y=y: medical._diff_set(x, y)),
            (f"union_set {seed}", lambda x=x, y=y: medical._union_set(x, y)),
            (f"is_mask_pair {seed}", lambda x=x, y=y: medical._is_mask_pair((x, y))),
            (f"apply_spacing {seed}", lambda x=x, sp=sp: medical._apply_spacing(x, sp)),
        ]
    ring = np.ones((12, 12), bool)
    ring[3:9, 3:9] = False
    inner = np.zeros((12, 12), bool)
    inner[5:7, 4:8] = True
    out.append(("is_enclosed", lambda: medical._is_enclosed(inner, ring)))
    pool = {"data": [[1, 2], [3.5]], "factor": [1, 0, 4]}
    out.append(("traversal", lambda: trialgrid.traversal_on_params(data=scaled, params_pool=pool)))
    out.append(
        (
            "diagnosing",
            lambda: trialgrid.diagnosing_tests(
                data=trialgrid.traversal_on_params(data=scaled, params_pool=pool)
            ),
        )
    )
    out.append(("marker", lambda: vars(annotix.T[1:int:True])))
    for d in (1, 2, 3):
        valid = annotix.GauWisTP(np.zeros(d), 1.0, d + 1, np.eye(d))
        invalid = annotix.GauWisTP(np.zeros(d + 1), 1.0, d + 1, np.eye(d))
        out.append((f"is_valid {d}", valid._is_valid))
        out.append((f"is_valid invalid {d}", invalid._is_valid))
    for url in RESPONSES:
        out.append((f"url_img {url}", lambda url=url: instances._url_img(url, (32, 24), "F", True)))
    out.append(("as_boolean", lambda: instances._as_boolean(np.arange(300).reshape(20, 15), 100)))
    return out


def comparable(result):
    """A value that == compares exactly: arrays by dtype, shape and bytes; tables without
    their timing column."""
    if isinstance(result, np.ndarray | np.generic):
        array = np.asarray(result)
        return ("array", array.dtype.str, array.shape, array.tobytes())
    if isinstance(result, pd.DataFrame):
        return ("table", result.drop(columns="cost_time").to_dict("list"))
    if isinstance(result, tuple | list):
        return tuple(comparable(item) for item in result)
    if isinstance(result, dict):
        return {key: comparable(value) for key, value in result.items()}
    return result


def test_concurrent_calls_give_the_sequential_results(monkeypatch):
    monkeypatch.setattr(instances, "connect", RESPONSES.__getitem__)
    # Switch threads as often as the interpreter allows, to interleave the calls finely.
    monkeypatch.setattr(sys, "getswitchinterval", sys.getswitchinterval)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        work = tasks()
        expected = {label: comparable(call()) for label, call in work}
        jobs = work * 6
        random.Random(0).shuffle(jobs)
        with ThreadPoolExecutor(max_workers=8) as pool:
            results = list(pool.map(lambda job: (job[0], comparable(job[1]())), jobs))
    finally:
        sys.setswitchinterval(interval)
    mismatched = [label for label, result in results if result != expected[label]]
    assert not mismatched


# ------------------------------------------------------------------ static data

# What may be writable in the compiled objects: the tables that CPython's API takes as
# non-const pointers (module definitions and slots, the function type's methods, members
# and attributes; CPython writes only the module definition's base, once)
# and the compiler's own references to the C++ personality routine and type information.
ALLOWED_WRITABLE = (
    "orvane_def_",
    "orvane_slots_",
    "orvane::rt::detail::(anonymous namespace)::function_methods",
    "orvane::rt::detail::(anonymous namespace)::function_members",
    "orvane::rt::detail::function_getset",
    "DW.ref.",
)


SYMBOL_LINE = re.compile(r"^[0-9a-f]+ (?P<flags>.{7}) (?P<section>\S+)\t[0-9a-f]+ (?P<name>.*)$")


def writable_symbols(object_file):
    """Data objects in sections that stay writable at run time: .data and .bss, whatever
    their suffix, but not .data.rel.ro (read-only once relocated)."""
    listing = subprocess.run(
        ["objdump", "-t", "-C", "-w", str(object_file)], capture_output=True, text=True, check=True
    ).stdout
    found = []
    for line in listing.splitlines():
        match = SYMBOL_LINE.match(line)
        if not match or match["flags"][6] != "O":
            continue
        section = match["section"]
        if section.startswith((".data", ".bss", ".tdata", ".tbss")) and not section.startswith(
            ".data.rel.ro"
        ):
            found.append(match["name"].removeprefix(".hidden "))
    return found


def object_files():
    return sorted(REPOSITORY.glob("build/*/src/native/**/*.o"))


@pytest.mark.skipif(
    shutil.which("objdump") is None or not object_files(), reason="needs objdump and build/"
)
def test_compiled_modules_hold_no_mutable_static_data():
    """Mutable statics would be shared by every thread and every module instance; the
    modules keep what they need in their module state instead."""
    unexpected = {}
    for object_file in object_files():
        for name in writable_symbols(object_file):
            if not name.startswith(ALLOWED_WRITABLE):
                unexpected.setdefault(object_file.name, []).append(name)
    assert not unexpected
    assert len(object_files()) >= 20  # the whole build was looked at
