// PDQ's quality: how much the 64x64 samples change from one to the next,
// down and across, as the published algorithm defines it. A featureless
// frame (black, a uniform colour, a fade) scores near 0, and its hash is
// decided by rounding noise rather than by the picture.

#include "quality.h"

namespace pdq::detail {
namespace {

// One neighbouring pair's part: |u - v| on a 0..100 scale, truncated.
int gradient(float u, float v) {
  const int d = static_cast<int>((u - v) * 100.0f / 255.0f);
  return d < 0 ? -d : d;
}

}  // namespace

int quality(const float* decimated) {
  int sum = 0;
  for (int i = 0; i < 64; ++i) {
    const float* row = decimated + 64 * i;
    for (int j = 0; j + 1 < 64; ++j) sum += gradient(row[j], row[j + 1]);
    if (i + 1 == 64) break;
    for (int j = 0; j < 64; ++j) sum += gradient(row[j], row[j + 64]);
  }
  const int q = sum / 90;
  return q < 100 ? q : 100;
}

}  // namespace pdq::detail
