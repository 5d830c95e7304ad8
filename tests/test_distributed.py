"""ShardedSearch on a LocalCluster of two worker processes, against PlovikSearch (skipped without Dask). A hang ends
the process with a traceback, and a wait for a cluster event that never comes fails with what it saw."""

import contextlib
import dataclasses
import faulthandler
import gc
import itertools
import logging
import os
import signal
import time
import warnings

import numpy as np
import pytest

pytest.importorskip("distributed")
import dask
import dask.array as da
from distributed import Client, LocalCluster

import plovik.distributed as pd
from plovik import PlovikSearch, RecallWarning, exact_knn
from plovik.distributed import ShardedSearch, ShardLostError, merge_knn, merge_radius
from query_helpers import assert_rows_equal as _same_rows

pytestmark = pytest.mark.distributed

D = 16
# Nothing tuned: both searches draw the same parameters from the seed; no shard of a few hundred points relaxes a query
FIXED = dict(tables=12, components=4, cells=3, probes=2, seed=7, threads=1)


# Seconds a test waits for a cluster event: generous, as on a busy machine a worker process can take a minute to start.
WAIT = 300
# Queries of 1.28 MB: a call scatters them to the shards' workers rather than carrying them in its tasks.
BIG = 10_000


@pytest.fixture(scope="module")
def cluster():
    faulthandler.dump_traceback_later(WAIT, exit=True)  # never hang the suite
    # A local cluster closes the nanny of a worker not back within the lost-worker timeout (15 s): on a busy machine a
    # restart takes longer, and the cluster would be left one worker short for good.
    with dask.config.set({"distributed.deploy.lost-worker-timeout": "1h"}):
        workers = dict(n_workers=2, threads_per_worker=1, processes=True, env={"RAYON_NUM_THREADS": "1"})
        cluster = LocalCluster(dashboard_address=":0", silence_logs=logging.CRITICAL, **workers)
        c = Client(cluster)
        faulthandler.cancel_dump_traceback_later()
        yield c
        c.close()
        cluster.close()


@pytest.fixture
def client(cluster):
    """The cluster's client once both workers are up (one killed before may be restarting); each test timed."""
    faulthandler.dump_traceback_later(2 * WAIT, exit=True)
    _two_workers(cluster)
    yield cluster
    faulthandler.cancel_dump_traceback_later()


def _data(seed, n, m, d=D):
    rng = np.random.default_rng(seed)
    return rng.random((n, d)), rng.random((m, d))


def _single(X, n_static=None, **settings):
    """A PlovikSearch on X (FIXED unless given settings), the yardstick of a ShardedSearch."""
    single = PlovikSearch(X.shape[1], **(settings or FIXED))
    single.build(X, n_static)
    return single


def _check_epochs(single, sharded, rng, after_update=lambda: None):
    """Queries of both paths (64 or more queries batched, fewer one by one), with and without exclusions, radius
    queries, after every change; `after_update` runs between the first update and its queries."""

    d = single.d

    def compare():
        sizes = [(s.n_points, s.n_static, s.n_candidates, s.n_retired) for s in (single, sharded)]
        assert sizes[0] == sizes[1]
        for m in (200, 9):
            Q, own = rng.random((m, d)), rng.integers(-1, single.n_points, m)
            sharded.reset_stats()
            _same_rows(single.query_knn(Q, 6), sharded.query_knn(Q, 6))
            _same_rows(single.query_knn(Q, 6, own), sharded.query_knn(Q, 6, own))
            assert sharded.stats()["relaxed"] == 0  # the condition of equal rows
            radii = rng.uniform(0.5, 2.0, m)
            _same_rows(single.query_radius(Q, radii, own), sharded.query_radius(Q, radii, own))
            several = rng.integers(-1, single.n_points, (m, 4))  # (m, e) padded with -1
            _same_rows(single.query_knn(Q, 6, several), sharded.query_knn(Q, 6, several))
            _same_rows(single.query_radius(Q, 1.0, several), sharded.query_radius(Q, 1.0, several))

    def both(method, *args):
        for search in (single, sharded):
            getattr(search, method)(*args)

    compare()
    both("update", rng.random((single.n_candidates, d)))
    after_update()
    compare()
    batch = rng.random((301, d))
    both("promote", batch)
    compare()
    both("retire", rng.choice(single.n_points, 150, replace=False))
    both("update", (batch + rng.normal(0, 0.02, batch.shape)) % 1.0)
    compare()
    single.promote()
    sharded.promote(None)
    compare()


def _merge_case(rng):
    """Rows of several shards over disjoint ids, with distances drawn from three values (ties across shards), each
    shard's row ordered by (distance, id) and padded with (-1, inf); and all their entries."""
    m, k, S = rng.integers(1, 5), rng.integers(1, 7), rng.integers(2, 5)
    owner = rng.integers(0, S, 40)  # the shard of each id
    parts, entries = [], []
    for j in range(S):
        ids = np.full((m, k), -1, np.int64)
        dist = np.full((m, k), np.inf)
        for i in range(m):
            mine = rng.permutation(np.flatnonzero(owner == j))[: rng.integers(0, k + 3)]
            d = rng.choice([0.25, 0.5, 0.75], mine.size)
            order = np.lexsort((mine, d))
            entries += [(i, x, y) for x, y in zip(d[order], mine[order], strict=True)]
            take = order[:k]
            ids[i, : take.size], dist[i, : take.size] = mine[take], d[take]
        parts.append((ids, dist))
    return m, k, parts, entries


def test_merges_order_ties_by_id_with_padding_last():
    rng = np.random.default_rng(0)
    for _ in range(200):
        m, k, parts, entries = _merge_case(rng)
        ids, dist = merge_knn(parts, k)
        for i in range(m):
            want = sorted((d, x) for r, d, x in entries if r == i)[:k]
            want += [(np.inf, -1)] * (k - len(want))
            assert list(zip(dist[i], ids[i], strict=True)) == want
        # the same entries as the CSR rows of a radius query
        csr = [(np.concatenate([[0], np.cumsum((p >= 0).sum(1))]), p[p >= 0], q[p >= 0]) for p, q in parts]
        indptr, ids, dist = merge_radius(csr, m)
        for i in range(m):
            want = sorted((d, x) for p, q in parts for x, d in zip(p[i], q[i], strict=True) if x >= 0)
            assert list(zip(dist[indptr[i] : indptr[i + 1]], ids[indptr[i] : indptr[i + 1]], strict=True)) == want


def test_blocks_and_id_ranges():
    # queries cut into contiguous blocks of at most `block`, as few as that allows
    for m, block in ((1, 128), (128, 128), (129, 128), (1000, 300), (0, 5)):
        blocks = pd._blocks(m, block)
        assert blocks[0][0] == 0 and blocks[-1][1] == m and len(blocks) == max(1, -(-m // block))
        assert all(a == b for (_, a), (b, _) in itertools.pairwise(blocks)) and all(e - a <= block for a, e in blocks)
    # a shard's ids: a range that continues the last one joins it
    assert pd._add_range([(0, 5), (9, 12)], 12, 20) == [(0, 5), (9, 20)]
    assert pd._add_range([(0, 5), (9, 12)], 14, 20) == [(0, 5), (9, 12), (14, 20)]
    assert pd._add_range([(0, 5)], 3, 3) == [(0, 5)] and pd._add_range([], 2, 4) == [(2, 4)]


@pytest.mark.parametrize("metric, box", [("l1", None), ("euclidean", (1.0, 0.5, 0.75))])
def test_an_exact_shard_moves_between_scan_and_grid(metric, box):
    # A re-tuning on growth may move exact shards from the grid to the scan or back: the same points, tiers and retired
    # ids answer alike, exactly, in the shard's metric and box (coordinates on the unit torus).
    rng = np.random.default_rng(4)
    X, Q = rng.random((500, 3)), rng.random((30, 3))
    measure = pd._Measure(metric, box)
    shard = pd._Shard(3, PlovikSearch(3, **FIXED).hash_parameters(500), "native", 1, "grid", measure)
    shard.build([X], 400, [(0, 500)], np.array([7, 450]))
    live = np.setdiff1d(np.arange(500), [7, 450])
    w = np.ones(3) if box is None else np.array(box) / max(box)  # the axes' weights: the box of sides w
    idx, dist = exact_knn(X[live] * w, Q * w, 5, metric=metric, boxsize=None if box is None else tuple(w))
    for kind in ("grid", "scan", "grid"):
        shard.answer_exactly(kind)
        assert shard.exact == kind and isinstance(shard.index, pd.GridStore) == (kind == "grid")
        assert shard.index.n_static == 400 and shard.index.n_retired == 2
        _same_rows(shard.exact_knn(Q, 5, None), (live[idx], dist))
        _same_rows(shard.knn(Q, 5, None, None)[:2], (live[idx], dist))
        assert np.isin(shard.exact_radius(Q, 0.3, None)[1], live).all()


@pytest.mark.parametrize("shards", [1, 2, 3])
def test_epochs_match_the_single_index(client, shards, monkeypatch):
    # Every point drawn about twice, at ids far apart: equal distances with different ids, often on different shards
    X = _data(shards, 1200, 0)[0][np.random.default_rng(shards).integers(0, 1200, 2400)]
    single = _single(X, 2000)
    if shards == 3:
        # 200 queries cut into two blocks by the bound on unmerged answers alone (not query_block), one in flight
        monkeypatch.setattr(pd, "_WINDOW", 1)
        monkeypatch.setattr(pd, "_INFLIGHT_ENTRIES", 3 * 6 * 128)
    with ShardedSearch(D, client, shards=shards, **FIXED) as sharded:
        sharded.build(X, n_static=2000)
        assert sharded.shards == shards
        np.testing.assert_array_equal(sharded.params.s, single.params.s)
        # with two shards a worker is killed between calls: its shard, rebuilt from the log, goes on through the epochs
        kill = (lambda: _kill(client, sharded.workers[1])) if shards == 2 else (lambda: None)
        _check_epochs(single, sharded, np.random.default_rng(shards), kill)
        assert set(sharded.workers) <= set(client.ncores())
        assert sharded.nbytes > 0 and sum(sharded.nbytes_by_part.values()) == sharded.nbytes


def test_recall_estimate_and_per_call_threads_match_the_single_index(client):
    """The same seed samples the same ids (retired ones left out), so the estimate equals the single index's;
    threads= of a call changes no row and takes the one check of every threads=."""
    X, Q = _data(13, 1500, 80)
    single = _single(X, 1200)
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
        for ask, args in ((sharded.estimate_recall, ()), (sharded.query_knn, (Q, 2)), (sharded.query_radius, (Q, 1.0))):
            with pytest.raises(ValueError, match="threads must be at least 1, got 0"):
                ask(*args, threads=0)
            with pytest.raises(TypeError, match="got a bool"):
                ask(*args, threads=True)
        with pytest.raises(ValueError, match=r"sample \(1500\) is larger than the data \(1285 points"):
            sharded.estimate_recall(sample=1500)
        assert sharded._call_threads is None


def test_the_recall_monitor_checks_sharded_calls(client):
    """Queries scattered wider than the clustered points: the sharded search (one table, the rest tuned to the
    points) finds too few of their neighbours and warns at the caller's line (it does not re-tune); on uniform data,
    the same seed checks the same queries as the single search, so the estimates are equal."""
    rng = np.random.default_rng(5)
    centres = rng.random((200, 16))

    def near(n, sd):
        return (centres[rng.choice(100, n)] + sd * rng.standard_normal((n, 16))) % 1.0

    with ShardedSearch(16, client, shards=2, seed=3, adapt=False, tables=1) as sharded:
        sharded.build(near(20_000, 0.01))
        caught = []
        for _ in range(6):  # a few checks a call: the miss shows within some calls, once
            with warnings.catch_warnings(record=True) as w:
                warnings.simplefilter("always")
                sharded.query_knn(near(2_000, 0.08), 10)
            caught += [c for c in w if issubclass(c.category, RecallWarning)]
        assert len(caught) == 1 and caught[0].filename == __file__ and sharded.observed_recall.missed
    X, Q = _data(21, 20_000, 2_000, d=16)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RecallWarning)  # no setting reaches recall 1.0
        single = _single(X, seed=3, recall=1.0, exact=False, adapt=False)
        with ShardedSearch(16, client, shards=2, seed=3, recall=1.0, exact=False, adapt=False) as sharded:
            sharded.build(X)
            for search in (single, sharded):
                search.query_knn(Q, 10)
                search.query_radius(Q[:500], 1.5)
            assert sharded.observed_recall == single.observed_recall
            assert sharded.observed_recall.queries > 0


def test_dask_array_chunks_become_shards_and_a_search_dropped_frees_its_workers(client):
    # each shard built on the worker that holds its chunk; the search, dropped without close, frees its workers
    X = _data(12, 800, 0)[0]
    w = sorted(client.ncores())
    parts = [
        client.persist(da.from_array(X[:500], chunks=(500, D)), workers=[w[1]]),
        client.persist(da.from_array(X[500:], chunks=(300, D)), workers=[w[0]]),
    ]
    dropped = ShardedSearch(D, client, **FIXED)
    dropped.build(da.concatenate(parts))
    assert dropped.shard_sizes == [500, 300] and dropped.workers == [w[1], w[0]]
    tokens = {log.token for log in dropped._shards}

    def held():
        return tokens & {t for names in client.run(lambda: list(pd._REGISTRY)).values() for t in names}

    assert held() == tokens
    del dropped
    gc.collect()
    _until(lambda: not held(), lambda: f"the workers still hold {held()}")
    X, Q = _data(11, 2400, 100)
    single = _single(X, 1900)
    points = da.from_array(X, chunks=(700, 8))  # four row chunks, two column chunks
    with ShardedSearch(D, client, **FIXED) as sharded:
        sharded.build(points, n_static=1900)
        assert sharded.shard_sizes == [700, 700, 700, 300]
        _check_epochs(single, sharded, np.random.default_rng(11))
        # a shard rebuilt from its log: rows of the dask array computed again on the cluster, then the batches since
        _kill(client, sharded.workers[0])
        _same_rows(single.query_knn(Q, 6, np.arange(100)), sharded.query_knn(Q, 6, np.arange(100)))


# the grid chosen in three dimensions, or asked for
@pytest.mark.parametrize("d, settings, mode", [(D, {}, "scan"), (3, {}, "grid"), (D, {"exact": "grid"}, "grid")])
def test_tuned_parameters_and_exact_answers_match(client, d, settings, mode):
    # Tuned on the same points from the same seed: the same parameters and, on this little data, the same exact answer
    X, Q = _data(3, 2000, 120, d)
    single = PlovikSearch(d, seed=5, threads=1, **settings)
    single.build(X, n_static=1700, sample=100)
    with ShardedSearch(d, client, shards=3, seed=5, threads=1, **settings) as sharded:
        sharded.build(X, n_static=1700, sample=100)
        # no shard holds a table, and no hash setting is shown
        assert sharded.tuning.exact and single.tuning.exact and sharded.params is None is single.params
        assert sharded.tuning.grid == single.tuning.grid == (mode == "grid")
        assert sharded.tuning.settings() == single.tuning.settings() and "b=" not in repr(sharded)
        assert f"exact {mode}" in repr(sharded) and f"exact {mode}" in repr(single)
        parts = sharded.nbytes_by_part
        assert parts["ids"] == parts["directories"] == 0 and parts["coordinates"] == 2000 * (d * 4 + 1)
        own = np.arange(120) * 16
        _same_rows(exact_knn(X, Q, 10, own), sharded.query_knn(Q, 10, own))
        _check_epochs(single, sharded, np.random.default_rng(8))  # both against the single search


def test_grown_past_the_sizes_both_tune_again_alike(client):
    # grown past the sizes that chose the scan, both tune again alike and build tables (uniform points: the scan
    # answers tight clusters faster at this size)
    X = np.random.default_rng(9).random((36_000, 8))
    single = PlovikSearch(8, seed=5, threads=1)
    with ShardedSearch(8, client, shards=3, seed=5, threads=1) as sharded:
        for s in (single, sharded):
            s.build(X[:3000], n_static=2000, sample=100)
            s.retire([5, 2500])
            s.promote(X[3000:33_000])
        assert not single.tuning.exact and sharded.params == single.params and sharded.params is not None
        assert dataclasses.replace(sharded.tuning, seconds=0) == dataclasses.replace(single.tuning, seconds=0)
        assert sharded.nbytes_by_part["ids"] > 0 and "exact scan" not in repr(sharded) and sharded.n_retired == 2
        probe = np.array([0, 2499, 2999, 3000, 32_999])
        for s in (single, sharded):
            idx, dist = s.query_knn(X[probe], 1)
            assert idx[:, 0].tolist() == probe.tolist() and (dist == 0).all()
            assert not np.isin([5, 2500], s.query_radius(X[[5, 2500]], 0.01)[1]).any()


def test_relaxed_queries_never_lose_neighbours(client):
    # Buckets so sparse that every query relaxes, on the single index and on every shard (the shards' rows are then
    # answered exactly); with fuller buckets the shards relax a few and the single index none. A sharded row is as near
    # as the single index's, entry by entry, up to the last bit (a relaxed row is summed as on the per-query path).
    X, Q = _data(4, 1500, 150)
    own = np.arange(150)
    for settings, exact in (
        (dict(tables=2, components=8, cells=4, probes=0), True),
        (dict(tables=3, components=4, cells=4, probes=1), False),
    ):
        single = _single(X, seed=1, threads=1, **settings)
        with ShardedSearch(D, client, shards=3, seed=1, threads=1, **settings) as sharded:
            sharded.build(X)
            for args in ((Q, 8), (X[:150], 8, own), (Q[:20], 8)):
                _, want = single.query_knn(*args)
                _, got = sharded.query_knn(*args)
                assert np.all(got <= want * (1 + 2**-22))
                if exact:
                    np.testing.assert_array_equal(got, exact_knn(X, *args)[1])
            assert sharded.stats()["relaxed"] > 0 and (single.stats()["relaxed"] > 0) == exact
    # Shards of at most k points are scanned whole: exact.
    with ShardedSearch(D, client, shards=3, seed=1, threads=1, **settings) as sharded:
        sharded.build(X[:12])
        few = own % 13 - 1
        _same_rows(sharded.query_knn(Q, 5, few), exact_knn(X[:12], Q, 5, few))


def _until(done, seen, seconds=WAIT):
    """Wait for `done()`; fail with `seen()` (what the cluster showed) when it never comes."""
    deadline = time.monotonic() + seconds
    while not done():
        if time.monotonic() > deadline:
            pytest.fail(f"waited {seconds} s in vain: {seen()}")
        time.sleep(0.05)


def _workers(client):
    return lambda: f"the scheduler lists the workers {sorted(client.ncores())}"


def _two_workers(client):
    _until(lambda: len(client.ncores()) >= 2, _workers(client))


def _kill(client, worker):
    """Kill a worker by its pid; return once the scheduler has removed it."""
    pid = client.run(os.getpid, workers=[worker])[worker]
    os.kill(pid, signal.SIGKILL)
    _until(lambda: worker not in client.ncores(), _workers(client))


@contextlib.contextmanager
def _killed_once_started(client, worker, method, tmp_path):
    """Within the block, a call of the shard method `method` on `worker` leaves a file that tells it started, and kills
    its worker process."""
    flag = tmp_path / f"{method}-started-{time.monotonic_ns()}"
    pid = client.run(os.getpid, workers=[worker])[worker]

    def die(*args):
        flag.touch()
        time.sleep(0.01)  # the other shards' calls may finish first
        os.kill(os.getpid(), signal.SIGKILL)

    client.run(lambda: setattr(pd._Shard, method, die), workers=[worker])
    try:
        yield
    finally:
        if not flag.exists():
            os.kill(pid, signal.SIGKILL)  # leave no patched method behind
    assert flag.exists(), f"no {method} call started on {worker}"
    _until(lambda: worker not in client.ncores(), _workers(client))


def _knn_equal(single, sharded, Q, k=6):
    _same_rows(single.query_knn(Q, k), sharded.query_knn(Q, k))


@pytest.mark.parametrize("recover", [True, False])
def test_a_worker_killed_between_and_during_calls(client, recover, tmp_path):
    X, Q = _data(6, 2000, BIG)
    single = _single(X, 1700)
    batch = np.random.default_rng(1).random((200, D))
    with ShardedSearch(D, client, shards=2, recover=recover, **FIXED) as sharded:
        sharded.build(X, n_static=1700)
        _kill(client, sharded.workers[1])  # between calls
        if recover:
            # the lost shard rebuilt on a worker still there; a change finding a shard lost has it rebuilt, then applies
            _knn_equal(single, sharded, Q)
            _two_workers(client)
            _kill(client, sharded.workers[0])
            single.promote(batch)
            sharded.promote(batch)
            _knn_equal(single, sharded, Q[:100])
            single = _single(X, 1700)
        else:
            calls = [(sharded.query_knn, (Q, 5)), (sharded.query_knn, (Q[:10], 5)), (sharded.query_radius, (Q, 1.0))]
            calls += [(sharded.update, (X[1700:],)), (sharded.promote, (X[:10],)), (sharded.retire, ([5, 1900],))]
            calls += [(sharded.stats, ()), (sharded.reset_stats, ())]
            for _ in range(2):  # and it stays refused
                for method, args in calls:
                    with pytest.raises(ShardLostError, match="shard 1"):
                        method(*args)
            assert (sharded.n_static, sharded.n_candidates, sharded.n_retired) == (1700, 300, 0)
            sharded.build(X, n_static=1700)
            _knn_equal(single, sharded, Q)
        _two_workers(client)
        sharded.build(X, n_static=1700)  # a shard on each worker again
        victim = sharded.workers[1]
        with (
            _killed_once_started(client, victim, "promote", tmp_path),
            pytest.raises(ShardLostError, match=f"shard 1 \\(worker {victim}\\)") as info,
        ):
            sharded.promote(batch)
        assert info.value.shards == [1] and info.value.workers == [victim]
        # Shard 0 promoted before shard 1 was lost: undone, so nothing changed.
        assert (sharded.n_static, sharded.n_candidates) == (1700, 300)
        _two_workers(client)
        if recover:
            _knn_equal(single, sharded, Q)
            single.promote(batch)
            sharded.promote(batch)
            _knn_equal(single, sharded, Q[:100])
        else:
            with pytest.raises(ShardLostError, match="build\\(\\) again"):
                sharded.query_knn(Q[:10], 5)
            sharded.build(X, n_static=1700)
        # A worker lost during a query of more than a megabyte
        with _killed_once_started(client, sharded.workers[0], "knn", tmp_path):
            if recover:  # answered all the same
                _knn_equal(single, sharded, Q)
            else:
                with pytest.raises(ShardLostError, match="shard 0"):
                    sharded.query_knn(Q, 6)
        if not recover:
            with pytest.raises(ShardLostError, match="shard 0"):
                sharded.query_knn(Q, 6)
            sharded.build(X, n_static=1700)
            _knn_equal(single, sharded, Q)


@pytest.mark.parametrize("kind", ["numpy", "dask"])
def test_a_worker_killed_during_build(client, kind, tmp_path):
    X, Q = _data(9, 2000, 100)
    single = _single(X, 1700)
    w = sorted(client.ncores())
    victim = w[1]
    if kind == "numpy":
        points = X  # one shard a worker: shard 1 on the victim
    else:  # the second chunk held by the victim, and its shard built there
        # (computed again elsewhere once the victim is gone: a chunk bound to a dead worker would wait for it for ever)
        chunks = [da.from_array(X[i * 1000 : i * 1000 + 1000], chunks=(1000, D)) for i in (0, 1)]
        points = da.concatenate(
            [client.persist(c, workers=[w[i]], allow_other_workers=True) for i, c in enumerate(chunks)]
        )
    with ShardedSearch(D, client, recover=False, **FIXED) as sharded:
        with _killed_once_started(client, victim, "build", tmp_path):
            sharded.build(points, n_static=1700)  # completed on the worker left
        assert victim not in sharded.workers and sharded.shard_sizes == [1000, 1000]
        _knn_equal(single, sharded, Q)
        _two_workers(client)
        sharded.build(X, n_static=1700)
        _knn_equal(single, sharded, Q)


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
        bad = [  # (error, method, the arguments of each call); the last of each: integer coordinates without a boxsize
            (ValueError, sharded.update, (np.zeros((99, D)),), (nan,), (np.zeros((100, D), int),)),
            (TypeError, sharded.update, (np.zeros((100, D), str),)),
            (ValueError, sharded.promote, (np.zeros((5, D + 1)),), (nan,), (np.zeros((5, D), np.uint8),)),
            (ValueError, sharded.retire, ([3, 1000],)),
            (TypeError, sharded.retire, (np.array([1.5]),)),
            (ValueError, sharded.query_knn, (Q, 0), (Q, 5, np.full(50, 1000)), (np.zeros((5, D), int), 3)),
            (ValueError, sharded.query_radius, (Q, -1.0), (np.zeros(D, int), 0.5)),
            (ValueError, sharded.build, (X, 2000), (da.from_array(nan, chunks=50),), (np.zeros((10, D), int),)),
            (ValueError, sharded.build, (da.zeros((10, D), dtype=int, chunks=5),)),
        ]
        for error, method, *calls in bad:
            for args in calls:
                with pytest.raises(error):
                    method(*args)
        assert sent == []  # refused on the client, before any task
        assert (sharded.n_static, sharded.n_candidates, sharded.n_retired) == (900, 100, 0)
        _same_rows(before, sharded.query_knn(Q, 5))
    # boxes and metrics, checked as PlovikSearch checks them (every refusal: test_exact.py)
    for settings, error, message in [
        (dict(boxsize="3"), TypeError, "boxsize must be"),
        (dict(boxsize=(1.0, 2.0)), ValueError, "boxsize has 2 sides but the points have d = 16"),
        (dict(metric="l2"), ValueError, "metric must be"),
    ]:
        with pytest.raises(error, match=message):
            ShardedSearch(D, client, **settings)


SIDES = tuple(np.linspace(1.5, 3.0, D))  # the longest side 3.0, as the cubic box's


@pytest.mark.parametrize("boxsize, metric", [(3.0, "l1"), (3.0, "euclidean"), (SIDES, "l1"), (SIDES, "euclidean")])
def test_a_box_and_a_metric_answer_as_the_single_search(client, boxsize, metric):
    # FIXED: through the tables, each candidate measured in the metric; tuned: every shard's exact scan
    settings = FIXED if (metric, boxsize) in (("l1", 3.0), ("euclidean", SIDES)) else dict(seed=7, threads=1)
    X = _data(13, 1200, 0)[0] * boxsize
    single = _single(X, 1000, boxsize=boxsize, metric=metric, **settings)
    with ShardedSearch(D, client, shards=2, boxsize=boxsize, metric=metric, **settings) as sharded:
        assert sharded.boxsize == single.boxsize and sharded.metric == metric
        sharded.build(X, n_static=1000)
        Q = np.random.default_rng(16).random((40, D)) * boxsize
        if settings is not FIXED:  # nothing tuned with FIXED: no report
            assert sharded.tuning.exact and single.tuning.exact and sharded.params is None
            _same_rows(exact_knn(X, Q, 6, metric=metric, boxsize=boxsize), sharded.query_knn(Q, 6))
        _check_epochs(single, sharded, np.random.default_rng(13))  # coordinates in part of the box
        # integer lattice sites, from a dask.array too
        lattice = np.random.default_rng(14).integers(0, 3, (600, D))
        single.build(lattice)
        sharded.build(da.from_array(lattice, chunks=300))
        _same_rows(single.query_knn(Q, 6), sharded.query_knn(Q, 6))
        _same_rows(single.query_radius(Q, 2.0), sharded.query_radius(Q, 2.0))
        assert sharded.estimate_recall(6, 40) == single.estimate_recall(6, 40)
