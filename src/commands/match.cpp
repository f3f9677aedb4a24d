// The match command: checks the signed evidence, then samples the candidate
// clip exactly as prepare-attestation samples a recording and compares each
// frame's PDQ hash with every signed hash as it arrives, so no frame of the
// candidate is kept. The report grades the match; like verify, it never
// claims authenticity, since the key comes from the evidence itself.

#include "commands/match.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

#include <pdq/pdq.h>

#include "encoding/decimal.h"
#include "evidence/json_doc.h"
#include "evidence/pinned_keys.h"
#include "fileio/fd.h"
#include "fileio/fileio.h"
#include "fileio/same_file.h"
#include "matching/confidence.h"
#include "sampling/frame_sampler.h"
#include "verification/document_members.h"
#include "verification/signed_evidence.h"
#include "verification/unsigned_members.h"

namespace {

// Best effort, like every status line: a closed stderr must not fail the run.
void status(const std::string& line) { (void)write_all(STDERR_FILENO, line + "\n"); }

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

std::uint32_t saturated_u32(std::uint64_t value) {
  return static_cast<std::uint32_t>(
      std::min<std::uint64_t>(value, std::numeric_limits<std::uint32_t>::max()));
}

ConfidenceLevel level_of(const MatchStatistics& s) {
  return classify_confidence(saturated_u32(s.matched_frames), saturated_u32(s.total_query_frames),
                             s.avg_distance.value_or(std::numeric_limits<double>::quiet_NaN()));
}

}  // namespace

std::string MatchReport::to_json() const {
  nlohmann::json r = {
      {"v", 1},
      {"purpose", "zq.evidence.match_result.v1"},
      {"candidate", candidate},
      {"evidence", evidence},
      {"signature", "valid"},
      {"source_binding", source_binding_word(source_binding)},
      {"nvr_pubkey_hex", nvr_pubkey_hex},
      {"fps", fps},
      {"signed_fps", manifest.fps.value_or(0.0)},
      {"max_distance", max_distance},
      {"total_query_frames", statistics.total_query_frames},
      {"matched_frames", statistics.matched_frames},
      {"confidence", confidence_word(level_of(statistics))},
  };
  if (statistics.avg_distance) r["avg_distance"] = *statistics.avg_distance;
  if (statistics.offset_seconds) r["offset_seconds"] = *statistics.offset_seconds;
  add_manifest_members(r, manifest);
  return json_text(r);
}

std::string MatchReport::summary_line() const {
  const MatchStatistics& s = statistics;
  std::string line = "==> " + std::string(confidence_word(level_of(s))) +
                     " confidence: " + std::to_string(s.matched_frames) + " of " +
                     std::to_string(s.total_query_frames) + " frames within distance " +
                     std::to_string(max_distance);
  if (s.avg_distance && s.offset_seconds) {
    const double offset = *s.offset_seconds;
    line += " (mean " + one_decimal(*s.avg_distance) + "); the clip starts " +
            one_decimal(std::fabs(offset)) +
            (offset < 0 ? " s before the recording" : " s into the recording");
  }
  return line + "\n";
}

CommandOutcome run_match(const MatchOptions& options) {
  // A report written over either input would destroy what it describes.
  if (lands_on(options.output, options.candidate) ||
      (!options.evidence.is_stdin() && lands_on(options.output, options.evidence.path))) {
    return fail(std::string(kOutputIsInputMessage));
  }
  auto pinned = PinnedKeys::load(options.nvr_pubkey_hex, options.nvr_pubkeys_files);
  if (!pinned) return fail(pinned.error());
  // ffprobe and ffmpeg each open the candidate; a pipe would be drained by the first.
  auto candidate = open_file(options.candidate);
  if (!candidate) return fail(candidate.error());
  if (!candidate->is_regular) {
    return fail("the candidate must be a regular file: " + options.candidate +
                " is read by ffprobe, then by ffmpeg");
  }

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

  const double fps = options.fps.value_or(*manifest.fps);
  status("==> matching " + options.candidate + " @ " + format_decimal(fps) + " fps against " +
         std::to_string(signed_hashes->size()) + " signed PDQ hashes");
  FrameMatcher matcher(std::move(*signed_hashes), *manifest.fps, fps,
                       static_cast<int>(options.max_distance));
  pdq::Hasher hasher;
  auto sampled = sample_frames(options.candidate, recorder_frames(fps),
                               [&](std::span<const std::uint8_t> frame) -> Result<void> {
                                 auto hash = hasher.hash_rgba_frame(frame);
                                 if (!hash) return fail(hash.error().message());
                                 if (auto packed = pack_hash(*hash)) matcher.add_frame(*packed);
                                 return {};
                               });
  MatchReport report{options.candidate,
                     options.evidence.is_stdin() ? "-" : options.evidence.path,
                     evidence->binding,
                     evidence->envelope.nvr_pubkey_hex,
                     std::move(evidence->manifest),
                     fps,
                     options.max_distance,
                     matcher.statistics()};
  if (!sampled) return fail(sampled.error());
  if (report.statistics.total_query_frames == 0) {
    const std::string& reason = sampled->no_frames_reason;
    return fail("no video frames sampled from the candidate " + options.candidate +
                (reason.empty() ? "" : ": " + reason));
  }

  if (auto written = write_text_output(options.output, report.to_json()); !written) return written;
  (void)write_all(STDERR_FILENO, not_authenticated_warning(!pinned->empty()));
  (void)write_all(STDERR_FILENO, report.summary_line());
  return {};
}
