// Lazy page checks: one bit per page remembers which pages were found
// intact, so a page is hashed once however often probes come back to it.

#include "index/page_checker.h"

#include <algorithm>
#include <cstring>

#include "index/checksum.h"

PageChecker::PageChecker(std::span<const std::uint8_t> file, std::uint64_t begin, std::uint64_t end,
                         std::span<const std::uint8_t> sums)
    : file_(file),
      begin_(begin),
      end_(end),
      sums_(sums),
      checked_(((end - begin + kPageSize - 1) / kPageSize + 63) / 64, 0) {}

bool PageChecker::check_slowly(std::uint64_t offset, std::uint64_t n) const {
  if (offset < begin_ || offset > end_ || n > end_ - offset) return false;
  if (n == 0) return true;
  const std::uint64_t first = (offset - begin_) / kPageSize;
  const std::uint64_t last = (offset + n - 1 - begin_) / kPageSize;
  for (std::uint64_t page = first; page <= last; ++page) {
    if ((checked_[page / 64] >> (page % 64) & 1) == 0 && !check_page(page)) return false;
  }
  return true;
}

std::span<const std::uint8_t> PageChecker::pages_around(const std::uint8_t* p,
                                                       std::size_t n) const {
  if (n == 0 || !check(p, n)) return {};
  const auto offset = static_cast<std::uint64_t>(p - file_.data());
  const std::uint64_t from = begin_ + (offset - begin_) / kPageSize * kPageSize;
  const std::uint64_t to =
      std::min(end_, begin_ + ((offset + n - 1 - begin_) / kPageSize + 1) * kPageSize);
  return file_.subspan(from, to - from);
}

bool PageWindow::widen(const std::uint8_t* p, std::size_t n) {
  const auto pages = pages_->pages_around(p, n);
  if (pages.empty()) return false;
  lo_ = reinterpret_cast<std::uintptr_t>(pages.data());
  hi_ = lo_ + pages.size();
  return true;
}

bool PageChecker::check_page(std::uint64_t page) const {
  if ((page + 1) * 8 > sums_.size()) return false;
  const std::uint64_t at = begin_ + page * kPageSize;
  const std::uint64_t length = std::min(kPageSize, end_ - at);
  std::uint64_t expected;
  std::memcpy(&expected, sums_.data() + page * 8, 8);
  if (checksum64(file_.subspan(at, length)) != expected) return false;
  checked_[page / 64] |= std::uint64_t{1} << (page % 64);
  return true;
}

std::vector<std::uint8_t> page_sums(std::span<const std::uint8_t> body) {
  std::vector<std::uint8_t> sums;
  for (std::uint64_t at = 0; at < body.size(); at += kPageSize) {
    const std::uint64_t sum =
        checksum64(body.subspan(at, std::min<std::uint64_t>(kPageSize, body.size() - at)));
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&sum);
    sums.insert(sums.end(), bytes, bytes + 8);
  }
  return sums;
}
