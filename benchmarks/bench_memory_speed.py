"""Speed of the epoch operations and queries of the native index against
another install, in turns in the same run: a new index's build, a rebuild
of the same index, an update in which every candidate moves by at most 0.01
a coordinate, one in which every candidate gets new uniform rows, one in
which a tenth of them move, 10,000 queries (k = 10) and a promotion of a
fifth of n new rows. Each install's figures come from an interpreter of its
own; the installs alternate over several rounds, and each figure is the
best (lowest) of its round's repeats. CPU seconds (all threads) beside wall
seconds; RAYON_NUM_THREADS=1 gives single-threaded figures, which move the
least with the machine's load.

The shared scenario's shape (d = 16, b = 4, K = 7, L = 32, probes = 4, a
fifth of the points candidates) at the n given.

    python benchmarks/bench_memory_speed.py --n 1000000 --rounds 4 \\
        --baseline /path/to/earlier/.venv/bin/python
"""

import argparse
import json
import os
import statistics
import subprocess
import sys

CHILD = r"""
import gc, json, sys, time
sys.path.insert(0, sys.argv[1])
import numpy as np
from common import D, KNN, SEED, params, points, queries
from plovik import RustLshIndex

n, repeats = int(sys.argv[2]), int(sys.argv[3])
n_static = n - n // 5
n_cand = n - n_static
p = params()
pts = points(n)
rng = np.random.default_rng(SEED + 2)
cand = pts[n_static:]
all_move = [(cand + rng.uniform(-0.01, 0.01, cand.shape)) % 1.0 for _ in range(2)]
all_new = [rng.random(cand.shape) for _ in range(2)]
few = rng.random(n_cand) < 0.10
few_move = []
for _ in range(2):
    c = cand.copy()
    c[few] = (c[few] + rng.uniform(-0.01, 0.01, (int(few.sum()), D))) % 1.0
    few_move.append(c)
new_rows = np.random.default_rng(SEED + 5).random((n_cand, D))
q = queries(10_000)
RustLshIndex(**p).build(pts[:1000], 500)  # the worker pool starts outside the figures
out = {}

def timed(name, call, before=None):
    best_w = best_c = float("inf")
    for _ in range(repeats):
        if before is not None:
            before()
        gc.collect()
        w, c = time.perf_counter(), time.process_time()
        call()
        best_w = min(best_w, time.perf_counter() - w)
        best_c = min(best_c, time.process_time() - c)
    out[name] = (best_w, best_c)

holder = {}
def fresh():
    holder.pop("ix", None)
    gc.collect()
def new_build():
    holder["ix"] = RustLshIndex(**p)
    holder["ix"].build(pts, n_static)
timed("build (new index)", new_build, fresh)
ix = holder.pop("ix")
timed("rebuild (same index)", lambda: ix.build(pts, n_static))
flip = [0]
def update(batches):
    flip[0] ^= 1
    ix.update(batches[flip[0]])
timed("update, all move", lambda: update(all_move))
timed("update, all rows new", lambda: update(all_new))
timed("update, 10% move", lambda: update(few_move))
timed("queries, 10,000", lambda: ix.query_knn(q, KNN))
timed("promote", lambda: ix.promote(new_rows), lambda: ix.build(pts, n_static))
print(json.dumps(out))
"""


def measure(python, here, n, repeats):
    done = subprocess.run([python, "-c", CHILD, here, str(n), str(repeats)], check=True, capture_output=True, text=True)
    return json.loads(done.stdout)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--baseline", required=True, help="the interpreter of another install")
    ap.add_argument("--rounds", type=int, default=4)
    ap.add_argument("--repeats", type=int, default=5, help="repeats of each operation in a round")
    ap.add_argument("--json", help="write every round's figures here as well")
    args = ap.parse_args()
    here = os.path.dirname(os.path.abspath(__file__))
    installs = [("this", sys.executable), ("baseline", args.baseline)]
    rounds = {name: [] for name, _ in installs}
    for r in range(args.rounds):
        order = installs if r % 2 == 0 else installs[::-1]
        for name, python in order:
            rounds[name].append(measure(python, here, args.n, args.repeats))
            print(name, json.dumps(rounds[name][-1]), file=sys.stderr, flush=True)
    print(
        f"n = {args.n:,}, {args.rounds} rounds, threads {os.environ.get('RAYON_NUM_THREADS', 'all')}; "
        "median over rounds of each round's best; CPU s (wall s)"
    )
    print("| operation | baseline | this | ratio CPU (wall) | ratio range CPU |")
    print("|---|---:|---:|---:|---:|")
    for op in rounds["this"][0]:
        med = {name: [statistics.median(r[op][i] for r in rounds[name]) for i in (0, 1)] for name in rounds}
        per_round = [a[op][1] / b[op][1] for a, b in zip(rounds["this"], rounds["baseline"], strict=True)]
        b, t = med["baseline"], med["this"]
        print(
            f"| {op} | {b[1]:.3f} ({b[0]:.3f}) | {t[1]:.3f} ({t[0]:.3f}) "
            f"| {t[1] / b[1]:.2f} ({t[0] / b[0]:.2f}) | {min(per_round):.2f} - {max(per_round):.2f} |"
        )
    if args.json:
        with open(args.json, "w") as f:
            json.dump(rounds, f, indent=1)


if __name__ == "__main__":
    main()
