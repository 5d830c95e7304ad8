"""Thread stress: readers, a writer and a meddler on one index at once.

The writer walks the index through a fixed cycle of states (build, update,
update back, promote, build again ...), retrying each step until it gets
exclusive access, so the states the readers can meet are known beforehand.
Every reader call must either give exactly the answer of one of those
states or fail with the access rule's RuntimeError; the meddler's calls must
fail, by the access rule or by their own fault, and change nothing. A
watchdog joins every thread with a timeout, so a deadlock fails the test
instead of hanging it."""

import sys
import threading
import time

import numpy as np
import pytest

from plovik import RustLshIndex
from plovik.lsh import PythonLshIndex
from util import random_params

pytestmark = pytest.mark.threads

READERS = 3
READER_CALLS = 300
MEDDLER_CALLS = 150
MIN_WRITER_STEPS = 8
JOIN_TIMEOUT = 300  # seconds; only a deadlock comes near it

SHARED_BUSY = "Already mutably borrowed"
EXCLUSIVE_BUSY = "Already borrowed"
COUNTERS = ("queries", "cands", "pairs", "relaxed")


def fingerprint(arrays):
    return tuple((a.shape, a.dtype.str, a.tobytes()) for a in arrays)


class Scenario:
    """The index, the writer's cycle of steps, and what every reader call
    answers in each state of the cycle."""

    def __init__(self, block):
        rng = np.random.default_rng(11)
        d = 4
        self.params = random_params(rng, d=d, L=4, K=3, b=4, probes=2, block=block)
        self.index = RustLshIndex(**self.params)
        # Large enough that a build or an update takes a while, so that
        # readers also run into the writer.
        n, self.n_static = 40_000, 30_000
        self.points = rng.random((n, d))
        kept = self.points[self.n_static:]
        moved = kept.copy()
        some = rng.random(len(kept)) < 0.3
        moved[some] = (moved[some] + rng.uniform(-0.05, 0.05, (some.sum(), d))) % 1.0
        self.steps = [
            ("build", (self.points, self.n_static)),
            ("update", (moved,)),
            ("update", (kept,)),  # back where they were, in a new tie order
            ("promote", (rng.random((5000, d)),)),
        ]
        self.queries = rng.random((40, d))
        self.exclude = rng.integers(0, n, 40)
        self.batch = rng.random((80, d))  # 64 or more: the blocked path unless block is 1
        self.reader_calls = {
            "knn": lambda ix: ix.query_knn(self.queries, 5, self.exclude),
            "knn_batch": lambda ix: ix.query_knn(self.batch, 4),
            "radius": lambda ix: ix.query_radius(self.queries, 0.2),
            "tables": lambda ix: tuple(ix.tables().values()),
            "sizes": lambda ix: (ix.n_points, ix.n_static, ix.n_candidates),
        }
        # Replay the cycle alone and note every answer in every state.
        self.expected = {name: set() for name in self.reader_calls}
        for name, args in self.steps:
            getattr(self.index, name)(*args)
            for call, f in self.reader_calls.items():
                self.expected[call].add(self.answer(call, f(self.index)))
        self.step = 0  # the next step of the writer; the replay ended after the promote

    @staticmethod
    def answer(call, result):
        return result if call == "sizes" else fingerprint(result)

    def write_step(self):
        name, args = self.steps[self.step]
        getattr(self.index, name)(*args)
        self.step = (self.step + 1) % len(self.steps)


def expect_busy(error, message):
    assert isinstance(error, RuntimeError) and str(error) == message, repr(error)


def reader(sc, seed, log):
    rng = np.random.default_rng(seed)
    ix = sc.index
    kinds = list(sc.reader_calls) + ["stats", "reset_stats", "short_exclude"] + ["pause"] * 4
    for _ in range(READER_CALLS):
        kind = kinds[rng.integers(len(kinds))]
        try:
            if kind == "pause":
                # Outside any call: when every reader is here or between
                # calls, the writer and the meddler can get in.
                time.sleep(rng.random() * 1e-3)
            elif kind == "stats":
                s = ix.stats()
                assert list(s) == ["gather_ns", "refine_ns", "relax_ns", "queries", "cands", "pairs",
                                   "relaxed", "block"]
                assert all(type(v) is int and v >= 0 for v in s.values())
            elif kind == "reset_stats":
                assert ix.reset_stats() is None
            elif kind == "short_exclude":
                # fails inside a worker; the access must still be given back
                with pytest.raises(BaseException) as info:
                    ix.query_knn(sc.queries, 3, sc.exclude[:10])
                if type(info.value).__name__ != "PanicException":
                    raise info.value
            else:
                got = sc.answer(kind, sc.reader_calls[kind](ix))
                assert got in sc.expected[kind], f"{kind}: an answer of no state"
            log["ok"] += 1
        except RuntimeError as e:
            expect_busy(e, SHARED_BUSY)
            log["busy"] += 1


def meddler(sc, log):
    """Exclusive calls that must fail whether or not they get in."""
    ix = sc.index
    rng = np.random.default_rng(8)
    wrong = [
        (lambda: ix.update(np.zeros((3, 4))), "PanicException"),  # wrong number of values
        (lambda: ix.promote(np.zeros((2, 7))), ValueError),  # wrong width
        (lambda: ix.build(sc.points[:5], 6), ValueError),  # n_static > n
    ]
    for i in range(MEDDLER_CALLS):
        call, fault = wrong[i % len(wrong)]
        time.sleep(rng.random() * 2e-3)  # spread over the storm
        try:
            call()
        except RuntimeError as e:
            expect_busy(e, EXCLUSIVE_BUSY)
            log["busy"] += 1
            continue
        except BaseException as e:  # noqa: BLE001 - PanicException derives from BaseException
            if fault == "PanicException":
                assert type(e).__name__ == fault, repr(e)
            else:
                assert type(e) is fault, repr(e)
            log["refused"] += 1
            continue
        raise AssertionError("a call that must fail succeeded")


def writer(sc, readers_done, log):
    rng = np.random.default_rng(7)
    while not (readers_done.is_set() and log["steps"] >= MIN_WRITER_STEPS):
        try:
            sc.write_step()
            log["steps"] += 1
            time.sleep(rng.random() * 1e-3)  # leave the readers a window
        except RuntimeError as e:
            expect_busy(e, EXCLUSIVE_BUSY)
            log["busy"] += 1
            time.sleep(0)  # let the interpreter lock go to the readers


def run_guarded(target, args, errors):
    try:
        target(*args)
    except BaseException as e:  # noqa: BLE001 - reported by the test
        errors.append(e)


@pytest.mark.parametrize("block", [1, 1024])
def test_readers_writer_and_meddler_on_one_index(block):
    sc = Scenario(block)
    logs = [dict(ok=0, busy=0) for _ in range(READERS)]
    writer_log, meddler_log = dict(steps=0, busy=0), dict(busy=0, refused=0)
    readers_done, errors = threading.Event(), []
    start = threading.Barrier(READERS + 2)

    def started(target, *args):
        start.wait()
        run_guarded(target, args, errors)

    readers = [threading.Thread(target=started, args=(reader, sc, 100 + i, logs[i]), daemon=True)
               for i in range(READERS)]
    others = [threading.Thread(target=started, args=(writer, sc, readers_done, writer_log), daemon=True),
              threading.Thread(target=started, args=(meddler, sc, meddler_log), daemon=True)]
    for t in readers + others:
        t.start()
    for t in readers:
        t.join(JOIN_TIMEOUT)
    readers_done.set()
    for t in others:
        t.join(JOIN_TIMEOUT)
    assert not any(t.is_alive() for t in readers + others), "deadlock: a thread never finished"
    assert errors == []
    assert sum(log["ok"] + log["busy"] for log in logs) == READERS * READER_CALLS
    assert meddler_log["busy"] + meddler_log["refused"] == MEDDLER_CALLS
    assert writer_log["steps"] >= MIN_WRITER_STEPS

    # Afterwards: the index is in the state its last step made, and the
    # counters count exactly what is asked of them.
    ix = sc.index
    assert sc.answer("tables", sc.reader_calls["tables"](ix)) in sc.expected["tables"]
    while sc.step != 1:  # back to the state right after the build
        sc.write_step()
    reference = PythonLshIndex(**sc.params)
    reference.build(sc.points, sc.n_static)
    for index in (ix, reference):
        index.reset_stats()
    for queries, k in ((sc.queries, 5), (sc.batch, 4)):
        for got, want in zip(ix.query_knn(queries, k), reference.query_knn(queries, k)):
            np.testing.assert_array_equal(got, want)
    stats, want = ix.stats(), reference.stats()
    assert stats["queries"] == len(sc.queries) + len(sc.batch)
    assert {c: stats[c] for c in COUNTERS} == {c: want[c] for c in COUNTERS}
