#pragma once
// Which vector copy of the network's loops this processor runs. MOVARIN_NN_AVX2 is defined where
// the compiler can build an AVX2 copy beside the baseline one (GCC and clang on x86-64).

#if defined(__x86_64__) && defined(__GNUC__)
#define MOVARIN_NN_AVX2 1

namespace movarin {

inline bool has_avx2() {
  static const bool supported = __builtin_cpu_supports("avx2");
  return supported;
}

}  // namespace movarin
#endif
