#pragma once
// Circuit strings such as "R0-(R1,C1)", and the built-in circuit names.

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "circuit/tree.hpp"
#include "runtime/result.hpp"

namespace movarin {

struct ParseError {
  enum class Kind {
    UnexpectedCharacter,
    UnexpectedEnd,
    UnknownCode,
    TrailingInput,
    DuplicateLabel,
    NestingTooDeep,
  };
  Kind kind;
  std::size_t position = 0;  // in characters; unused for UnexpectedEnd and DuplicateLabel
  std::string text;          // the unknown code or the duplicate label
};

// The first line of the error's message.
std::string message_line(const ParseError& error);
// The whole message: line, caret block, syntax block and element listing.
std::string message(const ParseError& error, std::string_view parsed_text);

Result<SeriesList, ParseError> parse_circuit(std::string_view text);

struct BuiltinCircuit {
  std::string_view name;
  std::string_view circuit;
};
inline constexpr std::array<BuiltinCircuit, 11> kBuiltinCircuits = {{
    {"rc", "R0-(R1,C1)"},
    {"rc_l", "L0-R0-(R1,C1)"},
    {"rq", "R0-(R1,CPE1)"},
    {"rq_l", "L0-R0-(R1,CPE1)"},
    {"two_rc", "R0-(R1,C1)-(R2,C2)"},
    {"two_rc_l", "L0-R0-(R1,C1)-(R2,C2)"},
    {"two_rq", "R0-(R1,CPE1)-(R2,CPE2)"},
    {"two_rq_l", "L0-R0-(R1,CPE1)-(R2,CPE2)"},
    {"randles", "R0-(R1-W1,CPE1)"},
    {"sei_randles", "R0-(R1,CPE1)-(R2-W2,CPE2)"},
    {"sei_randles_wo", "R0-(R1,CPE1)-(R2-Wo2,CPE2)"},
}};

// The built-in circuit string named by `text` (trimmed, ASCII case ignored), if any.
std::optional<std::string_view> builtin_circuit(std::string_view text);

// The constructor entry: a built-in name or a circuit string; the failure is the full message.
Result<SeriesList, std::string> circuit_from_text(std::string_view text);

}  // namespace movarin
