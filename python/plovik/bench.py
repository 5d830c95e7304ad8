"""The benchmark behind ``python -m plovik bench``.

One run measures, on the scenario the project's benchmarks share (by default
n = 1,000,000 uniform points in [0, 1)^16, 800,000 of them static, b = 4,
K = 7, L = 32, probes = 4, m = 10,000 uniform queries, k = 10):

- build, k-nearest queries (batched and per-query paths) and the epoch
  operations (an update moving 10% of the candidates, one moving all, a
  promotion of a new batch) of the native index;
- the same on the NumPy reference (queries on a subsample);
- exact search with SciPy's cKDTree (`boxsize=1.0`, `p=1`, all workers) on a
  subsample, whose rows give the recall@k of every setting;
- PlovikSearch with its defaults, tuned at build on the same points;

and then, on the data shapes of `plovik.datasets` (uniform at several d,
clustered tight and loose, few informative coordinates, mixed density, a
periodic liquid in d = 3, queries away from the points), the tuned defaults
against the best setting of a sweep, cKDTree and the exact scan
(`plovik.bench_shapes`).

Figures go to a JSON file, a Markdown table and (with matplotlib) a PNG
plot. SciPy and matplotlib are optional: without SciPy the exact rows come
from the exact scan and cKDTree is left out, without matplotlib no plot is
drawn.
"""

from __future__ import annotations

import contextlib
import json
import os
import platform
import sys
import time
from collections.abc import Callable
from functools import partial
from pathlib import Path
from typing import Any, TextIO

import numpy as np

from plovik._timing import best_seconds, take_turns
from plovik.bench_shapes import SWEEP_PROBES, SWEEP_TABLES, draw_shapes_plot, run_shapes, shapes_markdown
from plovik.exact import exact_knn, recall_at_k
from plovik.search import PlovikSearch
from plovik.threads import thread_count

__all__ = ["machine_description", "run_bench"]

# The hash parameters of the project's earlier benchmarks (n = 1,000,000,
# 800,000 static, d = 16): cells b, components K, tables L, probes.
SCENARIO = (4, 7, 32, 4)


def machine_description() -> dict[str, Any]:
    """CPU model, logical CPUs, worker threads, memory, Python and NumPy versions."""
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    memory = None
    with contextlib.suppress(ValueError, OSError, AttributeError):
        memory = round(os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30, 1)
    return dict(
        cpu=cpu,
        logical_cpus=os.cpu_count(),
        worker_threads=thread_count(),
        memory_gib=memory,
        python=platform.python_version(),
        numpy=np.__version__,
        system=f"{platform.system()} {platform.release()}",
    )


class _Exact:
    """Exact k-nearest rows of the first `m` queries, from cKDTree when SciPy exists.

    `seconds` / `timed` give the queries/s figure from the same subsample.
    When the subsample took under a second (k-d trees are fast in low d, and a
    few hundred queries would mostly measure the start-up of its workers),
    `query_all` is set: a call answering all queries, for the caller to time.
    """

    def __init__(self, points: np.ndarray, queries: np.ndarray, m: int, k: int):
        try:
            from scipy.spatial import cKDTree
        except ImportError:
            cKDTree = None
        sample = queries[:m]
        self.query_all: Callable[[], Any] | None = None
        if cKDTree is not None:
            self.method = "cKDTree (SciPy)"
            t = time.perf_counter()
            tree = cKDTree(points, boxsize=1.0)
            self.build_s = time.perf_counter() - t
            t = time.perf_counter()
            _, idx = tree.query(sample, k=k, p=1, workers=-1)
            self.seconds, self.timed = time.perf_counter() - t, m
            if self.seconds < 1.0 and len(queries) > m:
                self.query_all = lambda: tree.query(queries, k=k, p=1, workers=-1)
            self.idx = np.asarray(idx, np.int64).reshape(m, k)
        else:
            self.method = "NumPy brute force"
            self.build_s = 0.0
            t = time.perf_counter()
            self.idx, _ = exact_knn(points, sample, k)
            self.seconds, self.timed = time.perf_counter() - t, m
        self.m = m
        self.n_queries = len(queries)

    def timed_all(self, seconds: float) -> None:
        """Record the time of `query_all`."""
        self.seconds, self.timed = seconds, self.n_queries

    @property
    def qps(self) -> float:
        return self.timed / self.seconds if self.seconds > 0 else float("inf")


def run_bench(
    *,
    n: int = 1_000_000,
    n_static: int | None = None,
    d: int = 16,
    scenario: tuple[int, int, int, int] = SCENARIO,
    queries: int = 10_000,
    k: int = 10,
    exact_queries: int = 300,
    reference_queries: int = 200,
    shape_n: int = 200_000,
    shape_queries: int = 2_000,
    shapes: tuple[str, ...] | None = None,
    tables: tuple[int, ...] = SWEEP_TABLES,
    probes: tuple[int, ...] = SWEEP_PROBES,
    repeats: int = 5,
    reference: bool = True,
    plot: bool = True,
    seed: int = 20261206,
    out_dir: str | os.PathLike[str] = "plovik-bench",
    out: TextIO | None = None,
) -> dict[str, Any]:
    """Run the benchmark and write bench.json, bench.md and bench.png into `out_dir`.

    `scenario` is (cells, components, tables, probes) of the main scenario
    (by default the earlier benchmarks' 4, 7, 32, 4). The data shapes run
    with `shape_n` points and `shape_queries` queries each (`shapes` names
    them, default all; an empty tuple skips them), sweeping `tables` x
    `probes`. Sizes shrink with the arguments (the tests run it on a few
    thousand points). Progress, the Markdown tables and a last line naming
    the folder and the files written go to `out` (default: standard output).
    Returns the figures that go into bench.json.
    """
    out = sys.stdout if out is None else out
    if n_static is None:
        n_static = n * 4 // 5
    exact_queries = min(exact_queries, queries)
    reference_queries = min(reference_queries, queries)
    out_path = Path(out_dir)
    out_path.mkdir(parents=True, exist_ok=True)

    def progress(message: str) -> None:
        print(f"  {message}", file=out, flush=True)

    rng = np.random.default_rng(seed)
    points = rng.random((n, d))
    Q = rng.random((queries, d))
    cells, components, L, P = scenario
    sc = dict(
        n=n,
        n_static=n_static,
        d=d,
        queries=queries,
        k=k,
        cells=cells,
        components=components,
        tables=L,
        probes=P,
        repeats=repeats,
    )
    results: dict[str, Any] = dict(machine=machine_description(), scenario=sc)
    print(f"plovik bench: n = {n:,} ({n_static:,} static), d = {d}, m = {queries:,}, k = {k}", file=out)

    progress(f"exact search on {exact_queries} queries")
    exact = _Exact(points, Q, exact_queries, k)

    # ---- the shared scenario and the defaults on the native index, taking turns
    progress("native index: build, queries, epoch operations")
    kw: dict[str, Any] = dict(tables=L, components=components, cells=cells, probes=P, seed=seed)
    native = PlovikSearch(d, backend="native", **kw)
    build_s = best_seconds(partial(native.build, points, n_static), repeats)
    per_query = PlovikSearch(d, backend="native", block=1, **kw)
    per_query.build(points, n_static)
    defaults = PlovikSearch(d, seed=seed, backend="native")
    t = time.perf_counter()
    defaults.build(points, n_static)
    default_build = time.perf_counter() - t
    # Bound methods, not closures over the names: the names are deleted below
    # to free each index once its figures are in.
    contenders: dict[str, Callable[[], Any]] = dict(
        batched=partial(native.query_knn, Q, k),
        per_query=partial(per_query.query_knn, Q, k),
        defaults=partial(defaults.query_knn, Q, k),
    )
    if exact.query_all is not None:
        contenders["exact"] = exact.query_all
    turns = take_turns(contenders, repeats)
    contenders.clear()  # the closures hold the indexes
    if "exact" in turns:
        exact.timed_all(turns["exact"])
    results["exact"] = dict(
        method=exact.method, build_s=exact.build_s, queries=exact.m, timed=exact.timed, qps=exact.qps
    )
    idx_batched, _ = native.query_knn(Q, k)
    idx_default, _ = defaults.query_knn(Q, k)
    report = defaults.tuning
    assert report is not None
    results["defaults"] = dict(
        exact=report.exact,
        grid=report.grid,
        **report.settings(),
        tuning_s=report.seconds,
        build_s=default_build,
        qps=queries / turns["defaults"],
        recall=recall_at_k(idx_default[: exact.m], exact.idx),
    )
    del defaults
    per_query.reset_stats()
    idx_single, _ = per_query.query_knn(Q, k)
    st = per_query.stats()
    per_core = st["pairs"] / (st["refine_ns"] * 1e-9) if st["refine_ns"] else float("nan")
    del per_query
    results["native"] = dict(
        build_s=build_s,
        batched_qps=queries / turns["batched"],
        per_query_qps=queries / turns["per_query"],
        recall=recall_at_k(idx_batched[: exact.m], exact.idx),
        recall_per_query=recall_at_k(idx_single[: exact.m], exact.idx),
        candidates_per_query=st["cands"] / max(st["queries"], 1),
        distance_evals_per_core_s=per_core,
    )
    results["native"].update(_epoch_ops(native, points, n_static, rng, repeats))
    del native

    # ---- the reference on a subsample
    if reference:
        progress(f"reference: build, {reference_queries} queries, epoch operations")
        ref = PlovikSearch(d, backend="reference", **kw)
        t = time.perf_counter()
        ref.build(points, n_static)
        ref_build = time.perf_counter() - t
        t = time.perf_counter()
        idx_ref, _ = ref.query_knn(Q[:reference_queries], k)
        ref_query = time.perf_counter() - t
        same = bool(np.array_equal(idx_ref, idx_batched[:reference_queries]))
        both = min(reference_queries, exact.m)
        results["reference"] = dict(
            build_s=ref_build,
            qps=reference_queries / ref_query,
            queries=reference_queries,
            rows_identical=same,
            recall=recall_at_k(idx_ref[:both], exact.idx[:both]),
        )
        results["reference"].update(_epoch_ops(ref, points, n_static, rng, 1))

    # ---- the data shapes: tuned defaults, best of a sweep, exact searches
    chosen = None if shapes is None else tuple(shapes)
    results["shapes"] = (
        []
        if chosen == ()
        else run_shapes(
            n=shape_n,
            queries=shape_queries,
            k=k,
            names=chosen,
            seed=seed,
            repeats=repeats,
            tables=tables,
            probes=probes,
            progress=progress,
        )
    )

    (out_path / "bench.json").write_text(json.dumps(results, indent=2) + "\n")
    markdown = to_markdown(results)
    (out_path / "bench.md").write_text(markdown)
    drawn = False
    if plot:
        drawn = bool(results["shapes"]) and draw_shapes_plot(results["shapes"], out_path / "bench.png")
        if not drawn:
            progress("no plot drawn (matplotlib is not installed, or no shapes ran)")
    print(markdown, file=out)
    written = ["bench.json", "bench.md"] + (["bench.png"] if plot and drawn else [])
    print(f"results written to {out_path.resolve()}: {', '.join(written)}", file=out, flush=True)
    return results


def _epoch_ops(
    search: PlovikSearch, points: np.ndarray, n_static: int, rng: np.random.Generator, repeats: int
) -> dict[str, float]:
    """Seconds of an update moving 10% of the candidates, one moving all, and a promotion."""
    n_cand = points.shape[0] - n_static
    cand = points[n_static:]
    some = cand.copy()
    moved = rng.choice(n_cand, size=n_cand // 10, replace=False) if n_cand else np.zeros(0, np.int64)
    some[moved] += rng.normal(0.0, 0.01, (len(moved), points.shape[1]))
    some -= np.floor(some)
    everything = cand + rng.normal(0.0, 0.01, cand.shape)
    everything -= np.floor(everything)
    batch = rng.random((n_cand, points.shape[1]))

    def rebuild() -> None:
        search.build(points, n_static)

    def rebuild_and_update_all() -> None:
        rebuild()
        search.update(everything)

    return dict(
        update_10pct_s=best_seconds(lambda: search.update(some), repeats, rebuild),
        update_all_s=best_seconds(lambda: search.update(everything), repeats, rebuild),
        promote_s=best_seconds(lambda: search.promote(batch), repeats, rebuild_and_update_all),
    )


def _fmt_rate(x: float) -> str:
    return f"{x:,.0f}" if x >= 100 else f"{x:,.1f}"


def to_markdown(results: dict[str, Any]) -> str:
    """The Markdown tables of a benchmark run."""
    sc, m, nat, ex = results["scenario"], results["machine"], results["native"], results["exact"]
    ref = results.get("reference")
    lines = [
        (
            f"Machine: {m['cpu']}, {m['logical_cpus']} logical CPUs ({m['worker_threads']} worker threads), "
            f"{m['memory_gib']} GiB, {m['system']}, Python {m['python']}, NumPy {m['numpy']}."
        ),
        "",
        (
            f"Scenario: n = {sc['n']:,} uniform points in [0, 1)^{sc['d']} ({sc['n_static']:,} static), "
            f"m = {sc['queries']:,} uniform queries, k = {sc['k']}; hash of the scenario: "
            f"b = {sc['cells']}, K = {sc['components']}, L = {sc['tables']}, probes = {sc['probes']}. "
            f"Timings are the fastest of {sc['repeats']} runs; the native contenders of a table (and exact search "
            "when it is fast) take turns. The reference and slow exact search run once."
        ),
        "",
        f"| index | build s | queries/s | recall@{sc['k']} | vs exact |",
        "|---|---:|---:|---:|---:|",
        (
            f"| native, batched path | {nat['build_s']:.2f} | {_fmt_rate(nat['batched_qps'])} | {nat['recall']:.3f} "
            f"| {nat['batched_qps'] / ex['qps']:,.0f}x |"
        ),
        (
            f"| native, per-query path (`block=1`) | | {_fmt_rate(nat['per_query_qps'])} | "
            f"{nat['recall_per_query']:.3f} | {nat['per_query_qps'] / ex['qps']:,.0f}x |"
        ),
    ]
    if ref:
        lines.append(
            f"| NumPy reference ({ref['queries']} queries) | {ref['build_s']:.2f} | "
            f"{_fmt_rate(ref['qps'])} | {ref['recall']:.3f} | "
            f"{ref['qps'] / ex['qps']:,.1f}x |"
        )
    lines.append(
        f"| exact: {ex['method']} ({ex['timed']} queries) | {ex['build_s']:.2f} | {_fmt_rate(ex['qps'])} | 1 | 1x |"
    )
    dflt = results["defaults"]
    how = (
        ("exact grid" if dflt.get("grid") else "exact scan")
        if dflt["exact"]
        else (f"b = {dflt['cells']}, K = {dflt['components']}, L = {dflt['tables']}, probes = {dflt['probes']}")
    )
    lines.append(
        f"| native, PlovikSearch defaults, tuned at build ({how}; tuning {dflt['tuning_s']:.2f} s "
        f"of the build) | {dflt['build_s']:.2f} | {_fmt_rate(dflt['qps'])} | {dflt['recall']:.3f} "
        f"| {dflt['qps'] / ex['qps']:,.0f}x |"
    )
    lines += [
        "",
        (
            f"Per-query path: {nat['candidates_per_query']:,.0f} candidates per query, "
            f"{nat['distance_evals_per_core_s'] / 1e6:,.1f} M distance evaluations per second per core."
        ),
    ]
    if ref:
        lines.append(
            f"The reference's rows {'equal' if ref['rows_identical'] else 'DIFFER FROM'} "
            "the native rows on its subsample."
        )
    lines += [
        "",
        "Epoch operations on the scenario's hash:",
        "",
        "| operation | native s | reference s |",
        "|---|---:|---:|",
        f"| build, all {sc['n']:,} points | {nat['build_s']:.3f} | {ref['build_s']:.3f} |"
        if ref
        else f"| build, all {sc['n']:,} points | {nat['build_s']:.3f} | |",
    ]
    for key, label in (
        ("update_10pct_s", "update, 10% of the candidates move"),
        ("update_all_s", "update, all candidates move"),
        ("promote_s", f"promote {sc['n'] - sc['n_static']:,} new rows"),
    ):
        lines.append(f"| {label} | {nat[key]:.3f} | {ref[key]:.3f} |" if ref else f"| {label} | {nat[key]:.3f} | |")
    if results["shapes"]:
        lines += ["", shapes_markdown(results["shapes"]).rstrip("\n")]
    return "\n".join(lines) + "\n"
