// Writes the evidence file next to its target and renames it into place only
// after the written bytes were read back and checked, so a reader never sees
// a half-written recording. The source is copied and hashed in one pass
// through one buffer, so memory use does not grow with the recording.

#include "mp4/evidence_writer.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <memory>
#include <string_view>

#include "encoding/hex.h"
#include "encoding/text.h"
#include "fileio/fd.h"
#include "fileio/fileio.h"
#include "mp4/box_scanner.h"

namespace {

constexpr std::size_t kCopyBufferBytes = 16 * 1024 * 1024;
// Each chunk is hashed and written in slices that stay in the CPU cache
// between the two; one 16 MiB write costs far more kernel time than 64 small ones.
constexpr std::size_t kSliceBytes = 256 * 1024;
constexpr int kTempAttempts = 1000;
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

std::string uint128_text(unsigned __int128 value) {
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(value % 10)));
    value /= 10;
  } while (value != 0);
  return digits;
}

Result<std::string> clock_stamp() {
  timespec now{};
  if (::clock_gettime(CLOCK_REALTIME, &now) != 0 || now.tv_sec < 0) {
    return fail("system clock before Unix epoch: second time provided was later than self");
  }
  const auto nanos = static_cast<unsigned __int128>(now.tv_sec) * 1'000'000'000u +
                     static_cast<unsigned __int128>(now.tv_nsec);
  return uint128_text(nanos);
}

// Removes the temporary file on every way out except the successful rename.
class TempFileGuard {
 public:
  explicit TempFileGuard(std::string path) : path_(std::move(path)) {}
  TempFileGuard(const TempFileGuard&) = delete;
  TempFileGuard& operator=(const TempFileGuard&) = delete;
  ~TempFileGuard() {
    if (!path_.empty()) ::unlink(path_.c_str());  // a failed removal must not hide the first error
  }
  const std::string& path() const { return path_; }
  void release() { path_.clear(); }

 private:
  std::string path_;
};

struct TempFile {
  Fd fd;
  std::string path;
};

Result<TempFile> create_temp_file(const TargetParts& parts, const std::string& target_path) {
  auto stamp = clock_stamp();
  if (!stamp) return fail(stamp.error());
  const std::string prefix = (parts.parent.empty()  ? ""
                              : parts.parent == "/" ? "/"
                                                    : parts.parent + "/") +
                             "." + parts.name + ".tmp-" + std::to_string(::getpid()) + "-" +
                             *stamp + "-";
  for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
    std::string path = prefix + std::to_string(attempt);
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (fd.valid()) return TempFile{std::move(fd), std::move(path)};
    if (errno != EEXIST) return fail("create " + path + ": " + format_io_error(errno));
  }
  return fail("could not create temporary output next to " + target_path);
}

using DigestContext = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

struct CopyResult {
  std::string sha256_hex;
  std::uint64_t size = 0;
};

enum class CopyTarget {
  TempFile,  // hash every chunk and start its writeback at once
  Stdout,    // move bytes only: the source was checked beforehand
};

// One pass: every chunk is hashed and written from the same buffer. Starting
// the writeback of each chunk as it is written lets the disk work while the
// next chunk is hashed, so the final fsync has little left to wait for.
Result<CopyResult> copy_source(int in, int out, CopyTarget target) {
  const bool to_temp = target == CopyTarget::TempFile;
  DigestContext ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
    return fail("read source bytes: SHA-256 is unavailable");
  }
  auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kCopyBufferBytes);
  CopyResult result;
  for (;;) {
    auto n = read_some(in, std::span(buffer.get(), kCopyBufferBytes));
    if (!n) return fail("read source bytes: " + n.error());
    if (*n == 0) break;
    const std::span chunk(buffer.get(), *n);
    for (std::size_t at = 0; at < chunk.size(); at += kSliceBytes) {
      const auto slice = chunk.subspan(at, std::min(kSliceBytes, chunk.size() - at));
      if (to_temp) EVP_DigestUpdate(ctx.get(), slice.data(), slice.size());
      if (auto w = write_all(out, slice); !w) return fail("write source bytes: " + w.error());
    }
    // Only a hint: fsync reports any failure of the writeback it starts.
    if (to_temp) {
      (void)::sync_file_range(out, static_cast<off_t>(result.size), static_cast<off_t>(*n),
                              SYNC_FILE_RANGE_WRITE);
    }
    result.size += *n;
  }
  if (to_temp) {
    std::uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned int digest_size = 0;
    EVP_DigestFinal_ex(ctx.get(), digest, &digest_size);
    result.sha256_hex = hex_encode(std::span(digest, digest_size));
  }
  return result;
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

Result<void> fsync_directory(const std::string& dir) {
  Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return fail("open " + dir + ": " + format_io_error(errno));
  while (::fsync(fd.get()) != 0) {
    if (errno != EINTR) return fail("fsync " + dir + ": " + format_io_error(errno));
  }
  return {};
}

// Fills the temporary file and checks it; the caller renames it into place.
Result<void> fill_temp_file(TempFile& temp, const std::string& input_path,
                            std::span<const std::uint8_t> box_bytes,
                            const EvidenceManifest& manifest) {
  Fd in(::open(input_path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in.valid()) return fail("open " + input_path + ": " + format_io_error(errno));
  auto copied = copy_source(in.get(), temp.fd.get(), CopyTarget::TempFile);
  if (!copied) return fail(copied.error());
  if (auto r = check_source(copied->size, copied->sha256_hex, manifest); !r) return r;
  if (auto w = write_all(temp.fd.get(), box_bytes); !w) {
    return fail("write evidence box: " + w.error());
  }
  if (::fsync(temp.fd.get()) != 0) {
    return fail("fsync " + temp.path + ": " + format_io_error(errno));
  }
  (void)temp.fd.close();  // the data is on the device; a late close error changes nothing
  return check_written_output(temp.path, manifest);
}

}  // namespace

Result<void> write_evidence_file(const std::string& input_path, const std::string& target_path,
                                 std::span<const std::uint8_t> box_bytes,
                                 const EvidenceManifest& manifest) {
  const TargetParts parts = split_target(target_path);
  if (!parts.parent.empty()) {
    if (auto r = create_directories(parts.parent); !r) {
      return fail("create " + parts.parent + ": " + r.error());
    }
  }
  auto temp = create_temp_file(parts, target_path);
  if (!temp) return fail(temp.error());
  TempFileGuard guard(temp->path);
  if (auto r = fill_temp_file(*temp, input_path, box_bytes, manifest); !r) return r;
  if (::rename(guard.path().c_str(), target_path.c_str()) != 0) {
    return fail("rename " + guard.path() + " to " + target_path + ": " + format_io_error(errno));
  }
  guard.release();
  // After the rename the target is complete; this only makes the new name durable.
  return fsync_directory(parts.parent.empty() ? "." : parts.parent);
}

Result<void> stream_evidence_to_stdout(const std::string& input_path,
                                       std::span<const std::uint8_t> box_bytes,
                                       const EvidenceManifest& manifest) {
  auto digest = sha256_file(input_path);
  if (!digest) return fail(digest.error());
  if (auto r = check_source(digest->size, digest->sha256_hex, manifest); !r) return r;
  Fd in(::open(input_path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in.valid()) return fail("open " + input_path + ": " + format_io_error(errno));
  if (auto copied = copy_source(in.get(), STDOUT_FILENO, CopyTarget::Stdout); !copied) {
    return fail(copied.error());
  }
  if (auto w = write_all(STDOUT_FILENO, box_bytes); !w) {
    return fail("write evidence box: " + w.error());
  }
  return {};
}

Result<void> check_written_output(const std::string& path, const EvidenceManifest& manifest) {
  auto found = find_evidence_box(path);
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
  auto digest = sha256_file_prefix(path, box.box_offset);
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
