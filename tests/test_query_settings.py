"""Settings chosen per call: probes (the rows of an index built with that many
probes, on both backends and both k-nearest paths) and worker threads (never
a different row, also with two threads using different limits at once)."""

import threading

import numpy as np
import pytest

import plovik
from index_helpers import random_params
from plovik import PlovikSearch, RustLshIndex, _native
from plovik.lsh import PythonLshIndex, pool_thread_count

D = 5


def knn(ix, *args):
    """query_knn with the probes of the call (the last argument), either backend."""
    return ix._query_knn(*args) if isinstance(ix, PythonLshIndex) else _native._query_knn(ix, *args)


def radius(ix, *args):
    return ix._query_radius(*args) if isinstance(ix, PythonLshIndex) else _native._query_radius(ix, *args)


def built(cls, params, probes):
    ix = cls(**{**params, "probes": probes})
    ix.build(np.random.default_rng(8).random((3000, D)), 2500)
    return ix


@pytest.mark.parametrize("block", [1, 1024])
@pytest.mark.parametrize("probes", [0, 2, 4, 9])  # 9 > K: capped at K as the index's own setting is
def test_a_call_with_its_own_probes_answers_as_an_index_built_with_them(block, probes):
    params = random_params(np.random.default_rng(6), d=D, L=4, K=4, b=3, probes=1, block=block)
    Q = np.random.default_rng(9).random((150, D))  # >= 64: the batched path unless block = 1
    ex = np.arange(150, dtype=np.int64)
    for cls in (RustLshIndex, PythonLshIndex):
        base, want = built(cls, params, 1), built(cls, params, probes)
        got = knn(base, Q, 7, ex, probes)
        assert all(np.array_equal(a, b) for a, b in zip(got, want.query_knn(Q, 7, ex), strict=True))
        assert all(
            np.array_equal(a, b)
            for a, b in zip(radius(base, Q, 0.4, ex, probes), want.query_radius(Q, 0.4, ex), strict=True)
        )
        assert np.array_equal(knn(base, Q, 7, ex, None)[0], base.query_knn(Q, 7, ex)[0])
        if cls is RustLshIndex:
            native = got
    ref = knn(built(PythonLshIndex, params, 1), Q, 7, ex, probes)
    assert all(np.array_equal(a, b) for a, b in zip(native, ref, strict=True))


@pytest.mark.parametrize("bad, exc", [(-1, OverflowError), (1.5, TypeError), ("2", TypeError)])
def test_bad_probes_are_refused_alike(bad, exc):
    params = random_params(np.random.default_rng(6), d=D, L=2, K=2, b=3)
    for cls in (RustLshIndex, PythonLshIndex):
        ix = built(cls, params, 1)
        with pytest.raises(exc):
            knn(ix, np.zeros((2, D)), 3, None, bad)
    with pytest.raises(TypeError, match="index must be a RustLshIndex"):
        _native._query_knn(object(), np.zeros((2, D)), 3)


def search_and_queries():
    rng = np.random.default_rng(12)
    search = PlovikSearch(8, seed=4, cells=3, components=6, tables=8, probes=2)
    search.build(rng.random((20_000, 8)), 15_000)
    return search, rng.random((2000, 8))


@pytest.mark.threads
def test_thread_limits_never_change_a_row():
    search, Q = search_and_queries()
    want = search.query_knn(Q, 10)
    radius = search.query_radius(Q[:300], 0.3)

    def same(got):
        return all(np.array_equal(a, b) for a, b in zip(got, want, strict=True))

    assert plovik.thread_count() >= 1
    with plovik.thread_limit(1):
        assert plovik.thread_count() == 1
        assert same(search.query_knn(Q, 10))
        with plovik.thread_limit(3):  # the innermost limit applies (capped by the pool)
            assert plovik.thread_count() == min(3, pool_thread_count())
        assert plovik.thread_count() == 1
    assert same(search.query_knn(Q, 10, threads=1))
    assert all(np.array_equal(a, b) for a, b in zip(search.query_radius(Q[:300], 0.3, threads=1), radius, strict=True))
    one = PlovikSearch(8, seed=4, cells=3, components=6, tables=8, probes=2, threads=1)
    one.build(search._points(), 15_000)
    assert same(one.query_knn(Q, 10))

    # two threads with different limits at once, many times over
    results, errors = [], []

    def run(limit):
        try:
            for _ in range(5):
                results.append(same(search.query_knn(Q, 10, threads=limit)))
        except BaseException as e:  # noqa: BLE001 - any failure of the thread is reported by the test
            errors.append(e)

    threads = [threading.Thread(target=run, args=(limit,)) for limit in (1, 2, 1, 2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert errors == [] and results == [True] * 20


def test_threadpoolctl_limits_the_pool():
    threadpoolctl = pytest.importorskip("threadpoolctl")
    info = [lib for lib in threadpoolctl.threadpool_info() if lib["user_api"] == "plovik"]
    assert len(info) == 1 and info[0]["num_threads"] == plovik.thread_count()
    search, Q = search_and_queries()
    want = search.query_knn(Q, 10)
    with threadpoolctl.threadpool_limits(1):
        assert plovik.thread_count() == 1
        got = search.query_knn(Q, 10)
    assert all(np.array_equal(a, b) for a, b in zip(got, want, strict=True))
    assert plovik.thread_count() == info[0]["num_threads"]
