// _probe_keys, _candidate_counts, _candidate_counts_from, _neighbour_hits,
// _neighbour_hits_from, _measure_many (several of the last two at once, in
// parallel), _spread and _weighted_draw: what the tuning measures hash
// settings with (plovik.tuning), by the engine's own hashing (src/index/tuning).
#include <deque>
#include <utility>
#include <variant>
#include <vector>

#include "binding/convert/args.hpp"
#include "binding/convert/results.hpp"
#include "binding/functions.hpp"
#include "binding/runtime/exceptions.hpp"
#include "binding/runtime/gil.hpp"
#include "binding/runtime/ref.hpp"
#include "index/errors.hpp"
#include "index/record.hpp"
#include "index/tuning/sample_hash.hpp"
#include "index/tuning/spread.hpp"
#include "index/write/construct.hpp"
#include "parallel/pool.hpp"

namespace plovik::py {

namespace {

// The hash parameters (b, s, u) of a setting as an unbuilt index, checked
// as the index's constructor and build check them: s and u of one shape
// (L, K), b at least 1, b^K within 2^63 - 1, and every hashed coordinate
// below d, the width of the rows it will hash.
struct Setting {
  Index ix;

  Setting(PyObject* b_obj, PyObject* s_obj, PyObject* u_obj, std::size_t d) {
    const int64_t b = to_i64(b_obj, "b");
    PyArrayObject* s = to_array(s_obj, "s", 2, NPY_INT64);
    PyArrayObject* u = to_array(u_obj, "u", 2, NPY_FLOAT64);
    const npy_intp* ss = PyArray_DIMS(s);
    const npy_intp* us = PyArray_DIMS(u);
    if (us[0] != ss[0] || us[1] != ss[1]) raise(PyExc_ValueError, "S and U must have shape (L, K)");
    const auto tables = static_cast<std::size_t>(ss[0]),
               components = static_cast<std::size_t>(ss[1]);
    if (b < 1) raise(PyExc_ValueError, "b must be at least 1");
    if (!checked_key_space(b, components))
      raise(PyExc_ValueError, "b**K must be at most 2**63 - 1");
    Array<int64_t> s_values = read_array<int64_t>(s);
    for (const int64_t c : s_values)
      if (c < 0 || static_cast<std::size_t>(c) >= d)
        raise(PyExc_ValueError, "every entry of s must lie in [0, d)");
    construct(ix, b, components, tables, 0, 1, std::move(s_values), read_array<double>(u));
  }
};

// A two-dimensional float64 argument, copied, with its width checked.
struct Rows {
  Array<double> values;
  SampleRows rows;

  Rows(PyObject* obj, const char* name) {
    PyArrayObject* arr = to_array(obj, name, 2, NPY_FLOAT64);
    values = read_array<double>(arr);
    rows = {values, static_cast<std::size_t>(PyArray_DIM(arr, 0)),
            static_cast<std::size_t>(PyArray_DIM(arr, 1))};
  }
};

std::size_t width_of(PyObject* obj, const char* name) {
  return static_cast<std::size_t>(PyArray_DIM(to_array(obj, name, 2, NPY_FLOAT64), 1));
}

void same_width(const Rows& a, const Rows& b, const char* message) {
  if (a.rows.d != b.rows.d) raise(PyExc_ValueError, message);
}

PyObject* shaped(Array<int64_t>&& flat, npy_intp rows, npy_intp cols) {
  return reshape(hand_over(std::move(flat)), rows, cols);
}

// The arguments _candidate_counts and _candidate_counts_from share, a[0]
// to a[6]: the setting, the counted points, the queries, the flips (at
// most K) and the bound, read and checked in that order.
struct CountArgs {
  Setting setting;
  Rows points;
  Rows queries;
  std::size_t flips = 0;
  double bound = 0.0;

  explicit CountArgs(PyObject* const* a)
      : setting(a[0], a[1], a[2], width_of(a[3], "points")),
        points(a[3], "points"),
        queries(a[4], "queries") {
    same_width(points, queries, "queries and points must have as many columns");
    flips = std::min(to_usize(a[5], "flips"), setting.ix.k);
    bound = to_f64(a[6], "bound");
  }

  // The counts as their (entries, distinct) arrays, (1 + P, L) each.
  std::pair<Ref, Ref> arrays(CandidateCounts&& c) const {
    const auto rows = static_cast<npy_intp>(flips + 1), cols = static_cast<npy_intp>(setting.ix.l);
    return {Ref(shaped(std::move(c.entries), rows, cols)),
            Ref(shaped(std::move(c.distinct), rows, cols))};
  }
};

// One call of _candidate_counts_from: its arguments a[0] to a[9] read and
// checked, its run (without the interpreter lock) and its result.
struct CountsFromCall {
  static constexpr std::initializer_list<const char*> names = {
      "b", "s", "u", "points", "queries", "flips", "bound", "entries", "distinct", "best"};
  CountArgs args;
  CandidateCounts prior;
  Array<uint8_t> best;
  CandidateCounts out;

  explicit CountsFromCall(PyObject* const* a) : args(a) {
    PyArrayObject* entries_arr = to_array(a[7], "entries", 2, NPY_INT64);
    PyArrayObject* distinct_arr = to_array(a[8], "distinct", 2, NPY_INT64);
    PyArrayObject* best_arr = to_array(a[9], "best", 2, NPY_UINT8);
    const npy_intp* es = PyArray_DIMS(entries_arr);
    const npy_intp* ds = PyArray_DIMS(distinct_arr);
    if (static_cast<std::size_t>(es[0]) != args.flips + 1 || ds[0] != es[0] || ds[1] != es[1] ||
        static_cast<std::size_t>(es[1]) > args.setting.ix.l)
      raise(PyExc_ValueError, "entries and distinct must have shape (1 + P, l) with l <= L");
    if (static_cast<std::size_t>(PyArray_DIM(best_arr, 0)) != args.queries.rows.m ||
        static_cast<std::size_t>(PyArray_DIM(best_arr, 1)) != args.points.rows.m)
      raise(PyExc_ValueError, "best must have shape (queries, points)");
    prior = {read_array<int64_t>(entries_arr), read_array<int64_t>(distinct_arr)};
    best = read_array<uint8_t>(best_arr);
  }

  bool alone() const {
    return candidate_counts_alone(args.setting.ix, args.points.rows.m, args.queries.rows.m,
                                  args.flips, prior.entries.size() / (args.flips + 1));
  }

  void run() {
    out = candidate_counts_from(args.setting.ix, args.points.rows, args.queries.rows, args.flips,
                                args.bound, prior, best);
  }

  // (entries, distinct, best), a new reference.
  PyObject* result() {
    const auto [entries, distinct] = args.arrays(std::move(out));
    Ref marks(reshape(hand_over(std::move(best)), static_cast<npy_intp>(args.queries.rows.m),
                      static_cast<npy_intp>(args.points.rows.m)));
    return check(PyTuple_Pack(3, entries.get(), distinct.get(), marks.get()));
  }
};

// The arguments _neighbour_hits and _neighbour_hits_from share, a[0] to
// a[6]: the setting, the queries, their neighbours and owners, the flips
// (at most K), read and checked in that order.
struct HitsArgs {
  Setting setting;
  Rows queries;
  Rows neighbours;
  Array<int64_t> owner;
  std::size_t flips = 0;

  explicit HitsArgs(PyObject* const* a)
      : setting(a[0], a[1], a[2], width_of(a[3], "queries")),
        queries(a[3], "queries"),
        neighbours(a[4], "neighbours") {
    same_width(queries, neighbours, "neighbours and queries must have as many columns");
    owner = read_array<int64_t>(to_array(a[5], "owner", 1, NPY_INT64));
    if (owner.size() != neighbours.rows.m)
      raise(PyExc_ValueError, "owner must hold one query row per neighbour");
    flips = std::min(to_usize(a[6], "flips"), setting.ix.k);
  }

  // The hits as an (m, 1 + P, L) array, a new reference.
  PyObject* hits_array(Array<int64_t>&& hits) const {
    npy_intp dims[3] = {static_cast<npy_intp>(queries.rows.m), static_cast<npy_intp>(flips + 1),
                        static_cast<npy_intp>(setting.ix.l)};
    Ref flat(hand_over(std::move(hits)));
    PyArray_Dims shape{dims, 3};
    return check(
        PyArray_Newshape(reinterpret_cast<PyArrayObject*>(flat.get()), &shape, NPY_CORDER));
  }
};

// One call of _neighbour_hits_from, as CountsFromCall: arguments a[0] to a[8].
struct HitsFromCall {
  static constexpr std::initializer_list<const char*> names = {
      "b", "s", "u", "queries", "neighbours", "owner", "flips", "start", "first"};
  HitsArgs args;
  Array<int64_t> start;
  Array<int64_t> first;
  Array<int64_t> hits;

  explicit HitsFromCall(PyObject* const* a) : args(a) {
    start = read_array<int64_t>(to_array(a[7], "start", 1, NPY_INT64));
    PyArrayObject* first_arr = to_array(a[8], "first", 2, NPY_INT64);
    if (static_cast<std::size_t>(PyArray_DIM(first_arr, 0)) != args.neighbours.rows.m ||
        static_cast<std::size_t>(PyArray_DIM(first_arr, 1)) != args.flips + 1)
      raise(PyExc_ValueError, "first must have shape (pairs, 1 + P)");
    first = read_array<int64_t>(first_arr);
  }

  bool alone() const {
    return neighbour_hits_alone(args.setting.ix, args.queries.rows.m, args.neighbours.rows.m,
                                args.flips);
  }

  void run() {
    hits = neighbour_hits_from(args.setting.ix, args.queries.rows, args.neighbours.rows, args.owner,
                               args.flips, start, first);
  }

  // (hits, first), a new reference.
  PyObject* result() {
    Ref shaped_hits(args.hits_array(std::move(hits)));
    Ref found(shaped(std::move(first), static_cast<npy_intp>(args.neighbours.rows.m),
                     static_cast<npy_intp>(args.flips + 1)));
    return check(PyTuple_Pack(2, shaped_hits.get(), found.get()));
  }
};

// A function of one call (CountsFromCall or HitsFromCall): its arguments
// matched to Call::names and checked, the call run without the
// interpreter lock, its result.
template <class Call>
PyObject* one_call(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    constexpr std::size_t arity = Call::names.size();
    PyObject* a[arity];
    match_args({name, Call::names, arity}, args, nargs, kwnames, a);
    Call call(a);
    without_gil([&] { call.run(); });
    return call.result();
  });
}

}  // namespace

PyObject* function_probe_keys(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[5];
    match_args({"_probe_keys", {"b", "s", "u", "rows", "flips"}, 5}, args, nargs, kwnames, a);
    const Setting setting(a[0], a[1], a[2], width_of(a[3], "rows"));
    const Rows rows(a[3], "rows");
    const std::size_t flips = std::min(to_usize(a[4], "flips"), setting.ix.k);
    Array<int64_t> keys = without_gil([&] { return probe_keys(setting.ix, rows.rows, flips); });
    npy_intp dims[3] = {static_cast<npy_intp>(rows.rows.m), static_cast<npy_intp>(setting.ix.l),
                        static_cast<npy_intp>(flips + 1)};
    Ref flat(hand_over(std::move(keys)));
    PyArray_Dims shape{dims, 3};
    return check(
        PyArray_Newshape(reinterpret_cast<PyArrayObject*>(flat.get()), &shape, NPY_CORDER));
  });
}

PyObject* function_candidate_counts(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[7];
    match_args({"_candidate_counts", {"b", "s", "u", "points", "queries", "flips", "bound"}, 7},
               args, nargs, kwnames, a);
    const CountArgs c_args(a);
    const auto& [setting, points, queries, flips, bound] = c_args;
    CandidateCounts c = without_gil(
        [&] { return candidate_counts(setting.ix, points.rows, queries.rows, flips, bound); });
    const auto [entries, distinct] = c_args.arrays(std::move(c));
    return PyTuple_Pack(2, entries.get(), distinct.get());
  });
}

PyObject* function_candidate_counts_from(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
  return one_call<CountsFromCall>("_candidate_counts_from", args, nargs, kwnames);
}

PyObject* function_neighbour_hits(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[7];
    match_args({"_neighbour_hits", {"b", "s", "u", "queries", "neighbours", "owner", "flips"}, 7},
               args, nargs, kwnames, a);
    const HitsArgs h(a);
    Array<int64_t> hits = without_gil([&] {
      return neighbour_hits(h.setting.ix, h.queries.rows, h.neighbours.rows, h.owner, h.flips);
    });
    return h.hits_array(std::move(hits));
  });
}

PyObject* function_neighbour_hits_from(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  return one_call<HitsFromCall>("_neighbour_hits_from", args, nargs, kwnames);
}

PyObject* function_measure_many(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[1];
    match_args({"_measure_many", {"calls"}, 1}, args, nargs, kwnames, a);
    // Every call read and checked first (under the interpreter lock), then
    // all of them run at once, one task each, without it.
    Ref seq(check(PySequence_Fast(a[0], "calls must be a sequence of tuples")));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    std::deque<std::variant<CountsFromCall, HitsFromCall>> calls;
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
      const Py_ssize_t size = PyTuple_Check(item) ? PyTuple_GET_SIZE(item) : 0;
      PyObject* kind = size > 0 ? PyTuple_GET_ITEM(item, 0) : nullptr;
      auto named = [&](const char* name) {
        return kind != nullptr && PyUnicode_Check(kind) &&
               PyUnicode_CompareWithASCIIString(kind, name) == 0;
      };
      PyObject* const* rest = size > 0 ? PySequence_Fast_ITEMS(item) + 1 : nullptr;
      if (named("counts") && size == 11)
        calls.emplace_back(std::in_place_type<CountsFromCall>, rest);
      else if (named("hits") && size == 10)
        calls.emplace_back(std::in_place_type<HitsFromCall>, rest);
      else
        raise(PyExc_ValueError,
              "each call must be (\"counts\", the 10 arguments of _candidate_counts_from) or "
              "(\"hits\", the 9 arguments of _neighbour_hits_from)");
    }
    // A call small enough to run on one thread alone runs beside the other
    // small ones, a task each; a larger one uses the workers itself, on its
    // own. Either way each result is the one the call alone gives.
    std::vector<std::size_t> small;
    without_gil([&] {
      for (std::size_t i = 0; i < calls.size(); ++i) {
        if (std::visit([](const auto& c) { return c.alone(); }, calls[i]))
          small.push_back(i);
        else
          std::visit([](auto& c) { c.run(); }, calls[i]);
      }
      parallel::for_each(small.size(), [&](std::size_t j) {
        std::visit([](auto& c) { c.run(); }, calls[small[j]]);
      });
    });
    Ref out(check(PyList_New(n)));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* r =
          std::visit([](auto& c) { return c.result(); }, calls[static_cast<std::size_t>(i)]);
      PyList_SET_ITEM(out.get(), i, r);
    }
    return out.release();
  });
}

PyObject* function_spread(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[3];
    match_args({"_spread", {"rows", "a", "b"}, 3}, args, nargs, kwnames, a);
    // The rows are read where they are (all the points of a tuning: no copy).
    PyArrayObject* arr = to_array(a[0], "rows", 2, NPY_FLOAT64);
    const ArrayValues values(arr);
    const SampleRows rows{values.view(), static_cast<std::size_t>(PyArray_DIM(arr, 0)),
                          static_cast<std::size_t>(PyArray_DIM(arr, 1))};
    const Array<int64_t> first = read_array<int64_t>(to_array(a[1], "a", 1, NPY_INT64));
    const Array<int64_t> second = read_array<int64_t>(to_array(a[2], "b", 1, NPY_INT64));
    Array<double> out = without_gil([&] { return coordinate_spread(rows, first, second); });
    return hand_over(std::move(out));
  });
}

PyObject* function_weighted_draw(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[3];
    match_args({"_weighted_draw", {"weights", "draws", "components"}, 3}, args, nargs, kwnames, a);
    const Array<double> weights = read_array<double>(to_array(a[0], "weights", 1, NPY_FLOAT64));
    PyArrayObject* draws_arr = to_array(a[1], "draws", 2, NPY_FLOAT64);
    const Array<double> draws = read_array<double>(draws_arr);
    const std::size_t components = to_usize(a[2], "components");
    const auto tables = static_cast<std::size_t>(PyArray_DIM(draws_arr, 0)),
               stride = static_cast<std::size_t>(PyArray_DIM(draws_arr, 1));
    Array<int64_t> picks = weighted_draw(weights, draws, tables, components, stride);
    return shaped(std::move(picks), static_cast<npy_intp>(tables),
                  static_cast<npy_intp>(components));
  });
}

}  // namespace plovik::py
