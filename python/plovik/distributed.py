"""`ShardedSearch`: one search sharded over the workers of a Dask cluster.

Install with `pip install "plovik[distributed]"` (it brings
`dask[distributed]`); `import plovik` never imports Dask, only this module
does.

Every shard is a raw index (`RustLshIndex`, or the NumPy reference) built
from the same hash parameters, so a point falls into the same buckets
whichever shard holds it, and it stays resident on one worker: a call sends
the shards only its arguments (a block of queries, a shard's rows) and gets
back only their answers. The parameters are drawn once, on the client, the
way `PlovikSearch.build` draws them (tuned on the points, or on a sample of
a `dask.array`).

Ids are those of a single `PlovikSearch`: the rows given to `build` first,
then each promoted batch in order. Each shard holds a few contiguous ranges
of them (its piece of the build's static rows, of its candidates and of
every promoted batch), ascending, so its local ids map to global ids
monotonically and a shard's rows, ordered by (distance, local id), are
ordered by (distance, global id) too. The client merges the per-shard rows
by (distance, id).

Faults: with `recover=True` (the default) the client keeps a log of each
shard's rows (the float64 rows it was built from, each promoted batch and
the candidates' latest coordinates, the retired ids; for a dask.array, the
array itself, computed again on the cluster when needed). A query that
finds a shard lost (its worker left the cluster or restarted, before or
during the call) rebuilds the shard from the log on a worker still there
and is answered once more, transparently (three tries in all while workers
keep leaving). A change (`update`, `promote`, `retire`) rebuilds a shard
found lost before it starts; one during which a worker is lost raises
`ShardLostError` naming the shard and its worker and changes nothing: the
shards that had applied it are rebuilt from the log as it was before the
call, and so is the lost one. `build` builds a shard whose worker was lost
again on a worker still there. With `recover=False` the client keeps no
rows, and a lost shard makes every call raise `ShardLostError` until
`build` is called again. Either way, no answer is ever computed without
one of the shards.

A lost worker shows in three ways, all turned into a lost shard: the
scheduler no longer lists it (a task bound to it would wait for ever, so
the client cancels it), a task's arrays scattered to it were lost (the
scheduler cancels the task), or a restarted worker no longer holds the
shard (_ShardMissing).
"""

from __future__ import annotations

import math
import threading
import uuid
import weakref
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager, suppress
from dataclasses import dataclass, field
from typing import Any, NamedTuple, TypeVar

import numpy as np
import numpy.typing as npt

try:
    import dask.array as _da
    from distributed import Client, Future, fire_and_forget, get_client, wait
    from distributed.scheduler import KilledWorker
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError('plovik.distributed needs Dask: pip install "plovik[distributed]" (dask[distributed])') from exc

from plovik import _native
from plovik import tuning as _tuning
from plovik.arguments import (
    TIER_LIMIT,
    TIER_TOO_LARGE,
    KnnCall,
    RadiusCall,
    as_coords,
    at_least,
    build_arguments,
    finite_float64,
    ids_to_retire,
)
from plovik.caller import warn
from plovik.exact import ExactScan, ExactStore, stored_as_input
from plovik.grid import GridStore
from plovik.hashing import HashParameters
from plovik.monitor import Call, ObservedRecall, advice, cause_of, counts_within, knn_hits, radius_hits
from plovik.search import PlovikSearch, RecallEstimate, backend_class, raw_query, recall_estimate, recall_sample
from plovik.threads import checked_threads
from plovik.tuning import RecallWarning, Tuning
from plovik.validation import Box, box_weights, check_coordinate_dtype, to_unit

__all__ = ["ShardLostError", "ShardedSearch"]

#: Queries sent to every shard in one task (a call's queries are cut into
#: near-equal blocks of at most this many; never fewer than 64 when the call
#: has 64 or more, so each shard takes the path the single index would).
#: A shard answers a task as one block of the batched path, so a bucket
#: probed by many of its queries is read once: larger blocks share more.
DEFAULT_QUERY_BLOCK = 65536
#: Blocks of queries in flight at once: the client merges one while the
#: shards answer the next ones.
_WINDOW = 4
#: Entries (an id and a distance, 16 bytes) of all shards' k-nearest
#: answers in flight at once, at most: with many shards or a large k the
#: blocks get smaller, so that the client holds at most 256 MB unmerged.
_INFLIGHT_ENTRIES = 1 << 24
#: Seconds between checks that the workers of the shards a call waits for
#: are still there.
_POLL = 0.25
#: Times a query (or a build) tries again on the workers left after a
#: worker was lost under it.
_TRIES = 3
_T = TypeVar("_T")  # what a query answer returns
#: Rows of a dask.array the tuning reads on the client (default).
DEFAULT_TUNE_SAMPLE = 200_000
_NBYTES_PARTS = ("coordinates", "ids", "directories", "reuse")
#: The error of every call that finds no worker to run on.
_NO_WORKERS = "the cluster has no workers"


class ShardLostError(RuntimeError):
    """A shard of a `ShardedSearch` was lost with its worker (or its worker
    restarted) during a change, or with `recover=False`; or workers kept
    leaving while a query or `build` tried again. `shards` and `workers`
    name them. The call changed nothing; with `recover=True` the next call
    rebuilds the lost shards on the workers left."""

    def __init__(self, message: str, shards: list[int], workers: list[str]) -> None:
        super().__init__(message)
        self.shards = shards
        self.workers = workers


# ------------------------------------------------------------------ worker side
#
# A worker process keeps its shards in this registry, by token; tasks pinned
# to the worker look them up. A worker that restarted has an empty registry,
# and a call to a shard it no longer holds raises _ShardMissing.

_REGISTRY: dict[str, _Shard] = {}
_REGISTRY_LOCK = threading.Lock()


class _ShardMissing(RuntimeError):
    """The worker holds no shard of this token (it restarted since)."""


class _WorkerLeft(Exception):
    """Tasks of these shards lost their worker (it left the cluster or
    restarted, or lost the arrays sent for the task) before their results
    were in."""

    def __init__(self, shards: list[int]) -> None:
        super().__init__(shards)
        self.shards = shards


def _exact_kind(report: Tuning | None) -> str:
    """How the shards of a tuning answer: "" through their tables, "scan"
    by the exact scan, "grid" through a grid of their points."""
    if report is None or not report.exact:
        return ""
    return "grid" if report.grid else "scan"


@dataclass(frozen=True)
class _Measure:
    """What a shard's distances are measured in: the metric, and the box
    whose sides weigh the axes (None, or one side: every weight 1). Sent
    with every build of a shard."""

    metric: str = "l1"
    box: Box = None

    @property
    def plain(self) -> bool:
        """Toroidal L1 with every axis weighed alike (the raw index's own)."""
        return self.metric == "l1" and box_weights(self.box) is None

    @property
    def engine(self) -> tuple[str, npt.NDArray[np.float64] | None] | None:
        """The metric as the engine measures a hash index's candidates in it
        (name, axis weights), or None for the raw index's own distances."""
        return None if self.plain else (self.metric, box_weights(self.box))


class _Shard:
    """One shard on its worker: a raw index (with `exact`, "scan" or "grid",
    the points alone: the exact answers read no table) and the global ids
    of its rows. Its exact scan, its grid and its tables' candidates are
    measured in `measure`'s metric and box."""

    def __init__(
        self,
        d: int,
        params: HashParameters,
        backend: str,
        threads: int | None,
        exact: str,
        measure: _Measure = _Measure(),
    ) -> None:
        _, cls = backend_class(backend)
        self.measure = measure
        if exact == "grid":
            self.index: Any = self._measured(GridStore(d, params.block))
        else:
            self.index = ExactStore(d, params.block) if exact else cls(**params.as_kwargs())
        self.backend = backend
        self.threads = threads
        self.exact = exact
        self.d = d
        self.retired = np.zeros(0, bool)
        self._live: tuple[ExactScan, npt.NDArray[np.int64]] | None = None
        self._set_ranges([])

    # ids ----------------------------------------------------------------

    def _set_ranges(self, ranges: list[tuple[int, int]]) -> None:
        self.starts = np.array([a for a, _ in ranges], np.int64)
        lengths = np.array([b - a for a, b in ranges], np.int64)
        self.offsets = np.zeros(len(ranges), np.int64)
        np.cumsum(lengths[:-1], out=self.offsets[1:])
        self.lengths = lengths

    def to_local(self, gids: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
        """Global ids as local ids, -1 for an id held by another shard (or -1)."""
        if self.starts.size == 0:
            return np.full(gids.shape, -1, np.int64)
        r = np.searchsorted(self.starts, gids, "right") - 1
        rc = np.maximum(r, 0)
        inside = (r >= 0) & (gids < self.starts[rc] + self.lengths[rc])
        return np.where(inside, self.offsets[rc] + gids - self.starts[rc], -1).astype(np.int64)

    def to_global(self, lids: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
        """Local ids (-1 padding kept) as global ids."""
        if self.starts.size == 0:
            return np.full(lids.shape, -1, np.int64)
        r = np.maximum(np.searchsorted(self.offsets, lids, "right") - 1, 0)
        return np.where(lids >= 0, self.starts[r] + lids - self.offsets[r], -1)

    # changes ------------------------------------------------------------

    def _limit(self) -> Any:
        from plovik.threads import thread_limit

        call = getattr(_CALL_THREADS, "threads", None)  # a call's threads= before the shard's
        return thread_limit(self.threads if call is None else call)

    def build(
        self, parts: list[np.ndarray], n_static: int, ranges: list[tuple[int, int]], retired: npt.NDArray[np.int64]
    ) -> None:
        X = (
            np.concatenate([np.asarray(p, np.float64).reshape(-1, self.d) for p in parts])
            if parts
            else np.zeros((0, self.d))
        )
        with self._limit():
            self.index.build(np.ascontiguousarray(X), n_static)
        self._set_ranges(ranges)
        self._retire(self.to_local(retired))

    def update(self, coords: npt.NDArray[np.float64]) -> None:
        with self._limit():
            self.index.update(coords)
        self._live = None

    def promote(self, rows: npt.NDArray[np.float64], ranges: list[tuple[int, int]]) -> None:
        with self._limit():
            self.index.promote(rows)
        self._set_ranges(ranges)
        self._live = None

    def retire(self, gids: npt.NDArray[np.int64]) -> None:
        self._retire(self.to_local(gids))

    def _retire(self, lids: npt.NDArray[np.int64]) -> None:
        lids = lids[lids >= 0]
        if lids.size == 0:
            return
        self.index.retire(np.ascontiguousarray(lids, np.int64))
        top = int(np.max(lids)) + 1
        if self.retired.size < top:
            self.retired = np.concatenate([self.retired, np.zeros(top - self.retired.size, bool)])
        self.retired[lids] = True
        self._live = None

    def live_rows(self) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
        """The global ids of the live points and their coordinates as stored."""
        n = self.index.n_points
        live = np.concatenate([np.flatnonzero(~self.retired[:n]), np.arange(self.retired.size, n)]).astype(np.int64)
        return self.to_global(live), stored_as_input(self.index.points())[live]

    def build_tables(self, params: HashParameters) -> None:
        """Index the points held (the exact scan's) in a raw index of
        `params`: the same tiers, ids and retired ids."""
        _, cls = backend_class(self.backend)
        index = cls(**params.as_kwargs())
        with self._limit():
            index.build(stored_as_input(self.index.points()), self.index.n_static)
            retired = np.flatnonzero(self.retired)
            if retired.size:
                index.retire(retired.astype(np.int64))
        self.index, self.exact, self._live = index, "", None

    def answer_exactly(self, kind: str) -> None:
        """Answer by the exact scan ("scan") or through a grid ("grid") of
        the points held: the same points, tiers and retired ids."""
        store = GridStore if kind == "grid" else ExactStore
        index = store._from_state(self.index._state(), self.index.block)
        self.index = self._measured(index) if isinstance(index, GridStore) else index
        self.exact, self._live = kind, None

    def _measured(self, grid: GridStore) -> GridStore:
        """The grid measuring in the shard's metric and box."""
        if not self.measure.plain:
            grid.measure(self.measure.metric, self.measure.box)
        return grid

    # queries ------------------------------------------------------------

    def _live_points(self) -> tuple[ExactScan, npt.NDArray[np.int64]]:
        """The exact scan's live points, prepared once per state of the shard, and their ids."""
        if self._live is None:
            n = self.index.n_points
            rows = np.flatnonzero(~self.retired[:n])
            live = np.concatenate([rows, np.arange(self.retired.size, n)]).astype(np.int64)
            points = np.ascontiguousarray(stored_as_input(self.index.points())[live])
            self._live = (ExactScan.on_unit_torus(points, self.measure.metric, self.measure.box), live)
        return self._live

    def _positions(self, lex: npt.NDArray[np.int64] | None, live: npt.NDArray[np.int64]) -> Any:
        if lex is None:
            return None
        pos = np.searchsorted(live, lex)
        inside = pos < live.size
        hit = inside & (live[np.where(inside, pos, 0)] == lex) if live.size else np.zeros(lex.shape, bool)
        return np.where(hit, pos, -1).astype(np.int64)

    def _full_knn(self, Q: np.ndarray, k: int, lex: Any) -> tuple[np.ndarray, np.ndarray]:
        """The k nearest of every live point of the shard (the exact scan, or its grid)."""
        if isinstance(self.index, GridStore):
            idx, dist = self.index.knn(Q, k, lex)
            return self.to_global(idx), dist
        scan, live = self._live_points()
        idx, dist = scan.knn(Q, k, self._positions(lex, live))
        return self.to_global(np.where(idx >= 0, live[np.maximum(idx, 0)], -1)), dist

    def knn(self, Q: np.ndarray, k: int, ex: np.ndarray | None, probes: int | None) -> tuple[Any, ...]:
        """Rows with global ids; which queries the index relaxed (None: none);
        whether every live point of the shard was compared (the exact scan)."""
        lex = None if ex is None else self.to_local(ex)
        live = self.index.n_points - self.index.n_retired
        with self._limit():
            # A shard of at most k live points is scanned whole: the index
            # would relax a query only when it found fewer than its live
            # points less one (with exclude_ids), and so could miss one.
            if self.exact or live <= k:
                idx, dist = self._full_knn(Q, k, lex)
                return idx, dist, None, True
            before = self.index.stats()["relaxed"]
            idx, dist = raw_query(self.index, "query_knn", Q, k, lex, probes=probes, metric=self.measure.engine)
            relaxed = None
            if self.index.stats()["relaxed"] > before:
                relaxed = self._keep_probed(Q, k, lex, probes, idx, dist, min(k, live - (ex is not None)))
        return self.to_global(idx), dist, relaxed, False

    def _keep_probed(
        self,
        Q: np.ndarray,
        k: int,
        lex: np.ndarray | None,
        probes: int | None,
        idx: np.ndarray,
        dist: np.ndarray,
        need: int,
    ) -> np.ndarray:
        """Find the queries the index relaxed (their probed buckets held fewer
        than `need` live points other than the excluded one) and add those
        points back to their rows: the relaxation searches coarser buckets
        around the query's own bucket only, which need not hold the points of
        the buckets it probed, and the single index would have kept them
        when the other shards' buckets held enough. Returns the flags."""
        flags = np.zeros(Q.shape[0], bool)
        wide = float(self.d)  # beyond any toroidal L1 distance: every candidate
        for a in range(0, Q.shape[0], 256):
            b = min(a + 256, Q.shape[0])
            indptr, ids, dists = raw_query(
                self.index,
                "query_radius",
                Q[a:b],
                wide,
                None if lex is None else lex[a:b],
                probes=probes,
                metric=self.measure.engine,
            )
            short = np.flatnonzero(np.diff(indptr) < need)
            flags[a + short] = True
            for i in short.tolist():
                row = a + i
                got = idx[row] >= 0
                both_ids = np.concatenate([idx[row][got], ids[indptr[i] : indptr[i + 1]]])
                both_d = np.concatenate([dist[row][got], dists[indptr[i] : indptr[i + 1]]])
                order = np.lexsort((both_ids, both_d))
                both_ids, both_d = both_ids[order], both_d[order]
                _, first = np.unique(both_ids, return_index=True)  # a point once, at its nearer value
                first = np.sort(first)[:k]
                idx[row], dist[row] = -1, np.inf
                idx[row, : first.size], dist[row, : first.size] = both_ids[first], both_d[first]
        return flags

    def exact_knn(self, Q: np.ndarray, k: int, ex: np.ndarray | None) -> tuple[np.ndarray, np.ndarray]:
        with self._limit():
            return self._full_knn(Q, k, None if ex is None else self.to_local(ex))

    def exact_radius(self, Q: np.ndarray, r: float, ex: np.ndarray | None) -> tuple[Any, ...]:
        lex = None if ex is None else self.to_local(ex)
        with self._limit():
            if isinstance(self.index, GridStore):
                indptr, ids, dists = self.index.radius(Q, r, lex)
            else:
                scan, live = self._live_points()
                indptr, ids, dists = scan.radius(Q, r, self._positions(lex, live))
                ids = live[ids] if ids.size else ids
        return indptr, self.to_global(ids), dists

    def radius(self, Q: np.ndarray, r: float, ex: np.ndarray | None, probes: int | None) -> tuple[Any, ...]:
        if self.exact:
            return self.exact_radius(Q, r, ex)
        lex = None if ex is None else self.to_local(ex)
        with self._limit():
            indptr, ids, dists = raw_query(
                self.index, "query_radius", Q, r, lex, probes=probes, metric=self.measure.engine
            )
        return indptr, self.to_global(ids), dists

    # inspection ---------------------------------------------------------

    def rows(self, gids: npt.NDArray[np.int64]) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
        """Of the global ids, the positions of those this shard holds and
        their coordinates as stored (single precision, in float64)."""
        lids = self.to_local(gids)
        mine = np.flatnonzero(lids >= 0)
        return mine, stored_as_input(self.index.points())[lids[mine]]

    def info(self) -> dict[str, Any]:
        return {
            "nbytes": int(self.index.nbytes),
            "parts": dict(self.index.nbytes_by_part),
            "stats": dict(self.index.stats()),
        }

    def reset_stats(self) -> None:
        self.index.reset_stats()


def _shard_build(
    token: str,
    d: int,
    params: HashParameters,
    backend: str,
    threads: int | None,
    exact: str,
    measure: _Measure,
    parts: list[np.ndarray],
    n_static: int,
    ranges: list[tuple[int, int]],
    retired: npt.NDArray[np.int64],
) -> int:
    """Build a shard from its rows (static first) and keep it in this worker's registry."""
    shard = _Shard(d, params, backend, threads, exact, measure)
    shard.build(parts, n_static, ranges, retired)
    with _REGISTRY_LOCK:
        _REGISTRY[token] = shard
    return int(shard.index.nbytes)


def _shard_call(token: str, method: str, *args: Any) -> Any:
    shard = _REGISTRY.get(token)
    if shard is None:
        raise _ShardMissing(f"this worker holds no shard {token} (it restarted since the shard was built)")
    # Arrays unpickled from a message can lie misaligned in its buffer; the
    # raw index takes aligned arrays only.
    args = tuple(np.require(a, requirements=["C", "A"]) if isinstance(a, np.ndarray) else a for a in args)
    return getattr(shard, method)(*args)


# The threads= of the ShardedSearch call a worker thread is running a shard
# method for (unset: the shard's own setting).
_CALL_THREADS = threading.local()


def _shard_call_limited(token: str, threads: int, method: str, *args: Any) -> Any:
    """`_shard_call` with the shard's calls limited to `threads` workers."""
    _CALL_THREADS.threads = threads
    try:
        return _shard_call(token, method, *args)
    finally:
        _CALL_THREADS.threads = None


def _shard_drop(tokens: list[str]) -> None:
    with _REGISTRY_LOCK:
        for token in tokens:
            _REGISTRY.pop(token, None)


def _drop_on_workers(client: Client, shards: Sequence[_ShardLog | _Placed], alive: set[str] | None = None) -> None:
    """Ask each worker (of `alive`, when given) to drop its shards of
    `shards`, without waiting; a closed client has nothing left to drop."""
    try:
        by_worker: dict[str, list[str]] = {}
        for s in shards:
            if alive is None or s.worker in alive:
                by_worker.setdefault(s.worker, []).append(s.token)
        for w, tokens in by_worker.items():
            fire_and_forget(
                client.submit(_shard_drop, tokens, workers=[w], allow_other_workers=False, pure=False, retries=0)
            )
    except Exception:  # noqa: BLE001 - a closed client raises whatever it raises: the workers went with it
        pass


# ------------------------------------------------------------------ client side


@dataclass
class _ShardLog:
    """What the client knows of a shard: where it lives, which global ids it
    holds, and (with recover=True) the rows it was built from and every
    change since, enough to build it again."""

    worker: str
    token: str
    ranges: list[tuple[int, int]]
    n_static: int
    n_candidates: int
    static_parts: list[Any] | None  # arrays or dask arrays of the static rows, in id order
    candidates: Any  # the candidates' rows as last given
    retired: npt.NDArray[np.int64] = field(default_factory=lambda: np.zeros(0, np.int64))  # global ids
    stale: bool = False  # lost, or holding a change that must be undone

    @property
    def n_points(self) -> int:
        return self.n_static + self.n_candidates

    def candidate_range(self) -> tuple[int, int]:
        """The global ids of its candidates (one contiguous range, the last)."""
        if self.n_candidates == 0:
            return (0, 0)
        return self.ranges[-1][1] - self.n_candidates, self.ranges[-1][1]


class _Placed(NamedTuple):
    """A shard built on a worker but not (yet) part of the search."""

    worker: str
    token: str


def _lost_error(shards: list[int], workers: list[str], why: str, recover: bool) -> ShardLostError:
    names = ", ".join(f"shard {j} (worker {w})" for j, w in zip(shards, workers, strict=True))
    tail = (
        "; the next call rebuilds it from the client's log"
        if recover
        else "; recover=False keeps no log: build() again"
    )
    return ShardLostError(f"{names} lost: {why}{tail}", shards, workers)


def _least_loaded(alive: set[str], placed: list[str]) -> str:
    """The worker of `alive` holding the fewest of the shards `placed`."""
    if not alive:
        raise RuntimeError(_NO_WORKERS)
    load = dict.fromkeys(sorted(alive), 0)
    for w in placed:
        if w in load:
            load[w] += 1
    return min(load, key=lambda w: load[w])


def _pieces(n: int, s: int) -> list[tuple[int, int]]:
    """n rows cut into s contiguous near-equal pieces."""
    return [(n * j // s, n * (j + 1) // s) for j in range(s)]


def _blocks(m: int, block: int) -> list[tuple[int, int]]:
    """m queries cut into near-equal blocks of at most `block` (at least
    block // 2 each when m >= block)."""
    count = max(1, -(-m // block))
    return _pieces(m, count)


def _add_range(ranges: list[tuple[int, int]], a: int, b: int) -> list[tuple[int, int]]:
    if b <= a:
        return list(ranges)
    if ranges and ranges[-1][1] == a:
        return [*ranges[:-1], (ranges[-1][0], b)]
    return [*ranges, (a, b)]


def merge_knn(parts: list[tuple[np.ndarray, np.ndarray]], k: int) -> tuple[np.ndarray, np.ndarray]:
    """The k first of the shards' rows by (distance, id), padding last."""
    if len(parts) == 1:
        return parts[0]
    ids = np.concatenate([p[0] for p in parts], axis=1)
    dist = np.concatenate([p[1] for p in parts], axis=1)
    order = np.lexsort((np.where(ids < 0, np.iinfo(np.int64).max, ids), dist), axis=-1)[:, :k]
    return np.take_along_axis(ids, order, 1), np.take_along_axis(dist, order, 1)


def merge_radius(parts: list[tuple[np.ndarray, np.ndarray, np.ndarray]], m: int) -> tuple[Any, ...]:
    """The shards' radius rows as one CSR result, each row by (distance, id)."""
    rows = np.concatenate([np.repeat(np.arange(m), np.diff(p[0])) for p in parts])
    ids = np.concatenate([p[1] for p in parts])
    dists = np.concatenate([p[2] for p in parts])
    order = np.lexsort((ids, dists, rows))
    indptr = np.zeros(m + 1, np.int64)
    np.cumsum(np.bincount(rows, minlength=m), out=indptr[1:])
    return indptr, ids[order], dists[order]


class ShardedSearch:
    """Nearest neighbours on the torus (toroidal L1 or L2), sharded over a Dask cluster.

    The same search as `plovik.PlovikSearch`, with the same settings and
    the same ids, held in `shards` pieces on the workers of `client`.
    Queries fan out to every shard in blocks and the rows merge by
    (distance, id); `update`, `promote` and `retire` reach the shards that
    hold the affected rows. Sizes, `nbytes` and `stats` are summed over the
    shards.

    Rows equal those of a `PlovikSearch` with the same settings and seed
    (for a NumPy `build`, the parameters are drawn exactly as it draws them)
    for every k-nearest query that no shard relaxed, when every shard holds
    more than k live points; for d = 8 a distance of the batched path
    (calls of 64 queries or more) can still differ in its last bit. A
    shard relaxes a query whose probed buckets hold fewer than k of its
    points, more often than the single index does, since its buckets hold
    fewer; `stats()["relaxed"]` counts them. Such a row keeps the points of
    the probed buckets beside those the relaxation found, so every shard
    compares at least the points the single index compares, and when the
    single index relaxes a query every shard relaxes it too and it is
    answered exactly: a row is never farther, entry by entry, than the
    single index's (up to the last bit of a distance summed on the other
    path), so recall is never lower. A shard of at most k live points is
    scanned whole. Radius rows always equal the single index's.

    Args:
        d: Dimension of the points.
        client: A `distributed.Client` (default: the current one).
        shards: Shards for a NumPy `build` (default: one per worker); for a
            dask.array, the row chunks are the shards unless this is given.
        recover: Keep each shard's rows on the client so that a lost shard
            is rebuilt (default True; the client then holds a float64 copy
            of every point, as `build` and `promote` received them).
        query_block: Queries per task sent to each shard (at least 128; a
            k-nearest call with many shards or a large k sends smaller
            blocks, so that at most 2**24 answer entries are in flight).
        tune_sample: Rows of a dask.array read on the client for tuning.
        **settings: Those of `PlovikSearch` (recall, k, tables, components,
            cells, probes, block, seed, backend, tune, exact, threads,
            boxsize, metric); `threads` limits the worker threads of each
            shard's calls. The shards hold the points divided by `boxsize`
            (per axis by its side). With `metric="euclidean"` or sides that
            differ every shard answers by its exact scan in that metric
            and box (as `PlovikSearch(exact="always")`; settings that ask
            for tables or a grid raise a ValueError), and the rows merge by
            (distance, id) as always.
    """

    def __init__(
        self,
        d: int,
        client: Client | None = None,
        shards: int | None = None,
        *,
        recover: bool = True,
        query_block: int = DEFAULT_QUERY_BLOCK,
        tune_sample: int = DEFAULT_TUNE_SAMPLE,
        **settings: Any,
    ) -> None:
        self._local = PlovikSearch(d, **settings)  # checks the settings, draws the parameters
        self._measure = _Measure(self._local.metric, self._local.boxsize)
        self._d = self._local.d
        self._boxsize = self._local.boxsize
        self._backend = settings.get("backend", "auto")
        self._threads = settings.get("threads")
        self._call_threads: int | None = None  # the threads= of the query running now
        self._shard_count = None if shards is None else at_least(shards, "shards", 1)
        if not isinstance(recover, (bool, np.bool_)):
            raise TypeError("recover must be a bool")
        self._recover = bool(recover)
        self._query_block = at_least(query_block, "query_block", 128)
        self._tune_sample = at_least(tune_sample, "tune_sample", 1)
        self._client = client if client is not None else get_client()
        self._lock = threading.RLock()
        self._shards: list[_ShardLog] = []
        # The shards held now, for a search dropped without close(): its
        # shards then leave the workers when it is garbage collected.
        self._held: list[_ShardLog] = []
        weakref.finalize(self, _drop_on_workers, self._client, self._held)
        self._params: HashParameters | None = None
        self._tuning: Tuning | None = None
        self._exact = ""  # how the shards answer exactly ("scan", "grid"), "" through their tables
        # The queries, sample and radius of the last build (a re-tuning on growth reuses them).
        self._build_args: dict[str, Any] = {}
        self._n_static = 0
        self._n_candidates = 0
        self._n_retired = 0

    # ---------------------------------------------------------- properties

    @property
    def d(self) -> int:
        return self._d

    @property
    def client(self) -> Client:
        return self._client

    @property
    def seed(self) -> Any:
        return self._local.seed

    @property
    def boxsize(self) -> Box:
        """The period of the coordinates (None: the unit torus), or the
        sides of a box, one per axis."""
        return self._boxsize

    @property
    def metric(self) -> str:
        """The metric: "l1" or "euclidean"."""
        return self._measure.metric

    @property
    def params(self) -> HashParameters | None:
        """The hash parameters every shard shares; None before `build` and
        when the shards answer by the exact scan (they hold no table)."""
        return None if self._exact else self._params

    @property
    def tuning(self) -> Tuning | None:
        return self._tuning

    @property
    def shards(self) -> int:
        """Number of shards (0 before `build`)."""
        return len(self._shards)

    @property
    def workers(self) -> list[str]:
        """The worker address of each shard."""
        return [s.worker for s in self._shards]

    @property
    def n_points(self) -> int:
        return self._n_static + self._n_candidates

    @property
    def n_static(self) -> int:
        return self._n_static

    @property
    def n_candidates(self) -> int:
        return self._n_candidates

    @property
    def n_retired(self) -> int:
        return self._n_retired

    @property
    def n_live(self) -> int:
        return self.n_points - self._n_retired

    def __len__(self) -> int:
        return self.n_points

    @property
    def shard_sizes(self) -> list[int]:
        """Points held by each shard."""
        return [s.n_points for s in self._shards]

    @property
    def nbytes(self) -> int:
        """Bytes the shards' indexes hold, summed (0 before `build`)."""
        return sum(self.nbytes_by_part.values())

    @property
    def nbytes_by_part(self) -> dict[str, int]:
        out = dict.fromkeys(_NBYTES_PARTS, 0)
        for info in self._info():
            for key, value in info["parts"].items():
                out[key] = out.get(key, 0) + value
        return out

    def stats(self) -> dict[str, int]:
        """The k-nearest query counters of `PlovikSearch.stats`, summed over the shards."""
        out = {**dict.fromkeys(_native.QUERY_COUNTERS, 0), "block": self._local.settings()["block"]}
        for info in self._info():
            for key in _native.QUERY_COUNTERS:
                out[key] += info["stats"][key]
        return out

    def reset_stats(self) -> None:
        with self._lock:
            if self._shards:
                self._read(lambda: self._run([(j, "reset_stats", ()) for j in range(len(self._shards))]))

    def _info(self) -> list[dict[str, Any]]:
        with self._lock:
            if not self._shards:
                return []
            return self._read(lambda: self._run([(j, "info", ()) for j in range(len(self._shards))]))

    def __repr__(self) -> str:
        p = self._params
        shape = f"b={p.b}, K={p.k}, L={p.l}, probes={p.probes}" if p else "unbuilt"
        if self._exact:  # the shards hold no table: no hash setting is used
            shape = f"exact {self._exact}"
        return (
            f"ShardedSearch(d={self._d}, {shape}, shards={len(self._shards)}, n_static={self._n_static}, "
            f"n_candidates={self._n_candidates})"
        )

    # ---------------------------------------------------------- task plumbing

    def _alive(self) -> set[str]:
        return set(self._client.ncores())

    def _submit(self, worker: str, fn: Any, *args: Any) -> Future:
        return self._client.submit(fn, *args, workers=[worker], allow_other_workers=False, pure=False, retries=0)

    def _lost(self, shards: list[int], why: str) -> ShardLostError:
        # The other shards of a worker that left are lost with it.
        gone = {self._shards[j].worker for j in shards}
        alive = self._alive()
        shards = sorted(set(shards) | {i for i, s in enumerate(self._shards) if s.worker in gone - alive})
        for j in shards:
            self._shards[j].stale = True
        return _lost_error(shards, [self._shards[j].worker for j in shards], why, self._recover)

    def _gather(self, tasks: list[tuple[int, Future, str]]) -> list[Any]:
        """The results of tasks pinned to workers (shard, future, worker), in
        order. Raises _WorkerLeft naming the shards whose task lost its
        worker, or found its shard missing; any other error of a task is
        raised as it is."""
        futures = [f for _, f, _ in tasks]
        gone: set[int] = set()
        stop = threading.Event()

        def watch() -> None:
            # The client waits for ever for a task bound to a worker that
            # left, and for a result held by one: cancelling those tasks
            # ends the gather below.
            while not stop.wait(_POLL):
                try:
                    alive = self._alive()
                except Exception:  # noqa: BLE001 - whatever a closed client raises, the gather below fails too
                    return
                for j, f, w in tasks:
                    if w not in alive and j not in gone and f.status not in ("finished", "error"):
                        gone.add(j)
                        f.cancel()

        watcher = threading.Thread(target=watch, name="plovik-shard-watch", daemon=True)
        watcher.start()
        try:
            results: list[Any] = self._client.gather(futures)
            return results
        except Exception as exc:  # noqa: BLE001 - kept, and raised below unless a shard was lost
            error: BaseException = exc
        finally:
            stop.set()
            watcher.join()
        # A task whose arguments were lost with their worker is cancelled by
        # the scheduler; one whose worker died under it too often is killed.
        lost, first = set(gone), None
        for j, f, _ in tasks:
            if f.status == "cancelled":
                lost.add(j)
            elif f.status == "error":
                failure = f.exception()
                if isinstance(failure, (_ShardMissing, KilledWorker)):
                    lost.add(j)
                elif first is None:
                    first = failure
        if lost:
            raise _WorkerLeft(sorted(lost))
        raise first if first is not None else error

    def _scatter(self, arrays: list[np.ndarray], worker: str, shards: list[int]) -> list[Future]:
        """Arrays sent ahead to the worker whose task will take them."""
        try:
            sent: list[Future] = self._client.scatter(arrays, workers=[worker], hash=False)
            return sent
        except Exception:
            if worker in self._alive():
                raise
            raise _WorkerLeft(shards) from None

    def _wait(self, futures: list[tuple[int, Future]]) -> list[Any]:
        """The results of calls to the shards, in order. A worker that leaves
        while they run, or a shard that its worker no longer holds, raises
        ShardLostError naming the shards."""
        try:
            return self._gather([(j, f, self._shards[j].worker) for j, f in futures])
        except _WorkerLeft as exc:
            for _, f in futures:
                f.cancel()
            raise self._lost(exc.shards, "its worker left the cluster or restarted") from None

    def _call(self, j: int, method: str, args: tuple[Any, ...]) -> Future:
        """Submit a method call to shard j; arrays of more than a megabyte
        are scattered to its worker first rather than carried in the task."""
        worker = self._shards[j].worker
        big = [a for a in args if isinstance(a, np.ndarray) and a.nbytes > 1 << 20]
        if big:
            try:
                sent = iter(self._scatter(big, worker, [j]))
            except _WorkerLeft as exc:
                raise self._lost(exc.shards, "its worker left the cluster") from None
            args = tuple(next(sent) if any(a is b for b in big) else a for a in args)
        if self._call_threads is not None:
            return self._submit(worker, _shard_call_limited, self._shards[j].token, self._call_threads, method, *args)
        return self._submit(worker, _shard_call, self._shards[j].token, method, *args)

    def _run(self, calls: list[tuple[int, str, tuple[Any, ...]]]) -> list[Any]:
        """Call a method of each named shard and wait for all."""
        return self._wait([(j, self._call(j, m, a)) for j, m, a in calls])

    def _write(self, calls: list[tuple[int, str, tuple[Any, ...]]]) -> None:
        """A change on several shards: when any does not complete, the shards
        that applied it are marked to be rebuilt as they were before (the
        log is only advanced after every shard succeeded)."""
        futures: list[tuple[int, Future]] = []
        try:
            for j, m, a in calls:
                futures.append((j, self._call(j, m, a)))
            self._wait(futures)
        except BaseException:
            for j, f in futures:
                # Finished: applied, to be undone. Error: the raw index left
                # unchanged, unless the shard was lost. Anything else: unknown.
                if f.status != "error" or isinstance(f.exception(), (_ShardMissing, KilledWorker)):
                    self._shards[j].stale = True
            if any(s.stale for s in self._shards) and self._recover:
                # The error of the call is raised, not one of healing; the next call tries again.
                with suppress(BaseException):
                    self._heal()
            raise

    def _pick_worker(self, alive: set[str], placed: list[str]) -> str:
        """The worker holding the fewest shards (counting those just placed)."""
        return _least_loaded(alive, [s.worker for s in self._shards if not s.stale] + placed)

    def _ship(self, parts: list[Any], worker: str, shards: list[int]) -> list[Any]:
        """Rows as task arguments: arrays scattered to the worker that will
        use them, dask arrays computed on the cluster (futures either way)."""
        lazy = [p for p in parts if isinstance(p, _da.Array)]
        computed = iter(self._client.compute(lazy)) if lazy else iter(())
        arrays = [p for p in parts if not isinstance(p, (_da.Array, Future))]
        scattered = iter(self._scatter(arrays, worker, shards)) if arrays else iter(())
        return [
            next(computed) if isinstance(p, _da.Array) else p if isinstance(p, Future) else next(scattered)
            for p in parts
        ]

    def _sources(self, log: _ShardLog, worker: str, j: int) -> list[Any]:
        """The rows of a shard as the log has them, static first."""
        parts = list(log.static_parts or []) + ([log.candidates] if log.candidates is not None else [])
        return self._ship(parts, worker, [j])

    def _heal(self, check: bool = True) -> None:
        """Rebuild every shard that was lost, or that holds a change that
        must be undone, from the log. `check`: ask the scheduler which
        workers are there (else only the shards known to be lost)."""
        if not check and not any(s.stale for s in self._shards):
            return
        alive = self._alive()
        for s in self._shards:
            if s.worker not in alive:
                s.stale = True
        stale = [j for j, s in enumerate(self._shards) if s.stale]
        if not stale:
            return
        if not self._recover:
            raise self._lost(stale, "recover=False keeps no log to rebuild it from")
        tasks: list[tuple[int, Future, str]] = []
        tokens: dict[int, str] = {}
        try:
            for j in stale:
                log = self._shards[j]
                worker = self._pick_worker(alive, [w for _, _, w in tasks])
                tokens[j] = uuid.uuid4().hex
                tasks.append(
                    (
                        j,
                        self._submit(
                            worker,
                            _shard_build,
                            tokens[j],
                            self._d,
                            self._params,
                            self._backend,
                            self._threads,
                            self._exact,
                            self._measure,
                            self._sources(log, worker, j),
                            log.n_static,
                            log.ranges,
                            log.retired,
                        ),
                        worker,
                    )
                )
            self._gather(tasks)
        except BaseException as exc:
            self._drop([_Placed(w, tokens[j]) for j, _, w in tasks])
            if isinstance(exc, _WorkerLeft):
                raise self._lost(exc.shards, "its new worker left while it was rebuilt") from None
            raise
        for j, _, worker in tasks:
            log = self._shards[j]
            if log.worker in alive:
                fire_and_forget(self._submit(log.worker, _shard_drop, [log.token]))
            log.worker, log.token, log.stale = worker, tokens[j], False

    def close(self) -> None:
        """Drop the shards from their workers (the search is then unbuilt)."""
        with self._lock:
            self._drop(self._shards)
            self._shards = []
            self._held.clear()
            self._params, self._tuning, self._exact = None, None, ""
            self._n_static = self._n_candidates = self._n_retired = 0

    def _drop(self, shards: Sequence[_ShardLog | _Placed]) -> None:
        try:
            alive = self._alive()
        except Exception:  # noqa: BLE001 - a closed client raises whatever it raises: the workers went with it
            return
        _drop_on_workers(self._client, shards, alive)

    def __enter__(self) -> ShardedSearch:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _built(self, action: str) -> None:
        if not self._shards:
            raise ValueError(f"cannot {action} before build(): the index holds no points")

    # ----------------------------------------------------------------- build

    def build(
        self,
        points: Any,
        n_static: int | None = None,
        *,
        queries: npt.ArrayLike | None = None,
        sample: int | None = None,
        capacity: int | None = None,
        radius: float | None = None,
    ) -> None:
        """Index `points` from scratch on the cluster, replacing everything indexed so far.

        Args:
            points: An (n, d) NumPy array(-like), cut into `shards` pieces
                (static rows and candidates each spread evenly), or a
                `dask.array` whose row chunks become the shards, each built
                on the worker that holds it (its rows never pass through the
                client; only a sample of `tune_sample` rows is read there
                when the settings are tuned).
            n_static, queries, sample, capacity, radius: As for `PlovikSearch.build`.
        """
        with self._lock:
            if isinstance(points, _da.Array):
                self._build_dask(points, n_static, queries, sample, capacity, radius)
            else:
                self._build_numpy(points, n_static, queries, sample, capacity, radius)

    def _check_build(
        self, n: int, n_static: int | None, queries: Any, sample: Any, capacity: Any, radius: Any
    ) -> tuple[int, Any, Any, Any, Any]:
        return build_arguments(self._d, n, n_static, queries, sample, capacity, radius, self._boxsize)

    def _build_numpy(self, points: Any, n_static: Any, queries: Any, sample: Any, capacity: Any, radius: Any) -> None:
        X = as_coords(points, "points", self._d, self._boxsize)
        n = X.shape[0]
        n_static, Q, sample, capacity, radius = self._check_build(n, n_static, queries, sample, capacity, radius)
        X = to_unit(finite_float64(X, "points"), self._boxsize, "points")
        Q = None if Q is None else finite_float64(Q, "queries")
        alive = sorted(self._alive())
        if not alive:
            raise RuntimeError(_NO_WORKERS)
        count = self._shard_count or len(alive)
        params, report = self._local.choose_parameters(X, capacity, dict(queries=Q, sample=sample, radius=radius))
        keep = self._recover
        plans = []
        for j, ((s0, s1), (c0, c1)) in enumerate(
            zip(_pieces(n_static, count), _pieces(n - n_static, count), strict=True)
        ):
            ranges = _add_range(_add_range([], s0, s1), n_static + c0, n_static + c1)
            static = X[s0:s1].copy() if keep else None
            cand = X[n_static + c0 : n_static + c1].copy() if keep else None
            parts = [X[s0:s1], X[n_static + c0 : n_static + c1]]
            plans.append(
                (alive[j % len(alive)], ranges, s1 - s0, c1 - c0, [static] if keep else None, cand, parts, parts)
            )
        self._install(params, report, plans)
        self._build_args = dict(queries=Q, sample=sample, radius=radius)

    def _build_dask(self, x: Any, n_static: Any, queries: Any, sample: Any, capacity: Any, radius: Any) -> None:
        if x.ndim != 2:
            raise ValueError(f"points must be a 2-D array of shape (n, {self._d}), got shape {x.shape}")
        if x.shape[1] != self._d:
            raise ValueError(f"points has {x.shape[1]} columns but the index has d = {self._d}")
        if x.dtype.kind not in "iuf":
            raise TypeError(f"points must hold real numbers, got dtype {x.dtype}")
        check_coordinate_dtype(x.dtype, "points", self._boxsize)
        n = x.shape[0]
        if not isinstance(n, int) and not (isinstance(n, float) and math.isfinite(n)):
            raise ValueError("points must have known chunk sizes (call compute_chunk_sizes() first)")
        n = int(n)
        n_static, Q, sample, capacity, radius = self._check_build(n, n_static, queries, sample, capacity, radius)
        x = x.astype(np.float64).rechunk({1: -1})
        if self._boxsize is not None:
            x = x / np.asarray(self._boxsize)  # one side, or one per axis (the last)
        if self._shard_count is not None and x.numblocks[0] != self._shard_count:
            x = x.rechunk({0: tuple(b - a for a, b in _pieces(n, self._shard_count))})
        if x.dtype.kind == "f" and n and not bool(self._client.compute(_da.isfinite(x).all()).result()):
            raise ValueError(
                "points must be finite: the dask array holds a non-finite value"
                + ("" if self._boxsize is None else " (or one beyond the float range / boxsize)")
            )
        Q = None if Q is None else finite_float64(Q, "queries")
        if not self._alive():
            raise RuntimeError(_NO_WORKERS)
        # Tuned on a sample read to the client, sized for all n points.
        rng = np.random.default_rng([self._local.seed if isinstance(self._local.seed, int) else 0, 0x73686172])
        rows = np.sort(rng.choice(n, min(n, self._tune_sample), replace=False)) if n else np.zeros(0, np.int64)
        # (an array unpickled from a message can lie misaligned in its buffer: the tuning takes aligned ones)
        X_sample = (
            np.require(self._client.compute(x[rows]).result(), np.float64, ["C", "A"]) if n else np.zeros((0, self._d))
        )
        if sample is not None:
            sample = min(sample, X_sample.shape[0])
        params, report = self._local.choose_parameters(
            X_sample, max(n, capacity or 0), dict(queries=Q, sample=sample, radius=radius)
        )
        chunks = self._client.compute(list(x.to_delayed().ravel()))
        wait(chunks)
        where = self._client.who_has(chunks)
        alive = sorted(self._alive())
        plans = []
        start = 0
        for j, (size, fut) in enumerate(zip(x.chunks[0], chunks, strict=True)):
            holders = [w for w in where.get(fut.key, ()) if w in alive]
            worker = holders[0] if holders else alive[j % len(alive)]
            ns = min(max(n_static - start, 0), size)
            ranges = _add_range(_add_range([], start, start + ns), start + ns, start + size)
            static = [x[start : start + ns]] if self._recover else None
            cand = x[start + ns : start + size] if self._recover else None
            plans.append((worker, ranges, ns, size - ns, static, cand, [fut], [x[start : start + size]]))
            start += size
        self._install(params, report, plans)
        self._build_args = dict(queries=Q, sample=sample, radius=radius)

    def _install(self, params: HashParameters, report: Tuning | None, plans: list[tuple[Any, ...]]) -> None:
        """Build a new shard on each planned worker; replace the old shards
        only once every new one is built. A shard whose worker leaves is
        built again from its rows on a worker still there."""
        exact = _exact_kind(report)
        new: list[_ShardLog] = []
        todo = list(range(len(plans)))
        try:
            for attempt in range(_TRIES):
                alive = self._alive()
                tasks: list[tuple[int, Future, str]] = []
                lost = []
                for j in todo:
                    worker, ranges, ns, nc, static, cand, parts, sources = plans[j]
                    if attempt:  # its planned worker left: the rows again, from the client or the cluster
                        placed = [s.worker for i, s in enumerate(new) if i not in todo] + [t[2] for t in tasks]
                        worker, parts = _least_loaded(alive, placed), sources
                    log = _ShardLog(worker, uuid.uuid4().hex, ranges, ns, nc, static, cand)
                    if attempt:
                        new[j] = log
                    else:
                        new.append(log)
                    try:
                        # The static rows of a shard lie in its first ranges: split
                        # the parts the builder concatenates at n_static, which it does itself.
                        tasks.append(
                            (
                                j,
                                self._submit(
                                    worker,
                                    _shard_build,
                                    log.token,
                                    self._d,
                                    params,
                                    self._backend,
                                    self._threads,
                                    exact,
                                    self._measure,
                                    self._ship(parts, worker, [j]),
                                    ns,
                                    ranges,
                                    np.zeros(0, np.int64),
                                ),
                                worker,
                            )
                        )
                    except _WorkerLeft:
                        lost.append(j)
                while tasks:
                    try:
                        self._gather(tasks)
                        tasks = []
                    except _WorkerLeft as exc:
                        lost += exc.shards
                        tasks = [t for t in tasks if t[0] not in exc.shards]
                todo = sorted(lost)
                if not todo:
                    break
            else:
                raise _lost_error(
                    todo, [new[j].worker for j in todo], "their workers left while they were built", self._recover
                )
        except BaseException:
            self._drop(new)
            raise
        old, self._shards = self._shards, new
        self._held[:] = new
        self._drop(old)
        self._params, self._tuning, self._exact = params, report, exact
        self._local.recall_monitor.reset("build", report)
        self._n_static = sum(s.n_static for s in new)
        self._n_candidates = sum(s.n_candidates for s in new)
        self._n_retired = 0

    # --------------------------------------------------------------- queries

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
        """The k nearest indexed points of each query, as `PlovikSearch.query_knn`;
        `threads` limits the worker threads of each shard for this call."""
        with self._lock, self._calls_limited(threads):
            self._built("query")
            call = KnnCall.checked(queries, self._d, k, exclude_ids, probes, sparse, self.n_points, self._boxsize)
            idx, dist = call.rows(*self._read(lambda: self._knn(call.Q, call.k + call.wider, call.ex, call.probes)))
            if self._monitored():
                self._check_knn(call, dist)
        return call.answer(idx, dist, return_distance)

    def _knn(self, Q: np.ndarray, k: int, ex: np.ndarray | None, probes: int | None) -> tuple[Any, Any]:
        m = Q.shape[0]
        idx = np.empty((m, k), np.int64)
        dist = np.empty((m, k), np.float64)
        S = len(self._shards)
        blocks = _blocks(m, max(128, min(self._query_block, _INFLIGHT_ENTRIES // (_WINDOW * S * k))))
        inflight: dict[int, list[tuple[int, Future]]] = {}

        def send(b: int) -> None:
            a, e = blocks[b]
            Qb, exb = Q[a:e], None if ex is None else ex[a:e]
            inflight[b] = [(j, self._call(j, "knn", (Qb, k, exb, probes))) for j in range(S)]

        try:
            for b in range(min(_WINDOW, len(blocks))):
                send(b)
            for b, (a, e) in enumerate(blocks):
                answers = self._wait(inflight.pop(b))
                if b + _WINDOW < len(blocks):
                    send(b + _WINDOW)
                idx[a:e], dist[a:e] = merge_knn([(r[0], r[1]) for r in answers], k)
                hashed = [answers[j][2] for j in range(S) if not answers[j][3]]
                if hashed and all(flags is not None for flags in hashed):
                    rows = np.flatnonzero(np.all(hashed, axis=0))
                    if rows.size:
                        exr = None if ex is None else ex[a:e][rows]
                        exact = self._run([(j, "exact_knn", (Q[a:e][rows], k, exr)) for j in range(S)])
                        idx[a + rows], dist[a + rows] = merge_knn(exact, k)
        except BaseException:
            for futures in inflight.values():
                for _, f in futures:
                    f.cancel()
            raise
        return idx, dist

    def _radius(self, Q: np.ndarray, r: float, ex: np.ndarray | None, probes: int | None) -> list[Any]:
        out = []
        for a, e in _blocks(Q.shape[0], self._query_block):
            exb = None if ex is None else ex[a:e]
            out.append(
                merge_radius(
                    self._run([(j, "radius", (Q[a:e], r, exb, probes)) for j in range(len(self._shards))]), e - a
                )
            )
        return out

    def _read(self, answer: Callable[[], _T]) -> _T:
        """Answer a query; when a shard is found lost on the way (its worker
        left, or restarted), rebuild it from the log and answer once more
        (up to _TRIES times in all, as long as workers keep leaving)."""
        for attempt in range(_TRIES):
            try:
                self._heal(check=attempt > 0)
                return answer()
            except ShardLostError:
                if not self._recover or attempt + 1 == _TRIES:
                    raise
        raise AssertionError("unreachable")  # pragma: no cover

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
    ) -> Any:
        """Every point in a probed bucket within `radius`, as `PlovikSearch.query_radius`;
        `threads` as in `query_knn`."""
        with self._lock, self._calls_limited(threads):
            self._built("query")
            call = RadiusCall.checked(
                queries,
                self._d,
                radius,
                exclude_ids,
                probes,
                count_only,
                sparse,
                return_distance,
                self.n_points,
                self._boxsize,
                several=True,
            )
            parts_by_block = self._read(lambda: self._radius(call.Q, call.widest, call.ex, call.probes))
            m = call.Q.shape[0]
            indptr = np.zeros(m + 1, np.int64)
            lengths = np.concatenate([np.diff(p[0]) for p in parts_by_block]) if parts_by_block else np.zeros(0, int)
            np.cumsum(lengths, out=indptr[1:])
            found = (
                indptr,
                np.concatenate([p[1] for p in parts_by_block]) if parts_by_block else np.zeros(0, np.int64),
                np.concatenate([p[2] for p in parts_by_block]) if parts_by_block else np.zeros(0),
            )
            if self._monitored():
                self._check_radius(call, found)
        return call.answer(found)

    # ----------------------------------------------------------- the monitor

    @property
    def observed_recall(self) -> ObservedRecall | None:
        """The recall monitor's estimate, as `PlovikSearch.observed_recall`:
        each call's checked queries are answered by the exact scan of every
        shard. A sharded search warns when it sees the target missed but
        does not re-tune by itself (that rebuilds every shard): build again
        with a sample of the queries (`queries=`)."""
        return self._local.recall_monitor.estimate() if self._monitored() else None

    def _monitored(self) -> bool:
        return self._local.settings()["monitor"] and self._tuning is not None and not self._tuning.exact

    def _checks(
        self, m: int, reach: npt.NDArray[np.float64] | None = None, k: int | None = None
    ) -> Iterator[tuple[npt.NDArray[np.int64], Call]]:
        """The monitor's rounds of checks of a call of m queries (`Monitor.rounds`)."""
        assert self._tuning is not None
        return self._local.recall_monitor.rounds(m, self._tuning, True, reach, k)  # the shards keep their scans

    def _record(
        self, found: npt.NDArray[np.int64], need: npt.NDArray[np.int64], k: int | None, what: str, call: Call
    ) -> None:
        assert self._tuning is not None
        cause = cause_of(self._tuning, k, self.n_live)
        missed = self._local.recall_monitor.record(found, need, cause, k, call)
        if missed is not None:
            warn(RecallWarning(advice(missed, cause, what, False)))

    def _exact_knn(self, Q: np.ndarray, k: int, ex: np.ndarray | None) -> tuple[np.ndarray, np.ndarray]:
        """The exact rows over every shard."""
        S = len(self._shards)
        return self._read(lambda: merge_knn(self._run([(j, "exact_knn", (Q, k, ex)) for j in range(S)]), k))

    def _check_knn(self, call: KnnCall, dist: np.ndarray) -> None:
        for checks, rounds in self._checks(call.Q.shape[0], dist[:, call.k - 1], call.k):
            self._record(*knn_hits(dist[checks], call.truth(checks, self._exact_knn)), call.k, "query_knn", rounds)

    def _exact_radius(self, Q: np.ndarray, r: float, ex: np.ndarray | None) -> tuple[Any, ...]:
        """The exact radius rows over every shard."""
        S = len(self._shards)
        return self._read(
            lambda: merge_radius(self._run([(j, "exact_radius", (Q, r, ex)) for j in range(S)]), Q.shape[0])
        )

    def _check_radius(self, call: RadiusCall, found: tuple[Any, ...]) -> None:
        for checks, rounds in self._checks(call.Q.shape[0]):
            radii = call.radii(checks)
            ex = None if call.ex is None else call.ex[checks]
            truth = self._exact_radius(call.Q[checks], float(np.max(radii)), ex)
            counts = counts_within(found[0], found[2], checks, radii)
            need = counts_within(truth[0], truth[2], np.arange(checks.size), radii)
            self._record(*radius_hits(counts, need), None, "query_radius", rounds)

    # ---------------------------------------------------------------- epochs

    def update(self, coords: npt.ArrayLike) -> None:
        """Give every candidate new coordinates (row i is id n_static + i);
        each shard gets the rows of the candidates it holds."""
        with self._lock:
            self._built("update")
            C = as_coords(coords, "coords", self._d, self._boxsize)
            if C.shape[0] != self.n_candidates:
                raise ValueError(f"coords has {C.shape[0]} rows but the index holds {self.n_candidates} candidates")
            C = to_unit(finite_float64(C, "coords"), self._boxsize, "coords")
            self._heal()
            rows = []
            for s in self._shards:
                a, b = s.candidate_range()
                rows.append(C[a - self._n_static : b - self._n_static] if s.n_candidates else None)
            self._write([(j, "update", (rows[j],)) for j, s in enumerate(self._shards) if s.n_candidates])
            for s, part in zip(self._shards, rows, strict=True):
                if s.n_candidates and self._recover and part is not None:
                    s.candidates = part.copy()

    def promote(self, new_candidates: npt.ArrayLike | None = None) -> None:
        """Archive the candidates into the static tier and install the next
        batch (ids n_points ...), spread evenly over the shards. Shards
        answering by an exact scan that the sizes alone chose build their
        tables once the search outgrows those sizes and a hash setting wins
        (as `PlovikSearch.promote` does)."""
        with self._lock:
            self._built("promote")
            X = (
                np.zeros((0, self._d))
                if new_candidates is None
                else as_coords(new_candidates, "new_candidates", self._d, self._boxsize)
            )
            if self.n_points >= TIER_LIMIT or X.shape[0] >= TIER_LIMIT:
                raise ValueError(TIER_TOO_LARGE)
            X = to_unit(finite_float64(X, "new_candidates"), self._boxsize, "new_candidates")
            self._heal()
            n, S = self.n_points, len(self._shards)
            plan = []
            for j, (a, b) in enumerate(_pieces(X.shape[0], S)):
                plan.append((X[a:b], _add_range(self._shards[j].ranges, n + a, n + b)))
            self._write([(j, "promote", (rows, ranges)) for j, (rows, ranges) in enumerate(plan)])
            for s, (rows, ranges) in zip(self._shards, plan, strict=True):
                if self._recover:
                    if s.candidates is not None and len(s.candidates):
                        s.static_parts = (s.static_parts or []) + [s.candidates]
                    s.candidates = rows.copy()
                s.ranges = ranges
                s.n_static += s.n_candidates
                s.n_candidates = rows.shape[0]
            self._n_static += self._n_candidates
            self._n_candidates = X.shape[0]
            if self._outgrown_exact():
                self._grow_tables()

    def _outgrown_exact(self) -> bool:
        """Whether shards whose exact scan the sizes alone chose have grown
        to sizes where the cost model no longer decides alone."""
        t, settings = self._tuning, self._local.settings()
        if t is None or not t.exact or t.sample or not settings["tune"] or settings["exact"] is not True:
            return False
        return _tuning.COST.exact(max(self.n_live, t.n), self._d) > _tuning.COST.exact(_tuning.EXACT_BELOW, 1)

    def _grow_tables(self) -> None:
        """Tune again on the live points (at most `tune_sample` of them, read
        from the shards, sized for all) and, when a hash setting wins, build
        each shard's tables from the points it holds. A failure leaves the
        shards answering by the exact scan (the promote itself is kept)."""
        found = self._read(lambda: self._run([(j, "live_rows", ()) for j in range(len(self._shards))]))
        gids = np.concatenate([g for g, _ in found])
        X = np.concatenate([x for _, x in found])[np.argsort(gids, kind="stable")]
        n = X.shape[0]
        if n > self._tune_sample:  # drawn as the build of a dask.array draws its sample
            rng = np.random.default_rng([self._local.seed if isinstance(self._local.seed, int) else 0, 0x73686172])
            X = X[np.sort(rng.choice(n, self._tune_sample, replace=False))]
        args = dict(self._build_args)
        if args.get("sample") is not None:
            args["sample"] = min(args["sample"], X.shape[0])
        params, report = self._local.choose_parameters(np.ascontiguousarray(X), n, args)
        if report is not None and not report.exact:
            self._write([(j, "build_tables", (params,)) for j in range(len(self._shards))])
        elif _exact_kind(report) != self._exact:  # exact still, the other way
            self._write([(j, "answer_exactly", (_exact_kind(report),)) for j in range(len(self._shards))])
        self._params, self._tuning, self._exact = params, report, _exact_kind(report)
        self._local.recall_monitor.reset("promote", report)

    def retire(self, ids: npt.ArrayLike) -> None:
        """Retire points from every answer for good (`PlovikSearch.retire`);
        each shard retires the ids it holds."""
        with self._lock:
            self._built("retire")
            arr = np.unique(ids_to_retire(ids, self.n_points))
            if arr.size == 0:
                return
            self._heal()
            calls, fresh = [], []
            for j, s in enumerate(self._shards):
                mine = np.zeros(arr.size, bool)
                for a, b in s.ranges:
                    mine |= (arr >= a) & (arr < b)
                new = np.setdiff1d(arr[mine], s.retired, assume_unique=True)
                fresh.append(new)
                if new.size:
                    calls.append((j, "retire", (new,)))
            self._write(calls)
            for s, new in zip(self._shards, fresh, strict=True):
                if new.size:
                    s.retired = np.union1d(s.retired, new)
                    self._n_retired += new.size

    # ------------------------------------------------- per-call threads, recall

    @contextmanager
    def _calls_limited(self, threads: object) -> Any:
        """Shard calls submitted inside the block run with at most `threads`
        worker threads each (None: the search's `threads`). Held under the lock."""
        threads = checked_threads(threads)
        previous = self._call_threads
        if threads is not None:
            self._call_threads = threads
        try:
            yield
        finally:
            self._call_threads = previous

    def estimate_recall(
        self, k: int | None = None, sample: int | None = None, *, threads: int | None = None
    ) -> RecallEstimate:
        """Recall@k of the sharded index now, against the exact scan of every
        shard, on a self-join sample, as `PlovikSearch.estimate_recall`: the
        same seed draws the same sample ids. `threads` as in `query_knn`."""
        with self._lock, self._calls_limited(threads):
            self._built("estimate recall")
            k = self._local.settings()["k"] if k is None else at_least(k, "k", 1)
            n = self.n_points
            retired = np.concatenate([np.zeros(0, np.int64)] + [s.retired for s in self._shards])
            live = np.setdiff1d(np.arange(n, dtype=np.int64), retired)
            rows = recall_sample(self.seed, n, live, sample)
            S = len(self._shards)

            def answer() -> tuple[np.ndarray, np.ndarray]:
                X = np.empty((rows.size, self._d))
                for pos, coords in self._run([(j, "rows", (rows,)) for j in range(S)]):
                    X[pos] = coords
                truth, _ = merge_knn(self._run([(j, "exact_knn", (X, k, rows)) for j in range(S)]), k)
                found, _ = self._knn(X, k, rows, None)
                return truth, found

            truth, found = self._read(answer)
        return recall_estimate(found, truth, k)
