// The process-wide pool: T - 1 background threads, started on first use and
// never stopped, serve the jobs published by run(); the thread that calls
// run() works on its own job as well, so a job always finishes even when
// every background thread is busy with other callers' jobs.
#include "pool.hpp"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "interrupt.hpp"

namespace plovik::parallel {
namespace {

// True while this thread runs a pool task: a run() from there works inline,
// so that nested parallel loops cannot wait on themselves.
thread_local bool t_in_task = false;

class InTaskScope {
 public:
  InTaskScope() : saved_(t_in_task) { t_in_task = true; }
  ~InTaskScope() { t_in_task = saved_; }
  InTaskScope(const InTaskScope&) = delete;
  InTaskScope& operator=(const InTaskScope&) = delete;

 private:
  bool saved_;
};

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  __asm__ __volatile__("yield");
#endif
}

// Busy-waits until done() holds or a few microseconds have passed; says
// whether done() held. Cheaper than a sleep and wake-up when the wait is short.
template <class Done>
bool spin_briefly(Done done) {
  constexpr auto budget = std::chrono::microseconds(4);
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    for (int i = 0; i < 32; ++i) {
      if (done()) return true;
      cpu_relax();
    }
    if (std::chrono::steady_clock::now() - start > budget) return done();
  }
}

// One call of run(): the task counter, the first error, the interrupt scope
// of the call it belongs to, and the pool's bookkeeping for it. Lives on the
// caller's stack until every invocation of the worker has returned.
class Job final : public TaskSource {
 public:
  Job(std::size_t n_tasks, WorkerRef worker)
      : n_tasks_(n_tasks),
        limit_(thread_count()),
        worker_(worker),
        scope_(current_interrupt_scope()) {}
  Job(const Job&) = delete;
  Job& operator=(const Job&) = delete;

  // Between two tasks: a job whose call must stop fails with Interrupted.
  bool next(std::size_t& task) override {
    if (failed_.load(std::memory_order_relaxed)) return false;
    if (scope_ != nullptr && scope_->should_stop()) {
      fail(std::make_exception_ptr(Interrupted{}));
      return false;
    }
    const std::size_t claimed = next_task_.fetch_add(1, std::memory_order_relaxed);
    if (claimed >= n_tasks_) return false;
    task = claimed;
    return true;
  }

  bool has_unclaimed() const {
    return !failed_.load(std::memory_order_relaxed) &&
           next_task_.load(std::memory_order_relaxed) < n_tasks_;
  }

  // One invocation of the worker on this thread. An exception ends the job:
  // the first one is kept for the caller, the tasks left are skipped. Jobs
  // nested in the tasks belong to the same call.
  void invoke() noexcept {
    InTaskScope in_task;
    ScopeInherited call(scope_);
    ThreadLimit limit(limit_);
    try {
      worker_(*this);
    } catch (...) {
      fail(std::current_exception());
    }
  }

  // Only once every invocation has returned.
  void rethrow_if_failed() const {
    if (error_) std::rethrow_exception(error_);
  }

  std::size_t n_tasks() const { return n_tasks_; }

  // Background threads it may take besides its caller.
  std::size_t helpers() const { return limit_ - 1; }

  // Ends the job; the first failure is the one reported.
  void fail(std::exception_ptr error) noexcept {
    if (!failed_.exchange(true, std::memory_order_relaxed)) error_ = std::move(error);
  }

  // Guarded by the pool mutex.
  Job* prev = nullptr;
  Job* next_job = nullptr;
  bool queued = false;
  bool caller_waiting = false;  // the caller sleeps on all_returned
  std::condition_variable all_returned;

  // Background threads inside invoke(). Raised only under the pool mutex
  // while the job is queued; lowered by each of them when it is done, so
  // that the caller can see it reach 0 without taking the mutex.
  std::atomic<std::size_t> active{0};

 private:
  alignas(64) std::atomic<std::size_t> next_task_{0};
  std::atomic<bool> failed_{false};
  const std::size_t n_tasks_;
  const std::size_t limit_;  // workers at most, the caller included: thread_count() of the caller
  const WorkerRef worker_;
  InterruptScope* const scope_;  // null: runs to its end
  std::exception_ptr error_;     // written once, by the invocation that set failed_
};

// Blocks the asynchronous signals while alive, so that threads started
// meanwhile inherit a mask that leaves those signals to the interpreter's
// threads. Faults stay deliverable to the thread that causes them.
class AsyncSignalsBlocked {
 public:
  AsyncSignalsBlocked() {
    sigset_t set;
    sigfillset(&set);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT})
      sigdelset(&set, sig);
    active_ = pthread_sigmask(SIG_BLOCK, &set, &saved_) == 0;
  }
  ~AsyncSignalsBlocked() {
    if (active_) pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
  }
  AsyncSignalsBlocked(const AsyncSignalsBlocked&) = delete;
  AsyncSignalsBlocked& operator=(const AsyncSignalsBlocked&) = delete;

 private:
  sigset_t saved_;
  bool active_ = false;
};

class Pool {
 public:
  // Starts up to n_threads background threads; stops at the first one the
  // system refuses and makes do with those it has.
  explicit Pool(std::size_t n_threads) { n_started_ = start_threads(n_threads); }
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  bool has_threads() const { return n_started_ > 0; }

  // Publishes the job, works on it, and returns once no background thread
  // is inside it any more.
  void run(Job& job) {
    std::size_t to_wake = 0;
    {
      std::lock_guard lock(mu_);
      enqueue(job);
      to_wake = std::min({job.n_tasks() - 1, job.helpers(), idle_});
    }
    if (to_wake >= n_started_) {
      wake_.notify_all();
    } else {
      for (std::size_t i = 0; i < to_wake; ++i) wake_.notify_one();
    }
    job.invoke();
    {
      std::lock_guard lock(mu_);
      if (job.queued) dequeue(job);  // from here on nobody joins
    }
    // Background threads still inside the job are usually on their last
    // task: watch them briefly before going to sleep.
    const auto all_returned = [&] { return job.active.load(std::memory_order_acquire) == 0; };
    if (!spin_briefly(all_returned)) {
      std::unique_lock lock(mu_);
      job.caller_waiting = true;
      job.all_returned.wait(lock, all_returned);
    }
    job.rethrow_if_failed();
  }

  // A pool left behind in a forked child, kept reachable from here.
  Pool* abandoned_before = nullptr;

 private:
  // Starts up to n threads with the asynchronous signals blocked (they
  // inherit the mask) and returns how many run: the first thread the system
  // refuses, or the memory for their list running out, ends the start-up.
  std::size_t start_threads(std::size_t n) {
    AsyncSignalsBlocked mask;
    try {
      threads_.reserve(std::min<std::size_t>(n, 1024));
      for (std::size_t i = 0; i < n; ++i) threads_.emplace_back([this] { serve(); });
    } catch (const std::system_error&) {
      return threads_.size();
    } catch (const std::bad_alloc&) {
      return threads_.size();
    }
    return threads_.size();
  }

  void serve() {
    std::unique_lock lock(mu_);
    bool may_spin = false;
    for (;;) {
      Job* job = first_with_tasks();
      if (job == nullptr) {
        if (may_spin) {
          may_spin = false;
          // After a job, watch for the next one for a few microseconds
          // before sleeping: back-to-back jobs then skip a wake-up.
          lock.unlock();
          spin_briefly([&] { return n_queued_.load(std::memory_order_relaxed) != 0; });
          lock.lock();
        } else {
          ++idle_;
          wake_.wait(lock);
          --idle_;
        }
        continue;
      }
      job->active.fetch_add(1, std::memory_order_relaxed);
      lock.unlock();
      job->invoke();
      lock.lock();
      // Once active reaches 0 a spinning caller may return and the job is
      // gone, so read caller_waiting first. It is set under the mutex, which
      // this thread holds: if it is true the caller is asleep and cannot
      // return before this thread releases the mutex.
      const bool wake_caller = job->caller_waiting;
      if (job->active.fetch_sub(1, std::memory_order_release) == 1 && wake_caller) {
        job->all_returned.notify_one();
      }
      may_spin = true;
    }
  }

  // The oldest queued job with a task left to claim and room for one more
  // helper under its thread limit; exhausted jobs met on the way leave the
  // queue. `active` only changes under the mutex, which the caller holds.
  Job* first_with_tasks() {
    for (Job* job = head_; job != nullptr;) {
      Job* after = job->next_job;
      if (!job->has_unclaimed()) {
        dequeue(*job);
      } else if (job->active.load(std::memory_order_relaxed) < job->helpers()) {
        return job;
      }
      job = after;
    }
    return nullptr;
  }

  void enqueue(Job& job) {
    job.prev = tail_;
    job.next_job = nullptr;
    (tail_ != nullptr ? tail_->next_job : head_) = &job;
    tail_ = &job;
    job.queued = true;
    n_queued_.fetch_add(1, std::memory_order_relaxed);
  }

  void dequeue(Job& job) {
    (job.prev != nullptr ? job.prev->next_job : head_) = job.next_job;
    (job.next_job != nullptr ? job.next_job->prev : tail_) = job.prev;
    job.prev = job.next_job = nullptr;
    job.queued = false;
    n_queued_.fetch_sub(1, std::memory_order_relaxed);
  }

  std::mutex mu_;
  std::condition_variable wake_;
  Job* head_ = nullptr;  // FIFO of published jobs, guarded by mu_
  Job* tail_ = nullptr;
  std::size_t idle_ = 0;                  // threads asleep on wake_, guarded by mu_
  std::atomic<std::size_t> n_queued_{0};  // length of the FIFO, read without the lock
  std::size_t n_started_ = 0;
  // Joinable for ever: the pool is never destroyed.
  std::vector<std::thread> threads_;
};

// The pool is created under g_create_mu, which the fork handlers hold across
// fork(): a child never sees a pool half made. In the child the pool's
// threads do not exist and its mutex may be held by one of them, so the
// child drops it without touching it and makes a new one on first use.
// Pools are never destroyed: joining or destroying threads while the
// interpreter shuts down could hang or terminate the process.
std::mutex g_create_mu;
std::atomic<Pool*> g_pool{nullptr};
Pool* g_abandoned = nullptr;             // guarded by g_create_mu
bool g_fork_handlers_installed = false;  // guarded by g_create_mu

void before_fork() { g_create_mu.lock(); }

void after_fork_in_parent() { g_create_mu.unlock(); }

void after_fork_in_child() {
  if (Pool* old = g_pool.load(std::memory_order_relaxed)) {
    old->abandoned_before = g_abandoned;
    g_abandoned = old;
    g_pool.store(nullptr, std::memory_order_relaxed);
  }
  g_create_mu.unlock();
}

Pool& pool() {
  if (Pool* p = g_pool.load(std::memory_order_acquire)) return *p;
  std::lock_guard lock(g_create_mu);
  if (Pool* p = g_pool.load(std::memory_order_relaxed)) return *p;
  if (!g_fork_handlers_installed) {
    g_fork_handlers_installed =
        pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;
  }
  Pool* p = std::make_unique<Pool>(pool_thread_count() - 1).release();  // never destroyed
  g_pool.store(p, std::memory_order_release);
  return *p;
}

void run_inline(std::size_t n_tasks, WorkerRef worker) {
  Job job(n_tasks, worker);
  job.invoke();
  job.rethrow_if_failed();
}

}  // namespace

void run(std::size_t n_tasks, WorkerRef worker) {
  if (n_tasks == 0) return;
  if (t_in_task || n_tasks == 1 || thread_count() <= 1) return run_inline(n_tasks, worker);
  Pool& p = pool();
  if (!p.has_threads()) return run_inline(n_tasks, worker);
  Job job(n_tasks, worker);
  p.run(job);
}

}  // namespace plovik::parallel
