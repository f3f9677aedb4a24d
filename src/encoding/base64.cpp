// Base64 with the standard alphabet and padding. The decoder is our own
// because the envelope's manifest must have exactly one accepted spelling:
// padding is required, "=" only at the end, unused low bits zero.

#include "encoding/base64.h"

#include <array>

namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kPad = '=';
constexpr std::uint8_t kInvalid = 0xFF;

constexpr std::array<std::uint8_t, 256> make_decode_table() {
  std::array<std::uint8_t, 256> table{};
  table.fill(kInvalid);
  for (std::size_t i = 0; i < kAlphabet.size(); ++i) {
    table[static_cast<std::uint8_t>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
  }
  return table;
}
constexpr auto kDecode = make_decode_table();

std::uint8_t value_of(char c) { return kDecode[static_cast<std::uint8_t>(c)]; }

std::unexpected<std::string> invalid_symbol(std::size_t offset, char c) {
  return fail("Invalid symbol " + std::to_string(static_cast<std::uint8_t>(c)) + ", offset " +
              std::to_string(offset) + ".");
}

// Decodes the last group: two to four symbols, possibly followed by padding.
Result<void> decode_last_group(std::string_view text, std::size_t start,
                               std::vector<std::uint8_t>& out) {
  std::uint8_t symbols[4] = {};
  std::size_t count = 0, padding = 0, first_pad = 0;
  for (std::size_t i = start; i < text.size(); ++i) {
    char c = text[i];
    if (c == kPad) {
      // Padding can only follow at least two symbols of the group.
      if (i - start < 2) return invalid_symbol(i, c);
      if (padding++ == 0) first_pad = i;
      continue;
    }
    if (padding > 0) return invalid_symbol(first_pad, kPad);
    if (value_of(c) == kInvalid) return invalid_symbol(i, c);
    symbols[count++] = value_of(c);
  }
  if (count < 2) return fail("Invalid input length: " + std::to_string(text.size()));
  if ((count + padding) % 4 != 0) return fail("Invalid padding");

  std::uint32_t bits = std::uint32_t{symbols[0]} << 18 | std::uint32_t{symbols[1]} << 12 |
                       std::uint32_t{symbols[2]} << 6 | symbols[3];
  std::size_t bytes = count * 6 / 8;
  // Bits below the last whole byte would be dropped; a canonical encoder
  // leaves them zero, so anything else is a second spelling of the same bytes.
  std::uint32_t unused = bits & ((std::uint32_t{1} << (24 - bytes * 8)) - 1);
  if (unused != 0) {
    std::size_t last = start + count - 1;
    return fail("Invalid last symbol " + std::to_string(static_cast<std::uint8_t>(text[last])) +
                ", offset " + std::to_string(last) + ".");
  }
  for (std::size_t k = 0; k < bytes; ++k)
    out.push_back(static_cast<std::uint8_t>(bits >> (16 - 8 * k)));
  return {};
}

}  // namespace

std::string base64_encode(std::span<const std::uint8_t> bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    std::uint32_t v =
        std::uint32_t{bytes[i]} << 16 | std::uint32_t{bytes[i + 1]} << 8 | bytes[i + 2];
    for (int shift : {18, 12, 6, 0}) out.push_back(kAlphabet[(v >> shift) & 0x3F]);
  }
  std::size_t rest = bytes.size() - i;
  if (rest == 0) return out;
  std::uint32_t v = std::uint32_t{bytes[i]} << 16;
  if (rest == 2) v |= std::uint32_t{bytes[i + 1]} << 8;
  out.push_back(kAlphabet[(v >> 18) & 0x3F]);
  out.push_back(kAlphabet[(v >> 12) & 0x3F]);
  out.push_back(rest == 2 ? kAlphabet[(v >> 6) & 0x3F] : kPad);
  out.push_back(kPad);
  return out;
}

Result<std::vector<std::uint8_t>> base64_decode(std::string_view text) {
  std::vector<std::uint8_t> out;
  if (text.empty()) return out;
  // The last group (one to four characters) may carry padding; every group
  // before it must be four plain symbols.
  std::size_t remainder = text.size() % 4;
  std::size_t last_start = text.size() - (remainder == 0 ? 4 : remainder);
  out.reserve(last_start / 4 * 3 + 3);  // the last group adds up to three
  out.resize(last_start / 4 * 3);
  std::uint8_t* to = out.data();
  for (std::size_t i = 0; i < last_start; i += 4, to += 3) {
    const std::uint32_t a = value_of(text[i]), b = value_of(text[i + 1]),
                        c = value_of(text[i + 2]), d = value_of(text[i + 3]);
    // kInvalid is the only value with its high bit set.
    if ((a | b | c | d) & 0x80) {
      std::size_t k = 0;
      while (value_of(text[i + k]) != kInvalid) ++k;
      return invalid_symbol(i + k, text[i + k]);
    }
    const std::uint32_t v = a << 18 | b << 12 | c << 6 | d;
    to[0] = static_cast<std::uint8_t>(v >> 16);
    to[1] = static_cast<std::uint8_t>(v >> 8);
    to[2] = static_cast<std::uint8_t>(v);
  }
  if (auto last = decode_last_group(text, last_start, out); !last) return fail(last.error());
  return out;
}
