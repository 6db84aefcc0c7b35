#pragma once
// The weight files compiled into the module as constant data. The build generates the definition
// from the weights/ folder, embedding whichever files are there when it runs.

#include <cstdint>
#include <span>
#include <string_view>

namespace movarin {

struct EmbeddedFile {
  std::string_view name;  // the file name without ".ovrel"
  std::span<const std::uint8_t> bytes;
};

std::span<const EmbeddedFile> embedded_weight_files();

}  // namespace movarin
