"""The data-shapes part of ``python -m plovik bench``.

For every shape of `plovik.datasets.SHAPES` (n points, m fresh queries of the
same shape, k = 10):

- PlovikSearch with its defaults, tuned at build for recall 0.95 (given a
  separate sample of queries where the shape's queries do not follow its
  points), timed with the tuning;
- a sweep over the settings a user could set by hand (cells and components
  for several bucket occupancies, tables, probes; hashed coordinates drawn
  uniformly), and the fastest of its settings that reaches the target (its
  five fastest in a first pass are timed again to find it);
- exact search: SciPy's cKDTree (`boxsize=1.0`, `p=1`, all workers) and the
  package's exact scan (`plovik.exact_knn`).

Recall is measured on the m queries, which the tuning never saw, against the
exact scan. Beside them: the tuning's seconds against a plain build of the
setting it chose (the raw index of those settings, or the exact scan's layout
of the points), and an end-to-end job, the k nearest other points of every
point (build included, each point excluding itself), of the tuned search
against the k-d tree (its time for every point scaled from the queries it
answered in the timing, plus its build). The tuned index, the best of the sweep and both exact searches
are timed in turns at the end, so that a change of load on a shared machine
falls on all of them alike.
"""

from __future__ import annotations

import math
import time
import warnings
import zlib
from collections.abc import Callable, Iterable
from functools import partial
from pathlib import Path
from typing import Any, TypeVar

import numpy as np

from plovik._timing import take_turns
from plovik.datasets import SHAPES, Shape, find_shape
from plovik.exact import ExactScan, exact_knn, recall_at_k
from plovik.search import PlovikSearch
from plovik.tuning import RecallWarning

__all__ = ["TARGET", "draw_shapes_plot", "run_shapes", "shapes_markdown"]

TARGET = 0.95
#: Bucket occupancies (points per bucket) and cells of the sweep; (b, K) follow.
SWEEP_OCCUPANCIES = (4.0, 16.0, 64.0)
SWEEP_CELLS = (2, 3, 4)
SWEEP_TABLES = (1, 2, 4, 8, 16, 32, 64)
SWEEP_PROBES = (0, 1, 2, 4, 7, 10)
#: Recall beyond which more tables or probes cannot pay off in the sweep.
SATURATED = 0.995
#: Settings of the sweep timed again against the tuned index.
FINALISTS = 5
#: Seconds an exact k-d tree timing may take before it runs on a subsample.
KD_BUDGET_S = 10.0


def sweep_cells_components(n: int, d: int) -> list[tuple[int, int]]:
    """The (cells, components) pairs of the sweep: per cell count, the
    components that give each occupancy; few coordinates take more cells."""
    out = set()
    for b in SWEEP_CELLS:
        for occ in SWEEP_OCCUPANCIES:
            buckets = max(n / occ, 2.0)
            k = max(1, round(math.log(buckets) / math.log(b)))
            bb = b
            if k > d:
                k = d
                bb = max(2, round(buckets ** (1.0 / k)))
            out.add((bb, k))
    return sorted(out)


T = TypeVar("T")


def _timed(fn: Callable[[], T]) -> tuple[float, T]:
    t = time.perf_counter()
    result = fn()
    return time.perf_counter() - t, result


def _time(fn: Callable[[], Any]) -> float:
    return _timed(fn)[0]


def _sweep(
    X: np.ndarray,
    Q: np.ndarray,
    truth: np.ndarray,
    k: int,
    seed: int,
    tables: Iterable[int],
    probes: Iterable[int],
    progress: Callable[[str], None],
) -> list[dict[str, Any]]:
    """Recall and queries/s of every swept setting (one timing each: a first pass)."""
    n, d = X.shape
    rows: list[dict[str, Any]] = []
    for b, kk in sweep_cells_components(n, d):
        progress(f"sweep b = {b}, K = {kk}")
        for L in tables:
            saturated_at_zero = False
            for P in probes:
                if kk < P:
                    break
                search = PlovikSearch(d, cells=b, components=kk, tables=L, probes=P, seed=seed, backend="native")
                build_s = _time(partial(search.build, X))
                query_s, (idx, _) = _timed(partial(search.query_knn, Q, k))
                recall = recall_at_k(idx, truth)
                rows.append(
                    dict(
                        cells=b, components=kk, tables=L, probes=P, build_s=build_s, qps=len(Q) / query_s, recall=recall
                    )
                )
                if recall >= SATURATED:
                    saturated_at_zero = P == 0
                    break
            if saturated_at_zero:
                break
    return rows


def _kd_tree(X: np.ndarray) -> tuple[Any, float]:
    """SciPy's periodic k-d tree of X and its build seconds; (None, 0) without SciPy."""
    try:
        from scipy.spatial import cKDTree
    except ImportError:
        return None, 0.0
    t = time.perf_counter()
    tree = cKDTree(X, boxsize=1.0)
    return tree, time.perf_counter() - t


def run_shape(
    shape: Shape,
    n: int,
    m: int,
    k: int,
    seed: int,
    repeats: int,
    tables: Iterable[int],
    probes: Iterable[int],
    progress: Callable[[str], None],
) -> dict[str, Any]:
    """The figures of one shape."""
    rng = np.random.default_rng([seed, zlib.crc32(shape.name.encode())])
    X = shape.points(rng, n)
    Q = shape.queries(rng, m)
    tuning_queries = shape.queries(rng, 300) if shape.tuning_queries else None
    progress(f"{shape.name}: exact rows of {m} queries")
    truth, _ = exact_knn(X, Q, k)

    progress(f"{shape.name}: tuned build")
    tuned = PlovikSearch(shape.d, recall=TARGET, k=k, seed=seed, backend="native")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", RecallWarning)
        tuned_build_s = _time(lambda: tuned.build(X, queries=tuning_queries))
    report = tuned.tuning
    assert report is not None
    tuned_idx, _ = tuned.query_knn(Q, k)
    if report.exact:
        plain_build_s = _time(lambda: ExactScan(X))
    else:
        settings: dict[str, Any] = report.settings()
        plain = PlovikSearch(shape.d, seed=seed, backend="native", **settings)
        plain_build_s = _time(lambda: plain.build(X))
        del plain

    progress(f"{shape.name}: the k nearest of every point, build included")

    def every_point() -> None:
        search = PlovikSearch(shape.d, recall=TARGET, k=k, seed=seed, backend="native")
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RecallWarning)
            search.build(X, queries=tuning_queries)
        search.query_knn(X, k, np.arange(n))

    every_point_s = _time(every_point)

    rows = _sweep(X, Q, truth, k, seed, tables, probes, progress)
    # The first pass times each setting once, under whatever load the machine
    # had then: its fastest few that reach the target are timed again, in
    # turns with the tuned index, and the fastest of those is the sweep's best.
    finalists = sorted((r for r in rows if r["recall"] >= TARGET), key=lambda r: -r["qps"])[:FINALISTS]
    rivals = []
    for r in finalists:
        search = PlovikSearch(
            shape.d, seed=seed, backend="native", **{key: r[key] for key in ("cells", "components", "tables", "probes")}
        )
        search.build(X)
        rivals.append(search)

    tree, kd_build_s = _kd_tree(X)
    kd_m = m
    if tree is not None:
        # a slow tree answers a subsample, as many queries as fit the time budget
        probe_m = min(m, 50)
        per_query = _time(lambda: tree.query(Q[:probe_m], k=k, p=1, workers=-1)) / probe_m
        kd_m = max(probe_m, min(m, int(KD_BUDGET_S / max(per_query, 1e-9) / max(repeats, 1))))

    progress(f"{shape.name}: timing in turns")
    contenders: dict[str, Callable[[], Any]] = {
        "tuned": lambda: tuned.query_knn(Q, k),
        "exact_scan": lambda: exact_knn(X, Q, k),
    }
    for i, search in enumerate(rivals):
        contenders[f"sweep {i}"] = partial(search.query_knn, Q, k)
    if tree is not None:
        contenders["kd_tree"] = lambda: tree.query(Q[:kd_m], k=k, p=1, workers=-1)
    seconds = take_turns(contenders, repeats)
    qps = {name: (kd_m if name == "kd_tree" else m) / s for name, s in seconds.items()}
    best_row = None
    if finalists:
        i = max(range(len(finalists)), key=lambda i: qps[f"sweep {i}"])
        best_row = dict(finalists[i], first_pass_qps=finalists[i]["qps"], qps=qps[f"sweep {i}"])

    out: dict[str, Any] = dict(
        name=shape.name,
        d=shape.d,
        n=n,
        queries=m,
        k=k,
        target=TARGET,
        tuning_queries=shape.tuning_queries,
        tuned=dict(
            exact=bool(report.exact),
            grid=bool(report.grid),
            **report.settings(),
            recall=recall_at_k(tuned_idx, truth),
            estimate=report.recall,
            interval=list(report.interval),
            reached=bool(report.reached),
            tuning_s=report.seconds,
            build_s=tuned_build_s,
            plain_build_s=plain_build_s,
            qps=qps["tuned"],
            every_point_s=every_point_s,
            warnings=[str(w.message) for w in caught],
        ),
        best=best_row,
        exact_scan=dict(qps=qps["exact_scan"]),
        kd_tree=None
        if tree is None
        else dict(qps=qps["kd_tree"], build_s=kd_build_s, timed=kd_m, every_point_s=kd_build_s + n / qps["kd_tree"]),
        sweep=rows,
    )
    return out


def run_shapes(
    *,
    n: int = 200_000,
    queries: int = 2_000,
    k: int = 10,
    names: Iterable[str] | None = None,
    seed: int = 20261206,
    repeats: int = 3,
    tables: Iterable[int] = SWEEP_TABLES,
    probes: Iterable[int] = SWEEP_PROBES,
    progress: Callable[[str], None] = lambda s: None,
) -> list[dict[str, Any]]:
    """The figures of every shape named by key or name (default: all of `SHAPES`)."""
    chosen = list(SHAPES) if names is None else list(names)
    unknown = [name for name in chosen if not _known(name)]
    if unknown:
        raise ValueError(f"unknown shapes {unknown}; known: {[s.key for s in SHAPES.values()]}")
    return [
        run_shape(find_shape(name), n, queries, k, seed, repeats, tuple(tables), tuple(probes), progress)
        for name in chosen
    ]


def _known(name: str) -> bool:
    try:
        find_shape(name)
    except KeyError:
        return False
    return True


def _rate(x: float) -> str:
    return f"{x:,.0f}" if x >= 100 else f"{x:,.1f}"


def _setting(r: dict[str, Any]) -> str:
    if r.get("exact"):
        return "exact grid" if r.get("grid") else "exact scan"
    return f"b={r['cells']}, K={r['components']}, L={r['tables']}, P={r['probes']}"


def shapes_markdown(shapes: list[dict[str, Any]]) -> str:
    """The Markdown table of the shapes."""
    if not shapes:
        return ""
    s0 = shapes[0]
    lines = [
        (
            f"Data shapes: n = {s0['n']:,} points each, {s0['queries']:,} fresh queries of the same shape, "
            f"k = {s0['k']}, target recall {s0['target']}. Queries/s with all worker threads; tuned, best of "
            "the sweep and both exact searches timed in turns (the fastest of the runs)."
        ),
        "",
        (
            "| shape | tuned setting | recall | tuned q/s | best of sweep (recall) | best q/s | tuned / best "
            "| cKDTree q/s | exact scan q/s | tuning s |"
        ),
        "|---|---|---:|---:|---|---:|---:|---:|---:|---:|",
    ]
    for s in shapes:
        t, b, kd, ex = s["tuned"], s["best"], s["kd_tree"], s["exact_scan"]
        name = s["name"] + (" (tuned with queries)" if s["tuning_queries"] else "")
        best = (
            f"{_setting(b)} ({b['recall']:.3f}) | {_rate(b['qps'])} | {t['qps'] / b['qps']:.2f}"
            if b
            else "none reaches the target | |"
        )
        lines.append(
            f"| {name} | {_setting(t)} | {t['recall']:.3f} | {_rate(t['qps'])} | {best} "
            f"| {_rate(kd['qps']) if kd else 'n/a'} | {_rate(ex['qps'])} | {t['tuning_s']:.2f} |"
        )
    if all("every_point_s" in s["tuned"] for s in shapes):
        lines += [
            "",
            (
                "Tuning against a plain build of the setting it chose, and the k nearest other points of "
                "every point, build included: the tuned search against the k-d tree (its build, and its "
                "time per query in the timing above times n)."
            ),
            "",
            (
                "| shape | tuning s | plain build s | tuning / plain build | every point, tuned s "
                "| every point, cKDTree s | cKDTree / tuned |"
            ),
            "|---|---:|---:|---:|---:|---:|---:|",
        ]
        for s in shapes:
            t, kd = s["tuned"], s["kd_tree"]
            kd_s = f"{kd['every_point_s']:.2f} | {kd['every_point_s'] / t['every_point_s']:.1f}" if kd else "n/a | n/a"
            lines.append(
                f"| {s['name']} | {t['tuning_s']:.3f} | {t['plain_build_s']:.3f} "
                f"| {t['tuning_s'] / max(t['plain_build_s'], 1e-9):.1f} | {t['every_point_s']:.2f} | {kd_s} |"
            )
    return "\n".join(lines) + "\n"


def draw_shapes_plot(shapes: list[dict[str, Any]], path: Path) -> bool:
    """Queries/s per shape (log scale): tuned, best of sweep, cKDTree, exact scan."""
    try:
        import matplotlib as mpl

        mpl.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    names = [s["name"] for s in shapes]
    series = [
        ("tuned defaults", [s["tuned"]["qps"] for s in shapes]),
        ("best of sweep", [s["best"]["qps"] if s["best"] else np.nan for s in shapes]),
        ("cKDTree (exact)", [s["kd_tree"]["qps"] if s["kd_tree"] else np.nan for s in shapes]),
        ("exact scan", [s["exact_scan"]["qps"] for s in shapes]),
    ]
    fig, ax = plt.subplots(figsize=(12, 5.2))
    width = 0.2
    x = np.arange(len(names))
    for i, (label, values) in enumerate(series):
        ax.bar(x + (i - 1.5) * width, values, width, label=label)
    for xi, s in zip(x, shapes, strict=True):
        ax.annotate(
            f"{s['tuned']['recall']:.3f}", (xi - 1.5 * width, s["tuned"]["qps"]), ha="center", va="bottom", fontsize=7
        )
    ax.set_yscale("log")
    ax.set_xticks(x)
    ax.set_xticklabels(names, rotation=20, ha="right", fontsize=8)
    ax.set_ylabel("queries/s")
    s0 = shapes[0]
    ax.set_title(
        f"n = {s0['n']:,}, k = {s0['k']}, target recall {s0['target']} (tuned recall on fresh queries above its bar)",
        fontsize=10,
    )
    ax.grid(True, axis="y", which="both", alpha=0.3)
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True
