#pragma once
// Lazy checking of a file's pages against the checksums it carries: a page
// is checked the first time any read touches it, so a search reads and
// checks only what its probes reach, never the whole file.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

/// Pages of this size carry one checksum each.
inline constexpr std::uint64_t kPageSize = 4096;

class PageChecker {
 public:
  PageChecker() = default;
  /// Pages of `file` from `begin` (a multiple of kPageSize) to `end`, with
  /// their checksums, 8 bytes each, little-endian, in `sums`.
  PageChecker(std::span<const std::uint8_t> file, std::uint64_t begin, std::uint64_t end,
              std::span<const std::uint8_t> sums);
  /// True when [p, p + n) lies inside the checked pages and each page it
  /// touches matches its checksum.
  bool check(const std::uint8_t* p, std::size_t n) const;
  /// The same for [offset, offset + n) of the file.
  bool check_at(std::uint64_t offset, std::uint64_t n) const;

 private:
  bool check_page(std::uint64_t page) const;

  std::span<const std::uint8_t> file_;
  std::uint64_t begin_ = 0;
  std::uint64_t end_ = 0;
  std::span<const std::uint8_t> sums_;
  mutable std::vector<std::uint64_t> checked_;  // one bit per page
};

/// The checksums of the pages of `body` as PageChecker reads them.
std::vector<std::uint8_t> page_sums(std::span<const std::uint8_t> body);
