#pragma once
// The two ffprobe runs of frame sampling. Neither can fail a command: what
// they cannot learn simply stays unknown, and what they learn only explains
// a failure or an empty result better.

#include <cstdint>
#include <future>
#include <optional>
#include <string>

struct NativeDimensions {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

/// What the dimension probe learned of the first video stream.
struct VideoStreamProbe {
  std::optional<NativeDimensions> dimensions;  // when ffprobe tells them
  bool none = false;  // ffprobe ran cleanly and listed no video stream at all
};

/// Width and height of the first video stream, when ffprobe tells them; an
/// empty answer from a clean run means the file has no video stream.
VideoStreamProbe probe_video_stream(const std::string& input);
/// Duration of the file in seconds, when ffprobe prints a number for it.
std::optional<double> probe_duration(const std::string& input);
struct MediaProbes {
  VideoStreamProbe video;
  std::optional<double> duration;
};

/// Both probes, run one after the other on a thread of their own from
/// construction, so that they cost nothing beside a decoder that runs
/// meanwhile. Destruction waits for them.
class BackgroundProbes {
 public:
  explicit BackgroundProbes(std::string input);
  /// True once both probes are done: `get` will not wait.
  bool ready() const;
  /// Waits for both probes.
  const MediaProbes& get();

 private:
  std::future<MediaProbes> running_;
  std::optional<MediaProbes> done_;
};

/// The path as ffprobe and ffmpeg must be given it: unchanged, or after
/// "file:" when they would read its beginning as a protocol ("concat:a.mp4").
std::string media_url(const std::string& path);
/// rate x duration rounded half away from zero, saturated to the u64 range
/// (negative and NaN give 0).
std::uint64_t expected_frame_count(double fps, double duration_seconds);
