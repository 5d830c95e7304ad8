"""Worker threads of the compiled index, per call, per thread or per process.

The index's work runs on one process-wide pool of T workers (T from
`RAYON_NUM_THREADS` / `RAYON_RS_NUM_CPUS`, read once). A call may use fewer:

- `thread_limit(n)` limits the calls the current thread makes inside the
  `with` block (`PlovikSearch(threads=...)` and the `threads=` of its
  methods use it);
- threadpoolctl's `threadpool_limits(n)` limits every call of the process
  while it is in force, when threadpoolctl is installed (scikit-learn
  brings it): importing plovik registers a controller for the pool with it,
  which costs about a millisecond.

Answers never depend on the number of workers; only the time does. Calls
answered by the NumPy reference backend run on the calling thread alone.
"""

from __future__ import annotations

import operator
import warnings
from collections.abc import Iterator
from contextlib import contextmanager
from typing import SupportsIndex, cast

import numpy as np

from plovik import _native

__all__ = ["register_threadpoolctl", "thread_count", "thread_limit"]


def thread_count() -> int:
    """The workers a call made now from this thread would use."""
    return _native._thread_count()


def checked_threads(threads: object) -> int | None:
    """`threads` as every entry point takes it (`PlovikSearch(threads=...)`,
    the `threads=` of its methods, a saved search's settings, `thread_limit`):
    None, or an integer of at least 1, a count above the pool's cap of
    1024 workers taken as 1024 (the pool never runs more). TypeError for
    other types, ValueError below 1."""
    if threads is None:
        return None
    return _thread_count_of(threads)


def _thread_count_of(threads: object) -> int:
    """`checked_threads` of anything but None."""
    if isinstance(threads, (bool, np.bool_)):
        raise TypeError("threads must be an integer or None, got a bool")
    try:
        # operator.index itself refuses what has no __index__
        count = operator.index(cast("SupportsIndex", threads))
    except TypeError:
        raise TypeError(f"threads must be an integer or None, got {type(threads).__name__}") from None
    if count < 1:
        raise ValueError(f"threads must be at least 1, got {count}")
    return min(count, _native.MAX_THREADS)


@contextmanager
def thread_limit(threads: int | None) -> Iterator[None]:
    """Calls made by this thread inside the block use at most `threads`
    workers, the thread itself included (None: no change). Blocks nest, the
    innermost limit applying; other threads are not affected."""
    if threads is None:
        yield
        return
    previous = _native._set_thread_limit(_thread_count_of(threads))
    try:
        yield
    finally:
        _native._set_thread_limit(previous)


_registered = False


def register_threadpoolctl() -> bool:
    """Let threadpoolctl see and limit the pool (`threadpool_info()` lists it
    as user_api "plovik"). Returns whether threadpoolctl is installed."""
    global _registered
    if _registered:
        return True
    try:
        import threadpoolctl
    except ImportError:
        return False

    class PlovikController(threadpoolctl.LibController):  # type: ignore[misc]  # threadpoolctl ships no types
        user_api = "plovik"
        internal_api = "plovik"
        filename_prefixes = ("_native",)
        # A module of another package with the same file name lacks them.
        check_symbols = ("plovik_get_num_threads", "plovik_set_num_threads")

        def get_num_threads(self) -> int:
            return int(self.dynlib.plovik_get_num_threads())

        def set_num_threads(self, num_threads: int) -> None:
            self.dynlib.plovik_set_num_threads(int(num_threads))

        def get_version(self) -> str:
            from plovik import __version__

            return __version__

    threadpoolctl.register(PlovikController)
    _registered = True
    return True


try:
    register_threadpoolctl()
except Exception as exc:  # noqa: BLE001 - an incompatible threadpoolctl, whatever it raises, must not break the import
    warnings.warn(f"threadpoolctl cannot limit plovik's worker threads: {exc}", RuntimeWarning, stacklevel=2)
