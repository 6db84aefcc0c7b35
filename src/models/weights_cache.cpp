#include "models/weights_cache.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <system_error>

#include "runtime/text.hpp"

namespace movarin {
namespace {

WeightError failure(const std::string& path, const std::string& description) {
  return WeightError::read_failure(quote(path) + ": " + description);
}

WeightError os_failure(const std::string& path, int error_number) {
  return failure(path, std::error_code(error_number, std::generic_category()).message() +
                           " (os error " + std::to_string(error_number) + ")");
}

const char* kind_of_file(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

FileIdentity identity_of(const struct stat& status) {
#if defined(__APPLE__)
  const struct timespec modified = status.st_mtimespec;
#else
  const struct timespec modified = status.st_mtim;
#endif
  return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
          static_cast<std::uint64_t>(status.st_size), static_cast<std::int64_t>(modified.tv_sec),
          static_cast<std::int64_t>(modified.tv_nsec)};
}

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

Result<WeightFile, WeightError> WeightFile::open(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    return fail(failure(path, "path contains a NUL character"));
  }
  // Non-blocking, so that opening a FIFO without a writer returns at once; it is refused below.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return fail(os_failure(path, errno));
  WeightFile file(fd, {});
  struct stat status {};
  if (::fstat(fd, &status) != 0) return fail(os_failure(path, errno));
  if (!S_ISREG(status.st_mode)) {
    return fail(failure(path, std::string("is ") + kind_of_file(status.st_mode) +
                                  ", not a regular file"));
  }
  if (static_cast<std::uint64_t>(status.st_size) > kMaxWeightFileBytes) {
    return fail(failure(path, "file has " + std::to_string(status.st_size) +
                                  " bytes, more than the " + std::to_string(kMaxWeightFileBytes) +
                                  " a weight file may have"));
  }
  file.identity_ = identity_of(status);
  return file;
}

WeightFile::~WeightFile() {
  if (fd_ >= 0) ::close(fd_);
}

Result<std::vector<std::uint8_t>, WeightError> WeightFile::read_all(const std::string& path) const {
  // One byte beyond the size seen by fstat shows a file that grew meanwhile.
  std::vector<std::uint8_t> bytes(identity_.size + 1);
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    const ssize_t read = ::read(fd_, bytes.data() + filled, bytes.size() - filled);
    if (read < 0) {
      if (errno == EINTR) continue;
      return fail(os_failure(path, errno));
    }
    if (read == 0) break;
    filled += static_cast<std::size_t>(read);
  }
  if (filled > kMaxWeightFileBytes) {
    return fail(failure(path, "file grew beyond " + std::to_string(kMaxWeightFileBytes) +
                                  " bytes while it was read"));
  }
  bytes.resize(filled);
  return bytes;
}

Result<std::vector<std::uint8_t>, WeightError> read_weight_file(const std::string& path) {
  auto file = WeightFile::open(path);
  if (!file) return fail(file.error());
  return file.value().read_all(path);
}

Result<std::shared_ptr<const WeightModel>, WeightError> WeightsCache::lookup(
    const std::string& path, const Check& check) {
  auto file = WeightFile::open(path);
  if (!file) return fail(file.error());
  const FileIdentity& identity = file.value().identity();

  const std::lock_guard lock(mutex_);
  if (poisoned_) return fail(WeightError::cache_poisoned());
  const PoisonOnUnwind poison_on_unwind(poisoned_);

  auto stored = std::find_if(models_.begin(), models_.end(),
                             [&](const Entry& entry) { return entry.first == identity; });
  if (stored != models_.end()) {
    models_.splice(models_.begin(), models_, stored);
  } else {
    const auto bytes = file.value().read_all(path);
    if (!bytes) return fail(bytes.error());
    auto model = parse_weight_file(bytes.value());
    if (!model) return fail(model.error());
    models_.emplace_front(identity,
                          std::make_shared<const WeightModel>(std::move(model).value()));
    while (models_.size() > std::max<std::size_t>(capacity_, 1)) models_.pop_back();
  }
  const std::shared_ptr<const WeightModel> model = models_.front().second;
  if (auto error = check(*model)) return fail(std::move(*error));
  return model;
}

std::size_t WeightsCache::size() {
  const std::lock_guard lock(mutex_);
  return models_.size();
}

WeightsCache& weights_cache() {
  static WeightsCache cache;
  return cache;
}

}  // namespace movarin
