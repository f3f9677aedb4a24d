#include "evidence/manifest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

const std::string kSha(32, '\xab');
const std::string kHash = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789ABCDEF";

std::vector<std::uint8_t> to_bytes(std::string_view s) { return {s.begin(), s.end()}; }
std::string to_text(const std::vector<std::uint8_t>& b) { return {b.begin(), b.end()}; }

EvidenceManifest base_manifest(std::string purpose) {
  EvidenceManifest m;
  m.v = 1;
  m.purpose = std::move(purpose);
  m.nvr_device_id = "nvr-1";
  m.nvr_key_id = "key-1";
  m.source_hash_scope = "original_file_bytes_sha256_v1";
  m.source_sha256 = to_bytes(kSha);
  m.source_size = 23;
  m.signed_at_ms = 0;
  return m;
}

EvidenceManifest video_manifest(std::uint64_t size, double fps, std::int64_t signed_at_ms) {
  EvidenceManifest m = base_manifest("video.evidence.manifest.v1");
  m.source_size = size;
  m.phashes_hex = std::vector<std::string>{kHash};
  m.fps = fps;
  m.sampler = EvidenceSampler{"vpdq_sampler_v1", "512x512_bilinear", "pdq_256"};
  m.signed_at_ms = signed_at_ms;
  return m;
}

// clang-format off
// Byte strings are written as CBOR heads (hex escapes) next to the text they
// announce; the layout below keeps one member per line.
const std::string kIds =
    "\x6d" "nvr_device_id" "\x65" "nvr-1"
    "\x6a" "nvr_key_id" "\x65" "key-1"
    "\x71" "source_hash_scope" "\x78\x1d" "original_file_bytes_sha256_v1"
    "\x6d" "source_sha256" "\x58\x20"s;

const std::string kSampler =
    "\x67" "sampler" "\xa3"
    "\x69" "algorithm" "\x6f" "vpdq_sampler_v1"
    "\x66" "resize" "\x70" "512x512_bilinear"
    "\x64" "hash" "\x67" "pdq_256";

TEST(EncodeManifest, CaseManifestIsEightMembersInFixedOrder) {
  const std::string expected =
      "\xa8" "\x61" "v" "\x01"
      "\x67" "purpose" "\x78\x19" "case.evidence.manifest.v1"s +
      kIds + kSha +
      "\x6b" "source_size" "\x17"
      "\x6c" "signed_at_ms" "\x00"s;
  EXPECT_EQ(to_text(encode_manifest(base_manifest("case.evidence.manifest.v1"))), expected);
}

TEST(EncodeManifest, CameraIdFollowsPurpose) {
  EvidenceManifest m = base_manifest("video.evidence.manifest.v1");
  m.camera_id = "cam";
  const std::string expected =
      "\xa9" "\x61" "v" "\x01"
      "\x67" "purpose" "\x78\x1a" "video.evidence.manifest.v1"
      "\x69" "camera_id" "\x63" "cam"s +
      kIds + kSha +
      "\x6b" "source_size" "\x17"
      "\x6c" "signed_at_ms" "\x00"s;
  const auto encoded = encode_manifest(m);
  EXPECT_EQ(to_text(encoded), expected);
  EXPECT_EQ(decode_manifest(encoded).value(), m);
}

struct VideoCase {
  const char* name;
  std::uint64_t size;
  std::string size_bytes;
  double fps;
  std::string fps_bytes;
  std::int64_t signed_at_ms;
  std::string signed_at_bytes;
};

const VideoCase kVideoCases[] = {
    {"size 24, fps 2.0, ms 1700000000000",
     24, "\x18\x18", 2.0, "\xf9\x40\x00"s, 1700000000000, "\x1b\x00\x00\x01\x8b\xcf\xe5\x68\x00"s},
    {"size 23, fps 2.5, ms -1",
     23, "\x17", 2.5, "\xf9\x41\x00"s, -1, "\x20"},
    {"size 256, fps 0.1, ms 0",
     256, "\x19\x01\x00"s, 0.1, "\xfb\x3f\xb9\x99\x99\x99\x99\x99\x9a"s, 0, "\x00"s},
    {"size 2^32, single-precision fps, ms -5",
     1ull << 32, "\x1b\x00\x00\x00\x01\x00\x00\x00\x00"s, static_cast<double>(0.1f),
     "\xfa\x3d\xcc\xcc\xcd", -5, "\x24"},
    {"largest size, largest half, smallest ms",
     std::numeric_limits<std::uint64_t>::max(), "\x1b\xff\xff\xff\xff\xff\xff\xff\xff",
     65504.0, "\xf9\x7b\xff", std::numeric_limits<std::int64_t>::min(),
     "\x3b\x7f\xff\xff\xff\xff\xff\xff\xff"},
    {"65535 bytes, half subnormal fps, ms 2^32",
     65535, "\x19\xff\xff", 0x1p-24, "\xf9\x00\x01"s, 1ll << 32,
     "\x1b\x00\x00\x00\x01\x00\x00\x00\x00"s},
};

TEST(EncodeManifest, VideoManifestWithHashesIsElevenMembersInFixedOrder) {
  for (const VideoCase& c : kVideoCases) {
    SCOPED_TRACE(c.name);
    const std::string expected =
        "\xab" "\x61" "v" "\x01"
        "\x67" "purpose" "\x78\x1a" "video.evidence.manifest.v1"s +
        kIds + kSha +
        "\x6b" "source_size" + c.size_bytes +
        "\x6b" "phashes_hex" "\x81" "\x78\x40" + kHash +
        "\x63" "fps" + c.fps_bytes +
        kSampler +
        "\x6c" "signed_at_ms" + c.signed_at_bytes;
    const EvidenceManifest m = video_manifest(c.size, c.fps, c.signed_at_ms);
    const auto encoded = encode_manifest(m);
    EXPECT_EQ(to_text(encoded), expected);
    auto decoded = decode_manifest(encoded);
    ASSERT_TRUE(decoded.has_value()) << decoded.error();
    EXPECT_EQ(*decoded, m);
  }
}

// ---- decoding: manifests assembled from (key, raw CBOR value) entries ----

struct Entry {
  std::string key;
  std::string value;  // one encoded CBOR item
};
using Entries = std::vector<Entry>;

Entries valid_entries() {
  return {
      {"v", "\x01"},
      {"purpose", "\x78\x1a" "video.evidence.manifest.v1"},
      {"nvr_device_id", "\x65" "nvr-1"},
      {"nvr_key_id", "\x65" "key-1"},
      {"source_hash_scope", "\x78\x1d" "original_file_bytes_sha256_v1"},
      {"source_sha256", "\x58\x20" + kSha},
      {"source_size", "\x18\x18"},
      {"phashes_hex", "\x81" "\x78\x40" + kHash},
      {"fps", "\xf9\x40\x00"s},
      {"sampler", kSampler.substr(8)},
      {"signed_at_ms", "\x20"},
  };
}
// clang-format on

std::string text_head(std::size_t length) {
  return length < 24 ? std::string(1, static_cast<char>(0x60 + length))
                     : "\x78"s + static_cast<char>(length);
}

std::string assemble(const Entries& entries, bool indefinite = false) {
  std::string out = indefinite ? "\xbf"s : std::string(1, static_cast<char>(0xa0 + entries.size()));
  for (const Entry& e : entries) out += text_head(e.key.size()) + e.key + e.value;
  if (indefinite) out += "\xff";
  return out;
}

Entries with(Entries entries, const std::string& key, const std::string& value) {
  for (Entry& e : entries) {
    if (e.key == key) {
      e.value = value;
      return entries;
    }
  }
  entries.push_back({key, value});
  return entries;
}

Entries plus(Entries entries, const std::string& key, const std::string& value) {
  entries.push_back({key, value});
  return entries;
}

Entries without(Entries entries, const std::string& key) {
  std::erase_if(entries, [&](const Entry& e) { return e.key == key; });
  return entries;
}

Result<EvidenceManifest> decode(const std::string& bytes) {
  return decode_manifest(to_bytes(bytes));
}

TEST(DecodeManifest, AcceptsWhatAnyCborWriterMayProduce) {
  const EvidenceManifest expected = video_manifest(24, 2.0, -1);
  Entries reversed = valid_entries();
  std::reverse(reversed.begin(), reversed.end());
  const std::string two_chunk_sha =
      "\x5f"
      "\x50"s +
      kSha.substr(0, 16) + "\x50" + kSha.substr(16) + "\xff";
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"keys in any order", assemble(reversed)},
      {"indefinite map", assemble(valid_entries(), true)},
      {"tags before the map", "\xc0\xd8\x18\xd9\xd9\xf7"s + assemble(valid_entries())},
      {"tag before a value", assemble(with(valid_entries(), "source_size", "\xc2\x18\x18"))},
      {"byte-string key", "\xab\x41v\x01"s + assemble(without(valid_entries(), "v")).substr(1)},
      {"indefinite byte string", assemble(with(valid_entries(), "source_sha256", two_chunk_sha))},
      {"indefinite text string",
       assemble(with(valid_entries(), "purpose", "\x7f\x65video\x75.evidence.manifest.v1\xff"))},
      {"indefinite array and sampler map",
       assemble(with(with(valid_entries(), "phashes_hex", "\x9f\x78\x40" + kHash + "\xff"),
                     "sampler",
                     "\xbf\x64hash\x67pdq_256\x66resize\x70"
                     "512x512_bilinear"
                     "\x69"
                     "algorithm\x6fvpdq_sampler_v1\xff"))},
      {"unknown keys with any values",
       assemble(with(with(valid_entries(), "name", "\xa1\x01\x9f\xf5\xf6\xfb\0\0\0\0\0\0\0\0\xff"s),
                     "other", "\x5f\x41x\xff"))},
      {"single and double fps", assemble(with(valid_entries(), "fps", "\xfb\x40\0\0\0\0\0\0\0"s))},
      {"bytes after the map", assemble(valid_entries()) + "\xff\x00garbage"s},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto decoded = decode(c.bytes);
    ASSERT_TRUE(decoded.has_value()) << decoded.error();
    EXPECT_EQ(*decoded, expected);
  }
}

TEST(DecodeManifest, NullAndUndefinedOptionalMembersAreAbsent) {
  Entries entries = with(
      with(with(with(valid_entries(), "camera_id", "\xf6"), "phashes_hex", "\xf7"), "fps", "\xf6"),
      "sampler", "\xd8\x20\xf6");
  auto decoded = decode(assemble(entries));
  ASSERT_TRUE(decoded.has_value()) << decoded.error();
  EXPECT_FALSE(decoded->camera_id || decoded->phashes_hex || decoded->fps || decoded->sampler);
}

struct ErrorCase {
  const char* name;
  std::string bytes;
  std::string error;
};

void expect_errors(const std::vector<ErrorCase>& cases, bool exact) {
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto decoded = decode(c.bytes);
    ASSERT_FALSE(decoded.has_value());
    if (exact) {
      EXPECT_EQ(decoded.error(), c.error);
    } else {
      EXPECT_TRUE(decoded.error().starts_with(c.error)) << decoded.error();
    }
  }
}

TEST(DecodeManifest, RulesInOrder) {
  const Entries ok = valid_entries();
  const std::string p = "parse manifest CBOR: ";
  expect_errors(
      {
          {"missing device id", assemble(without(ok, "nvr_device_id")),
           p + "missing field `nvr_device_id`"},
          {"missing time", assemble(without(ok, "signed_at_ms")),
           p + "missing field `signed_at_ms`"},
          {"repeated key", assemble(plus(ok, "v", "\x01")), p + "duplicate field `v`"},
          {"repeated key, first null", assemble(plus(with(ok, "fps", "\xf6"), "fps", "\xf6")),
           p + "duplicate field `fps`"},
          {"repeated unknown key", assemble(plus(plus(ok, "name", "\x61x"), "name", "\x61y")),
           p + "duplicate field `name`"},
          {"repeated key as byte string", assemble(ok).replace(0, 1, "\xac") + "\x41v\x01",
           p + "duplicate field `v`"},
          {"repeated byte-string key that is not text",
           assemble(ok).replace(0, 1, "\xad") + "\x41\xff\x01\x41\xff\x01",
           p + "duplicate field `\xef\xbf\xbd`"},
          {"repeated sampler key", assemble(with(ok, "sampler", "\xa2\x64hash\x61x\x64hash\x61y")),
           p + "duplicate field `hash`"},
          {"missing sampler member", assemble(with(ok, "sampler", "\xa1\x64hash\x67pdq_256")),
           p + "missing field `algorithm`"},
          {"version 2 before purpose", assemble(with(with(ok, "v", "\x02"), "purpose", "\x61x")),
           "unsupported manifest version: 2"},
          {"case purpose",
           assemble(with(ok, "purpose",
                         "\x78\x19"
                         "case.evidence.manifest.v1")),
           "unsupported manifest purpose: case.evidence.manifest.v1"},
          {"scope",
           assemble(with(ok, "source_hash_scope",
                         "\x63"
                         "abc")),
           "unexpected source_hash_scope: abc"},
          {"blank device id", assemble(with(ok, "nvr_device_id", "\x63   ")),
           "nvr_device_id must be present and non-empty"},
          {"device id of no-break spaces",
           assemble(with(ok, "nvr_device_id", "\x64\xc2\xa0\xc2\xa0")),
           "nvr_device_id must be present and non-empty"},
          {"empty key id", assemble(with(ok, "nvr_key_id", "\x60")),
           "nvr_key_id must be present and non-empty"},
          {"31-byte digest", assemble(with(ok, "source_sha256", "\x58\x1f" + kSha.substr(1))),
           "source_sha256 must be 32 bytes, got 31"},
          {"zero size", assemble(with(ok, "source_size", "\x00"s)), "source_size must be positive"},
          {"zero fps", assemble(with(ok, "fps", "\xf9\x00\x00"s)),
           "manifest fps must be positive when present"},
          {"negative zero fps", assemble(with(ok, "fps", "\xf9\x80\x00"s)),
           "manifest fps must be positive when present"},
          {"NaN fps", assemble(with(ok, "fps", "\xf9\x7e\x00"s)),
           "manifest fps must be positive when present"},
          {"infinite fps", assemble(with(ok, "fps", "\xfa\x7f\x80\x00\x00"s)),
           "manifest fps must be positive when present"},
          {"negative fps", assemble(with(ok, "fps", "\xfb\xbf\xf0\0\0\0\0\0\0"s)),
           "manifest fps must be positive when present"},
          {"short hash",
           assemble(with(ok, "phashes_hex",
                         "\x82\x78\x40" + kHash +
                             "\x63"
                             "abc")),
           "phashes_hex[1]: PDQ hash must be 64 hex chars, got 3"},
          {"non-hex hash",
           assemble(with(ok, "phashes_hex", "\x81\x78\x40" + kHash.substr(1) + "g")),
           "phashes_hex[0]: PDQ hash contains non-hex characters"},
      },
      true);
}

TEST(DecodeManifest, CborFaultsNameTheFieldAndTheCause) {
  const Entries ok = valid_entries();
  const std::string p = "parse manifest CBOR: ";
  expect_errors(
      {
          {"empty input", "", p + "unexpected end of input at offset 0"},
          {"array at the top", "\x80", p + "manifest: expected map, found array at offset 0"},
          {"only tags", "\xc0\xc1", p + "unexpected end of input at offset 2"},
          {"integer key", "\xa1\x01\x01",
           p + "map key: expected text string, found unsigned integer"},
          {"version as text",
           assemble(with(ok, "v",
                         "\x61"
                         "1")),
           p + "field `v`: expected unsigned integer, found text string"},
          {"version beyond 32 bits",
           assemble(with(ok, "v", "\x1b\x00\x00\x00\x01\x00\x00\x00\x00"s)),
           p + "field `v`: integer 4294967296 out of range"},
          {"negative size", assemble(with(ok, "source_size", "\x20")),
           p + "field `source_size`: expected unsigned integer, found negative integer"},
          {"null required member", assemble(with(ok, "purpose", "\xf6")),
           p + "field `purpose`: expected text string, found null"},
          {"digest as text",
           assemble(with(ok, "source_sha256",
                         "\x61"
                         "a")),
           p + "field `source_sha256`: expected byte string, found text string"},
          {"integer fps", assemble(with(ok, "fps", "\x02")),
           p + "field `fps`: expected floating-point number, found unsigned integer"},
          {"hash list entry not text", assemble(with(ok, "phashes_hex", "\x81\x01")),
           p + "entry of field `phashes_hex`: expected text string, found unsigned integer"},
          {"hash list not an array",
           assemble(with(ok, "phashes_hex",
                         "\x61"
                         "a")),
           p + "field `phashes_hex`: expected array, found text string"},
          {"sampler member not text", assemble(with(ok, "sampler", "\xa1\x64hash\xf5")),
           p + "field `hash`: expected text string, found boolean"},
          {"time beyond 64 bits signed",
           assemble(with(ok, "signed_at_ms", "\x3b\x80\x00\x00\x00\x00\x00\x00\x00"s)),
           p + "field `signed_at_ms`: integer -1-9223372036854775808 out of range"},
          {"time as float", assemble(with(ok, "signed_at_ms", "\xf9\x3c\x00"s)),
           p + "field `signed_at_ms`: expected integer, found floating-point number"},
          {"break as a value", assemble(with(ok, "fps", "\xff")), p + "unexpected break"},
          {"reserved head", assemble(with(ok, "fps", "\xfc")),
           p + "reserved additional information 28"},
          {"invalid UTF-8 text", assemble(with(ok, "nvr_key_id", "\x62\xc3\x28")),
           p + "text string is not valid UTF-8"},
          {"indefinite text with a byte chunk", assemble(with(ok, "purpose", "\x7f\x41x\xff")),
           p + "invalid chunk in indefinite-length text string"},
          {"indefinite map without break",
           assemble(valid_entries(), true).substr(0, assemble(valid_entries(), true).size() - 1),
           p + "unexpected end of input"},
      },
      false);
}

TEST(DecodeManifest, NestingIsBoundedAt256Levels) {
  // The manifest map is the first level; the unknown value adds the rest.
  const auto nested = [](std::size_t levels) { return std::string(levels, '\x81') + "\x00"s; };
  EXPECT_TRUE(decode(assemble(plus(valid_entries(), "deep", nested(255)))).has_value());
  auto refused = decode(assemble(plus(valid_entries(), "deep", nested(256))));
  ASSERT_FALSE(refused.has_value());
  EXPECT_TRUE(refused.error().starts_with("parse manifest CBOR: nesting deeper than 256 levels"))
      << refused.error();
  auto indefinite = decode(assemble(plus(valid_entries(), "deep", std::string(100000, '\x9f'))));
  EXPECT_FALSE(indefinite.has_value());
}

TEST(DecodeManifest, EveryTruncationFails) {
  const std::string whole = to_text(encode_manifest(video_manifest(24, 2.0, -1)));
  for (const std::string& bytes : {whole, assemble(valid_entries(), true)}) {
    for (std::size_t length = 0; length < bytes.size(); ++length) {
      SCOPED_TRACE(length);
      EXPECT_FALSE(decode(bytes.substr(0, length)).has_value());
    }
  }
}

TEST(DecodeManifest, HugeDeclaredLengthsFailWithoutAllocating) {
  const std::string k2e63 = "\x80\x00\x00\x00\x00\x00\x00\x00"s;
  const std::string kMax = std::string(8, '\xff');
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"key of 2^63 bytes", "\xa1\x7b" + k2e63},
      {"digest of 2^64-1 bytes", assemble(with(valid_entries(), "source_sha256", "\x5b" + kMax))},
      {"chunk of 2^63 bytes", assemble(with(valid_entries(), "purpose", "\x7f\x7b" + k2e63))},
      {"map of 2^64-1 entries", "\xbb" + kMax + assemble(valid_entries()).substr(1)},
      {"hash list of 2^63 entries", assemble(with(valid_entries(), "phashes_hex", "\x9b" + k2e63))},
      {"unknown array of 2^63 entries", assemble(plus(valid_entries(), "x", "\x9b" + k2e63))},
      {"unknown string of 2^63 bytes", assemble(plus(valid_entries(), "x", "\x5b" + k2e63))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(decode(c.bytes).has_value());
  }
}

// Random damage to a valid manifest must never crash the decoder or make it
// read past its input; run under the sanitizers this catches both.
TEST(DecodeManifest, SurvivesRandomDamage) {
  const std::string whole = to_text(encode_manifest(video_manifest(24, 2.0, -1)));
  std::mt19937 random(12345);
  for (int round = 0; round < 20000; ++round) {
    std::string bytes = whole;
    const int edits = 1 + static_cast<int>(random() % 4);
    for (int e = 0; e < edits; ++e) {
      const std::size_t at = random() % bytes.size();
      switch (random() % 3) {
        case 0:
          bytes[at] = static_cast<char>(random());
          break;
        case 1:
          bytes.erase(at, 1 + random() % 8);
          break;
        default:
          bytes.insert(at, 1, static_cast<char>(random()));
          break;
      }
      if (bytes.empty()) bytes = "\xbf";
    }
    (void)decode_manifest(to_bytes(bytes));
  }
}

}  // namespace
