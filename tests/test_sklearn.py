"""TorusNeighborsTransformer: scikit-learn's estimator checks, and its graphs
against scikit-learn's own neighbours transformers on a brute-force toroidal
distance matrix (the self-included convention included)."""

import numpy as np
import pytest

pytest.importorskip("sklearn")
from sklearn.cluster import DBSCAN
from sklearn.neighbors import KNeighborsTransformer, RadiusNeighborsTransformer
from sklearn.pipeline import make_pipeline
from sklearn.utils.estimator_checks import parametrize_with_checks

from plovik import torus_distance
from plovik.sklearn import TorusNeighborsTransformer

ESTIMATORS = [
    TorusNeighborsTransformer(),
    TorusNeighborsTransformer(mode="connectivity", n_neighbors=3),
    TorusNeighborsTransformer(radius=0.5),
    TorusNeighborsTransformer(n_neighbors=3, boxsize=4.0),
    TorusNeighborsTransformer(n_neighbors=3, metric="euclidean"),
]


def integer_checks(estimator):
    """Checks that feed small integer arrays: on the unit torus those are refused."""
    reason = "coordinates must be fractions of the period: integer arrays are refused without boxsize="
    return {} if estimator.boxsize is not None else {"check_estimators_dtypes": reason}


# Array-API input is checked only with SCIPY_ARRAY_API set; the checks skip it themselves.
@parametrize_with_checks(ESTIMATORS, expected_failed_checks=integer_checks)
def test_estimator_checks(estimator, check):
    check(estimator)


def torus_distances(a, b, metric="l1", boxsize=None):
    return torus_distance(a[:, None, :], b[None, :, :], metric=metric, boxsize=boxsize)


def data():
    rng = np.random.default_rng(4)
    return rng.random((300, 3)) * 2.0 - 0.5, rng.random((40, 3))  # training points partly outside [0, 1)


@pytest.mark.parametrize("mode", ["distance", "connectivity"])
@pytest.mark.parametrize("radius", [None, 0.25])
@pytest.mark.parametrize(
    "metric, boxsize",
    [("l1", None), ("euclidean", None), ("euclidean", (1.0, 2.0, 0.5)), ("l1", (1.0, 2.0, 0.5))],
)
def test_graphs_match_scikit_learn_on_the_exact_distances(mode, radius, metric, boxsize):
    X, Q = data()
    if boxsize is not None:
        X, Q = X * boxsize, Q * boxsize
    ours = TorusNeighborsTransformer(
        mode=mode, n_neighbors=4, radius=radius, recall=1.0, random_state=0, metric=metric, boxsize=boxsize
    )
    if radius is None:
        theirs = KNeighborsTransformer(mode=mode, n_neighbors=4, metric="precomputed")
    else:
        theirs = RadiusNeighborsTransformer(mode=mode, radius=radius, metric="precomputed")
    for got, want in [
        (ours.fit_transform(X), theirs.fit_transform(torus_distances(X, X, metric, boxsize))),
        (ours.transform(Q), theirs.transform(torus_distances(Q, X, metric, boxsize))),
    ]:
        assert got.shape == want.shape and got.format == "csr"
        assert type(got) is type(want)  # a csr_matrix, as scikit-learn's own transformers give
        for i in range(got.shape[0]):
            a, b = got[i], want[i]
            assert sorted(a.indices) == sorted(b.indices)
            np.testing.assert_allclose(a[:, a.indices].toarray(), b[:, a.indices].toarray(), rtol=1e-6, atol=1e-7)
    # each training point is its own neighbour, an explicit zero in "distance" mode
    G = ours.fit_transform(X)
    if radius is None:  # the search is tuned for the neighbours a row holds (the point itself too in "distance" mode)
        assert ours.search_.tuning.k == 4 + (mode == "distance")
    assert all(i in G[i].indices for i in range(len(X)))
    if mode == "distance":
        assert (G.diagonal() == 0).all() and G.nnz > np.count_nonzero(G.data)


def test_dbscan_on_the_graph_clusters_across_the_boundary():
    rng = np.random.default_rng(7)
    # two blobs, one of them wrapped across the edge x = 0 / x = 1
    a = (np.array([0.0, 0.5]) + rng.normal(0, 0.02, (100, 2))) % 1.0
    b = (np.array([0.5, 0.5]) + rng.normal(0, 0.02, (100, 2))) % 1.0
    X = np.vstack([a, b])
    pipe = make_pipeline(
        TorusNeighborsTransformer(radius=0.05, recall=1.0, random_state=0),
        DBSCAN(eps=0.05, min_samples=5, metric="precomputed"),
    )
    labels = pipe.fit_predict(X)
    want = DBSCAN(eps=0.05, min_samples=5, metric="precomputed").fit_predict(torus_distances(X, X))
    assert np.array_equal(labels, want) and len(set(labels[:100]) - {-1}) == 1 and len(set(labels) - {-1}) == 2


def test_bad_settings_refused_at_fit_and_parameters_set_after_construction():
    X, Q = data()
    # (bad metrics and boxes, refused at fit too: test_exact.py)
    mode, neighbours = 'mode must be "distance" or "connectivity"', "n_neighbors must be a positive integer"
    for name, value, message in [("mode", "graph", mode), ("n_neighbors", 0, neighbours)]:
        estimator = TorusNeighborsTransformer(**{name: value})  # kept as given, as scikit-learn's conventions ask
        assert estimator.get_params()[name] == value
        with pytest.raises(ValueError, match=message):
            estimator.fit(X)
    with pytest.raises(ValueError, match="Expected n_neighbors <= n_samples_fit"):
        TorusNeighborsTransformer(n_neighbors=10).fit_transform(X[:10])
    # set_params then fit: the graph of the new metric and sides, as constructed with them
    sides = (1.0, 2.0, 0.5)
    est = TorusNeighborsTransformer(n_neighbors=3, random_state=0).set_params(metric="euclidean", boxsize=sides)
    want = TorusNeighborsTransformer(n_neighbors=3, random_state=0, metric="euclidean", boxsize=sides)
    got, expected = est.fit(X * sides).transform(Q * sides), want.fit(X * sides).transform(Q * sides)
    assert (got != expected).nnz == 0 and est.search_.metric == "euclidean" and est.search_.boxsize == sides
