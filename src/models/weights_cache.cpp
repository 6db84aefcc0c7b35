#include "models/weights_cache.hpp"

#include <cerrno>
#include <cstdio>
#include <exception>
#include <memory>
#include <system_error>
#include <utility>

namespace movarin {
namespace {

WeightError os_failure(int error_number) {
  return WeightError::read_failure(
      std::error_code(error_number, std::generic_category()).message() + " (os error " +
      std::to_string(error_number) + ")");
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// Marks the cache unusable when the scope is left by an exception.
class PoisonOnUnwind {
 public:
  explicit PoisonOnUnwind(bool& poisoned)
      : poisoned_(poisoned), exceptions_(std::uncaught_exceptions()) {}
  PoisonOnUnwind(const PoisonOnUnwind&) = delete;
  PoisonOnUnwind& operator=(const PoisonOnUnwind&) = delete;
  ~PoisonOnUnwind() {
    if (std::uncaught_exceptions() > exceptions_) poisoned_ = true;
  }

 private:
  bool& poisoned_;
  int exceptions_;
};

}  // namespace

Result<std::vector<std::uint8_t>, WeightError> read_weight_file(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    return fail(WeightError::read_failure("path contains a NUL character"));
  }
  errno = 0;
  const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) return fail(os_failure(errno));
  std::vector<std::uint8_t> bytes;
  std::uint8_t buffer[65536];
  for (;;) {
    const std::size_t read = std::fread(buffer, 1, sizeof buffer, file.get());
    bytes.insert(bytes.end(), buffer, buffer + read);
    if (read < sizeof buffer) break;
    // Also ends the read of endless devices such as /dev/zero.
    if (bytes.size() > kMaxWeightFileBytes) {
      return fail(WeightError::read_failure("file is larger than " +
                                            std::to_string(kMaxWeightFileBytes) + " bytes"));
    }
  }
  if (std::ferror(file.get())) return fail(os_failure(errno != 0 ? errno : EIO));
  return bytes;
}

Result<const WeightModel*, WeightError> WeightsCache::lookup(const std::string& path,
                                                             const Check& check) {
  const std::lock_guard lock(mutex_);
  if (poisoned_) return fail(WeightError::cache_poisoned());
  const PoisonOnUnwind poison_on_unwind(poisoned_);

  auto stored = models_.find(path);
  if (stored == models_.end()) {
    const auto bytes = read_weight_file(path);
    if (!bytes) return fail(bytes.error());
    auto model = parse_weight_file(bytes.value());
    if (!model) return fail(model.error());
    stored = models_.emplace(path, std::move(model).value()).first;
  }
  if (auto error = check(stored->second)) return fail(std::move(*error));
  return &stored->second;
}

WeightsCache& weights_cache() {
  static WeightsCache cache;
  return cache;
}

}  // namespace movarin
