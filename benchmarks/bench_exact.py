"""The native exact scan (plovik._native.exact_knn) on the shared scenario:
distance evaluations per second per core, against SciPy's exact periodic
k-d tree and the index on the same queries; medians of several runs in one
process.

Per core means per second of processor time of the whole process (every
worker thread counted), so the figure does not depend on how many cores the
machine has or how busy it is; the wall-clock rate is printed beside it.
The setup (the points wrapped and copied into tiles, once per call) is
measured on its own with a single query and reported apart.

The metrics: the Euclidean scan (toroidal L2), and both metrics with one
period per axis, on the same prepared points and queries as the L1 scan,
timed turn about in the same run and reported as ratios of its time."""

import argparse
import statistics
import time

from common import KNN, N_STATIC, D, N, exact_tree, machine, params, points, queries, recall

from plovik import ExactScan, RustLshIndex
from plovik._native import exact_knn


def timed(fn, repeats):
    """Medians of (wall seconds, process seconds) of fn(), and its last result."""
    walls, cpus = [], []
    for _ in range(repeats):
        w, c = time.perf_counter(), time.process_time()
        out = fn()
        cpus.append(time.process_time() - c)
        walls.append(time.perf_counter() - w)
    return statistics.median(walls), statistics.median(cpus), out


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--m", type=int, default=2000, help="queries of the exact scan per run")
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--tree-m", type=int, default=100, help="queries of the k-d tree")
    args = ap.parse_args()

    pts, q = points(), queries(args.m)
    print(f"exact scan, n = {N:,}, d = {D}, k = {KNN}, m = {args.m:,}; {machine()}")

    setup_wall, setup_cpu, _ = timed(lambda: exact_knn(pts, q[:1], KNN), args.repeats)
    wall, cpu, (idx, _) = timed(lambda: exact_knn(pts, q, KNN), args.repeats)
    evals = N * args.m
    scan_cpu = max(cpu - setup_cpu, 1e-9)
    print(f"  setup (tiles):        {setup_wall * 1e3:7.1f} ms wall, {setup_cpu * 1e3:7.1f} ms processor")
    print(f"  exact_knn:            {wall:7.3f} s wall, {cpu:7.3f} s processor, {args.m / wall:9.0f} queries/s")
    print(
        f"  distances per second: {evals / wall / 1e9:6.3f} G wall, "
        f"{evals / cpu / 1e9:6.3f} G per core, {evals / scan_cpu / 1e9:6.3f} G per core without the setup"
    )

    tree = exact_tree(pts)
    if tree is None:
        print("  cKDTree: SciPy not installed")
    else:
        tq = q[: args.tree_m]
        t_wall, _, (_, t_idx) = timed(lambda: tree.query(tq, k=KNN, p=1, workers=-1), 1)
        agree = recall(idx[: args.tree_m], t_idx)
        print(
            f"  cKDTree(boxsize=1):   {args.tree_m / t_wall:9.0f} queries/s (exact, float64; "
            f"{agree:.4f} of its ids also in the scan's rows)"
        )

    metric_ratios(pts, q, args.repeats)

    ix = RustLshIndex(**params())
    ix.build(pts, N_STATIC)
    ix.query_knn(q[:100], KNN)
    i_wall, _, (i_idx, _) = timed(lambda: ix.query_knn(q, KNN), args.repeats)
    print(f"  RustLshIndex:         {args.m / i_wall:9.0f} queries/s, recall {recall(i_idx, idx):.4f} against the scan")


def metric_ratios(pts, q, repeats):
    """k-nearest and radius times of the Euclidean scan and of unequal sides
    against the cubic L1 scan on the same points, prepared once each."""
    sides = tuple(1.0 + 0.5 * (c % 3) for c in range(D))  # sides 1, 1.5, 2, ...
    scans = {
        "l1": ExactScan(pts),
        "euclidean": ExactScan(pts, metric="euclidean"),
        "l1, sides": ExactScan(pts * sides, boxsize=sides),
        "euclidean, sides": ExactScan(pts * sides, metric="euclidean", boxsize=sides),
    }
    queries = {name: q if "sides" not in name else q * sides for name in scans}
    # each metric's own radius: the mean distance of its KNN-th neighbour, so
    # that every scan finds about KNN neighbours per query
    radius = {name: float(scan.knn(queries[name][:200], KNN)[1][:, -1].mean()) for name, scan in scans.items()}
    times = {name: [0.0, 0.0] for name in scans}
    for _ in range(repeats):  # turn about: every scan in each round
        for name, scan in scans.items():
            times[name][0] += timed(lambda s=scan, n=name: s.knn(queries[n], KNN), 1)[0]
            times[name][1] += timed(lambda s=scan, n=name: s.radius(queries[n], radius[n]), 1)[0]
    base = times["l1"]
    print(f"  metrics (k-nearest and radius time, ratio to the cubic L1 scan; sides {sides[:3]}...):")
    for name, (knn_t, rad_t) in times.items():
        print(
            f"    {name:18s} knn {knn_t / repeats:7.3f} s ({knn_t / base[0]:5.2f}x), "
            f"radius {rad_t / repeats:7.3f} s ({rad_t / base[1]:5.2f}x)"
        )


if __name__ == "__main__":
    main()
