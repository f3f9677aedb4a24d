#pragma once
// The two ffprobe runs of frame sampling. Neither can fail a command: what
// they cannot learn simply stays unknown, and what they learn only explains
// a failure or an empty result better.

#include <cstdint>
#include <optional>
#include <string>

#include "sampling/child_process.h"

struct NativeDimensions {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

/// What the dimension probe learned of the first video stream.
struct VideoStreamProbe {
  std::optional<NativeDimensions> dimensions;  // when ffprobe tells them
  bool none = false;  // ffprobe ran cleanly and listed no video stream at all
};

/// What the two probes learned: the first video stream (its width and height
/// when ffprobe tells them; an empty answer from a clean run means the file
/// has no video stream), and the file's duration in seconds when ffprobe
/// prints a number for it.
struct MediaProbes {
  VideoStreamProbe video;
  std::optional<double> duration;
};

/// Both probes, run one after the other from construction as child processes
/// that the frame loop looks after between frames (the program stays
/// single-threaded), so that they cost nothing beside a decoder that runs
/// meanwhile. Probes still running when this goes away are stopped.
class BackgroundProbes {
 public:
  explicit BackgroundProbes(std::string input);
  /// True once both probes are done: `get` will not wait. Moves them on
  /// without waiting.
  bool ready();
  /// Waits for both probes.
  const MediaProbes& get();

 private:
  enum class Stage { Dimensions, Duration, Done };
  void advance(bool wait);

  std::string input_;
  std::optional<CapturedChild> running_;  // the probe under way, if it started
  Stage stage_ = Stage::Dimensions;       // the probe under way
  MediaProbes probed_;
};

/// The path as ffprobe and ffmpeg must be given it: unchanged, or after
/// "file:" when they would read its beginning as a protocol ("concat:a.mp4").
std::string media_url(const std::string& path);
/// rate x duration rounded half away from zero, saturated to the u64 range
/// (negative and NaN give 0).
std::uint64_t expected_frame_count(double fps, double duration_seconds);
