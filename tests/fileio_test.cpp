// Reading inputs, writing text outputs and hashing files, including the
// messages for each failure and files around the 16 MiB buffer size.

#include "fileio/fileio.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <sys/stat.h>
#include <unistd.h>

#include <limits>

#include "encoding/hex.h"
#include "fileio/fd.h"
#include "test_util.h"

namespace {

using test_util::read_file;
using test_util::TempDir;
using test_util::write_file;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

constexpr std::size_t kMiB16 = 16 * 1024 * 1024;

// Bytes that differ from one position to the next, so a chunk fed twice,
// skipped or misplaced changes the digest.
std::string patterned(std::size_t size) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 131) ^ (i >> 9) ^ (i >> 17));
  return s;
}

std::string one_shot_sha256(std::string_view bytes) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
  return hex_encode(digest);
}

// Points a standard descriptor at another file for the lifetime of the object.
class Redirect {
 public:
  Redirect(int target, int replacement) : target_(target), saved_(::dup(target)) {
    ::dup2(replacement, target);
    ::close(replacement);
  }
  ~Redirect() {
    ::dup2(saved_, target_);
    ::close(saved_);
  }

 private:
  int target_, saved_;
};

TEST(FormatIoError, SystemTextAndNumber) {
  EXPECT_EQ(format_io_error(ENOENT), "No such file or directory (os error 2)");
  EXPECT_EQ(format_io_error(EPIPE), "Broken pipe (os error 32)");
}

TEST(ReadInput, FileBytesAsRead) {
  TempDir dir;
  const std::string bytes = std::string("{\"a\":1}\0\xFF\r\n", 11) + patterned(200000);
  write_file(dir.file("in.json"), bytes);
  auto r = read_input(InputSource::file(dir.file("in.json")), "attestation request");
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_EQ(std::string(r->begin(), r->end()), bytes);
  write_file(dir.file("empty"), "");
  EXPECT_TRUE(read_input(InputSource::file(dir.file("empty")), "x")->empty());
}

TEST(ReadInput, FileFailures) {
  TempDir dir;
  std::string missing = dir.file("missing.json");
  EXPECT_EQ(read_input(InputSource::file(missing), "attestation request").error(),
            "open " + missing + ": No such file or directory (os error 2)");
  EXPECT_EQ(read_input(InputSource::file(dir.path().string()), "x").error(),
            "read " + dir.path().string() + ": Is a directory (os error 21)");
  EXPECT_EQ(read_input(InputSource::file(""), "x").error(),
            "open : No such file or directory (os error 2)");
}

TEST(ReadInput, StandardInput) {
  TempDir dir;
  write_file(dir.file("stdin"), "");
  {
    Redirect in(STDIN_FILENO, ::open(dir.file("stdin").c_str(), O_RDONLY));
    auto r = read_input(InputSource::stdin_source(), "evidence envelope");
    ASSERT_TRUE(r.has_value());
    EXPECT_TRUE(r->empty());
  }
  write_file(dir.file("stdin"), "{}\n");
  {
    Redirect in(STDIN_FILENO, ::open(dir.file("stdin").c_str(), O_RDONLY));
    auto r = read_input(InputSource::stdin_source(), "evidence envelope");
    EXPECT_EQ(std::string(r->begin(), r->end()), "{}\n");
  }
  // Several read chunks long, so the growing buffer is exercised too.
  const std::string long_input = patterned(300001);
  write_file(dir.file("stdin"), long_input);
  {
    Redirect in(STDIN_FILENO, ::open(dir.file("stdin").c_str(), O_RDONLY));
    auto r = read_input(InputSource::stdin_source(), "evidence envelope");
    ASSERT_TRUE(r.has_value()) << r.error();
    EXPECT_EQ(std::string(r->begin(), r->end()), long_input);
  }
  {
    Redirect in(STDIN_FILENO, ::open(dir.path().c_str(), O_RDONLY));
    EXPECT_EQ(read_input(InputSource::stdin_source(), "evidence envelope").error(),
              "read evidence envelope from stdin: Is a directory (os error 21)");
  }
}

// A file whose size no buffer can hold is refused with a message, not a crash.
TEST(ReadInput, FileLargerThanMemory) {
  if (!std::filesystem::is_directory("/dev/shm")) GTEST_SKIP() << "no /dev/shm";
  const std::string path = "/dev/shm/vorlant-fileio-test-" + std::to_string(::getpid()) + ".json";
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
  ASSERT_TRUE(fd.valid());
  // Sparse: no data blocks are used. The largest size a file can report.
  const bool sized = ::ftruncate(fd.get(), std::numeric_limits<off_t>::max()) == 0;
  fd = Fd();
  if (!sized) {
    ::unlink(path.c_str());
    GTEST_SKIP() << "this file system refuses so large a size";
  }
  auto r = read_input(InputSource::file(path), "attestation request");
  ::unlink(path.c_str());
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), "read " + path + ": Cannot allocate memory (os error 12)");
}

TEST(WriteTextOutput, FileInNewDirectories) {
  TempDir dir;
  std::string path = dir.file("a/b/c/report.json");
  CaptureStderr();
  auto r = write_text_output(OutputTarget::file(path), "{\n  \"ok\": true\n}");
  std::string err = GetCapturedStderr();
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_EQ(read_file(path), "{\n  \"ok\": true\n}\n");
  EXPECT_EQ(err, "==> wrote " + path + "\n");

  // An existing longer file is truncated; existing directories are fine.
  CaptureStderr();
  ASSERT_TRUE(write_text_output(OutputTarget::file(path), "x").has_value());
  GetCapturedStderr();
  EXPECT_EQ(read_file(path), "x\n");
}

TEST(WriteTextOutput, RelativePathWithoutDirectory) {
  TempDir dir;
  std::string cwd = std::filesystem::current_path().string();
  ASSERT_EQ(::chdir(dir.path().c_str()), 0);
  CaptureStderr();
  auto r = write_text_output(OutputTarget::file("out.json"), "{}");
  std::string err = GetCapturedStderr();
  ASSERT_EQ(::chdir(cwd.c_str()), 0);
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_EQ(err, "==> wrote out.json\n");
  EXPECT_EQ(read_file(dir.file("out.json")), "{}\n");
}

TEST(WriteTextOutput, FileFailures) {
  TempDir dir;
  write_file(dir.file("plain"), "");
  std::string under_file = dir.file("plain/sub/out.json");
  std::string is_dir = dir.path().string();
  struct Case {
    std::string name, path, error;
  };
  const Case kCases[] = {
      {"parent is a file", dir.file("plain/out.json"),
       "create " + dir.file("plain") + ": File exists (os error 17)"},
      {"ancestor is a file", under_file,
       "create " + dir.file("plain/sub") + ": Not a directory (os error 20)"},
      {"target is a directory", is_dir, "create " + is_dir + ": Is a directory (os error 21)"},
      {"device full", "/dev/full", "write /dev/full: No space left on device (os error 28)"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    CaptureStderr();
    auto r = write_text_output(OutputTarget::file(c.path), "text");
    EXPECT_EQ(GetCapturedStderr(), "");  // no "==> wrote" on failure
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), c.error);
  }
}

TEST(WriteTextOutput, StdoutAndDiscard) {
  CaptureStdout();
  CaptureStderr();
  ASSERT_TRUE(write_text_output(OutputTarget::stdout_target(), "{}").has_value());
  ASSERT_TRUE(write_text_output(OutputTarget::discard(), "ignored").has_value());
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(GetCapturedStdout(), "{}\n");

  Redirect out(STDOUT_FILENO, ::open("/dev/full", O_WRONLY));
  EXPECT_EQ(write_text_output(OutputTarget::stdout_target(), "{}").error(),
            "write stdout: No space left on device (os error 28)");
}

TEST(Sha256File, SizesAroundTheBuffer) {
  TempDir dir;
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, kMiB16 - 1, kMiB16, kMiB16 + 1}) {
    SCOPED_TRACE(size);
    std::string bytes = patterned(size);
    write_file(dir.file("f"), bytes);
    auto r = sha256_file(dir.file("f"));
    ASSERT_TRUE(r.has_value()) << r.error();
    EXPECT_EQ(r->sha256_hex, one_shot_sha256(bytes));
    EXPECT_EQ(r->size, size);
  }
}

TEST(Sha256File, KnownDigestsOfZeros) {
  TempDir dir;
  struct Case {
    std::size_t size;
    std::string_view digest;
  };
  constexpr Case kCases[] = {
      {0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {kMiB16, "080acf35a507ac9849cfcba47dc2ad83e01b75663a516279c8b9d243b719643e"},
      {kMiB16 + 1, "1003b1b5dc078189799a1216ce0f9fbcebb94e8b6b83c58c4b03345f07f94ced"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.size);
    write_file(dir.file("zeros"), std::string(c.size, '\0'));
    auto r = sha256_file(dir.file("zeros"));
    ASSERT_TRUE(r.has_value()) << r.error();
    EXPECT_EQ(r->sha256_hex, c.digest);
    EXPECT_EQ(r->size, c.size);
  }
}

TEST(Sha256FilePrefix, Limits) {
  TempDir dir;
  const std::string bytes = patterned(kMiB16 + 1);
  write_file(dir.file("f"), bytes);
  for (std::uint64_t limit :
       {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{4095}, std::uint64_t{kMiB16},
        std::uint64_t{kMiB16 + 1}, std::uint64_t{kMiB16 + 2},
        std::numeric_limits<std::uint64_t>::max()}) {
    SCOPED_TRACE(limit);
    auto r = sha256_file(dir.file("f"), limit);
    ASSERT_TRUE(r.has_value()) << r.error();
    std::size_t expected = static_cast<std::size_t>(std::min<std::uint64_t>(limit, bytes.size()));
    EXPECT_EQ(r->size, expected);
    EXPECT_EQ(r->sha256_hex, one_shot_sha256(std::string_view(bytes).substr(0, expected)));
  }
}

TEST(Sha256File, Failures) {
  TempDir dir;
  std::string missing = dir.file("missing.mp4");
  EXPECT_EQ(sha256_file(missing).error(),
            "open " + missing + ": No such file or directory (os error 2)");
  EXPECT_EQ(sha256_file(missing, 10).error(),
            "open " + missing + ": No such file or directory (os error 2)");
  EXPECT_EQ(sha256_file(dir.path().string()).error(),
            "read " + dir.path().string() + ": Is a directory (os error 21)");
}

}  // namespace
