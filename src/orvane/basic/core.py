"""Two-stage pipelines: a stage builds a result table, the next files it into a store."""

from __future__ import annotations

import errno
import inspect
import os
import sys
from collections.abc import Callable, Sequence
from typing import Any

from . import functions


class F:
    """A pipeline stage: a callable taking keyword arguments only."""

    def __init__(self, func: Callable[..., Any]) -> None:
        if not callable(func):
            raise TypeError(f"a stage must wrap a callable, got {type(func).__name__}")
        self.func = func

    def __call__(self, **kw: Any) -> Any:
        return self.func(**kw)

    def __repr__(self) -> str:
        return f"F({_name_of(self.func)})"


class Unit:
    """A two-stage pipeline; ``shadow`` derives callable variants with some keywords fixed."""

    def __init__(self, mappings: Sequence[F]) -> None:
        stages = list(mappings)
        if len(stages) != 2 or not all(isinstance(stage, F) for stage in stages):
            raise ValueError(
                "Unit needs mappings=[first_stage, second_stage], two stages made with F(...); "
                f"got {stages!r}"
            )
        self.first, self.second = stages

    def shadow(self, **fixed: Any) -> Variant:
        """Return a variant of this pipeline whose first stage always receives ``fixed``."""
        return Variant(self, fixed)

    def __repr__(self) -> str:
        return f"Unit(mappings=[{self.first!r}, {self.second!r}])"


# The keywords that a variant reads: those of the grid traversal that its first stage runs,
# then those of the filing that its second stage does. Keywords fixed by `shadow` are not
# the caller's to give; any other keyword goes on to the stages.
_KEYWORDS = [
    inspect.Parameter(name, inspect.Parameter.KEYWORD_ONLY, default=default)
    for name, default in [
        ("data", inspect.Parameter.empty),
        ("params_pool", inspect.Parameter.empty),
        ("scope_in_builtin", False),
        ("concise_result", True),
        ("branch_comment", ""),
        ("to_file", None),
    ]
]


class Variant:
    """A pipeline with fixed keywords for its first stage; call it with keywords only.

    The first stage gets the caller's keywords overridden by the fixed ones; the second stage
    gets the caller's keywords plus ``data`` = the first stage's result and returns the store.
    When the caller passes ``to_file``, the store is also written there atomically. The second
    stage reads the store from ``to_file`` and the variant writes it back: that read, update
    and write run under the store's lock, so that two processes filing tables into one store
    at the same time both keep their tables (the first stage, the long grid, runs unlocked).

    Like a function, a variant has a ``__module__`` (that of its stages), a ``__name__`` and
    ``__qualname__`` (the module attribute bound to it), a signature, and pickles by
    reference to that attribute.
    """

    def __init__(self, unit: Unit, fixed: dict[str, Any]) -> None:
        self.unit = unit
        self.fixed = dict(fixed)
        self.__module__ = getattr(unit.first.func, "__module__", None) or __name__

    def __getattr__(self, name: str) -> Any:
        # Only reached for what the instance and its class lack; an assigned __name__ or
        # __qualname__ is an instance attribute and is found before this.
        if name in ("__name__", "__qualname__"):
            bound = self._bound_name()
            if bound is not None:
                return bound
            raise AttributeError(f"{self!r} is not bound to a name in {self.__module__}")
        if name == "__signature__":
            keywords = [p for p in _KEYWORDS if p.name not in self.fixed]
            rest = inspect.Parameter("kw", inspect.Parameter.VAR_KEYWORD)
            return inspect.Signature([*keywords, rest])
        raise AttributeError(f"{type(self).__name__!r} object has no attribute {name!r}")

    def _bound_name(self) -> str | None:
        """The name under which the variant's module binds it, if any."""
        module = sys.modules.get(self.__module__)
        for name, value in vars(module).items() if module is not None else ():
            if value is self:
                return name
        return None

    def __reduce__(self) -> str | tuple[Any, ...]:
        # By reference, as pickle saves a function: the module attribute bound to it.
        bound = self._bound_name()
        return bound if bound is not None else (Variant, (self.unit, self.fixed))

    def __call__(self, /, *args: Any, **kw: Any) -> Any:
        if args:
            raise TypeError(
                f"{self!r} takes keyword arguments only (name=value), "
                f"got {len(args)} positional argument{'s' if len(args) > 1 else ''}"
            )
        if kw.get("to_file") is not None:
            _check_folder_of(kw["to_file"])  # before the first stage, which may run long
        table_etc = self.unit.first(**{**kw, **self.fixed})
        to_file = kw.get("to_file")
        if to_file is None:
            return self.unit.second(**{**kw, "data": table_etc})
        with functions._store_lock(to_file):
            store = self.unit.second(**{**kw, "data": table_etc})
            functions._save(store, to_file)
        return store

    def __repr__(self) -> str:
        fixed = ", ".join(f"{name}={value!r}" for name, value in self.fixed.items())
        first, second = self.unit.first.func, self.unit.second.func
        module = getattr(first, "__module__", None)
        if _name_of(first) == _name_of(second) == f"<lambda> of {module}":
            return f"<pipeline of {module} with ({fixed})>"
        return f"<Variant of {_name_of(first)} -> {_name_of(second)} with ({fixed})>"


def _name_of(func: Callable[..., Any]) -> str:
    name = getattr(func, "__name__", None)
    if not name:
        return repr(func)
    module = getattr(func, "__module__", None)
    # A lambda says nothing by its name alone: say where it was made.
    return f"{name} of {module}" if name == "<lambda>" and module else name


def _check_folder_of(path: str | os.PathLike[str]) -> None:
    """Raise FileNotFoundError naming `path` when the folder that would hold it is missing."""
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise FileNotFoundError(
            errno.ENOENT, f"no folder {folder!r} to hold the store file", os.fspath(path)
        )
