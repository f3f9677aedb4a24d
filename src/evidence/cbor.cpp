// CBOR for the evidence manifest. The writer emits only definite lengths and
// shortest heads, so the signed bytes of a manifest are always the same. The
// reader works on untrusted bytes: every length is checked against what is
// left of the input before anything is allocated, nesting is bounded, and
// each fault is described with the offset where it was found.

#include "evidence/cbor.h"

#include <bit>
#include <cmath>
#include <limits>

#include "encoding/text.h"

namespace {

constexpr std::uint8_t kUnsigned = 0, kNegative = 1, kBytes = 2, kText = 3, kArray = 4, kMap = 5,
                       kTag = 6, kSimple = 7;
constexpr std::uint8_t kFalse = 20, kTrue = 21, kNull = 22, kUndefined = 23, kSimpleByte = 24,
                       kHalf = 25, kSingle = 26, kDouble = 27, kIndefinite = 31;
constexpr std::uint8_t kBreakByte = 0xFF;

// The bits of `value` in a binary format with `exp_bits` exponent bits and
// `mant_bits` fraction bits, when that format holds the value exactly.
std::optional<std::uint32_t> narrow_exact(double value, int exp_bits, int mant_bits) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  const std::uint32_t sign = static_cast<std::uint32_t>(bits >> 63) << (exp_bits + mant_bits);
  const int exponent = static_cast<int>((bits >> 52) & 0x7FF);
  const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
  const int drop = 52 - mant_bits;
  const std::uint64_t drop_mask = (std::uint64_t{1} << drop) - 1;
  const std::uint32_t exp_max = (std::uint32_t{1} << exp_bits) - 1;
  if (exponent == 0x7FF) {  // infinities, and NaNs whose payload survives
    if ((fraction & drop_mask) != 0) return std::nullopt;
    return sign | exp_max << mant_bits | static_cast<std::uint32_t>(fraction >> drop);
  }
  if (exponent == 0) {  // double subnormals are far below either narrow range
    if (fraction != 0) return std::nullopt;
    return sign;
  }
  const int bias = static_cast<int>(exp_max >> 1);
  const int e = exponent - 1023;
  if (e > bias) return std::nullopt;
  if (e >= 1 - bias) {
    if ((fraction & drop_mask) != 0) return std::nullopt;
    return sign | static_cast<std::uint32_t>(e + bias) << mant_bits |
           static_cast<std::uint32_t>(fraction >> drop);
  }
  if (e < 1 - bias - mant_bits) return std::nullopt;
  const std::uint64_t significand = fraction | std::uint64_t{1} << 52;
  const int shift = drop + (1 - bias - e);
  if ((significand & ((std::uint64_t{1} << shift) - 1)) != 0) return std::nullopt;
  return sign | static_cast<std::uint32_t>(significand >> shift);
}

std::string_view describe(std::uint8_t major, std::uint8_t info) {
  switch (major) {
    case kUnsigned:
      return "unsigned integer";
    case kNegative:
      return "negative integer";
    case kBytes:
      return "byte string";
    case kText:
      return "text string";
    case kArray:
      return "array";
    case kMap:
      return "map";
    case kTag:
      return "tag";
    default:
      break;
  }
  switch (info) {
    case kFalse:
    case kTrue:
      return "boolean";
    case kNull:
      return "null";
    case kUndefined:
      return "undefined";
    case kHalf:
    case kSingle:
    case kDouble:
      return "floating-point number";
    case kIndefinite:
      return "break";
    default:
      return "simple value";
  }
}

}  // namespace

std::optional<std::uint16_t> double_to_half_exact(double value) {
  auto bits = narrow_exact(value, 5, 10);
  if (!bits) return std::nullopt;
  return static_cast<std::uint16_t>(*bits);
}

double half_to_double(std::uint16_t bits) {
  const bool negative = (bits & 0x8000) != 0;
  const int exponent = (bits >> 10) & 0x1F;
  const std::uint64_t fraction = bits & 0x3FF;
  if (exponent == 0x1F) {  // keep a NaN's payload, as the wider formats do
    const std::uint64_t wide =
        std::uint64_t{negative} << 63 | std::uint64_t{0x7FF} << 52 | fraction << 42;
    return std::bit_cast<double>(wide);
  }
  const double magnitude = exponent == 0
                               ? std::ldexp(static_cast<double>(fraction), -24)
                               : std::ldexp(static_cast<double>(fraction | 0x400), exponent - 25);
  return negative ? -magnitude : magnitude;
}

// ---- writer ----

void CborWriter::head(std::uint8_t major, std::uint64_t argument) {
  const auto initial = static_cast<std::uint8_t>(major << 5);
  if (argument < 24) {
    out_.push_back(initial | static_cast<std::uint8_t>(argument));
    return;
  }
  // Additional information 24 to 27 announces 1, 2, 4 or 8 bytes.
  const int log_width = argument <= 0xFF         ? 0
                        : argument <= 0xFFFF     ? 1
                        : argument <= 0xFFFFFFFF ? 2
                                                 : 3;
  out_.push_back(initial | static_cast<std::uint8_t>(24 + log_width));
  for (int i = (1 << log_width) - 1; i >= 0; --i)
    out_.push_back(static_cast<std::uint8_t>(argument >> (8 * i)));
}

void CborWriter::map_head(std::uint64_t count) { head(kMap, count); }
void CborWriter::array_head(std::uint64_t count) { head(kArray, count); }

void CborWriter::text(std::string_view text) {
  head(kText, text.size());
  out_.insert(out_.end(), text.begin(), text.end());
}

void CborWriter::bytes(std::span<const std::uint8_t> bytes) {
  head(kBytes, bytes.size());
  out_.insert(out_.end(), bytes.begin(), bytes.end());
}

void CborWriter::unsigned_int(std::uint64_t value) { head(kUnsigned, value); }

void CborWriter::signed_int(std::int64_t value) {
  // -1 - value never overflows for a negative value.
  if (value >= 0) {
    head(kUnsigned, static_cast<std::uint64_t>(value));
  } else {
    head(kNegative, static_cast<std::uint64_t>(-(value + 1)));
  }
}

void CborWriter::float_shortest(double value) {
  const auto emit = [this](std::uint8_t info, std::uint64_t bits, int width) {
    out_.push_back(static_cast<std::uint8_t>(kSimple << 5 | info));
    for (int i = width - 1; i >= 0; --i) out_.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
  };
  if (auto half = narrow_exact(value, 5, 10)) return emit(kHalf, *half, 2);
  if (auto single = narrow_exact(value, 8, 23)) return emit(kSingle, *single, 4);
  emit(kDouble, std::bit_cast<std::uint64_t>(value), 8);
}

// ---- reader ----

std::unexpected<std::string> CborReader::fault(std::string_view text, std::size_t offset) const {
  return fail(std::string(text) + " at offset " + std::to_string(offset));
}

std::unexpected<std::string> CborReader::type_fault(std::string_view what,
                                                    std::string_view expected,
                                                    const Head& found) const {
  return fault(std::string(what) + ": expected " + std::string(expected) + ", found " +
                   std::string(describe(found.major, found.info)),
               found.offset);
}

Result<CborReader::Head> CborReader::read_head() {
  Head head;
  head.offset = pos_;
  if (remaining() == 0) return fault("unexpected end of input", pos_);
  const std::uint8_t initial = in_[pos_++];
  head.major = initial >> 5;
  head.info = initial & 0x1F;
  if (head.info < 24) {
    head.argument = head.info;
  } else if (head.info <= 27) {
    const std::size_t width = std::size_t{1} << (head.info - 24);
    if (remaining() < width) return fault("unexpected end of input", in_.size());
    for (std::size_t i = 0; i < width; ++i) head.argument = head.argument << 8 | in_[pos_++];
  } else if (head.info < kIndefinite) {
    return fault("reserved additional information " + std::to_string(head.info), head.offset);
  } else if (head.major == kUnsigned || head.major == kNegative || head.major == kTag) {
    return fault(
        "indefinite length not allowed for " + std::string(describe(head.major, head.info)),
        head.offset);
  }
  if (head.major == kSimple && head.info == kSimpleByte && head.argument < 32) {
    return fault("simple value " + std::to_string(head.argument) + " in two-byte form",
                 head.offset);
  }
  return head;
}

Result<CborReader::Head> CborReader::read_item_head() {
  // Each tag head takes at least one byte, so this loop ends with the input.
  for (;;) {
    auto head = read_head();
    if (!head) return head;
    if (head->major == kTag) continue;
    if (head->major == kSimple && head->indefinite())
      return fault("unexpected break", head->offset);
    return head;
  }
}

Result<CborContainer> CborReader::enter(std::uint8_t major, std::string_view what) {
  auto head = read_item_head();
  if (!head) return std::unexpected(head.error());
  if (head->major != major) return type_fault(what, describe(major, 0), *head);
  if (depth_ >= kMaxDepth) {
    return fault("nesting deeper than " + std::to_string(kMaxDepth) + " levels", head->offset);
  }
  ++depth_;
  if (head->indefinite()) return CborContainer{};
  return CborContainer{head->argument};
}

Result<CborContainer> CborReader::enter_map(std::string_view what) { return enter(kMap, what); }
Result<CborContainer> CborReader::enter_array(std::string_view what) { return enter(kArray, what); }

Result<bool> CborReader::has_next(CborContainer& container) {
  bool more = false;
  if (container.remaining) {
    more = *container.remaining > 0;
    if (more) --*container.remaining;
  } else {
    if (remaining() == 0) return fault("unexpected end of input", pos_);
    more = in_[pos_] != kBreakByte;
    if (!more) ++pos_;
  }
  if (!more) --depth_;
  return more;
}

// A skipped string is not copied, nor its text checked: nothing reads it.
Result<std::string> CborReader::read_string_body(const Head& head, bool keep) {
  std::string out;
  if (!head.indefinite()) {
    if (head.argument > remaining()) {
      return fault("string of " + std::to_string(head.argument) + " bytes runs past the end",
                   head.offset);
    }
    if (keep) out.assign(reinterpret_cast<const char*>(in_.data() + pos_), head.argument);
    pos_ += head.argument;
    if (keep && head.major == kText && !is_valid_utf8(out)) {
      return fault("text string is not valid UTF-8", head.offset);
    }
    return out;
  }
  for (;;) {
    if (remaining() > 0 && in_[pos_] == kBreakByte) {
      ++pos_;
      return out;
    }
    auto chunk = read_head();
    if (!chunk) return std::unexpected(chunk.error());
    if (chunk->major != head.major || chunk->indefinite()) {
      return fault(
          "invalid chunk in indefinite-length " + std::string(describe(head.major, head.info)),
          chunk->offset);
    }
    auto piece = read_string_body(*chunk, keep);
    if (!piece) return piece;
    out += *piece;
  }
}

Result<std::string> CborReader::read_key() {
  auto head = read_item_head();
  if (!head) return std::unexpected(head.error());
  if (head->major != kText && head->major != kBytes) {
    return type_fault("map key", "text string", *head);
  }
  return read_string_body(*head);
}

Result<bool> CborReader::skip_if_absent() {
  const std::size_t start = pos_;
  auto head = read_item_head();
  if (!head) return std::unexpected(head.error());
  if (head->major == kSimple && (head->info == kNull || head->info == kUndefined)) return true;
  pos_ = start;
  return false;
}

Result<std::string> CborReader::read_text(std::string_view what) {
  auto head = read_item_head();
  if (!head) return std::unexpected(head.error());
  if (head->major != kText) return type_fault(what, "text string", *head);
  return read_string_body(*head);
}

Result<std::vector<std::uint8_t>> CborReader::read_bytes(std::string_view what) {
  auto head = read_item_head();
  if (!head) return std::unexpected(head.error());
  if (head->major != kBytes) return type_fault(what, "byte string", *head);
  auto body = read_string_body(*head);
  if (!body) return std::unexpected(body.error());
  return std::vector<std::uint8_t>(body->begin(), body->end());
}

Result<std::uint64_t> CborReader::read_unsigned(std::string_view what, std::uint64_t max) {
  auto head = read_item_head();
  if (!head) return std::unexpected(head.error());
  if (head->major != kUnsigned) return type_fault(what, "unsigned integer", *head);
  if (head->argument > max) {
    return fault(
        std::string(what) + ": integer " + std::to_string(head->argument) + " out of range",
        head->offset);
  }
  return head->argument;
}

Result<std::int64_t> CborReader::read_signed(std::string_view what) {
  auto head = read_item_head();
  if (!head) return std::unexpected(head.error());
  if (head->major != kUnsigned && head->major != kNegative) {
    return type_fault(what, "integer", *head);
  }
  constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (head->argument > kMax) {
    return fault(std::string(what) + ": integer " + (head->major == kNegative ? "-1-" : "") +
                     std::to_string(head->argument) + " out of range",
                 head->offset);
  }
  const auto magnitude = static_cast<std::int64_t>(head->argument);
  return head->major == kUnsigned ? magnitude : -1 - magnitude;
}

Result<double> CborReader::read_float(std::string_view what) {
  auto head = read_item_head();
  if (!head) return std::unexpected(head.error());
  if (head->major == kSimple) {
    if (head->info == kHalf) return half_to_double(static_cast<std::uint16_t>(head->argument));
    if (head->info == kSingle) {
      return static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(head->argument)));
    }
    if (head->info == kDouble) return std::bit_cast<double>(head->argument);
  }
  return type_fault(what, "floating-point number", *head);
}

Result<void> CborReader::skip() {
  const std::size_t start = pos_;
  auto head = read_item_head();
  if (!head) return std::unexpected(head.error());
  if (head->major == kBytes || head->major == kText) {
    auto body = read_string_body(*head, false);
    if (!body) return std::unexpected(body.error());
    return {};
  }
  if (head->major != kArray && head->major != kMap) return {};
  pos_ = start;
  auto container = enter(head->major, "item");
  if (!container) return std::unexpected(container.error());
  const int per_entry = head->major == kMap ? 2 : 1;
  for (;;) {
    auto more = has_next(*container);
    if (!more) return std::unexpected(more.error());
    if (!*more) return {};
    for (int i = 0; i < per_entry; ++i) {
      if (auto skipped = skip(); !skipped) return skipped;
    }
  }
}

