// Reads back what earlier runs wrote to an audit's output file and appends
// the new lines. The file is read in chunks, since an archive's journal can
// hold millions of lines; only the records are kept.

#include "verification/audit_journal.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fileio/fileio.h"

namespace {

constexpr std::size_t kChunk = 1024 * 1024;
constexpr std::size_t kMaxLineBytes = 64 * 1024 * 1024;

// Whether the file is empty or its last byte ends a line.
Result<bool> ends_a_line(int fd, const std::string& path) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) return fail("read " + path + ": " + format_io_error(errno));
  if (status.st_size <= 0) return true;
  std::array<std::uint8_t, 1> last{};
  const auto at = static_cast<std::uint64_t>(status.st_size) - 1;
  if (auto r = read_exact_at(fd, at, last, path); !r) return fail(r.error());
  return last[0] == '\n';
}

}  // namespace

Result<AuditJournal> AuditJournal::open(const OutputTarget& target, bool resume) {
  if (target.kind != OutputTarget::Kind::Path) return AuditJournal(Fd(), {});
  auto file = open_for_appending(target.path);
  if (!file) return fail(file.error());
  AuditJournal journal(std::move(*file), target.path);
  if (resume) {
    if (auto r = journal.read_recorded(); !r) return fail(r.error());
  }
  // A torn line left in place (no resume) stays a line of its own, so the
  // first new record is whole.
  auto whole = ends_a_line(journal.file_.get(), journal.path_);
  if (!whole) return fail(whole.error());
  if (!*whole) {
    if (auto r = write_all(journal.file_.get(), "\n"); !r) {
      return fail("write " + journal.path_ + ": " + r.error());
    }
  }
  return journal;
}

Result<void> AuditJournal::read_recorded() {
  std::vector<std::uint8_t> chunk(kChunk);
  std::string line;
  std::uint64_t offset = 0, line_start = 0;
  for (;;) {
    auto n = read_up_to_at(file_.get(), offset, chunk, path_);
    if (!n) return fail(n.error());
    if (*n == 0) break;
    const char* bytes = reinterpret_cast<const char*>(chunk.data());
    for (std::size_t at = 0; at < *n;) {
      const void* found = std::memchr(bytes + at, '\n', *n - at);
      const std::size_t end = found ? static_cast<const char*>(found) - bytes : *n;
      // A line longer than any of ours is not one; only its end is looked for.
      if (line.size() <= kMaxLineBytes) line.append(bytes + at, end - at);
      at = end + 1;
      if (!found) break;
      if (auto record = read_audit_line(line)) recorded_[record->input] = std::move(*record);
      line.clear();
      line_start = offset + at;
    }
    offset += *n;
  }
  // A run killed while writing leaves a line without its newline: whatever
  // it held is judged again.
  if (line_start < offset && ::ftruncate(file_.get(), static_cast<off_t>(line_start)) != 0) {
    return fail("truncate " + path_ + ": " + format_io_error(errno));
  }
  return {};
}

const AuditRecord* AuditJournal::recorded(const std::string& input) const {
  auto found = recorded_.find(input);
  return found == recorded_.end() ? nullptr : &found->second;
}

Result<void> AuditJournal::append(std::string_view line) {
  std::string whole(line);
  whole += '\n';
  if (auto r = write_all(file_.valid() ? file_.get() : STDOUT_FILENO, whole); !r) {
    return fail("write " + (path_.empty() ? std::string("stdout") : path_) + ": " + r.error());
  }
  return {};
}

std::string AuditJournal::place() const {
  return path_.empty() ? "on standard output" : "in " + path_;
}
