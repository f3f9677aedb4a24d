// The match command: checks the signed evidence, then samples the candidate
// clip and compares each frame's views with the signed hashes as it arrives,
// so no frame of the candidate is kept; the votes are aligned into segments
// at the end. The report grades the match; like verify, it never claims
// authenticity, since the key comes from the evidence itself.

#include "commands/match.h"

#include <unistd.h>

#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

#include "encoding/decimal.h"
#include "evidence/json_doc.h"
#include "evidence/pinned_keys.h"
#include "fileio/fd.h"
#include "fileio/fileio.h"
#include "fileio/progress.h"
#include "fileio/same_file.h"
#include "matching/alignment_report.h"
#include "matching/clip_matcher.h"
#include "sampling/frame_sampler.h"
#include "verification/document_members.h"
#include "verification/signed_evidence.h"
#include "verification/unsigned_members.h"

namespace {

// The signed hashes, packed once; decode_manifest has checked every one.
Result<std::vector<PackedHash>> pack_signed_hashes(const std::vector<std::string>& hashes) {
  std::vector<PackedHash> packed;
  packed.reserve(hashes.size());
  for (std::size_t i = 0; i < hashes.size(); ++i) {
    auto hash = pack_hash(hashes[i]);
    if (!hash) return fail("phashes_hex[" + std::to_string(i) + "] is not a PDQ hash");
    packed.push_back(*hash);
  }
  return packed;
}

}  // namespace

std::string MatchReport::to_json() const {
  nlohmann::json r = {
      {"v", 2},
      {"purpose", "zq.evidence.match_result.v2"},
      {"candidate", candidate},
      {"evidence", evidence},
      {"signature", "valid"},
      {"source_binding", source_binding_word(source_binding)},
      {"nvr_pubkey_hex", nvr_pubkey_hex},
      {"fps", fps},
      {"signed_fps", manifest.fps.value_or(0.0)},
      {"max_distance", max_distance},
      {"low_quality_frames", low_quality_frames},
  };
  add_alignment_members(r, alignment);
  if (alignment.nearest_distance) r["nearest_distance"] = *alignment.nearest_distance;
  add_manifest_members(r, manifest);
  return json_text(r);
}

std::string MatchReport::summary_line() const {
  return "==> " + std::string(confidence_word(alignment_confidence(alignment))) +
         " confidence: " + describe_alignment(alignment, static_cast<int>(max_distance)) + "\n";
}

CommandOutcome run_match(const MatchOptions& options) {
  // A report written over either input would destroy what it describes.
  if (lands_on(options.output, options.candidate) ||
      (!options.evidence.is_stdin() && lands_on(options.output, options.evidence.path))) {
    return fail(std::string(kOutputIsInputMessage));
  }
  auto pinned = PinnedKeys::load(options.nvr_pubkey_hex, options.nvr_pubkeys_files);
  if (!pinned) return fail(pinned.error());
  if (auto candidate = check_candidate_file(options.candidate); !candidate) return candidate;

  auto evidence = load_signed_evidence(options.evidence);
  if (!evidence) return fail(evidence.error());
  if (auto unpinned = unpinned_key(evidence->envelope, *pinned)) return fail(*unpinned);
  const EvidenceManifest& manifest = evidence->manifest;
  if (!manifest.phashes_hex || manifest.phashes_hex->empty() || !manifest.fps) {
    return fail(
        "the evidence carries no perceptual hashes: its signed manifest has no "
        "phashes_hex and fps to match against");
  }
  warn_unsigned_registry_base(evidence->envelope);
  if (evidence->binding == SourceBinding::Fail) {
    status("warning: the evidence file's source binding does not hold (" +
           evidence->binding_detail + "); its signed hashes are compared all the same");
  }
  auto signed_hashes = pack_signed_hashes(*manifest.phashes_hex);
  if (!signed_hashes) return fail(signed_hashes.error());

  const double fps = options.fps.value_or(candidate_rate(*manifest.fps));
  status("==> matching " + options.candidate + " @ " + format_decimal(fps) + " fps against " +
         std::to_string(signed_hashes->size()) + " signed PDQ hashes");
  ClipMatcher matcher(std::move(*signed_hashes), *manifest.fps, fps,
                      static_cast<int>(options.max_distance));
  auto sampled = sample_candidate(
      options.candidate, fps,
      [&](std::span<const std::uint8_t> frame, const FrameFormat& format, std::uint64_t index) {
        return matcher.add_frame(frame, format.width, format.height, candidate_moment(format, index));
      });
  if (!sampled) return sampled;
  auto alignment = matcher.align();
  if (!alignment) return fail(alignment.error());
  const MatchReport report{options.candidate,
                           options.evidence.is_stdin() ? "-" : options.evidence.path,
                           evidence->binding,
                           evidence->envelope.nvr_pubkey_hex,
                           std::move(evidence->manifest),
                           fps,
                           options.max_distance,
                           std::move(*alignment),
                           matcher.low_quality_frames()};

  if (auto written = write_text_output(options.output, report.to_json()); !written) return written;
  (void)write_all(STDERR_FILENO, not_authenticated_warning(!pinned->empty()));
  (void)write_all(STDERR_FILENO, report.summary_line());
  return {};
}
