#include "nn/weight_file.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>

#include "runtime/text.hpp"

namespace movarin {

WeightError WeightError::read_failure(std::string description) {
  return {Kind::ReadFailure, std::move(description)};
}
WeightError WeightError::bad_magic() {
  return {Kind::BadMagic, {}};
}
WeightError WeightError::truncated() {
  return {Kind::Truncated, {}};
}
WeightError WeightError::missing(std::string name) {
  return {Kind::Missing, std::move(name)};
}
WeightError WeightError::unparsable(std::string what) {
  return {Kind::Unparsable, std::move(what)};
}
WeightError WeightError::unknown_estimator(std::string found) {
  return {Kind::UnknownEstimator, std::move(found)};
}
WeightError WeightError::unknown_encoding(std::uint8_t code) {
  return {Kind::UnknownEncoding, {}, code};
}
WeightError WeightError::element_count(std::string name, std::uint64_t actual,
                                       std::uint64_t required) {
  return {Kind::ElementCount, std::move(name), actual, required};
}
WeightError WeightError::too_few_points(std::uint64_t points) {
  return {Kind::TooFewPoints, {}, points};
}
WeightError WeightError::no_trained_model(std::string model_list) {
  return {Kind::NoTrainedModel, std::move(model_list)};
}
WeightError WeightError::cache_poisoned() {
  return {Kind::CachePoisoned, {}};
}

std::string message(const WeightError& error) {
  using Kind = WeightError::Kind;
  switch (error.kind) {
    case Kind::ReadFailure:
      return "reading weights: " + error.subject;
    case Kind::BadMagic:
      return "not an ovrel weight file (bad magic bytes)";
    case Kind::Truncated:
      return "weight file is truncated";
    case Kind::Missing:
      return "weight file is missing " + error.subject;
    case Kind::Unparsable:
      return "weight file has an unparsable value for " + error.subject;
    case Kind::UnknownEstimator:
      return "weight file was normalised with the " + error.subject +
             " scale estimator, which this build does not implement (supported: " +
             std::string(kReactiveCentroid) + ")";
    case Kind::UnknownEncoding:
      return "weight file uses tensor encoding " + std::to_string(error.actual) +
             ", which this build does not know";
    case Kind::ElementCount:
      return "tensor " + error.subject + " has " + std::to_string(error.actual) +
             " elements, expected " + std::to_string(error.required);
    case Kind::TooFewPoints:
      return "need at least 2 frequency points to guess, got " + std::to_string(error.actual);
    case Kind::NoTrainedModel:
      return "No training data on this circuit. Machine-learning based initial parameters "
             "available for " +
             error.subject;
    case Kind::CachePoisoned:
      return "weights cache poisoned";
  }
  return {};
}

double decode_half(std::uint16_t word) {
  const double sign = (word & 0x8000) != 0 ? -1.0 : 1.0;
  const int exponent = (word >> 10) & 0x1F;
  const int mantissa = word & 0x3FF;
  if (exponent == 0) return sign * std::ldexp(mantissa, -24);
  if (exponent == 31) {
    return mantissa == 0 ? sign * std::numeric_limits<double>::infinity()
                         : std::numeric_limits<double>::quiet_NaN();
  }
  return sign * std::ldexp(1.0 + mantissa / 1024.0, exponent - 15);
}

namespace {

// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::span<const std::uint8_t> bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::uint8_t lead = bytes[i];
    std::size_t length = 0;
    std::uint8_t second_lo = 0x80, second_hi = 0xBF;
    if (lead < 0x80) {
      length = 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) second_lo = 0xA0;
      if (lead == 0xED) second_hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) second_lo = 0x90;
      if (lead == 0xF4) second_hi = 0x8F;
    } else {
      return false;
    }
    if (bytes.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const std::uint8_t lo = k == 1 ? second_lo : 0x80;
      const std::uint8_t hi = k == 1 ? second_hi : 0xBF;
      if (bytes[i + k] < lo || bytes[i + k] > hi) return false;
    }
    i += length;
  }
  return true;
}

// A forward reader; every read fails cleanly when the bytes are not there.
class Cursor {
 public:
  explicit Cursor(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  std::size_t remaining() const { return bytes_.size() - position_; }

  std::optional<std::span<const std::uint8_t>> take(std::size_t count) {
    if (count > remaining()) return std::nullopt;
    const auto taken = bytes_.subspan(position_, count);
    position_ += count;
    return taken;
  }

  std::optional<std::uint8_t> u8() {
    const auto bytes = take(1);
    if (!bytes) return std::nullopt;
    return (*bytes)[0];
  }

  std::optional<std::uint32_t> u32() {
    const auto bytes = take(4);
    if (!bytes) return std::nullopt;
    return little_endian_u32(bytes->data());
  }

  std::optional<std::string> text() {
    const auto length = u32();
    if (!length) return std::nullopt;
    const auto bytes = take(*length);
    if (!bytes || !is_valid_utf8(*bytes)) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(bytes->data()), bytes->size());
  }

  static std::uint32_t little_endian_u32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
  }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t position_ = 0;
};

float decode_single(const std::uint8_t* p) {
  const std::uint32_t bits = Cursor::little_endian_u32(p);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// The product of the dimensions, at least 1, saturating instead of wrapping.
std::uint64_t stored_value_count(const std::vector<std::uint32_t>& dims) {
  std::uint64_t product = 1;
  for (const std::uint32_t dim : dims) {
    if (dim == 0) return 1;
    if (product > std::numeric_limits<std::uint64_t>::max() / dim) {
      product = std::numeric_limits<std::uint64_t>::max();
    } else {
      product *= dim;
    }
  }
  return product;
}

enum class Encoding : std::uint8_t { Single = 0, Half = 1, Scaled8 = 2 };

std::optional<std::vector<double>> read_payload(Cursor& cursor, Encoding encoding,
                                                std::uint64_t count) {
  const std::uint64_t width = encoding == Encoding::Single ? 4 : encoding == Encoding::Half ? 2 : 1;
  const std::uint64_t prefix = encoding == Encoding::Scaled8 ? 4 : 0;
  if (cursor.remaining() < prefix || count > (cursor.remaining() - prefix) / width) {
    return std::nullopt;
  }
  double scale = 1.0;
  if (encoding == Encoding::Scaled8) scale = decode_single(cursor.take(4)->data());
  const std::uint8_t* p = cursor.take(count * width)->data();
  std::vector<double> values(count);
  for (std::uint64_t i = 0; i < count; ++i) {
    switch (encoding) {
      case Encoding::Single:
        values[i] = decode_single(p + 4 * i);
        break;
      case Encoding::Half:
        values[i] = decode_half(static_cast<std::uint16_t>(p[2 * i] | p[2 * i + 1] << 8));
        break;
      case Encoding::Scaled8:
        values[i] = static_cast<std::int8_t>(p[i]) * scale;
        break;
    }
  }
  return values;
}

using Header = std::map<std::string, std::string, std::less<>>;
using Tensors = std::map<std::string, Tensor, std::less<>>;

Result<Header, WeightError> read_header(Cursor& cursor) {
  const auto count = cursor.u32();
  if (!count) return fail(WeightError::truncated());
  Header header;
  for (std::uint32_t i = 0; i < *count; ++i) {
    auto key = cursor.text();
    if (!key) return fail(WeightError::truncated());
    auto value = cursor.text();
    if (!value) return fail(WeightError::truncated());
    header.insert_or_assign(std::move(*key), std::move(*value));
  }
  return header;
}

Result<Tensors, WeightError> read_tensors(Cursor& cursor) {
  const auto count = cursor.u32();
  if (!count) return fail(WeightError::truncated());
  Tensors tensors;
  for (std::uint32_t i = 0; i < *count; ++i) {
    auto name = cursor.text();
    const auto encoding = cursor.u8();
    const auto rank = name && encoding ? cursor.u8() : std::nullopt;
    if (!rank) return fail(WeightError::truncated());
    Tensor tensor;
    for (std::uint8_t r = 0; r < *rank; ++r) {
      const auto dim = cursor.u32();
      if (!dim) return fail(WeightError::truncated());
      tensor.dims.push_back(*dim);
    }
    if (*encoding > 2) return fail(WeightError::unknown_encoding(*encoding));
    auto values =
        read_payload(cursor, static_cast<Encoding>(*encoding), stored_value_count(tensor.dims));
    if (!values) return fail(WeightError::truncated());
    tensor.values = std::move(*values);
    tensors.insert_or_assign(std::move(*name), std::move(tensor));
  }
  return tensors;
}

Result<std::vector<double>, WeightError> take_values(Tensors& tensors, const char* name) {
  const auto found = tensors.find(std::string_view(name));
  if (found == tensors.end()) return fail(WeightError::missing(name));
  return found->second.values;
}

std::int32_t exponent_index(double value) {
  if (std::isnan(value)) return 0;
  const double rounded = std::round(value);
  if (rounded <= std::numeric_limits<std::int32_t>::min()) {
    return std::numeric_limits<std::int32_t>::min();
  }
  if (rounded >= std::numeric_limits<std::int32_t>::max()) {
    return std::numeric_limits<std::int32_t>::max();
  }
  return static_cast<std::int32_t>(rounded);
}

// Digits with an optional leading "+", within 64 bits.
std::optional<std::uint64_t> parse_unsigned(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Decimal or exponent notation with an optional sign, or inf / infinity / nan in any case.
// Magnitudes beyond the double range round to infinity or zero, as in correctly rounded parsing.
std::optional<double> parse_real(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.front() == '+' || text.front() == '-') return std::nullopt;
  double value = 0.0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (end != text.data() + text.size()) return std::nullopt;
  if (error == std::errc::result_out_of_range) {
    value = std::strtod(std::string(text).c_str(), nullptr);
  } else if (error != std::errc()) {
    return std::nullopt;
  }
  return negative ? -value : value;
}

std::vector<std::string> split_on_commas(std::string_view text) {
  std::vector<std::string> pieces;
  for (std::size_t start = 0;;) {
    const std::size_t comma = text.find(',', start);
    pieces.emplace_back(text.substr(start, comma - start));
    if (comma == std::string_view::npos) return pieces;
    start = comma + 1;
  }
}

Result<std::string, WeightError> header_text(const Header& header, const char* key) {
  const auto found = header.find(std::string_view(key));
  if (found == header.end()) return fail(WeightError::missing(key));
  return found->second;
}

Result<std::uint64_t, WeightError> header_unsigned(const Header& header, const char* key) {
  auto text = header_text(header, key);
  if (!text) return fail(text.error());
  const auto value = parse_unsigned(text.value());
  if (!value) return fail(WeightError::unparsable(key));
  return *value;
}

Result<double, WeightError> header_real(const Header& header, const char* key) {
  auto text = header_text(header, key);
  if (!text) return fail(text.error());
  const auto value = parse_real(text.value());
  if (!value) return fail(WeightError::unparsable(key));
  return *value;
}

Result<std::vector<std::uint64_t>, WeightError> header_dilations(const Header& header) {
  auto text = header_text(header, "dilations");
  if (!text) return fail(text.error());
  std::vector<std::uint64_t> dilations;
  for (const std::string& piece : split_on_commas(text.value())) {
    const auto value = parse_unsigned(trim_white_space(piece));
    if (!value) return fail(WeightError::unparsable("dilations"));
    dilations.push_back(*value);
  }
  return dilations;
}

// Fills the model from the tensors and the header, in the order that decides which error a
// file with several faults reports.
std::optional<WeightError> read_contents(Tensors& tensors, const Header& header,
                                         WeightModel& model) {
  auto target_mean = take_values(tensors, "target_mean");
  if (!target_mean) return target_mean.error();
  auto target_std = take_values(tensors, "target_std");
  if (!target_std) return target_std.error();
  auto log_params = take_values(tensors, "log_params");
  if (!log_params) return log_params.error();
  model.target_mean = std::move(target_mean).value();
  model.target_std = std::move(target_std).value();
  for (const double flag : log_params.value()) model.log_params.push_back(flag != 0.0);

  auto scaling = take_values(tensors, "scaling");
  if (!scaling) return scaling.error();
  const std::vector<double>& table = scaling.value();
  const std::uint64_t required = 4 * static_cast<std::uint64_t>(model.target_mean.size());
  if (table.size() != required)
    return WeightError::element_count("scaling", table.size(), required);
  for (std::size_t i = 0; i < table.size(); i += 4) {
    model.scaling.push_back({table[i], table[i + 1], table[i + 2], exponent_index(table[i + 3])});
  }

  auto dilations = header_dilations(header);
  if (!dilations) return dilations.error();
  model.dilations = std::move(dilations).value();

  auto estimator = header_text(header, "estimator");
  if (!estimator) return estimator.error();
  if (estimator.value() != kReactiveCentroid) {
    return WeightError::unknown_estimator(estimator.value());
  }

  auto circuit = header_text(header, "circuit");
  if (!circuit) return circuit.error();
  model.circuit = std::move(circuit).value();
  auto names = header_text(header, "param_names");
  if (!names) return names.error();
  model.param_names = split_on_commas(names.value());

  const std::pair<const char*, std::uint64_t*> sizes[] = {{"n_grid", &model.n_grid},
                                                          {"channels", &model.channels},
                                                          {"kernel", &model.kernel},
                                                          {"groups", &model.groups}};
  for (const auto& [key, target] : sizes) {
    const auto value = header_unsigned(header, key);
    if (!value) return value.error();
    *target = value.value();
  }
  const std::pair<const char*, double*> bounds[] = {{"alpha_min", &model.alpha_min},
                                                    {"alpha_max", &model.alpha_max}};
  for (const auto& [key, target] : bounds) {
    const auto value = header_real(header, key);
    if (!value) return value.error();
    *target = value.value();
  }
  return std::nullopt;
}

}  // namespace

// Every tensor shaped as five-tap convolution filters, ready for the fast convolution.
std::map<std::string, TransformedFilters, std::less<>> transform_convolution_filters(
    const Tensors& tensors) {
  std::map<std::string, TransformedFilters, std::less<>> transformed;
  for (const auto& [name, tensor] : tensors) {
    if (tensor.dims.size() != 3 || tensor.dims[2] != kWinogradTaps) continue;
    const std::size_t out = tensor.dims[0], in = tensor.dims[1];
    if (tensor.values.size() != out * in * kWinogradTaps) continue;
    if (auto filters = transform_filters(tensor.values, out, in)) {
      transformed.emplace(name, std::move(*filters));
    }
  }
  return transformed;
}

Result<WeightModel, WeightError> parse_weight_file(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kWeightFileMagic.size()) return fail(WeightError::truncated());
  if (std::memcmp(bytes.data(), kWeightFileMagic.data(), kWeightFileMagic.size()) != 0) {
    return fail(WeightError::bad_magic());
  }
  Cursor cursor(bytes.subspan(kWeightFileMagic.size()));
  auto header = read_header(cursor);
  if (!header) return fail(header.error());
  auto tensors = read_tensors(cursor);
  if (!tensors) return fail(tensors.error());

  WeightModel model;
  if (auto error = read_contents(tensors.value(), header.value(), model)) return fail(*error);
  model.tensors = std::move(tensors).value();
  model.transformed_filters = transform_convolution_filters(model.tensors);
  return model;
}

Result<const Tensor*, WeightError> find_tensor(const WeightModel& model, std::string_view name) {
  const auto found = model.tensors.find(name);
  if (found == model.tensors.end()) return fail(WeightError::missing(std::string(name)));
  return &found->second;
}

}  // namespace movarin
