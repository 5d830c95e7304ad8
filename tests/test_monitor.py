"""The recall monitor: exact checks of a share of every query call, the warning and the re-tuning."""

import pickle
import re
import warnings
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from plovik import PlovikSearch, RecallWarning, exact_knn
from plovik.exact import ExactScan, recall_at_k
from plovik.monitor import FAR_CHECKS, FIRST_CHECKS, Monitor, knn_hits
from plovik.tuning import Tuning

D = 16


def clustered(rng, centres, n, which):
    c = centres[rng.choice(which, n)]
    return (c + 0.01 * rng.standard_normal((n, D))) % 1.0


@pytest.fixture(scope="module")
def drift():
    """Points in 100 clusters; queries from 100 other clusters (the tuning measured the points' own)."""
    rng = np.random.default_rng(5)
    centres = rng.random((200, D))
    X = clustered(rng, centres, 20_000, np.arange(100))
    calls = [clustered(rng, centres, 2_000, np.arange(100, 200)) for _ in range(3)]
    return X, calls


def search_on(X, **settings):
    search = PlovikSearch(D, seed=3, **settings)
    search.build(X)
    return search


def recall_of(X, Q, idx):
    return recall_at_k(idx, exact_knn(X, Q, 10)[0])


def calls_with_warnings(search, calls, k=10):
    out = []
    for Q in calls:
        with warnings.catch_warnings(record=True, action="always") as caught:
            idx, _ = search.query_knn(Q, k)
        out.append((idx, [w for w in caught if issubclass(w.category, RecallWarning)]))
    return out


def test_drifting_queries_warn_at_the_callers_line_and_the_search_adapts(drift):
    X, calls = drift
    s = search_on(X)
    assert not s.tuning.exact and s.observed_recall.queries == 0 and s.observed_recall.since == "build"
    (idx0, w0), (idx1, w1), (idx2, w2) = calls_with_warnings(s, calls)
    assert recall_of(X, calls[0], idx0) < 0.5  # the miss the monitor must see
    assert len(w0) == 1 and w0[0].filename == __file__
    assert "unlike those the tuning measured" in str(w0[0].message) and "re-tunes now" in str(w0[0].message)
    assert s.observed_recall is None or s.observed_recall.since == "adapt"
    for Q, idx, w in ((calls[1], idx1, w1), (calls[2], idx2, w2)):
        assert not w and recall_of(X, Q, idx) >= 0.94


def test_without_adapting_the_search_warns_once_and_keeps_its_settings(drift, tmp_path):
    X, calls = drift
    s = search_on(X, adapt=False)
    settings = s.tuning.settings()
    results = calls_with_warnings(s, calls)
    assert [len(w) for _, w in results] == [1, 0, 0]
    assert "pass a sample of your queries" in str(results[0][1][0].message)
    seen = s.observed_recall
    assert seen.missed and seen.recall < 0.5 and seen.queries > 0 and seen.since == "build"
    assert s.tuning.settings() == settings
    # the same seed and calls check the same queries: the same estimate
    again = search_on(X, adapt=False)
    calls_with_warnings(again, calls)
    assert again.observed_recall == seen
    # a save or pickle keeps the settings and starts a new estimate: warned again, not adapted
    s.save(tmp_path / "s")
    for other in (PlovikSearch.load(tmp_path / "s"), pickle.loads(pickle.dumps(s))):
        assert other.observed_recall.since == "load" and other.observed_recall.queries == 0
        ((_, caught),) = calls_with_warnings(other, calls[1:2])
        assert len(caught) == 1 and other.tuning == s.tuning
    # concurrent calls share one monitor
    expected = again.query_knn(X[:3_000], 10)[0]
    with ThreadPoolExecutor(4) as pool:
        out = list(pool.map(lambda _: again.query_knn(X[:3_000], 10)[0], range(4)))
    assert all(np.array_equal(o, expected) for o in out) and again.observed_recall.queries > seen.queries


def test_queries_like_the_points_raise_no_alarm_and_off_means_off(drift):
    X, calls = drift
    rng = np.random.default_rng(8)
    Q = X[rng.choice(len(X), 2_000)] + 1e-3 * rng.standard_normal((2_000, D))
    s = search_on(X)
    assert not any(w for _, w in calls_with_warnings(s, [Q] * 3))
    seen = s.observed_recall
    assert seen.queries > 0 and seen.interval[1] >= 0.95 and seen.since == "build"
    off = search_on(X, monitor=False)
    assert off.observed_recall is None
    # monitored, the points are kept laid out for its checks (4 bytes a coordinate, its byte, order, ranges)
    laid_out = ExactScan(X).nbytes
    assert laid_out >= len(X) * D * 5 and off.nbytes_by_part["exact scan"] == 0
    assert s.nbytes_by_part["exact scan"] == laid_out and s.nbytes == off.nbytes + laid_out
    assert np.array_equal(off.query_knn(Q, 10)[0], s.query_knn(Q, 10)[0])  # checking changes no answer
    # unmonitored, a search still estimates its recall on the caller's queries
    drifted = off.estimate_recall(queries=calls[0])
    assert drifted.sample == 2_000 and drifted.recall < 0.5
    assert off.estimate_recall().recall >= 0.9
    with pytest.raises(ValueError, match="exclude each other"):
        off.estimate_recall(sample=10, queries=calls[0])
    # fixed settings have no tuning to monitor (exact searches: test_exact_mode.py; monitor=1: test_tuning.py)
    fixed = search_on(X, tables=4, components=4, cells=4, probes=1)
    assert fixed.observed_recall is None


def test_queries_that_turn_away_after_good_calls_warn_in_the_call_that_turns(drift):
    # the first call after the build is checked on the build's account; its good queries hide no later miss
    X, calls = drift
    rng = np.random.default_rng(9)
    like = X[rng.choice(len(X), 2_000)] + 1e-3 * rng.standard_normal((2_000, D))
    s = search_on(X, adapt=False)
    (_, w0), (idx1, w1) = calls_with_warnings(s, [like, calls[0]])
    assert not w0 and recall_of(X, calls[0], idx1) < 0.5
    assert len(w1) == 1 and "unlike those the tuning measured" in str(w1[0].message)
    seen = s.observed_recall
    assert seen.queries >= 4 and seen.since == "build"
    # the count the warning gives is of the queries it was judged on
    count, span = re.search(
        r"(\d+) queries checked (since build|in this call|most recently)", str(w1[0].message)
    ).groups()
    assert int(count) <= seen.queries and (span != "since build" or int(count) == seen.queries)


def test_radius_and_pairs_calls_are_checked_too(drift):
    X, _ = drift
    s = PlovikSearch(D, seed=3, adapt=False)
    s.build(X, radius=0.15)
    before = s.observed_recall.queries
    assert s.query_radius(X[:4_000], 0.15, count_only=True).mean() > 5
    after_radius = s.observed_recall.queries
    s.pairs(0.15)
    assert before < after_radius < s.observed_recall.queries and s.observed_recall.interval[1] >= 0.9


def test_ties_with_the_kth_count_as_found_and_a_warning_counts_its_queries():
    inf = np.inf
    truth = np.array([[0.1, 0.2, 0.3], [0.5, inf, inf], [inf, inf, inf]])
    # row 0: another id at the k-th distance and one a float32 ulp above it (batched rounding) count as found
    ulp = float(np.nextafter(np.float32(0.3), np.float32(1)))
    found = np.array([[0.1, 0.3, ulp], [0.6, inf, inf], [inf, inf, inf]])
    hits, need = knn_hits(found, truth)
    assert hits.tolist() == [3, 0, 0] and need.tolist() == [3, 1, 0]
    # a warning counts the queries it was judged on: 200 good checks then one call of 10 poor ones,
    # the pooled estimate still reaches the target, the call's own and the latest checks do not
    m = Monitor(0.95, seed=0, since="build")
    assert m.record(np.full(200, 10), np.full(200, 10), "drift", 10) is None
    seen = m.record(np.full(10, 2), np.full(10, 10), "drift", 10)
    assert seen is not None and seen.queries < 200 and seen.span in ("most recently", "in this call")
    assert m.estimate().span == "" and m.estimate().queries == 210
    assert m.record(np.full(10, 2), np.full(10, 10), "drift", 10) is None  # once per cause


def plain_tuning(cost=5_000.0, exact_cost=65_000.0):
    head = (False, 3, 6, 2, 1, 0.97, (0.95, 0.99), None, None, 64, 0.95, 10, None, 100.0)
    return Tuning(*head, cost, exact_cost, 50_000, 4.0, (1.0,))


@pytest.mark.parametrize("call_size", [100, 2_000])
def test_the_first_queries_after_a_change_are_checked_then_the_budget_pays(call_size):
    # FIRST_CHECKS over the first 2,000 queries; then what 5% of the modelled cost pays for, small calls alike
    m = Monitor(0.95, seed=4, since="build")
    t = plain_tuning(cost=1_000.0)
    planned = [m.plan(call_size, t, True).todo for _ in range(40_000 // call_size)]
    first = sum(p.size for p in planned[: 2_000 // call_size])
    assert first == FIRST_CHECKS and sum(p.size for p in planned) - first == 2  # 5% of 40,000 queries' cost: two checks
    assert all(((p >= 0) & (p < call_size)).all() and (np.diff(p) > 0).all() for p in planned)


@pytest.mark.parametrize(
    "found, far, more",
    [
        (10, False, 0),  # checks that find every neighbour: no more
        (7, False, 4),  # checks that miss: DOUBT_CHECKS more, then as many again while in doubt
        (10, True, 0),  # far queries that find every neighbour: the far round, no more
        (9, True, 16),  # far queries that miss a little: as many again
    ],
)
def test_a_call_in_doubt_checks_more_of_its_queries(found, far, more):
    m = Monitor(0.95, seed=1, since="build")
    t = plain_tuning(cost=4_000.0)  # 5% of three calls pays for one check
    for _ in range(2):  # past the first 2,000 queries; their k-th distances are the reference
        m.plan(2_000, t, True, np.full(2_000, 0.2), 10)
    call = m.plan(2_000, t, True, np.full(2_000, 0.5 if far else 0.2), 10)
    assert call.far == far and call.todo.size == (FAR_CHECKS if far else 1)
    m.record(np.full(call.todo.size, found), np.full(call.todo.size, 10), "drift", 10, call)
    m.more(call, t)
    assert call.todo.size == more and not np.isin(call.todo, call.done).any()
