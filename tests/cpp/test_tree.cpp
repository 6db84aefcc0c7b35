#include <doctest/doctest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "circuit/parse.hpp"
#include "circuit/tree.hpp"
#include "support.hpp"

using namespace movarin;
using test_support::kInf;
using test_support::kNaN;
using test_support::near;
using test_support::same;

namespace {

SeriesList parsed(std::string_view text) {
  auto result = parse_circuit(text);
  REQUIRE(result.ok());
  return std::move(result).value();
}

SeriesList with(const SeriesList& tree, std::vector<double> values) {
  auto result = with_values(tree, values);
  REQUIRE(result.ok());
  return std::move(result).value();
}

Part element(ElementKind kind, std::vector<double> values,
             std::optional<std::string> label = std::nullopt) {
  Element e = placeholder_element(kind);
  std::copy(values.begin(), values.end(), e.values.begin());
  return Part{Part::Element{e, std::move(label)}};
}

Part parallel(std::vector<SeriesList> branches) {
  return Part{Part::Circuit{std::move(branches)}};
}

std::string named_values_message(const SeriesList& tree,
                                 const std::vector<std::pair<std::string, double>>& values) {
  auto result = with_named_values(tree, values);
  REQUIRE_FALSE(result.ok());
  return message(result.error());
}

const std::string kRcListing =
    "valid parameters for this circuit:\n"
    "  R0.r  [ohm]  bounds (1e-12, inf)\n"
    "  R1.r  [ohm]  bounds (1e-12, inf)\n"
    "  C1.c  [F]  bounds (1e-12, inf)";

}  // namespace

TEST_CASE("tree: per-parameter lists of R0-(R1,C1)") {
  const SeriesList rc = parsed("R0-(R1,C1)");
  CHECK(param_count(rc) == 3);
  CHECK(param_names(rc) == std::vector<std::string>{"R0.r", "R1.r", "C1.c"});
  CHECK(param_units(rc) == std::vector<std::string_view>{"ohm", "ohm", "F"});
  CHECK(param_values(rc) == std::vector<double>{1, 1, 0.001});
  for (const Bounds b : param_bounds(rc)) {
    CHECK(b.lo == 1e-12);
    CHECK(b.hi == kInf);
  }
  CHECK(param_names(parsed("R0-(R1,C1)-Wo2")) ==
        std::vector<std::string>{"R0.r", "R1.r", "C1.c", "Wo2.z0", "Wo2.tau"});
}

TEST_CASE("tree: bounds of Zarc and T") {
  const auto zarc = param_bounds(parsed("Zarc1"));
  REQUIRE(zarc.size() == 3);
  CHECK((zarc[0].lo == 1e-12 && zarc[0].hi == kInf));
  CHECK((zarc[1].lo == 1e-12 && zarc[1].hi == kInf));
  CHECK((zarc[2].lo == 0.0 && zarc[2].hi == 1.0));
  const auto t = param_bounds(parsed("T1"));
  REQUIRE(t.size() == 4);
  for (const Bounds b : t) CHECK((b.lo == 1e-12 && b.hi == kInf));
}

TEST_CASE("tree: unlabelled elements are named by kind and a per-kind counter") {
  const SeriesList built = {
      element(ElementKind::R, {1}),
      parallel({{element(ElementKind::R, {2})}, {element(ElementKind::C, {1e-6})}}),
      element(ElementKind::Cpe, {1e-3, 0.9}), element(ElementKind::Tlmq, {1, 2, 0.5})};
  CHECK(param_names(built) == std::vector<std::string>{"R0.r", "R1.r", "C0.c", "Cpe0.q",
                                                       "Cpe0.alpha", "Tlmq0.r_ion", "Tlmq0.qs",
                                                       "Tlmq0.gamma"});
  // Labelled elements leave the counters alone, so names may repeat.
  const SeriesList mixed = {element(ElementKind::R, {1}, "R0"), element(ElementKind::R, {2}),
                            element(ElementKind::R, {3})};
  CHECK(param_names(mixed) == std::vector<std::string>{"R0.r", "R0.r", "R1.r"});
}

TEST_CASE("tree: with_values") {
  const SeriesList rc = parsed("R0-(R1,C1)-Wo2");
  SUBCASE("count mismatch") {
    for (const std::size_t given : {0, 4, 6}) {
      const std::vector<double> values(given, 1.0);
      const auto result = with_values(rc, values);
      REQUIRE_FALSE(result.ok());
      CHECK(message(result.error()) == "expected 5 values, got " + std::to_string(given));
    }
    const auto short_rc = with_values(parsed("R0-(R1,C1)"), std::vector<double>{10, 100});
    REQUIRE_FALSE(short_rc.ok());
    CHECK(message(short_rc.error()) == "expected 3 values, got 2");
  }
  SUBCASE("values land in flat order, the input stays unchanged") {
    const SeriesList rebuilt = with(rc, {10, 20, 3e-5, kNaN, -kInf});
    CHECK(param_names(rebuilt) == param_names(rc));
    const auto values = param_values(rebuilt);
    CHECK(values[0] == 10);
    CHECK(values[2] == 3e-5);
    CHECK(std::isnan(values[3]));
    CHECK(values[4] == -kInf);
    CHECK(param_values(rc) == std::vector<double>{1, 1, 0.001, 1, 10});
  }
  SUBCASE("a circuit without parameters takes no values") {
    CHECK(with_values(SeriesList{}, std::vector<double>{}).ok());
  }
}

TEST_CASE("tree: with_named_values") {
  const SeriesList rc = parsed("R0-(R1,C1)");
  SUBCASE("complete keys in any order") {
    auto result = with_named_values(rc, {{"C1.c", 3e-6}, {"R0.r", 5}, {"R1.r", 7}});
    REQUIRE(result.ok());
    CHECK(param_values(result.value()) == std::vector<double>{5, 7, 3e-6});
  }
  SUBCASE("an unknown key gets the earliest closest name") {
    CHECK(named_values_message(rc, {{"R0.r", 1}, {"R1.r", 2}, {"C1.c", 3}, {"R2.r", 4}}) ==
          "unknown parameter \"R2.r\" (did you mean \"R0.r\"?)\n\n" + kRcListing);
  }
  SUBCASE("missing names in flat order") {
    CHECK(named_values_message(rc, {{"R0.r", 1}}) ==
          "missing parameter(s): [\"R1.r\", \"C1.c\"]\n\n" + kRcListing);
  }
  SUBCASE("unknown and missing together, quoting and no suggestion") {
    CHECK(named_values_message(rc, {{"R0.r", 1}, {"a\"b\\c", 2}}) ==
          "unknown parameter \"a\\\"b\\\\c\"\n"
          "missing parameter(s): [\"R1.r\", \"C1.c\"]\n\n" +
              kRcListing);
    const std::string several = named_values_message(rc, {{"capacitance", 1}, {"R0.x", 2}});
    CHECK(several.find("unknown parameter \"capacitance\"\n") != std::string::npos);
    CHECK(several.find("unknown parameter \"R0.x\" (did you mean \"R0.r\"?)\n") !=
          std::string::npos);
    CHECK(several.find("missing parameter(s): [\"R0.r\", \"R1.r\", \"C1.c\"]\n\n") !=
          std::string::npos);
  }
  SUBCASE("names are padded to the longest, compact bounds") {
    const SeriesList rq = parsed("R0-(R1,CPE1)");
    CHECK(named_values_message(rq, {}) ==
          "missing parameter(s): [\"R0.r\", \"R1.r\", \"CPE1.q\", \"CPE1.alpha\"]\n\n"
          "valid parameters for this circuit:\n"
          "  R0.r        [ohm]  bounds (1e-12, inf)\n"
          "  R1.r        [ohm]  bounds (1e-12, inf)\n"
          "  CPE1.q      [ohm^-1*s^alpha]  bounds (1e-12, inf)\n"
          "  CPE1.alpha  [-]  bounds (0, 1)");
  }
  SUBCASE("a circuit without parameters") {
    CHECK(named_values_message(SeriesList{}, {{"R0.r", 1}}) ==
          "unknown parameter \"R0.r\"\n\nvalid parameters for this circuit:");
  }
  SUBCASE("a repeated name takes the same value") {
    const SeriesList mixed = {element(ElementKind::R, {1}, "R0"), element(ElementKind::R, {2})};
    auto result = with_named_values(mixed, {{"R0.r", 9}});
    REQUIRE(result.ok());
    CHECK(param_values(result.value()) == std::vector<double>{9, 9});
  }
}

TEST_CASE("tree: suggestions") {
  const std::vector<std::string> names = {"abcdef", "abcde", "R1.r", "R0.r"};
  struct Row {
    std::string key;
    std::optional<std::string> expected;
  };
  const Row rows[] = {
      {"abcxyz", "abcdef"},     // 6 characters allow 3 edits
      {"abxyz", std::nullopt},  // 5 characters allow only 2
      {"R2.r", "R1.r"},         // a tie goes to the earlier name
      {"r0.r", "R0.r"},         // case counts as an edit; the later name is strictly closer
      {"capacitance", std::nullopt},
      {"\u20ac\u20ac.r", "R1.r"},   // "€€.r": two edits among four characters, not eight bytes
      {"R0.rstuv", "R0.r"},         // 8 characters allow 4 edits
      {"R0.rstuvw", std::nullopt},  // 9 characters still allow only 4
  };
  for (const Row& row : rows) {
    CAPTURE(row.key);
    CHECK(suggest_name(row.key, names) == row.expected);
  }
  CHECK(suggest_name("R0.r", {}) == std::nullopt);
}

TEST_CASE("tree: impedance_from_iter walks the flat vector") {
  const SeriesList circuit = parsed("R0-(R1,C1)-Wo2");
  const std::vector<double> values = {5, 100, 2e-5, 30, 0.4};
  const double omega = 250;
  SUBCASE("matches the elements combined by hand") {
    const Complex r0 = element_impedance(ElementKind::R, omega, &values[0]);
    const Complex r1 = element_impedance(ElementKind::R, omega, &values[1]);
    const Complex c1 = element_impedance(ElementKind::C, omega, &values[2]);
    const Complex wo = element_impedance(ElementKind::Wo, omega, &values[3]);
    const Complex expected = r0 + reciprocal(reciprocal(r1) + reciprocal(c1)) + wo;
    ValueCursor cursor{values.data(), values.data() + values.size()};
    CHECK(same(impedance_from_iter(circuit, cursor, omega), expected));
    CHECK_FALSE(cursor.exhausted);
    CHECK(cursor.next == values.data() + values.size());
  }
  SUBCASE("extra values are ignored, stored values agree") {
    const Complex exact = impedance_with_values(circuit, values, omega).value();
    std::vector<double> longer = values;
    longer.insert(longer.end(), {1e9, -1});
    CHECK(same(impedance_with_values(circuit, longer, omega).value(), exact));
    CHECK(same(stored_impedance(with(circuit, values), omega), exact));
  }
  SUBCASE("too few values") {
    for (const std::size_t given : {0, 1, 4}) {
      const std::span<const double> prefix(values.data(), given);
      CHECK_FALSE(impedance_with_values(circuit, prefix, omega).ok());
      ValueCursor cursor{prefix.data(), prefix.data() + prefix.size()};
      impedance_from_iter(circuit, cursor, omega);
      CHECK(cursor.exhausted);
    }
    CHECK(message(NotEnoughValues{}) == "impedance_from_iter: not enough values supplied");
  }
  SUBCASE("series order does not matter, values are read in flat order") {
    const Complex forward =
        impedance_with_values(parsed("R0-C1-L2"), std::vector<double>{3, 1e-4, 2e-3}, omega)
            .value();
    const Complex backward =
        impedance_with_values(parsed("L2-R0-C1"), std::vector<double>{2e-3, 3, 1e-4}, omega)
            .value();
    CHECK(near(forward, backward, 1e-15));
  }
}

TEST_CASE("tree: parallel groups") {
  CHECK(same(stored_impedance(parsed("(R0,R1)"), 10), Complex{0.5, 0}));
  const std::vector<double> values = {30, 1e-4};
  for (const double omega : {0.1, 10.0, 1e5}) {
    CAPTURE(omega);
    CHECK(near(impedance_with_values(parsed("(R1-C1)"), values, omega).value(),
               impedance_with_values(parsed("R1-C1"), values, omega).value(), 1e-14));
  }
  CHECK(same(stored_impedance(SeriesList{}, 1), Complex{0, 0}));
  const Complex no_branches = stored_impedance({parallel({})}, 1);
  CHECK(std::isnan(no_branches.re));
  CHECK(std::isnan(no_branches.im));
}

TEST_CASE("tree: impedance over frequencies is the same on the pool") {
  const SeriesList randles = with(parsed("R0-(R1-W1,CPE1)"), {12, 40, 7, 2e-5, 0.87});
  for (const std::size_t n :
       {std::size_t{999}, std::size_t{1000}, std::size_t{1537}, std::size_t{5000}}) {
    CAPTURE(n);
    std::vector<double> frequencies = {0.0, -5.0, kNaN, kInf};
    for (std::size_t i = frequencies.size(); i < n; ++i) {
      frequencies.push_back(std::pow(10.0, -3.0 + 9.0 * double(i) / double(n)));
    }
    const std::vector<Complex> result = impedance(randles, frequencies);
    REQUIRE(result.size() == n);
    std::size_t mismatches = 0;
    for (std::size_t i = 0; i < n; ++i) {
      if (!same(result[i], stored_impedance(randles, frequencies[i] * kTwoPi))) ++mismatches;
    }
    CHECK(mismatches == 0);
  }
}

TEST_CASE("tree: block evaluation with a value vector matches impedance_from_iter bit for bit") {
  const SeriesList circuit = parsed("R0-(R1-W1,CPE1)-p(R2,(Zarc3,La4),Tlmq5)-Wo6");
  const std::vector<double> values = {12,  85,   40,  2.2e-5, 0.87, 7,    3, 1e-3,
                                      0.6, 1e-4, 0.9, 2,      1e-3, 0.75, 4, 0.5};
  std::vector<double> omega;
  for (int i = 0; i < 77; ++i) omega.push_back(std::pow(10.0, -2.0 + 0.1 * i));
  omega.push_back(0.0);
  omega.push_back(-5.0);
  std::vector<Complex> block(omega.size());
  REQUIRE(impedance_over(circuit, values, omega, block));
  for (std::size_t i = 0; i < omega.size(); ++i) {
    CAPTURE(omega[i]);
    CHECK(same(block[i], impedance_with_values(circuit, values, omega[i]).value()));
  }
  const std::vector<double> short_values(values.begin(), values.end() - 1);
  CHECK_FALSE(impedance_over(circuit, short_values, omega, block));
}

TEST_CASE("tree: block evaluation sums in the order of the per-element formulas") {
  // R0-(R1-W1,CPE1) written out: series parts in order onto zero, branch admittances in branch
  // order onto zero, over more than one block and the special frequencies.
  const SeriesList randles = parsed("R0-(R1-W1,CPE1)");
  const std::vector<double> values = {12, 85, 40, 2.2e-5, 0.87};
  std::vector<double> omega = {0.0, -0.0, -5.0, kNaN, kInf, -kInf, 5e-324, 1e300};
  for (int i = 0; i < 70; ++i) omega.push_back(std::pow(10.0, -3.0 + 0.13 * i));
  std::vector<Complex> block(omega.size());
  REQUIRE(impedance_over(randles, values, omega, block));
  const Complex zero{0.0, 0.0};
  for (std::size_t i = 0; i < omega.size(); ++i) {
    CAPTURE(omega[i]);
    const double w = omega[i];
    const Complex r0 = element_impedance(ElementKind::R, w, &values[0]);
    const Complex r1 = element_impedance(ElementKind::R, w, &values[1]);
    const Complex w1 = element_impedance(ElementKind::W, w, &values[2]);
    const Complex cpe1 = element_impedance(ElementKind::Cpe, w, &values[3]);
    const Complex admittance = (zero + reciprocal(zero + r1 + w1)) + reciprocal(zero + cpe1);
    CHECK(same(block[i], zero + r0 + reciprocal(admittance)));
  }
}
