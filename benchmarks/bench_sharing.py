"""What the readers-writer lock of PlovikSearch costs a query call, and how long
a change waits under a constant stream of queries.

Overhead: the same PlovikSearch answers blocks of 1,000 queries with its
lock and with the lock replaced by one that does nothing, taking turns; the
ratio of each pair of calls, and its median, is the lock's share. Waiting:
reader threads query without pause while the main thread updates the
candidates; each update's wait is set against one query call's time.

Default: 200,000 points of the shared scenario's dimension (d = 16), the
scenario's hash settings, k = 10; `--n 1000000` runs the full scenario.
"""

import argparse
import contextlib
import statistics
import threading
import time

import numpy as np
from common import KNN, PROBES, SEED, B, D, K, L, machine, points, queries

from plovik import PlovikSearch


class NoLock:
    def reading(self):
        return contextlib.nullcontext()

    def writing(self):
        return contextlib.nullcontext()


def overhead(search, Q, rounds):
    locked, free = search._lock, NoLock()
    ratios, with_lock, without = [], [], []
    for _ in range(rounds):
        pair = []
        for lock in (locked, free):
            search._lock = lock
            t = time.perf_counter()
            search.query_knn(Q, KNN)
            pair.append(time.perf_counter() - t)
        search._lock = locked
        with_lock.append(pair[0])
        without.append(pair[1])
        ratios.append(pair[0] / pair[1])
    return statistics.median(ratios), statistics.median(with_lock), statistics.median(without)


def waits(search, Q, readers, updates):
    rng = np.random.default_rng(SEED + 5)
    stop, calls = threading.Event(), []

    def read():
        while not stop.is_set():
            t = time.perf_counter()
            search.query_knn(Q, KNN)
            calls.append(time.perf_counter() - t)

    threads = [threading.Thread(target=read) for _ in range(readers)]
    for t in threads:
        t.start()
    time.sleep(0.5)
    waited = []
    cand = rng.random((search.n_candidates, search.d))
    for _ in range(updates):
        t = time.perf_counter()
        with search._lock.writing():
            waited.append(time.perf_counter() - t)
        search.update(cand)
        time.sleep(0.05)
    stop.set()
    for t in threads:
        t.join()
    return waited, statistics.median(calls)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, default=200_000)
    ap.add_argument("--queries", type=int, default=1_000)
    ap.add_argument("--rounds", type=int, default=30)
    ap.add_argument("--readers", type=int, default=7)
    ap.add_argument("--updates", type=int, default=10)
    a = ap.parse_args()
    search = PlovikSearch(D, cells=B, components=K, tables=L, probes=PROBES, seed=SEED)
    search.build(points(a.n), a.n * 4 // 5)
    Q = queries(a.queries)
    search.query_knn(Q, KNN)  # warm up
    ratio, locked, free = overhead(search, Q, a.rounds)
    print(f"{machine()}; n = {a.n:,}, d = {D}, blocks of {a.queries:,} queries, k = {KNN}, {a.rounds} rounds")
    print(
        f"query call: {locked * 1e3:.2f} ms with the lock, {free * 1e3:.2f} ms without (medians); "
        f"median ratio {ratio:.4f} ({(ratio - 1) * 100:+.2f}%)"
    )
    waited, call = waits(search, Q, a.readers, a.updates)
    print(
        f"{a.readers} readers querying without pause, {a.updates} updates: wait for the lock median "
        f"{statistics.median(waited) * 1e3:.1f} ms, longest {max(waited) * 1e3:.1f} ms; "
        f"one query call under that load {call * 1e3:.1f} ms (median)"
    )


if __name__ == "__main__":
    main()
