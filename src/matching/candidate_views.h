#pragma once
// The hashes a candidate frame is compared with: the frame and its eight
// symmetries, and the same for the picture between uniform bars when a
// player or platform letterboxed or pillarboxed it. The signed hashes stay
// as they are; only the candidate's side is turned.
//
// The frame as it is is hashed at the size it was sampled at (128 square),
// which keeps its hash within a few bits of the recorder's. The symmetries
// come from the PDQ hash's dihedral variants of the frame averaged down to
// half that size: at 64 square the hash samples every pixel, so a turned
// picture samples the same pixels and its variants are exact, where at 128
// they would stray by 10 to 20 bits.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include <pdq/pdq.h>

#include "index/packed_hash.h"
#include "matching/aligner.h"
#include "result.h"

/// Below this PDQ quality a frame is nearly uniform (black, grey, a fade)
/// and lies close to every other such frame, so it casts no votes.
inline constexpr int kMinVoteQuality = 50;

/// The rectangle between uniform bars on two opposite sides.
struct PictureArea {
  std::size_t x = 0, y = 0, width = 0, height = 0;
  Box box = Box::None;
};

/// The picture area of an RGBA frame whose top and bottom (letterbox) or
/// left and right (pillarbox) are bars of one uniform colour, each at least
/// a few per cent of the frame; nothing when it has no such bars.
std::optional<PictureArea> find_picture_area(std::span<const std::uint8_t> rgba, std::size_t width,
                                             std::size_t height);

struct FrameView {
  PackedHash hash;
  View view;  // the operation the candidate's picture went through, if this hash matches
};

struct CandidateViews {
  std::vector<FrameView> views;  // empty for a low-quality frame
  bool low_quality = false;
};

/// Reusable working buffers, one per thread.
class ViewMaker {
 public:
  /// The views of a width x height RGBA frame; fails as the hash does.
  Result<CandidateViews> views_of(std::span<const std::uint8_t> rgba, std::size_t width,
                                  std::size_t height);

 private:
  Result<void> add_views(const pdq::RgbaImage& image, Box box, CandidateViews& out);
  pdq::Hasher hasher_;
  std::vector<std::uint8_t> half_;       // the image averaged down two by two
  std::vector<std::uint8_t> stretched_;  // a picture area brought back to the frame's size
};

/// The 256 bits of a hash as four words, byte 0 highest.
PackedHash pack_hash_bytes(const pdq::Hash256& hash);
