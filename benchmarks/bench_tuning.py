"""Tuning time against the plain build of the setting it chooses.

For every shape (uniform and clustered points; d = 3, 8, 16, 32) and size
(n = 10**3 ... 10**6 by default), `plovik.tuning.tune` runs at k = 10,
recall 0.95, as `PlovikSearch.build` runs it: the points laid out for the
exact scan, then the tuning with that scan ("tune s" counts both). The
plain build of the chosen setting is its raw index built alone, or for the
exact scan that layout, which the search keeps and answers with (so a
tuned build that chooses the scan costs the tuning alone); the time of 64
exact queries at that n is measured beside it. An exact answer's plain
build also holds the store of the points a search in that mode keeps (as
`PlovikSearch(d, exact="always")` builds it), on both sides. The goal: the tuned build
at most max(10 ms, 2 x the plain build) plus the 64 exact queries
("budget" below; "x budget" is the share of it used). Recall is measured
on 1,000 fresh queries (from the same distribution) against the exact
scan. The next frame (every point moved by 2% of the spacing) is then
built again keeping the settings as `build(X, tuning="keep")` does: the
check of 32 sample queries by a scan of the points as they are, then the
tables (for the exact scan, the layout), against the budget 1.2 x its
plain build + 5 ms + 32 exact queries ("x keep budget").

With `--liquid N` only the periodic liquid of N atoms (d = 3) is run: the
tuning against the job it serves, a tuned build and the k nearest (k = 12)
of every atom, its own id left out, beside SciPy's periodic k-d tree.

With `--baseline REV` the tuning module of that git revision (read with
`git show`, run on this build's extension and reference) is timed in the
same run, turn about with the current one, so that both see the same load;
"before" and "after" are the fastest of `--repeats` turns.
"""

import argparse
import subprocess
import sys
import time
import types
import warnings
from pathlib import Path

import numpy as np
from common import machine

from plovik import PlovikSearch, RustLshIndex, datasets, tuning
from plovik.exact import ExactScan, ExactStore, recall_at_k
from plovik.grid import ExactGrid
from plovik.tuning import RecallWarning

K, TARGET, SEED = 10, 0.95, 20261207


def shape_points(name, rng, n, d):
    if name == "uniform":
        return rng.random((n, d))
    return datasets.clustered(rng, n, d, clusters=50, sigma=0.02)


def baseline_module(rev):
    """The tuning module of git revision `rev`, imported under another name."""
    root = Path(__file__).resolve().parent.parent
    text = subprocess.run(
        ["git", "show", f"{rev}:python/plovik/tuning.py"], cwd=root, check=True, capture_output=True, text=True
    ).stdout
    mod = types.ModuleType("tuning_baseline")
    sys.modules[mod.__name__] = mod  # dataclasses look their module up
    exec(compile(text, f"{rev}:python/plovik/tuning.py", "exec"), mod.__dict__)
    return mod


def fastest(fn, repeats):
    best, out = float("inf"), None
    for _ in range(repeats):
        t = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t)
    return best, out


def plain_build(X, report, s, u):
    index = RustLshIndex(report.cells, report.components, report.tables, report.probes, s, u)
    index.build(X, X.shape[0])
    return index


def grid_build(X):
    """The grid of the exact answers, built (its first query builds it)."""
    grid = ExactGrid(X)
    grid.knn(X[:1], K)
    return grid


def store_build(X):
    """The points a search that answers exactly keeps (no table)."""
    store = ExactStore(X.shape[1], 0)
    store.build(X, X.shape[0])
    return store


def measure(shape, n, d, repeats, baseline):
    rng = np.random.default_rng([SEED, n, d, shape == "uniform"])
    X = shape_points(shape, rng, n, d)
    fresh = shape_points(shape, rng, 1000, d)
    row = dict(shape=shape, n=n, d=d)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RecallWarning)
        runs = {"after": tuning}
        if baseline is not None:
            runs["before"] = baseline
        times = {name: float("inf") for name in runs}
        out = {}
        for _ in range(repeats):  # turn about, so that both see the same load
            for name, mod in runs.items():
                t = time.perf_counter()
                out[name] = mod.tune(X, target=TARGET, k=K, seed=SEED, scan=ExactScan(X))
                times[name] = min(times[name], time.perf_counter() - t)
    report, s, u = out["after"]
    row["tune_s"] = times["after"]
    if baseline is not None:
        row["before_s"] = times["before"]
        row["before_setting"] = "exact" if out["before"][0].exact else str(out["before"][0].settings())
    if report.exact:  # the plain build of an exact answer: the scan's layout, or the grid, and the store
        row["build_s"], _ = fastest(lambda: (grid_build(X) if report.grid else ExactScan(X), store_build(X)), repeats)
        row["store_s"], _ = fastest(lambda: store_build(X), repeats)
    else:
        row["build_s"], index = fastest(lambda: plain_build(X, report, s, u), repeats)
    scan = ExactScan(X)
    row["exact64_s"], _ = fastest(lambda: scan.knn(fresh[:64], K), repeats)
    truth, _ = scan.knn(fresh, K)
    found = truth if report.exact else index.query_knn(fresh, K, None)[0]
    row["recall"] = recall_at_k(found, truth)
    row["setting"] = (
        "exact" if report.exact else (f"b={report.cells} K={report.components} L={report.tables} P={report.probes}")
    )
    row["budget_s"] = max(0.01, 2 * row["build_s"]) + row["exact64_s"]
    # the exact scan's layout is the one the tuning made and the search keeps: its store is built after
    tuned = row["store_s"] if report.exact and not report.grid else row["build_s"]
    row["used"] = (row["tune_s"] + tuned) / row["budget_s"]
    # The next frame: every point moved a little, the settings kept after a
    # check (`tuning="keep"`), then the tables built; against a plain build
    # of the same frame.
    moved = (X + 0.02 * (n ** (-1.0 / d)) * rng.standard_normal(X.shape)) % 1.0
    kept = None

    def rebuild():
        nonlocal kept
        # the search lays the points out for an exact scan's answers, builds
        # a grid for the grid's; the check of hash settings scans them as they are
        scan = ExactScan(moved) if report.exact and not report.grid else None
        kept = tuning.keep(moved, report, target=TARGET, k=K, seed=SEED, scan=scan)
        if kept is not None and kept[0].grid:
            grid_build(moved)
        elif kept is not None and not kept[0].exact:
            plain_build(moved, *kept)
        if kept is not None and kept[0].exact:
            store_build(moved)

    row["keep_s"], _ = fastest(rebuild, repeats)
    row["kept"] = kept is not None
    row["moved_build_s"], _ = fastest(
        lambda: (
            (grid_build(moved) if report.grid else ExactScan(moved), store_build(moved))
            if report.exact
            else plain_build(moved, report, s, u)
        ),
        repeats,
    )
    row["exact32_s"] = row["exact64_s"] / 2
    row["keep_used"] = row["keep_s"] / (1.2 * row["moved_build_s"] + 0.005 + row["exact32_s"])
    return row


def liquid(n, k, repeats):
    """The periodic liquid of n atoms (d = 3): the tuning's time against the
    whole job it serves, a tuned build and the k nearest of every atom (its
    own id left out), and against SciPy's periodic k-d tree doing the same."""
    X = datasets.periodic_liquid(np.random.default_rng([SEED, n]), n)
    ids = np.arange(n)
    row = {}

    def job():
        search = PlovikSearch(3, recall=TARGET, k=k, seed=SEED)
        search.build(X)
        search.query_knn(X, k, ids)
        return search

    row["job_s"], search = fastest(job, repeats)
    row["tune_s"] = min(
        fastest(lambda: tuning.tune(X, target=TARGET, k=k, seed=SEED, scan=ExactScan(X)), 1)[0] for _ in range(repeats)
    )
    row["setting"] = str(search.tuning).split(";")[0]
    try:
        from scipy.spatial import cKDTree
    except ImportError:
        row["kd_s"] = float("nan")
    else:
        row["kd_s"], _ = fastest(lambda: cKDTree(X, boxsize=1.0).query(X, k + 1, p=1, workers=-1), repeats)
    return row


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", type=int, nargs="+", default=[1_000, 10_000, 100_000, 1_000_000])
    ap.add_argument("--dims", type=int, nargs="+", default=[3, 8, 16, 32])
    ap.add_argument("--shapes", nargs="+", default=["uniform", "clustered"])
    ap.add_argument("--repeats", type=int, default=2)
    ap.add_argument("--baseline", metavar="REV", help="also time the tuning of this git revision")
    ap.add_argument(
        "--liquid",
        type=int,
        metavar="N",
        help="only the periodic liquid of N atoms: the tuning against the k nearest (k = 12) of every atom",
    )
    args = ap.parse_args()
    if args.liquid:
        r = liquid(args.liquid, 12, args.repeats)
        print(f"periodic liquid, {args.liquid:,} atoms, d = 3, k = 12, recall {TARGET}; {machine()}")
        print("| chosen | tuning s | build + k-NN of every atom s | tuning / job | cKDTree (build + query) s |")
        print("|---|---:|---:|---:|---:|")
        print(
            f"| {r['setting']} | {r['tune_s']:.4f} | {r['job_s']:.3f} | {r['tune_s'] / r['job_s']:.3f} "
            f"| {r['kd_s']:.3f} |"
        )
        return 0
    baseline = baseline_module(args.baseline) if args.baseline else None
    print(f"tuning time, k = {K}, recall {TARGET}; {machine()}")
    head = (
        "| shape | n | d | chosen | recall | tune s | build s | 64 exact s | x budget "
        "| keep + build s | kept | x keep budget |"
    )
    if baseline is not None:
        head += f" before ({args.baseline}) s | before / after |"
    print(head)
    print("|" + "---|" * (head.count("|") - 1))
    for shape in args.shapes:
        for d in args.dims:
            for n in args.sizes:
                r = measure(shape, n, d, args.repeats, baseline)
                line = (
                    f"| {shape} | {n:,} | {d} | {r['setting']} | {r['recall']:.3f} | {r['tune_s']:.4f} "
                    f"| {r['build_s']:.4f} | {r['exact64_s']:.4f} | {r['used']:.2f} "
                    f"| {r['keep_s']:.4f} | {'yes' if r['kept'] else 'no'} | {r['keep_used']:.2f} |"
                )
                if baseline is not None:
                    line += f" {r['before_s']:.4f} | {r['before_s'] / r['tune_s']:.2f} |"
                print(line, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
