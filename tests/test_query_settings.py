"""Settings chosen per call: probes (the rows of an index built with that many
probes, on both backends and both k-nearest paths) and worker threads (never
a different row, also with two threads using different limits at once)."""

import threading

import numpy as np
import pytest

import plovik
from index_helpers import random_params
from plovik import PlovikSearch, RustLshIndex, _native
from plovik.lsh import PythonLshIndex, _sum_general, _terms, _widen, _wrap_f32, pool_thread_count
from query_helpers import assert_rows_equal as same

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
    rows = []
    for cls in (RustLshIndex, PythonLshIndex):
        base, want = built(cls, params, 1), built(cls, params, probes)
        rows.append(knn(base, Q, 7, ex, probes))
        same(rows[-1], want.query_knn(Q, 7, ex))
        same(radius(base, Q, 0.4, ex, probes), want.query_radius(Q, 0.4, ex))
        assert np.array_equal(knn(base, Q, 7, ex, None)[0], base.query_knn(Q, 7, ex)[0])
    same(*rows)  # the backends alike


@pytest.mark.parametrize("bad, exc", [(-1, OverflowError), (1.5, TypeError), ("2", TypeError)])
def test_bad_probes_are_refused_alike(bad, exc):
    params = random_params(np.random.default_rng(6), d=D, L=2, K=2, b=3)
    for cls in (RustLshIndex, PythonLshIndex):
        ix = built(cls, params, 1)
        with pytest.raises(exc):
            knn(ix, np.zeros((2, D)), 3, None, bad)
    with pytest.raises(TypeError, match="index must be a RustLshIndex"):
        _native._query_knn(object(), np.zeros((2, D)), 3)


def metric_bits(X, q, metric, weights):
    """The metric's distance bits from q to every row of X: the reference's terms, weighted,
    squared for L2, summed in the general association, rooted for L2."""
    t = _terms(_wrap_f32(q)[None, :], _wrap_f32(X))
    t = t if weights is None else t * np.asarray(weights).astype(np.float32)
    total = _sum_general(t * t if metric == "euclidean" else t)
    return (np.sqrt(total) if metric == "euclidean" else total).view(np.uint32)


# L2 plain and weighted, L1 weighted, and L1 with weights of 1 (the index's
# own distances, through the metric's code)
METRICS = [("euclidean", None), ("euclidean", [1.0, 0.5, 0.25, 0.75, 1.0]), ("l1", [0.3, 1.0, 0.6, 0.9, 0.1])]


@pytest.mark.parametrize("metric, weights", [*METRICS, ("l1", [1.0] * D)])
def test_a_call_in_a_metric_ranks_the_index_candidates_in_it(metric, weights):
    """The reference's rows in the metric bit for bit on every thread count; an
    unrelaxed row holds the k nearest in the metric, by brute force, of the ids
    the index's own infinite radius search gathers; radius rows those within it."""
    w = None if weights is None else np.array(weights)
    params = random_params(np.random.default_rng(6), d=D, L=3, K=4, b=9, probes=1)
    X = np.random.default_rng(8).random((3000, D))
    Q = np.vstack([np.random.default_rng(9).random((70, D)) * 3 - 1, X[:10]])
    ex = np.r_[np.full(70, -1), np.arange(10)]
    ix, ref = RustLshIndex(**params), PythonLshIndex(**params)
    for index in (ix, ref):
        index.build(X, 2500)
        index.retire(np.array([3, 2600]))

    def calls():
        rows = _native._query_knn_metric(ix, Q, 40, metric, w, ex, 2)
        return rows, _native._query_radius_metric(ix, Q, 0.2, metric, w, ex, 2)

    rows, within = calls()
    want = (*ref._query_knn(Q, 40, ex, 2, metric=(metric, w)), *ref._query_radius(Q, 0.2, ex, 2, metric=(metric, w)))
    same((*rows, *within), want)
    for limit in (1, 2):
        with plovik.thread_limit(limit):
            again = calls()
        same((*again[0], *again[1]), want)
    cand_ptr, cand_ids, _ = _native._query_radius(ix, Q, np.inf, ex, 2)
    relaxed = 0
    for q in range(len(Q)):
        ids = cand_ids[cand_ptr[q] : cand_ptr[q + 1]]
        bits = metric_bits(X[ids], Q[q], metric, w)
        if ids.size < 40:  # too few candidates: the row was relaxed
            relaxed += 1
            continue
        order = np.lexsort((ids, bits))[:40]
        assert np.array_equal(rows[0][q], ids[order]) and np.array_equal(rows[1][q], _widen(bits[order]))
        hit = np.lexsort((ids, bits))[np.sort(bits).view(np.float32) <= np.float32(0.2)]
        got = slice(within[0][q], within[0][q + 1])
        assert np.array_equal(within[1][got], ids[hit]) and np.array_equal(within[2][got], _widen(bits[hit]))
    assert 0 < relaxed < len(Q), relaxed
    if weights == [1.0] * D:  # weights of 1 change no bit: the index's own per-query rows
        assert np.array_equal(rows[0][:60], _native._query_knn(ix, Q[:60], 40, ex[:60], 2)[0])


@pytest.mark.parametrize(
    "metric, weights, queries, exc, match",
    [
        ("cosine", None, (4, D), ValueError, 'expected "l1" or "euclidean"'),
        (2, None, (4, D), TypeError, "argument 'metric': expected a str"),
        ("euclidean", np.ones(D - 1), (4, D), ValueError, f"{D - 1} axis weights but the points have d = {D}"),
        ("euclidean", np.r_[1.0, 0.0, 1.0, 1.0, 1.0], (4, D), ValueError, "must be finite and positive"),
        ("l1", np.full(D, np.nan), (4, D), ValueError, "must be finite and positive"),
        ("euclidean", None, (4, D + 1), ValueError, f"queries have {D + 1} columns but the index has d = {D}"),
    ],
)
def test_bad_metrics_are_refused(metric, weights, queries, exc, match):
    ix = built(RustLshIndex, random_params(np.random.default_rng(6), d=D, L=2, K=3, b=3), 1)
    for call in (_native._query_knn_metric, _native._query_radius_metric):
        with pytest.raises(exc, match=match):
            call(ix, np.zeros(queries), 3, metric, weights)


@pytest.mark.threads
def test_thread_limits_never_change_a_row():
    rng = np.random.default_rng(12)
    search = PlovikSearch(8, seed=4, cells=3, components=6, tables=8, probes=2)
    search.build(rng.random((20_000, 8)), 15_000)
    Q = rng.random((2000, 8))
    want = search.query_knn(Q, 10)
    radius = search.query_radius(Q[:300], 0.3)
    assert plovik.thread_count() >= 1
    with plovik.thread_limit(1):
        assert plovik.thread_count() == 1
        same(search.query_knn(Q, 10), want)
        with plovik.thread_limit(3):  # the innermost limit applies (capped by the pool)
            assert plovik.thread_count() == min(3, pool_thread_count())
        assert plovik.thread_count() == 1
    same(search.query_knn(Q, 10, threads=1), want)
    same(search.query_radius(Q[:300], 0.3, threads=1), radius)
    one = PlovikSearch(8, seed=4, cells=3, components=6, tables=8, probes=2, threads=1)
    one.build(search._points(), 15_000)
    same(one.query_knn(Q, 10), want)

    # two threads with different limits at once, many times over
    results, errors = [], []

    def run(limit):
        try:
            for _ in range(5):
                got = search.query_knn(Q, 10, threads=limit)
                results.append(all(np.array_equal(a, b) for a, b in zip(got, want, strict=True)))
        except BaseException as e:  # noqa: BLE001 - any failure of the thread is reported by the test
            errors.append(e)

    threads = [threading.Thread(target=run, args=(limit,)) for limit in (1, 2, 1, 2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert errors == [] and results == [True] * 20
    # threadpoolctl (with scikit-learn; skipped without it, once all of the above passed) limits the pool
    threadpoolctl = pytest.importorskip("threadpoolctl")
    info = [lib for lib in threadpoolctl.threadpool_info() if lib["user_api"] == "plovik"]
    assert len(info) == 1 and info[0]["num_threads"] == plovik.thread_count()
    with threadpoolctl.threadpool_limits(1):
        assert plovik.thread_count() == 1
        got = search.query_knn(Q, 10)
    same(got, want)
    assert plovik.thread_count() == info[0]["num_threads"]
