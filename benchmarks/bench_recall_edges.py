"""Recall at the edges of a tuned search: kept, or warned about.

For each case a tuned `PlovikSearch` (default settings: target 0.95, k = 10,
monitor on, adapt on) meets the queries of that case in calls, and each
call's recall is measured against brute force: a returned id is found when
its distance is at most the true k-th distance (ties are not misses). A call
that falls short (recall below the target - 0.01) must be warned about: by
a `RecallWarning` from that call when calls hold 2,000 queries; with
smaller calls (`--small`), each 2,000 queries that fall short together must
hold a call that warns. A warning covers the later short calls while the
search keeps the settings it warned about (with adapt=True a warning
re-tunes, and the new settings answer for themselves).

The cases: exact copies (20 and 2 of each point), near copies, a lattice
with ties at every distance, growth by `promote` from a quarter of the
`capacity=` to half and full, every k up to 4x the tuned k, queries from
other clusters than the points' (no `queries=` at build), uniform queries
on clustered points, and queries drifting away from the points call by
call. The exit status is 1 when some short call went unwarned.
"""

import argparse
import sys
import time
import warnings

import numpy as np
from common import SEED, machine

from plovik import PlovikSearch, RecallWarning, exact_knn

TARGET, K, M = 0.95, 10, 2_000


def recall(X, Q, dist, k):
    """Share of the true neighbours found: returned distances at most the
    true k-th (to a single-precision ulp, as the monitor compares)."""
    _, true = exact_knn(X, Q, k)
    need = np.isfinite(true).sum(axis=1)
    last = true[np.arange(len(need)), np.maximum(need - 1, 0)]
    cut = np.nextafter(last.astype(np.float32), np.float32(np.inf)).astype(np.float64)
    found = np.minimum((dist <= cut[:, None]).sum(axis=1), need)
    return found.sum() / max(need.sum(), 1)


def clusters(rng, n, d, centres, which, sigma=0.01):
    return (centres[rng.choice(which, n)] + sigma * rng.standard_normal((n, d))) % 1.0


# Each case yields steps: ("build", X, kwargs), ("promote", X_new), or
# ("query", Q, k); the search and the points held are the runner's.


def copies(times, base_n, d):
    def case(rng):
        base = rng.random((base_n, d))
        yield "build", np.repeat(base, times, axis=0), {}
        for _ in range(2):
            yield "query", rng.random((M, d)), K  # fresh uniform queries
            yield "query", (base[rng.choice(base_n, M)] + 0.002 * rng.standard_normal((M, d))) % 1.0, K

    return case


def near_copies(jitter, base_n=5_000, times=8, d=16):
    def case(rng):
        base = np.repeat(rng.random((base_n, d)), times, axis=0)
        yield "build", (base + jitter * rng.standard_normal(base.shape)) % 1.0, {}
        for _ in range(2):
            yield "query", rng.random((M, d)), K
            yield "query", (base[rng.choice(len(base), M)] + 0.01 * rng.standard_normal((M, d))) % 1.0, K

    return case


def lattice(steps, n, d):
    def case(rng):
        yield "build", rng.integers(0, steps, (n, d)) / steps, {}
        for _ in range(2):
            yield "query", rng.integers(0, steps, (M, d)) / steps, K  # ties at every distance
            yield "query", rng.random((M, d)), K

    return case


def capacity(d, shape, full=200_000):
    def case(rng):
        centres = rng.random((100, d))
        make = (
            (lambda m: rng.random((m, d)))
            if shape == "uniform"
            else (lambda m: clusters(rng, m, d, centres, np.arange(100), 0.03))
        )
        yield "build", make(full // 4), {"capacity": full}
        for grow in (0, full // 4, full // 2):
            if grow:
                yield "promote", make(grow)
            yield "query", make(M), K

    return case


def larger_k(d, n, shape="uniform"):
    def case(rng):
        centres = rng.random((100, d))
        make = (
            (lambda m: rng.random((m, d)))
            if shape == "uniform"
            else (lambda m: clusters(rng, m, d, centres, np.arange(100), 0.03))
        )
        yield "build", make(n), {}
        for k in (10, 15, 20, 30, 40):
            yield "query", make(M), k

    return case


def other_clusters(d, n):
    def case(rng):
        centres = rng.random((400, d))
        yield "build", clusters(rng, n, d, centres, np.arange(200)), {}
        for _ in range(3):
            yield "query", clusters(rng, M, d, centres, np.arange(200, 400)), K

    return case


def uniform_on_clusters(d, n):
    def case(rng):
        centres = rng.random((200, d))
        yield "build", clusters(rng, n, d, centres, np.arange(200)), {}
        for _ in range(3):
            yield "query", rng.random((M, d)), K

    return case


def drifting(d, n, calls=6):
    """Queries around the points' cluster centres, each call twice as spread as the last."""

    def case(rng):
        centres = rng.random((100, d))
        yield "build", clusters(rng, n, d, centres, np.arange(100)), {}
        for c in range(calls):
            yield "query", clusters(rng, M, d, centres, np.arange(100), 0.01 * 2.0**c), K

    return case


def moderate(d, n):
    """Queries a little off the points' distribution: clusters of the points, spread 1.6x wider."""

    def case(rng):
        centres = rng.random((100, d))
        yield "build", clusters(rng, n, d, centres, np.arange(100), 0.02), {}
        for _ in range(4):
            yield "query", clusters(rng, M, d, centres, np.arange(100), 0.032), K

    return case


CASES = {
    "exact copies x20": copies(20, 2_000, 16),
    "exact copies x2": copies(2, 25_000, 16),
    "near copies 1e-4 x8": near_copies(1e-4),
    "near copies 1e-3 x8": near_copies(1e-3),
    "lattice 6 steps d=8": lattice(6, 60_000, 8),
    "lattice 3 steps d=16": lattice(3, 60_000, 16),
    "capacity uniform d=16": capacity(16, "uniform"),
    "capacity clustered d=16": capacity(16, "clustered"),
    "k to 4x uniform d=8": larger_k(8, 100_000),
    "k to 4x clustered d=16": larger_k(16, 100_000, "clustered"),
    "other clusters d=24": other_clusters(24, 50_000),
    "uniform on clusters d=24": uniform_on_clusters(24, 50_000),
    "drifting d=16": drifting(16, 50_000),
    "wider queries d=16": moderate(16, 50_000),
}


def run(name, case, seed, call_size):
    rng = np.random.default_rng([SEED, seed, sum(map(ord, name))])
    search, X = None, None
    rows, warned_tuning, pending, spent = [], None, [], 0
    for step in case(rng):
        if step[0] == "build":
            X = step[1]
            search = PlovikSearch(X.shape[1], seed=seed)
            search.build(X, **step[2])
            rows.append(dict(step="build", n=len(X), tuning=search.tuning))
            continue
        if step[0] == "promote":
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                search.promote(step[1])
            X = np.concatenate([X, step[1]])
            if any(issubclass(w.category, RecallWarning) for w in caught):
                warned_tuning = search.tuning
            continue
        _, Q, k = step
        for start in range(0, len(Q), call_size):
            q = Q[start : start + call_size]
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                tuning_before = search.tuning
                _, dist = search.query_knn(q, k)
            warns = [w for w in caught if issubclass(w.category, RecallWarning)]
            r = recall(X, q, dist, k)
            short = r < TARGET - 0.01
            if warns:
                warned_tuning = tuning_before
                for p in pending:  # smaller calls: warned within 2,000 queries of the first short one
                    p["covered"] = True
                pending = []
            covered = bool(warns) or (warned_tuning is not None and warned_tuning is tuning_before)
            row = dict(
                step="query",
                n=len(X),
                k=k,
                m=len(q),
                recall=r,
                short=short,
                warned=bool(warns),
                covered=covered or not short,
                exact=bool(tuning_before.exact),
                message=str(warns[0].message) if warns else "",
            )
            if short and not covered:
                pending.append(row)
            if pending:  # a short call not warned about within 2,000 queries stays uncovered
                spent += len(q)
                if spent >= M:
                    pending = []
            else:
                spent = 0
            rows.append(row)
    return rows


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--cases", nargs="+", default=list(CASES), help="names of the cases to run")
    ap.add_argument("--seeds", type=int, nargs="+", default=[1])
    ap.add_argument("--small", type=int, default=0, help="also run every case in calls of this many queries")
    ap.add_argument("--verbose", action="store_true", help="print the warnings' texts")
    args = ap.parse_args()
    print(f"recall at the edges, target {TARGET}, calls of {M:,} queries; {machine()}")
    print("| case | seed | call size | tuning | recall per call (w: warned, !: short and not warned) | verdict |")
    print("|---|---:|---:|---|---|---|")
    failed = 0
    sizes = [M] + ([args.small] if args.small else [])
    for name in args.cases:
        for seed in args.seeds:
            for size in sizes:
                t = time.perf_counter()
                rows = run(name, CASES[name], seed, size)
                tuning = rows[0]["tuning"]
                chosen = (
                    "exact"
                    if tuning.exact
                    else (
                        f"b={tuning.cells} K={tuning.components} L={tuning.tables} P={tuning.probes} "
                        f"({tuning.recall:.3f})"
                    )
                )
                calls = [r for r in rows if r["step"] == "query"]
                if size < M:  # smaller calls: judged by each 2,000 queries together
                    windows = [calls[i : i + M // size] for i in range(0, len(calls), M // size)]
                    bad = [
                        w
                        for w in windows
                        if sum(c["recall"] * c["m"] for c in w) / sum(c["m"] for c in w) < TARGET - 0.01
                        and not any(c["warned"] for c in w)
                        and not all(c["covered"] for c in w)
                    ]
                else:
                    bad = [c for c in calls if not c["covered"]]
                if size < M:  # each 2,000 queries together
                    text = " ".join(
                        f"{np.mean([c['recall'] for c in calls[i : i + M // size]]):.3f}"
                        f"{'w' if any(c['warned'] for c in calls[i : i + M // size]) else ''}"
                        f"{'!' if calls[i : i + M // size] in bad else ''}"
                        for i in range(0, len(calls), M // size)
                    )
                else:
                    text = " ".join(
                        f"{c['recall']:.3f}{'' if c['k'] == K else '@' + str(c['k'])}"
                        f"{'w' if c['warned'] else ''}{'' if c['covered'] else '!'}"
                        for c in calls
                    )
                failed += bool(bad)
                print(
                    f"| {name} | {seed} | {size} | {chosen} | {text} | {'MISSED' if bad else 'ok'} "
                    f"({time.perf_counter() - t:.0f} s) |",
                    flush=True,
                )
                if args.verbose:
                    for c in calls:
                        if c["message"]:
                            print(f"    {c['message']}")
    print(f"\n{failed} case runs with a short call not warned about")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
