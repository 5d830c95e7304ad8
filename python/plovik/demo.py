"""The demonstration workload behind ``python -m plovik demo``.

A static archive of points and a population of candidates live on the unit
torus [0, 1)^d. Each epoch:

1. the population moves: every candidate takes a small random step (wrapped);
2. `update` refreshes the candidate tier with the new positions;
3. every candidate asks for its k nearest neighbours among all points, itself
   excluded, and gets a density score: the inverse of its mean kNN distance;
4. the sparsest half of the population (lowest density) seeds the next one:
   each of those candidates leaves two offspring a random step away;
5. `promote` archives the population and installs the offspring.

A sample of the queries of every epoch is checked against exact brute-force
search over all points, which gives the recall@k. At the end the demo prints
the time spent in each operation and the recall.
"""

from __future__ import annotations

import sys
import time
from dataclasses import dataclass, field
from typing import Any, TextIO

import numpy as np

from plovik.exact import exact_knn, recall_at_k
from plovik.search import Backend, PlovikSearch

__all__ = ["DemoResult", "run_demo"]


@dataclass
class DemoResult:
    """Figures of one demo run: per-operation wall time and the recall."""

    seconds: dict[str, float] = field(default_factory=dict)
    calls: dict[str, int] = field(default_factory=dict)
    rows: dict[str, int] = field(default_factory=dict)
    recall: float = float("nan")
    recall_queries: int = 0
    recall_per_epoch: list[float] = field(default_factory=list)
    density_per_epoch: list[float] = field(default_factory=list)
    n_points: int = 0
    n_static: int = 0
    params: dict[str, int] = field(default_factory=dict)
    backend: str = ""

    def add(self, op: str, seconds: float, rows: int) -> None:
        self.seconds[op] = self.seconds.get(op, 0.0) + seconds
        self.calls[op] = self.calls.get(op, 0) + 1
        self.rows[op] = self.rows.get(op, 0) + rows


def _wrap(x: np.ndarray) -> np.ndarray:
    return x - np.floor(x)


def _progress(epochs: int, enabled: bool, stream: TextIO) -> Any:
    """A tqdm bar over the epochs when tqdm is installed and wanted, else None."""
    if not enabled:
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=epochs, desc="epochs", unit="epoch", file=stream, dynamic_ncols=True)


def run_demo(
    *,
    archive: int = 100_000,
    population: int = 10_000,
    d: int = 16,
    k: int = 10,
    epochs: int = 10,
    seed: int = 0,
    step: float = 0.05,
    recall_sample: int = 20,
    backend: Backend = "auto",
    progress: bool = True,
    out: TextIO | None = None,
) -> DemoResult:
    """Run the epoch workload and print its report to `out`.

    Args:
        archive: Points in the initial static archive (uniform on the torus).
        population: Candidates per epoch.
        d: Dimension.
        k: Neighbours per candidate.
        epochs: Epochs to run.
        seed: Seed of the data, the moves and the hash parameters.
        step: Standard deviation, per coordinate, of a candidate's step and of
            an offspring's offset from its parent.
        recall_sample: Queries per epoch checked against exact search.
        backend: "native", "reference" or "auto" (see `PlovikSearch`).
        progress: Show a progress bar (needs tqdm; one line per epoch without it).
        out: Where the report goes (default: standard output).

    Returns:
        The figures of the run.
    """
    out = sys.stdout if out is None else out
    if archive < 0 or population < 1 or d < 1 or k < 1 or epochs < 0 or recall_sample < 0 or not step >= 0:
        raise ValueError(
            "archive >= 0, population >= 1, d >= 1, k >= 1, epochs >= 0, recall_sample >= 0 and step >= 0 are required"
        )
    rng = np.random.default_rng(seed)
    # every point ever indexed, by id: the archive, then each population in turn
    coords = np.empty((archive + population * (epochs + 1), d))
    coords[:archive] = rng.random((archive, d))
    pop = rng.random((population, d))
    coords[archive : archive + population] = pop

    result = DemoResult()
    search = PlovikSearch(d, seed=seed, backend=backend)
    t = time.perf_counter()
    # tuned for the size the archive reaches by the last epoch
    search.build(coords[: archive + population], n_static=archive, capacity=len(coords))
    result.add("build", time.perf_counter() - t, archive + population)
    p = search.params  # None when the search answers by the exact scan (no table)
    result.params = {} if p is None else dict(cells=p.b, components=p.k, tables=p.l, probes=p.probes)
    result.backend = search.backend
    print(
        f"plovik demo: archive {archive:,} points, population {population:,}, d = {d}, k = {k}, "
        f"{epochs} epochs, backend {search.backend}\n"
        + (
            "exact scan, no hash table"
            if p is None
            else f"hash: {p.l} tables x {p.k} components, {p.b} cells per coordinate, {p.probes} probes"
        ),
        file=out,
    )
    if search.tuning is not None:
        print(f"tuned for recall@{search.tuning.k} {search.tuning.target}: {search.tuning}", file=out)

    bar = _progress(epochs, progress, out)
    hits_exact: list[tuple[np.ndarray, np.ndarray]] = []
    for epoch in range(epochs):
        base = search.n_static
        n_all = search.n_points
        ids = np.arange(base, n_all, dtype=np.int64)

        pop = _wrap(pop + rng.normal(0.0, step, pop.shape))
        coords[base:n_all] = pop
        t = time.perf_counter()
        search.update(pop)
        result.add("update", time.perf_counter() - t, population)

        t = time.perf_counter()
        idx, dist = search.query_knn(pop, k, exclude_ids=ids)
        result.add("query_knn", time.perf_counter() - t, population)
        with np.errstate(divide="ignore"):
            density = 1.0 / dist.mean(axis=1)
        result.density_per_epoch.append(float(np.median(density)))

        if recall_sample:
            sample = rng.choice(population, size=min(recall_sample, population), replace=False)
            t = time.perf_counter()
            exact, _ = exact_knn(coords[:n_all], pop[sample], k, exclude_ids=ids[sample])
            result.add("exact search (sample)", time.perf_counter() - t, len(sample))
            hits_exact.append((idx[sample], exact))
            result.recall_per_epoch.append(recall_at_k(idx[sample], exact))

        # the sparsest half of the population leaves two offspring each
        parents = pop[np.argsort(density, kind="stable")[: (population + 1) // 2]]
        nxt = _wrap(np.repeat(parents, 2, axis=0)[:population] + rng.normal(0.0, step, (population, d)))
        coords[n_all : n_all + population] = nxt
        t = time.perf_counter()
        search.promote(nxt)
        result.add("promote", time.perf_counter() - t, population)
        pop = nxt

        if bar is not None:
            postfix = {"points": f"{search.n_points:,}", "density": f"{result.density_per_epoch[-1]:.3f}"}
            if result.recall_per_epoch:
                postfix[f"recall@{k}"] = f"{result.recall_per_epoch[-1]:.3f}"
            bar.set_postfix(postfix, refresh=False)
            bar.update(1)
        else:
            recall = f", recall@{k} {result.recall_per_epoch[-1]:.3f}" if result.recall_per_epoch else ""
            print(
                f"epoch {epoch + 1}/{epochs}: {search.n_points:,} points, median density "
                f"{result.density_per_epoch[-1]:.3f}{recall}",
                file=out,
            )
    if bar is not None:
        bar.close()

    if hits_exact:
        result.recall = recall_at_k(
            np.concatenate([f for f, _ in hits_exact]), np.concatenate([e for _, e in hits_exact])
        )
        result.recall_queries = sum(len(f) for f, _ in hits_exact)
    result.n_points, result.n_static = search.n_points, search.n_static
    print(report(result, k), file=out)
    return result


def report(result: DemoResult, k: int) -> str:
    """The final table: per-operation timings, then the recall line."""
    lines = ["", f"{'operation':<24}{'calls':>7}{'total s':>10}{'ms/call':>10}{'rows/s':>14}"]
    for op, seconds in result.seconds.items():
        calls, rows = result.calls[op], result.rows[op]
        rate = f"{rows / seconds:,.0f}" if seconds > 0 else "-"
        lines.append(f"{op:<24}{calls:>7}{seconds:>10.3f}{1000 * seconds / calls:>10.2f}{rate:>14}")
    lines.append("")
    if result.recall_queries:
        lines.append(
            f"recall@{k} against exact search: {result.recall:.4f} over {result.recall_queries:,} sampled queries"
        )
    if result.density_per_epoch:
        lines.append(
            f"median density score: {result.density_per_epoch[0]:.3f} in the first epoch, "
            f"{result.density_per_epoch[-1]:.3f} in the last"
        )
    lines.append(f"index: {result.n_points:,} points ({result.n_static:,} archived)")
    return "\n".join(lines)
