#include "fit/random.hpp"

#include <sys/random.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>

namespace movarin {
namespace {

// "expand 32-byte k"
constexpr std::array<std::uint32_t, 4> kChaChaConstants = {0x61707865, 0x3320646e, 0x79622d32,
                                                           0x6b206574};

void quarter_round(ChaChaState& s, int a, int b, int c, int d) {
  s[a] += s[b];
  s[d] = std::rotl(s[d] ^ s[a], 16);
  s[c] += s[d];
  s[b] = std::rotl(s[b] ^ s[c], 12);
  s[a] += s[b];
  s[d] = std::rotl(s[d] ^ s[a], 8);
  s[c] += s[d];
  s[b] = std::rotl(s[b] ^ s[c], 7);
}

std::uint32_t load_le32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

void store_le64(std::uint64_t value, std::uint8_t* bytes) {
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

bool fill_from_getrandom(Seed& seed) {
  std::size_t filled = 0;
  while (filled < seed.size()) {
    const ssize_t got = getrandom(seed.data() + filled, seed.size() - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    filled += static_cast<std::size_t>(got);
  }
  return true;
}

bool fill_from_urandom(Seed& seed) {
  std::FILE* file = std::fopen("/dev/urandom", "rb");
  if (file == nullptr) return false;
  const std::size_t got = std::fread(seed.data(), 1, seed.size(), file);
  std::fclose(file);
  return got == seed.size();
}

std::uint64_t splitmix64(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9e3779b97f4a7c15ull);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

// Distinct per call, per thread and per process run, which is all an unseeded search needs when
// the system has no entropy to give.
Seed fallback_seed() {
  static std::atomic<std::uint64_t> calls{0};
  const auto wall = std::chrono::system_clock::now().time_since_epoch().count();
  const auto steady = std::chrono::steady_clock::now().time_since_epoch().count();
  const auto thread = std::hash<std::thread::id>{}(std::this_thread::get_id());
  int local = 0;
  std::uint64_t state =
      static_cast<std::uint64_t>(wall) ^ std::rotl(static_cast<std::uint64_t>(steady), 21) ^
      std::rotl(static_cast<std::uint64_t>(thread), 42) ^ reinterpret_cast<std::uintptr_t>(&local) ^
      reinterpret_cast<std::uintptr_t>(&calls) ^ calls.fetch_add(1);
  Seed seed;
  for (std::size_t i = 0; i < seed.size(); i += 8) store_le64(splitmix64(state), seed.data() + i);
  return seed;
}

ChaChaRng& thread_generator() {
  thread_local ChaChaRng generator(os_random_seed());
  return generator;
}

}  // namespace

ChaChaState chacha_block(const ChaChaState& input, int rounds) {
  ChaChaState s = input;
  for (int r = 0; r < rounds; r += 2) {
    quarter_round(s, 0, 4, 8, 12);
    quarter_round(s, 1, 5, 9, 13);
    quarter_round(s, 2, 6, 10, 14);
    quarter_round(s, 3, 7, 11, 15);
    quarter_round(s, 0, 5, 10, 15);
    quarter_round(s, 1, 6, 11, 12);
    quarter_round(s, 2, 7, 8, 13);
    quarter_round(s, 3, 4, 9, 14);
  }
  for (std::size_t i = 0; i < s.size(); ++i) s[i] += input[i];
  return s;
}

Seed expand_seed(std::uint64_t seed) {
  constexpr std::uint64_t kMultiplier = 0x5851f42d4c957f2dull;
  constexpr std::uint64_t kIncrement = 0xa17654e46fbe17f3ull;
  std::uint64_t state = seed;
  Seed bytes;
  for (std::size_t i = 0; i < bytes.size(); i += 4) {
    state = state * kMultiplier + kIncrement;
    const auto xorshifted = static_cast<std::uint32_t>((state ^ (state >> 18)) >> 27);
    const std::uint32_t word = std::rotr(xorshifted, static_cast<int>(state >> 59));
    for (int b = 0; b < 4; ++b) bytes[i + b] = static_cast<std::uint8_t>(word >> (8 * b));
  }
  return bytes;
}

Seed os_random_seed() {
  Seed seed;
  if (fill_from_getrandom(seed) || fill_from_urandom(seed)) return seed;
  return fallback_seed();
}

ChaChaRng::ChaChaRng(const Seed& seed) {
  std::copy(kChaChaConstants.begin(), kChaChaConstants.end(), input_.begin());
  for (std::size_t i = 0; i < 8; ++i) input_[4 + i] = load_le32(seed.data() + 4 * i);
  // Words 12-13 hold the 64-bit block counter, 14-15 the stream; both start at zero.
}

ChaChaRng ChaChaRng::seeded(std::optional<std::uint64_t> seed) {
  return ChaChaRng(seed ? expand_seed(*seed) : os_random_seed());
}

void ChaChaRng::refill() {
  block_ = chacha_block(input_, kChaChaRounds);
  if (++input_[12] == 0) ++input_[13];
  next_word_ = 0;
}

std::uint32_t ChaChaRng::next_u32() {
  if (next_word_ == block_.size()) refill();
  return block_[next_word_++];
}

std::uint64_t ChaChaRng::next_u64() {
  const std::uint64_t low = next_u32();
  const std::uint64_t high = next_u32();
  return high << 32 | low;
}

Xorshift128 Xorshift128::from_thread_generator() {
  ChaChaRng& source = thread_generator();
  std::array<std::uint32_t, 4> words{};
  while (words == std::array<std::uint32_t, 4>{}) {
    for (std::uint32_t& word : words) word = source.next_u32();
  }
  return Xorshift128(words);
}

std::uint32_t Xorshift128::next_u32() {
  auto& [x, y, z, w] = state_;
  const std::uint32_t t = x ^ (x << 11);
  x = y;
  y = z;
  z = w;
  w = w ^ (w >> 19) ^ (t ^ (t >> 8));
  return w;
}

std::uint64_t Xorshift128::next_u64() {
  const std::uint64_t low = next_u32();
  const std::uint64_t high = next_u32();
  return high << 32 | low;
}

}  // namespace movarin
