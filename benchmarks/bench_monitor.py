"""What the recall monitor costs: calls of 2,000 k-nearest queries on one
tuned search with the monitor on and off (`PlovikSearch(monitor=False)`,
the baseline), alternated call by call in one process so that both see the
same machine; the search is built once per data shape and both searches
share its settings (the second keeps the first's tuning). Reports the
mean call time of each (all calls counted: some calls check
queries, others only save up for a check) and their ratio, and the checks the monitor made.
A second table shows the drifting-queries case: points in 200 clusters,
queries from 200 others, recall of each call against the exact scan, with
the monitor adapting and without it."""

import argparse
import time
import warnings

import numpy as np
from common import SEED, machine

from plovik import PlovikSearch, exact_knn

SHAPES = {
    "uniform d=16": lambda rng, n: rng.random((n, 16)),
    "uniform d=8": lambda rng, n: rng.random((n, 8)),
    "clustered d=24": lambda rng, n: clustered(rng, n, 24, 0),
}


def clustered(rng, n, d, first, centres=None):
    centres = np.random.default_rng(SEED + d).random((400, d)) if centres is None else centres
    c = centres[first + rng.choice(200, n)]
    return (c + 0.01 * rng.standard_normal((n, d))) % 1.0


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--n", type=int, default=100_000)
    ap.add_argument("--m", type=int, default=2_000, help="queries per call")
    ap.add_argument("--calls", type=int, default=15)
    args = ap.parse_args()
    rng = np.random.default_rng(SEED)
    print(f"recall monitor, n = {args.n:,}, calls of {args.m:,} queries, k = 10; {machine()}")
    print("| data | monitor off, ms/call | on, ms/call | on / off | checks per call |")
    print("|---|---|---|---|---|")
    for name, make in SHAPES.items():
        X = make(rng, args.n)
        on = PlovikSearch(X.shape[1], seed=SEED)
        on.build(X)
        off = PlovikSearch(X.shape[1], seed=SEED, monitor=False, tuning=on.tuning)
        off.build(X, tuning="keep")
        times = {"on": [], "off": []}
        for c in range(args.calls):
            Q = X[rng.choice(args.n, args.m)] + 1e-3 * rng.standard_normal((args.m, X.shape[1]))
            for label, s in (("off", off), ("on", on)) if c % 2 else (("on", on), ("off", off)):
                t = time.perf_counter()
                s.query_knn(Q, 10)
                times[label].append(time.perf_counter() - t)
        # totals, not medians: a call with a check and one without both count
        a, b = sum(times["off"]) / args.calls, sum(times["on"]) / args.calls
        checked = on.observed_recall.queries if on.observed_recall else 0
        print(f"| {name} | {a * 1e3:.1f} | {b * 1e3:.1f} | {b / a:.3f} | {checked / args.calls:.1f} |")

    d = 24
    X = clustered(rng, args.n, d, 0)
    print(f"\ndrifting queries (n = {args.n:,}, d = {d}, queries from other clusters): recall per call")
    print("| call | adapt=True | adapt=False |")
    print("|---|---|---|")
    searches = {}
    for adapt in (True, False):
        s = PlovikSearch(d, seed=SEED, adapt=adapt)
        s.build(X)
        searches[adapt] = s
    for c in range(4):
        Q = clustered(rng, args.m, d, 200)
        truth, _ = exact_knn(X, Q, 10)
        row = []
        for adapt in (True, False):
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                idx, _ = searches[adapt].query_knn(Q, 10)
            row.append(np.mean([np.isin(t, i).mean() for t, i in zip(truth, idx, strict=True)]))
        print(f"| {c + 1} | {row[0]:.3f} | {row[1]:.3f} |")


if __name__ == "__main__":
    main()
