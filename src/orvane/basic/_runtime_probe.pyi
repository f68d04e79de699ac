"""Native functions with the parameter shapes and failure modes of the modules, for the
tests of the runtime."""

from typing import Any

import numpy

def mixed(
    x: numpy.ndarray, y: Any, z: int = 3, *args: Any, **kwargs: Any
) -> tuple[Any, Any, int, tuple[Any, ...], dict[str, Any]]:
    """The bound arguments, in parameter order."""

# `__tol` is positional-only to mypy; the function also takes it by keyword.
def checked(data: Any, __tol: int = 1, sp: list[Any] = ...) -> tuple[Any, int, list[Any]]:
    """The bound arguments; `__tol` must be exactly an int and `sp` exactly a list."""

def star_args(*args: Any) -> tuple[tuple[Any, ...]]:
    """The positional arguments, in a one-item tuple."""

def keywords(**params: Any) -> tuple[dict[str, Any]]:
    """The keyword arguments, in a one-item tuple."""

def lookup(name: str) -> Any:
    """The module-level name as a function body reads it: the module, then the built-ins."""

def fail(kind: str) -> None:
    """Raise through the error boundary: "python", "bad_alloc", "runtime", "unknown" or
    "unset"; any other kind returns None."""

def store(self: Any, value: Any = None) -> None:
    """Set `self.value`, like an `__init__`."""

def untouched() -> bool:
    """Whether `answer` and `lookup` are still the objects bound at import."""

def unpack_pair(value: Any) -> tuple[Any, Any]:
    """`a, b = value`, then `(a, b)`."""

answer: str
