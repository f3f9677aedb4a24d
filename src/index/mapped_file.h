#pragma once
// A whole file mapped read-only: segments are searched in place, so a search
// reads from disk only the pages its probes touch.

#include <cstdint>
#include <span>
#include <string>

#include "result.h"

class MappedFile {
 public:
  /// The file at `path` mapped; fails with "open PATH: ..." (the system's
  /// error number is left in `error_number`) or "map PATH: ...".
  static Result<MappedFile> open(const std::string& path, int* error_number = nullptr);
  MappedFile(MappedFile&& other) noexcept;
  MappedFile& operator=(MappedFile&& other) noexcept;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile();

  std::span<const std::uint8_t> bytes() const { return {data_, size_}; }

 private:
  MappedFile(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};
