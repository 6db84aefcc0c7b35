#pragma once
// Weight files named by users: opened without blocking, refused unless they are regular files of
// a bounded size, parsed once per file (not per spelling of its path) and kept in a small cache.

#include <compare>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "nn/weight_file.hpp"
#include "runtime/result.hpp"

namespace movarin {

// The largest weight file read: 4 MiB, a few MiB above the largest stored model (about 530 KiB).
// Larger files are refused before any byte is read.
inline constexpr std::uint64_t kMaxWeightFileBytes = std::uint64_t{4} << 20;

// Which file, in which version: an edit changes the size or the modification time.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t modified_seconds = 0;
  std::int64_t modified_nanoseconds = 0;
  auto operator<=>(const FileIdentity&) const = default;
};

// An open weight file: a regular file of at most kMaxWeightFileBytes. FIFOs, devices, sockets and
// directories are refused without blocking and without reading.
class WeightFile {
 public:
  static Result<WeightFile, WeightError> open(const std::string& path);
  WeightFile(WeightFile&& other) noexcept
      : fd_(std::exchange(other.fd_, -1)), identity_(other.identity_) {}
  WeightFile& operator=(WeightFile&&) = delete;
  WeightFile(const WeightFile&) = delete;
  ~WeightFile();

  const FileIdentity& identity() const { return identity_; }
  // The whole file; a failure carries the operating system's description.
  Result<std::vector<std::uint8_t>, WeightError> read_all(const std::string& path) const;

 private:
  WeightFile(int fd, FileIdentity identity) : fd_(fd), identity_(identity) {}
  int fd_;
  FileIdentity identity_;
};

// The whole file at `path`, checked as WeightFile::open checks it.
Result<std::vector<std::uint8_t>, WeightError> read_weight_file(const std::string& path);

class WeightsCache {
 public:
  // Runs under the cache's lock, on the stored model; its error ends the lookup (the model stays
  // stored).
  using Check = std::function<std::optional<WeightError>(const WeightModel&)>;

  static constexpr std::size_t kDefaultCapacity = 8;
  explicit WeightsCache(std::size_t capacity = kDefaultCapacity) : capacity_(capacity) {}

  // The model of the file at `path`, reading and parsing it unless a model of the same file in the
  // same version is stored; the least recently used model leaves when more than `capacity` are
  // stored. Files that fail to read or parse are not stored. A returned model stays valid while
  // the caller holds it. An exception escaping while the lock is held leaves the cache refusing
  // every later lookup.
  Result<std::shared_ptr<const WeightModel>, WeightError> lookup(const std::string& path,
                                                                 const Check& check);

  std::size_t size();

 private:
  using Entry = std::pair<FileIdentity, std::shared_ptr<const WeightModel>>;
  std::mutex mutex_;
  bool poisoned_ = false;
  std::size_t capacity_;
  std::list<Entry> models_;  // most recently used first
};

// The process-wide cache behind guess().
WeightsCache& weights_cache();

}  // namespace movarin
