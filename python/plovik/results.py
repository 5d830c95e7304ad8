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
- `split_exclusions`, `knn_without`, `radius_without`: several excluded ids
  per query: the index leaves out the first, a k-nearest search widened by
  the number of the others finds k more, and these drop the others from
  the rows;
- `knn_csr`, `radius_csr`, `pairs_csr`: the same entries as a
  `scipy.sparse.csr_array` (or the older `csr_matrix`), each row in
  (distance, id) order; SciPy is an optional dependency, imported only here
  and only then. `sparse_kind` reads the `sparse=` argument of the queries.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from plovik.caller import warn

__all__ = [
    "knn_csr",
    "knn_without",
    "padded_exclusions",
    "pairs_csr",
    "radius_csr",
    "radius_rows_within",
    "radius_without",
    "sparse_kind",
    "split_exclusions",
    "unique_pairs",
]


def radius_rows_within(
    indptr: npt.NDArray[np.int64],
    ids: npt.NDArray[np.int64],
    dists: npt.NDArray[np.float64],
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


def padded_exclusions(value: object) -> object:
    """exclude_ids given as a SciPy sparse matrix or array, (m, n_points) with
    row i's stored columns the ids query i excludes (the values are not
    read), as the (m, e) array padded with -1 that the queries take;
    anything else as it is."""
    if not (hasattr(value, "tocsr") and hasattr(value, "nnz")):
        return value
    csr = value.tocsr()
    indptr, cols = np.asarray(csr.indptr, np.int64), np.asarray(csr.indices, np.int64)
    counts = np.diff(indptr)
    out = np.full((csr.shape[0], int(counts.max(initial=0))), -1, np.int64)
    rows = np.repeat(np.arange(csr.shape[0]), counts)
    out[rows, np.arange(cols.size) - indptr[rows]] = cols
    return out


def split_exclusions(
    ex: npt.NDArray[np.int64],
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64] | None]:
    """Checked exclude_ids, (m,) or (m, e) padded with -1, as the one id per
    query the index leaves out itself (the first column; -1 for e = 0) and
    the others (None when there are none)."""
    if ex.ndim == 1:
        return ex, None
    first = np.ascontiguousarray(ex[:, 0]) if ex.shape[1] else np.full(ex.shape[0], -1, np.int64)
    return first, (np.ascontiguousarray(ex[:, 1:]) if ex.shape[1] > 1 else None)


# Rows are compared with the excluded ids in blocks of about this many
# (entry, excluded id) pairs, which bounds the scratch memory.
_COMPARE_BLOCK = 1 << 22


def _excluded(found: npt.NDArray[np.int64], more: npt.NDArray[np.int64]) -> npt.NDArray[np.bool_]:
    """found[i, j] is one of more[i] (-1 entries of either never match)."""
    out = np.zeros(found.shape, bool)
    step = max(1, _COMPARE_BLOCK // max(1, found.shape[1] * more.shape[1]))
    for a in range(0, found.shape[0], step):
        f, e = found[a : a + step], more[a : a + step]
        out[a : a + step] = (f[:, :, None] == e[:, None, :]).any(axis=2) & (f >= 0)
    return out


def knn_without(
    idx: npt.NDArray[np.int64],
    dist: npt.NDArray[np.float64],
    more: npt.NDArray[np.int64],
    k: int,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """(m, k) rows from rows of k + more.shape[1] neighbours: the ids of
    more[i] dropped from row i, the order kept, padded with -1 / inf."""
    keep = ~_excluded(idx, more)
    order = np.argsort(~keep, axis=1, kind="stable")[:, :k]  # kept entries first, in their order
    out_idx, out_dist = np.take_along_axis(idx, order, 1), np.take_along_axis(dist, order, 1)
    past = np.arange(k)[None, :] >= keep.sum(axis=1)[:, None]
    out_idx[past], out_dist[past] = -1, np.inf
    return out_idx, out_dist


def radius_without(
    indptr: npt.NDArray[np.int64],
    ids: npt.NDArray[np.int64],
    dists: npt.NDArray[np.float64],
    more: npt.NDArray[np.int64],
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """The radius rows with the ids of more[i] dropped from row i."""
    m = len(indptr) - 1
    row_of = np.repeat(np.arange(m), np.diff(indptr))
    keep = ~_excluded(ids[:, None], more[row_of])[:, 0]
    out = np.zeros(m + 1, np.int64)
    np.cumsum(np.bincount(row_of[keep], minlength=m), out=out[1:])
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


def sparse_kind(sparse: object) -> str | None:
    """The `sparse=` of a query: False for arrays (None here), True or
    "array" for a `csr_array`, "matrix" for a `csr_matrix`, which is
    deprecated (a FutureWarning) and will be removed in the next release."""
    if isinstance(sparse, (bool, np.bool_)):
        return "array" if sparse else None
    if isinstance(sparse, str) and sparse in ("array", "matrix"):
        if sparse == "matrix":
            warn(
                "sparse='matrix' (a scipy.sparse.csr_matrix) is deprecated and will be removed in "
                "the next release; sparse=True gives a csr_array with the same entries",
                FutureWarning,
            )
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
    indptr: npt.NDArray[np.int64],
    ids: npt.NDArray[np.int64],
    dists: npt.NDArray[np.float64],
    n_points: int,
    return_distance: bool = True,
    kind: str = "array",
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
    idx: npt.NDArray[np.int64],
    dist: npt.NDArray[np.float64],
    n_points: int,
    return_distance: bool = True,
    kind: str = "array",
) -> Any:
    """The k-nearest rows as an (m, n_points) CSR array; padding (-1) is left out."""
    found = idx >= 0
    indptr = np.zeros(idx.shape[0] + 1, np.int64)
    np.cumsum(found.sum(axis=1), out=indptr[1:])
    return radius_csr(indptr, idx[found], dist[found], n_points, return_distance, kind)


def pairs_csr(
    pairs: npt.NDArray[np.int64],
    dists: npt.NDArray[np.float64],
    n_points: int,
    return_distance: bool = True,
    kind: str = "array",
) -> Any:
    """The pairs (i, j), i < j, as the upper triangle of an (n_points,
    n_points) CSR array: row i holds its partners j > i in (distance, id) order."""
    i, j = pairs[:, 0], pairs[:, 1]
    order = np.lexsort((j, dists, i))
    indptr = np.zeros(n_points + 1, np.int64)
    np.cumsum(np.bincount(i, minlength=n_points), out=indptr[1:])
    return radius_csr(indptr, j[order], dists[order], n_points, return_distance, kind)
