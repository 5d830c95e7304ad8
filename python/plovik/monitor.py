"""The recall monitor of a tuned search: a few queries of every call answered exactly too.

A tuning measures recall on a sample of the data it was built on; the
queries a search meets later may differ (another region of the space, a
larger k, an index that has grown). The monitor checks what the search
actually delivers. Every query call of a tuned `PlovikSearch` sets aside a
budget of `RATE` times its modelled cost (its queries times the tuned cost
of one query); the budget pays for exact answers of some of the call's
queries, a round of c of them at `CHECK_FIXED` + `CHECK_EACH` * c modelled
exact queries (and, once after each change of the index, for laying the
points out for the exact scan). A call too small to pay for one leaves its
budget to the next call. `FIRST_CHECKS` checks spread over the first
`FIRST_SPAN` queries after a change are paid for by the change. A call whose
checks point to a miss, or whose queries lie farther from the points than
those after the change did (`FAR_SHARE`), checks more of its queries,
round after round, ahead of its budget (`DOUBT_CHECKS`, `DEBT_CHECKS`).
The queries checked are evenly spaced through the call from a start drawn
from the seed and the number of queries seen before, never from the clock,
so a run checks the same queries every time.

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
import math
import threading
from collections.abc import Iterator
from dataclasses import dataclass
from typing import cast

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
#: What a round of c checks costs, in modelled exact queries: CHECK_FIXED +
#: CHECK_EACH * c. One exact query reads every point from memory for
#: itself, where the large batches the cost model was fitted to share each
#: read among many queries; the checks of one round share theirs, and the
#: round's bookkeeping comes on top (the scan alone, at 50,000 - 100,000
#: points, d = 16 and 24, on an idle machine: 3.8 - 4.2 for one check, 2.1 -
#: 3.0 each for 16; on the two shared cores under a load of 8, a single
#: check 10 - 35).
CHECK_FIXED = 8.0
CHECK_EACH = 6.0
#: Checks paid for by a change of the index (a build, a re-tuning, a load),
#: spread evenly over its first FIRST_SPAN queries: the first queries after
#: a change are those most likely to differ from what the tuning measured
#: (a build or re-tuning answers more sample queries exactly than that).
FIRST_CHECKS = 8
FIRST_SPAN = 2_000
#: A call whose checks point to a miss (odds of DOUBT_START for a recall
#: DOUBT_DROP below the target against the target) checks DOUBT_CHECKS more
#: of its queries, then as many again as it has checked, round after round,
#: while its recall checked is below the target, until the target is missed
#: beyond doubt (a warning) or the odds fall to DOUBT_ODDS (a sequential
#: test): a miss is told from the target in the call that makes it, and
#: calls whose checks reach the target check no more.
DOUBT_CHECKS = 4
DOUBT_DROP = 0.05
DOUBT_START = 3.0
DOUBT_ODDS = 0.1
#: A call of at least FAR_LEAST queries more than FAR_SHARE of which are
#: farther from the k-th neighbour returned than FAR_QUANTILE of the first
#: FIRST_SPAN queries after the change were (queries drifting away from the
#: points, seen at no cost in the answers) is in doubt from its first round,
#: which checks at least FAR_CHECKS of them (ahead of the budget): the
#: queries of a moderate miss mostly find all their neighbours, and a few
#: checks that all do tell nothing.
FAR_CHECKS = 16
FAR_LEAST = 50
FAR_QUANTILE = 0.9
FAR_SHARE = 0.3
#: The rounds of doubt stop at this many checks of the call.
DOUBT_MOST = 64
#: Checks ahead of the budget are repaid by the budget of later calls; at
#: most this many checks' worth (CHECK_EACH each) is owed at once; while
#: anything is, one check every FIRST_SPAN queries (DOUBT_CHECKS for a call
#: whose queries lie far) is made all the same (a search that has just been
#: in doubt is watched: a gross miss shows in a few checks).
DEBT_CHECKS = 96
#: Below this many checked queries an interval counts each query as one
#: trial (a few queries do not show how their neighbours' results cluster).
FEW_QUERIES = 10
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


@dataclass
class Call:
    """The checks of one query call of m queries, round after round: the
    positions to answer exactly next (`todo`), those answered, and what they
    found."""

    m: int
    start: int  # queries the monitor had seen before the call
    todo: npt.NDArray[np.int64]
    done: npt.NDArray[np.int64] = dataclasses.field(default_factory=lambda: np.zeros(0, np.int64))
    found: list[npt.NDArray[np.int64]] = dataclasses.field(default_factory=list)
    need: list[npt.NDArray[np.int64]] = dataclasses.field(default_factory=list)
    cause: str = ""
    rounds: int = 0
    far: bool = False  # its queries lie farther from the points than those after the change
    k: int | None = None
    reach: float = 0.0  # when far, the FAR_QUANTILE of its k-th neighbour distances


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
            # Modelled nanoseconds not yet spent (below zero: spent ahead).
            self._budget = 0.0
            self._seen = 0  # queries seen since the change
            self._warned: set[str] = set()
            # per k: the k-th neighbour distances of the first queries after
            # the change, then their FAR_QUANTILE (`_far`); a re-tuning for
            # drifting queries keeps the reference it drifted from
            before = getattr(self, "_reach", {}) if since == "adapt" else {}
            self._reach: dict[int, list[npt.NDArray[np.float64]] | float] = {
                k: v for k, v in before.items() if isinstance(v, float)
            }
            self._kept: npt.NDArray[np.float64] | None = None
            self._adapt: tuple[str, int | None] | None = None

    @property
    def since(self) -> str:
        return self._since

    def plan(
        self, m: int, tuning: Tuning, laid_out: bool, reach: npt.NDArray[np.float64] | None = None, k: int | None = None
    ) -> Call:
        """The first round of checks of a call of m queries (`Call.todo`, ascending).

        The call adds RATE * m * tuning.cost to the budget and checks what
        it affords; at least the first checks after a change (paid by it)
        that fall among its queries, and FAR_CHECKS (ahead of the budget,
        within DEBT_CHECKS) when its queries lie farther from the points than those after the
        change did (`reach`: the distance of each query's k-th neighbour
        returned; see FAR_SHARE). The first round after a change of the
        points also lays them out for the exact scan (`laid_out` False).
        """
        unit = tuning.exact_cost
        with self._lock:
            start = self._seen
            self._seen += m
            far = reach is not None and k is not None and self._far(start, reach, k)
            self._budget += RATE * m * tuning.cost
            first = _first_checks(start + m) - _first_checks(start)
            layout = 0.0 if laid_out else LAYOUT_QUERIES * unit
            overhead = layout + CHECK_FIXED * unit
            paid = max(0, int((self._budget - overhead) // (CHECK_EACH * unit)))
            # FAR_CHECKS when far: ahead of the budget while less than DEBT_CHECKS is owed
            if (
                far
                and paid < FAR_CHECKS
                and self._budget - overhead - FAR_CHECKS * CHECK_EACH * unit >= -self._owed_at_most(unit)
            ):
                paid = FAR_CHECKS
            if self._budget < 0:  # owing: one every FIRST_SPAN queries all the same, DOUBT_CHECKS when far
                paid = max(paid, DOUBT_CHECKS if far else (start + m) // FIRST_SPAN - start // FIRST_SPAN)
            c = min(m, MAX_CHECKS, first + paid)
            if c:
                # a round of the change's checks alone is on its account, but for the layout
                self._budget -= overhead + (c - first) * CHECK_EACH * unit if c > first else layout
                if c == MAX_CHECKS:
                    self._budget = min(self._budget, 0.0)  # a large call's budget beyond its checks is not carried over
        call = Call(m, start, spaced(m, c, _unit(self._seed, start)), far=far, k=k)
        if far and reach is not None:
            call.reach = self._reach_of(reach)
        return call

    def _far(self, start: int, reach: npt.NDArray[np.float64], k: int) -> bool:
        """Whether a call's queries, starting after `start` since the change,
        lie far from the points (see FAR_SHARE); while the change is recent
        (the first FIRST_SPAN queries), their distances are the reference."""
        if start < FIRST_SPAN and not isinstance(self._reach.get(k), float):
            held = self._reach.setdefault(k, [])
            assert isinstance(held, list)
            if sum(r.size for r in held) < FIRST_SPAN:
                held.append(np.asarray(reach[:FIRST_SPAN], np.float64))
            return False
        if k not in self._reach or reach.size < FAR_LEAST:
            return False
        held = self._reach[k]
        if isinstance(held, list):  # the reference, from the first queries after the change
            joined = np.concatenate(held)
            held = self._reach[k] = self._reach_of(joined) if joined.size >= FAR_LEAST else math.inf
        return bool(np.mean(reach > held) > FAR_SHARE)

    def _reach_of(self, reach: npt.NDArray[np.float64]) -> float:
        finite = reach[np.isfinite(reach)]
        return float(np.quantile(finite, FAR_QUANTILE)) if finite.size else math.inf

    @staticmethod
    def _owed_at_most(unit: float) -> float:
        return DEBT_CHECKS * CHECK_EACH * unit

    def rounds(
        self, m: int, tuning: Tuning, laid_out: bool, reach: npt.NDArray[np.float64] | None = None, k: int | None = None
    ) -> Iterator[tuple[npt.NDArray[np.int64], Call]]:
        """The checks of a call, round after round: (positions, call) to answer
        exactly and `record`; a further round while the call's checks point
        to a miss (`more`). The first round is planned at once (`plan`)."""
        call = self.plan(m, tuning, laid_out, reach, k)

        def each() -> Iterator[tuple[npt.NDArray[np.int64], Call]]:
            while call.todo.size:
                yield call.todo, call
                self.more(call, tuning)

        return each()

    def more(self, call: Call, tuning: Tuning) -> None:
        """Set `call.todo` to a further round of checks of the call (see
        DOUBT_CHECKS), or to none; paid from the budget, or ahead of it
        within DEBT_CHECKS."""
        unit = tuning.exact_cost
        with self._lock:
            call.todo = np.zeros(0, np.int64)
            left = min(call.m, DOUBT_MOST) - call.done.size
            if left <= 0 or not call.found or call.cause in self._warned:
                return
            found, need = np.concatenate(call.found), np.concatenate(call.need)
            odds = self._odds(found, need)
            if (
                odds <= (DOUBT_ODDS if call.rounds or call.far else DOUBT_START)
                or found.sum() >= self._target * need.sum()
            ):
                if call.far and odds <= DOUBT_ODDS and call.k in self._reach:
                    # as far as this is no sign of a miss: such queries are looked into no more
                    self._reach[call.k] = max(cast(float, self._reach[call.k]), call.reach)
                return  # no sign of a miss, or the sign has gone
            room = self._budget + self._owed_at_most(unit) - CHECK_FIXED * unit
            c = min(left, max(DOUBT_CHECKS, call.done.size), int(room // (CHECK_EACH * unit)))
            if c <= 0:
                return
            call.rounds += 1
            # as many evenly spaced positions as the call will have checked, less those it has
            fresh = np.setdiff1d(
                spaced(call.m, min(call.m, call.done.size + c), _unit(self._seed, call.start + call.rounds * 0x9E37)),
                call.done,
            )
            fresh = fresh[spaced(fresh.size, min(c, fresh.size), 0.5)]
            self._budget -= (CHECK_FIXED + CHECK_EACH * fresh.size) * unit
            call.todo = fresh

    def _odds(self, found: npt.NDArray[np.int64], need: npt.NDArray[np.int64]) -> float:
        """Likelihood ratio of a recall DOUBT_DROP below the target against the
        target, of checked queries that found `found` of the `need` true
        neighbours each: that of the neighbours pooled, tempered by how much
        more the queries' counts spread than independent neighbours would
        (the neighbours of a query succeed or fail together)."""
        total, hits = int(need.sum()), int(found.sum())
        if total == 0:
            return 0.0
        r0, r1 = self._target, max(self._target - DOUBT_DROP, 1e-3)
        if r0 >= 1.0:
            return math.inf if hits < total else 0.0
        log = hits * math.log(r1 / r0) + (total - hits) * math.log((1 - r1) / (1 - r0))
        p = hits / total
        spread = float(((found - p * need) ** 2).sum())
        expected = float((need * p * (1 - p)).sum())
        if spread > expected > 0:
            log *= expected / spread
        return math.exp(min(log, 700.0))

    def _recent_sums(self) -> tuple[int, int]:
        """Neighbours found and needed over the latest RECENT_QUERIES checked."""
        start, held = len(self._found), 0
        while start > 0 and held < RECENT_QUERIES:
            start -= 1
            held += self._found[start].size
        if start == len(self._found):
            return 0, 0
        found = np.concatenate(self._found[start:])[-RECENT_QUERIES:]
        need = np.concatenate(self._need[start:])[-RECENT_QUERIES:]
        return int(found.sum()), int(need.sum())

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
        self,
        found: npt.NDArray[np.int64],
        need: npt.NDArray[np.int64],
        cause: str,
        k: int | None = None,
        call: Call | None = None,
    ) -> ObservedRecall | None:
        """Add checked queries (of a call asking `k` neighbours, None for a
        radius; the round `call.todo` of `call` when given); the estimate when
        it newly shows the target missed for `cause` (once per cause until the
        next reset), else None."""
        with self._lock:
            if call is not None:
                call.done = np.union1d(call.done, call.todo)
                call.cause = cause
                if found.size:
                    call.found.append(found)
                    call.need.append(need)
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
            own = (call.found, call.need) if call is not None else (self._found[-1:], self._need[-1:])
            looks = [
                (self._found, self._need, ""),
                (*own, "in this call")
                if found.size or (call is not None and call.found)
                else (no_checks, no_checks, ""),
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
        if found.size < FEW_QUERIES:
            # too few queries to tell how their neighbours' results cluster: each query one trial
            lo, hi = wilson(recall * found.size, int(found.size))
            lo, hi = min(lo, recall), max(hi, recall)
        return ObservedRecall(recall, (lo, hi), int(found.size), self._since, self._target)


def _first_checks(seen: int) -> int:
    """Checks paid for by the change among its first `seen` queries: FIRST_CHECKS
    spread evenly over the first FIRST_SPAN."""
    return FIRST_CHECKS * min(seen, FIRST_SPAN) // FIRST_SPAN


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
