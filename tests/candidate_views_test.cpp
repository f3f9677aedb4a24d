// A candidate frame's views on synthetic 128x128 frames: where bars are
// found, and that a mirrored, rotated or boxed copy of a picture has a view
// that names what was done to it and lies near the picture's own hash.

#include "matching/candidate_views.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace {

constexpr std::size_t kSide = 128;

// A picture with no symmetry and no uniform line: smooth waves over a slope.
std::vector<std::uint8_t> picture(std::size_t width = kSide, std::size_t height = kSide) {
  std::vector<std::uint8_t> rgba(4 * width * height);
  for (std::size_t y = 0; y < height; ++y) {
    for (std::size_t x = 0; x < width; ++x) {
      const double u = static_cast<double>(x) / static_cast<double>(width);
      const double v = static_cast<double>(y) / static_cast<double>(height);
      const double level = 120 + 60 * std::sin(37 * u + 19 * v * v) +
                           50 * std::cos(29 * v - 13 * u) + 20 * u - 15 * v;
      const auto l = static_cast<std::uint8_t>(std::clamp(level, 0.0, 255.0));
      std::uint8_t* p = &rgba[4 * (y * width + x)];
      p[0] = l;
      p[1] = static_cast<std::uint8_t>(l / 2 + 60);
      p[2] = static_cast<std::uint8_t>(255 - l);
      p[3] = 255;
    }
  }
  return rgba;
}

// Paints `count` lines of `level` at both ends of the rows (or columns).
void paint_bars(std::vector<std::uint8_t>& rgba, bool columns, std::size_t first,
                std::size_t second, std::uint8_t level, std::uint8_t second_level) {
  for (std::size_t a = 0; a < kSide; ++a) {
    for (std::size_t b = 0; b < kSide; ++b) {
      const bool in_first = b < first, in_second = b >= kSide - second;
      if (!in_first && !in_second) continue;
      const std::size_t pixel = columns ? a * kSide + b : b * kSide + a;
      const std::uint8_t l = in_first ? level : second_level;
      for (int c = 0; c < 3; ++c) rgba[4 * pixel + c] = l;
    }
  }
}

// The picture turned by `t`, as the operation's name says.
std::vector<std::uint8_t> turned(const std::vector<std::uint8_t>& rgba, Transform t) {
  std::vector<std::uint8_t> out(rgba.size());
  const std::size_t n = kSide - 1;
  for (std::size_t y = 0; y < kSide; ++y) {
    for (std::size_t x = 0; x < kSide; ++x) {
      // Where output pixel (x, y) comes from.
      std::size_t sx = x, sy = y;
      switch (t) {
        case Transform::None:
          break;
        case Transform::Mirrored:
          sx = n - x;
          break;
        case Transform::Flipped:
          sy = n - y;
          break;
        case Transform::Rotated90Clockwise:
          sx = y, sy = n - x;
          break;
        case Transform::Rotated180:
          sx = n - x, sy = n - y;
          break;
        case Transform::Rotated90CounterClockwise:
          sx = n - y, sy = x;
          break;
        case Transform::Transposed:
          sx = y, sy = x;
          break;
        case Transform::AntiTransposed:
          sx = n - y, sy = n - x;
          break;
      }
      for (int c = 0; c < 4; ++c) out[4 * (y * kSide + x) + c] = rgba[4 * (sy * kSide + sx) + c];
    }
  }
  return out;
}

int distance(const PackedHash& a, const PackedHash& b) { return hamming_distance(a, b); }

TEST(FindPictureArea, UniformBarsOnTwoOppositeSides) {
  const struct {
    const char* name;
    bool columns;
    std::size_t first, second;
    std::uint8_t level, second_level;
    std::optional<std::array<std::size_t, 4>> area;  // x, y, width, height
  } kCases[] = {
      {"letterbox", false, 16, 16, 0, 0, std::array<std::size_t, 4>{0, 16, 128, 96}},
      {"pillarbox", true, 20, 20, 0, 0, std::array<std::size_t, 4>{20, 0, 88, 128}},
      {"grey bars", false, 12, 12, 100, 100, std::array<std::size_t, 4>{0, 12, 128, 104}},
      {"the shorter bar rules", false, 16, 24, 0, 0, std::array<std::size_t, 4>{0, 16, 128, 96}},
      {"no bars", false, 0, 0, 0, 0, std::nullopt},
      {"bars of two colours", false, 16, 16, 0, 255, std::nullopt},
      {"bars too thin", false, 3, 3, 0, 0, std::nullopt},
      {"one bar only", true, 30, 0, 0, 0, std::nullopt},
      {"too little picture", false, 50, 50, 0, 0, std::nullopt},
  };
  for (const auto& c : kCases) {
    std::vector<std::uint8_t> rgba = picture();
    paint_bars(rgba, c.columns, c.first, c.second, c.level, c.second_level);
    const auto area = find_picture_area(rgba, kSide, kSide);
    ASSERT_EQ(area.has_value(), c.area.has_value()) << c.name;
    if (!area) continue;
    EXPECT_EQ((std::array{area->x, area->y, area->width, area->height}), *c.area) << c.name;
    EXPECT_EQ(area->box, c.columns ? Box::Pillarbox : Box::Letterbox) << c.name;
  }
  std::vector<std::uint8_t> grey(4 * kSide * kSide, 90);
  EXPECT_FALSE(find_picture_area(grey, kSide, kSide)) << "a uniform frame is not a boxed picture";
}

TEST(ViewMaker, EachSymmetryFindsThePictureUnderItsOwnName) {
  ViewMaker maker;
  const std::vector<std::uint8_t> original = picture();
  const auto own = maker.views_of(original, kSide, kSide);
  ASSERT_TRUE(own) << own.error();
  ASSERT_EQ(own->views.size(), 8u);
  const PackedHash reference = own->views[0].hash;
  for (std::size_t t = 0; t < pdq::kDihedralCount; ++t) {
    const auto transform = static_cast<Transform>(t);
    const auto views = maker.views_of(turned(original, transform), kSide, kSide);
    ASSERT_TRUE(views) << views.error();
    int named = 257, nearest_other = 257;
    for (const FrameView& v : views->views) {
      const int d = distance(v.hash, reference);
      if (v.view == View{transform, Box::None})
        named = std::min(named, d);
      else if (v.view.box == Box::None)
        nearest_other = std::min(nearest_other, d);
    }
    EXPECT_LE(named, 24) << pdq::dihedral_name(transform);
    EXPECT_GT(nearest_other, 64) << pdq::dihedral_name(transform);
  }
}

TEST(ViewMaker, ABoxedPictureIsComparedByItsArea) {
  // The picture squeezed into the middle 96 rows, black bars above and below.
  const std::vector<std::uint8_t> full = picture();
  const std::vector<std::uint8_t> squeezed = picture(kSide, 96);
  std::vector<std::uint8_t> boxed(4 * kSide * kSide, 0);
  std::copy(squeezed.begin(), squeezed.end(), boxed.begin() + 4 * kSide * 16);
  for (std::size_t i = 3; i < boxed.size(); i += 4) boxed[i] = 255;
  ViewMaker maker;
  const auto own = maker.views_of(full, kSide, kSide);
  const auto views = maker.views_of(boxed, kSide, kSide);
  ASSERT_TRUE(own && views);
  ASSERT_EQ(views->views.size(), 16u);
  EXPECT_EQ(views->views[8].view, (View{Transform::None, Box::Letterbox}));
  EXPECT_LE(distance(views->views[8].hash, own->views[0].hash), 24);
  EXPECT_GT(distance(views->views[0].hash, own->views[0].hash), 31) << "bars and all";
}

TEST(ViewMaker, NearlyUniformFramesCastNoVotes) {
  std::vector<std::uint8_t> grey(4 * kSide * kSide, 40);
  grey[4 * 500] = 43;  // a speck of noise
  ViewMaker maker;
  const auto views = maker.views_of(grey, kSide, kSide);
  ASSERT_TRUE(views) << views.error();
  EXPECT_TRUE(views->low_quality);
  EXPECT_TRUE(views->views.empty());
}

}  // namespace
