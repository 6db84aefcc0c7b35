#pragma once
// The circuit tree, its flat parameter order and its evaluation.

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "elements/catalogue.hpp"
#include "runtime/result.hpp"

namespace movarin {

struct Part;
using SeriesList = std::vector<Part>;

struct Part {
  struct Element {
    movarin::Element element;
    std::optional<std::string> label;
  };
  // A parallel group: the branches' admittances add.
  struct Circuit {
    std::vector<SeriesList> branches;
  };
  std::variant<Element, Circuit> node;
};

// Recursive walks (evaluation, copies, destruction) are bounded by this many nested groups; the
// parser and Series/Parallel refuse deeper trees so that no input can exhaust the stack.
inline constexpr std::size_t kMaxNestingDepth = 1000;

std::size_t nesting_depth(const SeriesList& series);

std::size_t param_count(const SeriesList& series);
std::vector<std::string> param_names(const SeriesList& series);
std::vector<double> param_values(const SeriesList& series);
std::vector<std::string_view> param_units(const SeriesList& series);
std::vector<Bounds> param_bounds(const SeriesList& series);

struct ValueCountError {
  std::size_t expected;
  std::size_t got;
};
std::string message(const ValueCountError& error);

Result<SeriesList, ValueCountError> with_values(const SeriesList& series,
                                                std::span<const double> values);

// Everything wrong with a name-keyed rebuild, reported at once.
struct NamedValuesError {
  struct UnknownKey {
    std::string key;
    std::optional<std::string> suggestion;
  };
  std::vector<UnknownKey> unknown;
  std::vector<std::string> missing;
  std::vector<std::string> names;
  std::vector<std::string_view> units;
  std::vector<Bounds> bounds;
};
std::string message(const NamedValuesError& error);

// `values` in the caller's order; later duplicates of a key replace earlier ones.
Result<SeriesList, NamedValuesError> with_named_values(
    const SeriesList& series, const std::vector<std::pair<std::string, double>>& values);

// The closest name within the edit threshold of `key`, the earliest on ties.
std::optional<std::string> suggest_name(std::string_view key,
                                        const std::vector<std::string>& names);

// A forward cursor over a flat parameter vector, shared by one recursive evaluation.
struct ValueCursor {
  const double* next;
  const double* end;
  bool exhausted = false;
};

// Consumes values in flat order; sets cursor.exhausted when they run out (the result is then
// meaningless). The same walk as impedance_over, for one frequency.
Complex impedance_from_iter(const SeriesList& series, ValueCursor& cursor, double omega);

// A parameter vector shorter than the circuit's parameter count.
struct NotEnoughValues {
  std::size_t expected = 0;  // the circuit's parameter count
  std::size_t actual = 0;    // the values supplied
};
// The evaluation's own text. Callers that take a parameter vector from a user check its length
// first (check_value_count) and word the refusal for that user.
std::string message(const NotEnoughValues&);
std::optional<NotEnoughValues> check_value_count(const SeriesList& series,
                                                 std::span<const double> values);

Result<Complex, NotEnoughValues> impedance_with_values(const SeriesList& series,
                                                       std::span<const double> values,
                                                       double omega);

// Points evaluated together by the block walks below; nesting bounds their stack use.
inline constexpr std::size_t kEvaluationBlock = 32;

// impedance_from_iter at every omega[i] into out[i] (same size), bit for bit, computed element by
// element over blocks of points. False when the values run out.
bool impedance_over(const SeriesList& series, std::span<const double> values,
                    std::span<const double> omega, std::span<Complex> out);
// The same with log_frequencies(omega) in log_omega (or empty: then worked out here), for
// callers that evaluate one set of frequencies many times.
bool impedance_over(const SeriesList& series, std::span<const double> values,
                    std::span<const double> omega, std::span<const double> log_omega,
                    std::span<Complex> out);

// Evaluation with each element's stored values.
void stored_impedance_over(const SeriesList& series, std::span<const double> omega,
                           std::span<Complex> out);
Complex stored_impedance(const SeriesList& series, double omega);

inline constexpr double kTwoPi = 6.283185307179586;
inline constexpr std::size_t kParallelImpedanceThreshold = 1000;

// One value per frequency (hertz), in input order; on the worker pool from 1000 frequencies up.
std::vector<Complex> impedance(const SeriesList& series, std::span<const double> frequencies);

}  // namespace movarin
