#pragma once
// Which vector copy of the network's loops this processor runs. MOVARIN_NN_AVX2 is defined where
// the compiler can build an AVX2 copy beside the baseline one (GCC and clang on x86-64).
//
// MOVARIN_NN_AVX512 adds an AVX-512 copy of the activation loops where GCC builds them. That
// instruction set has fused multiply-adds, which round a product and a sum once; the copy is
// built with each operation rounded on its own, so that every copy gives the same bits (clang
// fuses them within an expression whatever the function says, so it builds no such copy).

#if defined(__x86_64__) && defined(__GNUC__)
#define MOVARIN_NN_AVX2 1

#if !defined(__clang__)
#define MOVARIN_NN_AVX512 1
#define MOVARIN_NN_AVX512_FUNCTION \
  [[gnu::target("avx512f,prefer-vector-width=512"), gnu::optimize("fp-contract=off")]]
#endif

namespace movarin {

inline bool has_avx2() {
  static const bool supported = __builtin_cpu_supports("avx2");
  return supported;
}

#if defined(MOVARIN_NN_AVX512)
inline bool has_avx512() {
  static const bool supported = __builtin_cpu_supports("avx512f");
  return supported;
}
#endif

}  // namespace movarin
#endif
