// The MP4 box walk on a file holding arbitrary bytes. A box it reports must
// lie inside the file and be an evidence box: type `uuid` and our usertype
// right after the header it was read with.

#include <algorithm>
#include <cstring>

#include "fuzz_util.h"
#include "mp4/box_scanner.h"
#include "mp4/evidence_box.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::MemoryFile file({data, size});
  auto found = fuzz::timed(size, [&] { return find_evidence_box(file.path()); });
  if (!found) {
    fuzz::require_message(found.error());
    return 0;
  }
  if (!*found) return 0;
  const EvidenceBoxLocation& box = **found;
  fuzz::require(box.file_size == size, "the scanner saw another file size");
  fuzz::require(box.box_offset < box.box_end && box.box_end <= size,
                "the evidence box does not lie inside the file");
  const std::uint8_t* header = data + box.box_offset;
  fuzz::require(box.box_end - box.box_offset >= 24 && std::memcmp(header + 4, "uuid", 4) == 0,
                "the evidence box is not a uuid box");
  const bool large = header[0] == 0 && header[1] == 0 && header[2] == 0 && header[3] == 1;
  const std::uint64_t usertype_at = box.box_offset + (large ? 16 : 8);
  fuzz::require(
      usertype_at + 16 <= box.box_end &&
          std::equal(kEvidenceUsertype.begin(), kEvidenceUsertype.end(), data + usertype_at),
      "the evidence box has another usertype");
  fuzz::require(box.box_end - usertype_at - 16 <= kMaxEvidencePayloadBytes,
                "the evidence payload exceeds its bound");
  return 0;
}
