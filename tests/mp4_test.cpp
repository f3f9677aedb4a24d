// The box scanner on hand-built files, and the evidence writer's failures:
// every failed write leaves the target as it was and no temporary file.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <thread>
#include <variant>
#include <vector>

#include "encoding/hex.h"
#include "encoding/sha256.h"
#include "evidence_fixture.h"
#include "fileio/fd.h"
#include "mp4/box_scanner.h"
#include "mp4/evidence_box.h"
#include "mp4/evidence_writer.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;
using fixture::be32;
using fixture::be64;
using fixture::box;
using fixture::evidence_box;
using test_util::TempDir;

std::span<const std::uint8_t> bytes_of(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// The smallest envelope the reader accepts; white space after it is allowed,
// which lets a test pad a payload to an exact length.
constexpr std::string_view kTinyEnvelope =
    R"({"v":2,"purpose":"p","manifest_b64":"","nvr_sig_hex":"","nvr_pubkey_hex":""})";

struct Found {
  std::uint64_t box_offset, box_end, file_size;
};
struct NotFound {};
using Expected = std::variant<Found, NotFound, std::string>;

struct ScanCase {
  std::string name;
  std::string file;
  Expected expected;
};

std::vector<ScanCase> scan_cases() {
  const std::string ev = evidence_box(kTinyEnvelope);
  const auto ev_size = static_cast<std::uint64_t>(ev.size());
  const std::string filler = box("ftyp", std::string(16, 'f')) + box("free", std::string(968, 0));
  const std::string moov_with_evidence = box("moov", ev);
  const std::string other_uuid = box("uuid", std::string(16, '\x11') + "data");
  const std::string short_uuid = box("uuid", "12345678");
  const std::string large_ev = be32(1) + "uuid" + be64(16 + 16 + kTinyEnvelope.size()) +
                               fixture::kEvidenceUsertype + std::string(kTinyEnvelope);
  const std::string size0_ev =
      be32(0) + "uuid" + fixture::kEvidenceUsertype + std::string(kTinyEnvelope) + "\n\n";
  const std::string at_limit = std::string(kTinyEnvelope) +
                               std::string(kMaxEvidencePayloadBytes - kTinyEnvelope.size(), ' ');
  return {
      {"empty file", "", NotFound{}},
      {"seven bytes", "1234567", NotFound{}},
      {"only an evidence box", ev, Found{0, ev_size, ev_size}},
      {"after 1000 bytes of boxes", filler + ev, Found{1000, 1000 + ev_size, 1000 + ev_size}},
      {"trailing tail of 7 bytes", filler + "1234567", NotFound{}},
      {"box after evidence ignored", ev + "garbage!", Found{0, ev_size, ev_size + 8}},
      {"first evidence box wins", ev + evidence_box("not json"), Found{0, ev_size, ev_size + 32}},
      {"nested evidence box not found", moov_with_evidence, NotFound{}},
      {"other usertype and short uuid stepped over", other_uuid + short_uuid + ev,
       Found{28 + 16, 44 + ev_size, 44 + ev_size}},
      {"largesize evidence box", large_ev, Found{0, large_ev.size(), large_ev.size()}},
      {"size 0 runs to end of file", filler + size0_ev,
       Found{1000, 1000 + size0_ev.size(), 1000 + size0_ev.size()}},
      {"payload of exactly 2 MiB", evidence_box(at_limit),
       Found{0, 24 + kMaxEvidencePayloadBytes, 24 + kMaxEvidencePayloadBytes}},
      {"payload one byte over 2 MiB", evidence_box(at_limit + " "),
       std::string("evidence envelope payload too large: 2097153 bytes")},
      {"size 4", be32(4) + "free", std::string("malformed MP4 box at offset 0")},
      {"size one past the end", box("ftyp", "12345678") + be32(9) + "free",
       std::string("malformed MP4 box at offset 16")},
      {"largesize below 16", be32(1) + "free" + be64(15),
       std::string("malformed MP4 box at offset 0")},
      {"largesize past the end", be32(1) + "free" + be64(17),
       std::string("malformed MP4 box at offset 0")},
      {"largesize cut short", box("ftyp", "12345678") + be32(1) + "free" + "1234567",
       std::string("read MP4 largesize at 24: failed to fill whole buffer")},
      {"largesize 2^64-1 overflows", box("ftyp", "12345678") + be32(1) + "free" + be64(~0ULL),
       std::string("MP4 box length overflows at offset 16")},
      {"largesize 2^64-1 at offset 0 is malformed", be32(1) + "free" + be64(~0ULL),
       std::string("malformed MP4 box at offset 0")},
      {"payload not an envelope",
       evidence_box(
           R"({"v":1,"purpose":"p","manifest_b64":"","nvr_sig_hex":"","nvr_pubkey_hex":""})"),
       std::string("unsupported evidence envelope version: 1")},
  };
}

TEST(FindEvidenceBox, Cases) {
  TempDir dir;
  for (const ScanCase& c : scan_cases()) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.file("scan.mp4");
    test_util::write_file(path, c.file);
    auto result = find_evidence_box(path);
    if (const auto* error = std::get_if<std::string>(&c.expected)) {
      ASSERT_FALSE(result);
      EXPECT_EQ(result.error(), *error);
    } else if (std::holds_alternative<NotFound>(c.expected)) {
      ASSERT_TRUE(result) << result.error();
      EXPECT_FALSE(result->has_value());
    } else {
      const Found& f = std::get<Found>(c.expected);
      ASSERT_TRUE(result) << result.error();
      ASSERT_TRUE(result->has_value());
      EXPECT_EQ((*result)->box_offset, f.box_offset);
      EXPECT_EQ((*result)->box_end, f.box_end);
      EXPECT_EQ((*result)->file_size, f.file_size);
      EXPECT_EQ((*result)->envelope.purpose, "p");
    }
  }
}

TEST(FindEvidenceBox, ParserErrorsPassThrough) {
  TempDir dir;
  test_util::write_file(dir.file("a.mp4"), evidence_box("not json"));
  auto result = find_evidence_box(dir.file("a.mp4"));
  ASSERT_FALSE(result);
  EXPECT_TRUE(result.error().starts_with("parse envelope JSON: ")) << result.error();
}

TEST(FindEvidenceBox, MissingFile) {
  auto result = find_evidence_box("/nonexistent/clip.mp4");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), "open /nonexistent/clip.mp4: No such file or directory (os error 2)");
}

TEST(ReadExactAt, ReadsAtOffsetAndReportsShortFiles) {
  TempDir dir;
  test_util::write_file(dir.file("f"), "0123456789");
  Fd fd(::open(dir.file("f").c_str(), O_RDONLY));
  std::array<std::uint8_t, 4> buf{};
  ASSERT_TRUE(read_exact_at(fd.get(), 3, buf, "x"));
  EXPECT_EQ(std::string(buf.begin(), buf.end()), "3456");
  auto r = read_exact_at(fd.get(), 8, buf, "MP4 box header");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "read MP4 box header at 8: failed to fill whole buffer");
}

TEST(BuildEvidenceBox, LayoutIsSizeTypeUsertypePayload) {
  auto built = build_evidence_box(bytes_of("{}"));
  ASSERT_TRUE(built);
  const std::string expected(
      "\0\0\0\x1a"
      "uuid"
      "\x5A\x51\x32\xAF\x1B\xDC\x4E\x76\x9A\x35\x1D\x8D\x2E\x8A\x3C\x66"
      "{}",
      26);
  EXPECT_EQ(std::string(built->begin(), built->end()), expected);
}

// --- writer ---------------------------------------------------------------

EvidenceManifest manifest_for(std::string_view sha256_hex, std::uint64_t size) {
  EvidenceManifest m;
  m.source_sha256 = *hex_decode(sha256_hex);
  m.source_size = size;
  return m;
}

std::vector<std::string> directory_names(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

class EvidenceWriter : public ::testing::Test {
 protected:
  void SetUp() override {
    test_util::write_file(dir_.file("clip.mp4"), fixture::kSource);
    test_util::write_file(dir_.file("out.mp4"), "old content");
  }
  Result<void> write(const std::string& input, const std::string& target,
                     std::string_view envelope = fixture::kPlainEnvelope,
                     const EvidenceManifest& m = manifest_for(fixture::kSourceSha256, 28)) {
    auto source = open_file(input);
    if (!source) return fail(source.error());
    return write_evidence_file(*source, target, bytes_of(evidence_box(envelope)), m);
  }
  TempDir dir_;
};

TEST_F(EvidenceWriter, WritesSourceThenBoxAndCreatesDirectories) {
  const std::string target = dir_.file("a/b/c.mp4");
  ASSERT_TRUE(write(dir_.file("clip.mp4"), target));
  EXPECT_EQ(test_util::read_file(target), fixture::evidence_file(fixture::kPlainEnvelope));
  EXPECT_EQ(directory_names(dir_.path() / "a/b"), std::vector<std::string>{"c.mp4"});
}

// The temporary name adds about 40 bytes to the target's name; a target name
// near the file system's limit is shortened in it rather than refused.
TEST_F(EvidenceWriter, LongTargetNameStillGetsATemporaryFile) {
  const std::string target = dir_.file(std::string(250, 'x') + ".mp4");
  ASSERT_TRUE(write(dir_.file("clip.mp4"), target));
  EXPECT_EQ(test_util::read_file(target), fixture::evidence_file(fixture::kPlainEnvelope));
}

// Streaming copies exactly the checked bytes through the checked descriptor:
// a recording that grew since is cut at its signed size, one that shrank or
// changed fails before the box is written.
TEST_F(EvidenceWriter, StreamCopiesExactlyTheCheckedBytes) {
  const std::string box = evidence_box(fixture::kPlainEnvelope);
  const EvidenceManifest m = manifest_for(fixture::kSourceSha256, 28);
  std::string changed = fixture::kSource;
  changed[27] = 'e';
  const struct {
    std::string name, now, out, error;
  } cases[] = {
      {"grew", fixture::kSource + "appended", fixture::kSource + box, ""},
      {"shrank", fixture::kSource.substr(0, 20), fixture::kSource.substr(0, 20),
       "read source bytes: failed to fill whole buffer"},
      {"changed", changed, changed,
       "input changed while it was copied: the stream on standard output is not evidence"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test_util::write_file(dir_.file("live.mp4"), fixture::kSource);
    auto source = open_file(dir_.file("live.mp4"));
    ASSERT_TRUE(source);
    auto checked = check_stream_source(*source, m);
    ASSERT_TRUE(checked) << checked.error();
    test_util::write_file(dir_.file("live.mp4"), c.now);  // same file, rewritten in place
    Fd out(::open(dir_.file("stream.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    auto r = copy_checked_source(*source, bytes_of(box), m, *checked, out.get());
    EXPECT_EQ(r ? "" : r.error(), c.error);
    EXPECT_EQ(test_util::read_file(dir_.file("stream.out")), c.out);
  }
}

TEST_F(EvidenceWriter, ReplacesAnExistingTarget) {
  ASSERT_TRUE(write(dir_.file("clip.mp4"), dir_.file("out.mp4")));
  EXPECT_EQ(test_util::read_file(dir_.file("out.mp4")),
            fixture::evidence_file(fixture::kPlainEnvelope));
  EXPECT_EQ(directory_names(dir_.path()), (std::vector<std::string>{"clip.mp4", "out.mp4"}));
}

TEST_F(EvidenceWriter, FailuresLeaveTargetAndNoTemporaryFile) {
  test_util::write_file(dir_.file("long.mp4"), fixture::kSource + "x");
  std::string changed = fixture::kSource;
  changed[27] = 'e';
  test_util::write_file(dir_.file("changed.mp4"), changed);
  test_util::write_file(dir_.file("plain-file"), "");
  // An evidence file embedded again, with a manifest that describes it.
  const std::string evidence = fixture::evidence_file(fixture::kPlainEnvelope);
  test_util::write_file(dir_.file("evidence.mp4"), evidence);
  const EvidenceManifest of_evidence = manifest_for(sha256_hex(evidence), evidence.size());
  const std::string huge(kMaxEvidencePayloadBytes + 1, ' ');

  struct Case {
    std::string name, input, target;
    std::string_view envelope;
    EvidenceManifest manifest;
    std::string error;
  };
  const EvidenceManifest m = manifest_for(fixture::kSourceSha256, 28);
  const Case cases[] = {
      {"source one byte longer", "long.mp4", "out.mp4", fixture::kPlainEnvelope, m,
       "input size 29 does not match manifest source_size 28"},
      {"source with one byte changed", "changed.mp4", "out.mp4", fixture::kPlainEnvelope, m,
       "input SHA-256 does not match manifest source_sha256"},
      {"missing source", "missing.mp4", "out.mp4", fixture::kPlainEnvelope, m,
       "open " + dir_.file("missing.mp4") + ": No such file or directory (os error 2)"},
      {"parent is a regular file", "clip.mp4", "plain-file/out.mp4", fixture::kPlainEnvelope, m,
       "create " + dir_.file("plain-file") + ": File exists (os error 17)"},
      {"double embed", "evidence.mp4", "out.mp4", fixture::kPlainEnvelope, of_evidence,
       "written output evidence offset 28 does not match manifest source_size 736"},
      {"payload over the reader's limit", "clip.mp4", "out.mp4", huge, m,
       "evidence envelope payload too large: 2097153 bytes"},
  };
  const auto before = directory_names(dir_.path());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = write(dir_.file(c.input), dir_.file(c.target), c.envelope, c.manifest);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), c.error);
    EXPECT_EQ(test_util::read_file(dir_.file("out.mp4")), "old content");
    EXPECT_EQ(directory_names(dir_.path()), before);
  }
}

TEST_F(EvidenceWriter, TemporaryNameFallsBackWithoutANormalName) {
  fs::create_directory(dir_.path() / "sub");
  auto r = write(dir_.file("clip.mp4"), dir_.file("sub/.."));
  ASSERT_FALSE(r);
  const std::string prefix =
      "rename " + test_util::temp_name_prefix(dir_.file("sub"), "vorlant-verify-output");
  EXPECT_TRUE(r.error().starts_with(prefix)) << r.error();
  EXPECT_TRUE(directory_names(dir_.path() / "sub").empty());
}

// A target name that is not valid UTF-8 shows U+FFFD in the temporary name.
// The target is a directory, so the rename fails and shows that name.
TEST_F(EvidenceWriter, TemporaryNameReplacesInvalidUtf8) {
  fs::create_directories(dir_.path() / "sub" / "\xff.mp4" / "keep");
  auto r = write(dir_.file("clip.mp4"), dir_.file("sub/\xff.mp4"));
  ASSERT_FALSE(r);
  const std::string prefix =
      "rename " + test_util::temp_name_prefix(dir_.file("sub"), "\xef\xbf\xbd.mp4");
  EXPECT_TRUE(r.error().starts_with(prefix)) << r.error();
  EXPECT_EQ(directory_names(dir_.path() / "sub"), std::vector<std::string>{"\xff.mp4"});
}

// Root ignores directory permissions, so as root the write runs in a child
// process that has dropped to the unprivileged user nobody.
Result<void> run_unprivileged(const std::function<Result<void>()>& body) {
  if (::geteuid() != 0) return body();
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) return fail("pipe failed");
  pid_t child = ::fork();
  if (child == 0) {
    ::close(pipe_fds[0]);
    constexpr uid_t kNobody = 65534;
    if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(2);
    auto r = body();
    (void)write_all(pipe_fds[1], r ? std::string("ok") : "error:" + r.error());
    ::_exit(0);
  }
  ::close(pipe_fds[1]);
  std::vector<std::uint8_t> said;
  (void)read_to_end(pipe_fds[0], said);
  ::close(pipe_fds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  std::string text(said.begin(), said.end());
  if (text == "ok") return {};
  if (text.starts_with("error:")) return fail(text.substr(6));
  return fail("the unprivileged child failed to run");
}

TEST_F(EvidenceWriter, ReadOnlyDirectoryRefusesTheTemporaryFile) {
  fs::create_directory(dir_.path() / "ro");
  fs::permissions(dir_.path(), fs::perms::owner_all | fs::perms::group_read |
                                   fs::perms::group_exec | fs::perms::others_read |
                                   fs::perms::others_exec);
  fs::permissions(dir_.path() / "ro", fs::perms::owner_read | fs::perms::owner_exec |
                                          fs::perms::others_read | fs::perms::others_exec);
  // Where an ancestor directory is closed to other users (some chroots),
  // nobody cannot even reach the test directory and the case says nothing.
  auto reachable = run_unprivileged([&]() -> Result<void> {
    if (::access(dir_.file("ro").c_str(), X_OK) != 0) return fail("unreachable");
    return {};
  });
  if (!reachable) GTEST_SKIP() << "an unprivileged user cannot reach " << dir_.path();
  auto r = run_unprivileged([&] { return write(dir_.file("clip.mp4"), dir_.file("ro/out.mp4")); });
  ASSERT_FALSE(r);
  EXPECT_TRUE(directory_names(dir_.path() / "ro").empty());
  EXPECT_TRUE(r.error().starts_with("create " + dir_.file("ro") + "/.out.mp4.tmp-")) << r.error();
  EXPECT_TRUE(r.error().ends_with("-0: Permission denied (os error 13)")) << r.error();
  // The message names the target's parent, not the ancestor that refused.
  r = run_unprivileged([&] { return write(dir_.file("clip.mp4"), dir_.file("ro/x/y/out.mp4")); });
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "create " + dir_.file("ro/x/y") + ": Permission denied (os error 13)");
  EXPECT_TRUE(directory_names(dir_.path() / "ro").empty());
}

// A writer killed mid-copy leaves the old target and at most its hidden
// temporary file. The source is a pipe, so the copy stops where the test wants.
TEST_F(EvidenceWriter, KilledWriterLeavesOldTarget) {
  const std::string fifo = dir_.file("source.fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string target = dir_.file("out.mp4");
  pid_t child = ::fork();
  if (child == 0) {
    (void)write(fifo, target);
    ::_exit(0);
  }
  Fd feed(::open(fifo.c_str(), O_WRONLY));
  const std::string chunk(1 << 20, 'm');
  ASSERT_TRUE(write_all(feed.get(), chunk));
  std::optional<fs::path> temp;
  for (int i = 0; i < 10000 && !temp; ++i) {
    for (const auto& e : fs::directory_iterator(dir_.path())) {
      const std::string name = e.path().filename();
      if (name.starts_with(".out.mp4.tmp-") && fs::file_size(e.path()) == chunk.size())
        temp = e.path();
    }
    if (!temp) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(temp) << "the writer never filled its temporary file";
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(test_util::read_file(target), "old content");
  EXPECT_EQ(directory_names(dir_.path()),
            (std::vector<std::string>{temp->filename(), "clip.mp4", "out.mp4", "source.fifo"}));
}

TEST(CheckWrittenOutput, Messages) {
  TempDir dir;
  const EvidenceManifest m = manifest_for(fixture::kSourceSha256, 28);
  const std::string good = fixture::evidence_file(fixture::kPlainEnvelope);
  std::string changed = good;
  changed[20] ^= 1;
  const struct {
    std::string name, file, error;
  } cases[] = {
      {"no box", fixture::kSource, "written output " + dir.file("f") + " has no evidence box"},
      {"trailing bytes", good + "123", "written output has 3 trailing bytes after evidence box"},
      {"changed source", changed, "written output SHA-256 does not match manifest source_sha256"},
      {"box too early",
       fixture::kSource.substr(0, 16) + fixture::evidence_box(fixture::kPlainEnvelope),
       "written output evidence offset 16 does not match manifest source_size 28"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test_util::write_file(dir.file("f"), c.file);
    auto r = check_written_output(dir.file("f"), m);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), c.error);
  }
  test_util::write_file(dir.file("f"), good);
  EXPECT_TRUE(check_written_output(dir.file("f"), m));
}

}  // namespace
