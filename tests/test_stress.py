"""Thread stress: readers, a writer and a meddler on one index at once. The
writer walks a fixed cycle of states (retrying until it gets exclusive access);
every reader call gives exactly the answer of one of those states or the access
rule's RuntimeError; the meddler's calls fail and change nothing. Every thread
is joined with a timeout, so a deadlock fails the test instead of hanging it."""

import threading
import time
from collections import Counter

import numpy as np
import pytest

from index_helpers import random_params
from plovik import RustLshIndex
from plovik.lsh import QUERY_COUNTERS, PythonLshIndex
from query_helpers import assert_rows_equal, counted

pytestmark = pytest.mark.threads

READERS, READER_CALLS, MEDDLER_CALLS, MIN_WRITER_STEPS = 3, 300, 150, 8
JOIN_TIMEOUT = 300  # seconds; only a deadlock comes near it
SHARED_BUSY, EXCLUSIVE_BUSY = "Already mutably borrowed", "Already borrowed"
STATS = [*QUERY_COUNTERS, "block"]


def fingerprint(result):
    return tuple((a.shape, a.dtype.str, a.tobytes()) if isinstance(a, np.ndarray) else a for a in result)


def attempt(call, busy, fault=None):
    """call() under the access rule: ("busy", None) for the rule's RuntimeError,
    ("refused", None) for the fault named (a type name), else ("ok", result)."""
    try:
        result = call()
    except RuntimeError as e:
        assert str(e) == busy, repr(e)
        return "busy", None
    except BaseException as e:  # noqa: BLE001 - PanicException derives from BaseException
        assert fault is not None and type(e).__name__ == fault, repr(e)
        return "refused", None
    assert fault is None, "a call that must fail succeeded"
    return "ok", result


class Scenario:
    """The index, the writer's cycle of steps, and what every reader call
    answers in each state of the cycle."""

    def __init__(self, block):
        rng = np.random.default_rng(11)
        self.params = random_params(rng, d=4, L=4, K=3, b=4, probes=2, block=block)
        self.index = RustLshIndex(**self.params)
        # large enough that a build or an update takes a while: readers run into the writer
        self.points = rng.random((40_000, 4))
        kept = self.points[30_000:]
        moved, some = kept.copy(), rng.random(len(kept)) < 0.3
        moved[some] = (moved[some] + rng.uniform(-0.05, 0.05, (some.sum(), 4))) % 1.0
        self.steps = [
            ("build", (self.points, 30_000)),
            ("update", (moved,)),
            ("update", (kept,)),  # back where they were, in a new tie order
            ("promote", (rng.random((5000, 4)),)),
        ]
        self.queries, self.exclude = rng.random((40, 4)), rng.integers(0, 40_000, 40)
        self.batch = rng.random((80, 4))  # 64 or more: the blocked path unless block is 1
        self.calls = {
            "knn": lambda ix: ix.query_knn(self.queries, 5, self.exclude),
            "knn_batch": lambda ix: ix.query_knn(self.batch, 4),
            "radius": lambda ix: ix.query_radius(self.queries, 0.2),
            "tables": lambda ix: tuple(ix.tables().values()),
            "sizes": lambda ix: (ix.n_points, ix.n_static, ix.n_candidates),
        }
        # Replay the cycle alone and note every answer in every state.
        self.step, self.expected = 0, {name: set() for name in self.calls}
        for _ in self.steps:
            self.write_step()
            for name, f in self.calls.items():
                self.expected[name].add(fingerprint(f(self.index)))

    def write_step(self):
        name, args = self.steps[self.step]
        getattr(self.index, name)(*args)
        self.step = (self.step + 1) % len(self.steps)


def reader(sc, seed, log):
    rng, ix = np.random.default_rng(seed), sc.index
    checks = {
        "stats": lambda s: list(s) == STATS and all(type(v) is int and v >= 0 for v in s.values()),
        "reset_stats": lambda r: r is None,
    }
    kinds = list(sc.calls) + list(checks) + ["short_exclude"] + ["pause"] * 4
    for _ in range(READER_CALLS):
        kind = kinds[rng.integers(len(kinds))]
        if kind == "pause":
            # outside any call: when every reader is here, the writer and the meddler get in
            time.sleep(rng.random() * 1e-3)
            log["ok"] += 1
        elif kind == "short_exclude":  # fails inside a worker; the access must still be given back
            log[attempt(lambda: ix.query_knn(sc.queries, 3, sc.exclude[:10]), SHARED_BUSY, "PanicException")[0]] += 1
        else:
            outcome, got = attempt(
                lambda kind=kind: sc.calls[kind](ix) if kind in sc.calls else getattr(ix, kind)(), SHARED_BUSY
            )
            if outcome == "ok":
                assert checks[kind](got) if kind in checks else fingerprint(got) in sc.expected[kind], kind
            log[outcome] += 1


def meddler(sc, log):
    """Exclusive calls that must fail whether or not they get in."""
    ix, rng = sc.index, np.random.default_rng(8)
    wrong = [(lambda: ix.update(np.zeros((3, 4))), "PanicException")]  # a wrong number of values
    wrong += [(lambda: ix.promote(np.zeros((2, 7))), "ValueError"), (lambda: ix.build(sc.points[:5], 6), "ValueError")]
    for i in range(MEDDLER_CALLS):
        call, fault = wrong[i % len(wrong)]
        time.sleep(rng.random() * 2e-3)  # spread over the storm
        log[attempt(call, EXCLUSIVE_BUSY, fault)[0]] += 1


def writer(sc, readers_done, log):
    rng = np.random.default_rng(7)
    while not (readers_done.is_set() and log["ok"] >= MIN_WRITER_STEPS):
        outcome, _ = attempt(sc.write_step, EXCLUSIVE_BUSY)
        log[outcome] += 1
        # leave the readers a window; when refused, let the interpreter lock go to them
        time.sleep(rng.random() * 1e-3 if outcome == "ok" else 0)


@pytest.mark.parametrize("block", [1, 1024])
def test_readers_writer_and_meddler_on_one_index(block):
    sc = Scenario(block)
    logs = [Counter() for _ in range(READERS + 2)]  # the readers', the writer's, the meddler's
    readers_done, errors, start = threading.Event(), [], threading.Barrier(READERS + 2)

    def run(target, *args):
        start.wait()
        try:
            target(*args)
        except BaseException as e:  # noqa: BLE001 - reported by the test
            errors.append(e)

    jobs = [(reader, sc, 100 + i, logs[i]) for i in range(READERS)]
    jobs += [(writer, sc, readers_done, logs[-2]), (meddler, sc, logs[-1])]
    threads = [threading.Thread(target=run, args=job, daemon=True) for job in jobs]
    for t in threads:
        t.start()
    for i, t in enumerate(threads):
        if i == READERS:
            readers_done.set()
        t.join(JOIN_TIMEOUT)
    assert not any(t.is_alive() for t in threads), "deadlock: a thread never finished"
    assert errors == [] and [sum(log.values()) for log in logs[:READERS]] == [READER_CALLS] * READERS
    assert logs[-1]["busy"] + logs[-1]["refused"] == MEDDLER_CALLS and logs[-2]["ok"] >= MIN_WRITER_STEPS

    # afterwards: the index is in the state its last step made; the counters count what is asked
    ix = sc.index
    assert fingerprint(sc.calls["tables"](ix)) in sc.expected["tables"]
    while sc.step != 1:  # back to the state right after the build
        sc.write_step()
    reference = PythonLshIndex(**sc.params)
    reference.build(sc.points, 30_000)
    ix.reset_stats()
    for queries, k in ((sc.queries, 5), (sc.batch, 4)):
        assert_rows_equal(ix.query_knn(queries, k), reference.query_knn(queries, k))
    assert counted(ix) == counted(reference) and ix.stats()["queries"] == len(sc.queries) + len(sc.batch)
