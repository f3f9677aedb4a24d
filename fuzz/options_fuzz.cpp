// The option parsers of every command on arbitrary arguments (the input cut
// at NUL bytes). Number parsing is checked against std::from_chars, which
// reads the same digits independently.

#include <charconv>
#include <cmath>

#include "commands/options.h"
#include "encoding/decimal.h"
#include "encoding/text.h"
#include "fuzz_util.h"

namespace {

template <class Int>
void check_integer(const std::string& text, const Result<Int>& parsed) {
  std::string_view digits = text;
  if (digits.starts_with('+') && !digits.substr(1).starts_with('-')) digits.remove_prefix(1);
  Int expected{};
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), expected);
  const bool whole = error == std::errc() && end == digits.data() + digits.size();
  if (parsed.has_value() != whole)
    fuzz::broken("integer parsing disagrees with from_chars: " + text);
  if (whole && *parsed != expected) fuzz::broken("integer value differs from from_chars: " + text);
}

void check_double(const std::string& text, const Result<double>& parsed) {
  std::string_view literal = text;
  if (literal.starts_with('+') && !literal.substr(1).starts_with('-')) literal.remove_prefix(1);
  double expected = 0;
  const auto [end, error] =
      std::from_chars(literal.data(), literal.data() + literal.size(), expected);
  const bool whole = end == literal.data() + literal.size();
  // from_chars also takes "nan(chars)"; out-of-range literals it leaves unread.
  if (error == std::errc() && whole && text.find('(') == std::string::npos) {
    if (!parsed) fuzz::broken("a number from_chars reads was refused: " + text);
    if (std::isnan(expected) ? !std::isnan(*parsed) : *parsed != expected)
      fuzz::broken("a number reads otherwise than with from_chars: " + text);
  } else if (parsed && error == std::errc()) {
    fuzz::broken("a number from_chars refuses was accepted: " + text);
  }
}

template <class Parse>
void check_parser(std::size_t size, bool text_args, Parse&& parse) {
  auto parsed = fuzz::timed(size, parse);
  if (!parsed && text_args) fuzz::require_message(parsed.error());
}

// Enough arguments to reach every number check; more only cost time.
constexpr std::size_t kCheckedArguments = 16;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string> args = fuzz::split_arguments(fuzz::as_text({data, size}));
  // The dispatcher refuses arguments that are not UTF-8 before any parser
  // runs, so only text arguments must give text messages.
  bool text_args = true;
  for (const std::string& arg : args) text_args = text_args && is_valid_utf8(arg);

  check_parser(size, text_args, [&] { return parse_prepare_options(args); });
  check_parser(size, text_args,
               [&] { return parse_sign_options(args, "sign-attestation", "attestation request"); });
  check_parser(size, text_args, [&] {
    return parse_sign_options(args, "sign-zip-manifest", "zip manifest request");
  });
  check_parser(size, text_args, [&] { return parse_embed_options(args); });
  check_parser(size, text_args, [&] { return parse_verify_options(args); });
  check_parser(size, text_args, [&] { return parse_hash_options(args); });
  for (std::size_t i = 0; i < args.size() && i < kCheckedArguments; ++i) {
    const std::string& arg = args[i];
    check_integer(arg, fuzz::timed(size, [&] { return parse_u32(arg); }));
    check_integer(arg, fuzz::timed(size, [&] { return parse_i64(arg); }));
    check_double(arg, fuzz::timed(size, [&] { return parse_double(arg); }));
    auto fps = fuzz::timed(size, [&] { return parse_fps(arg); });
    fuzz::require(!fps || (std::isfinite(*fps) && *fps > 0),
                  "an accepted fps is not positive and finite");
  }
  return 0;
}
