// The PDQ library against a plain scalar transcription of the algorithm, bit
// for bit, on every vector path this processor can run, plus the edge cases
// of the frame-hash interface.

#include "pdq/pdq.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <bit>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "encoding/sha256.h"
#include "pdq/pdq_testing.h"
#include "pdq_reference.h"

namespace {

using pdq::testing::KernelPath;

struct Image {
  std::string name;
  std::size_t width = 512, height = 512;
  std::vector<std::uint8_t> rgba;
};

Image blank(std::string name, std::size_t w = 512, std::size_t h = 512) {
  return Image{std::move(name), w, h, std::vector<std::uint8_t>(w * h * 4, 0)};
}

template <class F>
Image painted(std::string name, std::size_t w, std::size_t h, F colour) {
  Image img = blank(std::move(name), w, h);
  for (std::size_t y = 0; y < h; ++y) {
    for (std::size_t x = 0; x < w; ++x) {
      const std::array<std::uint8_t, 4> c = colour(x, y);
      std::memcpy(&img.rgba[4 * (y * w + x)], c.data(), 4);
    }
  }
  return img;
}

Image random_image(unsigned seed, std::size_t w = 512, std::size_t h = 512) {
  Image img = blank(
      "random " + std::to_string(seed) + " " + std::to_string(w) + "x" + std::to_string(h), w, h);
  std::mt19937 rng(seed);
  for (auto& b : img.rgba) b = static_cast<std::uint8_t>(rng());
  return img;
}

using Px = std::array<std::uint8_t, 4>;
std::uint8_t u8(std::size_t v) { return static_cast<std::uint8_t>(v); }

// Frames decoded by ffmpeg from its built-in test sources, scaled to 512x512.
std::vector<Image> ffmpeg_frames() {
  std::vector<Image> frames;
  for (const char* source : {"testsrc2", "mandelbrot", "smptebars"}) {
    const std::string command = std::string("ffmpeg -v error -f lavfi -i ") + source +
                                "=size=512x512:rate=1 -frames:v 3 -pix_fmt rgba -f rawvideo - "
                                "2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) continue;
    for (int n = 0;; ++n) {
      Image img = blank(std::string(source) + " frame " + std::to_string(n));
      if (std::fread(img.rgba.data(), 1, img.rgba.size(), pipe) != img.rgba.size()) break;
      frames.push_back(std::move(img));
    }
    ::pclose(pipe);
  }
  return frames;
}

// Coefficients equal to the median: a frame of zeros ties all 256, and a
// small bright dot leaves most of the 64x64 samples at zero, so many
// coefficients are products of the same few numbers.
std::vector<Image> tie_frames() {
  std::vector<Image> frames;
  frames.push_back(blank("zeros"));
  for (std::size_t pos : {4u, 12u, 60u, 260u, 508u}) {
    Image img = blank("dot at " + std::to_string(pos));
    for (std::size_t dy = 0; dy < 2; ++dy)
      for (std::size_t dx = 0; dx < 2; ++dx)
        std::memset(&img.rgba[4 * ((pos + dy) * 512 + pos + dx)], 255, 3);
    frames.push_back(std::move(img));
  }
  return frames;
}

std::vector<Image> corpus() {
  std::vector<Image> c;
  for (unsigned seed = 1; seed <= 6; ++seed) c.push_back(random_image(seed));
  c.push_back(painted("horizontal gradient", 512, 512, [](std::size_t x, std::size_t) {
    return Px{u8(x / 2), u8(x / 2), u8(x / 2), 255};
  }));
  c.push_back(painted("vertical gradient", 512, 512, [](std::size_t, std::size_t y) {
    return Px{u8(y / 2), 0, u8(255 - y / 2), 255};
  }));
  c.push_back(painted("diagonal gradient", 512, 512, [](std::size_t x, std::size_t y) {
    return Px{u8((x + y) / 4), u8((x + 2 * y) / 6), u8((3 * x + y) / 8), 0};
  }));
  c.push_back(painted("radial", 512, 512, [](std::size_t x, std::size_t y) {
    const double dx = double(x) - 200.5, dy = double(y) - 300.25;
    return Px{u8(static_cast<std::size_t>(std::sqrt(dx * dx + dy * dy)) % 256), 128, 64, 255};
  }));
  c.push_back(painted("checkerboard", 512, 512, [](std::size_t x, std::size_t y) {
    return ((x / 37 + y / 23) % 2) ? Px{255, 255, 255, 255} : Px{0, 0, 0, 255};
  }));
  c.push_back(painted("left half white", 512, 512, [](std::size_t x, std::size_t) {
    return x < 256 ? Px{255, 255, 255, 255} : Px{0, 0, 0, 255};
  }));
  c.push_back(painted("thin stripes", 512, 512, [](std::size_t x, std::size_t y) {
    return (x % 3 == 0 || y % 5 == 1) ? Px{250, 10, 90, 255} : Px{5, 240, 30, 255};
  }));
  for (Px colour : {Px{255, 255, 255, 255}, Px{1, 2, 3, 4}, Px{128, 64, 32, 0}, Px{0, 0, 255, 255}})
    c.push_back(painted("constant " + std::to_string(colour[0]) + "," + std::to_string(colour[1]) +
                            "," + std::to_string(colour[2]),
                        512, 512, [colour](std::size_t, std::size_t) { return colour; }));
  for (Image& f : tie_frames()) c.push_back(std::move(f));
  for (Image& f : ffmpeg_frames()) c.push_back(std::move(f));
  // Other sizes exercise windows that are not powers of two and the lanes
  // left over at the edges of the vectors.
  c.push_back(random_image(7, 5, 5));
  c.push_back(random_image(8, 7, 300));
  c.push_back(random_image(9, 640, 360));
  c.push_back(random_image(10, 100, 1000));
  c.push_back(random_image(11, 333, 129));
  return c;
}

const std::vector<Image>& images() {
  static const std::vector<Image> all = corpus();
  return all;
}

std::vector<KernelPath> runnable_paths() {
  std::vector<KernelPath> paths;
  for (KernelPath p : pdq::testing::kAllPaths)
    if (pdq::testing::kernels_for(p)) paths.push_back(p);
  return paths;
}

std::string hex_of(const std::array<std::uint8_t, 32>& h) { return pdq::hash_to_hex(h); }

TEST(PdqDct, MatchesPublishedEntriesAndDigest) {
  const std::span<const float, 1024> d = pdq::testing::dct_matrix();
  struct Entry {
    int i, k;
    std::uint32_t bits;
  };
  constexpr Entry kEntries[] = {{0, 0, 0x3E34F6FE},  {0, 21, 0x3DB272BE}, {0, 31, 0x3B8E284E},
                                {0, 32, 0xBB8E286F}, {1, 0, 0x3E34CD21},  {15, 0, 0x3E273D74},
                                {15, 63, 0x3E273D75}};
  for (const Entry& e : kEntries) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(d[e.i * 64 + e.k]), e.bits) << e.i << "," << e.k;
  }
  std::vector<std::uint8_t> bytes(4096);
  for (std::size_t n = 0; n < 1024; ++n) {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(d[n]);
    for (int b = 0; b < 4; ++b) bytes[4 * n + b] = static_cast<std::uint8_t>(bits >> (8 * b));
  }
  EXPECT_EQ(sha256_hex(bytes), "552e81553dfb7781261fbea79f0019c5007d49aee5af16c054bcb46c14faab4f");
  // The run-time double-precision cosine of this machine agrees with the
  // compile-time table.
  const auto reference = pdq_reference::dct_matrix();
  EXPECT_EQ(std::memcmp(reference.data(), d.data(), 4096), 0);
}

TEST(PdqPaths, BaselineAlwaysRunsAndSelectedPathRuns) {
  EXPECT_NE(pdq::testing::kernels_for(KernelPath::Baseline), nullptr);
  EXPECT_NE(pdq::testing::kernels_for(pdq::testing::selected_path()), nullptr);
  for (KernelPath p : runnable_paths())
    std::printf("runnable path: %s\n", pdq::testing::path_name(p).data());
}

// The property every optimisation must keep: identical bits to the plain
// transcription, whatever the image and whichever path runs.
TEST(PdqProperty, EveryPathEqualsScalarTranscription) {
  const std::vector<KernelPath> paths = runnable_paths();
  std::size_t ffmpeg_count = 0;
  for (const Image& img : images()) {
    SCOPED_TRACE(img.name);
    if (img.name.find(" frame ") != std::string::npos) ++ffmpeg_count;
    const std::string expected = hex_of(pdq_reference::pdq_hash(img.rgba, img.width, img.height));
    for (KernelPath p : paths) {
      SCOPED_TRACE(pdq::testing::path_name(p));
      pdq::Hasher hasher(*pdq::testing::kernels_for(p));
      auto got = hasher.pdq_hash(img.rgba, img.width, img.height);
      ASSERT_TRUE(got.has_value()) << got.error().message();
      EXPECT_EQ(hex_of(*got), expected);
    }
  }
  EXPECT_EQ(ffmpeg_count, 9u) << "ffmpeg test sources did not decode";
}

TEST(PdqProperty, TieFramesReallyTieAtTheMedian) {
  int tied = 0;
  for (const Image& img : tie_frames()) {
    const auto b = pdq_reference::coefficients(img.rgba, 512, 512);
    const float m = pdq_reference::torben_median(b);
    int equal = 0, above = 0;
    for (float v : b) {
      equal += v == m;
      above += v > m;
    }
    if (equal > 1) ++tied;
    auto hash = pdq::hash_rgba_frame(img.rgba);
    ASSERT_TRUE(hash.has_value());
    int ones = 0;
    for (char c : *hash)
      ones += std::popcount(static_cast<unsigned>(std::stoi(std::string(1, c), nullptr, 16)));
    EXPECT_EQ(ones, above) << img.name;
  }
  EXPECT_GE(tied, 3);  // the zeros and at least two dots
}

// Coefficient k's bit is bit k % 8 of byte 31 - k / 8: coefficient 0 is the
// lowest bit of the last digit, coefficient 255 the highest of the first.
TEST(PdqBits, EachCoefficientLandsInItsPlace) {
  bool seen[2][2] = {};
  for (const Image& img : images()) {
    if (img.width != 512 || img.height != 512) continue;
    SCOPED_TRACE(img.name);
    const auto b = pdq_reference::coefficients(img.rgba, 512, 512);
    const float m = pdq_reference::torben_median(b);
    auto hash = pdq::hash_rgba_frame(img.rgba);
    ASSERT_TRUE(hash.has_value());
    ASSERT_EQ(hash->size(), 64u);
    for (int k = 0; k < 256; ++k) {
      const int digit = std::stoi(hash->substr(63 - k / 4, 1), nullptr, 16);
      ASSERT_EQ((digit >> (k % 4)) & 1, b[k] > m ? 1 : 0) << "coefficient " << k;
    }
    seen[0][b[0] > m] = true;
    seen[1][b[255] > m] = true;
  }
  EXPECT_TRUE(seen[0][0] && seen[0][1] && seen[1][0] && seen[1][1]);
}

TEST(PdqFrame, AllZeroFrameHashesToZeros) {
  const std::vector<std::uint8_t> frame(pdq::kRgbaFrameBytes, 0);
  EXPECT_EQ(pdq::hash_rgba_frame(frame), std::string(64, '0'));
}

TEST(PdqFrame, AlphaIsIgnored) {
  Image img = random_image(42);
  const std::string before = *pdq::hash_rgba_frame(img.rgba);
  for (std::size_t p = 3; p < img.rgba.size(); p += 4)
    img.rgba[p] = static_cast<std::uint8_t>(p * 7);
  EXPECT_EQ(*pdq::hash_rgba_frame(img.rgba), before);
}

// Images flush against an unmapped page on either side: a path that reads
// a byte before or after its pixels faults here instead of hashing (or
// crashing on) whatever lies next to a caller's buffer.
TEST(PdqFrame, NoPathReadsOutsideTheImage) {
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const std::size_t room = pdq::kRgbaFrameBytes;  // a whole number of pages
  void* mapped =
      mmap(nullptr, room + 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mapped, MAP_FAILED);
  auto* inside = static_cast<std::uint8_t*>(mapped) + page;
  ASSERT_EQ(mprotect(inside - page, page, PROT_NONE), 0);
  ASSERT_EQ(mprotect(inside + room, page, PROT_NONE), 0);
  for (const Image& img : {random_image(11), random_image(12, 7, 300), random_image(13, 33, 5)}) {
    const std::string expected = hex_of(pdq_reference::pdq_hash(img.rgba, img.width, img.height));
    for (std::uint8_t* at : {inside, inside + room - img.rgba.size()}) {
      std::memcpy(at, img.rgba.data(), img.rgba.size());
      for (KernelPath p : runnable_paths()) {
        SCOPED_TRACE(img.name + " on " + std::string(pdq::testing::path_name(p)));
        pdq::Hasher hasher(*pdq::testing::kernels_for(p));
        auto got = hasher.pdq_hash({at, img.rgba.size()}, img.width, img.height);
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(hex_of(*got), expected);
      }
    }
  }
  munmap(mapped, room + 2 * page);
}

TEST(PdqFrame, WrongSizesAreRefusedWithTheirLength) {
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, pdq::kRgbaFrameBytes - 1,
                           pdq::kRgbaFrameBytes + 1, std::size_t{640 * 360 * 4}}) {
    const std::vector<std::uint8_t> frame(size, 9);
    pdq::Hasher hasher;
    for (auto result : {pdq::hash_rgba_frame(frame), hasher.hash_rgba_frame(frame)}) {
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error().kind, pdq::FrameHashError::Kind::InvalidRgbaFrameSize);
      EXPECT_EQ(result.error().got, size);
      EXPECT_EQ(result.error().expected, 1048576u);
      EXPECT_EQ(result.error().message(),
                "invalid RGBA frame size: got " + std::to_string(size) + ", expected 1048576");
    }
  }
  const std::vector<std::uint8_t> short_frame(1048575);
  EXPECT_EQ(pdq::hash_rgba_frame(short_frame).error().message(),
            "invalid RGBA frame size: got 1048575, expected 1048576");
}

TEST(PdqImage, SidesBelowFiveAndShortBuffersFail) {
  const std::vector<std::uint8_t> bytes(4 * 100 * 100, 1);
  struct Case {
    std::size_t w, h;
    std::string message;
  };
  const Case cases[] = {{4, 100, "pdq hash failed: empty image"},
                        {100, 4, "pdq hash failed: empty image"},
                        {0, 0, "pdq hash failed: empty image"},
                        {100, 101, "pdq hash failed: image buffer too small"},
                        {SIZE_MAX / 2, 100, "pdq hash failed: image buffer too small"}};
  for (const Case& c : cases) {
    auto result = pdq::pdq_hash(bytes, c.w, c.h);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind, pdq::FrameHashError::Kind::HashFailed);
    EXPECT_EQ(result.error().message(), c.message);
  }
  EXPECT_TRUE(pdq::pdq_hash(bytes, 5, 5).has_value());
}

// A reused hasher keeps no state between images, even across sizes.
TEST(PdqDeterminism, RepeatedCallsAndSizesAgree) {
  pdq::Hasher hasher;
  std::vector<std::string> first;
  for (int round = 0; round < 2; ++round) {
    std::size_t n = 0;
    for (const Image& img : images()) {
      const std::string h = hex_of(*hasher.pdq_hash(img.rgba, img.width, img.height));
      if (round == 0)
        first.push_back(h);
      else
        EXPECT_EQ(h, first[n]) << img.name;
      ++n;
    }
  }
}

TEST(PdqDeterminism, ThreadsAgreeOnEveryPath) {
  const std::vector<Image>& all = images();
  std::vector<std::string> expected;
  for (const Image& img : all)
    expected.push_back(hex_of(*pdq::pdq_hash(img.rgba, img.width, img.height)));
  std::vector<KernelPath> paths = runnable_paths();
  std::vector<std::vector<std::string>> results(paths.size() * 2);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < results.size(); ++t) {
    threads.emplace_back([&, t] {
      pdq::Hasher hasher(*pdq::testing::kernels_for(paths[t % paths.size()]));
      for (const Image& img : all)
        results[t].push_back(hex_of(*hasher.pdq_hash(img.rgba, img.width, img.height)));
    });
  }
  for (auto& th : threads) th.join();
  for (const auto& r : results) EXPECT_EQ(r, expected);
}

}  // namespace
