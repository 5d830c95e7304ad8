// The process-wide worker pool shared by every index and every interpreter
// thread. Created on first use; T workers in all, the calling thread being
// one of them while it waits for its own job. T never exceeds four workers
// per online processor, nor 1024: larger requests are clamped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

namespace plovik::parallel {

// The absolute cap on the worker count, whatever the machine.
inline constexpr std::size_t max_thread_cap = 1024;

// The most workers the pool runs with: four per online processor (1
// processor if unknown), at most max_thread_cap.
std::size_t max_thread_count();

// T: RAYON_NUM_THREADS when it holds a positive decimal integer, the online
// processors when it holds 0; otherwise RAYON_RS_NUM_CPUS when positive,
// else the online processors (1 if unknown). A number too large for size_t
// is not a count. T is then clamped to max_thread_count(), so it lies in
// [1, 1024]. Read once per process: the pool has T workers.
std::size_t pool_thread_count();

// The workers a job started now may use: T, or fewer under a limit (the
// process-wide one, or the calling thread's ThreadLimit, whichever is
// lower). The tasks of a job see the limit of the call that started it.
// How work is divided never changes a result, so neither does a limit.
std::size_t thread_count();

// The process-wide limit on the workers of every job (0: none); the setter
// returns the limit it replaces.
std::size_t set_process_thread_limit(std::size_t limit);
std::size_t process_thread_limit();

// While alive, jobs started on this thread use at most `limit` workers,
// the thread itself included (0: no limit of its own). Limits nest; two
// threads with different limits may run jobs at the same time.
class ThreadLimit {
 public:
  explicit ThreadLimit(std::size_t limit) noexcept;
  ~ThreadLimit();
  ThreadLimit(const ThreadLimit&) = delete;
  ThreadLimit& operator=(const ThreadLimit&) = delete;

 private:
  const std::size_t saved_;
};

// Sets this thread's own limit (0: none) and returns the one it replaces;
// ThreadLimit does this for a scope.
std::size_t set_thread_limit(std::size_t limit) noexcept;

// per_worker * thread_count(), saturating at SIZE_MAX instead of wrapping,
// and at least 1: a task count sized by T that is always safe to divide by.
inline std::size_t tasks_per_worker(std::size_t per_worker) {
  const std::size_t threads = thread_count();
  if (per_worker == 0 || threads == 0) return 1;
  if (threads > SIZE_MAX / per_worker) return SIZE_MAX;
  return per_worker * threads;
}

// Hands out the task indices of one job. next() returns false once every
// task has been claimed, a task of the job has thrown, or the call the job
// belongs to must stop (interrupt.hpp).
class TaskSource {
 public:
  virtual bool next(std::size_t& task) = 0;

 protected:
  ~TaskSource() = default;
};

// A non-owning reference to a callable `void(TaskSource&)`. Copies refer to
// the same callable (the constructor template never wraps a WorkerRef).
class WorkerRef {
 public:
  template <class F>
    requires(!std::is_same_v<std::remove_cv_t<F>, WorkerRef>)
  WorkerRef(F& f)
      : obj_(const_cast<void*>(static_cast<const void*>(&f))),
        call_([](void* o, TaskSource& s) { (*static_cast<F*>(o))(s); }) {}
  void operator()(TaskSource& s) const { call_(obj_, s); }

 private:
  void* obj_;
  void (*call_)(void*, TaskSource&);
};

// Runs `worker` on up to thread_count() threads at once, the caller included; each
// invocation claims tasks from the source until it is exhausted. Returns
// when every invocation has returned. The first exception thrown by any
// invocation is rethrown here, on the caller, after the others finished;
// the pool stays usable. Called from inside a pool task, runs inline. The
// job belongs to the caller's current interrupt scope (interrupt.hpp): when
// that says stop, no further task starts and Interrupted is thrown here,
// unless another exception came first.
void run(std::size_t n_tasks, WorkerRef worker);

// Calls body(state, task) for task = 0 .. n_tasks - 1. Every thread that
// takes part makes its own state with make_state() when it claims its first
// task and keeps it for all the tasks it claims.
template <class MakeState, class Body>
void for_tasks(std::size_t n_tasks, MakeState&& make_state, Body&& body) {
  if (n_tasks == 0) return;
  auto worker = [&](TaskSource& src) {
    std::size_t task;
    if (!src.next(task)) return;
    auto state = make_state();
    do {
      body(state, task);
    } while (src.next(task));
  };
  run(n_tasks, WorkerRef(worker));
}

// Calls body(task) for task = 0 .. n_tasks - 1 (for instance one task per table).
template <class Body>
void for_each(std::size_t n_tasks, Body&& body) {
  if (n_tasks == 0) return;
  auto worker = [&](TaskSource& src) {
    std::size_t task;
    while (src.next(task)) body(task);
  };
  run(n_tasks, WorkerRef(worker));
}

// Cuts [0, n) into chunks of `chunk` items (the last may be shorter) and
// calls body(state, begin, end) for each, with per-thread state as in
// for_tasks.
template <class MakeState, class Body>
void for_chunks(std::size_t n, std::size_t chunk, MakeState&& make_state, Body&& body) {
  if (n == 0) return;
  if (chunk == 0) chunk = 1;
  const std::size_t n_chunks = n / chunk + (n % chunk != 0);
  for_tasks(n_chunks, std::forward<MakeState>(make_state), [&](auto& state, std::size_t c) {
    const std::size_t begin = c * chunk;
    const std::size_t end = n - begin > chunk ? begin + chunk : n;
    body(state, begin, end);
  });
}

}  // namespace plovik::parallel
