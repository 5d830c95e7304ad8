"""The checked arguments of the searches' methods, shared by `PlovikSearch`
(`plovik.search`) and `ShardedSearch` (`plovik.distributed`).

Every method checks its arguments in two rounds: first what the types and
shapes tell (`as_array`, `as_coords`, `as_ids`, the counts), which costs
nothing whatever the size; then the conversions and scans
(`finite_float64`, `ids_in_range`), which read every value. A refused call
therefore fails at once, and a huge input is read only when nothing else
is wrong. `KnnCall` and `RadiusCall` hold a query call's checked arguments
and shape its answer.
"""

from __future__ import annotations

import math
import numbers
import operator
import os
from dataclasses import dataclass
from typing import Any, SupportsIndex, cast

import numpy as np
import numpy.typing as npt

from plovik import _native
from plovik import results as _results
from plovik.validation import Box, check_coordinate_dtype, distances_from_unit, radius_to_unit, to_unit

__all__ = [
    "MAX_POINTS",
    "TIER_LIMIT",
    "TIER_TOO_LARGE",
    "KnnCall",
    "RadiusCall",
    "as_array",
    "as_coords",
    "as_fraction",
    "as_ids",
    "as_integer",
    "as_queries",
    "as_radii",
    "as_radius",
    "at_least",
    "build_arguments",
    "call_probes",
    "check_result_size",
    "finite_float64",
    "ids_in_range",
    "ids_to_retire",
    "physical_memory",
    "single_id",
]

_I64_MAX = (1 << 63) - 1
#: The index stores bucket positions in 32 bits, so a tier holds fewer points.
TIER_LIMIT = 1 << 32
#: The most points an index holds: two tiers of fewer than `TIER_LIMIT`.
MAX_POINTS = 2 * (TIER_LIMIT - 1)
#: The message of a tier that would reach `TIER_LIMIT` points (the engine's own text).
TIER_TOO_LARGE = "a tier must hold fewer than 2**32 points"


def as_integer(value: object, name: str) -> int:
    """An int from an integer-like value (not a bool, not a float)."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an integer, got a bool")
    try:
        # operator.index itself refuses what has no __index__
        return int(operator.index(cast("SupportsIndex", value)))
    except TypeError:
        raise TypeError(f"{name} must be an integer, got {type(value).__name__}") from None


def as_fraction(value: object, name: str) -> float:
    """A real number in (0, 1]."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, got {type(value).__name__}")
    v = float(value)
    if not 0.0 < v <= 1.0:
        raise ValueError(f"{name} must lie in (0, 1], got {v}")
    return v


def as_radius(radius: object) -> float:
    """A finite, non-negative real radius."""
    if isinstance(radius, (bool, np.bool_)) or not isinstance(radius, numbers.Real):
        raise TypeError(f"radius must be a real number, got {type(radius).__name__}")
    try:
        r = float(radius)
    except OverflowError:  # an integer (or fraction) beyond the float range
        raise ValueError("radius must be finite and non-negative, got a value beyond the float range") from None
    if not (math.isfinite(r) and r >= 0.0):
        raise ValueError(f"radius must be finite and non-negative, got {r}")
    return r


def at_least(value: object, name: str, low: int) -> int:
    v = as_integer(value, name)
    if v < low:
        raise ValueError(f"{name} must be at least {low}, got {v}")
    return v


def as_array(value: object, name: str) -> np.ndarray:
    """An ndarray view of an array-like (a copy only for non-arrays such as lists)."""
    if value is None or isinstance(value, (str, bytes)):
        raise TypeError(f"{name} must be an array of numbers, got {'None' if value is None else type(value).__name__}")
    if isinstance(value, np.ma.MaskedArray):
        # The index has no notion of a missing value: NumPy would hand over
        # the data under the mask as if it were valid.
        raise TypeError(
            f"{name} must not be a masked array (its mask would be ignored); fill or drop the masked entries first"
        )
    try:
        return np.asarray(value)
    except (TypeError, ValueError) as exc:  # ragged nested lists, odd objects
        raise TypeError(f"{name} must be an array of numbers: {exc}") from None


def as_coords(value: object, name: str, d: int, boxsize: Box) -> np.ndarray:
    """An (n, d) array of real numbers, as given: only its dtype and shape are
    checked (integers only with a boxsize)."""
    arr = as_array(value, name)
    if arr.dtype.kind not in "iuf":
        raise TypeError(f"{name} must hold real numbers, got dtype {arr.dtype}")
    check_coordinate_dtype(arr.dtype, name, boxsize)
    if arr.ndim != 2:
        hint = f"; for a single point use {name}[None, :]" if arr.ndim == 1 else ""
        raise ValueError(f"{name} must be a 2-D array of shape (n, {d}), got shape {arr.shape}{hint}")
    if arr.shape[1] != d:
        raise ValueError(f"{name} has {arr.shape[1]} columns but the index has d = {d}")
    return arr


def finite_float64(arr: np.ndarray, name: str) -> npt.NDArray[np.float64]:
    """A C-contiguous float64 copy-or-view of coordinates checked by `as_coords`, all finite."""
    out = np.ascontiguousarray(arr, dtype=np.float64)
    # one parallel pass over the values, with no array of flags as large as the input
    if arr.dtype.kind == "f" and out.size and not _native._all_finite(out):
        row, col = np.argwhere(~np.isfinite(out))[0]
        raise ValueError(f"{name} must be finite: row {row}, column {col} holds {out[row, col]}")
    return out


def as_queries(value: object, d: int, boxsize: Box) -> tuple[np.ndarray, bool]:
    """Queries as an (m, d) array (see `as_coords`), and whether a single point
    was given as a 1-D array of d values (its answer then drops the query axis)."""
    arr = as_array(value, "queries")
    if arr.ndim == 1 and arr.dtype.kind in "iuf":
        check_coordinate_dtype(arr.dtype, "queries", boxsize)
        if arr.shape[0] != d:
            raise ValueError(f"a single query must have d = {d} values, got shape {arr.shape}")
        return arr[None, :], True
    return as_coords(arr, "queries", d, boxsize), False


def single_id(value: object, several: bool = False) -> object:
    """The exclude_ids of a single point: None, an integer, or a one-entry
    array-like; with `several`, a 1-D array of any length is its ids."""
    if value is None:
        return None
    if not isinstance(value, (bool, np.bool_)) and isinstance(value, numbers.Integral):
        return [int(value)]
    arr = as_array(value, "exclude_ids")
    if arr.ndim == 0:
        return arr.reshape(1)
    return arr.reshape(1, -1) if several and arr.ndim == 1 and arr.size != 1 else arr


def as_radii(value: object, m: int) -> float | npt.NDArray[np.float64]:
    """A radius for all queries, or an (m,) array of one radius per query (each
    finite and non-negative)."""
    if not isinstance(value, (list, tuple, np.ndarray)) or np.ndim(value) == 0:
        return as_radius(value.item() if isinstance(value, np.ndarray) else value)
    arr = as_array(value, "radius")
    if arr.dtype.kind not in "iuf":
        raise TypeError(f"radius must be a real number or an array of them, got dtype {arr.dtype}")
    if arr.shape != (m,):
        raise ValueError(f"radius must be a number or have shape ({m},), one per query, got shape {arr.shape}")
    r = arr.astype(np.float64)
    bad = ~(np.isfinite(r) & (r >= 0.0))
    if bad.any():
        i = int(np.argmax(bad))
        raise ValueError(f"radius must be finite and non-negative: entry {i} is {arr[i]}")
    return r


def as_ids(value: object, m: int, several: bool = False) -> np.ndarray | None:
    """exclude_ids as given, checked for an integer dtype and one id per
    query; with `several` also (m, e), e ids per query padded with -1."""
    if value is None:
        return None
    if several:
        value = _results.padded_exclusions(value)
    arr = as_array(value, "exclude_ids")
    # An empty list has NumPy's default dtype, float64; with no entries there
    # is nothing that is not an integer.
    if arr.dtype.kind not in "iu" and not (arr.size == 0 and arr.dtype.kind == "f"):
        raise TypeError(f"exclude_ids must hold integers, got dtype {arr.dtype}")
    if several and arr.ndim == 2 and arr.shape[0] == m:
        return arr
    if arr.shape != (m,):
        more = f" or ({m}, e), e ids per query padded with -1," if several else ""
        raise ValueError(f"exclude_ids must have shape ({m},), one id per query,{more} got shape {arr.shape}")
    return arr


def ids_in_range(arr: np.ndarray | None, n_points: int) -> npt.NDArray[np.int64] | None:
    """Ids checked by `as_ids` as a C-contiguous int64 array, each in [-1, n_points)."""
    if arr is None:
        return None
    if arr.size and (int(arr.min()) < -1 or int(arr.max()) >= n_points):
        bad = arr[(arr < -1) | (arr >= n_points)][0]
        raise ValueError(f"exclude_ids must lie in [-1, {n_points}) (-1 excludes nothing), got {bad}")
    return np.ascontiguousarray(arr, dtype=np.int64)


def build_arguments(
    d: int,
    n: int,
    n_static: object,
    queries: object,
    sample: object,
    capacity: object,
    radius: object,
    boxsize: Box,
) -> tuple[int, np.ndarray | None, int | None, int | None, float | None]:
    """The checked arguments of a build of n points besides the points:
    n_static (default n), the sample queries (not yet checked finite),
    sample, capacity and radius (the last two in the caller's units)."""
    n_static = n if n_static is None else as_integer(n_static, "n_static")
    if not 0 <= n_static <= n:
        raise ValueError(f"n_static must lie in [0, {n}] for {n} points, got {n_static}")
    if n_static >= TIER_LIMIT or n - n_static >= TIER_LIMIT:
        raise ValueError(TIER_TOO_LARGE)
    Q = None if queries is None else as_coords(queries, "queries", d, boxsize)
    if sample is not None:
        sample = at_least(sample, "sample", 1)
        if sample > n:
            raise ValueError(f"sample ({sample}) is larger than the data ({n} points)")
    if capacity is not None:
        capacity = at_least(capacity, "capacity", 0)
        if capacity > MAX_POINTS:
            raise ValueError(f"capacity must be at most {MAX_POINTS}")
    if radius is not None:
        radius = as_radius(radius)
    return n_static, Q, sample, capacity, radius


def ids_to_retire(ids: object, n: int) -> npt.NDArray[np.int64]:
    """The checked ids of a retire call among n points: an integer or a 1-D
    integer array-like, each in [0, n); as a contiguous int64 array."""
    if not isinstance(ids, (bool, np.bool_)) and isinstance(ids, numbers.Integral):
        ids = [int(ids)]
    arr = as_array(ids, "ids")
    if arr.dtype.kind not in "iu" and not (arr.size == 0 and arr.dtype.kind == "f"):
        raise TypeError(f"ids must hold integers, got dtype {arr.dtype}")
    if arr.ndim != 1:
        raise ValueError(f"ids must be a 1-D array of point ids, got shape {arr.shape}")
    if arr.size and (int(arr.min()) < 0 or int(arr.max()) >= n):
        bad = arr[(arr < 0) | (arr >= n)][0]
        raise ValueError(f"ids must lie in [0, {n}) to be retired, got {bad}")
    return np.ascontiguousarray(arr, dtype=np.int64)


def physical_memory() -> int | None:
    """Bytes of physical memory, None where the system does not say."""
    try:
        return os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (ValueError, OSError, AttributeError):
        return None


def check_result_size(m: int, k: int) -> None:
    """Refuse a k whose (m, k) id and distance arrays could never be held.

    Checked with the shapes, before any array is read: the raw index would
    otherwise fail only when it allocates, with a bare MemoryError.
    """
    # No (m, k) array of eight-byte values can exist (even with no rows, the
    # shape must describe one): also a k too large for the raw index's
    # integer conversion.
    if max(m, 1) * k > _I64_MAX // 8:
        raise ValueError(f"k = {k} is too large: no result array of shape ({m}, {k}) can exist")
    need = 16 * m * k  # an int64 id and a float64 distance per entry
    memory = physical_memory()
    if memory is not None and need > memory:
        raise ValueError(
            f"k = {k} is too large: the results of {m} queries, two ({m}, {k}) arrays of 8-byte values, "
            f"need {need / 2**30:,.1f} GiB but this machine has {memory / 2**30:,.1f} GiB of memory"
        )


def call_probes(probes: object) -> int | None:
    return None if probes is None else at_least(probes, "probes", 0)


@dataclass(frozen=True)
class KnnCall:
    """The checked arguments of a k-nearest query, and the shaping of its answer.

    The index leaves out one id per query (`ex`); with several, the search
    asks for `k + wider` neighbours and `rows` drops the others (`more`), so
    k remain whichever were found."""

    Q: np.ndarray  # (m, d) finite queries on the unit torus
    single: bool
    k: int
    ex: np.ndarray | None
    more: np.ndarray | None
    wider: int
    probes: int | None
    sparse: str | None
    n_points: int
    boxsize: Box

    @classmethod
    def checked(
        cls,
        queries: object,
        d: int,
        k: object,
        exclude_ids: object,
        probes: object,
        sparse: object,
        n_points: int,
        boxsize: Box,
    ) -> KnnCall:
        Q, single = as_queries(queries, d, boxsize)
        k = at_least(k, "k", 1)
        ex = as_ids(single_id(exclude_ids, True) if single else exclude_ids, Q.shape[0], several=True)
        probes = call_probes(probes)
        kind = _results.sparse_kind(sparse)
        wider = 0 if ex is None or ex.ndim == 1 else max(ex.shape[1] - 1, 0)
        check_result_size(Q.shape[0], k + wider)
        Q, ex = to_unit(finite_float64(Q, "queries"), boxsize, "queries"), ids_in_range(ex, n_points)
        ex, more = (None, None) if ex is None else _results.split_exclusions(ex)
        return cls(Q, single, k, ex, more, wider, probes, kind, n_points, boxsize)

    def rows(self, idx: np.ndarray, dist: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """The (m, k) rows from those of k + wider neighbours (unit torus)."""
        return (idx, dist) if self.more is None else _results.knn_without(idx, dist, self.more, self.k)

    def truth(self, checks: np.ndarray, exact_knn: Any) -> np.ndarray:
        """The exact distances of the queries at `checks`, excluding what the
        call excludes: `exact_knn(Q, k, ex)` gives (idx, dist) rows."""
        ex = None if self.ex is None else self.ex[checks]
        idx, dist = exact_knn(self.Q[checks], self.k + self.wider, ex)
        return dist if self.more is None else _results.knn_without(idx, dist, self.more[checks], self.k)[1]

    def answer(self, idx: np.ndarray, dist: np.ndarray, return_distance: bool) -> Any:
        """The caller's result from the (m, k) rows."""
        dist = distances_from_unit(dist, self.boxsize)
        if self.sparse:
            return _results.knn_csr(idx, dist, self.n_points, return_distance, self.sparse)
        if self.single:
            idx, dist = idx[0], dist[0]
        return (idx, dist) if return_distance else idx


@dataclass(frozen=True)
class RadiusCall:
    """The checked arguments of a radius query, and the shaping of its answer."""

    Q: np.ndarray  # (m, d) finite queries on the unit torus
    single: bool  # one point was given as a 1-D array
    r: float | npt.NDArray[np.float64]  # the radius on the unit torus, or one per query
    ex: np.ndarray | None  # the one id per query the index excludes
    more: np.ndarray | None  # (m, e - 1) further ids to drop from the rows, padded with -1
    probes: int | None
    count_only: bool
    sparse: str | None  # None, "array" or "matrix" (`results.sparse_kind`)
    return_distance: bool
    n_points: int
    boxsize: Box  # the period the caller's units have

    @classmethod
    def checked(
        cls,
        queries: object,
        d: int,
        radius: object,
        exclude_ids: object,
        probes: object,
        count_only: bool,
        sparse: object,
        return_distance: bool,
        n_points: int,
        boxsize: Box,
        several: bool = False,
    ) -> RadiusCall:
        Q, single = as_queries(queries, d, boxsize)
        r = as_radii(radius, Q.shape[0])
        ex = as_ids(single_id(exclude_ids, several) if single else exclude_ids, Q.shape[0], several)
        probes = call_probes(probes)
        kind = _results.sparse_kind(sparse)
        if count_only and kind:
            raise ValueError("count_only and sparse exclude each other")
        Q, ex = to_unit(finite_float64(Q, "queries"), boxsize, "queries"), ids_in_range(ex, n_points)
        ex, more = (None, None) if ex is None else _results.split_exclusions(ex)
        return cls(
            Q,
            single,
            radius_to_unit(r, boxsize),
            ex,
            more,
            probes,
            bool(count_only),
            kind,
            bool(return_distance),
            n_points,
            boxsize,
        )

    def radii(self, checks: np.ndarray) -> npt.NDArray[np.float64]:
        """The radius of each query at `checks`."""
        radii: npt.NDArray[np.float64] = np.broadcast_to(np.asarray(self.r, np.float64), (self.Q.shape[0],))[checks]
        return radii

    @property
    def widest(self) -> float:
        """The radius to search with: the hash gathers the same candidates
        whatever the radius, so one search at the largest radius, trimmed
        row by row, answers every radius."""
        return self.r if isinstance(self.r, float) else float(np.max(self.r, initial=0.0))

    def answer(self, found: tuple[np.ndarray, np.ndarray, np.ndarray]) -> Any:
        """The caller's result from (indptr, ids, dists) at the widest radius."""
        if self.more is not None:
            found = _results.radius_without(*found, self.more)
        if not isinstance(self.r, float):
            found = _results.radius_rows_within(*found, self.r)
        indptr, ids, dists = found
        dists = distances_from_unit(dists, self.boxsize)
        if self.count_only:
            counts = np.diff(indptr)
            return int(counts[0]) if self.single else counts
        if self.sparse:
            return _results.radius_csr(indptr, ids, dists, self.n_points, self.return_distance, self.sparse)
        if self.single:
            return (ids, dists) if self.return_distance else ids
        return (indptr, ids, dists) if self.return_distance else (indptr, ids)
