// hash-frame-rgba and hash-raw-rgba: line formats, framing, progress and
// failures, byte for byte, through the functions and through the program.

#include "commands/hash_frames.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>

#include "pdq/pdq.h"
#include "pdq_reference.h"
#include "test_util.h"

namespace {

using test_util::run;
using test_util::RunOptions;

constexpr std::size_t kFrame = 1048576;
const std::string kZeros(64, '0');
// The hash of pattern_frame(), checked against the scalar transcription below.
constexpr std::string_view kPatternHex =
    "efd8aaa8ffec2fcdffd0ba50ffd8baf5ffdcbf0061008f05fbc0311000001110";
constexpr std::string_view kPatternBits =
    "1110111111011000101010101010100011111111111011000010111111001101"
    "1111111111010000101110100101000011111111110110001011101011110101"
    "1111111111011100101111110000000001100001000000001000111100000101"
    "1111101111000000001100010001000000000000000000000001000100010000";

std::string pattern_frame() {
  std::string f(kFrame, '\0');
  for (std::size_t y = 0; y < 512; ++y) {
    for (std::size_t x = 0; x < 512; ++x) {
      char* p = &f[4 * (512 * y + x)];
      p[0] = static_cast<char>((x ^ y) & 255);
      p[1] = static_cast<char>((x * y / 7) & 255);
      p[2] = static_cast<char>((x + 3 * y) & 255);
      p[3] = static_cast<char>((x * 13) & 255);
    }
  }
  return f;
}

std::string jsonl(int index, std::string_view hex, std::string_view bits) {
  return "{\"index\":" + std::to_string(index) +
         ",\"algorithm\":\"pdq\",\"bits\":256,\"hash_hex\":\"" + std::string(hex) +
         "\",\"bit_string\":\"" + std::string(bits) + "\"}\n";
}

TEST(HashLines, PatternHashIsTheScalarTranscriptions) {
  const std::string f = pattern_frame();
  const auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(f.data()), f.size());
  EXPECT_EQ(pdq::hash_to_hex(pdq_reference::pdq_hash(bytes, 512, 512)), kPatternHex);
}

TEST(HashLines, EachFormat) {
  const std::string high = "80" + std::string(62, '0');
  EXPECT_EQ(hash_bit_string(high), "1" + std::string(255, '0'));
  EXPECT_EQ(hash_bit_string(kPatternHex), kPatternBits);
  EXPECT_EQ(format_hash_line(7, kPatternHex, HashFormat::Hex), std::string(kPatternHex) + "\n");
  EXPECT_EQ(format_hash_line(7, kPatternHex, HashFormat::Bits), std::string(kPatternBits) + "\n");
  EXPECT_EQ(format_hash_line(18446744073709551615u, kZeros, HashFormat::Jsonl),
            "{\"index\":18446744073709551615,\"algorithm\":\"pdq\",\"bits\":256,\"hash_hex\":\"" +
                kZeros + "\",\"bit_string\":\"" + std::string(256, '0') + "\"}\n");
}

struct ProgramCase {
  std::string name;
  std::vector<std::string> args;
  std::string input;
  int status;
  std::string out;
  std::string err;
};

TEST(HashCommands, ProgramOutputsByteForByte) {
  // The program may stop reading before the feeder has written everything.
  std::signal(SIGPIPE, SIG_IGN);
  const std::string zero(kFrame, '\0');
  const std::string pattern = pattern_frame();
  const std::string hex = std::string(kPatternHex) + "\n";
  const std::string truncated = "error: truncated raw RGBA frame: got 10 of 1048576 bytes\n";
  const std::string one_frame = "error: hash-frame-rgba expects exactly one 512x512 RGBA frame\n";
  const ProgramCase cases[] = {
      {"raw: empty input", {"hash-raw-rgba"}, "", 0, "", ""},
      {"raw: empty input, progress", {"hash-raw-rgba", "--progress"}, "", 0, "", "\n"},
      {"raw: two frames, jsonl, progress",
       {"hash-raw-rgba", "--format", "jsonl", "--progress"},
       pattern + zero,
       0,
       jsonl(0, kPatternHex, kPatternBits) + jsonl(1, kZeros, std::string(256, '0')),
       "\r  hashed 1 frames\r  hashed 2 frames\n"},
      {"raw: two frames, bits",
       {"hash-raw-rgba", "--format", "bits"},
       zero + pattern,
       0,
       std::string(256, '0') + "\n" + std::string(kPatternBits) + "\n",
       ""},
      {"raw: truncated third frame",
       {"hash-raw-rgba"},
       pattern + zero + std::string(10, 'x'),
       1,
       hex + kZeros + "\n",
       truncated},
      {"raw: truncated third frame, progress",
       {"hash-raw-rgba", "--progress"},
       pattern + zero + std::string(10, 'x'),
       1,
       hex + kZeros + "\n",
       "\r  hashed 1 frames\r  hashed 2 frames" + truncated},
      {"raw: one byte short",
       {"hash-raw-rgba"},
       pattern.substr(1),
       1,
       "",
       "error: truncated raw RGBA frame: got 1048575 of 1048576 bytes\n"},
      {"frame: exactly one", {"hash-frame-rgba"}, pattern, 0, hex, ""},
      {"frame: progress changes nothing", {"hash-frame-rgba", "--progress"}, pattern, 0, hex, ""},
      {"frame: jsonl",
       {"hash-frame-rgba", "--format", "jsonl"},
       zero,
       0,
       jsonl(0, kZeros, std::string(256, '0')),
       ""},
      {"frame: one byte more", {"hash-frame-rgba"}, pattern + "x", 1, "", one_frame},
      {"frame: two frames", {"hash-frame-rgba"}, pattern + pattern, 1, "", one_frame},
      {"frame: one byte less",
       {"hash-frame-rgba"},
       pattern.substr(1),
       1,
       "",
       "error: failed to fill whole buffer\n"},
      {"frame: empty",
       {"hash-frame-rgba", "--format", "bits"},
       "",
       1,
       "",
       "error: failed to fill whole buffer\n"},
  };
  for (const ProgramCase& c : cases) {
    SCOPED_TRACE(c.name);
    RunOptions options;
    options.stdin_bytes = c.input;
    const auto r = run(c.args, options);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
  }
}

TEST(HashCommands, ClosedOutputPipeIsAWriteError) {
  for (const char* command : {"hash-frame-rgba", "hash-raw-rgba"}) {
    SCOPED_TRACE(command);
    RunOptions options;
    options.stdin_bytes = std::string(kFrame, '\0');
    options.close_stdout_early = true;
    const auto r = run({command}, options);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error: Broken pipe (os error 32)\n");
  }
}

// A pipe whose writer sends a frame in small pieces with pauses: the frame
// must be reassembled whole, and each line must be readable before the next
// frame is sent.
class SlowPipe : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::pipe(in_), 0);
    ASSERT_EQ(::pipe(out_), 0);
  }
  void TearDown() override {
    for (int fd : {in_[0], in_[1], out_[0], out_[1]})
      if (fd >= 0) ::close(fd);
  }
  void send_slowly(std::string_view bytes, std::size_t piece) {
    while (!bytes.empty()) {
      const std::size_t n = std::min(piece, bytes.size());
      ASSERT_EQ(::write(in_[1], bytes.data(), n), static_cast<ssize_t>(n));
      bytes.remove_prefix(n);
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
  }
  // Reads one line from the command's output, waiting at most 60 seconds.
  std::string read_line() {
    std::string line;
    char c = 0;
    while (c != '\n') {
      pollfd p{out_[0], POLLIN, 0};
      if (::poll(&p, 1, 60000) != 1 || ::read(out_[0], &c, 1) != 1) return line + "<no line>";
      line.push_back(c);
    }
    return line;
  }
  void close_input() {
    ::close(in_[1]);
    in_[1] = -1;
  }
  int in_[2] = {-1, -1};
  int out_[2] = {-1, -1};
};

TEST_F(SlowPipe, StreamReassemblesFramesAndWritesEachLineAtOnce) {
  const std::string pattern = pattern_frame();
  std::string first, second;
  std::thread producer([&] {
    send_slowly(pattern, 4099);
    first = read_line();  // before the second frame exists
    send_slowly(pattern, 65536 + 3);
    second = read_line();
    close_input();
  });
  const auto result = hash_frame_stream(in_[0], out_[1], false, HashFormat::Hex);
  producer.join();
  EXPECT_TRUE(result.has_value()) << result.error();
  EXPECT_EQ(first, std::string(kPatternHex) + "\n");
  EXPECT_EQ(second, std::string(kPatternHex) + "\n");
}

TEST_F(SlowPipe, SingleFrameArrivesInPieces) {
  const std::string pattern = pattern_frame();
  std::thread producer([&] {
    send_slowly(pattern, 1000);
    close_input();
  });
  const auto result = hash_single_frame(in_[0], out_[1], HashFormat::Hex);
  producer.join();
  EXPECT_TRUE(result.has_value()) << result.error();
  EXPECT_EQ(read_line(), std::string(kPatternHex) + "\n");
}

}  // namespace
