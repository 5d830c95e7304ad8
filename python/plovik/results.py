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
- `knn_csr`, `radius_csr`, `pairs_csr`: the same entries as a
  `scipy.sparse.csr_array` (or the older `csr_matrix`), each row in
  (distance, id) order; SciPy is an optional dependency, imported only here
  and only then. `sparse_kind` reads the `sparse=` argument of the queries.
"""

from __future__ import annotations

import os
import sys
import warnings
from typing import Any

import numpy as np
import numpy.typing as npt

__all__ = ["knn_csr", "pairs_csr", "radius_csr", "radius_rows_within", "sparse_kind", "unique_pairs"]


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


_PACKAGE = os.path.dirname(os.path.abspath(__file__))


def _caller_level() -> int:
    """The stack level of the first frame outside plovik, for a warning that
    points at the user's call whatever the depth of wrappers."""
    frame, level = sys._getframe(1), 1
    while frame is not None and os.path.dirname(os.path.abspath(frame.f_code.co_filename)) == _PACKAGE:
        frame, level = frame.f_back, level + 1
    return level


def sparse_kind(sparse: object) -> str | None:
    """The `sparse=` of a query: False for arrays (None here), True or
    "array" for a `csr_array`, "matrix" for a `csr_matrix`, which is
    deprecated (a FutureWarning) and will be removed in the next release."""
    if isinstance(sparse, (bool, np.bool_)):
        return "array" if sparse else None
    if isinstance(sparse, str) and sparse in ("array", "matrix"):
        if sparse == "matrix":
            warnings.warn("sparse='matrix' (a scipy.sparse.csr_matrix) is deprecated and will be removed in "
                          "the next release; sparse=True gives a csr_array with the same entries",
                          FutureWarning, stacklevel=_caller_level())
        return sparse
    raise ValueError(f"sparse must be True, False, 'array' or 'matrix', got {sparse!r}")


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
    n_points: int, return_distance: bool = True, kind: str = "array",
) -> Any:
    """(m, n_points) `scipy.sparse.csr_array` (`kind="matrix"`: `csr_matrix`)
    of the rows: column j of row i holds the distance of point j (or 1
    without distances). Zero distances stay as explicit entries; a row's
    entries keep their (distance, id) order."""
    sparse = _sparse()
    data = dists if return_distance else np.ones(len(ids))
    m = len(indptr) - 1
    cls = sparse.csr_matrix if kind == "matrix" else sparse.csr_array
    return cls((data, ids, indptr), shape=(m, n_points))


def knn_csr(
    idx: npt.NDArray[np.int64], dist: npt.NDArray[np.float64], n_points: int, return_distance: bool = True,
    kind: str = "array",
) -> Any:
    """The k-nearest rows as an (m, n_points) CSR array; padding (-1) is left out."""
    found = idx >= 0
    indptr = np.zeros(idx.shape[0] + 1, np.int64)
    np.cumsum(found.sum(axis=1), out=indptr[1:])
    return radius_csr(indptr, idx[found], dist[found], n_points, return_distance, kind)


def pairs_csr(
    pairs: npt.NDArray[np.int64], dists: npt.NDArray[np.float64], n_points: int, return_distance: bool = True,
    kind: str = "array",
) -> Any:
    """The pairs (i, j), i < j, as the upper triangle of an (n_points,
    n_points) CSR array: row i holds its partners j > i in (distance, id) order."""
    i, j = pairs[:, 0], pairs[:, 1]
    order = np.lexsort((j, dists, i))
    indptr = np.zeros(n_points + 1, np.int64)
    np.cumsum(np.bincount(i, minlength=n_points), out=indptr[1:])
    return radius_csr(indptr, j[order], dists[order], n_points, return_distance, kind)
