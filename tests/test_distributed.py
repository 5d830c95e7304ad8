"""ShardedSearch on a LocalCluster of two worker processes, against PlovikSearch.

Skipped where Dask is not installed (the sanitizer runs install no Dask).
Every test waits at most a bounded time: a hang ends the process with a
traceback instead of stalling the suite.
"""

import faulthandler
import gc
import logging
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

pytest.importorskip("distributed")
import dask.array as da  # noqa: E402
from distributed import Client, LocalCluster  # noqa: E402

import plovik.distributed as pd  # noqa: E402
from plovik import PlovikSearch, exact_knn  # noqa: E402
from plovik.distributed import ShardedSearch, ShardLostError  # noqa: E402

pytestmark = pytest.mark.distributed

D = 16
# Fixed settings: nothing tuned, so both searches draw the same parameters
# from the seed at once. Buckets hold enough points that no shard of a few
# hundred points relaxes a query (checked through stats()).
FIXED = dict(tables=12, components=4, cells=3, probes=2, seed=7, threads=1)


@pytest.fixture(scope="module")
def client():
    faulthandler.dump_traceback_later(240, exit=True)  # the whole module: never hang the suite
    cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                           silence_logs=logging.CRITICAL, env={"RAYON_NUM_THREADS": "1"})
    c = Client(cluster)
    yield c
    c.close()
    cluster.close()
    faulthandler.cancel_dump_traceback_later()


def _data(seed, n, m, d=D):
    rng = np.random.default_rng(seed)
    return rng.random((n, d)), rng.random((m, d))


def _same_rows(a, b):
    for x, y in zip(a, b):
        np.testing.assert_array_equal(x, y)


def _check_epochs(single, sharded, rng, after_update=lambda: None):
    """Queries of both paths (64 or more queries batched, fewer one by one),
    with and without exclusions, radius queries, after every change;
    `after_update` runs between the first update and its queries."""

    def compare():
        assert (sharded.n_points, sharded.n_static, sharded.n_candidates, sharded.n_retired) == (
            single.n_points, single.n_static, single.n_candidates, single.n_retired)
        for m in (200, 9):
            Q = rng.random((m, D))
            own = rng.integers(-1, single.n_points, m)
            sharded.reset_stats()
            _same_rows(single.query_knn(Q, 6), sharded.query_knn(Q, 6))
            _same_rows(single.query_knn(Q, 6, own), sharded.query_knn(Q, 6, own))
            assert sharded.stats()["relaxed"] == 0  # the condition of equal rows
            radii = rng.uniform(0.5, 2.0, m)
            _same_rows(single.query_radius(Q, radii, own), sharded.query_radius(Q, radii, own))

    compare()
    cand = rng.random((single.n_candidates, D))
    single.update(cand)
    sharded.update(cand)
    after_update()
    compare()
    batch = rng.random((301, D))
    single.promote(batch)
    sharded.promote(batch)
    compare()
    gone = rng.choice(single.n_points, 150, replace=False)
    single.retire(gone)
    sharded.retire(gone)
    moved = (batch + rng.normal(0, 0.02, batch.shape)) % 1.0
    single.update(moved)
    sharded.update(moved)
    compare()
    single.promote()
    sharded.promote(None)
    compare()


@pytest.mark.parametrize("shards", [1, 2, 3])
def test_epochs_match_the_single_index(client, shards, monkeypatch):
    X, _ = _data(shards, 2400, 0)
    single = PlovikSearch(D, **FIXED)
    single.build(X, n_static=2000)
    if shards == 3:
        # k-nearest calls of 200 queries cut into two blocks of 100 by the
        # bound on unmerged answers alone (query_block stays 65,536), one
        # block in flight at a time
        monkeypatch.setattr(pd, "_WINDOW", 1)
        monkeypatch.setattr(pd, "_INFLIGHT_ENTRIES", 3 * 6 * 128)
    with ShardedSearch(D, client, shards=shards, **FIXED) as sharded:
        sharded.build(X, n_static=2000)
        assert sharded.shards == shards
        np.testing.assert_array_equal(sharded.params.s, single.params.s)
        # with two shards a worker is killed between calls: its shard is rebuilt
        # from the log (the build and the update) and goes on through the epochs
        kill = (lambda: _kill(client, sharded.workers[1])) if shards == 2 else (lambda: None)
        _check_epochs(single, sharded, np.random.default_rng(shards), kill)
        assert set(sharded.workers) <= set(client.ncores())
        assert sharded.nbytes > 0 and sum(sharded.nbytes_by_part.values()) == sharded.nbytes


def test_recall_estimate_and_per_call_threads_match_the_single_index(client):
    """The same seed samples the same ids (retired ones left out), so the
    estimate equals the single index's; threads= of a call changes no row
    and takes the one check of every threads=."""
    X, Q = _data(13, 1500, 80)
    single = PlovikSearch(D, **FIXED)
    single.build(X, n_static=1200)
    single.retire(np.arange(0, 1500, 7))
    with ShardedSearch(D, client, shards=3, **FIXED) as sharded:
        with pytest.raises(ValueError, match="cannot estimate recall before build"):
            sharded.estimate_recall()
        sharded.build(X, n_static=1200)
        sharded.retire(np.arange(0, 1500, 7))
        for kw in ({}, dict(k=4, sample=50, threads=2)):
            assert sharded.estimate_recall(**kw) == single.estimate_recall(kw.get("k"), kw.get("sample"))
        _same_rows(single.query_knn(Q, 6), sharded.query_knn(Q, 6, threads=2))
        _same_rows(single.query_radius(Q, 1.0), sharded.query_radius(Q, 1.0, threads=1))
        for call in (lambda **kw: sharded.estimate_recall(**kw), lambda **kw: sharded.query_knn(Q, 2, **kw),
                     lambda **kw: sharded.query_radius(Q, 1.0, **kw)):
            with pytest.raises(ValueError, match="threads must be at least 1, got 0"):
                call(threads=0)
            with pytest.raises(TypeError, match="got a bool"):
                call(threads=True)
        with pytest.raises(ValueError, match=r"sample \(1500\) is larger than the data \(1285 points"):
            sharded.estimate_recall(sample=1500)
        assert sharded._call_threads is None


def test_a_search_dropped_without_close_frees_its_workers(client):
    s = ShardedSearch(D, client, shards=2, **FIXED)
    s.build(_data(3, 600, 0)[0])
    tokens = {log.token for log in s._shards}

    def held():
        return tokens & {t for names in client.run(lambda: list(pd._REGISTRY)).values() for t in names}

    assert held() == tokens
    del s
    gc.collect()
    _until(lambda: not held(), 10)


def test_dask_array_chunks_become_shards(client):
    X, Q = _data(11, 2400, 100)
    single = PlovikSearch(D, **FIXED)
    single.build(X, n_static=1900)
    points = da.from_array(X, chunks=(700, 8))  # four row chunks, two column chunks
    with ShardedSearch(D, client, **FIXED) as sharded:
        sharded.build(points, n_static=1900)
        assert sharded.shard_sizes == [700, 700, 700, 300]
        _same_rows(single.query_knn(Q, 6), sharded.query_knn(Q, 6))
        _check_epochs(single, sharded, np.random.default_rng(11))
        # A shard rebuilt from its log: rows of the dask array, computed
        # again on the cluster, then the batches promoted since.
        _kill(client, sharded.workers[0])
        _same_rows(single.query_knn(Q, 6, np.arange(100)), sharded.query_knn(Q, 6, np.arange(100)))


def test_dask_array_shards_are_built_where_their_chunks_live(client):
    X = _data(12, 800, 0)[0]
    w = sorted(client.ncores())
    parts = [client.persist(da.from_array(X[:500], chunks=(500, D)), workers=[w[1]]),
             client.persist(da.from_array(X[500:], chunks=(300, D)), workers=[w[0]])]
    with ShardedSearch(D, client, **FIXED) as sharded:
        sharded.build(da.concatenate(parts))
        assert sharded.shard_sizes == [500, 300] and sharded.workers == [w[1], w[0]]


def test_tuned_parameters_and_exact_answers_match(client):
    # Tuned on the same points from the same seed: the same parameters, and
    # on this little data the same choice of the exact scan.
    X, Q = _data(3, 2000, 120)
    single = PlovikSearch(D, seed=5, threads=1)
    single.build(X, n_static=1700, sample=100)
    with ShardedSearch(D, client, shards=3, seed=5, threads=1) as sharded:
        sharded.build(X, n_static=1700, sample=100)
        assert (sharded.tuning.exact, sharded.params.b, sharded.params.k) == (
            single.tuning.exact, single.params.b, single.params.k)
        np.testing.assert_array_equal(sharded.params.u, single.params.u)
        own = np.arange(120) * 16
        _same_rows(single.query_knn(Q, 10, own), sharded.query_knn(Q, 10, own))
        _same_rows(single.query_radius(Q, 1.5), sharded.query_radius(Q, 1.5))


def test_relaxed_queries_never_lose_neighbours(client):
    # Buckets so sparse that every query finds fewer than k points in its
    # own buckets, on the single index and on every shard: all relax, each
    # in its own way, and the shards' rows are then answered exactly.
    # With fuller buckets the single index relaxes none and the shards a
    # few; a sharded row is then at least as near as the single index's,
    # entry by entry (up to the last bit of a distance).
    X, Q = _data(4, 1500, 150)
    own = np.arange(150)
    for settings, exact in ((dict(tables=2, components=8, cells=4, probes=0), True),
                            (dict(tables=3, components=4, cells=4, probes=1), False)):
        single = PlovikSearch(D, seed=1, threads=1, **settings)
        single.build(X)
        with ShardedSearch(D, client, shards=3, seed=1, threads=1, **settings) as sharded:
            sharded.build(X)
            for args in ((Q, 8), (X[:150], 8, own), (Q[:20], 8)):
                _, want = single.query_knn(*args)
                _, got = sharded.query_knn(*args)
                # A relaxed row's distances are summed as on the per-query
                # path, the batched path's (d = 16) may differ in the last bit.
                assert np.all(got <= want * (1 + 2**-22))
                if exact:
                    np.testing.assert_array_equal(got, exact_knn(X, *args)[1])
            assert sharded.stats()["relaxed"] > 0 and (single.stats()["relaxed"] > 0) == exact
    # Shards of at most k points are scanned whole: exact.
    with ShardedSearch(D, client, shards=3, seed=1, threads=1, **settings) as sharded:
        sharded.build(X[:12])
        few = own % 13 - 1
        _same_rows(sharded.query_knn(Q, 5, few), exact_knn(X[:12], Q, 5, few))


def _until(done, seconds=60):
    deadline = time.monotonic() + seconds
    while not done():
        assert time.monotonic() < deadline, "waited in vain"
        time.sleep(0.05)


def _kill(client, worker):
    pid = client.run(os.getpid, workers=[worker])[worker]
    os.kill(pid, signal.SIGKILL)
    # gone, and its nanny has started another
    _until(lambda: worker not in client.ncores() and len(client.ncores()) >= 2)


def test_worker_lost_mid_call(client):
    X, Q = _data(6, 2000, 100)
    single = PlovikSearch(D, **FIXED)
    single.build(X, n_static=1700)
    with ShardedSearch(D, client, shards=2, **FIXED) as sharded:
        sharded.build(X, n_static=1700)
        victim = sharded.workers[1]

        def crash_on_promote():
            pd._Shard.promote = lambda *args: os._exit(1)

        client.run(crash_on_promote, workers=[victim])
        batch = np.random.default_rng(1).random((200, D))
        with pytest.raises(ShardLostError, match=f"shard 1 \\(worker {victim}\\)") as info:
            sharded.promote(batch)
        assert info.value.shards == [1]
        # Shard 0 promoted before shard 1 was lost: undone, so nothing changed.
        assert (sharded.n_static, sharded.n_candidates) == (1700, 300)
        _same_rows(single.query_knn(Q, 6), sharded.query_knn(Q, 6))
        _until(lambda: len(client.ncores()) >= 2)
        single.promote(batch)
        sharded.promote(batch)
        _same_rows(single.query_knn(Q, 6), sharded.query_knn(Q, 6))

        # A worker lost during a query: the query is answered all the same.
        def crash_on_query():
            pd._Shard.knn = lambda *args: os._exit(1)

        client.run(crash_on_query, workers=[sharded.workers[0]])
        _same_rows(single.query_knn(Q, 6), sharded.query_knn(Q, 6))


def test_without_a_log_a_lost_shard_is_refused(client):
    X, Q = _data(7, 1000, 10)
    with ShardedSearch(D, client, shards=2, recover=False, **FIXED) as sharded:
        sharded.build(X)
        _kill(client, sharded.workers[0])
        for _ in range(2):  # and it stays refused
            with pytest.raises(ShardLostError, match="shard 0"):
                sharded.query_knn(Q, 5)
        sharded.build(X)
        assert sharded.query_knn(Q, 5)[0].shape == (10, 5)


def test_bad_input_reaches_no_shard(client, monkeypatch):
    X, Q = _data(8, 1000, 50)
    with ShardedSearch(D, client, shards=2, **FIXED) as sharded:
        sharded.build(X, n_static=900)
        before = sharded.query_knn(Q, 5)
        sent = []
        real = sharded._submit
        monkeypatch.setattr(sharded, "_submit", lambda *a: sent.append(a[1]) or real(*a))
        nan = np.random.default_rng(0).random((100, D))
        nan[7, 3] = np.nan
        bad = [
            (ValueError, sharded.update, (np.zeros((99, D)),)),
            (ValueError, sharded.update, (nan,)),
            (TypeError, sharded.update, (np.zeros((100, D), str),)),
            (ValueError, sharded.promote, (np.zeros((5, D + 1)),)),
            (ValueError, sharded.promote, (nan,)),
            (ValueError, sharded.retire, ([3, 1000],)),
            (TypeError, sharded.retire, (np.array([1.5]),)),
            (ValueError, sharded.query_knn, (Q, 0)),
            (ValueError, sharded.query_knn, (Q, 5, np.full(50, 1000))),
            (ValueError, sharded.query_radius, (Q, -1.0)),
            (ValueError, sharded.build, (X, 2000)),
            (ValueError, sharded.build, (da.from_array(nan, chunks=50),)),
            # integer coordinates without a boxsize
            (ValueError, sharded.build, (np.zeros((10, D), int),)),
            (ValueError, sharded.build, (da.zeros((10, D), dtype=int, chunks=5),)),
            (ValueError, sharded.update, (np.zeros((100, D), int),)),
            (ValueError, sharded.promote, (np.zeros((5, D), np.uint8),)),
            (ValueError, sharded.query_knn, (np.zeros((5, D), int), 3)),
            (ValueError, sharded.query_radius, (np.zeros(D, int), 0.5)),
        ]
        for error, method, args in bad:
            with pytest.raises(error):
                method(*args)
        assert sent == []  # refused on the client, before any task
        assert (sharded.n_static, sharded.n_candidates, sharded.n_retired) == (900, 100, 0)
        _same_rows(before, sharded.query_knn(Q, 5))


def test_boxsize_answers_as_the_single_search_in_the_box(client):
    L = 3.0
    X = _data(13, 1200, 0)[0] * L
    single = PlovikSearch(D, boxsize=L, **FIXED)
    single.build(X, n_static=1000)
    with ShardedSearch(D, client, shards=2, boxsize=L, **FIXED) as sharded:
        assert sharded.boxsize == L
        sharded.build(X, n_static=1000)
        _check_epochs(single, sharded, np.random.default_rng(13))  # coordinates in part of the box
        # integer lattice sites, from a dask.array too
        lattice = np.random.default_rng(14).integers(0, 3, (600, D))
        Q = np.random.default_rng(15).uniform(0, L, (50, D))
        single.build(lattice)
        sharded.build(da.from_array(lattice, chunks=300))
        _same_rows(single.query_knn(Q, 6), sharded.query_knn(Q, 6))
        _same_rows(single.query_radius(Q, 2.0), sharded.query_radius(Q, 2.0))
    for L, error in ((0.0, ValueError), (-1.0, ValueError), (float("nan"), ValueError), ("3", TypeError)):
        with pytest.raises(error, match="boxsize must be"):
            ShardedSearch(D, client, boxsize=L)


def test_importing_plovik_imports_no_dask():
    code = "import sys, plovik; assert not any(m.startswith(('dask', 'distributed')) for m in sys.modules)"
    subprocess.run([sys.executable, "-c", code], check=True, timeout=60)
