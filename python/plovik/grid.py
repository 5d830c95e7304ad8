"""Exact search through a grid of cells, for points in few dimensions.

The torus is cut into `cells` equal cells along each axis and the points are
counting-sorted by cell (`plovik._native._grid_tier`, in the engine). A
radius query reads only the cells whose lower bound of the distance is within
the radius; a k-nearest query reads rings of cells around its own until the
k-th distance found is below the bound of every cell not read; `pairs` visits
each pair of cells within reach once and writes each pair of points once.
Every answer equals that of `plovik.exact_knn` / `exact_radius` on the same
points bit for bit (the same single-precision toroidal-L1 distances, the
radius rounded to single precision once, rows ascending by (distance, id)):
the grid changes what is read, never what is found. It pays where a cell has
few neighbours, in one to four dimensions (a periodic box of particles).

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
s * L, up to the rounding to single precision.
"""

from __future__ import annotations

import itertools
import math
from typing import Any

import numpy as np
import numpy.typing as npt

from plovik import _native
from plovik.exact import ExactPoints, ExactStore, checked_points, checked_radius
from plovik.threads import checked_threads, thread_limit
from plovik.validation import check_boxsize, distances_from_unit, radius_to_unit

__all__ = ["GRID_MAX_D", "ExactGrid", "GridStore", "grid_cells", "occupancy_near"]

#: The most coordinates for which the tuning considers a grid (a cell has
#: 3**d neighbours: beyond four the exact scan is as good).
GRID_MAX_D = 4
#: The most coordinates a grid takes at all.
_ENGINE_MAX_D = 16
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


def _tier(points: npt.NDArray[np.float64], ids: npt.NDArray[np.int64] | None, cells: int, d: int) -> Any:
    return _native._grid_tier(np.ascontiguousarray(points, np.float64).reshape(-1, d), (cells,) * d, ids)


def _pairs(tiers: list[Any], radius: float, shifts: bool, order: str) -> tuple[Any, ...]:
    if order not in ("distance", "id"):
        raise ValueError(f'order must be "distance" or "id", got {order!r}')
    return _native._grid_pairs(tiers, radius, shifts, order == "distance")


class ExactGrid(ExactPoints):
    """`exact_knn`, `exact_radius` and the half list of points fixed once, through a grid.

    The points are wrapped and rounded to single precision as the index
    stores them; a grid of them is made for each cell count a call needs
    (`grid_cells` from the radius, or from k and the density) and kept.
    Rows equal those of `exact_knn` / `exact_radius` on the same points and
    `boxsize`, bit for bit, on any thread count.
    """

    __slots__ = ("_P", "_grids")

    def __init__(self, points: npt.ArrayLike, *, boxsize: float | None = None) -> None:
        self.boxsize = check_boxsize(boxsize)
        P = checked_points(points, self.boxsize)
        self.n, self.d = P.shape
        if self.d > _ENGINE_MAX_D:
            raise ValueError(f"a grid takes at most {_ENGINE_MAX_D} coordinates, got d = {self.d}")
        self._P = P  # wrapped and rounded as the exact scan does, by each grid made
        self._grids: dict[int, list[Any]] = {}

    @property
    def nbytes(self) -> int:
        """Bytes of the points kept and of every grid made so far."""
        return int(self._P.nbytes) + sum(_tier_bytes(self.n, self.d, c) for c in self._grids)

    def _tiers(self, cells: int) -> list[Any]:
        tiers = self._grids.get(cells)
        if tiers is None:
            tiers = self._grids[cells] = [_tier(self._P, None, cells, self.d)]
        return tiers

    def knn(
        self, queries: npt.ArrayLike, k: int, exclude_ids: npt.ArrayLike | None = None, *, threads: int | None = None
    ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
        """As `exact_knn(points, queries, k, exclude_ids, boxsize=boxsize, threads=threads)`."""
        return self._knn(
            lambda Q, kk, ex: _native._grid_knn(self._tiers(grid_cells(self.n, self.d, k=kk)), Q, kk, ex),
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
    ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.float64]]:
        """As `exact_radius(points, queries, radius, exclude_ids, boxsize=boxsize, threads=threads)`."""
        return self._radius(
            lambda Q, r, ex: _native._grid_radius(self._tiers(grid_cells(self.n, self.d, radius=r)), Q, r, ex),
            queries,
            radius,
            exclude_ids,
            threads,
        )

    def pairs(
        self, radius: float, *, shifts: bool = False, order: str = "distance", threads: int | None = None
    ) -> tuple[Any, ...]:
        """Every unordered pair of the points within `radius` once: (i, j, dist), or (i, j, dist, shift).

        i < j; ordered by i, then by (dist, j) (order="distance") or by j
        (order="id"); dist as `exact_radius` gives it (times `boxsize`);
        shift the (p, d) int32 image shifts (see the module doc).
        """
        r = float(radius_to_unit(checked_radius(radius), self.boxsize))
        threads = checked_threads(threads)
        tiers = self._tiers(grid_cells(self.n, self.d, radius=r))
        with thread_limit(threads):
            i, j, dist, shift = _pairs(tiers, r, bool(shifts), order)
        dist = distances_from_unit(dist, self.boxsize)
        return (i, j, dist, shift) if shifts else (i, j, dist)


def _tier_bytes(n: int, d: int, cells: int) -> int:
    """Bytes of a grid of n points: cell starts, coordinates, ids."""
    return 8 * (int(cells**d) + 1) + 4 * n * d + 8 * n


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
        self._static_grids: dict[int, Any] = {}
        self._cand_grids: dict[int, Any] = {}

    @property
    def nbytes_by_part(self) -> dict[str, int]:
        parts = dict(super().nbytes_by_part)
        n, d = self.n_points - self.n_retired, self.d
        for cells in set(self._static_grids) | set(self._cand_grids):
            parts["coordinates"] += 4 * n * d
            parts["ids"] += 8 * n
            parts["directories"] += 8 * (int(cells**d) + 1) * 2
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

    def _tiers(self, cells: int) -> list[Any]:
        """The grids of the live static points and of the live candidates."""
        out = []
        for grids, lo, hi in (
            (self._static_grids, 0, self._n_static),
            (self._cand_grids, self._n_static, self.n_points),
        ):
            tier = grids.get(cells)
            if tier is None:
                ids = np.flatnonzero(~self._retired[lo:hi]).astype(np.int64) + lo
                tier = grids[cells] = _tier(self._f32[ids].astype(np.float64), ids, cells, self.d)
            out.append(tier)
        return out

    def _cells(self, radius: float | None = None, k: int | None = None) -> int:
        return grid_cells(self.n_points - self.n_retired, self.d, radius=radius, k=k)

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
        return np.minimum(np.floor((x - np.floor(x)) * cells), cells - 1).astype(np.int64)

    strides = cells ** np.arange(d - 1, -1, -1, dtype=np.int64)
    held = np.sort(cell(points) @ strides)
    at = cell(queries)
    steps = np.unique(np.array([-1, 0, 1]) % cells)  # each cell of the block once
    mine = np.zeros(queries.shape[0], np.int64)
    block = np.zeros(queries.shape[0], np.int64)
    for offset in itertools.product(steps, repeat=d):
        key = ((at + np.array(offset)) % cells) @ strides
        count = np.searchsorted(held, key, "right") - np.searchsorted(held, key, "left")
        block += count
        if not any(offset):
            mine += count
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
    store: GridStore, r: float, return_distance: bool, kind: str | None, boxsize: float | None, shifts: bool = False
) -> Any:
    """`PlovikSearch.pairs` of a search answered through a grid: the half list
    of its live points, pairs by (i, j) (a CSR array: rows by (distance, j)),
    distances in the box's units, and the image shifts when asked for."""
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
    return out if len(out) > 1 else out[0]
