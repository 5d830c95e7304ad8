// The module's method table: every function of plovik._native with its
// calling convention and docstring. The module's exec adds the names
// without a leading underscore to __all__.
#include "binding/docstrings.hpp"
#include "binding/functions.hpp"
#include "binding/methods.hpp"

namespace plovik::py {

PyMethodDef module_functions[] = {
    {"exact_knn", PLOVIK_FASTCALL(function_exact_knn), METH_FASTCALL | METH_KEYWORDS,
     doc::exact_knn},
    {"exact_radius", PLOVIK_FASTCALL(function_exact_radius), METH_FASTCALL | METH_KEYWORDS,
     doc::exact_radius},
    {"_exact_tiles", PLOVIK_FASTCALL(function_exact_tiles), METH_FASTCALL | METH_KEYWORDS,
     doc::exact_tiles},
    {"_exact_tiles_nbytes", function_exact_tiles_nbytes, METH_O, doc::exact_tiles_nbytes},
    {"_exact_tiles_reach", PLOVIK_FASTCALL(function_exact_tiles_reach),
     METH_FASTCALL | METH_KEYWORDS, doc::exact_tiles_reach},
    {"_exact_knn_tiles", PLOVIK_FASTCALL(function_exact_knn_tiles), METH_FASTCALL | METH_KEYWORDS,
     doc::exact_knn_tiles},
    {"_exact_radius_tiles", PLOVIK_FASTCALL(function_exact_radius_tiles),
     METH_FASTCALL | METH_KEYWORDS, doc::exact_radius_tiles},
    {"_grid_tier", PLOVIK_FASTCALL(function_grid_tier), METH_FASTCALL | METH_KEYWORDS,
     doc::grid_tier},
    {"_grid_radius", PLOVIK_FASTCALL(function_grid_radius), METH_FASTCALL | METH_KEYWORDS,
     doc::grid_radius},
    {"_grid_knn", PLOVIK_FASTCALL(function_grid_knn), METH_FASTCALL | METH_KEYWORDS, doc::grid_knn},
    {"_grid_pairs", PLOVIK_FASTCALL(function_grid_pairs), METH_FASTCALL | METH_KEYWORDS,
     doc::grid_pairs},
    {"_query_knn", PLOVIK_FASTCALL(function_query_knn), METH_FASTCALL | METH_KEYWORDS,
     doc::query_knn_probes},
    {"_query_radius", PLOVIK_FASTCALL(function_query_radius), METH_FASTCALL | METH_KEYWORDS,
     doc::query_radius_probes},
    {"_query_knn_metric", PLOVIK_FASTCALL(function_query_knn_metric), METH_FASTCALL | METH_KEYWORDS,
     doc::query_knn_metric},
    {"_query_radius_metric", PLOVIK_FASTCALL(function_query_radius_metric),
     METH_FASTCALL | METH_KEYWORDS, doc::query_radius_metric},
    {"_probe_keys", PLOVIK_FASTCALL(function_probe_keys), METH_FASTCALL | METH_KEYWORDS,
     doc::probe_keys},
    {"_candidate_counts", PLOVIK_FASTCALL(function_candidate_counts), METH_FASTCALL | METH_KEYWORDS,
     doc::candidate_counts},
    {"_candidate_counts_from", PLOVIK_FASTCALL(function_candidate_counts_from),
     METH_FASTCALL | METH_KEYWORDS, doc::candidate_counts_from},
    {"_neighbour_hits", PLOVIK_FASTCALL(function_neighbour_hits), METH_FASTCALL | METH_KEYWORDS,
     doc::neighbour_hits},
    {"_neighbour_hits_from", PLOVIK_FASTCALL(function_neighbour_hits_from),
     METH_FASTCALL | METH_KEYWORDS, doc::neighbour_hits_from},
    {"_measure_many", PLOVIK_FASTCALL(function_measure_many), METH_FASTCALL | METH_KEYWORDS,
     doc::measure_many},
    {"_all_finite", PLOVIK_FASTCALL(function_all_finite), METH_FASTCALL | METH_KEYWORDS,
     doc::all_finite},
    {"_wrap_f32", PLOVIK_FASTCALL(function_wrap_f32), METH_FASTCALL | METH_KEYWORDS, doc::wrap_f32},
    {"_spread", PLOVIK_FASTCALL(function_spread), METH_FASTCALL | METH_KEYWORDS, doc::spread},
    {"_weighted_draw", PLOVIK_FASTCALL(function_weighted_draw), METH_FASTCALL | METH_KEYWORDS,
     doc::weighted_draw},
    {"_set_thread_limit", PLOVIK_FASTCALL(function_set_thread_limit), METH_FASTCALL | METH_KEYWORDS,
     doc::set_thread_limit},
    {"_thread_count", function_thread_count, METH_NOARGS, doc::thread_count},
    {"crc32c", PLOVIK_FASTCALL(function_crc32c), METH_FASTCALL | METH_KEYWORDS, doc::crc32c},
    {"_restore_index", function_restore_index, METH_O, doc::restore_index},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace plovik::py
