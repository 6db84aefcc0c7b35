#include "nn/activation.hpp"

#include "nn/cpu_features.hpp"

namespace movarin {
namespace {

[[gnu::always_inline]] inline void gelu_loop(double* values, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) values[i] = gelu(values[i]);
}

[[gnu::always_inline]] inline void gelu_of_sum_loop(double* x, const double* addend,
                                                    std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) x[i] = gelu(x[i] + addend[i]);
}

#if defined(MOVARIN_NN_AVX2)
[[gnu::target("avx2")]] void gelu_loop_avx2(double* values, std::size_t count) {
  gelu_loop(values, count);
}

[[gnu::target("avx2")]] void gelu_of_sum_loop_avx2(double* x, const double* addend,
                                                   std::size_t count) {
  gelu_of_sum_loop(x, addend, count);
}
#endif

#if defined(MOVARIN_NN_AVX512)
// Eight lanes: the loops wait on the long chain of operations of each value's tanh rather than
// on the arithmetic units, and eight lanes keep twice the values in flight.
MOVARIN_NN_AVX512_FUNCTION void gelu_loop_avx512(double* values, std::size_t count) {
  gelu_loop(values, count);
}

MOVARIN_NN_AVX512_FUNCTION void gelu_of_sum_loop_avx512(double* x, const double* addend,
                                                        std::size_t count) {
  gelu_of_sum_loop(x, addend, count);
}
#endif

}  // namespace

void apply_gelu(std::span<double> values) {
#if defined(MOVARIN_NN_AVX512)
  if (has_avx512()) return gelu_loop_avx512(values.data(), values.size());
#endif
#if defined(MOVARIN_NN_AVX2)
  if (has_avx2()) return gelu_loop_avx2(values.data(), values.size());
#endif
  gelu_loop(values.data(), values.size());
}

void apply_gelu_of_sum(std::span<double> x, std::span<const double> addend) {
#if defined(MOVARIN_NN_AVX512)
  if (has_avx512()) return gelu_of_sum_loop_avx512(x.data(), addend.data(), x.size());
#endif
#if defined(MOVARIN_NN_AVX2)
  if (has_avx2()) return gelu_of_sum_loop_avx2(x.data(), addend.data(), x.size());
#endif
  gelu_of_sum_loop(x.data(), addend.data(), x.size());
}

}  // namespace movarin
