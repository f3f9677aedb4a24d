#include "evidence/envelope.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

TEST(WriteEnvelope, Mp4BoxEnvelopeHasSixSortedMembers) {
  EXPECT_EQ(write_envelope("zq.evidence.mp4_box.v2", 2, "oWF2AQ==", "cdef", "04ab", ""),
            "{\n"
            "  \"manifest_b64\": \"oWF2AQ==\",\n"
            "  \"nvr_pubkey_hex\": \"04ab\",\n"
            "  \"nvr_sig_hex\": \"cdef\",\n"
            "  \"purpose\": \"zq.evidence.mp4_box.v2\",\n"
            "  \"registry_base\": \"\",\n"
            "  \"v\": 2\n"
            "}");
}

TEST(WriteEnvelope, ZipManifestEnvelopeHasNoRegistryBase) {
  EXPECT_EQ(
      write_envelope("zq.evidence.zip_manifest.v1", 1, "oWF2AQ==", "cdef", "04ab", std::nullopt),
      "{\n"
      "  \"manifest_b64\": \"oWF2AQ==\",\n"
      "  \"nvr_pubkey_hex\": \"04ab\",\n"
      "  \"nvr_sig_hex\": \"cdef\",\n"
      "  \"purpose\": \"zq.evidence.zip_manifest.v1\",\n"
      "  \"v\": 1\n"
      "}");
}

using Members = std::vector<std::pair<std::string, std::string>>;  // key, JSON value text

Members valid_members() {
  return {{"v", "2"},
          {"purpose", "\"zq.evidence.mp4_box.v2\""},
          {"manifest_b64", "\"oWF2AQ==\""},
          {"nvr_sig_hex", "\"cdef\""},
          {"nvr_pubkey_hex", "\"04ab\""},
          {"registry_base", "\"\""}};
}

Members with(Members members, const std::string& key, const std::string& value) {
  for (auto& [k, v] : members) {
    if (k == key) {
      v = value;
      return members;
    }
  }
  members.emplace_back(key, value);
  return members;
}

Members without(Members members, const std::string& key) {
  std::erase_if(members, [&](const auto& m) { return m.first == key; });
  return members;
}

std::string object(const Members& members) {
  std::string out = "{\n";
  for (std::size_t i = 0; i < members.size(); ++i) {
    out += "  \"" + members[i].first + "\": " + members[i].second;
    out += i + 1 < members.size() ? ",\n" : "\n";
  }
  return out + "}\n";
}

Result<EvidenceEnvelope> read(const std::string& text) {
  return read_envelope(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

TEST(ReadEnvelope, DecodesTheByteFields) {
  auto envelope = read(object(valid_members()));
  ASSERT_TRUE(envelope.has_value()) << envelope.error();
  EXPECT_EQ(envelope->purpose, "zq.evidence.mp4_box.v2");
  EXPECT_EQ(envelope->manifest, (std::vector<std::uint8_t>{0xa1, 0x61, 0x76, 0x01}));
  EXPECT_EQ(envelope->signature, (std::vector<std::uint8_t>{0xcd, 0xef}));
  EXPECT_EQ(envelope->public_key, (std::vector<std::uint8_t>{0x04, 0xab}));
  EXPECT_EQ(envelope->nvr_sig_hex, "cdef");
  EXPECT_EQ(envelope->nvr_pubkey_hex, "04ab");
  EXPECT_EQ(envelope->manifest_b64, "oWF2AQ==");
  EXPECT_EQ(envelope->registry_base, "");
  EXPECT_FALSE(envelope->fps.has_value());
}

TEST(ReadEnvelope, LenientWhereWritersDiffer) {
  const Members ok = valid_members();
  const struct {
    const char* name;
    std::string text;
    std::string sig_hex, registry_base;
    std::optional<double> fps;
  } cases[] = {
      {"manifest with surrounding white space",
       object(with(ok, "manifest_b64", "\" \\n oWF2AQ==\\r\\n\\u00a0\"")),
       "cdef",
       "",
       {}},
      {"upper-case signature", object(with(ok, "nvr_sig_hex", "\"CDEF\"")), "cdef", "", {}},
      {"no registry base", object(without(ok, "registry_base")), "cdef", "", {}},
      {"null registry base", object(with(ok, "registry_base", "null")), "cdef", "", {}},
      {"registry base kept",
       object(with(ok, "registry_base", "\"https://r\"")),
       "cdef",
       "https://r",
       {}},
      {"fps passed on", object(with(ok, "fps", "2.5")), "cdef", "", 2.5},
      {"null fps", object(with(ok, "fps", "null")), "cdef", "", {}},
      {"extra keys", object(with(with(ok, "name", "[1, {}]"), "x", "null")), "cdef", "", {}},
      {"another purpose", object(with(ok, "purpose", "\"zq.evidence.other\"")), "cdef", "", {}},
      {"63-byte signature",
       object(with(ok, "nvr_sig_hex", "\"" + std::string(126, 'a') + "\"")),
       std::string(126, 'a'),
       "",
       {}},
      {"array form", R"([2, "zq.evidence.mp4_box.v2", "oWF2AQ==", "cdef", "04ab", "r", 0.5])",
       "cdef", "r", 0.5},
      {"array form with nulls",
       R"([2, "p", "oWF2AQ==", "cdef", "04ab", null, null])",
       "cdef",
       "",
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto envelope = read(c.text);
    ASSERT_TRUE(envelope.has_value()) << envelope.error();
    EXPECT_EQ(envelope->manifest, (std::vector<std::uint8_t>{0xa1, 0x61, 0x76, 0x01}));
    EXPECT_EQ(envelope->nvr_sig_hex, c.sig_hex);
    EXPECT_EQ(envelope->registry_base, c.registry_base);
    EXPECT_EQ(envelope->fps, c.fps);
  }
}

TEST(ReadEnvelope, RulesInOrder) {
  const Members ok = valid_members();
  const struct {
    const char* name;
    std::string text;
    std::string error;
  } cases[] = {
      {"zip manifest envelope", object(with(ok, "v", "1")),
       "unsupported evidence envelope version: 1"},
      {"version before manifest", object(with(with(ok, "v", "3"), "manifest_b64", "\"!\"")),
       "unsupported evidence envelope version: 3"},
      {"manifest without padding", object(with(ok, "manifest_b64", "\"YQ\"")),
       "decode manifest base64: Invalid padding"},
      {"manifest with inner space", object(with(ok, "manifest_b64", "\"YW Jj\"")),
       "decode manifest base64: Invalid symbol 32, offset 2."},
      {"manifest before signature",
       object(with(with(ok, "manifest_b64", "\"Y\""), "nvr_sig_hex", "\"z\"")),
       "decode manifest base64: Invalid input length: 1"},
      {"odd signature", object(with(ok, "nvr_sig_hex", "\"abc\"")),
       "NVR signature: hex string has odd length"},
      {"signature before key",
       object(with(with(ok, "nvr_sig_hex", "\"zz\""), "nvr_pubkey_hex", "\"z\"")),
       "NVR signature: hex string contains non-hex characters"},
      {"key with prefix", object(with(ok, "nvr_pubkey_hex", "\"0x04\"")),
       "NVR public key: hex string contains non-hex characters"},
      {"odd key", object(with(ok, "nvr_pubkey_hex", "\"4\"")),
       "NVR public key: hex string has odd length"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto envelope = read(c.text);
    ASSERT_FALSE(envelope.has_value());
    EXPECT_EQ(envelope.error(), c.error);
  }
}

// The JSON layer's own descriptions are its business; here only that each
// fault is caught, prefixed, named and placed.
TEST(ReadEnvelope, JsonFaultsArePrefixedAndNamed) {
  const Members ok = valid_members();
  const struct {
    const char* name;
    std::string text;
    std::string names;
  } cases[] = {
      {"missing version", object(without(ok, "v")), "missing field `v`"},
      {"missing signature", object(without(ok, "nvr_sig_hex")), "missing field `nvr_sig_hex`"},
      {"repeated key", object(with(ok, "purpose", "\"a\", \"purpose\": \"b\"")),
       "duplicate field `purpose`"},
      {"version as text", object(with(ok, "v", "\"2\"")), "expected u32"},
      {"version beyond 32 bits", object(with(ok, "v", "4294967298")), "expected u32"},
      {"null manifest", object(with(ok, "manifest_b64", "null")), "expected a string"},
      {"numeric registry base", object(with(ok, "registry_base", "1")), "expected a string"},
      {"text fps", object(with(ok, "fps", "\"2\"")), "expected f64"},
      {"array of six", R"([2, "p", "oWF2AQ==", "cdef", "04ab", null])",
       "invalid length 6, expected struct RawEnvelopeV2 with 7 elements"},
      {"top-level string", "\"x\"", "expected struct RawEnvelopeV2"},
      {"trailing text", object(ok) + "x", "line"},
      {"not JSON", "{", "line"},
      {"empty", "", "line"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto envelope = read(c.text);
    ASSERT_FALSE(envelope.has_value());
    EXPECT_TRUE(envelope.error().starts_with("parse envelope JSON: ")) << envelope.error();
    EXPECT_NE(envelope.error().find(c.names), std::string::npos) << envelope.error();
    EXPECT_NE(envelope.error().find(" at line "), std::string::npos) << envelope.error();
  }
}

}  // namespace
