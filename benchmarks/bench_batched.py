"""k-nearest throughput of the blocked batch path against the per-query path
(block = 1) on the shared scenario, and against an exact periodic k-d tree,
with the recall@10 of both paths. The contenders take turns, so that a shared
machine loads them alike; the speed-up is the median of the rounds' ratios."""

import argparse
import statistics
import time

import numpy as np
from common import (
    KNN,
    N_STATIC,
    PROBES,
    B,
    D,
    K,
    L,
    N,
    exact_tree,
    machine,
    params,
    points,
    queries,
    recall,
)

from plovik import RustLshIndex


def seconds(fn):
    t = time.perf_counter()
    fn()
    return time.perf_counter() - t


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--m", type=int, default=10_000, help="queries per run")
    ap.add_argument("--repeats", type=int, default=5, help="rounds of turns")
    ap.add_argument("--tree-m", type=int, default=300, help="tree queries over all rounds")
    ap.add_argument(
        "--large-block", type=int, default=65536, help="block of the third contender (PlovikSearch's default)"
    )
    args = ap.parse_args()

    pts, q = points(), queries(args.m)
    batched = RustLshIndex(**params(block=1024))
    per_query = RustLshIndex(**params(block=1))  # block = 1: always the per-query path
    large = RustLshIndex(**params(block=args.large_block))
    batched.build(pts, N_STATIC)
    per_query.build(pts, N_STATIC)
    large.build(pts, N_STATIC)
    for index in (batched, per_query, large):
        index.query_knn(q[:1000], KNN)  # warm the pool and the caches
        index.reset_stats()
    tree = exact_tree(pts)

    t_b, t_p, t_l, t_tree, exact = [], [], [], [], []
    tree_round = max(args.tree_m // args.repeats, 1)
    for r in range(args.repeats):
        t_b.append(seconds(lambda: batched.query_knn(q, KNN)))
        t_p.append(seconds(lambda: per_query.query_knn(q, KNN)))
        t_l.append(seconds(lambda: large.query_knn(q, KNN)))
        if tree is not None:
            q_tree = q[r * tree_round : (r + 1) * tree_round]
            t0 = time.perf_counter()
            exact.append(tree.query(q_tree, k=KNN, p=1, workers=-1)[1])
            t_tree.append(time.perf_counter() - t0)
    s_b, s_p = batched.stats(), per_query.stats()
    idx_b, _ = batched.query_knn(q, KNN)
    idx_p, _ = per_query.query_knn(q, KNN)
    idx_l, _ = large.query_knn(q, KNN)
    qps_b, qps_p = args.m / statistics.median(t_b), args.m / statistics.median(t_p)
    ratios = [p / b for p, b in zip(t_p, t_b, strict=True)]
    speedup = statistics.median(ratios)

    print(
        f"scenario: n={N:,} ({N_STATIC:,} static), d={D}, b={B}, K={K}, L={L}, probes={PROBES}, m={args.m:,}, k={KNN}"
    )
    print(f"machine: {machine()}")
    print(f"batched (block=1024) {qps_b:10,.0f} queries/s   median of {args.repeats} runs")
    print(f"per-query (block=1)  {qps_p:10,.0f} queries/s")
    gain = statistics.median(b / l for b, l in zip(t_b, t_l, strict=True))
    print(
        f"batched (block={args.large_block}) {args.m / statistics.median(t_l):,.0f} queries/s, {gain:.2f}x block=1024 "
        f"(median of the rounds' ratios); rows equal to block=1024: {(idx_l == idx_b).all()}"
    )
    print(
        f"batched / per-query  {speedup:10.2f}x        median of the rounds' ratios"
        f" ({min(ratios):.2f} to {max(ratios):.2f})"
    )
    if tree is None:
        print("cKDTree              unavailable (pip install scipy)")
    else:
        n_tree = tree_round * args.repeats
        exact = np.concatenate(exact)
        qps_tree = tree_round / statistics.median(t_tree)
        print(
            f"cKDTree (exact)      {qps_tree:10,.1f} queries/s on {n_tree} queries"
            f"   batched is {qps_b / qps_tree:,.0f}x, per-query {qps_p / qps_tree:,.0f}x"
        )
        print(
            f"recall@{KNN}            batched {recall(idx_b[:n_tree], exact):.4f}"
            f"   per-query {recall(idx_p[:n_tree], exact):.4f}   (vs exact, same {n_tree} queries)"
        )
    print(f"rows with the same ids on both paths: {(idx_b == idx_p).all(axis=1).mean():.2%}")
    for name, s in (("batched", s_b), ("per-query", s_p)):
        print(
            f"{name:<10} {s['pairs'] / (s['refine_ns'] / 1e9):13,.0f} distance evals/s per core"
            f" (pairs / refine_ns), {s['pairs'] / s['queries']:,.0f} pairs/query,"
            f" relaxed {s['relaxed'] / s['queries']:.2%}"
        )
        print(
            f"{'':<10} worker time/query: gather {s['gather_ns'] / s['queries'] / 1e3:6.1f} us,"
            f" refine {s['refine_ns'] / s['queries'] / 1e3:6.1f} us,"
            f" relax {s['relax_ns'] / s['queries'] / 1e3:6.1f} us"
        )


if __name__ == "__main__":
    main()
