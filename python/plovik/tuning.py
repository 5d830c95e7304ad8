"""Choosing the hash settings of `PlovikSearch` from the data it indexes.

`tune` finds the cells b, components K, tables L and probes P, and draws the
coordinates each table hashes, so that the index reaches a recall target at
the least query cost:

1. Ground truth. A sample of the points (each its own query, excluding
   itself: the self-join) and, when given, a sample of the caller's queries
   are answered exactly by `plovik.exact.exact_knn` (and `exact_radius` for a
   radius hint).
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
   (b, K) gives every (L, P).
4. Cost of a setting, deterministically. The candidates a query gathers are
   counted in the buckets of a fixed subsample of the points and scaled to
   the whole (entries gathered, and distinct candidates, which get a distance
   each). The cost per query is a linear model of entries gathered, distances
   computed and tables and probes hashed, with constants measured once on the
   native backend (`COST`); it uses no clock, so the same seed and data give
   the same settings on every machine, thread count and backend. The exact
   scan costs `COST.scan` per point and coordinate.
5. Choice. Among the settings whose recall's 95% Wilson lower bound reaches
   the target (on the self-join sample and, separately, on the caller's
   queries), the cheapest; when the exact scan is cheaper than all of them, or
   none reaches the target, the search answers by the exact scan (unless
   that is switched off: then the setting with the highest recall, and a
   warning).
"""

from __future__ import annotations

import math
import time
import warnings
from dataclasses import dataclass, field

import numpy as np
import numpy.typing as npt

from plovik.exact import exact_knn, exact_radius
from plovik.lsh import PythonLshIndex, _expand

__all__ = ["COST", "CostModel", "RecallWarning", "Tuning", "draw_weighted_parameters", "spread", "tune", "wilson"]


class RecallWarning(UserWarning):
    """The index reaches less recall than asked, or has outgrown its tuning."""


@dataclass(frozen=True)
class CostModel:
    """Modelled nanoseconds per query: what the tuning minimises.

    index: per_table * L * K + per_probe * L * P + per_coordinate * entries * d
           + per_candidate * distinct + per_query
    exact scan: per_query + scan * n * d

    `entries` are the bucket entries a query gathers (an id in several probed
    buckets counted each time: the batched path measures every one of them),
    `distinct` the distinct candidates. The index constants were fitted by
    benchmarks/calibrate_cost.py to the native batched path on one thread
    (150 settings: d = 8, 16, 32, uniform and clustered, 100,000 points, on
    the two shared cores of the development machine under a load of about 3;
    the fit is within 11% for half of the settings, 68% at worst). `scan` is
    the exact scan's target throughput, 0.8 billion 16-coordinate distances
    per second per core.
    """

    per_table: float = 20.6
    per_probe: float = 142.0
    per_coordinate: float = 0.205
    per_candidate: float = 2.72
    per_query: float = 1250.0
    scan: float = 0.08

    def index(self, d: int, k: int, tables: float, probes: float, entries: float, distinct: float) -> float:
        return (
            self.per_table * tables * k
            + self.per_probe * tables * probes
            + self.per_coordinate * entries * d
            + self.per_candidate * distinct
            + self.per_query
        )

    def exact(self, n: int, d: int) -> float:
        return self.per_query + self.scan * n * d


#: The constants of the cost model, calibrated once (see `CostModel`).
COST = CostModel()

#: Largest tables and probes a tuning considers.
MAX_TABLES = 64
MAX_PROBES = 10
#: Largest share of the points a setting may gather per query (entries, duplicates counted).
MAX_SHARE = 0.5
#: Points whose buckets are counted to estimate the candidates of a setting,
#: and sample queries of each kind whose candidates are counted there.
COUNT_SAMPLE = 5_000
COST_QUERIES = 100
#: Default number of sample queries of each kind (self-join, caller's).
DEFAULT_SAMPLE = 300
#: Mean bucket occupancies tried for each number of cells.
_OCCUPANCIES = (4.0, 16.0, 64.0, 256.0)
_CELLS = (2, 3, 4, 6)
_Z = 1.959963984540054  # two-sided 95%
_I64_MAX = (1 << 63) - 1


def wilson(hits: int, total: int) -> tuple[float, float]:
    """95% Wilson score interval of a proportion (0, 1 with nothing measured)."""
    if total <= 0:
        return 0.0, 1.0
    p = hits / total
    z2 = _Z * _Z
    centre = p + z2 / (2 * total)
    half = _Z * math.sqrt(p * (1 - p) / total + z2 / (4 * total * total))
    return max(0.0, (centre - half) / (1 + z2 / total)), min(1.0, (centre + half) / (1 + z2 / total))


@dataclass(frozen=True)
class Tuning:
    """What `PlovikSearch.build` chose and why (`search.tuning`).

    Attributes:
        exact: True when queries are answered by the exact scan.
        cells, components, tables, probes: the hash settings of the index.
        recall: estimated recall@k of those settings (the lower of the
            self-join and caller's-queries estimates; 1.0 when exact).
        interval: its 95% Wilson interval.
        radius_recall, radius_interval: the same for the radius hint (None without one).
        sample: sample queries measured (self-join plus caller's).
        target, k, radius: what was asked.
        candidates: distinct candidates per query (estimated, at `n`).
        cost: modelled query cost, ns per query; `exact_cost`: the same for the exact scan.
        n: points tuned for (the data, or `capacity` when larger).
        occupancy: mean points per bucket at n (n / cells**components).
        weights: per coordinate, its share of the hashed coordinates.
        reached: whether the target is reached (always when exact).
        seconds: tuning time (wall clock; the only figure that differs between runs).
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

    def settings(self) -> dict[str, int]:
        """The four hash settings, as `PlovikSearch` keyword arguments."""
        return dict(cells=self.cells, components=self.components, tables=self.tables, probes=self.probes)

    def __str__(self) -> str:
        lo, hi = self.interval
        how = "exact scan" if self.exact else (
            f"b={self.cells}, K={self.components}, L={self.tables}, probes={self.probes}"
        )
        if self.radius is not None and self.radius_interval is not None:
            rlo, rhi = self.radius_interval
            how += f"; radius {self.radius:g} recall {self.radius_recall:.3f} (95% {rlo:.3f}-{rhi:.3f})"
        return (
            f"{how}; recall@{self.k} {self.recall:.3f} (95% {lo:.3f}-{hi:.3f}, {self.sample} queries), "
            f"{self.candidates:.0f} candidates/query, cost {self.cost / 1000:.1f} us/query "
            f"(exact scan {self.exact_cost / 1000:.1f}), tuned in {self.seconds:.2f} s"
        )


# ------------------------------------------------------------- coordinates


def spread(X: npt.NDArray[np.float64], rng: np.random.Generator, pairs: int = 4096) -> npt.NDArray[np.float64]:
    """Mean toroidal distance along each coordinate between random pairs of rows (0.25 if uniform)."""
    n = X.shape[0]
    if n < 2:
        return np.ones(X.shape[1])
    a = rng.integers(0, n, pairs)
    b = (a + rng.integers(1, n, pairs)) % n
    x = X[a] - np.floor(X[a])
    y = X[b] - np.floor(X[b])
    diff = np.abs(x - y)
    out: npt.NDArray[np.float64] = np.minimum(diff, 1.0 - diff).mean(axis=0)
    return out


def coordinate_weights(sp: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """Drawing probabilities from spreads: proportional, constant coordinates never drawn."""
    top = float(sp.max()) if sp.size else 0.0
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

    Row t of `s` is the first `components` entries of a sequence of random
    permutations of the coordinates with positive weight, each drawn without
    replacement with probabilities proportional to the weights (so distinct
    coordinates while components does not exceed them); `u` is uniform in
    [0, 1). Tables are drawn one after the other, so the first tables of a
    larger draw from the same generator are those of a smaller one.
    """
    live = np.flatnonzero(weights > 0)
    p = weights[live] / weights[live].sum()
    uniform = bool(np.all(p == p[0]))
    reps = -(-components // live.size)
    s = np.empty((tables, components), np.int64)
    u = np.empty((tables, components), np.float64)
    for t in range(tables):
        perms = [live[rng.permutation(live.size)] if uniform else rng.choice(live, live.size, replace=False, p=p)
                 for _ in range(reps)]
        s[t] = np.concatenate(perms)[:components]
        u[t] = rng.random(components)
    return s, u


# ---------------------------------------------------------- the search space


def _fits(b: int, k: int) -> bool:
    return b <= 1 or (k * math.log2(b) <= 62 and b**k <= _I64_MAX)


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
    """True neighbour pairs of one kind of sample queries."""

    queries: npt.NDArray[np.float64]  # (m, d)
    pair_query: npt.NDArray[np.int64]  # row in `queries`
    pair_point: npt.NDArray[np.int64]  # id in the data
    point_coords: npt.NDArray[np.float64]  # rows of the distinct pair points, ascending by id


def _truth_pairs(idx: npt.NDArray[np.int64]) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]:
    q, j = np.nonzero(idx >= 0)
    return q.astype(np.int64), idx[q, j]


def _first_hit(index: PythonLshIndex, probe_keys: npt.NDArray[np.int64], point_keys: npt.NDArray[np.int64],
               truth: _Truth, L: int, P: int) -> npt.NDArray[np.int64]:
    """(P + 1, pairs): the first table (or L) in which the pair is found with up to p probes."""
    pairs = truth.pair_query.size
    out = np.empty((P + 1, pairs), np.int64)
    step = max(1, (1 << 21) // (L * (P + 1)))
    for a in range(0, pairs, step):
        pk = probe_keys[truth.pair_query[a : a + step], :L, : P + 1]  # (pairs, L, P + 1)
        hit = pk == point_keys[a : a + step, :L, None]
        # first probe index that hits, per table; P + 1 when none does
        j = np.where(hit.any(axis=2), hit.argmax(axis=2), P + 1)  # (pairs, L)
        for p in range(P + 1):
            ok = j <= p
            out[p, a : a + step] = np.where(ok.any(axis=1), ok.argmax(axis=1), L)
    return out


def _recall_table(first: npt.NDArray[np.int64], L: int) -> npt.NDArray[np.int64]:
    """(P + 1, L) hits with the first l + 1 tables and p probes."""
    hits = np.zeros((first.shape[0], L), np.int64)
    for p in range(first.shape[0]):
        hits[p] = np.cumsum(np.bincount(first[p], minlength=L + 1)[:L])
    return hits


def _cost_tables(index: PythonLshIndex, probe_keys: npt.NDArray[np.int64], sorted_keys: npt.NDArray[np.int64],
                 sorted_ids: npt.NDArray[np.int64], L: int, P: int, bound: float) -> tuple[np.ndarray, np.ndarray]:
    """(P + 1, L) entries gathered and distinct candidates, summed over the queries, in the counted sample."""
    m = probe_keys.shape[0]
    n_s = sorted_keys.shape[1]
    pk = probe_keys[:, :L, : P + 1]
    # a probe key repeated within a table gathers nothing new
    dup = np.zeros(pk.shape, bool)
    for j in range(1, P + 1):
        dup[:, :, j] = (pk[:, :, :j] == pk[:, :, j : j + 1]).any(axis=2)
    lo = np.empty(pk.shape, np.int64)
    hi = np.empty(pk.shape, np.int64)
    for t in range(L):
        lo[:, t] = np.searchsorted(sorted_keys[t], pk[:, t], "left")
        hi[:, t] = np.searchsorted(sorted_keys[t], pk[:, t], "right")
    lens = np.where(dup, 0, hi - lo)
    per = lens.sum(axis=0)  # (L, P + 1)
    entries = np.cumsum(np.cumsum(per, axis=1).T, axis=1)  # (P + 1, L)
    # Settings that gather more entries than `bound` are not considered (a scan
    # of every point costs hardly more): their distinct candidates are not
    # counted (left at -1).
    lens = np.where((entries.T > bound)[None, :, :], 0, lens)
    distinct = np.zeros((P + 1, L), np.int64)
    # One sorted code per gathered entry: (query, id) major, then table, then
    # probe index. The first entry of a (query, id) with probe index <= p is
    # the first table that gathers it with p probes.
    pos, entry, _ = _expand(((np.arange(L) * n_s)[None, :, None] + lo).ravel(), lens.ravel())
    ids = sorted_ids.ravel()[pos]
    q_e, rest = np.divmod(entry, L * (P + 1))  # rest = t * (P + 1) + j
    code = (q_e * n_s + ids) * (L * (P + 1)) + rest
    code.sort()
    pair, rest = np.divmod(code, L * (P + 1))
    tab, probe = np.divmod(rest, P + 1)
    for p in range(P + 1):
        keep = probe <= p
        key, tk = pair[keep], tab[keep]
        first = np.ones(key.size, bool)
        first[1:] = key[1:] != key[:-1]
        distinct[p] = np.cumsum(np.bincount(tk[first], minlength=L)[:L])
    distinct[entries > bound] = -1
    return entries, distinct


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
    over_budget: bool


def _evaluate(b: int, k: int, weights, seed_rng, d: int, n_total: int, truths, radius_truth, counted,
              tables: int | None, probes: int | None, cost: CostModel) -> list[_Option]:
    """Every (L, P) of one (b, K) as options."""
    L = tables if tables is not None else MAX_TABLES
    P_all = min(k, probes if probes is not None else MAX_PROBES)
    s, u = draw_weighted_parameters(seed_rng(), weights, L, k)
    index = PythonLshIndex(b, k, L, P_all, s, u)
    keys_c = index._compute_keys(counted)
    sorted_keys, sorted_ids = index._sort_tier(keys_c, 0)
    scale = n_total / counted.shape[0]
    tables_hits = []
    all_truths = truths + ([radius_truth] if radius_truth is not None else [])
    entries = distinct = None
    m_cost = 0
    for truth in all_truths:
        pk = index._probe_keys(truth.queries)
        if truth is not radius_truth:
            pk_cost = pk[:COST_QUERIES]
            bound = pk_cost.shape[0] * counted.shape[0] * MAX_SHARE
            e, dd = _cost_tables(index, pk_cost, sorted_keys, sorted_ids, L, P_all, bound)
            entries = e if entries is None else entries + e
            distinct = dd if distinct is None else distinct + dd
            m_cost += pk_cost.shape[0]
        pts = np.unique(truth.pair_point)
        keys_p = index._compute_keys(truth.point_coords)  # (L, len(pts))
        point_keys = keys_p.T[np.searchsorted(pts, truth.pair_point)]  # (pairs, L)
        first = _first_hit(index, pk, point_keys, truth, L, P_all)
        tables_hits.append((_recall_table(first, L), truth.pair_query.size))
    options = []
    p_range = [P_all] if probes is not None else range(P_all + 1)
    l_range = [L] if tables is not None else range(1, L + 1)
    n_knn = len(truths)
    for p in p_range:
        for l in l_range:
            lows, recs, ivs = [], [], []
            for hits, total in tables_hits:
                h = int(hits[p, l - 1])
                iv = wilson(h, total) if total else (1.0, 1.0)  # nothing to find: nothing missed
                lows.append(iv[0])
                recs.append(h / total if total else 1.0)
                ivs.append(iv)
            worst = min(range(n_knn), key=lambda i: lows[i])
            rad = (recs[-1], ivs[-1]) if radius_truth is not None else None
            over = distinct[p, l - 1] < 0  # beyond the budget: distinct taken as entries
            cand = (entries if over else distinct)[p, l - 1] * scale / m_cost
            c = cost.index(d, k, l, min(p, k), entries[p, l - 1] * scale / m_cost, cand)
            options.append(_Option(b, k, l, p, min(lows), recs[worst], ivs[worst], rad, float(cand), c, over))
    return options


def _sample_rows(rng: np.random.Generator, n: int, m: int) -> npt.NDArray[np.int64]:
    return np.sort(rng.choice(n, m, replace=False)) if m < n else np.arange(n)


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
    allow_exact: bool = True,
    cost: CostModel = COST,
) -> tuple[Tuning, npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """Tune the settings for the rows of X (finite float64, (n, d)); see the module doc.

    Returns the report and the index's `s` and `u`. Deterministic in (X,
    queries, seed and the other arguments). Settings given are kept.
    """
    start = time.perf_counter()
    n, d = X.shape
    n_total = max(n, capacity or 0)
    m_self = min(sample if sample is not None else DEFAULT_SAMPLE, n)
    rng = np.random.default_rng([seed, 0x74756E65])  # the sampling stream, apart from the hash draws
    rows = _sample_rows(rng, n, m_self)
    weights = coordinate_weights(spread(X, rng))
    counted = X[_sample_rows(rng, n, min(n, COUNT_SAMPLE))]

    def truth_of(Q, ex) -> _Truth:
        idx, _ = exact_knn(X, Q, k, ex)
        pq, pp = _truth_pairs(idx)
        return _Truth(Q, pq, pp, X[np.unique(pp)])

    truths = [truth_of(X[rows], rows)]
    if queries is not None and len(queries):
        m_q = min(sample if sample is not None else DEFAULT_SAMPLE, len(queries))
        truths.append(truth_of(queries[_sample_rows(rng, len(queries), m_q)], None))
    radius_truth = None
    if radius is not None:
        indptr, ids, _ = exact_radius(X, X[rows], radius, rows)
        pq = np.repeat(np.arange(rows.size), np.diff(indptr))
        radius_truth = _Truth(X[rows], pq, ids, X[np.unique(ids)])

    def draw_rng() -> np.random.Generator:
        return np.random.default_rng(seed)

    def ok(o: _Option) -> bool:
        return o.lower >= target and (o.radius is None or o.radius[1][0] >= target)

    def evaluate(todo: list[tuple[int, int]]) -> list[_Option]:
        out: list[_Option] = []
        for b, kk in todo:
            out += _evaluate(b, kk, weights, draw_rng, d, n, truths, radius_truth, counted, tables, probes, cost)
        return out

    # Tuned for the n points of the data (scaled to the capacity below).
    options = evaluate(shapes(n, d, cells, components))

    # Settings that gather more than MAX_SHARE of the points are only a last resort.
    options = [o for o in options if not o.over_budget] or options
    reaching = [o for o in options if ok(o)]
    key = lambda o: (o.cost, -o.lower, o.b, o.k, o.l, o.p)  # noqa: E731
    exact_cost = cost.exact(n_total, d)
    best = min(reaching, key=key) if reaching else max(
        options, key=lambda o: (min(o.lower, o.radius[1][0] if o.radius else 1.0), -o.cost))
    use_exact = bool(allow_exact and (not reaching or exact_cost <= best.cost))
    b, kk = best.b, best.k
    if n_total > n and not use_exact:
        b, kk = _scale(b, kk, n, n_total)
    s, u = draw_weighted_parameters(draw_rng(), weights, best.l, kk)
    total = sum(t.queries.shape[0] for t in truths)
    report = Tuning(
        exact=use_exact,
        cells=b, components=kk, tables=best.l, probes=best.p,
        recall=1.0 if use_exact else best.recall,
        interval=(1.0, 1.0) if use_exact else best.interval,
        radius_recall=None if radius is None else (1.0 if use_exact else best.radius[0]),  # type: ignore[index]
        radius_interval=None if radius is None else ((1.0, 1.0) if use_exact else best.radius[1]),  # type: ignore[index]
        sample=total, target=target, k=k, radius=radius,
        # scaled to a capacity, the buckets keep their occupancy and a query its candidates
        candidates=float(n_total) if use_exact else best.candidates,
        cost=exact_cost if use_exact else best.cost,
        exact_cost=exact_cost, n=n_total, occupancy=n_total / float(b) ** kk,
        weights=tuple(float(w) for w in weights), reached=use_exact or bool(reaching),
        seconds=time.perf_counter() - start,
    )
    if not report.reached:
        lo, hi = report.interval
        warnings.warn(
            f"no setting reaches recall {target} (k = {k}): the best found, {report.settings()}, "
            f"reaches {report.recall:.3f} (95% {lo:.3f}-{hi:.3f}); lower the target or allow the exact scan",
            RecallWarning, stacklevel=5)  # the caller of build or retune, past its lock
    return report, s, u


def _scale(b: int, k: int, n: int, n_total: int) -> tuple[int, int]:
    """The same occupancy for n_total points: more components, or more cells when K stays."""
    grow = n_total / max(n, 1)
    extra = round(math.log(grow) / math.log(b)) if b > 1 else 0
    if extra >= 1 and _fits(b, k + extra):
        return b, k + extra
    nb = max(2, round(b * grow ** (1.0 / k)))
    while nb > 2 and not _fits(nb, k):
        nb -= 1
    return nb, k
