// The catalogue in SQLite, in write-ahead-log mode: a reader's transaction
// keeps its snapshot while a writer commits beside it, and a commit with
// synchronous=FULL is on disk when it returns. Serials and segment numbers
// come from counters kept in the same database, so a number is taken for
// good only by the transaction that commits it.

#include "index/catalogue.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>

#include "fileio/fd.h"

namespace {

constexpr std::int64_t kFormat = 1;
constexpr int kBusyTimeoutMs = 60'000;

constexpr const char* kSchema = R"(
CREATE TABLE meta(name TEXT PRIMARY KEY, value INTEGER NOT NULL) WITHOUT ROWID;
CREATE TABLE recordings(
  serial INTEGER PRIMARY KEY,
  manifest_sha256 TEXT NOT NULL UNIQUE,
  device_id TEXT NOT NULL,
  key_id TEXT NOT NULL,
  public_key_hex TEXT NOT NULL,
  signed_at_ms INTEGER NOT NULL,
  fps REAL NOT NULL,
  source_sha256 TEXT NOT NULL,
  source_size INTEGER NOT NULL,
  evidence_path TEXT NOT NULL,
  source_binding TEXT NOT NULL CHECK (source_binding IN ('not_checked', 'ok', 'fail')),
  hash_count INTEGER NOT NULL);
CREATE TABLE segments(id INTEGER PRIMARY KEY, runs INTEGER NOT NULL, hashes INTEGER NOT NULL);
INSERT INTO meta VALUES ('format', 1), ('next_serial', 1), ('next_segment', 1);
)";

constexpr const char* kRecordingColumns =
    "manifest_sha256, device_id, key_id, public_key_hex, signed_at_ms, fps, source_sha256, "
    "source_size, evidence_path, source_binding, hash_count";

class Statement {
 public:
  explicit Statement(sqlite3_stmt* s) : s_(s, &sqlite3_finalize) {}
  void bind(int i, std::int64_t v) { sqlite3_bind_int64(s_.get(), i, v); }
  void bind(int i, std::uint64_t v) { bind(i, static_cast<std::int64_t>(v)); }
  void bind(int i, double v) { sqlite3_bind_double(s_.get(), i, v); }
  void bind(int i, std::string_view v) {
    sqlite3_bind_text(s_.get(), i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
  }
  /// SQLITE_ROW, SQLITE_DONE or an error code.
  int step() { return sqlite3_step(s_.get()); }
  std::int64_t integer(int col) { return sqlite3_column_int64(s_.get(), col); }
  std::uint64_t count(int col) { return static_cast<std::uint64_t>(integer(col)); }
  double real(int col) { return sqlite3_column_double(s_.get(), col); }
  std::string text(int col) {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s_.get(), col));
    return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(s_.get(), col))) : "";
  }

 private:
  std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> s_;
};

Result<Statement> prepare(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) != SQLITE_OK) {
    sqlite3_finalize(s);
    return fail(sqlite3_errmsg(db));
  }
  return Statement(s);
}

void bind_recording(Statement& s, const RecordingInfo& r, int from) {
  s.bind(from, r.manifest_sha256);
  s.bind(from + 1, r.device_id);
  s.bind(from + 2, r.key_id);
  s.bind(from + 3, r.public_key_hex);
  s.bind(from + 4, r.signed_at_ms);
  s.bind(from + 5, r.fps);
  s.bind(from + 6, r.source_sha256);
  s.bind(from + 7, r.source_size);
  s.bind(from + 8, r.evidence_path);
  s.bind(from + 9, source_binding_word(r.binding));
  s.bind(from + 10, r.hash_count);
}

RecordingInfo read_recording(Statement& s) {
  RecordingInfo r{s.text(0), s.text(1),  s.text(2), s.text(3), s.integer(4), s.real(5),
                  s.text(6), s.count(7), s.text(8), {},        s.count(10)};
  const std::string binding = s.text(9);
  for (SourceBinding b : {SourceBinding::NotChecked, SourceBinding::Ok, SourceBinding::Fail}) {
    if (binding == source_binding_word(b)) r.binding = b;
  }
  return r;
}

}  // namespace

std::string Catalogue::error(std::string_view doing) const {
  return "catalogue " + path_ + ": " + std::string(doing) + ": " + sqlite3_errmsg(db_.get());
}

Result<void> Catalogue::exec(const char* sql) {
  if (sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
    return fail(error(sql));
  }
  return {};
}

namespace {

// A new catalogue is made under another name and renamed into place, so a
// reader finds either no catalogue or one with its tables: never the empty
// database of a writer killed while making it.
Result<void> make_catalogue(const std::string& path) {
  const std::string fresh = path + ".new";
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) ::unlink((fresh + suffix).c_str());
  {
    sqlite3* raw = nullptr;
    const int opened =
        sqlite3_open_v2(fresh.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db(raw, &sqlite3_close);
    const std::string schema = std::string("PRAGMA journal_mode=WAL; BEGIN;") + kSchema + "COMMIT;";
    if (opened != SQLITE_OK ||
        sqlite3_exec(raw, schema.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
      return fail("create " + fresh + ": " + (raw ? sqlite3_errmsg(raw) : sqlite3_errstr(opened)));
    }
  }
  if (::rename(fresh.c_str(), path.c_str()) != 0) {
    return fail("rename " + fresh + ": " + format_io_error(errno));
  }
  return {};
}

}  // namespace

Result<Catalogue> Catalogue::open(const std::string& path, bool create) {
  if (create && ::access(path.c_str(), F_OK) != 0) {
    if (auto made = make_catalogue(path); !made) return fail(made.error());
  }
  sqlite3* raw = nullptr;
  const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
  const int opened = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
  Catalogue c(Db(raw, &sqlite3_close), path);
  if (opened != SQLITE_OK) {
    return fail("open " + path + ": " + (raw ? sqlite3_errmsg(raw) : sqlite3_errstr(opened)));
  }
  sqlite3_busy_timeout(raw, kBusyTimeoutMs);
  if (auto r = c.exec("PRAGMA synchronous=FULL"); !r) return fail(r.error());
  auto format = prepare(raw, "SELECT value FROM meta WHERE name = 'format'");
  if (!format || format->step() != SQLITE_ROW) return fail(path + " is not an index catalogue");
  if (format->integer(0) != kFormat) {
    return fail(path + " has format " + std::to_string(format->integer(0)) +
                ", this program reads format " + std::to_string(kFormat));
  }
  return c;
}

Result<void> Catalogue::begin_read() {
  if (auto r = exec("BEGIN"); !r) return r;
  // A read transaction takes its snapshot at its first read.
  auto s = prepare(db_.get(), "SELECT count(*) FROM segments");
  if (!s || s->step() != SQLITE_ROW) return fail(error("begin"));
  return {};
}

Result<void> Catalogue::begin_write() { return exec("BEGIN IMMEDIATE"); }
Result<void> Catalogue::commit() { return exec("COMMIT"); }
void Catalogue::end() {
  if (!sqlite3_get_autocommit(db_.get())) (void)exec("ROLLBACK");
}

Result<std::optional<std::uint64_t>> Catalogue::serial_of(const std::string& manifest_sha256) {
  auto s = prepare(db_.get(), "SELECT serial FROM recordings WHERE manifest_sha256 = ?");
  if (!s) return fail(error("find recording"));
  s->bind(1, manifest_sha256);
  const int step = s->step();
  if (step == SQLITE_ROW) return s->count(0);
  if (step != SQLITE_DONE) return fail(error("find recording"));
  return std::nullopt;
}

Result<std::optional<RecordingInfo>> Catalogue::recording(std::uint64_t serial) {
  auto s = prepare(
      db_.get(), std::string("SELECT ") + kRecordingColumns + " FROM recordings WHERE serial = ?");
  if (!s) return fail(error("read recording"));
  s->bind(1, serial);
  const int step = s->step();
  if (step == SQLITE_ROW) return read_recording(*s);
  if (step != SQLITE_DONE) return fail(error("read recording"));
  return std::nullopt;
}

Result<std::vector<RecordingInfo>> Catalogue::recordings() {
  auto s = prepare(db_.get(),
                   std::string("SELECT ") + kRecordingColumns + " FROM recordings ORDER BY serial");
  if (!s) return fail(error("list recordings"));
  std::vector<RecordingInfo> out;
  int step;
  while ((step = s->step()) == SQLITE_ROW) out.push_back(read_recording(*s));
  if (step != SQLITE_DONE) return fail(error("list recordings"));
  return out;
}

Result<std::vector<std::uint64_t>> Catalogue::serials() {
  auto s = prepare(db_.get(), "SELECT serial FROM recordings ORDER BY serial");
  if (!s) return fail(error("list recordings"));
  std::vector<std::uint64_t> out;
  int step;
  while ((step = s->step()) == SQLITE_ROW) out.push_back(s->count(0));
  if (step != SQLITE_DONE) return fail(error("list recordings"));
  return out;
}

Result<void> Catalogue::insert(std::uint64_t serial, const RecordingInfo& info) {
  auto s = prepare(db_.get(), std::string("INSERT INTO recordings (serial, ") + kRecordingColumns +
                                  ") VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  if (!s) return fail(error("add recording"));
  s->bind(1, serial);
  bind_recording(*s, info, 2);
  if (s->step() != SQLITE_DONE) return fail(error("add recording"));
  return {};
}

Result<bool> Catalogue::remove(const std::string& manifest_sha256) {
  auto s = prepare(db_.get(), "DELETE FROM recordings WHERE manifest_sha256 = ?");
  if (!s) return fail(error("remove recording"));
  s->bind(1, manifest_sha256);
  if (s->step() != SQLITE_DONE) return fail(error("remove recording"));
  return sqlite3_changes(db_.get()) > 0;
}

Result<std::vector<SegmentRow>> Catalogue::segments() {
  auto s = prepare(db_.get(), "SELECT id, runs, hashes FROM segments ORDER BY id");
  if (!s) return fail(error("list segments"));
  std::vector<SegmentRow> out;
  int step;
  while ((step = s->step()) == SQLITE_ROW) out.push_back({s->count(0), s->count(1), s->count(2)});
  if (step != SQLITE_DONE) return fail(error("list segments"));
  return out;
}

Result<void> Catalogue::insert_segment(const SegmentRow& row) {
  auto s = prepare(db_.get(), "INSERT INTO segments (id, runs, hashes) VALUES (?, ?, ?)");
  if (!s) return fail(error("add segment"));
  s->bind(1, row.id);
  s->bind(2, row.runs);
  s->bind(3, row.hashes);
  if (s->step() != SQLITE_DONE) return fail(error("add segment"));
  return {};
}

Result<void> Catalogue::remove_segment(std::uint64_t id) {
  auto s = prepare(db_.get(), "DELETE FROM segments WHERE id = ?");
  if (!s) return fail(error("remove segment"));
  s->bind(1, id);
  if (s->step() != SQLITE_DONE) return fail(error("remove segment"));
  return {};
}

Result<std::uint64_t> Catalogue::next(std::string_view counter) {
  auto s = prepare(db_.get(), "SELECT value FROM meta WHERE name = ?");
  if (!s) return fail(error("read counter"));
  s->bind(1, counter);
  if (s->step() != SQLITE_ROW) return fail(error("read counter"));
  return s->count(0);
}

Result<void> Catalogue::bump(std::string_view counter, std::uint64_t past) {
  auto s = prepare(db_.get(), "UPDATE meta SET value = ? WHERE name = ?");
  if (!s) return fail(error("move counter"));
  s->bind(1, past);
  s->bind(2, counter);
  if (s->step() != SQLITE_DONE) return fail(error("move counter"));
  return {};
}
