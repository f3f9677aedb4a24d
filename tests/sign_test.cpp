// sign-attestation and sign-zip-manifest through the built program: exact
// envelopes, determinism, what the manifest carries, the order of the steps,
// and the signing clock.

#include "commands/sign.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <limits>

#include "encoding/base64.h"
#include "fileio/clock.h"
#include "encoding/hex.h"
#include "evidence/envelope.h"
#include "evidence/manifest.h"
#include "evidence/signature.h"
#include "evidence_fixture.h"
#include "test_util.h"

namespace {

using test_util::read_file;
using test_util::run;
using test_util::TempDir;
using test_util::write_file;
using test_util::write_key_file;

// The envelope of video_request() signed by nvr-01 with key-01 at 1700000000000:
// the signature is the RFC 6979 one, checked against an independent computation.
constexpr std::string_view kPlainEnvelope = R"({
  "manifest_b64": "qGF2AWdwdXJwb3NleBp2aWRlby5ldmlkZW5jZS5tYW5pZmVzdC52MW1udnJfZGV2aWNlX2lkZm52ci0wMWpudnJfa2V5X2lkZmtleS0wMXFzb3VyY2VfaGFzaF9zY29wZXgdb3JpZ2luYWxfZmlsZV9ieXRlc19zaGEyNTZfdjFtc291cmNlX3NoYTI1NlggAeD0UJnj2V5k75RYAiBXbBDjXiiSgr9pVhD3uc4vvXxrc291cmNlX3NpemUYHGxzaWduZWRfYXRfbXMbAAABi8/laAA=",
  "nvr_pubkey_hex": "0460fed4ba255a9d31c961eb74c6356d68c049b8923b61fa6ce669622e60f29fb67903fe1008b8bc99a41ae9e95628bc64f2f1b20c2d7e9f5177a3c294d4462299",
  "nvr_sig_hex": "b2cc6111b2534859188482e7302a91141744b7291c8870027c25065c7f2d54751be1f3c548b955b7b301ad51bfc1365799fbfc09f49b4149fbf1de196e2ae5aa",
  "purpose": "zq.evidence.mp4_box.v2",
  "registry_base": "",
  "v": 2
}
)";
// The RFC 6979 P-256 test key.
constexpr std::string_view kKey =
    "c9afa9d845ba75166b5c215767b1d6934e50c3db36e89b127b8a622b120f6721";
constexpr std::string_view kWarning =
    "warning: --nvr-private-key-hex can expose key material via process listings; prefer "
    "--nvr-private-key-file on NVRs\n";
constexpr std::string_view kHash1 =
    "00000000000000000000000000000000ffffffffffffffffffffffffffffffff";
constexpr std::string_view kHash2 =
    "ABCDEFABCDEFABCDEFABCDEFABCDEFABCDEFABCDEFABCDEFABCDEFABCDEF0123";

std::string video_request(std::string_view extra = "", std::string_view name = "clip.mp4") {
  return R"({"v": 1, "purpose": "zq.attestation.request.v1", "name": ")" + std::string(name) +
         R"(", "source_hash_scope": "original_file_bytes_sha256_v1", "source_sha256_hex": ")" +
         std::string(fixture::kSourceSha256) + R"(", "source_size": 28)" + std::string(extra) + "}";
}

std::string case_request() {
  return R"({"v": 1, "purpose": "case.attestation.request.v1", "name": "ignored",
             "source_sha256_hex": ")" +
         std::string(fixture::kSourceSha256) + R"(", "source_size": 28})";
}

std::vector<std::string> sign_args(std::string command, std::string input,
                                   std::vector<std::string> more = {}) {
  std::vector<std::string> args = {std::move(command), std::move(input), "--nvr-device-id",
                                   "nvr-01",           "--nvr-key-id",   "key-01",
                                   "--signed-at-ms",   "1700000000000"};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

// Signs a video request with the key in a key file; returns the run.
test_util::RunResult sign_video(const TempDir& dir, const std::string& request,
                                std::vector<std::string> more = {}) {
  write_key_file(dir.file("key"), std::string(kKey) + "\n");
  write_file(dir.file("request.json"), request);
  more.insert(more.begin(), {"--nvr-private-key-file", dir.file("key")});
  return run(sign_args("sign-attestation", dir.file("request.json"), more));
}

// The hex of a text's bytes, to spell CBOR text strings in expected bytes.
std::string text_hex(std::string_view text) {
  return hex_encode(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

std::vector<std::uint8_t> manifest_of(const std::string& envelope_text) {
  auto envelope = read_envelope(
      std::span(reinterpret_cast<const std::uint8_t*>(envelope_text.data()), envelope_text.size()));
  EXPECT_TRUE(envelope) << envelope.error();
  return envelope ? envelope->manifest : std::vector<std::uint8_t>{};
}

TEST(SignAttestation, WritesTheExactEnvelope) {
  TempDir dir;
  auto r = sign_video(dir, video_request(), {"--output", dir.file("out/envelope.json")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "==> wrote " + dir.file("out/envelope.json") + "\n");
  EXPECT_EQ(read_file(dir.file("out/envelope.json")), kPlainEnvelope);
}

TEST(SignAttestation, SameInputsGiveIdenticalEnvelopes) {
  TempDir dir;
  auto first = sign_video(dir, video_request());
  auto second = sign_video(dir, video_request());
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(first.out, second.out);
  EXPECT_EQ(first.err, "");
}

TEST(SignAttestation, IgnoredRequestMembersDoNotChangeTheEnvelope) {
  TempDir dir;
  auto base = sign_video(dir, video_request());
  ASSERT_EQ(base.status, 0) << base.err;
  const std::vector<std::pair<std::string, std::string>> variants = {
      {"name", video_request("", "other name")},
      {"canonical_frame", video_request(R"(, "canonical_frame": {"width": 512, "height": 512,
                     "pixel_format": "rgba", "resize_filter": "bilinear"})")},
      {"native size", video_request(R"(, "native_width": 1920, "native_height": 1080)")},
      {"unknown key", video_request(R"(, "colour": "blue")")},
      {"fps without hashes", video_request(R"(, "fps": 5.0)")},
      {"empty hash list", video_request(R"(, "fps": 5.0, "phashes_hex": [])")},
      {"null members", video_request(R"(, "fps": null, "phashes_hex": null)")},
  };
  for (const auto& [name, request] : variants) {
    SCOPED_TRACE(name);
    auto r = sign_video(dir, request);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, base.out);
  }
}

TEST(SignAttestation, HashesBringRateAndSampler) {
  TempDir dir;
  std::string request = video_request(R"(, "phashes_hex": [")" + std::string(kHash1) + R"(", ")" +
                                      std::string(kHash2) + R"("])");
  auto signed_run = sign_video(dir, request);
  ASSERT_EQ(signed_run.status, 0) << signed_run.err;
  auto bytes = manifest_of(signed_run.out);
  std::string hex = hex_encode(bytes);
  EXPECT_TRUE(hex.starts_with("ab6176016770757270"));
  // The hashes unchanged (upper case kept), fps 2.0 as a half, then the sampler.
  std::string tail = "6b" + text_hex("phashes_hex") + "82" + "7840" + text_hex(kHash1) + "7840" +
                     text_hex(kHash2) + "63" + text_hex("fps") + "f94000" + "67" +
                     text_hex("sampler") + "a3" + "69" + text_hex("algorithm") + "6f" +
                     text_hex("vpdq_sampler_v1") + "66" + text_hex("resize") + "70" +
                     text_hex("512x512_bilinear") + "64" + text_hex("hash") + "67" +
                     text_hex("pdq_256") + "6c" + text_hex("signed_at_ms") + "1b0000018bcfe56800";
  EXPECT_TRUE(hex.ends_with(tail)) << hex;
  auto decoded = decode_manifest(bytes);
  ASSERT_TRUE(decoded) << decoded.error();
  EXPECT_EQ(decoded->fps, 2.0);
  EXPECT_EQ(decoded->phashes_hex->at(1), kHash2);
}

TEST(SignAttestation, RequestRateIsKeptWithHashes) {
  TempDir dir;
  auto r = sign_video(
      dir, video_request(R"(, "fps": 2.5, "phashes_hex": [")" + std::string(kHash1) + R"("])"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(hex_encode(manifest_of(r.out)).find("63" + text_hex("fps") + "f94100"),
            std::string::npos);
}

TEST(SignAttestation, NegativeSigningTimeIsOneByte) {
  TempDir dir;
  auto r = sign_video(dir, video_request(), {"--signed-at-ms", "-5"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(hex_encode(manifest_of(r.out)).ends_with("6c7369676e65645f61745f6d7324"));
}

TEST(SignAttestation, SignatureVerifiesWithThePublishedKey) {
  TempDir dir;
  auto r = sign_video(dir, video_request());
  ASSERT_EQ(r.status, 0);
  auto envelope =
      read_envelope(std::span(reinterpret_cast<const std::uint8_t*>(r.out.data()), r.out.size()));
  ASSERT_TRUE(envelope);
  EXPECT_TRUE(
      verify_evidence_signature(envelope->public_key, envelope->signature, envelope->manifest));
}

TEST(SignAttestation, EmptyDeviceIdIsSignedAndRefusedByReaders) {
  TempDir dir;
  write_file(dir.file("request.json"), video_request());
  auto r = run({"sign-attestation", dir.file("request.json"), "--nvr-device-id", "", "--nvr-key-id",
                "k", "--nvr-private-key-hex", std::string(kKey)});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, kWarning);
  auto decoded = decode_manifest(manifest_of(r.out));
  ASSERT_FALSE(decoded);
  EXPECT_EQ(decoded.error(), "nvr_device_id must be present and non-empty");
}

TEST(SignAttestation, RequestFromStdin) {
  TempDir dir;
  write_key_file(dir.file("key"), std::string(kKey));
  test_util::RunOptions options;
  options.stdin_bytes = video_request();
  auto r =
      run(sign_args("sign-attestation", "-", {"--nvr-private-key-file", dir.file("key")}), options);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, kPlainEnvelope);
}

// Failures in step order: the request before the key, the key before anything
// is written. The hex-key warning is printed exactly once, only once the key
// is loaded.
TEST(SignAttestation, FirstFaultWinsAndNothingIsWritten) {
  TempDir dir;
  write_file(dir.file("good.json"), video_request());
  write_file(dir.file("bad.json"), R"({"v": 2})");
  std::string out = dir.file("envelope.json");
  struct Case {
    std::string name;
    std::vector<std::string> args;
    std::string err;
  };
  const std::vector<Case> cases = {
      {"missing request",
       {"sign-attestation", dir.file("none.json")},
       "error: open " + dir.file("none.json") + ": No such file or directory (os error 2)\n"},
      {"bad request and bad key",
       {"sign-attestation", dir.file("bad.json"), "--nvr-private-key-hex", "00"},
       "error: parse request JSON: "},
      {"key refused",
       {"sign-attestation", dir.file("good.json"), "--nvr-private-key-hex", std::string(64, '0')},
       std::string(kWarning) + "error: parse nvr private key: signature error\n"},
      {"key mismatch",
       {"sign-attestation", dir.file("good.json"), "--nvr-private-key-hex", std::string(kKey),
        "--nvr-pubkey-hex", "04"},
       std::string(kWarning) + "error: --nvr-pubkey-hex does not match --nvr-private-key-*\n"},
      {"missing key file",
       {"sign-attestation", dir.file("good.json"), "--nvr-private-key-file", dir.file("nokey")},
       "error: read private key " + dir.file("nokey") +
           ": No such file or directory (os error 2)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = c.args;
    for (std::string extra : {"--nvr-device-id", "d", "--nvr-key-id", "k", "--output"})
      args.push_back(extra);
    args.push_back(out);
    if (std::ranges::count(args, "--nvr-private-key-hex") +
            std::ranges::count(args, "--nvr-private-key-file") ==
        0) {
      args.insert(args.end(), {"--nvr-private-key-hex", std::string(kKey)});
    }
    auto r = run(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    // Whole texts compare exactly, so the warning shows up once at most.
    if (c.err.ends_with("\n")) {
      EXPECT_EQ(r.err, c.err);
    } else {
      EXPECT_TRUE(r.err.starts_with(c.err)) << r.err;
    }
    EXPECT_FALSE(std::filesystem::exists(out));
  }
}

// An envelope too large for the evidence box is refused when it is made, not
// after embed-evidence has copied a long recording.
TEST(SignAttestation, EnvelopeOverTheBoxLimitIsRefused) {
  auto request_with = [](std::size_t count) {
    std::string list;
    for (std::size_t i = 0; i < count; ++i) list += (i ? ",\"" : "\"") + std::string(64, 'a') + "\"";
    return video_request(", \"phashes_hex\": [" + list + "]");
  };
  TempDir dir;
  auto fits = sign_video(dir, request_with(23000), {"--output", dir.file("fits.json")});
  EXPECT_EQ(fits.status, 0) << fits.err;
  auto over = sign_video(dir, request_with(24000), {"--output", dir.file("over.json")});
  EXPECT_EQ(over.status, 1);
  EXPECT_EQ(over.err,
            "error: evidence envelope would be 2112808 bytes, over the 2097152-byte limit of the "
            "evidence box: 24000 PDQ hashes; sample fewer frames (--fps)\n");
  EXPECT_FALSE(std::filesystem::exists(dir.file("over.json")));
}

TEST(SignZipManifest, WritesTheExactEnvelope) {
  TempDir dir;
  write_file(dir.file("case.json"), case_request());
  auto r = run(sign_args("sign-zip-manifest", dir.file("case.json"),
                         {"--nvr-private-key-hex", std::string(kKey)}));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, kWarning);
  EXPECT_EQ(r.out,
            R"({
  "manifest_b64": "qGF2AWdwdXJwb3NleBljYXNlLmV2aWRlbmNlLm1hbmlmZXN0LnYxbW52cl9kZXZpY2VfaWRmbnZyLTAxam52cl9rZXlfaWRma2V5LTAxcXNvdXJjZV9oYXNoX3Njb3BleB1vcmlnaW5hbF9maWxlX2J5dGVzX3NoYTI1Nl92MW1zb3VyY2Vfc2hhMjU2WCAB4PRQmePZXmTvlFgCIFdsEONeKJKCv2lWEPe5zi+9fGtzb3VyY2Vfc2l6ZRgcbHNpZ25lZF9hdF9tcxsAAAGLz+VoAA==",
  "nvr_pubkey_hex": "0460fed4ba255a9d31c961eb74c6356d68c049b8923b61fa6ce669622e60f29fb67903fe1008b8bc99a41ae9e95628bc64f2f1b20c2d7e9f5177a3c294d4462299",
  "nvr_sig_hex": "809cdf7f87e0dbb0b7660041da8bd70acc7385f7a8f421838194679ec1904bc22c7016bf5a6aff0806b240ecf7a02898c8ab14b9884eae45436cbff8e1c836cc",
  "purpose": "zq.evidence.zip_manifest.v1",
  "v": 1
}
)");
  // Eight members, the case purpose, no optional member.
  auto manifest = base64_decode(
      "qGF2AWdwdXJwb3NleBljYXNlLmV2aWRlbmNlLm1hbmlmZXN0LnYxbW52cl9kZXZpY2VfaWRmbnZyLTAxam52cl9rZXlf"
      "aWRma2V5LTAxcXNvdXJjZV9oYXNoX3Njb3BleB1vcmlnaW5hbF9maWxlX2J5dGVzX3NoYTI1Nl92MW1zb3VyY2Vfc2hh"
      "MjU2WCAB4PRQmePZXmTvlFgCIFdsEONeKJKCv2lWEPe5zi+9fGtzb3VyY2Vfc2l6ZRgcbHNpZ25lZF9hdF9tcxsAAAGL"
      "z+VoAA==");
  ASSERT_TRUE(manifest);
  EXPECT_EQ(hex_encode(*manifest),
            "a8"
            "617601"
            "67707572706f7365"
            "7819636173652e65766964656e63652e6d616e69666573742e7631"
            "6d6e76725f6465766963655f6964"
            "666e76722d3031"
            "6a6e76725f6b65795f6964"
            "666b65792d3031"
            "71736f757263655f686173685f73636f7065"
            "781d6f726967696e616c5f66696c655f62797465735f7368613235365f7631"
            "6d736f757263655f736861323536"
            "582001e0f45099e3d95e64ef94580220576c10e35e289282bf695610f7b9ce2fbd7c"
            "6b736f757263655f73697a65"
            "181c"
            "6c7369676e65645f61745f6d73"
            "1b0000018bcfe56800");
}

// openssl's PEM key forms sign byte for byte as the same scalar in hex (read
// from openssl's SEC1 DER: 7 header bytes, then the scalar), and derive the
// public key openssl gives.
TEST(SignAttestation, PemKeyFileSignsLikeItsHex) {
  if (!std::filesystem::exists(test_util::kOpenssl)) GTEST_SKIP() << "openssl is not installed";
  TempDir dir;
  write_file(dir.file("request.json"), video_request());
  const std::string pem = dir.file("key.pem");
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {"ecparam", "-name", "prime256v1", "-genkey", "-noout"},
           {"ecparam", "-name", "prime256v1", "-genkey"},  // an EC PARAMETERS block first
           {"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256"}}) {
    SCOPED_TRACE(args[0] + " " + std::to_string(args.size()));
    args.insert(args.end(), {"-out", pem});
    ASSERT_EQ(test_util::openssl(args).status, 0);
    std::filesystem::permissions(pem, std::filesystem::perms::owner_read);
    auto bytes = [](const std::string& s, std::size_t at, std::size_t n) {
      return hex_encode(std::span(reinterpret_cast<const std::uint8_t*>(s.data()) + at, n));
    };
    const std::string der = test_util::openssl({"ec", "-in", pem, "-outform", "DER"}).out;
    const std::string spki =
        test_util::openssl({"pkey", "-in", pem, "-pubout", "-outform", "DER"}).out;
    ASSERT_TRUE(der.size() >= 39 && spki.size() >= 65);
    write_key_file(dir.file("key.hex"), bytes(der, 7, 32));
    auto from_pem = run(sign_args(
        "sign-attestation", dir.file("request.json"),
        {"--nvr-private-key-file", pem, "--nvr-pubkey-hex", bytes(spki, spki.size() - 65, 65)}));
    auto from_hex = run(sign_args("sign-attestation", dir.file("request.json"),
                                  {"--nvr-private-key-file", dir.file("key.hex")}));
    ASSERT_EQ(from_pem.status, 0) << from_pem.err;
    EXPECT_EQ(from_pem.err, "");
    EXPECT_EQ(from_pem.out, from_hex.out);
  }
}

TEST(SignZipManifest, RefusesAVideoRequest) {
  TempDir dir;
  write_file(dir.file("video.json"), video_request());
  auto r = run(sign_args("sign-zip-manifest", dir.file("video.json"),
                         {"--nvr-private-key-hex", std::string(kKey)}));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "error: unsupported case attestation request purpose: zq.attestation.request.v1\n");
}

TEST(SignClock, MillisecondsFromTheClock) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  EXPECT_EQ(time_ms_from_clock(0, 0).value(), 0);
  EXPECT_EQ(time_ms_from_clock(1700000000, 123999999).value(), 1700000000123);
  EXPECT_EQ(time_ms_from_clock(kMax / 1000, (kMax % 1000) * 1'000'000).value(), kMax);
  EXPECT_EQ(time_ms_from_clock(kMax / 1000, (kMax % 1000 + 1) * 1'000'000).error(),
            "current time does not fit i64 ms");
  EXPECT_EQ(time_ms_from_clock(kMax / 1000 + 1, 0).error(), "current time does not fit i64 ms");
  EXPECT_EQ(time_ms_from_clock(-1, 999'999'999).error(),
            "system clock before Unix epoch: second time provided was later than self");

  auto before = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::system_clock::now().time_since_epoch())
                    .count();
  auto now = current_time_ms();
  ASSERT_TRUE(now);
  EXPECT_GE(*now, before);
  EXPECT_LT(*now, before + 60'000);
}

}  // namespace
