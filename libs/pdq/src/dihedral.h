#pragma once
// The DCT coefficients of an image's symmetries, derived from its own.

#include "pdq/pdq.h"

namespace pdq::detail {

/// Undoing a reversal of rows and/or columns negates B's odd-frequency rows
/// and/or columns; undoing a transform that also swaps the axes reads the
/// same values transposed, so each sign pattern serves two variants with
/// one median.
struct SignPattern {
  bool rows, columns;
  Dihedral plain, transposed;
};
inline constexpr SignPattern kSignPatterns[] = {
    {false, false, Dihedral::None, Dihedral::Transposed},
    {false, true, Dihedral::Mirrored, Dihedral::Rotated90Clockwise},
    {true, false, Dihedral::Flipped, Dihedral::Rotated90CounterClockwise},
    {true, true, Dihedral::Rotated180, Dihedral::AntiTransposed},
};

/// The 16x16 coefficients `b` (B[i][j] at 16 * i + j) with the rows and/or
/// columns of odd frequency (even i, even j) negated.
void flip_odd_frequencies(const float* b, bool rows, bool columns, float* out);

}  // namespace pdq::detail
