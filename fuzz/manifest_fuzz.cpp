// The CBOR manifest decoder on arbitrary bytes. What it accepts must encode
// to bytes that decode to the same record; and when the input is already in
// the encoder's own form (judged here by a reader of that form alone, not by
// the codec under test), encoding gives back exactly the input.

#include <array>
#include <cmath>
#include <cstring>

#include "evidence/manifest.h"
#include "fuzz_util.h"

namespace {

// The members in the order the encoder writes them, with the CBOR major type
// of each value (7 stands for a float, 8 for any integer, 9 for the sampler).
struct Member {
  std::string_view key;
  int major;
};
constexpr std::array<Member, 12> kOrder = {{{"v", 0},
                                            {"purpose", 3},
                                            {"camera_id", 3},
                                            {"nvr_device_id", 3},
                                            {"nvr_key_id", 3},
                                            {"source_hash_scope", 3},
                                            {"source_sha256", 2},
                                            {"source_size", 0},
                                            {"phashes_hex", 4},
                                            {"fps", 7},
                                            {"sampler", 9},
                                            {"signed_at_ms", 8}}};
constexpr std::array<std::string_view, 3> kSamplerOrder = {"algorithm", "resize", "hash"};

// Reads only the strict form: definite lengths, shortest heads, no tags.
class StrictReader {
 public:
  explicit StrictReader(fuzz::Bytes in) : in_(in) {}
  bool at_end() const { return pos_ == in_.size(); }

  bool head(int& major, std::uint64_t& argument) {
    if (pos_ >= in_.size()) return false;
    const std::uint8_t initial = in_[pos_++];
    major = initial >> 5;
    const int info = initial & 0x1F;
    if (info < 24) {
      argument = static_cast<std::uint64_t>(info);
      return true;
    }
    if (info > 27 || major == 7) return false;
    const std::size_t width = std::size_t{1} << (info - 24);
    if (in_.size() - pos_ < width) return false;
    argument = 0;
    for (std::size_t i = 0; i < width; ++i) argument = argument << 8 | in_[pos_++];
    constexpr std::uint64_t kSmallest[] = {24, 0x100, 0x10000, 0x100000000};
    return argument >= kSmallest[info - 24];
  }

  bool string(int wanted_major, std::string_view* out = nullptr) {
    int major = 0;
    std::uint64_t length = 0;
    if (!head(major, length) || major != wanted_major || length > in_.size() - pos_) return false;
    if (out) *out = fuzz::as_text(in_.subspan(pos_, length));
    pos_ += length;
    return true;
  }

  // A float in the narrowest width that holds it exactly.
  bool narrowest_float() {
    if (pos_ >= in_.size() || (in_[pos_] >> 5) != 7) return false;
    const int info = in_[pos_++] & 0x1F;
    if (info < 25 || info > 27) return false;
    const std::size_t width = std::size_t{1} << (info - 24);
    if (in_.size() - pos_ < width) return false;
    std::uint64_t bits = 0;
    for (std::size_t i = 0; i < width; ++i) bits = bits << 8 | in_[pos_++];
    if (info == 25) return true;
    double value = 0;
    if (info == 26) {
      float single = 0;
      const auto narrow = static_cast<std::uint32_t>(bits);
      std::memcpy(&single, &narrow, sizeof single);
      value = single;
    } else {
      std::memcpy(&value, &bits, sizeof value);
      if (static_cast<double>(static_cast<float>(value)) == value) return false;
    }
    return !fits_half(value);
  }

  // Written out rather than cast through _Float16, which g++ 12 lacks in C++
  // on some targets. NaN never compares equal, so it never counts as fitting.
  static bool fits_half(double value) {
    if (std::isnan(value)) return false;
    if (std::isinf(value) || value == 0) return true;
    int exponent = 0;
    const double fraction = std::frexp(std::fabs(value), &exponent);
    if (exponent > 16) return false;  // above 65504
    const double scaled = exponent >= -13 ? std::ldexp(fraction, 11) : std::ldexp(std::fabs(value), 24);
    return scaled == std::floor(scaled);
  }

  bool value(int kind) {
    int major = 0;
    std::uint64_t argument = 0;
    switch (kind) {
      case 2:
      case 3:
        return string(kind);
      case 4: {
        if (!head(major, argument) || major != 4) return false;
        for (std::uint64_t i = 0; i < argument; ++i)
          if (!string(3)) return false;
        return true;
      }
      case 7:
        return narrowest_float();
      case 8:
        return head(major, argument) && (major == 0 || major == 1);
      case 9: {
        if (!head(major, argument) || major != 5 || argument != 3) return false;
        for (std::string_view key : kSamplerOrder) {
          std::string_view read;
          if (!string(3, &read) || read != key || !string(3)) return false;
        }
        return true;
      }
      default:
        return head(major, argument) && major == kind;
    }
  }

 private:
  fuzz::Bytes in_;
  std::size_t pos_ = 0;
};

// True when the bytes are a map in exactly the form the encoder writes.
bool is_encoder_form(fuzz::Bytes bytes) {
  StrictReader reader(bytes);
  int major = 0;
  std::uint64_t count = 0;
  if (!reader.head(major, count) || major != 5) return false;
  std::size_t next = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    std::string_view key;
    if (!reader.string(3, &key)) return false;
    while (next < kOrder.size() && kOrder[next].key != key) ++next;
    if (next == kOrder.size() || !reader.value(kOrder[next].major)) return false;
    ++next;
  }
  return reader.at_end();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fuzz::Bytes input(data, size);
  auto manifest = fuzz::timed(size, [&] { return decode_manifest(input); });
  if (!manifest) {
    fuzz::require_message(manifest.error());
    return 0;
  }
  const std::vector<std::uint8_t> encoded = encode_manifest(*manifest);
  auto again = decode_manifest(encoded);
  fuzz::require(again.has_value() && *again == *manifest,
                "an accepted manifest does not survive encoding");
  if (is_encoder_form(input)) {
    fuzz::require(std::equal(encoded.begin(), encoded.end(), input.begin(), input.end()),
                  "a manifest in the encoder's form encodes to other bytes");
  }
  return 0;
}
