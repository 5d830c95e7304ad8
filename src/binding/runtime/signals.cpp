#include "binding/runtime/signals.hpp"

#include <pthread.h>

#include <atomic>

#include "binding/runtime/ref.hpp"
#include "index/memory/array_reuse.hpp"

namespace plovik::py {

namespace {

// The thread ident of the thread that runs Python's signal handlers; 0 while
// unknown.
std::atomic<unsigned long> g_signal_thread{0};

// A child of fork() continues on the forking thread, which Python makes the
// child's main thread.
void after_fork_in_child() {
  g_signal_thread.store(PyThread_get_thread_ident(), std::memory_order_relaxed);
}

// The handlers (and whatever else PyErr_CheckSignals runs) may free or
// allocate large engine arrays of other objects: not into the set of the
// index this call works on.
bool poll_signals(void* ctx) {
  auto& polling = *static_cast<SignalPolling*>(ctx);
  ReuseSuspended other_objects;
  PyEval_RestoreThread(polling.state);
  const bool raised = PyErr_CheckSignals() != 0;
  polling.state = PyEval_SaveThread();
  polling.raised = raised;
  return raised;
}

// Only the main thread of the main interpreter runs signal handlers; any
// other thread would take the lock for nothing (and a daemon thread could be
// ended inside the hook while the interpreter shuts down).
bool handles_signals() {
  const unsigned long main = g_signal_thread.load(std::memory_order_relaxed);
  return main != 0 && PyThread_get_thread_ident() == main &&
         PyInterpreterState_Get() == PyInterpreterState_Main();
}

}  // namespace

void note_signal_thread() {
  static std::atomic<bool> fork_handler{false};
  Ref threading(PyImport_ImportModule("threading"));
  Ref main(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
  Ref ident(PyObject_GetAttrString(main.get(), "ident"));
  const unsigned long value = PyLong_AsUnsignedLong(ident.get());
  if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) throw PythonError{};
  g_signal_thread.store(value, std::memory_order_relaxed);
  if (!fork_handler.exchange(true)) pthread_atfork(nullptr, nullptr, after_fork_in_child);
}

SignalPolling::SignalPolling() {
  if (handles_signals()) scope_.emplace(&poll_signals, this);
}

}  // namespace plovik::py
