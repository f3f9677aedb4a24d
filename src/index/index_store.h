#pragma once
// An index on disk: one folder holding the catalogue (SQLite) and immutable
// segment files. Writers take the folder's lock, so two adds run one after
// the other; readers take no lock and see the index as it was at the
// catalogue transaction they began with.

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "fileio/fd.h"
#include "index/catalogue.h"
#include "index/hash_runs.h"
#include "index/mapped_file.h"
#include "index/packed_hash.h"
#include "index/segment_file.h"
#include "index/segment_writer.h"
#include "result.h"

/// A recording to add: what the catalogue keeps and its signed hashes.
struct NewRecording {
  RecordingInfo info;
  std::vector<PackedHash> hashes;
};

enum class AddOutcome { Added, AlreadyIndexed };

class IndexWriter {
 public:
  /// Opens the index at `path` for writing, making it when missing (or,
  /// without `create`, failing as IndexSnapshot::open does); waits while
  /// another writer holds it; removes the files a killed writer left.
  static Result<IndexWriter> open(const std::string& path, bool create = true);
  IndexWriter(IndexWriter&&) = default;

  /// Takes a recording, or says it is already indexed (or already taken).
  /// Taken recordings are stored by flush(), which add() also calls once
  /// enough hashes are waiting; those not flushed when the writer goes away
  /// are dropped. Fails for a recording of no or more than 2^24 hashes.
  Result<AddOutcome> add(const NewRecording& recording);
  /// Stores the taken recordings as one segment (or in a copy of the newest
  /// segment, when that would take them in at once), made durable and then
  /// registered with them in one transaction; then merges segments while
  /// the newest ones have grown to a quarter of the size of the one before.
  Result<void> flush();
  /// Removes the recording from the catalogue (its hashes leave the
  /// segments at their next merge); false when it is not in the index.
  Result<bool> remove(const std::string& manifest_sha256);

 private:
  struct Pending {
    RecordingInfo info;
    RunList runs;
  };
  IndexWriter(std::string path, Fd lock, Catalogue catalogue)
      : path_(std::move(path)), lock_(std::move(lock)), catalogue_(std::move(catalogue)) {}
  Result<void> remove_orphans();
  Result<void> merge_newest();
  /// Writes the kept recordings of segments `rows`, then the pending ones in
  /// `batch` (numbered from `serial`), as one segment, and swaps it for
  /// `rows` in the transaction that registers the batch.
  Result<void> rewrite(const std::vector<SegmentRow>& rows, std::span<const RecordingRuns> batch,
                       std::uint64_t serial);
  /// A new segment of `recordings`: the kept recordings of `inputs` when
  /// there are inputs, whose tables it then takes its entries from.
  Result<SegmentRow> write_segment(const std::vector<RecordingRuns>& recordings,
                                   std::span<const MergeInput> inputs);

  std::string path_;
  Fd lock_;
  Catalogue catalogue_;
  std::vector<Pending> pending_;
  std::unordered_set<std::string> pending_ids_;
  std::uint64_t pending_hashes_ = 0;
};

/// A mapped, checked segment file.
struct OpenSegment {
  MappedFile file;
  SegmentReader reader;
};

/// The index as of one catalogue transaction, with its segments open.
class IndexSnapshot {
 public:
  /// Fails with "PATH is not an index: ..." when the folder has no catalogue.
  static Result<IndexSnapshot> open(const std::string& path);
  Catalogue& catalogue() { return catalogue_; }
  const std::vector<OpenSegment>& segments() const { return segments_; }

 private:
  explicit IndexSnapshot(Catalogue catalogue) : catalogue_(std::move(catalogue)) {}
  Catalogue catalogue_;
  std::vector<OpenSegment> segments_;
};

/// Every recording in the index, in the order they were added.
Result<std::vector<RecordingInfo>> list_recordings(const std::string& path);
