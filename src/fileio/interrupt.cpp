// The interrupt handler and its state. The handler only calls functions that
// are safe in a signal handler (unlink, kill, waitpid, write, _exit) and reads
// state that was complete before the guard armed it.

#include "fileio/interrupt.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

char g_path[PATH_MAX + 1];
std::atomic<bool> g_remove_path{false};
std::atomic<pid_t> g_child{-1};
int g_guards = 0;  // guards alive; the handlers are installed while it is above 0
struct sigaction g_previous[sizeof kSignals / sizeof kSignals[0]];

void write_text(const char* text) { (void)!::write(STDERR_FILENO, text, std::strlen(text)); }

void on_interrupt(int signal) {
  if (g_remove_path.load()) ::unlink(g_path);
  if (pid_t child = g_child.load(); child > 0) {
    ::kill(child, SIGKILL);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
  }
  const char* name = signal == SIGINT ? "SIGINT" : signal == SIGTERM ? "SIGTERM" : "SIGHUP";
  write_text("error: interrupted by ");
  write_text(name);
  write_text("\n");
  ::_exit(1);
}

void add_guard() {
  if (g_guards++ > 0) return;
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  for (int s : kSignals) sigaddset(&action.sa_mask, s);  // one handler run at a time
  for (std::size_t i = 0; i < std::size(kSignals); ++i) {
    ::sigaction(kSignals[i], &action, &g_previous[i]);
  }
}

void remove_guard() {
  if (--g_guards > 0) return;
  for (std::size_t i = 0; i < std::size(kSignals); ++i) {
    ::sigaction(kSignals[i], &g_previous[i], nullptr);
  }
}

}  // namespace

RemoveOnInterrupt::RemoveOnInterrupt(const std::string& path) {
  // A path too long for the buffer could not have been created either.
  if (path.size() < sizeof g_path) {
    std::memcpy(g_path, path.c_str(), path.size() + 1);
    g_remove_path.store(true);
  }
  add_guard();
}

RemoveOnInterrupt::~RemoveOnInterrupt() {
  g_remove_path.store(false);
  remove_guard();
}

StopOnInterrupt::StopOnInterrupt(pid_t pid) {
  g_child.store(pid);
  add_guard();
}

StopOnInterrupt::~StopOnInterrupt() {
  g_child.store(-1);
  remove_guard();
}

InterruptsHeld::InterruptsHeld() {
  sigset_t held;
  sigemptyset(&held);
  for (int s : kSignals) sigaddset(&held, s);
  ::sigprocmask(SIG_BLOCK, &held, &previous_);
}

// A signal that came while held is delivered here, to the guards armed by then.
InterruptsHeld::~InterruptsHeld() { ::sigprocmask(SIG_SETMASK, &previous_, nullptr); }
