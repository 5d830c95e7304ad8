"""Exact toroidal-L1 search by brute force in NumPy, and recall against it.

Used by the demo and the benchmark to measure how many of the true nearest
neighbours the index finds. It compares every query with every point, so it
is meant for a sample of queries; its cost is m * n * d.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

__all__ = ["exact_knn", "recall_at_k", "torus_l1"]

# Elements of one (queries, points) distance block: bounds the memory of a step.
_BLOCK_ELEMENTS = 1 << 22


def torus_l1(a: npt.ArrayLike, b: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """Toroidal L1 distance between broadcastable coordinate arrays (last axis summed).

    Both sides are wrapped onto [0, 1) first, so any finite values work.
    """
    a = np.asarray(a, np.float64)
    b = np.asarray(b, np.float64)
    diff = np.abs((a - np.floor(a)) - (b - np.floor(b)))
    out: npt.NDArray[np.float64] = np.minimum(diff, 1.0 - diff).sum(axis=-1)
    return out


def exact_knn(
    points: npt.ArrayLike,
    queries: npt.ArrayLike,
    k: int,
    exclude_ids: npt.ArrayLike | None = None,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """The exact k nearest points of each query, in float64, ties by ascending id.

    Args:
        points: (n, d) coordinates.
        queries: (m, d) coordinates.
        k: Neighbours per query (rows are padded with -1 / inf past n).
        exclude_ids: Optional (m,) ids, one excluded per query; -1 excludes nothing.

    Returns:
        (idx, dist), both (m, k).
    """
    P = np.asarray(points, np.float64)
    Q = np.asarray(queries, np.float64)
    n, m = P.shape[0], Q.shape[0]
    P = P - np.floor(P)
    Q = Q - np.floor(Q)
    cols = np.ascontiguousarray(P.T)
    ex = np.full(m, -1, np.int64) if exclude_ids is None else np.asarray(exclude_ids, np.int64)
    idx = np.full((m, k), -1, np.int64)
    dist = np.full((m, k), np.inf)
    take = min(k, n)
    step = max(1, _BLOCK_ELEMENTS // max(n, 1))
    for a in range(0, m, step):
        q = Q[a : a + step]
        acc = np.zeros((q.shape[0], n))
        for c in range(P.shape[1]):
            diff = np.abs(q[:, c, None] - cols[c][None, :])
            acc += np.minimum(diff, 1.0 - diff)
        rows = np.arange(q.shape[0])
        own = ex[a : a + step]
        hit = (own >= 0) & (own < n)
        acc[rows[hit], own[hit]] = np.inf
        if take == 0:
            continue
        part = np.argpartition(acc, take - 1, axis=1)[:, :take] if take < n else np.tile(np.arange(n), (len(q), 1))
        pd = np.take_along_axis(acc, part, axis=1)
        order = np.lexsort((part, pd), axis=1)
        ids = np.take_along_axis(part, order, axis=1)
        ds = np.take_along_axis(pd, order, axis=1)
        ids[~np.isfinite(ds)] = -1
        idx[a : a + len(q), :take] = ids
        dist[a : a + len(q), :take] = ds
    return idx, dist


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
