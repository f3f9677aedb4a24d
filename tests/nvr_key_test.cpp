// Loading the NVR key from a file or hex text: every message, the scalar
// range edges, the derived public key and the comparison with the expected one.

#include "evidence/nvr_key.h"

#include <gtest/gtest.h>

#include "encoding/hex.h"
#include "test_util.h"

namespace {

using test_util::TempDir;
using test_util::write_file;
using test_util::write_key_file;

constexpr std::string_view kWarning =
    "warning: --nvr-private-key-hex can expose key material via process listings; prefer "
    "--nvr-private-key-file on NVRs\n";
// The RFC 6979 P-256 test key and its public key.
constexpr std::string_view kKey =
    "c9afa9d845ba75166b5c215767b1d6934e50c3db36e89b127b8a622b120f6721";
constexpr std::string_view kPublic =
    "0460fed4ba255a9d31c961eb74c6356d68c049b8923b61fa6ce669622e60f29fb67903fe1008b8bc99a41ae9e95628"
    "bc64f2f1b20c2d7e9f5177a3c294d4462299";
constexpr std::string_view kOrder =
    "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551";
constexpr std::string_view kBadScalar = "parse nvr private key: signature error";

KeySource hex_source(std::string text) { return {KeySource::Kind::Hex, std::move(text)}; }
KeySource file_source(std::string path) { return {KeySource::Kind::File, std::move(path)}; }

// Loads with stderr captured; returns the result and what was printed.
std::pair<Result<NvrKey>, std::string> load(const KeySource& source,
                                            const std::optional<std::string>& expected = {}) {
  testing::internal::CaptureStderr();
  auto key = load_nvr_key(source, expected);
  std::string err = testing::internal::GetCapturedStderr();
  return {std::move(key), err};
}

TEST(NvrKeyFile, WhiteSpaceAnywhereIsRemoved) {
  TempDir dir;
  std::string k(kKey);
  const std::vector<std::pair<std::string, std::string>> layouts = {
      {"trailing newline", k + "\n"},
      {"four lines", k.substr(0, 16) + "\n" + k.substr(16, 16) + "\n" + k.substr(32, 16) + "\r\n" +
                         k.substr(48) + "\n"},
      {"spaced pairs",
       [&] {
         std::string spaced;
         for (std::size_t i = 0; i < k.size(); i += 2) spaced += k.substr(i, 2) + " ";
         return spaced;
       }()},
      {"unicode spaces", "\u3000" + k.substr(0, 32) + "\u00a0\u2028\t" + k.substr(32) + "\u0085"},
      {"upper case", "C9AFA9D845BA75166B5C215767B1D6934E50C3DB36E89B127B8A622B120F6721"},
  };
  for (const auto& [name, text] : layouts) {
    SCOPED_TRACE(name);
    write_key_file(dir.file("key"), text);
    auto [key, err] = load(file_source(dir.file("key")));
    ASSERT_TRUE(key) << key.error();
    EXPECT_EQ(key->public_key_hex, kPublic);
    EXPECT_EQ(hex_encode(key->scalar), kKey);
    EXPECT_EQ(err, "");
  }
}

TEST(NvrKeyFile, ReadFailures) {
  TempDir dir;
  write_key_file(dir.file("latin1"), "c9af\xe9");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {dir.file("missing"),
       "read private key " + dir.file("missing") + ": No such file or directory (os error 2)"},
      {dir.path().string(),
       "read private key " + dir.path().string() + ": Is a directory (os error 21)"},
      {dir.file("latin1"),
       "read private key " + dir.file("latin1") + ": stream did not contain valid UTF-8"},
      // An endless device is refused after a bound, not read until memory runs out.
      {"/dev/zero", "read private key /dev/zero: more than 65536 bytes, not a key file"},
  };
  for (const auto& [path, message] : cases) {
    SCOPED_TRACE(path);
    auto [key, err] = load(file_source(path));
    ASSERT_FALSE(key);
    EXPECT_EQ(key.error(), message);
    EXPECT_EQ(err, "");
  }
}

TEST(NvrKeyText, Messages) {
  std::string k(kKey);
  struct Case {
    std::string name, text, error;
  };
  const std::vector<Case> cases = {
      // The length is checked before the digits: one inner space makes 65 bytes.
      {"inner space", k.substr(0, 32) + " " + k.substr(32),
       "nvr private key: hex string has odd length"},
      {"inner spaces, even length", k.substr(0, 32) + "  " + k.substr(32),
       "nvr private key: hex string contains non-hex characters"},
      {"0x prefix", "0x" + k, "nvr private key: hex string contains non-hex characters"},
      {"63 digits", k.substr(0, 63), "nvr private key: hex string has odd length"},
      {"62 digits", k.substr(0, 62),
       "nvr private key must be a 32-byte P-256 scalar encoded as 64 hex chars, got 31 bytes"},
      {"66 digits", k + "00",
       "nvr private key must be a 32-byte P-256 scalar encoded as 64 hex chars, got 33 bytes"},
      {"empty", "",
       "nvr private key must be a 32-byte P-256 scalar encoded as 64 hex chars, got 0 bytes"},
      {"zero", std::string(64, '0'), std::string(kBadScalar)},
      {"n", std::string(kOrder), std::string(kBadScalar)},
      {"n + 1", std::string(kOrder.substr(0, 63)) + "2", std::string(kBadScalar)},
      {"all ones", std::string(64, 'f'), std::string(kBadScalar)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto [key, err] = load(hex_source(c.text));
    ASSERT_FALSE(key);
    EXPECT_EQ(key.error(), c.error);
    // The warning comes first, once, also for a refused key.
    EXPECT_EQ(err, kWarning);
  }
}

TEST(NvrKeyText, RangeEdgesAndSurroundingSpace) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"n - 1", std::string(kOrder.substr(0, 63)) + "0"},
      {"one", std::string(63, '0') + "1"},
      {"surrounding spaces", "  " + std::string(kKey) + " \n"},
  };
  for (const auto& [name, text] : cases) {
    SCOPED_TRACE(name);
    auto [key, err] = load(hex_source(text));
    EXPECT_TRUE(key) << key.error();
    EXPECT_EQ(err, kWarning);
  }
}

TEST(NvrKeyText, KeyOneGivesTheBasePoint) {
  auto [key, err] = load(hex_source(std::string(63, '0') + "1"));
  ASSERT_TRUE(key);
  EXPECT_EQ(key->public_key_hex,
            "046b17d1f2e12c4247f8bce6e563a440f277037d812deb33a0f4a13945d898c296"
            "4fe342e2fe1a7f9b8ee7eb4a7c0f9e162bce33576b315ececbb6406837bf51f5");
}

TEST(NvrKeyExpected, ComparedAsBytes) {
  std::string upper(kPublic);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  // The key's Y ends in 0x99, odd: its compressed form starts with 03.
  std::string compressed = "03" + std::string(kPublic.substr(2, 64));
  struct Case {
    std::string name, expected, error;  // error empty: loads
  };
  const std::vector<Case> cases = {
      {"same text", std::string(kPublic), ""},
      {"upper case", upper, ""},
      {"surrounding space", " " + std::string(kPublic) + "\n", ""},
      {"compressed form", compressed, "--nvr-pubkey-hex does not match --nvr-private-key-*"},
      {"other key",
       "046b17d1f2e12c4247f8bce6e563a440f277037d812deb33a0f4a13945d898c296"
       "4fe342e2fe1a7f9b8ee7eb4a7c0f9e162bce33576b315ececbb6406837bf51f5",
       "--nvr-pubkey-hex does not match --nvr-private-key-*"},
      {"one byte short", std::string(kPublic.substr(0, 128)),
       "--nvr-pubkey-hex does not match --nvr-private-key-*"},
      {"odd length", std::string(kPublic.substr(0, 129)),
       "nvr public key: hex string has odd length"},
      {"bad digit", "zz", "nvr public key: hex string contains non-hex characters"},
  };
  TempDir dir;
  write_key_file(dir.file("key"), std::string(kKey) + "\n");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto [key, err] = load(file_source(dir.file("key")), c.expected);
    if (c.error.empty()) {
      EXPECT_TRUE(key) << key.error();
    } else {
      ASSERT_FALSE(key);
      EXPECT_EQ(key.error(), c.error);
    }
  }
}

// PEM keys that openssl makes but that cannot sign, refused with the reason.
TEST(NvrKeyPem, RefusalsSayWhy) {
  if (!std::filesystem::exists(test_util::kOpenssl)) GTEST_SKIP() << "openssl is not installed";
  TempDir dir;
  auto make = [&](const std::string& name, std::vector<std::string> args) {
    args.insert(args.end(), {"-out", dir.file(name)});
    EXPECT_EQ(test_util::openssl(args).status, 0);
    std::filesystem::permissions(dir.file(name), std::filesystem::perms::owner_read);
    return dir.file(name);
  };
  const std::string sec1 = make("sec1", {"ecparam", "-name", "prime256v1", "-genkey", "-noout"});
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"ecparam", "-name", "secp384r1", "-genkey", "-noout"},
       "EC key on curve secp384r1; only P-256 (prime256v1) keys are accepted"},
      {{"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-aes256", "-pass",
        "pass:vorlant"},
       "encrypted PEM key (ENCRYPTED PRIVATE KEY); only unencrypted keys are accepted"},
      {{"ec", "-in", sec1, "-aes256", "-passout", "pass:vorlant"},
       "encrypted PEM key (EC PRIVATE KEY with Proc-Type: 4,ENCRYPTED); only unencrypted keys are "
       "accepted"},
      {{"genpkey", "-algorithm", "ed25519"},
       "ED25519 key; only P-256 (prime256v1) keys are accepted"},
      {{"pkey", "-in", sec1, "-pubout"}, "no EC PRIVATE KEY or PRIVATE KEY block"},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].second);
    const std::string path = make("k" + std::to_string(i), cases[i].first);
    auto [key, err] = load(file_source(path));
    ASSERT_FALSE(key);
    EXPECT_EQ(key.error(), "nvr private key " + path + ": " + cases[i].second);
  }
}

// As ssh does: a key file others may read is still used, with one warning.
TEST(NvrKeyFile, WarnsWhenOthersCanReadIt) {
  TempDir dir;
  const std::string path = dir.file("key");
  write_file(path, kKey);
  std::filesystem::permissions(
      path, std::filesystem::perms::owner_read | std::filesystem::perms::group_read);
  auto [key, err] = load(file_source(path));
  EXPECT_TRUE(key) << key.error();
  EXPECT_EQ(err, "warning: private key file " + path +
                     " is readable by group or others (mode 0440); restrict it with chmod 600 " +
                     path + "\n");
}

TEST(NvrKey, MovedFromKeyIsWiped) {
  auto [key, err] = load(hex_source(std::string(kKey)));
  ASSERT_TRUE(key);
  NvrKey moved = std::move(*key);
  EXPECT_EQ(hex_encode(moved.scalar), kKey);
  EXPECT_EQ(key->scalar, (std::array<std::uint8_t, 32>{}));
}

TEST(P256Scalar, RangeInConstantTimeCheck) {
  struct Case {
    std::string hex;
    bool valid;
  };
  const std::vector<Case> cases = {
      {std::string(64, '0'), false},
      {std::string(63, '0') + "1", true},
      {std::string(kOrder.substr(0, 63)) + "0", true},
      {std::string(kOrder), false},
      {std::string(kOrder.substr(0, 63)) + "2", false},
      {std::string(64, 'f'), false},
      {"8" + std::string(63, '0'), true},
      {"ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc6325ff", false},
      {"ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632500", true},
      {std::string(kKey), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hex);
    auto bytes = hex_decode(c.hex).value();
    EXPECT_EQ(is_p256_scalar(std::span<const std::uint8_t, 32>(bytes.data(), 32)), c.valid);
  }
}

}  // namespace
