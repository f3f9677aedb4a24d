#pragma once
// One line of an audit's JSON Lines output: how one file came out of the
// checks verify makes, with the file's size and modification time, so that a
// later run can tell whether a file is still the one that was judged.

#include <optional>
#include <string>
#include <string_view>

#include "evidence/pinned_keys.h"
#include "fileio/path_walk.h"
#include "result.h"

/// "ok": the binding holds; "fail": the file was judged and the binding does
/// not hold; "error": the file could not be judged at all.
enum class AuditStatus { Ok, Fail, Error };

/// "ok", "fail" or "error".
std::string_view audit_status_word(AuditStatus status);

/// What a line records, as it is read back.
struct AuditRecord {
  std::string input;
  AuditStatus status = AuditStatus::Error;
  std::optional<FileStamp> stamp;
};

/// The line for the file at `path`, judged as verify judges it: every member
/// of the verification report but manifest_b64, the status, and unless "ok"
/// the error verify would print (the report's detail, or why the file could
/// not be opened as a regular file). Compact, keys in byte order, no newline.
std::string audit_file(const std::string& path, const PinnedKeys& pinned);
/// The line of a file that could not be judged: status "error" and `error`.
std::string audit_error_line(const std::string& path, std::string_view error,
                             const std::optional<FileStamp>& stamp);
/// The record in a line; fails with the reason the line is not an audit line.
Result<AuditRecord> read_audit_line(std::string_view line);
