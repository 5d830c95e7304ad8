"""Signals during long calls (SIGINT from a thread every 10 ms): a handler that raises stops the
call early and its exception propagates; an interrupted mutation leaves the index as it was."""

import contextlib
import os
import signal
import threading
import time

import numpy as np
import pytest

from index_helpers import random_params
from plovik import RustLshIndex
from plovik._native import exact_knn, exact_radius

N, N_STATIC, D = 200_000, 60_000, 16

pytestmark = pytest.mark.threads


class Stop(Exception):
    """What a custom signal handler raises."""


def inside_a_mutation(ix):
    try:
        return ix.n_points < 0  # the read itself is the probe
    except RuntimeError:  # "Already mutably borrowed"
        return True


@contextlib.contextmanager
def sigint_every_10ms(raise_at=None, counts=lambda: True):
    """SIGINT every 10 ms while the block runs; the handler lists its calls for which counts()
    holds, and raise_at = (n, exc) makes the nth of them raise exc."""
    calls = []

    def handler(signum, frame):
        if not counts():
            return
        calls.append(signum)
        if raise_at is not None and len(calls) == raise_at[0]:
            raise raise_at[1]

    previous = signal.signal(signal.SIGINT, handler)
    done = threading.Event()

    def send():
        while not done.wait(0.01):
            os.kill(os.getpid(), signal.SIGINT)

    sender = threading.Thread(target=send)
    sender.start()
    try:
        yield calls
    finally:
        done.set()
        sender.join()
        signal.signal(signal.SIGINT, previous)  # runs the handler for what is still pending


# Work is measured in CPU seconds of the process, which the load of a shared
# machine does not stretch.
def cpu_seconds(call):
    start = time.process_time()
    result = call()
    return time.process_time() - start, result


def interrupted(call, exc, nth=1, counts=lambda: True):
    """CPU seconds until `call` raised `exc` from the handler's nth call."""
    start = time.process_time()
    with sigint_every_10ms((nth, exc), counts), pytest.raises(exc):
        call()
    return time.process_time() - start


def make_index(n, n_static):
    rng = np.random.default_rng(41)
    # 2**40 buckets a table: sorted by comparison, every call is long without a large index.
    # block=0: one batched block per worker, so only the checks inside a block stop a query early.
    ix = RustLshIndex(**random_params(rng, d=D, L=32, K=40, b=2, block=0))
    ix.build(rng.random((n, D)), n_static)
    return ix


@pytest.fixture(scope="module")
def index():
    return make_index(N, N_STATIC)


@pytest.fixture(scope="module")
def mutable():
    """Twice the points: a whole update lasts a few of the engine's polls (about 50 ms apart)."""
    return make_index(2 * N, 2 * N_STATIC)


def state(ix, queries):
    arrays = [*ix.tables().values(), *ix.query_knn(queries, 5)]
    return [(a.shape, a.tobytes()) for a in arrays], (ix.n_points, ix.n_static, ix.n_candidates)


@pytest.mark.parametrize("op,exc", [("build", KeyboardInterrupt), ("update", Stop), ("promote", KeyboardInterrupt)])
def test_interrupted_mutation_changes_nothing(mutable, op, exc):
    index = mutable
    rng = np.random.default_rng(42)
    queries = rng.random((50, D))
    # Two inputs: an update with the values the candidates have does little.
    shape = (index.n_candidates if op == "update" else N, D)
    inputs = [rng.random(shape) for _ in range(2)]

    def call(rows):
        return lambda: getattr(index, op)(*((rows, 2 * N_STATIC) if op == "build" else (rows,)))

    full, _ = cpu_seconds(call(inputs[0]))
    before = state(index, queries)

    # at the first poll inside the call, then at a later one (signals after the call do not count)
    first = interrupted(call(inputs[1]), exc, 1, lambda: inside_a_mutation(index))
    interrupted(call(inputs[1]), exc, 2, lambda: inside_a_mutation(index))
    assert state(index, queries) == before
    # The first poll comes within 50 ms of wall time, when every worker has
    # run that long: on two workers about 0.1 s of CPU against about 0.5 s
    # for a whole update, so the bound leaves room for a loaded machine.
    assert first < 0.75 * full, (first, full)


@pytest.mark.parametrize(
    "method,exc",
    [("knn", KeyboardInterrupt), ("radius", Stop), ("exact_knn", Stop), ("exact_radius", KeyboardInterrupt)],
)
def test_signals_during_a_query(index, method, exc):
    # about 0.6 s of CPU for the index's queries, 0.9 - 1.3 s for the exact scans: well beyond the first poll
    rng = np.random.default_rng(43)
    points, queries = rng.random((100_000, D)), rng.random(({"knn": 6000, "radius": 40_000}.get(method, 30_000), D))
    call = {
        "knn": lambda: index.query_knn(queries, 10),
        "radius": lambda: index.query_radius(queries, 0.2),
        "exact_knn": lambda: exact_knn(points, queries, 10),
        "exact_radius": lambda: exact_radius(points, queries, 2.0),
    }[method]
    full, want = cpu_seconds(call)
    first = interrupted(call, exc)
    assert first < full / 2, (first, full)
    # a handler that does not raise runs while the call goes on, which answers as it would have
    with sigint_every_10ms() as calls:
        got = call()
    assert len(calls) >= 2  # not only once the call returned
    assert all(np.array_equal(a, b) for a, b in zip(got, want, strict=True))
