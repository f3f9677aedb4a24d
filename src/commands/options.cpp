// The option parsers of every command: a plain loop over the arguments per
// command, strict about spellings, then the checks for required values. They
// check the form of the arguments only; what the values mean is the command's
// business. The commands that take paths end their options at "--", so a
// file whose name starts with "-" can still be named.

#include "commands/options.h"

#include <cmath>
#include <cstdlib>

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
  bool has_input = false, has_name = false, options_ended = false;
  auto take_path = [&](const std::string& a) -> Result<void> {
    if (has_input) return extra_path(a);
    o.input = a;
    has_input = true;
    return {};
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (options_ended) {
      if (auto taken = take_path(a); !taken) return fail(taken.error());
    } else if (a == "--") {
      options_ended = true;
    } else if (a == "-o" || a == "--out" || a == "--output") {
      if (++i == args.size()) return requires_value("--output");
      auto target = parse_output_target(args[i]);
      if (!target) return fail(target.error());
      o.output = *target;
    } else if (a == "--name") {
      if (++i == args.size()) return requires_value("--name");
      o.name = args[i];
      has_name = true;
    } else if (a == "--with-pdq") {
      o.with_pdq = true;
    } else if (a == "--fps") {
      if (++i == args.size()) return requires_value("--fps");
      auto fps = parse_fps(args[i]);
      if (!fps) return fail(fps.error());
      fps_option = *fps;
      o.with_pdq = true;
    } else if (a == "--pdq-hashes") {
      if (++i == args.size()) return requires_value("--pdq-hashes");
      o.pdq_hashes = args[i] == "-" ? InputSource::stdin_source() : InputSource::file(args[i]);
      o.with_pdq = true;
    } else if (a.starts_with("-")) {
      return fail("unknown prepare-attestation option: " + a);
    } else if (auto taken = take_path(a); !taken) {
      return fail(taken.error());
    }
  }
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
  bool options_ended = false;
  auto take_path = [&](const std::string& a) -> Result<void> {
    if (has_input) return extra_path(a);
    o.input = a == "-" ? InputSource::stdin_source() : InputSource::file(a);
    has_input = true;
    return {};
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> const std::string* { return ++i == args.size() ? nullptr : &args[i]; };
    if (options_ended) {
      if (auto taken = take_path(a); !taken) return fail(taken.error());
    } else if (a == "--") {
      options_ended = true;
    } else if (a == "-o" || a == "--out" || a == "--output") {
      const std::string* v = value();
      if (!v) return requires_value("--output");
      auto target = parse_output_target(*v);
      if (!target) return fail(target.error());
      o.output = *target;
    } else if (a == "--nvr-device-id") {
      const std::string* v = value();
      if (!v) return requires_value(a);
      o.nvr_device_id = *v;
      has_device = true;
    } else if (a == "--nvr-key-id") {
      const std::string* v = value();
      if (!v) return requires_value(a);
      o.nvr_key_id = *v;
      has_key_id = true;
    } else if (a == "--nvr-private-key-hex" || a == "--nvr-private-key-file") {
      const std::string* v = value();
      if (!v) return requires_value(a);
      o.key = {a == "--nvr-private-key-hex" ? KeySource::Kind::Hex : KeySource::Kind::File, *v};
      has_key = true;
    } else if (a == "--nvr-pubkey-hex") {
      const std::string* v = value();
      if (!v) return requires_value(a);
      o.nvr_pubkey_hex = *v;
    } else if (a == "--signed-at-ms") {
      const std::string* v = value();
      if (!v) return fail("missing --signed-at-ms");
      auto ms = parse_i64(*v);
      if (!ms) return fail("invalid --signed-at-ms: " + ms.error());
      o.signed_at_ms = *ms;
    } else if (a.starts_with("-") && a != "-") {
      return fail("unknown " + std::string(command) + " option: " + a);
    } else if (auto taken = take_path(a); !taken) {
      return fail(taken.error());
    }
  }
  if (!has_input) return fail("missing " + std::string(kind) + " path");
  if (!has_device) return fail("--nvr-device-id is required");
  if (!has_key_id) return fail("--nvr-key-id is required");
  if (!has_key) return fail("--nvr-private-key-file or --nvr-private-key-hex is required");
  return o;
}

Result<EmbedOptions> parse_embed_options(Args args) {
  EmbedOptions o;
  std::size_t positionals = 0;
  auto media_output = [](const std::string& v) {
    return v == "-" ? OutputTarget::stdout_target() : OutputTarget::file(v);
  };
  auto take_path = [&](const std::string& a) -> Result<void> {
    if (positionals == 0) {
      o.input = a;  // a file named "-" here: the media is never read from stdin
    } else if (positionals == 1) {
      o.envelope = a == "-" ? InputSource::stdin_source() : InputSource::file(a);
    } else if (positionals == 2) {
      o.output = media_output(a);
    } else {
      return extra_path(a);
    }
    ++positionals;
    return {};
  };
  bool options_ended = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (options_ended) {
      if (auto taken = take_path(a); !taken) return fail(taken.error());
    } else if (a == "--") {
      options_ended = true;
    } else if (a == "-o" || a == "--output") {
      if (++i == args.size()) return requires_value("--output");
      o.output = media_output(args[i]);
    } else if (a == "--summary") {
      if (++i == args.size()) return requires_value("--summary");
      const std::string& v = args[i];
      o.summary = v == "none" ? OutputTarget::discard()
                  : v == "-"  ? OutputTarget::stdout_target()
                              : OutputTarget::file(v);
    } else if (a.starts_with("-") && a != "-") {
      return fail("unknown embed-evidence option: " + a);
    } else if (auto taken = take_path(a); !taken) {
      return fail(taken.error());
    }
  }
  if (positionals == 0) return fail("missing input path");
  if (o.output.kind == OutputTarget::Kind::Stdout && o.summary.kind == OutputTarget::Kind::Stdout) {
    return fail("--summary - cannot be used when media output is stdout");
  }
  return o;
}

Result<VerifyOptions> parse_verify_options(Args args) {
  VerifyOptions o;
  bool has_input = false, options_ended = false;
  auto take_path = [&](const std::string& a) -> Result<void> {
    if (has_input) return extra_path(a);
    o.input = a;
    has_input = true;
    return {};
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (options_ended) {
      if (auto taken = take_path(a); !taken) return fail(taken.error());
    } else if (a == "--") {
      options_ended = true;
    } else if (a == "-o" || a == "--out" || a == "--output") {
      if (++i == args.size()) return requires_value("--output");
      auto target = parse_output_target(args[i]);
      if (!target) return fail(target.error());
      o.output = *target;
    } else if (a == "--fps") {
      // Accepted for compatibility with prepare-attestation's spelling;
      // verification samples no frames, so the value is only checked.
      if (++i == args.size()) return requires_value("--fps");
      if (auto fps = parse_fps(args[i]); !fps) return fail(fps.error());
    } else if (a == "--nvr-pubkey-hex") {
      if (++i == args.size()) return requires_value(a);
      o.nvr_pubkey_hex.push_back(args[i]);
    } else if (a == "--nvr-pubkeys-file") {
      if (++i == args.size()) return requires_value(a);
      o.nvr_pubkeys_files.push_back(args[i]);
    } else if (a.starts_with("-")) {
      return fail("unknown option: " + a);
    } else if (auto taken = take_path(a); !taken) {
      return fail(taken.error());
    }
  }
  if (!has_input) return fail("missing input path");
  return o;
}

Result<MatchOptions> parse_match_options(Args args) {
  MatchOptions o;
  std::size_t positionals = 0;
  bool options_ended = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (options_ended || a == "-" || !a.starts_with("-")) {
      if (positionals == 2) return extra_path(a);
      if (positionals++ == 0) {
        o.candidate = a;  // a file named "-" here: frames are never read from stdin
      } else {
        o.evidence = a == "-" ? InputSource::stdin_source() : InputSource::file(a);
      }
    } else if (a == "--") {
      options_ended = true;
    } else if (a == "-o" || a == "--out" || a == "--output") {
      auto target = option_value(args, i, "--output", parse_output_target);
      if (!target) return fail(target.error());
      o.output = *target;
    } else if (a == "--fps") {
      auto fps = option_value(args, i, a, parse_fps);
      if (!fps) return fail(fps.error());
      o.fps = *fps;
    } else if (a == "--max-distance") {
      auto distance = option_value(args, i, a, parse_max_distance);
      if (!distance) return fail(distance.error());
      o.max_distance = *distance;
    } else if (a == "--nvr-pubkey-hex" || a == "--nvr-pubkeys-file") {
      auto key =
          option_value(args, i, a, [](std::string_view v) { return Result<std::string>(v); });
      if (!key) return fail(key.error());
      (a == "--nvr-pubkey-hex" ? o.nvr_pubkey_hex : o.nvr_pubkeys_files).push_back(*key);
    } else {
      return fail("unknown match option: " + a);
    }
  }
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
