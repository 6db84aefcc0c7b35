#pragma once
// What the machine can hold, for checking sizes before allocating.

#include <cstdint>

namespace movarin {

// The most bytes one allocation could ever be given: the user address space of a 64-bit process
// (47 bits on the common processors).
inline constexpr std::uint64_t kAddressableBytes = std::uint64_t{1} << 47;

// The machine's physical memory in bytes; kAddressableBytes when the system does not say.
std::uint64_t physical_memory_bytes();

}  // namespace movarin
