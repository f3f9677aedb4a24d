// File descriptors and the small read/write loops every stream user needs:
// interrupted calls are repeated, short transfers continue.

#include "fileio/fd.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <limits>

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

Fd::~Fd() {
  if (fd_ >= 0) ::close(fd_);
}

int Fd::release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

Result<void> Fd::close() {
  int fd = release();
  if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) return fail(format_io_error(errno));
  return {};
}

Result<void> write_all(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(format_io_error(errno));
    }
    if (n == 0) return fail(std::string(kWriteZero));
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return {};
}

Result<void> write_all(int fd, std::string_view text) {
  return write_all(fd, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

Result<std::size_t> read_some(int fd, std::span<std::uint8_t> buffer) {
  for (;;) {
    ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return fail(format_io_error(errno));
  }
}

Result<std::size_t> read_full(int fd, std::span<std::uint8_t> buffer) {
  std::size_t filled = 0;
  while (filled < buffer.size()) {
    auto n = read_some(fd, buffer.subspan(filled));
    if (!n) return fail(n.error());
    if (*n == 0) break;
    filled += *n;
  }
  return filled;
}

Result<void> read_exact(int fd, std::span<std::uint8_t> buffer) {
  auto filled = read_full(fd, buffer);
  if (!filled) return fail(filled.error());
  if (*filled < buffer.size()) return fail(std::string(kUnexpectedEof));
  return {};
}

std::string more_than_bytes(std::size_t limit) {
  return "more than " + std::to_string(limit) + " bytes";
}

Result<void> read_to_end(int fd, std::vector<std::uint8_t>& out, std::size_t limit) {
  constexpr std::size_t kChunk = 64 * 1024;
  for (;;) {
    std::size_t old = out.size();
    // Room reserved by the caller is filled first, so an input of known size
    // is read without growing the buffer again just to see its end. One byte
    // past the limit is enough to know the input is too large.
    std::size_t spare = out.capacity() - old;
    std::size_t room = spare > 0 ? spare : kChunk;
    if (limit - std::min(limit, old) < room) room = limit - std::min(limit, old) + 1;
    try {
      out.resize(old + room);
    } catch (const std::exception&) {  // bad_alloc or length_error: no room left
      return fail(format_io_error(ENOMEM));
    }
    auto n = read_some(fd, std::span(out).subspan(old));
    if (!n) {
      out.resize(old);
      return fail(n.error());
    }
    out.resize(old + *n);
    if (out.size() > limit) return fail(more_than_bytes(limit));
    if (*n == 0) return {};
  }
}

Result<std::size_t> read_up_to_at(int fd, std::uint64_t offset, std::span<std::uint8_t> buffer,
                                  std::string_view label) {
  constexpr auto kMaxOffset = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
  auto where = [&] { return std::string(label) + " at " + std::to_string(offset) + ": "; };
  if (offset > kMaxOffset || buffer.size() > kMaxOffset - offset) {
    return fail("seek " + where() + format_io_error(EINVAL));
  }
  std::size_t filled = 0;
  while (filled < buffer.size()) {
    ssize_t n = ::pread(fd, buffer.data() + filled, buffer.size() - filled,
                        static_cast<off_t>(offset + filled));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail("read " + where() + format_io_error(errno));
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  return filled;
}

Result<void> read_exact_at(int fd, std::uint64_t offset, std::span<std::uint8_t> buffer,
                           std::string_view label) {
  auto n = read_up_to_at(fd, offset, buffer, label);
  if (!n) return fail(n.error());
  if (*n < buffer.size()) {
    return fail("read " + std::string(label) + " at " + std::to_string(offset) + ": " +
                std::string(kUnexpectedEof));
  }
  return {};
}
