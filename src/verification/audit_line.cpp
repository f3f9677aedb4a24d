// Writes and reads the lines of an audit. A line carries the verification
// report without the manifest's Base64, which is most of a long recording's
// report and is in the file itself, so a line stays a few kilobytes.

#include "verification/audit_line.h"

#include <sys/stat.h>

#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>

#include "evidence/json_doc.h"
#include "verification/verification_report.h"

namespace {

std::optional<FileStamp> stamp_of(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return std::nullopt;
  return file_stamp(status);
}

void add_stamp(nlohmann::json& line, const std::optional<FileStamp>& stamp) {
  if (!stamp) return;
  line["size"] = stamp->size;
  line["mtime_ns"] = stamp->mtime_ns;
}

Result<AuditStatus> status_of(const nlohmann::json& word) {
  for (AuditStatus s : {AuditStatus::Ok, AuditStatus::Fail, AuditStatus::Error}) {
    if (word.is_string() && word.get<std::string>() == audit_status_word(s)) return s;
  }
  return fail("no status ok, fail or error");
}

// Both members or neither: a line written for a file that could be stat'ed.
Result<std::optional<FileStamp>> stamp_in(const nlohmann::json& line) {
  const bool has_size = line.contains("size"), has_mtime = line.contains("mtime_ns");
  if (!has_size && !has_mtime) return std::nullopt;
  const auto& size = line.value("size", nlohmann::json());
  const auto& mtime = line.value("mtime_ns", nlohmann::json());
  const bool mtime_fits =
      mtime.is_number_integer() &&
      (!mtime.is_number_unsigned() ||
       mtime.get<std::uint64_t>() <= std::uint64_t{std::numeric_limits<std::int64_t>::max()});
  if (!size.is_number_unsigned() || !mtime_fits) return fail("size or mtime_ns is not a number");
  return FileStamp{size.get<std::uint64_t>(), mtime.get<std::int64_t>()};
}

}  // namespace

std::string_view audit_status_word(AuditStatus status) {
  switch (status) {
    case AuditStatus::Ok:
      return "ok";
    case AuditStatus::Fail:
      return "fail";
    case AuditStatus::Error:
      return "error";
  }
  return "error";
}

std::string audit_file(const std::string& path, const PinnedKeys& pinned) {
  auto file = open_regular_file(path);
  if (!file) return audit_error_line(path, file.error(), stamp_of(path));
  struct stat status {};
  ::fstat(file->fd.get(), &status);
  const VerificationReport report = build_verification_report(*file, pinned);
  nlohmann::json line = report.to_document();
  line.erase("manifest_b64");
  line["status"] = audit_status_word(report.binding_holds ? AuditStatus::Ok : AuditStatus::Fail);
  if (!report.binding_holds) line["error"] = report.detail;
  add_stamp(line, file_stamp(status));
  return json_line(line);
}

std::string audit_error_line(const std::string& path, std::string_view error,
                             const std::optional<FileStamp>& stamp) {
  nlohmann::json line = {
      {"input", path}, {"status", audit_status_word(AuditStatus::Error)}, {"error", error}};
  add_stamp(line, stamp);
  return json_line(line);
}

Result<AuditRecord> read_audit_line(std::string_view text) {
  auto document =
      parse_json_document({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
  if (!document) return fail(document.error());
  const nlohmann::json& line = document->value;
  if (!line.is_object() || !line.contains("input") || !line["input"].is_string()) {
    return fail("no input path");
  }
  auto status = status_of(line.value("status", nlohmann::json()));
  if (!status) return fail(status.error());
  auto stamp = stamp_in(line);
  if (!stamp) return fail(stamp.error());
  return AuditRecord{line["input"].get<std::string>(), *status, *stamp};
}
