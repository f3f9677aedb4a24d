// Says how an audit stands, in the words its summary uses; the progress
// line and the summary count the same way, so they never disagree.

#include "verification/audit_tally.h"

#include "encoding/decimal.h"
#include "fileio/progress.h"

AuditTally::AuditTally(std::size_t total) : total_(total), started_ns_(monotonic_ns()) {}

void AuditTally::add_recorded(AuditStatus status) {
  switch (status) {
    case AuditStatus::Ok:
      ++ok_;
      break;
    case AuditStatus::Fail:
      ++failed_;
      break;
    case AuditStatus::Error:
      ++errors_;
      break;
  }
}

void AuditTally::add_judged(AuditStatus status, std::uint64_t bytes) {
  add_recorded(status);
  bytes_ += bytes;
}

std::string AuditTally::progress_text() const {
  const std::uint64_t elapsed_ns = monotonic_ns() - started_ns_;
  const double mib_per_s = elapsed_ns == 0 ? 0.0
                                           : static_cast<double>(bytes_) / (1024.0 * 1024.0) /
                                                 (static_cast<double>(elapsed_ns) / 1e9);
  return "  " + std::to_string(ok_ + failed_ + errors_) + " of " + std::to_string(total_) +
         " files, " + std::to_string(static_cast<std::uint64_t>(mib_per_s)) + " MiB/s, " +
         std::to_string(failed_) + " failed, " + counted(errors_, "error", "errors");
}

std::string AuditTally::summary_line(std::string_view place) const {
  return "==> " + counted(total_, "file", "files") + ": " + std::to_string(ok_) + " ok, " +
         std::to_string(failed_) + " failed, " + counted(errors_, "error", "errors") +
         "; JSON Lines " + std::string(place) + "\n";
}

std::string AuditTally::failure_message() const {
  return std::to_string(total_ - ok_) + " of " + counted(total_, "file", "files") + " did not pass";
}
