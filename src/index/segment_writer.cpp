// Writes segment files. The sections go out in order, each 8-byte aligned:
// recordings, representatives, checkpoints, run records, then each table's
// entries (every run under each distinct key its members have, radix-sorted
// by key) as a posting table; last the checksums of the body's pages, and
// the header page at offset 0, so a file cut short anywhere fails its checks.

#include "index/segment_writer.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <optional>

#include "fileio/fd.h"
#include "index/checksum.h"
#include "index/hash_runs.h"
#include "index/page_checker.h"
#include "index/posting_table.h"
#include "index/segment_header.h"

namespace {

static_assert(std::endian::native == std::endian::little,
              "segments are read in place as little-endian words");

constexpr std::uint64_t kFlushBytes = 1 << 20;

void put(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// Collects a segment's bytes, summing each body page in place as it
// completes, and writes whole pages to a descriptor or keeps them in memory.
class Output {
 public:
  Output(int fd, std::string path) : fd_(fd), path_(std::move(path)) {
    bytes_.assign(kPageSize, 0);  // the header's page, written last
  }
  std::uint64_t offset() const { return flushed_ + bytes_.size(); }
  Result<void> append(std::span<const std::uint8_t> data) {
    // A table of tens of megabytes goes out a piece at a time, so what the
    // sums and the kernel read next is still in the cache.
    while (!data.empty()) {
      const std::size_t n = std::min<std::size_t>(data.size(), kFlushBytes);
      bytes_.insert(bytes_.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n));
      data = data.subspan(n);
      sum_pages(false);
      if (fd_ >= 0 && bytes_.size() >= kFlushBytes) {
        if (auto r = flush(summed_); !r) return r;
      }
    }
    return {};
  }
  Result<void> align() {
    static constexpr std::array<std::uint8_t, 8> kZeros{};
    return append(std::span(kZeros).first((8 - offset() % 8) % 8));
  }
  // Appends the page sums and puts the header in the first page.
  Result<std::vector<std::uint8_t>> finish(std::vector<std::uint8_t> header) {
    sum_pages(true);
    bytes_.insert(bytes_.end(), sums_.begin(), sums_.end());
    if (fd_ < 0) {
      std::copy(header.begin(), header.end(), bytes_.begin());
      return std::move(bytes_);
    }
    if (auto r = flush(offset()); !r) return fail(r.error());
    if (::pwrite(fd_, header.data(), header.size(), 0) != static_cast<ssize_t>(header.size())) {
      return fail("write " + path_ + ": " + format_io_error(errno));
    }
    return std::vector<std::uint8_t>{};
  }
  std::uint64_t sums_size_after_finish() const {
    return ((offset() - kPageSize) + kPageSize - 1) / kPageSize * 8;
  }

 private:
  // Sums the body pages completed so far; with `last`, the one begun too.
  void sum_pages(bool last) {
    while (offset() - summed_ >= kPageSize || (last && offset() > summed_)) {
      const std::uint64_t n = std::min(kPageSize, offset() - summed_);
      put(sums_, checksum64(std::span(bytes_).subspan(summed_ - flushed_, n)), 8);
      summed_ += n;
    }
  }
  // Writes the bytes before offset `upto` and keeps the rest.
  Result<void> flush(std::uint64_t upto) {
    auto data = std::span<const std::uint8_t>(bytes_).first(upto - flushed_);
    std::uint64_t at = flushed_;
    if (flushed_ == 0) {  // the header page is left as a hole
      data = data.subspan(kPageSize);
      at = kPageSize;
    }
    if (::lseek(fd_, static_cast<off_t>(at), SEEK_SET) < 0) {
      return fail("write " + path_ + ": " + format_io_error(errno));
    }
    if (auto r = write_all(fd_, data); !r) return fail("write " + path_ + ": " + r.error());
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(upto - flushed_));
    flushed_ = upto;
    return {};
  }

  int fd_ = -1;
  std::string path_;
  std::vector<std::uint8_t> bytes_;  // from offset flushed_ on
  std::uint64_t flushed_ = 0;
  std::uint64_t summed_ = kPageSize;  // body pages before it have their sums
  std::vector<std::uint8_t> sums_;
};

// Hashes that do not repeat (a scene never still) leave runs of one hash
// each, and then the tables, each a run id beside every run's key, would be
// most of the index. Filing blocks of 32 runs instead saves 5 bits per entry
// in each table, which a search pays for by measuring a block's 32
// representatives where it would have measured one.
constexpr int kBlockBits = 5;

int block_bits_for(std::uint64_t runs, std::uint64_t hashes) {
  return runs * 4 > hashes * 3 ? kBlockBits : 0;
}

int id_bits_for(std::uint64_t runs) {
  return std::max(1, static_cast<int>(std::bit_width(runs > 0 ? runs - 1 : 0)));
}

// Calls visit(run id, representative, record, record offset) for every run
// in order; fails when a recording's records do not hold exactly its runs
// and hashes.
template <class Visit>
Result<void> for_each_run(std::span<const RecordingRuns> recordings, Visit&& visit) {
  std::uint64_t id = 0;
  for (const RecordingRuns& rec : recordings) {
    std::size_t at = 0;
    std::uint64_t hashes = 0;
    for (std::uint64_t r = 0; r < rec.runs; ++r, ++id) {
      const PackedHash rep = rep_of(rec, r);
      auto record = RunRecord::parse(rec.records.subspan(at), kRunRadius);
      if (!record) return fail("run record " + std::to_string(id) + " is malformed");
      hashes += record->members();
      visit(id, rep, *record, at);
      at += record->size();
    }
    if (at != rec.records.size() || hashes != rec.hashes || rec.rep_lows.size() != rec.runs * 16 ||
        rec.rep_highs.size() != rec.runs * 16) {
      return fail("the runs of recording " + std::to_string(rec.serial) + " do not add up");
    }
  }
  return {};
}

// For every table of a layout, the keys that run members have beside their
// representative's, each run's distinct ones in the order its members first
// have them, as (key << 32 | run id). Found in one pass for all tables: a
// member's key differs from its representative's only in the tables its
// few flips fall in.
using MemberKeys = std::vector<std::vector<std::uint64_t>>;

Result<MemberKeys> member_keys(std::span<const RecordingRuns> recordings,
                               const HammingLayout& layout) {
  std::array<int, 256> table_of;  // the table that holds each bit of a hash, or -1
  table_of.fill(-1);
  for (std::size_t t = 0; t < layout.size(); ++t) {
    for (int b = layout[t].offset; b < layout[t].offset + layout[t].bits; ++b) {
      table_of[b] = static_cast<int>(t);
    }
  }
  MemberKeys keys(layout.size());
  std::vector<std::pair<int, std::uint32_t>> seen;  // this run's (table, key)
  auto visited = for_each_run(
      recordings, [&](std::uint64_t id, const PackedHash& rep, RunRecord record, std::size_t) {
        seen.clear();
        for (std::uint32_t m = 1; m < record.members(); ++m) {
          std::array<std::pair<int, std::uint32_t>, kRunRadius> masks;  // (table, flipped bits)
          std::size_t n = 0;
          for (std::uint8_t p : record.next_flips()) {
            const int t = table_of[p];
            if (t < 0) continue;
            const std::uint32_t bit = 1u << (p - layout[t].offset);
            auto it = std::find_if(masks.begin(), masks.begin() + n,
                                   [&](const auto& mask) { return mask.first == t; });
            if (it == masks.begin() + n) masks[n++] = {t, bit};
            else it->second ^= bit;
          }
          for (std::size_t i = 0; i < n; ++i) {
            if (masks[i].second == 0) continue;
            const auto [t, mask] = masks[i];
            const std::pair<int, std::uint32_t> key{t, substring_key(rep, layout[t]) ^ mask};
            if (std::find(seen.begin(), seen.end(), key) != seen.end()) continue;
            seen.push_back(key);
            keys[t].push_back(std::uint64_t{key.second} << 32 | id);
          }
        }
      });
  if (!visited) return fail(visited.error());
  return keys;
}

// The table's entries into `entries`: each run's block once under every
// distinct key its members have (its representative's first, then
// `extra`'s), ids counted from `first_id`, sorted by key.
void table_entries(std::span<const RecordingRuns> recordings, Substring s,
                   std::span<const std::uint64_t> extra, std::uint64_t first_id, int block_bits,
                   std::vector<std::uint64_t>& entries, std::vector<std::uint64_t>& scratch) {
  entries.clear();
  std::size_t x = 0;
  std::uint64_t id = 0, block = first_id;
  for (const RecordingRuns& rec : recordings) {
    for (std::uint64_t r = 0; r < rec.runs; ++r, ++id) {
      const std::uint64_t b = block + (r >> block_bits);
      const PackedHash rep = rep_of(rec, r);
      entries.push_back(std::uint64_t{substring_key(rep, s)} << 32 | b);
      for (; x < extra.size() && (extra[x] & 0xffffffffu) == id; ++x) {
        entries.push_back((extra[x] & ~std::uint64_t{0xffffffffu}) | b);
      }
    }
    block += blocks_of(rec.runs, block_bits);
  }
  sort_by_bits(entries, 32, s.bits, scratch);
  // The sort keeps the order of equal keys, so a block filed twice under
  // one key comes twice in a row.
  if (block_bits > 0) entries.erase(std::unique(entries.begin(), entries.end()), entries.end());
}

// The entries of an input's table over `s` into `entries`, its dropped
// recordings' blocks left out and the others renumbered from `first_id`;
// false where it has no such table, files blocks of another size, or is no
// segment.
Result<bool> input_entries(const MergeInput& input, Substring s, std::uint64_t first_id,
                           int block_bits, std::vector<std::uint64_t>& entries) {
  if (!input.reader || input.reader->block_bits() != block_bits) return false;
  const SegmentReader& reader = *input.reader;
  const auto t = std::find(reader.layout().begin(), reader.layout().end(), s);
  if (t == reader.layout().end()) return false;
  if (!reader.table(static_cast<std::size_t>(t - reader.layout().begin())).entries(entries)) {
    return fail(reader.corrupted());
  }
  // The kept recordings' blocks become consecutive new ids, a dropped one's
  // blocks none. Looked up by recording, not by block: an array as long as
  // the blocks, read in key order, would miss the cache on every entry.
  std::vector<std::optional<std::uint64_t>> shift(reader.recordings().size());
  std::uint64_t next = first_id;
  for (std::size_t i : input.kept) {
    const std::uint64_t from = reader.recordings()[i].first_block;
    const std::uint64_t to = i + 1 < reader.recordings().size()
                                 ? reader.recordings()[i + 1].first_block
                                 : reader.blocks();
    shift[i] = next - from;
    next += to - from;
  }
  const bool all_kept = input.kept.size() == reader.recordings().size();
  std::size_t kept_entries = 0;
  for (std::uint64_t e : entries) {
    const std::uint64_t old_id = e & 0xffffffffu;
    if (old_id >= reader.blocks()) return fail(reader.corrupted());
    // Modulo 2^64 the sum carries the id only: the new id is no smaller than 0.
    const auto by = all_kept ? first_id : shift[reader.recording_of_block(old_id)];
    if (by) entries[kept_entries++] = e + *by;
  }
  entries.resize(kept_entries);
  return true;
}

bool by_key(std::uint64_t a, std::uint64_t b) { return a >> 32 < b >> 32; }

// Where a new segment's tables take their entries from: computed from the
// runs of its recordings, or for a merge, from each input's table over the
// same substring where it has one. Its buffers serve every table in turn:
// fresh ones of tens of megabytes would cost a page fault every 4 KiB.
class TableSources {
 public:
  TableSources(std::span<const RecordingRuns> recordings, std::span<const MergeInput> inputs,
               const HammingLayout& layout, int block_bits)
      : recordings_(recordings),
        inputs_(inputs),
        layout_(layout),
        block_bits_(block_bits),
        keys_(inputs.size() + 1),
        taken_(std::max<std::size_t>(inputs.size(), 1)) {}

  // Encodes table t into `table` and says how many entries it has: each
  // input's ids follow the one before, and a merge's entries go to the
  // encoder as they are merged.
  Result<std::uint64_t> encode(std::size_t t, int id_bits, PostingTableBytes& table) {
    if (inputs_.empty()) {
      if (auto r = computed(0, recordings_, t, 0, taken_[0]); !r) return fail(r.error());
    }
    std::uint64_t first_id = 0;
    std::size_t at = 0;
    for (std::size_t i = 0; i < inputs_.size(); ++i) {
      const auto kept = recordings_.subspan(at, inputs_[i].recordings());
      auto taken = input_entries(inputs_[i], layout_[t], first_id, block_bits_, taken_[i]);
      if (!taken) return fail(taken.error());
      if (!*taken) {
        if (auto r = computed(i + 1, kept, t, first_id, taken_[i]); !r) return fail(r.error());
      }
      for (const RecordingRuns& rec : kept) first_id += blocks_of(rec.runs, block_bits_);
      at += inputs_[i].recordings();
    }
    std::uint64_t total = 0;
    for (const auto& entries : taken_) total += entries.size();
    std::span<const std::uint64_t> merged = taken_[0], last;
    if (taken_.size() > 1) last = taken_.back();
    for (std::size_t i = 1; i + 1 < taken_.size(); ++i) {  // all but the last merged ahead
      scratch_.resize(merged.size() + taken_[i].size());
      std::merge(merged.begin(), merged.end(), taken_[i].begin(), taken_[i].end(),
                 scratch_.begin(), by_key);
      merged_.swap(scratch_);
      merged = merged_;
    }
    // The last merge feeds the encoder. On equal keys the earlier input goes
    // first: its ids are the smaller.
    const std::uint64_t *a = merged.data(), *a_end = a + merged.size();
    const std::uint64_t *b = last.data(), *b_end = b + last.size();
    encode_posting_table(total, layout_[t].bits, id_bits, table, [&] {
      return b != b_end && (a == a_end || by_key(*b, *a)) ? *b++ : *a++;
    });
    return total;
  }

 private:
  // Entries computed from runs; the members' keys are found once per source.
  Result<void> computed(std::size_t source, std::span<const RecordingRuns> recordings,
                        std::size_t t, std::uint64_t first_id, std::vector<std::uint64_t>& into) {
    if (!keys_[source]) {
      auto keys = member_keys(recordings, layout_);
      if (!keys) return fail(keys.error());
      keys_[source] = std::move(*keys);
    }
    table_entries(recordings, layout_[t], (*keys_[source])[t], first_id, block_bits_, into,
                  scratch_);
    return {};
  }

  std::span<const RecordingRuns> recordings_;
  std::span<const MergeInput> inputs_;
  const HammingLayout& layout_;
  int block_bits_;
  std::vector<std::optional<MemberKeys>> keys_;  // the recordings', then each input's
  std::vector<std::vector<std::uint64_t>> taken_;  // each input's entries, or the computed ones
  std::vector<std::uint64_t> merged_, scratch_;
};

// Every 64th run's record offset and position, and the ends of both.
Result<std::vector<std::uint8_t>> checkpoints(std::span<const RecordingRuns> recordings) {
  std::vector<std::uint8_t> out;
  std::uint64_t run = 0, record_base = 0, position = 0;
  for (const RecordingRuns& rec : recordings) {
    auto visited = for_each_run(std::span(&rec, 1), [&](std::uint64_t, const PackedHash&,
                                                        RunRecord record, std::size_t at) {
      if (run++ % kCheckpointEvery == 0) {
        put(out, record_base + at, 8);
        put(out, position, 8);
      }
      position += record.members();
    });
    if (!visited) return fail(visited.error());
    record_base += rec.records.size();
  }
  put(out, record_base, 8);
  put(out, position, 8);
  return out;
}

std::vector<std::uint8_t> recordings_section(std::span<const RecordingRuns> recordings) {
  std::vector<std::uint8_t> out;
  std::uint64_t first_run = 0;
  for (const RecordingRuns& rec : recordings) {
    put(out, rec.serial, 8);
    put(out, rec.hashes, 8);
    put(out, first_run, 8);
    first_run += rec.runs;
  }
  return out;
}

// Appends parts as one section.
Result<void> add_section(Output& out, Header& h,
                         std::initializer_list<std::span<const std::uint8_t>> parts) {
  if (auto r = out.align(); !r) return r;
  const std::uint64_t begin = out.offset();
  for (auto part : parts) {
    if (auto r = out.append(part); !r) return r;
  }
  h.sections.push_back({begin, out.offset() - begin});
  return {};
}

Result<void> add_concatenated(Output& out, Header& h, std::span<const RecordingRuns> recordings,
                              std::span<const std::uint8_t> RecordingRuns::*member) {
  if (auto r = out.align(); !r) return r;
  const std::uint64_t begin = out.offset();
  for (const RecordingRuns& rec : recordings) {
    if (auto r = out.append(rec.*member); !r) return r;
  }
  h.sections.push_back({begin, out.offset() - begin});
  return {};
}

Result<void> add_tables(Output& out, Header& h, std::span<const RecordingRuns> recordings,
                        std::span<const MergeInput> inputs) {
  TableSources sources(recordings, inputs, h.layout, static_cast<int>(h.block_bits));
  PostingTableBytes table;
  for (std::size_t t = 0; t < h.layout.size(); ++t) {
    auto entries = sources.encode(t, static_cast<int>(h.id_bits), table);
    if (!entries) return fail(entries.error());
    h.low_bits.push_back(table.low_bits);
    h.entries.push_back(*entries);
    for (const auto* bytes : {&table.low, &table.high, &table.samples, &table.ids}) {
      if (auto r = add_section(out, h, {*bytes}); !r) return r;
    }
  }
  return {};
}

Result<std::vector<std::uint8_t>> write_segment(std::span<const RecordingRuns> recordings,
                                                std::span<const MergeInput> inputs, Output& out) {
  Header h;
  h.run_radius = kRunRadius;
  h.recordings = recordings.size();
  for (const RecordingRuns& rec : recordings) {
    h.runs += rec.runs;
    h.hashes += rec.hashes;
  }
  if (h.runs > kMaxSegmentRuns || h.hashes > kMaxSegmentHashes) {
    return fail("a segment holds at most 2^24 runs and 2^32 hashes");
  }
  h.layout = layout_for(h.runs);
  h.block_bits = static_cast<std::uint32_t>(block_bits_for(h.runs, h.hashes));
  if (h.block_bits > 0) h.version = kBlockedSegmentVersion;
  std::uint64_t blocks = 0;
  for (const RecordingRuns& rec : recordings) blocks += blocks_of(rec.runs, h.block_bits);
  h.id_bits = static_cast<std::uint32_t>(id_bits_for(blocks));
  auto marks = checkpoints(recordings);
  if (!marks) return fail(marks.error());
  const std::vector<std::uint8_t> recs = recordings_section(recordings);
  if (auto r = add_section(out, h, {recs}); !r) return fail(r.error());
  for (auto half : {&RecordingRuns::rep_lows, &RecordingRuns::rep_highs}) {
    if (auto r = add_concatenated(out, h, recordings, half); !r) return fail(r.error());
  }
  if (auto r = add_section(out, h, {*marks}); !r) return fail(r.error());
  if (auto r = add_concatenated(out, h, recordings, &RecordingRuns::records); !r) {
    return fail(r.error());
  }
  if (auto r = add_tables(out, h, recordings, inputs); !r) return fail(r.error());
  h.body_end = out.offset();
  h.file_size = h.body_end + out.sums_size_after_finish();
  return out.finish(encode_header(h));
}
}  // namespace

Result<void> write_segment_file(std::span<const RecordingRuns> recordings, int fd,
                                const std::string& path) {
  Output out(fd, path);
  auto written = write_segment(recordings, {}, out);
  if (!written) return fail(written.error());
  return {};
}

Result<void> write_merged_segment_file(std::span<const MergeInput> inputs, int fd,
                                       const std::string& path) {
  std::vector<RecordingRuns> recordings;
  for (const MergeInput& input : inputs) {
    recordings.insert(recordings.end(), input.fresh.begin(), input.fresh.end());
    if (!input.reader) continue;
    for (std::size_t i : input.kept) {
      auto runs = input.reader->recording_runs(i);
      if (!runs) return fail(runs.error());
      recordings.push_back(*runs);
    }
  }
  Output out(fd, path);
  auto written = write_segment(recordings, inputs, out);
  if (!written) return fail(written.error());
  return {};
}

std::vector<std::uint8_t> build_segment(std::span<const RecordingRuns> recordings) {
  Output out(-1, {});
  auto bytes = write_segment(recordings, {}, out);
  return bytes ? std::move(*bytes) : std::vector<std::uint8_t>{};
}
