#pragma once
// Reading inputs, writing text outputs and hashing whole files.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "commands/options.h"
#include "fileio/fd.h"
#include "result.h"

struct FileDigest {
  std::string sha256_hex;  // 64 lowercase hex digits
  std::uint64_t size = 0;  // bytes hashed
};

/// All bytes of a file or of standard input; `what` names stdin in messages.
Result<std::vector<std::uint8_t>> read_input(const InputSource& source, std::string_view what);
/// Writes text and one newline; a file target also gets the "==> wrote" line.
CommandOutcome write_text_output(const OutputTarget& target, std::string_view text);
/// SHA-256 of a whole file, streamed through one 16 MiB buffer.
Result<FileDigest> sha256_file(const std::string& path);
/// SHA-256 of at most the first `limit` bytes; size tells how many were read.
Result<FileDigest> sha256_file_prefix(const std::string& path, std::uint64_t limit);
/// mkdir -p with mode 0777 before the umask; existing directories are fine.
/// Fails with the system's error text alone, so callers name the directory.
Result<void> create_directories(const std::string& path);
