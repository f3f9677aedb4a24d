// The worker processes behind run_in_workers. Each has a pipe of item
// numbers from the parent and a pipe of answers back (a length, then the
// bytes, in one write). A worker holds no end of another's pipes and dies
// with the parent, so a parent killed at any moment leaves no worker behind;
// the end of its item pipe is a worker's signal to exit.

#include "fileio/worker_pool.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "fileio/fd.h"

namespace {

// A worker's answer is our own text; anything longer is a broken worker.
constexpr std::uint64_t kMaxAnswerBytes = 1ull << 30;

using Work = std::function<std::string(std::size_t)>;

struct Worker {
  pid_t pid = -1;
  Fd items;                         // the parent's end: item numbers go out
  Fd answers;                       // the parent's end: answers come back
  std::optional<std::size_t> item;  // the item in hand
};

std::span<std::uint8_t> bytes_of(std::uint64_t& value) {
  return {reinterpret_cast<std::uint8_t*>(&value), sizeof value};
}

// The standard streams go to the null device: a worker's own progress line
// would garble the parent's, and an output pipe must reach its end as soon
// as the parent closes it.
void quiet_standard_streams() {
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null < 0) ::_exit(1);
  for (int stream : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) ::dup2(null, stream);
  ::close(null);
}

[[noreturn]] void serve(int items, int answers, const Work& work) {
  for (;;) {
    std::uint64_t item = 0;
    if (!read_exact(items, bytes_of(item))) ::_exit(0);
    const std::string text = work(static_cast<std::size_t>(item));
    std::uint64_t length = text.size();
    std::string message(reinterpret_cast<const char*>(&length), sizeof length);
    message += text;
    if (!write_all(answers, message)) ::_exit(1);
  }
}

Result<Worker> start_worker(const std::vector<Worker>& others, const Work& work) {
  int items[2], answers[2];
  if (::pipe2(items, O_CLOEXEC) != 0) return fail("pipe: " + format_io_error(errno));
  Fd item_read(items[0]), item_write(items[1]);
  if (::pipe2(answers, O_CLOEXEC) != 0) return fail("pipe: " + format_io_error(errno));
  Fd answer_read(answers[0]), answer_write(answers[1]);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) return fail("start a worker process: " + format_io_error(errno));
  if (pid == 0) {
    // Checked after arming, in case the parent died before. Where the call
    // is not served (an emulator), the end of the item pipe still ends the
    // worker once the parent has gone.
    (void)::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(1);
    for (const Worker& w : others) {
      ::close(w.items.get());
      ::close(w.answers.get());
    }
    ::close(item_write.get());
    ::close(answer_read.get());
    quiet_standard_streams();
    serve(item_read.get(), answer_write.get(), work);
  }
  return Worker{pid, std::move(item_write), std::move(answer_read), std::nullopt};
}

std::string ending_of(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return "not waited for: " + format_io_error(errno);
  }
  if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
  return "exit status " + std::to_string(WEXITSTATUS(status));
}

// The answer to the worker's item; a worker that ended is reaped here.
WorkerAnswer receive(Worker& w) {
  std::uint64_t length = 0;
  std::string text;
  bool whole = static_cast<bool>(read_exact(w.answers.get(), bytes_of(length)));
  if (whole && length <= kMaxAnswerBytes) {
    text.resize(static_cast<std::size_t>(length));
    whole = static_cast<bool>(
        read_exact(w.answers.get(), {reinterpret_cast<std::uint8_t*>(text.data()), text.size()}));
    if (whole) return text;
  }
  ::kill(w.pid, SIGKILL);
  const std::string ending = ending_of(w.pid);
  w.pid = -1;
  return fail("worker process ended without an answer (" + ending + ")");
}

class Pool {
 public:
  explicit Pool(const Work& work) : work_(work) {}
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;
  // Busy workers are killed, idle ones see their item pipe end; all are reaped.
  ~Pool() {
    for (Worker& w : workers_) {
      if (w.pid < 0) continue;
      if (w.item) ::kill(w.pid, SIGKILL);
      w.items = Fd();
      (void)ending_of(w.pid);
    }
  }

  /// Gives worker i the item; a worker not started yet (i is the next
  /// number), or one that ended, is started first.
  Result<void> hand(std::size_t i, std::size_t item) {
    if (i == workers_.size()) workers_.emplace_back();
    if (workers_[i].pid < 0) {
      auto worker = start_worker(workers_, work_);
      if (!worker) return fail(worker.error());
      workers_[i] = std::move(*worker);
    }
    std::uint64_t number = item;
    if (auto sent = write_all(workers_[i].items.get(), bytes_of(number)); !sent) {
      return fail("hand an item to a worker process: " + sent.error());
    }
    workers_[i].item = item;
    return {};
  }

  /// The workers that hold an item and have something to read, waiting for one.
  std::vector<std::size_t> ready() {
    std::vector<pollfd> polled;
    std::vector<std::size_t> which;
    for (std::size_t i = 0; i < workers_.size(); ++i) {
      if (!workers_[i].item) continue;
      polled.push_back({workers_[i].answers.get(), POLLIN, 0});
      which.push_back(i);
    }
    while (::poll(polled.data(), polled.size(), -1) < 0 && errno == EINTR) {
    }
    std::vector<std::size_t> out;
    for (std::size_t k = 0; k < polled.size(); ++k) {
      if (polled[k].revents != 0) out.push_back(which[k]);
    }
    return out;
  }

  /// The item worker i held and its answer; the worker is free again.
  std::pair<std::size_t, WorkerAnswer> take(std::size_t i) {
    Worker& w = workers_[i];
    WorkerAnswer answer = receive(w);
    const std::size_t item = *w.item;
    w.item.reset();
    return {item, std::move(answer)};
  }

 private:
  const Work& work_;
  std::vector<Worker> workers_;
};

}  // namespace

unsigned online_processors() {
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<unsigned>(online) : 1u;
}

Result<void> run_in_workers(std::size_t count, unsigned workers, const Work& work,
                            const std::function<Result<void>(std::size_t, WorkerAnswer)>& done) {
  Pool pool(work);
  std::size_t next = 0;
  std::size_t busy = 0;
  for (unsigned i = 0; i < workers && next < count; ++i, ++busy) {
    if (auto handed = pool.hand(i, next++); !handed) return handed;
  }
  while (busy > 0) {
    for (std::size_t i : pool.ready()) {
      auto [item, answer] = pool.take(i);
      --busy;
      if (auto r = done(item, std::move(answer)); !r) return r;
      if (next == count) continue;
      if (auto handed = pool.hand(i, next++); !handed) return handed;
      ++busy;
    }
  }
  return {};
}
