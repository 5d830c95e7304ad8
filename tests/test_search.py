"""PlovikSearch: the parameter rule, reproducible drawing, validation and
conversion of array-likes; every refusal on both backends alike."""

import dataclasses
import math
from functools import partial

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import plovik
from index_helpers import assert_tables_equal, equal_rows, strided
from plovik import PlovikSearch
from plovik.search import TARGET_OCCUPANCY, choose_cells_and_components, draw_hash_parameters
from query_helpers import assert_rows_equal


def points(n, d, seed=0):
    return np.random.default_rng(seed).random((n, d))


def built(d=5, n=600, n_static=500, backend="reference", seed=3, data=None, **kw):
    search = PlovikSearch(d, seed=seed, backend=backend, **{"tune": False, **kw})  # the fixed rule
    search.build(points(n, d) if data is None else data, n_static)
    return search


# ------------------------------------------------------------ parameter rule


@pytest.mark.parametrize(
    "n, d, kw, expected",
    [
        (1_000_000, 4, {}, (16, 4)),  # d caps the components: more cells per coordinate
        (1_000_000, 1, {}, (62500, 1)),
        *[(n, 3, {}, (3, 1)) for n in (0, 1, 16, 32, 50)],  # few points still split
        (1_000_000, 16, dict(cells=4, components=9), (4, 9)),  # given settings are kept
        (1_000_000, 16, dict(cells=2), (2, 16)),  # 2**16 = 65536 buckets, about n / 16
        (1_000_000, 16, dict(components=4), (16, 4)),  # 16**4 = 65536
        (1_000_000, 16, dict(cells=1), (1, 1)),
        (1_000_000, 16, dict(occupancy=64), (3, 9)),
    ],
)
def test_rule_examples(n, d, kw, expected):
    assert choose_cells_and_components(n, d, **kw) == expected


@given(n=st.integers(0, 10**18), d=st.integers(1, 64), given_b=st.integers(2, 10**6))
def test_rule_valid_and_near_the_target(n, d, given_b):
    # given cells never overflow the key either
    cells, k = choose_cells_and_components(n, d, cells=given_b)
    assert cells == given_b and k >= 1 and given_b**k <= 2**63 - 1
    b, k = choose_cells_and_components(n, d)
    assert 1 <= k <= d and b**k <= 2**63 - 1
    buckets = max(n / TARGET_OCCUPANCY, 2)
    natural = max(1, round(math.log(buckets) / math.log(3)))
    if natural <= d:  # three cells, within a factor sqrt(3) of the target
        assert (b, k) == (3, natural) and 3**-0.5 <= b**k / buckets <= 3**0.5
    else:  # capped by the dimension: K = d, b from the d-th root
        assert k == d and b >= 3 and (b - 1) ** d <= buckets <= (b + 1) ** d


# ------------------------------------------------------------------- drawing


@given(d=st.integers(1, 20), L=st.integers(1, 12), K=st.integers(1, 45), seed=st.integers(0, 2**32))
def test_drawn_s_and_u_valid(d, L, K, seed):
    s, u = draw_hash_parameters(np.random.default_rng(seed), d, L, K)
    assert s.shape == u.shape == (L, K) and s.dtype == np.int64 and u.dtype == np.float64
    assert s.min() >= 0 and s.max() < d and u.min() >= 0.0 and u.max() < 1.0
    for row in s:
        counts = np.bincount(row, minlength=d)
        # distinct when K <= d, otherwise every coordinate as evenly as possible
        assert counts.max() - counts.min() <= 1 and counts.max() == -(-K // d)


def test_draws_and_builds_follow_the_seed_and_the_rule():
    s4, u4 = draw_hash_parameters(np.random.default_rng(3), 10, 4, 6)
    s9, u9 = draw_hash_parameters(np.random.default_rng(3), 10, 9, 6)
    # the same seed replays the draws; more tables extend fewer
    assert np.array_equal(s9[:4], s4) and np.array_equal(u9[:4], u4)
    assert not np.array_equal(draw_hash_parameters(np.random.default_rng(4), 10, 4, 6)[1], u4)
    s, u = draw_hash_parameters(np.random.default_rng(0), 16, 32, 7)
    assert len({tuple(row) for row in s}) == 32 and len(np.unique(u)) == u.size
    search = built(d=6, n=5000, n_static=4000, seed=11, tables=5, probes=2, block=17, backend="native")
    p = search.params
    assert (p.b, p.k, p.l, p.probes, p.block) == (*choose_cells_and_components(5000, 6), 5, 2, 17)
    s, u = draw_hash_parameters(np.random.default_rng(11), 6, 5, p.k)
    assert np.array_equal(p.s, s) and np.array_equal(p.u, u)
    again = search.hash_parameters(5000)
    assert np.array_equal(again.s, p.s) and np.array_equal(again.u, p.u)
    # the backend's raw index built from these parameters holds the same tables
    raw = plovik.RustLshIndex(**p.as_kwargs())
    raw.build(points(5000, 6), 4000)
    assert_tables_equal(search, raw)
    assert isinstance(search.raw, plovik.RustLshIndex)
    assert PlovikSearch(2).backend == "native"  # auto picks native
    search.build(points(100, 6))  # a rebuild chooses again for its size
    assert (search.params.b, search.params.k) == (3, 2) != (p.b, p.k)
    drawn = built(seed=None)  # no seed: one is drawn, and it reproduces
    assert isinstance(drawn.seed, int)
    assert_tables_equal(drawn, built(seed=drawn.seed))
    # a generator is drawn from at each build; an equal generator replays the draws
    gen, twin = built(seed=np.random.default_rng(1)), built(seed=np.random.default_rng(1))
    first = gen.params
    gen.build(points(600, 5), 500)
    assert not np.array_equal(first.u, gen.params.u) and np.array_equal(twin.params.u, first.u)


def test_hash_parameters_compare_and_hash_by_value():
    """Equal seeds: equal, equally hashed parameters; any setting or entry that differs: unequal."""
    a, b = built(seed=5).params, built(seed=5).params
    assert a is not b and a == b and hash(a) == hash(b) and len({a, b}) == 1
    narrow = dataclasses.replace(a, s=a.s.astype(np.int32), u=np.where(a.u == 0.0, -0.0, a.u))
    assert narrow == a and hash(narrow) == hash(a)
    settings = [dict(b=a.b + 1), dict(probes=a.probes + 1), dict(block=a.block + 1)]
    for changed in [*settings, dict(s=(a.s + 1) % 5), dict(u=np.nextafter(a.u, 1.0)), dict(s=a.s.ravel())]:
        other = dataclasses.replace(a, **changed)
        assert other != a and a != other
    assert a != "HashParameters" and built(seed=6).params != a
    s = a.s.copy()
    c = dataclasses.replace(a, s=s)
    s[0, 0] += 1  # the parameters hold their own read-only copy
    assert c == a and not c.s.flags.writeable
    text = repr(a)
    assert text.startswith(f"HashParameters(b={a.b}, k={a.k}, l={a.l}, probes={a.probes}") and len(text) < 200
    assert f"int64 array {a.s.shape}" in text and str(a.u[0, 0]) not in text


# ------------------------------------------------------------------ validation


Z = np.zeros((2, 5))


rows = partial(equal_rows, d=5)
NANS = rows(2**32, value=np.nan)  # 2**32 rows of nan
V, T = ValueError, TypeError
INTEGERS = r"^points holds integers \(dtype int64\), but coordinates must be fractions of the period: .* pass boxsize=L"
EXCLUDE_SHAPE = (
    r"exclude_ids must have shape \(2,\), one id per query, or \(2, e\), e ids per query padded with -1, "
    r"got shape \(1,\)"
)
TOO_LARGE = (
    r"k = 1000000000 is too large: the results of 1000000 queries, two \(1000000, 1000000000\) arrays of "
    r"8-byte values, need 14,901,161.2 GiB but this machine has [\d,.]+ GiB of memory"
)


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda s: PlovikSearch(0), V, "d must be at least 1"),
        (lambda s: PlovikSearch(2.0), T, "d must be an integer, got float"),
        (lambda s: PlovikSearch(True), T, "d must be an integer, got a bool"),
        (lambda s: PlovikSearch(3, tables=0), V, "tables must be at least 1"),
        (lambda s: PlovikSearch(3, components=0), V, "components must be at least 1"),
        (lambda s: PlovikSearch(3, cells=0), V, "cells must be at least 1"),
        (lambda s: PlovikSearch(3, probes=-1), V, "probes must be at least 0"),
        (lambda s: PlovikSearch(3, block=-2), V, "block must be at least 0"),
        (lambda s: PlovikSearch(3, seed=-1), V, "seed must be at least 0"),
        (lambda s: PlovikSearch(3, seed="x"), T, "seed must be an integer"),
        (lambda s: PlovikSearch(3, cells=16, components=16), V, r"cells\*\*components = 16\*\*16 exceeds"),
        (lambda s: PlovikSearch(3, backend="gpu"), V, "backend must be"),
        (lambda s: PlovikSearch(3, backend=None), T, "backend must be a str"),
        (lambda s: s.build(np.zeros((4, 3))), V, r"points has 3 columns but the index has d = 5"),
        (lambda s: s.build(np.zeros(5)), V, r"2-D array of shape \(n, 5\), got shape \(5,\); for a single point"),
        (lambda s: s.build(np.zeros((2, 5, 1))), V, r"2-D array of shape \(n, 5\), got shape \(2, 5, 1\)"),
        (lambda s: s.build([[0.1] * 5, [0.2] * 4]), T, "points must be an array of numbers"),
        (lambda s: s.build(np.array([["a"] * 5])), T, "points must hold real numbers, got dtype <U1"),
        (lambda s: s.build(Z.astype(bool)), T, "must hold real numbers"),
        # integer coordinates (all on the origin of the unit torus): only with a boxsize
        (lambda s: s.build(Z.astype(int)), V, INTEGERS),
        (lambda s: s.build([[0] * 5]), V, "points holds integers"),
        (lambda s: s.build(np.zeros((3, 5)), queries=np.zeros((2, 5), np.uint8)), V, "queries holds integers"),
        (lambda s: s.query_knn(np.zeros(5, int), 2), V, "queries holds integers"),
        (lambda s: s.query_radius(Z.astype(np.int8), 0.1), V, "queries holds integers"),
        (lambda s: s.query_knn(Z.astype(bool), 2), T, "queries must hold real numbers, got dtype bool"),
        (lambda s: s.update(np.zeros((100, 5), int)), V, "coords holds integers"),
        (lambda s: s.promote(np.zeros((3, 5), np.uint64)), V, "new_candidates holds integers"),
        (lambda s: s.build("0.5"), T, "points must be an array of numbers, got str"),
        (lambda s: s.update(None), T, "coords must be an array of numbers, got None"),
        (
            lambda s: s.build(np.pad([[np.nan]], ((1, 0), (2, 2)))),
            V,
            "points must be finite: row 1, column 2 holds nan",
        ),
        (lambda s: s.build(np.full((1, 5), np.inf)), V, "finite: row 0, column 0 holds inf"),
        (lambda s: s.build(np.zeros((3, 5)), 4), V, r"n_static must lie in \[0, 3\] for 3 points, got 4"),
        (lambda s: s.build(np.zeros((3, 5)), -1), V, r"n_static must lie in \[0, 3\]"),
        (lambda s: s.build(np.zeros((3, 5)), 1.0), T, "n_static must be an integer"),
        (lambda s: s.query_knn(np.zeros((2, 4)), 3), V, "queries has 4 columns but the index has d = 5"),
        (lambda s: s.query_knn(Z, 0), V, "k must be at least 1, got 0"),
        (lambda s: s.query_knn(Z, 2.5), T, "k must be an integer, got float"),
        (lambda s: s.query_knn(Z, 2, [0]), V, EXCLUDE_SHAPE),
        (lambda s: s.query_knn(Z, 2, [[0, 1]]), V, "exclude_ids must have shape"),
        (lambda s: s.query_knn(Z, 2, [0.0, 1.0]), T, "exclude_ids must hold integers, got dtype float64"),
        (
            lambda s: s.query_knn(Z, 2, [0, 600]),
            V,
            r"exclude_ids must lie in \[-1, 600\) \(-1 excludes nothing\), got 600",
        ),
        (lambda s: s.query_knn(Z, 2, [-2, 0]), V, "got -2"),
        (lambda s: s.query_knn(Z, 2, np.array([2**64 - 1, 0], np.uint64)), V, "exclude_ids must lie in"),
        (lambda s: s.query_knn(np.full((1, 5), np.nan), 2), V, "queries must be finite"),
        (lambda s: s.query_radius(Z, -0.1), V, "radius must be finite and non-negative, got -0.1"),
        (lambda s: s.query_radius(Z, float("nan")), V, "got nan"),
        (lambda s: s.query_radius(Z, float("inf")), V, "got inf"),
        (lambda s: s.query_radius(Z, "0.1"), T, "radius must be a real number, got str"),
        (lambda s: s.query_radius(Z, True), T, "radius must be a real number, got bool"),
        (lambda s: s.query_radius(Z, 0.2, [5]), V, "exclude_ids must have shape"),
        (lambda s: s.update(np.zeros((99, 5))), V, "coords has 99 rows but the index holds 100 candidates"),
        (lambda s: s.update(np.zeros((100, 6))), V, "coords has 6 columns"),
        (lambda s: s.update(np.full((100, 5), -np.inf)), V, "coords must be finite"),
        (lambda s: s.promote(np.zeros((3, 4))), V, "new_candidates has 4 columns but the index has d = 5"),
        (lambda s: s.promote(np.zeros(5)), V, "for a single point use new_candidates"),
        # masked arrays: the mask would be ignored
        (lambda s: s.build(np.ma.masked_array(Z, mask=Z > 0)), T, "points must not be a masked array"),
        (lambda s: s.query_knn(np.ma.masked_array(Z), 1), T, "queries must not be a masked array"),
        (lambda s: s.query_radius(Z, 0.1, np.ma.masked_array([0, 1])), T, "exclude_ids must not be a masked"),
        (lambda s: s.update(np.ma.masked_array(np.zeros((100, 5)))), T, "coords must not be a masked array"),
        # single points, a radius per query, output forms, settings per call
        (lambda s: s.query_knn(np.zeros(3), 2), V, r"a single query must have d = 5 values, got shape \(3,\)"),
        (lambda s: s.query_knn(np.zeros(5), 2, [[[1, 2]]]), V, r"exclude_ids must have shape \(1,\)"),
        (lambda s: s.query_radius(np.zeros((3, 5)), [0.1, 0.2]), V, r"one per query, got shape \(2,\)"),
        (lambda s: s.query_radius(Z, [0.1, -1]), V, "entry 1 is -1"),
        (lambda s: s.query_radius(Z, [0.1, np.nan]), V, "entry 1 is nan"),
        (lambda s: s.query_radius(Z, ["a", "b"]), T, "radius must be a real number or an array"),
        (lambda s: s.query_radius(np.zeros(5), 0.1, count_only=True, sparse=True), V, "exclude each other"),
        (lambda s: s.pairs(-0.5), V, "radius must be finite"),
        (lambda s: s.query_knn(Z, 3, probes=-1), V, "probes must be at least 0"),
        (lambda s: s.query_knn(Z, 3, threads=0), V, "threads must be at least 1"),
        (lambda s: s.query_radius(Z, 0.1, threads=-(2**64)), V, "threads must be at least 1, got -1844"),
        (lambda s: s.query_knn(Z, 3, threads=2.0), T, "threads must be an integer or None, got float"),
        (lambda s: PlovikSearch(5, threads=0), V, "threads must be at least 1"),
        (lambda s: PlovikSearch(5, threads=True), T, "threads must be an integer or None, got a bool"),
        (lambda s: s.retire([0.5]), T, "ids must hold integers, got dtype float64"),
        (lambda s: s.retire("1"), T, "ids must be an array of numbers, got str"),
        (lambda s: s.retire([[1, 2]]), V, r"ids must be a 1-D array of point ids, got shape \(1, 2\)"),
        (lambda s: s.retire([600]), V, r"ids must lie in \[0, 600\) to be retired, got 600"),
        (lambda s: s.retire([-1]), V, "got -1"),
        # numbers no float or index can hold
        (lambda s: s.query_radius(Z, 10**400), V, "radius must be finite and non-negative, got a value beyond"),
        (lambda s: s.hash_parameters(10**400), V, r"n must be at most 8589934590"),
        (lambda s: s.hash_parameters(2**33 - 1), V, "n must be at most"),
        # shapes, counts and tier sizes are refused before any array is converted or scanned
        (lambda s: s.build(rows(2**32)), V, r"^a tier must hold fewer than 2\*\*32 points$"),
        (lambda s: s.build(rows(2**32 + 1, value=np.nan), 1), V, "a tier must hold fewer"),
        (lambda s: s.build(NANS, 2**32 + 1), V, r"n_static must lie in \[0, 4294967296\]"),
        (lambda s: s.update(NANS), V, "coords has 4294967296 rows but the index holds 100"),
        (lambda s: s.promote(rows(2**32, value=np.inf)), V, "a tier must hold fewer"),
        (lambda s: s.query_knn(NANS, 0), V, "k must be at least 1"),
        (lambda s: s.query_knn(rows(2**32), 1, [0]), V, "exclude_ids must have shape"),
        (lambda s: s.query_radius(rows(2**32, d=4), 0.1), V, "queries has 4 columns"),
        (lambda s: s.query_radius(NANS, -1.0), V, "radius must be finite"),
        (
            lambda s: s.query_knn(NANS, 2**61),
            V,
            r"^k = 2305843009213693952 is too large: no result array of shape \(4294967296, ",
        ),
        (lambda s: s.query_knn(Z, 2**61, [0, -5]), V, "no result array of shape"),
        (lambda s: s.query_knn(rows(10**6, value=np.nan), 10**9), V, TOO_LARGE),
    ],
)
def test_refusals_change_nothing_and_read_alike(call, exc, message):
    messages = []
    for backend in ("native", "reference"):
        search = built(backend=backend)
        before, params = search.tables(), search.params
        with pytest.raises(exc, match=message) as info:
            call(search)
        messages.append(str(info.value))
        after = search.tables()
        assert all(np.array_equal(before[key], after[key]) for key in before) and search.params is params
        assert search.n_retired == 0
    assert messages[0] == messages[1]


def test_thread_counts_beyond_the_pool_are_taken_as_its_cap():
    """A count above the pool's cap of 1024 workers (search, call or `thread_limit`) is the cap."""
    expected = built(backend="native").query_knn(points(50, 5, seed=4), 3)
    search = built(backend="native", threads=2**64)
    assert search.__reduce__()[1][0]["settings"]["threads"] == 1024
    for threads in (None, 2**64, 10**30, 1024, 1):
        assert_rows_equal(search.query_knn(points(50, 5, seed=4), 3, threads=threads), expected)
    whole = plovik.thread_count()
    with plovik.thread_limit(2**70):
        assert plovik.thread_count() == whole


# -------------------------------------------------------- conversion, sizes


def test_array_likes_give_the_same_result():
    x = points(400, 4, seed=2)
    ref = built(d=4, n_static=300, seed=1, data=x)
    exact = ref.query_knn(x[:20], 5, np.arange(20))
    # lists, Fortran order and strided views; ids as a list or of any integer width
    for variant, ids in [
        (x.tolist(), list(range(20))),
        (np.asfortranarray(x), np.arange(20, dtype=np.uint16)),
        (strided(x), strided(np.arange(20))),
    ]:
        other = built(d=4, n_static=300, seed=1, data=variant)
        assert_tables_equal(ref, other)
        rows = other.query_knn(variant[:20], 5, ids)
        assert all(np.array_equal(a, b) for a, b in zip(exact, rows, strict=True))
    # float32 input is widened: same as building from the widened copy
    x32 = x.astype(np.float32)
    assert_tables_equal(built(d=4, n_static=300, data=x32), built(d=4, n_static=300, data=x32.astype(np.float64)))
    # no queries, no ids: an empty list (float64 to NumPy) is fine
    assert ref.query_knn(x[:0], 5, [])[0].shape == (0, 5) and ref.query_radius(x[:0], 0.1, [])[0].tolist() == [0]


def test_sizes_and_stats_follow_the_epochs():
    search = PlovikSearch(3, seed=0, backend="reference", tune=False)
    assert (len(search), search.n_static, search.n_candidates) == (0, 0, 0)
    assert search.nbytes == 0 and "nbytes=0.0 MB" in repr(search)
    one = np.zeros((1, 3))
    calls = [("update", (one[:0],)), ("promote", (one,)), ("query_knn", (one, 1)), ("query_radius", (one, 0.1))]
    for method, args in [*calls, ("retire", ([0],))]:
        with pytest.raises(ValueError, match=r"before build\(\): the index holds no points"):
            getattr(search, method)(*args)
    assert all(t.shape == (32, 0) for t in search.tables().values())
    assert search.stats() == dict(
        gather_ns=0, refine_ns=0, relax_ns=0, queries=0, cands=0, pairs=0, relaxed=0, block=65536
    )
    search.build(points(50, 3))
    assert (search.n_points, search.n_static, search.n_candidates) == (50, 50, 0)
    search.promote(points(7, 3, seed=1))
    assert (search.n_points, search.n_static, search.n_candidates) == (57, 50, 7)
    search.update(points(7, 3, seed=2))
    search.promote()
    assert (len(search), search.n_static, search.n_candidates) == (57, 57, 0)
    assert "n_static=57" in repr(search) and f"nbytes={search.nbytes / 1e6:.1f} MB (coordinates" in repr(search)
    assert search.nbytes == sum(search.nbytes_by_part.values()) == search.raw.nbytes > 57 * 32 * 16
    search.query_knn(points(10, 3, seed=4), 3)
    assert search.stats()["queries"] == 10
    search.reset_stats()
    assert search.stats()["queries"] == 0
