#include "circuit/tree.hpp"

#include <algorithm>
#include <array>
#include <unordered_map>
#include <unordered_set>

#include "runtime/number_format.hpp"
#include "runtime/text.hpp"
#include "runtime/worker_pool.hpp"

namespace movarin {
namespace {

template <class Visit>
void for_each_element(const SeriesList& series, Visit& visit) {
  for (const Part& part : series) {
    if (const auto* element = std::get_if<Part::Element>(&part.node)) {
      visit(*element);
    } else {
      for (const SeriesList& branch : std::get<Part::Circuit>(part.node).branches) {
        for_each_element(branch, visit);
      }
    }
  }
}

void assign_values(SeriesList& series, const double*& next) {
  for (Part& part : series) {
    if (auto* element = std::get_if<Part::Element>(&part.node)) {
      const std::size_t count = kind_info(element->element.kind).param_count;
      std::copy(next, next + count, element->element.values.begin());
      next += count;
    } else {
      for (SeriesList& branch : std::get<Part::Circuit>(part.node).branches) {
        assign_values(branch, next);
      }
    }
  }
}

std::size_t edit_distance(std::u32string_view a, std::u32string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t substitution = diagonal + (a[i - 1] == b[j - 1] ? 0 : 1);
      diagonal = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, substitution});
    }
  }
  return row[b.size()];
}

std::string parameter_listing_line(const std::string& name, std::size_t width,
                                   std::string_view unit, Bounds bounds) {
  return "  " + pad_right(name, width) + "  [" + std::string(unit) + "]  bounds (" +
         format_compact_number(bounds.lo) + ", " + format_compact_number(bounds.hi) + ")";
}

// Values for the block walk: read forward through a caller's vector, or each element's own.
// Reads forward through a caller's vector; marks the cursor exhausted when it runs out.
class CursorValues {
 public:
  explicit CursorValues(ValueCursor& cursor) : cursor_(cursor) {}
  const double* take(const Part::Element& element) {
    const std::size_t count = kind_info(element.element.kind).param_count;
    if (static_cast<std::size_t>(cursor_.end - cursor_.next) < count) {
      cursor_.exhausted = true;
      return nullptr;
    }
    const double* taken = cursor_.next;
    cursor_.next += count;
    return taken;
  }

 private:
  ValueCursor& cursor_;
};

struct StoredValues {
  const double* take(const Part::Element& element) const { return element.element.values.data(); }
};

// A block of complex values as columns on the stack.
struct ColumnBlock {
  std::array<double, kEvaluationBlock> re;
  std::array<double, kEvaluationBlock> im;

  ComplexColumns columns() { return {re.data(), im.data()}; }
  void zero(std::size_t count) {
    std::fill_n(re.begin(), count, 0.0);
    std::fill_n(im.begin(), count, 0.0);
  }
};

// ln omega over one block, shared by its elements: the caller's, or worked out when the first
// element that reads it asks.
class BlockLogs {
 public:
  BlockLogs(std::span<const double> omega, std::span<const double> given)
      : omega_(omega), logs_(given) {}

  std::span<const double> get() {
    if (logs_.empty()) {
      log_frequencies(omega_, own_.data());
      logs_ = std::span<const double>(own_.data(), omega_.size());
    }
    return logs_;
  }

 private:
  std::span<const double> omega_;
  std::span<const double> logs_;
  std::array<double, kEvaluationBlock> own_;
};

// Adds the series list's impedance at each omega[i] to out[i], element by element over the whole
// block. Each point sees the same operations in the same order as it would alone, so a value does
// not depend on the block it was computed in. False when the values run out.
template <class Values>
MOVARIN_AVX2_CLONES bool add_series_block(const SeriesList& series, Values& values,
                                          std::span<const double> omega, BlockLogs& logs,
                                          ComplexColumns out) {
  const std::size_t count = omega.size();
  for (const Part& part : series) {
    if (const auto* element = std::get_if<Part::Element>(&part.node)) {
      const double* params = values.take(*element);
      if (params == nullptr) return false;
      const ElementKind kind = element->element.kind;
      const std::span<const double> log_omega =
          reads_log_frequency(kind) ? logs.get() : std::span<const double>();
      add_element_impedances(kind, params, omega, log_omega, out);
      continue;
    }
    ColumnBlock admittance;
    ColumnBlock branch_impedance;
    admittance.zero(count);
    for (const SeriesList& branch : std::get<Part::Circuit>(part.node).branches) {
      branch_impedance.zero(count);
      const ComplexColumns branch_columns = branch_impedance.columns();
      if (!add_series_block(branch, values, omega, logs, branch_columns)) return false;
      const ComplexColumns admittance_columns = admittance.columns();
      for (std::size_t i = 0; i < count; ++i) {
        admittance_columns.add(i, reciprocal(branch_columns[i]));
      }
    }
    const ComplexColumns admittance_columns = admittance.columns();
    for (std::size_t i = 0; i < count; ++i) out.add(i, reciprocal(admittance_columns[i]));
  }
  return true;
}

// add_series_block from zero over one block, written out as complex pairs. `log_omega` is empty
// or ln omega.
template <class Values>
bool series_block(const SeriesList& series, Values& values, std::span<const double> omega,
                  std::span<const double> log_omega, Complex* out) {
  ColumnBlock sum;
  sum.zero(omega.size());
  BlockLogs logs(omega, log_omega);
  if (!add_series_block(series, values, omega, logs, sum.columns())) return false;
  for (std::size_t i = 0; i < omega.size(); ++i) out[i] = {sum.re[i], sum.im[i]};
  return true;
}

// How impedance() hands points to the worker pool. The calling thread starts on piece 0 at once,
// while a worker first has to notice the batch, so piece 0 is longer by a lead of a tenth of the
// points (at most kMaxLead): the caller then seldom ends up asleep waiting for the last piece,
// and waking it costs as much as evaluating a few hundred points.
class ImpedancePieces {
 public:
  explicit ImpedancePieces(std::size_t points)
      : points_(points),
        lead_(std::min(points / 10, kMaxLead)),
        count_(std::max<std::size_t>(2, (points - lead_) / kGrain)),
        size_((points - lead_) / count_) {}

  std::size_t count() const { return count_; }
  std::size_t begin(std::size_t piece) const { return piece == 0 ? 0 : lead_ + piece * size_; }
  std::size_t end(std::size_t piece) const {
    return piece + 1 == count_ ? points_ : lead_ + (piece + 1) * size_;
  }

 private:
  static constexpr std::size_t kGrain = 512;
  static constexpr std::size_t kMaxLead = 128;

  std::size_t points_;
  std::size_t lead_;
  std::size_t count_;
  std::size_t size_;
};

}  // namespace

std::size_t nesting_depth(const SeriesList& series) {
  std::size_t depth = 0;
  for (const Part& part : series) {
    if (const auto* group = std::get_if<Part::Circuit>(&part.node)) {
      for (const SeriesList& branch : group->branches) {
        depth = std::max(depth, 1 + nesting_depth(branch));
      }
    }
  }
  return depth;
}

std::size_t param_count(const SeriesList& series) {
  std::size_t count = 0;
  auto visit = [&](const Part::Element& e) { count += kind_info(e.element.kind).param_count; };
  for_each_element(series, visit);
  return count;
}

std::vector<std::string> param_names(const SeriesList& series) {
  std::vector<std::string> names;
  std::array<std::size_t, kKindCount> counters{};
  auto visit = [&](const Part::Element& e) {
    const KindInfo& info = kind_info(e.element.kind);
    std::string prefix;
    if (e.label) {
      prefix = *e.label;
    } else {
      prefix = std::string(info.name) + std::to_string(counters[catalogue_index(e.element.kind)]++);
    }
    for (std::size_t k = 0; k < info.param_count; ++k) {
      names.push_back(prefix + "." + std::string(info.param_names[k]));
    }
  };
  for_each_element(series, visit);
  return names;
}

std::vector<double> param_values(const SeriesList& series) {
  std::vector<double> values;
  auto visit = [&](const Part::Element& e) {
    const std::size_t count = kind_info(e.element.kind).param_count;
    values.insert(values.end(), e.element.values.begin(), e.element.values.begin() + count);
  };
  for_each_element(series, visit);
  return values;
}

std::vector<std::string_view> param_units(const SeriesList& series) {
  std::vector<std::string_view> units;
  auto visit = [&](const Part::Element& e) {
    const KindInfo& info = kind_info(e.element.kind);
    units.insert(units.end(), info.units.begin(), info.units.begin() + info.param_count);
  };
  for_each_element(series, visit);
  return units;
}

std::vector<Bounds> param_bounds(const SeriesList& series) {
  std::vector<Bounds> bounds;
  auto visit = [&](const Part::Element& e) {
    const KindInfo& info = kind_info(e.element.kind);
    for (std::size_t k = 0; k < info.param_count; ++k) {
      bounds.push_back(default_bounds(info.param_names[k]));
    }
  };
  for_each_element(series, visit);
  return bounds;
}

std::string message(const ValueCountError& error) {
  return "expected " + std::to_string(error.expected) + " values, got " + std::to_string(error.got);
}

Result<SeriesList, ValueCountError> with_values(const SeriesList& series,
                                                std::span<const double> values) {
  const std::size_t expected = param_count(series);
  if (values.size() != expected) return fail(ValueCountError{expected, values.size()});
  SeriesList rebuilt = series;
  const double* next = values.data();
  assign_values(rebuilt, next);
  return rebuilt;
}

std::optional<std::string> suggest_name(std::string_view key,
                                        const std::vector<std::string>& names) {
  if (names.empty()) return std::nullopt;
  const std::u32string key_chars = decode_utf8(key);
  const std::size_t half = key_chars.size() / 2;
  const std::size_t threshold = half < 3 ? 2 : half;
  std::size_t best_distance = SIZE_MAX;
  const std::string* best = nullptr;
  for (const std::string& name : names) {
    const std::size_t distance = edit_distance(key_chars, decode_utf8(name));
    if (distance < best_distance) {
      best_distance = distance;
      best = &name;
    }
  }
  if (best_distance > threshold) return std::nullopt;
  return *best;
}

std::string message(const NamedValuesError& error) {
  std::vector<std::string> lines;
  for (const auto& unknown : error.unknown) {
    std::string line = "unknown parameter " + quote(unknown.key);
    if (unknown.suggestion) line += " (did you mean " + quote(*unknown.suggestion) + "?)";
    lines.push_back(std::move(line));
  }
  if (!error.missing.empty()) lines.push_back("missing parameter(s): " + quote_list(error.missing));
  lines.push_back("");
  lines.push_back("valid parameters for this circuit:");
  std::size_t width = 0;
  for (const std::string& name : error.names) width = std::max(width, name.size());
  for (std::size_t i = 0; i < error.names.size(); ++i) {
    lines.push_back(parameter_listing_line(error.names[i], width, error.units[i], error.bounds[i]));
  }
  std::string text;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) text += '\n';
    text += lines[i];
  }
  return text;
}

Result<SeriesList, NamedValuesError> with_named_values(
    const SeriesList& series, const std::vector<std::pair<std::string, double>>& values) {
  std::unordered_map<std::string, double> by_name;
  for (const auto& [key, value] : values) by_name.insert_or_assign(key, value);

  std::vector<std::string> names = param_names(series);
  NamedValuesError error;
  const std::unordered_set<std::string> known(names.begin(), names.end());
  std::unordered_set<std::string> reported;
  for (const auto& [key, value] : values) {
    if (!known.contains(key) && reported.insert(key).second) {
      error.unknown.push_back({key, suggest_name(key, names)});
    }
  }
  std::vector<double> flat;
  for (const std::string& name : names) {
    const auto found = by_name.find(name);
    if (found == by_name.end()) {
      error.missing.push_back(name);
    } else {
      flat.push_back(found->second);
    }
  }
  if (error.unknown.empty() && error.missing.empty()) return with_values(series, flat).value();
  error.names = std::move(names);
  error.units = param_units(series);
  error.bounds = param_bounds(series);
  return fail(std::move(error));
}

Complex impedance_from_iter(const SeriesList& series, ValueCursor& cursor, double omega) {
  Complex z{0.0, 0.0};
  CursorValues values(cursor);
  const std::span<const double> one_point(&omega, 1);
  BlockLogs logs(one_point, {});
  add_series_block(series, values, one_point, logs, {&z.re, &z.im});
  return z;
}

std::string message(const NotEnoughValues&) {
  return "impedance_from_iter: not enough values supplied";
}

std::optional<NotEnoughValues> check_value_count(const SeriesList& series,
                                                 std::span<const double> values) {
  const std::size_t expected = param_count(series);
  if (values.size() >= expected) return std::nullopt;
  return NotEnoughValues{expected, values.size()};
}

Result<Complex, NotEnoughValues> impedance_with_values(const SeriesList& series,
                                                       std::span<const double> values,
                                                       double omega) {
  ValueCursor cursor{values.data(), values.data() + values.size()};
  const Complex z = impedance_from_iter(series, cursor, omega);
  if (cursor.exhausted) return fail(NotEnoughValues{param_count(series), values.size()});
  return z;
}

bool impedance_over(const SeriesList& series, std::span<const double> values,
                    std::span<const double> omega, std::span<Complex> out) {
  return impedance_over(series, values, omega, {}, out);
}

bool impedance_over(const SeriesList& series, std::span<const double> values,
                    std::span<const double> omega, std::span<const double> log_omega,
                    std::span<Complex> out) {
  for (std::size_t begin = 0; begin < omega.size(); begin += kEvaluationBlock) {
    const std::size_t count = std::min(kEvaluationBlock, omega.size() - begin);
    ValueCursor cursor{values.data(), values.data() + values.size()};
    CursorValues reader(cursor);
    const std::span<const double> block_logs =
        log_omega.empty() ? log_omega : log_omega.subspan(begin, count);
    if (!series_block(series, reader, omega.subspan(begin, count), block_logs, &out[begin])) {
      return false;
    }
  }
  return true;
}

void stored_impedance_over(const SeriesList& series, std::span<const double> omega,
                           std::span<Complex> out) {
  StoredValues stored;
  for (std::size_t begin = 0; begin < omega.size(); begin += kEvaluationBlock) {
    const std::size_t count = std::min(kEvaluationBlock, omega.size() - begin);
    series_block(series, stored, omega.subspan(begin, count), {}, &out[begin]);
  }
}

Complex stored_impedance(const SeriesList& series, double omega) {
  Complex z{0.0, 0.0};
  stored_impedance_over(series, std::span<const double>(&omega, 1), std::span<Complex>(&z, 1));
  return z;
}

std::vector<Complex> impedance(const SeriesList& series, std::span<const double> frequencies) {
  std::vector<Complex> result(frequencies.size());
  auto evaluate = [&](std::size_t begin, std::size_t end) {
    std::array<double, kEvaluationBlock> omega;
    for (std::size_t block = begin; block < end; block += kEvaluationBlock) {
      const std::size_t count = std::min(kEvaluationBlock, end - block);
      for (std::size_t i = 0; i < count; ++i) omega[i] = frequencies[block + i] * kTwoPi;
      stored_impedance_over(series, std::span<const double>(omega.data(), count),
                            std::span<Complex>(&result[block], count));
    }
  };
  if (frequencies.size() < kParallelImpedanceThreshold) {
    evaluate(0, frequencies.size());
  } else {
    const ImpedancePieces pieces(frequencies.size());
    parallel_for(pieces.count(), 1, [&](std::size_t first, std::size_t last) {
      for (std::size_t piece = first; piece < last; ++piece) {
        evaluate(pieces.begin(piece), pieces.end(piece));
      }
    });
  }
  return result;
}

}  // namespace movarin
