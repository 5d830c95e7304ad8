"""Exact toroidal-L1 and toroidal-L2 search by brute force, and recall against it.

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

`metric="euclidean"` measures toroidal L2 instead of the default L1: per
coordinate the shorter way round, then the square root of the sum of the
squares, in single precision with the same fixed summation order; the scan
compares the sums of squares and roots the ones it keeps (a radius becomes
the largest sum whose root is within it, so the set is exactly that of the
rooted distances).

`boxsize=L` puts the points on the torus [0, L)^d (integer lattice sites
included): coordinates and the radius are divided by L, distances returned
multiplied by L (`plovik.validation`). `boxsize=(L1, ..., Ld)` gives each
axis its own period: coordinates are divided per axis, each axis's term
weighed by its side over the longest side, radii and distances scaled by
the longest side; equal sides answer as `boxsize=L` bit for bit. Without
it, coordinates are fractions of the period and integer arrays are refused.
"""

from __future__ import annotations

import math
import operator
from collections.abc import Callable

import numpy as np
import numpy.typing as npt

from plovik import _native
from plovik.results import knn_without, padded_exclusions, radius_without, split_exclusions
from plovik.threads import checked_threads, thread_limit
from plovik.validation import (
    Box,
    box_weights,
    check_box,
    check_coordinate_dtype,
    check_metric,
    distances_from_unit,
    radius_to_unit,
    to_unit,
)

__all__ = ["ExactScan", "exact_knn", "exact_radius", "recall_at_k", "torus_distance", "torus_l1"]


def torus_l1(a: npt.ArrayLike, b: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """Toroidal L1 distance between broadcastable coordinate arrays (last axis summed), in float64.

    Both sides are wrapped onto [0, 1) first, so any finite values work.
    """
    a = np.asarray(a, np.float64)
    b = np.asarray(b, np.float64)
    diff = np.abs((a - np.floor(a)) - (b - np.floor(b)))
    out: npt.NDArray[np.float64] = np.minimum(diff, 1.0 - diff).sum(axis=-1)
    return out


def torus_distance(
    a: npt.ArrayLike, b: npt.ArrayLike, *, metric: str = "l1", boxsize: float | npt.ArrayLike | None = None
) -> npt.NDArray[np.float64]:
    """Toroidal L1 or L2 (`metric="euclidean"`) distance between broadcastable
    coordinate arrays (last axis summed), in float64.

    Per coordinate the shorter way round on the torus of period `boxsize`
    (a number, one side per axis, or None for 1), then the sum (L1) or the
    root of the sum of squares (L2). In double precision: the searches'
    single-precision distances agree with it to a few units in the last
    place of a float32.
    """
    metric = check_metric(metric)
    a = np.asarray(a, np.float64)
    b = np.asarray(b, np.float64)
    box = check_box(boxsize, None if a.ndim == 0 else a.shape[-1])
    sides = np.float64(1.0) if box is None else np.asarray(box, np.float64)
    ua, ub = a / sides, b / sides
    diff = np.abs((ua - np.floor(ua)) - (ub - np.floor(ub)))
    terms = np.minimum(diff, 1.0 - diff) * sides
    if metric == "l1":
        out: npt.NDArray[np.float64] = terms.sum(axis=-1)
    else:
        out = np.sqrt((terms * terms).sum(axis=-1))
    return out


def _coords(value: npt.ArrayLike, name: str, d: int | None, boxsize: Box) -> npt.NDArray[np.float64]:
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
    if out.size and not _native._all_finite(out):
        raise ValueError(f"{name} must be finite")
    return to_unit(out, boxsize, name)


#: k-nearest rows (ids, distances), and radius rows (indptr, ids, distances).
Rows = tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]
CsrRows = tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.float64]]
#: Checked queries: coordinates, the first excluded id of each (or None), the others (or None).
CheckedQueries = tuple[npt.NDArray[np.float64], npt.NDArray[np.int64] | None, npt.NDArray[np.int64] | None]


def _prepare(
    points: npt.ArrayLike, queries: npt.ArrayLike, exclude_ids: npt.ArrayLike | None, boxsize: Box
) -> tuple[
    npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.int64] | None, npt.NDArray[np.int64] | None
]:
    P = _points(points, boxsize)
    Q, ex, more = _queries(queries, exclude_ids, P.shape[0], P.shape[1], boxsize)
    return P, Q, ex, more


def _box_of(points: npt.ArrayLike, boxsize: object) -> Box:
    """The checked box of `points`: sides, when given per axis, one per column."""
    shape = np.shape(points)
    return check_box(boxsize, shape[1] if len(shape) == 2 else None)


def _scan(P: npt.NDArray[np.float64], metric: str, box: Box) -> object:
    """The native prepared points of P (on the unit torus) in the metric and box."""
    weights = box_weights(box)
    if metric == "l1" and weights is None:
        return _native._exact_tiles(P)
    return _native._exact_tiles(P, metric, weights)


def _points(points: npt.ArrayLike, boxsize: Box) -> npt.NDArray[np.float64]:
    P = _coords(points, "points", None, boxsize)
    if P.shape[0] >= 1 << 32:
        raise ValueError("points must hold fewer than 2**32 rows")
    return P


def _queries(queries: npt.ArrayLike, exclude_ids: npt.ArrayLike | None, n: int, d: int, boxsize: Box) -> CheckedQueries:
    Q = _coords(queries, "queries", d, boxsize)
    m = Q.shape[0]
    ex = None
    if exclude_ids is not None:
        ex = np.asarray(padded_exclusions(exclude_ids))
        if ex.dtype.kind not in "iu" and not (ex.size == 0 and ex.dtype.kind == "f"):
            raise TypeError(f"exclude_ids must hold integers, got dtype {ex.dtype}")
        if ex.shape != (m,) and not (ex.ndim == 2 and ex.shape[0] == m):
            raise ValueError(
                f"exclude_ids must have shape ({m},), one id per query, or ({m}, e), e ids per "
                f"query padded with -1, got shape {ex.shape}"
            )
        ex = np.ascontiguousarray(ex, dtype=np.int64)
        if ex.size and (ex.min() < -1 or ex.max() >= n):
            raise ValueError(f"exclude_ids must lie in [-1, {n}) (-1 excludes nothing)")
        ex, more = split_exclusions(ex)
        return Q, ex, more
    return Q, ex, None


def _wider(more: npt.NDArray[np.int64] | None) -> int:
    """The extra neighbours a k-nearest search needs to drop `more` and keep k."""
    return 0 if more is None else more.shape[1]


def _knn_rows(scan: Callable[[int], Rows], k: int, more: npt.NDArray[np.int64] | None) -> Rows:
    """Rows of k + the other excluded ids from `scan(k)`, those ids then dropped."""
    idx, dist = scan(k + _wider(more))
    return (idx, dist) if more is None else knn_without(idx, dist, more, k)


def _radius_rows(found: CsrRows, more: npt.NDArray[np.int64] | None) -> CsrRows:
    return found if more is None else radius_without(*found, more)


def _k(k: object) -> int:
    if isinstance(k, (bool, np.bool_)):
        raise TypeError("k must be an integer, got a bool")
    value = operator.index(k)  # type: ignore[arg-type]  # any object: a TypeError names what it is
    if value < 1:
        raise ValueError(f"k must be at least 1, got {value}")
    return value


def _radius(radius: object) -> float:
    r = float(radius)  # type: ignore[arg-type]  # any object: a TypeError or ValueError names what it is
    if not (math.isfinite(r) and r >= 0.0):
        raise ValueError(f"radius must be finite and non-negative, got {r}")
    return r


def exact_knn(
    points: npt.ArrayLike,
    queries: npt.ArrayLike,
    k: int,
    exclude_ids: npt.ArrayLike | None = None,
    *,
    metric: str = "l1",
    boxsize: float | npt.ArrayLike | None = None,
    threads: int | None = None,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """The exact k nearest points of each query under toroidal L1 (or L2).

    Args:
        points: (n, d) finite coordinates (wrapped onto the torus).
        queries: (m, d) finite coordinates.
        k: Neighbours per query, at least 1.
        exclude_ids: Optional (m,) ids, one excluded per query; -1 excludes
            nothing. Or (m, e): e ids excluded per query, padded with -1 (the
            scan finds k + e - 1 and drops the excluded, so k others remain),
            or a SciPy sparse (m, n) matrix whose row i stores a column per
            id query i excludes.
        metric: "l1" (default) or "euclidean" (toroidal L2).
        boxsize: The period L of the coordinates, which then lie in
            [0, L) (integers included), or a sequence of d periods, one per
            axis (a box with unequal sides); default None, the unit torus.
        threads: At most this many worker threads for the call (None: the
            limit in force, see `plovik.thread_limit`).

    Returns:
        (idx, dist), both (m, k): int64 ids and the single-precision distances
        widened to float64 (with `boxsize`: those of the coordinates divided
        by it, times it; with sides, times the longest), each row ascending
        by (distance, id), padded with -1 / inf past the points there are.
    """
    k = _k(k)
    metric = check_metric(metric)
    L = _box_of(points, boxsize)
    threads = checked_threads(threads)
    P, Q, ex, more = _prepare(points, queries, exclude_ids, L)
    with thread_limit(threads):
        if metric == "l1" and box_weights(L) is None:
            idx, dist = _knn_rows(lambda kk: _native.exact_knn(P, Q, kk, ex), k, more)
        else:
            tiles = _scan(P, metric, L)
            idx, dist = _knn_rows(lambda kk: _native._exact_knn_tiles(tiles, Q, kk, ex), k, more)
    return idx, distances_from_unit(dist, L)


def exact_radius(
    points: npt.ArrayLike,
    queries: npt.ArrayLike,
    radius: float,
    exclude_ids: npt.ArrayLike | None = None,
    *,
    metric: str = "l1",
    boxsize: float | npt.ArrayLike | None = None,
    threads: int | None = None,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """Every point within `radius` of each query under toroidal L1 (or L2), exactly.

    The radius is inclusive and compared in single precision, as the index
    compares it (with `boxsize`: radius / boxsize against the distances of
    the coordinates divided by it, returned times it; with sides, the
    longest side is that divisor and factor). Under "euclidean" a point is
    within the radius when its rooted single-precision distance is (the
    scan compares sums of squares against the largest sum whose root is
    within it: the same set). Returns (indptr, ids, dists) in compressed
    sparse row form: query i owns ids[indptr[i]:indptr[i + 1]], ascending
    by (distance, id). `metric`, `boxsize` and `threads` are those of
    `exact_knn`.
    """
    r = _radius(radius)
    metric = check_metric(metric)
    L = _box_of(points, boxsize)
    threads = checked_threads(threads)
    P, Q, ex, more = _prepare(points, queries, exclude_ids, L)
    ru = float(radius_to_unit(r, L))
    with thread_limit(threads):
        if metric == "l1" and box_weights(L) is None:
            found = _native.exact_radius(P, Q, ru, ex)
        else:
            found = _native._exact_radius_tiles(_scan(P, metric, L), Q, ru, ex)
        indptr, ids, dists = _radius_rows(found, more)
    return indptr, ids, distances_from_unit(dists, L)


class ExactPoints:
    """Points fixed once and searched exactly: what the exact scan
    (`ExactScan`) and the grid (`plovik.grid.ExactGrid`) share, the
    checks of a call's arguments and the rows made from their native
    search's answer."""

    __slots__ = ("boxsize", "d", "n")
    boxsize: Box
    d: int
    n: int

    def _knn(
        self,
        search: Callable[[npt.NDArray[np.float64], int, npt.NDArray[np.int64] | None], Rows],
        queries: npt.ArrayLike,
        k: int,
        exclude_ids: npt.ArrayLike | None,
        threads: int | None,
    ) -> Rows:
        """`knn` through `search(Q, k, ex)`, the native k-nearest search of
        these points (Q on the unit torus, one excluded id per query): the
        arguments checked, other excluded ids dropped, distances in the box's units."""
        k = _k(k)
        threads = checked_threads(threads)
        Q, ex, more = _queries(queries, exclude_ids, self.n, self.d, self.boxsize)
        with thread_limit(threads):
            idx, dist = _knn_rows(lambda kk: search(Q, kk, ex), k, more)
        return idx, distances_from_unit(dist, self.boxsize)

    def _radius(
        self,
        search: Callable[[npt.NDArray[np.float64], float, npt.NDArray[np.int64] | None], CsrRows],
        queries: npt.ArrayLike,
        radius: float,
        exclude_ids: npt.ArrayLike | None,
        threads: int | None,
    ) -> CsrRows:
        """`radius` through `search(Q, r, ex)`, the native radius search of
        these points (r on the unit torus), as `_knn`."""
        r = float(radius_to_unit(_radius(radius), self.boxsize))
        threads = checked_threads(threads)
        Q, ex, more = _queries(queries, exclude_ids, self.n, self.d, self.boxsize)
        with thread_limit(threads):
            indptr, ids, dists = _radius_rows(search(Q, r, ex), more)
        return indptr, ids, distances_from_unit(dists, self.boxsize)


class ExactScan(ExactPoints):
    """`exact_knn` and `exact_radius` against points fixed once.

    The points are wrapped, rounded to single precision and laid out for the
    scan when the object is made (4 or 5 bytes per coordinate and, in a
    spatial order, 4 per point, kept), instead of
    at every call: calls with few queries then cost the scan alone. Rows
    equal those of `exact_knn` / `exact_radius` on the same points (and
    `metric` and `boxsize`, which the queries and radii of every call share).
    """

    __slots__ = ("_tiles", "metric")
    _tiles: object
    metric: str

    @property
    def nbytes(self) -> int:
        """Bytes of the laid-out points: tiles of 8 points, 4 bytes a
        coordinate; in plain toroidal L1 (no unequal sides) and up to 255
        coordinates one byte more, a coordinate's byte that lets the scan
        pass over points no distance of which can be taken. Points that
        crowd together or spread in few dimensions (from 4,096 of them) are
        laid out in a spatial order so that the scan passes over whole
        groups of 128: 4 bytes a point more, and the byte ranges of each
        group."""
        nbytes: int = _native._exact_tiles_nbytes(self._tiles)
        return nbytes

    @property
    def coded(self) -> bool:
        """Whether the scan also keeps each coordinate as a byte (plain L1,
        no unequal sides, up to 255 coordinates), passing over points whose
        bytes rule them out."""
        return self.nbytes > -(-self.n // 8) * 8 * self.d * 4

    def __init__(
        self, points: npt.ArrayLike, *, metric: str = "l1", boxsize: float | npt.ArrayLike | None = None
    ) -> None:
        self.metric = check_metric(metric)
        self.boxsize = _box_of(points, boxsize)
        P = _points(points, self.boxsize)
        self.n, self.d = P.shape
        self._tiles = _scan(P, self.metric, self.boxsize)

    @classmethod
    def on_unit_torus(cls, points: npt.NDArray[np.float64], metric: str = "l1", boxsize: Box = None) -> ExactScan:
        """A scan of checked points already divided by the box (a search's),
        its rows on the unit torus (radii and distances in units of the
        longest side, not scaled), the box's sides weighing the axes."""
        scan = cls.__new__(cls)
        scan.metric, scan.boxsize = check_metric(metric), None
        scan.n, scan.d = points.shape
        scan._tiles = _scan(points, scan.metric, boxsize)
        return scan

    def knn(
        self, queries: npt.ArrayLike, k: int, exclude_ids: npt.ArrayLike | None = None, *, threads: int | None = None
    ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
        """As `exact_knn(points, queries, k, exclude_ids, boxsize=boxsize, threads=threads)`."""
        return self._knn(
            lambda Q, kk, ex: _native._exact_knn_tiles(self._tiles, Q, kk, ex), queries, k, exclude_ids, threads
        )

    def radius(
        self,
        queries: npt.ArrayLike,
        radius: float,
        exclude_ids: npt.ArrayLike | None = None,
        *,
        threads: int | None = None,
    ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.float64]]:
        """As `exact_radius(points, queries, radius, exclude_ids, boxsize=boxsize, threads=threads)`."""
        return self._radius(
            lambda Q, r, ex: _native._exact_radius_tiles(self._tiles, Q, r, ex), queries, radius, exclude_ids, threads
        )

    def reach(self, queries: npt.NDArray[np.float64], limits: npt.NDArray[np.float64]) -> npt.NDArray[np.int64]:
        """Per query (checked float64 rows on the unit torus), how many points
        a k-nearest scan whose k-th distance is `limits[i]` reads: those of
        the groups its spatial order cannot pass over, all of them without one."""
        reach: npt.NDArray[np.int64] = _native._exact_tiles_reach(
            self._tiles, np.ascontiguousarray(queries, np.float64), np.ascontiguousarray(limits, np.float64)
        )
        return reach


def scan_of_checked(points: npt.NDArray[np.float64]) -> ExactScan:
    """`ExactScan(points)` of points already checked as it checks them
    (finite float64, (n, d), C-contiguous, on the unit torus): laid out
    without passing over them again. The tuning makes its scan so."""
    scan = ExactScan.__new__(ExactScan)
    scan.boxsize = None
    scan.n, scan.d = points.shape
    scan._tiles = _native._exact_tiles(points)
    return scan


class RowScan:
    """The k-nearest search of `ExactScan` over checked points (as
    `scan_of_checked` takes them), with nothing laid out ahead: a call of a
    few queries (up to 32) lays the points out a block at a time as it scans
    them, a larger one for that call alone. The same rows as `ExactScan`'s;
    for a handful of queries against points searched once (the check of a
    kept tuning), where laying every point out first would cost more than
    the queries."""

    __slots__ = ("_points", "d", "n")

    def __init__(self, points: npt.NDArray[np.float64]) -> None:
        self._points = points
        self.n, self.d = points.shape

    def knn(
        self, queries: npt.NDArray[np.float64], k: int, exclude_ids: npt.NDArray[np.int64] | None = None
    ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
        """The k nearest points of each query (checked float64 rows), query i
        never its id `exclude_ids[i]`, as `ExactScan.knn` gives them."""
        idx, dist = _native.exact_knn(self._points, queries, k, exclude_ids)
        return idx, dist


# The argument checks of the functions above, shared with plovik.grid,
# whose searches take the same arguments and give the same rows.
checked_points, checked_radius = _points, _radius


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
    for f, e in zip(F, E, strict=True):
        e = e[e >= 0]
        hits += int(np.isin(e, f[f >= 0]).sum())
        total += e.size
    return float(hits / total) if total else 1.0


def check_wrapped(coords: npt.NDArray[np.float32]) -> None:
    """ValueError unless every stored coordinate lies in [0, 1] (a NaN does not)."""
    if coords.size and not (np.min(coords) >= 0 and np.max(coords) <= 1):
        raise ValueError("the points must be wrapped onto [0, 1]")


def stored_as_input(points: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """Stored single-precision coordinates (wrapped onto [0, 1]) as float64
    coordinates that the index stores unchanged when it is given them again.

    A coordinate that rounded up to 1.0 on the way in (one just below 1, or
    a tiny negative one) would wrap to 0.0 if given as 1.0: it is given as
    the largest double below 1, which rounds to 1.0 again. Every other
    stored value is its own float64. Rebuilding, laying out a scan or asking
    queries from stored points goes through this, so that they read the
    values the index holds."""
    out = np.array(points, np.float64)
    out[out == 1.0] = np.nextafter(1.0, 0.0)
    return out


class ExactStore:
    """The points of a search that answers by the exact scan: no hash table.

    It keeps what a raw index would keep besides its tables, with the same
    tier and id rules (`build`, `update`, `promote`, `retire`): every point
    wrapped onto [0, 1) and rounded to single precision exactly as the raw
    index stores it (`points()` gives the same values bit for bit), the size
    of the static tier and which ids are retired. Queries are answered by an
    `ExactScan` of these points, made by the search; this class answers
    none itself. `tables()` gives the five table arrays with no rows (no
    table) and a column per entry a tier would have; the query counters of
    `stats()` stay zero.
    """

    def __init__(self, d: int, block: int) -> None:
        self.d = d
        self.block = block
        self._f32 = np.zeros((0, d), np.float32)
        self._n_static = 0
        self._retired = np.zeros(0, bool)

    def _wrap(self, X: npt.NDArray[np.float64]) -> npt.NDArray[np.float32]:
        # The raw index's own conversion, by its own code on every worker:
        # x - floor(x) in double precision, then rounded (a value just below
        # an integer may round up to 1.0, which both keep).
        return _native._wrap_f32(np.ascontiguousarray(X, np.float64).reshape(-1, self.d))

    @property
    def n_points(self) -> int:
        return int(self._f32.shape[0])

    @property
    def n_static(self) -> int:
        return self._n_static

    @property
    def n_candidates(self) -> int:
        return self.n_points - self._n_static

    @property
    def n_retired(self) -> int:
        return int(np.count_nonzero(self._retired))

    @property
    def retired(self) -> npt.NDArray[np.bool_]:
        """Per id, whether it is retired (a copy)."""
        return self._retired.copy()

    @property
    def nbytes_by_part(self) -> dict[str, int]:
        """The raw index's parts: the coordinates alone hold bytes (the
        retired flags, one byte a point, count with them)."""
        return {"coordinates": self._f32.nbytes + self._retired.nbytes, "ids": 0, "directories": 0, "reuse": 0}

    @property
    def nbytes(self) -> int:
        return sum(self.nbytes_by_part.values())

    def points(self) -> npt.NDArray[np.float32]:
        """The (n_points, d) float32 coordinates distances are measured on (read-only)."""
        out = self._f32.view()
        out.setflags(write=False)
        return out

    def build(self, points: npt.NDArray[np.float64], n_static: int) -> None:
        self._f32 = self._wrap(points)
        self._n_static = n_static
        self._retired = np.zeros(self._f32.shape[0], bool)

    def update(self, coords: npt.NDArray[np.float64]) -> None:
        rows = self._wrap(coords)
        if rows.shape[0] != self.n_candidates:
            raise ValueError(f"coords has {rows.shape[0]} rows but the index holds {self.n_candidates} candidates")
        if not self._f32.flags.writeable:  # mapped from a save: changed on a copy
            self._f32 = self._f32.copy()
        self._f32[self._n_static :] = rows

    def promote(self, new_candidates: npt.NDArray[np.float64]) -> None:
        rows = self._wrap(new_candidates)
        # every new array first: a failure (no memory, an interrupt) changes nothing
        points, retired = np.concatenate([self._f32, rows]), np.concatenate([self._retired, np.zeros(len(rows), bool)])
        self._n_static, self._f32, self._retired = self.n_points, points, retired

    def retire(self, ids: npt.NDArray[np.int64]) -> None:
        self._retired[ids] = True

    def tables(self) -> dict[str, npt.NDArray[np.int64]]:
        live = ~self._retired
        static, cand = int(np.count_nonzero(live[: self._n_static])), int(np.count_nonzero(live[self._n_static :]))
        cols = {
            "static_keys": static,
            "static_ids": static,
            "cand_keys": self.n_candidates,
            "cand_sorted_keys": cand,
            "cand_sorted_ids": cand,
        }
        return {key: np.zeros((0, n), np.int64) for key, n in cols.items()}

    def stats(self) -> dict[str, int]:
        return {**dict.fromkeys(_native.QUERY_COUNTERS, 0), "block": self.block}

    def reset_stats(self) -> None:
        pass

    # ---------------------------------------------------------- persistence

    def _state(self) -> dict[str, object]:
        """Copies of what a save keeps: the sizes, the points, the retired ids as a bit set."""
        n = self.n_points
        bits = np.packbits(np.concatenate([self._retired, np.zeros(-n % 64, bool)]), bitorder="little")
        return {
            "storage": "exact",
            "d": self.d,
            "n_points": n,
            "n_static": self._n_static,
            "coords": np.array(self._f32, np.float32, order="C"),
            "retired": bits.view("<u8").copy(),
        }

    @classmethod
    def holding(cls, index: object, block: int, retired: npt.NDArray[np.bool_]) -> ExactStore:
        """A store of the points of a raw index (and the search's retired flags)."""
        points = np.ascontiguousarray(index.points(), np.float32)  # type: ignore[attr-defined]
        store = cls(points.shape[1], block)
        store._f32, store._n_static = points, int(index.n_static)  # type: ignore[attr-defined]
        store._retired = np.zeros(points.shape[0], bool)
        store._retired[: retired.size] = retired[: points.shape[0]]
        return store

    @classmethod
    def _from_state(cls, state: dict[str, object], block: int, check_values: bool = True) -> ExactStore:
        """A store of `_state()`'s content, every invariant checked (ValueError);
        the points' values only with `check_values` (a mapped load reads none)."""
        d, n, n_static = (int(state[name]) for name in ("d", "n_points", "n_static"))  # type: ignore[call-overload]
        coords = np.asarray(state["coords"])
        retired = np.asarray(state["retired"])
        if coords.dtype != np.float32 or coords.ndim != 2 or coords.shape != (n, d):
            raise ValueError(f"the points must be float32 of shape ({n}, {d}), got {coords.dtype} {coords.shape}")
        if not 0 <= n_static <= n:
            raise ValueError(f"n_static ({n_static}) must lie in [0, {n}]")
        if retired.dtype != np.dtype("<u8") or retired.shape != (-(-n // 64),):
            raise ValueError(f"the retired ids must be a bit set of {-(-n // 64)} 64-bit words")
        flags = np.unpackbits(retired.view(np.uint8), bitorder="little").astype(bool)
        if flags[n:].any():
            raise ValueError("the retired bit set names ids beyond the points")
        if check_values:
            check_wrapped(coords)
        store = cls(d, block)
        store._f32, store._n_static, store._retired = coords, n_static, flags[:n].copy()
        return store
