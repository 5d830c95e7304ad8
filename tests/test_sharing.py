"""One PlovikSearch shared by many threads: queries run together, changes wait for them and run alone, nothing raises,
and every answer is one that a serial run gives for some state the search went through."""

import threading

import numpy as np
import pytest

from plovik import PlovikSearch
from plovik.locking import ReadersWriterLock

pytestmark = pytest.mark.threads

D, N, CAND = 6, 6000, 800


def epochs(seed=0, count=4):
    """The changes of the run, in order: ("update", coords), ("retire", ids) and ("promote", rows)."""
    rng = np.random.default_rng(seed)
    steps, cand = [], rng.random((CAND, D))
    for epoch in range(count):
        cand = (cand + rng.normal(0, 0.02, cand.shape)) % 1.0
        steps += [("update", cand), ("retire", rng.choice(N + epoch * CAND, 200, replace=False))]
        cand = rng.random((CAND, D))
        steps.append(("promote", cand))
    return steps


def fresh(backend):
    search = PlovikSearch(D, seed=2, backend=backend, cells=3, components=5, tables=6, probes=2)
    search.build(np.random.default_rng(1).random((N, D)), N - CAND)
    return search


QUERIES = np.random.default_rng(3).random((300, D))


def answers(search):
    """A k-nearest and a radius answer (a change may come between the two calls)."""
    idx, dist = search.query_knn(QUERIES, 5)
    indptr, ids, _ = search.query_radius(QUERIES[:40], 0.3)
    return idx.tobytes() + dist.tobytes(), indptr.tobytes() + ids.tobytes()


@pytest.mark.parametrize("backend", ["native", "reference"])
def test_threads_mixing_queries_and_changes_match_a_serial_run(backend):
    steps = epochs(count=3 if backend == "native" else 1)
    serial = fresh(backend)
    states = [answers(serial)]
    for op, arg in steps:
        getattr(serial, op)(arg)
        states.append(answers(serial))

    shared = fresh(backend)
    seen, errors, done = [], [], threading.Event()

    def guarded(work):  # any failure ends the run and is reported
        try:
            work()
        except BaseException as e:  # noqa: BLE001 - the test reports any failure
            errors.append(e)
        finally:
            done.set()

    def reader():
        while not done.is_set():
            seen.append(answers(shared))
            shared.stats(), shared.tables(), len(shared), shared.n_candidates  # inspection shares too

    def writer():
        for op, arg in steps:
            getattr(shared, op)(arg)

    readers = [threading.Thread(target=guarded, args=(reader,)) for _ in range(7)]
    for t in readers:
        t.start()
    w = threading.Thread(target=guarded, args=(writer,))
    w.start()
    w.join(timeout=300)
    assert not w.is_alive(), "the changes never got the search: starved by the queries"
    for t in readers:
        t.join(timeout=60)
    assert errors == []
    assert seen and all(knn in {s[0] for s in states} and radius in {s[1] for s in states} for knn, radius in seen)
    assert answers(shared) == states[-1]
    assert all(np.array_equal(a, b) for a, b in zip(shared.tables().values(), serial.tables().values(), strict=True))


def test_a_waiting_writer_holds_new_readers_back_and_nested_use_does_not_wait():
    lock, order = ReadersWriterLock(), []
    reading, writer_waits = threading.Event(), threading.Event()

    def first_reader():
        with lock.reading():
            reading.set()
            writer_waits.wait()
            order.append("reader 1 ends")

    def take(mode, name):
        with getattr(lock, mode)():
            order.append(name)

    def started(target, *args):
        t = threading.Thread(target=target, args=args)
        t.start()
        return t

    r1 = started(first_reader)
    reading.wait()
    w = started(take, "writing", "writer")
    while not lock._writers_waiting:  # the writer is queued behind reader 1
        threading.Event().wait(0.001)
    r2 = started(take, "reading", "reader 2")
    threading.Event().wait(0.05)  # reader 2 must not slip in ahead of the writer
    assert order == []
    writer_waits.set()
    for t in (r1, w, r2):
        t.join(timeout=10)
    assert order == ["reader 1 ends", "writer", "reader 2"]
    # nested use on one thread does not wait for itself, and leaves the lock free for another thread
    lock = ReadersWriterLock()
    with lock.writing(), lock.reading(), lock.writing():
        pass
    with lock.reading():
        with lock.reading():
            pass
        with pytest.raises(RuntimeError, match="cannot take it alone"), lock.writing():
            pass
    started(take, "writing", "alone").join(timeout=10)
    assert order[-1] == "alone"
