"""The NumPy reference index on its own: hash codes, probe order, range lookups, the tie orders
of the epochs and rows against brute force (worked examples of rows: the native index's tests)."""

import itertools

import numpy as np
import pytest

from plovik.lsh import PythonLshIndex
from query_helpers import F32, brute_row


def index(b, K, L, probes, d, *, s=None, u=None, block=1024, seed=0):
    rng = np.random.default_rng(seed)
    s = rng.integers(0, d, (L, K)) if s is None else np.asarray(s)
    u = np.zeros((L, K)) if u is None else np.asarray(u)
    return PythonLshIndex(b, K, L, probes, s, u, block=block)


def test_keys_codes_and_fractions():
    ix = index(4, 2, 1, 0, 2, s=[[0, 1]])
    codes, fracs, key = ix._table_codes(np.array([[0.30, 0.80]]), 0, True)
    assert codes.tolist() == [[1, 3]] and key.tolist() == [13] and fracs[0].tolist() == pytest.approx([0.2, 0.2])
    x = np.array([[0.0], [0.999999999], [-1e-20], [0.25], [1.25], [-0.75], [np.nan]])
    codes, fracs, _ = index(4, 1, 1, 0, 1, s=[[0]])._table_codes(x, 0, True)
    assert codes[:, 0].tolist() == [0, 3, 3, 1, 1, 1, 0]
    assert fracs[:6, 0].tolist() == [0.0, pytest.approx(0.999999996), 1.0, 0.0, 0.0, 0.0] and np.isnan(fracs[6, 0])


def test_probe_order_and_range_lookups():
    ix = index(4, 3, 1, 3, 3, s=[[0, 1, 2]])
    ix.build(np.zeros((1, 3)), 1)
    # codes (2, 0, 3), fractions (0.9, 0.3, 0.5): base 50, then 51, then 62;
    # a third probe flips the centred component upward, wrapping cell 3 to 0
    assert ix._probe_keys(np.array([[2.9 / 4, 0.3 / 4, 3.5 / 4]]))[0, 0].tolist() == [50, 51, 62, 2]
    rng = np.random.default_rng(3)
    ix = index(4, 2, 3, 1, 2, seed=3)
    ix.build(rng.random((120, 2)), 70)
    t = ix.tables()
    tiers = [(t["static_keys"], t["static_ids"]), (t["cand_sorted_keys"], t["cand_sorted_ids"])]
    for tab, lo, span in itertools.product(range(3), range(-2, 18), (1, 4, 16)):
        for (keys, ids), part in zip(tiers, ix._range_ids(tab, lo, span), strict=True):
            inside = (keys[tab] >= lo) & (keys[tab] < lo + span)
            assert part.tolist() == ids[tab][inside].tolist()


def test_update_merges_moved_before_kept():
    def tier(b, cand, moves):
        ix = index(b, 1, 1, 0, 1, s=[[0]])
        ix.build(np.array([[0.0]] * 10 + [[(c + 0.5) / b] for c in cand]), 10)
        ix.update(np.array([[(c + 0.5) / b] for c in moves]))
        t = ix.tables()
        return t["cand_sorted_keys"][0].tolist(), t["cand_sorted_ids"][0].tolist()

    assert tier(4, [3, 2, 1, 3], [3, 2, 2, 3]) == ([2, 2, 3, 3], [12, 11, 10, 13])
    assert tier(8, [1, 2, 5], [5, 5, 5]) == ([5, 5, 5], [10, 11, 12])
    assert tier(8, [5, 0, 3], [5, 0, 5]) == ([0, 5, 5], [11, 12, 10])
    assert tier(8, [4, 6, 7], [7, 6, 4])[1] == [12, 11, 10]  # away and back is re-placed


def test_promote_merges_candidates_first():
    ix = index(4, 1, 1, 0, 1, s=[[0]])
    ix.build(np.array([[0.3], [0.6], [0.6], [0.55], [0.8]]), 3)
    ix.promote(np.zeros((0, 1)))
    t = ix.tables()
    assert t["static_keys"][0].tolist() == [1, 2, 2, 2, 3] and t["static_ids"][0].tolist() == [0, 3, 1, 2, 4]
    assert (ix.n_points, ix.n_static, ix.n_candidates) == (5, 5, 0)
    ix = index(8, 1, 1, 0, 1, s=[[0]])
    pts = np.full((41, 1), 0.05)
    pts[3] = pts[40] = 7.5 / 8
    ix.build(pts, 40)
    ix.promote(np.array([[0.9], [0.1]]))
    t = ix.tables()
    assert t["static_ids"][0][-2:].tolist() == [40, 3] and t["cand_sorted_ids"][0].tolist() == [42, 41]
    ix.promote(np.array([[0.2]]))  # two in a row: the batch installed above is merged
    assert ix.n_static == 43 and ix.tables()["cand_sorted_ids"].tolist() == [[43]]


@pytest.mark.parametrize(
    "d, block, m, threads", [(1, 1024, 70, 1), (2, 1, 70, 3), (3, 0, 64, 7), (3, 50, 63, 2), (2, 2, 130, 3)]
)
def test_full_gather_equals_brute_force(d, block, m, threads):
    # b = 2, K = 1 and a flip probe: every query reaches every point, however
    # the blocks are cut among the workers
    rng = np.random.default_rng(d + m)
    ix = index(2, 1, 3, 1, d, u=rng.random((3, 1)), block=block, seed=d)
    ix.threads = threads
    pts = np.round(rng.random((90, d)) * 6) / 6  # duplicates and ties
    ix.build(pts, 60)
    ix.update(np.round(rng.random((30, d)) * 6) / 6)
    pts[60:] = ix._f64[60:]
    q = np.round(rng.random((m, d)) * 6) / 6
    ex = rng.integers(-1, 90, m)
    rows = {k: ix.query_knn(q, k, exclude_ids=ex) for k in (1, 5, 100)}
    indptr, ids, dists = ix.query_radius(q, 0.25, exclude_ids=ex)
    for i in range(m):
        for k, (idx, dist) in rows.items():
            want = brute_row(pts, q[i], k, ex[i])
            assert (idx[i].tolist(), dist[i].tolist()) == (want[0].tolist(), want[1].tolist())
        want_ids, want_d = brute_row(pts, q[i], 90, ex[i])
        inside = want_d <= F32(0.25)
        assert ids[indptr[i] : indptr[i + 1]].tolist() == want_ids[inside].tolist()
        assert dists[indptr[i] : indptr[i + 1]].tolist() == want_d[inside].tolist()
    assert ix.stats()["relaxed"] == 0
