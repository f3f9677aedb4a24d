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
  bool check(const std::uint8_t* p, std::size_t n) const {
    return p >= file_.data() && p <= file_.data() + file_.size() &&
           check_at(static_cast<std::uint64_t>(p - file_.data()), n);
  }
  /// The same for [offset, offset + n) of the file.
  bool check_at(std::uint64_t offset, std::uint64_t n) const {
    // Most reads are a few bytes inside one page checked before.
    if (offset >= begin_ && n > 0 && n <= end_ - offset && offset <= end_) {
      const std::uint64_t page = (offset - begin_) / kPageSize;
      if (page == (offset - begin_ + n - 1) / kPageSize &&
          (checked_[page / 64] >> (page % 64) & 1)) {
        return true;
      }
    }
    return check_slowly(offset, n);
  }
  /// The checked pages' bytes around [p, p + n) after checking them: from the
  /// start of its first page to the end of its last; empty as check fails.
  std::span<const std::uint8_t> pages_around(const std::uint8_t* p, std::size_t n) const;

 private:
  bool check_slowly(std::uint64_t offset, std::uint64_t n) const;
  bool check_page(std::uint64_t page) const;

  std::span<const std::uint8_t> file_;
  std::uint64_t begin_ = 0;
  std::uint64_t end_ = 0;
  std::span<const std::uint8_t> sums_;
  mutable std::vector<std::uint64_t> checked_;  // one bit per page
};

/// Remembers the pages around the last read found intact, so that a reader
/// moving forward through a file checks each page once and makes one
/// comparison for every other read.
class PageWindow {
 public:
  explicit PageWindow(const PageChecker* pages) : pages_(pages) {}
  /// True when [p, p + n) lies in checked pages that match their checksums.
  bool covers(const std::uint8_t* p, std::size_t n) {
    const auto at = reinterpret_cast<std::uintptr_t>(p);
    return (at >= lo_ && n <= hi_ - at && at <= hi_) || widen(p, n);
  }

 private:
  bool widen(const std::uint8_t* p, std::size_t n);

  const PageChecker* pages_;
  std::uintptr_t lo_ = 1, hi_ = 0;
};

/// The checksums of the pages of `body` as PageChecker reads them.
std::vector<std::uint8_t> page_sums(std::span<const std::uint8_t> body);
