// The same-file rule behind every output guard. Device and inode numbers
// catch every spelling of an existing file; a name that does not exist yet is
// compared as an absolute path with links, "." and ".." resolved.

#include "fileio/same_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <system_error>

namespace {

std::optional<struct stat> stat_path(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return st;
}

bool same_inode(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool names_same_file(const std::string& a, const std::string& b) {
  auto sa = stat_path(a);
  auto sb = stat_path(b);
  if (sa && sb) return same_inode(*sa, *sb);
  if (sa || sb) return false;  // one exists and the other doesn't
  std::error_code ec_a, ec_b;
  auto ca = std::filesystem::weakly_canonical(std::filesystem::absolute(a, ec_a), ec_a);
  auto cb = std::filesystem::weakly_canonical(std::filesystem::absolute(b, ec_b), ec_b);
  if (ec_a || ec_b) {
    return std::filesystem::path(a).lexically_normal() ==
           std::filesystem::path(b).lexically_normal();
  }
  return ca == cb;
}

bool is_stdout_file(const std::string& path) {
  struct stat out {};
  if (::fstat(STDOUT_FILENO, &out) != 0 || !S_ISREG(out.st_mode)) return false;
  auto st = stat_path(path);
  return st && same_inode(out, *st);
}

}  // namespace

bool lands_on(const OutputTarget& output, const std::string& path) {
  switch (output.kind) {
    case OutputTarget::Kind::Path:
      return names_same_file(output.path, path);
    case OutputTarget::Kind::Stdout:
      return is_stdout_file(path);
    case OutputTarget::Kind::Discard:
      return false;
  }
  return false;
}

bool lands_on_any(const OutputTarget& output, std::span<const WalkedFile> files) {
  std::optional<struct stat> target;
  if (output.kind == OutputTarget::Kind::Path) target = stat_path(output.path);
  struct stat out {};
  if (output.kind == OutputTarget::Kind::Stdout && ::fstat(STDOUT_FILENO, &out) == 0 &&
      S_ISREG(out.st_mode)) {
    target = out;
  }
  for (const WalkedFile& file : files) {
    // A file the walk could not stat was named; the full rule decides.
    if (!file.stamp && file.error.empty()) {
      if (lands_on(output, file.path)) return true;
    } else if (target && file.stamp && file.device == static_cast<std::uint64_t>(target->st_dev) &&
               file.inode == static_cast<std::uint64_t>(target->st_ino)) {
      return true;
    }
  }
  return false;
}

bool share_a_file(const OutputTarget& a, const OutputTarget& b) {
  if (a.kind == OutputTarget::Kind::Path) return lands_on(b, a.path);
  if (b.kind == OutputTarget::Kind::Path) return lands_on(a, b.path);
  return a.kind == OutputTarget::Kind::Stdout && b.kind == OutputTarget::Kind::Stdout;
}
