// How commands read their inputs, write their text outputs and hash whole
// files. Paths and the dash for a standard stream go through the same calls,
// and every file or stream failure gets its message here, once.

#include "fileio/fileio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>

#include "encoding/hex.h"
#include "encoding/sha256.h"
#include "fileio/fd.h"

namespace {

// Large enough that a multi-gigabyte file takes few system calls.
constexpr std::size_t kHashBufferSize = 16 * 1024 * 1024;
// Pipes deliver at most their capacity per read; a regular file's buffer
// never needs more than the file, but keeps one page-cache friendly minimum.
constexpr std::size_t kStreamBufferSize = 1024 * 1024;
constexpr std::size_t kSmallBufferSize = 64 * 1024;
// A chunk is hashed, and in a copy written, in slices that stay in the CPU
// cache between the two; one 16 MiB write costs far more kernel time than 64
// small ones.
constexpr std::size_t kSliceBytes = 256 * 1024;

Result<Fd> open_for_reading(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail("open " + path + ": " + format_io_error(errno));
  return Fd(fd);
}

bool is_directory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The directory part of a path, ignoring trailing slashes: "a/b/c" gives
// "a/b", "/c" gives "/", "c" gives "".
std::string parent_directory(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos || path == "/") return {};
  std::string_view parent = path.substr(0, slash);
  while (parent.size() > 1 && parent.back() == '/') parent.remove_suffix(1);
  return parent.empty() ? "/" : std::string(parent);
}

}  // namespace

Result<void> create_directories(const std::string& path) {
  if (path.empty() || ::mkdir(path.c_str(), 0777) == 0) return {};
  // Saved before stat can overwrite it.
  const int error = errno;
  if (error != ENOENT) {
    if (is_directory(path)) return {};
    return fail(format_io_error(error));
  }
  std::string parent = parent_directory(path);
  if (parent.empty() || parent == path) return fail(format_io_error(ENOENT));
  if (auto made = create_directories(parent); !made) return made;
  // Another process may have made it in between; that is fine too.
  if (::mkdir(path.c_str(), 0777) == 0) return {};
  const int again = errno;
  if (is_directory(path)) return {};
  return fail(format_io_error(again));
}

namespace {

// Makes the directories a file at `path` goes in; fails with "create {dir}: ...".
Result<void> create_parent_directories(const std::string& path) {
  const std::string parent = parent_directory(path);
  if (parent.empty()) return {};
  if (auto made = create_directories(parent); !made) {
    return fail("create " + parent + ": " + made.error());
  }
  return {};
}

CommandOutcome write_file(const std::string& path, std::string_view text,
                          std::string_view ending = "\n") {
  if (auto made = create_parent_directories(path); !made) return made;
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!fd.valid()) return fail("create " + path + ": " + format_io_error(errno));
  auto written = write_all(fd.get(), text);
  if (written) written = write_all(fd.get(), ending);
  // A failed close can mean the data never reached the file; report it as
  // part of the write rather than claim the file was written.
  if (written) written = fd.close();
  if (!written) return fail("write " + path + ": " + written.error());
  status("==> wrote " + path);
  return {};
}

}  // namespace

Result<std::vector<std::uint8_t>> read_input(const InputSource& source, std::string_view what,
                                             std::size_t limit) {
  std::vector<std::uint8_t> bytes;
  if (source.is_stdin()) {
    if (auto read = read_to_end(STDIN_FILENO, bytes, limit); !read) {
      return fail("read " + std::string(what) + " from stdin: " + read.error());
    }
    return bytes;
  }
  auto fd = open_for_reading(source.path);
  if (!fd) return fail(fd.error());
  struct stat st;
  if (::fstat(fd->get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
      static_cast<std::uint64_t>(st.st_size) <= limit) {
    // One byte more than the size, so the read that finds the end needs no
    // new room. A file larger than memory ends here instead of aborting.
    try {
      bytes.reserve(static_cast<std::size_t>(st.st_size) + 1);
    } catch (const std::exception&) {
      return fail("read " + source.path + ": " + format_io_error(ENOMEM));
    }
  }
  if (auto read = read_to_end(fd->get(), bytes, limit); !read) {
    return fail("read " + source.path + ": " + read.error());
  }
  return bytes;
}

CommandOutcome write_text_output(const OutputTarget& target, std::string_view text) {
  switch (target.kind) {
    case OutputTarget::Kind::Discard:
      return {};
    case OutputTarget::Kind::Stdout: {
      // Straight to the descriptor: nothing is buffered, so a closed pipe is
      // reported here rather than lost at exit.
      auto written = write_all(STDOUT_FILENO, text);
      if (written) written = write_all(STDOUT_FILENO, "\n");
      if (!written) return fail("write stdout: " + written.error());
      return {};
    }
    case OutputTarget::Kind::Path:
      return write_file(target.path, text);
  }
  return {};
}

CommandOutcome write_lines_output(const OutputTarget& target, std::string_view lines) {
  if (!lines.empty()) return write_text_output(target, lines);
  // An empty file: a blank line is not a JSON line.
  if (target.kind == OutputTarget::Kind::Path) return write_file(target.path, {}, {});
  return {};
}

Result<OpenFile> open_file(const std::string& path) {
  auto fd = open_for_reading(path);
  if (!fd) return fail(fd.error());
  struct stat st {};
  if (::fstat(fd->get(), &st) != 0) return fail("stat " + path + ": " + format_io_error(errno));
  return OpenFile{std::move(*fd), path, static_cast<std::uint64_t>(st.st_size),
                  S_ISREG(st.st_mode)};
}

Result<OpenFile> open_regular_file(const std::string& path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) return fail("open " + path + ": " + format_io_error(errno));
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return fail("stat " + path + ": " + format_io_error(errno));
  if (!S_ISREG(st.st_mode)) return fail(path + " is not a regular file");
  // Reads of a regular file never wait anyway; the flag only kept the open
  // of a FIFO from waiting.
  (void)::fcntl(fd.get(), F_SETFL, O_RDONLY);
  return OpenFile{std::move(fd), path, static_cast<std::uint64_t>(st.st_size), true};
}

Result<Fd> open_for_appending(const std::string& path) {
  if (auto made = create_parent_directories(path); !made) return fail(made.error());
  Fd fd(::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
  if (!fd.valid()) return fail("create " + path + ": " + format_io_error(errno));
  return fd;
}

std::size_t read_buffer_size(int fd, std::uint64_t limit) {
  struct stat st {};
  std::uint64_t size = kStreamBufferSize;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    size = std::max<std::uint64_t>(static_cast<std::uint64_t>(st.st_size), kSmallBufferSize);
  }
  return static_cast<std::size_t>(std::min({size, limit, std::uint64_t{kHashBufferSize}}));
}

std::uint64_t bytes_left(int fd, std::uint64_t limit) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  const off_t position = ::lseek(fd, 0, SEEK_CUR);
  if (position < 0 || position > st.st_size) return 0;
  return std::min(static_cast<std::uint64_t>(st.st_size - position), limit);
}

Result<FileDigest> sha256_stream(int fd, std::uint64_t limit, std::string_view path,
                                 Progress* progress, int copy_to, bool start_writeback) {
  const std::string where = "read " + std::string(path) + ": ";
  ProgressPass pass(progress, bytes_left(fd, limit));
  auto sha = Sha256::start();
  if (!sha) return fail(where + sha.error());
  const std::size_t buffer_size = std::max<std::size_t>(read_buffer_size(fd, limit), 1);
  auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(buffer_size);
  std::uint64_t hashed = 0;
  while (hashed < limit) {
    std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer_size, limit - hashed));
    auto n = read_some(fd, std::span(buffer.get(), want));
    if (!n) return fail(where + n.error());
    if (*n == 0) break;
    const std::span chunk(buffer.get(), *n);
    for (std::size_t at = 0; at < chunk.size(); at += kSliceBytes) {
      const auto slice = chunk.subspan(at, std::min(kSliceBytes, chunk.size() - at));
      if (auto r = sha->update(slice); !r) return fail(where + r.error());
      if (copy_to < 0) continue;
      if (auto w = write_all(copy_to, slice); !w) {
        return fail("write " + std::string(path) + ": " + w.error());
      }
    }
    // Only a hint: fsync reports any failure of the writeback it starts.
    if (start_writeback) {
      (void)::sync_file_range(copy_to, static_cast<off_t>(hashed), static_cast<off_t>(*n),
                              SYNC_FILE_RANGE_WRITE);
    }
    hashed += *n;
    pass.advance(*n);
  }
  auto digest = sha->finish_hex();
  if (!digest) return fail(where + digest.error());
  return FileDigest{std::move(*digest), hashed};
}

Result<FileDigest> sha256_file(const std::string& path, std::uint64_t limit, Progress* progress) {
  auto fd = open_for_reading(path);
  if (!fd) return fail(fd.error());
  return sha256_stream(fd->get(), limit, path, progress);
}
