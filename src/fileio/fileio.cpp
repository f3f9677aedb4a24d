// How commands read their inputs, write their text outputs and hash whole
// files. Paths and the dash for a standard stream go through the same calls,
// and every file or stream failure gets its message here, once.

#include "fileio/fileio.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>

#include "encoding/hex.h"
#include "fileio/fd.h"

namespace {

// Large enough that a multi-gigabyte file takes few system calls.
constexpr std::size_t kHashBufferSize = 16 * 1024 * 1024;

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

// SHA-256 of up to `limit` bytes of a file through one zero-filled buffer.
Result<FileDigest> hash_file(const std::string& path, std::uint64_t limit) {
  auto fd = open_for_reading(path);
  if (!fd) return fail(fd.error());
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
    return fail("read " + path + ": " + format_io_error(ENOMEM));
  }
  auto buffer = std::make_unique<std::uint8_t[]>(kHashBufferSize);  // value-initialised: zeros
  std::uint64_t hashed = 0;
  while (hashed < limit) {
    std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(kHashBufferSize, limit - hashed));
    auto n = read_some(fd->get(), std::span(buffer.get(), want));
    if (!n) return fail("read " + path + ": " + n.error());
    if (*n == 0) break;
    EVP_DigestUpdate(ctx.get(), buffer.get(), *n);
    hashed += *n;
  }
  std::uint8_t digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(ctx.get(), digest, &length);
  return FileDigest{hex_encode(std::span(digest, length)), hashed};
}

CommandOutcome write_file(const std::string& path, std::string_view text) {
  if (std::string parent = parent_directory(path); !parent.empty()) {
    if (auto made = create_directories(parent); !made) {
      return fail("create " + parent + ": " + made.error());
    }
  }
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!fd.valid()) return fail("create " + path + ": " + format_io_error(errno));
  auto written = write_all(fd.get(), text);
  if (written) written = write_all(fd.get(), "\n");
  // A failed close can mean the data never reached the file; report it as
  // part of the write rather than claim the file was written.
  if (written) written = fd.close();
  if (!written) return fail("write " + path + ": " + written.error());
  (void)write_all(STDERR_FILENO, "==> wrote " + path + "\n");
  return {};
}

}  // namespace

Result<std::vector<std::uint8_t>> read_input(const InputSource& source, std::string_view what) {
  std::vector<std::uint8_t> bytes;
  if (source.is_stdin()) {
    if (auto read = read_to_end(STDIN_FILENO, bytes); !read) {
      return fail("read " + std::string(what) + " from stdin: " + read.error());
    }
    return bytes;
  }
  auto fd = open_for_reading(source.path);
  if (!fd) return fail(fd.error());
  struct stat st;
  if (::fstat(fd->get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    // One byte more than the size, so the read that finds the end needs no
    // new room. A file larger than memory ends here instead of aborting.
    try {
      bytes.reserve(static_cast<std::size_t>(st.st_size) + 1);
    } catch (const std::exception&) {
      return fail("read " + source.path + ": " + format_io_error(ENOMEM));
    }
  }
  if (auto read = read_to_end(fd->get(), bytes); !read) {
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

Result<FileDigest> sha256_file(const std::string& path) {
  return hash_file(path, std::numeric_limits<std::uint64_t>::max());
}

Result<FileDigest> sha256_file_prefix(const std::string& path, std::uint64_t limit) {
  return hash_file(path, limit);
}
