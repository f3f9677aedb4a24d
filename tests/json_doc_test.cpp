// Untrusted JSON: repeated keys, depth, trailing bytes and typed members.

#include "evidence/json_doc.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace {

Result<JsonDocument> parse(std::string_view text) {
  return parse_json_document(
      std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

constexpr std::array<JsonFieldSpec, 4> kFields{{
    {"v", JsonFieldKind::U32},
    {"name", JsonFieldKind::String},
    {"fps", JsonFieldKind::OptionalF64},
    {"hashes", JsonFieldKind::OptionalStringList},
}};

Result<JsonStruct> read(std::string_view text) {
  auto document = parse(text);
  if (!document) return fail(document.error());
  return read_json_struct(*document, "Thing", kFields);
}

struct Case {
  std::string_view name, input, error;
};

TEST(JsonDoc, Faults) {
  constexpr Case kCases[] = {
      {"repeated key", "{\"v\":1,\n\"v\":2}", "duplicate field `v` at line 2 column 3"},
      {"repeated nested key", "{\"a\":{\"b\":1,\"b\":1}}", "duplicate field `b` at line 1 column 15"},
      {"repeated deep key", "[[{\"a\":[{\"b\":1,\"b\":1}]}]]", "duplicate field `b` at line 1 column 18"},
      {"missing", "{\"name\":\"x\"}", "missing field `v` at line 1 column 12"},
      {"wrong type", "{\"v\":\"1\",\"name\":\"x\"}",
       "invalid type: string \"1\", expected u32 at line 1 column 20"},
      {"too wide", "{\"v\":4294967296,\"name\":\"x\"}",
       "invalid value: integer `4294967296`, expected u32 at line 1 column 27"},
      {"negative", "{\"v\":-1,\"name\":\"x\"}",
       "invalid value: integer `-1`, expected u32 at line 1 column 19"},
      {"float for integer", "{\"v\":1.0,\"name\":\"x\"}",
       "invalid type: floating point `1.0`, expected u32 at line 1 column 20"},
      {"list item", "{\"v\":1,\"name\":\"x\",\"hashes\":[1]}",
       "invalid type: integer `1`, expected a string at line 1 column 31"},
      {"array length", "[1,\"x\"]",
       "invalid length 2, expected struct Thing with 4 elements at line 1 column 7"},
      {"not a struct", "5", "invalid type: integer `5`, expected struct Thing at line 1 column 1"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    auto r = read(c.input);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), c.error);
  }
}

TEST(JsonDoc, SyntaxFaultsEndWithPosition) {
  for (std::string_view text : {"", "{", "{} x", "[1,]", "{\"a\":\"\xff\"}"}) {
    SCOPED_TRACE(text);
    auto r = parse(text);
    ASSERT_FALSE(r);
    EXPECT_NE(r.error().find(" at line 1 column "), std::string::npos) << r.error();
  }
}

TEST(JsonDoc, FaultTextsAreValidUtf8WithoutLibraryPreamble) {
  // Fault texts land in JSON reports, which refuse invalid UTF-8.
  constexpr Case kCases[] = {
      {"raw byte in a string", "{\"v\":\"\xff\"}",
       "syntax error while parsing value - invalid string: ill-formed UTF-8 byte; last read: "
       "'\"\xef\xbf\xbd' at line 1 column 7"},
      {"number overflow", "{\"fps\":1e400}", "number overflow parsing '1e400' at line 1 column 13"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    auto r = parse(c.input);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), c.error);
  }
}

TEST(JsonDoc, NegativeZeroIsZero) {
  auto r = read("{\"v\":-0,\"name\":\"n\"}");
  ASSERT_TRUE(r) << r.error();
  EXPECT_EQ(r->u32("v"), 0u);
}

TEST(JsonDoc, NestingIsBounded) {
  std::string ok(256, '['), deep(257, '[');
  ok += std::string(256, ']');
  deep += std::string(257, ']');
  EXPECT_TRUE(parse(ok));
  auto r = parse(deep);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "recursion limit exceeded at line 1 column 257");
}

// The value is built from the parser's events by our own code: nested
// containers land where they stand, a key repeats only within one object, and
// below the root's members only the kind of a container is kept.
TEST(JsonDoc, BuildsTheOuterLevelsAsWritten) {
  auto r = parse(
      R"({"a":[{"k":1},{"k":[true]},[],"x"],"b":{"k":{"k":-2.5},"j":[[]]},"c":18446744073709551615})");
  ASSERT_TRUE(r) << r.error();
  EXPECT_EQ(r->value.dump(), R"({"a":[{},{},[],"x"],"b":{"j":[],"k":{}},"c":18446744073709551615})");
}

// Flat objects are read by a scanner of ours unless something in them is
// not plain (an escape, a byte outside printable ASCII, a number that is
// not a small unsigned integer, a repeated key); both readers must give the
// library's value, fault and end position. Strings longer than eight bytes
// exercise the scanner's word-at-a-time path.
TEST(JsonDoc, FlatObjectsReadAsTheLibraryReadsThem) {
  const struct {
    std::string_view name, input, value_or_error;
  } kCases[] = {
      {"plain", "{ \"a\" : true ,\n \"b\" : null , \"c\" : false }\n",
       "{\"a\":true,\"b\":null,\"c\":false} at line 2 column 27"},
      {"19 digits", "{\"v\":9999999999999999999}", "{\"v\":9999999999999999999} at line 1 column 25"},
      {"past 64 bits", "{\"v\":18446744073709551616}",
       "{\"v\":1.8446744073709552e+19} at line 1 column 26"},
      {"fraction and sign", "{\"a\":1.5e3,\"b\":-2}", "{\"a\":1500.0,\"b\":-2} at line 1 column 18"},
      {"escapes", R"({"a":"x\"y","b":"\u00e9"})", "{\"a\":\"x\\\"y\",\"b\":\"\xc3\xa9\"} at line 1 column 25"},
      {"escape after eight bytes", R"({"a":"0123456789abcdef\\"})",
       R"({"a":"0123456789abcdef\\"} at line 1 column 26)"},
      {"UTF-8 after eight bytes", "{\"a\":\"0123456789abcdef\xc3\xa9\"}",
       "{\"a\":\"0123456789abcdef\xc3\xa9\"} at line 1 column 26"},
      {"leading zero", "{\"v\":01}",
       "syntax error while parsing object - unexpected number literal; expected '}' at line 1 "
       "column 7"},
      {"raw tab", "{\"a\":\"t\tb\"}",
       "syntax error while parsing value - invalid string: control character U+0009 (HT) must be "
       "escaped to \\u0009 or \\t; last read: '\"t<U+0009>' at line 1 column 8"},
      {"repeated key", "{\"long\":\"0123456789abcdef0123\",\n\"long\":1}",
       "duplicate field `long` at line 2 column 6"},
      {"bytes after", "{\"k\":\"v\"} x",
       "syntax error while parsing value - invalid literal; last read: '\"v\"} x'; expected end of "
       "input at line 1 column 11"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    auto r = parse(c.input);
    EXPECT_EQ(r ? r->value.dump() + " " + r->end_position : r.error(), c.value_or_error);
  }
  EXPECT_TRUE(parse("{\"v\":9999999999999999999}")->value["v"].is_number_unsigned());
}

TEST(JsonDoc, NullOptionalsAndArrayForm) {
  auto r = read("{\"v\":1,\"name\":\"n\",\"fps\":null,\"hashes\":null,\"extra\":[{}]}\n");
  ASSERT_TRUE(r) << r.error();
  EXPECT_EQ(r->u32("v"), 1u);
  EXPECT_EQ(r->string("name"), "n");
  EXPECT_FALSE(r->optional<double>("fps"));
  EXPECT_FALSE(r->optional<std::vector<std::string>>("hashes"));

  auto a = read("[7, \"n\", 2.5, [\"a\"]]");
  ASSERT_TRUE(a) << a.error();
  EXPECT_EQ(a->u32("v"), 7u);
  EXPECT_EQ(a->optional<double>("fps"), 2.5);
  EXPECT_EQ(a->optional<std::vector<std::string>>("hashes"), std::vector<std::string>{"a"});
}

}  // namespace
