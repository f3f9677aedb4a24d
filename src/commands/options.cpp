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

// The value after the option at args[i], read with `parse`; i moves onto it.
template <class Parse>
auto option_value(Args args, std::size_t& i, std::string_view option, Parse parse)
    -> decltype(parse(args[i])) {
  if (++i == args.size()) return fail(std::string(option) + " requires a value");
  return parse(args[i]);
}

Result<std::string> text_value(std::string_view v) { return std::string(v); }

// Puts a read value where it belongs, or passes its fault on; true, as the
// option parsers answer for an option they took.
template <class T, class Slot>
Result<bool> store(Result<T> value, Slot& slot) {
  if (!value) return fail(value.error());
  slot = std::move(*value);
  return true;
}

// "-" names standard input; anything else is a file.
Result<InputSource> input_source(std::string_view v) {
  return v == "-" ? InputSource::stdin_source() : InputSource::file(std::string(v));
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
  std::string unknown_option;  // the message's start, the option follows
  std::size_t max_paths = 1;
  bool dash_is_path = true;        // "-" names a standard stream, or is an unknown option
  bool takes_out_spelling = true;  // "--out" as well as "-o" and "--output"
  std::function<Result<OutputTarget>(std::string_view)> output = parse_output_target;
};

struct CommandArguments {
  std::vector<std::string> paths;
  std::optional<OutputTarget> output;   // the last one given
  std::size_t paths_before_output = 0;  // how many paths came before it
};

// Walks the arguments in order, so the first fault met is the one reported:
// options the walk does not own go to `option`, which moves i past its value
// and answers false for an option it does not know.
Result<CommandArguments> read_arguments(
    Args args, const ArgumentRules& rules,
    const std::function<Result<bool>(const std::string&, std::size_t&)>& option) {
  CommandArguments read;
  bool options_ended = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (options_ended || !a.starts_with("-") || (a == "-" && rules.dash_is_path)) {
      if (read.paths.size() == rules.max_paths) {
        return fail("unexpected extra path argument: " + a);
      }
      read.paths.push_back(a);
    } else if (a == "--") {
      options_ended = true;
    } else if (a == "-o" || a == "--output" || (a == "--out" && rules.takes_out_spelling)) {
      auto target = option_value(args, i, "--output", rules.output);
      if (!target) return fail(target.error());
      read.output = *target;
      read.paths_before_output = read.paths.size();
    } else {
      auto known = option(a, i);
      if (!known) return fail(known.error());
      if (!*known) return fail(rules.unknown_option + a);
    }
  }
  return read;
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

// A count of worker processes.
Result<unsigned> parse_jobs(std::string_view text) {
  auto jobs = parse_u32(text);
  if (!jobs || *jobs == 0) {
    return fail("invalid --jobs " + std::string(text) + ": must be a whole number from 1 up");
  }
  return *jobs;
}

// "K/N": share K of N.
Result<Shard> parse_shard(std::string_view text) {
  const std::size_t slash = text.find('/');
  auto k = parse_u32(text.substr(0, slash));
  auto n = slash == std::string_view::npos ? k : parse_u32(text.substr(slash + 1));
  if (slash == std::string_view::npos || !k || !n || *k == 0 || *k > *n) {
    return fail("invalid --shard " + std::string(text) + ": must be K/N with 1 <= K <= N");
  }
  return Shard{*k, *n};
}

// How many recordings a search reports: at least one.
Result<std::uint32_t> parse_top(std::string_view text) {
  auto top = parse_u32(text);
  if (!top || *top == 0) return fail("invalid --top " + std::string(text) + ": must be a whole number from 1");
  return *top;
}

// The form of the hash lines.
Result<HashFormat> parse_hash_format(std::string_view word) {
  if (word == "hex") return HashFormat::Hex;
  if (word == "bits") return HashFormat::Bits;
  if (word == "jsonl") return HashFormat::Jsonl;
  return fail("unknown hash format: " + std::string(word));
}

// The frame rate of VORLANT_VERIFY_FPS, when set to text.
Result<std::optional<double>> fps_from_environment() {
  const char* value = std::getenv("VORLANT_VERIFY_FPS");
  if (value == nullptr || !is_valid_utf8(value)) return std::nullopt;
  return parse_fps(value);
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
  std::optional<std::string> name;
  auto read = read_arguments(
      args, {.unknown_option = "unknown prepare-attestation option: ", .dash_is_path = false},
      [&](const std::string& a, std::size_t& i) -> Result<bool> {
        if (a == "--name") return store(option_value(args, i, a, text_value), name);
        // A rate or a hash list means frames are hashed.
        if (a == "--with-pdq" || a == "--fps" || a == "--pdq-hashes") o.with_pdq = true;
        if (a == "--fps") return store(option_value(args, i, a, parse_fps), fps_option);
        if (a == "--pdq-hashes") return store(option_value(args, i, a, input_source), o.pdq_hashes);
        return a == "--with-pdq";
      });
  if (!read) return fail(read.error());
  if (read->paths.empty()) return fail("missing input path");
  o.input = read->paths[0];
  o.output = read->output.value_or(o.output);
  std::string_view file_name = last_path_component(o.input);
  o.name = name.value_or(to_lossy_utf8(file_name.empty() ? std::string_view(o.input) : file_name));
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
  std::optional<std::string> device, key_id;
  std::optional<KeySource> key;
  auto read = read_arguments(
      args, {.unknown_option = "unknown " + std::string(command) + " option: "},
      [&](const std::string& a, std::size_t& i) -> Result<bool> {
        if (a == "--signed-at-ms") {
          // Its own wording for a missing value, kept for the scripts that match it.
          if (i + 1 == args.size()) return fail("missing --signed-at-ms");
          auto ms = option_value(args, i, a, parse_i64);
          if (!ms) return fail("invalid --signed-at-ms: " + ms.error());
          o.signed_at_ms = *ms;
          return true;
        }
        if (a == "--nvr-device-id") return store(option_value(args, i, a, text_value), device);
        if (a == "--nvr-key-id") return store(option_value(args, i, a, text_value), key_id);
        if (a == "--nvr-pubkey-hex") {
          return store(option_value(args, i, a, text_value), o.nvr_pubkey_hex);
        }
        if (a != "--nvr-private-key-hex" && a != "--nvr-private-key-file") return false;
        auto text = option_value(args, i, a, text_value);
        if (!text) return fail(text.error());
        key = KeySource{a == "--nvr-private-key-hex" ? KeySource::Kind::Hex : KeySource::Kind::File,
                        *text};
        return true;
      });
  if (!read) return fail(read.error());
  if (read->paths.empty()) return fail("missing " + std::string(kind) + " path");
  if (!device) return fail("--nvr-device-id is required");
  if (!key_id) return fail("--nvr-key-id is required");
  if (!key) return fail("--nvr-private-key-file or --nvr-private-key-hex is required");
  o.input = *input_source(read->paths[0]);
  o.output = read->output.value_or(o.output);
  o.nvr_device_id = *device;
  o.nvr_key_id = *key_id;
  o.key = *key;
  return o;
}

Result<EmbedOptions> parse_embed_options(Args args) {
  EmbedOptions o;
  // The evidence file is media, not a text document: "none" is a file name
  // here, and the spelling "--out" was never taken.
  const ArgumentRules rules{.unknown_option = "unknown embed-evidence option: ",
                            .max_paths = 3,
                            .takes_out_spelling = false,
                            .output = [](std::string_view v) -> Result<OutputTarget> {
                              return v == "-" ? OutputTarget::stdout_target()
                                              : OutputTarget::file(std::string(v));
                            }};
  auto read =
      read_arguments(args, rules, [&](const std::string& a, std::size_t& i) -> Result<bool> {
        if (a != "--summary") return false;
        auto v = option_value(args, i, a, text_value);
        if (!v) return fail(v.error());
        o.summary = *v == "none" ? OutputTarget::discard()
                    : *v == "-"  ? OutputTarget::stdout_target()
                                 : OutputTarget::file(*v);
        return true;
      });
  if (!read) return fail(read.error());
  const std::vector<std::string>& paths = read->paths;
  if (paths.empty()) return fail("missing input path");
  o.input = paths[0];  // a file named "-" here: the media is never read from stdin
  if (paths.size() > 1) o.envelope = *input_source(paths[1]);
  // A third path names the output too; the later of it and an output option wins.
  if (read->output) o.output = *read->output;
  if (paths.size() > 2 && (!read->output || read->paths_before_output < 3)) {
    o.output = *rules.output(paths[2]);
  }
  if (o.output.kind == OutputTarget::Kind::Stdout && o.summary.kind == OutputTarget::Kind::Stdout) {
    return fail("--summary - cannot be used when media output is stdout");
  }
  return o;
}

Result<VerifyOptions> parse_verify_options(Args args) {
  VerifyOptions o;
  auto read = read_arguments(args, {.unknown_option = "unknown option: ", .dash_is_path = false},
                             [&](const std::string& a, std::size_t& i) -> Result<bool> {
                               if (a != "--fps")
                                 return read_pinned_key_option(args, i, o.nvr_pubkey_hex,
                                                               o.nvr_pubkeys_files);
                               // Accepted for compatibility with prepare-attestation's spelling;
                               // verification samples no frames, so the value is only checked.
                               auto fps = option_value(args, i, a, parse_fps);
                               if (!fps) return fail(fps.error());
                               return true;
                             });
  if (!read) return fail(read.error());
  if (read->paths.empty()) return fail("missing input path");
  o.input = read->paths[0];
  o.output = read->output.value_or(o.output);
  return o;
}

Result<MatchOptions> parse_match_options(Args args) {
  MatchOptions o;
  auto read = read_arguments(
      args, {.unknown_option = "unknown match option: ", .max_paths = 2},
      [&](const std::string& a, std::size_t& i) -> Result<bool> {
        if (a == "--fps") return store(option_value(args, i, a, parse_fps), o.fps);
        if (a == "--max-distance") {
          return store(option_value(args, i, a, parse_max_distance), o.max_distance);
        }
        return read_pinned_key_option(args, i, o.nvr_pubkey_hex, o.nvr_pubkeys_files);
      });
  if (!read) return fail(read.error());
  if (read->paths.empty()) return fail("missing candidate path");
  if (read->paths.size() == 1) return fail("missing evidence path");
  o.candidate = read->paths[0];  // a file named "-" here: frames are never read from stdin
  o.evidence = *input_source(read->paths[1]);
  o.output = read->output.value_or(o.output);
  return o;
}

Result<AuditOptions> parse_audit_options(Args args) {
  AuditOptions o;
  auto read = read_arguments(
      args,
      {.unknown_option = "unknown audit option: ", .max_paths = args.size(), .dash_is_path = false},
      [&](const std::string& a, std::size_t& i) -> Result<bool> {
        if (a == "--recursive") return o.recursive = true;
        if (a == "--resume") return o.resume = true;
        if (a == "--jobs") return store(option_value(args, i, a, parse_jobs), o.jobs);
        if (a == "--shard") return store(option_value(args, i, a, parse_shard), o.shard);
        return read_pinned_key_option(args, i, o.nvr_pubkey_hex, o.nvr_pubkeys_files);
      });
  if (!read) return fail(read.error());
  if (read->paths.empty()) return fail("missing input path");
  o.paths = std::move(read->paths);
  o.output = read->output.value_or(o.output);
  // What is recorded is read back from the output file.
  if (o.resume && o.output.kind != OutputTarget::Kind::Path) {
    return fail("--resume needs --output PATH");
  }
  return o;
}

Result<IndexOptions> parse_index_options(Args args) {
  IndexOptions o;
  if (args.empty()) return fail("missing index action: add, list or remove");
  if (args[0] == "add") {
    o.action = IndexOptions::Action::Add;
  } else if (args[0] == "remove") {
    o.action = IndexOptions::Action::Remove;
  } else if (args[0] != "list") {
    return fail("unknown index action: " + args[0] + " (add, list or remove)");
  }
  const bool adding = o.action == IndexOptions::Action::Add;
  auto read = read_arguments(
      args.subspan(1),
      {.unknown_option = "unknown index " + args[0] + " option: ",
       .max_paths = o.action == IndexOptions::Action::List ? 1 : args.size(),
       .dash_is_path = false},
      [&](const std::string& a, std::size_t& i) -> Result<bool> {
        if (!adding) return false;
        if (a != "--recursive") {
          return read_pinned_key_option(args.subspan(1), i, o.nvr_pubkey_hex, o.nvr_pubkeys_files);
        }
        o.recursive = true;
        return true;
      });
  if (!read) return fail(read.error());
  if (read->paths.empty()) return fail("missing index path");
  if (read->paths.size() == 1 && o.action != IndexOptions::Action::List) {
    return fail(adding ? "missing evidence path" : "missing manifest SHA-256");
  }
  o.index = read->paths[0];
  o.arguments.assign(read->paths.begin() + 1, read->paths.end());
  o.output_given = read->output.has_value();
  o.output = read->output.value_or(o.output);
  return o;
}

Result<SearchOptions> parse_search_options(Args args) {
  SearchOptions o;
  auto read = read_arguments(
      args,
      {.unknown_option = "unknown search option: ",
       .max_paths = args.size(),
       .dash_is_path = false},
      [&](const std::string& a, std::size_t& i) -> Result<bool> {
        if (a == "--fps") return store(option_value(args, i, a, parse_fps), o.fps);
        if (a == "--max-distance") {
          return store(option_value(args, i, a, parse_max_distance), o.max_distance);
        }
        if (a == "--top") return store(option_value(args, i, a, parse_top), o.top);
        return false;
      });
  if (!read) return fail(read.error());
  if (read->paths.empty()) return fail("missing index path");
  if (read->paths.size() == 1) return fail("missing candidate path");
  o.candidate = read->paths.back();
  o.indexes.assign(read->paths.begin(), read->paths.end() - 1);
  o.output = read->output.value_or(o.output);
  return o;
}

Result<HashOptions> parse_hash_options(Args args) {
  HashOptions o;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--format") {
      auto format = option_value(args, i, a, parse_hash_format);
      if (!format) return fail(format.error());
      o.format = *format;
    } else if (a == "--progress") {
      o.progress = true;
    } else {
      return fail("unknown hash option: " + a);
    }
  }
  return o;
}
