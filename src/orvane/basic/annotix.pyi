"""Names for type hints: array and numeric aliases, a falsy `Null`, type lists and maps,
the slice marker `T`, aliases of scipy's frozen distributions and `GauWisTP`."""

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
CUDA_AVAILABLE: bool

class _T:
    """The class of the marker `T`: `T[value:type:escape]` makes a new marker."""

    value: Any
    type: Any
    escape: Any
    def __init__(self) -> None: ...
    def __getitem__(self, slc: slice) -> _T: ...

T: _T

class NullType:
    """A class whose instances are false; `Null` is one of them."""

    def __bool__(*args: object) -> Literal[False]: ...

Null: NullType
Tp = TypeVar("Tp")
Numeric: TypeAlias = Union[int, float]  # noqa: UP007, UP040
builtin_tp: list[type | EllipsisType]
typing_pure_map: dict[Any, Any]
abstract_tp: list[str]

@dataclass
class GauWisTP:
    """A Gaussian-Wishart distribution: a Wishart precision (`nu` degrees of freedom,
    scale `w`) and, given it, a normal mean around `mean` with precision `beta` times
    the precision."""

    mean: np_ndarray
    beta: Numeric
    nu: int
    w: np_ndarray
    def _is_valid(self) -> bool:
        """Whether scipy accepts the parameters (never raises an `Exception`)."""

    def rvs(self, size: int) -> npt.NDArray[numpy.float64]:
        """`size` draws of the mean vector: shape (size, d), or (size,) when d is 1."""

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
