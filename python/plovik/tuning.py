"""Choosing the hash settings of `PlovikSearch` from the data it indexes.

`tune` finds the cells b, components K, tables L and probes P, and draws the
coordinates each table hashes, so that the index reaches a recall target at
the least query cost. Everything it measures goes through the engine's own
hashing (`plovik._native`: `_probe_keys`, `_candidate_counts`,
`_neighbour_hits`, with the keys and probe order of the index) and its exact
scan; the NumPy reference plays no part.

0. Sizes. Below `EXACT_BELOW` points times coordinates (at the capacity when
   one is given) the search answers exactly, chosen from the cost model
   alone: nothing is sampled or measured. In up to `GRID_MAX_D` coordinates
   the exact answer is the cheaper of the exact scan and a grid
   (`plovik.grid`), whose cost the model takes from the cells a query reads
   and the points they hold around sample points of the data (and of the
   caller's queries), so that clustered data are priced at the density of
   their clusters (`_grid_cost`).
1. Ground truth. A sample of the points drawn from the seed, each asked as a
   fresh query from the same data would be: neither the point itself nor its
   copies (within `NEAR_COPY` per coordinate) nor its near copies (fewer
   than k points much closer than the next, `NEAR_GAP`) count as its
   neighbours, since they share its buckets for free. Each sample point also
   gives a query between the points (`_between`: moved `BETWEEN` times its
   k-th neighbour distance), a kind of its own. When given, a sample of the
   caller's queries too. A query's neighbours are every point at most as far as its
   k-th nearest (ties are found, not missed), answered by the exact scan.
   When the whole sample would cost more than `TRUTH_AT_ONCE` by the cost
   model, the truth of `FIRST_QUERIES` queries of each kind is taken first
   (of `SCREEN_QUERIES` before the first round of step 5) and doubled while
   no setting's bound is decisive (the 99% bound before the whole sample,
   `_Z_EARLY`); a stop before the whole sample is trusted only when the
   next half as many sample queries bear it out (`_confirm`), and not
   sought when the setting it would keep costs no less than the exact
   scan, which is then chosen.
2. Coordinates. Each coordinate's spread on the torus (the mean toroidal
   distance along it between random pairs of points) weights how often the
   tables hash it: a coordinate that barely varies separates nothing.
3. Recall of a setting, exactly. A true neighbour p of a query q is found
   when, in some table, p's bucket is one of the buckets q probes; relaxation
   can only add to that. So the recall of every (b, K, L, P) follows from the
   keys of the sample queries and of their true neighbours alone, with no
   index of all points. Tables are drawn one after the other and probes are
   taken in a fixed order, so the first L tables and the first P probes of
   the largest draw are those of every smaller setting: one hashing per
   (b, K) gives every (L, P). The neighbours of one query succeed or fail
   together (copies share buckets), so intervals are taken over queries.
4. Cost of a setting, deterministically. The candidates a query gathers are
   counted in the buckets of a fixed subsample of the points (a
   `COUNT_SHARE`-th of them, `FIRST_COUNTED` to `COUNT_SAMPLE`) and scaled
   to the whole (entries gathered, and distinct candidates, which get a
   distance each). The cost per query is a linear model of entries gathered, distances
   computed and tables and probes hashed, with constants measured once on the
   native backend (`COST`); it uses no clock, so the same seed and data give
   the same settings on every machine, thread count and backend. The exact
   scan costs `COST.scan` per point and coordinate; the grid, per query, per
   cell read and per coordinate of the points read (`CostModel.grid`).
5. Search. Every (b, K) is measured first on `SCREEN_QUERIES` queries
   of each kind (the truth of no more is taken before this round), their
   candidates counted for `FIRST_QUERIES` in `FIRST_COUNTED` points, with
   `FIRST_TABLES` tables, by the point estimate of its recall; the
   `KEEP_SHAPES` most promising of them go on. More tables are measured for
   one (b, K) only while a setting with more of them could cost less than
   the exact scan and the cheapest setting that reaches the target so far:
   its misses, falling per table as over its last half, give the tables it
   would need at least, and its entries grow with them (`_more_tables`);
   the (b, K) whose larger settings could cost least is measured first, at
   most `WIDEN` times as many tables at a time. When none comes under the
   exact scan's cost the scan is chosen there, else the promising ones are
   measured on the whole sample, with the first round's
   counts when those hold `COUNTED_ENOUGH` entries, else on as many counted
   points as give that many at the first round's rate (`COUNT_MARGIN` times
   more). No hashing is done twice for the same setting and sample: the
   hits of a setting's queries are kept (with each true neighbour's first
   table) and extended by new queries, and by new tables for the
   neighbours not yet found; its candidate counts are kept (with each
   counted point's lowest probe per query) and extended by new tables.
   The engine's counts and hits of every setting a round measures at once
   are made in one call, a task each on the worker pool (`_Batch`).
6. Choice. Among the settings whose recall's 95% lower bound reaches the
   target (on the self-join sample and, separately, on the caller's
   queries), the cheapest; when the exact answer (the scan, or the grid where
   it is cheaper) is cheaper than all of them, or none reaches the target,
   the search answers exactly that way (unless that is switched off: then
   the setting with the highest recall, and a warning). With a capacity,
   the settings are those of the capacity (its bucket occupancy, its
   candidates) and their recall is measured on the build's points, where
   the buckets are sparsest.
"""

from __future__ import annotations

import dataclasses
import functools
import math
import time
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

from plovik import _native
from plovik import grid as _grid
from plovik.caller import warn
from plovik.exact import ExactScan, RowScan, scan_of_checked, torus_l1
from plovik.grid import GRID_MAX_D
from plovik.hashing import key_space_fits as _fits

__all__ = [
    "COST",
    "CostModel",
    "RecallWarning",
    "Tuning",
    "draw_weighted_parameters",
    "recall_interval",
    "spread",
    "tune",
    "wilson",
]


class RecallWarning(UserWarning):
    """The index reaches less recall than asked, or has outgrown its tuning."""


#: A number, or an array of them for many settings at once.
_Number = float | npt.NDArray[Any]


@dataclass(frozen=True)
class CostModel:
    """Modelled nanoseconds per query: what the tuning minimises.

    index: per_table * L * K + per_probe * L * P + per_coordinate * entries * d
           + per_candidate * distinct + per_query
    exact scan: per_query + scan * n * d; with byte coordinates (plain L1,
                up to 255 coordinates) per_query + scan_bytes * n * d
                + scan_tiles * passing * n * d; in a spatial order
                ordered_query + scan_seed * d + scan_groups * groups
                + (scan_reach [+ scan_far]) * reach * d
    grid: grid_query + grid_cell * cells + grid_coordinate * points * d
          + grid_neighbour * k * log2(k + 1)

    `entries` are the bucket entries a query gathers (an id in several probed
    buckets counted each time: the batched path measures every one of them),
    `distinct` the distinct candidates. The index constants were fitted by
    benchmarks/calibrate_cost.py to the native batched path on one thread
    (150 settings: d = 8, 16, 32, uniform and clustered, 100,000 points, on
    the two shared cores of the development machine under a load of about 3;
    the fit is within 11% for half of the settings, 68% at worst). `scan` is
    the exact scan's target throughput, 0.8 billion 16-coordinate distances
    per second per core. With byte coordinates the scan sums bytes for
    every point (`scan_bytes`) and floats only for the tiles of eight points
    whose bytes let one of them through (`passing`, the share of such
    tiles, which `tune` estimates from its sample: `_passing`), each at
    `scan_tiles` a coordinate, nearly five times `scan`: such a tile's
    floats come from beyond the first-level cache, and a branch sends it
    there. Both were fitted (least squares) to the scan timed turn about
    with the float-only scan (priced at `scan`) on 256 self-join queries,
    uniform and clustered, d = 8 to 32, 10^4 to 10^6 points: the fit is
    within 0.79 - 1.39 of the measured scan.
    The grid's constants (`grid`, with the cells and
    points a k-nearest query reads, `grid_reads`) were fitted by
    `calibrate_cost.py grid` to `plovik.grid.ExactGrid` on one thread (72
    cases: d = 1 to 4, uniform and clustered, 3,000 to 300,000 points, k =
    1, 10, 40; within 26% for half of them, 99% at worst, the clustered ones
    underestimated most) and scaled by the model's scan cost over the scan
    timed in the same run (0.31), so that the grid is priced in the units
    of the scan. The occupancy of that fit was the mean of the 3**d cells
    around each query; `plovik.grid.occupancy_near` now takes a query's own
    cell instead where that holds more (a cluster within a cell, read
    whole, which the mean priced at a tenth of its time), which only raises
    the cost of clustered data: the grid is then left to the scan or the
    hash settings.
    Points laid out in a spatial order (`ExactScan.reach`) are priced by
    the groups of 128 points whose byte ranges a query checks (`groups`,
    times the 32-coordinate blocks of a range), the group of its own cell
    it sums first (`scan_seed` a coordinate) and the points of the groups
    it cannot pass over (`reach`, at `scan_reach` a coordinate, more by
    `scan_far` when the laid-out points exceed `FAR_BYTES`, beyond the
    last-level cache): fitted (least squares on the relative error) to
    the scan on one thread, 300 - 500 queries near the points, of 14
    shapes (clustered d = 8 - 32, a few informative of 24, mixed density,
    uniform and liquid d = 2 - 4; 2 * 10^4 - 10^6 points): within 0.74 -
    1.28 of it; then scaled by 1.7, the byte scan's modelled cost over its
    time in the same run (uniform d = 8 - 32, 1.67 - 1.75), so that both
    scans are priced in the units of the rest of the model.
    """

    per_table: float = 20.6
    per_probe: float = 142.0
    per_coordinate: float = 0.205
    per_candidate: float = 2.72
    per_query: float = 1250.0
    scan: float = 0.08
    grid_query: float = 64.0
    grid_cell: float = 21.6
    grid_coordinate: float = 0.444
    grid_neighbour: float = 5.17
    scan_bytes: float = 0.0196
    scan_tiles: float = 0.38
    ordered_query: float = 908.0
    scan_seed: float = 296.0
    scan_groups: float = 4.78
    scan_reach: float = 0.0524
    scan_far: float = 0.348

    def index(self, d: int, k: int, tables: _Number, probes: _Number, entries: _Number, distinct: _Number) -> Any:
        """Modelled cost of one query (the arguments may be arrays of settings, broadcast)."""
        return (
            self.per_table * tables * k
            + self.per_probe * tables * probes
            + self.per_coordinate * entries * d
            + self.per_candidate * distinct
            + self.per_query
        )

    def exact(self, n: int, d: int, passing: float | None = None) -> float:
        """Modelled cost of one exact scan query; `passing`: with byte
        coordinates, the share of tiles whose float sums are taken (None:
        without them, every tile's)."""
        if passing is None:
            return self.per_query + self.scan * n * d
        return self.per_query + (self.scan_bytes + self.scan_tiles * passing) * n * d

    def ordered(self, n: float, d: int, reach: float) -> float:
        """Modelled cost of one exact scan query through points in a
        spatial order, `reach` of the n points read."""
        groups = math.ceil(n / 128) * math.ceil(d / 32)
        per_read = self.scan_reach + (self.scan_far if n * d * 5 > FAR_BYTES else 0.0)
        return self.ordered_query + self.scan_seed * d + self.scan_groups * groups + per_read * reach * d

    def grid(self, d: int, k: int, cells: int, occupancy: float) -> float:
        """Modelled cost of a k-nearest query through a grid of `cells` per
        axis whose cells hold `occupancy` points near the queries: per
        query, per cell and per coordinate of the points read (`grid_reads`),
        and per neighbour kept (a heap of k, then sorted)."""
        read, points = grid_reads(d, k, cells, occupancy)
        return (
            self.grid_query
            + self.grid_cell * read
            + self.grid_coordinate * points * d
            + self.grid_neighbour * k * math.log2(k + 1)
        )


def grid_reads(d: int, k: int, cells: int, occupancy: float) -> tuple[float, float]:
    """The cells and points a k-nearest query reads through a grid of
    `cells` per axis whose cells hold `occupancy` points near it.

    It reads whole rings of cells around its own until they hold k points
    (a block of an odd number of cells along each axis), and at least the
    cells that the L1 ball of its k-th distance meets: at the density of
    its cells, that distance is `reach` cell widths, and a ball of radius r
    meets on average sum_j C(d, j) (2 r)**j / j! cells of width 1 (the
    volume of the ball grown by a cell). At most every cell; the points are
    those of the cells read.
    """
    total = float(cells) ** d
    if not occupancy > 0:
        return total, 0.0
    reach = 0.5 * (k * math.factorial(d) / occupancy) ** (1.0 / d)
    ball = sum(math.comb(d, j) * (2.0 * reach) ** j / math.factorial(j) for j in range(d + 1))
    side = math.ceil((k / occupancy) ** (1.0 / d))
    fill = float(min(side + (side + 1) % 2, cells)) ** d
    read = min(total, max(ball, fill))
    return read, read * occupancy


#: The constants of the cost model, calibrated once (see `CostModel`).
COST = CostModel()
#: Laid-out points beyond this many bytes are read from memory, not from
#: the last-level cache (`CostModel.ordered`).
FAR_BYTES = 40e6

#: Largest tables and probes a tuning considers.
MAX_TABLES = 64
MAX_PROBES = 10
#: Largest share of the points a setting may gather per query (entries, duplicates counted).
MAX_SHARE = 0.5
#: Points whose buckets are counted to estimate the candidates of a setting
#: (a COUNT_SHARE-th of the points, at least FIRST_COUNTED and at most
#: COUNT_SAMPLE: counting costs what hashing them in every table measured
#: does, which must stay a small part of the build), and sample queries of
#: each kind whose candidates are counted there.
COUNT_SAMPLE = 5_000
COUNT_SHARE = 20
#: Entries counted at the first round's FIRST_COUNTED points that cost a
#: setting closely enough to count no more: their chance spread is about
#: 5%, less than the spread of the sample queries' own candidates, which
#: more counted points would not narrow.
COUNTED_ENOUGH = 400
#: Counted points after the first round: this many times those that give
#: COUNTED_ENOUGH entries at the first round's rate.
COUNT_MARGIN = 1.5
COST_QUERIES = 100
#: More tables of a (b, K) are measured at most this many times as many at a time.
WIDEN = 4
#: The first round of a tuning measures every (cells, components) on this
#: many sample queries of each kind and counted points (the candidates
#: counted for FIRST_QUERIES of them, the recall on SCREEN_QUERIES: the
#: truth of no more is taken before the round has decided for the exact
#: scan or for some settings); the KEEP_SHAPES most promising go on to the
#: whole sample.
FIRST_QUERIES = 64
SCREEN_QUERIES = 32
FIRST_COUNTED = 1_000
KEEP_SHAPES = 3
#: Tables each (cells, components) is measured with first; doubled (up to
#: MAX_TABLES) only while a setting with more tables could be the cheapest.
FIRST_TABLES = 2
#: Modelled nanoseconds of exact queries below which the truth of the whole
#: sample is taken at once.
TRUTH_AT_ONCE = 5e6
#: Sample queries of the check that keeps a tuning for new data (`keep`).
CHECK_QUERIES = 32
#: A kept tuning whose modelled query cost grows past this factor is tuned again.
KEEP_COST = 2.0
#: Default number of sample queries of each kind (self-join, caller's).
DEFAULT_SAMPLE = 300
#: Below this many points times coordinates the exact scan is chosen from
#: the cost model alone: there it costs about 20 us a query (COST.exact),
#: which no measured setting that reaches recall 0.9 beats by enough to pay
#: for its tuning.
EXACT_BELOW = 250_000
#: A point within this distance per coordinate (on average) of a sample
#: point is a copy of it: not a neighbour the sample point may count.
NEAR_COPY = 1e-6
#: A sample point's nearest fewer than k, after which the distance jumps
#: by more than this factor, are its near copies: not neighbours it may
#: count either (by chance, without copies, a point's nearest is 4 times
#: closer than its second for one point in 4**d).
NEAR_GAP = 4.0
#: The truth follows ties (and copies) up to this many times k neighbours.
MAX_TIES = 16
#: Each self-join sample point is also moved off the data by this many
#: (uniform in the range) times its k-th neighbour distance, as a query
#: between the points: a kind of sample query of its own.
BETWEEN = (0.5, 2.0)
#: Mean bucket occupancies tried for each number of cells.
_OCCUPANCIES = (4.0, 16.0, 64.0, 256.0)
_CELLS = (2, 3, 4, 6)
_Z = 1.959963984540054  # two-sided 95%
# A tuning that stops before its whole sample (see `tune`) asks for the 99%
# bound: it looks again after each doubling and picks the best of many
# settings, and a bound it stops on would otherwise favour lucky samples.
_Z_EARLY = 2.5758293035489004


def wilson(hits: float, total: float) -> tuple[float, float]:
    """95% Wilson score interval of a proportion (0, 1 with nothing measured)."""
    if total <= 0:
        return 0.0, 1.0
    lo, hi = _bounds(np.float64(hits / total), np.float64(total))
    return float(lo), float(hi)


@dataclass(frozen=True)
class Tuning:
    """What `PlovikSearch.build` chose and why (`search.tuning`).

    Attributes:
        exact: True when queries are answered exactly: by the exact scan,
            or through a grid (`grid`).
        cells, components, tables, probes: the hash settings of the index
            (of an exact scan: the setting the sizes suggest, which no table
            uses; its repr leaves them out).
        recall: estimated recall@k of those settings (the lower of the
            self-join and caller's-queries estimates; 1.0 when exact).
        interval: its 95% Wilson interval.
        radius_recall, radius_interval: the same for the radius hint (None without one).
        sample: sample queries measured (self-join plus caller's).
        target, k, radius: what was asked.
        candidates: distinct candidates per query (estimated, at `n`; the
            points a query reads when exact).
        cost: modelled query cost, ns per query; `exact_cost`: the same for the exact scan.
        n: points tuned for (the data, or `capacity` when larger).
        occupancy: mean points per bucket at n (n / cells**components).
        weights: per coordinate, its share of the hashed coordinates.
        reached: whether the target is reached (always when exact).
        seconds: tuning time (wall clock; the only figure that differs between runs).
        grid: True when the exact answers go through a grid (`plovik.grid`):
            chosen by the cost model, in up to `GRID_MAX_D` coordinates, or
            asked for (`exact="grid"`). Reports saved before it load with False.
    """

    exact: bool
    cells: int
    components: int
    tables: int
    probes: int
    recall: float
    interval: tuple[float, float]
    radius_recall: float | None
    radius_interval: tuple[float, float] | None
    sample: int
    target: float
    k: int
    radius: float | None
    candidates: float
    cost: float
    exact_cost: float
    n: int
    occupancy: float
    weights: tuple[float, ...] = field(repr=False)
    reached: bool = True
    seconds: float = 0.0
    grid: bool = False

    def __repr__(self) -> str:
        # An exact scan's report leaves out the hash settings no table uses.
        unused = ("cells", "components", "tables", "probes") if self.exact else ()
        shown = (f for f in dataclasses.fields(self) if f.repr and f.name not in unused)
        return f"Tuning({', '.join(f'{f.name}={getattr(self, f.name)!r}' for f in shown)})"

    def settings(self) -> dict[str, int]:
        """The four hash settings, as `PlovikSearch` keyword arguments."""
        return dict(cells=self.cells, components=self.components, tables=self.tables, probes=self.probes)

    def __str__(self) -> str:
        mode = "exact grid" if self.grid else "exact scan"
        if self.exact and self.sample == 0:
            why = (
                "as asked"
                if COST.exact(self.n, len(self.weights)) > COST.exact(EXACT_BELOW, 1)
                else "chosen from the sizes alone"
            )
            scan = f" (exact scan {self.exact_cost / 1000:.1f})" if self.grid else ""
            return (
                f"{mode}, {why} ({self.n} points of {len(self.weights)} coordinates), "
                f"cost {self.cost / 1000:.1f} us/query{scan}, tuned in {self.seconds:.3f} s"
            )
        lo, hi = self.interval
        how = mode if self.exact else (f"b={self.cells}, K={self.components}, L={self.tables}, probes={self.probes}")
        if self.radius is not None and self.radius_interval is not None:
            rlo, rhi = self.radius_interval
            how += f"; radius {self.radius:g} recall {self.radius_recall:.3f} (95% {rlo:.3f}-{rhi:.3f})"
        return (
            f"{how}; recall@{self.k} {self.recall:.3f} (95% {lo:.3f}-{hi:.3f}, {self.sample} queries), "
            f"{self.candidates:.0f} candidates/query, cost {self.cost / 1000:.1f} us/query "
            f"(exact scan {self.exact_cost / 1000:.1f}), tuned in {self.seconds:.2f} s"
        )


def probes_for(report: Tuning | None, k: int, probes: int | None) -> int | None:
    """The flip probes of a k-nearest call of a tuned search: the caller's
    when given; for k above the tuned k, every flip of every table (the
    search widens rather than lose recall: uniform points in d = 8, 100,000
    of them, tuned for k = 10 with no flips, found 0.82 of 50 neighbours and
    0.59 of 200 with the tuned probes, 1.00 and 0.98 with every flip, at about
    three times the time); else the tuned ones (None)."""
    if probes is not None or report is None or report.exact or k <= report.k:
        return probes
    return report.components


# ------------------------------------------------------------- coordinates


def spread(X: npt.NDArray[np.float64], rng: np.random.Generator, pairs: int = 4096) -> npt.NDArray[np.float64]:
    """Mean toroidal distance along each coordinate between random pairs of rows (0.25 if uniform)."""
    n = X.shape[0]
    if n < 2:
        return np.ones(X.shape[1])
    a = rng.integers(0, n, pairs)
    b = (a + rng.integers(1, n, pairs)) % n
    # One pass over the pairs (values wrapped onto [0, 1) as v - floor(v)),
    # summed in their order: NumPy's mean over them, without its temporaries.
    out: npt.NDArray[np.float64] = _native._spread(X, a, b)
    return out


def coordinate_weights(sp: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """Drawing probabilities from spreads: proportional, constant coordinates never drawn."""
    top = float(np.max(sp)) if sp.size else 0.0
    if top <= 0.0:
        return np.full(sp.size, 1.0 / max(sp.size, 1))
    w = np.where(sp > 1e-6 * top, sp, 0.0)
    # Equal spreads within a percent are a uniform draw (uniform data keeps plain permutations).
    live = w > 0
    if w[live].min() >= 0.99 * top:
        w = live.astype(np.float64)
    return w / w.sum()


def draw_weighted_parameters(
    rng: np.random.Generator, weights: npt.NDArray[np.float64], tables: int, components: int
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """`s` and `u` of shape (tables, components), coordinates drawn by weight.

    Row t of `s` draws its coordinates one after the other among those with
    positive weight, each with probability proportional to its weight among
    the ones not yet drawn in that row (so distinct coordinates while
    components does not exceed them; past that the draw starts again over
    all of them); `u` is uniform in [0, 1). Each table takes 2 * components
    uniforms from the generator, table after table (the draws, then its
    offsets), so the first tables of a larger draw from the same generator
    are those of a smaller one. Only sums and comparisons of float64 pick a
    coordinate: the same generator gives the same draw on every machine.
    """
    live = np.flatnonzero(weights > 0)
    w = weights[live] / weights[live].sum()
    draws = rng.random((tables, 2 * components))
    # The picks, table by table, by the engine: per pick, the running sums
    # of the weights left (summed in order) against the draw times their
    # total; a product rounded up to the total picks the last one left.
    s: npt.NDArray[np.int64] = live[_native._weighted_draw(w, draws, components)]
    return s, np.ascontiguousarray(draws[:, components:])


# ---------------------------------------------------------- the search space


def shapes(n: int, d: int, cells: int | None, components: int | None) -> list[tuple[int, int]]:
    """The (cells, components) pairs a tuning tries for n points.

    For every bucket occupancy of `_OCCUPANCIES` and every cell count of
    `_CELLS` (or the given one), the components that give that occupancy.
    Where that would hash more components than there are coordinates, each
    coordinate is hashed once with more cells instead: a coordinate hashed
    twice in one table cuts it into uneven cells.
    """
    if cells is not None and components is not None:
        return [(cells, components)]
    out: set[tuple[int, int]] = set()
    for occ in _OCCUPANCIES:
        buckets = max(n / occ, 2.0)
        if components is not None:
            pairs = [(max(2, round(buckets ** (1.0 / components))), components)]
        else:
            pairs = []
            for b in _CELLS if cells is None else (cells,):
                k = max(1, round(math.log(buckets) / math.log(b))) if b > 1 else 1
                if k > d and cells is None:
                    k = d
                    b = max(2, round(buckets ** (1.0 / k)))
                pairs.append((b, k))
        for b, k in pairs:
            while k > 1 and not _fits(b, k):
                k -= 1
            out.add((b, k))
    return sorted(out)


# ---------------------------------------------------------------- evaluation


@dataclass
class _Truth:
    """The true neighbours of one kind of sample queries.

    Row q of `queries` must find `need[q]` of its neighbours (k, or fewer
    when fewer points are there); its neighbours are the rows
    `owner == q` of `neighbours`: every point at most as far as its k-th
    nearest, so that any of them found counts (ties are not misses).
    """

    queries: npt.NDArray[np.float64]  # (m, d)
    need: npt.NDArray[np.int64]  # (m,)
    owner: npt.NDArray[np.int64]  # (pairs,) ascending
    neighbours: npt.NDArray[np.float64]  # (pairs, d)
    costed: bool = True  # whether the candidates of its queries cost a setting (not those between the points)

    def extend(self, more: _Truth) -> _Truth:
        """This truth and that of more queries after them."""
        m = self.queries.shape[0]
        return _Truth(
            np.concatenate([self.queries, more.queries]),
            np.concatenate([self.need, more.need]),
            np.concatenate([self.owner, more.owner + m]),
            np.concatenate([self.neighbours, more.neighbours]),
            self.costed,
        )

    def head(self, m: int) -> _Truth:
        """The truth of the first m queries."""
        pairs = int(np.searchsorted(self.owner, m))
        return _Truth(self.queries[:m], self.need[:m], self.owner[:pairs], self.neighbours[:pairs], self.costed)

    def kth(self) -> npt.NDArray[np.float64]:
        """Each query's k-th neighbour distance (toroidal L1; 0 with nothing to find)."""
        q, out = self.queries, np.zeros(self.queries.shape[0])
        if self.owner.size:
            np.maximum.at(out, self.owner, torus_l1(self.neighbours, q[self.owner]))
        return out

    def tail(self, m: int) -> _Truth:
        """The truth of the queries after the first m."""
        pairs = int(np.searchsorted(self.owner, m))
        return _Truth(self.queries[m:], self.need[m:], self.owner[pairs:] - m, self.neighbours[pairs:], self.costed)


def _truth(
    scan: ExactScan | RowScan,
    X: npt.NDArray[np.float64],
    Q: npt.NDArray[np.float64],
    k: int,
    rows: npt.NDArray[np.int64] | None,
) -> _Truth:
    """The truth of the queries Q; `rows` are their ids when they are points of X
    (-1 for a query that is not: a batch of both kinds in one scan).

    A point of X asked as a query is treated as a fresh query from the same
    data would be: neither it nor its copies (points within `NEAR_COPY` per
    coordinate of it, on average) nor its near copies (`_near_group`) count
    as its neighbours, since they would be found in its own buckets for free. Rows whose copies or ties fill the
    answer are asked again with twice the neighbours, up to `MAX_TIES` times
    k; ties beyond that are left out (the recall measured can only be lower).
    """
    m, d = Q.shape
    # per row, how near a copy may lie (-1: a query that is not a point passes over nothing)
    own = np.zeros(m, bool) if rows is None else rows >= 0
    near = np.where(own, NEAR_COPY * d, -1.0)
    need = np.zeros(m, np.int64)
    owners: list[npt.NDArray[np.int64]] = []
    found: list[npt.NDArray[np.int64]] = []
    todo = np.arange(m)
    # A first round a little wider than k (most rows have no copies and no
    # ties there), then 2k, 4k, ...: a row ends with the same neighbours
    # whichever round it ends in.
    width = min(k + 2, 2 * k)
    # Every row of a round at once, in arrays: the rows of the scan with
    # the copies left out (kept entries first, in their order), then each
    # row's near copies, the neighbours it needs and those tied with its
    # k-th; rows whose copies or ties fill the answer go to the next round.
    while todo.size:
        w = min(width, scan.n)
        idx, dist = scan.knn(Q[todo], w, None if rows is None else rows[todo])
        keep = (idx >= 0) & (dist > near[todo, None])
        if keep.all():  # no copy and no empty slot: the rows as the scan gave them
            got, gd = idx, dist
        else:
            order = np.argsort(~keep, axis=1, kind="stable")
            got = np.take_along_axis(idx, order, 1)
            gd = np.where(np.take_along_axis(keep, order, 1), np.take_along_axis(dist, order, 1), np.inf)
        count = keep.sum(axis=1)
        col = np.arange(w)
        group = np.zeros(todo.size, np.int64)
        if rows is not None and w > 1:  # nor do its near copies (`_near_group`)
            head = gd[:, : min(k, w)]
            jumps = (head[:, 1:] > NEAR_GAP * head[:, :-1]) & (col[1 : head.shape[1]] < count[:, None])
            group = np.where(jumps & own[todo, None], col[1 : head.shape[1]], 0).max(axis=1, initial=0)
        size = count - group
        full = (idx[:, -1] >= 0) & (width < scan.n)
        wider = width < MAX_TIES * k
        needed = np.minimum(k, size)
        kth = np.take_along_axis(gd, np.maximum(group + needed - 1, 0)[:, None], 1)[:, 0]
        last = np.take_along_axis(gd, np.maximum(count - 1, 0)[:, None], 1)[:, 0]
        # copies filled the answer, or ties may go on past it
        again = full & wider & ((size < k) | ((needed > 0) & (last <= kth)))
        done = ~again
        need[todo[done]] = needed[done]
        take = (done & (needed > 0))[:, None] & (col >= group[:, None]) & (col < count[:, None]) & (gd <= kth[:, None])
        r, c = np.nonzero(take)
        owners.append(todo[r])
        found.append(got[r, c])
        todo = todo[again]
        width = 2 * k if width < 2 * k else 2 * width
    owner = np.concatenate(owners) if owners else np.empty(0, np.int64)
    ids = np.concatenate(found) if found else np.empty(0, np.int64)
    order = np.argsort(owner, kind="stable")  # each query's neighbours come from one round, in order
    return _Truth(Q, need, owner[order], X[ids[order]])


def _near_group(dist: npt.NDArray[np.float64], k: int) -> int:
    """How many of a sample point's nearest (ascending `dist`, its exact
    copies left out) are near copies of it: the leading ones, fewer than k,
    after which the distance jumps more than `NEAR_GAP` times (0: none).

    A point with a few near copies (a record stored twice with rounding, a
    tight group of fewer than k) finds them in its own buckets for free; a
    fresh query does not have them, and needs neighbours beyond."""
    head = dist[:k]
    jumps = np.flatnonzero(head[1:] > NEAR_GAP * head[:-1])
    return int(jumps[-1]) + 1 if jumps.size else 0


def _moves(rng: np.random.Generator, m: int, d: int) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """Per sample point, how far (in its k-th neighbour distances, uniform in
    `BETWEEN`) and in which direction (of L1 norm 1) `_between` moves it."""
    scale = rng.uniform(*BETWEEN, m)
    way = rng.standard_normal((m, d))
    way /= np.maximum(np.abs(way).sum(axis=1, keepdims=True), 1e-300)
    return scale, way


def _between(own: _Truth, scale: npt.NDArray[np.float64], way: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """Queries between the points: each sample point of the self-join truth
    `own` moved by `scale` times its k-th neighbour distance (toroidal L1)
    along `way` (onto the unit torus).

    A fresh query seldom lies on a point: on a lattice, or beside tight
    clusters, it lies between them, where the points it needs are fewer and
    farther, in buckets of their own; the self-join alone does not see
    them. A point with nothing to find stays where it is."""
    moved: npt.NDArray[np.float64] = (own.queries + (scale * own.kth())[:, None] * way) % 1.0
    return moved


#: Counted points whose distances from each sample query stand for all the
#: points' in `_passing`, the nearest of them it reads, and the positions of
#: the scan it looks at.
PASSING_POINTS = 1_000
PASSING_NEAREST = 128
PASSING_STEPS = 48


def _passing(own: _Truth, counted: npt.NDArray[np.float64], n: int, k: int) -> float:
    """The share of the tiles of eight points whose float sums an exact
    scan with byte coordinates takes over n points, for queries like those
    of the self-join truth `own`.

    After N points the scan's threshold is the k-th distance among them:
    the query's distance at quantile k / N among (up to `PASSING_POINTS` of)
    the `counted` points (past the quantile of their nearest, its
    distance), never below its k-th over all the points. A point gets past
    the bytes when its distance is
    within about (d + 1) / 256 of the threshold (the bytes' sum is off by
    less than d / 256, mostly much less), a tile when any of its eight does
    (the points in no particular order). Only the `PASSING_NEAREST` nearest
    counted points are read: while the threshold lies beyond them every
    tile is taken to pass, and when the slack reaches past them, that many.
    Averaged over the scan (at `PASSING_STEPS` positions evenly spaced in
    log N) and the queries."""
    q, d = own.queries, own.queries.shape[1]
    if q.shape[0] == 0 or counted.shape[0] == 0 or n <= k:
        return 1.0
    reach = own.kth()
    pts = np.ascontiguousarray(counted[:PASSING_POINTS])
    m = pts.shape[0]
    near = min(m, PASSING_NEAREST)
    _, dist = scan_of_checked(pts).knn(q, near)  # each query's nearest distances, ascending
    seen = np.unique(np.geomspace(k, n, PASSING_STEPS).astype(np.int64))
    at = np.ceil(k * m / seen).astype(np.int64) - 1  # the threshold's quantile among the counted points
    # past the nearest counted point's quantile (N > k m) its distance still: the scan's threshold
    # falls below it only near the end, where the k-th over all takes over
    threshold = np.maximum(dist[:, np.clip(at, 0, near - 1)], reach[:, None])
    slack = (d + 1) / 256.0
    # per query and position, its nearest within the slack of the threshold (each row ascending)
    past = (dist[:, None, :] <= (threshold + slack)[:, :, None]).sum(axis=2)
    point = np.where(at < near, past / m, 1.0)  # beyond the nearest read: all of them
    tile = 1.0 - (1.0 - point) ** 8
    # the first k points all pass; then the tiles between two positions at their mean
    summed = k + ((tile[:, 1:] + tile[:, :-1]) / 2 * np.diff(seen)).sum(axis=1)
    share: float = float(np.mean(np.minimum(summed / n, 1.0)))
    return share


def _reach(scan: ExactScan | RowScan, own: _Truth) -> float | None:
    """The mean number of points a scan in a spatial order reads for the
    queries of the self-join truth `own`, each with its k-th distance;
    None when the scan keeps no such order."""
    if not isinstance(scan, ExactScan) or own.queries.shape[0] == 0:
        return None
    reach = scan.reach(own.queries, own.kth())
    return None if (reach >= scan.n).all() else float(reach.mean())


def _confirm(
    best: _Option,
    s: npt.NDArray[np.int64],
    u: npt.NDArray[np.float64],
    truths: list[_Truth],
    radius_truth: _Truth | None,
    m: int,
    target: float,
) -> tuple[_Option, bool]:
    """`best`, chosen on the first m sample queries of each kind, with its
    figures on all of `truths`; and whether the queries after the first m
    bear it out: each kind's recall on them (the point estimate) reaches
    the target."""
    confirmed = True
    measured = []
    for t in (*truths, *(() if radius_truth is None else (radius_truth,))):
        hits = _native._neighbour_hits(best.b, s, u, t.queries, t.neighbours, t.owner, best.p)[:, best.p, best.l - 1]
        later = np.arange(t.queries.shape[0]) >= m
        if later.any():
            confirmed &= bool(_recall(hits[later, None, None], t.need[later], False)[0][0, 0] >= target)
        measured.append(tuple(float(v[0, 0]) for v in _recall(hits[:, None, None], t.need)))
    knn = measured[: len(truths)]
    recall, lo, hi, _ = min(knn, key=lambda v: v[1])  # the kind with the lowest bound
    radius = None if radius_truth is None else (measured[-1][0], (measured[-1][1], measured[-1][2]))
    return dataclasses.replace(best, lower=lo, recall=recall, interval=(lo, hi), radius=radius), confirmed


def _bounds(
    p: npt.NDArray[np.float64] | np.float64, n: npt.NDArray[np.float64] | np.float64, z: float = _Z
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """Wilson interval (95% by default) of proportions p measured on n trials (arrays; (0, 1) where n is 0)."""
    n = np.asarray(n, np.float64)
    safe = np.maximum(n, 1e-300)
    z2 = z * z
    centre = p + z2 / (2 * safe)
    half = z * np.sqrt(np.maximum(p * (1 - p), 0.0) / safe + z2 / (4 * safe * safe))
    lo = np.where(n > 0, np.maximum(0.0, (centre - half) / (1 + z2 / safe)), 0.0)
    hi = np.where(n > 0, np.minimum(1.0, (centre + half) / (1 + z2 / safe)), 1.0)
    return lo, hi


def _recall(
    hits: npt.NDArray[np.int64], need: npt.NDArray[np.int64], interval: bool = True
) -> tuple[npt.NDArray[np.float64], ...]:
    """Recall, its 95% interval over the queries and its 99% lower bound, of
    every (p, l) from per-query hits (m, P + 1, L) (NaN bounds without
    `interval`).

    A query finds min(hits, need) of the neighbours it needs. The neighbours
    of one query succeed or fail together (copies share buckets), so the
    interval is taken over queries: the Wilson interval of the pooled recall
    with the sample size it is worth, the pairs divided by the design effect
    that the spread of the per-query totals shows (at least the number of
    queries, at most the pairs). When no query misses (or none finds) the
    spread shows nothing, and the interval is that of the queries alone.
    """
    use = need > 0
    if not use.all():  # the queries with nothing to find are left out (a copy of the rest)
        hits, need = hits[use], need[use]
    # whole numbers, summed exactly in int64 as in float64
    found = np.minimum(hits, need[:, None, None])
    want = need.astype(np.float64)
    total = float(want.sum())
    if total == 0:  # nothing to find: nothing missed
        one = np.ones(hits.shape[1:])
        return one, one, one, one
    p = found.sum(axis=0) / total
    if not interval:
        unknown = np.full(p.shape, np.nan)
        return p, unknown, unknown, unknown
    m = want.size
    # found - p * want, squared, in one buffer (the same float64 operations)
    resid = np.multiply(p[None], want[:, None, None])
    np.subtract(found, resid, out=resid)
    np.multiply(resid, resid, out=resid)
    var = resid.sum(axis=0) * (m / max(m - 1, 1)) / (total * total)
    binom = p * (1 - p)
    with np.errstate(divide="ignore", invalid="ignore"):
        n_eff = np.where((binom > 0) & (var > 0), binom / np.where(var > 0, var, 1.0), m)
    n_eff = np.clip(n_eff, m, total)
    lo, hi = _bounds(p, n_eff)
    return p, lo, hi, _bounds(p, n_eff, _Z_EARLY)[0]


def recall_interval(found: npt.ArrayLike, need: npt.ArrayLike) -> tuple[float, float, float]:
    """Pooled recall of queries that found `found` of the `need` true
    neighbours each, with its 95% interval over queries (as the tuning
    takes it): (recall, low, high); 1.0 with nothing to find."""
    hits = np.asarray(found, np.int64).reshape(-1, 1, 1)
    p, lo, hi, _ = _recall(hits, np.asarray(need, np.int64).reshape(-1))
    return float(p[0, 0]), float(lo[0, 0]), float(hi[0, 0])


@dataclass
class _Option:
    b: int
    k: int
    l: int
    p: int
    lower: float
    recall: float
    interval: tuple[float, float]
    radius: tuple[float, tuple[float, float]] | None
    candidates: float
    cost: float


#: The columns of the options of a tuning, one row per (b, K, L, P).
_COLUMNS = (
    "b",
    "k",
    "l",
    "p",
    "lower",
    "early",
    "recall",
    "lo",
    "hi",
    "rrecall",
    "rlo",
    "rhi",
    "candidates",
    "cost",
    "over",
    "counted",
)


#: The engine's counts and hits of `_evaluate` (with the marks and first
#: tables they go on from), kept by what was hashed.
_Hashed = tuple[npt.NDArray[Any], ...]
_HashCache = dict[tuple[Any, ...], _Hashed]
#: The options of a tuning, one column per name of `_COLUMNS`.
_Columns = dict[str, npt.NDArray[Any]]


class _Batch:
    """The engine's measurements of several settings (`_candidate_counts_from`
    and `_neighbour_hits_from` calls), gathered and then made in one call
    of `_native._measure_many`, a task each on the worker pool: each result
    is the one its call alone returns."""

    def __init__(self) -> None:
        self.calls: list[tuple[Any, ...]] = []
        self.results: list[tuple[npt.NDArray[Any], ...]] = []

    def add(self, *call: Any) -> int:
        """Gathers a ("counts", ...) or ("hits", ...) call; its result will be results[returned]."""
        self.calls.append(call)
        return len(self.calls) - 1

    def run(self) -> None:
        self.results = _native._measure_many(self.calls) if self.calls else []


#: What a measurement gives once its batch has run.
_Pending = Callable[[], _Hashed]


def _hits(
    cache: _HashCache | None,
    key: tuple[Any, ...],
    b: int,
    s: npt.NDArray[np.int64],
    u: npt.NDArray[np.float64],
    truths: list[_Truth],
    flips: int,
    batch: _Batch,
) -> _Pending:
    """The engine's per-query hits (m, flips + 1, L) of each truth with the
    tables of `s` and `u` (b cells), once `batch` has run; kept in `cache`
    under `key` (one per cells and components) with, per pair, the first
    table that finds it at each probe count. A query's hits are its own,
    and the first L tables of a draw are those of any smaller one: hits
    kept for more tables are cut to L; hits kept for fewer go on from the
    tables they searched, for the pairs not yet found; the queries a truth
    gained since are hashed alone."""
    L = s.shape[0]

    def fresh(t: _Truth, start: int) -> int:
        """The call for the hits and first tables of the queries of `t` from `start` on, with the L tables."""
        pairs = int(np.searchsorted(t.owner, start)) if start else 0
        queries, neighbours, owner = (
            (t.queries[start:], t.neighbours[pairs:], t.owner[pairs:] - start)
            if start
            else (t.queries, t.neighbours, t.owner)
        )
        first = np.full((owner.size, flips + 1), -1, np.int64)
        zero = np.zeros(queries.shape[0], np.int64)
        return batch.add("hits", b, s, u, queries, neighbours, owner, flips, zero, first)

    def wider(t: _Truth, h: npt.NDArray[np.int64], f: npt.NDArray[np.int64]) -> int:
        """The call for the hits and first tables of `t` with the L tables, from
        those kept for fewer (h, f): their queries go on from the tables
        searched, those gained since start from the first."""
        kept = min(h.shape[0], t.queries.shape[0])
        pairs = int(np.searchsorted(t.owner, kept))
        first = np.concatenate([f[:pairs], np.full((t.owner.size - pairs, flips + 1), -1, np.int64)])
        start = np.zeros(t.queries.shape[0], np.int64)
        start[:kept] = h.shape[2]
        return batch.add("hits", b, s, u, t.queries, t.neighbours, t.owner, flips, start, first)

    def made(i: int) -> _Pending:
        return lambda: batch.results[i]

    def cut(h: npt.NDArray[np.int64], f: npt.NDArray[np.int64]) -> _Pending:
        return lambda: (h, f)

    def joined(h: npt.NDArray[np.int64], f: npt.NDArray[np.int64], i: int) -> _Pending:
        return lambda: (np.concatenate([h, batch.results[i][0]]), np.concatenate([f, batch.results[i][1]]))

    n = len(truths)
    kept = None if cache is None else cache.get(key)
    parts: list[_Pending]  # per truth, its (hits, first) once the batch has run
    if kept is None or len(kept) != 2 * n:
        parts = [made(fresh(t, 0)) for t in truths]
    elif kept[0].shape[2] < L:
        parts = [made(wider(t, h, f)) for t, h, f in zip(truths, kept[:n], kept[n:], strict=True)]
    else:
        parts = []
        for t, h, f in zip(truths, kept[:n], kept[n:], strict=True):
            m = t.queries.shape[0]
            if h.shape[0] >= m:
                parts.append(cut(h[:m, :, :L], f[: int(np.searchsorted(t.owner, m))]))
            else:
                parts.append(joined(h[:, :, :L], f, fresh(t, h.shape[0])))
    wider_kept = kept is not None and len(kept) == 2 * n and kept[0].shape[2] > L

    def finish() -> _Hashed:
        both = [part() for part in parts]
        out = tuple(h for h, _ in both)
        if cache is not None and not wider_kept:  # the wider hits stay kept
            cache[key] = out + tuple(f for _, f in both)
        return out

    return finish


def _counts(
    cache: _HashCache | None,
    key: tuple[Any, ...],
    b: int,
    s: npt.NDArray[np.int64],
    u: npt.NDArray[np.float64],
    counted: npt.NDArray[np.float64],
    queries: npt.NDArray[np.float64],
    flips: int,
    share: float,
    batch: _Batch,
) -> _Pending:
    """The engine's candidate counts (entries, distinct), both (flips + 1, L),
    of `queries` in the buckets of `counted` with the tables of `s` and `u`
    (b cells; distinct -1 past `share` of the points per query), once
    `batch` has run; kept in `cache` under `key` (one per cells,
    components, counted points and queries) with, per query and point, the
    lowest probe that gathered it. The first L tables of a draw are those
    of any smaller one: counts kept for more tables are cut to L, counts
    kept for fewer go on from the tables they counted."""
    L = s.shape[0]
    kept = None if cache is None else cache.get(key)
    if kept is not None and kept[0].shape[1] >= L:
        entries, distinct = kept[0][:, :L], kept[1][:, :L]
        return lambda: (entries, distinct)
    if kept is None:
        none = np.zeros((flips + 1, 0), np.int64)
        kept = (none, none, np.full((queries.shape[0], counted.shape[0]), flips + 1, np.uint8))
    bound = queries.shape[0] * counted.shape[0] * share
    i = batch.add("counts", b, s, u, counted, queries, flips, bound, *kept)

    def finish() -> _Hashed:
        entries, distinct, best = batch.results[i]
        if cache is not None:
            cache[key] = (entries, distinct, best)
        return entries, distinct

    return finish


@functools.cache
def _grids(rows: int, L: int) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]:
    """The probes p and tables l of each cell of a (rows, L) grid of options
    (read-only: kept for the next setting of the same size)."""
    p_grid = np.repeat(np.arange(rows), L).reshape(rows, L)
    l_grid = np.tile(np.arange(1, L + 1), rows).reshape(rows, L)
    p_grid.flags.writeable = l_grid.flags.writeable = False
    return p_grid, l_grid


def _evaluate(
    b: int,
    k: int,
    s: npt.NDArray[np.int64],
    u: npt.NDArray[np.float64],
    d: int,
    n_total: int,
    truths: list[_Truth],
    radius_truth: _Truth | None,
    counted: npt.NDArray[np.float64],
    tables: int | None,
    probes: int | None,
    target: float,
    cost: CostModel,
    batch: _Batch,
    cache: _HashCache | None = None,
    interval: bool = True,
    costing: npt.NDArray[np.float64] | None = None,
) -> Callable[[], tuple[_Columns, tuple[float, int]]]:
    """Every (L, P) of one (b, K) with the tables of `s` and `u` (L up to
    their count), as columns (`_COLUMNS`), measured by the engine's hashing
    (`plovik._native`); and `_more_tables` of them (inf when the tables are
    given): what the returned function gives once `batch`, which the
    engine's calls are added to, has run. The counts and hits it hashes
    are kept in `cache` for the same setting on the same counted points or
    the same queries.
    Without `interval` only the point estimates of recall are taken (the
    bounds are NaN): enough to screen settings, not to choose one.
    `costing`: the queries whose candidates are counted (default: the
    first COST_QUERIES of each kind of `truths` that costs a setting)."""
    L = s.shape[0]
    P_all = min(k, probes if probes is not None else MAX_PROBES)
    scale = n_total / counted.shape[0]
    cost_queries = (
        np.concatenate([t.queries[:COST_QUERIES] for t in truths if t.costed]) if costing is None else costing
    )
    m_cost = cost_queries.shape[0]
    counts = _counts(
        cache, ("counts", b, k, counted.shape[0], m_cost), b, s, u, counted, cost_queries, P_all, MAX_SHARE, batch
    )
    hits_of = _hits(cache, ("hits", b, k), b, s, u, truths, P_all, batch)
    radius_of = None if radius_truth is None else _hits(cache, ("radius", b, k), b, s, u, [radius_truth], P_all, batch)

    def finish() -> tuple[_Columns, tuple[float, int]]:
        entries, distinct = counts()
        hits = hits_of()
        measured = [_recall(h, t.need, interval) for h, t in zip(hits, truths, strict=True)]
        if interval:
            # per (p, l), the kind of queries with the lowest bound
            lows = np.stack([m[1] for m in measured]) if len(measured) > 1 else measured[0][1][None]
            worst = np.argmin(lows, axis=0)

            def pick(j: int) -> npt.NDArray[np.float64]:
                """Column j of `_recall` of the kind of queries with the lowest bound, per (p, l)."""
                if len(measured) == 1:
                    return measured[0][j]
                column: npt.NDArray[np.float64] = np.choose(worst, [m[j] for m in measured])
                return column

            lower, early = lows.min(axis=0), np.min([m[3] for m in measured], axis=0)
            recall, lo, hi = pick(0), pick(1), pick(2)
        else:
            # the point estimates alone: the kind of queries with the lowest recall; no bounds
            recall = functools.reduce(np.minimum, [m[0] for m in measured])
            lower = early = lo = hi = np.full(recall.shape, np.nan)

        if radius_truth is not None and radius_of is not None:
            (radius_hits,) = radius_of()
            rr, rlo, rhi, rearly = _recall(radius_hits, radius_truth.need, interval)
        else:
            rr = rlo = rhi = rearly = np.ones_like(recall)
        over = distinct < 0  # beyond the budget: distinct taken as entries
        cand = np.where(over, entries, distinct) * scale / m_cost
        gathered = entries * scale / m_cost
        p_grid, l_grid = _grids(P_all + 1, L)
        cols = dict(
            b=np.full(p_grid.shape, b),
            k=np.full(p_grid.shape, k),
            l=l_grid,
            p=p_grid,
            lower=lower,
            early=np.minimum(early, rearly),
            recall=recall,
            lo=lo,
            hi=hi,
            rrecall=rr,
            rlo=rlo,
            rhi=rhi,
            candidates=cand,
            cost=cost.index(d, k, l_grid, np.minimum(p_grid, k), gathered, cand),
            over=over,
            counted=entries,
        )
        more = (
            (math.inf, L)
            if tables is not None
            else _more_tables(
                np.minimum(cols["recall"], rr) if radius_truth is not None else cols["recall"],
                over,
                gathered,
                cand,
                target,
                d,
                k,
                range(P_all + 1) if probes is None else (P_all,),
                cost,
            )
        )
        if probes is None and tables is None:
            return {name: col.ravel() for name, col in cols.items()}, more
        keep = (
            slice(None) if probes is None else slice(P_all, P_all + 1),
            slice(None) if tables is None else slice(L - 1, L),
        )
        return {name: np.asarray(col)[keep].ravel() for name, col in cols.items()}, more

    return finish


def _more_tables(
    recall: npt.NDArray[np.float64],
    over: npt.NDArray[np.bool_],
    gathered: npt.NDArray[np.float64],
    cand: npt.NDArray[np.float64],
    target: float,
    d: int,
    k: int,
    probes: Iterable[int],
    cost: CostModel,
) -> tuple[float, int]:
    """The least cost a setting of this (b, K) with more tables than the L
    measured (columns (P + 1, L)) could have if it reaches the target, and
    the tables it would take (inf, L: none can).

    Its tables are at least L + 1 and at least the point where the misses,
    falling per table as they fell over the last L / 2 tables, reach
    1 - target: the misses of a query's neighbours fall geometrically with
    the tables, and those of many queries, a mixture, fall ever slower, so
    this extrapolation asks for no more tables than are needed. Its entries
    grow with the tables in proportion, its distinct candidates cannot
    shrink. A guide to what is worth measuring, not a measurement.
    """
    L = recall.shape[1]
    h = max(1, L // 2)  # the misses of h tables against those of L
    least, wanted = math.inf, L
    # the columns read, as Python floats: the same float64 arithmetic, without NumPy's scalars
    at_l, at_h, past = recall[:, L - 1].tolist(), recall[:, h - 1].tolist(), over[:, -1].tolist()
    entries, distinct = gathered[:, -1].tolist(), cand[:, -1].tolist()
    for p in probes:
        if past[p]:
            continue  # more tables gather yet more
        miss, before = 1.0 - at_l[p], 1.0 - at_h[p]
        need = L + 1
        if miss > 1.0 - target and h < L:
            if not 0.0 < miss < before:
                continue  # no fall to extrapolate: more tables of it are not expected to reach the target
            if target >= 1.0:
                need = MAX_TABLES  # misses never extrapolate to none: the most tables a tuning tries
            else:
                per_table = math.log(miss / before) / (L - h)
                need = max(need, math.ceil(L + math.log((1.0 - target) / miss) / per_table))
        if need > MAX_TABLES:
            continue
        at = cost.index(d, k, need, min(p, k), entries[p] * need / L, distinct[p])
        if at < least:
            least, wanted = at, need
    return least, wanted


def _cheapest(options: dict[str, np.ndarray], target: float, radius: bool, by: str = "recall") -> float:
    """The least cost of an option that reaches the target (inf: none) by the
    point estimate of its recall (`by` "recall"), its 95% lower bound
    ("lower") or its 99% one ("early"), as `_choose` takes them."""
    if by == "recall":
        recall = np.minimum(options["recall"], options["rrecall"]) if radius else options["recall"]
    elif by == "lower":
        recall = np.minimum(options["lower"], options["rlo"]) if radius else options["lower"]
    else:
        recall = options["early"]
    reach = (recall >= target) & ~options["over"]
    return float(options["cost"][reach].min()) if reach.any() else math.inf


def _promising(
    todo: list[tuple[int, int]], options: dict[str, np.ndarray], target: float, radius: bool
) -> list[tuple[int, int]]:
    """The KEEP_SHAPES (b, K) of `todo` whose options reach the target at the
    least cost (by the point estimate of their recall), then those that come
    closest to it; in the order of `todo`."""
    recall = np.minimum(options["recall"], options["rrecall"]) if radius else options["recall"]
    score = []
    for b, kk in todo:
        mine = (options["b"] == b) & (options["k"] == kk)
        reach = mine & (recall >= target) & ~options["over"]
        score.append((float(options["cost"][reach].min()) if reach.any() else math.inf, -float(recall[mine].max())))
    keep = sorted(range(len(todo)), key=lambda i: (*score[i], i))[:KEEP_SHAPES]
    return [todo[i] for i in sorted(keep)]


def _least_counted(todo: list[tuple[int, int]], options: dict[str, np.ndarray], target: float, radius: bool) -> float:
    """The fewest entries counted (summed over the queries) at the cheapest
    option of a (b, K) of `todo` that reaches the target by the point
    estimate: the relative error of its cost is about one over its square
    root. 0 when none of them reaches the target."""
    recall = np.minimum(options["recall"], options["rrecall"]) if radius else options["recall"]
    reach = (recall >= target) & ~options["over"]
    least = []
    for b, kk in todo:
        mine = reach & (options["b"] == b) & (options["k"] == kk)
        if mine.any():
            least.append(float(options["counted"][mine][np.argmin(options["cost"][mine])]))
    return min(least) if least else 0.0


def _choose(options: dict[str, np.ndarray], target: float, radius: bool, early: bool = False) -> tuple[_Option, bool]:
    """The cheapest option that reaches the target (and whether one does);
    else the one with the highest bound. Settings that gather more than
    MAX_SHARE of the points are only a last resort."""
    valid = ~options["over"] if not options["over"].all() else np.ones(options["over"].size, bool)
    bound = np.minimum(options["lower"], options["rlo"]) if radius else options["lower"]
    if early:  # reaching needs the 99% bound (`_Z_EARLY`)
        bound = options["early"]
    reach = valid & (bound >= target)
    if reach.any():
        o = options
        order = np.lexsort((o["p"], o["l"], o["k"], o["b"], -o["lower"], o["cost"], ~reach))
    else:
        order = np.lexsort((options["cost"], -bound, ~valid))
    i = int(order[0])
    o = {name: col[i] for name, col in options.items()}
    return _Option(
        int(o["b"]),
        int(o["k"]),
        int(o["l"]),
        int(o["p"]),
        float(o["lower"]),
        float(o["recall"]),
        (float(o["lo"]), float(o["hi"])),
        (float(o["rrecall"]), (float(o["rlo"]), float(o["rhi"]))) if radius else None,
        float(o["candidates"]),
        float(o["cost"]),
    ), bool(reach.any())


def _sample_rows(rng: np.random.Generator, n: int, m: int) -> npt.NDArray[np.int64]:
    return np.sort(rng.choice(n, m, replace=False)) if m < n else np.arange(n)


#: Points of the data whose cells give the grid's occupancy near the
#: queries (`_grid_cost`), and sample queries of each kind it is counted at.
GRID_SAMPLE = 50_000
GRID_QUERIES = 256


def _grid_cost(
    X: npt.NDArray[np.float64],
    queries: npt.NDArray[np.float64] | None,
    k: int,
    n_total: int,
    seed: int,
    cost: CostModel,
) -> tuple[float, float]:
    """The modelled cost of a k-nearest query through the grid a search
    makes for n_total points like X (`plovik.grid.grid_cells`), and the
    points it reads: at the occupancy of the cells around sample points of
    X (each asked as a fresh query) and, when given, around the caller's
    queries, the costlier of the two. Clustered data are priced by the
    density of their clusters, where the queries are. Drawn from its own
    stream of the seed: deterministic."""
    n, d = X.shape
    rng = np.random.default_rng([seed, 0x67726964])
    P = X[rng.choice(n, GRID_SAMPLE, replace=False)] if n > GRID_SAMPLE else X[rng.permutation(n)]
    cells = _grid.grid_cells(n_total, d, k=k)
    m = min(GRID_QUERIES, n)
    near = [_grid.occupancy_near(P, P[:m], cells, n_total, own=m)]
    if queries is not None and len(queries):
        Q = queries[rng.choice(len(queries), GRID_QUERIES, replace=False)] if len(queries) > GRID_QUERIES else queries
        near.append(_grid.occupancy_near(P, Q, cells, n_total))
    return max((cost.grid(d, k, cells, o), grid_reads(d, k, cells, o)[1]) for o in near)


def tune(
    X: npt.NDArray[np.float64],
    *,
    target: float,
    k: int,
    seed: int,
    queries: npt.NDArray[np.float64] | None = None,
    sample: int | None = None,
    capacity: int | None = None,
    radius: float | None = None,
    cells: int | None = None,
    components: int | None = None,
    tables: int | None = None,
    probes: int | None = None,
    allow_exact: bool | str = True,
    cost: CostModel = COST,
    scan: ExactScan | None = None,
    with_grid: bool = True,
) -> tuple[Tuning, npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """Tune the settings for the rows of X (finite float64, (n, d)); see the module doc.

    Returns the report and the index's `s` and `u`. Deterministic in (X,
    queries, seed and the other arguments). Settings given are kept. `scan`:
    `ExactScan(X)` when the caller has it (the search keeps it for its exact
    answers), else made here when needed. `allow_exact="always"` reports
    the exact scan at once, nothing measured; "grid" the same through a grid.
    `with_grid=False` leaves the grid out (a metric it does not measure: `scan`'s).
    """
    start = time.perf_counter()
    n, d = X.shape
    n_total = max(n, capacity or 0)
    # The exact answer the tuning weighs against the hash settings: the
    # grid's where it is modelled cheaper than the scan (or asked for).
    scan_cost = cost.exact(n_total, d)
    grid_cost, grid_read = (
        _grid_cost(X, queries, k, n_total, seed, cost)
        if allow_exact == "grid" or (with_grid and allow_exact is True and 1 <= d <= GRID_MAX_D and n > 0)
        else (math.inf, math.inf)
    )
    grid = allow_exact == "grid" or grid_cost < scan_cost
    exact_cost, exact_read = (grid_cost, grid_read) if grid else (scan_cost, float(n_total))
    rng = np.random.default_rng([seed, 0x74756E65])  # the sampling stream, apart from the hash draws
    weights = coordinate_weights(spread(X, rng))

    def draw_rng() -> np.random.Generator:
        return np.random.default_rng(seed)

    def exact_report(sample: int) -> tuple[Tuning, npt.NDArray[np.int64], npt.NDArray[np.float64]]:
        # The report names the setting the sizes suggest (a search holds no
        # table for it); `s` and `u` are drawn for it as for any setting.
        b, kk = shapes(n_total, d, cells, components)[0]
        L, P = tables or 1, min(kk, probes or 0)
        s, u = draw_weighted_parameters(draw_rng(), weights, L, kk)
        report = Tuning(
            exact=True,
            cells=b,
            components=kk,
            tables=L,
            probes=P,
            recall=1.0,
            interval=(1.0, 1.0),
            radius_recall=None if radius is None else 1.0,
            radius_interval=None if radius is None else (1.0, 1.0),
            sample=sample,
            target=target,
            k=k,
            radius=radius,
            candidates=exact_read,
            cost=exact_cost,
            exact_cost=scan_cost,
            n=n_total,
            occupancy=n_total / float(b) ** kk,
            weights=tuple(float(w) for w in weights),
            reached=True,
            seconds=time.perf_counter() - start,
            grid=grid,
        )
        return report, s, u

    if allow_exact in ("always", "grid") or (allow_exact and scan_cost <= COST.exact(EXACT_BELOW, 1)):
        # The scan of so few points costs less than any setting that reaches
        # a useful recall: decided by the cost model alone, nothing measured
        # (a modelled query of at most what the calibrated model gives for
        # EXACT_BELOW coordinates: with that model, n * d <= EXACT_BELOW);
        # through the grid when the model prices it below the scan.
        return exact_report(0)

    m_self = min(sample if sample is not None else DEFAULT_SAMPLE, n)
    # Random order: any first m of them are a sample too.
    rows = rng.choice(n, m_self, replace=False) if m_self < n else np.arange(n)
    # The points whose buckets are counted, gathered when a round needs them
    # (a first round that decides for the exact answer needs a fifth of them).
    counted_rows = _sample_rows(rng, n, min(n, COUNT_SAMPLE, max(FIRST_COUNTED, n // COUNT_SHARE)))
    counted: npt.NDArray[np.float64] | None = None
    asked = None
    if queries is not None and len(queries):
        m_q = min(sample if sample is not None else DEFAULT_SAMPLE, len(queries))
        asked = queries[rng.choice(len(queries), m_q, replace=False)] if m_q < len(queries) else queries
    scan = scan_of_checked(X) if scan is None else scan
    # With byte coordinates the scan's price depends on how many tiles get
    # past them: priced from the first self-join truth (`_passing`), unless
    # the grid answers exactly (the report then keeps the scan's price per
    # point and coordinate).
    priced = not scan.coded or grid

    def price_scan(own: _Truth) -> None:
        """The scan's price from the self-join truth `own`, once."""
        nonlocal scan_cost, exact_cost, priced
        if not priced:
            reach = _reach(scan, own)
            scan_cost = (
                cost.exact(n_total, d, _passing(own, X[counted_rows[:PASSING_POINTS]], n_total, k))
                if reach is None
                else cost.ordered(n_total, d, reach * n_total / n)
            )
            priced = True
            exact_cost = exact_cost if grid else scan_cost

    # Each self-join sample point also gives a query between the points (`_between`).
    moves = _moves(np.random.default_rng([seed, 0x62657477]), m_self, d)

    def truths_of(m: int, have: list[_Truth]) -> list[_Truth]:
        """The truths of the first m sample queries of each kind, extending `have`."""
        done = [t.queries.shape[0] for t in have] if have else [0] * (2 + (asked is not None))
        these = rows[done[0] : m]
        if asked is None:
            own = _truth(scan, X, X[these], k, these)
        else:
            # the caller's queries in the same scan as the sample points (-1: not a point of X)
            more = asked[done[2] : m]
            both = _truth(
                scan,
                X,
                np.concatenate([X[these], more]),
                k,
                np.concatenate([these, np.full(more.shape[0], -1, np.int64)]),
            )
            own = both.head(these.size)
        between = _truth(scan, X, _between(own, *(a[done[0] : m] for a in moves)), k, None)
        out = [own, dataclasses.replace(between, costed=False)]
        if asked is not None:
            out.append(both.tail(these.size))
        return [a.extend(b) for a, b in zip(have, out, strict=True)] if have else out

    def radius_truth_of(m: int, have: _Truth | None) -> _Truth | None:
        """The radius truth of the first m self-join sample queries, extending `have`."""
        if radius is None:
            return None
        done = 0 if have is None else have.queries.shape[0]
        if have is not None and done >= m:
            return have
        these = rows[done:m]
        indptr, ids, dists = scan.radius(X[these], radius, these)
        owner = np.repeat(np.arange(these.size, dtype=np.int64), np.diff(indptr))
        copy = dists <= NEAR_COPY * d  # a point's copies are found for free, as in the k-nearest truth
        owner, ids = owner[~copy], ids[~copy]
        need = np.bincount(owner, minlength=these.size).astype(np.int64)
        more = _Truth(X[these], need, owner, X[ids])
        return more if have is None else have.extend(more)

    def sample_truths(m: int, have: list[_Truth], have_radius: _Truth | None) -> tuple[list[_Truth], _Truth | None]:
        """`truths_of` and `radius_truth_of` the first m sample queries."""
        if have and have[0].queries.shape[0] >= m:
            return have, have_radius
        return truths_of(m, have), radius_truth_of(m, have_radius)

    # the draw of a setting depends on its components, not on its cells
    drawn: dict[int, tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]] = {}
    done: dict[tuple[int, int, int, int, int, bool], tuple[_Columns, tuple[float, int]]] = {}
    hashed: _HashCache = {}  # `_evaluate`'s counts and hits

    def measured(
        wanted: list[tuple[tuple[int, int], int]],
        truths: list[_Truth],
        radius_truth: _Truth | None,
        counted: npt.NDArray[np.float64],
        interval: bool,
        costing: npt.NDArray[np.float64] | None,
    ) -> list[tuple[_Columns, tuple[float, int]]]:
        """`_evaluate` of each (b, K) of `wanted` with its first L tables (one
        batch of engine calls for all of them); a measurement already made on
        the same queries and counted points is not made again."""
        batch = _Batch()
        pending = {}
        keys = [(*shape, L, truths[0].queries.shape[0], counted.shape[0], interval) for shape, L in wanted]
        for (shape, L), key in zip(wanted, keys, strict=True):
            if key in done or key in pending:
                continue
            kk = shape[1]
            if kk not in drawn or drawn[kk][0].shape[0] < L:
                # the first L tables of a larger draw are those of a smaller
                # one: the most tables a tuning measures are drawn at once
                drawn[kk] = draw_weighted_parameters(draw_rng(), weights, max(L, MAX_TABLES), kk)
            s, u = drawn[kk]
            pending[key] = _evaluate(
                *shape,
                s[:L],
                u[:L],
                d,
                n_total,
                truths,
                radius_truth,
                counted,
                tables,
                probes,
                target,
                cost,
                batch,
                hashed,
                interval,
                costing,
            )
        batch.run()
        for key, finish in pending.items():
            done[key] = finish()
        return [done[key] for key in keys]

    def evaluate(
        todo: list[tuple[int, int]],
        width: dict[tuple[int, int], int],
        truths: list[_Truth],
        radius_truth: _Truth | None,
        counted: npt.NDArray[np.float64],
        by: str,
        costing: npt.NDArray[np.float64] | None = None,
    ) -> _Columns:
        """The options of every (b, K) of `todo`, each measured with its
        tables of `width` (updated), then more tables (up to MAX_TABLES)
        while a setting with more of them could cost less than both the
        exact scan and the cheapest setting that reaches the target (recall
        taken `by`): the (b, K) whose such setting could cost least first,
        since what it reaches may rule the others out. `costing`: as `_evaluate`'s."""
        if tables is not None:
            width.update((shape, tables) for shape in todo)
        found = dict(
            zip(
                todo,
                measured([(sh, width[sh]) for sh in todo], truths, radius_truth, counted, by != "recall", costing),
                strict=True,
            )
        )
        least = {shape: _cheapest(found[shape][0], target, radius is not None, by) for shape in todo}
        while True:
            bound = min(min(least.values()), exact_cost if allow_exact else math.inf)
            could = [
                (found[sh][1][0], i) for i, sh in enumerate(todo) if width[sh] < MAX_TABLES and found[sh][1][0] < bound
            ]
            if not could and not allow_exact and tables is None and math.isinf(min(least.values())):
                # nothing reaches the target and nothing exact is allowed: the (b, K) of the
                # highest recall so far (within MAX_SHARE) gets the most tables, the best this
                # tuning can offer
                top = max(
                    todo, key=lambda sh: float(np.max(found[sh][0]["recall"], where=~found[sh][0]["over"], initial=0.0))
                )
                if width[top] < MAX_TABLES:
                    width[top] = MAX_TABLES
                    (found[top],) = measured(
                        [(top, MAX_TABLES)], truths, radius_truth, counted, by != "recall", costing
                    )
                    least[top] = _cheapest(found[top][0], target, radius is not None, by)
                    continue
            if not could:
                return {name: np.concatenate([found[sh][0][name] for sh in todo]) for name in _COLUMNS}
            sh = todo[min(could)[1]]
            # a power of two at least the tables wanted (the extrapolation asks for too few more often
            # than not), at most WIDEN times as many: extrapolated from few tables, the misses often
            # fall slower than they seemed, and a nearer measurement rules such a (b, K) out cheaply
            wanted = max(2 * width[sh], min(found[sh][1][1], WIDEN * width[sh]))
            width[sh] = min(MAX_TABLES, 1 << (wanted - 1).bit_length())
            (found[sh],) = measured([(sh, width[sh])], truths, radius_truth, counted, by != "recall", costing)
            least[sh] = _cheapest(found[sh][0], target, radius is not None, by)

    # The truth of the whole sample when it is cheap; else of FIRST_QUERIES
    # queries of each kind, doubled while no setting's bound is decisive.
    m_max = max(m_self, 0 if asked is None else asked.shape[0])
    m = m_max if m_max * cost.exact(n, d) <= TRUTH_AT_ONCE else min(m_max, FIRST_QUERIES)
    # Every (b, K) on SCREEN_QUERIES queries (their candidates counted for
    # FIRST_QUERIES) and FIRST_COUNTED points first, with FIRST_TABLES
    # tables and more only where more could pay; the few most promising of
    # them on all the sample. The truth of the first round's queries alone
    # is taken before it: when it decides for the exact scan, no more. (A
    # second screen of every shape on FIRST_QUERIES picked no cheaper
    # settings over two dozen shapes, and cost up to a fifth of the tuning.)
    # With a capacity, the settings are those of the capacity (its bucket
    # occupancy, its candidates per query), and their recall is measured on
    # the points of the build: the sparsest the tables will be.
    todo = shapes(n_total, d, cells, components)
    width = {shape: min(FIRST_TABLES, MAX_TABLES) for shape in todo}
    truths: list[_Truth] = []
    radius_truth: _Truth | None = None
    if len(todo) > KEEP_SHAPES:
        screened = X[counted_rows[:: max(1, counted_rows.size // FIRST_COUNTED)]]
        own_first = [X[rows[: min(FIRST_QUERIES, COST_QUERIES)]]]
        asked_first = [] if asked is None else [asked[: min(FIRST_QUERIES, COST_QUERIES)]]
        costing = np.concatenate(own_first + asked_first)
        # SCREEN_QUERIES decide for the exact scan, or pick the shapes that go on
        truths, radius_truth = sample_truths(min(m, SCREEN_QUERIES), truths, radius_truth)
        price_scan(truths[0])
        first = evaluate(todo, width, truths, radius_truth, screened, "recall", costing)
        if allow_exact and _cheapest(first, target, radius is not None, "recall") >= exact_cost:
            # no setting comes near the scan's cost, even by its point estimate
            return exact_report(sum(t.queries.shape[0] for t in truths))
        todo = _promising(todo, first, target, radius is not None)
        least = _least_counted(todo, first, target, radius is not None)
        if least >= COUNTED_ENOUGH:
            counted = screened  # the first round's counts will do: those of its queries are not made again
        elif least > 0:
            # as many counted points as give COUNTED_ENOUGH entries there (with a margin), not all of them
            want = COUNT_MARGIN * COUNTED_ENOUGH / least * screened.shape[0]
            step = int(counted_rows.size // max(want, 1.0))
            if step > 1:
                counted_rows = counted_rows[::step]
    counted = X[counted_rows] if counted is None else counted
    truths, radius_truth = sample_truths(m, truths, radius_truth)  # the rest of the first sample
    price_scan(truths[0])
    while True:
        options = evaluate(todo, width, truths, radius_truth, counted, "early" if m < m_max else "lower")
        best, reached = _choose(options, target, radius is not None, early=m < m_max)
        # Done with the whole sample, or when the setting more queries would
        # confirm costs no less than the exact answer, which is then chosen.
        if m >= m_max or (allow_exact and reached and best.cost >= exact_cost):
            break
        if reached:
            # An early stop is trusted only when the next sample queries bear it
            # out: picked among many settings on few queries, the cheapest that
            # reaches the target there may owe it to those queries.
            m_next = min(m_max, m + (m + 1) // 2)
            truths, radius_truth = sample_truths(m_next, truths, radius_truth)
            s_best, u_best = drawn[best.k]
            best, confirmed = _confirm(best, s_best[: best.l], u_best[: best.l], truths, radius_truth, m, target)
            m = m_next
            if confirmed:
                break
            continue
        m = min(m_max, 2 * m)
        truths, radius_truth = sample_truths(m, truths, radius_truth)
    use_exact = bool(allow_exact and (not reached or exact_cost <= best.cost))
    b, kk = best.b, best.k
    # The exact scan reads no table (a search then holds none): the report names one.
    L = (tables or 1) if use_exact else best.l
    if kk in drawn and drawn[kk][0].shape[0] >= L:
        s, u = np.ascontiguousarray(drawn[kk][0][:L]), np.ascontiguousarray(drawn[kk][1][:L])
    else:
        s, u = draw_weighted_parameters(draw_rng(), weights, L, kk)
    total = sum(t.queries.shape[0] for t in truths)
    report = Tuning(
        exact=use_exact,
        cells=b,
        components=kk,
        tables=L,
        probes=best.p,
        recall=1.0 if use_exact else best.recall,
        interval=(1.0, 1.0) if use_exact else best.interval,
        radius_recall=None if radius is None else (1.0 if use_exact else best.radius[0]),  # type: ignore[index]
        radius_interval=None if radius is None else ((1.0, 1.0) if use_exact else best.radius[1]),  # type: ignore[index]
        sample=total,
        target=target,
        k=k,
        radius=radius,
        # scaled to a capacity, the buckets keep their occupancy and a query its candidates
        candidates=exact_read if use_exact else best.candidates,
        cost=exact_cost if use_exact else best.cost,
        exact_cost=scan_cost,
        n=n_total,
        occupancy=n_total / float(b) ** kk,
        weights=tuple(float(w) for w in weights),
        reached=use_exact or reached,
        seconds=time.perf_counter() - start,
        grid=use_exact and grid,
    )
    if not report.reached:
        lo, hi = report.interval
        warn(
            f"no setting reaches recall {target} (k = {k}): the best found, {report.settings()}, "
            f"reaches {report.recall:.3f} (95% {lo:.3f}-{hi:.3f}); lower the target or allow the exact scan",
            RecallWarning,
        )
    return report, s, u


def keep(
    X: npt.NDArray[np.float64],
    report: Tuning,
    *,
    target: float,
    k: int,
    seed: int,
    capacity: int | None = None,
    cost: CostModel = COST,
    scan: ExactScan | None = None,
) -> tuple[Tuning, npt.NDArray[np.int64], npt.NDArray[np.float64]] | None:
    """The settings of `report` for the rows of X after a cheap check, or None
    when the check shows them missing the target, or costing more than
    `KEEP_COST` times what they cost before (then tune again).

    The hash parameters are drawn from the seed as `tune` draws them for
    those settings and coordinate weights, so a search built again with the
    same seed hashes as before. The check answers `CHECK_QUERIES` points of
    X exactly (a self-join sample, copies excluded as in `tune`) and measures
    the settings on them (through `scan` when given, else by a scan of the
    rows of X that lays nothing out ahead, `RowScan`): it fails only when
    the upper end of the recall's 95% interval lies below the target (a
    miss, not noise); the candidates
    of those queries are counted in 1,000 points. A report of the
    exact scan is kept as it is. The report returned holds the check's
    recall and sample; its radius figures are the earlier tuning's.
    """
    start = time.perf_counter()
    n, d = X.shape
    n_total = max(n, capacity or 0)
    weights = np.asarray(report.weights, np.float64)
    if weights.size != d:
        raise ValueError(f"the tuning is for {weights.size} coordinates, the points have {d}")
    s, u = draw_weighted_parameters(np.random.default_rng(seed), weights, report.tables, report.components)
    # the scan at the tuning's price per point and coordinate (its share of
    # tiles past the byte coordinates kept)
    per_point = (report.exact_cost - cost.per_query) / max(report.n * d, 1)
    scan_cost = cost.per_query + per_point * n_total * d
    recall, interval, sample = 1.0, (1.0, 1.0), 0
    if not report.exact and n > 0:
        rng = np.random.default_rng([seed, 0x6B656570])
        m = min(CHECK_QUERIES, n)
        rows = rng.choice(n, m, replace=False) if m < n else np.arange(n)
        # Without the caller's scan, the check's few queries scan the points
        # as they are: laying all of them out first would cost more.
        truth = _truth(RowScan(X) if scan is None else scan, X, X[rows], k, rows)
        hits = _native._neighbour_hits(report.cells, s, u, truth.queries, truth.neighbours, truth.owner, report.probes)
        p, lo, hi, _ = _recall(hits, truth.need)
        if hi[-1, -1] < target:
            return None
        recall, interval, sample = float(p[-1, -1]), (float(lo[-1, -1]), float(hi[-1, -1])), m
        counted = X[_sample_rows(rng, n, min(n, FIRST_COUNTED))]
        entries, distinct = _native._candidate_counts(
            report.cells, s, u, counted, truth.queries, report.probes, math.inf
        )
        scale = n_total / counted.shape[0] / m
        candidates = float(distinct[-1, -1]) * scale
        query_cost = cost.index(
            d,
            report.components,
            report.tables,
            min(report.probes, report.components),
            float(entries[-1, -1]) * scale,
            candidates,
        )
        if query_cost > KEEP_COST * report.cost:
            return None  # the data are denser: their buckets cost too much
    elif report.grid:
        query_cost, candidates = _grid_cost(X, None, k, n_total, seed, cost)
    else:
        candidates, query_cost = float(n_total), scan_cost
    kept = dataclasses.replace(
        report,
        recall=recall,
        interval=interval,
        sample=sample,
        target=target,
        k=k,
        n=n_total,
        candidates=candidates,
        cost=query_cost,
        exact_cost=scan_cost,
        occupancy=n_total / float(report.cells) ** report.components,
        seconds=time.perf_counter() - start,
    )
    return kept, s, u
