#pragma once
// Where an audit's lines go, and what an earlier run recorded there: the
// output file is the audit's only state, so a run killed at any moment can be
// picked up by the next.

#include <string>
#include <string_view>
#include <unordered_map>

#include "fileio/fd.h"
#include "fileio/streams.h"
#include "result.h"
#include "verification/audit_line.h"

class AuditJournal {
 public:
  /// Standard output, or a file opened for appending (created, with missing
  /// directories) whose new lines start on a line of their own. With
  /// `resume`, the file's lines are read first and a torn last line (one
  /// without its newline) is cut off; lines that are not audit lines record
  /// nothing. Fails with "create PATH: ...", "read PATH: ..." or
  /// "truncate PATH: ...".
  static Result<AuditJournal> open(const OutputTarget& target, bool resume);

  /// The last record of `input` an earlier run left, or null.
  const AuditRecord* recorded(const std::string& input) const;
  /// Writes the line and its newline with one write, so that a run killed
  /// at any moment leaves whole lines and at most one torn last line.
  Result<void> append(std::string_view line);
  /// "in PATH", or "on standard output".
  std::string place() const;
  bool to_stdout() const { return path_.empty(); }

 private:
  AuditJournal(Fd file, std::string path) : file_(std::move(file)), path_(std::move(path)) {}
  Result<void> read_recorded();

  Fd file_;           // invalid for standard output
  std::string path_;  // empty for standard output
  std::unordered_map<std::string, AuditRecord> recorded_;
};
