"""Run a package function over every combination of a parameter grid."""

import os as os
from collections.abc import Callable as _AnyCallable
from collections.abc import Iterable, Mapping
from itertools import product as product
from typing import TYPE_CHECKING, Any, Protocol
from typing import Callable as Callable  # noqa: UP035

import pandas
from pandas import DataFrame as DataFrame

import orvane.basic.core
import orvane.basic.functions
import orvane.docfunc
from orvane.basic.core import F as F
from orvane.basic.core import Unit as Unit
from orvane.basic.functions import FuncTools as FuncTools
from orvane.basic.functions import _load as _load
from orvane.basic.functions import assert_orvane_raiser as assert_orvane_raiser
from orvane.basic.functions import concise_expr as concise_expr

doc = orvane.docfunc
pd = pandas
funcs = orvane.basic.functions
core = orvane.basic.core

# typing has type_check_only for type checkers only; documentation tools that run the stub
# as Python (Sphinx, pdoc) get a decorator that leaves the class as it is.
if TYPE_CHECKING:
    from typing import type_check_only
else:
    def type_check_only(cls):
        return cls

@type_check_only
class _Pipeline(Protocol):
    """`experiments` and `functest`: a grid traversal filed into a store of tables."""

    def __call__(
        self,
        *,
        data: _AnyCallable[..., Any],
        params_pool: Mapping[str, Iterable[Any]],
        scope_in_builtin: bool = ...,
        branch_comment: str = ...,
        to_file: str | os.PathLike[str] | None = ...,
        **kw: Any,
    ) -> dict[str, DataFrame]: ...

def _prompt_err_case(x: DataFrame) -> int:
    """Print one report line per row of a table of failed trials; return 0."""

def traversal_on_params(
    *,
    data: _AnyCallable[..., Any],
    params_pool: Mapping[str, Iterable[Any]],
    scope_in_builtin: bool = False,
    concise_result: bool = True,
    **params: Any,
) -> DataFrame:
    """Run `data` once per combination of `params_pool`; one table row per trial."""

_meta: Unit
experiments: _Pipeline
functest: _Pipeline

def diagnosing_tests(*, data: DataFrame, **params: Any) -> list[bool]:
    """Print one line per failed trial (unless "~verbosity" is false); the pass flags."""
