// The progress line of long file passes, through the built program on a
// pseudo-terminal: shown for a file over 256 MiB (a sparse file keeps that
// cheap), cleared before anything else is printed, absent on a pipe.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "evidence_fixture.h"
#include "test_util.h"

namespace {

using test_util::run;
using test_util::TempDir;

constexpr std::uint64_t kBigSize = 257ull * 1024 * 1024;
constexpr std::string_view kKeyHex =
    "c9afa9d845ba75166b5c215767b1d6934e50c3db36e89b127b8a622b120f6721";

// What a terminal shows after `text`: "\r" returns to the start of the line,
// later characters overwrite, "\n" starts a new line. Trailing blanks dropped.
std::string screen(std::string_view text) {
  std::vector<std::string> lines(1);
  std::size_t column = 0;
  for (char c : text) {
    if (c == '\r') {
      column = 0;
    } else if (c == '\n') {
      lines.emplace_back();
      column = 0;
    } else {
      std::string& line = lines.back();
      if (column < line.size()) line[column] = c; else line.push_back(c);
      ++column;
    }
  }
  std::string shown;
  for (std::string& line : lines) {
    line.erase(line.find_last_not_of(' ') + 1);
    shown += line + "\n";
  }
  return shown;
}

test_util::RunResult run_on_terminal(const std::vector<std::string>& args) {
  test_util::RunOptions options;
  options.stderr_tty = true;
  return run(args, options);
}

// One whole MP4 box of kBigSize bytes, all but its header a hole.
std::string make_big_recording(const TempDir& dir) {
  const std::string path = dir.file("big.mp4");
  test_util::write_file(path, fixture::be32(static_cast<std::uint32_t>(kBigSize)) + "free");
  EXPECT_EQ(::truncate(path.c_str(), static_cast<off_t>(kBigSize)), 0);
  return path;
}

TEST(ProgressLine, ShownOnATerminalAndClearedBeforeLaterOutput) {
  TempDir dir;
  const std::string big = make_big_recording(dir);
  auto prepared = run_on_terminal({"prepare-attestation", big});
  ASSERT_EQ(prepared.status, 0) << prepared.err;
  // On a pipe nothing changes; on the terminal the screen ends up the same.
  auto piped = run({"prepare-attestation", big});
  EXPECT_EQ(piped.out, prepared.out);
  EXPECT_EQ(piped.err.find('\r'), std::string::npos);
  EXPECT_EQ(screen(prepared.err), screen(piped.err));

  test_util::write_file(dir.file("request.json"), prepared.out);
  auto signed_run = run({"sign-attestation", dir.file("request.json"), "--nvr-device-id", "d",
                         "--nvr-key-id", "k", "--nvr-private-key-hex", std::string(kKeyHex),
                         "--output", dir.file("envelope.json")});
  ASSERT_EQ(signed_run.status, 0) << signed_run.err;

  struct Case {
    std::string name;
    std::vector<std::string> args;
    std::vector<std::string> passes;
  };
  const std::vector<Case> cases = {
      {"prepare", {"prepare-attestation", big}, {"hashing"}},
      {"embed to a path",
       {"embed-evidence", big, dir.file("envelope.json"), "--output", dir.file("out.mp4")},
       {"copying", "checking"}},
      {"embed to stdout", {"embed-evidence", big, dir.file("envelope.json")},
       {"hashing", "copying"}},
      {"verify", {"verify", dir.file("out.mp4"), "--output", dir.file("report.json")},
       {"hashing"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = c.name == "prepare" ? prepared : run_on_terminal(c.args);
    ASSERT_EQ(r.status, 0) << r.err;
    std::size_t at = 0;
    for (const std::string& pass : c.passes) {
      at = r.err.find("\r  " + pass + " 0 of 257 MiB (0%)", at);
      EXPECT_NE(at, std::string::npos) << pass << " in " << r.err;
    }
    const std::string shown = screen(r.err);
    EXPECT_EQ(shown.find("MiB"), std::string::npos) << shown;
  }
}

}  // namespace
