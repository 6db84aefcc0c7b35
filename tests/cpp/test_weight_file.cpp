#include <doctest/doctest.h>

#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "models/embedded_weights.hpp"
#include "nn/weight_file.hpp"
#include "weight_file_builder.hpp"

using namespace movarin;
using test_support::WeightFileBuilder;

namespace {

const std::vector<std::pair<std::string, std::string>> kHeaders = {
    {"circuit", "R0-(R1,C1)"},
    {"param_names", "R0.r,R1.r,C1.c"},
    {"estimator", "reactive_centroid"},
    {"n_grid", "64"},
    {"channels", "16"},
    {"kernel", "5"},
    {"groups", "8"},
    {"dilations", "1,2,4,8"},
    {"alpha_min", "0.05"},
    {"alpha_max", "1.0"},
};

// A file with every header and the four output tables; `headers` replaces values (an empty
// optional drops the key) and `without` drops tensors.
std::vector<std::uint8_t> output_tables_file(
    const std::map<std::string, std::optional<std::string>>& headers = {},
    const std::set<std::string>& without = {}, std::size_t scaling_values = 12) {
  WeightFileBuilder builder;
  for (const auto& [key, value] : kHeaders) {
    const auto replaced = headers.find(key);
    if (replaced == headers.end()) {
      builder.header(key, value);
    } else if (replaced->second) {
      builder.header(key, *replaced->second);
    }
  }
  const std::vector<std::pair<std::string, std::vector<double>>> tensors = {
      {"target_mean", {0.5, 1.5, -2.0}},
      {"target_std", {1.0, 2.0, 3.0}},
      {"log_params", {1.0, 0.0, std::nan("")}},
      {"scaling", std::vector<double>(scaling_values, -1.0)},
  };
  for (const auto& [name, values] : tensors) {
    if (!without.contains(name)) {
      builder.tensor(name, {static_cast<std::uint32_t>(values.size())}, values);
    }
  }
  return builder.bytes();
}

std::string error_text(const std::vector<std::uint8_t>& bytes) {
  const auto result = parse_weight_file(bytes);
  REQUIRE_FALSE(result.ok());
  return message(result.error());
}

WeightModel parsed(const std::vector<std::uint8_t>& bytes) {
  auto result = parse_weight_file(bytes);
  if (!result.ok()) FAIL(message(result.error()));
  return std::move(result).value();
}

std::vector<std::uint8_t> bytes_of(std::string_view text) {
  return {text.begin(), text.end()};
}

}  // namespace

TEST_CASE("weight file: container faults") {
  CHECK(error_text(bytes_of("OVREL00")) == "weight file is truncated");
  CHECK(error_text(bytes_of("OVREL001")) == "weight file is truncated");
  CHECK(error_text(bytes_of("OVREL002")) == "not an ovrel weight file (bad magic bytes)");
  CHECK(error_text({}) == "weight file is truncated");

  // Cut anywhere before the last tensor's end, a valid file is truncated.
  const auto whole = output_tables_file();
  for (std::size_t size : {12u, 20u, 100u, static_cast<unsigned>(whole.size()) - 1}) {
    CAPTURE(size);
    CHECK(error_text({whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size)}) ==
          "weight file is truncated");
  }
  auto trailing = whole;
  trailing.insert(trailing.end(), {1, 2, 3});
  CHECK(parse_weight_file(trailing).ok());
}

TEST_CASE("weight file: text fields must be UTF-8") {
  const std::vector<std::string> invalid = {"\xFF", "\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                                            "ab\xE2\x82"};
  for (const std::string& bad : invalid) {
    CAPTURE(bad);
    WeightFileBuilder key_builder;
    key_builder.header(bad, "x");
    CHECK(error_text(key_builder.bytes()) == "weight file is truncated");
    WeightFileBuilder name_builder;
    name_builder.tensor(bad, {1}, {1.0});
    CHECK(error_text(name_builder.bytes()) == "weight file is truncated");
  }
  WeightFileBuilder valid;
  valid.header("k\xC3\xA9\xF0\x9F\x98\x80", "v").tensor("target_mean", {1}, {1.0});
  CHECK(error_text(valid.bytes()) == "weight file is missing target_std");
}

TEST_CASE("weight file: tensor records") {
  SUBCASE("unknown encoding is reported once its dims are read") {
    WeightFileBuilder builder;
    builder.raw_tensor("w", 3, {2, 2}, {});
    CHECK(error_text(builder.bytes()) ==
          "weight file uses tensor encoding 3, which this build does not know");
    WeightFileBuilder cut;
    cut.raw_tensor("w", 255, {2, 2}, {});
    auto bytes = cut.bytes();
    bytes.resize(bytes.size() - 1);  // the last dim word is incomplete
    CHECK(error_text(bytes) == "weight file is truncated");
  }
  SUBCASE("dims claiming more values than the file holds") {
    WeightFileBuilder builder;
    builder.raw_tensor("w", 0, {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}, std::vector<std::uint8_t>(16));
    CHECK(error_text(builder.bytes()) == "weight file is truncated");
    WeightFileBuilder scaled;
    scaled.raw_tensor("w", 2, {5}, {0, 0, 0, 0, 1, 2, 3, 4});
    CHECK(error_text(scaled.bytes()) == "weight file is truncated");
  }
  SUBCASE("a zero dimension or rank 0 still stores one value") {
    WeightFileBuilder combined;
    for (const auto& [key, value] : kHeaders) combined.header(key, value);
    combined.tensor("w.zero", {7, 0}, {2.5})
        .tensor("w.scalar", {}, {-1.0})
        .tensor("target_mean", {1}, {0.0})
        .tensor("target_std", {1}, {1.0})
        .tensor("log_params", {1}, {1.0})
        .tensor("scaling", {1, 4}, {1, 0, 0, -1});
    const WeightModel model = parsed(combined.bytes());
    CHECK(model.tensors.at("w.zero").dims == std::vector<std::uint32_t>{7, 0});
    CHECK(model.tensors.at("w.zero").values == std::vector<double>{2.5});
    CHECK(model.tensors.at("w.scalar").values == std::vector<double>{-1.0});
    CHECK(find_tensor(model, "w.zero").ok());
    CHECK(message(find_tensor(model, "w.none").error()) == "weight file is missing w.none");
  }
}

TEST_CASE("weight file: value decoding") {
  SUBCASE("half precision") {
    const std::vector<std::pair<std::uint16_t, double>> words = {
        {0x3C00, 1.0},
        {0xC000, -2.0},
        {0x0001, std::ldexp(1.0, -24)},
        {0x8000, -0.0},
        {0x03FF, std::ldexp(1023.0, -24)},
        {0x7BFF, 65504.0},
        {0x7C00, std::numeric_limits<double>::infinity()},
        {0xFC00, -std::numeric_limits<double>::infinity()}};
    for (const auto& [word, value] : words) {
      CAPTURE(word);
      CHECK(decode_half(word) == value);
      CHECK(std::signbit(decode_half(word)) == std::signbit(value));
    }
    CHECK(std::isnan(decode_half(0x7E00)));
    CHECK(std::isnan(decode_half(0xFC01)));
  }
  SUBCASE("every encoding through the reader") {
    WeightFileBuilder builder;
    for (const auto& [key, value] : kHeaders) builder.header(key, value);
    builder.half_tensor("target_mean", {2}, {0x3C00, 0xC000})
        .raw_tensor("target_std", 2, {2}, {0x00, 0x00, 0x00, 0x3F, 0x02, 0xFE})  // scale 0.5
        .tensor("log_params", {2}, {0.0, 1.0})
        .tensor("scaling", {2, 4}, {1, 0, 0, -1, -1, -1, 0.5, 2.5});
    const WeightModel model = parsed(builder.bytes());
    CHECK(model.target_mean == std::vector<double>{1.0, -2.0});
    CHECK(model.target_std == std::vector<double>{1.0, -1.0});
    CHECK(model.log_params == std::vector<bool>{false, true});
    REQUIRE(model.scaling.size() == 2);
    CHECK(model.scaling[1].impedance_exponent == -1.0);
    CHECK(model.scaling[1].exponent_coefficient == 0.5);
    CHECK(model.scaling[1].exponent_index == 3);  // half away from zero
  }
  SUBCASE("exponent index: rounding, saturation and NaN") {
    const std::vector<std::pair<double, std::int32_t>> cases = {
        {-1.0, -1},
        {-0.5, -1},
        {0.49, 0},
        {3e38, std::numeric_limits<std::int32_t>::max()},
        {-3e38, std::numeric_limits<std::int32_t>::min()},
        {std::nan(""), 0}};
    for (const auto& [stored, index] : cases) {
      CAPTURE(stored);
      WeightFileBuilder builder;
      for (const auto& [key, value] : kHeaders) builder.header(key, value);
      builder.tensor("target_mean", {1}, {0.0})
          .tensor("target_std", {1}, {1.0})
          .tensor("log_params", {1}, {1.0})
          .tensor("scaling", {1, 4}, {1.0, 0.0, 0.0, stored});
      CHECK(parsed(builder.bytes()).scaling[0].exponent_index == index);
    }
  }
}

TEST_CASE("weight file: the first missing item is reported, in reading order") {
  const std::vector<std::string> order = {
      "target_mean", "target_std", "log_params", "scaling", "dilations", "estimator", "circuit",
      "param_names", "n_grid",     "channels",   "kernel",  "groups",    "alpha_min", "alpha_max"};
  for (std::size_t i = 0; i < order.size(); ++i) {
    std::map<std::string, std::optional<std::string>> headers;
    std::set<std::string> tensors;
    for (std::size_t j = i; j < order.size(); ++j) {
      const bool is_tensor = j < 4;
      if (is_tensor) {
        tensors.insert(order[j]);
      } else {
        headers[order[j]] = std::nullopt;
      }
    }
    CAPTURE(order[i]);
    CHECK(error_text(output_tables_file(headers, tensors)) == "weight file is missing " + order[i]);
  }
}

TEST_CASE("weight file: header values") {
  const std::string unparsable = "weight file has an unparsable value for ";
  SUBCASE("unparsable values name their key") {
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"dilations", "1,,4"},  {"dilations", ""},    {"dilations", "-1"},
        {"n_grid", " 64"},      {"n_grid", "+"},      {"n_grid", "18446744073709551616"},
        {"channels", "1e3"},    {"kernel", "0x5"},    {"groups", "8 "},
        {"alpha_min", ""},      {"alpha_min", "1,5"}, {"alpha_max", "--1"},
        {"alpha_max", "0x1p3"}, {"alpha_max", " 1"}};
    for (const auto& [key, value] : bad) {
      CAPTURE(key);
      CAPTURE(value);
      CHECK(error_text(output_tables_file({{key, value}})) == unparsable + key);
    }
  }
  SUBCASE("accepted spellings") {
    const WeightModel model = parsed(output_tables_file({{"dilations", " 1, 2 ,\t4"},
                                                         {"n_grid", "+007"},
                                                         {"channels", "18446744073709551615"},
                                                         {"alpha_min", "-inf"},
                                                         {"alpha_max", "1e400"},
                                                         {"param_names", "a,,b,"}}));
    CHECK(model.dilations == std::vector<std::uint64_t>{1, 2, 4});
    CHECK(model.n_grid == 7);
    CHECK(model.channels == std::numeric_limits<std::uint64_t>::max());
    CHECK(model.alpha_min == -std::numeric_limits<double>::infinity());
    CHECK(model.alpha_max == std::numeric_limits<double>::infinity());
    CHECK(model.param_names == std::vector<std::string>{"a", "", "b", ""});
    for (const std::string real : {"NaN", "nan", "+.5", "5.", "1E-3", "-0"}) {
      CAPTURE(real);
      CHECK(parse_weight_file(output_tables_file({{"alpha_min", real}})).ok());
    }
  }
  SUBCASE("estimator, scaling count and repeated keys") {
    CHECK(error_text(output_tables_file({{"estimator", "reactive_centroid "}})) ==
          "weight file was normalised with the reactive_centroid  scale estimator, which this "
          "build does not implement (supported: reactive_centroid)");
    CHECK(error_text(output_tables_file({}, {}, 11)) ==
          "tensor scaling has 11 elements, expected 12");
    CHECK(error_text(output_tables_file({}, {}, 16)) ==
          "tensor scaling has 16 elements, expected 12");
    WeightFileBuilder builder;
    builder.header("circuit", "first");
    for (const auto& [key, value] : kHeaders) builder.header(key, value);
    builder.header("n_grid", "32")
        .tensor("target_mean", {1}, {9.0})
        .tensor("target_mean", {1}, {0.0})
        .tensor("target_std", {1}, {1.0})
        .tensor("log_params", {1}, {1.0})
        .tensor("scaling", {4}, {1, 0, 0, -1});
    const WeightModel model = parsed(builder.bytes());
    CHECK(model.circuit == "R0-(R1,C1)");
    CHECK(model.n_grid == 32);
    CHECK(model.target_mean == std::vector<double>{0.0});
  }
}

TEST_CASE("weight file: the stored files parse with the registry's layout") {
  for (const EmbeddedFile& file : embedded_weight_files()) {
    CAPTURE(file.name);
    const WeightModel model = parsed({file.bytes.begin(), file.bytes.end()});
    CHECK(model.n_grid == 64);
    CHECK(model.kernel == 5);
    CHECK(model.groups == 8);
    CHECK(model.dilations == std::vector<std::uint64_t>{1, 2, 4, 8});
    CHECK(model.tensors.size() == 44);
    for (std::size_t i = 0; i < model.param_names.size(); ++i) {
      CHECK(model.log_params[i] == !model.param_names[i].ends_with(".alpha"));
    }
  }
}
