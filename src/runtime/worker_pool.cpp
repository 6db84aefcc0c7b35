#include "runtime/worker_pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <cerrno>
#include <cstdlib>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace movarin {
namespace {

// Waking a sleeping thread costs about 10-15 us on the virtual machines we run on, more than a
// Jacobian column of a typical fit takes, so threads that expect work soon look for it a while
// before they sleep. Yielding while they look leaves the cores to threads with real work.
constexpr auto kSpinTime = std::chrono::microseconds(100);

template <class Ready>
bool spin_until(const Ready& ready) {
  const auto deadline = std::chrono::steady_clock::now() + kSpinTime;
  for (unsigned round = 1;; ++round) {
    if (ready()) return true;
    if (round % 16 == 0) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::yield();
    }
  }
}

// One run_parallel call. Shared ownership lets a worker that lost the race for the last chunk
// still touch the batch after its caller has returned.
class Batch {
 public:
  Batch(std::size_t count, std::size_t grain, RangeTask task, void* context)
      : count_(count),
        grain_(grain),
        chunk_count_((count - 1) / grain + 1),
        task_(task),
        context_(context) {}

  std::size_t chunk_count() const { return chunk_count_; }

  // Claims and runs one chunk; false when every chunk has already been claimed.
  bool run_one_chunk() {
    const std::size_t chunk = next_chunk_.fetch_add(1, std::memory_order_relaxed);
    if (chunk >= chunk_count_) return false;
    const std::size_t begin = chunk * grain_;
    const std::size_t end = begin + std::min(grain_, count_ - begin);
    std::exception_ptr thrown;
    try {
      task_(context_, begin, end);
    } catch (...) {
      thrown = std::current_exception();
    }
    std::lock_guard lock(mutex_);
    if (thrown && !first_error_) first_error_ = std::move(thrown);
    if (++finished_chunks_ == chunk_count_) all_finished_.notify_all();
    return true;
  }

  // The caller takes the exception over, so that it is never destroyed by a worker that still
  // holds the batch while the caller handles it.
  void wait_and_rethrow() {
    std::exception_ptr error;
    {
      std::unique_lock lock(mutex_);
      all_finished_.wait(lock, [this] { return finished_chunks_ == chunk_count_; });
      error = std::exchange(first_error_, nullptr);
    }
    if (error) std::rethrow_exception(error);
  }

 private:
  const std::size_t count_;
  const std::size_t grain_;
  const std::size_t chunk_count_;
  const RangeTask task_;
  void* const context_;
  std::atomic<std::size_t> next_chunk_{0};
  std::mutex mutex_;
  std::condition_variable all_finished_;
  std::atomic<std::size_t> finished_chunks_{0};
  std::exception_ptr first_error_;
};

// Workers take chunks from the oldest batch that still has unclaimed ones. A pool is never
// destroyed: joining threads from a static destructor can deadlock at interpreter exit, and after
// a fork the old pool's locks may be held by threads that no longer exist.
class Pool {
 public:
  explicit Pool(std::size_t wanted_workers) {
    for (std::size_t i = 0; i < wanted_workers; ++i) {
      // Callers run their own chunks, so a pool short of threads is slower but still correct.
      try {
        std::thread([this] { work(); }).detach();
      } catch (const std::system_error&) {
        break;
      }
      ++worker_count_;
    }
  }

  std::size_t worker_count() const { return worker_count_; }

  void submit(const std::shared_ptr<Batch>& batch) {
    std::size_t sleeping = 0;
    {
      std::lock_guard lock(mutex_);
      pending_.push_back(batch);
      pending_count_.store(pending_.size(), std::memory_order_release);
      sleeping = sleeping_;
    }
    // The caller takes one chunk itself; workers still looking for work need no call.
    const std::size_t helpers = std::min(batch->chunk_count() - 1, sleeping);
    if (helpers == worker_count_) {
      work_available_.notify_all();
    } else {
      for (std::size_t i = 0; i < helpers; ++i) work_available_.notify_one();
    }
  }

  // Called once all of the batch's chunks are claimed; later calls for it do nothing.
  void retire(const Batch* batch) {
    std::lock_guard lock(mutex_);
    const auto found = std::find_if(pending_.begin(), pending_.end(),
                                    [batch](const auto& entry) { return entry.get() == batch; });
    if (found != pending_.end()) pending_.erase(found);
    pending_count_.store(pending_.size(), std::memory_order_release);
  }

 private:
  void work() {
    for (;;) {
      const std::shared_ptr<Batch> batch = next_batch();
      if (!batch->run_one_chunk()) retire(batch.get());
    }
  }

  std::shared_ptr<Batch> next_batch() {
    spin_until([this] { return pending_count_.load(std::memory_order_acquire) > 0; });
    std::unique_lock lock(mutex_);
    if (pending_.empty()) {
      ++sleeping_;
      work_available_.wait(lock, [this] { return !pending_.empty(); });
      --sleeping_;
    }
    return pending_.front();
  }

  std::size_t worker_count_ = 0;
  std::mutex mutex_;
  std::condition_variable work_available_;
  std::deque<std::shared_ptr<Batch>> pending_;
  std::atomic<std::size_t> pending_count_{0};  // pending_.size(), readable without the lock
  std::size_t sleeping_ = 0;                   // workers waiting on work_available_
};

std::atomic<Pool*> shared_pool_instance{nullptr};
// Held across fork() so that a child never inherits a half-built pool or a locked mutex.
std::mutex pool_creation_mutex;

void before_fork() {
  pool_creation_mutex.lock();
}
void after_fork_in_parent() {
  pool_creation_mutex.unlock();
}
void after_fork_in_child() {
  // The workers did not survive the fork; abandon their pool without touching its state.
  shared_pool_instance.store(nullptr, std::memory_order_relaxed);
  pool_creation_mutex.unlock();
}

// Registered at load time rather than at first use: pthread_atfork takes the C library's fork
// lock, which fork() holds while it calls before_fork, so registering under
// pool_creation_mutex could deadlock against a concurrent fork.
const bool fork_handlers_registered =
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;

// A container, taskset or a process manager that shares a host among several workers pins a
// process to fewer processors than the machine has; a thread per machine processor would then
// oversubscribe the ones it may use.
std::size_t usable_processor_count() {
#ifdef __linux__
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  // Fails with more processors than a cpu_set_t holds (1024); the hardware's count serves there.
  if (sched_getaffinity(0, sizeof(allowed), &allowed) == 0 && CPU_COUNT(&allowed) > 0) {
    return static_cast<std::size_t>(CPU_COUNT(&allowed));
  }
#endif
  return std::max<std::size_t>(1, std::thread::hardware_concurrency());
}

// A whole decimal number from 1 to kMaxThreads, blanks around it allowed; 0 for anything else.
std::size_t parse_thread_count(const char* text) {
  if (text == nullptr) return 0;
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text, &end, 10);
  if (end == text || errno == ERANGE) return 0;
  while (*end == ' ' || *end == '\t' || *end == '\n') ++end;
  if (*end != '\0' || value < 1 || value > static_cast<long long>(kMaxThreads)) return 0;
  return static_cast<std::size_t>(value);
}

Pool& shared_pool() {
  if (Pool* pool = shared_pool_instance.load(std::memory_order_acquire)) return *pool;
  std::lock_guard lock(pool_creation_mutex);
  Pool* pool = shared_pool_instance.load(std::memory_order_relaxed);
  if (pool == nullptr) {
    pool = new Pool(configured_thread_count() - 1);
    shared_pool_instance.store(pool, std::memory_order_release);
  }
  return *pool;
}

}  // namespace

void run_parallel(std::size_t count, std::size_t grain, RangeTask task, void* context) {
  if (count == 0) return;
  grain = std::max<std::size_t>(grain, 1);
  if (count <= grain) {
    task(context, 0, count);
    return;
  }
  Pool& pool = shared_pool();
  const auto batch = std::make_shared<Batch>(count, grain, task, context);
  if (pool.worker_count() == 0) {
    // Nobody could help: the chunks run here, without the pool's lock.
    while (batch->run_one_chunk()) {
    }
    batch->wait_and_rethrow();
    return;
  }
  pool.submit(batch);
  while (batch->run_one_chunk()) {
  }
  pool.retire(batch.get());
  batch->wait_and_rethrow();
}

std::size_t worker_count() {
  return shared_pool().worker_count();
}

std::size_t configured_thread_count() {
  if (const std::size_t wanted = parse_thread_count(std::getenv("MOVARIN_NUM_THREADS"))) {
    return wanted;
  }
  return usable_processor_count();
}

}  // namespace movarin
