"""Independent models for the query tests: the single-precision toroidal L1
distance, brute-force rows, and the set of points a query's probes reach."""

import numpy as np

F32 = np.float32


def wrap_f32(x):
    """x - floor(x) in double precision, then rounded to single precision."""
    x = np.asarray(x, np.float64)
    with np.errstate(invalid="ignore"):
        return (x - np.floor(x)).astype(F32)


def torus_l1(q, P):
    """Distances (float32) from the query q (d,) to every row of P (n, d).

    Terms min(a, 1 - a) of a = |q - p|, summed in four-lane groups: blocks
    of sixteen into four accumulators, then whole groups of four into one
    accumulator seeded with the running sum, then single terms on the left.
    """
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


def bits(d32):
    return np.asarray(d32, F32).view(np.uint32)


def ordered(ids, d32):
    """ids and float32 distances sorted by (distance bits, id)."""
    ids = np.asarray(ids, np.int64)
    order = np.lexsort((ids, bits(d32)))
    return ids[order], np.asarray(d32, F32)[order]


def brute_row(points, q, k, exclude=-1):
    """The k nearest of all points, padded with -1 / inf."""
    ids = np.arange(len(points))
    d = torus_l1(q, points) if len(points) else np.zeros(0, F32)
    keep = ids != exclude
    ids, d = ordered(ids[keep], d[keep])
    ids, d = ids[:k], d[:k].astype(np.float64)
    pad = k - ids.size
    return np.r_[ids, [-1] * pad].astype(np.int64), np.r_[d, [np.inf] * pad]


def reached(index, reference, q):
    """Ids in the probed buckets of each query: the reference's probe keys
    looked up in the native index's tables."""
    keys = reference._probe_keys(np.atleast_2d(q))  # (m, L, probes)
    t = index.tables()
    out = []
    for row in keys:
        found = set()
        for tab, probe_keys in enumerate(row):
            for sk, si in (("static_keys", "static_ids"), ("cand_sorted_keys", "cand_sorted_ids")):
                hit = np.isin(t[sk][tab], probe_keys)
                found.update(t[si][tab][hit].tolist())
        out.append(np.array(sorted(found), np.int64))
    return out


def check_row(points, q, ids, dist, exclude=-1):
    """A row is a valid answer shape: real distances, sorted, distinct,
    padding only at the end, excluded id absent."""
    real = ids >= 0
    n_real = int(real.sum())
    assert real[:n_real].all() and not real[n_real:].any()
    assert np.isinf(dist[n_real:]).all()
    got, d = ids[:n_real], dist[:n_real]
    assert len(set(got.tolist())) == n_real
    assert exclude not in got.tolist()
    want = torus_l1(q, points[got]) if n_real else np.zeros(0, F32)
    assert d.tolist() == want.astype(np.float64).tolist()
    assert got.tolist() == ordered(got, want)[0].tolist()
