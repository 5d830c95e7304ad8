"""The native exact scan (plovik._native.exact_knn / exact_radius) against a
brute force written here with the reference's single-precision distances,
on every thread count, and its argument errors against the index methods'."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import plovik
from index_helpers import random_params
from plovik import PanicException, RustLshIndex
from plovik._native import _exact_knn_tiles, _exact_radius_tiles, _exact_tiles, exact_knn, exact_radius
from plovik.lsh import _sum_general, _terms, _widen, _wrap_f32

try:
    import scipy.sparse as sparse  # exclude_ids as a sparse matrix too, where SciPy is installed
except ImportError:
    sparse = None


def brute_bits(points, queries):
    """(m, n) distance bits: the per-query path's terms and summation order."""
    pf, qf = _wrap_f32(points), _wrap_f32(queries)
    rows = [_sum_general(_terms(q[None, :], pf)).view(np.uint32) for q in qf]
    return np.array(rows, np.uint32).reshape(len(qf), len(pf))


def brute_knn(points, queries, k, exclude=None):
    bits = brute_bits(points, queries)
    m, n = bits.shape
    idx, dist = np.full((m, k), -1, np.int64), np.full((m, k), np.inf)
    for i in range(m):
        ids = np.arange(n)
        if exclude is not None:  # one id or a row of ids per query
            ids = ids[~np.isin(ids, exclude[i])]
        ids = ids[np.lexsort((ids, bits[i, ids]))][:k]
        idx[i, : ids.size], dist[i, : ids.size] = ids, _widen(bits[i, ids])
    return idx, dist


def brute_radius(points, queries, radius, exclude=None):
    bits = brute_bits(points, queries)
    m, n = bits.shape
    with np.errstate(over="ignore"):
        r = np.float32(radius)
    indptr, ids, dists = [0], [np.zeros(0, np.int64)], [np.zeros(0)]
    for i in range(m):
        hit = np.flatnonzero(
            (bits[i].view(np.float32) <= r) & ~np.isin(np.arange(n), [] if exclude is None else exclude[i])
        )
        hit = hit[np.lexsort((hit, bits[i, hit]))]
        ids.append(hit)
        dists.append(_widen(bits[i, hit]))
        indptr.append(indptr[-1] + hit.size)
    return np.array(indptr, np.int64), np.concatenate(ids).astype(np.int64), np.concatenate(dists)


def data(rng, n, m, d, grid):
    """Uniform coordinates, or (grid) multiples of 1/4 so that most distances
    tie; a few values outside [0, 1) that the wrap brings back."""
    if grid:
        P, Q = rng.integers(-4, 8, (n, d)) / 4.0, rng.integers(0, 4, (m, d)) / 4.0
    else:
        P, Q = rng.random((n, d)) * 1.5 - 0.25, rng.random((m, d))
    return P, Q


@pytest.mark.parametrize("d", [1, 3, 16, 17, 40])
@pytest.mark.parametrize("grid", [False, True])
def test_equals_brute_force(d, grid):
    """Rows of the functions and of points prepared once, one excluded id per
    query; then (m, e) exclude_ids padded with -1, repeated ids and the
    query's own among them, through the functions and ExactScan: the rows
    are brute force's without those ids, k of them while the points last."""
    rng = np.random.default_rng(d * 2 + grid)
    n, m = 203, 37  # a partial tile, more than one block of queries
    P, Q = data(rng, n, m, d, grid)
    ex = rng.integers(-1, n + 2, m)  # -1 and ids past n exclude nothing
    tiles = _exact_tiles(P)  # the points prepared once answer alike
    for k in (1, 9, n + 5):
        for exclude in (None, ex):
            want_idx, want_dist = brute_knn(P, Q, k, exclude)
            for idx, dist in (exact_knn(P, Q, k, exclude), _exact_knn_tiles(tiles, Q, k, exclude)):
                assert idx.shape == dist.shape == (m, k) and idx.flags.c_contiguous
                assert np.array_equal(idx, want_idx) and np.array_equal(dist, want_dist)
    for radius in (0.0, 0.1 * d, 0.3 * d, np.inf):
        want = brute_radius(P, Q, radius, ex)
        for got in (exact_radius(P, Q, radius, exclude_ids=ex), _exact_radius_tiles(tiles, Q, radius, ex)):
            assert all(np.array_equal(a, b) for a, b in zip(got, want, strict=True))
    scan, k, r = plovik.ExactScan(P), 5, 0.4 * d / 3
    for e in (0, 1, 3, 64):
        several = rng.integers(-1, n, (m, e))
        several[::4, : e // 2] = -1
        if e:
            several[1, :] = several[1, 0]  # one id many times
        want_knn, want_radius = brute_knn(P, Q, k, several), brute_radius(P, Q, r, several)
        csr = (
            several
            if sparse is None
            else sparse.csr_matrix(  # the ids as a sparse matrix too, with SciPy
                (np.ones((several >= 0).sum()), (np.nonzero(several >= 0)[0], several[several >= 0])), shape=(m, n)
            )
        )
        for got in (plovik.exact_knn(P, Q, k, several), scan.knn(Q, k, several), scan.knn(Q, k, csr)):
            assert all(np.array_equal(a, b) for a, b in zip(got, want_knn, strict=True))
        for got in (plovik.exact_radius(P, Q, r, several), scan.radius(Q, r, several)):
            assert all(np.array_equal(a, b) for a, b in zip(got, want_radius, strict=True))
    # more excluded than points: rows padded, nothing else
    few = plovik.exact_knn(P[:3], Q[:2], 2, [[0, 1], [-1, -1]])
    assert few[0].tolist() == [[2, -1], few[0][1].tolist()] and (few[0][1] >= 0).all()


@pytest.mark.parametrize("n,m,d", [(0, 4, 3), (5, 0, 3), (0, 0, 2), (6, 3, 0)])
def test_empty_inputs(n, m, d):
    P, Q = np.zeros((n, d)) + 0.5, np.zeros((m, d))
    idx, dist = exact_knn(P, Q, 3)
    assert (
        idx.shape == (m, 3)
        and np.array_equal(idx, brute_knn(P, Q, 3)[0])
        and np.array_equal(dist, brute_knn(P, Q, 3)[1])
    )
    assert exact_knn(P, Q, 0)[0].shape == (m, 0)
    indptr, ids, dists = exact_radius(P, Q, 1.0)
    assert np.array_equal(indptr, brute_radius(P, Q, 1.0)[0]) and ids.size == dists.size == indptr[-1]
    tiles = _exact_tiles(P)
    assert all(np.array_equal(a, b) for a, b in zip(_exact_knn_tiles(tiles, Q, 3), exact_knn(P, Q, 3), strict=True))
    assert all(
        np.array_equal(a, b) for a, b in zip(_exact_radius_tiles(tiles, Q, 1.0), (indptr, ids, dists), strict=True)
    )


# Large enough that a few queries are split into several runs of points,
# differently for 1 and 2 workers; many queries take whole runs.
THREADS_SCRIPT = textwrap.dedent("""
    import hashlib, numpy as np
    from plovik._native import exact_knn, exact_radius
    rng = np.random.default_rng(5)
    P = rng.random((200_000, 2))
    parts = []
    for m in (5, 300):
        Q = rng.random((m, 2))
        ex = rng.integers(0, 200_000, m)
        parts += [*exact_knn(P, Q, 7, ex), *exact_radius(P, Q, 0.004, ex)]
    print(hashlib.sha256(b"".join(a.tobytes() for a in parts)).hexdigest())
""")


@pytest.mark.threads
def test_same_rows_on_any_thread_count():
    here = subprocess.run(
        [sys.executable, "-c", THREADS_SCRIPT],
        check=True,
        capture_output=True,
        text=True,
        env={**os.environ, "RAYON_NUM_THREADS": "1"},
    ).stdout
    namespace = {}
    exec(THREADS_SCRIPT.replace("print(", "result = ("), namespace)
    assert here.strip() == namespace["result"]
    # and the split runs merge into the brute force's rows
    rng = np.random.default_rng(5)
    P, Q = rng.random((200_000, 2)), rng.random((3, 2))
    assert all(np.array_equal(a, b) for a, b in zip(exact_knn(P, Q, 7), brute_knn(P, Q, 7), strict=True))


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


def test_argument_matching():
    P = np.zeros((3, 2))
    with pytest.raises(TypeError, match="exact_knn"):
        exact_knn(P, P)
    with pytest.raises(TypeError, match="exact_radius"):
        exact_radius(P, P, 0.1, exclude=None)
    with pytest.raises(PanicException, match="exclude_ids holds 2 entries but there are 3 queries"):
        exact_radius(P, P, 0.1, np.zeros(2, np.int64))
    with pytest.raises(ValueError, match="queries have 3 columns but the points have d = 2"):
        exact_knn(P, np.zeros((1, 3)), 1)
    # prepared points: only a capsule of _exact_tiles, checked like the points
    with pytest.raises(TypeError, match="argument 'tiles': expected the prepared points of _exact_tiles"):
        _exact_knn_tiles(P, P, 1)
    with pytest.raises(ValueError, match="queries have 3 columns but the points have d = 2"):
        _exact_radius_tiles(_exact_tiles(P), np.zeros((1, 3)), 0.1)


def test_exact_scan_answers_as_the_functions():
    rng = np.random.default_rng(4)
    P, Q = rng.random((300, 5)), rng.random((20, 5)) * 2 - 0.5
    ex = rng.integers(-1, 300, 20)
    scan = plovik.ExactScan(P)
    assert (scan.n, scan.d) == (300, 5)
    for got, want in (
        (scan.knn(Q, 7, ex), plovik.exact_knn(P, Q, 7, ex)),
        (scan.radius(Q, 0.9, ex), plovik.exact_radius(P, Q, 0.9, ex)),
        (scan.knn(Q, 7, ex, threads=1), plovik.exact_knn(P, Q, 7, ex, threads=3)),
        (scan.radius(Q, 0.9, ex, threads=2000), plovik.exact_radius(P, Q, 0.9, ex, threads=1)),
    ):
        assert all(np.array_equal(a, b) for a, b in zip(got, want, strict=True))
    # threads= is checked by the one validator of every threads=
    for threads, exc, message in [
        (0, ValueError, "threads must be at least 1, got 0"),
        (True, TypeError, "got a bool"),
        (1.5, TypeError, "got float"),
    ]:
        for f in (
            scan.knn,
            scan.radius,
            lambda *a, **kw: plovik.exact_knn(P, *a, **kw),
            lambda *a, **kw: plovik.exact_radius(P, *a, **kw),
        ):
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
