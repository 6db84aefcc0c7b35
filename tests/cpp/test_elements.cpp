#include <doctest/doctest.h>

#include <cmath>
#include <complex>
#include <functional>
#include <limits>
#include <vector>

#include "elements/catalogue.hpp"
#include "support.hpp"

using namespace movarin;
using test_support::kInf;
using test_support::kNaN;
using test_support::near;
using test_support::same;

namespace {

Complex z_of(ElementKind kind, double omega, std::vector<double> values) {
  return element_impedance(kind, omega, values.data());
}

// The Laplace variable as the formulas define it: real part 0*omega, not a literal zero.
Complex s_of(double omega) {
  return {0.0 * omega, omega};
}

}  // namespace

TEST_CASE("catalogue: code lookup is exact and case-sensitive") {
  const std::pair<std::string_view, ElementKind> accepted[] = {
      {"R", ElementKind::R},       {"C", ElementKind::C},       {"L", ElementKind::L},
      {"La", ElementKind::La},     {"Cpe", ElementKind::Cpe},   {"CPE", ElementKind::Cpe},
      {"W", ElementKind::W},       {"Wo", ElementKind::Wo},     {"Ws", ElementKind::Ws},
      {"G", ElementKind::G},       {"Gs", ElementKind::Gs},     {"K", ElementKind::K},
      {"Zarc", ElementKind::Zarc}, {"Tlmq", ElementKind::Tlmq}, {"TLMQ", ElementKind::Tlmq},
      {"T", ElementKind::T}};
  for (const auto& [code, kind] : accepted) {
    CAPTURE(code);
    CHECK(lookup_code(code) == kind);
  }
  const std::string_view rejected[] = {"",   "cpe", "CPe", "ZARC", "zarc", "LA",
                                       "WO", "GS",  "r",   "tlmq", "TLmq", "Q",
                                       "R0", " R",  "R ",  "Zar",  "Zarcs"};
  for (const auto code : rejected) {
    CAPTURE(code);
    CHECK_FALSE(lookup_code(code).has_value());
  }
}

TEST_CASE("catalogue: default bounds follow the parameter name alone") {
  for (const auto name : {"alpha", "gamma"}) {
    CAPTURE(name);
    CHECK(default_bounds(name).lo == 0.0);
    CHECK(default_bounds(name).hi == 1.0);
  }
  for (const auto name : {"r", "phi", "k_tau", "tau", "q", "aw", "r_ion"}) {
    CAPTURE(name);
    CHECK(default_bounds(name).lo == 1e-12);
    CHECK(default_bounds(name).hi == kInf);
  }
}

TEST_CASE("complex_sqrt: branches and signs of zero") {
  struct Row {
    Complex z;
    Complex expected;
  };
  const Row rows[] = {
      // Real axis: the sign of a zero imaginary part picks the side of the cut.
      {{4, 0.0}, {2, 0.0}},
      {{4, -0.0}, {2, -0.0}},
      {{-4, 0.0}, {0, 2}},
      {{-4, -0.0}, {0, -2}},
      {{0.0, 0.0}, {0, 0.0}},
      {{0.0, -0.0}, {0, -0.0}},
      {{-0.0, -0.0}, {0, -0.0}},
      // Imaginary axis: exact, without the polar round trip.
      {{0.0, 8}, {2, 2}},
      {{-0.0, 8}, {2, 2}},
      {{0.0, -8}, {2, -2}},
      {{0.0, 1e-300}, {std::sqrt(0.5e-300), std::sqrt(0.5e-300)}},
  };
  for (const Row& row : rows) {
    CAPTURE(row.z);
    CHECK(same(complex_sqrt(row.z), row.expected));
  }
  // Polar branch: principal root, right half-plane.
  const Complex general[] = {{3, 4}, {-3, 4}, {-3, -4}, {1e-8, -2}, {-5, 1e-12}};
  for (const Complex z : general) {
    CAPTURE(z);
    CHECK(near(complex_sqrt(z), std::sqrt(test_support::to_std(z))));
  }
}

TEST_CASE("complex_powf: exact shortcuts come before the polar formula") {
  const Complex odd[] = {{-0.0, -0.0}, {kInf, kNaN}, {0.0, 8}, {-4, -0.0}, {3, 4}};
  for (const Complex z : odd) {
    CAPTURE(z);
    CHECK(same(complex_powf(z, 1.0), z));
    CHECK(same(complex_powf(z, 0.5), complex_sqrt(z)));
    CHECK(same(complex_powf(z, 0.0), Complex{1, 0}));
  }
  CHECK(same(complex_powf({0.0, 0.0}, 0.0), Complex{1, 0}));
  CHECK(same(complex_powf({kNaN, kNaN}, 0.0), Complex{1, 0}));

  SUBCASE("polar formula") {
    CHECK(same(complex_powf({2, 0}, 2.0), Complex{4, 0}));
    const double pi = std::acos(-1.0);
    CHECK(near(complex_powf({0, 1}, 0.8), std::polar(1.0, 0.4 * pi)));
    CHECK(near(complex_powf({-3, -4}, 0.3), std::pow(std::complex<double>(-3, -4), 0.3)));
    const Complex nan_power = complex_powf({3, 4}, kNaN);
    CHECK(std::isnan(nan_power.re));
    CHECK(std::isnan(nan_power.im));
  }
}

TEST_CASE("guarded_tanh: saturates on the real part beyond 20") {
  CHECK(same(guarded_tanh({20.000001, 0.3}), Complex{1, 0}));
  CHECK(same(guarded_tanh({-21, 5}), Complex{-1, 0}));
  CHECK(same(guarded_tanh({kInf, 1}), Complex{1, 0}));
  CHECK(same(guarded_tanh({-kInf, kNaN}), Complex{-1, 0}));
  // At exactly 20 the formula still runs and leaves a tiny imaginary part.
  const Complex at_threshold = guarded_tanh({20, 0.3});
  CHECK(at_threshold.im > 0.0);
  CHECK(at_threshold.im < 1e-16);
  for (const Complex z : {Complex{0.5, 0.25}, Complex{-2, 1}, Complex{19.5, -3}, Complex{0, 1}}) {
    CAPTURE(z);
    CHECK(near(guarded_tanh(z), std::tanh(test_support::to_std(z)), 1e-14));
  }
  CHECK(std::isnan(guarded_tanh({kNaN, 0}).re));
}

TEST_CASE("element impedance: every kind against its textbook formula") {
  using C = std::complex<double>;
  const C j(0, 1);
  const auto coth = [](C x) { return 1.0 / std::tanh(x); };
  struct Row {
    ElementKind kind;
    std::vector<double> values;
    std::function<C(double w, const std::vector<double>& p)> reference;
  };
  const std::vector<Row> rows = {
      {ElementKind::R, {47}, [](double, const auto& p) { return C(p[0]); }},
      {ElementKind::C, {2e-5}, [&](double w, const auto& p) { return 1.0 / (j * w * p[0]); }},
      {ElementKind::L, {3e-6}, [&](double w, const auto& p) { return j * w * p[0]; }},
      {ElementKind::La,
       {4e-6, 0.7},
       [&](double w, const auto& p) { return std::pow(j * w * p[0], p[1]); }},
      {ElementKind::Cpe,
       {2e-4, 0.85},
       [&](double w, const auto& p) { return 1.0 / (p[0] * std::pow(j * w, p[1])); }},
      {ElementKind::W,
       {12},
       [&](double w, const auto& p) { return p[0] * (1.0 - j) / std::sqrt(w); }},
      {ElementKind::Wo,
       {30, 2.5},
       [&](double w, const auto& p) {
         const C u = std::sqrt(j * w * p[1]);
         return p[0] * coth(u) / u;
       }},
      {ElementKind::Ws,
       {30, 2.5},
       [&](double w, const auto& p) {
         const C u = std::sqrt(j * w * p[1]);
         return p[0] * std::tanh(u) / u;
       }},
      {ElementKind::G,
       {8, 0.3},
       [&](double w, const auto& p) { return p[0] / std::sqrt(1.0 + j * w * p[1]); }},
      {ElementKind::Gs,
       {8, 0.3, 0.6},
       [&](double w, const auto& p) {
         const C v = std::sqrt(1.0 + j * w * p[1]);
         return p[0] * coth(p[2] * v) / v;
       }},
      {ElementKind::K,
       {15, 3e-3},
       [&](double w, const auto& p) { return p[0] / (1.0 + j * w * p[1]); }},
      {ElementKind::Zarc,
       {15, 3e-3, 0.75},
       [&](double w, const auto& p) { return p[0] / (1.0 + std::pow(j * w * p[1], p[2])); }},
      {ElementKind::Tlmq,
       {20, 5e-3, 0.9},
       [&](double w, const auto& p) {
         const C zq = 1.0 / (p[1] * std::pow(j * w, p[2]));
         return std::sqrt(p[0] * zq) * coth(std::sqrt(p[0] / zq));
       }},
      {ElementKind::T,
       {2, 3, 0.5, 0.2},
       [&](double w, const auto& p) {
         const C v = std::sqrt(p[2] + j * w * p[3]);
         return p[0] * coth(v) / v + p[1] / std::sinh(v) / v;
       }},
  };
  for (const Row& row : rows) {
    for (const double omega : {0.05, 3.0, 700.0, 2e5}) {
      CAPTURE(kind_info(row.kind).name);
      CAPTURE(omega);
      CHECK(near(z_of(row.kind, omega, row.values), row.reference(omega, row.values), 1e-12));
    }
  }
}

TEST_CASE("element impedance: special cases") {
  SUBCASE("R ignores the frequency") {
    for (const double omega : {0.0, 1.0, -3.0, 1e9, kInf}) {
      CHECK(same(z_of(ElementKind::R, omega, {5}), Complex{5, 0}));
    }
  }
  SUBCASE("C") {
    CHECK(same(z_of(ElementKind::C, 1000, {1e-3}), Complex{0, -1}));
    const Complex at_dc = z_of(ElementKind::C, 0, {1e-3});
    CHECK_FALSE(std::isfinite(at_dc.re));
    CHECK_FALSE(std::isfinite(at_dc.im));
  }
  SUBCASE("the real part of s is 0*omega") {
    CHECK(same(z_of(ElementKind::L, -2, {3}), Complex{-0.0, -6}));
    const Complex at_infinity = z_of(ElementKind::L, kInf, {3});
    CHECK(std::isnan(at_infinity.re));
    CHECK(at_infinity.im == kInf);
  }
  SUBCASE("La with alpha 1, 0 and 0.5") {
    for (const double omega : {0.0, 0.5, 1e4, -7.0}) {
      CAPTURE(omega);
      CHECK(same(z_of(ElementKind::La, omega, {2e-3, 1}), z_of(ElementKind::L, omega, {2e-3})));
      CHECK(same(z_of(ElementKind::La, omega, {2e-3, 0}), Complex{1, 0}));
    }
    const double t = std::sqrt(std::fabs(2e-3 * 1e4) * 0.5);
    CHECK(same(z_of(ElementKind::La, 1e4, {2e-3, 0.5}), Complex{t, t}));
  }
  SUBCASE("Cpe with alpha 1 is C") {
    for (const double omega : {1e-3, 1.0, 123.0, 1e7}) {
      CAPTURE(omega);
      CHECK(near(z_of(ElementKind::Cpe, omega, {4e-5, 1}), z_of(ElementKind::C, omega, {4e-5}),
                 1e-15));
    }
  }
  SUBCASE("W") {
    CHECK(same(z_of(ElementKind::W, 4, {1}), Complex{0.5, -0.5}));
  }
  SUBCASE("Wo and Ws saturate to z0/u") {
    const double z0 = 3, tau = 10, omega = 1000;  // re(u) = sqrt(5000) > 20
    const Complex u = complex_sqrt(tau * s_of(omega));
    const Complex expected = Complex{z0, 0} / u;
    CHECK(near(z_of(ElementKind::Wo, omega, {z0, tau}), expected, 1e-15));
    CHECK(near(z_of(ElementKind::Ws, omega, {z0, tau}), expected, 1e-15));
  }
  SUBCASE("Zarc with gamma 1 is K") {
    for (const double omega : {1e-2, 1.0, 333.0, 1e6}) {
      CAPTURE(omega);
      CHECK(same(z_of(ElementKind::Zarc, omega, {7, 2e-3, 1}),
                 z_of(ElementKind::K, omega, {7, 2e-3})));
    }
  }
  SUBCASE("T at large omega is a/v exactly") {
    const double a = 2, b = 3, k_tau = 1, tau = 1, omega = 1e4;
    const Complex v = complex_sqrt({k_tau + tau * (0.0 * omega), tau * omega});
    REQUIRE(v.re > 20);
    CHECK(same(z_of(ElementKind::T, omega, {a, b, k_tau, tau}), Complex{a, 0} / v));
  }
  SUBCASE("Gs with a large phi is G") {
    for (const double omega : {0.1, 1.0, 50.0}) {
      CAPTURE(omega);
      CHECK(same(z_of(ElementKind::Gs, omega, {5, 1, 100}), z_of(ElementKind::G, omega, {5, 1})));
    }
  }
}

TEST_CASE("element impedance: block evaluation is bitwise the per-point formula") {
  // Frequencies on and off the positive axis, where the block shortcut must step aside.
  std::vector<double> omegas = {0.0,  -0.0,   -3.0,   kInf,  -kInf,
                                kNaN, 5e-324, 1e-300, 1e300, std::numeric_limits<double>::max()};
  for (int i = 0; i < 200; ++i) omegas.push_back(std::pow(10.0, -8.0 + 0.1 * i));
  const std::vector<double> exponents = {0.8, 1.0, 0.5, 0.0, -0.3, 1.7, kNaN, kInf};
  for (std::size_t index = 0; index < kKindCount; ++index) {
    const ElementKind kind = kind_at(index);
    for (const double exponent : exponents) {
      std::array<double, kMaxParams> values = {2.5, 3e-4, 0.7, 1.3};
      // The exponent sits where each fractional kind keeps it; others see it as a plain value.
      values[kind_info(kind).param_count - 1] = exponent;
      std::vector<double> block_re(omegas.size(), 1.0);
      std::vector<double> block_im(omegas.size(), -2.0);
      add_element_impedances(kind, values.data(), omegas, {block_re.data(), block_im.data()});
      for (std::size_t i = 0; i < omegas.size(); ++i) {
        CAPTURE(index);
        CAPTURE(exponent);
        CAPTURE(omegas[i]);
        const Complex one_point =
            Complex{1.0, -2.0} + element_impedance(kind, omegas[i], values.data());
        CHECK(same(Complex{block_re[i], block_im[i]}, one_point));
      }
    }
  }
}

TEST_CASE("fractional powers: the exp shortcut is the power up to rounding, exact off the axis") {
  // On the positive imaginary axis the shortcut's modulus comes from an exp of logarithms, within
  // rounding of the power; a negative coefficient at a negative frequency also lands on that axis,
  // where no logarithm exists and complex_powf must answer.
  for (const double omega : {1e-6, 0.3, 1.0, 7e2, 5e8, -0.3, -7e2}) {
    for (const double coefficient : {2.5e-4, 1.0, 3e3, -2.5e-4, -3e3}) {
      for (const double exponent : {0.05, 0.5, 0.87, 1.0, 1.3}) {
        CAPTURE(omega);
        CAPTURE(coefficient);
        CAPTURE(exponent);
        const Complex power = complex_powf(coefficient * s_of(omega), exponent);
        const Complex la = z_of(ElementKind::La, omega, {coefficient, exponent});
        const Complex zarc = z_of(ElementKind::Zarc, omega, {2.0, coefficient, exponent});
        const Complex zarc_from_power = Complex{2.0, 0.0} / (Complex{1.0, 0.0} + power);
        if (omega > 0.0 && coefficient > 0.0) {
          CHECK(near(la, power, 1e-14));
          CHECK(near(zarc, zarc_from_power, 1e-14));
        } else {
          CHECK(same(la, power));
          CHECK(same(zarc, zarc_from_power));
        }
      }
    }
  }
}
