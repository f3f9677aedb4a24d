// Pinned keys are compared as uncompressed points, so the same key pinned in
// one encoding matches an envelope that carries it in another.

#include "evidence/pinned_keys.h"

#include <algorithm>
#include <string_view>

#include "encoding/hex.h"
#include "encoding/text.h"
#include "evidence/public_key.h"
#include "fileio/fileio.h"

namespace {

// A file of public keys is text of a few hundred bytes a key; anything far
// larger is not one, and is refused before it fills memory.
constexpr std::size_t kMaxKeysFileBytes = 1024 * 1024;

Result<std::array<std::uint8_t, 65>> decode_pinned_key(std::string_view text,
                                                       const std::string& where) {
  auto bytes = hex_decode(text);
  if (!bytes) return fail(where + ": " + bytes.error());
  auto point = decode_public_key(*bytes);
  if (!point) {
    return fail(where + ": not a P-256 public key (SEC1 point or SubjectPublicKeyInfo in hex)");
  }
  return *point;
}

Result<std::vector<std::array<std::uint8_t, 65>>> read_keys_file(const std::string& path) {
  auto bytes = read_input(InputSource::file(path), "public keys", kMaxKeysFileBytes);
  if (!bytes) return fail(bytes.error());
  std::string_view text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
  if (!is_valid_utf8(text)) return fail("read " + path + ": stream did not contain valid UTF-8");
  std::vector<std::array<std::uint8_t, 65>> keys;
  for (std::size_t number = 1; !text.empty(); ++number) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    line = trim_unicode_whitespace(line.substr(0, line.find('#')));
    if (line.empty()) continue;
    auto key = decode_pinned_key(line, path + " line " + std::to_string(number));
    if (!key) return fail(key.error());
    keys.push_back(*key);
  }
  if (keys.empty()) return fail(path + ": no public keys in the file");
  return keys;
}

}  // namespace

Result<PinnedKeys> PinnedKeys::load(std::span<const std::string> hex_keys,
                                    std::span<const std::string> files) {
  PinnedKeys pinned;
  for (const std::string& text : hex_keys) {
    auto key = decode_pinned_key(text, "--nvr-pubkey-hex " + text);
    if (!key) return fail(key.error());
    pinned.keys_.push_back(*key);
  }
  for (const std::string& path : files) {
    auto keys = read_keys_file(path);
    if (!keys) return fail(keys.error());
    pinned.keys_.insert(pinned.keys_.end(), keys->begin(), keys->end());
  }
  return pinned;
}

bool PinnedKeys::contains(std::span<const std::uint8_t> public_key) const {
  auto point = decode_public_key(public_key);
  return point && std::find(keys_.begin(), keys_.end(), *point) != keys_.end();
}
