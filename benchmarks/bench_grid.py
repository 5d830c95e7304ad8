"""Exact neighbour lists of a periodic liquid through the grid, against
SciPy's periodic k-d tree in the same run.

The points are `plovik.datasets.periodic_liquid` (a jittered cubic lattice in
the unit box, d = 3); the L1 radius is the one whose ball holds `--neighbours`
particles on average. Three lists, every time including the build of its
structure (the grid, the tree) and the median of several runs:

- full list: every particle's neighbours within the radius, itself left out
  (`ExactGrid.radius` / `cKDTree.query_ball_point(p=1, workers=-1)`);
- half list: each pair once (`ExactGrid.pairs` / `cKDTree.query_pairs(p=1)`);
- k-NN of every particle, itself left out (`ExactGrid.knn(k)` /
  `cKDTree.query(k + 1, p=1, workers=-1)`).

Both sides are exact (the grid in single precision, the tree in double: the
counts are printed to show they agree but for pairs at the very cutoff).
Ratios are tree time / grid time; per 10^6 neighbour pairs too. The grid
runs on the pool's threads (`plovik.thread_count()`), the tree with
workers=-1 (query_pairs has no workers: one thread)."""

import argparse
import statistics
import time

import numpy as np

from plovik import thread_count
from plovik.datasets import periodic_liquid
from plovik.grid import ExactGrid


def median_time(fn, repeats):
    times, out = [], None
    for _ in range(repeats):
        t = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times), out


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--n", type=int, default=132_000)
    ap.add_argument("--neighbours", type=float, default=19.0, help="particles within the radius on average")
    ap.add_argument("--k", type=int, default=12)
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--seed", type=int, default=20261207)
    args = ap.parse_args()

    n, k = args.n, args.k
    P = periodic_liquid(np.random.default_rng(args.seed), n, 3)
    r = 0.5 * (args.neighbours * 6 / n) ** (1 / 3)  # the L1 ball holds (2r)^3 / 6 of the box
    own = np.arange(n)
    print(
        f"periodic liquid, n = {n:,}, d = 3, L1 radius {r:.5f} (~{args.neighbours:g} neighbours), k = {k}; "
        f"grid on {thread_count()} threads, median of {args.repeats}"
    )

    full_t, (indptr, _, _) = median_time(lambda: ExactGrid(P).radius(P, r, own), args.repeats)
    half_t, (i, _, _) = median_time(lambda: ExactGrid(P).pairs(r), args.repeats)
    knn_t, _ = median_time(lambda: ExactGrid(P).knn(P, k, own), args.repeats)
    full_pairs, half_pairs = int(indptr[-1]), int(i.size)
    rows = [("full list", full_t, full_pairs), ("half list", half_t, half_pairs), (f"k-NN (k = {k})", knn_t, n * k)]

    try:
        from scipy.spatial import cKDTree
    except ImportError:
        cKDTree = None
    base = {}
    if cKDTree is not None:
        base["full list"] = median_time(lambda: cKDTree(P, boxsize=1.0).query_ball_point(P, r, p=1, workers=-1), 1)
        base["half list"] = median_time(lambda: cKDTree(P, boxsize=1.0).query_pairs(r, p=1, output_type="ndarray"), 1)
        base[f"k-NN (k = {k})"] = median_time(lambda: cKDTree(P, boxsize=1.0).query(P, k + 1, p=1, workers=-1), 1)

    print(f"{'':16} {'grid s':>8} {'pairs':>11} {'s per 1e6':>10}   {'cKDTree s':>9} {'pairs':>11} {'ratio':>6}")
    for name, t, p in rows:
        line = f"{name:16} {t:8.3f} {p:11,} {t / p * 1e6:10.4f}"
        if name in base:
            bt, out = base[name]
            bp = (
                sum(map(len, out)) - n
                if name == "full list"
                else len(out)
                if name == "half list"
                else out[1].shape[0] * k
            )
            line += f"   {bt:9.3f} {bp:11,} {bt / t:6.2f}"
        print(line)
    if cKDTree is None:
        print("(SciPy is not installed: no baseline)")


if __name__ == "__main__":
    main()
