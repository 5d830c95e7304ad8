"""Memory of the native index, and what it costs in speed, against another
install in the same run: resident bytes per point after a build (and what
`nbytes` reports), the resident peak of the build, the peaks of an update in which every
candidate moves and of a promotion of as many new rows (as multiples of the
resident size before each), the resident size over a loop of epochs (every
candidate moving, a rebuild every 25 epochs), build
seconds, update seconds, queries per second and recall@10. Times are wall
seconds, with the CPU seconds of all threads beside them: on a shared
machine these move less with the load.

The shared scenario's shape (d = 16, b = 4, K = 7, L = 32, probes = 4, a
fifth of the points candidates) at each n given. Every measurement runs in
an interpreter of its own, the installs taking turns, so that one's memory
never counts in another's; resident sizes are those of the process less
what it held before the build (its points and queries included).

    python benchmarks/bench_memory.py --n 1000000 10000000 \\
        --baseline /path/to/earlier/.venv/bin/python
"""

import argparse
import json
import subprocess
import sys

CHILD = r"""
import gc, json, os, statistics, sys, time
sys.path.insert(0, sys.argv[1])
import numpy as np
from common import D, KNN, SEED, params, points, queries
from plovik import RustLshIndex, exact_knn

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

def peak():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))

n, epochs = int(sys.argv[2]), int(sys.argv[3])
n_static = n - n // 5
p = params()
pts = points(n)
moves = [np.random.default_rng(SEED + 3 + i).random((n - n_static, D)) for i in range(2)]
new_rows = np.random.default_rng(SEED + 5).random((n - n_static, D))
q = queries(10_000)
RustLshIndex(**p).build(pts[:1000], 500)  # the worker pool starts outside the figures
gc.collect()
base = rss()
def restart_peak():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # the peak resident size starts again from the current one

def peak_ratio(call):
    gc.collect()
    before = rss() - base
    restart_peak()
    call()
    return (peak() - base) / before

restart_peak()
ix = RustLshIndex(**p)
wall, cpu = time.perf_counter(), time.process_time()
ix.build(pts, n_static)
out = dict(n=n, build_s=time.perf_counter() - wall, build_cpu_s=time.process_time() - cpu,
           build_peak=peak() - base, steady=rss() - base, nbytes=getattr(ix, "nbytes", None))
times, cpus = [], []
for _ in range(3):
    t, c = time.perf_counter(), time.process_time()
    found, _ = ix.query_knn(q, KNN)
    times.append(time.perf_counter() - t)
    cpus.append(time.process_time() - c)
out["queries_per_s"] = len(q) / statistics.median(times)
out["queries_per_cpu_s"] = len(q) / statistics.median(cpus)
found = found[:200]
out["update_peak"] = peak_ratio(lambda: ix.update(moves[1]))
largest, updates, update_cpus = 0, [], []
for epoch in range(epochs):
    t, c = time.perf_counter(), time.process_time()
    ix.update(moves[epoch % 2])
    updates.append(time.perf_counter() - t)
    update_cpus.append(time.process_time() - c)
    if epoch % 25 == 24:
        ix.build(pts, n_static)
    largest = max(largest, rss() - base)
out.update(epochs=epochs, update_s=statistics.median(updates),
           update_cpu_s=statistics.median(update_cpus), loop_max=largest)
out["promote_peak"] = peak_ratio(lambda: ix.promote(new_rows))
del ix
gc.collect()
truth, _ = exact_knn(pts, q[:200], KNN)
out["recall"] = float(np.mean([len(set(a) & set(b)) / KNN for a, b in zip(found.tolist(), truth.tolist())]))
print(json.dumps(out))
"""


def measure(python, here, n, epochs):
    done = subprocess.run([python, "-c", CHILD, here, str(n), str(epochs)], check=True, capture_output=True, text=True)
    return json.loads(done.stdout)


def main():
    import os

    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, nargs="+", default=[1_000_000])
    ap.add_argument("--baseline", help="the interpreter of another install, measured in turn")
    ap.add_argument(
        "--epochs",
        type=int,
        default=200,
        help="epochs of the loop at n = 1,000,000 (fewer for larger n, in proportion; at least 20)",
    )
    ap.add_argument("--json", help="write the figures here as well")
    args = ap.parse_args()
    here = os.path.dirname(os.path.abspath(__file__))
    installs = [("this", sys.executable)] + ([("baseline", args.baseline)] if args.baseline else [])
    rows = []
    for n in args.n:
        epochs = max(20, args.epochs * 1_000_000 // n)
        for name, python in installs:
            row = measure(python, here, n, epochs)
            row["install"] = name
            rows.append(row)
            print(json.dumps(row), file=sys.stderr)
    print(
        "| install | n | B/point steady (nbytes) | build peak B/point | epoch loop max B/point "
        "| update / promote peak x steady | build s (CPU s) | update s (CPU s) | queries/s (per CPU s) | recall@10 |"
    )
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for r in rows:
        n = r["n"]
        held = f" ({r['nbytes'] / n:.0f})" if r["nbytes"] is not None else ""
        print(
            f"| {r['install']} | {n:,} | {r['steady'] / n:.0f}{held} | {r['build_peak'] / n:.0f} "
            f"| {r['loop_max'] / n:.0f} | {r['update_peak']:.2f} / {r['promote_peak']:.2f} "
            f"| {r['build_s']:.2f} ({r['build_cpu_s']:.2f}) "
            f"| {r['update_s']:.3f} ({r['update_cpu_s']:.3f}) "
            f"| {r['queries_per_s']:,.0f} ({r['queries_per_cpu_s']:,.0f}) | {r['recall']:.3f} |"
        )
    if args.json:
        with open(args.json, "w") as f:
            json.dump(rows, f, indent=1)


if __name__ == "__main__":
    main()
