"""Type stubs for the compiled module plovik._native."""

from collections.abc import Sequence
from typing import Any, Final

import numpy as np
import numpy.typing as npt

__all__: Final[list[str]]  # ["RustLshIndex", "PanicException", "exact_knn", "exact_radius", "crc32c"]

# The engine's lists and limits, outside __all__: the one source the package
# reads them from (plovik.lsh, the independent reference, keeps its own).
#: The query counters of `stats()`, in order (src/index/counters.hpp).
QUERY_COUNTERS: Final[tuple[str, ...]]
#: The version of a state's layout (`_state()`, a saved index's tables).
STATE_VERSION: Final[int]
#: The scalar entries of a state: b signed, the rest unsigned 64-bit.
STATE_INTS: Final[tuple[str, ...]]
#: Every array of a state: its dtype and dimensions (src/index/state/schema.hpp).
STATE_ARRAYS: Final[dict[str, tuple[np.dtype[Any], int]]]
#: The pool's absolute cap on worker threads.
MAX_THREADS: Final[int]

class PanicException(BaseException):
    """An internal precondition of the index engine was violated. The index is
    left as it was before the call."""

# The class's docstrings (text signatures included) and its messages are
# fixed texts that callers and peers match word for word, among them
# TypeError "The given array is not contiguous or is misaligned." (naming no
# argument; raised only after every argument is converted), ValueError
# "S and U must have shape (L, K)" and RuntimeError "Already borrowed" /
# "Already mutably borrowed". Where those texts say less than the class does:
# - "validates nothing": every call checks its arguments' types, dtypes,
#   dimensions and ranges, and `build` checks the parameters against the
#   points (b >= 1, k >= 1, l >= 1, s in [0, d), b**k <= 2**63 - 1, tiers
#   under 2**32 points); a refused call raises TypeError, OverflowError,
#   ValueError or PanicException and leaves the index exactly as it was.
# - "behaviourally identical": the query rows equal the reference's too, not
#   only the hash tables.
# - `stats()` returns gather_ns, refine_ns, relax_ns (worker nanoseconds
#   gathering candidates on the per-query path, measuring them or the
#   batched path's blocks, in relaxed searches), queries (answered), cands
#   (candidate ids gathered, per-query path), pairs (distances measured),
#   relaxed (queries that widened their search) and block (the setting).
class RustLshIndex:
    """Toroidal-L1 LSH index, compiled."""

    def __new__(
        cls,
        b: int,
        k: int,
        l: int,
        probes: int,
        s: npt.NDArray[np.int64],
        u: npt.NDArray[np.float64],
        block: int = 1024,
    ) -> RustLshIndex: ...
    @property
    def n_points(self) -> int:
        """Points in the index, both tiers."""
    @property
    def n_static(self) -> int:
        """Points in the static tier."""
    @property
    def n_candidates(self) -> int:
        """Points in the candidate tier."""
    @property
    def n_retired(self) -> int:
        """Points retired, both tiers (counted in n_points too)."""
    @property
    def nbytes(self) -> int:
        """Bytes the index holds, an int: the sum of `nbytes_by_part`."""
    @property
    def nbytes_by_part(self) -> dict[str, int]:
        """Bytes the index holds by part: "coordinates" (single precision of
        every point, double precision of the candidates), "ids" (32-bit, both
        tiers, and a bit per id up to the last one retired), "directories"
        (where each bucket lies) and "reuse" (replaced large arrays kept for
        the next build, update or promote)."""
    def points(self) -> npt.NDArray[np.float32]:
        """The `(n_points, d)` float32 coordinates distances are measured on:
        every point wrapped onto `[0, 1)` and rounded to single precision."""
    def build(self, points: npt.NDArray[np.float64], n_static: int) -> None:
        """Hash and sort both tiers from scratch."""
    def tables(self) -> dict[str, npt.NDArray[np.int64]]:
        """The raw hash tables, for cross-implementation comparison."""
    def query_knn(
        self,
        queries: npt.NDArray[np.float64],
        k: int,
        exclude_ids: npt.NDArray[np.int64] | None = None,
    ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
        """Exact k nearest neighbours of each query under toroidal L1."""
    def query_radius(
        self,
        queries: npt.NDArray[np.float64],
        radius: float,
        exclude_ids: npt.NDArray[np.int64] | None = None,
    ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.float64]]:
        """Every point within `radius` of each query, exactly."""
    def update(self, coords: npt.NDArray[np.float64]) -> None:
        """Selective refresh: re-place only entries whose key changed."""
    def promote(self, new_candidates: npt.NDArray[np.float64]) -> None:
        """Merge candidates into the static tier, then install the new batch."""
    def retire(self, ids: npt.NDArray[np.int64]) -> None:
        """Retire points: no query returns them again, from either tier."""
    def stats(self) -> dict[str, int]:
        """Cumulative query-phase profile."""
    def reset_stats(self) -> None:
        """Zero the counters read by `stats`."""
    def _state(self) -> dict[str, object]:
        """The index as a dict of numbers and NumPy arrays (copies; version 1)."""
    @classmethod
    def _from_state(cls, state: dict[str, object], files: dict[str, tuple[str, int]] | None = None) -> RustLshIndex:
        """An index made from a state, every invariant checked first (ValueError);
        `files` maps "coords" / "static_ids" to (path, page-aligned byte offset)
        of their bytes, which are then mapped copy-on-write instead of copied."""
    def __reduce__(self) -> tuple[object, tuple[dict[str, object]]]: ...

def _query_knn(
    index: RustLshIndex,
    queries: npt.NDArray[np.float64],
    k: int,
    exclude_ids: npt.NDArray[np.int64] | None = None,
    probes: int | None = None,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """index.query_knn with `probes` flip probes per table for this call."""

def _query_radius(
    index: RustLshIndex,
    queries: npt.NDArray[np.float64],
    radius: float,
    exclude_ids: npt.NDArray[np.int64] | None = None,
    probes: int | None = None,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """index.query_radius with `probes` flip probes per table for this call."""

def _query_knn_metric(
    index: RustLshIndex,
    queries: npt.NDArray[np.float64],
    k: int,
    metric: str = "l1",
    weights: npt.NDArray[np.float64] | None = None,
    exclude_ids: npt.NDArray[np.int64] | None = None,
    probes: int | None = None,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """The k nearest of the candidates the index's per-query path gathers,
    measured in the metric ("l1" or "euclidean") with the axes' weights
    (None: all 1), as the exact scan measures them."""

def _query_radius_metric(
    index: RustLshIndex,
    queries: npt.NDArray[np.float64],
    radius: float,
    metric: str = "l1",
    weights: npt.NDArray[np.float64] | None = None,
    exclude_ids: npt.NDArray[np.int64] | None = None,
    probes: int | None = None,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """The candidates of index.query_radius within `radius` in the metric."""

def _probe_keys(
    b: int, s: npt.NDArray[np.int64], u: npt.NDArray[np.float64], rows: npt.NDArray[np.float64], flips: int
) -> npt.NDArray[np.int64]:
    """The (m, L, 1 + P) probe keys of `rows` under the setting (b, s, u)."""

def _candidate_counts(
    b: int,
    s: npt.NDArray[np.int64],
    u: npt.NDArray[np.float64],
    points: npt.NDArray[np.float64],
    queries: npt.NDArray[np.float64],
    flips: int,
    bound: float,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]:
    """(entries, distinct), both (1 + P, L): what `queries` gather from `points`."""

def _candidate_counts_from(
    b: int,
    s: npt.NDArray[np.int64],
    u: npt.NDArray[np.float64],
    points: npt.NDArray[np.float64],
    queries: npt.NDArray[np.float64],
    flips: int,
    bound: float,
    entries: npt.NDArray[np.int64],
    distinct: npt.NDArray[np.int64],
    best: npt.NDArray[np.uint8],
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.uint8]]:
    """(entries, distinct, best): `_candidate_counts` continued from the counts of the first l tables."""

def _neighbour_hits(
    b: int,
    s: npt.NDArray[np.int64],
    u: npt.NDArray[np.float64],
    queries: npt.NDArray[np.float64],
    neighbours: npt.NDArray[np.float64],
    owner: npt.NDArray[np.int64],
    flips: int,
) -> npt.NDArray[np.int64]:
    """(m, 1 + P, L): per query, its neighbours that share a probed bucket with it."""

def _neighbour_hits_from(
    b: int,
    s: npt.NDArray[np.int64],
    u: npt.NDArray[np.float64],
    queries: npt.NDArray[np.float64],
    neighbours: npt.NDArray[np.float64],
    owner: npt.NDArray[np.int64],
    flips: int,
    start: npt.NDArray[np.int64],
    first: npt.NDArray[np.int64],
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]:
    """(hits, first): `_neighbour_hits` continued from the tables [0, start[q]) already searched."""

def _measure_many(calls: Sequence[tuple[Any, ...]]) -> list[tuple[npt.NDArray[Any], ...]]:
    """The results of several ("counts", ...) / ("hits", ...) calls of `_candidate_counts_from` and
    `_neighbour_hits_from`, run at once on the worker pool, in order."""

def _all_finite(values: npt.NDArray[np.float64]) -> bool:
    """Whether every value of the (n, d) array is finite (one parallel pass)."""

def _wrap_f32(values: npt.NDArray[np.float64]) -> npt.NDArray[np.float32]:
    """The (n, d) float32 copy the index stores: x - floor(x), rounded (in parallel)."""

def _spread(
    rows: npt.NDArray[np.float64], a: npt.NDArray[np.int64], b: npt.NDArray[np.int64]
) -> npt.NDArray[np.float64]:
    """(d,): the mean toroidal distance along each coordinate between rows a[i] and b[i]."""

def _weighted_draw(
    weights: npt.NDArray[np.float64], draws: npt.NDArray[np.float64], components: int
) -> npt.NDArray[np.int64]:
    """(L, components): the coordinates each table hashes, drawn by weight (indices into weights)."""

def _set_thread_limit(limit: int, process: bool = False) -> int:
    """Limit the worker threads of this thread's calls (process=True: of every
    call); 0 removes the limit. Returns the limit replaced."""

def _restore_index(state: dict[str, object]) -> RustLshIndex:
    """RustLshIndex._from_state(state): what pickle calls."""

def _thread_count() -> int:
    """The worker threads a call made now from this thread would use."""

def exact_knn(
    points: npt.NDArray[np.float64],
    queries: npt.NDArray[np.float64],
    k: int,
    exclude_ids: npt.NDArray[np.int64] | None = None,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """The k nearest points of each query under toroidal L1, by brute force."""

def _exact_tiles(
    points: npt.NDArray[np.float64], metric: str = "l1", weights: npt.NDArray[np.float64] | None = None
) -> Any:
    """The points of an exact scan prepared once, in the metric ("l1" or
    "euclidean") with the axes' weights (None: all 1): an opaque capsule."""

def _exact_tiles_nbytes(tiles: Any, /) -> int:
    """The bytes the points prepared by `_exact_tiles` hold."""

def _exact_tiles_reach(
    tiles: Any, queries: npt.NDArray[np.float64], limits: npt.NDArray[np.float64]
) -> npt.NDArray[np.int64]:
    """Per query, the points a k-nearest scan with k-th distance `limits[i]` reads."""

def _exact_knn_tiles(
    tiles: Any, queries: npt.NDArray[np.float64], k: int, exclude_ids: npt.NDArray[np.int64] | None = None
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """`exact_knn` over points prepared by `_exact_tiles`."""

def _exact_radius_tiles(
    tiles: Any, queries: npt.NDArray[np.float64], radius: float, exclude_ids: npt.NDArray[np.int64] | None = None
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """`exact_radius` over points prepared by `_exact_tiles`."""

def _grid_tier(
    points: npt.NDArray[np.float64],
    cells: tuple[int, ...] | list[int],
    ids: npt.NDArray[np.int64] | None = None,
    metric: str = "l1",
    weights: npt.NDArray[np.float64] | None = None,
) -> Any:
    """The points counting-sorted into a grid of cells[a] cells along axis a, distances in `metric`
    with the axes' `weights`: an opaque capsule."""

def _grid_radius(
    tiers: tuple[Any, ...] | list[Any],
    queries: npt.NDArray[np.float64],
    radius: float,
    exclude_ids: npt.NDArray[np.int64] | None = None,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """`exact_radius` over the points of the tiers, by their ids."""

def _grid_knn(
    tiers: tuple[Any, ...] | list[Any],
    queries: npt.NDArray[np.float64],
    k: int,
    exclude_ids: npt.NDArray[np.int64] | None = None,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """`exact_knn` over the points of the tiers, by their ids."""

def _grid_pairs(
    tiers: tuple[Any, ...] | list[Any],
    radius: float,
    shifts: bool = False,
    by_distance: bool = True,
    both: bool = False,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.float64], npt.NDArray[np.int32] | None]:
    """The half list of the tiers' points: (i, j, dist, shift or None); with
    both, the full list (indptr, j, dist, shift or None)."""

def crc32c(data: Any, value: int = 0) -> int:
    """The CRC-32C (Castagnoli) of the bytes of `data`, any C-contiguous object
    with the buffer protocol, continuing from `value`, the CRC-32C of the
    bytes before them: crc32c(b, crc32c(a)) == crc32c(a + b). An int in
    [0, 2**32)."""

def exact_radius(
    points: npt.NDArray[np.float64],
    queries: npt.NDArray[np.float64],
    radius: float,
    exclude_ids: npt.NDArray[np.int64] | None = None,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """Every point within `radius` of each query under toroidal L1, by brute force."""
