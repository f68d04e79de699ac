"""Bad input, function by function (the cases and the table maker are in bad_input.py):
the table in docs/BAD_INPUT.md is what the functions do, nothing crashes or hangs, and no
argument is modified."""

import re
import subprocess
import sys
from pathlib import Path

import bad_input
import numpy as np
import pytest

TABLE = Path(__file__).resolve().parent.parent / "docs" / "BAD_INPUT.md"
ROW = re.compile(r"^\| `(?P<function>[^`]+)` \| (?P<input>.+?) \| (?P<outcome>.+) \|$")


@pytest.fixture(scope="module")
def generated():
    """The table as the functions make it now, made in a child process: a crash there
    ends only the child, and the last case it named is the one that crashed."""
    result = subprocess.run(
        [sys.executable, bad_input.__file__], capture_output=True, text=True, timeout=300
    )
    last_case = result.stderr.strip().splitlines()[-1:] or ["(none)"]
    assert result.returncode == 0, f"the child died in {last_case[0]}:\n{result.stderr[-2000:]}"
    return result.stdout


@pytest.mark.printed  # the table quotes numpy's and scipy's messages and reprs
def test_the_documented_table_is_what_the_functions_do(generated):
    assert generated == TABLE.read_text(), (
        "run `.venv/bin/python tests/bad_input.py > docs/BAD_INPUT.md` and review the change"
    )


def test_every_case_raises_an_exception_or_returns_and_modifies_nothing(generated):
    rows = [ROW.match(line) for line in generated.splitlines() if line.startswith("| `")]
    assert len(rows) == len(bad_input.CASES) and all(rows)
    for row in rows:
        assert re.match(r"returns |`\w+`: ", row["outcome"]), row.group(0)
        assert "modifies an argument" not in row["outcome"], row.group(0)


def test_every_function_of_the_four_modules_has_bad_input_cases():
    covered = {function for function, *_ in bad_input.CASES}
    assert covered >= {
        "_to_shell", "_points_pair", "_minimum_dis", "_is_cross", "_superposition", "_diff_set",
        "_union_set", "_is_enclosed", "_itk_img", "_is_mask_pair", "_apply_spacing",
        "traversal_on_params", "diagnosing_tests", "_prompt_err_case", "pipeline stage 2",
        "functest", "T[...]", "GauWisTP._is_valid", "GauWisTP.rvs", "NullType.__bool__",
        "_url_img", "_as_boolean", "cat",
    }  # fmt: skip


@pytest.mark.parametrize(
    ("change", "argument"),
    [
        (lambda a: a.__setitem__(0, 1), np.zeros(3)),
        (lambda a: a.setflags(write=False), np.zeros(3)),
        (lambda a: a.append(1), [np.zeros(2)]),
        (lambda a: a[0].__setitem__(1, 5.0), [np.zeros(2)]),
        (lambda a: a.update(k=1), {"data": [1]}),
    ],
)
def test_a_modified_argument_is_noticed(change, argument):
    """The check behind the table's promise is able to see a change."""
    assert bad_input.run(change, (argument,), {})[1] is True
    assert bad_input.run(lambda a: None, (argument,), {})[1] is False
