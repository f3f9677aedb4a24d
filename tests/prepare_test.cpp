// prepare-attestation through the built program: exact-only and PDQ requests
// from hash lists and from sampling (stand-in tools and one real ffmpeg run),
// every status line, and the refusal to write over the recording.

#include "commands/prepare.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "evidence/pdq_hash_list.h"
#include "evidence/request.h"
#include "test_util.h"

namespace {

using test_util::write_script;
using test_util::read_file;
using test_util::run;
using test_util::RunOptions;
using test_util::TempDir;
using test_util::write_file;

const std::string kHashLower(64, 'a');
const std::string kHashUpper = "0123456789ABCDEF0123456789abcdef0123456789ABCDEF0123456789abcdef";

constexpr std::string_view kExactOnlyHello =
    "{\n"
    "  \"v\": 1,\n"
    "  \"purpose\": \"zq.attestation.request.v1\",\n"
    "  \"name\": \"clip.mp4\",\n"
    "  \"source_hash_scope\": \"original_file_bytes_sha256_v1\",\n"
    "  \"source_sha256_hex\": "
    "\"2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824\",\n"
    "  \"source_size\": 5\n"
    "}\n";

// Runs in `dir` with the sampling tools and the rate variable cleared unless
// the case sets them.
test_util::RunResult run_in(const TempDir& dir, const std::vector<std::string>& args,
                            RunOptions options = {}) {
  options.cwd = dir.path().string();
  for (const char* name : {"VORLANT_VERIFY_FPS", "VORLANT_VERIFY_FFPROBE", "VORLANT_VERIFY_FFMPEG"})
    options.env.try_emplace(name, std::nullopt);
  return run(args, options);
}

std::string sha256_of(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += kDigits[digest[i] >> 4];
    hex += kDigits[digest[i] & 15];
  }
  return hex;
}

TEST(ReadPdqHashList, LinesAndFormats) {
  const std::string jsonl = "{\"index\":0,\"hash_hex\":\"" + kHashUpper + "\",\"quality\":100}";
  auto hashes = read_pdq_hash_list("\n  " + kHashLower + "\t\r\n\r\n" + jsonl + "\r\n \xc2\xa0\n" +
                                   kHashUpper);
  ASSERT_TRUE(hashes) << hashes.error();
  EXPECT_EQ(*hashes, (std::vector<std::string>{kHashLower, kHashUpper, kHashUpper}));
  EXPECT_EQ(read_pdq_hash_list("")->size(), 0u);
  EXPECT_EQ(read_pdq_hash_list("\n\r\n  \n")->size(), 0u);
}

TEST(ReadPdqHashList, FirstBadLineWithItsNumber) {
  struct Case {
    std::string_view name;
    std::string text;
    std::string_view error;
  };
  const std::string bits(256, '1');
  const Case kCases[] = {
      {"blank lines count", kHashLower + "\n\n" + kHashLower + "0\n",
       "line 3: PDQ hash must be 64 hex chars, got 65"},
      {"crlf lines count", "\r\n\r\nabc\r\n", "line 3: PDQ hash must be 64 hex chars, got 3"},
      {"bits format", bits + "\n", "line 1: PDQ hash must be 64 hex chars, got 256"},
      {"non-hex", std::string(63, 'a') + "g", "line 1: PDQ hash contains non-hex characters"},
      {"inner space", std::string(31, 'a') + " " + std::string(32, 'a'),
       "line 1: PDQ hash contains non-hex characters"},
      {"json without hash_hex", kHashLower + "\n{\"hash\": \"" + kHashLower + "\"}",
       "JSONL hash line 2 missing hash_hex"},
      {"json hash_hex number", "{\"hash_hex\": 5}", "JSONL hash line 1 missing hash_hex"},
      {"json hash_hex null", "\n\n {\"hash_hex\": null} ", "JSONL hash line 3 missing hash_hex"},
      {"json hash_hex short", "{\"hash_hex\": \"ab\"}",
       "line 1: PDQ hash must be 64 hex chars, got 2"},
      {"json repeated key", "{\"hash_hex\": \"a\", \"hash_hex\": \"b\"}",
       "parse JSONL hash line 1: duplicate field `hash_hex` at line 1 column 28"},
      {"json after a blank", "\n   {\"hash_hex\": \"" + kHashLower + "\"} x", ""},
      {"json broken", "{\"hash_hex\": ", ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    auto hashes = read_pdq_hash_list(c.text);
    ASSERT_FALSE(hashes);
    if (c.error.empty()) {
      // The library's wording; the position counts within the trimmed line.
      EXPECT_TRUE(hashes.error().starts_with("parse JSONL hash line ")) << hashes.error();
      EXPECT_NE(hashes.error().find(" at line 1 column "), std::string::npos) << hashes.error();
    } else {
      EXPECT_EQ(hashes.error(), c.error);
    }
  }
  // Columns count within the trimmed line: its three leading spaces are gone.
  auto trailing = read_pdq_hash_list("\n   {\"hash_hex\": \"" + kHashLower + "\"} x");
  ASSERT_FALSE(trailing);
  EXPECT_TRUE(trailing.error().starts_with("parse JSONL hash line 2: ")) << trailing.error();
  EXPECT_TRUE(trailing.error().ends_with(" at line 1 column 82")) << trailing.error();
}

TEST(PrepareAttestation, ExactOnlyToStdout) {
  TempDir dir;
  write_file(dir.file("clip.mp4"), "hello");
  auto r = run_in(dir, {"prepare-attestation", "clip.mp4"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kExactOnlyHello);
  EXPECT_EQ(r.err,
            "==> prepare exact-only attestation for clip.mp4 as \"clip.mp4\"\n"
            "warning: embed-evidence will refuse clip.mp4: recording is not a sequence of whole "
            "MP4 boxes: 5 stray bytes at offset 0\n"
            "==> source bytes: 5 bytes, sha256=2cf24dba5fb0a30e26e83b2a...\n"
            "==> skipping PDQ hashing\n");
  // The alias runs the same command; the rate variable is not even read.
  RunOptions options;
  options.env["VORLANT_VERIFY_FPS"] = "abc";
  auto alias = run_in(dir, {"attest", "clip.mp4"}, options);
  EXPECT_EQ(alias.status, 0);
  EXPECT_EQ(alias.out, kExactOnlyHello);
}

TEST(PrepareAttestation, HashListFromFileToFile) {
  TempDir dir;
  write_file(dir.file("clip.mp4"), "hello");
  write_file(dir.file("hashes.txt"),
             kHashUpper + "\n\n{\"index\": 1, \"hash_hex\": \"" + kHashLower + "\"}\n");
  auto r = run_in(dir, {"prepare-attestation", "clip.mp4", "--name", " Cam \"7\" ", "--fps", "2.5",
                        "--pdq-hashes", "hashes.txt", "--output", "out/req.json"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "==> prepare attestation for clip.mp4 as \" Cam \"7\" \" @ 2.5 fps\n"
            "warning: embed-evidence will refuse clip.mp4: recording is not a sequence of whole "
            "MP4 boxes: 5 stray bytes at offset 0\n"
            "==> source bytes: 5 bytes, sha256=2cf24dba5fb0a30e26e83b2a...\n"
            "==> reading PDQ hashes from hashes.txt\n"
            "==> 2 PDQ hashes\n"
            "==> wrote out/req.json\n");
  EXPECT_EQ(read_file(dir.file("out/req.json")),
            "{\n"
            "  \"v\": 1,\n"
            "  \"purpose\": \"zq.attestation.request.v1\",\n"
            "  \"name\": \" Cam \\\"7\\\" \",\n"
            "  \"source_hash_scope\": \"original_file_bytes_sha256_v1\",\n"
            "  \"source_sha256_hex\": "
            "\"2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824\",\n"
            "  \"source_size\": 5,\n"
            "  \"fps\": 2.5,\n"
            "  \"canonical_frame\": {\n"
            "    \"width\": 512,\n"
            "    \"height\": 512,\n"
            "    \"pixel_format\": \"rgba\",\n"
            "    \"resize_filter\": \"bilinear\"\n"
            "  },\n"
            "  \"phashes_hex\": [\n"
            "    \"0123456789ABCDEF0123456789abcdef0123456789ABCDEF0123456789abcdef\",\n"
            "    \"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\"\n"
            "  ]\n"
            "}\n");
}

TEST(PrepareAttestation, HashListFromStdinWithDefaultRate) {
  TempDir dir;
  write_file(dir.file("clip.mp4"), "hello");
  RunOptions options;
  options.stdin_bytes = kHashLower + "\r\n";
  auto r = run_in(dir, {"prepare-attestation", "clip.mp4", "--pdq-hashes", "-"}, options);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err,
            "==> prepare attestation for clip.mp4 as \"clip.mp4\" @ 2 fps\n"
            "warning: embed-evidence will refuse clip.mp4: recording is not a sequence of whole "
            "MP4 boxes: 5 stray bytes at offset 0\n"
            "==> source bytes: 5 bytes, sha256=2cf24dba5fb0a30e26e83b2a...\n"
            "==> reading PDQ hashes from stdin\n"
            "==> 1 PDQ hashes\n");
  auto request = read_attestation_request(
      std::span(reinterpret_cast<const std::uint8_t*>(r.out.data()), r.out.size()));
  ASSERT_TRUE(request) << request.error();
  EXPECT_EQ(request->fps, 2.0);
  EXPECT_EQ(request->phashes_hex, std::vector<std::string>{kHashLower});
  EXPECT_EQ(r.out.find("native_width"), std::string::npos);
  EXPECT_NE(r.out.find("  \"fps\": 2.0,\n"), std::string::npos);
}

// Four hours at the default rate: the request is still written (others may
// use it), with a warning that no evidence box could hold its signature.
// A recording that embed-evidence will refuse still gets its request, and
// the recorder is told why before anything is signed.
TEST(PrepareAttestation, WarnsWhenEmbedEvidenceWillRefuseTheRecording) {
  const std::string whole = std::string("\0\0\0\x0c", 4) + "freeabcd";
  const struct {
    std::string name, bytes, warning;
  } cases[] = {
      {"whole boxes", whole, ""},
      {"cut short by a power loss", whole + whole.substr(0, 9),
       "warning: embed-evidence will refuse clip.mp4: recording is not a sequence of whole MP4 "
       "boxes: malformed MP4 box at offset 12\n"},
      {"empty", "", "warning: embed-evidence will refuse clip.mp4: recording is empty\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    write_file(dir.file("clip.mp4"), c.bytes);
    auto r = run_in(dir, {"prepare-attestation", "clip.mp4", "-o", "req.json"});
    EXPECT_EQ(r.status, 0);
    const std::size_t line = r.err.find('\n') + 1;
    EXPECT_EQ(r.err.substr(line, r.err.find("==> source bytes") - line), c.warning);
    EXPECT_TRUE(std::filesystem::exists(dir.file("req.json")));
  }
}

TEST(PrepareAttestation, WarnsWhenTheHashesCannotFitTheEvidenceBox) {
  TempDir dir;
  write_file(dir.file("clip.mp4"), "hello");
  std::string list;
  for (int i = 0; i < 28800; ++i) list += kHashLower + "\n";
  write_file(dir.file("hashes.txt"), list);
  auto r = run_in(dir, {"prepare-attestation", "clip.mp4", "--pdq-hashes", "hashes.txt", "-o",
                        "req.json"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("==> 28800 PDQ hashes\n"
                       "warning: 28800 PDQ hashes make a signed evidence envelope of at least "
                       "2535192 bytes, over the 2097152-byte limit of the evidence box; at most "
                       "23822 hashes fit, so sign-attestation will refuse this request: sample "
                       "fewer frames, e.g. --fps 1.6\n==> wrote req.json\n"),
            std::string::npos)
      << r.err;
  EXPECT_TRUE(std::filesystem::exists(dir.file("req.json")));
}

TEST(PrepareAttestation, FailuresWriteNothing) {
  struct Case {
    std::string_view name;
    std::vector<std::string> args;
    std::string stdin_bytes;
    std::string_view error;
  };
  const Case kCases[] = {
      {"empty list", {"--pdq-hashes", "empty.txt"}, "", "no PDQ hashes produced"},
      {"blank list", {"--pdq-hashes", "-"}, "\n \n\r\n", "no PDQ hashes produced"},
      {"bad line",
       {"--pdq-hashes", "-"},
       kHashLower + "\n\nxyz\n",
       "line 3: PDQ hash must be 64 hex chars, got 3"},
      {"missing list",
       {"--pdq-hashes", "nope.txt"},
       "",
       "open nope.txt: No such file or directory (os error 2)"},
      {"list is a directory",
       {"--pdq-hashes", "."},
       "",
       "read PDQ hashes: Is a directory (os error 21)"},
      {"list not UTF-8",
       {"--pdq-hashes", "-"},
       kHashLower + "\n\xff\n",
       "read PDQ hashes: stream did not contain valid UTF-8"},
  };
  TempDir dir;
  write_file(dir.file("clip.mp4"), "hello");
  write_file(dir.file("empty.txt"), "");
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args{"prepare-attestation", "clip.mp4", "-o", "req.json"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunOptions options;
    options.stdin_bytes = c.stdin_bytes;
    auto r = run_in(dir, args, options);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.err.ends_with("\nerror: " + std::string(c.error) + "\n")) << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("req.json")));
  }
  auto missing = run_in(dir, {"prepare-attestation", "gone.mp4", "--with-pdq"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err,
            "==> prepare attestation for gone.mp4 as \"gone.mp4\" @ 2 fps\n"
            "error: open gone.mp4: No such file or directory (os error 2)\n");
}

TEST(PrepareAttestation, SamplingWithStandInTools) {
  TempDir dir;
  write_file(dir.file("clip.mp4"), "hello");
  write_script(dir.file("ffprobe"),
               "case \"$6\" in stream=width,height) echo 640x360 ;; *) echo 1.0 ;; esac\n");
  write_script(dir.file("ffmpeg"), "head -c 2097152 /dev/zero\n");
  write_script(dir.file("ffmpeg-empty"), "exit 0\n");
  write_script(dir.file("ffmpeg-fails"), "head -c 1048576 /dev/zero; exit 3\n");
  RunOptions options;
  options.env["VORLANT_VERIFY_FFPROBE"] = dir.file("ffprobe");
  options.env["VORLANT_VERIFY_FFMPEG"] = dir.file("ffmpeg");
  options.env["VORLANT_VERIFY_FPS"] = "2";

  auto r = run_in(dir, {"prepare-attestation", "clip.mp4", "--with-pdq"}, options);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err,
            "==> prepare attestation for clip.mp4 as \"clip.mp4\" @ 2 fps\n"
            "warning: embed-evidence will refuse clip.mp4: recording is not a sequence of whole "
            "MP4 boxes: 5 stray bytes at offset 0\n"
            "==> source bytes: 5 bytes, sha256=2cf24dba5fb0a30e26e83b2a...\n"
            "==> ffmpeg sampling + PDQ hashing\n"
            "\r  hashed 1/2 frames\r  hashed 2/2 frames\n"
            "==> native resolution: 640x360 -> 512x512 RGBA\n"
            "==> 2 PDQ hashes\n");
  EXPECT_NE(
      r.out.find("  \"native_width\": 640,\n  \"native_height\": 360,\n  \"phashes_hex\": [\n"),
      std::string::npos)
      << r.out;

  options.env["VORLANT_VERIFY_FFMPEG"] = dir.file("ffmpeg-empty");
  auto empty = run_in(dir, {"prepare-attestation", "clip.mp4", "--fps", "0.5"}, options);
  EXPECT_EQ(empty.status, 1);
  EXPECT_EQ(empty.out, "");
  EXPECT_TRUE(
      empty.err.ends_with("==> ffmpeg sampling + PDQ hashing\n\nerror: no PDQ hashes produced\n"))
      << empty.err;

  options.env["VORLANT_VERIFY_FFMPEG"] = dir.file("ffmpeg-fails");
  auto failed = run_in(dir, {"prepare-attestation", "clip.mp4", "--with-pdq"}, options);
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(failed.out, "");
  EXPECT_TRUE(
      failed.err.ends_with("\r  hashed 1/2 frames\nerror: ffmpeg exited with exit status: 3\n"))
      << failed.err;
}

TEST(PrepareAttestation, RefusesToWriteOverTheRecording) {
  TempDir dir;
  std::filesystem::create_directory(dir.file("sub"));
  write_file(dir.file("clip.mp4"), "hello");
  std::filesystem::create_symlink("clip.mp4", dir.file("link.mp4"));
  std::filesystem::create_hard_link(dir.file("clip.mp4"), dir.file("hard.mp4"));
  const std::vector<std::vector<std::string>> kCases = {
      {"prepare-attestation", "clip.mp4", "--output", "clip.mp4"},
      {"prepare-attestation", "clip.mp4", "-o", "./sub/../clip.mp4"},
      {"prepare-attestation", "clip.mp4", "--out", "link.mp4"},
      {"prepare-attestation", "link.mp4", "--output", dir.file("clip.mp4")},
      {"prepare-attestation", "hard.mp4", "--output", "clip.mp4", "--pdq-hashes", "-"},
  };
  for (const auto& args : kCases) {
    SCOPED_TRACE(args[1] + " -> " + args[3]);
    auto r = run_in(dir, args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "error: output path must differ from input path\n");
    EXPECT_EQ(read_file(dir.file("clip.mp4")), "hello");
  }
  // Standard output appended to the recording itself.
  const std::string command = "cd " + dir.path().string() + " && " + test_util::program_command() +
                              " prepare-attestation clip.mp4 >> clip.mp4 2> err.txt";
  EXPECT_NE(std::system(command.c_str()), 0);
  EXPECT_EQ(read_file(dir.file("err.txt")), "error: output path must differ from input path\n");
  EXPECT_EQ(read_file(dir.file("clip.mp4")), "hello");

  auto other = run_in(dir, {"prepare-attestation", "clip.mp4", "--output", "sub/clip.mp4"});
  EXPECT_EQ(other.status, 0) << other.err;
  EXPECT_EQ(read_file(dir.file("sub/clip.mp4")), kExactOnlyHello);
}

// Debian's ffmpeg and ffprobe on a clip they make themselves.
TEST(PrepareAttestation, RealFfmpegRun) {
  if (std::system("command -v ffmpeg >/dev/null && command -v ffprobe >/dev/null") != 0)
    GTEST_SKIP() << "ffmpeg and ffprobe are not installed";
  TempDir dir;
  std::string make = "cd '" + dir.path().string() +
                     "' && ffmpeg -hide_banner -v error -nostdin -f lavfi "
                     "-i testsrc2=size=640x360:rate=25:duration=3 -c:v libx264 -pix_fmt yuv420p "
                     "clip.mp4";
  ASSERT_EQ(std::system(make.c_str()), 0);
  auto r = run_in(dir, {"prepare-attestation", "clip.mp4", "--with-pdq"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("==> native resolution: 640x360 -> 512x512 RGBA\n==> 6 PDQ hashes\n"),
            std::string::npos)
      << r.err;
  auto request = read_attestation_request(
      std::span(reinterpret_cast<const std::uint8_t*>(r.out.data()), r.out.size()));
  ASSERT_TRUE(request) << request.error();
  std::string clip = read_file(dir.file("clip.mp4"));
  EXPECT_EQ(request->source_sha256_hex, sha256_of(clip));
  EXPECT_EQ(request->source_size, clip.size());
  EXPECT_NE(r.out.find("  \"native_width\": 640,\n  \"native_height\": 360,\n"), std::string::npos);
  ASSERT_TRUE(request->phashes_hex);
  EXPECT_EQ(request->phashes_hex->size(), 6u);
  // A moving test pattern: consecutive samples differ.
  EXPECT_NE((*request->phashes_hex)[0], (*request->phashes_hex)[1]);
}

// Errors that say what to do, after ffmpeg's own words: a recording with no
// video stream, and a clip shorter than one sample interval, whose suggested
// rate then gives a frame.
TEST(PrepareAttestation, RealFfmpegClipsWithoutFrames) {
  if (std::system("command -v ffmpeg >/dev/null && command -v ffprobe >/dev/null") != 0)
    GTEST_SKIP() << "ffmpeg and ffprobe are not installed";
  TempDir dir;
  const std::string make = "cd '" + dir.path().string() +
                           "' && ffmpeg -hide_banner -v error -nostdin -f lavfi -i sine=duration=1 "
                           "audio.mp4 && ffmpeg -hide_banner -v error -nostdin -f lavfi -i "
                           "testsrc=size=64x48:rate=25:duration=0.2 -pix_fmt yuv420p short.mp4";
  ASSERT_EQ(std::system(make.c_str()), 0);
  auto audio = run_in(dir, {"prepare-attestation", "audio.mp4", "--with-pdq"});
  EXPECT_EQ(audio.status, 1);
  EXPECT_TRUE(audio.err.ends_with(
      "Output file #0 does not contain any stream\n\nerror: ffmpeg exited with exit status: 1; "
      "audio.mp4 has no video stream to sample; leave out --with-pdq and --fps to attest its "
      "bytes alone\n"))
      << audio.err;
  auto short_clip = run_in(dir, {"prepare-attestation", "short.mp4", "--with-pdq"});
  EXPECT_EQ(short_clip.status, 1);
  EXPECT_TRUE(short_clip.err.ends_with(
      "error: no PDQ hashes produced: short.mp4 lasts 0.2 s, less than one sample interval at 2 "
      "fps; --fps 5 or more gives at least one frame\n"))
      << short_clip.err;
  auto suggested = run_in(dir, {"prepare-attestation", "short.mp4", "--fps", "5"});
  EXPECT_EQ(suggested.status, 0) << suggested.err;
  EXPECT_NE(suggested.err.find("==> 1 PDQ hashes\n"), std::string::npos) << suggested.err;
}

// A name that ffmpeg would read as a protocol ("concat:...") is sampled as
// the file it names, not as the recording the protocol points at.
TEST(PrepareAttestation, ProtocolLikeNamesAreSampledAsFiles) {
  if (std::system("command -v ffmpeg >/dev/null && command -v ffprobe >/dev/null") != 0)
    GTEST_SKIP() << "ffmpeg and ffprobe are not installed";
  TempDir dir;
  const std::string make = "cd '" + dir.path().string() +
                           "' && ffmpeg -hide_banner -v error -nostdin -f lavfi -i "
                           "testsrc2=size=160x120:rate=10:duration=1 other.mp4 && ffmpeg "
                           "-hide_banner -v error -nostdin -f lavfi -i "
                           "mandelbrot=size=160x120:rate=10 -t 1 own.mp4 && cp own.mp4 "
                           "'concat:other.mp4'";
  ASSERT_EQ(std::system(make.c_str()), 0);
  auto named = run_in(dir, {"prepare-attestation", "concat:other.mp4", "--with-pdq"});
  auto plain = run_in(dir, {"prepare-attestation", "own.mp4", "--with-pdq"});
  ASSERT_EQ(named.status, 0) << named.err;
  ASSERT_EQ(plain.status, 0) << plain.err;
  EXPECT_EQ(named.out.substr(named.out.find("\"fps\"")), plain.out.substr(plain.out.find("\"fps\"")));
}

// Sampling reads the recording twice, so a pipe is refused at once rather
// than left hanging; exact-only hashing of a pipe still works.
TEST(PrepareAttestation, PipesAreRefusedForSamplingOnly) {
  TempDir dir;
  ASSERT_EQ(::mkfifo(dir.file("live.fifo").c_str(), 0600), 0);
  auto r = run_in(dir, {"prepare-attestation", "live.fifo", "--with-pdq"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.err.ends_with("error: PDQ sampling needs a regular file: live.fifo is read twice "
                              "(SHA-256, then ffmpeg); give --pdq-hashes for a stream\n"))
      << r.err;
  std::thread feeder([&] { write_file(dir.file("live.fifo"), "hello"); });
  auto exact = run_in(dir, {"prepare-attestation", "live.fifo", "--name", "clip.mp4"});
  feeder.join();
  EXPECT_EQ(exact.status, 0) << exact.err;
  EXPECT_EQ(exact.out, kExactOnlyHello);
}

// Interrupted while ffmpeg runs, the command stops and reaps it: no decoder
// is left behind.
TEST(PrepareAttestation, InterruptionStopsFfmpeg) {
  TempDir dir;
  write_file(dir.file("clip.mp4"), "hello");
  write_script(dir.file("ffmpeg"), "echo $$ > '" + dir.file("ffmpeg.pid") + "'\nexec sleep 100\n");
  const std::string command = "cd '" + dir.path().string() +
                              "' && VORLANT_VERIFY_FFPROBE=/nonexistent VORLANT_VERIFY_FFMPEG='" +
                              dir.file("ffmpeg") + "' exec " + test_util::program_command() +
                              " prepare-attestation clip.mp4 --with-pdq 2> err.txt";
  pid_t child = ::fork();
  if (child == 0) {
    ::execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
    ::_exit(127);
  }
  std::string pid_text;
  for (int i = 0; i < 5000 && pid_text.empty(); ++i) {
    pid_text = read_file(dir.file("ffmpeg.pid"));
    if (pid_text.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_FALSE(pid_text.empty());
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // ffmpeg is now sleep
  ::kill(child, SIGTERM);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_TRUE(read_file(dir.file("err.txt")).ends_with("error: interrupted by SIGTERM\n"));
  EXPECT_EQ(::kill(std::stoi(pid_text), 0), -1);
}

}  // namespace
