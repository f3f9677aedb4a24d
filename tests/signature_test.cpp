// Deterministic signing against the RFC 6979 vectors, verification against
// the Wycheproof vectors, public-key decoding of every accepted form, and a
// cross-check with OpenSSL's own verifier.

#include "evidence/public_key.h"
#include "evidence/signature.h"

#include <gtest/gtest.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "encoding/hex.h"
#include "encoding/sha256.h"
#include "evidence/manifest.h"
#include "test_util.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes unhex(std::string_view text) { return hex_decode(text).value(); }

template <std::size_t N>
std::array<std::uint8_t, N> unhex_array(std::string_view text) {
  Bytes bytes = unhex(text);
  std::array<std::uint8_t, N> out{};
  EXPECT_EQ(bytes.size(), N);
  std::copy_n(bytes.begin(), std::min(N, bytes.size()), out.begin());
  return out;
}

std::array<std::uint8_t, 32> sha256(std::string_view text) {
  return unhex_array<32>(sha256_hex(text));
}

// Big-endian a - b for 32-byte values (a >= b).
Bytes subtract(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
  Bytes out(32);
  int borrow = 0;
  for (std::size_t i = 32; i-- > 0;) {
    int d = a[i] - b[i] - borrow;
    borrow = d < 0;
    out[i] = static_cast<std::uint8_t>(d + (borrow ? 256 : 0));
  }
  return out;
}

constexpr std::string_view kOrderHex =
    "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551";
constexpr std::string_view kPrimeHex =
    "ffffffff00000001000000000000000000000000ffffffffffffffffffffffff";
constexpr std::string_view kGx = "6b17d1f2e12c4247f8bce6e563a440f277037d812deb33a0f4a13945d898c296";
constexpr std::string_view kGy = "4fe342e2fe1a7f9b8ee7eb4a7c0f9e162bce33576b315ececbb6406837bf51f5";
constexpr std::string_view kSpkiPrefix = "3059301306072a8648ce3d020106082a8648ce3d030107034200";

nlohmann::json load_json(const std::string& name) {
  return nlohmann::json::parse(test_util::read_testdata("wycheproof/" + name));
}

struct Rfc6979Case {
  std::string message, k, signature;
};

struct Rfc6979File {
  std::string private_key, public_key;
  std::vector<Rfc6979Case> cases;
};

Rfc6979File load_rfc6979() {
  std::istringstream in(test_util::read_testdata("rfc6979/p256-sha256.txt"));
  Rfc6979File file;
  std::string line;
  while (std::getline(in, line)) {
    auto eq = line.find(" = ");
    if (line.starts_with("#") || eq == std::string::npos) continue;
    std::string key = line.substr(0, eq), value = line.substr(eq + 3);
    if (key == "private_key") file.private_key = value;
    if (key == "public_key_uncompressed") file.public_key = value;
    if (key == "message") file.cases.push_back({value, {}, {}});
    if (key == "k" && !file.cases.empty()) file.cases.back().k = value;
    if (key == "signature" && !file.cases.empty()) file.cases.back().signature = value;
  }
  // The tests index the two examples; a damaged copy must not let them crash.
  if (file.cases.size() != 2 || file.public_key.empty())
    throw std::runtime_error("test data rfc6979/p256-sha256.txt: not the two P-256 examples");
  return file;
}

TEST(Rfc6979, NonceAndSignatureMatchTheVectors) {
  Rfc6979File file = load_rfc6979();
  ASSERT_EQ(file.cases.size(), 2u);
  auto scalar = unhex_array<32>(file.private_key);
  for (const auto& c : file.cases) {
    SCOPED_TRACE(c.message);
    auto digest = sha256(c.message);
    auto nonce = rfc6979_nonce(scalar, digest);
    ASSERT_TRUE(nonce);
    EXPECT_EQ(hex_encode(*nonce), c.k);
    auto signature = sign_digest(scalar, digest);
    ASSERT_TRUE(signature);
    EXPECT_EQ(hex_encode(*signature), c.signature);
    EXPECT_TRUE(verify_evidence_signature(unhex(file.public_key), *signature,
                                          Bytes(c.message.begin(), c.message.end())));
  }
}

TEST(Rfc6979, SkippedCandidatesDiffer) {
  Rfc6979File file = load_rfc6979();
  auto scalar = unhex_array<32>(file.private_key);
  auto digest = sha256("sample");
  auto first = rfc6979_nonce(scalar, digest, 0);
  auto second = rfc6979_nonce(scalar, digest, 1);
  ASSERT_TRUE(first && second);
  EXPECT_NE(*first, *second);
}

TEST(Rfc6979, HighSIsKeptAsComputed) {
  // The "sample" vector's s lies above n/2; folding it would change the bytes.
  Rfc6979File file = load_rfc6979();
  std::string s_hex = file.cases[0].signature.substr(64);
  EXPECT_GT(s_hex, std::string("7fffffff800000007fffffffffffffffde737d56d38bcf4279dce5617e3192a8"));
}

// ---- Wycheproof signatures ----

TEST(Wycheproof, EveryP1363CaseSettlesAsMarked) {
  nlohmann::json data = load_json("ecdsa_secp256r1_sha256_p1363_test.json");
  int valid = 0, invalid = 0;
  for (const auto& group : data["testGroups"]) {
    Bytes key = unhex(group["publicKey"]["uncompressed"].get<std::string>());
    Bytes spki = unhex(group["publicKeyDer"].get<std::string>());
    for (const auto& test : group["tests"]) {
      SCOPED_TRACE("tcId " + std::to_string(test["tcId"].get<int>()));
      bool expected = test["result"] == "valid";
      Bytes msg = unhex(test["msg"].get<std::string>());
      Bytes sig = unhex(test["sig"].get<std::string>());
      EXPECT_EQ(verify_evidence_signature(key, sig, msg), expected);
      EXPECT_EQ(verify_evidence_signature(spki, sig, msg), expected);
      (expected ? valid : invalid)++;
    }
  }
  EXPECT_EQ(valid, 173);
  EXPECT_EQ(invalid, 89);
}

TEST(Wycheproof, EveryDerSignatureIsRefused) {
  nlohmann::json data = load_json("ecdsa_secp256r1_sha256_test.json");
  int count = 0;
  for (const auto& group : data["testGroups"]) {
    Bytes key = unhex(group["publicKey"]["uncompressed"].get<std::string>());
    Bytes spki = unhex(group["publicKeyDer"].get<std::string>());
    // The group's key in SubjectPublicKeyInfo form is the same key.
    auto decoded = decode_public_key(spki);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(Bytes(decoded->begin(), decoded->end()), key);
    for (const auto& test : group["tests"]) {
      SCOPED_TRACE("tcId " + std::to_string(test["tcId"].get<int>()));
      Bytes msg = unhex(test["msg"].get<std::string>());
      Bytes sig = unhex(test["sig"].get<std::string>());
      EXPECT_FALSE(verify_evidence_signature(key, sig, msg));
      ++count;
    }
  }
  EXPECT_EQ(count, 484);
}

// ---- Wycheproof public keys ----

// Every case either decodes or is refused as the test data's README settles
// it; an "invalid" key that did decode could still never verify a signature,
// so none may decode here.
void check_key_cases(const std::string& file, std::size_t expected_count) {
  nlohmann::json data = load_json(file);
  std::size_t count = 0;
  for (const auto& group : data["testGroups"]) {
    for (const auto& test : group["tests"]) {
      SCOPED_TRACE(file + " tcId " + std::to_string(test["tcId"].get<int>()));
      ++count;
      std::string result = test["result"];
      auto flags = test["flags"].get<std::vector<std::string>>();
      auto has = [&](std::string_view f) { return std::ranges::count(flags, f) > 0; };
      auto decoded = decode_public_key(unhex(test["public"].get<std::string>()));
      if (result == "valid" || has("CompressedPublic")) {
        EXPECT_TRUE(decoded);
      } else {
        EXPECT_FALSE(decoded) << result;
      }
    }
  }
  EXPECT_EQ(count, expected_count);
}

TEST(Wycheproof, SecPointCases) { check_key_cases("ecdh_secp256r1_ecpoint_test.json", 355); }
TEST(Wycheproof, SubjectPublicKeyInfoCases) { check_key_cases("ecdh_secp256r1_test.json", 612); }

// ---- hand-written key and signature cases ----

struct Signed {
  Bytes key;  // uncompressed
  Bytes signature;
  Bytes message;
};

Signed rfc_sample() {
  Rfc6979File file = load_rfc6979();
  return {unhex(file.public_key), unhex(file.cases[0].signature),
          Bytes{'s', 'a', 'm', 'p', 'l', 'e'}};
}

Bytes compressed(const Bytes& uncompressed, std::uint8_t lead) {
  Bytes out{lead};
  out.insert(out.end(), uncompressed.begin() + 1, uncompressed.begin() + 33);
  return out;
}

Bytes parity_prefix(const Bytes& uncompressed) {
  return compressed(uncompressed, static_cast<std::uint8_t>(0x02 | (uncompressed[64] & 1)));
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(Verify, EveryKeyEncodingOfTheSameKeyVerifies) {
  Signed s = rfc_sample();
  // This key's Y is the smaller root, so the compact form names it too.
  for (const Bytes& key :
       {s.key, parity_prefix(s.key), compressed(s.key, 0x05), concat({unhex(kSpkiPrefix), s.key}),
        concat({unhex("3039301306072a8648ce3d020106082a8648ce3d030107032200"),
                parity_prefix(s.key)})}) {
    SCOPED_TRACE(hex_encode(key));
    EXPECT_TRUE(verify_evidence_signature(key, s.signature, s.message));
  }
}

TEST(Verify, EveryDefectIsFalse) {
  Signed s = rfc_sample();
  Bytes n = unhex(kOrderHex);
  Bytes r(s.signature.begin(), s.signature.begin() + 32);
  Bytes sv(s.signature.begin() + 32, s.signature.end());
  Bytes zero(32, 0);
  Bytes wrong_parity = parity_prefix(s.key);
  wrong_parity[0] ^= 1;
  Bytes off_curve = s.key;
  off_curve[64] ^= 1;
  struct Case {
    std::string name;
    Bytes key, signature, message;
  };
  std::vector<Case> cases = {
      {"r = 0", s.key, concat({zero, sv}), s.message},
      {"s = 0", s.key, concat({r, zero}), s.message},
      {"r = n", s.key, concat({n, sv}), s.message},
      {"s = n", s.key, concat({r, n}), s.message},
      {"63 bytes", s.key, Bytes(s.signature.begin(), s.signature.end() - 1), s.message},
      {"65 bytes", s.key, concat({s.signature, {0}}), s.message},
      {"empty signature", s.key, {}, s.message},
      {"empty key", {}, s.signature, s.message},
      {"infinity", {0x00}, s.signature, s.message},
      {"33 bytes after 04", compressed(s.key, 0x04), s.signature, s.message},
      {"hybrid 06 form", concat({{0x06}, Bytes(s.key.begin() + 1, s.key.end())}), s.signature,
       s.message},
      {"point off the curve", off_curve, s.signature, s.message},
      {"other root", wrong_parity, s.signature, s.message},
      {"changed message", s.key, s.signature, Bytes{'s', 'a', 'm', 'p', 'l', 'E'}},
      {"spki with trailing byte", concat({unhex(kSpkiPrefix), s.key, {0}}), s.signature, s.message},
      {"spki with long-form length",
       concat({unhex("308159301306072a8648ce3d020106082a8648ce3d030107034200"), s.key}),
       s.signature, s.message},
      {"spki with unused bits",
       concat({unhex("3059301306072a8648ce3d020106082a8648ce3d030107034201"), s.key}), s.signature,
       s.message},
      {"spki on secp256k1",
       concat({unhex("3056301006072a8648ce3d020106052b8104000a034200"), s.key}), s.signature,
       s.message},
      {"truncated spki", concat({unhex(kSpkiPrefix), Bytes(s.key.begin(), s.key.end() - 1)}),
       s.signature, s.message},
  };
  for (std::size_t i = 0; i < 64; ++i) {
    Bytes changed = s.signature;
    changed[i] ^= 0x01;
    cases.push_back({"signature byte " + std::to_string(i), s.key, changed, s.message});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(verify_evidence_signature(c.key, c.signature, c.message));
  }
}

TEST(Verify, BothHalvesOfSAreAccepted) {
  Signed s = rfc_sample();
  Bytes r(s.signature.begin(), s.signature.begin() + 32);
  Bytes sv(s.signature.begin() + 32, s.signature.end());
  Bytes negated = subtract(unhex(kOrderHex), sv);
  EXPECT_TRUE(verify_evidence_signature(s.key, concat({r, negated}), s.message));
}

// ---- the compact 05 form ----

TEST(CompactPoint, TakesTheSmallerRoot) {
  Bytes g = unhex(std::string("04") + std::string(kGx) + std::string(kGy));
  // For G the smaller root is Gy itself; 02/03 with the other parity gives -G.
  auto decoded = decode_public_key(unhex(std::string("05") + std::string(kGx)));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(Bytes(decoded->begin(), decoded->end()), g);

  Bytes minus_gy = subtract(unhex(kPrimeHex), unhex(kGy));
  Bytes minus_g = concat({{0x04}, unhex(kGx), minus_gy});
  auto via_parity = decode_public_key(compressed(minus_g, 0x02 | (minus_gy[31] & 1)));
  ASSERT_TRUE(via_parity);
  EXPECT_EQ(Bytes(via_parity->begin(), via_parity->end()), minus_g);
}

TEST(CompactPoint, SignatureOfTheLargerRootDoesNotVerify) {
  // n - 1 has public point -G, whose Y is the larger root: the compact form
  // of its X names G instead, a different key.
  auto scalar =
      unhex_array<32>(hex_encode(subtract(unhex(kOrderHex), unhex(std::string(63, '0') + "1"))));
  auto digest = sha256("compact");
  auto signature = sign_digest(scalar, digest);
  ASSERT_TRUE(signature);
  Bytes message{'c', 'o', 'm', 'p', 'a', 'c', 't'};
  Bytes minus_gy = subtract(unhex(kPrimeHex), unhex(kGy));
  Bytes minus_g = concat({{0x04}, unhex(kGx), minus_gy});
  EXPECT_TRUE(verify_evidence_signature(minus_g, *signature, message));
  EXPECT_FALSE(
      verify_evidence_signature(unhex(std::string("05") + std::string(kGx)), *signature, message));
}

TEST(CompactPoint, DefectsAreRefused) {
  // The first small X with no point on the curve, found through the 02 form.
  std::string no_root;
  for (int x = 1; x < 64 && no_root.empty(); ++x) {
    std::uint8_t last = static_cast<std::uint8_t>(x);
    std::string candidate = std::string(62, '0') + hex_encode(std::span(&last, 1));
    if (!decode_public_key(unhex("02" + candidate))) no_root = candidate;
  }
  ASSERT_FALSE(no_root.empty());
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"x = p", "05" + std::string(kPrimeHex)},
      {"x with no root", "05" + no_root},
      {"32 bytes", "05" + std::string(kGx).substr(0, 62)},
      {"34 bytes", "05" + std::string(kGx) + "00"},
      {"lone 05", "05"},
  };
  for (const auto& [name, hex] : cases) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(decode_public_key(unhex(hex)));
  }
}

// ---- sign_manifest and OpenSSL's own verifier ----

bool openssl_verifies(const Bytes& public_key, const Bytes& raw_signature, const Bytes& message) {
  Bytes spki = concat({unhex(kSpkiPrefix), public_key});
  const unsigned char* p = spki.data();
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
      d2i_PUBKEY(nullptr, &p, static_cast<long>(spki.size())), EVP_PKEY_free);
  std::unique_ptr<ECDSA_SIG, decltype(&ECDSA_SIG_free)> sig(ECDSA_SIG_new(), ECDSA_SIG_free);
  if (!key || !sig) return false;
  ECDSA_SIG_set0(sig.get(), BN_bin2bn(raw_signature.data(), 32, nullptr),
                 BN_bin2bn(raw_signature.data() + 32, 32, nullptr));
  unsigned char* der = nullptr;
  int der_length = i2d_ECDSA_SIG(sig.get(), &der);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  bool ok = der_length > 0 && ctx &&
            EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
            EVP_DigestVerify(ctx.get(), der, static_cast<std::size_t>(der_length), message.data(),
                             message.size()) == 1;
  OPENSSL_free(der);
  return ok;
}

EvidenceManifest sample_manifest() {
  EvidenceManifest m;
  m.purpose = "video.evidence.manifest.v1";
  m.nvr_device_id = "nvr-1";
  m.nvr_key_id = "key-1";
  m.source_hash_scope = "original_file_bytes_sha256_v1";
  m.source_sha256 = Bytes(32, 0xAB);
  m.source_size = 1234;
  m.signed_at_ms = 1700000000000;
  return m;
}

TEST(SignManifest, OpenSslAcceptsTheSignatureOverTheEncodedBytes) {
  Rfc6979File file = load_rfc6979();
  auto scalar = unhex_array<32>(file.private_key);
  EvidenceManifest m = sample_manifest();
  auto signed_manifest = sign_manifest(m, scalar);
  ASSERT_TRUE(signed_manifest);
  Bytes signature = unhex(signed_manifest->nvr_sig_hex);
  ASSERT_EQ(signed_manifest->nvr_sig_hex.size(), 128u);
  Bytes bytes = encode_manifest(m);
  EXPECT_TRUE(openssl_verifies(unhex(file.public_key), signature, bytes));
  EXPECT_TRUE(verify_evidence_signature(unhex(file.public_key), signature, bytes));
  // Same inputs, same bytes.
  auto again = sign_manifest(m, scalar);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->nvr_sig_hex, signed_manifest->nvr_sig_hex);
  EXPECT_EQ(again->manifest_b64, signed_manifest->manifest_b64);
}

TEST(SignManifest, RfcVectorsPassOpenSsl) {
  Rfc6979File file = load_rfc6979();
  for (const auto& c : file.cases) {
    EXPECT_TRUE(openssl_verifies(unhex(file.public_key), unhex(c.signature),
                                 Bytes(c.message.begin(), c.message.end())));
  }
}

}  // namespace
