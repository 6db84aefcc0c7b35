#include "circuit/parse.hpp"

#include <stdexcept>
#include <unordered_set>

#include "runtime/text.hpp"

namespace movarin {
namespace {

bool is_ascii_letter(char32_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool is_ascii_digit(char32_t c) {
  return c >= '0' && c <= '9';
}

// Recursive descent over the decoded characters with one shared cursor.
class Parser {
 public:
  explicit Parser(std::u32string chars) : chars_(std::move(chars)) {}

  Result<SeriesList, ParseError> circuit() {
    SeriesList top = series(0);
    if (error_) return fail(std::move(*error_));
    if (position_ != chars_.size())
      return fail(error_at(ParseError::Kind::TrailingInput, position_));
    return top;
  }

 private:
  SeriesList series(std::size_t depth) {
    SeriesList parts;
    parts.push_back(term(depth));
    while (!error_ && at('-')) {
      ++position_;
      parts.push_back(term(depth));
    }
    return parts;
  }

  Part term(std::size_t depth) {
    if (at('(')) {
      return group(depth, position_, 1);
    }
    if (at('p') && position_ + 1 < chars_.size() && chars_[position_ + 1] == '(') {
      return group(depth, position_, 2);
    }
    return element();
  }

  Part group(std::size_t depth, std::size_t opening, std::size_t opener_length) {
    if (depth + 1 > kMaxNestingDepth) {
      raise(error_at(ParseError::Kind::NestingTooDeep, opening));
      return {};
    }
    position_ += opener_length;
    Part::Circuit group;
    group.branches.push_back(series(depth + 1));
    while (!error_) {
      if (position_ == chars_.size()) {
        raise(error_at(ParseError::Kind::UnexpectedEnd, position_));
      } else if (at(',')) {
        ++position_;
        group.branches.push_back(series(depth + 1));
      } else if (at(')')) {
        ++position_;
        break;
      } else {
        raise(error_at(ParseError::Kind::UnexpectedCharacter, position_));
      }
    }
    return Part{std::move(group)};
  }

  Part element() {
    if (error_) return {};
    const std::size_t start = position_;
    if (position_ == chars_.size()) {
      raise(error_at(ParseError::Kind::UnexpectedEnd, position_));
      return {};
    }
    while (position_ < chars_.size() && is_ascii_letter(chars_[position_])) ++position_;
    if (position_ == start) {
      raise(error_at(ParseError::Kind::UnexpectedCharacter, start));
      return {};
    }
    const std::size_t digits_start = position_;
    while (position_ < chars_.size() && is_ascii_digit(chars_[position_])) ++position_;
    if (position_ == digits_start) {
      raise(error_at(ParseError::Kind::UnexpectedCharacter, digits_start));
      return {};
    }
    const std::string code = ascii(start, digits_start);
    const auto kind = lookup_code(code);
    if (!kind) {
      raise(ParseError{ParseError::Kind::UnknownCode, start, code});
      return {};
    }
    return Part{Part::Element{placeholder_element(*kind), ascii(start, position_)}};
  }

  bool at(char32_t c) const { return position_ < chars_.size() && chars_[position_] == c; }

  std::string ascii(std::size_t begin, std::size_t end) const {
    return std::string(chars_.begin() + begin, chars_.begin() + end);
  }

  static ParseError error_at(ParseError::Kind kind, std::size_t position) {
    return ParseError{kind, position, {}};
  }

  // The first error ends the parse: callers unwind without reading further.
  void raise(ParseError error) {
    if (!error_) error_ = std::move(error);
  }

  std::u32string chars_;
  std::size_t position_ = 0;
  std::optional<ParseError> error_;
};

std::optional<std::string> first_duplicate_label(const SeriesList& series,
                                                 std::unordered_set<std::string>& seen) {
  for (const Part& part : series) {
    if (const auto* element = std::get_if<Part::Element>(&part.node)) {
      if (element->label && !seen.insert(*element->label).second) return element->label;
    } else {
      for (const SeriesList& branch : std::get<Part::Circuit>(part.node).branches) {
        if (auto duplicate = first_duplicate_label(branch, seen)) return duplicate;
      }
    }
  }
  return std::nullopt;
}

bool has_position(ParseError::Kind kind) {
  return kind == ParseError::Kind::UnexpectedCharacter || kind == ParseError::Kind::UnknownCode ||
         kind == ParseError::Kind::TrailingInput || kind == ParseError::Kind::NestingTooDeep;
}

std::string element_listing_line(std::string_view code) {
  const auto kind = lookup_code(code);
  if (!kind) throw std::logic_error("Element::kCodes entries must all be valid");
  const KindInfo& info = kind_info(*kind);
  std::string line = "  " + pad_right(code, 4) + "  ";
  for (std::size_t k = 0; k < info.param_count; ++k) {
    if (k > 0) line += ", ";
    line += std::string(info.param_names[k]) + " [" + std::string(info.units[k]) + "]";
  }
  return line;
}

constexpr std::string_view kSyntaxBlock =
    "syntax:\n"
    "  - every element needs a numeric label, e.g. \"R0\" and \"C1\", not \"R\" and \"C\"\n"
    "  - connect elements in series with '-', e.g. \"R0-C1\"\n"
    "  - connect elements in parallel with '(...)' or 'p(...)', e.g. \"R0-(R1,C1)\" or "
    "\"R0-p(R1,C1)\"\n";

bool equal_ignoring_ascii_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

}  // namespace

std::string message_line(const ParseError& error) {
  const std::string position = std::to_string(error.position);
  switch (error.kind) {
    case ParseError::Kind::UnexpectedCharacter:
      return "unexpected character at position " + position;
    case ParseError::Kind::UnexpectedEnd:
      return "unexpected end of input";
    case ParseError::Kind::UnknownCode:
      return "unknown element code " + quote(error.text) + " at position " + position;
    case ParseError::Kind::TrailingInput:
      return "unexpected trailing input at position " + position;
    case ParseError::Kind::DuplicateLabel:
      return "duplicate element label " + quote(error.text);
    case ParseError::Kind::NestingTooDeep:
      return "groups nested deeper than " + std::to_string(kMaxNestingDepth) +
             " levels at position " + position;
  }
  return {};
}

std::string message(const ParseError& error, std::string_view parsed_text) {
  std::string text = message_line(error) + "\n\n";
  if (has_position(error.kind)) {
    text += "  " + std::string(parsed_text) + "\n";
    text.append(2 + error.position, ' ');
    text += "^\n\n";
  }
  text += kSyntaxBlock;
  text += "\navailable elements (code, parameters, [units]):";
  for (const std::string_view code : kCodes) {
    text += '\n';
    text += element_listing_line(code);
  }
  return text;
}

Result<SeriesList, ParseError> parse_circuit(std::string_view text) {
  auto parsed = Parser(decode_utf8(text)).circuit();
  if (!parsed) return parsed;
  std::unordered_set<std::string> seen;
  if (auto duplicate = first_duplicate_label(parsed.value(), seen)) {
    return fail(ParseError{ParseError::Kind::DuplicateLabel, 0, *duplicate});
  }
  return parsed;
}

std::optional<std::string_view> builtin_circuit(std::string_view text) {
  const std::string_view trimmed = trim_white_space(text);
  for (const BuiltinCircuit& builtin : kBuiltinCircuits) {
    if (equal_ignoring_ascii_case(trimmed, builtin.name)) return builtin.circuit;
  }
  return std::nullopt;
}

Result<SeriesList, std::string> circuit_from_text(std::string_view text) {
  const std::string_view source = builtin_circuit(text).value_or(text);
  auto parsed = parse_circuit(source);
  if (!parsed) return fail(message(parsed.error(), source));
  return std::move(parsed).value();
}

}  // namespace movarin
