// The evidence manifest in CBOR. The encoder writes the members in one fixed
// order (not key-sorted) so the signed bytes never change between versions of
// the writer; the decoder takes keys in any order, as any CBOR writer may
// produce them, and then checks the values in a fixed order.

#include "evidence/manifest.h"

#include <pdq/pdq.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <set>

#include "encoding/text.h"
#include "evidence/cbor.h"
#include "evidence/request.h"

EvidenceSampler video_sampler() {
  const std::string side = std::to_string(pdq::kFrameSide);
  return {"vpdq_sampler_v1", side + "x" + side + "_bilinear", "pdq_256"};
}

namespace {

std::unexpected<std::string> missing_field(std::string_view name) {
  return fail("missing field `" + std::string(name) + "`");
}

std::unexpected<std::string> duplicate_field(std::string_view name) {
  // A byte-string key need not be text; the message must be.
  return fail("duplicate field `" + to_lossy_utf8(name) + "`");
}

enum Member {
  kV,
  kPurpose,
  kCameraId,
  kNvrDeviceId,
  kNvrKeyId,
  kSourceHashScopeKey,
  kSourceSha256,
  kSourceSize,
  kPhashesHex,
  kFps,
  kSampler,
  kSignedAtMs,
  kMemberCount
};

constexpr std::array<std::string_view, kMemberCount> kKeys = {"v",
                                                              "purpose",
                                                              "camera_id",
                                                              "nvr_device_id",
                                                              "nvr_key_id",
                                                              "source_hash_scope",
                                                              "source_sha256",
                                                              "source_size",
                                                              "phashes_hex",
                                                              "fps",
                                                              "sampler",
                                                              "signed_at_ms"};

constexpr std::array<Member, 8> kRequired = {
    kV,          kPurpose,   kNvrDeviceId, kNvrKeyId, kSourceHashScopeKey, kSourceSha256,
    kSourceSize, kSignedAtMs};

std::string field(std::string_view name) { return "field `" + std::string(name) + "`"; }

// 64 hex digits of either case: what check_pdq_hash_text accepts, decided
// with one table lookup a byte.
bool is_pdq_hash_text(std::string_view text) {
  static constexpr std::array<bool, 256> kHex = [] {
    std::array<bool, 256> hex{};
    for (char c : std::string_view("0123456789abcdefABCDEF")) hex[static_cast<std::uint8_t>(c)] = true;
    return hex;
  }();
  if (text.size() != 64) return false;
  bool all = true;
  for (char c : text) all &= kHex[static_cast<std::uint8_t>(c)];
  return all;
}

// The keys of one map, remembered so a repeated key is refused, known or not.
using KeySet = std::set<std::string, std::less<>>;

// Walks the entries of the map just entered, refusing repeated keys, and has
// `read_value` consume each value. Returns the keys seen.
template <class ReadValue>
Result<KeySet> read_map_entries(CborReader& reader, CborContainer& map, ReadValue read_value) {
  KeySet keys;
  for (;;) {
    auto more = reader.has_next(map);
    if (!more) return std::unexpected(more.error());
    if (!*more) return keys;
    auto key = reader.read_key();
    if (!key) return std::unexpected(key.error());
    if (!keys.insert(*key).second) return duplicate_field(*key);
    if (auto read = read_value(*key); !read) return std::unexpected(read.error());
  }
}

// Assigns a read value to its member, or passes the fault on.
template <class T, class U>
Result<void> assign(Result<T> value, U& member) {
  if (!value) return std::unexpected(value.error());
  member = std::move(*value);
  return {};
}

Result<EvidenceSampler> read_sampler(CborReader& reader) {
  auto map = reader.enter_map(field("sampler"));
  if (!map) return std::unexpected(map.error());
  EvidenceSampler sampler;
  auto keys = read_map_entries(reader, *map, [&](const std::string& key) -> Result<void> {
    std::string* target = key == "algorithm" ? &sampler.algorithm
                          : key == "resize"  ? &sampler.resize
                          : key == "hash"    ? &sampler.hash
                                             : nullptr;
    if (target == nullptr) return reader.skip();
    return assign(reader.read_text(field(key)), *target);
  });
  if (!keys) return std::unexpected(keys.error());
  for (std::string_view name : {"algorithm", "resize", "hash"}) {
    if (!keys->contains(name)) return missing_field(name);
  }
  return sampler;
}

Result<std::vector<std::string>> read_text_list(CborReader& reader, std::string_view name) {
  auto array = reader.enter_array(field(name));
  if (!array) return std::unexpected(array.error());
  std::vector<std::string> list;  // grows with the input, never from a declared count
  // Built once: an array of a million empty texts must not cost a million
  // allocations for a name that only a fault would show.
  const std::string entry = "entry of " + field(name);
  for (;;) {
    auto more = reader.has_next(*array);
    if (!more) return std::unexpected(more.error());
    if (!*more) return list;
    auto text = reader.read_text(entry);
    if (!text) return std::unexpected(text.error());
    list.push_back(std::move(*text));
  }
}

Result<void> read_optional_member(CborReader& reader, Member member, EvidenceManifest& m) {
  auto absent = reader.skip_if_absent();
  if (!absent) return std::unexpected(absent.error());
  if (*absent) return {};
  const std::string what = field(kKeys[member]);
  switch (member) {
    case kCameraId:
      return assign(reader.read_text(what), m.camera_id);
    case kPhashesHex:
      return assign(read_text_list(reader, kKeys[member]), m.phashes_hex);
    case kFps:
      return assign(reader.read_float(what), m.fps);
    default:
      return assign(read_sampler(reader), m.sampler);
  }
}

Result<void> read_member(CborReader& reader, Member member, EvidenceManifest& m) {
  const std::string what = field(kKeys[member]);
  switch (member) {
    case kV:
      return assign(reader.read_unsigned(what, std::numeric_limits<std::uint32_t>::max()), m.v);
    case kPurpose:
      return assign(reader.read_text(what), m.purpose);
    case kNvrDeviceId:
      return assign(reader.read_text(what), m.nvr_device_id);
    case kNvrKeyId:
      return assign(reader.read_text(what), m.nvr_key_id);
    case kSourceHashScopeKey:
      return assign(reader.read_text(what), m.source_hash_scope);
    case kSourceSha256:
      return assign(reader.read_bytes(what), m.source_sha256);
    case kSourceSize:
      return assign(reader.read_unsigned(what, std::numeric_limits<std::uint64_t>::max()),
                    m.source_size);
    case kSignedAtMs:
      return assign(reader.read_signed(what), m.signed_at_ms);
    default:
      return read_optional_member(reader, member, m);
  }
}

// The CBOR layer: structure, types, repeated and missing keys.
Result<EvidenceManifest> parse_manifest(std::span<const std::uint8_t> bytes) {
  CborReader reader(bytes);
  auto map = reader.enter_map("manifest");
  if (!map) return std::unexpected(map.error());
  EvidenceManifest manifest;
  auto keys = read_map_entries(reader, *map, [&](const std::string& key) -> Result<void> {
    const auto* known = std::find(kKeys.begin(), kKeys.end(), key);
    if (known == kKeys.end()) return reader.skip();
    return read_member(reader, static_cast<Member>(known - kKeys.begin()), manifest);
  });
  if (!keys) return std::unexpected(keys.error());
  for (Member member : kRequired) {
    if (!keys->contains(kKeys[member])) return missing_field(kKeys[member]);
  }
  return manifest;
}

Result<void> validate_manifest(const EvidenceManifest& m) {
  if (m.v != 1) return fail("unsupported manifest version: " + std::to_string(m.v));
  if (m.purpose != kVideoManifestPurpose) return fail("unsupported manifest purpose: " + m.purpose);
  if (auto ok = check_source_hash_scope(m.source_hash_scope); !ok) return fail(ok.error());
  if (trim_unicode_whitespace(m.nvr_device_id).empty()) {
    return fail("nvr_device_id must be present and non-empty");
  }
  if (trim_unicode_whitespace(m.nvr_key_id).empty()) {
    return fail("nvr_key_id must be present and non-empty");
  }
  if (m.source_sha256.size() != 32) {
    return fail("source_sha256 must be 32 bytes, got " + std::to_string(m.source_sha256.size()));
  }
  if (auto ok = check_source_size(m.source_size); !ok) return fail(ok.error());
  if (m.fps && !(*m.fps > 0 && std::isfinite(*m.fps))) {
    return fail("manifest fps must be positive when present");
  }
  if (m.phashes_hex) {
    for (std::size_t i = 0; i < m.phashes_hex->size(); ++i) {
      // The common case decided here; the check and its words are the request's.
      if (is_pdq_hash_text((*m.phashes_hex)[i])) continue;
      auto checked = check_pdq_hash_text((*m.phashes_hex)[i]);
      if (!checked) return fail("phashes_hex[" + std::to_string(i) + "]: " + checked.error());
    }
  }
  return {};
}

}  // namespace

std::vector<std::uint8_t> encode_manifest(const EvidenceManifest& m) {
  CborWriter w;
  w.map_head(8 + m.camera_id.has_value() + m.phashes_hex.has_value() + m.fps.has_value() +
             m.sampler.has_value());
  w.text("v");
  w.unsigned_int(m.v);
  w.text("purpose");
  w.text(m.purpose);
  if (m.camera_id) {
    w.text("camera_id");
    w.text(*m.camera_id);
  }
  w.text("nvr_device_id");
  w.text(m.nvr_device_id);
  w.text("nvr_key_id");
  w.text(m.nvr_key_id);
  w.text("source_hash_scope");
  w.text(m.source_hash_scope);
  w.text("source_sha256");
  w.bytes(m.source_sha256);
  w.text("source_size");
  w.unsigned_int(m.source_size);
  if (m.phashes_hex) {
    w.text("phashes_hex");
    w.array_head(m.phashes_hex->size());
    for (const std::string& hash : *m.phashes_hex) w.text(hash);
  }
  if (m.fps) {
    w.text("fps");
    w.float_shortest(*m.fps);
  }
  if (m.sampler) {
    w.text("sampler");
    w.map_head(3);
    w.text("algorithm");
    w.text(m.sampler->algorithm);
    w.text("resize");
    w.text(m.sampler->resize);
    w.text("hash");
    w.text(m.sampler->hash);
  }
  w.text("signed_at_ms");
  w.signed_int(m.signed_at_ms);
  return w.take();
}

Result<EvidenceManifest> decode_manifest(std::span<const std::uint8_t> bytes) {
  auto manifest = parse_manifest(bytes);
  if (!manifest) return fail("parse manifest CBOR: " + manifest.error());
  if (auto valid = validate_manifest(*manifest); !valid) return std::unexpected(valid.error());
  return manifest;
}
