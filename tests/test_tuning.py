"""Tuning to a recall target: the exact scan it measures against, the recall
reached on differently shaped data, reproducibility, growth and retuning,
the warnings and the rejected settings."""

import warnings

import numpy as np
import pytest

import plovik
from plovik import PlovikSearch, _native, RecallWarning, datasets, exact_knn, exact_radius
from plovik.exact import recall_at_k
from plovik.tuning import CostModel, coordinate_weights, draw_weighted_parameters, tune, wilson



def test_exact_scan_is_the_native_scan_of_the_converted_input():
    # the scan itself against brute force: test_exact.py
    rng = np.random.default_rng(2)
    P, Q = rng.integers(0, 4, (257, 16)) / 4, rng.random((27, 16)) - 3.0  # ties, coordinates to wrap
    ex = np.r_[np.arange(20), np.full(7, -1)]
    for got, want in [(exact_knn(P.tolist(), Q.astype(np.float32), 7, ex.tolist()),
                       _native.exact_knn(P, Q.astype(np.float32).astype(np.float64), 7, ex)),
                      (exact_radius(P, Q, 1.9, ex), _native.exact_radius(P, Q, 1.9, ex))]:
        assert all(np.array_equal(a, b) for a, b in zip(got, want, strict=True))


# -------------------------------------------------------------- statistics


@pytest.mark.parametrize("hits, total, lower, upper", [
    # the 95% score intervals of Newcombe (1998), Table I, examples (a) to (d)
    (81, 263, 0.2553, 0.3662), (15, 148, 0.0624, 0.1605), (0, 20, 0.0, 0.1611), (1, 29, 0.0061, 0.1718),
    (29, 29, 0.8830, 1.0), (0, 0, 0.0, 1.0)])  # all hits: n / (n + z**2)
def test_wilson_interval_has_the_textbook_values(hits, total, lower, upper):
    lo, hi = wilson(hits, total)
    assert (lo, hi) == (pytest.approx(lower, abs=5e-5), pytest.approx(upper, abs=5e-5))
    if total:  # misses have the mirrored interval
        assert wilson(total - hits, total) == (pytest.approx(1 - hi, abs=1e-12), pytest.approx(1 - lo, abs=1e-12))


@pytest.mark.parametrize("spreads, weights", [
    ([0.2, 0.1, 0.0, 1e-9], [2 / 3, 1 / 3, 0, 0]),  # proportional; a spread below 1e-6 of the largest is none
    ([0.25, 0.2], [5 / 9, 4 / 9]),
    ([0.25, 0.2499, 0.248, 0.0], [1 / 3, 1 / 3, 1 / 3, 0]),  # within a percent of the largest: uniform
    ([0.0, 0.0], [0.5, 0.5]), ([0.1], [1.0])])
def test_coordinate_weights(spreads, weights):
    assert coordinate_weights(np.array(spreads)).tolist() == pytest.approx(weights, abs=1e-15)


def test_weighted_draw_follows_the_weights():
    # Coordinate i leads a row with probability w_i and is followed by j
    # with w_j / (1 - w_i): the six ordered pairs of the three coordinates
    # drawn, against their expected counts (chi-square with 5 degrees of
    # freedom; 20.52 is its 0.999 quantile). Weight 0 is never drawn.
    w = np.array([0.5, 0.0, 0.3, 0.2])
    rows = 6000
    s, u = draw_weighted_parameters(np.random.default_rng(7), w, rows, 2)
    assert s.shape == u.shape == (rows, 2) and ((u >= 0) & (u < 1)).all()
    pairs = [(i, j) for i in (0, 2, 3) for j in (0, 2, 3) if i != j]
    counts = np.array([np.sum((s[:, 0] == i) & (s[:, 1] == j)) for i, j in pairs])
    expected = np.array([rows * w[i] * w[j] / (1 - w[i]) for i, j in pairs])
    assert counts.sum() == rows and ((counts - expected) ** 2 / expected).sum() < 20.52
    # more components than coordinates drawn: permutations one after another;
    # the first tables of a larger draw are those of a smaller one
    s, _ = draw_weighted_parameters(np.random.default_rng(3), w, 50, 5)
    assert all(sorted(row[:3]) == [0, 2, 3] and set(row[3:]) <= {0, 2, 3} and row[3] != row[4] for row in s.tolist())
    few = draw_weighted_parameters(np.random.default_rng(3), w, 20, 5)
    assert all(np.array_equal(a, b[:20]) for a, b in zip(few, draw_weighted_parameters(np.random.default_rng(3), w, 50, 5)))
    # equal weights: every coordinate leads equally often
    s, _ = draw_weighted_parameters(np.random.default_rng(9), np.full(3, 1 / 3), 3000, 3)
    counts = np.bincount(s[:, 0], minlength=3)
    assert ((counts - 1000) ** 2 / 1000).sum() < 13.82 and (np.sort(s, axis=1) == [0, 1, 2]).all()


ZERO = dict(per_table=0.0, per_probe=0.0, per_coordinate=0.0, per_candidate=0.0, per_query=0.0, scan=1e9)


@pytest.mark.parametrize("cost, given, chosen", [
    (CostModel(scan=0.0), {}, dict(exact=True)),  # a free scan costs less than any index
    (CostModel(scan=1e9), {}, dict(exact=False)),
    # only tables cost: the fewest, one (any table reaches a recall of 0.05, even unprobed)
    (CostModel(**{**ZERO, "per_table": 1.0}), dict(cells=4, components=3, probes=0), dict(exact=False, tables=1)),
    # only probes cost: none
    (CostModel(**{**ZERO, "per_probe": 1.0}), dict(cells=4, components=3, tables=3), dict(exact=False, probes=0)),
    # nothing costs: the highest recall, every component flipped
    (CostModel(**ZERO), dict(cells=4, components=3, tables=1), dict(exact=False, probes=3))])
def test_cost_model_chooses_the_cheapest_setting(cost, given, chosen):
    # the modelled nanoseconds themselves, term by term
    assert CostModel(1, 2, 3, 4, 5, 6).index(d=2, k=3, tables=4, probes=5, entries=6, distinct=7) == 12 + 40 + 36 + 28 + 5
    assert CostModel(1, 2, 3, 4, 5, 6).exact(n=10, d=2) == 5 + 6 * 20
    X = np.random.default_rng(2).random((1500, 4))
    report, s, u = tune(X, target=0.05, k=5, seed=1, sample=80, cost=cost, **given)
    assert {key: getattr(report, key) for key in chosen} == chosen and report.reached
    assert s.shape == (report.tables, report.components)
    if not report.exact:
        assert report.cost < report.exact_cost and report.interval[0] >= 0.05


def test_cost_model_counts_what_the_index_gathers():
    # With every point a sample query and every point counted, the modelled
    # entries (bucket entries gathered, the cost's only term here) and
    # distinct candidates per query are those the index gathers: the pairs
    # of the blocked path and the candidates of the per-query path.
    X = np.random.default_rng(3).random((80, 3))
    report, s, u = tune(X, target=0.05, k=3, seed=2, tables=3, probes=2, cost=CostModel(**{**ZERO, "per_coordinate": 1.0}))
    measured = []
    for block in (0, 1):
        index = _native.RustLshIndex(report.cells, report.components, report.tables, report.probes, s, u, block=block)
        index.build(X, len(X))
        index.query_knn(X, 3, np.arange(len(X)))
        measured.append(index.stats()["pairs" if block == 0 else "cands"] / len(X))
    assert not report.exact and (report.cost / 3, report.candidates) == (pytest.approx(measured[0]), pytest.approx(measured[1]))


# ------------------------------------------------------------------ tuning


def clustered(rng, n, d):
    return datasets.clustered(rng, n, d, clusters=20, sigma=0.02)  # the same clusters in every call


def constant_coords(rng, n, d):
    return datasets.few_informative(rng, n, d, informative=4, noise=0.0)


SHAPES = {
    "clustered d=12": (clustered, 12),
    "4 of 16 coordinates vary": (constant_coords, 16),
    "uniform d=2": (lambda rng, n, d: rng.random((n, d)), 2),
    "clustered d=40": (clustered, 40),
}


@pytest.mark.parametrize("shape", list(SHAPES))
def test_tuned_index_reaches_the_target(shape):
    make, d = SHAPES[shape]
    rng = np.random.default_rng(5)
    X = make(rng, 3000, d)
    fresh = make(rng, 300, d)  # queries the tuning never saw
    search = PlovikSearch(d, recall=0.9, seed=3, exact=False)
    search.build(X, sample=150)
    t = search.tuning
    assert t is not None and not t.exact and t.reached and t.sample == 150
    assert t.interval[0] >= 0.9 and t.interval[0] <= t.recall <= t.interval[1]
    found, _ = search.query_knn(fresh, 10)
    truth, _ = exact_knn(X, fresh, 10)
    assert recall_at_k(found, truth) >= 0.87  # the target, less the noise of 300 fresh queries
    if shape == "4 of 16 coordinates vary":  # constant coordinates are never hashed
        assert set(np.unique(search.params.s)) <= {0, 1, 2, 3}
    assert f"b={t.cells}, K={t.components}, L={t.tables}, probes={t.probes}" in repr(search)


def test_queries_away_from_the_points_are_tuned_for():
    rng = np.random.default_rng(12)
    X = clustered(rng, 10_000, 10)
    # queries around the same clusters, twice as spread as the points
    away, fresh = ((clustered(rng, m, 10) + rng.normal(0, 0.035, (m, 10))) % 1.0 for m in (150, 300))
    search = PlovikSearch(10, recall=0.9, seed=5, exact=False)
    search.build(X, queries=away, sample=150)
    assert search.tuning.sample == 300 and search.tuning.interval[0] >= 0.9
    found, _ = search.query_knn(fresh, 10)
    assert recall_at_k(found, exact_knn(X, fresh, 10)[0]) >= 0.87


def test_same_seed_same_tuning_on_both_backends_and_given_settings_are_kept():
    rng = np.random.default_rng(8)
    X = clustered(rng, 1500, 6)
    runs = []
    for backend in ("native", "reference"):
        s = PlovikSearch(6, seed=11, backend=backend, exact=False)
        s.build(X, 1400, sample=100)
        runs.append(s)
    a, b = runs
    assert a.tuning.settings() == b.tuning.settings()
    assert (a.tuning.recall, a.tuning.cost) == (b.tuning.recall, b.tuning.cost)
    assert all(a.tables()[key].tobytes() == b.tables()[key].tobytes() for key in a.tables())
    # retuning hashes the points both store (single precision): the same tables again
    for s in runs:
        s.retune()
    assert all(a.tables()[key].tobytes() == b.tables()[key].tobytes() for key in a.tables())
    # retuning after a retire tunes for the points left in the tables
    for s in runs:
        s.retire(np.arange(0, 1500, 3))
        s.retune()
        assert s.tuning.n == s.n_live == 1000 and s.n_retired == 500
    assert a.tuning.settings() == b.tuning.settings()
    # all four given: the fixed draw of earlier versions, nothing tuned
    given = PlovikSearch(6, seed=11, tables=5, probes=2, cells=4, components=3, backend="reference")
    given.build(X, 1400)
    fixed = PlovikSearch(6, seed=11, tables=5, probes=2, cells=4, components=3, backend="reference", tune=False)
    fixed.build(X, 1400)
    assert given.tuning is None
    assert all(given.tables()[key].tobytes() == fixed.tables()[key].tobytes() for key in given.tables())
    # some given: those are kept, the rest tuned
    part = PlovikSearch(6, seed=11, tables=6, cells=3, exact=False)
    part.build(X, sample=100)
    assert (part.params.l, part.params.b) == (6, 3)


def test_radius_hint_is_tuned_for():
    rng = np.random.default_rng(4)
    X, fresh = clustered(rng, 3000, 8), clustered(rng, 200, 8)
    search = PlovikSearch(8, recall=0.9, seed=2, exact=False)
    search.build(X, radius=0.15, sample=100)
    t = search.tuning
    assert t.radius == 0.15 and t.radius_interval[0] >= 0.9 and t.reached
    got = search.query_radius(fresh, 0.15)
    want = exact_radius(X, fresh, 0.15)
    assert got[1].size >= 0.88 * want[1].size and want[1].size > 1000


def test_growth_warns_once_and_retune_restores_recall():
    rng = np.random.default_rng(6)
    X = clustered(rng, 12_000, 6)
    search = PlovikSearch(6, recall=0.9, seed=4, exact=False)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RecallWarning)  # 120 points may be too few to hash
        search.build(X[:120], sample=100)
    before = search.estimate_recall(sample=100)
    with pytest.warns(RecallWarning, match="times the 120 it was tuned for"):
        for i in range(120, 10_000, 1480):
            search.promote(X[i : min(i + 1480, 10_000)])
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        search.promote(X[10_000:])  # once only
    n_static, n_candidates = search.n_static, search.n_candidates
    assert n_candidates > 0
    search.retune()
    assert search.tuning.n == 12_000 and (search.n_static, search.n_candidates) == (n_static, n_candidates)
    after = search.estimate_recall(sample=200)
    assert after.interval[1] >= 0.9 and after.recall >= min(before.recall, 0.9) - 0.03
    # ids and rows unchanged: each point is its own nearest neighbour at distance 0, candidates included
    probe = np.r_[0, 5000, n_static - 1, n_static, 11_999]
    idx, dist = search.query_knn(X[probe], 1)
    assert idx[:, 0].tolist() == probe.tolist() and (dist == 0).all()
    search.update(X[n_static:] + 0.25)  # the candidate tier is still the rows from n_static on
    assert search.query_knn(X[11_999:] + 0.25, 1)[0][0, 0] == 11_999


def test_capacity_sizes_the_buckets_for_the_points_to_come():
    X = clustered(np.random.default_rng(3), 1500, 6)
    now, later = (PlovikSearch(6, seed=1, exact=False) for _ in range(2))
    now.build(X, sample=100)
    later.build(X, sample=100, capacity=150_000)
    a, b = now.tuning, later.tuning
    assert b.n == 150_000 and (b.tables, b.probes) == (a.tables, a.probes)
    assert 1 / 3 <= b.occupancy / a.occupancy <= 3  # a hundred times the buckets, as many points in each


def test_unreachable_target_warns_with_the_recall_reached():
    X = np.random.default_rng(1).random((2000, 40))
    with pytest.warns(RecallWarning, match=r"no setting reaches recall 0.999 .* reaches 0\.\d+"):
        search = PlovikSearch(40, recall=0.999, seed=0, exact=False)
        search.build(X, sample=60)
    assert not search.tuning.reached


@pytest.mark.parametrize("make, exc, match", [
    (lambda: PlovikSearch(3, recall=0), ValueError, r"recall must lie in \(0, 1\]"),
    (lambda: PlovikSearch(3, recall=1.01), ValueError, r"recall must lie in \(0, 1\]"),
    (lambda: PlovikSearch(3, recall="high"), TypeError, "recall must be a real number"),
    (lambda: PlovikSearch(3, k=0), ValueError, "k must be at least 1"),
    (lambda: PlovikSearch(3, tune=1), TypeError, "tune and exact must be bools"),
    (lambda: PlovikSearch(3).build(np.zeros((5, 3)), sample=6), ValueError, r"sample \(6\) is larger than the data"),
    (lambda: PlovikSearch(3).build(np.zeros((5, 3)), sample=0), ValueError, "sample must be at least 1"),
    (lambda: PlovikSearch(3).build(np.zeros((5, 3)), capacity=-1), ValueError, "capacity must be at least 0"),
    (lambda: PlovikSearch(3).build(np.zeros((5, 3)), radius=np.inf), ValueError, "radius must be finite"),
    (lambda: PlovikSearch(3).build(np.zeros((5, 3)), queries=np.zeros((2, 4))), ValueError, "queries has 4 columns"),
    (lambda: PlovikSearch(3).estimate_recall(), ValueError, r"before build\(\)"),
])
def test_rejected_settings(make, exc, match):
    with pytest.raises(exc, match=match):
        make()


def test_exports():
    assert {"exact_knn", "exact_radius", "RecallWarning", "Tuning"} <= set(plovik.__all__)
