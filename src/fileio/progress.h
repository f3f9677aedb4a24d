#pragma once
// A self-overwriting progress line on standard error for long passes over
// large files (hashing, copying), so a multi-gigabyte run shows it is alive.

#include <cstdint>
#include <string>

/// Writes `line` and a newline to standard error, best effort: a closed
/// standard error must not fail a command.
void status(const std::string& line);

/// A monotonic clock in nanoseconds, for rates.
std::uint64_t monotonic_ns();

/// A self-overwriting line on standard error for a person watching it:
/// redrawn at most four times a second, and never drawn at all unless
/// standard error is a terminal.
class StatusLine {
 public:
  StatusLine();
  StatusLine(const StatusLine&) = delete;
  StatusLine& operator=(const StatusLine&) = delete;
  ~StatusLine() { clear(); }

  bool on_terminal() const { return terminal_; }
  /// True on a terminal when nothing was drawn yet or the last drawing is a
  /// quarter of a second old.
  bool due() const;
  /// Draws `text` over the line (on a terminal only).
  void draw(std::string text);
  /// Blanks the line, if one is drawn, so later output starts on a clean line.
  void clear();

 private:
  bool terminal_ = false;
  std::uint64_t drawn_ns_ = 0;
  std::size_t drawn_width_ = 0;  // 0: nothing drawn
};

/// Shows "\r  LABEL N of T MiB (P%), R MiB/s" on standard error while a pass
/// runs, redrawn at most four times a second, and clears it when the pass
/// ends. Writes nothing at all unless standard error is a terminal and the
/// pass covers more than 256 MiB.
class Progress {
 public:
  explicit Progress(std::string label) : label_(std::move(label)) {}
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  ~Progress() { finish(); }

  /// Starts a pass over `total` bytes (0 when unknown: nothing is shown).
  void start(std::uint64_t total);
  /// Counts `bytes` more as done.
  void advance(std::uint64_t bytes);
  /// Clears the line, if one is shown, so later output starts on a clean line.
  void finish();

 private:
  void draw(std::uint64_t now_ns);

  std::string label_;
  StatusLine line_;
  bool shown_ = false;
  std::uint64_t total_ = 0;
  std::uint64_t done_ = 0;
  std::uint64_t started_ns_ = 0;
};

/// One pass of a loop over a file: started on construction, finished on
/// every way out of the loop. A null reporter shows nothing.
class ProgressPass {
 public:
  ProgressPass(Progress* progress, std::uint64_t total) : progress_(progress) {
    if (progress_) progress_->start(total);
  }
  ProgressPass(const ProgressPass&) = delete;
  ProgressPass& operator=(const ProgressPass&) = delete;
  ~ProgressPass() {
    if (progress_) progress_->finish();
  }
  void advance(std::uint64_t bytes) {
    if (progress_) progress_->advance(bytes);
  }

 private:
  Progress* progress_;
};
