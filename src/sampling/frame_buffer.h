#pragma once
// The one buffer a stream of raw frames is read into, reused for every frame,
// and the counter shown as frames are hashed.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

/// One 512x512 RGBA frame, zero-filled, on a transparent huge page where the
/// system offers one: the kernel then copies each frame in with far less
/// page-table work. Between two reads the hashing evicts the buffer from the
/// caches, and on small pages that made every read more than twice as slow.
class FrameBuffer {
 public:
  FrameBuffer();
  std::span<std::uint8_t> span();

 private:
  struct Free {
    void operator()(std::uint8_t* p) const;
  };
  std::unique_ptr<std::uint8_t, Free> bytes_;
};

/// The self-overwriting counter after `count` frames: "\r  hashed N frames",
/// or "\r  hashed N/T frames" when the total is known.
std::string hashed_counter(std::uint64_t count, std::optional<std::uint64_t> total);
