"""scikit-learn integration: the neighbours graph of points on the torus.

`TorusNeighborsTransformer` follows the contract of scikit-learn's
`KNeighborsTransformer` and `RadiusNeighborsTransformer`: `fit` indexes the
training points, `transform` returns the sparse graph of each query's
neighbours among them, and estimators that take `metric="precomputed"`
(DBSCAN, HDBSCAN, spectral embedding, t-SNE, UMAP, ...) then work on periodic
data through a pipeline. Needs the optional extra `plovik[sklearn]`
(scikit-learn and SciPy).
"""

from __future__ import annotations

from typing import Any

import numpy as np

try:
    from sklearn.base import BaseEstimator, TransformerMixin
    from sklearn.utils import check_random_state
    from sklearn.utils.validation import check_is_fitted, validate_data
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError("plovik.sklearn needs scikit-learn 1.6 or newer: pip install 'plovik[sklearn]'") from exc

from plovik import results as _results
from plovik.search import Backend, PlovikSearch
from plovik.validation import check_box, check_coordinate_dtype, check_metric

# Input dtypes kept as they are for the checks of `_coordinates` (others
# are converted to float64 by scikit-learn's validation).
_KEPT_DTYPES = ["float64", "float32", "int64", "int32", "int16", "int8", "uint64", "uint32", "uint16", "uint8", "bool"]

__all__ = ["TorusNeighborsTransformer"]


class TorusNeighborsTransformer(TransformerMixin, BaseEstimator):  # type: ignore[misc]  # scikit-learn ships no types
    """Sparse graph of the nearest neighbours under the toroidal L1 (or L2) distance.

    Points are rows of coordinates on the unit torus [0, 1)^d, with
    `boxsize=L` on [0, L)^d (a cubic periodic box; integer lattice sites
    included), or with `boxsize=(L1, ..., Ld)` in a box with one period per
    axis: values outside wrap around. Without `boxsize` integer arrays are
    refused, since every integer wraps to the origin.
    With `radius` None the graph holds each query's `n_neighbors` nearest
    training points, otherwise every training point within `radius`.

    As scikit-learn's neighbours transformers do, every training point is
    its own neighbour at distance 0 (kept as an explicit entry): in "distance"
    mode a k-nearest graph therefore holds `n_neighbors + 1` neighbours per
    row, so that an estimator reading it still finds `n_neighbors` others.

    The search is approximate as `PlovikSearch` is: `recall` is the share of
    the true neighbours it finds (1.0 answers exactly); every distance it
    reports is exact. In the metrics and boxes that `PlovikSearch` answers
    by the exact scan only, the graph is exact whatever `recall` says.

    Args:
        mode: "distance" (the graph holds distances) or "connectivity" (ones).
        n_neighbors: Neighbours per query of the k-nearest graph.
        radius: When given, the radius graph of this radius (in the metric).
        recall: Recall target of the index's tuning, in (0, 1].
        random_state: Seed of the hash (an int, a RandomState or None).
        backend: "auto", "native" or "reference", as for `PlovikSearch`.
        boxsize: The period L > 0 of the coordinates (None: 1), or a
            sequence of d periods, one per axis; distances and `radius` are
            in its units.
        metric: "l1" (toroidal L1, the default) or "euclidean" (toroidal
            L2: per coordinate the shorter way round, then the root of the
            sum of squares).

    Attributes:
        search_: The fitted `PlovikSearch`.
        n_samples_fit_: Training points.
        n_features_in_: Dimension d.
    """

    def __init__(
        self,
        *,
        mode: str = "distance",
        n_neighbors: int = 5,
        radius: float | None = None,
        recall: float = 0.95,
        random_state: Any = None,
        backend: Backend = "auto",
        boxsize: float | tuple[float, ...] | None = None,
        metric: str = "l1",
    ) -> None:
        self.mode = mode
        self.n_neighbors = n_neighbors
        self.radius = radius
        self.recall = recall
        self.random_state = random_state
        self.backend = backend
        self.boxsize = boxsize
        self.metric = metric

    def _neighbours(self) -> int:
        """Neighbours per row of the k-nearest graph, the point itself included in "distance" mode."""
        return self.n_neighbors + (self.mode == "distance")

    def fit(self, X: Any, y: Any = None) -> TorusNeighborsTransformer:
        """Index the training points X, an (n, d) array."""
        if self.mode not in ("distance", "connectivity"):
            raise ValueError(f'mode must be "distance" or "connectivity", got {self.mode!r}')
        if self.radius is None and (not isinstance(self.n_neighbors, (int, np.integer)) or self.n_neighbors < 1):
            raise ValueError(f"n_neighbors must be a positive integer, got {self.n_neighbors!r}")
        check_metric(self.metric)
        X = self._coordinates(X, reset=True)
        self.seed_ = int(check_random_state(self.random_state).randint(0, 2**31 - 1))
        self._index(X)
        return self

    def _coordinates(self, X: Any, reset: bool) -> np.ndarray:
        """X validated by scikit-learn as float64; booleans, and integers
        without a boxsize, refused first."""
        X = validate_data(self, X, dtype=_KEPT_DTYPES, reset=reset)
        if X.dtype.kind == "b":
            raise TypeError(f"X must hold real numbers, got dtype {X.dtype}")
        check_coordinate_dtype(X.dtype, "X", check_box(self.boxsize, X.shape[1]))
        return np.asarray(X, dtype=np.float64)

    def _index(self, X: np.ndarray) -> None:
        k = max(1, min(self._neighbours() if self.radius is None else 10, X.shape[0]))
        search = PlovikSearch(
            X.shape[1],
            recall=self.recall,
            k=k,
            seed=self.seed_,
            backend=self.backend,
            boxsize=self.boxsize,
            metric=self.metric,
        )
        search.build(X, radius=self.radius)
        self.search_ = search
        self.n_samples_fit_ = X.shape[0]
        self._fit_X = X

    def transform(self, X: Any) -> Any:
        """The (n_queries, n_samples_fit) CSR graph of each row's neighbours in the training points."""
        check_is_fitted(self, "search_")
        X = self._coordinates(X, reset=False)
        distances = self.mode == "distance"
        if self.radius is not None:
            indptr, ids, dists = self.search_.query_radius(X, self.radius)
            return _results.radius_csr(indptr, ids, dists, self.search_.n_points, distances, kind="matrix")
        k = self._neighbours()
        if k > self.n_samples_fit_:
            raise ValueError(
                f"Expected n_neighbors <= n_samples_fit, but n_neighbors = {k}, n_samples_fit = "
                f"{self.n_samples_fit_}, n_samples = {X.shape[0]}"
            )
        # scikit-learn's own transformers return csr_matrix graphs: so does this one
        idx, dist = self.search_.query_knn(X, k)
        return _results.knn_csr(idx, dist, self.search_.n_points, distances, kind="matrix")

    def fit_transform(self, X: Any, y: Any = None) -> Any:
        """`fit(X)`, then `transform(X)`: each point is its own neighbour."""
        return self.fit(X, y).transform(X)

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        tags.transformer_tags.preserves_dtype = ["float64"]
        tags.input_tags.allow_nan = False
        return tags

    # The compiled index cannot be pickled: a fitted transformer keeps its
    # training points and builds the same index again from the same seed.
    def __getstate__(self) -> dict[str, Any]:
        state = self.__dict__.copy()
        state.pop("search_", None)
        return state

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__dict__.update(state)
        self.__dict__.setdefault("boxsize", None)  # pickled before boxsize existed
        self.__dict__.setdefault("metric", "l1")  # pickled before metric existed
        if "_fit_X" in state:
            self._index(state["_fit_X"])
