"""The scenario every benchmark shares: n = 1,000,000 uniform points in
[0, 1)^16 (800,000 static, 200,000 candidates), b = 4, K = 7, L = 32,
probes = 4, fixed seed."""

import os
import platform
import statistics
import time

import numpy as np

N, N_STATIC, D = 1_000_000, 800_000, 16
B, K, L, PROBES = 4, 7, 32, 4
SEED = 20261206


def params(seed=SEED, d=D, b=B, k=K, l=L, probes=PROBES, block=1024):
    """Hash parameters: each table hashes k distinct coordinates."""
    rng = np.random.default_rng(seed)
    s = np.stack([rng.choice(d, size=k, replace=k > d) for _ in range(l)]).astype(np.int64)
    u = rng.random((l, k))
    return dict(b=b, k=k, l=l, probes=probes, s=s, u=u, block=block)


def points(n=N, d=D, seed=SEED + 1):
    return np.random.default_rng(seed).random((n, d))


KNN = 10  # neighbours per query in the query benchmarks


def queries(m, seed=SEED + 2):
    """m uniform query points, the same in every benchmark."""
    return np.random.default_rng(seed).random((m, D))


def recall(rows, exact):
    """Share of the exact neighbours found, over all rows."""
    hits = sum(len(set(a.tolist()) & set(b.tolist())) for a, b in zip(rows, exact, strict=True))
    return hits / exact.size


def median_seconds(fn, repeats, between=None):
    """Median wall time of fn(); between(), if given, runs untimed after each call."""
    times = []
    for _ in range(repeats):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
        if between is not None:
            between()
    return statistics.median(times)


def machine():
    return f"{platform.processor() or platform.machine()}, {os.cpu_count()} CPUs, Python {platform.python_version()}"


def exact_tree(pts):
    """SciPy's exact periodic k-d tree over `pts`, or None without SciPy."""
    try:
        from scipy.spatial import cKDTree
    except ImportError:
        return None
    return cKDTree(pts, boxsize=1.0)
