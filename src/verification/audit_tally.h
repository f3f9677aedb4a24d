#pragma once
// The counts of an audit over its whole set of files, those an earlier run
// recorded included: for the progress line, the summary and the outcome.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "verification/audit_line.h"

class AuditTally {
 public:
  /// A tally of `total` files; the rate counts from now.
  explicit AuditTally(std::size_t total);

  /// Counts a file an earlier run recorded.
  void add_recorded(AuditStatus status);
  /// Counts a file judged now, and the bytes read for it.
  void add_judged(AuditStatus status, std::uint64_t bytes);

  bool any_ok() const { return ok_ > 0; }
  bool all_ok() const { return ok_ == total_; }
  /// "  120 of 200 files, 35 MiB/s, 3 failed, 1 error".
  std::string progress_text() const;
  /// "==> 200 files: 196 ok, 3 failed, 1 error; JSON Lines in PATH" and a
  /// newline; `place` says where the lines went.
  std::string summary_line(std::string_view place) const;
  /// "4 of 200 files did not pass".
  std::string failure_message() const;

 private:
  std::size_t total_;
  std::size_t ok_ = 0, failed_ = 0, errors_ = 0;
  std::uint64_t bytes_ = 0;
  std::uint64_t started_ns_;
};
