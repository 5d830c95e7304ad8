"""k-nearest query throughput of the native index on the shared scenario,
against the NumPy reference and an exact periodic k-d tree, with the recall
of the native rows; medians of several runs in one process."""

import argparse
import time

import numpy as np
from common import B, K, L, N, N_STATIC, PROBES, D, SEED, machine, median_seconds, params, points

from plovik import RustLshIndex
from plovik.lsh import PythonLshIndex

KNN = 10


def queries(m, seed=SEED + 2):
    return np.random.default_rng(seed).random((m, D))


def recall(rows, exact):
    hits = sum(len(set(a.tolist()) & set(b.tolist())) for a, b in zip(rows, exact))
    return hits / exact.size


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--m", type=int, default=10_000, help="native queries per run")
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--reference-m", type=int, default=200)
    ap.add_argument("--tree-m", type=int, default=300)
    args = ap.parse_args()

    pts, q = points(), queries(args.m)
    # block = 1 keeps every batch on the per-query path.
    native = RustLshIndex(**params(block=1))
    native.build(pts, N_STATIC)
    native.query_knn(q[:100], KNN)  # warm the pool and the caches
    native.reset_stats()
    runs = 0

    def run_native():
        nonlocal runs
        runs += 1
        return native.query_knn(q, KNN)

    t_native = median_seconds(run_native, args.repeats)
    stats = native.stats()
    idx, _ = native.query_knn(q, KNN)
    qps_native = args.m / t_native

    reference = PythonLshIndex(**params(block=1))
    reference.build(pts, N_STATIC)
    q_ref = q[: args.reference_m]
    ref_idx, _ = reference.query_knn(q_ref, KNN)
    assert (ref_idx == idx[: args.reference_m]).all(), "native rows differ from the reference"
    t_ref = median_seconds(lambda: reference.query_knn(q_ref, KNN), 1)
    qps_ref = args.reference_m / t_ref

    line_tree = "cKDTree           unavailable (pip install scipy)"
    try:
        from scipy.spatial import cKDTree
    except ImportError:
        cKDTree = None
    if cKDTree is not None:
        tree = cKDTree(pts, boxsize=1.0)
        q_tree = q[: args.tree_m]
        t0 = time.perf_counter()
        _, exact = tree.query(q_tree, k=KNN, p=1, workers=-1)
        t_tree = time.perf_counter() - t0
        qps_tree = args.tree_m / t_tree
        line_tree = (f"cKDTree (exact)   {qps_tree:12,.0f} queries/s on {args.tree_m} queries"
                     f"   native is {qps_native / qps_tree:8,.0f}x\n"
                     f"recall@{KNN}         {recall(idx[: args.tree_m], exact):12.4f}"
                     f"   (native rows vs exact, same {args.tree_m} queries)")

    print(f"scenario: n={N:,} ({N_STATIC:,} static), d={D}, b={B}, K={K}, L={L}, probes={PROBES}, "
          f"m={args.m:,}, k={KNN}, per-query path")
    print(f"machine: {machine()}")
    print(f"native            {qps_native:12,.0f} queries/s   (median of {args.repeats})")
    print(f"reference         {qps_ref:12,.0f} queries/s on {args.reference_m} queries"
          f"   native is {qps_native / qps_ref:8,.1f}x")
    print(line_tree)
    print(f"candidates/query  {stats['cands'] / stats['queries']:12,.0f}"
          f"   relaxed {stats['relaxed'] / max(stats['queries'], 1):.2%} of queries")
    print(f"distance evals    {stats['pairs'] / (stats['refine_ns'] / 1e9):12,.0f} per second per core"
          f"   (pairs / refine_ns)")
    print(f"worker time/query gather {stats['gather_ns'] / stats['queries'] / 1e3:7.1f} us,"
          f" refine {stats['refine_ns'] / stats['queries'] / 1e3:7.1f} us,"
          f" relax {stats['relax_ns'] / stats['queries'] / 1e3:7.1f} us")


if __name__ == "__main__":
    main()
