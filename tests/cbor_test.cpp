#include "evidence/cbor.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

std::vector<std::uint8_t> to_bytes(std::string_view s) { return {s.begin(), s.end()}; }

std::string written(const std::function<void(CborWriter&)>& write) {
  CborWriter w;
  write(w);
  auto bytes = w.take();
  return {bytes.begin(), bytes.end()};
}

TEST(CborWriter, IntegerHeadsUseTheShortestForm) {
  const struct {
    std::int64_t value;
    std::string bytes;
  } cases[] = {
      {0, "\x00"s},
      {23, "\x17"},
      {24, "\x18\x18"},
      {255, "\x18\xff"},
      {256, "\x19\x01\x00"s},
      {65535, "\x19\xff\xff"},
      {65536, "\x1a\x00\x01\x00\x00"s},
      {4294967295, "\x1a\xff\xff\xff\xff"},
      {4294967296, "\x1b\x00\x00\x00\x01\x00\x00\x00\x00"s},
      {std::numeric_limits<std::int64_t>::max(), "\x1b\x7f\xff\xff\xff\xff\xff\xff\xff"},
      {-1, "\x20"},
      {-24, "\x37"},
      {-25, "\x38\x18"},
      {-256, "\x38\xff"},
      {-257, "\x39\x01\x00"s},
      {std::numeric_limits<std::int64_t>::min(), "\x3b\x7f\xff\xff\xff\xff\xff\xff\xff"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(written([&](CborWriter& w) { w.signed_int(c.value); }), c.bytes);
  }
  EXPECT_EQ(
      written([](CborWriter& w) { w.unsigned_int(std::numeric_limits<std::uint64_t>::max()); }),
      "\x1b\xff\xff\xff\xff\xff\xff\xff\xff");
}

TEST(CborWriter, StringAndContainerHeads) {
  EXPECT_EQ(written([](CborWriter& w) { w.text(""); }), "\x60");
  EXPECT_EQ(written([](CborWriter& w) { w.text(std::string(24, 'a')); }),
            "\x78\x18" + std::string(24, 'a'));
  const std::vector<std::uint8_t> bytes(256, 7);
  EXPECT_EQ(written([&](CborWriter& w) { w.bytes(bytes); }),
            "\x59\x01\x00"s + std::string(256, '\x07'));
  EXPECT_EQ(written([](CborWriter& w) { w.map_head(0); }), "\xa0");
  EXPECT_EQ(written([](CborWriter& w) { w.array_head(24); }), "\x98\x18");
}

TEST(CborWriter, FloatsTakeTheNarrowestExactWidth) {
  const struct {
    const char* name;
    double value;
    std::string bytes;
  } cases[] = {
      {"zero", 0.0, "\xf9\x00\x00"s},
      {"negative zero", -0.0, "\xf9\x80\x00"s},
      {"one", 1.0, "\xf9\x3c\x00"s},
      {"two", 2.0, "\xf9\x40\x00"s},
      {"largest half", 65504.0, "\xf9\x7b\xff"},
      {"smallest half normal", 0x1p-14, "\xf9\x04\x00"s},
      {"largest half subnormal", 1023 * 0x1p-24, "\xf9\x03\xff"s},
      {"smallest half subnormal", 0x1p-24, "\xf9\x00\x01"s},
      {"infinity", INFINITY, "\xf9\x7c\x00"s},
      {"minus infinity", -INFINITY, "\xf9\xfc\x00"s},
      {"quiet NaN", std::numeric_limits<double>::quiet_NaN(), "\xf9\x7e\x00"s},
      {"one step past half range", 65520.0, "\xfa\x47\x7f\xf0\x00"s},
      {"below half subnormals", 0x1p-25, "\xfa\x33\x00\x00\x00"s},
      {"half subnormal with a lost bit", 3 * 0x1p-25, "\xfa\x33\xc0\x00\x00"s},
      {"half exponent, too many digits", 1.0 + 0x1p-11, "\xfa\x3f\x80\x10\x00"s},
      {"single", 100000.0, "\xfa\x47\xc3\x50\x00"s},
      {"smallest single subnormal", 0x1p-149, "\xfa\x00\x00\x00\x01"s},
      {"below single subnormals", 0x1p-150, "\xfb\x36\x90\x00\x00\x00\x00\x00\x00"s},
      {"tenth", 0.1, "\xfb\x3f\xb9\x99\x99\x99\x99\x99\x9a"},
      {"beyond single range", 1e300, "\xfb\x7e\x37\xe4\x3c\x88\x00\x75\x9c"s},
      {"double subnormal", 0x1p-1074, "\xfb\x00\x00\x00\x00\x00\x00\x00\x01"s},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(written([&](CborWriter& w) { w.float_shortest(c.value); }), c.bytes);
  }
}

TEST(HalfPrecision, KnownValues) {
  EXPECT_EQ(half_to_double(0x3c00), 1.0);
  EXPECT_EQ(half_to_double(0xc000), -2.0);
  EXPECT_EQ(half_to_double(0x0001), 0x1p-24);
  EXPECT_EQ(half_to_double(0x03ff), 1023 * 0x1p-24);
  EXPECT_EQ(half_to_double(0x0400), 0x1p-14);
  EXPECT_EQ(half_to_double(0x7bff), 65504.0);
  EXPECT_EQ(half_to_double(0x7c00), INFINITY);
  EXPECT_TRUE(std::isnan(half_to_double(0x7e00)));
}

// Every half value, NaN payloads included, survives the trip through a
// double, and the reader gives the same double as the conversion.
TEST(HalfPrecision, EveryValueRoundTrips) {
  for (std::uint32_t h = 0; h <= 0xFFFF; ++h) {
    const double d = half_to_double(static_cast<std::uint16_t>(h));
    ASSERT_EQ(double_to_half_exact(d), std::optional<std::uint16_t>(h)) << h;
    const std::uint8_t item[] = {0xf9, static_cast<std::uint8_t>(h >> 8),
                                 static_cast<std::uint8_t>(h)};
    CborReader reader(item);
    auto read = reader.read_float("f");
    ASSERT_TRUE(read.has_value());
    ASSERT_EQ(std::bit_cast<std::uint64_t>(*read), std::bit_cast<std::uint64_t>(d)) << h;
  }
}

TEST(CborReader, SignedIntegersCoverTheWhole64BitRange) {
  const struct {
    std::string bytes;
    std::optional<std::int64_t> value;
  } cases[] = {
      {"\x3b\x7f\xff\xff\xff\xff\xff\xff\xff", std::numeric_limits<std::int64_t>::min()},
      {"\x1b\x7f\xff\xff\xff\xff\xff\xff\xff", std::numeric_limits<std::int64_t>::max()},
      {"\x3b\x80\x00\x00\x00\x00\x00\x00\x00"s, std::nullopt},
      {"\x1b\x80\x00\x00\x00\x00\x00\x00\x00"s, std::nullopt},
      {"\x38\x18", -25},
      {"\xc1\x1a\x65\x53\xf1\x00"s, 1700000000},  // a tag in front is passed over
  };
  for (const auto& c : cases) {
    auto bytes = to_bytes(c.bytes);
    CborReader reader(bytes);
    auto read = reader.read_signed("n");
    EXPECT_EQ(read.has_value(), c.value.has_value());
    if (read && c.value) {
      EXPECT_EQ(*read, *c.value);
    }
  }
}

TEST(CborReader, RefusesMalformedItems) {
  const struct {
    const char* name;
    std::string bytes;
    std::string error;
  } cases[] = {
      {"reserved additional information", "\x1c", "reserved additional information 28 at offset 0"},
      {"indefinite integer", "\x1f",
       "indefinite length not allowed for unsigned integer at offset 0"},
      {"indefinite tag", "\xdf\x00"s, "indefinite length not allowed for tag at offset 0"},
      {"simple value in two-byte form", "\xf8\x10", "simple value 16 in two-byte form at offset 0"},
      {"lone break", "\xff", "unexpected break at offset 0"},
      {"truncated argument", "\x19\x01", "unexpected end of input at offset 2"},
      {"string past the end", "\x43\x61\x62", "string of 3 bytes runs past the end at offset 0"},
      {"nested indefinite chunk", "\x5f\x5f\xff\xff",
       "invalid chunk in indefinite-length byte string at offset 1"},
      {"break inside a definite array", "\x82\x01\xff", "unexpected break at offset 2"},
      {"map key without value", "\xbf\x61x\xff", "unexpected break at offset 3"},
      {"unterminated indefinite array", "\x9f\x01", "unexpected end of input at offset 2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto bytes = to_bytes(c.bytes);
    CborReader reader(bytes);
    auto skipped = reader.skip();
    ASSERT_FALSE(skipped.has_value());
    EXPECT_EQ(skipped.error(), c.error);
  }
}

TEST(CborReader, SkipPassesOverWholeItems) {
  // array(2)[tag(1) 1, {"a": indefinite bytes}], simple 32, float, then the next item
  auto bytes = to_bytes("\x82\xc1\x01\xa1\x61\x61\x5f\x41x\x40\xff\xf8\x20\xfa\0\0\0\0\x07"s);
  CborReader reader(bytes);
  ASSERT_TRUE(reader.skip().has_value());
  ASSERT_TRUE(reader.skip().has_value());
  ASSERT_TRUE(reader.skip().has_value());
  EXPECT_EQ(reader.read_unsigned("n", 255).value(), 7u);
}

TEST(CborReader, KeysMayBeByteStringsAndAbsentValuesAreNullOrUndefined) {
  auto bytes = to_bytes("\xbf\x41k\xf6\x62kk\xf7\x61x\x01\xff");
  CborReader reader(bytes);
  auto map = reader.enter_map("m");
  ASSERT_TRUE(map.has_value());
  std::vector<std::string> keys;
  std::vector<bool> absent;
  while (reader.has_next(*map).value()) {
    keys.push_back(reader.read_key().value());
    absent.push_back(reader.skip_if_absent().value());
    if (!absent.back()) {
      EXPECT_EQ(reader.read_unsigned("x", 1).value(), 1u);
    }
  }
  EXPECT_EQ(keys, (std::vector<std::string>{"k", "kk", "x"}));
  EXPECT_EQ(absent, (std::vector<bool>{true, true, false}));
}

TEST(CborReader, DepthIsCountedPerOpenContainer) {
  std::vector<std::uint8_t> bytes(CborReader::kMaxDepth + 1, 0x81);
  bytes.push_back(0x00);
  CborReader reader(bytes);
  for (int level = 0; level < CborReader::kMaxDepth; ++level) {
    ASSERT_TRUE(reader.enter_array("a").has_value()) << level;
  }
  auto refused = reader.enter_array("a");
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error(), "nesting deeper than 256 levels at offset 256");

  // Closing a container gives its level back.
  auto sibling = to_bytes("\x82\x80\x80");
  CborReader flat(sibling);
  auto outer = flat.enter_array("a");
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(flat.has_next(*outer).value());
    auto inner = flat.enter_array("a");
    ASSERT_TRUE(inner.has_value());
    EXPECT_FALSE(flat.has_next(*inner).value());
  }
  EXPECT_FALSE(flat.has_next(*outer).value());
}

TEST(CborReader, TextMustBeUtf8InEveryChunk) {
  auto split = to_bytes("\x7f\x61\xc3\x61\xa9\xff");  // "é" split across two chunks
  CborReader reader(split);
  auto read = reader.read_text("t");
  ASSERT_FALSE(read.has_value());
  EXPECT_EQ(read.error(), "text string is not valid UTF-8 at offset 1");
  auto whole = to_bytes("\x7f\x62\xc3\xa9\x60\xff");
  CborReader ok(whole);
  EXPECT_EQ(ok.read_text("t").value(), "\xc3\xa9");
}

}  // namespace
