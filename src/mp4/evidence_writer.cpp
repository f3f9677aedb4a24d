// Writes the evidence file next to its target and renames it into place only
// after the written bytes were read back and checked, so a reader never sees
// a half-written recording. The source is copied and hashed in one pass
// through one buffer, so memory use does not grow with the recording.

#include "mp4/evidence_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <limits>
#include <optional>
#include <string_view>

#include "encoding/hex.h"
#include "encoding/text.h"
#include "fileio/clock.h"
#include "fileio/fd.h"
#include "fileio/fileio.h"
#include "fileio/interrupt.h"
#include "mp4/box_scanner.h"

namespace {

constexpr int kTempAttempts = 1000;
// What the read and write faults of a copy of the source name.
constexpr std::string_view kSourceBytes = "source bytes";
constexpr std::string_view kFallbackName = "vorlant-verify-output";

struct TargetParts {
  std::string parent;  // empty: the current directory
  std::string name;    // the last component, or the fallback name
};

// Splits the path as text, so the temporary file lands in the very directory
// the rename will target.
TargetParts split_target(std::string_view target) {
  while (target.size() > 1 && target.ends_with('/')) target.remove_suffix(1);
  const auto slash = target.rfind('/');
  std::string_view last = slash == std::string_view::npos ? target : target.substr(slash + 1);
  std::string_view parent = slash == std::string_view::npos ? "" : target.substr(0, slash);
  while (parent.size() > 1 && parent.ends_with('/')) parent.remove_suffix(1);
  if (slash == 0) parent = "/";
  // Invalid UTF-8 in the name is replaced, so the temporary name is always text.
  TargetParts parts{std::string(parent), to_lossy_utf8(last)};
  if (last.empty() || last == "." || last == ".." || target == "/") {
    parts.name = kFallbackName;
  }
  return parts;
}

// Nanoseconds since the epoch in decimal, as seconds followed by nine
// zero-padded digits, so no 128-bit type is needed (32-bit targets lack one).
Result<std::string> clock_stamp() {
  auto clock = read_wall_clock();
  if (!clock) return fail(clock.error());
  const timespec& now = *clock;
  const std::string nanos = std::to_string(now.tv_nsec);
  if (now.tv_sec == 0) return nanos;
  return std::to_string(now.tv_sec) + std::string(9 - std::min<std::size_t>(9, nanos.size()), '0') +
         nanos;
}

// Removes the temporary file on every way out except the successful rename,
// an interrupting signal included.
class TempFileGuard {
 public:
  explicit TempFileGuard(std::string path) : path_(std::move(path)), on_interrupt_(path_) {}
  TempFileGuard(const TempFileGuard&) = delete;
  TempFileGuard& operator=(const TempFileGuard&) = delete;
  ~TempFileGuard() {
    if (!path_.empty()) ::unlink(path_.c_str());  // a failed removal must not hide the first error
  }
  const std::string& path() const { return path_; }
  void release() { path_.clear(); }

 private:
  std::string path_;
  RemoveOnInterrupt on_interrupt_;
};

struct TempFile {
  Fd fd;
  std::string path;
};

// The longest file name the directory takes; 255 where the system won't say.
std::size_t name_max(const std::string& parent) {
  long max = ::pathconf(parent.empty() ? "." : parent.c_str(), _PC_NAME_MAX);
  return max > 0 ? static_cast<std::size_t>(max) : 255;
}

// Cuts text to at most `size` bytes without splitting a UTF-8 sequence.
std::string_view utf8_prefix(std::string_view text, std::size_t size) {
  if (text.size() <= size) return text;
  while (size > 0 && (static_cast<unsigned char>(text[size]) & 0xC0) == 0x80) --size;
  return text.substr(0, size);
}

Result<TempFile> create_temp_file(const TargetParts& parts, const std::string& target_path) {
  auto stamp = clock_stamp();
  if (!stamp) return fail(stamp.error());
  const std::string suffix = ".tmp-" + std::to_string(::getpid()) + "-" + *stamp + "-";
  // A long target name is shortened so the temporary name still fits the
  // directory's limit: "." + name + suffix + up to three attempt digits.
  const std::size_t fixed = 1 + suffix.size() + 3;
  const std::size_t max = name_max(parts.parent);
  const std::string_view name =
      utf8_prefix(parts.name, max > fixed ? max - fixed : 1);
  const std::string prefix = (parts.parent.empty()  ? ""
                              : parts.parent == "/" ? "/"
                                                    : parts.parent + "/") +
                             "." + std::string(name) + suffix;
  for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
    std::string path = prefix + std::to_string(attempt);
    // Read-write, so the written file is checked through the same descriptor.
    Fd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (fd.valid()) return TempFile{std::move(fd), std::move(path)};
    if (errno != EEXIST) return fail("create " + path + ": " + format_io_error(errno));
  }
  return fail("could not create temporary output next to " + target_path);
}

Result<void> check_source(std::uint64_t size, const std::string& sha256_hex,
                          const EvidenceManifest& manifest) {
  if (size != manifest.source_size) {
    return fail("input size " + std::to_string(size) + " does not match manifest source_size " +
                std::to_string(manifest.source_size));
  }
  if (sha256_hex != hex_encode(manifest.source_sha256)) {
    return fail("input SHA-256 does not match manifest source_sha256");
  }
  return {};
}

Result<void> fsync_fd(int fd, const std::string& name) {
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return fail("fsync " + name + ": " + format_io_error(errno));
  }
  return {};
}

Result<void> fsync_directory(const std::string& dir) {
  Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return fail("open " + dir + ": " + format_io_error(errno));
  return fsync_fd(fd.get(), dir);
}

Result<void> rewind(int fd, const std::string& path) {
  if (::lseek(fd, 0, SEEK_SET) != 0) return fail("seek " + path + ": " + format_io_error(errno));
  return {};
}

// The checks a reader of the written file makes, through an open descriptor.
Result<void> check_written(int fd, const std::string& path, const EvidenceManifest& manifest,
                           Progress* progress) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return fail("stat " + path + ": " + format_io_error(errno));
  auto found = find_evidence_box(fd, static_cast<std::uint64_t>(st.st_size));
  if (!found) return fail(found.error());
  if (!*found) return fail("written output " + path + " has no evidence box");
  const EvidenceBoxLocation& box = **found;
  if (box.box_offset != manifest.source_size) {
    return fail("written output evidence offset " + std::to_string(box.box_offset) +
                " does not match manifest source_size " + std::to_string(manifest.source_size));
  }
  if (box.box_end != box.file_size) {
    return fail("written output has " + std::to_string(box.file_size - box.box_end) +
                " trailing bytes after evidence box");
  }
  if (auto r = rewind(fd, path); !r) return r;
  auto digest = sha256_stream(fd, box.box_offset, path, progress);
  if (!digest) return fail(digest.error());
  if (digest->size != box.box_offset) {
    return fail("written output source size " + std::to_string(digest->size) +
                " does not match manifest source_size " + std::to_string(manifest.source_size));
  }
  if (digest->sha256_hex != hex_encode(manifest.source_sha256)) {
    return fail("written output SHA-256 does not match manifest source_sha256");
  }
  return {};
}

// Fills the temporary file and checks it; the caller renames it into place.
Result<void> fill_temp_file(TempFile& temp, const OpenFile& source,
                            std::span<const std::uint8_t> box_bytes,
                            const EvidenceManifest& manifest) {
  constexpr auto kWholeFile = std::numeric_limits<std::uint64_t>::max();
  // Starting the writeback of each chunk as it is written lets the disk work
  // while the next chunk is hashed, so the final fsync has little left to wait for.
  Progress copying("copying");
  auto copied =
      sha256_stream(source.fd.get(), kWholeFile, kSourceBytes, &copying, temp.fd.get(), true);
  if (!copied) return fail(copied.error());
  if (auto r = check_source(copied->size, copied->sha256_hex, manifest); !r) return r;
  if (auto w = write_all(temp.fd.get(), box_bytes); !w) {
    return fail("write evidence box: " + w.error());
  }
  if (auto r = fsync_fd(temp.fd.get(), temp.path); !r) return r;
  // Read back after the fsync, which may have pushed it out of the page cache.
  Progress checking("checking");
  auto checked = check_written(temp.fd.get(), temp.path, manifest, &checking);
  (void)temp.fd.close();  // the data is on the device; a late close error changes nothing
  return checked;
}

}  // namespace

Result<void> write_evidence_file(const OpenFile& source, const std::string& target_path,
                                 std::span<const std::uint8_t> box_bytes,
                                 const EvidenceManifest& manifest) {
  const TargetParts parts = split_target(target_path);
  if (!parts.parent.empty()) {
    if (auto r = create_directories(parts.parent); !r) {
      return fail("create " + parts.parent + ": " + r.error());
    }
  }
  // Signals wait until the new file's guard is armed, or one in between
  // would leave it behind.
  std::optional<InterruptsHeld> held(std::in_place);
  auto temp = create_temp_file(parts, target_path);
  if (!temp) return fail(temp.error());
  TempFileGuard guard(temp->path);
  held.reset();
  if (auto r = fill_temp_file(*temp, source, box_bytes, manifest); !r) return r;
  if (::rename(guard.path().c_str(), target_path.c_str()) != 0) {
    return fail("rename " + guard.path() + " to " + target_path + ": " + format_io_error(errno));
  }
  guard.release();
  // After the rename the target is complete; this only makes the new name durable.
  return fsync_directory(parts.parent.empty() ? "." : parts.parent);
}

Result<std::string> check_stream_source(const OpenFile& source, const EvidenceManifest& manifest) {
  // The source is read twice, to check it and then to copy it, so it must
  // hold still: a pipe or a device would yield other bytes the second time.
  if (!source.is_regular) {
    return fail("cannot stream " + source.path +
                " to standard output: not a regular file (it is read twice); use --output PATH");
  }
  if (auto r = rewind(source.fd.get(), source.path); !r) return fail(r.error());
  Progress hashing("hashing");
  auto digest = sha256_stream(source.fd.get(), std::numeric_limits<std::uint64_t>::max(),
                              source.path, &hashing);
  if (!digest) return fail(digest.error());
  if (auto r = check_source(digest->size, digest->sha256_hex, manifest); !r) return fail(r.error());
  return std::move(digest->sha256_hex);
}

Result<void> copy_checked_source(const OpenFile& source, std::span<const std::uint8_t> box_bytes,
                                 const EvidenceManifest& manifest,
                                 const std::string& checked_sha256_hex, int out) {
  if (auto r = rewind(source.fd.get(), source.path); !r) return r;
  // Exactly the checked bytes: a recording still being appended to streams
  // its signed prefix, and one cut short fails instead of passing.
  Progress copying("copying");
  auto copied = sha256_stream(source.fd.get(), manifest.source_size, kSourceBytes, &copying, out);
  if (!copied) return fail(copied.error());
  if (copied->size != manifest.source_size) {
    return fail("read source bytes: " + std::string(kUnexpectedEof));
  }
  if (copied->sha256_hex != checked_sha256_hex) {
    return fail("input changed while it was copied: the stream on standard output is not evidence");
  }
  if (auto w = write_all(out, box_bytes); !w) return fail("write evidence box: " + w.error());
  return {};
}

Result<void> stream_evidence_to_stdout(const OpenFile& source,
                                       std::span<const std::uint8_t> box_bytes,
                                       const EvidenceManifest& manifest) {
  auto digest = check_stream_source(source, manifest);
  if (!digest) return fail(digest.error());
  return copy_checked_source(source, box_bytes, manifest, *digest, STDOUT_FILENO);
}

Result<void> check_written_output(const std::string& path, const EvidenceManifest& manifest) {
  auto file = open_file(path);
  if (!file) return fail(file.error());
  return check_written(file->fd.get(), path, manifest, nullptr);
}
