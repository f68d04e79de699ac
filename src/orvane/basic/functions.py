"""Helpers shared by the package functions: tagging, timed runners, short reprs and stores."""

from __future__ import annotations

import contextlib
import fcntl
import os
import pickle
import re
import sys
import tempfile
import time
from collections.abc import Callable, Iterator
from typing import Any

_MAX_EXPR_LEN = 80


class FuncTools:
    """Decorator and runner factories used when defining and exercising package functions."""

    @staticmethod
    def attach_attr(**attrs: Any) -> Callable[[Callable], Callable]:
        """Return a decorator that tags a function in place.

        The keyword ``docstring`` becomes the function's ``__doc__``; every other keyword is set
        as an attribute (e.g. ``orvane_func=True``). The decorated object itself is returned, not
        a wrapper, so identity and introspection are preserved.
        """

        def decorate(func: Callable) -> Callable:
            for name, value in attrs.items():
                if name == "docstring":
                    func.__doc__ = value
                else:
                    setattr(func, name, value)
            return func

        return decorate

    @staticmethod
    def test_for(**kw: Any) -> Callable[[Callable], Callable[[], tuple[Any, float]]]:
        """Return a factory of zero-argument runners that call a function with ``kw``.

        Keywords beginning with ``"~"`` configure the package's machinery and are not passed to
        the function. A runner returns ``(result, seconds)``; exceptions propagate unchanged.
        """
        call_kw = {name: value for name, value in kw.items() if not name.startswith("~")}

        def runner_for(func: Callable) -> Callable[[], tuple[Any, float]]:
            def run() -> tuple[Any, float]:
                start = time.perf_counter()
                result = func(**call_kw)
                return result, time.perf_counter() - start

            return run

        return runner_for


def assert_orvane_raiser(ok: Any, exc: BaseException) -> None:
    """Raise the exception instance ``exc`` when ``ok`` is falsy."""
    if not ok:
        raise exc


def concise_expr(obj: Any) -> str:
    """Describe ``obj`` on one short line, e.g. ``ndarray(shape=(3, 4), dtype=float64)``."""
    # Only consult numpy/pandas if they are already loaded: an object of their types cannot
    # exist otherwise, and this keeps the module cheap to import.
    np = sys.modules.get("numpy")
    if np is not None and isinstance(obj, np.ndarray):
        return f"ndarray(shape={obj.shape}, dtype={obj.dtype})"
    pd = sys.modules.get("pandas")
    if pd is not None:
        if isinstance(obj, pd.DataFrame):
            return f"DataFrame(shape={obj.shape})"
        if isinstance(obj, pd.Series):
            return f"Series(len={len(obj)}, dtype={obj.dtype})"
    text = re.sub(r"\s*\n\s*", " ", repr(obj))
    if len(text) > _MAX_EXPR_LEN:
        text = text[: _MAX_EXPR_LEN - 3] + "..."
    return text


def _load(data: str | os.PathLike | None = None) -> dict:
    """Return the store (a dict of name -> DataFrame) pickled at path ``data``.

    Unpickling can run arbitrary code: only load stores from trusted sources.
    """
    if data is None:
        raise TypeError("_load needs the path of a store file")
    with open(data, "rb") as fh:
        return pickle.load(fh)


def _save(store: dict, path: str | os.PathLike) -> None:
    """Write ``store`` to ``path`` atomically.

    The pickle goes to a temporary file in the target folder (so ``os.replace`` stays on one
    file system) and is synced before it replaces ``path``. On any failure the temporary file
    is removed, an existing store file is left untouched and the exception propagates.
    Readers, and other writers in other processes, see either the old file or the new one,
    never a partly written file; the folder is synced after the rename, so a crash of the
    machine does not lose a store that ``_save`` has returned from.
    """
    path = os.fspath(path)
    folder = os.path.dirname(os.path.abspath(path))
    fd, tmp_path = tempfile.mkstemp(dir=folder, prefix=f".{os.path.basename(path)}.", suffix=".tmp")
    try:
        # mkstemp makes the file private (0600); give the store the mode a plain open() would,
        # or keep the mode of the store it replaces.
        os.fchmod(fd, _mode_for(path))
        with os.fdopen(fd, "wb") as fh:
            pickle.dump(store, fh, protocol=pickle.HIGHEST_PROTOCOL)
            fh.flush()
            os.fsync(fh.fileno())
        os.replace(tmp_path, path)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(tmp_path)
        raise
    _sync_folder(folder)


@contextlib.contextmanager
def _store_lock(path: str | os.PathLike) -> Iterator[None]:
    """Hold an exclusive advisory lock for the store at ``path`` (blocks until it is free).

    ``_save`` alone never leaves a broken file, but a read-modify-write (load the store, add
    a table, save it) by two processes at once would let the later save drop the table of
    the earlier one. Callers that update a store hold this lock around the whole load,
    update and save. The lock is taken on a companion file ``.<name>.lock`` next to the
    store (the store itself is replaced on every save, so it cannot carry the lock); the
    companion stays, empty, after use. The operating system releases the lock when the
    holder exits, also when it crashes.
    """
    path = os.path.abspath(os.fspath(path))
    lock_path = os.path.join(os.path.dirname(path), f".{os.path.basename(path)}.lock")
    fd = os.open(lock_path, os.O_RDWR | os.O_CREAT, 0o666)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        yield
    finally:
        os.close(fd)  # closing the descriptor releases the lock


def _sync_folder(folder: str) -> None:
    # Makes the rename itself durable. Some file systems refuse fsync on a folder; the store
    # is then as durable as they allow.
    try:
        fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    except OSError:
        return
    try:
        with contextlib.suppress(OSError):
            os.fsync(fd)
    finally:
        os.close(fd)


def _mode_for(path: str) -> int:
    try:
        return os.stat(path).st_mode & 0o777
    except FileNotFoundError:
        umask = os.umask(0)
        os.umask(umask)
        return 0o666 & ~umask
