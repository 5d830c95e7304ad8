"""Interpreter shutdown while other threads are inside the engine, and a fork while another thread queries, each in a
fresh interpreter: a hang shows as a timeout, a crash as a non-zero return code (development mode: test_memory.py)."""

import os
import subprocess
import sys
import textwrap

import pytest

# Threads still running at exit are abandoned with everything their frames refer to, which LeakSanitizer cannot tell
# from a leak: the children that leave such threads behind run without it.
ABANDONS_THREADS = {}
if os.environ.get("PLOVIK_SANITIZER") == "address":
    ABANDONS_THREADS["ASAN_OPTIONS"] = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "detect_leaks=0"]))

PRELUDE = """
    import os, sys, threading, gc
    import numpy as np
    from plovik import RustLshIndex

    def make(L, K, d, seed, **kw):
        rng = np.random.default_rng(seed)
        return rng, RustLshIndex(4, K, L, 2, rng.integers(0, d, (L, K)), rng.random((L, K)), **kw)
"""


def run_python(script, *args, env):
    command = [sys.executable, "-c", textwrap.dedent(PRELUDE + script), *map(str, args)]
    return subprocess.run(command, capture_output=True, text=True, timeout=300, env={**os.environ, **env})


# Daemon threads call their own indexes in loops of short calls while the main thread leaves, so that some call comes
# back while the interpreter finalizes (which ends its thread there), and one more runs a single long query, still on
# the pool's workers when the process exits: the process must exit cleanly.
SHUTDOWN_WITH_CALLS_IN_FLIGHT = """
    rng = np.random.default_rng(0)
    pts, q = rng.random((20_000, 4)), rng.random((200, 4))
    calls = {
        "query_knn": lambda ix: ix.query_knn(q, 5),
        "query_batch": lambda ix: ix.query_knn(rng.random((300, 4)), 5),
        "query_radius": lambda ix: ix.query_radius(q, 0.1),
        "build": lambda ix: ix.build(pts, 15_000),
        "update": lambda ix: ix.update(pts[15_000:]),
        "promote": lambda ix: ix.promote(q[:0]),  # empties the candidates, then stays that way
        "panic": lambda ix: ix.query_knn(q, 5, q[:3, 0].astype(np.int64)),
    }
    names = sys.argv[1].split(",")
    running = threading.Barrier(len(names) + 1)

    def churn(i, name):
        ix = make(4, 3, 4, i)[1]
        ix.build(pts, 15_000)
        running.wait()
        while True:
            try:
                calls[name](ix)
            except BaseException as e:
                if type(e).__name__ != "PanicException":
                    raise

    for i, name in enumerate(names):
        threading.Thread(target=churn, args=(i, name), daemon=True).start()
    running.wait()
    rng, long = make(8, 4, 8, 1, block=1)
    long.build(rng.random((100_000, 8)), 80_000)
    big = rng.random((1_000_000, 8))
    threading.Thread(target=lambda: long.query_knn(big, 10), daemon=True).start()
    while True:  # the query holds shared access once it runs: promote then cannot get in
        try:
            long.promote(None)
        except RuntimeError as e:
            assert str(e) == "Already borrowed"
            break
        except TypeError:
            pass
    print("leaving", flush=True)
"""


@pytest.mark.threads
@pytest.mark.parametrize(
    "calls,threads",
    [("query_knn,query_radius,build", "2"), ("query_batch,update,panic", "3"), ("build,promote,query_knn,panic", "1")],
)
def test_shutdown_with_calls_in_flight(calls, threads):
    for _ in range(2):
        out = run_python(SHUTDOWN_WITH_CALLS_IN_FLIGHT, calls, env={"RAYON_NUM_THREADS": threads, **ABANDONS_THREADS})
        assert (out.returncode, out.stdout) == (0, "leaving\n"), out.stderr


# A fork while another thread is inside a query: the child has none of the pool's threads and makes its own, whatever
# state the parent's was in, for its queries and a build of its own.
FORK_DURING_QUERY = """
    import warnings
    warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running
    rng, ix = make(6, 4, 6, 2, block=1)
    pts = rng.random((50_000, 6))
    ix.build(pts, 40_000)
    q = rng.random((500, 6))
    want, keys, stop = ix.query_knn(q, 7), ix.tables()["static_keys"], threading.Event()

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
            other = make(6, 4, 6, 2, block=1)[1]  # the same parameters
            other.build(pts, 40_000)
            same = (other.tables()["static_keys"] == keys).all()
            os._exit(0 if same and all((a == b).all() for a, b in zip(got, want)) else 3)
        statuses.append(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
    stop.set()
    t.join()
    print(statuses)
"""


@pytest.mark.forks_after_threads
@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_fork_while_another_thread_queries():
    out = run_python(FORK_DURING_QUERY, env={"RAYON_NUM_THREADS": "3"})
    assert (out.returncode, out.stdout) == (0, "[0, 0, 0, 0, 0]\n"), out.stderr
