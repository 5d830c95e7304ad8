"""The cost of several excluded ids per query: a self-join k-nearest call of
PlovikSearch (and the exact scan) with e = 1 to 64 ids excluded per query,
the query's own id first and e - 1 others (its nearest points, the hardest
case: each one excluded is one the search would have returned). The search
widens to k + e - 1 neighbours and drops the excluded, so the cost grows
with e. Medians of several runs in one process, against e = 1 (one id, the
raw index's own exclusion)."""

import argparse
import statistics
import time

import numpy as np
from common import SEED, D, machine

from plovik import ExactScan, PlovikSearch


def median_seconds(fn, repeats):
    times = []
    for _ in range(repeats):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times)


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--n", type=int, default=200_000, help="points (default 200,000)")
    ap.add_argument("--m", type=int, default=5_000, help="queries, the first m points (default 5,000)")
    ap.add_argument("--exact-m", type=int, default=200, help="queries of the exact scan (default 200)")
    ap.add_argument("--k", type=int, default=10)
    ap.add_argument("--excluded", default="1,2,4,8,16,32,64", help="ids excluded per query")
    ap.add_argument("--repeats", type=int, default=3)
    args = ap.parse_args()

    X = np.random.default_rng(SEED).random((args.n, D))
    search = PlovikSearch(D, seed=SEED, tune=False)
    search.build(X)
    own = np.arange(args.m)
    counts = [int(e) for e in args.excluded.split(",")]
    # each query's nearest points after itself, as many as the largest e needs
    near, _ = search.query_knn(X[: args.m], max(counts) - 1 or 1, own)
    scan = ExactScan(X)
    print(
        f"several excluded ids, n = {args.n:,}, d = {D}, k = {args.k}, m = {args.m:,} "
        f"(exact: {args.exact_m}); {machine()}"
    )
    print("| excluded per query | query_knn, s | x e = 1 | query_radius, s | x e = 1 | exact knn, s | x e = 1 |")
    print("|---|---|---|---|---|---|---|")
    base = None
    for e in counts:
        ex = np.concatenate([own[:, None], near[:, : e - 1]], axis=1)
        knn = median_seconds(lambda ex=ex: search.query_knn(X[: args.m], args.k, ex), args.repeats)
        rad = median_seconds(lambda ex=ex: search.query_radius(X[: args.m], 0.5, ex), args.repeats)
        ext = median_seconds(lambda ex=ex: scan.knn(X[: args.exact_m], args.k, ex[: args.exact_m]), args.repeats)
        base = base or (knn, rad, ext)
        print(
            f"| {e} | {knn:.3f} | {knn / base[0]:.2f} | {rad:.3f} | {rad / base[1]:.2f} "
            f"| {ext:.3f} | {ext / base[2]:.2f} |"
        )


if __name__ == "__main__":
    main()
