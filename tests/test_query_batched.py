"""The blocked batch path of query_knn: the d = 8 / 16 / 24 kernels and the
order of offering, exclusion inside a block, the path choice and the
counters of both paths."""

import numpy as np
import pytest

from index_helpers import random_params
from plovik import RustLshIndex
from plovik.lsh import PythonLshIndex
from plovik.threads import thread_limit
from query_helpers import COUNTERS, F32, KERNEL_DIMS, assert_rows_equal, built, counted, torus_l1, wrap_f32


def batched_distance(q, p, d, in_group):
    """The blocked kernels' sums, written out term by term."""
    a = np.abs(wrap_f32(q) - wrap_f32(p))
    m = np.where(a < F32(1) - a, a, F32(1) - a)

    def g(i):  # group i, four lanes per row
        return m[:, 4 * i : 4 * i + 4]

    def h(x):
        return (x[:, 0] + x[:, 1]) + (x[:, 2] + x[:, 3])

    if d == 8:
        grouped = (((m[:, 0] + m[:, 1]) + (m[:, 2] + m[:, 3])) + ((m[:, 4] + m[:, 5]) + m[:, 6])) + m[:, 7]
        return np.where(in_group, grouped, h(g(0) + g(1)))
    if d == 16:
        return h((g(0) + g(2)) + (g(1) + g(3)))
    return h(((g(0) + g(4)) + g(2)) + ((g(1) + g(5)) + g(3)))


@pytest.mark.parametrize("d", [1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 21, 24, 32, 33, 37])
def test_distances_follow_the_association_of_each_path(d):
    # One bucket of 139 points: a tile of 128 rows, then one of 11 (two groups of four, three
    # alone). Blocks of two queries measure it through the tile, the last block's one query where
    # the points lie; four queries take the per-query path. Coordinates spread over decades.
    rng = np.random.default_rng(d)
    native = RustLshIndex(**random_params(rng, d, 1, 1, 1, probes=0, block=2))
    pts = rng.random((139, d)) ** rng.uniform(0.5, 6, d)
    native.build(pts, 100)  # ids ascend through the bucket, static tier first
    q = rng.random((65, d))
    idx, dist = native.query_knn(q, 139)
    assert native.stats()["cands"] == 0  # the blocked path answered
    general = [torus_l1(x, pts) for x in q]
    in_group = np.arange(139) < 136
    want = [
        batched_distance(x[None, :], pts, d, in_group) if d in KERNEL_DIMS else g
        for x, g in zip(q, general, strict=True)
    ]
    assert any((w != g).any() for w, g in zip(want, general, strict=True)) == (d in KERNEL_DIMS)
    rows = list(zip(idx, dist, want, strict=True)) + list(zip(*native.query_knn(q[:4], 139), general[:4], strict=True))
    for ids, row, w in rows:
        order = np.argsort(ids)
        assert ids[order].tolist() == list(range(139)) and row[order].tolist() == w.astype(np.float64).tolist()


def test_d8_rows_keep_the_offer_order():
    # With d = 8 a point offered from a full group of four and from a row alone gets distances
    # differing in the last bit; which a heap keeps follows the order of offering. Queries next
    # to points make such points contend for the last places of their rows.
    for seed in range(12):
        rng = np.random.default_rng(seed)
        L, K, b = int(rng.integers(2, 6)), int(rng.integers(1, 3)), int(rng.choice([2, 3]))
        n = int(rng.integers(20, 200))
        pts = rng.random((n, 8))
        native, reference = built(random_params(rng, 8, L, K, b, probes=1), pts, n // 2)
        q = pts[rng.integers(0, n, 64)] + 1e-4
        for k in (1, 2, 5):
            assert_rows_equal(native.query_knn(q, k), reference.query_knn(q, k))


def test_counters_of_both_paths_and_calls_that_count_nothing():
    rng = np.random.default_rng(12)
    pts = rng.random((2000, 6))
    params = random_params(rng, 6, 4, 3, 5, probes=2, block=77)
    native, reference = built(params, pts, 1500)
    zero = dict.fromkeys(COUNTERS, 0) | {"block": 77}
    assert native.stats() == zero and list(native.stats()) == [*COUNTERS, "block"]
    q, exclude = rng.random((300, 6)), rng.integers(0, 2000, 300)
    for ix in (native, reference):
        ix.query_knn(q[:40], 5)  # per-query path
    s = native.stats()
    assert s["queries"] == 40 and s["cands"] == s["pairs"] > 0 and counted(native) == counted(reference)
    for ix in (native, reference):
        ix.query_knn(q, 5, exclude)  # blocked path
    after = native.stats()
    assert after["gather_ns"] == s["gather_ns"] and after["cands"] == s["cands"]
    assert after["queries"] == 340 and after["pairs"] > s["pairs"] and counted(native) == counted(reference)
    for block, threads in ((1024, 1), (0, 3), (2, 7), (50, 2)):  # however the reference cuts blocks
        other = PythonLshIndex(**{**params, "block": block})
        other.threads = threads
        other.build(pts, 1500)
        other.query_knn(q[:40], 5)
        other.query_knn(q, 5, exclude)
        assert counted(other) == counted(native)
    native.query_radius(q, 0.3)
    for rows, k in ((q, 0), (q[:40], 0), (q[:0], 5)):  # k = 0 runs no path, nor does an empty batch
        native.query_knn(rows, k)
    native.update(rng.random((500, 6)))
    native.promote(rng.random((50, 6)))
    native.build(pts, 400)
    assert native.stats() == after
    native.reset_stats()
    assert native.stats() == zero


def test_a_large_k_cuts_blocks_smaller_and_keeps_the_rows():
    # k = 2,100 caps a block at 2**20 // k = 499 queries: on one worker, 520 go in blocks of 499
    # and 21. The rows are those of blocks of 64 and, across the cut, the reference's.
    rng = np.random.default_rng(11)
    params = random_params(rng, d=6, L=3, K=2, b=3)
    pts, q = rng.random((3000, 6)), rng.random((520, 6))
    rows = []
    for block in (0, 64):
        native, reference = built(params, pts, 2500, block=block)
        with thread_limit(1):
            rows.append(native.query_knn(q, 2100))
        assert native.stats()["queries"] == 520
    assert_rows_equal(rows[0], rows[1])
    assert_rows_equal([r[440:] for r in rows[0]], reference.query_knn(q[440:], 2100))
