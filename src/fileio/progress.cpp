// Draws the progress line of long file passes. Only a person watching a
// terminal gains from it: on a pipe or a log file it would be noise, and a
// short pass is over before it could be read, so both show nothing.

#include "fileio/progress.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "fileio/fd.h"

namespace {

constexpr std::uint64_t kMinShownBytes = 256ull * 1024 * 1024;
constexpr std::uint64_t kRedrawNs = 250'000'000;
constexpr std::uint64_t kMiB = 1024 * 1024;

}  // namespace

void status(const std::string& line) { (void)write_all(STDERR_FILENO, line + "\n"); }

std::uint64_t monotonic_ns() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u +
         static_cast<std::uint64_t>(now.tv_nsec);
}

StatusLine::StatusLine() : terminal_(::isatty(STDERR_FILENO) == 1) {}

bool StatusLine::due() const {
  return terminal_ && (drawn_width_ == 0 || monotonic_ns() - drawn_ns_ >= kRedrawNs);
}

void StatusLine::draw(std::string text) {
  if (!terminal_) return;
  drawn_ns_ = monotonic_ns();
  // A shorter line than the last is padded, so no old characters remain.
  const std::size_t width = std::max<std::size_t>(text.size(), 1);
  if (text.size() < drawn_width_) text.append(drawn_width_ - text.size(), ' ');
  drawn_width_ = width;
  (void)write_all(STDERR_FILENO, "\r" + text);
}

void StatusLine::clear() {
  if (drawn_width_ == 0) return;
  // Spaces over the last line, then back to its start: works on any terminal.
  (void)write_all(STDERR_FILENO, "\r" + std::string(drawn_width_, ' ') + "\r");
  drawn_width_ = 0;
}

void Progress::start(std::uint64_t total) {
  finish();
  total_ = total;
  done_ = 0;
  if (total <= kMinShownBytes || !line_.on_terminal()) return;
  shown_ = true;
  started_ns_ = monotonic_ns();
  draw(started_ns_);
}

void Progress::advance(std::uint64_t bytes) {
  done_ += bytes;
  if (shown_ && line_.due()) draw(monotonic_ns());
}

void Progress::finish() {
  if (!shown_) return;
  shown_ = false;
  line_.clear();
}

void Progress::draw(std::uint64_t now_ns) {
  const std::uint64_t done = std::min(done_, total_);
  std::string line = "  " + label_ + " " + std::to_string(done / kMiB) + " of " +
                     std::to_string(total_ / kMiB) + " MiB (" +
                     std::to_string(static_cast<unsigned>(static_cast<double>(done) * 100.0 /
                                                          static_cast<double>(total_))) +
                     "%)";
  if (now_ns > started_ns_) {
    const double seconds = static_cast<double>(now_ns - started_ns_) / 1e9;
    line += ", " +
            std::to_string(static_cast<std::uint64_t>(static_cast<double>(done) /
                                                      static_cast<double>(kMiB) / seconds)) +
            " MiB/s";
  }
  line_.draw(std::move(line));
}
