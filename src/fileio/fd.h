#pragma once
// A file descriptor that closes itself, and the read/write loops that retry
// interrupted calls. Errors come back as format_io_error texts.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "io_error.h"
#include "result.h"

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
/// Fills the buffer, retrying short reads; how many bytes arrived before the
/// input ended (all of them unless it ended early).
Result<std::size_t> read_full(int fd, std::span<std::uint8_t> buffer);
/// Fills the buffer; "failed to fill whole buffer" at an early end.
Result<void> read_exact(int fd, std::span<std::uint8_t> buffer);
/// Reads to the end of input; fails with "more than {limit} bytes" as soon as
/// the input holds more than `limit` bytes.
Result<void> read_to_end(int fd, std::vector<std::uint8_t>& out,
                         std::size_t limit = static_cast<std::size_t>(-1));
/// The text of read_to_end's size refusal.
std::string more_than_bytes(std::size_t limit);
/// Reads from `offset` until `buffer` is full or the file ends, retrying
/// interrupted and short reads; the count read, or "read {label} at
/// {offset}: ..." ("seek ..." for an offset the system can't reach).
Result<std::size_t> read_up_to_at(int fd, std::uint64_t offset, std::span<std::uint8_t> buffer,
                                  std::string_view label);
/// Fills `buffer` from `offset` as read_up_to_at does; an early end of file
/// fails with "read {label} at {offset}: failed to fill whole buffer".
Result<void> read_exact_at(int fd, std::uint64_t offset, std::span<std::uint8_t> buffer,
                           std::string_view label);
