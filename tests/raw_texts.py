"""The raw class's own texts, word for word: what callers and peers match.

Each docstring begins with its text signature and the "--" line, as it is
stored; the interpreter splits it into `__text_signature__` and `__doc__`.
The tests read these texts from here and nowhere else.
"""

LAYOUT = "The given array is not contiguous or is misaligned."
SHAPE = "S and U must have shape (L, K)"
BORROWED = "Already borrowed"
MUTABLY_BORROWED = "Already mutably borrowed"

DOCSTRINGS = {
    "RustLshIndex": """\
RustLshIndex(b, k, l, probes, s, u, block=1024)
--

Toroidal-L1 LSH index, compiled.

Behaviourally identical to `plovik.lsh.PythonLshIndex` \u2014 given the same
parameters the hash tables are byte-identical \u2014 at 25-75x the speed. It is
selected automatically by `plovik.PlovikSearch`; construct that instead of
this, which takes pre-drawn hash parameters and validates nothing.

Two tiers: a *static* tier hashed and key-sorted once, growing only by
`promote`, and a *candidate* tier refreshed per epoch by `update`. The
index is exact after every operation \u2014 the hash decides which points are
compared, never how far apart they are.""",
    "build": """\
build($self, points, n_static)
--

Hash and sort both tiers from scratch.

Args:
    points: `(n, d)` float64 in `[0, 1)`; the first `n_static` rows
        are the static tier, the rest the candidate tier.
    n_static: Size of the static tier.""",
    "tables": """\
tables($self)
--

The raw hash tables, for cross-implementation comparison.

Returns the sorted keys and ids of both tiers. These are what
"byte-identical to the reference" is asserted on, so the layout is
part of the contract rather than an implementation detail.""",
    "query_knn": """\
query_knn($self, queries, k, exclude_ids=None)
--

Exact k nearest neighbours of each query under toroidal L1.

The hash selects candidates; every returned distance is exact. Rows
are ascending by `(distance, id)` and padded with `-1` / `inf` when
fewer than `k` points exist.

Args:
    queries: `(m, d)` float64 in `[0, 1)`.
    k: Neighbours per query.
    exclude_ids: Optional `(m,)` int64, one id excluded per query \u2014
        the self-join.

Returns:
    `(idx, dist)`, both `(m, k)`: int64 ids and float64 distances.""",
    "query_radius": """\
query_radius($self, queries, radius, exclude_ids=None)
--

Every point within `radius` of each query, exactly.

Args:
    queries: `(m, d)` float64 in `[0, 1)`.
    radius: Toroidal-L1 cutoff.
    exclude_ids: Optional `(m,)` int64, one id excluded per query.

Returns:
    `(indptr, ids, dists)` in CSR form: query `i` owns
    `ids[indptr[i]:indptr[i+1]]`.""",
    "update": """\
update($self, coords)
--

Selective refresh: re-place only entries whose key changed, by
delete + merge (new-before-kept on equal keys).""",
    "promote": """\
promote($self, new_candidates)
--

Merge candidates into the static tier (candidate-before-static on
equal keys), then install the new batch.""",
    "stats": """\
stats($self)
--

Cumulative query-phase profile: CPU-ns summed across workers, plus
gathered-candidate and relaxation counters. Reset with reset_stats().""",
    "reset_stats": """\
reset_stats($self)
--

Zero the counters read by `stats`.""",
}

PROPERTY_DOCS = {
    "n_points": "Points in the index, both tiers.",
    "n_static": "Points in the static tier.",
    "n_candidates": "Points in the candidate tier.",
}
