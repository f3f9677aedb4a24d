// Lists the files a command runs over. Directories are walked in byte order
// of their entries' names, so two runs over one tree list it alike and a run
// that picks up after another finds its files where it left them. Each
// directory is read whole and closed before its subdirectories are entered,
// so however deep the tree, one directory is open at a time.

#include "fileio/path_walk.h"

#include <dirent.h>
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <unordered_set>

#include "io_error.h"

namespace {

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool has_suffix(std::string_view name, std::span<const std::string_view> suffixes) {
  return std::any_of(suffixes.begin(), suffixes.end(), [&](std::string_view suffix) {
    if (name.size() < suffix.size()) return false;
    const std::string_view tail = name.substr(name.size() - suffix.size());
    return std::equal(tail.begin(), tail.end(), suffix.begin(),
                      [](char a, char b) { return ascii_lower(a) == ascii_lower(b); });
  });
}

std::string join(const std::string& directory, std::string_view name) {
  std::string path = directory;
  if (path.empty() || path.back() != '/') path += '/';
  return path.append(name);
}

WalkedFile stamped(std::string path, const struct stat& status) {
  return {std::move(path),
          file_stamp(status),
          static_cast<std::uint64_t>(status.st_dev),
          static_cast<std::uint64_t>(status.st_ino),
          {}};
}

WalkedFile unreadable(std::string path, std::string error) {
  return {std::move(path), std::nullopt, 0, 0, std::move(error)};
}

// One entry of a directory as the walk will take it.
struct Entry {
  std::string name;
  enum class Kind { Skip, Directory, File, Failed } kind = Kind::Skip;
  struct stat status {};
  std::string error;
};

// What an entry is: the listing's type saves a status read for every name
// that can't be a recording; links are never followed.
void classify(int directory_fd, const std::string& directory, Entry& e, unsigned char type,
              const WalkRules& rules) {
  if (type == DT_DIR) {
    e.kind = Entry::Kind::Directory;
    return;
  }
  if (type == DT_LNK || (type != DT_UNKNOWN && type != DT_REG)) return;
  if (type == DT_REG && !has_suffix(e.name, rules.suffixes)) return;
  if (::fstatat(directory_fd, e.name.c_str(), &e.status, AT_SYMLINK_NOFOLLOW) != 0) {
    // Gone since it was listed: it is not part of the tree any more.
    if (errno == ENOENT) return;
    e.kind = Entry::Kind::Failed;
    e.error = "stat " + join(directory, e.name) + ": " + format_io_error(errno);
    return;
  }
  if (S_ISDIR(e.status.st_mode)) {
    e.kind = Entry::Kind::Directory;
  } else if (S_ISREG(e.status.st_mode) && has_suffix(e.name, rules.suffixes)) {
    e.kind = Entry::Kind::File;
  }
}

// The directory's entries, sorted and classified, or the reason it can't be read.
Result<std::vector<Entry>> read_directory(const std::string& path, const WalkRules& rules) {
  struct Closer {
    void operator()(DIR* d) const { ::closedir(d); }
  };
  std::unique_ptr<DIR, Closer> directory(::opendir(path.c_str()));
  if (!directory) return fail("open " + path + ": " + format_io_error(errno));
  std::vector<std::pair<std::string, unsigned char>> names;
  for (;;) {
    errno = 0;
    const dirent* d = ::readdir(directory.get());
    if (d == nullptr) break;
    const std::string_view name(d->d_name);
    if (name != "." && name != "..") names.emplace_back(name, d->d_type);
  }
  if (errno != 0) return fail("read " + path + ": " + format_io_error(errno));
  std::sort(names.begin(), names.end());
  std::vector<Entry> entries;
  for (auto& [name, type] : names) {
    Entry e;
    e.name = std::move(name);
    classify(::dirfd(directory.get()), path, e, type, rules);
    if (e.kind != Entry::Kind::Skip) entries.push_back(std::move(e));
  }
  return entries;
}

void walk_directory(const std::string& path, const WalkRules& rules, std::vector<WalkedFile>& out) {
  auto entries = read_directory(path, rules);
  if (!entries) {
    out.push_back(unreadable(path, entries.error()));
    return;
  }
  for (Entry& e : *entries) {
    std::string child = join(path, e.name);
    if (e.kind == Entry::Kind::Directory) {
      walk_directory(child, rules, out);
    } else if (e.kind == Entry::Kind::File) {
      out.push_back(stamped(std::move(child), e.status));
    } else {
      out.push_back(unreadable(std::move(child), std::move(e.error)));
    }
  }
}

// A path named twice, or named and met again on a walk, is listed once,
// where it came first. Only a second named path can repeat one.
void drop_repeats(std::vector<WalkedFile>& files) {
  std::vector<bool> repeat(files.size());
  std::unordered_set<std::string_view> seen;
  for (std::size_t i = 0; i < files.size(); ++i) repeat[i] = !seen.insert(files[i].path).second;
  std::size_t i = 0;  // remove_if asks once per file, in order
  std::erase_if(files, [&](const WalkedFile&) { return repeat[i++]; });
}

}  // namespace

FileStamp file_stamp(const struct stat& status) {
  return {
      static_cast<std::uint64_t>(status.st_size),
      static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec};
}

Result<std::vector<WalkedFile>> walk_paths(std::span<const std::string> paths,
                                           const WalkRules& rules) {
  std::vector<WalkedFile> out;
  for (const std::string& path : paths) {
    struct stat status {};
    // A named path that can't be stat'ed is still listed: whoever opens it
    // says why it can't be read.
    if (::stat(path.c_str(), &status) != 0) {
      out.push_back({path, std::nullopt, 0, 0, {}});
    } else if (!S_ISDIR(status.st_mode)) {
      out.push_back(stamped(path, status));
    } else if (!rules.recursive) {
      return fail(path + " is a directory (walk it with --recursive)");
    } else {
      walk_directory(path, rules, out);
    }
  }
  if (paths.size() > 1) drop_repeats(out);
  return out;
}
