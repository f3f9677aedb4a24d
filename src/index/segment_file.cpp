// Segment files. Layout: a 4 KiB header page (magic, version, counts, the
// substring layout, the place of every section, the header's checksum),
// then the sections, each 8-byte aligned: recordings, representatives,
// checkpoints (every 64th run's record offset and position), run records,
// and four sections per table; last the checksums of the body's pages. The
// header is written last, so a file cut short anywhere fails its checks.

#include "index/segment_file.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "fileio/fd.h"
#include "index/checksum.h"
#include "index/hash_runs.h"

namespace {

static_assert(std::endian::native == std::endian::little,
              "segments are read in place as little-endian words");

constexpr std::array<std::uint8_t, 8> kMagic = {'V', 'V', 'I', 'D', 'X', 'S', 'E', 'G'};
constexpr std::uint32_t kVersion = 1;
constexpr std::uint64_t kCheckpointEvery = 64;
constexpr std::size_t kMaxTables = 16;
constexpr std::size_t kSectionsBeforeTables = 4;  // recordings, reps, checkpoints, records
constexpr std::uint64_t kRecordingBytes = 24;
constexpr std::uint64_t kFlushBytes = 1 << 20;

std::uint64_t load64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

void put(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// Collects a segment's bytes, summing each body page as it completes, and
// flushes them to a descriptor or keeps them in memory.
class Output {
 public:
  Output(int fd, std::string path) : fd_(fd), path_(std::move(path)) {
    bytes_.assign(kPageSize, 0);  // the header's page, written last
  }
  std::uint64_t offset() const { return flushed_ + bytes_.size(); }
  Result<void> append(std::span<const std::uint8_t> data) {
    for (std::size_t at = 0; at < data.size();) {
      const std::size_t n = std::min<std::size_t>(data.size() - at, kPageSize - page_fill_);
      page_sum_input_.insert(page_sum_input_.end(), data.begin() + at, data.begin() + at + n);
      page_fill_ += n;
      at += n;
      if (page_fill_ == kPageSize) end_page();
    }
    bytes_.insert(bytes_.end(), data.begin(), data.end());
    if (fd_ >= 0 && bytes_.size() >= kFlushBytes) return flush();
    return {};
  }
  Result<void> align() {
    static constexpr std::array<std::uint8_t, 8> kZeros{};
    return append(std::span(kZeros).first((8 - offset() % 8) % 8));
  }
  // Appends the page sums and puts the header in the first page.
  Result<std::vector<std::uint8_t>> finish(std::vector<std::uint8_t> header) {
    if (page_fill_ > 0) end_page();
    bytes_.insert(bytes_.end(), sums_.begin(), sums_.end());
    if (fd_ < 0) {
      std::copy(header.begin(), header.end(), bytes_.begin());
      return std::move(bytes_);
    }
    if (auto r = flush(); !r) return fail(r.error());
    if (::pwrite(fd_, header.data(), header.size(), 0) != static_cast<ssize_t>(header.size())) {
      return fail("write " + path_ + ": " + format_io_error(errno));
    }
    return std::vector<std::uint8_t>{};
  }
  std::uint64_t sums_size_after_finish() const {
    return ((offset() - kPageSize) + kPageSize - 1) / kPageSize * 8;
  }

 private:
  void end_page() {
    put(sums_, checksum64(page_sum_input_), 8);
    page_sum_input_.clear();
    page_fill_ = 0;
  }
  Result<void> flush() {
    std::span<const std::uint8_t> data(bytes_);
    if (flushed_ == 0) data = data.subspan(kPageSize);  // the header page is left as a hole
    if (::lseek(fd_, static_cast<off_t>(flushed_ == 0 ? kPageSize : flushed_), SEEK_SET) < 0) {
      return fail("write " + path_ + ": " + format_io_error(errno));
    }
    if (auto r = write_all(fd_, data); !r) return fail("write " + path_ + ": " + r.error());
    flushed_ += bytes_.size();
    bytes_.clear();
    return {};
  }

  int fd_ = -1;
  std::string path_;
  std::vector<std::uint8_t> bytes_;
  std::uint64_t flushed_ = 0;
  std::vector<std::uint8_t> page_sum_input_;
  std::size_t page_fill_ = 0;
  std::vector<std::uint8_t> sums_;
};

struct Section {
  std::uint64_t offset = 0, size = 0;
};

// What the header describes; the writer fills it, the reader checks it.
struct Header {
  std::uint32_t version = kVersion;
  std::uint32_t run_radius = kRunRadius;
  std::uint64_t file_size = 0, body_end = 0, recordings = 0, runs = 0, hashes = 0;
  std::uint32_t id_bits = 1;
  HammingLayout layout;
  std::vector<std::uint32_t> low_bits;
  std::vector<std::uint64_t> entries;
  std::vector<Section> sections;
};

std::vector<std::uint8_t> encode_header(const Header& h) {
  std::vector<std::uint8_t> out(kMagic.begin(), kMagic.end());
  put(out, h.version, 4);
  put(out, h.run_radius, 4);
  for (std::uint64_t v : {h.file_size, h.body_end, h.recordings, h.runs, h.hashes}) put(out, v, 8);
  put(out, h.layout.size(), 4);
  put(out, h.id_bits, 4);
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

// The header fields, or nullopt for a page that cannot be one; the version
// is read before anything else is trusted.
std::optional<Header> decode_header(std::span<const std::uint8_t> page) {
  FieldReader r(page);
  for (std::uint8_t m : kMagic) {
    if (r.take(1) != m) return std::nullopt;
  }
  Header h;
  h.version = static_cast<std::uint32_t>(r.take(4));
  if (h.version != kVersion) return h;
  h.run_radius = static_cast<std::uint32_t>(r.take(4));
  for (std::uint64_t* v : {&h.file_size, &h.body_end, &h.recordings, &h.runs, &h.hashes}) {
    *v = r.take(8);
  }
  const std::uint64_t tables = r.take(4);
  h.id_bits = static_cast<std::uint32_t>(r.take(4));
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
      PackedHash rep;
      std::memcpy(rep.data(), rec.reps.data() + r * 32, 32);
      auto record = RunRecord::parse(rec.records.subspan(at), kRunRadius);
      if (!record) return fail("run record " + std::to_string(id) + " is malformed");
      hashes += record->members();
      visit(id, rep, *record, at);
      at += record->size();
    }
    if (at != rec.records.size() || hashes != rec.hashes || rec.reps.size() != rec.runs * 32) {
      return fail("the runs of recording " + std::to_string(rec.serial) + " do not add up");
    }
  }
  return {};
}

// The table's entries: each run once under every distinct key its members have.
Result<std::vector<std::uint64_t>> table_entries(std::span<const RecordingRuns> recordings,
                                                 Substring s) {
  std::vector<std::uint64_t> entries;
  std::vector<std::uint32_t> keys;
  auto visited = for_each_run(recordings, [&](std::uint64_t id, const PackedHash& rep,
                                              RunRecord record, std::size_t) {
    keys.assign(1, substring_key(rep, s));
    for (std::uint32_t m = 1; m < record.members(); ++m) {
      const std::uint32_t key = substring_key(member_hash(rep, record.next_flips()), s);
      if (std::find(keys.begin(), keys.end(), key) == keys.end()) keys.push_back(key);
    }
    for (std::uint32_t key : keys) entries.push_back(std::uint64_t{key} << 32 | id);
  });
  if (!visited) return fail(visited.error());
  std::vector<std::uint64_t> scratch;
  sort_by_bits(entries, 32, s.bits, scratch);
  return entries;
}

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

Result<void> add_tables(Output& out, Header& h, std::span<const RecordingRuns> recordings) {
  for (const Substring& s : h.layout) {
    auto entries = table_entries(recordings, s);
    if (!entries) return fail(entries.error());
    const PostingTableBytes t =
        encode_posting_table(*entries, s.bits, static_cast<int>(h.id_bits));
    h.low_bits.push_back(t.low_bits);
    h.entries.push_back(entries->size());
    for (const auto* bytes : {&t.low, &t.high, &t.samples, &t.ids}) {
      if (auto r = add_section(out, h, {*bytes}); !r) return r;
    }
  }
  return {};
}

Result<std::vector<std::uint8_t>> write_segment(std::span<const RecordingRuns> recordings,
                                                Output& out) {
  Header h;
  h.recordings = recordings.size();
  for (const RecordingRuns& rec : recordings) {
    h.runs += rec.runs;
    h.hashes += rec.hashes;
  }
  if (h.runs > kMaxSegmentRuns || h.hashes > kMaxSegmentHashes) {
    return fail("a segment holds at most 2^24 runs and 2^32 hashes");
  }
  h.layout = layout_for(h.runs);
  h.id_bits = static_cast<std::uint32_t>(id_bits_for(h.runs));
  auto marks = checkpoints(recordings);
  if (!marks) return fail(marks.error());
  const std::vector<std::uint8_t> recs = recordings_section(recordings);
  if (auto r = add_section(out, h, {recs}); !r) return fail(r.error());
  if (auto r = add_concatenated(out, h, recordings, &RecordingRuns::reps); !r) return fail(r.error());
  if (auto r = add_section(out, h, {*marks}); !r) return fail(r.error());
  if (auto r = add_concatenated(out, h, recordings, &RecordingRuns::records); !r) {
    return fail(r.error());
  }
  if (auto r = add_tables(out, h, recordings); !r) return fail(r.error());
  h.body_end = out.offset();
  h.file_size = h.body_end + out.sums_size_after_finish();
  return out.finish(encode_header(h));
}

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
  if (h.sections[0].size != h.recordings * kRecordingBytes || h.sections[1].size != h.runs * 32 ||
      h.sections[2].size != marks * 16) {
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

bool header_fits(const Header& h, std::uint64_t file_size) {
  const std::uint64_t pages = (h.body_end - std::min(h.body_end, kPageSize) + kPageSize - 1) / kPageSize;
  return h.file_size == file_size && h.body_end >= kPageSize && h.body_end <= file_size &&
         file_size - h.body_end == pages * 8 && is_valid_layout(h.layout) && h.id_bits >= 1 &&
         h.id_bits <= 32 && h.runs <= kMaxSegmentRuns && h.runs <= (std::uint64_t{1} << h.id_bits) &&
         h.run_radius <= 8 && h.runs <= h.hashes && h.hashes <= kMaxSegmentHashes &&
         h.recordings <= h.runs && sections_fit(h);
}

}  // namespace

Result<void> write_segment_file(std::span<const RecordingRuns> recordings, int fd,
                                const std::string& path) {
  Output out(fd, path);
  auto written = write_segment(recordings, out);
  if (!written) return fail(written.error());
  return {};
}

std::vector<std::uint8_t> build_segment(std::span<const RecordingRuns> recordings) {
  Output out(-1, {});
  auto bytes = write_segment(recordings, out);
  return bytes ? std::move(*bytes) : std::vector<std::uint8_t>{};
}

std::string SegmentReader::corrupted() const { return "index segment " + name_ + " is corrupted"; }

Result<SegmentReader> SegmentReader::open(std::span<const std::uint8_t> file,
                                          const std::string& name) {
  SegmentReader s;
  s.file_ = file;
  s.name_ = name;
  if (file.size() < kPageSize) return fail("index segment " + name + " is truncated");
  auto h = decode_header(file.first(kPageSize));
  if (h && h->version != kVersion) {
    return fail("index segment " + name + " has version " + std::to_string(h->version) +
                ", this program reads version " + std::to_string(kVersion));
  }
  if (h && h->file_size > file.size()) return fail("index segment " + name + " is truncated");
  if (!h || !header_fits(*h, file.size())) return fail(s.corrupted());
  s.layout_ = h->layout;
  s.runs_ = h->runs;
  s.hashes_ = h->hashes;
  s.run_radius_ = static_cast<int>(h->run_radius);
  s.reps_at_ = h->sections[1].offset;
  s.checkpoints_at_ = h->sections[2].offset;
  s.records_at_ = h->sections[3].offset;
  s.records_size_ = h->sections[3].size;
  s.pages_ = std::make_unique<PageChecker>(file, kPageSize, h->body_end,
                                           file.subspan(h->body_end));
  if (auto r = s.read_recordings(h->sections[0].offset, h->recordings); !r) return fail(r.error());
  for (std::size_t t = 0; t < s.layout_.size(); ++t) {
    const Section* sec = &h->sections[kSectionsBeforeTables + 4 * t];
    const PostingTableBytesView bytes{file.data() + sec[0].offset, file.data() + sec[1].offset,
                                      file.data() + sec[2].offset, file.data() + sec[3].offset};
    s.tables_.emplace_back(h->entries[t], s.layout_[t].bits, h->low_bits[t],
                           static_cast<int>(h->id_bits), bytes, s.pages_.get());
  }
  return s;
}

Result<void> SegmentReader::read_recordings(std::uint64_t offset, std::uint64_t count) {
  if (!pages_->check_at(offset, count * kRecordingBytes)) return fail(corrupted());
  std::uint64_t position = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint8_t* p = file_.data() + offset + i * kRecordingBytes;
    SegmentRecording r{load64(p), load64(p + 8), load64(p + 16), position};
    const bool first_in_order = i == 0 ? r.first_run == 0 : r.first_run > recordings_.back().first_run;
    if (!first_in_order || r.first_run >= runs_ || r.hashes == 0 || r.hashes > hashes_ - position) {
      return fail(corrupted());
    }
    position += r.hashes;
    recordings_.push_back(r);
  }
  if (position != hashes_ || (count == 0 && runs_ != 0)) return fail(corrupted());
  return {};
}

std::optional<PackedHash> SegmentReader::rep(std::uint64_t run) const {
  const std::uint64_t at = reps_at_ + run * 32;
  if (run >= runs_ || !pages_->check_at(at, 32)) return std::nullopt;
  PackedHash h;
  std::memcpy(h.data(), file_.data() + at, 32);
  return h;
}

std::optional<RunLocation> SegmentReader::locate(std::uint64_t run) const {
  if (run >= runs_) return std::nullopt;
  const std::uint64_t mark = checkpoints_at_ + run / kCheckpointEvery * 16;
  if (!pages_->check_at(mark, 32)) return std::nullopt;
  const std::uint8_t* m = file_.data() + mark;
  const std::uint64_t from = load64(m), to = load64(m + 16);
  std::uint64_t position = load64(m + 8);
  if (from > to || to > records_size_ || !pages_->check_at(records_at_ + from, to - from)) {
    return std::nullopt;
  }
  const auto window = file_.subspan(records_at_ + from, to - from);
  std::size_t at = 0;
  for (std::uint64_t r = run / kCheckpointEvery * kCheckpointEvery;; ++r) {
    auto head = RunRecord::head(window.subspan(at));
    if (!head) return std::nullopt;
    if (r == run) return RunLocation{window.subspan(at, head->second), from + at, position};
    at += head->second;
    position += head->first;
  }
}

std::size_t SegmentReader::recording_of(std::uint64_t run) const {
  auto it = std::upper_bound(recordings_.begin(), recordings_.end(), run,
                             [](std::uint64_t r, const SegmentRecording& rec) {
                               return r < rec.first_run;
                             });
  return static_cast<std::size_t>(it - recordings_.begin()) - 1;
}

Result<RecordingRuns> SegmentReader::recording_runs(std::size_t i) const {
  const SegmentRecording& rec = recordings_[i];
  const std::uint64_t end_run = i + 1 < recordings_.size() ? recordings_[i + 1].first_run : runs_;
  auto first = locate(rec.first_run);
  std::optional<RunLocation> end;
  if (end_run < runs_) end = locate(end_run);
  const std::uint64_t records_end = end ? end->record_offset : records_size_;
  if (!first || (end_run < runs_ && !end) || records_end < first->record_offset ||
      !pages_->check_at(reps_at_ + rec.first_run * 32, (end_run - rec.first_run) * 32) ||
      !pages_->check_at(records_at_ + first->record_offset, records_end - first->record_offset)) {
    return fail(corrupted());
  }
  return RecordingRuns{rec.serial, rec.hashes, end_run - rec.first_run,
                       file_.subspan(reps_at_ + rec.first_run * 32, (end_run - rec.first_run) * 32),
                       file_.subspan(records_at_ + first->record_offset,
                                     records_end - first->record_offset)};
}
