// UTF-8 decoding with the Unicode rules for well-formedness, used to trim and
// strip White_Space around identifiers and hex text, to check that arguments
// are text, and to turn file names into text without failing.

#include "encoding/text.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

bool eight_ascii(const char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, 8);
  return (word & 0x8080808080808080u) == 0;
}

struct Decoded {
  char32_t code_point = 0;
  std::size_t length = 1;  // bytes consumed; for an invalid sequence, its maximal valid prefix
  bool valid = false;
};

// Decodes one sequence at `at`. Invalid input consumes the longest prefix that
// could still have begun a valid sequence, so each such prefix becomes one
// replacement character.
Decoded decode_at(std::string_view s, std::size_t at) {
  auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(s[i]); };
  std::uint8_t lead = byte(at);
  if (lead < 0x80) return {lead, 1, true};
  std::size_t need = 0;
  std::uint8_t lo = 0x80, hi = 0xBF;
  char32_t cp = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    cp = lead & 0x0F;
    if (lead == 0xE0) lo = 0xA0;  // overlong
    if (lead == 0xED) hi = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    cp = lead & 0x07;
    if (lead == 0xF0) lo = 0x90;  // overlong
    if (lead == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    return {};
  }
  for (std::size_t k = 1; k <= need; ++k) {
    if (at + k >= s.size()) return {0, k, false};
    std::uint8_t b = byte(at + k);
    if (b < lo || b > hi) return {0, k, false};
    lo = 0x80;
    hi = 0xBF;
    cp = (cp << 6) | (b & 0x3F);
  }
  return {cp, need + 1, true};
}

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// Length of the white-space character that ends the text, or 0.
std::size_t trailing_white_space(std::string_view s) {
  // A UTF-8 sequence is at most four bytes; try each possible start.
  for (std::size_t len = 1; len <= 4 && len <= s.size(); ++len) {
    Decoded d = decode_at(s, s.size() - len);
    if (d.valid && d.length == len) return is_white_space(d.code_point) ? len : 0;
  }
  return 0;
}

}  // namespace

std::string_view trim_unicode_whitespace(std::string_view text) {
  while (!text.empty()) {
    Decoded d = decode_at(text, 0);
    if (!d.valid || !is_white_space(d.code_point)) break;
    text.remove_prefix(d.length);
  }
  while (std::size_t len = trailing_white_space(text)) text.remove_suffix(len);
  return text;
}

std::string remove_unicode_whitespace(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    Decoded d = decode_at(text, i);
    if (!d.valid || !is_white_space(d.code_point)) out.append(text.substr(i, d.length));
    i += d.length;
  }
  return out;
}

bool is_valid_utf8(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    // Runs of ASCII, most of what is checked, pass eight bytes at a time.
    if (i + 8 <= bytes.size() && eight_ascii(bytes.data() + i)) {
      i += 8;
      continue;
    }
    Decoded d = decode_at(bytes, i);
    if (!d.valid) return false;
    i += d.length;
  }
  return true;
}

std::string to_lossy_utf8(std::string_view bytes) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    Decoded d = decode_at(bytes, i);
    out.append(d.valid ? bytes.substr(i, d.length) : kReplacement);
    i += d.length;
  }
  return out;
}
