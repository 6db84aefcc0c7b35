#pragma once
// Writes ovrel weight files for tests, the benchmark and the fuzzer's seeds: a byte-level builder,
// and complete files with random network weights for any circuit.

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "circuit/parse.hpp"
#include "circuit/tree.hpp"

namespace test_support {

class WeightFileBuilder {
 public:
  WeightFileBuilder& header(std::string_view key, std::string_view value) {
    headers_.emplace_back(std::string(key), std::string(value));
    return *this;
  }

  // Encoding 0 (binary32) of the given values.
  WeightFileBuilder& tensor(std::string_view name, std::vector<std::uint32_t> dims,
                            const std::vector<double>& values) {
    std::vector<std::uint8_t> payload;
    for (const double v : values) append_f32(payload, static_cast<float>(v));
    return raw_tensor(name, 0, std::move(dims), std::move(payload));
  }

  // Encoding 1 from half-precision words.
  WeightFileBuilder& half_tensor(std::string_view name, std::vector<std::uint32_t> dims,
                                 const std::vector<std::uint16_t>& words) {
    std::vector<std::uint8_t> payload;
    for (const std::uint16_t w : words) {
      payload.push_back(static_cast<std::uint8_t>(w & 0xFF));
      payload.push_back(static_cast<std::uint8_t>(w >> 8));
    }
    return raw_tensor(name, 1, std::move(dims), std::move(payload));
  }

  WeightFileBuilder& raw_tensor(std::string_view name, std::uint8_t encoding,
                                std::vector<std::uint32_t> dims,
                                std::vector<std::uint8_t> payload) {
    tensors_.push_back({std::string(name), encoding, std::move(dims), std::move(payload)});
    return *this;
  }

  std::vector<std::uint8_t> bytes() const {
    std::vector<std::uint8_t> out(magic_.begin(), magic_.end());
    append_u32(out, static_cast<std::uint32_t>(headers_.size()));
    for (const auto& [key, value] : headers_) {
      append_text(out, key);
      append_text(out, value);
    }
    append_u32(out, static_cast<std::uint32_t>(tensors_.size()));
    for (const Record& record : tensors_) {
      append_text(out, record.name);
      out.push_back(record.encoding);
      out.push_back(static_cast<std::uint8_t>(record.dims.size()));
      for (const std::uint32_t dim : record.dims) append_u32(out, dim);
      out.insert(out.end(), record.payload.begin(), record.payload.end());
    }
    return out;
  }

  WeightFileBuilder& magic(std::string_view text) {
    magic_ = std::string(text);
    return *this;
  }

  static void append_u32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8)
      out.push_back(static_cast<std::uint8_t>(v >> shift));
  }
  static void append_f32(std::vector<std::uint8_t>& out, float v) {
    std::uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    append_u32(out, bits);
  }
  static void append_text(std::vector<std::uint8_t>& out, std::string_view text) {
    append_u32(out, static_cast<std::uint32_t>(text.size()));
    out.insert(out.end(), text.begin(), text.end());
  }

 private:
  struct Record {
    std::string name;
    std::uint8_t encoding;
    std::vector<std::uint32_t> dims;
    std::vector<std::uint8_t> payload;
  };
  std::string magic_ = "OVREL001";
  std::vector<std::pair<std::string, std::string>> headers_;
  std::vector<Record> tensors_;
};

struct RandomModel {
  std::string circuit = "R0-(R1,C1)";
  std::uint32_t channels = 16;
  std::uint32_t n_grid = 64;
  std::uint32_t kernel = 5;
  std::uint32_t groups = 8;
  std::vector<std::uint32_t> dilations = {1, 2, 4, 8};
  std::uint64_t seed = 1;
};

// The scaling row that the trained files use for a parameter, by its name after the dot.
inline std::vector<double> scaling_row(const std::vector<std::string>& names, std::size_t i) {
  const std::string& name = names[i];
  const std::string element = name.substr(0, name.find('.'));
  const std::string parameter = name.substr(name.find('.') + 1);
  if (parameter == "c") return {-1, -1, 0, -1};
  if (parameter == "l") return {1, -1, 0, -1};
  if (parameter == "aw") return {1, 0.5, 0, -1};
  if (parameter == "tau") return {0, -1, 0, -1};
  if (parameter == "alpha") return {0, 0, 0, -1};
  if (parameter == "q") {
    for (std::size_t k = 0; k < names.size(); ++k) {
      if (names[k] == element + ".alpha") return {-1, 0, -1, static_cast<double>(k)};
    }
  }
  return {1, 0, 0, -1};
}

// A complete file in the layout of the trained ones: half-precision network weights drawn at
// random (with a scale that keeps activations of order one), binary32 output tables.
inline WeightFileBuilder random_model_builder(const RandomModel& spec) {
  std::mt19937_64 random(spec.seed);
  const auto half_words = [&](std::size_t count, int fan_in) {
    // Magnitudes between 2^-e and 2^(1-e) with 2^-e near 1/sqrt(fan_in).
    int e = 0;
    while ((1 << (2 * e)) < fan_in) ++e;
    std::vector<std::uint16_t> words(count);
    for (auto& w : words) {
      const auto bits = random();
      const std::uint16_t sign = (bits & 1) << 15;
      const auto exponent = static_cast<std::uint16_t>(15 - e - static_cast<int>((bits >> 1) % 2));
      w = static_cast<std::uint16_t>(sign | exponent << 10 | ((bits >> 8) & 0x3FF));
    }
    return words;
  };
  const auto near_one = [&](std::size_t count) {
    std::vector<std::uint16_t> words(count);
    for (auto& w : words) w = static_cast<std::uint16_t>(0x3800 | (random() & 0x3FF));  // [0.5, 1)
    return words;
  };

  const movarin::SeriesList circuit = movarin::parse_circuit(spec.circuit).value();
  const std::vector<std::string> names = movarin::param_names(circuit);
  std::string joined_names, joined_dilations;
  const auto append = [](std::string& list, const std::string& item) {
    if (!list.empty()) list += ',';
    list += item;
  };
  for (const auto& name : names) append(joined_names, name);
  for (const auto d : spec.dilations) append(joined_dilations, std::to_string(d));

  const std::uint32_t c = spec.channels, k = spec.kernel, h = 4 * c;
  const auto p = static_cast<std::uint32_t>(names.size());
  WeightFileBuilder builder;
  builder.header("circuit", spec.circuit)
      .header("param_names", joined_names)
      .header("estimator", "reactive_centroid")
      .header("n_grid", std::to_string(spec.n_grid))
      .header("channels", std::to_string(c))
      .header("kernel", std::to_string(k))
      .header("groups", std::to_string(spec.groups))
      .header("dilations", joined_dilations)
      .header("alpha_min", "0.05")
      .header("alpha_max", "1.0");
  builder.half_tensor("w.stem.weight", {c, 3, k}, half_words(3 * c * k, 3 * k))
      .half_tensor("w.stem.bias", {c}, half_words(c, 16));
  for (std::size_t i = 0; i < spec.dilations.size(); ++i) {
    const std::string block = "w.blocks." + std::to_string(i) + ".";
    for (const char* conv : {"conv1", "conv2"}) {
      const std::string norm = conv[4] == '1' ? "norm1" : "norm2";
      builder.half_tensor(block + conv + ".weight", {c, c, k}, half_words(c * c * k, c * k))
          .half_tensor(block + conv + ".bias", {c}, half_words(c, 16))
          .half_tensor(block + norm + ".weight", {c}, near_one(c))
          .half_tensor(block + norm + ".bias", {c}, half_words(c, 16));
    }
  }
  builder.half_tensor("w.head.0.weight", {h, 2 * c + 2}, half_words(h * (2 * c + 2), 2 * c + 2))
      .half_tensor("w.head.0.bias", {h}, half_words(h, 16))
      .half_tensor("w.head.2.weight", {h, h}, half_words(h * h, h))
      .half_tensor("w.head.2.bias", {h}, half_words(h, 16))
      .half_tensor("w.head.4.weight", {2 * p, h}, half_words(2 * p * h, h))
      .half_tensor("w.head.4.bias", {2 * p}, half_words(2 * p, 16));

  std::vector<double> mean, deviation, scaling, log_params;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const bool exponent = names[i].ends_with(".alpha");
    mean.push_back(exponent ? 0.8 : 0.3 * static_cast<double>(i % 3));
    deviation.push_back(exponent ? 0.1 : 0.5);
    log_params.push_back(exponent ? 0.0 : 1.0);
    const auto row = scaling_row(names, i);
    scaling.insert(scaling.end(), row.begin(), row.end());
  }
  builder.tensor("target_mean", {p}, mean)
      .tensor("target_std", {p}, deviation)
      .tensor("scaling", {p, 4}, scaling)
      .tensor("log_params", {p}, log_params);
  return builder;
}

inline std::vector<std::uint8_t> random_model_file(const RandomModel& spec) {
  return random_model_builder(spec).bytes();
}

}  // namespace test_support
