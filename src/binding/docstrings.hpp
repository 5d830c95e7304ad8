// The docstrings of the class and of the module's functions. Each
// method's and function's begins with its text signature, which the
// interpreter exposes as __text_signature__.
#pragma once

namespace plovik::py::doc {

// The class's and the eight methods' docstrings are its contract, kept word
// for word even where a sentence says less than the class now does (it
// checks its arguments, for one): callers and peers compare these texts.
inline constexpr const char* index_class =
    "RustLshIndex(b, k, l, probes, s, u, block=1024)\n--\n\n"
    "Toroidal-L1 LSH index, compiled.\n\n"
    "Behaviourally identical to `plovik.lsh.PythonLshIndex` \xE2\x80\x94 given the same\n"
    "parameters the hash tables are byte-identical \xE2\x80\x94 at 25-75x the speed. It is\n"
    "selected automatically by `plovik.PlovikSearch`; construct that instead of\n"
    "this, which takes pre-drawn hash parameters and validates nothing.\n\n"
    "Two tiers: a *static* tier hashed and key-sorted once, growing only by\n"
    "`promote`, and a *candidate* tier refreshed per epoch by `update`. The\n"
    "index is exact after every operation \xE2\x80\x94 the hash decides which points are\n"
    "compared, never how far apart they are.";

inline constexpr const char* build =
    "build($self, points, n_static)\n--\n\n"
    "Hash and sort both tiers from scratch.\n\n"
    "Args:\n"
    "    points: `(n, d)` float64 in `[0, 1)`; the first `n_static` rows\n"
    "        are the static tier, the rest the candidate tier.\n"
    "    n_static: Size of the static tier.";

inline constexpr const char* tables =
    "tables($self)\n--\n\n"
    "The raw hash tables, for cross-implementation comparison.\n\n"
    "Returns the sorted keys and ids of both tiers. These are what\n"
    "\"byte-identical to the reference\" is asserted on, so the layout is\n"
    "part of the contract rather than an implementation detail.";

inline constexpr const char* query_knn =
    "query_knn($self, queries, k, exclude_ids=None)\n--\n\n"
    "Exact k nearest neighbours of each query under toroidal L1.\n\n"
    "The hash selects candidates; every returned distance is exact. Rows\n"
    "are ascending by `(distance, id)` and padded with `-1` / `inf` when\n"
    "fewer than `k` points exist.\n\n"
    "Args:\n"
    "    queries: `(m, d)` float64 in `[0, 1)`.\n"
    "    k: Neighbours per query.\n"
    "    exclude_ids: Optional `(m,)` int64, one id excluded per query \xE2\x80\x94\n"
    "        the self-join.\n\n"
    "Returns:\n"
    "    `(idx, dist)`, both `(m, k)`: int64 ids and float64 distances.";

inline constexpr const char* query_radius =
    "query_radius($self, queries, radius, exclude_ids=None)\n--\n\n"
    "Every point within `radius` of each query, exactly.\n\n"
    "Args:\n"
    "    queries: `(m, d)` float64 in `[0, 1)`.\n"
    "    radius: Toroidal-L1 cutoff.\n"
    "    exclude_ids: Optional `(m,)` int64, one id excluded per query.\n\n"
    "Returns:\n"
    "    `(indptr, ids, dists)` in CSR form: query `i` owns\n"
    "    `ids[indptr[i]:indptr[i+1]]`.";

inline constexpr const char* update =
    "update($self, coords)\n--\n\n"
    "Selective refresh: re-place only entries whose key changed, by\n"
    "delete + merge (new-before-kept on equal keys).";

inline constexpr const char* promote =
    "promote($self, new_candidates)\n--\n\n"
    "Merge candidates into the static tier (candidate-before-static on\n"
    "equal keys), then install the new batch.";

inline constexpr const char* retire =
    "retire($self, ids)\n--\n\n"
    "Retire points: no query returns them again, from either tier.\n\n"
    "Their ids stay taken (never given to another point) and their entries\n"
    "leave every table of their tier (`tables()` lists the live entries;\n"
    "`cand_keys` keeps every candidate); `update` still moves a retired\n"
    "candidate and `promote` archives it, retired, both without entries.\n"
    "`build` starts with none retired. Retiring an id again changes\n"
    "nothing.\n\n"
    "Args:\n"
    "    ids: `(m,)` int64, each in `[0, n_points)`; otherwise ValueError\n"
    "        and nothing is retired.";

inline constexpr const char* stats =
    "stats($self)\n--\n\n"
    "Cumulative query-phase profile: CPU-ns summed across workers, plus\n"
    "gathered-candidate and relaxation counters. Reset with reset_stats().";

inline constexpr const char* reset_stats =
    "reset_stats($self)\n--\n\n"
    "Zero the counters read by `stats`.";

inline constexpr const char* n_points = "Points in the index, both tiers.";
inline constexpr const char* n_static = "Points in the static tier.";
inline constexpr const char* n_candidates = "Points in the candidate tier.";
inline constexpr const char* n_retired = "Points retired, both tiers (counted in n_points too).";

inline constexpr const char* points =
    "points($self)\n--\n\n"
    "The coordinates distances are measured on: an `(n_points, d)` float32\n"
    "copy, every point wrapped onto `[0, 1)` and rounded to single precision\n"
    "(rows by id). The index keeps no other copy of the static points.";

inline constexpr const char* nbytes = "Bytes the index holds, an int: the sum of `nbytes_by_part`.";

inline constexpr const char* nbytes_by_part =
    "Bytes the index holds, by part, a dict of ints:\n"
    "    coordinates: single precision of every point, and double precision\n"
    "        of the candidates (an update rehashes only rows that changed);\n"
    "    ids: the 32-bit ids of both tiers' tables;\n"
    "    directories: where each bucket lies (a dense directory per tier\n"
    "        when the key space is small, else the occupied buckets' keys\n"
    "        and starts);\n"
    "    reuse: large arrays that build, update or promote replaced, kept\n"
    "        for the next such call (at most an eighth of the rest).";

inline constexpr const char* exact_knn =
    "exact_knn(points, queries, k, exclude_ids=None)\n--\n\n"
    "The k nearest points of each query under toroidal L1, by brute force.\n\n"
    "Every query is compared with every point, with the index's distances:\n"
    "coordinates wrapped onto [0, 1) and rounded to single precision, the\n"
    "terms summed in the order of the index's per-query path. Rows are\n"
    "ascending by `(distance, id)` and padded with `-1` / `inf` when fewer\n"
    "than `k` points are left.\n\n"
    "Args:\n"
    "    points: `(n, d)` float64.\n"
    "    queries: `(m, d)` float64.\n"
    "    k: Neighbours per query.\n"
    "    exclude_ids: Optional `(m,)` int64, one id excluded per query.\n\n"
    "Returns:\n"
    "    `(idx, dist)`, both `(m, k)`: int64 ids and float64 distances.";

inline constexpr const char* exact_radius =
    "exact_radius(points, queries, radius, exclude_ids=None)\n--\n\n"
    "Every point within `radius` of each query under toroidal L1, by brute\n"
    "force, with the index's distances; the radius is inclusive and rounded\n"
    "to single precision as `query_radius` rounds it.\n\n"
    "Args:\n"
    "    points: `(n, d)` float64.\n"
    "    queries: `(m, d)` float64.\n"
    "    radius: Toroidal-L1 cutoff.\n"
    "    exclude_ids: Optional `(m,)` int64, one id excluded per query.\n\n"
    "Returns:\n"
    "    `(indptr, ids, dists)` in CSR form: query `i` owns\n"
    "    `ids[indptr[i]:indptr[i+1]]`, ascending by `(distance, id)`.";

inline constexpr const char* exact_tiles =
    "_exact_tiles(points, metric='l1', weights=None)\n--\n\n"
    "The points of an exact scan prepared once (wrapped, rounded to single\n"
    "precision, in the scan's layout), for `_exact_knn_tiles` and\n"
    "`_exact_radius_tiles`: an opaque capsule that owns them. `metric`:\n"
    "\"l1\" (toroidal L1) or \"euclidean\" (toroidal L2); `weights`: None or\n"
    "d positive finite float64 factors of each axis's term, rounded to\n"
    "single precision.";

inline constexpr const char* exact_tiles_nbytes =
    "_exact_tiles_nbytes(tiles, /)\n--\n\n"
    "The bytes the points prepared by `_exact_tiles` hold: 4 per coordinate\n"
    "of the laid-out points, and for plain toroidal L1 in at most 255\n"
    "coordinates one more (each coordinate also as a byte, which lets the\n"
    "scan pass over points no distance of which can be taken); where those\n"
    "points crowd together or spread in few dimensions, they are laid out in\n"
    "a spatial order, with 4 more a point and two a coordinate per group of\n"
    "128 (which lets it pass over whole groups).";

inline constexpr const char* exact_tiles_reach =
    "_exact_tiles_reach(tiles, queries, limits)\n--\n\n"
    "Per query, how many of the points prepared by `_exact_tiles` a k-nearest\n"
    "scan reads whose k-th distance is `limits[i]` from the start: those of\n"
    "the groups of a spatial order it cannot pass over, all of them without\n"
    "one. An (m,) int64 array.";

inline constexpr const char* exact_knn_tiles =
    "_exact_knn_tiles(tiles, queries, k, exclude_ids=None)\n--\n\n"
    "`exact_knn` over points prepared by `_exact_tiles`: the same rows.";

inline constexpr const char* exact_radius_tiles =
    "_exact_radius_tiles(tiles, queries, radius, exclude_ids=None)\n--\n\n"
    "`exact_radius` over points prepared by `_exact_tiles`: the same rows.";

inline constexpr const char* grid_tier =
    "_grid_tier(points, cells, ids=None, metric='l1', weights=None)\n--\n\n"
    "The points ((n, d) float64) wrapped, rounded to single precision and\n"
    "counting-sorted into a grid of cells[a] cells along axis a, point i with\n"
    "id ids[i] (default i): an opaque capsule that owns them. `metric` and\n"
    "`weights` as for `_exact_tiles`: the searches of the tier measure its\n"
    "distances so, and every tier of a search must have the same.";

inline constexpr const char* grid_radius =
    "_grid_radius(tiers, queries, radius, exclude_ids=None, shifts=False)\n--\n\n"
    "`exact_radius` over the points of the tiers (a sequence of _grid_tier\n"
    "capsules with the same cells and metric), by their ids: the rows of\n"
    "`_exact_radius_tiles` in that metric. With shifts,\n"
    "(indptr, ids, dists, shift): shift the (nnz, d) int32 image shifts s with\n"
    "x_point - x_query + s the minimum-image displacement of the wrapped\n"
    "coordinates (ids in [0, 2**32)).";

inline constexpr const char* grid_knn =
    "_grid_knn(tiers, queries, k, exclude_ids=None)\n--\n\n"
    "`exact_knn` over the points of the tiers, by their ids: the rows of\n"
    "`_exact_knn_tiles` in their metric.";

inline constexpr const char* grid_pairs =
    "_grid_pairs(tiers, radius, shifts=False, by_distance=True, both=False)\n--\n\n"
    "Every unordered pair of the tiers' points within `radius` once, as\n"
    "(i, j, dist, shift): i < j by id, ordered by i, then by (dist, j) (or by\n"
    "j when by_distance is false); shift the (p, d) int32 image shifts s with\n"
    "x_j - x_i + s the minimum-image displacement of the wrapped coordinates,\n"
    "or None unless asked for. With both, each pair in the rows of both its\n"
    "ids, as (indptr, j, dist, shift) with a row per id up to the largest.";

inline constexpr const char* probe_keys =
    "_probe_keys(b, s, u, rows, flips)\n--\n\n"
    "The probe keys of `rows` ((m, d) float64) in every table of the setting\n"
    "(b, s, u): an (m, L, 1 + P) int64 array, P = min(flips, K), each table's\n"
    "run the base key and then the flips in the order the searches probe them.";

inline constexpr const char* candidate_counts =
    "_candidate_counts(b, s, u, points, queries, flips, bound)\n--\n\n"
    "What `queries` gather from the buckets of `points` under the setting\n"
    "(b, s, u): (entries, distinct), both (1 + P, L) int64, entry [p, l - 1]\n"
    "summed over the queries for the first l tables and p flips. Settings\n"
    "whose entries exceed `bound` have distinct -1.";

inline constexpr const char* candidate_counts_from =
    "_candidate_counts_from(b, s, u, points, queries, flips, bound, entries, distinct, best)\n"
    "--\n\n"
    "_candidate_counts continued from the counts of the first l tables:\n"
    "(entries, distinct, best). `entries` and `distinct` ((1 + P, l) int64)\n"
    "are that count, `best` ((m, n) uint8) per query and point the lowest\n"
    "probe index that gathered it there (1 + P: none). The tables from l on\n"
    "are counted; the counts are those of all L tables at once.";

inline constexpr const char* neighbour_hits =
    "_neighbour_hits(b, s, u, queries, neighbours, owner, flips)\n--\n\n"
    "Per query, its neighbours that share a probed bucket with it: an\n"
    "(m, 1 + P, L) int64 array, entry [q, p, l - 1] for the first l tables\n"
    "and p flips. Row i of `neighbours` belongs to query `owner[i]`\n"
    "(ascending).";

inline constexpr const char* neighbour_hits_from =
    "_neighbour_hits_from(b, s, u, queries, neighbours, owner, flips, start, first)\n--\n\n"
    "_neighbour_hits continued from an earlier measurement: (hits, first).\n"
    "`first` ((pairs, 1 + P) int64) holds per neighbour and p the first\n"
    "table in which it shares a bucket with one of the first 1 + p probes\n"
    "of its query, or -1, over the tables [0, start[q]) already searched for\n"
    "its query q; the tables from there on are searched. The hits are those\n"
    "of _neighbour_hits with all L tables, `first` completed over them.";

inline constexpr const char* measure_many =
    "_measure_many(calls)\n--\n\n"
    "Several calls of _candidate_counts_from and _neighbour_hits_from at\n"
    "once, each a task on the worker pool: `calls` holds (\"counts\", the 10\n"
    "arguments of _candidate_counts_from) and (\"hits\", the 9 arguments of\n"
    "_neighbour_hits_from) tuples; returns the list of their results, in\n"
    "order. Every call is checked before any runs.";

inline constexpr const char* all_finite =
    "_all_finite(values)\n--\n\n"
    "Whether every value of `values` ((n, d) float64) is finite: one pass\n"
    "over them, in parallel, with the interpreter lock released.";

inline constexpr const char* wrap_f32 =
    "_wrap_f32(values)\n--\n\n"
    "The single-precision copy ((n, d) float32) of `values` ((n, d) float64)\n"
    "the index measures distances on: each value wrapped onto [0, 1) as\n"
    "x - floor(x) in double precision, then rounded to nearest. In parallel,\n"
    "with the interpreter lock released.";

inline constexpr const char* spread =
    "_spread(rows, a, b)\n--\n\n"
    "Per coordinate, the mean toroidal distance along it between rows a[i]\n"
    "and b[i] of `rows` ((m, d) float64, each value wrapped as v - floor(v)):\n"
    "a (d,) float64 array, summed in the order of the pairs.";

inline constexpr const char* weighted_draw =
    "_weighted_draw(weights, draws, components)\n--\n\n"
    "The coordinates each table hashes, drawn by `weights` ((w,) float64, the\n"
    "positive weights) from `draws` ((L, c) float64 uniforms, c >= components):\n"
    "an (L, components) int64 array of indices into `weights`. Row t picks one\n"
    "after the other among those not yet picked in it, each by the running\n"
    "sums of their weights against its uniform (all again every w picks).";

inline constexpr const char* query_knn_probes =
    "_query_knn(index, queries, k, exclude_ids=None, probes=None)\n--\n\n"
    "index.query_knn(queries, k, exclude_ids) with `probes` flip probes per\n"
    "table for this call instead of the index's (at most K are used; None:\n"
    "the index's).";

inline constexpr const char* query_radius_probes =
    "_query_radius(index, queries, radius, exclude_ids=None, probes=None)\n--\n\n"
    "index.query_radius(queries, radius, exclude_ids) with `probes` flip\n"
    "probes per table for this call, as for _query_knn.";

inline constexpr const char* query_knn_metric =
    "_query_knn_metric(index, queries, k, metric='l1', weights=None, exclude_ids=None, "
    "probes=None)\n--\n\n"
    "The k nearest of the points each query gathers from `index` (its probed\n"
    "buckets, with `probes` flip probes per table when given, and its\n"
    "relaxations, as the index's per-query path gathers them), measured in\n"
    "`metric` (\"l1\" or \"euclidean\") with the axes weighed by `weights`\n"
    "((d,) float64, rounded to single precision; None: every weight 1): the\n"
    "exact scan's distances, rows ascending by (distance, id).";

inline constexpr const char* query_radius_metric =
    "_query_radius_metric(index, queries, radius, metric='l1', weights=None, "
    "exclude_ids=None, probes=None)\n--\n\n"
    "Every point each query gathers from `index` within `radius` in the\n"
    "metric, as _query_knn_metric measures them, in CSR form.";

inline constexpr const char* set_thread_limit =
    "_set_thread_limit(limit, process=False)\n--\n\n"
    "Limit the worker threads of the calls this thread makes (process=True:\n"
    "of every call) to `limit`, the calling thread included; 0 removes the\n"
    "limit. Returns the limit replaced. Results never depend on it.";

inline constexpr const char* thread_count =
    "_thread_count()\n--\n\n"
    "The worker threads a call made now from this thread would use.";

inline constexpr const char* crc32c =
    "crc32c(data, value=0)\n--\n\n"
    "The CRC-32C (Castagnoli) of the bytes of `data`, any C-contiguous object\n"
    "with the buffer protocol, continuing from `value`, the CRC-32C of the\n"
    "bytes before them: crc32c(b, crc32c(a)) == crc32c(a + b). An int in\n"
    "[0, 2**32); crc32c(b\"123456789\") == 0xE3069283. Uses the processor's\n"
    "crc32 instruction where it has one (SSE4.2), the same values elsewhere.";

inline constexpr const char* state =
    "_state($self)\n--\n\n"
    "The index as a dict of numbers and NumPy arrays (copies; version 1):\n"
    "the hash parameters, sizes, single-precision coordinates, the\n"
    "candidates' rows, each tier's ids per table in key order with its\n"
    "occupied buckets, the retired bits and the query counters.\n"
    "`RustLshIndex._from_state` and `PythonLshIndex._from_state` read it.";

inline constexpr const char* from_state =
    "_from_state($cls, state, files=None)\n--\n\n"
    "An index made from a dict of `_state()`'s form, every invariant checked\n"
    "first (ValueError naming the problem). `files` maps \"coords\" and\n"
    "\"static_ids\" to `(path, byte_offset)` where those arrays' bytes lie\n"
    "(offset a multiple of the page size): large ones are then mapped\n"
    "copy-on-write instead of copied, and not read at load.";

inline constexpr const char* reduce =
    "__reduce__($self)\n--\n\n"
    "`(_restore_index, (self._state(),))`: pickle and copy go by the state.";

inline constexpr const char* restore_index =
    "_restore_index(state)\n--\n\n"
    "RustLshIndex._from_state(state): the function pickle calls.";

}  // namespace plovik::py::doc
