"""With `boxsize=L` every high-level entry point answers as on the data divided by L, distances
times L to the last bit; without it integer coordinates (all at the origin) are refused.
(ShardedSearch: test_distributed.py; a bad boxsize on every entry point: test_exact.py.)"""

import pickle

import numpy as np
import pytest

from plovik import ExactScan, PlovikSearch, exact_knn, exact_radius
from query_helpers import assert_rows_equal as _same

sklearn = pytest.importorskip("sklearn")
from plovik.sklearn import TorusNeighborsTransformer  # noqa: E402 - only once scikit-learn is known to be installed

D = 3


def _scaled(rows, L, dist_at=(1,)):
    """Rows of the unit-torus answer with the distances at `dist_at` times L."""
    return tuple(r * L if i in dist_at else r for i, r in enumerate(rows))


def _box(L, rng, n):
    """Points of a box of side L: an integer lattice when L is whole, else floats partly outside [0, L)."""
    if int(L) == L:
        return rng.integers(0, int(L), (n, D))
    return rng.uniform(-0.2 * L, 1.2 * L, (n, D))


@pytest.mark.parametrize(
    "L, tuned, backend", [(0.37, True, "native"), (6.0, False, "reference"), (1000.0, False, "native")]
)
def test_search_answers_as_on_the_data_divided_by_boxsize(L, tuned, backend):
    rng = np.random.default_rng(int(L * 100))
    X, Q, moved, batch = _box(L, rng, 900), rng.uniform(0, L, (70, D)), _box(L, rng, 100), _box(L, rng, 40)
    r, radii = 0.2 * L, rng.uniform(0, 0.3 * L, 70)
    settings = dict(seed=3, backend=backend, **({} if tuned else dict(tables=6, components=3, cells=4, probes=2)))
    box, unit = PlovikSearch(D, boxsize=L, **settings), PlovikSearch(D, **settings)
    assert box.boxsize == L and unit.boxsize is None
    box.build(X, 800, queries=Q[:20], sample=60, radius=r)
    unit.build(X / L, 800, queries=Q[:20] / L, sample=60, radius=r / L)
    if box.params is not None or unit.params is not None:  # none while the exact scan answers
        assert np.array_equal(box.params.u, unit.params.u) and box.params.b == unit.params.b
    if tuned:  # the report keeps the radius asked for
        assert box.tuning.radius == r and unit.tuning.radius == r / L and box.tuning.recall == unit.tuning.recall

    def compare():
        own = rng.integers(-1, unit.n_points, 70)
        _same(box.query_knn(Q, 5, own), _scaled(unit.query_knn(Q / L, 5, own), L))
        _same(box.query_knn(Q[3], 5, 7), _scaled(unit.query_knn(Q[3] / L, 5, 7), L))
        _same(box.query_radius(Q, r), _scaled(unit.query_radius(Q / L, r / L), L, (2,)))
        _same(box.query_radius(Q, radii, own), _scaled(unit.query_radius(Q / L, radii / L, own), L, (2,)))
        assert np.array_equal(box.query_radius(Q, r, count_only=True), unit.query_radius(Q / L, r / L, count_only=True))
        _same(box.pairs(r), _scaled(unit.pairs(r / L), L))
        a, b = box.query_knn(Q, 4, sparse=True), unit.query_knn(Q / L, 4, sparse=True)
        assert np.array_equal(a.indices, b.indices) and np.array_equal(a.data, b.data * L)
        assert box.estimate_recall(sample=50) == unit.estimate_recall(sample=50)

    compare()
    for name, data in (("update", moved), ("promote", batch), ("retune", None)):
        getattr(box, name)(*(() if data is None else (data,)))
        getattr(unit, name)(*(() if data is None else (data / L,)))
        compare()
    assert box.tables()["static_keys"].tobytes() == unit.tables()["static_keys"].tobytes()
    again = pickle.loads(pickle.dumps(box))
    assert again.boxsize == L
    _same(again.query_knn(Q, 5), box.query_knn(Q, 5))


@pytest.mark.parametrize("L", [0.37, 6.0])
def test_exact_scan_and_transformer_answer_as_on_the_data_divided_by_boxsize(L):
    rng = np.random.default_rng(int(L * 10))
    X, Q = _box(L, rng, 300), _box(L, rng, 40)
    r, own = 0.25 * L, rng.integers(-1, 300, 40)
    _same(exact_knn(X, Q, 6, own, boxsize=L), _scaled(exact_knn(X / L, Q / L, 6, own), L))
    _same(exact_radius(X, Q, r, own, boxsize=L), _scaled(exact_radius(X / L, Q / L, r / L, own), L, (2,)))
    scan = ExactScan(X, boxsize=L)
    _same(scan.knn(Q, 6, own), exact_knn(X, Q, 6, own, boxsize=L))
    _same(scan.radius(Q, r), exact_radius(X, Q, r, boxsize=L))
    for radius in (None, r) if int(L) == L else ():  # the transformer on the lattice alone
        kw = dict(n_neighbors=4, recall=0.9, random_state=0)
        box = TorusNeighborsTransformer(radius=radius, boxsize=L, **kw)
        unit = TorusNeighborsTransformer(radius=None if radius is None else r / L, **kw)
        for a, b in [(box.fit_transform(X), unit.fit_transform(X / L)), (box.transform(Q), unit.transform(Q / L))]:
            assert np.array_equal(a.indices, b.indices) and np.array_equal(a.indptr, b.indptr)
            assert np.array_equal(a.data, b.data * L)
        again = pickle.loads(pickle.dumps(box))
        assert np.array_equal(again.transform(Q).data, box.transform(Q).data)
    # a radius beyond the float range once divided is larger than every distance: all points are found
    assert len(exact_radius(POINTS * 1e-10, POINTS[:1] * 1e-10, 1e300, boxsize=1e-10)[1]) == 10


LATTICE = np.arange(30).reshape(10, D) % 4  # integer coordinates
POINTS = np.random.default_rng(1).random((10, D))
BIG = np.full((2, D), 1e300)  # beyond the float range once divided by a boxsize of 1e-10


def _in_a_tiny_box():
    s = PlovikSearch(D, tables=3, components=2, cells=3, probes=3, seed=0, boxsize=1e-10)
    s.build(POINTS * 1e-10)
    return s


# Integer coordinates need a boxsize; booleans are no coordinates whatever the boxsize;
# coordinates beyond the float range once divided by the boxsize are refused.
# (PlovikSearch's refusals: test_search.py; queries of the exact scan: test_exact.py)
INTEGERS = (ValueError, r"coordinates must be fractions of the period.*boxsize=L")
BOOLEANS = (TypeError, "must hold real numbers, got dtype bool")
BEYOND = (ValueError, "points / boxsize must be finite")
QUERIES_BEYOND = (ValueError, "queries / boxsize must be finite")
REFUSED_COORDINATES = {
    "exact_knn points": (lambda: exact_knn(LATTICE.tolist(), POINTS, 2), *INTEGERS),
    "exact_radius points": (lambda: exact_radius(LATTICE.astype(np.uint8), POINTS, 0.1), *INTEGERS),
    "ExactScan": (lambda: ExactScan(LATTICE), *INTEGERS),
    "transformer fit": (lambda: TorusNeighborsTransformer(n_neighbors=2).fit(LATTICE), *INTEGERS),
    "transformer transform": (
        lambda: TorusNeighborsTransformer(n_neighbors=2).fit(POINTS).transform(LATTICE),
        *INTEGERS,
    ),
    "exact_knn booleans": (lambda: exact_knn(LATTICE > 1, POINTS, 2, boxsize=2), *BOOLEANS),
    "transformer booleans": (lambda: TorusNeighborsTransformer(n_neighbors=2, boxsize=2).fit(LATTICE > 1), *BOOLEANS),
    "exact_knn beyond the floats": (lambda: exact_knn(BIG, POINTS, 1, boxsize=1e-10), *BEYOND),
    "build beyond the floats": (lambda: PlovikSearch(D, boxsize=1e-10).build(BIG), *BEYOND),
    "queries beyond the floats": (lambda: _in_a_tiny_box().query_knn(BIG, 1), *QUERIES_BEYOND),
}


@pytest.mark.parametrize("call, error, match", REFUSED_COORDINATES.values(), ids=REFUSED_COORDINATES.keys())
def test_integer_coordinates_need_a_boxsize_and_booleans_are_refused(call, error, match):
    with pytest.raises(error, match=match):
        call()
