#pragma once
// Random generators of the fit: a ChaCha stream generator (12 rounds) for the reproducible searches
// and xorshift128 for the differential evolution, plus the draws the searches take from them.

#include <array>
#include <bit>
#include <cmath>
#include <concepts>
#include <cstdint>
#include <optional>

namespace movarin {

using Seed = std::array<std::uint8_t, 32>;
using ChaChaState = std::array<std::uint32_t, 16>;

inline constexpr int kChaChaRounds = 12;

// The ChaCha block function: `rounds` rounds (even) over `input`, then the input added word-wise.
ChaChaState chacha_block(const ChaChaState& input, int rounds);

// The 32 seed bytes of a 64-bit seed: eight PCG32 outputs, little-endian.
Seed expand_seed(std::uint64_t seed);

// 32 bytes from the operating system; if it has none to give, a seed mixed from clocks and
// addresses, so that an unseeded generator never fails.
Seed os_random_seed();

// ChaCha with 12 rounds keyed by the seed, block counter from 0, stream 0; the 16 words of each
// block are handed out in order.
class ChaChaRng {
 public:
  explicit ChaChaRng(const Seed& seed);
  // From `seed` through expand_seed, or from the operating system when absent.
  static ChaChaRng seeded(std::optional<std::uint64_t> seed);

  std::uint32_t next_u32();
  // Two consecutive words, the first one low.
  std::uint64_t next_u64();

 private:
  void refill();

  ChaChaState input_{};
  ChaChaState block_{};
  std::size_t next_word_ = block_.size();
};

// Marsaglia's xor128. A state of four zero words is a fixed point and yields only zeros.
class Xorshift128 {
 public:
  explicit Xorshift128(const std::array<std::uint32_t, 4>& words) : state_(words) {}
  // Seeded from this thread's ChaCha generator (itself seeded from the operating system), with the
  // words re-drawn until they are not all zero.
  static Xorshift128 from_thread_generator();

  std::uint32_t next_u32();
  std::uint64_t next_u64();

 private:
  std::array<std::uint32_t, 4> state_;
};

template <class G>
concept RandomWords = requires(G& g) {
  { g.next_u32() } -> std::same_as<std::uint32_t>;
  { g.next_u64() } -> std::same_as<std::uint64_t>;
};

// [0, 1) on the grid of 2^-53.
template <RandomWords G>
double uniform_53(G& g) {
  return static_cast<double>(g.next_u64() >> 11) * 0x1.0p-53;
}

// [0, 1) on the grid of 2^-52: 52 random mantissa bits under the exponent of 1.0, minus 1.
template <RandomWords G>
double uniform_52(G& g) {
  constexpr std::uint64_t kOneBits = 0x3FF0'0000'0000'0000ull;
  return std::bit_cast<double>(kOneBits | (g.next_u64() >> 12)) - 1.0;
}

// [0, 1) in single precision on the grid of 2^-24.
template <RandomWords G>
float uniform_float(G& g) {
  return static_cast<float>(g.next_u32() >> 8) * 0x1.0p-24f;
}

// Maps a unit draw to [lo, hi); an empty or reversed range gives lo. Widths that overflow are
// handled by interpolating between the ends instead of scaling the width.
template <std::floating_point T>
T scale_to_range(T lo, T hi, T unit) {
  if (!(lo < hi)) return lo;
  const T width = hi - lo;
  const T value = std::isfinite(width) ? lo + unit * width : lo * (1 - unit) + hi * unit;
  return value < hi ? value : std::nextafter(hi, lo);
}

// Always consumes exactly one 53-bit draw, even for an empty range, so that the stream of a seeded
// search does not depend on the shape of its box.
template <RandomWords G>
double uniform_in(G& g, double lo, double hi) {
  return scale_to_range(lo, hi, uniform_53(g));
}

// Uniform in [0, n) without bias (multiply-shift with rejection); 0 for n = 0.
template <RandomWords G>
std::uint64_t uniform_below(G& g, std::uint64_t n) {
  if (n == 0) return 0;
  using Wide = unsigned __int128;
  Wide product = static_cast<Wide>(g.next_u64()) * n;
  if (static_cast<std::uint64_t>(product) < n) {
    // Low parts below 2^64 mod n would favour some results; redraw them.
    const std::uint64_t threshold = (0 - n) % n;
    while (static_cast<std::uint64_t>(product) < threshold) {
      product = static_cast<Wide>(g.next_u64()) * n;
    }
  }
  return static_cast<std::uint64_t>(product >> 64);
}

}  // namespace movarin
