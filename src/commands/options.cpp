// The option parsers of every command: a plain loop over the arguments per
// command, strict about spellings, then the checks for required values. They
// check the form of the arguments only; what the values mean is the command's
// business. The commands that take paths end their options at "--", so a
// file whose name starts with "-" can still be named.

#include "commands/options.h"

#include <cmath>
#include <cstdlib>
#include <functional>

#include "encoding/decimal.h"
#include "encoding/text.h"

namespace {

using Args = std::span<const std::string>;

// The last path component, as a file name; empty when the path has none
// (the root, "..", ".", the empty path).
std::string_view last_path_component(std::string_view path) {
  std::string_view last;
  std::size_t i = 0;
  while (i <= path.size()) {
    std::size_t end = path.find('/', i);
    if (end == std::string_view::npos) end = path.size();
    std::string_view part = path.substr(i, end - i);
    // "." counts only as the leading component of a relative path.
    if (!part.empty() && (part != "." || i == 0)) last = part;
    i = end + 1;
  }
  if (last == "." || last == "..") return {};
  return last;
}

std::unexpected<std::string> requires_value(std::string_view option) {
  return fail(std::string(option) + " requires a value");
}

std::unexpected<std::string> extra_path(const std::string& arg) {
  return fail("unexpected extra path argument: " + arg);
}

// The value after the option at args[i], read with `parse`; i moves onto it.
template <class Parse>
auto option_value(Args args, std::size_t& i, std::string_view option, Parse parse)
    -> decltype(parse(args[i])) {
  if (++i == args.size()) return requires_value(option);
  return parse(args[i]);
}

Result<std::string> text_value(std::string_view v) { return std::string(v); }

// "-" names standard input; anything else is a file.
Result<InputSource> input_source(std::string_view v) {
  return v == "-" ? InputSource::stdin_source() : InputSource::file(std::string(v));
}

Result<void> set_output_target(OutputTarget& output, const std::string& value) {
  auto target = parse_output_target(value);
  if (!target) return fail(target.error());
  output = *target;
  return {};
}

// --nvr-pubkey-hex and --nvr-pubkeys-file, repeatable, as the commands that
// judge evidence take them; false for any other option.
Result<bool> read_pinned_key_option(Args args, std::size_t& i, std::vector<std::string>& keys,
                                    std::vector<std::string>& files) {
  const std::string& a = args[i];
  if (a != "--nvr-pubkey-hex" && a != "--nvr-pubkeys-file") return false;
  auto value = option_value(args, i, a, text_value);
  if (!value) return fail(value.error());
  (a == "--nvr-pubkey-hex" ? keys : files).push_back(*value);
  return true;
}

// How a command that takes paths reads its arguments; everything else about
// them is the same for all: "--" ends the options, so a file whose name
// starts with "-" can still be named, and "-o", "--output" (and "--out",
// where taken) name the output.
struct ArgumentRules {
  std::string unknown_option;     // the message's start, the option follows
  bool dash_is_path = true;       // "-" names a standard stream, or is an unknown option
  bool takes_out_spelling = true;  // "--out" as well as "-o" and "--output"
};

// Walks the arguments: paths go to `path`, the output option's value to
// `output`, any other option to `option`, which moves i past its value and
// answers false for an option it does not know.
Result<void> read_arguments(
    Args args, const ArgumentRules& rules,
    const std::function<Result<void>(const std::string&)>& path,
    const std::function<Result<void>(const std::string&)>& output,
    const std::function<Result<bool>(const std::string&, std::size_t&)>& option) {
  bool options_ended = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (options_ended || !a.starts_with("-") || (a == "-" && rules.dash_is_path)) {
      if (auto taken = path(a); !taken) return taken;
    } else if (a == "--") {
      options_ended = true;
    } else if (a == "-o" || a == "--output" || (a == "--out" && rules.takes_out_spelling)) {
      auto value = option_value(args, i, "--output", text_value);
      if (!value) return fail(value.error());
      if (auto taken = output(*value); !taken) return taken;
    } else {
      auto known = option(a, i);
      if (!known) return fail(known.error());
      if (!*known) return fail(rules.unknown_option + a);
    }
  }
  return {};
}

// A bit count that a Hamming distance between 256-bit hashes can reach.
Result<std::uint32_t> parse_max_distance(std::string_view text) {
  auto distance = parse_u32(text);
  if (!distance || *distance > 256) {
    return fail("invalid --max-distance " + std::string(text) +
                ": must be a whole number from 0 to 256");
  }
  return *distance;
}

// The frame rate of VORLANT_VERIFY_FPS, when set to text.
Result<std::optional<double>> fps_from_environment() {
  const char* value = std::getenv("VORLANT_VERIFY_FPS");
  if (value == nullptr || !is_valid_utf8(value)) return std::nullopt;
  auto fps = parse_fps(value);
  if (!fps) return fail(fps.error());
  return *fps;
}

}  // namespace

Result<double> parse_fps(std::string_view text) {
  auto value = parse_double(text);
  if (!value) return fail("invalid fps " + std::string(text) + ": " + value.error());
  if (!std::isfinite(*value) || !(*value > 0.0)) {
    return fail("invalid fps " + std::string(text) + ": must be positive");
  }
  return *value;
}

Result<OutputTarget> parse_output_target(std::string_view value) {
  if (value == "-") return OutputTarget::stdout_target();
  if (value == "none") return fail("none is not valid here");
  return OutputTarget::file(std::string(value));
}

Result<PrepareOptions> parse_prepare_options(Args args) {
  PrepareOptions o;
  std::optional<double> fps_option;
  bool has_input = false, has_name = false;
  const ArgumentRules rules{.unknown_option = "unknown prepare-attestation option: ",
                            .dash_is_path = false};
  auto read = read_arguments(
      args, rules,
      [&](const std::string& a) -> Result<void> {
        if (has_input) return extra_path(a);
        o.input = a;
        has_input = true;
        return {};
      },
      [&](const std::string& v) { return set_output_target(o.output, v); },
      [&](const std::string& a, std::size_t& i) -> Result<bool> {
        if (a == "--name") {
          auto name = option_value(args, i, a, text_value);
          if (!name) return fail(name.error());
          o.name = *name;
          has_name = true;
        } else if (a == "--with-pdq") {
          o.with_pdq = true;
        } else if (a == "--fps") {
          auto fps = option_value(args, i, a, parse_fps);
          if (!fps) return fail(fps.error());
          fps_option = *fps;
          o.with_pdq = true;
        } else if (a == "--pdq-hashes") {
          auto source = option_value(args, i, a, input_source);
          if (!source) return fail(source.error());
          o.pdq_hashes = *source;
          o.with_pdq = true;
        } else {
          return false;
        }
        return true;
      });
  if (!read) return fail(read.error());
  if (!has_input) return fail("missing input path");
  if (!has_name) {
    std::string_view file_name = last_path_component(o.input);
    o.name = to_lossy_utf8(file_name.empty() ? std::string_view(o.input) : file_name);
  }
  // The variable is checked whenever frames will be hashed, even when --fps
  // overrides it, so a broken setting never goes unnoticed.
  if (o.with_pdq) {
    auto from_env = fps_from_environment();
    if (!from_env) return fail(from_env.error());
    if (*from_env) o.fps = **from_env;
  }
  if (fps_option) o.fps = *fps_option;
  return o;
}

Result<SignOptions> parse_sign_options(Args args, std::string_view command, std::string_view kind) {
  SignOptions o;
  bool has_input = false, has_device = false, has_key_id = false, has_key = false;
  const ArgumentRules rules{.unknown_option = "unknown " + std::string(command) + " option: "};
  auto read = read_arguments(
      args, rules,
      [&](const std::string& a) -> Result<void> {
        if (has_input) return extra_path(a);
        o.input = *input_source(a);
        has_input = true;
        return {};
      },
      [&](const std::string& v) { return set_output_target(o.output, v); },
      [&](const std::string& a, std::size_t& i) -> Result<bool> {
        if (a == "--signed-at-ms") {
          // Its own wording for a missing value, kept for the scripts that match it.
          if (i + 1 == args.size()) return fail("missing --signed-at-ms");
          auto ms = option_value(args, i, a, parse_i64);
          if (!ms) return fail("invalid --signed-at-ms: " + ms.error());
          o.signed_at_ms = *ms;
          return true;
        }
        const bool known = a == "--nvr-device-id" || a == "--nvr-key-id" ||
                           a == "--nvr-private-key-hex" || a == "--nvr-private-key-file" ||
                           a == "--nvr-pubkey-hex";
        if (!known) return false;
        auto value = option_value(args, i, a, text_value);
        if (!value) return fail(value.error());
        if (a == "--nvr-device-id") {
          o.nvr_device_id = *value;
          has_device = true;
        } else if (a == "--nvr-key-id") {
          o.nvr_key_id = *value;
          has_key_id = true;
        } else if (a == "--nvr-pubkey-hex") {
          o.nvr_pubkey_hex = *value;
        } else {
          o.key = {a == "--nvr-private-key-hex" ? KeySource::Kind::Hex : KeySource::Kind::File,
                   *value};
          has_key = true;
        }
        return true;
      });
  if (!read) return fail(read.error());
  if (!has_input) return fail("missing " + std::string(kind) + " path");
  if (!has_device) return fail("--nvr-device-id is required");
  if (!has_key_id) return fail("--nvr-key-id is required");
  if (!has_key) return fail("--nvr-private-key-file or --nvr-private-key-hex is required");
  return o;
}

Result<EmbedOptions> parse_embed_options(Args args) {
  EmbedOptions o;
  std::size_t positionals = 0;
  // The evidence file is media, not a text document: "none" is a file name
  // here, and the spelling "--out" was never taken.
  auto media_output = [](const std::string& v) {
    return v == "-" ? OutputTarget::stdout_target() : OutputTarget::file(v);
  };
  const ArgumentRules rules{.unknown_option = "unknown embed-evidence option: ",
                            .takes_out_spelling = false};
  auto read = read_arguments(
      args, rules,
      [&](const std::string& a) -> Result<void> {
        if (positionals == 0) {
          o.input = a;  // a file named "-" here: the media is never read from stdin
        } else if (positionals == 1) {
          o.envelope = *input_source(a);
        } else if (positionals == 2) {
          o.output = media_output(a);
        } else {
          return extra_path(a);
        }
        ++positionals;
        return {};
      },
      [&](const std::string& v) -> Result<void> {
        o.output = media_output(v);
        return {};
      },
      [&](const std::string& a, std::size_t& i) -> Result<bool> {
        if (a != "--summary") return false;
        auto v = option_value(args, i, a, text_value);
        if (!v) return fail(v.error());
        o.summary = *v == "none" ? OutputTarget::discard()
                    : *v == "-"  ? OutputTarget::stdout_target()
                                 : OutputTarget::file(*v);
        return true;
      });
  if (!read) return fail(read.error());
  if (positionals == 0) return fail("missing input path");
  if (o.output.kind == OutputTarget::Kind::Stdout && o.summary.kind == OutputTarget::Kind::Stdout) {
    return fail("--summary - cannot be used when media output is stdout");
  }
  return o;
}

Result<VerifyOptions> parse_verify_options(Args args) {
  VerifyOptions o;
  bool has_input = false;
  const ArgumentRules rules{.unknown_option = "unknown option: ", .dash_is_path = false};
  auto read = read_arguments(
      args, rules,
      [&](const std::string& a) -> Result<void> {
        if (has_input) return extra_path(a);
        o.input = a;
        has_input = true;
        return {};
      },
      [&](const std::string& v) { return set_output_target(o.output, v); },
      [&](const std::string& a, std::size_t& i) -> Result<bool> {
        if (a == "--fps") {
          // Accepted for compatibility with prepare-attestation's spelling;
          // verification samples no frames, so the value is only checked.
          auto fps = option_value(args, i, a, parse_fps);
          if (!fps) return fail(fps.error());
          return true;
        }
        return read_pinned_key_option(args, i, o.nvr_pubkey_hex, o.nvr_pubkeys_files);
      });
  if (!read) return fail(read.error());
  if (!has_input) return fail("missing input path");
  return o;
}

Result<MatchOptions> parse_match_options(Args args) {
  MatchOptions o;
  std::size_t positionals = 0;
  const ArgumentRules rules{.unknown_option = "unknown match option: "};
  auto read = read_arguments(
      args, rules,
      [&](const std::string& a) -> Result<void> {
        if (positionals == 2) return extra_path(a);
        if (positionals++ == 0) {
          o.candidate = a;  // a file named "-" here: frames are never read from stdin
        } else {
          o.evidence = *input_source(a);
        }
        return {};
      },
      [&](const std::string& v) { return set_output_target(o.output, v); },
      [&](const std::string& a, std::size_t& i) -> Result<bool> {
        if (a == "--fps") {
          auto fps = option_value(args, i, a, parse_fps);
          if (!fps) return fail(fps.error());
          o.fps = *fps;
        } else if (a == "--max-distance") {
          auto distance = option_value(args, i, a, parse_max_distance);
          if (!distance) return fail(distance.error());
          o.max_distance = *distance;
        } else {
          return read_pinned_key_option(args, i, o.nvr_pubkey_hex, o.nvr_pubkeys_files);
        }
        return true;
      });
  if (!read) return fail(read.error());
  if (positionals == 0) return fail("missing candidate path");
  if (positionals == 1) return fail("missing evidence path");
  return o;
}

Result<HashOptions> parse_hash_options(Args args) {
  HashOptions o;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--format") {
      if (++i == args.size()) return requires_value("--format");
      const std::string& v = args[i];
      if (v == "hex") {
        o.format = HashFormat::Hex;
      } else if (v == "bits") {
        o.format = HashFormat::Bits;
      } else if (v == "jsonl") {
        o.format = HashFormat::Jsonl;
      } else {
        return fail("unknown hash format: " + v);
      }
    } else if (a == "--progress") {
      o.progress = true;
    } else {
      return fail("unknown hash option: " + a);
    }
  }
  return o;
}
