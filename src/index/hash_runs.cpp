// Grouping of consecutive near-identical hashes into runs, and the reader of
// their records. A run's members are all measured against its first hash, so
// a member's distance to any query follows from the representative's
// distance and at most kRunRadius bit positions.

#include "index/hash_runs.h"

#include <bit>
#include <optional>

#include "index/popcount_clones.h"

namespace {

void append_varint(std::vector<std::uint8_t>& out, std::uint32_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<std::uint8_t>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<std::uint8_t>(v));
}

void append_flips(std::vector<std::uint8_t>& out, const PackedHash& rep, const PackedHash& member) {
  const std::size_t count_at = out.size();
  out.push_back(0);
  for (int w = 0; w < 4; ++w) {
    for (std::uint64_t diff = rep[w] ^ member[w]; diff != 0; diff &= diff - 1) {
      out.push_back(static_cast<std::uint8_t>(w * 64 + std::countr_zero(diff)));
      ++out[count_at];
    }
  }
}

std::optional<std::uint32_t> read_varint(std::span<const std::uint8_t> bytes, std::size_t& at) {
  std::uint32_t v = 0;
  for (int shift = 0; shift <= 28; shift += 7) {
    if (at == bytes.size()) return std::nullopt;
    const std::uint8_t b = bytes[at++];
    v |= static_cast<std::uint32_t>(b & 0x7f) << shift;
    if (b < 0x80) return v;
  }
  return std::nullopt;
}

}  // namespace

VORLANT_POPCOUNT_CLONES
void append_runs(std::span<const PackedHash> hashes, RunList& out) {
  std::vector<std::uint8_t> flips;
  for (std::size_t first = 0; first < hashes.size();) {
    const PackedHash& rep = hashes[first];
    std::size_t end = first + 1;
    flips.clear();
    for (; end < hashes.size() && hamming_distance(rep, hashes[end]) <= kRunRadius; ++end) {
      append_flips(flips, rep, hashes[end]);
    }
    out.rep_lows.push_back({rep[0], rep[1]});
    out.rep_highs.push_back({rep[2], rep[3]});
    append_varint(out.records, static_cast<std::uint32_t>(end - first - 1));
    // A run of one hash, the common case of content in motion, is one byte.
    if (end - first > 1) {
      append_varint(out.records, static_cast<std::uint32_t>(flips.size()));
      out.records.insert(out.records.end(), flips.begin(), flips.end());
    }
    first = end;
  }
}

std::optional<std::pair<std::uint32_t, std::size_t>> RunRecord::head(
    std::span<const std::uint8_t> bytes) {
  std::size_t at = 0;
  const auto extra = read_varint(bytes, at);
  if (extra && *extra == 0) return std::pair{std::uint32_t{1}, at};
  const auto length = read_varint(bytes, at);
  if (!extra || !length || *extra == UINT32_MAX || *length > bytes.size() - at) return std::nullopt;
  return std::pair{*extra + 1, at + *length};
}

std::optional<RunRecord> RunRecord::parse(std::span<const std::uint8_t> bytes, int radius) {
  const auto h = head(bytes);
  if (!h) return std::nullopt;
  RunRecord r;
  r.extra_ = h->first - 1;
  r.size_ = h->second;
  std::size_t at = 0;
  (void)read_varint(bytes, at);
  if (r.extra_ > 0) (void)read_varint(bytes, at);
  r.members_ = bytes.subspan(at, r.size_ - at);
  // Walk the members once so that next_flips never leaves the record.
  std::size_t end = 0;
  for (std::uint32_t i = 0; i < r.extra_; ++i) {
    if (end == r.members_.size() || r.members_[end] > radius) return std::nullopt;
    end += 1 + r.members_[end];
    if (end > r.members_.size()) return std::nullopt;
  }
  if (end != r.members_.size()) return std::nullopt;
  return r;
}

std::span<const std::uint8_t> RunRecord::next_flips() {
  const std::size_t k = members_[cursor_];
  auto flips = members_.subspan(cursor_ + 1, k);
  cursor_ += 1 + k;
  return flips;
}

PackedHash member_hash(const PackedHash& rep, std::span<const std::uint8_t> flips) {
  PackedHash h = rep;
  for (std::uint8_t p : flips) h[p / 64] ^= std::uint64_t{1} << (p % 64);
  return h;
}
