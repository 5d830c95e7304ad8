"""A readers-writer lock that prefers writers, for `PlovikSearch`.

The raw index refuses a mutation that meets a running query (and a query
that meets a running mutation) with RuntimeError instead of waiting.
`PlovikSearch` serialises its calls with this lock instead: queries share
it, a mutation (`build`, `update`, `promote`, `retune`) holds it alone. A
writer that is waiting keeps new readers from starting, so under a steady
stream of queries it gets the lock once the queries already running end.

A thread that already holds the lock passes through when it takes it
again (a query made by a method that holds it), so nested use never waits
for itself.
"""

from __future__ import annotations

import threading
from collections.abc import Iterator
from contextlib import contextmanager

__all__ = ["ReadersWriterLock"]


class ReadersWriterLock:
    """Shared `reading()` and exclusive `writing()`, writers first."""

    def __init__(self) -> None:
        self._cond = threading.Condition(threading.Lock())
        self._readers = 0
        self._writing = False
        self._writers_waiting = 0
        self._held = threading.local()  # per thread: how deep it holds the lock

    def _depth(self) -> int:
        return getattr(self._held, "depth", 0)

    @contextmanager
    def reading(self) -> Iterator[None]:
        """Hold the lock shared: waits while a writer holds it or waits for it."""
        if self._depth():
            yield
            return
        with self._cond:
            while self._writing or self._writers_waiting:
                self._cond.wait()
            self._readers += 1
        self._held.depth = 1
        try:
            yield
        finally:
            self._held.depth = 0
            with self._cond:
                self._readers -= 1
                if self._readers == 0 and self._writers_waiting > 0:
                    self._cond.notify_all()

    @contextmanager
    def writing(self) -> Iterator[None]:
        """Hold the lock alone: waits for the readers and writers before it."""
        depth = self._depth()
        if depth:
            if not getattr(self._held, "writer", False):
                raise RuntimeError("a thread that holds the lock shared cannot take it alone")
            yield
            return
        with self._cond:
            self._writers_waiting += 1
            try:
                while self._writing or self._readers:
                    self._cond.wait()
            except BaseException:  # interrupted while waiting: let the readers it held back go
                self._writers_waiting -= 1
                self._cond.notify_all()
                raise
            self._writers_waiting -= 1
            self._writing = True
        self._held.depth, self._held.writer = 1, True
        try:
            yield
        finally:
            self._held.depth, self._held.writer = 0, False
            with self._cond:
                self._writing = False
                self._cond.notify_all()
