#pragma once
// Reading inputs, writing text outputs and hashing whole files.

#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fileio/fd.h"
#include "fileio/progress.h"
#include "fileio/streams.h"
#include "result.h"

struct FileDigest {
  std::string sha256_hex;  // 64 lowercase hex digits
  std::uint64_t size = 0;  // bytes hashed
};

/// All bytes of a file or of standard input; `what` names stdin in messages.
/// An input of more than `limit` bytes fails with "read ...: more than N bytes".
Result<std::vector<std::uint8_t>> read_input(const InputSource& source, std::string_view what,
                                             std::size_t limit = static_cast<std::size_t>(-1));
/// Writes text and one newline; a file target also gets the "==> wrote" line.
CommandOutcome write_text_output(const OutputTarget& target, std::string_view text);
/// Lines joined by newlines, written with one more at the end; no lines
/// write nothing to standard output and an empty file at a path, so no
/// earlier contents remain.
CommandOutcome write_lines_output(const OutputTarget& target, std::string_view lines);
/// A file opened for reading, with its size and type when it was opened.
struct OpenFile {
  Fd fd;
  std::string path;  // as given, for messages
  std::uint64_t size = 0;
  bool is_regular = false;
};

/// Fails with "open {path}: ..." or "stat {path}: ...".
Result<OpenFile> open_file(const std::string& path);
/// A regular file, opened without waiting for a writer should the path name
/// a FIFO; fails as open_file does, or with "{path} is not a regular file".
Result<OpenFile> open_regular_file(const std::string& path);
/// A file opened for reading and appending, created (missing directories
/// too) when it does not exist; fails with "create {path}: ...".
Result<Fd> open_for_appending(const std::string& path);
/// Size of a read buffer for `fd`: what is left to read, at most 16 MiB.
std::size_t read_buffer_size(int fd, std::uint64_t limit);
/// Bytes a pass from the descriptor's position would read from a regular
/// file, at most `limit`; 0 for anything else (the amount is unknown).
std::uint64_t bytes_left(int fd, std::uint64_t limit);
/// SHA-256 of at most `limit` bytes from the descriptor's position, through
/// one buffer sized to the file; "read {path}: ..." on failure. The pass is
/// shown on `progress` when one is given. With `copy_to`, the bytes are also
/// written there as they are hashed ("write {path}: ..." on failure), and
/// with `start_writeback` the disk starts on each chunk as it is written.
Result<FileDigest> sha256_stream(int fd, std::uint64_t limit, std::string_view path,
                                 Progress* progress = nullptr, int copy_to = -1,
                                 bool start_writeback = false);
/// SHA-256 of a whole file, or of at most its first `limit` bytes (size tells
/// how many were read), streamed through one buffer of at most 16 MiB.
Result<FileDigest> sha256_file(const std::string& path,
                               std::uint64_t limit = std::numeric_limits<std::uint64_t>::max(),
                               Progress* progress = nullptr);
/// mkdir -p with mode 0777 before the umask; existing directories are fine.
/// Fails with the system's error text alone, so callers name the directory.
Result<void> create_directories(const std::string& path);
