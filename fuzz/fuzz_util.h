#pragma once
// Helpers shared by the fuzz targets: views of the input, a memory file that
// holds it behind a path, the input cut into arguments, a CPU-time budget
// per parser call, and property checks that abort so that libFuzzer keeps
// the input.

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

using Bytes = std::span<const std::uint8_t>;

inline std::string_view as_text(Bytes bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

inline Bytes as_bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

/// Reports a broken property and aborts; libFuzzer then saves the input.
[[noreturn]] inline void broken(std::string_view what) {
  std::fprintf(stderr, "fuzz property broken: %.*s\n", static_cast<int>(what.size()), what.data());
  std::abort();
}

inline void require(bool holds, std::string_view what) {
  if (!holds) broken(what);
}

/// True when the JSON writer in strict mode takes the text, as it must for
/// every text that may end up in a report.
bool is_json_text(std::string_view text);

/// Fault messages are shown to people and written into JSON reports.
void require_message(std::string_view message);

/// The bytes in an anonymous memory file, opened again through its path like
/// any file the program is given.
class MemoryFile {
 public:
  explicit MemoryFile(Bytes bytes) : fd_(::memfd_create("fuzz-input", MFD_CLOEXEC)) {
    require(fd_ >= 0, "memfd_create failed");
    while (!bytes.empty()) {
      ssize_t n = ::write(fd_, bytes.data(), bytes.size());
      require(n > 0, "write to the memory file failed");
      bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  ~MemoryFile() { ::close(fd_); }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;
  const std::string& path() const { return path_; }

 private:
  int fd_;
  std::string path_;
};

/// The input cut at its NUL bytes, which no command-line argument can hold.
inline std::vector<std::string> split_arguments(std::string_view text) {
  std::vector<std::string> args;
  if (text.empty()) return args;
  for (;;) {
    std::size_t end = text.find('\0');
    args.emplace_back(text.substr(0, end));
    if (end == std::string_view::npos) return args;
    text.remove_prefix(end + 1);
  }
}

/// The CPU time one parser call may take, from VORLANT_FUZZ_BUDGET_MS (0 turns
/// the check off). Unset, 100 ms, the bound for any input of up to 1 MiB; in
/// a sanitizer or coverage build, where code runs up to ten times slower, 1 s.
long budget_ms();

/// CPU time used by this thread so far.
double cpu_seconds();

/// The CPU time of the slowest timed call since the driver last reset it.
extern double slowest_call_ms;

/// Runs one parser call and aborts when it took more CPU time than the
/// budget. CPU time, unlike the wall clock, stays steady on a busy machine;
/// libFuzzer's own -timeout counts whole seconds only.
template <class Call>
auto timed(std::size_t input_size, Call&& call) {
  const double start = cpu_seconds();
  auto result = call();
  const double spent_ms = (cpu_seconds() - start) * 1e3;
  slowest_call_ms = std::max(slowest_call_ms, spent_ms);
  if (budget_ms() > 0 && spent_ms > static_cast<double>(budget_ms())) {
    std::fprintf(stderr,
                 "fuzz budget exceeded: %.1f ms of CPU time for %zu input bytes (limit %ld ms)\n",
                 spent_ms, input_size, budget_ms());
    std::abort();
  }
  return result;
}

}  // namespace fuzz
