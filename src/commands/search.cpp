// The search command: samples a candidate clip as match does, looks up every
// view of every frame in the archive indexes at once, and aligns each
// recording's hits as match aligns them, so one search tells, recording by
// recording, the same segments, views, tempo and undetermined positions.

#include "commands/search.h"

#include <unistd.h>

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>

#include "encoding/decimal.h"
#include "evidence/json_doc.h"
#include "fileio/fd.h"
#include "fileio/fileio.h"
#include "fileio/progress.h"
#include "fileio/same_file.h"
#include "index/index_search.h"
#include "index/recording_document.h"
#include "matching/alignment_report.h"
#include "matching/candidate_clip.h"
#include "matching/clip_matcher.h"
#include "verification/unsigned_members.h"

namespace {

struct Found {
  RecordingInfo recording;
  Alignment alignment;
};

struct RecordingVotes {
  RecordingInfo recording;
  std::vector<Vote> votes;
};

// Every recording's votes: the clip's first queries, then the views that
// found something in any recording, on every frame.
Result<std::vector<RecordingVotes>> search_clip(const SearchOptions& o, const CandidateClip& clip) {
  std::vector<RecordingVotes> recordings;
  std::map<std::string, std::size_t> place;
  auto gather = [&](const QueryBatch& batch, std::vector<View>* found) -> Result<void> {
    if (batch.hashes.empty()) return {};
    auto hits = search_indexes(o.indexes, batch.hashes, static_cast<int>(o.max_distance));
    if (!hits) return fail(hits.error());
    for (RecordingHits& r : *hits) {
      auto [it, added] = place.try_emplace(r.recording.manifest_sha256, recordings.size());
      if (added) recordings.push_back({r.recording, {}});
      clip.add_votes(batch, r.hits, recordings[it->second].votes);
      if (!found) continue;
      for (const View& v : views_found(batch, r.hits)) {
        if (std::find(found->begin(), found->end(), v) == found->end()) found->push_back(v);
      }
    }
    return {};
  };
  std::vector<View> found;
  if (auto r = gather(clip.first_queries({}), &found); !r) return fail(r.error());
  if (auto r = gather(clip.followup_queries({}, found), nullptr); !r) return fail(r.error());
  return recordings;
}

// The recordings the clip matches above low confidence, best first: most
// matched comparisons, then the recording's id, so the order is stable.
Result<std::vector<Found>> align_each(std::vector<RecordingVotes> recordings,
                                      const CandidateClip& clip) {
  std::vector<Found> found;
  for (RecordingVotes& r : recordings) {
    const RecordingClock clock{r.recording.fps, static_cast<std::uint32_t>(r.recording.hash_count)};
    auto alignment = align_votes(clock, clip.frames(), r.votes);
    if (!alignment) return fail(r.recording.manifest_sha256 + ": " + alignment.error());
    if (alignment_confidence(*alignment) == ConfidenceLevel::Low) continue;
    found.push_back({std::move(r.recording), std::move(*alignment)});
  }
  std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
    if (a.alignment.matched_frames != b.alignment.matched_frames) {
      return a.alignment.matched_frames > b.alignment.matched_frames;
    }
    return a.recording.manifest_sha256 < b.recording.manifest_sha256;
  });
  return found;
}

std::string summary_line(const std::vector<Found>& found, const SearchOptions& o) {
  if (found.empty()) return "==> no indexed recording matches the clip above low confidence\n";
  const Found& best = found.front();
  const RecordingInfo& r = best.recording;
  return "==> best of " + std::to_string(found.size()) + ": " + r.evidence_path + " (nvr " +
         r.device_id + ", key " + r.key_id + ", manifest " + r.manifest_sha256.substr(0, 16) +
         "...), " + std::string(confidence_word(alignment_confidence(best.alignment))) +
         " confidence: " + describe_alignment(best.alignment, static_cast<int>(o.max_distance)) +
         "\n";
}

}  // namespace

CommandOutcome run_search(const SearchOptions& options) {
  if (lands_on(options.output, options.candidate)) return fail(std::string(kOutputIsInputMessage));
  if (auto candidate = check_candidate_file(options.candidate); !candidate) return candidate;
  const double fps = options.fps.value_or(candidate_rate(kDefaultSignedFps));
  status("==> searching " + counted(options.indexes.size(), "index", "indexes") + " for " +
         options.candidate);
  CandidateClip clip(view_stride(fps, kDefaultSignedFps));
  auto sampled = sample_candidate(
      options.candidate, fps,
      [&](std::span<const std::uint8_t> frame, const FrameFormat& format, std::uint64_t index) {
        return clip.add_frame(frame, format.width, format.height, candidate_moment(format, index));
      });
  if (!sampled) return sampled;
  auto votes = search_clip(options, clip);
  if (!votes) return fail(votes.error());
  auto found = align_each(std::move(*votes), clip);
  if (!found) return fail(found.error());

  nlohmann::json results = nlohmann::json::array();
  for (std::size_t i = 0; i < found->size() && i < options.top; ++i) {
    nlohmann::json result = recording_document((*found)[i].recording);
    add_alignment_members(result, (*found)[i].alignment);
    results.push_back(std::move(result));
  }
  const nlohmann::json report = {
      {"v", 1},
      {"purpose", "zq.evidence.search_result.v1"},
      {"candidate", options.candidate},
      {"indexes", options.indexes},
      {"fps", fps},
      {"max_distance", options.max_distance},
      {"low_quality_frames", clip.low_quality_frames()},
      {"results", std::move(results)},
  };
  if (auto written = write_text_output(options.output, json_text(report)); !written) {
    return written;
  }
  if (!found->empty()) (void)write_all(STDERR_FILENO, not_authenticated_warning(false));
  (void)write_all(STDERR_FILENO, summary_line(*found, options));
  return {};
}
