"""Names for type hints: array and numeric aliases, a falsy `Null`, type lists and maps,
the slice marker `T`, aliases of scipy's frozen distributions and `GauWisTP`.

The distribution aliases (`GauTP`, `PoiTP`, `MGauTP`, `WisTP`, ...) are scipy's own classes
of frozen distributions, several names sharing one class, so ``isinstance(d, GauTP)`` is
true for any frozen continuous univariate distribution of scipy. Everything is bound once,
at import; only `builtin_tp` is a list that callers may change.
"""

# Documentation tools (Sphinx, pdoc) run the stub as Python: annotations such as `-> _T`
# inside class _T must not be evaluated there.
from __future__ import annotations

from dataclasses import dataclass as dataclass
from types import EllipsisType
from types import NoneType as NoneType
from typing import Any as Any
from typing import ByteString as ByteString  # noqa: UP035
from typing import Callable as Callable  # noqa: UP035
from typing import Dict as Dict  # noqa: UP035
from typing import FrozenSet as FrozenSet  # noqa: UP035
from typing import Generator as Generator  # noqa: UP035
from typing import Iterable as Iterable  # noqa: UP035
from typing import Iterator as Iterator  # noqa: UP035
from typing import List as List  # noqa: UP035
from typing import Literal, TypeAlias
from typing import Mapping as Mapping  # noqa: UP035
from typing import NoReturn as NoReturn
from typing import Sequence as Sequence  # noqa: UP035
from typing import Set as Set  # noqa: UP035
from typing import Tuple as Tuple  # noqa: UP035
from typing import Type as Type  # noqa: UP035
from typing import TypeVar as TypeVar
from typing import Union as Union

import numpy
import numpy.typing as npt
import scipy.stats
from numpy import ndarray as np_ndarray
from pandas import DataFrame as DataFrame
from scipy.stats import _distn_infrastructure, _multivariate

np = numpy
st = scipy.stats

# numpy's ndarray, or cupy's when cupy could be imported (then CUDA_AVAILABLE is True).
cp_ndarray: type
"""cupy's ``ndarray`` when cupy can be imported, else ``numpy.ndarray`` itself.

Examples
--------
>>> import numpy as np
>>> from orvane.basic import annotix
>>> annotix.cp_ndarray is (np.ndarray if not annotix.CUDA_AVAILABLE else annotix.cp_ndarray)
True
"""

CUDA_AVAILABLE: bool
"""True when cupy could be imported at import time (only an ``ImportError`` is caught).

Examples
--------
>>> from orvane.basic import annotix
>>> type(annotix.CUDA_AVAILABLE)
<class 'bool'>
"""

class _T:
    """The class of the marker `T`: ``T[value:type:escape]`` makes a new marker.

    A marker carries three items, ``value``, ``type`` and ``escape``, so that one short
    expression in an annotation can hold a value, a type and a flag together. A new marker
    holds None, None and False; subscripting with a slice gives a new marker holding the
    slice's start, stop and step (an omitted part is None, so ``T[1:int]`` has ``escape``
    None). Markers compare and hash by identity; the marker subscripted is not changed.

    Attributes
    ----------
    value : object
        The slice's start (None in a new marker).
    type : object
        The slice's stop (None in a new marker).
    escape : object
        The slice's step (False in a new marker).

    Raises
    ------
    AttributeError
        Subscripting with anything that has no ``start``, ``stop`` and ``step``: an int, a
        string, None, or several subscripts (``T[1:2, 3]``).
    TypeError
        ``_T()`` with an argument.

    See Also
    --------
    T : the marker the module exports.

    Examples
    --------
    >>> from orvane.basic.annotix import T, _T
    >>> marker = T[0:int:True]
    >>> marker.value, marker.type, marker.escape
    (0, <class 'int'>, True)
    >>> fresh = _T()
    >>> fresh.value, fresh.type, fresh.escape, fresh is T
    (None, None, False, False)
    >>> T[5]
    Traceback (most recent call last):
    ...
    AttributeError: 'int' object has no attribute 'start'
    """

    value: Any
    type: Any
    escape: Any
    def __init__(self) -> None: ...
    def __getitem__(self, slc: slice) -> _T: ...

T: _T
"""The exported marker: ``T[value:type:escape]`` makes a new marker of class `_T`.

Examples
--------
>>> from orvane.basic.annotix import T
>>> T.value, T.type, T.escape
(None, None, False)
>>> T[:str].type
<class 'str'>
"""

class NullType:
    """A class whose instances are false; `Null` is one of them.

    Its ``__bool__`` takes any positional arguments and returns False; a keyword argument
    raises ``TypeError``. Instances compare and hash by identity, and none is None.

    See Also
    --------
    Null : the sentinel of this class.

    Examples
    --------
    >>> from orvane.basic.annotix import Null, NullType
    >>> bool(NullType()), isinstance(Null, NullType)
    (False, True)
    >>> NullType.__bool__(1, 2, 3)
    False
    """

    def __bool__(*args: object) -> Literal[False]: ...

Null: NullType
"""A falsy sentinel that is not None: "no value" where None is a valid value.

Examples
--------
>>> from orvane.basic.annotix import Null
>>> bool(Null), Null is None, Null == None
(False, False, False)
"""

Tp = TypeVar("Tp")
Numeric: TypeAlias = Union[int, float]  # noqa: UP007, UP040
builtin_tp: list[type | EllipsisType]
"""The plain run-time types, in this order: ``NoneType``, `NullType`, the ``Ellipsis`` object
itself, ``bool``, ``str``, ``bytes``, ``int``, ``float``, ``complex``, ``type``, ``set``,
``frozenset``, ``tuple``, ``list``, ``dict``, ``object``, ``numpy.ndarray``,
``pandas.DataFrame``, ``Exception``, and cupy's ``ndarray`` when `CUDA_AVAILABLE`.

An ordinary list: callers may change it.

Examples
--------
>>> from orvane.basic.annotix import builtin_tp
>>> len(builtin_tp), builtin_tp[2] is Ellipsis, builtin_tp[-1]
(19, True, <class 'Exception'>)
"""

typing_pure_map: dict[Any, Any]
"""The ``typing`` aliases -> the plain types they stand for (15 entries).

``ByteString``, ``Type``, ``Set``, ``FrozenSet``, ``Tuple``, ``List``, ``Dict`` map to
``bytes``, ``type``, ``set``, ``frozenset``, ``tuple``, ``list``, ``dict``; ``Any`` to
``object``; ``NoReturn`` to ``NoneType``; ``Callable``, ``Generator``, ``Sequence``,
``Iterable``, ``Iterator`` to themselves, and ``Mapping`` to ``Callable``.

Examples
--------
>>> import typing
>>> from orvane.basic.annotix import typing_pure_map
>>> typing_pure_map[typing.List], typing_pure_map[typing.Any], len(typing_pure_map)
(<class 'list'>, <class 'object'>, 15)
"""

abstract_tp: list[str]
"""The names of the abstract ``typing`` aliases, as strings.

Examples
--------
>>> from orvane.basic.annotix import abstract_tp
>>> abstract_tp
['Sequence', 'Iterable', 'Iterator', 'Generator', 'Callable', 'Mapping']
"""

@dataclass
class GauWisTP:
    """A Gaussian-Wishart distribution: a Wishart precision (`nu` degrees of freedom,
    scale `w`) and, given it, a normal mean around `mean` with precision `beta` times
    the precision.

    A dataclass: the four fields are stored as given, without checks (`_is_valid` tells
    whether scipy accepts them); instances compare field by field and are not hashable.

    Parameters
    ----------
    mean : numpy.ndarray, shape (d,)
        The centre of the mean vector's normal distribution.
    beta : int or float
        The scale of the precision: given the precision matrix Λ, the mean has covariance
        ``pinv(beta * Λ)``. Must be positive.
    nu : int
        The Wishart distribution's degrees of freedom, at least d.
    w : numpy.ndarray, shape (d, d)
        The Wishart distribution's scale matrix, symmetric positive definite.

    See Also
    --------
    scipy.stats.wishart, scipy.stats.multivariate_normal : the distributions drawn from.

    Examples
    --------
    >>> import numpy as np
    >>> from orvane.basic.annotix import GauWisTP
    >>> dist = GauWisTP(mean=np.zeros(2), beta=1.0, nu=3, w=np.eye(2))
    >>> dist._is_valid()
    True
    >>> np.random.seed(0)
    >>> dist.rvs(3).round(3)
    array([[-0.671,  0.601],
           [-0.639,  0.26 ],
           [ 0.013,  1.226]])
    """

    mean: np_ndarray
    beta: Numeric
    nu: int
    w: np_ndarray
    def _is_valid(self) -> bool:
        """Whether scipy accepts the parameters (never raises an `Exception`).

        It builds ``scipy.stats.wishart(nu, w)`` and the normal distribution of the mean at
        the Wishart's mean precision; any ``Exception`` on the way gives False. No random
        number is drawn.

        Returns
        -------
        bool
            True when both distributions can be built.

        See Also
        --------
        rvs : draws, which raise where this gives False.

        Examples
        --------
        >>> import numpy as np
        >>> from orvane.basic.annotix import GauWisTP
        >>> GauWisTP(np.zeros(2), 1.0, 3, np.eye(2))._is_valid()
        True
        >>> GauWisTP(np.zeros(2), -1, 3, np.eye(2))._is_valid()
        False
        >>> GauWisTP(np.zeros(3), 1.0, 3, np.eye(2))._is_valid()
        False
        """

    def rvs(self, size: int) -> npt.NDArray[numpy.float64]:
        """`size` draws of the mean vector: shape (size, d), or (size,) when d is 1.

        Parameters
        ----------
        size : int
            The number of draws; 0 or a negative number gives an empty array.

        Returns
        -------
        numpy.ndarray of float64, shape (size, d), or (size,) when d is 1
            The mean vectors; the precision matrices drawn on the way are not returned.

        Raises
        ------
        TypeError
            `size` not an integer (None, 2.5, "2"); parameters scipy cannot multiply
            (None).
        ValueError
            From scipy, for parameters it refuses: a `w` holding NaN ("array must not
            contain infs or NaNs"), a negative `beta` ("The input matrix must be symmetric
            positive semidefinite."). The Wishart distribution is built first, so even
            ``rvs(0)`` raises for a `w` or `nu` it refuses.
        numpy.linalg.LinAlgError
            An infinite `beta` ("SVD did not converge").

        See Also
        --------
        _is_valid : whether the parameters are accepted.

        Notes
        -----
        The draws come from numpy's global random state, one at a time: all `size`
        Wishart precisions first, then one mean per precision; seeding numpy
        (``numpy.random.seed``) repeats them. Each draw builds a scipy distribution: about
        0.5 ms per draw for d = 3 here, linear in `size`.

        Examples
        --------
        >>> import numpy as np
        >>> from orvane.basic.annotix import GauWisTP
        >>> np.random.seed(1)
        >>> GauWisTP(np.zeros(1), 2.0, 3, np.eye(1)).rvs(4).shape
        (4,)
        >>> GauWisTP(np.zeros(2), 1.0, 3, np.eye(2)).rvs(0).shape
        (0,)
        """

_bin_hook = _distn_infrastructure
_multi_hook = _multivariate
BernBinTP = _distn_infrastructure.rv_discrete_frozen
PoiTP = _distn_infrastructure.rv_discrete_frozen
NbinTP = _distn_infrastructure.rv_discrete_frozen
CatMultTP = _multivariate.multinomial_frozen
BetaTP = _distn_infrastructure.rv_continuous_frozen
GamTP = _distn_infrastructure.rv_continuous_frozen
GauTP = _distn_infrastructure.rv_continuous_frozen
ExpTP = _distn_infrastructure.rv_continuous_frozen
ErlTP = _distn_infrastructure.rv_continuous_frozen
DirTP = _multivariate.dirichlet_frozen
DirMultTP = _multivariate.dirichlet_multinomial_frozen
MGauTP = _multivariate.multivariate_normal_frozen
WisTP = _multivariate.wishart_frozen
StuTP = _multivariate.multivariate_t_frozen

__all__ = [
    "T",
    "Tp",
    "Null",
    "NullType",
    "NoneType",
    "Numeric",
    "builtin_tp",
    "typing_pure_map",
    "abstract_tp",
    "np_ndarray",
    "BernBinTP",
    "CatMultTP",
    "BetaTP",
    "DirTP",
    "DirMultTP",
    "PoiTP",
    "NbinTP",
    "GamTP",
    "ExpTP",
    "ErlTP",
    "GauTP",
    "MGauTP",
    "WisTP",
    "StuTP",
    "GauWisTP",
]
