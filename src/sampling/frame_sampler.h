#pragma once
// Samples frames of a recording at a fixed rate through ffmpeg and hashes
// each 512x512 RGBA frame with PDQ as it arrives.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "result.h"

struct FrameSampling {
  std::vector<std::string> hashes;  // 64 lowercase hex digits each, in frame order
  std::optional<std::uint32_t> native_width;
  std::optional<std::uint32_t> native_height;  // known exactly when the width is
  // For a run that gave no frame, why, when the probes tell: the file has no
  // video stream, or it is too short for the rate (with a rate that fits).
  std::string no_frames_reason;
};

/// "2" for 2.0, "2.5", "0.1", "29.97": a whole rate without a point, any
/// other rate as its shortest round-trip decimal, never with an exponent.
std::string format_fps(double fps);

/// The hashes of the frames ffmpeg samples from `input` at `fps`, with the
/// stream's dimensions when ffprobe tells them. Writes progress to stderr.
/// Fails with "spawn ffmpeg: ...", "read ffmpeg rawvideo: ...", "wait for
/// ffmpeg: ..." or "ffmpeg exited with ..." (followed by "; INPUT has no
/// video stream ..." when ffprobe found none).
Result<FrameSampling> sample_and_hash_frames(const std::string& input, double fps);
/// The same children, loop, progress and failures, but each hash goes to
/// `on_hash` as it arrives and none is kept: the result's `hashes` stays
/// empty, so memory is flat however many frames come. `no_video_advice`
/// follows "INPUT has no video stream to sample" in the texts that say so.
Result<FrameSampling> sample_frames_streaming(const std::string& input, double fps,
                                              const std::function<void(std::string)>& on_hash,
                                              std::string_view no_video_advice = {});
