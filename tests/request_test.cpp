#include "evidence/request.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <string_view>

namespace {

const std::string kSha(64, 'a');
const std::string kHashA = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string kHashUpper = "0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF";

std::span<const std::uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// A valid video request whose members can be swapped one at a time.
std::string video(std::string_view v = "1",
                  std::string_view purpose = "\"zq.attestation.request.v1\"",
                  std::string_view name = "\"clip.mp4\"",
                  std::string_view scope = "\"original_file_bytes_sha256_v1\"",
                  std::string_view sha = "", std::string_view size = "10",
                  std::string_view extra = "") {
  std::string sha_text = sha.empty() ? "\"" + kSha + "\"" : std::string(sha);
  return "{\"v\": " + std::string(v) + ", \"purpose\": " + std::string(purpose) +
         ", \"name\": " + std::string(name) + ", \"source_hash_scope\": " + std::string(scope) +
         ", \"source_sha256_hex\": " + sha_text + ", \"source_size\": " + std::string(size) +
         std::string(extra) + "}";
}

AttestationRequest request_of(std::string name, std::uint64_t size) {
  AttestationRequest request;
  request.name = std::move(name);
  request.source_sha256_hex = kSha;
  request.source_size = size;
  return request;
}

std::string with_extra(std::string_view extra) {
  return video("1", "\"zq.attestation.request.v1\"", "\"clip.mp4\"",
               "\"original_file_bytes_sha256_v1\"", "", "10", extra);
}

TEST(WriteAttestationRequest, ExactOnlyHasSixMembers) {
  AttestationRequest request = request_of("clip.mp4", 1234);
  EXPECT_EQ(write_attestation_request(request),
            "{\n"
            "  \"v\": 1,\n"
            "  \"purpose\": \"zq.attestation.request.v1\",\n"
            "  \"name\": \"clip.mp4\",\n"
            "  \"source_hash_scope\": \"original_file_bytes_sha256_v1\",\n"
            "  \"source_sha256_hex\": \"" +
                kSha +
                "\",\n"
                "  \"source_size\": 1234\n"
                "}");
}

TEST(WriteAttestationRequest, FullRequestInFixedOrder) {
  AttestationRequest request = request_of("cam 1", 18446744073709551615u);
  request.fps = 2.0;
  request.native_width = 640;
  request.native_height = 4294967295u;
  request.phashes_hex = std::vector<std::string>{kHashA, kHashUpper};
  EXPECT_EQ(write_attestation_request(request),
            "{\n"
            "  \"v\": 1,\n"
            "  \"purpose\": \"zq.attestation.request.v1\",\n"
            "  \"name\": \"cam 1\",\n"
            "  \"source_hash_scope\": \"original_file_bytes_sha256_v1\",\n"
            "  \"source_sha256_hex\": \"" +
                kSha +
                "\",\n"
                "  \"source_size\": 18446744073709551615,\n"
                "  \"fps\": 2.0,\n"
                "  \"canonical_frame\": {\n"
                "    \"width\": 512,\n"
                "    \"height\": 512,\n"
                "    \"pixel_format\": \"rgba\",\n"
                "    \"resize_filter\": \"bilinear\"\n"
                "  },\n"
                "  \"native_width\": 640,\n"
                "  \"native_height\": 4294967295,\n"
                "  \"phashes_hex\": [\n"
                "    \"" +
                kHashA +
                "\",\n"
                "    \"" +
                kHashUpper +
                "\"\n"
                "  ]\n"
                "}");
}

TEST(WriteAttestationRequest, FpsIsShortestRoundTripWithFraction) {
  struct Case {
    double fps;
    std::string_view text;
  };
  constexpr Case kCases[] = {
      {2.0, "2.0"},   {2.5, "2.5"},       {0.1, "0.1"}, {29.97, "29.97"},
      {30.0, "30.0"}, {1e-300, "1e-300"}, {0.5, "0.5"}, {1.0 / 3.0, "0.3333333333333333"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.text);
    AttestationRequest request = request_of("n", 1);
    request.fps = c.fps;
    request.phashes_hex = std::vector<std::string>{};
    std::string text = write_attestation_request(request);
    EXPECT_NE(text.find("  \"fps\": " + std::string(c.text) + ",\n"), std::string::npos) << text;
    EXPECT_TRUE(text.ends_with("  \"phashes_hex\": []\n}")) << text;
  }
}

TEST(WriteAttestationRequest, EscapesNameAsJsonRequires) {
  AttestationRequest request = request_of("a\"b\\c\x01\n\t/\x7f\xc3\xa9", 1);
  EXPECT_NE(write_attestation_request(request).find(
                "  \"name\": \"a\\\"b\\\\c\\u0001\\n\\t/\x7f\xc3\xa9\",\n"),
            std::string::npos);
}

TEST(ReadAttestationRequest, WrittenRequestReadsBack) {
  AttestationRequest request = request_of("  padded  ", 99);
  request.fps = 2.5;
  request.native_width = 1;
  request.native_height = 2;
  request.phashes_hex = std::vector<std::string>{kHashUpper};
  auto read = read_attestation_request(bytes_of(write_attestation_request(request)));
  ASSERT_TRUE(read) << read.error();
  EXPECT_EQ(read->v, 1u);
  EXPECT_EQ(read->purpose, "zq.attestation.request.v1");
  EXPECT_EQ(read->name, "  padded  ");
  EXPECT_EQ(read->source_hash_scope, "original_file_bytes_sha256_v1");
  EXPECT_EQ(read->source_sha256_hex, kSha);
  EXPECT_EQ(read->source_size, 99u);
  EXPECT_EQ(read->fps, 2.5);
  EXPECT_EQ(read->phashes_hex, std::vector<std::string>{kHashUpper});
}

TEST(ReadAttestationRequest, AcceptsOptionalForms) {
  struct Case {
    std::string_view name;
    std::string text;
    bool has_fps;
    std::optional<std::size_t> hashes;
  };
  const Case kCases[] = {
      {"minimal", video(), false, std::nullopt},
      {"nulls are absent", with_extra(", \"fps\": null, \"phashes_hex\": null"), false,
       std::nullopt},
      {"empty hash list", with_extra(", \"fps\": 2, \"phashes_hex\": []"), true, 0},
      {"extra keys ignored",
       with_extra(", \"canonical_frame\": {\"x\": [1]}, \"native_width\": -5, \"other\": null"),
       false, std::nullopt},
      {"subnormal fps", with_extra(", \"fps\": 5e-324"), true, std::nullopt},
      {"uppercase pdq hash", with_extra(", \"phashes_hex\": [\"" + kHashUpper + "\"]"), false, 1},
      {"array form",
       "[1, \"zq.attestation.request.v1\", \"n\", \"original_file_bytes_sha256_v1\", \"" + kSha +
           "\", 5, 0.5, [\"" + kHashA + "\"]]",
       true, 1},
      {"array form with nulls",
       "[1, \"zq.attestation.request.v1\", \"n\", \"original_file_bytes_sha256_v1\", \"" + kSha +
           "\", 5, null, null]",
       false, std::nullopt},
      {"white space around", " \n" + video() + "\r\n\t ", false, std::nullopt},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    auto read = read_attestation_request(bytes_of(c.text));
    ASSERT_TRUE(read) << read.error();
    EXPECT_EQ(read->fps.has_value(), c.has_fps);
    EXPECT_EQ(read->phashes_hex.has_value(), c.hashes.has_value());
    if (c.hashes && read->phashes_hex) {
      EXPECT_EQ(read->phashes_hex->size(), *c.hashes);
    }
  }
}

TEST(ReadAttestationRequest, RulesInOrder) {
  struct Case {
    std::string_view name;
    std::string text;
    std::string_view error;
  };
  const std::string sha63 = "\"" + std::string(63, 'a') + "\"";
  const std::string sha_upper = "\"" + std::string(63, 'a') + "A\"";
  const std::string sha_nonhex = "\"" + std::string(63, 'a') + "g\"";
  const Case kCases[] = {
      {"version first", video("2", "\"nope\""), "unsupported attestation request version: 2"},
      {"version zero", video("0"), "unsupported attestation request version: 0"},
      {"purpose", video("1", "\"zq.attestation.request.v2\""),
       "unsupported attestation request purpose: zq.attestation.request.v2"},
      {"purpose not trimmed", video("1", "\" zq.attestation.request.v1\""),
       "unsupported attestation request purpose:  zq.attestation.request.v1"},
      {"purpose case", video("1", "\"ZQ.attestation.request.v1\""),
       "unsupported attestation request purpose: ZQ.attestation.request.v1"},
      {"empty name", video("1", "\"zq.attestation.request.v1\"", "\"\""),
       "attestation request name must be non-empty"},
      {"white-space name", video("1", "\"zq.attestation.request.v1\"", "\" \\t\\u00a0\\u3000\""),
       "attestation request name must be non-empty"},
      {"scope", video("1", "\"zq.attestation.request.v1\"", "\"n\"", "\"whole_file\""),
       "unexpected source_hash_scope: whole_file"},
      {"sha 63",
       video("1", "\"zq.attestation.request.v1\"", "\"n\"", "\"original_file_bytes_sha256_v1\"",
             sha63),
       "source_sha256 must be 64 hex chars, got 63"},
      {"sha uppercase",
       video("1", "\"zq.attestation.request.v1\"", "\"n\"", "\"original_file_bytes_sha256_v1\"",
             sha_upper),
       "source_sha256 must be lowercase hex"},
      {"sha non-hex",
       video("1", "\"zq.attestation.request.v1\"", "\"n\"", "\"original_file_bytes_sha256_v1\"",
             sha_nonhex),
       "source_sha256 must be lowercase hex"},
      {"sha multibyte length",
       video("1", "\"zq.attestation.request.v1\"", "\"n\"", "\"original_file_bytes_sha256_v1\"",
             "\"" + std::string(63, 'a') + "\\u00e9\""),
       "source_sha256 must be 64 hex chars, got 65"},
      {"size zero",
       video("1", "\"zq.attestation.request.v1\"", "\"n\"", "\"original_file_bytes_sha256_v1\"", "",
             "0"),
       "source_size must be positive"},
      {"fps zero", with_extra(", \"fps\": 0"), "request fps must be positive when present"},
      {"fps negative zero", with_extra(", \"fps\": -0.0"),
       "request fps must be positive when present"},
      {"fps negative", with_extra(", \"fps\": -2"), "request fps must be positive when present"},
      {"second hash too long",
       with_extra(", \"phashes_hex\": [\"" + kHashA + "\", \"" + kHashA + "0\"]"),
       "phashes_hex[1]: PDQ hash must be 64 hex chars, got 65"},
      {"hash non-hex", with_extra(", \"phashes_hex\": [\"" + std::string(63, '0') + "x\"]"),
       "phashes_hex[0]: PDQ hash contains non-hex characters"},
      {"fps before hashes", with_extra(", \"fps\": -1, \"phashes_hex\": [\"\"]"),
       "request fps must be positive when present"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    auto read = read_attestation_request(bytes_of(c.text));
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error(), c.error);
  }
}

TEST(ReadAttestationRequest, JsonFaultsNameTheFaultAndPosition) {
  struct Case {
    std::string_view name;
    std::string text;
    std::string_view error;
  };
  const std::string row =
      "1, \"zq.attestation.request.v1\", \"n\", \"original_file_bytes_sha256_v1\", \"" + kSha +
      "\", 5";
  const Case kCases[] = {
      {"missing key", "{\"v\": 1}",
       "parse request JSON: missing field `purpose` at line 1 column 8"},
      {"repeated key", "{\n  \"v\": 1,\n  \"v\": 1\n}",
       "parse request JSON: duplicate field `v` at line 3 column 5"},
      {"repeated ignored key", with_extra(", \"x\": 1, \"x\": 2"),
       "parse request JSON: duplicate field `x` at line 1 column 242"},
      {"wrong type", video("\"1\""),
       "parse request JSON: invalid type: string \"1\", expected u32 at line 1 column 232"},
      {"v too wide", video("4294967296"),
       "parse request JSON: invalid value: integer `4294967296`, expected u32 at line 1 column "
       "239"},
      {"v negative", video("-1"),
       "parse request JSON: invalid value: integer `-1`, expected u32 at line 1 column 231"},
      {"size too wide",
       video("1", "\"zq.attestation.request.v1\"", "\"clip.mp4\"",
             "\"original_file_bytes_sha256_v1\"", "", "18446744073709551616"),
       "parse request JSON: invalid type: floating point `1.8446744073709552e+19`, expected u64 at "
       "line 1 column 248"},
      {"fps string", with_extra(", \"fps\": \"2\""),
       "parse request JSON: invalid type: string \"2\", expected f64 at line 1 column 242"},
      {"hash list of numbers", with_extra(", \"phashes_hex\": [1]"),
       "parse request JSON: invalid type: integer `1`, expected a string at line 1 column 250"},
      {"array too short", "[" + row + "]",
       "parse request JSON: invalid length 6, expected struct AttestationRequestOwned with 8 "
       "elements at line 1 column 141"},
      {"not an object", "\"text\"",
       "parse request JSON: invalid type: string \"text\", expected struct AttestationRequestOwned "
       "at line 1 column 6"},
      {"trailing bytes", video() + " x", ""},
      {"fps beyond double", with_extra(", \"fps\": 1e400"), ""},
      {"empty", "", ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    auto read = read_attestation_request(bytes_of(c.text));
    ASSERT_FALSE(read);
    if (c.error.empty()) {
      // The library's own wording; the prefix and the position are ours.
      EXPECT_TRUE(read.error().starts_with("parse request JSON: ")) << read.error();
      EXPECT_NE(read.error().find(" at line 1 column "), std::string::npos) << read.error();
    } else {
      EXPECT_EQ(read.error(), c.error);
    }
  }
}

TEST(ReadCaseAttestationRequest, ReadsAndChecksInOrder) {
  auto doc = [](std::string_view v, std::string_view purpose, std::string_view sha,
                std::string_view size) {
    return "{\"name\": \"ignored\", \"v\": " + std::string(v) + ", \"purpose\": \"" +
           std::string(purpose) + "\", \"source_sha256_hex\": \"" + std::string(sha) +
           "\", \"source_size\": " + std::string(size) + "}";
  };
  const std::string good = "case.attestation.request.v1";
  auto read = read_case_attestation_request(bytes_of(doc("1", good, kSha, "7")));
  ASSERT_TRUE(read) << read.error();
  EXPECT_EQ(read->source_sha256_hex, kSha);
  EXPECT_EQ(read->source_size, 7u);
  auto array =
      read_case_attestation_request(bytes_of("[1, \"" + good + "\", \"" + kSha + "\", 3]"));
  ASSERT_TRUE(array) << array.error();
  EXPECT_EQ(array->source_size, 3u);

  struct Case {
    std::string_view name;
    std::string text;
    std::string_view error;
  };
  const Case kCases[] = {
      {"version", doc("3", "x", kSha, "0"), "unsupported case attestation request version: 3"},
      {"purpose", doc("1", "zq.attestation.request.v1", kSha, "0"),
       "unsupported case attestation request purpose: zq.attestation.request.v1"},
      {"sha length", doc("1", good, "abc", "0"), "source_sha256 must be 64 hex chars, got 3"},
      {"sha uppercase", doc("1", good, std::string(64, 'F'), "0"),
       "source_sha256 must be lowercase hex"},
      {"size", doc("1", good, kSha, "0"), "source_size must be positive"},
      {"video array", "[1, \"" + good + "\", \"" + kSha + "\", 3, null, null, null, null]",
       "parse request JSON: invalid length 8, expected struct CaseAttestationRequestOwned with 4 "
       "elements at line 1 column 129"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    auto result = read_case_attestation_request(bytes_of(c.text));
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), c.error);
  }
}

TEST(CheckPdqHashText, LengthThenDigits) {
  EXPECT_TRUE(check_pdq_hash_text(kHashA));
  EXPECT_TRUE(check_pdq_hash_text(kHashUpper));
  EXPECT_EQ(check_pdq_hash_text(std::string(256, '0')).error(),
            "PDQ hash must be 64 hex chars, got 256");
  EXPECT_EQ(check_pdq_hash_text("").error(), "PDQ hash must be 64 hex chars, got 0");
  EXPECT_EQ(check_pdq_hash_text(std::string(63, '0') + " ").error(),
            "PDQ hash contains non-hex characters");
}

}  // namespace
