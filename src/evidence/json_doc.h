#pragma once
// JSON documents: untrusted ones parsed into typed records (one value, nothing
// but white space after it, repeated keys refused, nesting bounded, every
// fault described in words that end with the line and column), and the two
// forms every document of ours is written in.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "result.h"

/// Pretty-printed, two spaces a level, members in the object's own order, no
/// final newline. Every text reaching here is UTF-8 (arguments are checked,
/// parsed documents are UTF-8), so writing cannot fail; a stray byte would be
/// replaced rather than throw.
template <class Json>
std::string json_text(const Json& document) {
  return document.dump(2, ' ', false, Json::error_handler_t::replace);
}

/// The same on one line, without spaces: one record of a JSON Lines file.
template <class Json>
std::string json_line(const Json& document) {
  return document.dump(-1, ' ', false, Json::error_handler_t::replace);
}

struct JsonDocument {
  // Arrays and objects nested inside the root's members are kept empty: a
  // record reads its members and the items of a member's list, nothing deeper.
  nlohmann::json value;
  std::string end_position;  // "at line L column C", just past the value
};

/// The parsed value, or a description such as "duplicate field `v` at line 3 column 6".
Result<JsonDocument> parse_json_document(std::span<const std::uint8_t> bytes);

enum class JsonFieldKind { U32, U64, String, OptionalString, OptionalF64, OptionalStringList };

struct JsonFieldSpec {
  std::string_view name;
  JsonFieldKind kind;
};

/// A record whose members were all checked against their specs; the getters
/// cannot fail. Optional members given as null read as absent.
class JsonStruct {
 public:
  std::uint32_t u32(std::string_view name) const;
  std::uint64_t u64(std::string_view name) const;
  std::string string(std::string_view name) const;
  /// T is std::string, double or std::vector<std::string>, as the member's kind.
  template <class T>
  std::optional<T> optional(std::string_view name) const {
    auto it = members_.find(std::string(name));
    if (it == members_.end() || it->is_null()) return std::nullopt;
    return it->get<T>();
  }

 private:
  friend Result<JsonStruct> read_json_struct(const JsonDocument&, std::string_view,
                                             std::span<const JsonFieldSpec>);
  nlohmann::json members_;  // object keyed by field name; absent or null when missing
};

/// Reads an object (keys in any order, unknown keys ignored) or an array of
/// exactly the declared members in order. struct_name appears in the length
/// fault: "invalid length 3, expected struct NAME with 8 elements".
Result<JsonStruct> read_json_struct(const JsonDocument& document, std::string_view struct_name,
                                    std::span<const JsonFieldSpec> fields);
