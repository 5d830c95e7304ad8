"""The NumPy reference index: worked examples, edge cases and brute force."""

import itertools
import math
import os

import numpy as np
import pytest

from plovik.lsh import PythonLshIndex, pool_thread_count

F = np.float32


def index(b, K, L, probes, d, *, s=None, u=None, block=1024, seed=0):
    rng = np.random.default_rng(seed)
    s = rng.integers(0, d, (L, K)) if s is None else np.asarray(s)
    u = np.zeros((L, K)) if u is None else np.asarray(u)
    return PythonLshIndex(b, K, L, probes, s, u, block=block)


def term(q, p):
    """One coordinate's term, both sides wrapped onto [0, 1) first."""
    a = F(abs(F(q - math.floor(q)) - F(p - math.floor(p))))
    return a if a < F(1) - a else F(1) - a


def dist_left(q, p):
    """Single-precision toroidal L1 for d < 4: s = m[c] + s, left to right."""
    s = F(0)
    for a, b in zip(q, p):
        s = F(term(a, b) + s)
    return s


def dist_d16_batched(q, p):
    m = [term(a, b) for a, b in zip(q, p)]
    g = [F(F(m[i] + m[8 + i]) + F(m[4 + i] + m[12 + i])) for i in range(4)]
    return F(F(g[0] + g[1]) + F(g[2] + g[3]))


def brute(points, q, k, dist, exclude=-1):
    rows = sorted((int(np.array(dist(q, p), F).view(np.uint32)), i) for i, p in enumerate(points) if i != exclude)
    ids = [i for _, i in rows[:k]] + [-1] * max(0, k - len(rows))
    ds = [float(np.array(b, np.uint32).view(F)) for b, _ in rows[:k]] + [math.inf] * max(0, k - len(rows))
    return ids, ds


def test_keys_codes_and_fractions():
    ix = index(4, 2, 1, 0, 2, s=[[0, 1]])
    codes, fracs, key = ix._table_codes(np.array([[0.30, 0.80]]), 0, True)
    assert codes.tolist() == [[1, 3]] and key.tolist() == [13]
    assert fracs[0].tolist() == pytest.approx([0.2, 0.2])
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


def test_build_tables():
    rng = np.random.default_rng(1)
    ix = index(3, 2, 2, 1, 3, seed=1)
    assert [a.shape for a in ix.tables().values()] == [(2, 0)] * 5 and ix.n_points == 0
    pts = np.round(rng.random((40, 3)) * 3) / 3  # many equal keys
    ix.build(pts, 25)
    t = ix.tables()
    assert list(t) == ["static_keys", "static_ids", "cand_keys", "cand_sorted_keys", "cand_sorted_ids"]
    for keys, ids, base in ((t["static_keys"], t["static_ids"], 0), (t["cand_sorted_keys"], t["cand_sorted_ids"], 25)):
        for row_k, row_i in zip(keys, ids):
            assert list(zip(row_k, row_i)) == sorted(zip(row_k, row_i))
            assert sorted(row_i) == list(range(base, base + len(row_i)))
    assert (t["cand_keys"][np.arange(2)[:, None], t["cand_sorted_ids"] - 25] == t["cand_sorted_keys"]).all()
    # refused builds: tests/test_binding.py, on both backends
    empty = index(2, 1, 1, 1, 2)
    empty.build(np.zeros((0, 2)), 0)
    assert empty.query_knn(np.zeros((3, 2)), 2)[0].tolist() == [[-1, -1]] * 3


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


def test_unbuilt_index_answers_padding():
    # (refused calls: tests/test_binding.py, on both backends)
    ix = index(4, 2, 2, 1, 3, seed=2)
    ix.update(np.zeros((0, 3)))
    assert ix.query_knn(np.zeros((2, 7)), 2)[0].tolist() == [[-1, -1]] * 2
    assert ix.query_radius(np.zeros((2, 7)), 1.0)[0].tolist() == [0, 0, 0]
    assert ix.stats()["queries"] == 2 and ix.stats()["pairs"] == 0


@pytest.mark.parametrize("d, block, m", [(1, 1024, 70), (2, 1, 70), (3, 0, 64), (3, 50, 63), (2, 2, 130)])
def test_full_gather_equals_brute_force(d, block, m):
    # b = 2, K = 1 and a flip probe: every query reaches every point
    rng = np.random.default_rng(d + m)
    ix = index(2, 1, 3, 1, d, u=rng.random((3, 1)), block=block, seed=d)
    pts = np.round(rng.random((90, d)) * 6) / 6  # duplicates and ties
    ix.build(pts, 60)
    ix.update(np.round(rng.random((30, d)) * 6) / 6)
    pts[60:] = ix._f64[60:]
    q = np.round(rng.random((m, d)) * 6) / 6
    ex = rng.integers(-1, 90, m)
    for k in (1, 5, 100):
        idx, dist = ix.query_knn(q, k, exclude_ids=ex)
        for i in range(m):
            assert (idx[i].tolist(), dist[i].tolist()) == brute(pts, q[i], k, dist_left, ex[i])
    indptr, ids, dists = ix.query_radius(q, 0.25, exclude_ids=ex)
    for i in range(m):
        want = [(b, j) for j, b in zip(*brute(pts, q[i], 90, dist_left, ex[i])) if b <= np.float32(0.25)]
        assert list(zip(dists[indptr[i] : indptr[i + 1]], ids[indptr[i] : indptr[i + 1]])) == want
    assert ix.stats()["relaxed"] == 0


def test_ties_radius_edges_and_counters():
    ix = index(1, 2, 3, 2, 1, s=[[0, 0]] * 3)
    pts = np.array([[0.05]] * 10)
    pts[[3, 7, 9], 0] = [0.25, 0.75, 0.25]
    ix.build(pts, 5)
    q = np.full((64, 1), 0.5)
    assert ix.query_knn(q[:1], 2)[0].tolist() == [[3, 7]]  # (δ, 9) loses the tie
    s = ix.stats()
    assert (s["queries"], s["cands"], s["pairs"]) == (1, 10, 10)
    ix.reset_stats()
    ix.query_knn(q, 2)
    s = ix.stats()  # b = 1: every query probes the one bucket 3 times per table
    assert (s["queries"], s["cands"], s["gather_ns"], s["pairs"], s["block"]) == (64, 0, 0, 64 * 3 * 3 * 10, 1024)
    before = ix.stats()
    assert ix.query_knn(q, 0)[0].shape == (64, 0) and ix.query_knn(q[:0], 3)[1].shape == (0, 3)
    indptr, ids, dists = ix.query_radius(q[:3], 0.25, exclude_ids=np.array([7, 3, -1, 5]))
    assert indptr.tolist() == [0, 2, 4, 7] and ids.tolist() == [3, 9, 7, 9, 3, 7, 9] and dists[0] == 0.25
    for r in (-1.0, float("nan")):
        assert ix.query_radius(q[:2], r)[0].tolist() == [0, 0, 0]
    assert ix.stats() == before
    ix.reset_stats()
    assert set(ix.stats().values()) == {0, 1024}


def test_relaxation_levels_and_fallback():
    ix = index(4, 3, 1, 0, 3, s=[[0, 1, 2]])
    q = np.array([[2.9 / 4, 0.3 / 4, 3.5 / 4]])  # key 50; level 1 = 48..51, level 2 = 48..63
    near = [2.9 / 4, 0.3 / 4, 0.74]  # key 34: nearest, but outside level 2
    far = [[0.3, 0.6, 0.875], [0.1, 0.6, 0.9], [0.3, 0.9, 0.95], [0.05, 0.95, 0.99]]  # keys 52..63
    ix.build(np.array([near] + far + [[0.01, 0.01, 0.01]] * 5), 10)
    idx, _ = ix.query_knn(q, 1)
    assert ix.stats()["relaxed"] == 1 and idx[0, 0] != 0 and idx[0, 0] in range(1, 5)
    # twelve identical tables: one point counts twelve times and reaches 4k,
    # but the row stays short, so the full fallback answers it
    rng = np.random.default_rng(5)
    pts = rng.random((40, 2)) * [1, 0.5] + [0, 0.5]
    pts[0] = [0.3, 0.1]  # alone in its band of the second coordinate
    many = index(64, 2, 12, 0, 2, s=[[0, 1]] * 12)
    many.build(pts, 40)
    q = pts[:1] + 1e-9
    idx, dist = many.query_knn(q, 3)
    assert (idx[0].tolist(), dist[0].tolist()) == brute(pts, q[0], 3, dist_left) and many.stats()["relaxed"] == 1


def test_batched_kernels_and_block_independence(monkeypatch):
    rng = np.random.default_rng(7)
    most = min(4 * (os.cpu_count() or 1), 1024)
    for key, value, want in (("RAYON_NUM_THREADS", "3", min(3, most)), ("RAYON_RS_NUM_CPUS", "5", min(3, most)),
                             ("RAYON_NUM_THREADS", "x", min(5, most)), ("RAYON_NUM_THREADS", "0", os.cpu_count() or 1),
                             ("RAYON_NUM_THREADS", str(3 * 2**61), most), ("RAYON_NUM_THREADS", "9" * 5000, min(5, most))):
        monkeypatch.setenv(key, value)
        assert pool_thread_count() == want
    pts, q = rng.random((300, 16)), rng.random((70, 16))
    rows = []
    for block, threads in ((1024, 1), (0, 7), (2, 3)):
        ix = index(1, 1, 1, 0, 16, block=block)  # one bucket: every id offered once
        ix.threads = threads
        ix.build(pts, 200)
        rows.append(ix.query_knn(q, 4, exclude_ids=np.arange(70)))
        assert ix.stats()["pairs"] == 70 * 300
    for i in range(70):
        assert (rows[0][0][i].tolist(), rows[0][1][i].tolist()) == brute(pts, q[i], 4, dist_d16_batched, i)
    assert all((a[0] == rows[0][0]).all() and (a[1] == rows[0][1]).all() for a in rows)
    # d = 8: rows in a full group of four use the unrolled association
    ix = index(1, 1, 1, 0, 8)
    ix.build(rng.random((139, 8)), 139)
    q = np.repeat(rng.random((1, 8)), 64, axis=0)
    idx, dist = ix.query_knn(q, 139)
    m = [[term(a, b) for a, b in zip(q[0], p)] for p in ix._f32]
    full = [F(F(F(F(r[0] + r[1]) + F(r[2] + r[3])) + F(F(r[4] + r[5]) + r[6])) + r[7]) for r in m]
    lane = [F(F(F(r[0] + r[4]) + F(r[1] + r[5])) + F(F(r[2] + r[6]) + F(r[3] + r[7]))) for r in m]
    want = {i: (full[i] if i < 136 else lane[i]) for i in range(139)}  # tiles of 128 and 8 + 3 rows
    assert full[128:136] != lane[128:136] and full[136:] != lane[136:]
    assert {int(i): F(v) for i, v in zip(idx[0], dist[0])} == want
