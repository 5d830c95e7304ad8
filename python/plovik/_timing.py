"""Timing helpers of the benchmarks: on a machine shared with other jobs the
fastest of several runs is the one least disturbed by them."""

from __future__ import annotations

import time
from collections.abc import Callable
from typing import Any

__all__ = ["best_seconds", "take_turns"]


def best_seconds(fn: Callable[[], Any], repeats: int, setup: Callable[[], Any] | None = None) -> float:
    """The shortest of `repeats` timed runs of fn (setup, if any, runs untimed
    before each): on a machine shared with other jobs the fastest run is the
    one least disturbed by them."""
    times = []
    for _ in range(max(1, repeats)):
        if setup is not None:
            setup()
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def take_turns(fns: dict[str, Callable[[], Any]], repeats: int) -> dict[str, float]:
    """The shortest time of each function over `repeats` rounds in which they run
    one after the other, so that a change of load on a shared machine falls on
    all of them alike."""
    best = {name: float("inf") for name in fns}
    for _ in range(max(1, repeats)):
        for name, fn in fns.items():
            t = time.perf_counter()
            fn()
            best[name] = min(best[name], time.perf_counter() - t)
    return best
