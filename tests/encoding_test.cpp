// Hex, Base64 and the UTF-8 text helpers against literal bytes and messages.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "encoding/base64.h"
#include "encoding/decimal.h"
#include "encoding/hex.h"
#include "encoding/sha256.h"
#include "encoding/text.h"

namespace {

std::vector<std::uint8_t> bytes(std::string_view s) { return {s.begin(), s.end()}; }

TEST(Hex, EncodesLowercase) {
  const std::uint8_t in[] = {0x00, 0xAB, 0xFF};
  EXPECT_EQ(hex_encode(in), "00abff");
  EXPECT_EQ(hex_encode({}), "");
}

TEST(Hex, DecodesEitherCaseAfterTrimmingUnicodeWhiteSpace) {
  const std::vector<std::uint8_t> expected = {0x00, 0xAB, 0xFF};
  EXPECT_EQ(hex_decode(" 00AbfF\n").value(), expected);
  EXPECT_EQ(hex_decode("\xE3\x80\x80\xC2\xA0"
                       "00abff\xE2\x80\xA8\t")
                .value(),
            expected);
  EXPECT_EQ(hex_decode("").value(), std::vector<std::uint8_t>{});
  EXPECT_EQ(hex_decode(" \r\n\v\f").value(), std::vector<std::uint8_t>{});
}

TEST(Hex, RefusesBadText) {
  struct Case {
    std::string_view name, input, error;
  };
  constexpr Case kCases[] = {
      {"odd length", "abc", "hex string has odd length"},
      {"bad digit", "zz", "hex string contains non-hex characters"},
      {"inner space, even length", "00 ff", "hex string has odd length"},
      {"inner space, odd length", "00 f", "hex string contains non-hex characters"},
      {"bad digit and odd length", "0g0", "hex string has odd length"},
      {"prefix", "0x00", "hex string contains non-hex characters"},
      // U+00A0 is two bytes: trimmed at the ends but not inside.
      {"inner no-break space",
       "00\xC2\xA0"
       "ff",
       "hex string contains non-hex characters"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    auto r = hex_decode(c.input);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), c.error);
  }
}

TEST(Sha256Hex, KnownDigests) {
  EXPECT_EQ(sha256_hex(std::string_view("abc")),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(sha256_hex(std::string_view("")),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(Base64, Encodes) {
  struct Case {
    std::string_view input, output;
  };
  constexpr Case kCases[] = {
      {"", ""},
      {"a", "YQ=="},
      {"ab", "YWI="},
      {"abc", "YWJj"},
      {"abcd", "YWJjZA=="},
      {"\xFF\xFE\xFD", "//79"},
      {"\xFB\xFF", "+/8="},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(base64_encode(bytes(c.input)), c.output);
  }
}

TEST(Base64, DecodesCanonicalText) {
  struct Case {
    std::string_view input, output;
  };
  constexpr Case kCases[] = {
      {"", ""},
      {"YQ==", "a"},
      {"YWI=", "ab"},
      {"YWJj", "abc"},
      {"YWJjZA==", "abcd"},
      {"//79", "\xFF\xFE\xFD"},
      {"+/8=", "\xFB\xFF"},
      {"QQ==", "A"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.input);
    auto r = base64_decode(c.input);
    ASSERT_TRUE(r.has_value()) << r.error();
    EXPECT_EQ(*r, bytes(c.output));
  }
}

TEST(Base64, RefusesNonCanonicalText) {
  struct Case {
    std::string_view name, input, error;
  };
  constexpr Case kCases[] = {
      {"one symbol", "Y", "Invalid input length: 1"},
      {"one symbol after a group", "YWJjY", "Invalid input length: 5"},
      {"no padding", "YQ", "Invalid padding"},
      {"short padding", "YQ=", "Invalid padding"},
      {"three symbols unpadded", "YWI", "Invalid padding"},
      {"only padding", "====", "Invalid symbol 61, offset 0."},
      {"padding after one symbol", "Y===", "Invalid symbol 61, offset 1."},
      {"padding inside", "YQ==YWJj", "Invalid symbol 61, offset 2."},
      {"symbol after padding", "YW=j", "Invalid symbol 61, offset 2."},
      {"padding alone after a group", "YWJj=", "Invalid symbol 61, offset 4."},
      {"unused bits set, one byte", "YR==", "Invalid last symbol 82, offset 1."},
      {"unused bits set, two bytes", "YWJ=", "Invalid last symbol 74, offset 2."},
      {"space", "YW Jj", "Invalid symbol 32, offset 2."},
      {"newline at end", "YWJj\n", "Invalid symbol 10, offset 4."},
      {"url alphabet", "-_8=", "Invalid symbol 45, offset 0."},
      {"high byte", "YW\xC3\xA9", "Invalid symbol 195, offset 2."},
      {"last of a middle group", "YWJjYWJ!YWJj", "Invalid symbol 33, offset 7."},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    auto r = base64_decode(c.input);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), c.error);
  }
}

TEST(Base64, RoundTripsEveryByteValueAndLength) {
  std::vector<std::uint8_t> all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<std::uint8_t>(i));
  for (std::size_t n = 0; n <= all.size(); n += 1) {
    std::span<const std::uint8_t> part(all.data(), n);
    auto r = base64_decode(base64_encode(part));
    ASSERT_TRUE(r.has_value());
    ASSERT_EQ(*r, std::vector<std::uint8_t>(part.begin(), part.end()));
  }
}

TEST(Text, TrimsOnlyWhiteSpaceAtTheEnds) {
  EXPECT_EQ(trim_unicode_whitespace("\xE3\x80\x80 \t a b\xC2\x85\xE2\x80\x8A\n"), "a b");
  EXPECT_EQ(trim_unicode_whitespace(" \xE2\x80\x8B "),
            "\xE2\x80\x8B");                                         // U+200B is not White_Space
  EXPECT_EQ(trim_unicode_whitespace("\x85 x \x85"), "\x85 x \x85");  // a lone byte is not U+0085
  EXPECT_EQ(trim_unicode_whitespace(" \xFF "), "\xFF");
  EXPECT_EQ(trim_unicode_whitespace(" \t "), "");
}

TEST(Text, RemovesEveryWhiteSpaceCharacter) {
  EXPECT_EQ(remove_unicode_whitespace(" a\xE1\x9A\x80"
                                      "b\xE2\x80\xAF"
                                      "c\xE2\x81\x9F"
                                      "d\xC2\xA0 "),
            "abcd");
  EXPECT_EQ(remove_unicode_whitespace("a\xFF b"),
            "a\xFF"
            "b");
}

TEST(Text, Utf8Validity) {
  struct Case {
    std::string_view name, bytes;
    bool valid;
  };
  constexpr Case kCases[] = {
      {"ascii", "abc", true},
      {"two to four bytes", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", true},
      {"last code point", "\xF4\x8F\xBF\xBF", true},
      {"overlong slash", "\xC0\xAF", false},
      {"overlong three bytes", "\xE0\x80\xAF", false},
      {"surrogate", "\xED\xA0\x80", false},
      {"above U+10FFFF", "\xF4\x90\x80\x80", false},
      {"lone continuation", "\x80", false},
      {"truncated", "\xE2\x82", false},
      {"straddling a word of ascii", "abcdefg\xC3\xA9hijklmnop", true},
      {"after a word of ascii", "abcdefgh\xC0\xAF", false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(is_valid_utf8(c.bytes), c.valid);
  }
}

TEST(Text, LossyConversionReplacesEachMaximalBadSequence) {
  constexpr std::string_view kR = "\xEF\xBF\xBD";
  EXPECT_EQ(to_lossy_utf8("clip.mp4"), "clip.mp4");
  EXPECT_EQ(to_lossy_utf8("a\xFF"
                          "b"),
            "a" + std::string(kR) + "b");
  // A truncated four-byte sequence is one replacement, not three.
  EXPECT_EQ(to_lossy_utf8("a\xF0\x9F\x98"
                          "b"),
            "a" + std::string(kR) + "b");
  // A surrogate's lead byte stops at its second byte: three replacements.
  EXPECT_EQ(to_lossy_utf8("\xED\xA0\x80"), std::string(kR) + std::string(kR) + std::string(kR));
}

TEST(Decimal, WholeValuesWithoutPointOthersShortestFixed) {
  struct Case {
    double value;
    std::string_view text;
  };
  constexpr Case kCases[] = {
      {2.0, "2"},
      {30.0, "30"},
      {2.5, "2.5"},
      {0.1, "0.1"},
      {29.97, "29.97"},
      {0.5, "0.5"},
      {1e-7, "0.0000001"},
      {1e20, "100000000000000000000"},
      {2.0000000000000004, "2.0000000000000004"},
      {1.0 / 3.0, "0.3333333333333333"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(format_decimal(c.value), c.text);
  }
}

TEST(Decimal, TwoSignificantDigitsUpAndDown) {
  EXPECT_EQ(two_digits_up(8.33), "8.4");
  EXPECT_EQ(two_digits_up(5.0), "5");
  EXPECT_EQ(two_digits_up(0.333), "0.34");
  EXPECT_EQ(two_digits_down(1.65), "1.6");
  EXPECT_EQ(two_digits_down(1.0), "1.0");
  EXPECT_EQ(one_decimal(-0.04), "-0.0");
}

}  // namespace
