// Decimal numbers in our own grammar, so that no locale and no C-library
// leniency (white space, hexadecimal floats, "nan(...)") changes what the
// program accepts from its arguments or reads from ffprobe.

#include "encoding/decimal.h"

#include <locale.h>
#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "io_error.h"

namespace {

// Values this close to a whole number print as one: a rate given as "2" and
// the same rate read back from a document as 2.0000000000000004 must name
// the same ffmpeg filter.
constexpr double kWholeTolerance = 0x1p-52;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool equals_ignoring_case(std::string_view text, std::string_view lower_word) {
  if (text.size() != lower_word.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower_word[i]) return false;
  }
  return true;
}

// Sign? ( inf | infinity | nan | Digits [. Digits?] | . Digits ) ([eE] Sign? Digits)?
bool is_float_literal(std::string_view s) {
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) s.remove_prefix(1);
  if (equals_ignoring_case(s, "inf") || equals_ignoring_case(s, "infinity") ||
      equals_ignoring_case(s, "nan")) {
    return true;
  }
  std::size_t i = 0, mantissa_digits = 0;
  while (i < s.size() && is_digit(s[i])) ++i, ++mantissa_digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && is_digit(s[i])) ++i, ++mantissa_digits;
  }
  if (mantissa_digits == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t exponent_start = i;
    while (i < s.size() && is_digit(s[i])) ++i;
    if (i == exponent_start) return false;
  }
  return i == s.size();
}

// Parses the digits of an integer left to right; the first fault met wins,
// so an overflow before a stray character reports the overflow.
template <class Int>
Result<Int> parse_integer(std::string_view text) {
  if (text.empty()) return fail("cannot parse integer from empty string");
  bool negative = false;
  std::string_view digits = text;
  if (text[0] == '+' || (std::numeric_limits<Int>::is_signed && text[0] == '-')) {
    negative = text[0] == '-';
    digits.remove_prefix(1);
    if (digits.empty()) return fail("invalid digit found in string");
  }
  Int value = 0;
  for (char c : digits) {
    if (!is_digit(c)) return fail("invalid digit found in string");
    Int digit = static_cast<Int>(c - '0');
    bool overflow = __builtin_mul_overflow(value, Int{10}, &value) ||
                    (negative ? __builtin_sub_overflow(value, digit, &value)
                              : __builtin_add_overflow(value, digit, &value));
    if (overflow) {
      return fail(negative ? "number too small to fit in target type"
                           : "number too large to fit in target type");
    }
  }
  return value;
}

}  // namespace

Result<std::uint32_t> parse_u32(std::string_view text) {
  return parse_integer<std::uint32_t>(text);
}
Result<std::int64_t> parse_i64(std::string_view text) { return parse_integer<std::int64_t>(text); }

Result<double> parse_double(std::string_view text) {
  if (text.empty()) return fail("cannot parse float from empty string");
  if (!is_float_literal(text)) return fail("invalid float literal");
  // The text is now known to be in our grammar, which strtod reads the same
  // way; the "C" locale fixes the decimal point whatever the environment says.
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", locale_t{});
  if (c_locale == locale_t{}) return fail("cannot create the C locale: " + format_io_error(errno));
  std::string copy(text);
  return strtod_l(copy.c_str(), nullptr, c_locale);
}

std::string format_decimal(double value) {
  double whole = std::trunc(value);
  // Fixed notation of a double needs at most ~1100 characters (subnormals,
  // or the exact digits of a huge whole value).
  char text[1200];
  if (std::fabs(value - whole) < kWholeTolerance) {
    int length = std::snprintf(text, sizeof text, "%.0f", whole);
    return std::string(text, static_cast<std::size_t>(length));
  }
  auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed).ptr;
  return std::string(text, end);
}

std::string one_decimal(double value) {
  char text[400];  // the largest double has 309 digits before the point
  const int length = std::snprintf(text, sizeof text, "%.1f", value);
  return std::string(text, static_cast<std::size_t>(std::clamp(length, 0, 399)));
}

std::string two_digits_up(double value) {
  const int exponent = static_cast<int>(std::floor(std::log10(value)));
  const double unit = std::pow(10.0, exponent - 1);
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", std::max(0, 1 - exponent),
                std::ceil(value / unit) * unit);
  std::string digits = text;
  if (digits.find('.') != std::string::npos) {
    digits.erase(digits.find_last_not_of('0') + 1);
    if (digits.ends_with('.')) digits.pop_back();
  }
  return digits;
}

std::string two_digits_down(double value) {
  const int exponent = static_cast<int>(std::floor(std::log10(value)));
  const double unit = std::pow(10.0, exponent - 1);
  const double cut = std::floor(value / unit) * unit;
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", std::max(0, 1 - exponent), cut);
  return text;
}

std::string counted(std::size_t n, std::string_view one, std::string_view many) {
  return std::to_string(n) + " " + std::string(n == 1 ? one : many);
}
