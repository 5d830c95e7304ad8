"""Queries as a caller meets them: rejected input, an unbuilt index, the
counters, thread counts, concurrent callers and the access rule."""

import gc
import textwrap
import threading

import numpy as np
import pytest

from plovik import RustLshIndex
from plovik.lsh import PythonLshIndex
from query_util import brute_row
from util import random_params, outputs_under_thread_counts

COUNTERS = ("gather_ns", "refine_ns", "relax_ns", "queries", "cands", "pairs", "relaxed")


def small(seed=0, n=300, d=4, block=1):
    rng = np.random.default_rng(seed)
    params = random_params(rng, d, 4, 3, 4, probes=2, block=block)
    native = RustLshIndex(**params)
    native.build(rng.random((n, d)), n // 2)
    return native, params, rng


def counted(index):
    s = index.stats()
    return {c: s[c] for c in ("queries", "cands", "pairs", "relaxed")}


def test_query_width_must_match_a_built_index():
    native, _, rng = small()
    for call in (lambda q: native.query_knn(q, 3), lambda q: native.query_radius(q, 0.5)):
        for width in (3, 5):
            with pytest.raises(ValueError, match=rf"^queries have {width} columns but the index has d = 4$"):
                call(rng.random((2, width)))
        with pytest.raises(ValueError, match="queries have 0 columns"):
            call(np.zeros((0, 0)))
    with pytest.raises(ValueError, match="queries have 5 columns"):
        native.query_knn(rng.random((2, 5)), 0)
    assert set(native.stats().values()) == {0, 1}


@pytest.mark.threads
def test_short_exclude_ids_panic_and_leave_the_index_usable():
    native, _, rng = small(n=2000)
    q = rng.random((200, 4))  # several tasks: the panic is raised by one of them
    want = native.query_knn(q, 5, np.arange(200))
    native.reset_stats()
    calls = [lambda ex: native.query_knn(q, 5, ex), lambda ex: native.query_radius(q, 0.3, ex),
             lambda ex: native.query_knn(q, 0, ex)]
    for call in calls:
        for short in (np.arange(150), np.arange(0)):
            with pytest.raises(BaseException) as info:
                call(short)
            assert type(info.value).__name__ == "PanicException"
            assert type(info.value).__bases__ == (BaseException,)
            assert "exclude_ids holds" in str(info.value)
    # Rows answered before the failing one may have been counted.
    native.reset_stats()
    got = native.query_knn(q, 5, np.arange(250))  # longer is fine; extra entries ignored
    np.testing.assert_array_equal(got[0], want[0])
    assert native.stats()["queries"] == 200


def test_unallocatable_results_raise_memory_error():
    native, _, rng = small()
    q = rng.random((3, 4))
    for k in (2**45, 2**62):
        with pytest.raises(MemoryError):
            native.query_knn(q, k)
    assert native.query_knn(q[:0], 2**40)[0].shape == (0, 2**40)
    # An empty result still needs a shape an array can have: 8 * k bytes per
    # row must fit a signed machine word, as if there were one row.
    assert native.query_knn(q[:0], 2**60 - 1)[1].shape == (0, 2**60 - 1)
    for k in (2**60, 2**63, 2**64 - 1):
        with pytest.raises(MemoryError):
            native.query_knn(q[:0], k)
    assert set(native.stats().values()) == {0, 1}
    assert native.query_knn(q, 2)[0].shape == (3, 2)


def test_unbuilt_index_answers_padding_and_counts_queries():
    rng = np.random.default_rng(3)
    native = RustLshIndex(**random_params(rng, 5, 2, 3, 4))  # s reads columns up to 4
    reference = PythonLshIndex(**random_params(np.random.default_rng(3), 5, 2, 3, 4))
    for width in (1, 5, 9):
        q = rng.random((4, width))
        for exclude in (None, np.array([0, 1, 2, 3])):
            idx, dist = native.query_knn(q, 3, exclude)
            assert idx.tolist() == [[-1] * 3] * 4 and np.isinf(dist).all()
            want = reference.query_knn(q, 3, exclude)
            np.testing.assert_array_equal(idx, want[0])
        indptr, ids, dists = native.query_radius(q, 1.0)
        assert indptr.tolist() == [0] * 5 and ids.size == dists.size == 0
    assert counted(native) == dict(queries=24, cands=0, pairs=0, relaxed=0) == counted(reference)
    with pytest.raises(BaseException) as info:
        native.query_knn(q, 3, np.arange(2))
    assert type(info.value).__name__ == "PanicException"
    # built with no points: same answers, now with a fixed width
    native.build(np.zeros((0, 5)), 0)
    idx, _ = native.query_knn(rng.random((2, 5)), 2, np.array([0, 0]))
    assert idx.tolist() == [[-1, -1]] * 2 and native.stats()["relaxed"] == 0


def test_stored_coordinates_are_measured_wrapped():
    s = np.array([[0]], np.int64)
    native, reference = RustLshIndex(4, 1, 1, 1, s, np.zeros((1, 1))), PythonLshIndex(4, 1, 1, 1, s, np.zeros((1, 1)))
    pts = np.array([[1.25], [-0.75], [0.3], [2.0]])
    for ix in (native, reference):
        ix.build(pts, 2)
    q = np.array([[0.25], [0.0], [0.99], [1.25], [-1.0]])  # queries wrap too
    idx, dist = native.query_knn(q, 2)
    assert idx[0].tolist() == [0, 1] and dist[0].tolist() == [0.0, 0.0]
    assert idx[1, 0] == 3 and dist[1, 0] == 0.0
    want = reference.query_knn(q, 2)
    np.testing.assert_array_equal(idx, want[0])
    np.testing.assert_array_equal(dist, want[1])
    for i in range(5):
        np.testing.assert_array_equal(idx[i], brute_row(pts, q[i], 2)[0])
    assert idx[3].tolist() == [0, 1] and dist[3].tolist() == [0.0, 0.0]


def test_counters_of_the_per_query_path():
    native, params, rng = small(block=1024)
    reference = PythonLshIndex(**params)
    reference.build(native_points := rng.random((300, 4)), 150)
    native.build(native_points, 150)
    q = rng.random((63, 4))
    native.query_knn(q, 4)
    reference.query_knn(q, 4)
    s = native.stats()
    assert s["queries"] == 63 and s["cands"] == s["pairs"] > 0 and counted(native) == counted(reference)
    assert s["block"] == 1024
    before = native.stats()
    native.query_knn(q, 0)
    native.query_knn(q[:0], 4)
    native.query_radius(q, 0.5)
    assert native.stats() == before
    native.reset_stats()
    assert [native.stats()[c] for c in COUNTERS] == [0] * 7


def test_results_own_their_memory():
    native, _, rng = small()
    idx, dist = native.query_knn(rng.random((5, 4)), 3)
    indptr, ids, dists = native.query_radius(rng.random((5, 4)), 0.5)
    copies = [a.copy() for a in (idx, dist, indptr, ids, dists)]
    del native
    gc.collect()
    for a, c in zip((idx, dist, indptr, ids, dists), copies):
        assert a.base is not None and a.flags.c_contiguous and a.flags.writeable
        np.testing.assert_array_equal(a, c)


ROWS_DIGEST = textwrap.dedent("""
    import hashlib, numpy as np
    from plovik import RustLshIndex
    rng = np.random.default_rng(4)
    L, K, d = 6, 4, 6
    ix = RustLshIndex(5, K, L, 2, rng.integers(0, d, (L, K)), rng.random((L, K)), block=1)
    ix.build(rng.random((20000, d)), 15000)
    q = rng.random((700, d))
    h = hashlib.sha256()
    for a in ix.query_knn(q, 9, rng.integers(0, 20000, 700)) + ix.query_radius(q, 0.35):
        h.update(a.tobytes())
    s = ix.stats()
    h.update(repr([s[c] for c in ("queries", "cands", "pairs", "relaxed")]).encode())
    print(h.hexdigest())
""")


@pytest.mark.threads
def test_results_independent_of_thread_count():
    assert len(outputs_under_thread_counts(ROWS_DIGEST)) == 1


@pytest.mark.threads
def test_concurrent_callers_get_serial_rows():
    native, _, rng = small(n=5000)
    batches = [rng.random((40, 4)) for _ in range(6)]
    serial = [native.query_knn(q, 7, np.arange(40)) for q in batches]
    serial_r = [native.query_radius(q, 0.2) for q in batches]
    native.reset_stats()
    results, errors = {}, []

    def run(j):
        try:
            for _ in range(5):
                results[j] = (native.query_knn(batches[j], 7, np.arange(40)), native.query_radius(batches[j], 0.2))
        except BaseException as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=run, args=(j,)) for j in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    for j in range(6):
        (idx, dist), radius = results[j]
        np.testing.assert_array_equal(idx, serial[j][0])
        np.testing.assert_array_equal(dist, serial[j][1])
        for a, b in zip(radius, serial_r[j]):
            np.testing.assert_array_equal(a, b)
    assert native.stats()["queries"] == 6 * 5 * 40


@pytest.mark.threads
def test_exclusive_calls_fail_while_a_query_runs():
    rng = np.random.default_rng(9)
    native = RustLshIndex(**random_params(rng, 8, 16, 3, 4, probes=3, block=1))
    pts = rng.random((50_000, 8))
    native.build(pts, 40_000)
    q = rng.random((2000, 8))
    want = native.query_knn(q, 10)
    seen, rows = [], []
    stop = threading.Event()

    def run():
        while not stop.is_set():
            try:
                rows.append(native.query_knn(q, 10))
            except RuntimeError as e:  # a rebuild slipped in between two queries
                assert str(e) == "Already mutably borrowed"

    worker = threading.Thread(target=run)
    worker.start()
    try:
        for _ in range(100_000):
            try:
                native.build(pts, 40_000)  # the same index if it ever gets in
            except RuntimeError as e:
                seen.append(str(e))
                break
    finally:
        stop.set()
        worker.join()
    assert seen == ["Already borrowed"]
    assert rows and all((idx == want[0]).all() and (dist == want[1]).all() for idx, dist in rows)
