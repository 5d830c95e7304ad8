"""The grid searches (plovik._native._grid_*, plovik.grid) against the exact
scan, which shares the engine's single-precision distances: every row, pair
and distance bit for bit, on points placed where cells meet, at 0 and just
below 1, duplicated and spread over several periods, for radii at and
around the cell width, on one and two threads; their argument errors."""

import importlib.util

import numpy as np
import pytest

from plovik import PanicException, exact_knn, exact_radius
from plovik._native import _grid_knn, _grid_pairs, _grid_radius, _grid_tier
from plovik.grid import ExactGrid, grid_cells
from plovik.threads import thread_limit


def awkward_points(rng, n, d, cells):
    """Uniform points, a quarter of them moved onto cell faces, some at 0 and
    just below 1 (which rounds to 1.0 in single precision), duplicates, and
    whole periods added to a few (they wrap back)."""
    P = rng.random((n, d))
    if n >= 8:
        faces = rng.integers(0, cells + 1, (n // 4, d)) / cells
        P[: n // 4] = np.where(rng.random((n // 4, d)) < 0.7, faces, P[: n // 4])
        P[n // 4] = 0.0
        P[n // 4 + 1] = 1 - 1e-17
        P[n // 4 + 2] = np.nextafter(np.float32(1), 0)
        P[n // 4 + 3 : n // 4 + 6] = P[n // 2]  # three copies of one point
        P[-4:] += rng.integers(-3, 4, (4, d))
    return P


def pairs_by_exact(P, r):
    """The half list from exact_radius: (i, j, dist), i < j, by i then (dist, j)."""
    n = P.shape[0]
    indptr, ids, dists = exact_radius(P, P, r, np.arange(n))
    rows = np.repeat(np.arange(n), np.diff(indptr))
    keep = rows < ids
    i, j, dist = rows[keep], ids[keep], dists[keep]
    order = np.lexsort((j, dist, i))
    return i[order], j[order], dist[order]


def same(a, b):
    assert len(a) == len(b)
    for x, y in zip(a, b, strict=True):
        assert x.dtype == y.dtype and np.array_equal(x, y)


@pytest.mark.parametrize("d,cells", [(d, c) for d in (1, 2, 3, 4, 6) for c in (1, 2, 3, 5, 12) if c**d < 10**5])
def test_every_answer_equals_the_exact_scan(d, cells):
    rng = np.random.default_rng(100 * d + cells)
    P = awkward_points(rng, 160, d, cells)
    Q = np.concatenate([rng.random((30, d)) * 3 - 1, P[:10]])  # some on the points' faces too
    tier = _grid_tier(P, (cells,) * d)
    width = 1.0 / cells
    # at, just under and just over the cell width, twice it, nothing, the whole torus
    radii = [width, np.nextafter(width, 0), np.nextafter(width, 1), 0.5 * width, 2 * width, 0.0, 0.5 * d + 1]
    for r in radii:
        same(_grid_radius([tier], Q, r), exact_radius(P, Q, r))
        same(_grid_pairs([tier], r)[:3], pairs_by_exact(P, r))
    exclude = rng.integers(-1, P.shape[0], Q.shape[0])
    for k in [1, 7, 200]:  # 200: more than there are points
        same(_grid_knn([tier], Q, k), exact_knn(P, Q, k))
        same(_grid_knn([tier], Q, k, exclude), exact_knn(P, Q, k, exclude))
    same(_grid_radius([tier], Q, width, exclude), exact_radius(P, Q, width, exclude))


@pytest.mark.parametrize("d", [2, 3])
def test_tiers_with_ids_answer_as_their_union(d):
    """Two tiers with their own ids (the static points and the candidates of
    a search, some retired) answer as the exact scan of the points they hold."""
    rng = np.random.default_rng(d)
    n, cells = 300, 6
    P = awkward_points(rng, n, d, cells)
    live = np.flatnonzero(rng.random(n) < 0.8)  # the rest are retired
    first, second = live[live < 200], live[live >= 200]
    tiers = [_grid_tier(P[first], (cells,) * d, first), _grid_tier(P[second], (cells,) * d, second)]
    Q = rng.random((50, d))
    ex = rng.choice(live, 50)
    ip, ids, dd = exact_radius(P[live], Q, 0.12, np.searchsorted(live, ex))
    same(_grid_radius(tiers, Q, 0.12, ex), (ip, live[ids], dd))
    idx, dist = exact_knn(P[live], Q, 9, np.searchsorted(live, ex))
    same(_grid_knn(tiers, Q, 9, ex), (live[idx], dist))
    i, j, dist = pairs_by_exact(P[live], 0.12)
    same(_grid_pairs(tiers, 0.12)[:3], (live[i], live[j], dist))


@pytest.mark.threads
def test_rows_do_not_depend_on_the_thread_count():
    rng = np.random.default_rng(7)
    P = rng.random((20_000, 3))
    tier = _grid_tier(P, (12, 12, 12))
    out = []
    for threads in (1, 2):
        with thread_limit(threads):
            out.append(
                (_grid_radius([tier], P[:5000], 0.06), _grid_knn([tier], P[:5000], 12), _grid_pairs([tier], 0.05, True))
            )
    for a, b in zip(*out, strict=True):
        for x, y in zip(a, b, strict=True):
            assert np.array_equal(x, y)


def test_pair_order_and_image_shifts():
    rng = np.random.default_rng(3)
    d, r = 3, 0.2
    P = awkward_points(rng, 400, d, 4)
    tier = _grid_tier(P, (4,) * d)
    i, j, dist, shift = _grid_pairs([tier], r, True)
    by_id = _grid_pairs([tier], r, False, False)
    order = np.lexsort((j, i))
    same(by_id[:3], (i[order], j[order], dist[order]))
    assert by_id[3] is None and shift.dtype == np.int32 and shift.shape == (i.size, d)
    # x_j - x_i + s is the minimum image: each axis within half a period,
    # its length the distance's own term
    x = (P - np.floor(P)).astype(np.float32).astype(np.float64)
    delta = x[j] - x[i] + shift
    assert np.abs(delta).max() <= 0.5
    assert np.allclose(np.abs(delta).sum(axis=1), dist, atol=1e-6)
    assert set(np.unique(shift)) <= {-1, 0, 1} and (shift != 0).any()
    # The full list's shifts, from each query to its points, by the same
    # convention: the half list's pairs seen from either end, and queries
    # given periods away
    Q = np.concatenate([P[:50], P[50:80] + rng.integers(-2, 3, (30, d))])
    indptr, ids, dists, full_shift = _grid_radius([tier], Q, r, None, True)
    same((indptr, ids, dists), _grid_radius([tier], Q, r))
    assert full_shift.dtype == np.int32 and full_shift.shape == (ids.size, d)
    rows = np.repeat(np.arange(Q.shape[0]), np.diff(indptr))
    xq = (Q - np.floor(Q)).astype(np.float32)
    xq = np.where(xq >= 1, np.float32(0), xq).astype(np.float64)
    xs = np.where(x >= 1, 0.0, x)  # a coordinate that rounds to 1.0 is stored as 0.0
    delta = xs[ids] - xq[rows] + full_shift
    assert np.abs(delta).max() <= 0.5 and (full_shift != 0).any()
    assert np.allclose(np.abs(delta).sum(axis=1), dists, atol=1e-6)
    half = {(a, b): s for a, b, s in zip(i.tolist(), j.tolist(), shift.tolist(), strict=True)}
    for row, (a, b, s) in enumerate(
        zip(rows[:400].tolist(), ids[:400].tolist(), full_shift[:400].tolist(), strict=True)
    ):
        if a < 50 and a != b:  # queries that are points of the grid
            want = half[(a, b)] if a < b else [-v for v in half[(b, a)]]
            assert s == want, row


def test_exact_grid_in_box_units():
    rng = np.random.default_rng(5)
    L = 7.0
    P, Q = rng.uniform(0, L, (500, 2)), rng.uniform(-L, 2 * L, (40, 2))
    grid = ExactGrid(P, boxsize=L)
    same(grid.radius(Q, 0.9), exact_radius(P, Q, 0.9, boxsize=L))
    same(grid.knn(Q, 5, np.arange(40)), exact_knn(P, Q, 5, np.arange(40), boxsize=L))
    several = rng.integers(-1, 500, (40, 3))  # several ids per query: the checks and rows of the exact scan
    same(grid.knn(Q, 5, several), exact_knn(P, Q, 5, several, boxsize=L))
    same(grid.radius(Q, 0.9, several), exact_radius(P, Q, 0.9, several, boxsize=L))
    i, j, dist = grid.pairs(0.9)
    i1, j1, d1 = pairs_by_exact(P / L, 0.9 / L)
    same((i, j), (i1, j1))
    assert np.array_equal(dist, d1 * L)
    assert grid.nbytes > 0
    assert grid_cells(500, 2, radius=0.9 / L) == 7 and grid_cells(0, 3) >= 1


def test_bad_input():
    P = np.random.default_rng(0).random((10, 2))
    tier = _grid_tier(P, (3, 3))
    with pytest.raises(ValueError, match="one count per coordinate"):
        _grid_tier(P, (3,))
    with pytest.raises(ValueError, match="at least one cell"):
        _grid_tier(P, (3, 0))
    with pytest.raises(ValueError, match="at most 2\\*\\*32 cells"):
        _grid_tier(P, (1 << 20, 1 << 20))
    with pytest.raises(ValueError, match="at most 16 coordinates"):
        _grid_tier(np.zeros((2, 17)), (1,) * 17)
    with pytest.raises(ValueError, match="one id per point"):
        _grid_tier(P, (3, 3), np.arange(9))
    with pytest.raises(TypeError, match="tuple or list"):
        _grid_tier(P, 3)
    with pytest.raises(ValueError, match="same coordinates and cells"):
        _grid_knn([tier, _grid_tier(P, (3, 4))], P, 1)
    with pytest.raises(ValueError, match="at least one tier"):
        _grid_radius([], P, 0.1)
    with pytest.raises(TypeError, match="tiers of _grid_tier"):
        _grid_knn([object()], P, 1)
    with pytest.raises(ValueError, match="columns"):
        _grid_radius([tier], np.zeros((2, 3)), 0.1)
    with pytest.raises(PanicException, match="exclude_ids"):
        _grid_knn([tier], P, 2, np.zeros(3, np.int64))
    with pytest.raises(ValueError, match='order must be "distance" or "id"'):
        ExactGrid(P).pairs(0.1, order="j")
    with pytest.raises(ValueError, match="radius"):
        ExactGrid(P).radius(P, -1.0)
    with pytest.raises(ValueError, match="k must be at least 1"):
        ExactGrid(P).knn(P, 0)
    with pytest.raises(ValueError, match="columns"):
        ExactGrid(P).knn(np.zeros((2, 3)), 1)
    big = [_grid_tier(P, (3, 3), np.arange(10) + (1 << 32))]
    with pytest.raises(ValueError, match="ids in \\[0, 2\\*\\*32\\)"):
        _grid_radius(big, P, 0.1, None, True)
    with pytest.raises(ValueError, match="ids in \\[0, 2\\*\\*32\\)"):
        _grid_pairs(big, 0.1)


def test_search_through_the_grid_answers_as_the_exact_scan():
    """exact="grid" answers in a box as exact="always" does, half lists with
    their image shifts and sparse too, built and after promote and retire
    (the other epochs, saves and pickles: test_exact_mode.py); the tuning
    chooses the grid itself in few dimensions, for uniform points, and
    leaves it to the scan in five and for tight clusters."""
    from plovik import PlovikSearch, datasets
    from plovik.grid import GridStore

    rng = np.random.default_rng(11)
    d, L = 3, 5.0
    P, Q = rng.uniform(0, L, (3000, d)), rng.uniform(0, L, (200, d))
    grid, scan = PlovikSearch(d, exact="grid", boxsize=L, seed=1), PlovikSearch(d, exact="always", boxsize=L, seed=1)

    def agree():
        assert isinstance(grid._index, GridStore) and grid.raw is None and grid.tuning.grid
        assert f"boxsize={L:g}, exact grid," in repr(grid) and f"boxsize={L:g}, exact scan," in repr(scan)
        same(grid.query_knn(Q, 8, np.arange(200)), scan.query_knn(Q, 8, np.arange(200)))
        same(grid.query_radius(Q, 0.4), scan.query_radius(Q, 0.4))
        same(grid.pairs(0.3), scan.pairs(0.3))
        shift = grid.pairs(0.3, shifts=True)[2]
        assert np.array_equal(scan.pairs(0.3, shifts=True, return_distance=False)[1], shift)
        if importlib.util.find_spec("scipy") is not None:  # the sanitizer builds install no SciPy
            a, b = grid.pairs(0.3, sparse=True), scan.pairs(0.3, sparse=True)
            assert np.array_equal(a.indptr, b.indptr) and np.array_equal(a.indices, b.indices)
            assert np.array_equal(a.data, b.data)

    for s in (grid, scan):
        s.build(P, 2000)
    agree()
    for s in (grid, scan):
        s.promote(P[:500])
        s.retire([0, 5, 2500, 3100])
    agree()
    with pytest.raises(ValueError, match="not with sparse"):
        grid.pairs(0.3, sparse=True, shifts=True)
    with pytest.raises(ValueError, match='"grid"'):
        PlovikSearch(d, exact="cells")
    for d, points, chosen in (
        (3, P / L, True),
        (5, rng.random((3000, 5)), False),
        (3, datasets.clustered(rng, 3000, 3, clusters=5, sigma=0.003), False),
    ):
        search = PlovikSearch(d, recall=1.0, seed=2)
        search.build(points)
        assert isinstance(search._index, GridStore) == search.tuning.grid == chosen and search.tuning.exact
