// The PDQ library against a plain scalar transcription of the algorithm, bit
// for bit, on every vector path this processor can run, plus the edge cases
// of the frame-hash interface, images read in place through a row stride,
// the symmetries' hashes and the quality figure.

#include "pdq/pdq.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <bit>
#include <cstdio>
#include <cstring>
#include <optional>
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
// transcription, whatever the image and whichever path runs. The identity
// variant is the hash itself, and the paths agree on the other variants and
// the quality too.
TEST(PdqProperty, EveryPathEqualsScalarTranscription) {
  const std::vector<KernelPath> paths = runnable_paths();
  std::size_t ffmpeg_count = 0;
  for (const Image& img : images()) {
    SCOPED_TRACE(img.name);
    if (img.name.find(" frame ") != std::string::npos) ++ffmpeg_count;
    const std::string expected = hex_of(pdq_reference::pdq_hash(img.rgba, img.width, img.height));
    std::optional<pdq::HashVariants> first;
    for (KernelPath p : paths) {
      SCOPED_TRACE(pdq::testing::path_name(p));
      pdq::Hasher hasher(*pdq::testing::kernels_for(p));
      auto got = hasher.pdq_hash(img.rgba, img.width, img.height);
      ASSERT_TRUE(got.has_value()) << got.error().message();
      EXPECT_EQ(hex_of(*got), expected);
      const auto all = *hasher.pdq_hash_variants({img.rgba, img.width, img.height});
      EXPECT_EQ(hex_of(all.hash()), expected);
      if (!first) first = all;
      EXPECT_TRUE(all.variants == first->variants && all.quality == first->quality);
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

// A window of a larger image, read in place, hashes as its pixels copied
// out would; the bytes end at the window's last pixel, so a read past it
// shows under the sanitizers. A 512x512 window with gaps between its rows
// takes the general path and must still give the frame kernel's bits.
TEST(PdqStride, WindowsHashAsTheirPixelsCopiedOut) {
  struct Case {
    std::size_t outer_w, outer_h, left, top, w, h;
  };
  constexpr Case kWindows[] = {{700, 560, 90, 40, 512, 512},
                               {640, 360, 80, 0, 480, 360},
                               {256, 256, 0, 32, 256, 192},
                               {33, 20, 3, 2, 7, 5}};
  for (const Case& c : kWindows) {
    const Image outer = random_image(static_cast<unsigned>(c.outer_w), c.outer_w, c.outer_h);
    const std::size_t stride = 4 * c.outer_w, first = c.top * stride + 4 * c.left;
    const std::vector<std::uint8_t> bytes(&outer.rgba[first],
                                          &outer.rgba[first] + (c.h - 1) * stride + 4 * c.w);
    std::vector<std::uint8_t> copied;
    for (std::size_t y = 0; y < c.h; ++y)
      copied.insert(copied.end(), &bytes[y * stride], &bytes[y * stride] + 4 * c.w);
    const std::string expected = hex_of(pdq_reference::pdq_hash(copied, c.w, c.h));
    for (KernelPath p : runnable_paths()) {
      SCOPED_TRACE(std::to_string(c.w) + " wide on " + std::string(pdq::testing::path_name(p)));
      pdq::Hasher hasher(*pdq::testing::kernels_for(p));
      EXPECT_EQ(hex_of(*hasher.pdq_hash({bytes, c.w, c.h, stride})), expected);
    }
  }
  const std::vector<std::uint8_t> bytes(4 * 100 * 10);
  pdq::Hasher hasher;
  EXPECT_EQ(hasher.pdq_hash({bytes, 100, 10, 399}).error().message(),
            "pdq hash failed: row stride shorter than a row");
  EXPECT_EQ(hasher.pdq_hash({std::span(bytes).first(9 * 400 + 199), 50, 10, 400}).error().message(),
            "pdq hash failed: image buffer too small");
}

// A picture turned by T, hashed as pixels: its variant T comes back near the
// picture's own hash (how near, and why not exactly, in pdq.h), and every
// other variant lies much further off.
TEST(PdqVariants, EachTurnedPictureGivesBackTheOriginalsHash) {
  // The pixel that lands at (x, y): axes swapped, then x and y reversed.
  constexpr bool kMoves[pdq::kDihedralCount][3] = {{0, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 0, 1},
                                                   {0, 1, 1}, {1, 1, 0}, {1, 0, 0}, {1, 1, 1}};
  const auto distance = [](const pdq::Hash256& a, const pdq::Hash256& b) {
    int d = 0;
    for (std::size_t i = 0; i < 32; ++i) d += std::popcount(static_cast<unsigned>(a[i] ^ b[i]));
    return d;
  };
  pdq::Hasher hasher;
  for (std::size_t t = 0; t < pdq::kDihedralCount; ++t) {
    const auto [swap, reverse_x, reverse_y] = kMoves[t];
    int worst = 0;
    for (const Image& img : images()) {
      if (img.name.find(" frame ") == std::string::npos && img.name != "radial") continue;
      SCOPED_TRACE(img.name + ", " + std::string(pdq::dihedral_name(pdq::Dihedral(t))));
      Image moved = img;
      for (std::size_t y = 0; y < 512; ++y) {
        for (std::size_t x = 0; x < 512; ++x) {
          std::size_t sx = swap ? y : x, sy = swap ? x : y;
          if (reverse_x) sx = 511 - sx;
          if (reverse_y) sy = 511 - sy;
          std::memcpy(&moved.rgba[4 * (512 * y + x)], &img.rgba[4 * (512 * sy + sx)], 4);
        }
      }
      const pdq::Hash256 own = *hasher.pdq_hash(img.rgba, 512, 512);
      const auto variants = hasher.pdq_hash_variants({moved.rgba, 512, 512})->variants;
      const int d = distance(variants[t], own);
      worst = std::max(worst, d);
      EXPECT_LE(d, 30);
      for (std::size_t other = 0; other < pdq::kDihedralCount; ++other)
        if (other != t) {
          EXPECT_GT(distance(variants[other], own), std::max(48, 2 * d)) << other;
        }
    }
    std::printf("%-28s at most %2d bits\n", pdq::dihedral_name(pdq::Dihedral(t)).data(), worst);
  }
  EXPECT_EQ(pdq::dihedral_name(pdq::Dihedral::Rotated90CounterClockwise),
            "rotated 90 counter-clockwise");
}

// Worked out by hand: the box passes weigh the 7 pixels from 2 before a
// sample to 4 after it 1, 2, 3, 4, 3, 2, 1 (over 16), so an edge between
// samples 31 and 32 leaves 31 at 15/16 of white: (93 + 6) * 64 / 90. The
// corner: (31 * 99 + 92) * 2 / 90. Stripes swing every sample by 14/16.
TEST(PdqQuality, FlatFramesScoreZeroAndEdgesAsWorkedOut) {
  const auto white_where = [](std::string name, auto white) {
    return painted(std::move(name), 512, 512, [white](std::size_t x, std::size_t y) {
      return white(x, y) ? Px{255, 255, 255, 255} : Px{0, 0, 0, 255};
    });
  };
  Image grey = blank("grey");
  std::fill(grey.rgba.begin(), grey.rgba.end(), 128);
  const std::pair<Image, int> cases[] = {
      {blank("black"), 0},
      {grey, 0},
      {white_where("left half", [](std::size_t x, std::size_t) { return x < 256; }), 70},
      {white_where("top half", [](std::size_t, std::size_t y) { return y < 256; }), 70},
      {white_where("corner", [](std::size_t x, std::size_t y) { return x < 256 && y < 256; }), 70},
      {white_where("stripes", [](std::size_t x, std::size_t) { return x % 16 < 8; }), 100},
  };
  pdq::Hasher hasher;
  for (const auto& [img, quality] : cases)
    EXPECT_EQ(hasher.pdq_hash_variants({img.rgba, 512, 512})->quality, quality) << img.name;
}

}  // namespace
