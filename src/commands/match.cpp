// The match command: checks the signed evidence, then samples the candidate
// clip exactly as prepare-attestation samples a recording and compares each
// frame's PDQ hash with every signed hash as it arrives, so no frame of the
// candidate is kept. The report grades the match; like verify, it never
// claims authenticity, since the key comes from the evidence itself.

#include "commands/match.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>
#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

#include "commands/confidence.h"
#include "commands/evidence_members.h"
#include "commands/same_file.h"
#include "commands/verify.h"
#include "evidence/checked_envelope.h"
#include "evidence/json_doc.h"
#include "evidence/pinned_keys.h"
#include "fileio/fd.h"
#include "fileio/fileio.h"
#include "sampling/frame_sampler.h"

namespace {

struct SignedEvidence {
  EvidenceEnvelope envelope;
  EvidenceManifest manifest;
  MatchReport::SourceBinding binding = MatchReport::SourceBinding::NotChecked;
  std::string binding_detail;  // why the binding does not hold
};

// Best effort, like every status line: a closed stderr must not fail the run.
void status(const std::string& line) { (void)write_all(STDERR_FILENO, line + "\n"); }

// An envelope document begins, after JSON white space, with "{" or "[";
// an MP4 file begins with a box size, whose first byte is never one of them
// for a box under 2 GiB.
Result<bool> starts_like_json(const OpenFile& file) {
  std::array<std::uint8_t, 64> head{};
  auto n = read_up_to_at(file.fd.get(), 0, head, file.path);
  if (!n) return fail(n.error());
  for (std::size_t i = 0; i < *n; ++i) {
    const std::uint8_t c = head[i];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') continue;
    return c == '{' || c == '[';
  }
  return true;  // empty or blank: let the envelope reader say what is wrong
}

Result<SignedEvidence> evidence_from_document(std::span<const std::uint8_t> bytes) {
  auto checked = check_envelope_document(bytes);
  if (!checked) return fail(checked.error());
  return SignedEvidence{std::move(checked->envelope),
                        std::move(checked->manifest),
                        MatchReport::SourceBinding::NotChecked,
                        {}};
}

// Found and judged as verify does; only a binding that does not hold leaves
// the hashes usable, since the examiner may hold a damaged original.
Result<SignedEvidence> evidence_from_mp4(const OpenFile& file) {
  VerificationReport r = build_verification_report(file);
  if (!r.box || r.signature != VerificationReport::Signature::Valid || !r.manifest) {
    return fail(r.detail);
  }
  using Binding = MatchReport::SourceBinding;
  return SignedEvidence{std::move(r.box->envelope), std::move(*r.manifest),
                        r.binding_holds ? Binding::Ok : Binding::Fail,
                        r.binding_holds ? std::string() : r.detail};
}

Result<SignedEvidence> load_evidence(const InputSource& source) {
  if (source.is_stdin()) {
    auto bytes = read_input(source, "evidence envelope");
    if (!bytes) return fail(bytes.error());
    return evidence_from_document(*bytes);
  }
  auto file = open_file(source.path);
  if (!file) return fail(file.error());
  // A pipe can only hold a document: the box walk needs positioned reads.
  if (file->is_regular) {
    auto json = starts_like_json(*file);
    if (!json) return fail(json.error());
    if (!*json) return evidence_from_mp4(*file);
  }
  std::vector<std::uint8_t> bytes;
  if (auto read = read_to_end(file->fd.get(), bytes); !read) {
    return fail("read " + source.path + ": " + read.error());
  }
  return evidence_from_document(bytes);
}

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

std::string one_decimal(double value) {
  char text[400];  // the largest double has 309 digits before the point
  const int length = std::snprintf(text, sizeof text, "%.1f", value);
  return std::string(text, static_cast<std::size_t>(std::clamp(length, 0, 399)));
}

// The report's words for the values of the enumeration, in their order.
constexpr const char* kBindingWords[] = {"not_checked", "ok", "fail"};

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
      {"source_binding", kBindingWords[static_cast<int>(source_binding)]},
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
  if (output_lands_on(options.output, options.candidate) ||
      (!options.evidence.is_stdin() && output_lands_on(options.output, options.evidence.path))) {
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

  auto evidence = load_evidence(options.evidence);
  if (!evidence) return fail(evidence.error());
  if (auto unpinned = unpinned_key(evidence->envelope, *pinned)) return fail(*unpinned);
  const EvidenceManifest& manifest = evidence->manifest;
  if (!manifest.phashes_hex || manifest.phashes_hex->empty() || !manifest.fps) {
    return fail(
        "the evidence carries no perceptual hashes: its signed manifest has no "
        "phashes_hex and fps to match against");
  }
  warn_unsigned_registry_base(evidence->envelope);
  if (evidence->binding == MatchReport::SourceBinding::Fail) {
    status("warning: the evidence file's source binding does not hold (" +
           evidence->binding_detail + "); its signed hashes are compared all the same");
  }
  auto signed_hashes = pack_signed_hashes(*manifest.phashes_hex);
  if (!signed_hashes) return fail(signed_hashes.error());

  const double fps = options.fps.value_or(*manifest.fps);
  status("==> matching " + options.candidate + " @ " + format_fps(fps) + " fps against " +
         std::to_string(signed_hashes->size()) + " signed PDQ hashes");
  FrameMatcher matcher(std::move(*signed_hashes), *manifest.fps, fps,
                       static_cast<int>(options.max_distance));
  auto sampled = sample_frames_streaming(options.candidate, fps, [&](std::string hash) {
    if (auto frame = pack_hash(hash)) matcher.add_frame(*frame);
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
