"""No leaks: repeated work, failed calls included, keeps memory flat and no stray reference, and result arrays give
their buffers back with the last array over them. (The AddressSanitizer run adds LeakSanitizer's accounting at exit.)"""

import ctypes
import os
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

from index_helpers import random_params
from plovik import RustLshIndex

MIB = 1 << 20

RSS = textwrap.dedent("""
    import os
    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
""")

# One round makes an index, walks it through an epoch with queries on both paths, reads all there is, fails in every
# way, queries from a few threads and drops it: about 40 MiB allocated, 1.6 MiB of them in one result pair. The inputs
# and the exceptions' classes keep their reference counts.
ROUNDS = RSS + textwrap.dedent("""
    import gc, sys, threading
    import numpy as np
    from plovik import PanicException, RustLshIndex

    rng = np.random.default_rng(0)
    L, K, d = 8, 4, 6
    s, u = rng.integers(0, d, (L, K)), rng.random((L, K))
    pts = rng.random((40_000, d))
    moved, batch = rng.random((8000, d)), rng.random((8000, d))
    q, ex, short = rng.random((1000, d)), np.arange(1000), np.arange(3)
    narrow = q[:, :2].copy()
    big = 2**70 + 1  # a long int of its own, not a cached small one
    held = [s, u, pts, moved, batch, q, ex, short, narrow, big, RustLshIndex, PanicException]

    def one_round():
        ix = RustLshIndex(4, K, L, 2, s, u)
        ix.build(pts, 32_000)
        for rows in (q, q[:60]):  # blocked and per-query path
            idx, dist = ix.query_knn(rows, 100, ex)
        indptr, ids, dists = ix.query_radius(q, 0.05, ex)
        ix.update(moved)
        ix.promote(batch)
        ix.tables(), ix.stats(), ix.reset_stats(), ix.n_points
        for call, error in [(lambda: ix.update(q), PanicException),  # 1000 rows, not 8000
                            (lambda: ix.query_knn(q, 5, short), PanicException),
                            (lambda: ix.query_radius(q, 0.1, short), PanicException),
                            (lambda: ix.query_knn(q, 2**50), MemoryError),
                            (lambda: ix.query_knn(q, big), OverflowError),
                            (lambda: ix.build(q, big), OverflowError),
                            (lambda: ix.build(pts[::2], 0), TypeError),
                            (lambda: ix.build(pts.astype(np.float32), 0), TypeError),
                            (lambda: ix.tables(1), TypeError),
                            (lambda: ix.query_radius(q, "x", ex), TypeError),
                            (lambda: ix.build(pts, 50_000), ValueError),
                            (lambda: ix.query_knn(narrow, 5), ValueError),
                            (lambda: ix.promote(narrow), ValueError)]:
            try:
                call()
            except BaseException as e:
                assert type(e) is error, repr(e)
            else:
                raise AssertionError(f"no {error}")
        threads = [threading.Thread(target=ix.query_knn, args=(q[:100], 5)) for _ in range(3)]
        threads.append(threading.Thread(target=ix.tables))
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    for _ in range(int(sys.argv[1])):  # warm-up: allocator caches and arenas fill
        one_round()
    gc.collect()
    before, refs = rss(), [sys.getrefcount(h) for h in held]
    for _ in range(int(sys.argv[2])):
        one_round()
    gc.collect()
    print(before, rss(), [sys.getrefcount(h) for h in held] == refs)
""")


@pytest.mark.parametrize("dev", [False, True], ids=["rounds", "development mode"])
def test_repeated_work_keeps_memory_flat_and_references_balanced(dev):
    """In development mode (two rounds) the allocator debug hooks also check every interpreter allocation for
    overruns and for being made without the interpreter lock, and any warning (an unclosed resource, a deprecated
    call) is an error."""
    sanitized = bool(os.environ.get("PLOVIK_SANITIZER"))
    flags = ("-X", "dev", "-W", "error") if dev else ()
    rounds = ("1", "1") if dev else ("2", "5") if sanitized else ("5", "30")
    out = subprocess.run([sys.executable, *flags, "-c", ROUNDS, *rounds], capture_output=True, text=True, timeout=600)
    assert out.returncode == 0 and (out.stderr == "" or not dev), out.stderr
    before, after, refs_kept = out.stdout.split()
    assert refs_kept == "True"
    # A leak of one result pair per round would add 48 MiB over thirty rounds, of one index a few hundred. (Under a
    # sanitizer freed blocks wait in quarantine; LeakSanitizer does the accounting there.)
    assert dev or sanitized or int(after) - int(before) < 24 * MIB, (int(before) / MIB, int(after) / MIB)


# Result arrays of 40 MiB and more: freed memory of that size goes straight
# back to the system, so the resident size shows when each buffer goes.
M, N, K = 10_000, 600, 500
RESULT_BUFFERS = RSS + textwrap.dedent(f"""
    import gc
    import numpy as np
    from plovik import RustLshIndex

    rng = np.random.default_rng(1)
    # b = 1: every point shares one bucket, so every query reaches all of them
    ix = RustLshIndex(1, 1, 1, 0, np.zeros((1, 1), np.int64), np.zeros((1, 1)))
    ix.build(rng.random(({N}, 2)), {N} // 2)
    q = rng.random(({M}, 2))
    marks = [rss()]
    held = [*ix.query_knn(q, {K})]
    marks.append(rss())
    held.append(held[0][::7, 3:])  # idx, dist and a view that keeps the buffer of idx alive: dropped in turn
    for i in range(3):
        held[i] = None
        gc.collect()
        marks.append(rss())
    held = ix.query_radius(q, 2.0)  # every pair is a hit
    marks.append(rss())
    del held
    gc.collect()
    marks.append(rss())
    print(*marks)
""")


@pytest.mark.resident_size
def test_result_buffers_are_freed_with_their_last_array():
    env = {**os.environ, "MALLOC_MMAP_THRESHOLD_": str(MIB)}
    out = subprocess.run(
        [sys.executable, "-c", RESULT_BUFFERS], check=True, capture_output=True, text=True, timeout=600, env=env
    )
    start, both, view_only, view_left, none, radius, radius_gone = (int(v) / MIB for v in out.stdout.split())
    knn = M * K * 8 / MIB  # one array of the knn result
    hits = M * N * 8 / MIB  # one array of hits of the radius result
    assert both - start > 1.8 * knn
    assert both - view_only < 0.1 * knn  # the view holds the whole buffer of idx
    assert view_only - view_left > 0.8 * knn  # dist went with its array
    assert view_left - none > 0.8 * knn  # idx went with its last view
    assert radius - none > 1.5 * hits and radius - radius_gone > 1.5 * hits


def _page_out_large_mappings():
    """Asks the kernel to reclaim the pages of every large anonymous mapping of the process, as memory pressure
    would: lazily freed pages are then dropped and read back as zeros. False where the kernel cannot."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.madvise.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
    ok = False
    with open("/proc/self/maps") as maps:
        for line in maps:
            fields = line.split()
            if len(fields) > 5 or not fields[1].startswith("rw"):
                continue  # files and named areas; read-only mappings
            lo, hi = (int(x, 16) for x in fields[0].split("-"))
            if 8 * MIB <= hi - lo <= 1 << 32:  # not the terabytes sanitizer runtimes reserve for shadow memory
                ok |= libc.madvise(lo, hi - lo, 21) == 0  # MADV_PAGEOUT
    return ok


@pytest.mark.threads
def test_indexes_rebuilt_on_several_threads_survive_memory_reclaim():
    """Two threads rebuild and refresh their own indexes at once, reusing the large arrays their earlier calls replaced
    (of other sizes every other time), and the kernel reclaims every page it may after each call: every table stays
    that of a fresh build (a kept array must not be seen by the other thread before it is marked lazily freeable)."""
    rng = np.random.default_rng(7)
    n, d = 131_072, 8  # 4 MiB per table-major array of a tier: reused, reclaimable
    params = random_params(rng, d=d, L=16, K=5, b=4)
    sets, splits = [rng.random((n, d)) for _ in range(2)], (n // 2, n // 3)

    def refreshed(ix, pts, n_static, reclaim=lambda: None):
        ix.build(pts, n_static)
        reclaim()
        ix.update(pts[: n - n_static])
        reclaim()
        return ix.tables()

    expected = [{n_static: refreshed(RustLshIndex(**params), pts, n_static) for n_static in splits} for pts in sets]
    failures = []

    def work(pts, want):
        try:
            ix = RustLshIndex(**params)
            for i in range(30):
                got = refreshed(ix, pts, splits[i % 2], _page_out_large_mappings)
                if any(not np.array_equal(got[key], want[splits[i % 2]][key]) for key in got):
                    failures.append("tables differ")
        except BaseException as e:  # noqa: BLE001 - reported by the main thread
            failures.append(repr(e))

    threads = [threading.Thread(target=work, args=(pts, want)) for pts, want in zip(sets, expected, strict=True)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


# A large build grows the process by what nbytes reports, and a few hundred epochs (every candidate moving, a rebuild
# now and then) keep the resident size flat and near the index's own; a promotion peaks within 1.5 times the index
# before it and leaves what nbytes reports; an index that goes takes it all with it.
EPOCHS = RSS + textwrap.dedent("""
    import gc, sys
    import numpy as np
    from plovik import RustLshIndex

    rng = np.random.default_rng(6)
    n, d, L, K = 300_000, 16, 16, 6
    s, u = rng.integers(0, d, (L, K)), rng.random((L, K))
    pts = rng.random((n, d))
    n_static = n - n // 5
    moves = [rng.random((n // 5, d)) for _ in range(2)]
    batch = rng.random((n // 5, d))
    RustLshIndex(4, K, L, 2, s, u).build(pts[:1000], 500)  # starts the worker pool
    start = rss()
    ix = RustLshIndex(4, K, L, 2, s, u)
    ix.build(pts, n_static)
    built, held = rss(), ix.nbytes
    marks = []
    for epoch in range(int(sys.argv[1])):
        ix.update(moves[epoch % 2])
        if epoch % 25 == 24:
            ix.build(pts, n_static)
        marks.append(rss())
    index = ix.nbytes - ix.nbytes_by_part["reuse"]
    gc.collect()
    before = rss()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # the peak resident size starts again from the current one
    ix.promote(batch)
    with open("/proc/self/status") as f:
        peak = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))
    promoted, held_after = rss(), ix.nbytes
    del ix
    gc.collect()
    print(start, built, held, index, max(marks[:100]), max(marks[100:]), before, peak, promoted,
          held_after, rss())
""")


@pytest.mark.resident_size
def test_nbytes_is_the_resident_growth_and_epochs_keep_it_flat():
    out = subprocess.run([sys.executable, "-c", EPOCHS, "200"], check=True, capture_output=True, text=True, timeout=600)
    (start, built, held, index, early, late, before, peak, promoted, held_after, gone) = (
        int(v) / MIB for v in out.stdout.split()
    )
    assert index > 40
    for grown, nbytes in [(built - start, held), (promoted - start, held_after)]:
        assert abs(grown - nbytes) < 0.1 * nbytes, (start, built, held, promoted, held_after)
    assert peak - start < 1.5 * (before - start), (start, before, peak)
    assert max(early, late) - start < 1.3 * index, (start, index, early, late)
    assert late - early < 0.05 * index, (start, index, early, late)
    assert gone - start < 8, (start, built, gone)
