#pragma once
// A plain complex pair. The impedance formulas fix their own special cases (plain division without
// scaling, the real part of s as 0*omega), which std::complex does not guarantee.

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

}  // namespace movarin
