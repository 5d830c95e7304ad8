"""The derived outputs of PlovikSearch (a single point, ids alone, a radius per query, counts,
pairs, CSR matrices) hold exactly the entries they come from; pairs brute force's when exact."""

import warnings

import numpy as np
import pytest

from plovik import PlovikSearch, exact_knn, exact_radius
from query_helpers import assert_rows_equal as same

try:
    import scipy.sparse as scipy_sparse
except ImportError:  # the sanitizer runs go without SciPy: the sparse checks are left out
    scipy_sparse = None


def searches():
    """A hashed and an exactly answering search on both backends, same data."""
    rng = np.random.default_rng(11)
    X = rng.random((1500, 4))
    out = []
    for backend in ("native", "reference"):
        for kw in (dict(cells=3, components=3, tables=4, probes=1), dict(exact=True, recall=1.0)):
            s = PlovikSearch(4, seed=3, backend=backend, **kw)
            s.build(X, 1200)
            out.append(s)
    return X, out


def entries(indptr, columns, values):
    """(row, column, value) of every entry of a CSR triple."""
    rows = np.repeat(np.arange(len(indptr) - 1), np.diff(indptr))
    return zip(rows.tolist(), columns.tolist(), values.tolist(), strict=True)


X, SEARCHES = searches()
IDS = [f"{s.backend}-{'exact' if s.tuning and s.tuning.exact else 'hash'}" for s in SEARCHES]


@pytest.mark.parametrize("search", SEARCHES, ids=IDS)
def test_knn_outputs_equal_the_rows_they_come_from(search):
    Q, own = X[:70], np.arange(70)
    idx, dist = search.query_knn(Q, 6, own)
    single = search.query_knn(Q[5], 6, 5)
    assert single[0].shape == (6,) and np.array_equal(single[0], idx[5]) and np.array_equal(single[1], dist[5])
    assert np.array_equal(search.query_knn(Q[5].tolist(), 6, [5])[0], idx[5])
    assert np.array_equal(search.query_knn(Q, 6, own, return_distance=False), idx)
    for with_dist, sparse in ((True, True), (False, "array"), (True, "matrix")) if scipy_sparse else ():
        if sparse == "matrix":  # the older class, for one more release
            with pytest.warns(FutureWarning, match="sparse='matrix'") as caught:
                m = search.query_knn(Q, 6, own, sparse=sparse, return_distance=with_dist)
            assert caught[0].filename == __file__  # the warning names the caller's line
            assert isinstance(m, scipy_sparse.csr_matrix)
        else:
            with warnings.catch_warnings():
                warnings.simplefilter("error")  # the array class warns of nothing
                m = search.query_knn(Q, 6, own, sparse=sparse, return_distance=with_dist)
            assert isinstance(m, scipy_sparse.csr_array)
        assert m.shape == (70, search.n_points)
        # rows keep the (distance, id) order of the dense rows, not the column order
        assert np.array_equal(m.indptr, np.arange(71) * 6) and np.array_equal(m.indices, idx.ravel())
        assert np.array_equal(m.data, dist.ravel() if with_dist else np.ones(420))
    if scipy_sparse:  # padding is left out of the matrix: more neighbours asked than points
        few = search.query_knn(Q[:2], search.n_points + 3, sparse=True)
        assert np.array_equal(np.diff(few.indptr), [search.n_points] * 2)


@pytest.mark.parametrize("search", SEARCHES, ids=IDS)
def test_radius_outputs_equal_the_rows_they_come_from(search):
    Q, own = X[:50], np.arange(50)
    radii = np.random.default_rng(2).choice([0.0, 0.05, 0.12, 0.3], 50)
    indptr, ids, dists = search.query_radius(Q, radii, own)
    # a radius per query is each query asked with its own radius
    for i in range(50):
        one = search.query_radius(Q[i], radii[i], int(own[i]))
        assert np.array_equal(one[0], ids[indptr[i] : indptr[i + 1]])
        assert np.array_equal(one[1], dists[indptr[i] : indptr[i + 1]])
    assert np.array_equal(search.query_radius(Q, radii, own, count_only=True), np.diff(indptr))
    assert search.query_radius(Q[3], radii[3], 3, count_only=True) == indptr[4] - indptr[3]
    same(search.query_radius(Q, radii, own, return_distance=False), (indptr, ids))
    if scipy_sparse:
        m = search.query_radius(Q, radii, own, sparse=True)
        assert isinstance(m, scipy_sparse.csr_array) and m.shape == (50, search.n_points) and m.nnz == len(ids)
        same((m.indptr, m.indices, m.data), (indptr, ids, dists))
    # one radius for all, given as an array of equal values, is the scalar call
    same(search.query_radius(Q, np.full(50, 0.12), own), search.query_radius(Q, 0.12, own))


@pytest.mark.parametrize("search", SEARCHES, ids=IDS)
def test_pairs_are_the_self_join_once_each(search):
    r = 0.2  # about two partners a point: many pairs share their first id
    pairs, dists = search.pairs(r)
    assert pairs.dtype == np.int64 and pairs.shape[1] == 2 and (pairs[:, 0] < pairs[:, 1]).all()
    assert np.array_equal(search.pairs(r, return_distance=False), pairs)
    # the union of both ends' radius rows
    n = search.n_points
    both = {(min(a, b), max(a, b)): d for a, b, d in entries(*search.query_radius(X[:n], r, np.arange(n)))}
    assert sorted(both) == [tuple(p) for p in pairs.tolist()]
    assert dists.tolist() == [both[tuple(p)] for p in pairs.tolist()]
    # a subset of brute force, with its distances; all of it when exact
    truth = {(a, b): d for a, b, d in entries(*exact_radius(X[:n], X[:n], r, np.arange(n))) if a < b}
    assert all(truth[tuple(p)] == d for p, d in zip(pairs.tolist(), dists.tolist(), strict=True))
    if search.tuning is not None and search.tuning.exact:
        assert len(pairs) == len(truth)
    assert search.pairs(0.0)[0].shape == (0, 2)
    if scipy_sparse:  # the upper triangle, each row in (distance, id) order
        g = search.pairs(r, sparse=True)
        assert isinstance(g, scipy_sparse.csr_array) and g.shape == (n, n) and g.nnz == len(pairs)
        rows = np.repeat(np.arange(n), np.diff(g.indptr))
        assert sorted(entries(g.indptr, g.indices, g.data)) == sorted((a, b, d) for (a, b), d in both.items())
        key = rows * 4.0 + g.data  # distances are at most 4 here (d = 4): rows first, then distance
        assert np.all((np.diff(key) > 0) | ((np.diff(key) == 0) & (np.diff(g.indices) > 0)))
        ones = search.pairs(r, sparse=True, return_distance=False)
        assert np.array_equal(ones.indices, g.indices) and np.array_equal(ones.data, np.ones(len(pairs)))
        assert search.pairs(0.0, sparse=True).nnz == 0


@pytest.mark.parametrize("search", SEARCHES, ids=IDS)
@pytest.mark.parametrize("e", [2, 9])
def test_several_excluded_ids_lose_no_neighbour(search, e):
    """(m, e) exclude_ids padded with -1: no excluded id returned, every other neighbour of the
    plain call still found, an exact search the exact functions' rows; radius rows lose them alone."""
    rng = np.random.default_rng(e)
    n, k, m = search.n_points, 5, 40
    Q = rng.random((m, 4))
    ex = rng.integers(-1, n, (m, e))
    plain_idx, plain_dist = search.query_knn(Q, k)
    ex[:, 1] = plain_idx[:, 0]  # the nearest is always among the excluded
    ex[::3, 0] = -1
    idx, dist = search.query_knn(Q, k, ex)
    assert (idx >= 0).all() and not (idx[:, :, None] == ex[:, None, :]).any() and np.all(np.diff(dist, axis=1) >= 0)
    for row, plain, out in zip(idx, plain_idx, ex, strict=True):
        assert set(plain.tolist()) - set(out.tolist()) <= set(row.tolist())
    indptr, ids, dists = search.query_radius(Q, 0.3, ex)
    full = search.query_radius(Q, 0.3)
    for i in range(m):
        a, b = full[0][i], full[0][i + 1]
        keep = ~np.isin(full[1][a:b], ex[i])
        assert np.array_equal(ids[indptr[i] : indptr[i + 1]], full[1][a:b][keep])
    if search.tuning is not None and search.tuning.exact:
        same((idx, dist), exact_knn(X[:n], Q, k, ex))
        same((indptr, ids, dists), exact_radius(X[:n], Q, 0.3, ex))
    # the same ids as a sparse matrix, row i's columns those query i excludes
    if scipy_sparse:
        csr = scipy_sparse.csr_array((np.ones((ex >= 0).sum()), (np.nonzero(ex >= 0)[0], ex[ex >= 0])), shape=(m, n))
        same(search.query_knn(Q, k, csr), (idx, dist))
        same(search.query_radius(Q, 0.3, csr), (indptr, ids, dists))
    same(search.query_knn(Q, k, ex[:, :0]), (plain_idx, plain_dist))  # no column: nothing excluded
    # a single point takes a 1-D array of its ids
    same(search.query_knn(Q[7], k, ex[7]), (idx[7], dist[7]))
    assert np.array_equal(search.query_radius(Q[7], 0.3, ex[7])[0], ids[indptr[7] : indptr[8]])
    with pytest.raises(ValueError, match=rf"or \(40, e\), e ids per query padded with -1, got shape \(40, {e}, 1\)"):
        search.query_knn(Q, k, ex[:, :, None])


@pytest.mark.parametrize("sparse", ["csr", 1, None])
def test_sparse_takes_a_bool_array_or_matrix(sparse):
    for method, args in (("query_knn", (X[:2], 3)), ("pairs", (0.1,)), ("query_radius", (X[:2], 0.1))):
        with pytest.raises(ValueError, match="sparse must be True, False, 'array' or 'matrix'"):
            getattr(SEARCHES[0], method)(*args, sparse=sparse)
