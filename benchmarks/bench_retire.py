"""Retiring points on the shared scenario: what retiring 10% of the million
points costs against a build, and how fast queries run afterwards against an
index that never held those points.

Cost: each retirement (the raw index's and PlovikSearch's, which checks the
ids first) is paired with a fresh build before it; medians of the times and
of the ratios, in wall time and in CPU time of all worker threads.
Retiring drops the retired points' entries from the tables, so its cost is
one pass over the ids of each tier that loses a point; a retirement of one
more id afterwards is timed too. Queries: the index with 10% retired, an index built from the
other 90% alone (the same hash, the same points in the same tiers) and the
same million points with none retired answer the same 2,000 queries
(k = 10) in turns, many short rounds, on the batched and on the per-query
path (`block=1`); the median of the rounds' ratios is the speed kept, in
wall time and in CPU time of all worker threads (steadier on a shared
machine). The rows of the first two are compared too (ids of the second
mapped back).
"""

import argparse
import statistics
import time

import numpy as np
from common import KNN, N_STATIC, PROBES, SEED, B, D, K, L, N, machine, params, points, queries

from plovik import PlovikSearch, RustLshIndex, thread_limit

SHARE = 0.10  # of the points retired, drawn uniformly from both tiers


def timed_both(fn):
    """Wall time and CPU time of the process (every worker thread) of fn()."""
    t, c = time.perf_counter(), time.process_time()
    fn()
    return time.perf_counter() - t, time.process_time() - c


def retire_cost(pts, retired, repeats):
    """Medians of build, retire and their ratio (wall, CPU), for the raw index
    and PlovikSearch, and of retiring one more id after them."""
    ix = RustLshIndex(**params())
    search = PlovikSearch(D, cells=B, components=K, tables=L, probes=PROBES, seed=SEED)
    one = np.setdiff1d(np.arange(N), retired)[:1]
    out = {}
    for name, build, retire, again in (
        ("RustLshIndex.retire", lambda: ix.build(pts, N_STATIC), lambda: ix.retire(retired), lambda: ix.retire(one)),
        (
            "PlovikSearch.retire",
            lambda: search.build(pts, N_STATIC),
            lambda: search.retire(retired),
            lambda: search.retire(one),
        ),
    ):
        builds, ops, ones = [], [], []
        for _ in range(repeats):
            builds.append(timed_both(build))
            ops.append(timed_both(retire))
            ones.append(timed_both(again)[0])
        out[name] = (
            statistics.median(b for b, _ in builds),
            statistics.median(o for o, _ in ops),
            tuple(statistics.median(o[i] / b[i] for o, b in zip(ops, builds, strict=True)) for i in (0, 1)),
            statistics.median(ones),
        )
    return out


def query_speed(pts, retired, Q, rounds, block):
    """Queries/s of the index with points retired and of one that never held
    them, the median ratio of paired rounds, and the share of equal rows."""
    live = np.setdiff1d(np.arange(N), retired)
    with_retired = RustLshIndex(**params(block=block))
    with_retired.build(pts, N_STATIC)
    with_retired.retire(retired)
    without = RustLshIndex(**params(block=block))
    without.build(pts[live], int((live < N_STATIC).sum()))
    holding = RustLshIndex(**params(block=block))  # the same points, none retired
    holding.build(pts, N_STATIC)
    step = len(Q) if block != 1 else 63  # the per-query path answers calls of fewer than 64 queries
    runs = {"retired": with_retired, "never held": without, "none retired": holding}

    def answer(ix):
        return [ix.query_knn(Q[i : i + step], KNN) for i in range(0, len(Q), step)]

    for ix in runs.values():
        answer(ix)  # warm up
    times = {name: [] for name in runs}
    order = list(runs)
    for _ in range(rounds):
        for name in order:
            times[name].append(timed_both(lambda name=name: answer(runs[name])))
        order = order[1:] + order[:1]

    def kept(base):
        return tuple(
            statistics.median(b[i] / a[i] for a, b in zip(times["retired"], times[base], strict=True)) for i in (0, 1)
        )

    ratio = {base: kept(base) for base in ("never held", "none retired")}
    rows_a = np.concatenate([idx for idx, _ in answer(with_retired)])
    rows_b = np.concatenate([idx for idx, _ in answer(without)])
    rows_b = np.where(rows_b >= 0, live[np.maximum(rows_b, 0)], -1)
    assert not np.isin(rows_a, retired).any()
    same = float((rows_a == rows_b).all(axis=1).mean())
    qps = {name: len(Q) / statistics.median(w for w, _ in t) for name, t in times.items()}
    return qps, ratio, same


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--rounds", type=int, default=21)
    ap.add_argument("--queries", type=int, default=2_000)
    ap.add_argument(
        "--threads",
        type=int,
        default=None,
        help="worker threads of the queries (default: the whole pool); 1 is steadiest on a shared machine",
    )
    a = ap.parse_args()
    pts = points()
    retired = np.random.default_rng(SEED + 7).choice(N, int(SHARE * N), replace=False)
    Q = queries(a.queries)
    print(
        f"scenario: n={N:,} ({N_STATIC:,} static), d={D}, b={B}, K={K}, L={L}, probes={PROBES}; "
        f"{len(retired):,} retired ({SHARE:.0%})"
    )
    print(f"machine: {machine()}")
    for name, (build, op, ratio, one) in retire_cost(pts, retired, a.repeats).items():
        print(
            f"{name:22s} {op * 1e3:8.2f} ms   build {build:.3f} s   ratio {ratio[0]:.4f} wall, {ratio[1]:.4f} CPU "
            f"(target < 0.1); one more id {one * 1e3:.2f} ms"
        )
    print(f"queries: {len(Q):,}, k = {KNN}, worker threads: {a.threads or 'the whole pool'}")
    for path, block in (("batched", 1024), ("per-query", 1)):
        with thread_limit(a.threads):
            qps, ratio, same = query_speed(pts, retired, Q, a.rounds, block)
        never, holding = ratio["never held"], ratio["none retired"]
        print(
            f"{path:9s} path: {qps['retired']:9,.0f} queries/s with {SHARE:.0%} retired, "
            f"{qps['never held']:9,.0f} never holding them, {qps['none retired']:9,.0f} holding them unretired"
        )
        print(
            f"    speed against the index that never held them: {never[0]:.3f} in wall time, {never[1]:.3f} "
            f"in CPU time (target >= 0.9); against the same index with none retired: {holding[0]:.3f}, "
            f"{holding[1]:.3f} (medians of {a.rounds} rounds in turns); rows equal {same:.4f}"
        )


if __name__ == "__main__":
    main()
