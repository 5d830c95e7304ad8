"""The blocked batch path of query_knn: rows against the per-query path and
the NumPy reference on randomised indexes, the d = 8 / 16 / 24 kernels, the
path choice, the counters of both paths, refused input, threads."""

import textwrap
import threading

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from plovik import RustLshIndex
from plovik.lsh import PythonLshIndex, pool_thread_count
from query_util import F32, brute_row, check_row, torus_l1, wrap_f32
from util import outputs_under_thread_counts, random_params

COUNTERS = ("gather_ns", "refine_ns", "relax_ns", "queries", "cands", "pairs", "relaxed")
DETERMINISTIC = ("queries", "cands", "pairs", "relaxed")
KERNEL_DIMS = (8, 16, 24)  # their batched sums are associated differently


def counted(index):
    s = index.stats()
    return {c: s[c] for c in DETERMINISTIC}


def built(params, pts, n_static, **overrides):
    """The native index and the reference, both built; the reference cuts
    its blocks for the native pool's size."""
    native = RustLshIndex(**{**params, **overrides})
    reference = PythonLshIndex(**{**params, **overrides})
    reference.threads = pool_thread_count()
    for ix in (native, reference):
        ix.build(pts, n_static)
    return native, reference


def check_order(ids, dist, exclude):
    """Distinct ids ascending by (distance, id), single-precision distances,
    padding only at the end, the excluded id absent."""
    n_real = int((ids >= 0).sum())
    assert (ids[:n_real] >= 0).all() and (ids[n_real:] == -1).all()
    assert np.isinf(dist[n_real:]).all()
    got, d = ids[:n_real], dist[:n_real]
    assert len(set(got.tolist())) == n_real and exclude not in got.tolist()
    assert (d.astype(F32).astype(np.float64) == d).all()
    assert np.lexsort((got, d)).tolist() == list(range(n_real))


def assert_rows_equal(a, b):
    np.testing.assert_array_equal(a[0], b[0])
    np.testing.assert_array_equal(a[1], b[1])


# ---------------------------------------------------------------- rows


@st.composite
def batches(draw):
    """A random index, 63 to 200 queries (never a multiple of every block),
    a block setting, k and exclusions."""
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    d = draw(st.sampled_from([1, 2, 3, 5, 7, 8, 12, 16, 17, 24, 33]))
    L = draw(st.integers(1, 4))
    K = draw(st.integers(1, 4))
    if draw(st.booleans()):
        b = draw(st.sampled_from([1, 2, 3, 4]))
    else:
        b, K = 64, 4  # no directory: buckets found by lower bounds
    params = random_params(rng, d, L, K, b, probes=draw(st.integers(0, K + 1)),
                           block=draw(st.sampled_from([0, 2, 50, 1024])))
    if draw(st.booleans()):
        params["u"] = np.zeros((L, K))  # queries on cell walls: tied margins
    n = draw(st.integers(0, 300))
    n_static = draw(st.sampled_from([0, n // 3, n]))
    pts = rng.random((n, d))
    grid = draw(st.sampled_from([None, 2, 4]))  # ties and duplicate points
    if grid:
        pts = np.floor(pts * grid) / grid
    m = draw(st.sampled_from([63, 64, 65, 101, 200]))
    exclude = None
    mode = draw(st.sampled_from(["none", "random", "own"]))
    if mode == "own" and n:
        # Each query sits on a point and excludes it: the excluded id lies in
        # the query's bucket in most tables and in several of its probes.
        own = rng.integers(0, n, m)
        q = pts[own] + rng.uniform(-1e-6, 1e-6, (m, d))
        exclude = own
    else:
        q = rng.random((m, d))
        if grid:
            q = np.floor(q * grid) / grid
        if mode == "random":
            exclude = rng.integers(-1, n + 2, m)
    k = draw(st.sampled_from([1, 3, 10, n + 3]))
    return params, pts, n_static, q, k, exclude


@settings(max_examples=150)
@given(batches())
def test_rows_equal_the_reference_and_the_per_query_path(batch):
    params, pts, n_static, q, k, exclude = batch
    native, reference = built(params, pts, n_static)
    got = native.query_knn(q, k, exclude)
    assert_rows_equal(got, reference.query_knn(q, k, exclude))
    assert counted(native) == counted(reference)
    for i in range(len(q)):
        excluded = -1 if exclude is None else exclude[i]
        if pts.shape[1] in KERNEL_DIMS:
            check_order(got[0][i], got[1][i], excluded)
        else:
            check_row(pts, q[i], got[0][i], got[1][i], excluded)
    if pts.shape[1] not in KERNEL_DIMS:
        per_query, _ = built(params, pts, n_static, block=1)
        assert_rows_equal(got, per_query.query_knn(q, k, exclude))
        assert per_query.stats()["relaxed"] == native.stats()["relaxed"]


def test_rows_do_not_depend_on_the_block_and_relaxed_rows_match():
    rng = np.random.default_rng(21)
    for d in (6, 16):
        params = random_params(rng, d, 5, 4, 16, probes=2)
        pts = rng.random((3000, d))
        pts[:40] = pts[40:80]  # duplicate points: equal distances, smaller id first
        q = np.r_[rng.random((300, d)), pts[:33] + 1e-7]
        exclude = np.r_[rng.integers(-1, 3000, 300), np.arange(33)]
        native, reference = built(params, pts, 2000)
        want = reference.query_knn(q, 15, exclude)
        for block in (0, 2, 50, 1024) + ((1,) if d == 6 else ()):
            ix, _ = built(params, pts, 2000, block=block)
            assert_rows_equal(ix.query_knn(q, 15, exclude), want)
            assert counted(ix)["relaxed"] == reference.stats()["relaxed"] > 0  # sparse: many relax


def test_rows_still_short_after_the_level_gather_use_every_point():
    rng = np.random.default_rng(5)
    pts = rng.random((40, 2)) * [1, 0.5] + [0, 0.5]
    pts[0] = [0.3, 0.1]  # alone in its band of the second coordinate
    q = np.repeat(pts[:1] + 1e-9, 70, axis=0)
    # Twelve identical tables count the lone point twelve times, which
    # reaches 4k at level 1, but the level gather leaves the rows short.
    params = dict(b=64, k=2, l=12, probes=0, s=np.array([[0, 1]] * 12), u=np.zeros((12, 2)))
    native, reference = built(params, pts, 30, block=8)
    idx, dist = native.query_knn(q, 3)
    want = brute_row(pts, q[0], 3)
    assert (idx == want[0]).all() and (dist == want[1]).all()
    assert_rows_equal((idx, dist), reference.query_knn(q, 3))
    assert counted(native) == counted(reference) and native.stats()["relaxed"] == 70


def test_the_excluded_id_stays_out_of_its_own_row_only():
    rng = np.random.default_rng(4)
    params = random_params(rng, 5, 6, 3, 4, probes=3)
    pts = rng.random((400, 5))
    native, reference = built(params, pts, 300)
    q = np.repeat(pts[7:8] + 1e-9, 64, axis=0)  # one block, one location
    exclude = np.where(np.arange(64) % 2 == 0, 7, -1)
    idx, dist = native.query_knn(q, 5, exclude)
    assert all(7 not in row for row in idx[::2].tolist())
    assert (idx[1::2, 0] == 7).all()  # the other queries of the block still get it
    assert_rows_equal((idx, dist), reference.query_knn(q, 5, exclude))


def test_every_point_reached_through_repeated_probes():
    # b = 1: one bucket per table, probed 1 + P times by every query.
    rng = np.random.default_rng(9)
    L, P, n, m = 3, 2, 50, 70
    native = RustLshIndex(**random_params(rng, 5, L, 2, 1, probes=P, block=16))
    pts = rng.random((n, 5))
    native.build(pts, 30)
    q, exclude = rng.random((m, 5)), rng.integers(-1, n, m)
    for k in (4, n + 5):
        native.reset_stats()
        idx, dist = native.query_knn(q, k, exclude)
        for i in range(m):
            want = brute_row(pts, q[i], k, exclude[i])
            np.testing.assert_array_equal(idx[i], want[0])
            np.testing.assert_array_equal(dist[i], want[1])
        s = native.stats()
        assert s["pairs"] == m * L * (1 + P) * n and s["relaxed"] == 0


def batched_distance(q, p, d, in_group):
    """The batched kernels' sums, written out term by term."""
    a = np.abs(wrap_f32(q) - wrap_f32(p))
    m = np.where(a < F32(1) - a, a, F32(1) - a)
    g = lambda i: m[:, 4 * i : 4 * i + 4]  # noqa: E731 - group i, four lanes per row
    h = lambda x: (x[:, 0] + x[:, 1]) + (x[:, 2] + x[:, 3])  # noqa: E731
    if d == 8:
        grouped = (((m[:, 0] + m[:, 1]) + (m[:, 2] + m[:, 3])) + ((m[:, 4] + m[:, 5]) + m[:, 6])) + m[:, 7]
        return np.where(in_group, grouped, h(g(0) + g(1)))
    if d == 16:
        return h((g(0) + g(2)) + (g(1) + g(3)))
    return h(((g(0) + g(4)) + g(2)) + ((g(1) + g(5)) + g(3)))


def test_d8_rows_keep_the_offer_order():
    # With d = 8 a point offered from a full group of four and from a row
    # alone gets two distances that can differ in the last bit; which one a
    # heap keeps depends on the order of offering (tables in order, keys
    # ascending, bucket order). Queries next to points make such points
    # contend for the last places of their rows.
    for seed in range(12):
        rng = np.random.default_rng(seed)
        L, K, b = int(rng.integers(2, 6)), int(rng.integers(1, 3)), int(rng.choice([2, 3]))
        n = int(rng.integers(20, 200))
        pts = rng.random((n, 8))
        native, reference = built(random_params(rng, 8, L, K, b, probes=1), pts, n // 2)
        q = pts[rng.integers(0, n, 64)] + 1e-4
        for k in (1, 2, 5):
            assert_rows_equal(native.query_knn(q, k), reference.query_knn(q, k))


@pytest.mark.parametrize("d", [1, 2, 3, 4, 5, 7, 8, 9, 16, 17, 24, 32, 33])
def test_kernels_follow_their_association(d):
    # One bucket of 139 points: a tile of 128 rows, then one of 11 (two
    # groups of four and three rows alone). Blocks of two queries measure it
    # through the tile; the last block holds one query, which measures the
    # points where they lie. Coordinates spread over decades so that another
    # association rounds differently somewhere.
    rng = np.random.default_rng(d)
    native = RustLshIndex(**random_params(rng, d, 1, 1, 1, probes=0, block=2))
    pts = rng.random((139, d)) ** rng.uniform(0.5, 6, d)
    native.build(pts, 100)  # ids ascend through the bucket, static tier first
    q = rng.random((65, d))
    idx, dist = native.query_knn(q, 139)
    assert native.stats()["cands"] == 0  # the batched path answered
    in_group = np.arange(139) < 136
    general_differs = False
    for i in range(65):
        order = np.argsort(idx[i])
        got = dist[i][order]
        if d in KERNEL_DIMS:
            want = batched_distance(q[i][None, :], pts, d, in_group)
            general_differs |= (want != torus_l1(q[i], pts)).any()
        else:
            want = torus_l1(q[i], pts)
        assert idx[i][order].tolist() == list(range(139))
        assert got.tolist() == want.astype(np.float64).tolist()
    assert general_differs == (d in KERNEL_DIMS)


# ----------------------------------------------------------- path choice


@pytest.mark.parametrize("m, block, batched", [
    (63, 1024, False), (63, 0, False), (64, 1, False), (64, 0, True), (64, 2, True),
    (64, 1024, True), (65, 50, True), (1000, 7, True),
])
def test_path_choice(m, block, batched):
    rng = np.random.default_rng(m + block)
    native = RustLshIndex(**random_params(rng, 4, 3, 3, 4, probes=1, block=block))
    native.build(rng.random((500, 4)), 400)
    native.query_knn(rng.random((m, 4)), 3)
    s = native.stats()
    assert s["queries"] == m
    # only the per-query path gathers, and there every gathered id is a pair
    assert (s["cands"] == 0 and s["gather_ns"] == 0) == batched
    assert s["pairs"] > 0 and (s["cands"] == s["pairs"]) != batched


# -------------------------------------------------------------- counters


def test_counters_of_both_paths():
    rng = np.random.default_rng(12)
    params = random_params(rng, 6, 4, 3, 5, probes=2, block=77)
    pts = rng.random((2000, 6))
    native, reference = built(params, pts, 1500)
    assert list(native.stats()) == [*COUNTERS, "block"]
    q = rng.random((300, 6))

    native.query_knn(q[:40], 5)  # per-query path
    reference.query_knn(q[:40], 5)
    s = native.stats()
    assert s["queries"] == 40 and s["cands"] == s["pairs"] > 0 and counted(native) == counted(reference)

    before = native.stats()
    exclude = rng.integers(0, 2000, 300)
    native.query_knn(q, 5, exclude)  # batched path
    reference.query_knn(q, 5, exclude)
    after = native.stats()
    assert after["gather_ns"] == before["gather_ns"] and after["cands"] == before["cands"]
    assert after["queries"] == before["queries"] + 300 and after["pairs"] > before["pairs"]
    assert counted(native) == counted(reference)

    native.reset_stats()
    assert native.stats() == dict.fromkeys(COUNTERS, 0) | {"block": 77}


def test_batched_pairs_match_the_reference_whatever_its_blocks():
    rng = np.random.default_rng(13)
    params = random_params(rng, 7, 4, 3, 3, probes=3)
    pts = rng.random((1500, 7))
    exclude = rng.integers(-1, 1500, 250)
    q = rng.random((250, 7))
    native, _ = built(params, pts, 1000)
    native.query_knn(q, 6, exclude)
    want = counted(native)
    for block, threads in ((1024, 1), (0, 3), (2, 7), (50, 2)):
        reference = PythonLshIndex(**{**params, "block": block})
        reference.threads = threads
        reference.build(pts, 1000)
        reference.query_knn(q, 6, exclude)
        assert counted(reference) == want


def test_radius_and_maintenance_change_no_counter():
    rng = np.random.default_rng(14)
    native = RustLshIndex(**random_params(rng, 4, 3, 3, 4, probes=1))
    pts = rng.random((800, 4))
    native.build(pts, 600)
    native.query_knn(rng.random((100, 4)), 4)
    native.query_knn(rng.random((10, 4)), 4)
    before = native.stats()
    assert before["queries"] == 110
    native.query_radius(rng.random((100, 4)), 0.3)
    native.update(rng.random((200, 4)))
    native.promote(rng.random((50, 4)))
    native.build(pts, 400)
    native.query_knn(rng.random((100, 4)), 0)  # k = 0 runs no path
    native.query_knn(np.zeros((0, 4)), 4)
    assert native.stats() == before


# ------------------------------------------------------- refused input


def test_refused_batches_change_nothing():
    rng = np.random.default_rng(15)
    native = RustLshIndex(**random_params(rng, 4, 3, 3, 4, probes=1))
    native.build(rng.random((2000, 4)), 1500)
    q = rng.random((300, 4))
    want = native.query_knn(q, 5, np.arange(300))
    native.reset_stats()
    for width in (3, 5):
        with pytest.raises(ValueError, match=rf"^queries have {width} columns but the index has d = 4$"):
            native.query_knn(rng.random((300, width)), 5)
    for short in (np.arange(299), np.arange(0)):
        with pytest.raises(BaseException) as info:
            native.query_knn(q, 5, short)
        assert type(info.value).__name__ == "PanicException"
        assert "exclude_ids holds" in str(info.value)
    assert set(native.stats().values()) == {0, 1024}
    assert_rows_equal(native.query_knn(q, 5, np.arange(400)), want)  # longer is fine


def test_unbuilt_index_pads_batched_rows_and_counts_them():
    rng = np.random.default_rng(16)
    params = random_params(rng, 5, 2, 3, 4)  # s reads columns up to 4
    native = RustLshIndex(**params)
    for width in (1, 5, 9):
        for exclude in (None, np.arange(100)):
            idx, dist = native.query_knn(rng.random((100, width)), 3, exclude)
            assert (idx == -1).all() and np.isinf(dist).all() and idx.shape == (100, 3)
    assert counted(native) == dict(queries=600, cands=0, pairs=0, relaxed=0)
    with pytest.raises(BaseException) as info:
        native.query_knn(rng.random((100, 2)), 3, np.arange(99))
    assert type(info.value).__name__ == "PanicException"
    native.build(np.zeros((0, 5)), 0)  # built, but without points: need is 0
    idx, _ = native.query_knn(rng.random((70, 5)), 2, np.zeros(70, np.int64))
    assert (idx == -1).all() and native.stats()["relaxed"] == 0


# ----------------------------------------------------------------- threads


BATCHED_DIGEST = textwrap.dedent("""
    import hashlib, numpy as np
    from plovik import RustLshIndex
    rng = np.random.default_rng(17)
    h = hashlib.sha256()
    for d, block in ((8, 50), (16, 1024), (6, 0)):
        L, K = 6, 4
        ix = RustLshIndex(4, K, L, 2, rng.integers(0, d, (L, K)), rng.random((L, K)), block=block)
        ix.build(rng.random((20000, d)), 15000)
        q = rng.random((700, d))
        for a in ix.query_knn(q, 9, rng.integers(0, 20000, 700)):
            h.update(a.tobytes())
        s = ix.stats()
        h.update(repr([s[c] for c in ("queries", "cands", "pairs", "relaxed")]).encode())
    print(h.hexdigest())
""")


@pytest.mark.threads
def test_rows_and_pairs_independent_of_thread_count():
    assert len(outputs_under_thread_counts(BATCHED_DIGEST)) == 1


@pytest.mark.threads
def test_stats_and_reset_from_other_threads_while_blocks_run():
    rng = np.random.default_rng(18)
    native = RustLshIndex(**random_params(rng, 8, 8, 4, 4, probes=2, block=32))
    native.build(rng.random((20000, 8)), 15000)
    q = rng.random((400, 8))
    want = native.query_knn(q, 7)
    stop, errors, rows = threading.Event(), [], []

    def guarded(fn):
        def run():
            try:
                fn()
            except BaseException as e:  # pragma: no cover - reported below
                errors.append(e)
        return threading.Thread(target=run)

    def query():
        for _ in range(6):
            rows.append(native.query_knn(q, 7))

    def read():
        while not stop.is_set():
            s = native.stats()
            assert list(s) == [*COUNTERS, "block"] and s["block"] == 32

    def reset():
        while not stop.is_set():
            native.reset_stats()

    queriers = [guarded(query) for _ in range(2)]
    others = [guarded(read), guarded(read), guarded(reset)]
    for t in queriers + others:
        t.start()
    for t in queriers:
        t.join(timeout=120)
    stop.set()
    for t in others:
        t.join(timeout=30)
    assert not any(t.is_alive() for t in queriers + others), "a call did not return"
    assert errors == []
    assert len(rows) == 12 and all((r[0] == want[0]).all() and (r[1] == want[1]).all() for r in rows)
    native.reset_stats()
    native.query_knn(q, 7)
    assert native.stats()["queries"] == 400
