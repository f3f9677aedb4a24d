// Read-only mappings of segment files. The descriptor is closed once the
// mapping exists: the mapping alone keeps the file's pages reachable, even
// after a writer has unlinked a merged-away segment.

#include "index/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>
#include <utility>

#include "fileio/fd.h"

Result<MappedFile> MappedFile::open(const std::string& path, int* error_number) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    if (error_number) *error_number = errno;
    return fail("open " + path + ": " + format_io_error(errno));
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return fail("stat " + path + ": " + format_io_error(errno));
  const auto size = static_cast<std::size_t>(st.st_size);
  if (size == 0) return MappedFile(nullptr, 0);
  void* p = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd.get(), 0);
  if (p == MAP_FAILED) return fail("map " + path + ": " + format_io_error(errno));
  return MappedFile(static_cast<const std::uint8_t*>(p), size);
}

MappedFile::MappedFile(MappedFile&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
  std::swap(data_, other.data_);
  std::swap(size_, other.size_);
  return *this;
}

MappedFile::~MappedFile() {
  if (data_) ::munmap(const_cast<std::uint8_t*>(data_), size_);
}
