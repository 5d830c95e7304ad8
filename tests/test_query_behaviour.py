"""Queries as a caller meets them: results beyond memory, an unbuilt index,
result memory and concurrent callers. (Thread counts: test_epochs.py; refused
input, on both backends: test_binding.py; the access rule under load: test_stress.py.)"""

import gc
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from index_helpers import random_params
from plovik import RustLshIndex
from query_helpers import COUNTERS, assert_rows_equal, counted


def small(seed=0, n=300, block=1):
    rng = np.random.default_rng(seed)
    native = RustLshIndex(**random_params(rng, 4, 4, 3, 4, probes=2, block=block))
    native.build(rng.random((n, 4)), n // 2)
    return native, rng


def test_unallocatable_results_raise_memory_error_and_results_own_their_memory():
    native, rng = small()
    q = rng.random((3, 4))
    # an empty result still needs a shape an array can have: 8 * k bytes must fit a machine word
    for rows, k in ((q, 2**45), (q, 2**62), (q[:0], 2**60), (q[:0], 2**63), (q[:0], 2**64 - 1)):
        with pytest.raises(MemoryError):
            native.query_knn(rows, k)
    assert native.query_knn(q[:0], 2**40)[0].shape == (0, 2**40)
    assert native.query_knn(q[:0], 2**60 - 1)[1].shape == (0, 2**60 - 1)
    assert set(native.stats().values()) == {0, 1} and native.query_knn(q, 2)[0].shape == (3, 2)
    # the results own their memory: they outlive the index
    results = native.query_knn(rng.random((5, 4)), 3) + native.query_radius(rng.random((5, 4)), 0.5)
    copies = [a.copy() for a in results]
    del native
    gc.collect()
    for a, c in zip(results, copies, strict=True):
        assert a.base is not None and a.flags.c_contiguous and a.flags.writeable
        np.testing.assert_array_equal(a, c)


def test_unbuilt_index_answers_padding_and_counts_queries():
    # (random calls on unbuilt indexes against the reference: test_adversarial.py)
    native = RustLshIndex(**random_params(np.random.default_rng(3), 5, 2, 3, 4))  # s reads columns up to 4
    rng = np.random.default_rng(4)
    for m, width in ((4, 1), (100, 9)):  # per-query and blocked paths, any width
        idx, dist = native.query_knn(rng.random((m, width)), 3, np.arange(m))
        assert idx.tolist() == [[-1] * 3] * m and np.isinf(dist).all()
        indptr, ids, dists = native.query_radius(rng.random((m, width)), 1.0)
        assert indptr.tolist() == [0] * (m + 1) and ids.size == dists.size == 0
    assert counted(native) == dict(queries=104, cands=0, pairs=0, relaxed=0)
    # built with no points: same answers, now with a fixed width; need is 0
    native.build(np.zeros((0, 5)), 0)
    for m in (2, 70):
        idx, _ = native.query_knn(rng.random((m, 5)), 2, np.zeros(m, np.int64))
        assert (idx == -1).all() and idx.shape == (m, 2) and native.stats()["relaxed"] == 0


@pytest.mark.threads
def test_concurrent_callers_get_serial_rows_while_counters_are_read_and_reset():
    rng = np.random.default_rng(18)
    native = RustLshIndex(**random_params(rng, 8, 8, 4, 4, probes=2, block=32))
    native.build(rng.random((20000, 8)), 15000)
    batches = [rng.random((m, 8)) for m in (40, 40, 40, 400, 400)]  # per-query and blocked

    def answer(q):
        return native.query_knn(q, 7, np.arange(len(q))) + native.query_radius(q, 0.2)

    serial = [answer(q) for q in batches]

    def loop(fn):
        while not stop.is_set():
            fn()

    def read():
        s = native.stats()
        assert list(s) == [*COUNTERS, "block"] and s["block"] == 32

    for resetting in (True, False):  # afterwards the counters still add up
        native.reset_stats()
        stop = threading.Event()
        with ThreadPoolExecutor(8) as pool:
            try:
                others = [pool.submit(loop, f) for f in (read, read, native.reset_stats)[: 2 + resetting]]
                calls = [(j, pool.submit(answer, batches[j])) for j in range(len(batches)) for _ in range(5)]
                results = [(j, f.result(timeout=120)) for j, f in calls]
            finally:
                stop.set()
            for f in others:
                f.result(timeout=30)
        for j, got in results:
            assert_rows_equal(got, serial[j])
    assert native.stats()["queries"] == 5 * 920
