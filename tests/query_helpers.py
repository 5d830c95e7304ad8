"""Shared pieces of the query tests: independent models of the single-precision
toroidal L1 distance and of brute-force rows, row checks, built index pairs and
a strategy drawing random indexes."""

import numpy as np
from hypothesis import strategies as st

from index_helpers import random_params
from plovik import RustLshIndex
from plovik.lsh import QUERY_COUNTERS, PythonLshIndex, pool_thread_count

F32 = np.float32
COUNTERS = QUERY_COUNTERS
KERNEL_DIMS = (8, 16, 24)  # the blocked path associates their sums differently


def wrap_f32(x):
    """x - floor(x) in double precision, then rounded to single precision."""
    x = np.asarray(x, np.float64)
    with np.errstate(invalid="ignore"):
        return (x - np.floor(x)).astype(F32)


def torus_l1(q, P):
    """Distances (float32) from the query q (d,) to every row of P (n, d): terms
    min(a, 1 - a) of a = |q - p|, blocks of sixteen into four four-lane
    accumulators, then groups of four seeded with the running sum, then single terms."""
    q, P = wrap_f32(q), wrap_f32(np.atleast_2d(P))
    a = np.abs(q[None, :] - P)
    t = np.where(a < F32(1) - a, a, F32(1) - a)
    n, D = t.shape
    s, c = np.zeros(n, F32), 0
    if D >= 16:
        acc = np.zeros((n, 4, 4), F32)  # [point, accumulator, lane]
        while D - c >= 16:
            acc = acc + t[:, c : c + 16].reshape(n, 4, 4)
            c += 16
        lanes = ((acc[:, 0] + acc[:, 1]) + acc[:, 2]) + acc[:, 3]
        s = (lanes[:, 0] + lanes[:, 1]) + (lanes[:, 2] + lanes[:, 3])
    if D - c >= 4:
        lanes = np.zeros((n, 4), F32)
        lanes[:, 0] = s
        while D - c >= 4:
            lanes = lanes + t[:, c : c + 4]
            c += 4
        s = (lanes[:, 0] + lanes[:, 1]) + (lanes[:, 2] + lanes[:, 3])
    while c < D:
        s = t[:, c] + s
        c += 1
    return s.astype(F32)


def ordered(ids, d32):
    """ids and float32 distances sorted by (distance bits, id)."""
    ids = np.asarray(ids, np.int64)
    order = np.lexsort((ids, np.asarray(d32, F32).view(np.uint32)))
    return ids[order], np.asarray(d32, F32)[order]


def brute_row(points, q, k, exclude=-1):
    """The k nearest of all points, padded with -1 / inf."""
    ids = np.arange(len(points))
    d = torus_l1(q, points) if len(points) else np.zeros(0, F32)
    ids, d = ordered(ids[ids != exclude], d[ids != exclude])
    pad = max(k - ids.size, 0)
    return np.r_[ids[:k], [-1] * pad].astype(np.int64), np.r_[d[:k].astype(np.float64), [np.inf] * pad]


def reached(index, reference, q):
    """Ids in the probed buckets of q (d,): the reference's probe keys in the native tables."""
    t, found = index.tables(), set()
    for tab, keys in enumerate(reference._probe_keys(np.atleast_2d(q))[0]):
        for tier in ("static", "cand_sorted"):
            found.update(t[f"{tier}_ids"][tab][np.isin(t[f"{tier}_keys"][tab], keys)].tolist())
    return np.array(sorted(found), np.int64)


def check_row(points, q, ids, dist, exclude=-1, exact=True):
    """Distinct ids ascending by (distance, id), padding (-1, inf) at the end, the
    excluded id absent; distances the model's when exact, else single-precision values."""
    n_real = int((ids >= 0).sum())
    assert (ids[:n_real] >= 0).all() and (ids[n_real:] == -1).all() and np.isinf(dist[n_real:]).all()
    got, d = ids[:n_real], dist[:n_real]
    assert len(set(got.tolist())) == n_real and exclude not in got.tolist()
    assert np.lexsort((got, d)).tolist() == list(range(n_real))
    if exact:
        want = torus_l1(q, points[got]) if n_real else np.zeros(0, F32)
        assert d.tolist() == want.astype(np.float64).tolist()
    else:
        assert (d.astype(F32).astype(np.float64) == d).all()


def counted(index):
    s = index.stats()
    return {c: s[c] for c in ("queries", "cands", "pairs", "relaxed")}


def assert_rows_equal(a, b):
    assert len(a) == len(b)
    for x, y in zip(a, b, strict=True):
        np.testing.assert_array_equal(x, y)


def built(params, pts, n_static, **overrides):
    """The native index and the reference (blocks cut for the native pool's size), both built."""
    native = RustLshIndex(**{**params, **overrides})
    reference = PythonLshIndex(**{**params, **overrides})
    reference.threads = pool_thread_count()
    for ix in (native, reference):
        ix.build(pts, n_static)
    return native, reference


@st.composite
def indexes(draw, blocks=(1024,)):
    """Random parameters, points (both tiers, with and without directories, ties
    and duplicates), n_static, a generator and the rounding queries should use."""
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    d = draw(st.sampled_from([1, 2, 3, 4, 5, 7, 8, 12, 16, 17, 20, 24, 33]))
    L, K = draw(st.integers(1, 4)), draw(st.integers(1, 5))
    if draw(st.booleans()):
        b = draw(st.sampled_from([1, 2, 3, 4, 7]))
    else:
        b, K = 64, 4  # 64^4 keys: no directory, buckets found by binary search
    params = random_params(rng, d, L, K, b, probes=draw(st.integers(0, K + 2)), block=draw(st.sampled_from(blocks)))
    if draw(st.booleans()):  # cell walls on the grid: margins tie, fractions of exactly 0.5
        params["u"] = np.zeros((L, K))
    n = draw(st.integers(0, 300))
    grid = draw(st.sampled_from([None, 2, 4]))  # ties and duplicate points
    snap = (lambda x: np.floor(x * grid) / grid) if grid else (lambda x: x)
    return params, snap(rng.random((n, d))), draw(st.sampled_from([0, n // 3, n])), rng, snap
