// Known answers come from RFC 8439, published ChaCha12 and xor128 outputs, and the Python model in
// tests/reference_chacha.py (checked itself by tests/test_reference_chacha.py).

#include <doctest/doctest.h>

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "fit/random.hpp"

using namespace movarin;

namespace {

constexpr std::array<std::uint32_t, 4> kSigma = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};

// The IETF layout: 32-bit counter in word 12, 96-bit nonce in words 13-15.
ChaChaState rfc_state(const std::array<std::uint32_t, 8>& key, std::uint32_t counter,
                      const std::array<std::uint32_t, 3>& nonce) {
  ChaChaState s{};
  std::copy(kSigma.begin(), kSigma.end(), s.begin());
  std::copy(key.begin(), key.end(), s.begin() + 4);
  s[12] = counter;
  std::copy(nonce.begin(), nonce.end(), s.begin() + 13);
  return s;
}

constexpr std::array<std::uint32_t, 8> kSequentialKey = {
    0x03020100, 0x07060504, 0x0b0a0908, 0x0f0e0d0c, 0x13121110, 0x17161514, 0x1b1a1918, 0x1f1e1d1c};

Seed sequential_seed() {
  Seed seed;
  for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(i);
  return seed;
}

std::vector<std::uint32_t> take_words(ChaChaRng& rng, std::size_t count) {
  std::vector<std::uint32_t> words(count);
  for (auto& w : words) w = rng.next_u32();
  return words;
}

std::string hex(const Seed& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string text;
  for (std::uint8_t b : bytes) {
    text += digits[b >> 4];
    text += digits[b & 15];
  }
  return text;
}

// Hands out prepared 64-bit values, to reach the edges of the derived draws.
struct ScriptedWords {
  std::deque<std::uint64_t> values;
  std::uint64_t next_u64() {
    const std::uint64_t v = values.front();
    values.pop_front();
    return v;
  }
  std::uint32_t next_u32() { return static_cast<std::uint32_t>(next_u64()); }
};

}  // namespace

TEST_CASE("ChaCha20 block function matches RFC 8439 (2.3.2, A.1)") {
  SUBCASE("section 2.3.2") {
    const ChaChaState expected = {0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3,
                                  0xc7f4d1c7, 0x0368c033, 0x9aaa2204, 0x4e6cd4c3,
                                  0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9,
                                  0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
    CHECK(chacha_block(rfc_state(kSequentialKey, 1, {0x09000000, 0x4a000000, 0}), 20) == expected);
  }
  SUBCASE("appendix A.1, zero key, counters 0 and 1") {
    const ChaChaState block0 = {0xade0b876, 0x903df1a0, 0xe56a5d40, 0x28bd8653,
                                0xb819d2bd, 0x1aed8da0, 0xccef36a8, 0xc70d778b,
                                0x7c5941da, 0x8d485751, 0x3fe02477, 0x374ad8b8,
                                0xf4b8436a, 0x1ca11815, 0x69b687c3, 0x8665eeb2};
    const ChaChaState block1 = {0xbee7079f, 0x7a385155, 0x7c97ba98, 0x0d082d73,
                                0xa0290fcb, 0x6965e348, 0x3e53c612, 0xed7aee32,
                                0x7621b729, 0x434ee69c, 0xb03371d5, 0xd539d874,
                                0x281fed31, 0x45fb0a51, 0x1f0ae1ac, 0x6f4d794b};
    CHECK(chacha_block(rfc_state({}, 0, {}), 20) == block0);
    CHECK(chacha_block(rfc_state({}, 1, {}), 20) == block1);
  }
}

TEST_CASE("the generator is ChaCha12 with a 64-bit block counter and stream 0") {
  SUBCASE("zero seed gives the published 12-round keystream") {
    ChaChaRng rng(Seed{});
    const std::vector<std::uint32_t> expected = {0x6a9af49b, 0x53f95507, 0x12ce1f81, 0xd583265f,
                                                 0xbbc32904, 0x1474e049, 0xa589007e, 0x5f15ae2e,
                                                 0x79f86405, 0xc0e37ad2, 0x3428e82c, 0x798cfaac,
                                                 0x2c9f623a, 0x1969dea0, 0x2fe80b61, 0xbe261341};
    CHECK(take_words(rng, 16) == expected);
  }
  SUBCASE("sequential seed across five blocks") {
    ChaChaRng rng(sequential_seed());
    const std::vector<std::uint32_t> words = take_words(rng, 68);
    CHECK(std::vector(words.begin(), words.begin() + 4) ==
          std::vector<std::uint32_t>{0xfff931f2, 0x5ec67ad1, 0x25f30544, 0xaa40e9d7});
    CHECK(std::vector(words.begin() + 16, words.begin() + 20) ==
          std::vector<std::uint32_t>{0xa09afa6c, 0xe0723b83, 0x52155cdb, 0x4683d13d});
    CHECK(std::vector(words.begin() + 64, words.end()) ==
          std::vector<std::uint32_t>{0x56e96aa5, 0x5d537674, 0xdad147b0, 0xade94004});
  }
  SUBCASE("next_u64 joins two consecutive words low first, across a block boundary") {
    ChaChaRng rng(sequential_seed());
    take_words(rng, 15);
    CHECK(rng.next_u64() == (std::uint64_t{0xa09afa6c} << 32 | 0x79883646u));
    CHECK(rng.next_u32() == 0xe0723b83);
  }
  SUBCASE("a 64-bit seed goes through the PCG32 expansion") {
    ChaChaRng rng = ChaChaRng::seeded(42);
    CHECK(take_words(rng, 4) ==
          std::vector<std::uint32_t>{0x222724a2, 0x86cc7763, 0x3fad517d, 0x8af00a13});
  }
}

TEST_CASE("PCG32 seed expansion") {
  CHECK(hex(expand_seed(0)) == "ecf273f981b5cd4587f0467306ad6cadd0d0a3e33317e767f29bea72d78a7dfe");
  CHECK(hex(expand_seed(1)) == "ead81d725d26104e899c3bf842ce782ebad303da9997d2c2120256ac7366fb1b");
  CHECK(hex(expand_seed(42)) == "a48fa17b58323d0aeab8a1cc690114b82b8cc87518b4f7548d446ea1e4df20f2");
  CHECK(hex(expand_seed(UINT64_MAX)) ==
        "2f4792e3d610281035542d952cf95e439ae9347b03ddc537637ac7b04320613e");
}

TEST_CASE("unseeded generators differ from each other") {
  CHECK(os_random_seed() != os_random_seed());
  CHECK(ChaChaRng::seeded(std::nullopt).next_u64() != ChaChaRng::seeded(std::nullopt).next_u64());
  Xorshift128 a = Xorshift128::from_thread_generator();
  Xorshift128 b = Xorshift128::from_thread_generator();
  CHECK(a.next_u64() != b.next_u64());
}

TEST_CASE("xorshift128 follows Marsaglia's xor128") {
  Xorshift128 rng({123456789, 362436069, 521288629, 88675123});
  CHECK(rng.next_u32() == 3701687786u);
  CHECK(rng.next_u64() == (std::uint64_t{2500872618u} << 32 | 458299110u));
  CHECK(rng.next_u32() == 3633119408u);
}

TEST_CASE("unit draws take the documented bits") {
  const std::uint64_t all = UINT64_MAX;
  ScriptedWords g{{all, all, 1ull << 11, 1ull << 12, 0, 0}};
  CHECK(uniform_53(g) == 1.0 - 0x1.0p-53);
  CHECK(uniform_52(g) == 1.0 - 0x1.0p-52);
  CHECK(uniform_53(g) == 0x1.0p-53);
  CHECK(uniform_52(g) == 0x1.0p-52);
  CHECK(uniform_53(g) == 0.0);
  CHECK(uniform_52(g) == 0.0);

  ScriptedWords f{{0xFFFFFFFFu, 0x100}};
  CHECK(uniform_float(f) == 1.0f - 0x1.0p-24f);
  CHECK(uniform_float(f) == 0x1.0p-24f);
}

TEST_CASE("uniform_in stays inside [lo, hi) and uses one draw") {
  const std::uint64_t top = UINT64_MAX;
  SUBCASE("the top draw stays below hi, even where rounding would reach it") {
    ScriptedWords g{{top, top}};
    CHECK(uniform_in(g, 0.0, 1.0) < 1.0);
    CHECK(uniform_in(g, 1e16, 1e16 + 2.0) < 1e16 + 2.0);
  }
  SUBCASE("a width that overflows") {
    ScriptedWords g{{top, 0}};
    const double high = uniform_in(g, -DBL_MAX, DBL_MAX);
    CHECK(high < DBL_MAX);
    CHECK(high > 0.0);
    CHECK(uniform_in(g, -DBL_MAX, DBL_MAX) == -DBL_MAX);
  }
  SUBCASE("an empty range gives lo and still consumes its draw") {
    ScriptedWords g{{top, 0}};
    CHECK(uniform_in(g, 3.0, 3.0) == 3.0);
    CHECK(g.values.size() == 1);
  }
}

TEST_CASE("uniform_below") {
  SUBCASE("rejects the low parts that would bias the result") {
    // n = 2^63 + 1: the draw 2 lands in the biased zone (its result would be 1), the draw 1 not.
    const std::uint64_t n = (1ull << 63) + 1;
    ScriptedWords g{{2, 1}};
    CHECK(uniform_below(g, n) == 0);
    CHECK(g.values.empty());
  }
  SUBCASE("degenerate bounds") {
    ScriptedWords g{{UINT64_MAX}};
    CHECK(uniform_below(g, 0) == 0);
    CHECK(uniform_below(g, 1) == 0);
  }
  SUBCASE("a small range is covered evenly") {
    ChaChaRng rng(sequential_seed());
    std::array<int, 7> counts{};
    for (int i = 0; i < 70000; ++i) ++counts.at(uniform_below(rng, 7));
    for (int c : counts) CHECK(std::abs(c - 10000) < 500);
  }
}
