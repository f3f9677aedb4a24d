#pragma once
// PDQ's quality figure of an image, from its 64x64 samples.

namespace pdq::detail {

/// 0 to 100 for a 64x64 plane of luminance samples, row-major (see
/// HashVariants::quality in pdq.h).
int quality(const float* decimated);

}  // namespace pdq::detail
