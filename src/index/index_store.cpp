// The index folder: catalogue.sqlite, the writers' lock file, and segment
// files named segment-N.vvseg. A segment is written and synced before the
// transaction that registers it, so a writer killed at any moment leaves
// either nothing of its batch in the catalogue or all of it; the files of an
// unfinished batch or merge are orphans that the next writer removes. A
// merge writes a new segment without the removed recordings and swaps it
// for its inputs in one transaction; readers that still map the inputs
// keep reading them after they are unlinked.

#include "index/index_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "fileio/fileio.h"

namespace {

// Hashes waiting in memory before add() writes them out: 128 MiB of hashes.
constexpr std::uint64_t kFlushHashes = std::uint64_t{1} << 22;
// The newest segment is merged into the one before once it has grown to a
// quarter of it, so sizes fall by at least a quarter from segment to
// segment: a search pays every large segment's probes in full, and merges,
// which take the inputs' tables as they are, cost little more than writing.
constexpr std::uint64_t kMergeShare = 4;
constexpr int kSnapshotTries = 50;

// Whether a segment of `newer`'s size is merged into `older`.
bool takes_in(const SegmentRow& older, const SegmentRow& newer) {
  return older.runs <= kMergeShare * newer.runs && older.runs + newer.runs <= kMaxSegmentRuns &&
         older.hashes + newer.hashes <= kMaxSegmentHashes;
}

std::string catalogue_path(const std::string& index) { return index + "/catalogue.sqlite"; }

std::string segment_name(std::uint64_t id) { return "segment-" + std::to_string(id) + ".vvseg"; }

std::string segment_path(const std::string& index, std::uint64_t id) {
  return index + "/" + segment_name(id);
}

// The segment number in a file name of ours, or nullopt for any other file.
std::optional<std::uint64_t> segment_id(std::string_view name) {
  constexpr std::string_view kPrefix = "segment-", kSuffix = ".vvseg";
  if (!name.starts_with(kPrefix) || !name.ends_with(kSuffix)) return std::nullopt;
  const std::string_view digits = name.substr(kPrefix.size(), name.size() - 14);
  if (digits.empty() || digits.size() > 18) return std::nullopt;
  std::uint64_t id = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    id = id * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return id;
}

Result<void> sync(int fd, const std::string& name) {
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return fail("fsync " + name + ": " + format_io_error(errno));
  }
  return {};
}

Result<void> sync_directory(const std::string& dir) {
  Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return fail("open " + dir + ": " + format_io_error(errno));
  return sync(fd.get(), dir);
}

Result<Fd> take_lock(const std::string& index) {
  const std::string path = index + "/writer.lock";
  Fd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (!fd.valid()) return fail("open " + path + ": " + format_io_error(errno));
  while (::flock(fd.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return fail("lock " + path + ": " + format_io_error(errno));
  }
  return fd;
}

Result<std::vector<OpenSegment>> open_segments(const std::string& index,
                                               const std::vector<SegmentRow>& rows, bool* missing) {
  std::vector<OpenSegment> out;
  for (const SegmentRow& row : rows) {
    const std::string path = segment_path(index, row.id);
    int error_number = 0;
    auto file = MappedFile::open(path, &error_number);
    if (!file) {
      *missing = error_number == ENOENT;
      return fail(file.error());
    }
    auto reader = SegmentReader::open(file->bytes(), path, true);
    if (!reader) return fail(reader.error());
    out.push_back({std::move(*file), std::move(*reader)});
  }
  return out;
}

}  // namespace

Result<IndexWriter> IndexWriter::open(const std::string& path, bool create) {
  if (!create) {
    // Looked at before the lock file is made, so a path that is no index
    // is left as it was.
    if (auto c = Catalogue::open(catalogue_path(path), false); !c) {
      return fail(path + " is not an index: " + c.error());
    }
  } else if (auto made = create_directories(path); !made) {
    return fail("create index " + path + ": " + made.error());
  }
  auto lock = take_lock(path);
  if (!lock) return fail(lock.error());
  auto catalogue = Catalogue::open(catalogue_path(path), create);
  if (!catalogue) return fail(catalogue.error());
  IndexWriter writer(path, std::move(*lock), std::move(*catalogue));
  if (auto r = writer.remove_orphans(); !r) return fail(r.error());
  return writer;
}

Result<void> IndexWriter::remove_orphans() {
  auto rows = catalogue_.segments();
  if (!rows) return fail(rows.error());
  struct CloseDir {
    void operator()(DIR* d) const { ::closedir(d); }
  };
  std::unique_ptr<DIR, CloseDir> dir(::opendir(path_.c_str()));
  if (!dir) return fail("open " + path_ + ": " + format_io_error(errno));
  std::vector<std::string> orphans;
  while (const dirent* entry = ::readdir(dir.get())) {
    const auto id = segment_id(entry->d_name);
    if (id && std::none_of(rows->begin(), rows->end(),
                           [&](const SegmentRow& r) { return r.id == *id; })) {
      orphans.emplace_back(entry->d_name);
    }
  }
  for (const std::string& name : orphans) {
    if (::unlink((path_ + "/" + name).c_str()) != 0 && errno != ENOENT) {
      return fail("remove " + path_ + "/" + name + ": " + format_io_error(errno));
    }
  }
  return {};
}

Result<AddOutcome> IndexWriter::add(const NewRecording& recording) {
  if (recording.hashes.empty() || recording.hashes.size() > kMaxSegmentRuns) {
    return fail("recording " + recording.info.manifest_sha256 + " has " +
                std::to_string(recording.hashes.size()) +
                " signed hashes; an index takes 1 to 16777216 per recording");
  }
  auto known = catalogue_.serial_of(recording.info.manifest_sha256);
  if (!known) return fail(known.error());
  if (*known || pending_ids_.contains(recording.info.manifest_sha256)) {
    return AddOutcome::AlreadyIndexed;
  }
  Pending p{recording.info, {}};
  p.info.hash_count = recording.hashes.size();
  append_runs(recording.hashes, p.runs);
  pending_ids_.insert(p.info.manifest_sha256);
  pending_.push_back(std::move(p));
  pending_hashes_ += recording.hashes.size();
  if (pending_hashes_ >= kFlushHashes) {
    if (auto r = flush(); !r) return fail(r.error());
  }
  return AddOutcome::Added;
}

Result<SegmentRow> IndexWriter::write_segment(const std::vector<RecordingRuns>& recordings,
                                              std::span<const MergeInput> inputs) {
  auto id = catalogue_.next("next_segment");
  if (!id) return fail(id.error());
  const std::string path = segment_path(path_, *id);
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd.valid()) return fail("create " + path + ": " + format_io_error(errno));
  auto written = inputs.empty() ? write_segment_file(recordings, fd.get(), path)
                                : write_merged_segment_file(inputs, fd.get(), path);
  if (!written) return fail(written.error());
  if (auto r = sync(fd.get(), path); !r) return fail(r.error());
  if (auto r = fd.close(); !r) return fail("close " + path + ": " + r.error());
  if (auto r = sync_directory(path_); !r) return fail(r.error());
  SegmentRow row{*id, 0, 0};
  for (const RecordingRuns& rec : recordings) {
    row.runs += rec.runs;
    row.hashes += rec.hashes;
  }
  return row;
}

Result<void> IndexWriter::flush() {
  if (pending_.empty()) return {};
  auto serial = catalogue_.next("next_serial");
  if (!serial) return fail(serial.error());
  std::vector<RecordingRuns> batch;
  SegmentRow size{0, 0, 0};
  for (std::size_t i = 0; i < pending_.size(); ++i) {
    batch.push_back(runs_of(pending_[i].runs, *serial + i, pending_[i].info.hash_count));
    size.runs += batch.back().runs;
    size.hashes += batch.back().hashes;
  }
  // A batch that the newest segment would take in at once goes straight into
  // a copy of it: written on its own first, it would be written twice.
  auto rows = catalogue_.segments();
  if (!rows) return fail(rows.error());
  std::vector<SegmentRow> joined;
  if (!rows->empty() && takes_in(rows->back(), size)) joined.push_back(rows->back());
  if (auto r = rewrite(joined, batch, *serial); !r) return r;
  pending_.clear();
  pending_ids_.clear();
  pending_hashes_ = 0;
  return merge_newest();
}

Result<void> IndexWriter::merge_newest() {
  for (;;) {
    auto rows = catalogue_.segments();
    if (!rows) return fail(rows.error());
    if (rows->size() < 2 || !takes_in((*rows)[rows->size() - 2], rows->back())) return {};
    if (auto r = rewrite({(*rows)[rows->size() - 2], rows->back()}, {}, 0); !r) return r;
  }
}

Result<void> IndexWriter::rewrite(const std::vector<SegmentRow>& rows,
                                  std::span<const RecordingRuns> batch, std::uint64_t serial) {
  bool missing = false;
  auto inputs = open_segments(path_, rows, &missing);
  if (!inputs) return fail(inputs.error());
  auto live = catalogue_.serials();
  if (!live) return fail(live.error());
  std::vector<MergeInput> merged_inputs;
  std::vector<RecordingRuns> kept;
  for (const OpenSegment& s : *inputs) {
    MergeInput input{&s.reader, {}, {}};
    for (std::size_t i = 0; i < s.reader.recordings().size(); ++i) {
      if (!std::binary_search(live->begin(), live->end(), s.reader.recordings()[i].serial))
        continue;
      auto runs = s.reader.recording_runs(i);
      if (!runs) return fail(runs.error());
      kept.push_back(*runs);
      input.kept.push_back(i);
    }
    merged_inputs.push_back(std::move(input));
  }
  if (!batch.empty()) {
    merged_inputs.push_back({nullptr, {}, batch});
    kept.insert(kept.end(), batch.begin(), batch.end());
  }
  std::optional<SegmentRow> merged;
  if (!kept.empty()) {
    auto row = write_segment(kept, rows.empty() ? std::span<const MergeInput>{} : merged_inputs);
    if (!row) return fail(row.error());
    merged = *row;
  }
  auto commit = [&]() -> Result<void> {
    if (auto r = catalogue_.begin_write(); !r) return r;
    for (std::size_t i = 0; i < batch.size(); ++i) {
      if (auto r = catalogue_.insert(serial + i, pending_[i].info); !r) return r;
    }
    if (!batch.empty()) {
      if (auto r = catalogue_.bump("next_serial", serial + batch.size()); !r) return r;
    }
    for (const SegmentRow& row : rows) {
      if (auto r = catalogue_.remove_segment(row.id); !r) return r;
    }
    if (merged) {
      if (auto r = catalogue_.insert_segment(*merged); !r) return r;
      if (auto r = catalogue_.bump("next_segment", merged->id + 1); !r) return r;
    }
    return catalogue_.commit();
  };
  if (auto r = commit(); !r) {
    catalogue_.end();
    if (merged) ::unlink(segment_path(path_, merged->id).c_str());
    return r;
  }
  // Unlinked only now: until the commit the catalogue still named them.
  for (const SegmentRow& row : rows) ::unlink(segment_path(path_, row.id).c_str());
  return {};
}

Result<bool> IndexWriter::remove(const std::string& manifest_sha256) {
  if (auto r = catalogue_.begin_write(); !r) return fail(r.error());
  auto removed = catalogue_.remove(manifest_sha256);
  if (!removed) {
    catalogue_.end();
    return fail(removed.error());
  }
  if (auto r = catalogue_.commit(); !r) {
    catalogue_.end();
    return fail(r.error());
  }
  return *removed;
}

Result<IndexSnapshot> IndexSnapshot::open(const std::string& path) {
  auto catalogue = Catalogue::open(catalogue_path(path), false);
  if (!catalogue) return fail(path + " is not an index: " + catalogue.error());
  IndexSnapshot snapshot(std::move(*catalogue));
  // A merge that commits after our snapshot began may unlink a segment we
  // are about to open; a fresh snapshot then names its replacement.
  for (int attempt = 0;; ++attempt) {
    if (auto r = snapshot.catalogue_.begin_read(); !r) return fail(r.error());
    auto rows = snapshot.catalogue_.segments();
    if (!rows) return fail(rows.error());
    bool missing = false;
    auto segments = open_segments(path, *rows, &missing);
    if (segments) {
      snapshot.segments_ = std::move(*segments);
      return snapshot;
    }
    snapshot.catalogue_.end();
    if (!missing || attempt + 1 == kSnapshotTries) return fail(segments.error());
  }
}

Result<std::vector<RecordingInfo>> list_recordings(const std::string& path) {
  auto catalogue = Catalogue::open(catalogue_path(path), false);
  if (!catalogue) return fail(path + " is not an index: " + catalogue.error());
  return catalogue->recordings();
}
