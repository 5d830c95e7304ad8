"""k-nearest and radius rows of the native index on both paths against the NumPy reference, the
per-query path and brute force where every point is reached; worked examples, the relaxation."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from index_helpers import EDGE_OFFSETS, assert_tables_equal, edge_values, random_params
from plovik import RustLshIndex
from query_helpers import (
    F32,
    KERNEL_DIMS,
    assert_rows_equal,
    brute_row,
    built,
    check_row,
    counted,
    indexes,
    ordered,
    reached,
    torus_l1,
)


@settings(max_examples=150)
@given(indexes(blocks=(0, 1, 2, 50, 1024)), st.data())
def test_rows_equal_the_reference_the_per_query_path_and_the_models(index, data):
    params, pts, n_static, rng, snap = index
    n, d = pts.shape
    m = data.draw(st.one_of(st.integers(0, 63), st.sampled_from([64, 65, 101, 200])), "m")
    k = data.draw(st.sampled_from([0, 1, 3, 10, n + 3]), "k")
    mode = data.draw(st.sampled_from(["none", "random", "own"]), "exclude")
    q, exclude = snap(rng.random((m, d))), None
    if mode == "own" and n:
        # each query sits on a point and excludes it: the id lies in its buckets and probes
        exclude = rng.integers(0, n, m)
        q = pts[exclude] + rng.uniform(-1e-6, 1e-6, (m, d))
    elif mode == "random":
        exclude = rng.integers(-1, n + 2, m)
    native, reference = built(params, pts, n_static)
    got = native.query_knn(q, k, exclude)
    assert [a.dtype for a in got] == [np.int64, np.float64] and got[0].shape == got[1].shape == (m, k)
    assert_rows_equal(got, reference.query_knn(q, k, exclude))
    assert counted(native) == counted(reference)
    blocked = m >= 64 and params["block"] != 1
    s = native.stats()
    assert s["cands"] == (0 if blocked else s["pairs"])  # only the per-query path gathers
    exact = not (blocked and d in KERNEL_DIMS)
    for i in range(m):
        check_row(pts, q[i], got[0][i], got[1][i], -1 if exclude is None else exclude[i], exact)
    if blocked and exact:
        per_query, _ = built(params, pts, n_static, block=1)
        assert_rows_equal(got, per_query.query_knn(q, k, exclude))
        assert per_query.stats()["relaxed"] == s["relaxed"]
    # radius rows: exactly the reached points within the single-precision cutoff
    q, exclude = q[:40], None if exclude is None else exclude[:40]
    radius = data.draw(st.sampled_from([0.0, 0.1, 0.3, 1.0]), "radius") * d / 4
    indptr, ids, dists = got = native.query_radius(q, radius, exclude)
    assert [a.dtype for a in got] == [np.int64, np.int64, np.float64]
    assert indptr.shape == (len(q) + 1,) and indptr[0] == 0 and ids.shape == dists.shape == (indptr[-1],)
    assert_rows_equal(got, reference.query_radius(q, radius, exclude))
    for i in range(len(q)):
        cands = np.setdiff1d(reached(native, reference, q[i]), [-1 if exclude is None else exclude[i]])
        d32 = torus_l1(q[i], pts[cands]) if cands.size else np.zeros(0, F32)
        want_ids, want_d = ordered(cands[d32 <= F32(radius)], d32[d32 <= F32(radius)])
        assert ids[indptr[i] : indptr[i + 1]].tolist() == want_ids.tolist()
        assert dists[indptr[i] : indptr[i + 1]].tolist() == want_d.astype(np.float64).tolist()


@settings(max_examples=30)
@given(
    seed=st.integers(0, 2**32 - 1), b=st.sampled_from([1, 2]), k=st.sampled_from([1, 4, 50]), m=st.sampled_from([8, 70])
)
def test_rows_equal_brute_force_when_every_point_is_reached(seed, b, k, m):
    # b = 1 puts every point in one bucket, probed 1 + P times per table; b = 2 with K = 1 and
    # one flip probes both cells: the search is exhaustive. 70 queries take the blocked path.
    rng = np.random.default_rng(seed)
    d = int(rng.choice([x for x in range(1, 25) if m < 64 or x not in KERNEL_DIMS]))
    L = int(rng.integers(1, 4))
    K, P = (int(rng.integers(1, 4)), int(rng.integers(0, 3))) if b == 1 else (1, 1)
    native = RustLshIndex(**random_params(rng, d, L, K, b, probes=P, block=16))
    pts = rng.random((40, d))
    pts[rng.integers(0, 40, 8)] = pts[rng.integers(0, 40, 8)]  # duplicates
    native.build(pts, 25)
    q = np.r_[rng.random((m - 3, d)), pts[:3]]
    exclude = rng.integers(-1, 40, m)
    idx, dist = native.query_knn(q, k, exclude)
    for i in range(m):
        assert_rows_equal((idx[i], dist[i]), brute_row(pts, q[i], k, exclude[i]))
    s = native.stats()
    assert s["relaxed"] == 0
    if m < 64:  # the per-query path measures each reached point once
        assert s["pairs"] == m * 40
    elif b == 1:  # the blocked path once per probe of the one bucket (at most K flips)
        assert s["pairs"] == m * L * (1 + min(P, K)) * 40


def test_ties_go_to_the_smaller_id_and_coordinates_wrap():
    # worked examples; ties and wrapping on the edges of the hash: the edge-coordinate test below
    native = RustLshIndex(1, 1, 1, 0, np.zeros((1, 1), np.int64), np.zeros((1, 1)))
    pts = np.array([[0.05]] * 10)
    pts[[3, 7, 9], 0] = [0.25, 0.75, 0.25]  # all at 0.25 from 0.5
    native.build(pts, 5)
    assert_rows_equal(native.query_knn(np.array([[0.5]]), 2), ([[3, 7]], [[0.25, 0.25]]))
    # a difference of 0.5 counts 0.5, one of 0.75 counts 0.25
    native.build(np.array([[0.0], [0.75]]), 2)
    assert_rows_equal(native.query_knn(np.array([[0.5], [0.0]]), 2), ([[1, 0], [0, 1]], [[0.25, 0.5], [0.0, 0.25]]))
    # stored coordinates and queries are measured wrapped
    native.build(np.array([[1.25], [-0.75], [0.3], [2.0]]), 2)
    assert_rows_equal(native.query_knn(np.array([[0.25], [-1.0]]), 2), ([[0, 1], [3, 0]], [[0.0, 0.0], [0.0, 0.25]]))


EDGES = edge_values()


@settings(max_examples=60)
@given(
    seed=st.integers(0, 2**32 - 1),
    palette=st.one_of(st.lists(st.sampled_from(EDGES.tolist()), min_size=1, max_size=5), st.just(EDGES.tolist())),
    b=st.integers(1, 5),
    K=st.integers(1, 3),
    L=st.integers(1, 5),
    probes=st.integers(0, 4),
    d=st.sampled_from([1, 2, 3, 8]),
    m=st.sampled_from([5, 64, 90]),
    block=st.sampled_from([0, 1, 16]),
    k=st.sampled_from([1, 4, 30]),
)
def test_edge_coordinates_give_the_reference_tables_and_rows(seed, palette, b, K, L, probes, d, m, block, k):
    # Coordinates, offsets and queries of edge values: every key, probe and tie sits on an edge of
    # the hash, distances tie and points repeat; some queries exclude the point they sit on. Where
    # every point is reached (b = 1, or b = 2 and K = 1 with a flip) the rows are brute force's too.
    rng = np.random.default_rng(seed)
    palette = np.array(palette)
    params = dict(b=b, k=K, l=L, probes=probes, s=rng.integers(0, d, (L, K)), u=rng.choice(EDGE_OFFSETS, (L, K)))
    n = int(rng.integers(0, 120))
    pts = rng.choice(palette, (n, d))
    native, reference = built(params, pts, int(rng.integers(0, n + 1)), block=block)
    assert_tables_equal(native, reference)
    own = min(n, m // 3)
    q = np.r_[rng.choice(palette, (m - own, d)), pts[:own]]
    exclude = np.r_[rng.integers(-1, n + 1, m - own), np.arange(own)]
    got = native.query_knn(q, k, exclude)
    assert_rows_equal(got, reference.query_knn(q, k, exclude))
    blocked_kernel = m >= 64 and block != 1 and d in KERNEL_DIMS  # sums associated otherwise
    if (b == 1 or (b == 2 and K == 1 and probes)) and not blocked_kernel:
        for i in range(m):
            assert_rows_equal((got[0][i], got[1][i]), brute_row(pts, q[i], k, exclude[i]))
    for radius in (0.0, 0.25 * d):
        assert_rows_equal(native.query_radius(q, radius, exclude), reference.query_radius(q, radius, exclude))
    assert counted(native) == counted(reference)


def test_relaxation_uses_the_first_level_with_enough_entries():
    # K = 3, b = 4: the query's key is 50; level 1 covers keys 48..51,
    # level 2 keys 48..63. The nearest point (key 34) is outside both.
    near = [2.9 / 4, 0.3 / 4, 0.74]
    far = [[0.3, 0.6, 0.875], [0.1, 0.6, 0.9], [0.3, 0.9, 0.95], [0.05, 0.95, 0.99]]
    pts = np.array([near] + far + [[0.01, 0.01, 0.01]] * 5)
    native, reference = built(dict(b=4, k=3, l=1, probes=0, s=np.array([[0, 1, 2]]), u=np.zeros((1, 3))), pts, 10)
    q = np.array([[2.9 / 4, 0.3 / 4, 3.5 / 4]])
    idx, dist = native.query_knn(q, 1)
    assert_rows_equal((idx, dist), reference.query_knn(q, 1))
    assert native.stats()["relaxed"] == reference.stats()["relaxed"] == 1
    want = brute_row(pts[1:5], q[0], 1)
    assert idx[0, 0] == want[0][0] + 1 and dist[0, 0] == want[1][0]


@pytest.mark.parametrize("m", [1, 70])
def test_relaxed_rows_fall_back_to_every_point(m):
    rng = np.random.default_rng(5)
    pts = rng.random((40, 2)) * [1, 0.5] + [0, 0.5]
    pts[0] = [0.3, 0.1]  # alone in its band of the second coordinate
    q = np.repeat(pts[:1] + 1e-9, m, axis=0)
    # twelve identical tables count the lone point 12 times (4k at level 1), the gather still short
    twelve = dict(b=64, k=2, l=12, probes=0, s=np.array([[0, 1]] * 12), u=np.zeros((12, 2)))
    # K = 1 has no level at all: the fallback answers at once.
    single = dict(b=16, k=1, l=2, probes=0, s=np.array([[1], [1]]), u=np.zeros((2, 1)))
    for params in (twelve, single):
        native, reference = built(params, pts, 30, block=8)
        got = native.query_knn(q, 3)
        assert_rows_equal(got, reference.query_knn(q, 3))
        assert_rows_equal(got, [np.tile(w, (m, 1)) for w in brute_row(pts, q[0], 3)])
        assert counted(native) == counted(reference) and native.stats()["relaxed"] == m
