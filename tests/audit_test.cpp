// The audit command through the built program: a case folder with good,
// tampered, cut-short, foreign, unreadable and vanishing files; the line of
// each, the summary, a resume after SIGKILL at random moments, and shards.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "evidence_fixture.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;
using test_util::RunOptions;
using test_util::TempDir;
using test_util::write_file;

constexpr std::string_view kWarning =
    "warning: NOT AUTHENTICATED. The CLI checked file structure and the self-signed source-byte "
    "binding only. The signing key was read from the file itself and was not confirmed against "
    "the evidence registry. Use the browser verify flow for an authenticity (GREEN) result.\n";

// verify's report of the plain evidence file without manifest_b64, with the
// file's status, size and time.
constexpr std::string_view kOkLine =
    R"({"authenticated":false,"chain_of_custody":"partial","detail":"Self-signed structural and source-byte checks passed. This is NOT an authenticity result: the signing key was read from the file itself and not confirmed against the registry. Use the browser verify flow for authenticity.","evidence_box_bytes":708,"evidence_box_offset":28,"file_integrity":"match","input":"case/a.mp4","manifest_sha256_hex":"a4d052ba667a18f274f1ac4c42d9f501219b79b5a0bb59161865b7e21d1a120d","mtime_ns":1700000000123456789,"nvr_device_id":"nvr-01","nvr_key_id":"key-01","nvr_pubkey_hex":"0460fed4ba255a9d31c961eb74c6356d68c049b8923b61fa6ce669622e60f29fb67903fe1008b8bc99a41ae9e95628bc64f2f1b20c2d7e9f5177a3c294d4462299","nvr_sig_alg":"ES256-P1363","nvr_sig_hex":"5b0395d31b30e39eb334b885c02209f2821eaebd625ff674f109b3eb1f57d7d9d628c21234d48c59407409597a2c54cc91768a70451a70b4cd954f5b6e9b81d8","purpose":"zq.evidence.verify_result.v1","registry_base":"","registry_confirmation":"unavailable","self_signed_exact_binding":"ok","signature":"valid","signed_at_ms":1700000000000,"size":736,"source_hash_scope":"original_file_bytes_sha256_v1","source_sha256_hex":"01e0f45099e3d95e64ef94580220576c10e35e289282bf695610f7b9ce2fbd7c","source_size":28,"status":"ok","v":1,"verdict":"RED"})";

const std::string kEvidence = fixture::evidence_file(fixture::kPlainEnvelope);

std::string tampered() {
  std::string bytes = kEvidence;
  bytes[22] ^= 0x01;  // inside the free box's payload
  return bytes;
}

// The case folder: what a walk takes (and skips) under case/.
void make_case(const TempDir& dir) {
  const fs::path c = dir.path() / "case";
  fs::create_directories(c / "sub");
  fs::create_directories(c / "x.mp4");  // a directory, walked whatever its name
  write_file(c / "a.mp4", kEvidence);
  const timespec times[2] = {{1700000000, 123456789}, {1700000000, 123456789}};
  ::utimensat(AT_FDCWD, (c / "a.mp4").c_str(), times, 0);
  write_file(c / "B.MOV", fixture::evidence_file(fixture::kFullEnvelope));
  write_file(c / "sub" / "c.m4v", kEvidence);
  write_file(c / "x.mp4" / "d.mp4", tampered());
  write_file(c / "cut.mp4", kEvidence.substr(0, 500));
  write_file(c / "notes.mp4", "not a recording\n");
  write_file(c / "plain.mp4", fixture::kSource);
  write_file(c / "readme.txt", kEvidence);
  fs::create_symlink("a.mp4", c / "link.mp4");
  fs::create_symlink("nowhere.mp4", c / "loop.mp4");
}

// Inputs are named relative to the folder, so lines and shards are the same
// in every temporary directory. As root every file can be read, so there the
// program runs as the unprivileged user nobody.
test_util::RunResult audit(const TempDir& dir, std::vector<std::string> args,
                           bool unprivileged = false) {
  RunOptions options;
  options.cwd = dir.path().string();
  args.insert(args.begin(), "audit");
  if (!unprivileged || ::geteuid() != 0) return test_util::run(args, options);
  std::vector<std::string> as_nobody = {"--reuid=65534", "--regid=65534", "--clear-groups"};
  for (const std::string& word : test_util::emulator()) as_nobody.push_back(word);
  as_nobody.push_back(test_util::kProgram);
  as_nobody.insert(as_nobody.end(), args.begin(), args.end());
  return test_util::run(as_nobody, options, "/usr/bin/setpriv");
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

nlohmann::json parsed(const std::string& line) { return nlohmann::json::parse(line); }

TEST(Audit, EachFileJudgedAsVerifyJudgesIt) {
  TempDir dir;
  make_case(dir);
  fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
  write_file(dir.file("case/locked.mp4"), kEvidence);
  fs::permissions(dir.file("case/locked.mp4"), fs::perms::none);
  ASSERT_EQ(::mkfifo(dir.file("pipe.mp4").c_str(), 0644), 0);
  // Where an ancestor directory is closed to other users (some chroots), the
  // unprivileged user cannot run the program here and the case says nothing.
  if (audit(dir, {"--jobs"}, true).err != "error: --jobs requires a value\n") {
    GTEST_SKIP() << "the unprivileged user cannot run the program in " << dir.path();
  }
  const struct {
    std::string input, status, error;
  } kLines[] = {
      {"case/B.MOV", "ok", ""},
      {"case/a.mp4", "ok", ""},
      {"case/cut.mp4", "fail", "Evidence envelope is malformed: malformed MP4 box at offset 28"},
      {"case/locked.mp4", "error", "open case/locked.mp4: Permission denied (os error 13)"},
      {"case/notes.mp4", "fail", "Evidence envelope is malformed: malformed MP4 box at offset 0"},
      {"case/plain.mp4", "fail", "No signed evidence envelope found."},
      {"case/sub/c.m4v", "ok", ""},
      {"case/x.mp4/d.mp4", "fail", "File integrity check failed."},
      {"case/link.mp4", "ok", ""},
      {"gone.mp4", "error", "open gone.mp4: No such file or directory (os error 2)"},
      {"pipe.mp4", "error", "pipe.mp4 is not a regular file"},
  };
  std::map<std::string, std::vector<std::string>> runs;
  for (const char* jobs : {"1", "2"}) {
    SCOPED_TRACE(std::string("--jobs ") + jobs);
    auto r = audit(dir,
                   {"case", "case/link.mp4", "gone.mp4", "pipe.mp4", "case/a.mp4", "--recursive",
                    "--jobs", jobs},
                   true);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string(kWarning) +
                         "==> 11 files: 4 ok, 4 failed, 3 errors; JSON Lines on standard output\n"
                         "error: 7 of 11 files did not pass\n");
    runs[jobs] = lines_of(r.out);
  }
  // One worker finishes the files in the order walked.
  const std::vector<std::string>& lines = runs["1"];
  ASSERT_EQ(lines.size(), std::size(kLines));
  for (std::size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(kLines[i].input);
    const nlohmann::json line = parsed(lines[i]);
    EXPECT_EQ(line["input"], kLines[i].input);
    EXPECT_EQ(line["status"], kLines[i].status);
    EXPECT_EQ(line.value("error", ""), kLines[i].error);
    EXPECT_FALSE(line.contains("manifest_b64"));
    // Stamped whenever the file could be stat'ed.
    EXPECT_EQ(line.contains("size") && line.contains("mtime_ns"), kLines[i].input != "gone.mp4");
  }
  EXPECT_EQ(lines[1], kOkLine);
  std::vector<std::string> one = runs["1"], two = runs["2"];
  std::sort(one.begin(), one.end());
  std::sort(two.begin(), two.end());
  EXPECT_EQ(one, two);
}

TEST(Audit, UsageErrorsWriteNothing) {
  TempDir dir;
  make_case(dir);
  const struct {
    std::vector<std::string> args;
    std::string error;
  } cases[] = {
      {{"case"}, "case is a directory (walk it with --recursive)"},
      {{"case", "--recursive", "--output", "case/a.mp4"},
       "output path must differ from input path"},
      {{"case/a.mp4", "--output", "case/link.mp4"}, "output path must differ from input path"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    auto r = audit(dir, c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "error: " + c.error + "\n");
  }
  EXPECT_EQ(test_util::read_file(dir.file("case/a.mp4")), kEvidence);
}

// The program with standard output and error on the given descriptors.
pid_t start(const TempDir& dir, std::vector<std::string> args, int out, int err) {
  args.insert(args.begin(), "audit");
  std::vector<std::string> words = test_util::emulator();
  words.push_back(test_util::kProgram);
  words.insert(words.end(), args.begin(), args.end());
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    if (::chdir(dir.path().c_str()) != 0) ::_exit(127);
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

std::string drain(int fd) {
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) != 0;) {
    if (n > 0) text.append(buffer, static_cast<std::size_t>(n));
    if (n < 0 && errno != EINTR) break;
  }
  return text;
}

// A file removed after the walk listed it is an error of its own: standard
// output is a one-page pipe that holds two lines, so the run waits there,
// long before the last file, until the test has removed it.
TEST(Audit, AFileThatVanishesIsAnError) {
  TempDir dir;
  fs::create_directory(dir.path() / "case");
  for (char c = 'a'; c <= 'j'; ++c)
    write_file(dir.file(std::string("case/") + c + ".mp4"), kEvidence);
  write_file(dir.file("case/z.mp4"), kEvidence);
  int out[2], err[2];
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(err, O_CLOEXEC), 0);
  ASSERT_GE(::fcntl(out[1], F_SETPIPE_SZ, 4096), 0);
  const pid_t pid = start(dir, {"case", "--recursive", "--jobs", "1"}, out[1], err[1]);
  ::close(out[1]);
  ::close(err[1]);
  pollfd first{out[0], POLLIN, 0};
  ASSERT_EQ(::poll(&first, 1, -1), 1);  // a first line: the walk is over
  fs::remove(dir.file("case/z.mp4"));
  const std::vector<std::string> lines = lines_of(drain(out[0]));
  const std::string errors = drain(err[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 1);
  ASSERT_EQ(lines.size(), 11u);
  EXPECT_EQ(
      lines.back(),
      R"x({"error":"open case/z.mp4: No such file or directory (os error 2)","input":"case/z.mp4","status":"error"})x");
  EXPECT_EQ(errors, std::string(kWarning) +
                        "==> 11 files: 10 ok, 0 failed, 1 error; JSON Lines on standard output\n"
                        "error: 1 of 11 files did not pass\n");
}

std::uintmax_t size_of(const std::string& path) {
  std::error_code ec;
  const std::uintmax_t size = fs::file_size(path, ec);
  return ec ? 0 : size;
}

// Runs killed with SIGKILL after a random part of their work, each resumed
// by the next, record every file exactly once, and a torn last line left by
// a killed writer is cut off before anything is appended.
TEST(Audit, ResumedAfterKillsRecordsEachFileOnce) {
  TempDir dir;
  fs::create_directory(dir.path() / "case");
  std::set<std::string> expected;
  for (int i = 0; i < 24; ++i) {
    const std::string name = "case/f" + std::to_string(100 + i) + ".mp4";
    write_file(dir.file(name), i % 10 == 3 ? tampered() : kEvidence);
    expected.insert(name);
  }
  const unsigned seed = std::random_device()();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  const std::string out = dir.file("out.jsonl");
  const std::vector<std::string> args = {"case",     "--recursive", "--jobs",   "2",
                                         "--resume", "--output",    "out.jsonl"};
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  for (int run = 0;; ++run) {
    ASSERT_LT(run, 30) << "no run finished";
    const std::uintmax_t before = size_of(out);
    const std::uintmax_t until =
        before + std::uniform_int_distribution<std::uintmax_t>(1, 6000)(random);
    const pid_t pid = start(dir, args, null, null);
    int status = 0;
    bool finished = false;
    while (!finished && size_of(out) < until) {
      finished = ::waitpid(pid, &status, WNOHANG) == pid;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    if (finished) break;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    if (run == 0) {
      std::ofstream(out, std::ios::app) << R"({"input":"case/f100.mp4","status":"o)";
    }
  }
  ::close(null);
  // Nothing is left to judge; the summary still covers every file.
  auto last = audit(dir, args);
  EXPECT_EQ(last.status, 1);
  EXPECT_EQ(last.err, std::string(kWarning) +
                          "==> 24 files: 21 ok, 3 failed, 0 errors; JSON Lines in out.jsonl\n"
                          "error: 3 of 24 files did not pass\n");
  std::multiset<std::string> recorded;
  for (const std::string& line : lines_of(test_util::read_file(out))) {
    recorded.insert(parsed(line)["input"].get<std::string>());
  }
  EXPECT_EQ(recorded, std::multiset<std::string>(expected.begin(), expected.end()));
}

// Each file falls in the share its path's SHA-256 names; the shares split the
// set without overlap.
TEST(Audit, ShardsSplitTheSet) {
  TempDir dir;
  make_case(dir);
  const std::set<std::string> kShards[] = {
      {"case/a.mp4", "case/cut.mp4", "case/plain.mp4"},
      {"case/notes.mp4", "case/sub/c.m4v"},
      {"case/B.MOV", "case/x.mp4/d.mp4"},
  };
  for (int k = 1; k <= 3; ++k) {
    SCOPED_TRACE(k);
    auto r = audit(dir, {"case", "--recursive", "--shard", std::to_string(k) + "/3"});
    std::set<std::string> inputs;
    for (const std::string& line : lines_of(r.out)) inputs.insert(parsed(line)["input"]);
    EXPECT_EQ(inputs, kShards[k - 1]);
  }
}

}  // namespace
