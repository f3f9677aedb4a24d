// One frame buffer for every reader of raw frame streams (the hash commands
// and the sampler), and the counter they both show.

#include "sampling/frame_buffer.h"

#include <pdq/pdq.h>
#include <sys/mman.h>

#include <cstring>
#include <new>

namespace {

constexpr std::size_t kHugePage = 2 * 1024 * 1024;

}  // namespace

FrameBuffer::FrameBuffer()
    : bytes_(static_cast<std::uint8_t*>(::operator new (kHugePage, std::align_val_t{kHugePage}))) {
  (void)::madvise(bytes_.get(), kHugePage, MADV_HUGEPAGE);  // only a hint
  std::memset(bytes_.get(), 0, pdq::kRgbaFrameBytes);
}

std::span<std::uint8_t> FrameBuffer::span() { return {bytes_.get(), pdq::kRgbaFrameBytes}; }

void FrameBuffer::Free::operator()(std::uint8_t* p) const {
  ::operator delete (p, std::align_val_t{kHugePage});
}

std::string hashed_counter(std::uint64_t count, std::optional<std::uint64_t> total) {
  return "\r  hashed " + std::to_string(count) + (total ? "/" + std::to_string(*total) : "") +
         " frames";
}
