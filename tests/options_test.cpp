// The option parsers: every message, the defaults, and the number grammars.

#include "commands/options.h"
#include "test_util.h"
#include "encoding/decimal.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>
#include <initializer_list>
#include <limits>
#include <string>
#include <vector>

namespace {

using Args = std::vector<std::string>;

struct ErrorCase {
  std::string_view name;
  Args args;
  std::string_view error;
};

// Sets or unsets VORLANT_VERIFY_FPS for one test.
struct FpsEnv : test_util::ScopedEnv {
  explicit FpsEnv(const char* value) : ScopedEnv("VORLANT_VERIFY_FPS", value) {}
};

template <class Parse>
void expect_errors(std::initializer_list<ErrorCase> cases, Parse parse) {
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = parse(c.args);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), c.error);
  }
}

TEST(ParseNumbers, Integers) {
  struct Case {
    std::string_view text;
    std::optional<std::uint32_t> u32;
    std::string_view u32_error;
    std::optional<std::int64_t> i64;
    std::string_view i64_error;
  };
  constexpr std::string_view kEmpty = "cannot parse integer from empty string";
  constexpr std::string_view kDigit = "invalid digit found in string";
  constexpr std::string_view kLarge = "number too large to fit in target type";
  constexpr std::string_view kSmall = "number too small to fit in target type";
  const Case kCases[] = {
      {"0", 0, "", 0, ""},
      {"+5", 5, "", 5, ""},
      {"007", 7, "", 7, ""},
      {"4294967295", 4294967295u, "", 4294967295, ""},
      {"4294967296", {}, kLarge, 4294967296, ""},
      {"-1", {}, kDigit, -1, ""},
      {"9223372036854775807", {}, kLarge, std::numeric_limits<std::int64_t>::max(), ""},
      {"-9223372036854775808", {}, kDigit, std::numeric_limits<std::int64_t>::min(), ""},
      {"9223372036854775808", {}, kLarge, {}, kLarge},
      {"-9223372036854775809", {}, kDigit, {}, kSmall},
      {"", {}, kEmpty, {}, kEmpty},
      {"+", {}, kDigit, {}, kDigit},
      {"-", {}, kDigit, {}, kDigit},
      {"12a", {}, kDigit, {}, kDigit},
      {" 1", {}, kDigit, {}, kDigit},
      {"1 ", {}, kDigit, {}, kDigit},
      {"+-1", {}, kDigit, {}, kDigit},
      {"0x10", {}, kDigit, {}, kDigit},
      {"\xD9\xA1", {}, kDigit, {}, kDigit},  // an Arabic-Indic one is not a decimal digit here
      // Digits are read left to right: the overflow comes before the stray letter.
      {"99999999999999999999x", {}, kLarge, {}, kLarge},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.text);
    auto u = parse_u32(c.text);
    if (c.u32) {
      EXPECT_EQ(u.value(), *c.u32);
    } else {
      EXPECT_EQ(u.error(), c.u32_error);
    }
    auto s = parse_i64(c.text);
    if (c.i64) {
      EXPECT_EQ(s.value(), *c.i64);
    } else {
      EXPECT_EQ(s.error(), c.i64_error);
    }
  }
}

TEST(ParseNumbers, DoublesAcceptThePlainDecimalGrammar) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  struct Case {
    std::string_view text;
    double value;
  };
  const Case kCases[] = {
      {"2", 2.0},      {"+2.5", 2.5},      {"-0.25", -0.25},     {"1.", 1.0},
      {".5", 0.5},     {"1e1", 10.0},      {"1E+2", 100.0},      {"25e-1", 2.5},
      {"1.e1", 10.0},  {"inf", kInf},      {"-Infinity", -kInf}, {"+INF", kInf},
      {"1e400", kInf}, {"-1e400", -kInf},  {"1e-400", 0.0},      {"4.9e-324", 4.9e-324},
      {"0.1", 0.1},    {"1e-300", 1e-300},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.text);
    auto r = parse_double(c.text);
    ASSERT_TRUE(r.has_value()) << r.error();
    EXPECT_EQ(*r, c.value);
  }
  EXPECT_TRUE(std::isnan(parse_double("nan").value()));
  EXPECT_TRUE(std::isnan(parse_double("-NaN").value()));
}

TEST(ParseNumbers, DoublesRefuseEverythingElse) {
  EXPECT_EQ(parse_double("").error(), "cannot parse float from empty string");
  for (std::string_view text : {"2x",  " 2",   "2 ",    ".",    "+",       "-",           "e5",
                                "1e",  "1e+",  "0x1p3", "0x10", "infinit", "nan(1)",      "in f",
                                "1,5", "1..2", "1.2.3", "--1",  "+-1",     "\xEF\xBC\x91"}) {
    SCOPED_TRACE(text);
    auto r = parse_double(text);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), "invalid float literal");
  }
}

TEST(ParseFps, RefusesWhatIsNotAPositiveFiniteRate) {
  struct Case {
    std::string_view text, error;
  };
  constexpr Case kCases[] = {
      {"0", "invalid fps 0: must be positive"},
      {"-0", "invalid fps -0: must be positive"},
      {"-1", "invalid fps -1: must be positive"},
      {"inf", "invalid fps inf: must be positive"},
      {"nan", "invalid fps nan: must be positive"},
      {"1e-400", "invalid fps 1e-400: must be positive"},
      {"2x", "invalid fps 2x: invalid float literal"},
      {"", "invalid fps : cannot parse float from empty string"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parse_fps(c.text).error(), c.error);
  }
  EXPECT_EQ(parse_fps("1e-300").value(), 1e-300);
  EXPECT_EQ(parse_fps("29.97").value(), 29.97);
}

TEST(ParseOutputTarget, DashNoneAndPaths) {
  EXPECT_EQ(parse_output_target("-")->kind, OutputTarget::Kind::Stdout);
  EXPECT_EQ(parse_output_target("none").error(), "none is not valid here");
  EXPECT_EQ(parse_output_target("")->kind, OutputTarget::Kind::Path);
  EXPECT_EQ(parse_output_target("NONE")->path, "NONE");
}

TEST(PrepareOptions, Errors) {
  FpsEnv env(nullptr);
  expect_errors(
      {
          {"nothing", {}, "missing input path"},
          {"lone dash", {"-"}, "unknown prepare-attestation option: -"},
          {"double dash, no path", {"--"}, "missing input path"},
          {"second double dash is a path", {"--", "a", "--"}, "unexpected extra path argument: --"},
          {"joined value", {"a", "--fps=2"}, "unknown prepare-attestation option: --fps=2"},
          {"second path", {"a", "b"}, "unexpected extra path argument: b"},
          {"output none", {"a", "--output", "none"}, "none is not valid here"},
          {"-o missing", {"a", "-o"}, "--output requires a value"},
          {"--out missing", {"a", "--out"}, "--output requires a value"},
          {"--name missing", {"a", "--name"}, "--name requires a value"},
          {"--fps missing", {"a", "--fps"}, "--fps requires a value"},
          {"--pdq-hashes missing", {"a", "--pdq-hashes"}, "--pdq-hashes requires a value"},
          {"bad fps", {"a", "--fps", "2x"}, "invalid fps 2x: invalid float literal"},
          // The first error ends parsing, before the missing input is noticed.
          {"first error wins", {"--fps", "0", "--bogus"}, "invalid fps 0: must be positive"},
      },
      parse_prepare_options);
}

TEST(PrepareOptions, DefaultsAndValues) {
  FpsEnv env(nullptr);
  auto o = parse_prepare_options(Args{"/videos/clip.mp4"}).value();
  EXPECT_EQ(o.input, "/videos/clip.mp4");
  EXPECT_EQ(o.name, "clip.mp4");
  EXPECT_FALSE(o.with_pdq);
  EXPECT_EQ(o.fps, 2.0);
  EXPECT_FALSE(o.pdq_hashes.has_value());
  EXPECT_EQ(o.output.kind, OutputTarget::Kind::Stdout);

  o = parse_prepare_options(Args{"--name", "--with-pdq", "in.mp4", "--out", "r.json", "-o", "-"})
          .value();
  EXPECT_EQ(o.name, "--with-pdq");
  EXPECT_FALSE(o.with_pdq);
  EXPECT_EQ(o.output.kind, OutputTarget::Kind::Stdout);  // the last value wins

  o = parse_prepare_options(Args{"in.mp4", "--pdq-hashes", "-", "--output", "r.json"}).value();
  EXPECT_TRUE(o.with_pdq);
  EXPECT_TRUE(o.pdq_hashes->is_stdin());
  EXPECT_EQ(o.output.path, "r.json");

  o = parse_prepare_options(Args{"in.mp4", "--pdq-hashes", "h.txt", "--fps", "1e-300"}).value();
  EXPECT_EQ(o.pdq_hashes->path, "h.txt");
  EXPECT_EQ(o.fps, 1e-300);
  EXPECT_TRUE(o.with_pdq);
}

TEST(PrepareOptions, NameFromThePathsLastComponent) {
  FpsEnv env(nullptr);
  struct Case {
    std::string_view input, name;
  };
  constexpr Case kCases[] = {
      {"clip.mp4", "clip.mp4"},
      {"/videos/clip.mp4", "clip.mp4"},
      {"a/b/", "b"},
      {"a//b", "b"},
      {"a/.", "a"},
      {"./x.mp4", "x.mp4"},
      {"/", "/"},
      {"..", ".."},
      {"a/..", "a/.."},
      {".", "."},
      {"./", "./"},
      {"", ""},
      {"dir/\xFF.mp4", "\xEF\xBF\xBD.mp4"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(parse_prepare_options(Args{std::string(c.input)}).value().name, c.name);
  }
}

TEST(PrepareOptions, FrameRateFromTheEnvironmentOnlyWithPdq) {
  {
    FpsEnv env("abc");
    // Not read without PDQ hashing.
    EXPECT_TRUE(parse_prepare_options(Args{"a.mp4"}).has_value());
    // Read and checked whenever PDQ hashing is on, even when --fps is given.
    for (Args args : {Args{"a.mp4", "--with-pdq"}, Args{"a.mp4", "--fps", "5"},
                      Args{"a.mp4", "--pdq-hashes", "h"}}) {
      EXPECT_EQ(parse_prepare_options(args).error(), "invalid fps abc: invalid float literal");
    }
  }
  {
    FpsEnv env("7.5");
    EXPECT_EQ(parse_prepare_options(Args{"a.mp4"})->fps, 2.0);
    EXPECT_EQ(parse_prepare_options(Args{"a.mp4", "--with-pdq"})->fps, 7.5);
    EXPECT_EQ(parse_prepare_options(Args{"a.mp4", "--fps", "5"})->fps, 5.0);
  }
  {
    FpsEnv env("\xFF");  // not text: ignored
    EXPECT_EQ(parse_prepare_options(Args{"a.mp4", "--with-pdq"})->fps, 2.0);
  }
  {
    FpsEnv env("0");
    EXPECT_EQ(parse_prepare_options(Args{"a.mp4", "--with-pdq"}).error(),
              "invalid fps 0: must be positive");
  }
}

Result<SignOptions> parse_sign(const Args& args) {
  return parse_sign_options(args, "sign-attestation", "attestation request");
}

TEST(SignOptions, Errors) {
  expect_errors(
      {
          {"nothing", {}, "missing attestation request path"},
          {"dash twice", {"-", "-"}, "unexpected extra path argument: -"},
          {"path then dash", {"r.json", "-"}, "unexpected extra path argument: -"},
          {"only input", {"r.json"}, "--nvr-device-id is required"},
          {"no key id", {"r.json", "--nvr-device-id", "d"}, "--nvr-key-id is required"},
          {"no key",
           {"r.json", "--nvr-device-id", "d", "--nvr-key-id", "k"},
           "--nvr-private-key-file or --nvr-private-key-hex is required"},
          {"unknown", {"r.json", "--nvr-key"}, "unknown sign-attestation option: --nvr-key"},
          {"double dash, no path", {"--"}, "missing attestation request path"},
          {"signed-at-ms missing", {"r.json", "--signed-at-ms"}, "missing --signed-at-ms"},
          {"signed-at-ms bad",
           {"r.json", "--signed-at-ms", "12a"},
           "invalid --signed-at-ms: invalid digit found in string"},
          {"signed-at-ms empty",
           {"--signed-at-ms", ""},
           "invalid --signed-at-ms: cannot parse integer from empty string"},
          {"signed-at-ms sign only",
           {"--signed-at-ms", "-"},
           "invalid --signed-at-ms: invalid digit found in string"},
          {"signed-at-ms too small",
           {"--signed-at-ms", "-9223372036854775809"},
           "invalid --signed-at-ms: number too small to fit in target type"},
          {"signed-at-ms too large",
           {"--signed-at-ms", "9223372036854775808"},
           "invalid --signed-at-ms: number too large to fit in target type"},
          {"output none", {"--output", "none"}, "none is not valid here"},
          {"-o missing", {"-o"}, "--output requires a value"},
          {"device missing", {"--nvr-device-id"}, "--nvr-device-id requires a value"},
          {"key id missing", {"--nvr-key-id"}, "--nvr-key-id requires a value"},
          {"key hex missing", {"--nvr-private-key-hex"}, "--nvr-private-key-hex requires a value"},
          {"key file missing",
           {"--nvr-private-key-file"},
           "--nvr-private-key-file requires a value"},
          {"pubkey missing", {"--nvr-pubkey-hex"}, "--nvr-pubkey-hex requires a value"},
      },
      parse_sign);
  auto zip = parse_sign_options(Args{"--bogus"}, "sign-zip-manifest", "zip manifest request");
  EXPECT_EQ(zip.error(), "unknown sign-zip-manifest option: --bogus");
  zip = parse_sign_options(Args{}, "sign-zip-manifest", "zip manifest request");
  EXPECT_EQ(zip.error(), "missing zip manifest request path");
}

TEST(SignOptions, Values) {
  auto o = parse_sign(Args{"-", "--nvr-device-id", "", "--nvr-key-id", "k1",
                           "--nvr-private-key-hex", "00", "--nvr-private-key-file", "key.txt",
                           "--signed-at-ms", "-5", "--nvr-pubkey-hex", "04ab", "--out", "e.json"})
               .value();
  EXPECT_TRUE(o.input.is_stdin());
  EXPECT_EQ(o.nvr_device_id, "");
  EXPECT_EQ(o.nvr_key_id, "k1");
  EXPECT_EQ(o.key.kind, KeySource::Kind::File);  // the later of the two key options wins
  EXPECT_EQ(o.key.value, "key.txt");
  EXPECT_EQ(o.signed_at_ms, -5);
  EXPECT_EQ(o.nvr_pubkey_hex, "04ab");
  EXPECT_EQ(o.output.path, "e.json");

  o = parse_sign(Args{"", "--nvr-device-id", "d", "--nvr-key-id", "k", "--nvr-private-key-file",
                      "f", "--nvr-private-key-hex", "--output"})
          .value();
  EXPECT_EQ(o.input.kind, InputSource::Kind::Path);
  EXPECT_EQ(o.input.path, "");
  EXPECT_EQ(o.key.kind, KeySource::Kind::Hex);
  EXPECT_EQ(o.key.value, "--output");
  EXPECT_FALSE(o.signed_at_ms.has_value());
  EXPECT_FALSE(o.nvr_pubkey_hex.has_value());
  EXPECT_EQ(o.output.kind, OutputTarget::Kind::Stdout);
}

TEST(EmbedOptions, Errors) {
  expect_errors(
      {
          {"nothing", {}, "missing input path"},
          {"four positionals", {"a", "b", "c", "d"}, "unexpected extra path argument: d"},
          {"--out is unknown here", {"a", "--out", "x"}, "unknown embed-evidence option: --out"},
          {"fourth path after double dash",
           {"a", "--", "b", "c", "-d"},
           "unexpected extra path argument: -d"},
          {"summary to stdout",
           {"a", "--summary", "-"},
           "--summary - cannot be used when media output is stdout"},
          {"summary to stdout, output dash",
           {"a", "--summary", "-", "e.json", "-"},
           "--summary - cannot be used when media output is stdout"},
          {"--output missing", {"a", "--output"}, "--output requires a value"},
          {"--summary missing", {"a", "--summary"}, "--summary requires a value"},
      },
      parse_embed_options);
}

TEST(EmbedOptions, Values) {
  auto o = parse_embed_options(Args{"-"}).value();
  EXPECT_EQ(o.input, "-");
  EXPECT_TRUE(o.envelope.is_stdin());
  EXPECT_EQ(o.output.kind, OutputTarget::Kind::Stdout);
  EXPECT_EQ(o.summary.kind, OutputTarget::Kind::Discard);

  o = parse_embed_options(Args{"in.mp4", "--summary", "-", "--output", "none"}).value();
  EXPECT_EQ(o.output.kind, OutputTarget::Kind::Path);
  EXPECT_EQ(o.output.path, "none");
  EXPECT_EQ(o.summary.kind, OutputTarget::Kind::Stdout);

  // The third positional replaces an earlier --output and is replaced by a later one.
  o = parse_embed_options(Args{"in.mp4", "-o", "x.mp4", "env.json", "y.mp4", "--summary", "s.json"})
          .value();
  EXPECT_EQ(o.envelope.path, "env.json");
  EXPECT_EQ(o.output.path, "y.mp4");
  EXPECT_EQ(o.summary.path, "s.json");
  o = parse_embed_options(Args{"in.mp4", "-", "y.mp4", "--output", "z.mp4", "--summary", "none"})
          .value();
  EXPECT_TRUE(o.envelope.is_stdin());
  EXPECT_EQ(o.output.path, "z.mp4");
  EXPECT_EQ(o.summary.kind, OutputTarget::Kind::Discard);
  o = parse_embed_options(Args{"in.mp4", "-", "-"}).value();
  EXPECT_EQ(o.output.kind, OutputTarget::Kind::Stdout);
}

TEST(VerifyOptions, ErrorsAndValues) {
  expect_errors(
      {
          {"nothing", {}, "missing input path"},
          {"lone dash", {"-"}, "unknown option: -"},
          {"unknown", {"a", "--name", "x"}, "unknown option: --name"},
          {"second path", {"a", ""}, "unexpected extra path argument: "},
          {"output none", {"a", "-o", "none"}, "none is not valid here"},
          {"--out missing", {"a", "--out"}, "--output requires a value"},
          {"--fps missing", {"a", "--fps"}, "--fps requires a value"},
          {"bad fps", {"a", "--fps", "nan"}, "invalid fps nan: must be positive"},
      },
      parse_verify_options);
  auto o = parse_verify_options(Args{"--fps", "3", "", "--output", "r.json"}).value();
  EXPECT_EQ(o.input, "");
  EXPECT_EQ(o.output.path, "r.json");
  EXPECT_EQ(parse_verify_options(Args{"a"})->output.kind, OutputTarget::Kind::Stdout);
}

// After "--" every argument is a path, even one spelled like an option; an
// option's value may itself be "--".
TEST(EndOfOptions, LaterArgumentsArePaths) {
  FpsEnv env(nullptr);
  EXPECT_EQ(parse_prepare_options(Args{"--fps", "5", "--", "--output"})->input, "--output");
  EXPECT_EQ(parse_sign(Args{"--nvr-device-id", "d", "--nvr-key-id", "k", "--nvr-private-key-hex",
                            "0", "--", "-r.json"})
                ->input.path,
            "-r.json");
  auto e = parse_embed_options(Args{"--", "-in.mp4", "-", "-out.mp4"}).value();
  EXPECT_EQ(e.input, "-in.mp4");
  EXPECT_TRUE(e.envelope.is_stdin());
  EXPECT_EQ(e.output.path, "-out.mp4");
  auto v = parse_verify_options(Args{"-o", "--", "--", "-v.mp4"}).value();
  EXPECT_EQ(v.output.path, "--");
  EXPECT_EQ(v.input, "-v.mp4");
}

TEST(MatchOptions, ErrorsAndValues) {
  expect_errors(
      {
          {"nothing", {}, "missing candidate path"},
          {"no evidence", {"c.mp4"}, "missing evidence path"},
          {"third path", {"c.mp4", "e.mp4", "x"}, "unexpected extra path argument: x"},
          {"unknown", {"c.mp4", "e.mp4", "--name"}, "unknown match option: --name"},
          {"over 256",
           {"--max-distance", "257"},
           "invalid --max-distance 257: must be a whole number from 0 to 256"},
          {"negative",
           {"--max-distance", "-1"},
           "invalid --max-distance -1: must be a whole number from 0 to 256"},
          {"no distance", {"--max-distance"}, "--max-distance requires a value"},
      },
      parse_match_options);
  FpsEnv env("7");  // not read: the signed rate is the default
  auto o = parse_match_options(Args{"c.mp4", "-"}).value();
  EXPECT_TRUE(o.evidence.is_stdin());
  EXPECT_FALSE(o.fps.has_value());
  EXPECT_EQ(o.max_distance, 31u);
  o = parse_match_options(Args{"--max-distance", "256", "--nvr-pubkey-hex", "k1", "--fps", "4",
                               "--nvr-pubkeys-file", "f", "--nvr-pubkey-hex", "k2", "--", "-c.mp4",
                               "--fps"})
          .value();
  EXPECT_EQ(o.candidate, "-c.mp4");
  EXPECT_EQ(o.evidence.path, "--fps");
  EXPECT_EQ(o.fps, 4.0);
  EXPECT_EQ(o.max_distance, 256u);
  EXPECT_EQ(o.nvr_pubkey_hex, (std::vector<std::string>{"k1", "k2"}));
  EXPECT_EQ(o.nvr_pubkeys_files, std::vector<std::string>{"f"});
}

TEST(AuditOptions, ErrorsAndValues) {
  expect_errors(
      {
          {"nothing", {}, "missing input path"},
          {"lone dash", {"-"}, "unknown audit option: -"},
          {"resume onto stdout", {"a", "--resume"}, "--resume needs --output PATH"},
          {"no jobs", {"a", "--jobs", "0"}, "invalid --jobs 0: must be a whole number from 1 up"},
          {"shard past the count",
           {"a", "--shard", "4/3"},
           "invalid --shard 4/3: must be K/N with 1 <= K <= N"},
          {"shard without count",
           {"a", "--shard", "2"},
           "invalid --shard 2: must be K/N with 1 <= K <= N"},
      },
      parse_audit_options);
  auto o = parse_audit_options(Args{"a", "--recursive", "b", "--shard", "2/5", "--jobs", "3",
                                    "--nvr-pubkey-hex", "k", "--resume", "-o", "out.jsonl", "--",
                                    "-c", "--jobs"})
               .value();
  EXPECT_EQ(o.paths, (std::vector<std::string>{"a", "b", "-c", "--jobs"}));
  EXPECT_TRUE(o.recursive && o.resume);
  EXPECT_EQ(o.shard.index, 2u);
  EXPECT_EQ(o.shard.count, 5u);
  EXPECT_EQ(o.jobs, 3u);
  EXPECT_EQ(o.output.path, "out.jsonl");
  EXPECT_EQ(o.nvr_pubkey_hex, std::vector<std::string>{"k"});
  EXPECT_FALSE(parse_audit_options(Args{"a"})->jobs.has_value());
}

TEST(HashOptions, ErrorsAndValues) {
  expect_errors(
      {
          {"upper-case format", {"--format", "HEX"}, "unknown hash format: HEX"},
          {"positional", {"frame.rgba"}, "unknown hash option: frame.rgba"},
          {"dash", {"-"}, "unknown hash option: -"},
          {"--format missing", {"--format"}, "--format requires a value"},
      },
      parse_hash_options);
  auto o = parse_hash_options(Args{}).value();
  EXPECT_EQ(o.format, HashFormat::Hex);
  EXPECT_FALSE(o.progress);
  o = parse_hash_options(Args{"--format", "bits", "--progress", "--format", "jsonl", "--progress"})
          .value();
  EXPECT_EQ(o.format, HashFormat::Jsonl);
  EXPECT_TRUE(o.progress);
  EXPECT_EQ(parse_hash_options(Args{"--format", "bits"})->format, HashFormat::Bits);
}

}  // namespace
