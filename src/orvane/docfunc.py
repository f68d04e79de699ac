"""User documentation of the sweep functions, attached to them with :func:`redoc`."""


def redoc[T](obj: T, text: str) -> T:
    """Set ``obj.__doc__`` to ``text`` and return ``obj``."""
    obj.__doc__ = text
    return obj


traversal_on_params = """Run a package function once for every combination of candidate arguments.

Combinations follow ``itertools.product`` over the candidate lists in the key order of
``params_pool``, so the last key varies fastest. A trial that raises an ``Exception`` does not
stop the sweep: the exception's ``repr`` is recorded and the next trial starts. After each
trial a separator line is printed: forty dashes, ``<i> iteration of trials ends`` and forty
more dashes, with ``i`` counting from 0.

Parameters
----------
data : callable
    The package function to exercise: a callable whose attribute ``orvane_func`` is True.
    Anything else raises ``TypeError("object in entry must be a orvane function")``.
params_pool : mapping of str to iterable
    Keyword name -> candidate values. It must contain ``"data"``, whose candidates are the
    data objects passed to the function. Keys beginning with ``"~"`` (such as
    ``"~verbosity"``) are options of the package's machinery, not of the function.
scope_in_builtin : bool, default False
    When false, the ``"~"`` keys of ``params_pool`` are left out of the grid.
concise_result : bool, default True
    When true, each successful result is replaced by ``concise_expr(result)``, a one-line
    description such as ``ndarray(shape=(3, 4), dtype=float64)``, which keeps tables small.

Returns
-------
pandas.DataFrame
    One row per trial, with the columns

    - ``"trial No."``: trial number, counting from 1;
    - ``"result"``: the function's result, or its description when ``concise_result``;
    - ``"cost_time"``: seconds spent in the call;
    - ``"comment"``: 0 when the trial passed, otherwise the ``repr`` of the exception;
    - ``"data"``: label ``"data_<position>"`` of the data object in ``params_pool["data"]``;
    - ``"arg: <key>"``: the value used for each other key of the grid.

See Also
--------
diagnosing_tests : explain the failed rows of the table.
experiments, functest : sweep and file the table into a store.

Examples
--------
Tag a function as a package function, then sweep two arrays and two factors:

>>> import numpy as np
>>> from orvane.basic.functions import FuncTools
>>> @FuncTools.attach_attr(orvane_func=True)
... def scale(data, factor):
...     return data * factor
>>> pool = {"data": [np.ones(3), np.arange(4)], "factor": [1, 2]}
>>> table = traversal_on_params(data=scale, params_pool=pool)  # doctest: +SKIP
>>> len(table), table["arg: factor"].tolist()  # doctest: +SKIP
(4, [1, 2, 1, 2])
"""

diagnosing_tests = """Report the failed trials of a result table.

Parameters
----------
data : pandas.DataFrame
    A table made by ``traversal_on_params`` (or filed in a store by ``experiments`` or
    ``functest``).
~verbosity : bool, default True
    When true, print one line per failed trial::

        the No.<trial No.> case failed on <data>, with arguments of (<k>=<v>, ...), due to <comment>

    The name is not an identifier, so pass it as ``**{"~verbosity": False}``.

Returns
-------
list of bool
    One entry per row, True where the trial passed (its ``"comment"`` is 0).

Examples
--------
>>> passed = diagnosing_tests(data=table, **{"~verbosity": False})  # doctest: +SKIP
>>> table[[not ok for ok in passed]]  # doctest: +SKIP
"""

_FILING = """
Parameters
----------
data : callable
    The package function to exercise (``orvane_func`` is True).
params_pool : mapping of str to iterable
    Keyword name -> candidate values; must contain ``"data"``. See ``traversal_on_params``.
scope_in_builtin : bool, default False
    When false, the ``"~"`` keys of ``params_pool`` are left out of the grid.
branch_comment : str, optional
    Label put in front of the function's name to form the table's name in the store, e.g.
    the branch or idea being tried. When empty or missing the name is the function's
    ``__name__`` alone; a table already filed under that name is replaced.
to_file : str or os.PathLike, optional
    Path of a store file. If it exists, its store is loaded and the table added to it; the
    store is then written to this path atomically, so an interrupted or failed write leaves
    the previous file intact. Loading, adding and writing back happen under a lock on the
    companion file ``.<name>.lock``, so processes filing into one store at the same time
    keep each other's tables. A folder that does not exist raises ``FileNotFoundError``
    before any trial runs. Stores are pickles: only load files you trust.

Returns
-------
dict of str to pandas.DataFrame
    The store: table name -> result table (see ``traversal_on_params`` for the columns).

See Also
--------
traversal_on_params, diagnosing_tests
"""

experiments = (
    """Sweep a package function and file the table, with full results, into a store.

The sweep is ``traversal_on_params`` run with the caller's keywords, keeping every result
object as returned (``concise_result`` is always False here); use ``functest`` when short
descriptions of the results suffice. The table is stored under ``"<branch_comment> <name>"``,
``name`` being the function's ``__name__``.
"""
    + _FILING
    + """
Examples
--------
>>> store = experiments(data=scale, params_pool=pool, branch_comment="v2")  # doctest: +SKIP
>>> store["v2 scale"]["result"][0]  # doctest: +SKIP
array([1., 1., 1.])
"""
)

functest = (
    """Sweep a package function and file the table, with shortened results, into a store.

The sweep is ``traversal_on_params`` run with the caller's keywords, each result being
replaced by its one-line ``concise_expr`` description (``concise_result`` is always True
here), which keeps stores small when the point is which trials pass. The table is stored
under ``"<branch_comment> <name>"``, ``name`` being the function's ``__name__``.
"""
    + _FILING
    + """
Examples
--------
>>> store = functest(data=scale, params_pool=pool, to_file="checks.pkl")  # doctest: +SKIP
>>> store["scale"]["result"][0]  # doctest: +SKIP
'ndarray(shape=(3,), dtype=float64)'
"""
)
