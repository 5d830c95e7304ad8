"""Retired points: never returned again by any query of either tier, both
backends identical, brute force over the live points as the reference
through updates, promotions and rebuilds, and PlovikSearch's outputs
skipping them too (its exact scan: test_exact_mode.py; refused ids, on both
backends: test_binding.py)."""

import importlib.util

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from index_helpers import assert_tables_equal, random_params
from plovik import PlovikSearch, RustLshIndex
from query_helpers import assert_rows_equal, brute_row, built, counted, indexes


def live_brute(points, retired, Q, k, exclude=None):
    """Brute-force rows over the points not retired, ids mapped back; an
    excluded id that is retired excludes nothing."""
    live = np.setdiff1d(np.arange(len(points)), retired)
    idx, dist = np.full((len(Q), k), -1), np.full((len(Q), k), np.inf)
    for i, q in enumerate(Q):
        ex = -1 if exclude is None or exclude[i] not in live else int(np.searchsorted(live, exclude[i]))
        rows, dist[i] = brute_row(points[live], q, k, ex)
        idx[i] = np.where(rows >= 0, live[np.maximum(rows, 0)] if live.size else -1, -1)
    return idx, dist


def assert_none_retired(retired, *arrays):
    for a in arrays:
        assert not np.isin(a, retired).any()


@given(indexes(blocks=(0, 1, 1024)), st.data())
def test_retiring_is_never_having_held_the_points(case, data):
    """Right after retiring, the index is the one built from the live points
    alone (ids mapped back): the same tables, rows and counters on every
    query path, since each bucket holds the same entries in the same order.
    Then, through an update and a promotion, the rows and counters of both
    backends are equal and hold no retired id."""
    params, pts, n_static, rng, snap = case
    native, reference = built(params, pts, n_static)
    n, d = pts.shape
    share = data.draw(st.sampled_from([0, 1, n // 10, n // 2, n]))
    retired = rng.choice(n, min(share, n), replace=False).astype(np.int64)  # in any order
    live = np.setdiff1d(np.arange(n), retired)
    for ix in (native, reference):
        ix.retire(np.r_[retired, retired[::3]])  # an id twice in one call: retired once
        ix.retire(retired[: len(retired) // 2])  # again: nothing changes
        assert ix.n_retired == len(retired)
    fresh = RustLshIndex(**params)
    fresh.build(pts[live], int((live < n_static).sum()))
    t, f = native.tables(), fresh.tables()
    for tier in ("static", "cand_sorted"):
        assert np.array_equal(t[f"{tier}_keys"], f[f"{tier}_keys"])
        assert np.array_equal(t[f"{tier}_ids"], live[f[f"{tier}_ids"]])

    def queries():
        m = data.draw(st.sampled_from([5, 70]))  # per-query path, batched path
        k = data.draw(st.integers(1, native.n_points + 2))
        return snap(rng.random((m, d))), k, rng.integers(-1, max(native.n_points, 1), m)

    def calls(Q, k, ex):  # (method, its second argument, exclude_ids): the ids are each result's [-2]
        return ("query_knn", k, None), ("query_knn", k, ex), ("query_radius", 0.4 * d, ex)

    Q, k, ex = queries()
    ex_fresh = np.where(np.isin(ex, live), np.searchsorted(live, ex), -1)
    for ix in (native, fresh, reference):
        ix.reset_stats()
    for method, arg, e in calls(Q, k, ex):
        got = getattr(native, method)(Q, arg, e)
        want = list(getattr(fresh, method)(Q, arg, None if e is None else ex_fresh))
        # the fresh index's ids mapped back
        want[-2] = np.where(want[-2] >= 0, live[np.maximum(want[-2], 0)] if live.size else -1, -1)
        assert_rows_equal(got, want)
    assert counted(native) == counted(fresh)

    def compare(Q, k, ex):
        assert_tables_equal(native, reference)
        for method, arg, e in calls(Q, k, ex):
            got = getattr(native, method)(Q, arg, e)
            assert_rows_equal(got, getattr(reference, method)(Q, arg, e))
            assert_none_retired(retired, got[-2])
        assert counted(native) == counted(reference)

    native.reset_stats()
    compare(Q, k, ex)
    if native.n_candidates:
        moved = snap(rng.random((native.n_candidates, d)))
        for ix in (native, reference):
            ix.update(moved)
        compare(*queries())
    rows = snap(rng.random((5, d)))
    for ix in (native, reference):
        ix.promote(rows)
    assert native.n_retired == reference.n_retired == len(retired)
    compare(*queries())


@pytest.mark.parametrize(
    "b, K, L, probes, d, block",
    [
        (3, 3, 3, 2, 4, 1024),  # a dense directory
        (2**12, 3, 3, 2, 4, 1024),  # occupied buckets
        *((1, 2, 3, 2, d, block) for d, block in ((3, 1024), (5, 1), (8, 1))),  # one bucket gathers everything
        (2, 1, 1, 0, 8, 1024),  # batched at d = 8, one table, no probes: each pair measured once
    ],
)
def test_retired_points_through_epochs(b, K, L, probes, d, block):
    """Through updates, promotions, retirements in both tiers and a rebuild
    (which starts with none retired), a retired point never has an entry
    again, while cand_keys lists every candidate's key; both backends' tables
    and rows stay identical, also when a tier loses every entry; with one
    bucket the rows are exactly those of a brute force over the live points.
    At d = 8 a row measured in a group of four has another sum than a row of
    a tile's tail: the tiles and their groups are cut from the live entries."""
    rng = np.random.default_rng(b + d)
    params = random_params(rng, d, L, K, b, probes=probes, block=block)
    pts = rng.random((400, d))  # every point's coordinates as they are now
    native, reference = built(params, pts, 300)
    retired = np.r_[rng.choice(300, 60, replace=False), 300 + rng.choice(100, 25, replace=False)]
    Q = rng.random((70, d))

    def check(n_live_static, n_live_cand):
        assert_tables_equal(native, reference)
        assert native.n_retired == reference.n_retired == np.unique(retired).size
        t = native.tables()
        live = np.setdiff1d(np.arange(native.n_points), retired)
        for tier, lo, hi, count in (
            ("static", 0, native.n_static, n_live_static),
            ("cand_sorted", native.n_static, native.n_points, n_live_cand),
        ):
            want = live[(live >= lo) & (live < hi)]
            assert t[f"{tier}_ids"].shape == (L, count) == (L, want.size)
            for row_keys, row_ids in zip(t[f"{tier}_keys"], t[f"{tier}_ids"], strict=True):
                assert np.array_equal(np.sort(row_ids), want) and (np.diff(row_keys) >= 0).all()
        every = RustLshIndex(**params)  # every candidate's key, retired or not
        every.build(pts[native.n_static :], 0)
        assert np.array_equal(t["cand_keys"], every.tables()["cand_keys"])
        k = live.size + 3  # beyond the live points: padded rows
        ex = np.where(rng.random(70) < 0.5, rng.choice(np.r_[retired, -1], 70), np.arange(70))  # retired ones too
        for m, k_m, ex_m in ((70, 10, None), (70, k, ex), (5, k, ex[:5])):  # batched and per query
            got = native.query_knn(Q[:m], k_m, ex_m)
            assert_rows_equal(got, reference.query_knn(Q[:m], k_m, ex_m))
            assert_none_retired(retired, got[0])
            assert (got[0][:, live.size :] == -1).all()
            if b == 1:
                assert_rows_equal(got, live_brute(pts, retired, Q[:m], k_m, ex_m))
        got = native.query_radius(Q, 0.2 * d, ex)
        assert_rows_equal(got, reference.query_radius(Q, 0.2 * d, ex))
        assert_none_retired(retired, got[1])

    def on_both(method, *args):
        for ix in (native, reference):
            getattr(ix, method)(*args)

    on_both("retire", retired)
    check(240, 75)
    pts[300::2] = rng.random((50, d))  # retired candidates move too
    on_both("update", pts[300:])
    check(240, 75)
    pts = np.r_[pts, rng.random((50, d))]
    on_both("promote", pts[400:])  # retired candidates are archived, retired; new ids are live
    check(315, 50)
    retired = np.r_[retired, np.arange(400, 450)]  # the whole new batch: no candidate entry left
    on_both("retire", np.arange(400, 450))
    check(315, 0)
    pts[400:] = rng.random((50, d))
    pts = np.r_[pts, rng.random((20, d))]
    on_both("update", pts[400:450])
    on_both("promote", pts[450:])  # nothing of the candidates to archive
    check(315, 20)
    retired = np.r_[retired, np.arange(450)]
    on_both("retire", np.arange(450))  # the whole static tier
    check(0, 20)
    pts = np.r_[pts, rng.random((10, d))]
    on_both("promote", pts[470:])
    check(20, 10)
    on_both("build", pts, 100)
    retired = np.zeros(0, np.int64)
    check(100, 380)


# ------------------------------------------------------------ PlovikSearch


@pytest.mark.parametrize("backend", ["native", "reference"])
def test_search_outputs_skip_retired_points(backend):
    X = np.random.default_rng(5).random((3000, 6))
    s = PlovikSearch(6, seed=1, backend=backend, cells=3, components=5, tables=8, probes=3)
    s.build(X, 2500)
    full = s.pairs(0.15, return_distance=False)  # before any point is retired
    retired = np.r_[np.arange(0, 3000, 7), 2990]
    s.retire(retired)
    s.retire(int(retired[0]))  # a single integer, again
    assert (s.n_retired, s.n_live, len(s), s.n_points) == (len(retired), 3000 - len(retired), 3000, 3000)
    Q = X[:100]
    idx = s.query_knn(Q, 8, return_distance=False)
    indptr, ids = s.query_radius(Q, 0.4, return_distance=False)
    pairs = s.pairs(0.15, return_distance=False)
    assert_none_retired(retired, idx, ids, pairs)
    assert np.array_equal(s.query_radius(Q, 0.4, count_only=True), np.diff(indptr))
    if importlib.util.find_spec("scipy") is not None:  # the sparse extra
        assert not np.isin(s.query_knn(Q, 8, sparse=True).indices, retired).any()
    # Every live pair found from either end is reported, exactly as without retiring.
    keep = ~np.isin(full, retired).any(axis=1)
    assert set(map(tuple, pairs.tolist())) <= set(map(tuple, full[keep].tolist()))
    # Moving and archiving keeps them retired; the new batch is live.
    s.update(np.random.default_rng(1).random((500, 6)))
    s.promote(np.random.default_rng(2).random((50, 6)))
    assert_none_retired(retired, s.query_knn(X[:100], 8)[0])
    assert s.n_live == 3050 - len(retired)
    est = s.estimate_recall(k=5, sample=100)
    assert est.sample == 100 and 0.0 <= est.recall <= 1.0
    with pytest.raises(ValueError, match="not retired"):
        s.estimate_recall(sample=3050 - len(retired) + 1)
    s.retune()  # a rebuild that keeps ids keeps them retired
    assert s.n_retired == len(retired)
    assert_none_retired(retired, s.query_knn(X[:100], 8)[0])
    s.build(X)  # a new index: nothing retired
    assert s.n_retired == 0 and np.isin(s.query_knn(X[:100], 8)[0], retired).any()
