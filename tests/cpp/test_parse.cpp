#include <doctest/doctest.h>

#include <sstream>
#include <string>
#include <vector>

#include "circuit/parse.hpp"
#include "circuit/tree.hpp"

using namespace movarin;
using Kind = ParseError::Kind;

namespace {

// The tree written back with kinds and values, e.g. "R0:R(1)-{R1:R(1)|C1:C(0.001)}".
void describe(const SeriesList& series, std::ostringstream& out) {
  for (std::size_t i = 0; i < series.size(); ++i) {
    if (i > 0) out << '-';
    if (const auto* element = std::get_if<Part::Element>(&series[i].node)) {
      const KindInfo& info = kind_info(element->element.kind);
      out << element->label.value_or("?") << ':' << info.name << '(';
      for (std::size_t p = 0; p < info.param_count; ++p) {
        out << (p > 0 ? "," : "") << element->element.values[p];
      }
      out << ')';
    } else {
      const auto& group = std::get<Part::Circuit>(series[i].node);
      out << '{';
      for (std::size_t b = 0; b < group.branches.size(); ++b) {
        if (b > 0) out << '|';
        describe(group.branches[b], out);
      }
      out << '}';
    }
  }
}

std::string describe(std::string_view text) {
  const auto result = parse_circuit(text);
  if (!result.ok()) return "error: " + message_line(result.error());
  std::ostringstream out;
  describe(result.value(), out);
  return out.str();
}

std::string failure_message(std::string_view text) {
  const auto result = circuit_from_text(text);
  REQUIRE_FALSE(result.ok());
  return result.error();
}

const std::string kHelp =
    "syntax:\n"
    "  - every element needs a numeric label, e.g. \"R0\" and \"C1\", not \"R\" and \"C\"\n"
    "  - connect elements in series with '-', e.g. \"R0-C1\"\n"
    "  - connect elements in parallel with '(...)' or 'p(...)', e.g. \"R0-(R1,C1)\" or "
    "\"R0-p(R1,C1)\"\n"
    "\n"
    "available elements (code, parameters, [units]):\n"
    "  R     r [ohm]\n"
    "  C     c [F]\n"
    "  L     l [H]\n"
    "  La    l [H*s], alpha [-]\n"
    "  CPE   q [ohm^-1*s^alpha], alpha [-]\n"
    "  W     aw [ohm*s^-0.5]\n"
    "  Wo    z0 [ohm], tau [s]\n"
    "  Ws    z0 [ohm], tau [s]\n"
    "  G     rg [ohm], tg [s]\n"
    "  Gs    rg [ohm], tg [s], phi [-]\n"
    "  K     r [ohm], tau_k [s]\n"
    "  Zarc  r [ohm], tau_k [s], gamma [-]\n"
    "  TLMQ  r_ion [ohm], qs [F*s^(gamma-1)], gamma [-]\n"
    "  T     a [ohm*m^2], b [ohm*m^2], k_tau [-], tau [s]";

}  // namespace

TEST_CASE("parse: errors, their positions in characters and their first lines") {
  struct Row {
    std::string text;
    Kind kind;
    std::size_t position;
    std::string line;
  };
  const std::vector<Row> rows = {
      {"", Kind::UnexpectedEnd, 0, "unexpected end of input"},
      {" ", Kind::UnexpectedCharacter, 0, "unexpected character at position 0"},
      {" R0-(R1,C1)", Kind::UnexpectedCharacter, 0, "unexpected character at position 0"},
      {"R0-(R1,C1) ", Kind::TrailingInput, 10, "unexpected trailing input at position 10"},
      {"R0-", Kind::UnexpectedEnd, 0, "unexpected end of input"},
      {"R0--C1", Kind::UnexpectedCharacter, 3, "unexpected character at position 3"},
      {"R", Kind::UnexpectedCharacter, 1, "unexpected character at position 1"},
      {"Q", Kind::UnexpectedCharacter, 1, "unexpected character at position 1"},
      {"R-C1", Kind::UnexpectedCharacter, 1, "unexpected character at position 1"},
      {"Q1", Kind::UnknownCode, 0, "unknown element code \"Q\" at position 0"},
      {"p1", Kind::UnknownCode, 0, "unknown element code \"p\" at position 0"},
      {"cpe1", Kind::UnknownCode, 0, "unknown element code \"cpe\" at position 0"},
      {"R0-ZARC12", Kind::UnknownCode, 3, "unknown element code \"ZARC\" at position 3"},
      {"R0-(R1,Q1)", Kind::UnknownCode, 7, "unknown element code \"Q\" at position 7"},
      {"P(R1)", Kind::UnexpectedCharacter, 1, "unexpected character at position 1"},
      {"p", Kind::UnexpectedCharacter, 1, "unexpected character at position 1"},
      {"p(", Kind::UnexpectedEnd, 0, "unexpected end of input"},
      {"R0 - C1", Kind::TrailingInput, 2, "unexpected trailing input at position 2"},
      {"R0 -C1", Kind::TrailingInput, 2, "unexpected trailing input at position 2"},
      {"R0,R1", Kind::TrailingInput, 2, "unexpected trailing input at position 2"},
      {"R0)", Kind::TrailingInput, 2, "unexpected trailing input at position 2"},
      {"R0-(R1;C1)", Kind::UnexpectedCharacter, 6, "unexpected character at position 6"},
      {"R0-(R1,C1", Kind::UnexpectedEnd, 0, "unexpected end of input"},
      {"R0-(R1,C1)-", Kind::UnexpectedEnd, 0, "unexpected end of input"},
      {"()", Kind::UnexpectedCharacter, 1, "unexpected character at position 1"},
      {"(R1,)", Kind::UnexpectedCharacter, 4, "unexpected character at position 4"},
      {"R1-R1", Kind::DuplicateLabel, 0, "duplicate element label \"R1\""},
      {"C1-(R1,L1)-R1-C1", Kind::DuplicateLabel, 0, "duplicate element label \"R1\""},
      {"R0-\u03a91", Kind::UnexpectedCharacter, 3, "unexpected character at position 3"},
      {"\u03a91-R0", Kind::UnexpectedCharacter, 0, "unexpected character at position 0"},
      {"(\u00e9\u00e9,R1)x", Kind::UnexpectedCharacter, 1, "unexpected character at position 1"},
      {"(R1,C1)\u00e9\u00e9", Kind::TrailingInput, 7, "unexpected trailing input at position 7"},
      {"R0-\xff\xfe", Kind::UnexpectedCharacter, 3, "unexpected character at position 3"},
  };
  for (const Row& row : rows) {
    CAPTURE(row.text);
    const auto result = parse_circuit(row.text);
    REQUIRE_FALSE(result.ok());
    CHECK(result.error().kind == row.kind);
    if (row.kind != Kind::UnexpectedEnd && row.kind != Kind::DuplicateLabel) {
      CHECK(result.error().position == row.position);
    }
    CHECK(message_line(result.error()) == row.line);
  }
}

TEST_CASE("parse: trees, labels as written and placeholder values") {
  CHECK(describe("R0-(R1,C1)") == "R0:R(1)-{R1:R(1)|C1:C(0.001)}");
  CHECK(describe("R0-p(R1,C1)") == describe("R0-(R1,C1)"));
  CHECK(describe("(R1)") == "{R1:R(1)}");
  CHECK(describe("((R1,C1),L2)") == "{{R1:R(1)|C1:C(0.001)}|L2:L(1e-06)}");
  CHECK(describe("p(p(R1-C1),Wo2)-R007") == "{{R1:R(1)-C1:C(0.001)}|Wo2:Wo(1,10)}-R007:R(1)");
  CHECK(describe("R1-R01") == "R1:R(1)-R01:R(1)");
  CHECK(describe("CPE1-Cpe1-TLMQ2-Tlmq3") ==
        "CPE1:Cpe(0.001,0.8)-Cpe1:Cpe(0.001,0.8)-TLMQ2:Tlmq(1,0.001,0.8)-Tlmq3:Tlmq(1,0.001,0.8)");
  CHECK(describe("La1-W2-Ws3-G4-Gs5-K6-Zarc7-T8") ==
        "La1:La(1e-06,0.8)-W2:W(1)-Ws3:Ws(1,10)-G4:G(1,1)-Gs5:Gs(1,1,1)-K6:K(1,0.001)-"
        "Zarc7:Zarc(1,0.001,0.8)-T8:T(1,1,1,1)");
}

TEST_CASE("parse: built-in circuit names") {
  for (const BuiltinCircuit& builtin : kBuiltinCircuits) {
    CAPTURE(builtin.name);
    std::string shouted(builtin.name);
    for (char& c : shouted) c = char(std::toupper(static_cast<unsigned char>(c)));
    for (const std::string& spelling : {std::string(builtin.name), shouted, " " + shouted + "\t\n",
                                        "\u3000" + std::string(builtin.name) + "\u00a0"}) {
      CAPTURE(spelling);
      const auto result = circuit_from_text(spelling);
      REQUIRE(result.ok());
      CHECK(param_names(result.value()) == param_names(parse_circuit(builtin.circuit).value()));
    }
  }
  CHECK(kBuiltinCircuits[0].name == "rc");
  CHECK(kBuiltinCircuits[10].circuit == "R0-(R1,CPE1)-(R2-Wo2,CPE2)");
  for (const std::string_view not_a_name : {"r c", "rcx", "randles1", "two-rc"}) {
    CAPTURE(not_a_name);
    CHECK_FALSE(circuit_from_text(not_a_name).ok());
  }
}

TEST_CASE("parse: complete messages") {
  CHECK(failure_message("R0-(R1,Q1)") ==
        "unknown element code \"Q\" at position 7\n\n  R0-(R1,Q1)\n         ^\n\n" + kHelp);
  CHECK(failure_message("R0-(R1,C1") == "unexpected end of input\n\n" + kHelp);
  CHECK(failure_message("R1-R1") == "duplicate element label \"R1\"\n\n" + kHelp);
  // The untrimmed text is shown, and the caret counts characters.
  CHECK(failure_message(" R0") == "unexpected character at position 0\n\n   R0\n  ^\n\n" + kHelp);
  CHECK(failure_message("R0-\u03a91") ==
        "unexpected character at position 3\n\n  R0-\u03a91\n     ^\n\n" + kHelp);
  CHECK(failure_message("R") == "unexpected character at position 1\n\n  R\n   ^\n\n" + kHelp);
}

TEST_CASE("parse: nesting depth") {
  const auto nested = [](std::size_t depth, std::string_view open) {
    std::string text;
    for (std::size_t i = 0; i < depth; ++i) text += open;
    return text + "R1" + std::string(depth, ')');
  };
  const auto shallow = parse_circuit(nested(999, "("));
  REQUIRE(shallow.ok());
  CHECK(nesting_depth(shallow.value()) == 999);
  CHECK(param_names(shallow.value()) == std::vector<std::string>{"R1.r"});
  for (const std::string_view open : {"(", "p("}) {
    const auto deep = parse_circuit(nested(5000, open));
    REQUIRE_FALSE(deep.ok());
    CHECK(deep.error().kind == Kind::NestingTooDeep);
    CHECK_FALSE(circuit_from_text(nested(5000, open)).ok());
  }
  // Long series lists are not nesting.
  std::string long_series = "R0";
  for (int i = 1; i < 20000; ++i) long_series += "-R" + std::to_string(i);
  CHECK(parse_circuit(long_series).ok());
}
