"""The recall monitor of a tuned search: a few queries of every call answered exactly too.

A tuning measures recall on a sample of the data it was built on; the
queries a search meets later may differ (another region of the space, a
larger k, an index that has grown). The monitor checks what the search
actually delivers. Every query call of a tuned `PlovikSearch` sets aside a
budget of `RATE` times its modelled cost (its queries times the tuned cost
of one query); the budget pays for exact answers of some of the call's
queries, at `CHECK_PRICE` modelled exact queries each (and, once after each
change of the index, for laying the points out for the exact scan). A call
too small to pay for one leaves its budget to the next call. The first
`FIRST_CHECKS` checks after a change are paid for by the change, so that
the first call after a build is checked enough to show a gross miss. The queries
checked are evenly spaced through the call from a start drawn from the
seed and the number of queries seen before, never from the clock, so a run
checks the same queries every time.

A checked query counts the true neighbours its answer holds: a returned id
is found when its distance is at most the true k-th distance (ties are not
misses); a radius query's answer against every point within its radius.
The running estimate (`ObservedRecall`) pools them, with a 95% interval
taken over queries (a query's neighbours tend to succeed or fail
together). When the interval's upper end falls below the target, that of
every query checked since the change, of the latest `RECENT_QUERIES` or of
the call's own checks (queries drifting away show in the latter two before
the good ones checked earlier let the pooled one show it), the search has
missed it, and `check` names the cause once: "k" (the call
asked for more neighbours than the tuning measured), "growth" (the index
holds more points than it was tuned for) or "drift" (the queries are
unlike those the tuning measured).

The monitor also keeps the latest `KEPT_QUERIES` of an evenly spaced sample
of each call's queries: the query sample a re-tuning for drifting queries
measures.
"""

from __future__ import annotations

import dataclasses
import threading
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from plovik.tuning import Tuning, recall_interval, wilson

__all__ = [
    "KEPT_QUERIES",
    "RATE",
    "Monitor",
    "ObservedRecall",
    "advice",
    "cause_of",
    "counts_within",
    "knn_hits",
    "radius_hits",
]

#: Share of a call's modelled query cost spent on exact checks.
RATE = 0.05
#: What a check costs, in modelled exact queries: a single query reads every
#: point from memory for itself, where the large batches the cost model was
#: fitted to share each read among many queries, and the check's
#: bookkeeping comes on top (benchmarks/bench_monitor.py: 2 - 8 times).
CHECK_PRICE = 8.0
#: Checks paid for by a change of the index (a build, a re-tuning, a load):
#: the first call after it checks this many of its queries (fewer when it
#: holds fewer), whatever its size.
FIRST_CHECKS = 4
#: The latest checked queries the monitor also judges apart from the rest
#: (queries drifting away from the points show there first).
RECENT_QUERIES = 32
#: Modelled cost of laying the points out for the exact scan, in exact queries
#: (a copy of the points to double precision, a finiteness check and the
#: tiles: a few passes over n * d values, each dearer than a query's scan).
LAYOUT_QUERIES = 8.0
#: Queries a re-tuning for drifting queries measures, the latest kept.
KEPT_QUERIES = 300
#: At most this many checked queries a call (a large call's budget beyond
#: them is not carried over).
MAX_CHECKS = 256


@dataclass(frozen=True)
class ObservedRecall:
    """`PlovikSearch.observed_recall`: the recall the monitor measured on the search's own queries.

    Attributes:
        recall: pooled recall of the checked queries (true neighbours found
            over true neighbours; 1.0 before any check).
        interval: its 95% interval, taken over queries ((0, 1) before any check).
        queries: queries checked since `since`.
        since: the change the estimate counts from: "build", "retune",
            "adapt" (a re-tuning by the monitor), "promote" or "load".
        target: the recall target of the search.
        span: "" for an estimate over every query checked since `since`;
            "in this call" or "most recently" for the part of them that
            a warning was raised on.
    """

    recall: float
    interval: tuple[float, float]
    queries: int
    since: str
    target: float
    span: str = ""

    @property
    def missed(self) -> bool:
        """Whether the target is missed beyond doubt (the interval lies below it)."""
        return self.interval[1] < self.target


def knn_hits(
    dist: npt.NDArray[np.float64], truth_dist: npt.NDArray[np.float64]
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]:
    """(found, need) per checked k-nearest query: rows of returned and exact
    distances (on the unit torus, inf for padding).

    A query needs its exact row's neighbours; a returned distance at most the
    exact k-th (to within one unit in the last place of single precision: the
    batched and per-query kernels may round a sum differently) is a true
    neighbour found, whichever id it belongs to.
    """
    valid = np.isfinite(truth_dist)
    need = valid.sum(axis=1).astype(np.int64)
    last = np.where(need > 0, truth_dist[np.arange(len(need)), np.maximum(need - 1, 0)], -np.inf)
    cut = np.nextafter(last.astype(np.float32), np.float32(np.inf)).astype(np.float64)
    found = (dist <= cut[:, None]).sum(axis=1).astype(np.int64)
    return np.minimum(found, need), need


def counts_within(
    indptr: npt.NDArray[np.int64],
    dists: npt.NDArray[np.float64],
    rows: npt.NDArray[np.int64],
    radii: npt.NDArray[np.float64],
) -> npt.NDArray[np.int64]:
    """Entries of each row `rows[i]` of a radius answer in CSR form within
    radii[i], compared in single precision as the index compares."""
    cut = radii.astype(np.float32)
    return np.array(
        [np.count_nonzero(dists[indptr[q] : indptr[q + 1]] <= c) for q, c in zip(rows, cut, strict=True)], np.int64
    )


def radius_hits(
    found_counts: npt.NDArray[np.int64], true_counts: npt.NDArray[np.int64]
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]:
    """(found, need) per checked radius query: every returned point lies within the radius."""
    need = np.asarray(true_counts, np.int64)
    return np.minimum(np.asarray(found_counts, np.int64), need), need


class Monitor:
    """The running recall estimate of one search, and the budget of its checks.

    Safe to share between the threads of concurrent query calls: its state
    changes under a lock of its own, held only for bookkeeping.
    """

    def __init__(self, target: float, seed: int, since: str) -> None:
        self._target = target
        self._seed = seed
        self._lock = threading.Lock()
        self.reset(since)

    def reset(self, since: str, tuning: Tuning | None = None) -> None:
        """Start again after a change of the index (a build, a re-tuning, a load)
        with the settings of `tuning`."""
        with self._lock:
            self._since = since
            self._found: list[npt.NDArray[np.int64]] = []
            self._need: list[npt.NDArray[np.int64]] = []
            self._sums = [0, 0]  # neighbours found and needed, pooled
            # Modelled nanoseconds not yet spent. The first FIRST_CHECKS
            # checks are on the account of the change (a build or re-tuning
            # answers more sample queries exactly than that), so that the
            # first call of a few thousand queries is checked enough to see
            # a gross miss at once.
            self._budget = 0.0 if tuning is None else FIRST_CHECKS * CHECK_PRICE * tuning.exact_cost
            self._seen = 0  # queries seen since the change
            self._warned: set[str] = set()
            self._kept: npt.NDArray[np.float64] | None = None
            self._adapt: tuple[str, int | None] | None = None

    @property
    def since(self) -> str:
        return self._since

    def plan(self, m: int, tuning: Tuning, laid_out: bool) -> npt.NDArray[np.int64]:
        """Positions among a call's m queries to answer exactly as well (ascending).

        The call adds RATE * m * tuning.cost to the budget; each check costs
        one exact query, and the first after a change also the layout of the
        points (`laid_out` False).
        """
        price = CHECK_PRICE * tuning.exact_cost
        with self._lock:
            start = self._seen
            self._seen += m
            self._budget += RATE * m * tuning.cost
            layout = 0.0 if laid_out else LAYOUT_QUERIES * tuning.exact_cost
            if self._budget < layout + price or m == 0:
                return np.zeros(0, np.int64)
            c = min(m, MAX_CHECKS, int((self._budget - layout) // price))
            self._budget = 0.0 if c == MAX_CHECKS else self._budget - layout - c * price
        return spaced(m, c, _unit(self._seed, start))

    def keep_queries(self, Q: npt.NDArray[np.float64]) -> None:
        """Keep a sample of the call's queries (unit torus) among the latest KEPT_QUERIES."""
        m = Q.shape[0]
        if m == 0:
            return
        with self._lock:
            seen = self._seen
        sample = Q[spaced(m, min(m, KEPT_QUERIES), _unit(self._seed, seen + 1))]
        with self._lock:
            kept = sample if self._kept is None else np.concatenate([self._kept, sample])
            self._kept = kept[-KEPT_QUERIES:]

    @property
    def kept_queries(self) -> npt.NDArray[np.float64] | None:
        with self._lock:
            return self._kept

    def record(
        self, found: npt.NDArray[np.int64], need: npt.NDArray[np.int64], cause: str, k: int | None = None
    ) -> ObservedRecall | None:
        """Add checked queries (of a call asking `k` neighbours, None for a
        radius); the estimate when it newly shows the target missed for
        `cause` (once per cause until the next reset), else None."""
        with self._lock:
            if found.size:
                self._found.append(found)
                self._need.append(need)
                self._sums[0] += int(found.sum())
                self._sums[1] += int(need.sum())
            if cause in self._warned:
                return None
            # Three looks: every query checked since the change, the latest
            # RECENT_QUERIES of them, and this call's own (queries that
            # drift away are seen in the latter two before the good ones
            # checked earlier let the first show it). The interval over
            # queries is never narrower than that over the neighbours
            # pooled: where even the latter reaches the target, nothing is
            # missed (and the dearer one is not needed).
            # Each look names what its count of checked queries covers, so
            # that the warning's "N queries checked ..." is true of it.
            no_checks: list[npt.NDArray[np.int64]] = []
            looks = [
                (self._found, self._need, ""),
                (self._found[-1:], self._need[-1:], "in this call") if found.size else (no_checks, no_checks, ""),
            ]
            if len(self._found) > 1:
                start, held = len(self._found), 0
                while start > 0 and held < RECENT_QUERIES:  # the latest calls' checks, no more
                    start -= 1
                    held += self._found[start].size
                recent = slice(start, None)
                looks.insert(
                    1,
                    (
                        [np.concatenate(self._found[recent])[-RECENT_QUERIES:]],
                        [np.concatenate(self._need[recent])[-RECENT_QUERIES:]],
                        "most recently",
                    ),
                )
            for i, (parts, needs, span) in enumerate(looks):
                sums = (
                    (self._sums[0], self._sums[1])
                    if i == 0
                    else (int(sum(f.sum() for f in parts)), int(sum(n.sum() for n in needs)))
                )
                if not parts or wilson(*sums)[1] >= self._target:
                    continue
                estimate = self._estimate_of(parts, needs)
                if span:
                    estimate = dataclasses.replace(estimate, span=span)
                if estimate.missed:
                    self._warned.add(cause)
                    self._adapt = self._adapt or (cause, k)
                    return estimate
            return None

    def take_adaptation(self) -> tuple[str, int | None] | None:
        """(cause, k) of a miss the search should re-tune for, once."""
        with self._lock:
            cause, self._adapt = self._adapt, None
            return cause

    def estimate(self) -> ObservedRecall:
        with self._lock:
            return self._estimate()

    def _estimate(self) -> ObservedRecall:
        return self._estimate_of(self._found, self._need)

    def _estimate_of(self, parts: list[npt.NDArray[np.int64]], needs: list[npt.NDArray[np.int64]]) -> ObservedRecall:
        if not parts:
            return ObservedRecall(1.0, (0.0, 1.0), 0, self._since, self._target)
        found, need = np.concatenate(parts), np.concatenate(needs)
        recall, lo, hi = recall_interval(found, need)
        return ObservedRecall(recall, (lo, hi), int(found.size), self._since, self._target)


_MASK = (1 << 64) - 1


def _unit(seed: int, count: int) -> float:
    """A number in [0, 1) from the seed and a count of queries (a 64-bit
    mix of both, the same on every machine)."""
    z = (seed * 0x9E3779B97F4A7C15 + count + 0x632BE59BD9B4E019) & _MASK
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & _MASK
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & _MASK
    return (z ^ (z >> 31)) / 2.0**64


def spaced(m: int, c: int, offset: float) -> npt.NDArray[np.int64]:
    """c of the positions 0 .. m - 1, evenly spaced from a start `offset` in
    [0, 1) of the first gap (distinct and ascending)."""
    return np.floor((offset + np.arange(c)) * (m / max(c, 1))).astype(np.int64)


def cause_of(tuning: Tuning, k: int | None, n_live: int) -> str:
    """Why a tuned search misses its target on a call: "k", "growth" or "drift"."""
    if k is not None and k > tuning.k:
        return "k"
    if n_live > tuning.n:
        return "growth"
    return "drift"


def advice(estimate: ObservedRecall, cause: str, what: str, adapt: bool) -> str:
    """The text of the RecallWarning for a miss."""
    lo, hi = estimate.interval
    why = {
        "k": "the calls ask for more neighbours than the tuning measured",
        "growth": "the index holds more points than it was tuned for",
        "drift": "the queries are unlike those the tuning measured",
    }[cause]
    todo = {
        "k": "build with k= set to the k you query with",
        "growth": "call retune()",
        "drift": "pass a sample of your queries to build(queries=...) or call retune()",
    }[cause]
    then = "the search re-tunes now (adapt=True)" if adapt else todo
    return (
        f"{what}: the queries checked found {estimate.recall:.3f} of their true neighbours "
        f"(95% {lo:.3f}-{hi:.3f}, "
        f"{estimate.queries} queries checked {estimate.span or 'since ' + estimate.since}), "
        f"below the target {estimate.target}: "
        f"{why}; {then}"
    )
