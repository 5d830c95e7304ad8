"""Synthetic point sets on the unit torus, shaped like the data users index.

Every generator takes a `numpy.random.Generator` and returns float64 rows in
[0, 1)^d. A `Shape` bundles one with the queries to expect (fresh draws of
the same process, or of a wider one), so that a benchmark or a test can ask
for n points and m queries of a named shape. The benchmark of
``python -m plovik bench`` measures the index on `SHAPES`.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

__all__ = [
    "SHAPES",
    "Shape",
    "clustered",
    "few_informative",
    "find_shape",
    "mixed_density",
    "periodic_liquid",
    "uniform",
]

Points = npt.NDArray[np.float64]


def _wrap(x: Points) -> Points:
    y = x - np.floor(x)
    y[y >= 1.0] = 0.0  # a tiny negative value rounds up to 1.0
    return y


def uniform(rng: np.random.Generator, n: int, d: int) -> Points:
    """Independent uniform points."""
    return rng.random((n, d))


def clustered(
    rng: np.random.Generator, n: int, d: int, clusters: int = 50, sigma: float = 0.02, centre_seed: int = 0
) -> Points:
    """Gaussian clusters (standard deviation `sigma` per coordinate) around
    `clusters` uniform centres, the same centres for the same `centre_seed`."""
    centres = np.random.default_rng([centre_seed, d, clusters]).random((clusters, d))
    return _wrap(centres[rng.integers(0, clusters, n)] + rng.normal(0.0, sigma, (n, d)))


def few_informative(rng: np.random.Generator, n: int, d: int, informative: int = 4, noise: float = 1e-3) -> Points:
    """`informative` uniform coordinates; the others near 0.5 with a little noise."""
    x = 0.5 + rng.normal(0.0, noise, (n, d))
    x[:, :informative] = rng.random((n, informative))
    return _wrap(x)


def mixed_density(rng: np.random.Generator, n: int, d: int, dense: float = 0.5) -> Points:
    """A share `dense` of the points in tight clusters, the rest uniform, shuffled."""
    m = round(n * dense)
    x = np.concatenate([clustered(rng, m, d, clusters=20, sigma=0.01), uniform(rng, n - m, d)])
    return x[rng.permutation(n)]


def periodic_liquid(rng: np.random.Generator, n: int, d: int = 3, jitter: float = 0.25) -> Points:
    """A snapshot of a dense periodic system: a cubic lattice of about n sites
    in the unit box, each site displaced by `jitter` lattice spacings
    (standard deviation per coordinate), then n of them taken at random."""
    side = max(1, int(np.ceil(n ** (1.0 / d))))
    grid = np.stack(np.meshgrid(*[np.arange(side)] * d, indexing="ij"), -1).reshape(-1, d)
    grid = grid[rng.permutation(len(grid))[:n]]
    return _wrap((grid + 0.5 + rng.normal(0.0, jitter, grid.shape)) / side)


@dataclass(frozen=True)
class Shape:
    """A named point set: `points(rng, n)` and `queries(rng, m)` of dimension `d`.

    `tuning_queries` says whether a benchmark should hand a sample of the
    queries to the tuning (`build(..., queries=...)`): true where the queries
    do not follow the points.
    """

    name: str
    d: int
    make_points: Callable[[np.random.Generator, int, int], Points]
    make_queries: Callable[[np.random.Generator, int, int], Points] | None = None
    tuning_queries: bool = False

    @property
    def key(self) -> str:
        """The name without spaces or "=", for command lines: "periodic-liquid-d3"."""
        return self.name.replace(" ", "-").replace("=", "")

    def points(self, rng: np.random.Generator, n: int) -> Points:
        return self.make_points(rng, n, self.d)

    def queries(self, rng: np.random.Generator, m: int) -> Points:
        make = self.make_points if self.make_queries is None else self.make_queries
        return make(rng, m, self.d)


def _away(rng: np.random.Generator, m: int, d: int) -> Points:
    # around the archive's clusters, twice as spread
    return clustered(rng, m, d, clusters=30, sigma=0.04)


SHAPES: dict[str, Shape] = {
    s.name: s
    for s in (
        Shape("uniform d=4", 4, uniform),
        Shape("uniform d=16", 16, uniform),
        Shape("uniform d=32", 32, uniform),
        Shape("clustered tight d=16", 16, lambda r, n, d: clustered(r, n, d, clusters=100, sigma=0.01)),
        Shape("clustered loose d=16", 16, lambda r, n, d: clustered(r, n, d, clusters=20, sigma=0.05)),
        Shape("4 of 24 coordinates vary", 24, few_informative),
        Shape("mixed density d=12", 12, mixed_density),
        Shape("periodic liquid d=3", 3, periodic_liquid),
        Shape(
            "queries away from clusters d=24",
            24,
            lambda r, n, d: clustered(r, n, d, clusters=30, sigma=0.02),
            _away,
            tuning_queries=True,
        ),
    )
}


def find_shape(name: str) -> Shape:
    """The shape of `SHAPES` with this key ("periodic-liquid-d3") or name
    ("periodic liquid d=3"); KeyError listing the keys otherwise."""
    shape = SHAPES.get(name) or next((s for s in SHAPES.values() if s.key == name), None)
    if shape is None:
        raise KeyError(f"unknown shape {name!r}; known: {', '.join(s.key for s in SHAPES.values())}")
    return shape
