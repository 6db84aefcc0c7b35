#pragma once
// A plain complex pair. The impedance formulas fix their own special cases (plain division without
// scaling, the real part of s as 0*omega), which std::complex does not guarantee.

#include <cstddef>

// Marks a function with hot arithmetic loops for a second copy built for processors with AVX2,
// chosen when the library loads (an ELF ifunc, hence glibc only). AVX2 brings no fused
// multiply-add, so every operation rounds exactly as in the baseline copy and the values stay
// bitwise the same; the wider vectors and three-operand instructions are what is gained. Clang
// cannot clone function templates, so its builds (the fuzzer's) keep the baseline copy only, and
// so do ThreadSanitizer builds: the chooser runs before the sanitizer's runtime has started.
#if defined(__x86_64__) && defined(__GLIBC__) && !defined(__clang__) && \
    !defined(__SANITIZE_THREAD__)
#define MOVARIN_AVX2_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define MOVARIN_AVX2_CLONES
#endif

namespace movarin {

struct Complex {
  double re;
  double im;
};

inline Complex operator+(Complex a, Complex b) {
  return {a.re + b.re, a.im + b.im};
}
inline Complex operator-(Complex a, Complex b) {
  return {a.re - b.re, a.im - b.im};
}
inline Complex operator*(Complex a, Complex b) {
  return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}
inline Complex operator*(double x, Complex z) {
  return {x * z.re, x * z.im};
}

// a * conj(b) / |b|^2, without the rescaling that guards against overflow.
inline Complex operator/(Complex a, Complex b) {
  const double denominator = b.re * b.re + b.im * b.im;
  return {(a.re * b.re + a.im * b.im) / denominator, (a.im * b.re - a.re * b.im) / denominator};
}
inline Complex reciprocal(Complex b) {
  return Complex{1.0, 0.0} / b;
}

// Complex values kept as separate real and imaginary arrays, so that loops over a block of them
// vectorise.
struct ComplexColumns {
  double* re;
  double* im;

  Complex operator[](std::size_t i) const { return {re[i], im[i]}; }
  // out[i] + z, the sum every evaluation accumulates with.
  void add(std::size_t i, Complex z) const {
    re[i] = re[i] + z.re;
    im[i] = im[i] + z.im;
  }
};

}  // namespace movarin
