// The progress line of long file passes, through the built program on a
// pseudo-terminal: shown for a file over 256 MiB (a sparse file keeps that
// cheap), cleared before anything else is printed, absent on a pipe.

#include <gtest/gtest.h>
#include <unistd.h>

#include "evidence_fixture.h"
#include "test_util.h"

namespace {

using test_util::run;

// What a terminal shows after `text` ("\r" returns to the line's start),
// trailing blanks dropped.
std::string screen(std::string_view text) {
  std::string shown, line;
  std::size_t column = 0;
  for (char c : text) {
    if (c == '\r') {
      column = 0;
    } else if (c == '\n') {
      shown += line.erase(line.find_last_not_of(' ') + 1) + "\n";
      line.clear();
      column = 0;
    } else {
      if (column < line.size())
        line[column] = c;
      else
        line.push_back(c);
      ++column;
    }
  }
  return shown + line.erase(line.find_last_not_of(' ') + 1);
}

TEST(ProgressLine, ShownOnATerminalAndClearedBeforeLaterOutput) {
  test_util::TempDir dir;
  // One whole MP4 box of 257 MiB, all but its header a hole.
  const std::string big = dir.file("big.mp4");
  test_util::write_file(big, fixture::be32(257u << 20) + "free");
  ASSERT_EQ(::truncate(big.c_str(), off_t{257} << 20), 0);
  test_util::RunOptions tty;
  tty.stderr_tty = true;
  auto prepared = run({"prepare-attestation", big}, tty);
  ASSERT_EQ(prepared.status, 0) << prepared.err;
  // On a pipe nothing changes; on the terminal the screen ends up the same.
  auto piped = run({"prepare-attestation", big});
  EXPECT_EQ(piped.err.find('\r'), std::string::npos);
  EXPECT_EQ(screen(prepared.err), piped.err);

  test_util::write_file(dir.file("request.json"), prepared.out);
  ASSERT_EQ(run({"sign-attestation", dir.file("request.json"), "--nvr-device-id", "d",
                 "--nvr-key-id", "k", "--nvr-private-key-hex", std::string(64, '1'), "--output",
                 dir.file("envelope.json")})
                .status,
            0);
  const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> cases = {
      {{"embed-evidence", big, dir.file("envelope.json"), "--output", dir.file("out.mp4")},
       {"copying", "checking"}},
      {{"embed-evidence", big, dir.file("envelope.json")}, {"hashing", "copying"}},
      {{"verify", dir.file("out.mp4"), "--output", dir.file("report.json")}, {"hashing"}},
  };
  for (const auto& [args, passes] : cases) {
    SCOPED_TRACE(args[0] + " " + std::to_string(args.size()));
    auto r = run(args, tty);
    ASSERT_EQ(r.status, 0) << r.err;
    std::size_t at = 0;
    for (const std::string& pass : passes) {
      at = r.err.find("\r  " + pass + " 0 of 257 MiB (0%)", at);
      EXPECT_NE(at, std::string::npos) << pass << " in " << r.err;
    }
    EXPECT_EQ(screen(r.err).find("MiB"), std::string::npos) << screen(r.err);
  }
}

}  // namespace
