#pragma once
// Helpers shared by the tests: a temporary directory, file helpers, the
// checked-in test data, and a runner for the built program that captures
// exit status, stdout and stderr (through the emulator in a cross build).

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace test_util {

inline const char* kProgram = VORLANT_BIN;
inline const std::filesystem::path kTestdata = TESTDATA;

/// The emulator's words (empty in a native build).
inline std::vector<std::string> emulator() {
  std::istringstream words(VORLANT_EMULATOR);
  return {std::istream_iterator<std::string>(words), std::istream_iterator<std::string>()};
}
/// True where the built program runs under an emulator (qemu-user).
inline bool under_emulator() { return !emulator().empty(); }
/// The built program as a shell command line starts it.
inline std::string program_command() {
  std::string line;
  for (const std::string& word : emulator()) line += word + " ";
  return line + kProgram;
}

/// The bytes of tests/data/<relative>. A missing file throws, which
/// GoogleTest reports as a failure of the test that needed it, naming the
/// file, instead of the test going on without its data.
inline std::string read_testdata(const std::filesystem::path& relative) {
  const std::filesystem::path path = kTestdata / relative;
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("test data missing: " + path.string());
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

/// Sets an environment variable (or unsets it, for nullptr) while alive and
/// restores what was there before.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ScopedEnv(const char* name, const std::string& value) : ScopedEnv(name, value.c_str()) {}
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vorlant-test-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

inline void write_file(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

/// A key file as a careful operator leaves it: readable by its owner only.
inline void write_key_file(const std::filesystem::path& path, std::string_view bytes) {
  write_file(path, bytes);
  std::filesystem::permissions(
      path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

/// An executable shell script, as the stand-in for ffmpeg or ffprobe.
inline void write_script(const std::string& path, const std::string& body) {
  write_file(path, "#!/bin/sh\n" + body);
  std::filesystem::permissions(path, std::filesystem::perms::owner_all |
                                         std::filesystem::perms::group_read |
                                         std::filesystem::perms::group_exec |
                                         std::filesystem::perms::others_read |
                                         std::filesystem::perms::others_exec);
}

/// Sends this process's standard error to a file while it lives; release()
/// restores it and returns what was written.
class StderrCapture {
 public:
  explicit StderrCapture(std::string path) : path_(std::move(path)) {
    saved_ = ::dup(STDERR_FILENO);
    int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
  }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;
  ~StderrCapture() { release(); }
  std::string release() {
    if (saved_ >= 0) {
      ::dup2(saved_, STDERR_FILENO);
      ::close(saved_);
      saved_ = -1;
    }
    return read_file(path_);
  }

 private:
  std::string path_;
  int saved_ = -1;
};

/// The start of the hidden temporary name an evidence file to `dir/name` is
/// written under by this process: ".NAME.tmp-PID-", a clock stamp and a
/// counter follow.
inline std::string temp_name_prefix(const std::string& dir, const std::string& name) {
  return dir + "/." + name + ".tmp-" + std::to_string(::getpid()) + "-";
}

struct RunResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

struct RunOptions {
  std::string stdin_bytes;
  std::map<std::string, std::optional<std::string>> env;  // nullopt unsets
  std::string cwd;
  bool close_stdout_early = false;  // stdout is a pipe whose reader has gone
  bool stdout_tty = false;          // stdout is a terminal (a pseudo-terminal)
  bool stderr_tty = false;          // stderr is a terminal
};

namespace detail {
// A pseudo-terminal: [0] the side we read, [1] the side the child writes.
inline bool open_pty(int fds[2]) {
  int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return false;
  int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
  if (slave < 0) return false;
  termios raw{};  // bytes pass unchanged: no "\r\n" for "\n"
  ::tcgetattr(slave, &raw);
  ::cfmakeraw(&raw);
  ::tcsetattr(slave, TCSANOW, &raw);
  fds[0] = master;
  fds[1] = slave;
  return true;
}

inline void drain(int fd, std::string& into) {
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    into.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
}
}  // namespace detail

/// Runs `program` (the built binary by default) with args and options.
inline RunResult run(const std::vector<std::string>& args, const RunOptions& options = {},
                     const std::string& program = kProgram) {
  int in[2], out[2], err[2];
  if (::pipe(in) != 0) return {};
  // Reading a terminal whose writers have gone ends with EIO, like an end of file.
  if (options.stdout_tty ? !detail::open_pty(out) : ::pipe(out) != 0) return {};
  if (options.stderr_tty ? !detail::open_pty(err) : ::pipe(err) != 0) return {};
  std::vector<std::string> env_store;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    auto name = entry.substr(0, entry.find('='));
    if (!options.env.contains(name)) env_store.push_back(entry);
  }
  for (const auto& [name, value] : options.env)
    if (value) env_store.push_back(name + "=" + *value);
  std::vector<char*> envp;
  for (auto& e : env_store) envp.push_back(e.data());
  envp.push_back(nullptr);
  // The built program of a cross build is started by its emulator.
  std::vector<std::string> argv_store =
      program == kProgram ? emulator() : std::vector<std::string>{};
  argv_store.push_back(program);
  argv_store.insert(argv_store.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_store) argv.push_back(a.data());
  argv.push_back(nullptr);

  // With no reader left before the child starts, its first write must fail.
  if (options.close_stdout_early) {
    ::close(out[0]);
    out[0] = -1;
  }
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
      if (fd >= 0) ::close(fd);
    if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) ::_exit(127);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  RunResult result;
  std::thread feeder([&] {
    std::string_view rest = options.stdin_bytes;
    while (!rest.empty()) {
      ssize_t n = ::write(in[1], rest.data(), rest.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      rest.remove_prefix(static_cast<std::size_t>(n));
    }
    ::close(in[1]);
  });
  std::thread out_reader([&] {
    if (!options.close_stdout_early) detail::drain(out[0], result.out);
  });
  detail::drain(err[0], result.err);
  out_reader.join();
  feeder.join();
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

inline const char* kOpenssl = "/usr/bin/openssl";

/// Runs the openssl command-line tool, which makes keys as operators do.
inline RunResult openssl(const std::vector<std::string>& args) { return run(args, {}, kOpenssl); }

/// RFC 6979's P-256 example key: a fixed signing key for tests only.
inline constexpr const char* kTestKeyHex =
    "c9afa9d845ba75166b5c215767b1d6934e50c3db36e89b127b8a622b120f6721";

/// The recorder's chain over `media`, as program arguments run in its
/// folder: request.json with PDQ hashes, envelope.json signed with the test
/// key, then `evidence`.
inline std::vector<std::vector<std::string>> evidence_chain(const std::string& media,
                                                            const std::string& evidence) {
  return {{"prepare-attestation", media, "--with-pdq", "-o", "request.json"},
          {"sign-attestation", "request.json", "--nvr-device-id", "nvr-01", "--nvr-key-id",
           "key-01", "--nvr-private-key-hex", kTestKeyHex, "-o", "envelope.json"},
          {"embed-evidence", media, "envelope.json", "-o", evidence}};
}

/// True when ffmpeg and ffprobe are on the search path.
inline bool have_ffmpeg() {
  return std::system("command -v ffmpeg >/dev/null && command -v ffprobe >/dev/null") == 0;
}

/// Runs a program found on the search path, in the directory `cwd`.
inline RunResult run_tool(std::vector<std::string> args, const std::string& cwd) {
  args.insert(args.begin(), {"-c", "exec \"$0\" \"$@\""});
  RunOptions options;
  options.cwd = cwd;
  return run(args, options, "/bin/sh");
}

}  // namespace test_util
