#include "fit/constraints.hpp"

#include <algorithm>
#include <cmath>

#include "runtime/number_format.hpp"

namespace movarin {
namespace {

using Kind = ConstraintError::Kind;

std::string interval_text(const Bounds& b) {
  std::string text = "[";
  text += format_compact_number(b.lo);
  text += ", ";
  text += format_compact_number(b.hi);
  text += "]";
  return text;
}

// A positive parameter's own lower bound is a numerical floor just above zero (a resistance's is
// 1e-12 ohm), so a given lower bound of zero, or one between zero and the floor, means the floor.
Bounds raised_to_floor(Bounds given, const Bounds& range) {
  if (range.lo > 0.0 && given.lo >= 0.0 && given.lo < range.lo) given.lo = range.lo;
  return given;
}

std::optional<ConstraintError> check_bounds(const std::string& name, const Bounds& given,
                                            const Bounds& range) {
  const auto refuse = [&](Kind kind) {
    ConstraintError error{kind, name};
    error.bounds = given;
    error.range = range;
    return error;
  };
  if (!std::isfinite(given.lo)) return refuse(Kind::LowerNotFinite);
  if (std::isnan(given.hi)) return refuse(Kind::UpperIsNaN);
  if (!(given.lo < given.hi)) return refuse(Kind::EmptyInterval);
  const Bounds floored = raised_to_floor(given, range);
  if (floored.lo < range.lo || floored.hi > range.hi || !(floored.lo < floored.hi)) {
    return refuse(Kind::OutsideRange);
  }
  return std::nullopt;
}

}  // namespace

std::string message(const ConstraintError& error) {
  // Built by appending: g++ 12 warns falsely (-Wrestrict) on long chains of string sums.
  std::string text;
  switch (error.kind) {
    case Kind::FixedCount:
    case Kind::BoundsCount:
      text = error.kind == Kind::FixedCount ? "fixed" : "bounds";
      text += " has " + std::to_string(error.count) + " entries, the circuit has ";
      text += std::to_string(error.expected) + " parameters";
      return text;
    case Kind::LowerNotFinite:
      text = "bounds of " + error.name + ": the lower bound ";
      text += format_compact_number(error.bounds.lo) + " is not finite";
      return text;
    case Kind::UpperIsNaN:
      return "bounds of " + error.name + ": the upper bound is NaN";
    case Kind::EmptyInterval:
      text = "bounds of " + error.name + ": the lower bound ";
      text += format_compact_number(error.bounds.lo) + " is not below the upper bound ";
      text += format_compact_number(error.bounds.hi);
      return text;
    case Kind::OutsideRange:
      text = "bounds of " + error.name + ": " + interval_text(error.bounds);
      text += " reaches outside the parameter's range " + interval_text(error.range);
      return text;
    case Kind::ValueOutside:
      text = error.fixed ? "the fixed value " : "the start value ";
      text += format_compact_number(error.value) + " of " + error.name;
      text += " lies outside its bounds " + interval_text(error.bounds);
      return text;
    case Kind::NothingFree:
      return "every parameter is fixed: nothing is left to fit";
  }
  return text;
}

Result<ConstrainedParameters, ConstraintError> apply_constraints(
    const SeriesList& circuit, const FitConstraints& constraints) {
  const std::size_t count = param_count(circuit);
  if (!constraints.fixed.empty() && constraints.fixed.size() != count) {
    return fail(ConstraintError{Kind::FixedCount, {}, constraints.fixed.size(), count});
  }
  if (!constraints.bounds.empty() && constraints.bounds.size() != count) {
    return fail(ConstraintError{Kind::BoundsCount, {}, constraints.bounds.size(), count});
  }
  const std::vector<std::string> names = param_names(circuit);
  const std::vector<double> values = param_values(circuit);
  ConstrainedParameters constrained{param_bounds(circuit), std::vector<bool>(count, false)};
  if (!constraints.fixed.empty()) constrained.fixed = constraints.fixed;
  for (std::size_t j = 0; j < count; ++j) {
    if (!constraints.bounds.empty()) {
      if (auto error = check_bounds(names[j], constraints.bounds[j], constrained.bounds[j])) {
        return fail(std::move(*error));
      }
      constrained.bounds[j] = raised_to_floor(constraints.bounds[j], constrained.bounds[j]);
    }
    // Without given bounds a start outside the parameter's own is clamped, as in any fit; a
    // fixed value cannot be.
    const bool checked = !constraints.bounds.empty() || constrained.fixed[j];
    const Bounds& b = constrained.bounds[j];
    if (checked && !(values[j] >= b.lo && values[j] <= b.hi)) {
      ConstraintError error{Kind::ValueOutside, names[j]};
      error.value = values[j];
      error.bounds = b;
      error.fixed = constrained.fixed[j];
      return fail(std::move(error));
    }
  }
  if (count > 0 && std::all_of(constrained.fixed.begin(), constrained.fixed.end(),
                               [](bool fixed) { return fixed; })) {
    return fail(ConstraintError{Kind::NothingFree, {}});
  }
  return constrained;
}

}  // namespace movarin
