"""`PlovikSearch`: the validating, parameter-drawing front of the index.

The raw classes (`plovik.RustLshIndex` and its NumPy reference
`plovik.lsh.PythonLshIndex`) take pre-drawn hash parameters and check almost
nothing. `PlovikSearch` is what a user constructs instead: it takes the
dimension, a recall target and a few optional settings, tunes the settings
not given on the points `build` sees (`plovik.tuning`; or applies the fixed
rule of earlier versions, `plovik.hashing`), draws the hash parameters
reproducibly from a seed, converts array-likes to the dtypes the raw classes
need (coordinates divided by `boxsize` when one is given, see
`plovik.validation`) and rejects bad input with a clear `ValueError` or
`TypeError` before any work is done: every method first checks what it can
tell from types and shapes (widths, row counts, tier sizes), and only then
converts its arrays and scans them for non-finite values or ids out of
range (`plovik.arguments`). Pickles, copies and saves carry its
`SearchState` (`state()`, `from_state`; the folder format is
`plovik.persist`'s).
"""

from __future__ import annotations

import dataclasses
import functools
import os
import secrets
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import Any, Concatenate, Literal, ParamSpec, Protocol, TypeVar, cast

import numpy as np
import numpy.typing as npt

from plovik import _native, persist
from plovik import grid as _grid
from plovik import monitor as _monitor
from plovik import results as _results
from plovik import tuning as _tuning
from plovik.arguments import (
    MAX_POINTS,
    TIER_LIMIT,
    TIER_TOO_LARGE,
    KnnCall,
    RadiusCall,
    as_coords,
    as_fraction,
    as_radius,
    at_least,
    build_arguments,
    call_probes,
    finite_float64,
    ids_to_retire,
)
from plovik.caller import warn
from plovik.exact import ExactScan, ExactStore, recall_at_k, stored_as_input
from plovik.hashing import (
    DEFAULT_BLOCK,
    DEFAULT_PROBES,
    DEFAULT_TABLES,
    KEY_SPACE_TOO_LARGE,
    TARGET_OCCUPANCY,
    HashParameters,
    choose_cells_and_components,
    draw_hash_parameters,
    key_space_fits,
)
from plovik.locking import ReadersWriterLock
from plovik.monitor import ObservedRecall
from plovik.persist import SearchState
from plovik.threads import checked_threads, thread_limit
from plovik.tuning import RecallWarning, Tuning
from plovik.validation import Box, box_weights, check_box, check_metric, distances_from_unit, radius_to_unit, to_unit

__all__ = [
    "DEFAULT_BLOCK",
    "DEFAULT_PROBES",
    "DEFAULT_TABLES",
    "GROWTH_WARNING",
    "TARGET_OCCUPANCY",
    "HashParameters",
    "ObservedRecall",
    "PlovikSearch",
    "RecallEstimate",
    "RecallWarning",
    "SearchState",
    "Tuning",
    "choose_cells_and_components",
    "draw_hash_parameters",
]

Backend = Literal["native", "reference", "auto"]

#: Promotions past this many times the points an index was tuned for warn (once).
GROWTH_WARNING = 4.0

_TABLE_KEYS = ("static_keys", "static_ids", "cand_keys", "cand_sorted_keys", "cand_sorted_ids")


class _RawIndex(Protocol):
    """What PlovikSearch needs from a raw index class (both backends)."""

    n_points: int
    n_static: int
    n_candidates: int
    nbytes: int
    nbytes_by_part: dict[str, int]
    n_retired: int

    def points(self) -> npt.NDArray[np.float32]: ...
    def build(self, points: npt.NDArray[np.float64], n_static: int) -> None: ...
    def tables(self) -> dict[str, npt.NDArray[np.int64]]: ...
    def query_knn(
        self, queries: npt.NDArray[np.float64], k: int, exclude_ids: npt.NDArray[np.int64] | None = None
    ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]: ...
    def query_radius(
        self, queries: npt.NDArray[np.float64], radius: float, exclude_ids: npt.NDArray[np.int64] | None = None
    ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.float64]]: ...
    def update(self, coords: npt.NDArray[np.float64]) -> None: ...
    def promote(self, new_candidates: npt.NDArray[np.float64]) -> None: ...
    def retire(self, ids: npt.NDArray[np.int64]) -> None: ...
    def stats(self) -> dict[str, int]: ...
    def reset_stats(self) -> None: ...
    def _state(self) -> dict[str, Any]: ...


@dataclass(frozen=True)
class RecallEstimate:
    """`PlovikSearch.estimate_recall`: recall@k, its 95% Wilson interval, the sample queries."""

    recall: float
    interval: tuple[float, float]
    sample: int
    k: int


def recall_sample(seed: Any, n: int, live: npt.NDArray[np.int64], sample: int | None) -> npt.NDArray[np.int64]:
    """The ids `estimate_recall` queries: `sample` (default 300, at most all)
    of the live ids, drawn from the seed and the number of points."""
    sample = min(300, live.size) if sample is None else at_least(sample, "sample", 1)
    if sample > live.size:
        raise ValueError(f"sample ({sample}) is larger than the data ({live.size} points not retired)")
    base = seed if isinstance(seed, int) else 0
    rng = np.random.default_rng([base, 0x65737469, n])
    return live[np.sort(rng.choice(live.size, sample, replace=False))]


def recall_estimate(found: npt.NDArray[np.int64], truth: npt.NDArray[np.int64], k: int) -> RecallEstimate:
    """Recall of the rows `found` against the exact rows `truth`, with its interval."""
    total = int((truth >= 0).sum())
    recall = recall_at_k(found, truth)
    return RecallEstimate(recall, _tuning.wilson(round(recall * total), total), truth.shape[0], k)


def _positions(ids: npt.NDArray[np.int64] | None, live: npt.NDArray[np.int64]) -> npt.NDArray[np.int64] | None:
    """Excluded ids as rows of the live points (`live` ascending); -1 for an
    id that is -1 or retired."""
    if ids is None:
        return None
    pos = np.searchsorted(live, ids)
    inside = pos < live.size
    found = inside & (live[np.where(inside, pos, 0)] == ids) if live.size else np.zeros(ids.shape, bool)
    return np.where(found, pos, -1).astype(np.int64)


def _live_ids(rows: npt.NDArray[np.int64], live: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
    """Rows of the live points (-1 for padding) as ids."""
    if live.size == 0:
        return rows
    return np.where(rows >= 0, live[np.maximum(rows, 0)], -1)


# ---------------------------------------------------------------------- class


_P = ParamSpec("_P")
_R = TypeVar("_R")
_Method = Callable[Concatenate["PlovikSearch", _P], _R]


def _reads(method: _Method[_P, _R]) -> _Method[_P, _R]:
    """Run the method holding the search's lock shared (queries, inspection),
    with the worker threads of the call (`threads=`) or of the search."""

    @functools.wraps(method)
    def locked(self: PlovikSearch, /, *args: _P.args, **kwargs: _P.kwargs) -> _R:
        threads = cast("int | None", kwargs.get("threads"))  # every such method takes threads: int | None
        with self._lock.reading(), thread_limit(self._threads if threads is None else threads):
            return method(self, *args, **kwargs)

    return locked


def _writes(method: _Method[_P, _R]) -> _Method[_P, _R]:
    """Run the method holding the search's lock alone (anything that changes
    the index), with the worker threads of the search."""

    @functools.wraps(method)
    def locked(self: PlovikSearch, /, *args: _P.args, **kwargs: _P.kwargs) -> _R:
        with self._lock.writing(), thread_limit(self._threads):
            return method(self, *args, **kwargs)

    return locked


def _monitored_reads(method: _Method[_P, _R]) -> _Method[_P, _R]:
    """`_reads`, then, when the recall monitor saw the target missed during
    the call and the search adapts, a re-tuning under the write lock."""
    locked = _reads(method)

    @functools.wraps(method)
    def call(self: PlovikSearch, /, *args: _P.args, **kwargs: _P.kwargs) -> _R:
        out = locked(self, *args, **kwargs)
        if self._adapting and self._tune:
            due = self._monitor.take_adaptation()
            if due is not None:
                self._adapt(*due)
        return out

    return call


# The raw classes keep their own query signatures; a call with probes of its
# own goes through the native module's _query_knn / _query_radius, or the
# reference's methods of those names, and a call in another metric through
# _query_knn_metric / _query_radius_metric (the reference's methods with
# `metric=`).
def raw_query(
    index: Any,
    method: str,
    *args: Any,
    probes: int | None,
    metric: tuple[str, npt.NDArray[np.float64] | None] | None = None,
) -> Any:
    """`index.<method>(*args)`, with `probes` flip probes per table for this
    call when given, the candidates measured in `metric` (name, axis
    weights) when given."""
    if metric is not None:
        queries, arg, exclude_ids = args
        if isinstance(index, _native.RustLshIndex):
            native = getattr(_native, "_" + method + "_metric")
            return native(index, queries, arg, metric[0], metric[1], exclude_ids, probes)
        return getattr(index, "_" + method)(queries, arg, exclude_ids, probes, metric=metric)
    if probes is None:
        return getattr(index, method)(*args)
    if isinstance(index, _native.RustLshIndex):
        return getattr(_native, "_" + method)(index, *args, probes)
    return getattr(index, "_" + method)(*args, probes)


def _mb(nbytes: int) -> str:
    return f"{nbytes / 1e6:.1f} MB"


def backend_class(backend: str) -> tuple[str, type]:
    """The backend's name and raw index class: "auto" is the compiled one,
    which the package always holds; the NumPy reference is imported only
    when asked for."""
    if backend not in ("native", "reference", "auto"):
        raise ValueError(f'backend must be "native", "reference" or "auto", got {backend!r}')
    if backend == "reference":
        from plovik.lsh import PythonLshIndex

        return "reference", PythonLshIndex
    return "native", _native.RustLshIndex


class PlovikSearch:
    """Nearest neighbours on the torus [0, L)^d under toroidal L1 or L2 (L = 1 unless `boxsize=` says otherwise).

    The search keeps two tiers of points: a static archive that grows only by
    promotion, and a candidate tier that is refreshed in place each epoch
    (`update`) and then archived (`promote`) while the next batch is installed.
    Point ids are row numbers: the rows given to `build` first, then every
    promoted batch in order; they never change.

    A multi-probe locality-sensitive hash (`tables` hash tables of `components`
    coordinates each, every coordinate cut into `cells` cells) decides which
    points are compared with a query; every distance returned is computed from
    the stored coordinates. Results are approximate only in which neighbours
    are found, never in how far they are.

    One search may be shared by many threads: queries run together, and
    `build`, `update`, `promote`, `retire` and `retune` wait for them and
    run alone (a waiting change holds new queries back, so it is never
    starved).

    `retire(ids)` takes points out of every answer for good; their ids are
    never reused and still count in n_points (`n_live` does not).

    `save(path)` writes the search into a folder and `PlovikSearch.load`
    reads it back (or maps it, `mmap=True`), answering exactly as before;
    pickle, `copy.copy` and `copy.deepcopy` make independent copies.

    Settings not given are tuned by `build` on the data it receives, to reach
    `recall` for the k nearest neighbours at the least modelled query cost
    (see `plovik.tuning`); the choice is reported in `tuning`. When the exact
    answer is cheaper, the search answers exactly (`tuning.exact`).

    Args:
        d: Dimension of the points (at least 1).
        recall: Recall target in (0, 1] of the tuning (default 0.95).
        k: Neighbours per query the tuning measures recall for (default 10).
        tables: Hash tables L. More tables: higher recall, slower.
        components: Hashed coordinates per table K.
        cells: Cells per hashed coordinate b.
        probes: Extra neighbouring buckets probed per table (at most K of
            them are used). More probes: higher recall, slower.
        tune: False keeps the fixed rule of earlier versions for the settings
            not given: 32 tables, 7 probes, cells and components from the data
            size (`choose_cells_and_components`). Given all four settings,
            nothing is tuned either way.
        exact: Whether the tuning may answer exactly when that is cheaper
            than every setting that reaches the target (default True): by
            the exact scan, or in up to four coordinates through a grid of
            cells (`plovik.grid`) where the cost model prices it below the
            scan (`tuning.grid`). With False, a target no setting reaches
            gives the best setting found and a `RecallWarning`. "always"
            answers every query by the exact scan, whatever the data and the
            other settings (the plain exact baseline): nothing is tuned and
            no table is built; "grid" the same through a grid.
            A search that answers exactly holds the points and ids alone,
            no hash table (`raw` and `params` are then None); one whose
            exact answer the tuning chose from the sizes alone builds its
            tables when `promote` grows it to where the sizes no longer
            decide and the tuning then prefers a hash setting.
        block: Largest group of queries the batched k-nearest path answers
            together (default 65536; 1 answers every query on its own). A
            bucket probed by several queries of a group is read once for all
            of them, so large groups answer large batches faster; a call is
            still shared fairly among the threads, and the engine caps a
            group at 2**20 // k queries.
        seed: An int, a `numpy.random.Generator`, or None (fresh entropy,
            readable afterwards as `seed`). With an int or None every `build`
            draws the hash parameters from `numpy.random.default_rng(seed)`, so
            the same seed and data give the same tables; a Generator is drawn
            from at each `build`.
        backend: "native" (the compiled index), "reference" (the NumPy
            reference) or "auto" (native when it can be imported). Both give
            identical tables and query rows.
        threads: Worker threads of every call of this search, the calling
            thread included (default: the whole pool; see `plovik.threads`);
            at least 1, a count above the pool's cap of 1024 taken as 1024.
            Results never depend on it.
        boxsize: The period L > 0 of a cubic periodic box: coordinates lie
            in [0, L) (values outside wrap), integers (lattice sites)
            included. The search divides coordinates and radii by L and
            multiplies the distances it returns by L, so it answers as on
            the data divided by L (`plovik.validation`). Default None: the
            unit torus, where coordinates are fractions of the period and
            integer arrays are refused. A sequence of d sides gives each
            axis its own period (coordinates divided per axis, radii and
            distances scaled by the longest side, see `plovik.exact`);
            sides that are all equal answer as one number bit for bit.
        metric: "l1" (default, toroidal L1) or "euclidean" (toroidal L2:
            per coordinate the shorter way round, then the root of the sum
            of squares, in single precision). The hash tables are the same
            in every metric and box (keys of the coordinates on the unit
            torus); the candidates they give are measured in the metric, as
            the exact scan and the grid (exact="grid") measure them, and the
            tuning and the recall monitor count recall in it. The tuning
            weighs the hash settings against the exact scan there (it
            chooses the grid itself in L1 in a cubic box only).
        tuning: Another search's `tuning` to start from: the first `build`
            keeps its settings after a check (see `build`).
        monitor: Whether query calls of a tuned search answer a few of their
            queries exactly as well and keep a running estimate of the
            recall delivered, `observed_recall` (default True; about 5% of
            the calls' modelled cost, see `plovik.monitor`). A call after
            which the estimate shows the target missed warns
            (`RecallWarning`, once per cause).
        adapt: Whether such a miss makes the search re-tune after the call
            (default True): for the queries it kept from the calls when they
            drift from the tuning's, for the k asked when that is larger,
            for the points now held when it has grown.

    Raises:
        TypeError: a setting of the wrong type.
        ValueError: a setting out of range, or cells**components beyond 2**63 - 1.
    """

    def __init__(
        self,
        d: int,
        *,
        recall: float = 0.95,
        k: int = 10,
        tables: int | None = None,
        components: int | None = None,
        cells: int | None = None,
        probes: int | None = None,
        block: int = DEFAULT_BLOCK,
        seed: int | np.random.Generator | None = None,
        backend: Backend = "auto",
        tune: bool = True,
        exact: bool | str = True,
        threads: int | None = None,
        boxsize: float | tuple[float, ...] | None = None,
        tuning: Tuning | None = None,
        monitor: bool = True,
        adapt: bool = True,
        metric: str = "l1",
    ) -> None:
        self._d = at_least(d, "d", 1)
        self._target = as_fraction(recall, "recall")
        self._k = at_least(k, "k", 1)
        self._tables = None if tables is None else at_least(tables, "tables", 1)
        self._components = None if components is None else at_least(components, "components", 1)
        self._cells = None if cells is None else at_least(cells, "cells", 1)
        self._probes = None if probes is None else at_least(probes, "probes", 0)
        if not all(isinstance(v, (bool, np.bool_)) for v in (tune, monitor, adapt)) or not (
            isinstance(exact, (bool, np.bool_, str))
        ):
            raise TypeError('tune, exact, monitor and adapt must be bools (exact may also be "always" or "grid")')
        if isinstance(exact, str) and exact not in ("always", "grid"):
            raise ValueError(f'exact must be a bool or "always" or "grid", got {exact!r}')
        self._monitoring, self._adapting = bool(monitor), bool(adapt)
        self._tune = bool(tune) and None in (self._tables, self._components, self._cells, self._probes)
        self._allow_exact: bool | str = exact if isinstance(exact, str) else bool(exact)
        self._block = at_least(block, "block", 0)
        self._threads = checked_threads(threads)
        self._boxsize = check_box(boxsize, self._d)
        self._metric = check_metric(metric)
        self._raw_metric = self._metric_args()
        if (
            self._cells is not None
            and self._components is not None
            and not key_space_fits(self._cells, self._components)
        ):
            raise ValueError(
                KEY_SPACE_TOO_LARGE.format(self._cells, self._components) + "; use fewer components or cells"
            )
        if seed is None:
            self._seed: int | np.random.Generator = secrets.randbits(64)
        elif isinstance(seed, np.random.Generator):
            self._seed = seed
        else:
            self._seed = at_least(seed, "seed", 0)
        if not isinstance(backend, str):
            raise TypeError(f"backend must be a str, got {type(backend).__name__}")
        self._backend, self._cls = backend_class(backend)
        self._params: HashParameters | None = None
        self._index: _RawIndex | ExactStore | None = None  # ExactStore: answered by the exact scan
        self._tuning: Tuning | None = None
        # Settings the first build(..., tuning="keep") starts from.
        self._start_tuning: Tuning | None = None
        self._start_tuning = self._kept_tuning(tuning)
        self._build_args: dict[str, Any] = {}
        self._warned = False
        # Per id, whether it is retired (ids beyond its size are not); and the
        # live points with their ids, made for the exact scan when first
        # needed after a change.
        self._retired = np.zeros(0, bool)
        # The exact scan's points (and their ids when some are retired),
        # prepared at the first exact query after each change.
        self._live: tuple[ExactScan, npt.NDArray[np.int64] | None] | None = None
        # Queries share it, changes hold it alone: the raw index would refuse
        # a call that meets a conflicting one instead of waiting for it.
        self._lock = ReadersWriterLock()
        self._monitor = _monitor.Monitor(self._target, self._seed if isinstance(self._seed, int) else 0, "build")

    # ------------------------------------------------------------ properties

    @property
    def d(self) -> int:
        """Dimension of the points."""
        return self._d

    @property
    def backend(self) -> str:
        """The backend in use: "native" or "reference"."""
        return self._backend

    @property
    def boxsize(self) -> Box:
        """The period L of the coordinates (None: the unit torus, L = 1), or
        the sides of a box, one per axis."""
        return self._boxsize

    @property
    def metric(self) -> str:
        """The metric: "l1" or "euclidean"."""
        return self._metric

    def _metric_args(self) -> tuple[str, npt.NDArray[np.float64] | None] | None:
        """The metric the hash tables' candidates are measured in, as the
        engine takes it (name, axis weights), or None for toroidal L1 in a
        cubic box: the raw index's own distances."""
        weights = box_weights(self._boxsize)
        if self._metric == "l1" and weights is None:
            return None
        return self._metric, weights

    @property
    def seed(self) -> int | np.random.Generator:
        """The seed the hash parameters are drawn from (an int or a Generator)."""
        return self._seed

    @property
    def params(self) -> HashParameters | None:
        """The hash parameters of the current index; None before `build` and
        while the search answers by the exact scan (it holds no table)."""
        return self._params

    @property
    def raw(self) -> Any:
        """The underlying `RustLshIndex` or `PythonLshIndex`; None before
        `build` and while the search answers by the exact scan, which keeps
        the points without a raw index (`tuning.exact`).

        It converts nothing: it takes arrays of exactly the dtypes and shapes it
        expects and refuses others. It works on the unit torus: with a
        `boxsize`, it holds the coordinates divided by it.
        """
        return None if isinstance(self._index, ExactStore) else self._index

    @property
    @_reads
    def n_points(self) -> int:
        """Points in the index, both tiers (0 before `build`)."""
        return 0 if self._index is None else int(self._index.n_points)

    @property
    @_reads
    def n_static(self) -> int:
        """Points in the static tier (the archive)."""
        return 0 if self._index is None else self._index.n_static

    @property
    @_reads
    def n_candidates(self) -> int:
        """Points in the candidate tier; their ids are n_static ... n_points - 1."""
        return 0 if self._index is None else self._index.n_candidates

    @property
    @_reads
    def n_retired(self) -> int:
        """Points retired (`retire`); counted in n_points, n_static and n_candidates too."""
        return 0 if self._index is None else self._index.n_retired

    @property
    @_reads
    def n_live(self) -> int:
        """Points a query can return: n_points less the retired ones."""
        return 0 if self._index is None else self._index.n_points - self._index.n_retired

    def __len__(self) -> int:
        """Points in the index, both tiers, retired ones included (ids lie in [0, len))."""
        return self.n_points

    @property
    def tuning(self) -> Tuning | None:
        """The report of the last tuning (None before `build`, or when nothing was tuned)."""
        return self._tuning

    @property
    def nbytes(self) -> int:
        """Bytes the search holds (0 before `build`): the sum of `nbytes_by_part`."""
        return sum(self.nbytes_by_part.values())

    @property
    def nbytes_by_part(self) -> dict[str, int]:
        """Bytes the index holds, by part.

        "coordinates": every point in single precision (what distances are
        measured on) and the candidates' rows as given (an update rehashes
        only the rows that changed); "ids": the tables' ids, four bytes per
        point and table; "directories": where each bucket of each table lies;
        "reuse": large arrays that build, update or promote replaced, kept
        for the next such call (at most an eighth of the rest); a search
        that answers by the exact scan holds no table, so its "ids",
        "directories" and "reuse" are 0 and its "coordinates" the points in
        single precision and a byte a point for the retired flags; "exact scan":
        the points laid out for the exact scan (4 bytes a coordinate, 5 in
        plain L1 up to 255 coordinates, and their order where the scan
        keeps one: `ExactScan.nbytes`), which
        a search that answers exactly keeps, and a tuned one for the recall
        monitor's checks (not with `monitor=False`), from the build (one
        that keeps hash settings: from the first check) or the first exact
        answer until the next change. With the reference backend
        the parts are those of its NumPy arrays (its directories are
        per-entry keys).
        """
        if self._index is None:
            return dict.fromkeys(("coordinates", "ids", "directories", "reuse", "exact scan"), 0)
        live = self._live
        return {**self._index.nbytes_by_part, "exact scan": 0 if live is None else live[0].nbytes}

    def __repr__(self) -> str:
        """Dimension, hash settings (and whether they were tuned), tier sizes,
        backend and the bytes held by part."""
        p = self._params
        shape = f"b={p.b}, K={p.k}, L={p.l}, probes={p.probes}" if p else "unbuilt"
        t = self._tuning
        if t is not None and t.exact:  # exact answers read no hash setting: say what answers them
            shape = "exact grid" if isinstance(self._index, _grid.GridStore) else "exact scan"
        elif t is not None:
            shape += f", tuned recall@{t.k} {t.recall:.3f}"
        # the parts that hold something (an exact grid holds no scan, a search without retired ids no reuse)
        parts = ", ".join(f"{name} {_mb(value)}" for name, value in self.nbytes_by_part.items() if value)
        box = (
            ""
            if self._boxsize is None
            else f", boxsize={self._boxsize:g}"
            if isinstance(self._boxsize, float)
            else f", boxsize={self._boxsize}"
        )
        box += "" if self._metric == "l1" else f", metric={self._metric!r}"
        return (
            f"PlovikSearch(d={self._d}{box}, {shape}, n_static={self.n_static}, "
            f"n_candidates={self.n_candidates}, backend={self._backend!r}, "
            f"nbytes={_mb(self.nbytes)}{f' ({parts})' if parts else ''})"
        )

    # ---------------------------------------------------------- persistence

    def save(self, path: str | os.PathLike[str]) -> None:
        """Write the search into the folder `path` (made if missing), atomically.

        Everything it answers from is saved: its settings and seed, the
        tuning report, the hash parameters, both tiers, the coordinates and
        the retired ids. The folder holds a `manifest.json` and one `.npy`
        file per array (format in `plovik.persist`); a save that is
        interrupted leaves the folder's previous save loadable. Queries may
        run meanwhile; changes wait until the index's arrays are copied.

        Raises:
            FileExistsError: `path` is a folder that is neither empty nor
                one `save` wrote; nothing in it is touched. Only files of
                this folder's earlier saves are ever replaced or removed.
        """
        persist.save(self.state(), path)

    @classmethod
    def load(
        cls,
        path: str | os.PathLike[str],
        mmap: bool = False,
        verify: bool | None = None,
        *,
        backend: Backend | None = None,
    ) -> PlovikSearch:
        """A search saved by `save`, answering exactly as the saved one did.

        Args:
            path: The folder `save` wrote.
            mmap: True maps the coordinates and the static tier's ids
                read-only from the files instead of reading them, so that
                processes loading one folder share one copy and the load
                does not read the whole index; `update`, `promote` and
                `retire` copy what they change. The files must then stay as
                they are while the search lives: one truncated by another
                program ends the process with SIGBUS when the search next
                reads past its new end (every load maps the files while it
                runs, so this holds during a full load too).
            verify: Compare every array's checksum and recompute the keys
                of a sample of table entries from the stored points (default:
                True for a full load, False with mmap, which would otherwise
                read every byte).
            backend: The backend to load into (default: the saved search's).

        Raises:
            ValueError: the folder is not a saved index, or a file of it is
                missing, not a regular file, truncated, corrupt or of
                another version.
            OSError: the file system's own failures (FileNotFoundError for
                a path that does not exist, PermissionError).
        """
        if backend is not None:
            backend_class(backend)  # an unknown backend is refused before any file is read
        search: PlovikSearch = persist.load(path, cls.from_state, mmap=mmap, verify=verify, backend=backend)
        return search

    def __reduce__(self) -> tuple[Any, ...]:
        """Pickles by one copy of the index's state (the lock is not pickled)."""
        return restore, (self.state().content(),)

    def __copy__(self) -> PlovikSearch:
        """An independent search: a copy shares nothing with its original."""
        return self.from_state(self.state().copied())

    def __deepcopy__(self, memo: dict[int, Any]) -> PlovikSearch:
        return self.from_state(self.state().copied())

    def settings(self) -> dict[str, Any]:
        """The keyword arguments of `PlovikSearch(d, ...)` that make a search
        with these settings (seed and backend aside): those given, checked,
        with `k` as the search uses it now (an adapting search may have
        raised it) and `tune` False when nothing is left to tune."""
        return {
            "d": self._d,
            "recall": self._target,
            "k": self._k,
            "tables": self._tables,
            "components": self._components,
            "cells": self._cells,
            "probes": self._probes,
            "block": self._block,
            "tune": self._tune,
            "exact": self._allow_exact,
            "threads": self._threads,
            "boxsize": self._boxsize,
            "monitor": self._monitoring,
            "adapt": self._adapting,
            "metric": self._metric,
        }

    @_reads
    def state(self) -> SearchState:
        """What the search is made of, as copies taken under its lock (queries
        may run meanwhile): what pickles, copies and `save` carry."""
        index = self._index
        return SearchState(
            settings=self.settings(),
            seed=self._seed,
            backend=self._backend,
            tuning=self._tuning,
            build={key: self._build_args.get(key) for key in ("queries", "sample", "radius")},
            warned=self._warned,
            index_class=None if index is None else type(index),
            index=None if index is None else index._state(),
        )

    @classmethod
    def from_state(cls, content: SearchState, files: dict[str, Any] | None = None) -> PlovikSearch:
        """A search made of `content` (`state()`), its index made by the raw
        class's `_from_state` (`content.index_class`, or the backend's);
        `files` name files to map into the index (a load with mmap=True).
        ValueError when the parts do not fit together."""
        search = cls(**content.settings, seed=content.seed, backend=content.backend)  # type: ignore[arg-type]
        state, tuning = content.index, content.tuning
        if state is not None and state.get("storage") == "exact":
            if tuning is None or not tuning.exact:
                raise ValueError("an index without tables needs the report of an exact scan")
            if state["d"] != search._d:
                raise ValueError(f"the index (d = {state['d']}) does not match the search's settings (d = {search._d})")
            if search._allow_exact == "grid" and not tuning.grid:  # saved before the report said so
                tuning = dataclasses.replace(tuning, grid=True)
            kind = _grid.GridStore if tuning.grid else ExactStore
            store = kind._from_state(state, search._block, check_values=not files)
            if isinstance(store, _grid.GridStore):
                store.measure(search._metric, search._boxsize)
            search._index, search._retired = store, store.retired
        elif state is not None:
            raw: Any = content.index_class or search._cls  # the native class or the reference
            index = raw._from_state(state, files) if files else raw._from_state(state)
            if not isinstance(index, _native.RustLshIndex):
                search._backend, search._cls = "reference", type(index)
            L, K = state["l"], state["k"]
            if state["d"] not in (0, search._d) or state["block"] != search._block:
                raise ValueError(
                    f"the index (d = {state['d']}, block = {state['block']}) does not match the "
                    f"search's settings (d = {search._d}, block = {search._block})"
                )
            search._params = HashParameters(
                b=state["b"],
                k=K,
                l=L,
                probes=state["probes"],
                s=np.array(state["s"]).reshape(L, K),
                u=np.array(state["u"]).reshape(L, K),
                block=state["block"],
            )
            search._index = index
            words = np.asarray(state["retired"], "<u8").view(np.uint8)
            bits = np.unpackbits(words, bitorder="little").astype(bool)
            top = int(np.flatnonzero(bits)[-1]) + 1 if bits.any() else 0
            search._retired = bits[:top].copy()
            if tuning is not None and tuning.exact:
                # A save from before exact scans held no table: keep the points alone.
                search._index = ExactStore.holding(index, search._block, search._retired)
                search._params = None
        if (
            tuning is not None
            and state is not None
            and not tuning.exact
            and (
                (tuning.cells, tuning.components, tuning.tables, tuning.probes)
                != (state["b"], state["k"], state["l"], state["probes"])
            )
        ):
            raise ValueError("the tuning report's settings differ from the index's")
        search._tuning = tuning
        queries = content.build["queries"]
        if queries is not None and (queries.ndim != 2 or queries.shape[1] != search._d):
            raise ValueError(f"the build's queries must have {search._d} columns, got shape {queries.shape}")
        search._build_args = {"queries": queries, "sample": content.build["sample"], "radius": content.build["radius"]}
        search._warned = content.warned
        search._monitor.reset("load", tuning)
        return search

    @property
    def recall_monitor(self) -> _monitor.Monitor:
        """The recall monitor (`plovik.monitor.Monitor`) of the search's own
        queries; `ShardedSearch` keeps its monitor here too."""
        return self._monitor

    # ----------------------------------------------------------------- build

    def hash_parameters(self, n: int) -> HashParameters:
        """The hash parameters of the fixed rule for n points (what `build` uses untuned).

        Settings not given are 32 tables, 7 probes, and cells and components
        from `choose_cells_and_components`. Pure: calling it twice gives the
        same result when the seed is an int (a Generator seed is advanced by
        every call).
        """
        n = at_least(n, "n", 0)
        if n > MAX_POINTS:
            raise ValueError(f"n must be at most {MAX_POINTS}: an index holds two tiers and {TIER_TOO_LARGE}")
        b, k = choose_cells_and_components(n, self._d, cells=self._cells, components=self._components)
        if not key_space_fits(b, k):
            raise ValueError(KEY_SPACE_TOO_LARGE.format(b, k))
        rng = self._seed if isinstance(self._seed, np.random.Generator) else np.random.default_rng(self._seed)
        tables = DEFAULT_TABLES if self._tables is None else self._tables
        probes = DEFAULT_PROBES if self._probes is None else self._probes
        s, u = draw_hash_parameters(rng, self._d, tables, k)
        return HashParameters(b=b, k=k, l=tables, probes=probes, s=s, u=u, block=self._block)

    @_writes
    def build(
        self,
        points: npt.ArrayLike,
        n_static: int | None = None,
        *,
        queries: npt.ArrayLike | None = None,
        sample: int | None = None,
        capacity: int | None = None,
        radius: float | None = None,
        tuning: Tuning | str | None = None,
    ) -> None:
        """Index `points` from scratch, replacing everything indexed so far.

        Settings not given at construction are tuned on these points (see the
        class doc and `tuning`); otherwise the hash parameters follow the fixed
        rule. Either way they are drawn from the seed; the query counters of
        `stats` start again from zero.

        Args:
            points: (n, d) real, finite coordinates; values outside [0, 1)
                (or [0, boxsize)) wrap onto the torus. Any array-like (lists,
                float32, slices); integers only with `boxsize`.
            n_static: Rows that form the static tier (the first `n_static`);
                the rest are candidates. Default: all rows are static.
            queries: Optional (m, d) sample of the queries to expect; the
                tuning reaches the target on them as well as on the self-join.
            sample: Sample queries of each kind the tuning measures at most
                (default 300, at most the points there are).
            capacity: Points the index is expected to hold; the tuning sizes
                the buckets for that many and measures their recall on these
                points.
            radius: A radius the index will be queried with; the tuning then
                reaches the target for the radius results too.
            tuning: "keep" keeps the settings of the last tuning (or of the
                `tuning` given at construction) for points like the last
                ones (a new frame, the next epoch) after a check of 32 sample
                queries, tuning again only when that shows the target
                missed; a `Tuning` (another search's `tuning`) does the same
                with its settings. Default: tune (the same seed and data give
                the same tables).
        """
        keep = self._kept_tuning(tuning)
        X = as_coords(points, "points", self._d, self._boxsize)
        n = X.shape[0]
        n_static, Q, sample, capacity, radius = build_arguments(
            self._d, n, n_static, queries, sample, capacity, radius, self._boxsize
        )
        X = to_unit(finite_float64(X, "points"), self._boxsize, "points")
        Q = None if Q is None else finite_float64(Q, "queries")
        self._install(X, n_static, capacity, dict(queries=Q, sample=sample, radius=radius), keep=keep)

    def _kept_tuning(self, tuning: object) -> Tuning | None:
        """The report a build keeps (build's `tuning=`; by default, the first
        build keeps the constructor's), checked."""
        if tuning is None:
            return self._start_tuning if self._index is None else None
        if isinstance(tuning, str):
            if tuning != "keep":
                raise ValueError(f'tuning must be "keep", a Tuning or None, got {tuning!r}')
            return self._tuning if self._tuning is not None else self._start_tuning
        if not isinstance(tuning, Tuning):
            raise TypeError(f'tuning must be "keep", a Tuning or None, got {type(tuning).__name__}')
        if len(tuning.weights) != self._d:
            raise ValueError(f"the tuning is for {len(tuning.weights)} coordinates, the search has {self._d}")
        return tuning

    def choose_parameters(
        self,
        X: npt.NDArray[np.float64],
        capacity: int | None,
        args: dict[str, Any],
        keep: Tuning | None = None,
        scan: ExactScan | None = None,
        lay_out: Callable[[], ExactScan] | None = None,
    ) -> tuple[HashParameters, Tuning | None]:
        """The hash parameters `build` would index X with, and the tuning
        report (None when nothing was tuned); `ShardedSearch` draws them here
        too, so that its shards hash as one index would. X is on the unit
        torus; the queries and radius of `args` are in the caller's units.
        `keep`: a report whose settings are kept when a check passes
        (`plovik.tuning.keep`); `scan`: `ExactScan(X)`, when the caller keeps
        it; `lay_out`: makes it, called only when a tuning needs it (a kept
        report's check does not)."""
        report = None
        always = self._allow_exact in ("always", "grid")
        if always or (self._tune and X.shape[0] > 0):
            seed = (
                self._seed if not isinstance(self._seed, np.random.Generator) else int(self._seed.integers(0, 1 << 63))
            )
            Q, radius = args.get("queries"), args.get("radius")
            unit = {
                **args,
                "queries": None if Q is None else to_unit(Q, self._boxsize, "queries"),
                "radius": None if radius is None else radius_to_unit(radius, self._boxsize),
            }
            kept = (
                None
                if keep is None or always
                else _tuning.keep(X, keep, target=self._target, k=self._k, seed=seed, capacity=capacity, scan=scan)
            )
            if kept is not None:
                report, s, u = kept
            else:
                if scan is None and lay_out is not None:
                    scan = lay_out()
                report, s, u = _tuning.tune(
                    X,
                    target=self._target,
                    k=self._k,
                    seed=seed,
                    capacity=capacity,
                    cells=self._cells,
                    components=self._components,
                    tables=self._tables,
                    probes=self._probes,
                    allow_exact=self._allow_exact,
                    scan=scan,
                    with_grid=self._raw_metric is None,
                    **unit,
                )
                if radius is not None:  # the report keeps the radius asked for
                    report = dataclasses.replace(report, radius=radius)
            params = HashParameters(
                b=report.cells, k=report.components, l=report.tables, probes=report.probes, s=s, u=u, block=self._block
            )
        else:
            params = self.hash_parameters(max(X.shape[0], capacity or 0))
        return params, report

    def _install(
        self,
        X: npt.NDArray[np.float64],
        n_static: int,
        capacity: int | None,
        args: dict[str, Any],
        keep_retired: bool = False,
        keep: Tuning | None = None,
        since: str = "build",
    ) -> None:
        """Tune (or apply the fixed rule, or keep the settings of `keep`) and
        build the raw index; a retune (`keep_retired`) retires the same ids
        again."""
        # A retune keeps retired points out of the tables, so it tunes for
        # the live ones alone.
        retired = keep_retired and self._retired.any()
        ids = self._live_rows() if retired else None
        live = X if ids is None else X[ids]
        # The tuning's exact scan is the one the search answers exactly with
        # (and the recall monitor checks with) until the next change: the
        # points as the index stores them, laid out once. Kept hash settings
        # are checked on a few queries that scan the points as they are (in
        # toroidal L1 on the unit torus: other metrics and boxes check with
        # the search's own scan), and a kept grid answers without the scan:
        # laid out only when the search tunes again.
        lay_out = (self._tune or self._allow_exact == "always") and live.shape[0] > 0 and self._allow_exact != "grid"
        plain = self._metric == "l1" and box_weights(self._boxsize) is None
        later = (
            lay_out and plain and keep is not None and (not keep.exact or keep.grid) and self._allow_exact != "always"
        )
        made: list[ExactScan] = []

        def laid_out() -> ExactScan:
            made.append(self._scan_of(live))
            return made[-1]

        scan = self._scan_of(live) if lay_out and not later else None
        chosen, report = self.choose_parameters(live, capacity, args, keep, scan, laid_out if later else None)
        scan = made[-1] if made else scan
        params: HashParameters | None = chosen
        index: _RawIndex | ExactStore
        grid = report is not None and report.exact and report.grid
        if report is not None and report.exact:
            # The exact scan reads no table: the points and ids alone (and a
            # grid of them, made by the store, when it answers through one).
            index, params = (_grid.GridStore if grid else ExactStore)(self._d, self._block), None
            if isinstance(index, _grid.GridStore):
                index.measure(self._metric, self._boxsize)
        else:
            index = self._cls(**chosen.as_kwargs())
        index.build(X, n_static)
        self._params, self._index, self._tuning, self._warned = params, index, report, False
        self._build_args = args
        # Kept for the exact answers and the monitor's checks; a hash search
        # that is not monitored frees it (it would double the coordinates).
        keep_scan = scan is not None and report is not None and not grid and (report.exact or self._monitoring)
        self._live = (scan, ids) if keep_scan and scan is not None else None
        self._monitor.reset(since, report)
        if retired:  # retune: the same ids stay retired
            index.retire(np.flatnonzero(self._retired))
        else:
            self._retired = np.zeros(0, bool)

    def _outgrown_exact(self) -> bool:
        """Whether an exact scan chosen from the sizes alone has grown to
        sizes where the cost model no longer decides alone (a tuning that
        measured the settings and still chose the scan is kept)."""
        t, index = self._tuning, self._index
        if t is None or not t.exact or t.sample or not self._tune or self._allow_exact is not True or index is None:
            return False
        n = max(index.n_points - index.n_retired, t.n)
        return _tuning.COST.exact(n, self._d) > _tuning.COST.exact(_tuning.EXACT_BELOW, 1)

    def _points(self) -> npt.NDArray[np.float64]:
        """Every point as the index stores it (wrapped, single precision), in
        float64 values it would store unchanged again (`stored_as_input`):
        what a rebuild, the exact scan and queries from the points read."""
        return stored_as_input(self._built("read points").points())

    def _scan_of(self, X: npt.NDArray[np.float64]) -> ExactScan:
        """The exact scan of points on the unit torus, in the search's metric and box."""
        return ExactScan.on_unit_torus(X, self._metric, self._boxsize)

    def _exact(self) -> bool:
        return self._tuning is not None and self._tuning.exact

    def _live_points(self) -> tuple[ExactScan, npt.NDArray[np.int64] | None]:
        """The points the exact scan compares, prepared once per state of the
        index, and their ids (None: all points, each its own row)."""
        if self._live is None:
            if self._retired.any():
                ids = self._live_rows()
                self._live = (self._scan_of(self._points()[ids]), ids)
            else:
                self._live = (self._scan_of(self._points()), None)
        return self._live

    def _exact_knn(
        self, Q: npt.NDArray[np.float64], k: int, ex: npt.NDArray[np.int64] | None
    ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
        """exact_knn over the live points, with ids: the exact scan skips retired points."""
        if isinstance(self._index, _grid.GridStore):
            return self._index.knn(Q, k, ex)
        scan, live = self._live_points()
        if live is None:
            return scan.knn(Q, k, ex)
        idx, dist = scan.knn(Q, k, _positions(ex, live))
        return _live_ids(idx, live), dist

    def _exact_radius(
        self, Q: npt.NDArray[np.float64], r: float, ex: npt.NDArray[np.int64] | None
    ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.float64]]:
        """exact_radius over the live points, with ids."""
        if isinstance(self._index, _grid.GridStore):
            return self._index.radius(Q, r, ex)
        scan, live = self._live_points()
        if live is None:
            return scan.radius(Q, r, ex)
        indptr, ids, dists = scan.radius(Q, r, _positions(ex, live))
        return indptr, _live_ids(ids, live), dists

    def _live_rows(self) -> npt.NDArray[np.int64]:
        """The ids not retired, ascending."""
        n = self._built("read points").n_points
        live = np.flatnonzero(~self._retired[:n]).astype(np.int64)
        return np.concatenate([live, np.arange(self._retired.size, n, dtype=np.int64)])

    @_writes
    def retune(self) -> None:
        """Tune again for every point now indexed and rebuild; ids and tiers are unchanged.

        The target, k and the build's queries, sample and radius are those of
        the last `build`; the tuning reads the points not retired (retired
        ones stay retired); the counters of `stats` start again from zero. The
        points are those the index stores: wrapped onto [0, 1) and rounded
        to single precision, the values every distance is measured on.
        """
        index = self._built("retune")
        self._install(self._points(), index.n_static, None, self._build_args, keep_retired=True, since="retune")

    @property
    def observed_recall(self) -> ObservedRecall | None:
        """What the recall monitor measured on this search's own queries since
        the last build or re-tuning (see `monitor`); None when nothing is
        monitored: before a build, with `monitor=False`, when the search
        answers exactly, or when its settings were given rather than tuned."""
        return self._monitor.estimate() if self._monitored() else None

    def _monitored(self) -> bool:
        return self._monitoring and self._tuning is not None and not self._tuning.exact

    def _checks(
        self, m: int, reach: npt.NDArray[np.float64] | None = None, k: int | None = None
    ) -> Iterator[tuple[npt.NDArray[np.int64], _monitor.Call]]:
        """Rounds of positions among a call's m queries the monitor answers
        exactly too (`Monitor.rounds`; `reach`: the distances of the k-th
        neighbours returned): each to be recorded before the next."""
        assert self._tuning is not None
        return self._monitor.rounds(m, self._tuning, self._live is not None, reach, k)

    def _record(
        self, found: npt.NDArray[np.int64], need: npt.NDArray[np.int64], k: int | None, what: str, call: _monitor.Call
    ) -> None:
        """Add checked queries to the monitor; warn when they show the target newly missed."""
        assert self._tuning is not None
        index = self._built("query")  # the lock is held: not the locked n_live
        cause = _monitor.cause_of(self._tuning, k, index.n_points - index.n_retired)
        missed = self._monitor.record(found, need, cause, k, call)
        if missed is not None:
            warn(RecallWarning(_monitor.advice(missed, cause, what, self._adapting and self._tune)))

    @_writes
    def _adapt(self, cause: str, k: int | None) -> None:
        """Re-tune after a miss the monitor saw: for the kept queries, the larger k or the points held now."""
        if self._index is None or not self._monitored():
            return  # rebuilt meanwhile: a new tuning, a new estimate
        args = dict(self._build_args)
        if cause == "drift":
            Q = self._monitor.kept_queries
            if Q is not None:
                args["queries"] = Q if self._boxsize is None else Q * self._boxsize
        elif cause == "k" and k is not None:
            self._k = max(self._k, k)
        self._install(self._points(), self._index.n_static, None, args, keep_retired=True, since="adapt")

    @_reads
    def estimate_recall(
        self, k: int | None = None, sample: int | None = None, *, queries: npt.ArrayLike | None = None
    ) -> RecallEstimate:
        """Recall@k of the index now, against the exact scan, on a self-join
        sample or on the caller's queries.

        Without `queries`, `sample` points (default 300, at most all) are
        drawn from the seed and queried, each excluding itself; with
        `queries` ((m, d) coordinates), those are asked as they are (no
        sample is drawn). The returned estimate has a 95% Wilson interval
        over the true neighbours.
        """
        index = self._built("estimate recall")
        k = self._k if k is None else at_least(k, "k", 1)
        if queries is not None:
            if sample is not None:
                raise ValueError("sample and queries exclude each other")
            Q = to_unit(
                finite_float64(as_coords(queries, "queries", self._d, self._boxsize), "queries"),
                self._boxsize,
                "queries",
            )
            truth, _ = self._exact_knn(Q, k, None)
            found, _ = self._knn(index, Q, k, None, None)
            return recall_estimate(found, truth, k)
        # retired points are neither queried nor found
        rows = recall_sample(self._seed, index.n_points, self._live_rows(), sample)
        X = self._points()
        truth, _ = self._exact_knn(X[rows], k, rows)
        found, _ = self._knn(index, X[rows], k, rows, None)
        return recall_estimate(found, truth, k)

    def _built(self, action: str) -> _RawIndex | ExactStore:
        if self._index is None:
            raise ValueError(f"cannot {action} before build(): the index holds no points")
        return self._index

    # --------------------------------------------------------------- queries

    @_monitored_reads
    def query_knn(
        self,
        queries: npt.ArrayLike,
        k: int,
        exclude_ids: npt.ArrayLike | None = None,
        *,
        return_distance: bool = True,
        sparse: bool = False,
        probes: int | None = None,
        threads: int | None = None,
    ) -> Any:
        """The k nearest indexed points of each query under the search's metric (toroidal L1 by default).

        Args:
            queries: (m, d) real, finite coordinates, or a single point as a
                1-D array of d values.
            k: Neighbours per query, at least 1.
            exclude_ids: Optional (m,) integer ids, one excluded per query
                (for a self-join pass the queries' own ids); -1 excludes nothing.
                Or (m, e): e ids excluded per query, rows padded with -1; the
                search then finds k + e - 1 and drops the excluded, so the
                rows hold k others. Or a SciPy sparse (m, n_points) matrix
                or array whose row i stores a column per id query i
                excludes. For a single point: an integer, or a 1-D array of
                its ids.
            return_distance: False returns the ids alone.
            sparse: True (or "array") returns an (m, n_points)
                `scipy.sparse.csr_array` instead, row i holding the distance
                to each neighbour of query i in its column (1 for every
                neighbour when `return_distance` is False), in (distance, id)
                order; zero distances are kept as explicit entries, padding
                is left out. "matrix" returns a `csr_matrix`, deprecated (a
                FutureWarning): it goes in the next release. Needs SciPy.
            probes: Neighbouring buckets probed per table by this call
                instead of the search's `probes` (at most `components` are
                used; no effect when the search answers exactly): more find
                more of the true neighbours and cost more. Default: the
                tuned probes, and every neighbouring bucket for a k above
                the tuned k.
            threads: Worker threads of this call (default: the search's).

        Returns:
            (idx, dist), both (m, k): int64 ids and float64 distances, each row
            ascending by (distance, id). Distances are exact single-precision
            values (on the unit torus; with `boxsize` those times the
            boxsize). Rows are padded with -1 / inf when fewer than k points
            exist. For a single point both have shape (k,).
        """
        index = self._built("query")
        call = KnnCall.checked(queries, self._d, k, exclude_ids, probes, sparse, index.n_points, self._boxsize)
        idx, dist = call.rows(*self._knn(index, call.Q, call.k + call.wider, call.ex, call.probes))
        if self._monitored():
            self._check_knn(call, dist)
        return call.answer(idx, dist, return_distance)

    def _check_knn(self, call: KnnCall, dist: npt.NDArray[np.float64]) -> None:
        """Answer the monitor's share of a k-nearest call exactly and record it."""
        rounds = self._checks(call.Q.shape[0], dist[:, call.k - 1], call.k)
        if self._adapting and self._tune:
            self._monitor.keep_queries(call.Q)
        for checks, state in rounds:
            truth = call.truth(checks, self._exact_knn)
            self._record(*_monitor.knn_hits(dist[checks], truth), call.k, "query_knn", state)

    def _check_radius(
        self, call: RadiusCall, found: tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.float64]]
    ) -> None:
        """Answer the monitor's share of a radius call exactly and record it
        (each query's count within its own radius, found and true)."""
        rounds = self._checks(call.Q.shape[0])
        if self._adapting and self._tune:
            self._monitor.keep_queries(call.Q)
        for checks, state in rounds:
            radii = call.radii(checks)
            ex = None if call.ex is None else call.ex[checks]
            truth = self._exact_radius(call.Q[checks], float(np.max(radii)), ex)
            counts = _monitor.counts_within(found[0], found[2], checks, radii)
            need = _monitor.counts_within(truth[0], truth[2], np.arange(checks.size), radii)
            self._record(*_monitor.radius_hits(counts, need), None, "query_radius", state)

    def _knn(
        self,
        index: _RawIndex | ExactStore,
        Q: npt.NDArray[np.float64],
        k: int,
        ex: npt.NDArray[np.int64] | None,
        probes: int | None,
    ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
        """The k-nearest rows of checked queries on the unit torus."""
        if self._exact():
            return self._exact_knn(Q, k, ex)
        return raw_query(  # type: ignore[no-any-return]
            index,
            "query_knn",
            Q,
            k,
            ex,
            probes=_tuning.probes_for(self._tuning, k, probes),
            metric=self._raw_metric,
        )

    @_monitored_reads
    def query_radius(
        self,
        queries: npt.ArrayLike,
        radius: float | npt.ArrayLike,
        exclude_ids: npt.ArrayLike | None = None,
        *,
        return_distance: bool = True,
        count_only: bool = False,
        sparse: bool = False,
        probes: int | None = None,
        threads: int | None = None,
        shifts: bool = False,
        vectors: bool = False,
    ) -> Any:
        """Every point in a probed bucket within `radius` of each query.

        Args:
            queries: (m, d) real, finite coordinates, or a single point as a
                1-D array of d values.
            radius: Cutoff in the search's metric, finite and non-negative; inclusive,
                compared in single precision (on the unit torus: with
                `boxsize`, radius / boxsize is). One number for all queries,
                or an (m,) array of one radius per query.
            exclude_ids: Optional (m,) integer ids, one excluded per query
                (an integer for a single point), or (m, e) several per query
                padded with -1, as for `query_knn`.
            return_distance: False leaves the distances out.
            count_only: True returns only the number of points each query
                found, an (m,) int64 array (an int for a single point).
            sparse: True (or "array") returns an (m, n_points) `scipy.sparse.csr_array`
                as `query_knn` does. Needs SciPy.
            probes, threads: As for `query_knn`.
            shifts, vectors: True appends the (nnz, d) int32 image shifts s
                and / or the (nnz, d) float64 displacement vectors from each
                query to each id it found: x_id - x_query + s is the minimum
                image in periods and the vector that times the sides, x the
                coordinates as the search stores them (`plovik.grid` gives
                their precision). Not with `count_only` or `sparse`.

        Returns:
            (indptr, ids, dists) in compressed sparse row form: query i owns
            ids[indptr[i]:indptr[i + 1]], ascending by (distance, id); without
            distances (indptr, ids). For a single point (ids, dists), or ids.
            Then the shifts and vectors asked for.
        """
        index = self._built("query")
        if (shifts or vectors) and (count_only or sparse):
            raise ValueError("shifts and vectors are given with the CSR arrays, not with count_only or sparse")
        call = RadiusCall.checked(
            queries,
            self._d,
            radius,
            exclude_ids,
            probes,
            count_only,
            sparse,
            return_distance,
            index.n_points,
            self._boxsize,
            several=True,
        )
        if self._exact():
            found = self._exact_radius(call.Q, call.widest, call.ex)
        else:
            found = raw_query(
                index, "query_radius", call.Q, call.widest, call.ex, probes=call.probes, metric=self._raw_metric
            )
            if self._monitored():
                self._check_radius(call, found)
        if shifts or vectors:
            return _grid.with_displacements(
                call.answer(found), call.Q, index.points(), call.single, self._boxsize, bool(shifts), bool(vectors)
            )
        return call.answer(found)

    @_monitored_reads
    def pairs(
        self,
        radius: float,
        *,
        return_distance: bool = True,
        sparse: bool = False,
        probes: int | None = None,
        threads: int | None = None,
        shifts: bool = False,
        vectors: bool = False,
    ) -> Any:
        """Every pair of indexed points within `radius` of each other, each once.

        Each indexed point is queried as `query_radius` would be, excluding
        itself, and a pair found from either of its points is reported once
        as (i, j) with i < j (the hash may reach a pair from one end only).

        Args:
            radius: Cutoff in the search's metric, finite and non-negative; inclusive,
                compared in single precision.
            return_distance: False returns the pairs alone.
            sparse: True returns the pairs as the upper triangle of an
                (n_points, n_points) `scipy.sparse.csr_array` instead: row i
                holds each partner j > i in its column, in (distance, id)
                order, with the distance (1 when `return_distance` is False;
                zero distances kept as explicit entries); `G + G.T` is the
                symmetric graph. "array" and "matrix" as for `query_knn`.
            probes, threads: As for `query_knn`.
            shifts: True appends the (p, d) int32 periodic image shifts s of
                the pairs: x_j - x_i + s is the minimum-image displacement
                from i to j in periods, x the coordinates as the search stores
                them (wrapped onto [0, 1), rounded to single precision; a value
                rounded up to 1.0 read as 0.0); times `boxsize` in the box's
                units. Not with `sparse`.
            vectors: True appends the (p, d) float64 displacement vectors
                (x_j - x_i + s) times the sides, from those stored
                coordinates (`plovik.grid` gives their precision). Not with
                `sparse`.

        Returns:
            (pairs, dists): pairs an (p, 2) int64 array of ids, rows sorted by
            (i, j) with i < j; dists the (p,) float64 distances. With
            `shifts`, (pairs, dists, shifts) (or (pairs, shifts)); `vectors`
            follow last.
        """
        index = self._built("find pairs")
        r = float(radius_to_unit(as_radius(radius), self._boxsize))
        probes = call_probes(probes)
        kind = _results.sparse_kind(sparse)
        if kind and (shifts or vectors):
            raise ValueError("shifts and vectors are given with the pair arrays, not with sparse")
        if isinstance(index, _grid.GridStore):  # the half list, each pair of cells once
            return _grid.search_pairs(index, r, return_distance, kind, self._boxsize, bool(shifts), bool(vectors))
        X = self._points()
        live = self._live_rows()  # a retired point is in no pair
        parts_rows, parts_ids, parts_dists = [], [], []
        step = 1 << 16  # queries per search: bounds the memory of the raw rows
        for start in range(0, live.size, step):
            own = live[start : start + step]
            if self._exact():
                indptr, ids, dists = self._exact_radius(X[own], r, own)
            else:
                indptr, ids, dists = raw_query(
                    index, "query_radius", X[own], r, own, probes=probes, metric=self._raw_metric
                )
            parts_rows.append(np.repeat(own, np.diff(indptr)))
            parts_ids.append(ids)
            parts_dists.append(dists)
        found: tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.float64]] = (
            np.concatenate(parts_rows) if parts_rows else np.zeros(0, np.int64),
            np.concatenate(parts_ids) if parts_ids else np.zeros(0, np.int64),
            np.concatenate(parts_dists) if parts_dists else np.zeros(0, np.float64),
        )
        if self._monitored():
            per_row: npt.NDArray[np.int64] | None = None
            for checks, state in self._checks(live.size):
                own = live[checks]
                truth = np.diff(self._exact_radius(X[own], r, own)[0])
                if per_row is None:
                    per_row = np.bincount(np.searchsorted(live, found[0]), minlength=live.size)
                self._record(*_monitor.radius_hits(per_row[checks], truth), None, "pairs", state)
        pairs, dists = _results.unique_pairs(*found)
        dists = distances_from_unit(dists, self._boxsize)
        if kind:
            return _results.pairs_csr(pairs, dists, index.n_points, return_distance, kind)
        if shifts or vectors:
            out = (pairs, dists) if return_distance else (pairs,)
            out = (*out, _grid.image_shifts(index.points(), pairs)) if shifts else out
            return (*out, _grid.pair_vectors(index.points(), pairs, self._boxsize)) if vectors else out
        return (pairs, dists) if return_distance else pairs

    # ---------------------------------------------------------------- epochs

    @_writes
    def update(self, coords: npt.ArrayLike) -> None:
        """Give every candidate new coordinates (row i is id n_static + i).

        Only the hash entries whose bucket changed are re-placed.

        Args:
            coords: (n_candidates, d) real, finite coordinates.
        """
        index = self._built("update")
        C = as_coords(coords, "coords", self._d, self._boxsize)
        if C.shape[0] != index.n_candidates:
            raise ValueError(f"coords has {C.shape[0]} rows but the index holds {index.n_candidates} candidates")
        C = to_unit(finite_float64(C, "coords"), self._boxsize, "coords")
        index.update(C)
        self._live = None

    @_writes
    def promote(self, new_candidates: npt.ArrayLike | None = None) -> None:
        """Archive the candidates into the static tier and install the next batch.

        The new rows get the ids n_points ... n_points + m - 1.

        Args:
            new_candidates: (m, d) real, finite coordinates of the next batch
                (m may be 0); None installs an empty batch.
        """
        index = self._built("promote")
        X = (
            np.zeros((0, self._d))
            if new_candidates is None
            else as_coords(new_candidates, "new_candidates", self._d, self._boxsize)
        )
        if index.n_points >= TIER_LIMIT or X.shape[0] >= TIER_LIMIT:
            raise ValueError(TIER_TOO_LARGE)
        X = to_unit(finite_float64(X, "new_candidates"), self._boxsize, "new_candidates")
        index.promote(X)
        n = index.n_points
        self._live = None
        t = self._tuning
        if self._outgrown_exact():
            # The sizes alone no longer choose the exact scan: tune on the
            # points held now and build the tables when a hash setting wins.
            self._install(self._points(), index.n_static, None, self._build_args, keep_retired=True, since="promote")
            return
        # A forced exact scan has nothing to re-tune: it only scans longer.
        if (
            t is not None
            and not self._warned
            and self._allow_exact != "always"
            and n > GROWTH_WARNING * max(t.n, 1)
            and not isinstance(index, _grid.GridStore)
        ):  # a grid's cells follow the points held
            self._warned = True
            warn(
                f"the index holds {n} points, {n / max(t.n, 1):.1f} times the {t.n} it was tuned for: "
                "its buckets are that much fuller and queries slower (or, answered exactly, the scan longer); "
                "call retune()",
                RecallWarning,
            )

    @_writes
    def retire(self, ids: npt.ArrayLike) -> None:
        """Retire points: no query returns them again, from either tier.

        Their entries leave the hash tables at once (the exact scan skips
        them too), so queries run as on an index that never held them and
        their rows are those of the live points alone: k-nearest rows are
        padded with -1 / inf only when fewer than k live points are found.
        Ids are never reused: n_points, the tiers and `update` keep counting
        retired points (a retired candidate is still given coordinates, and
        stays retired, with no entry, when `update` moves it and when
        `promote` archives it). `retune` keeps them retired; `build` starts
        afresh with none. Retiring an id twice changes nothing.

        Args:
            ids: Integer ids in [0, n_points), an (m,) array-like or a
                single integer.
        """
        index = self._built("retire")
        arr = ids_to_retire(ids, index.n_points)
        if arr.size == 0:
            return
        index.retire(arr)
        top = int(np.max(arr)) + 1
        if self._retired.size < top:
            self._retired = np.concatenate([self._retired, np.zeros(top - self._retired.size, bool)])
        self._retired[arr] = True
        self._live = None

    # ------------------------------------------------------------ inspection

    @_reads
    def tables(self) -> dict[str, npt.NDArray[np.int64]]:
        """The raw hash tables: five (L, n) int64 arrays.

        "static_keys", "static_ids", "cand_keys" (unsorted, column i is id
        n_static + i), "cand_sorted_keys", "cand_sorted_ids". A retired point
        has no entry: the sorted arrays of a tier have a column per point of
        it not retired, "cand_keys" one per candidate. Both backends give
        byte-identical arrays for the same seed and data. A search that
        answers by the exact scan holds no table: its arrays have no rows
        (shape (0, n), n the columns a table would have).
        """
        if self._index is None:
            rows = self._tables or (0 if self._tune else DEFAULT_TABLES)
            return {key: np.zeros((rows, 0), np.int64) for key in _TABLE_KEYS}
        return self._index.tables()

    @_reads
    def stats(self) -> dict[str, int]:
        """Cumulative k-nearest query profile of the hash index (a search that
        answers by the exact scan leaves it at zero).

        "gather_ns", "refine_ns", "relax_ns" (worker nanoseconds summed over
        threads), "queries", "cands" (ids gathered, per-query path), "pairs"
        (distance evaluations), "relaxed" (queries that widened their search),
        and the "block" setting.
        """
        if self._index is None:
            return {**dict.fromkeys(_native.QUERY_COUNTERS, 0), "block": self._block}
        return self._index.stats()

    @_reads
    def reset_stats(self) -> None:
        """Zero the counters read by `stats`."""
        if self._index is not None:
            self._index.reset_stats()


def restore(content: dict[str, Any]) -> PlovikSearch:
    """Unpickles a `PlovikSearch` (the target of its `__reduce__`): `content`
    holds the fields of a `SearchState`."""
    return PlovikSearch.from_state(SearchState(**content))
