#pragma once
// The files a command runs over: the paths named on its command line and,
// when asked, the recordings found by walking the directories among them.

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "result.h"

/// A file's size and modification time, as its status tells them: what says
/// that a file is still the one an earlier run saw.
struct FileStamp {
  std::uint64_t size = 0;
  std::int64_t mtime_ns = 0;  // since the Unix epoch
  bool operator==(const FileStamp&) const = default;
};

/// The stamp of a status.
FileStamp file_stamp(const struct stat& status);

struct WalkedFile {
  std::string path;                // as named, or its directory's path, "/" and its name
  std::optional<FileStamp> stamp;  // when the path could be stat'ed
  std::uint64_t device = 0;        // with the stamp: which file it is
  std::uint64_t inode = 0;
  std::string error;  // why a directory met on the walk could not be read, if so
};

struct WalkRules {
  bool recursive = false;
  std::span<const std::string_view> suffixes;  // walked files end in one, in any letter case
};

/// The named paths in order, each named file as it is (through a link too,
/// and also when it does not exist), each named directory walked with
/// `recursive`: its entries in byte order of their names, regular files whose
/// names end in a suffix, directories whatever their names, symbolic links
/// never. Each path is listed once, where it first came. A directory on the
/// walk that cannot be read is listed with its error. Fails with "PATH is a
/// directory (walk it with --recursive)" for a directory without `recursive`.
Result<std::vector<WalkedFile>> walk_paths(std::span<const std::string> paths,
                                           const WalkRules& rules);
