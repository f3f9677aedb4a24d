#pragma once
// The catalogue: the SQLite database that says which recordings an index
// holds and which segment files hold their hashes. Whatever must survive a
// crash is committed here, in one transaction per change.

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "result.h"
#include "evidence/source_binding.h"

/// What the catalogue keeps of one signed recording.
struct RecordingInfo {
  std::string manifest_sha256;  // hex of the signed manifest's bytes: the recording's id
  std::string device_id;
  std::string key_id;
  std::string public_key_hex;
  std::int64_t signed_at_ms = 0;
  double fps = 0;
  std::string source_sha256;
  std::uint64_t source_size = 0;
  std::string evidence_path;  // as given when it was added
  SourceBinding binding = SourceBinding::NotChecked;
  std::uint64_t hash_count = 0;  // signed hashes
  bool operator==(const RecordingInfo&) const = default;
};

struct SegmentRow {
  std::uint64_t id = 0;
  std::uint64_t runs = 0;
  std::uint64_t hashes = 0;
};

class Catalogue {
 public:
  /// Opens the database at `path`; `create` makes it (and its tables) when
  /// missing. Fails with "open PATH: ...", "PATH is not an index catalogue"
  /// or "PATH has format N, this program reads format 1".
  static Result<Catalogue> open(const std::string& path, bool create);

  /// A read transaction: everything read until end() sees one snapshot.
  Result<void> begin_read();
  /// A write transaction (writers wait on each other, readers go on).
  Result<void> begin_write();
  Result<void> commit();
  /// Ends a transaction without changes; never fails.
  void end();

  Result<std::optional<std::uint64_t>> serial_of(const std::string& manifest_sha256);
  Result<std::optional<RecordingInfo>> recording(std::uint64_t serial);
  /// Every recording, in the order they were added.
  Result<std::vector<RecordingInfo>> recordings();
  Result<std::vector<std::uint64_t>> serials();
  Result<void> insert(std::uint64_t serial, const RecordingInfo& info);
  /// False when no recording has that manifest.
  Result<bool> remove(const std::string& manifest_sha256);

  Result<std::vector<SegmentRow>> segments();
  Result<void> insert_segment(const SegmentRow& row);
  Result<void> remove_segment(std::uint64_t id);
  /// The next serial or segment number to hand out, moved on by bump.
  Result<std::uint64_t> next(std::string_view counter);
  Result<void> bump(std::string_view counter, std::uint64_t past);

 private:
  using Db = std::unique_ptr<sqlite3, decltype(&sqlite3_close)>;
  explicit Catalogue(Db db, std::string path) : db_(std::move(db)), path_(std::move(path)) {}
  Result<void> exec(const char* sql);
  std::string error(std::string_view doing) const;

  Db db_;
  std::string path_;
};
