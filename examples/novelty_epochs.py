"""Novelty scoring over epochs.

An archive of points only grows; a population of candidates moves a little
every epoch. Each candidate is scored by the mean distance to its k nearest
neighbours among everything indexed (itself excluded): the larger, the more
novel. The most novel half and their mutated copies form the next
population, and the old one is archived.

    python examples/novelty_epochs.py --n 100000 --epochs 10
"""

import argparse

import numpy as np

from plovik import PlovikSearch


def main(argv=None):
    ap = argparse.ArgumentParser(description="Novelty scoring over epochs.")
    ap.add_argument("--n", type=int, default=100_000, help="points in the first archive")
    ap.add_argument("--d", type=int, default=16, help="dimension")
    ap.add_argument("--k", type=int, default=10, help="neighbours scored")
    ap.add_argument("--epochs", type=int, default=10)
    args = ap.parse_args(argv)

    rng = np.random.default_rng(0)
    size = max(args.n // 10, 2)  # the population: a tenth of the archive
    population = rng.random((size, args.d))
    search = PlovikSearch(args.d, k=args.k, seed=0)
    # The archive is static; the population is the candidate tier (ids n .. n + size - 1).
    search.build(np.vstack([rng.random((args.n, args.d)), population]), n_static=args.n)

    for epoch in range(1, args.epochs + 1):
        population = (population + rng.normal(0, 0.01, population.shape)) % 1.0
        search.update(population)  # only the hash entries whose bucket changed move
        own = np.arange(search.n_static, search.n_points)
        _, dist = search.query_knn(population, args.k, exclude_ids=own)
        novelty = dist.mean(axis=1)
        print(
            f"epoch {epoch}: novelty mean {novelty.mean():.4f}, max {novelty.max():.4f}, "
            f"{search.n_points:,} points indexed"
        )
        parents = population[np.argsort(novelty)[size // 2 :]]
        children = (parents + rng.normal(0, 0.05, parents.shape)) % 1.0
        population = np.vstack([parents, children])[:size]
        search.promote(population)  # archive this population, install the next one
    print(
        f"archive: {search.n_static:,} points; recall@{args.k} now "
        f"{search.estimate_recall(sample=min(300, search.n_points)).recall:.3f}"
    )


if __name__ == "__main__":
    main()
