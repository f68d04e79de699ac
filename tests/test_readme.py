"""Every Python block of the README runs as it stands, offline: a block followed by a
text block prints exactly that text, the block checked with mypy gives the console output
shown, and the tour and the figure script run."""

import contextlib
import io
import os
import re
import subprocess
import sys

import local_images
import pytest

from orvane.basic import instances
from orvane.sample_images import bundled

README = local_images.MISC.parent / "README.md"
FENCE = re.compile(r"^```(?P<lang>\w*)\n(?P<body>.*?)^```$", re.DOTALL | re.MULTILINE)


def fenced_blocks():
    """The README and (language, body, line, start, end) of its fenced blocks, in order."""
    text = README.read_text()
    return text, [
        (m["lang"], m["body"], text.count("\n", 0, m.start()) + 2, m.start(), m.end())
        for m in FENCE.finditer(text)
    ]


def python_blocks():
    """Every python block, with what the README shows right after it: ("text", output),
    ("console", session) or (None, None)."""
    text, blocks = fenced_blocks()
    found = []
    for index, (lang, body, line, _, end) in enumerate(blocks):
        if lang != "python":
            continue
        after = blocks[index + 1] if index + 1 < len(blocks) else None
        shown = after if after and not text[end : after[3]].strip() else None
        kind = shown[0] if shown and shown[0] in ("text", "console") else None
        found.append((body, kind, shown[1] if kind else None, f"README.md:{line}"))
    return found


def run_block(source):
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        exec(compile(source, "README example", "exec"), {"__name__": "__main__"})
    return printed.getvalue()


# Runs a block read from standard input in a new interpreter, as a script (its
# `if __name__ == "__main__":` too), where connections to anything but this machine fail
# as on a machine without network; then checks that instances.connect is as it was.
OFFLINE_RUNNER = """
import errno, ipaddress, socket, sys

connect = socket.socket.connect

def loopback_only(sock, address):
    if sock.family in (socket.AF_INET, socket.AF_INET6):
        host = address[0]
        try:
            local = host == "localhost" or ipaddress.ip_address(host).is_loopback
        except ValueError:
            local = False
        if not local:
            raise OSError(errno.ENETUNREACH, f"no network in this test ({host})")
    return connect(sock, address)

socket.socket.connect = loopback_only
exec(compile(sys.stdin.read(), "README example", "exec"), {"__name__": "__main__"})
if "orvane.basic.instances" in sys.modules:
    import requests
    assert sys.modules["orvane.basic.instances"].connect is requests.get, "connect not restored"
"""


def run_offline(source):
    result = subprocess.run(
        [sys.executable, "-c", OFFLINE_RUNNER],
        input=source,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_the_readme_has_an_example_per_module():
    code = "".join(body for body, *_ in python_blocks())
    for name in ("trialgrid", "medical", "annotix", "instances"):
        assert f"orvane.basic import {name}" in code or f"orvane.basic.{name} import" in code
    assert "from orvane.sample_images import bundled" in code
    assert "dask.distributed" in code


@pytest.mark.parametrize(
    ("source", "expected"),
    [
        pytest.param(body, shown, id=where, marks=pytest.mark.printed if kind else ())
        for body, kind, shown, where in python_blocks()
        if kind != "console"
    ],
)
def test_readme_block_runs_offline_and_prints_what_the_readme_shows(source, expected):
    printed = run_offline(source)
    if expected is not None:
        assert printed == expected


def test_the_offline_runner_refuses_the_network():
    with pytest.raises(AssertionError, match="no network in this test"):
        run_offline("import socket\nsocket.create_connection(('192.0.2.1', 443), timeout=5)")


@pytest.mark.printed  # mypy's wording
def test_the_block_checked_by_mypy_gives_the_errors_shown(tmp_path, pytestconfig):
    [(source, session)] = [(b, s) for b, kind, s, _ in python_blocks() if kind == "console"]
    command, *expected = session.splitlines()
    assert command == "$ .venv/bin/python -m mypy check.py"
    (tmp_path / "check.py").write_text(source)
    # mypy's cache of the numpy stubs, kept between runs where pytest keeps a cache
    kept = getattr(pytestconfig, "cache", None)
    cache = kept.mkdir("mypy") if kept is not None else tmp_path / "mypy"
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--cache-dir", str(cache), "check.py"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.stdout.splitlines() == expected
    # Run, it stops where mypy said, with the message the README gives for it.
    with pytest.raises(TypeError) as info:
        run_block(source)
    assert str(info.value) in README.read_text()


def test_figure_script_draws_the_segs_picture(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    import make_figures

    with bundled():
        mask = instances.segs()
    target = tmp_path / "segs.png"
    # It also checks that the segment it draws has the length _minimum_dis gives.
    make_figures.draw(mask, make_figures.regions_of(mask), target)
    assert target.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    printed = capsys.readouterr().out
    assert printed.count("pixels, [") == 7 and "ring, disc:" in printed


def test_tour_runs_offline():
    # A proxy that refuses every connection stands for a machine without network.
    env = {**os.environ, "HTTPS_PROXY": "http://127.0.0.1:9", "HTTP_PROXY": "http://127.0.0.1:9"}
    result = subprocess.run(
        [sys.executable, "tour.py"],
        cwd=local_images.MISC.parent / "examples",
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr
    headings = re.findall(r"^== (\w+):", result.stdout, re.MULTILINE)
    assert sorted(set(headings)) == ["annotix", "instances", "medical", "trialgrid"]
    assert "the images bundled with orvane, served at https://127.0.0.1:" in result.stdout
    assert "7 separate regions" in result.stdout
    assert "_is_cross(disc, bar, 3) = True: the bar does not reach the band" in result.stdout
