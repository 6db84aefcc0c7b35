#pragma once
// The process-wide pool of worker threads for data-parallel loops.

#include <cstddef>
#include <type_traits>

namespace movarin {

using RangeTask = void (*)(void* context, std::size_t begin, std::size_t end);

// Runs task over [0, count) in chunks of at most `grain` indices, on the pool and the calling
// thread, and returns when every chunk is done. The pool starts on first use with
// configured_thread_count() - 1 workers, the caller being the last thread; a forked child starts a
// fresh one. Any thread may call this at any time, including a task running on the pool: the
// caller works through its own chunks, so progress never waits for a free worker. The first
// exception thrown by a chunk is rethrown here after the other chunks finish.
void run_parallel(std::size_t count, std::size_t grain, RangeTask task, void* context);

template <class F>
void parallel_for(std::size_t count, std::size_t grain, F&& body) {
  auto trampoline = [](void* context, std::size_t begin, std::size_t end) {
    (*static_cast<std::remove_reference_t<F>*>(context))(begin, end);
  };
  run_parallel(count, grain, trampoline, const_cast<void*>(static_cast<const void*>(&body)));
}

// The number of pool workers (starts the pool).
std::size_t worker_count();

// The number of threads a parallel loop runs on, its caller included: MOVARIN_NUM_THREADS when it
// holds a whole number from 1 to kMaxThreads (1: every loop runs on its caller alone), otherwise
// the processors this process may run on (its affinity mask on Linux), otherwise the hardware's
// count. Invalid values of the variable are ignored. The pool reads this once, when it starts.
inline constexpr std::size_t kMaxThreads = 1024;
std::size_t configured_thread_count();

}  // namespace movarin
