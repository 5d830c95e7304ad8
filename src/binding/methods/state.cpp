// RustLshIndex._state(), RustLshIndex._from_state(state, files=None),
// RustLshIndex.__reduce__() and the module's _restore_index(state): the
// index as a dict of numbers and NumPy arrays (version 1) and back, which
// pickle and copy use and which a saved index is made of.
#include <unistd.h>

#include <cstring>
#include <string>
#include <utility>

#include "binding/access.hpp"
#include "binding/convert/args.hpp"
#include "binding/methods.hpp"
#include "binding/runtime/gil.hpp"
#include "binding/runtime/ref.hpp"
#include "index/errors.hpp"
#include "index/memory/file_map.hpp"
#include "index/state/schema.hpp"
#include "index/state/state.hpp"

namespace plovik::py {

namespace {

// ---- export --------------------------------------------------------------

PyObject* new_array(int typenum, npy_intp rows, npy_intp cols, int ndim) {
  npy_intp dims[2] = {rows, cols};
  return check(PyArray_SimpleNew(ndim, dims, typenum));
}

template <class T>
T* data_of(PyObject* array) {
  return static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
}

void put(PyObject* dict, const char* key, PyObject* value) {
  Ref owned(value);
  check(PyDict_SetItemString(dict, key, owned.get()));
}

void put_size(PyObject* dict, const char* key, std::size_t value) {
  put(dict, key, check(PyLong_FromSize_t(value)));
}

// A scalar entry of a state: b signed, the sizes unsigned.
void put_number(PyObject* dict, const char* key, int64_t value) {
  put(dict, key, check(PyLong_FromLongLong(value)));
}
void put_number(PyObject* dict, const char* key, std::size_t value) { put_size(dict, key, value); }

// A 1-D array of `n` values copied from `src`.
template <class T>
PyObject* copy_1d(int typenum, const T* src, std::size_t n) {
  PyObject* a = new_array(typenum, static_cast<npy_intp>(n), 0, 1);
  if (n != 0) std::memcpy(data_of<T>(a), src, n * sizeof(T));
  return a;
}

void put_tier(PyObject* dict, const Index& ix, bool cand) {
  const char* name = cand ? "cand" : "static";
  const TierExportSizes z = tier_export_sizes(ix, cand);
  const std::size_t L = ix.l;
  const bool built = ix.d != 0;
  Ref ids(new_array(NPY_UINT32, static_cast<npy_intp>(L), static_cast<npy_intp>(z.m), 2));
  Ref keys(new_array(NPY_INT64, static_cast<npy_intp>(z.buckets), 0, 1));
  Ref starts(new_array(NPY_UINT32, built ? static_cast<npy_intp>(z.buckets + L) : 0, 0, 1));
  Ref first(new_array(NPY_UINT64, built ? static_cast<npy_intp>(L + 1) : 0, 0, 1));
  without_gil([&] {
    export_tier(ix, cand, data_of<uint32_t>(ids.get()), data_of<int64_t>(keys.get()),
                data_of<uint32_t>(starts.get()), data_of<uint64_t>(first.get()));
  });
  const std::string prefix(name);
  put(dict, (prefix + "_ids").c_str(), ids.release());
  put(dict, (prefix + "_bucket_keys").c_str(), keys.release());
  put(dict, (prefix + "_bucket_starts").c_str(), starts.release());
  put(dict, (prefix + "_first_bucket").c_str(), first.release());
}

PyObject* state_of(const Index& ix) {
  Ref dict(check(PyDict_New()));
  PyObject* d = dict.get();
  put(d, "version", check(PyLong_FromLong(state_version)));
#define PLOVIK_PUT_INT(name) put_number(d, #name, ix.name);
  PLOVIK_STATE_INTS(PLOVIK_PUT_INT)
#undef PLOVIK_PUT_INT
  put(d, "s", copy_1d(NPY_INT64, ix.s.data(), ix.s.size()));
  put(d, "u", copy_1d(NPY_FLOAT64, ix.u.data(), ix.u.size()));
  Ref coords(
      new_array(NPY_FLOAT32, static_cast<npy_intp>(ix.n_points), static_cast<npy_intp>(ix.d), 2));
  Ref cand(
      new_array(NPY_FLOAT64, static_cast<npy_intp>(ix.n_cand()), static_cast<npy_intp>(ix.d), 2));
  without_gil([&] {
    const std::size_t nc = ix.n_points * ix.d, nd = ix.n_cand() * ix.d;
    if (nc != 0)
      std::memcpy(data_of<float>(coords.get()), ix.coords_f32.data(), nc * sizeof(float));
    if (nd != 0) std::memcpy(data_of<double>(cand.get()), ix.cand_f64.data(), nd * sizeof(double));
  });
  put(d, "coords", coords.release());
  put(d, "cand_coords", cand.release());
  put_tier(d, ix, false);
  put_tier(d, ix, true);
  put(d, "retired", copy_1d(NPY_UINT64, ix.retired.words.data(), ix.retired.words.size()));
  Ref stats(check(PyDict_New()));
  ix.counters.snapshot().for_each([&](const char* name, uint64_t value) {
    put(stats.get(), name, check(PyLong_FromUnsignedLongLong(value)));
  });
  put_size(stats.get(), "block", ix.block);
  put(d, "stats", stats.release());
  return dict.release();
}

// ---- import --------------------------------------------------------------

[[noreturn]] void state_error(const std::string& message) {
  raise(PyExc_ValueError, ("state: " + message).c_str());
}

// state[key], borrowed; ValueError when missing.
PyObject* item(PyObject* state, const char* key) {
  PyObject* v = PyDict_GetItemString(state, key);  // borrowed, never raises
  if (v == nullptr) state_error(std::string("missing '") + key + "'");
  return v;
}

// An exact Python int (bool refused) in [lo, hi].
long long int_item(PyObject* state, const char* key, long long lo) {
  PyObject* v = item(state, key);
  if (!PyLong_Check(v) || PyBool_Check(v)) state_error(std::string("'") + key + "' must be an int");
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(v, &overflow);
  if (value == -1 && PyErr_Occurred()) throw PythonError{};
  if (overflow != 0 || value < lo) state_error(std::string("'") + key + "' is out of range");
  return value;
}

std::size_t size_item(PyObject* state, const char* key) {
  return static_cast<std::size_t>(int_item(state, key, 0));
}

// A scalar entry of a state into `out`: b signed, the sizes unsigned.
void read_number(PyObject* state, const char* key, int64_t& out) {
  out = int_item(state, key, LLONG_MIN);
}
void read_number(PyObject* state, const char* key, std::size_t& out) {
  out = size_item(state, key);
}

const char* dtype_name(int typenum) {
  switch (typenum) {
    case NPY_INT64: return "int64";
    case NPY_UINT64: return "uint64";
    case NPY_UINT32: return "uint32";
    case NPY_FLOAT32: return "float32";
    default: return "float64";
  }
}

// state[key] as an ndarray of `ndim` dimensions whose dtype is exactly the
// native `typenum` in native byte order; borrowed.
PyArrayObject* array_item(PyObject* state, const char* key, int typenum, int ndim) {
  PyObject* v = item(state, key);
  if (!PyArray_Check(v)) state_error(std::string("'") + key + "' must be a numpy.ndarray");
  auto* a = reinterpret_cast<PyArrayObject*>(v);
  if (PyArray_NDIM(a) != ndim)
    state_error(std::string("'") + key + "' must have " + std::to_string(ndim) + " dimension" +
                (ndim == 1 ? "" : "s"));
  if (!PyArray_EquivTypenums(PyArray_TYPE(a), typenum) || !PyArray_ISNOTSWAPPED(a))
    state_error(std::string("'") + key + "' must have dtype " + dtype_name(typenum) +
                " in native byte order");
  return a;
}

// stats[name]: an int in [0, 2**64).
uint64_t counter_item(PyObject* stats, const char* name) {
  PyObject* v = PyDict_GetItemString(stats, name);
  if (v == nullptr) state_error(std::string("'stats' lacks '") + name + "'");
  if (!PyLong_Check(v) || PyBool_Check(v))
    state_error(std::string("stats '") + name + "' must be an int");
  const unsigned long long value = PyLong_AsUnsignedLongLong(v);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    state_error(std::string("stats '") + name + "' is out of range");
  }
  return value;
}

std::size_t dim(PyArrayObject* a, int i) { return static_cast<std::size_t>(PyArray_DIM(a, i)); }

// The values of a checked array, copied (whatever its strides).
template <class T>
Array<T> copy_values_of(PyArrayObject* a) {
  const std::size_t n = static_cast<std::size_t>(PyArray_SIZE(a));
  Array<T> out(n);
  if (n == 0) return out;
  Ref flat(check(PyArray_FromArray(a, nullptr, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED)));
  const T* src = data_of<T>(flat.get());
  without_gil([&] { std::memcpy(out.data(), src, n * sizeof(T)); });
  return out;
}

// Where the bytes of a mapped array lie.
struct FileSpot {
  std::string path;
  std::size_t offset = 0;
  bool given = false;
};

FileSpot file_spot(PyObject* files, const char* key) {
  FileSpot spot;
  if (files == nullptr) return spot;
  PyObject* v = PyDict_GetItemString(files, key);
  if (v == nullptr) return spot;
  if (!PyTuple_Check(v) || PyTuple_GET_SIZE(v) != 2)
    raise(PyExc_ValueError, "files: each entry must be a (path, byte_offset) pair");
  PyObject* bytes = nullptr;
  if (!PyUnicode_FSConverter(PyTuple_GET_ITEM(v, 0), static_cast<void*>(&bytes)))
    throw PythonError{};
  Ref owned(bytes);
  spot.path.assign(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
  PyObject* off = PyTuple_GET_ITEM(v, 1);
  if (!PyLong_Check(off) || PyBool_Check(off))
    raise(PyExc_ValueError, "files: the byte offset must be an int");
  const unsigned long long o = PyLong_AsUnsignedLongLong(off);
  if (PyErr_Occurred()) {
    PyErr_Clear();
    raise(PyExc_ValueError, "files: the byte offset is out of range");
  }
  spot.offset = static_cast<std::size_t>(o);
  spot.given = true;
  return spot;
}

// The values of a big array: mapped from its file when the caller gave one
// and the array is large enough to have pages of its own, else copied from
// the state's array. Mapped arrays are not read here.
template <class T>
Array<T> mapped_or_copied(PyArrayObject* a, const FileSpot& spot, bool& mapped) {
  mapped = false;
  const std::size_t n = static_cast<std::size_t>(PyArray_SIZE(a));
  if (!spot.given || n * sizeof(T) < huge_page_bytes) return copy_values_of<T>(a);
  const long page = sysconf(_SC_PAGESIZE);
  if (page <= 0 || huge_page_bytes % static_cast<std::size_t>(page) != 0 ||
      spot.offset % static_cast<std::size_t>(page) != 0)
    raise(PyExc_ValueError, "files: the byte offset must be a multiple of the page size");
  MappedFile file(spot.path);
  const std::size_t bytes = n * sizeof(T);
  if (spot.offset > file.size() || file.size() - spot.offset < bytes)
    raise(PyExc_ValueError, ("files: " + spot.path + " is too short for the array at offset " +
                             std::to_string(spot.offset))
                                .c_str());
  Array<T> out = map_array<T>(file, spot.offset, n);
  mapped = true;
  return out;
}

IndexState read_state(PyObject* state, PyObject* files) {
  if (!PyDict_Check(state)) raise(PyExc_ValueError, "state must be a dict");
  if (files != nullptr && files != Py_None && !PyDict_Check(files))
    raise(PyExc_ValueError, "files must be a dict or None");
  if (files == Py_None) files = nullptr;
  if (files != nullptr) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(files, &pos, &key, &value))
      if (!PyUnicode_Check(key) || (PyUnicode_CompareWithASCIIString(key, "coords") != 0 &&
                                    PyUnicode_CompareWithASCIIString(key, "static_ids") != 0))
        raise(PyExc_ValueError, "files may only name 'coords' and 'static_ids'");
  }
  if (int_item(state, "version", LLONG_MIN) != state_version)
    state_error("unsupported version (this build reads version 1)");

  StateSizes z;
#define PLOVIK_READ_INT(name) read_number(state, #name, z.name);
  PLOVIK_STATE_INTS(PLOVIK_READ_INT)
#undef PLOVIK_READ_INT
  PyArrayObject* s = array_item(state, "s", NPY_INT64, 1);
  PyArrayObject* u = array_item(state, "u", NPY_FLOAT64, 1);
  PyArrayObject* coords = array_item(state, "coords", NPY_FLOAT32, 2);
  PyArrayObject* cand = array_item(state, "cand_coords", NPY_FLOAT64, 2);
  struct TierArrays {
    PyArrayObject *ids, *keys, *starts, *first;
  } tiers[2];
  const char* names[2] = {"static", "cand"};
  for (int i = 0; i < 2; ++i) {
    const std::string p(names[i]);
    tiers[i] = {array_item(state, (p + "_ids").c_str(), NPY_UINT32, 2),
                array_item(state, (p + "_bucket_keys").c_str(), NPY_INT64, 1),
                array_item(state, (p + "_bucket_starts").c_str(), NPY_UINT32, 1),
                array_item(state, (p + "_first_bucket").c_str(), NPY_UINT64, 1)};
    StateSizes::Tier& t = i == 0 ? z.stat : z.cand;
    t.ids = {dim(tiers[i].ids, 0), dim(tiers[i].ids, 1)};
    t.bucket_keys = dim(tiers[i].keys, 0);
    t.bucket_starts = dim(tiers[i].starts, 0);
    t.first_bucket = dim(tiers[i].first, 0);
  }
  PyArrayObject* retired = array_item(state, "retired", NPY_UINT64, 1);
  PyObject* stats = item(state, "stats");
  if (!PyDict_Check(stats)) state_error("'stats' must be a dict");
  z.s = dim(s, 0);
  z.u = dim(u, 0);
  z.coords = {dim(coords, 0), dim(coords, 1)};
  z.cand_coords = {dim(cand, 0), dim(cand, 1)};
  z.retired = dim(retired, 0);
  validate_state_sizes(z);

  IndexState st;
#define PLOVIK_COPY_INT(name) st.name = z.name;
  PLOVIK_STATE_INTS(PLOVIK_COPY_INT)
#undef PLOVIK_COPY_INT
#define PLOVIK_READ_COUNT(name, description) st.counts.name = counter_item(stats, #name);
  PLOVIK_QUERY_COUNTERS(PLOVIK_READ_COUNT)
#undef PLOVIK_READ_COUNT

  const FileSpot coords_spot = file_spot(files, "coords");
  const FileSpot ids_spot = file_spot(files, "static_ids");
  st.s = copy_values_of<int64_t>(s);
  st.u = copy_values_of<double>(u);
  st.cand_coords = copy_values_of<double>(cand);
  st.retired = copy_values_of<uint64_t>(retired);
  for (int i = 0; i < 2; ++i) {
    TierState& t = i == 0 ? st.stat : st.cand;
    t.m = dim(tiers[i].ids, 1);
    t.bucket_keys = copy_values_of<int64_t>(tiers[i].keys);
    t.bucket_starts = copy_values_of<uint32_t>(tiers[i].starts);
    t.first_bucket = copy_values_of<uint64_t>(tiers[i].first);
  }
  st.cand.ids = copy_values_of<uint32_t>(tiers[1].ids);
  st.stat.ids = mapped_or_copied<uint32_t>(tiers[0].ids, ids_spot, st.stat.ids_mapped);
  st.coords = mapped_or_copied<float>(coords, coords_spot, st.coords_mapped);
  without_gil([&] { validate_state_values(st); });
  return st;
}

PyObject* index_from_state(PyTypeObject* type, PyObject* state, PyObject* files) {
  IndexState st = read_state(state, files);
  Ref self(type->tp_alloc(type, 0));
  auto* obj = reinterpret_cast<IndexObject*>(self.get());
  std::construct_at(&obj->record);
  std::construct_at(&obj->borrow, 0);
  // From here the object's dealloc owns the record.
  install_state(obj->record, std::move(st));
  return self.release();
}

}  // namespace

PyObject* method_state(PyObject* self, PyObject*) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    SharedAccess access(reinterpret_cast<IndexObject*>(self));
    return state_of(access.record());
  });
}

PyObject* method_from_state(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[2];
    match_args({"RustLshIndex._from_state", {"state", "files"}, 1}, args, nargs, kwnames, a);
    return index_from_state(reinterpret_cast<PyTypeObject*>(cls), a[0], a[1]);
  });
}

PyObject* method_reduce(PyObject* self, PyObject*) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    Ref module(check(PyImport_ImportModule("plovik._native")));
    Ref restore(check(PyObject_GetAttrString(module.get(), "_restore_index")));
    Ref state(method_state(self, nullptr));
    return check(Py_BuildValue("(O(O))", restore.get(), state.get()));
  });
}

PyObject* function_restore_index(PyObject*, PyObject* state) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* type = check(index_type());
    return index_from_state(reinterpret_cast<PyTypeObject*>(type), state, nullptr);
  });
}

}  // namespace plovik::py
