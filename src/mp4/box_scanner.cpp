// Walks the top-level boxes of an MP4 file by their headers, so a
// multi-gigabyte recording is scanned without touching its media. Every size
// is checked against the file size before it is trusted, and headers are read
// through a window, so a file of tiny boxes costs few reads too.

#include "mp4/box_scanner.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <span>
#include <vector>

#include "fileio/fd.h"
#include "fileio/fileio.h"
#include "mp4/evidence_box.h"

namespace {

constexpr std::size_t kMinWindow = 4096;
constexpr std::size_t kMaxWindow = 1024 * 1024;

std::uint64_t load_be(std::span<const std::uint8_t> bytes) {
  std::uint64_t value = 0;
  for (std::uint8_t b : bytes) value = (value << 8) | b;
  return value;
}

// Serves small reads from a window of the file. A walk that steps through
// small boxes doubles the window at each refill; a jump over a large box
// starts again with one page, so the media between headers is never read.
class HeaderReader {
 public:
  HeaderReader(int fd, std::uint64_t file_size) : fd_(fd), file_size_(file_size) {}

  /// Fills `out` from `offset`, failing as read_exact_at does.
  Result<void> read(std::uint64_t offset, std::span<std::uint8_t> out, std::string_view label) {
    if (offset >= start_ && offset - start_ <= filled_ &&
        filled_ - (offset - start_) >= out.size()) {
      std::memcpy(out.data(), window_.data() + (offset - start_), out.size());
      return {};
    }
    const std::uint64_t end = start_ + filled_;
    const bool stepping = filled_ > 0 && offset >= end && offset - end < size_;
    size_ = stepping ? std::min(size_ * 2, kMaxWindow) : kMinWindow;
    const std::uint64_t left = file_size_ > offset ? file_size_ - offset : 0;
    const std::size_t want =
        std::max(static_cast<std::size_t>(std::min<std::uint64_t>(size_, left)), out.size());
    if (window_.size() < want) window_.resize(want);
    auto got = read_up_to_at(fd_, offset, std::span(window_).first(want), label);
    if (!got) return fail(got.error());
    start_ = offset;
    filled_ = *got;
    if (filled_ < out.size()) {
      return fail("read " + std::string(label) + " at " + std::to_string(offset) + ": " +
                  std::string(kUnexpectedEof));
    }
    std::memcpy(out.data(), window_.data(), out.size());
    return {};
  }

 private:
  int fd_;
  std::uint64_t file_size_;
  std::vector<std::uint8_t> window_;  // bytes [start_, start_ + filled_) of the file
  std::uint64_t start_ = 0;
  std::size_t filled_ = 0;
  std::size_t size_ = kMinWindow;
};

struct BoxHeader {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;          // total length of the box
  std::uint64_t header_bytes = 8;  // 16 with a largesize
  bool runs_to_end = false;        // size field 0
  bool is_uuid = false;
};

class BoxWalker {
 public:
  BoxWalker(int fd, std::uint64_t file_size) : reader_(fd, file_size), file_size_(file_size) {}

  /// The next whole box, or nullopt when fewer than 8 bytes are left.
  Result<std::optional<BoxHeader>> next() {
    if (file_size_ - offset_ < 8) return std::nullopt;
    std::array<std::uint8_t, 8> raw{};
    if (auto r = reader_.read(offset_, raw, "MP4 box header"); !r) return fail(r.error());
    BoxHeader box{.offset = offset_};
    box.is_uuid = raw[4] == 'u' && raw[5] == 'u' && raw[6] == 'i' && raw[7] == 'd';
    const std::uint64_t size32 = load_be(std::span(raw).first(4));
    if (size32 == 0) {
      box.size = file_size_ - offset_;
      box.runs_to_end = true;
    } else if (size32 == 1) {
      std::array<std::uint8_t, 8> large{};
      if (auto r = reader_.read(offset_ + 8, large, "MP4 largesize"); !r) return fail(r.error());
      box.size = load_be(large);
      box.header_bytes = 16;
    } else {
      box.size = size32;
    }
    if (box.size > std::numeric_limits<std::uint64_t>::max() - offset_) {
      return fail("MP4 box length overflows at offset " + std::to_string(offset_));
    }
    if (box.size < box.header_bytes || offset_ + box.size > file_size_) {
      return fail("malformed MP4 box at offset " + std::to_string(offset_));
    }
    offset_ += box.size;
    return box;
  }

  /// True for a uuid box that carries the evidence usertype.
  Result<bool> is_evidence(const BoxHeader& box) {
    if (!box.is_uuid || box.size < box.header_bytes + kEvidenceUsertype.size()) return false;
    std::array<std::uint8_t, 16> usertype{};
    auto r = reader_.read(box.offset + box.header_bytes, usertype, "MP4 uuid usertype");
    if (!r) return fail(r.error());
    return usertype == kEvidenceUsertype;
  }

  /// Where the next box would start: the end of the last whole box.
  std::uint64_t offset() const { return offset_; }

 private:
  HeaderReader reader_;
  std::uint64_t file_size_;
  std::uint64_t offset_ = 0;
};

Result<EvidenceBoxLocation> read_evidence_payload(int fd, const BoxHeader& box,
                                                  std::uint64_t file_size) {
  const std::uint64_t payload_offset = box.offset + box.header_bytes + kEvidenceUsertype.size();
  const std::uint64_t box_end = box.offset + box.size;
  const std::uint64_t payload_bytes = box_end - payload_offset;
  if (payload_bytes > kMaxEvidencePayloadBytes) return fail(payload_too_large(payload_bytes));
  std::vector<std::uint8_t> payload(payload_bytes);
  if (auto r = read_exact_at(fd, payload_offset, payload, "evidence envelope"); !r) {
    return fail(r.error());
  }
  auto envelope = read_envelope(payload);
  if (!envelope) return fail(envelope.error());
  return EvidenceBoxLocation{std::move(*envelope), box.offset, box_end, file_size};
}

}  // namespace

Result<std::optional<EvidenceBoxLocation>> find_evidence_box(int fd, std::uint64_t file_size) {
  BoxWalker walker(fd, file_size);
  for (;;) {
    // A tail of fewer than 8 bytes can't hold a header and is not an error.
    auto box = walker.next();
    if (!box) return fail(box.error());
    if (!*box) return std::optional<EvidenceBoxLocation>();
    auto evidence = walker.is_evidence(**box);
    if (!evidence) return fail(evidence.error());
    if (*evidence) {
      // The first evidence box wins; nothing after it is looked at.
      auto found = read_evidence_payload(fd, **box, file_size);
      if (!found) return fail(found.error());
      return std::optional(std::move(*found));
    }
  }
}

Result<std::optional<EvidenceBoxLocation>> find_evidence_box(const std::string& path) {
  auto file = open_file(path);
  if (!file) return fail(file.error());
  return find_evidence_box(file->fd.get(), file->size);
}

Result<void> check_appendable_source(int fd, std::uint64_t file_size) {
  constexpr std::string_view kNotWholeBoxes = "recording is not a sequence of whole MP4 boxes: ";
  BoxWalker walker(fd, file_size);
  for (;;) {
    auto box = walker.next();
    if (!box) return fail(std::string(kNotWholeBoxes) + box.error());
    if (!*box) break;
    auto evidence = walker.is_evidence(**box);
    if (!evidence) return fail(evidence.error());
    const std::string at = std::to_string((*box)->offset);
    // A reader stops at the first evidence box, so a second one would never be seen.
    if (*evidence) return fail("recording already holds an evidence box at offset " + at);
    if ((*box)->runs_to_end) {
      return fail("recording ends in a box of size 0 at offset " + at +
                  ": an appended evidence box would be hidden inside it");
    }
  }
  if (walker.offset() != file_size) {
    const std::uint64_t stray = file_size - walker.offset();
    return fail(std::string(kNotWholeBoxes) + std::to_string(stray) +
                (stray == 1 ? " stray byte at offset " : " stray bytes at offset ") +
                std::to_string(walker.offset()));
  }
  return {};
}
