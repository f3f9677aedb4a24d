// Reads untrusted JSON with nlohmann/json, adding what the library leaves
// out: repeated keys are refused (the library keeps the last silently), the
// nesting depth is bounded, and every fault names where parsing stopped.
// The value is built from the parser's events by our own handler: the
// library's callback parser could make those checks too, but it rescans a
// container's members whenever one of them ends, which costs quadratic time
// on an array of many small objects. Only the two outer levels are built:
// they are all any reader of ours looks at, and a tree of a million nested
// arrays costs a heap allocation per array. A flat object of plain strings,
// small unsigned integers and literals (an envelope, whose manifest is
// megabytes of Base64) is read by a scanner of our own first: the library
// lexes a string a byte at a time, keeping every byte twice, and anything
// the scanner does not take whole goes to the library, so every value and
// every fault is the library's.

#include "evidence/json_doc.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <set>
#include <vector>

#include "encoding/text.h"

namespace {

using nlohmann::json;

constexpr std::size_t kMaxDepth = 256;
// Containers nested deeper than this are kept as empty ones of their kind.
constexpr std::size_t kBuiltDepth = 2;

// A byte iterator that records how far the parser has read, so a fault found
// by an event handler can be placed in the text.
class CountingIterator {
 public:
  using iterator_category = std::forward_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  CountingIterator() = default;
  CountingIterator(const char* at, const char* base, std::size_t* consumed)
      : at_(at), base_(base), consumed_(consumed) {}
  reference operator*() const { return *at_; }
  CountingIterator& operator++() {
    ++at_;
    if (consumed_) *consumed_ = static_cast<std::size_t>(at_ - base_);
    return *this;
  }
  CountingIterator operator++(int) {
    CountingIterator old = *this;
    ++*this;
    return old;
  }
  bool operator==(const CountingIterator& other) const { return at_ == other.at_; }

 private:
  const char* at_ = nullptr;
  const char* base_ = nullptr;
  std::size_t* consumed_ = nullptr;
};


constexpr std::uint64_t kOnes = 0x0101010101010101;
constexpr std::uint64_t kHighs = 0x8080808080808080;

std::uint64_t load64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// The high bit of each byte of `word` that equals `byte`, and no other bit.
std::uint64_t bytes_equal(std::uint64_t word, std::uint8_t byte) {
  const std::uint64_t x = word ^ (kOnes * byte);
  return ~(((x & ~kHighs) + ~kHighs) | x) & kHighs;
}

// Documents of megabytes are counted eight bytes at a time.
std::size_t count_newlines(std::span<const std::uint8_t> bytes) {
  std::size_t count = 0, i = 0;
  for (; i + 8 <= bytes.size(); i += 8) {
    // At most one bit a byte: a multiply sums them without a popcount,
    // which a build for any x86-64 makes a library call.
    count += static_cast<std::size_t>(((bytes_equal(load64(&bytes[i]), '\n') >> 7) * kOnes) >> 56);
  }
  for (; i < bytes.size(); ++i) count += bytes[i] == '\n';
  return count;
}

std::string position_at(std::span<const std::uint8_t> bytes, std::size_t consumed) {
  consumed = std::min(consumed, bytes.size());
  const std::size_t line = 1 + count_newlines(bytes.first(consumed));
  std::size_t line_start = consumed;
  while (line_start > 0 && bytes[line_start - 1] != '\n') --line_start;
  return "at line " + std::to_string(line) + " column " + std::to_string(consumed - line_start);
}

// The library's text without its "[json.exception...] parse error at line
// L, column C: " preamble; the position is added back in our own form. The
// library quotes the bytes it last read, which may be invalid UTF-8, and a
// fault text ends up inside our own JSON reports, so it is made valid here.
std::string describe_exception(const json::exception& e) {
  std::string what = e.what();
  std::size_t column = what.find(", column ");
  std::size_t colon = column == std::string::npos ? what.find("]: ") : what.find(": ", column);
  if (colon != std::string::npos) return to_lossy_utf8(what.substr(colon + 2));
  std::size_t bracket = what.find("] ");
  return to_lossy_utf8(bracket == std::string::npos ? what : what.substr(bracket + 2));
}

bool is_json_whitespace(std::uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string describe_value(const json& v) {
  switch (v.type()) {
    case json::value_t::null:
      return "null";
    case json::value_t::boolean:
      return std::string("boolean `") + (v.get<bool>() ? "true" : "false") + "`";
    case json::value_t::number_unsigned:
      return "integer `" + std::to_string(v.get<std::uint64_t>()) + "`";
    case json::value_t::number_integer:
      return "integer `" + std::to_string(v.get<std::int64_t>()) + "`";
    case json::value_t::number_float:
      return "floating point `" + v.dump() + "`";
    case json::value_t::string:
      return "string " + v.dump();
    case json::value_t::array:
      return "sequence";
    case json::value_t::object:
      return "map";
    default:
      return "value";
  }
}

std::string_view expected_text(JsonFieldKind kind) {
  switch (kind) {
    case JsonFieldKind::U32:
      return "u32";
    case JsonFieldKind::U64:
      return "u64";
    case JsonFieldKind::String:
    case JsonFieldKind::OptionalString:
      return "a string";
    case JsonFieldKind::OptionalF64:
      return "f64";
    case JsonFieldKind::OptionalStringList:
      return "a sequence";
  }
  return "a value";
}

bool is_optional(JsonFieldKind kind) {
  return kind == JsonFieldKind::OptionalString || kind == JsonFieldKind::OptionalF64 ||
         kind == JsonFieldKind::OptionalStringList;
}

// Empty when the value fits the kind, else the fault without its position.
std::string check_field(const json& v, JsonFieldKind kind) {
  std::string expected(expected_text(kind));
  auto invalid_type = [&](const json& bad) {
    return "invalid type: " + describe_value(bad) + ", expected " + expected;
  };
  switch (kind) {
    case JsonFieldKind::U32:
    case JsonFieldKind::U64: {
      // Signed or unsigned; the library keeps "-0" as a signed zero, still zero.
      if (!v.is_number_integer()) return invalid_type(v);
      const bool fits = v.is_number_unsigned()
                            ? kind == JsonFieldKind::U64 || v.get<std::uint64_t>() <= 0xFFFFFFFFu
                            : v.get<std::int64_t>() == 0;
      if (fits) return {};
      return "invalid value: " + describe_value(v) + ", expected " + expected;
    }
    case JsonFieldKind::String:
    case JsonFieldKind::OptionalString:
      return v.is_string() ? std::string() : invalid_type(v);
    case JsonFieldKind::OptionalF64:
      return v.is_number() ? std::string() : invalid_type(v);
    case JsonFieldKind::OptionalStringList: {
      if (!v.is_array()) return invalid_type(v);
      for (const json& item : v) {
        if (!item.is_string()) return "invalid type: " + describe_value(item) + ", expected a string";
      }
      return {};
    }
  }
  return {};
}

// Builds the value from the parser's events, refusing repeated keys and
// nesting deeper than kMaxDepth; keeps the first fault with the offset it is
// reported at. Below kBuiltDepth only the keys of open objects are kept, to
// find repeated ones.
class DocumentBuilder final : public json::json_sax_t {
 public:
  explicit DocumentBuilder(const std::size_t& consumed) : consumed_(consumed) {}
  bool null() override { return add(nullptr); }
  bool boolean(bool value) override { return add(value); }
  bool number_integer(number_integer_t value) override { return add(value); }
  bool number_unsigned(number_unsigned_t value) override { return add(value); }
  bool number_float(number_float_t value, const string_t&) override { return add(value); }
  bool string(string_t& value) override { return add(std::move(value)); }
  bool binary(binary_t& value) override { return add(json::binary(std::move(value))); }
  bool start_object(std::size_t) override { return enter(json::value_t::object); }
  bool key(string_t& key) override {
    if (unbuilt_ > 0) {
      if (!unbuilt_keys_.back().insert(key).second) return duplicate(key);
      return true;
    }
    auto [member, added] = open_.back()->emplace(key, nullptr);
    if (!added) return duplicate(key);
    member_ = &member.value();
    return true;
  }
  bool end_object() override {
    if (unbuilt_ > 0) unbuilt_keys_.pop_back();
    return leave();
  }
  bool start_array(std::size_t) override { return enter(json::value_t::array); }
  bool end_array() override { return leave(); }
  // A syntax fault is placed where the library says; others (a number too
  // large for a double) where reading stopped.
  bool parse_error(std::size_t, const std::string&, const json::exception& e) override {
    const auto* syntax = dynamic_cast<const json::parse_error*>(&e);
    return stop(describe_exception(e), syntax != nullptr ? syntax->byte : consumed_);
  }

  json take() { return std::move(root_); }
  const std::string& fault() const { return fault_; }
  std::size_t fault_offset() const { return fault_offset_; }

 private:
  // A scalar: placed where it stands, unless that is below the built levels.
  template <class Value>
  bool add(Value&& value) {
    if (unbuilt_ == 0) place(std::forward<Value>(value));
    return true;
  }
  // Places a value in the open array or object, or as the root.
  template <class Value>
  json* place(Value&& value) {
    if (open_.empty()) {
      root_ = json(std::forward<Value>(value));
      return &root_;
    }
    if (open_.back()->is_array()) {
      open_.back()->emplace_back(std::forward<Value>(value));
      return &open_.back()->back();
    }
    *member_ = json(std::forward<Value>(value));
    return member_;
  }
  bool enter(json::value_t type) {
    if (open_.size() + unbuilt_ >= kMaxDepth) return stop("recursion limit exceeded", consumed_);
    if (unbuilt_ == 0 && open_.size() < kBuiltDepth) {
      open_.push_back(place(type));
      return true;
    }
    if (unbuilt_ == 0) place(type);
    ++unbuilt_;
    if (type == json::value_t::object) unbuilt_keys_.emplace_back();
    return true;
  }
  bool leave() {
    if (unbuilt_ > 0)
      --unbuilt_;
    else
      open_.pop_back();
    return true;
  }
  bool duplicate(const std::string& key) { return stop("duplicate field `" + key + "`", consumed_); }
  bool stop(std::string text, std::size_t offset) {
    fault_ = std::move(text);
    fault_offset_ = offset;
    return false;
  }

  const std::size_t& consumed_;
  json root_;
  std::vector<json*> open_;  // the built arrays and objects not yet closed, outermost first
  json* member_ = nullptr;   // where the value after the last key goes
  std::size_t unbuilt_ = 0;  // open containers below kBuiltDepth
  std::vector<std::set<std::string>> unbuilt_keys_;  // keys of the open objects among them
  std::string fault_;
  std::size_t fault_offset_ = 0;
};

// Reads a flat object whose members are all plain strings (printable ASCII,
// no escapes), unsigned integers of up to 19 digits (so they fit 64 bits),
// true, false or null, with distinct keys; nullopt for anything else, which
// the library then reads. The value is the one the library would build.
class PlainObjectScanner {
 public:
  explicit PlainObjectScanner(std::span<const std::uint8_t> bytes)
      : at_(bytes.data()), end_(bytes.data() + bytes.size()) {}
  std::optional<json> scan() {
    json object = json::object();
    if (!take('{')) return std::nullopt;
    if (take('}')) return finish(std::move(object));
    do {
      std::string key;
      if (!string(key) || !take(':')) return std::nullopt;
      auto value = member_value();
      if (!value || !object.emplace(std::move(key), std::move(*value)).second) return std::nullopt;
    } while (take(','));
    if (!take('}')) return std::nullopt;
    return finish(std::move(object));
  }

 private:
  void skip_space() {
    while (at_ != end_ && is_json_whitespace(*at_)) ++at_;
  }
  bool take(char c) {
    skip_space();
    if (at_ == end_ || *at_ != static_cast<std::uint8_t>(c)) return false;
    ++at_;
    return true;
  }
  std::optional<json> finish(json object) {
    skip_space();
    if (at_ != end_) return std::nullopt;
    return object;
  }
  bool string(std::string& out) {
    if (!take('"')) return false;
    const std::uint8_t* from = at_;
    // Eight plain bytes at a time: none below 0x20, none above 0x7e, no
    // quote and no backslash; the word that has one is read byte by byte.
    while (end_ - at_ >= 8) {
      const std::uint64_t w = load64(at_);
      const std::uint64_t below = (w - kOnes * 0x20) & ~w & kHighs;
      if (below | (w & kHighs) | bytes_equal(w, 0x7f) | bytes_equal(w, '"') | bytes_equal(w, '\\')) {
        break;
      }
      at_ += 8;
    }
    for (; at_ != end_ && *at_ != '"'; ++at_) {
      if (*at_ < 0x20 || *at_ > 0x7e || *at_ == '\\') return false;
    }
    if (at_ == end_) return false;
    out.assign(reinterpret_cast<const char*>(from), static_cast<std::size_t>(at_ - from));
    ++at_;
    return true;
  }
  bool literal(std::string_view word) {
    if (static_cast<std::size_t>(end_ - at_) < word.size() ||
        std::memcmp(at_, word.data(), word.size()) != 0) {
      return false;
    }
    at_ += word.size();
    return true;
  }
  std::optional<json> member_value() {
    skip_space();
    if (at_ == end_) return std::nullopt;
    if (*at_ == '"') {
      std::string text;
      if (!string(text)) return std::nullopt;
      return json(std::move(text));
    }
    if (literal("true")) return json(true);
    if (literal("false")) return json(false);
    if (literal("null")) return json(nullptr);
    return unsigned_number();
  }
  std::optional<json> unsigned_number() {
    const std::uint8_t* from = at_;
    std::uint64_t value = 0;
    for (; at_ != end_ && *at_ >= '0' && *at_ <= '9'; ++at_) value = value * 10 + (*at_ - '0');
    const auto digits = at_ - from;
    // A leading zero, a fraction or an exponent is the library's to judge.
    if (digits == 0 || digits > 19 || (digits > 1 && *from == '0')) return std::nullopt;
    if (at_ != end_ && (*at_ == '.' || *at_ == 'e' || *at_ == 'E')) return std::nullopt;
    return json(value);
  }

  const std::uint8_t* at_;
  const std::uint8_t* end_;
};

}  // namespace

Result<JsonDocument> parse_json_document(std::span<const std::uint8_t> bytes) {
  JsonDocument document;
  if (auto plain = PlainObjectScanner(bytes).scan()) {
    document.value = std::move(*plain);
  } else {
    const char* base = reinterpret_cast<const char*>(bytes.data());
    std::size_t consumed = 0;
    DocumentBuilder builder(consumed);
    try {
      if (!json::sax_parse(CountingIterator(base, base, &consumed),
                           CountingIterator(base + bytes.size(), base, nullptr), &builder)) {
        return fail(builder.fault() + " " + position_at(bytes, builder.fault_offset()));
      }
    } catch (const json::exception& e) {
      return fail(describe_exception(e) + " " + position_at(bytes, consumed));
    }
    document.value = builder.take();
  }
  std::size_t end = bytes.size();
  while (end > 0 && is_json_whitespace(bytes[end - 1])) --end;
  document.end_position = position_at(bytes, end);
  return document;
}

Result<JsonStruct> read_json_struct(const JsonDocument& document, std::string_view struct_name,
                                    std::span<const JsonFieldSpec> fields) {
  const json& value = document.value;
  auto at_end = [&](const std::string& text) { return fail(text + " " + document.end_position); };
  JsonStruct record;
  record.members_ = json::object();
  if (value.is_array()) {
    if (value.size() != fields.size()) {
      return at_end("invalid length " + std::to_string(value.size()) + ", expected struct " +
                    std::string(struct_name) + " with " + std::to_string(fields.size()) +
                    " elements");
    }
    for (std::size_t i = 0; i < fields.size(); ++i)
      record.members_[std::string(fields[i].name)] = value[i];
  } else if (value.is_object()) {
    for (const JsonFieldSpec& field : fields) {
      auto it = value.find(std::string(field.name));
      if (it != value.end()) record.members_[std::string(field.name)] = *it;
    }
  } else {
    return at_end("invalid type: " + describe_value(value) + ", expected struct " +
                  std::string(struct_name));
  }
  for (const JsonFieldSpec& field : fields) {
    auto it = record.members_.find(std::string(field.name));
    if (it == record.members_.end()) continue;
    if (it->is_null() && is_optional(field.kind)) continue;
    std::string fault = check_field(*it, field.kind);
    if (!fault.empty()) return at_end(fault);
  }
  for (const JsonFieldSpec& field : fields) {
    if (is_optional(field.kind)) continue;
    if (!record.members_.contains(std::string(field.name)))
      return at_end("missing field `" + std::string(field.name) + "`");
  }
  return record;
}

std::uint32_t JsonStruct::u32(std::string_view name) const {
  return static_cast<std::uint32_t>(members_.at(std::string(name)).get<std::uint64_t>());
}

std::uint64_t JsonStruct::u64(std::string_view name) const {
  return members_.at(std::string(name)).get<std::uint64_t>();
}

std::string JsonStruct::string(std::string_view name) const {
  return members_.at(std::string(name)).get<std::string>();
}
