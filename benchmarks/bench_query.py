"""k-nearest query throughput of the native index on the shared scenario,
against the NumPy reference and an exact periodic k-d tree, with the recall
of the native rows; medians of several runs in one process.

Then the same index's candidates measured in the Euclidean metric, and in
both metrics with one period per axis (the engine's _query_knn_metric, as
PlovikSearch asks for them with metric="euclidean" or unequal sides),
timed turn about with its own L1 rows in the same run and reported as
ratios of their time."""

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
    median_seconds,
    params,
    points,
    queries,
    recall,
)

from plovik import RustLshIndex, _native
from plovik.lsh import PythonLshIndex


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--m", type=int, default=10_000, help="native queries per run")
    ap.add_argument("--repeats", type=int, default=5, help="rounds of native and reference runs")
    ap.add_argument("--reference-m", type=int, default=250, help="reference queries over all rounds")
    ap.add_argument("--tree-m", type=int, default=300)
    ap.add_argument("--metric-m", type=int, default=4000, help="queries of each metric per run")
    args = ap.parse_args()

    pts, q = points(), queries(args.m)
    # block = 1 keeps every batch on the per-query path.
    native = RustLshIndex(**params(block=1))
    native.build(pts, N_STATIC)
    reference = PythonLshIndex(**params(block=1))
    reference.build(pts, N_STATIC)
    native.query_knn(q[:100], KNN)  # warm the pool and the caches
    native.reset_stats()

    tree = exact_tree(pts)

    # The contenders take turns, so that all see the same load when the
    # machine is shared; the reference and the tree answer a different slice
    # of their subsample in each round.
    t_native, t_ref, t_tree, exact = [], [], [], []
    ref_round = max(args.reference_m // args.repeats, 1)
    tree_round = max(args.tree_m // args.repeats, 1)
    for r in range(args.repeats):
        t_native.append(median_seconds(lambda: native.query_knn(q, KNN), 1))
        q_ref = q[r * ref_round : (r + 1) * ref_round]
        t_ref.append(median_seconds(lambda q_ref=q_ref: reference.query_knn(q_ref, KNN), 1))
        if tree is not None:
            q_tree = q[r * tree_round : (r + 1) * tree_round]
            t0 = time.perf_counter()
            exact.append(tree.query(q_tree, k=KNN, p=1, workers=-1)[1])
            t_tree.append(time.perf_counter() - t0)
    stats = native.stats()
    idx, _ = native.query_knn(q, KNN)
    n_ref = ref_round * args.repeats
    assert (reference.query_knn(q[:n_ref], KNN)[0] == idx[:n_ref]).all(), "rows differ from the reference"
    qps_native = args.m / statistics.median(t_native)
    qps_ref = ref_round / statistics.median(t_ref)

    print(
        f"scenario: n={N:,} ({N_STATIC:,} static), d={D}, b={B}, K={K}, L={L}, probes={PROBES}, "
        f"m={args.m:,}, k={KNN}, per-query path"
    )
    print(f"machine: {machine()}")
    print(f"native            {qps_native:12,.0f} queries/s   (median of {args.repeats} runs)")
    print(f"reference         {qps_ref:12,.0f} queries/s on {n_ref} queries   native is {qps_native / qps_ref:8,.1f}x")
    if tree is None:
        print("cKDTree           unavailable (pip install scipy)")
    else:
        n_tree = tree_round * args.repeats
        qps_tree = tree_round / statistics.median(t_tree)
        print(
            f"cKDTree (exact)   {qps_tree:12,.1f} queries/s on {n_tree} queries"
            f"   native is {qps_native / qps_tree:8,.0f}x"
        )
        print(
            f"recall@{KNN}         {recall(idx[:n_tree], np.concatenate(exact)):12.4f}"
            f"   (native rows vs exact, same {n_tree} queries)"
        )
    print(
        f"candidates/query  {stats['cands'] / stats['queries']:12,.0f}"
        f"   relaxed {stats['relaxed'] / max(stats['queries'], 1):.2%} of queries"
    )
    print(
        f"distance evals    {stats['pairs'] / (stats['refine_ns'] / 1e9):12,.0f} per second per core"
        f"   (pairs / refine_ns)"
    )
    print(
        f"worker time/query gather {stats['gather_ns'] / stats['queries'] / 1e3:7.1f} us,"
        f" refine {stats['refine_ns'] / stats['queries'] / 1e3:7.1f} us,"
        f" relax {stats['relax_ns'] / stats['queries'] / 1e3:7.1f} us"
    )

    metric_ratios(native, q[: args.metric_m], args.repeats)


def metric_ratios(native, q, repeats):
    """Medians of the k-nearest times of the index's candidates in each
    metric against its own L1 rows (the per-query path: the same candidates),
    every call in each round."""
    sides = np.array([1.0 + 0.5 * (c % 3) for c in range(D)])  # sides 1, 1.5, 2, ...
    weights = sides / sides.max()
    calls = {
        "l1 (query_knn)": lambda: native.query_knn(q, KNN),
        "euclidean": lambda: _native._query_knn_metric(native, q, KNN, "euclidean"),
        "l1, sides": lambda: _native._query_knn_metric(native, q, KNN, "l1", weights),
        "euclidean, sides": lambda: _native._query_knn_metric(native, q, KNN, "euclidean", weights),
    }
    ids = {name: call()[0] for name, call in calls.items()}  # warm, and the rows compared below
    times = {name: [] for name in calls}
    for _ in range(repeats):
        for name, call in calls.items():
            times[name].append(median_seconds(call, 1))
    base = statistics.median(times["l1 (query_knn)"])
    print(f"metrics           {len(q):,} queries, the same candidates; time and ratio to the L1 rows:")
    for name, t in times.items():
        same = (ids[name] == ids["l1 (query_knn)"]).mean()
        print(
            f"  {name:16s} {statistics.median(t):8.3f} s  {statistics.median(t) / base:5.2f}x"
            f"   ({same:.1%} of the ids in the L1 rows' places)"
        )


if __name__ == "__main__":
    main()
