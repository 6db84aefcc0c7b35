#include "runtime/memory.hpp"

#include <unistd.h>

namespace movarin {

std::uint64_t physical_memory_bytes() {
  // Asked once: the system call behind it costs about as much as a small fit's evaluation.
  static const std::uint64_t bytes = [] {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return kAddressableBytes;
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
  }();
  return bytes;
}

}  // namespace movarin
