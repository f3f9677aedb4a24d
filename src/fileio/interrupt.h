#pragma once
// What an interrupted run leaves behind. While a guard is alive, SIGINT,
// SIGTERM or SIGHUP removes the temporary file being written and stops the
// child being read, then ends the process with status 1 and an "error: "
// line naming the signal: the one place besides main that ends the process,
// because a signal leaves no caller to return to.

#include <signal.h>
#include <sys/types.h>

#include <string>

/// While alive, an interrupting signal removes `path` before the process ends.
class RemoveOnInterrupt {
 public:
  explicit RemoveOnInterrupt(const std::string& path);
  ~RemoveOnInterrupt();
  RemoveOnInterrupt(const RemoveOnInterrupt&) = delete;
  RemoveOnInterrupt& operator=(const RemoveOnInterrupt&) = delete;
};

/// While alive, an interrupting signal kills and reaps `pid` before the process ends.
class StopOnInterrupt {
 public:
  explicit StopOnInterrupt(pid_t pid);
  ~StopOnInterrupt();
  StopOnInterrupt(const StopOnInterrupt&) = delete;
  StopOnInterrupt& operator=(const StopOnInterrupt&) = delete;
};

/// While alive, interrupting signals wait: a file created and then guarded
/// under it is never left behind by a signal that came in between.
class InterruptsHeld {
 public:
  InterruptsHeld();
  ~InterruptsHeld();
  InterruptsHeld(const InterruptsHeld&) = delete;
  InterruptsHeld& operator=(const InterruptsHeld&) = delete;
  /// The signal mask from before: what a child started meanwhile should get.
  const sigset_t& previous() const { return previous_; }

 private:
  sigset_t previous_;
};
