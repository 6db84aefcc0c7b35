#pragma once
// Stopping long work early. A caller that can be interrupted (the Python binding, which must let
// the interpreter run its signal handlers) installs a poll for the current thread; the solvers ask
// stop_requested() between evaluations and wind down when it says so. The core never learns what
// the poll looks at.

#include <chrono>

namespace movarin {

// Returns true when the work should stop. Called on the thread that installed it, never on a pool
// worker.
using StopPoll = bool (*)(void* context);

// Installs `poll` for the current thread while the scope lives; scopes nest, the innermost wins.
class CancellationScope {
 public:
  CancellationScope(StopPoll poll, void* context,
                    std::chrono::steady_clock::duration interval = std::chrono::milliseconds(20));
  CancellationScope(const CancellationScope&) = delete;
  CancellationScope& operator=(const CancellationScope&) = delete;
  ~CancellationScope();

  // Whether the poll has asked to stop (it is not asked again once it has).
  bool stopped() const { return stopped_; }

 private:
  friend bool stop_requested();
  StopPoll poll_;
  void* context_;
  std::chrono::steady_clock::duration interval_;
  std::chrono::steady_clock::time_point next_poll_;
  std::chrono::steady_clock::time_point last_read_;
  unsigned stride_ = 1;
  unsigned countdown_ = 1;
  bool stopped_ = false;
  CancellationScope* outer_;
};

// True once the current thread's poll has asked to stop. The poll runs at most once per interval;
// a coarse clock is read only every few calls (about every millisecond of work), so a caller may
// ask after every evaluation. Threads without a scope (pool workers among them) are never stopped.
bool stop_requested();

// Whether the current thread's poll has already asked to stop, without polling.
bool stop_was_requested();

}  // namespace movarin
