"""Exact toroidal-L1 search by brute force, and recall against it.

`exact_knn` and `exact_radius` compare every query with every point. They are
a user's exact baseline, the ground truth `PlovikSearch` tunes its settings
against, and the answer of a search whose data no hash setting helps. Their
distances are the index's own: single-precision toroidal L1 with the fixed
summation order of the per-query path (the reference's general kernel), so an
id the index finds has the same distance here, bit for bit, and rows follow
the same (distance, id) order. The work is done in blocks of queries and
points so that memory stays bounded whatever n and m are; the cost is
m * n * d.
"""

from __future__ import annotations

import math
import operator

import numpy as np
import numpy.typing as npt

from plovik.lsh import _sum_general, _terms, _widen, _wrap_f32

__all__ = ["exact_knn", "exact_radius", "recall_at_k", "torus_l1"]

# Coordinate terms of one (queries, points) block: bounds the memory of a step.
_BLOCK_ELEMENTS = 1 << 21
_QUERY_BLOCK = 256
_NONE = np.uint64(0xFFFFFFFFFFFFFFFF)


def torus_l1(a: npt.ArrayLike, b: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """Toroidal L1 distance between broadcastable coordinate arrays (last axis summed), in float64.

    Both sides are wrapped onto [0, 1) first, so any finite values work.
    """
    a = np.asarray(a, np.float64)
    b = np.asarray(b, np.float64)
    diff = np.abs((a - np.floor(a)) - (b - np.floor(b)))
    out: npt.NDArray[np.float64] = np.minimum(diff, 1.0 - diff).sum(axis=-1)
    return out


def _coords(value: npt.ArrayLike, name: str, d: int | None) -> npt.NDArray[np.float64]:
    arr = np.asarray(value)
    if arr.dtype.kind not in "iuf":
        raise TypeError(f"{name} must hold real numbers, got dtype {arr.dtype}")
    if arr.ndim != 2:
        raise ValueError(f"{name} must be a 2-D array, got shape {arr.shape}")
    if d is not None and arr.shape[1] != d:
        raise ValueError(f"{name} has {arr.shape[1]} columns but points have {d}")
    out = np.ascontiguousarray(arr, dtype=np.float64)
    if out.size and not (math.isfinite(out.min()) and math.isfinite(out.max())):
        raise ValueError(f"{name} must be finite")
    return out


def _prepare(points, queries, exclude_ids):
    P = _coords(points, "points", None)
    Q = _coords(queries, "queries", P.shape[1])
    m, n = Q.shape[0], P.shape[0]
    if n >= 1 << 32:
        raise ValueError("points must hold fewer than 2**32 rows")
    if exclude_ids is None:
        ex = np.full(m, -1, np.int64)
    else:
        ex = np.asarray(exclude_ids)
        if ex.dtype.kind not in "iu" and not (ex.size == 0 and ex.dtype.kind == "f"):
            raise TypeError(f"exclude_ids must hold integers, got dtype {ex.dtype}")
        if ex.shape != (m,):
            raise ValueError(f"exclude_ids must have shape ({m},), one id per query, got shape {ex.shape}")
        ex = ex.astype(np.int64)
        if ex.size and (ex.min() < -1 or ex.max() >= n):
            raise ValueError(f"exclude_ids must lie in [-1, {n}) (-1 excludes nothing)")
    return _wrap_f32(P).T.copy(), _wrap_f32(Q).T.copy(), ex


def _blocks(pf: np.ndarray, qf: np.ndarray, ex: np.ndarray):
    """Yield (q0, q1, p0, bits) with bits the (q1 - q0, p1 - p0) uint32 distance bits;
    the excluded id of each query gets the bits of NaN (never <= anything)."""
    d, n = pf.shape
    m = qf.shape[1]
    for q0 in range(0, m, _QUERY_BLOCK):
        q1 = min(q0 + _QUERY_BLOCK, m)
        step = max(1, _BLOCK_ELEMENTS // max((q1 - q0) * d, 1))
        for p0 in range(0, n, step):
            p1 = min(p0 + step, n)
            terms = _terms(qf[:, q0:q1, None], pf[:, None, p0:p1])  # (d, queries, points)
            # Columns of the (pairs, d) term matrix are contiguous rows of `terms`.
            sums = _sum_general(terms.reshape(d, -1).T) if d else np.zeros(terms[0].size, np.float32)
            bits = sums.view(np.uint32).reshape(q1 - q0, p1 - p0).copy()
            own = ex[q0:q1] - p0
            hit = (own >= 0) & (own < p1 - p0)
            bits[np.flatnonzero(hit), own[hit]] = 0x7FC00000
            yield q0, q1, p0, bits


def exact_knn(
    points: npt.ArrayLike,
    queries: npt.ArrayLike,
    k: int,
    exclude_ids: npt.ArrayLike | None = None,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """The exact k nearest points of each query under toroidal L1.

    Args:
        points: (n, d) finite coordinates (wrapped onto the torus).
        queries: (m, d) finite coordinates.
        k: Neighbours per query, at least 1.
        exclude_ids: Optional (m,) ids, one excluded per query; -1 excludes nothing.

    Returns:
        (idx, dist), both (m, k): int64 ids and the single-precision distances
        widened to float64, each row ascending by (distance, id), padded with
        -1 / inf past the points there are.
    """
    if isinstance(k, (bool, np.bool_)):
        raise TypeError("k must be an integer, got a bool")
    k = operator.index(k)
    if k < 1:
        raise ValueError(f"k must be at least 1, got {k}")
    pf, qf, ex = _prepare(points, queries, exclude_ids)
    m = qf.shape[1]
    # (bits << 32) | id orders exactly like (distance, id) for non-negative distances.
    best = np.full((m, k), _NONE, np.uint64)
    for q0, q1, p0, bits in _blocks(pf, qf, ex):
        ids = np.arange(p0, p0 + bits.shape[1], dtype=np.uint64)
        key = (bits.astype(np.uint64) << np.uint64(32)) | ids
        key[bits == 0x7FC00000] = _NONE
        both = np.concatenate([best[q0:q1], key], axis=1)
        if both.shape[1] > k:
            both = np.partition(both, k - 1, axis=1)[:, :k]
        best[q0:q1] = np.sort(both, axis=1)
    missing = best == _NONE
    idx = (best & np.uint64(0xFFFFFFFF)).astype(np.int64)
    dist = _widen((best >> np.uint64(32)).astype(np.uint32))
    idx[missing] = -1
    dist[missing] = np.inf
    return idx, dist


def exact_radius(
    points: npt.ArrayLike,
    queries: npt.ArrayLike,
    radius: float,
    exclude_ids: npt.ArrayLike | None = None,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """Every point within `radius` of each query under toroidal L1, exactly.

    The radius is inclusive and compared in single precision, as the index
    compares it. Returns (indptr, ids, dists) in compressed sparse row form:
    query i owns ids[indptr[i]:indptr[i + 1]], ascending by (distance, id).
    """
    r = float(radius)
    if not (math.isfinite(r) and r >= 0.0):
        raise ValueError(f"radius must be finite and non-negative, got {r}")
    with np.errstate(over="ignore"):
        r32 = np.float32(r)
    pf, qf, ex = _prepare(points, queries, exclude_ids)
    m = qf.shape[1]
    rows: list[list[np.ndarray]] = [[] for _ in range(m)]
    for q0, _q1, p0, bits in _blocks(pf, qf, ex):
        qi, pi = np.nonzero(bits.view(np.float32) <= r32)  # NaN (the excluded id) never passes
        if qi.size == 0:
            continue
        cut = np.flatnonzero(np.diff(qi)) + 1
        for part_q, part_p in zip(np.split(qi, cut), np.split(pi, cut)):
            rows[q0 + int(part_q[0])].append(np.stack([bits[part_q, part_p].astype(np.int64), part_p + p0]))
    counts = np.zeros(m, np.int64)
    out_ids, out_bits = [], []
    for i, parts in enumerate(rows):
        if not parts:
            continue
        both = np.concatenate(parts, axis=1)
        order = np.lexsort((both[1], both[0]))
        out_bits.append(both[0, order])
        out_ids.append(both[1, order])
        counts[i] = order.size
    indptr = np.zeros(m + 1, np.int64)
    np.cumsum(counts, out=indptr[1:])
    ids = np.concatenate(out_ids) if out_ids else np.zeros(0, np.int64)
    bits = np.concatenate(out_bits).astype(np.uint32) if out_bits else np.zeros(0, np.uint32)
    return indptr, ids, _widen(bits)


def recall_at_k(found: npt.ArrayLike, exact: npt.ArrayLike) -> float:
    """Share of the exact neighbours that `found` contains, over all rows.

    Both are (m, k) id arrays; -1 entries of `exact` (padding) are not counted.
    Returns 1.0 when there is nothing to find.
    """
    F = np.asarray(found, np.int64)
    E = np.asarray(exact, np.int64)
    if F.shape[0] != E.shape[0]:
        raise ValueError(f"found has {F.shape[0]} rows but exact has {E.shape[0]}")
    hits = total = 0
    for f, e in zip(F, E):
        e = e[e >= 0]
        hits += int(np.isin(e, f[f >= 0]).sum())
        total += e.size
    return float(hits / total) if total else 1.0
