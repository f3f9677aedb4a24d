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
  std::optional<std::uint32_t> native_width;
  std::optional<std::uint32_t> native_height;  // known exactly when the width is
  // For a run that gave no frame, why, when the probes tell: the file has no
  // video stream, or it is too short for the rate (with a rate that fits).
  std::string no_frames_reason;
};

/// Samples `input` at `fps` through ffmpeg and hands each frame's hash to
/// `on_hash` as it arrives, keeping none, so memory is flat however many
/// frames come; learns the stream's dimensions when ffprobe tells them.
/// Writes progress to stderr. Fails with "spawn ffmpeg: ...", "read ffmpeg
/// rawvideo: ...", "wait for ffmpeg: ..." or "ffmpeg exited with ..."
/// (followed by "; INPUT has no video stream to sample" and
/// `no_video_advice` when ffprobe found none).
Result<FrameSampling> sample_frames(const std::string& input, double fps,
                                    const std::function<void(std::string)>& on_hash,
                                    std::string_view no_video_advice = {});
