#include "binding/runtime/exceptions.hpp"

#include <mutex>
#include <new>
#include <stdexcept>
#include <system_error>

#include "index/errors.hpp"
#include "parallel/interrupt.hpp"

namespace plovik::py {

[[noreturn]] void raise(PyObject* exc, const char* message) {
  PyErr_SetString(exc, message);
  throw PythonError{};
}

PyObject* panic_exception_type() {
  // Created on first need and kept for the life of the process. The lock
  // guarantees one type even on an interpreter without the global lock.
  static PyObject* type = nullptr;
  static std::mutex creating;
  std::lock_guard<std::mutex> hold(creating);
  if (type == nullptr)
    type = PyErr_NewExceptionWithDoc(
        "plovik._native.PanicException",
        "An internal precondition of the index engine was violated. The index is "
        "left as it was before the call.",
        PyExc_BaseException, nullptr);
  return type;
}

namespace {

void set_panic(const char* message) {
  PyObject* type = panic_exception_type();
  if (type != nullptr) PyErr_SetString(type, message);
}

}  // namespace

void set_python_error_from_current() noexcept {
  try {
    throw;
  } catch (const PythonError&) {
    if (!PyErr_Occurred()) set_panic("a Python error was reported without an exception");
  } catch (const Panic& e) {
    set_panic(e.what());
  } catch (const InvalidArgument& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const parallel::Interrupted&) {
    // The signal handler's exception is normally set already (gil.hpp).
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
  } catch (const std::system_error& e) {
    // A file the engine opened or mapped: OSError (or its subclass for the
    // error number) with the file's name in the message.
    PyObject* exc = PyObject_CallFunction(PyExc_OSError, "is", e.code().value(), e.what());
    if (exc != nullptr) {
      PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
      Py_DECREF(exc);
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    set_panic(e.what());
  } catch (...) {
    set_panic("unknown fatal error in the index engine");
  }
}

}  // namespace plovik::py
