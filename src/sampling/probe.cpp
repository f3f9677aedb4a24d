// Asks ffprobe for the stream's dimensions and the file's duration. The
// output is untrusted text: it is read with strict number grammars, and any
// surprise (no program, a failed run, stray text) means "unknown".

#include "sampling/probe.h"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string_view>
#include <vector>

#include "encoding/decimal.h"
#include "encoding/text.h"
#include "sampling/child_process.h"

namespace {

// Real answers are a few bytes; the limit only bounds what a runaway
// program can make us hold.
constexpr std::size_t kProbeOutputLimit = 64 * 1024;

const std::vector<std::string> kDimensionArgs = {
    "-v", "error", "-select_streams", "v:0", "-show_entries", "stream=width,height",
    "-of", "csv=p=0:s=x"};
const std::vector<std::string> kDurationArgs = {"-v", "error", "-show_entries",
                                                "format=duration", "-of", "csv=p=0"};

// The program is read from the environment anew for each run. A probe that
// cannot start leaves `slot` empty: what it would tell stays unknown.
void start_probe(std::optional<CapturedChild>& slot, const std::vector<std::string>& args,
                 const std::string& input) {
  std::vector<std::string> all = args;
  all.push_back(media_url(input));
  auto child = CapturedChild::start(program_from_env("VORLANT_VERIFY_FFPROBE", "ffprobe"), all,
                                    kProbeOutputLimit);
  if (child) slot.emplace(std::move(*child));
}

std::optional<std::string> finish_probe(CapturedChild& child) {
  auto run = child.finish();
  if (!run || run->output_cut || !exited_successfully(run->wait_status)) return std::nullopt;
  return std::string(trim_unicode_whitespace(to_lossy_utf8(run->output)));
}

VideoStreamProbe read_video_stream(const std::optional<std::string>& text) {
  if (!text) return {};
  // The stream selector matched nothing: the file was read and has no video.
  if (text->empty()) return {.dimensions = std::nullopt, .none = true};
  const std::string_view line(*text);
  const std::size_t x = line.find('x');
  if (x == std::string_view::npos) return {};
  // A stream with side data (a phone clip's rotation matrix) gets it as a
  // further field after the height, "320x240x"; the size comes first anyway.
  const std::size_t end = line.find('x', x + 1);
  auto width = parse_u32(line.substr(0, x));
  auto height = parse_u32(line.substr(x + 1, end == std::string_view::npos ? end : end - x - 1));
  if (!width || !height) return {};
  return {.dimensions = NativeDimensions{*width, *height}, .none = false};
}

std::optional<double> read_duration(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  // Out-of-range values come back as infinity or zero, as wanted.
  auto duration = parse_double(*text);
  return duration ? std::optional(*duration) : std::nullopt;
}

}  // namespace

BackgroundProbes::BackgroundProbes(std::string input) : input_(std::move(input)) {
  start_probe(running_, kDimensionArgs, input_);
}

void BackgroundProbes::advance(bool wait) {
  while (stage_ != Stage::Done) {
    if (running_ && !running_->pump(wait)) return;
    const std::optional<std::string> text =
        running_ ? finish_probe(*running_) : std::optional<std::string>{};
    running_.reset();
    if (stage_ == Stage::Dimensions) {
      probed_.video = read_video_stream(text);
      start_probe(running_, kDurationArgs, input_);
      stage_ = Stage::Duration;
    } else {
      probed_.duration = read_duration(text);
      stage_ = Stage::Done;
    }
  }
}

bool BackgroundProbes::ready() {
  advance(false);
  return stage_ == Stage::Done;
}

const MediaProbes& BackgroundProbes::get() {
  advance(true);
  return probed_;
}

std::string media_url(const std::string& path) {
  // ffmpeg takes a leading run of scheme characters followed by ":" as a
  // protocol name ("concat:", "pipe:", "http:"), "subfile," with a later
  // ":" as its subfile protocol, and "-" as standard input. "file:" keeps
  // such a name a file.
  constexpr std::string_view kSchemeCharacters =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+-.";
  const std::size_t scheme = path.find_first_not_of(kSchemeCharacters);
  const bool protocol_like =
      (scheme > 0 && scheme != std::string::npos && path[scheme] == ':') ||
      (path.starts_with("subfile,") && path.find(':') != std::string::npos) || path == "-";
  return protocol_like ? "file:" + path : path;
}

std::uint64_t expected_frame_count(double fps, double duration_seconds) {
  double frames = std::round(fps * duration_seconds);
  if (!(frames > 0.0)) return 0;
  if (frames >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(frames);
}
