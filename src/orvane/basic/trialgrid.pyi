"""Run a package function over every combination of a parameter grid.

A *package function* is a callable tagged with ``orvane_func=True``, for instance by
``FuncTools.attach_attr(orvane_func=True)`` of :mod:`orvane.basic.functions`. A *parameter
pool* maps keyword names to candidate values; its key ``"data"`` holds the data objects.
:func:`traversal_on_params` calls the function once per combination and returns a pandas
table, one row per trial; a trial that raises does not stop the others. Every function
of the module takes keyword arguments only.
"""

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
    """The type of `experiments` and `functest`: a grid traversal filed into a store."""

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
    """Print one report line per row of a table of failed trials; return 0.

    Parameters
    ----------
    x : pandas.DataFrame
        Rows of a table made by :func:`traversal_on_params`, normally those whose
        ``"comment"`` is not 0. Every row is reported, whatever its comment.

    Returns
    -------
    int
        Always 0.

    Raises
    ------
    AttributeError
        `x` has no ``iterrows`` (None, a dict, a list).
    KeyError
        A row without the ``"trial No."``, ``"data"`` or ``"comment"`` column.

    See Also
    --------
    diagnosing_tests : picks the failed rows and reports them with this function.

    Examples
    --------
    >>> import pandas as pd
    >>> from orvane.basic import trialgrid
    >>> failed = pd.DataFrame({"trial No.": [4], "data": ["data_1"], "arg: width": [4],
    ...                        "comment": ["ValueError('too wide')"]})
    >>> trialgrid._prompt_err_case(failed)
    the No.4 case failed on data_1, with arguments of (width=4), due to ValueError('too wide')
    0
    """

def traversal_on_params(
    *,
    data: _AnyCallable[..., Any],
    params_pool: Mapping[str, Iterable[Any]],
    scope_in_builtin: bool = False,
    concise_result: bool = True,
    **params: Any,
) -> DataFrame:
    """Run a package function once for every combination of candidate arguments.

    Combinations follow ``itertools.product`` over the candidate lists in the key order of
    `params_pool`, so the last key varies fastest. A trial that raises an ``Exception``
    does not stop the sweep: the exception's ``repr`` is recorded and the next trial
    starts. After each trial a separator line is printed: forty dashes, ``<i> iteration of
    trials ends`` and forty more dashes, with ``i`` counting from 0.

    Parameters
    ----------
    data : callable
        The package function to run: a callable whose attribute ``orvane_func`` is True.
        It is called with keyword arguments only, ``data=`` one of the data objects and
        one candidate of every other key.
    params_pool : mapping of str to iterable
        Keyword name -> candidate values (lists, tuples, ranges, one-shot iterators). It
        must contain ``"data"``. Keys beginning with ``"~"`` (such as ``"~verbosity"``)
        are options of the machinery, not arguments of the function. Keys must be
        non-empty strings.
    scope_in_builtin : bool, default False
        When false, the ``"~"`` keys of `params_pool` are left out of the grid; when true
        they are passed to the function like the others.
    concise_result : bool, default True
        When true, each result is replaced by its one-line description
        (``concise_expr(result)``, such as ``ndarray(shape=(3, 4), dtype=float64)``),
        which keeps tables small; when false the table holds the result objects.
    **params
        Ignored; accepted so that options meant for the pipelines can be passed along.

    Returns
    -------
    pandas.DataFrame
        One row per trial (an empty candidate list gives no rows), with the columns

        - ``"trial No."``: the trial's number, counting from 1;
        - ``"result"``: the result, or its description; None for a failed trial;
        - ``"cost_time"``: seconds spent in the call (float);
        - ``"comment"``: 0 when the trial passed, else the ``repr`` of its exception;
        - ``"data"``: ``"data_<k>"``, the position of the data object in
          ``params_pool["data"]``;
        - ``"arg: <key>"``: the value used for each other key, in the pool's order.

    Raises
    ------
    TypeError
        `data` is not a package function ("object in entry must be a orvane function"), an
        argument is given by position, a keyword is not a string, the pool has no
        ``"data"`` key, a key is not a string (an int, a tuple), or a candidate list is
        not iterable (5, None).
    AttributeError
        `params_pool` is missing or not a mapping (a list): it has no ``items``.
    IndexError
        An empty key ``""``.

    See Also
    --------
    diagnosing_tests : report the failed rows of the table.
    experiments, functest : run a grid and file the table in a store.

    Notes
    -----
    The calls run one after the other on the caller's thread; the machinery adds a few
    microseconds per trial to the function's own time, which ``"cost_time"`` measures.

    Examples
    --------
    >>> import numpy as np
    >>> from orvane.basic import trialgrid
    >>> from orvane.basic.functions import FuncTools
    >>> @FuncTools.attach_attr(orvane_func=True)
    ... def window_mean(data, width):
    ...     if width > len(data):
    ...         raise ValueError(f"width {width} exceeds {len(data)} samples")
    ...     return np.convolve(data, np.ones(width) / width, mode="valid")
    >>> pool = {"data": [np.arange(6.0), np.arange(3.0)], "width": [2, 4]}
    >>> table = trialgrid.traversal_on_params(data=window_mean, params_pool=pool)
    ----... 0 iteration of trials ends ----...
    ----... 1 iteration of trials ends ----...
    ----... 2 iteration of trials ends ----...
    ----... 3 iteration of trials ends ----...
    >>> print(table[["trial No.", "result", "comment"]].to_string())
       trial No.                              result                                  comment
    0          1  ndarray(shape=(5,), dtype=float64)                                        0
    1          2  ndarray(shape=(3,), dtype=float64)                                        0
    2          3  ndarray(shape=(2,), dtype=float64)                                        0
    3          4                                 NaN  ValueError('width 4 exceeds 3 samples')
    >>> print(table[["data", "arg: width"]].to_string())
         data  arg: width
    0  data_0           2
    1  data_0           4
    2  data_1           2
    3  data_1           4

    The failed trial, explained:

    >>> trialgrid.diagnosing_tests(data=table)
    the No.4 case failed on data_1, with arguments of (width=4), due to ValueError('width 4 ...')
    [True, True, True, False]
    """

_meta: Unit
"""The two-stage pipeline behind `experiments` and `functest`.

Its first stage runs :func:`traversal_on_params`, its second files the table in a store;
``_meta.shadow(**fixed)`` makes a variant with some keywords fixed, as the two public
variants fix ``concise_result``.

Examples
--------
>>> from orvane.basic import trialgrid
>>> trialgrid._meta
Unit(mappings=[F(<lambda> of orvane.basic.trialgrid), F(<lambda> of orvane.basic.trialgrid)])
"""

experiments: _Pipeline
"""Sweep a package function and file the table, with full results, into a store.

``experiments(*, data, params_pool, scope_in_builtin=False, branch_comment="",
to_file=None, **kw)``. The sweep is :func:`traversal_on_params` with the caller's keywords,
keeping every result object as returned (``concise_result`` is False); use `functest` when
one-line descriptions of the results suffice. The table is filed under
``"<branch_comment> <name>"``, ``name`` being the function's ``__name__`` (the name alone
when `branch_comment` is empty); a table already filed under that name is replaced.

Parameters
----------
data : callable
    The package function to run (``orvane_func`` is True).
params_pool : mapping of str to iterable
    Keyword name -> candidate values; must contain ``"data"``. See
    :func:`traversal_on_params`.
scope_in_builtin : bool, default False
    When false, the ``"~"`` keys of `params_pool` are left out of the grid.
branch_comment : str, default ""
    A label put in front of the function's name to name the table, such as the branch or
    the idea being tried.
to_file : str or os.PathLike, optional
    A store file. If it exists, its store is loaded and the table added to it; the store
    is then written back atomically (an interrupted write leaves the old file whole),
    under a lock on the companion file ``.<name>.lock``, so that processes filing into one
    store at once keep each other's tables. Stores are pickles: load only stores you
    trust.
**kw
    Passed on to the sweep.

Returns
-------
dict of str to pandas.DataFrame
    The store: table name -> result table (columns as for :func:`traversal_on_params`).

Raises
------
TypeError
    As for :func:`traversal_on_params`; also a `branch_comment` that is not a string.
FileNotFoundError
    `to_file` in a folder that does not exist, before any trial runs.

See Also
--------
functest, traversal_on_params, diagnosing_tests

Examples
--------
>>> import numpy as np
>>> from orvane.basic import trialgrid
>>> from orvane.basic.functions import FuncTools
>>> @FuncTools.attach_attr(orvane_func=True)
... def scale(data, factor):
...     return data * factor
>>> pool = {"data": [np.ones(3)], "factor": [1, 2]}
>>> store = trialgrid.experiments(data=scale, params_pool=pool, branch_comment="v2")
----... 0 iteration of trials ends ----...
----... 1 iteration of trials ends ----...
>>> list(store), store["v2 scale"]["result"].tolist()
(['v2 scale'], [array([1., 1., 1.]), array([2., 2., 2.])])
"""

functest: _Pipeline
"""Sweep a package function and file the table, with one-line results, into a store.

``functest(*, data, params_pool, scope_in_builtin=False, branch_comment="", to_file=None,
**kw)``. As `experiments`, but each result is replaced by its one-line description
(``concise_result`` is True), which keeps stores small when the point is which trials pass.

Parameters
----------
data : callable
    The package function to run (``orvane_func`` is True).
params_pool : mapping of str to iterable
    Keyword name -> candidate values; must contain ``"data"``.
scope_in_builtin : bool, default False
    When false, the ``"~"`` keys of `params_pool` are left out of the grid.
branch_comment : str, default ""
    A label put in front of the function's name to name the table.
to_file : str or os.PathLike, optional
    A store file, loaded when it exists and written back atomically under a lock, as for
    `experiments`.
**kw
    Passed on to the sweep.

Returns
-------
dict of str to pandas.DataFrame
    The store: table name -> result table.

Raises
------
TypeError
    As for :func:`traversal_on_params`; also a `branch_comment` that is not a string.
FileNotFoundError
    `to_file` in a folder that does not exist: "no folder ... to hold the store file".

See Also
--------
experiments, traversal_on_params, diagnosing_tests

Examples
--------
>>> import os
>>> import tempfile
>>> import numpy as np
>>> from orvane.basic import trialgrid
>>> from orvane.basic.functions import FuncTools
>>> @FuncTools.attach_attr(orvane_func=True)
... def scale(data, factor):
...     return data * factor
>>> folder = tempfile.mkdtemp()
>>> path = os.path.join(folder, "checks.pkl")
>>> store = trialgrid.functest(data=scale, params_pool={"data": [np.ones(3)], "factor": [2]},
...                            to_file=path)
----... 0 iteration of trials ends ----...
>>> store["scale"]["result"].tolist(), os.path.exists(path)
(['ndarray(shape=(3,), dtype=float64)'], True)
"""

def diagnosing_tests(*, data: DataFrame, **params: Any) -> list[bool]:
    """Report the failed trials of a result table: one line each, and the pass flags.

    Parameters
    ----------
    data : pandas.DataFrame
        A table made by :func:`traversal_on_params` (or filed in a store by `experiments`
        or `functest`), with its ``"comment"``, ``"trial No."`` and ``"data"`` columns.
    **params
        ``"~verbosity"`` (bool, default True): when true, print one line per failed trial,
        ``the No.<trial No.> case failed on <data>, with arguments of (<k>=<v>, ...), due
        to <comment>``. The name is not an identifier: pass it as
        ``**{"~verbosity": False}``. Other keywords are ignored.

    Returns
    -------
    list of bool
        One entry per row, True where the trial passed (its ``"comment"`` is 0).

    Raises
    ------
    AttributeError
        `data` is None.
    KeyError
        A table without a ``"comment"`` column (also a dict of lists).
    TypeError
        `data` is a list.

    See Also
    --------
    traversal_on_params : makes the table.

    Examples
    --------
    >>> import pandas as pd
    >>> from orvane.basic import trialgrid
    >>> table = pd.DataFrame({"trial No.": [1, 2], "data": ["data_0", "data_0"],
    ...                       "arg: width": [2, 4], "comment": [0, "ValueError('too wide')"]})
    >>> trialgrid.diagnosing_tests(data=table)
    the No.2 case failed on data_0, with arguments of (width=4), due to ValueError('too wide')
    [True, False]
    >>> trialgrid.diagnosing_tests(data=table, **{"~verbosity": False})
    [True, False]
    """
