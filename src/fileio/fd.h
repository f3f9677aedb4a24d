#pragma once
// A file descriptor that closes itself, and the read/write loops that retry
// interrupted calls. Errors come back as format_io_error texts.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "result.h"

/// "No such file or directory (os error 2)" for ENOENT.
std::string format_io_error(int error_number);

/// The texts of our own I/O loops, shown where an errno text would stand.
inline constexpr std::string_view kWriteZero = "failed to write whole buffer";
inline constexpr std::string_view kUnexpectedEof = "failed to fill whole buffer";

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd();

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release();
  /// Closes now; returns the close error text, if any.
  Result<void> close();

 private:
  int fd_ = -1;
};

/// Writes every byte; "failed to write whole buffer" when a write takes none.
Result<void> write_all(int fd, std::span<const std::uint8_t> bytes);
Result<void> write_all(int fd, std::string_view text);
/// One read, repeated while interrupted; 0 means end of input.
Result<std::size_t> read_some(int fd, std::span<std::uint8_t> buffer);
/// Fills the buffer; "failed to fill whole buffer" at an early end.
Result<void> read_exact(int fd, std::span<std::uint8_t> buffer);
/// Reads to the end of input.
Result<void> read_to_end(int fd, std::vector<std::uint8_t>& out);
/// Fills `buffer` from `offset`, retrying interrupted and short reads; fails
/// with "read {label} at {offset}: ..." ("seek ..." for an unreachable offset).
Result<void> read_exact_at(int fd, std::uint64_t offset, std::span<std::uint8_t> buffer,
                           std::string_view label);
