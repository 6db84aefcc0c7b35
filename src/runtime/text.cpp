#include "runtime/text.hpp"

#include <cstdio>

namespace movarin {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

std::size_t sequence_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xF8) == 0xF0) return 4;
  return 0;
}

bool is_control(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

void append_escaped(std::string& out, char32_t c) {
  switch (c) {
    case '"':
      out += "\\\"";
      return;
    case '\\':
      out += "\\\\";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\t':
      out += "\\t";
      return;
    case '\0':
      out += "\\0";
      return;
    default:
      break;
  }
  if (is_control(c)) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "\\u{%x}", static_cast<unsigned>(c));
    out += buffer;
    return;
  }
  out += encode_utf8(std::u32string_view(&c, 1));
}

}  // namespace

std::u32string decode_utf8(std::string_view text) {
  std::u32string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = sequence_length(lead);
    if (length == 0 || i + length > text.size()) {
      out.push_back(kReplacement);
      ++i;
      continue;
    }
    char32_t c = length == 1 ? lead : lead & (0x7F >> length);
    bool valid = true;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      valid = valid && (next & 0xC0) == 0x80;
      c = (c << 6) | (next & 0x3F);
    }
    if (!valid) {
      out.push_back(kReplacement);
      ++i;
      continue;
    }
    out.push_back(c);
    i += length;
  }
  return out;
}

std::string encode_utf8(std::u32string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char32_t c : text) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

bool is_unicode_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

std::string_view trim_white_space(std::string_view text) {
  const std::u32string chars = decode_utf8(text);
  std::size_t first = 0;
  while (first < chars.size() && is_unicode_white_space(chars[first])) ++first;
  std::size_t last = chars.size();
  while (last > first && is_unicode_white_space(chars[last - 1])) --last;
  // White space is ASCII or valid multi-byte UTF-8, so byte offsets follow from the characters.
  const std::size_t leading_bytes = encode_utf8(std::u32string_view(chars).substr(0, first)).size();
  const std::size_t trailing_bytes = encode_utf8(std::u32string_view(chars).substr(last)).size();
  if (leading_bytes + trailing_bytes >= text.size()) return text.substr(0, 0);
  return text.substr(leading_bytes, text.size() - leading_bytes - trailing_bytes);
}

std::string quote(std::string_view text) {
  std::string out = "\"";
  for (const char32_t c : decode_utf8(text)) append_escaped(out, c);
  out += '"';
  return out;
}

std::string quote_list(const std::vector<std::string>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += ", ";
    out += quote(items[i]);
  }
  out += ']';
  return out;
}

std::string pad_right(std::string_view text, std::size_t width) {
  std::string out(text);
  if (out.size() < width) out.append(width - out.size(), ' ');
  return out;
}

}  // namespace movarin
