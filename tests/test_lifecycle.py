"""The module across process lifecycles: development mode with warnings as
errors, interpreter shutdown while other threads are inside the engine, and
a fork while another thread is querying. Each runs in a fresh interpreter;
a hang shows as a timeout, a crash as a non-zero return code."""

import os
import subprocess
import sys
import textwrap

import pytest

TIMEOUT = 300  # seconds; only a hang comes near it

# Threads still running at exit are abandoned by the interpreter together
# with everything their frames refer to (indexes and their buffers
# included); LeakSanitizer cannot tell that from a leak, so the children
# that leave such threads behind run without it.
ABANDONS_THREADS = ({"ASAN_OPTIONS": ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "detect_leaks=0"]))}
                    if os.environ.get("PLOVIK_SANITIZER") == "address" else {})


def run_python(script, *args, flags=(), env=None):
    return subprocess.run([sys.executable, *flags, "-c", script, *map(str, args)],
                          capture_output=True, text=True, timeout=TIMEOUT,
                          env={**os.environ, **(env or {})})


# Every method, a failure of every kind and a few threads, in development
# mode: the allocator debug hooks check every interpreter allocation for
# overruns and for being made without the interpreter lock, and any
# warning (an unclosed resource, a deprecated call) is an error.
DEV_MODE_WORKLOAD = textwrap.dedent("""
    import gc, threading
    import numpy as np
    from plovik import RustLshIndex

    rng = np.random.default_rng(0)
    L, K, d = 4, 3, 4
    for block in (1, 1024):
        ix = RustLshIndex(4, K, L, 2, rng.integers(0, d, (L, K)), rng.random((L, K)), block=block)
        pts = rng.random((5000, d))
        ix.build(pts, 4000)
        q = rng.random((100, d))
        rows = ix.query_knn(q, 5, np.arange(100)), ix.query_knn(q[:10], 3)
        hits = ix.query_radius(q, 0.2, np.arange(100))
        ix.update(rng.random((1000, d)))
        ix.promote(rng.random((500, d)))
        tables, stats = ix.tables(), ix.stats()
        ix.reset_stats()
        assert (ix.n_points, ix.n_static, ix.n_candidates) == (5500, 5000, 500)
        failures = [
            (lambda: ix.build(pts.astype(np.float32), 0), TypeError),
            (lambda: ix.build(pts[::2], 0), TypeError),
            (lambda: ix.build(pts, -1), OverflowError),
            (lambda: ix.build(pts, 6000), ValueError),
            (lambda: ix.query_knn(q, 2**62), MemoryError),
            (lambda: ix.promote(np.ascontiguousarray(q[:, :2])), ValueError),
            (lambda: ix.tables(1), TypeError),
        ]
        for call, error in failures:
            try:
                call()
            except error:
                pass
            else:
                raise SystemExit(f"no {error.__name__}")
        for call in (lambda: ix.update(q), lambda: ix.query_knn(q, 3, np.arange(5))):
            try:
                call()
            except BaseException as e:
                assert type(e).__name__ == "PanicException", e
        threads = [threading.Thread(target=ix.query_knn, args=(q, 5)) for _ in range(3)]
        threads.append(threading.Thread(target=ix.tables))
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        del ix, rows, hits, tables, stats
        gc.collect()
    print("done")
""")


def test_development_mode_with_warnings_as_errors():
    out = run_python(DEV_MODE_WORKLOAD, flags=("-X", "dev", "-W", "error"))
    assert (out.returncode, out.stdout, out.stderr) == (0, "done\n", "")


# Daemon threads keep calling into the engine while the main thread leaves.
# Calls that return while the interpreter finalizes end their thread inside
# the interpreter (it stops every thread but the one finalizing); the
# process must still exit cleanly. Each thread has an index of its own and
# calls it in a loop of short calls, so some call comes back during the
# shutdown on every run.
SHUTDOWN_WITH_CALLS_IN_FLIGHT = textwrap.dedent("""
    import sys, threading
    import numpy as np
    from plovik import RustLshIndex

    rng = np.random.default_rng(0)
    L, K, d = 4, 3, 4
    pts, q = rng.random((20_000, d)), rng.random((200, d))
    calls = {
        "query_knn": lambda ix: ix.query_knn(q, 5),
        "query_batch": lambda ix: ix.query_knn(rng.random((300, d)), 5),
        "query_radius": lambda ix: ix.query_radius(q, 0.1),
        "build": lambda ix: ix.build(pts, 15_000),
        "update": lambda ix: ix.update(pts[15_000:]),
        "promote": lambda ix: ix.promote(q[:0]),  # empties the candidates, then stays that way
        "panic": lambda ix: ix.query_knn(q, 5, q[:3, 0].astype(np.int64)),
    }
    names = sys.argv[1].split(",")
    running = threading.Barrier(len(names) + 1)

    def churn(name):
        ix = RustLshIndex(4, K, L, 2, rng.integers(0, d, (L, K)), rng.random((L, K)))
        ix.build(pts, 15_000)
        call = calls[name]
        running.wait()
        while True:
            try:
                call(ix)
            except BaseException as e:
                if type(e).__name__ != "PanicException":
                    raise

    for name in names:
        threading.Thread(target=churn, args=(name,), daemon=True).start()
    running.wait()
    print("leaving", flush=True)
""")


@pytest.mark.threads
@pytest.mark.parametrize("calls,threads", [
    ("query_knn,query_radius,build", "2"),
    ("query_batch,update,panic", "3"),
    ("build,promote,query_knn,panic", "1"),
])
def test_shutdown_with_calls_in_flight(calls, threads):
    for _ in range(2):
        out = run_python(SHUTDOWN_WITH_CALLS_IN_FLIGHT, calls,
                         env={"RAYON_NUM_THREADS": threads, **ABANDONS_THREADS})
        assert (out.returncode, out.stdout) == (0, "leaving\n"), out.stderr


# One long query on a daemon thread, still running on the pool's workers
# when the process exits.
SHUTDOWN_DURING_LONG_QUERY = textwrap.dedent("""
    import threading
    import numpy as np
    from plovik import RustLshIndex

    rng = np.random.default_rng(1)
    L, K, d = 8, 4, 8
    ix = RustLshIndex(4, K, L, 3, rng.integers(0, d, (L, K)), rng.random((L, K)), block=1)
    ix.build(rng.random((100_000, d)), 80_000)
    q = rng.random((1_000_000, d))
    threading.Thread(target=lambda: ix.query_knn(q, 10), daemon=True).start()
    # The query holds shared access once it runs: promote then cannot get in.
    while True:
        try:
            ix.promote(None)
        except RuntimeError as e:
            assert str(e) == "Already borrowed"
            break
        except TypeError:
            pass
    print("leaving", flush=True)
""")


@pytest.mark.threads
def test_shutdown_during_a_long_query():
    out = run_python(SHUTDOWN_DURING_LONG_QUERY, env=ABANDONS_THREADS)
    assert (out.returncode, out.stdout) == (0, "leaving\n"), out.stderr


# A fork while another interpreter thread is inside a query: the child has
# none of the pool's threads and must make its own pool, whatever state the
# parent's was in.
FORK_DURING_QUERY = textwrap.dedent("""
    import os, threading, warnings
    import numpy as np
    from plovik import RustLshIndex

    warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running
    rng = np.random.default_rng(2)
    L, K, d = 6, 4, 6
    ix = RustLshIndex(4, K, L, 2, rng.integers(0, d, (L, K)), rng.random((L, K)), block=1)
    pts = rng.random((50_000, d))
    ix.build(pts, 40_000)
    q = rng.random((500, d))
    want = ix.query_knn(q, 7)
    stop = threading.Event()

    def query():
        while not stop.is_set():
            ix.query_knn(q, 7)

    t = threading.Thread(target=query)
    t.start()
    statuses = []
    for _ in range(5):
        pid = os.fork()
        if pid == 0:
            got = ix.query_knn(q, 7)  # shared access: open even if the parent's query held it
            os._exit(0 if all((a == b).all() for a, b in zip(got, want)) else 3)
        statuses.append(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
    stop.set()
    t.join()
    print(statuses)
""")


@pytest.mark.forks_after_threads
@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_fork_while_another_thread_queries():
    out = run_python(FORK_DURING_QUERY, env={"RAYON_NUM_THREADS": "3"})
    assert (out.returncode, out.stdout) == (0, "[0, 0, 0, 0, 0]\n"), out.stderr
