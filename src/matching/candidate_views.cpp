// Turns one sampled candidate frame into the hashes it is compared with. The
// eight symmetries come from one DCT, so a mirrored or rotated copy costs a
// median per variant, not a hash per variant. Bars are found by luminance:
// rows (or columns) at two opposite edges that stay within compression
// noise of one level, whatever colour the bars are.

#include "matching/candidate_views.h"

#include <algorithm>

namespace {

constexpr int kBarNoise = 16;             // luminance spread a bar line may show
constexpr std::size_t kMinBarPercent = 4;  // of the frame's side, each bar
constexpr std::size_t kMinPicturePercent = 25;

struct LineLevel {
  int low = 255, high = 0, mean = 0;
};

// The luminance spread and mean of row `index` (or column, when `columns`).
LineLevel line_level(std::span<const std::uint8_t> rgba, std::size_t width, std::size_t height,
                     bool columns, std::size_t index) {
  const std::size_t length = columns ? height : width;
  LineLevel level;
  long sum = 0;
  for (std::size_t i = 0; i < length; ++i) {
    const std::size_t pixel = columns ? i * width + index : index * width + i;
    const std::uint8_t* p = rgba.data() + 4 * pixel;
    const int y = (77 * p[0] + 150 * p[1] + 29 * p[2]) >> 8;
    level.low = std::min(level.low, y);
    level.high = std::max(level.high, y);
    sum += y;
  }
  level.mean = static_cast<int>(sum / static_cast<long>(length));
  return level;
}

// How many lines from one edge form a bar of one level.
std::size_t bar_lines(std::span<const std::uint8_t> rgba, std::size_t width, std::size_t height,
                      bool columns, bool from_end, int* level_out) {
  const std::size_t count = columns ? width : height;
  std::size_t n = 0;
  int level = -1;
  for (; n < count; ++n) {
    const LineLevel line =
        line_level(rgba, width, height, columns, from_end ? count - 1 - n : n);
    // The line where a bar meets the picture is blurred by scaling: still
    // the bar's, as long as its level is.
    if (line.high - line.low > 2 * kBarNoise) break;
    if (level < 0) level = line.mean;
    if (std::abs(line.mean - level) > kBarNoise) break;
  }
  *level_out = level;
  return n;
}

// Bars on both ends of one axis, of one colour, leaving a picture between.
std::optional<std::pair<std::size_t, std::size_t>> bars(std::span<const std::uint8_t> rgba,
                                                        std::size_t width, std::size_t height,
                                                        bool columns) {
  const std::size_t count = columns ? width : height;
  int level_start = 0, level_end = 0;
  const std::size_t start = bar_lines(rgba, width, height, columns, false, &level_start);
  if (start * 100 < count * kMinBarPercent || start == count) return std::nullopt;
  const std::size_t end = bar_lines(rgba, width, height, columns, true, &level_end);
  if (end * 100 < count * kMinBarPercent || std::abs(level_start - level_end) > kBarNoise) {
    return std::nullopt;
  }
  // Players centre the picture: a bar that looks longer than its opposite
  // one has dark picture next to it.
  const std::size_t bar = std::min(start, end);
  if ((count - 2 * bar) * 100 < count * kMinPicturePercent) return std::nullopt;
  return std::pair(bar, count - 2 * bar);
}

// The picture area stretched back to the frame's square, bilinear, so it is
// hashed from the same grid of samples as a frame without bars.
pdq::RgbaImage stretch(const pdq::RgbaImage& area, std::size_t side, std::vector<std::uint8_t>& out) {
  const std::size_t stride = area.stride == 0 ? 4 * area.width : area.stride;
  out.resize(4 * side * side);
  // The source position of output line i, as its lower neighbour and weight.
  auto axis = [side](std::size_t i, std::size_t length, std::size_t& low, double& weight) {
    const double at = std::clamp((static_cast<double>(i) + 0.5) * static_cast<double>(length) /
                                         static_cast<double>(side) - 0.5,
                                 0.0, static_cast<double>(length - 1));
    low = static_cast<std::size_t>(at);
    weight = at - static_cast<double>(low);
  };
  for (std::size_t y = 0; y < side; ++y) {
    std::size_t y0;
    double wy;
    axis(y, area.height, y0, wy);
    const std::size_t y1 = std::min(y0 + 1, area.height - 1);
    for (std::size_t x = 0; x < side; ++x) {
      std::size_t x0;
      double wx;
      axis(x, area.width, x0, wx);
      const std::size_t x1 = std::min(x0 + 1, area.width - 1);
      for (std::size_t c = 0; c < 4; ++c) {
        auto px = [&](std::size_t xx, std::size_t yy) {
          return static_cast<double>(area.bytes[yy * stride + 4 * xx + c]);
        };
        const double top = px(x0, y0) * (1 - wx) + px(x1, y0) * wx;
        const double bottom = px(x0, y1) * (1 - wx) + px(x1, y1) * wx;
        out[4 * (y * side + x) + c] = static_cast<std::uint8_t>(top * (1 - wy) + bottom * wy + 0.5);
      }
    }
  }
  return {out, side, side, 0};
}

// The image at half its width and height, each pixel the mean of four.
pdq::RgbaImage average_halves(const pdq::RgbaImage& image, std::vector<std::uint8_t>& out) {
  const std::size_t width = image.width / 2, height = image.height / 2;
  const std::size_t stride = image.stride == 0 ? 4 * image.width : image.stride;
  out.resize(4 * width * height);
  for (std::size_t y = 0; y < height; ++y) {
    const std::uint8_t* top = image.bytes.data() + 2 * y * stride;
    const std::uint8_t* bottom = top + stride;
    for (std::size_t x = 0; x < 4 * width; ++x) {
      const std::size_t i = x / 4 * 8 + x % 4;
      out[4 * width * y + x] =
          static_cast<std::uint8_t>((top[i] + top[i + 4] + bottom[i] + bottom[i + 4] + 2) / 4);
    }
  }
  return {out, width, height, 0};
}

}  // namespace

std::optional<PictureArea> find_picture_area(std::span<const std::uint8_t> rgba, std::size_t width,
                                             std::size_t height) {
  if (width == 0 || height == 0 || rgba.size() < 4 * width * height) return std::nullopt;
  if (auto rows = bars(rgba, width, height, false)) {
    return PictureArea{0, rows->first, width, rows->second, Box::Letterbox};
  }
  if (auto columns = bars(rgba, width, height, true)) {
    return PictureArea{columns->first, 0, columns->second, height, Box::Pillarbox};
  }
  return std::nullopt;
}

PackedHash pack_hash_bytes(const pdq::Hash256& hash) {
  PackedHash packed{};
  for (std::size_t i = 0; i < hash.size(); ++i) packed[i / 8] = (packed[i / 8] << 8) | hash[i];
  return packed;
}

Result<void> ViewMaker::add_views(const pdq::RgbaImage& image, Box box, CandidateViews& out) {
  auto whole = hasher_.pdq_hash_variants(image);
  if (!whole) return fail(whole.error().message());
  if (box == Box::None && whole->quality < kMinVoteQuality) {
    out.low_quality = true;
    return {};
  }
  out.views.push_back({pack_hash_bytes(whole->hash()), {Transform::None, box}});
  const pdq::RgbaImage half = average_halves(image, half_);
  auto turned = hasher_.pdq_hash_variants(half);
  if (!turned) return fail(turned.error().message());
  for (std::size_t t = 1; t < pdq::kDihedralCount; ++t) {
    out.views.push_back({pack_hash_bytes(turned->variants[t]), {static_cast<Transform>(t), box}});
  }
  return {};
}

Result<CandidateViews> ViewMaker::views_of(std::span<const std::uint8_t> rgba, std::size_t width,
                                           std::size_t height) {
  CandidateViews out;
  if (auto r = add_views({rgba, width, height, 0}, Box::None, out); !r) return fail(r.error());
  if (out.low_quality) return out;
  if (auto area = find_picture_area(rgba, width, height)) {
    const std::size_t stride = 4 * width;
    const pdq::RgbaImage picture{rgba.subspan(area->y * stride + 4 * area->x), area->width,
                                 area->height, stride};
    const pdq::RgbaImage square = stretch(picture, std::max(width, height), stretched_);
    if (auto r = add_views(square, area->box, out); !r) return fail(r.error());
  }
  return out;
}
