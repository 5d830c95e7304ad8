"""Exact toroidal-L1 search by brute force, and recall against it.

`exact_knn` and `exact_radius` compare every query with every point. They are
a user's exact baseline, the ground truth `PlovikSearch` tunes its settings
against, and the answer of a search whose data no hash setting helps. Their
distances are the index's own: single-precision toroidal L1 with the fixed
summation order of the per-query path (the reference's general kernel), so an
id the index finds has the same distance here, bit for bit, and rows follow
the same (distance, id) order. The scan is the compiled one of
`plovik._native`: multi-threaded, vectorised, over cache-sized tiles of
points, with the interpreter lock released; the cost is m * n * d distance
terms. These functions check and convert their arguments first.

`boxsize=L` puts the points on the torus [0, L)^d (integer lattice sites
included): coordinates and the radius are divided by L, distances returned
multiplied by L (`plovik.validation`). Without it, coordinates are
fractions of the period and integer arrays are refused.
"""

from __future__ import annotations

import math
import operator

import numpy as np
import numpy.typing as npt

from plovik import _native
from plovik.results import knn_without, padded_exclusions, radius_without, split_exclusions
from plovik.threads import checked_threads, thread_limit
from plovik.validation import check_boxsize, check_coordinate_dtype, distances_from_unit, radius_to_unit, to_unit

__all__ = ["ExactScan", "exact_knn", "exact_radius", "recall_at_k", "torus_l1"]



def torus_l1(a: npt.ArrayLike, b: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """Toroidal L1 distance between broadcastable coordinate arrays (last axis summed), in float64.

    Both sides are wrapped onto [0, 1) first, so any finite values work.
    """
    a = np.asarray(a, np.float64)
    b = np.asarray(b, np.float64)
    diff = np.abs((a - np.floor(a)) - (b - np.floor(b)))
    out: npt.NDArray[np.float64] = np.minimum(diff, 1.0 - diff).sum(axis=-1)
    return out


def _coords(value: npt.ArrayLike, name: str, d: int | None, boxsize: float | None) -> npt.NDArray[np.float64]:
    """Finite (n, d) float64 coordinates on the unit torus."""
    arr = np.asarray(value)
    if arr.dtype.kind not in "iuf":
        raise TypeError(f"{name} must hold real numbers, got dtype {arr.dtype}")
    check_coordinate_dtype(arr.dtype, name, boxsize)
    if arr.ndim != 2:
        raise ValueError(f"{name} must be a 2-D array, got shape {arr.shape}")
    if d is not None and arr.shape[1] != d:
        raise ValueError(f"{name} has {arr.shape[1]} columns but points have {d}")
    out = np.ascontiguousarray(arr, dtype=np.float64)
    if out.size and not (math.isfinite(out.min()) and math.isfinite(out.max())):
        raise ValueError(f"{name} must be finite")
    return to_unit(out, boxsize, name)


def _prepare(points, queries, exclude_ids, boxsize):
    P = _points(points, boxsize)
    Q, ex, more = _queries(queries, exclude_ids, P.shape[0], P.shape[1], boxsize)
    return P, Q, ex, more


def _points(points, boxsize):
    P = _coords(points, "points", None, boxsize)
    if P.shape[0] >= 1 << 32:
        raise ValueError("points must hold fewer than 2**32 rows")
    return P


def _queries(queries, exclude_ids, n, d, boxsize):
    Q = _coords(queries, "queries", d, boxsize)
    m = Q.shape[0]
    ex = None
    if exclude_ids is not None:
        ex = np.asarray(padded_exclusions(exclude_ids))
        if ex.dtype.kind not in "iu" and not (ex.size == 0 and ex.dtype.kind == "f"):
            raise TypeError(f"exclude_ids must hold integers, got dtype {ex.dtype}")
        if ex.shape != (m,) and not (ex.ndim == 2 and ex.shape[0] == m):
            raise ValueError(f"exclude_ids must have shape ({m},), one id per query, or ({m}, e), e ids per "
                             f"query padded with -1, got shape {ex.shape}")
        ex = np.ascontiguousarray(ex, dtype=np.int64)
        if ex.size and (ex.min() < -1 or ex.max() >= n):
            raise ValueError(f"exclude_ids must lie in [-1, {n}) (-1 excludes nothing)")
        ex, more = split_exclusions(ex)
        return Q, ex, more
    return Q, ex, None


def _wider(more):
    """The extra neighbours a k-nearest search needs to drop `more` and keep k."""
    return 0 if more is None else more.shape[1]


def _knn_rows(scan, k, more):
    """Rows of k + the other excluded ids from `scan(k)`, those ids then dropped."""
    idx, dist = scan(k + _wider(more))
    return (idx, dist) if more is None else knn_without(idx, dist, more, k)


def _radius_rows(found, more):
    return found if more is None else radius_without(*found, more)


def _k(k):
    if isinstance(k, (bool, np.bool_)):
        raise TypeError("k must be an integer, got a bool")
    k = operator.index(k)
    if k < 1:
        raise ValueError(f"k must be at least 1, got {k}")
    return k


def _radius(radius):
    r = float(radius)
    if not (math.isfinite(r) and r >= 0.0):
        raise ValueError(f"radius must be finite and non-negative, got {r}")
    return r


def exact_knn(
    points: npt.ArrayLike,
    queries: npt.ArrayLike,
    k: int,
    exclude_ids: npt.ArrayLike | None = None,
    *,
    boxsize: float | None = None,
    threads: int | None = None,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """The exact k nearest points of each query under toroidal L1.

    Args:
        points: (n, d) finite coordinates (wrapped onto the torus).
        queries: (m, d) finite coordinates.
        k: Neighbours per query, at least 1.
        exclude_ids: Optional (m,) ids, one excluded per query; -1 excludes
            nothing. Or (m, e): e ids excluded per query, padded with -1 (the
            scan finds k + e - 1 and drops the excluded, so k others remain),
            or a SciPy sparse (m, n) matrix whose row i stores a column per
            id query i excludes.
        boxsize: The period L of the coordinates, which then lie in
            [0, L) (integers included); default None, the unit torus.
        threads: At most this many worker threads for the call (None: the
            limit in force, see `plovik.thread_limit`).

    Returns:
        (idx, dist), both (m, k): int64 ids and the single-precision distances
        widened to float64 (with `boxsize`: those of the coordinates divided
        by it, times it), each row ascending by (distance, id), padded with
        -1 / inf past the points there are.
    """
    k = _k(k)
    L = check_boxsize(boxsize)
    threads = checked_threads(threads)
    P, Q, ex, more = _prepare(points, queries, exclude_ids, L)
    with thread_limit(threads):
        idx, dist = _knn_rows(lambda kk: _native.exact_knn(P, Q, kk, ex), k, more)
    return idx, distances_from_unit(dist, L)


def exact_radius(
    points: npt.ArrayLike,
    queries: npt.ArrayLike,
    radius: float,
    exclude_ids: npt.ArrayLike | None = None,
    *,
    boxsize: float | None = None,
    threads: int | None = None,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """Every point within `radius` of each query under toroidal L1, exactly.

    The radius is inclusive and compared in single precision, as the index
    compares it (with `boxsize`: radius / boxsize against the distances of
    the coordinates divided by it, returned times it). Returns (indptr,
    ids, dists) in compressed sparse row form: query i owns
    ids[indptr[i]:indptr[i + 1]], ascending by (distance, id). `threads`
    is that of `exact_knn`.
    """
    r = _radius(radius)
    L = check_boxsize(boxsize)
    threads = checked_threads(threads)
    P, Q, ex, more = _prepare(points, queries, exclude_ids, L)
    with thread_limit(threads):
        indptr, ids, dists = _radius_rows(_native.exact_radius(P, Q, radius_to_unit(r, L), ex), more)
    return indptr, ids, distances_from_unit(dists, L)


class ExactScan:
    """`exact_knn` and `exact_radius` against points fixed once.

    The points are wrapped, rounded to single precision and laid out for the
    scan when the object is made (4 bytes per coordinate, kept), instead of
    at every call: calls with few queries then cost the scan alone. Rows
    equal those of `exact_knn` / `exact_radius` on the same points (and
    `boxsize`, which the queries and radii of every call share).
    """

    __slots__ = ("_tiles", "n", "d", "boxsize")

    @property
    def nbytes(self) -> int:
        """Bytes of the laid-out points: tiles of 8 points, 4 bytes a coordinate."""
        return -(-self.n // 8) * 8 * self.d * 4

    def __init__(self, points: npt.ArrayLike, *, boxsize: float | None = None) -> None:
        self.boxsize = check_boxsize(boxsize)
        P = _points(points, self.boxsize)
        self.n, self.d = P.shape
        self._tiles = _native._exact_tiles(P)

    def knn(self, queries: npt.ArrayLike, k: int, exclude_ids: npt.ArrayLike | None = None, *,
            threads: int | None = None) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
        """As `exact_knn(points, queries, k, exclude_ids, boxsize=boxsize, threads=threads)`."""
        k = _k(k)
        threads = checked_threads(threads)
        Q, ex, more = _queries(queries, exclude_ids, self.n, self.d, self.boxsize)
        with thread_limit(threads):
            idx, dist = _knn_rows(lambda kk: _native._exact_knn_tiles(self._tiles, Q, kk, ex), k, more)
        return idx, distances_from_unit(dist, self.boxsize)

    def radius(self, queries: npt.ArrayLike, radius: float, exclude_ids: npt.ArrayLike | None = None, *,
               threads: int | None = None,
               ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.float64]]:
        """As `exact_radius(points, queries, radius, exclude_ids, boxsize=boxsize, threads=threads)`."""
        r = radius_to_unit(_radius(radius), self.boxsize)
        threads = checked_threads(threads)
        Q, ex, more = _queries(queries, exclude_ids, self.n, self.d, self.boxsize)
        with thread_limit(threads):
            indptr, ids, dists = _radius_rows(_native._exact_radius_tiles(self._tiles, Q, r, ex), more)
        return indptr, ids, distances_from_unit(dists, self.boxsize)


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
