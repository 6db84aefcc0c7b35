#pragma once
// Weight files named by users, read and parsed once per path text and kept for the life of the
// process.

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "nn/weight_file.hpp"
#include "runtime/result.hpp"

namespace movarin {

// Far above any trained model's file.
inline constexpr std::size_t kMaxWeightFileBytes = std::size_t{1} << 30;

// The whole file; a failure carries the operating system's description.
Result<std::vector<std::uint8_t>, WeightError> read_weight_file(const std::string& path);

class WeightsCache {
 public:
  // Runs under the cache's lock, on the stored model; its error ends the lookup (the model stays
  // stored).
  using Check = std::function<std::optional<WeightError>(const WeightModel&)>;

  // The model stored under the path text, reading and parsing the file when the text is new;
  // files that fail to read or parse are not stored. Stored models are never removed or replaced
  // and keep their addresses. An exception escaping while the lock is held leaves the cache
  // refusing every later lookup.
  Result<const WeightModel*, WeightError> lookup(const std::string& path, const Check& check);

 private:
  std::mutex mutex_;
  bool poisoned_ = false;
  std::map<std::string, WeightModel, std::less<>> models_;
};

// The process-wide cache behind guess().
WeightsCache& weights_cache();

}  // namespace movarin
