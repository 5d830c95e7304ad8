"""Tuning to a recall target: the engine's sample hashing (against the reference and brute force),
the exact scan it measures against, the recall reached on differently shaped data (copies and ties
among them), reproducibility, growth and retuning, the warnings and the rejected settings."""

import contextlib
import dataclasses
import math
import time
import warnings

import numpy as np
import pytest

import plovik
from index_helpers import assert_tables_equal
from plovik import PlovikSearch, RecallWarning, _native, datasets, exact_knn, exact_radius, tuning
from plovik.exact import ExactScan, recall_at_k
from plovik.lsh import PythonLshIndex
from plovik.threads import thread_limit
from plovik.tuning import (
    CostModel,
    _confirm,
    _Option,
    _Truth,
    _truth,
    coordinate_weights,
    draw_weighted_parameters,
    grid_reads,
    probes_for,
    recall_interval,
    shapes,
    spread,
    tune,
    wilson,
)
from query_helpers import assert_rows_equal as same

# ---------------------------------------------------- the sample hashing


def brute_counts(ref, X, Q, P, bound):
    """Entries and distinct candidates per (p, l) from the reference's keys, every bucket listed."""
    keys = ref._compute_keys(X)  # (L, n)
    pk = ref._probe_keys(Q, P)  # (m, L, 1 + P)
    L = keys.shape[0]
    entries = np.zeros((P + 1, L), np.int64)
    distinct = np.zeros((P + 1, L), np.int64)
    for q in range(len(Q)):
        for p in range(P + 1):
            seen = set()
            for t in range(L):
                for key in set(pk[q, t, : p + 1].tolist()):
                    ids = np.flatnonzero(keys[t] == key)
                    entries[p, t:] += ids.size
                    seen |= set(ids.tolist())
                distinct[p, t] += len(seen)
    return entries, np.where(entries > bound, -1, distinct)


def random_setting(rng, d):
    b, K, L = int(rng.integers(1, 6)), int(rng.integers(1, 8)), int(rng.integers(1, 7))
    w = coordinate_weights(spread(rng.random((50, d)) * rng.random(d), rng))
    s, u = draw_weighted_parameters(rng, w, L, K)
    if rng.random() < 0.3:
        u = np.zeros_like(u)  # cell walls on the lattice below: ties of fractions
    return b, s, u, int(rng.integers(0, K + 1))


def test_sample_hashing_matches_the_reference_and_brute_force():
    rng = np.random.default_rng(21)
    for trial in range(25):
        d = int(rng.integers(1, 9))
        b, s, u, P = random_setting(rng, d)
        if trial % 4 == 3:  # a key space past 2**16: probed keys numbered through a hash, not directly
            b = 70_000 if s.shape[1] <= 3 else 17
        # lattice points (copies and ties), wrapped coordinates, or uniform
        X = [rng.integers(0, 4, (120, d)) / 4, rng.random((120, d)) * 6 - 3, rng.random((120, d))][trial % 3]
        Q = np.concatenate([X[:5], rng.random((9, d))])
        ref = PythonLshIndex(b, s.shape[1], s.shape[0], P, s, u)
        bound = [1e18, 200.0][trial % 2]
        want_entries, want_distinct = brute_counts(ref, X, Q, P, bound)
        keys, pk = ref._compute_keys(X), ref._probe_keys(Q, P)
        owner = np.repeat(np.arange(len(Q)), 7)
        nb = rng.integers(0, len(X), owner.size)
        # each pair's first table at each probe count (-1: none); per query, the pairs found by each table
        L, pairs = s.shape[0], zip(owner, nb, strict=True)
        firsts = [
            next((t for t in range(L) if keys[t, j] in pk[q, t, : p + 1]), -1) for q, j in pairs for p in range(P + 1)
        ]
        want_first = np.reshape(firsts, (owner.size, P + 1))
        want_hits = np.zeros((len(Q), P + 1, L), np.int64)
        np.add.at(want_hits, owner, (want_first[..., None] >= 0) & (want_first[..., None] <= np.arange(L)))
        for threads in (1, 3):
            with thread_limit(threads):
                assert np.array_equal(_native._probe_keys(b, s, u, Q, P), pk)
                entries, distinct = _native._candidate_counts(b, s, u, X, Q, P, bound)
                hits = _native._neighbour_hits(b, s, u, Q, X[nb], owner, P)
            assert np.array_equal(entries, want_entries) and np.array_equal(distinct, want_distinct), trial
            assert np.array_equal(hits, want_hits), trial
        # the first l tables measure as a draw of l tables: the tuning keeps one measurement for fewer tables
        l = int(rng.integers(1, s.shape[0] + 1))
        fewer = _native._candidate_counts(b, s[:l], u[:l], X, Q, P, bound)
        assert np.array_equal(fewer[0], entries[:, :l]) and np.array_equal(fewer[1], distinct[:, :l]), trial
        assert np.array_equal(_native._neighbour_hits(b, s[:l], u[:l], Q, X[nb], owner, P), hits[..., :l]), trial
        # going on from the first l tables (queries from `cut` on from none): the hits and each pair's first table
        none = np.full((owner.size, P + 1), -1, np.int64)
        h, f = _native._neighbour_hits_from(b, s[:l], u[:l], Q, X[nb], owner, P, np.zeros(len(Q), np.int64), none)
        assert np.array_equal(h, hits[..., :l]) and np.array_equal(f, np.where(want_first < l, want_first, -1)), trial
        cut = int(rng.integers(0, len(Q) + 1))
        start = np.where(np.arange(len(Q)) < cut, l, 0)
        f[owner >= cut] = -1
        with thread_limit(int(rng.integers(1, 4))):
            h, f = _native._neighbour_hits_from(b, s, u, Q, X[nb], owner, P, start, f)
        assert np.array_equal(h, hits) and np.array_equal(f, want_first), trial
        # counting on from the first l tables: the counts, and per (query, point) the lowest probe gathering it
        none = np.zeros((P + 1, 0), np.int64)
        marks = np.full((len(Q), len(X)), P + 1, np.uint8)
        e, dd, marks = _native._candidate_counts_from(b, s[:l], u[:l], X, Q, P, bound, none, none, marks)
        assert np.array_equal(e, entries[:, :l]) and np.array_equal(dd, distinct[:, :l]), trial
        with thread_limit(int(rng.integers(1, 4))):
            e, dd, marks = _native._candidate_counts_from(b, s, u, X, Q, P, bound, e, dd, marks)
        assert np.array_equal(e, entries) and np.array_equal(dd, distinct), trial
        if bound > entries.max():
            hit = keys.T[None, :, :, None] == pk[:, None, :, :]  # (m, n, L, 1 + P)
            lowest = np.where(hit, np.arange(P + 1), P + 1).min(axis=(2, 3))
            assert np.array_equal(marks, lowest), trial
    # a small run on the calling thread; one large enough for the pool gives the same on any number of workers
    s, u = draw_weighted_parameters(rng, np.full(8, 1 / 8), 8, 8)
    X, Q = rng.random((20_000, 8)), rng.random((200, 8))
    owner = np.repeat(np.arange(200), 100)
    runs = []
    for threads in (1, 3):
        with thread_limit(threads):
            run = (_native._probe_keys(2, s, u, Q, 3), *_native._candidate_counts(2, s, u, X, Q, 3, 1e5))
            runs.append((*run, _native._neighbour_hits(2, s, u, Q, X[: owner.size], owner, 3)))
    same(*runs)
    assert (runs[0][2] == -1).any()


def test_kept_hits_and_counts_widened_are_those_measured_at_once():
    # the tuning's cache: a (b, K) measured on few queries and tables, then on more or fewer, in any order
    rng = np.random.default_rng(23)
    for trial in range(6):
        X = datasets.clustered(rng, 3000, 6, clusters=5, sigma=0.05) if trial % 2 else rng.random((3000, 6))
        truth = _truth(ExactScan(X), X, X[:40], 10, np.arange(40))
        b, K, P = 3, int(rng.integers(3, 7)), int(rng.integers(0, 4))
        s, u = draw_weighted_parameters(rng, np.full(6, 1 / 6), 24, K)
        cache: dict = {}
        for m, L in [(10, 2), (10, 5), (25, 3), (25, 9), (40, 16), (20, 16), (30, 16), (30, 24), (40, 1)]:
            sub = truth.head(m)
            # both measured in one batch of engine calls, run in parallel
            batch = tuning._Batch()
            hits = tuning._hits(cache, ("hits", b, K), b, s[:L], u[:L], [sub], P, batch)
            counts = tuning._counts(cache, ("counts", b, K), b, s[:L], u[:L], X[:500], X[-20:], P, 0.01, batch)
            batch.run()
            (got,) = hits()
            want = _native._neighbour_hits(b, s[:L], u[:L], sub.queries, sub.neighbours, sub.owner, P)
            assert np.array_equal(got, want), (trial, m, L)
            got = counts()
            want = _native._candidate_counts(b, s[:L], u[:L], X[:500], X[-20:], P, 20 * 500 * 0.01)
            assert np.array_equal(got[0], want[0]) and np.array_equal(got[1], want[1]), (trial, L)


hits = _native._neighbour_hits  # short enough for one case a line
S2, U2 = np.array([[0, 2], [1, 0]]), np.full((2, 2), 0.5)  # b = 2, two tables of two components


def counts_from(X, shape, marks, mark, dtype=np.uint8):
    """_candidate_counts_from of X in its own buckets (S2, U2) from zero counts and marks, each `mark`."""
    counts = np.zeros(shape, np.int64)
    return _native._candidate_counts_from(2, S2, U2, X, X, 1, 1e9, counts, counts, np.full(marks, mark, dtype))


X5 = np.random.default_rng(0).random((5, 3))
#: A valid ("hits", ...) call of `_measure_many`: each row of X5 its own neighbour.
HITS_OK = ("hits", 2, S2, U2, X5, X5, np.arange(5), 1, np.zeros(5, np.int64), np.full((5, 2), -1))


def hits_from(X, start, shape, first):
    """_neighbour_hits_from of each row of X as its own neighbour (S2, U2) from `start`, firsts each `first`."""
    start = np.asarray(start, np.int64)
    return _native._neighbour_hits_from(2, S2, U2, X, X, np.arange(len(X)), 1, start, np.full(shape, first))


@pytest.mark.parametrize(
    "call, exc, match",
    [
        (lambda s, u, X: _native._probe_keys(2, s, u[:, :1], X, 1), ValueError, r"S and U must have shape \(L, K\)"),
        (lambda s, u, X: _native._probe_keys(0, s, u, X, 1), ValueError, "b must be at least 1"),
        (lambda s, u, X: _native._probe_keys(2**40, s, u, X, 1), ValueError, r"b\*\*K must be at most"),
        (lambda s, u, X: _native._probe_keys(2, s + 3, u, X, 1), ValueError, r"every entry of s must lie in \[0, d\)"),
        (lambda s, u, X: _native._probe_keys(2, s, u, X.astype(np.float32), 1), TypeError, "rows"),
        (lambda s, u, X: _native._candidate_counts(2, s, u, X, X[:, :2].copy(), 1, 1.0), ValueError, "as many columns"),
        (lambda s, u, X: hits(2, s, u, X, X, np.zeros(3, np.int64), 1), ValueError, "one query row per neighbour"),
        (lambda s, u, X: hits(2, s, u, X[:2], X[:3], np.array([1, 0, 1]), 1), ValueError, "ascending query rows"),
        (lambda s, u, X: hits(2, s, u, X[:2], X[:3], np.array([0, 1, 2]), 1), ValueError, "ascending query rows"),
        (lambda s, u, X: counts_from(X, (2, 3), (5, 5), 2), ValueError, "l <= L"),
        (lambda s, u, X: counts_from(X, (3, 1), (5, 5), 2), ValueError, r"\(1 \+ P, l\)"),
        (lambda s, u, X: counts_from(X, (2, 1), (5, 4), 2), ValueError, "best must have shape"),
        (lambda s, u, X: counts_from(X, (2, 1), (5, 5), 3), ValueError, r"in \[0, 1 \+ flips\]"),
        (lambda s, u, X: counts_from(X, (2, 1), (5, 5), 2, np.int64), TypeError, "uint8"),
        (lambda s, u, X: hits_from(X, np.zeros(4), (5, 2), -1), ValueError, "one table count per query"),
        (lambda s, u, X: hits_from(X, np.zeros(5), (5, 3), -1), ValueError, r"shape \(pairs, 1 \+ P\)"),
        (lambda s, u, X: hits_from(X, np.full(5, 3), (5, 2), -1), ValueError, r"start must lie in \[0, L\]"),
        (lambda s, u, X: hits_from(X, np.full(5, 1), (5, 2), 1), ValueError, "a table below its query's start"),
        (lambda s, u, X: hits_from(X, np.full(5, 1), (5, 2), -2), ValueError, "a table below its query's start"),
        # a batch is checked whole before any call runs: a bad call anywhere refuses it
        (lambda s, u, X: _native._measure_many([("counts", 2, s, u, X, X, 1, 1.0)]), ValueError, "each call must be"),
        (lambda s, u, X: _native._measure_many([("sums",)]), ValueError, "each call must be"),
        (lambda s, u, X: _native._measure_many(5), TypeError, "sequence of tuples"),
        (
            lambda s, u, X: _native._measure_many([HITS_OK, ("hits", *HITS_OK[1:-1], np.full((5, 3), -1))]),
            ValueError,
            r"shape \(pairs, 1 \+ P\)",
        ),
        (lambda s, u, X: _native._spread(X, np.array([0, 5]), np.array([1, 2])), ValueError, r"lie in \[0, m\)"),
        (lambda s, u, X: _native._spread(X, np.array([0]), np.array([1, 2])), ValueError, "as many rows"),
        (lambda s, u, X: _native._weighted_draw(np.ones(0), u, 2), ValueError, "must not be empty"),
        (lambda s, u, X: _native._weighted_draw(np.ones(3) / 3, u, 3), ValueError, "a row of at least"),
    ],
)
def test_sample_hashing_refuses_bad_input(call, exc, match):
    with pytest.raises(exc, match=match):
        call(S2, U2, np.random.default_rng(0).random((5, 3)))


# -------------------------------------------------------------- statistics


@pytest.mark.parametrize(
    "hits, total, lower, upper",
    [
        # the 95% score intervals of Newcombe (1998), Table I, examples (a) to (d)
        (81, 263, 0.2553, 0.3662),
        (15, 148, 0.0624, 0.1605),
        (0, 20, 0.0, 0.1611),
        (1, 29, 0.0061, 0.1718),
        (29, 29, 0.8830, 1.0),
        (0, 0, 0.0, 1.0),
    ],
)  # all hits: n / (n + z**2)
def test_wilson_interval_has_the_textbook_values(hits, total, lower, upper):
    lo, hi = wilson(hits, total)
    assert (lo, hi) == (pytest.approx(lower, abs=5e-5), pytest.approx(upper, abs=5e-5))
    if total:  # misses have the mirrored interval
        assert wilson(total - hits, total) == (pytest.approx(1 - hi, abs=1e-12), pytest.approx(1 - lo, abs=1e-12))


def textbook_wilson(p, n, z=1.959963984540054):
    centre, half = p + z * z / (2 * n), z * math.sqrt(p * (1 - p) / n + z * z / (4 * n * n))
    return max(0.0, (centre - half) / (1 + z * z / n)), min(1.0, (centre + half) / (1 + z * z / n))


def test_recall_interval_is_taken_over_queries():
    # 4 queries of 10 neighbours finding 10, 0, 10 and 5: pooled recall 0.625; the per-query totals spread
    # as 68.75 / 3 * 4 / 40**2 about it, so the 40 neighbours are worth 0.625 * 0.375 / that = 4.09 trials
    found, need = [10, 0, 10, 5], [10] * 4
    var = (3.75**2 + 6.25**2 + 3.75**2 + 1.25**2) * (4 / 3) / 40**2
    p, lo, hi = recall_interval(found, need)
    assert p == 0.625 and (lo, hi) == pytest.approx(textbook_wilson(0.625, 0.625 * 0.375 / var), abs=1e-12)
    # a query with nothing to find changes nothing; with no miss, the interval is that of the queries alone
    assert recall_interval([*found, 0], [*need, 0]) == (p, lo, hi)
    assert recall_interval([10, 10], [10, 10])[1:] == pytest.approx(textbook_wilson(1.0, 2), abs=1e-12)
    assert recall_interval([10], [10])[1:] == pytest.approx(textbook_wilson(1.0, 1), abs=1e-12)
    assert recall_interval([], []) == (1.0, 1.0, 1.0)


def test_coordinate_weights():
    for spreads, weights in [
        ([0.2, 0.1, 0.0, 1e-9], [2 / 3, 1 / 3, 0, 0]),  # proportional; a spread below 1e-6 of the largest is none
        ([0.25, 0.2], [5 / 9, 4 / 9]),
        ([0.25, 0.2499, 0.248, 0.0], [1 / 3, 1 / 3, 1 / 3, 0]),  # within a percent of the largest: uniform
        ([0.0, 0.0], [0.5, 0.5]),
        ([0.1], [1.0]),
    ]:
        assert coordinate_weights(np.array(spreads)).tolist() == pytest.approx(weights, abs=1e-15)
    # the spread of uniform coordinates is the mean toroidal distance, 1/4; a constant one has none
    X = np.random.default_rng(1).random((20_000, 3))
    X[:, 2] = 0.3
    assert spread(X, np.random.default_rng(2), 20_000) == pytest.approx([0.25, 0.25, 0.0], abs=0.005)
    # the engine's pass over the pairs (in chunks on the workers) gives NumPy's mean bit for bit, values to
    # wrap or not
    rng = np.random.default_rng(4)
    for Y in (rng.random((300, 7)), rng.random((300, 7)) * 9 - 4, np.repeat(rng.integers(-3, 3, (30, 7)) / 4, 10, 0)):
        a, b = rng.integers(0, 300, 2999), rng.integers(0, 300, 2999)
        x, y = Y[a] - np.floor(Y[a]), Y[b] - np.floor(Y[b])
        assert np.array_equal(_native._spread(Y, a, b), np.minimum(abs(x - y), 1 - abs(x - y)).mean(axis=0))


def test_weighted_draw_follows_the_weights():
    # coordinate i leads with probability w_i, then j with w_j / (1 - w_i): the six ordered pairs against their
    # expected counts (chi-square, 5 degrees of freedom; 20.52 is its 0.999 quantile); weight 0 never drawn
    w = np.array([0.5, 0.0, 0.3, 0.2])
    rows = 6000
    s, u = draw_weighted_parameters(np.random.default_rng(7), w, rows, 2)
    assert s.shape == u.shape == (rows, 2) and ((u >= 0) & (u < 1)).all()
    pairs = [(i, j) for i in (0, 2, 3) for j in (0, 2, 3) if i != j]
    counts = np.array([np.sum((s[:, 0] == i) & (s[:, 1] == j)) for i, j in pairs])
    expected = np.array([rows * w[i] * w[j] / (1 - w[i]) for i, j in pairs])
    assert counts.sum() == rows and ((counts - expected) ** 2 / expected).sum() < 20.52
    # more components than coordinates: permutations in turn; a larger draw's first tables are a smaller one's
    s, _ = draw_weighted_parameters(np.random.default_rng(3), w, 50, 5)
    assert all(sorted(row[:3]) == [0, 2, 3] and set(row[3:]) <= {0, 2, 3} and row[3] != row[4] for row in s.tolist())
    few, many = (draw_weighted_parameters(np.random.default_rng(3), w, n, 5) for n in (20, 50))
    same(few, [a[:20] for a in many])

    # a uniform just below 1 times the total can round up to it: the last coordinate not yet drawn is taken
    top = type("Top", (), {"random": lambda self, shape: np.full(shape, np.nextafter(1.0, 0.0))})
    s, _ = draw_weighted_parameters(top(), np.array([0.1, 0.7, 0.2]), 4, 3)
    assert (np.sort(s, axis=1) == [0, 1, 2]).all()

    # the engine's picks are those of running sums taken with NumPy, row by row
    def numpy_picks(w, draws, components):
        out = np.empty((draws.shape[0], components), np.int64)
        for t, row in enumerate(draws):
            for j in range(components):
                if j % w.size == 0:
                    left = w.copy()
                cdf = np.cumsum(left)
                pick = int((cdf <= row[j] * cdf[-1]).sum())
                out[t, j] = pick if pick < w.size else np.flatnonzero(left > 0)[-1]
                left[out[t, j]] = 0.0
        return out

    rng = np.random.default_rng(5)
    for w in (np.full(6, 1 / 6), rng.random(9) ** 3, np.array([0.1, 0.7, 0.2])):
        w = w / w.sum()
        draws = np.concatenate([rng.random((40, 16)), np.full((2, 16), np.nextafter(1.0, 0.0))])
        assert np.array_equal(_native._weighted_draw(w, draws, 8), numpy_picks(w, draws, 8))


SLOW_SCAN = dict(scan=1e9, scan_bytes=1e9, scan_tiles=1e9)
ZERO = dict.fromkeys(("per_table", "per_probe", "per_coordinate", "per_candidate", "per_query"), 0.0)
ZERO |= dict(scan=1e9, grid_query=1e9)


CHOICES = [
    # a free scan costs less than any index (and a costly grid)
    (CostModel(scan=0.0, scan_bytes=0.0, scan_tiles=0.0, grid_query=1e9), {}, dict(exact=True, grid=False)),
    (CostModel(**SLOW_SCAN, grid_query=1e9), {}, dict(exact=False, grid=False)),
    # a costly scan: the grid as calibrated, in four coordinates; not in five
    (CostModel(**SLOW_SCAN), {}, dict(exact=True, grid=True)),
    (CostModel(**SLOW_SCAN), dict(d=5), dict(exact=False, grid=False)),
    # only tables cost: the fewest, one (any table reaches a recall of 0.05, even unprobed)
    (CostModel(**{**ZERO, "per_table": 1.0}), dict(cells=4, components=3, probes=0), dict(exact=False, tables=1)),
    # only probes cost: none
    (CostModel(**{**ZERO, "per_probe": 1.0}), dict(cells=4, components=3, tables=3), dict(exact=False, probes=0)),
    # nothing costs: the highest recall, every component flipped
    (CostModel(**ZERO), dict(cells=4, components=3, tables=1), dict(exact=False, probes=3)),
]


def test_cost_model_chooses_the_cheapest_setting():
    # the modelled nanoseconds themselves, term by term
    assert (
        CostModel(1, 2, 3, 4, 5, 6).index(d=2, k=3, tables=4, probes=5, entries=6, distinct=7) == 12 + 40 + 36 + 28 + 5
    )
    assert CostModel(1, 2, 3, 4, 5, 6).exact(n=10, d=2) == 5 + 6 * 20
    assert CostModel(1, 2, 3, 4, 5, 6, scan_bytes=7, scan_tiles=8).exact(n=10, d=2, passing=0.5) == 5 + (7 + 4) * 20
    # in a spatial order: per query, per coordinate of the own group, per group's ranges (a block of 32
    # coordinates each), per coordinate read, more for points beyond the last-level cache
    ordered = CostModel(ordered_query=1, scan_seed=2, scan_groups=3, scan_reach=4, scan_far=5)
    assert ordered.ordered(n=300, d=40, reach=10) == 1 + 80 + 3 * 3 * 2 + 4 * 10 * 40
    assert ordered.ordered(n=10**6, d=16, reach=10) == 1 + 32 + 3 * 7813 + 9 * 10 * 16
    # k = 2 at one point a cell in one dimension: the k-th distance's ball meets 3 cells, as does the 2-point ring
    grid = CostModel(1, 2, 3, 4, 5, 6, 7, 8, 9, 10)
    assert grid.grid(d=1, k=2, cells=100, occupancy=1.0) == 7 + 8 * 3 + 9 * 3 + 10 * 2 * np.log2(3)
    assert grid_reads(3, 10, 5, 1e-9) == pytest.approx((125.0, 125e-9)) and grid_reads(2, 1, 50, 0.0) == (2500.0, 0.0)
    for cost, given, chosen in CHOICES:
        given = dict(given)  # the table stays as it is
        X = np.random.default_rng(2).random((1500, given.pop("d", 4)))
        report, s, _ = tune(X, target=0.05, k=5, seed=1, sample=80, cost=cost, **given)
        assert {key: getattr(report, key) for key in chosen} == chosen and report.reached, chosen
        assert s.shape == (report.tables, report.components)
        if not report.exact:
            assert report.cost < report.exact_cost and report.interval[0] >= 0.05


def test_the_scan_is_priced_by_the_tiles_its_bytes_let_through():
    # uniform points: few tiles pass the bytes, little more than the byte pass; a lattice ties with the k-th,
    # more tiles summed; without byte coordinates (the Euclidean scan) the float price alone
    rng = np.random.default_rng(4)
    n, d = 20_000, 16
    shares = []
    for X in (rng.random((n, d)), rng.integers(0, 4, (n, d)) / 4.0):
        scan = ExactScan(X)
        assert scan.coded and scan.nbytes == n * d * 5
        own = _truth(scan, X, X[:64], 10, np.arange(64))
        shares.append(tuning._passing(own, np.ascontiguousarray(X[::10]), n, 10))
        report, _, _ = tune(X, target=0.9, k=10, seed=1, scan=scan)
        assert report.exact_cost < tuning.COST.exact(n, d)
    assert 0.0 < shares[0] < shares[1] <= 1.0
    # crowded points in a spatial order: a few groups read, a fraction of the byte pass; the scan answers
    C = clustered(rng, n, d)
    crowded = ExactScan(C)
    _, kth = crowded.knn(C[:64], 10, np.arange(64))
    reach = crowded.reach(C[:64], kth[:, -1])
    assert (reach > 0).all() and reach.mean() < n / 10 and (crowded.reach(C[:64], np.full(64, d)) == n).all()
    assert (scan.reach(X[:4], np.zeros(4)) == n).all()  # in the order given: every point read
    report, _, _ = tune(C, target=0.9, k=10, seed=1, scan=crowded)
    own = _truth(crowded, C, C[:64], 10, np.arange(64))
    unordered = tuning.COST.exact(n, d, tuning._passing(own, np.ascontiguousarray(C[::10]), n, 10))
    assert report.exact and report.exact_cost < unordered / 2
    euclid = ExactScan(X, metric="euclidean")
    assert not euclid.coded and euclid.nbytes == n * d * 4
    report, _, _ = tune(X, target=0.9, k=10, seed=1, scan=euclid, with_grid=False)
    assert report.exact_cost == tuning.COST.exact(n, d)


def test_cost_model_counts_what_the_index_gathers():
    # every point a sample query (fewer than 64) and counted: the modelled entries (the only cost term) and distinct
    # candidates are the blocked path's pairs and the per-query path's candidates (each query asked twice)
    X = np.random.default_rng(3).random((60, 3))
    cost = CostModel(**{**ZERO, "per_coordinate": 1.0})
    report, s, u = tune(X, target=0.05, k=3, seed=2, tables=3, probes=2, cost=cost)
    measured = []
    for block in (0, 1):
        index = _native.RustLshIndex(report.cells, report.components, report.tables, report.probes, s, u, block=block)
        index.build(X, len(X))
        index.query_knn(np.concatenate([X, X]), 3, np.tile(np.arange(len(X)), 2))
        measured.append(index.stats()["pairs" if block == 0 else "cands"] / (2 * len(X)))
    assert not report.exact and report.cost / 3 == pytest.approx(measured[0])
    assert report.candidates == pytest.approx(measured[1])


# ------------------------------------------------------------------ tuning


def tie_recall(idx, X, Q, k):
    """Share of the returned ids among the true k nearest, ties at the k-th distance counted as found."""
    ti, td = exact_knn(X, Q, 4 * k)
    hits = sum(np.isin(row, ti[q][td[q] <= td[q, k - 1]]).sum() for q, row in enumerate(idx))
    return hits / idx.size


def built(search, X, *args, quiet=False, **kwargs):
    """`search` built on X (RecallWarning ignored when quiet)."""
    with warnings.catch_warnings(action="ignore", category=RecallWarning) if quiet else contextlib.nullcontext():
        search.build(X, *args, **kwargs)
    return search


def clustered(rng, n, d):
    return datasets.clustered(rng, n, d, clusters=20, sigma=0.02)  # the same clusters in every call


SHAPES = {
    "clustered d=12": (clustered, 12),
    "4 of 16 coordinates vary": (lambda rng, n, d: datasets.few_informative(rng, n, d, informative=4, noise=0.0), 16),
    "uniform d=2": (lambda rng, n, d: rng.random((n, d)), 2),
    "clustered d=40": (clustered, 40),
}


def test_shapes_fit_the_key_space_and_follow_the_occupancies():
    # the keys of a table are cells**components <= 2**63 - 1, the index's key space
    assert all(b**k <= 2**63 - 1 and b >= 2 for b, k in shapes(10**19, 100, None, None))
    # given components: the cells that give each occupancy
    occupancies = (4.0, 16.0, 64.0, 256.0)
    assert shapes(100_000, 16, None, 5) == sorted({(max(2, round((100_000 / occ) ** 0.2)), 5) for occ in occupancies})
    # more components than coordinates: each coordinate once, with more cells
    assert shapes(100_000, 2, None, None) == sorted({(round((100_000 / occ) ** 0.5), 2) for occ in occupancies})


def test_truth_follows_ties_passes_over_copies_and_keeps_points_and_other_queries_apart():
    # a lattice of 8 steps (exact in binary) in d = 5: from a site, 10 sites lie 1/8 away and 50 more 2/8
    # away, so the 12th neighbour ties with 59 others; its 40 copies a fresh query would not find for free
    grid = np.stack(np.meshgrid(*[np.arange(8)] * 5, indexing="ij"), -1).reshape(-1, 5) / 8
    X = np.concatenate([np.repeat(grid[:1], 40, 0), grid])
    scan = ExactScan(X)
    truth = _truth(scan, X, X[:1], 12, np.array([0]))
    dist = np.abs(truth.neighbours - X[0])
    dist = np.minimum(dist, 1 - dist).sum(1)
    assert truth.need.tolist() == [12] and truth.owner.size == 60
    assert np.array_equal(np.sort(dist), [1 / 8] * 10 + [2 / 8] * 50)
    # a query that is not a point finds everything, copies and the site included
    fresh = _truth(scan, X, X[:1] + 1 / 64, 3, None)
    assert fresh.need.tolist() == [3] and fresh.owner.size == 41
    # nothing but copies: nothing to find
    alone = _truth(ExactScan(X[:40]), X[:40], X[:1], 5, np.array([0]))
    assert alone.need.tolist() == [0] and alone.owner.size == 0
    # rows of -1 (non-points) among the points asked: each kind gets its truth alone (copies, near copies, ties)
    rng = np.random.default_rng(31)
    grid = np.stack(np.meshgrid(*[np.arange(6)] * 4, indexing="ij"), -1).reshape(-1, 4) / 6
    X = np.concatenate([np.repeat(grid[:3], 5, 0), grid, (grid[:40] + 1e-5) % 1.0, rng.random((300, 4))])
    scan = ExactScan(X)
    for trial in range(4):
        rows = rng.choice(len(X), 30, replace=False)
        other = np.concatenate([rng.random((12, 4)), X[rng.choice(len(X), 8)]])  # points too, asked as others
        order = rng.permutation(50)
        Q, ids = np.concatenate([X[rows], other])[order], np.concatenate([rows, np.full(20, -1)])[order]
        both = _truth(scan, X, Q, 10, ids)
        alone = [_truth(scan, X, Q[ids >= 0], 10, ids[ids >= 0]), _truth(scan, X, Q[ids < 0], 10, None)]
        for kind, mine in enumerate((ids >= 0, ids < 0)):
            pairs = np.isin(both.owner, np.flatnonzero(mine))
            got = _Truth(Q[mine], both.need[mine], np.cumsum(mine)[both.owner[pairs]] - 1, both.neighbours[pairs])
            for field in ("need", "owner", "neighbours"):
                assert np.array_equal(getattr(got, field), getattr(alone[kind], field)), (trial, kind, field)


@pytest.mark.parametrize("group, found", [(0, "all"), (4, "beyond"), (12, "group")])
def test_truth_passes_over_fewer_near_copies_than_k(group, found):
    # row 0 of uniform points in d = 16 with `group` near copies (1e-4 apart): fewer than k are passed over
    # as copies (a fresh query would not have them), k or more are its neighbours; others pass over nothing
    rng = np.random.default_rng(group)
    base = rng.random((2_000, 16))
    X = np.concatenate([base[:1], (base[:1] + 1e-4 * rng.standard_normal((group, 16))) % 1.0, base[1:]])
    rows = np.arange(0, 400, 8) if found == "all" else np.array([0])
    truth = _truth(ExactScan(X), X, X[rows], 10, rows)
    ids, _ = exact_knn(X, X[rows], 10, rows)
    assert truth.need.tolist() == [10] * rows.size and truth.owner.size == 10 * rows.size
    near = np.abs(truth.neighbours[:, None] - X[None, 1 : group + 1])
    near = np.minimum(near, 1 - near).sum(-1).min(axis=1) if group else np.full(truth.owner.size, np.inf)
    if found == "all":
        assert np.array_equal(np.sort(truth.neighbours, 0), np.sort(X[ids.ravel()], 0))
    else:  # none of the near copies, or ten of the twelve
        assert ((near > 0.1) if found == "beyond" else (near == 0)).all()


@pytest.mark.parametrize("shape", list(SHAPES))
def test_tuned_index_reaches_the_target(shape):
    make, d = SHAPES[shape]
    rng = np.random.default_rng(5)
    X, fresh = (make(rng, m, d) for m in (3000, 300))  # fresh: queries the tuning never saw
    search = built(PlovikSearch(d, recall=0.9, seed=3, exact=False), X, sample=150)
    t = search.tuning
    assert t is not None and not t.exact and t.reached and t.sample == 300  # 150 points, 150 queries between them
    # more tables measured only where they could be cheapest: measuring all, counting on all, chooses the same
    report = tune(X, target=0.9, k=10, seed=3, sample=150, allow_exact=False)[0]
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(tuning, "FIRST_TABLES", tuning.MAX_TABLES)
        patch.setattr(tuning, "COUNTED_ENOUGH", math.inf)
        every = tune(X, target=0.9, k=10, seed=3, sample=150, allow_exact=False)[0]
        patch.setattr(tuning, "FIRST_TABLES", 1)  # and growing from one table
        grown = tune(X, target=0.9, k=10, seed=3, sample=150, allow_exact=False)[0]
    assert report.settings() == every.settings() == grown.settings() == t.settings()
    assert report.cost == t.cost and math.isclose(report.cost, every.cost, rel_tol=0.05)
    assert t.interval[0] >= 0.9 and t.interval[0] <= t.recall <= t.interval[1]
    assert recall_at_k(search.query_knn(fresh, 10)[0], exact_knn(X, fresh, 10)[0]) >= 0.87  # less 300 queries' noise
    if shape == "4 of 16 coordinates vary":  # constant coordinates are never hashed
        assert set(np.unique(search.params.s)) <= {0, 1, 2, 3}
    assert f"b={t.cells}, K={t.components}, L={t.tables}, probes={t.probes}" in repr(search)


def test_queries_away_from_the_points_and_a_radius_hint_are_tuned_for():
    rng = np.random.default_rng(12)
    X = clustered(rng, 10_000, 10)
    # queries around the same clusters, twice as spread as the points
    away, fresh = ((clustered(rng, m, 10) + rng.normal(0, 0.035, (m, 10))) % 1.0 for m in (150, 300))
    search = built(PlovikSearch(10, recall=0.9, seed=5, exact=False), X, queries=away, sample=150, radius=0.2)
    t = search.tuning
    assert t.sample == 450 and t.interval[0] >= 0.9 and t.reached  # points, between them, the caller's
    assert recall_at_k(search.query_knn(fresh, 10)[0], exact_knn(X, fresh, 10)[0]) >= 0.87
    assert t.radius == 0.2 and 0.9 <= t.radius_interval[0] < 1.0  # measured on neighbours there are
    got, want = search.query_radius(fresh, 0.2), exact_radius(X, fresh, 0.2)
    assert got[1].size >= 0.88 * want[1].size and want[1].size > 1000


def test_euclidean_distances_in_a_box_with_unequal_sides_reach_the_target():
    # the tuning's truth, the monitor's checks and every distance returned are Euclidean, in the box's units
    sides = (10.0, 20.0, 5.0)
    rng = np.random.default_rng(4)
    X, fresh = (clustered(rng, m, 3) * sides for m in (6000, 2000))
    search = PlovikSearch(3, recall=0.9, metric="euclidean", boxsize=sides, seed=3, exact=False)
    search.build(X, sample=150, radius=0.5)
    t = search.tuning
    assert not t.exact and search.raw is not None and t.interval[0] >= 0.9 and t.radius_interval[0] >= 0.9
    found, dist = search.query_knn(fresh, 10)
    truth, truth_dist = exact_knn(X, fresh, 10, metric="euclidean", boxsize=sides)
    assert recall_at_k(found, truth) >= 0.87
    same = found == truth
    assert np.array_equal(dist[same], truth_dist[same]) and (np.diff(dist, axis=1) >= 0).all()
    assert search.observed_recall.queries > 0 and search.observed_recall.recall >= 0.87
    assert search.estimate_recall(queries=fresh[:300]).recall >= 0.87
    # radius rows: the exact rows' (id, distance) pairs, most of them
    indptr, ids, dists = search.query_radius(fresh[:200], 0.5)
    t_ptr, t_ids, t_dists = exact_radius(X, fresh[:200], 0.5, metric="euclidean", boxsize=sides)
    got = set(zip(np.repeat(np.arange(200), np.diff(indptr)), ids, dists, strict=True))
    assert got <= set(zip(np.repeat(np.arange(200), np.diff(t_ptr)), t_ids, t_dists, strict=True))
    assert ids.size >= 0.87 * t_ids.size


def test_same_seed_same_tuning_on_both_backends_and_given_settings_are_kept():
    rng = np.random.default_rng(8)
    X = clustered(rng, 1500, 6)
    runs = a, b = [PlovikSearch(6, seed=11, backend=backend, exact=False) for backend in ("native", "reference")]
    for s in runs:
        s.build(X, 1400, sample=100)
    assert (a.tuning.settings(), a.tuning.recall) == (b.tuning.settings(), b.tuning.recall)
    assert a.tuning.cost == b.tuning.cost
    # nor on the thread count
    with thread_limit(1):
        one = tune(X, target=0.95, k=10, seed=11, sample=100, allow_exact=False)
    report, s, u = tune(X, target=0.95, k=10, seed=11, sample=100, allow_exact=False)
    assert dataclasses.replace(one[0], seconds=0.0) == dataclasses.replace(report, seconds=0.0)
    assert np.array_equal(one[1], s) and np.array_equal(one[2], u)
    assert_tables_equal(a, b)
    # retuning hashes the points both store (single precision): the same tables again
    for s in runs:
        s.retune()
    assert_tables_equal(a, b)
    # retuning after a retire tunes for the points left in the tables
    for s in runs:
        s.retire(np.arange(0, 1500, 3))
        s.retune()
        assert s.tuning.n == s.n_live == 1000 and s.n_retired == 500
    assert a.tuning.settings() == b.tuning.settings()
    # all four given: the fixed draw of earlier versions, nothing tuned
    given = built(PlovikSearch(6, seed=11, tables=5, probes=2, cells=4, components=3, backend="reference"), X, 1400)
    fixed = PlovikSearch(6, seed=11, tables=5, probes=2, cells=4, components=3, backend="reference", tune=False)
    fixed.build(X, 1400)
    assert given.tuning is None
    assert_tables_equal(given, fixed)
    # some given: those are kept, the rest tuned
    part = built(PlovikSearch(6, seed=11, tables=6, cells=3, exact=False), X, sample=100)
    assert (part.params.l, part.params.b) == (6, 3)


def test_growth_warns_once_and_retune_restores_recall():
    rng = np.random.default_rng(6)
    X = clustered(rng, 12_000, 6)
    search = built(PlovikSearch(6, recall=0.9, seed=4, exact=False), X[:120], sample=100, quiet=True)  # may be too few
    before = search.estimate_recall(sample=100)
    with pytest.warns(RecallWarning, match="times the 120 it was tuned for") as caught:
        for i in range(120, 10_000, 1480):
            search.promote(X[i : min(i + 1480, 10_000)])
    assert {w.filename for w in caught} == {__file__}  # the user's line, not plovik's
    with warnings.catch_warnings(action="error"):
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
    rng = np.random.default_rng(3)
    X, fresh = clustered(rng, 12_000, 6), clustered(rng, 300, 6)
    now, later = (PlovikSearch(6, recall=0.9, seed=1, exact=False) for _ in range(2))
    now.build(X, sample=100)
    later.build(X[:3000], sample=100, capacity=12_000)
    a, b = now.tuning, later.tuning
    assert b.n == 12_000 and 1 / 3 <= b.occupancy / a.occupancy <= 3  # the buckets of the full index
    # measured at the build's size, where its buckets are sparsest: the target holds from the first epoch on
    for upto in (3000, 6000, 12_000):
        if upto > later.n_points:
            later.promote(X[later.n_points : upto])
        assert recall_at_k(later.query_knn(fresh, 10)[0], exact_knn(X[:upto], fresh, 10)[0]) >= 0.87, upto


def test_unreachable_target_warns_with_the_recall_reached():
    X = np.random.default_rng(1).random((2000, 40))
    with pytest.warns(RecallWarning, match=r"no setting reaches recall 0.999 .* reaches 0\.\d+") as caught:
        search = PlovikSearch(40, recall=0.999, seed=0, exact=False)
        search.build(X)  # the whole default sample of 300, measured at once
    t = search.tuning
    assert not t.reached and caught[0].filename == __file__ and t.sample == 600  # 300 points and 300 between them
    assert t.recall > 0.8  # the best of the settings tried, by the lower end of its interval
    # a target of 1.0: no miss rate extrapolates to none, so the most tables are tried
    with pytest.warns(RecallWarning, match="no setting reaches recall 1.0"):
        PlovikSearch(8, recall=1.0, exact=False, seed=0).build(np.random.default_rng(2).random((40_000, 8)), sample=60)


def test_the_report_says_what_was_measured():
    assert {"exact_knn", "exact_radius", "RecallWarning", "Tuning"} <= set(plovik.__all__)
    rng = np.random.default_rng(11)
    X, Q = rng.random((3000, 16)), rng.random((500, 16))
    start = time.perf_counter()
    search = built(PlovikSearch(16, seed=2, exact=False), X, queries=Q, sample=40, quiet=True)
    wall = time.perf_counter() - start
    t = search.tuning
    assert t.sample == 120 and 0 < t.seconds <= wall  # 40 of each kind: points, between them, the caller's
    assert t.occupancy == t.n / t.cells**t.components and t.n == 3000
    assert f"cost {t.cost / 1000:.1f} us/query (exact scan {t.exact_cost / 1000:.1f})" in str(t)
    # measured, then answered exactly: the radius is found in full
    wide = built(PlovikSearch(40, seed=2), rng.random((8000, 40)), radius=5.0, sample=100)
    t = wide.tuning
    assert t.exact and t.sample > 0 and t.radius_recall == 1.0 and t.radius_interval == t.interval == (1.0, 1.0)
    # the scan chosen after every shape was measured: 20 queries bound no setting's recall above 0.99
    few = PlovikSearch(16, recall=0.99, seed=1)
    few.build(datasets.clustered(rng, 20_000, 16, clusters=50, sigma=0.02), sample=20, radius=0.1)
    t = few.tuning
    assert t.exact and t.sample == 40 and t.interval == t.radius_interval == (1.0, 1.0) and t.radius_recall == 1.0


def build5(**kwargs):
    PlovikSearch(3).build(np.zeros((5, 3)), **kwargs)


@pytest.mark.parametrize(
    "make, exc, match",
    [
        (lambda: PlovikSearch(3, recall=0), ValueError, r"recall must lie in \(0, 1\]"),
        (lambda: PlovikSearch(3, recall=1.01), ValueError, r"recall must lie in \(0, 1\]"),
        (lambda: PlovikSearch(3, recall="high"), TypeError, "recall must be a real number"),
        (lambda: PlovikSearch(3, k=0), ValueError, "k must be at least 1"),
        (lambda: PlovikSearch(3, tune=1), TypeError, "tune, exact, monitor and adapt must be bools"),
        (lambda: PlovikSearch(3, monitor=1), TypeError, "tune, exact, monitor and adapt must be bools"),
        (lambda: build5(sample=6), ValueError, r"sample \(6\) is larger than the data"),
        (lambda: build5(sample=0), ValueError, "sample must be at least 1"),
        (lambda: build5(capacity=-1), ValueError, "capacity must be at least 0"),
        (lambda: build5(radius=np.inf), ValueError, "radius must be finite"),
        (lambda: build5(queries=np.zeros((2, 4))), ValueError, "queries has 4 columns"),
        (lambda: build5(tuning="again"), ValueError, "tuning must be"),
        (lambda: build5(tuning=5), TypeError, "tuning must be"),
        (lambda: PlovikSearch(3).estimate_recall(), ValueError, r"before build\(\)"),
    ],
)
def test_rejected_settings(make, exc, match):
    with pytest.raises(exc, match=match):
        make()


@pytest.mark.parametrize("make", [lambda rng, m: rng.random((m, 8)), lambda rng, m: clustered(rng, m, 8)])
def test_a_k_above_the_tuned_k_widens_the_search(make):
    rng = np.random.default_rng(5)
    X, fresh = make(rng, 40_000), make(rng, 300)
    search = built(PlovikSearch(8, seed=3, exact=False), X)  # clustered, the scan would answer
    assert not search.tuning.exact and search.tuning.k == 10
    for k in (20, 40):
        wide = search.query_knn(fresh, k)[0]
        assert recall_at_k(wide, exact_knn(X, fresh, k)[0]) >= 0.94, k
        # every neighbouring bucket probed, unless the call says otherwise
        assert np.array_equal(wide, search.query_knn(fresh, k, probes=search.tuning.components)[0])
    assert np.array_equal(search.query_knn(fresh, 10)[0], search.query_knn(fresh, 10, probes=search.tuning.probes)[0])
    t = search.tuning
    calls = [(t, 11, None), (t, 10, None), (t, 9, None), (t, 11, 2), (None, 50, None)]
    assert [probes_for(*c) for c in calls] == [t.components, None, None, 2, None]


def test_kept_settings_outlive_a_build(tmp_path):
    rng = np.random.default_rng(1)
    frames = [datasets.periodic_liquid(rng, 100_000, 3)]
    frames.append((frames[0] + rng.normal(0, 0.002, frames[0].shape)) % 1.0)  # the next frame
    fresh = rng.random((300, 3))
    # the grid is kept as it is, priced for the new frame
    grid = built(PlovikSearch(3, seed=4), frames[0])
    grid.build(frames[1], tuning="keep")
    assert grid.tuning.grid and grid.tuning.cost < grid.tuning.exact_cost and "exact grid" in str(grid.tuning)
    search = built(PlovikSearch(3, seed=4, exact=False), frames[0])  # hash settings
    first = search.tuning
    assert not first.exact and first.sample > 32
    search.save(tmp_path / "s")
    for s in (search, PlovikSearch.load(tmp_path / "s")):
        start = time.perf_counter()
        s.build(frames[1], tuning="keep")  # checked on 32 queries, the same tables as before
        wall = time.perf_counter() - start
        assert s.nbytes_by_part["exact scan"] == 0  # the check scanned the points as they are
        t = s.tuning
        assert t.settings() == first.settings() and t.sample == 32 and np.array_equal(s.params.s, search.params.s)
        assert t.candidates == pytest.approx(first.candidates, rel=0.5) and t.occupancy == first.occupancy
        assert 0 < t.seconds <= wall and t.interval[0] <= t.recall <= t.interval[1]
        assert recall_at_k(s.query_knn(fresh, 10)[0], exact_knn(frames[1], fresh, 10)[0]) >= 0.94
    # the check with the points laid out first measures the same
    kept = [
        tuning.keep(frames[1], first, target=0.95, k=10, seed=4, scan=scan) for scan in (None, ExactScan(frames[1]))
    ]
    assert all((k[0].settings(), k[0].recall, k[0].cost) == (t.settings(), t.recall, t.cost) for k in kept)
    # another search starts from it; without "keep" a build tunes afresh
    other = built(PlovikSearch(3, seed=4, tuning=first, exact=False), frames[1])
    assert other.tuning.sample == 32 and other.tuning.settings() == first.settings()
    other.build(frames[1])
    assert other.tuning.sample > 32
    # 30% more points: the modelled cost grows, by less than twice: kept
    denser = np.concatenate([frames[1], (frames[1][:30_000] + rng.normal(0, 0.01, (30_000, 3))) % 1.0])
    search.build(denser, tuning="keep")
    assert search.tuning.sample == 32
    # data the settings no longer suit (far denser buckets) are tuned again
    search.build(datasets.clustered(rng, 100_000, 3, clusters=5, sigma=0.003), tuning="keep")
    assert search.tuning.sample != 32
    if not search.tuning.exact:  # the tuning's layout is kept for the monitor's checks
        assert search.nbytes_by_part["exact scan"] > 0
    with pytest.raises(ValueError, match="the tuning is for 3 coordinates, the search has 4"):
        PlovikSearch(4, tuning=first)


def test_small_data_is_scanned_without_measuring():
    # below 250,000 points times coordinates the sizes alone decide
    X = np.random.default_rng(3).random((15_000, 16))
    search = built(PlovikSearch(16, seed=1), X, radius=0.5)  # (occupancy, seconds: test_the_report_says_...)
    t = search.tuning
    assert t.exact and t.sample == 0 and t.tables == 1 and t.probes == 0
    assert (t.recall, t.interval, t.radius_recall, t.radius_interval) == (1.0, (1.0, 1.0), 1.0, (1.0, 1.0))
    assert t.cost == t.exact_cost and f"cost {t.exact_cost / 1000:.1f} us/query" in str(t)
    search.build(X, tuning="keep")  # an exact tuning is kept as it is
    assert search.tuning.exact and search.tuning.interval == (1.0, 1.0)
    Q = np.random.default_rng(4).random((20, 16))
    assert np.array_equal(search.query_knn(Q, 5)[0], exact_knn(X, Q, 5)[0])
    # the capacity counts, and without the exact scan the settings are measured
    later = built(PlovikSearch(16, seed=1), X[:2000], capacity=20_000, sample=50)
    assert later.tuning.sample > 0
    measured = built(PlovikSearch(16, seed=1, exact=False), X[:2000], sample=50, quiet=True)
    assert not measured.tuning.exact and measured.tuning.sample == 100


@pytest.mark.parametrize("copies, base, d, jitter", [(20, 1500, 16, 2e-7), (2, 12_000, 16, 0.0)])
def test_copies_of_a_sample_point_are_not_found_for_free(copies, base, d, jitter):
    # exact copies, or near ones (within 1e-6 a coordinate: distinct in single precision)
    rng = np.random.default_rng(copies)
    X = np.repeat(rng.random((base, d)), copies, 0)
    X += jitter * rng.choice([-1.0, 1.0], X.shape)
    fresh = rng.random((400, d))
    search = PlovikSearch(d, seed=1)
    with warnings.catch_warnings(record=True, action="always", category=RecallWarning) as caught:
        search.build(X)
    t = search.tuning
    assert t.exact or t.tables > 1  # one table finds a point's copies, not its neighbours
    recall = tie_recall(search.query_knn(fresh, 10)[0], X, fresh, 10)
    assert recall >= 0.92 or caught, (t, recall)  # the target less the noise of 400 all-or-nothing queries


def test_ties_of_a_lattice_count_as_found():
    rng = np.random.default_rng(9)
    X, fresh = (rng.integers(0, 6, (m, 8)) / 6 for m in (40_000, 300))  # distances in steps of 1/6: ties
    search = built(PlovikSearch(8, seed=2), X, sample=200)
    t = search.tuning
    assert t.exact or t.reached
    assert tie_recall(search.query_knn(fresh, 10)[0], X, fresh, 10) >= 0.92
    # queries between the lattice's points (the tuning measures such: points moved by about their k-th distance)
    between = rng.random((300, 8))
    assert tie_recall(search.query_knn(between, 10)[0], X, between, 10) >= 0.92


@pytest.mark.parametrize("later_found, confirmed", [(False, False), (True, True)])
def test_an_early_stop_is_trusted_only_when_the_next_queries_bear_it_out(later_found, confirmed):
    # four queries whose neighbour is themselves (always found) and four whose neighbour lies half a period
    # away in every coordinate (2 cells, no probes: never probed); the setting was chosen on the first four
    Q = np.random.default_rng(0).random((8, 4))
    away = (Q + 0.5) % 1.0
    first, later = (Q, away) if not later_found else (away, Q)
    truth = _Truth(Q, np.ones(8, np.int64), np.arange(8), np.concatenate([first[:4], later[4:]]))
    s, u = draw_weighted_parameters(np.random.default_rng(1), np.full(4, 0.25), 1, 4)
    chosen = _Option(2, 4, 1, 0, 1.0, 1.0, (0.9, 1.0), None, 10.0, 100.0)
    best, ok = _confirm(chosen, s, u, [truth], None, 4, 0.95)
    assert ok == confirmed and best.recall == 0.5 and best.interval[0] < 0.5 < best.interval[1]
    assert (best.b, best.k, best.l, best.p, best.cost) == (2, 4, 1, 0, 100.0)


def test_a_setting_the_scan_beats_is_not_confirmed(monkeypatch):
    # clustered points in 16 coordinates: at 40,000 (k = 10) a round reaches the target with a setting that
    # costs no less than the scan, which is then chosen with no more sample queries searched to confirm it;
    # at 30,000 (k = 1) a setting cheaper than the scan is confirmed and chosen
    chosen: list = []
    confirmed: list = []
    choose, confirm = tuning._choose, tuning._confirm
    monkeypatch.setattr(tuning, "_choose", lambda *a, **kw: chosen.append(choose(*a, **kw)) or chosen[-1])
    monkeypatch.setattr(tuning, "_confirm", lambda best, *a: confirmed.append(best.cost) or confirm(best, *a))
    for n, k, scan in ((40_000, 10, True), (30_000, 1, False)):
        chosen.clear()
        confirmed.clear()
        X = datasets.clustered(np.random.default_rng(0), n, 16, clusters=50, sigma=0.02)
        report, _, _ = tune(X, target=0.95, k=k, seed=1)
        assert report.exact == scan and all(cost < report.exact_cost for cost in confirmed)
        beaten = [best for best, reached in chosen if reached and best.cost >= report.exact_cost]
        assert bool(beaten) == scan and bool(confirmed) != scan
