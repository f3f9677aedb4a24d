#pragma once
// The parsed options of every command and the parsers that fill them.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "evidence/nvr_key.h"
#include "fileio/shard.h"
#include "fileio/streams.h"
#include "result.h"

enum class HashFormat { Hex, Bits, Jsonl };

struct PrepareOptions {
  std::string input;
  std::string name;
  bool with_pdq = false;
  double fps = 2.0;
  std::optional<InputSource> pdq_hashes;
  OutputTarget output;
};

struct SignOptions {
  InputSource input;
  OutputTarget output;
  std::string nvr_device_id;
  std::string nvr_key_id;
  KeySource key;
  std::optional<std::string> nvr_pubkey_hex;
  std::optional<std::int64_t> signed_at_ms;
};

struct EmbedOptions {
  std::string input;
  InputSource envelope;
  OutputTarget output;
  OutputTarget summary = OutputTarget::discard();
};

struct VerifyOptions {
  std::string input;
  OutputTarget output;
  std::vector<std::string> nvr_pubkey_hex;     // pinned keys, every one given
  std::vector<std::string> nvr_pubkeys_files;  // files of pinned keys
};

struct MatchOptions {
  std::string candidate;
  InputSource evidence;
  std::optional<double> fps;        // the signed rate when not given
  std::uint32_t max_distance = 31;  // bits of 256
  OutputTarget output;
  std::vector<std::string> nvr_pubkey_hex;     // pinned keys, every one given
  std::vector<std::string> nvr_pubkeys_files;  // files of pinned keys
};

struct AuditOptions {
  std::vector<std::string> paths;  // files, and with `recursive` directories
  bool recursive = false;
  std::optional<unsigned> jobs;  // worker processes; the processors online when not given
  OutputTarget output;
  bool resume = false;  // only with an output path
  Shard shard;
  std::vector<std::string> nvr_pubkey_hex;     // pinned keys, every one given
  std::vector<std::string> nvr_pubkeys_files;  // files of pinned keys
};

struct IndexOptions {
  enum class Action { Add, List, Remove };
  Action action = Action::List;
  std::string index;                   // the index folder
  std::vector<std::string> arguments;  // evidence paths to add, or manifest digests to remove
  bool recursive = false;
  OutputTarget output;  // list's lines; add's only when given
  bool output_given = false;
  std::vector<std::string> nvr_pubkey_hex;     // pinned keys, every one given
  std::vector<std::string> nvr_pubkeys_files;  // files of pinned keys
};

struct SearchOptions {
  std::vector<std::string> indexes;
  std::string candidate;
  std::optional<double> fps;        // the candidate's sampling rate
  std::uint32_t max_distance = 31;  // bits of 256
  std::uint32_t top = 10;           // recordings reported at most
  OutputTarget output;
};

struct HashOptions {
  HashFormat format = HashFormat::Hex;
  bool progress = false;
};

/// "-" is Stdout, "none" fails, anything else (the empty text too) is a Path.
Result<OutputTarget> parse_output_target(std::string_view value);
/// A positive finite frame rate, or "invalid fps ..." as the message.
Result<double> parse_fps(std::string_view text);
/// Each parser takes the arguments after the command word.
Result<PrepareOptions> parse_prepare_options(std::span<const std::string> args);
/// command is "sign-attestation" or "sign-zip-manifest"; kind is "attestation
/// request" or "zip manifest request".
Result<SignOptions> parse_sign_options(std::span<const std::string> args, std::string_view command,
                                       std::string_view kind);
Result<EmbedOptions> parse_embed_options(std::span<const std::string> args);
Result<VerifyOptions> parse_verify_options(std::span<const std::string> args);
/// "--" ends the options: every later argument is a path.
Result<MatchOptions> parse_match_options(std::span<const std::string> args);
/// "--" ends the options: every later argument is a path.
Result<AuditOptions> parse_audit_options(std::span<const std::string> args);
/// args[0] is the action: "add", "list" or "remove".
Result<IndexOptions> parse_index_options(std::span<const std::string> args);
/// The last path is the candidate; the ones before it are indexes.
Result<SearchOptions> parse_search_options(std::span<const std::string> args);
Result<HashOptions> parse_hash_options(std::span<const std::string> args);
