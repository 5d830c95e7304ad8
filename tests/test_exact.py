"""The native exact scan against a brute force in the reference's single-precision distances, on
every thread count, and its argument errors against the index methods'."""

import importlib.util
import textwrap
from functools import partial

import numpy as np
import pytest

import plovik
from index_helpers import outputs_under_thread_counts, random_params
from plovik import PanicException, PlovikSearch, RustLshIndex
from plovik._native import _all_finite, _exact_knn_tiles, _exact_radius_tiles, _exact_tiles, exact_knn, exact_radius
from plovik.grid import ExactGrid
from plovik.lsh import _sum_general, _terms, _widen, _wrap_f32
from query_helpers import assert_rows_equal as same

try:
    import scipy.sparse as sparse  # exclude_ids as a sparse matrix too, where SciPy is installed
except ImportError:
    sparse = None


def brute_bits(points, queries, metric="l1", weights=None):
    """(m, n) distance bits in the per-query path's order; terms times float32 weights, squared under L2."""
    pf, qf = _wrap_f32(points), _wrap_f32(queries)
    w = None if weights is None else np.asarray(weights, np.float64).astype(np.float32)
    rows = []
    for q in qf:
        t = _terms(q[None, :], pf)
        t = t if w is None else t * w
        s = _sum_general(t * t if metric == "euclidean" else t)
        rows.append((np.sqrt(s) if metric == "euclidean" else s).view(np.uint32))
    return np.array(rows, np.uint32).reshape(len(qf), len(pf))


def brute_knn(points, queries, k, exclude=None, metric="l1", weights=None):
    bits = brute_bits(points, queries, metric, weights)
    m, n = bits.shape
    idx, dist = np.full((m, k), -1, np.int64), np.full((m, k), np.inf)
    for i in range(m):
        ids = np.arange(n)
        if exclude is not None:  # one id or a row of ids per query
            ids = ids[~np.isin(ids, exclude[i])]
        ids = ids[np.lexsort((ids, bits[i, ids]))][:k]
        idx[i, : ids.size], dist[i, : ids.size] = ids, _widen(bits[i, ids])
    return idx, dist


def brute_radius(points, queries, radius, exclude=None, metric="l1", weights=None):
    bits = brute_bits(points, queries, metric, weights)
    with np.errstate(over="ignore"):
        r = np.float32(radius)
    hits = []
    for i, row in enumerate(bits):
        keep = ~np.isin(np.arange(row.size), [] if exclude is None else exclude[i])
        hit = np.flatnonzero((row.view(np.float32) <= r) & keep)
        hits.append(hit[np.lexsort((hit, row[hit]))])
    sizes = [h.size for h in hits]
    ids = np.concatenate([np.zeros(0, np.int64), *hits]).astype(np.int64)
    return np.cumsum([0, *sizes], dtype=np.int64), ids, _widen(bits[np.repeat(np.arange(len(hits)), sizes), ids])


def data(rng, n, m, d, kind):
    """Uniform coordinates, some outside [0, 1); ("ties") multiples of 1/4; ("clusters") four tight
    clusters, points in runs of one, so the scan passes over whole tiles on half their coordinates;
    ("bytes") values at the edges of the scan's byte coordinates."""
    if kind == "ties":
        P, Q = rng.integers(-4, 8, (n, d)) / 4.0, rng.integers(0, 4, (m, d)) / 4.0
    elif kind == "clusters":
        centres = rng.random((4, d))
        P = np.repeat(centres, -(-n // 4), 0)[:n] + rng.normal(0, 0.01, (n, d))
        Q = centres[rng.integers(0, 4, m)] + rng.normal(0, 0.01, (m, d))
    elif kind == "bytes":
        # on and a hair off the scan's byte edges (multiples of 1/256), 1 - 1e-9 (1.0 in float32), a few clusters
        def at_edges(rows):
            near = rng.integers(0, 257, (rows, d)) / 256.0 + rng.choice(
                [0.0, 1e-9, -1e-9, 2.0**-25, 0.5 / 256], (rows, d)
            )
            return np.where(rng.random((rows, 1)) < 0.5, near, near[rng.integers(0, 4, rows)] + 1.0 / 256)

        P, Q = at_edges(n), at_edges(m)
    else:
        P, Q = rng.random((n, d)) * 1.5 - 0.25, rng.random((m, d))
    return P, Q


KINDS = ["uniform", "ties", "clusters", "bytes"]


@pytest.mark.parametrize(
    "d, kind",
    [(d, kind) for d in (1, 3, 16, 17, 40) for kind in KINDS] + [(255, "bytes"), (256, "uniform")],
)
def test_equals_brute_force(d, kind):
    """Exclusions (one id, then (m, e) with -1, repeats and the own id) through the functions and ExactScan."""
    rng = np.random.default_rng(d * 3 + KINDS.index(kind))
    n, m = 203, 37  # a partial tile, more than one block of queries
    P, Q = data(rng, n, m, d, kind)
    ex = rng.integers(-1, n + 2, m)  # -1 and ids past n exclude nothing
    tiles = _exact_tiles(P)  # the points prepared once answer alike
    for k in (1, 9, n + 5):
        for exclude in (None, ex):
            want_idx, want_dist = brute_knn(P, Q, k, exclude)
            for idx, dist in (exact_knn(P, Q, k, exclude), _exact_knn_tiles(tiles, Q, k, exclude)):
                assert idx.shape == dist.shape == (m, k) and idx.flags.c_contiguous
                assert np.array_equal(idx, want_idx) and np.array_equal(dist, want_dist)
            # one block of queries: the points laid out block by block as they are scanned
            idx, dist = exact_knn(P, Q[:32], k, None if exclude is None else exclude[:32])
            assert np.array_equal(idx, want_idx[:32]) and np.array_equal(dist, want_dist[:32])
    for radius in (0.0, 0.1 * d, 0.3 * d, np.inf):
        want = brute_radius(P, Q, radius, ex)
        for got in (exact_radius(P, Q, radius, exclude_ids=ex), _exact_radius_tiles(tiles, Q, radius, ex)):
            same(got, want)
    scan, k, r = plovik.ExactScan(P), 5, 0.4 * d / 3
    for e in (0, 1, 3, 64):
        several = rng.integers(-1, n, (m, e))
        several[::4, : e // 2] = -1
        several[1, :] = several[1, :1]  # one id many times
        want_knn, want_radius = brute_knn(P, Q, k, several), brute_radius(P, Q, r, several)
        rows, cols = np.nonzero(several >= 0)[0], several[several >= 0]  # as a sparse matrix too, with SciPy
        csr = several if sparse is None else sparse.csr_matrix((np.ones(cols.size), (rows, cols)), shape=(m, n))
        for got in (plovik.exact_knn(P, Q, k, several), scan.knn(Q, k, several), scan.knn(Q, k, csr)):
            same(got, want_knn)
        for got in (plovik.exact_radius(P, Q, r, several), scan.radius(Q, r, several)):
            same(got, want_radius)
    # more excluded than points: rows padded, nothing else
    few = plovik.exact_knn(P[:3], Q[:2], 2, [[0, 1], [-1, -1]])
    assert few[0].tolist() == [[2, -1], few[0][1].tolist()] and (few[0][1] >= 0).all()


@pytest.mark.parametrize(
    "d, kind", [(4, "bytes"), (4, "ties"), (4, "uniform"), (5, "clusters"), (16, "clusters"), (33, "clusters")]
)
def test_points_laid_out_in_spatial_order_answer_as_brute_force(d, kind):
    """Crowded or low-dimensional points (a few thousand) laid out by a spatial key, whole groups
    passed over: brute force's rows, ties by id, for k within a group, past it and past n, and radii;
    queries on, beside and far from the points."""
    rng = np.random.default_rng(d * 7 + KINDS.index(kind))
    n, m = 4_101, 48  # a partial tile and a partial group
    P, Q = data(rng, n, m, d, kind)
    if kind == "clusters":  # the points shuffled (the order is the layout's, not the input's)
        P = P[rng.permutation(n)]
    Q[: m // 3] = P[rng.integers(0, n, m // 3)]  # queries on points (and their exact copies)
    P[1::97] = P[0]  # copies of one point, ids spread over the input
    ex = rng.integers(-1, n, m)
    scan = plovik.ExactScan(P)
    assert scan.nbytes > -(-n // 8) * 8 * (4 * d + (d + 1) // 2 * 2) + 4 * n  # ordered
    tiles = _exact_tiles(P)
    for k in (1, 10, 200, n + 3):
        want = brute_knn(P, Q, k, ex)
        same(_exact_knn_tiles(tiles, Q, k, ex), want)
        same(_exact_knn_tiles(tiles, Q[:3], k, ex[:3]), (want[0][:3], want[1][:3]))  # split runs
    for radius in (0.0, 0.02 * d, 0.2 * d):
        same(_exact_radius_tiles(tiles, Q, radius, ex), brute_radius(P, Q, radius, ex))
    # the points a scan reads: fewer with a nearer k-th distance, all with an unbounded one
    kth = brute_knn(P, Q, 10, ex)[1][:, -1]
    near, far = scan.reach(Q, kth), scan.reach(Q, np.full(m, np.inf))
    assert (near <= far).all() and (far == n).all() and (scan.reach(Q, np.full(m, -1.0)) == 0).all()
    with pytest.raises(ValueError, match="limits holds 3 values but there are 48 queries"):
        scan.reach(Q, kth[:3])


def scaled(rows, factor):
    """Rows with their distances (the last array) times `factor`."""
    return (*rows[:-1], rows[-1] * factor)


@pytest.mark.parametrize("metric", ["l1", "euclidean"])
@pytest.mark.parametrize(
    "d,sides",
    [(1, None), (3, None), (3, (2.0, 7.0, 0.5)), (5, (1.0, 3.0, 1.0, 0.25, 9.0)), (21, (1.0, 2.0) * 10 + (4.0,))],
)
@pytest.mark.parametrize("kind", KINDS[:3])  # values at byte edges, times a side and back, are not those values
def test_metrics_and_boxes_equal_brute_force(metric, d, sides, kind):
    """Both metrics, cubic and orthorhombic boxes, functions and ExactScan: brute force on the
    coordinates divided per axis, weights side / longest side, distances times the longest side;
    radii at occurring distances (inclusive) and the float below; points at 0 and just below 1."""
    rng = np.random.default_rng([d, KINDS.index(kind), metric == "l1", sides is None])
    n, m = 141, 35
    P, Q = data(rng, n, m, d, kind)
    P[:3], P[3:6] = 0.0, np.nextafter(1.0, 0.0)  # the torus's two ends
    Q[:2] = P[1:3] + np.nextafter(1.0, 0.0)
    box = np.ones(d) if sides is None else np.array(sides)
    top = box.max()
    weights = None if sides is None else box / top
    ex = rng.integers(-1, n, m)
    Pb, Qb = P * box, Q * box  # the caller's coordinates, in the box
    scan = plovik.ExactScan(Pb, metric=metric, boxsize=sides)
    assert (scan.metric, scan.boxsize) == (metric, None if sides is None else tuple(map(float, sides)))
    for k in (1, 7, n + 3):
        want = scaled(brute_knn(P, Q, k, ex, metric, weights), top)
        for got in (plovik.exact_knn(Pb, Qb, k, ex, metric=metric, boxsize=sides), scan.knn(Qb, k, ex)):
            same(got, want)
    # radii at occurring distances (inclusive) and the float below, in the box scaled to a longest side of 1
    unit, Pu, Qu = (None if sides is None else tuple(box / top)), P * (box / top), Q * (box / top)
    unit_scan = plovik.ExactScan(Pu, metric=metric, boxsize=unit)
    occurring = np.unique(brute_bits(P, Q, metric, weights).view(np.float32)[:, :20])
    for r in [0.0, *occurring[:: max(1, occurring.size // 6)], np.inf]:
        for radius in {float(np.float32(r)), float(np.nextafter(np.float32(r), np.float32(0)))}:
            want = brute_radius(P, Q, radius, ex, metric, weights)
            same(plovik.exact_radius(Pu, Qu, min(radius, 1e300), ex, metric=metric, boxsize=unit), want)
            same(unit_scan.radius(Qu, min(radius, 1e300), ex), want)
    # in the caller's box: every point, the distances times its longest side
    want = scaled(brute_radius(P, Q, np.inf, ex, metric, weights), top)
    for got in (plovik.exact_radius(Pb, Qb, 1e300, ex, metric=metric, boxsize=sides), scan.radius(Qb, 1e300, ex)):
        same(got, want)


@pytest.mark.parametrize("metric", ["l1", "euclidean"])
def test_equal_sides_answer_as_one_boxsize_and_the_float64_distance(metric):
    """boxsize=(L, L, L) answers as boxsize=L bit for bit, weights of 1 as none, plain L1 as the default scan."""
    rng = np.random.default_rng(11)
    P, Q = rng.random((300, 3)) * 6.5, rng.random((40, 3)) * 6.5
    box = dict(metric=metric, boxsize=6.5)
    same(plovik.exact_knn(P, Q, 9, **box), plovik.exact_knn(P, Q, 9, metric=metric, boxsize=[6.5] * 3))
    same(plovik.exact_radius(P, Q, 1.3, **box), plovik.ExactScan(P, metric=metric, boxsize=(6.5,) * 3).radius(Q, 1.3))
    U, V = P / 6.5, Q / 6.5
    plain = _exact_tiles(U, metric)
    same(_exact_knn_tiles(_exact_tiles(U, metric, np.ones(3)), V, 5), _exact_knn_tiles(plain, V, 5))
    if metric == "l1":
        same(_exact_knn_tiles(plain, V, 5), exact_knn(U, V, 5))
    # a hashed search as well
    searches = [PlovikSearch(3, metric=metric, boxsize=b, exact=False, seed=1) for b in (6.5, (6.5,) * 3)]
    for search in searches:
        search.build(P)
    same(*(search.query_knn(Q, 4) for search in searches))
    # the float64 distance: L1 is torus_l1's; either metric within a few float32 ulps of the scan's, sides per axis
    sides = (3.0, 0.5, 8.0)
    P, Q = rng.random((200, 3)) * sides, rng.random((10, 3)) * sides
    assert np.array_equal(plovik.torus_distance(Q[:, None], P[None]), plovik.exact.torus_l1(Q[:, None], P[None]))
    idx, dist = plovik.exact_knn(P, Q, 4, metric=metric, boxsize=sides)
    want = plovik.torus_distance(Q[:, None, :], P[idx], metric=metric, boxsize=sides)
    assert np.allclose(dist, want, rtol=0, atol=8 * 2.0**-24 * 8.0)
    assert plovik.torus_distance([0.1, 0.9], [0.9, 0.1], metric="euclidean") == pytest.approx(np.sqrt(0.08))


@pytest.mark.parametrize(
    "kwargs,exc,message",
    [
        ({"metric": "l2"}, ValueError, 'metric must be "l1" or "euclidean", got \'l2\''),
        ({"metric": None}, TypeError, "metric must be"),
        ({"boxsize": (1.0, 2.0)}, ValueError, "boxsize has 2 sides but the points have d = 3"),
        ({"boxsize": np.array([2.0])}, ValueError, "boxsize has 1 sides but the points have d = 3"),
        ({"boxsize": (1.0, 0.0, 2.0)}, ValueError, "sides of boxsize must be finite and positive"),
        ({"boxsize": (1.0, np.inf, 2.0)}, ValueError, "sides of boxsize must be finite and positive"),
        ({"boxsize": [[1.0, 2.0, 3.0]]}, ValueError, "one side per axis"),
        ({"boxsize": ("a", 1, 2)}, TypeError, "boxsize must be"),
        *(({"boxsize": L}, ValueError, "boxsize must be finite and positive") for L in (-1.0, 0, np.nan, np.inf)),
        ({"boxsize": np.array(-2.0)}, ValueError, "boxsize must be finite and positive, got -2.0"),  # 0-d: a number
        ({"boxsize": 10**400}, ValueError, "boxsize must be"),
        *(({"boxsize": L}, TypeError, "boxsize must be") for L in ("3", True)),
    ],
)
def test_bad_metric_and_box(kwargs, exc, message):
    # one check of the metric and the box behind every entry point that takes them
    P = np.random.default_rng(0).random((10, 3))
    calls = [partial(plovik.exact_knn, P, P, 2), partial(plovik.exact_radius, P, P, 0.1), partial(plovik.ExactScan, P)]
    calls += [partial(plovik.torus_distance, P, P), partial(plovik.PlovikSearch, 3), partial(ExactGrid, P)]
    if importlib.util.find_spec("sklearn") is not None:  # the transformer checks them at fit
        from plovik.sklearn import TorusNeighborsTransformer

        calls.append(lambda **kw: TorusNeighborsTransformer(**kw).fit(P))
    for call in calls:
        with pytest.raises(exc, match=message):
            call(**kwargs)
    # the native prepared points check their metric themselves
    for metric, weights, exc, message in [
        ("l2", None, ValueError, "argument 'metric'"),
        (3, None, TypeError, "argument 'metric'"),
        ("l1", np.ones(2), ValueError, "the metric has 2 axis weights but the points have d = 3"),
        ("euclidean", np.array([1.0, 0.0, 1.0]), ValueError, "weights must be finite and positive"),
        ("euclidean", np.array([1.0, np.nan, 1.0]), ValueError, "weights must be finite and positive"),
    ]:
        with pytest.raises(exc, match=message):
            _exact_tiles(P, metric, weights)


@pytest.mark.parametrize("n,m,d", [(0, 4, 3), (5, 0, 3), (0, 0, 2), (6, 3, 0)])
def test_empty_inputs(n, m, d):
    P, Q = np.zeros((n, d)) + 0.5, np.zeros((m, d))
    tiles = _exact_tiles(P)
    for got in (exact_knn(P, Q, 3), _exact_knn_tiles(tiles, Q, 3)):
        same(got, brute_knn(P, Q, 3))  # shapes (m, 3) included
    assert exact_knn(P, Q, 0)[0].shape == (m, 0)
    for got in (exact_radius(P, Q, 1.0), _exact_radius_tiles(tiles, Q, 1.0)):
        same(got, brute_radius(P, Q, 1.0))


# A few queries split into several runs of points, differently for 1 and 2 workers; many take whole runs.
THREADS_SCRIPT = textwrap.dedent("""
    import hashlib, numpy as np
    from plovik._native import _all_finite, _exact_knn_tiles, _exact_radius_tiles, _exact_tiles, exact_knn, exact_radius
    rng = np.random.default_rng(5)
    P = rng.random((200_000, 2))
    l2 = _exact_tiles(P, "euclidean", np.array([1.0, 0.5]))  # the Euclidean scan with sides too
    parts = []
    for m in (5, 300):
        Q = rng.random((m, 2))
        ex = rng.integers(0, 200_000, m)
        parts += [*exact_knn(P, Q, 7, ex), *exact_radius(P, Q, 0.004, ex)]
        parts += [*_exact_knn_tiles(l2, Q, 7, ex), *_exact_radius_tiles(l2, Q, 0.003, ex)]
    print(hashlib.sha256(b"".join(a.tobytes() for a in parts)).hexdigest())
""")


@pytest.mark.threads
def test_same_rows_on_any_thread_count():
    (here,) = outputs_under_thread_counts(THREADS_SCRIPT, ("1",))
    namespace = {}
    exec(THREADS_SCRIPT.replace("print(", "result = ("), namespace)
    assert here == namespace["result"]
    # and the split runs merge into the brute force's rows
    rng = np.random.default_rng(5)
    P, Q = rng.random((200_000, 2)), rng.random((3, 2))
    same(exact_knn(P, Q, 7), brute_knn(P, Q, 7))
    l2 = _exact_knn_tiles(_exact_tiles(P, "euclidean", np.array([1.0, 0.5])), Q, 7)
    same(l2, brute_knn(P, Q, 7, None, "euclidean", [1.0, 0.5]))


def index_error(call):
    try:
        call()
    except BaseException as e:  # noqa: BLE001 - PanicException derives from BaseException
        return type(e)
    return None


GOOD_Q = np.zeros((4, 3))


@pytest.mark.parametrize(
    "queries,arg,exclude",
    [
        ([[0.1, 0.2, 0.3]], 2, None),  # not an array
        (GOOD_Q.astype(np.float32), 2, None),  # wrong dtype
        (np.zeros(3), 2, None),  # one dimension
        (np.zeros((4, 2)), 2, None),  # width
        (GOOD_Q, 2, np.zeros(3, np.int64)),  # exclude_ids too short
        (GOOD_Q, 2, np.zeros(4)),  # exclude_ids dtype
        (GOOD_Q, 2, np.zeros((4, 1, 1), np.int64)),  # exclude_ids dimensions
        (GOOD_Q, -1, None),  # negative k
        (GOOD_Q, 2**64, None),  # k out of range
        (GOOD_Q, "2", None),  # k of the wrong type
        (np.zeros((8, 3))[::2], 2, None),  # not contiguous
    ],
)
def test_bad_input_raises_as_the_index_does(queries, arg, exclude):
    ix = RustLshIndex(**random_params(np.random.default_rng(0), d=3, L=2, K=2, b=4))
    ix.build(np.random.default_rng(1).random((20, 3)), 10)
    P = np.random.default_rng(2).random((20, 3))
    want = index_error(lambda: ix.query_knn(queries, arg, exclude_ids=exclude))
    assert want is not None
    with pytest.raises(want):
        exact_knn(P, queries, arg, exclude_ids=exclude)
    radius = arg if not isinstance(arg, int) or arg >= 0 else 0.5
    want = index_error(lambda: ix.query_radius(queries, radius, exclude_ids=exclude))
    if want is not None:
        with pytest.raises(want):
            exact_radius(P, queries, radius, exclude_ids=exclude)
    # the points take the same checks as queries
    if not isinstance(queries, np.ndarray) or queries.dtype != np.float64 or queries.ndim != 2:
        with pytest.raises(index_error(lambda: ix.query_knn(queries, 2))):
            exact_knn(queries, GOOD_Q, 2)


def test_exact_scan_answers_as_the_functions_and_both_check_arguments():
    rng = np.random.default_rng(4)
    P, Q = rng.random((300, 5)), rng.random((20, 5)) * 2 - 0.5
    ex = rng.integers(-1, 300, 20)
    scan, Q32 = plovik.ExactScan(P), Q.astype(np.float32)
    assert (scan.n, scan.d) == (300, 5)
    for got, want in (
        (scan.knn(Q, 7, ex), plovik.exact_knn(P, Q, 7, ex)),
        (scan.radius(Q, 0.9, ex), plovik.exact_radius(P, Q, 0.9, ex)),
        (scan.knn(Q, 7, ex, threads=1), plovik.exact_knn(P, Q, 7, ex, threads=3)),
        (scan.radius(Q, 0.9, ex, threads=2000), plovik.exact_radius(P, Q, 0.9, ex, threads=1)),
        # the functions are the native scan of their input converted (lists, single precision)
        (plovik.exact_knn(P.tolist(), Q32, 7, ex.tolist()), exact_knn(P, Q32.astype(np.float64), 7, ex)),
        (plovik.exact_radius(P, Q, 0.9, ex), exact_radius(P, Q, 0.9, ex)),
    ):
        same(got, want)
    # threads= is checked by the one validator of every threads=
    for threads, exc, message in [
        (0, ValueError, "threads must be at least 1, got 0"),
        (True, TypeError, "got a bool"),
        (1.5, TypeError, "got float"),
    ]:
        for f in (scan.knn, scan.radius, partial(plovik.exact_knn, P), partial(plovik.exact_radius, P)):
            with pytest.raises(exc, match=message):
                f(Q, 1, threads=threads)
    # the functions and the scan check their arguments alike
    for call, message in [
        (lambda f: f(Q, 0), "k must be at least 1"),
        (lambda f: f(Q[:, :4], 1), "queries has 4 columns but points have 5"),
        (lambda f: f(Q, 1, np.full(20, 300)), r"exclude_ids must lie in \[-1, 300\)"),
        (lambda f: f(Q, 1, np.arange(3)), r"exclude_ids must have shape \(20,\)"),
        (lambda f: f(Q * np.nan, 1), "queries must be finite"),
        (lambda f: f(Q.astype(int), 1), "queries holds integers .* fractions of the period"),
    ]:
        for f in (scan.knn, lambda *a: plovik.exact_knn(P, *a)):
            with pytest.raises(ValueError, match=message):
                call(f)
    for f in (scan.radius, lambda *a: plovik.exact_radius(P, *a)):
        with pytest.raises(ValueError, match=r"radius must be finite and non-negative, got -1\.0"):
            f(Q, -1.0)
    # the native functions' own argument matching
    Z = np.zeros((3, 2))
    with pytest.raises(TypeError, match="exact_knn"):
        exact_knn(Z, Z)
    with pytest.raises(TypeError, match="exact_radius"):
        exact_radius(Z, Z, 0.1, exclude=None)
    with pytest.raises(PanicException, match="exclude_ids holds 2 entries but there are 3 queries"):
        exact_radius(Z, Z, 0.1, np.zeros(2, np.int64))
    with pytest.raises(ValueError, match="queries have 3 columns but the points have d = 2"):
        exact_knn(Z, np.zeros((1, 3)), 1)
    # prepared points: only a capsule of _exact_tiles, checked like the points
    with pytest.raises(TypeError, match="argument 'tiles': expected the prepared points of _exact_tiles"):
        _exact_knn_tiles(Z, Z, 1)
    with pytest.raises(ValueError, match="queries have 3 columns but the points have d = 2"):
        _exact_radius_tiles(_exact_tiles(Z), np.zeros((1, 3)), 0.1)


def test_non_finite_values_are_found_in_every_chunk_of_a_large_array():
    """The finiteness check, in parallel chunks of 65,536 values, finds a bad value wherever it lies."""
    X = np.random.default_rng(5).random((70_000, 3))  # four chunks, the last partial
    assert _all_finite(X) and _all_finite(X[:0])
    for flat in (0, 65_535, 65_536, 131_072, X.size - 1):
        for bad in (np.nan, np.inf, -np.inf):
            Y = X.copy()
            Y.flat[flat] = bad
            assert not _all_finite(Y)
            with pytest.raises(ValueError, match="points must be finite"):
                plovik.ExactScan(Y)
            with pytest.raises(ValueError, match=rf"points must be finite: row {flat // 3}, column {flat % 3} holds"):
                PlovikSearch(3, tune=False).build(Y)


def test_the_engines_single_precision_copy_is_the_references_in_every_chunk():
    """`_native._wrap_f32` (the exact store's copy) gives the reference's x - floor(x) rounded, bit for bit,
    where a chunk of 65,536 values lies in [0, 1), where one value of it does not, where half are negative,
    and for a count that leaves values after the last whole vector; any layout of the input."""
    edges = [-0.0, 0.0, 1.0, -1.0, 1 - 2**-53, -(2**-60), 2.5, -3.25, 1e15 + 0.5, -1e300, 0.99999997, 1 - 2**-25]
    X = np.random.default_rng(6).random((70_000, 3))
    X.flat[65_536 : 65_536 + len(edges)] = edges  # the second chunk only needs wrapping
    X.flat[-1] = -0.0  # as does the last, for its -0.0
    X.flat[12_344] = -(2**-60)  # the last of 12,345 values, past the whole vectors
    tail = X.reshape(-1)[:12_345].reshape(-1, 5)
    for values in (X, X[:0], np.asfortranarray(X), X[::2, :2].copy(order="F"), tail, tail - 0.5):
        got = plovik._native._wrap_f32(values)
        assert got.dtype == np.float32 and got.flags.c_contiguous and got.shape == values.shape
        assert got.tobytes() == np.ascontiguousarray(_wrap_f32(values)).tobytes()
    for bad, error in ((X[0], "expected a 2-dimensional array"), (X[:, ::2], "not contiguous")):
        with pytest.raises(TypeError, match=error):
            plovik._native._wrap_f32(bad)
