#include <doctest/doctest.h>

#include <string>
#include <vector>

#include "runtime/text.hpp"

using namespace movarin;

TEST_CASE("quote escapes what would break a one-line message and keeps the rest") {
  CHECK(quote("R1") == "\"R1\"");
  CHECK(quote("a\"b\\c") == "\"a\\\"b\\\\c\"");
  CHECK(quote(std::string("\n\r\t\0", 4)) == "\"\\n\\r\\t\\0\"");
  CHECK(quote("\x1b\x7f") == "\"\\u{1b}\\u{7f}\"");
  CHECK(quote("\xc2\x85") == "\"\\u{85}\"");  // C1 control
  CHECK(quote("Ω µ") == "\"Ω µ\"");
  CHECK(quote("\xff") == "\"\xef\xbf\xbd\"");  // an invalid byte shows as U+FFFD
  CHECK(quote_list({}) == "[]");
  CHECK(quote_list({"R0", "C\"1"}) == "[\"R0\", \"C\\\"1\"]");
}

TEST_CASE("UTF-8 decoding replaces each invalid or cut byte and round-trips valid text") {
  CHECK(decode_utf8("a\xe2\x82") == U"a\uFFFD\uFFFD");
  CHECK(decode_utf8("\x80x") == U"\uFFFDx");
  CHECK(decode_utf8("\xe2x\xac") == U"\uFFFDx\uFFFD");
  const std::string text = "R\xc3\xa9sistance \xf0\x9f\x94\x8b";
  CHECK(decode_utf8(text).size() == 12);
  CHECK(encode_utf8(decode_utf8(text)) == text);
}

TEST_CASE("trimming removes Unicode white space at both ends only") {
  CHECK(trim_white_space("  R0-C1\t\n") == "R0-C1");
  CHECK(trim_white_space("\xc2\xa0R0 C1\xe3\x80\x80") == "R0 C1");  // no-break and ideographic
  CHECK(trim_white_space(" \t ").empty());
  CHECK(trim_white_space("").empty());
  CHECK(pad_right("ab", 4) == "ab  ");
  CHECK(pad_right("abcdef", 4) == "abcdef");
}
