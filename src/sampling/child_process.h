#pragma once
// Starting ffprobe and ffmpeg: an argument vector, never a shell, standard
// input on the null device, and the exit judged from the wait status.

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <span>
#include <string>

#include "fileio/fd.h"
#include "fileio/interrupt.h"
#include "result.h"

/// The program named by an environment variable, or `fallback` when the
/// variable is unset or not UTF-8. Read anew at every call.
std::string program_from_env(const char* variable, const char* fallback);

/// A started child whose standard output is the read end of `output()`. A
/// child not waited for is killed and reaped when this goes away, and also
/// when SIGINT, SIGTERM or SIGHUP ends the run, so no way out of a command
/// leaves it running.
class PipedChild {
 public:
  PipedChild(pid_t pid, Fd output);
  PipedChild(PipedChild&& other) noexcept;
  PipedChild& operator=(PipedChild&&) = delete;
  ~PipedChild();

  pid_t pid() const { return pid_; }
  Fd& output() { return output_; }
  /// Closes the pipe and waits for the exit: the wait status, or the wait's
  /// error text.
  Result<int> wait();

 private:
  pid_t pid_;
  Fd output_;
  std::unique_ptr<StopOnInterrupt> on_interrupt_;
};

/// Starts `program` (searched on PATH unless it has a slash) with `args`;
/// standard error is inherited. Fails with the system's error text.
Result<PipedChild> spawn_piped(const std::string& program, std::span<const std::string> args);

/// The wait status of the child once it has ended, or the wait error text.
Result<int> wait_child(pid_t pid);

/// True for a normal exit with status 0.
bool exited_successfully(int wait_status);

/// "exit status: N" for a normal exit, "signal: N" for a child ended by one.
std::string describe_exit(int wait_status);

struct CapturedRun {
  int wait_status = 0;
  std::string output;  // standard output, cut at the capture limit
  bool output_cut = false;
};

/// A child whose standard output is captured (up to `output_limit` bytes)
/// and whose standard error is read and thrown away, driven by its owner:
/// `pump` takes what the pipes hold, so the same thread can do other work
/// while the child runs. A child not finished is killed and reaped when
/// this goes away.
class CapturedChild {
 public:
  /// Starts `program`; fails with the system's error text.
  static Result<CapturedChild> start(const std::string& program,
                                     std::span<const std::string> args, std::size_t output_limit);
  CapturedChild(CapturedChild&& other) noexcept;
  CapturedChild& operator=(CapturedChild&&) = delete;
  ~CapturedChild();

  /// Reads what the pipes hold; with `wait`, until the child has closed
  /// both. True once both are closed.
  bool pump(bool wait);
  /// Pumps to the end and waits for the exit.
  Result<CapturedRun> finish();

 private:
  CapturedChild(pid_t pid, Fd out, Fd err, std::size_t output_limit);

  pid_t pid_;
  Fd out_;
  Fd err_;
  std::size_t output_limit_;
  CapturedRun run_;
};
