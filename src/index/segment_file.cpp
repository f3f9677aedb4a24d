// Reading segment files in place: the header is checked whole when the
// file is opened, the recordings section too; everything else is checked a
// page at a time as searches reach it.

#include "index/segment_file.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstring>

#include "index/hash_runs.h"
#include "index/segment_header.h"

namespace {

static_assert(std::endian::native == std::endian::little,
              "segments are read in place as little-endian words");

std::uint64_t load64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

}  // namespace

RecordingRuns runs_of(const RunList& runs, std::uint64_t serial, std::uint64_t hashes) {
  const auto bytes = [](const std::vector<HalfHash>& halves) {
    return std::span(reinterpret_cast<const std::uint8_t*>(halves.data()), halves.size() * 16);
  };
  return {serial, hashes, runs.rep_lows.size(), bytes(runs.rep_lows), bytes(runs.rep_highs),
          runs.records};
}

std::string SegmentReader::corrupted() const { return "index segment " + name_ + " is corrupted"; }

Result<SegmentReader> SegmentReader::open(std::span<const std::uint8_t> file,
                                          const std::string& name, bool mapped) {
  SegmentReader s;
  s.file_ = file;
  s.mapped_ = mapped;
  s.name_ = name;
  if (file.size() < kPageSize) return fail("index segment " + name + " is truncated");
  auto h = decode_header(file.first(kPageSize));
  if (h && !is_readable_version(h->version)) {
    return fail("index segment " + name + " has version " + std::to_string(h->version) +
                ", this program reads versions 2 and 3");
  }
  if (h && h->file_size > file.size()) return fail("index segment " + name + " is truncated");
  if (!h || !header_fits(*h, file.size())) return fail(s.corrupted());
  s.layout_ = h->layout;
  s.runs_ = h->runs;
  s.hashes_ = h->hashes;
  s.run_radius_ = static_cast<int>(h->run_radius);
  s.block_bits_ = static_cast<int>(h->block_bits);
  s.rep_lows_at_ = h->sections[1].offset;
  s.rep_highs_at_ = h->sections[2].offset;
  s.checkpoints_at_ = h->sections[3].offset;
  s.records_at_ = h->sections[4].offset;
  s.records_size_ = h->sections[4].size;
  s.pages_ = std::make_unique<PageChecker>(file, kPageSize, h->body_end, file.subspan(h->body_end));
  if (auto r = s.read_recordings(h->sections[0].offset, h->recordings); !r) return fail(r.error());
  if (s.blocks_ > (std::uint64_t{1} << h->id_bits)) return fail(s.corrupted());
  for (std::size_t t = 0; t < s.layout_.size(); ++t) {
    const Section* sec = &h->sections[kSectionsBeforeTables + 4 * t];
    const PostingTableBytesView bytes{file.data() + sec[0].offset, file.data() + sec[1].offset,
                                      file.data() + sec[2].offset, file.data() + sec[3].offset};
    s.tables_.emplace_back(h->entries[t], s.layout_[t].bits, h->low_bits[t],
                           static_cast<int>(h->id_bits), bytes, s.pages_.get());
    s.table_spans_.emplace_back(sec[0].offset, sec[3].offset + sec[3].size);
  }
  return s;
}

Result<void> SegmentReader::read_recordings(std::uint64_t offset, std::uint64_t count) {
  if (!pages_->check_at(offset, count * kRecordingBytes)) return fail(corrupted());
  std::uint64_t position = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint8_t* p = file_.data() + offset + i * kRecordingBytes;
    SegmentRecording r{load64(p), load64(p + 8), load64(p + 16), position};
    const bool first_in_order =
        i == 0 ? r.first_run == 0 : r.first_run > recordings_.back().first_run;
    if (!first_in_order || r.first_run >= runs_ || r.hashes == 0 || r.hashes > hashes_ - position) {
      return fail(corrupted());
    }
    position += r.hashes;
    recordings_.push_back(r);
  }
  if (position != hashes_ || (count == 0 && runs_ != 0)) return fail(corrupted());
  // Each recording's runs begin a block of their own.
  for (std::size_t i = 0; i < recordings_.size(); ++i) {
    SegmentRecording& r = recordings_[i];
    const std::uint64_t end = i + 1 < recordings_.size() ? recordings_[i + 1].first_run : runs_;
    r.first_block = blocks_;
    blocks_ += blocks_of(end - r.first_run, block_bits_);
    if (block_bits_ == 0) continue;
    for (std::uint64_t run = r.first_run; run < end; run += std::uint64_t{1} << block_bits_) {
      block_starts_.push_back(static_cast<std::uint32_t>(run));
    }
  }
  if (block_bits_ > 0) block_starts_.push_back(static_cast<std::uint32_t>(runs_));
  return {};
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

void SegmentReader::release(std::size_t t) const {
  if (!mapped_ || file_.empty()) return;
  const auto [begin, end] = t < table_spans_.size() ? table_spans_[t]
                                                     : std::pair<std::uint64_t, std::uint64_t>{0, file_.size()};
  // Whole pages inside the span: a page shared with a neighbour stays.
  const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  const std::uint64_t from = (begin + page - 1) / page * page, to = end / page * page;
  if (from < to) {
    ::madvise(const_cast<std::uint8_t*>(file_.data()) + from, to - from, MADV_DONTNEED);
  }
}

std::size_t SegmentReader::recording_of(std::uint64_t run) const {
  auto it = std::upper_bound(
      recordings_.begin(), recordings_.end(), run,
      [](std::uint64_t r, const SegmentRecording& rec) { return r < rec.first_run; });
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
      !pages_->check_at(rep_lows_at_ + rec.first_run * 16, (end_run - rec.first_run) * 16) ||
      !pages_->check_at(rep_highs_at_ + rec.first_run * 16, (end_run - rec.first_run) * 16) ||
      !pages_->check_at(records_at_ + first->record_offset, records_end - first->record_offset)) {
    return fail(corrupted());
  }
  return RecordingRuns{
      rec.serial, rec.hashes, end_run - rec.first_run,
      file_.subspan(rep_lows_at_ + rec.first_run * 16, (end_run - rec.first_run) * 16),
      file_.subspan(rep_highs_at_ + rec.first_run * 16, (end_run - rec.first_run) * 16),
      file_.subspan(records_at_ + first->record_offset, records_end - first->record_offset)};
}
