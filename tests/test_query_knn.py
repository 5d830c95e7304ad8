"""k-nearest queries of the native index: rows equal to the NumPy reference
and to brute force where every point is reached, worked examples, the
relaxation and its full fallback."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from plovik import RustLshIndex
from query_util import brute_row, check_row, torus_l1
from util import both, random_params

COUNTED = ("queries", "cands", "pairs", "relaxed")


@st.composite
def scenarios(draw):
    """A built native/reference pair, queries, k and exclusions. Batches stay
    below 64 rows so that both sides answer on the per-query path."""
    seed = draw(st.integers(0, 2**32 - 1))
    rng = np.random.default_rng(seed)
    d = draw(st.integers(1, 20))
    L = draw(st.integers(1, 4))
    K = draw(st.integers(1, 5))
    if draw(st.booleans()):
        b = draw(st.sampled_from([1, 2, 3, 4, 7]))
    else:
        b, K = 64, 4  # 64^4 keys: no directory, binary searches instead
    probes = draw(st.integers(0, K + 2))
    n = draw(st.integers(0, 250))
    n_static = draw(st.sampled_from([0, n // 3, n]))
    pts = rng.random((n, d))
    grid = draw(st.sampled_from([None, 2, 4]))  # ties and duplicate points
    if grid:
        pts = np.floor(pts * grid) / grid
    m = draw(st.integers(0, 63))
    q = rng.random((m, d))
    if grid:
        q = np.floor(q * grid) / grid
    k = draw(st.sampled_from([0, 1, 3, 10, n + 3]))
    exclude = rng.integers(-1, n + 2, m) if draw(st.booleans()) else None
    params = random_params(rng, d, L, K, b, probes=probes)
    if draw(st.booleans()):
        # Cell walls on the grid: queries sit on walls and centres, so
        # margins tie and fractions of exactly 0.5 occur.
        params["u"] = np.zeros((L, K))
    return params, pts, n_static, q, k, exclude


def built(params, pts, n_static):
    native, reference = both(params)
    native.build(pts, n_static)
    reference.build(pts, n_static)
    return native, reference


def assert_same_knn(native, reference, q, k, exclude=None):
    got = native.query_knn(q, k, exclude)
    want = reference.query_knn(q, k, exclude)
    assert got[0].dtype == np.int64 and got[1].dtype == np.float64
    assert got[0].shape == got[1].shape == (len(q), k)
    np.testing.assert_array_equal(got[0], want[0])
    np.testing.assert_array_equal(got[1], want[1])
    return got


@given(scenarios())
def test_rows_equal_reference(scenario):
    params, pts, n_static, q, k, exclude = scenario
    native, reference = built(params, pts, n_static)
    idx, dist = assert_same_knn(native, reference, q, k, exclude)
    for i in range(len(q)):
        check_row(pts, q[i], idx[i], dist[i], -1 if exclude is None else exclude[i])
    got, want = native.stats(), reference.stats()
    assert {c: got[c] for c in COUNTED} == {c: want[c] for c in COUNTED}
    assert got["cands"] == got["pairs"]


@settings(max_examples=20)
@given(seed=st.integers(0, 2**32 - 1), b=st.sampled_from([1, 2]), k=st.sampled_from([1, 4, 50]))
def test_rows_equal_brute_force_when_every_point_is_reached(seed, b, k):
    # b = 1 puts every point in one bucket; b = 2 with K = 1 and one flip
    # probes both cells: the search is then exhaustive.
    rng = np.random.default_rng(seed)
    d = int(rng.integers(1, 25))
    K = int(rng.integers(1, 4)) if b == 1 else 1
    native = RustLshIndex(**random_params(rng, d, 2, K, b, probes=1))
    pts = rng.random((40, d))
    pts[rng.integers(0, 40, 8)] = pts[rng.integers(0, 40, 8)]  # duplicates
    native.build(pts, 25)
    q = np.r_[rng.random((5, d)), pts[:3]]
    exclude = rng.integers(-1, 40, len(q))
    idx, dist = native.query_knn(q, k, exclude)
    for i in range(len(q)):
        want = brute_row(pts, q[i], k, exclude[i])
        np.testing.assert_array_equal(idx[i], want[0])
        np.testing.assert_array_equal(dist[i], want[1])
    assert native.stats()["relaxed"] == 0


@pytest.mark.parametrize("d", [1, 2, 3, 4, 7, 8, 15, 16, 17, 21, 24, 32, 37])
def test_distances_follow_the_lane_order(d):
    # One bucket holds every point; coordinates spread over decades so that
    # any other association of the sum would round differently somewhere.
    rng = np.random.default_rng(d)
    native = RustLshIndex(**random_params(rng, d, 1, 1, 1, probes=0))
    pts = rng.random((300, d)) ** rng.uniform(0.5, 6, d)
    native.build(pts, 300)
    for q in rng.random((4, d)):
        idx, dist = native.query_knn(q[None, :], 300)
        assert sorted(idx[0].tolist()) == list(range(300))
        assert dist[0].tolist() == torus_l1(q, pts[idx[0]]).astype(np.float64).tolist()


def test_ties_go_to_the_smaller_id_and_terms_wrap():
    native = RustLshIndex(1, 1, 1, 0, np.zeros((1, 1), np.int64), np.zeros((1, 1)))
    pts = np.array([[0.05]] * 10)
    pts[[3, 7, 9], 0] = [0.25, 0.75, 0.25]  # all at 0.25 from 0.5
    native.build(pts, 5)
    idx, dist = native.query_knn(np.array([[0.5]]), 2)
    assert idx.tolist() == [[3, 7]] and dist.tolist() == [[0.25, 0.25]]
    # a difference of 0.5 counts 0.5, one of 0.75 counts 0.25
    native.build(np.array([[0.0], [0.75]]), 2)
    idx, dist = native.query_knn(np.array([[0.5], [0.0]]), 2)
    assert idx.tolist() == [[1, 0], [0, 1]] and dist.tolist() == [[0.25, 0.5], [0.0, 0.25]]


@pytest.mark.parametrize("probes", [0, 1, 3, 7])
@pytest.mark.parametrize("b", [1, 2, 5])
def test_probe_counts_and_tiny_cell_counts(probes, b):
    rng = np.random.default_rng(probes * 10 + b)
    params = random_params(rng, 5, 3, 3, b, probes=probes)
    native, reference = built(params, rng.random((400, 5)), 300)
    q = rng.random((30, 5))
    assert_same_knn(native, reference, q, 6, rng.integers(0, 400, 30))
    assert native.stats()["pairs"] == reference.stats()["pairs"]


def test_k_beyond_the_points_and_exclusion_reduce_need():
    rng = np.random.default_rng(11)
    native, reference = built(random_params(rng, 3, 2, 1, 2, probes=1), rng.random((7, 3)), 4)
    q = rng.random((5, 3))
    idx, _ = assert_same_knn(native, reference, q, 10, np.array([0, 1, 2, 3, 4]))
    assert ((idx >= 0).sum(axis=1) == 6).all() and (idx[:, 6:] == -1).all()
    # every point but the excluded one was found: need is 6, nothing relaxes
    assert native.stats()["relaxed"] == 0


def test_relaxation_uses_the_first_level_with_enough_entries():
    # K = 3, b = 4: the query's key is 50; level 1 covers keys 48..51,
    # level 2 keys 48..63. The nearest point (key 34) is outside both.
    s = np.array([[0, 1, 2]], np.int64)
    native = RustLshIndex(4, 3, 1, 0, s, np.zeros((1, 3)))
    near = [2.9 / 4, 0.3 / 4, 0.74]
    far = [[0.3, 0.6, 0.875], [0.1, 0.6, 0.9], [0.3, 0.9, 0.95], [0.05, 0.95, 0.99]]
    pts = np.array([near] + far + [[0.01, 0.01, 0.01]] * 5)
    native.build(pts, 10)
    q = np.array([[2.9 / 4, 0.3 / 4, 3.5 / 4]])
    idx, dist = native.query_knn(q, 1)
    assert native.stats()["relaxed"] == 1
    want = brute_row(pts[1:5], q[0], 1)
    assert idx[0, 0] == want[0][0] + 1 and dist[0, 0] == want[1][0]


def test_relaxed_rows_fall_back_to_every_point():
    rng = np.random.default_rng(5)
    pts = rng.random((40, 2)) * [1, 0.5] + [0, 0.5]
    pts[0] = [0.3, 0.1]  # alone in its band of the second coordinate
    q = pts[:1] + 1e-9
    # Twelve identical tables count the lone point twelve times, which
    # reaches 4k at level 1, but the level gather still leaves the row short.
    twelve = dict(b=64, k=2, l=12, probes=0, s=np.array([[0, 1]] * 12), u=np.zeros((12, 2)))
    # K = 1 has no level at all: the fallback answers at once.
    single = dict(b=16, k=1, l=2, probes=0, s=np.array([[1], [1]]), u=np.zeros((2, 1)))
    for params in (twelve, single):
        native, reference = built(params, pts, 30)
        idx, dist = assert_same_knn(native, reference, q, 3)
        want = brute_row(pts, q[0], 3)
        np.testing.assert_array_equal(idx[0], want[0])
        np.testing.assert_array_equal(dist[0], want[1])
        assert native.stats()["relaxed"] == 1


def test_rows_relax_on_a_sparse_index():
    # Many cells, few points: most rows find too few and relax, some reach
    # the full fallback; each relaxed row counts once.
    rng = np.random.default_rng(8)
    params = random_params(rng, 6, 3, 4, 9, probes=2)
    native, reference = built(params, rng.random((150, 6)), 100)
    q = rng.random((60, 6))
    idx, dist = assert_same_knn(native, reference, q, 12, rng.integers(-1, 150, 60))
    relaxed = native.stats()["relaxed"]
    assert 0 < relaxed <= 60 and relaxed == reference.stats()["relaxed"]
    assert ((idx >= 0).sum(axis=1) == 12).all()
