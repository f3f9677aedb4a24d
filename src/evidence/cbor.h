#pragma once
// A small CBOR codec (RFC 8949) for the evidence manifest: a writer of
// definite-length items with shortest-form heads, and a pull reader of
// untrusted bytes that is bounded in depth and never reads past its input.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "result.h"

class CborWriter {
 public:
  void map_head(std::uint64_t count);
  void array_head(std::uint64_t count);
  void text(std::string_view text);
  void bytes(std::span<const std::uint8_t> bytes);
  void unsigned_int(std::uint64_t value);
  /// Major type 0 for zero and up, major type 1 (carrying -1 - value) below.
  void signed_int(std::int64_t value);
  /// Half, single or double precision: the narrowest that holds the value exactly.
  void float_shortest(double value);
  std::vector<std::uint8_t> take() { return std::move(out_); }

 private:
  void head(std::uint8_t major, std::uint64_t argument);
  std::vector<std::uint8_t> out_;
};

/// The IEEE 754 half-precision bits of `value` when it converts exactly.
std::optional<std::uint16_t> double_to_half_exact(double value);
/// The double that half-precision `bits` stand for (always exact).
double half_to_double(std::uint16_t bits);

/// A map or array being read: a definite one counts its remaining entries, an
/// indefinite one ends at the break byte.
struct CborContainer {
  std::optional<std::uint64_t> remaining;
};

/// Reads items one after another. Tags in front of an item are passed over.
/// `what` names the item in type faults, e.g. "field `v`".
class CborReader {
 public:
  static constexpr int kMaxDepth = 256;

  explicit CborReader(std::span<const std::uint8_t> input) : in_(input) {}

  /// Enters a map or an array, definite or indefinite; fails past kMaxDepth.
  Result<CborContainer> enter_map(std::string_view what);
  Result<CborContainer> enter_array(std::string_view what);
  /// True when the container has another entry (for a map: another key and
  /// value); false once its end has been consumed.
  Result<bool> has_next(CborContainer& container);
  /// A map key: a text string, or a byte string holding the same characters.
  Result<std::string> read_key();
  /// Consumes a null or undefined and returns true; otherwise reads nothing.
  Result<bool> skip_if_absent();
  Result<std::string> read_text(std::string_view what);
  Result<std::vector<std::uint8_t>> read_bytes(std::string_view what);
  /// An unsigned integer no larger than `max`.
  Result<std::uint64_t> read_unsigned(std::string_view what, std::uint64_t max);
  /// An unsigned or negative integer within the signed 64-bit range.
  Result<std::int64_t> read_signed(std::string_view what);
  /// A floating-point number of any width.
  Result<double> read_float(std::string_view what);
  /// Passes over one whole item, checking that it is well formed.
  Result<void> skip();

 private:
  struct Head {
    std::uint8_t major = 0;
    std::uint8_t info = 0;
    std::uint64_t argument = 0;
    std::size_t offset = 0;
    bool indefinite() const { return info == 31; }
  };

  Result<Head> read_head();
  Result<Head> read_item_head();  // read_head after any tags
  Result<CborContainer> enter(std::uint8_t major, std::string_view what);
  Result<std::string> read_string_body(const Head& head, bool keep = true);
  std::unexpected<std::string> fault(std::string_view text, std::size_t offset) const;
  std::unexpected<std::string> type_fault(std::string_view what, std::string_view expected,
                                          const Head& found) const;
  std::size_t remaining() const { return in_.size() - pos_; }

  std::span<const std::uint8_t> in_;
  std::size_t pos_ = 0;
  int depth_ = 0;
};

