// The segment header's bytes, little-endian and bounded: decoding never
// reads past the header page, and every size a header implies is checked
// against the others before a reader trusts any section.

#include "index/segment_header.h"

#include <array>

#include "index/checksum.h"
#include "index/page_checker.h"
#include "index/posting_table.h"
#include "index/segment_file.h"

namespace {

constexpr std::array<std::uint8_t, 8> kMagic = {'V', 'V', 'I', 'D', 'X', 'S', 'E', 'G'};
constexpr std::size_t kMaxTables = 16;

void put(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// Reads little-endian fields from the header page, never past it.
class FieldReader {
 public:
  explicit FieldReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::uint64_t take(int n) {
    if (at_ + static_cast<std::size_t>(n) > bytes_.size()) {
      overrun_ = true;
      return 0;
    }
    std::uint64_t v = 0;
    for (int i = 0; i < n; ++i) v |= std::uint64_t{bytes_[at_ + i]} << (8 * i);
    at_ += static_cast<std::size_t>(n);
    return v;
  }
  std::size_t at() const { return at_; }
  bool overrun() const { return overrun_; }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t at_ = 0;
  bool overrun_ = false;
};

bool inside(const Section& s, std::uint64_t from, std::uint64_t to) {
  return s.offset >= from && s.offset <= to && s.size <= to - s.offset;
}

// Sections in order, inside the body, each of the size its counts demand.
bool sections_fit(const Header& h) {
  std::uint64_t end = kPageSize;
  for (const Section& s : h.sections) {
    if (!inside(s, end, h.body_end)) return false;
    end = s.offset + s.size;
  }
  const std::uint64_t marks = (h.runs + kCheckpointEvery - 1) / kCheckpointEvery + 1;
  if (h.sections[0].size != h.recordings * kRecordingBytes || h.sections[1].size != h.runs * 16 ||
      h.sections[2].size != h.runs * 16 || h.sections[3].size != marks * 16) {
    return false;
  }
  for (std::size_t t = 0; t < h.layout.size(); ++t) {
    // A run is filed once per distinct key of its members, so a table never
    // has more entries than the segment has hashes.
    if (h.low_bits[t] > h.layout[t].bits || h.entries[t] > h.hashes) return false;
    const PostingTableShape shape = posting_table_shape(h.entries[t], h.layout[t].bits,
                                                        h.low_bits[t], static_cast<int>(h.id_bits));
    const Section* s = &h.sections[kSectionsBeforeTables + 4 * t];
    if (s[0].size != shape.low || s[1].size != shape.high || s[2].size != shape.samples ||
        s[3].size != shape.ids) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::vector<std::uint8_t> encode_header(const Header& h) {
  std::vector<std::uint8_t> out(kMagic.begin(), kMagic.end());
  put(out, h.version, 4);
  put(out, h.run_radius, 4);
  for (std::uint64_t v : {h.file_size, h.body_end, h.recordings, h.runs, h.hashes}) put(out, v, 8);
  put(out, h.layout.size(), 4);
  put(out, h.id_bits, 4);
  if (h.version == kBlockedSegmentVersion) put(out, h.block_bits, 4);
  for (std::size_t t = 0; t < h.layout.size(); ++t) {
    put(out, h.layout[t].offset, 2);
    put(out, h.layout[t].bits, 2);
    put(out, h.low_bits[t], 4);
    put(out, h.entries[t], 8);
  }
  for (const Section& s : h.sections) {
    put(out, s.offset, 8);
    put(out, s.size, 8);
  }
  put(out, checksum64(out), 8);
  return out;
}

std::optional<Header> decode_header(std::span<const std::uint8_t> page) {
  FieldReader r(page);
  for (std::uint8_t m : kMagic) {
    if (r.take(1) != m) return std::nullopt;
  }
  Header h;
  h.version = static_cast<std::uint32_t>(r.take(4));
  if (!is_readable_version(h.version)) return h;
  h.run_radius = static_cast<std::uint32_t>(r.take(4));
  for (std::uint64_t* v : {&h.file_size, &h.body_end, &h.recordings, &h.runs, &h.hashes}) {
    *v = r.take(8);
  }
  const std::uint64_t tables = r.take(4);
  h.id_bits = static_cast<std::uint32_t>(r.take(4));
  if (h.version == kBlockedSegmentVersion) {
    h.block_bits = static_cast<std::uint32_t>(r.take(4));
    if (h.block_bits == 0 || h.block_bits > kMaxBlockBits) return std::nullopt;
  }
  if (tables == 0 || tables > kMaxTables) return std::nullopt;
  for (std::uint64_t t = 0; t < tables; ++t) {
    const auto offset = static_cast<std::uint16_t>(r.take(2));
    h.layout.push_back({offset, static_cast<std::uint16_t>(r.take(2))});
    h.low_bits.push_back(static_cast<std::uint32_t>(r.take(4)));
    h.entries.push_back(r.take(8));
  }
  for (std::uint64_t s = 0; s < kSectionsBeforeTables + 4 * tables; ++s) {
    const std::uint64_t offset = r.take(8);
    h.sections.push_back({offset, r.take(8)});
  }
  const std::size_t summed = r.at();
  if (r.take(8) != checksum64(page.first(summed)) || r.overrun()) return std::nullopt;
  return h;
}

bool header_fits(const Header& h, std::uint64_t file_size) {
  const std::uint64_t pages =
      (h.body_end - std::min(h.body_end, kPageSize) + kPageSize - 1) / kPageSize;
  return h.file_size == file_size && h.body_end >= kPageSize && h.body_end <= file_size &&
         file_size - h.body_end == pages * 8 && is_valid_layout(h.layout) && h.id_bits >= 1 &&
         h.id_bits <= 32 && h.runs <= kMaxSegmentRuns &&
         h.runs <= (std::uint64_t{1} << (h.id_bits + h.block_bits)) && h.run_radius <= 8 &&
         h.runs <= h.hashes && h.hashes <= kMaxSegmentHashes && h.recordings <= h.runs &&
         sections_fit(h);
}
