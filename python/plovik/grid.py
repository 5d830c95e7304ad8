"""Exact search through a grid of cells, for points in few dimensions.

The torus is cut into `cells` equal cells along each axis and the points are
counting-sorted by cell (`plovik._native._grid_tier`, in the engine). A
radius query reads only the cells whose lower bound of the distance is within
the radius; a k-nearest query reads rings of cells around its own until the
k-th distance found is below the bound of every cell not read; `pairs` visits
each pair of cells within reach once and writes each pair of points once.
Every answer equals that of `plovik.exact_knn` / `exact_radius` on the same
points, in the same metric and box, bit for bit (the same single-precision
distances, toroidal L1 or with `metric="euclidean"` toroidal L2, the radius
rounded to single precision once, rows ascending by (distance, id)): the
grid changes what is read, never what is found. It pays where a cell has
few neighbours, in one to four dimensions (a periodic box of particles).

In a box with unequal sides (`boxsize=(L1, ..., Ld)`) each axis gets its own
number of cells (`axis_cells`): a cell is about as wide as the cutoff in the
box's units along every axis, so a long axis is cut into more cells. The
engine bounds the distance to a cell per axis by the gap times the axis's
weight (side / longest side), summed for L1 and combined as the root of the
sum of squares for L2, with a margin above the rounding of a distance.

`ExactGrid` holds points fixed once; `GridStore` is the storage of a
`PlovikSearch` that answers through the grid (`exact="grid"`, or the tuning's
choice in up to four dimensions where the cost model prices the grid below
the exact scan and every hash setting that reaches the target;
`occupancy_near` gives the model the density where the queries are).

Image shifts of `pairs`: for a pair (i, j), i < j, the shift s (one integer
per axis) makes x_j - x_i + s the minimum-image displacement from i to j in
units of the period, x the coordinates as the index stores them: wrapped
onto [0, 1) and rounded to single precision (a value that rounds up to 1.0
read as 0.0, as the exact scan reads it). With `boxsize=L`, x * L are the
wrapped positions and (x_j - x_i + s) * L the displacement in the box's
units: for positions already inside [0, L), positions[j] - positions[i] +
s * L, up to the rounding to single precision. The full list
(`ExactGrid.radius(..., shifts=True)`) gives the same from each query to
each of its neighbours.

Displacement vectors (`vectors=True`): (x_j - x_i + s) * side per axis, in
float64, from those stored single-precision coordinates (`displacements`):
the difference and the shift are exact in float64 and the product is
rounded once, so a vector differs from the displacement of the positions
given by the rounding of each coordinate to single precision, at most
2**-24 * side per axis. Its length agrees with the single-precision
distance returned to about 1e-7 relative; the distance, not the vector, is
what the cutoff was compared with.
"""

from __future__ import annotations

import itertools
import math
from typing import Any

import numpy as np
import numpy.typing as npt

from plovik import _native
from plovik.exact import ExactPoints, ExactStore, checked_points, checked_radius, stored_as_input
from plovik.threads import checked_threads, thread_limit
from plovik.validation import (
    Box,
    box_weights,
    check_box,
    check_metric,
    distances_from_unit,
    radius_to_unit,
)

__all__ = [
    "GRID_MAX_D",
    "ExactGrid",
    "GridStore",
    "axis_cells",
    "displacements",
    "grid_cells",
    "occupancy_near",
    "pair_vectors",
    "with_displacements",
]

#: The most coordinates for which the tuning considers a grid (a cell has
#: 3**d neighbours: beyond four the exact scan is as good).
GRID_MAX_D = 4
#: The most coordinates a grid takes at all.
ENGINE_MAX_D = 16
#: Cells of a grid per point at most: more would be mostly empty.
_CELLS_PER_POINT = 2.0
#: Cells along an axis per radius: 1 makes a cell as wide as the radius, so
#: that a query reads its own cell and the next one along each axis.
RADIUS_CELLS = 1.0
#: The same for the expected distance of the k-th nearest neighbour.
KNN_CELLS = 1.0


def grid_cells(n: int, d: int, radius: float | None = None, k: int | None = None) -> int:
    """Cells per axis for n points on the unit torus in d dimensions.

    For a radius: cells about as wide as the radius (at least one); for k
    nearest neighbours: about as wide as the expected distance of the k-th
    (from the density n, with the L1 ball's volume (2r)**d / d!); at most
    `_CELLS_PER_POINT` cells per point in all, and at most 2**32 cells.
    """
    if d == 0:
        return 1
    n = max(int(n), 1)
    if radius is not None:
        width = float(radius) / RADIUS_CELLS
    else:
        kk = 10 if k is None else max(int(k), 1)
        width = 0.5 * (kk * math.factorial(d) / n) ** (1.0 / d) / KNN_CELLS
    most = max(int((_CELLS_PER_POINT * n) ** (1.0 / d)), 1)
    most = min(most, int(2.0 ** (32.0 / d)))
    if not (width > 0.0):
        return most
    return max(1, min(int(1.0 / width), most))


def axis_cells(
    n: int,
    d: int,
    radius: float | None = None,
    k: int | None = None,
    metric: str = "l1",
    weights: npt.NDArray[np.float64] | None = None,
) -> tuple[int, ...]:
    """Cells along each axis for n points on the unit torus in d dimensions,
    distances in `metric` with the axes weighed by `weights` (side / longest
    side; None: a cube, whose counts are `grid_cells`' on every axis).

    Axis a is w_a long in the units of the cutoff: it gets about w_a / width
    cells, width the radius (or the expected distance of the k-th nearest
    from the density, the metric's ball holding k points), widened where
    needed so that there are at most `_CELLS_PER_POINT` cells per point and
    2**32 cells in all; at least one per axis.
    """
    if weights is None and metric == "l1":
        return (grid_cells(n, d, radius=radius, k=k),) * d
    if d == 0:
        return ()
    n = max(int(n), 1)
    w = np.ones(d) if weights is None else np.asarray(weights, np.float64).astype(np.float32).astype(np.float64)
    volume = float(np.prod(w))  # of the unit torus in the cutoff's units
    if radius is not None:
        width = float(radius) / RADIUS_CELLS
    else:
        kk = 10 if k is None else max(int(k), 1)
        ball = 2.0**d / math.factorial(d) if metric == "l1" else math.pi ** (d / 2) / math.gamma(d / 2 + 1)
        width = (kk * volume / (n * ball)) ** (1.0 / d) / KNN_CELLS
    # The narrowest width that keeps the cells within their limits.
    narrowest = (volume / min(_CELLS_PER_POINT * n, 2.0**32)) ** (1.0 / d)
    width = max(width, narrowest) if width > 0.0 else narrowest
    return tuple(max(1, min(int(wa / width), 2**32)) for wa in w.tolist())


def _tier(
    points: npt.NDArray[np.float64],
    ids: npt.NDArray[np.int64] | None,
    cells: tuple[int, ...],
    d: int,
    metric: str = "l1",
    weights: npt.NDArray[np.float64] | None = None,
) -> Any:
    P = np.ascontiguousarray(points, np.float64).reshape(-1, d)
    if metric == "l1" and weights is None:
        return _native._grid_tier(P, cells, ids)
    return _native._grid_tier(P, cells, ids, metric, weights)


def _wrapped(X: npt.NDArray[np.floating[Any]]) -> npt.NDArray[np.float32]:
    """Coordinates on the unit torus as the index stores them (1.0 read as 0.0)."""
    with np.errstate(invalid="ignore"):
        x = (X - np.floor(X)).astype(np.float32)
    return np.where(x >= 1, np.float32(0), x)


def displacements(
    x_from: npt.NDArray[np.float32],
    x_to: npt.NDArray[np.float32],
    rows: npt.NDArray[np.int64],
    cols: npt.NDArray[np.int64],
    boxsize: Box,
    shifts: bool,
    vectors: bool,
) -> list[npt.NDArray[Any]]:
    """The image shifts ((p, d) int32) and displacement vectors ((p, d)
    float64) from point rows[e] of x_from to point cols[e] of x_to (stored
    single-precision coordinates on the unit torus, 1.0 read as 0.0), each
    asked for: s with x_to - x_from + s the minimum image (per axis the
    distance's own test, a < 1 - a, in single precision), and (x_to - x_from
    + s) * side in float64 (see the module doc)."""
    a_from, a_to = x_from[rows], x_to[cols]
    delta = a_to - a_from  # single precision, as the engine's term
    a = np.abs(delta)
    s = np.where(a < np.float32(1) - a, 0, np.where(delta > 0, -1, 1)).astype(np.int32)
    out: list[npt.NDArray[Any]] = []
    if shifts:
        out.append(s.reshape(-1, x_from.shape[1]))
    if vectors:
        v = a_to.astype(np.float64) - a_from.astype(np.float64) + s
        if boxsize is not None:
            v *= np.asarray(boxsize, np.float64)
        out.append(v.reshape(-1, x_from.shape[1]))
    return out


def _pairs(tiers: list[Any], radius: float, shifts: bool, order: str) -> tuple[Any, ...]:
    """(i, j, dist, shift or None) of the tiers' half list."""
    if order not in ("distance", "id"):
        raise ValueError(f'order must be "distance" or "id", got {order!r}')
    return _native._grid_pairs(tiers, radius, shifts, order == "distance")


class ExactGrid(ExactPoints):
    """`exact_knn`, `exact_radius` and the half list of points fixed once, through a grid.

    The points are wrapped and rounded to single precision as the index
    stores them; a grid of them is made for each cell count a call needs
    (`axis_cells` from the radius, or from k and the density) and kept.
    Rows equal those of `exact_knn` / `exact_radius` on the same points,
    `metric` and `boxsize` (one side, or one per axis), bit for bit, on any
    thread count.
    """

    __slots__ = ("_P", "_grids", "_weights", "_x", "metric")

    def __init__(
        self, points: npt.ArrayLike, *, metric: str = "l1", boxsize: float | npt.ArrayLike | None = None
    ) -> None:
        self.metric = check_metric(metric)
        shape = np.shape(points)
        self.boxsize = check_box(boxsize, shape[1] if len(shape) == 2 else None)
        P = checked_points(points, self.boxsize)
        self.n, self.d = P.shape
        if self.d > ENGINE_MAX_D:
            raise ValueError(f"a grid takes at most {ENGINE_MAX_D} coordinates, got d = {self.d}")
        self._P = P  # wrapped and rounded as the exact scan does, by each grid made
        self._weights = box_weights(self.boxsize)
        self._x: npt.NDArray[np.float32] | None = None  # the stored coordinates, made when first needed
        self._grids: dict[tuple[int, ...], list[Any]] = {}

    @property
    def nbytes(self) -> int:
        """Bytes of the points kept and of every grid made so far."""
        return int(self._P.nbytes) + sum(_tier_bytes(self.n, self.d, c) for c in self._grids)

    def _cells(self, radius: float | None = None, k: int | None = None) -> tuple[int, ...]:
        return axis_cells(self.n, self.d, radius=radius, k=k, metric=self.metric, weights=self._weights)

    def _tiers(self, cells: tuple[int, ...]) -> list[Any]:
        tiers = self._grids.get(cells)
        if tiers is None:
            tiers = self._grids[cells] = [_tier(self._P, None, cells, self.d, self.metric, self._weights)]
        return tiers

    def _stored(self) -> npt.NDArray[np.float32]:
        if self._x is None:
            self._x = _wrapped(self._P)
        return self._x

    def knn(
        self, queries: npt.ArrayLike, k: int, exclude_ids: npt.ArrayLike | None = None, *, threads: int | None = None
    ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
        """As `exact_knn(points, queries, k, exclude_ids, metric=metric, boxsize=boxsize, threads=threads)`."""
        return self._knn(
            lambda Q, kk, ex: _native._grid_knn(self._tiers(self._cells(k=kk)), Q, kk, ex),
            queries,
            k,
            exclude_ids,
            threads,
        )

    def radius(
        self,
        queries: npt.ArrayLike,
        radius: float,
        exclude_ids: npt.ArrayLike | None = None,
        *,
        threads: int | None = None,
        shifts: bool = False,
        vectors: bool = False,
    ) -> tuple[npt.NDArray[Any], ...]:
        """As `exact_radius(points, queries, radius, exclude_ids, metric=metric, boxsize=boxsize, threads=threads)`.

        With `shifts` and / or `vectors`, (indptr, ids, dists) is followed
        by the (nnz, d) int32 image shifts and / or the (nnz, d) float64
        displacement vectors from each query to each of its neighbours, in
        the box's units (see the module doc).
        """
        seen: list[npt.NDArray[np.float64]] = []

        def search(Q: npt.NDArray[np.float64], r: float, ex: npt.NDArray[np.int64] | None) -> Any:
            seen.append(Q)
            tiers = self._tiers(self._cells(radius=r))
            if self._own_rows(Q, ex):
                # Each point's neighbours but itself: every pair is found once
                # and put in both rows (the same rows, bit for bit, in half the
                # distances).
                indptr, ids, dists, _ = _native._grid_pairs(tiers, r, False, True, True)
                return indptr, ids, dists
            return _native._grid_radius(tiers, Q, r, ex)

        indptr, ids, dists = self._radius(search, queries, radius, exclude_ids, threads)
        if not (shifts or vectors):
            return indptr, ids, dists
        rows = np.repeat(np.arange(indptr.size - 1), np.diff(indptr))
        more = displacements(_wrapped(seen[0]), self._stored(), rows, ids, self.boxsize, shifts, vectors)
        return (indptr, ids, dists, *more)

    def _own_rows(self, Q: npt.NDArray[np.float64], ex: npt.NDArray[np.int64] | None) -> bool:
        """Whether query i is point i with its own id excluded, for every i."""
        return (
            ex is not None
            and Q.shape == self._P.shape
            and ex.shape == (self.n,)
            and bool(np.array_equal(ex, np.arange(self.n)))
            and bool(np.array_equal(Q, self._P))
        )

    def pairs(
        self,
        radius: float,
        *,
        shifts: bool = False,
        vectors: bool = False,
        order: str = "distance",
        threads: int | None = None,
    ) -> tuple[Any, ...]:
        """Every unordered pair of the points within `radius` once: (i, j, dist),
        then the shifts and / or vectors when asked for.

        i < j; ordered by i, then by (dist, j) (order="distance") or by j
        (order="id"); dist as `exact_radius` gives it (in the box's units);
        shift the (p, d) int32 image shifts, vectors the (p, d) float64
        displacements from i to j in the box's units (see the module doc).
        """
        r = float(radius_to_unit(checked_radius(radius), self.boxsize))
        threads = checked_threads(threads)
        tiers = self._tiers(self._cells(radius=r))
        with thread_limit(threads):
            i, j, dist, shift = _pairs(tiers, r, bool(shifts), order)
        dist = distances_from_unit(dist, self.boxsize)
        out = (i, j, dist, shift) if shifts else (i, j, dist)
        if vectors:
            x = self._stored()
            out = (*out, *displacements(x, x, i, j, self.boxsize, False, True))
        return out


def _tier_bytes(n: int, d: int, cells: tuple[int, ...]) -> int:
    """Bytes of a grid of n points: cell starts, coordinates, ids."""
    return 8 * (math.prod(cells) + 1) + 4 * n * d + 8 * n


class GridStore(ExactStore):
    """The points of a search that answers exactly through a grid: no hash table.

    The points, tiers and retired ids are those of `ExactStore` (the same
    values, saved the same way); the store also answers: a grid of the live
    points of each tier is made for each cell count a call needs and kept
    until the points change. `update` remakes the candidates' grids alone,
    `promote` and `retire` both tiers'.
    """

    def __init__(self, d: int, block: int) -> None:
        super().__init__(d, block)
        self._static_grids: dict[tuple[int, ...], Any] = {}
        self._cand_grids: dict[tuple[int, ...], Any] = {}
        self.metric = "l1"
        self.weights: npt.NDArray[np.float64] | None = None

    def measure(self, metric: str, boxsize: Box) -> None:
        """Distances in `metric`, the axes weighed by the sides of `boxsize`
        (`box_weights`); the grids made so far are dropped."""
        self.metric, self.weights = check_metric(metric), box_weights(boxsize)
        self._changed()

    @property
    def nbytes_by_part(self) -> dict[str, int]:
        parts = dict(super().nbytes_by_part)
        n, d = self.n_points - self.n_retired, self.d
        for cells in set(self._static_grids) | set(self._cand_grids):
            parts["coordinates"] += 4 * n * d
            parts["ids"] += 8 * n
            parts["directories"] += 8 * (math.prod(cells) + 1) * 2
        return parts

    def _changed(self, candidates_only: bool = False) -> None:
        self._cand_grids = {}
        if not candidates_only:
            self._static_grids = {}

    def build(self, points: npt.NDArray[np.float64], n_static: int) -> None:
        super().build(points, n_static)
        self._changed()

    def update(self, coords: npt.NDArray[np.float64]) -> None:
        super().update(coords)
        self._changed(candidates_only=True)

    def promote(self, new_candidates: npt.NDArray[np.float64]) -> None:
        super().promote(new_candidates)
        self._changed()

    def retire(self, ids: npt.NDArray[np.int64]) -> None:
        super().retire(ids)
        self._changed()

    def _tiers(self, cells: tuple[int, ...]) -> list[Any]:
        """The grids of the live static points and of the live candidates."""
        out = []
        for grids, lo, hi in (
            (self._static_grids, 0, self._n_static),
            (self._cand_grids, self._n_static, self.n_points),
        ):
            tier = grids.get(cells)
            if tier is None:
                ids = np.flatnonzero(~self._retired[lo:hi]).astype(np.int64) + lo
                tier = grids[cells] = _tier(
                    stored_as_input(self._f32[ids]), ids, cells, self.d, self.metric, self.weights
                )
            out.append(tier)
        return out

    def _cells(self, radius: float | None = None, k: int | None = None) -> tuple[int, ...]:
        n = self.n_points - self.n_retired
        return axis_cells(n, self.d, radius=radius, k=k, metric=self.metric, weights=self.weights)

    def knn(
        self,
        Q: npt.NDArray[np.float64],
        k: int,
        ex: npt.NDArray[np.int64] | None,
    ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
        """exact_knn over the live points, by id (Q on the unit torus, one excluded id per query)."""
        return _native._grid_knn(self._tiers(self._cells(k=k)), Q, k, ex)

    def radius(
        self,
        Q: npt.NDArray[np.float64],
        r: float,
        ex: npt.NDArray[np.int64] | None,
    ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.float64]]:
        """exact_radius over the live points, by id (r on the unit torus)."""
        return _native._grid_radius(self._tiers(self._cells(radius=r)), Q, r, ex)

    def pairs(self, r: float, shifts: bool = False, order: str = "distance") -> tuple[Any, ...]:
        """The half list of the live points: (i, j, dist, shift or None), as `ExactGrid.pairs`."""
        return _pairs(self._tiers(self._cells(radius=r)), r, shifts, order)


def occupancy_near(
    points: npt.NDArray[np.float64], queries: npt.NDArray[np.float64], cells: int, n: int, own: int = 0
) -> float:
    """Points per cell around the queries in a grid of `cells` per axis over
    n points like `points` (a sample of them, on the unit torus), scaled to
    n: the mean over the queries of the points in a query's own cell, or
    when larger, of those in its own cell and the next along each axis
    (3**d cells, fewer with fewer cells) per cell. The first `own` queries
    are points of the sample, which do not count themselves. The density
    where the queries are, at the scale of the cells a query reads first:
    with clusters it is that of the clusters, not the mean n / cells**d,
    and a cluster within one cell counts whole (a query reads its cell
    whole)."""
    m, d = points.shape
    if m == 0 or queries.shape[0] == 0:
        return 0.0
    if d == 0:
        return float(n)

    def cell(x: npt.NDArray[np.float64]) -> npt.NDArray[np.int64]:
        """min(floor((x - floor(x)) * cells), cells - 1), in one buffer."""
        f = x - np.floor(x)
        f *= cells
        np.floor(f, out=f)
        np.minimum(f, cells - 1, out=f)
        return f.astype(np.int64)

    strides = cells ** np.arange(d - 1, -1, -1, dtype=np.int64)
    held = np.sort(cell(points) @ strides)
    steps = np.unique(np.array([-1, 0, 1]) % cells)  # each cell of the block once
    offsets = np.array(list(itertools.product(steps, repeat=d)), np.int64)
    # every cell of every query's block at once: (queries, cells of a block)
    keys = ((cell(queries)[:, None, :] + offsets) % cells) @ strides
    count = np.searchsorted(held, keys, "right") - np.searchsorted(held, keys, "left")
    block = count.sum(axis=1)
    mine = count[:, int(np.flatnonzero(~offsets.any(axis=1))[0])]
    mine[:own] -= 1
    block[:own] -= 1
    return float(max(mine.mean(), block.mean() / steps.size**d) * n / m)


def image_shifts(points: npt.NDArray[np.float32], pairs: npt.NDArray[np.int64]) -> npt.NDArray[np.int32]:
    """The (p, d) image shifts of pairs (i, j) of stored single-precision
    coordinates, as the grid's half list gives them (1.0 read as 0.0, as
    the exact scan reads it): s with x_j - x_i + s the minimum image."""
    x = np.asarray(points, np.float32)
    x = np.where(x >= 1, np.float32(0), x)
    delta = x[pairs[:, 1]] - x[pairs[:, 0]]
    a = np.abs(delta)
    wrapped = ~(a < np.float32(1) - a)
    return np.where(wrapped, np.where(delta > 0, -1, 1), 0).astype(np.int32).reshape(-1, x.shape[1])


def search_pairs(
    store: GridStore,
    r: float,
    return_distance: bool,
    kind: str | None,
    boxsize: Box,
    shifts: bool = False,
    vectors: bool = False,
) -> Any:
    """`PlovikSearch.pairs` of a search answered through a grid: the half list
    of its live points, pairs by (i, j) (a CSR array: rows by (distance, j)),
    distances in the box's units, and the image shifts and displacement
    vectors when asked for."""
    from plovik import results as _results

    i, j, dist, shift = store.pairs(r, shifts, "distance" if kind else "id")
    dist = distances_from_unit(dist, boxsize)
    if kind:
        n = store.n_points
        indptr = np.zeros(n + 1, np.int64)
        np.cumsum(np.bincount(i, minlength=n), out=indptr[1:])
        return _results.radius_csr(indptr, j, dist, n, return_distance, kind)
    pairs = np.stack([i, j], axis=1).reshape(-1, 2)
    out = (pairs, dist) if return_distance else (pairs,)
    out = (*out, shift) if shifts else out
    if vectors:
        x = _wrapped(store.points())
        out = (*out, *displacements(x, x, i, j, boxsize, False, True))
    return out if len(out) > 1 else out[0]


def pair_vectors(
    points: npt.NDArray[np.float32], pairs: npt.NDArray[np.int64], boxsize: Box
) -> npt.NDArray[np.float64]:
    """The (p, d) displacement vectors of pairs (i, j) of stored coordinates,
    from i to j in the box's units (see the module doc)."""
    x = _wrapped(points)
    return displacements(x, x, pairs[:, 0], pairs[:, 1], boxsize, False, True)[0]


def with_displacements(
    answer: Any,
    Q: npt.NDArray[np.float64],
    points: npt.NDArray[np.float32],
    single: bool,
    boxsize: Box,
    shifts: bool,
    vectors: bool,
) -> tuple[Any, ...]:
    """A radius query's answer (CSR arrays, or a single point's ids and
    distances) followed by the image shifts and / or displacement vectors
    from each query (Q on the unit torus) to each id it found, from the
    stored coordinates `points` (see the module doc)."""
    parts = answer if isinstance(answer, tuple) else (answer,)
    if single:
        ids, rows = parts[0], np.zeros(parts[0].size, np.int64)
    else:
        ids, rows = parts[1], np.repeat(np.arange(parts[0].size - 1), np.diff(parts[0]))
    return (*parts, *displacements(_wrapped(Q), _wrapped(points), rows, ids, boxsize, shifts, vectors))
