#pragma once
// Text helpers shared by every message: Unicode decoding and quoting of user-supplied names.

#include <string>
#include <string_view>
#include <vector>

namespace movarin {

// Decodes UTF-8 into Unicode scalar values; invalid bytes decode as U+FFFD each.
std::u32string decode_utf8(std::string_view text);
std::string encode_utf8(std::u32string_view text);

bool is_unicode_white_space(char32_t c);
std::string_view trim_white_space(std::string_view text);

// "text" with backslash escapes for quotes, backslashes and control characters.
std::string quote(std::string_view text);
// ["a", "b"]
std::string quote_list(const std::vector<std::string>& items);

std::string pad_right(std::string_view text, std::size_t width);

}  // namespace movarin
