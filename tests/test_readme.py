"""The README's examples print what the README shows; the figure script and the tour run."""

import contextlib
import io
import os
import re
import subprocess
import sys

import local_images
import pytest

from orvane.basic import instances

README = local_images.MISC.parent / "README.md"
# A python block directly followed by a text block: the code and what it printed.
EXAMPLE = re.compile(r"```python\n(.*?)```\n\n```text\n(.*?)```", re.DOTALL)


def examples():
    text = README.read_text()
    found = []
    for match in EXAMPLE.finditer(text):
        line = text.count("\n", 0, match.start()) + 2
        found.append(pytest.param(match[1], match[2], id=f"README.md:{line}"))
    return found


@pytest.fixture
def local_downloads(https_misc, monkeypatch):
    """instances fetches the base location's files from misc/ over loopback HTTPS."""
    root, ca_path = https_misc
    misc_url = local_images.BASE_URL + "misc/"
    fetch = local_images.redirecting_connect(root, misc_url, verify=ca_path, timeout=30)
    monkeypatch.setattr(instances, "connect", fetch)


def test_the_readme_has_an_example_per_module():
    code = "".join(source for source, _ in (param.values for param in examples()))
    for name in ("trialgrid", "medical", "annotix", "instances"):
        assert f"orvane.basic import {name}" in code or f"orvane.basic.{name} import" in code


@pytest.mark.parametrize(("source", "expected"), examples())
@pytest.mark.usefixtures("local_downloads")
def test_readme_example_prints_what_the_readme_shows(source, expected):
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        exec(compile(source, "README example", "exec"), {"__name__": "readme_example"})
    assert printed.getvalue() == expected


@pytest.mark.usefixtures("local_downloads")
def test_figure_script_draws_the_segs_picture(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    import make_figures

    mask = instances.segs()
    target = tmp_path / "segs.png"
    # It also checks that the segment it draws has the length _minimum_dis gives.
    make_figures.draw(mask, make_figures.regions_of(mask), target)
    assert target.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    printed = capsys.readouterr().out
    assert printed.count("pixels, [") == 7 and "ring, disc:" in printed


def test_tour_runs_offline():
    # A proxy that refuses every connection stands for a machine without network.
    env = {**os.environ, "HTTPS_PROXY": "http://127.0.0.1:9", "NO_PROXY": "127.0.0.1"}
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
    assert "cannot be reached: images served from misc/" in result.stdout
    assert "7 separate regions" in result.stdout
