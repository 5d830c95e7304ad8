"""Shapes of query results that `PlovikSearch` derives from the raw rows.

The raw index answers k-nearest queries with two (m, k) arrays and radius
queries in compressed sparse row form (indptr, ids, dists). Everything here
is computed from those arrays alone, so each derived output holds exactly
the entries of the output it comes from:

- `radius_rows_within`: the rows of a radius query at a larger cutoff
  trimmed to each query's own radius (the hash gathers the same candidates
  whatever the radius, so this equals asking each query with its radius);
- `unique_pairs`: the unordered pairs of a self-join, each once as (i, j)
  with i < j;
- `knn_csr`, `radius_csr`: the same entries as a `scipy.sparse` CSR matrix
  (SciPy is an optional dependency, imported only here and only then).
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

__all__ = ["knn_csr", "radius_csr", "radius_rows_within", "unique_pairs"]


def radius_rows_within(
    indptr: npt.NDArray[np.int64], ids: npt.NDArray[np.int64], dists: npt.NDArray[np.float64],
    radii: npt.NDArray[np.float64],
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """Keep, in row i, the entries within radii[i], compared as the index does.

    The index rounds a radius to single precision and keeps a distance d
    when d <= that value (d itself a single-precision value widened), so the
    same comparison on the widened values gives the same rows.
    """
    cutoff = radii.astype(np.float32).astype(np.float64)
    lengths = np.diff(indptr)
    keep = dists <= np.repeat(cutoff, lengths)
    row_of = np.repeat(np.arange(len(lengths)), lengths)
    counts = np.bincount(row_of[keep], minlength=len(lengths))
    out = np.zeros(len(indptr), np.int64)
    np.cumsum(counts, out=out[1:])
    return out, ids[keep], dists[keep]


def unique_pairs(
    rows: npt.NDArray[np.int64], ids: npt.NDArray[np.int64], dists: npt.NDArray[np.float64]
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """The unordered pairs among (rows[e], ids[e]), each once as (i, j), i < j.

    Entries with rows[e] == ids[e] are dropped; a pair met from both ends
    (the distance is symmetric, so both carry the same value) is kept once.
    Returned sorted by (i, j).
    """
    lo, hi = np.minimum(rows, ids), np.maximum(rows, ids)
    distinct = lo != hi
    lo, hi, dists = lo[distinct], hi[distinct], dists[distinct]
    order = np.lexsort((hi, lo))
    lo, hi, dists = lo[order], hi[order], dists[order]
    first = np.ones(len(lo), bool)
    first[1:] = (lo[1:] != lo[:-1]) | (hi[1:] != hi[:-1])
    return np.stack([lo[first], hi[first]], axis=1).reshape(-1, 2), dists[first]


def _sparse() -> Any:
    try:
        import scipy.sparse
    except ImportError:
        raise ImportError(
            "sparse=True needs SciPy: install it (pip install scipy, or the extra plovik[sparse])"
        ) from None
    return scipy.sparse


def radius_csr(
    indptr: npt.NDArray[np.int64], ids: npt.NDArray[np.int64], dists: npt.NDArray[np.float64],
    n_points: int, return_distance: bool = True,
) -> Any:
    """(m, n_points) `scipy.sparse.csr_matrix` of the rows: column j of row i
    holds the distance of point j (or 1 without distances). Zero distances
    stay as explicit entries; a row's entries keep their (distance, id) order."""
    sparse = _sparse()
    data = dists if return_distance else np.ones(len(ids))
    m = len(indptr) - 1
    return sparse.csr_matrix((data, ids, indptr), shape=(m, n_points))


def knn_csr(
    idx: npt.NDArray[np.int64], dist: npt.NDArray[np.float64], n_points: int, return_distance: bool = True
) -> Any:
    """The k-nearest rows as an (m, n_points) CSR matrix; padding (-1) is left out."""
    found = idx >= 0
    indptr = np.zeros(idx.shape[0] + 1, np.int64)
    np.cumsum(found.sum(axis=1), out=indptr[1:])
    return radius_csr(indptr, idx[found], dist[found], n_points, return_distance)
