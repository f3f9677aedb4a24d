// The hashes of an image's symmetries come from its own DCT. With D[i][k]
// the cosine of frequency i + 1 at sample k, D[i][63 - k] = (-1)^(i + 1)
// D[i][k]: reversing the samples along one axis flips the sign of the
// coefficients of odd frequency along it, and swapping the axes transposes
// B. A clockwise turn, for one, gives B'[i][j] = (-1)^(j + 1) B[j][i], which
// the mirrored image's coefficients read transposed undo. The sampled
// positions are not quite symmetric, so the variants approximate the hash
// of the turned pixels (see HashVariants).

#include "dihedral.h"

namespace pdq {

std::string_view dihedral_name(Dihedral transform) {
  constexpr std::string_view kNames[kDihedralCount] = {
      "none",        "mirrored",
      "flipped",     "rotated 90 clockwise",
      "rotated 180", "rotated 90 counter-clockwise",
      "transposed",  "anti-transposed"};
  return kNames[static_cast<std::size_t>(transform) % kDihedralCount];
}

void detail::flip_odd_frequencies(const float* b, bool rows, bool columns, float* out) {
  for (int i = 0; i < 16; ++i) {
    // Index i is frequency i + 1: the odd frequencies sit at even i.
    const bool flip_row = rows && i % 2 == 0;
    for (int j = 0; j < 16; ++j) {
      const bool flip = flip_row != (columns && j % 2 == 0);
      out[16 * i + j] = flip ? -b[16 * i + j] : b[16 * i + j];
    }
  }
}

}  // namespace pdq
