#include <doctest/doctest.h>
#include <dirent.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "runtime/worker_pool.hpp"

using movarin::parallel_for;

namespace {

// ThreadSanitizer's runtime cannot start threads in a child forked from a process that already
// runs threads, so the tests that fork a child of a busy process cannot run under it.
#if defined(__SANITIZE_THREAD__)
constexpr bool kUnderThreadSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kUnderThreadSanitizer = true;
#else
constexpr bool kUnderThreadSanitizer = false;
#endif
#else
constexpr bool kUnderThreadSanitizer = false;
#endif

// Runs a loop over [0, count) and reports how often each index ran.
std::vector<int> visit_counts(std::size_t count, std::size_t grain) {
  std::vector<std::atomic<int>> visits(count);
  std::atomic<bool> oversized_chunk{false};
  parallel_for(count, grain, [&](std::size_t begin, std::size_t end) {
    if (end - begin > std::max<std::size_t>(grain, 1)) oversized_chunk = true;
    for (std::size_t i = begin; i < end; ++i) visits[i].fetch_add(1);
  });
  CHECK_FALSE(oversized_chunk.load());
  std::vector<int> result;
  for (const auto& v : visits) result.push_back(v.load());
  return result;
}

std::uint64_t parallel_sum(std::size_t count, std::size_t grain) {
  std::atomic<std::uint64_t> sum{0};
  parallel_for(count, grain, [&](std::size_t begin, std::size_t end) {
    std::uint64_t local = 0;
    for (std::size_t i = begin; i < end; ++i) local += i;
    sum += local;
  });
  return sum.load();
}

std::uint64_t triangle(std::size_t count) {
  return count == 0 ? 0 : count * (count - 1) / 2;
}

// Sets or removes MOVARIN_NUM_THREADS for a scope and puts the previous value back.
class ScopedThreadsVariable {
 public:
  explicit ScopedThreadsVariable(std::optional<std::string> value) {
    if (const char* old = std::getenv(kName)) previous_ = old;
    if (value) {
      setenv(kName, value->c_str(), 1);
    } else {
      unsetenv(kName);
    }
  }
  ~ScopedThreadsVariable() {
    if (previous_) {
      setenv(kName, previous_->c_str(), 1);
    } else {
      unsetenv(kName);
    }
  }
  ScopedThreadsVariable(const ScopedThreadsVariable&) = delete;
  ScopedThreadsVariable& operator=(const ScopedThreadsVariable&) = delete;

 private:
  static constexpr const char* kName = "MOVARIN_NUM_THREADS";
  std::optional<std::string> previous_;
};

// Threads of this process, from the kernel's list of its tasks.
std::size_t thread_count() {
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return 0;
  std::size_t count = 0;
  while (const dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(tasks);
  return count;
}

// Runs check in a forked child; false when it returns false, crashes or hangs for ten seconds.
bool child_succeeds(const std::function<bool()>& check) {
  const pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) _exit(check() ? 0 : 1);
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (waitpid(child, &status, WNOHANG) != child) {
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

TEST_CASE("worker pool: thread count from MOVARIN_NUM_THREADS, else the affinity mask") {
  const ScopedThreadsVariable unset(std::nullopt);
  cpu_set_t allowed;
  REQUIRE(sched_getaffinity(0, sizeof(allowed), &allowed) == 0);
  CHECK(movarin::configured_thread_count() == static_cast<std::size_t>(CPU_COUNT(&allowed)));
  {
    cpu_set_t one;
    CPU_ZERO(&one);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
      if (CPU_ISSET(cpu, &allowed)) {
        CPU_SET(cpu, &one);
        break;
      }
    }
    REQUIRE(sched_setaffinity(0, sizeof(one), &one) == 0);
    CHECK(movarin::configured_thread_count() == 1);
    REQUIRE(sched_setaffinity(0, sizeof(allowed), &allowed) == 0);
  }
  for (const auto& [text, expected] : std::initializer_list<std::pair<const char*, std::size_t>>{
           {"3", 3}, {" 2\n", 2}, {"1", 1}, {"1024", 1024}}) {
    CAPTURE(text);
    const ScopedThreadsVariable set(text);
    CHECK(movarin::configured_thread_count() == expected);
  }
  for (const char* invalid : {"", "0", "-2", "abc", "2x", "1.5", "1025", "99999999999999999999"}) {
    CAPTURE(invalid);
    const ScopedThreadsVariable set(invalid);
    CHECK(movarin::configured_thread_count() == static_cast<std::size_t>(CPU_COUNT(&allowed)));
  }
}

TEST_CASE("worker pool: a fresh process starts the configured number of threads" *
          doctest::skip(kUnderThreadSanitizer)) {
  // A forked child has one thread and no pool yet, so its pool starts under the settings below.
  const auto threads_after_start = [](std::size_t expected_threads) {
    return [expected_threads] {
      const bool right_result = parallel_sum(10000, 3) == triangle(10000);
      return right_result && movarin::worker_count() == expected_threads - 1 &&
             thread_count() == expected_threads;
    };
  };
  const auto with_variable = [&](const char* value, std::size_t expected_threads) {
    return [=] {
      setenv("MOVARIN_NUM_THREADS", value, 1);
      return threads_after_start(expected_threads)();
    };
  };
  CHECK(child_succeeds(with_variable("3", 3)));
  CHECK(child_succeeds(with_variable("1", 1)));
  CHECK(child_succeeds([&] {
    unsetenv("MOVARIN_NUM_THREADS");
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    return sched_setaffinity(0, sizeof(one), &one) == 0 && threads_after_start(1)();
  }));
}

TEST_CASE("worker pool: every index runs exactly once") {
  const std::pair<std::size_t, std::size_t> shapes[] = {
      {0, 1}, {1, 1}, {1, 0}, {7, 3}, {5, 100}, {1000, 0}, {1000, 1}, {1000, 7}, {100003, 64}};
  for (const auto& [count, grain] : shapes) {
    CAPTURE(count);
    CAPTURE(grain);
    const auto visits = visit_counts(count, grain);
    CHECK(std::all_of(visits.begin(), visits.end(), [](int v) { return v == 1; }));
  }
}

TEST_CASE("worker pool: concurrent callers from several threads") {
  constexpr int kThreads = 6;
  std::atomic<int> wrong{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < kThreads; ++t) {
    callers.emplace_back([&, t] {
      for (int round = 0; round < 200; ++round) {
        const std::size_t count = 100 + 37 * t + round;
        if (parallel_sum(count, 1 + round % 9) != triangle(count)) ++wrong;
      }
    });
  }
  for (auto& caller : callers) caller.join();
  CHECK(wrong.load() == 0);
}

TEST_CASE("worker pool: a task may start its own parallel loop") {
  // More outer tasks than workers, so every worker blocks inside an inner loop at some point.
  const std::size_t outer = 8 * movarin::worker_count() + 3;
  std::vector<std::uint64_t> inner_sums(outer);
  std::atomic<std::uint64_t> innermost_total{0};
  parallel_for(outer, 1, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      inner_sums[i] = parallel_sum(1000 + i, 10);
      parallel_for(4, 1, [&](std::size_t b, std::size_t e) {
        for (std::size_t j = b; j < e; ++j) innermost_total += parallel_sum(50, 1);
      });
    }
  });
  for (std::size_t i = 0; i < outer; ++i) CHECK(inner_sums[i] == triangle(1000 + i));
  CHECK(innermost_total.load() == outer * 4 * triangle(50));
}

TEST_CASE("worker pool: an exception reaches the caller after all other chunks finished") {
  for (const std::size_t grain : {std::size_t{1}, std::size_t{10}, std::size_t{5000}}) {
    CAPTURE(grain);
    std::atomic<std::size_t> finished_indices{0};
    std::string caught;
    try {
      parallel_for(1000, grain, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
          if (i == 500) throw std::runtime_error("index 500");
        }
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        finished_indices += end - begin;
      });
    } catch (const std::runtime_error& error) {
      caught = error.what();
    }
    CHECK(caught == "index 500");
    const std::size_t failed_chunk_size = std::min<std::size_t>(grain, 1000);
    const std::size_t settled = finished_indices.load();
    CHECK(settled == 1000 - failed_chunk_size);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    CHECK(finished_indices.load() == settled);
  }
  CHECK(parallel_sum(5000, 3) == triangle(5000));
}

TEST_CASE("worker pool: a forked child gets a working pool" *
          doctest::skip(kUnderThreadSanitizer)) {
  CHECK(parallel_sum(10000, 10) == triangle(10000));  // the parent's pool is running

  // Keep the parent's pool busy so that its locks are likely held at the moment of the fork.
  std::atomic<bool> stop{false};
  std::thread busy([&] {
    while (!stop.load()) parallel_sum(20000, 1);
  });

  int failures = 0;
  for (int attempt = 0; attempt < 20; ++attempt) {
    const pid_t child = fork();
    REQUIRE(child >= 0);
    if (child == 0) {
      const bool ok = parallel_sum(100000, 7) == triangle(100000) &&
                      movarin::worker_count() == movarin::configured_thread_count() - 1 &&
                      parallel_sum(3000, 1) == triangle(3000);
      _exit(ok ? 0 : 1);
    }
    int status = 0;
    bool exited = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      const pid_t waited = waitpid(child, &status, WNOHANG);
      if (waited == child) {
        exited = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (!exited) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      FAIL_CHECK("forked child hung in its parallel loop");
      ++failures;
    } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      FAIL_CHECK("forked child computed a wrong result or crashed");
      ++failures;
    }
    if (failures > 0) break;
  }
  stop = true;
  busy.join();
  CHECK(parallel_sum(10000, 10) == triangle(10000));  // the parent's pool is unaffected
}
