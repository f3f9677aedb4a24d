// Walks the top-level boxes of an MP4 file with positioned reads of their
// headers, so a multi-gigabyte recording is scanned without touching its
// media. Every size is checked against the file size before it is trusted.

#include "mp4/box_scanner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <limits>
#include <vector>

#include "fileio/fd.h"
#include "fileio/fileio.h"
#include "mp4/evidence_box.h"

namespace {

std::uint64_t load_be(std::span<const std::uint8_t> bytes) {
  std::uint64_t value = 0;
  for (std::uint8_t b : bytes) value = (value << 8) | b;
  return value;
}

struct BoxHeader {
  std::uint64_t size = 0;          // total length of the box
  std::uint64_t header_bytes = 8;  // 16 with a largesize
  bool is_uuid = false;
};

Result<BoxHeader> read_box_header(int fd, std::uint64_t offset, std::uint64_t file_size) {
  std::array<std::uint8_t, 8> raw{};
  if (auto r = read_exact_at(fd, offset, raw, "MP4 box header"); !r) return fail(r.error());
  BoxHeader header;
  header.is_uuid = raw[4] == 'u' && raw[5] == 'u' && raw[6] == 'i' && raw[7] == 'd';
  const std::uint64_t size32 = load_be(std::span(raw).first(4));
  if (size32 == 0) {
    header.size = file_size - offset;  // the box runs to the end of the file
  } else if (size32 == 1) {
    std::array<std::uint8_t, 8> large{};
    if (auto r = read_exact_at(fd, offset + 8, large, "MP4 largesize"); !r) return fail(r.error());
    header.size = load_be(large);
    header.header_bytes = 16;
  } else {
    header.size = size32;
  }
  return header;
}

Result<EvidenceBoxLocation> read_evidence_payload(int fd, std::uint64_t box_offset,
                                                  std::uint64_t payload_offset,
                                                  std::uint64_t box_end, std::uint64_t file_size) {
  const std::uint64_t payload_bytes = box_end - payload_offset;
  if (payload_bytes > kMaxEvidencePayloadBytes) {
    return fail("evidence envelope payload too large: " + std::to_string(payload_bytes) + " bytes");
  }
  std::vector<std::uint8_t> payload(payload_bytes);
  if (auto r = read_exact_at(fd, payload_offset, payload, "evidence envelope"); !r) {
    return fail(r.error());
  }
  auto envelope = read_envelope(payload);
  if (!envelope) return fail(envelope.error());
  return EvidenceBoxLocation{std::move(*envelope), box_offset, box_end, file_size};
}

}  // namespace


Result<std::optional<EvidenceBoxLocation>> find_evidence_box(const std::string& path) {
  Fd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.valid()) return fail("open " + path + ": " + format_io_error(errno));
  struct stat st {};
  if (::fstat(file.get(), &st) != 0) return fail("stat " + path + ": " + format_io_error(errno));
  const auto file_size = static_cast<std::uint64_t>(st.st_size);

  std::uint64_t offset = 0;
  // A tail of fewer than 8 bytes can't hold a header and is not an error.
  while (file_size - offset >= 8) {
    auto header = read_box_header(file.get(), offset, file_size);
    if (!header) return fail(header.error());
    if (header->size > std::numeric_limits<std::uint64_t>::max() - offset) {
      return fail("MP4 box length overflows at offset " + std::to_string(offset));
    }
    const std::uint64_t box_end = offset + header->size;
    if (header->size < header->header_bytes || box_end > file_size) {
      return fail("malformed MP4 box at offset " + std::to_string(offset));
    }
    if (header->is_uuid && header->size >= header->header_bytes + kEvidenceUsertype.size()) {
      std::array<std::uint8_t, 16> usertype{};
      const std::uint64_t usertype_offset = offset + header->header_bytes;
      if (auto r = read_exact_at(file.get(), usertype_offset, usertype, "MP4 uuid usertype"); !r) {
        return fail(r.error());
      }
      if (usertype == kEvidenceUsertype) {
        // The first evidence box wins; nothing after it is looked at.
        auto found = read_evidence_payload(file.get(), offset, usertype_offset + usertype.size(),
                                           box_end, file_size);
        if (!found) return fail(found.error());
        return std::optional(std::move(*found));
      }
    }
    offset = box_end;
  }
  return std::optional<EvidenceBoxLocation>();
}
