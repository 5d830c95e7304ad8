// _set_thread_limit(limit, process=False) and _thread_count(): the worker
// limits that plovik.threads wraps; and the same process-wide limit as
// plain C symbols for the tools that scan a process's shared libraries.
#include "binding/convert/args.hpp"
#include "binding/functions.hpp"
#include "binding/runtime/exceptions.hpp"
#include "parallel/pool.hpp"

namespace plovik::py {

// _set_thread_limit(limit, process=False): the workers of the calls this
// thread makes from now on (or, with process true, of every call), 0 for no
// limit; returns the limit replaced. plovik.threads wraps these.
PyObject* function_set_thread_limit(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[2];
    match_args({"_set_thread_limit", {"limit", "process"}, 1}, args, nargs, kwnames, a);
    const std::size_t limit = to_usize(a[0], "limit");
    const int process = a[1] == nullptr ? 0 : PyObject_IsTrue(a[1]);
    check(process);
    const std::size_t previous =
        process ? parallel::set_process_thread_limit(limit) : parallel::set_thread_limit(limit);
    return check(PyLong_FromSize_t(previous));
  });
}

// _thread_count(): the workers a call made now from this thread would use.
PyObject* function_thread_count(PyObject*, PyObject*) {
  return guard<PyObject*>(
      nullptr, [&]() -> PyObject* { return check(PyLong_FromSize_t(parallel::thread_count())); });
}

// The process-wide worker count as the thread-pool tools that scan a
// process's shared libraries read and set it (threadpoolctl; plovik.threads
// registers the controller): plain C symbols, exported from the module.
extern "C" __attribute__((visibility("default"))) int plovik_get_num_threads() {
  const std::size_t pool = parallel::pool_thread_count();
  const std::size_t limit = parallel::process_thread_limit();
  return static_cast<int>(limit != 0 && limit < pool ? limit : pool);
}

extern "C" __attribute__((visibility("default"))) void plovik_set_num_threads(int n) {
  parallel::set_process_thread_limit(n > 0 ? static_cast<std::size_t>(n) : 0);
}

}  // namespace plovik::py
