// Frames come in on standard input back to back and leave as hash lines on
// standard output. One frame buffer serves the whole stream, and each line
// is written before the next frame is read, so the producer is paced by the
// hashing and a reader sees every hash as soon as it exists.

#include "commands/hash_frames.h"

#include <unistd.h>

#include <span>

#include "fileio/fd.h"
#include "pdq/pdq.h"
#include "sampling/frame_buffer.h"

std::string hash_bit_string(std::string_view hash_hex) {
  std::string bits;
  bits.reserve(hash_hex.size() * 4);
  for (char c : hash_hex) {
    const int digit = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
    for (int b = 3; b >= 0; --b) bits.push_back(((digit >> b) & 1) ? '1' : '0');
  }
  return bits;
}

std::string format_hash_line(std::uint64_t index, std::string_view hash_hex, HashFormat format) {
  std::string line;
  switch (format) {
    case HashFormat::Hex:
      line = hash_hex;
      break;
    case HashFormat::Bits:
      line = hash_bit_string(hash_hex);
      break;
    case HashFormat::Jsonl:
      line = "{\"index\":" + std::to_string(index) +
             ",\"algorithm\":\"pdq\",\"bits\":256,\"hash_hex\":\"" + std::string(hash_hex) +
             "\",\"bit_string\":\"" + hash_bit_string(hash_hex) + "\"}";
      break;
  }
  line += '\n';
  return line;
}

CommandOutcome hash_single_frame(int input, int output, HashFormat format) {
  FrameBuffer buffer;
  const std::span<std::uint8_t> frame = buffer.span();
  if (auto read = read_exact(input, frame); !read) return fail(read.error());
  // Only an immediate end of input proves there was exactly one frame; the
  // rest of a longer input is left unread.
  std::uint8_t extra = 0;
  auto more = read_some(input, std::span(&extra, 1));
  if (!more) return fail(more.error());
  if (*more != 0) return fail("hash-frame-rgba expects exactly one 512x512 RGBA frame");
  auto hash = pdq::hash_rgba_frame(frame);
  if (!hash) return fail(hash.error().message());
  return write_all(output, format_hash_line(0, *hash, format));
}

CommandOutcome hash_frame_stream(int input, int output, bool progress, HashFormat format) {
  FrameBuffer buffer;
  const std::span<std::uint8_t> frame = buffer.span();
  pdq::Hasher hasher;
  for (std::uint64_t count = 0;;) {
    auto filled = read_full(input, frame);
    if (!filled) return fail(filled.error());
    if (*filled == 0) break;
    if (*filled < pdq::kRgbaFrameBytes) {
      return fail("truncated raw RGBA frame: got " + std::to_string(*filled) + " of " +
                  std::to_string(pdq::kRgbaFrameBytes) + " bytes");
    }
    auto hash = hasher.hash_rgba_frame(frame);
    if (!hash) return fail(hash.error().message());
    auto written = write_all(output, format_hash_line(count, *hash, format));
    if (!written) return written;
    ++count;
    // Standard error is unbuffered; a failure to show progress stops nothing.
    if (progress) {
      (void)write_all(STDERR_FILENO, hashed_counter(count, std::nullopt));
    }
  }
  if (progress) (void)write_all(STDERR_FILENO, "\n");
  return {};
}

CommandOutcome run_hash_frame_rgba(const HashOptions& options) {
  return hash_single_frame(STDIN_FILENO, STDOUT_FILENO, options.format);
}

CommandOutcome run_hash_raw_rgba(const HashOptions& options) {
  return hash_frame_stream(STDIN_FILENO, STDOUT_FILENO, options.progress, options.format);
}
