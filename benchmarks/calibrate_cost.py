"""Calibrate the constants of the tuning's cost model (`plovik.tuning.CostModel`).

Times the native index on one thread over a grid of settings and data shapes
and fits, by least squares, nanoseconds per query as

    per_table * L * K + per_probe * L * P + per_coordinate * entries * d
    + per_candidate * distinct + per_query

where `entries` are the bucket entries a query gathers (duplicates across
tables counted) and `distinct` the distinct candidates, both counted exactly
from the tables. The constants are measured once and written into
`plovik.tuning.COST`, so that the tuning itself never reads a clock. Run with
RAYON_NUM_THREADS=1 on a quiet machine: python benchmarks/calibrate_cost.py

`python benchmarks/calibrate_cost.py grid` fits the grid's terms instead:

    grid_query + grid_cell * cells + grid_coordinate * points * d
    + grid_neighbour * k * log2(k + 1)

with the cells and points a k-nearest query reads as the model reckons them
(`plovik.tuning.grid_reads`, at the occupancy `plovik.grid.occupancy_near`
counts around the queries), against `ExactGrid.knn` in d = 1 to 4, uniform
and clustered, at three sizes and three k. The exact scan of the same
points is timed in the same run: the fit is scaled by the model's scan cost
over the scan's measured time (their median ratio), so that the grid is
priced in the units of the scan and the hash settings whatever the load
of the machine it runs on.
"""

from __future__ import annotations

import os
import sys
import time

import numpy as np

os.environ.setdefault("RAYON_NUM_THREADS", "1")

from plovik import ExactScan, RustLshIndex, datasets
from plovik.grid import ExactGrid, grid_cells, occupancy_near
from plovik.lsh import PythonLshIndex
from plovik.threads import thread_limit
from plovik.tuning import COST, draw_weighted_parameters, grid_reads


def gathered(b, k, L, P, s, u, X, Q):
    """Entries gathered and distinct candidates per query, counted from the keys."""
    ref = PythonLshIndex(b, k, L, P, s, u)
    keys, ids = ref._sort_tier(ref._compute_keys(X), 0)
    pk = ref._probe_keys(Q)
    entries = distinct = 0
    for i in range(Q.shape[0]):
        got = []
        for t in range(L):
            for key in set(pk[i, t].tolist()):
                lo, hi = np.searchsorted(keys[t], [key, key + 1])
                got.append(ids[t, lo:hi])
        allids = np.concatenate(got)
        entries += allids.size
        distinct += np.unique(allids).size
    return entries / Q.shape[0], distinct / Q.shape[0]


def shapes(rng, n, d):
    yield "uniform", rng.random((n, d))
    centres = rng.random((50, d))
    yield "clustered", (centres[rng.integers(0, 50, n)] + rng.normal(0, 0.03, (n, d))) % 1.0


def relative_fit(rows, times):
    """Least squares of `times` on the terms of `rows`, relative errors
    weighted alike (each setting by 1 / its time): the coefficients, the
    fitted times and the measured ones as arrays."""
    A, y = np.array(rows), np.array(times)
    coef, *_ = np.linalg.lstsq(A / y[:, None], np.ones_like(y), rcond=None)
    return coef, A @ coef, y


def main() -> None:
    rng = np.random.default_rng(7)
    rows, times = [], []
    for d in (8, 16, 32):
        for name, X in shapes(rng, 100_000, d):
            Q = (X[rng.integers(0, len(X), 2000)] + rng.normal(0, 0.01, (2000, d))) % 1.0
            for b, k in ((3, 7), (3, 9), (2, 12), (4, 6), (6, 4)):
                for L, P in ((4, 0), (8, 2), (16, 4), (32, 7), (48, 3)):
                    P = min(P, k)
                    s, u = draw_weighted_parameters(np.random.default_rng(1), np.full(d, 1.0 / d), L, k)
                    idx = RustLshIndex(b=b, k=k, l=L, probes=P, s=s, u=u)
                    idx.build(X, len(X))
                    best = np.inf
                    for _ in range(3):
                        t0 = time.perf_counter()
                        idx.query_knn(Q, 10)
                        best = min(best, time.perf_counter() - t0)
                    e, dd = gathered(b, k, L, P, s, u, X, Q[:200])
                    rows.append([L * k, L * P, e * d, dd, 1.0])
                    times.append(best / len(Q) * 1e9)
                    print(
                        f"d={d} {name:9} b={b} K={k} L={L:2} P={P}: {times[-1]:8.0f} ns, "
                        f"entries {e:7.0f}, distinct {dd:7.0f}",
                        flush=True,
                    )
    coef, fit, y = relative_fit(rows, times)
    names = ("per_table", "per_probe", "per_coordinate", "per_candidate", "per_query")
    print(", ".join(f"{n}={c:.3g}" for n, c in zip(names, coef, strict=True)))
    print(f"median |error| {np.median(np.abs(fit / y - 1)):.1%}, max {np.max(np.abs(fit / y - 1)):.1%}")


def timed(call, queries: int, *args) -> float:
    """Nanoseconds per query of call(*args), the best of five (the machine may be loaded)."""
    best = np.inf
    for _ in range(5):
        t0 = time.perf_counter()
        call(*args)
        best = min(best, time.perf_counter() - t0)
    return best / queries * 1e9


def grid_main() -> None:
    rng = np.random.default_rng(8)
    rows, times, scan_ratio = [], [], []
    with thread_limit(1):
        for d in (1, 2, 3, 4):
            for n in (3_000, 30_000, 300_000):
                for name in ("uniform", "clustered"):
                    X = (
                        rng.random((n, d))
                        if name == "uniform"
                        else datasets.clustered(rng, n, d, clusters=20, sigma=0.03)
                    )
                    own = rng.choice(n, 2000, replace=False)
                    Q = X[own]
                    grid = ExactGrid(X)
                    scan = ExactScan(X)
                    m = max(20, min(2000, int(2e8 / (n * d))))  # the scan of fewer queries at large n
                    ns_scan = timed(scan.knn, m, Q[:m], 10, own[:m])
                    scan_ratio.append(COST.exact(n, d) / ns_scan)
                    for k in (1, 10, 40):
                        cells = grid_cells(n, d, k=k)
                        grid.knn(Q[:10], k, own[:10])  # the grid of these cells made before timing
                        ns = timed(grid.knn, len(Q), Q, k, own)
                        occupancy = occupancy_near(X, Q, cells, n, own=len(Q))
                        read, points = grid_reads(d, k, cells, occupancy)
                        rows.append([1.0, read, points * d, k * np.log2(k + 1)])
                        times.append(ns)
                        print(
                            f"d={d} n={n:7} {name:9} k={k:2} cells={cells:4}: {ns:7.0f} ns "
                            f"(scan {ns_scan:8.0f}), occupancy {occupancy:6.1f}, cells read {read:6.1f}",
                            flush=True,
                        )
    coef, fit, y = relative_fit(rows, times)
    scale = float(np.median(scan_ratio))
    print(f"model scan / measured scan: median {scale:.2f} (from {min(scan_ratio):.2f} to {max(scan_ratio):.2f})")
    names = ("grid_query", "grid_cell", "grid_coordinate", "grid_neighbour")
    print("measured: " + ", ".join(f"{n}={c:.3g}" for n, c in zip(names, coef, strict=True)))
    print("in the model's units: " + ", ".join(f"{n}={c * scale:.3g}" for n, c in zip(names, coef, strict=True)))
    print(f"median |error| {np.median(np.abs(fit / y - 1)):.1%}, max {np.max(np.abs(fit / y - 1)):.1%}")


if __name__ == "__main__":
    grid_main() if sys.argv[1:] == ["grid"] else main()
