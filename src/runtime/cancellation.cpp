#include "runtime/cancellation.hpp"

#include <time.h>

namespace movarin {
namespace {

thread_local CancellationScope* current_scope = nullptr;

constexpr auto kReadSpacing = std::chrono::microseconds(1000);
constexpr unsigned kLongestStride = 256;

// Asked after every evaluation, so the clock must cost next to nothing: the coarse monotonic clock
// is a memory read (its resolution, a few milliseconds, is ample for a poll interval of tens).
std::chrono::steady_clock::time_point coarse_now() {
#if defined(CLOCK_MONOTONIC_COARSE)
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  using Clock = std::chrono::steady_clock;
  const auto since_boot = std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
  return Clock::time_point(std::chrono::duration_cast<Clock::duration>(since_boot));
#else
  return std::chrono::steady_clock::now();
#endif
}

}  // namespace

CancellationScope::CancellationScope(StopPoll poll, void* context,
                                     std::chrono::steady_clock::duration interval)
    : poll_(poll),
      context_(context),
      interval_(interval),
      next_poll_(coarse_now() + interval),
      last_read_(coarse_now()),
      outer_(current_scope) {
  current_scope = this;
}

CancellationScope::~CancellationScope() { current_scope = outer_; }

bool stop_requested() {
  CancellationScope* scope = current_scope;
  if (scope == nullptr) return false;
  if (scope->stopped_) return true;
  if (--scope->countdown_ > 0) return false;
  // The clock is read every `stride` calls, a stride that adapts so that reads fall about a
  // millisecond apart: every call for slow evaluations, every few hundred for microsecond ones.
  const auto now = coarse_now();
  const auto since_read = now - scope->last_read_;
  scope->last_read_ = now;
  if (since_read < kReadSpacing / 2 && scope->stride_ < kLongestStride) scope->stride_ *= 2;
  if (since_read > kReadSpacing * 2 && scope->stride_ > 1) scope->stride_ /= 2;
  scope->countdown_ = scope->stride_;
  if (now < scope->next_poll_) return false;
  scope->stopped_ = scope->poll_(scope->context_);
  // Timed from the poll's end: a poll that waited for the interpreter lock does not count as work.
  scope->next_poll_ = coarse_now() + scope->interval_;
  scope->last_read_ = scope->next_poll_ - scope->interval_;
  return scope->stopped_;
}

bool stop_was_requested() {
  const CancellationScope* scope = current_scope;
  return scope != nullptr && scope->stopped();
}

}  // namespace movarin
