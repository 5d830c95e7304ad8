"""The grid searches (plovik._native._grid_*, plovik.grid) against the exact scan, bit for bit, in
L1 and L2, cubic and weighted, on awkward points and radii, on one and two threads; image shifts,
displacement vectors and argument errors."""

import importlib.util
from functools import partial

import numpy as np
import pytest

from plovik import ExactScan, PanicException, exact_knn, exact_radius
from plovik._native import (
    _exact_knn_tiles,
    _exact_radius_tiles,
    _exact_tiles,
    _grid_knn,
    _grid_pairs,
    _grid_radius,
    _grid_tier,
)
from plovik.grid import ExactGrid, axis_cells, grid_cells
from plovik.threads import thread_limit


def awkward_points(rng, n, d, cells):
    """Uniform points, some on cell faces, at 0 and just below 1 (two of them stored as 1.0), copied, or whole
    periods away."""
    P = rng.random((n, d))
    if n >= 8:
        faces = rng.integers(0, cells + 1, (n // 4, d)) / cells
        P[: n // 4] = np.where(rng.random((n // 4, d)) < 0.7, faces, P[: n // 4])
        P[n // 4 : n // 4 + 3] = np.array([0.0, 1 - 1e-17, np.nextafter(np.float32(1), 0)])[:, None]
        P[n // 4 + 3 : n // 4 + 6] = P[n // 2]
        P[n // 4 + 6, 0], P[n // 4 + 7, -1] = 1 - 2.0**-30, -1e-12  # rounded up to 1.0 in single precision
        P[-4:] += rng.integers(-3, 4, (4, d))
    return P


def pairs_by_exact(P, r, tiles=None):
    """The half list from exact_radius (or the scan of `tiles`): (i, j, dist), i < j, by i then (dist, j)."""
    own = np.arange(P.shape[0])
    indptr, ids, dists = exact_radius(P, P, r, own) if tiles is None else _exact_radius_tiles(tiles, P, r, own)
    rows = np.repeat(own, np.diff(indptr))
    keep = rows < ids
    i, j, dist = rows[keep], ids[keep], dists[keep]
    order = np.lexsort((j, dist, i))
    return i[order], j[order], dist[order]


def same(a, b):
    assert len(a) == len(b) and all(x.dtype == y.dtype and np.array_equal(x, y) for x, y in zip(a, b, strict=True))


@pytest.mark.parametrize("d,cells", [(d, c) for d in (1, 2, 3, 4, 6) for c in (1, 2, 3, 5, 12) if c**d < 10**5])
@pytest.mark.parametrize("metric,weighted", [("l1", False), ("euclidean", False), ("l1", True), ("euclidean", True)])
def test_every_answer_equals_the_exact_scan(d, cells, metric, weighted):
    """Plain L1 against the exact functions; L2 and weighted axes (own cell counts) against the scan's tiles."""
    rng = np.random.default_rng([100 * d + cells, weighted, metric == "l1"])
    P = awkward_points(rng, 160, d, cells)
    Q = np.concatenate([rng.random((30, d)) * 3 - 1, P[:10]])  # some on the points' faces too
    plain = metric == "l1" and not weighted
    w = rng.choice([1.0, 0.5, 0.3, 0.0625], d) if weighted else None
    counts = (cells,) * d if w is None else tuple(max(1, int(cells * x)) for x in w)
    tier = _grid_tier(P, counts) if plain else _grid_tier(P, counts, None, metric, w)
    tiles = None if plain else _exact_tiles(P, metric, w)
    radius_rows = partial(exact_radius, P) if plain else partial(_exact_radius_tiles, tiles)
    knn_rows = partial(exact_knn, P) if plain else partial(_exact_knn_tiles, tiles)
    widths = {1.0 / c if w is None else float(np.float32(w[a])) / c for a, c in enumerate(counts)}
    width = min(widths)
    # at, just under and just over the cell widths, half and twice one, nothing, the whole torus
    near = [y for x in widths for y in (x, np.nextafter(x, 0), np.nextafter(x, 1))]
    radii = [*near, 0.5 * width, 2 * width, 0.0, 0.5 * d + 1]
    own = np.arange(P.shape[0])
    for r in radii:
        same(_grid_radius([tier], Q, r), radius_rows(Q, r))
        same(_grid_pairs([tier], r)[:3], pairs_by_exact(P, r, tiles))
        # the full list: the rows of every point, its own id left out
        same(_grid_pairs([tier], r, True, True, True), _grid_radius([tier], P, r, own, True))
        same(_grid_pairs([tier], r, False, True, True)[:3], radius_rows(P, r, own))
    for n in (0, 1):  # no pair at all: a row per id, empty
        rows = _grid_pairs([_grid_tier(P[:n], counts, None, metric, w)], 1.0, False, True, True)[:3]
        same(rows, (np.zeros(n + 1, np.int64), np.zeros(0, np.int64), np.zeros(0)))
    exclude = rng.integers(-1, P.shape[0], Q.shape[0])
    for k in [1, 7, 200]:  # 200: more than there are points
        same(_grid_knn([tier], Q, k), knn_rows(Q, k))
        same(_grid_knn([tier], Q, k, exclude), knn_rows(Q, k, exclude))
    same(_grid_radius([tier], Q, width, exclude), radius_rows(Q, width, exclude))


@pytest.mark.parametrize("d", [2, 3])
def test_tiers_with_ids_answer_as_their_union(d):
    """Two tiers with their own ids (static and candidates, some retired) answer as the scan of their points."""
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
            rows = (*_grid_radius([tier], P[:5000], 0.06), *_grid_knn([tier], P[:5000], 12))
            out.append((*rows, *_grid_pairs([tier], 0.05, True), *_grid_pairs([tier], 0.05, True, True, True)))
    same(*out)


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
    # x_j - x_i + s is the minimum image: each axis within half a period, its length the distance's term (a
    # coordinate stored as 1.0 read as 0.0, as every search's shifts read it)
    x = (P - np.floor(P)).astype(np.float32).astype(np.float64)
    assert (x == 1.0).any()
    xs = np.where(x >= 1, 0.0, x)
    delta = xs[j] - xs[i] + shift
    assert np.abs(delta).max() <= 0.5 and np.allclose(np.abs(delta).sum(axis=1), dist, atol=1e-6)
    assert set(np.unique(shift)) <= {-1, 0, 1} and (shift != 0).any()
    # the full list's shifts by the same convention: half-list pairs from either end, queries periods away
    Q = np.concatenate([P[:50], P[50:80] + rng.integers(-2, 3, (30, d))])
    indptr, ids, dists, full_shift = _grid_radius([tier], Q, r, None, True)
    same((indptr, ids, dists), _grid_radius([tier], Q, r))
    assert full_shift.dtype == np.int32 and full_shift.shape == (ids.size, d)
    rows = np.repeat(np.arange(Q.shape[0]), np.diff(indptr))
    xq = (Q - np.floor(Q)).astype(np.float32)
    xq = np.where(xq >= 1, np.float32(0), xq).astype(np.float64)
    delta = xs[ids] - xq[rows] + full_shift
    assert np.abs(delta).max() <= 0.5 and (full_shift != 0).any()
    assert np.allclose(np.abs(delta).sum(axis=1), dists, atol=1e-6)
    half = {(a, b): s for a, b, s in zip(i.tolist(), j.tolist(), shift.tolist(), strict=True)}
    for a, b, s in zip(rows[:400].tolist(), ids[:400].tolist(), full_shift[:400].tolist(), strict=True):
        if a < 50 and a != b:  # queries that are points of the grid
            assert s == (half[(a, b)] if a < b else [-v for v in half[(b, a)]]), (a, b)


@pytest.mark.parametrize("sides", [(7.0, 7.0, 7.0), (3.0, 7.0, 1.5)])
@pytest.mark.parametrize("metric", ["l1", "euclidean"])
def test_exact_grid_in_orthorhombic_boxes(metric, sides):
    """ExactGrid answers as ExactScan in the box (cells per axis); shifts and vectors are the minimum image."""
    rng = np.random.default_rng([len(metric), int(sides[0])])
    box = np.array(sides)
    P = rng.uniform(0, 1, (700, 3)) * box
    P[:3], P[3:6], P[6:9] = 0.0, np.nextafter(box, 0), P[10]  # the box's ends, duplicates
    Q = np.concatenate([rng.uniform(-1, 2, (40, 3)) * box, P[:10]])
    grid, scan = ExactGrid(P, metric=metric, boxsize=sides), ExactScan(P, metric=metric, boxsize=sides)
    assert grid.metric == metric and grid.boxsize == sides
    cells = axis_cells(700, 3, radius=1.0 / 7.0, metric=metric, weights=None if sides[0] == 7 else box / 7.0)
    assert cells[1] >= cells[0] >= cells[2] and (sides[0] == 7 or cells[1] > cells[2])
    ex = rng.integers(-1, 700, Q.shape[0])
    for r in (0.0, 0.4, 1.0, 2.5):
        same(grid.radius(Q, r, ex), scan.radius(Q, r, ex))
    for k in (1, 9):
        same(grid.knn(Q, k, ex), scan.knn(Q, k, ex))
    i, j, dist, shift, vec = grid.pairs(1.0, shifts=True, vectors=True)
    same((i, j, dist), grid.pairs(1.0))
    ip, ids, _ = own = scan.radius(P, 1.0, np.arange(700))
    same(grid.radius(P, 1.0, np.arange(700)), own)  # every point's own rows: from the pairs
    two = np.c_[np.arange(700), np.full(700, 3)]  # two ids excluded per query
    same(grid.radius(P, 1.0, two), scan.radius(P, 1.0, two))
    rows = np.repeat(np.arange(700), np.diff(ip))
    assert i.size == (rows < ids).sum()
    indptr, ids, dists, full_shift, full_vec = grid.radius(Q, 1.0, shifts=True, vectors=True)
    same((indptr, ids, dists), grid.radius(Q, 1.0))
    only = grid.radius(Q, 1.0, vectors=True)
    assert len(only) == 4 and np.array_equal(only[3], full_vec)
    norm = (lambda v: np.abs(v).sum(axis=1)) if metric == "l1" else (lambda v: np.sqrt((v * v).sum(axis=1)))
    for dist_, shift_, vec_ in ((dist, shift, vec), (dists, full_shift, full_vec)):
        assert vec_.dtype == np.float64 and shift_.dtype == np.int32 and vec_.shape == shift_.shape
        assert np.allclose(norm(vec_), dist_, rtol=1e-5, atol=1e-5)
        assert (np.abs(vec_) <= box / 2 + 1e-5).all()
    # vectors from the positions given, up to float32 rounding (and a period where a coordinate rounds up)
    rows = np.repeat(np.arange(Q.shape[0]), np.diff(indptr))
    off = P[ids] - Q[rows] - full_vec
    assert np.allclose(off - np.round(off / box) * box, 0.0, atol=1e-5 * box.max())
    if sides[0] == sides[1]:  # equal sides: as one boxsize
        one = ExactGrid(P, metric=metric, boxsize=7.0)
        same(one.radius(Q, 1.0, ex), grid.radius(Q, 1.0, ex))
        same(one.knn(Q, 5), grid.knn(Q, 5))
        same(one.pairs(1.0, shifts=True, vectors=True), grid.pairs(1.0, shifts=True, vectors=True))
        if metric == "l1":  # the unit torus's pairs, their distances times the side to the last bit
            i1, j1, d1 = pairs_by_exact(P / 7.0, 0.9 / 7.0)
            same(one.pairs(0.9), (i1, j1, d1 * 7.0))
    assert grid.nbytes > 0 and grid_cells(500, 2, radius=0.9 / 7.0) == 7 and grid_cells(0, 3) >= 1


P10 = np.random.default_rng(0).random((10, 2))
T33, T33W = _grid_tier(P10, (3, 3)), _grid_tier(P10, (3, 3), None, "l1", np.array([1.0, 0.5]))
BIG = _grid_tier(P10, (3, 3), np.arange(10) + (1 << 32))


@pytest.mark.parametrize(
    "call, exc, match",
    [
        (lambda P: _grid_tier(P, (3,)), ValueError, "one count per coordinate"),
        (lambda P: _grid_tier(P, (3, 0)), ValueError, "at least one cell"),
        (lambda P: _grid_tier(P, (1 << 20, 1 << 20)), ValueError, r"at most 2\*\*32 cells"),
        (lambda P: _grid_tier(np.zeros((2, 17)), (1,) * 17), ValueError, "at most 16 coordinates"),
        (lambda P: _grid_tier(P, (3, 3), np.arange(9)), ValueError, "one id per point"),
        (lambda P: _grid_tier(P, 3), TypeError, "tuple or list"),
        (lambda P: _grid_knn([T33, _grid_tier(P, (3, 4))], P, 1), ValueError, "same coordinates and cells"),
        (lambda P: _grid_knn([T33, _grid_tier(P, (3, 3), None, "euclidean")], P, 1), ValueError, "same metric"),
        (lambda P: _grid_pairs([T33, T33W], 0.1), ValueError, "same metric"),
        (lambda P: _grid_tier(P, (3, 3), None, "cosine"), ValueError, 'expected "l1" or "euclidean"'),
        (
            lambda P: _grid_tier(P, (3, 3), None, "l1", np.ones(3)),
            ValueError,
            "3 axis weights but the points have d = 2",
        ),
        (lambda P: _grid_tier(P, (3, 3), None, "euclidean", np.array([1.0, 0.0])), ValueError, "finite and positive"),
        (lambda P: _grid_radius([], P, 0.1), ValueError, "at least one tier"),
        (lambda P: _grid_knn([object()], P, 1), TypeError, "tiers of _grid_tier"),
        (lambda P: _grid_radius([T33], np.zeros((2, 3)), 0.1), ValueError, "columns"),
        (lambda P: _grid_knn([T33], P, 2, np.zeros(3, np.int64)), PanicException, "exclude_ids"),
        (lambda P: ExactGrid(P).pairs(0.1, order="j"), ValueError, 'order must be "distance" or "id"'),
        (lambda P: ExactGrid(P).radius(P, -1.0), ValueError, "radius"),
        (lambda P: ExactGrid(P).knn(P, 0), ValueError, "k must be at least 1"),
        (lambda P: ExactGrid(P).knn(np.zeros((2, 3)), 1), ValueError, "columns"),
        (lambda P: _grid_radius([BIG], P, 0.1, None, True), ValueError, r"ids in \[0, 2\*\*32\)"),
        (lambda P: _grid_pairs([BIG], 0.1), ValueError, r"ids in \[0, 2\*\*32\)"),
    ],
)
def test_bad_input(call, exc, match):
    with pytest.raises(exc, match=match):
        call(P10)


def test_search_through_the_grid_answers_as_the_exact_scan():
    """exact="grid" answers in a box as exact="always", built and after promote and retire (other
    epochs, saves, pickles: test_exact_mode.py); the tuning picks the grid in three dimensions for
    uniform points, the scan in five and for tight clusters."""
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
        same(grid.pairs(0.3, vectors=True, shifts=True), scan.pairs(0.3, vectors=True, shifts=True))
        full = grid.query_radius(Q, 0.4, shifts=True, vectors=True)
        same(full, scan.query_radius(Q, 0.4, shifts=True, vectors=True))
        assert np.allclose(np.abs(full[4]).sum(axis=1), full[2], rtol=1e-5) and (np.abs(full[4]) <= L / 2).all()
        if importlib.util.find_spec("scipy") is not None:  # the sanitizer builds install no SciPy
            a, b = ((m.indptr, m.indices, m.data) for m in (grid.pairs(0.3, sparse=True), scan.pairs(0.3, sparse=True)))
            same(a, b)

    for s in (grid, scan):
        s.build(P, 2000)
    agree()
    for s in (grid, scan):
        s.promote(P[:500])
        s.retire([0, 5, 2500, 3100])
    agree()
    with pytest.raises(ValueError, match="not with sparse"):
        grid.pairs(0.3, sparse=True, shifts=True)
    with pytest.raises(ValueError, match="not with count_only or sparse"):
        grid.query_radius(Q, 0.3, count_only=True, vectors=True)
    with pytest.raises(ValueError, match='"grid"'):
        PlovikSearch(d, exact="cells")
    five, tight = rng.random((3000, 5)), datasets.clustered(rng, 3000, 3, clusters=5, sigma=0.003)
    for d, points, chosen in ((3, P / L, True), (5, five, False), (3, tight, False)):
        search = PlovikSearch(d, recall=1.0, seed=2)
        search.build(points)
        assert isinstance(search._index, GridStore) == search.tuning.grid == chosen and search.tuning.exact
