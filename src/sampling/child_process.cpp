// Child processes for frame sampling. posix_spawnp with an argument vector
// keeps paths and filter texts away from any shell; every pipe end is
// close-on-exec so a child holds only the ends it was given, and SIGPIPE is
// restored to its default in the child so that an ffmpeg whose reader went
// away ends instead of spinning on write errors.

#include "sampling/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <utility>
#include <vector>

#include "encoding/text.h"
#include "fileio/fileio.h"

extern char** environ;

namespace {

// Owners of the spawn descriptions, destroyed only once initialised.
struct SpawnActions {
  posix_spawn_file_actions_t actions;
  bool ready = false;
  ~SpawnActions() {
    if (ready) posix_spawn_file_actions_destroy(&actions);
  }
};

struct SpawnAttributes {
  posix_spawnattr_t attributes;
  bool ready = false;
  ~SpawnAttributes() {
    if (ready) posix_spawnattr_destroy(&attributes);
  }
};

struct Pipe {
  Fd read;
  Fd write;
};

Result<Pipe> make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return fail(format_io_error(errno));
  return Pipe{Fd(fds[0]), Fd(fds[1])};
}

// Standard input is always the null device; stderr_fd < 0 leaves ours. With
// `mask`, the child starts with that signal mask instead of ours.
Result<pid_t> spawn(const std::string& program, std::span<const std::string> args, int stdout_fd,
                    int stderr_fd, const sigset_t* mask = nullptr) {
  // Each call reports an error number; the first one fails the start.
  int rc = 0;
  auto check = [&rc](int result) { return (rc = result) == 0; };
  SpawnActions files;
  if (!check(posix_spawn_file_actions_init(&files.actions))) return fail(format_io_error(rc));
  files.ready = true;
  if (!check(posix_spawn_file_actions_addopen(&files.actions, STDIN_FILENO, "/dev/null", O_RDONLY,
                                              0)) ||
      !check(posix_spawn_file_actions_adddup2(&files.actions, stdout_fd, STDOUT_FILENO)) ||
      (stderr_fd >= 0 &&
       !check(posix_spawn_file_actions_adddup2(&files.actions, stderr_fd, STDERR_FILENO)))) {
    return fail(format_io_error(rc));
  }

  SpawnAttributes attributes;
  if (!check(posix_spawnattr_init(&attributes.attributes))) return fail(format_io_error(rc));
  attributes.ready = true;
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  short flags = POSIX_SPAWN_SETSIGDEF;
  if (mask != nullptr) flags |= POSIX_SPAWN_SETSIGMASK;
  if (!check(posix_spawnattr_setsigdefault(&attributes.attributes, &defaults)) ||
      (mask != nullptr && !check(posix_spawnattr_setsigmask(&attributes.attributes, mask))) ||
      !check(posix_spawnattr_setflags(&attributes.attributes, flags))) {
    return fail(format_io_error(rc));
  }

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  pid_t pid = -1;
  if (!check(::posix_spawnp(&pid, program.c_str(), &files.actions, &attributes.attributes,
                            argv.data(), environ))) {
    return fail(format_io_error(rc));
  }
  return pid;
}

// A child given up on is never left running or unreaped.
void kill_and_reap(pid_t pid) {
  ::kill(pid, SIGKILL);
  (void)wait_child(pid);
}

}  // namespace

std::string program_from_env(const char* variable, const char* fallback) {
  const char* value = std::getenv(variable);
  if (value == nullptr || !is_valid_utf8(value)) return fallback;
  return value;
}

PipedChild::PipedChild(pid_t pid, Fd output)
    : pid_(pid), output_(std::move(output)), on_interrupt_(std::make_unique<StopOnInterrupt>(pid)) {}

PipedChild::PipedChild(PipedChild&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      output_(std::move(other.output_)),
      on_interrupt_(std::move(other.on_interrupt_)) {}

PipedChild::~PipedChild() {
  if (pid_ <= 0) return;
  output_ = Fd();
  kill_and_reap(pid_);
}

Result<int> PipedChild::wait() {
  output_ = Fd();
  auto status = wait_child(pid_);
  // Reaped, or not ours to reap any more: nothing is left to stop.
  pid_ = -1;
  on_interrupt_.reset();
  return status;
}

Result<PipedChild> spawn_piped(const std::string& program, std::span<const std::string> args) {
  auto pipe = make_pipe();
  if (!pipe) return fail(pipe.error());
  // Interrupts wait until the child's guard is armed: one coming between
  // the two would end us and leave the child running until it next writes.
  InterruptsHeld held;
  auto pid = spawn(program, args, pipe->write.get(), -1, &held.previous());
  if (!pid) return fail(pid.error());
  return PipedChild(*pid, std::move(pipe->read));
}

Result<int> wait_child(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return fail(format_io_error(errno));
  }
  return status;
}

bool exited_successfully(int wait_status) {
  return WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0;
}

std::string describe_exit(int wait_status) {
  if (WIFEXITED(wait_status)) return "exit status: " + std::to_string(WEXITSTATUS(wait_status));
  if (WIFSIGNALED(wait_status)) return "signal: " + std::to_string(WTERMSIG(wait_status));
  return "wait status: " + std::to_string(wait_status);
}

Result<CapturedChild> CapturedChild::start(const std::string& program,
                                           std::span<const std::string> args,
                                           std::size_t output_limit) {
  auto out = make_pipe();
  if (!out) return fail(out.error());
  auto err = make_pipe();
  if (!err) return fail(err.error());
  auto pid = spawn(program, args, out->write.get(), err->write.get());
  if (!pid) return fail(pid.error());
  return CapturedChild(*pid, std::move(out->read), std::move(err->read), output_limit);
}

CapturedChild::CapturedChild(pid_t pid, Fd out, Fd err, std::size_t output_limit)
    : pid_(pid), out_(std::move(out)), err_(std::move(err)), output_limit_(output_limit) {}

CapturedChild::CapturedChild(CapturedChild&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      out_(std::move(other.out_)),
      err_(std::move(other.err_)),
      output_limit_(other.output_limit_),
      run_(std::move(other.run_)) {}

CapturedChild::~CapturedChild() {
  if (pid_ <= 0) return;
  out_ = Fd();
  err_ = Fd();
  kill_and_reap(pid_);
}

bool CapturedChild::pump(bool wait) {
  // Both pipes are drained together so that a chatty child can never block
  // on the one we are not reading.
  char chunk[4096];
  while (out_.valid() || err_.valid()) {
    pollfd fds[2] = {{out_.get(), POLLIN, 0}, {err_.get(), POLLIN, 0}};
    const int ready = ::poll(fds, 2, wait ? -1 : 0);
    if (ready == 0) return false;
    if (ready < 0) {
      if (errno == EINTR) continue;
      // A child still writing gets a broken pipe rather than blocking the
      // wait for its exit.
      out_ = Fd();
      err_ = Fd();
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = ::read(fds[i].fd, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        (i == 0 ? out_ : err_) = Fd();
        continue;
      }
      if (i == 1) continue;
      std::size_t room = output_limit_ - run_.output.size();
      std::size_t take = std::min(room, static_cast<std::size_t>(n));
      run_.output.append(chunk, take);
      if (take < static_cast<std::size_t>(n)) run_.output_cut = true;
    }
  }
  return true;
}

Result<CapturedRun> CapturedChild::finish() {
  pump(true);
  auto status = wait_child(pid_);
  // Reaped, or not ours to reap any more.
  pid_ = -1;
  if (!status) return fail(status.error());
  run_.wait_status = *status;
  return std::move(run_);
}
