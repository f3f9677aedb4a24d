// Same-file tests behind the guards that keep a command from writing over its
// own input. Device and inode numbers catch every spelling of a name: symbolic
// links, "..", and hard links; embed-evidence compares canonical paths.

#include "commands/same_file.h"

#include "fileio/fd.h"

#include <sys/stat.h>
#include <unistd.h>

#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <memory>
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

}  // namespace

bool is_same_existing_file(const std::string& a, const std::string& b) {
  auto sa = stat_path(a);
  auto sb = stat_path(b);
  return sa && sb && same_inode(*sa, *sb);
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

Result<bool> resolves_to_same_path(const std::string& input, const std::string& output) {
  if (::access(output.c_str(), F_OK) != 0) return false;
  auto canonical = [](const std::string& path) -> Result<std::string> {
    std::unique_ptr<char, decltype(&::free)> resolved(::realpath(path.c_str(), nullptr), ::free);
    if (!resolved) return fail("canonicalize " + path + ": " + format_io_error(errno));
    return std::string(resolved.get());
  };
  auto a = canonical(input);
  if (!a) return fail(a.error());
  auto b = canonical(output);
  if (!b) return fail(b.error());
  return *a == *b;
}

bool is_stdout_file(const std::string& path) {
  struct stat out {};
  if (::fstat(STDOUT_FILENO, &out) != 0 || !S_ISREG(out.st_mode)) return false;
  auto st = stat_path(path);
  return st && same_inode(out, *st);
}

bool output_lands_on(const OutputTarget& output, const std::string& input) {
  switch (output.kind) {
    case OutputTarget::Kind::Path:
      return is_same_existing_file(output.path, input);
    case OutputTarget::Kind::Stdout:
      return is_stdout_file(input);
    case OutputTarget::Kind::Discard:
      return false;
  }
  return false;
}
